// Test support for the client library: the bus in the kernel host with the
// sample child driver on its children (the passthrough driver on VELMORA\LINK
// children, whose callback link link_ holds), and clients of its service process.
#pragma once

#include <mutex>
#include <thread>

#include "../windows/installer/velmora_install.h"
#include "channel_support.h"
#include "childdrv.h"
#include "passthrough_driver.h"
#include "velmora_client.h"
#include "velmora_client_host.h"

extern "C" DRIVER_INITIALIZE ChildDrv_DriverEntry;

namespace service_test {

using velmora::Result;
namespace status = velmora::status;

inline std::vector<uint8_t> Bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }
inline std::vector<std::string> Numbered(const std::string& prefix, int count) {
  std::vector<std::string> texts;
  for (int i = 0; i < count; ++i) texts.push_back(prefix + std::to_string(i));
  return texts;
}
inline bool WaitUntil(const std::function<bool()>& done) {  // for up to half a minute
  for (int i = 0; i < 15000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(2));
  return done();
}

// What a receive loop (or a fetcher) delivered: pass std::ref(inbox) as the record and the error handler.
struct Inbox {
  std::mutex lock;
  std::vector<std::string> texts;
  std::vector<Result> errors;
  void operator()(const velmora::Record& r) {
    std::lock_guard<std::mutex> hold(lock);
    texts.emplace_back(r.payload.begin(), r.payload.end());
  }
  void operator()(const Result& r) { std::lock_guard<std::mutex> hold(lock); errors.push_back(r); }
  size_t Count() { std::lock_guard<std::mutex> hold(lock); return texts.size(); }
};

class ServiceTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    sample_ = velmora_test::LoadChildDriver(ChildDrv_DriverEntry, u"velmorachild");  // as its INF installs it
    passthrough_ = khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
    bus_ = std::make_unique<velmora_test::BusHarness>();
    ASSERT_TRUE(sample_ && passthrough_ && bus_->Fdo()) << "the bus or a child driver did not load";
    khost::Pnp().RegisterFunctionDriver(u"VELMORA\\LINK", passthrough_);
  }
  void EndScenario() override {
    khost::Pnp().StopWorker();
    if (bus_) bus_->Teardown();
    for (PDRIVER_OBJECT driver : {sample_, passthrough_})
      if (driver) khost::UnloadDriver(driver);
  }

  std::unique_ptr<velmora::Client> NewClient(velmora::ClientOptions options = {}) {
    return std::make_unique<velmora::Client>(velmora::MakeHostTransport(bus_->Service()), options);
  }
  // Opened and the event passed, as a service starts.
  std::unique_ptr<velmora::Client> Connected(velmora::ClientOptions options = {}) {
    auto client = NewClient(options);
    EXPECT_TRUE(client->Open().ok() && client->PassEvent().ok());
    return client;
  }
  // A request the driver (or the system) answered with exactly `expected`.
  static void Expect(const Result& r, velmora::NtStatus expected) {
    EXPECT_TRUE(r.status == expected && r.sent) << velmora::DescribeStatus(expected) << " expected: " << r.Message();
  }
  // Plugs a child in and lets the Plug and Play manager start it.
  khost::DevNode* PlugAndStart(velmora::Client& client, uint32_t serial, const std::string& id = "VELMORA\\NET") {
    EXPECT_TRUE(client.PlugIn(serial, std::vector<std::string>{id}).ok());
    bus_->Enumerate();
    khost::DevNode* node = bus_->ChildNode(serial);
    EXPECT_TRUE(node && node->state == khost::DevNodeState::Started) << "child " << serial << " did not start";
    return node;
  }
  // Child 1 on the passthrough driver, link_ exchanged through its stack as its driver would.
  void Link(velmora::Client& client) {
    khost::DevNode* child = PlugAndStart(client, 1, "VELMORA\\LINK");
    ASSERT_NE(child, nullptr);
    const auto input = velmora_test::ExchangeInput(link_.Exchange());
    ASSERT_EQ(velmora_test::KernelControl(child->pdo, IOCTL_NETBUS_EXCHANGE_CALLBACK, input, 0).status, STATUS_SUCCESS);
  }
  // A child driver pushing records up, as it does at DISPATCH_LEVEL.
  void Push(const std::vector<std::string>& texts) {
    khost::RunAtIrql(DISPATCH_LEVEL, [&] {
      for (const std::string& text : texts) EXPECT_EQ(link_.Push(Bytes(text)), STATUS_SUCCESS);
    });
  }

  std::unique_ptr<velmora_test::BusHarness> bus_;
  PDRIVER_OBJECT sample_ = nullptr, passthrough_ = nullptr;
  velmora_test::LinkRecorder link_;
};

}  // namespace service_test
