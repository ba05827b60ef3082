// The upward queue: records the child driver pushes, the service's event and
// its fetches, the flow control, and the event being installed and withdrawn.
#include <chrono>
#include <thread>

#include "channel_support.h"

using velmora_test::ChannelTest;
using velmora_test::KernelControl;
using velmora_test::KernelReply;
using velmora_test::LinkRecorder;
using velmora_test::MessageRecord;
using velmora_test::Payload;

namespace {

// A started bus with a registered child driver (the recorder) and the
// service's event installed.
class UpwardQueue : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Exchange(recorder_).status, STATUS_SUCCESS);
    event_ = Service().CreateEvent(false, false);
    ASSERT_EQ(PassEvent(event_), STATUS_SUCCESS);
  }

  void PushAll(size_t count, size_t length = 4) {
    for (size_t i = 0; i < count; ++i)
      ASSERT_EQ(recorder_.Push(Payload(length, static_cast<uint8_t>(i))), STATUS_SUCCESS) << "push " << i;
  }

  // Fetches until one answers with no record; returns how many it delivered.
  size_t FetchAll(ULONG outputLength = 64) {
    size_t delivered = 0;
    for (;;) {
      std::vector<uint8_t> reply;
      NTSTATUS status = Fetch(outputLength, &reply);
      if (status != STATUS_SUCCESS || reply.size() == 12) return delivered;
      ++delivered;
    }
  }

  size_t Drained() { return recorder_.CountOf(MSG_QUEUE_DRAINED); }

  // A fetch the way a kernel-mode caller sees it: every byte of the system buffer.
  KernelReply KernelFetch(ULONG outputLength) {
    return KernelControl(bus_->Fdo(), IOCTL_CORVANE_GET_MSG, {}, outputLength, KernelMode, false);
  }

  LinkRecorder recorder_;
  HANDLE event_ = nullptr;
};

// The reply bytes a delivered record of `payload` must come back as.
std::vector<uint8_t> DeliveredReply(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> reply = MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, payload);
  reply.resize(reply.size() + 3, 0);
  return reply;
}

// --------------------------------------------------------------- fetch replies

TEST_F(UpwardQueue, FetchRepliesCoverEveryByteTheirLengthClaims) {
  struct Case {
    const char* what;
    size_t recordLength;  // 0: nothing queued
    ULONG output;
    NTSTATUS status;
    bool delivered;
  };
  const std::vector<Case> cases = {
      {"empty queue, 12 bytes", 0, 12, STATUS_SUCCESS, false},
      {"empty queue, 64 bytes", 0, 64, STATUS_SUCCESS, false},
      {"5 bytes into exactly 16", 5, 16, STATUS_SUCCESS, true},
      {"5 bytes into 100", 5, 100, STATUS_SUCCESS, true},
      {"1 byte into 12", 1, 12, STATUS_SUCCESS, true},
      {"2 bytes into 12", 2, 12, STATUS_BUFFER_TOO_SMALL, false},
      {"300 bytes into 310", 300, 310, STATUS_BUFFER_TOO_SMALL, false},
      {"300 bytes into 311", 300, 311, STATUS_SUCCESS, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> payload = Payload(c.recordLength, 9);
    if (c.recordLength) {
      ASSERT_EQ(recorder_.Push(payload), STATUS_SUCCESS);
    }
    std::vector<uint8_t> reply;
    ULONG_PTR information = 0;
    EXPECT_EQ(Fetch(c.output, &reply, &information), c.status);
    std::vector<uint8_t> expected = c.delivered ? DeliveredReply(payload) : std::vector<uint8_t>(12, 0);
    EXPECT_EQ(information, expected.size());
    if (NT_SUCCESS(c.status)) {
      EXPECT_EQ(reply, expected);
    }
    EXPECT_EQ(Bus()->SendCount, 0u) << "a fetch takes the record off, delivered or dropped";
  }
  // The host's poison check saw no reply byte left unwritten.
}

TEST_F(UpwardQueue, RefusedRepliesAreTwelveZeroBytesInTheSystemBuffer) {
  // The service does not receive the bytes of an error reply; a kernel-mode
  // caller sees the system buffer itself.
  ASSERT_EQ(recorder_.Push(Payload(2)), STATUS_SUCCESS);
  KernelReply dropped = KernelFetch(12);
  EXPECT_EQ(dropped.status, STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(dropped.information, 12u);
  EXPECT_EQ(dropped.buffer, std::vector<uint8_t>(12, 0));

  ASSERT_EQ(DeleteEvent(), STATUS_SUCCESS);
  KernelReply noEvent = KernelFetch(40);
  EXPECT_EQ(noEvent.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(noEvent.information, 12u);
  EXPECT_EQ(std::vector<uint8_t>(noEvent.buffer.begin(), noEvent.buffer.begin() + 12), std::vector<uint8_t>(12, 0));
  for (size_t i = 12; i < noEvent.buffer.size(); ++i)
    ASSERT_EQ(noEvent.buffer[i], khost::PoisonByte(i)) << "byte " << i << " beyond the reply was written";

  ULONG_PTR information = 99;
  EXPECT_EQ(Fetch(40, nullptr, &information), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(information, 12u);
}

TEST_F(UpwardQueue, OutputBelowTwelveBytesIsRefusedAndTakesNothing) {
  ASSERT_EQ(recorder_.Push(Payload(1)), STATUS_SUCCESS);
  for (ULONG output : {0u, 1u, 11u}) {
    ULONG_PTR information = 99;
    EXPECT_EQ(Fetch(output, nullptr, &information), STATUS_INVALID_PARAMETER) << "output " << output;
    EXPECT_EQ(information, 0u) << "output " << output;
  }
  EXPECT_EQ(Bus()->SendCount, 1u);
}

TEST_F(UpwardQueue, RecordsComeOutOldestFirstAndADroppedOneIsGone) {
  std::vector<std::vector<uint8_t>> payloads = {Payload(1, 1), Payload(30, 2), Payload(2, 3)};
  for (const auto& payload : payloads) ASSERT_EQ(recorder_.Push(payload), STATUS_SUCCESS);
  std::vector<uint8_t> reply;
  ASSERT_EQ(Fetch(12, &reply), STATUS_SUCCESS);
  EXPECT_EQ(reply, DeliveredReply(payloads[0]));
  EXPECT_EQ(Fetch(12, &reply), STATUS_BUFFER_TOO_SMALL) << "30 bytes do not fit in 12";
  ASSERT_EQ(Fetch(64, &reply), STATUS_SUCCESS);
  EXPECT_EQ(reply, DeliveredReply(payloads[2])) << "the dropped record came back";
}

// --------------------------------------------------------------- pushes

TEST_F(UpwardQueue, EachPushSetsTheEventAndAnEmptyPushDoesNothing) {
  EXPECT_FALSE(Service().WaitEvent(event_, std::chrono::milliseconds(0)));
  EXPECT_EQ(recorder_.Push({}), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->SendCount, 0u);
  EXPECT_FALSE(Service().WaitEvent(event_, std::chrono::milliseconds(0))) << "an empty push set the event";

  EXPECT_EQ(recorder_.Push(Payload(3)), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->SendCount, 1u);
  EXPECT_TRUE(Service().WaitEvent(event_, std::chrono::milliseconds(0)));
}

TEST_F(UpwardQueue, AHugeLengthFailsCleanlyForWantOfPool) {
  // No machine hands out 4 GiB of non-paged pool; the host is told so, so it
  // does not try. A 32-bit size computation would ask for 30 bytes and copy
  // 4 GiB out of an 8-byte record.
  khost::SetLargestPoolAllocation(size_t(1) << 30);
  std::vector<uint8_t> record = MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, 0xFFFFFFFFu, {});
  EXPECT_EQ(recorder_.Send(record), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Bus()->SendCount, 0u);
  EXPECT_FALSE(Service().WaitEvent(event_, std::chrono::milliseconds(0)));
}

TEST_F(UpwardQueue, PoolExhaustionLosesTheRecordWithoutSettingTheEvent) {
  khost::FailNth(khost::FaultPoint::PoolAllocation, 1);
  EXPECT_EQ(recorder_.Push(Payload(4)), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Bus()->SendCount, 0u);
  EXPECT_FALSE(Service().WaitEvent(event_, std::chrono::milliseconds(0)));
}

TEST_F(UpwardQueue, APushAtDispatchLevelWakesAServiceThreadWaitingOnTheEvent) {
  std::atomic<bool> woke{false};
  std::vector<uint8_t> reply;
  std::thread service([&] {
    woke = Service().WaitEvent(event_, std::chrono::seconds(10));
    if (woke) Fetch(64, &reply);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  std::vector<uint8_t> payload = Payload(6);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  khost::RunAtIrql(DISPATCH_LEVEL, [&] { status = recorder_.Push(payload); });
  service.join();
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_TRUE(woke);
  EXPECT_EQ(reply, DeliveredReply(payload));
}

// --------------------------------------------------------------- flow control

TEST_F(UpwardQueue, SeventeenPushesThenFetchingDownToThreeSendsExactlyOneDrained) {
  PushAll(16);
  EXPECT_TRUE(Bus()->FlowOn) << "16 entries are not over the mark";
  PushAll(1);
  EXPECT_FALSE(Bus()->FlowOn);

  for (int remaining = 16; remaining >= 4; --remaining) {
    ASSERT_EQ(Fetch(64, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Drained(), 0u) << remaining << " entries left";
  }
  ASSERT_EQ(Fetch(64, nullptr), STATUS_SUCCESS);  // 3 left
  EXPECT_TRUE(Bus()->FlowOn);
  ASSERT_EQ(Drained(), 1u);

  // The drained record: tag 0, id 9, Length 12, and 12 zero bytes behind it.
  std::vector<LinkRecorder::Call> calls = recorder_.Calls();
  ASSERT_EQ(calls.size(), 1u);
  std::vector<uint8_t> expected = MessageRecord(0, MSG_QUEUE_DRAINED, std::vector<uint8_t>(12, 0));
  EXPECT_EQ(calls[0].bytes, expected);
  EXPECT_EQ(calls[0].context, recorder_.Context());

  EXPECT_EQ(FetchAll(), 3u);
  EXPECT_EQ(Drained(), 1u) << "the flow was already open";
}

TEST_F(UpwardQueue, EmptyAndDroppedFetchesNeverReopenTheFlow) {
  PushAll(17, 2);
  ASSERT_FALSE(Bus()->FlowOn);
  for (int i = 0; i < 17; ++i) ASSERT_EQ(Fetch(12, nullptr), STATUS_BUFFER_TOO_SMALL) << "fetch " << i;
  EXPECT_EQ(Fetch(12, nullptr), STATUS_SUCCESS) << "empty";
  EXPECT_FALSE(Bus()->FlowOn);
  EXPECT_EQ(Drained(), 0u);

  PushAll(1, 1);
  ASSERT_EQ(Fetch(12, nullptr), STATUS_SUCCESS);
  EXPECT_TRUE(Bus()->FlowOn) << "the first delivering fetch reopens it";
  EXPECT_EQ(Drained(), 1u);
}

TEST_F(UpwardQueue, AfterDeleteAndPassEventTheFirstDeliveringFetchSendsDrained) {
  PushAll(17);
  ASSERT_EQ(DeleteEvent(), STATUS_SUCCESS);
  Service().ResetEvent(event_);
  HANDLE second = Service().CreateEvent(false, false);
  ASSERT_EQ(PassEvent(second), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->SendCount, 0u) << "pass-event starts the queue afresh";
  EXPECT_FALSE(Bus()->FlowOn) << "and leaves the flow as it was";

  EXPECT_EQ(FetchAll(), 0u);
  EXPECT_EQ(Drained(), 0u) << "an empty fetch sent it";
  PushAll(1);
  EXPECT_TRUE(Service().WaitEvent(second, std::chrono::milliseconds(0))) << "pushes set the new event";
  EXPECT_FALSE(Service().WaitEvent(event_, std::chrono::milliseconds(0))) << "and not the old one";
  EXPECT_EQ(FetchAll(), 1u);
  EXPECT_EQ(Drained(), 1u);
  EXPECT_TRUE(Bus()->FlowOn);
}

TEST_F(UpwardQueue, WithNoChildRegisteredTheFlowReopensSilently) {
  PushAll(17);
  ASSERT_EQ(recorder_.Unregister(), STATUS_SUCCESS);
  EXPECT_EQ(FetchAll(), 17u);
  EXPECT_TRUE(Bus()->FlowOn);
  EXPECT_EQ(recorder_.CallCount(), 0u);
}

// --------------------------------------------------------------- the event

TEST_F(UpwardQueue, WhileNoEventIsSetFetchesFailAndPushesWaitForTheNextPassEvent) {
  ASSERT_EQ(DeleteEvent(), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->UserEvent, nullptr);
  EXPECT_FALSE(Bus()->SendQueueReady);
  PushAll(3);
  EXPECT_EQ(Fetch(64, nullptr), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(Bus()->SendCount, 3u) << "records stay queued while the service is away";

  HANDLE second = Service().CreateEvent(false, false);
  ASSERT_EQ(PassEvent(second), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->SendCount, 0u) << "and the next pass-event discards them";
  EXPECT_TRUE(Bus()->SendQueueReady);
  EXPECT_EQ(FetchAll(), 0u);
}

TEST_F(UpwardQueue, TheEventOutlivesTheServicesHandleUntilTheBusDropsIt) {
  PKEVENT event = Bus()->UserEvent;
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(khost::ReferenceCount(event), 2) << "the handle's and the bus's";
  ASSERT_EQ(Service().Close(event_), STATUS_SUCCESS);
  EXPECT_EQ(khost::ReferenceCount(event), 1);
  PushAll(1);  // sets an event nobody holds a handle to
  ASSERT_EQ(DeleteEvent(), STATUS_SUCCESS);
  EXPECT_FALSE(khost::IsLiveObject(event));
}

class EventInstall : public UpwardQueue {};

TEST_F(EventInstall, FailuresLeaveAnEmptyReadyQueueAndNoEvent) {
  HANDLE kernelHandle = khost::CreateKernelEvent();
  struct Case {
    const char* what;
    std::function<HANDLE()> handle;
    NTSTATUS expected;
  };
  const std::vector<Case> cases = {
      {"a handle never opened", [] { return reinterpret_cast<HANDLE>(0x1234 * 4); }, STATUS_INVALID_HANDLE},
      {"a null handle", [] { return HANDLE(nullptr); }, STATUS_INVALID_HANDLE},
      {"the service's file handle", [this] { return control_; }, STATUS_OBJECT_TYPE_MISMATCH},
      {"a kernel handle", [&] { return kernelHandle; }, STATUS_INVALID_HANDLE},
      {"an event opened only to wait on", [this] { return Service().CreateEvent(false, false, SYNCHRONIZE); },
       STATUS_ACCESS_DENIED},
      {"an event opened only to query", [this] { return Service().CreateEvent(false, false, EVENT_QUERY_STATE); },
       STATUS_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HANDLE good = Service().CreateEvent(false, false);
    ASSERT_EQ(PassEvent(good), STATUS_SUCCESS);
    PushAll(2);
    EXPECT_EQ(PassEvent(c.handle()), c.expected);
    EXPECT_EQ(Bus()->UserEvent, nullptr);
    EXPECT_EQ(Bus()->SendCount, 0u);
    EXPECT_TRUE(IsListEmpty(&Bus()->SendQueue));
    EXPECT_TRUE(Bus()->SendQueueReady);
    EXPECT_EQ(Fetch(64, nullptr), STATUS_UNSUCCESSFUL) << "no event, no fetch";
    Service().ResetEvent(good);
    PushAll(1);
    EXPECT_FALSE(Service().WaitEvent(good, std::chrono::milliseconds(0))) << "the old event is still set";
    EXPECT_EQ(Bus()->SendCount, 1u) << "a ready queue takes pushes";
  }
  khost::CloseKernelHandle(kernelHandle);
}

TEST_F(EventInstall, TakesTheHandleValueAsASignExtended32BitNumber) {
  // The low 32 bits of a kernel handle widen back to the kernel handle, which
  // a user-mode caller may not use. Zero-extension would look the value up in
  // the process's table instead.
  HANDLE kernelHandle = khost::CreateKernelEvent();
  uint64_t value = reinterpret_cast<uint64_t>(kernelHandle);
  ASSERT_EQ(value >> 32, 0xFFFFFFFFu) << "kernel handles have their top bits set";
  uint32_t low = static_cast<uint32_t>(value);
  EXPECT_EQ(PassEventRaw(&low, sizeof(low)), STATUS_INVALID_HANDLE);
  // Bytes past the first four are not part of the handle.
  HANDLE event = Service().CreateEvent(false, false);
  uint8_t input[8] = {};
  uint32_t handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event));
  std::memcpy(input, &handle, 4);
  std::memset(input + 4, 0xFF, 4);
  EXPECT_EQ(PassEventRaw(input, sizeof(input)), STATUS_SUCCESS);
  khost::CloseKernelHandle(kernelHandle);
}

TEST_F(EventInstall, AHandleOpenedWithGenericRightsWorksOnceTheyAreMapped) {
  for (ACCESS_MASK desired : {ACCESS_MASK(GENERIC_ALL), ACCESS_MASK(GENERIC_WRITE), ACCESS_MASK(EVENT_MODIFY_STATE)}) {
    HANDLE event = Service().CreateEvent(false, false, desired);
    EXPECT_EQ(PassEvent(event), STATUS_SUCCESS) << std::hex << desired;
    PushAll(1);
    EXPECT_TRUE(Service().WaitEvent(event, std::chrono::milliseconds(0))) << std::hex << desired;
  }
}

TEST_F(EventInstall, ShortInputIsRefusedAndChangesNothing) {
  PushAll(2);
  PKEVENT installed = Bus()->UserEvent;
  for (ULONG length : {0u, 3u}) {
    uint8_t input[4] = {};
    EXPECT_EQ(PassEventRaw(input, length), STATUS_BUFFER_TOO_SMALL) << length << " bytes";
  }
  EXPECT_EQ(Bus()->UserEvent, installed);
  EXPECT_EQ(Bus()->SendCount, 2u);
  EXPECT_EQ(FetchAll(), 2u);
}

class FreshChannel : public ChannelTest {};

TEST_F(FreshChannel, ShortPassEventLeavesTheInitialEmptyReadyQueueWithNoEvent) {
  uint8_t input[3] = {};
  EXPECT_EQ(PassEventRaw(input, sizeof(input)), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(Bus()->UserEvent, nullptr);
  EXPECT_TRUE(Bus()->SendQueueReady);
  EXPECT_EQ(Bus()->SendCount, 0u);
}

}  // namespace
