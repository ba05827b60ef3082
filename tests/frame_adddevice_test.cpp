// The driver frame from the kernel's side: loading, AddDevice and its
// unwinding, the bus device as the platform sees it, and the start request
// that lets the service in.
#include "bus_harness.h"
#include "kernel_test.h"

namespace {

constexpr const char* kBusLabel = "ROOT\\SYSTEM\\VELMORA";

std::string HexStatus(NTSTATUS status) {
  char text[16];
  snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(status));
  return text;
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
    for (khost::DevNode* node : khost::Pnp().Children(khost::Pnp().Root())) khost::Pnp().Remove(node);
    khost::Pnp().ProcessInvalidations();
    if (driver_) khost::UnloadDriver(driver_);
    TraceMask = 0;
  }
  khost::DevNode* Add(const khost::RootPdoConfig& config = khost::RootPdoConfig(), bool start = true) {
    return khost::Pnp().AddRootDevice(kBusLabel, driver_, config, start);
  }
  PDEVICE_OBJECT Fdo(khost::DevNode* node) const {
    PDEVICE_OBJECT above = node->pdo->AttachedDevice;
    return above && above->DriverObject == driver_ ? above : nullptr;
  }
  PBUS_EXTENSION Bus(khost::DevNode* node) const {
    PDEVICE_OBJECT fdo = Fdo(node);
    return fdo ? static_cast<PBUS_EXTENSION>(fdo->DeviceExtension) : nullptr;
  }
  HANDLE Open(NTSTATUS* status, const std::u16string& path = u"\\\\.\\Olvex") {
    return service_->CreateFile(path, status);
  }
  // Nothing of a bus device is left: no device, name, link or pool.
  void ExpectNothingLeft(const char* after) {
    EXPECT_TRUE(khost::DevicesOf(driver_).empty()) << after;
    EXPECT_EQ(khost::LookupDevice(u"\\Device\\Velmora"), nullptr) << after;
    EXPECT_EQ(khost::LookupDevice(u"\\??\\Olvex"), nullptr) << after;
    EXPECT_TRUE(khost::OutstandingPool().empty()) << after;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<khost::Process> service_ = std::make_unique<khost::Process>("service");
};

TEST_F(FrameTest, LoadingAndUnloadingTraceUnderTheirBitsAndLeaveUnhandledRequestsToTheKernel) {
  khost::UnloadDriver(driver_);
  TraceMask = 0x111;
  driver_ = khost::LoadDriver(u"velmora", Velmora_DriverEntry);
  ASSERT_NE(driver_, nullptr);
  EXPECT_EQ(khost::TakeTraceLines(), (std::vector<std::string>{"Velmora===>DriverEntry", "Velmora<===DriverEntry"}));

  TraceMask = 0;
  khost::DevNode* node = Add();
  for (UCHAR major : {IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SHUTDOWN})
    EXPECT_EQ(khost::SendIrp(Fdo(node), major, 0, nullptr, STATUS_SUCCESS).status, STATUS_INVALID_DEVICE_REQUEST)
        << "major " << int(major) << " keeps the kernel's default handler";
  khost::Pnp().Remove(node);

  TraceMask = 0x1;
  khost::UnloadDriver(driver_);
  driver_ = nullptr;
  EXPECT_EQ(khost::TakeTraceLines(), std::vector<std::string>{"Velmora===>netBus_Unload"});
}

TEST_F(FrameTest, AddDeviceLeavesANamedBusDeviceOnTheStackReadyButNotStarted) {
  TraceMask = 0x111;
  khost::DevNode* node = Add(khost::RootPdoConfig(), false);
  EXPECT_EQ(node->history, std::vector<std::string>{"AddDevice -> 0"});
  EXPECT_EQ(khost::TakeTraceLines(),
            (std::vector<std::string>{"Velmora===>BtNetDrvInitializeSend.", "Velmora<===<<BtNetDrvInitializeSend",
                                      "Velmora<===netBus_AddDevice, NTSTATUS:0"}));
  PDEVICE_OBJECT fdo = Fdo(node);
  ASSERT_NE(fdo, nullptr);
  EXPECT_EQ(khost::LookupDevice(u"\\Device\\Velmora"), fdo);
  EXPECT_EQ(khost::LookupDevice(u"\\??\\Olvex"), fdo) << "the link leads to the bus device";
  EXPECT_EQ(fdo->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));
  // Without FILE_DEVICE_SECURE_OPEN an open of a path below the name would
  // skip the device's security check.
  EXPECT_TRUE(fdo->Characteristics & FILE_DEVICE_SECURE_OPEN);
  EXPECT_TRUE(fdo->Flags & DO_BUFFERED_IO);
  EXPECT_TRUE(fdo->Flags & DO_POWER_PAGABLE);
  EXPECT_FALSE(fdo->Flags & DO_DEVICE_INITIALIZING) << "opens would be refused for good";
  EXPECT_FALSE(fdo->Flags & DO_EXCLUSIVE);
  EXPECT_EQ(fdo->StackSize, 2) << "one location for the bus, one for the root device";

  PBUS_EXTENSION bus = Bus(node);
  EXPECT_TRUE(bus->Header.IsFdo);
  EXPECT_EQ(bus->Header.Self, fdo);
  EXPECT_EQ(bus->NextLower, node->pdo);
  EXPECT_EQ(bus->UnderlyingPdo, node->pdo);
  EXPECT_EQ(bus->Header.PnpState, StateNotStarted);
  EXPECT_EQ(bus->Header.PreviousPnpState, StateNotStarted);
  EXPECT_EQ(bus->OpenHandleCount, 0);
  EXPECT_TRUE(IsListEmpty(&bus->ChildList));
  EXPECT_EQ(bus->ChildCount, 0u);
  EXPECT_TRUE(IsListEmpty(&bus->SendQueue));
  EXPECT_EQ(bus->SendCount, 0u);
  EXPECT_TRUE(bus->SendQueueReady);
  EXPECT_TRUE(bus->FlowOn);
  EXPECT_EQ(bus->UserEvent, nullptr);
  EXPECT_EQ(bus->ChildCallback, nullptr);
}

TEST_F(FrameTest, AnOpenBeforeStartIsRefusedAndNotCounted) {
  khost::DevNode* node = Add(khost::RootPdoConfig(), false);
  TraceMask = 0x111;
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(Open(&status), nullptr);
  EXPECT_EQ(status, NTSTATUS(0xC000009D));
  EXPECT_EQ(Bus(node)->OpenHandleCount, 0);
  EXPECT_EQ(khost::TakeTraceLines(),
            (std::vector<std::string>{"Velmora===>BtBus_Create", "Velmora===: FileName: ",
                                      "Velmora<===BtBus_Create, NTSTATUS:c000009d"}))
      << "a refused open gets no cleanup or close";
  // Internal and normal control requests alike are refused before start.
  for (UCHAR major : {IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL}) {
    khost::RequestResult result = khost::SendIrp(
        Fdo(node), major, 0,
        [](PIRP, PIO_STACK_LOCATION s) { s->Parameters.DeviceIoControl.IoControlCode = IOCTL_CORVANE_GET_MSG; },
        STATUS_SUCCESS, UserMode);
    EXPECT_EQ(result.status, NTSTATUS(0xC000009D)) << "major " << int(major);
  }
}

// The start request goes down first and the bus acts on the lower device's
// answer only: whether that comes at once or later from another thread.
TEST_F(FrameTest, StartWaitsForTheLowerDeviceAndStartsTheBusOnlyOnItsSuccess) {
  struct Case {
    NTSTATUS lower;
    bool pends;
  };
  std::vector<Case> cases = {
      {STATUS_SUCCESS, false},          {STATUS_SUCCESS, true},
      {STATUS_UNSUCCESSFUL, false},     {STATUS_UNSUCCESSFUL, true},
      {STATUS_INSUFFICIENT_RESOURCES, true}, {STATUS_DEVICE_NOT_CONNECTED, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "lower answers " << std::hex << c.lower << (c.pends ? " later" : " at once"));
    khost::RootPdoConfig config;
    config.startStatus = c.lower;
    config.startPendsOnAnotherThread = c.pends;
    khost::DevNode* node = Add(config, false);
    TraceMask = 0x100;
    khost::RequestResult result = khost::Pnp().Send(node, IRP_MN_START_DEVICE);
    TraceMask = 0;
    EXPECT_EQ(result.status, c.lower) << "the bus completes start with the lower device's answer";
    EXPECT_FALSE(result.pendingReturned) << "the bus finishes start itself, after the lower device";
    bool started = NT_SUCCESS(c.lower);
    EXPECT_EQ(Bus(node)->Header.PnpState, started ? StateStarted : StateNotStarted);
    auto lines = khost::TakeTraceLines();
    EXPECT_EQ(lines, started ? std::vector<std::string>{"Velmora===: !!!! Lower Device init success !"}
                             : std::vector<std::string>{});
    NTSTATUS status;
    HANDLE handle = Open(&status);
    EXPECT_EQ(status, started ? STATUS_SUCCESS : NTSTATUS(0xC000009D));
    if (handle) service_->Close(handle);
    khost::Pnp().Remove(node);
    ExpectNothingLeft("after removal");
  }
}

TEST_F(FrameTest, EverySuccessfulOpenIsCountedUntilItsClose) {
  khost::DevNode* node = Add();
  PBUS_EXTENSION bus = Bus(node);
  NTSTATUS status;
  HANDLE a = Open(&status);
  HANDLE b = Open(&status, u"\\\\.\\Olvex\\abc");
  HANDLE c = Open(&status);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(bus->OpenHandleCount, 3);
  service_->Close(b);
  EXPECT_EQ(bus->OpenHandleCount, 2);
  khost::Process other("other");
  HANDLE d = other.CreateFile(u"\\\\.\\Olvex", &status);
  EXPECT_EQ(bus->OpenHandleCount, 3);
  other.Close(d);
  service_->Close(a);
  service_->Close(c);
  EXPECT_EQ(bus->OpenHandleCount, 0);
  // While the service holds the bus open, the Plug and Play manager may not remove it.
  HANDLE held = Open(&status);
  EXPECT_EQ(khost::Pnp().Send(node, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_UNSUCCESSFUL);
  khost::Pnp().Send(node, IRP_MN_CANCEL_REMOVE_DEVICE);
  service_->Close(held);
}

TEST_F(FrameTest, EachFailedAddDeviceStepLeavesNothingBehindAndReturnsItsStatus) {
  struct Case {
    khost::FaultPoint point;
    NTSTATUS expected;
    std::vector<std::string> trace;
  };
  std::vector<Case> cases = {
      {khost::FaultPoint::CreateDevice, STATUS_INSUFFICIENT_RESOURCES,
       {"Velmora===: CreateDevice fail err=0xc000009a", "Velmora<===netBus_AddDevice, NTSTATUS:c000009a"}},
      {khost::FaultPoint::CreateSymbolicLink, STATUS_INSUFFICIENT_RESOURCES,
       {"Velmora===: IoCreateSymbolicLink fail err=0xc000009a", "Velmora<===netBus_AddDevice, NTSTATUS:c000009a"}},
      {khost::FaultPoint::AttachDevice, STATUS_UNSUCCESSFUL,
       {"Velmora===: IoAttachDeviceToDeviceStack fail", "Velmora<===netBus_AddDevice, NTSTATUS:c0000001"}},
  };
  uint64_t injected = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(khost::FaultPointName(c.point));
    // The root device's own creation is the first IoCreateDevice; the bus's comes second.
    khost::FailNth(c.point, c.point == khost::FaultPoint::CreateDevice ? 2 : 1);
    TraceMask = 0x110;
    khost::DevNode* node = Add();
    TraceMask = 0;
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(khost::InjectedFailures(), injected + 1);
    injected = khost::InjectedFailures();
    EXPECT_EQ(node->history, std::vector<std::string>{"AddDevice -> " + HexStatus(c.expected)});
    EXPECT_EQ(node->state, khost::DevNodeState::Failed);
    EXPECT_EQ(khost::TakeTraceLines(), c.trace);
    ExpectNothingLeft("after the failed AddDevice");
    EXPECT_EQ(khost::ReferenceCount(node->pdo), 2) << "the failed AddDevice kept no reference to the root device";
    khost::Pnp().Remove(node);
    khost::ClearFaults();
  }
  // Nothing of the failures is in the way of a bus that succeeds.
  khost::DevNode* node = Add();
  EXPECT_EQ(node->state, khost::DevNodeState::Started);
  NTSTATUS status;
  service_->Close(Open(&status));
  EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST_F(FrameTest, ASecondAddDeviceFailsOnTheTakenNameAndLeavesTheFirstBusAlone) {
  khost::DevNode* first = Add();
  TraceMask = 0x100;
  khost::DevNode* second = Add();
  TraceMask = 0;
  EXPECT_EQ(second->history, std::vector<std::string>{"AddDevice -> 0xc0000035"});
  EXPECT_EQ(second->state, khost::DevNodeState::Failed);
  EXPECT_EQ(Fdo(second), nullptr);
  EXPECT_EQ(khost::TakeTraceLines(), std::vector<std::string>{"Velmora===: CreateDevice fail err=0xc0000035"});
  EXPECT_EQ(khost::DevicesOf(driver_), std::vector<PDEVICE_OBJECT>{Fdo(first)});
  EXPECT_EQ(khost::LookupDevice(u"\\??\\Olvex"), Fdo(first));
  NTSTATUS status;
  HANDLE handle = Open(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Bus(first)->OpenHandleCount, 1);
  service_->Close(handle);
}

}  // namespace
