// The sample child function driver on the bus's children: its link with the
// bus, the echo of the service's records, flow control, and how it leaves.
#include "channel_support.h"
#include "childdrv.h"

extern "C" DRIVER_INITIALIZE ChildDrv_DriverEntry;

using velmora_test::BusHarness;
using velmora_test::MessageRecord;
using velmora_test::Payload;

namespace {

const char16_t kCompatibleId[] = u"{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice";

std::vector<uint8_t> DeliveredReply(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> reply = MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, payload);
  reply.resize(reply.size() + 3, 0);
  return reply;
}

class SampleChildDriver : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    sample_ = khost::LoadDriver(u"velmorachild", ChildDrv_DriverEntry);
    ASSERT_NE(sample_, nullptr);
    khost::Pnp().RegisterFunctionDriver(kCompatibleId, sample_);
    bus_ = std::make_unique<BusHarness>();
    NTSTATUS status;
    control_ = bus_->Open(&status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    event_ = bus_->Service().CreateEvent(false, false);
    int32_t handle = static_cast<int32_t>(reinterpret_cast<intptr_t>(event_));
    ASSERT_EQ(bus_->Control(control_, IOCTL_CORVANE_PASS_EVENT, &handle, sizeof(handle)), STATUS_SUCCESS);
  }

  void EndScenario() override {
    if (bus_) bus_->Teardown(style_);
    bus_.reset();
    if (sample_) khost::UnloadDriver(sample_);
    sample_ = nullptr;
  }

  khost::DevNode* PlugIn(ULONG serial) {
    EXPECT_EQ(bus_->PlugIn(control_, serial, {u"VELMORA\\BTNET"}), STATUS_SUCCESS);
    bus_->Enumerate();
    khost::DevNode* node = bus_->ChildNode(serial);
    EXPECT_NE(node, nullptr);
    if (node) {
      EXPECT_EQ(node->state, khost::DevNodeState::Started);
    }
    return node;
  }

  // The sample's device on a child, or null.
  PCHILDDRV_EXTENSION SampleOn(khost::DevNode* node) {
    for (PDEVICE_OBJECT d = node->pdo->AttachedDevice; d; d = d->AttachedDevice)
      if (d->DriverObject == sample_) return static_cast<PCHILDDRV_EXTENSION>(d->DeviceExtension);
    return nullptr;
  }

  NTSTATUS Put(uint8_t id, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> record = MessageRecord(NETBUS_MSG_TAG, id, payload);
    return bus_->Control(control_, IOCTL_CORVANE_PUT_MSG, record.data(), static_cast<ULONG>(record.size()));
  }

  // The next record the service fetches, or an empty vector for the empty reply.
  std::vector<uint8_t> Fetch(ULONG output = CHILDDRV_MAX_ECHO_LENGTH + VELMORA_GET_MSG_OVERHEAD) {
    std::vector<uint8_t> out(output);
    ULONG_PTR information = 0;
    NTSTATUS status = bus_->Control(control_, IOCTL_CORVANE_GET_MSG, nullptr, 0, out.data(), output, &information);
    EXPECT_EQ(status, STATUS_SUCCESS);
    if (status != STATUS_SUCCESS || information == 12) return {};
    out.resize(information);
    return out;
  }

  PDRIVER_OBJECT sample_ = nullptr;
  std::unique_ptr<BusHarness> bus_;
  HANDLE control_ = nullptr;
  HANDLE event_ = nullptr;
  khost::RemovalStyle style_ = khost::RemovalStyle::Windows;
};

TEST_F(SampleChildDriver, RegistersItsCallbackWithTheBusWhenItsChildStarts) {
  khost::DevNode* node = PlugIn(1);
  PCHILDDRV_EXTENSION sample = SampleOn(node);
  ASSERT_NE(sample, nullptr);
  EXPECT_EQ(sample->LinkStatus, STATUS_SUCCESS);
  EXPECT_TRUE(sample->HoldsLink);
  EXPECT_EQ(sample->Exchange.BusContext, bus_->Bus());
  EXPECT_EQ(bus_->Bus()->ChildCallback, &ChildDrv_BusMessage);
  EXPECT_EQ(bus_->Bus()->ChildContext, sample);
}

TEST_F(SampleChildDriver, EchoesTheServicesDataRecordsBackUp) {
  PCHILDDRV_EXTENSION sample = SampleOn(PlugIn(1));
  ASSERT_NE(sample, nullptr);
  ULONG n = 0;
  for (uint8_t id : {1, 2, 3, 4, 8}) {
    std::vector<uint8_t> payload = Payload(id * 5, id);
    ASSERT_EQ(Put(id, payload), STATUS_SUCCESS) << "id " << int(id);
    EXPECT_TRUE(bus_->Service().WaitEvent(event_, std::chrono::milliseconds(0))) << "id " << int(id);
    EXPECT_EQ(Fetch(), DeliveredReply(payload)) << "id " << int(id);
    ++n;
    EXPECT_EQ(sample->Received, n);
    EXPECT_EQ(sample->Echoed, n);
  }
  // The largest echo fits the service's buffer of CHILDDRV_MAX_ECHO_LENGTH + 11.
  std::vector<uint8_t> largest = Payload(CHILDDRV_MAX_ECHO_LENGTH, 3);
  ASSERT_EQ(Put(1, largest), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(), DeliveredReply(largest));
  EXPECT_TRUE(Fetch().empty());
}

TEST_F(SampleChildDriver, TakesOtherRecordsWithoutEchoingThem) {
  PCHILDDRV_EXTENSION sample = SampleOn(PlugIn(1));
  ASSERT_NE(sample, nullptr);
  EXPECT_EQ(Put(1, {}), STATUS_SUCCESS);                                      // nothing to echo
  EXPECT_EQ(Put(MSG_QUEUE_DRAINED, Payload(4)), STATUS_SUCCESS);              // the service's own id 9
  EXPECT_EQ(Put(2, Payload(CHILDDRV_MAX_ECHO_LENGTH + 1)), STATUS_SUCCESS);  // too long to echo
  EXPECT_EQ(Put(5, Payload(4)), STATUS_SUCCESS);                              // the bus keeps id 5
  EXPECT_TRUE(Fetch().empty());
  EXPECT_EQ(sample->Received, 2u);
  EXPECT_EQ(sample->Refused, 1u);
  EXPECT_EQ(sample->Echoed, 0u);
  EXPECT_EQ(sample->Drained, 0u) << "the service's id 9 is not the bus's notification";
}

TEST_F(SampleChildDriver, AnEchoThatFindsNoPoolIsCountedAndLost) {
  PCHILDDRV_EXTENSION sample = SampleOn(PlugIn(1));
  ASSERT_NE(sample, nullptr);
  khost::FailNth(khost::FaultPoint::PoolAllocation, 1);
  EXPECT_EQ(Put(1, Payload(4)), STATUS_SUCCESS) << "the bus ignores the child's answer";
  EXPECT_EQ(sample->EchoFailed, 1u);
  EXPECT_EQ(sample->Echoed, 0u);
  EXPECT_TRUE(Fetch().empty());
}

TEST_F(SampleChildDriver, CountsItsPushesPastTheHighMarkAndResetsOnDrained) {
  PCHILDDRV_EXTENSION sample = SampleOn(PlugIn(1));
  ASSERT_NE(sample, nullptr);
  for (int i = 0; i < 17; ++i) ASSERT_EQ(Put(1, Payload(3, static_cast<uint8_t>(i))), STATUS_SUCCESS);
  EXPECT_TRUE(sample->FlowOff);
  EXPECT_FALSE(bus_->Bus()->FlowOn);
  EXPECT_EQ(sample->PushedWhileFlowOff, 0u);
  ASSERT_EQ(Put(1, Payload(3, 17)), STATUS_SUCCESS);
  EXPECT_EQ(sample->PushedWhileFlowOff, 1u) << "it keeps pushing, and says so";
  EXPECT_EQ(bus_->Bus()->SendCount, 18u);

  for (int i = 0; i < 14; ++i) {
    ASSERT_EQ(Fetch(), DeliveredReply(Payload(3, static_cast<uint8_t>(i))));
    EXPECT_EQ(sample->Drained, 0u) << "after fetch " << i;
  }
  ASSERT_FALSE(Fetch().empty());  // 3 left
  EXPECT_EQ(sample->Drained, 1u);
  EXPECT_FALSE(sample->FlowOff);
  EXPECT_EQ(sample->PushedSinceDrained, 0u);
  // Every echo arrived, in order.
  EXPECT_EQ(Fetch(), DeliveredReply(Payload(3, 15)));
  EXPECT_EQ(Fetch(), DeliveredReply(Payload(3, 16)));
  EXPECT_EQ(Fetch(), DeliveredReply(Payload(3, 17)));
  EXPECT_TRUE(Fetch().empty());
  EXPECT_EQ(sample->Drained, 1u);
}

TEST_F(SampleChildDriver, UnregistersOnSurpriseRemovalBeforeItsDeviceGoes) {
  khost::DevNode* node = PlugIn(1);
  PCHILDDRV_EXTENSION sample = SampleOn(node);
  ASSERT_NE(sample, nullptr);
  khost::Pnp().SurpriseRemove(node);
  EXPECT_EQ(bus_->Bus()->ChildCallback, nullptr);
  EXPECT_EQ(bus_->Bus()->ChildContext, nullptr);
  EXPECT_EQ(SampleOn(node), sample) << "its device is still there";
  EXPECT_FALSE(sample->HoldsLink);
  EXPECT_EQ(Put(1, Payload(4)), STATUS_UNSUCCESSFUL);
  khost::Pnp().CompleteSurpriseRemoval(node);
}

TEST_F(SampleChildDriver, UnregistersWhenItsChildIsUnplugged) {
  khost::DevNode* node = PlugIn(1);
  ASSERT_NE(SampleOn(node), nullptr);
  ASSERT_EQ(bus_->Unplug(control_, 1), STATUS_SUCCESS);
  bus_->Enumerate();
  EXPECT_TRUE(bus_->ChildNodes().empty());
  EXPECT_TRUE(khost::DevicesOf(sample_).empty());
  EXPECT_EQ(bus_->Bus()->ChildCallback, nullptr);
  EXPECT_EQ(Put(1, Payload(4)), STATUS_UNSUCCESSFUL);
}

TEST_F(SampleChildDriver, TheLastStartedChildHoldsTheLinkAndHandsItOnWhenItGoes) {
  khost::DevNode* first = PlugIn(1);
  khost::DevNode* second = PlugIn(2);
  PCHILDDRV_EXTENSION a = SampleOn(first);
  PCHILDDRV_EXTENSION b = SampleOn(second);
  ASSERT_TRUE(a && b);
  EXPECT_FALSE(a->HoldsLink);
  EXPECT_TRUE(b->HoldsLink);
  EXPECT_EQ(bus_->Bus()->ChildContext, b);

  // The holder is disabled: the other instance takes the link over.
  ASSERT_EQ(khost::Pnp().Disable(second), STATUS_SUCCESS);
  EXPECT_TRUE(a->HoldsLink);
  EXPECT_EQ(bus_->Bus()->ChildContext, a);
  ASSERT_EQ(Put(3, Payload(9)), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(), DeliveredReply(Payload(9)));
  EXPECT_EQ(a->Echoed, 1u);

  // An instance without the link leaves it alone.
  ASSERT_EQ(khost::Pnp().Enable(second), STATUS_SUCCESS);
  b = SampleOn(second);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(bus_->Bus()->ChildContext, b) << "a fresh start takes the link";
  ASSERT_EQ(khost::Pnp().Disable(first), STATUS_SUCCESS);
  EXPECT_EQ(bus_->Bus()->ChildContext, b);

  // The last one unregisters.
  ASSERT_EQ(khost::Pnp().Disable(second), STATUS_SUCCESS);
  EXPECT_EQ(bus_->Bus()->ChildCallback, nullptr);
  EXPECT_TRUE(khost::DevicesOf(sample_).empty());
}

TEST_F(SampleChildDriver, KeepsItsLinkAcrossAStopAndRestart) {
  khost::DevNode* node = PlugIn(1);
  PCHILDDRV_EXTENSION sample = SampleOn(node);
  ASSERT_NE(sample, nullptr);
  ASSERT_EQ(khost::Pnp().Rebalance(node), STATUS_SUCCESS);
  EXPECT_TRUE(sample->HoldsLink);
  EXPECT_EQ(bus_->Bus()->ChildContext, sample);
  ASSERT_EQ(Put(4, Payload(2)), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(), DeliveredReply(Payload(2)));
}

TEST_F(SampleChildDriver, PassesPowerRequestsToItsChild) {
  khost::DevNode* node = PlugIn(1);
  ASSERT_NE(SampleOn(node), nullptr);
  for (SYSTEM_POWER_STATE state : {PowerSystemSleeping3, PowerSystemWorking}) {
    for (auto& [powered, status] : khost::SetSystemPowerState(state))
      EXPECT_EQ(status, STATUS_SUCCESS) << powered->label << " to S" << state - 1;
  }
  khost::JoinPowerThreads();
  EXPECT_EQ(static_cast<PCHILD_EXTENSION>(node->pdo->DeviceExtension)->DevicePowerState, PowerDeviceD0);
  ASSERT_EQ(Put(1, Payload(2)), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(), DeliveredReply(Payload(2)));
}

TEST_F(SampleChildDriver, LeavesCleanlyWhenTheBusGoesTheWayWineRemovesIt) {
  khost::DevNode* first = PlugIn(1);
  khost::DevNode* second = PlugIn(2);
  ASSERT_TRUE(SampleOn(first) && SampleOn(second));
  ASSERT_EQ(Put(1, Payload(5)), STATUS_SUCCESS);
  bus_->Service().Close(control_);
  style_ = khost::RemovalStyle::Wine;
  // Surprise removal of both children, then of the bus, then the removals:
  // the leak check of the fixture sees every device, record and event gone.
}

}  // namespace
