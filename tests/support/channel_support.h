// Test support for the message channel: a recording child driver's side of
// the callback link, control requests whose every reply byte a test can see,
// and a fixture with the bus started and one child running a function driver.
#pragma once

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include "bus_harness.h"
#include "kernel_test.h"
#include "passthrough_driver.h"

namespace velmora_test {

// NETBUS_MESSAGE bytes: header, then the payload; Length is the payload's size unless given.
inline std::vector<uint8_t> MessageRecord(uint8_t tag, uint8_t msgId, const std::vector<uint8_t>& payload,
                                          int64_t length = -1) {
  // Sized once and filled in place: GCC 12 misreads an inlined insert into a short vector as out of bounds.
  std::vector<uint8_t> record(8 + payload.size(), 0);
  record[0] = tag;
  record[1] = msgId;
  const ULONG value = static_cast<ULONG>(length < 0 ? int64_t(payload.size()) : length);
  std::memcpy(&record[4], &value, sizeof(value));
  std::copy(payload.begin(), payload.end(), record.begin() + 8);
  return record;
}

// `length` bytes that never contain the host's poison pattern.
inline std::vector<uint8_t> Payload(size_t length, uint8_t seed = 1) {
  std::vector<uint8_t> payload(length);
  for (size_t i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(0x10 + (seed * 7 + i) % 0x60);
  return payload;
}

// What a fetch delivering `payload` answers: the record and three zero bytes.
inline std::vector<uint8_t> DeliveredReply(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> reply = MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, payload);
  reply.resize(reply.size() + 3, 0);
  return reply;
}

// The input of IOCTL_NETBUS_EXCHANGE_CALLBACK: 16 bytes, the pointer at 8 (the bus ignores the rest).
inline std::vector<uint8_t> ExchangeInput(PCALLBACK_EXCHANGE exchange) {
  const CALLBACK_EXCHANGE_REQUEST request{0x5A5A5A5A5A5A5A5Aull, exchange};
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&request);
  return std::vector<uint8_t>(bytes, bytes + sizeof(request));
}

// A child driver's call into the bus through what an exchange handed it. The
// bus may read the record in place, so it gets these bytes and no more.
inline NTSTATUS CallBus(const CALLBACK_EXCHANGE& exchange, std::vector<uint8_t> record) {
  return exchange.BusCallback(reinterpret_cast<PNETBUS_MESSAGE>(record.data()), exchange.BusContext);
}

// A control request from `mode` to the top of `device`'s stack, with a system
// buffer of max(input, output) bytes: the input, then the poison pattern. The
// whole buffer comes back, so a test sees what the driver wrote. A kernel-mode
// sender may send the internal request (the default); a user-mode one only
// the ordinary one.
struct KernelReply { NTSTATUS status; ULONG_PTR information; std::vector<uint8_t> buffer; };
inline KernelReply KernelControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                                 ULONG outputLength, KPROCESSOR_MODE mode = KernelMode, bool internal = true) {
  KernelReply reply{0, 0, input};
  for (size_t i = input.size(); i < outputLength; ++i) reply.buffer.push_back(khost::PoisonByte(i));
  khost::RequestResult result = khost::SendIrp(
      device, internal && mode == KernelMode ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, 0,
      [&](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->AssociatedIrp.SystemBuffer = reply.buffer.empty() ? nullptr : reply.buffer.data();
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
      },
      STATUS_SUCCESS, mode);
  reply.status = result.status;
  reply.information = result.information;
  return reply;
}

// A child driver's side of the link that records every call the bus makes into it.
class LinkRecorder {
 public:
  struct Call { std::vector<uint8_t> bytes; PVOID context; };  // bytes: header and Length payload bytes
  PCALLBACK_EXCHANGE Exchange() { return &exchange_; }
  std::vector<Call> Calls() { std::lock_guard<std::mutex> hold(lock_); return calls_; }
  size_t CountOf(uint8_t msgId) {
    std::lock_guard<std::mutex> hold(lock_);
    return std::count_if(calls_.begin(), calls_.end(), [&](const Call& call) { return call.bytes[1] == msgId; });
  }
  NTSTATUS Send(const std::vector<uint8_t>& record) { return CallBus(exchange_, record); }
  NTSTATUS Push(const std::vector<uint8_t>& bytes) { return Send(MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, bytes)); }
  NTSTATUS Unregister() { return Send(MessageRecord(NETBUS_MSG_TAG, MSG_UNREGISTER, {})); }

 private:
  static NTSTATUS Callback(PNETBUS_MESSAGE message, PVOID context) {
    LinkRecorder* self = static_cast<LinkRecorder*>(context);
    const uint8_t* first = reinterpret_cast<const uint8_t*>(message);
    std::lock_guard<std::mutex> hold(self->lock_);
    self->calls_.push_back({{first, first + VELMORA_MSG_HEADER_SIZE + message->Length}, context});
    return STATUS_SUCCESS;
  }
  CALLBACK_EXCHANGE exchange_{nullptr, nullptr, &Callback, this};
  std::mutex lock_;
  std::vector<Call> calls_;
};

// The bus started, the service's handle open, and one child (serial 1) started
// with `entry` as its function driver.
class ChannelTest : public KernelTest {
 protected:
  explicit ChannelTest(DRIVER_INITIALIZE* entry = Passthrough_DriverEntry) : entry_(entry) {}
  void SetUp() override {
    KernelTest::SetUp();
    function_ = LoadChildDriver(entry_);
    bus_ = std::make_unique<BusHarness>();
    control_ = bus_->Open();
    ASSERT_EQ(bus_->PlugIn(control_, 1, {u"VELMORA\\BTNET"}), STATUS_SUCCESS);
    bus_->Enumerate();
    ASSERT_TRUE(bus_->ChildNode(1) && bus_->ChildNode(1)->state == khost::DevNodeState::Started);
    childPdo_ = bus_->ChildNode(1)->pdo;
  }
  void EndScenario() override {
    if (bus_) bus_->Teardown();
    bus_.reset();
    if (function_) khost::UnloadDriver(function_);
  }

  PBUS_EXTENSION Bus() { return bus_->Bus(); }
  khost::Process& Service() { return bus_->Service(); }
  // An exchange through the child's stack.
  KernelReply Exchange(PCALLBACK_EXCHANGE exchange, ULONG outputLength = 0, KPROCESSOR_MODE mode = KernelMode) {
    return KernelControl(childPdo_, IOCTL_NETBUS_EXCHANGE_CALLBACK, ExchangeInput(exchange), outputLength, mode);
  }
  // recorder_ linked and event_ installed.
  void Link() {
    ASSERT_EQ(Exchange(recorder_.Exchange()).status, STATUS_SUCCESS);
    event_ = Service().CreateEvent(false, false);
    ASSERT_EQ(PassEvent(event_), STATUS_SUCCESS);
  }
  NTSTATUS Put(const std::vector<uint8_t>& record) {
    return bus_->Control(control_, IOCTL_CORVANE_PUT_MSG, record.data(), static_cast<ULONG>(record.size()));
  }
  // The handle's 32-bit value, then 0xFF bytes up to `length`, from the service or a kernel-mode caller.
  NTSTATUS PassEvent(HANDLE event, ULONG length = 4, KPROCESSOR_MODE mode = UserMode) {
    std::vector<uint8_t> input(length, 0xFF);
    const int32_t value = static_cast<int32_t>(reinterpret_cast<intptr_t>(event));
    std::memcpy(input.data(), &value, std::min<size_t>(length, sizeof(value)));
    if (mode == KernelMode) return KernelControl(bus_->Fdo(), IOCTL_CORVANE_PASS_EVENT, input, 0, mode, false).status;
    return bus_->Control(control_, IOCTL_CORVANE_PASS_EVENT, input.data(), length);
  }
  NTSTATUS DeleteEvent() { return bus_->Control(control_, IOCTL_CORVANE_DELETE_EVENT, nullptr, 0); }
  // The service's fetch; `reply` gets the Information bytes unless the status is an error.
  NTSTATUS Fetch(ULONG outputLength, std::vector<uint8_t>* reply = nullptr) {
    std::vector<uint8_t> out(outputLength);
    ULONG_PTR returned = 0;
    NTSTATUS status = bus_->Control(control_, IOCTL_CORVANE_GET_MSG, nullptr, 0, out.data(), outputLength, &returned);
    out.resize(NT_ERROR(status) ? 0 : std::min<ULONG_PTR>(returned, outputLength));
    if (reply) *reply = out;
    return status;
  }
  // Fetches until the empty reply; how many records came.
  size_t FetchAll() {
    size_t delivered = 0;
    for (std::vector<uint8_t> reply; Fetch(64, &reply) == STATUS_SUCCESS && reply != std::vector<uint8_t>(12, 0);)
      ++delivered;
    return delivered;
  }
  void Push(size_t count, size_t length = 4) {
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(recorder_.Push(Payload(length, uint8_t(i))), STATUS_SUCCESS);
  }
  bool EventSet(HANDLE event) { return Service().WaitEvent(event, std::chrono::milliseconds(0)); }

  DRIVER_INITIALIZE* entry_;
  std::unique_ptr<BusHarness> bus_;
  PDRIVER_OBJECT function_ = nullptr;
  HANDLE control_ = nullptr;
  PDEVICE_OBJECT childPdo_ = nullptr;
  LinkRecorder recorder_;
  HANDLE event_ = nullptr;
};

}  // namespace velmora_test
