// velmora.inf and velmorachild.inf read as Windows reads them, checked for the
// sections, IDs, services and security an installation needs.
#include <strings.h>

#include <array>
#include <fstream>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "../windows/installer/velmora_install.h"

namespace {

// Section -> its lines, each the key (empty without '=') and then the comma-separated values, all in lower case
// but what was quoted, with blanks, quotes and ';' comments taken off.
using Line = std::vector<std::string>;
using Inf = std::map<std::string, std::vector<Line>>;

Inf ReadInf(const std::string& name) {
  std::ifstream in(std::string(VELMORA_INF_DIR) + "/" + name);
  EXPECT_TRUE(in.good()) << name;
  Inf inf;
  std::string raw, section;
  while (std::getline(in, raw)) {
    Line line(2);
    bool quoted = false;
    for (unsigned char c : raw) {
      if (c == '"') quoted = !quoted;
      else if (quoted) line.back() += c;
      else if (c == ';') break;
      else if (c == '=' && line.size() == 2 && line[0].empty()) line[0].swap(line[1]);
      else if (c == ',') line.emplace_back();
      else if (!std::isspace(c)) line.back() += static_cast<char>(std::tolower(c));
    }
    if (line[0].empty() && line[1].rfind('[', 0) == 0) section = line[1].substr(1, line[1].size() - 2);
    else if (line.size() > 2 || !(line[0] + line[1]).empty()) inf[section].push_back(line);
  }
  return inf;
}

// The values of the first `key` line of `section`, or one empty value.
Line Get(const Inf& inf, const std::string& section, const std::string& key) {
  for (const auto& line : inf.count(section) ? inf.at(section) : Inf::mapped_type{})
    if (line[0] == key) return {line.begin() + 1, line.end()};
  return {""};
}

}  // namespace

// The child driver's ID is the compatible ID the bus gives its children: the client's tests load the sample
// child driver on children through it.
TEST(WindowsInfTest, EachInfInstallsItsDriverServiceOnItsIdAndTheBusOnlyForSystemAndAdministrators) {
  using Package = std::array<std::string, 4>;  // the INF, the ID it installs on, the service, the image
  for (const auto& [name, id, serviceName, image] :
       {Package{"velmora.inf", VELMORA_BUS_HARDWARE_ID, VELMORA_BUS_SERVICE, VELMORA_BUS_IMAGE},
        Package{"velmorachild.inf", VELMORA_CHILD_COMPATIBLE_ID, VELMORA_CHILD_SERVICE, VELMORA_CHILD_IMAGE}}) {
    SCOPED_TRACE(name);
    const Inf inf = ReadInf(name);
    EXPECT_NE(Get(inf, "version", "catalogfile")[0], "") << "test signing needs a catalog";
    const Line version = Get(inf, "version", "driverver");
    EXPECT_TRUE(std::regex_match(version[0] + "," + version.at(1), std::regex(R"(\d\d/\d\d/\d{4},\d+(\.\d+){3})")));
    // Models decorated for x64 (an undecorated package does not install there), one of them naming the ID.
    const Line& manufacturer = inf.at("manufacturer").at(0);
    ASSERT_TRUE(manufacturer.size() == 3 && manufacturer[2] == "ntamd64") << "[manufacturer] models for x64";
    std::string install;
    for (const auto& line : inf.at(manufacturer[1] + ".ntamd64"))
      if (strcasecmp(line.at(2).c_str(), id.c_str()) == 0) install = line[1];
    ASSERT_NE(install, "") << "no model matches " << id;
    // The image copied to the drivers folder, and the service bound to the device (SPSVCINST_ASSOCSERVICE).
    const std::string copy = Get(inf, install + ".nt", "copyfiles")[0];
    EXPECT_EQ(inf.at(copy).at(0).at(1), image);
    const Line service = Get(inf, install + ".nt.services", "addservice");
    ASSERT_TRUE(service.size() == 3 && service[0] == serviceName) << "AddService = " << service[0];
    EXPECT_EQ(std::stoul(service[1], nullptr, 0) & 2, 2u);
    for (const auto& [section, key, value] : std::vector<std::array<std::string, 3>>{
             {"version", "signature", "$WINDOWS NT$"}, {"version", "class", "system"},
             {"version", "classguid", VELMORA_SYSTEM_CLASS_GUID}, {"sourcedisksfiles", image, "1"},
             {"destinationdirs", copy, "12"}, {service[2], "servicetype", "1"},  // a kernel driver
             {service[2], "starttype", "3"},                                      // started on demand by Plug and Play
             {service[2], "servicebinary", "%12%\\" + image}})
      EXPECT_EQ(Get(inf, section, key)[0], value) << "[" << section << "] " << key;
    const std::regex token("%(\\D.*)%");  // every string the package uses is defined
    std::smatch m;
    for (const auto& section : inf)
      for (const auto& line : section.second)
        for (const std::string& v : line)
          EXPECT_TRUE(!std::regex_match(v, m, token) || Get(inf, "strings", m[1])[0] != "") << v;
    if (image != VELMORA_BUS_IMAGE) continue;

    // Only SYSTEM and Administrators may open the bus's devices, names below them too (FILE_DEVICE_SECURE_OPEN).
    // The SDDL quoted (its ';' would start a comment), and the characteristics a DWORD.
    std::map<std::string, Line> reg;  // value name -> the line: key, HKR, subkey, name, type, data
    for (const Line& line : inf.at(Get(inf, install + ".nt.hw", "addreg")[0])) reg[line.at(3)] = line;
    EXPECT_EQ(reg["security"], (Line{"", "hkr", "", "security", "", "D:P(A;;GA;;;SY)(A;;GA;;;BA)"}));
    EXPECT_EQ(reg["security"].at(5), VELMORA_DEVICE_SDDL) << "what the installer applies";
    EXPECT_EQ(reg["devicecharacteristics"], (Line{"", "hkr", "", "devicecharacteristics", "0x10001", "0x100"}));
  }
}
