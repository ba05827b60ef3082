// Test support: a gtest fixture that gives each scenario a fresh kernel host
// and fails it for anything the verifier saw or anything left behind.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fault_sweep.h"
#include "khost.h"

// A byte of memory the host freed (pool, a completed request): it reads as the
// poison pattern, and under ASan the read itself is reported.
#if defined(__SANITIZE_ADDRESS__)
#define EXPECT_FREED(address)                                                              \
  do {                                                                                    \
    GTEST_FLAG_SET(death_test_style, "threadsafe");                                       \
    EXPECT_DEATH((void)*reinterpret_cast<volatile const uint8_t*>(address), "heap-use-after-free"); \
  } while (0)
#else
#define EXPECT_FREED(address) \
  EXPECT_EQ(*reinterpret_cast<volatile const uint8_t*>(address), khost::kFreedMemoryFill)
#endif

// One way to break a rule: the checks it must raise, separated by spaces, and
// a part of their report.
struct Provocation {
  std::string checks;
  std::function<void()> provoke;
  std::string detail = "";
};

class KernelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    khost::Reset();
    velmora_test::sweep::ArmRun();
  }
  void TearDown() override {
    velmora_test::sweep::StartTeardown();
    EndScenario();
    for (auto undo = finally_.rbegin(); undo != finally_.rend(); ++undo) (*undo)();
    finally_.clear();
    khost::CheckLeaks();
    if (velmora_test::sweep::InRun()) {  // the sweep judges the run, not the test's expectations
      velmora_test::sweep::ReportRun(HasFailure());
      khost::Reset();
      return;
    }
    std::vector<khost::Violation> violations = khost::TakeViolations();
    EXPECT_TRUE(violations.empty()) << "the kernel host's verifier reported:\n"
                                    << khost::DescribeViolations(violations);
    khost::Reset();
  }
  // Fixtures tear their devices and drivers down here, before the leak check.
  virtual void EndScenario() {}
  // What a test holds itself (a reference, a handle) is given back after the
  // scenario's teardown, also when the test stopped early.
  void Finally(std::function<void()> undo) { finally_.push_back(std::move(undo)); }
  // Takes the verifier's reports so far; a test that provokes one asserts on it.
  static std::vector<khost::Violation> TakeViolations() { return khost::TakeViolations(); }
  static bool Reported(const std::vector<khost::Violation>& violations, const std::string& check) {
    for (const auto& v : violations)
      if (v.check == check) return true;
    return false;
  }
  // Takes the reports so far and expects each check named in `checks` (separated
  // by spaces) among them with `detail` in its report; no name expects silence.
  static void ExpectReported(const std::string& checks, const std::string& detail = "") {
    std::vector<khost::Violation> violations = khost::TakeViolations();
    std::istringstream names(checks);
    if (checks.empty()) {
      EXPECT_TRUE(violations.empty()) << khost::DescribeViolations(violations);
    }
    for (std::string check; names >> check;) {
      bool found = false;
      for (const auto& v : violations)
        found = found || (v.check == check && v.detail.find(detail) != std::string::npos);
      EXPECT_TRUE(found) << check << " in\n" << khost::DescribeViolations(violations);
    }
  }
  // Each case starts from what `arrange` sets up, and `tidy` gives back what it left.
  static void ExpectEachReported(const std::vector<Provocation>& cases, const std::function<void()>& arrange = {},
                                 const std::function<void()>& tidy = {}) {
    for (const Provocation& c : cases) {
      SCOPED_TRACE(c.checks + " (case " + std::to_string(&c - cases.data()) + ")");
      if (arrange) arrange();
      c.provoke();
      ExpectReported(c.checks, c.detail);
      if (tidy) tidy();
    }
  }

 private:
  std::vector<std::function<void()>> finally_;
};
