// What a child can do: its capabilities are those of the node the bus sits
// on, asked through the bus's own stack, then tightened to a fixed pattern.
// A record the child cannot use, or a bus stack that cannot answer, leaves
// the caller's record exactly as it was.
#include <algorithm>
#include <functional>

#include "child_fixture.h"

using namespace child_test;
using khost::RequestResult;

namespace {

constexpr NTSTATUS kDeviceNotReady = static_cast<NTSTATUS>(0xC00000A3L);
constexpr ULONG kClearedFlags = 0x745A;
constexpr ULONG kSetFlags = 0xA81;

ULONG FlagWord(const DEVICE_CAPABILITIES& caps) {
  ULONG word;
  std::memcpy(&word, reinterpret_cast<const uint8_t*>(&caps) + 4, 4);
  return word;
}
void SetFlagWord(DEVICE_CAPABILITIES& caps, ULONG word) {
  std::memcpy(reinterpret_cast<uint8_t*>(&caps) + 4, &word, 4);
}

// A capabilities record as the manager pre-fills it, followed by a tail the
// child must never reach.
struct PaddedRecord {
  DEVICE_CAPABILITIES caps;
  uint8_t tail[16];
};

PaddedRecord ManagerRecord() {
  PaddedRecord record;
  std::memset(&record, 0, sizeof(record));
  std::memset(record.tail, 0xEE, sizeof(record.tail));
  record.caps.Size = sizeof(DEVICE_CAPABILITIES);
  record.caps.Version = 1;
  record.caps.Address = 0xFFFFFFFF;
  record.caps.UINumber = 0xFFFFFFFF;
  return record;
}

RequestResult QueryCaps(khost::DevNode* node, void* record) {
  return khost::Pnp().Send(node, IRP_MN_QUERY_CAPABILITIES, [record](PIRP, PIO_STACK_LOCATION stack) {
    stack->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(record);
  });
}

std::string Bytes(const void* p, size_t n) {
  const uint8_t* first = static_cast<const uint8_t*>(p);
  return Hex(std::vector<uint8_t>(first, first + n));
}

}  // namespace

class ChildCapabilitiesTest : public ChildTest {
 protected:
  // A started child with serial 7 on a bus whose node answers as `config` says.
  khost::DevNode* StartChild(const khost::RootPdoConfig& config = khost::RootPdoConfig()) {
    Boot(config);
    if (PlugIn(7) != STATUS_SUCCESS) return nullptr;
    return Node(7);
  }
  khost::RootPdoConfig& BusNode() { return *bus_->Node()->root; }
};

// How the sleeping states the bus node maps come out for the child: the
// working state is always D0; a sleeping state the bus node keeps in D0 stays
// D0, any other value (unspecified included) becomes D1 for S1 and D3 for S2
// and S3; unspecified, hibernate and shutdown pass through as they are.
struct MappingCase {
  const char* name;
  DEVICE_POWER_STATE bus[PowerSystemMaximum];
  DEVICE_POWER_STATE child[PowerSystemMaximum];
};

class ChildCapabilityMappingTest : public ChildCapabilitiesTest,
                                   public ::testing::WithParamInterface<MappingCase> {};

TEST_P(ChildCapabilityMappingTest, SleepingStatesFollowTheBusNode) {
  const MappingCase& c = GetParam();
  khost::RootPdoConfig config;
  for (int s = 0; s < PowerSystemMaximum; ++s) config.capabilities.DeviceState[s] = c.bus[s];
  khost::DevNode* node = StartChild(config);
  ASSERT_NE(node, nullptr);

  // As the manager received them while enumerating, and asked again.
  PaddedRecord record = ManagerRecord();
  RequestResult result = QueryCaps(node, &record);
  ASSERT_EQ(result.status, STATUS_SUCCESS);
  for (int s = 0; s < PowerSystemMaximum; ++s) {
    EXPECT_EQ(node->capabilities.DeviceState[s], c.child[s]) << "system state " << s;
    EXPECT_EQ(record.caps.DeviceState[s], c.child[s]) << "system state " << s;
  }
}

constexpr DEVICE_POWER_STATE U = PowerDeviceUnspecified, D0 = PowerDeviceD0, D1 = PowerDeviceD1,
                             D2 = PowerDeviceD2, D3 = PowerDeviceD3;

INSTANTIATE_TEST_SUITE_P(
    BusNodeMappings, ChildCapabilityMappingTest,
    ::testing::Values(
        //           Unspec Work S1  S2  S3  Hib Shut        Unspec Work S1  S2  S3  Hib Shut
        MappingCase{"SleepInD0", {U, D0, D0, D0, D0, D3, D3}, {U, D0, D0, D0, D0, D3, D3}},
        MappingCase{"SleepInD2", {U, D0, D2, D2, D2, D3, D3}, {U, D0, D1, D3, D3, D3, D3}},
        MappingCase{"SleepInD3", {U, D0, D3, D3, D3, D3, D3}, {U, D0, D1, D3, D3, D3, D3}},
        MappingCase{"SleepInD1", {U, D0, D1, D1, D1, D3, D3}, {U, D0, D1, D3, D3, D3, D3}},
        MappingCase{"Unspecified", {U, U, U, U, U, U, U}, {U, D0, D1, D3, D3, U, U}},
        MappingCase{"OnlyS1InD0", {U, D0, D0, D3, D2, D3, D3}, {U, D0, D0, D3, D3, D3, D3}},
        MappingCase{"WorkingNotD0", {U, D3, D2, D0, D3, D3, D3}, {U, D0, D1, D0, D3, D3, D3}},
        MappingCase{"OthersPassThrough", {D3, D0, D2, D3, D3, D2, D1}, {D3, D0, D1, D3, D3, D2, D1}}),
    [](const ::testing::TestParamInfo<MappingCase>& info) { return std::string(info.param.name); });

TEST_F(ChildCapabilitiesTest, FixedFieldsAreSetAndTheRequestsOwnFieldsAreKept) {
  khost::DevNode* node = StartChild();
  ASSERT_NE(node, nullptr);
  // The bus node claims everything or nothing, the request carries its own
  // values for the fields the child leaves alone; flag patterns both ways round.
  for (ULONG busFlags : {0u, 0xFFFFFFFFu}) {
    for (ULONG requestFlags : {0u, 0xFFFFFFFFu, 0x0005A124u}) {
      SCOPED_TRACE(::testing::Message() << std::hex << "bus flags " << busFlags << ", request flags "
                                        << requestFlags);
      DEVICE_CAPABILITIES& bus = BusNode().capabilities;
      SetFlagWord(bus, busFlags);
      bus.SystemWake = PowerSystemSleeping3;
      bus.DeviceWake = PowerDeviceD3;
      bus.D1Latency = 11;
      bus.D2Latency = 22;
      bus.D3Latency = 33;

      PaddedRecord record = ManagerRecord();
      SetFlagWord(record.caps, requestFlags);
      record.caps.SystemWake = PowerSystemHibernate;
      record.caps.DeviceWake = PowerDeviceD2;
      record.caps.D1Latency = record.caps.D2Latency = record.caps.D3Latency = 77;
      RequestResult result = QueryCaps(node, &record);
      ASSERT_EQ(result.status, STATUS_SUCCESS);
      EXPECT_EQ(result.information, 0u);

      EXPECT_EQ(FlagWord(record.caps), (requestFlags & ~kClearedFlags) | kSetFlags);
      EXPECT_EQ(record.caps.Size, sizeof(DEVICE_CAPABILITIES));
      EXPECT_EQ(record.caps.Version, 1);
      EXPECT_EQ(record.caps.Address, 7u);
      EXPECT_EQ(record.caps.UINumber, 7u);
      EXPECT_EQ(record.caps.SystemWake, PowerSystemHibernate) << "the bus node's value was copied";
      EXPECT_EQ(record.caps.DeviceWake, PowerDeviceD1);
      EXPECT_EQ(record.caps.D1Latency, 0u);
      EXPECT_EQ(record.caps.D2Latency, 0u);
      EXPECT_EQ(record.caps.D3Latency, 0u);
      EXPECT_EQ(Bytes(record.tail, sizeof(record.tail)), Bytes(ManagerRecord().tail, sizeof(record.tail)));
    }
  }
}

TEST_F(ChildCapabilitiesTest, LargerRecordIsAnsweredWithinItsFirst64Bytes) {
  khost::DevNode* node = StartChild();
  ASSERT_NE(node, nullptr);
  PaddedRecord record = ManagerRecord();
  record.caps.Size = sizeof(PaddedRecord);  // 80
  RequestResult result = QueryCaps(node, &record);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(record.caps.Size, 80);
  EXPECT_EQ(record.caps.Address, 7u);
  EXPECT_EQ(Bytes(record.tail, sizeof(record.tail)), Bytes(ManagerRecord().tail, sizeof(record.tail)));
}

TEST_F(ChildCapabilitiesTest, RecordOfAnotherVersionOrTooSmallIsRefusedWithoutAskingTheBus) {
  khost::DevNode* node = StartChild();
  ASSERT_NE(node, nullptr);
  struct Case {
    USHORT version;
    USHORT size;
  };
  for (Case c : {Case{2, 64}, Case{0, 64}, Case{1, 60}, Case{1, 0}, Case{2, 80}}) {
    PaddedRecord record = ManagerRecord();
    record.caps.Version = c.version;
    record.caps.Size = c.size;
    PaddedRecord before = record;
    uint64_t asked = khost::CallCount(khost::FaultPoint::BuildSynchronousFsdRequest);
    RequestResult result = QueryCaps(node, &record);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL) << "version " << c.version << " size " << c.size;
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Bytes(&record, sizeof(record)), Bytes(&before, sizeof(before))) << "the record was touched";
    EXPECT_EQ(khost::CallCount(khost::FaultPoint::BuildSynchronousFsdRequest), asked) << "the bus stack was asked";
  }
}

TEST_F(ChildCapabilitiesTest, BusStackThatFailsOrCannotBeAskedLeavesTheRecordUntouched) {
  khost::DevNode* node = StartChild();
  ASSERT_NE(node, nullptr);
  const LONG_PTR references = khost::ReferenceCount(bus_->Fdo());

  struct Case {
    const char* name;
    std::function<void()> arrange;
    NTSTATUS expected;
  };
  const Case cases[] = {
      {"bus node fails the query", [&] { BusNode().capabilitiesStatus = kDeviceNotReady; }, kDeviceNotReady},
      {"bus node fails the query later",
       [&] {
         BusNode().capabilitiesStatus = STATUS_INSUFFICIENT_RESOURCES;
         BusNode().capabilitiesPend = true;
       },
       STATUS_INSUFFICIENT_RESOURCES},
      {"no request can be built",
       [&] { khost::FailNth(khost::FaultPoint::BuildSynchronousFsdRequest, 1); },
       STATUS_INSUFFICIENT_RESOURCES},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.arrange();
    PaddedRecord record = ManagerRecord();
    record.caps.SystemWake = PowerSystemSleeping2;
    record.caps.LockSupported = 1;
    PaddedRecord before = record;
    RequestResult result = QueryCaps(node, &record);
    EXPECT_EQ(result.status, c.expected);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Bytes(&record, sizeof(record)), Bytes(&before, sizeof(before))) << "the record was touched";
    EXPECT_EQ(khost::ReferenceCount(bus_->Fdo()), references) << "the bus stack's top stayed referenced";
    BusNode().capabilitiesStatus = STATUS_SUCCESS;
    BusNode().capabilitiesPend = false;
    khost::ClearFaults();
  }
}

TEST_F(ChildCapabilitiesTest, BusNodeThatAnswersFromAnotherThreadIsWaitedFor) {
  khost::RootPdoConfig config;
  config.capabilitiesPend = true;
  config.capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD0;
  config.capabilities.DeviceState[PowerSystemHibernate] = PowerDeviceD2;
  khost::DevNode* node = StartChild(config);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->capabilitiesStatus, STATUS_SUCCESS);
  EXPECT_EQ(node->capabilities.DeviceState[PowerSystemSleeping1], PowerDeviceD0);

  const LONG_PTR references = khost::ReferenceCount(bus_->Fdo());
  PaddedRecord record = ManagerRecord();
  RequestResult result = QueryCaps(node, &record);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(record.caps.DeviceState[PowerSystemSleeping1], PowerDeviceD0);
  EXPECT_EQ(record.caps.DeviceState[PowerSystemHibernate], PowerDeviceD2);
  EXPECT_EQ(record.caps.Address, 7u);
  EXPECT_EQ(khost::ReferenceCount(bus_->Fdo()), references);
}

TEST_F(ChildCapabilitiesTest, QueryTravelsThroughTheBusDeviceToItsNode) {
  khost::DevNode* node = StartChild();
  ASSERT_NE(node, nullptr);
  khost::TakeTraceLines();
  PaddedRecord record = ManagerRecord();
  ASSERT_EQ(QueryCaps(node, &record).status, STATUS_SUCCESS);
  std::vector<std::string> lines = khost::TraceLines();
  // The bus's own Plug and Play dispatch sees the query on its way down.
  auto at = [&](const std::string& line) {
    auto found = std::find(lines.begin(), lines.end(), line);
    EXPECT_NE(found, lines.end()) << "no trace line '" << line << "'";
    return found - lines.begin();
  };
  EXPECT_LT(at("Velmora===>CommonPdo_QueryDeviceCaps"), at("Velmora===>BusFdo_GetDeviceCapabilities"));
  EXPECT_LT(at("Velmora===>BusFdo_GetDeviceCapabilities"), at("Velmora===>BusFdo_Pnp"));
  EXPECT_LT(at("Velmora===>BusFdo_Pnp"), at("Velmora<===BusFdo_GetDeviceCapabilities, NTSTATUS:0"));
  EXPECT_LT(at("Velmora<===BusFdo_GetDeviceCapabilities, NTSTATUS:0"),
            at("Velmora<===CommonPdo_QueryDeviceCaps, NTSTATUS:0"));
}

TEST_F(ChildCapabilitiesTest, DetachedChildAnswersWithoutTouchingAnyBus) {
  khost::DevNode* node = StartChild();
  ASSERT_NE(node, nullptr);
  PDEVICE_OBJECT pdo = node->pdo;
  PDEVICE_OBJECT passthrough = PassthroughDeviceOn(pdo);
  ASSERT_NE(passthrough, nullptr);

  // The bus node goes away without warning; its children are detached but
  // not yet removed.
  khost::Pnp().SurpriseRemove(bus_->Node());
  ASSERT_EQ(Ext(pdo)->ParentFdo, nullptr);

  PaddedRecord record = ManagerRecord();
  PaddedRecord before = record;
  uint64_t asked = khost::CallCount(khost::FaultPoint::BuildSynchronousFsdRequest);
  RequestResult result = QueryCaps(node, &record);
  EXPECT_EQ(result.status, STATUS_DEVICE_NOT_CONNECTED);
  EXPECT_EQ(result.information, 0u);
  EXPECT_EQ(Bytes(&record, sizeof(record)), Bytes(&before, sizeof(before)));
  EXPECT_EQ(khost::CallCount(khost::FaultPoint::BuildSynchronousFsdRequest), asked);

  // A bad record is still refused for what it is.
  record.caps.Version = 2;
  EXPECT_EQ(QueryCaps(node, &record).status, STATUS_UNSUCCESSFUL);

  // The manager sends the removals once the service has let go of the bus.
  bus_->Service().Close(service_);
  khost::Pnp().CompleteSurpriseRemoval(bus_->Node());
  EXPECT_TRUE(khost::DevicesOf(bus_->Driver()).empty());
  bus_->Unload();
}
