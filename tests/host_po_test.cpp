// The kernel host's power manager: device power requests issued for a driver
// (finished inside the call or later on another thread), what drivers report,
// system transitions sent to every started device node, and the rule that
// every driver finishing a power request has started the next one.
#include <atomic>
#include <thread>

#include "kernel_test.h"

namespace {

// ------------------------------------------------------------------ power driver
// A function driver over a root device that records every power request and
// passes it down; `forgetStartNext` makes it the one that breaks the rule.
struct Record {
  PDEVICE_OBJECT device;
  UCHAR minor;
  POWER_STATE_TYPE type;
  ULONG state;
  POWER_ACTION action;
};
std::vector<Record> g_records;
bool g_forgetStartNext;
bool g_completeHere;

struct Ext {
  PDEVICE_OBJECT lower;
};

NTSTATUS PowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  g_records.push_back({device, stack->MinorFunction, stack->Parameters.Power.Type,
                       static_cast<ULONG>(stack->Parameters.Power.State.SystemState),
                       stack->Parameters.Power.ShutdownType});
  if (!g_forgetStartNext) PoStartNextPowerIrp(irp);
  if (g_completeHere) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(static_cast<Ext*>(device->DeviceExtension)->lower, irp);
}

NTSTATUS PassPnp(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<Ext*>(device->DeviceExtension);
  PDEVICE_OBJECT lower = ext->lower;
  bool remove = IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_REMOVE_DEVICE;
  if (remove) irp->IoStatus.Status = STATUS_SUCCESS;
  IoSkipCurrentIrpStackLocation(irp);
  NTSTATUS status = IoCallDriver(lower, irp);
  if (remove) {
    IoDetachDevice(lower);
    IoDeleteDevice(device);
  }
  return status;
}

NTSTATUS PowerAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  static_cast<Ext*>(fdo->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS PowerDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_POWER] = PowerDispatch;
  driver->MajorFunction[IRP_MJ_PNP] = PassPnp;
  driver->DriverExtension->AddDevice = PowerAddDevice;
  return STATUS_SUCCESS;
}

struct Callback {
  std::atomic<int> calls{0};
  std::atomic<int> irql{-1};
  std::atomic<bool> onCallerThread{false};
  std::thread::id caller;
  NTSTATUS status = 0;
  UCHAR minor = 0xFF;
  ULONG state = 0;
};

VOID PowerDone(PDEVICE_OBJECT, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK io) {
  auto* cb = static_cast<Callback*>(context);
  cb->minor = minor;
  cb->state = state.DeviceState;
  cb->status = io->Status;
  cb->irql = KeGetCurrentIrql();
  cb->onCallerThread = std::this_thread::get_id() == cb->caller;
  ++cb->calls;
}

class HostPoTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_records.clear();
    g_forgetStartNext = false;
    g_completeHere = false;
    driver_ = khost::LoadDriver(u"powerrec", PowerDriverEntry);
    ASSERT_NE(driver_, nullptr);
  }
  void EndScenario() override {
    khost::JoinPowerThreads();
    for (khost::DevNode* node : khost::Pnp().Children(khost::Pnp().Root())) khost::Pnp().Remove(node);
    khost::UnloadDriver(driver_);
  }
  khost::DevNode* Node(const char* label) { return khost::Pnp().AddRootDevice(label, driver_); }
  static PDEVICE_OBJECT Top(khost::DevNode* node) { return node->pdo->AttachedDevice; }

  PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(HostPoTest, AnInlineDevicePowerRequestFinishesInsideTheCall) {
  khost::DevNode* node = Node("A");
  Callback cb;
  cb.caller = std::this_thread::get_id();
  POWER_STATE d3;
  d3.DeviceState = PowerDeviceD3;
  PIRP irp = nullptr;
  EXPECT_EQ(PoRequestPowerIrp(Top(node), IRP_MN_SET_POWER, d3, PowerDone, &cb, &irp), STATUS_PENDING);
  EXPECT_NE(irp, nullptr);
  EXPECT_EQ(cb.calls, 1) << "inline mode finishes the request before PoRequestPowerIrp returns";
  EXPECT_TRUE(cb.onCallerThread);
  EXPECT_EQ(cb.status, STATUS_SUCCESS);
  EXPECT_EQ(cb.minor, IRP_MN_SET_POWER);
  EXPECT_EQ(cb.state, ULONG(PowerDeviceD3));
  ASSERT_EQ(g_records.size(), 1u);
  EXPECT_EQ(g_records[0].device, Top(node)) << "sent to the top of the stack";
  EXPECT_EQ(g_records[0].type, DevicePowerState);
  auto requests = khost::PowerRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].status, STATUS_SUCCESS);
  EXPECT_EQ(requests[0].state.DeviceState, PowerDeviceD3);
}

TEST_F(HostPoTest, ADeferredDevicePowerRequestFinishesLaterOnAnotherThreadAtDispatchLevel) {
  khost::DevNode* node = Node("A");
  khost::SetPowerCallbackMode(khost::PowerCallbackMode::Deferred);
  Callback cb;
  cb.caller = std::this_thread::get_id();
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(PoRequestPowerIrp(Top(node), IRP_MN_SET_POWER, d0, PowerDone, &cb, nullptr), STATUS_PENDING);
  EXPECT_EQ(cb.calls, 0) << "nothing has been sent yet";
  khost::JoinPowerThreads();
  EXPECT_EQ(cb.calls, 1);
  EXPECT_FALSE(cb.onCallerThread);
  EXPECT_EQ(cb.irql, DISPATCH_LEVEL);
}

TEST_F(HostPoTest, ARequestThatCannotBeIssuedNeverCallsBack) {
  khost::DevNode* node = Node("A");
  Callback cb;
  POWER_STATE d0;
  d0.DeviceState = PowerDeviceD0;
  EXPECT_EQ(PoRequestPowerIrp(Top(node), IRP_MN_QUERY_CAPABILITIES, d0, PowerDone, &cb, nullptr),
            NTSTATUS(0xC00000F0))
      << "only set, query and wait-wake may be requested";
  khost::FailNth(khost::FaultPoint::PoRequestPowerIrp, 1);
  EXPECT_EQ(PoRequestPowerIrp(Top(node), IRP_MN_SET_POWER, d0, PowerDone, &cb, nullptr),
            STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(cb.calls, 0);
  EXPECT_TRUE(g_records.empty());
  EXPECT_EQ(khost::Objects().liveIrps, 0u);
}

TEST_F(HostPoTest, EveryDriverThatCompletesAPowerRequestMustHaveStartedTheNextOne) {
  khost::DevNode* node = Node("A");
  POWER_STATE s0;
  s0.SystemState = PowerSystemWorking;
  // The function driver starts the next request and passes it down; the root
  // device below starts its own: clean.
  khost::SendPower(node, IRP_MN_SET_POWER, SystemPowerState, s0);
  EXPECT_TRUE(khost::Violations().empty()) << khost::DescribeViolations(khost::Violations());

  g_forgetStartNext = true;
  g_completeHere = true;
  khost::SendPower(node, IRP_MN_SET_POWER, SystemPowerState, s0);
  auto violations = TakeViolations();
  EXPECT_TRUE(Reported(violations, "power-irp-without-start-next")) << khost::DescribeViolations(violations);
}

TEST_F(HostPoTest, PoSetPowerStateReturnsThePreviousStateAndIsRecorded) {
  khost::DevNode* node = Node("A");
  POWER_STATE d0, d3;
  d0.DeviceState = PowerDeviceD0;
  d3.DeviceState = PowerDeviceD3;
  EXPECT_EQ(PoSetPowerState(Top(node), DevicePowerState, d3).DeviceState, PowerDeviceUnspecified);
  EXPECT_EQ(PoSetPowerState(Top(node), DevicePowerState, d0).DeviceState, PowerDeviceD3);
  auto reports = khost::PowerReports();
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[1].state.DeviceState, PowerDeviceD0);
}

TEST_F(HostPoTest, ASystemTransitionReachesEveryStartedNodeLeavesFirstWhenSleeping) {
  khost::DevNode* a = Node("A");
  khost::DevNode* b = Node("B");
  khost::SetSystemPowerState(PowerSystemSleeping3);
  khost::SetSystemPowerState(PowerSystemWorking);
  khost::SetSystemPowerState(PowerSystemHibernate);
  khost::SetSystemPowerState(PowerSystemShutdown);
  struct Expected {
    PDEVICE_OBJECT device;
    ULONG state;
    POWER_ACTION action;
  };
  std::vector<Expected> expected = {
      {Top(b), PowerSystemSleeping3, PowerActionSleep},   {Top(a), PowerSystemSleeping3, PowerActionSleep},
      {Top(a), PowerSystemWorking, PowerActionNone},      {Top(b), PowerSystemWorking, PowerActionNone},
      {Top(b), PowerSystemHibernate, PowerActionHibernate}, {Top(a), PowerSystemHibernate, PowerActionHibernate},
      {Top(b), PowerSystemShutdown, PowerActionShutdown}, {Top(a), PowerSystemShutdown, PowerActionShutdown},
  };
  ASSERT_EQ(g_records.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(g_records[i].device, expected[i].device) << "request " << i;
    EXPECT_EQ(g_records[i].type, SystemPowerState);
    EXPECT_EQ(g_records[i].minor, IRP_MN_SET_POWER);
    EXPECT_EQ(g_records[i].state, expected[i].state) << "request " << i;
    EXPECT_EQ(g_records[i].action, expected[i].action) << "request " << i;
  }
}

}  // namespace
