// The kernel host's core: IRQL, spin locks, events and interlocked operations
// behave as the kernel promises, and misuse is reported or stops the test.
#include <atomic>
#include <chrono>
#include <thread>

#include "kernel_test.h"

namespace {

using namespace std::chrono_literals;

class HostKeTest : public KernelTest {};

LARGE_INTEGER Relative(std::chrono::milliseconds ms) {
  LARGE_INTEGER value;
  value.QuadPart = -static_cast<LONGLONG>(ms.count()) * 10000;
  return value;
}

TEST_F(HostKeTest, SpinLockRaisesToDispatchLevelAndRestoresTheCallersIrql) {
  for (KIRQL start : {KIRQL(PASSIVE_LEVEL), KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
    khost::RunAtIrql(start, [start] {
      KSPIN_LOCK lock;
      KeInitializeSpinLock(&lock);
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "while held, acquired at " << int(start);
      EXPECT_EQ(old, start);
      KeReleaseSpinLock(&lock, old);
      EXPECT_EQ(KeGetCurrentIrql(), start);
    });
  }
}

TEST_F(HostKeTest, SpinLockKeepsASecondThreadOutUntilItIsReleased) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  std::atomic<bool> holderIn{false}, otherIn{false}, release{false};
  std::thread holder([&] {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    holderIn = true;
    while (!release) std::this_thread::yield();
    KeReleaseSpinLock(&lock, old);
  });
  while (!holderIn) std::this_thread::yield();
  std::thread other([&] {
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    otherIn = true;
    KeReleaseSpinLock(&lock, old);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(otherIn) << "a second thread acquired a spin lock another thread holds";
  release = true;
  holder.join();
  other.join();
  EXPECT_TRUE(otherIn);
}

TEST_F(HostKeTest, SpinLockMakesUnsynchronisedUpdatesAtomic) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  constexpr int kRounds = 20000;
  volatile long counter = 0;  // plain read-modify-write, safe only under the lock
  auto work = [&] {
    for (int i = 0; i < kRounds; ++i) {
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      counter = counter + 1;
      KeReleaseSpinLock(&lock, old);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(counter, 2 * kRounds);
}

TEST_F(HostKeTest, AcquiringAHeldSpinLockAgainOnTheSameThreadStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KeAcquireSpinLockRaiseToDpc(&lock);
        KeAcquireSpinLockRaiseToDpc(&lock);
      },
      "spin-lock-recursion");
}

TEST_F(HostKeTest, MisusedSpinLocksAndIrqlAreReported) {
  struct Case {
    const char* what;
    std::function<void()> misuse;
    const char* check;
  };
  std::vector<Case> cases = {
      {"release of a lock this thread does not hold",
       [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
       },
       "spin-lock-not-held"},
      {"thread ends holding a lock",
       [] {
         static KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         khost::RunAtIrql(PASSIVE_LEVEL, [] { KeAcquireSpinLockRaiseToDpc(&lock); });
       },
       "spin-lock-leaked"},
      {"acquire above DISPATCH_LEVEL",
       [] {
         khost::RunAtIrql(HIGH_LEVEL, [] {
           KSPIN_LOCK lock;
           KeInitializeSpinLock(&lock);
           KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
           KeReleaseSpinLock(&lock, old);
         });
       },
       "irql-too-high"},
      {"release restoring a higher IRQL",
       [] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeAcquireSpinLockRaiseToDpc(&lock);
         KeReleaseSpinLock(&lock, HIGH_LEVEL);
         KeLowerIrql(PASSIVE_LEVEL);
       },
       "irql-not-less"},
      {"raise to a lower IRQL",
       [] {
         khost::RunAtIrql(DISPATCH_LEVEL, [] {
           KIRQL old;
           KeRaiseIrql(APC_LEVEL, &old);
         });
       },
       "irql-not-greater"},
      {"lower to a higher IRQL", [] { khost::RunAtIrql(APC_LEVEL, [] { KeLowerIrql(DISPATCH_LEVEL); }); },
       "irql-not-less"},
  };
  for (const Case& c : cases) {
    c.misuse();
    auto violations = TakeViolations();
    EXPECT_TRUE(Reported(violations, c.check)) << c.what << ": expected " << c.check << ", got\n"
                                               << khost::DescribeViolations(violations);
  }
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(HostKeTest, RaiseAndLowerIrqlPairUp) {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_EQ(old, PASSIVE_LEVEL);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  KeLowerIrql(old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(HostKeTest, NotificationEventReleasesEveryWaiterAndStaysSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<int> woken{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
      ++woken;
    });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(woken, 0) << "waiters returned before the event was set";
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0) << "previous state";
  for (auto& t : waiters) t.join();
  EXPECT_EQ(woken, 3);
  EXPECT_NE(KeReadStateEvent(&event), 0) << "a notification event stays set until cleared";
  EXPECT_NE(KeResetEvent(&event), 0) << "reset returns the previous state";
  EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(HostKeTest, SynchronizationEventReleasesOneWaiterPerSet) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  std::atomic<int> woken{0};
  auto waiter = [&] {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    ++woken;
  };
  std::thread a(waiter), b(waiter);
  std::this_thread::sleep_for(30ms);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (woken == 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(woken, 1) << "one set of a synchronization event satisfies exactly one wait";
  EXPECT_EQ(KeReadStateEvent(&event), 0) << "the satisfied wait clears the event";
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  a.join();
  b.join();
  EXPECT_EQ(woken, 2);
}

TEST_F(HostKeTest, WaitWithATimeoutGivesUpAfterItAndPollingNeverBlocks) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  LARGE_INTEGER timeout = Relative(60ms);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), 0x102)
      << "STATUS_TIMEOUT expected";
  EXPECT_GE(std::chrono::steady_clock::now() - start, 50ms);

  // A zero timeout only polls, which is allowed at DISPATCH_LEVEL.
  khost::RunAtIrql(DISPATCH_LEVEL, [&] {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), 0x102);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  });
}

TEST_F(HostKeTest, WaitsAndWaitingSetsAtRaisedIrqlAreReported) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, TRUE);  // set: the misuse never blocks
  struct Case {
    const char* what;
    std::function<void()> misuse;
    const char* check;
  };
  std::vector<Case> cases = {
      {"a blocking wait at DISPATCH_LEVEL",
       [&] {
         khost::RunAtIrql(DISPATCH_LEVEL,
                          [&] { KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr); });
       },
       "irql-too-high"},
      {"a wait holding a spin lock",
       [&] {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
         KeReleaseSpinLock(&lock, old);
       },
       "wait-with-spin-lock"},
      {"KeSetEvent with Wait at DISPATCH_LEVEL",
       [&] { khost::RunAtIrql(DISPATCH_LEVEL, [&] { KeSetEvent(&event, IO_NO_INCREMENT, TRUE); }); },
       "irql-too-high"},
      {"KeSetEvent above DISPATCH_LEVEL",
       [&] { khost::RunAtIrql(HIGH_LEVEL, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); }); },
       "irql-too-high"},
  };
  for (const Case& c : cases) {
    c.misuse();
    auto violations = TakeViolations();
    EXPECT_TRUE(Reported(violations, c.check)) << c.what << ": expected " << c.check << ", got\n"
                                               << khost::DescribeViolations(violations);
  }
  // Setting without waiting is fine at DISPATCH_LEVEL, waiting-set at APC_LEVEL.
  khost::RunAtIrql(DISPATCH_LEVEL, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
  khost::RunAtIrql(APC_LEVEL, [&] { KeSetEvent(&event, IO_NO_INCREMENT, TRUE); });
  EXPECT_TRUE(khost::Violations().empty()) << khost::DescribeViolations(khost::Violations());
}

TEST_F(HostKeTest, InterlockedOperationsAreAtomicAndReturnWhatTheKernelReturns) {
  volatile LONG value = 0;
  constexpr int kRounds = 50000;
  std::thread a([&] { for (int i = 0; i < kRounds; ++i) InterlockedIncrement(&value); });
  std::thread b([&] { for (int i = 0; i < kRounds; ++i) InterlockedDecrement(&value); });
  std::thread c([&] { for (int i = 0; i < kRounds; ++i) InterlockedIncrement(&value); });
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(value, kRounds);

  value = 5;
  EXPECT_EQ(InterlockedIncrement(&value), 6) << "increment returns the new value";
  EXPECT_EQ(InterlockedDecrement(&value), 5) << "decrement returns the new value";
  EXPECT_EQ(InterlockedExchange(&value, 9), 5) << "exchange returns the old value";
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 7), 9) << "no swap on a mismatch";
  EXPECT_EQ(value, 9);
  EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
  EXPECT_EQ(value, 1);
  int x, y;
  PVOID volatile slot = &x;
  EXPECT_EQ(InterlockedCompareExchangePointer(&slot, &y, nullptr), &x);
  EXPECT_EQ(slot, &x);
  EXPECT_EQ(InterlockedExchangePointer(&slot, &y), &x);
  EXPECT_EQ(slot, &y);
}

}  // namespace
