// Who a child says it is and what it can do: the IDs, texts and capabilities
// the Plug and Play manager asks for, checked byte for byte. Capabilities are
// those of the node the bus sits on, asked through the bus's own stack; a
// record the child cannot use, or a bus stack that cannot answer, is left as it came.
#include "child_fixture.h"

using namespace child_test;

namespace {

// ID and text types both lead the request's parameters; stored raw, as a sender may put any number there.
std::function<void(PIO_STACK_LOCATION)> Type(ULONG type) {
  return [type](PIO_STACK_LOCATION s) { std::memcpy(&s->Parameters, &type, sizeof(type)); };
}

// A capabilities record as the manager pre-fills it, and a tail the child must never reach.
struct PaddedRecord { DEVICE_CAPABILITIES caps; uint8_t tail[16]; };
PaddedRecord ManagerRecord() {
  PaddedRecord record{};  // no padding anywhere: every byte is zero
  std::memset(record.tail, 0xEE, sizeof(record.tail));
  record.caps.Size = sizeof(DEVICE_CAPABILITIES);
  record.caps.Version = 1;
  record.caps.Address = record.caps.UINumber = 0xFFFFFFFF;
  return record;
}
// The word of one-bit flags that follows Size and Version.
void SetFlagWord(DEVICE_CAPABILITIES& c, ULONG w) { std::memcpy((uint8_t*)&c + 4, &w, 4); }

constexpr DEVICE_POWER_STATE U = PowerDeviceUnspecified, D0 = PowerDeviceD0, D1 = PowerDeviceD1, D2 = PowerDeviceD2,
                             D3 = PowerDeviceD3;

}  // namespace

class ChildIdentityTest : public ChildTest {
 protected:
  RequestResult QueryCaps(void* record) {
    return Send(node_, IRP_MN_QUERY_CAPABILITIES, [record](PIO_STACK_LOCATION s) {
      s->Parameters.DeviceCapabilities.Capabilities = static_cast<PDEVICE_CAPABILITIES>(record);
    });
  }
  khost::RootPdoConfig& BusNode() { return *bus_->Node()->root; }
};

TEST_F(ChildIdentityTest, OneChildTravelsFromPlugInToStartWithEveryAnswerExact) {
  // The hardware-ID list ends at its first empty string: what follows is not the child's.
  StartSeven({}, {u"VELMORA\\NET", u"VELMORA\\ANY", u"", u"VELMORA\\LOST"});

  // The device ID is read as one string, but the child hands over the whole list, in a block as long as it.
  const std::string ids = Padded(khost::JoinMultiSz({u"VELMORA\\NET", u"VELMORA\\ANY"}));
  EXPECT_EQ(Hex(node_->answers["device ID"]), ids);
  EXPECT_EQ(Hex(node_->answers["hardware IDs"]), ids);
  // 126 bytes of list at the start of a 254-byte block, no stale pool behind it.
  EXPECT_EQ(Hex(node_->answers["compatible IDs"]), Padded(kCompatibleId + std::u16string(2, u'\0'), 254));
  EXPECT_EQ(Hex(node_->answers["instance ID"]), Padded(u"0007", 22));
  EXPECT_EQ(Hex(node_->answers["description"]), Padded(u"ZAM_Virtual_0007", 44));
  // Location text and the container ID are not the child's: the manager's status comes back.
  EXPECT_EQ(node_->locationStatus, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(node_->containerIdStatus, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(node_->answers.size(), 5u);

  DEVICE_CAPABILITIES caps = ManagerRecord().caps;  // from the host's default bus node, which keeps S1 in D2
  caps.DeviceD1 = caps.SilentInstall = caps.SurpriseRemovalOK = caps.WakeFromD1 = 1;
  caps.Address = caps.UINumber = 7;
  const DEVICE_POWER_STATE states[PowerSystemMaximum] = {U, D0, D1, D3, D3, D3, D3};
  std::copy(states, states + PowerSystemMaximum, caps.DeviceState);
  caps.DeviceWake = D1;  // SystemWake stays the request's unspecified
  EXPECT_EQ(Hex(&node_->capabilities, sizeof(caps)), Hex(&caps, sizeof(caps)));

  // Matched on the compatible ID, the function driver is on the stack and the child started at full power.
  EXPECT_NE(PassthroughDeviceOn(pdo_), nullptr);
  EXPECT_EQ(child_->Header.PreviousPnpState, StateNotStarted);
  EXPECT_EQ(child_->DevicePowerState, PowerDeviceD0);
  EXPECT_TRUE(child_->Reported && child_->Present);
  EXPECT_EQ(pdo_->Flags & (DO_DEVICE_INITIALIZING | DO_POWER_PAGABLE), ULONG(DO_POWER_PAGABLE));
  // After its identity, what a new device is asked before and around its start: the child keeps the
  // manager's status for each (no resources, no bus information, no state to report).
  const std::vector<std::string> asked = {"QUERY_BUS_INFORMATION -> 0xc00000bb", "QUERY_RESOURCES -> 0xc00000bb",
                                          "QUERY_RESOURCE_REQUIREMENTS -> 0xc00000bb", "DEVICE_ENUMERATED -> 0xc00000bb",
                                          "AddDevice -> 0", "FILTER_RESOURCE_REQUIREMENTS -> 0xc00000bb",
                                          "START_DEVICE -> 0", "QUERY_PNP_DEVICE_STATE -> 0xc00000bb"};
  const auto identified = std::find(node_->history.begin(), node_->history.end(), "QUERY_BUS_INFORMATION -> 0xc00000bb");
  ASSERT_NE(identified, node_->history.end());
  EXPECT_EQ(std::vector<std::string>(identified, std::min(identified + asked.size(), node_->history.end())), asked);
  // Each answer is traced as it is made, and the child's router traces its way out.
  for (const std::string& line : {std::string("Velmora===: \tQueryId Type: 0\n"),
                                  std::string("Velmora===: BusQueryDeviceID=VELMORA\\NET"),
                                  std::string("Velmora===: BusQueryHardwareIDs=VELMORA\\NET"),
                                  "Velmora===: BusQueryCompatibleIDs=" + khost::Narrow(kCompatibleId) + "\n",
                                  std::string("Velmora===: BusQueryInstanceID=0007\n"),
                                  std::string("Velmora<===Pdo_PnP, NTSTATUS:0")})
    EXPECT_NE(CountLines(line), 0u) << line;
}

// Serials of every width, including those whose text does not fit the sizes the manager has always been
// handed: the whole number is printed, in a block just large enough, and nothing is written past it.
TEST_F(ChildIdentityTest, InstanceIdAndDescriptionHoldTheWholeSerialNumber) {
  struct Case { ULONG serial; std::u16string instance; size_t instanceBlock, descriptionBlock; };
  const Case cases[] = {{12345, u"12345", 22, 44},           {999999999, u"999999999", 22, 44},
                        {1000000000, u"1000000000", 22, 46}, {2147483647, u"2147483647", 22, 46},
                        {0x80000000u, u"-2147483648", 24, 48}, {0xFA0A1F00u, u"-100000000", 22, 46},
                        {0xFFFFFFFFu, u"-001", 22, 44}};
  StartSeven();  // 7 itself: "0007" on the road above
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial);
    ASSERT_EQ(PlugIn(c.serial), STATUS_SUCCESS);
    khost::DevNode* node = Node(c.serial);
    ASSERT_NE(node, nullptr) << khost::Pnp().Describe();
    EXPECT_EQ(Hex(node->answers["instance ID"]), Padded(c.instance, c.instanceBlock));
    EXPECT_EQ(Hex(node->answers["description"]), Padded(u"ZAM_Virtual_" + c.instance, c.descriptionBlock));
    EXPECT_TRUE(node->capabilities.Address == c.serial && node->capabilities.UINumber == c.serial);
  }
}

TEST_F(ChildIdentityTest, DescriptionQueryThatAlreadyHoldsAnAnswerKeepsIt) {
  StartSeven();
  for (NTSTATUS arriving : {STATUS_SUCCESS, STATUS_NOT_SUPPORTED}) {
    khost::FaultExemption filtersOwn;
    PWCHAR theirs = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, 8, 0x746C6946));  // a filter above's
    std::memcpy(theirs, u"Flt", 8);
    RequestResult result = Send(node_, IRP_MN_QUERY_DEVICE_TEXT, Type(DeviceTextDescription), arriving,
                                reinterpret_cast<ULONG_PTR>(theirs));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, reinterpret_cast<ULONG_PTR>(theirs));
    EXPECT_EQ(Hex(TakePoolAnswer(result.information)), Padded(std::u16string(u"Flt\0", 4)));
  }
}

TEST_F(ChildIdentityTest, UnhandledIdAndTextTypesKeepTheirStatusAndInformation) {
  StartSeven();  // an answer allocated and dropped would be left at the end
  for (auto [status, information] : {std::pair<NTSTATUS, ULONG_PTR>{STATUS_NOT_SUPPORTED, 0},
                                     {STATUS_SUCCESS, 0x7A7A0}, {kOtherSuccess, 0x10}}) {
    for (auto [minor, type] : {std::pair<UCHAR, ULONG>{IRP_MN_QUERY_ID, 4}, {IRP_MN_QUERY_ID, 5}, {IRP_MN_QUERY_ID, 6},
                               {IRP_MN_QUERY_ID, 0xFFFFFFFF}, {IRP_MN_QUERY_DEVICE_TEXT, 1},
                               {IRP_MN_QUERY_DEVICE_TEXT, 2}, {IRP_MN_QUERY_DEVICE_TEXT, 0xFF}}) {
      RequestResult result = Send(node_, minor, Type(type), status, information);
      EXPECT_EQ(Outcome(result), Outcome(status, information))
          << "minor " << int(minor) << " type " << type;
    }
  }
}

// The working state is always D0; a sleeping state the bus node keeps in D0 stays D0, any other value
// (unspecified included) becomes D1 for S1 and D3 for S2 and S3; unspecified, hibernate and shutdown pass.
// Fixed flags, address, UI number, wake state and latencies are set; the request's other flags and its
// system wake state are kept, whatever the bus node claims (every pairing of flag patterns comes up once).
TEST_F(ChildIdentityTest, CapabilitiesFollowTheBusNodeWithFixedFieldsAndTheRequestsOwnKept) {
  struct Case { const char* name; DEVICE_POWER_STATE bus[PowerSystemMaximum], child[PowerSystemMaximum]; };
  const Case cases[] = {
      //           Unspec Work S1  S2  S3  Hib Shut        Unspec Work S1  S2  S3  Hib Shut
      {"sleep in D0", {U, D0, D0, D0, D0, D3, D3}, {U, D0, D0, D0, D0, D3, D3}},
      {"sleep in D2", {U, D0, D2, D2, D2, D3, D3}, {U, D0, D1, D3, D3, D3, D3}},
      {"sleep in D3", {U, D0, D3, D3, D3, D3, D3}, {U, D0, D1, D3, D3, D3, D3}},
      {"unspecified", {U, U, U, U, U, U, U}, {U, D0, D1, D3, D3, U, U}},
      {"only S1 in D0", {U, D0, D0, D3, D2, D3, D3}, {U, D0, D0, D3, D3, D3, D3}},
      {"working not D0", {U, D3, D2, D0, D3, D3, D3}, {U, D0, D1, D0, D3, D3, D3}},
      {"others pass through", {D3, D0, D2, D3, D3, D2, D1}, {D3, D0, D1, D3, D3, D2, D1}}};
  const ULONG busFlags[] = {0u, 0xFFFFFFFFu}, requestFlags[] = {0u, 0xFFFFFFFFu, 0x0005A124u};
  StartSeven();
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    DEVICE_CAPABILITIES& bus = BusNode().capabilities;
    std::copy(cases[i].bus, cases[i].bus + PowerSystemMaximum, bus.DeviceState);
    SetFlagWord(bus, busFlags[i % 2]);
    bus.SystemWake = PowerSystemSleeping3;
    bus.DeviceWake = D3;
    bus.D1Latency = bus.D2Latency = bus.D3Latency = 11;
    PaddedRecord record = ManagerRecord();
    SetFlagWord(record.caps, requestFlags[i % 3]);
    record.caps.SystemWake = PowerSystemHibernate;  // the request's own: kept over the bus node's
    record.caps.DeviceWake = D2;
    record.caps.D1Latency = record.caps.D2Latency = record.caps.D3Latency = 77;
    PaddedRecord expected = record;
    std::copy(cases[i].child, cases[i].child + PowerSystemMaximum, expected.caps.DeviceState);
    SetFlagWord(expected.caps, (requestFlags[i % 3] & ~0x745Au) | 0xA81u);
    expected.caps.Address = expected.caps.UINumber = 7;
    expected.caps.DeviceWake = D1;
    expected.caps.D1Latency = expected.caps.D2Latency = expected.caps.D3Latency = 0;
    RequestResult result = QueryCaps(&record);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(Hex(&record, sizeof(record)), Hex(&expected, sizeof(expected)));
  }
}

// A record of another version or too small is refused without asking the bus; a bus stack that fails,
// fails later or cannot be asked leaves the record as it came; a larger record is answered in its first
// 64 bytes, a lower device that pends is waited for. The bus stack's top is never left referenced.
TEST_F(ChildIdentityTest, RecordIsAnsweredOnlyWhenItFitsAndTheBusStackAnswers) {
  struct Case { const char* name; USHORT version, size; NTSTATUS bus; bool pend, unbuildable; NTSTATUS expected; };
  const Case cases[] = {{"version 2", 2, 64, STATUS_SUCCESS, false, false, STATUS_UNSUCCESSFUL},
                        {"size 60", 1, 60, STATUS_SUCCESS, false, false, STATUS_UNSUCCESSFUL},
                        {"bus fails", 1, 64, kDeviceNotReady, false, false, kDeviceNotReady},
                        {"bus fails later", 1, 64, STATUS_INSUFFICIENT_RESOURCES, true, false,
                         STATUS_INSUFFICIENT_RESOURCES},
                        {"no request built", 1, 64, STATUS_SUCCESS, false, true, STATUS_INSUFFICIENT_RESOURCES},
                        {"size 80", 1, 80, STATUS_SUCCESS, false, false, STATUS_SUCCESS},
                        {"bus answers later", 1, 64, STATUS_SUCCESS, true, false, STATUS_SUCCESS}};
  StartSeven();
  const auto build = khost::FaultPoint::BuildSynchronousFsdRequest;
  const LONG_PTR references = khost::ReferenceCount(bus_->Fdo());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BusNode().capabilitiesStatus = c.bus;
    BusNode().capabilitiesPend = c.pend;
    if (c.unbuildable) khost::FailNth(build, 1);
    PaddedRecord record = ManagerRecord();
    record.caps.Version = c.version;
    record.caps.Size = c.size;
    const PaddedRecord before = record;
    const uint64_t built = khost::CallCount(build);
    RequestResult result = QueryCaps(&record);
    EXPECT_EQ(Outcome(result), Outcome(c.expected, 0));
    EXPECT_EQ(khost::CallCount(build), built + (c.version == 1 && c.size >= 64)) << "the bus stack asked or not";
    EXPECT_EQ(khost::ReferenceCount(bus_->Fdo()), references) << "the bus stack's top stayed referenced";
    if (c.expected == STATUS_SUCCESS) {
      EXPECT_EQ(record.caps.Address, 7u);
      EXPECT_EQ(record.caps.DeviceState[PowerSystemHibernate], D3) << "not the bus node's answer";
      EXPECT_EQ(Hex(record.tail, sizeof(record.tail)), Hex(before.tail, sizeof(before.tail)));
    } else {
      EXPECT_EQ(Hex(&record, sizeof(record)), Hex(&before, sizeof(before))) << "the record was touched";
    }
    khost::ClearFaults();
  }
}
