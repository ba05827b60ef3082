// velmorainst: installs and removes the Velmora bus on Windows (and under
// Wine), the way devcon and pnputil do it.
//
//   velmorainst install INF           the bus from velmora.inf: a root-enumerated
//                                     device node with the bus's hardware ID, then
//                                     the INF's driver for it (devcon install)
//   velmorainst install-service SYS   without an INF: the image copied to
//                                     System32\drivers, a kernel driver service,
//                                     the device node bound to it, the service
//                                     started (the route that also works in Wine)
//   velmorainst add-driver INF        stage a driver package such as
//                                     velmorachild.inf, so that Plug and Play
//                                     finds it for the children (pnputil /add-driver)
//   velmorainst remove [--service]    remove the bus's device nodes (devcon remove);
//                                     --service also deletes the driver service
//                                     and its image
//   velmorainst status                the bus's device nodes and its service
//
// Run it from an elevated prompt. The exit code is 0 on success, otherwise
// the Win32 error of the step that failed.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// clang-format off
#include <setupapi.h>
#include <cfgmgr32.h>
#include <newdev.h>
// clang-format on

#include <cstdio>
#include <string>
#include <vector>

#include "velmora_install.h"

namespace {

// The System setup class, {4d36e97d-e325-11ce-bfc1-08002be10318}.
const GUID kSystemClass = {0x4d36e97d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

const wchar_t kBusHardwareId[] = L"" VELMORA_BUS_HARDWARE_ID;
const wchar_t kBusDeviceName[] = L"" VELMORA_BUS_DEVICE_NAME;
const wchar_t kBusService[] = L"" VELMORA_BUS_SERVICE;
const wchar_t kBusImage[] = L"" VELMORA_BUS_IMAGE;
const wchar_t kDeviceSddl[] = L"" VELMORA_DEVICE_SDDL;
const DWORD kFileDeviceSecureOpen = 0x00000100;

// A failed step: what was attempted and the Win32 error it ended with.
DWORD Fail(const wchar_t* step, DWORD error = GetLastError()) {
  wchar_t* text = nullptr;
  FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                 error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message = text ? text : L"";
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r')) message.pop_back();
  std::fwprintf(stderr, L"velmorainst: %ls failed: %ls (error %lu, 0x%08lX)\n", step, message.c_str(), error, error);
  return error ? error : 1;
}

std::wstring FullPath(const wchar_t* path) {
  wchar_t full[MAX_PATH];
  const DWORD chars = GetFullPathNameW(path, MAX_PATH, full, nullptr);
  return chars && chars < MAX_PATH ? std::wstring(full) : std::wstring(path);
}

bool HasBusHardwareId(HDEVINFO set, SP_DEVINFO_DATA* data) {
  wchar_t ids[1024] = {};
  DWORD type = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_HARDWAREID, &type, reinterpret_cast<BYTE*>(ids),
                                         sizeof(ids) - 2 * sizeof(wchar_t), nullptr))
    return false;
  for (const wchar_t* id = ids; *id; id += wcslen(id) + 1)
    if (CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, id, -1, kBusHardwareId, -1) == CSTR_EQUAL) return true;
  return false;
}

// Every device node, present or not, that carries the bus's hardware ID.
template <typename Fn>
DWORD ForEachBusNode(Fn fn) {
  HDEVINFO set = SetupDiGetClassDevsW(nullptr, nullptr, nullptr, DIGCF_ALLCLASSES);
  if (set == INVALID_HANDLE_VALUE) return Fail(L"listing the device nodes");
  DWORD result = ERROR_SUCCESS;
  SP_DEVINFO_DATA data;
  data.cbSize = sizeof(data);
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    if (!HasBusHardwareId(set, &data)) continue;
    const DWORD r = fn(set, &data);
    if (r != ERROR_SUCCESS && result == ERROR_SUCCESS) result = r;
  }
  SetupDiDestroyDeviceInfoList(set);
  return result;
}

size_t CountBusNodes() {
  size_t count = 0;
  ForEachBusNode([&](HDEVINFO, SP_DEVINFO_DATA*) {
    ++count;
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
  return count;
}

// A root-enumerated device node ROOT\VELMORA\nnnn in `classGuid` with the
// bus's hardware ID, registered with Plug and Play. `bind` also names its
// service and gives it the control device's security (what the INF would).
DWORD CreateBusNode(const GUID& classGuid, bool bind, std::wstring* made = nullptr) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(&classGuid, nullptr);
  if (set == INVALID_HANDLE_VALUE) return Fail(L"SetupDiCreateDeviceInfoList");
  DWORD result = ERROR_SUCCESS;
  SP_DEVINFO_DATA data;
  data.cbSize = sizeof(data);
  // A multi-string: the ID, its null and the closing null.
  std::vector<wchar_t> ids(kBusHardwareId, kBusHardwareId + wcslen(kBusHardwareId));
  ids.push_back(L'\0');
  ids.push_back(L'\0');
  wchar_t instance[MAX_DEVICE_ID_LEN + 1] = {};

  if (!SetupDiCreateDeviceInfoW(set, kBusDeviceName, &classGuid, nullptr, nullptr, DICD_GENERATE_ID, &data)) {
    result = Fail(L"creating the device node (SetupDiCreateDeviceInfo)");
  } else if (!SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(ids.data()),
                                                static_cast<DWORD>(ids.size() * sizeof(wchar_t)))) {
    result = Fail(L"setting the hardware ID");
  } else if (!SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &data)) {
    result = Fail(L"registering the device node (DIF_REGISTERDEVICE)");
  } else {
    SetupDiGetDeviceInstanceIdW(set, &data, instance, MAX_DEVICE_ID_LEN, nullptr);
    if (bind) {
      if (!SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_SERVICE, reinterpret_cast<const BYTE*>(kBusService),
                                             static_cast<DWORD>((wcslen(kBusService) + 1) * sizeof(wchar_t)))) {
        result = Fail(L"binding the device node to its service (SPDRP_SERVICE)");
      } else {
        // Only SYSTEM and Administrators open the control device, as with the INF.
        DWORD error = ERROR_SUCCESS;
        if (!SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_SECURITY_SDS,
                                               reinterpret_cast<const BYTE*>(kDeviceSddl),
                                               static_cast<DWORD>((wcslen(kDeviceSddl) + 1) * sizeof(wchar_t))))
          error = GetLastError();
        if (!SetupDiSetDeviceRegistryPropertyW(set, &data, SPDRP_CHARACTERISTICS,
                                               reinterpret_cast<const BYTE*>(&kFileDeviceSecureOpen),
                                               sizeof(kFileDeviceSecureOpen)) &&
            error == ERROR_SUCCESS)
          error = GetLastError();
        if (error != ERROR_SUCCESS)
          std::fwprintf(stderr,
                        L"velmorainst: warning: the device's security could not be set (error %lu); the control "
                        L"device keeps the default security of its device type\n",
                        error);
      }
    }
    if (result != ERROR_SUCCESS) SetupDiCallClassInstaller(DIF_REMOVE, set, &data);
  }
  SetupDiDestroyDeviceInfoList(set);
  if (result == ERROR_SUCCESS) {
    std::wprintf(L"device node %ls created\n", instance);
    if (made) *made = instance;
  }
  return result;
}

// devcon install: the device node, then the INF's best driver for its ID.
DWORD Install(const wchar_t* inf) {
  const std::wstring path = FullPath(inf);
  GUID classGuid;
  wchar_t className[MAX_CLASS_NAME_LEN];
  if (!SetupDiGetINFClassW(path.c_str(), &classGuid, className, MAX_CLASS_NAME_LEN, nullptr))
    return Fail(L"reading the class of the INF");
  if (CountBusNodes() != 0) {
    std::fwprintf(stderr, L"velmorainst: a device node with the hardware ID %ls exists already; updating its driver\n",
                  kBusHardwareId);
  } else {
    const DWORD created = CreateBusNode(classGuid, false);
    if (created != ERROR_SUCCESS) return created;
  }
  BOOL reboot = FALSE;
  if (!UpdateDriverForPlugAndPlayDevicesW(nullptr, kBusHardwareId, path.c_str(), INSTALLFLAG_FORCE, &reboot))
    return Fail(L"installing the driver from the INF (UpdateDriverForPlugAndPlayDevices)");
  std::wprintf(L"driver installed from %ls%ls\n", path.c_str(), reboot ? L"; restart Windows to finish" : L"");
  return ERROR_SUCCESS;
}

// A busy service database (1055) is not a failure: the service manager holds
// it while it starts other services, as Wine's does for a while after a prefix
// boots. Only the start is tried again, never the steps before it, so that a
// retry cannot build a second half of an installation.
const DWORD kDatabaseLockedWaitMs = 60000;
const DWORD kDatabaseLockedPauseMs = 500;

DWORD StartDriverService(SC_HANDLE service) {
  const ULONGLONG deadline = GetTickCount64() + kDatabaseLockedWaitMs;
  for (unsigned attempt = 1;; ++attempt) {
    if (StartServiceW(service, 0, nullptr)) return ERROR_SUCCESS;
    const DWORD error = GetLastError();
    if (error == ERROR_SERVICE_ALREADY_RUNNING) return ERROR_SUCCESS;
    if (error != ERROR_SERVICE_DATABASE_LOCKED || GetTickCount64() >= deadline)
      return Fail(L"starting the driver service", error);
    std::fwprintf(stderr, L"velmorainst: start attempt %u: the service database is locked; waiting\n", attempt);
    Sleep(kDatabaseLockedPauseMs);
  }
}

// What one install-service run made, so that a run that fails takes exactly
// that back and leaves the machine as it found it.
struct ServiceInstall {
  std::wstring image;        // copied by this run (empty if it was there already)
  SC_HANDLE service = nullptr;
  bool createdService = false;
  std::wstring node;         // device instance created by this run
};

void RemoveNode(const std::wstring& instance) {
  HDEVINFO set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA data;
  data.cbSize = sizeof(data);
  if (SetupDiOpenDeviceInfoW(set, instance.c_str(), nullptr, 0, &data) && SetupDiRemoveDevice(set, &data))
    std::fwprintf(stderr, L"velmorainst: rolled back: device node %ls removed\n", instance.c_str());
  else
    std::fwprintf(stderr, L"velmorainst: rollback: device node %ls stays (error %lu)\n", instance.c_str(), GetLastError());
  SetupDiDestroyDeviceInfoList(set);
}

void RollBack(const ServiceInstall& made) {
  if (!made.node.empty()) RemoveNode(made.node);
  if (made.createdService) {
    SERVICE_STATUS status;
    ControlService(made.service, SERVICE_CONTROL_STOP, &status);  // it may never have started
    if (DeleteService(made.service))
      std::fwprintf(stderr, L"velmorainst: rolled back: service %ls deleted\n", kBusService);
    else
      std::fwprintf(stderr, L"velmorainst: rollback: service %ls stays (error %lu)\n", kBusService, GetLastError());
  }
  if (!made.image.empty() && DeleteFileW(made.image.c_str()))
    std::fwprintf(stderr, L"velmorainst: rolled back: image %ls deleted\n", made.image.c_str());
}

// The route without an INF: what Wine's driver host needs to load the bus.
// Either the service ends up started with its device node bound to it, or
// nothing this run made is left behind.
DWORD InstallService(const wchar_t* image) {
  wchar_t system[MAX_PATH];
  const UINT chars = GetSystemDirectoryW(system, MAX_PATH);
  if (!chars || chars >= MAX_PATH) return Fail(L"finding the system folder");
  const std::wstring target = std::wstring(system) + L"\\drivers\\" + kBusImage;
  ServiceInstall made;
  const bool imageWasThere = GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES;
  if (!CopyFileW(FullPath(image).c_str(), target.c_str(), FALSE))
    return Fail(L"copying the image to System32\\drivers");
  if (!imageWasThere) made.image = target;
  std::wprintf(L"image copied to %ls\n", target.c_str());

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) {
    const DWORD error = Fail(L"opening the service control manager");
    RollBack(made);
    return error;
  }
  const std::wstring binary = std::wstring(L"\\SystemRoot\\System32\\drivers\\") + kBusImage;
  made.service = CreateServiceW(manager, kBusService, L"Velmora Virtual Bus Driver", SERVICE_ALL_ACCESS,
                                SERVICE_KERNEL_DRIVER, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary.c_str(),
                                nullptr, nullptr, nullptr, nullptr, nullptr);
  made.createdService = made.service != nullptr;
  if (!made.service && GetLastError() == ERROR_SERVICE_EXISTS)
    made.service = OpenServiceW(manager, kBusService, SERVICE_ALL_ACCESS);
  DWORD result = ERROR_SUCCESS;
  if (!made.service) result = Fail(L"creating the driver service");

  if (result == ERROR_SUCCESS && CountBusNodes() == 0) result = CreateBusNode(kSystemClass, true, &made.node);
  // Starting the service loads the driver, which then finds its device node.
  if (result == ERROR_SUCCESS) result = StartDriverService(made.service);
  if (result == ERROR_SUCCESS)
    std::wprintf(L"service %ls started\n", kBusService);
  else
    RollBack(made);
  if (made.service) CloseServiceHandle(made.service);
  CloseServiceHandle(manager);
  return result;
}

// pnputil /add-driver: the package goes to the system's INF folder, where Plug
// and Play looks for drivers of new devices.
// The package's catalog (velmorachild.cat, made by Inf2Cat and signed) must lie
// beside the INF.
DWORD AddDriver(const wchar_t* inf) {
  const std::wstring path = FullPath(inf);
  const std::wstring folder = path.substr(0, path.find_last_of(L"\\/") + 1);
  wchar_t copied[MAX_PATH] = {};
  if (!SetupCopyOEMInfW(path.c_str(), folder.c_str(), SPOST_PATH, 0, copied, MAX_PATH, nullptr, nullptr))
    return Fail(L"staging the driver package (SetupCopyOEMInf; is its signed catalog beside the INF?)");
  std::wprintf(L"driver package staged as %ls\n", copied);
  return ERROR_SUCCESS;
}

DWORD RemoveService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  if (!manager) return Fail(L"opening the service control manager");
  DWORD result = ERROR_SUCCESS;
  SC_HANDLE service = OpenServiceW(manager, kBusService, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
  if (!service) {
    if (GetLastError() != ERROR_SERVICE_DOES_NOT_EXIST) result = Fail(L"opening the driver service");
  } else {
    SERVICE_STATUS status;
    ControlService(service, SERVICE_CONTROL_STOP, &status);  // a driver with devices may refuse; fine
    if (!DeleteService(service) && GetLastError() != ERROR_SERVICE_MARKED_FOR_DELETE)
      result = Fail(L"deleting the driver service");
    else
      std::wprintf(L"service %ls deleted\n", kBusService);
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);

  wchar_t system[MAX_PATH];
  const UINT chars = GetSystemDirectoryW(system, MAX_PATH);
  if (chars && chars < MAX_PATH) {
    const std::wstring image = std::wstring(system) + L"\\drivers\\" + kBusImage;
    if (DeleteFileW(image.c_str()))
      std::wprintf(L"image %ls deleted\n", image.c_str());
    else if (GetLastError() != ERROR_FILE_NOT_FOUND)
      std::fwprintf(stderr, L"velmorainst: the image %ls stays (error %lu)\n", image.c_str(), GetLastError());
  }
  return result;
}

// devcon remove: every node with the bus's ID, which removes the bus and, with
// it, every child.
DWORD Remove(bool service) {
  size_t removed = 0;
  DWORD result = ForEachBusNode([&](HDEVINFO set, SP_DEVINFO_DATA* data) {
    wchar_t instance[MAX_DEVICE_ID_LEN + 1] = {};
    SetupDiGetDeviceInstanceIdW(set, data, instance, MAX_DEVICE_ID_LEN, nullptr);
    SP_REMOVEDEVICE_PARAMS params = {};
    params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    params.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    params.Scope = DI_REMOVEDEVICE_GLOBAL;
    const bool removedByInstaller =
        SetupDiSetClassInstallParamsW(set, data, &params.ClassInstallHeader, sizeof(params)) &&
        SetupDiCallClassInstaller(DIF_REMOVE, set, data);
    if (!removedByInstaller && !SetupDiRemoveDevice(set, data)) return Fail(L"removing a device node");
    std::wprintf(L"device node %ls removed\n", instance);
    ++removed;
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
  if (removed == 0 && result == ERROR_SUCCESS)
    std::wprintf(L"no device node with the hardware ID %ls\n", kBusHardwareId);
  if (service) {
    const DWORD r = RemoveService();
    if (result == ERROR_SUCCESS) result = r;
  }
  return result;
}

DWORD Status() {
  size_t nodes = 0;
  ForEachBusNode([&](HDEVINFO set, SP_DEVINFO_DATA* data) {
    wchar_t instance[MAX_DEVICE_ID_LEN + 1] = {};
    SetupDiGetDeviceInstanceIdW(set, data, instance, MAX_DEVICE_ID_LEN, nullptr);
    ULONG status = 0, problem = 0;
    const wchar_t* state = L"not present";
    wchar_t problemText[32];
    if (CM_Get_DevNode_Status(&status, &problem, data->DevInst, 0) == CR_SUCCESS) {
      if (status & DN_HAS_PROBLEM) {
        std::swprintf(problemText, 32, L"problem %lu", problem);
        state = problemText;
      } else {
        state = (status & DN_STARTED) ? L"started" : L"not started";
      }
    }
    std::wprintf(L"device node %ls: %ls\n", instance, state);
    ++nodes;
    return static_cast<DWORD>(ERROR_SUCCESS);
  });
  if (nodes == 0) std::wprintf(L"no device node with the hardware ID %ls\n", kBusHardwareId);

  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager) {
    SC_HANDLE service = OpenServiceW(manager, kBusService, SERVICE_QUERY_STATUS);
    if (service) {
      SERVICE_STATUS status;
      if (QueryServiceStatus(service, &status))
        std::wprintf(L"service %ls: %ls\n", kBusService,
                     status.dwCurrentState == SERVICE_RUNNING ? L"running" : L"not running");
      CloseServiceHandle(service);
    } else {
      std::wprintf(L"service %ls: not installed\n", kBusService);
    }
    CloseServiceHandle(manager);
  }
  return ERROR_SUCCESS;
}

int Usage() {
  std::fwprintf(stderr,
                L"usage: velmorainst install INF | install-service SYS | add-driver INF | remove [--service] | status\n"
                L"  install INF          create the bus's device node (" VELMORA_BUS_HARDWARE_ID
                L") and install the INF's driver on it\n"
                L"  install-service SYS  copy the image, create and start the driver service, create the device node\n"
                L"                       bound to it (no INF; also under Wine)\n"
                L"  add-driver INF       stage a driver package, e.g. velmorachild.inf for the children\n"
                L"  remove [--service]   remove the bus's device nodes; --service also deletes the service and image\n"
                L"  status               show the bus's device nodes and its service\n");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return Usage();
  const std::wstring command = argv[1];
  if (command == L"install" && argc == 3) return static_cast<int>(Install(argv[2]));
  if (command == L"install-service" && argc == 3) return static_cast<int>(InstallService(argv[2]));
  if (command == L"add-driver" && argc == 3) return static_cast<int>(AddDriver(argv[2]));
  if (command == L"remove" && argc == 2) return static_cast<int>(Remove(false));
  if (command == L"remove" && argc == 3 && std::wstring(argv[2]) == L"--service") return static_cast<int>(Remove(true));
  if (command == L"status" && argc == 2) return static_cast<int>(Status());
  return Usage();
}
