// velmoraroad: the scenario, the child driver's trace and the comparison.
#include "road.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>

#include "velmora_ioctl.h"

namespace velmoraroad {

namespace {

using velmora::NtStatus;
using velmora::Result;
namespace st = velmora::status;
using Clock = std::chrono::steady_clock;

// Every wait of the road is bounded by this; Wine's Plug and Play manager and
// a fresh driver host on a loaded machine take seconds, the kernel host none.
constexpr std::chrono::seconds kPatience{45};

const uint32_t kSerials[] = {1001, 1002, 1003};
constexpr unsigned kBurst = VELMORA_QUEUE_HIGH_MARK + 4;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string StatusText(NtStatus value) {
  const char* name = velmora::StatusName(value);
  if (name) return name;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", value);
  return hex;
}

std::string Join(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

// The minor codes of Plug and Play requests, by name.
std::string MinorName(unsigned minor) {
  static const char* const names[] = {"START_DEVICE",
                                      "QUERY_REMOVE_DEVICE",
                                      "REMOVE_DEVICE",
                                      "CANCEL_REMOVE_DEVICE",
                                      "STOP_DEVICE",
                                      "QUERY_STOP_DEVICE",
                                      "CANCEL_STOP_DEVICE",
                                      "QUERY_DEVICE_RELATIONS",
                                      "QUERY_INTERFACE",
                                      "QUERY_CAPABILITIES",
                                      "QUERY_RESOURCES",
                                      "QUERY_RESOURCE_REQUIREMENTS",
                                      "QUERY_DEVICE_TEXT",
                                      "FILTER_RESOURCE_REQUIREMENTS",
                                      "0x0e",
                                      "READ_CONFIG",
                                      "WRITE_CONFIG",
                                      "EJECT",
                                      "SET_LOCK",
                                      "QUERY_ID",
                                      "QUERY_PNP_DEVICE_STATE",
                                      "QUERY_BUS_INFORMATION",
                                      "DEVICE_USAGE_NOTIFICATION",
                                      "SURPRISE_REMOVAL"};
  if (minor < sizeof names / sizeof names[0]) return names[minor];
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%02x", minor);
  return hex;
}

class Road {
 public:
  Road(Platform& platform, std::ostream& out, std::vector<std::string>* observed)
      : p_(platform), client_(platform.Client()), out_(out), observed_(*observed) {}

  int Run() {
    // Only what the drivers print from here on is the road's.
    traceStart_ = p_.DriverTrace().size();
    if (!Check("open", client_.Open())) return failures_;
    Contract();
    if (!Check("pass the event", p_.PassEvent())) return failures_;
    Empty("a fetch with nothing queued answers the empty reply");
    PlugIn();
    Echo("a record put down is echoed up, wakes the event and is fetched", "road-first");
    Burst();
    Unplug();
    Echo("the link passed to another child: a record still comes back", "road-handover");
    RemoveBus();
    return failures_;
  }

 private:
  void Ok(const std::string& name) { out_ << "ok " << name << "\n" << std::flush; }
  void Fail(const std::string& name, const std::string& what) {
    ++failures_;
    out_ << "FAIL " << name << ": " << what << "\n" << std::flush;
  }
  bool Check(const std::string& name, const Result& r, NtStatus want = st::kSuccess) {
    Observe("status " + name + ": " + StatusText(r.status) + " information " + std::to_string(r.information));
    if (r.status == want) {
      Ok(name);
      return true;
    }
    Fail(name, "answered " + r.Message() + ", wanted " + StatusText(want));
    return false;
  }
  void Observe(const std::string& line) { observed_.push_back(line); }

  // Tries `attempt` until it holds, letting Plug and Play work in between.
  template <typename F>
  bool Eventually(F attempt) {
    const Clock::time_point until = Clock::now() + kPatience;
    for (;;) {
      if (attempt()) return true;
      if (Clock::now() >= until) return false;
      p_.Settle();
    }
  }

  Result Raw(uint32_t code, const std::vector<uint8_t>& input, uint32_t outputLength) {
    std::vector<uint8_t> output(outputLength);
    Result r;
    r.sent = true;
    r.status = client_.GetTransport().Control(code, input.data(), static_cast<uint32_t>(input.size()),
                                              output.empty() ? nullptr : output.data(), outputLength, &r.information);
    return r;
  }

  // Every control code with input the bus must refuse, and the codes that need
  // no child with good input, before the service's event is passed: each
  // answer's exact status.
  void Contract() {
    auto le32 = [](std::vector<uint8_t>* bytes, uint32_t value) {
      for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    auto plugIn = [&](uint32_t size, uint32_t serial, std::vector<uint16_t> ids) {
      std::vector<uint8_t> bytes;
      le32(&bytes, size);
      le32(&bytes, 0x2A);
      le32(&bytes, serial);
      for (uint16_t c : ids) bytes.insert(bytes.end(), {static_cast<uint8_t>(c), static_cast<uint8_t>(c >> 8)});
      return bytes;
    };
    auto unplug = [&](uint32_t size, uint32_t serial) {
      std::vector<uint8_t> bytes;
      le32(&bytes, size);
      le32(&bytes, 0);
      le32(&bytes, serial);
      le32(&bytes, 0);
      return bytes;
    };
    auto message = [&](uint8_t tag, uint8_t id, uint32_t length, size_t payload) {
      std::vector<uint8_t> bytes = {tag, id, 0, 0};
      le32(&bytes, length);
      bytes.resize(bytes.size() + payload, 'x');
      return bytes;
    };
    const std::vector<uint16_t> goodId = {'V', 'R', 0, 0};
    std::vector<uint8_t> handle;
    le32(&handle, 0x1234 * 4);
    struct Case {
      const char* name;
      uint32_t code;
      std::vector<uint8_t> input;
      uint32_t outputLength;
      NtStatus want;
    };
    const Case cases[] = {
        {"plug-in with 8 bytes", IOCTL_NETBUS_PLUG_IN, plugIn(8, 5, {}), 0, st::kInvalidParameter},
        {"plug-in whose size is not its length", IOCTL_NETBUS_PLUG_IN, plugIn(40, 5, goodId), 0,
         st::kInvalidParameter},
        {"plug-in with IDs not ending in two nulls", IOCTL_NETBUS_PLUG_IN, plugIn(20, 5, {'V', 'R', 'X', 'Y'}), 0,
         st::kInvalidParameter},
        {"unplug with 8 bytes", IOCTL_NETBUS_PLUG_OUT, std::vector<uint8_t>(8, 0), 0, st::kInvalidParameter},
        {"unplug of a serial never plugged in", IOCTL_NETBUS_PLUG_OUT, unplug(16, 4242), 0, st::kNoSuchDevice},
        {"unplug of every child with none", IOCTL_NETBUS_PLUG_OUT, unplug(16, 0), 0, st::kNoSuchDevice},
        {"a callback exchange from user mode is refused", IOCTL_NETBUS_EXCHANGE_CALLBACK,
         std::vector<uint8_t>(16, 0), 0, st::kAccessDenied},
        {"pass-event with 3 bytes", IOCTL_CORVANE_PASS_EVENT, {1, 2, 3}, 0, st::kBufferTooSmall},
        {"pass-event of a handle never opened", IOCTL_CORVANE_PASS_EVENT, handle, 0, st::kInvalidHandle},
        {"delete-event", IOCTL_CORVANE_DELETE_EVENT, {}, 0, st::kSuccess},
        {"fetch into 8 bytes", IOCTL_CORVANE_GET_MSG, {}, 8, st::kInvalidParameter},
        {"fetch with no event passed", IOCTL_CORVANE_GET_MSG, {}, 64, st::kUnsuccessful},
        {"put of 4 bytes", IOCTL_CORVANE_PUT_MSG, {0x20, 1, 0, 0}, 0, st::kInvalidParameter},
        {"put with a foreign tag", IOCTL_CORVANE_PUT_MSG, message(0x21, 1, 2, 2), 0, st::kInvalidParameter},
        {"put longer than its input", IOCTL_CORVANE_PUT_MSG, message(0x20, 1, 9, 2), 0, st::kInvalidParameter},
        {"put with no child driver linked", IOCTL_CORVANE_PUT_MSG, message(0x20, 1, 2, 2), 0, st::kUnsuccessful},
        {"an unknown control code", VELMORA_CTL(0x22u, 0x903u), {}, 0, st::kNotSupported},
    };
    for (const Case& c : cases) Check(std::string("contract: ") + c.name, Raw(c.code, c.input, c.outputLength), c.want);
  }

  void Empty(const std::string& name) {
    std::optional<velmora::Record> record;
    Result r = client_.Fetch(record);
    if (Check(name, r) && record) Fail(name, "a record came back where none was queued");
  }

  static std::vector<std::string> IdsOf(uint32_t serial) {
    return {"VELMORA\\ROAD" + std::to_string(serial % 10), "VELMORA\\ROADNET"};
  }

  void PlugIn() {
    for (uint32_t serial : kSerials) Check("plug in serial " + std::to_string(serial), client_.PlugIn(serial, IdsOf(serial)));
    Check("a second serial 1001 is refused", client_.PlugIn(kSerials[0], IdsOf(kSerials[0])), st::kInvalidParameter);
    for (uint32_t serial : kSerials) {
      const std::string name = "Plug and Play lists serial " + std::to_string(serial) + " with its IDs";
      ChildIds ids;
      if (!Eventually([&] { return p_.FindChild(serial, &ids); })) {
        Fail(name, "no such child appeared");
        continue;
      }
      const std::vector<std::string> want = IdsOf(serial);
      const std::string wantPath = Upper(want[0] + "\\" + std::to_string(serial));
      std::vector<std::string> got;
      for (const std::string& id : ids.hardwareIds) got.push_back(Upper(id));
      Observe("ids " + std::to_string(serial) + ": " + Upper(ids.instancePath) + " | " + Join(got, " "));
      if (Upper(ids.instancePath) != wantPath)
        Fail(name, "instance " + ids.instancePath + ", wanted " + wantPath);
      else if (got != std::vector<std::string>{Upper(want[0]), Upper(want[1])})
        Fail(name, "hardware IDs " + Join(ids.hardwareIds, " "));
      else
        Ok(name);
    }
  }

  // Waits for the event, then fetches one record.
  std::optional<velmora::Record> Next(std::string* why) {
    std::optional<velmora::Record> record;
    Result r = client_.Fetch(record);
    if (r && !record) {
      if (client_.GetTransport().WaitEvent(kPatience) != velmora::Transport::WaitOutcome::Signalled) {
        *why = "the event was not set";
        return std::nullopt;
      }
      r = client_.Fetch(record);
    }
    if (!r) *why = "the fetch answered " + r.Message();
    else if (!record) *why = "the event was set but nothing was queued";
    return record;
  }

  static std::string PayloadText(const velmora::Record& record) {
    return std::string(record.payload.begin(), record.payload.end());
  }

  // A record put down reaches the child driver once one has linked with the
  // bus (until then the bus answers STATUS_UNSUCCESSFUL); its echo comes up.
  void Echo(const std::string& name, const std::string& text) {
    const std::vector<uint8_t> payload(text.begin(), text.end());
    Result put;
    Eventually([&] { return (put = client_.Put(1, payload)).status != st::kUnsuccessful; });
    if (!Check("put \"" + text + "\"", put)) return;
    // The echo was pushed before the put returned: the event must be set.
    if (client_.GetTransport().WaitEvent(kPatience) != velmora::Transport::WaitOutcome::Signalled)
      return Fail(name, "the event was not set");
    std::string why;
    std::optional<velmora::Record> record = Next(&why);
    if (!record) return Fail(name, why);
    Observe("reply " + text + ": msgid " + std::to_string(record->msgId) + " " + PayloadText(*record));
    if (record->msgId != MSG_SEND_DATA || PayloadText(*record) != text)
      return Fail(name, "fetched msgid " + std::to_string(record->msgId) + " \"" + PayloadText(*record) + "\"");
    Ok(name);
    Empty("then the queue is empty");
  }

  // The child driver's lines since the road began, its devices numbered from
  // 1 in the order they first appear: a child driver that stayed loaded from
  // before goes on counting, one loaded afresh starts at 1.
  std::vector<ChildEvent> Events() {
    std::vector<std::string> trace = p_.DriverTrace();
    trace.erase(trace.begin(), trace.begin() + static_cast<std::ptrdiff_t>(std::min(traceStart_, trace.size())));
    std::vector<ChildEvent> events = ChildEvents(trace);
    std::map<unsigned, unsigned> numbers;
    for (ChildEvent& e : events) e.device = numbers.emplace(e.device, unsigned(numbers.size() + 1)).first->second;
    return events;
  }

  size_t Drained() {
    size_t count = 0;
    for (const ChildEvent& e : Events()) count += e.what == "queue drained";
    return count;
  }

  // Past the high mark with nothing fetched, then fetched in order: the last
  // fetches leave fewer than the low mark and the child driver is told.
  void Burst() {
    const size_t drainedBefore = Drained();
    bool all = true;
    for (unsigned i = 0; i < kBurst && all; ++i) {
      const std::string text = "burst-" + std::to_string(i);
      all = client_.Put(2, std::vector<uint8_t>(text.begin(), text.end())).ok();
    }
    if (!all) return Fail("a burst of " + std::to_string(kBurst) + " records is taken", "a put failed");
    Ok("a burst of " + std::to_string(kBurst) + " records is taken");
    std::string fetched, why;
    unsigned i = 0;
    for (; i < kBurst; ++i) {
      std::optional<velmora::Record> record = Next(&why);
      if (!record) break;
      if (PayloadText(*record) != "burst-" + std::to_string(i)) {
        why = "record " + std::to_string(i) + " was \"" + PayloadText(*record) + "\"";
        break;
      }
    }
    Observe("burst: " + std::to_string(i) + " of " + std::to_string(kBurst) + " fetched in order");
    if (i < kBurst) return Fail("the burst's echoes are fetched in order", why);
    Ok("the burst's echoes are fetched in order");
    Empty("then the queue is empty");
    const std::string name = "MSG_QUEUE_DRAINED reaches the child driver";
    size_t drained = 0;
    if (Eventually([&] { return (drained = Drained()) > drainedBefore; })) Ok(name);
    else Fail(name, "the child driver printed no \"queue drained\"");
    Observe("drained: " + std::to_string(drained - drainedBefore));
  }

  // Waits until the child driver's devices printed `minor` (a name) for each of
  // `devices`.
  bool SawAll(const std::vector<unsigned>& devices, const std::string& what) {
    return Eventually([&] {
      const std::vector<ChildEvent> events = Events();
      return std::all_of(devices.begin(), devices.end(), [&](unsigned d) {
        return std::any_of(events.begin(), events.end(),
                           [&](const ChildEvent& e) { return e.device == d && e.what == what; });
      });
    });
  }

  void Unplug() {
    Check("unplug serial 1001", client_.Unplug(kSerials[0]));
    Result r;
    const bool gone = Eventually([&] { return (r = client_.Unplug(kSerials[0])).status == st::kNoSuchDevice; });
    Observe("status serial 1001 free again: " + StatusText(r.status));
    if (gone) Ok("serial 1001 is free once its child is removed");
    else Fail("serial 1001 is free once its child is removed", "unplug still answers " + r.Message());
    if (SawAll({1}, "REMOVE_DEVICE")) Ok("the child driver saw serial 1001 removed");
    else Fail("the child driver saw serial 1001 removed", "no REMOVE_DEVICE for its device");
    PnpOrder("after unplug");
  }

  void RemoveBus() {
    Check("close the client", client_.Close());
    Check("remove the bus with its children and their driver", p_.RemoveBus());
    if (SawAll({2, 3}, "REMOVE_DEVICE")) Ok("the child driver saw the other children removed");
    else Fail("the child driver saw the other children removed", "no REMOVE_DEVICE for devices 2 and 3");
    PnpOrder("after bus removal");
  }

  // The requests each device saw since the last call, one line per device.
  void PnpOrder(const std::string& phase) {
    std::map<unsigned, std::vector<std::string>> seen;
    const std::vector<ChildEvent> events = Events();
    for (size_t i = eventsSeen_; i < events.size(); ++i)
      if (events[i].what != "queue drained") seen[events[i].device].push_back(events[i].what);
    eventsSeen_ = events.size();
    for (const auto& [device, requests] : seen)
      Observe("pnp " + phase + " device " + std::to_string(device) + ": " + Join(requests, " "));
  }

  Platform& p_;
  velmora::Client& client_;
  std::ostream& out_;
  std::vector<std::string>& observed_;
  int failures_ = 0;
  size_t eventsSeen_ = 0;
  size_t traceStart_ = 0;
};

}  // namespace

int RunRoad(Platform& platform, std::ostream& out, std::vector<std::string>* observed) {
  return Road(platform, out, observed).Run();
}

std::vector<ChildEvent> ChildEvents(const std::vector<std::string>& trace) {
  static const char kPrefix[] = "velmorachild: device ";
  std::vector<ChildEvent> events;
  for (const std::string& line : trace) {
    const size_t at = line.find(kPrefix);
    if (at == std::string::npos) continue;
    const char* text = line.c_str() + at + sizeof kPrefix - 1;
    char* end = nullptr;
    const unsigned long device = std::strtoul(text, &end, 10);
    if (end == text || std::strncmp(end, ": ", 2) != 0) continue;
    text = end + 2;
    ChildEvent e;
    e.device = static_cast<unsigned>(device);
    if (std::strncmp(text, "pnp 0x", 6) == 0) {
      const unsigned long minor = std::strtoul(text + 6, &end, 16);
      if (end == text + 6) continue;
      e.what = MinorName(static_cast<unsigned>(minor));
    } else if (std::strncmp(text, "queue drained", 13) == 0) {
      e.what = "queue drained";
    } else {
      continue;
    }
    events.push_back(e);
  }
  return events;
}

}  // namespace velmoraroad

namespace velmoraroad {

namespace {

// Removes `drop` from the requests of a "pnp PHASE device N: ..." line (one
// that starts with `phase`), every one of them or, with `repeats`, all but the
// first; true when one was there.
bool DropRequests(std::string& line, const char* phase, const std::vector<std::string>& drop, bool repeats = false) {
  if (line.rfind(phase, 0) != 0) return false;
  const size_t colon = line.find(": ");
  std::istringstream requests(line.substr(colon + 2));
  std::vector<std::string> kept;
  bool dropped = false;
  for (std::string request; requests >> request;) {
    const bool match = std::find(drop.begin(), drop.end(), request) != drop.end() &&
                       (!repeats || std::find(kept.begin(), kept.end(), request) != kept.end());
    dropped |= match;
    if (!match) kept.push_back(request);
  }
  if (dropped) line = line.substr(0, colon + 2) + Join(kept, " ");
  return dropped;
}

}  // namespace

const std::vector<KnownDifference>& KnownDifferences() {
  static const std::vector<KnownDifference> known = {
      {"no query-remove",
       "Wine's Plug and Play manager removes a device without asking its stack first: it sends no "
       "QUERY_REMOVE_DEVICE (nor CANCEL_REMOVE_DEVICE), where the kernel host asks as Windows does",
       [](std::string& line, bool wine) {
         return !wine && DropRequests(line, "pnp ", {"QUERY_REMOVE_DEVICE", "CANCEL_REMOVE_DEVICE"});
       }},
      {"no requests to a started device beyond START_DEVICE",
       "Wine sends a child's stack no FILTER_RESOURCE_REQUIREMENTS before its start and no "
       "QUERY_PNP_DEVICE_STATE or QUERY_DEVICE_RELATIONS (target relation) after it; the kernel host sends them "
       "as Windows does",
       [](std::string& line, bool wine) {
         return !wine && DropRequests(line, "pnp ",
                                      {"FILTER_RESOURCE_REQUIREMENTS", "QUERY_PNP_DEVICE_STATE",
                                       "QUERY_DEVICE_RELATIONS"});
       }},
      {"surprise removal of the children when the bus is removed",
       "Wine removes a bus by surprise-removing its children (and the bus) before it removes them, and its Plug "
       "and Play thread, still acting on the bus's last relations, may surprise-remove a child a second time; "
       "the kernel host removes the bus the orderly way Windows does (query-remove, then removal)",
       [](std::string& line, bool wine) {
         return wine && DropRequests(line, "pnp after bus removal ", {"SURPRISE_REMOVAL"});
       }},
      {"a child removed twice when the bus is removed",
       "the bus, surprise-removed, reports its children gone (one invalidation of its relations); Wine's Plug and "
       "Play thread acts on that while the thread removing the bus removes the same children, and the two "
       "often both send REMOVE_DEVICE to a child, the second to a device already deleted. Windows sends one "
       "removal per device",
       [](std::string& line, bool wine) {
         return wine && DropRequests(line, "pnp after bus removal ", {"REMOVE_DEVICE"}, true);
       }},
  };
  return known;
}

bool Compare(const std::vector<std::string>& host, const std::vector<std::string>& wine, std::ostream& report) {
  std::vector<std::string> sides[2] = {host, wine};
  std::vector<bool> applied(KnownDifferences().size(), false);
  for (int side = 0; side < 2; ++side) {
    std::vector<std::string> kept;
    for (std::string line : sides[side]) {
      for (size_t k = 0; k < KnownDifferences().size(); ++k)
        if (KnownDifferences()[k].apply(line, side == 1)) applied[k] = true;
      if (!line.empty()) kept.push_back(line);
    }
    sides[side] = kept;
  }
  for (size_t k = 0; k < applied.size(); ++k)
    if (applied[k]) report << "known: " << KnownDifferences()[k].what << " (" << KnownDifferences()[k].reason << ")\n";
  bool same = true;
  const size_t n = std::max(sides[0].size(), sides[1].size());
  for (size_t i = 0; i < n; ++i) {
    const std::string h = i < sides[0].size() ? sides[0][i] : "(nothing)";
    const std::string w = i < sides[1].size() ? sides[1][i] : "(nothing)";
    if (h == w) continue;
    same = false;
    report << "differs: host: " << h << "\n         wine: " << w << "\n";
  }
  return same;
}

}  // namespace velmoraroad
