// The PE checker against small images built here, one fault at a time.
#include "pecheck.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace pecheck {
namespace {

struct ImportSpec {
  std::string dll;
  std::vector<std::string> routines;  // "#N" imports ordinal N
};

// What a synthetic image looks like: by default a well-formed x64 driver with
// .text, .data and .idata importing three listed routines from ntoskrnl.exe.
struct ImageSpec {
  uint16_t machine = kMachineAmd64;
  uint16_t characteristics = kFileExecutableImage | 0x0020;  // + large address aware
  uint16_t magic = kMagicPe32Plus;
  uint16_t subsystem = kSubsystemNative;
  uint16_t dll_characteristics = kDllCharNxCompat | kDllCharDynamicBase | 0x0020;
  uint32_t section_alignment = 0x1000;
  enum class Entry { kText, kData, kNone } entry = Entry::kText;
  uint32_t text_characteristics = kScnCntCode | kScnMemExecute | kScnMemRead;
  uint32_t data_characteristics = 0x40 | kScnMemRead | kScnMemWrite;
  std::vector<ImportSpec> imports = {
      {"ntoskrnl.exe", {"IoCreateDevice", "IofCompleteRequest", "DbgPrint"}}};
  // Points the first module's name outside the image.
  bool broken_module_name = false;
};

constexpr uint32_t kFileAlignment = 0x200;
constexpr uint32_t kHeadersSize = 0x400;

uint32_t AlignUp(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

void Put(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, int width) {
  for (int i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

void PutString(std::vector<uint8_t>& bytes, size_t offset, const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) bytes[offset + i] = static_cast<uint8_t>(text[i]);
  bytes[offset + text.size()] = 0;
}

// The import directory, its lookup and address tables and names, laid out for
// a section at `rva`.
std::vector<uint8_t> BuildImportSection(const ImageSpec& spec, uint32_t rva) {
  const size_t modules = spec.imports.size();
  size_t at = AlignUp(static_cast<uint32_t>((modules + 1) * 20), 8);
  std::vector<size_t> lookup(modules), address(modules), dll_name(modules);
  std::vector<std::vector<size_t>> hint_name(modules);
  for (size_t m = 0; m < modules; ++m) {
    lookup[m] = at;
    at += (spec.imports[m].routines.size() + 1) * 8;
    address[m] = at;
    at += (spec.imports[m].routines.size() + 1) * 8;
  }
  for (size_t m = 0; m < modules; ++m) {
    for (const std::string& routine : spec.imports[m].routines) {
      hint_name[m].push_back(at);
      if (routine[0] != '#') at = AlignUp(static_cast<uint32_t>(at + 2 + routine.size() + 1), 2);
    }
    dll_name[m] = at;
    at += spec.imports[m].dll.size() + 1;
  }

  std::vector<uint8_t> bytes(AlignUp(static_cast<uint32_t>(at), kFileAlignment), 0);
  for (size_t m = 0; m < modules; ++m) {
    const size_t descriptor = m * 20;
    Put(bytes, descriptor + 0, rva + lookup[m], 4);
    Put(bytes, descriptor + 12,
        spec.broken_module_name && m == 0 ? 0x7fff0000u : rva + dll_name[m], 4);
    Put(bytes, descriptor + 16, rva + address[m], 4);
    PutString(bytes, dll_name[m], spec.imports[m].dll);
    for (size_t r = 0; r < spec.imports[m].routines.size(); ++r) {
      const std::string& routine = spec.imports[m].routines[r];
      uint64_t thunk;
      if (routine[0] == '#') {
        thunk = (uint64_t{1} << 63) | std::stoul(routine.substr(1));
      } else {
        thunk = rva + hint_name[m][r];
        PutString(bytes, hint_name[m][r] + 2, routine);
      }
      Put(bytes, lookup[m] + 8 * r, thunk, 8);
      Put(bytes, address[m] + 8 * r, thunk, 8);
    }
  }
  return bytes;
}

std::vector<uint8_t> BuildImage(const ImageSpec& spec) {
  struct Part {
    const char* name;
    uint32_t characteristics;
    std::vector<uint8_t> data;
    uint32_t rva = 0;
    uint32_t offset = 0;
  };
  std::vector<Part> parts = {
      {".text", spec.text_characteristics, std::vector<uint8_t>(kFileAlignment, 0xcc)},
      {".data", spec.data_characteristics, std::vector<uint8_t>(kFileAlignment, 0)},
      {".idata", 0x40 | kScnMemRead | kScnMemWrite, {}},
  };
  uint32_t rva = AlignUp(kHeadersSize, spec.section_alignment);
  uint32_t offset = kHeadersSize;
  for (Part& part : parts) {
    part.rva = rva;
    part.offset = offset;
    if (part.data.empty()) part.data = BuildImportSection(spec, rva);
    rva = AlignUp(rva + static_cast<uint32_t>(part.data.size()), spec.section_alignment);
    offset += static_cast<uint32_t>(part.data.size());
  }

  std::vector<uint8_t> image(offset, 0);
  Put(image, 0, 0x5a4d, 2);
  Put(image, 0x3c, 0x40, 4);
  Put(image, 0x40, 0x00004550, 4);
  const size_t coff = 0x44;
  Put(image, coff + 0, spec.machine, 2);
  Put(image, coff + 2, parts.size(), 2);
  Put(image, coff + 16, 240, 2);
  Put(image, coff + 18, spec.characteristics, 2);
  const size_t optional = coff + 20;
  Put(image, optional + 0, spec.magic, 2);
  const uint32_t entry = spec.entry == ImageSpec::Entry::kText   ? parts[0].rva + 0x10
                         : spec.entry == ImageSpec::Entry::kData ? parts[1].rva
                                                                 : 0;
  Put(image, optional + 16, entry, 4);
  Put(image, optional + 20, parts[0].rva, 4);
  Put(image, optional + 24, 0x140000000ull, 8);
  Put(image, optional + 32, spec.section_alignment, 4);
  Put(image, optional + 36, kFileAlignment, 4);
  Put(image, optional + 40, 6, 2);
  Put(image, optional + 48, 6, 2);
  Put(image, optional + 56, rva, 4);
  Put(image, optional + 60, kHeadersSize, 4);
  Put(image, optional + 68, spec.subsystem, 2);
  Put(image, optional + 70, spec.dll_characteristics, 2);
  Put(image, optional + 72, 0x40000, 8);
  Put(image, optional + 80, 0x1000, 8);
  Put(image, optional + 108, 16, 4);
  if (!spec.imports.empty()) {
    Put(image, optional + 112 + 8 * 1, parts[2].rva, 4);
    Put(image, optional + 112 + 8 * 1 + 4, (spec.imports.size() + 1) * 20, 4);
  }
  size_t header = optional + 240;
  for (const Part& part : parts) {
    PutString(image, header, part.name);
    Put(image, header + 8, part.data.size(), 4);
    Put(image, header + 12, part.rva, 4);
    Put(image, header + 16, part.data.size(), 4);
    Put(image, header + 20, part.offset, 4);
    Put(image, header + 36, part.characteristics, 4);
    std::copy(part.data.begin(), part.data.end(), image.begin() + part.offset);
    header += 40;
  }
  return image;
}

Policy TestPolicy() {
  Policy policy;
  policy.allowed_routines = {"IoCreateDevice", "IofCompleteRequest", "DbgPrint", "KeGetCurrentIrql"};
  return policy;
}

std::vector<std::string> Faults(const ImageSpec& spec) {
  Image image;
  std::string error;
  EXPECT_TRUE(ParseImage(BuildImage(spec), &image, &error)) << error;
  return CheckKernelDriver(image, TestPolicy());
}

std::string Join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += "\n  " + line;
  return text;
}

TEST(PeCheck, WellFormedDriverPassesAndItsImportsAreRead) {
  Image image;
  std::string error;
  ASSERT_TRUE(ParseImage(BuildImage(ImageSpec{}), &image, &error)) << error;
  EXPECT_EQ(image.machine, kMachineAmd64);
  EXPECT_EQ(image.subsystem, kSubsystemNative);
  ASSERT_EQ(image.sections.size(), 3u);
  EXPECT_EQ(image.sections[0].name, ".text");
  ASSERT_EQ(image.imports.size(), 3u);
  EXPECT_EQ(image.imports[0].dll, "ntoskrnl.exe");
  EXPECT_EQ(image.imports[0].routine, "IoCreateDevice");
  EXPECT_EQ(image.imports[2].routine, "DbgPrint");
  EXPECT_TRUE(CheckKernelDriver(image, TestPolicy()).empty())
      << Join(CheckKernelDriver(image, TestPolicy()));
}

TEST(PeCheck, ModuleNamesMatchWithoutCaseAndHalIsAllowed) {
  ImageSpec spec;
  spec.imports = {{"NTOSKRNL.EXE", {"IoCreateDevice"}}, {"HAL.dll", {"KeGetCurrentIrql"}}};
  EXPECT_TRUE(Faults(spec).empty()) << Join(Faults(spec));
}

TEST(PeCheck, ImageWithoutImportsPasses) {
  ImageSpec spec;
  spec.imports.clear();
  EXPECT_TRUE(Faults(spec).empty()) << Join(Faults(spec));
}

// Each row breaks one thing in an otherwise good image; exactly that fault is
// reported, and in words that say what is wrong.
struct FaultCase {
  const char* what;
  std::function<void(ImageSpec&)> breaks;
  const char* message;
};

TEST(PeCheck, EachFaultIsReportedAloneAndClearly) {
  const std::vector<FaultCase> cases = {
      {"console subsystem", [](ImageSpec& s) { s.subsystem = 3; },
       "subsystem is 3 (Windows console), expected 1 (native)"},
      {"GUI subsystem", [](ImageSpec& s) { s.subsystem = 2; },
       "subsystem is 2 (Windows GUI), expected 1 (native)"},
      {"x86 machine", [](ImageSpec& s) { s.machine = 0x014c; },
       "machine is 0x014c (x86), expected 0x8664 (x64)"},
      {"DLL flag", [](ImageSpec& s) { s.characteristics |= kFileDll; },
       "the image is marked as a DLL"},
      {"not executable", [](ImageSpec& s) { s.characteristics &= ~kFileExecutableImage; },
       "the image is not marked executable"},
      {"relocations stripped", [](ImageSpec& s) { s.characteristics |= kFileRelocsStripped; },
       "relocations are stripped"},
      {"no entry point", [](ImageSpec& s) { s.entry = ImageSpec::Entry::kNone; },
       "entry point is not set"},
      {"entry point in data", [](ImageSpec& s) { s.entry = ImageSpec::Entry::kData; },
       "entry point 0x00002000 is not inside an executable section"},
      {"user-mode import",
       [](ImageSpec& s) { s.imports.push_back({"kernel32.dll", {"CreateFileW"}}); },
       "imports CreateFileW from kernel32.dll; a kernel driver may import only from "
       "ntoskrnl.exe or hal.dll"},
      {"unlisted kernel routine",
       [](ImageSpec& s) { s.imports[0].routines.push_back("ZwTerminateProcess"); },
       "imports ZwTerminateProcess from ntoskrnl.exe, which is not in the list of allowed "
       "kernel routines"},
      {"routine names are case-sensitive",
       [](ImageSpec& s) { s.imports[0].routines.push_back("dbgprint"); },
       "imports dbgprint from ntoskrnl.exe, which is not in the list"},
      {"import by ordinal", [](ImageSpec& s) { s.imports[0].routines.push_back("#17"); },
       "imports ordinal 17 from ntoskrnl.exe; kernel routines are imported by name"},
      {"writable and executable data",
       [](ImageSpec& s) { s.data_characteristics |= kScnMemExecute; },
       "section .data is both writable and executable"},
      {"writable code", [](ImageSpec& s) { s.text_characteristics |= kScnMemWrite; },
       "section .text is both writable and executable"},
      {"no NX flag", [](ImageSpec& s) { s.dll_characteristics &= ~kDllCharNxCompat; },
       "DLL characteristics 0x0060 lack NX_COMPAT (0x0100)"},
      {"no dynamic base", [](ImageSpec& s) { s.dll_characteristics &= ~kDllCharDynamicBase; },
       "DLL characteristics 0x0120 lack DYNAMIC_BASE (0x0040)"},
      {"512-byte section alignment", [](ImageSpec& s) { s.section_alignment = 0x200; },
       "section alignment is 512, expected 4096"},
  };
  for (const FaultCase& fault : cases) {
    SCOPED_TRACE(fault.what);
    ImageSpec spec;
    fault.breaks(spec);
    const std::vector<std::string> faults = Faults(spec);
    ASSERT_EQ(faults.size(), 1u) << Join(faults);
    EXPECT_NE(faults[0].find(fault.message), std::string::npos)
        << "expected: " << fault.message << "\n     got: " << faults[0];
  }
}

TEST(PeCheck, EveryBadImportIsNamed) {
  ImageSpec spec;
  spec.imports[0].routines.push_back("ZwOpenProcess");
  spec.imports.push_back({"msvcrt.dll", {"malloc", "free"}});
  const std::vector<std::string> faults = Faults(spec);
  ASSERT_EQ(faults.size(), 3u) << Join(faults);
  EXPECT_NE(faults[0].find("ZwOpenProcess"), std::string::npos);
  EXPECT_NE(faults[1].find("malloc from msvcrt.dll"), std::string::npos);
  EXPECT_NE(faults[2].find("free from msvcrt.dll"), std::string::npos);
}

TEST(PeCheck, MalformedImagesAreRefusedWithAReason) {
  Image image;
  std::string error;
  EXPECT_FALSE(ParseImage({'n', 'o', 't', ' ', 'a', ' ', 'P', 'E'}, &image, &error));
  EXPECT_EQ(error, "not a PE image: no MZ header");

  ImageSpec pe32;
  pe32.magic = 0x10b;
  EXPECT_FALSE(ParseImage(BuildImage(pe32), &image, &error));
  EXPECT_NE(error.find("is not PE32+"), std::string::npos) << error;

  ImageSpec broken;
  broken.broken_module_name = true;
  EXPECT_FALSE(ParseImage(BuildImage(broken), &image, &error));
  EXPECT_NE(error.find("import module name at 0x7fff0000 lies outside the image"),
            std::string::npos)
      << error;
}

TEST(PeCheck, EveryTruncationIsRefusedWithoutReadingPastTheEnd) {
  const std::vector<uint8_t> whole = BuildImage(ImageSpec{});
  for (size_t length = 0; length < whole.size(); ++length) {
    const std::vector<uint8_t> prefix(whole.begin(), whole.begin() + length);
    Image image;
    std::string error;
    // The import section is last: any cut loses part of it.
    ASSERT_FALSE(ParseImage(prefix, &image, &error)) << "length " << length;
    ASSERT_FALSE(error.empty()) << "length " << length;
  }
}

TEST(PeCheck, AllowListTakesOneNamePerLineWithComments) {
  std::set<std::string> routines;
  std::string error;
  std::istringstream list("# pool\nExAllocatePoolWithTag\n\n  IofCallDriver   # I/O\n\t\n");
  ASSERT_TRUE(ReadAllowList(list, &routines, &error)) << error;
  EXPECT_EQ(routines, (std::set<std::string>{"ExAllocatePoolWithTag", "IofCallDriver"}));

  std::istringstream bad("DbgPrint\nntoskrnl.exe IoCreateDevice\n");
  EXPECT_FALSE(ReadAllowList(bad, &routines, &error));
  EXPECT_EQ(error, "line 2: one routine name per line, found \"ntoskrnl.exe IoCreateDevice\"");
}

class PeCheckCommand : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    // ctest runs each test as its own process, several at once: keep their files apart.
    const std::string path = ::testing::TempDir() + "pecheck_" + std::to_string(getpid()) + "_" +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                             "_" + name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    written_.push_back(path);
    return path;
  }
  std::string WriteList() {
    const std::string text = "IoCreateDevice\nIofCompleteRequest\nDbgPrint\n";
    return Write("allowed.txt", std::vector<uint8_t>(text.begin(), text.end()));
  }
  void TearDown() override {
    for (const std::string& path : written_) std::remove(path.c_str());
  }
  std::vector<std::string> written_;
  std::ostringstream out_, err_;
};

TEST_F(PeCheckCommand, GoodImagePassesAndListsItsImports) {
  const std::string list = WriteList();
  const std::string sys = Write("good.sys", BuildImage(ImageSpec{}));
  EXPECT_EQ(pecheck::Run({"--allow", list, sys}, out_, err_), 0) << out_.str() << err_.str();
  EXPECT_NE(out_.str().find(sys + ": OK: x64 native kernel driver"), std::string::npos)
      << out_.str();
  EXPECT_NE(out_.str().find("  ntoskrnl.exe!IofCompleteRequest\n"), std::string::npos);
}

TEST_F(PeCheckCommand, BadImageFailsWithOneLinePerFault) {
  ImageSpec spec;
  spec.subsystem = 3;
  spec.imports.push_back({"user32.dll", {"MessageBoxW"}});
  const std::string list = WriteList();
  const std::string good = Write("good.sys", BuildImage(ImageSpec{}));
  const std::string bad = Write("bad.sys", BuildImage(spec));
  EXPECT_EQ(pecheck::Run({"--allow", list, good, bad}, out_, err_), 1);
  const std::string text = out_.str();
  EXPECT_NE(text.find(good + ": OK"), std::string::npos) << text;
  EXPECT_NE(text.find(bad + ": FAIL: subsystem is 3"), std::string::npos) << text;
  EXPECT_NE(text.find(bad + ": FAIL: imports MessageBoxW from user32.dll"), std::string::npos)
      << text;
}

TEST_F(PeCheckCommand, UsageAndUnreadableFilesAreErrors) {
  const std::string list = WriteList();
  const std::string sys = Write("good.sys", BuildImage(ImageSpec{}));
  EXPECT_EQ(pecheck::Run({sys}, out_, err_), 2);  // no allow list: nothing could be checked
  EXPECT_EQ(pecheck::Run({"--allow", list}, out_, err_), 2);
  EXPECT_EQ(pecheck::Run({"--allow", list, "--verbose", sys}, out_, err_), 2);
  EXPECT_EQ(pecheck::Run({"--allow", list, sys + ".missing"}, out_, err_), 2);
  EXPECT_NE(err_.str().find(sys + ".missing: cannot read the image"), std::string::npos);
  EXPECT_EQ(pecheck::Run({"--allow", list + ".missing", sys}, out_, err_), 2);
}

}  // namespace
}  // namespace pecheck
