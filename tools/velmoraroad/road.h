// velmoraroad: the whole road of the bus, driven the way the service drives it,
// on any kernel. The scenario is the same on Windows (or Wine: the client's
// Win32 transport, SetupAPI) and on the kernel host (its transport, its Plug
// and Play manager); only the Platform differs.
//
// A run prints one line per check, "ok NAME" or "FAIL NAME: WHAT", and keeps
// what it observed (statuses, replies, the Plug and Play requests each child
// driver device saw, as the sample child driver prints them) as normalized
// text lines, so that two kernels' runs can be compared line by line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "velmora_client.h"

namespace velmoraroad {

// A child as Plug and Play lists it.
struct ChildIds {
  std::string instancePath;  // device ID \ instance ID
  std::vector<std::string> hardwareIds;
};

class Platform {
 public:
  virtual ~Platform() = default;
  virtual velmora::Client& Client() = 0;
  // The client's event to the bus, the way this platform's bus can take it.
  virtual velmora::Result PassEvent() = 0;
  // The present child with this serial (false while Plug and Play has none).
  virtual bool FindChild(uint32_t serial, ChildIds* ids) = 0;
  // Removes the bus's device node with its children (the client is closed).
  virtual velmora::Result RemoveBus() = 0;
  // Every line the drivers printed so far (DbgPrint).
  virtual std::vector<std::string> DriverTrace() = 0;
  // Lets the Plug and Play manager act on what the bus asked of it, then waits
  // a little if it works on its own thread.
  virtual void Settle() = 0;
};

// Runs the scenario; `out` gets the check lines. Returns the number of failed
// checks; `observed` gets the normalized observations.
int RunRoad(Platform& platform, std::ostream& out, std::vector<std::string>* observed);

// Parses the sample child driver's lines ("velmorachild: device N: ...") out of
// a driver trace, in whatever wrapping the kernel's debug output puts them.
struct ChildEvent {
  unsigned device = 0;
  std::string what;  // "START_DEVICE", "REMOVE_DEVICE", "queue drained", ...
};
std::vector<ChildEvent> ChildEvents(const std::vector<std::string>& trace);

// A difference between the kernel host and Wine that comes from Wine's own
// behaviour, with the reason.
// `apply` rewrites an observation of either side (`wine` tells which) to what
// the two kernels have in common, or empties it to drop it; true when it did.
struct KnownDifference {
  const char* what;
  const char* reason;
  std::function<bool(std::string& line, bool wine)> apply;
};
const std::vector<KnownDifference>& KnownDifferences();

// Compares the kernel host's observations with Wine's after applying the known
// differences; `report` gets every difference left and every known one that
// applied. True when nothing is left.
bool Compare(const std::vector<std::string>& host, const std::vector<std::string>& wine, std::ostream& report);

}  // namespace velmoraroad
