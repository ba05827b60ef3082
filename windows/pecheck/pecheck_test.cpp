// The PE checker against small images built here, one fault at a time.
#include "pecheck.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <tuple>

#include <unistd.h>

namespace pecheck {
namespace {

using Bytes = std::vector<uint8_t>;
using Imports = std::vector<std::pair<std::string, std::vector<std::string>>>;  // "#N" is ordinal N
const Imports kImports = {{"ntoskrnl.exe", {"IoCreateDevice", "IofCompleteRequest", "DbgPrint"}}};
constexpr size_t kCoff = 0x44, kOpt = kCoff + 20, kSectionTable = kOpt + 240, kIdata = 0xc00;

void Put(Bytes& b, size_t at, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutText(Bytes& b, size_t at, const std::string& text) { std::copy(text.begin(), text.end(), b.begin() + at); }

// A well-formed x64 driver: 0x400 bytes of headers, then .text, .data and
// .idata at RVAs 0x1000, 0x2000 and 0x3000, 0x400 bytes each.
Bytes BuildImage(const Imports& imports = kImports) {
  Bytes b(0x1000, 0);
  const std::tuple<size_t, uint64_t, int> fields[] = {
      {0, 0x5a4d, 2}, {0x3c, 0x40, 4}, {0x40, 0x4550, 4}, {kCoff, kMachineAmd64, 2}, {kCoff + 2, 3, 2},
      {kCoff + 16, 240, 2}, {kCoff + 18, kFileExecutableImage | 0x20, 2}, {kOpt, kMagicPe32Plus, 2},
      {kOpt + 16, 0x1010, 4}, {kOpt + 24, 0x140000000ull, 8}, {kOpt + 32, 0x1000, 4}, {kOpt + 36, 0x200, 4},
      {kOpt + 56, 0x4000, 4}, {kOpt + 60, 0x400, 4}, {kOpt + 68, kSubsystemNative, 2}, {kOpt + 108, 16, 4},
      {kOpt + 70, kDllCharNxCompat | kDllCharDynamicBase | 0x20, 2}};
  for (const auto& [at, value, width] : fields) Put(b, at, value, width);
  const uint32_t flags[] = {kScnCntCode | kScnMemExecute | kScnMemRead, 0x40 | kScnMemRead | kScnMemWrite,
                            0x40 | kScnMemRead | kScnMemWrite};
  for (size_t s = 0; s < 3; ++s) {
    const size_t h = kSectionTable + 40 * s;
    PutText(b, h, std::string(".text\0\0.data\0\0.idata", 21).substr(7 * s, 6));
    Put(b, h + 8, 0x400, 4), Put(b, h + 12, 0x1000 * (s + 1), 4), Put(b, h + 16, 0x400, 4);
    Put(b, h + 20, 0x400 * (s + 1), 4), Put(b, h + 36, flags[s], 4);
  }
  if (!imports.empty()) Put(b, kOpt + 120, 0x3000, 4), Put(b, kOpt + 124, (imports.size() + 1) * 20, 4);
  auto rva = [](size_t offset) { return offset - kIdata + 0x3000; };
  size_t table = kIdata + 0x80, name = kIdata + 0x200;
  for (size_t m = 0; m < imports.size(); ++m) {
    const auto& [dll, routines] = imports[m];
    const size_t count = routines.size() + 1;
    Put(b, kIdata + 20 * m, rva(table), 4), Put(b, kIdata + 20 * m + 16, rva(table + 8 * count), 4);
    Put(b, kIdata + 20 * m + 12, rva(name), 4), PutText(b, name, dll), name += dll.size() + 1;
    for (size_t r = 0; r < routines.size(); ++r) {
      uint64_t thunk = (uint64_t{1} << 63) | std::strtoul(routines[r].c_str() + 1, nullptr, 10);
      if (routines[r][0] != '#') thunk = rva(name), PutText(b, name + 2, routines[r]), name += routines[r].size() + 3;
      Put(b, table + 8 * r, thunk, 8), Put(b, table + 8 * (count + r), thunk, 8);
    }
    table += 16 * count;
  }
  return b;
}

// Everything wrong with an image, one line each: why it cannot be read, or each check it fails.
std::vector<std::string> Problems(const Bytes& bytes) {
  Image image;
  std::string error;
  if (!ParseImage(bytes, &image, &error)) return {"unreadable: " + error};
  Policy policy;
  policy.allowed_routines = {"IoCreateDevice", "IofCompleteRequest", "DbgPrint", "KeGetCurrentIrql"};
  return CheckKernelDriver(image, policy);
}

// One thing broken in an otherwise good image, and what must be said about it.
struct Broken { const char* what; std::function<void(Bytes&)> breaks; const char* message; };
auto Set(size_t at, uint64_t value, int width) { return [=](Bytes& b) { Put(b, at, value, width); }; }
auto With(const Imports& imports) { return [=](Bytes& b) { b = BuildImage(imports); }; }

TEST(PeCheck, GoodImagesPassAndEachFaultIsReportedAloneAndClearly) {
  for (const Imports& imports : {kImports, {{"NTOSKRNL.EXE", {"DbgPrint"}}, {"HAL.dll", {"KeGetCurrentIrql"}}}, {}})
    EXPECT_EQ(Problems(BuildImage(imports)), std::vector<std::string>{});
  const size_t thunk = kIdata + 0x80;  // the first module's first lookup entry
  const uint32_t wx = kScnMemWrite | kScnMemExecute;
  const std::vector<Broken> cases = {
      {"console subsystem", Set(kOpt + 68, 3, 2), "subsystem is 3 (Windows console), expected 1 (native)"},
      {"GUI subsystem", Set(kOpt + 68, 2, 2), "subsystem is 2 (Windows GUI), expected 1 (native)"},
      {"x86 machine", Set(kCoff, 0x14c, 2), "machine is 0x014c (x86), expected 0x8664 (x64)"},
      {"DLL flag", Set(kCoff + 18, kFileExecutableImage | kFileDll, 2), "the image is marked as a DLL"},
      {"not executable", Set(kCoff + 18, 0x20, 2), "the image is not marked executable"},
      {"relocations stripped", Set(kCoff + 18, kFileExecutableImage | kFileRelocsStripped, 2), "relocations are strip"},
      {"no entry point", Set(kOpt + 16, 0, 4), "entry point is not set"},
      {"entry point in data", Set(kOpt + 16, 0x2000, 4), "entry point 0x00002000 is not inside an executable section"},
      {"writable and executable data", Set(kSectionTable + 76, wx, 4), "section .data is both writable and executable"},
      {"writable code", Set(kSectionTable + 36, wx, 4), "section .text is both writable and executable"},
      {"no NX flag", Set(kOpt + 70, kDllCharDynamicBase | 0x20, 2), "DLL characteristics 0x0060 lack NX_COMPAT"},
      {"no dynamic base", Set(kOpt + 70, kDllCharNxCompat | 0x20, 2), "DLL characteristics 0x0120 lack DYNAMIC_BASE"},
      {"512-byte section alignment", Set(kOpt + 32, 0x200, 4), "section alignment is 512, expected 4096"},
      {"delay-load imports", Set(kOpt + 112 + 8 * 13, 0x3300, 4), "the image has delay-load imports"},
      {"user-mode import", With({kImports[0], {"kernel32.dll", {"CreateFileW"}}}),
       "imports CreateFileW from kernel32.dll; a kernel driver may import only from ntoskrnl.exe or hal.dll"},
      {"unlisted kernel routine", With({{"ntoskrnl.exe", {"DbgPrint", "ZwTerminateProcess"}}}),
       "imports ZwTerminateProcess from ntoskrnl.exe, which is not in the list of allowed kernel routines"},
      {"routine names are case-sensitive", With({{"ntoskrnl.exe", {"dbgprint"}}}), "imports dbgprint from ntoskrnl"},
      {"import by ordinal", With({{"ntoskrnl.exe", {"DbgPrint", "#17"}}}),
       "imports ordinal 17 from ntoskrnl.exe; kernel routines are imported by name"},
      // Images the checker cannot read at all.
      {"no MZ", Set(0, 0, 2), "unreadable: not a PE image: no MZ header"},
      {"no PE signature", Set(0x40, 0, 4), "unreadable: not a PE image: no PE signature at 0x00000040"},
      {"PE32", Set(kOpt, 0x10b, 2), "unreadable: optional header magic 0x010b is not PE32+"},
      {"too many data directories", Set(kOpt + 108, 17, 4), "unreadable: data directories run past"},
      {"section table past the end", Set(kCoff + 2, 200, 2), "unreadable: truncated section table"},
      {"section past the end", Set(kSectionTable + 96, 0x600, 4), "unreadable: section .idata runs past the end"},
      {"import directory outside", Set(kOpt + 120, 0x9000, 4), "unreadable: import directory lies outside"},
      {"module name outside", Set(kIdata + 12, 0x7fff0000, 4), "unreadable: import module name at 0x7fff0000 lies"},
      {"import table outside", Set(kIdata, 0x9000, 4), "unreadable: import table of ntoskrnl.exe lies outside"},
      {"malformed entry", Set(thunk, 0x80000000u, 8), "unreadable: import table of ntoskrnl.exe holds a malformed"},
      {"import name outside", Set(thunk, 0x9000, 8), "unreadable: an import name of ntoskrnl.exe lies outside"},
  };
  for (const Broken& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes bytes = BuildImage();
    c.breaks(bytes);
    const std::vector<std::string> problems = Problems(bytes);
    ASSERT_EQ(problems.size(), 1u) << ::testing::PrintToString(problems);
    EXPECT_NE(problems[0].find(c.message), std::string::npos) << "expected: " << c.message << "\n got: " << problems[0];
  }
  // The import section is last: any cut loses part of it, and nothing is read past the end.
  const Bytes whole = BuildImage();
  for (size_t length = 0; length < whole.size(); ++length) {
    const auto cut = Problems(Bytes(whole.begin(), whole.begin() + length));
    ASSERT_TRUE(cut.size() == 1 && cut[0].rfind("unreadable: ", 0) == 0) << length << ::testing::PrintToString(cut);
  }
}

TEST(PeCheck, CommandNamesEveryFaultAndExitsZeroOnlyWhenEveryImagePassesAndTwoOnUsageOrIoErrors) {
  // ctest runs tests as separate processes at once: keep their files apart.
  const std::string base = ::testing::TempDir() + "pecheck_" + std::to_string(getpid());
  auto write = [&](const std::string& name, const Bytes& bytes) {
    std::ofstream(base + name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return base + name;
  };
  const std::string text = "# pool\nIoCreateDevice  # I/O\n\n\tIofCompleteRequest\nDbgPrint\n";
  const std::string two = "A\nntoskrnl.exe B\n";
  const std::string list = write("allowed.txt", Bytes(text.begin(), text.end()));
  const std::string badList = write("bad.txt", Bytes(two.begin(), two.end()));
  const std::string good = write("good.sys", BuildImage());
  Bytes broken = BuildImage({{"ntoskrnl.exe", {"DbgPrint", "ZwOpenProcess"}}, {"user32.dll", {"MessageBoxW", "Beep"}}});
  broken[kOpt + 68] = 3;  // a console program
  const std::string bad = write("bad.sys", broken);
  std::ostringstream out, err;
  EXPECT_EQ(pecheck::Run({"--allow", list, good}, out, err), 0) << out.str() << err.str();
  EXPECT_NE(out.str().find(good + ": OK: x64 native kernel driver"), std::string::npos) << out.str();
  EXPECT_NE(out.str().find("  ntoskrnl.exe!IofCompleteRequest\n"), std::string::npos) << out.str();
  out.str("");
  EXPECT_EQ(pecheck::Run({"--allow", list, good, bad}, out, err), 1);
  EXPECT_NE(out.str().find(bad + ": FAIL: subsystem is 3"), std::string::npos) << out.str();
  for (const char* fault : {"imports ZwOpenProcess from ntoskrnl.exe", "imports MessageBoxW from", "imports Beep from"})
    EXPECT_NE(out.str().find(bad + ": FAIL: " + fault), std::string::npos) << out.str();
  const std::vector<std::vector<std::string>> usage = {
      {good}, {"--allow", list}, {"--allow", list, "--verbose", good}, {"--allow", list, good + ".missing"},
      {"--allow", list + ".missing", good}, {"--allow"}, {"--allow", badList, good}};
  for (const auto& args : usage) EXPECT_EQ(pecheck::Run(args, out, err), 2) << args.back();
  EXPECT_NE(err.str().find(good + ".missing: cannot read the image"), std::string::npos) << err.str();
  EXPECT_NE(err.str().find(": line 2: one routine name per line, found \"ntoskrnl.exe B\""), std::string::npos);
  for (const std::string& path : {list, badList, good, bad}) std::remove(path.c_str());
}

}  // namespace
}  // namespace pecheck
