#include "fault_sweep.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

#include "velmora_ioctl.h"

namespace velmora_test::sweep {
namespace {

using khost::FaultPoint;
constexpr int kPoints = static_cast<int>(FaultPoint::kCount);
// Short names for the command line and the output, in FaultPoint's order.
constexpr const char* kPointNames[kPoints] = {"pool", "device", "link", "attach", "request", "power", "lower"};
// Long enough that only a hung run meets it; a run takes milliseconds.
constexpr int kHangSeconds = 120;

struct Arming {
  int point;
  uint64_t nth;
};

// Set in a child process before its tests run.
bool g_inRun = false;
int g_reportFd = -1;
std::vector<Arming> g_arming;
uint64_t g_armingsAfterArm = 0;
bool g_tearingDown = false;
std::thread::id g_testThread;

// Under injection a test's expectations fail by design, and a test that went
// on past them would use what was never made. The first failure on the test's
// own thread ends the test's body (gtest takes the exception as the failure it
// already reported and runs the teardown); the teardown runs to its end.
class StopOnFailure : public testing::EmptyTestEventListener {
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (result.failed() && !g_tearingDown && std::this_thread::get_id() == g_testThread)
      throw testing::AssertionException(result);
  }
};

std::string Flat(std::string text) {
  for (char& c : text)
    if (c == '\n' || c == '\t') c = ' ';
  return text;
}

std::string Hex32(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%#010x", value);
  return text;
}

// What one test reported from one child process.
struct Record {
  std::string test;
  uint64_t calls[kPoints] = {};
  uint64_t injected = 0;
  bool ownFaults = false, testFailed = false, ended = false;
  std::vector<std::string> problems;  // verifier reports and undocumented statuses
};

struct ChildRun {
  std::vector<Record> records;
  std::string death;  // how the child ended, when it did not end normally
  std::string stderrTail;
};

std::string g_scratch;  // the sweep's own temporary folder, for the children's stderr

std::vector<Record> Parse(const std::string& text) {
  std::vector<Record> records;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string kind;
    std::getline(fields, kind, '\t');
    if (kind == "T") {
      records.emplace_back();
      std::getline(fields, records.back().test);
      continue;
    }
    if (records.empty()) continue;
    Record& r = records.back();
    if (kind == "C") {
      for (uint64_t& calls : r.calls) fields >> calls;
    } else if (kind == "I") {
      fields >> r.injected;
    } else if (kind == "O") {
      fields >> r.ownFaults;
    } else if (kind == "F") {
      fields >> r.testFailed;
    } else if (kind == "P") {
      std::string problem;
      std::getline(fields, problem);
      r.problems.push_back(problem);
    } else if (kind == "E") {
      r.ended = true;
    }
  }
  return records;
}

std::string Tail(const std::string& path, size_t lines) {
  std::ifstream in(path);
  std::vector<std::string> all;
  for (std::string line; std::getline(in, line);) all.push_back(line);
  std::string tail;
  for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) tail += "    " + all[i] + "\n";
  return tail;
}

// Runs the tests `filter` picks (all, when empty) in a child process with
// `arming` applied in each, and collects what each reported.
ChildRun RunChild(const std::string& filter, const std::vector<Arming>& arming) {
  ChildRun result;
  int fds[2];
  if (pipe(fds) != 0) {
    result.death = "pipe failed";
    return result;
  }
  const std::string errPath = g_scratch + "/child.err";
  std::fflush(stdout);
  std::fflush(stderr);
  pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    g_inRun = true;
    g_reportFd = fds[1];
    g_arming = arming;
    int null = open("/dev/null", O_WRONLY);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null >= 0) dup2(null, STDOUT_FILENO);
    if (err >= 0) dup2(err, STDERR_FILENO);
    if (!filter.empty()) {
      GTEST_FLAG_SET(filter, filter);
      unsetenv("GTEST_TOTAL_SHARDS");  // one named test runs whatever shard the sweep is
      unsetenv("GTEST_SHARD_INDEX");
    }
    testing::TestEventListeners& listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    g_testThread = std::this_thread::get_id();
    listeners.Append(new StopOnFailure);
    // Whether the tests passed is in what they reported, not in this.
    if (RUN_ALL_TESTS() < 0) _exit(3);
    _exit(0);
  }
  close(fds[1]);
  if (pid < 0) {
    close(fds[0]);
    result.death = "fork failed";
    return result;
  }
  std::string text;
  bool hung = false;
  for (;;) {
    pollfd p{fds[0], POLLIN, 0};
    int ready = poll(&p, 1, kHangSeconds * 1000);
    if (ready == 0) {
      hung = true;
      kill(pid, SIGKILL);
      break;
    }
    if (ready < 0) continue;
    char buffer[4096];
    ssize_t got = read(fds[0], buffer, sizeof(buffer));
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.records = Parse(text);
  if (hung) {
    result.death = "no progress for " + std::to_string(kHangSeconds) + " s (hung), killed";
  } else if (WIFSIGNALED(status)) {
    result.death = std::string("killed by signal ") + strsignal(WTERMSIG(status));
  } else if (WEXITSTATUS(status) != 0) {
    result.death = "exited with " + std::to_string(WEXITSTATUS(status));
  }
  if (!result.death.empty()) result.stderrTail = Tail(errPath, 30);
  return result;
}

std::string Describe(const std::vector<Arming>& arming) {
  if (arming.empty()) return "nothing failing";
  std::string text;
  for (const Arming& a : arming)
    text += (text.empty() ? "" : ", ") + std::string(kPointNames[a.point]) + " call " + std::to_string(a.nth);
  text += " failing";
  if (arming.size() == 1)  // how to replay it
    text += " (at:" + std::string(kPointNames[arming[0].point]) + ":" + std::to_string(arming[0].nth) + ")";
  return text;
}

struct Tally {
  size_t scenarios = 0, runs = 0, injectedRuns = 0;
  std::vector<std::string> ownFaults, failures;
  size_t runsOf[kPoints] = {};
};

// One run of one test; returns whether the failure was reached (and so
// whether the next call is worth failing).
bool CheckedRun(Tally& tally, const std::string& test, const std::vector<Arming>& arming) {
  ChildRun run = RunChild(test, arming);
  ++tally.runs;
  for (const Arming& a : arming) ++tally.runsOf[a.point];
  const Record* record = nullptr;
  for (const Record& r : run.records)
    if (r.test == test) record = &r;
  const std::string what = test + " with " + Describe(arming);
  if (!record || !record->ended) {
    tally.failures.push_back(what + ": " + (run.death.empty() ? "the test never reported" : run.death) + "\n" +
                             run.stderrTail);
    return true;  // a crash says nothing about the next call: go on
  }
  if (record->injected) ++tally.injectedRuns;
  for (const std::string& problem : record->problems) tally.failures.push_back(what + ": " + problem);
  if (!run.death.empty()) tally.failures.push_back(what + ": " + run.death + "\n" + run.stderrTail);
  return record->injected != 0;
}

void Systematic(Tally& tally, const Record& scenario) {
  for (int p = 0; p < kPoints; ++p) {
    if (scenario.calls[p] == 0) continue;
    // A failure may make a scenario take more calls than before, so the
    // walk goes on until a run no longer reaches the call; the bound only
    // stops a scenario whose count runs away.
    const uint64_t bound = 4 * scenario.calls[p] + 64;
    for (uint64_t nth = 1; nth <= bound; ++nth)
      if (!CheckedRun(tally, scenario.test, {{p, nth}})) break;
  }
}

void Random(Tally& tally, const Record& scenario, uint64_t seed, int runs) {
  // Seeded per test, so a test's runs repeat whatever else the sweep ran.
  std::mt19937_64 random(seed ^ std::hash<std::string>()(scenario.test));
  std::vector<int> reached;
  for (int p = 0; p < kPoints; ++p)
    if (scenario.calls[p]) reached.push_back(p);
  if (reached.empty()) return;
  for (int run = 0; run < runs; ++run) {
    std::vector<Arming> arming;
    for (int p : reached)
      if (random() & 1) arming.push_back({p, 1 + random() % scenario.calls[p]});
    if (arming.empty()) {
      int p = reached[random() % reached.size()];
      arming.push_back({p, 1 + random() % scenario.calls[p]});
    }
    CheckedRun(tally, scenario.test, arming);
  }
}

int Sweep(const std::string& mode) {
  bool random = false;
  uint64_t seed = 0;
  int runs = 8;
  if (mode.rfind("random:", 0) == 0) {
    random = true;
    char* end = nullptr;
    seed = std::strtoull(mode.c_str() + 7, &end, 0);
    if (end && *end == ':') runs = std::atoi(end + 1);
  } else if (mode != "systematic") {
    std::fprintf(stderr, "VELMORA_FAULT_SWEEP=%s: expected systematic, random:<seed>[:<runs>] or at:<point>:<n>\n",
                 mode.c_str());
    return 2;
  }
  // A folder of this sweep's own, where the caller keeps temporary files.
  const char* tmp = std::getenv("TMPDIR");
  std::string scratch = std::string(tmp && *tmp ? tmp : P_tmpdir) + "/velmora-sweep-XXXXXX";
  if (!mkdtemp(scratch.data())) {
    std::perror("mkdtemp");
    return 2;
  }
  g_scratch = scratch;

  Tally tally;
  ChildRun counting = RunChild("", {});
  if (!counting.death.empty())
    tally.failures.push_back("the counting run: " + counting.death + "\n" + counting.stderrTail);
  for (const Record& scenario : counting.records) {
    ++tally.scenarios;
    if (!scenario.ended) continue;  // its crash is the counting run's failure above
    if (scenario.testFailed || !scenario.problems.empty()) {
      tally.failures.push_back(scenario.test + " fails with nothing failing" +
                               (scenario.problems.empty() ? "" : ": " + scenario.problems.front()));
      continue;
    }
    if (scenario.ownFaults) {
      tally.ownFaults.push_back(scenario.test);
      continue;
    }
    if (random)
      Random(tally, scenario, seed, runs);
    else
      Systematic(tally, scenario);
  }
  std::remove((g_scratch + "/child.err").c_str());
  rmdir(scratch.c_str());

  for (const std::string& failure : tally.failures) std::printf("FAILED %s\n", failure.c_str());
  std::printf("fault sweep (%s): %zu scenario tests, %zu (scenario, fault point) runs, %zu of them with the failure "
              "injected; runs per point:",
              mode.c_str(), tally.scenarios, tally.runs, tally.injectedRuns);
  for (int p = 0; p < kPoints; ++p) std::printf(" %s %zu", kPointNames[p], tally.runsOf[p]);
  std::printf("\n");
  if (!tally.ownFaults.empty()) {
    std::printf("left out, as they fail calls themselves:");
    for (const std::string& test : tally.ownFaults) std::printf(" %s", test.c_str());
    std::printf("\n");
  }
  std::printf("%zu failures\n", tally.failures.size());
  return tally.failures.empty() ? 0 : 1;
}

}  // namespace

bool InRun() { return g_inRun; }

void ArmRun() {
  g_tearingDown = false;
  for (const Arming& a : g_arming) khost::FailNth(static_cast<FaultPoint>(a.point), a.nth);
  g_armingsAfterArm = khost::FaultArmings();
}

void StartTeardown() { g_tearingDown = true; }

void ReportRun(bool testFailed) {
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::ostringstream out;
  out << "T\t" << info->test_suite_name() << "." << info->name() << "\nC";
  for (int p = 0; p < kPoints; ++p) out << "\t" << khost::CallCount(static_cast<FaultPoint>(p));
  out << "\nI\t" << khost::InjectedFailures() << "\nO\t" << (khost::FaultArmings() != g_armingsAfterArm)
      << "\nF\t" << testFailed << "\n";
  for (const khost::Violation& v : khost::TakeViolations()) out << "P\t[" << v.check << "] " << Flat(v.detail) << "\n";
  for (const khost::ControlOutcome& o : khost::ControlOutcomes())
    if (!DocumentedStatus(o.code, o.status))
      out << "P\tcontrol code " << Hex32(o.code) << " answered " << Hex32(static_cast<uint32_t>(o.status))
          << ", not a status the driver answers for it\n";
  out << "E\n";
  const std::string text = out.str();
  for (size_t sent = 0; sent < text.size();) {
    ssize_t n = write(g_reportFd, text.data() + sent, text.size() - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
}

bool DocumentedStatus(ULONG code, NTSTATUS status) {
  // The I/O manager's own answers (a closed handle, access the handle lacks)
  // and the dispatcher's (the bus not started, or going) come for every code.
  for (NTSTATUS any : {STATUS_INVALID_HANDLE, STATUS_ACCESS_DENIED, STATUS_DEVICE_NOT_CONNECTED, STATUS_DELETE_PENDING})
    if (status == any) return true;
  std::vector<NTSTATUS> answers;
  switch (code) {
    case IOCTL_NETBUS_PLUG_IN:
      answers = {STATUS_SUCCESS, STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES};
      break;
    case IOCTL_NETBUS_PLUG_OUT:
      answers = {STATUS_SUCCESS, STATUS_INVALID_PARAMETER, STATUS_NO_SUCH_DEVICE};
      break;
    case IOCTL_NETBUS_EXCHANGE_CALLBACK:
      answers = {};  // refused to every process (STATUS_ACCESS_DENIED above)
      break;
    case IOCTL_CORVANE_PASS_EVENT:  // and what referencing the handle answers
      answers = {STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL, STATUS_OBJECT_TYPE_MISMATCH};
      break;
    case IOCTL_CORVANE_DELETE_EVENT:
      answers = {STATUS_SUCCESS};
      break;
    case IOCTL_CORVANE_GET_MSG:
      answers = {STATUS_SUCCESS, STATUS_INVALID_PARAMETER, STATUS_UNSUCCESSFUL, STATUS_BUFFER_TOO_SMALL};
      break;
    case IOCTL_CORVANE_PUT_MSG:
      answers = {STATUS_SUCCESS, STATUS_INVALID_PARAMETER, STATUS_UNSUCCESSFUL};
      break;
    default:
      answers = {STATUS_NOT_SUPPORTED};
      break;
  }
  for (NTSTATUS answer : answers)
    if (status == answer) return true;
  return false;
}

int Main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  const char* mode = std::getenv("VELMORA_FAULT_SWEEP");
  // A death test's re-run of the executable runs just that test.
  if (!mode || !*mode || !GTEST_FLAG_GET(internal_run_death_test).empty()) return RUN_ALL_TESTS();
  // at:<point>:<n> replays one run of a sweep in this process, with the
  // test's own output, to see what went wrong.
  if (std::strncmp(mode, "at:", 3) == 0) {
    const std::string point(mode + 3, std::strcspn(mode + 3, ":"));
    for (int p = 0; p < kPoints; ++p)
      if (point == kPointNames[p]) g_arming = {{p, std::strtoull(mode + 4 + point.size(), nullptr, 0)}};
    if (g_arming.empty()) std::fprintf(stderr, "VELMORA_FAULT_SWEEP=%s: no such point\n", mode);
    return g_arming.empty() ? 2 : RUN_ALL_TESTS();
  }
  return Sweep(mode);
}

}  // namespace velmora_test::sweep
