// Test support for the message channel: a recording child driver's side of
// the callback link, the callback exchange as a kernel-mode requester sends
// it, control requests whose every reply byte a test can see, and a fixture
// with the bus started and one child running a function driver.
#pragma once

#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "bus_harness.h"
#include "kernel_test.h"

namespace velmora_test {

// NETBUS_MESSAGE bytes: header, then the payload (Length defaults to its size).
std::vector<uint8_t> MessageRecord(uint8_t tag, uint8_t msgId, const std::vector<uint8_t>& payload);
std::vector<uint8_t> MessageRecord(uint8_t tag, uint8_t msgId, ULONG length, const std::vector<uint8_t>& payload);
// A payload of `length` bytes that never contains the host's poison pattern.
std::vector<uint8_t> Payload(size_t length, uint8_t seed = 1);

// The input of IOCTL_NETBUS_EXCHANGE_CALLBACK: 16 bytes, the pointer at 8.
std::vector<uint8_t> ExchangeInput(PCALLBACK_EXCHANGE exchange);

// A control request from a kernel-mode caller (or `mode`), sent to the top of
// `device`'s stack with a system buffer of max(input, output) bytes holding
// the input and then the poison pattern. The whole buffer comes back, so a
// test sees what the driver wrote whatever the status.
struct KernelReply {
  NTSTATUS status = 0;
  ULONG_PTR information = 0;
  std::vector<uint8_t> buffer;
};
KernelReply KernelControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                          ULONG outputLength, KPROCESSOR_MODE mode = KernelMode, bool internal = true);

// A child driver's side of the link that records every call the bus makes
// into it. Register it with an exchange through a child's stack.
class LinkRecorder {
 public:
  struct Call {
    std::vector<uint8_t> bytes;  // header and Length payload bytes
    PVOID context;
  };

  LinkRecorder();
  PCALLBACK_EXCHANGE Exchange() { return &exchange_; }
  PVOID Context() { return this; }
  std::vector<Call> Calls();
  size_t CallCount();
  size_t CountOf(uint8_t msgId);
  void Clear();

  // The child driver's calls into the bus, through what the exchange gave it.
  NTSTATUS Send(const std::vector<uint8_t>& record);
  NTSTATUS Push(const std::vector<uint8_t>& payload);  // MSG_SEND_DATA
  NTSTATUS Unregister();                                // MSG_UNREGISTER

  static NTSTATUS Callback(PNETBUS_MESSAGE message, PVOID context);

 private:
  CALLBACK_EXCHANGE exchange_{};
  std::mutex lock_;
  std::vector<Call> calls_;
};

// The bus started, the service's handle open, and one child (serial 1)
// enumerated and started with the passthrough function driver on it.
class ChannelTest : public KernelTest {
 protected:
  void SetUp() override;
  void EndScenario() override;

  PBUS_EXTENSION Bus() { return bus_->Bus(); }
  khost::Process& Service() { return bus_->Service(); }
  PDEVICE_OBJECT ChildPdo() { return childPdo_; }

  // Kernel-mode exchange through the child's stack.
  khost::RequestResult Exchange(LinkRecorder& recorder, ULONG outputLength = 0);
  khost::RequestResult ExchangeRaw(const std::vector<uint8_t>& input, ULONG outputLength = 0,
                                   KPROCESSOR_MODE mode = KernelMode);
  // The service's requests.
  NTSTATUS Put(const std::vector<uint8_t>& record, ULONG_PTR* information = nullptr);
  NTSTATUS PassEvent(HANDLE event);
  NTSTATUS PassEventRaw(const void* input, ULONG length);
  NTSTATUS DeleteEvent();
  // A fetch with a poisoned system buffer of `outputLength` bytes; `reply` gets
  // what the service receives (Information bytes, if the status is not an error).
  NTSTATUS Fetch(ULONG outputLength, std::vector<uint8_t>* reply, ULONG_PTR* information = nullptr);

  std::unique_ptr<BusHarness> bus_;
  PDRIVER_OBJECT function_ = nullptr;
  HANDLE control_ = nullptr;
  PDEVICE_OBJECT childPdo_ = nullptr;
};

}  // namespace velmora_test
