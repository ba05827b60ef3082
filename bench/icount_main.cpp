// The instruction counter's program: runs one operation many times with
// callgrind's instrumentation on around exactly those runs, so the counts
// scripts/icount.py reads are the operation's and nothing else's.
//
//   velmora_icount relay SIZE COUNT   a child driver pushes a record, the service fetches it
//   velmora_icount host SIZE COUNT    the same fetch request with a code the bus does not know
//   velmora_icount floor SIZE COUNT   the floor of one record (see Floor)
//   velmora_icount cycle COUNT        plug-in, enumeration, unplug, enumeration of one child
//   velmora_icount relations N COUNT  a bus-relations answer listing N started children, and the
//                                     manager's work on it
//
// Every operation runs on this one thread, and the same warm-up precedes the
// counted runs so that the host's caches and quarantine are in their steady
// state: the count does not depend on timing or on how long the warm-up was.
#include <valgrind/callgrind.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "rig.h"

namespace {

// The host keeps the last 4096 freed blocks, or 32 MiB of them. Every
// operation frees at least one block of its payload's size, so this many
// runs leave the quarantine turning over at its steady rate.
unsigned long WarmUp(unsigned long payload) { return std::min(5000ul, (32ul << 20) / payload + 200); }
constexpr unsigned long kCycleWarmUp = 1500;  // each cycle frees many blocks
constexpr unsigned long kAnswerWarmUp = 3;     // an answer allocates nothing the manager keeps

int Fail(const std::string& what) {
  std::fprintf(stderr, "velmora_icount: %s\n", what.c_str());
  return 1;
}

// Runs `once` for the warm-up, then `count` times counted. False at the first failure.
bool Counted(unsigned long warmUp, unsigned long count, const std::function<bool()>& once) {
  for (unsigned long i = 0; i < warmUp; ++i)
    if (!once()) return false;
  CALLGRIND_START_INSTRUMENTATION;
  bool ok = true;
  for (unsigned long i = 0; i < count && ok; ++i) ok = once();
  CALLGRIND_STOP_INSTRUMENTATION;
  return ok;
}

int Usage() {
  std::fputs("usage: velmora_icount relay|host|floor|relations SIZE COUNT | cycle COUNT\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string what = argv[1];
  const bool sized = what != "cycle";
  if (argc != (sized ? 4 : 3)) return Usage();
  const unsigned long size = sized ? std::strtoul(argv[2], nullptr, 10) : 0;
  const unsigned long count = std::strtoul(argv[sized ? 3 : 2], nullptr, 10);
  if (count == 0 || (sized && size == 0)) return Usage();

  if (what == "floor") {
    velmora_bench::Floor floor(size);
    unsigned sink = 0;
    Counted(WarmUp(size), count, [&] { return (sink += floor.Relay()), true; });
    std::printf("%u\n", sink & 1);  // the copies' result is used
    return 0;
  }
  if (what == "relay" || what == "host") {
    velmora_bench::RelayRig rig(size);
    if (!rig.Ready()) return Fail(rig.Error());
    const bool relay = what == "relay";
    if (!Counted(WarmUp(size), count, [&] { return relay ? rig.Push() == STATUS_SUCCESS && rig.Fetch() : rig.HostAlone(); }))
      return Fail(what + ": a request failed");
    const std::string report = rig.Finish();
    return report.empty() ? 0 : Fail(report);
  }
  if (what == "relations") {
    // Every child is known and started, so an answer costs what an answer
    // must, once per child: it is the figure that grows if anything in the
    // bus or the manager stops being linear in the children.
    velmora_bench::BootedBus bus;
    for (unsigned long serial = 1; serial <= size; ++serial)
      if (bus.PlugIn(ULONG(serial)) != STATUS_SUCCESS) return Fail("relations: a plug-in failed");
    bus.Enumerate();
    if (bus.StartedChildren() != size) return Fail("relations: not every child started");
    const bool ok = Counted(kAnswerWarmUp, count, [&] {
      IoInvalidateDeviceRelations(bus.Harness().Node()->pdo, BusRelations);
      return bus.Enumerate() == 1;
    });
    if (!ok || bus.StartedChildren() != size) return Fail("relations: an answer changed the children");
    const std::string report = bus.Finish();
    return report.empty() ? 0 : Fail(report);
  }
  if (what == "cycle") {
    velmora_bench::BootedBus bus;
    const bool ok = Counted(kCycleWarmUp, count, [&] {
      if (bus.PlugIn(1) != STATUS_SUCCESS) return false;
      bus.Enumerate();
      if (bus.StartedChildren() != 1 || bus.Unplug(1) != STATUS_SUCCESS) return false;
      bus.Enumerate();
      return bus.Harness().ChildNodes().empty();
    });
    if (!ok) return Fail("cycle: a plug-in, unplug or enumeration failed");
    const std::string report = bus.Finish();
    return report.empty() ? 0 : Fail(report);
  }
  return Usage();
}
