// The upward queue: records the child driver pushes, the service's fetches and
// its event, and the flow control.
#include "channel_support.h"

using namespace velmora_test;

namespace {

// Each test links the recorder as the child driver and installs the service's event first.
class UpwardQueue : public ChannelTest {};

// Every byte a reply's Information covers is written, and none beyond it.
TEST_F(UpwardQueue, FetchRepliesWriteExactlyTheBytesTheirInformationCovers) {
  Link();
  struct Case {
    const char* what; size_t record; ULONG output; NTSTATUS status; ULONG_PTR info; bool delivered;
    std::vector<std::string> trace;  // under the detail bit
  };
  const std::vector<Case> cases = {
      {"empty queue", 0, 64, STATUS_SUCCESS, 12, false, {"Velmora===: CORVANE_GET_MSG_Handler. status=0x0"}},
      {"5 bytes into exactly 16", 5, 16, STATUS_SUCCESS, 16, true, {}},
      {"1 byte into 12", 1, 12, STATUS_SUCCESS, 12, true, {}},
      {"2 bytes into 12: dropped", 2, 12, STATUS_BUFFER_TOO_SMALL, 12, false,
       {"Velmora===: CORVANE_GET_MSG_Handler.-1073741789"}},
      {"output of 11: the record stays", 1, 11, STATUS_INVALID_PARAMETER, 0, false,
       {"Velmora===: <<CORVANE_GET_MSG_Handler. status=0xc000000d"}},
      {"no event: the record stays", 1, 40, STATUS_UNSUCCESSFUL, 12, false,
       {"Velmora===: CORVANE_GET_MSG_Handler. status=0xc0000001"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const bool withoutEvent = c.status == STATUS_UNSUCCESSFUL;
    if (withoutEvent) { ASSERT_EQ(DeleteEvent(), STATUS_SUCCESS); }
    std::vector<uint8_t> payload = Payload(c.record, 9);
    if (c.record) { ASSERT_EQ(recorder_.Push(payload), STATUS_SUCCESS); }
    khost::TakeTraceLines();
    TraceMask = 0x100;
    KernelReply reply = KernelControl(bus_->Fdo(), IOCTL_CORVANE_GET_MSG, {}, c.output, KernelMode, false);
    TraceMask = 0;
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(khost::TakeTraceLines(), c.trace);
    std::vector<uint8_t> expected = c.delivered ? DeliveredReply(payload) : std::vector<uint8_t>(c.info, 0);
    ASSERT_EQ(reply.information, expected.size());
    for (size_t i = 0; i < reply.buffer.size(); ++i)
      ASSERT_EQ(reply.buffer[i], i < expected.size() ? expected[i] : khost::PoisonByte(i)) << "byte " << i;
    EXPECT_EQ(Bus()->SendCount, ULONG(c.status == STATUS_INVALID_PARAMETER || withoutEvent))
        << "a fetch takes the record off, delivered or dropped";
    ASSERT_EQ(PassEvent(event_), STATUS_SUCCESS);  // and starts the queue afresh
  }
}

TEST_F(UpwardQueue, APushQueuesAndSetsTheEventOnlyWithARecordAndPoolForIt) {
  Link();
  const NTSTATUS noPool = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(recorder_.Push({}), STATUS_SUCCESS);
  khost::FailNth(khost::FaultPoint::PoolAllocation, 1);
  EXPECT_EQ(recorder_.Push(Payload(4)), noPool);
  // Sized in 32 bits, it would ask for 30 bytes and copy 4 GiB out of an 8-byte record.
  khost::SetLargestPoolAllocation(size_t(1) << 30);
  EXPECT_EQ(recorder_.Send(MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, {}, 0xFFFFFFFFu)), noPool);
  EXPECT_EQ(Bus()->SendCount, 0u);
  EXPECT_FALSE(EventSet(event_)) << "a push that queued nothing set the event";
  NTSTATUS status = STATUS_PENDING;
  khost::RunAtIrql(DISPATCH_LEVEL, [&] { status = recorder_.Push(Payload(3)); });
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Bus()->SendCount, 1u);
  EXPECT_TRUE(EventSet(event_));
}

TEST_F(UpwardQueue, FlowControlSendsOneDrainedOnlyFromAFetchThatDelivers) {
  Link();
  Push(16);
  EXPECT_TRUE(Bus()->FlowOn) << "16 entries are not over the mark";
  Push(1);
  EXPECT_FALSE(Bus()->FlowOn);
  for (int left = 16; left >= 4; --left) {
    ASSERT_EQ(Fetch(64), STATUS_SUCCESS);
    ASSERT_TRUE(recorder_.Calls().empty()) << left << " entries left";
  }
  ASSERT_EQ(Fetch(64), STATUS_SUCCESS);  // 3 left
  EXPECT_TRUE(Bus()->FlowOn);
  std::vector<LinkRecorder::Call> calls = recorder_.Calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].bytes, MessageRecord(0, MSG_QUEUE_DRAINED, std::vector<uint8_t>(12, 0)));
  EXPECT_EQ(calls[0].context, recorder_.Exchange()->ChildContext);
  EXPECT_EQ(FetchAll(), 3u);

  Push(17, 2);
  for (int i = 0; i < 17; ++i) ASSERT_EQ(Fetch(12), STATUS_BUFFER_TOO_SMALL) << "fetch " << i;
  EXPECT_EQ(FetchAll(), 0u);
  EXPECT_FALSE(Bus()->FlowOn) << "a dropping or empty fetch reopened the flow";

  // Records pushed while the service is away wait for its next pass-event,
  // which discards them and leaves the flow as it was.
  ASSERT_EQ(DeleteEvent(), STATUS_SUCCESS);
  Service().ResetEvent(event_);
  Push(3);
  EXPECT_EQ(Bus()->SendCount, 3u);
  HANDLE second = Service().CreateEvent(false, false);
  ASSERT_EQ(PassEvent(second), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->SendCount, 0u);
  Push(1);
  EXPECT_TRUE(EventSet(second));
  EXPECT_FALSE(EventSet(event_)) << "the withdrawn event was set";
  EXPECT_EQ(FetchAll(), 1u);
  EXPECT_EQ(recorder_.CountOf(MSG_QUEUE_DRAINED), 2u) << "the first delivering fetch after the pass-event";
  // The bus holds its own reference: a push sets the event after the service closed its handle.
  ASSERT_EQ(Service().Close(second), STATUS_SUCCESS);
  Push(1);
  // With no child driver to tell, a drained queue reopens the flow all the same.
  EXPECT_EQ(FetchAll(), 1u);
  ASSERT_EQ(recorder_.Unregister(), STATUS_SUCCESS);
  Push(17);
  EXPECT_FALSE(Bus()->FlowOn);
  EXPECT_EQ(FetchAll(), 17u);
  EXPECT_TRUE(Bus()->FlowOn) << "the flow stayed shut for want of a callback";
  EXPECT_EQ(recorder_.CountOf(MSG_QUEUE_DRAINED), 2u);
}

// A failed pass-event leaves an empty ready queue and no event; a short one changes nothing.
TEST_F(ChannelTest, APassEventThatFailsLeavesAnEmptyReadyQueueAndNoEvent) {
  EXPECT_EQ(PassEvent(nullptr, 3), STATUS_BUFFER_TOO_SMALL);
  EXPECT_TRUE(Bus()->SendQueueReady && Bus()->UserEvent == nullptr && Bus()->SendCount == 0);
  Link();
  HANDLE kernelEvent = khost::CreateKernelEvent();
  Finally([kernelEvent] { khost::CloseKernelHandle(kernelEvent); });
  // What the Wine check's client passes its test image: an event duplicated
  // into the driver host's process. Its value means nothing in the service's
  // own table, and the real image, referencing with the service's mode, must
  // not find it anywhere else.
  khost::Process driverHost("winedevice");
  HANDLE hostEvent = nullptr;
  for (int i = 0; i < 32; ++i) hostEvent = driverHost.CreateEvent(false, false);
  struct Case { const char* what; HANDLE handle; ULONG length; KPROCESSOR_MODE mode; NTSTATUS status; };
  const std::vector<Case> cases = {
      {"3 bytes", event_, 3, UserMode, STATUS_BUFFER_TOO_SMALL},
      {"a handle never opened", reinterpret_cast<HANDLE>(0x1234 * 4), 4, UserMode, STATUS_INVALID_HANDLE},
      {"the service's file handle", control_, 4, UserMode, STATUS_OBJECT_TYPE_MISMATCH},
      {"a kernel handle from user mode", kernelEvent, 4, UserMode, STATUS_INVALID_HANDLE},
      {"a handle of the driver host's process", hostEvent, 4, UserMode, STATUS_INVALID_HANDLE},
      {"an event opened only to wait on", Service().CreateEvent(false, false, SYNCHRONIZE), 4, UserMode,
       STATUS_ACCESS_DENIED},
      // Only sign extension widens a kernel handle's 32 bits back to the handle.
      {"a kernel handle from kernel mode", kernelEvent, 4, KernelMode, STATUS_SUCCESS},
      // Generic rights are mapped when a handle is opened, never in a reference.
      {"GENERIC_ALL", Service().CreateEvent(false, false, GENERIC_ALL), 4, UserMode, STATUS_SUCCESS},
      {"EVENT_MODIFY_STATE, 8 bytes", Service().CreateEvent(false, false, EVENT_MODIFY_STATE), 8, UserMode,
       STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(PassEvent(event_), STATUS_SUCCESS);
    Push(2);
    PKEVENT installed = Bus()->UserEvent;
    khost::TakeTraceLines();
    TraceMask = 0x100;
    EXPECT_EQ(PassEvent(c.handle, c.length, c.mode), c.status);
    TraceMask = 0;
    const bool refused = c.status == STATUS_BUFFER_TOO_SMALL;
    // The queue is dropped (and says so) unless the request is refused; a handle the bus cannot use is traced.
    std::vector<std::string> trace;
    if (!refused) trace.push_back("Velmora===: Begein remove pending sending");
    if (!refused && !NT_SUCCESS(c.status)) {
      char line[96];
      std::snprintf(line, sizeof line, "Velmora===: Unable to reference User-Mode Event object, Error = 0x%x\n",
                    unsigned(c.status));
      trace.push_back(line);
    }
    EXPECT_EQ(khost::TakeTraceLines(), trace);
    EXPECT_EQ(Bus()->SendCount, refused ? 2u : 0u);
    EXPECT_TRUE(Bus()->SendQueueReady);
    EXPECT_TRUE(refused ? Bus()->UserEvent == installed : (Bus()->UserEvent != nullptr) == NT_SUCCESS(c.status));
    if (NT_SUCCESS(c.status) && c.mode == UserMode) {
      Push(1);
      EXPECT_TRUE(EventSet(c.handle));
    }
  }
}

}  // namespace
