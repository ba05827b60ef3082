// velmoractl for Windows: the commands against the real driver, through the
// client library's Win32 transport, and the bus's children as the Plug and
// Play manager lists them (SetupAPI and the configuration manager).
//
// Opening the control device needs an elevated prompt: the device admits only
// SYSTEM and Administrators.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <cfgmgr32.h>
// clang-format on

#include <algorithm>
#include <atomic>
#include <iostream>

#include "velmora_client_win32.h"
#include "velmora_install.h"
#include "velmoractl.h"

namespace velmoractl {

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type == CTRL_C_EVENT || type == CTRL_BREAK_EVENT) {
    g_interrupted = true;
    return TRUE;
  }
  return FALSE;
}

std::string Utf8(const wchar_t* text, int chars = -1) {
  if (!text) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, chars, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, chars, &out[0], bytes, nullptr, nullptr);
  if (chars == -1 && !out.empty()) out.pop_back();  // the converted null
  return out;
}

std::vector<std::string> SplitMultiSz(const std::vector<wchar_t>& buffer) {
  std::vector<std::string> strings;
  size_t at = 0;
  while (at < buffer.size() && buffer[at] != L'\0') {
    size_t end = at;
    while (end < buffer.size() && buffer[end] != L'\0') ++end;
    strings.push_back(Utf8(&buffer[at], static_cast<int>(end - at)));
    at = end + 1;
  }
  return strings;
}

// A registry property of a device, as wide characters (empty if absent).
std::vector<wchar_t> Property(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property) {
  DWORD bytes = 0;
  DWORD type = 0;
  SetupDiGetDeviceRegistryPropertyW(set, data, property, &type, nullptr, 0, &bytes);
  if (!bytes) return {};
  std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 2, L'\0');
  if (!SetupDiGetDeviceRegistryPropertyW(set, data, property, &type, reinterpret_cast<BYTE*>(buffer.data()), bytes,
                                         nullptr))
    return {};
  return buffer;
}

std::string Text(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property) {
  std::vector<wchar_t> buffer = Property(set, data, property);
  return buffer.empty() ? std::string() : Utf8(buffer.data());
}

bool Contains(const std::vector<std::string>& ids, const char* wanted) {
  for (const std::string& id : ids)
    if (CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, id.c_str(), -1, wanted, -1) == CSTR_EQUAL) return true;
  return false;
}

velmora::Result Failed(velmora::NtStatus status, const std::string& detail) {
  velmora::Result r;
  r.status = status;
  r.detail = detail;
  return r;
}

class Win32Environment final : public Environment {
 public:
  explicit Win32Environment(const Options& options) {
    velmora::ClientOptions clientOptions;
    clientOptions.maxRecordSize = options.maxRecord;
    client_ = std::make_unique<velmora::Client>(velmora::MakeWin32Transport(), clientOptions);
  }

  velmora::Result Boot() { return client_->Open(); }
  velmora::Client& Client() override { return *client_; }

  // The bus's device node is found by its hardware ID, its children by the
  // compatible ID the bus gives every child and by their parent node. SetupAPI
  // answers the IDs and texts; the configuration manager the tree and the
  // state, where the platform has it (Wine has little of it).
  velmora::Result ListChildren(std::vector<Child>* children) override {
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return Failed(velmora::status::kUnsuccessful, "SetupDiGetClassDevs failed");
    std::vector<DEVINST> buses;
    SP_DEVINFO_DATA data;
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i)
      if (Contains(SplitMultiSz(Property(set, &data, SPDRP_HARDWAREID)), VELMORA_BUS_HARDWARE_ID))
        buses.push_back(data.DevInst);
    if (buses.empty()) {
      SetupDiDestroyDeviceInfoList(set);
      return Failed(velmora::status::kNoSuchDevice,
                    "no device node with the hardware ID " VELMORA_BUS_HARDWARE_ID " is present");
    }

    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      Child c;
      c.compatibleIds = SplitMultiSz(Property(set, &data, SPDRP_COMPATIBLEIDS));
      if (!Contains(c.compatibleIds, VELMORA_CHILD_COMPATIBLE_ID)) continue;
      DEVINST parent = 0;
      if (CM_Get_Parent(&parent, data.DevInst, 0) == CR_SUCCESS &&
          std::find(buses.begin(), buses.end(), parent) == buses.end())
        continue;
      wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
      if (SetupDiGetDeviceInstanceIdW(set, &data, id, MAX_DEVICE_ID_LEN, nullptr)) c.instancePath = Utf8(id);
      c.hardwareIds = SplitMultiSz(Property(set, &data, SPDRP_HARDWAREID));
      c.description = Text(set, &data, SPDRP_DEVICEDESC);
      c.driver = Text(set, &data, SPDRP_SERVICE);
      ULONG status = 0, problem = 0;
      if (CM_Get_DevNode_Status(&status, &problem, data.DevInst, 0) != CR_SUCCESS)
        c.state = "present";
      else if (status & DN_HAS_PROBLEM)
        c.state = "problem " + std::to_string(problem);
      else if (status & DN_STARTED)
        c.state = "started";
      else
        c.state = "not started";
      children->push_back(c);
    }
    SetupDiDestroyDeviceInfoList(set);
    return velmora::Result();
  }

  void SleepMs(uint32_t ms) override { Sleep(ms); }
  bool Interrupted() override { return g_interrupted.load(); }
  uint32_t DefaultListenTimeoutMs() const override { return 0; }

 private:
  std::unique_ptr<velmora::Client> client_;
};

int Run(const std::vector<std::string>& args) {
  Options options;
  std::string error;
  if (!ParseArguments(args, &options, &error)) {
    std::cerr << "velmoractl: " << error << "\n\n";
    PrintUsage(std::cerr, true);
    return kUsageExit;
  }
  if (options.help) {
    PrintUsage(std::cout, true);
    return 0;
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  Win32Environment environment(options);
  velmora::Result opened = environment.Boot();
  if (!opened.ok()) {
    std::cerr << "velmoractl: " << opened.Message() << "\n";
    return ExitCode(opened.status);
  }
  const int exit = Execute(environment, options, std::cout, std::cerr);
  environment.Client().Close();
  return exit;
}

}  // namespace

}  // namespace velmoractl

int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.push_back(velmoractl::Utf8(argv[i]));
  return velmoractl::Run(args);
}
