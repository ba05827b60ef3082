// The Velmora bus's whole road, in the kernel host: boot the bus, let a
// service plug two children in through the client library, let the Plug and
// Play manager enumerate them and load the sample child driver, relay records
// both ways, take the children through a sleep and wake, unplug one, remove
// the bus, and print what happened, with the driver's trace and the
// verifier's summary.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "bus_harness.h"
#include "childdrv.h"
#include "khost.h"
#include "velmora_client.h"
#include "velmora_client_host.h"

extern "C" DRIVER_INITIALIZE ChildDrv_DriverEntry;

namespace {

bool g_quiet = false;
bool g_trace = true;
int g_failures = 0;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  if (g_quiet) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

void Heading(const char* title) { Say("\n== %s\n", title); }

void Check(bool ok, const std::string& what) {
  if (ok) return;
  ++g_failures;
  std::printf("!! %s\n", what.c_str());
}

// The trace lines the driver wrote since the last call, indented.
void ShowTrace() {
  std::vector<std::string> lines = khost::TakeTraceLines();
  if (!g_trace) return;
  for (std::string line : lines) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    Say("   | %s\n", line.c_str());
  }
}

const char* DeviceStateName(DEVICE_POWER_STATE state) {
  static const char* names[] = {"unspecified", "D0", "D1", "D2", "D3"};
  return state >= 0 && state <= 4 ? names[state] : "?";
}

std::string Join(const std::vector<std::u16string>& strings) {
  std::string text;
  for (const auto& s : strings) text += (text.empty() ? "" : ", ") + khost::Narrow(s);
  return text;
}

void ShowChild(khost::DevNode* node) {
  const DEVICE_CAPABILITIES& caps = node->capabilities;
  Say("  %s  [%s]\n", node->label.c_str(), khost::DevNodeStateName(node->state));
  Say("    device ID     %s\n", khost::Narrow(node->deviceId).c_str());
  Say("    instance ID   %s\n", khost::Narrow(node->instanceId).c_str());
  Say("    hardware IDs  %s\n", Join(node->hardwareIds).c_str());
  Say("    compatible    %s\n", Join(node->compatibleIds).c_str());
  Say("    description   %s\n", khost::Narrow(node->description).c_str());
  Say("    capabilities  address %u, UI number %u, D1 %u, D2 %u, wake from D1 %u, surprise removal OK %u, "
      "silent install %u, unique ID %u\n",
      caps.Address, caps.UINumber, caps.DeviceD1, caps.DeviceD2, caps.WakeFromD1, caps.SurpriseRemovalOK,
      caps.SilentInstall, caps.UniqueID);
  Say("    power map     S0 %s, S1 %s, S2 %s, S3 %s, S4 %s, S5 %s; wakes the system from %s\n",
      DeviceStateName(caps.DeviceState[PowerSystemWorking]), DeviceStateName(caps.DeviceState[PowerSystemSleeping1]),
      DeviceStateName(caps.DeviceState[PowerSystemSleeping2]), DeviceStateName(caps.DeviceState[PowerSystemSleeping3]),
      DeviceStateName(caps.DeviceState[PowerSystemHibernate]), DeviceStateName(caps.DeviceState[PowerSystemShutdown]),
      DeviceStateName(caps.DeviceWake));
}

// The sample driver's instance on a child, to read its counters.
PCHILDDRV_EXTENSION SampleOn(khost::DevNode* node, PDRIVER_OBJECT sample) {
  for (PDEVICE_OBJECT d = node->pdo->AttachedDevice; d; d = d->AttachedDevice)
    if (d->DriverObject == sample) return static_cast<PCHILDDRV_EXTENSION>(d->DeviceExtension);
  return nullptr;
}

std::string Printable(const std::vector<uint8_t>& payload) {
  std::string text;
  for (uint8_t b : payload) text.push_back(b >= 0x20 && b < 0x7F ? static_cast<char>(b) : '.');
  return text;
}

// Records the receive loop delivered, for the main thread to wait on.
struct Inbox {
  std::mutex lock;
  std::vector<velmora::Record> records;
  size_t Count() {
    std::lock_guard<std::mutex> hold(lock);
    return records.size();
  }
  bool WaitFor(size_t count) {
    for (int i = 0; i < 400 && Count() < count; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return Count() >= count;
  }
};

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quiet")) g_quiet = true;
    if (!std::strcmp(argv[i], "--no-trace")) g_trace = false;
  }
  khost::Reset();
  TraceMask = 0x111;

  Heading("Boot: the Plug and Play manager loads the bus on its root device node");
  PDRIVER_OBJECT sample = velmora_test::LoadChildDriver(ChildDrv_DriverEntry, u"velmorachild");
  {
    velmora_test::BusHarness bus;
    ShowTrace();
    Say("device tree:\n%s", khost::Pnp().Describe().c_str());
    Check(bus.Bus() && bus.Bus()->Header.PnpState == StateStarted, "the bus did not start");

    Heading("The service opens \\\\.\\Olvex and passes its event");
    velmora::Client client(velmora::MakeHostTransport(bus.Service()));
    velmora::Result result = client.Open();
    Say("open: %s\n", result.Message().c_str());
    Check(result.ok(), "open failed");
    result = client.PassEvent();
    Say("pass event: %s\n", result.Message().c_str());
    Check(result.ok(), "pass event failed");
    ShowTrace();

    Heading("The service plugs in two children");
    for (uint32_t serial : {1u, 2u}) {
      result = client.PlugIn(serial, std::vector<std::string>{"VELMORA\\BTNET", "VELMORA\\BTNET_GENERIC"});
      Say("plug-in serial %u: %s\n", serial, result.Message().c_str());
      Check(result.ok(), "plug-in failed");
    }
    result = client.PlugIn(1, std::vector<std::string>{"VELMORA\\BTNET"});
    Say("plug-in serial 1 again: %s\n", result.Message().c_str());
    Check(result.status == velmora::status::kInvalidParameter, "a duplicate serial was accepted");
    ShowTrace();

    Heading("The Plug and Play manager enumerates them and loads the sample child driver");
    bus.Enumerate();
    ShowTrace();
    Say("device tree:\n%s", khost::Pnp().Describe().c_str());
    for (khost::DevNode* child : bus.ChildNodes()) ShowChild(child);
    Check(bus.ChildNodes().size() == 2, "two children expected");

    Heading("Records travel down to the child driver and its echoes come back up");
    Inbox inbox;
    result = client.StartReceiving([&inbox](const velmora::Record& record) {
      std::lock_guard<std::mutex> hold(inbox.lock);
      inbox.records.push_back(record);
    });
    Check(result.ok(), "the receive loop did not start");
    const char* words[] = {"hello", "from", "the service"};
    uint8_t id = 1;
    for (const char* word : words) {
      result = client.Put(id, word, std::strlen(word));
      Say("put id %u \"%s\": %s\n", id, word, result.Message().c_str());
      Check(result.ok(), "put failed");
      ++id;
    }
    Check(inbox.WaitFor(3), "the echoes did not arrive");
    {
      std::lock_guard<std::mutex> hold(inbox.lock);
      for (const velmora::Record& record : inbox.records)
        Say("received tag 0x%02X id %u, %zu bytes: \"%s\"\n", record.tag, record.msgId, record.payload.size(),
            Printable(record.payload).c_str());
    }
    ShowTrace();

    Heading("A burst of 40 records crosses the flow-control marks (trace off)");
    TraceMask = 0;
    PCHILDDRV_EXTENSION link = nullptr;
    for (khost::DevNode* child : bus.ChildNodes())
      if (PCHILDDRV_EXTENSION instance = SampleOn(child, sample); instance && instance->HoldsLink) link = instance;
    ULONG drainedBefore = link ? link->Drained : 0;
    // Held back by the loop's own pace, the queue crosses 16 only if the
    // service falls behind: stop the loop, push, then let it catch up.
    client.StopReceiving();
    for (int i = 0; i < 40; ++i) {
      std::string payload = "burst " + std::to_string(i);
      client.Put(1, payload.data(), payload.size());
    }
    Say("queued for the service: %u records, flow %s\n", bus.Bus()->SendCount, bus.Bus()->FlowOn ? "on" : "off");
    client.StartReceiving([&inbox](const velmora::Record& record) {
      std::lock_guard<std::mutex> hold(inbox.lock);
      inbox.records.push_back(record);
    });
    Check(inbox.WaitFor(43), "the burst did not arrive whole");
    Say("received %zu records in all; the bus sent MSG_QUEUE_DRAINED %u time(s) during the burst; flow %s\n",
        inbox.Count(), link ? link->Drained - drainedBefore : 0, bus.Bus()->FlowOn ? "on" : "off");
    {
      std::lock_guard<std::mutex> hold(inbox.lock);
      bool ordered = true;
      for (int i = 0; i < 40 && 3 + i < static_cast<int>(inbox.records.size()); ++i)
        ordered = ordered && Printable(inbox.records[3 + i].payload) == "burst " + std::to_string(i);
      Say("burst delivered in order: %s\n", ordered ? "yes" : "NO");
      Check(ordered, "the burst came out of order");
    }
    client.StopReceiving();
    TraceMask = 0x111;
    khost::TakeTraceLines();

    Heading("The machine sleeps (S3) and wakes (S0)");
    for (SYSTEM_POWER_STATE state : {PowerSystemSleeping3, PowerSystemWorking}) {
      for (auto& [node, status] : khost::SetSystemPowerState(state)) {
        Say("  S%d -> %s: 0x%08X\n", state == PowerSystemWorking ? 0 : 3, node->label.c_str(),
            static_cast<unsigned>(status));
        Check(NT_SUCCESS(status), "a system power request failed");
      }
    }
    for (const khost::PowerReport& report : khost::PowerReports()) {
      std::string who = "?";
      for (khost::DevNode* child : bus.ChildNodes())
        if (child->pdo == report.device) who = child->label;
      Say("  %s reported %s %s\n", who.c_str(), report.type == SystemPowerState ? "system state" : "device state",
          report.type == SystemPowerState
              ? (report.state.SystemState == PowerSystemWorking ? "S0" : "S3")
              : DeviceStateName(report.state.DeviceState));
    }
    ShowTrace();

    Heading("The service unplugs serial 2");
    result = client.Unplug(2);
    Say("unplug serial 2: %s\n", result.Message().c_str());
    Check(result.ok(), "unplug failed");
    bus.Enumerate();
    ShowTrace();
    Say("device tree:\n%s", khost::Pnp().Describe().c_str());

    Heading("The service withdraws its event and closes; the bus is removed");
    result = client.Close();
    Say("close: %s\n", result.Message().c_str());
    bus.Teardown();
    ShowTrace();
    Say("device tree:\n%s", khost::Pnp().Describe().c_str());
  }
  khost::UnloadDriver(sample);

  Heading("Verifier");
  std::string summary = khost::CheckLeaks();
  std::vector<khost::Violation> violations = khost::TakeViolations();
  Say("%s\n", summary.c_str());
  if (violations.empty()) {
    Say("no rule broken, nothing left behind\n");
  } else {
    std::printf("verifier reports:\n%s", khost::DescribeViolations(violations).c_str());
    g_failures += static_cast<int>(violations.size());
  }
  khost::Reset();
  if (g_failures) std::printf("demo: %d problem(s)\n", g_failures);
  return g_failures == 0 ? 0 : 1;
}
