// How the bus reports its children: the bus-relations answer, with and
// without a list a driver above already put in the request, the references it
// hands over, what an allocation failure leaves, and how the answer decides
// when an unplugged (or disabled) child may be deleted.
#include "bus_fixture.h"

using namespace bus_test;

namespace {

size_t AnswerBytes(size_t entries) { return sizeof(DEVICE_RELATIONS) + entries * sizeof(PDEVICE_OBJECT); }

}  // namespace

class RelationsTest : public BusTest {
 protected:
  static LONG_PTR Refs(PDEVICE_OBJECT device) { return khost::ReferenceCount(device); }
  PDEVICE_OBJECT Pdo(ULONG serial) const { return Child(serial)->Header.Self; }
  void PlugAll(const std::vector<ULONG>& serials) {
    for (ULONG serial : serials) ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS);
  }
};

TEST_F(RelationsTest, BusWithoutChildrenAnswersAnEmptyNonPagedList) {
  Boot();
  khost::RequestResult result = QueryRelations(BusRelations);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  std::vector<khost::PoolBlock> pool = khost::OutstandingPool();
  const khost::PoolBlock* block = FindBlock(pool, reinterpret_cast<void*>(result.information));
  ASSERT_NE(block, nullptr) << "the answer is not pool";
  EXPECT_EQ(block->bytes, AnswerBytes(0));
  EXPECT_EQ(block->tag, VELMORA_POOL_TAG);
  EXPECT_EQ(block->type, NonPagedPoolNx);
  EXPECT_TRUE(TakeList(result.information).empty());
}

TEST_F(RelationsTest, EveryAnswerListsPresentChildrenInPlugInOrderWithOneMoreReference) {
  Boot();
  TraceMask = 0x100;
  ASSERT_NO_FATAL_FAILURE(PlugAll({4, 1, 3, 2}));
  Enumerate();  // all four become known to the manager before one is unplugged
  ASSERT_EQ(Unplug(3), STATUS_SUCCESS);
  const std::vector<PDEVICE_OBJECT> listed = {Pdo(4), Pdo(1), Pdo(2)};
  std::vector<LONG_PTR> before;
  for (PDEVICE_OBJECT pdo : listed) before.push_back(Refs(pdo));
  const LONG_PTR unpluggedBefore = Refs(Pdo(3));

  std::vector<ULONG_PTR> answers;
  for (int round = 1; round <= 2; ++round) {
    khost::RequestResult result = QueryRelations(BusRelations);
    ASSERT_EQ(result.status, STATUS_SUCCESS) << "round " << round;
    auto* list = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
    EXPECT_EQ(Entries(list), listed) << "round " << round;
    std::vector<khost::PoolBlock> pool = khost::OutstandingPool();
    ASSERT_NE(FindBlock(pool, list), nullptr);
    EXPECT_EQ(FindBlock(pool, list)->bytes, AnswerBytes(3));
    for (size_t i = 0; i < listed.size(); ++i) EXPECT_EQ(Refs(listed[i]), before[i] + round) << "entry " << i;
    answers.push_back(result.information);
  }
  EXPECT_EQ(Refs(Pdo(3)), unpluggedBefore);
  for (ULONG serial : {4u, 1u, 2u}) EXPECT_TRUE(Child(serial)->Reported) << serial;
  EXPECT_TRUE(Child(3)->Reported) << "leaving a child out never clears its mark";
  EXPECT_TRUE(Child(3)->ReportedMissing) << "the answer left the unplugged child out without marking it";
  std::vector<std::string> lines = khost::TakeTraceLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Velmora===: PDOS present = 4\tPDOs reported = 3\n"), 2);

  for (ULONG_PTR answer : answers) TakeList(answer);
  for (size_t i = 0; i < listed.size(); ++i) EXPECT_EQ(Refs(listed[i]), before[i]);
}

TEST_F(RelationsTest, IncomingEntriesComeFirstAndKeepTheirOwnReferences) {
  Boot();
  PDEVICE_OBJECT above1 = OtherDevice();
  PDEVICE_OBJECT above2 = OtherDevice();
  ASSERT_NO_FATAL_FAILURE(PlugAll({1, 2, 3}));
  ASSERT_EQ(Unplug(2), STATUS_SUCCESS);
  PDEVICE_RELATIONS incoming = MakeList({above1, above2});
  const LONG_PTR refs1 = Refs(above1), refs2 = Refs(above2), refsChild1 = Refs(Pdo(1)), refsChild3 = Refs(Pdo(3));

  khost::RequestResult result = QueryRelations(BusRelations, incoming);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_NE(result.information, reinterpret_cast<ULONG_PTR>(incoming));
  EXPECT_FALSE(IsPool(incoming)) << "the replaced list was not freed";
  auto* list = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
  EXPECT_EQ(Entries(list), (std::vector<PDEVICE_OBJECT>{above1, above2, Pdo(1), Pdo(3)}));
  std::vector<khost::PoolBlock> pool = khost::OutstandingPool();
  ASSERT_NE(FindBlock(pool, list), nullptr);
  EXPECT_EQ(FindBlock(pool, list)->bytes, AnswerBytes(4));
  EXPECT_EQ(Refs(above1), refs1) << "the bus referenced an entry it did not write";
  EXPECT_EQ(Refs(above2), refs2);
  EXPECT_EQ(Refs(Pdo(1)), refsChild1 + 1);
  EXPECT_EQ(Refs(Pdo(3)), refsChild3 + 1);
  TakeList(result.information);
}

TEST_F(RelationsTest, IncomingListOnABusWithoutChildrenGoesDownAsItCame) {
  Boot();
  PDEVICE_OBJECT above = OtherDevice();
  PDEVICE_RELATIONS incoming = MakeList({above});
  const size_t allocations = khost::PoolAllocationCount();

  khost::RequestResult result = QueryRelations(BusRelations, incoming);
  EXPECT_EQ(result.status, STATUS_SUCCESS) << "the status the driver above set";
  ASSERT_EQ(result.information, reinterpret_cast<ULONG_PTR>(incoming));
  EXPECT_EQ(khost::PoolAllocationCount(), allocations);
  ASSERT_TRUE(IsPool(incoming));
  EXPECT_EQ(Entries(incoming), (std::vector<PDEVICE_OBJECT>{above}));
  TakeList(result.information);
}

TEST_F(RelationsTest, IncomingListWithOnlyUnpluggedChildrenIsCopiedIntoANewList) {
  Boot();
  ASSERT_NO_FATAL_FAILURE(PlugAll({1}));
  ASSERT_EQ(Unplug(1), STATUS_SUCCESS);
  PDEVICE_OBJECT above1 = OtherDevice();
  PDEVICE_OBJECT above2 = OtherDevice();
  PDEVICE_RELATIONS incoming = MakeList({above1, above2});

  khost::RequestResult result = QueryRelations(BusRelations, incoming);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_NE(result.information, reinterpret_cast<ULONG_PTR>(incoming));
  EXPECT_FALSE(IsPool(incoming));
  auto* list = reinterpret_cast<PDEVICE_RELATIONS>(result.information);
  EXPECT_EQ(Entries(list), (std::vector<PDEVICE_OBJECT>{above1, above2}));
  std::vector<khost::PoolBlock> pool = khost::OutstandingPool();
  ASSERT_NE(FindBlock(pool, list), nullptr);
  EXPECT_EQ(FindBlock(pool, list)->bytes, AnswerBytes(2));
  TakeList(result.information);
}

// The answer cannot be allocated: the request fails and nothing changed, the
// list a driver above put there included.
class RelationsAllocationFailureTest : public RelationsTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RelationsAllocationFailureTest, LeavesChildrenReferencesAndIncomingListAsTheyWere) {
  const bool withIncoming = GetParam();
  Boot();
  ASSERT_NO_FATAL_FAILURE(PlugAll({1, 2, 3}));
  ASSERT_EQ(Unplug(3), STATUS_SUCCESS);
  PDEVICE_OBJECT above = withIncoming ? OtherDevice() : nullptr;
  PDEVICE_RELATIONS incoming = withIncoming ? MakeList({above}) : nullptr;
  std::vector<LONG_PTR> refs;
  for (ULONG serial : {1u, 2u, 3u}) refs.push_back(Refs(Pdo(serial)));
  const LONG_PTR aboveRefs = above ? Refs(above) : 0;

  khost::FailNth(khost::FaultPoint::PoolAllocation, 1, NonPagedPool);
  khost::RequestResult result = QueryRelations(BusRelations, incoming);
  EXPECT_EQ(khost::InjectedFailures(), 1u);
  EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.information, reinterpret_cast<ULONG_PTR>(incoming));
  for (ULONG serial : {1u, 2u, 3u}) {
    EXPECT_EQ(Refs(Pdo(serial)), refs[serial - 1]) << serial;
    EXPECT_FALSE(Child(serial)->Reported) << serial;
    EXPECT_FALSE(Child(serial)->ReportedMissing) << serial;
  }
  if (withIncoming) {
    ASSERT_TRUE(IsPool(incoming)) << "the incoming list was freed";
    EXPECT_EQ(Entries(incoming), (std::vector<PDEVICE_OBJECT>{above}));
    EXPECT_EQ(Refs(above), aboveRefs);
    TakeList(result.information);  // back with the driver above, which put it there
  }

  // Once pool is back, the same query is answered in full.
  result = QueryRelations(BusRelations);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(TakeList(result.information), (std::vector<PDEVICE_OBJECT>{Pdo(1), Pdo(2)}));
}

INSTANTIATE_TEST_SUITE_P(IncomingList, RelationsAllocationFailureTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "WithIncomingList" : "WithoutIncomingList";
                         });

TEST_F(RelationsTest, FailedAnswerKeepsTheManagersChildrenAndALaterOneCatchesUp) {
  Boot();
  ASSERT_NO_FATAL_FAILURE(PlugAll({1}));
  Enumerate();
  ASSERT_EQ(ChildNodes().size(), 1u);
  ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
  khost::FailNth(khost::FaultPoint::PoolAllocation, 1, NonPagedPool);
  Enumerate();
  EXPECT_EQ(khost::InjectedFailures(), 1u);
  ASSERT_EQ(ChildNodes().size(), 1u) << "a failed answer removed or added a child";
  EXPECT_EQ(ChildNodes()[0]->state, khost::DevNodeState::Started);
  EXPECT_FALSE(Child(2)->Reported);

  ASSERT_EQ(PlugIn(3), STATUS_SUCCESS);
  Enumerate();
  ASSERT_EQ(ChildNodes().size(), 3u);
  for (khost::DevNode* n : ChildNodes()) EXPECT_EQ(n->state, khost::DevNodeState::Started) << n->label;
}

class OtherRelationTypesTest : public RelationsTest, public ::testing::WithParamInterface<DEVICE_RELATION_TYPE> {};

TEST_P(OtherRelationTypesTest, PassDownUntouched) {
  Boot();
  ASSERT_NO_FATAL_FAILURE(PlugAll({1}));
  PDEVICE_OBJECT above = OtherDevice();
  PDEVICE_RELATIONS incoming = MakeList({above});
  const size_t allocations = khost::PoolAllocationCount();

  khost::RequestResult result = QueryRelations(GetParam(), incoming);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  ASSERT_EQ(result.information, reinterpret_cast<ULONG_PTR>(incoming));
  EXPECT_EQ(Entries(incoming), (std::vector<PDEVICE_OBJECT>{above}));
  TakeList(result.information);

  result = QueryRelations(GetParam());
  EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(khost::PoolAllocationCount(), allocations);
  EXPECT_FALSE(Child(1)->Reported);
}

INSTANTIATE_TEST_SUITE_P(Types, OtherRelationTypesTest,
                         ::testing::Values(EjectionRelations, PowerRelations, RemovalRelations, TargetDeviceRelation),
                         [](const ::testing::TestParamInfo<DEVICE_RELATION_TYPE>& info) {
                           switch (info.param) {
                             case EjectionRelations: return "Ejection";
                             case PowerRelations: return "Power";
                             case RemovalRelations: return "Removal";
                             default: return "TargetDevice";
                           }
                         });

// A child's removal deletes it only once an answer has left it out: the
// manager still holds a disabled child and removes it a second time later.
TEST_F(RelationsTest, UnpluggedThenDisabledChildStaysUntilAnAnswerLeavesItOut) {
  Boot();
  ASSERT_NO_FATAL_FAILURE(PlugAll({1}));
  Enumerate();
  PDEVICE_OBJECT pdo = Pdo(1);
  khost::DevNode* node = ChildNode(Child(1));
  ObfReferenceObject(pdo);

  ASSERT_EQ(Unplug(1), STATUS_SUCCESS);  // the manager has not looked yet
  ASSERT_EQ(khost::Pnp().Disable(node), STATUS_SUCCESS);
  EXPECT_FALSE(khost::DeviceDeleted(pdo)) << "deleted before any answer left it out";
  ASSERT_EQ(Child(1), static_cast<PCHILD_EXTENSION>(pdo->DeviceExtension));
  EXPECT_EQ(Child(1)->Header.PnpState, StateNotStarted);
  EXPECT_FALSE(Child(1)->Reported);

  // The answer leaves it out, and the manager removes the disabled child again.
  Enumerate();
  EXPECT_TRUE(khost::DeviceDeleted(pdo));
  EXPECT_TRUE(Children().empty());
  EXPECT_TRUE(ChildNodes().empty());
  ObfDereferenceObject(pdo);
}

TEST_F(RelationsTest, DisabledChildIsListedAgainAndDeletedOnlyOnceUnplugged) {
  Boot();
  ASSERT_NO_FATAL_FAILURE(PlugAll({1}));
  Enumerate();
  khost::DevNode* node = ChildNode(Child(1));
  ASSERT_EQ(khost::Pnp().Disable(node), STATUS_SUCCESS);
  ASSERT_NE(Child(1), nullptr) << "a disabled child that is still plugged in was deleted";
  EXPECT_FALSE(Child(1)->Reported);

  ASSERT_EQ(PlugIn(2), STATUS_SUCCESS);
  Enumerate();
  EXPECT_TRUE(Child(1)->Reported) << "still plugged in, so still listed";
  ASSERT_EQ(ChildNodes().size(), 2u);
  EXPECT_EQ(node->state, khost::DevNodeState::Disabled);

  ASSERT_EQ(Unplug(1), STATUS_SUCCESS);
  Enumerate();
  EXPECT_EQ(Serials(), (std::vector<ULONG>{2}));
  ASSERT_EQ(ChildNodes().size(), 1u);
  EXPECT_EQ(ChildNodes()[0]->state, khost::DevNodeState::Started);
}
