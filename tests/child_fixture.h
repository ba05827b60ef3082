// Shared by the child tests: a bus with the passthrough function driver
// registered for the children's compatible ID, child 7 started on it, and
// readers for what the Plug and Play manager got back.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

#include "bus_harness.h"
#include "kernel_test.h"
#include "passthrough_driver.h"

namespace child_test {

using khost::RequestResult;
inline const std::u16string kCompatibleId = velmora_test::kChildCompatibleId;
constexpr NTSTATUS kDeviceNotReady = static_cast<NTSTATUS>(0xC00000A3L);
// A success of another kind, as a driver above may leave one: a driver that
// fails a request completes it instead of passing it down.
constexpr NTSTATUS kOtherSuccess = static_cast<NTSTATUS>(0x40000000L);

// Bytes as hex, so that a mismatch shows where; a wide text is padded with zeros to `blockBytes`.
inline std::string Hex(const void* p, size_t n) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (const uint8_t* b = static_cast<const uint8_t*>(p); n--; ++b) out += {digits[*b >> 4], digits[*b & 15], ' '};
  return out;
}
inline std::string Hex(const std::vector<uint8_t>& bytes) { return Hex(bytes.data(), bytes.size()); }
inline std::string Padded(const std::u16string& text, size_t blockBytes = 0) {
  std::vector<uint8_t> bytes(std::max(text.size() * 2, blockBytes), 0);
  std::memcpy(bytes.data(), text.data(), text.size() * 2);
  return Hex(bytes);
}

// The pool block an answer was handed back in, read whole and freed as the manager does.
inline std::vector<uint8_t> TakePoolAnswer(ULONG_PTR information) {
  const khost::PoolBlock block = velmora_test::PoolBlockAt(reinterpret_cast<const void*>(information));
  if (!block.address) return {};
  const uint8_t* first = static_cast<const uint8_t*>(block.address);
  std::vector<uint8_t> content(first, first + block.bytes);
  ExFreePoolWithTag(reinterpret_cast<PVOID>(information), 0);
  return content;
}

// What a request came back with, status and information, to compare in one go.
inline std::pair<NTSTATUS, ULONG_PTR> Outcome(const RequestResult& r) { return {r.status, r.information}; }
inline std::pair<NTSTATUS, ULONG_PTR> Outcome(NTSTATUS status, ULONG_PTR information) { return {status, information}; }

inline size_t CountLines(const std::string& line) {
  std::vector<std::string> lines = khost::TraceLines();
  return std::count(lines.begin(), lines.end(), line);
}

class ChildTest : public KernelTest {
 protected:
  // Loads the passthrough driver, boots the bus on a node answering as `config` says, opens the service's
  // handle and starts child 7 with hardware IDs `ids`; node_, pdo_ and child_ are that child's.
  void StartSeven(const khost::RootPdoConfig& config = {}, const std::vector<std::u16string>& ids = {u"VELMORA\\NET"}) {
    TraceMask = 0x111;
    function_ = velmora_test::LoadChildDriver(Passthrough_DriverEntry, u"passthrough");
    bus_ = std::make_unique<velmora_test::BusHarness>(config);
    service_ = bus_->Open();
    ASSERT_EQ(PlugIn(7, ids), STATUS_SUCCESS);
    ASSERT_NE(node_ = Node(7), nullptr) << khost::Pnp().Describe();
    child_ = Ext(pdo_ = node_->pdo);
    ASSERT_EQ(child_->Header.PnpState, StateStarted);
  }
  // Plugs a child in and lets the manager run what that caused.
  NTSTATUS PlugIn(ULONG serial, const std::vector<std::u16string>& ids = {u"VELMORA\\NET"}) {
    NTSTATUS status = bus_->PlugIn(service_, serial, ids);
    bus_->Enumerate();
    return status;
  }
  // A Plug and Play request as the manager sends it, with the status and information it arrives with.
  static RequestResult Send(khost::DevNode* node, UCHAR minor, std::function<void(PIO_STACK_LOCATION)> more = nullptr,
                            NTSTATUS arriving = STATUS_NOT_SUPPORTED, ULONG_PTR information = 0) {
    return khost::Pnp().Send(node, minor, [&](PIRP irp, PIO_STACK_LOCATION stack) {
      irp->IoStatus.Status = arriving;
      irp->IoStatus.Information = information;
      if (more) more(stack);
    });
  }
  khost::DevNode* Node(ULONG serial) const { return bus_->ChildNode(serial); }
  static PCHILD_EXTENSION Ext(PDEVICE_OBJECT pdo) { return velmora_test::ChildExtension(pdo); }
  PCHILD_EXTENSION Listed(ULONG serial) const { return bus_->Listed(serial); }
  void EndScenario() override {
    if (bus_) bus_->Teardown();
    bus_.reset();
    if (function_) khost::UnloadDriver(function_);
    TraceMask = 0;
  }

  std::unique_ptr<velmora_test::BusHarness> bus_;
  PDRIVER_OBJECT function_ = nullptr;
  HANDLE service_ = nullptr;
  khost::DevNode* node_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PCHILD_EXTENSION child_ = nullptr;
};

}  // namespace child_test
