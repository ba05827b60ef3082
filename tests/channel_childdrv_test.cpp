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

TEST_F(SampleChildDriver, SendsUnregisterWhenItsChildIsSurpriseRemovedBeforeItsDeviceGoes) {
  khost::DevNode* node = bus_->ChildNode(1);
  khost::Pnp().SurpriseRemove(node);
  EXPECT_EQ(Bus()->ChildCallback, nullptr);
  EXPECT_FALSE(sample_->HoldsLink) << "its device is still there";
  EXPECT_EQ(Put(MessageRecord(NETBUS_MSG_TAG, 1, Payload(4))), STATUS_UNSUCCESSFUL);
  khost::Pnp().CompleteSurpriseRemoval(node);
}

}  // namespace
