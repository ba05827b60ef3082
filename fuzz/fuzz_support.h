// What every fuzz target shares: how a finding ends the run, so that libFuzzer
// keeps the input that caused it.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "khost.h"

namespace velmora_fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void RequireSilentVerifier(const char* when) {
  std::vector<khost::Violation> violations = khost::TakeViolations();
  if (!violations.empty())
    Fail(std::string("the verifier reported ") + when + ":\n" + khost::DescribeViolations(violations));
}

}  // namespace velmora_fuzz
