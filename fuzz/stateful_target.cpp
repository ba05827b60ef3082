// The bus driven through a whole session: the input is a sequence of steps,
// each a service request, a child driver's call, a Plug and Play or power
// event, or a fault armed for the next step. Every input boots the bus afresh
// and ends with its removal, the driver unloaded and the host's leak check;
// any verifier report along the way aborts.
//
// Each step is an opcode byte and two argument bytes (missing bytes read as
// zero); see Step() for what each opcode does with them.
#include "fuzz_support.h"

namespace {

using velmora_fuzz::ChildSide;
using velmora_fuzz::RequireSilentVerifier;

constexpr size_t kMaxSteps = 64;

class Session : velmora_fuzz::BootedBus {
 public:
  Session() { Boot(); }
  ~Session() { Shutdown(); }

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
        const int32_t value = (a & 1) ? 0x1234 : static_cast<int32_t>(reinterpret_cast<intptr_t>(userEvent_));
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
        std::vector<uint8_t> record = velmora_fuzz::Message(a % 12, b & 15, 0x5C);
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

  static void CallBus(ChildSide& side, uint8_t msgId, unsigned length) {
    std::vector<uint8_t> record = velmora_fuzz::Message(msgId, length, 0x21);
    side.CallBus(record);
  }

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
