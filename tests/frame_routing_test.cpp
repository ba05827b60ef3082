// Request routing: every major function reaches the bus side or the child
// side, a child completes what it has no use for with the status it came
// with, and the trace lines of opens and closes appear only under their bits.
#include "bus_harness.h"
#include "kernel_test.h"

namespace {

using velmora_test::BusHarness;

class RoutingTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    TraceMask = 0;
    bus_ = std::make_unique<BusHarness>();
    ASSERT_NE(bus_->Fdo(), nullptr);
  }
  void EndScenario() override {
    TraceMask = 0;
    bus_.reset();  // removes the bus through the Plug and Play manager and unloads it
  }
  // A reported child device (no function driver, so nothing sits above it).
  PDEVICE_OBJECT PlugInChild(ULONG serial) {
    NTSTATUS status;
    HANDLE handle = bus_->Open(&status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(bus_->PlugIn(handle, serial, {u"VELMORA\\NET"}), STATUS_SUCCESS);
    bus_->Enumerate();
    bus_->Service().Close(handle);
    khost::DevNode* node = bus_->ChildNode(serial);
    return node ? node->pdo : nullptr;
  }

  std::unique_ptr<BusHarness> bus_;
};

TEST_F(RoutingTest, AChildCompletesWhatItHasNoUseForWithTheStatusItArrivedWith) {
  PDEVICE_OBJECT child = PlugInChild(5);
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(child->AttachedDevice, nullptr);
  FILE_OBJECT file{};
  WCHAR name[] = {L'\\', L'x'};
  file.FileName.Buffer = name;
  file.FileName.Length = file.FileName.MaximumLength = sizeof name;
  struct Major {
    UCHAR major;
    ULONG code;
  };
  std::vector<Major> majors = {
      {IRP_MJ_CREATE, 0},
      {IRP_MJ_CLEANUP, 0},
      {IRP_MJ_CLOSE, 0},
      {IRP_MJ_SYSTEM_CONTROL, 0},
      // Any control code but the callback exchange, under either control major.
      {IRP_MJ_DEVICE_CONTROL, IOCTL_NETBUS_PLUG_IN},
      {IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_NETBUS_PLUG_IN},
      {IRP_MJ_DEVICE_CONTROL, IOCTL_CORVANE_GET_MSG},
      {IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x12345678},
  };
  LONG opens = bus_->Bus()->OpenHandleCount;
  for (const Major& m : majors) {
    for (NTSTATUS arrival : {STATUS_SUCCESS, STATUS_NOT_SUPPORTED, STATUS_INVALID_DEVICE_REQUEST,
                             NTSTATUS(0x40000005)}) {
      khost::RequestResult result = khost::SendIrp(
          child, m.major, 0,
          [&](PIRP, PIO_STACK_LOCATION s) {
            s->FileObject = &file;
            s->Parameters.DeviceIoControl.IoControlCode = m.code;
          },
          arrival);
      EXPECT_EQ(result.status, arrival) << "major " << int(m.major) << " code " << std::hex << m.code;
    }
  }
  EXPECT_EQ(bus_->Bus()->OpenHandleCount, opens) << "a child's opens and closes are not the bus's";
  EXPECT_EQ(khost::Objects().liveIrps, 0u);
}

TEST_F(RoutingTest, TheBusAnswersCleanupAndPassesSystemControlAndPowerToTheDeviceBelow) {
  PDEVICE_OBJECT fdo = bus_->Fdo();
  for (NTSTATUS arrival : {STATUS_NOT_SUPPORTED, STATUS_INVALID_PARAMETER}) {
    EXPECT_EQ(khost::SendIrp(fdo, IRP_MJ_CLEANUP, 0, nullptr, arrival).status, STATUS_SUCCESS);
    // The root device keeps the status of a WMI request it does not answer.
    EXPECT_EQ(khost::SendIrp(fdo, IRP_MJ_SYSTEM_CONTROL, 0, nullptr, arrival).status, arrival);
  }
  // Power goes down unchanged and the root device's answer comes back.
  POWER_STATE s0;
  s0.SystemState = PowerSystemWorking;
  EXPECT_EQ(khost::SendPower(bus_->Node(), IRP_MN_SET_POWER, SystemPowerState, s0).status, STATUS_SUCCESS);
  EXPECT_EQ(khost::SendPower(bus_->Node(), IRP_MN_QUERY_POWER, SystemPowerState, s0).status, STATUS_SUCCESS);
}

TEST_F(RoutingTest, InternalAndNormalControlRequestsBehaveIdentically) {
  NTSTATUS status;
  HANDLE handle = bus_->Open(&status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  struct Request {
    const char* what;
    ULONG code;
    std::vector<uint8_t> input;
    ULONG outLength;
  };
  std::vector<Request> requests = {
      {"an unknown code", 0x002A2FFC, {}, 0},
      {"a plug-in too short to be one", IOCTL_NETBUS_PLUG_IN, {1, 2, 3}, 0},
      {"a plug-in", IOCTL_NETBUS_PLUG_IN, velmora_test::PlugInRecord(9, {u"VELMORA\\NET"}), 0},
      {"the same plug-in again", IOCTL_NETBUS_PLUG_IN, velmora_test::PlugInRecord(9, {u"VELMORA\\NET"}), 0},
      {"an unplug of nothing", IOCTL_NETBUS_PLUG_OUT, velmora_test::UnplugRecord(77), 0},
      {"a fetch from an empty queue", IOCTL_CORVANE_GET_MSG, {}, 64},
  };
  struct Outcome {
    NTSTATUS status;
    ULONG_PTR information;
    std::vector<uint8_t> output;
    size_t children;
    bool operator==(const Outcome& o) const {
      return status == o.status && information == o.information && output == o.output && children == o.children;
    }
  };
  auto run = [&](bool internal) {
    std::vector<Outcome> outcomes;
    for (const Request& r : requests) {
      Outcome o;
      o.output.assign(r.outLength, 0x5A);
      o.status = bus_->Service().DeviceIoControl(handle, r.code, r.input.data(), static_cast<ULONG>(r.input.size()),
                                                 o.output.data(), r.outLength, &o.information, internal);
      o.children = bus_->Children().size();
      outcomes.push_back(o);
    }
    // Back to where the other major started: the child reported, then unplugged and removed.
    bus_->Enumerate();
    bus_->Unplug(handle, 0);
    bus_->Enumerate();
    EXPECT_TRUE(bus_->Children().empty());
    return outcomes;
  };
  std::vector<Outcome> normal = run(false);
  std::vector<Outcome> internal = run(true);
  for (size_t i = 0; i < requests.size(); ++i)
    EXPECT_TRUE(normal[i] == internal[i]) << requests[i].what << ": status " << std::hex << normal[i].status
                                          << " vs " << internal[i].status << std::dec << ", information "
                                          << normal[i].information << " vs " << internal[i].information;
  EXPECT_EQ(normal[0].status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(normal[2].status, STATUS_SUCCESS);
  bus_->Service().Close(handle);
}

TEST_F(RoutingTest, TheCallbackExchangeOnAChildIsAnsweredByItsBusAndRefusedOnceTheBusIsGone) {
  PDEVICE_OBJECT child = PlugInChild(4);
  ASSERT_NE(child, nullptr);
  auto exchange = [&] {
    return khost::SendIrp(
               child, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
               [](PIRP, PIO_STACK_LOCATION s) {
                 s->Parameters.DeviceIoControl.IoControlCode = IOCTL_NETBUS_EXCHANGE_CALLBACK;
               },
               STATUS_NOT_SUPPORTED)
        .status;
  };
  // Without its record the bus refuses the exchange: the answer is the bus's,
  // not the status the request arrived with.
  EXPECT_EQ(exchange(), STATUS_UNSUCCESSFUL);
  // Surprise removal of the bus cuts the child off before the child's own removal.
  khost::DevNode* node = bus_->Node();
  khost::Pnp().SurpriseRemove(node);
  EXPECT_EQ(static_cast<PCHILD_EXTENSION>(child->DeviceExtension)->ParentFdo, nullptr);
  EXPECT_EQ(exchange(), NTSTATUS(0xC000009D)) << "no bus is left to answer";
  khost::Pnp().CompleteSurpriseRemoval(node);
  bus_->Unload();
}

// Entry (0x1), exit (0x10) and detail (0x100) lines of one open and its close.
TEST_F(RoutingTest, OpenAndCloseTraceOnlyUnderTheirMaskBitsWithTheCountedFileName) {
  struct Line {
    ULONG bit;
    const char* text;
  };
  const std::vector<Line> all = {
      {0x1, "Velmora===>BtBus_Create"},
      {0x100, "Velmora===: FileName: \\abc"},
      {0x10, "Velmora<===BtBus_Create, NTSTATUS:0"},
      {0x1, "Velmora===>BtBus_CleanUp"},
      {0x10, "Velmora<===BtBus_CleanUp, NTSTATUS:0"},
      {0x1, "Velmora===>netBus_Close"},
      {0x10, "Velmora<===netBus_Close"},
  };
  for (ULONG mask : {0x0u, 0x1u, 0x10u, 0x100u, 0x11u, 0x110u, 0x101u, 0x111u, 0xFFFFFFFFu, 0x2u}) {
    khost::TakeTraceLines();
    TraceMask = mask;
    NTSTATUS status;
    // The file object's name is counted and not terminated: "\abc" and not a byte more.
    HANDLE handle = bus_->Service().CreateFile(u"\\\\.\\Olvex\\abc", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    bus_->Service().Close(handle);
    TraceMask = 0;
    std::vector<std::string> expected;
    for (const Line& line : all)
      if (mask & line.bit) expected.push_back(line.text);
    EXPECT_EQ(khost::TakeTraceLines(), expected) << "mask " << std::hex << mask;
  }
}

TEST_F(RoutingTest, AChildsOpenTracesItsFileNameToo) {
  PDEVICE_OBJECT child = PlugInChild(6);
  ASSERT_NE(child, nullptr);
  FILE_OBJECT file{};
  WCHAR name[] = {L'\\', L'k', L'e', L'y'};  // no terminator
  file.FileName.Buffer = name;
  file.FileName.Length = file.FileName.MaximumLength = sizeof name;
  khost::TakeTraceLines();
  TraceMask = 0x111;
  khost::SendIrp(child, IRP_MJ_CREATE, 0, [&](PIRP, PIO_STACK_LOCATION s) { s->FileObject = &file; },
                 STATUS_SUCCESS);
  TraceMask = 0;
  EXPECT_EQ(khost::TakeTraceLines(),
            (std::vector<std::string>{"Velmora===>BtBus_Create", "Velmora===: FileName: \\key",
                                      "Velmora<===BtBus_Create, NTSTATUS:0"}));
}

}  // namespace
