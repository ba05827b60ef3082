// The bus's control-request dispatcher: only a started bus serves requests,
// a request caught by removal between the state test and the remove lock is
// turned away, unknown codes reach no handler, and both device-control majors
// reach the same handlers.
#include "bus_fixture.h"

using namespace bus_test;

namespace {

enum class GateState { NotStarted, StopPending, Stopped, RemovePending, SurpriseRemoved, Deleted };

const char* Name(GateState state) {
  switch (state) {
    case GateState::NotStarted: return "NotStarted";
    case GateState::StopPending: return "StopPending";
    case GateState::Stopped: return "Stopped";
    case GateState::RemovePending: return "RemovePending";
    case GateState::SurpriseRemoved: return "SurpriseRemoved";
    case GateState::Deleted: return "Deleted";
  }
  return "?";
}

void PrintTo(GateState state, std::ostream* os) { *os << Name(state); }

// What a request carries for each code: enough to succeed on a started bus.
std::vector<uint8_t> InputFor(ULONG code) {
  if (code == IOCTL_NETBUS_PLUG_IN) return PlugInBytes(21, kNetId + std::u16string(2, u'\0'));
  if (code == IOCTL_NETBUS_PLUG_OUT) return velmora_test::UnplugRecord(0);
  return std::vector<uint8_t>(16, 0);
}

}  // namespace

class ControlGateTest : public BusTest, public ::testing::WithParamInterface<GateState> {
 protected:
  // Brings the bus into the state under test. The service keeps its handle
  // where the platform lets it (it vetoes the queries otherwise).
  void Reach(GateState state) {
    switch (state) {
      case GateState::NotStarted:
        Boot(khost::RootPdoConfig(), false);
        break;
      case GateState::StopPending:
      case GateState::Stopped:
        Boot();
        CloseService();
        ASSERT_EQ(khost::Pnp().Send(node_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
        if (state == GateState::Stopped) {
          ASSERT_EQ(khost::Pnp().Send(node_, IRP_MN_STOP_DEVICE).status, STATUS_SUCCESS);
        }
        break;
      case GateState::RemovePending:
        Boot();
        CloseService();
        ASSERT_EQ(khost::Pnp().Send(node_, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
        break;
      case GateState::SurpriseRemoved:
        Boot();
        khost::Pnp().SurpriseRemove(node_);
        break;
      case GateState::Deleted:
        Boot();
        // The service's file object keeps the deleted device object alive, as
        // it does on the platform; so does this reference.
        ObfReferenceObject(fdo_);
        khost::Pnp().Remove(node_, khost::RemovalStyle::Wine);
        NodeRemoved();
        break;
    }
  }
};

TEST_P(ControlGateTest, EveryCodeUnderBothMajorsIsRefusedAsNotConnected) {
  const GateState state = GetParam();
  ASSERT_NO_FATAL_FAILURE(Reach(state));
  const ULONG expectedState = Bus()->Header.PnpState;
  const uint64_t creates = khost::CallCount(khost::FaultPoint::CreateDevice);
  const size_t pending = khost::Pnp().PendingInvalidations();

  std::vector<ULONG> codes = kBusCodes;
  codes.push_back(kUnknownCode);
  for (UCHAR major : {UCHAR(IRP_MJ_DEVICE_CONTROL), UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL)}) {
    for (ULONG code : codes) {
      khost::RequestResult result = KernelControl(code, InputFor(code), major);
      EXPECT_EQ(result.status, STATUS_DEVICE_NOT_CONNECTED)
          << Name(state) << ": code " << std::hex << code << " major " << int(major);
      EXPECT_EQ(result.information, 0u) << Name(state) << ": code " << std::hex << code;
    }
  }
  if (service_) {
    // The service's own handle, opened while the bus was started, fares no better.
    EXPECT_EQ(PlugIn(22), STATUS_DEVICE_NOT_CONNECTED) << Name(state);
    EXPECT_EQ(Unplug(0), STATUS_DEVICE_NOT_CONNECTED) << Name(state);
  }
  EXPECT_EQ(khost::CallCount(khost::FaultPoint::CreateDevice), creates) << "a plug-in got past the gate";
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), pending) << "a handler ran behind the gate";
  EXPECT_EQ(Bus()->Header.PnpState, expectedState) << "a refused request changed the bus's state";

  if (state == GateState::Deleted) {
    CloseService();
    ObfDereferenceObject(fdo_);
  }
}

INSTANTIATE_TEST_SUITE_P(NonStartedStates, ControlGateTest,
                         ::testing::Values(GateState::NotStarted, GateState::StopPending, GateState::Stopped,
                                           GateState::RemovePending, GateState::SurpriseRemoved,
                                           GateState::Deleted),
                         [](const ::testing::TestParamInfo<GateState>& info) { return Name(info.param); });

class ControlDispatchTest : public BusTest {};

TEST_F(ControlDispatchTest, NotStartedBusRefusesTheServiceToo) {
  Boot(khost::RootPdoConfig(), false);
  NTSTATUS status = STATUS_SUCCESS;
  HANDLE handle = bus_->Open(&status);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
  // Once started, the same bus serves requests.
  ASSERT_EQ(khost::Pnp().Start(node_), STATUS_SUCCESS);
  EXPECT_EQ(KernelControl(IOCTL_NETBUS_PLUG_IN, InputFor(IOCTL_NETBUS_PLUG_IN)).status, STATUS_SUCCESS);
}

TEST_F(ControlDispatchTest, UnknownCodeReachesNoHandlerAndLeavesInformationAlone) {
  Boot();
  TraceMask = 0x111;
  const uint64_t creates = khost::CallCount(khost::FaultPoint::CreateDevice);
  for (UCHAR major : {UCHAR(IRP_MJ_DEVICE_CONTROL), UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL)}) {
    // A plug-in record under an unknown code must not plug anything in.
    khost::RequestResult result = KernelControl(kUnknownCode, InputFor(IOCTL_NETBUS_PLUG_IN), major);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED) << "major " << int(major);
    EXPECT_EQ(result.information, kInformationSentinel) << "the dispatcher wrote Information";
  }
  ULONG_PTR information = 77;
  EXPECT_EQ(bus_->Control(service_, kUnknownCode, nullptr, 0, nullptr, 0, &information), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(information, 0u);
  EXPECT_TRUE(Children().empty());
  EXPECT_EQ(khost::CallCount(khost::FaultPoint::CreateDevice), creates);
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), 0u);
  // The dispatcher writes no lines of its own for a request it serves.
  for (const std::string& line : khost::TakeTraceLines())
    EXPECT_EQ(line.find("Device"), std::string::npos) << line;
}

// Whatever the sender left in Information, a handler that answers no data
// completes with none.
TEST_F(ControlDispatchTest, BothMajorsReachPlugInAndUnplugWhichAnswerNoData) {
  Boot();
  ULONG serial = 31;
  for (UCHAR major : {UCHAR(IRP_MJ_DEVICE_CONTROL), UCHAR(IRP_MJ_INTERNAL_DEVICE_CONTROL)}) {
    khost::RequestResult plugged =
        KernelControl(IOCTL_NETBUS_PLUG_IN, PlugInBytes(serial, kNetId + std::u16string(2, u'\0')), major);
    EXPECT_EQ(plugged.status, STATUS_SUCCESS) << "major " << int(major);
    EXPECT_EQ(plugged.information, 0u) << "plug-in answered data";
    ASSERT_NE(Child(serial), nullptr);
    EXPECT_TRUE(Child(serial)->Present);

    khost::RequestResult unplugged =
        KernelControl(IOCTL_NETBUS_PLUG_OUT, velmora_test::UnplugRecord(serial), major);
    EXPECT_EQ(unplugged.status, STATUS_SUCCESS) << "major " << int(major);
    EXPECT_EQ(unplugged.information, 0u) << "unplug answered data";
    EXPECT_FALSE(Child(serial)->Present);
    ++serial;
  }
  EXPECT_EQ(Serials(), (std::vector<ULONG>{31, 32}));
}

// A request that passed the state test while the bus was started, and reaches
// the remove lock only once removal has released it and waited, is turned
// away with STATUS_DELETE_PENDING; nothing of it runs.
class RequestCaughtByRemovalTest : public BusTest, public ::testing::WithParamInterface<khost::RemovalStyle> {};

TEST_P(RequestCaughtByRemovalTest, IsRefusedAsDeletePending) {
  const bool wine = GetParam() == khost::RemovalStyle::Wine;
  Boot();
  TraceMask = 0x100;
  const uint64_t creates = khost::CallCount(khost::FaultPoint::CreateDevice);
  HoldPoint hold("remove-lock-acquire");
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 1;
  Joined sender(std::thread([&] {
                  HoldPoint::Arm();
                  if (wine) {
                    // Wine removes the bus whatever the service holds open.
                    status = bus_->Control(service_, IOCTL_NETBUS_PLUG_IN,
                                           InputFor(IOCTL_NETBUS_PLUG_IN).data(),
                                           static_cast<ULONG>(InputFor(IOCTL_NETBUS_PLUG_IN).size()), nullptr, 0,
                                           &information);
                  } else {
                    khost::RequestResult result = KernelControl(IOCTL_NETBUS_PLUG_IN, InputFor(IOCTL_NETBUS_PLUG_IN));
                    status = result.status;
                    information = result.information;
                  }
                }),
                &hold);
  ASSERT_TRUE(hold.WaitUntilHeld()) << "the request never reached the remove lock";
  EXPECT_EQ(Bus()->Header.PnpState, StateStarted) << "the request should have passed the state test";

  if (!wine) CloseService();  // Windows asks first, and an open handle would veto
  EXPECT_EQ(khost::Pnp().Remove(node_, GetParam()), STATUS_SUCCESS);
  NodeRemoved();
  sender.Join();

  EXPECT_EQ(status, STATUS_DELETE_PENDING);
  EXPECT_EQ(information, 0u);
  EXPECT_EQ(khost::CallCount(khost::FaultPoint::CreateDevice), creates) << "the plug-in ran after removal";
  bool traced = false;
  for (const std::string& line : khost::TraceLines()) traced = traced || line == "Velmora===: Device delete pending !";
  EXPECT_TRUE(traced);
}

INSTANTIATE_TEST_SUITE_P(RemovalOrders, RequestCaughtByRemovalTest,
                         ::testing::Values(khost::RemovalStyle::Windows, khost::RemovalStyle::Wine),
                         [](const ::testing::TestParamInfo<khost::RemovalStyle>& info) {
                           return info.param == khost::RemovalStyle::Wine ? "Wine" : "Windows";
                         });
