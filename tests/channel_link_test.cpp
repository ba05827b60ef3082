// The callback link: the exchange a child's function driver makes through its
// child device, MSG_UNREGISTER, and the records the service puts down to it.
#include <future>
#include <thread>

#include "channel_support.h"

using namespace velmora_test;

namespace {

class CallbackLink : public ChannelTest {};

TEST_F(CallbackLink, OnlyASixteenByteKernelModeExchangeIsTakenAndARefusedOneKeepsTheEarlier) {
  LinkRecorder earlier, later;
  KernelReply accepted = Exchange(earlier.Exchange(), 8);
  EXPECT_EQ(accepted.status, STATUS_SUCCESS);
  EXPECT_EQ(accepted.information, 8u) << "more than the output length";
  EXPECT_EQ(earlier.Exchange()->BusContext, Bus());

  std::vector<uint8_t> good = ExchangeInput(later.Exchange()), longer = good;
  longer.push_back(0);
  struct Case { const char* what; std::vector<uint8_t> input; KPROCESSOR_MODE mode; NTSTATUS expected; };
  const std::vector<Case> cases = {
      {"user mode", good, UserMode, STATUS_ACCESS_DENIED},
      {"15 bytes", std::vector<uint8_t>(good.begin(), good.end() - 1), KernelMode, STATUS_UNSUCCESSFUL},
      {"17 bytes", longer, KernelMode, STATUS_UNSUCCESSFUL},
      {"a null pointer", ExchangeInput(nullptr), KernelMode, STATUS_UNSUCCESSFUL},
  };
  for (const Case& c : cases) {
    KernelReply reply = KernelControl(childPdo_, IOCTL_NETBUS_EXCHANGE_CALLBACK, c.input, 0, c.mode);
    EXPECT_EQ(reply.status, c.expected) << c.what;
    EXPECT_EQ(reply.information, 0u) << c.what;
  }
  EXPECT_EQ(Service().DeviceIoControl(control_, IOCTL_NETBUS_EXCHANGE_CALLBACK, good.data(), 16, nullptr, 0),
            STATUS_ACCESS_DENIED) << "through the service's own handle on the bus";
  EXPECT_EQ(later.Exchange()->BusCallback, nullptr) << "a refused exchange wrote into the caller's record";
  EXPECT_EQ(Bus()->ChildCallback, earlier.Exchange()->ChildCallback) << "the earlier registration must stand";
  EXPECT_EQ(Bus()->ChildContext, earlier.Exchange()->ChildContext);
}

TEST_F(CallbackLink, AfterUnregisterPutsFailWhileTheBusStillTakesRecordsFromTheChild) {
  ASSERT_EQ(Exchange(recorder_.Exchange()).status, STATUS_SUCCESS);
  EXPECT_EQ(recorder_.Unregister(), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->ChildCallback, nullptr);
  EXPECT_EQ(Bus()->ChildContext, nullptr);
  EXPECT_EQ(Put(MessageRecord(NETBUS_MSG_TAG, 1, Payload(4))), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(recorder_.Calls().empty());
  EXPECT_EQ(recorder_.Push(Payload(3)), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->SendCount, 1u);
  // A no-op and ids the bus does not know are accepted; each call traces its way out.
  khost::TakeTraceLines();
  TraceMask = 0x10;
  EXPECT_EQ(recorder_.Send(MessageRecord(NETBUS_MSG_TAG, MSG_NOP, {})), STATUS_SUCCESS);
  EXPECT_EQ(recorder_.Send(MessageRecord(0, 0x42, Payload(2))), STATUS_SUCCESS) << "unknown ids are accepted";
  TraceMask = 0;
  EXPECT_EQ(khost::TakeTraceLines(), (std::vector<std::string>{"Velmora<===netBusCallback.", "Velmora<===netBusCallback."}));
}

// A child callback that, once entered, stays inside until released.
struct HeldCallback {
  CALLBACK_EXCHANGE exchange{nullptr, nullptr, &Callback, this};
  std::promise<void> entered, released;
  static NTSTATUS Callback(PNETBUS_MESSAGE, PVOID context) {
    static_cast<HeldCallback*>(context)->entered.set_value();
    static_cast<HeldCallback*>(context)->released.get_future().wait();
    return STATUS_SUCCESS;
  }
};

// MSG_UNREGISTER returns only once calls under way have returned, so the child
// driver may free its context then (a replacing exchange waits the same way).
TEST_F(CallbackLink, UnregisterRefusesNewCallsAtOnceAndReturnsOnceCallsUnderWayHaveReturned) {
  HeldCallback held;
  ASSERT_EQ(Exchange(&held.exchange).status, STATUS_SUCCESS);
  const std::vector<uint8_t> record = MessageRecord(NETBUS_MSG_TAG, 1, Payload(2));
  std::thread put([&] { EXPECT_EQ(Put(record), STATUS_SUCCESS); });
  held.entered.get_future().wait();
  std::atomic<bool> unregistered{false};
  std::thread leaving([&] {
    unregistered = CallBus(held.exchange, MessageRecord(NETBUS_MSG_TAG, MSG_UNREGISTER, {})) == STATUS_SUCCESS;
  });
  while (Bus()->ChildCallback != nullptr) std::this_thread::yield();
  EXPECT_EQ(Put(record), STATUS_UNSUCCESSFUL) << "new calls are refused at once";
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(unregistered) << "returned while the child driver was still being called";
  held.released.set_value();
  put.join();
  leaving.join();
  EXPECT_TRUE(unregistered);
}

// Malformed records are refused before any callback, registered child or not;
// ids 1-4, 8 and 9 reach the child as put, up to Length, with its context.
TEST_F(CallbackLink, PutPassesOnlyWellFormedRecordsOfTheChildsIdsThroughByteForByte) {
  struct Case { std::string what; std::vector<uint8_t> input; NTSTATUS registered, unregistered; };
  const NTSTATUS invalid = STATUS_INVALID_PARAMETER;
  std::vector<Case> cases = {
      {"no input", {}, invalid, invalid},
      {"7 bytes", std::vector<uint8_t>(7, NETBUS_MSG_TAG), invalid, invalid},
      {"Length beyond the input", MessageRecord(NETBUS_MSG_TAG, 1, Payload(4), 5), invalid, invalid},
      {"Length that wraps 32 bits", MessageRecord(NETBUS_MSG_TAG, 1, Payload(4), 0xFFFFFFF9u), invalid, invalid},
      {"Length 0xFFFFFFFF", MessageRecord(NETBUS_MSG_TAG, 1, {}, 0xFFFFFFFFu), invalid, invalid},
      {"tag 0x21", MessageRecord(0x21, 1, Payload(4)), invalid, invalid},
      {"unknown id 5", MessageRecord(NETBUS_MSG_TAG, 5, Payload(4)), STATUS_SUCCESS, STATUS_UNSUCCESSFUL},
      {"MSG_SEND_DATA", MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, {}), STATUS_SUCCESS, STATUS_UNSUCCESSFUL},
  };
  const size_t refused = cases.size();
  for (uint8_t id : {1, 2, 3, 4, 8, 9}) {
    // Bytes 2-3 travel as they are; the 3 input bytes beyond Length are not payload.
    cases.push_back({"id " + std::to_string(id), MessageRecord(NETBUS_MSG_TAG, id, Payload(id + 4, id), id + 1),
                     STATUS_SUCCESS, STATUS_UNSUCCESSFUL});
    cases.back().input[2] = 0x31;
    cases.back().input[3] = 0x32;
  }
  for (bool registered : {false, true}) {
    if (registered) { ASSERT_EQ(Exchange(recorder_.Exchange()).status, STATUS_SUCCESS); }
    for (size_t i = 0; i < cases.size(); ++i) {
      const Case& c = cases[i];
      SCOPED_TRACE(c.what + (registered ? ", registered" : ", nobody registered"));
      size_t before = recorder_.Calls().size();
      EXPECT_EQ(Put(c.input), registered ? c.registered : c.unregistered);
      std::vector<LinkRecorder::Call> calls = recorder_.Calls();
      ASSERT_EQ(calls.size(), before + (registered && i >= refused));
      if (registered && i >= refused) {
        EXPECT_EQ(calls.back().bytes, std::vector<uint8_t>(c.input.begin(), c.input.end() - 3));
        EXPECT_EQ(calls.back().context, recorder_.Exchange()->ChildContext);
      }
    }
  }
  TraceMask = 0x100;
  khost::TakeTraceLines();
  EXPECT_EQ(Put(cases[refused - 2].input), STATUS_SUCCESS);
  EXPECT_EQ(khost::TakeTraceLines(), std::vector<std::string>{"Velmora===: Unknown message id=5\n"});
  TraceMask = 0;
}

}  // namespace
