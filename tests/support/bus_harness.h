// Test support: the Velmora bus booted in the kernel host, with a service
// process that talks to it the way the user-mode service does. Tests, the demo
// and the client library's host backend share it.
#pragma once

#include <string>
#include <vector>

#include "../../windows/installer/velmora_install.h"
#include "khost.h"
#include "velmora.h"

extern "C" DRIVER_INITIALIZE Velmora_DriverEntry;

namespace velmora_test {

// The compatible ID every child carries, which a child driver's package matches.
inline constexpr char16_t kChildCompatibleId[] = u"" VELMORA_CHILD_COMPATIBLE_ID;
// A function driver for the children, loaded and matched as its package would install it.
inline PDRIVER_OBJECT LoadChildDriver(DRIVER_INITIALIZE* entry, const std::u16string& service = u"function") {
  PDRIVER_OBJECT driver = khost::LoadDriver(service, entry);
  if (driver) khost::Pnp().RegisterFunctionDriver(kChildCompatibleId, driver);
  return driver;
}

// A BUS_PLUGIN_REQUEST record: header, then the IDs as a UTF-16 multi-string.
std::vector<uint8_t> PlugInRecord(ULONG serial, const std::vector<std::u16string>& hardwareIds,
                                  ULONG deviceType = FILE_DEVICE_BUS_EXTENDER);
// The same around an explicit multi-string, its closing nulls included by the caller.
std::vector<uint8_t> PlugInRecordOf(ULONG serial, const std::u16string& multi,
                                    ULONG deviceType = FILE_DEVICE_BUS_EXTENDER);
std::vector<uint8_t> UnplugRecord(ULONG serial);

inline PCHILD_EXTENSION ChildExtension(PDEVICE_OBJECT pdo) {
  return static_cast<PCHILD_EXTENSION>(pdo->DeviceExtension);
}
// The outstanding pool block at `address`, or one with a null address.
khost::PoolBlock PoolBlockAt(const void* address);

// Removes a device node as an uninstall does: a removal the device below
// refused once (the fault sweep makes it) is asked for again.
void RemoveNode(khost::DevNode* node, khost::RemovalStyle style = khost::RemovalStyle::Windows);

class BusHarness {
 public:
  // Loads the driver and adds the bus's root-enumerated device node (AddDevice
  // and, unless `start` is false, start).
  explicit BusHarness(const khost::RootPdoConfig& config = khost::RootPdoConfig(), bool start = true);
  ~BusHarness();
  BusHarness(const BusHarness&) = delete;
  BusHarness& operator=(const BusHarness&) = delete;

  PDRIVER_OBJECT Driver() const { return driver_; }
  khost::DevNode* Node() const { return node_; }
  PDEVICE_OBJECT Fdo() const;             // the bus device, or null
  PBUS_EXTENSION Bus() const;             // its extension, or null
  // Ties the bus's lists to their spin locks (khost::GuardList); done at boot.
  static void GuardLists(PBUS_EXTENSION bus);
  khost::Process& Service() { return service_; }

  // The service's side.
  HANDLE Open(NTSTATUS* status = nullptr);
  NTSTATUS Control(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out = nullptr,
                   ULONG outLength = 0, ULONG_PTR* information = nullptr);
  NTSTATUS PlugIn(HANDLE handle, ULONG serial, const std::vector<std::u16string>& hardwareIds,
                  ULONG deviceType = FILE_DEVICE_BUS_EXTENDER);
  NTSTATUS Unplug(HANDLE handle, ULONG serial);

  // The Plug and Play manager runs what the bus asked for.
  int Enumerate() { return khost::Pnp().ProcessInvalidations(); }
  // Device nodes of the bus's children, in the order they were reported.
  std::vector<khost::DevNode*> ChildNodes() const;
  khost::DevNode* ChildNode(ULONG serial) const;  // by the instance ID the child answered
  // The children on the bus's list (read from its extension).
  std::vector<PCHILD_EXTENSION> Children() const;
  PCHILD_EXTENSION Listed(ULONG serial) const;  // the first on the list with `serial`, or null

  // Removes the bus's device node (if it is still there) and unloads the driver.
  void Teardown(khost::RemovalStyle style = khost::RemovalStyle::Windows);
  // Unloads the driver once its device node is gone (after a removal the test made itself).
  void Unload();

 private:
  PDRIVER_OBJECT driver_ = nullptr;
  khost::DevNode* node_ = nullptr;
  khost::Process service_{"service"};
  bool unloaded_ = false;
};

}  // namespace velmora_test
