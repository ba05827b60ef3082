// The kernel host's executive: pool with per-tag accounting and the kernel's
// rules, fault injection at every point the platform can fail, and the
// systematic mode that fails each call of a scenario in turn.
#include <algorithm>

#include "kernel_test.h"

namespace {

constexpr ULONG kTagA = 0x41414141;  // "AAAA"
constexpr ULONG kTagB = 0x42424242;  // "BBBB"

class HostExTest : public KernelTest {};

size_t OutstandingWithTag(ULONG tag) {
  auto pool = khost::OutstandingPool();
  return static_cast<size_t>(
      std::count_if(pool.begin(), pool.end(), [tag](const khost::PoolBlock& b) { return b.tag == tag; }));
}

TEST_F(HostExTest, PoolIsAccountedPerTagAndFreedWithTagZero) {
  PVOID a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagA);
  PVOID a2 = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
  PVOID b1 = ExAllocatePoolWithTag(NonPagedPool, 100, kTagB);
  ASSERT_TRUE(a1 && a2 && b1);
  EXPECT_EQ(OutstandingWithTag(kTagA), 2u);
  EXPECT_EQ(OutstandingWithTag(kTagB), 1u);
  for (const khost::PoolBlock& block : khost::OutstandingPool()) {
    if (block.address == a1) {
      EXPECT_EQ(block.bytes, 24u);
      EXPECT_EQ(block.type, NonPagedPoolNx);
    }
    if (block.address == a2) {
      EXPECT_EQ(block.type, PagedPool);
    }
  }
  ExFreePoolWithTag(a1, 0);
  ExFreePoolWithTag(a2, kTagA);
  EXPECT_EQ(OutstandingWithTag(kTagA), 0u);
  ExFreePool(b1);
  EXPECT_TRUE(khost::OutstandingPool().empty());
  EXPECT_EQ(khost::PoolAllocationCount(), 3u);
}

TEST_F(HostExTest, NewPoolIsNeverZeroed) {
  // A driver that reads a field it never wrote must not find the zero the
  // kernel does not promise.
  for (POOL_TYPE type : {NonPagedPool, NonPagedPoolNx, PagedPool}) {
    auto* bytes = static_cast<unsigned char*>(ExAllocatePoolWithTag(type, 64, kTagA));
    ASSERT_NE(bytes, nullptr);
    size_t zeros = static_cast<size_t>(std::count(bytes, bytes + 64, 0));
    EXPECT_EQ(zeros, 0u) << "pool type " << type << " came back with " << zeros << " zero bytes";
    ExFreePoolWithTag(bytes, 0);
  }
}

TEST_F(HostExTest, PoolMisuseIsReported) {
  struct Case {
    const char* what;
    std::function<void()> misuse;
    const char* check;
  };
  std::vector<Case> cases = {
      {"freed twice",
       [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA);
         ExFreePoolWithTag(p, 0);
         ExFreePoolWithTag(p, 0);
       },
       "pool-double-free"},
      {"never allocated",
       [] {
         static char notPool[16];
         ExFreePoolWithTag(notPool, 0);
       },
       "pool-double-free"},
      {"null freed", [] { ExFreePoolWithTag(nullptr, 0); }, "pool-free-null"},
      {"freed with another tag",
       [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 16, kTagA), kTagB); }, "pool-bad-tag"},
      {"unknown pool type",
       [] { EXPECT_EQ(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(4), 16, kTagA), nullptr); },
       "pool-bad-type"},
      {"zero bytes",
       [] {
         PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 0, kTagA);
         if (p) ExFreePoolWithTag(p, 0);
       },
       "pool-zero-bytes"},
      {"tag zero", [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0), 0); }, "pool-tag-zero"},
      {"paged pool at DISPATCH_LEVEL",
       [] {
         khost::RunAtIrql(DISPATCH_LEVEL, [] {
           PVOID p = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
           if (p) ExFreePoolWithTag(p, 0);
         });
       },
       "irql-too-high"},
      {"paged pool freed at DISPATCH_LEVEL",
       [] {
         PVOID p = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
         khost::RunAtIrql(DISPATCH_LEVEL, [p] { ExFreePoolWithTag(p, 0); });
       },
       "irql-too-high"},
  };
  for (const Case& c : cases) {
    c.misuse();
    auto violations = TakeViolations();
    EXPECT_TRUE(Reported(violations, c.check)) << c.what << ": expected " << c.check << ", got\n"
                                               << khost::DescribeViolations(violations);
  }
  EXPECT_TRUE(khost::OutstandingPool().empty());
  // Non-paged pool is fine at DISPATCH_LEVEL.
  khost::RunAtIrql(DISPATCH_LEVEL, [] { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), 0); });
}

TEST_F(HostExTest, PoolStillAllocatedAtTheEndOfAScenarioIsReportedWithItsTag) {
  ExAllocatePoolWithTag(NonPagedPoolNx, 40, 0x73754254);  // "TBus"
  khost::CheckLeaks();
  auto violations = TakeViolations();
  ASSERT_EQ(violations.size(), 1u) << khost::DescribeViolations(violations);
  EXPECT_EQ(violations[0].check, "pool-leak");
  EXPECT_NE(violations[0].detail.find("40 bytes"), std::string::npos) << violations[0].detail;
  EXPECT_NE(violations[0].detail.find("'TBus'"), std::string::npos) << violations[0].detail;
  khost::Reset();  // the scenario's pool goes with it
  EXPECT_TRUE(khost::OutstandingPool().empty());
}

// ------------------------------------------------------------------ fault injection

TEST_F(HostExTest, FailNthFailsExactlyThatPoolCallCountedFromNow) {
  ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), 0);  // calls before do not count
  khost::FailNth(khost::FaultPoint::PoolAllocation, 3);
  std::vector<PVOID> got;
  for (int i = 0; i < 5; ++i) got.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(got[i] == nullptr, i == 2) << "call " << i + 1;
  EXPECT_EQ(khost::CallCount(khost::FaultPoint::PoolAllocation), 6u) << "failed calls count too";
  EXPECT_EQ(khost::InjectedFailures(), 1u);
  for (PVOID p : got)
    if (p) ExFreePoolWithTag(p, 0);
}

TEST_F(HostExTest, FailNthByPoolTypeCountsOnlyThatType) {
  // Paged and non-paged calls interleave; only the second paged one fails.
  khost::FailNth(khost::FaultPoint::PoolAllocation, 2, PagedPool);
  std::vector<std::pair<POOL_TYPE, PVOID>> got;
  for (POOL_TYPE type : {NonPagedPoolNx, PagedPool, NonPagedPool, NonPagedPoolNx, PagedPool, PagedPool})
    got.push_back({type, ExAllocatePoolWithTag(type, 8, kTagA)});
  for (size_t i = 0; i < got.size(); ++i) EXPECT_EQ(got[i].second == nullptr, i == 4) << "call " << i + 1;
  for (auto& [type, p] : got)
    if (p) ExFreePoolWithTag(p, 0);

  // Non-executable non-paged pool counts as non-paged.
  khost::FailNth(khost::FaultPoint::PoolAllocation, 2, NonPagedPool);
  PVOID paged = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
  PVOID first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  PVOID second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_NE(paged, nullptr);
  EXPECT_NE(first, nullptr);
  EXPECT_EQ(second, nullptr);
  ExFreePoolWithTag(paged, 0);
  ExFreePoolWithTag(first, 0);
}

TEST_F(HostExTest, FailAlwaysFailsEveryCallUntilCleared) {
  khost::FailAlways(khost::FaultPoint::PoolAllocation, true);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA), nullptr);
  khost::ClearFaults();
  PVOID p = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  EXPECT_NE(p, nullptr);
  ExFreePoolWithTag(p, 0);
  EXPECT_EQ(khost::InjectedFailures(), 3u);
}

// A driver with one device, enough for every other fault point to be reached.
NTSTATUS TinyPower(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
NTSTATUS TinyPnp(PDEVICE_OBJECT, PIRP irp) {
  NTSTATUS status = irp->IoStatus.Status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
NTSTATUS TinyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_POWER] = TinyPower;
  driver->MajorFunction[IRP_MJ_PNP] = TinyPnp;
  return STATUS_SUCCESS;
}

VOID IgnorePowerCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}

TEST_F(HostExTest, EveryFaultPointFailsItsRoutineTheWayThePlatformFails) {
  PDRIVER_OBJECT driver = khost::LoadDriver(u"tiny", TinyDriverEntry);
  ASSERT_NE(driver, nullptr);
  PDEVICE_OBJECT base = nullptr;
  ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &base), STATUS_SUCCESS);
  base->Flags &= ~DO_DEVICE_INITIALIZING;

  // Each attempt returns whether the routine succeeded, cleaning up after itself.
  struct Point {
    khost::FaultPoint point;
    std::function<bool()> attempt;
  };
  std::vector<Point> points = {
      {khost::FaultPoint::CreateDevice,
       [&] {
         PDEVICE_OBJECT d = nullptr;
         NTSTATUS s = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
         if (!NT_SUCCESS(s)) {
           EXPECT_EQ(s, STATUS_INSUFFICIENT_RESOURCES);
           EXPECT_EQ(d, nullptr);
           return false;
         }
         IoDeleteDevice(d);
         return true;
       }},
      {khost::FaultPoint::CreateSymbolicLink,
       [&] {
         UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\??\\TinyLink");
         UNICODE_STRING target = RTL_CONSTANT_STRING(L"\\Device\\Nowhere");
         NTSTATUS s = IoCreateSymbolicLink(&link, &target);
         if (!NT_SUCCESS(s)) {
           EXPECT_EQ(s, STATUS_INSUFFICIENT_RESOURCES);
           EXPECT_EQ(khost::NamespaceNames().size(), 0u);
           return false;
         }
         IoDeleteSymbolicLink(&link);
         return true;
       }},
      {khost::FaultPoint::AttachDevice,
       [&] {
         PDEVICE_OBJECT upper = nullptr;
         EXPECT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
         PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(upper, base);
         if (lower) {
           IoDetachDevice(lower);
         } else {
           EXPECT_EQ(base->AttachedDevice, nullptr);
         }
         IoDeleteDevice(upper);
         return lower != nullptr;
       }},
      {khost::FaultPoint::BuildSynchronousFsdRequest,
       [&] {
         KEVENT event;
         IO_STATUS_BLOCK iosb;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, base, nullptr, 0, nullptr, &event, &iosb);
         if (!irp) return false;
         irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
         IoCallDriver(base, irp);
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
         return true;
       }},
      {khost::FaultPoint::PoRequestPowerIrp,
       [&] {
         POWER_STATE state;
         state.DeviceState = PowerDeviceD0;
         NTSTATUS s = PoRequestPowerIrp(base, IRP_MN_SET_POWER, state, IgnorePowerCompletion, nullptr, nullptr);
         if (!NT_SUCCESS(s)) {
           EXPECT_EQ(s, STATUS_INSUFFICIENT_RESOURCES);
           return false;
         }
         return true;
       }},
  };
  for (const Point& p : points) {
    SCOPED_TRACE(khost::FaultPointName(p.point));
    uint64_t before = khost::CallCount(p.point);
    khost::FailNth(p.point, 2);
    EXPECT_TRUE(p.attempt());
    EXPECT_FALSE(p.attempt()) << "the second call from now fails";
    EXPECT_TRUE(p.attempt()) << "one failure only";
    EXPECT_EQ(khost::CallCount(p.point), before + 3);
    khost::FailAlways(p.point, true);
    EXPECT_FALSE(p.attempt());
    EXPECT_FALSE(p.attempt());
    khost::FailAlways(p.point, false);
    EXPECT_TRUE(p.attempt());
  }
  EXPECT_EQ(khost::InjectedFailures(), 3 * points.size());
  IoDeleteDevice(base);
  khost::UnloadDriver(driver);
}

// ------------------------------------------------------------------ systematic mode

// Three allocations; the second one's failure path forgets the first block.
void LeakyOnSecondFailure() {
  PVOID first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
  if (!first) return;
  PVOID second = ExAllocatePoolWithTag(PagedPool, 8, kTagA);
  if (!second) return;  // the fault: `first` is leaked
  PVOID third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagB);
  if (third) ExFreePoolWithTag(third, 0);
  ExFreePoolWithTag(second, 0);
  ExFreePoolWithTag(first, 0);
}

TEST_F(HostExTest, SystematicModeFailsEachCallInTurnAndFindsTheLeakyPath) {
  auto runs = khost::RunFailingEachCall(khost::FaultPoint::PoolAllocation, LeakyOnSecondFailure);
  ASSERT_EQ(runs.size(), 4u) << "a counting run, then one run per allocation";
  EXPECT_EQ(runs[0].failedCall, 0u);
  EXPECT_FALSE(runs[0].injected);
  EXPECT_TRUE(runs[0].violations.empty()) << khost::DescribeViolations(runs[0].violations);
  for (uint64_t nth = 1; nth <= 3; ++nth) {
    const khost::FaultRun& run = runs[nth];
    EXPECT_EQ(run.failedCall, nth);
    EXPECT_TRUE(run.injected);
    bool leaked = Reported(run.violations, "pool-leak");
    EXPECT_EQ(leaked, nth == 2) << "failing allocation " << nth << ":\n"
                                << khost::DescribeViolations(run.violations);
  }
  EXPECT_TRUE(khost::OutstandingPool().empty()) << "the host is reset after the last run";
}

TEST_F(HostExTest, SystematicModeByPoolTypeFailsOnlyCallsOfThatType) {
  auto runs = khost::RunFailingEachCall(khost::FaultPoint::PoolAllocation, LeakyOnSecondFailure, PagedPool);
  ASSERT_EQ(runs.size(), 2u) << "the scenario makes one paged allocation";
  EXPECT_TRUE(runs[1].injected);
  EXPECT_TRUE(Reported(runs[1].violations, "pool-leak"));

  runs = khost::RunFailingEachCall(khost::FaultPoint::PoolAllocation, LeakyOnSecondFailure, NonPagedPool);
  ASSERT_EQ(runs.size(), 3u) << "two non-paged allocations";
  for (size_t i = 1; i < runs.size(); ++i)
    EXPECT_TRUE(runs[i].violations.empty()) << khost::DescribeViolations(runs[i].violations);
}

}  // namespace
