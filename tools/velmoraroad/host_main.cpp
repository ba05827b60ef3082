// velmoraroad on the kernel host: the road against a bus booted in this
// process, with the sample child driver on its children; then the host's
// verifier and leak check.
//
//   velmoraroad [--observed FILE] [--compare WINE_FILE]
//
// --observed writes this run's observations; --compare reads a Wine run's
// (velmoraroad.exe --observed) and compares the two, known differences
// applied: exit 77 when that file does not exist (no Wine run here).
#include <fstream>
#include <iostream>
#include <memory>

#include "bus_harness.h"
#include "khost.h"
#include "road.h"
#include "velmora_client_host.h"

extern "C" DRIVER_INITIALIZE ChildDrv_DriverEntry;

namespace velmoraroad {

namespace {

class HostPlatform final : public Platform {
 public:
  HostPlatform() {
    childDriver_ = velmora_test::LoadChildDriver(ChildDrv_DriverEntry, u"velmorachild");
    harness_ = std::make_unique<velmora_test::BusHarness>();
    client_ = std::make_unique<velmora::Client>(velmora::MakeHostTransport(harness_->Service()));
  }
  ~HostPlatform() override {
    client_.reset();
    if (harness_) harness_->Teardown();
    harness_.reset();
    khost::UnloadDriver(childDriver_);
  }

  velmora::Client& Client() override { return *client_; }
  velmora::Result PassEvent() override { return client_->PassEvent(); }

  bool FindChild(uint32_t serial, ChildIds* ids) override {
    khost::DevNode* node = harness_->ChildNode(serial);
    if (!node || node->state == khost::DevNodeState::Removed) return false;
    ids->instancePath = khost::Narrow(node->deviceId) + "\\" + khost::Narrow(node->instanceId);
    ids->hardwareIds.clear();
    for (const auto& id : node->hardwareIds) ids->hardwareIds.push_back(khost::Narrow(id));
    return true;
  }

  velmora::Result RemoveBus() override {
    velmora::Result r;
    r.sent = true;
    r.status = static_cast<velmora::NtStatus>(khost::Pnp().Remove(harness_->Node()));
    return r;
  }

  std::vector<std::string> DriverTrace() override {
    for (std::string& line : khost::TakeTraceLines()) trace_.push_back(std::move(line));
    return trace_;
  }

  void Settle() override { khost::Pnp().ProcessInvalidations(); }

 private:
  PDRIVER_OBJECT childDriver_ = nullptr;
  std::unique_ptr<velmora_test::BusHarness> harness_;
  std::unique_ptr<velmora::Client> client_;
  std::vector<std::string> trace_;
};

bool ReadLines(const std::string& path, std::vector<std::string>* lines) {
  std::ifstream in(path);
  if (!in) return false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines->push_back(line);
  }
  return true;
}

}  // namespace

}  // namespace velmoraroad

int main(int argc, char** argv) {
  std::string observedPath, comparePath;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--observed" || arg == "--compare") && i + 1 < argc) {
      (arg == "--observed" ? observedPath : comparePath) = argv[++i];
    } else {
      std::cerr << "usage: velmoraroad [--observed FILE] [--compare WINE_FILE]\n";
      return 2;
    }
  }
  std::vector<std::string> wine;
  if (!comparePath.empty() && !velmoraroad::ReadLines(comparePath, &wine)) {
    std::cout << "no Wine run's observations at " << comparePath << ": nothing to compare\n";
    return 77;
  }

  khost::Reset();
  std::vector<std::string> observed;
  int failures;
  {
    velmoraroad::HostPlatform platform;
    failures = velmoraroad::RunRoad(platform, std::cout, &observed);
  }
  khost::CheckLeaks();
  const std::vector<khost::Violation> violations = khost::TakeViolations();
  if (violations.empty()) {
    std::cout << "ok the kernel host's verifier and leak check are silent\n";
  } else {
    ++failures;
    std::cout << "FAIL the kernel host's verifier and leak check are silent:\n"
              << khost::DescribeViolations(violations);
  }
  khost::Reset();

  if (!observedPath.empty()) {
    std::ofstream out(observedPath);
    for (const std::string& line : observed) out << line << "\n";
  }
  if (!comparePath.empty()) {
    if (velmoraroad::Compare(observed, wine, std::cout)) {
      std::cout << "ok the kernel host and Wine agree\n";
    } else {
      ++failures;
      std::cout << "FAIL the kernel host and Wine agree\n";
    }
  }
  return failures;
}
