// Shared by the child tests: a started bus with the passthrough function
// driver registered for the children's compatible ID, the service's open
// handle, and small readers for what the Plug and Play manager got back.
#pragma once

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus_harness.h"
#include "kernel_test.h"
#include "passthrough_driver.h"

namespace child_test {

inline const std::u16string kCompatibleId =
    u"{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice";
inline const std::u16string kNetId = u"VELMORA\\NET";

// The bytes of a wide string as it lies in memory, nulls included.
inline std::vector<uint8_t> Bytes(const std::u16string& text) {
  std::vector<uint8_t> bytes(text.size() * 2);
  if (!text.empty()) std::memcpy(bytes.data(), text.data(), bytes.size());
  return bytes;
}

// `text` followed by zero bytes up to `blockBytes`.
inline std::vector<uint8_t> ZeroPadded(const std::u16string& text, size_t blockBytes) {
  std::vector<uint8_t> bytes = Bytes(text);
  bytes.resize(blockBytes, 0);
  return bytes;
}

inline std::string Hex(const std::vector<uint8_t>& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
    out.push_back(' ');
  }
  return out;
}

// An answer buffer handed back in a request, read whole from its pool block.
struct PoolAnswer {
  bool fromPool = false;
  size_t bytes = 0;
  ULONG tag = 0;
  POOL_TYPE type = NonPagedPool;
  std::vector<uint8_t> content;
};

// Reads the pool block at `information` and frees it, as the Plug and Play
// manager does with an answer it has taken.
inline PoolAnswer TakePoolAnswer(ULONG_PTR information) {
  PoolAnswer answer;
  for (const khost::PoolBlock& block : khost::OutstandingPool()) {
    if (block.address != reinterpret_cast<const void*>(information)) continue;
    answer.fromPool = true;
    answer.bytes = block.bytes;
    answer.tag = block.tag;
    answer.type = block.type;
    const uint8_t* first = static_cast<const uint8_t*>(block.address);
    answer.content.assign(first, first + block.bytes);
    ExFreePoolWithTag(reinterpret_cast<PVOID>(information), 0);
    break;
  }
  return answer;
}

inline size_t CountLines(const std::vector<std::string>& lines, const std::string& line) {
  size_t n = 0;
  for (const std::string& l : lines)
    if (l == line) ++n;
  return n;
}

class ChildTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    TraceMask = 0x111;
  }

  // Boots the bus on a root node answering as `config` says, registers the
  // passthrough driver for the compatible ID (unless `withFunctionDriver` is
  // false: children then stay enumerated, with nothing above them) and opens
  // the service's handle.
  void Boot(const khost::RootPdoConfig& config = khost::RootPdoConfig(), bool withFunctionDriver = true) {
    if (withFunctionDriver) function_ = khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
    bus_ = std::make_unique<velmora_test::BusHarness>(config);
    ASSERT_NE(bus_->Fdo(), nullptr) << "the bus did not start";
    if (function_) khost::Pnp().RegisterFunctionDriver(kCompatibleId, function_);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    service_ = bus_->Open(&status);
    ASSERT_EQ(status, STATUS_SUCCESS) << "the service could not open the bus";
  }

  // Plugs a child in and lets the Plug and Play manager run what that caused.
  NTSTATUS PlugIn(ULONG serial, const std::vector<std::u16string>& ids = {kNetId}) {
    NTSTATUS status = bus_->PlugIn(service_, serial, ids);
    bus_->Enumerate();
    return status;
  }
  // A plug-in record with an explicit multi-string (for IDs JoinMultiSz cannot build).
  NTSTATUS PlugInRaw(ULONG serial, const std::u16string& multi) {
    std::vector<uint8_t> record(BUS_PLUGIN_REQUEST_HEADER_SIZE + multi.size() * 2);
    ULONG size = static_cast<ULONG>(record.size());
    ULONG type = FILE_DEVICE_BUS_EXTENDER;
    std::memcpy(&record[0], &size, 4);
    std::memcpy(&record[4], &type, 4);
    std::memcpy(&record[8], &serial, 4);
    std::memcpy(&record[12], multi.data(), multi.size() * 2);
    NTSTATUS status = bus_->Control(service_, IOCTL_NETBUS_PLUG_IN, record.data(), size);
    bus_->Enumerate();
    return status;
  }
  NTSTATUS Unplug(ULONG serial, bool enumerate = true) {
    NTSTATUS status = bus_->Unplug(service_, serial);
    if (enumerate) bus_->Enumerate();
    return status;
  }

  khost::DevNode* Node(ULONG serial) const { return bus_->ChildNode(serial); }
  static PCHILD_EXTENSION Ext(PDEVICE_OBJECT pdo) { return static_cast<PCHILD_EXTENSION>(pdo->DeviceExtension); }
  // The child on the bus's list carrying `serial`, or null.
  PCHILD_EXTENSION Listed(ULONG serial) const {
    for (PCHILD_EXTENSION child : bus_->Children())
      if (child->SerialNo == serial) return child;
    return nullptr;
  }

  void EndScenario() override {
    if (bus_) {
      bus_->Teardown();
      bus_.reset();
    }
    if (function_) khost::UnloadDriver(function_);
    function_ = nullptr;
    TraceMask = 0;
  }

  std::unique_ptr<velmora_test::BusHarness> bus_;
  PDRIVER_OBJECT function_ = nullptr;
  HANDLE service_ = nullptr;
};

}  // namespace child_test
