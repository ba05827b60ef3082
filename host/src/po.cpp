// Kernel host: the power manager. Device set-power requests on a driver's
// behalf (sent inside the call or later from another thread), the records of
// what drivers report, and system transitions sent to every device node.
#include <algorithm>
#include <thread>

#include "internal.h"

namespace khost {
namespace {
std::mutex g_powerLock;
PowerCallbackMode g_mode = PowerCallbackMode::Inline;
std::vector<PowerReport> g_reports;
std::vector<PowerRequestRecord> g_requests;
std::vector<std::thread> g_threads;
}  // namespace

void SetPowerCallbackMode(PowerCallbackMode mode) {
  std::lock_guard<std::mutex> hold(g_powerLock);
  g_mode = mode;
}

std::vector<PowerReport> PowerReports() {
  std::lock_guard<std::mutex> hold(g_powerLock);
  return g_reports;
}

std::vector<PowerRequestRecord> PowerRequests() {
  std::lock_guard<std::mutex> hold(g_powerLock);
  return g_requests;
}

void JoinPowerThreads() {
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> hold(g_powerLock);
      threads.swap(g_threads);
    }
    if (threads.empty()) break;
    for (std::thread& t : threads) t.join();
  }
}

void PoReset() {
  JoinPowerThreads();
  std::lock_guard<std::mutex> hold(g_powerLock);
  g_mode = PowerCallbackMode::Inline;
  g_reports.clear();
  g_requests.clear();
}

RequestResult SendPower(DevNode* node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  RequestResult result = SendIrp(node->pdo, IRP_MJ_POWER, minor, [&](PIRP, PIO_STACK_LOCATION stack) {
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    stack->Parameters.Power.ShutdownType =
        type == SystemPowerState && state.SystemState == PowerSystemShutdown ? PowerActionShutdown
        : type == SystemPowerState && state.SystemState == PowerSystemHibernate ? PowerActionHibernate
        : type == SystemPowerState && state.SystemState != PowerSystemWorking ? PowerActionSleep
                                                                              : PowerActionNone;
  }, STATUS_NOT_SUPPORTED);
  node->history.push_back(Format("POWER minor %#x type %d state %d -> %#x", minor, type,
                                 static_cast<int>(state.SystemState), static_cast<unsigned>(result.status)));
  return result;
}

std::vector<std::pair<DevNode*, NTSTATUS>> SetSystemPowerState(SYSTEM_POWER_STATE state) {
  std::vector<DevNode*> nodes;
  for (DevNode* node : Pnp().AllNodes())
    if (node->state == DevNodeState::Started) nodes.push_back(node);
  // All nodes are in parent-before-child order; sleeping goes leaves first.
  if (state != PowerSystemWorking) std::reverse(nodes.begin(), nodes.end());
  std::vector<std::pair<DevNode*, NTSTATUS>> results;
  POWER_STATE s;
  s.SystemState = state;
  if (state != PowerSystemWorking) {
    // Leaving the working state is asked first, in the same order. One refusal
    // ends the transition: the devices that agreed are told to stay working.
    std::vector<DevNode*> queried;
    for (DevNode* node : nodes) {
      NTSTATUS query = SendPower(node, IRP_MN_QUERY_POWER, SystemPowerState, s).status;
      if (!NT_SUCCESS(query)) {
        POWER_STATE working;
        working.SystemState = PowerSystemWorking;
        for (auto it = queried.rbegin(); it != queried.rend(); ++it)
          SendPower(*it, IRP_MN_SET_POWER, SystemPowerState, working);
        results.push_back({node, query});
        return results;
      }
      queried.push_back(node);
    }
  }
  for (DevNode* node : nodes) results.push_back({node, SendPower(node, IRP_MN_SET_POWER, SystemPowerState, s).status});
  return results;
}

}  // namespace khost

using namespace khost;

extern "C" {

VOID PoStartNextPowerIrp(PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
  // A driver that skips its location hands the same location to the driver
  // below; remember whose it was, so each driver that completes the request
  // must have started the next one itself.
  if (HostRequest* request = HostRequestOf(Irp)) {
    request->startNextPowerLocation = Irp->CurrentLocation;
    request->startNextPowerDevice =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
  }
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
  return IofCallDriver(DeviceObject, Irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
  std::lock_guard<std::mutex> hold(g_powerLock);
  POWER_STATE previous;
  previous.SystemState = PowerSystemUnspecified;
  for (auto it = g_reports.rbegin(); it != g_reports.rend(); ++it) {
    if (it->device == DeviceObject && it->type == Type) {
      previous = it->state;
      break;
    }
  }
  g_reports.push_back({DeviceObject, Type, State});
  return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "PoRequestPowerIrp");
  if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER &&
      MinorFunction != IRP_MN_WAIT_WAKE)
    return 0xC00000F0L;  // STATUS_INVALID_PARAMETER_2
  if (ShouldFail(FaultPoint::PoRequestPowerIrp)) return STATUS_INSUFFICIENT_RESOURCES;

  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  ObfReferenceObject(DeviceObject);
  PIRP irp = AllocateHostIrp(top->StackSize, RequestLabel{RequestLabel::DevicePower,
                                                         static_cast<ULONG>(PowerState.DeviceState)});
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->RequestorMode = KernelMode;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = MinorFunction;
  stack->Parameters.Power.Type = DevicePowerState;
  stack->Parameters.Power.State = PowerState;
  if (Irp) *Irp = irp;

  PowerCallbackMode mode;
  {
    std::lock_guard<std::mutex> hold(g_powerLock);
    mode = g_mode;
  }
  bool deferred = mode == PowerCallbackMode::Deferred;
  HostRequestOf(irp)->onComplete = [=](PIRP done) {
    {
      std::lock_guard<std::mutex> hold(g_powerLock);
      g_requests.push_back({DeviceObject, MinorFunction, PowerState, done->IoStatus.Status});
    }
    if (CompletionFunction) {
      // A deferred request finishes in an arbitrary context: the callback runs at DISPATCH_LEVEL.
      KIRQL saved = ThreadIrql();
      if (deferred) ThreadIrql() = DISPATCH_LEVEL;
      IO_STATUS_BLOCK status = done->IoStatus;
      CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
      ThreadIrql() = saved;
    }
    FreeHostIrp(done);
    ObfDereferenceObject(DeviceObject);
  };

  if (deferred) {
    std::lock_guard<std::mutex> hold(g_powerLock);
    g_threads.emplace_back([top, irp] {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      IofCallDriver(top, irp);
    });
  } else {
    IofCallDriver(top, irp);
  }
  return STATUS_PENDING;
}

}  // extern "C"
