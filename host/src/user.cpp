// Kernel host: the user-mode side. A process's handle table, opens through
// Win32 device paths with the access they ask for, control requests made the
// way the I/O manager makes them for a user-mode caller (access checked,
// buffers laid out for the code's transfer method), and events a service
// creates.
#include <algorithm>
#include <cstdlib>

#include "internal.h"
#include "scan.h"

namespace khost {

struct Process::Table {
  HandleTable handles;
};

namespace {

std::mutex g_outcomesLock;
std::vector<ControlOutcome> g_outcomes;

void RecordOutcome(ULONG code, NTSTATUS status) {
  std::lock_guard<std::mutex> hold(g_outcomesLock);
  g_outcomes.push_back({code, status});
}

constexpr uint8_t kPoison[4] = {0xDE, 0xAD, 0xBE, 0xEF};

// Makes the calling thread run on behalf of a process for one request, as a
// system call does.
class ProcessContext {
 public:
  explicit ProcessContext(HandleTable* table) : saved_(CurrentProcessHandles()) {
    CurrentProcessHandles() = table;
  }
  ~ProcessContext() { CurrentProcessHandles() = saved_; }

 private:
  HandleTable* saved_;
};

void* NewEventObject(bool manualReset, bool initialState, const std::string& description) {
  PKEVENT event = static_cast<PKEVENT>(std::calloc(1, sizeof(KEVENT)));
  KeInitializeEvent(event, manualReset ? NotificationEvent : SynchronizationEvent, initialState);
  ObInsert(event, &g_EventType, [](void* body) { std::free(body); }, description);
  return event;
}

bool LookupObject(HandleTable& table, HANDLE handle, ObjectType* type, void** object,
                  ACCESS_MASK* granted = nullptr) {
  std::lock_guard<HostLock> hold(table.lock);
  uint64_t value = reinterpret_cast<uint64_t>(handle);
  if (value == 0 || value % 4 != 0 || value > 0xFFFFFFFFull) return false;
  size_t index = value / 4 - 1;
  if (index >= table.entries.size() || !table.entries[index].object) return false;
  RequireIrqlAtMost(DISPATCH_LEVEL, "ObfReferenceObject");
  if (!ObReferenceIfType(table.entries[index].object, type)) return false;
  *object = table.entries[index].object;
  if (granted) *granted = table.entries[index].granted;
  return true;
}

}  // namespace

uint8_t PoisonByte(size_t offset) { return kPoison[offset % 4]; }

Process::Process(std::string name) : name_(std::move(name)), table_(new Table) {}

Process::~Process() {
  std::vector<HANDLE> open;
  {
    std::lock_guard<HostLock> hold(table_->handles.lock);
    for (size_t i = 0; i < table_->handles.entries.size(); ++i)
      if (table_->handles.entries[i].object) open.push_back(reinterpret_cast<HANDLE>((i + 1) * 4));
  }
  for (HANDLE handle : open) Close(handle);
}

size_t Process::OpenHandles() const {
  std::lock_guard<HostLock> hold(table_->handles.lock);
  return static_cast<size_t>(std::count_if(table_->handles.entries.begin(), table_->handles.entries.end(),
                                           [](const HandleEntry& e) { return e.object != nullptr; }));
}

HANDLE Process::CreateFile(const std::u16string& win32Path, NTSTATUS* status, ACCESS_MASK desired) {
  NTSTATUS local;
  if (!status) status = &local;
  ProcessContext context(&table_->handles);
  // \\.\Name becomes \??\Name; what follows the device name is the file name.
  std::u16string path = win32Path;
  if (path.rfind(u"\\\\.\\", 0) == 0) path = u"\\??\\" + path.substr(4);
  PDEVICE_OBJECT device = nullptr;
  std::u16string remainder;
  for (size_t cut = path.size(); cut > 0; cut = path.rfind(u'\\', cut - 1)) {
    device = LookupDevice(path.substr(0, cut));
    if (device) {
      remainder = path.substr(cut);
      break;
    }
    if (cut == 0) break;
  }
  if (!device) {
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return nullptr;
  }
  PFILE_OBJECT file = nullptr;
  *status = CreateFileObjectAndOpen(device, remainder, UserMode, &file);
  if (!NT_SUCCESS(*status)) return nullptr;
  return InsertHandle(table_->handles, file, MapFileAccess(desired));
}

NTSTATUS Process::Close(HANDLE handle) {
  HandleEntry entry;
  if (!RemoveHandle(table_->handles, handle, &entry)) return STATUS_INVALID_HANDLE;
  ProcessContext context(&table_->handles);
  if (ObTypeOf(entry.object) == &g_FileType)
    CloseFileObject(static_cast<PFILE_OBJECT>(entry.object), UserMode);
  else
    ObfDereferenceObject(entry.object);
  return STATUS_SUCCESS;
}

std::vector<ControlOutcome> ControlOutcomes() {
  std::lock_guard<std::mutex> hold(g_outcomesLock);
  return g_outcomes;
}

void ResetControlOutcomes() {
  std::lock_guard<std::mutex> hold(g_outcomesLock);
  g_outcomes.clear();
}

NTSTATUS Process::DeviceIoControl(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out,
                                  ULONG outLength, ULONG_PTR* returned) {
  NTSTATUS status = SendControl(handle, code, in, inLength, out, outLength, returned);
  RecordOutcome(code, status);
  return status;
}

NTSTATUS Process::SendControl(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out,
                              ULONG outLength, ULONG_PTR* returned) {
  if (returned) *returned = 0;
  void* object;
  ACCESS_MASK granted = 0;
  if (!LookupObject(table_->handles, handle, &g_FileType, &object, &granted)) return STATUS_INVALID_HANDLE;
  PFILE_OBJECT file = static_cast<PFILE_OBJECT>(object);
  // The code's required access against what the handle was granted, before
  // any driver sees the request.
  ULONG required = (code >> 14) & 3;
  if (((required & FILE_READ_ACCESS) && !(granted & FILE_READ_DATA)) ||
      ((required & FILE_WRITE_ACCESS) && !(granted & FILE_WRITE_DATA))) {
    ObfDereferenceObject(file);
    return STATUS_ACCESS_DENIED;
  }
  ProcessContext context(&table_->handles);

  const bool buffered = METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED;
  ControlBuffers buffers;
  // One pointer captured, so the set-up is held without an allocation.
  auto setUp = [&](PIRP irp, PIO_STACK_LOCATION stack) {
    irp->IoStatus.Information = initialInformation_;
    irp->Tail.Overlay.OriginalFileObject = file;
    stack->FileObject = file;
    buffers = SetUpControlBuffers(irp, stack, code, in, inLength, out, outLength, kPoison);
  };
  RequestResult result =
      SendIrp(file->DeviceObject, IRP_MJ_DEVICE_CONTROL, 0,
              [setUp = &setUp](PIRP irp, PIO_STACK_LOCATION stack) { (*setUp)(irp, stack); }, STATUS_SUCCESS,
              UserMode);

  // Direct and neither requests wrote the caller's buffer in place; only a
  // buffered one is copied back, Information bytes of it.
  if (buffered && !NT_ERROR(result.status) && result.status != STATUS_PENDING) {
    if (result.information > outLength) {
      ReportViolation("information-exceeds-output",
                      Format("control code %#x: Information %llu exceeds the output length %u", code,
                             static_cast<unsigned long long>(result.information), outLength));
    }
    size_t copy = std::min<ULONG_PTR>(result.information, outLength);
    // Bytes the reply covers but the driver never wrote would hand the caller
    // whatever the kernel's buffer held before. The copy out and the check
    // past the input are one pass.
    const size_t scanned = std::min<size_t>(inLength, copy);
    size_t unwritten = copy;
    if (out && copy) {
      std::memcpy(out, buffers.system, scanned);
      if (copy > scanned)
        unwritten = CopyFindingPatternPair(static_cast<uint8_t*>(out), buffers.system, scanned, copy, kPoison);
    } else if (copy > scanned) {
      unwritten = FirstPatternPair(buffers.system, scanned, copy, kPoison);
    }
    if (unwritten < copy)
      ReportViolation("unwritten-reply-bytes",
                      Format("control code %#x: reply byte %zu of %zu was never written", code, unwritten, copy));
  }
  if (returned) *returned = result.information;
  FreeControlBuffers(buffers);
  ObfDereferenceObject(file);
  return result.status;
}

HANDLE Process::CreateEvent(bool manualReset, bool initialState, ACCESS_MASK desired) {
  void* event = NewEventObject(manualReset, initialState, "event of process " + name_);
  return InsertHandle(table_->handles, event, MapEventAccess(desired));
}

bool Process::WaitEvent(HANDLE handle, std::chrono::milliseconds timeout) {
  void* object;
  if (!LookupObject(table_->handles, handle, &g_EventType, &object)) return false;
  LARGE_INTEGER relative;
  relative.QuadPart = -static_cast<LONGLONG>(timeout.count()) * 10000;
  NTSTATUS status = KeWaitForSingleObject(object, UserRequest, UserMode, FALSE, &relative);
  ObfDereferenceObject(object);
  return status == STATUS_SUCCESS;
}

NTSTATUS Process::ResetEvent(HANDLE handle) {
  void* object;
  if (!LookupObject(table_->handles, handle, &g_EventType, &object)) return STATUS_INVALID_HANDLE;
  KeClearEvent(static_cast<PKEVENT>(object));
  ObfDereferenceObject(object);
  return STATUS_SUCCESS;
}

NTSTATUS Process::SetEvent(HANDLE handle) {
  void* object;
  if (!LookupObject(table_->handles, handle, &g_EventType, &object)) return STATUS_INVALID_HANDLE;
  KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
  ObfDereferenceObject(object);
  return STATUS_SUCCESS;
}

HANDLE CreateKernelEvent(PKEVENT* event) {
  void* object = NewEventObject(true, false, "kernel event");
  if (event) *event = static_cast<PKEVENT>(object);
  return InsertHandle(KernelHandleTable(), object, EVENT_ALL_ACCESS);
}

void CloseKernelHandle(HANDLE handle) {
  HandleEntry entry;
  if (RemoveHandle(KernelHandleTable(), handle, &entry)) ObfDereferenceObject(entry.object);
}

}  // namespace khost
