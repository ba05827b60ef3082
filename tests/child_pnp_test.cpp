// A child's Plug and Play life: the states it moves through, the requests it
// must leave alone, and every way it can be removed - still plugged in,
// unplugged, disabled before the manager heard it was gone, or cut off by
// the removal of the bus itself - each ending with the device deleted once.
#include <thread>

#include "child_fixture.h"

using namespace child_test;

namespace {

size_t Deletions() { return CountLines("Velmora===>Pdo_Delete"); }
bool InPool(const void* address) { return velmora_test::PoolBlockAt(address).address != nullptr; }
std::function<void(PIO_STACK_LOCATION)> Relation(DEVICE_RELATION_TYPE type) {
  return [type](PIO_STACK_LOCATION s) { s->Parameters.QueryDeviceRelations.Type = type; };
}
constexpr UCHAR QS = IRP_MN_QUERY_STOP_DEVICE, CS = IRP_MN_CANCEL_STOP_DEVICE, STOP = IRP_MN_STOP_DEVICE,
                QR = IRP_MN_QUERY_REMOVE_DEVICE, CR = IRP_MN_CANCEL_REMOVE_DEVICE, START = IRP_MN_START_DEVICE,
                SR = IRP_MN_SURPRISE_REMOVAL;
constexpr PNP_STATE NotStarted = StateNotStarted, Started = StateStarted, StopPending = StateStopPending,
                    Stopped = StateStopped, RemovePending = StateRemovePending, Surprised = StateSurpriseRemoved;

}  // namespace

class ChildPnpTest : public ChildTest {};

TEST_F(ChildPnpTest, EveryStateRequestSucceedsAndMovesTheStateAsTheTableSays) {
  struct Step { UCHAR minor; PNP_STATE state, previous; };
  const std::vector<std::pair<const char*, std::vector<Step>>> cases = {  // each from a freshly started child
      {"stop query cancelled", {{QS, StopPending, Started}, {CS, Started, Started}}},
      {"remove query cancelled", {{QR, RemovePending, Started}, {CR, Started, Started}}},
      {"queries cancelled from stopped",
       {{QS, StopPending, Started}, {STOP, Stopped, StopPending}, {QR, RemovePending, Stopped}, {CR, Stopped, Stopped},
        {QS, StopPending, Stopped}, {CS, Stopped, Stopped}, {START, Started, Stopped}}},
      {"cancels without their query", {{CS, Started, NotStarted}, {CR, Started, NotStarted}}},
      {"cancel of the other kind",
       {{QS, StopPending, Started}, {CR, StopPending, Started}, {CS, Started, Started}, {QR, RemovePending, Started},
        {CS, RemovePending, Started}, {CR, Started, Started}}},
      {"surprise removal is final for the cancels",
       {{SR, Surprised, Started}, {CR, Surprised, Started}, {CS, Surprised, Started}}},
      {"start and stop obeyed in any state",
       {{QR, RemovePending, Started}, {START, Started, RemovePending}, {START, Started, Started},
        {STOP, Stopped, Started}, {STOP, Stopped, Stopped}}}};
  StartSeven();
  ULONG serial = 10;
  for (const auto& [name, steps] : cases) {
    SCOPED_TRACE(name);
    ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS);
    ASSERT_NE(Node(serial), nullptr);
    PCHILD_EXTENSION child = Ext(Node(serial)->pdo);
    for (const Step& step : steps) {
      EXPECT_EQ(Outcome(Send(Node(serial), step.minor)), Outcome(STATUS_SUCCESS, 0)) << "minor " << int(step.minor);
      EXPECT_EQ(child->Header.PnpState, step.state) << "after minor " << int(step.minor);
      EXPECT_EQ(child->Header.PreviousPnpState, step.previous) << "after minor " << int(step.minor);
    }
    ++serial;
  }
  // A start after a stop restores full power.
  ASSERT_EQ(Send(node_, STOP).status, STATUS_SUCCESS);
  child_->DevicePowerState = PowerDeviceD3;  // as a power-down while stopped leaves it
  ASSERT_EQ(Send(node_, START).status, STATUS_SUCCESS);
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
}

TEST_F(ChildPnpTest, RequestsThatAreNotTheChildsKeepTheirStatusAndInformation) {
  const UCHAR minors[] = {IRP_MN_QUERY_INTERFACE, IRP_MN_QUERY_RESOURCES, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                          IRP_MN_FILTER_RESOURCE_REQUIREMENTS, 0x0E, IRP_MN_READ_CONFIG, IRP_MN_WRITE_CONFIG,
                          IRP_MN_EJECT, IRP_MN_SET_LOCK, IRP_MN_QUERY_PNP_DEVICE_STATE, IRP_MN_QUERY_BUS_INFORMATION,
                          0x18, 0x19, 0x1A, 0x40, 0xFF};
  StartSeven();  // an answer allocated and dropped would be left at the end
  for (auto [status, information] : {std::pair<NTSTATUS, ULONG_PTR>{STATUS_NOT_SUPPORTED, 0},
                                     {STATUS_SUCCESS, 0x4440}, {kOtherSuccess, 0x10}}) {
    for (UCHAR minor : minors) {
      RequestResult result = Send(node_, minor, nullptr, status, information);
      EXPECT_EQ(Outcome(result), Outcome(status, information)) << int(minor);
    }
    // Relations other than the target relation belong to drivers above.
    for (DEVICE_RELATION_TYPE type :
         {BusRelations, EjectionRelations, PowerRelations, RemovalRelations, SingleBusRelations, TransportRelations}) {
      RequestResult result = Send(node_, IRP_MN_QUERY_DEVICE_RELATIONS, Relation(type), status, information);
      EXPECT_EQ(Outcome(result), Outcome(status, information)) << type;
    }
    // No paging, hibernation or dump file on a virtual device, whatever the usage, in the path or out.
    for (ULONG i = 0; i < 2 * (DeviceUsageTypeDumpFile + 1); ++i) {
      auto usage = [i](PIO_STACK_LOCATION s) {
        s->Parameters.UsageNotification = {BOOLEAN(i & 1), {}, DEVICE_USAGE_NOTIFICATION_TYPE(i / 2)};
      };
      RequestResult result = Send(node_, IRP_MN_DEVICE_USAGE_NOTIFICATION, usage, status, information);
      EXPECT_EQ(Outcome(result), Outcome(STATUS_UNSUCCESSFUL, information))
          << "usage " << i / 2 << " in path " << (i & 1);
    }
  }
  EXPECT_EQ(child_->Header.PnpState, Started);
  EXPECT_EQ(child_->Header.PreviousPnpState, NotStarted);
}

TEST_F(ChildPnpTest, TargetRelationIsTheChildItselfWithOneReference) {
  StartSeven();
  const LONG_PTR references = khost::ReferenceCount(pdo_);
  RequestResult result = Send(node_, IRP_MN_QUERY_DEVICE_RELATIONS, Relation(TargetDeviceRelation));
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(khost::ReferenceCount(pdo_), references + 1);
  std::vector<uint8_t> answer = TakePoolAnswer(result.information);
  ASSERT_EQ(answer.size(), sizeof(DEVICE_RELATIONS));
  const DEVICE_RELATIONS* list = reinterpret_cast<const DEVICE_RELATIONS*>(answer.data());
  EXPECT_EQ(list->Count, 1u);
  EXPECT_EQ(list->Objects[0], pdo_);
  ObfDereferenceObject(pdo_);  // the manager's, with the list

  khost::FailNth(khost::FaultPoint::PoolAllocation, 1, PagedPool);
  result = Send(node_, IRP_MN_QUERY_DEVICE_RELATIONS, Relation(TargetDeviceRelation), STATUS_NOT_SUPPORTED, 0x2220);
  EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.information, 0x2220u);
  EXPECT_EQ(khost::ReferenceCount(pdo_), references);
}

TEST_F(ChildPnpTest, RequestAbovePassiveLevelIsCompletedUntouched) {
  StartSeven();  // anything allocated or referenced and dropped would be left at the end
  const UCHAR minors[] = {START, QR, IRP_MN_REMOVE_DEVICE, STOP, SR, IRP_MN_DEVICE_USAGE_NOTIFICATION, IRP_MN_QUERY_ID,
                          IRP_MN_QUERY_DEVICE_TEXT, IRP_MN_QUERY_DEVICE_RELATIONS, IRP_MN_QUERY_CAPABILITIES};
  for (KIRQL irql : {KIRQL(APC_LEVEL), KIRQL(DISPATCH_LEVEL)}) {
    khost::TakeTraceLines();
    for (UCHAR minor : minors) {
      RequestResult result;
      // Straight to the child, as a driver above that raised the IRQL would send it (no record: none is read).
      khost::RunAtIrql(irql, [&] {
        result = khost::SendIrp(pdo_, IRP_MJ_PNP, minor, nullptr, STATUS_NOT_SUPPORTED, KernelMode, false);
      });
      EXPECT_EQ(Outcome(result), Outcome(STATUS_NOT_SUPPORTED, 0))
          << "minor " << int(minor) << " at " << int(irql);
    }
    EXPECT_EQ(CountLines("Velmora===: Runing at too high IRQL=" + std::to_string(irql) + ".\n"), std::size(minors));
  }
  // The sender broke the platform's rule, and the host says so; the child only had to survive it.
  for (const khost::Violation& v : khost::TakeViolations())
    EXPECT_TRUE(v.check == "pnp-irql" || v.check == "pnp-passed-down-without-success") << v.check << v.detail;
  EXPECT_EQ(child_->Header.PnpState, Started);
  EXPECT_TRUE(child_->Reported);
  EXPECT_EQ(Listed(7), child_);
}

TEST_F(ChildPnpTest, RemovedChildIsDeletedOnlyOnceAnAnswerLeftItOutAndALateRemovalTouchesNothing) {
  StartSeven();
  PWCHAR ids = child_->HardwareIds;
  ASSERT_EQ(khost::Pnp().Disable(node_), STATUS_SUCCESS);
  // Still plugged in: the removal only resets it.
  EXPECT_FALSE(khost::DeviceDeleted(pdo_));
  EXPECT_EQ(child_->Header.PnpState, NotStarted);
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0) << "a removal leaves the power state alone";
  EXPECT_FALSE(child_->Reported);
  EXPECT_TRUE(child_->Present && InPool(ids));
  EXPECT_EQ(Listed(7), child_);

  // The next answer (another child's plug-in asks for one) lists it again; the manager knows the node.
  const size_t history = node_->history.size();
  ASSERT_EQ(PlugIn(8), STATUS_SUCCESS);
  EXPECT_EQ(Node(7), node_);
  EXPECT_EQ(node_->history.size(), history) << "identified anew";
  EXPECT_TRUE(child_->Reported);
  ASSERT_EQ(khost::Pnp().Enable(node_), STATUS_SUCCESS);
  EXPECT_EQ(child_->Header.PnpState, Started);
  EXPECT_NE(PassthroughDeviceOn(pdo_), nullptr);

  // Unplugged, then disabled before the manager heard it was gone: still listed, so the removal keeps it.
  ASSERT_EQ(bus_->Unplug(service_, 7), STATUS_SUCCESS);
  ASSERT_EQ(khost::Pnp().Disable(node_), STATUS_SUCCESS);
  EXPECT_FALSE(khost::DeviceDeleted(pdo_));
  EXPECT_EQ(Listed(7), child_);
  EXPECT_TRUE(InPool(ids));
  // The answer leaves it out; the manager removes the disabled node once more.
  bus_->Enumerate();
  EXPECT_EQ(Listed(7), nullptr);
  EXPECT_TRUE(khost::DeviceDeleted(pdo_));
  EXPECT_FALSE(InPool(ids)) << "the hardware-ID copy outlived the child";
  EXPECT_EQ(Deletions(), 1u);

  // Unplugged while started: deleted once the answer leaves it out; a removal that still reaches it (from a
  // sender holding it) succeeds and touches no list, count or allocation.
  PDEVICE_OBJECT eight = Node(8)->pdo;
  ObfReferenceObject(eight);
  Finally([eight] { ObfDereferenceObject(eight); });
  ASSERT_EQ(bus_->Unplug(service_, 8), STATUS_SUCCESS);
  bus_->Enumerate();
  EXPECT_TRUE(khost::DeviceDeleted(eight));
  ASSERT_EQ(PlugIn(9), STATUS_SUCCESS);
  const size_t allocations = khost::PoolAllocationCount(), blocks = khost::OutstandingPool().size();
  RequestResult result =
      khost::SendIrp(eight, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr, STATUS_NOT_SUPPORTED, KernelMode, false);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(Deletions(), 2u);
  EXPECT_EQ(bus_->Bus()->ChildCount, 1u);
  EXPECT_EQ(bus_->Children(), std::vector<PCHILD_EXTENSION>{Listed(9)});
  EXPECT_EQ(khost::PoolAllocationCount(), allocations);
  EXPECT_EQ(khost::OutstandingPool().size(), blocks);
}

TEST_F(ChildPnpTest, DetachedChildAnswersWithoutABusAndIsDeletedByItsOwnRemovalWhilePluggedIn) {
  StartSeven();
  bus_->Service().Close(service_);  // the service lets go before the manager sends any removal
  khost::Pnp().SurpriseRemove(bus_->Node());
  EXPECT_FALSE(khost::DeviceDeleted(pdo_));
  EXPECT_EQ(child_->ParentFdo, nullptr);

  // With no bus to ask, a capabilities query or a callback exchange is refused as it came.
  DEVICE_CAPABILITIES caps{}, before{};
  caps.Size = before.Size = sizeof(caps);
  caps.Version = before.Version = 1;
  const uint64_t built = khost::CallCount(khost::FaultPoint::BuildSynchronousFsdRequest);
  auto record = [&](PIO_STACK_LOCATION s) { s->Parameters.DeviceCapabilities.Capabilities = &caps; };
  RequestResult result = Send(node_, IRP_MN_QUERY_CAPABILITIES, record, STATUS_NOT_SUPPORTED, 0x5150);
  EXPECT_EQ(Outcome(result), Outcome(STATUS_DEVICE_NOT_CONNECTED, 0x5150));
  EXPECT_EQ(Hex(&caps, sizeof(caps)), Hex(&before, sizeof(before)));
  EXPECT_EQ(khost::CallCount(khost::FaultPoint::BuildSynchronousFsdRequest), built);
  result = khost::SendIrp(pdo_, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, [&](PIRP irp, PIO_STACK_LOCATION s) {
    irp->IoStatus.Information = 0x5150;
    s->Parameters.DeviceIoControl.IoControlCode = IOCTL_NETBUS_EXCHANGE_CALLBACK;
  }, STATUS_SUCCESS);
  EXPECT_EQ(Outcome(result), Outcome(STATUS_DEVICE_NOT_CONNECTED, 0x5150));

  khost::Pnp().CompleteSurpriseRemoval(bus_->Node());
  EXPECT_TRUE(khost::DeviceDeleted(pdo_));
  EXPECT_EQ(Deletions(), 1u);
  bus_->Unload();
}

// Wine sends a child two removals at once (when its bus goes away, or when an
// answer leaves it out). Whichever marks the child deleted first deletes it;
// the other touches nothing, even when it comes while the first is freeing the
// child's IDs. Arms that second removal; `raced` tells whether it came.
static void RemoveAgainWhileDeleting(PCHILD_EXTENSION child, PDEVICE_OBJECT pdo, bool* raced) {
  khost::SetHook("free-pool", [child, pdo, raced] {
    if (*raced || CurrentPnpState(&child->Header) != StateDeleted) return;
    *raced = true;       // inside the first removal's deletion
    std::thread([pdo] {  // as the child's function driver passes it down, with success set
      RequestResult second =
          khost::SendIrp(pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr, STATUS_SUCCESS, KernelMode, false);
      EXPECT_EQ(second.status, STATUS_SUCCESS);
    }).join();
  });
}

TEST_F(ChildPnpTest, TwoRemovalsAtOnceDeleteADetachedChildOnce) {
  StartSeven();
  bool raced = false;
  RemoveAgainWhileDeleting(child_, pdo_, &raced);
  bus_->Service().Close(service_);
  khost::Pnp().SurpriseRemove(bus_->Node());
  ASSERT_EQ(child_->ParentFdo, nullptr);
  khost::Pnp().CompleteSurpriseRemoval(bus_->Node());
  khost::ClearHooks();
  EXPECT_TRUE(raced);
  EXPECT_TRUE(khost::DeviceDeleted(pdo_));
  EXPECT_EQ(Deletions(), 1u);
  bus_->Unload();
}

TEST_F(ChildPnpTest, TwoRemovalsAtOnceDeleteAChildLeftOutOnce) {
  StartSeven();
  bool raced = false;
  RemoveAgainWhileDeleting(child_, pdo_, &raced);
  ASSERT_EQ(bus_->Unplug(service_, 7), STATUS_SUCCESS);
  bus_->Enumerate();
  khost::ClearHooks();
  EXPECT_TRUE(raced);
  EXPECT_TRUE(khost::DeviceDeleted(pdo_));
  EXPECT_EQ(Deletions(), 1u);
  EXPECT_EQ(bus_->Bus()->ChildCount, 0u);
}
