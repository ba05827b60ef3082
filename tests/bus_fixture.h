// Shared by the bus tests: the bus booted in the kernel host with the
// passthrough function driver registered for its children, the service's
// handle, requests a kernel component sends straight to the bus device,
// relations lists as a driver above the bus hands them down, and a point in
// the host at which one chosen thread can be held.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "bus_harness.h"
#include "kernel_test.h"
#include "passthrough_driver.h"

namespace khost {
// Names the removal order in the test output.
inline void PrintTo(RemovalStyle style, std::ostream* os) {
  *os << (style == RemovalStyle::Wine ? "Wine" : "Windows");
}
}  // namespace khost

namespace bus_test {

inline const std::u16string kCompatibleId =
    u"{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice";
inline const std::u16string kNetId = u"VELMORA\\NET";
// Tag of the relations lists the tests hand down as a driver above would: "tsiL".
constexpr ULONG kListTag = 0x4C697374u;
// Information a kernel sender leaves in a request, to see whether anyone wrote it.
constexpr ULONG_PTR kInformationSentinel = 0x5A5A1234u;

// Every control code the bus serves, and one it does not.
inline const std::vector<ULONG> kBusCodes = {
    IOCTL_NETBUS_PLUG_IN,       IOCTL_NETBUS_PLUG_OUT,       IOCTL_NETBUS_EXCHANGE_CALLBACK,
    IOCTL_CORVANE_PASS_EVENT,   IOCTL_CORVANE_DELETE_EVENT,  IOCTL_CORVANE_GET_MSG,
    IOCTL_CORVANE_PUT_MSG};
constexpr ULONG kUnknownCode = 0x002A2010u;  // FILE_DEVICE_BUS_EXTENDER, function 0x804

// A plug-in record around an explicit multi-string (closing nulls included by
// the caller), with Size set to the record's length.
inline std::vector<uint8_t> PlugInBytes(ULONG serial, const std::u16string& multi,
                                        ULONG deviceType = FILE_DEVICE_BUS_EXTENDER) {
  std::vector<uint8_t> record(BUS_PLUGIN_REQUEST_HEADER_SIZE + multi.size() * 2);
  ULONG size = static_cast<ULONG>(record.size());
  std::memcpy(&record[0], &size, 4);
  std::memcpy(&record[4], &deviceType, 4);
  std::memcpy(&record[8], &serial, 4);
  if (!multi.empty()) std::memcpy(&record[12], multi.data(), multi.size() * 2);
  return record;
}

inline void SetSizeField(std::vector<uint8_t>& record, ULONG size) { std::memcpy(&record[0], &size, 4); }

// A relations list in paged pool, as a filter above the bus leaves it in the
// request: one reference on each entry, taken by its writer.
inline PDEVICE_RELATIONS MakeList(const std::vector<PDEVICE_OBJECT>& devices) {
  size_t entries = devices.empty() ? 1 : devices.size();
  auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
      PagedPool, FIELD_OFFSET(DEVICE_RELATIONS, Objects) + entries * sizeof(PDEVICE_OBJECT), kListTag));
  list->Count = static_cast<ULONG>(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) {
    list->Objects[i] = devices[i];
    ObfReferenceObject(devices[i]);
  }
  return list;
}

inline std::vector<PDEVICE_OBJECT> Entries(const DEVICE_RELATIONS* list) {
  std::vector<PDEVICE_OBJECT> out;
  for (ULONG i = 0; i < list->Count; ++i) out.push_back(list->Objects[i]);
  return out;
}

// Takes a list out of a completed request as the Plug and Play manager does:
// reads it, frees it and drops the reference of every entry.
inline std::vector<PDEVICE_OBJECT> TakeList(ULONG_PTR information) {
  auto* list = reinterpret_cast<PDEVICE_RELATIONS>(information);
  std::vector<PDEVICE_OBJECT> entries = Entries(list);
  ExFreePoolWithTag(list, 0);
  for (PDEVICE_OBJECT device : entries) ObfDereferenceObject(device);
  return entries;
}

inline const khost::PoolBlock* FindBlock(const std::vector<khost::PoolBlock>& pool, const void* address) {
  for (const khost::PoolBlock& block : pool)
    if (block.address == address) return &block;
  return nullptr;
}
inline bool IsPool(const void* address) { return FindBlock(khost::OutstandingPool(), address) != nullptr; }

inline size_t PoolTagged(ULONG tag) {
  size_t n = 0;
  for (const khost::PoolBlock& block : khost::OutstandingPool())
    if (block.tag == tag) ++n;
  return n;
}

// Holds, once, the thread that armed itself when it reaches a named point of
// the host ("create-device", "remove-lock-acquire"); every other thread passes.
class HoldPoint {
 public:
  explicit HoldPoint(const char* point) {
    khost::SetHook(point, [this] {
      if (!Armed()) return;
      Armed() = false;
      std::unique_lock<std::mutex> lock(mutex_);
      held_ = true;
      changed_.notify_all();
      changed_.wait(lock, [this] { return released_; });
    });
  }
  ~HoldPoint() {
    Release();
    khost::ClearHooks();
  }
  // Called on the thread to hold, before it sends its request.
  static void Arm() { Armed() = true; }
  bool WaitUntilHeld(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return held_; });
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
  }

 private:
  static bool& Armed() {
    static thread_local bool armed = false;
    return armed;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
};

// Joins a thread on every way out of a test, so a failed assertion cannot
// leave it running; `hold`, if given, is released first.
class Joined {
 public:
  explicit Joined(std::thread thread, HoldPoint* hold = nullptr) : thread_(std::move(thread)), hold_(hold) {}
  ~Joined() { Join(); }
  void Join() {
    if (hold_) hold_->Release();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::thread thread_;
  HoldPoint* hold_;
};

// Reads a field another thread writes, without tearing it.
inline ULONG LoadState(const PNP_STATE& state) {
  return __atomic_load_n(reinterpret_cast<const ULONG*>(&state), __ATOMIC_ACQUIRE);
}

class BusTest : public KernelTest {
 protected:
  // Boots the bus on a root node answering as `config` says: loads the
  // passthrough driver for the children's compatible ID, adds the node and,
  // with `start`, starts it and opens the service's handle.
  void Boot(const khost::RootPdoConfig& config = khost::RootPdoConfig(), bool start = true) {
    function_ = khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
    khost::Pnp().RegisterFunctionDriver(kCompatibleId, function_);
    bus_ = std::make_unique<velmora_test::BusHarness>(config, false);
    node_ = khost::Pnp().AddRootDevice("ROOT\\SYSTEM\\VELMORA", bus_->Driver(), config, start);
    ASSERT_NE(node_, nullptr);
    fdo_ = node_->pdo->AttachedDevice;
    ASSERT_NE(fdo_, nullptr) << "AddDevice attached nothing";
    if (!start) return;
    ASSERT_EQ(Bus()->Header.PnpState, StateStarted);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    service_ = bus_->Open(&status);
    ASSERT_EQ(status, STATUS_SUCCESS) << "the service could not open the bus";
  }

  PBUS_EXTENSION Bus() const { return static_cast<PBUS_EXTENSION>(fdo_->DeviceExtension); }
  khost::Process& Service() { return bus_->Service(); }
  void CloseService() {
    if (service_) Service().Close(service_);
    service_ = nullptr;
  }

  NTSTATUS PlugIn(ULONG serial, const std::vector<std::u16string>& ids = {kNetId}) {
    return bus_->PlugIn(service_, serial, ids);
  }
  NTSTATUS PlugInRecord(const std::vector<uint8_t>& record, ULONG_PTR* information = nullptr) {
    return bus_->Control(service_, IOCTL_NETBUS_PLUG_IN, record.data(), static_cast<ULONG>(record.size()),
                         nullptr, 0, information);
  }
  NTSTATUS Unplug(ULONG serial) { return bus_->Unplug(service_, serial); }
  int Enumerate() { return khost::Pnp().ProcessInvalidations(); }

  // A control request a kernel component sends straight to the bus device,
  // with the input in a system buffer and Information preset to `information`.
  khost::RequestResult KernelControl(ULONG code, std::vector<uint8_t> input = {},
                                     UCHAR major = IRP_MJ_DEVICE_CONTROL,
                                     ULONG_PTR information = kInformationSentinel, PDEVICE_OBJECT to = nullptr) {
    std::vector<uint8_t> system = input;
    system.resize(std::max<size_t>(system.size(), 64), 0xCD);
    return khost::SendIrp(
        to ? to : fdo_, major, 0,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
          irp->AssociatedIrp.SystemBuffer = system.data();
          irp->IoStatus.Information = information;
          stack->Parameters.DeviceIoControl.IoControlCode = code;
          stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
          stack->Parameters.DeviceIoControl.OutputBufferLength = 0;
        },
        STATUS_SUCCESS, KernelMode);
  }

  // A relations query sent to the top of the bus's stack with what a driver
  // above left in it: `incoming` (owned by the request from here on) and the
  // status that driver set.
  khost::RequestResult QueryRelations(DEVICE_RELATION_TYPE type, PDEVICE_RELATIONS incoming = nullptr) {
    return khost::SendIrp(
        node_->pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
          stack->Parameters.QueryDeviceRelations.Type = type;
          irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(incoming);
        },
        incoming ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
  }

  // Device objects of some other driver, for entries a filter above reports.
  PDEVICE_OBJECT OtherDevice() {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(function_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    others_.push_back(device);
    return device;
  }

  // The child on the bus's list carrying `serial` (the first, if several), or null.
  PCHILD_EXTENSION Child(ULONG serial) const {
    for (PCHILD_EXTENSION child : Children())
      if (child->SerialNo == serial) return child;
    return nullptr;
  }
  std::vector<PCHILD_EXTENSION> Children() const {
    std::vector<PCHILD_EXTENSION> children;
    PBUS_EXTENSION bus = Bus();
    for (PLIST_ENTRY e = bus->ChildList.Flink; e != &bus->ChildList; e = e->Flink)
      children.push_back(CONTAINING_RECORD(e, CHILD_EXTENSION, Link));
    return children;
  }
  std::vector<ULONG> Serials() const {
    std::vector<ULONG> serials;
    for (PCHILD_EXTENSION child : Children()) serials.push_back(child->SerialNo);
    return serials;
  }
  // Device nodes of the bus's children that the manager still holds.
  std::vector<khost::DevNode*> ChildNodes() const { return node_ ? node_->children : std::vector<khost::DevNode*>{}; }
  khost::DevNode* ChildNode(PCHILD_EXTENSION child) const {
    for (khost::DevNode* n : ChildNodes())
      if (n->pdo == child->Header.Self) return n;
    return nullptr;
  }
  bool NodeInTree() const {
    for (khost::DevNode* n : khost::Pnp().Root()->children)
      if (n == node_) return true;
    return false;
  }
  // The bus node went away during the test (the manager deleted it).
  void NodeRemoved() { node_ = nullptr; }

  void EndScenario() override {
    if (bus_) {
      // Closes the service's handles before the bus goes.
      Service().~Process();
      new (&Service()) khost::Process("service");
      service_ = nullptr;
      if (node_ && NodeInTree()) {
        khost::Pnp().ProcessInvalidations();
        khost::Pnp().Remove(node_);
      }
      khost::Pnp().ProcessInvalidations();
      node_ = nullptr;
      bus_->Unload();
      bus_.reset();
    }
    for (PDEVICE_OBJECT device : others_) IoDeleteDevice(device);
    others_.clear();
    if (function_) khost::UnloadDriver(function_);
    function_ = nullptr;
    TraceMask = 0;
  }

  std::unique_ptr<velmora_test::BusHarness> bus_;
  khost::DevNode* node_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PDRIVER_OBJECT function_ = nullptr;
  HANDLE service_ = nullptr;
  std::vector<PDEVICE_OBJECT> others_;
};

}  // namespace bus_test
