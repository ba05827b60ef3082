// The client library against the bus in the kernel host, end to end.
#include "service_fixture.h"

using namespace service_test;
using ClientTest = ServiceTest;

TEST_F(ClientTest, AServicePlugsInPutsFetchesUnplugsAndClosesSeeingEveryStatusExactly) {
  auto client = Connected();
  Expect(client->Put(1, Bytes("x")), status::kUnsuccessful);  // no child driver registered yet
  Expect(client->UnplugAll(), status::kNoSuchDevice);
  Expect(client->PlugIn(1, std::vector<std::string>{"VELMORA\\NET", "VELMORA\\ANY"}), status::kSuccess);
  Expect(client->PlugIn(1, std::vector<std::string>{"VELMORA\\NET"}), status::kInvalidParameter);
  bus_->Enumerate();
  khost::DevNode* one = bus_->ChildNode(1);
  ASSERT_TRUE(one && one->state == khost::DevNodeState::Started);
  EXPECT_EQ(khost::Narrow(one->instanceId), "0001");
  ASSERT_EQ(one->hardwareIds.size(), 2u) << "the IDs travel as one multi-string";
  EXPECT_EQ(khost::Narrow(one->hardwareIds[1]), "VELMORA\\ANY");

  // The sample child driver echoes every record put down; the echoes come back in order.
  for (const std::string& text : Numbered("record-", 10)) Expect(client->Put(1 + text.back() % 4, Bytes(text)), 0);
  std::optional<velmora::Record> record;
  for (const std::string& text : Numbered("record-", 10)) {
    Result fetched = client->Fetch(record);
    ASSERT_TRUE(fetched.ok() && record) << fetched.Message() << ": " << text << " missing";
    EXPECT_TRUE(record->tag == NETBUS_MSG_TAG && record->msgId == MSG_SEND_DATA);
    EXPECT_EQ(std::string(record->payload.begin(), record->payload.end()), text);
    EXPECT_EQ(fetched.information, record->payload.size() + VELMORA_GET_MSG_OVERHEAD);
  }
  EXPECT_TRUE(client->Fetch(record).ok() && !record) << "an empty queue answers the empty reply";

  // IDs at every limit the client checks: the longest ID, the longest device ID beside a four- and a five-digit
  // instance ID, 1024 characters with the nulls, '!' and 0x7F; and the largest serial number.
  const std::vector<std::string> full{std::string(167, 'F'), std::string(199, 'A'), std::string(199, 'B'),
                                      std::string(199, 'C'), std::string(199, 'D'), std::string(54, 'E')};
  Expect(client->PlugIn(4, full), status::kSuccess);
  Expect(client->PlugIn(12345, std::vector<std::u16string>{std::u16string(166, u'D'), u"!", u"A\\\x7F"}, 0x22), 0);
  Expect(client->PlugIn(0xFFFFFFFFu, std::vector<std::string>{"VELMORA\\NET"}), status::kSuccess);
  Expect(client->Unplug(7), status::kNoSuchDevice);
  Expect(client->Unplug(1), status::kSuccess);
  bus_->Enumerate();
  ASSERT_TRUE(bus_->ChildNode(4) && bus_->ChildNode(12345) && bus_->ChildNode(0xFFFFFFFFu) && !bus_->ChildNode(1));
  EXPECT_EQ(bus_->ChildNode(4)->hardwareIds.size(), 6u);
  EXPECT_EQ(bus_->ChildNode(12345)->pdo->DeviceType, 0x22u) << "the device type given at plug-in";
  Expect(client->UnplugAll(), status::kSuccess);
  bus_->Enumerate();
  EXPECT_TRUE(bus_->ChildNodes().empty());
  Expect(client->Close(), status::kSuccess);
  EXPECT_EQ(bus_->Bus()->UserEvent, nullptr) << "closing withdraws the event";
  EXPECT_EQ(bus_->Service().OpenHandles(), 0u) << "device and event handles closed";
}

TEST_F(ClientTest, ARemovedBusAnswersNotConnectedAndThenIsNotFound) {
  auto client = Connected();
  khost::Pnp().SurpriseRemove(bus_->Node());
  Expect(client->PlugIn(1, std::vector<std::string>{"VELMORA\\NET"}), status::kDeviceNotConnected);
  Expect(client->Close(), status::kDeviceNotConnected);  // the withdrawal is refused, and yet
  EXPECT_FALSE(client->IsOpen()) << "the handle is closed all the same";
  khost::Pnp().CompleteSurpriseRemoval(bus_->Node());
  Expect(NewClient()->Open(), status::kObjectNameNotFound);
}

TEST_F(ClientTest, EveryArgumentTheClientRefusesIsRefusedBeforeAnythingIsSent) {
  static std::atomic<int> requests{0};  // every request the bus takes passes its remove lock
  khost::SetHook("remove-lock-acquire", [] { requests++; });
  auto idle = NewClient(), unpassed = NewClient(), client = Connected();
  ASSERT_TRUE(unpassed->Open().ok());
  const auto plug = [&](uint32_t serial, std::vector<std::string> ids) {
    return [&client, serial, ids] { return client->PlugIn(serial, ids); };
  };
  const auto open = [this](uint32_t size, int slice) {
    return [this, size, slice] { return NewClient({size, std::chrono::milliseconds(slice)})->Open(); };
  };
  std::vector<std::string> tooMany{"VELMORA\\NET"};
  for (char k = 'A'; k < 'G'; ++k) tooMany.push_back(std::string(199, k));
  const auto kState = status::kInvalidDeviceState;
  // What is refused, how, a part of the explanation, and the status (STATUS_INVALID_PARAMETER unless given).
  struct Case { const char* what; std::function<Result()> act; const char* detail; uint32_t expected = 0xC000000D; };
  const std::vector<Case> cases = {
      {"no hardware IDs", plug(1, {}), "empty"},
      {"an empty ID", plug(1, {"VELMORA\\NET", ""}), "hardware ID 2 is empty"},
      {"a blank in an ID", plug(1, {"VELMORA\\N ET"}), "0x20"},
      {"a comma in an ID", plug(1, {"VELMORA\\NET,2"}), "0x2C"},
      {"a character above 0x7F", [&] { return client->PlugIn(1, std::vector<std::u16string>{u"N\u00c9T"}); }, "0xC9"},
      {"an ID of 200 characters", plug(1, {"VELMORA\\NET", std::string(200, 'B')}), "200 characters"},
      {"a device ID too long beside a four-digit instance ID", plug(1, {std::string(168, 'D')}), "instance ID"},
      {"a device ID too long beside a five-digit instance ID", plug(12345, {std::string(167, 'D')}), "instance ID"},
      {"hardware IDs over 1024 characters in all", plug(1, tooMany), "1024"},
      {"plug-in of serial number 0", plug(0, {"VELMORA\\NET"}), "serial number 0"},
      {"unplug of serial number 0", [&] { return client->Unplug(0); }, "UnplugAll"},
      {"put with message id 5", [&] { return client->Put(5, Bytes("x")); }, "message id 5"},
      {"put with message id 21", [&] { return client->Put(MSG_SEND_DATA, Bytes("x")); }, "id 21"},
      {"a payload over 1 MiB", [&] { return client->Put(1, std::vector<uint8_t>((1 << 20) + 1)); }, "at most"},
      {"a null payload with a size", [&] { return client->Put(1, nullptr, 3); }, "null"},
      {"a receive loop without a handler", [&] { return client->StartReceiving(nullptr); }, "no record handler"},
      {"a maximum record size of 0", open(0, 500), "maxRecordSize 0"},
      {"a maximum record size over 1 MiB", open((1 << 20) + 1, 500), "maxRecordSize 1048577"},
      {"a wait slice of 0", open(4096, 0), "waitSlice"},
      {"put before open", [&] { return idle->Put(1, Bytes("x")); }, "not open", kState},
      {"pass-event before open", [&] { return idle->PassEvent(); }, "not open", kState},
      {"receive before the event is passed", [&] { return unpassed->StartReceiving([](auto&) {}); }, "Pass", kState},
      {"open twice", [&] { return client->Open(); }, "already open", kState},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const int before = requests.load();
    Result r = c.act();
    EXPECT_EQ(r.status, c.expected) << r.Message();
    EXPECT_FALSE(r.sent);
    EXPECT_EQ(requests.load(), before) << "a request reached the driver";
    EXPECT_NE(r.detail.find(c.detail), std::string::npos) << "the detail was: " << r.detail;
    EXPECT_NE(r.Message().find("refused by the client"), std::string::npos) << r.Message();
  }
  const int before = requests.load();
  EXPECT_EQ(client->UnplugAll().status, status::kNoSuchDevice);
  EXPECT_EQ(requests.load(), before + 1) << "the count sees a request that is sent";
  khost::ClearHooks();
}

TEST_F(ClientTest, ReceiveLoopDeliversABurstPastTheHighMarkInOrderAndStopsWithItsClient) {
  auto client = Connected();
  khost::DevNode* child = PlugAndStart(*client, 1);
  ASSERT_NE(child, nullptr);
  for (const std::string& text : Numbered("echo-", 40)) ASSERT_TRUE(client->Put(1, Bytes(text)).ok());
  EXPECT_EQ(bus_->Bus()->SendCount, 40u);
  EXPECT_FALSE(bus_->Bus()->FlowOn) << "the queue is past its high mark";
  Inbox inbox;
  ASSERT_TRUE(client->StartReceiving(std::ref(inbox), std::ref(inbox)).ok());
  EXPECT_TRUE(WaitUntil([&] { return inbox.Count() == 40; })) << inbox.Count();
  EXPECT_TRUE(client->StopReceiving().ok());
  EXPECT_EQ(inbox.texts, Numbered("echo-", 40));
  EXPECT_TRUE(inbox.errors.empty() && bus_->Bus()->FlowOn);
  auto sample = static_cast<PCHILDDRV_EXTENSION>(child->pdo->AttachedDevice->DeviceExtension);
  EXPECT_TRUE(sample->Drained == 1 && !sample->FlowOff) << "one MSG_QUEUE_DRAINED once below the low mark";

  ASSERT_TRUE(client->StartReceiving(std::ref(inbox)).ok());
  client.reset();
  EXPECT_EQ(bus_->Bus()->UserEvent, nullptr);
  EXPECT_EQ(bus_->Service().OpenHandles(), 0u);
}

TEST_F(ClientTest, TheLoopStopsPromptlyOrFromAHandlerSkipsARecordTooLargeAndEndsOnAFailedFetch) {
  auto client = Connected({32, std::chrono::seconds(60)});
  ASSERT_NO_FATAL_FAILURE(Link(*client));
  Inbox inbox;
  ASSERT_TRUE(client->StartReceiving(std::ref(inbox), std::ref(inbox)).ok());
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  const auto before = std::chrono::steady_clock::now();
  EXPECT_TRUE(client->StopReceiving().ok());
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(10)) << "stopping waited out the slice";
  std::vector<std::string> pushed = Numbered("r", 10);
  pushed.insert(pushed.begin() + 5, std::string(33, 'x'));  // one byte over the client's 32
  Push(pushed);
  EXPECT_EQ(bus_->Bus()->SendCount, 11u) << "a stopped loop fetches nothing";

  // A handler stops the loop after three; the rest were woken for already, and a new loop must still find them.
  ASSERT_TRUE(client->StartReceiving([&, self = client.get()](const velmora::Record& r) {
    inbox(r);
    EXPECT_TRUE(inbox.Count() != 3 || self->StopReceiving().ok());
  }).ok());
  EXPECT_TRUE(WaitUntil([&] { return !client->Receiving(); }));
  EXPECT_TRUE(client->StopReceiving().ok());
  EXPECT_EQ(inbox.texts, Numbered("r", 3));
  ASSERT_TRUE(client->StartReceiving(std::ref(inbox), std::ref(inbox)).ok());
  EXPECT_TRUE(WaitUntil([&] { return inbox.Count() == 10; })) << inbox.Count();
  EXPECT_TRUE(client->Receiving()) << "a record dropped as too large does not end the loop";
  EXPECT_EQ(inbox.texts, Numbered("r", 10));
  ASSERT_EQ(inbox.errors.size(), 1u);
  Expect(inbox.errors[0], status::kBufferTooSmall);
  EXPECT_NE(inbox.errors[0].detail.find("32-byte maximum"), std::string::npos) << inbox.errors[0].detail;

  auto other = NewClient();  // of the same service: it withdraws the event from the bus
  ASSERT_TRUE(other->Open().ok() && other->DeleteEvent().ok());
  client->GetTransport().SignalEvent();
  EXPECT_TRUE(WaitUntil([&] { return !client->Receiving(); }));
  Expect(client->StopReceiving(), status::kUnsuccessful);
  ASSERT_EQ(inbox.errors.size(), 2u);
  Expect(inbox.errors[1], status::kUnsuccessful);
}
