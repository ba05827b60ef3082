// The Windows packaging: velmora.inf and velmorachild.inf parsed as Windows
// reads them and checked for what an installation needs: the sections each
// refers to, the IDs they match (the child INF against the compatible ID the
// bus really reports), the driver services, and the security that keeps the
// control device to SYSTEM and Administrators.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>

#include "../windows/installer/velmora_install.h"
#include "bus_harness.h"
#include "kernel_test.h"

namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// One line of a section: `key = v1, v2, ...` or just the values. Quotes are
// kept off the values; `quoted` tells which ones had them.
struct InfLine {
  int number = 0;
  std::string key;
  std::vector<std::string> values;
  std::vector<bool> quoted;
};

struct Inf {
  std::string name;
  std::map<std::string, std::vector<InfLine>> sections;  // by lower-case name
  std::vector<std::string> order;

  bool Has(const std::string& section) const { return sections.count(Lower(section)) != 0; }
  const std::vector<InfLine>& Section(const std::string& section) const {
    static const std::vector<InfLine> none;
    auto it = sections.find(Lower(section));
    return it == sections.end() ? none : it->second;
  }
  // The values of `key` in `section` (the first such line), or none.
  std::vector<std::string> Values(const std::string& section, const std::string& key) const {
    for (const InfLine& line : Section(section))
      if (Lower(line.key) == Lower(key)) return line.values;
    return {};
  }
  std::string Value(const std::string& section, const std::string& key) const {
    std::vector<std::string> values = Values(section, key);
    return values.empty() ? std::string() : values[0];
  }
};

// Splits at commas outside quotes; ';' outside quotes starts a comment.
void SplitValues(const std::string& text, InfLine* line) {
  std::string value;
  bool inQuotes = false, wasQuoted = false;
  for (size_t i = 0; i <= text.size(); ++i) {
    const char c = i < text.size() ? text[i] : ',';
    if (c == '"') {
      inQuotes = !inQuotes;
      wasQuoted = true;
    } else if (!inQuotes && (c == ',' || (i == text.size()))) {
      line->values.push_back(wasQuoted ? value : Trim(value));
      line->quoted.push_back(wasQuoted);
      value.clear();
      wasQuoted = false;
    } else {
      value += c;
    }
  }
}

std::string StripComment(const std::string& text) {
  bool inQuotes = false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') inQuotes = !inQuotes;
    if (text[i] == ';' && !inQuotes) return text.substr(0, i);
  }
  return text;
}

Inf ReadInf(const std::string& name) {
  std::string root = __FILE__;
  root = root.substr(0, root.rfind('/'));
  root = root.substr(0, root.rfind('/'));
  Inf inf;
  inf.name = name;
  std::ifstream file(root + "/windows/inf/" + name);
  EXPECT_TRUE(file.good()) << "cannot read windows/inf/" << name;
  std::string raw, current;
  int number = 0;
  while (std::getline(file, raw)) {
    ++number;
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    const std::string text = Trim(StripComment(raw));
    if (text.empty()) continue;
    if (text.front() == '[') {
      EXPECT_EQ(text.back(), ']') << name << ":" << number;
      current = Lower(Trim(text.substr(1, text.size() - 2)));
      EXPECT_EQ(inf.sections.count(current), 0u) << name << ": section [" << current << "] twice";
      inf.sections[current];
      inf.order.push_back(current);
      continue;
    }
    EXPECT_FALSE(current.empty()) << name << ":" << number << ": a line before any section";
    InfLine line;
    line.number = number;
    size_t eq = std::string::npos;
    bool inQuotes = false;
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '"') inQuotes = !inQuotes;
      if (text[i] == '=' && !inQuotes) {
        eq = i;
        break;
      }
    }
    if (eq != std::string::npos) {
      line.key = Trim(text.substr(0, eq));
      SplitValues(Trim(text.substr(eq + 1)), &line);
    } else {
      SplitValues(text, &line);
    }
    inf.sections[current].push_back(line);
  }
  return inf;
}

// %name% tokens resolved from [Strings].
std::string Resolve(const Inf& inf, const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    const size_t end = text.find('%', i + 1);
    if (end == std::string::npos) return out + text.substr(i);
    const std::string token = text.substr(i + 1, end - i - 1);
    if (std::all_of(token.begin(), token.end(), ::isdigit)) {
      out += "%" + token + "%";  // a directory id
    } else {
      const std::string value = inf.Value("Strings", token);
      EXPECT_FALSE(value.empty()) << inf.name << ": %" << token << "% is not in [Strings]";
      out += value;
    }
    i = end;
  }
  return out;
}

// The install section a models section names for `id`.
std::string InstallSectionFor(const Inf& inf, const std::string& id) {
  const std::vector<std::string> manufacturer =
      inf.Section("Manufacturer").empty() ? std::vector<std::string>{} : inf.Section("Manufacturer")[0].values;
  if (manufacturer.size() < 2) return std::string();
  const std::string models = manufacturer[0] + "." + manufacturer[1];
  for (const InfLine& line : inf.Section(models))
    for (size_t i = 1; i < line.values.size(); ++i)
      if (Lower(line.values[i]) == Lower(id)) return line.values[0];
  return std::string();
}

struct Package {
  const char* inf;
  const char* id;       // what the models section must match
  const char* service;  // the service it installs
  const char* image;    // its binary
};

const Package kPackages[] = {
    {"velmora.inf", VELMORA_BUS_HARDWARE_ID, VELMORA_BUS_SERVICE, VELMORA_BUS_IMAGE},
    {"velmorachild.inf", VELMORA_CHILD_COMPATIBLE_ID, VELMORA_CHILD_SERVICE, VELMORA_CHILD_IMAGE},
};

}  // namespace

TEST(WindowsInfTest, EachInfIsAnX64DriverPackageInTheSystemClass) {
  for (const Package& p : kPackages) {
    SCOPED_TRACE(p.inf);
    Inf inf = ReadInf(p.inf);
    EXPECT_EQ(inf.Value("Version", "Signature"), "$WINDOWS NT$");
    EXPECT_EQ(Lower(inf.Value("Version", "Class")), "system");
    EXPECT_EQ(Lower(inf.Value("Version", "ClassGuid")), VELMORA_SYSTEM_CLASS_GUID);
    EXPECT_FALSE(Resolve(inf, inf.Value("Version", "Provider")).empty());
    EXPECT_FALSE(inf.Value("Version", "CatalogFile").empty()) << "test signing needs a catalog";
    std::vector<std::string> driverVer = inf.Values("Version", "DriverVer");
    ASSERT_EQ(driverVer.size(), 2u);
    EXPECT_TRUE(std::regex_match(driverVer[0], std::regex(R"(\d\d/\d\d/\d{4})"))) << driverVer[0];
    EXPECT_TRUE(std::regex_match(driverVer[1], std::regex(R"(\d+\.\d+\.\d+\.\d+)"))) << driverVer[1];

    // Models for x64 only: a package without a decorated models section does
    // not install on x64 Windows.
    ASSERT_EQ(inf.Section("Manufacturer").size(), 1u);
    const std::vector<std::string>& manufacturer = inf.Section("Manufacturer")[0].values;
    ASSERT_GE(manufacturer.size(), 2u);
    EXPECT_EQ(Lower(manufacturer[1]), "ntamd64");
    EXPECT_TRUE(inf.Has(manufacturer[0] + ".NTamd64"));
  }
}

TEST(WindowsInfTest, EachInfMatchesItsIdAndInstallsItsServiceAndImage) {
  for (const Package& p : kPackages) {
    SCOPED_TRACE(p.inf);
    Inf inf = ReadInf(p.inf);
    const std::string install = InstallSectionFor(inf, p.id);
    ASSERT_FALSE(install.empty()) << "no models line matches " << p.id;
    ASSERT_TRUE(inf.Has(install + ".NT")) << "[" << install << ".NT]";

    // The image: copied from the disk the INF names to the drivers folder.
    const std::string copy = inf.Value(install + ".NT", "CopyFiles");
    ASSERT_TRUE(inf.Has(copy)) << "[" << copy << "]";
    ASSERT_EQ(inf.Section(copy).size(), 1u);
    EXPECT_EQ(inf.Section(copy)[0].values[0], p.image);
    EXPECT_EQ(inf.Values("SourceDisksFiles", p.image).size(), 3u) << "[SourceDisksFiles] lists " << p.image;
    EXPECT_EQ(inf.Value("SourceDisksFiles", p.image), "1");
    EXPECT_FALSE(inf.Value("SourceDisksNames", "1").empty());
    const std::string destination = inf.Value("DestinationDirs", copy).empty()
                                        ? inf.Value("DestinationDirs", "DefaultDestDir")
                                        : inf.Value("DestinationDirs", copy);
    EXPECT_TRUE(destination == "12" || destination == "13") << "drivers folder or driver store, not " << destination;

    // The service, bound to the device (SPSVCINST_ASSOCSERVICE).
    std::vector<std::string> addService = inf.Values(install + ".NT.Services", "AddService");
    ASSERT_EQ(addService.size(), 3u);
    EXPECT_EQ(addService[0], p.service);
    EXPECT_EQ(std::stoul(addService[1], nullptr, 0) & 0x2u, 0x2u) << "the service is the device's function driver";
    const std::string service = addService[2];
    EXPECT_EQ(inf.Value(service, "ServiceType"), "1") << "kernel driver";
    EXPECT_EQ(inf.Value(service, "StartType"), "3") << "started on demand by Plug and Play";
    EXPECT_EQ(inf.Value(service, "ServiceBinary"), std::string("%") + destination + "%\\" + p.image);
    EXPECT_FALSE(Resolve(inf, inf.Value(service, "DisplayName")).empty());

    // Every string the package uses is defined.
    for (const auto& [name, lines] : inf.sections)
      for (const InfLine& line : lines) {
        Resolve(inf, line.key);
        for (const std::string& v : line.values) Resolve(inf, v);
      }
  }
}

TEST(WindowsInfTest, TheBusInfKeepsTheControlDeviceToSystemAndAdministrators) {
  Inf inf = ReadInf("velmora.inf");
  const std::string install = InstallSectionFor(inf, VELMORA_BUS_HARDWARE_ID);
  ASSERT_TRUE(inf.Has(install + ".NT.HW")) << "the device's security goes in the hardware section";
  const std::string addReg = inf.Value(install + ".NT.HW", "AddReg");
  ASSERT_TRUE(inf.Has(addReg));

  std::string sddl;
  std::string characteristics;
  for (const InfLine& line : inf.Section(addReg)) {
    ASSERT_GE(line.values.size(), 3u);
    EXPECT_EQ(line.values[0], "HKR") << "line " << line.number;
    if (line.values[2] == "Security") {
      ASSERT_EQ(line.values.size(), 5u);
      EXPECT_TRUE(line.quoted[4]) << "an SDDL string is quoted";
      sddl = line.values[4];
    }
    if (line.values[2] == "DeviceCharacteristics") {
      ASSERT_EQ(line.values.size(), 5u);
      EXPECT_EQ(line.values[3], "0x10001") << "a DWORD";
      characteristics = line.values[4];
    }
  }
  EXPECT_EQ(sddl, VELMORA_DEVICE_SDDL);
  EXPECT_EQ(std::stoul(characteristics, nullptr, 0) & 0x100u, 0x100u)
      << "FILE_DEVICE_SECURE_OPEN: names below the device are checked too";

  // A protected DACL whose every entry allows SYSTEM or Administrators, both of them.
  std::smatch dacl;
  ASSERT_TRUE(std::regex_match(sddl, dacl, std::regex(R"(D:P((\([^()]*\))+))")))
      << "a protected DACL and nothing else: " << sddl;
  std::set<std::string> trustees;
  const std::string aces = dacl[1];
  std::regex ace(R"(\(([^;]*);([^;]*);([^;]*);([^;]*);([^;]*);([^;)]*)\))");
  for (auto it = std::sregex_iterator(aces.begin(), aces.end(), ace); it != std::sregex_iterator(); ++it) {
    EXPECT_EQ((*it)[1], "A") << "only allow entries: " << it->str();
    EXPECT_EQ((*it)[3], "GA") << it->str();
    trustees.insert((*it)[6]);
  }
  EXPECT_EQ(trustees, (std::set<std::string>{"SY", "BA"}));
}

class ChildInfTest : public KernelTest {};

TEST_F(ChildInfTest, TheChildInfMatchesTheCompatibleIdTheBusReports) {
  Inf inf = ReadInf("velmorachild.inf");
  velmora_test::BusHarness bus;
  NTSTATUS status;
  HANDLE handle = bus.Open(&status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(bus.PlugIn(handle, 1, {u"VELMORA\\NET"}), STATUS_SUCCESS);
  bus.Enumerate();
  ASSERT_EQ(bus.ChildNodes().size(), 1u);
  const std::vector<std::u16string>& compatible = bus.ChildNodes()[0]->compatibleIds;
  ASSERT_EQ(compatible.size(), 1u);
  EXPECT_FALSE(InstallSectionFor(inf, khost::Narrow(compatible[0])).empty())
      << "velmorachild.inf does not match " << khost::Narrow(compatible[0]);
  EXPECT_EQ(bus.Unplug(handle, 1), STATUS_SUCCESS);
  bus.Enumerate();
  bus.Service().Close(handle);
  bus.Teardown();
}
