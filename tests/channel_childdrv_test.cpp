// The sample child function driver on the bus's children: its link with the
// bus, the echo of the service's records, and how it leaves.
#include "channel_support.h"
#include "childdrv.h"

extern "C" DRIVER_INITIALIZE ChildDrv_DriverEntry;

using namespace velmora_test;

namespace {

class SampleChildDriver : public ChannelTest {
 public:
  SampleChildDriver() : ChannelTest(ChildDrv_DriverEntry) {}

 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Bus()->ChildCallback, &ChildDrv_BusMessage) << "the sample links when its child starts";
    sample_ = static_cast<PCHILDDRV_EXTENSION>(Bus()->ChildContext);
    ASSERT_TRUE(sample_->HoldsLink);
    event_ = Service().CreateEvent(false, false);
    ASSERT_EQ(PassEvent(event_), STATUS_SUCCESS);
  }
  PCHILDDRV_EXTENSION sample_ = nullptr;
};

TEST_F(SampleChildDriver, EchoesDataRecordsUpToItsLargestLengthAndTakesTheRestQuietly) {
  struct Case { const char* what; uint8_t id; size_t length; bool echoed; };
  const std::vector<Case> cases = {
      {"id 1", 1, 5, true}, {"id 2", 2, 10, true}, {"id 3", 3, 15, true}, {"id 4", 4, 20, true},
      {"id 8", 8, 40, true}, {"the largest", 1, CHILDDRV_MAX_ECHO_LENGTH, true}, {"empty", 1, 0, false},
      {"the service's own id 9", MSG_QUEUE_DRAINED, 4, false}, {"too long", 2, CHILDDRV_MAX_ECHO_LENGTH + 1, false},
      {"id 5, which the bus keeps", 5, 4, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> payload = Payload(c.length, c.id), reply;
    ASSERT_EQ(Put(MessageRecord(NETBUS_MSG_TAG, c.id, payload)), STATUS_SUCCESS);
    EXPECT_EQ(EventSet(event_), c.echoed);
    EXPECT_EQ(Fetch(CHILDDRV_MAX_ECHO_LENGTH + VELMORA_GET_MSG_OVERHEAD, &reply), STATUS_SUCCESS);
    EXPECT_EQ(reply, c.echoed ? DeliveredReply(payload) : std::vector<uint8_t>(12, 0));
  }
  EXPECT_EQ(sample_->Received, 8u);
  EXPECT_EQ(sample_->Echoed, 6u);
  EXPECT_EQ(sample_->Refused, 1u);
  EXPECT_EQ(sample_->Drained, 0u) << "the service's id 9 is not the bus's notification";
}

// Past the high mark the driver says the flow is off and keeps echoing; the
// bus's notification once the service has drained the queue turns it on again.
TEST_F(SampleChildDriver, FlowIsOffPastTheHighMarkUntilTheBusSaysTheQueueDrained) {
  for (uint8_t i = 0; i < 18; ++i) ASSERT_EQ(Put(MessageRecord(NETBUS_MSG_TAG, 1, Payload(4, i))), STATUS_SUCCESS);
  EXPECT_TRUE(sample_->FlowOff);
  EXPECT_EQ(sample_->PushedSinceDrained, 18u);
  EXPECT_EQ(sample_->PushedWhileFlowOff, 1u) << "only the 18th came after the 17th turned the flow off";
  EXPECT_EQ(FetchAll(), 18u);
  EXPECT_EQ(sample_->Drained, 1u);
  EXPECT_FALSE(sample_->FlowOff) << "the drained notification left the flow off";
  EXPECT_EQ(sample_->PushedSinceDrained, 0u);
}

// The newest started instance holds the link; when it goes, the link goes back
// to the one still started, and records put down keep reaching a driver.
TEST_F(SampleChildDriver, TheNewestInstanceHoldsTheLinkAndHandsItBackWhenItsChildGoes) {
  ASSERT_EQ(bus_->PlugIn(control_, 2, {u"VELMORA\\BTNET"}), STATUS_SUCCESS);
  bus_->Enumerate();
  PVOID newest = Bus()->ChildContext;
  ASSERT_NE(newest, sample_);
  EXPECT_TRUE(static_cast<PCHILDDRV_EXTENSION>(newest)->HoldsLink);
  EXPECT_FALSE(sample_->HoldsLink) << "two instances think they hold the link";
  ASSERT_EQ(bus_->Unplug(control_, 2), STATUS_SUCCESS);
  bus_->Enumerate();
  EXPECT_EQ(Bus()->ChildContext, sample_) << "the link was not handed back";
  EXPECT_TRUE(sample_->HoldsLink);
  std::vector<uint8_t> reply;
  ASSERT_EQ(Put(MessageRecord(NETBUS_MSG_TAG, 1, Payload(4))), STATUS_SUCCESS);
  EXPECT_EQ(Fetch(64, &reply), STATUS_SUCCESS);
  EXPECT_EQ(reply, DeliveredReply(Payload(4)));
}

TEST_F(SampleChildDriver, SendsUnregisterWhenItsChildIsSurpriseRemovedBeforeItsDeviceGoes) {
  khost::DevNode* node = bus_->ChildNode(1);
  // A request the sample has no part in goes down the child's stack and comes back with the child's answer;
  // its removal, which waits for every request inside the device, must not wait for this one.
  EXPECT_EQ(khost::SendIrp(childPdo_, IRP_MJ_CLEANUP, 0, nullptr, STATUS_NOT_SUPPORTED).status, STATUS_NOT_SUPPORTED);
  khost::Pnp().SurpriseRemove(node);
  EXPECT_EQ(Bus()->ChildCallback, nullptr);
  EXPECT_FALSE(sample_->HoldsLink) << "its device is still there";
  EXPECT_EQ(Put(MessageRecord(NETBUS_MSG_TAG, 1, Payload(4))), STATUS_UNSUCCESSFUL);
  khost::Pnp().CompleteSurpriseRemoval(node);
}

}  // namespace
