// velmoractl on the kernel host: one process boots the bus, loads the sample
// child driver for its children, runs the commands as the service, removes
// the bus and checks that nothing was left behind.
#include <chrono>
#include <ostream>
#include <thread>

#include "bus_harness.h"
#include "khost.h"
#include "velmora_client_host.h"
#include "velmoractl.h"

#ifdef VELMORACTL_HAS_CHILD_DRIVER
extern "C" DRIVER_INITIALIZE ChildDrv_DriverEntry;
#endif

namespace velmoractl {

namespace {

std::vector<std::string> Narrowed(const std::vector<std::u16string>& texts) {
  std::vector<std::string> out;
  for (const auto& t : texts) out.push_back(khost::Narrow(t));
  return out;
}

class HostEnvironment final : public Environment {
 public:
  explicit HostEnvironment(const Options& options) : options_(options) {}
  ~HostEnvironment() override { Shutdown(); }

  velmora::Result Boot() {
    TraceMask = options_.trace ? 0x111 : 0;
#ifdef VELMORACTL_HAS_CHILD_DRIVER
    childDriver_ = velmora_test::LoadChildDriver(ChildDrv_DriverEntry, u"velmorachild");
#endif
    harness_ = std::make_unique<velmora_test::BusHarness>();
    velmora::ClientOptions clientOptions;
    clientOptions.maxRecordSize = options_.maxRecord;
    client_ = std::make_unique<velmora::Client>(velmora::MakeHostTransport(harness_->Service()), clientOptions);
    if (!harness_->Fdo()) {
      velmora::Result r;
      r.status = harness_->Node() ? harness_->Node()->lastStartStatus : velmora::status::kUnsuccessful;
      if (velmora::IsSuccess(r.status)) r.status = velmora::status::kUnsuccessful;
      r.detail = "the bus did not start in the kernel host";
      return r;
    }
    return client_->Open();
  }

  void Shutdown() {
    if (client_) client_->Close();
    client_.reset();
    if (harness_) harness_->Teardown();
    harness_.reset();
    if (childDriver_) khost::UnloadDriver(childDriver_);
    childDriver_ = nullptr;
  }

  velmora::Client& Client() override { return *client_; }

  velmora::Result ListChildren(std::vector<Child>* children) override {
    for (khost::DevNode* node : harness_->ChildNodes()) {
      Child c;
      c.instancePath = khost::Narrow(node->deviceId) + "\\" + khost::Narrow(node->instanceId);
      c.hardwareIds = Narrowed(node->hardwareIds);
      c.compatibleIds = Narrowed(node->compatibleIds);
      c.description = khost::Narrow(node->description);
      c.state = khost::DevNodeStateName(node->state);
      if (node->functionDriver) {
        const UNICODE_STRING& name = node->functionDriver->DriverName;
        std::string driver = khost::Narrow(name.Buffer, name.Length / sizeof(WCHAR));
        const size_t slash = driver.rfind('\\');
        c.driver = slash == std::string::npos ? driver : driver.substr(slash + 1);
      }
      children->push_back(c);
    }
    return velmora::Result();
  }

  void Settle() override { khost::Pnp().ProcessInvalidations(); }

  velmora::Result Power(const std::string& state) override {
    const SYSTEM_POWER_STATE target = state == "sleep"       ? PowerSystemSleeping3
                                      : state == "hibernate" ? PowerSystemHibernate
                                                             : PowerSystemWorking;
    velmora::Result r;
    for (const auto& [node, status] : khost::SetSystemPowerState(target)) {
      if (!NT_SUCCESS(status) && r.ok()) {
        r.status = static_cast<velmora::NtStatus>(status);
        r.detail = "refused by " + node->label;
      }
    }
    khost::JoinPowerThreads();
    return r;
  }

  std::vector<std::string> TakeTrace() override { return khost::TakeTraceLines(); }
  void SleepMs(uint32_t ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
  uint32_t DefaultListenTimeoutMs() const override { return 1000; }

 private:
  const Options& options_;
  PDRIVER_OBJECT childDriver_ = nullptr;
  std::unique_ptr<velmora_test::BusHarness> harness_;
  std::unique_ptr<velmora::Client> client_;
};

}  // namespace

int RunOnHost(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  Options options;
  std::string error;
  if (!ParseArguments(args, &options, &error)) {
    err << "velmoractl: " << error << "\n\n";
    PrintUsage(err, false);
    return kUsageExit;
  }
  if (options.help) {
    PrintUsage(out, false);
    return 0;
  }

  khost::Reset();
  int exit = 0;
  {
    HostEnvironment environment(options);
    velmora::Result booted = environment.Boot();
    if (!booted.ok()) {
      err << "velmoractl: " << booted.Message() << "\n";
      exit = ExitCode(booted.status);
    } else {
      exit = Execute(environment, options, out, err);
    }
    environment.Shutdown();
    if (options.trace) {
      out << "> (bus removed)\n";
      ShowTrace(environment.TakeTrace(), out);
    }
  }
  khost::CheckLeaks();
  std::vector<khost::Violation> violations = khost::TakeViolations();
  if (violations.empty()) {
    out << "kernel host: bus removed, nothing left behind\n";
  } else {
    err << "velmoractl: the kernel host's verifier reported:\n" << khost::DescribeViolations(violations);
    if (exit == 0) exit = kVerifierExit;
  }
  khost::Reset();
  return exit;
}

}  // namespace velmoractl
