#include "rig.h"

#include <cstdlib>
#include <cstring>

#include "channel_support.h"
#include "passthrough_driver.h"

namespace velmora_bench {

BootedBus::BootedBus() {
  khost::Reset();
  function_ = velmora_test::LoadChildDriver(Passthrough_DriverEntry);
  bus_ = std::make_unique<velmora_test::BusHarness>();
  service_ = bus_->Open();
}

BootedBus::~BootedBus() { Finish(); }

NTSTATUS BootedBus::PlugIn(ULONG serial) { return bus_->PlugIn(service_, serial, {u"VELMORA\\NET"}); }
NTSTATUS BootedBus::Unplug(ULONG serial) { return bus_->Unplug(service_, serial); }

size_t BootedBus::StartedChildren() const {
  size_t started = 0;
  for (khost::DevNode* node : bus_->ChildNodes()) started += node->state == khost::DevNodeState::Started;
  return started;
}

size_t BootedBus::PoolBytes() {
  size_t bytes = 0;
  for (const khost::PoolBlock& block : khost::OutstandingPool()) bytes += block.bytes;
  return bytes;
}

std::string BootedBus::Finish() {
  if (finished_) return "";
  finished_ = true;
  bus_->Teardown();
  bus_.reset();
  khost::UnloadDriver(function_);
  const std::string leaks = khost::CheckLeaks();
  std::vector<khost::Violation> violations = khost::TakeViolations();
  khost::Reset();
  return violations.empty() ? "" : khost::DescribeViolations(violations) + leaks;
}

RelayRig::RelayRig(size_t payload)
    : record_(velmora_test::MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, velmora_test::Payload(payload))),
      // Id 1 is one the bus hands to the child driver.
      put_(velmora_test::MessageRecord(NETBUS_MSG_TAG, 1, velmora_test::Payload(payload, 2))),
      reply_(payload + VELMORA_GET_MSG_OVERHEAD) {
  if (!service_) {
    error_ = "the service could not open the bus";
    return;
  }
  if (PlugIn(1) != STATUS_SUCCESS || (Enumerate(), StartedChildren() != 1)) {
    error_ = "child 1 did not start";
    return;
  }
  PDEVICE_OBJECT child = Harness().ChildNode(1)->pdo;
  if (velmora_test::KernelControl(child, IOCTL_NETBUS_EXCHANGE_CALLBACK, velmora_test::ExchangeInput(&exchange_), 0)
          .status != STATUS_SUCCESS) {
    error_ = "the callback exchange failed";
    return;
  }
  event_ = Service().CreateEvent(false, false);
  const int32_t value = static_cast<int32_t>(reinterpret_cast<intptr_t>(event_));
  if (Harness().Control(service_, IOCTL_CORVANE_PASS_EVENT, &value, sizeof(value)) != STATUS_SUCCESS)
    error_ = "the service's event was refused";
}

bool RelayRig::Fetch() {
  ULONG_PTR returned = 0;
  const NTSTATUS status = Harness().Control(service_, IOCTL_CORVANE_GET_MSG, nullptr, 0, reply_.data(),
                                            static_cast<ULONG>(reply_.size()), &returned);
  return status == STATUS_SUCCESS && returned == reply_.size();
}

bool RelayRig::HostAlone() {
  return Harness().Control(service_, kUnknownCode, nullptr, 0, reply_.data(), static_cast<ULONG>(reply_.size())) ==
         STATUS_NOT_SUPPORTED;
}

bool RelayRig::Put() {
  return Harness().Control(service_, IOCTL_CORVANE_PUT_MSG, put_.data(), static_cast<ULONG>(put_.size())) ==
         STATUS_SUCCESS;
}

NTSTATUS RelayRig::ChildCallback(PNETBUS_MESSAGE, PVOID context) {
  static_cast<RelayRig*>(context)->received_.fetch_add(1, std::memory_order_relaxed);
  return STATUS_SUCCESS;
}

Floor::Floor(size_t payload) : payload_(velmora_test::Payload(payload)), system_(payload), user_(payload) {}

// Out of line and through memory the compiler cannot see through, so each
// step is really done once per call.
__attribute__((noinline)) uint8_t Floor::Relay() {
  const size_t length = payload_.size();
  auto* entry = static_cast<uint8_t*>(std::malloc(length));
  std::memcpy(entry, payload_.data(), length);
  while (lock_.exchange(true, std::memory_order_acquire)) {
  }
  queued_ = entry;
  lock_.store(false, std::memory_order_release);
  while (lock_.exchange(true, std::memory_order_acquire)) {
  }
  auto* taken = static_cast<uint8_t*>(std::exchange(queued_, nullptr));
  lock_.store(false, std::memory_order_release);
  asm volatile("" : : "r"(taken) : "memory");
  std::memcpy(system_.data(), taken, length);
  std::free(taken);
  std::memcpy(user_.data(), system_.data(), length);
  asm volatile("" : : : "memory");
  return user_[length - 1];
}

}  // namespace velmora_bench
