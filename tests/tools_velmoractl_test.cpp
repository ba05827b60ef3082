// velmoractl on the kernel host: each run boots the bus in this process, runs
// its commands and removes the bus again; the exit code carries the status of
// the first command that failed and the output says what happened.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "velmoractl.h"

namespace {

struct ToolRun {
  int exit = -1;
  std::string out, err;
};

ToolRun Velmoractl(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  ToolRun run;
  run.exit = velmoractl::RunOnHost(args, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string TempScenario(const std::string& name, const std::string& text) {
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path) << text;
  return path;
}

}  // namespace

TEST(VelmoractlTest, CommandsReportTheirStatusInOutputAndExitCode) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int exit;
    std::vector<std::string> out;  // parts of the standard output
    std::vector<std::string> err;  // parts of the error output
  };
  const std::vector<Case> cases = {
      {"a child plugged in is listed as the manager sees it",
       {"plug", "7", "VELMORA\\NET", "VELMORA\\ANY", ";", "list"},
       0,
       {"plug 7: ok", "1 child on the bus", "VELMORA\\NET\\0007  \"ZAM_Virtual_0007\"  started",
        "hardware IDs:   VELMORA\\NET VELMORA\\ANY",
        "compatible IDs: {5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice",
        "driver:         velmorachild", "nothing left behind"},
       {}},
      {"a record put down comes back up through the sample child driver",
       {"plug", "1", "VELMORA\\NET", ";", "put", "--id", "2", "hello", "child", ";", "listen", "--count", "1"},
       0,
       {"put id 2, 11 bytes: ok", "record 1: id 21, 11 bytes: \"hello child\"", "listen: 1 record"},
       {}},
      {"hex payloads are shown as hex",
       {"plug", "1", "VELMORA\\NET", ";", "put", "--hex", "00:ff:10", ";", "fetch"},
       0,
       {"put id 1, 3 bytes: ok", "record 1: id 21, 3 bytes: 00 ff 10"},
       {}},
      {"an unplugged child is gone from the list",
       {"plug", "1", "A\\B", ";", "plug", "2", "A\\C", ";", "unplug", "1", ";", "list", ";", "unplug", "all", ";",
        "fetch"},
       0,
       {"unplug 1: ok", "1 child on the bus", "A\\C\\0002", "unplug all: ok", "fetch: the queue is empty"},
       {}},
      {"unplug of a child that is not there", {"unplug", "9"}, 14, {}, {"STATUS_NO_SUCH_DEVICE (0xC000000E)"}},
      {"a duplicate serial number is the driver's refusal",
       {"plug", "1", "A\\B", ";", "plug", "1", "A\\C"},
       13,
       {"plug 1: ok"},
       {"plug 1: STATUS_INVALID_PARAMETER (0xC000000D)"}},
      {"a comma in an ID is the client's refusal",
       {"plug", "1", "A,B"},
       13,
       {},
       {"illegal character 0x2C", "refused by the client, nothing was sent"}},
      {"serial number 0 is refused", {"plug", "0", "A\\B"}, 13, {}, {"serial number 0"}},
      {"put with no child driver on the bus", {"put", "x"}, 1, {}, {"STATUS_UNSUCCESSFUL (0xC0000001)"}},
      {"put with an id the bus would drop", {"put", "--id", "5", "x"}, 13, {}, {"message id 5"}},
      {"a listen for records that never come",
       {"listen", "--count", "1", "--timeout", "50"},
       0xB5,
       {},
       {"STATUS_IO_TIMEOUT (0xC00000B5)", "0 of 1 records"}},
      {"a listen without a count ends at its timeout", {"listen", "--timeout", "30"}, 0, {"listen: 0 records"}, {}},
      {"the children follow a sleep and a wake",
       {"plug", "1", "A\\B", ";", "power", "sleep", ";", "power", "wake", ";", "list"},
       0,
       {"power sleep: ok", "power wake: ok", "\"ZAM_Virtual_0001\"  started"},
       {}},
      {"the run stops at the first failure", {"unplug", "3", ";", "plug", "1", "A\\B"}, 14, {"> unplug 3"}, {}},
      {"--keep-going runs the rest and keeps the first failure's code",
       {"--keep-going", "unplug", "3", ";", "plug", "0", "A\\B", ";", "plug", "1", "A\\B"},
       14,
       {"plug 1: ok"},
       {"unplug 3:", "plug 0:"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ToolRun run = Velmoractl(c.args);
    EXPECT_EQ(run.exit, c.exit) << "out:\n" << run.out << "err:\n" << run.err;
    for (const std::string& part : c.out) EXPECT_TRUE(Has(run.out, part)) << "no \"" << part << "\" in:\n" << run.out;
    for (const std::string& part : c.err) EXPECT_TRUE(Has(run.err, part)) << "no \"" << part << "\" in:\n" << run.err;
    EXPECT_FALSE(Has(run.err, "verifier")) << run.err;
  }
  EXPECT_FALSE(Has(Velmoractl({"unplug", "3", ";", "plug", "1", "A\\B"}).out, "> plug 1"))
      << "a run stops at its first failure";
}

TEST(VelmoractlTest, BadCommandLinesAreUsageErrors) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"bogus"},
      {"--bogus", "list"},
      {"plug"},
      {"plug", "seven", "A\\B"},
      {"plug", "1", "A\\B", "--type"},
      {"unplug"},
      {"unplug", "some"},
      {"list", "extra"},
      {"put"},
      {"put", "--id", "300", "x"},
      {"put", "--hex", "0g"},
      {"put", "--hex", "abc"},
      {"listen", "--count"},
      {"listen", "--forever"},
      {"power", "off"},
      {"wait", "soon"},
      {"--max-record", "big", "list"},
      {"-f"},
      {"-f", "/nonexistent/velmora.scenario"},
  };
  for (const auto& args : cases) {
    std::string line;
    for (const auto& a : args) line += a + " ";
    SCOPED_TRACE(line);
    ToolRun run = Velmoractl(args);
    EXPECT_EQ(run.exit, velmoractl::kUsageExit) << run.out << run.err;
    EXPECT_FALSE(run.err.empty());
  }
}

TEST(VelmoractlTest, HelpPrintsTheCommandsAndSucceeds) {
  ToolRun run = Velmoractl({"--help"});
  EXPECT_EQ(run.exit, 0);
  for (const char* part : {"plug SERIAL HWID", "unplug SERIAL", "list", "put [--id N]", "listen", "Exit code"})
    EXPECT_TRUE(Has(run.out, part)) << part;
}

TEST(VelmoractlTest, AScenarioFileRunsLineByLine) {
  const std::string path = TempScenario("velmoractl_ok.scenario",
                                        "# two children and an echo\n"
                                        "plug 1 VELMORA\\NET   # the first\n"
                                        "\n"
                                        "plug 2 \"VELMORA\\NET2\"\r\n"
                                        "put \"say \\\"hi\\\" # not a comment\"\n"
                                        "listen --count 1\n"
                                        "list\n");
  ToolRun run = Velmoractl({"--file", path, ";", "unplug", "all"});
  EXPECT_EQ(run.exit, 0) << run.out << run.err;
  EXPECT_TRUE(Has(run.out, "record 1: id 21, 24 bytes: \"say \\\"hi\\\" # not a comment\"")) << run.out;
  EXPECT_TRUE(Has(run.out, "2 children on the bus")) << run.out;
  EXPECT_TRUE(Has(run.out, "VELMORA\\NET2\\0002")) << run.out;
  EXPECT_TRUE(Has(run.out, "> unplug all")) << "commands after the file run too";
  std::remove(path.c_str());

  const std::string bad = TempScenario("velmoractl_bad.scenario", "plug 1 A\\B\nput \"unclosed\n");
  ToolRun refused = Velmoractl({"-f", bad});
  EXPECT_EQ(refused.exit, velmoractl::kUsageExit);
  EXPECT_TRUE(Has(refused.err, ":2: a quote is not closed")) << refused.err;
  std::remove(bad.c_str());
}

TEST(VelmoractlTest, TraceShowsTheDriversLines) {
  ToolRun run = Velmoractl({"--trace", "plug", "1", "A\\B"});
  EXPECT_EQ(run.exit, 0);
  EXPECT_TRUE(Has(run.out, "   | Velmora===: Exposing PDO:")) << run.out;
  EXPECT_TRUE(Has(run.out, "   | Velmora===>BusFdo_StartDevice")) << run.out;
  EXPECT_TRUE(Has(run.out, "> (bus removed)")) << run.out;
}

TEST(VelmoractlTest, ExitCodesCarryTheStatus) {
  EXPECT_EQ(velmoractl::ExitCode(0x00000000u), 0);
  EXPECT_EQ(velmoractl::ExitCode(0x00000103u), 0) << "success statuses are success";
  EXPECT_EQ(velmoractl::ExitCode(0x80000005u), 5) << "warnings are failures";
  EXPECT_EQ(velmoractl::ExitCode(0xC000000Du), 13);
  EXPECT_EQ(velmoractl::ExitCode(0xC000009Du), 157);
  EXPECT_EQ(velmoractl::ExitCode(0xC0000100u), 255) << "never 0 for a failure";
}
