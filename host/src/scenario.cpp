// Kernel host: the start and end of a scenario. Reset forgets everything;
// CheckLeaks reports what a scenario left behind, as the driver verifier does
// when a driver unloads.
#include "internal.h"

namespace khost {

ObjectSummary Objects() {
  ObjectSummary summary;
  summary.liveObjects = ObLiveCount();
  summary.liveDevices = LiveDeviceCount();
  summary.undeletedDevices = UndeletedDeviceCount();
  summary.liveIrps = LiveIrpCount();
  summary.namespaceEntries = NamespaceNames().size();
  return summary;
}

void Reset() {
  PnpReset();
  PoReset();
  IoReset();
  ObReset();
  ResetPool();
  ResetFaults();
  ResetControlOutcomes();
  ResetTrace();
  ResetViolations();
  ResetThreadState();
  ResetListGuards();
}

std::string CheckLeaks() {
  Pnp().JoinThreads();
  JoinPowerThreads();
  CheckQuarantine();
  std::string summary;
  auto pool = OutstandingPool();
  for (const PoolBlock& block : pool) {
    std::string tag;
    for (int i = 0; i < 4; ++i) {
      char c = static_cast<char>((block.tag >> (8 * i)) & 0xFF);
      tag.push_back(c >= 0x20 && c < 0x7F ? c : '.');
    }
    ReportViolation("pool-leak", Format("%zu bytes of pool tagged '%s' (allocation #%llu) were never freed",
                                        block.bytes, tag.c_str(),
                                        static_cast<unsigned long long>(block.sequence)));
  }
  for (const std::string& irp : LiveIrpDescriptions())
    ReportViolation("irp-not-completed", irp + " was never completed");
  if (UndeletedDeviceCount())
    ReportViolation("device-leak", Format("%zu device objects were never deleted", UndeletedDeviceCount()));
  for (const std::string& object : ObLiveDescriptions())
    ReportViolation("object-leak", object + " is still alive");
  for (const std::u16string& name : NamespaceNames())
    ReportViolation("name-leak", "name " + Narrow(name) + " is still in the object namespace");
  ObjectSummary objects = Objects();
  summary = Format("pool blocks outstanding: %zu; requests outstanding: %zu; device objects alive: %zu; "
                   "objects alive: %zu; names: %zu",
                   pool.size(), objects.liveIrps, objects.liveDevices, objects.liveObjects,
                   objects.namespaceEntries);
  return summary;
}

}  // namespace khost

namespace khost {

std::vector<FaultRun> RunFailingEachCall(FaultPoint point, const std::function<void()>& scenario,
                                         std::optional<POOL_TYPE> poolType) {
  std::vector<FaultRun> runs;
  auto runOnce = [&](uint64_t failAt) {
    Reset();
    if (failAt != 0) FailNth(point, failAt, poolType);
    scenario();
    FaultRun run;
    run.failedCall = failAt;
    run.injected = InjectedFailures() != 0;
    run.summary = CheckLeaks();
    run.violations = TakeViolations();
    runs.push_back(std::move(run));
  };
  // The counting run: how many calls the scenario makes (of one pool type, if asked).
  Reset();
  if (poolType) FailNth(point, UINT64_MAX, poolType);  // counts typed calls, never fails one
  scenario();
  uint64_t calls = poolType ? TypedCallCount(point) : CallCount(point);
  {
    FaultRun run;
    run.summary = CheckLeaks();
    run.violations = TakeViolations();
    runs.push_back(std::move(run));
  }
  for (uint64_t nth = 1; nth <= calls; ++nth) runOnce(nth);
  Reset();
  return runs;
}

}  // namespace khost
