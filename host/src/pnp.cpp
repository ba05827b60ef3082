// Kernel host: the Plug and Play manager. Root-enumerated device nodes with
// the root bus's physical device objects below them, relations queries after
// invalidation (never synchronously), identification of new children, driver
// matching, and the removal sequences Windows and Wine send.
#include <algorithm>
#include <deque>
#include <thread>

#include "internal.h"

namespace khost {
namespace {

std::mutex g_threadLock;
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

RootPdoConfig* ConfigOf(PDEVICE_OBJECT pdo) { return *static_cast<RootPdoConfig**>(pdo->DeviceExtension); }

NTSTATUS RootPdoPnp(PDEVICE_OBJECT device, PIRP irp) {
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

NTSTATUS RootPdoPower(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS RootPdoKeep(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IofCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RootPdoInvalid(PDEVICE_OBJECT, PIRP irp) {
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
                                "DEVICE_USAGE_NOTIFICATION", "SURPRISE_REMOVAL"};
  return minor < sizeof(names) / sizeof(names[0]) ? names[minor] : "minor>=0x18";
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
  size_t bytes = 0;
  bool found = false;
  for (const PoolBlock& block : OutstandingPool()) {
    if (block.address == text) {
      bytes = block.bytes;
      found = true;
      break;
    }
  }
  if (!found) {
    ReportViolation("answer-not-from-pool", what + ": the answer is not a pool allocation");
    return false;
  }
  const uint8_t* first = reinterpret_cast<const uint8_t*>(text);
  raw->assign(first, first + bytes);
  size_t chars = bytes / sizeof(WCHAR);
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
    std::lock_guard<std::mutex> hold(g_queueLock);
    g_queue.push_back({pdo, type});
  }
  g_queueCondition.notify_all();
}

size_t PnpManager::PendingInvalidations() {
  std::lock_guard<std::mutex> hold(g_queueLock);
  return g_queue.size();
}

void PnpManager::RegisterFunctionDriver(const std::u16string& id, PDRIVER_OBJECT driver) {
  drivers_.push_back({UpperId(id), driver});
}

RequestResult PnpManager::Send(DevNode* node, UCHAR minor,
                               const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup) {
  RequestResult result = SendIrp(node->pdo, IRP_MJ_PNP, minor, setup, STATUS_NOT_SUPPORTED);
  node->history.push_back(Format("%s -> %#x", MinorName(minor), static_cast<unsigned>(result.status)));
  return result;
}

DevNode* PnpManager::AddRootDevice(const std::string& label, PDRIVER_OBJECT driver,
                                   const RootPdoConfig& config, bool start) {
  InitRootDriver();
  PDEVICE_OBJECT pdo = nullptr;
  NTSTATUS status = IoCreateDevice(&g_rootDriver, sizeof(RootPdoConfig*), nullptr, FILE_DEVICE_UNKNOWN,
                                   FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
  if (!NT_SUCCESS(status)) return nullptr;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  ObfReferenceObject(pdo);  // the device node's
  DevNode* node = new DevNode;
  node->label = label;
  node->pdo = pdo;
  node->parent = &root_;
  node->root = new RootPdoConfig(config);
  *static_cast<RootPdoConfig**>(pdo->DeviceExtension) = node->root;
  node->deviceId = U16("ROOT\\") + U16(label.c_str());
  node->instanceId = U16("0000");
  root_.children.push_back(node);
  node->functionDriver = driver;
  NTSTATUS added = driver->DriverExtension->AddDevice
                       ? driver->DriverExtension->AddDevice(driver, pdo)
                       : STATUS_NOT_SUPPORTED;
  node->history.push_back(Format("AddDevice -> %#x", static_cast<unsigned>(added)));
  if (!NT_SUCCESS(added)) {
    node->state = DevNodeState::Failed;
    return node;
  }
  if (start) Start(node);
  return node;
}

NTSTATUS PnpManager::Start(DevNode* node) {
  RequestResult result = Send(node, IRP_MN_START_DEVICE);
  node->lastStartStatus = result.status;
  if (NT_SUCCESS(result.status)) {
    node->state = DevNodeState::Started;
    // A device that has started is asked for its children.
    Enumerate(node);
  } else {
    // A stack that failed to start is torn down.
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
    bool fromPool = false;
    for (const PoolBlock& block : OutstandingPool()) {
      if (block.address == list) {
        fromPool = block.bytes >= sizeof(ULONG) + sizeof(PVOID) * (list->Count ? list->Count : 1);
        break;
      }
    }
    if (!fromPool) {
      ReportViolation("answer-not-from-pool", node->label + ": the relations list is not pool of its size");
      return;
    }
    for (ULONG i = 0; i < list->Count; ++i) listed.push_back(list->Objects[i]);
    ExFreePoolWithTag(list, 0);
  }
  for (size_t i = 0; i < listed.size(); ++i)
    for (size_t j = i + 1; j < listed.size(); ++j)
      if (listed[i] == listed[j]) ReportViolation("duplicate-relation", "a device object is listed twice");

  std::vector<DevNode*> added;
  std::vector<DevNode*> seen;
  for (PDEVICE_OBJECT pdo : listed) {
    DevNode* existing = nullptr;
    for (DevNode* child : node->children)
      if (child->pdo == pdo && child->state != DevNodeState::Removed) existing = child;
    if (existing) {
      ObfDereferenceObject(pdo);  // the node already holds one
      seen.push_back(existing);
      continue;
    }
    DevNode* child = new DevNode;
    child->pdo = pdo;  // keeps the answer's reference
    child->parent = node;
    child->label = node->label + "/child" + std::to_string(node->children.size());
    node->children.push_back(child);
    added.push_back(child);
    seen.push_back(child);
  }

  // Children left out of the answer are gone: removed as the manager removes a missing device.
  std::vector<DevNode*> missing;
  for (DevNode* child : node->children)
    if (std::find(seen.begin(), seen.end(), child) == seen.end()) missing.push_back(child);
  for (DevNode* child : missing) {
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
    DeleteNode(child);
  }

  for (DevNode* child : added) {
    IdentifyChild(child);
    LoadFunctionDriver(child);
  }
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

  // The kernel stops the machine on IDs it cannot use as a device instance path.
  auto checkId = [&](const std::u16string& id, const char* what) {
    bool valid = !id.empty() && id.size() < 200;
    for (char16_t c : id) valid = valid && IsValidIdCharacter(static_cast<WCHAR>(c));
    if (!valid) ReportViolation("invalid-device-id", child->label + ": invalid " + what + " '" + Narrow(id) + "'");
  };
  if (NT_SUCCESS(child->deviceIdStatus)) checkId(child->deviceId, "device ID");
  if (NT_SUCCESS(child->instanceIdStatus)) checkId(child->instanceId, "instance ID");
  for (const auto& id : child->hardwareIds) checkId(id, "hardware ID");
  for (const auto& id : child->compatibleIds) checkId(id, "compatible ID");
  if (NT_SUCCESS(child->deviceIdStatus) && NT_SUCCESS(child->instanceIdStatus)) {
    child->label = Narrow(child->deviceId) + "\\" + Narrow(child->instanceId);
    for (DevNode* sibling : child->parent->children) {
      if (sibling == child || sibling->state == DevNodeState::Removed) continue;
      if (UpperId(sibling->deviceId) == UpperId(child->deviceId) &&
          UpperId(sibling->instanceId) == UpperId(child->instanceId))
        ReportViolation("duplicate-device-instance",
                        "two device nodes named " + child->label + " under one parent");
    }
  }
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
  node->history.push_back(Format("AddDevice -> %#x", static_cast<unsigned>(added)));
  if (!NT_SUCCESS(added)) {
    node->state = DevNodeState::Failed;
    return;
  }
  Start(node);
}

void PnpManager::SendRemoval(DevNode* node) {
  Send(node, IRP_MN_REMOVE_DEVICE);
  node->state = DevNodeState::Removed;
}

void PnpManager::DeleteNode(DevNode* node) {
  for (DevNode* child : std::vector<DevNode*>(node->children)) DeleteNode(child);
  if (node->parent) {
    auto& siblings = node->parent->children;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), node), siblings.end());
  }
  if (node->root) IoDeleteDevice(node->pdo);  // the root bus deletes its own device object
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

NTSTATUS PnpManager::Disable(DevNode* node) {
  RequestResult query = Send(node, IRP_MN_QUERY_REMOVE_DEVICE);
  if (!NT_SUCCESS(query.status)) {
    Send(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    return query.status;
  }
  Send(node, IRP_MN_REMOVE_DEVICE);
  node->state = DevNodeState::Disabled;
  return STATUS_SUCCESS;
}

NTSTATUS PnpManager::Enable(DevNode* node) {
  if (node->state != DevNodeState::Disabled) return STATUS_INVALID_DEVICE_REQUEST;
  node->state = DevNodeState::Enumerated;
  LoadFunctionDriver(node);
  return node->lastStartStatus;
}

void PnpManager::CollectPostOrder(DevNode* node, std::vector<DevNode*>& out) {
  for (DevNode* child : node->children) CollectPostOrder(child, out);
  out.push_back(node);
}

void PnpManager::SurpriseRemove(DevNode* node) {
  std::vector<DevNode*> order;
  CollectPostOrder(node, order);
  for (DevNode* n : order) {
    // A device is told once that it is gone.
    if (n->state == DevNodeState::Removed || n->state == DevNodeState::Disabled ||
        n->state == DevNodeState::SurpriseRemoved)
      continue;
    Send(n, IRP_MN_SURPRISE_REMOVAL);
    n->state = DevNodeState::SurpriseRemoved;
  }
}

void PnpManager::CompleteSurpriseRemoval(DevNode* node) {
  std::vector<DevNode*> order;
  CollectPostOrder(node, order);
  for (DevNode* n : order)
    if (n->state != DevNodeState::Removed) SendRemoval(n);
  DeleteNode(node);
}

NTSTATUS PnpManager::Remove(DevNode* node, RemovalStyle style) {
  std::vector<DevNode*> order;
  CollectPostOrder(node, order);
  if (style == RemovalStyle::Wine) {
    SurpriseRemove(node);
    CompleteSurpriseRemoval(node);
    return STATUS_SUCCESS;
  }
  std::vector<DevNode*> queried;
  for (DevNode* n : order) {
    // A surprise-removed device is past asking: only its removal follows.
    if (n->state == DevNodeState::Removed || n->state == DevNodeState::Disabled ||
        n->state == DevNodeState::SurpriseRemoved)
      continue;
    RequestResult query = Send(n, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query.status)) {
      Send(n, IRP_MN_CANCEL_REMOVE_DEVICE);
      for (auto it = queried.rbegin(); it != queried.rend(); ++it) Send(*it, IRP_MN_CANCEL_REMOVE_DEVICE);
      return query.status;
    }
    queried.push_back(n);
  }
  for (DevNode* n : order)
    if (n->state != DevNodeState::Removed) SendRemoval(n);
  DeleteNode(node);
  return STATUS_SUCCESS;
}

DevNode* PnpManager::FindByPdo(PDEVICE_OBJECT pdo) {
  for (DevNode* node : AllNodes())
    if (node->pdo == pdo && node->state != DevNodeState::Removed) return node;
  return nullptr;
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
  drivers_.clear();
  relationsQueries = 0;
  std::lock_guard<std::mutex> hold(g_queueLock);
  g_queue.clear();
}

void PnpReset() { Pnp().ResetState(); }

}  // namespace khost
