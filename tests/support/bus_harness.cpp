#include "bus_harness.h"

#include <cstring>

namespace velmora_test {

std::vector<uint8_t> PlugInRecord(ULONG serial, const std::vector<std::u16string>& hardwareIds,
                                  ULONG deviceType) {
  return PlugInRecordOf(serial, hardwareIds.empty() ? std::u16string(2, u'\0') : khost::JoinMultiSz(hardwareIds),
                        deviceType);
}

std::vector<uint8_t> PlugInRecordOf(ULONG serial, const std::u16string& multi, ULONG deviceType) {
  std::vector<uint8_t> record(BUS_PLUGIN_REQUEST_HEADER_SIZE + multi.size() * 2);
  const ULONG header[] = {static_cast<ULONG>(record.size()), deviceType, serial};
  std::memcpy(record.data(), header, sizeof(header));
  std::memcpy(record.data() + sizeof(header), multi.data(), multi.size() * 2);
  return record;
}

khost::PoolBlock PoolBlockAt(const void* address) {
  for (const khost::PoolBlock& block : khost::OutstandingPool())
    if (block.address == address) return block;
  return khost::PoolBlock{};
}

std::vector<uint8_t> UnplugRecord(ULONG serial) {
  std::vector<uint8_t> record(BUS_UNPLUG_REQUEST_SIZE, 0);
  ULONG size = BUS_UNPLUG_REQUEST_SIZE;
  std::memcpy(&record[0], &size, 4);
  std::memcpy(&record[8], &serial, 4);
  return record;
}

void RemoveNode(khost::DevNode* node, khost::RemovalStyle style) {
  if (!NT_SUCCESS(khost::Pnp().Remove(node, style))) khost::Pnp().Remove(node, style);
}

BusHarness::BusHarness(const khost::RootPdoConfig& config, bool start) {
  driver_ = khost::LoadDriver(u"velmora", Velmora_DriverEntry);
  if (driver_) node_ = khost::Pnp().AddRootDevice("ROOT\\SYSTEM\\VELMORA", driver_, config, start);
  if (PBUS_EXTENSION bus = Bus()) GuardLists(bus);
}

// Every change to the bus's lists must hold the lock that guards it.
void BusHarness::GuardLists(PBUS_EXTENSION bus) {
  khost::GuardList(&bus->ChildList, &bus->ChildListLock, "ChildList");
  for (LIST_ENTRY& bucket : bus->SerialBuckets) khost::GuardList(&bucket, &bus->ChildListLock, "a serial-number bucket");
  khost::GuardList(&bus->SendQueue, &bus->SendLock, "SendQueue");
  khost::GuardList(&bus->ChildCalls, &bus->SendLock, "the calls into the child driver");
  khost::GuardList(&bus->ChildCallWaiters, &bus->SendLock, "the changes waiting for those calls");
}

BusHarness::~BusHarness() {
  if (!unloaded_) Teardown();
}

PDEVICE_OBJECT BusHarness::Fdo() const {
  if (!node_ || !node_->pdo) return nullptr;
  for (PDEVICE_OBJECT d = node_->pdo->AttachedDevice; d; d = d->AttachedDevice)
    if (d->DriverObject == driver_) return d;
  return nullptr;
}

PBUS_EXTENSION BusHarness::Bus() const {
  PDEVICE_OBJECT fdo = Fdo();
  return fdo ? static_cast<PBUS_EXTENSION>(fdo->DeviceExtension) : nullptr;
}

HANDLE BusHarness::Open(NTSTATUS* status) { return service_.CreateFile(u"\\\\.\\Olvex", status); }

NTSTATUS BusHarness::Control(HANDLE handle, ULONG code, const void* in, ULONG inLength, void* out,
                             ULONG outLength, ULONG_PTR* information) {
  return service_.DeviceIoControl(handle, code, in, inLength, out, outLength, information);
}

NTSTATUS BusHarness::PlugIn(HANDLE handle, ULONG serial, const std::vector<std::u16string>& hardwareIds,
                            ULONG deviceType) {
  std::vector<uint8_t> record = PlugInRecord(serial, hardwareIds, deviceType);
  return Control(handle, IOCTL_NETBUS_PLUG_IN, record.data(), static_cast<ULONG>(record.size()));
}

NTSTATUS BusHarness::Unplug(HANDLE handle, ULONG serial) {
  std::vector<uint8_t> record = UnplugRecord(serial);
  return Control(handle, IOCTL_NETBUS_PLUG_OUT, record.data(), static_cast<ULONG>(record.size()));
}

std::vector<khost::DevNode*> BusHarness::ChildNodes() const {
  return node_ ? node_->children : std::vector<khost::DevNode*>{};
}

khost::DevNode* BusHarness::ChildNode(ULONG serial) const {
  for (khost::DevNode* child : ChildNodes()) {
    PDEVICE_OBJECT pdo = child->pdo;
    if (pdo && pdo->DriverObject == driver_ && ChildExtension(pdo)->SerialNo == serial) return child;
  }
  return nullptr;
}

std::vector<PCHILD_EXTENSION> BusHarness::Children() const {
  std::vector<PCHILD_EXTENSION> children;
  PBUS_EXTENSION bus = Bus();
  if (!bus) return children;
  for (PLIST_ENTRY e = bus->ChildList.Flink; e != &bus->ChildList; e = e->Flink)
    children.push_back(CONTAINING_RECORD(e, CHILD_EXTENSION, Link));
  return children;
}

PCHILD_EXTENSION BusHarness::Listed(ULONG serial) const {
  for (PCHILD_EXTENSION child : Children())
    if (child->SerialNo == serial) return child;
  return nullptr;
}

void BusHarness::Teardown(khost::RemovalStyle style) {
  service_.~Process();
  new (&service_) khost::Process("service");
  if (node_) {
    khost::Pnp().ProcessInvalidations();
    // A node the test already removed is no longer in the tree.
    for (khost::DevNode* n : khost::Pnp().Root()->children)
      if (n == node_) RemoveNode(node_, style);
    node_ = nullptr;
    khost::Pnp().ProcessInvalidations();
  }
  Unload();
}

void BusHarness::Unload() {
  if (unloaded_) return;
  unloaded_ = true;
  node_ = nullptr;
  if (driver_) khost::UnloadDriver(driver_);
  driver_ = nullptr;
}

}  // namespace velmora_test
