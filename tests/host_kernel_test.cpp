// The kernel host's core, executive, runtime library and object references:
// IRQL and spin locks, events, interlocked operations, pool and its faults,
// DbgPrint, and the verifier's checks on each.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <unordered_map>

#include "kernel_test.h"
#include "src/ptrmap.h"

namespace {

using namespace std::chrono_literals;
using Lines = std::vector<std::string>;

constexpr ULONG kTagA = 0x41414141, kTagB = 0x42424242;
constexpr KIRQL kIrqls[] = {PASSIVE_LEVEL, APC_LEVEL, DISPATCH_LEVEL};

class HostKernelTest : public KernelTest {};

PVOID Alloc(POOL_TYPE type, size_t bytes = 8, ULONG tag = kTagA) { return ExAllocatePoolWithTag(type, bytes, tag); }
void PageableRoutine() { PAGED_CODE(); }

TEST_F(HostKernelTest, EveryCoreVerifierCheckFires) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);  // set: a misused wait never blocks
  KSPIN_LOCK lock;  // free again before each case
  auto wait = [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); };
  auto atDispatch = [](std::function<void()> fn) { return [fn] { khost::RunAtIrql(DISPATCH_LEVEL, fn); }; };
  // A freed block written at `offsets`, checked, then given its poison back
  // so that the fixture's own check stays quiet.
  [[maybe_unused]] auto writtenAfterFree = [](size_t bytes, std::vector<size_t> offsets) {
    return [bytes, offsets] {
      auto* p = static_cast<volatile uint8_t*>(Alloc(NonPagedPoolNx, bytes));
      ExFreePool(const_cast<uint8_t*>(p));
      for (size_t at : offsets) p[at] = 0;
      khost::CheckLeaks();
      for (size_t at : offsets) p[at] = khost::kFreedMemoryFill;
    };
  };
  // Touches a paged block of `bytes` at DISPATCH_LEVEL; with `reopened`, one
  // where an earlier block was hidden by a raise and freed: on the page small
  // blocks share, or on whole pages freed and taken again. With `leftOpen`,
  // one on a page a raise left open because the block on it had been freed.
  [[maybe_unused]] auto pagedTouchedAtDispatch = [&](size_t bytes, bool reopened, bool leftOpen = false) {
    return [&, bytes, reopened, leftOpen] {
      if (reopened) {
        PVOID before = Alloc(PagedPool, bytes);
        khost::RunAtIrql(DISPATCH_LEVEL, [] {});
        ExFreePool(before);
        for (int i = 0; i < 5000; ++i) ExFreePool(Alloc(NonPagedPoolNx));  // out of the quarantine
      }
      if (leftOpen) {
        ExFreePool(Alloc(PagedPool, bytes));
        khost::RunAtIrql(DISPATCH_LEVEL, [] {});
      }
      auto* p = static_cast<volatile uint8_t*>(Alloc(PagedPool, bytes));
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      p[3] = 1;
      KeReleaseSpinLock(&lock, old);
      ExFreePool(const_cast<uint8_t*>(p));
    };
  };
  static LIST_ENTRY head, entries[7];  // outlive the row: the guard stays until the test ends
  auto unlockedRemoval = [&](int index) {
    return [&, index] {
      InitializeListHead(&head);
      khost::GuardList(&head, &lock, "a guarded list");
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      for (LIST_ENTRY& entry : entries) InsertTailList(&head, &entry);  // quiet: the lock is held
      RemoveEntryList(&entries[(index + 1) % 7]);
      KeReleaseSpinLock(&lock, old);
      RemoveEntryList(&entries[index]);
    };
  };
  ExpectEachReported({
      {"spin-lock-not-held", [&] { KeReleaseSpinLock(&lock, PASSIVE_LEVEL); }},
      {"spin-lock-leaked", [&] { khost::RunAtIrql(PASSIVE_LEVEL, [&] { KeAcquireSpinLockRaiseToDpc(&lock); }); }},
      {"irql-too-high",
       [&] { khost::RunAtIrql(HIGH_LEVEL, [&] { KeReleaseSpinLock(&lock, KeAcquireSpinLockRaiseToDpc(&lock)); }); }},
      {"irql-too-high", atDispatch(wait)},
      {"irql-too-high", atDispatch([&] { KeSetEvent(&event, IO_NO_INCREMENT, TRUE); })},
      {"irql-too-high", atDispatch([] { ExFreePoolWithTag(Alloc(PagedPool), 0); }), "ExAllocatePoolWithTag"},
      {"irql-not-less",
       [&] { KeAcquireSpinLockRaiseToDpc(&lock), KeReleaseSpinLock(&lock, HIGH_LEVEL), KeLowerIrql(PASSIVE_LEVEL); }},
      {"irql-not-less", [] { khost::RunAtIrql(APC_LEVEL, [] { KeLowerIrql(DISPATCH_LEVEL); }); }},
      {"irql-not-greater", atDispatch([] { KIRQL old; KeRaiseIrql(APC_LEVEL, &old); })},
      {"wait-with-spin-lock",
       [&] { KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock); wait(); KeReleaseSpinLock(&lock, old); }},
      {"pool-double-free", [] { PVOID p = Alloc(NonPagedPoolNx); ExFreePoolWithTag(p, 0); ExFreePoolWithTag(p, 0); }},
      {"pool-double-free", [&] { ExFreePoolWithTag(&lock, 0); }},  // never allocated
      // An entry finds its list's head from anywhere on it: first, middle, last.
      {"list-without-lock", unlockedRemoval(0), "a guarded list was changed without"},
      {"list-without-lock", unlockedRemoval(3), "a guarded list was changed without"},
      {"list-without-lock", unlockedRemoval(6), "a guarded list was changed without"},
      {"pool-free-null", [] { ExFreePoolWithTag(nullptr, 0); }},
      {"pool-bad-tag", [] { ExFreePoolWithTag(Alloc(NonPagedPoolNx), kTagB); }},
      {"pool-bad-type", [] { EXPECT_EQ(Alloc(static_cast<POOL_TYPE>(4)), nullptr); }},
      {"pool-zero-bytes", [] { ExFreePool(Alloc(NonPagedPoolNx, 0)); }},
      {"pool-tag-zero", [] { ExFreePoolWithTag(Alloc(NonPagedPoolNx, 8, 0), 0); }},
#if !defined(__SANITIZE_ADDRESS__)  // under ASan the write itself is reported
      // The guard and the freed block are compared sixteen bytes at a time and
      // passed over 64 at a time: a byte in the first block, one at the
      // guard's last byte, one in a short tail, one past the first 64.
      {"pool-overrun", [] {
         auto* p = static_cast<volatile uint8_t*>(Alloc(NonPagedPoolNx, 12));
         p[12] = 0;
         ExFreePool(const_cast<uint8_t*>(p));
       }, "byte 0 past the end of a pool block of 12 bytes"},
      {"pool-overrun", [] {
         auto* p = static_cast<volatile uint8_t*>(Alloc(NonPagedPoolNx, 12));
         p[12 + 15] = 0;
         ExFreePool(const_cast<uint8_t*>(p));
       }, "byte 15 past the end of a pool block of 12 bytes"},
      {"write-after-free", writtenAfterFree(12, {5}), "byte 5 of freed pool block of 12 bytes"},
      {"write-after-free", writtenAfterFree(45, {29, 44}), "byte 29 of freed pool block of 45 bytes"},
      {"write-after-free", writtenAfterFree(300, {150, 290}), "byte 150 of freed pool block of 300 bytes"},
#endif
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)  // pageable memory is guarded without them
      // However a block's pages were opened, a raise hides them.
      {"paged-pool-touched-at-raised-irql", pagedTouchedAtDispatch(16, false), "at IRQL 2"},
      {"paged-pool-touched-at-raised-irql", pagedTouchedAtDispatch(16, true), "at IRQL 2"},
      {"paged-pool-touched-at-raised-irql", pagedTouchedAtDispatch(3 * 4096, true), "at IRQL 2"},
      {"paged-pool-touched-at-raised-irql", pagedTouchedAtDispatch(16, false, true), "at IRQL 2"},
#endif
      {"pool-leak", [] { PVOID p = Alloc(NonPagedPoolNx, 40, 0x73754254); khost::CheckLeaks(); ExFreePool(p); },
       "40 bytes of pool tagged 'TBus'"},
      {"paged-code-at-raised-irql", atDispatch(PageableRoutine), "PageableRoutine"},
      {"dereference-dead-object reference-dead-object", [] {
         PKEVENT dead;
         khost::CloseKernelHandle(khost::CreateKernelEvent(&dead));
         ObDereferenceObject(dead), ObReferenceObject(dead);
       }},
      {"object-leak", [] {
         PKEVENT kept;
         HANDLE handle = khost::CreateKernelEvent(&kept);
         ObReferenceObject(kept), khost::CloseKernelHandle(handle), khost::CheckLeaks(), ObDereferenceObject(kept);
       }},
  }, [&] { KeInitializeSpinLock(&lock); });
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  // Just inside the rules stays quiet (the fixture checks): non-paged pool and
  // a set without wait at DISPATCH_LEVEL, a waiting set, pageable code and a
  // touch of paged pool at APC_LEVEL.
  ExFreePool(Alloc(PagedPool));
  khost::RunAtIrql(DISPATCH_LEVEL, [&] {
    // Enough frees to push the paged block out of the freed-memory quarantine:
    // the pool's own check of it is not a touch at DISPATCH_LEVEL.
    for (int i = 0; i < 5000; ++i) ExFreePoolWithTag(Alloc(NonPagedPoolNx), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  });
  auto* paged = static_cast<volatile uint8_t*>(Alloc(PagedPool, 16));
  khost::RunAtIrql(APC_LEVEL, [&] {
    KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
    PageableRoutine();
    paged[3] = 1;
  });
  ExFreePool(const_cast<uint8_t*>(paged));
}

TEST_F(HostKernelTest, AcquiringAHeldSpinLockAgainOnTheSameThreadStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  KSPIN_LOCK lock = 0;
  EXPECT_DEATH((KeAcquireSpinLockRaiseToDpc(&lock), KeAcquireSpinLockRaiseToDpc(&lock)), "spin-lock-recursion");
}

TEST_F(HostKernelTest, SpinLocksRaiseToDispatchLevelRestoreTheIrqlAndExcludeOtherThreadsAsInterlockedCallsDo) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  for (KIRQL start : kIrqls) {
    khost::RunAtIrql(start, [&] {
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "acquired at " << int(start);
      EXPECT_EQ(old, start);
      KeReleaseSpinLock(&lock, old);
      EXPECT_EQ(KeGetCurrentIrql(), start);
    });
  }
  volatile long counter = 0;  // a plain read-modify-write, safe only under the lock
  volatile LONG interlocked = 0;
  khost::RunAtIrqlOnThreads(PASSIVE_LEVEL, 2, [&](size_t) {
    for (int i = 0; i < 20000; ++i) {
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      counter = counter + 1;
      KeReleaseSpinLock(&lock, old);
      InterlockedIncrement(&interlocked);
    }
  });
  EXPECT_EQ(counter, 40000);
  EXPECT_EQ(interlocked, 40000);
  EXPECT_EQ(InterlockedIncrement(&interlocked), 40001) << "the new value";
  EXPECT_EQ(InterlockedDecrement(&interlocked), 40000) << "the new value";
}

TEST_F(HostKernelTest, ANotificationEventReleasesEveryWaiterAndStaysSetUntilReset) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] { woken += KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr) == 0; });
  std::this_thread::sleep_for(50ms);  // not a synchronisation: a broken wait would return in this time
  EXPECT_EQ(woken, 0) << "waiters returned before the event was set";
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "the previous state";
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 3);
  EXPECT_NE(KeResetEvent(&event), 0) << "it stayed set";
}

TEST_F(HostKernelTest, PoolIsAccountedPerTagNeverHandedOutZeroedAndPoisonedOnceFreed) {
  PVOID a1 = Alloc(NonPagedPoolNx, 24), a2 = Alloc(PagedPool, 32), b1 = Alloc(NonPagedPool, 100, kTagB);
  auto pool = khost::OutstandingPool();
  EXPECT_EQ(std::count_if(pool.begin(), pool.end(), [](auto& b) { return b.tag == kTagA; }), 2);
  auto first = std::find_if(pool.begin(), pool.end(), [&](auto& b) { return b.address == a1; });
  ASSERT_NE(first, pool.end());
  EXPECT_EQ(first->bytes, 24u);
  EXPECT_EQ(first->type, NonPagedPoolNx);
  // A driver reading a field it never wrote must not find a zero the kernel does not promise.
  for (PVOID p : {a1, a2, b1}) EXPECT_EQ(std::count(static_cast<char*>(p), static_cast<char*>(p) + 8, 0), 0);
  memset(a2, 0x11, 32);
  ExFreePoolWithTag(a1, 0);
  ExFreePoolWithTag(a2, kTagA);
  ExFreePool(b1);
  EXPECT_TRUE(khost::OutstandingPool().empty());
  EXPECT_FREED(static_cast<uint8_t*>(a2) + 31);
}

// Paged pool is memory the host maps twice, shared between the views: a
// forked child (a fault sweep's run, a death test) must get its own, still
// guarded, or its writes would land in its parent's pool.
TEST_F(HostKernelTest, AForkedChildHasPagedPoolOfItsOwnStillGuarded) {
  auto* p = static_cast<volatile uint8_t*>(Alloc(PagedPool, 16));
  p[0] = 1;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    p[0] = 2;
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    p[1] = 2;
    KeReleaseSpinLock(&lock, old);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    _exit(p[0] == 2 && khost::HasViolation("paged-pool-touched-at-raised-irql") ? 0 : 1);
#else
    _exit(p[0] == 2 ? 0 : 1);
#endif
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child's pool or its guard failed";
  EXPECT_EQ(p[0], 1) << "the child's write reached the parent's paged pool";
  ExFreePool(const_cast<uint8_t*>(p));
}

TEST_F(HostKernelTest, FailNthByPoolTypeCountsOnlyCallsOfThatTypeAndNxCountsAsNonPaged) {
  ExFreePoolWithTag(Alloc(PagedPool), 0);  // calls before FailNth do not count
  khost::FailNth(khost::FaultPoint::PoolAllocation, 2, PagedPool);
  std::vector<PVOID> got;
  for (POOL_TYPE type : {NonPagedPoolNx, PagedPool, NonPagedPool, PagedPool, PagedPool}) got.push_back(Alloc(type));
  khost::FailNth(khost::FaultPoint::PoolAllocation, 2, NonPagedPool);
  for (POOL_TYPE type : {PagedPool, NonPagedPoolNx, NonPagedPoolNx}) got.push_back(Alloc(type));
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i] == nullptr, i == 3 || i == 7) << "call " << i + 1;
  for (PVOID p : got)
    if (p) ExFreePoolWithTag(p, 0);
}

// Three allocations; the second one's failure path forgets the first block.
void LeakyOnSecondFailure() {
  PVOID first = Alloc(NonPagedPoolNx);
  if (!first) return;
  PVOID second = Alloc(PagedPool);
  if (!second) return;
  if (PVOID third = Alloc(NonPagedPoolNx)) ExFreePoolWithTag(third, 0);
  ExFreePoolWithTag(second, 0);
  ExFreePoolWithTag(first, 0);
}

TEST_F(HostKernelTest, SystematicModeFailsEachCallInTurnAndFindsTheLeakyPath) {
  auto runs = khost::RunFailingEachCall(khost::FaultPoint::PoolAllocation, LeakyOnSecondFailure);
  ASSERT_EQ(runs.size(), 4u) << "a counting run, then one run per allocation";
  EXPECT_TRUE(runs[0].violations.empty()) << khost::DescribeViolations(runs[0].violations);
  for (uint64_t nth = 1; nth <= 3; ++nth) {
    EXPECT_EQ(runs[nth].failedCall, nth);
    EXPECT_TRUE(runs[nth].injected);
    EXPECT_EQ(Reported(runs[nth].violations, "pool-leak"), nth == 2) << "failing allocation " << nth;
  }
  EXPECT_TRUE(khost::OutstandingPool().empty()) << "the host is reset after the last run";
}

// What the driver prints arrives as formatted at every IRQL it may print at;
// a conversion to Unicode above PASSIVE_LEVEL is reported all the same.
TEST_F(HostKernelTest, DbgPrintFormatsWhatTheDriverPrintsAndRefusesUnicodeConversionsAbovePassiveLevel) {
  const WCHAR text[] = L"wide", unterminated[3] = {L'x', L'y', L'z'};  // read past it and the sanitizer stops the test
  UNICODE_STRING counted = RTL_CONSTANT_STRING(L"counted");
  const std::vector<std::tuple<std::function<void()>, std::string, bool>> cases = {
      {[&] { DbgPrint("%ws\r\n", text); }, "wide", true},
      {[&] { DbgPrint("%ls\r\n", text); }, "wide", true},
      {[&] { DbgPrint("%S\r\n", text); }, "wide", true},
      {[&] { DbgPrint("%wZ\r\n", &counted); }, "counted", true},
      {[&] { DbgPrint("%wc%lc%C\r\n", L'a', L'b', L'c'); }, "abc", true},
      {[&] { DbgPrint("%ws|%.*ws|%.*ws|\r\n", static_cast<const WCHAR*>(nullptr), 3, unterminated, 0, L""); },
       "(null)|xyz||", true},
      {[&] { DbgPrint("%s %c %hs %d\r\n", "narrow", 'n', "h", 5); }, "narrow n h 5", false},
      {[&] { DbgPrint("%d|%d|%x|%08x|%04d|%u\r\n", 42, -5, 0xBEEFu, 0x1Fu, 7, 4000000000u); },
       "42|-5|beef|0000001f|0007|4000000000", false},
      // %lx and %ld are 32-bit, as ULONG and LONG are: the next argument is not swallowed.
      {[&] { DbgPrint("err=0x%lx next=%d|%ld\r\n", static_cast<ULONG>(0xC000009A), 7, static_cast<LONG>(-3)); },
       "err=0xc000009a next=7|-3", false},
  };
  for (const auto& [print, line, unicode] : cases) {
    for (KIRQL irql : kIrqls) {
      SCOPED_TRACE(line + " at IRQL " + std::to_string(irql));
      khost::RunAtIrql(irql, print);
      EXPECT_EQ(khost::TakeTraceLines(), Lines{line}) << "still printed";
      EXPECT_EQ(Reported(TakeViolations(), "unicode-format-at-raised-irql"), unicode && irql > PASSIVE_LEVEL);
    }
  }
}

TEST_F(HostKernelTest, DbgPrintLinesEndOnlyAtCarriageReturnLineFeedAndEachThreadBuildsItsOwn) {
  DbgPrint("Velmora===>");
  std::thread([] { DbgPrint("other line\r\n"); }).join();
  DbgPrint("%s", "DriverEntry");
  EXPECT_EQ(khost::TraceLines(), Lines{"other line"}) << "no line before its \\r\\n";
  DbgPrint("\r\none\ntwo\r\n");
  EXPECT_EQ(khost::TakeTraceLines(), (Lines{"other line", "Velmora===>DriverEntry", "one\ntwo"}));
  EXPECT_TRUE(khost::TraceLines().empty()) << "taken lines are gone";
}

// The host's address table against the standard map, through random inserts
// and removals of keys packed closely enough to collide in long runs (the
// removal that moves later entries back is where such tables go wrong); records
// kept in nodes must also stay where they are through growth and removals.
template <bool kInPlace>
void CheckPointerMap() {
  khost::PointerMap<const void*, int, kInPlace> map;
  std::unordered_map<const void*, int> model;
  std::unordered_map<const void*, int*> records;
  std::mt19937 random(7);
  auto key = [](unsigned i) { return reinterpret_cast<const void*>(uintptr_t{0x10000} + i * 16); };
  for (int step = 0; step < 20000; ++step) {
    const void* k = key(random() % 700);
    if (random() % 3) {
      int& value = map[k];
      if (!model.count(k)) records[k] = &value;
      EXPECT_TRUE(kInPlace || &value == records[k]) << "a record moved";
      value = model[k] = step;
    } else {
      EXPECT_EQ(map.erase(k), model.erase(k));
      records.erase(k);
    }
    if (step % 500 == 0 || step == 19999) {
      ASSERT_EQ(map.size(), model.size());
      for (unsigned i = 0; i < 700; ++i) {
        auto it = map.find(key(i));
        ASSERT_EQ(it != map.end(), model.count(key(i)) == 1) << "key " << i << " at step " << step;
        if (it != map.end()) {
          EXPECT_EQ(it->second, model[key(i)]);
        }
      }
      size_t seen = 0;
      for (auto& [k2, value] : map) seen += model.at(k2) == value;
      EXPECT_EQ(seen, model.size());
    }
  }
  while (!map.empty()) map.erase(map.begin());
  EXPECT_EQ(map.find(key(1)), map.end());
}

TEST(HostPointerMap, AgreesWithTheStandardMapWithRecordsInNodesOrInPlace) {
  CheckPointerMap<false>();
  CheckPointerMap<true>();
}

}  // namespace
