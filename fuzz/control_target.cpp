// One control code of the bus, fuzzed. The input picks the state the bus is
// brought to first, who sends the request and how, and the request's bytes
// and lengths; every input must leave the verifier silent and the bus as it
// found it. Built once per code with VELMORA_FUZZ_CODE set to it.
//
// Input layout (missing bytes read as zero):
//   [0]    sender: bit 0 kernel mode (else the service process),
//          bit 1 IRP_MJ_INTERNAL_DEVICE_CONTROL (kernel mode only),
//          bit 2 to a child's stack instead of the bus (kernel mode only;
//          bits 4-5 pick the child, serial one more than their value),
//          bit 3 a real object where the input holds a pointer or a handle
//   [1]    bus state: bit 0 children plugged in and started, bit 1 a child
//          driver linked, bit 2 the service's event passed, bit 3 records
//          queued, bit 4 child 1 unplugged but not yet enumerated away,
//          bit 5 the driver's trace on (every DbgPrint format runs)
//   [2]    children (low 2 bits, plus one) and queued records (high 6 bits)
//   [3]    size of each queued record
//   [4..5] input length, [6..7] output length (little-endian)
//   [8..]  input bytes; a shorter tail is padded with zeros
#include "fuzz_support.h"

#ifndef VELMORA_FUZZ_CODE
#error "VELMORA_FUZZ_CODE names the control code this target sends"
#endif

namespace {

// A fresh host every so many inputs: removed device nodes and history pile up
// in the managers, and a full teardown is where leaks show.
constexpr unsigned kInputsPerBoot = 1000;

enum Sender : uint8_t { kKernel = 1, kInternal = 2, kToChild = 4, kRealObject = 8 };
enum State : uint8_t { kChildren = 1, kLinked = 2, kEvent = 4, kQueued = 8, kUnplugged = 16, kTrace = 32 };

using velmora_fuzz::ChildSide;
using velmora_fuzz::Fail;
using velmora_fuzz::RequireSilentVerifier;

struct Baseline {
  size_t pool = 0;
  khost::ObjectSummary objects;
};

class World : velmora_fuzz::BootedBus {
 public:
  World() { Boot(); }

  void Boot() {
    BootedBus::Boot();
    kernelEvent_ = khost::CreateKernelEvent();
    RequireSilentVerifier("while booting");
    baseline_ = Measure();
  }

  void Shutdown() {
    khost::CloseKernelHandle(kernelEvent_);
    BootedBus::Shutdown();
  }

  void Run(const uint8_t* data, size_t size) {
    uint8_t header[8] = {};
    std::memcpy(header, data, size < sizeof(header) ? size : sizeof(header));
    const uint8_t sender = header[0], state = header[1];
    const unsigned children = 1 + (header[2] & 3), records = header[2] >> 2, recordSize = header[3];
    const ULONG inLength = header[4] | (header[5] << 8);
    const ULONG outLength = header[6] | (header[7] << 8);
    std::vector<uint8_t> input(inLength, 0);
    if (size > sizeof(header) && inLength > 0)
      std::memcpy(input.data(), data + sizeof(header), std::min<size_t>(size - sizeof(header), inLength));

    TraceMask = (state & kTrace) ? TRACE_ENTRY_BIT | TRACE_EXIT_BIT | TRACE_DETAIL_BIT : 0;
    Arrange(state, children, records, recordSize);
    Send(sender, state, input, outLength);
    khost::Pnp().ProcessInvalidations();  // what the bus asked of the manager, with its answers checked
    RequireSilentVerifier("for this input");
    Restore();
    RequireSilentVerifier("while restoring the bus");
    TraceMask = 0;
    khost::TakeTraceLines();

    const Baseline now = Measure();
    if (now.pool != baseline_.pool || now.objects.liveObjects != baseline_.objects.liveObjects ||
        now.objects.liveDevices != baseline_.objects.liveDevices || now.objects.liveIrps != baseline_.objects.liveIrps ||
        now.objects.namespaceEntries != baseline_.objects.namespaceEntries)
      Fail("the bus did not return to its state: pool " + std::to_string(baseline_.pool) + " -> " +
           std::to_string(now.pool) + ", objects " + std::to_string(baseline_.objects.liveObjects) + " -> " +
           std::to_string(now.objects.liveObjects) + ", devices " + std::to_string(baseline_.objects.liveDevices) +
           " -> " + std::to_string(now.objects.liveDevices));
    if (++inputs_ % kInputsPerBoot == 0) {
      Shutdown();
      Boot();
    }
  }

 private:
  static Baseline Measure() { return {khost::OutstandingPool().size(), khost::Objects()}; }

  khost::RequestResult Kernel(PDEVICE_OBJECT device, ULONG code, const void* in, ULONG inLength, void* out = nullptr,
                              ULONG outLength = 0, bool internal = true) {
    return khost::SendKernelControl(device, code, in, inLength, out, outLength, internal);
  }

  void Link(PCALLBACK_EXCHANGE exchange, PDEVICE_OBJECT through) {
    const CALLBACK_EXCHANGE_REQUEST request{0, exchange};
    Kernel(through, IOCTL_NETBUS_EXCHANGE_CALLBACK, &request, sizeof(request));
  }

  // Pushes through the link the way a child driver does; only a linked bus
  // has handed out its callback.
  void Push(unsigned count, unsigned size) {
    std::vector<uint8_t> record = velmora_fuzz::Message(MSG_SEND_DATA, size, 0);
    for (unsigned i = 0; i < count; ++i) {
      for (unsigned b = 0; b < size; ++b) record[VELMORA_MSG_HEADER_SIZE + b] = uint8_t(i + b);
      linked_.CallBus(record);
    }
  }

  void Arrange(uint8_t state, unsigned children, unsigned records, unsigned recordSize) {
    if (state & kChildren) {
      for (ULONG serial = 1; serial <= children; ++serial) bus_->PlugIn(control_, serial, {u"VELMORA\\BTNET"});
      bus_->Enumerate();
    }
    if (state & kEvent) {
      const int32_t value = static_cast<int32_t>(reinterpret_cast<intptr_t>(userEvent_));
      bus_->Control(control_, IOCTL_CORVANE_PASS_EVENT, &value, sizeof(value));
    }
    if (state & (kLinked | kQueued)) {
      khost::DevNode* child = bus_->ChildNode(1);
      Link(&linked_.exchange, child ? child->pdo : bus_->Fdo());
      if ((state & kQueued) && linked_.exchange.BusCallback) Push(records, recordSize);
    }
    if (state & kUnplugged) {
      std::vector<uint8_t> record = velmora_test::UnplugRecord(1);
      bus_->Control(control_, IOCTL_NETBUS_PLUG_OUT, record.data(), ULONG(record.size()));
    }
  }

  void Send(uint8_t sender, uint8_t state, std::vector<uint8_t>& input, ULONG outLength) {
    const ULONG code = VELMORA_FUZZ_CODE;
    const bool kernel = sender & kKernel;
    // A kernel-mode caller is trusted with the pointers it hands over: the
    // exchange's pointer is a real record or null, never fuzzed bytes.
    if (code == IOCTL_NETBUS_EXCHANGE_CALLBACK && kernel && input.size() >= sizeof(CALLBACK_EXCHANGE_REQUEST)) {
      PCALLBACK_EXCHANGE exchange = (sender & kRealObject) ? &other_.exchange : nullptr;
      std::memcpy(&input[8], &exchange, sizeof(exchange));
    }
    if (code == IOCTL_CORVANE_PASS_EVENT && (sender & kRealObject) && input.size() >= 4) {
      const int32_t value = static_cast<int32_t>(reinterpret_cast<intptr_t>(kernel ? kernelEvent_ : userEvent_));
      std::memcpy(input.data(), &value, sizeof(value));
    }
    std::vector<uint8_t> output(outLength, 0xAB);
    const ULONG inLength = ULONG(input.size());
    if (!kernel) {
      ULONG_PTR returned = 0;
      bus_->Control(control_, code, input.data(), inLength, output.data(), outLength, &returned);
      return;
    }
    PDEVICE_OBJECT target = bus_->Fdo();
    if ((sender & kToChild) && (state & kChildren)) {
      khost::DevNode* child = bus_->ChildNode(1 + ((sender >> 4) & 3));
      if (child && child->pdo) target = child->pdo;
    }
    Kernel(target, code, input.data(), inLength, output.data(), outLength, sender & kInternal);
  }

  // Back to a started bus with no children, no link, no event, an empty
  // ready queue and its flow open, through the same doors a service and a
  // child driver use. Records pushed while no event was installed wait on the
  // queue until the next pass-event, which drops them; a fetch with the event
  // in place re-opens the flow; a pass-event of a bad handle leaves no event.
  void Restore() {
    CALLBACK_EXCHANGE none{nullptr, nullptr, nullptr, nullptr};
    Link(&none, bus_->Fdo());
    const int32_t event = static_cast<int32_t>(reinterpret_cast<intptr_t>(kernelEvent_)), bad = 0;
    Kernel(bus_->Fdo(), IOCTL_CORVANE_PASS_EVENT, &event, sizeof(event));
    uint8_t reply[VELMORA_GET_MSG_MIN_OUTPUT];
    Kernel(bus_->Fdo(), IOCTL_CORVANE_GET_MSG, nullptr, 0, reply, sizeof(reply));
    Kernel(bus_->Fdo(), IOCTL_CORVANE_PASS_EVENT, &bad, sizeof(bad));
    std::vector<uint8_t> all = velmora_test::UnplugRecord(0);
    Kernel(bus_->Fdo(), IOCTL_NETBUS_PLUG_OUT, all.data(), ULONG(all.size()));
    khost::Pnp().ProcessInvalidations();
    if (!bus_->Children().empty()) Fail("children left on the bus after unplugging every one");
    linked_.Forget();
    other_.Forget();
  }

  HANDLE kernelEvent_ = nullptr;
  ChildSide linked_, other_;
  Baseline baseline_;
  uint64_t inputs_ = 0;
};

// No teardown at exit: libFuzzer leaves through exit(), after the main
// thread's thread-local state the host keeps is gone. The teardown points
// come every kInputsPerBoot inputs instead.
World* g_world = nullptr;

}  // namespace

// The driver's memory is the host's pool, which the host accounts for after
// every input and at each teardown point; the host's own objects of the last
// boot live until exit by design, which LeakSanitizer would call a leak.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_world = new World();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  g_world->Run(data, size);
  return 0;
}
