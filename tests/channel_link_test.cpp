// The callback link: the exchange a child's function driver makes through its
// child device, MSG_UNREGISTER, and the records the service puts down to the
// child driver.
#include "channel_support.h"

using velmora_test::ChannelTest;
using velmora_test::ExchangeInput;
using velmora_test::LinkRecorder;
using velmora_test::MessageRecord;
using velmora_test::Payload;

namespace {

// --------------------------------------------------------------- exchange

class CallbackExchange : public ChannelTest {};

TEST_F(CallbackExchange, FromKernelModeThroughAChildSwapsCallbacksAndContexts) {
  LinkRecorder recorder;
  khost::RequestResult result = Exchange(recorder);
  EXPECT_EQ(result.status, STATUS_SUCCESS);

  EXPECT_EQ(recorder.Exchange()->BusContext, Bus()) << "the bus gives its extension as context";
  EXPECT_NE(recorder.Exchange()->BusCallback, nullptr);
  EXPECT_EQ(Bus()->ChildCallback, &LinkRecorder::Callback);
  EXPECT_EQ(Bus()->ChildContext, recorder.Context());
  // What the child driver filled in is left as it was.
  EXPECT_EQ(recorder.Exchange()->ChildCallback, &LinkRecorder::Callback);
  EXPECT_EQ(recorder.Exchange()->ChildContext, recorder.Context());
}

TEST_F(CallbackExchange, InformationNeverExceedsTheOutputLength) {
  for (ULONG output : {0u, 8u, 16u, 64u}) {
    LinkRecorder recorder;
    khost::RequestResult result = Exchange(recorder, output);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << "output " << output;
    EXPECT_EQ(result.information, std::min<ULONG_PTR>(output, 16)) << "output " << output;
  }
}

TEST_F(CallbackExchange, FromUserModeIsRefusedAndNothingIsReadOrWritten) {
  LinkRecorder earlier;
  ASSERT_EQ(Exchange(earlier).status, STATUS_SUCCESS);

  LinkRecorder intruder;
  std::vector<uint8_t> input = ExchangeInput(intruder.Exchange());
  for (bool internal : {false, true}) {
    // The service's own handle on the bus: the request arrives in user mode.
    NTSTATUS status = Service().DeviceIoControl(control_, IOCTL_NETBUS_EXCHANGE_CALLBACK, input.data(), 16,
                                                nullptr, 0, nullptr, internal);
    EXPECT_EQ(status, STATUS_ACCESS_DENIED) << (internal ? "internal" : "device control");
  }
  // A user-mode requester through the child's stack fares no better.
  EXPECT_EQ(ExchangeRaw(input, 0, UserMode).status, STATUS_ACCESS_DENIED);

  EXPECT_EQ(intruder.Exchange()->BusCallback, nullptr) << "the bus wrote into a user-supplied record";
  EXPECT_EQ(intruder.Exchange()->BusContext, nullptr);
  EXPECT_EQ(Bus()->ChildCallback, &LinkRecorder::Callback);
  EXPECT_EQ(Bus()->ChildContext, earlier.Context()) << "the earlier registration must stand";
}

TEST_F(CallbackExchange, WrongLengthOrNullPointerFailsAndKeepsTheEarlierRegistration) {
  LinkRecorder earlier;
  ASSERT_EQ(Exchange(earlier).status, STATUS_SUCCESS);

  LinkRecorder later;
  std::vector<uint8_t> good = ExchangeInput(later.Exchange());
  struct Case {
    const char* what;
    std::vector<uint8_t> input;
  };
  std::vector<Case> cases = {
      {"15 bytes", std::vector<uint8_t>(good.begin(), good.begin() + 15)},
      {"17 bytes", [&] {
         std::vector<uint8_t> v(good);
         v.push_back(0);
         return v;
       }()},
      {"no input", {}},
      {"null pointer", ExchangeInput(nullptr)},
  };
  for (const Case& c : cases) {
    khost::RequestResult result = ExchangeRaw(c.input);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << c.what;
    EXPECT_EQ(result.information, 0u) << c.what;
    EXPECT_EQ(Bus()->ChildContext, earlier.Context()) << c.what;
    EXPECT_EQ(Bus()->ChildCallback, &LinkRecorder::Callback) << c.what;
  }
  EXPECT_EQ(later.Exchange()->BusCallback, nullptr) << "a refused exchange wrote the record";
}

TEST_F(CallbackExchange, ASecondExchangeReplacesTheFirst) {
  LinkRecorder first, second;
  ASSERT_EQ(Exchange(first).status, STATUS_SUCCESS);
  ASSERT_EQ(Exchange(second).status, STATUS_SUCCESS);
  EXPECT_EQ(Bus()->ChildContext, second.Context());

  ASSERT_EQ(Put(MessageRecord(NETBUS_MSG_TAG, 1, Payload(4))), STATUS_SUCCESS);
  EXPECT_EQ(first.CallCount(), 0u);
  EXPECT_EQ(second.CallCount(), 1u);
}

TEST_F(CallbackExchange, UnregisterMakesPutsFailAndReachNoOne) {
  LinkRecorder recorder;
  ASSERT_EQ(Exchange(recorder).status, STATUS_SUCCESS);
  EXPECT_EQ(recorder.Unregister(), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->ChildCallback, nullptr);
  EXPECT_EQ(Bus()->ChildContext, nullptr);

  EXPECT_EQ(Put(MessageRecord(NETBUS_MSG_TAG, 1, Payload(4))), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(recorder.CallCount(), 0u);

  // The bus's callback stays usable: a push still queues, a no-op is taken.
  EXPECT_EQ(recorder.Push(Payload(3)), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->SendCount, 1u);
  EXPECT_EQ(recorder.Send(MessageRecord(NETBUS_MSG_TAG, MSG_NOP, {})), STATUS_SUCCESS);
  EXPECT_EQ(recorder.Send(MessageRecord(0, 0x42, Payload(2))), STATUS_SUCCESS) << "unknown ids are accepted";
}

// --------------------------------------------------------------- put

class PutMessage : public ChannelTest {};

TEST_F(PutMessage, MalformedRecordsAreRefusedBeforeAnyCallback) {
  struct Case {
    const char* what;
    std::vector<uint8_t> input;
    bool registered;
    NTSTATUS expected;
  };
  std::vector<uint8_t> sevenBytes = MessageRecord(NETBUS_MSG_TAG, 1, {});
  sevenBytes.pop_back();
  std::vector<Case> cases = {
      {"no input", {}, true, STATUS_INVALID_PARAMETER},
      {"7 bytes", sevenBytes, true, STATUS_INVALID_PARAMETER},
      {"Length beyond the input", MessageRecord(NETBUS_MSG_TAG, 1, 5, Payload(4)), true, STATUS_INVALID_PARAMETER},
      {"Length that wraps 32 bits", MessageRecord(NETBUS_MSG_TAG, 1, 0xFFFFFFF9u, Payload(4)), true,
       STATUS_INVALID_PARAMETER},
      {"Length 0xFFFFFFFF", MessageRecord(NETBUS_MSG_TAG, 1, 0xFFFFFFFFu, {}), true, STATUS_INVALID_PARAMETER},
      {"tag 0x21", MessageRecord(0x21, 1, Payload(4)), true, STATUS_INVALID_PARAMETER},
      {"tag 0x21, nobody registered", MessageRecord(0x21, 1, Payload(4)), false, STATUS_INVALID_PARAMETER},
      {"tag 0x21 and Length beyond the input", MessageRecord(0x21, 1, 100, Payload(4)), false,
       STATUS_INVALID_PARAMETER},
      {"good record, nobody registered", MessageRecord(NETBUS_MSG_TAG, 1, Payload(4)), false, STATUS_UNSUCCESSFUL},
      {"unknown id 5", MessageRecord(NETBUS_MSG_TAG, 5, Payload(4)), true, STATUS_SUCCESS},
      {"unknown id 21", MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, Payload(4)), true, STATUS_SUCCESS},
      {"unknown id 5, nobody registered", MessageRecord(NETBUS_MSG_TAG, 5, Payload(4)), false,
       STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    LinkRecorder recorder;
    if (c.registered) {
      ASSERT_EQ(Exchange(recorder).status, STATUS_SUCCESS);
    }
    ULONG_PTR information = 99;
    EXPECT_EQ(Put(c.input, &information), c.expected) << c.what;
    EXPECT_EQ(recorder.CallCount(), 0u) << c.what << ": the child driver was called";
    if (c.registered) {
      ASSERT_EQ(recorder.Unregister(), STATUS_SUCCESS);
    }
  }
}

TEST_F(PutMessage, PassesIds1To4_8And9ThroughByteForByteWithTheChildsContext) {
  LinkRecorder recorder;
  ASSERT_EQ(Exchange(recorder).status, STATUS_SUCCESS);
  for (uint8_t id : {1, 2, 3, 4, 8, 9}) {
    recorder.Clear();
    std::vector<uint8_t> record = MessageRecord(NETBUS_MSG_TAG, id, Payload(id * 3 + 1, id));
    record[2] = 0x31;  // bytes 2 and 3 are not interpreted: they travel as they are
    record[3] = 0x32;
    ULONG_PTR information = 99;
    EXPECT_EQ(Put(record, &information), STATUS_SUCCESS) << "id " << int(id);
    EXPECT_EQ(information, 0u) << "id " << int(id);
    std::vector<LinkRecorder::Call> calls = recorder.Calls();
    ASSERT_EQ(calls.size(), 1u) << "id " << int(id);
    EXPECT_EQ(calls[0].bytes, record) << "id " << int(id);
    EXPECT_EQ(calls[0].context, recorder.Context()) << "id " << int(id);
  }
}

TEST_F(PutMessage, InputBeyondTheRecordIsAllowedAndNotPassedAsPayload) {
  LinkRecorder recorder;
  ASSERT_EQ(Exchange(recorder).status, STATUS_SUCCESS);
  std::vector<uint8_t> record = MessageRecord(NETBUS_MSG_TAG, 2, 3, Payload(10));
  EXPECT_EQ(Put(record), STATUS_SUCCESS);
  std::vector<LinkRecorder::Call> calls = recorder.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].bytes, std::vector<uint8_t>(record.begin(), record.begin() + 11));
}

TEST_F(PutMessage, UnknownIdIsTracedAndReachesNoCallback) {
  LinkRecorder recorder;
  ASSERT_EQ(Exchange(recorder).status, STATUS_SUCCESS);
  TraceMask = 0x100;
  khost::TakeTraceLines();
  EXPECT_EQ(Put(MessageRecord(NETBUS_MSG_TAG, 5, Payload(2))), STATUS_SUCCESS);
  TraceMask = 0;
  EXPECT_EQ(recorder.CallCount(), 0u);
  std::vector<std::string> lines = khost::TakeTraceLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], "Velmora===: Unknown message id=5\n");
}

}  // namespace
