// Benchmarks of a record's way through the bus: the relay (a child driver
// pushes, the service fetches through the control request path) beside its
// floor and the host's own cost of the same request, two producers at
// DISPATCH_LEVEL against one fetching service, and the put path.
//
// Each size runs the floor, the host-alone request and then the relay, so the
// relay's counters can give its cost against the two measured in the same run.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "rig.h"

namespace {

using velmora_bench::RelayRig;
using Clock = std::chrono::steady_clock;

// Nanoseconds per operation of the floor and host-alone runs, by payload size.
std::map<int64_t, double> g_floorNs, g_hostNs;

// Times the state's loop by the wall clock as well, for the table above.
class PerOp {
 public:
  explicit PerOp(benchmark::State& state) : state_(state) {}
  double Nanoseconds() const {
    const double elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start_).count();
    return state_.iterations() ? elapsed / double(state_.iterations()) : 0;
  }

 private:
  benchmark::State& state_;
  Clock::time_point start_ = Clock::now();
};

void BM_Floor(benchmark::State& state) {
  velmora_bench::Floor floor(size_t(state.range(0)));
  PerOp perOp(state);
  for (auto _ : state) benchmark::DoNotOptimize(floor.Relay());
  g_floorNs[state.range(0)] = perOp.Nanoseconds();
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_HostAlone(benchmark::State& state) {
  RelayRig rig(size_t(state.range(0)));
  if (!rig.Ready()) return state.SkipWithError(rig.Error().c_str());
  PerOp perOp(state);
  for (auto _ : state)
    if (!rig.HostAlone()) return state.SkipWithError("the unknown code was not refused");
  g_hostNs[state.range(0)] = perOp.Nanoseconds();
  const std::string report = rig.Finish();
  if (!report.empty()) state.SkipWithError(report.c_str());
}

void BM_Relay(benchmark::State& state) {
  RelayRig rig(size_t(state.range(0)));
  if (!rig.Ready()) return state.SkipWithError(rig.Error().c_str());
  PerOp perOp(state);
  for (auto _ : state)
    if (rig.Push() != STATUS_SUCCESS || !rig.Fetch()) return state.SkipWithError("a record was not relayed");
  const double relayNs = perOp.Nanoseconds();
  state.SetBytesProcessed(state.iterations() * state.range(0));
  const std::string report = rig.Finish();
  if (!report.empty()) return state.SkipWithError(report.c_str());
  // Ratios against the runs of this size before this one (absent when filtered out).
  if (g_floorNs.count(state.range(0)) && g_hostNs.count(state.range(0))) {
    const double floorNs = g_floorNs[state.range(0)], hostNs = g_hostNs[state.range(0)];
    state.counters["floor_ns"] = floorNs;
    state.counters["host_ns"] = hostNs;
    state.counters["x_floor"] = relayNs / floorNs;
    state.counters["x_host"] = relayNs / hostNs;
    // What the relay costs beyond the host's request path: the driver and
    // the kernel services it calls (pool, locks, the event).
    state.counters["beyond_host"] = (relayNs - hostNs) / relayNs;
  }
}

void PayloadSizes(benchmark::internal::Benchmark* b) {
  b->ArgName("bytes")->UseRealTime();
  for (int64_t size : {16, 64, 1500, 65536}) b->Arg(size);
}

// Interleaved per size so each relay's ratios use the runs just before it.
void RegisterPerRecord() {
  for (int64_t size : {16, 64, 1500, 65536}) {
    benchmark::RegisterBenchmark("Floor", BM_Floor)->ArgName("bytes")->Arg(size)->UseRealTime();
    benchmark::RegisterBenchmark("HostAlone", BM_HostAlone)->ArgName("bytes")->Arg(size)->UseRealTime();
    benchmark::RegisterBenchmark("Relay", BM_Relay)->ArgName("bytes")->Arg(size)->UseRealTime();
  }
}
const bool g_registered = (RegisterPerRecord(), true);

// Two child drivers' threads push at DISPATCH_LEVEL, as from a DPC, while the
// service fetches on its own thread, woken by its event. One iteration is
// `kPerProducer` records from each producer, all fetched.
constexpr size_t kPerProducer = 256;

void BM_TwoProducers(benchmark::State& state) {
  RelayRig rig(size_t(state.range(0)));
  if (!rig.Ready()) return state.SkipWithError(rig.Error().c_str());
  std::atomic<bool> ok{true};
  for (auto _ : state) {
    size_t fetched = 0;
    std::thread service([&] {
      while (fetched < 2 * kPerProducer && ok) {
        if (rig.Fetch()) {
          ++fetched;
        } else {
          // Empty: wait for the next push; the timeout only bounds a lost wake.
          rig.Service().WaitEvent(rig.Event(), std::chrono::milliseconds(100));
        }
      }
    });
    khost::RunAtIrqlOnThreads(DISPATCH_LEVEL, 2, [&](size_t) {
      for (size_t i = 0; i < kPerProducer; ++i)
        if (rig.Push() != STATUS_SUCCESS) ok = false;
    });
    service.join();
    if (!ok) return state.SkipWithError("a push failed");
  }
  state.SetItemsProcessed(state.iterations() * 2 * kPerProducer);
  state.counters["per_record"] = benchmark::Counter(double(state.iterations() * 2 * kPerProducer),
                                                    benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  const std::string report = rig.Finish();
  if (!report.empty()) state.SkipWithError(report.c_str());
}
BENCHMARK(BM_TwoProducers)->Name("TwoProducersAtDispatch")->ArgName("bytes")->Arg(64)->Arg(1500)->UseRealTime();

// The service puts a record down; the child driver's callback receives it.
void BM_Put(benchmark::State& state) {
  RelayRig rig(size_t(state.range(0)));
  if (!rig.Ready()) return state.SkipWithError(rig.Error().c_str());
  for (auto _ : state)
    if (!rig.Put()) return state.SkipWithError("a put failed");
  if (rig.Received() != uint64_t(state.iterations())) return state.SkipWithError("the child driver missed a put");
  state.SetBytesProcessed(state.iterations() * state.range(0));
  const std::string report = rig.Finish();
  if (!report.empty()) state.SkipWithError(report.c_str());
}
BENCHMARK(BM_Put)->Name("Put")->Apply(PayloadSizes);

}  // namespace
