// The bus in Plug and Play: how it reports its children and when an unplugged
// child may be deleted, the stop and removal queries an open handle vetoes,
// their cancellation, and removal in the orders Windows and Wine send it.
#include <algorithm>

#include "bus_fixture.h"

class RelationsTest : public BusTest {};

TEST_F(RelationsTest, AnswerPutsIncomingEntriesFirstThenPresentChildrenInPlugInOrderReferencedOnce) {
  Boot();
  TraceMask = 0x100;
  PDEVICE_OBJECT above1 = node_->pdo, above2 = fdo_;  // entries of a driver above: any devices will do
  // Without children the incoming list goes down as it came; without one either, the answer is empty.
  PDEVICE_RELATIONS incoming = MakeList({above1});
  khost::RequestResult result = QueryRelations(incoming);
  EXPECT_EQ(result.status, STATUS_SUCCESS) << "the status the driver above set";
  ASSERT_EQ(result.information, reinterpret_cast<ULONG_PTR>(incoming));
  EXPECT_EQ(TakeList(result.information), (std::vector<PDEVICE_OBJECT>{above1}));
  result = QueryRelations();
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_TRUE(TakeList(result.information).empty());

  for (ULONG serial : {4u, 1u, 3u, 2u}) ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS);
  Enumerate();
  // Other relation types are not the bus's to answer: they go down as they came.
  for (DEVICE_RELATION_TYPE type : {EjectionRelations, PowerRelations, RemovalRelations}) {
    auto setup = [type](PIRP, PIO_STACK_LOCATION stack) { stack->Parameters.QueryDeviceRelations.Type = type; };
    result = khost::SendIrp(node_->pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, setup, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED) << "type " << type;
    EXPECT_EQ(result.information, 0u) << "type " << type;
  }
  ASSERT_EQ(Unplug(3), STATUS_SUCCESS);
  const std::vector<PDEVICE_OBJECT> listed = {Keep(4), Keep(1), Keep(2)};
  const std::vector<PDEVICE_OBJECT> all = {above1, above2, listed[0], listed[1], listed[2], Keep(3)};
  auto refs = [&all] {
    std::vector<LONG_PTR> counts;
    for (PDEVICE_OBJECT device : all) counts.push_back(khost::ReferenceCount(device));
    return counts;
  };
  const std::vector<LONG_PTR> before = refs();
  // An answer that cannot be allocated fails and leaves everything as it was.
  for (bool withIncoming : {false, true}) {
    incoming = withIncoming ? MakeList({above1, above2}) : nullptr;
    khost::FailNth(khost::FaultPoint::PoolAllocation, 1, NonPagedPool);
    result = QueryRelations(incoming);
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(result.information, reinterpret_cast<ULONG_PTR>(incoming));
    if (incoming) TakeList(result.information);  // still the list the driver above put there
    EXPECT_EQ(refs(), before) << "after a failed answer " << (withIncoming ? "with" : "without") << " a list";
    EXPECT_FALSE(Child(3)->ReportedMissing);
  }
  EXPECT_EQ(khost::InjectedFailures(), 2u);

  std::vector<std::pair<ULONG_PTR, std::vector<PDEVICE_OBJECT>>> answers;
  for (bool withIncoming : {false, true}) {
    SCOPED_TRACE(withIncoming ? "with an incoming list" : "without an incoming list");
    incoming = withIncoming ? MakeList({above1, above2}) : nullptr;
    result = QueryRelations(incoming);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    std::vector<PDEVICE_OBJECT> expected = listed;
    if (withIncoming) expected.insert(expected.begin(), {above1, above2});
    // The bus's own non-paged list, sized for its entries; a list it replaced is freed.
    const khost::PoolBlock block = Block(result.information);
    EXPECT_EQ(block.bytes, sizeof(DEVICE_RELATIONS) + expected.size() * sizeof(PDEVICE_OBJECT));
    EXPECT_EQ(block.tag, VELMORA_POOL_TAG);
    EXPECT_EQ(block.type, NonPagedPoolNx);
    EXPECT_TRUE(!incoming || !Block(reinterpret_cast<ULONG_PTR>(incoming)).address) << "the replaced list is kept";
    answers.emplace_back(result.information, expected);
  }
  // One reference per listed child and answer; none on entries the bus did not write.
  EXPECT_EQ(refs(), (std::vector<LONG_PTR>{before[0] + 1, before[1] + 1, before[2] + 2, before[3] + 2, before[4] + 2,
                                           before[5]}));
  EXPECT_TRUE(Child(3)->ReportedMissing) << "the answer left the unplugged child out without marking it";
  EXPECT_TRUE(Traced("Velmora===: PDOS present = 4\tPDOs reported = 3\n"));
  for (const auto& [answer, expected] : answers) EXPECT_EQ(TakeList(answer), expected);
  EXPECT_EQ(refs(), before);

  // With children, all of them unplugged, the answer is still the bus's own: the
  // incoming entries alone, and every child marked as left out.
  ASSERT_EQ(Unplug(0), STATUS_SUCCESS);
  incoming = MakeList({above1});
  result = QueryRelations(incoming);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_NE(result.information, reinterpret_cast<ULONG_PTR>(incoming)) << "the incoming list went down as it came";
  EXPECT_EQ(TakeList(result.information), (std::vector<PDEVICE_OBJECT>{above1}));
  for (ULONG serial : {4u, 1u, 2u}) EXPECT_TRUE(Child(serial)->ReportedMissing) << serial;
}

// The manager removes a disabled child a second time once it is reported
// missing, so a removal deletes a child only after an answer left it out.
TEST_F(RelationsTest, DisabledChildIsDeletedOnlyOnceAnAnswerLeftItOut) {
  Boot();
  for (ULONG serial : {1u, 2u}) ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS);
  Enumerate();
  PDEVICE_OBJECT first = Keep(1), second = Keep(2);
  khost::DevNode* firstNode = ChildNode(1);
  ASSERT_EQ(Pnp().Disable(firstNode), STATUS_SUCCESS);
  EXPECT_FALSE(khost::DeviceDeleted(first)) << "a disabled child still plugged in was deleted";
  ASSERT_EQ(Unplug(2), STATUS_SUCCESS);  // the manager has not looked yet
  ASSERT_EQ(Pnp().Disable(ChildNode(2)), STATUS_SUCCESS);
  EXPECT_FALSE(khost::DeviceDeleted(second)) << "deleted before any answer left it out";
  TakeList(QueryRelations().information);
  EXPECT_FALSE(khost::DeviceDeleted(second)) << "deleted by the answer although the manager knows it";
  Enumerate();
  EXPECT_TRUE(khost::DeviceDeleted(second));
  EXPECT_TRUE(Ext(first)->Reported) << "still plugged in, so listed again";
  EXPECT_EQ(ChildNodes(), (std::vector<khost::DevNode*>{firstNode}));
  ASSERT_EQ(Unplug(1), STATUS_SUCCESS);
  Enumerate();
  EXPECT_TRUE(khost::DeviceDeleted(first));
  EXPECT_TRUE(ChildNodes().empty());
}

class BusPnpTest : public BusTest {};

TEST_F(BusPnpTest, OpenHandleVetoesStopAndRemovalCancelRestoresAndRemovalDeletesEveryChild) {
  Boot();
  TraceMask = 0x100;
  for (ULONG serial : {1u, 2u}) ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS);
  Enumerate();
  EXPECT_EQ(Pnp().Rebalance(node_), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Traced("Velmora===: OpenHandleCount=1!"));
  // The manager itself vetoes removing a device with a handle open on it: the bus is asked nothing.
  for (bool disable : {false, true})
    EXPECT_EQ(disable ? Pnp().Disable(node_) : Pnp().Remove(node_), khost::kQueryRemoveVetoed);
  EXPECT_FALSE(Traced("Velmora===: OpenHandleCount=1"));
  // The bus's own refusal, asked directly.
  EXPECT_EQ(Pnp().Send(node_, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(Traced("Velmora===: OpenHandleCount=1"));
  EXPECT_EQ(Pnp().Send(node_, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
  // A cancel after a refused query changes nothing.
  EXPECT_EQ(Bus()->Header.PnpState, StateStarted);
  EXPECT_EQ(Bus()->Header.PreviousPnpState, StateNotStarted);
  HANDLE event = bus_->Service().CreateEvent(true, false);
  LONG value = static_cast<LONG>(reinterpret_cast<LONG_PTR>(event));
  ASSERT_EQ(bus_->Control(service_, IOCTL_CORVANE_PASS_EVENT, &value, sizeof(value)), STATUS_SUCCESS);
  CloseService();

  // A cancel restores the state before the query.
  for (auto [query, cancel, pending] :
       {std::tuple(IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, StateStopPending),
        std::tuple(IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, StateRemovePending)}) {
    ASSERT_EQ(Pnp().Send(node_, query).status, STATUS_SUCCESS);
    EXPECT_EQ(Bus()->Header.PnpState, pending);
    EXPECT_EQ(Pnp().Send(node_, cancel).status, STATUS_SUCCESS);
    EXPECT_EQ(Bus()->Header.PnpState, StateStarted) << "cancel of " << query;
    EXPECT_EQ(Bus()->Header.PreviousPnpState, StateStarted);
  }
  EXPECT_EQ(Pnp().Rebalance(node_), STATUS_SUCCESS);
  EXPECT_EQ(Bus()->Header.PreviousPnpState, StateStopped);

  // Windows removes the children first, then the bus: whether listed, unplugged
  // or never listed, each child goes, and no answer is asked for.
  ASSERT_EQ(KernelControl(IOCTL_NETBUS_PLUG_OUT, velmora_test::UnplugRecord(2)).status, STATUS_SUCCESS);
  ASSERT_EQ(KernelControl(IOCTL_NETBUS_PLUG_IN, PlugInBytes(3, Ids({kNetId}))).status, STATUS_SUCCESS);
  const std::vector<PDEVICE_OBJECT> pdos = {Keep(1), Keep(2), Keep(3)};
  const PKEVENT object = Bus()->UserEvent;
  const LONG_PTR eventRefs = khost::ReferenceCount(object);
  const size_t pending = Pending();
  ASSERT_EQ(Pnp().Remove(node_), STATUS_SUCCESS);
  node_ = nullptr;
  EXPECT_EQ(Pending(), pending) << "final removal asked for an answer";
  for (PDEVICE_OBJECT pdo : pdos) EXPECT_TRUE(khost::DeviceDeleted(pdo)) << Ext(pdo)->SerialNo;
  EXPECT_EQ(khost::ReferenceCount(object), eventRefs - 1) << "the bus kept its reference on the service's event";
  EXPECT_EQ(khost::LookupDevice(u"\\??\\Olvex"), nullptr) << "the link outlived the bus";
}

// Surprise removal of the bus, then its removal: as Windows sends them (once the
// service has closed its handle) and as Wine does (at once).
class SurpriseRemovalTest : public BusTest, public ::testing::WithParamInterface<khost::RemovalStyle> {};

TEST_P(SurpriseRemovalTest, ListedChildrenAreDetachedUnlistedOnesDeletedAndAnAnswerAskedOnce) {
  Boot();
  for (ULONG serial : {1u, 2u, 3u, 5u, 6u}) ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS);
  Enumerate();
  ASSERT_EQ(ChildNodes().size(), 5u);  // the test's own answers below would hide children from the manager
  ASSERT_EQ(Unplug(5), STATUS_SUCCESS);                    // left out by an answer, its removal not yet come
  TakeList(QueryRelations().information);
  ASSERT_EQ(PlugIn(4), STATUS_SUCCESS);                    // never listed
  ASSERT_EQ(Unplug(2), STATUS_SUCCESS);                    // listed, unplugged, its removal not yet come
  ASSERT_EQ(Pnp().Disable(ChildNode(3)), STATUS_SUCCESS);  // not listed since its removal
  ASSERT_EQ(Pnp().Disable(ChildNode(6)), STATUS_SUCCESS);
  ASSERT_EQ(Pnp().Enable(ChildNode(6)), STATUS_SUCCESS);   // started again, with no answer since
  PDEVICE_OBJECT listed1 = Keep(1), listed2 = Keep(2), disabled3 = Keep(3), unlisted4 = Keep(4), missing5 = Keep(5),
                 enabled6 = Keep(6);
  const size_t pending = Pending();
  std::vector<std::string> order;
  for (const char* point : {"invalidate-relations", "delete-device"})
    khost::SetHook(point, [&order, point] { order.push_back(point); });
  Pnp().SurpriseRemove(node_);
  khost::ClearHooks();
  EXPECT_EQ(Pending(), pending + 1) << "detaching asks for one answer, however many";
  EXPECT_EQ(order, (std::vector<std::string>{"invalidate-relations", "delete-device", "delete-device"}))
      << "the manager hears of the detached children before the others are deleted";
  for (PDEVICE_OBJECT pdo : {listed1, listed2, missing5, enabled6})
    EXPECT_TRUE(!khost::DeviceDeleted(pdo) && !Ext(pdo)->ParentFdo && IsListEmpty(&Ext(pdo)->Link)) << "not detached";
  EXPECT_TRUE(khost::DeviceDeleted(disabled3) && Ext(disabled3)->Deleted);
  EXPECT_TRUE(khost::DeviceDeleted(unlisted4));
  EXPECT_EQ(Bus()->ChildCount, 4u) << "detached children still count until their removal";
  EXPECT_TRUE(std::all_of(std::begin(Bus()->SerialBuckets), std::end(Bus()->SerialBuckets),
                          [](const LIST_ENTRY& bucket) { return IsListEmpty(&bucket); }))
      << "a child off the list is still found by its serial number";
  EXPECT_EQ(Enumerate(), 0) << "a surprise-removed bus is asked nothing";

  const CHILD_EXTENSION before = *Ext(disabled3);
  if (GetParam() == khost::RemovalStyle::Windows) {
    // Windows removes a surprise-removed device once the last handle on it is closed.
    EXPECT_FALSE(Pnp().CompleteSurpriseRemoval(node_)) << "removed while the service holds the bus open";
    EXPECT_FALSE(khost::DeviceDeleted(listed1));
    EXPECT_TRUE(node_->removalPending);
    CloseService();
  } else {
    EXPECT_TRUE(Pnp().CompleteSurpriseRemoval(node_, GetParam()));
  }
  node_ = nullptr;
  EXPECT_TRUE(khost::DeviceDeleted(listed1)) << "a detached child is deleted by its own removal";
  EXPECT_TRUE(khost::DeviceDeleted(listed2) && khost::DeviceDeleted(missing5) && khost::DeviceDeleted(enabled6));
  EXPECT_EQ(std::memcmp(&before, Ext(disabled3), sizeof(before)), 0) << "a late removal changed a deleted child";
}

BUS_IN_BOTH_REMOVAL_ORDERS(SurpriseRemovalTest);

// Removal waits on the remove lock for a request already inside its handler and
// sweeps up what it added; a request caught between the state test and the lock
// is refused, and nothing of it runs.
class RemovalWaitsTest : public BusTest, public ::testing::WithParamInterface<khost::RemovalStyle> {};

TEST_P(RemovalWaitsTest, ForARequestInsideItsHandlerAndRefusesOneCaughtAtTheLock) {
  Boot();
  TraceMask = 0x100;
  ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
  Enumerate();
  PDEVICE_OBJECT listed = Keep(1);
  const ULONG* state = reinterpret_cast<const ULONG*>(&Bus()->Header.PnpState);
  khost::RequestResult inside, caught;
  HeldThread insider("create-device",
                     [&] { inside = KernelControl(IOCTL_NETBUS_PLUG_IN, PlugInBytes(9, Ids({kNetId}))); });
  ASSERT_TRUE(insider.WaitUntilHeld()) << "the plug-in never reached device creation";
  HeldThread latecomer("remove-lock-acquire",
                       [&] { caught = KernelControl(IOCTL_NETBUS_PLUG_IN, PlugInBytes(10, Ids({kNetId}))); });
  ASSERT_TRUE(latecomer.WaitUntilHeld()) << "the request never reached the remove lock";
  const uint64_t creates = Creates();
  CloseService();  // Windows removes only a bus nobody holds open
  std::atomic<bool> removed{false};
  std::thread watcher([&] {
    // Removal has set the deleted state and released its own hold on the lock.
    for (int ms = 0; __atomic_load_n(state, __ATOMIC_ACQUIRE) != ULONG(StateDeleted) && ms < 10000; ++ms)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(*state, ULONG(StateDeleted));
    EXPECT_TRUE(khost::DeviceDeleted(listed) || !Ext(listed)->ParentFdo) << "the children left only after the wait";
    // A child driver still linked pushes a record after the first drain: the last sweep frees it.
    uint8_t record[12] = {NETBUS_MSG_TAG, MSG_SEND_DATA, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4};
    EXPECT_EQ(netBusCallback(reinterpret_cast<PNETBUS_MESSAGE>(record), Bus()), STATUS_SUCCESS);
    latecomer.Join();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(removed) << "removal did not wait for the request inside its handler";
    EXPECT_NE(khost::LookupDevice(u"\\??\\Olvex"), nullptr) << "the link went before the wait ended";
    insider.Join();
  });
  const NTSTATUS removal = Pnp().Remove(node_, GetParam());
  removed = true;
  watcher.join();
  ASSERT_EQ(removal, STATUS_SUCCESS);
  node_ = nullptr;
  EXPECT_EQ(inside.status, STATUS_SUCCESS) << "the request inside finished normally";
  EXPECT_EQ(caught.status, STATUS_DELETE_PENDING);
  EXPECT_EQ(caught.information, 0u);
  EXPECT_EQ(Creates(), creates + 1) << "the caught plug-in ran";
  EXPECT_TRUE(Traced("Velmora===: Device delete pending !"));
  EXPECT_EQ(khost::Objects().undeletedDevices, 0u) << "the child linked during removal survived it";
}

BUS_IN_BOTH_REMOVAL_ORDERS(RemovalWaitsTest);

// What the root device below the bus receives of each request the manager
// sends the bus: what it passes down, what it forwards and waits for, and what
// it keeps to itself. A request goes down with the status the platform wants
// there: success for what the bus agreed to, the manager's own status for what
// the bus does not handle; a power request after the next has been started.
class LowerDeviceTest : public BusTest {};

TEST_F(LowerDeviceTest, ReceivesWhatTheBusPassesDownWithTheStatusThePlatformRequires) {
  using Seen = std::vector<std::tuple<UCHAR, UCHAR, NTSTATUS>>;
  static constexpr NTSTATUS kNone = STATUS_NOT_SUPPORTED, kOk = STATUS_SUCCESS;
  Boot();
  size_t mark = 0;
  auto since = [&] {
    Seen seen;
    const std::vector<khost::LowerRequest> all = Pnp().LowerRequests(node_);
    for (size_t i = mark; i < all.size(); ++i) {
      seen.emplace_back(all[i].major, all[i].minor, all[i].arrivedWith);
      EXPECT_EQ(all[i].irql, PASSIVE_LEVEL);
      if (all[i].major == IRP_MJ_POWER) {
        EXPECT_TRUE(all[i].startNextPowerCalled) << "minor " << int(all[i].minor);
      }
    }
    mark = all.size();
    return seen;
  };
  auto pnp = [](UCHAR minor, NTSTATUS status) { return std::make_tuple(UCHAR(IRP_MJ_PNP), minor, status); };
  auto power = [](UCHAR minor) { return std::make_tuple(UCHAR(IRP_MJ_POWER), minor, kNone); };
  auto send = [&](UCHAR minor, DEVICE_RELATION_TYPE type = BusRelations) {
    return [&, minor, type] {
      khost::RequestResult result = Pnp().Send(node_, minor, [type](PIRP, PIO_STACK_LOCATION s) {
        s->Parameters.QueryDeviceRelations.Type = type;
      });
      if (minor == IRP_MN_QUERY_DEVICE_RELATIONS && type == BusRelations) TakeList(result.information);
    };
  };
  // The start the manager sent at boot, with what surrounds it: the empty
  // relations answer goes down as the bus's success.
  const Seen boot = since();
  ASSERT_EQ(boot.size(), 7u);
  EXPECT_EQ(Seen(boot.begin() + 3, boot.end()),
            (Seen{pnp(IRP_MN_FILTER_RESOURCE_REQUIREMENTS, kNone), pnp(IRP_MN_START_DEVICE, kNone),
                  pnp(IRP_MN_QUERY_PNP_DEVICE_STATE, kNone), pnp(IRP_MN_QUERY_DEVICE_RELATIONS, kOk)}));
  const std::vector<std::tuple<const char*, std::function<void()>, Seen>> cases = {
      // With the service's handle open the bus refuses both queries: they never go down, the cancels do.
      {"refused query-stop", send(IRP_MN_QUERY_STOP_DEVICE), Seen{}},
      {"cancel-stop after a refusal", send(IRP_MN_CANCEL_STOP_DEVICE), Seen{pnp(IRP_MN_CANCEL_STOP_DEVICE, kNone)}},
      {"refused query-remove", send(IRP_MN_QUERY_REMOVE_DEVICE), Seen{}},
      {"cancel-remove after a refusal", send(IRP_MN_CANCEL_REMOVE_DEVICE),
       Seen{pnp(IRP_MN_CANCEL_REMOVE_DEVICE, kNone)}},
      {"unhandled minors", [&] {
         for (int minor : {IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCES,
                             IRP_MN_QUERY_RESOURCE_REQUIREMENTS, IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_ID,
                             IRP_MN_QUERY_BUS_INFORMATION, IRP_MN_DEVICE_USAGE_NOTIFICATION, 0x18})
           send(UCHAR(minor))();
         send(IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations)();
       },
       Seen{pnp(IRP_MN_QUERY_INTERFACE, kNone), pnp(IRP_MN_QUERY_RESOURCES, kNone), pnp(IRP_MN_QUERY_RESOURCE_REQUIREMENTS, kNone),
            pnp(IRP_MN_QUERY_DEVICE_TEXT, kNone), pnp(IRP_MN_QUERY_ID, kNone),
            pnp(IRP_MN_QUERY_BUS_INFORMATION, kNone), pnp(IRP_MN_DEVICE_USAGE_NOTIFICATION, kNone),
            pnp(0x18, kNone), pnp(IRP_MN_QUERY_DEVICE_RELATIONS, kNone)}},
      {"an incoming list and no child", [&] { TakeList(QueryRelations(MakeList({node_->pdo})).information); },
       Seen{pnp(IRP_MN_QUERY_DEVICE_RELATIONS, kOk)}},
      {"sleep and wake", [] { khost::SetSystemPowerState(PowerSystemSleeping3), khost::SetSystemPowerState(PowerSystemWorking); },
       Seen{power(IRP_MN_QUERY_POWER), power(IRP_MN_SET_POWER), power(IRP_MN_SET_POWER)}},
      {"accepted query-stop", [&] { CloseService(), send(IRP_MN_QUERY_STOP_DEVICE)(); },
       Seen{pnp(IRP_MN_QUERY_STOP_DEVICE, kOk)}},
      {"cancel-stop, forwarded first", send(IRP_MN_CANCEL_STOP_DEVICE), Seen{pnp(IRP_MN_CANCEL_STOP_DEVICE, kNone)}},
      {"accepted query-remove", send(IRP_MN_QUERY_REMOVE_DEVICE), Seen{pnp(IRP_MN_QUERY_REMOVE_DEVICE, kOk)}},
      {"cancel-remove, forwarded first", send(IRP_MN_CANCEL_REMOVE_DEVICE),
       Seen{pnp(IRP_MN_CANCEL_REMOVE_DEVICE, kNone)}},
      {"rebalance", [&] { EXPECT_EQ(Pnp().Rebalance(node_), STATUS_SUCCESS); },
       Seen{pnp(IRP_MN_QUERY_STOP_DEVICE, kOk), pnp(IRP_MN_STOP_DEVICE, kOk),
            pnp(IRP_MN_FILTER_RESOURCE_REQUIREMENTS, kNone), pnp(IRP_MN_START_DEVICE, kNone),
            pnp(IRP_MN_QUERY_PNP_DEVICE_STATE, kNone), pnp(IRP_MN_QUERY_DEVICE_RELATIONS, kOk)}},
      {"surprise removal", [&] { Pnp().SurpriseRemove(node_); }, Seen{pnp(IRP_MN_SURPRISE_REMOVAL, kOk)}},
  };
  for (const auto& [name, act, expected] : cases) {
    act();
    EXPECT_EQ(since(), expected) << name;
  }
  // The removal follows at once (no handle is open); the root device's own
  // check holds it to success, as it did the surprise removal.
  EXPECT_TRUE(Pnp().CompleteSurpriseRemoval(node_));
  node_ = nullptr;
}

// Disabling the bus is a removal of its subtree that leaves the bus's node in
// place: vetoed by the manager while the service holds the bus open, otherwise
// every child goes with it.
TEST_F(BusPnpTest, DisablingTheBusRemovesItsChildrenFirstUnlessAHandleIsOpen) {
  Boot();
  for (ULONG serial : {1u, 2u}) ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS);
  Enumerate();
  const std::vector<PDEVICE_OBJECT> pdos = {Keep(1), Keep(2)};
  const std::vector<khost::DevNode*> children = ChildNodes();
  const size_t asked = node_->history.size();
  EXPECT_EQ(Pnp().Disable(node_), khost::kQueryRemoveVetoed);
  EXPECT_EQ(node_->history.size(), asked + 1) << "the bus was asked although the manager vetoed";
  for (khost::DevNode* child : children) EXPECT_EQ(child->state, khost::DevNodeState::Started);
  CloseService();
  ASSERT_EQ(Pnp().Disable(node_), STATUS_SUCCESS);
  EXPECT_EQ(node_->state, khost::DevNodeState::Disabled);
  EXPECT_TRUE(ChildNodes().empty());
  for (PDEVICE_OBJECT pdo : pdos) EXPECT_TRUE(khost::DeviceDeleted(pdo)) << Ext(pdo)->SerialNo;
}
