// A child's power: a system power change becomes a device power change that
// travels down the child's own stack from its top, and the system request
// finishes once that one has - successfully, whatever became of the device
// request. A probe function driver on the child sees what comes down and
// watches the system request finish.
#include <atomic>
#include <deque>
#include <mutex>
#include <thread>

#include "child_fixture.h"

using namespace child_test;
using khost::RequestResult;

namespace {

constexpr NTSTATUS kDeviceNotReady = static_cast<NTSTATUS>(0xC00000A3L);

// ------------------------------------------------------------------ probe function driver
// What a system set-power request looked like from above the child.
struct SystemWatch {
  std::atomic<bool> completed{false};
  std::atomic<bool> completedBeforeReturn{false};
  NTSTATUS returned = 0;
  NTSTATUS completionStatus = 0;
  KIRQL completionIrql = PASSIVE_LEVEL;
  std::thread::id completionThread;
  std::thread::id dispatchThread;
};
struct Seen {
  UCHAR minor;
  ULONG type;
  ULONG state;
  KIRQL irql;
};

struct ProbeState {
  std::mutex lock;
  std::vector<Seen> seen;
  std::deque<SystemWatch> watches;
  NTSTATUS failDeviceSetPower = STATUS_SUCCESS;  // a failure: complete device set-power here with it
  PDRIVER_OBJECT driver = nullptr;
};
ProbeState* g_probe = nullptr;

struct ProbeExtension {
  PDEVICE_OBJECT lower;
};
PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT device) { return static_cast<ProbeExtension*>(device->DeviceExtension)->lower; }

ULONG RawType(PIO_STACK_LOCATION stack) {
  ULONG type;
  std::memcpy(&type, &stack->Parameters.Power.Type, sizeof(type));
  return type;
}

NTSTATUS ProbeSystemDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  if (irp->PendingReturned) IoMarkIrpPending(irp);
  SystemWatch* watch = static_cast<SystemWatch*>(context);
  watch->completionStatus = irp->IoStatus.Status;
  watch->completionIrql = KeGetCurrentIrql();
  watch->completionThread = std::this_thread::get_id();
  watch->completed = true;
  return STATUS_SUCCESS;
}

NTSTATUS ProbePower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG type = RawType(stack);
  NTSTATUS fail;
  {
    std::lock_guard<std::mutex> hold(g_probe->lock);
    g_probe->seen.push_back({stack->MinorFunction, type, static_cast<ULONG>(stack->Parameters.Power.State.DeviceState),
                             KeGetCurrentIrql()});
    fail = g_probe->failDeviceSetPower;
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && type == DevicePowerState && !NT_SUCCESS(fail)) {
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = fail;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return fail;
  }
  if (stack->MinorFunction == IRP_MN_SET_POWER && type == SystemPowerState) {
    SystemWatch* watch;
    {
      std::lock_guard<std::mutex> hold(g_probe->lock);
      watch = &g_probe->watches.emplace_back();
    }
    watch->dispatchThread = std::this_thread::get_id();
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, ProbeSystemDone, watch, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = PoCallDriver(LowerOf(device), irp);
    watch->completedBeforeReturn = watch->completed.load();
    watch->returned = status;
    return status;
  }
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(LowerOf(device), irp);
}

NTSTATUS ProbePnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  PDEVICE_OBJECT lower = LowerOf(device);
  switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE: {
      irp->IoStatus.Status = STATUS_SUCCESS;
      IoSkipCurrentIrpStackLocation(irp);
      NTSTATUS status = IoCallDriver(lower, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(device);
      return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    default:
      break;
  }
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS ProbePassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(LowerOf(device), irp);
}

NTSTATUS ProbeAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(ProbeExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (!lower) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  static_cast<ProbeExtension*>(device->DeviceExtension)->lower = lower;
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS ProbeEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = ProbePassDown;
  driver->MajorFunction[IRP_MJ_PNP] = ProbePnp;
  driver->MajorFunction[IRP_MJ_POWER] = ProbePower;
  driver->DriverExtension->AddDevice = ProbeAddDevice;
  return STATUS_SUCCESS;
}

RequestResult SendPowerRequest(khost::DevNode* node, UCHAR minor, ULONG type, ULONG state, ULONG_PTR information = 0) {
  return khost::SendIrp(node->pdo, IRP_MJ_POWER, minor,
                        [&](PIRP irp, PIO_STACK_LOCATION stack) {
                          irp->IoStatus.Information = information;
                          std::memcpy(&stack->Parameters.Power.Type, &type, sizeof(type));
                          std::memcpy(&stack->Parameters.Power.State, &state, sizeof(state));
                        },
                        STATUS_NOT_SUPPORTED);
}

std::vector<khost::PowerReport> ReportsFor(PDEVICE_OBJECT device) {
  std::vector<khost::PowerReport> out;
  for (const khost::PowerReport& r : khost::PowerReports())
    if (r.device == device) out.push_back(r);
  return out;
}

}  // namespace

class ChildPowerTest : public ChildTest {
 protected:
  void SetUp() override {
    ChildTest::SetUp();
    g_probe = new ProbeState;
  }
  void TearDown() override {
    ChildTest::TearDown();
    delete g_probe;
    g_probe = nullptr;
  }
  void EndScenario() override {
    ChildTest::EndScenario();
    if (probe_) khost::UnloadDriver(probe_);
    probe_ = nullptr;
  }

  // A started child, serial 7, with the probe driver as its function driver.
  void StartSeven(ULONG serial = 7) {
    if (!probe_) {
      probe_ = khost::LoadDriver(u"probe", ProbeEntry);
      Boot(khost::RootPdoConfig(), /*withFunctionDriver=*/false);
      khost::Pnp().RegisterFunctionDriver(kCompatibleId, probe_);
    }
    ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS);
    node_ = Node(serial);
    ASSERT_NE(node_, nullptr) << khost::Pnp().Describe();
    ASSERT_EQ(node_->state, khost::DevNodeState::Started);
    pdo_ = node_->pdo;
    child_ = Ext(pdo_);
    ASSERT_EQ(child_->DevicePowerState, PowerDeviceD0);
    ASSERT_EQ(child_->SystemPowerState, PowerSystemWorking);
  }
  std::vector<Seen> SeenRequests() {
    std::lock_guard<std::mutex> hold(g_probe->lock);
    return g_probe->seen;
  }
  SystemWatch& LastWatch() {
    std::lock_guard<std::mutex> hold(g_probe->lock);
    return g_probe->watches.back();
  }
  void FailDeviceSetPower(NTSTATUS status) {
    std::lock_guard<std::mutex> hold(g_probe->lock);
    g_probe->failDeviceSetPower = status;
  }

  PDRIVER_OBJECT probe_ = nullptr;
  khost::DevNode* node_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PCHILD_EXTENSION child_ = nullptr;
};

// ------------------------------------------------------------------ system set-power
struct SystemCase {
  SYSTEM_POWER_STATE system;
  DEVICE_POWER_STATE device;
  khost::PowerCallbackMode mode;
};

class ChildSystemPowerTest : public ChildPowerTest, public ::testing::WithParamInterface<SystemCase> {};

TEST_P(ChildSystemPowerTest, SystemStateBecomesADeviceRequestThroughTheTopOfTheStack) {
  const SystemCase& c = GetParam();
  StartSeven();
  khost::SetPowerCallbackMode(c.mode);

  RequestResult result = SendPowerRequest(node_, IRP_MN_SET_POWER, SystemPowerState, c.system, 0x6060);
  EXPECT_TRUE(result.pendingReturned);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, 0x6060u);

  // The device request was issued for the child and came down from the top.
  std::vector<khost::PowerRequestRecord> requests = khost::PowerRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].device, pdo_);
  EXPECT_EQ(requests[0].minor, IRP_MN_SET_POWER);
  EXPECT_EQ(requests[0].state.DeviceState, c.device);
  EXPECT_EQ(requests[0].status, STATUS_SUCCESS);
  std::vector<Seen> seen = SeenRequests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].type, ULONG(SystemPowerState));
  EXPECT_EQ(seen[0].state, ULONG(c.system));
  EXPECT_EQ(seen[1].minor, IRP_MN_SET_POWER);
  EXPECT_EQ(seen[1].type, ULONG(DevicePowerState));
  EXPECT_EQ(seen[1].state, ULONG(c.device));
  EXPECT_EQ(seen[0].irql, PASSIVE_LEVEL);

  // Device state first, then the system state, each reported and recorded.
  EXPECT_EQ(child_->DevicePowerState, c.device);
  EXPECT_EQ(child_->SystemPowerState, c.system);
  std::vector<khost::PowerReport> reports = ReportsFor(pdo_);
  ASSERT_EQ(reports.size(), 2u);
  EXPECT_EQ(reports[0].type, DevicePowerState);
  EXPECT_EQ(reports[0].state.DeviceState, c.device);
  EXPECT_EQ(reports[1].type, SystemPowerState);
  EXPECT_EQ(reports[1].state.SystemState, c.system);

  // Where the callback finished the system request.
  SystemWatch& watch = LastWatch();
  EXPECT_EQ(watch.returned, STATUS_PENDING);
  EXPECT_EQ(watch.completionStatus, STATUS_SUCCESS);
  if (c.mode == khost::PowerCallbackMode::Inline) {
    EXPECT_TRUE(watch.completedBeforeReturn);
    EXPECT_EQ(watch.completionThread, watch.dispatchThread);
  } else {
    EXPECT_NE(watch.completionThread, watch.dispatchThread);
    EXPECT_EQ(watch.completionIrql, DISPATCH_LEVEL);
  }
}

std::vector<SystemCase> SystemCases() {
  std::vector<SystemCase> cases;
  for (khost::PowerCallbackMode mode : {khost::PowerCallbackMode::Inline, khost::PowerCallbackMode::Deferred}) {
    cases.push_back({PowerSystemWorking, PowerDeviceD0, mode});
    for (SYSTEM_POWER_STATE s : {PowerSystemUnspecified, PowerSystemSleeping1, PowerSystemSleeping2,
                                 PowerSystemSleeping3, PowerSystemHibernate, PowerSystemShutdown})
      cases.push_back({s, PowerDeviceD3, mode});
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(States, ChildSystemPowerTest, ::testing::ValuesIn(SystemCases()),
                         [](const ::testing::TestParamInfo<SystemCase>& info) {
                           return std::string(info.param.mode == khost::PowerCallbackMode::Inline ? "Inline"
                                                                                                  : "Deferred") +
                                  "S" + std::to_string(info.param.system);
                         });

TEST_F(ChildPowerTest, SleepAndWakeReachEveryChild) {
  for (khost::PowerCallbackMode mode : {khost::PowerCallbackMode::Inline, khost::PowerCallbackMode::Deferred}) {
    SCOPED_TRACE(mode == khost::PowerCallbackMode::Inline ? "inline" : "deferred");
    if (!probe_) {
      StartSeven(7);
      StartSeven(8);
    }
    khost::SetPowerCallbackMode(mode);
    std::vector<PCHILD_EXTENSION> children = {Ext(Node(7)->pdo), Ext(Node(8)->pdo)};

    auto results = khost::SetSystemPowerState(PowerSystemSleeping3);
    ASSERT_EQ(results.size(), 3u) << "the bus node and two children";
    for (const auto& [node, status] : results) EXPECT_EQ(status, STATUS_SUCCESS) << node->label;
    EXPECT_EQ(results.back().first, bus_->Node()) << "the bus went to sleep before its children";
    for (PCHILD_EXTENSION child : children) {
      EXPECT_EQ(child->DevicePowerState, PowerDeviceD3);
      EXPECT_EQ(child->SystemPowerState, PowerSystemSleeping3);
    }

    results = khost::SetSystemPowerState(PowerSystemWorking);
    ASSERT_EQ(results.size(), 3u);
    for (const auto& [node, status] : results) EXPECT_EQ(status, STATUS_SUCCESS) << node->label;
    EXPECT_EQ(results.front().first, bus_->Node()) << "a child woke before its bus";
    for (PCHILD_EXTENSION child : children) {
      EXPECT_EQ(child->DevicePowerState, PowerDeviceD0);
      EXPECT_EQ(child->SystemPowerState, PowerSystemWorking);
    }
  }
  EXPECT_EQ(khost::PowerRequests().size(), 8u);
}

TEST_F(ChildPowerTest, SystemRequestIsAlreadyCompleteWhenNoDeviceRequestCanBeIssued) {
  StartSeven();
  khost::FailNth(khost::FaultPoint::PoRequestPowerIrp, 1);
  RequestResult result = SendPowerRequest(node_, IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, 0x7070);
  EXPECT_TRUE(result.pendingReturned);
  EXPECT_EQ(result.status, STATUS_SUCCESS) << "a system set-power request may not fail";
  EXPECT_EQ(result.information, 0x7070u);
  SystemWatch& watch = LastWatch();
  EXPECT_TRUE(watch.completedBeforeReturn);
  EXPECT_EQ(watch.returned, STATUS_PENDING);

  EXPECT_TRUE(khost::PowerRequests().empty());
  EXPECT_TRUE(ReportsFor(pdo_).empty());
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(child_->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(CountLines(khost::TraceLines(), "Velmora===: PoRequestPowerIrp failed, status=0xc000009a"), 1u);
}

TEST_F(ChildPowerTest, FailedDeviceRequestStillLetsTheSystemRequestSucceed) {
  StartSeven();
  FailDeviceSetPower(kDeviceNotReady);
  for (khost::PowerCallbackMode mode : {khost::PowerCallbackMode::Inline, khost::PowerCallbackMode::Deferred}) {
    khost::SetPowerCallbackMode(mode);
    SYSTEM_POWER_STATE target = mode == khost::PowerCallbackMode::Inline ? PowerSystemSleeping1 : PowerSystemHibernate;
    RequestResult result = SendPowerRequest(node_, IRP_MN_SET_POWER, SystemPowerState, target);
    EXPECT_TRUE(result.pendingReturned);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(LastWatch().completionStatus, STATUS_SUCCESS);
    ASSERT_FALSE(khost::PowerRequests().empty());
    EXPECT_EQ(khost::PowerRequests().back().status, kDeviceNotReady);
    // The system state is recorded and reported all the same; the device
    // state never changed, since the request did not reach the child.
    EXPECT_EQ(child_->SystemPowerState, target);
    EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
    std::vector<khost::PowerReport> reports = ReportsFor(pdo_);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().type, SystemPowerState);
    EXPECT_EQ(reports.back().state.SystemState, target);
  }
  EXPECT_EQ(ReportsFor(pdo_).size(), 2u) << "a device state was reported";
  EXPECT_EQ(CountLines(khost::TraceLines(), "Velmora===: Device power request failed, status=0xc00000a3"), 2u);
}

// ------------------------------------------------------------------ other power requests
TEST_F(ChildPowerTest, DeviceSetPowerIsAcceptedForEveryStateD2Included) {
  StartSeven();
  for (DEVICE_POWER_STATE state : {PowerDeviceD2, PowerDeviceD1, PowerDeviceD3, PowerDeviceD0}) {
    RequestResult result = SendPowerRequest(node_, IRP_MN_SET_POWER, DevicePowerState, state, 0x8080);
    EXPECT_FALSE(result.pendingReturned);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << "D" << state - 1;
    EXPECT_EQ(result.information, 0x8080u);
    EXPECT_EQ(child_->DevicePowerState, state);
    std::vector<khost::PowerReport> reports = ReportsFor(pdo_);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().type, DevicePowerState);
    EXPECT_EQ(reports.back().state.DeviceState, state);
  }
  EXPECT_EQ(child_->SystemPowerState, PowerSystemWorking);
  EXPECT_TRUE(khost::PowerRequests().empty());
}

TEST_F(ChildPowerTest, QueryPowerAcceptsEveryStateAndChangesNothing) {
  StartSeven();
  for (ULONG type : {ULONG(SystemPowerState), ULONG(DevicePowerState)}) {
    for (ULONG state = 0; state < 7; ++state) {
      RequestResult result = SendPowerRequest(node_, IRP_MN_QUERY_POWER, type, state, 0x9090);
      EXPECT_EQ(result.status, STATUS_SUCCESS) << "type " << type << " state " << state;
      EXPECT_EQ(result.information, 0x9090u);
    }
  }
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(child_->SystemPowerState, PowerSystemWorking);
  EXPECT_TRUE(ReportsFor(pdo_).empty());
  EXPECT_TRUE(khost::PowerRequests().empty());
}

TEST_F(ChildPowerTest, WaitWakeAndOtherMinorsAreNotSupported) {
  StartSeven();
  for (UCHAR minor : {UCHAR(IRP_MN_WAIT_WAKE), UCHAR(IRP_MN_POWER_SEQUENCE), UCHAR(4), UCHAR(0x10), UCHAR(0xFF)}) {
    RequestResult result = SendPowerRequest(node_, minor, DevicePowerState, PowerDeviceD1, 0xA0A0);
    EXPECT_FALSE(result.pendingReturned);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED) << "minor " << int(minor);
    EXPECT_EQ(result.information, 0xA0A0u) << "minor " << int(minor);
  }
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
  EXPECT_TRUE(ReportsFor(pdo_).empty());
}

TEST_F(ChildPowerTest, SetPowerOfAnUnknownTypeIsNotImplementedAndChangesNothing) {
  StartSeven();
  for (ULONG type : {2u, 3u, 0x80000000u, 0xFFFFFFFFu}) {
    RequestResult result = SendPowerRequest(node_, IRP_MN_SET_POWER, type, PowerDeviceD3, 0xB0B0);
    EXPECT_FALSE(result.pendingReturned);
    EXPECT_EQ(result.status, STATUS_NOT_IMPLEMENTED) << "type " << type;
    EXPECT_EQ(result.information, 0xB0B0u) << "type " << type;
  }
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(child_->SystemPowerState, PowerSystemWorking);
  EXPECT_TRUE(ReportsFor(pdo_).empty());
  EXPECT_TRUE(khost::PowerRequests().empty());
}
