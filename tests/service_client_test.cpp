// The client library against the bus in the kernel host, end to end: a
// service plugs children in and out, puts records down to the sample child
// driver and receives its echoes, sees every status the bus answers, and has
// its bad arguments refused before anything reaches the driver.
#include <chrono>
#include <functional>
#include <thread>

#include "service_fixture.h"

using namespace service_test;
using velmora::Result;
namespace status = velmora::status;

namespace {

std::string Hex(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", value);
  return text;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

std::vector<uint8_t> Numbered(const std::string& prefix, int i) { return Bytes(prefix + std::to_string(i)); }

// Collects what a receive loop delivers.
struct Inbox {
  std::mutex lock;
  std::vector<velmora::Record> records;
  std::vector<Result> errors;

  velmora::Client::RecordHandler OnRecord() {
    return [this](const velmora::Record& r) {
      std::lock_guard<std::mutex> hold(lock);
      records.push_back(r);
    };
  }
  velmora::Client::ErrorHandler OnError() {
    return [this](const Result& r) {
      std::lock_guard<std::mutex> hold(lock);
      errors.push_back(r);
    };
  }
  size_t Count() {
    std::lock_guard<std::mutex> hold(lock);
    return records.size();
  }
  std::vector<std::string> Texts() {
    std::lock_guard<std::mutex> hold(lock);
    std::vector<std::string> texts;
    for (const auto& r : records) texts.emplace_back(r.payload.begin(), r.payload.end());
    return texts;
  }
};

std::vector<std::string> Expected(const std::string& prefix, int from, int to) {
  std::vector<std::string> texts;
  for (int i = from; i < to; ++i) texts.push_back(prefix + std::to_string(i));
  return texts;
}

}  // namespace

// ------------------------------------------------------------------ the road of a child

class ClientWithSampleDriverTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    Boot(ChildDriver::Sample);
  }
};

TEST_F(ClientWithSampleDriverTest, ServicePlugsChildrenInAndOutAndClosesCleanly) {
  auto client = Connected();
  Result first = client->PlugIn(1, std::vector<std::string>{"VELMORA\\NET", "VELMORA\\ANY"});
  EXPECT_TRUE(first.ok() && first.sent) << first.Message();
  Result second = client->PlugIn(2, std::vector<std::u16string>{u"VELMORA\\NET2"}, 0x22);
  EXPECT_TRUE(second.ok() && second.sent) << second.Message();
  bus_->Enumerate();

  khost::DevNode* one = bus_->ChildNode(1);
  khost::DevNode* two = bus_->ChildNode(2);
  ASSERT_NE(one, nullptr);
  ASSERT_NE(two, nullptr);
  EXPECT_EQ(khost::Narrow(one->deviceId), "VELMORA\\NET");
  EXPECT_EQ(khost::Narrow(one->instanceId), "0001");
  ASSERT_EQ(one->hardwareIds.size(), 2u) << "the IDs travel as one multi-string";
  EXPECT_EQ(khost::Narrow(one->hardwareIds[1]), "VELMORA\\ANY");
  EXPECT_EQ(one->state, khost::DevNodeState::Started);
  EXPECT_EQ(two->pdo->DeviceType, 0x22u) << "the device type given at plug-in";

  Result unplugged = client->Unplug(1);
  EXPECT_TRUE(unplugged.ok()) << unplugged.Message();
  bus_->Enumerate();
  EXPECT_EQ(bus_->ChildNode(1), nullptr);
  EXPECT_NE(bus_->ChildNode(2), nullptr);

  EXPECT_TRUE(client->UnplugAll().ok());
  bus_->Enumerate();
  EXPECT_TRUE(bus_->ChildNodes().empty());
  Result again = client->UnplugAll();
  EXPECT_EQ(again.status, status::kNoSuchDevice) << again.Message();
  EXPECT_TRUE(again.sent);

  Result closed = client->Close();
  EXPECT_TRUE(closed.ok()) << closed.Message();
  EXPECT_EQ(bus_->Bus()->UserEvent, nullptr) << "closing withdraws the event";
  EXPECT_EQ(bus_->Bus()->OpenHandleCount, 0);
  EXPECT_EQ(bus_->Service().OpenHandles(), 0u) << "device and event handles closed";
  EXPECT_FALSE(client->IsOpen());
}

TEST_F(ClientWithSampleDriverTest, RecordsPutDownComeBackUpInOrder) {
  auto client = Connected();
  khost::DevNode* child = PlugAndStart(*client, 3);
  ASSERT_NE(child, nullptr);
  for (int i = 0; i < 10; ++i) {
    Result put = client->Put(static_cast<uint8_t>(1 + i % 4), Numbered("record-", i));
    ASSERT_TRUE(put.ok()) << put.Message();
  }
  for (int i = 0; i < 10; ++i) {
    std::optional<velmora::Record> record;
    Result fetched = client->Fetch(record);
    ASSERT_TRUE(fetched.ok()) << fetched.Message();
    ASSERT_TRUE(record.has_value()) << "record " << i << " missing";
    EXPECT_EQ(record->tag, NETBUS_MSG_TAG);
    EXPECT_EQ(record->msgId, MSG_SEND_DATA);
    EXPECT_EQ(std::string(record->payload.begin(), record->payload.end()), "record-" + std::to_string(i));
    EXPECT_EQ(fetched.information, record->payload.size() + VELMORA_GET_MSG_OVERHEAD);
  }
  std::optional<velmora::Record> none;
  Result empty = client->Fetch(none);
  EXPECT_TRUE(empty.ok()) << empty.Message();
  EXPECT_FALSE(none.has_value()) << "an empty queue answers the empty reply";
  EXPECT_EQ(SampleOn(child)->Received, 10u);
}

// ------------------------------------------------------------------ statuses

TEST(ClientWithoutBusTest, OpeningAMissingControlDeviceReportsTheSystemsStatus) {
  khost::Reset();
  {
    khost::Process process("service");
    velmora::Client client(velmora::MakeHostTransport(process));
    Result opened = client.Open();
    EXPECT_EQ(opened.status, status::kObjectNameNotFound) << opened.Message();
    EXPECT_TRUE(opened.sent);
    EXPECT_NE(opened.Message().find("STATUS_OBJECT_NAME_NOT_FOUND (0xC0000034)"), std::string::npos)
        << opened.Message();
    EXPECT_FALSE(client.IsOpen());
  }
  khost::CheckLeaks();
  EXPECT_TRUE(khost::TakeViolations().empty());
  khost::Reset();
}

TEST_F(ClientWithSampleDriverTest, EveryStatusTheBusAnswersReachesTheCallerExactly) {
  struct Case {
    const char* what;
    std::function<Result(velmora::Client&)> act;
    velmora::NtStatus expected;
  };
  const std::vector<Case> cases = {
      {"plug-in of a serial number already on the bus",
       [](velmora::Client& c) {
         c.PlugIn(5, std::vector<std::string>{"VELMORA\\NET"});
         return c.PlugIn(5, std::vector<std::string>{"VELMORA\\OTHER"});
       },
       status::kInvalidParameter},
      {"unplug of a serial number no child carries",
       [](velmora::Client& c) {
         c.PlugIn(6, std::vector<std::string>{"VELMORA\\NET"});
         return c.Unplug(7);
       },
       status::kNoSuchDevice},
      {"unplug of every child on an empty bus", [](velmora::Client& c) { return c.UnplugAll(); },
       status::kNoSuchDevice},
      {"put with no child driver registered", [](velmora::Client& c) { return c.Put(1, Bytes("x")); },
       status::kUnsuccessful},
      {"fetch after the event was withdrawn",
       [](velmora::Client& c) {
         c.DeleteEvent();
         std::optional<velmora::Record> record;
         return c.Fetch(record);
       },
       status::kUnsuccessful},
      {"pass-event once the event is withdrawn again works",
       [](velmora::Client& c) {
         c.DeleteEvent();
         return c.PassEvent();
       },
       status::kSuccess},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto client = Connected();
    Result r = c.act(*client);
    EXPECT_EQ(r.status, c.expected) << "expected " << Hex(c.expected) << ", got " << r.Message();
    EXPECT_TRUE(r.sent) << "the driver answered this one";
    if (!r.ok()) {
      EXPECT_NE(r.Message().find(velmora::StatusName(c.expected)), std::string::npos) << r.Message();
    }
    // Children are reported before they go: one never reported stays on the
    // bus's list until the bus itself is removed.
    bus_->Enumerate();
    client->UnplugAll();
    bus_->Enumerate();
    ASSERT_TRUE(bus_->Children().empty());
  }
}

TEST_F(ClientWithSampleDriverTest, RequestsToASurpriseRemovedBusGetTheBussAnswer) {
  auto client = Connected();
  khost::Pnp().SurpriseRemove(bus_->Node());
  Result plug = client->PlugIn(1, std::vector<std::string>{"VELMORA\\NET"});
  EXPECT_EQ(plug.status, status::kDeviceNotConnected) << plug.Message();
  EXPECT_TRUE(plug.sent);
  Result closed = client->Close();
  EXPECT_EQ(closed.status, status::kDeviceNotConnected) << "the withdrawal is refused too: " << closed.Message();
  EXPECT_FALSE(client->IsOpen()) << "the handle is closed all the same";
  khost::Pnp().CompleteSurpriseRemoval(bus_->Node());
}

// ------------------------------------------------------------------ refused arguments

class ClientRefusalTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    Boot(ChildDriver::Sample);
  }
};

TEST_F(ClientRefusalTest, BadArgumentsAreRefusedBeforeAnyRequestIsSent) {
  const std::string id199(199, 'A');
  struct Case {
    const char* what;
    std::function<Result(velmora::Client&)> act;
    const char* detail;  // a part of the explanation
  };
  const std::vector<Case> cases = {
      {"an empty list of hardware IDs", [](velmora::Client& c) { return c.PlugIn(1, std::vector<std::string>{}); },
       "empty"},
      {"an empty ID in the list",
       [](velmora::Client& c) {
         return c.PlugIn(1, std::vector<std::string>{"VELMORA\\NET", ""});
       },
       "hardware ID 2 is empty"},
      {"a blank in an ID", [](velmora::Client& c) { return c.PlugIn(1, std::vector<std::string>{"VELMORA\\N ET"}); },
       "0x20"},
      {"a comma in an ID", [](velmora::Client& c) { return c.PlugIn(1, std::vector<std::string>{"VELMORA\\NET,2"}); },
       "0x2C"},
      {"a control character in an ID",
       [](velmora::Client& c) { return c.PlugIn(1, std::vector<std::string>{"VELMORA\\\tNET"}); }, "0x09"},
      {"a character above 0x7F in an ID",
       [](velmora::Client& c) { return c.PlugIn(1, std::vector<std::u16string>{u"VELMORA\\N\u00c9T"}); }, "0xC9"},
      {"an ID of 200 characters",
       [&](velmora::Client& c) {
         return c.PlugIn(1, std::vector<std::string>{"VELMORA\\NET", id199 + "B"});
       },
       "200 characters"},
      {"a device ID too long for the instance ID of a four-digit serial",
       [](velmora::Client& c) { return c.PlugIn(1, std::vector<std::string>{std::string(168, 'D')}); }, "instance ID"},
      {"a device ID too long for the instance ID of a five-digit serial",
       [](velmora::Client& c) { return c.PlugIn(12345, std::vector<std::string>{std::string(167, 'D')}); },
       "instance ID"},
      {"hardware IDs over 1024 characters in all",
       [](velmora::Client& c) {
         std::vector<std::string> ids{"VELMORA\\NET"};
         for (char k = 'A'; k < 'G'; ++k) ids.push_back(std::string(199, k));
         return c.PlugIn(1, ids);
       },
       "1024"},
      {"plug-in of serial number 0",
       [](velmora::Client& c) { return c.PlugIn(0, std::vector<std::string>{"VELMORA\\NET"}); }, "serial number 0"},
      {"unplug of serial number 0", [](velmora::Client& c) { return c.Unplug(0); }, "UnplugAll"},
      {"put with message id 5", [](velmora::Client& c) { return c.Put(5, Bytes("x")); }, "message id 5"},
      {"put with message id 21", [](velmora::Client& c) { return c.Put(MSG_SEND_DATA, Bytes("x")); }, "id 21"},
      {"put with message id 0", [](velmora::Client& c) { return c.Put(0, Bytes("x")); }, "id 0"},
      {"put of a payload over the limit",
       [](velmora::Client& c) { return c.Put(1, std::vector<uint8_t>(velmora::limits::kMaxPayload + 1, 7)); },
       "at most"},
      {"put of a null payload with a size", [](velmora::Client& c) { return c.Put(1, nullptr, 3); }, "null"},
      {"a receive loop without a handler", [](velmora::Client& c) { return c.StartReceiving(nullptr); },
       "no record handler"},
  };
  auto client = Connected();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int before = controls_.load();
    Result r = c.act(*client);
    EXPECT_EQ(r.status, status::kInvalidParameter) << r.Message();
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(controls_.load(), before) << "a request reached the driver";
    EXPECT_NE(r.detail.find(c.detail), std::string::npos) << "the detail was: " << r.detail;
    EXPECT_NE(r.Message().find("refused by the client"), std::string::npos) << r.Message();
  }
  bus_->Enumerate();
  EXPECT_TRUE(bus_->ChildNodes().empty());
  EXPECT_TRUE(bus_->Children().empty());
}

TEST_F(ClientRefusalTest, CallsOutOfOrderAreRefusedWithTheClientsState) {
  auto client = NewClient();
  struct Case {
    const char* what;
    std::function<Result()> act;
  };
  const std::vector<Case> unopened = {
      {"pass-event", [&] { return client->PassEvent(); }},
      {"delete-event", [&] { return client->DeleteEvent(); }},
      {"plug-in", [&] { return client->PlugIn(1, std::vector<std::string>{"VELMORA\\NET"}); }},
      {"unplug", [&] { return client->Unplug(1); }},
      {"unplug all", [&] { return client->UnplugAll(); }},
      {"put", [&] { return client->Put(1, Bytes("x")); }},
      {"fetch",
       [&] {
         std::optional<velmora::Record> record;
         return client->Fetch(record);
       }},
      {"receive", [&] { return client->StartReceiving([](const velmora::Record&) {}); }},
  };
  for (const Case& c : unopened) {
    SCOPED_TRACE(c.what);
    Result r = c.act();
    EXPECT_EQ(r.status, status::kInvalidDeviceState) << r.Message();
    EXPECT_FALSE(r.sent);
    EXPECT_NE(r.detail.find("not open"), std::string::npos) << r.detail;
  }
  EXPECT_TRUE(client->Close().ok()) << "closing a closed client does nothing";

  ASSERT_TRUE(client->Open().ok());
  Result twice = client->Open();
  EXPECT_EQ(twice.status, status::kInvalidDeviceState) << twice.Message();
  Result receive = client->StartReceiving([](const velmora::Record&) {});
  EXPECT_EQ(receive.status, status::kInvalidDeviceState) << "no event passed: " << receive.Message();
  EXPECT_EQ(controls_.load(), 0) << "nothing reached the driver";
}

TEST_F(ClientRefusalTest, OptionsOutOfRangeAreRefusedAtOpen) {
  for (uint32_t size : {0u, velmora::limits::kMaxPayload + 1}) {
    velmora::ClientOptions options;
    options.maxRecordSize = size;
    auto client = NewClient(options);
    Result r = client->Open();
    EXPECT_EQ(r.status, status::kInvalidParameter) << "maxRecordSize " << size << ": " << r.Message();
    EXPECT_FALSE(client->IsOpen());
  }
  EXPECT_EQ(bus_->Bus()->OpenHandleCount, 0);
}

TEST_F(ClientRefusalTest, ArgumentsAtTheLimitsAreAcceptedByClientAndDriverAlike) {
  // Five IDs of 199, the first 167 so that it leaves room for a four-digit
  // instance ID, and one of 55: exactly 1024 characters with the nulls.
  std::vector<std::string> full{std::string(167, 'F'), std::string(199, 'A'), std::string(199, 'B'),
                                std::string(199, 'C'), std::string(199, 'D'), std::string(54, 'E')};
  struct Case {
    const char* what;
    uint32_t serial;
    std::vector<std::string> ids;
  };
  const std::vector<Case> cases = {
      {"an ID of 199 characters", 1, {"VELMORA\\NET", std::string(199, 'A')}},
      {"a device ID of 167 characters with a four-digit serial", 2, {std::string(167, 'D')}},
      {"a device ID of 166 characters with a five-digit serial", 12345, {std::string(166, 'D')}},
      {"IDs of '!' and 0x7F", 3, {"!", "VELMORA\\\x7F"}},
      {"hardware IDs of exactly 1024 characters", 4, full},
      {"the largest serial number", 0xFFFFFFFFu, {"VELMORA\\NET"}},
  };
  auto client = Connected();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Result r = client->PlugIn(c.serial, c.ids);
    EXPECT_TRUE(r.ok()) << r.Message();
    EXPECT_TRUE(r.sent);
    bus_->Enumerate();
    khost::DevNode* node = bus_->ChildNode(c.serial);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->hardwareIds.size(), c.ids.size());
    EXPECT_TRUE(client->Unplug(c.serial).ok());
    bus_->Enumerate();
  }
}

// ------------------------------------------------------------------ fetching

class ClientWithChildLinkTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    Boot(ChildDriver::Passthrough);
  }
  // A connected client and a child whose link the test holds.
  std::unique_ptr<velmora::Client> ConnectWithLink(velmora::ClientOptions options = {}) {
    auto client = Connected(options);
    khost::DevNode* child = PlugAndStart(*client, 1);
    EXPECT_NE(child, nullptr);
    if (child) {
      EXPECT_EQ(link_.Exchange(child), STATUS_SUCCESS);
    }
    return client;
  }
  ChildLink link_;
};

TEST_F(ClientWithChildLinkTest, FetchDeliversRecordsUpToTheMaximumAndReportsLargerOnesAsDropped) {
  velmora::ClientOptions options;
  options.maxRecordSize = 64;
  auto client = ConnectWithLink(options);
  for (size_t size : {1u, 5u, 64u, 65u, 7u})
    ASSERT_EQ(link_.Push(std::vector<uint8_t>(size, static_cast<uint8_t>(size))), STATUS_SUCCESS);

  for (size_t size : {1u, 5u, 64u}) {
    std::optional<velmora::Record> record;
    Result r = client->Fetch(record);
    ASSERT_TRUE(r.ok()) << r.Message();
    ASSERT_TRUE(record.has_value());
    EXPECT_EQ(record->payload, std::vector<uint8_t>(size, static_cast<uint8_t>(size)));
  }
  std::optional<velmora::Record> record;
  Result dropped = client->Fetch(record);
  EXPECT_EQ(dropped.status, status::kBufferTooSmall) << dropped.Message();
  EXPECT_TRUE(dropped.sent);
  EXPECT_NE(dropped.detail.find("64-byte maximum"), std::string::npos) << dropped.detail;
  EXPECT_FALSE(record.has_value());

  Result next = client->Fetch(record);
  ASSERT_TRUE(next.ok() && record.has_value()) << next.Message();
  EXPECT_EQ(record->payload.size(), 7u) << "the records behind the dropped one are intact";
}

// ------------------------------------------------------------------ the receive loop

TEST_F(ClientWithSampleDriverTest, ReceiveLoopDeliversABurstPastTheHighMarkInOrder) {
  auto client = Connected();
  khost::DevNode* child = PlugAndStart(*client, 1);
  ASSERT_NE(child, nullptr);
  const int burst = 40;
  for (int i = 0; i < burst; ++i) ASSERT_TRUE(client->Put(1, Numbered("echo-", i)).ok());
  EXPECT_EQ(bus_->Bus()->SendCount, static_cast<ULONG>(burst));
  EXPECT_FALSE(bus_->Bus()->FlowOn) << "the queue is past its high mark";

  Inbox inbox;
  ASSERT_TRUE(client->StartReceiving(inbox.OnRecord(), inbox.OnError()).ok());
  EXPECT_TRUE(WaitUntil([&] { return inbox.Count() == static_cast<size_t>(burst); })) << inbox.Count();
  Result stopped = client->StopReceiving();
  EXPECT_TRUE(stopped.ok()) << stopped.Message();
  EXPECT_FALSE(client->Receiving());

  EXPECT_EQ(inbox.Texts(), Expected("echo-", 0, burst));
  EXPECT_TRUE(inbox.errors.empty());
  EXPECT_TRUE(bus_->Bus()->FlowOn);
  EXPECT_EQ(SampleOn(child)->Drained, 1u) << "one MSG_QUEUE_DRAINED once the queue fell below the low mark";
  EXPECT_FALSE(SampleOn(child)->FlowOff);
}

TEST_F(ClientWithChildLinkTest, ReceiveLoopKeepsUpWithRecordsPushedWhileItRuns) {
  auto client = ConnectWithLink();
  Inbox inbox;
  ASSERT_TRUE(client->StartReceiving(inbox.OnRecord(), inbox.OnError()).ok());
  const int count = 200;
  khost::RunAtIrql(DISPATCH_LEVEL, [&] {
    for (int i = 0; i < count; ++i) ASSERT_EQ(link_.PushHere(Numbered("up-", i)), STATUS_SUCCESS);
  });
  EXPECT_TRUE(WaitUntil([&] { return inbox.Count() == static_cast<size_t>(count); })) << inbox.Count();
  EXPECT_TRUE(client->StopReceiving().ok());
  EXPECT_EQ(inbox.Texts(), Expected("up-", 0, count));
  EXPECT_TRUE(inbox.errors.empty());
  EXPECT_EQ(bus_->Bus()->SendCount, 0u);
}

TEST_F(ClientWithChildLinkTest, ReceiveLoopReportsARecordTooLargeAndGoesOn) {
  velmora::ClientOptions options;
  options.maxRecordSize = 32;
  auto client = ConnectWithLink(options);
  ASSERT_EQ(link_.Push(std::vector<uint8_t>(10, 1)), STATUS_SUCCESS);
  ASSERT_EQ(link_.Push(std::vector<uint8_t>(33, 2)), STATUS_SUCCESS);
  ASSERT_EQ(link_.Push(std::vector<uint8_t>(32, 3)), STATUS_SUCCESS);

  Inbox inbox;
  ASSERT_TRUE(client->StartReceiving(inbox.OnRecord(), inbox.OnError()).ok());
  EXPECT_TRUE(WaitUntil([&] { return inbox.Count() == 2; }));
  EXPECT_TRUE(client->Receiving()) << "a dropped record does not end the loop";
  EXPECT_TRUE(client->StopReceiving().ok());
  ASSERT_EQ(inbox.records.size(), 2u);
  EXPECT_EQ(inbox.records[0].payload, std::vector<uint8_t>(10, 1));
  EXPECT_EQ(inbox.records[1].payload, std::vector<uint8_t>(32, 3));
  ASSERT_EQ(inbox.errors.size(), 1u);
  EXPECT_EQ(inbox.errors[0].status, status::kBufferTooSmall) << inbox.errors[0].Message();
}

TEST_F(ClientWithSampleDriverTest, StoppingWakesTheLoopAtOnceAndLeavesLaterRecordsQueued) {
  velmora::ClientOptions options;
  options.waitSlice = std::chrono::seconds(60);
  auto client = Connected(options);
  ASSERT_NE(PlugAndStart(*client, 1), nullptr);
  Inbox inbox;
  ASSERT_TRUE(client->StartReceiving(inbox.OnRecord(), inbox.OnError()).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(client->StopReceiving().ok());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10))
      << "the loop waited out its slice instead of being woken";
  EXPECT_FALSE(client->Receiving());

  for (int i = 0; i < 3; ++i) ASSERT_TRUE(client->Put(2, Numbered("later-", i)).ok());
  EXPECT_EQ(inbox.Count(), 0u);
  EXPECT_EQ(bus_->Bus()->SendCount, 3u) << "a stopped loop fetches nothing";

  ASSERT_TRUE(client->StartReceiving(inbox.OnRecord(), inbox.OnError()).ok());
  EXPECT_TRUE(WaitUntil([&] { return inbox.Count() == 3; }));
  EXPECT_TRUE(client->StopReceiving().ok());
  EXPECT_EQ(inbox.Texts(), Expected("later-", 0, 3));
}

TEST_F(ClientWithSampleDriverTest, AHandlerCanStopTheLoopAndTheRestStayQueuedForTheNextOne) {
  auto client = Connected();
  ASSERT_NE(PlugAndStart(*client, 1), nullptr);
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(client->Put(1, Numbered("r", i)).ok());

  Inbox inbox;
  velmora::Client* self = client.get();
  auto stopAfterThree = [&](const velmora::Record& r) {
    inbox.OnRecord()(r);
    if (inbox.Count() == 3) {
      EXPECT_TRUE(self->StopReceiving().ok());
    }
  };
  ASSERT_TRUE(client->StartReceiving(stopAfterThree, inbox.OnError()).ok());
  EXPECT_TRUE(WaitUntil([&] { return !client->Receiving(); }));
  EXPECT_TRUE(client->StopReceiving().ok());
  EXPECT_EQ(inbox.Texts(), Expected("r", 0, 3));

  // The rest were woken for already; a new loop must still find them.
  ASSERT_TRUE(client->StartReceiving(inbox.OnRecord(), inbox.OnError()).ok());
  EXPECT_TRUE(WaitUntil([&] { return inbox.Count() == 10; })) << inbox.Count();
  EXPECT_TRUE(client->StopReceiving().ok());
  EXPECT_EQ(inbox.Texts(), Expected("r", 0, 10));
}

TEST_F(ClientWithSampleDriverTest, AFailedFetchEndsTheLoopWithItsStatus) {
  auto client = Connected();
  Inbox inbox;
  ASSERT_TRUE(client->StartReceiving(inbox.OnRecord(), inbox.OnError()).ok());
  // Another client of the same service withdraws the event from the bus.
  auto other = NewClient();
  ASSERT_TRUE(other->Open().ok());
  ASSERT_TRUE(other->DeleteEvent().ok());
  client->GetTransport().SignalEvent();

  EXPECT_TRUE(WaitUntil([&] { return !client->Receiving(); }));
  Result ended = client->StopReceiving();
  EXPECT_EQ(ended.status, status::kUnsuccessful) << ended.Message();
  EXPECT_TRUE(ended.sent);
  std::lock_guard<std::mutex> hold(inbox.lock);
  ASSERT_EQ(inbox.errors.size(), 1u);
  EXPECT_EQ(inbox.errors[0].status, status::kUnsuccessful);
}

TEST_F(ClientWithSampleDriverTest, DestroyingAClientWithARunningLoopStopsItAndLeavesNothingOpen) {
  auto client = Connected();
  ASSERT_NE(PlugAndStart(*client, 1), nullptr);
  Inbox inbox;
  ASSERT_TRUE(client->StartReceiving(inbox.OnRecord(), inbox.OnError()).ok());
  ASSERT_TRUE(client->Put(1, Bytes("last")).ok());
  EXPECT_TRUE(WaitUntil([&] { return inbox.Count() == 1; }));
  client.reset();
  EXPECT_EQ(bus_->Bus()->UserEvent, nullptr);
  EXPECT_EQ(bus_->Bus()->OpenHandleCount, 0);
  EXPECT_EQ(bus_->Service().OpenHandles(), 0u);
}
