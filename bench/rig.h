// Benchmark rig: the bus booted in the kernel host the way the tests boot it,
// with the ways a record travels that the benchmarks time and callgrind
// counts. Shared by the Google Benchmark suite and the instruction counter,
// so both measure exactly the same requests.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bus_harness.h"
#include "khost.h"
#include "velmora.h"

namespace velmora_bench {

// A control code of the service's device type that the bus has no handler
// for: the same buffered request as a fetch, answered STATUS_NOT_SUPPORTED.
// What it costs is the host's request path alone.
constexpr ULONG kUnknownCode = VELMORA_CTL(0x22u, 0x9FFu);

// Fresh host, the bus started on its root node with the tests' passthrough
// function driver registered for the children, the service's handle open.
class BootedBus {
 public:
  BootedBus();
  ~BootedBus();
  BootedBus(const BootedBus&) = delete;
  BootedBus& operator=(const BootedBus&) = delete;

  velmora_test::BusHarness& Harness() { return *bus_; }
  NTSTATUS PlugIn(ULONG serial);
  NTSTATUS Unplug(ULONG serial);  // 0: every child
  int Enumerate() { return bus_->Enumerate(); }
  size_t StartedChildren() const;
  // Pool bytes and blocks the host accounts as outstanding.
  static size_t PoolBytes();

  // Removes the bus, unloads the drivers, checks for leaks. Empty when the
  // verifier saw nothing, else what it reported: a benchmark of a broken
  // path measures nothing.
  std::string Finish();

 protected:
  HANDLE service_ = nullptr;

 private:
  PDRIVER_OBJECT function_ = nullptr;
  std::unique_ptr<velmora_test::BusHarness> bus_;
  bool finished_ = false;
};

// A booted bus with child 1 started and its function driver linked with the
// bus through a callback exchange, and the service's event passed. The
// child driver's callback only counts what it receives.
class RelayRig : public BootedBus {
 public:
  // Records pushed, put and fetched all carry `payload` bytes.
  explicit RelayRig(size_t payload);
  // The bus may call the child driver while it goes: gone before the callback's owner.
  ~RelayRig() { Finish(); }
  bool Ready() const { return error_.empty(); }
  const std::string& Error() const { return error_; }

  // One record of the rig's payload, pushed by the child driver.
  NTSTATUS Push() {
    return exchange_.BusCallback(reinterpret_cast<PNETBUS_MESSAGE>(record_.data()), exchange_.BusContext);
  }
  // The service's fetch with a buffer the record fits exactly; false unless
  // a record of the rig's payload came.
  bool Fetch();
  // The same request with the unknown code.
  bool HostAlone();
  // The service puts one record down; the child driver's callback receives it.
  bool Put();
  uint64_t Received() const { return received_.load(std::memory_order_relaxed); }
  HANDLE Event() const { return event_; }
  khost::Process& Service() { return Harness().Service(); }
  HANDLE ServiceHandle() const { return service_; }
  const CALLBACK_EXCHANGE& Exchange() const { return exchange_; }

 private:
  static NTSTATUS ChildCallback(PNETBUS_MESSAGE message, PVOID context);

  std::string error_;
  CALLBACK_EXCHANGE exchange_{nullptr, nullptr, &ChildCallback, this};
  std::atomic<uint64_t> received_{0};
  HANDLE event_ = nullptr;
  std::vector<uint8_t> record_;  // MSG_SEND_DATA with the payload, as pushed
  std::vector<uint8_t> put_;     // the record the service puts down
  std::vector<uint8_t> reply_;   // the fetch buffer: payload + reply overhead
};

// The floor of one relayed record on this machine: what any relay must do at
// the least. A pool block for the record, the payload copied into it (the
// push), into the system buffer (the fetch) and out to the caller's buffer
// (the I/O manager's completion), the block freed, and a spin-lock pair for
// each of the queue's insertion and removal. Plain malloc and an atomic flag
// stand in for pool and spin lock: the cheapest each can be.
class Floor {
 public:
  explicit Floor(size_t payload);
  // One record's worth; returns a byte of the result so nothing is elided.
  uint8_t Relay();

 private:
  std::vector<uint8_t> payload_, system_, user_;
  std::atomic<bool> lock_{false};
  void* queued_ = nullptr;
};

}  // namespace velmora_bench
