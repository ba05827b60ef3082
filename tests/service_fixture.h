// Test support for the client library: the bus booted in the kernel host with
// a function driver on its children, clients that talk to it as the service
// process does, and a child-driver stand-in that pushes records up through the
// bus's callback.
#pragma once

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bus_harness.h"
#include "childdrv.h"
#include "kernel_test.h"
#include "passthrough_driver.h"
#include "velmora_client.h"
#include "velmora_client_host.h"

extern "C" DRIVER_INITIALIZE ChildDrv_DriverEntry;

namespace service_test {

inline const std::u16string kCompatibleId = u"{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice";

inline std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

// A transport that counts the requests that reach the host, so a test can
// tell a refusal by the client from one by the driver.
class CountingTransport final : public velmora::Transport {
 public:
  CountingTransport(std::unique_ptr<velmora::Transport> inner, std::atomic<int>* controls)
      : inner_(std::move(inner)), controls_(controls) {}
  velmora::NtStatus Open() override { return inner_->Open(); }
  void Close() override { inner_->Close(); }
  velmora::NtStatus Control(uint32_t code, const void* in, uint32_t inLength, void* out, uint32_t outLength,
                            uint64_t* information) override {
    controls_->fetch_add(1);
    return inner_->Control(code, in, inLength, out, outLength, information);
  }
  velmora::NtStatus NewEvent(int32_t* handle) override { return inner_->NewEvent(handle); }
  void CloseEvent() override { inner_->CloseEvent(); }
  WaitOutcome WaitEvent(std::chrono::milliseconds timeout) override { return inner_->WaitEvent(timeout); }
  void SignalEvent() override { inner_->SignalEvent(); }
  std::string Describe() const override { return inner_->Describe(); }

 private:
  std::unique_ptr<velmora::Transport> inner_;
  std::atomic<int>* controls_;
};

// Stands in for a child's function driver on the bus's callback link: it
// exchanges callbacks through a child's device stack as a kernel-mode caller,
// pushes MSG_SEND_DATA records through the bus's callback and keeps what the
// bus hands down to it.
class ChildLink {
 public:
  struct Down {
    uint8_t tag;
    uint8_t msgId;
    std::vector<uint8_t> payload;
  };

  NTSTATUS Exchange(khost::DevNode* child) {
    CALLBACK_EXCHANGE_REQUEST request{};
    request.Exchange = &exchange_;
    exchange_.ChildCallback = &ChildLink::Callback;
    exchange_.ChildContext = this;
    khost::RequestResult result = khost::SendIrp(
        child->pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
        [&](PIRP irp, PIO_STACK_LOCATION stack) {
          irp->AssociatedIrp.SystemBuffer = &request;
          stack->Parameters.DeviceIoControl.IoControlCode = IOCTL_NETBUS_EXCHANGE_CALLBACK;
          stack->Parameters.DeviceIoControl.InputBufferLength = sizeof(request);
          stack->Parameters.DeviceIoControl.OutputBufferLength = sizeof(request);
        },
        STATUS_SUCCESS, KernelMode);
    return result.status;
  }

  // MSG_SEND_DATA with `payload`, from a thread at `irql`, as the child
  // driver pushes data.
  NTSTATUS Push(const std::vector<uint8_t>& payload, KIRQL irql = DISPATCH_LEVEL) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    khost::RunAtIrql(irql, [&] { status = PushHere(payload); });
    return status;
  }
  // The same on the calling thread, whatever its IRQL.
  NTSTATUS PushHere(const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> message(VELMORA_MSG_HEADER_SIZE + payload.size() + 1, 0);
    message[1] = MSG_SEND_DATA;
    const uint32_t length = static_cast<uint32_t>(payload.size());
    std::memcpy(&message[4], &length, 4);
    if (!payload.empty()) std::memcpy(&message[8], payload.data(), payload.size());
    return exchange_.BusCallback(reinterpret_cast<PNETBUS_MESSAGE>(message.data()), exchange_.BusContext);
  }

  // Echo every record put down, as the sample child driver does.
  void EchoPuts(bool echo) { echo_ = echo; }

  std::vector<Down> Received() {
    std::lock_guard<std::mutex> hold(lock_);
    return received_;
  }
  int Drained() const { return drained_.load(); }

 private:
  static NTSTATUS Callback(PNETBUS_MESSAGE message, PVOID context) {
    ChildLink* self = static_cast<ChildLink*>(context);
    if (message->Tag == 0 && message->MsgId == MSG_QUEUE_DRAINED) {
      self->drained_.fetch_add(1);
      return STATUS_SUCCESS;
    }
    Down down{message->Tag, message->MsgId, std::vector<uint8_t>(message->Payload, message->Payload + message->Length)};
    {
      std::lock_guard<std::mutex> hold(self->lock_);
      self->received_.push_back(down);
    }
    if (self->echo_) return self->PushHere(down.payload);
    return STATUS_SUCCESS;
  }

  CALLBACK_EXCHANGE exchange_{};
  std::mutex lock_;
  std::vector<Down> received_;
  std::atomic<int> drained_{0};
  std::atomic<bool> echo_{false};
};

// The bus with a function driver for its children: the sample child driver
// (which echoes what is put down) or the passthrough driver with a ChildLink
// the test drives itself.
class ServiceTest : public KernelTest {
 protected:
  enum class ChildDriver { Sample, Passthrough };

  void Boot(ChildDriver which) {
    function_ = which == ChildDriver::Sample ? khost::LoadDriver(u"velmorachild", ChildDrv_DriverEntry)
                                             : khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
    ASSERT_NE(function_, nullptr);
    bus_ = std::make_unique<velmora_test::BusHarness>();
    ASSERT_NE(bus_->Fdo(), nullptr) << "the bus did not start";
    khost::Pnp().RegisterFunctionDriver(kCompatibleId, function_);
  }

  // A client of the harness's service process; `controls` counts its requests.
  std::unique_ptr<velmora::Client> NewClient(velmora::ClientOptions options = {}) {
    return std::make_unique<velmora::Client>(
        std::make_unique<CountingTransport>(velmora::MakeHostTransport(bus_->Service()), &controls_), options);
  }

  // Open and pass the event, as a service starts.
  std::unique_ptr<velmora::Client> Connected(velmora::ClientOptions options = {}) {
    auto client = NewClient(options);
    velmora::Result opened = client->Open();
    EXPECT_TRUE(opened.ok()) << opened.Message();
    velmora::Result passed = client->PassEvent();
    EXPECT_TRUE(passed.ok()) << passed.Message();
    return client;
  }

  // Plugs a child in through `client` and lets the Plug and Play manager start it.
  khost::DevNode* PlugAndStart(velmora::Client& client, uint32_t serial, const std::string& id = "VELMORA\\NET") {
    velmora::Result r = client.PlugIn(serial, std::vector<std::string>{id});
    EXPECT_TRUE(r.ok()) << r.Message();
    bus_->Enumerate();
    khost::DevNode* node = bus_->ChildNode(serial);
    EXPECT_NE(node, nullptr) << "child " << serial << " was not enumerated";
    if (node) {
      EXPECT_EQ(node->state, khost::DevNodeState::Started) << khost::DevNodeStateName(node->state);
    }
    return node;
  }

  // The sample child driver's extension on a child, or null.
  PCHILDDRV_EXTENSION SampleOn(khost::DevNode* child) {
    for (PDEVICE_OBJECT d = child->pdo->AttachedDevice; d; d = d->AttachedDevice)
      if (d->DriverObject == function_) return static_cast<PCHILDDRV_EXTENSION>(d->DeviceExtension);
    return nullptr;
  }

  void EndScenario() override {
    clients_.clear();
    khost::Pnp().StopWorker();
    if (bus_) bus_->Teardown();
    bus_.reset();
    if (function_) khost::UnloadDriver(function_);
    function_ = nullptr;
  }

  std::unique_ptr<velmora_test::BusHarness> bus_;
  PDRIVER_OBJECT function_ = nullptr;
  std::atomic<int> controls_{0};
  std::vector<std::unique_ptr<velmora::Client>> clients_;  // closed before the bus goes
};

}  // namespace service_test
