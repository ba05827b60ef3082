// The client library from several threads at once: plug-ins and unplugs while
// the Plug and Play manager enumerates on its own thread, puts from several
// threads while the receive loop runs, fetchers sharing one queue, and a loop
// started and stopped while records keep coming.
#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <set>
#include <thread>

#include "service_fixture.h"

using namespace service_test;
using velmora::Result;
namespace status = velmora::status;

namespace {

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::string Text(const velmora::Record& record) { return std::string(record.payload.begin(), record.payload.end()); }

// "t<thread>-<n>" back to its parts.
std::pair<int, int> Parse(const std::string& text) {
  int thread = -1, n = -1;
  std::sscanf(text.c_str(), "t%d-%d", &thread, &n);
  return {thread, n};
}

template <typename Fn>
void OnThreads(int count, Fn fn) {
  std::vector<std::thread> threads;
  for (int t = 0; t < count; ++t) threads.emplace_back(fn, t);
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

class ConcurrentClientTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    Boot(ChildDriver::Sample);
  }
};

TEST_F(ConcurrentClientTest, ThreadsPlugAndUnplugWhileTheManagerEnumerates) {
  auto client = Connected();
  khost::Pnp().StartWorker();
  const int threads = 4, perThread = 6;
  std::atomic<int> failures{0};
  OnThreads(threads, [&](int t) {
    for (int i = 0; i < perThread; ++i) {
      const uint32_t serial = static_cast<uint32_t>(100 * (t + 1) + i);
      Result plugged = client->PlugIn(serial, std::vector<std::string>{"VELMORA\\T" + std::to_string(t)});
      if (!plugged.ok()) failures++;
      // Every other child leaves again at once.
      if (i % 2 == 1 && !client->Unplug(serial).ok()) failures++;
    }
  });
  khost::Pnp().StopWorker();
  bus_->Enumerate();
  EXPECT_EQ(failures.load(), 0);
  std::set<ULONG> present;
  for (PCHILD_EXTENSION child : bus_->Children())
    if (child->Present) present.insert(child->SerialNo);
  EXPECT_EQ(present.size(), static_cast<size_t>(threads * perThread / 2));
  for (uint32_t serial : present) {
    khost::DevNode* node = bus_->ChildNode(serial);
    ASSERT_NE(node, nullptr) << serial;
    EXPECT_EQ(node->state, khost::DevNodeState::Started) << serial;
  }
  EXPECT_TRUE(client->UnplugAll().ok());
  bus_->Enumerate();
}

TEST_F(ConcurrentClientTest, RacingPlugInsOfOneSerialNumberMakeOneChild) {
  auto client = Connected();
  std::atomic<int> accepted{0}, refused{0};
  OnThreads(6, [&](int t) {
    Result r = client->PlugIn(9, std::vector<std::string>{"VELMORA\\RACE" + std::to_string(t)});
    if (r.ok())
      accepted++;
    else if (r.status == status::kInvalidParameter && r.sent)
      refused++;
  });
  EXPECT_EQ(accepted.load(), 1);
  EXPECT_EQ(refused.load(), 5);
  EXPECT_EQ(bus_->Children().size(), 1u);
  bus_->Enumerate();
  EXPECT_TRUE(client->UnplugAll().ok());
  bus_->Enumerate();
}

TEST_F(ConcurrentClientTest, PutsFromSeveralThreadsAllComeBackThroughTheLoopInEachThreadsOrder) {
  auto client = Connected();
  ASSERT_NE(PlugAndStart(*client, 1), nullptr);
  std::mutex lock;
  std::vector<std::string> received;
  ASSERT_TRUE(client
                  ->StartReceiving([&](const velmora::Record& r) {
                    std::lock_guard<std::mutex> hold(lock);
                    received.push_back(Text(r));
                  })
                  .ok());
  const int threads = 4, perThread = 60;
  std::atomic<int> failures{0};
  OnThreads(threads, [&](int t) {
    for (int i = 0; i < perThread; ++i) {
      const std::string text = "t" + std::to_string(t) + "-" + std::to_string(i);
      if (!client->Put(1, Bytes(text)).ok()) failures++;
    }
  });
  EXPECT_EQ(failures.load(), 0);
  EXPECT_TRUE(WaitUntil([&] {
    std::lock_guard<std::mutex> hold(lock);
    return received.size() >= static_cast<size_t>(threads * perThread);
  }));
  EXPECT_TRUE(client->StopReceiving().ok());

  std::map<int, int> next;
  for (const std::string& text : received) {
    auto [thread, n] = Parse(text);
    EXPECT_EQ(n, next[thread]) << "thread " << thread << "'s records out of order at " << text;
    next[thread] = n + 1;
  }
  EXPECT_EQ(received.size(), static_cast<size_t>(threads * perThread));
}

class ConcurrentLinkTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    Boot(ChildDriver::Passthrough);
  }
  ChildLink link_;
};

TEST_F(ConcurrentLinkTest, FetchersOnSeveralThreadsShareTheRecordsWithoutLossOrDuplicate) {
  auto client = Connected();
  khost::DevNode* child = PlugAndStart(*client, 1);
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(link_.Exchange(child), STATUS_SUCCESS);

  const int pushers = 2, perPusher = 150, fetchers = 3;
  std::atomic<int> got{0};
  std::mutex lock;
  std::vector<std::string> all;
  std::atomic<int> errors{0};
  std::thread push([&] {
    khost::RunAtIrqlOnThreads(DISPATCH_LEVEL, pushers, [&](size_t t) {
      for (int i = 0; i < perPusher; ++i) link_.PushHere(Bytes("t" + std::to_string(t) + "-" + std::to_string(i)));
    });
  });
  OnThreads(fetchers, [&](int) {
    while (got.load() < pushers * perPusher) {
      std::optional<velmora::Record> record;
      Result r = client->Fetch(record);
      if (!r.ok()) {
        errors++;
        return;
      }
      if (!record) {
        std::this_thread::yield();
        continue;
      }
      got++;
      std::lock_guard<std::mutex> hold(lock);
      all.push_back(Text(*record));
    }
  });
  push.join();
  EXPECT_EQ(errors.load(), 0);
  std::set<std::string> unique(all.begin(), all.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(pushers * perPusher));
  EXPECT_EQ(unique.size(), all.size()) << "a record was delivered twice";
}

TEST_F(ConcurrentLinkTest, StartingAndStoppingTheLoopWhileRecordsArriveLosesNone) {
  auto client = Connected();
  khost::DevNode* child = PlugAndStart(*client, 1);
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(link_.Exchange(child), STATUS_SUCCESS);

  std::mutex lock;
  std::vector<std::string> received;
  auto onRecord = [&](const velmora::Record& r) {
    std::lock_guard<std::mutex> hold(lock);
    received.push_back(Text(r));
  };
  const int count = 300;
  std::atomic<bool> pushing{true};
  std::thread push([&] {
    khost::RunAtIrql(DISPATCH_LEVEL, [&] {
      for (int i = 0; i < count; ++i) link_.PushHere(Bytes("t0-" + std::to_string(i)));
    });
    pushing = false;
  });
  while (pushing.load()) {
    ASSERT_TRUE(client->StartReceiving(onRecord).ok());
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    Result stopped = client->StopReceiving();
    ASSERT_TRUE(stopped.ok()) << stopped.Message();
  }
  push.join();
  // What the loops left behind is still queued.
  for (;;) {
    std::optional<velmora::Record> record;
    ASSERT_TRUE(client->Fetch(record).ok());
    if (!record) break;
    onRecord(*record);
  }
  ASSERT_EQ(received.size(), static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) EXPECT_EQ(received[i], "t0-" + std::to_string(i));
}
