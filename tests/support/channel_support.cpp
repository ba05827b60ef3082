#include "channel_support.h"

#include "passthrough_driver.h"

namespace velmora_test {

namespace {
const char16_t kCompatibleId[] = u"{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice";
}

std::vector<uint8_t> MessageRecord(uint8_t tag, uint8_t msgId, const std::vector<uint8_t>& payload) {
  return MessageRecord(tag, msgId, static_cast<ULONG>(payload.size()), payload);
}

std::vector<uint8_t> MessageRecord(uint8_t tag, uint8_t msgId, ULONG length, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> record(VELMORA_MSG_HEADER_SIZE + payload.size(), 0);
  record[0] = tag;
  record[1] = msgId;
  std::memcpy(&record[4], &length, sizeof(length));
  if (!payload.empty()) std::memcpy(&record[8], payload.data(), payload.size());
  return record;
}

std::vector<uint8_t> Payload(size_t length, uint8_t seed) {
  std::vector<uint8_t> payload(length);
  for (size_t i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(0x10 + (seed * 7 + i) % 0x60);
  return payload;
}

std::vector<uint8_t> ExchangeInput(PCALLBACK_EXCHANGE exchange) {
  CALLBACK_EXCHANGE_REQUEST request{};
  request.Reserved = 0x5A5A5A5A5A5A5A5Aull;  // not read by the bus
  request.Exchange = exchange;
  std::vector<uint8_t> input(sizeof(request));
  std::memcpy(input.data(), &request, sizeof(request));
  return input;
}

KernelReply KernelControl(PDEVICE_OBJECT device, ULONG code, const std::vector<uint8_t>& input,
                          ULONG outputLength, KPROCESSOR_MODE mode, bool internal) {
  KernelReply reply;
  size_t bytes = std::max<size_t>(input.size(), outputLength);
  reply.buffer.resize(bytes);
  for (size_t i = 0; i < bytes; ++i) reply.buffer[i] = khost::PoisonByte(i);
  if (!input.empty()) std::memcpy(reply.buffer.data(), input.data(), input.size());
  khost::RequestResult result = khost::SendIrp(
      device, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, 0,
      [&](PIRP irp, PIO_STACK_LOCATION stack) {
        irp->AssociatedIrp.SystemBuffer = bytes ? reply.buffer.data() : nullptr;
        stack->Parameters.DeviceIoControl.IoControlCode = code;
        stack->Parameters.DeviceIoControl.InputBufferLength = static_cast<ULONG>(input.size());
        stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
      },
      STATUS_SUCCESS, mode);
  reply.status = result.status;
  reply.information = result.information;
  return reply;
}

LinkRecorder::LinkRecorder() {
  exchange_.ChildCallback = &LinkRecorder::Callback;
  exchange_.ChildContext = this;
}

std::vector<LinkRecorder::Call> LinkRecorder::Calls() {
  std::lock_guard<std::mutex> hold(lock_);
  return calls_;
}

size_t LinkRecorder::CallCount() {
  std::lock_guard<std::mutex> hold(lock_);
  return calls_.size();
}

size_t LinkRecorder::CountOf(uint8_t msgId) {
  std::lock_guard<std::mutex> hold(lock_);
  size_t count = 0;
  for (const Call& call : calls_) count += call.bytes.size() > 1 && call.bytes[1] == msgId;
  return count;
}

void LinkRecorder::Clear() {
  std::lock_guard<std::mutex> hold(lock_);
  calls_.clear();
}

NTSTATUS LinkRecorder::Send(const std::vector<uint8_t>& record) {
  // The bus reads the record in place; give it the bytes and nothing more.
  std::vector<uint8_t> copy(record);
  return exchange_.BusCallback(reinterpret_cast<PNETBUS_MESSAGE>(copy.data()), exchange_.BusContext);
}

NTSTATUS LinkRecorder::Push(const std::vector<uint8_t>& payload) {
  return Send(MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, payload));
}

NTSTATUS LinkRecorder::Unregister() { return Send(MessageRecord(NETBUS_MSG_TAG, MSG_UNREGISTER, {})); }

NTSTATUS LinkRecorder::Callback(PNETBUS_MESSAGE message, PVOID context) {
  LinkRecorder* self = static_cast<LinkRecorder*>(context);
  const uint8_t* first = reinterpret_cast<const uint8_t*>(message);
  Call call{std::vector<uint8_t>(first, first + VELMORA_MSG_HEADER_SIZE + message->Length), context};
  std::lock_guard<std::mutex> hold(self->lock_);
  self->calls_.push_back(std::move(call));
  return STATUS_SUCCESS;
}

void ChannelTest::SetUp() {
  KernelTest::SetUp();
  function_ = khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
  khost::Pnp().RegisterFunctionDriver(kCompatibleId, function_);
  bus_ = std::make_unique<BusHarness>();
  ASSERT_NE(bus_->Fdo(), nullptr);
  NTSTATUS status;
  control_ = bus_->Open(&status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  ASSERT_EQ(bus_->PlugIn(control_, 1, {u"VELMORA\\BTNET"}), STATUS_SUCCESS);
  bus_->Enumerate();
  ASSERT_EQ(bus_->ChildNodes().size(), 1u);
  ASSERT_EQ(bus_->ChildNodes()[0]->state, khost::DevNodeState::Started);
  childPdo_ = bus_->ChildNodes()[0]->pdo;
}

void ChannelTest::EndScenario() {
  if (bus_) bus_->Teardown();
  bus_.reset();
  if (function_) khost::UnloadDriver(function_);
  function_ = nullptr;
}

khost::RequestResult ChannelTest::Exchange(LinkRecorder& recorder, ULONG outputLength) {
  return ExchangeRaw(ExchangeInput(recorder.Exchange()), outputLength);
}

khost::RequestResult ChannelTest::ExchangeRaw(const std::vector<uint8_t>& input, ULONG outputLength,
                                              KPROCESSOR_MODE mode) {
  KernelReply reply = KernelControl(childPdo_, IOCTL_NETBUS_EXCHANGE_CALLBACK, input, outputLength, mode);
  khost::RequestResult result;
  result.status = reply.status;
  result.information = reply.information;
  return result;
}

NTSTATUS ChannelTest::Put(const std::vector<uint8_t>& record, ULONG_PTR* information) {
  return bus_->Control(control_, IOCTL_CORVANE_PUT_MSG, record.data(), static_cast<ULONG>(record.size()),
                       nullptr, 0, information);
}

NTSTATUS ChannelTest::PassEvent(HANDLE event) {
  // The service passes the handle's 32-bit value.
  int32_t value = static_cast<int32_t>(reinterpret_cast<intptr_t>(event));
  return PassEventRaw(&value, sizeof(value));
}

NTSTATUS ChannelTest::PassEventRaw(const void* input, ULONG length) {
  return bus_->Control(control_, IOCTL_CORVANE_PASS_EVENT, input, length);
}

NTSTATUS ChannelTest::DeleteEvent() { return bus_->Control(control_, IOCTL_CORVANE_DELETE_EVENT, nullptr, 0); }

NTSTATUS ChannelTest::Fetch(ULONG outputLength, std::vector<uint8_t>* reply, ULONG_PTR* information) {
  std::vector<uint8_t> out(outputLength, 0xA5);
  ULONG_PTR returned = 0;
  NTSTATUS status = bus_->Control(control_, IOCTL_CORVANE_GET_MSG, nullptr, 0, out.empty() ? nullptr : out.data(),
                                  outputLength, &returned);
  if (information) *information = returned;
  if (reply) {
    reply->clear();
    if (!NT_ERROR(status)) reply->assign(out.begin(), out.begin() + std::min<ULONG_PTR>(returned, outputLength));
  }
  return status;
}

}  // namespace velmora_test
