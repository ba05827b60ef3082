// What every fuzz target shares: how a finding ends the run, so that libFuzzer
// keeps the input that caused it, the bus booted and torn down, and a child
// driver's side of the link.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "bus_harness.h"
#include "khost.h"
#include "passthrough_driver.h"
#include "velmora.h"

namespace velmora_fuzz {

[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz: %s\n", what.c_str());
  std::fflush(stderr);
  std::abort();
}

inline void RequireSilentVerifier(const char* when) {
  std::vector<khost::Violation> violations = khost::TakeViolations();
  if (!violations.empty())
    Fail(std::string("the verifier reported ") + when + ":\n" + khost::DescribeViolations(violations));
}

// A message record: the header with `msgId` and a Length of `length`, then that many `fill` bytes.
inline std::vector<uint8_t> Message(uint8_t msgId, uint32_t length, uint8_t fill) {
  std::vector<uint8_t> record(VELMORA_MSG_HEADER_SIZE + length, fill);
  record[0] = NETBUS_MSG_TAG;
  record[1] = msgId;
  std::memcpy(&record[4], &length, sizeof(length));
  return record;
}

// A child driver's side of the link. It reads every byte a record's Length
// claims, so a record handed down longer than its buffer is an ASan report.
struct ChildSide {
  static NTSTATUS Callback(PNETBUS_MESSAGE message, PVOID context) {
    ChildSide* self = static_cast<ChildSide*>(context);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(message);
    for (size_t i = 0; i < VELMORA_MSG_HEADER_SIZE + size_t(message->Length); ++i) self->checksum ^= bytes[i];
    ++self->calls;
    return STATUS_SUCCESS;
  }
  // Calls the bus as a child driver does; only an exchange hands it the bus's callback.
  void CallBus(std::vector<uint8_t>& record) {
    if (exchange.BusCallback)
      exchange.BusCallback(reinterpret_cast<PNETBUS_MESSAGE>(record.data()), exchange.BusContext);
  }
  void Forget() { exchange.BusCallback = nullptr, exchange.BusContext = nullptr; }
  CALLBACK_EXCHANGE exchange{nullptr, nullptr, &Callback, this};
  uint64_t calls = 0;
  uint8_t checksum = 0;
};

// The bus started in a fresh host with the passthrough driver for its
// children, the service's handle open and an event of the service's made.
class BootedBus {
 protected:
  void Boot() {
    khost::Reset();
    function_ = velmora_test::LoadChildDriver(Passthrough_DriverEntry);
    bus_ = std::make_unique<velmora_test::BusHarness>();
    if (!bus_->Fdo()) Fail("the bus did not start");
    control_ = bus_->Open();
    userEvent_ = bus_->Service().CreateEvent(false, false);
  }
  // The bus removed and the driver unloaded, with nothing left behind.
  void Shutdown() {
    khost::ClearFaults();
    bus_->Teardown();
    bus_.reset();
    khost::UnloadDriver(function_);
    std::string left = khost::CheckLeaks();
    RequireSilentVerifier(("at teardown (" + left + ")").c_str());
    khost::Reset();
  }

  PDRIVER_OBJECT function_ = nullptr;
  std::unique_ptr<velmora_test::BusHarness> bus_;
  HANDLE control_ = nullptr;
  HANDLE userEvent_ = nullptr;
};

}  // namespace velmora_fuzz
