// Benchmarks of the children at scale: N children plugged in one by one with
// the Plug and Play manager enumerating after each, all N plugged in with one
// enumeration, and all N unplugged with one request and one enumeration. Each
// reports the time per child and the pool the host accounts per child.
//
// Some sizes take far too long on a host that handles relations in worse than
// linear time. Each family therefore estimates a size's run from the sizes
// before it and skips, saying so, a size estimated beyond its limit; growth
// that steepens can beat the estimate, so plugging in one by one also stops,
// and says so, once the limit has passed. The suite finishes, and a faster
// host runs every size unchanged.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <map>
#include <string>

#include "rig.h"

namespace {

using velmora_bench::BootedBus;
using Clock = std::chrono::steady_clock;

constexpr int64_t kSizes[] = {10, 100, 1000, 10000};

// The longest one run of a size may take; VELMORA_BENCH_LIMIT (seconds) changes it.
double LimitSeconds() {
  const char* limit = std::getenv("VELMORA_BENCH_LIMIT");
  return limit && std::atof(limit) > 0 ? std::atof(limit) : 60.0;
}

// Wall time of one whole run (set-up, timed part, teardown) per size, per family.
class Budget {
 public:
  static Budget& Of(const std::string& family) {
    static std::map<std::string, Budget> budgets;
    return budgets[family];
  }
  // Why `n` is skipped, or empty. The estimate extends the growth between the
  // two largest sizes measured (at least linear); with one size measured it
  // assumes quadratic growth.
  std::string Refusal(int64_t n) const {
    if (runs_.empty()) return "";
    const auto last = std::prev(runs_.end());
    double exponent = 2;
    if (runs_.size() > 1) {
      const auto before = std::prev(last);
      exponent = std::log(last->second / before->second) / std::log(double(last->first) / double(before->first));
      exponent = std::max(exponent, 1.0);
    }
    const double estimate = last->second * std::pow(double(n) / double(last->first), exponent);
    if (estimate <= LimitSeconds()) return "";
    char why[200];
    std::snprintf(why, sizeof(why),
                  "skipped: one run estimated at %.0f s (growth ~N^%.1f from N=%lld), over the %.0f s limit", estimate,
                  exponent, static_cast<long long>(last->first), LimitSeconds());
    return why;
  }
  void Record(int64_t n, double seconds) { runs_[n] = std::max(runs_[n], seconds); }

 private:
  std::map<int64_t, double> runs_;
};

// One run: `arrange` (not timed) on a fresh bus, then `timed`, then the bus
// removed and checked. Reports time and pool per child.
template <typename Arrange, typename Timed>
void RunChildren(benchmark::State& state, const char* family, Arrange arrange, Timed timed) {
  const int64_t n = state.range(0);
  Budget& budget = Budget::Of(family);
  const std::string refusal = budget.Refusal(n);
  if (!refusal.empty()) return state.SkipWithError(refusal.c_str());
  double poolPerChild = 0;
  for (auto _ : state) {
    state.PauseTiming();
    const Clock::time_point start = Clock::now();
    const Clock::time_point end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(LimitSeconds()));
    std::string failure;
    {
      BootedBus bus;
      const size_t poolBefore = BootedBus::PoolBytes();
      arrange(bus, n, failure);
      const size_t arranged = BootedBus::PoolBytes();
      state.ResumeTiming();
      if (failure.empty()) timed(bus, n, failure, end);
      state.PauseTiming();
      // While all N are present: after the timed part when it plugs them
      // in, after the arrangement when it unplugs them.
      poolPerChild = double(std::max(arranged, BootedBus::PoolBytes()) - poolBefore) / double(n);
      const std::string report = bus.Finish();
      if (failure.empty()) failure = report;
    }
    budget.Record(n, std::chrono::duration<double>(Clock::now() - start).count());
    state.ResumeTiming();
    if (!failure.empty()) return state.SkipWithError(failure.c_str());
  }
  state.counters["per_child"] =
      benchmark::Counter(double(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["pool_B_per_child"] = poolPerChild;
}

void PlugAll(BootedBus& bus, int64_t n, std::string& failure) {
  for (int64_t serial = 1; serial <= n && failure.empty(); ++serial)
    if (bus.PlugIn(ULONG(serial)) != STATUS_SUCCESS) failure = "plug-in " + std::to_string(serial) + " failed";
}
void CheckStarted(BootedBus& bus, int64_t n, std::string& failure) {
  if (failure.empty() && bus.StartedChildren() != size_t(n))
    failure = std::to_string(bus.StartedChildren()) + " of " + std::to_string(n) + " children started";
}
void Nothing(BootedBus&, int64_t, std::string&) {}

void BM_OneByOne(benchmark::State& state) {
  RunChildren(state, "one-by-one", Nothing, [](BootedBus& bus, int64_t n, std::string& failure, Clock::time_point end) {
    for (int64_t serial = 1; serial <= n && failure.empty(); ++serial) {
      if (bus.PlugIn(ULONG(serial)) != STATUS_SUCCESS) failure = "plug-in " + std::to_string(serial) + " failed";
      bus.Enumerate();
      if (failure.empty() && serial < n && Clock::now() > end)
        failure = "skipped: stopped at child " + std::to_string(serial) + " of " + std::to_string(n) + " after the " +
                  std::to_string(int(LimitSeconds())) + " s limit";
    }
    CheckStarted(bus, n, failure);
  });
}

void BM_AllAtOnce(benchmark::State& state) {
  RunChildren(state, "all-at-once", Nothing, [](BootedBus& bus, int64_t n, std::string& failure, Clock::time_point) {
    PlugAll(bus, n, failure);
    bus.Enumerate();
    CheckStarted(bus, n, failure);
  });
}

void BM_UnplugAll(benchmark::State& state) {
  RunChildren(
      state, "unplug-all",
      [](BootedBus& bus, int64_t n, std::string& failure) {
        PlugAll(bus, n, failure);
        bus.Enumerate();
        CheckStarted(bus, n, failure);
      },
      [](BootedBus& bus, int64_t, std::string& failure, Clock::time_point) {
        if (bus.Unplug(0) != STATUS_SUCCESS) failure = "unplug-all failed";
        bus.Enumerate();
        if (failure.empty() && !bus.Harness().ChildNodes().empty()) failure = "children left after unplug-all";
      });
}

void ChildCounts(benchmark::internal::Benchmark* b) {
  b->ArgName("children")->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(0.2);
  for (int64_t n : kSizes) b->Arg(n);
}
BENCHMARK(BM_OneByOne)->Name("PlugInOneByOne")->Apply(ChildCounts);
BENCHMARK(BM_AllAtOnce)->Name("PlugInAllAtOnce")->Apply(ChildCounts);
BENCHMARK(BM_UnplugAll)->Name("UnplugAll")->Apply(ChildCounts);

}  // namespace
