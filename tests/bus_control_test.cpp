// The bus's control requests as the service and kernel components send them:
// the state gate, plug-in validation, serial numbers, and unplug.
#include "bus_fixture.h"

constexpr ULONG kUnknownCode = 0x002A2010u;  // FILE_DEVICE_BUS_EXTENDER, function 0x804
const UCHAR kMajors[] = {IRP_MJ_DEVICE_CONTROL, IRP_MJ_INTERNAL_DEVICE_CONTROL};

// What a request carries for each code: enough to succeed on a started bus.
static std::vector<uint8_t> InputFor(ULONG code, ULONG serial = 21) {
  if (code == IOCTL_NETBUS_PLUG_IN) return PlugInBytes(serial, Ids({kNetId}));
  return code == IOCTL_NETBUS_PLUG_OUT ? velmora_test::UnplugRecord(serial) : std::vector<uint8_t>(16, 0);
}

class ControlGateTest : public BusTest, public ::testing::WithParamInterface<std::string> {};

TEST_P(ControlGateTest, EveryCodeUnderBothMajorsIsRefusedAsNotConnected) {
  const std::string gate = GetParam();
  ASSERT_NO_FATAL_FAILURE(Boot(gate != "NotStarted"));
  if (gate == "StopPending" || gate == "Stopped" || gate == "RemovePending") {
    CloseService();  // it would veto the query
    const UCHAR query = gate == "RemovePending" ? IRP_MN_QUERY_REMOVE_DEVICE : IRP_MN_QUERY_STOP_DEVICE;
    ASSERT_EQ(Pnp().Send(node_, query).status, STATUS_SUCCESS);
    ASSERT_EQ(gate == "Stopped" ? Pnp().Send(node_, IRP_MN_STOP_DEVICE).status : STATUS_SUCCESS, STATUS_SUCCESS);
  }
  if (gate == "SurpriseRemoved") Pnp().SurpriseRemove(node_);
  // The service's file object keeps the deleted bus device, as on the platform.
  if (gate == "Deleted") Pnp().Remove(node_, khost::RemovalStyle::Wine), node_ = nullptr;
  for (UCHAR major : kMajors) {
    for (ULONG code :
         {IOCTL_NETBUS_PLUG_IN, IOCTL_NETBUS_PLUG_OUT, IOCTL_NETBUS_EXCHANGE_CALLBACK, IOCTL_CORVANE_PASS_EVENT,
          IOCTL_CORVANE_DELETE_EVENT, IOCTL_CORVANE_GET_MSG, IOCTL_CORVANE_PUT_MSG, kUnknownCode}) {
      khost::RequestResult result = KernelControl(code, InputFor(code), major);
      EXPECT_EQ(result.status, STATUS_DEVICE_NOT_CONNECTED) << std::hex << "code " << code << " major " << int(major);
      EXPECT_EQ(result.information, 0u) << std::hex << "code " << code;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(NonStartedStates, ControlGateTest,
                         ::testing::Values("NotStarted", "StopPending", "Stopped", "RemovePending", "SurpriseRemoved",
                                           "Deleted"),
                         [](const auto& info) { return info.param; });

class ControlTest : public BusTest {};

TEST_F(ControlTest, UnknownCodeLeavesInformationAloneAndKnownOnesAnswerNoDataUnderBothMajors) {
  Boot();
  for (UCHAR major : kMajors) {
    SCOPED_TRACE(int(major));
    const ULONG serial = 31 + major;  // the unplugged child keeps its number until it is gone
    khost::RequestResult result = KernelControl(kUnknownCode, InputFor(IOCTL_NETBUS_PLUG_IN, serial), major);
    EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(result.information, kStale) << "the dispatcher wrote Information";
    // Whatever the sender left in Information, plug-in and unplug complete with none.
    result = KernelControl(IOCTL_NETBUS_PLUG_IN, InputFor(IOCTL_NETBUS_PLUG_IN, serial), major);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u) << "plug-in answered data";
    result = KernelControl(IOCTL_NETBUS_PLUG_OUT, InputFor(IOCTL_NETBUS_PLUG_OUT, serial), major);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u) << "unplug answered data";
  }
}

TEST_F(ControlTest, PlugInRecordIsValidatedBeforeAnythingIsCreatedOrTraced) {
  const std::vector<uint8_t> good = PlugInBytes(7, Ids({kNetId})), oneNull = PlugInBytes(7, kNetId + u'\0');
  auto resized = [](std::vector<uint8_t> record, size_t bytes, size_t size) {
    record.resize(bytes, 0x41);
    std::memcpy(record.data(), &size, std::min<size_t>(bytes, 4));
    return record;
  };
  auto with = [](char16_t c) { return PlugInBytes(7, Ids({u"VELMORA\\N" + std::u16string(1, c) + u"T"})); };
  auto first = [](ULONG serial, size_t n) { return PlugInBytes(serial, Ids({std::u16string(n, u'A')})); };
  const NTSTATUS ok = STATUS_SUCCESS, bad = STATUS_INVALID_PARAMETER;
  const std::tuple<const char*, std::vector<uint8_t>, NTSTATUS> cases[] = {
      {"SizeAboveInputLength", resized(good, good.size(), good.size() + 2), bad},
      {"SizeBelowInputLength", resized(good, good.size(), good.size() - 2), bad},
      {"FifteenBytes", resized(good, 15, 15), bad},
      {"NoInput", {}, bad},
      {"OneClosingNull", oneNull, bad},
      {"OddSizeWithoutDoubleNull", resized(oneNull, oneNull.size() + 1, oneNull.size() + 1), bad},
      {"OddSizeLastByteIsNoCharacter", resized(good, good.size() + 1, good.size() + 1), ok},
      {"SerialZero", PlugInBytes(0, Ids({kNetId})), ok},
      // The first ID becomes the child's device ID: the platform's rules for reported IDs apply.
      {"EmptyListOfSixteenBytes", PlugInBytes(7, std::u16string(2, u'\0')), bad},
      {"EmptyFirstString", PlugInBytes(7, u'\0' + Ids({kNetId})), bad},
      {"Space", with(u' '), bad},
      {"Comma", with(u','), bad},
      {"Character80", with(0x80), bad},
      {"WideCharacter", with(0x4E2D), bad},
      {"Character21", with(0x21), ok},
      {"Character7F", with(0x7F), ok},
      {"InvalidCharacterInALaterId", PlugInBytes(7, Ids({kNetId, u"VELMORA\\N T"})), bad},
      {"LaterIdOf199Characters", PlugInBytes(7, Ids({kNetId, std::u16string(199, u'B')})), ok},
      {"LaterIdOf200Characters", PlugInBytes(7, Ids({kNetId, std::u16string(200, u'B')})), bad},
      {"CharactersAfterTheListAreNotIds", PlugInBytes(7, Ids({kNetId}) + std::u16string(u"\x01,\0\0", 4)), ok},
      // The first ID and the instance ID ("%04d" of the serial) stay below 172 characters together.
      {"FirstIdOf167WithFourDigitSerial", first(7, 167), ok},
      {"FirstIdOf168WithFourDigitSerial", first(7, 168), bad},
      {"FirstIdOf160WithWidestSerial", first(0x80000000u, 160), ok},
      {"FirstIdOf161WithWidestSerial", first(0x80000000u, 161), bad},
  };
  Boot();
  TraceMask = 0x111;
  for (const auto& [name, record, expected] : cases) {
    SCOPED_TRACE(name);
    const uint64_t creates = Creates();
    khost::TakeTraceLines();
    ULONG_PTR information = 99;
    EXPECT_EQ(PlugInRecord(record, &information), expected);
    EXPECT_EQ(information, 0u);
    if (expected == bad) {
      EXPECT_EQ(Creates(), creates) << "a device was created";
      for (const std::string& line : khost::TakeTraceLines())
        EXPECT_EQ(line.find("======"), std::string::npos) << "an unchecked record was traced: " << line;
      continue;
    }
    ASSERT_EQ(Children().size(), 1u);
    EXPECT_EQ(Children()[0]->Header.Self->Flags & DO_DEVICE_INITIALIZING, 0u) << "linked while initializing";
    EXPECT_EQ(Children()[0]->DevicePowerState, PowerDeviceD3) << "a child is not powered before its start";
    ASSERT_EQ(Unplug(0), STATUS_SUCCESS);
    Enumerate();
  }
}

TEST_F(ControlTest, SerialIsRefusedWhileALiveOrSurpriseRemovedChildStillPluggedInHoldsIt) {
  Boot();
  ASSERT_EQ(PlugIn(5), STATUS_SUCCESS);
  ASSERT_EQ(PlugIn(6), STATUS_SUCCESS);
  EXPECT_EQ(PlugIn(5), STATUS_INVALID_PARAMETER) << "before the manager heard of the child";
  Enumerate();
  EXPECT_EQ(PlugIn(5, {u"VELMORA\\OTHER"}), STATUS_INVALID_PARAMETER) << "once the child is started";
  for (ULONG serial : {5u, 6u}) Pnp().SurpriseRemove(ChildNode(serial));
  // Both would be listed with the same IDs, which the platform does not survive.
  EXPECT_EQ(PlugIn(5), STATUS_INVALID_PARAMETER) << "surprise-removed but still plugged in";
  EXPECT_EQ(Pending(), 0u) << "a refused plug-in asked for an answer";
  for (ULONG serial : {5u, 6u}) {
    ASSERT_EQ(Unplug(serial), STATUS_SUCCESS);
    ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS) << "surprise-removed and unplugged still holds " << serial;
  }
  ASSERT_EQ(Children().size(), 4u);
  const PCHILD_EXTENSION fresh5 = Children()[2], fresh6 = Children()[3];
  // An unplug marks every child with the number, not only the older one.
  ASSERT_EQ(Unplug(6), STATUS_SUCCESS);
  EXPECT_FALSE(fresh6->Present) << "the live child was not marked";
  Enumerate();
  EXPECT_EQ(Children(), (std::vector<PCHILD_EXTENSION>{fresh5}));
  ASSERT_EQ(ChildNodes().size(), 1u);
  EXPECT_EQ(ChildNodes()[0]->pdo, fresh5->Header.Self);
  EXPECT_EQ(ChildNodes()[0]->state, khost::DevNodeState::Started);
}

TEST_F(ControlTest, TwoRacingPlugInsOfOneSerialMakeExactlyOneChild) {
  Boot();
  NTSTATUS first = STATUS_PENDING;
  const std::vector<uint8_t> record = PlugInBytes(5, Ids({u"VELMORA\\FIRST"}));
  TraceMask = 0x10;
  HeldThread racer("create-device", [&] { first = PlugInRecord(record); });
  ASSERT_TRUE(racer.WaitUntilHeld()) << "the first never reached device creation, past the early test";
  EXPECT_EQ(PlugIn(5, {u"VELMORA\\SECOND"}), STATUS_SUCCESS);
  racer.Join();
  TraceMask = 0;
  EXPECT_EQ(first, STATUS_INVALID_PARAMETER) << "the later link must lose";
  std::vector<std::string> exits;
  for (const std::string& line : khost::TakeTraceLines())
    if (line.find("netBus_PlugInDevice") != std::string::npos) exits.push_back(line);
  EXPECT_EQ(exits, std::vector<std::string>{"Velmora<===netBus_PlugInDevice, NTSTATUS:0"})
      << "a duplicate, however late it is found, returns without the exit line";
  EXPECT_EQ(Pending(), 1u) << "only the winner asks for a new answer";
  EXPECT_EQ(khost::Objects().undeletedDevices, 3u) << "root device, bus, one child: the loser's is deleted";
  Enumerate();
  ASSERT_EQ(ChildNodes().size(), 1u);
  EXPECT_EQ(khost::Narrow(ChildNodes()[0]->deviceId), "VELMORA\\SECOND");
}

TEST_F(ControlTest, UnplugOfOneOfAllOfAnUnknownSerialAndTwice) {
  Boot();
  TraceMask = 0x100;
  EXPECT_EQ(Unplug(1), STATUS_NO_SUCH_DEVICE) << "empty bus";
  EXPECT_EQ(Unplug(0), STATUS_NO_SUCH_DEVICE) << "empty bus, all";
  EXPECT_TRUE(Traced("Velmora===: BAD BAD BAD...2nd removes!!! Send only once!\n"));
  for (ULONG serial : {0u, 1u, 2u}) ASSERT_EQ(PlugIn(serial), STATUS_SUCCESS);
  Enumerate();
  EXPECT_EQ(Unplug(9), STATUS_NO_SUCH_DEVICE);
  EXPECT_TRUE(Traced("Velmora===: Device 9 is not present\n"));
  std::vector<uint8_t> record = velmora_test::UnplugRecord(1);
  record.resize(17);  // longer than its Size says
  EXPECT_EQ(bus_->Control(service_, IOCTL_NETBUS_PLUG_OUT, record.data(), 17), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(Pending(), 0u) << "a refused unplug asked for an answer";
  PDEVICE_OBJECT second = Keep(2);
  EXPECT_EQ(Unplug(2), STATUS_SUCCESS);
  EXPECT_EQ(Unplug(2), STATUS_SUCCESS) << "still on the list, waiting for its removal";
  EXPECT_FALSE(khost::DeviceDeleted(second)) << "an unplugged child waits for its removal";
  Enumerate();
  EXPECT_TRUE(khost::DeviceDeleted(second));
  EXPECT_EQ(ChildNodes().size(), 2u);
  EXPECT_EQ(Unplug(2), STATUS_NO_SUCH_DEVICE) << "once it is gone";

  // Unplug of all marks listed and never-listed children and asks once. The
  // manager never heard of the last: the answer leaving it out deletes it and frees its serial.
  ASSERT_EQ(PlugIn(3), STATUS_SUCCESS);
  EXPECT_EQ(Unplug(0), STATUS_SUCCESS);
  EXPECT_EQ(Pending(), 2u);
  for (PCHILD_EXTENSION child : Children()) EXPECT_FALSE(child->Present) << child->SerialNo;
  Enumerate();
  EXPECT_TRUE(ChildNodes().empty());
  EXPECT_TRUE(Children().empty());
  EXPECT_EQ(PlugIn(3), STATUS_SUCCESS);
}
