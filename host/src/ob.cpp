// Kernel host: the object manager. Objects carry a pointer count; handles live
// in per-process tables (user handles are small multiples of 4) or in the
// kernel's table (handles with the top bit set, refused to user-mode callers).
// A reference by handle checks the object type and, for user-mode callers, the
// desired access against the rights the handle was granted when it was opened.
#include <memory>

#include "internal.h"
#include "ptrmap.h"

namespace khost {

ObjectType g_DeviceType{"Device", ObjectKind::Device};
ObjectType g_DriverType{"Driver", ObjectKind::Driver};
ObjectType g_FileType{"File", ObjectKind::File};
ObjectType g_EventType{"Event", ObjectKind::Event};

namespace {
// What a reference reads and writes lies in the table's slot; what only the
// object's end and the leak report need lies beside it.
struct Farewell {
  std::function<void(void*)> destroy;
  std::string description;
};
struct Header {
  ObjectType* type = nullptr;
  LONG_PTR pointerCount = 0;
  std::unique_ptr<Farewell> farewell;
};
HostLock g_objectLock;
PointerMap<const void*, Header, true> g_objects;

// Called with g_objectLock held: the count left; at zero the object is
// forgotten and `destroy` gets what must run once the lock is released.
LONG_PTR DropReference(void* object, std::function<void(void*)>* destroy) {
  auto it = g_objects.find(object);
  if (it == g_objects.end()) {
    ReportViolation("dereference-dead-object",
                    "ObfDereferenceObject of " + Hex(reinterpret_cast<uintptr_t>(object)) +
                        ", which is not a live object (released more often than referenced)");
    return 0;
  }
  LONG_PTR count = --it->second.pointerCount;
  if (count > 0) return count;
  *destroy = std::move(it->second.farewell->destroy);
  g_objects.erase(it);
  return 0;
}

HandleTable g_kernelHandles{{}, {}, true};
thread_local HandleTable* t_process = nullptr;

constexpr uint64_t kKernelHandleBit = 0xFFFFFFFF80000000ull;
}  // namespace

void ObInsert(void* body, ObjectType* type, std::function<void(void*)> destroy,
              const std::string& description) {
  std::lock_guard<HostLock> hold(g_objectLock);
  g_objects[body] = Header{type, 1, std::make_unique<Farewell>(Farewell{std::move(destroy), description})};
}

ObjectType* ObTypeOf(const void* body) {
  std::lock_guard<HostLock> hold(g_objectLock);
  auto it = g_objects.find(body);
  return it == g_objects.end() ? nullptr : it->second.type;
}

bool ObReferenceIfType(void* body, ObjectType* type) {
  std::lock_guard<HostLock> hold(g_objectLock);
  auto it = g_objects.find(body);
  if (it == g_objects.end() || (type && it->second.type != type)) return false;
  ++it->second.pointerCount;
  return true;
}

bool ObIsLive(const void* body) {
  std::lock_guard<HostLock> hold(g_objectLock);
  return g_objects.count(body) != 0;
}

bool IsLiveObject(const void* object) { return ObIsLive(object); }

LONG_PTR ReferenceCount(const void* object) {
  std::lock_guard<HostLock> hold(g_objectLock);
  auto it = g_objects.find(object);
  return it == g_objects.end() ? -1 : it->second.pointerCount;
}

size_t ObLiveCount() {
  std::lock_guard<HostLock> hold(g_objectLock);
  return g_objects.size();
}

std::vector<std::string> ObLiveDescriptions() {
  std::lock_guard<HostLock> hold(g_objectLock);
  std::vector<std::string> out;
  for (const auto& [body, header] : g_objects)
    out.push_back(header.farewell->description + " (" + header.type->name + ", " +
                  std::to_string(header.pointerCount) + " references)");
  return out;
}

void ObReset() {
  {
    std::lock_guard<HostLock> hold(g_kernelHandles.lock);
    g_kernelHandles.entries.clear();
  }
  // Objects a scenario leaked go with it: each is destroyed as if its last
  // reference had gone, so its memory is not left for the next scenario (or
  // the leak sanitizer). A destroy that drops a reference to an object already
  // gone reports it, and Reset forgets that report with the rest.
  for (;;) {
    void* body;
    std::function<void(void*)> destroy;
    {
      std::lock_guard<HostLock> hold(g_objectLock);
      if (g_objects.empty()) break;
      auto it = g_objects.begin();
      body = const_cast<void*>(it->first);
      destroy = std::move(it->second.farewell->destroy);
      g_objects.erase(it);
    }
    if (destroy) destroy(body);
  }
}

HandleTable& KernelHandleTable() { return g_kernelHandles; }
HandleTable*& CurrentProcessHandles() { return t_process; }

HANDLE InsertHandle(HandleTable& table, void* object, ACCESS_MASK granted) {
  std::lock_guard<HostLock> hold(table.lock);
  size_t index = 0;
  while (index < table.entries.size() && table.entries[index].object) ++index;
  if (index == table.entries.size()) table.entries.push_back({});
  table.entries[index] = HandleEntry{object, granted};
  uint64_t value = (index + 1) * 4;
  if (table.kernel) value |= kKernelHandleBit;
  return reinterpret_cast<HANDLE>(value);
}

namespace {
bool LookupHandle(HandleTable& table, HANDLE handle, size_t* index) {
  uint64_t value = reinterpret_cast<uint64_t>(handle);
  if (table.kernel) {
    if ((value & kKernelHandleBit) != kKernelHandleBit) return false;
    value &= ~kKernelHandleBit;
  } else if (value > 0xFFFFFFFFull) {
    return false;
  }
  if (value == 0 || value % 4 != 0) return false;
  *index = value / 4 - 1;
  return *index < table.entries.size() && table.entries[*index].object != nullptr;
}
}  // namespace

bool RemoveHandle(HandleTable& table, HANDLE handle, HandleEntry* removed) {
  std::lock_guard<HostLock> hold(table.lock);
  size_t index;
  if (!LookupHandle(table, handle, &index)) return false;
  *removed = table.entries[index];
  table.entries[index] = HandleEntry{nullptr, 0};
  return true;
}

ACCESS_MASK MapFileAccess(ACCESS_MASK desired) {
  ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (desired & GENERIC_READ) mapped |= FILE_GENERIC_READ;
  if (desired & GENERIC_WRITE) mapped |= FILE_GENERIC_WRITE;
  if (desired & GENERIC_EXECUTE) mapped |= FILE_GENERIC_EXECUTE;
  if (desired & GENERIC_ALL) mapped |= FILE_ALL_ACCESS;
  return mapped;
}

ACCESS_MASK MapEventAccess(ACCESS_MASK desired) {
  ACCESS_MASK mapped = desired & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
  if (desired & GENERIC_READ) mapped |= 0x00020000 | EVENT_QUERY_STATE;  // READ_CONTROL
  if (desired & GENERIC_WRITE) mapped |= 0x00020000 | EVENT_MODIFY_STATE;
  if (desired & GENERIC_EXECUTE) mapped |= 0x00020000 | SYNCHRONIZE;
  if (desired & GENERIC_ALL) mapped |= EVENT_ALL_ACCESS;
  return mapped;
}

}  // namespace khost

using namespace khost;

namespace {
_OBJECT_TYPE* g_eventTypeObject = reinterpret_cast<_OBJECT_TYPE*>(&g_EventType);
}  // namespace

extern "C" {

POBJECT_TYPE* ExEventObjectType = &g_eventTypeObject;

LONG_PTR ObfReferenceObject(PVOID Object) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "ObfReferenceObject");
  std::lock_guard<HostLock> hold(g_objectLock);
  auto it = g_objects.find(Object);
  if (it == g_objects.end()) {
    ReportViolation("reference-dead-object",
                    "ObfReferenceObject of " + Hex(reinterpret_cast<uintptr_t>(Object)) +
                        ", which is not a live object");
    return 0;
  }
  return ++it->second.pointerCount;
}

LONG_PTR ObfDereferenceObject(PVOID Object) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
  std::function<void(void*)> destroy;
  LONG_PTR count;
  {
    std::lock_guard<HostLock> hold(g_objectLock);
    count = DropReference(Object, &destroy);
  }
  if (destroy) destroy(Object);
  return count;
}

}  // extern "C"

namespace khost {

void ObDereferenceEach(const std::vector<PDEVICE_OBJECT>& objects) {
  if (objects.empty()) return;
  RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
  std::vector<std::pair<void*, std::function<void(void*)>>> last;
  {
    std::lock_guard<HostLock> hold(g_objectLock);
    for (PDEVICE_OBJECT object : objects) {
      std::function<void(void*)> destroy;
      DropReference(object, &destroy);
      if (destroy) last.emplace_back(object, std::move(destroy));
    }
  }
  for (auto& [object, destroy] : last)
    if (destroy) destroy(object);
}

}  // namespace khost

extern "C" {

NTSTATUS ObReferenceObjectByHandle(HANDLE Handle, ACCESS_MASK DesiredAccess,
                                   POBJECT_TYPE ObjectType, KPROCESSOR_MODE AccessMode,
                                   PVOID* Object, POBJECT_HANDLE_INFORMATION HandleInformation) {
  RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
  *Object = nullptr;
  uint64_t value = reinterpret_cast<uint64_t>(Handle);
  bool kernelHandle = (value & 0xFFFFFFFF80000000ull) == 0xFFFFFFFF80000000ull;
  HandleTable* table;
  if (kernelHandle) {
    // A user-mode caller never reaches the kernel's handles.
    if (AccessMode == UserMode) return STATUS_INVALID_HANDLE;
    table = &KernelHandleTable();
  } else {
    table = CurrentProcessHandles();
    if (!table) return STATUS_INVALID_HANDLE;
    // A handle a user-mode caller passed in, looked up without the access
    // check: the caller gets the object whatever rights its handle has. The
    // platform's verifier stops the machine for it (0xC4, 0xF6).
    if (AccessMode == KernelMode)
      ReportViolation("kernel-mode-reference-of-user-handle",
                      "ObReferenceObjectByHandle with KernelMode of user handle " +
                          Hex(reinterpret_cast<uintptr_t>(Handle)) +
                          " in a user process's request (pass the request's RequestorMode)");
  }
  std::lock_guard<HostLock> tableHold(table->lock);
  size_t index;
  if (!LookupHandle(*table, Handle, &index)) return STATUS_INVALID_HANDLE;
  HandleEntry entry = table->entries[index];
  khost::ObjectType* wanted = reinterpret_cast<khost::ObjectType*>(ObjectType);
  if (wanted && ObTypeOf(entry.object) != wanted) return STATUS_OBJECT_TYPE_MISMATCH;
  // The desired access is compared with what the handle was granted; generic
  // rights in it are not mapped here, exactly as the kernel does.
  if (AccessMode != KernelMode && (DesiredAccess & ~entry.granted) != 0) return STATUS_ACCESS_DENIED;
  if (HandleInformation) {
    HandleInformation->HandleAttributes = 0;
    HandleInformation->GrantedAccess = entry.granted;
  }
  ObfReferenceObject(entry.object);
  *Object = entry.object;
  return STATUS_SUCCESS;
}

}  // extern "C"
