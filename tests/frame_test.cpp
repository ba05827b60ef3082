// The driver frame from the kernel's side: loading, AddDevice and its
// unwinding, start, opens, routing between the bus and its children, the
// trace under its mask bits, and the children's whole road, also with each
// platform call on it failing in turn.
#include "bus_harness.h"
#include "kernel_test.h"
#include "passthrough_driver.h"

namespace {

using velmora_test::BusHarness;
constexpr NTSTATUS kNotConnected = NTSTATUS(0xC000009D);
using Lines = std::vector<std::string>;
// What the manager asks a new root device (answered by nobody) before AddDevice, then `after`.
Lines AsNewDevice(Lines after) {
  Lines history = {"QUERY_BUS_INFORMATION -> 0xc00000bb", "QUERY_RESOURCES -> 0xc00000bb",
                   "QUERY_RESOURCE_REQUIREMENTS -> 0xc00000bb"};
  history.insert(history.end(), after.begin(), after.end());
  return history;
}

class FrameTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    TraceMask = 0;
    driver_ = khost::LoadDriver(u"velmora", Velmora_DriverEntry);
    ASSERT_NE(driver_, nullptr);
  }
  void EndScenario() override {
    service_.reset();
    for (khost::DevNode* node : khost::Pnp().Children(khost::Pnp().Root())) velmora_test::RemoveNode(node);
    khost::Pnp().ProcessInvalidations();
    if (driver_) khost::UnloadDriver(driver_);
    TraceMask = 0;
  }
  khost::DevNode* Add(const khost::RootPdoConfig& config = khost::RootPdoConfig(), bool start = true) {
    return khost::Pnp().AddRootDevice("ROOT\\SYSTEM\\VELMORA", driver_, config, start);
  }
  PDEVICE_OBJECT Fdo(khost::DevNode* node) const {
    PDEVICE_OBJECT above = node->pdo->AttachedDevice;
    return above && above->DriverObject == driver_ ? above : nullptr;
  }
  PBUS_EXTENSION Bus(khost::DevNode* node) const { return static_cast<PBUS_EXTENSION>(Fdo(node)->DeviceExtension); }
  HANDLE Open(NTSTATUS* status, const std::u16string& path = u"\\\\.\\Olvex") {
    return service_->CreateFile(path, status);
  }
  // No device, name, link or pool of a bus is left.
  void ExpectNothingLeft() {
    EXPECT_TRUE(khost::DevicesOf(driver_).empty());
    EXPECT_EQ(khost::LookupDevice(u"\\Device\\Velmora"), nullptr);
    EXPECT_EQ(khost::LookupDevice(u"\\??\\Olvex"), nullptr);
    EXPECT_TRUE(khost::OutstandingPool().empty());
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<khost::Process> service_ = std::make_unique<khost::Process>("service");
};

TEST_F(FrameTest, LoadingAndUnloadingTraceUnderTheirBitsAndLeaveUnhandledRequestsToTheKernel) {
  khost::UnloadDriver(driver_);
  TraceMask = 0x111;
  driver_ = khost::LoadDriver(u"velmora", Velmora_DriverEntry);
  ASSERT_NE(driver_, nullptr);
  EXPECT_EQ(khost::TakeTraceLines(), (Lines{"Velmora===>DriverEntry", "Velmora<===DriverEntry"}));
  TraceMask = 0;
  khost::DevNode* node = Add();
  ASSERT_NE(Fdo(node), nullptr);
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SHUTDOWN})
    EXPECT_EQ(khost::SendIrp(Fdo(node), major, 0, nullptr, STATUS_SUCCESS).status, STATUS_INVALID_DEVICE_REQUEST)
        << "major " << int(major) << " keeps the kernel's default handler";
  ASSERT_EQ(khost::Pnp().Remove(node), STATUS_SUCCESS);
  TraceMask = 0x1;
  khost::UnloadDriver(driver_);
  driver_ = nullptr;
  EXPECT_EQ(khost::TakeTraceLines(), Lines{"Velmora===>netBus_Unload"});
}

TEST_F(FrameTest, AddDeviceLeavesANamedBusDeviceOnTheStackReadyButNotStarted) {
  TraceMask = 0x111;
  khost::DevNode* node = Add(khost::RootPdoConfig(), false);
  EXPECT_EQ(node->history, AsNewDevice({"AddDevice -> 0"}));
  EXPECT_EQ(khost::TakeTraceLines(), (Lines{"Velmora===>BtNetDrvInitializeSend.", "Velmora<===<<BtNetDrvInitializeSend",
                                            "Velmora<===netBus_AddDevice, NTSTATUS:0"}));
  PDEVICE_OBJECT fdo = Fdo(node);
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(khost::LookupDevice(u"\\Device\\Velmora"), fdo);
  EXPECT_EQ(khost::LookupDevice(u"\\??\\Olvex"), fdo);
  // Without it an open of a path below the name would skip the device's security check.
  EXPECT_TRUE(fdo->Characteristics & FILE_DEVICE_SECURE_OPEN);
  EXPECT_EQ(fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING | DO_EXCLUSIVE),
            ULONG(DO_BUFFERED_IO | DO_POWER_PAGABLE));
  EXPECT_EQ(fdo->StackSize, 2) << "one location for the bus, one for the root device";
  PBUS_EXTENSION bus = Bus(node);
  EXPECT_EQ(bus->NextLower, node->pdo);
  EXPECT_EQ(bus->Header.PnpState, StateNotStarted);
}

TEST_F(FrameTest, AnOpenOrAControlRequestBeforeStartIsRefusedAndNotCounted) {
  khost::DevNode* node = Add(khost::RootPdoConfig(), false);
  TraceMask = 0x111;
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(Open(&status), nullptr);
  EXPECT_EQ(status, kNotConnected);
  EXPECT_EQ(Bus(node)->OpenHandleCount, 0);
  EXPECT_EQ(khost::TakeTraceLines(), (Lines{"Velmora===>BtBus_Create", "Velmora===: FileName: ",
                                            "Velmora<===BtBus_Create, NTSTATUS:c000009d"}))
      << "a refused open gets no cleanup or close";
  // The service's request, and an internal one only a driver above can send.
  for (auto [major, mode] : {std::pair<UCHAR, KPROCESSOR_MODE>{IRP_MJ_DEVICE_CONTROL, UserMode},
                             {IRP_MJ_INTERNAL_DEVICE_CONTROL, KernelMode}}) {
    auto setup = [](PIRP, PIO_STACK_LOCATION s) { s->Parameters.DeviceIoControl.IoControlCode = IOCTL_CORVANE_GET_MSG; };
    EXPECT_EQ(khost::SendIrp(Fdo(node), major, 0, setup, STATUS_SUCCESS, mode).status, kNotConnected);
  }
}

// The start request goes down first and the bus acts on the lower device's
// answer only, whether that comes at once or later from another thread.
TEST_F(FrameTest, StartWaitsForTheLowerDeviceAndStartsTheBusOnlyOnItsSuccess) {
  for (NTSTATUS lower : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL, STATUS_INSUFFICIENT_RESOURCES}) {
    for (bool pends : {false, true}) {
      SCOPED_TRACE(testing::Message() << "lower answers " << std::hex << lower << (pends ? " later" : " at once"));
      khost::RootPdoConfig config;
      config.startStatus = lower;
      config.startPendsOnAnotherThread = pends;
      khost::DevNode* node = Add(config, false);
      TraceMask = 0x100;
      khost::RequestResult result = khost::Pnp().Send(node, IRP_MN_START_DEVICE);
      TraceMask = 0;
      EXPECT_EQ(result.status, lower) << "the bus completes start with the lower device's answer";
      EXPECT_FALSE(result.pendingReturned) << "the bus finishes start itself, after the lower device";
      bool started = NT_SUCCESS(lower);
      ASSERT_NE(Fdo(node), nullptr);
      EXPECT_EQ(Bus(node)->Header.PnpState, started ? StateStarted : StateNotStarted);
      EXPECT_EQ(khost::TakeTraceLines(), started ? Lines{"Velmora===: !!!! Lower Device init success !"} : Lines{});
      NTSTATUS status;
      HANDLE handle = Open(&status);
      EXPECT_EQ(status, started ? STATUS_SUCCESS : kNotConnected);
      if (handle) service_->Close(handle);
      khost::Pnp().Remove(node);
      ExpectNothingLeft();
    }
  }
}

TEST_F(FrameTest, EachFailedAddDeviceStepLeavesNothingBehindAndReturnsItsStatus) {
  struct Case {
    khost::FaultPoint point;
    const char* status;
    Lines trace;
  };
  const std::vector<Case> cases = {
      {khost::FaultPoint::CreateDevice, "0xc000009a",
       {"Velmora===: CreateDevice fail err=0xc000009a", "Velmora<===netBus_AddDevice, NTSTATUS:c000009a"}},
      {khost::FaultPoint::CreateSymbolicLink, "0xc000009a",
       {"Velmora===: IoCreateSymbolicLink fail err=0xc000009a", "Velmora<===netBus_AddDevice, NTSTATUS:c000009a"}},
      {khost::FaultPoint::AttachDevice, "0xc0000001",
       {"Velmora===: IoAttachDeviceToDeviceStack fail", "Velmora<===netBus_AddDevice, NTSTATUS:c0000001"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(khost::FaultPointName(c.point));
    // The manager's own root device is not a driver's call: the bus's is the first.
    khost::FailNth(c.point, 1);
    TraceMask = 0x110;
    khost::DevNode* node = Add();
    TraceMask = 0;
    EXPECT_EQ(node->history, AsNewDevice({std::string("AddDevice -> ") + c.status}));
    EXPECT_EQ(node->state, khost::DevNodeState::Failed);
    EXPECT_EQ(khost::TakeTraceLines(), c.trace);
    ExpectNothingLeft();
    EXPECT_EQ(khost::ReferenceCount(node->pdo), 2) << "no reference to the root device was kept";
    khost::Pnp().Remove(node);
    khost::ClearFaults();
  }
  EXPECT_EQ(Add()->state, khost::DevNodeState::Started) << "nothing of the failures is in the way";
}

TEST_F(FrameTest, ASecondAddDeviceFailsOnTheTakenNameAndLeavesTheFirstBusAlone) {
  khost::RootPdoConfig config;
  config.capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
  config.cancelStatus = STATUS_UNSUCCESSFUL;
  khost::DevNode* first = Add(config);
  EXPECT_EQ(first->history, AsNewDevice({"AddDevice -> 0", "FILTER_RESOURCE_REQUIREMENTS -> 0xc00000bb",
                                          "START_DEVICE -> 0", "QUERY_PNP_DEVICE_STATE -> 0xc00000bb",
                                          "QUERY_DEVICE_RELATIONS -> 0"}));
  EXPECT_EQ(khost::Pnp().Send(first, IRP_MN_QUERY_RESOURCES).status, STATUS_NOT_SUPPORTED)
      << "what nobody answers keeps the status the manager sent it with";
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  auto query = [&](PIRP, PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; };
  EXPECT_EQ(khost::Pnp().Send(first, IRP_MN_QUERY_CAPABILITIES, query).status, STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1) << "the root device answers as configured";
  TraceMask = 0x100;
  khost::DevNode* second = Add();
  TraceMask = 0;
  EXPECT_EQ(second->history, AsNewDevice({"AddDevice -> 0xc0000035"}));
  EXPECT_EQ(second->state, khost::DevNodeState::Failed);
  EXPECT_EQ(khost::TakeTraceLines(), Lines{"Velmora===: CreateDevice fail err=0xc0000035"});
  EXPECT_EQ(khost::DevicesOf(driver_), std::vector<PDEVICE_OBJECT>{Fdo(first)});
  EXPECT_EQ(khost::LookupDevice(u"\\??\\Olvex"), Fdo(first));
  NTSTATUS status;
  service_->Close(Open(&status));
  EXPECT_EQ(status, STATUS_SUCCESS);
  // A cancel the root device refuses leaves the bus where the query put it.
  for (auto [query, cancel, pending] :
       {std::tuple(IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, StateStopPending),
        std::tuple(IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, StateRemovePending)}) {
    EXPECT_EQ(khost::Pnp().Send(first, query).status, STATUS_SUCCESS);
    EXPECT_EQ(khost::Pnp().Send(first, cancel).status, STATUS_UNSUCCESSFUL)
        << "the root device answers a cancel as configured";
    EXPECT_EQ(Bus(first)->Header.PnpState, pending) << "restored before the root device agreed to " << int(cancel);
  }
}

// ------------------------------------------------------------------ routing

TEST_F(FrameTest, TheBusAnswersItsOwnRequestsAndAChildCompletesWhatItHasNoUseForWithItsArrivalStatus) {
  khost::DevNode* node = Add();
  ASSERT_NE(Fdo(node), nullptr);
  for (NTSTATUS arrival : {STATUS_NOT_SUPPORTED, STATUS_INVALID_PARAMETER}) {
    EXPECT_EQ(khost::SendIrp(Fdo(node), IRP_MJ_CLEANUP, 0, nullptr, arrival).status, STATUS_SUCCESS);
    EXPECT_EQ(khost::SendIrp(Fdo(node), IRP_MJ_SYSTEM_CONTROL, 0, nullptr, arrival).status, arrival)
        << "passed down: the root device keeps the status of a request it does not answer";
  }
  // A Plug and Play request the bus has no part in goes down; both routers trace their way out.
  khost::TakeTraceLines();
  TraceMask = 0x11;
  EXPECT_EQ(khost::Pnp().Send(node, IRP_MN_QUERY_RESOURCES).status, STATUS_NOT_SUPPORTED);
  TraceMask = 0;
  EXPECT_EQ(khost::TakeTraceLines(), (Lines{"Velmora===>BtBus_Pnp", "Velmora===>BusFdo_Pnp",
                                            "Velmora<===BusFdo_Pnp, NTSTATUS:c00000bb",
                                            "Velmora<===BtBus_Pnp, NTSTATUS:c00000bb"}));
  POWER_STATE s0;
  s0.SystemState = PowerSystemWorking;
  EXPECT_EQ(khost::SendPower(node, IRP_MN_QUERY_POWER, SystemPowerState, s0).status, STATUS_SUCCESS);
  NTSTATUS status;
  HANDLE handle = Open(&status);
  // Both control majors reach the same handlers: the service's request, and
  // an internal one from a driver above the bus.
  std::vector<uint8_t> plugIn = velmora_test::PlugInRecord(5, {u"VELMORA\\NET"});
  EXPECT_EQ(service_->DeviceIoControl(handle, 0x002A2FFC, nullptr, 0, nullptr, 0), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(service_->DeviceIoControl(handle, IOCTL_NETBUS_PLUG_IN, plugIn.data(), ULONG(plugIn.size()), nullptr, 0),
            STATUS_SUCCESS);
  plugIn = velmora_test::PlugInRecord(6, {u"VELMORA\\NET"});
  EXPECT_EQ(khost::SendKernelControl(Fdo(node), 0x002A2FFC, nullptr, 0, nullptr, 0, true).status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(khost::SendKernelControl(Fdo(node), IOCTL_NETBUS_PLUG_IN, plugIn.data(), ULONG(plugIn.size()), nullptr, 0,
                                     true).status, STATUS_SUCCESS);
  khost::Pnp().ProcessInvalidations();
  ASSERT_EQ(node->children.size(), 2u);
  PDEVICE_OBJECT child = node->children[0]->pdo;  // no function driver: nothing sits above it
  FILE_OBJECT file{};
  WCHAR name[] = {L'\\', L'k'};  // counted, not terminated
  file.FileName.Buffer = name;
  file.FileName.Length = file.FileName.MaximumLength = sizeof name;
  const std::vector<std::pair<UCHAR, ULONG>> requests = {
      {IRP_MJ_CREATE, 0}, {IRP_MJ_CLEANUP, 0}, {IRP_MJ_CLOSE, 0}, {IRP_MJ_SYSTEM_CONTROL, 0},
      {IRP_MJ_DEVICE_CONTROL, IOCTL_NETBUS_PLUG_IN}, {IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_NETBUS_PLUG_IN},
      {IRP_MJ_DEVICE_CONTROL, IOCTL_CORVANE_GET_MSG}, {IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x12345678}};
  for (auto [major, code] : requests) {
    for (NTSTATUS arrival : {STATUS_SUCCESS, STATUS_NOT_SUPPORTED, NTSTATUS(0x40000005)}) {
      auto setup = [&, code = code](PIRP, PIO_STACK_LOCATION s) {
        s->FileObject = &file;
        s->Parameters.DeviceIoControl.IoControlCode = code;
      };
      EXPECT_EQ(khost::SendIrp(child, major, 0, setup, arrival).status, arrival)
          << "major " << int(major) << " code " << std::hex << code;
    }
  }
  EXPECT_EQ(Bus(node)->OpenHandleCount, 1) << "a child's opens and closes are not the bus's";
  // The answer is the bus's (no callback record came with it), not the arrival status.
  auto exchange = [](PIRP, PIO_STACK_LOCATION s) {
    s->Parameters.DeviceIoControl.IoControlCode = IOCTL_NETBUS_EXCHANGE_CALLBACK;
  };
  EXPECT_EQ(khost::SendIrp(child, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, exchange, STATUS_NOT_SUPPORTED).status,
            STATUS_UNSUCCESSFUL);
  service_->Close(handle);
}

// Entry (0x1), exit (0x10) and detail (0x100) lines of one open and its close.
TEST_F(FrameTest, OpensAreCountedUntilTheirCloseAndTraceOnlyUnderTheirMaskBits) {
  khost::DevNode* node = Add();
  ASSERT_NE(Fdo(node), nullptr);
  PBUS_EXTENSION bus = Bus(node);
  NTSTATUS status;
  HANDLE held = Open(&status);
  const std::vector<std::pair<ULONG, const char*>> all = {
      {0x1, "Velmora===>BtBus_Create"},   {0x100, "Velmora===: FileName: \\abc"},
      {0x10, "Velmora<===BtBus_Create, NTSTATUS:0"}, {0x1, "Velmora===>BtBus_CleanUp"},
      {0x10, "Velmora<===BtBus_CleanUp, NTSTATUS:0"}, {0x1, "Velmora===>netBus_Close"},
      {0x10, "Velmora<===netBus_Close"},
  };
  for (ULONG mask : {0x0u, 0x1u, 0x10u, 0x100u, 0x11u, 0x110u, 0x101u, 0x111u, 0xFFFFFFFFu, 0x2u}) {
    khost::TakeTraceLines();
    TraceMask = mask;
    HANDLE handle = Open(&status, u"\\\\.\\Olvex\\abc");  // "\abc" is counted, not terminated
    EXPECT_EQ(bus->OpenHandleCount, 2);
    service_->Close(handle);
    EXPECT_EQ(bus->OpenHandleCount, 1);
    TraceMask = 0;
    Lines expected;
    for (auto [bit, text] : all)
      if (mask & bit) expected.push_back(text);
    EXPECT_EQ(khost::TakeTraceLines(), expected) << "mask " << std::hex << mask;
  }
  service_->Close(held);
  EXPECT_EQ(bus->OpenHandleCount, 0);
}

// ------------------------------------------------------------------ the children's road

// Load, AddDevice and start, open, plug in two children, let the Plug and Play
// manager enumerate them and load their function driver, sleep and wake,
// unplug one, enumerate, close, and remove the bus under the other. `check`
// asserts on the way; a run with a failing platform call only has to clean up.
void TheChildrensRoad(khost::RemovalStyle removal, bool check = false) {
  PDRIVER_OBJECT function = velmora_test::LoadChildDriver(Passthrough_DriverEntry, u"passthrough");
  {
    BusHarness bus;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE handle = bus.Fdo() ? bus.Open(&status) : nullptr;
    EXPECT_TRUE(!check || handle) << "the open failed: " << std::hex << status;
    if (handle) {
      NTSTATUS plugged = bus.PlugIn(handle, 7, {u"VELMORA\\NET", u"VELMORA\\ANY"});
      bus.PlugIn(handle, 8, {u"VELMORA\\NET"});
      bus.Enumerate();
      khost::SetSystemPowerState(PowerSystemSleeping3);
      khost::SetSystemPowerState(PowerSystemWorking);
      if (check) {
        EXPECT_EQ(plugged, STATUS_SUCCESS);
        ASSERT_EQ(bus.ChildNodes().size(), 2u);
        khost::DevNode* child = bus.ChildNodes()[0];
        EXPECT_EQ(khost::Narrow(child->deviceId), "VELMORA\\NET");
        EXPECT_EQ(khost::Narrow(child->instanceId), "0007");
        EXPECT_EQ(child->state, khost::DevNodeState::Started);
        EXPECT_NE(PassthroughDeviceOn(child->pdo), nullptr);
        EXPECT_EQ(khost::PowerRequests().size(), 4u) << "both children went to sleep and back";
      }
      NTSTATUS unplugged = bus.Unplug(handle, 7);
      bus.Enumerate();
      if (check) {
        EXPECT_EQ(unplugged, STATUS_SUCCESS);
        EXPECT_EQ(bus.Children().size(), 1u);
      }
      bus.Service().Close(handle);
    }
    bus.Teardown(removal);
  }
  if (function) khost::UnloadDriver(function);
}

TEST_F(FrameTest, TwoChildrenTravelTheRoadReachingEveryFaultPoint) {
  khost::UnloadDriver(driver_);  // the road loads its own
  driver_ = nullptr;
  for (khost::RemovalStyle removal : {khost::RemovalStyle::Windows, khost::RemovalStyle::Wine}) {
    TheChildrensRoad(removal, true);
    for (int point = 0; point < int(khost::FaultPoint::kCount); ++point)
      EXPECT_GT(khost::CallCount(khost::FaultPoint(point)), 0u) << khost::FaultPointName(khost::FaultPoint(point));
    khost::CheckLeaks();
    EXPECT_EQ(khost::DescribeViolations(TakeViolations()), "") << "what the verifier saw on a clean road";
    khost::Reset();
  }
}

struct Sweep {
  const char* name;
  khost::FaultPoint point;
  std::optional<POOL_TYPE> poolType;
  khost::RemovalStyle removal;
};

class SystematicSweep : public KernelTest, public testing::WithParamInterface<Sweep> {};

TEST_P(SystematicSweep, FailingEachCallInTurnNeverLeaksOrBreaksARule) {
  const Sweep& sweep = GetParam();
  auto runs = khost::RunFailingEachCall(sweep.point, [&] { TheChildrensRoad(sweep.removal); }, sweep.poolType);
  ASSERT_GT(runs.size(), 1u) << "the road never reached the point";
  EXPECT_TRUE(runs[0].violations.empty()) << "the counting run:\n" << khost::DescribeViolations(runs[0].violations);
  for (size_t i = 1; i < runs.size(); ++i) {
    EXPECT_TRUE(runs[i].injected) << "call " << runs[i].failedCall << " was never reached";
    EXPECT_TRUE(runs[i].violations.empty()) << "failing call " << runs[i].failedCall << " of " << runs.size() - 1
                                            << " left " << runs[i].summary << "\n"
                                            << khost::DescribeViolations(runs[i].violations);
  }
}

using khost::FaultPoint;
constexpr auto kWindows = khost::RemovalStyle::Windows, kWine = khost::RemovalStyle::Wine;
INSTANTIATE_TEST_SUITE_P(
    EveryPoint, SystematicSweep,
    testing::Values(Sweep{"Pool", FaultPoint::PoolAllocation, std::nullopt, kWindows},
                    Sweep{"PoolWineRemoval", FaultPoint::PoolAllocation, std::nullopt, kWine},
                    Sweep{"PagedPool", FaultPoint::PoolAllocation, PagedPool, kWindows},
                    Sweep{"NonPagedPool", FaultPoint::PoolAllocation, NonPagedPool, kWindows},
                    Sweep{"DeviceCreation", FaultPoint::CreateDevice, std::nullopt, kWindows},
                    Sweep{"LinkCreation", FaultPoint::CreateSymbolicLink, std::nullopt, kWindows},
                    Sweep{"Attach", FaultPoint::AttachDevice, std::nullopt, kWindows},
                    Sweep{"AttachWineRemoval", FaultPoint::AttachDevice, std::nullopt, kWine},
                    Sweep{"SynchronousRequest", FaultPoint::BuildSynchronousFsdRequest, std::nullopt, kWindows},
                    Sweep{"PowerRequest", FaultPoint::PoRequestPowerIrp, std::nullopt, kWindows}),
    [](const testing::TestParamInfo<Sweep>& info) { return std::string(info.param.name); });

}  // namespace
