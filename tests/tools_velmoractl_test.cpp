// velmoractl on the kernel host: each run boots the bus in this process, runs
// its commands and removes the bus again; the exit code carries the status of
// the first command that failed and the output says what happened.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "../windows/installer/velmora_install.h"
#include "velmoractl.h"

namespace {

// Exit code, standard output and error output of a run whose command line is `line` split at blanks.
std::tuple<int, std::string, std::string> Velmoractl(const std::string& line) {
  std::istringstream words(line);
  std::ostringstream out, err;
  const int exit = velmoractl::RunOnHost({std::istream_iterator<std::string>(words), {}}, out, err);
  return {exit, out.str(), err.str()};
}

// A folder of this test's own: the shared temporary folder is shared with every other test
// process, and another run of this very test may be writing the same names there.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = ::testing::TempDir();
    pattern += "velmoractl_test.XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    for (const std::string& file : files_) std::remove(file.c_str());
    if (!path_.empty()) rmdir(path_.c_str());
  }
  std::string File(const std::string& name) {
    files_.push_back(path_ + "/" + name);
    return files_.back();
  }
  bool Made() const { return !path_.empty(); }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

}  // namespace

TEST(VelmoractlTest, CommandsAndScenarioFilesReportTheirStatusInOutputAndExitCode) {
  ScratchFolder scratch;
  ASSERT_TRUE(scratch.Made()) << "no folder could be made in " << ::testing::TempDir();
  const std::string good = scratch.File("good.scenario");
  const std::string bad = scratch.File("bad.scenario");
  std::ofstream(good) << "# two children and an echo\nplug 1 VELMORA\\NET   # the first\n\nplug 2 \"VELMORA\\NET2\"\r\n"
                         "put \"say \\\"hi\\\" # not a comment\"\nlisten --count 1\nlist\n";
  std::ofstream(bad) << "plug 1 A\\B\nput \"unclosed\n";
  struct Case {
    std::string line;
    int exit;
    std::vector<std::string> out, err = {};  // parts of each
  };
  const std::vector<Case> cases = {
      {"plug 7 VELMORA\\NET VELMORA\\ANY ; list", 0,
       {"plug 7: ok", "1 child on the bus", "VELMORA\\NET\\0007  \"ZAM_Virtual_0007\"  started",
        "hardware IDs:   VELMORA\\NET VELMORA\\ANY", "driver:         velmorachild", "nothing left behind",
        "compatible IDs: " VELMORA_CHILD_COMPATIBLE_ID}},
      {"plug 1 VELMORA\\NET ; put --id 2 hello child ; listen --count 1", 0,
       {"put id 2, 11 bytes: ok", "record 1: id 21, 11 bytes: \"hello child\"", "listen: 1 record"}},
      {"plug 1 VELMORA\\NET ; put --hex 00:ff:10 ; fetch", 0, {"put id 1, 3 bytes: ok", "3 bytes: 00 ff 10"}},
      {"plug 1 A\\B ; plug 2 A\\C ; unplug 1 ; list ; unplug all ; fetch", 0,
       {"unplug 1: ok", "1 child on the bus", "A\\C\\0002", "unplug all: ok", "fetch: the queue is empty"}},
      {"plug 1 A\\B ; power sleep ; power wake ; list", 0, {"power sleep: ok", "power wake: ok", "01\"  started"}},
      {"unplug 9", 14, {}, {"STATUS_NO_SUCH_DEVICE (0xC000000E)"}},
      {"plug 1 A\\B ; plug 1 A\\C", 13, {"plug 1: ok"}, {"plug 1: STATUS_INVALID_PARAMETER (0xC000000D)"}},
      {"plug 1 A,B", 13, {}, {"illegal character 0x2C", "refused by the client, nothing was sent"}},
      {"plug 0 A\\B", 13, {}, {"serial number 0"}},
      {"put x", 1, {}, {"STATUS_UNSUCCESSFUL (0xC0000001)"}},
      {"put --id 5 x", 13, {}, {"message id 5"}},
      {"listen --count 1 --timeout 50", 0xB5, {}, {"STATUS_IO_TIMEOUT (0xC00000B5)", "0 of 1 records"}},
      {"listen --timeout 30", 0, {"listen: 0 records"}},
      {"--trace plug 1 A\\B", 0, {"   | Velmora===: Exposing PDO:", "| Velmora===>BusFdo_StartDevice", "(bus removed"}},
      {"--keep-going unplug 3 ; plug 0 A\\B ; plug 1 A\\B", 14, {"plug 1: ok"}, {"unplug 3:", "plug 0:"}},
      {"--file " + good + " ; unplug all", 0,
       {"record 1: id 21, 24 bytes: \"say \\\"hi\\\" # not a comment\"", "2 children on the bus", "VELMORA\\NET2\\0002",
        "> unplug all"}},
      {"-f " + bad, velmoractl::kUsageExit, {}, {":2: a quote is not closed"}},
      {"--help", 0, {"plug SERIAL HWID", "unplug SERIAL", "list", "put [--id N]", "listen", "Exit code"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto [exit, out, err] = Velmoractl(c.line);
    EXPECT_EQ(exit, c.exit) << "out:\n" << out << "err:\n" << err;
    for (const std::string& part : c.out) EXPECT_NE(out.find(part), std::string::npos) << part << ":\n" << out;
    for (const std::string& part : c.err) EXPECT_NE(err.find(part), std::string::npos) << part << ":\n" << err;
    EXPECT_EQ(err.find("verifier reported"), std::string::npos) << err;
  }
  const auto [exit, out, err] = Velmoractl("unplug 3 ; plug 1 A\\B");
  EXPECT_EQ(exit, 14) << err;
  EXPECT_EQ(out.find("> plug 1"), std::string::npos) << "a run stops at its first failure:\n" << out;
  // Success statuses are success, warnings failures, and a failure never exits 0.
  for (auto [status, exit] : {std::pair{0x103u, 0}, {0x80000005u, 5}, {0xC000009Du, 157}, {0xC0000100u, 255}})
    EXPECT_EQ(velmoractl::ExitCode(status), exit) << std::hex << status;
}

TEST(VelmoractlTest, BadCommandLinesAreUsageErrors) {
  for (const char* line : {"", "bogus", "--bogus list", "plug", "plug seven A\\B", "plug 1 A\\B --type", "unplug",
                           "unplug some", "list extra", "put", "put --id 300 x", "put --hex 0g", "put --hex abc",
                           "listen --count", "listen --forever", "power off", "wait soon", "--max-record big list",
                           "-f", "-f /nonexistent/velmora.scenario"}) {
    const auto [exit, out, err] = Velmoractl(line);
    EXPECT_TRUE(exit == velmoractl::kUsageExit && !err.empty()) << line << ": " << exit << out << err;
  }
}
