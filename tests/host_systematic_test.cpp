// Systematic fault injection on the whole road of one child: whichever call
// of a platform routine fails, the bus must clean up after itself and keep
// every rule the verifier checks.
#include "bus_harness.h"
#include "kernel_test.h"
#include "passthrough_driver.h"

namespace {

using velmora_test::BusHarness;

const char16_t kCompatibleId[] = u"{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice";

// Load, AddDevice and start, open, plug in a child, let the Plug and Play
// manager enumerate it (and load its function driver), take the system to
// sleep and back, unplug, enumerate again, close and tear down.
void OneChildsRoad() {
  PDRIVER_OBJECT function = khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
  {
    BusHarness bus;
    if (function) khost::Pnp().RegisterFunctionDriver(kCompatibleId, function);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE handle = bus.Fdo() ? bus.Open(&status) : nullptr;
    if (handle) {
      bus.PlugIn(handle, 7, {u"VELMORA\\NET", u"VELMORA\\ANY"});
      bus.Enumerate();
      khost::SetSystemPowerState(PowerSystemSleeping3);
      khost::SetSystemPowerState(PowerSystemWorking);
      bus.Unplug(handle, 7);
      bus.Enumerate();
      bus.Service().Close(handle);
    }
    bus.Teardown();
  }
  if (function) khost::UnloadDriver(function);
}

// The bus goes away while its child is still plugged in and running, removed
// the way Wine removes a device (surprise removal first).
void BusRemovedUnderItsChild() {
  PDRIVER_OBJECT function = khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
  {
    BusHarness bus;
    if (function) khost::Pnp().RegisterFunctionDriver(kCompatibleId, function);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    HANDLE handle = bus.Fdo() ? bus.Open(&status) : nullptr;
    if (handle) {
      bus.PlugIn(handle, 3, {u"VELMORA\\NET"});
      bus.PlugIn(handle, 4, {u"VELMORA\\NET"});
      bus.Enumerate();
      bus.Service().Close(handle);
    }
    bus.Teardown(khost::RemovalStyle::Wine);
  }
  if (function) khost::UnloadDriver(function);
}

class SystematicTest : public KernelTest {};

TEST_F(SystematicTest, TheRoadItselfIsCleanAndReachesEveryPoint) {
  OneChildsRoad();
  EXPECT_EQ(khost::PowerRequests().size(), 2u) << "the child went to sleep and back";
  khost::CheckLeaks();
  auto violations = TakeViolations();
  EXPECT_TRUE(violations.empty()) << khost::DescribeViolations(violations);
  for (khost::FaultPoint point : {khost::FaultPoint::PoolAllocation, khost::FaultPoint::CreateDevice,
                                  khost::FaultPoint::CreateSymbolicLink, khost::FaultPoint::AttachDevice})
    EXPECT_GT(khost::CallCount(point), 0u) << khost::FaultPointName(point) << " is never reached";
}

struct Sweep {
  const char* name;
  khost::FaultPoint point;
  std::optional<POOL_TYPE> poolType;
  void (*scenario)() = OneChildsRoad;
};

class SystematicSweep : public KernelTest, public testing::WithParamInterface<Sweep> {};

TEST_P(SystematicSweep, FailingEachCallInTurnNeverLeaksOrBreaksARule) {
  const Sweep& sweep = GetParam();
  auto runs = khost::RunFailingEachCall(sweep.point, sweep.scenario, sweep.poolType);
  ASSERT_FALSE(runs.empty());
  EXPECT_TRUE(runs[0].violations.empty()) << "the counting run:\n" << khost::DescribeViolations(runs[0].violations);
  for (size_t i = 1; i < runs.size(); ++i) {
    const khost::FaultRun& run = runs[i];
    EXPECT_TRUE(run.injected) << "call " << run.failedCall << " was never reached";
    EXPECT_TRUE(run.violations.empty()) << sweep.name << ": failing call " << run.failedCall << " of "
                                        << runs.size() - 1 << " left " << run.summary << "\n"
                                        << khost::DescribeViolations(run.violations);
  }
  RecordProperty("calls", static_cast<int>(runs.size() - 1));
}

INSTANTIATE_TEST_SUITE_P(
    EveryPoint, SystematicSweep,
    testing::Values(Sweep{"pool", khost::FaultPoint::PoolAllocation, std::nullopt},
                    Sweep{"paged pool", khost::FaultPoint::PoolAllocation, PagedPool},
                    Sweep{"non-paged pool", khost::FaultPoint::PoolAllocation, NonPagedPool},
                    Sweep{"device creation", khost::FaultPoint::CreateDevice, std::nullopt},
                    Sweep{"link creation", khost::FaultPoint::CreateSymbolicLink, std::nullopt},
                    Sweep{"attach", khost::FaultPoint::AttachDevice, std::nullopt},
                    Sweep{"synchronous request", khost::FaultPoint::BuildSynchronousFsdRequest, std::nullopt},
                    Sweep{"power request", khost::FaultPoint::PoRequestPowerIrp, std::nullopt},
                    Sweep{"pool under a removed bus", khost::FaultPoint::PoolAllocation, std::nullopt,
                          BusRemovedUnderItsChild},
                    Sweep{"device creation under a removed bus", khost::FaultPoint::CreateDevice, std::nullopt,
                          BusRemovedUnderItsChild},
                    Sweep{"attach under a removed bus", khost::FaultPoint::AttachDevice, std::nullopt,
                          BusRemovedUnderItsChild}),
    [](const testing::TestParamInfo<Sweep>& info) {
      std::string name;
      for (const char* p = info.param.name; *p; ++p)
        if (*p != ' ' && *p != '-') name.push_back(*p);
      return name;
    });

}  // namespace
