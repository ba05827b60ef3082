#include "pecheck.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace pecheck {
namespace {

constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kOptionalHeaderMinimum = 112;  // PE32+ fields before the data directories
constexpr size_t kSectionHeaderSize = 40;
constexpr size_t kImportDescriptorSize = 20;
constexpr uint32_t kDirectoryImport = 1;
constexpr uint32_t kDirectoryDelayImport = 13;
// Far beyond any driver; they bound the walk through a hostile image.
constexpr size_t kMaxImportModules = 1024;
constexpr size_t kMaxImportsPerModule = 65536;
constexpr size_t kMaxNameLength = 1024;

std::string Hex(uint64_t value, int digits) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

const char* MachineName(uint16_t machine) {
  switch (machine) {
    case 0x014c: return "x86";
    case 0x8664: return "x64";
    case 0xaa64: return "ARM64";
    case 0x01c4: return "ARM";
    default: return "unknown";
  }
}

const char* SubsystemName(uint16_t subsystem) {
  switch (subsystem) {
    case 1: return "native";
    case 2: return "Windows GUI";
    case 3: return "Windows console";
    case 10: return "EFI application";
    case 11: return "EFI boot service driver";
    case 12: return "EFI runtime driver";
    default: return "unknown";
  }
}

// Bounds-checked little-endian reads from the file.
class Bytes {
 public:
  explicit Bytes(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}

  bool Has(uint64_t offset, uint64_t length) const {
    return offset <= bytes_.size() && length <= bytes_.size() - offset;
  }
  uint64_t Read(uint64_t offset, int width) const {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = (value << 8) | bytes_[offset + i];
    return value;
  }
  uint16_t U16(uint64_t offset) const { return static_cast<uint16_t>(Read(offset, 2)); }
  uint32_t U32(uint64_t offset) const { return static_cast<uint32_t>(Read(offset, 4)); }
  uint64_t U64(uint64_t offset) const { return Read(offset, 8); }

  // A NUL-terminated string that lies wholly inside the file.
  bool CString(uint64_t offset, std::string* text) const {
    text->clear();
    for (uint64_t at = offset; at < bytes_.size() && text->size() <= kMaxNameLength; ++at) {
      if (bytes_[at] == 0) return true;
      text->push_back(static_cast<char>(bytes_[at]));
    }
    return false;
  }
  size_t size() const { return bytes_.size(); }

 private:
  const std::vector<uint8_t>& bytes_;
};

class Parser {
 public:
  Parser(const std::vector<uint8_t>& bytes, Image* image, std::string* error)
      : bytes_(bytes), image_(image), error_(error) {}

  bool Parse() {
    if (!bytes_.Has(0, 64) || bytes_.U16(0) != 0x5a4d) return Fail("not a PE image: no MZ header");
    const uint32_t pe = bytes_.U32(0x3c);
    if (!bytes_.Has(pe, 4 + kCoffHeaderSize) || bytes_.U32(pe) != 0x00004550)
      return Fail("not a PE image: no PE signature at " + Hex(pe, 8));

    const uint64_t coff = pe + 4;
    image_->machine = bytes_.U16(coff);
    const uint16_t section_count = bytes_.U16(coff + 2);
    const uint16_t optional_size = bytes_.U16(coff + 16);
    image_->characteristics = bytes_.U16(coff + 18);

    const uint64_t optional = coff + kCoffHeaderSize;
    if (optional_size < kOptionalHeaderMinimum || !bytes_.Has(optional, optional_size))
      return Fail("truncated optional header");
    image_->magic = bytes_.U16(optional);
    if (image_->magic != kMagicPe32Plus)
      return Fail("optional header magic " + Hex(image_->magic, 4) +
                  " is not PE32+ (0x020b): not a 64-bit image");
    image_->entry_point = bytes_.U32(optional + 16);
    image_->section_alignment = bytes_.U32(optional + 32);
    image_->file_alignment = bytes_.U32(optional + 36);
    size_of_headers_ = bytes_.U32(optional + 60);
    image_->subsystem = bytes_.U16(optional + 68);
    image_->dll_characteristics = bytes_.U16(optional + 70);
    const uint32_t directory_count = bytes_.U32(optional + 108);
    if (directory_count > (optional_size - kOptionalHeaderMinimum) / 8)
      return Fail("data directories run past the optional header");
    auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* size) {
      *rva = *size = 0;
      if (index >= directory_count) return;
      *rva = bytes_.U32(optional + kOptionalHeaderMinimum + 8 * index);
      *size = bytes_.U32(optional + kOptionalHeaderMinimum + 8 * index + 4);
    };

    const uint64_t table = optional + optional_size;
    if (!bytes_.Has(table, uint64_t{section_count} * kSectionHeaderSize))
      return Fail("truncated section table");
    for (uint16_t i = 0; i < section_count; ++i) {
      const uint64_t header = table + uint64_t{i} * kSectionHeaderSize;
      Section section;
      for (int c = 0; c < 8 && bytes_.Read(header + c, 1) != 0; ++c)
        section.name.push_back(static_cast<char>(bytes_.Read(header + c, 1)));
      section.virtual_size = bytes_.U32(header + 8);
      section.virtual_address = bytes_.U32(header + 12);
      section.raw_size = bytes_.U32(header + 16);
      section.raw_offset = bytes_.U32(header + 20);
      section.characteristics = bytes_.U32(header + 36);
      if (section.raw_size != 0 && !bytes_.Has(section.raw_offset, section.raw_size))
        return Fail("section " + section.name + " runs past the end of the file");
      image_->sections.push_back(section);
    }

    uint32_t delay_rva = 0, delay_size = 0;
    directory(kDirectoryDelayImport, &delay_rva, &delay_size);
    image_->has_delay_imports = delay_rva != 0;

    uint32_t import_rva = 0, import_size = 0;
    directory(kDirectoryImport, &import_rva, &import_size);
    return import_rva == 0 || ParseImports(import_rva);
  }

 private:
  bool Fail(const std::string& reason) {
    *error_ = reason;
    return false;
  }

  // File offset of `length` bytes at `rva`, all of them backed by the file.
  bool Offset(uint64_t rva, uint64_t length, uint64_t* offset) const {
    if (rva + length <= size_of_headers_) {
      *offset = rva;
      return bytes_.Has(rva, length);
    }
    for (const Section& section : image_->sections) {
      const uint64_t start = section.virtual_address;
      const uint64_t span = std::max(section.virtual_size, section.raw_size);
      if (rva < start || rva - start >= span) continue;
      if (rva - start + length > section.raw_size) return false;
      *offset = section.raw_offset + (rva - start);
      return bytes_.Has(*offset, length);
    }
    return false;
  }

  bool StringAt(uint64_t rva, std::string* text) const {
    uint64_t offset = 0;
    return Offset(rva, 1, &offset) && bytes_.CString(offset, text);
  }

  bool ParseImports(uint32_t directory_rva) {
    for (size_t module = 0;; ++module) {
      if (module == kMaxImportModules) return Fail("import directory has no terminating entry");
      uint64_t descriptor = 0;
      if (!Offset(directory_rva + uint64_t{module} * kImportDescriptorSize, kImportDescriptorSize,
                  &descriptor))
        return Fail("import directory lies outside the image's data");
      const uint32_t lookup_rva = bytes_.U32(descriptor);
      const uint32_t name_rva = bytes_.U32(descriptor + 12);
      const uint32_t address_rva = bytes_.U32(descriptor + 16);
      if (lookup_rva == 0 && name_rva == 0 && address_rva == 0) return true;

      std::string dll;
      if (!StringAt(name_rva, &dll))
        return Fail("import module name at " + Hex(name_rva, 8) + " lies outside the image");
      const uint64_t thunks = lookup_rva != 0 ? lookup_rva : address_rva;
      for (size_t index = 0;; ++index) {
        if (index == kMaxImportsPerModule)
          return Fail("import table of " + dll + " has no terminating entry");
        uint64_t at = 0;
        if (!Offset(thunks + 8 * uint64_t{index}, 8, &at))
          return Fail("import table of " + dll + " lies outside the image");
        const uint64_t thunk = bytes_.U64(at);
        if (thunk == 0) break;
        Import import;
        import.dll = dll;
        if (thunk >> 63) {
          import.by_ordinal = true;
          import.ordinal = static_cast<uint16_t>(thunk & 0xffff);
        } else {
          if (thunk >> 31)
            return Fail("import table of " + dll + " holds a malformed entry " + Hex(thunk, 16));
          if (!StringAt(thunk + 2, &import.routine))
            return Fail("an import name of " + dll + " lies outside the image");
        }
        image_->imports.push_back(import);
      }
    }
  }

  Bytes bytes_;
  Image* image_;
  std::string* error_;
  uint32_t size_of_headers_ = 0;
};

bool SectionIsExecutable(const Section& section) {
  return (section.characteristics & kScnMemExecute) != 0;
}

std::string ImportText(const Import& import) {
  return import.by_ordinal ? "ordinal " + std::to_string(import.ordinal) : import.routine;
}

}  // namespace

bool ParseImage(const std::vector<uint8_t>& bytes, Image* image, std::string* error) {
  *image = Image{};
  error->clear();
  return Parser(bytes, image, error).Parse();
}

std::vector<std::string> CheckKernelDriver(const Image& image, const Policy& policy) {
  std::vector<std::string> faults;

  if (image.machine != kMachineAmd64)
    faults.push_back("machine is " + Hex(image.machine, 4) + " (" + MachineName(image.machine) +
                     "), expected 0x8664 (x64)");
  if ((image.characteristics & kFileExecutableImage) == 0)
    faults.push_back("the image is not marked executable (IMAGE_FILE_EXECUTABLE_IMAGE)");
  if (image.characteristics & kFileDll)
    faults.push_back("the image is marked as a DLL (IMAGE_FILE_DLL); a driver is not one");
  if (image.characteristics & kFileRelocsStripped)
    faults.push_back("relocations are stripped; the kernel loads a driver at any address");
  if (image.subsystem != kSubsystemNative)
    faults.push_back("subsystem is " + std::to_string(image.subsystem) + " (" +
                     SubsystemName(image.subsystem) + "), expected 1 (native)");

  if (image.entry_point == 0) {
    faults.push_back("entry point is not set");
  } else {
    const bool in_code = std::any_of(image.sections.begin(), image.sections.end(),
                                     [&](const Section& section) {
                                       return SectionIsExecutable(section) &&
                                              image.entry_point >= section.virtual_address &&
                                              image.entry_point - section.virtual_address <
                                                  std::max(section.virtual_size, section.raw_size);
                                     });
    if (!in_code)
      faults.push_back("entry point " + Hex(image.entry_point, 8) +
                       " is not inside an executable section");
  }

  if ((image.dll_characteristics & kDllCharNxCompat) == 0)
    faults.push_back("DLL characteristics " + Hex(image.dll_characteristics, 4) +
                     " lack NX_COMPAT (0x0100): memory integrity refuses the image");
  if ((image.dll_characteristics & kDllCharDynamicBase) == 0)
    faults.push_back("DLL characteristics " + Hex(image.dll_characteristics, 4) +
                     " lack DYNAMIC_BASE (0x0040)");
  if (image.section_alignment != kPageSize)
    faults.push_back("section alignment is " + std::to_string(image.section_alignment) +
                     ", expected 4096: memory integrity needs page-aligned sections");
  for (const Section& section : image.sections) {
    if ((section.characteristics & kScnMemWrite) && SectionIsExecutable(section))
      faults.push_back("section " + section.name + " is both writable and executable");
  }

  if (image.has_delay_imports)
    faults.push_back("the image has delay-load imports, which the kernel does not resolve");
  std::vector<std::string> modules;
  for (const std::string& module : policy.allowed_modules) modules.push_back(Lower(module));
  std::string module_names;
  for (const std::string& module : policy.allowed_modules)
    module_names += (module_names.empty() ? "" : " or ") + module;
  for (const Import& import : image.imports) {
    if (std::find(modules.begin(), modules.end(), Lower(import.dll)) == modules.end()) {
      faults.push_back("imports " + ImportText(import) + " from " + import.dll +
                       "; a kernel driver may import only from " + module_names);
    } else if (import.by_ordinal) {
      faults.push_back("imports " + ImportText(import) + " from " + import.dll +
                       "; kernel routines are imported by name");
    } else if (policy.allowed_routines.count(import.routine) == 0) {
      faults.push_back("imports " + import.routine + " from " + import.dll +
                       ", which is not in the list of allowed kernel routines");
    }
  }
  return faults;
}

bool ReadAllowList(std::istream& in, std::set<std::string>* routines, std::string* error) {
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    const size_t comment = line.find('#');
    if (comment != std::string::npos) line.erase(comment);
    std::istringstream words(line);
    std::string name, extra;
    if (!(words >> name)) continue;
    if (words >> extra) {
      *error = "line " + std::to_string(number) + ": one routine name per line, found \"" +
               name + " " + extra + "\"";
      return false;
    }
    routines->insert(name);
  }
  return true;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  const char* usage = "usage: pecheck --allow LIST IMAGE...\n";
  Policy policy;
  std::vector<std::string> images;
  bool have_list = false;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--allow") {
      if (++i == args.size()) {
        err << usage;
        return 2;
      }
      std::ifstream list(args[i]);
      std::string error;
      if (!list) {
        err << args[i] << ": cannot read the allow list\n";
        return 2;
      }
      if (!ReadAllowList(list, &policy.allowed_routines, &error)) {
        err << args[i] << ": " << error << "\n";
        return 2;
      }
      have_list = true;
    } else if (!args[i].empty() && args[i][0] == '-') {
      err << "unknown option " << args[i] << "\n" << usage;
      return 2;
    } else {
      images.push_back(args[i]);
    }
  }
  if (!have_list || images.empty()) {
    err << usage;
    return 2;
  }

  int result = 0;
  for (const std::string& path : images) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      err << path << ": cannot read the image\n";
      return 2;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                     std::istreambuf_iterator<char>()};
    Image image;
    std::string error;
    if (!ParseImage(bytes, &image, &error)) {
      out << path << ": FAIL: " << error << "\n";
      result = 1;
      continue;
    }
    const std::vector<std::string> faults = CheckKernelDriver(image, policy);
    for (const std::string& fault : faults) out << path << ": FAIL: " << fault << "\n";
    if (!faults.empty()) {
      result = 1;
      continue;
    }
    out << path << ": OK: x64 native kernel driver, entry " << Hex(image.entry_point, 8) << ", "
        << image.sections.size() << " sections, " << image.imports.size() << " imports\n";
    for (const Import& import : image.imports) out << "  " << import.dll << "!" << import.routine << "\n";
  }
  return result;
}

}  // namespace pecheck
