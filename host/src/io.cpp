// Kernel host: the I/O manager. Device objects and their stacks, the object
// namespace for device names and links, requests with stack locations and the
// completion walk, synchronous requests, remove locks, file objects and driver
// loading.
#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "internal.h"
#include "ptrmap.h"
#include "scan.h"

namespace khost {

struct DeviceInfo {
  std::u16string name;  // empty when unnamed
  bool deleted = false;
  PDEVICE_OBJECT lower = nullptr;  // the device this one is attached to
  size_t bytes = 0;                // the object with its extension
  // The device before this one on its driver's list (null: the first), so
  // that a deletion unlinks it without walking thousands of siblings.
  PDEVICE_OBJECT previous = nullptr;
};

namespace {

HostRecursiveLock g_ioLock;
PointerMap<PDEVICE_OBJECT, DeviceInfo> g_devices;
std::unordered_map<PDRIVER_OBJECT, size_t> g_devicesPerDriver;  // of g_devices, deleted or not

struct NamespaceEntry {
  PDEVICE_OBJECT device = nullptr;  // a device name
  std::u16string target;            // a symbolic link
};
std::map<std::u16string, NamespaceEntry> g_namespace;  // keyed by upper-cased name
ULONG g_autoNameCounter = 0;

PointerMap<PIRP, bool, true> g_liveIrps;  // allocated and not yet freed
constexpr int64_t kDefaultPendingTimeoutMs = 30000;
std::atomic<int64_t> g_pendingTimeoutMs{kDefaultPendingTimeoutMs};

HostLock g_hookLock;
std::map<std::string, std::function<void()>> g_hooks;
std::atomic<bool> g_anyHook{false};  // read unlocked on every pass through a hook point

// The tags that hold a remove lock, with their counts. A lock is held by a
// handful of tags at a time, so a short vector searched from its end (the
// latest acquire is usually the next release) beats any tree or table.
struct RemoveLockTags {
  std::vector<std::pair<PVOID, int>> held;
  std::pair<PVOID, int>* Find(PVOID tag) {
    for (auto it = held.rbegin(); it != held.rend(); ++it)
      if (it->first == tag) return &*it;
    return nullptr;
  }
};
HostLock g_removeLockLock;
PointerMap<PIO_REMOVE_LOCK, RemoveLockTags> g_removeLocks;

std::u16string Upper(const std::u16string& text) {
  std::u16string out = text;
  for (char16_t& c : out)
    if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
  return out;
}

std::u16string FromCounted(const UNICODE_STRING* s) {
  if (!s || !s->Buffer) return {};
  return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

NTSTATUS InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp) {
  Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
  IofCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_INVALID_DEVICE_REQUEST;
}

// Drivers whose unload waits for the last reference to their deleted devices.
std::set<PDRIVER_OBJECT> g_unloadPending;

void FinishUnload(PDRIVER_OBJECT driver) {
  if (driver->DriverUnload) driver->DriverUnload(driver);
  ObfDereferenceObject(driver);
}

void DestroyDevice(void* body) {
  PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(body);
  PDRIVER_OBJECT unload = nullptr;
  size_t bytes = 0;
  {
    std::lock_guard<HostRecursiveLock> hold(g_ioLock);
    PDRIVER_OBJECT driver = device->DriverObject;
    auto it = g_devices.find(device);
    if (it != g_devices.end()) {
      bytes = it->second.bytes;
      g_devices.erase(it);
      if (--g_devicesPerDriver[driver] == 0) g_devicesPerDriver.erase(driver);
    }
    if (g_unloadPending.count(driver) && !g_devicesPerDriver.count(driver)) {
      g_unloadPending.erase(driver);
      unload = driver;
    }
  }
  if (bytes)
    RetireMemory(device, bytes, FreedWhat{"device object"});
  else
    std::free(device);  // the host forgot it at Reset
  if (unload) FinishUnload(unload);
}

}  // namespace

DeviceInfo* DeviceInfoOf(PDEVICE_OBJECT device) {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  auto it = g_devices.find(device);
  return it == g_devices.end() ? nullptr : &it->second;
}

bool DeviceDeleted(PDEVICE_OBJECT device) {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  auto it = g_devices.find(device);
  return it == g_devices.end() || it->second.deleted;
}

std::vector<char> DevicesDeleted(const std::vector<PDEVICE_OBJECT>& devices) {
  std::vector<char> deleted(devices.size());
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  for (size_t i = 0; i < devices.size(); ++i) {
    auto it = g_devices.find(devices[i]);
    deleted[i] = it == g_devices.end() || it->second.deleted;
  }
  return deleted;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  while (device->AttachedDevice) device = device->AttachedDevice;
  return device;
}

PDEVICE_OBJECT LookupDevice(const std::u16string& ntName) {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  std::u16string name = Upper(ntName);
  for (int depth = 0; depth < 8; ++depth) {
    auto it = g_namespace.find(name);
    if (it == g_namespace.end()) return nullptr;
    if (it->second.device) return it->second.device;
    name = Upper(it->second.target);
  }
  return nullptr;
}

std::vector<std::u16string> NamespaceNames() {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  std::vector<std::u16string> names;
  for (const auto& [key, entry] : g_namespace) names.push_back(key);
  return names;
}

std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver) {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  std::vector<PDEVICE_OBJECT> devices;
  for (PDEVICE_OBJECT d = driver->DeviceObject; d; d = d->NextDevice) devices.push_back(d);
  return devices;
}

size_t UndeletedDeviceCount() {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  size_t n = 0;
  for (const auto& [device, info] : g_devices)
    if (!info.deleted) ++n;
  return n;
}

size_t LiveDeviceCount() {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  return g_devices.size();
}

void SetHook(const std::string& point, std::function<void()> hook) {
  std::lock_guard<HostLock> hold(g_hookLock);
  g_hooks[point] = std::move(hook);
  g_anyHook = true;
}

void ClearHooks() {
  {
    std::lock_guard<HostLock> hold(g_hookLock);
    g_hooks.clear();
    g_anyHook = false;
  }
  ClearSpinLockHooks();
}

void RunHook(const char* point) {
  if (!g_anyHook.load(std::memory_order_acquire)) return;
  std::function<void()> hook;
  {
    std::lock_guard<HostLock> hold(g_hookLock);
    auto it = g_hooks.find(point);
    if (it == g_hooks.end()) return;
    hook = it->second;
  }
  hook();
}

// ------------------------------------------------------------------ requests
std::string Describe(const RequestLabel& label) {
  switch (label.kind) {
    case RequestLabel::Sent: return Format("request major %#x minor %#x", label.first, label.second);
    case RequestLabel::Synchronous: return Format("synchronous request major %#x", label.first);
    case RequestLabel::KernelControl: return Format("kernel control request %#x", label.first);
    case RequestLabel::DevicePower:
      return Format("device power request for state %d", static_cast<int>(label.first));
  }
  return "request";
}

namespace {
// A request's memory leaves the quarantine of freed memory (poisoned, checked
// for writes after the free) to be used again for the next request rather than
// go back to the C library: requests of up to kRecycledStack locations take
// one size, kept per thread so that no lock is taken.
constexpr CHAR kRecycledStack = 8;
constexpr size_t kRecycledBytes = sizeof(IRP) + kRecycledStack * sizeof(IO_STACK_LOCATION);
constexpr size_t kRecycledKept = 64;

// Descriptions of requests, kept per thread for the next request.
struct RecycledRequests {
  std::vector<HostRequest*> requests;
  ~RecycledRequests() {
    for (HostRequest* request : requests) delete request;
  }
};
thread_local RecycledRequests t_recycled;

void RecycleRequestMemory(void* memory, size_t) { Recycle(memory, kRecycledBytes); }

HostRequest* NewHostRequest() {
  if (t_recycled.requests.empty()) return new HostRequest;
  HostRequest* request = t_recycled.requests.back();
  t_recycled.requests.pop_back();
  return request;
}

void DeleteHostRequest(HostRequest* request) {
  if (!request) return;
  if (!kRecycleMemory || t_recycled.requests.size() >= kRecycledKept) {
    delete request;
    return;
  }
  *request = HostRequest{};
  t_recycled.requests.push_back(request);
}
}  // namespace

PIRP AllocateHostIrp(CHAR stackSize, const RequestLabel& label) {
  if (stackSize < 1) stackSize = 1;
  size_t bytes = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
  PIRP irp;
  if (kRecycleMemory && stackSize <= kRecycledStack) {
    irp = static_cast<PIRP>(TakeRecycled(kRecycledBytes));
    if (irp)
      std::memset(irp, 0, bytes);  // what lies past the request is never handed out
    else
      irp = static_cast<PIRP>(std::calloc(1, kRecycledBytes));
  } else {
    irp = static_cast<PIRP>(std::calloc(1, bytes));
  }
  irp->Type = 6;
  irp->Size = static_cast<USHORT>(bytes);
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  PIO_STACK_LOCATION stack = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
  irp->Tail.Overlay.CurrentStackLocation = stack + stackSize;
  irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
  HostRequest* request = NewHostRequest();
  request->label = label;
  irp->HostRequest = request;
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  g_liveIrps[irp] = true;
  return irp;
}

HostRequest* HostRequestOf(PIRP irp) { return static_cast<HostRequest*>(irp->HostRequest); }

void FreeHostIrp(PIRP irp) {
  HostRequest* request;
  size_t bytes;
  {
    std::lock_guard<HostRecursiveLock> hold(g_ioLock);
    request = HostRequestOf(irp);
    bytes = irp->Size;
    g_liveIrps.erase(irp);
  }
  DeleteHostRequest(request);
  // Poisoned, then kept a while: a driver that touches the request after its
  // completion reads the pattern (or, under ASan, is reported), and one that
  // completes it again is caught by the verifier instead of corrupting the heap.
  const bool recycled = kRecycleMemory && bytes <= kRecycledBytes;  // allocated at that size
  RetireMemory(irp, bytes, FreedWhat{"request"}, recycled ? RecycleRequestMemory : ReleaseToHeap);
}

bool IsLiveIrp(PIRP irp) {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  return g_liveIrps.count(irp) != 0;
}

size_t LiveIrpCount() {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  return g_liveIrps.size();
}

std::vector<std::string> LiveIrpDescriptions() {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  std::vector<std::string> out;
  for (auto& [irp, live] : g_liveIrps) {
    HostRequest* request = HostRequestOf(irp);
    out.push_back(request ? Describe(request->label) : std::string("driver-allocated request"));
  }
  return out;
}

void SetPendingRequestTimeout(std::chrono::milliseconds timeout) { g_pendingTimeoutMs = timeout.count(); }

void IoReset() {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  g_devices.clear();
  g_devicesPerDriver.clear();
  g_unloadPending.clear();
  g_namespace.clear();
  g_autoNameCounter = 0;
  // Requests a scenario never finished go with it.
  for (auto& [irp, live] : g_liveIrps) {
    delete HostRequestOf(irp);
    std::free(irp);
  }
  g_liveIrps.clear();
  g_pendingTimeoutMs = kDefaultPendingTimeoutMs;
  {
    std::lock_guard<HostLock> tags(g_removeLockLock);
    g_removeLocks.clear();
  }
  ClearHooks();
}

RequestResult SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                      const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                      NTSTATUS initialStatus, KPROCESSOR_MODE mode, bool toTopOfStack) {
  // The I/O manager builds internal control requests only for kernel-mode
  // senders: a harness that plays a user-mode one has the wrong request.
  if (mode == UserMode && major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
    ReportViolation("user-mode-internal-control",
                    "an internal device-control request with RequestorMode UserMode, which no user-mode "
                    "caller can send");
  PDEVICE_OBJECT target = toTopOfStack ? TopOfStack(device) : device;
  ObfReferenceObject(target);
  PIRP irp = AllocateHostIrp(target->StackSize, RequestLabel{RequestLabel::Sent, major, minor});
  irp->IoStatus.Status = initialStatus;
  irp->IoStatus.Information = 0;
  irp->RequestorMode = mode;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = major;
  stack->MinorFunction = minor;
  if (setup) setup(irp, stack);

  // The completion takes what the sender needs and frees the request at once,
  // as the I/O manager does: nothing reads the request after that, and a
  // driver that still touches it reads freed memory.
  struct Done {
    KEVENT event;
    IO_STATUS_BLOCK status;
    bool pendingReturned = false;  // the top location's mark when the walk ended
    std::atomic<bool> finished{false};  // set after the two above, which it publishes
  };
  // The request keeps the sender's part alive for as long as it lives, so a
  // completion that comes after the sender gave up still writes to memory of
  // its own; the completion captures a plain pointer, held without an allocation.
  auto kept = std::make_shared<Done>();
  Done* done = kept.get();
  KeInitializeEvent(&done->event, NotificationEvent, FALSE);
  HostRequestOf(irp)->sender = kept;
  HostRequestOf(irp)->onComplete = [done](PIRP completed) {
    done->status = completed->IoStatus;
    done->pendingReturned = completed->PendingReturned;
    done->finished.store(true, std::memory_order_release);
    KeSetEvent(&done->event, IO_NO_INCREMENT, FALSE);
    FreeHostIrp(completed);
  };
  auto finished = [done] { return done->finished.load(std::memory_order_acquire); };

  NTSTATUS returned = IofCallDriver(target, irp);
  RequestResult result;
  result.pendingReturned = returned == STATUS_PENDING;
  if (!result.pendingReturned && !finished()) {
    // Left to whoever completes it, whenever that comes.
    ReportViolation("irp-not-completed",
                    Format("dispatch of major %#x minor %#x returned %#x without completing or "
                           "pending the request",
                           major, minor, static_cast<unsigned>(returned)));
    result.status = returned;
    ObfDereferenceObject(target);
    return result;
  }
  if (ThreadIrql() <= APC_LEVEL) {
    // A pending request that is never completed would hang the scenario:
    // it is waited for a bounded time, then reported and abandoned.
    LARGE_INTEGER limit;
    limit.QuadPart = -static_cast<LONGLONG>(g_pendingTimeoutMs.load()) * 10000;
    if (KeWaitForSingleObject(&done->event, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS &&
        !finished()) {
      ReportViolation("irp-not-completed",
                      Format("major %#x minor %#x: dispatch returned STATUS_PENDING and the request "
                             "was not completed within %lld ms",
                             major, minor, static_cast<long long>(g_pendingTimeoutMs.load())));
      ObfDereferenceObject(target);
      result.status = STATUS_PENDING;
      return result;
    }
  } else {
    // A sender above APC_LEVEL may not block: poll, as such a caller must.
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    while (KeWaitForSingleObject(&done->event, Executive, KernelMode, FALSE, &zero) != STATUS_SUCCESS)
      std::this_thread::yield();
  }
  // The top driver's stack location tells the I/O manager whether to finish
  // the request as pending: it must agree with what the dispatch returned.
  if (result.pendingReturned && !done->pendingReturned)
    ReportViolation("pending-not-marked",
                    Format("major %#x minor %#x: dispatch returned STATUS_PENDING without marking "
                           "the request pending",
                           major, minor));
  else if (!result.pendingReturned && done->pendingReturned)
    ReportViolation("pending-not-returned",
                    Format("major %#x minor %#x: the request was marked pending but dispatch "
                           "returned %#x",
                           major, minor, static_cast<unsigned>(returned)));
  if (!result.pendingReturned && returned != done->status.Status)
    ReportViolation("dispatch-status-mismatch",
                    Format("major %#x minor %#x: dispatch returned %#x, request completed with %#x",
                           major, minor, static_cast<unsigned>(returned),
                           static_cast<unsigned>(done->status.Status)));
  result.status = done->status.Status;
  result.information = done->status.Information;
  ObfDereferenceObject(target);
  return result;
}

ControlBuffers SetUpControlBuffers(PIRP irp, PIO_STACK_LOCATION stack, ULONG code, const void* input,
                                   ULONG inputLength, void* output, ULONG outputLength,
                                   const uint8_t (&fill)[4]) {
  ControlBuffers buffers;
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  ULONG method = METHOD_FROM_CTL_CODE(code);
  if (method == METHOD_NEITHER) {
    // The caller's own addresses; the driver probes and copies them itself.
    stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);
    irp->UserBuffer = output;
    return buffers;
  }
  size_t bytes = method == METHOD_BUFFERED ? std::max(inputLength, outputLength) : inputLength;
  if (bytes) {
    buffers.system = static_cast<uint8_t*>(TakeRecycled(bytes));
    if (!buffers.system) buffers.system = static_cast<uint8_t*>(std::malloc(bytes));
    buffers.systemBytes = bytes;
    // The pattern only where the input does not go; it keeps its phase with
    // the buffer's start, as a reply's check expects.
    const size_t copied = input ? inputLength : 0;
    if (copied) std::memcpy(buffers.system, input, copied);
    FillPattern(buffers.system, copied, bytes, fill);
    irp->AssociatedIrp.SystemBuffer = buffers.system;
  }
  if (method != METHOD_BUFFERED && output && outputLength) {
    // The output buffer's pages, locked and mapped for the driver.
    PMDL mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    uintptr_t address = reinterpret_cast<uintptr_t>(output);
    mdl->Size = sizeof(MDL);
    mdl->MdlFlags = MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA;
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t(0xFFF));
    mdl->ByteOffset = static_cast<ULONG>(address & 0xFFF);
    mdl->ByteCount = outputLength;
    mdl->MappedSystemVa = output;
    buffers.mdl = irp->MdlAddress = mdl;
  }
  return buffers;
}

void FreeControlBuffers(ControlBuffers& buffers) {
  // The next request's buffer is poisoned afresh whatever this one left in it.
  Recycle(buffers.system, buffers.systemBytes);
  std::free(buffers.mdl);
  buffers = ControlBuffers{};
}

// Kernel-mode senders' buffers hold what new pool holds.
const uint8_t kFreshFill[4] = {0xCD, 0xCD, 0xCD, 0xCD};

RequestResult SendKernelControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength,
                                void* output, ULONG outputLength, bool internal) {
  // On the heap: a request abandoned after the timeout still completes into it.
  struct Waiter {
    KEVENT event;
    IO_STATUS_BLOCK status{};
  };
  Waiter* waiter = new Waiter;
  KeInitializeEvent(&waiter->event, NotificationEvent, FALSE);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(device);
  PIRP irp = IoBuildDeviceIoControlRequest(code, top, const_cast<void*>(input), inputLength, output,
                                           outputLength, internal, &waiter->event, &waiter->status);
  RequestResult result;
  NTSTATUS returned = IoCallDriver(top, irp);
  result.pendingReturned = returned == STATUS_PENDING;
  LARGE_INTEGER limit;
  limit.QuadPart = result.pendingReturned ? -static_cast<LONGLONG>(g_pendingTimeoutMs.load()) * 10000 : 0;
  if (KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, &limit) != STATUS_SUCCESS) {
    ReportViolation("irp-not-completed",
                    Format("kernel control request %#x: dispatch returned %#x and the request was not "
                           "completed",
                           code, static_cast<unsigned>(returned)));
    result.status = returned;
    ObfDereferenceObject(top);
    return result;  // the waiter stays for the completion that may still come
  }
  if (!result.pendingReturned && returned != waiter->status.Status)
    ReportViolation("dispatch-status-mismatch",
                    Format("kernel control request %#x: dispatch returned %#x, request completed with %#x",
                           code, static_cast<unsigned>(returned),
                           static_cast<unsigned>(waiter->status.Status)));
  result.status = waiter->status.Status;
  result.information = waiter->status.Information;
  delete waiter;
  ObfDereferenceObject(top);
  return result;
}

// ------------------------------------------------------------------ files
NTSTATUS CreateFileObjectAndOpen(PDEVICE_OBJECT device, const std::u16string& remainder,
                                 KPROCESSOR_MODE mode, PFILE_OBJECT* fileObject) {
  *fileObject = nullptr;
  {
    std::lock_guard<HostRecursiveLock> hold(g_ioLock);
    auto it = g_devices.find(device);
    if (it == g_devices.end() || it->second.deleted || (device->Flags & DO_DEVICE_INITIALIZING))
      return STATUS_NO_SUCH_DEVICE;
  }
  PFILE_OBJECT file = static_cast<PFILE_OBJECT>(std::calloc(1, sizeof(FILE_OBJECT)));
  file->Type = 5;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  if (!remainder.empty()) {
    // The kernel's file name is counted, not terminated: so is this one.
    size_t bytes = remainder.size() * sizeof(WCHAR);
    file->FileName.Buffer = static_cast<PWSTR>(std::malloc(bytes));
    std::memcpy(file->FileName.Buffer, remainder.data(), bytes);
    file->FileName.Length = file->FileName.MaximumLength = static_cast<USHORT>(bytes);
  }
  ObfReferenceObject(device);
  ObInsert(file, &g_FileType,
           [](void* body) {
             PFILE_OBJECT f = static_cast<PFILE_OBJECT>(body);
             PDEVICE_OBJECT d = f->DeviceObject;
             std::free(f->FileName.Buffer);
             std::free(f);
             ObfDereferenceObject(d);
           },
           "file object on " + Narrow(remainder.empty() ? u"(device)" : remainder));

  RequestResult result = SendIrp(
      device, IRP_MJ_CREATE, 0,
      [file](PIRP irp, PIO_STACK_LOCATION stack) {
        stack->FileObject = file;
        irp->Tail.Overlay.OriginalFileObject = file;
        stack->Parameters.Create.ShareAccess = 0;
      },
      STATUS_SUCCESS, mode);
  if (!NT_SUCCESS(result.status)) {
    ObfDereferenceObject(file);  // no close follows a refused create
    return result.status;
  }
  *fileObject = file;
  PnpFileOpened(device);
  return result.status;
}

void CloseFileObject(PFILE_OBJECT file, KPROCESSOR_MODE mode) {
  PDEVICE_OBJECT device = file->DeviceObject;
  auto withFile = [file](PIRP irp, PIO_STACK_LOCATION stack) {
    stack->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
  };
  SendIrp(device, IRP_MJ_CLEANUP, 0, withFile, STATUS_SUCCESS, mode);
  SendIrp(device, IRP_MJ_CLOSE, 0, withFile, STATUS_SUCCESS, mode);
  PnpFileClosed(device);
  ObfDereferenceObject(file);
}

// ------------------------------------------------------------------ drivers
PDRIVER_OBJECT LoadDriver(const std::u16string& serviceName, DRIVER_INITIALIZE* entry,
                          NTSTATUS* status) {
  struct DriverImage {
    DRIVER_OBJECT object;
    DRIVER_EXTENSION extension;
    std::u16string name;
    std::u16string registryPath;
  };
  DriverImage* image = new DriverImage{};
  image->name = u"\\Driver\\" + serviceName;
  image->registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + serviceName;
  PDRIVER_OBJECT driver = &image->object;
  driver->Type = 4;
  driver->Size = sizeof(DRIVER_OBJECT);
  driver->DriverExtension = &image->extension;
  image->extension.DriverObject = driver;
  driver->DriverName.Buffer = reinterpret_cast<PWSTR>(image->name.data());
  driver->DriverName.Length = static_cast<USHORT>(image->name.size() * sizeof(WCHAR));
  driver->DriverName.MaximumLength = driver->DriverName.Length;
  for (auto& dispatch : driver->MajorFunction) dispatch = InvalidDeviceRequest;
  ObInsert(driver, &g_DriverType, [image](void*) { delete image; },
           "driver object " + Narrow(image->name));

  UNICODE_STRING registryPath;
  registryPath.Buffer = reinterpret_cast<PWSTR>(image->registryPath.data());
  registryPath.Length = static_cast<USHORT>(image->registryPath.size() * sizeof(WCHAR));
  registryPath.MaximumLength = registryPath.Length;
  NTSTATUS result = entry(driver, &registryPath);
  if (status) *status = result;
  if (!NT_SUCCESS(result)) {
    ObfDereferenceObject(driver);
    return nullptr;
  }
  return driver;
}

void UnloadDriver(PDRIVER_OBJECT driver) {
  if (driver->DeviceObject) {
    ReportViolation("unload-with-devices", "a driver is unloaded while it still has device objects");
    FinishUnload(driver);
    return;
  }
  {
    // A deleted device someone still references (an open file, a pointer a
    // driver took) keeps the driver loaded: the unload routine runs when the
    // last of them goes, as the kernel does.
    std::lock_guard<HostRecursiveLock> hold(g_ioLock);
    if (g_devicesPerDriver.count(driver)) {
      g_unloadPending.insert(driver);
      return;
    }
  }
  FinishUnload(driver);
}

bool UnloadPending(PDRIVER_OBJECT driver) {
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  return g_unloadPending.count(driver) != 0;
}

}  // namespace khost

using namespace khost;

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
  *DeviceObject = nullptr;
  RunHook("create-device");
  if (ShouldFail(FaultPoint::CreateDevice)) return STATUS_INSUFFICIENT_RESOURCES;

  std::u16string name = FromCounted(DeviceName);
  if (DeviceName && name.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  if (name.empty() && (DeviceCharacteristics & FILE_AUTOGENERATED_DEVICE_NAME)) {
    char16_t text[32];
    std::string digits = Format("%08X", ++g_autoNameCounter);
    size_t n = 0;
    for (char c : std::string("\\Device\\") + digits) text[n++] = static_cast<char16_t>(c);
    name.assign(text, n);
  }
  if (!name.empty() && g_namespace.count(Upper(name))) return STATUS_OBJECT_NAME_COLLISION;

  size_t extensionOffset = (sizeof(DEVICE_OBJECT) + 15) & ~size_t(15);
  size_t bytes = extensionOffset + DeviceExtensionSize;
  PDEVICE_OBJECT device = static_cast<PDEVICE_OBJECT>(std::calloc(1, bytes));
  device->Type = 3;
  device->Size = static_cast<USHORT>(std::min<size_t>(bytes, 0xFFFF));
  device->DriverObject = DriverObject;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) |
                  (name.empty() ? 0 : DO_DEVICE_HAS_NAME);
  device->Characteristics = DeviceCharacteristics;
  device->DeviceExtension = DeviceExtensionSize ? reinterpret_cast<PUCHAR>(device) + extensionOffset : nullptr;
  device->DeviceType = DeviceType;
  device->StackSize = 1;
  device->NextDevice = DriverObject->DeviceObject;
  if (device->NextDevice) {
    auto first = g_devices.find(device->NextDevice);
    if (first != g_devices.end()) first->second.previous = device;
  }
  DriverObject->DeviceObject = device;

  DeviceInfo info;
  info.name = name;
  info.bytes = bytes;
  g_devices[device] = info;
  ++g_devicesPerDriver[DriverObject];
  if (!name.empty()) g_namespace[Upper(name)] = NamespaceEntry{device, {}};
  ObInsert(device, &g_DeviceType, DestroyDevice,
           "device object " + (name.empty() ? Hex(reinterpret_cast<uintptr_t>(device)) : Narrow(name)));
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
  RunHook("delete-device");
  PnpDeviceDeleted(DeviceObject);
  if (DeviceInfo* info = DeviceInfoOf(DeviceObject)) ForgetListGuardsIn(DeviceObject, info->bytes);
  {
    std::lock_guard<HostRecursiveLock> hold(g_ioLock);
    auto it = g_devices.find(DeviceObject);
    if (it == g_devices.end() || it->second.deleted) {
      ReportViolation("device-deleted-twice",
                      "IoDeleteDevice of " + Hex(reinterpret_cast<uintptr_t>(DeviceObject)) +
                          ", which is not a live device object");
      return;
    }
    DeviceInfo& info = it->second;
    if (info.lower)
      ReportViolation("device-deleted-while-attached",
                      "IoDeleteDevice of a device still attached to a lower device (detach first)");
    info.deleted = true;
    if (!info.name.empty()) g_namespace.erase(Upper(info.name));
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDEVICE_OBJECT next = DeviceObject->NextDevice;
    if (info.previous)
      info.previous->NextDevice = next;
    else if (driver->DeviceObject == DeviceObject)
      driver->DeviceObject = next;
    if (next) {
      auto after = g_devices.find(next);
      if (after != g_devices.end()) after->second.previous = info.previous;
    }
    info.previous = nullptr;
  }
  ObfDereferenceObject(DeviceObject);
}

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
  if (ShouldFail(FaultPoint::CreateSymbolicLink)) return STATUS_INSUFFICIENT_RESOURCES;
  std::u16string link = FromCounted(SymbolicLinkName);
  std::u16string target = FromCounted(DeviceName);
  if (link.empty() || target.empty()) return STATUS_OBJECT_NAME_INVALID;
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  if (g_namespace.count(Upper(link))) return STATUS_OBJECT_NAME_COLLISION;
  g_namespace[Upper(link)] = NamespaceEntry{nullptr, target};
  return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  auto it = g_namespace.find(Upper(FromCounted(SymbolicLinkName)));
  if (it == g_namespace.end() || it->second.device) return STATUS_OBJECT_NAME_NOT_FOUND;
  g_namespace.erase(it);
  return STATUS_SUCCESS;
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoAttachDeviceToDeviceStack");
  RunHook("attach-device");
  if (ShouldFail(FaultPoint::AttachDevice)) return nullptr;
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  auto target = g_devices.find(TargetDevice);
  auto source = g_devices.find(SourceDevice);
  if (target == g_devices.end() || source == g_devices.end() || target->second.deleted) return nullptr;
  PDEVICE_OBJECT top = TopOfStack(TargetDevice);
  if (g_devices[top].deleted) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  source->second.lower = top;
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoDetachDevice");
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (!upper) {
    ReportViolation("detach-nothing-attached", "IoDetachDevice of a device with nothing attached");
    return;
  }
  auto it = g_devices.find(upper);
  if (it != g_devices.end()) it->second.lower = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoGetAttachedDeviceReference");
  std::lock_guard<HostRecursiveLock> hold(g_ioLock);
  PDEVICE_OBJECT top = TopOfStack(DeviceObject);
  ObfReferenceObject(top);
  return top;
}

PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  PIRP irp = AllocateHostIrp(StackSize, RequestLabel{});
  DeleteHostRequest(HostRequestOf(irp));
  irp->HostRequest = nullptr;
  return irp;
}

VOID IoFreeIrp(PIRP Irp) {
  {
    std::lock_guard<HostRecursiveLock> hold(g_ioLock);
    if (!g_liveIrps.count(Irp)) {
      ReportViolation("irp-freed-twice", "IoFreeIrp of a request that is not allocated");
      return;
    }
    if (Irp->HostRequest) {
      // Freeing it would leave the I/O manager's completion on freed memory.
      ReportViolation("irp-free-host-request", "IoFreeIrp of a request the I/O manager owns");
      return;
    }
  }
  FreeHostIrp(Irp);
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
  if (!IsLiveIrp(Irp)) {
    // Its memory is freed (poisoned, or gone under ASan): not a byte of it is read.
    ReportViolation("irp-used-after-completion",
                    "IofCallDriver of a request that was completed and freed (or never allocated)");
    return STATUS_INVALID_PARAMETER;
  }
  if (HeldSpinLocks() > 0)
    ReportViolation("call-down-with-spin-lock", "IofCallDriver while holding a spin lock");
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) {
    ReportViolation("no-more-stack-locations", "IofCallDriver past the request's last stack location");
    std::abort();  // the kernel bug-checks here
  }
  Irp->Tail.Overlay.CurrentStackLocation--;
  PIO_STACK_LOCATION stack = Irp->Tail.Overlay.CurrentStackLocation;
  stack->DeviceObject = DeviceObject;
  HostRequest* request = HostRequestOf(Irp);
  if (stack->MajorFunction == IRP_MJ_PNP && Irp->CurrentLocation == Irp->StackCount &&
      (!request || request->builtForDriver) && Irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
    // Every Plug and Play request starts out not supported, so that a stack
    // where nobody answers it says so; a driver that sends one must set that.
    ReportViolation("pnp-request-not-preset",
                    Format("a driver sent Plug and Play minor %#x with status %#x, not STATUS_NOT_SUPPORTED",
                           stack->MinorFunction, static_cast<unsigned>(Irp->IoStatus.Status)));
  }
  if (DeviceObject->AttachedDevice) CheckPassedDown(DeviceObject, Irp);
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  return dispatch(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, CHAR PriorityBoost) {
  (void)PriorityBoost;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
  HostRequest* request;
  {
    // Liveness first: a completed host request is freed memory.
    std::lock_guard<HostRecursiveLock> hold(g_ioLock);
    request = g_liveIrps.count(Irp) ? HostRequestOf(Irp) : nullptr;
    if (!g_liveIrps.count(Irp) || (request && request->completed)) {
      ReportViolation("irp-completed-twice", "IofCompleteRequest of a request that was already completed");
      return;
    }
  }
  if (HeldSpinLocks() > 0)
    ReportViolation("complete-with-spin-lock", "IofCompleteRequest while holding a spin lock");
  if (Irp->IoStatus.Status == STATUS_PENDING)
    ReportViolation("complete-with-pending", "a request was completed with STATUS_PENDING");
  if (Irp->CurrentLocation > Irp->StackCount) {
    ReportViolation("complete-without-location", "IofCompleteRequest of a request no driver owns");
    return;
  }
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->MajorFunction == IRP_MJ_POWER && request &&
      (request->startNextPowerLocation != Irp->CurrentLocation ||
       request->startNextPowerDevice != stack->DeviceObject))
    ReportViolation("power-irp-without-start-next",
                    "a power request was completed without PoStartNextPowerIrp first");

  IoSkipCurrentIrpStackLocation(Irp);
  do {
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = stack->CompletionRoutine &&
                  ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                   (Irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL)));
    if (invoke) {
      PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
      PVOID context = stack->Context;
      std::memset(stack, 0, sizeof(*stack));
      PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                  ? nullptr
                                  : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      NTSTATUS result = routine(device, Irp, context);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;  // the request is back with its owner
    } else {
      if (Irp->CurrentLocation <= Irp->StackCount && Irp->PendingReturned) IoMarkIrpPending(Irp);
      std::memset(stack, 0, sizeof(*stack));
    }
    IoSkipCurrentIrpStackLocation(Irp);
    ++stack;
  } while (Irp->CurrentLocation <= Irp->StackCount + 1);

  if (request) {
    request->completed = true;
    // Off the request first: the completion usually frees the request, and
    // with it whatever the request holds.
    std::function<void(PIRP)> onComplete = std::move(request->onComplete);
    if (onComplete) onComplete(Irp);
  }
}

PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                  ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                  PIO_STATUS_BLOCK IoStatusBlock) {
  (void)Buffer;
  (void)Length;
  (void)StartingOffset;
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
  if (ShouldFail(FaultPoint::BuildSynchronousFsdRequest)) return nullptr;
  PIRP irp = AllocateHostIrp(DeviceObject->StackSize, RequestLabel{RequestLabel::Synchronous, MajorFunction});
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = static_cast<UCHAR>(MajorFunction);
  HostRequestOf(irp)->builtForDriver = true;
  HostRequestOf(irp)->onComplete = [](PIRP done) {
    *done->UserIosb = done->IoStatus;
    KeSetEvent(done->UserEvent, IO_NO_INCREMENT, FALSE);
    FreeHostIrp(done);  // the kernel frees the request once it completes
  };
  return irp;
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildDeviceIoControlRequest");
  PIRP irp = AllocateHostIrp(DeviceObject->StackSize, RequestLabel{RequestLabel::KernelControl, IoControlCode});
  irp->RequestorMode = KernelMode;
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  auto buffers = std::make_shared<ControlBuffers>(
      SetUpControlBuffers(irp, stack, IoControlCode, InputBuffer, InputBufferLength, OutputBuffer,
                          OutputBufferLength, kFreshFill));
  bool buffered = METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_BUFFERED;
  HostRequestOf(irp)->onComplete = [buffers, buffered, OutputBuffer, OutputBufferLength](PIRP done) {
    if (buffered && buffers->system && OutputBuffer && !NT_ERROR(done->IoStatus.Status)) {
      if (done->IoStatus.Information > OutputBufferLength)
        ReportViolation("information-exceeds-output",
                        Format("a control request's Information %llu exceeds its output length %u",
                               static_cast<unsigned long long>(done->IoStatus.Information),
                               OutputBufferLength));
      std::memcpy(OutputBuffer, buffers->system,
                  std::min<ULONG_PTR>(done->IoStatus.Information, OutputBufferLength));
    }
    FreeControlBuffers(*buffers);
    *done->UserIosb = done->IoStatus;
    if (done->UserEvent) KeSetEvent(done->UserEvent, IO_NO_INCREMENT, FALSE);
    FreeHostIrp(done);  // the I/O manager frees the request once it completes
  };
  return irp;
}

PVOID MmGetSystemAddressForMdlSafe(PMDL Mdl, ULONG Priority) {
  (void)Priority;
  RequireIrqlAtMost(DISPATCH_LEVEL, "MmGetSystemAddressForMdlSafe");
  if (!Mdl || !(Mdl->MdlFlags & MDL_PAGES_LOCKED)) {
    ReportViolation("mdl-not-locked", "MmGetSystemAddressForMdlSafe of an MDL whose pages are not locked");
    return nullptr;
  }
  return Mdl->MappedSystemVa;
}

VOID IoInvalidateDeviceRelations(PDEVICE_OBJECT DeviceObject, DEVICE_RELATION_TYPE Type) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoInvalidateDeviceRelations");
  RunHook("invalidate-relations");
  RecordInvalidation(DeviceObject, Type);
}

NTSTATUS IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                  ULONG HighWatermark, ULONG RemlockSize) {
  (void)MaxLockedMinutes;
  (void)RemlockSize;
  Lock->Removed = FALSE;
  Lock->IoCount = 1;
  KeInitializeEvent(&Lock->RemoveEvent, SynchronizationEvent, FALSE);
  Lock->AllocateTag = AllocateTag;
  Lock->HighWatermark = HighWatermark;
  std::lock_guard<HostLock> hold(g_removeLockLock);
  g_removeLocks[Lock] = RemoveLockTags{};
  return STATUS_SUCCESS;
}

NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                               ULONG RemlockSize) {
  (void)File;
  (void)Line;
  (void)RemlockSize;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLockEx");
  RunHook("remove-lock-acquire");
  InterlockedIncrement(&RemoveLock->IoCount);
  if (RemoveLock->Removed) {
    if (InterlockedDecrement(&RemoveLock->IoCount) == 0) KeSetEvent(&RemoveLock->RemoveEvent, 0, FALSE);
    return STATUS_DELETE_PENDING;
  }
  std::unique_lock<HostLock> hold(g_removeLockLock);
  auto it = g_removeLocks.find(RemoveLock);
  if (it == g_removeLocks.end()) {
    ReportViolation("remove-lock-uninitialised", "IoAcquireRemoveLockEx on a lock never initialised");
  } else {
    if (auto* holder = it->second.Find(Tag))
      ++holder->second;
    else
      it->second.held.emplace_back(Tag, 1);
  }
  hold.unlock();
  RunHook("remove-lock-acquired");
  return STATUS_SUCCESS;
}

static void ReleaseRemoveLockTag(PIO_REMOVE_LOCK RemoveLock, PVOID Tag) {
  std::lock_guard<HostLock> hold(g_removeLockLock);
  auto it = g_removeLocks.find(RemoveLock);
  if (it == g_removeLocks.end()) {
    ReportViolation("remove-lock-over-release", "a remove lock was released after it was torn down");
    return;
  }
  auto* tag = it->second.Find(Tag);
  if (!tag || tag->second == 0) {
    ReportViolation("remove-lock-over-release",
                    "a remove lock was released with a tag that does not hold it (released more "
                    "often than acquired)");
    return;
  }
  if (--tag->second == 0) {
    *tag = it->second.held.back();
    it->second.held.pop_back();
  }
}

VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  (void)RemlockSize;
  RequireIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLockEx");
  ReleaseRemoveLockTag(RemoveLock, Tag);
  LONG count = InterlockedDecrement(&RemoveLock->IoCount);
  if (count < 0) ReportViolation("remove-lock-over-release", "a remove lock's count went below zero");
  if (count == 0) KeSetEvent(&RemoveLock->RemoveEvent, 0, FALSE);
}

VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
  (void)RemlockSize;
  RequireIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWaitEx");
  RemoveLock->Removed = TRUE;
  ReleaseRemoveLockTag(RemoveLock, Tag);
  LONG count = InterlockedDecrement(&RemoveLock->IoCount);
  if (count <= 0) ReportViolation("remove-lock-over-release", "release-and-wait found no holder to release");
  if (InterlockedDecrement(&RemoveLock->IoCount) > 0) {
    RunHook("remove-lock-wait");
    KeWaitForSingleObject(&RemoveLock->RemoveEvent, Executive, KernelMode, FALSE, nullptr);
  }
  std::lock_guard<HostLock> hold(g_removeLockLock);
  g_removeLocks.erase(RemoveLock);
}

}  // extern "C"
