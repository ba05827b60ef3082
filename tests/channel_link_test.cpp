// The callback link: the exchange a child's function driver makes through its
// child device, MSG_UNREGISTER, and the records the service puts down to it.
#include <cstdio>
#include <cstdlib>
#include <functional>
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

// A child driver that leaves the link (`leave`) from inside the call that a
// record of id 1 or MSG_QUEUE_DRAINED makes, while a call made by a record of
// id 2 stays inside until released.
struct Leaver {
  CALLBACK_EXCHANGE exchange{nullptr, nullptr, &Callback, this};
  std::function<NTSTATUS()> leave;
  std::promise<void> holderEntered, holderReleased;
  std::shared_future<void> release = holderReleased.get_future().share();
  std::atomic<bool> left{false};
  std::atomic<int> lateCalls{0};
  NTSTATUS leaveStatus = STATUS_PENDING;
  static NTSTATUS Callback(PNETBUS_MESSAGE message, PVOID context) {
    Leaver* self = static_cast<Leaver*>(context);
    if (self->left) self->lateCalls++;
    if (message->MsgId == 2) {
      self->holderEntered.set_value();
      self->release.wait();
    } else if (self->leave && (message->MsgId == 1 || message->MsgId == MSG_QUEUE_DRAINED)) {
      self->leaveStatus = self->leave();
      self->left = true;
    }
    return STATUS_SUCCESS;
  }
};

// A hang here is the fault under test: fail the program at once rather than
// leave it to the suite's timeout.
void AwaitOrDie(std::future<void>& work, const std::string& what) {
  if (work.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
    std::fprintf(stderr, "%s never returned: it waits for a call that cannot return\n", what.c_str());
    std::fflush(nullptr);
    std::_Exit(1);
  }
  work.get();
}

// Leaving the link (MSG_UNREGISTER, or an exchange that replaces the
// registration) refuses new calls into the old callback at once. Below
// DISPATCH_LEVEL it returns only once every other call into it has returned,
// so the child driver may free its context; it never waits for the call it is
// made from, or the put or fetch that led there (and with it the bus's removal)
// would hang. At DISPATCH_LEVEL it cannot wait at all.
TEST_F(CallbackLink, LeavingRefusesNewCallsAndWaitsForEveryOtherCallButNeverForItsOwn) {
  enum class From { AnotherThread, AnotherThreadAtDispatch, InsideAPut, InsideAPutAtDispatch, InsideTheDrainedCall };
  struct Case { const char* what; From from; bool replace; bool waitsForHolder; };
  const std::vector<Case> cases = {
      {"MSG_UNREGISTER from another thread", From::AnotherThread, false, true},
      {"MSG_UNREGISTER from another thread at DISPATCH_LEVEL", From::AnotherThreadAtDispatch, false, false},
      {"MSG_UNREGISTER inside the put's call", From::InsideAPut, false, true},
      {"MSG_UNREGISTER inside the put's call at DISPATCH_LEVEL", From::InsideAPutAtDispatch, false, false},
      {"a replacing exchange inside the put's call", From::InsideAPut, true, true},
      {"MSG_UNREGISTER inside MSG_QUEUE_DRAINED", From::InsideTheDrainedCall, false, true},
  };
  const std::vector<uint8_t> one = MessageRecord(NETBUS_MSG_TAG, 1, Payload(2));
  const std::vector<uint8_t> hold = MessageRecord(NETBUS_MSG_TAG, 2, Payload(2));
  const std::vector<uint8_t> unregister = MessageRecord(NETBUS_MSG_TAG, MSG_UNREGISTER, {});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Leaver leaver;
    LinkRecorder replacement;
    const bool dispatch = c.from == From::AnotherThreadAtDispatch || c.from == From::InsideAPutAtDispatch;
    leaver.leave = [&]() -> NTSTATUS {
      if (c.replace) return Exchange(replacement.Exchange()).status;
      KIRQL old = PASSIVE_LEVEL;
      if (dispatch) KeRaiseIrql(DISPATCH_LEVEL, &old);
      const NTSTATUS status = CallBus(leaver.exchange, unregister);
      if (dispatch) KeLowerIrql(old);
      return status;
    };
    ASSERT_EQ(Exchange(&leaver.exchange).status, STATUS_SUCCESS);
    HANDLE event = Service().CreateEvent(false, false);
    ASSERT_EQ(PassEvent(event), STATUS_SUCCESS);
    for (int i = 0; i < 17 && c.from == From::InsideTheDrainedCall; ++i)
      ASSERT_EQ(CallBus(leaver.exchange, MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, Payload(4))), STATUS_SUCCESS);

    std::future<void> holder = std::async(std::launch::async, [&] { EXPECT_EQ(Put(hold), STATUS_SUCCESS); });
    leaver.holderEntered.get_future().wait();
    std::future<void> trigger = std::async(std::launch::async, [&] {
      switch (c.from) {
        case From::AnotherThread: leaver.leaveStatus = leaver.leave(); break;
        case From::AnotherThreadAtDispatch: khost::RunAtIrql(DISPATCH_LEVEL, [&] { leaver.leaveStatus = leaver.leave(); }); break;
        case From::InsideAPut:
        case From::InsideAPutAtDispatch: EXPECT_EQ(Put(one), STATUS_SUCCESS); break;
        case From::InsideTheDrainedCall:
          for (int i = 0; i < 14; ++i) EXPECT_EQ(Fetch(64), STATUS_SUCCESS);
          break;
      }
    });
    // Read under the lock the bus writes it under: the leaving thread changes it.
    auto current = [&] {
      KIRQL old;
      KeAcquireSpinLock(&Bus()->SendLock, &old);
      NETBUS_CALLBACK callback = Bus()->ChildCallback;
      KeReleaseSpinLock(&Bus()->SendLock, old);
      return callback;
    };
    while (current() == &Leaver::Callback) std::this_thread::yield();
    EXPECT_EQ(Put(one), c.replace ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL) << "new calls must not reach the old callback";
    if (c.waitsForHolder) {
      EXPECT_NE(trigger.wait_for(std::chrono::milliseconds(20)), std::future_status::ready)
          << "returned while another call into the old callback was under way";
      leaver.holderReleased.set_value();
      AwaitOrDie(trigger, c.what);
    } else {
      AwaitOrDie(trigger, c.what);  // before the other call returns: nothing to wait for at DISPATCH_LEVEL
      leaver.holderReleased.set_value();
    }
    AwaitOrDie(holder, "the held put");
    EXPECT_EQ(leaver.leaveStatus, STATUS_SUCCESS);
    EXPECT_EQ(leaver.lateCalls.load(), 0) << "the old callback was called after it was left";
    EXPECT_EQ(replacement.Calls().size(), c.replace ? 1u : 0u) << "the put made after the change";
    ASSERT_EQ(DeleteEvent(), STATUS_SUCCESS);
    Service().Close(event);
    if (c.replace) {
      ASSERT_EQ(replacement.Unregister(), STATUS_SUCCESS);
    }
  }
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
