// A child's power: a system power change becomes a device power change that
// travels down the child's own stack from its top, and the system request
// finishes once that one has - successfully, whatever became of the device
// request. The function driver above the child records what comes down.
#include <thread>
#include <tuple>

#include "child_fixture.h"

using namespace child_test;

namespace {

using Seen = std::tuple<UCHAR, ULONG, ULONG, std::thread::id>;  // minor, type, state, dispatching thread
std::vector<Seen> g_seen;  // written before the request that caused it completes
NTSTATUS g_failDeviceSetPower = STATUS_SUCCESS;
PDRIVER_DISPATCH g_passDown = nullptr;

// The passthrough driver's power dispatch, recording and, if told, failing a device set-power itself.
NTSTATUS ProbePower(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG type;
  std::memcpy(&type, &stack->Parameters.Power.Type, sizeof(type));
  g_seen.emplace_back(stack->MinorFunction, type, stack->Parameters.Power.State.DeviceState,
                      std::this_thread::get_id());
  if (stack->MinorFunction != IRP_MN_SET_POWER || type != DevicePowerState || NT_SUCCESS(g_failDeviceSetPower))
    return g_passDown(device, irp);
  PoStartNextPowerIrp(irp);
  irp->IoStatus.Status = g_failDeviceSetPower;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return g_failDeviceSetPower;
}

constexpr khost::PowerCallbackMode kModes[] = {khost::PowerCallbackMode::Inline, khost::PowerCallbackMode::Deferred};

}  // namespace

class ChildPowerTest : public ChildTest {
 protected:
  void SetUp() override {
    ChildTest::SetUp();
    g_seen.clear();
    g_failDeviceSetPower = STATUS_SUCCESS;
    StartSeven();
    g_passDown = function_->MajorFunction[IRP_MJ_POWER];
    function_->MajorFunction[IRP_MJ_POWER] = ProbePower;
  }
  RequestResult SendPower(UCHAR minor, ULONG type, ULONG state, ULONG_PTR information) {
    return khost::SendIrp(pdo_, IRP_MJ_POWER, minor, [&](PIRP irp, PIO_STACK_LOCATION stack) {
      irp->IoStatus.Information = information;
      std::memcpy(&stack->Parameters.Power.Type, &type, sizeof(type));
      std::memcpy(&stack->Parameters.Power.State, &state, sizeof(state));
    }, STATUS_NOT_SUPPORTED);
  }
  // What the child reported through PoSetPowerState, as (type, state) pairs.
  std::vector<std::pair<ULONG, ULONG>> Reports() const {
    std::vector<std::pair<ULONG, ULONG>> out;
    for (const khost::PowerReport& r : khost::PowerReports())
      if (r.device == pdo_) out.emplace_back(r.type, r.state.DeviceState);
    return out;
  }
};

TEST_F(ChildPowerTest, SystemStatesBecomeDeviceRequestsThroughTheTopOfTheStack) {
  for (khost::PowerCallbackMode mode : kModes) {
    const bool inlineMode = mode == khost::PowerCallbackMode::Inline;
    khost::SetPowerCallbackMode(mode);
    for (SYSTEM_POWER_STATE system :
         {PowerSystemSleeping1, PowerSystemWorking, PowerSystemUnspecified, PowerSystemWorking, PowerSystemSleeping2,
          PowerSystemWorking, PowerSystemSleeping3, PowerSystemWorking, PowerSystemHibernate, PowerSystemWorking,
          PowerSystemShutdown, PowerSystemWorking}) {
      SCOPED_TRACE(::testing::Message() << (inlineMode ? "inline" : "deferred") << " S" << system);
      const ULONG device = system == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
      std::vector<std::pair<ULONG, ULONG>> reports = Reports();
      g_seen.clear();
      RequestResult result = SendPower(IRP_MN_SET_POWER, SystemPowerState, system, 0x6060);
      EXPECT_TRUE(result.pendingReturned);
      EXPECT_EQ(Outcome(result), Outcome(STATUS_SUCCESS, 0x6060));
      // The child asked for a device request, which came down from the top of its stack: inside the call,
      // or later on another thread.
      ASSERT_FALSE(khost::PowerRequests().empty());
      EXPECT_EQ(khost::PowerRequests().back().device, pdo_);
      ASSERT_EQ(g_seen.size(), 2u);
      EXPECT_EQ(std::make_tuple(std::get<0>(g_seen[1]), std::get<1>(g_seen[1]), std::get<2>(g_seen[1])),
                std::make_tuple(UCHAR(IRP_MN_SET_POWER), ULONG(DevicePowerState), device));
      EXPECT_EQ(std::get<3>(g_seen[1]) == std::get<3>(g_seen[0]), inlineMode);
      // Device state first, then the system state, each reported and recorded.
      reports.insert(reports.end(), {{DevicePowerState, device}, {SystemPowerState, system}});
      EXPECT_EQ(Reports(), reports);
      EXPECT_EQ(child_->DevicePowerState, DEVICE_POWER_STATE(device));
      EXPECT_EQ(child_->SystemPowerState, system);
    }
  }
}

TEST_F(ChildPowerTest, SystemRequestSucceedsWhenTheDeviceRequestCannotBeIssuedOrFails) {
  khost::FailNth(khost::FaultPoint::PoRequestPowerIrp, 1);
  RequestResult result = SendPower(IRP_MN_SET_POWER, SystemPowerState, PowerSystemSleeping3, 0x7070);
  EXPECT_TRUE(result.pendingReturned) << "completed already, then pending returned";
  EXPECT_EQ(Outcome(result), Outcome(STATUS_SUCCESS, 0x7070)) << "a system set-power request may not fail";
  EXPECT_TRUE(Reports().empty());
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(child_->SystemPowerState, PowerSystemWorking);
  EXPECT_EQ(CountLines("Velmora===: PoRequestPowerIrp failed, status=0xc000009a"), 1u);

  // The device request fails: the system state is recorded and reported all the same, the device state is not.
  g_failDeviceSetPower = kDeviceNotReady;
  for (SYSTEM_POWER_STATE target : {PowerSystemSleeping1, PowerSystemHibernate}) {
    khost::SetPowerCallbackMode(kModes[target == PowerSystemHibernate]);
    result = SendPower(IRP_MN_SET_POWER, SystemPowerState, target, 0);
    EXPECT_TRUE(result.pendingReturned);
    EXPECT_EQ(Outcome(result), Outcome(STATUS_SUCCESS, 0));
    ASSERT_FALSE(khost::PowerRequests().empty());
    EXPECT_EQ(khost::PowerRequests().back().status, kDeviceNotReady);
    EXPECT_EQ(child_->SystemPowerState, target);
    EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
  }
  EXPECT_EQ(Reports(), (std::vector<std::pair<ULONG, ULONG>>{{SystemPowerState, PowerSystemSleeping1},
                                                             {SystemPowerState, PowerSystemHibernate}}));
  EXPECT_EQ(CountLines("Velmora===: Device power request failed, status=0xc00000a3"), 2u);
}

TEST_F(ChildPowerTest, DeviceSetPowerIsAcceptedForEveryStateD2Included) {
  for (DEVICE_POWER_STATE state : {PowerDeviceD2, PowerDeviceD1, PowerDeviceD3, PowerDeviceD0}) {
    RequestResult result = SendPower(IRP_MN_SET_POWER, DevicePowerState, state, 0x8080);
    EXPECT_FALSE(result.pendingReturned);
    EXPECT_EQ(Outcome(result), Outcome(STATUS_SUCCESS, 0x8080)) << "D" << state - 1;
    EXPECT_EQ(child_->DevicePowerState, state);
    EXPECT_EQ(Reports().back(), std::make_pair(ULONG(DevicePowerState), ULONG(state)));
  }
  EXPECT_EQ(child_->SystemPowerState, PowerSystemWorking);
  EXPECT_TRUE(khost::PowerRequests().empty());
}

TEST_F(ChildPowerTest, QueriesAreAcceptedWhileWaitWakeOtherMinorsAndBadTypesAreRefusedChangingNothing) {
  const ULONG system = SystemPowerState, device = DevicePowerState;
  for (auto [minor, type, expected] : {std::tuple<UCHAR, ULONG, NTSTATUS>{IRP_MN_QUERY_POWER, system, STATUS_SUCCESS},
                                       {IRP_MN_QUERY_POWER, device, STATUS_SUCCESS},
                                       {IRP_MN_WAIT_WAKE, device, STATUS_NOT_SUPPORTED},  // 0xC00000BB
                                       {IRP_MN_POWER_SEQUENCE, device, STATUS_NOT_SUPPORTED},
                                       {4, device, STATUS_NOT_SUPPORTED}, {0xFF, system, STATUS_NOT_SUPPORTED},
                                       {IRP_MN_SET_POWER, 2, STATUS_NOT_IMPLEMENTED},  // 0xC0000002
                                       {IRP_MN_SET_POWER, 0x80000000u, STATUS_NOT_IMPLEMENTED},
                                       {IRP_MN_SET_POWER, 0xFFFFFFFFu, STATUS_NOT_IMPLEMENTED}}) {
    for (ULONG state = 0; state < 7; ++state) {
      RequestResult result = SendPower(minor, type, state, 0x9090);
      EXPECT_FALSE(result.pendingReturned);
      EXPECT_EQ(Outcome(result), Outcome(expected, 0x9090))
          << "minor " << int(minor) << " type " << type << " state " << state;
    }
  }
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(child_->SystemPowerState, PowerSystemWorking);
  EXPECT_TRUE(Reports().empty());
  EXPECT_TRUE(khost::PowerRequests().empty());
}
