// The Velmora bus's whole road, in the kernel host: boot the bus, let a
// service plug two children in, let the Plug and Play manager enumerate and
// start them, take them through a sleep and wake, unplug one, remove the bus,
// and print what happened, with the driver's trace and the verifier's summary.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "bus_harness.h"
#include "khost.h"
#include "passthrough_driver.h"

namespace {

bool g_quiet = false;
bool g_trace = true;

void Say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Say(const char* format, ...) {
  if (g_quiet) return;
  va_list args;
  va_start(args, format);
  std::vprintf(format, args);
  va_end(args);
}

void Heading(const char* title) { Say("\n== %s\n", title); }

// The trace lines the driver wrote since the last call, indented.
void ShowTrace() {
  std::vector<std::string> lines = khost::TakeTraceLines();
  if (!g_trace) return;
  for (std::string line : lines) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    Say("   | %s\n", line.c_str());
  }
}

std::string Status(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

const char* DeviceStateName(DEVICE_POWER_STATE state) {
  static const char* names[] = {"unspecified", "D0", "D1", "D2", "D3"};
  return state >= 0 && state <= 4 ? names[state] : "?";
}

void ShowChild(khost::DevNode* node) {
  Say("  %s\n", node->label.c_str());
  Say("    device ID     %s\n", khost::Narrow(node->deviceId).c_str());
  Say("    instance ID   %s\n", khost::Narrow(node->instanceId).c_str());
  std::string ids;
  for (const auto& id : node->hardwareIds) ids += (ids.empty() ? "" : ", ") + khost::Narrow(id);
  Say("    hardware IDs  %s\n", ids.c_str());
  ids.clear();
  for (const auto& id : node->compatibleIds) ids += (ids.empty() ? "" : ", ") + khost::Narrow(id);
  Say("    compatible    %s\n", ids.c_str());
  Say("    description   %s\n", khost::Narrow(node->description).c_str());
  const DEVICE_CAPABILITIES& caps = node->capabilities;
  Say("    capabilities  address %u, UI number %u, D1 %u D2 %u, wake from D1 %u, surprise removal OK %u, "
      "silent install %u, unique ID %u\n",
      caps.Address, caps.UINumber, caps.DeviceD1, caps.DeviceD2, caps.WakeFromD1, caps.SurpriseRemovalOK,
      caps.SilentInstall, caps.UniqueID);
  Say("    power map     S0 %s, S1 %s, S2 %s, S3 %s, S4 %s, S5 %s; wakes from %s\n",
      DeviceStateName(caps.DeviceState[PowerSystemWorking]), DeviceStateName(caps.DeviceState[PowerSystemSleeping1]),
      DeviceStateName(caps.DeviceState[PowerSystemSleeping2]), DeviceStateName(caps.DeviceState[PowerSystemSleeping3]),
      DeviceStateName(caps.DeviceState[PowerSystemHibernate]), DeviceStateName(caps.DeviceState[PowerSystemShutdown]),
      DeviceStateName(caps.DeviceWake));
  Say("    state         %s\n", khost::DevNodeStateName(node->state));
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quiet")) g_quiet = true;
    if (!std::strcmp(argv[i], "--no-trace")) g_trace = false;
  }
  khost::Reset();
  TraceMask = 0x111;

  Heading("Boot: the Plug and Play manager loads the bus on its root device node");
  PDRIVER_OBJECT function = khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
  khost::Pnp().RegisterFunctionDriver(u"{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice", function);
  int failures = 0;
  {
    velmora_test::BusHarness bus;
    ShowTrace();
    Say("device tree:\n%s", khost::Pnp().Describe().c_str());
    Say("bus state: %s\n", bus.Bus() && bus.Bus()->Header.PnpState == StateStarted ? "started" : "NOT started");

    Heading("The service opens \\\\.\\Olvex");
    NTSTATUS status;
    HANDLE control = bus.Open(&status);
    ShowTrace();
    Say("open: %s, open handles on the bus: %d\n", Status(status).c_str(), bus.Bus()->OpenHandleCount);
    if (!NT_SUCCESS(status)) ++failures;

    Heading("The service plugs in two children");
    NTSTATUS first = bus.PlugIn(control, 1, {u"VELMORA\\BTNET", u"VELMORA\\BTNET_GENERIC"});
    NTSTATUS second = bus.PlugIn(control, 2, {u"VELMORA\\BTNET", u"VELMORA\\BTNET_GENERIC"});
    Say("plug-in serial 1: %s, serial 2: %s\n", Status(first).c_str(), Status(second).c_str());
    if (!NT_SUCCESS(first) || !NT_SUCCESS(second)) ++failures;
    ShowTrace();

    Heading("The Plug and Play manager enumerates and starts them");
    bus.Enumerate();
    ShowTrace();
    Say("device tree:\n%s", khost::Pnp().Describe().c_str());
    for (khost::DevNode* child : bus.ChildNodes()) ShowChild(child);

    Heading("The machine sleeps (S3) and wakes (S0)");
    for (SYSTEM_POWER_STATE state : {PowerSystemSleeping3, PowerSystemWorking}) {
      for (auto& [node, result] : khost::SetSystemPowerState(state))
        Say("  S%d -> %s: %s\n", state - 1, node->label.c_str(), Status(result).c_str());
    }
    ShowTrace();
    for (const khost::PowerReport& report : khost::PowerReports())
      Say("  reported: %s %s %d\n", report.device == bus.Fdo() ? "bus" : "child",
          report.type == SystemPowerState ? "system state" : "device state", report.state.SystemState);

    Heading("The service unplugs serial 2");
    status = bus.Unplug(control, 2);
    Say("unplug: %s\n", Status(status).c_str());
    bus.Enumerate();
    ShowTrace();
    Say("device tree:\n%s", khost::Pnp().Describe().c_str());

    Heading("The service closes its handle and the bus is removed");
    bus.Service().Close(control);
    bus.Teardown();
    ShowTrace();
    Say("device tree:\n%s", khost::Pnp().Describe().c_str());
  }
  khost::UnloadDriver(function);

  Heading("Verifier");
  std::string summary = khost::CheckLeaks();
  std::vector<khost::Violation> violations = khost::TakeViolations();
  Say("%s\n", summary.c_str());
  if (violations.empty()) {
    Say("no rule broken, nothing left behind\n");
  } else {
    std::printf("verifier reports:\n%s", khost::DescribeViolations(violations).c_str());
    failures += static_cast<int>(violations.size());
  }
  khost::Reset();
  return failures == 0 ? 0 : 1;
}
