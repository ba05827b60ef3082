// velmoractl: bring up and debug the Velmora bus from the command line.
//
// The commands act on an Environment: the real driver on Windows (the Win32
// client transport and SetupAPI), or a bus booted in the kernel host inside
// the tool's own process on Linux. Either way a run is a sequence of commands
// from the command line (separated by ";") and from scenario files.
//
// Exit codes carry the status of the first command that failed: 0 when every
// command succeeded; on Windows the NTSTATUS itself; elsewhere its low byte
// (13 for STATUS_INVALID_PARAMETER 0xC000000D, 14 for STATUS_NO_SUCH_DEVICE,
// 255 for a status whose low byte is 0). kUsageExit for a bad command line,
// kVerifierExit when the kernel host's verifier found something at the end.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "velmora_client.h"

namespace velmoractl {

constexpr int kUsageExit = 2;
constexpr int kVerifierExit = 3;

// A child as the Plug and Play manager sees it.
struct Child {
  std::string instancePath;  // device ID \ instance ID
  std::vector<std::string> hardwareIds;
  std::vector<std::string> compatibleIds;
  std::string description;
  std::string state;   // "started", "enumerated", "problem 28", ...
  std::string driver;  // the function driver's service, if one is loaded
};

class Environment {
 public:
  virtual ~Environment() = default;
  // The client, opened on the control device (its event is passed lazily, by
  // the first command that needs it).
  virtual velmora::Client& Client() = 0;
  virtual velmora::Result ListChildren(std::vector<Child>* children) = 0;
  // Lets the Plug and Play manager act on what the bus asked of it.
  virtual void Settle() {}
  // A system sleep ("sleep", "hibernate") or the return to work ("wake").
  virtual velmora::Result Power(const std::string& state);
  // The driver's trace lines since the last call (kernel host only).
  virtual std::vector<std::string> TakeTrace() { return {}; }
  virtual void SleepMs(uint32_t ms) = 0;
  // Ctrl+C on Windows.
  virtual bool Interrupted() { return false; }
  // How long "listen" waits without --timeout (0: until interrupted).
  virtual uint32_t DefaultListenTimeoutMs() const = 0;
};

struct Options {
  bool help = false;
  bool trace = false;      // kernel host: driver trace lines after each command
  bool keepGoing = false;  // run the rest after a failure
  uint32_t maxRecord = 4096;
  std::vector<std::vector<std::string>> commands;
};

// Parses the arguments after the program name: options, then commands
// separated by ";" (a word of its own), with scenario files read in place of
// -f FILE. False with `error` set on a usage error.
bool ParseArguments(const std::vector<std::string>& args, Options* options, std::string* error);
// One line of a scenario file into words: blanks separate, "..." groups (with
// \" for a quote), '#' starts a comment outside quotes.
bool SplitLine(const std::string& line, std::vector<std::string>* words, std::string* error);
bool ReadScenario(const std::string& path, std::vector<std::vector<std::string>>* commands, std::string* error);

// Runs the commands; returns the exit code.
int Execute(Environment& environment, const Options& options, std::ostream& out, std::ostream& err);
int ExitCode(velmora::NtStatus status);
// Trace lines, indented under the command that caused them.
void ShowTrace(const std::vector<std::string>& lines, std::ostream& out);
void PrintUsage(std::ostream& out, bool windows);

// The tool on the kernel host: boots the bus (and the sample child driver),
// runs the commands, removes the bus and checks that nothing was left behind.
int RunOnHost(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace velmoractl
