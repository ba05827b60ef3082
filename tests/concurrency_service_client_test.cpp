// The client library from several threads at once (run under ThreadSanitizer too).
#include <map>
#include <set>

#include "service_fixture.h"

using namespace service_test;
using ConcurrentClientTest = ServiceTest;

static std::string Tagged(size_t thread, int n) { return "t" + std::to_string(thread) + "-" + std::to_string(n); }

TEST_F(ConcurrentClientTest, ThreadsPlugAndUnplugWhileTheManagerEnumerates) {
  auto client = Connected();
  khost::Pnp().StartWorker();
  khost::RunAtIrqlOnThreads(PASSIVE_LEVEL, 4, [&](size_t t) {
    for (uint32_t serial = 100u * (t + 1); serial < 100u * (t + 1) + 6; ++serial) {
      EXPECT_TRUE(client->PlugIn(serial, std::vector<std::string>{"VELMORA\\T" + std::to_string(t)}).ok());
      EXPECT_TRUE(serial % 2 == 0 || client->Unplug(serial).ok());  // every other child leaves at once
    }
  });
  khost::Pnp().StopWorker();
  bus_->Enumerate();
  EXPECT_EQ(bus_->ChildNodes().size(), 12u);
  for (khost::DevNode* node : bus_->ChildNodes())
    EXPECT_EQ(node->state, khost::DevNodeState::Started) << khost::Narrow(node->instanceId);
  EXPECT_TRUE(client->UnplugAll().ok());
  bus_->Enumerate();
}

TEST_F(ConcurrentClientTest, PutsFromSeveralThreadsAllComeBackThroughTheLoopInEachThreadsOrder) {
  auto client = Connected();
  ASSERT_NE(PlugAndStart(*client, 1), nullptr);
  Inbox inbox;
  ASSERT_TRUE(client->StartReceiving(std::ref(inbox), std::ref(inbox)).ok());
  khost::RunAtIrqlOnThreads(PASSIVE_LEVEL, 4, [&](size_t t) {
    for (int i = 0; i < 60; ++i) EXPECT_TRUE(client->Put(1, Bytes(Tagged(t, i))).ok());
  });
  EXPECT_TRUE(WaitUntil([&] { return inbox.Count() >= 240; })) << inbox.Count();
  EXPECT_TRUE(client->StopReceiving().ok());
  std::map<int, int> next;  // a record twice or one more would break the order too
  for (const std::string& text : inbox.texts) {
    int thread = -1, n = -1;
    std::sscanf(text.c_str(), "t%d-%d", &thread, &n);
    EXPECT_EQ(n, next[thread]++) << "thread " << thread << "'s records out of order at " << text;
  }
}

TEST_F(ConcurrentClientTest, FetchersOnSeveralThreadsShareTheRecordsWithoutLossOrDuplicate) {
  auto client = Connected();
  ASSERT_NO_FATAL_FAILURE(Link(*client));
  std::atomic<int> errors{0}, accepted{0};
  std::atomic<bool> pushed{false};
  Inbox inbox;
  std::thread push([&] {
    khost::RunAtIrqlOnThreads(DISPATCH_LEVEL, 2, [&](size_t t) {
      for (int i = 0; i < 150; ++i) accepted += link_.Push(Bytes(Tagged(t, i))) == STATUS_SUCCESS;
    });
    pushed = true;
  });
  // Until every record the bus took is fetched (a push refused for want of pool never comes).
  auto outstanding = [&] { return !pushed || inbox.Count() < size_t(accepted.load()); };
  khost::RunAtIrqlOnThreads(PASSIVE_LEVEL, 3, [&](size_t) {
    for (std::optional<velmora::Record> record; outstanding() && errors.load() == 0;) {
      if (!client->Fetch(record).ok()) errors++;
      record ? inbox(*record) : std::this_thread::yield();
    }
  });
  push.join();
  EXPECT_EQ(errors.load(), 0);
  EXPECT_EQ(accepted.load(), 300);
  EXPECT_EQ(inbox.texts.size(), 300u);
  EXPECT_EQ(std::set<std::string>(inbox.texts.begin(), inbox.texts.end()).size(), 300u) << "a record came twice";
}

TEST_F(ConcurrentClientTest, StartingAndStoppingTheLoopWhileRecordsArriveLosesNone) {
  auto client = Connected();
  ASSERT_NO_FATAL_FAILURE(Link(*client));
  Inbox inbox;
  std::atomic<bool> pushing{true};
  std::thread push([&] { Push(Numbered("r", 300)), pushing = false; });
  while (pushing.load()) {
    EXPECT_TRUE(client->StartReceiving(std::ref(inbox)).ok());
    std::this_thread::sleep_for(std::chrono::microseconds(300));
    EXPECT_TRUE(client->StopReceiving().ok());
  }
  push.join();
  for (std::optional<velmora::Record> record; client->Fetch(record).ok() && record;) inbox(*record);
  EXPECT_EQ(inbox.texts, Numbered("r", 300)) << "what the loops left behind is still queued, in order";
}
