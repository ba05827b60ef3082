// Plug-in and unplug as the service sends them: what a plug-in record must
// look like before anything is created, which serial numbers are taken, two
// plug-ins racing for one number, and which children an unplug marks.
#include "bus_fixture.h"

using namespace bus_test;

namespace {

std::u16string Multi(const std::vector<std::u16string>& ids) { return khost::JoinMultiSz(ids); }
std::u16string Repeat(char16_t c, size_t n) { return std::u16string(n, c); }
std::u16string With(char16_t c) { return u"VELMORA\\N" + std::u16string(1, c) + u"T"; }

struct PlugInCase {
  const char* name;
  std::vector<uint8_t> record;  // sent whole, as the input
  NTSTATUS expected;
  ULONG serial;
};

void PrintTo(const PlugInCase& c, std::ostream* os) { *os << c.name; }

std::vector<uint8_t> Sized(std::vector<uint8_t> record, ULONG size) {
  SetSizeField(record, size);
  return record;
}
std::vector<uint8_t> Truncated(size_t bytes) {
  std::vector<uint8_t> record = PlugInBytes(7, Multi({kNetId}));
  record.resize(bytes);
  if (bytes >= 4) SetSizeField(record, static_cast<ULONG>(bytes));
  return record;
}
// A record whose Size counts one byte past the multi-string.
std::vector<uint8_t> OddSized(ULONG serial, const std::u16string& multi) {
  std::vector<uint8_t> record = PlugInBytes(serial, multi);
  record.push_back(0x41);
  SetSizeField(record, static_cast<ULONG>(record.size()));
  return record;
}

std::vector<PlugInCase> PlugInCases() {
  const std::vector<uint8_t> good = PlugInBytes(7, Multi({kNetId}));
  const ULONG goodSize = static_cast<ULONG>(good.size());
  return {
      // The record's length and its closing double null.
      {"SizeAboveInputLength", Sized(good, goodSize + 2), STATUS_INVALID_PARAMETER, 7},
      {"SizeBelowInputLength", Sized(good, goodSize - 2), STATUS_INVALID_PARAMETER, 7},
      {"FifteenBytes", Truncated(15), STATUS_INVALID_PARAMETER, 7},
      {"HeaderOnly", Truncated(12), STATUS_INVALID_PARAMETER, 7},
      {"NoInput", {}, STATUS_INVALID_PARAMETER, 7},
      {"OneClosingNull", PlugInBytes(7, kNetId + u'\0'), STATUS_INVALID_PARAMETER, 7},
      {"NoNullAtAll", PlugInBytes(7, kNetId), STATUS_INVALID_PARAMETER, 7},
      {"OddSizeWithoutDoubleNull", OddSized(7, kNetId + u'\0'), STATUS_INVALID_PARAMETER, 7},
      {"OddSizeLastByteIsNoCharacter", OddSized(7, Multi({kNetId})), STATUS_SUCCESS, 7},
      // The IDs: the first becomes the child's device ID.
      {"EmptyListOfSixteenBytes", PlugInBytes(7, Repeat(u'\0', 2)), STATUS_INVALID_PARAMETER, 7},
      {"EmptyFirstString", PlugInBytes(7, u'\0' + Multi({kNetId})), STATUS_INVALID_PARAMETER, 7},
      {"ControlCharacter01", PlugInBytes(7, Multi({With(0x01)})), STATUS_INVALID_PARAMETER, 7},
      {"ControlCharacter1F", PlugInBytes(7, Multi({With(0x1F)})), STATUS_INVALID_PARAMETER, 7},
      {"Space", PlugInBytes(7, Multi({With(u' ')})), STATUS_INVALID_PARAMETER, 7},
      {"Comma", PlugInBytes(7, Multi({With(u',')})), STATUS_INVALID_PARAMETER, 7},
      {"Above7F", PlugInBytes(7, Multi({With(0x80)})), STATUS_INVALID_PARAMETER, 7},
      {"WideCharacter", PlugInBytes(7, Multi({With(0x4E2D)})), STATUS_INVALID_PARAMETER, 7},
      {"Character7FIsAllowed", PlugInBytes(7, Multi({With(0x7F)})), STATUS_SUCCESS, 7},
      {"Character21IsAllowed", PlugInBytes(7, Multi({With(0x21)})), STATUS_SUCCESS, 7},
      {"InvalidCharacterInALaterId", PlugInBytes(7, Multi({kNetId, With(u' ')})), STATUS_INVALID_PARAMETER, 7},
      {"LaterIdOf199Characters", PlugInBytes(7, Multi({kNetId, Repeat(u'B', 199)})), STATUS_SUCCESS, 7},
      {"LaterIdOf200Characters", PlugInBytes(7, Multi({kNetId, Repeat(u'B', 200)})), STATUS_INVALID_PARAMETER, 7},
      // The first ID and the instance ID ("%04d" of the serial) stay below 172 characters together.
      {"FirstIdOf167WithFourDigitSerial", PlugInBytes(7, Multi({Repeat(u'A', 167)})), STATUS_SUCCESS, 7},
      {"FirstIdOf168WithFourDigitSerial", PlugInBytes(7, Multi({Repeat(u'A', 168)})), STATUS_INVALID_PARAMETER, 7},
      {"FirstIdOf166WithFiveDigitSerial", PlugInBytes(12345, Multi({Repeat(u'A', 166)})), STATUS_SUCCESS, 12345},
      {"FirstIdOf167WithFiveDigitSerial", PlugInBytes(12345, Multi({Repeat(u'A', 167)})), STATUS_INVALID_PARAMETER,
       12345},
      {"FirstIdOf160WithWidestSerial", PlugInBytes(0x80000000u, Multi({Repeat(u'A', 160)})), STATUS_SUCCESS,
       0x80000000u},
      {"FirstIdOf161WithWidestSerial", PlugInBytes(0x80000000u, Multi({Repeat(u'A', 161)})),
       STATUS_INVALID_PARAMETER, 0x80000000u},
      // The list ends at its first empty string; what follows it is not an ID.
      {"CharactersAfterTheListAreNotIds", PlugInBytes(7, Multi({kNetId}) + std::u16string(u"\x01,\0\0", 4)), STATUS_SUCCESS, 7},
      {"SerialZero", PlugInBytes(0, Multi({kNetId})), STATUS_SUCCESS, 0},
  };
}

}  // namespace

class PlugInValidationTest : public BusTest, public ::testing::WithParamInterface<PlugInCase> {};

TEST_P(PlugInValidationTest, RecordIsAcceptedOrRefusedBeforeAnythingIsCreated) {
  const PlugInCase& c = GetParam();
  Boot();
  TraceMask = 0x111;
  const uint64_t creates = khost::CallCount(khost::FaultPoint::CreateDevice);
  const size_t pool = khost::OutstandingPool().size();
  khost::TakeTraceLines();

  ULONG_PTR information = 99;
  NTSTATUS status = bus_->Control(service_, IOCTL_NETBUS_PLUG_IN, c.record.empty() ? nullptr : c.record.data(),
                                  static_cast<ULONG>(c.record.size()), nullptr, 0, &information);
  EXPECT_EQ(status, c.expected);
  EXPECT_EQ(information, 0u);

  if (c.expected != STATUS_SUCCESS) {
    EXPECT_TRUE(Children().empty());
    EXPECT_EQ(khost::CallCount(khost::FaultPoint::CreateDevice), creates) << "a device was created";
    EXPECT_EQ(khost::OutstandingPool().size(), pool) << "pool was taken";
    EXPECT_EQ(khost::Pnp().PendingInvalidations(), 0u);
    // A record is not printed before it is known to be sound.
    for (const std::string& line : khost::TakeTraceLines())
      EXPECT_EQ(line.find("======"), std::string::npos) << line;
    return;
  }

  ASSERT_EQ(Serials(), (std::vector<ULONG>{c.serial}));
  PCHILD_EXTENSION child = Child(c.serial);
  EXPECT_TRUE(child->Present);
  EXPECT_FALSE(child->Reported);
  EXPECT_EQ(child->ParentFdo, fdo_);
  EXPECT_EQ(child->Header.Self->Flags & DO_DEVICE_INITIALIZING, 0u);
  EXPECT_NE(child->Header.Self->Flags & DO_POWER_PAGABLE, 0u);
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), 1u);
  // The manager takes the child in without complaint about its IDs.
  Enumerate();
  ASSERT_EQ(ChildNodes().size(), 1u);
  const std::u16string multi(reinterpret_cast<const char16_t*>(c.record.data() + BUS_PLUGIN_REQUEST_HEADER_SIZE),
                             (c.record.size() - BUS_PLUGIN_REQUEST_HEADER_SIZE) / 2);
  EXPECT_EQ(khost::Narrow(ChildNodes()[0]->deviceId), khost::Narrow(multi.c_str()));
  EXPECT_TRUE(child->Reported);
}

INSTANTIATE_TEST_SUITE_P(Records, PlugInValidationTest, ::testing::ValuesIn(PlugInCases()),
                         [](const ::testing::TestParamInfo<PlugInCase>& info) { return info.param.name; });

class SerialNumberTest : public BusTest {};

TEST_F(SerialNumberTest, SerialHeldByALiveChildIsRefusedListedOrNot) {
  Boot();
  ASSERT_EQ(PlugIn(5), STATUS_SUCCESS);
  uint64_t creates = khost::CallCount(khost::FaultPoint::CreateDevice);
  EXPECT_EQ(PlugIn(5), STATUS_INVALID_PARAMETER) << "before the manager heard of the child";
  EXPECT_EQ(khost::CallCount(khost::FaultPoint::CreateDevice), creates) << "a refused plug-in created a device";
  Enumerate();
  creates = khost::CallCount(khost::FaultPoint::CreateDevice);  // the function driver's device came
  EXPECT_EQ(PlugIn(5, {u"VELMORA\\OTHER"}), STATUS_INVALID_PARAMETER) << "once the child is started";
  EXPECT_EQ(khost::CallCount(khost::FaultPoint::CreateDevice), creates) << "a refused plug-in created a device";
  EXPECT_EQ(Serials(), (std::vector<ULONG>{5}));
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), 0u);
}

TEST_F(SerialNumberTest, SurpriseRemovedChildHoldsItsSerialUntilUnplugged) {
  Boot();
  ASSERT_EQ(PlugIn(5), STATUS_SUCCESS);
  Enumerate();
  PCHILD_EXTENSION old = Child(5);
  khost::Pnp().SurpriseRemove(ChildNode(old));
  ASSERT_EQ(old->Header.PnpState, StateSurpriseRemoved);

  // Both would be listed with the same IDs, which the platform does not survive.
  EXPECT_EQ(PlugIn(5), STATUS_INVALID_PARAMETER) << "surprise-removed but still plugged in";
  ASSERT_EQ(Unplug(5), STATUS_SUCCESS);
  EXPECT_EQ(PlugIn(5), STATUS_SUCCESS) << "surprise-removed and unplugged";
  ASSERT_EQ(Children().size(), 2u);
  PCHILD_EXTENSION fresh = Children()[1];
  EXPECT_EQ(fresh->SerialNo, 5u);

  // The next answer lists only the new child: the old one is removed, the new one started.
  Enumerate();
  EXPECT_EQ(Children(), (std::vector<PCHILD_EXTENSION>{fresh}));
  ASSERT_EQ(ChildNodes().size(), 1u);
  EXPECT_EQ(ChildNodes()[0]->pdo, fresh->Header.Self);
  EXPECT_EQ(ChildNodes()[0]->state, khost::DevNodeState::Started);
}

TEST_F(SerialNumberTest, TwoRacingPlugInsOfOneSerialMakeExactlyOneChild) {
  Boot();
  HoldPoint hold("create-device");
  NTSTATUS first = STATUS_PENDING;
  ULONG_PTR information = 1;
  std::vector<uint8_t> record = PlugInBytes(5, Multi({u"VELMORA\\FIRST"}));
  Joined racer(std::thread([&] {
                 HoldPoint::Arm();
                 first = PlugInRecord(record, &information);
               }),
               &hold);
  // The first plug-in has passed the early duplicate test and is creating its device.
  ASSERT_TRUE(hold.WaitUntilHeld());
  EXPECT_EQ(PlugIn(5, {u"VELMORA\\SECOND"}), STATUS_SUCCESS);
  racer.Join();

  EXPECT_EQ(first, STATUS_INVALID_PARAMETER) << "the later link must lose";
  EXPECT_EQ(information, 0u);
  ASSERT_EQ(Serials(), (std::vector<ULONG>{5}));
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), 1u) << "only the winner asks for a new answer";
  EXPECT_EQ(khost::CallCount(khost::FaultPoint::CreateDevice), 4u) << "root device, bus, two children";
  EXPECT_EQ(khost::Objects().undeletedDevices, 3u) << "the loser's device is deleted again";
  Enumerate();
  ASSERT_EQ(ChildNodes().size(), 1u);
  EXPECT_EQ(khost::Narrow(ChildNodes()[0]->deviceId), "VELMORA\\SECOND");
}

TEST_F(SerialNumberTest, ChildOfSerialZeroGoesOnlyWithAnUnplugOfAll) {
  Boot();
  ASSERT_EQ(PlugIn(0), STATUS_SUCCESS);
  ASSERT_EQ(PlugIn(8), STATUS_SUCCESS);
  Enumerate();
  EXPECT_EQ(ChildNodes().size(), 2u);
  EXPECT_EQ(Unplug(0), STATUS_SUCCESS);
  EXPECT_FALSE(Child(0)->Present);
  EXPECT_FALSE(Child(8)->Present);
  Enumerate();
  EXPECT_TRUE(ChildNodes().empty());
  EXPECT_TRUE(Children().empty());
}

class UnplugTest : public BusTest {
 protected:
  // Plugs the serials in and lets the manager start them.
  void Started(const std::vector<ULONG>& serials) {
    for (ULONG serial : serials) ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS);
    Enumerate();
    ASSERT_EQ(ChildNodes().size(), serials.size());
  }
};

TEST_F(UnplugTest, UnplugOfOneRemovesOnlyThatChild) {
  Boot();
  ASSERT_NO_FATAL_FAILURE(Started({1, 2, 3}));
  PDEVICE_OBJECT second = Child(2)->Header.Self;
  ObfReferenceObject(second);  // to look at it after the manager let go

  ULONG_PTR information = 5;
  std::vector<uint8_t> record = velmora_test::UnplugRecord(2);
  EXPECT_EQ(bus_->Control(service_, IOCTL_NETBUS_PLUG_OUT, record.data(), 16, nullptr, 0, &information),
            STATUS_SUCCESS);
  EXPECT_EQ(information, 0u);
  EXPECT_FALSE(Child(2)->Present);
  EXPECT_TRUE(Child(1)->Present);
  EXPECT_TRUE(Child(3)->Present);
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), 1u);
  EXPECT_FALSE(khost::DeviceDeleted(second)) << "an unplugged child waits for its removal";

  Enumerate();
  EXPECT_TRUE(khost::DeviceDeleted(second));
  EXPECT_EQ(Serials(), (std::vector<ULONG>{1, 3}));
  ASSERT_EQ(ChildNodes().size(), 2u);
  for (khost::DevNode* n : ChildNodes()) EXPECT_EQ(n->state, khost::DevNodeState::Started);
  ObfDereferenceObject(second);
}

TEST_F(UnplugTest, UnplugOfAllMarksReportedAndUnreportedChildrenAndAsksOnce) {
  Boot();
  ASSERT_NO_FATAL_FAILURE(Started({1, 2}));
  ASSERT_EQ(PlugIn(3), STATUS_SUCCESS);  // not yet reported
  const size_t pending = khost::Pnp().PendingInvalidations();

  EXPECT_EQ(Unplug(0), STATUS_SUCCESS);
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), pending + 1);
  for (PCHILD_EXTENSION child : Children()) EXPECT_FALSE(child->Present) << "serial " << child->SerialNo;

  Enumerate();
  EXPECT_TRUE(ChildNodes().empty());
  // The manager never heard of the third child and will send it no removal:
  // the answer that leaves it out deletes it, and its serial is free again.
  EXPECT_TRUE(Serials().empty());
  EXPECT_EQ(PlugIn(3), STATUS_SUCCESS);
  Enumerate();
  EXPECT_EQ(ChildNodes().size(), 1u);
}

TEST_F(UnplugTest, UnknownSerialAndEmptyBusAreNoSuchDevice) {
  Boot();
  TraceMask = 0x100;
  EXPECT_EQ(Unplug(1), STATUS_NO_SUCH_DEVICE) << "empty bus";
  EXPECT_EQ(Unplug(0), STATUS_NO_SUCH_DEVICE) << "empty bus, all";
  std::vector<std::string> lines = khost::TakeTraceLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Velmora===: BAD BAD BAD...2nd removes!!! Send only once!\n"),
            lines.end());

  ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
  Enumerate();
  EXPECT_EQ(Unplug(9), STATUS_NO_SUCH_DEVICE);
  lines = khost::TakeTraceLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Velmora===: Device 9 is not present\n"), lines.end());
  EXPECT_TRUE(Child(1)->Present);
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), 0u);
}

TEST_F(UnplugTest, SecondUnplugSucceedsUntilTheChildIsGone) {
  Boot();
  ASSERT_NO_FATAL_FAILURE(Started({4}));
  EXPECT_EQ(Unplug(4), STATUS_SUCCESS);
  EXPECT_EQ(Unplug(4), STATUS_SUCCESS) << "still on the list, waiting for its removal";
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), 2u);
  Enumerate();
  EXPECT_TRUE(Children().empty());
  EXPECT_EQ(Unplug(4), STATUS_NO_SUCH_DEVICE);
}

TEST_F(UnplugTest, UnplugMarksBothChildrenSharingASerial) {
  Boot();
  ASSERT_NO_FATAL_FAILURE(Started({3}));
  khost::Pnp().SurpriseRemove(ChildNode(Child(3)));
  ASSERT_EQ(Unplug(3), STATUS_SUCCESS);
  ASSERT_EQ(PlugIn(3), STATUS_SUCCESS);
  ASSERT_EQ(Children().size(), 2u);

  // Before the manager looks again both carry the number; the unplug is meant for the live one.
  EXPECT_EQ(Unplug(3), STATUS_SUCCESS);
  EXPECT_FALSE(Children()[0]->Present);
  EXPECT_FALSE(Children()[1]->Present) << "the live child was not marked";
  Enumerate();
  EXPECT_TRUE(ChildNodes().empty()) << "the live child was reported although unplugged";
}

TEST_F(UnplugTest, MalformedUnplugRecordIsRefused) {
  Boot();
  ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
  std::vector<uint8_t> record = velmora_test::UnplugRecord(1);
  EXPECT_EQ(bus_->Control(service_, IOCTL_NETBUS_PLUG_OUT, record.data(), 15), STATUS_INVALID_PARAMETER);
  SetSizeField(record, 20);
  EXPECT_EQ(bus_->Control(service_, IOCTL_NETBUS_PLUG_OUT, record.data(), 16), STATUS_INVALID_PARAMETER);
  EXPECT_TRUE(Child(1)->Present);
  // A longer record is fine as long as its Size says so.
  record.resize(20, 0);
  EXPECT_EQ(bus_->Control(service_, IOCTL_NETBUS_PLUG_OUT, record.data(), 20), STATUS_SUCCESS);
  EXPECT_FALSE(Child(1)->Present);
}
