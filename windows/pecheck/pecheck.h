// pecheck: reads a PE image and tells whether it is an x64 kernel driver that
// the kernel will load with memory integrity on, importing only what we allow.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <set>
#include <string>
#include <vector>

namespace pecheck {

// Values from the PE format that the checks and their messages use.
constexpr uint16_t kMachineAmd64 = 0x8664;
constexpr uint16_t kMagicPe32Plus = 0x20b;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr uint16_t kFileExecutableImage = 0x0002;
constexpr uint16_t kFileDll = 0x2000;
constexpr uint16_t kDllCharDynamicBase = 0x0040;
constexpr uint16_t kDllCharNxCompat = 0x0100;
constexpr uint32_t kScnCntCode = 0x00000020;
constexpr uint32_t kScnMemExecute = 0x20000000;
constexpr uint32_t kScnMemRead = 0x40000000;
constexpr uint32_t kScnMemWrite = 0x80000000;
constexpr uint32_t kPageSize = 4096;

struct Section {
  std::string name;
  uint32_t virtual_address = 0;
  uint32_t virtual_size = 0;
  uint32_t raw_offset = 0;
  uint32_t raw_size = 0;
  uint32_t characteristics = 0;
};

struct Import {
  std::string dll;
  std::string routine;  // empty when imported by ordinal
  bool by_ordinal = false;
  uint16_t ordinal = 0;
};

struct Image {
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t magic = 0;
  uint32_t entry_point = 0;
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint16_t subsystem = 0;
  uint16_t dll_characteristics = 0;
  bool has_delay_imports = false;
  std::vector<Section> sections;
  std::vector<Import> imports;
};

// Parses a PE32+ image. A malformed or truncated image yields false and a
// reason in *error; nothing is read outside `bytes`.
bool ParseImage(const std::vector<uint8_t>& bytes, Image* image, std::string* error);

struct Policy {
  // Modules a kernel image may import from, compared without regard to case.
  std::vector<std::string> allowed_modules{"ntoskrnl.exe", "hal.dll"};
  // Routines it may import from them, compared exactly.
  std::set<std::string> allowed_routines;
};

// Every way the image falls short of a loadable, memory-integrity-compatible
// kernel driver under `policy`, one message each; empty when it passes.
std::vector<std::string> CheckKernelDriver(const Image& image, const Policy& policy);

// Reads an allow list: one routine name per line, '#' to the end of a line is
// a comment. A line with more than one word is an error.
bool ReadAllowList(std::istream& in, std::set<std::string>* routines, std::string* error);

// The command line: pecheck --allow LIST IMAGE...
// Returns 0 when every image passes, 1 when one fails a check, 2 on a usage or
// I/O error.
int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace pecheck
