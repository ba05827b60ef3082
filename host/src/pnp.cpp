// Kernel host: the Plug and Play manager. Root-enumerated device nodes with
// the root bus's physical device objects below them, relations queries after
// invalidation (never synchronously), identification of new children, driver
// matching, and the removal sequences Windows and Wine send.
#include <algorithm>
#include <atomic>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <thread>

#include "internal.h"
#include "ptrmap.h"

namespace khost {
namespace {

std::mutex g_threadLock;
std::recursive_mutex g_sendLock;
std::vector<std::thread> g_threads;

void Spawn(std::function<void()> fn) {
  std::lock_guard<std::mutex> hold(g_threadLock);
  g_threads.emplace_back(std::move(fn));
}

struct Invalidation {
  PDEVICE_OBJECT pdo;
  DEVICE_RELATION_TYPE type;
};
std::mutex g_queueLock;
std::condition_variable g_queueCondition;
std::deque<Invalidation> g_queue;
std::thread g_worker;
bool g_workerStop = false;
bool g_workerRunning = false;

// The root bus: the physical device objects of root-enumerated device nodes.
DRIVER_EXTENSION g_rootExtension;
DRIVER_OBJECT g_rootDriver;

// Device objects the manager knows as physical device objects of its nodes.
// IoInvalidateDeviceRelations and IoDeleteDevice come from any thread, so they
// are checked here rather than by walking the tree; a node's removeSent is
// written under the same lock.
std::mutex g_pdoLock;
PointerMap<PDEVICE_OBJECT, DevNode*, true> g_pdos;
// File objects open per device, for the removal orders that depend on handles.
std::unordered_map<PDEVICE_OBJECT, size_t> g_openFiles;
std::atomic<int> g_pendingRemovals{0};
// Guards the root devices' records of what they received.
std::mutex g_lowerLock;

void KnowPdo(DevNode* node) {
  std::lock_guard<std::mutex> hold(g_pdoLock);
  g_pdos[node->pdo] = node;
  node->removeSent = false;
}

void ForgetPdo(DevNode* node) {
  std::lock_guard<std::mutex> hold(g_pdoLock);
  auto it = g_pdos.find(node->pdo);
  if (it != g_pdos.end() && it->second == node) g_pdos.erase(it);
}

void MarkRemoveSent(DevNode* node, bool sent) {
  std::lock_guard<std::mutex> hold(g_pdoLock);
  node->removeSent = sent;
}

struct RootPdoExtension {
  RootPdoConfig* config;
  DevNode* node;
};
RootPdoExtension* RootOf(PDEVICE_OBJECT pdo) { return static_cast<RootPdoExtension*>(pdo->DeviceExtension); }
RootPdoConfig* ConfigOf(PDEVICE_OBJECT pdo) { return RootOf(pdo)->config; }

}  // namespace

// A function or filter driver clears DO_DEVICE_INITIALIZING at the end of its
// AddDevice; a device still initializing takes no opens and no requests.
static void CheckStackInitialized(DevNode* node) {
  for (PDEVICE_OBJECT device = node->pdo->AttachedDevice; device; device = device->AttachedDevice)
    if (device->Flags & DO_DEVICE_INITIALIZING)
      ReportViolation("device-still-initializing",
                      node->label + ": AddDevice returned with DO_DEVICE_INITIALIZING still set on " +
                          Hex(reinterpret_cast<uintptr_t>(device)));
}

// Every driver that passes a request down is held to the rules the platform
// sets for what goes down, wherever it sits in the stack.
void CheckPassedDown(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const UCHAR major = stack->MajorFunction;
  const UCHAR minor = stack->MinorFunction;
  const NTSTATUS arrivedWith = irp->IoStatus.Status;
  // Put together only for a report: every request passed down comes through here.
  auto where = [device] { return "the device below " + Hex(reinterpret_cast<uintptr_t>(device)) + ": "; };
  if (major == IRP_MJ_POWER) {
    HostRequest* request = HostRequestOf(irp);
    // The project's own rule, stricter than Windows 8 and later (where
    // PoStartNextPowerIrp does nothing): a driver starts the next power
    // request before it passes one down, so the same code is right on every version.
    if (!(request && request->startNextPowerDevice && request->startNextPowerDevice != device))
      ReportViolation("power-passed-without-start-next",
                      where() + Format("power minor %#x was passed down without PoStartNextPowerIrp "
                                       "(the host's rule, stricter than Windows 8+)", minor));
  } else if (major == IRP_MJ_PNP) {
    if (ThreadIrql() != PASSIVE_LEVEL)
      ReportViolation("pnp-irql", where() + Format("Plug and Play minor %#x passed down at IRQL %d", minor,
                                                   static_cast<int>(ThreadIrql())));
    switch (minor) {
      case IRP_MN_REMOVE_DEVICE:
      case IRP_MN_SURPRISE_REMOVAL:
      case IRP_MN_QUERY_REMOVE_DEVICE:
      case IRP_MN_QUERY_STOP_DEVICE:
      case IRP_MN_STOP_DEVICE:
        // Each driver that succeeds one of these sets success before passing it down.
        if (arrivedWith != STATUS_SUCCESS)
          ReportViolation("pnp-passed-down-without-success",
                          where() + Format("minor %#x was passed down with status %#x, not STATUS_SUCCESS", minor,
                                           static_cast<unsigned>(arrivedWith)));
        break;
      default:
        // A driver that fails a request completes it; one that does not handle
        // it passes it down as it came.
        if (!NT_SUCCESS(arrivedWith) && arrivedWith != STATUS_NOT_SUPPORTED)
          ReportViolation("pnp-failure-passed-down",
                          where() + Format("minor %#x was passed down failed (%#x)", minor,
                                           static_cast<unsigned>(arrivedWith)));
        break;
    }
  }
}

namespace {

// The bottom of a root-enumerated stack keeps a record of exactly what the
// function driver handed down, for tests.
void RecordAtRoot(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  LowerRequest seen;
  seen.major = stack->MajorFunction;
  seen.minor = stack->MinorFunction;
  seen.arrivedWith = irp->IoStatus.Status;
  seen.information = irp->IoStatus.Information;
  seen.irql = ThreadIrql();
  if (seen.major == IRP_MJ_POWER) {
    HostRequest* request = HostRequestOf(irp);
    seen.startNextPowerCalled =
        request && request->startNextPowerDevice && request->startNextPowerDevice != device;
  }
  DevNode* node = RootOf(device)->node;
  if (node) {
    std::lock_guard<std::mutex> hold(g_lowerLock);
    node->lowerRequests.push_back(seen);
  }
}

// A request the device below may refuse fails when the fault is armed; the
// ones the platform requires to succeed (removals, stop, cancels) never do.
bool LowerDeviceRefuses(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  bool mayRefuse = stack->MajorFunction == IRP_MJ_POWER ? stack->MinorFunction == IRP_MN_QUERY_POWER
                                                        : stack->MinorFunction == IRP_MN_START_DEVICE ||
                                                              stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
                                                              stack->MinorFunction == IRP_MN_QUERY_STOP_DEVICE ||
                                                              stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES;
  if (!mayRefuse || !ShouldFail(FaultPoint::LowerDeviceStatus)) return false;
  irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return true;
}

NTSTATUS RootPdoPnp(PDEVICE_OBJECT device, PIRP irp) {
  RecordAtRoot(device, irp);
  if (LowerDeviceRefuses(irp)) return STATUS_INSUFFICIENT_RESOURCES;
  RootPdoConfig* config = ConfigOf(device);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
      if (config->startPendsOnAnotherThread) {
        NTSTATUS later = config->startStatus;
        IoMarkIrpPending(irp);
        Spawn([irp, later] {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          irp->IoStatus.Status = later;
          IofCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
      }
      status = config->startStatus;
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      status = STATUS_SUCCESS;
      break;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = config->cancelStatus;
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      auto answer = [config, caps] {
        if (!NT_SUCCESS(config->capabilitiesStatus)) return;
        // Everything but the record's header and the address fields comes from the node.
        DEVICE_CAPABILITIES answer = config->capabilities;
        answer.Size = caps->Size;
        answer.Version = caps->Version;
        answer.Address = caps->Address;
        answer.UINumber = caps->UINumber;
        *caps = answer;
      };
      if (config->capabilitiesPend) {
        NTSTATUS later = config->capabilitiesStatus;
        IoMarkIrpPending(irp);
        Spawn([irp, later, answer] {
          std::this_thread::sleep_for(std::chrono::milliseconds(20));
          answer();
          irp->IoStatus.Status = later;
          IofCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
      }
      answer();
      status = config->capabilitiesStatus;
      break;
    }
    default:
      break;  // the root bus keeps what it does not answer
  }
  irp->IoStatus.Status = status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RootPdoPower(PDEVICE_OBJECT device, PIRP irp) {
  RecordAtRoot(device, irp);
  PoStartNextPowerIrp(irp);
  if (LowerDeviceRefuses(irp)) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS RootPdoKeep(PDEVICE_OBJECT device, PIRP irp) {
  RecordAtRoot(device, irp);
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RootPdoInvalid(PDEVICE_OBJECT device, PIRP irp) {
  RecordAtRoot(device, irp);
  irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

void InitRootDriver() {
  static bool done = false;
  if (done) return;
  done = true;
  g_rootDriver.Type = 4;
  g_rootDriver.DriverExtension = &g_rootExtension;
  g_rootExtension.DriverObject = &g_rootDriver;
  for (auto& dispatch : g_rootDriver.MajorFunction) dispatch = RootPdoInvalid;
  g_rootDriver.MajorFunction[IRP_MJ_PNP] = RootPdoPnp;
  g_rootDriver.MajorFunction[IRP_MJ_POWER] = RootPdoPower;
  g_rootDriver.MajorFunction[IRP_MJ_SYSTEM_CONTROL] = RootPdoKeep;
}

const char* MinorName(UCHAR minor) {
  static const char* names[] = {"START_DEVICE", "QUERY_REMOVE_DEVICE", "REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE",
                                "STOP_DEVICE", "QUERY_STOP_DEVICE", "CANCEL_STOP_DEVICE",
                                "QUERY_DEVICE_RELATIONS", "QUERY_INTERFACE", "QUERY_CAPABILITIES",
                                "QUERY_RESOURCES", "QUERY_RESOURCE_REQUIREMENTS", "QUERY_DEVICE_TEXT",
                                "FILTER_RESOURCE_REQUIREMENTS", "0x0E", "READ_CONFIG", "WRITE_CONFIG", "EJECT",
                                "SET_LOCK", "QUERY_ID", "QUERY_PNP_DEVICE_STATE", "QUERY_BUS_INFORMATION",
                                "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL", "QUERY_LEGACY_BUS_INFORMATION",
                                "DEVICE_ENUMERATED"};
  return minor < sizeof(names) / sizeof(names[0]) ? names[minor] : "minor>=0x1A";
}

bool IsValidIdCharacter(WCHAR c) { return c > 0x20 && c <= 0x7F && c != L','; }

std::u16string UpperId(const std::u16string& text) {
  std::u16string out = text;
  for (char16_t& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return out;
}

// Takes an answer buffer out of a completed request: it must be pool, and
// terminated within the allocation; the manager frees it.
bool TakeAnswer(ULONG_PTR information, bool multi, std::vector<std::u16string>* strings,
                const std::string& what, std::vector<uint8_t>* raw) {
  const WCHAR* text = reinterpret_cast<const WCHAR*>(information);
  PoolBlock block;
  if (!FindPoolBlock(text, &block)) {
    ReportViolation("answer-not-from-pool", what + ": the answer is not a pool allocation");
    return false;
  }
  const uint8_t* first = reinterpret_cast<const uint8_t*>(text);
  raw->assign(first, first + block.bytes);
  size_t chars = block.bytes / sizeof(WCHAR);
  bool terminated = false;
  if (multi) {
    for (size_t i = 0; i < chars; ++i) {
      if (text[i] == 0 && (i == 0 || text[i - 1] == 0)) {
        terminated = true;
        break;
      }
    }
  } else {
    for (size_t i = 0; i < chars; ++i) {
      if (text[i] == 0) {
        terminated = true;
        break;
      }
    }
  }
  if (!terminated) {
    ReportViolation("answer-not-terminated", what + ": the answer is not terminated within its allocation");
  } else if (multi) {
    *strings = SplitMultiSz(text, chars);
  } else {
    *strings = {U16(text)};
  }
  ExFreePoolWithTag(const_cast<WCHAR*>(text), 0);
  return terminated;
}

}  // namespace

RootPdoConfig::RootPdoConfig() {
  capabilities.Size = sizeof(DEVICE_CAPABILITIES);
  capabilities.Version = 1;
  capabilities.DeviceD1 = 1;
  capabilities.DeviceD2 = 1;
  capabilities.SystemWake = PowerSystemSleeping1;
  capabilities.DeviceWake = PowerDeviceD2;
  capabilities.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  capabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
  capabilities.DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
  capabilities.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
  capabilities.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  capabilities.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
}

const char* DevNodeStateName(DevNodeState state) {
  switch (state) {
    case DevNodeState::Enumerated: return "enumerated";
    case DevNodeState::Started: return "started";
    case DevNodeState::StopPending: return "stop-pending";
    case DevNodeState::Stopped: return "stopped";
    case DevNodeState::RemovePending: return "remove-pending";
    case DevNodeState::Disabled: return "disabled";
    case DevNodeState::SurpriseRemoved: return "surprise-removed";
    case DevNodeState::Removed: return "removed";
    case DevNodeState::Failed: return "failed";
  }
  return "?";
}

PnpManager& Pnp() {
  static PnpManager manager;
  return manager;
}

void RecordInvalidation(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type) {
  {
    std::lock_guard<std::mutex> hold(g_pdoLock);
    if (!g_pdos.count(pdo)) {
      ReportViolation("invalidate-not-a-pdo",
                      "IoInvalidateDeviceRelations of " + Hex(reinterpret_cast<uintptr_t>(pdo)) +
                          ", which is no physical device object the Plug and Play manager knows "
                          "(bug check 0xCA/2)");
      return;
    }
  }
  {
    std::lock_guard<std::mutex> hold(g_queueLock);
    g_queue.push_back({pdo, type});
  }
  g_queueCondition.notify_all();
}

void PnpDeviceDeleted(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> hold(g_pdoLock);
  auto it = g_pdos.find(device);
  if (it != g_pdos.end() && !it->second->removeSent)
    ReportViolation("pdo-deleted-before-removal",
                    it->second->label + ": IoDeleteDevice of a reported physical device object before the "
                                        "manager's IRP_MN_REMOVE_DEVICE reached it (its device node still "
                                        "refers to it; Windows ends in bug check 0xCA/5 or a use after free)");
}

void PnpFileOpened(PDEVICE_OBJECT device) {
  std::lock_guard<std::mutex> hold(g_pdoLock);
  ++g_openFiles[device];
}

void PnpFileClosed(PDEVICE_OBJECT device) {
  {
    std::lock_guard<std::mutex> hold(g_pdoLock);
    auto it = g_openFiles.find(device);
    if (it != g_openFiles.end() && it->second && --it->second == 0) g_openFiles.erase(it);
  }
  if (g_pendingRemovals.load() == 0) return;
  // A surprise-removed device gets its removal once the last handle on its subtree is closed.
  for (DevNode* node : Pnp().AllNodes()) {
    if (node->removalPending && Pnp().OpenHandles(node) == 0) {
      Pnp().FinishSurpriseRemoval(node);
      return;
    }
  }
}

size_t PnpManager::OpenHandles(DevNode* node) {
  std::vector<DevNode*> subtree;
  CollectPostOrder(node, subtree);
  std::lock_guard<std::mutex> hold(g_pdoLock);
  size_t open = 0;
  for (DevNode* n : subtree) {
    for (PDEVICE_OBJECT device = n->pdo; device; device = device->AttachedDevice) {
      auto it = g_openFiles.find(device);
      if (it != g_openFiles.end()) open += it->second;
    }
  }
  return open;
}

std::vector<LowerRequest> PnpManager::LowerRequests(DevNode* node) {
  std::lock_guard<std::mutex> hold(g_lowerLock);
  return node->lowerRequests;
}

size_t PnpManager::PendingInvalidations() {
  std::lock_guard<std::mutex> hold(g_queueLock);
  return g_queue.size();
}

void PnpManager::RegisterFunctionDriver(const std::u16string& id, PDRIVER_OBJECT driver) {
  drivers_.push_back({UpperId(id), driver});
}

// "WHAT -> STATUS", the status as %#x prints it (plain 0 for success).
static std::string Outcome(const char* what, NTSTATUS status) {
  return std::string(what) + " -> " + (status ? Hex(static_cast<uint32_t>(status)) : std::string("0"));
}

RequestResult PnpManager::Send(DevNode* node, UCHAR minor,
                               const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
  // One request at a time: the manager never has two Plug and Play requests in a stack at once.
  std::lock_guard<std::recursive_mutex> serial(g_sendLock);
  RequestResult result = SendIrp(node->pdo, IRP_MJ_PNP, minor, setup, STATUS_NOT_SUPPORTED);
  node->history.push_back(Outcome(MinorName(minor), result.status));
  return result;
}

DevNode* PnpManager::AddRootDevice(const std::string& label, PDRIVER_OBJECT driver,
                                   const RootPdoConfig& config, bool start) {
  InitRootDriver();
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status;
  {
    FaultExemption hostsOwn;  // the manager's own device, not a driver's
    status = IoCreateDevice(&g_rootDriver, sizeof(RootPdoExtension), nullptr, FILE_DEVICE_UNKNOWN,
                            FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  }
  if (!NT_SUCCESS(status)) return nullptr;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  ObfReferenceObject(pdo);  // the device node's
  DevNode* node = new DevNode;
  node->label = label;
  node->pdo = pdo;
  node->parent = &root_;
  node->root = new RootPdoConfig(config);
  *RootOf(pdo) = RootPdoExtension{node->root, node};
  node->deviceId = U16("ROOT\\") + U16(label.c_str());
  node->instanceId = U16("0000");
  root_.children.push_back(node);
  KnowPdo(node);
  SendNewDeviceQueries(node);
  node->functionDriver = driver;
  NTSTATUS added = driver->DriverExtension->AddDevice
                       ? driver->DriverExtension->AddDevice(driver, pdo)
                       : STATUS_NOT_SUPPORTED;
  node->history.push_back(Outcome("AddDevice", added));
  if (!NT_SUCCESS(added)) {
    node->state = DevNodeState::Failed;
    return node;
  }
  CheckStackInitialized(node);
  if (start) Start(node);
  return node;
}

// Takes an answer the manager owns once the request is back: pool, freed here.
static void TakeBlock(DevNode* node, const RequestResult& result, const char* what) {
  if (!result.information) return;
  if (!NT_SUCCESS(result.status)) {
    ReportViolation("information-on-failure", node->label + " " + what + ": a failed answer carries data");
    return;
  }
  PoolBlock block;
  if (FindPoolBlock(reinterpret_cast<void*>(result.information), &block)) {
    ExFreePoolWithTag(reinterpret_cast<void*>(result.information), 0);
    return;
  }
  ReportViolation("answer-not-from-pool", node->label + " " + what + ": the answer is not a pool allocation");
}

// Takes a relations answer that is not bus relations: frees it and drops its references.
static void TakeRelations(DevNode* node, const RequestResult& result, const char* what) {
  if (!result.information || !NT_SUCCESS(result.status)) {
    TakeBlock(node, result, what);
    return;
  }
  PDEVICE_RELATIONS list = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
  std::vector<PDEVICE_OBJECT> entries(list->Objects, list->Objects + list->Count);
  TakeBlock(node, result, what);
  for (PDEVICE_OBJECT device : entries) ObfDereferenceObject(device);
}

// What the manager asks of a device it has just learned of, before any driver
// is loaded on it: only the physical device object answers.
void PnpManager::SendNewDeviceQueries(DevNode* node) {
  TakeBlock(node, Send(node, IRP_MN_QUERY_BUS_INFORMATION), "bus information");
  TakeBlock(node, Send(node, IRP_MN_QUERY_RESOURCES), "boot resources");
  TakeBlock(node, Send(node, IRP_MN_QUERY_RESOURCE_REQUIREMENTS), "resource requirements");
  if (!node->root) TakeBlock(node, Send(node, IRP_MN_DEVICE_ENUMERATED), "device enumerated");
}

NTSTATUS PnpManager::Start(DevNode* node) {
  // The function driver may adjust the (empty) requirements before resources are assigned.
  TakeBlock(node, Send(node, IRP_MN_FILTER_RESOURCE_REQUIREMENTS), "filtered requirements");
  RequestResult result = Send(node, IRP_MN_START_DEVICE);
  node->lastStartStatus = result.status;
  if (NT_SUCCESS(result.status)) {
    node->state = DevNodeState::Started;
    // The state is a set of flags in Information, not an allocation.
    Send(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
    // A device that has started is asked for its children.
    Enumerate(node);
  } else {
    // A stack that failed to start is torn down.
    MarkRemoveSent(node, true);
    Send(node, IRP_MN_REMOVE_DEVICE);
    node->state = DevNodeState::Failed;
  }
  return result.status;
}

void PnpManager::Enumerate(DevNode* node) {
  if (node->state != DevNodeState::Started) return;
  ++relationsQueries;
  RequestResult result = Send(node, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIRP, PIO_STACK_LOCATION stack) {
    stack->Parameters.QueryDeviceRelations.Type = BusRelations;
  });
  if (!NT_SUCCESS(result.status)) {
    if (result.information)
      ReportViolation("information-on-failure", "a failed relations query carries a list");
    return;  // the children stay as they were
  }
  std::vector<PDEVICE_OBJECT> listed;
  PDEVICE_RELATIONS list = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
  if (!list) {
    ReportViolation("relations-null-list", node->label + ": a successful relations answer without a list");
  } else {
    PoolBlock block;
    if (!FindPoolBlock(list, &block) ||
        block.bytes < sizeof(ULONG) + sizeof(PVOID) * (list->Count ? list->Count : 1)) {
      ReportViolation("answer-not-from-pool", node->label + ": the relations list is not pool of its size");
      return;
    }
    for (ULONG i = 0; i < list->Count; ++i) listed.push_back(list->Objects[i]);
    ExFreePoolWithTag(list, 0);
  }
  // Each listed device is looked up by hash and marked with this answer's
  // number, so that an answer costs time linear in the children.
  static std::atomic<uint64_t> answers{0};
  const uint64_t answer = ++answers;
  // Looked up all at once, one lock each; a device listed twice is known by
  // its node's mark, or, with no node yet, by a set of only those.
  const std::vector<DevNode*> nodes = ChildrenByPdo(node, listed);
  const std::vector<char> deleted = DevicesDeleted(listed);
  std::unordered_set<PDEVICE_OBJECT> unknown;
  for (size_t i = 0; i < listed.size(); ++i) {
    bool twice = nodes[i] ? std::exchange(nodes[i]->listedIn, answer) == answer : !unknown.insert(listed[i]).second;
    if (twice) ReportViolation("duplicate-relation", "a device object is listed twice");
  }

  std::vector<DevNode*> added;
  std::vector<PDEVICE_OBJECT> dropped;  // references of the answer the manager does not keep
  std::unordered_map<PDEVICE_OBJECT, DevNode*> created;  // by this answer, for a second listing
  for (size_t i = 0; i < listed.size(); ++i) {
    PDEVICE_OBJECT pdo = listed[i];
    DevNode* existing = nodes[i];
    if (!existing && !created.empty()) {
      auto it = created.find(pdo);
      if (it != created.end()) existing = it->second;
    }
    if (deleted[i]) {
      // Windows stops here; the host sends the deleted device nothing.
      ReportViolation("relations-deleted-pdo",
                      node->label + ": the relations answer lists a device object already passed to "
                                    "IoDeleteDevice (bug check 0xCA/4)");
      dropped.push_back(pdo);
      continue;
    }
    if (existing) {
      dropped.push_back(pdo);  // the node already holds one
      continue;
    }
    // The bus hands over a device it has not finished: on Windows the function
    // driver's attach to it fails (the I/O manager refuses an initializing top).
    if (pdo->Flags & DO_DEVICE_INITIALIZING)
      ReportViolation("device-still-initializing",
                      node->label + ": the relations answer lists a new device object still DO_DEVICE_INITIALIZING");
    DevNode* child = new DevNode;
    child->pdo = pdo;  // keeps the answer's reference
    child->parent = node;
    child->label = node->label + "/child" + std::to_string(node->children.size());
    child->listedIn = answer;
    node->children.push_back(child);
    KnowPdo(child);
    created[pdo] = child;
    added.push_back(child);
  }
  ObDereferenceEach(dropped);

  // Children left out of the answer are gone: removed as the manager removes a
  // missing device. They leave the parent's list in one pass, in order, before
  // their removals go out.
  std::vector<DevNode*> missing;
  auto kept = node->children.begin();
  for (DevNode* child : node->children) {
    if (child->listedIn == answer)
      *kept++ = child;
    else
      missing.push_back(child);
  }
  node->children.erase(kept, node->children.end());
  for (DevNode* child : missing) {
    child->parent = nullptr;  // already off the parent's list
    switch (child->state) {
      case DevNodeState::Started:
      case DevNodeState::StopPending:
      case DevNodeState::Stopped:
      case DevNodeState::RemovePending:
        Send(child, IRP_MN_SURPRISE_REMOVAL);
        child->state = DevNodeState::SurpriseRemoved;
        SendRemoval(child);
        break;
      default:
        // Never started, disabled, failed or already surprise-removed: only the removal.
        SendRemoval(child);
        break;
    }
    UncountPath(node, child);
    DeleteNode(child);
  }

  // Device instance paths under one parent, without case, are unique: each
  // new child is checked against the paths its parent's children hold.
  for (DevNode* child : added) {
    IdentifyChild(child);
    if (!child->instancePath.empty()) {
      if (node->childPaths[child->instancePath]++)
        ReportViolation("duplicate-device-instance",
                        "two device nodes named " + child->label + " under one parent (bug check 0xCA/1)");
      child->pathCounted = true;
    }
    SendNewDeviceQueries(child);
    LoadFunctionDriver(child);
  }
}

std::vector<DevNode*> PnpManager::ChildrenByPdo(DevNode* parent, const std::vector<PDEVICE_OBJECT>& pdos) {
  std::vector<DevNode*> nodes(pdos.size());
  std::lock_guard<std::mutex> hold(g_pdoLock);
  for (size_t i = 0; i < pdos.size(); ++i) {
    auto it = g_pdos.find(pdos[i]);
    if (it == g_pdos.end()) continue;
    DevNode* node = it->second;
    if (node->parent == parent && node->state != DevNodeState::Removed) nodes[i] = node;
  }
  return nodes;
}

// A removed child's path no longer counts against new children of its parent.
void PnpManager::UncountPath(DevNode* parent, DevNode* child) {
  if (!child->pathCounted) return;
  child->pathCounted = false;
  auto it = parent->childPaths.find(child->instancePath);
  if (it != parent->childPaths.end() && --it->second == 0) parent->childPaths.erase(it);
}

void PnpManager::IdentifyChild(DevNode* child) {
  auto queryId = [&](BUS_QUERY_ID_TYPE type, bool multi, NTSTATUS* status, const char* what) {
    RequestResult result = Send(child, IRP_MN_QUERY_ID, [type](PIRP, PIO_STACK_LOCATION stack) {
      stack->Parameters.QueryId.IdType = type;
    });
    *status = result.status;
    std::vector<std::u16string> strings;
    if (NT_SUCCESS(result.status) && result.information)
      TakeAnswer(result.information, multi, &strings, child->label + " " + what, &child->answers[what]);
    else if (!NT_SUCCESS(result.status) && result.information)
      ReportViolation("information-on-failure", child->label + " " + what + ": failed answer carries data");
    return strings;
  };
  auto text = [&](DEVICE_TEXT_TYPE type, NTSTATUS* status, const char* what) {
    RequestResult result = Send(child, IRP_MN_QUERY_DEVICE_TEXT, [type](PIRP, PIO_STACK_LOCATION stack) {
      stack->Parameters.QueryDeviceText.DeviceTextType = type;
      stack->Parameters.QueryDeviceText.LocaleId = 0x409;
    });
    *status = result.status;
    std::vector<std::u16string> strings;
    if (NT_SUCCESS(result.status) && result.information)
      TakeAnswer(result.information, false, &strings, child->label + " " + what, &child->answers[what]);
    return strings.empty() ? std::u16string() : strings[0];
  };

  auto ids = queryId(BusQueryDeviceID, false, &child->deviceIdStatus, "device ID");
  if (!ids.empty()) child->deviceId = ids[0];
  ids = queryId(BusQueryInstanceID, false, &child->instanceIdStatus, "instance ID");
  if (!ids.empty()) child->instanceId = ids[0];

  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  caps.UINumber = 0xFFFFFFFF;
  RequestResult result = Send(child, IRP_MN_QUERY_CAPABILITIES, [&caps](PIRP, PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  child->capabilitiesStatus = result.status;
  child->capabilities = caps;

  queryId(BusQueryContainerID, false, &child->containerIdStatus, "container ID");
  child->description = text(DeviceTextDescription, &child->descriptionStatus, "description");
  child->location = text(DeviceTextLocationInformation, &child->locationStatus, "location");
  child->hardwareIds = queryId(BusQueryHardwareIDs, true, &child->hardwareIdsStatus, "hardware IDs");
  child->compatibleIds = queryId(BusQueryCompatibleIDs, true, &child->compatibleIdsStatus, "compatible IDs");

  // The kernel stops the machine on IDs it cannot use in a device instance
  // path: each ID and the path (device ID, backslash, instance ID) shorter than
  // MAX_DEVICE_ID_LEN characters, no character at or below a blank, above 0x7F
  // or a comma, and no backslash in an instance ID.
  constexpr size_t kMaxDeviceIdLen = 200;
  auto checkId = [&](const std::u16string& id, const char* what, bool instance = false) {
    bool valid = !id.empty() && id.size() < kMaxDeviceIdLen;
    for (char16_t c : id) valid = valid && IsValidIdCharacter(static_cast<WCHAR>(c)) && !(instance && c == u'\\');
    if (!valid)
      ReportViolation("invalid-device-id", child->label + ": invalid " + what + " '" + Narrow(id) +
                                               Format("' (%zu characters; bug check 0xCA/3)", id.size()));
  };
  if (NT_SUCCESS(child->deviceIdStatus)) checkId(child->deviceId, "device ID");
  if (NT_SUCCESS(child->instanceIdStatus)) checkId(child->instanceId, "instance ID", true);
  if (NT_SUCCESS(child->deviceIdStatus) && NT_SUCCESS(child->instanceIdStatus) &&
      child->deviceId.size() + 1 + child->instanceId.size() >= kMaxDeviceIdLen)
    ReportViolation("invalid-device-id",
                    child->label + Format(": the device instance path is %zu characters, not under %zu "
                                          "(bug check 0xCA/3)",
                                          child->deviceId.size() + 1 + child->instanceId.size(), kMaxDeviceIdLen));
  for (const auto& id : child->hardwareIds) checkId(id, "hardware ID");
  for (const auto& id : child->compatibleIds) checkId(id, "compatible ID");
  if (NT_SUCCESS(child->deviceIdStatus) && NT_SUCCESS(child->instanceIdStatus))
    child->label = Narrow(child->deviceId) + "\\" + Narrow(child->instanceId);
  if (NT_SUCCESS(child->deviceIdStatus) && NT_SUCCESS(child->instanceIdStatus) && !child->deviceId.empty())
    child->instancePath = UpperId(child->deviceId) + u"\\" + UpperId(child->instanceId);
}

void PnpManager::LoadFunctionDriver(DevNode* node) {
  PDRIVER_OBJECT driver = nullptr;
  for (const auto* list : {&node->hardwareIds, &node->compatibleIds}) {
    for (const auto& id : *list) {
      for (const auto& [registered, candidate] : drivers_) {
        if (registered == UpperId(id)) {
          driver = candidate;
          break;
        }
      }
      if (driver) break;
    }
    if (driver) break;
  }
  node->functionDriver = driver;
  if (!driver) {
    if (node->capabilities.RawDeviceOK) Start(node);
    return;
  }
  NTSTATUS added = driver->DriverExtension->AddDevice(driver, node->pdo);
  node->history.push_back(Outcome("AddDevice", added));
  if (!NT_SUCCESS(added)) {
    node->state = DevNodeState::Failed;
    return;
  }
  CheckStackInitialized(node);
  Start(node);
}

void PnpManager::SendRemoval(DevNode* node) {
  MarkRemoveSent(node, true);
  Send(node, IRP_MN_REMOVE_DEVICE);
  node->state = DevNodeState::Removed;
  if (node->parent) UncountPath(node->parent, node);
}

// All of a node's children go at once, each off the list before it goes, so
// that none is looked for in a list that holds thousands.
void PnpManager::DeleteChildren(DevNode* node) {
  std::vector<DevNode*> children;
  children.swap(node->children);
  for (DevNode* child : children) {
    UncountPath(node, child);
    child->parent = nullptr;
    DeleteNode(child);
  }
}

void PnpManager::DeleteNode(DevNode* node) {
  DeleteChildren(node);
  if (node->parent) {
    UncountPath(node->parent, node);
    auto& siblings = node->parent->children;
    auto it = std::find(siblings.begin(), siblings.end(), node);
    if (it != siblings.end()) siblings.erase(it);
  }
  if (node->removalPending) {
    node->removalPending = false;
    --g_pendingRemovals;
  }
  if (node->root) IoDeleteDevice(node->pdo);  // the root bus deletes its own device object
  ForgetPdo(node);
  ObfDereferenceObject(node->pdo);
  delete node->root;
  delete node;
}

int PnpManager::ProcessInvalidations() {
  int queries = 0;
  for (;;) {
    Invalidation next;
    {
      std::lock_guard<std::mutex> hold(g_queueLock);
      if (g_queue.empty()) break;
      next = g_queue.front();
      g_queue.pop_front();
    }
    if (next.type != BusRelations) continue;
    {
      // One answer serves every invalidation of the device still queued:
      // they are taken with this one, as the manager folds its queued
      // enumerations of a device into one.
      std::lock_guard<std::mutex> hold(g_queueLock);
      g_queue.erase(std::remove_if(g_queue.begin(), g_queue.end(),
                                   [&](const Invalidation& queued) {
                                     return queued.pdo == next.pdo && queued.type == BusRelations;
                                   }),
                    g_queue.end());
    }
    DevNode* node = FindByPdo(next.pdo);
    if (!node) continue;  // the device is gone
    int before = relationsQueries;
    Enumerate(node);
    queries += relationsQueries - before;
  }
  return queries;
}

void PnpManager::StartWorker() {
  if (g_workerRunning) return;
  g_workerStop = false;
  g_workerRunning = true;
  g_worker = std::thread([this] {
    std::unique_lock<std::mutex> hold(g_queueLock);
    while (!g_workerStop) {
      if (g_queue.empty()) {
        g_queueCondition.wait(hold);
        continue;
      }
      hold.unlock();
      ProcessInvalidations();
      hold.lock();
    }
  });
}

void PnpManager::StopWorker() {
  if (!g_workerRunning) return;
  {
    std::lock_guard<std::mutex> hold(g_queueLock);
    g_workerStop = true;
  }
  g_queueCondition.notify_all();
  g_worker.join();
  g_workerRunning = false;
}

NTSTATUS PnpManager::Rebalance(DevNode* node) {
  if (!node) return STATUS_INVALID_PARAMETER;
  RequestResult query = Send(node, IRP_MN_QUERY_STOP_DEVICE);
  if (!NT_SUCCESS(query.status)) {
    Send(node, IRP_MN_CANCEL_STOP_DEVICE);
    return query.status;
  }
  node->state = DevNodeState::StopPending;
  Send(node, IRP_MN_STOP_DEVICE);
  node->state = DevNodeState::Stopped;
  return Start(node);
}

// Windows vetoes a query-remove itself while a handle is open on the stack of
// the device or of a descendant (PNP_VetoOutstandingOpen): no driver is asked
// anything, so no cancel follows either.

static bool PastAsking(const DevNode* n) {
  return n->state == DevNodeState::Removed || n->state == DevNodeState::Disabled ||
         n->state == DevNodeState::SurpriseRemoved;
}

// Query-remove of a subtree, children before parents, each after its removal
// relations; a refusal cancels it and every query already accepted, latest first.
NTSTATUS PnpManager::QueryRemoveSubtree(const std::vector<DevNode*>& order) {
  std::vector<DevNode*> queried;
  for (DevNode* n : order) {
    // A surprise-removed device is past asking: only its removal follows.
    if (PastAsking(n)) continue;
    TakeRelations(n, Send(n, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIRP, PIO_STACK_LOCATION stack) {
                    stack->Parameters.QueryDeviceRelations.Type = RemovalRelations;
                  }), "removal relations");
    RequestResult query = Send(n, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query.status)) {
      Send(n, IRP_MN_CANCEL_REMOVE_DEVICE);
      for (auto it = queried.rbegin(); it != queried.rend(); ++it) Send(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
      return query.status;
    }
    queried.push_back(n);
  }
  return STATUS_SUCCESS;
}

// Windows vetoes a query-remove itself while a handle is open anywhere in the
// subtree (PNP_VetoOutstandingOpen): no driver is asked.
static bool VetoedForOpenHandles(DevNode* node) {
  if (Pnp().OpenHandles(node) == 0) return false;
  node->history.push_back("query-remove vetoed: handles open");
  return true;
}

NTSTATUS PnpManager::Disable(DevNode* node) {
  if (!node) return STATUS_INVALID_PARAMETER;  // a test whose set-up failed under injection
  if (VetoedForOpenHandles(node)) return kQueryRemoveVetoed;
  // The children go first, as on any removal; the device itself stays, disabled.
  std::vector<DevNode*> order;
  CollectPostOrder(node, order);
  NTSTATUS status = QueryRemoveSubtree(order);
  if (!NT_SUCCESS(status)) return status;
  for (DevNode* n : order) {
    if (n == node || n->state == DevNodeState::Removed) continue;
    SendRemoval(n);
  }
  DeleteChildren(node);
  MarkRemoveSent(node, true);
  Send(node, IRP_MN_REMOVE_DEVICE);
  node->state = DevNodeState::Disabled;
  return STATUS_SUCCESS;
}

NTSTATUS PnpManager::Enable(DevNode* node) {
  if (!node || node->state != DevNodeState::Disabled) return STATUS_INVALID_DEVICE_REQUEST;
  node->state = DevNodeState::Enumerated;
  MarkRemoveSent(node, false);
  LoadFunctionDriver(node);
  // A stack that never started (no driver, or its AddDevice failed) sent the
  // physical device object nothing since the disable's removal: as for any
  // disabled device, that removal is the last it heard.
  if (node->state != DevNodeState::Started) MarkRemoveSent(node, true);
  return node->lastStartStatus;
}

void PnpManager::CollectPostOrder(DevNode* node, std::vector<DevNode*>& out) {
  for (DevNode* child : node->children) CollectPostOrder(child, out);
  out.push_back(node);
}

void PnpManager::SurpriseRemove(DevNode* node) {
  if (!node) return;  // a test whose set-up failed under injection
  std::vector<DevNode*> order;
  CollectPostOrder(node, order);
  for (DevNode* n : order) {
    // A device is told once that it is gone.
    if (PastAsking(n)) continue;
    Send(n, IRP_MN_SURPRISE_REMOVAL);
    n->state = DevNodeState::SurpriseRemoved;
  }
}

bool PnpManager::CompleteSurpriseRemoval(DevNode* node, RemovalStyle style) {
  if (!node) return false;
  if (style == RemovalStyle::Windows && OpenHandles(node)) {
    if (!node->removalPending) {
      node->removalPending = true;
      ++g_pendingRemovals;
    }
    node->history.push_back("removal pending: handles open");
    return false;
  }
  FinishSurpriseRemoval(node);
  return true;
}

void PnpManager::FinishSurpriseRemoval(DevNode* node) {
  std::vector<DevNode*> order;
  CollectPostOrder(node, order);
  for (DevNode* n : order)
    if (n->state != DevNodeState::Removed) SendRemoval(n);
  DeleteNode(node);
}

NTSTATUS PnpManager::Remove(DevNode* node, RemovalStyle style) {
  if (!node) return STATUS_INVALID_PARAMETER;
  if (style == RemovalStyle::Wine) {
    SurpriseRemove(node);
    CompleteSurpriseRemoval(node, style);
    return STATUS_SUCCESS;
  }
  if (VetoedForOpenHandles(node)) return kQueryRemoveVetoed;
  std::vector<DevNode*> order;
  CollectPostOrder(node, order);
  NTSTATUS status = QueryRemoveSubtree(order);
  if (!NT_SUCCESS(status)) return status;
  for (DevNode* n : order)
    if (n->state != DevNodeState::Removed) SendRemoval(n);
  DeleteNode(node);
  return STATUS_SUCCESS;
}

DevNode* PnpManager::FindByPdo(PDEVICE_OBJECT pdo) {
  std::lock_guard<std::mutex> hold(g_pdoLock);
  auto it = g_pdos.find(pdo);
  return it != g_pdos.end() && it->second->state != DevNodeState::Removed ? it->second : nullptr;
}

std::vector<DevNode*> PnpManager::AllNodes() {
  std::vector<DevNode*> out;
  std::function<void(DevNode*)> walk = [&](DevNode* node) {
    for (DevNode* child : node->children) {
      out.push_back(child);
      walk(child);
    }
  };
  walk(&root_);
  return out;
}

std::string PnpManager::Describe() {
  std::string text;
  std::function<void(DevNode*, int)> walk = [&](DevNode* node, int depth) {
    for (DevNode* child : node->children) {
      text += std::string(depth * 2, ' ') + child->label + "  [" + DevNodeStateName(child->state) + "]";
      if (child->functionDriver) text += "  driver " + Narrow(std::u16string(
                                          reinterpret_cast<const char16_t*>(child->functionDriver->DriverName.Buffer),
                                          child->functionDriver->DriverName.Length / 2));
      text += "\n";
      walk(child, depth + 1);
    }
  };
  walk(&root_, 0);
  return text;
}

void PnpManager::JoinThreads() {
  for (;;) {
    std::vector<std::thread> threads;
    {
      std::lock_guard<std::mutex> hold(g_threadLock);
      threads.swap(g_threads);
    }
    if (threads.empty()) break;
    for (std::thread& t : threads) t.join();
  }
}

void PnpManager::ResetState() {
  StopWorker();
  JoinThreads();
  std::function<void(DevNode*)> drop = [&](DevNode* node) {
    for (DevNode* child : node->children) drop(child);
    delete node->root;
    delete node;
  };
  for (DevNode* child : root_.children) drop(child);
  root_.children.clear();
  root_.childPaths.clear();
  drivers_.clear();
  relationsQueries = 0;
  {
    std::lock_guard<std::mutex> hold(g_pdoLock);
    g_pdos.clear();
    g_openFiles.clear();
    g_pendingRemovals = 0;
  }
  std::lock_guard<std::mutex> hold(g_queueLock);
  g_queue.clear();
}

void PnpReset() { Pnp().ResetState(); }

}  // namespace khost
