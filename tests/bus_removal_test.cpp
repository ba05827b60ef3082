// The bus going away: which children final removal deletes and which it
// leaves to their own removal, surprise removal followed by removal in the
// order Windows sends them and in the order Wine does, a removal that must
// wait for a request still inside its handler, and what removal sweeps up.
#include "bus_fixture.h"

using namespace bus_test;

class BusRemovalTest : public BusTest {
 protected:
  // A child's device object, referenced so the test can still look at it once
  // the driver and the manager are done with it.
  PDEVICE_OBJECT Keep(ULONG serial) {
    PDEVICE_OBJECT pdo = Child(serial)->Header.Self;
    ObfReferenceObject(pdo);
    kept_.push_back(pdo);
    return pdo;
  }
  static PCHILD_EXTENSION Ext(PDEVICE_OBJECT pdo) { return static_cast<PCHILD_EXTENSION>(pdo->DeviceExtension); }
  static bool Detached(PDEVICE_OBJECT pdo) {
    PCHILD_EXTENSION child = Ext(pdo);
    return !khost::DeviceDeleted(pdo) && child->ParentFdo == nullptr && child->Link.Flink == &child->Link &&
           child->Link.Blink == &child->Link;
  }
  void EndScenario() override {
    BusTest::EndScenario();
    for (PDEVICE_OBJECT pdo : kept_) ObfDereferenceObject(pdo);
    kept_.clear();
  }
  std::vector<PDEVICE_OBJECT> kept_;
};

TEST_F(BusRemovalTest, NeverListedChildrenAreDeletedWithoutAskingForAnAnswer) {
  Boot();
  TraceMask = 0x100;
  ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
  ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
  PDEVICE_OBJECT first = Keep(1), second = Keep(2);
  const size_t pending = khost::Pnp().PendingInvalidations();
  CloseService();

  ASSERT_EQ(khost::Pnp().Remove(node_), STATUS_SUCCESS);
  NodeRemoved();
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), pending) << "final removal asked for an answer";
  EXPECT_TRUE(khost::DeviceDeleted(first));
  EXPECT_TRUE(khost::DeviceDeleted(second));
  EXPECT_EQ(PoolTagged(VELMORA_POOL_TAG), 0u) << "a child's hardware IDs outlived it";
  EXPECT_EQ(khost::Pnp().ProcessInvalidations(), 0) << "an answer was asked of a removed bus";
}

TEST_F(BusRemovalTest, ChildrenRemovedBeforeTheBusAreDeletedByItWithoutAskingForAnAnswer) {
  Boot();
  ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
  ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
  Enumerate();
  ASSERT_EQ(ChildNodes().size(), 2u);
  PDEVICE_OBJECT first = Keep(1), second = Keep(2);
  ASSERT_EQ(Unplug(2), STATUS_SUCCESS);  // unplugged, but no answer has left it out yet
  const size_t pending = khost::Pnp().PendingInvalidations();
  CloseService();

  // Windows removes the children first: each is still listed, so it stays.
  ASSERT_EQ(khost::Pnp().Remove(node_), STATUS_SUCCESS);
  NodeRemoved();
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), pending) << "no child was listed any more";
  EXPECT_TRUE(khost::DeviceDeleted(first));
  EXPECT_TRUE(khost::DeviceDeleted(second));
}

// Surprise removal of the bus, then its removal: as Windows sends them (the
// removal once the service has closed its handle) and as Wine does (at once).
class SurpriseRemovalTest : public BusRemovalTest, public ::testing::WithParamInterface<khost::RemovalStyle> {};

TEST_P(SurpriseRemovalTest, ListedChildrenAreDetachedUnlistedOnesDeletedAndAnAnswerAskedOnce) {
  const bool wine = GetParam() == khost::RemovalStyle::Wine;
  Boot();
  ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
  ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
  Enumerate();
  ASSERT_EQ(PlugIn(3), STATUS_SUCCESS);  // never listed
  ASSERT_EQ(PlugIn(4), STATUS_SUCCESS);
  ASSERT_EQ(Unplug(2), STATUS_SUCCESS);  // listed, unplugged, its removal not yet come
  PDEVICE_OBJECT listed1 = Keep(1), listed2 = Keep(2), unlisted3 = Keep(3), unlisted4 = Keep(4);
  const size_t pending = khost::Pnp().PendingInvalidations();

  khost::Pnp().SurpriseRemove(node_);
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), pending + 1) << "detaching asks for one answer, however many";
  EXPECT_TRUE(Detached(listed1));
  EXPECT_TRUE(Detached(listed2));
  EXPECT_TRUE(Ext(listed1)->Present);
  EXPECT_FALSE(Ext(listed2)->Present);
  EXPECT_EQ(Ext(listed1)->Header.PnpState, StateSurpriseRemoved) << "the manager told the child first";
  EXPECT_TRUE(khost::DeviceDeleted(unlisted3));
  EXPECT_TRUE(khost::DeviceDeleted(unlisted4));
  EXPECT_TRUE(Children().empty());
  EXPECT_EQ(Bus()->ChildCount, 2u) << "detached children still count until their removal";
  EXPECT_EQ(Bus()->Header.PnpState, StateSurpriseRemoved);
  EXPECT_EQ(PlugIn(5), STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_NE(khost::LookupDevice(u"\\??\\Olvex"), nullptr) << "the device stays until its removal";
  EXPECT_EQ(khost::Pnp().ProcessInvalidations(), 0) << "a surprise-removed bus is asked nothing";

  if (!wine) CloseService();  // Windows sends the removal once the last handle is closed
  khost::Pnp().CompleteSurpriseRemoval(node_);
  NodeRemoved();
  EXPECT_TRUE(khost::DeviceDeleted(listed1)) << "a detached child is deleted by its own removal";
  EXPECT_TRUE(khost::DeviceDeleted(listed2));
  EXPECT_EQ(khost::LookupDevice(u"\\??\\Olvex"), nullptr);
  EXPECT_EQ(PoolTagged(VELMORA_POOL_TAG), 0u);
}

TEST_P(SurpriseRemovalTest, WholeRemovalLeavesNothing) {
  Boot();
  ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
  Enumerate();
  ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
  if (GetParam() == khost::RemovalStyle::Windows) {
    khost::Pnp().SurpriseRemove(node_);
    CloseService();
    khost::Pnp().CompleteSurpriseRemoval(node_);
  } else {
    EXPECT_EQ(khost::Pnp().Remove(node_, khost::RemovalStyle::Wine), STATUS_SUCCESS);
  }
  NodeRemoved();
  EXPECT_EQ(khost::Objects().undeletedDevices, 0u);
  // The service's handle, if still open, closes on a bus that is gone.
  CloseService();
}

INSTANTIATE_TEST_SUITE_P(Orders, SurpriseRemovalTest,
                         ::testing::Values(khost::RemovalStyle::Windows, khost::RemovalStyle::Wine),
                         [](const ::testing::TestParamInfo<khost::RemovalStyle>& info) {
                           return info.param == khost::RemovalStyle::Wine ? "Wine" : "Windows";
                         });

TEST_F(BusRemovalTest, DisabledChildDeletedWithTheBusIgnoresItsLateRemoval) {
  Boot();
  ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
  Enumerate();
  PDEVICE_OBJECT pdo = Keep(1);
  khost::DevNode* child = ChildNode(Ext(pdo));
  ASSERT_EQ(khost::Pnp().Disable(child), STATUS_SUCCESS);
  ASSERT_FALSE(Ext(pdo)->Reported);

  // Not listed since its removal: the bus's surprise removal deletes it ...
  khost::Pnp().SurpriseRemove(node_);
  EXPECT_TRUE(khost::DeviceDeleted(pdo));
  EXPECT_TRUE(Ext(pdo)->Deleted);
  const CHILD_EXTENSION before = *Ext(pdo);
  // ... and the removal the manager still sends it must touch nothing.
  CloseService();
  khost::Pnp().CompleteSurpriseRemoval(node_);
  NodeRemoved();
  EXPECT_EQ(std::memcmp(&before, Ext(pdo), sizeof(before)), 0) << "the late removal changed the deleted child";
}

TEST_F(BusRemovalTest, RemovalDropsTheServicesEvent) {
  Boot();
  HANDLE event = Service().CreateEvent(true, false);
  LONG value = static_cast<LONG>(reinterpret_cast<LONG_PTR>(event));
  ASSERT_EQ(bus_->Control(service_, IOCTL_CORVANE_PASS_EVENT, &value, sizeof(value)), STATUS_SUCCESS);
  PKEVENT object = Bus()->UserEvent;
  ASSERT_NE(object, nullptr);
  const LONG_PTR held = khost::ReferenceCount(object);
  CloseService();
  ASSERT_EQ(khost::Pnp().Remove(node_), STATUS_SUCCESS);
  NodeRemoved();
  // The service still holds its handle; only the bus's reference is gone.
  EXPECT_EQ(khost::ReferenceCount(object), held - 1);
  Service().Close(event);
}

// Removal waits on the remove lock until a request already inside its handler
// returns; whatever that request added is swept up before the device goes.
class RemovalWaitsTest : public BusRemovalTest, public ::testing::WithParamInterface<khost::RemovalStyle> {};

TEST_P(RemovalWaitsTest, ForAPlugInInsideItsHandlerAndDeletesWhatItLinked) {
  const bool wine = GetParam() == khost::RemovalStyle::Wine;
  Boot();
  ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
  Enumerate();
  PBUS_EXTENSION bus = Bus();
  HoldPoint hold("create-device");
  NTSTATUS plugged = STATUS_PENDING;
  const std::vector<uint8_t> record = PlugInBytes(9, khost::JoinMultiSz({kNetId}));
  Joined sender(std::thread([&] {
                  HoldPoint::Arm();
                  // Windows removes only a bus nobody holds open, so there the
                  // request comes from a kernel component.
                  plugged = wine ? PlugInRecord(record) : KernelControl(IOCTL_NETBUS_PLUG_IN, record).status;
                }),
                &hold);
  ASSERT_TRUE(hold.WaitUntilHeld()) << "the plug-in never reached device creation";
  if (!wine) CloseService();

  std::atomic<bool> removed{false};
  Joined remover(std::thread([&] {
    khost::Pnp().Remove(node_, GetParam());
    removed = true;
  }));
  // Removal has set the deleted state and released its own hold on the lock.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (LoadState(bus->Header.PnpState) != StateDeleted && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(LoadState(bus->Header.PnpState), ULONG(StateDeleted));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(removed) << "removal did not wait for the request inside its handler";
  EXPECT_FALSE(khost::DeviceDeleted(fdo_));
  EXPECT_NE(khost::LookupDevice(u"\\??\\Olvex"), nullptr) << "the link went before the wait ended";
  // A request that arrives now is refused at the state test.
  EXPECT_EQ(KernelControl(IOCTL_NETBUS_PLUG_IN, PlugInBytes(10, khost::JoinMultiSz({kNetId}))).status,
            STATUS_DEVICE_NOT_CONNECTED);

  hold.Release();
  sender.Join();
  remover.Join();
  NodeRemoved();
  EXPECT_TRUE(removed);
  EXPECT_EQ(plugged, STATUS_SUCCESS) << "the request inside finished normally";
  EXPECT_EQ(khost::Objects().undeletedDevices, 0u) << "the child linked during removal survived it";
  EXPECT_EQ(PoolTagged(VELMORA_POOL_TAG), 0u);
}

INSTANTIATE_TEST_SUITE_P(Orders, RemovalWaitsTest,
                         ::testing::Values(khost::RemovalStyle::Windows, khost::RemovalStyle::Wine),
                         [](const ::testing::TestParamInfo<khost::RemovalStyle>& info) {
                           return info.param == khost::RemovalStyle::Wine ? "Wine" : "Windows";
                         });
