// Kernel host internals shared by the host's units (ke, ex, rtl, ob, io, pnp,
// po, user). Nothing here is visible to drivers.
#pragma once

#include <ntddk.h>

#include <atomic>
#include <cstring>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "khost.h"

namespace khost {

// The lock of the host's own short sections on the request path (pool,
// quarantine, objects, handles, remove locks, I/O bookkeeping): an acquire
// nobody contends is one atomic exchange, where a pthread mutex pair costs
// some fifty instructions and a relayed record took over twenty of them. A
// waiter spins a little, then yields, so a holder that lost its processor
// gets it back. Nothing sleeps while holding one, and none is waited on with
// a condition variable. ThreadSanitizer builds keep the C++ mutexes, whose
// lock-order checks watch the host itself.
#if defined(__SANITIZE_THREAD__)
using HostLock = std::mutex;
using HostRecursiveLock = std::recursive_mutex;
#else
class HostLock {
 public:
  void lock() {
    if (!held_.exchange(true, std::memory_order_acquire)) return;
    WaitForIt();
  }
  bool try_lock() { return !held_.load(std::memory_order_relaxed) && !held_.exchange(true, std::memory_order_acquire); }
  void unlock() { held_.store(false, std::memory_order_release); }

 private:
  void WaitForIt();
  std::atomic<bool> held_{false};
};

// The same, taken again by the thread that holds it.
class HostRecursiveLock {
 public:
  void lock();
  bool try_lock();
  void unlock();

 private:
  HostLock lock_;
  std::atomic<HANDLE> owner_{nullptr};  // PsGetCurrentThreadId of the holder
  unsigned depth_ = 0;
};
#endif

std::string Hex(uint64_t value);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ------------------------------------------------------------------ ke
// The calling thread's IRQL and the spin locks it holds.
KIRQL& ThreadIrql();
void SetIrql(KIRQL irql);
int HeldSpinLocks();
// The calling thread back at PASSIVE_LEVEL holding no spin lock (between scenarios).
void ResetThreadState();
void ForgetListGuardsIn(const void* first, size_t bytes);
void ResetListGuards();
void ClearSpinLockHooks();
// A PASSIVE_LEVEL-only routine reports a violation when called above it.
void RequireIrqlAtMost(KIRQL max, const char* routine);
// Wakes every waiter so it re-checks its event.
void SignalDispatcherChange();
std::mutex& DispatcherLock();
std::condition_variable_any& DispatcherCondition();

// ------------------------------------------------------------------ verifier and trace
void ResetViolations();
void ResetTrace();

// ------------------------------------------------------------------ ex
bool ShouldFail(FaultPoint point, POOL_TYPE poolType = NonPagedPool);
// Calls of the rule's pool type counted since FailNth set a typed rule.
uint64_t TypedCallCount(FaultPoint point);
void ResetPool();
void ResetFaults();
// Names freed memory in a report of a write after the free; put into words
// only then, since every free makes one. A pool block has a sequence number.
struct FreedWhat {
  const char* kind;
  size_t poolBytes = 0;
  uint64_t poolSequence = 0;
};
void ResetControlOutcomes();
// Freed memory: filled with kFreedMemoryFill and kept a while (outside ASan)
// before it really goes.
// `release` gets the memory and its size when it leaves.
void ReleaseToHeap(void* memory, size_t bytes);
void RetireMemory(void* memory, size_t bytes, const FreedWhat& what,
                  void (*release)(void*, size_t) = ReleaseToHeap);
// Memory the host has finished with is kept for reuse, except under ASan,
// whose own quarantine and reports must see each block go.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kRecycleMemory = false;
#else
constexpr bool kRecycleMemory = true;
#endif
// Heap blocks kept per thread for reuse (none under ASan): a block of exactly
// `bytes` allocated with malloc, or null; Recycle keeps one or frees it.
void* TakeRecycled(size_t bytes);
void Recycle(void* block, size_t bytes);
// The outstanding pool block that starts at `address`, found by hash.
bool FindPoolBlock(const void* address, PoolBlock* found);
// Reports every quarantined block written after it was freed.
void CheckQuarantine();
void ResetQuarantine();
// Pageable memory (paged pool) lives on pages of its own that are protected
// while any thread runs at DISPATCH_LEVEL or above; a thread at such an IRQL
// that touches one is reported when it drops below DISPATCH_LEVEL (or at
// CheckLeaks). Off under the sanitizers, whose own heap checks matter more.
void PagedGuardRaise();
void PagedGuardLower();
void ReportPagedTouches();

// ------------------------------------------------------------------ ob
enum class ObjectKind { Device, Driver, File, Event, Other };
struct ObjectType {
  const char* name;
  ObjectKind kind;
};
extern ObjectType g_DeviceType, g_DriverType, g_FileType, g_EventType;

// Registers a host-allocated object body with one reference; `destroy` runs
// when the last reference goes.
void ObInsert(void* body, ObjectType* type, std::function<void(void*)> destroy,
              const std::string& description);
ObjectType* ObTypeOf(const void* body);
// A reference to a live object of `type` (any type if null), under one hold
// of the object manager's lock; false, and no reference, otherwise.
bool ObReferenceIfType(void* body, ObjectType* type);
// ObfDereferenceObject of each, under one hold of the object manager's lock;
// objects whose last reference goes are destroyed after it.
void ObDereferenceEach(const std::vector<PDEVICE_OBJECT>& objects);
bool ObIsLive(const void* body);
void ObReset();
size_t ObLiveCount();
std::vector<std::string> ObLiveDescriptions();

// Handle tables: one per process, and the kernel's (handles with the top bit set).
struct HandleEntry {
  void* object;
  ACCESS_MASK granted;
};
struct HandleTable {
  HostLock lock;
  std::vector<HandleEntry> entries;  // index = handle / 4 - 1
  bool kernel = false;
};
HANDLE InsertHandle(HandleTable& table, void* object, ACCESS_MASK granted);
bool RemoveHandle(HandleTable& table, HANDLE handle, HandleEntry* removed);
HandleTable& KernelHandleTable();
// The process on whose behalf the current thread runs (null: the system).
HandleTable*& CurrentProcessHandles();
ACCESS_MASK MapEventAccess(ACCESS_MASK desired);
ACCESS_MASK MapFileAccess(ACCESS_MASK desired);

// ------------------------------------------------------------------ io
struct DeviceInfo;
DeviceInfo* DeviceInfoOf(PDEVICE_OBJECT device);  // null if unknown
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);
// DeviceDeleted of each, under one hold of the I/O manager's lock.
std::vector<char> DevicesDeleted(const std::vector<PDEVICE_OBJECT>& devices);
void IoReset();
size_t LiveIrpCount();
size_t UndeletedDeviceCount();
size_t LiveDeviceCount();
std::vector<std::string> LiveIrpDescriptions();

// What a request the host made is, put into words only when a leak report
// names it: every request has one.
struct RequestLabel {
  enum Kind { Sent, Synchronous, KernelControl, DevicePower } kind = Sent;
  ULONG first = 0;   // major; the control code; the device power state
  ULONG second = 0;  // minor
};
std::string Describe(const RequestLabel& label);

// How a request the host made finishes once every stack location has completed.
struct HostRequest {
  std::function<void(PIRP)> onComplete;  // runs at the end of the completion walk
  std::shared_ptr<void> sender;          // what onComplete writes to, kept while the request lives
  bool completed = false;                // the walk reached the top
  int startNextPowerLocation = -1;       // power: location that called PoStartNextPowerIrp
  PDEVICE_OBJECT startNextPowerDevice = nullptr;  // ... and the device that owned it then
  bool builtForDriver = false;           // IoBuild*Request: a driver sends it itself
  RequestLabel label;
};
PIRP AllocateHostIrp(CHAR stackSize, const RequestLabel& label);
HostRequest* HostRequestOf(PIRP irp);
// Frees (poisons and retires) a request; the host calls it when a request it
// owns has completed, as the I/O manager frees its requests then.
void FreeHostIrp(PIRP irp);
bool IsLiveIrp(PIRP irp);
// The rules for what a driver hands to the driver below it (Plug and Play
// status, IRQL, PoStartNextPowerIrp); called for every request passed down.
void CheckPassedDown(PDEVICE_OBJECT lower, PIRP irp);
// Lays out a control request's buffers as the I/O manager does for the code's
// transfer method: a system buffer (buffered: max(in, out) bytes, input first,
// `fill` repeated after it, byte i being fill[i % 4]; direct: the input only),
// an MDL for a direct method's output, the caller's own pointers for METHOD_NEITHER.
struct ControlBuffers {
  uint8_t* system = nullptr;  // owned: FreeControlBuffers
  size_t systemBytes = 0;
  PMDL mdl = nullptr;         // owned: FreeControlBuffers
};
ControlBuffers SetUpControlBuffers(PIRP irp, PIO_STACK_LOCATION stack, ULONG code, const void* input,
                                   ULONG inputLength, void* output, ULONG outputLength,
                                   const uint8_t (&fill)[4]);
void FreeControlBuffers(ControlBuffers& buffers);
NTSTATUS CreateFileObjectAndOpen(PDEVICE_OBJECT device, const std::u16string& remainder,
                                 KPROCESSOR_MODE mode, PFILE_OBJECT* fileObject);
void CloseFileObject(PFILE_OBJECT fileObject, KPROCESSOR_MODE mode);

// Named hooks (tests hold a thread at a point inside the host).
void RunHook(const char* point);

// ------------------------------------------------------------------ pnp / po
void PnpReset();
void PoReset();
void RecordInvalidation(PDEVICE_OBJECT pdo, DEVICE_RELATION_TYPE type);
// The I/O manager tells the Plug and Play manager of deletions, opens and closes.
void PnpDeviceDeleted(PDEVICE_OBJECT device);
void PnpFileOpened(PDEVICE_OBJECT device);
void PnpFileClosed(PDEVICE_OBJECT device);

}  // namespace khost
