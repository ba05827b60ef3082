// velmoraroad.exe: the road against the real driver, through the client
// library's Win32 transport, with the children as SetupAPI lists them.
//
//   velmoraroad.exe [--event-into-driver-host] [--driver-log FILE] [--observed FILE]
//   velmoraroad.exe --unloaded
//
// --event-into-driver-host  the Wine test image's way to pass the event: the
//     event is duplicated into the driver host's process (Wine's winedevice.exe
//     that holds velmora.sys) and that handle is passed. Only for
//     velmora-winetest.sys; the real image refuses such a handle.
// --driver-log FILE  where the drivers' debug output goes (under Wine, the
//     driver host's stderr); the child driver's lines are read from it.
// --observed FILE  this run's observations, for the comparison with the
//     kernel host's.
// --unloaded  only checks that no driver host holds velmora.sys any more.
//
// Needs an elevated prompt: the control device admits only SYSTEM and
// Administrators. The exit code is the number of failed checks.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <cfgmgr32.h>
#include <tlhelp32.h>
// clang-format on

#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include "road.h"
#include "velmora_client_win32.h"
#include "velmora_install.h"

namespace velmoraroad {

namespace {

std::string Utf8(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) out += *text < 0x80 ? static_cast<char>(*text) : '?';
  return out;
}

bool SameText(const std::wstring& a, const wchar_t* b) { return lstrcmpiW(a.c_str(), b) == 0; }

// The driver hosts (winedevice.exe) that have velmora.sys loaded.
std::vector<DWORD> DriverHostsWithBus() {
  std::vector<DWORD> hosts;
  HANDLE processes = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (processes == INVALID_HANDLE_VALUE) return hosts;
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  for (BOOL more = Process32FirstW(processes, &process); more; more = Process32NextW(processes, &process)) {
    if (!SameText(process.szExeFile, L"winedevice.exe")) continue;
    HANDLE modules = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, process.th32ProcessID);
    if (modules == INVALID_HANDLE_VALUE) continue;
    MODULEENTRY32W module{};
    module.dwSize = sizeof module;
    for (BOOL m = Module32FirstW(modules, &module); m; m = Module32NextW(modules, &module)) {
      if (SameText(module.szModule, L"" VELMORA_BUS_IMAGE)) {
        hosts.push_back(process.th32ProcessID);
        break;
      }
    }
    CloseHandle(modules);
  }
  CloseHandle(processes);
  return hosts;
}

// The Win32 transport, except that the event's handle the bus is given is a
// duplicate in the driver host's process (see --event-into-driver-host).
class DriverHostEventTransport final : public velmora::Transport {
 public:
  explicit DriverHostEventTransport(std::unique_ptr<velmora::Transport> inner) : inner_(std::move(inner)) {}
  ~DriverHostEventTransport() override { CloseEvent(); }

  velmora::NtStatus Open() override { return inner_->Open(); }
  void Close() override { inner_->Close(); }
  velmora::NtStatus Control(uint32_t code, const void* input, uint32_t inputLength, void* output,
                            uint32_t outputLength, uint64_t* information) override {
    return inner_->Control(code, input, inputLength, output, outputLength, information);
  }

  velmora::NtStatus NewEvent(int32_t* handleValue) override {
    int32_t local = 0;
    const velmora::NtStatus made = inner_->NewEvent(&local);
    if (!velmora::IsSuccess(made)) return made;
    const std::vector<DWORD> hosts = DriverHostsWithBus();
    if (hosts.size() != 1) {
      std::cerr << "velmoraroad: " << hosts.size() << " driver hosts hold " VELMORA_BUS_IMAGE ", wanted one\n";
      return velmora::status::kObjectNameNotFound;
    }
    host_ = OpenProcess(PROCESS_DUP_HANDLE, FALSE, hosts[0]);
    HANDLE remote = nullptr;
    if (!host_ || !DuplicateHandle(GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<intptr_t>(local)),
                                   host_, &remote, EVENT_MODIFY_STATE, FALSE, 0)) {
      std::cerr << "velmoraroad: the event could not be duplicated into the driver host (error " << GetLastError()
                << ")\n";
      return velmora::status::kAccessDenied;
    }
    remote_ = remote;
    *handleValue = static_cast<int32_t>(reinterpret_cast<intptr_t>(remote));
    return velmora::status::kSuccess;
  }

  void CloseEvent() override {
    if (host_ && remote_) DuplicateHandle(host_, remote_, nullptr, nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE);
    if (host_) CloseHandle(host_);
    host_ = remote_ = nullptr;
    inner_->CloseEvent();
  }
  WaitOutcome WaitEvent(std::chrono::milliseconds timeout) override { return inner_->WaitEvent(timeout); }
  void SignalEvent() override { inner_->SignalEvent(); }
  std::string Describe() const override { return inner_->Describe() + " (event in the driver host)"; }

 private:
  std::unique_ptr<velmora::Transport> inner_;
  HANDLE host_ = nullptr;
  HANDLE remote_ = nullptr;
};

std::vector<wchar_t> Property(HDEVINFO set, SP_DEVINFO_DATA* data, DWORD property) {
  DWORD bytes = 0;
  SetupDiGetDeviceRegistryPropertyW(set, data, property, nullptr, nullptr, 0, &bytes);
  std::vector<wchar_t> buffer(bytes / sizeof(wchar_t) + 2, L'\0');
  if (!bytes || !SetupDiGetDeviceRegistryPropertyW(set, data, property, nullptr,
                                                   reinterpret_cast<BYTE*>(buffer.data()), bytes, nullptr))
    buffer.assign(2, L'\0');
  return buffer;
}

class Win32Platform final : public Platform {
 public:
  Win32Platform(bool eventIntoDriverHost, std::string driverLog) : driverLog_(std::move(driverLog)) {
    std::unique_ptr<velmora::Transport> transport = velmora::MakeWin32Transport();
    if (eventIntoDriverHost) transport = std::make_unique<DriverHostEventTransport>(std::move(transport));
    client_ = std::make_unique<velmora::Client>(std::move(transport));
  }

  velmora::Client& Client() override { return *client_; }
  velmora::Result PassEvent() override { return client_->PassEvent(); }

  // Removed children stay in SetupAPI's list under Wine, so presence is not
  // asked of it: the road knows from the bus which serials are plugged in.
  bool FindChild(uint32_t serial, ChildIds* ids) override {
    HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) return false;
    const std::wstring suffix = L"\\" + std::to_wstring(serial);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    bool found = false;
    for (DWORD i = 0; !found && SetupDiEnumDeviceInfo(set, i, &data); ++i) {
      wchar_t id[MAX_DEVICE_ID_LEN + 1] = {};
      if (!SetupDiGetDeviceInstanceIdW(set, &data, id, MAX_DEVICE_ID_LEN, nullptr)) continue;
      const std::wstring instance = id;
      if (instance.size() < suffix.size() || instance.compare(0, 8, L"VELMORA\\") != 0 ||
          instance.compare(instance.size() - suffix.size(), suffix.size(), suffix) != 0)
        continue;
      found = true;
      ids->instancePath = Utf8(id);
      ids->hardwareIds.clear();
      const std::vector<wchar_t> multi = Property(set, &data, SPDRP_HARDWAREID);
      for (const wchar_t* at = multi.data(); *at; at += lstrlenW(at) + 1) ids->hardwareIds.push_back(Utf8(at));
    }
    SetupDiDestroyDeviceInfoList(set);
    return found;
  }

  // velmorainst's removal, from the folder this program runs in.
  velmora::Result RemoveBus() override {
    velmora::Result r;
    wchar_t self[MAX_PATH];
    const DWORD chars = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring command = std::wstring(self, chars);
    command = L"\"" + command.substr(0, command.find_last_of(L'\\') + 1) + L"velmorainst.exe\" remove";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
      r.status = velmora::status::kObjectNameNotFound;
      r.detail = "velmorainst.exe could not be started";
      return r;
    }
    DWORD exit = 1;
    if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0) {
      r.status = velmora::status::kIoTimeout;
      r.detail = "velmorainst remove did not finish in 60 s";
    } else if (GetExitCodeProcess(process.hProcess, &exit) && exit != 0) {
      r.status = velmora::status::kUnsuccessful;
      r.detail = "velmorainst remove exit " + std::to_string(exit);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    r.sent = true;
    return r;
  }

  std::vector<std::string> DriverTrace() override {
    std::vector<std::string> lines;
    std::ifstream in(driverLog_, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // Wine's Plug and Play manager works on its own thread.
  void Settle() override { Sleep(100); }

 private:
  std::string driverLog_;
  std::unique_ptr<velmora::Client> client_;
};

int Unloaded() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!DriverHostsWithBus().empty() && std::chrono::steady_clock::now() < until) Sleep(200);
  if (DriverHostsWithBus().empty()) {
    std::cout << "ok no driver host holds " VELMORA_BUS_IMAGE "\n";
    return 0;
  }
  std::cout << "FAIL no driver host holds " VELMORA_BUS_IMAGE ": still loaded after 30 s\n";
  return 1;
}

}  // namespace

}  // namespace velmoraroad

int wmain(int argc, wchar_t** argv) {
  bool eventIntoDriverHost = false;
  std::string driverLog, observedPath;
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"--unloaded" && argc == 2) return velmoraroad::Unloaded();
    if (arg == L"--event-into-driver-host") {
      eventIntoDriverHost = true;
    } else if ((arg == L"--driver-log" || arg == L"--observed") && i + 1 < argc) {
      (arg == L"--driver-log" ? driverLog : observedPath) = velmoraroad::Utf8(argv[++i]);
    } else {
      std::cerr << "usage: velmoraroad.exe [--event-into-driver-host] [--driver-log FILE] [--observed FILE]\n"
                   "       velmoraroad.exe --unloaded\n";
      return 2;
    }
  }
  std::vector<std::string> observed;
  int failures;
  {
    velmoraroad::Win32Platform platform(eventIntoDriverHost, driverLog);
    failures = velmoraroad::RunRoad(platform, std::cout, &observed);
  }
  if (!observedPath.empty()) {
    std::ofstream out(observedPath, std::ios::binary);
    for (const std::string& line : observed) out << line << "\n";
  }
  std::cout << (failures ? "road: " + std::to_string(failures) + " failed" : std::string("road: all passed")) << "\n";
  return failures;
}
