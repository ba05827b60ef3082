// Kernel host: the harness side. Tests, tools and the demo use this to boot
// drivers, act as the Plug and Play, power and I/O managers and as a user-mode
// service, inject the platform's failures and read what the verifier saw.
//
// Everything here is ordinary C++; the kernel side that drivers see is wdm.h.
#pragma once

#include <ntddk.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace khost {

// ------------------------------------------------------------------ strings
std::u16string U16(const char* ascii);
std::u16string U16(const WCHAR* text);  // up to the terminating null
std::string Narrow(const std::u16string& text);
std::string Narrow(const WCHAR* text, size_t chars);
// The strings of a wide multi-string, up to (not including) its first empty string.
std::vector<std::u16string> SplitMultiSz(const WCHAR* text, size_t maxChars);
std::u16string JoinMultiSz(const std::vector<std::u16string>& strings);  // with both closing nulls

// ------------------------------------------------------------------ verifier
struct Violation {
  std::string check;   // short name of the rule, e.g. "irp-completed-twice"
  std::string detail;  // what happened, with the routine and object involved
};
// Everything the verifier has reported since the last Take/Reset.
std::vector<Violation> Violations();
std::vector<Violation> TakeViolations();
bool HasViolation(const std::string& check);
std::string DescribeViolations(const std::vector<Violation>& violations);
// Raised by the host itself for a broken rule; also callable by test drivers.
void ReportViolation(const std::string& check, const std::string& detail);

// ------------------------------------------------------------------ trace
// Lines written through DbgPrint, one per "\r\n", without the line end.
std::vector<std::string> TraceLines();
std::vector<std::string> TakeTraceLines();
void SetTraceEcho(bool echo);  // also print every line to stderr

// ------------------------------------------------------------------ pool
struct PoolBlock {
  const void* address;
  size_t bytes;
  ULONG tag;
  POOL_TYPE type;
  uint64_t sequence;
};
std::vector<PoolBlock> OutstandingPool();
size_t PoolAllocationCount();  // successful allocations since Reset
// Freed pool and completed requests are filled with this byte and kept a while
// before the memory goes (under ASan they go at once and ASan reports a late
// touch); a write after the free is reported when the block leaves or at CheckLeaks.
constexpr uint8_t kFreedMemoryFill = 0xFD;
// The largest single allocation the pool grants (default 1 TiB, until the next
// Reset); larger requests fail as on a machine with less memory. Lets a test
// ask for a size no real machine would hand out without the host trying to.
void SetLargestPoolAllocation(size_t bytes);

// ------------------------------------------------------------------ fault injection
enum class FaultPoint {
  PoolAllocation,
  CreateDevice,
  CreateSymbolicLink,
  AttachDevice,
  BuildSynchronousFsdRequest,
  PoRequestPowerIrp,
  // The device below a root-enumerated stack fails a request it may refuse
  // (start, query-remove, query-stop, capabilities, query-power) with
  // STATUS_INSUFFICIENT_RESOURCES instead of answering it.
  LowerDeviceStatus,
  kCount
};
const char* FaultPointName(FaultPoint point);
// Fail the nth call (1-based, counted from now) of a routine; for pool, optionally
// only calls for one pool type count.
void FailNth(FaultPoint point, uint64_t nth, std::optional<POOL_TYPE> poolType = std::nullopt);
// Fail every call until cleared.
void FailAlways(FaultPoint point, bool fail);
void ClearFaults();
// Calls made of a routine since Reset (failed ones included).
uint64_t CallCount(FaultPoint point);
uint64_t InjectedFailures();
// FailNth and FailAlways calls since the process started (never reset): lets a
// runner that arms faults itself tell whether a scenario armed its own.
uint64_t FaultArmings();
// While one is alive, the calling thread's calls are neither counted nor
// failed: for harness code that uses the routines for its own set-up.
class FaultExemption {
 public:
  FaultExemption();
  ~FaultExemption();
  FaultExemption(const FaultExemption&) = delete;
  FaultExemption& operator=(const FaultExemption&) = delete;
};

// Systematic mode: one scenario, failing each call of a routine in turn.
struct FaultRun {
  uint64_t failedCall = 0;  // the call made to fail (1-based); 0 for the counting run
  bool injected = false;    // the scenario reached that call and it failed
  std::vector<Violation> violations;  // what the verifier saw, leak checks included
  std::string summary;                // CheckLeaks' summary of what was left
};
// Runs `scenario` once on a fresh host to count the calls of `point` (for pool,
// optionally only those of one pool type), then once for each call 1..N with
// that call failing. The host is Reset before every run and after the last,
// and every run ends with CheckLeaks, so each run's violations include what it
// left behind. The scenario must tear down everything it set up, failure or
// not. The counting run comes first in the result, with failedCall 0.
std::vector<FaultRun> RunFailingEachCall(FaultPoint point, const std::function<void()>& scenario,
                                         std::optional<POOL_TYPE> poolType = std::nullopt);

// ------------------------------------------------------------------ IRQL and threads
// Run fn on a new thread at the given IRQL and wait for it.
void RunAtIrql(KIRQL irql, const std::function<void()>& fn);
// Run fn(0) .. fn(threads - 1) on that many new threads at the given IRQL,
// released together (as several processors calling a driver at once), and
// wait for all of them.
void RunAtIrqlOnThreads(KIRQL irql, size_t threads, const std::function<void(size_t index)>& fn);
KIRQL CurrentIrql();

// Ties a driver's list to the spin lock that guards it: from now on every
// insertion or removal on it (the list macros) with that lock not held by the
// calling thread is reported ("list-without-lock"). Forgotten when the device
// whose extension holds the head is deleted, and at Reset.
void GuardList(PLIST_ENTRY head, PKSPIN_LOCK lock, const std::string& what);

// ------------------------------------------------------------------ objects
struct ObjectSummary {
  size_t liveObjects = 0;      // objects whose last reference has not gone
  size_t liveDevices = 0;      // device objects not yet freed
  size_t undeletedDevices = 0; // device objects never passed to IoDeleteDevice
  size_t liveIrps = 0;         // requests not completed to the end
  size_t namespaceEntries = 0; // device names and links
};
ObjectSummary Objects();
LONG_PTR ReferenceCount(const void* object);  // -1 if not a live object
bool IsLiveObject(const void* object);
bool DeviceDeleted(PDEVICE_OBJECT device);  // IoDeleteDevice was called
std::vector<std::u16string> NamespaceNames();
// The device a name or link resolves to (links followed), or null.
PDEVICE_OBJECT LookupDevice(const std::u16string& ntName);

// ------------------------------------------------------------------ drivers
// Loads a driver image: creates its driver object and calls its entry point.
PDRIVER_OBJECT LoadDriver(const std::u16string& serviceName, DRIVER_INITIALIZE* entry,
                          NTSTATUS* status = nullptr);
// Calls the unload routine and frees the driver object; its devices must be
// deleted. While a deleted device of the driver is still referenced (an open
// file object on it), the unload waits, as the kernel's does: the routine runs
// when the last such reference goes.
void UnloadDriver(PDRIVER_OBJECT driver);
bool UnloadPending(PDRIVER_OBJECT driver);
std::vector<PDEVICE_OBJECT> DevicesOf(PDRIVER_OBJECT driver);

// ------------------------------------------------------------------ requests
struct RequestResult {
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  bool pendingReturned = false;  // the dispatch routine returned STATUS_PENDING
};
// Builds a request for the top of `device`'s stack with one stack location per
// device, lets `setup` fill the first location, sends it and waits for it.
RequestResult SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                      const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup,
                      NTSTATUS initialStatus, KPROCESSOR_MODE mode = KernelMode,
                      bool toTopOfStack = true);
// A control request as a driver above sends one: built as
// IoBuildDeviceIoControlRequest builds it (KernelMode, buffers laid out for the
// code's transfer method, freed by its completion), sent to the top of
// `device`'s stack and waited for. `internal` picks
// IRP_MJ_INTERNAL_DEVICE_CONTROL, which only kernel-mode senders can send.
RequestResult SendKernelControl(PDEVICE_OBJECT device, ULONG code, const void* input, ULONG inputLength,
                                void* output, ULONG outputLength, bool internal = false);
// How long SendIrp waits for a request its dispatch left pending before it
// reports "irp-not-completed" and abandons it (30 s until the next Reset).
void SetPendingRequestTimeout(std::chrono::milliseconds timeout);

// A hook that lets a test hold a thread at a named point inside the host
// ("create-device", "attach-device", "remove-lock-acquire", "delete-device",
// "invalidate-relations").
// "remove-lock-acquired" runs once a remove lock is held, "remove-lock-wait"
// just before IoReleaseRemoveLockAndWait blocks for the requests still inside,
// "wait-blocks" when KeWaitForSingleObject finds its event not set and is
// about to block. Hooks run on the thread that reaches the point; a test tells
// its threads apart itself.
// Clearing also drops the spin-lock hooks below.
void SetHook(const std::string& point, std::function<void()> hook);
void ClearHooks();

// Interleavings at a driver's spin lock: `hook` runs once, on whichever thread
// makes the nth (1-based, counted from now) acquisition or release of `lock`.
// Before an acquisition it runs at the caller's IRQL with the lock not yet
// taken; after a release, with the lock free and the caller's IRQL restored.
// Another thread started and joined inside the hook runs exactly between the
// driver's two steps, as another processor could.
enum class SpinLockMoment { BeforeAcquire, AfterRelease };
void OnSpinLock(PKSPIN_LOCK lock, SpinLockMoment moment, uint64_t nth, std::function<void()> hook);

// ------------------------------------------------------------------ Plug and Play manager
enum class DevNodeState {
  Enumerated,       // reported, identified, no driver started
  Started,
  StopPending,      // query-stop accepted
  Stopped,
  RemovePending,    // query-remove accepted
  Disabled,         // removed while its parent still reports it
  SurpriseRemoved,  // surprise removal sent; removal follows
  Removed,          // gone from the tree
  Failed            // AddDevice or start failed
};
const char* DevNodeStateName(DevNodeState state);

// What a root-enumerated device's physical device object answers; tests change it.
struct RootPdoConfig {
  NTSTATUS startStatus = STATUS_SUCCESS;
  bool startPendsOnAnotherThread = false;  // STATUS_PENDING, completed later from a thread
  NTSTATUS cancelStatus = STATUS_SUCCESS;  // cancel-stop and cancel-remove
  NTSTATUS capabilitiesStatus = STATUS_SUCCESS;
  bool capabilitiesPend = false;           // answered later from another thread
  DEVICE_CAPABILITIES capabilities{};      // copied into a capabilities query (not Size/Version)
  RootPdoConfig();
};

// What the root bus's physical device object, the bottom of a root-enumerated
// stack, received of one request: what the driver above handed down.
struct LowerRequest {
  UCHAR major = 0, minor = 0;
  NTSTATUS arrivedWith = 0;    // the request's status as it arrived
  ULONG_PTR information = 0;   // and its Information
  KIRQL irql = PASSIVE_LEVEL;
  bool startNextPowerCalled = false;  // power: a driver above had called PoStartNextPowerIrp
};

struct DevNode {
  std::string label;  // for printing
  PDEVICE_OBJECT pdo = nullptr;
  DevNode* parent = nullptr;
  std::vector<DevNode*> children;
  DevNodeState state = DevNodeState::Enumerated;
  RootPdoConfig* root = nullptr;  // root-enumerated devices only
  PDRIVER_OBJECT functionDriver = nullptr;
  // What the device answered while it was enumerated.
  std::u16string deviceId, instanceId, description, location;
  std::vector<std::u16string> hardwareIds, compatibleIds;
  NTSTATUS deviceIdStatus = 0, instanceIdStatus = 0, hardwareIdsStatus = 0, compatibleIdsStatus = 0;
  NTSTATUS descriptionStatus = 0, locationStatus = 0, capabilitiesStatus = 0, containerIdStatus = 0;
  DEVICE_CAPABILITIES capabilities{};
  // Each ID and text answer exactly as handed over: every byte of its pool
  // block, keyed "device ID", "instance ID", "container ID", "description",
  // "location", "hardware IDs" or "compatible IDs".
  std::map<std::string, std::vector<uint8_t>> answers;
  NTSTATUS lastStartStatus = 0;
  std::vector<std::string> history;  // every request the manager sent, with its status
  // Root-enumerated devices: every request the physical device object received
  // (read it with PnpManager::LowerRequests while requests may still run).
  std::vector<LowerRequest> lowerRequests;
  bool removeSent = false;      // the manager's IRP_MN_REMOVE_DEVICE has gone out to the stack
  bool removalPending = false;  // surprise-removed; the removal waits for the last handle to close
  // The manager's bookkeeping, so that a relations answer costs time linear in
  // the children: the device instance path (upper case, empty without IDs),
  // whether it is counted in the parent's childPaths, the children's paths
  // with how many children hold each, and the last answer that listed it.
  std::u16string instancePath;
  bool pathCounted = false;
  std::unordered_map<std::u16string, size_t> childPaths;
  uint64_t listedIn = 0;
};

// What Disable and a Windows-style Remove return when the manager vetoes the
// query-remove itself (a handle is open in the subtree): STATUS_PLUGPLAY_QUERY_VETOED.
inline constexpr NTSTATUS kQueryRemoveVetoed = static_cast<NTSTATUS>(0x80000028L);

enum class RemovalStyle {
  Windows,  // query-remove, then removal, children before parents
  Wine      // surprise removal children first, then the device; then removals the same way
};

class PnpManager {
 public:
  // Function drivers the manager loads on devices whose hardware or compatible
  // IDs match (case-insensitive, hardware IDs first).
  void RegisterFunctionDriver(const std::u16string& id, PDRIVER_OBJECT driver);
  // A root-enumerated device node for `driver`: creates its physical device
  // object, calls AddDevice and sends the start request.
  // With `start` false the node stays after AddDevice, not yet started.
  DevNode* AddRootDevice(const std::string& label, PDRIVER_OBJECT driver,
                         const RootPdoConfig& config = RootPdoConfig(), bool start = true);
  // Sends one Plug and Play request to the top of a device node's stack, as
  // the manager does (status pre-set to STATUS_NOT_SUPPORTED).
  RequestResult Send(DevNode* node, UCHAR minor,
                     const std::function<void(PIRP, PIO_STACK_LOCATION)>& setup = nullptr);
  // Runs the queued relations invalidations (and those they cause) to the end.
  // Returns how many relations queries were sent.
  int ProcessInvalidations();
  size_t PendingInvalidations();
  // A background thread that processes invalidations as they come.
  void StartWorker();
  void StopWorker();

  NTSTATUS Start(DevNode* node);
  NTSTATUS Rebalance(DevNode* node);  // query-stop, stop, start (cancel-stop on refusal)
  // Disable: query-remove then removal; the parent still reports the device.
  NTSTATUS Disable(DevNode* node);
  // Re-enable a disabled device: AddDevice and start again.
  NTSTATUS Enable(DevNode* node);
  // Surprise removal only; the removal follows with CompleteSurpriseRemoval.
  void SurpriseRemove(DevNode* node);
  // Windows sends the removal once the last handle open on a stack of the
  // subtree is closed: with one still open it is left pending (the node's
  // removalPending) and sent by the close. Wine sends it at once. Returns
  // whether the removal was sent (and the node deleted).
  bool CompleteSurpriseRemoval(DevNode* node, RemovalStyle style = RemovalStyle::Windows);
  // File objects open on the stacks of a node and its descendants.
  size_t OpenHandles(DevNode* node);
  // Removes a device node and its subtree as the given platform does.
  NTSTATUS Remove(DevNode* node, RemovalStyle style = RemovalStyle::Windows);

  DevNode* Root() { return &root_; }
  std::vector<DevNode*> Children(DevNode* node) const { return node->children; }
  DevNode* FindByPdo(PDEVICE_OBJECT pdo);
  // What a root-enumerated node's physical device object has received so far.
  std::vector<LowerRequest> LowerRequests(DevNode* node);
  std::vector<DevNode*> AllNodes();
  // The device tree as text, one node a line.
  std::string Describe();
  int relationsQueries = 0;

  void ResetState();
  void JoinThreads();

 private:
  friend void RecordInvalidation(PDEVICE_OBJECT, DEVICE_RELATION_TYPE);
  void Enumerate(DevNode* node);
  void IdentifyChild(DevNode* child);
  void LoadFunctionDriver(DevNode* node);
  void SendRemoval(DevNode* node);
  void SendNewDeviceQueries(DevNode* node);
  NTSTATUS QueryRemoveSubtree(const std::vector<DevNode*>& order);
  void FinishSurpriseRemoval(DevNode* node);
  friend void PnpFileClosed(PDEVICE_OBJECT device);
  void DeleteNode(DevNode* node);
  void DeleteChildren(DevNode* node);
  // The live child of `parent` each device object belongs to, or null.
  std::vector<DevNode*> ChildrenByPdo(DevNode* parent, const std::vector<PDEVICE_OBJECT>& pdos);
  void UncountPath(DevNode* parent, DevNode* child);
  void RemoveSubtreeWindows(DevNode* node);
  void CollectPostOrder(DevNode* node, std::vector<DevNode*>& out);

  DevNode root_;
  std::vector<std::pair<std::u16string, PDRIVER_OBJECT>> drivers_;
};

// The one Plug and Play manager of the host.
PnpManager& Pnp();

// ------------------------------------------------------------------ power manager
enum class PowerCallbackMode {
  Inline,   // the device request is sent and finishes inside PoRequestPowerIrp
  Deferred  // sent later from another thread; the callback runs there at DISPATCH_LEVEL
};
struct PowerReport {
  PDEVICE_OBJECT device;
  POWER_STATE_TYPE type;
  POWER_STATE state;
};
void SetPowerCallbackMode(PowerCallbackMode mode);
std::vector<PowerReport> PowerReports();  // every PoSetPowerState
// Device requests PoRequestPowerIrp issued: (device, state, final status).
struct PowerRequestRecord {
  PDEVICE_OBJECT device;
  UCHAR minor;
  POWER_STATE state;
  NTSTATUS status;
};
std::vector<PowerRequestRecord> PowerRequests();
// Sends a system set-power request for `state` to every started device node,
// children before parents when leaving the working state and parents first
// when returning to it. Leaving it is queried first (IRP_MN_QUERY_POWER, same
// order); on a refusal the nodes that agreed get a set-power back to working,
// and the result ends with the refusing node and its status. Returns each
// node's status.
std::vector<std::pair<DevNode*, NTSTATUS>> SetSystemPowerState(SYSTEM_POWER_STATE state);
RequestResult SendPower(DevNode* node, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state);
void JoinPowerThreads();

// ------------------------------------------------------------------ user mode
// A user-mode process as a service sees the system: its own handle table,
// opens through Win32 paths (\\.\Name), control requests as the I/O manager
// builds them for a user-mode caller, and events it creates and passes to
// drivers as handles.
class Process {
 public:
  explicit Process(std::string name = "service");
  ~Process();  // closes every handle still open, as process exit does
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // The handle is granted `desired` with generic rights mapped (a service
  // opens its device for reading and writing).
  HANDLE CreateFile(const std::u16string& win32Path, NTSTATUS* status = nullptr,
                    ACCESS_MASK desired = GENERIC_READ | GENERIC_WRITE);
  // A control request (IRP_MJ_DEVICE_CONTROL, UserMode; a process cannot send
  // an internal one). A code whose required access the handle lacks is refused
  // with STATUS_ACCESS_DENIED before any driver sees it. The buffers follow the
  // code's transfer method: METHOD_BUFFERED gets a system buffer of the larger
  // length, the input followed by PoisonByte, and Information bytes of it are
  // copied to `out` unless the status is an error; METHOD_IN_DIRECT and
  // METHOD_OUT_DIRECT get the input in a system buffer and `out` described by
  // Irp->MdlAddress; METHOD_NEITHER gets no system buffer, Type3InputBuffer =
  // `in` and Irp->UserBuffer = `out`. `returned` gets the request's Information.
  NTSTATUS DeviceIoControl(HANDLE file, ULONG code, const void* in, ULONG inLength, void* out,
                           ULONG outLength, ULONG_PTR* returned = nullptr);
  NTSTATUS Close(HANDLE handle);
  // An event object; the handle is granted the desired access with generic
  // rights mapped, as the kernel does when a handle is opened.
  HANDLE CreateEvent(bool manualReset, bool initialState, ACCESS_MASK desired = EVENT_ALL_ACCESS);
  bool WaitEvent(HANDLE event, std::chrono::milliseconds timeout);
  NTSTATUS ResetEvent(HANDLE event);
  // Signals one of the process's events, as SetEvent does (a service wakes its
  // own waiter with it, e.g. to stop a receive loop).
  NTSTATUS SetEvent(HANDLE event);
  size_t OpenHandles() const;
  const std::string& Name() const { return name_; }
  // The information value a control request starts with. Windows starts at 0;
  // Wine's I/O manager hands over whatever was there, so a handler that
  // answers no data must set 0 itself. Tests set a stale value to check that.
  void SetInitialInformation(ULONG_PTR value) { initialInformation_ = value; }

 private:
  struct Table;
  NTSTATUS SendControl(HANDLE file, ULONG code, const void* in, ULONG inLength, void* out, ULONG outLength,
                       ULONG_PTR* returned);
  std::string name_;
  std::unique_ptr<Table> table_;
  ULONG_PTR initialInformation_ = 0;
};

// Every control request a process sent since Reset, with the status it got back.
struct ControlOutcome {
  ULONG code;
  NTSTATUS status;
};
std::vector<ControlOutcome> ControlOutcomes();

// A kernel handle (top bit set) to a new event, for tests that pass one where
// a user handle belongs. Closed with CloseKernelHandle.
HANDLE CreateKernelEvent(PKEVENT* event = nullptr);
void CloseKernelHandle(HANDLE handle);
// The byte pattern that fills a user-mode buffered request's system buffer past its input.
uint8_t PoisonByte(size_t offset);

// ------------------------------------------------------------------ scenario
// Forget everything: pool, objects, namespace, trace, faults, violations, Plug
// and Play and power state. Call between scenarios.
void Reset();
// End-of-scenario checks: reports a violation for every pool block, object,
// reference, device object, name and request still alive. Returns a summary.
std::string CheckLeaks();

}  // namespace khost
