// Shared by the bus tests: the bus booted in the kernel host with a passthrough
// function driver for its children, the service's handle, requests a kernel
// component or a driver above sends straight to the bus, and a thread that can
// be held at a point inside the host.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <future>
#include <memory>
#include <thread>
#include <utility>

#include "bus_harness.h"
#include "kernel_test.h"
#include "passthrough_driver.h"

using khost::Pnp;

constexpr ULONG_PTR kStale = 0x5A5A1234u;  // Information a sender left in a request
inline const std::u16string kNetId = u"VELMORA\\NET";

#define BUS_IN_BOTH_REMOVAL_ORDERS(fixture)                                                        \
  INSTANTIATE_TEST_SUITE_P(                                                                        \
      Orders, fixture, ::testing::Values(khost::RemovalStyle::Windows, khost::RemovalStyle::Wine), \
      [](const auto& info) { return info.param == khost::RemovalStyle::Wine ? "Wine" : "Windows"; })

inline std::u16string Ids(const std::vector<std::u16string>& ids) { return khost::JoinMultiSz(ids); }
inline std::vector<uint8_t> PlugInBytes(ULONG serial, const std::u16string& multi) {
  return velmora_test::PlugInRecordOf(serial, multi);
}

// A relations list in paged pool as a driver above leaves it: one reference per entry.
inline PDEVICE_RELATIONS MakeList(const std::vector<PDEVICE_OBJECT>& devices) {
  khost::FaultExemption driverAbovesOwn;
  auto* list = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
      PagedPool, sizeof(DEVICE_RELATIONS) + devices.size() * sizeof(PDEVICE_OBJECT), 0x4C697374u));
  list->Count = static_cast<ULONG>(devices.size());
  for (size_t i = 0; i < devices.size(); ++i) ObfReferenceObject(list->Objects[i] = devices[i]);
  return list;
}
// Takes a list out of a completed request as the manager does: frees it, drops its references.
inline std::vector<PDEVICE_OBJECT> TakeList(ULONG_PTR list) {
  if (!list) {
    ADD_FAILURE() << "the answer carries no relations list";
    return {};
  }
  auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(list);
  std::vector<PDEVICE_OBJECT> entries(relations->Objects, relations->Objects + relations->Count);
  ExFreePoolWithTag(reinterpret_cast<void*>(list), 0);
  for (PDEVICE_OBJECT device : entries) ObfDereferenceObject(device);
  return entries;
}
inline khost::PoolBlock Block(ULONG_PTR address) { return velmora_test::PoolBlockAt(reinterpret_cast<void*>(address)); }

// A thread running `body`, held the first time it reaches `point` of the host
// ("create-device", "remove-lock-acquire") until released; joined on every way out.
class HeldThread {
 public:
  HeldThread(const char* point, std::function<void()> body) {
    khost::SetHook(point, [this] {
      if (std::this_thread::get_id() != owner_ || std::exchange(reached_, true)) return;
      held_.set_value();
      released_.wait();
    });
    thread_ = std::thread([this, body] { owner_ = std::this_thread::get_id(), body(); });
  }
  ~HeldThread() { Join(), khost::ClearHooks(); }
  bool WaitUntilHeld() { return heldFuture_.wait_for(std::chrono::seconds(10)) == std::future_status::ready; }
  void Join() {  // releases the thread first
    if (!std::exchange(releaseSent_, true)) release_.set_value();
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<std::thread::id> owner_{std::thread::id()};
  bool reached_ = false, releaseSent_ = false;
  std::promise<void> held_, release_;
  std::future<void> heldFuture_ = held_.get_future();
  std::shared_future<void> released_ = release_.get_future().share();
  std::thread thread_;
};

class BusTest : public KernelTest {
 protected:
  // Boots the bus on a root node and, with `start`, starts it and opens the service's handle.
  void Boot(bool start = true) {
    function_ = velmora_test::LoadChildDriver(Passthrough_DriverEntry, u"passthrough");
    bus_ = std::make_unique<velmora_test::BusHarness>(khost::RootPdoConfig(), start);
    node_ = bus_->Node();
    ASSERT_NE(fdo_ = bus_->Fdo(), nullptr) << "AddDevice attached nothing";
    ASSERT_TRUE(!start || (service_ = bus_->Open())) << "the service could not open the bus";
  }
  PBUS_EXTENSION Bus() const { return static_cast<PBUS_EXTENSION>(fdo_->DeviceExtension); }
  void CloseService() {
    if (service_) bus_->Service().Close(std::exchange(service_, nullptr));
  }
  NTSTATUS PlugIn(ULONG serial, const std::vector<std::u16string>& ids = {kNetId}) {
    return bus_->PlugIn(service_, serial, ids);
  }
  NTSTATUS PlugInRecord(const std::vector<uint8_t>& record, ULONG_PTR* information = nullptr) {
    return bus_->Control(service_, IOCTL_NETBUS_PLUG_IN, record.data(), static_cast<ULONG>(record.size()), nullptr, 0,
                         information);
  }
  NTSTATUS Unplug(ULONG serial) { return bus_->Unplug(service_, serial); }
  int Enumerate() { return Pnp().ProcessInvalidations(); }
  static size_t Pending() { return Pnp().PendingInvalidations(); }
  static uint64_t Creates() { return khost::CallCount(khost::FaultPoint::CreateDevice); }
  static bool Traced(const std::string& line) {
    const std::vector<std::string> lines = khost::TraceLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }

  // A control request a kernel component sends straight to the bus device.
  khost::RequestResult KernelControl(ULONG code, std::vector<uint8_t> input, UCHAR major = IRP_MJ_DEVICE_CONTROL) {
    std::vector<uint8_t> system = input;
    system.resize(std::max<size_t>(input.size(), 64), 0xCD);
    return khost::SendIrp(
        fdo_, major, 0,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
          irp->AssociatedIrp.SystemBuffer = system.data();
          irp->IoStatus.Information = kStale;
          stack->Parameters.DeviceIoControl.IoControlCode = code;
          stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
        },
        STATUS_SUCCESS);
  }
  // A bus-relations query reaching the bus with what a driver above left in it:
  // `incoming` (owned by the request from here on) and the status it set.
  khost::RequestResult QueryRelations(PDEVICE_RELATIONS incoming = nullptr) {
    return khost::SendIrp(
        node_->pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
          stack->Parameters.QueryDeviceRelations.Type = BusRelations;
          irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(incoming);
        },
        incoming ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED);
  }

  // A child's device object, referenced so it can be looked at after it is gone.
  PDEVICE_OBJECT Keep(ULONG serial) {
    ObfReferenceObject(Child(serial)->Header.Self);
    return kept_.emplace_back(Child(serial)->Header.Self);
  }
  static PCHILD_EXTENSION Ext(PDEVICE_OBJECT pdo) { return velmora_test::ChildExtension(pdo); }
  std::vector<PCHILD_EXTENSION> Children() const { return bus_->Children(); }
  PCHILD_EXTENSION Child(ULONG serial) const { return bus_->Listed(serial); }
  const std::vector<khost::DevNode*>& ChildNodes() const { return node_->children; }
  khost::DevNode* ChildNode(ULONG serial) const { return Pnp().FindByPdo(Child(serial)->Header.Self); }

  void EndScenario() override {
    if (bus_) bus_->Teardown();  // the service's handles closed first
    bus_.reset();
    for (PDEVICE_OBJECT pdo : kept_) ObfDereferenceObject(pdo);
    if (function_) khost::UnloadDriver(function_);
    TraceMask = 0;
  }

  std::unique_ptr<velmora_test::BusHarness> bus_;
  khost::DevNode* node_ = nullptr;  // null once the manager removed the bus
  PDEVICE_OBJECT fdo_ = nullptr;
  PDRIVER_OBJECT function_ = nullptr;
  HANDLE service_ = nullptr;
  std::vector<PDEVICE_OBJECT> kept_;
};
