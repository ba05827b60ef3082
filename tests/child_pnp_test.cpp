// A child's Plug and Play life: the states it moves through, the requests it
// must leave alone, and every way it can be removed - still plugged in,
// unplugged, disabled before the manager heard it was gone, or cut off by
// the removal of the bus itself - each ending with the device deleted once.
#include <algorithm>

#include "child_fixture.h"

using namespace child_test;
using khost::RequestResult;

namespace {

constexpr NTSTATUS kDeviceNotReady = static_cast<NTSTATUS>(0xC00000A3L);

RequestResult Send(khost::DevNode* node, UCHAR minor, NTSTATUS arriving = STATUS_NOT_SUPPORTED,
                   ULONG_PTR information = 0, std::function<void(PIO_STACK_LOCATION)> more = nullptr) {
  return khost::Pnp().Send(node, minor, [&](PIRP irp, PIO_STACK_LOCATION stack) {
    irp->IoStatus.Status = arriving;
    irp->IoStatus.Information = information;
    if (more) more(stack);
  });
}

size_t Deletions() { return CountLines(khost::TraceLines(), "Velmora===>Pdo_Delete"); }

bool InPool(const void* address) {
  for (const khost::PoolBlock& block : khost::OutstandingPool())
    if (block.address == address) return true;
  return false;
}

size_t Count(const std::vector<std::string>& history, const std::string& prefix) {
  return std::count_if(history.begin(), history.end(),
                       [&](const std::string& h) { return h.rfind(prefix, 0) == 0; });
}

}  // namespace

class ChildPnpTest : public ChildTest {
 protected:
  // A started child, serial 7, with the passthrough driver above it.
  void StartSeven() {
    Boot();
    ASSERT_EQ(PlugIn(7), STATUS_SUCCESS);
    node_ = Node(7);
    ASSERT_NE(node_, nullptr) << khost::Pnp().Describe();
    pdo_ = node_->pdo;
    child_ = Ext(pdo_);
    ASSERT_EQ(child_->Header.PnpState, StateStarted);
  }
  khost::DevNode* node_ = nullptr;
  PDEVICE_OBJECT pdo_ = nullptr;
  PCHILD_EXTENSION child_ = nullptr;
};

// ------------------------------------------------------------------ states
struct Step {
  UCHAR minor;
  PNP_STATE state;
  PNP_STATE previous;
};
struct StateCase {
  const char* name;
  std::vector<Step> steps;  // from a started child (previous state NotStarted)
};

class ChildStateTableTest : public ChildPnpTest, public ::testing::WithParamInterface<StateCase> {};

TEST_P(ChildStateTableTest, EveryRequestSucceedsAndMovesTheStateAsTheTableSays) {
  StartSeven();
  for (const Step& step : GetParam().steps) {
    RequestResult result = Send(node_, step.minor);
    EXPECT_EQ(result.status, STATUS_SUCCESS) << "minor " << int(step.minor);
    EXPECT_EQ(result.information, 0u) << "minor " << int(step.minor);
    EXPECT_EQ(child_->Header.PnpState, step.state) << "after minor " << int(step.minor);
    EXPECT_EQ(child_->Header.PreviousPnpState, step.previous) << "after minor " << int(step.minor);
  }
  EXPECT_FALSE(khost::DeviceDeleted(pdo_));
}

constexpr UCHAR QS = IRP_MN_QUERY_STOP_DEVICE, CS = IRP_MN_CANCEL_STOP_DEVICE, STOP = IRP_MN_STOP_DEVICE,
                QR = IRP_MN_QUERY_REMOVE_DEVICE, CR = IRP_MN_CANCEL_REMOVE_DEVICE, START = IRP_MN_START_DEVICE,
                SR = IRP_MN_SURPRISE_REMOVAL;

INSTANTIATE_TEST_SUITE_P(
    Sequences, ChildStateTableTest,
    ::testing::Values(
        StateCase{"StopQueryCancelledFromStarted",
                  {{QS, StateStopPending, StateStarted}, {CS, StateStarted, StateStarted}}},
        StateCase{"RemoveQueryCancelledFromStarted",
                  {{QR, StateRemovePending, StateStarted}, {CR, StateStarted, StateStarted}}},
        StateCase{"StopThenRemoveQueryCancelledFromStopped",
                  {{QS, StateStopPending, StateStarted},
                   {STOP, StateStopped, StateStopPending},
                   {QR, StateRemovePending, StateStopped},
                   {CR, StateStopped, StateStopped},
                   {START, StateStarted, StateStopped}}},
        StateCase{"StopQueryCancelledFromStopped",
                  {{STOP, StateStopped, StateStarted},
                   {QS, StateStopPending, StateStopped},
                   {CS, StateStopped, StateStopped}}},
        StateCase{"CancelsWithoutTheirQueryChangeNothing",
                  {{CS, StateStarted, StateNotStarted}, {CR, StateStarted, StateNotStarted}}},
        StateCase{"CancelOfTheOtherKindChangesNothing",
                  {{QS, StateStopPending, StateStarted},
                   {CR, StateStopPending, StateStarted},
                   {CS, StateStarted, StateStarted},
                   {QR, StateRemovePending, StateStarted},
                   {CS, StateRemovePending, StateStarted},
                   {CR, StateStarted, StateStarted}}},
        StateCase{"SurpriseRemovalIsFinalForTheCancels",
                  {{SR, StateSurpriseRemoved, StateStarted},
                   {CR, StateSurpriseRemoved, StateStarted},
                   {CS, StateSurpriseRemoved, StateStarted}}},
        StateCase{"StartAndStopAreObeyedInAnyState",
                  {{QR, StateRemovePending, StateStarted},
                   {START, StateStarted, StateRemovePending},
                   {START, StateStarted, StateStarted},
                   {STOP, StateStopped, StateStarted},
                   {STOP, StateStopped, StateStopped}}}),
    [](const ::testing::TestParamInfo<StateCase>& info) { return std::string(info.param.name); });

TEST_F(ChildPnpTest, StartAfterAStopRestoresFullPower) {
  StartSeven();
  ASSERT_EQ(Send(node_, STOP).status, STATUS_SUCCESS);
  child_->DevicePowerState = PowerDeviceD3;  // as a power-down while stopped leaves it
  ASSERT_EQ(Send(node_, START).status, STATUS_SUCCESS);
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(child_->Header.PnpState, StateStarted);
  EXPECT_EQ(child_->Header.PreviousPnpState, StateStopped);
}

TEST_F(ChildPnpTest, RebalanceStopsAndRestartsTheChildUnderItsDriver) {
  StartSeven();
  size_t starts = Count(node_->history, "START_DEVICE -> 0");
  ASSERT_EQ(khost::Pnp().Rebalance(node_), STATUS_SUCCESS);
  EXPECT_EQ(Count(node_->history, "QUERY_STOP_DEVICE -> 0"), 1u);
  EXPECT_EQ(Count(node_->history, "STOP_DEVICE -> 0"), 1u);
  EXPECT_EQ(Count(node_->history, "START_DEVICE -> 0"), starts + 1);
  EXPECT_EQ(node_->state, khost::DevNodeState::Started);
  EXPECT_EQ(child_->Header.PnpState, StateStarted);
  EXPECT_EQ(child_->Header.PreviousPnpState, StateStopped);
  EXPECT_NE(PassthroughDeviceOn(pdo_), nullptr);
}

// ------------------------------------------------------------------ requests the child leaves alone
TEST_F(ChildPnpTest, RequestsThatAreNotTheChildsKeepTheirStatusAndInformation) {
  StartSeven();
  struct Arrival {
    NTSTATUS status;
    ULONG_PTR information;
  };
  const Arrival arrivals[] = {{STATUS_NOT_SUPPORTED, 0}, {STATUS_SUCCESS, 0x4440}, {kDeviceNotReady, 0x10}};
  const UCHAR minors[] = {IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCES, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                          IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0x0E, IRP_MN_READ_CONFIG, IRP_MN_WRITE_CONFIG,
                          IRP_MN_EJECT, IRP_MN_SET_LOCK, IRP_MN_QUERY_PNP_DEVICE_STATE,
                          IRP_MN_QUERY_BUS_INFORMATION, 0x18, 0x19, 0x1A, 0x40, 0xFF};
  size_t allocations = khost::PoolAllocationCount();
  for (const Arrival& a : arrivals) {
    for (UCHAR minor : minors) {
      RequestResult result = Send(node_, minor, a.status, a.information);
      EXPECT_EQ(result.status, a.status) << "minor " << int(minor);
      EXPECT_EQ(result.information, a.information) << "minor " << int(minor);
    }
    // Relations other than the target relation belong to drivers above.
    for (DEVICE_RELATION_TYPE type : {BusRelations, EjectionRelations, PowerRelations, RemovalRelations,
                                      SingleBusRelations, TransportRelations}) {
      RequestResult result = Send(node_, IRP_MN_QUERY_DEVICE_RELATIONS, a.status, a.information,
                                  [type](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = type; });
      EXPECT_EQ(result.status, a.status) << "relation type " << type;
      EXPECT_EQ(result.information, a.information) << "relation type " << type;
    }
    // No paging, hibernation or dump file on a virtual device, whatever the usage.
    for (DEVICE_USAGE_NOTIFICATION_TYPE usage : {DeviceUsageTypeUndefined, DeviceUsageTypePaging,
                                                 DeviceUsageTypeHibernation, DeviceUsageTypeDumpFile}) {
      for (BOOLEAN inPath : {TRUE, FALSE}) {
        RequestResult result = Send(node_, IRP_MN_DEVICE_USAGE_NOTIFICATION, a.status, a.information,
                                    [&](PIO_STACK_LOCATION s) {
                                      s->Parameters.UsageNotification.Type = usage;
                                      s->Parameters.UsageNotification.InPath = inPath;
                                    });
        EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << "usage " << usage;
        EXPECT_EQ(result.information, a.information) << "usage " << usage;
      }
    }
  }
  EXPECT_EQ(khost::PoolAllocationCount(), allocations);
  EXPECT_EQ(child_->Header.PnpState, StateStarted);
  EXPECT_EQ(child_->Header.PreviousPnpState, StateNotStarted);
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
}

TEST_F(ChildPnpTest, TargetRelationIsTheChildItselfWithOneReference) {
  StartSeven();
  const LONG_PTR references = khost::ReferenceCount(pdo_);
  RequestResult result = Send(node_, IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED, 0, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
  });
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(khost::ReferenceCount(pdo_), references + 1);
  PoolAnswer list = TakePoolAnswer(result.information);
  ASSERT_TRUE(list.fromPool);
  EXPECT_EQ(list.bytes, sizeof(DEVICE_RELATIONS));
  EXPECT_EQ(list.type, PagedPool);
  EXPECT_EQ(list.tag, VELMORA_POOL_TAG);
  DEVICE_RELATIONS relations;
  std::memcpy(&relations, list.content.data(), sizeof(relations));
  EXPECT_EQ(relations.Count, 1u);
  EXPECT_EQ(relations.Objects[0], pdo_);
  ObfDereferenceObject(pdo_);  // the manager's, with the list

  khost::FailNth(khost::FaultPoint::PoolAllocation, 1, PagedPool);
  result = Send(node_, IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED, 0x2220, [](PIO_STACK_LOCATION s) {
    s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation;
  });
  EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.information, 0x2220u);
  EXPECT_EQ(khost::ReferenceCount(pdo_), references);
  EXPECT_EQ(child_->Header.PnpState, StateStarted);
}

TEST_F(ChildPnpTest, RequestAbovePassiveLevelIsCompletedUntouched) {
  StartSeven();
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  struct Case {
    UCHAR minor;
    std::function<void(PIO_STACK_LOCATION)> setup;
  };
  const Case cases[] = {
      {IRP_MN_START_DEVICE, nullptr},
      {IRP_MN_QUERY_REMOVE_DEVICE, nullptr},
      {IRP_MN_REMOVE_DEVICE, nullptr},
      {IRP_MN_STOP_DEVICE, nullptr},
      {IRP_MN_SURPRISE_REMOVAL, nullptr},
      {IRP_MN_DEVICE_USAGE_NOTIFICATION, nullptr},
      {IRP_MN_QUERY_ID, [](PIO_STACK_LOCATION s) { s->Parameters.QueryId.IdType = BusQueryDeviceID; }},
      {IRP_MN_QUERY_DEVICE_TEXT,
       [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription; }},
      {IRP_MN_QUERY_DEVICE_RELATIONS,
       [](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = TargetDeviceRelation; }},
      {IRP_MN_QUERY_CAPABILITIES,
       [&caps](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; }},
  };
  const size_t allocations = khost::PoolAllocationCount();
  const LONG_PTR references = khost::ReferenceCount(pdo_);
  khost::TakeTraceLines();
  for (KIRQL irql : {KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
    for (const Case& c : cases) {
      RequestResult result;
      // Straight to the child: a driver above that raised the IRQL would send it so.
      khost::RunAtIrql(irql, [&] {
        result = khost::SendIrp(pdo_, IRP_MJ_PNP, c.minor,
                                [&](PIRP, PIO_STACK_LOCATION s) {
                                  if (c.setup) c.setup(s);
                                },
                                STATUS_NOT_SUPPORTED, KernelMode, false);
      });
      EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED) << "minor " << int(c.minor) << " at " << int(irql);
      EXPECT_EQ(result.information, 0u) << "minor " << int(c.minor) << " at " << int(irql);
      EXPECT_EQ(child_->Header.PnpState, StateStarted);
      EXPECT_EQ(child_->Header.PreviousPnpState, StateNotStarted);
      EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
      EXPECT_TRUE(child_->Reported);
    }
    EXPECT_EQ(CountLines(khost::TakeTraceLines(), "Velmora===: Runing at too high IRQL=" + std::to_string(irql) + ".\n"),
              std::size(cases));
  }
  EXPECT_EQ(khost::PoolAllocationCount(), allocations);
  EXPECT_EQ(khost::ReferenceCount(pdo_), references);
  EXPECT_FALSE(khost::DeviceDeleted(pdo_));
  EXPECT_EQ(caps.Address, 0u) << "the capabilities record was written";
  EXPECT_EQ(Listed(7), child_);
}

// ------------------------------------------------------------------ disable and re-enumeration
TEST_F(ChildPnpTest, DisabledChildStaysListedIsReportedAgainAndCanBeEnabled) {
  StartSeven();
  PWCHAR ids = child_->HardwareIds;
  ASSERT_EQ(khost::Pnp().Disable(node_), STATUS_SUCCESS);
  EXPECT_EQ(node_->state, khost::DevNodeState::Disabled);
  EXPECT_EQ(Count(node_->history, "QUERY_REMOVE_DEVICE -> 0"), 1u);
  EXPECT_EQ(Count(node_->history, "REMOVE_DEVICE -> 0"), 1u);

  // Still plugged in: the removal only resets it.
  EXPECT_FALSE(khost::DeviceDeleted(pdo_));
  EXPECT_EQ(PassthroughDeviceOn(pdo_), nullptr) << "the function driver should have gone";
  EXPECT_EQ(child_->Header.PnpState, StateNotStarted);
  EXPECT_EQ(child_->Header.PreviousPnpState, StateRemovePending);
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
  EXPECT_FALSE(child_->Reported);
  EXPECT_TRUE(child_->Present);
  EXPECT_EQ(child_->HardwareIds, ids);
  EXPECT_TRUE(InPool(ids));
  EXPECT_EQ(Listed(7), child_);
  EXPECT_EQ(bus_->Bus()->ChildCount, 1u);
  EXPECT_EQ(Deletions(), 0u);

  // The next answer (another child's plug-in asks for one) lists it again;
  // the manager knows the node and does not identify it anew.
  const size_t idQueries = Count(node_->history, "QUERY_ID");
  ASSERT_EQ(PlugIn(8), STATUS_SUCCESS);
  ASSERT_NE(Node(8), nullptr);
  EXPECT_EQ(Node(8)->state, khost::DevNodeState::Started);
  EXPECT_EQ(Node(7), node_);
  EXPECT_EQ(node_->state, khost::DevNodeState::Disabled);
  EXPECT_EQ(Count(node_->history, "QUERY_ID"), idQueries);
  EXPECT_TRUE(child_->Reported);

  ASSERT_EQ(khost::Pnp().Enable(node_), STATUS_SUCCESS);
  EXPECT_EQ(node_->state, khost::DevNodeState::Started);
  EXPECT_EQ(child_->Header.PnpState, StateStarted);
  EXPECT_NE(PassthroughDeviceOn(pdo_), nullptr);
}

// ------------------------------------------------------------------ removal
TEST_F(ChildPnpTest, UnpluggedChildIsDeletedOnceTheAnswerLeftItOut) {
  StartSeven();
  ASSERT_EQ(PlugIn(8), STATUS_SUCCESS);
  PWCHAR ids = child_->HardwareIds;
  PBUS_EXTENSION bus = bus_->Bus();

  ASSERT_EQ(Unplug(7), STATUS_SUCCESS);
  EXPECT_EQ(Node(7), nullptr);
  EXPECT_EQ(Listed(7), nullptr);
  EXPECT_EQ(bus->ChildCount, 1u);
  EXPECT_TRUE(khost::DeviceDeleted(pdo_));
  EXPECT_FALSE(InPool(ids)) << "the hardware-ID copy outlived the child";
  EXPECT_EQ(Deletions(), 1u);
  ASSERT_NE(Node(8), nullptr);
  EXPECT_EQ(Node(8)->state, khost::DevNodeState::Started);
  EXPECT_EQ(Ext(Node(8)->pdo)->Header.PnpState, StateStarted);
}

TEST_F(ChildPnpTest, ChildDisabledBeforeTheAnswerAfterItsUnplugIsDeletedByTheSecondRemoval) {
  StartSeven();
  PWCHAR ids = child_->HardwareIds;
  ASSERT_EQ(Unplug(7, /*enumerate=*/false), STATUS_SUCCESS);
  EXPECT_FALSE(child_->Present);

  // The manager has not heard it is gone: it is still listed, so the removal
  // that disables it must keep it.
  ASSERT_EQ(khost::Pnp().Disable(node_), STATUS_SUCCESS);
  EXPECT_FALSE(khost::DeviceDeleted(pdo_));
  EXPECT_EQ(Listed(7), child_);
  EXPECT_TRUE(InPool(ids));
  EXPECT_EQ(child_->Header.PnpState, StateNotStarted);
  EXPECT_EQ(Deletions(), 0u);

  // The answer leaves it out; the manager removes the disabled node once more.
  bus_->Enumerate();
  EXPECT_EQ(Node(7), nullptr);
  EXPECT_EQ(Listed(7), nullptr);
  EXPECT_EQ(bus_->Bus()->ChildCount, 0u);
  EXPECT_TRUE(khost::DeviceDeleted(pdo_));
  EXPECT_FALSE(InPool(ids));
  EXPECT_EQ(Deletions(), 1u);
}

TEST_F(ChildPnpTest, RemovalThatReachesADeletedChildTouchesNothing) {
  StartSeven();
  ASSERT_EQ(PlugIn(8), STATUS_SUCCESS);
  ObfReferenceObject(pdo_);  // a late sender still holds the device
  ASSERT_EQ(Unplug(7), STATUS_SUCCESS);
  ASSERT_TRUE(khost::DeviceDeleted(pdo_));
  ASSERT_EQ(Deletions(), 1u);

  const size_t allocations = khost::PoolAllocationCount();
  const size_t blocks = khost::OutstandingPool().size();
  RequestResult result =
      khost::SendIrp(pdo_, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr, STATUS_NOT_SUPPORTED, KernelMode, false);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(Deletions(), 1u);
  EXPECT_EQ(bus_->Bus()->ChildCount, 1u);
  ASSERT_EQ(bus_->Children().size(), 1u);
  EXPECT_EQ(bus_->Children()[0]->SerialNo, 8u);
  EXPECT_EQ(khost::PoolAllocationCount(), allocations);
  EXPECT_EQ(khost::OutstandingPool().size(), blocks);
  ObfDereferenceObject(pdo_);
}

TEST_F(ChildPnpTest, SurpriseRemovedChildStillPluggedInIsKeptAndComesBackWithTheNextAnswer) {
  StartSeven();
  khost::Pnp().SurpriseRemove(node_);
  EXPECT_EQ(child_->Header.PnpState, StateSurpriseRemoved);
  // Still plugged in, it keeps its serial number.
  EXPECT_EQ(bus_->PlugIn(service_, 7, {kNetId}), STATUS_INVALID_PARAMETER);

  khost::Pnp().CompleteSurpriseRemoval(node_);
  EXPECT_FALSE(khost::DeviceDeleted(pdo_));
  EXPECT_EQ(child_->Header.PnpState, StateNotStarted);
  EXPECT_FALSE(child_->Reported);
  EXPECT_EQ(Listed(7), child_);

  ASSERT_EQ(PlugIn(8), STATUS_SUCCESS);
  khost::DevNode* again = Node(7);
  ASSERT_NE(again, nullptr) << khost::Pnp().Describe();
  EXPECT_EQ(again->pdo, pdo_);
  EXPECT_EQ(again->state, khost::DevNodeState::Started);
  EXPECT_EQ(child_->Header.PnpState, StateStarted);
  EXPECT_TRUE(child_->Reported);
  EXPECT_EQ(Deletions(), 0u);
}

class ChildBusRemovalTest : public ChildPnpTest {
 protected:
  // Children in every condition a bus removal can find them in: 7 started,
  // 8 unplugged but still listed (no answer since), 9 disabled, 10 plugged in
  // but never reported.
  void Populate() {
    StartSeven();
    ASSERT_EQ(PlugIn(8), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(9), STATUS_SUCCESS);
    ASSERT_EQ(khost::Pnp().Disable(Node(9)), STATUS_SUCCESS);
    ASSERT_EQ(bus_->Unplug(service_, 8), STATUS_SUCCESS);
    ASSERT_EQ(bus_->PlugIn(service_, 10, {kNetId}), STATUS_SUCCESS);
    for (ULONG serial : {7u, 8u, 9u, 10u}) {
      ASSERT_NE(Listed(serial), nullptr) << serial;
      pdos_.push_back(Listed(serial)->Header.Self);
    }
    EXPECT_FALSE(Listed(10)->Reported);
    // The service lets go first; the manager sends removals only then.
    bus_->Service().Close(service_);
  }
  void ExpectAllDeletedOnce() {
    for (PDEVICE_OBJECT pdo : pdos_) EXPECT_TRUE(khost::DeviceDeleted(pdo));
    EXPECT_EQ(Deletions(), pdos_.size());
    EXPECT_TRUE(khost::DevicesOf(bus_->Driver()).empty());
  }
  std::vector<PDEVICE_OBJECT> pdos_;
};

TEST_F(ChildBusRemovalTest, WineOrderDeletesEveryChildExactlyOnce) {
  Populate();
  khost::Pnp().Remove(bus_->Node(), khost::RemovalStyle::Wine);
  ExpectAllDeletedOnce();
  bus_->Unload();
}

TEST_F(ChildBusRemovalTest, WindowsOrderDeletesEveryChildExactlyOnce) {
  Populate();
  khost::Pnp().Remove(bus_->Node(), khost::RemovalStyle::Windows);
  ExpectAllDeletedOnce();
  bus_->Unload();
}

TEST_F(ChildBusRemovalTest, DetachedChildrenLiveUntilTheirOwnRemoval) {
  Populate();
  std::vector<PCHILD_EXTENSION> children;
  for (PDEVICE_OBJECT pdo : pdos_) children.push_back(Ext(pdo));

  // Surprise removal of the bus while the children are listed: those the
  // manager is not told of (never reported, or reset by the removal that
  // disabled them) are deleted now; the others are cut loose and wait for
  // their own removal.
  khost::Pnp().SurpriseRemove(bus_->Node());
  EXPECT_TRUE(bus_->Children().empty());
  for (size_t i : {0u, 1u}) {
    EXPECT_FALSE(khost::DeviceDeleted(pdos_[i])) << "serial " << 7 + i;
    EXPECT_EQ(children[i]->ParentFdo, nullptr) << "serial " << 7 + i;
  }
  for (size_t i : {2u, 3u}) EXPECT_TRUE(khost::DeviceDeleted(pdos_[i])) << "serial " << 7 + i;
  EXPECT_EQ(Deletions(), 2u);

  // With no bus to answer for it, a callback exchange is refused as it came.
  CALLBACK_EXCHANGE exchange{};
  RequestResult result = khost::SendIrp(
      pdos_[0], IRP_MJ_INTERNAL_DEVICE_CONTROL, 0,
      [&](PIRP irp, PIO_STACK_LOCATION s) {
        irp->IoStatus.Information = 0x5150;
        s->Parameters.DeviceIoControl.IoControlCode = IOCTL_NETBUS_EXCHANGE_CALLBACK;
        s->Parameters.DeviceIoControl.Type3InputBuffer = &exchange;
        s->Parameters.DeviceIoControl.InputBufferLength = sizeof(exchange);
        irp->AssociatedIrp.SystemBuffer = &exchange;
      },
      STATUS_SUCCESS);
  EXPECT_EQ(result.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(result.information, 0x5150u);

  khost::Pnp().CompleteSurpriseRemoval(bus_->Node());
  ExpectAllDeletedOnce();
  bus_->Unload();
}
