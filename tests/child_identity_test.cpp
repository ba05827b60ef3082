// Who a child says it is: the IDs and texts the Plug and Play manager asks
// for once the child has been reported, checked byte for byte, pool block
// included, for the ordinary case and for every width of serial number.
#include <algorithm>

#include "child_fixture.h"

using namespace child_test;
using khost::RequestResult;

namespace {

constexpr NTSTATUS kDeviceNotReady = static_cast<NTSTATUS>(0xC00000A3L);

// The capabilities record the child hands back for serial `serial` when the
// bus node answers with the host's default mapping and the manager pre-fills
// the record as the kernel does.
DEVICE_CAPABILITIES ExpectedDefaultCapabilities(ULONG serial) {
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof(caps);
  caps.Version = 1;
  caps.DeviceD1 = 1;
  caps.SilentInstall = 1;
  caps.SurpriseRemovalOK = 1;
  caps.WakeFromD1 = 1;
  caps.Address = serial;
  caps.UINumber = serial;
  caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
  caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
  caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;  // the bus node says D2
  caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
  caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
  caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
  caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
  caps.SystemWake = PowerSystemUnspecified;  // the request's, not the bus node's Sleeping1
  caps.DeviceWake = PowerDeviceD1;
  return caps;
}

std::vector<uint8_t> RecordBytes(const DEVICE_CAPABILITIES& caps) {
  const uint8_t* first = reinterpret_cast<const uint8_t*>(&caps);
  return std::vector<uint8_t>(first, first + sizeof(caps));
}

// The types are stored as raw 32-bit values: a sender may put any number there.
RequestResult QueryId(khost::DevNode* node, ULONG type, NTSTATUS arriving = STATUS_NOT_SUPPORTED,
                      ULONG_PTR information = 0) {
  return khost::Pnp().Send(node, IRP_MN_QUERY_ID, [&](PIRP irp, PIO_STACK_LOCATION stack) {
    irp->IoStatus.Status = arriving;
    irp->IoStatus.Information = information;
    std::memcpy(&stack->Parameters.QueryId.IdType, &type, sizeof(type));
  });
}

RequestResult QueryText(khost::DevNode* node, ULONG type, NTSTATUS arriving = STATUS_NOT_SUPPORTED,
                        ULONG_PTR information = 0) {
  return khost::Pnp().Send(node, IRP_MN_QUERY_DEVICE_TEXT, [&](PIRP irp, PIO_STACK_LOCATION stack) {
    irp->IoStatus.Status = arriving;
    irp->IoStatus.Information = information;
    std::memcpy(&stack->Parameters.QueryDeviceText.DeviceTextType, &type, sizeof(type));
    stack->Parameters.QueryDeviceText.LocaleId = 0x407;
  });
}

}  // namespace

class ChildIdentityTest : public ChildTest {};

TEST_F(ChildIdentityTest, OneChildTravelsFromPlugInToStartWithEveryAnswerExact) {
  Boot();
  ASSERT_EQ(PlugIn(7, {u"VELMORA\\NET", u"VELMORA\\ANY"}), STATUS_SUCCESS);

  khost::DevNode* node = Node(7);
  ASSERT_NE(node, nullptr) << khost::Pnp().Describe();
  PCHILD_EXTENSION child = Ext(node->pdo);

  // The device ID is read as one string, but what the child hands over is the
  // whole hardware-ID list, in a block exactly as long as that list.
  const std::vector<uint8_t> ids = Bytes(khost::JoinMultiSz({u"VELMORA\\NET", u"VELMORA\\ANY"}));
  EXPECT_EQ(node->deviceIdStatus, STATUS_SUCCESS);
  EXPECT_EQ(Hex(node->answers["device ID"]), Hex(ids));
  EXPECT_EQ(khost::Narrow(node->deviceId), "VELMORA\\NET");
  EXPECT_EQ(node->hardwareIdsStatus, STATUS_SUCCESS);
  EXPECT_EQ(Hex(node->answers["hardware IDs"]), Hex(ids));
  ASSERT_EQ(node->hardwareIds.size(), 2u);
  EXPECT_EQ(khost::Narrow(node->hardwareIds[1]), "VELMORA\\ANY");

  // The compatible ID: 126 bytes of list at the start of a 254-byte block; no
  // stale pool behind it.
  EXPECT_EQ(node->compatibleIdsStatus, STATUS_SUCCESS);
  EXPECT_EQ(Hex(node->answers["compatible IDs"]),
            Hex(ZeroPadded(kCompatibleId + std::u16string(2, u'\0'), 254)));
  ASSERT_EQ(node->compatibleIds.size(), 1u);
  EXPECT_EQ(node->compatibleIds[0], kCompatibleId);

  EXPECT_EQ(node->instanceIdStatus, STATUS_SUCCESS);
  EXPECT_EQ(Hex(node->answers["instance ID"]), Hex(ZeroPadded(u"0007", 22)));
  EXPECT_EQ(node->descriptionStatus, STATUS_SUCCESS);
  EXPECT_EQ(Hex(node->answers["description"]), Hex(ZeroPadded(u"ZAM_Virtual_0007", 44)));

  // Location text and the container ID are not the child's: the manager's
  // status comes back and nothing is handed over.
  EXPECT_EQ(node->locationStatus, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(node->containerIdStatus, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(node->answers.count("location"), 0u);
  EXPECT_EQ(node->answers.count("container ID"), 0u);

  EXPECT_EQ(node->capabilitiesStatus, STATUS_SUCCESS);
  EXPECT_EQ(Hex(RecordBytes(node->capabilities)), Hex(RecordBytes(ExpectedDefaultCapabilities(7))));

  // Matched on the compatible ID, the function driver is on the stack and the
  // child has started at full power.
  EXPECT_EQ(node->functionDriver, function_);
  EXPECT_NE(PassthroughDeviceOn(node->pdo), nullptr);
  EXPECT_EQ(node->state, khost::DevNodeState::Started);
  EXPECT_NE(std::find(node->history.begin(), node->history.end(), "START_DEVICE -> 0"), node->history.end());
  EXPECT_EQ(child->Header.PnpState, StateStarted);
  EXPECT_EQ(child->Header.PreviousPnpState, StateNotStarted);
  EXPECT_EQ(child->DevicePowerState, PowerDeviceD0);
  EXPECT_EQ(child->SystemPowerState, PowerSystemWorking);
  EXPECT_TRUE(child->Reported);
  EXPECT_TRUE(child->Present);
  EXPECT_EQ(node->pdo->Flags & DO_DEVICE_INITIALIZING, 0u);
  EXPECT_NE(node->pdo->Flags & DO_POWER_PAGABLE, 0u);

  // What the trace shows of the queries.
  std::vector<std::string> lines = khost::TraceLines();
  EXPECT_EQ(CountLines(lines, "Velmora===: BusQueryDeviceID=VELMORA\\NET"), 1u);
  EXPECT_EQ(CountLines(lines, "Velmora===: BusQueryHardwareIDs=VELMORA\\NET"), 1u);
  EXPECT_EQ(CountLines(lines, "Velmora===: BusQueryInstanceID=0007\n"), 1u);
  EXPECT_EQ(CountLines(lines, "Velmora===: BusQueryCompatibleIDs=" + khost::Narrow(kCompatibleId) + "\n"), 1u);
  EXPECT_EQ(CountLines(lines, "Velmora===: \tQueryId Type: 3\n"), 1u);
  EXPECT_EQ(CountLines(lines, "Velmora<===CommonPdo_QueryDeviceText, NTSTATUS:0"), 1u);
}

TEST_F(ChildIdentityTest, FunctionDriverIsFoundByAnyOfTheHardwareIds) {
  Boot(khost::RootPdoConfig(), /*withFunctionDriver=*/false);
  function_ = khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
  khost::Pnp().RegisterFunctionDriver(u"velmora\\any", function_);
  ASSERT_EQ(PlugIn(7, {u"VELMORA\\NET", u"VELMORA\\ANY"}), STATUS_SUCCESS);
  ASSERT_EQ(PlugIn(8, {u"VELMORA\\NET"}), STATUS_SUCCESS);
  khost::DevNode* matched = Node(7);
  khost::DevNode* unmatched = Node(8);
  ASSERT_NE(matched, nullptr);
  ASSERT_NE(unmatched, nullptr);
  EXPECT_EQ(matched->functionDriver, function_);
  EXPECT_EQ(matched->state, khost::DevNodeState::Started);
  EXPECT_NE(PassthroughDeviceOn(matched->pdo), nullptr);
  // No driver, and the child may not run raw: it stays enumerated, unstarted.
  EXPECT_EQ(unmatched->functionDriver, nullptr);
  EXPECT_EQ(unmatched->state, khost::DevNodeState::Enumerated);
  EXPECT_EQ(Ext(unmatched->pdo)->Header.PnpState, StateNotStarted);
}

TEST_F(ChildIdentityTest, HardwareIdListEndsAtItsFirstEmptyString) {
  Boot();
  // A, empty, B: only A is the child's; B after the empty string is not looked at.
  ASSERT_EQ(PlugInRaw(9, std::u16string(u"VELMORA\\NET\0\0VELMORA\\LOST\0\0", 28)), STATUS_SUCCESS);
  khost::DevNode* node = Node(9);
  ASSERT_NE(node, nullptr);
  const std::vector<uint8_t> ids = Bytes(std::u16string(u"VELMORA\\NET\0\0", 13));
  EXPECT_EQ(Hex(node->answers["device ID"]), Hex(ids));
  EXPECT_EQ(Hex(node->answers["hardware IDs"]), Hex(ids));
  ASSERT_EQ(node->hardwareIds.size(), 1u);
}

TEST_F(ChildIdentityTest, EachQueryHandsOverAFreshTaggedPagedBlock) {
  Boot();
  ASSERT_EQ(PlugIn(7, {u"VELMORA\\NET"}), STATUS_SUCCESS);
  khost::DevNode* node = Node(7);
  ASSERT_NE(node, nullptr);

  // An ID query replaces whatever a driver above may have left in the request.
  RequestResult first = QueryId(node, BusQueryHardwareIDs, STATUS_NOT_SUPPORTED, 0x5A5A0);
  ASSERT_EQ(first.status, STATUS_SUCCESS);
  RequestResult second = QueryId(node, BusQueryHardwareIDs);
  ASSERT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_NE(first.information, second.information);
  for (ULONG_PTR information : {first.information, second.information}) {
    PoolAnswer answer = TakePoolAnswer(information);
    ASSERT_TRUE(answer.fromPool);
    EXPECT_EQ(answer.tag, VELMORA_POOL_TAG);
    EXPECT_EQ(answer.type, PagedPool);
    EXPECT_EQ(Hex(answer.content), Hex(Bytes(std::u16string(u"VELMORA\\NET\0\0", 13))));
  }
}

// Serial numbers of every width, including those whose text does not fit the
// buffer sizes the manager has always been handed: the whole number is
// printed, in a block just large enough, and nothing is written past it.
struct SerialCase {
  ULONG serial;
  std::u16string instance;
  size_t instanceBlock;
  std::u16string description;
  size_t descriptionBlock;
};

class ChildSerialTest : public ChildTest, public ::testing::WithParamInterface<SerialCase> {};

TEST_P(ChildSerialTest, InstanceIdAndDescriptionHoldTheWholeNumber) {
  const SerialCase& c = GetParam();
  Boot();
  ASSERT_EQ(PlugIn(c.serial), STATUS_SUCCESS);
  khost::DevNode* node = Node(c.serial);
  ASSERT_NE(node, nullptr) << khost::Pnp().Describe();

  // As the manager received them while enumerating the child.
  EXPECT_EQ(Hex(node->answers["instance ID"]), Hex(ZeroPadded(c.instance, c.instanceBlock)));
  EXPECT_EQ(Hex(node->answers["description"]), Hex(ZeroPadded(c.description, c.descriptionBlock)));
  EXPECT_EQ(node->capabilities.Address, c.serial);
  EXPECT_EQ(node->capabilities.UINumber, c.serial);

  // Asked again, with the block read before it is freed.
  RequestResult id = QueryId(node, BusQueryInstanceID);
  ASSERT_EQ(id.status, STATUS_SUCCESS);
  PoolAnswer instance = TakePoolAnswer(id.information);
  ASSERT_TRUE(instance.fromPool);
  EXPECT_EQ(instance.bytes, c.instanceBlock);
  EXPECT_EQ(instance.tag, VELMORA_POOL_TAG);
  EXPECT_EQ(instance.type, PagedPool);
  EXPECT_EQ(Hex(instance.content), Hex(ZeroPadded(c.instance, c.instanceBlock)));

  RequestResult text = QueryText(node, DeviceTextDescription);
  ASSERT_EQ(text.status, STATUS_SUCCESS);
  PoolAnswer description = TakePoolAnswer(text.information);
  ASSERT_TRUE(description.fromPool);
  EXPECT_EQ(description.bytes, c.descriptionBlock);
  EXPECT_EQ(description.tag, VELMORA_POOL_TAG);
  EXPECT_EQ(description.type, PagedPool);
  EXPECT_EQ(Hex(description.content), Hex(ZeroPadded(c.description, c.descriptionBlock)));
}

INSTANTIATE_TEST_SUITE_P(
    Serials, ChildSerialTest,
    ::testing::Values(
        SerialCase{7, u"0007", 22, u"ZAM_Virtual_0007", 44},
        SerialCase{12345, u"12345", 22, u"ZAM_Virtual_12345", 44},
        SerialCase{999999999, u"999999999", 22, u"ZAM_Virtual_999999999", 44},
        SerialCase{1000000000, u"1000000000", 22, u"ZAM_Virtual_1000000000", 46},
        SerialCase{2147483647, u"2147483647", 22, u"ZAM_Virtual_2147483647", 46},
        SerialCase{0x80000000u, u"-2147483648", 24, u"ZAM_Virtual_-2147483648", 48},
        SerialCase{0xFA0A1F00u, u"-100000000", 22, u"ZAM_Virtual_-100000000", 46},
        SerialCase{0xFFFFFFFFu, u"-001", 22, u"ZAM_Virtual_-001", 44}),
    [](const ::testing::TestParamInfo<SerialCase>& info) { return "Serial" + std::to_string(info.param.serial); });

TEST_F(ChildIdentityTest, DescriptionQueryThatAlreadyHoldsAnAnswerKeepsIt) {
  Boot();
  ASSERT_EQ(PlugIn(7), STATUS_SUCCESS);
  khost::DevNode* node = Node(7);
  ASSERT_NE(node, nullptr);

  // A filter above has answered already.
  PWCHAR theirs = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, 8, 0x746C6946));
  std::memcpy(theirs, u"Flt", 8);
  size_t allocations = khost::PoolAllocationCount();
  RequestResult result = QueryText(node, DeviceTextDescription, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(theirs));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, reinterpret_cast<ULONG_PTR>(theirs));
  EXPECT_EQ(khost::PoolAllocationCount(), allocations) << "the child allocated an answer nobody will free";
  PoolAnswer answer = TakePoolAnswer(result.information);
  ASSERT_TRUE(answer.fromPool);
  EXPECT_EQ(Hex(answer.content), Hex(Bytes(std::u16string(u"Flt\0", 4))));

  // Even when the status that arrived is not a success.
  theirs = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, 8, 0x746C6946));
  result = QueryText(node, DeviceTextDescription, STATUS_NOT_SUPPORTED, reinterpret_cast<ULONG_PTR>(theirs));
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(result.information, reinterpret_cast<ULONG_PTR>(theirs));
  ExFreePoolWithTag(theirs, 0);
}

TEST_F(ChildIdentityTest, UnhandledIdAndTextTypesKeepTheirStatusAndInformation) {
  Boot();
  ASSERT_EQ(PlugIn(7), STATUS_SUCCESS);
  khost::DevNode* node = Node(7);
  ASSERT_NE(node, nullptr);

  struct Arrival {
    NTSTATUS status;
    ULONG_PTR information;
  };
  const Arrival arrivals[] = {{STATUS_NOT_SUPPORTED, 0}, {STATUS_SUCCESS, 0x7A7A0}, {kDeviceNotReady, 0x10}};
  size_t allocations = khost::PoolAllocationCount();
  for (const Arrival& a : arrivals) {
    for (ULONG type : {4u, 5u, 6u, 0x7Fu, 0xFFFFFFFFu}) {
      RequestResult result = QueryId(node, type, a.status, a.information);
      EXPECT_EQ(result.status, a.status) << "ID type " << type;
      EXPECT_EQ(result.information, a.information) << "ID type " << type;
    }
    for (ULONG type : {1u, 2u, 0xFFu}) {
      RequestResult result = QueryText(node, type, a.status, a.information);
      EXPECT_EQ(result.status, a.status) << "text type " << type;
      EXPECT_EQ(result.information, a.information) << "text type " << type;
    }
  }
  EXPECT_EQ(khost::PoolAllocationCount(), allocations) << "an unhandled query allocated";
}

TEST_F(ChildIdentityTest, AnswerThatCannotBeAllocatedFailsAndLeavesTheRequestAlone) {
  Boot();
  ASSERT_EQ(PlugIn(7), STATUS_SUCCESS);
  khost::DevNode* node = Node(7);
  ASSERT_NE(node, nullptr);

  for (ULONG type : {0u, 1u, 2u, 3u}) {
    khost::FailNth(khost::FaultPoint::PoolAllocation, 1, PagedPool);
    RequestResult result = QueryId(node, type, STATUS_NOT_SUPPORTED, 0x3C3C0);
    EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES) << "ID type " << type;
    EXPECT_EQ(result.information, 0x3C3C0u) << "ID type " << type;
  }
  khost::FailNth(khost::FaultPoint::PoolAllocation, 1, PagedPool);
  RequestResult result = QueryText(node, DeviceTextDescription);
  EXPECT_EQ(result.status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(result.information, 0u);
  khost::ClearFaults();
}
