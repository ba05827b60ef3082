// The road's reading of the child driver's lines and its comparison of two
// kernels' runs: a known Wine behaviour is forgiven, a driver fault is not.
#include <gtest/gtest.h>

#include <sstream>

#include "road.h"

namespace {

using velmoraroad::ChildEvent;
using Lines = std::vector<std::string>;

TEST(VelmoraRoad, ChildLinesAreReadInAnyWrappingAndOthersIgnored) {
  struct Case {
    const char* line;
    unsigned device;  // 0: not one of the child driver's lines
    const char* what;
  };
  const Case cases[] = {
      {"0150:warn:debugstr:vDbgPrintExWithPrefix 00000000:00000001: velmorachild: device 1: pnp 0x17", 1,
       "SURPRISE_REMOVAL"},
      {"velmorachild: device 12: pnp 0x00", 12, "START_DEVICE"},
      {"velmorachild: device 3: queue drained", 3, "queue drained"},
      {"velmorachild: device 2: pnp 0x42", 2, "0x42"},
      {"velmorachild: device x: pnp 0x00", 0, ""},
      {"velmorachild: device 2 pnp 0x00", 0, ""},
      {"velmorachild: device 2: pnp 0x", 0, ""},
      {"velmorachild: device 2: loaded", 0, ""},
      {"Velmora===: Plugging out 7", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const std::vector<ChildEvent> events = velmoraroad::ChildEvents({c.line});
    ASSERT_EQ(events.size(), c.device ? 1u : 0u);
    if (c.device) {
      EXPECT_EQ(events[0].device, c.device);
      EXPECT_EQ(events[0].what, c.what);
    }
  }
}

TEST(VelmoraRoad, OnlyWinesKnownDifferencesAreForgiven) {
  const std::string unplugHost = "pnp after unplug device 1: FILTER_RESOURCE_REQUIREMENTS START_DEVICE "
                                 "QUERY_PNP_DEVICE_STATE QUERY_DEVICE_RELATIONS SURPRISE_REMOVAL REMOVE_DEVICE";
  const std::string busHost = "pnp after bus removal device 2: QUERY_DEVICE_RELATIONS QUERY_REMOVE_DEVICE REMOVE_DEVICE";
  struct Case {
    const char* what;
    Lines host, wine;
    bool same;
    const char* report;  // a text the report must hold
  };
  const Case cases[] = {
      {"the same", {"status open: STATUS_SUCCESS information 0"}, {"status open: STATUS_SUCCESS information 0"}, true,
       ""},
      {"Wine's removals", {unplugHost, busHost},
       {"pnp after unplug device 1: START_DEVICE SURPRISE_REMOVAL REMOVE_DEVICE",
        "pnp after bus removal device 2: SURPRISE_REMOVAL SURPRISE_REMOVAL REMOVE_DEVICE"},
       true, "known: no query-remove"},
      {"a child Wine removed twice with the bus", {busHost},
       {"pnp after bus removal device 2: SURPRISE_REMOVAL REMOVE_DEVICE SURPRISE_REMOVAL REMOVE_DEVICE"}, true,
       "known: a child removed twice"},
      {"a child removed twice at unplug", {unplugHost},
       {"pnp after unplug device 1: START_DEVICE SURPRISE_REMOVAL REMOVE_DEVICE REMOVE_DEVICE"}, false, "differs"},
      {"a removal the child driver never saw", {unplugHost},
       {"pnp after unplug device 1: START_DEVICE SURPRISE_REMOVAL"}, false, "differs"},
      {"a surprise removal missing at unplug", {unplugHost},
       {"pnp after unplug device 1: START_DEVICE REMOVE_DEVICE"}, false, "differs"},
      {"a start Wine sent that the host did not", {"pnp after unplug device 2: QUERY_PNP_DEVICE_STATE"},
       {"pnp after unplug device 2: START_DEVICE"}, false, "differs"},
      {"another status", {"status put: STATUS_SUCCESS information 0"},
       {"status put: STATUS_UNSUCCESSFUL information 0"}, false, "differs"},
      {"a line missing", {"drained: 1", "burst: 20 of 20 fetched in order"}, {"drained: 1"}, false, "(nothing)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::ostringstream report;
    EXPECT_EQ(velmoraroad::Compare(c.host, c.wine, report), c.same) << report.str();
    EXPECT_NE(report.str().find(c.report), std::string::npos) << report.str();
  }
}

}  // namespace
