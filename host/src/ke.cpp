// Kernel host: the kernel core. Each thread carries its own IRQL; spin locks
// raise it to DISPATCH_LEVEL and really exclude other threads; dispatcher
// objects (events) have real waits.
#include <set>
#include <thread>

#include "internal.h"
#include "ptrmap.h"

namespace khost {
namespace {
thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local std::vector<PKSPIN_LOCK> t_heldLocks;
std::mutex g_dispatcherLock;
std::condition_variable_any g_dispatcherCondition;
// Threads blocked (or about to block) in a wait, counted under the dispatcher
// lock: a set that finds none wakes nobody and takes no lock. Sequentially
// consistent on both sides, so either the set sees the waiter or the waiter's
// check sees the set.
std::atomic<int> g_blockedWaiters{0};
}  // namespace

KIRQL& ThreadIrql() { return t_irql; }

#if !defined(__SANITIZE_THREAD__)
void HostLock::WaitForIt() {
  for (;;) {
    for (int spin = 0; spin < 64; ++spin) {
      if (!held_.load(std::memory_order_relaxed) && !held_.exchange(true, std::memory_order_acquire)) return;
      __builtin_ia32_pause();
    }
    std::this_thread::yield();
  }
}

void HostRecursiveLock::lock() {
  if (owner_.load(std::memory_order_relaxed) == PsGetCurrentThreadId()) {
    ++depth_;
    return;
  }
  lock_.lock();
  owner_.store(PsGetCurrentThreadId(), std::memory_order_relaxed);
  depth_ = 1;
}

bool HostRecursiveLock::try_lock() {
  if (owner_.load(std::memory_order_relaxed) == PsGetCurrentThreadId()) {
    ++depth_;
    return true;
  }
  if (!lock_.try_lock()) return false;
  owner_.store(PsGetCurrentThreadId(), std::memory_order_relaxed);
  depth_ = 1;
  return true;
}

void HostRecursiveLock::unlock() {
  if (--depth_ == 0) {
    owner_.store(nullptr, std::memory_order_relaxed);
    lock_.unlock();
  }
}
#endif

// Every change of a thread's IRQL goes through here, so pageable memory is
// hidden while any thread runs at DISPATCH_LEVEL or above.
void SetIrql(KIRQL irql) {
  KIRQL old = t_irql;
  t_irql = irql;
  if (old < DISPATCH_LEVEL && irql >= DISPATCH_LEVEL) {
    PagedGuardRaise();
  } else if (old >= DISPATCH_LEVEL && irql < DISPATCH_LEVEL) {
    PagedGuardLower();
    ReportPagedTouches();
  }
}
int HeldSpinLocks() { return static_cast<int>(t_heldLocks.size()); }

namespace {
struct ListGuard {
  const LIST_ENTRY* head;
  PKSPIN_LOCK lock;
  std::string what;
};
HostLock g_listGuardLock;
// By head: every step of a check's walk asks whether it has reached one, and a
// bus guards hundreds of heads. The same heads in address order serve the
// deletion of every device object, which forgets the heads inside it.
PointerMap<const LIST_ENTRY*, ListGuard> g_listGuards;
std::set<uintptr_t> g_guardedHeads;
}  // namespace

void GuardList(PLIST_ENTRY head, PKSPIN_LOCK lock, const std::string& what) {
  std::lock_guard<HostLock> hold(g_listGuardLock);
  g_listGuards[head] = ListGuard{head, lock, what};
  g_guardedHeads.insert(reinterpret_cast<uintptr_t>(head));
  __atomic_store_n(&KhostGuardedLists, 1, __ATOMIC_RELEASE);
}

void ForgetListGuardsIn(const void* first, size_t bytes) {
  std::lock_guard<HostLock> hold(g_listGuardLock);
  const uintptr_t begin = reinterpret_cast<uintptr_t>(first);
  auto it = g_guardedHeads.lower_bound(begin);
  while (it != g_guardedHeads.end() && *it - begin < bytes) {
    g_listGuards.erase(reinterpret_cast<const LIST_ENTRY*>(*it));
    it = g_guardedHeads.erase(it);
  }
  __atomic_store_n(&KhostGuardedLists, g_listGuards.empty() ? 0 : 1, __ATOMIC_RELEASE);
}

void ResetListGuards() {
  std::lock_guard<HostLock> hold(g_listGuardLock);
  g_listGuards.clear();
  g_guardedHeads.clear();
  __atomic_store_n(&KhostGuardedLists, 0, __ATOMIC_RELEASE);
}
namespace {
struct SpinLockHook {
  PKSPIN_LOCK lock;
  SpinLockMoment moment;
  uint64_t remaining;  // events of this kind still to pass before it runs
  std::function<void()> hook;
};
HostLock g_spinHookLock;
std::vector<SpinLockHook> g_spinHooks;
// Checked without the mutex first: drivers take spin locks on every request.
std::atomic<bool> g_spinHooksArmed{false};

void RunSpinLockHook(PKSPIN_LOCK lock, SpinLockMoment moment) {
  if (!g_spinHooksArmed.load(std::memory_order_acquire)) return;
  std::function<void()> due;
  {
    std::lock_guard<HostLock> hold(g_spinHookLock);
    for (auto it = g_spinHooks.begin(); it != g_spinHooks.end(); ++it) {
      if (it->lock != lock || it->moment != moment || --it->remaining > 0) continue;
      due = std::move(it->hook);
      g_spinHooks.erase(it);
      break;
    }
    g_spinHooksArmed.store(!g_spinHooks.empty(), std::memory_order_release);
  }
  if (due) due();
}
}  // namespace

void OnSpinLock(PKSPIN_LOCK lock, SpinLockMoment moment, uint64_t nth, std::function<void()> hook) {
  std::lock_guard<HostLock> hold(g_spinHookLock);
  g_spinHooks.push_back({lock, moment, nth == 0 ? 1 : nth, std::move(hook)});
  g_spinHooksArmed.store(true, std::memory_order_release);
}

void ClearSpinLockHooks() {
  std::lock_guard<HostLock> hold(g_spinHookLock);
  g_spinHooks.clear();
  g_spinHooksArmed.store(false, std::memory_order_release);
}

KIRQL CurrentIrql() { return t_irql; }
std::mutex& DispatcherLock() { return g_dispatcherLock; }
std::condition_variable_any& DispatcherCondition() { return g_dispatcherCondition; }

void SignalDispatcherChange() {
  { std::lock_guard<std::mutex> hold(g_dispatcherLock); }
  g_dispatcherCondition.notify_all();
}

void RequireIrqlAtMost(KIRQL max, const char* routine) {
  if (t_irql > max)
    ReportViolation("irql-too-high", Format("%s called at IRQL %d (at most %d allowed)", routine,
                                            t_irql, max));
}

void ResetThreadState() {
  SetIrql(PASSIVE_LEVEL);
  t_heldLocks.clear();
}

void RunAtIrql(KIRQL irql, const std::function<void()>& fn) {
  std::thread worker([&] {
    SetIrql(irql);
    fn();
    if (!t_heldLocks.empty())
      ReportViolation("spin-lock-leaked", "a thread ended holding a spin lock");
    SetIrql(PASSIVE_LEVEL);
  });
  worker.join();
}

void RunAtIrqlOnThreads(KIRQL irql, size_t threads, const std::function<void(size_t index)>& fn) {
  std::mutex gate;
  std::condition_variable_any opened;
  size_t ready = 0;
  std::vector<std::thread> workers;
  for (size_t index = 0; index < threads; ++index) {
    workers.emplace_back([&, index] {
      {
        // Every thread starts its work only once all of them exist.
        std::unique_lock<std::mutex> hold(gate);
        if (++ready == threads) opened.notify_all();
        opened.wait(hold, [&] { return ready == threads; });
      }
      SetIrql(irql);
      fn(index);
      if (!t_heldLocks.empty())
        ReportViolation("spin-lock-leaked", "a thread ended holding a spin lock");
      SetIrql(PASSIVE_LEVEL);
    });
  }
  for (std::thread& worker : workers) worker.join();
}

}  // namespace khost

using namespace khost;

extern "C" {

volatile int KhostGuardedLists = 0;

// The list an entry or head belongs to is found by following Flink round to
// a guarded head; a private list never reaches one, and is walked whole.
// The guarded head of the list `Where` is on is looked for in both directions
// at once: an entry near either end of a long list (the oldest child, the
// newest record) finds it in a few steps.
void KhostCheckListAccess(const LIST_ENTRY* Where) {
  std::lock_guard<HostLock> hold(g_listGuardLock);
  auto guardAt = [](const LIST_ENTRY* at) -> const ListGuard* {
    auto it = g_listGuards.find(at);
    return it == g_listGuards.end() ? nullptr : &it->second;
  };
  const ListGuard* found = guardAt(Where);
  const LIST_ENTRY* forward = Where;
  const LIST_ENTRY* backward = Where;
  for (int step = 0; !found && step < 100000; ++step) {
    forward = forward->Flink;
    if (!forward || forward == backward) break;  // the two met: every entry was seen
    if ((found = guardAt(forward))) break;
    backward = backward->Blink;
    if (!backward || backward == forward) break;
    found = guardAt(backward);
  }
  if (!found) return;
  for (PKSPIN_LOCK held : t_heldLocks)
    if (held == found->lock) return;
  ReportViolation("list-without-lock", found->what + " was changed without the spin lock that guards it held");
}

KIRQL KeGetCurrentIrql(void) { return t_irql; }

// One distinct address per live host thread serves as its thread ID.
HANDLE PsGetCurrentThreadId(void) {
  static thread_local char thread;
  return reinterpret_cast<HANDLE>(&thread);
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
  if (NewIrql < t_irql)
    ReportViolation("irql-not-greater", Format("KeRaiseIrql to %d from %d", NewIrql, t_irql));
  *OldIrql = t_irql;
  SetIrql(NewIrql);
}

VOID KeLowerIrql(KIRQL NewIrql) {
  if (NewIrql > t_irql)
    ReportViolation("irql-not-less", Format("KeLowerIrql to %d from %d", NewIrql, t_irql));
  SetIrql(NewIrql);
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLockRaiseToDpc");
  for (PKSPIN_LOCK held : t_heldLocks) {
    if (held == SpinLock) {
      ReportViolation("spin-lock-recursion", "a thread acquired a spin lock it already holds");
      std::abort();  // the machine would hang here
    }
  }
  RunSpinLockHook(SpinLock, SpinLockMoment::BeforeAcquire);
  KIRQL old = t_irql;
  SetIrql(DISPATCH_LEVEL);
  ULONG_PTR expected = 0;
  while (!__atomic_compare_exchange_n(SpinLock, &expected, 1, false, __ATOMIC_ACQUIRE,
                                      __ATOMIC_RELAXED)) {
    expected = 0;
    std::this_thread::yield();
  }
  t_heldLocks.push_back(SpinLock);
  return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  bool found = false;
  for (size_t i = t_heldLocks.size(); i-- > 0;) {
    if (t_heldLocks[i] == SpinLock) {
      t_heldLocks.erase(t_heldLocks.begin() + static_cast<long>(i));
      found = true;
      break;
    }
  }
  if (!found) {
    ReportViolation("spin-lock-not-held", "KeReleaseSpinLock of a lock this thread does not hold");
    return;
  }
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
  if (NewIrql > t_irql)
    ReportViolation("irql-not-less", "KeReleaseSpinLock restores a higher IRQL");
  SetIrql(NewIrql);
  RunSpinLockHook(SpinLock, SpinLockMoment::AfterRelease);
}

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Event->Header.Type = static_cast<UCHAR>(Type);
  __atomic_store_n(&Event->Header.SignalState, State ? 1 : 0, __ATOMIC_RELEASE);
  Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
  (void)Increment;
  // A caller that goes on to wait at once must be able to wait.
  RequireIrqlAtMost(Wait ? APC_LEVEL : DISPATCH_LEVEL, Wait ? "KeSetEvent (Wait)" : "KeSetEvent");
  LONG previous = __atomic_exchange_n(&Event->Header.SignalState, 1, __ATOMIC_SEQ_CST);
  if (g_blockedWaiters.load(std::memory_order_seq_cst) == 0) return previous;
  { std::lock_guard<std::mutex> hold(g_dispatcherLock); }
  g_dispatcherCondition.notify_all();
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) { __atomic_store_n(&Event->Header.SignalState, 0, __ATOMIC_RELEASE); }

LONG KeResetEvent(PRKEVENT Event) {
  return __atomic_exchange_n(&Event->Header.SignalState, 0, __ATOMIC_ACQ_REL);
}

LONG KeReadStateEvent(PRKEVENT Event) { return __atomic_load_n(&Event->Header.SignalState, __ATOMIC_ACQUIRE); }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
  (void)WaitReason;
  (void)WaitMode;
  (void)Alertable;
  bool zeroTimeout = Timeout && Timeout->QuadPart == 0;
  if (!zeroTimeout) RequireIrqlAtMost(APC_LEVEL, "KeWaitForSingleObject");
  if (!zeroTimeout && HeldSpinLocks() > 0)
    ReportViolation("wait-with-spin-lock", "KeWaitForSingleObject while holding a spin lock");
  PKEVENT event = static_cast<PKEVENT>(Object);
  if (!zeroTimeout && __atomic_load_n(&event->Header.SignalState, __ATOMIC_ACQUIRE) == 0) RunHook("wait-blocks");
  // A synchronization event is taken by exactly one waiter: the check and the
  // reset are one exchange, so a waiter that finds it set takes no lock.
  const bool synchronization = event->Header.Type == SynchronizationEvent;
  auto signalled = [&] {
    if (!synchronization) return __atomic_load_n(&event->Header.SignalState, __ATOMIC_SEQ_CST) != 0;
    LONG set = 1;
    return __atomic_compare_exchange_n(&event->Header.SignalState, &set, 0, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
  };
  if (signalled()) return STATUS_SUCCESS;
  std::unique_lock<std::mutex> hold(g_dispatcherLock);
  g_blockedWaiters.fetch_add(1, std::memory_order_seq_cst);
  bool woken = true;
  if (Timeout) {
    // Relative timeouts are negative 100 ns units; absolute ones are treated as relative.
    LONGLONG units = Timeout->QuadPart < 0 ? -Timeout->QuadPart : Timeout->QuadPart;
    woken = g_dispatcherCondition.wait_for(hold, std::chrono::microseconds(units / 10), signalled);
  } else {
    g_dispatcherCondition.wait(hold, signalled);
  }
  g_blockedWaiters.fetch_sub(1, std::memory_order_seq_cst);
  return woken ? STATUS_SUCCESS : 0x102;  // STATUS_TIMEOUT
}

LONG InterlockedIncrement(volatile LONG* Addend) { return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedDecrement(volatile LONG* Addend) { return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST); }
LONG InterlockedExchange(volatile LONG* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}
PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                        PVOID Comparand) {
  __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  return Comparand;
}

}  // extern "C"
