// The bus driven through a whole session: the input is a sequence of steps,
// each a service request, a child driver's call, a Plug and Play or power
// event, or a fault armed for the next step. Every input boots the bus afresh
// and ends with its removal, the driver unloaded and the host's leak check;
// any verifier report along the way aborts.
//
// Each step is an opcode byte and two argument bytes (missing bytes read as
// zero); see Step() for what each opcode does with them.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "bus_harness.h"
#include "fuzz_support.h"
#include "khost.h"
#include "passthrough_driver.h"
#include "velmora.h"

namespace {

using velmora_test::BusHarness;

constexpr char16_t kCompatibleId[] = u"{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice";
constexpr size_t kMaxSteps = 64;

using velmora_fuzz::Fail;
using velmora_fuzz::RequireSilentVerifier;

// A child driver's side of the link; it reads every byte a record claims.
struct ChildSide {
  static NTSTATUS Callback(PNETBUS_MESSAGE message, PVOID context) {
    ChildSide* self = static_cast<ChildSide*>(context);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(message);
    for (size_t i = 0; i < VELMORA_MSG_HEADER_SIZE + size_t(message->Length); ++i) self->checksum ^= bytes[i];
    return STATUS_SUCCESS;
  }
  CALLBACK_EXCHANGE exchange{nullptr, nullptr, &Callback, this};
  uint8_t checksum = 0;
};

class Session {
 public:
  Session() {
    khost::Reset();
    function_ = khost::LoadDriver(u"function", Passthrough_DriverEntry);
    khost::Pnp().RegisterFunctionDriver(kCompatibleId, function_);
    bus_ = std::make_unique<BusHarness>();
    if (!bus_->Fdo()) Fail("the bus did not start");
    control_ = bus_->Open();
    event_ = bus_->Service().CreateEvent(false, false);
  }

  ~Session() {
    khost::ClearFaults();
    bus_->Teardown();
    bus_.reset();
    khost::UnloadDriver(function_);
    std::string left = khost::CheckLeaks();
    RequireSilentVerifier(("at teardown (" + left + ")").c_str());
    khost::Reset();
  }

  void Step(uint8_t op, uint8_t a, uint8_t b) {
    const ULONG serial = a & 3;  // 0 unplugs every child
    khost::DevNode* child = bus_->ChildNode(1 + (a & 3));
    switch (op % 16) {
      case 0: {
        std::vector<uint8_t> record = velmora_test::PlugInRecord(serial + 1, {u"VELMORA\\BTNET"});
        Service(IOCTL_NETBUS_PLUG_IN, record.data(), ULONG(record.size()), b & 1);
        break;
      }
      case 1: {
        std::vector<uint8_t> record = velmora_test::UnplugRecord(serial);
        Service(IOCTL_NETBUS_PLUG_OUT, record.data(), ULONG(record.size()), b & 1);
        break;
      }
      case 2:
        khost::Pnp().ProcessInvalidations();
        break;
      case 3: {  // a child driver links, through its child's stack or straight to the bus
        ChildSide* side = (b & 1) ? &second_ : &first_;
        const CALLBACK_EXCHANGE_REQUEST request{0, &side->exchange};
        PDEVICE_OBJECT through = (child && (b & 2)) ? child->pdo : bus_->Fdo();
        if (through) khost::SendKernelControl(through, IOCTL_NETBUS_EXCHANGE_CALLBACK, &request, sizeof(request),
                                              nullptr, 0, true);
        break;
      }
      case 4:
        CallBus((b & 1) ? second_ : first_, MSG_UNREGISTER, 0);
        break;
      case 5:
        for (unsigned i = 0; i <= (b >> 4); ++i) CallBus((a & 1) ? second_ : first_, MSG_SEND_DATA, b & 15);
        break;
      case 6: {
        const int32_t value = (a & 1) ? 0x1234 : static_cast<int32_t>(reinterpret_cast<intptr_t>(event_));
        Service(IOCTL_CORVANE_PASS_EVENT, &value, sizeof(value), false);
        break;
      }
      case 7:
        Service(IOCTL_CORVANE_DELETE_EVENT, nullptr, 0, b & 1);
        break;
      case 8: {
        std::vector<uint8_t> out(b, 0);
        ULONG_PTR returned = 0;
        bus_->Control(control_, IOCTL_CORVANE_GET_MSG, nullptr, 0, out.data(), ULONG(out.size()), &returned);
        break;
      }
      case 9: {
        std::vector<uint8_t> record(VELMORA_MSG_HEADER_SIZE + (b & 15), 0x5C);
        record[0] = NETBUS_MSG_TAG;
        record[1] = a % 12;
        const uint32_t length = b & 15;
        std::memcpy(&record[4], &length, sizeof(length));
        Service(IOCTL_CORVANE_PUT_MSG, record.data(), ULONG(record.size()), false);
        break;
      }
      case 10:
        if (child) khost::Pnp().Disable(child);
        break;
      case 11:
        if (child && child->state == khost::DevNodeState::Disabled) khost::Pnp().Enable(child);
        break;
      case 12:
        if (child && child->state == khost::DevNodeState::Started) {
          khost::Pnp().SurpriseRemove(child);
          khost::Pnp().CompleteSurpriseRemoval(child, (b & 1) ? khost::RemovalStyle::Wine : khost::RemovalStyle::Windows);
        }
        break;
      case 13:
        khost::SetSystemPowerState((b & 1) ? PowerSystemHibernate : PowerSystemSleeping3);
        khost::SetSystemPowerState(PowerSystemWorking);
        break;
      case 14:
        if (bus_->Node() && bus_->Node()->state == khost::DevNodeState::Started) khost::Pnp().Rebalance(bus_->Node());
        break;
      case 15:  // the platform fails one of its next calls
        khost::FailNth(static_cast<khost::FaultPoint>(a % int(khost::FaultPoint::kCount)), 1 + (b & 7));
        break;
    }
  }

 private:
  void Service(ULONG code, const void* in, ULONG inLength, bool kernel) {
    if (kernel) {
      khost::SendKernelControl(bus_->Fdo(), code, in, inLength, nullptr, 0, true);
    } else {
      bus_->Control(control_, code, in, inLength);
    }
  }

  // Only an exchange hands a child driver the bus's callback.
  static void CallBus(ChildSide& side, uint8_t msgId, unsigned length) {
    if (!side.exchange.BusCallback) return;
    std::vector<uint8_t> record(VELMORA_MSG_HEADER_SIZE + length, 0x21);
    record[0] = NETBUS_MSG_TAG;
    record[1] = msgId;
    const uint32_t value = length;
    std::memcpy(&record[4], &value, sizeof(value));
    side.exchange.BusCallback(reinterpret_cast<PNETBUS_MESSAGE>(record.data()), side.exchange.BusContext);
  }

  PDRIVER_OBJECT function_ = nullptr;
  std::unique_ptr<BusHarness> bus_;
  HANDLE control_ = nullptr;
  HANDLE event_ = nullptr;
  ChildSide first_, second_;
};

}  // namespace

// The driver's memory is the host's pool, which the host's leak check at the
// end of every input accounts for; LeakSanitizer would only add the host's own
// bookkeeping.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Session session;
  for (size_t i = 0; i < size && i / 3 < kMaxSteps; i += 3) {
    const uint8_t a = i + 1 < size ? data[i + 1] : 0, b = i + 2 < size ? data[i + 2] : 0;
    session.Step(data[i], a, b);
    RequireSilentVerifier("after a step");
  }
  return 0;
}
