// The kernel host's Plug and Play manager: root-enumerated device nodes with
// answers a test can change, relations queries after invalidation, the
// identification of new children and the checks on what a bus hands over, and
// the removal orders of both platforms.
#include <algorithm>

#include "kernel_test.h"
#include "passthrough_driver.h"

namespace {

// ------------------------------------------------------------------ toy bus
// A bus driver small enough to misbehave on demand: its function device
// forwards start and reports the children the test plugs in; each child
// answers the identification queries the way its record says.
enum class Answer { Normal, NotPool, Unterminated, FailWithData, Fail };

struct ToyChild {
  PDEVICE_OBJECT pdo = nullptr;
  ULONG serial = 0;
  std::u16string deviceId = u"TOY\\DEV";
  std::vector<std::u16string> hardwareIds{u"TOY\\DEV", u"TOY\\ANY"};
  std::vector<std::u16string> compatibleIds{u"TOY\\COMPAT"};
  Answer idAnswer = Answer::Normal;  // for the device ID
  bool rawOk = false;
  bool present = true;
  bool deleted = false;
  PVOID strayAnswer = nullptr;  // an answer the manager was never handed
};

struct ToyBus {
  PDEVICE_OBJECT fdo = nullptr, lower = nullptr, pdo = nullptr;
  std::vector<std::unique_ptr<ToyChild>> children;
  Answer relations = Answer::Normal;
  bool duplicate = false;       // list the first child twice
  bool nullList = false;        // succeed without a list
  PDEVICE_RELATIONS stray = nullptr;
  NTSTATUS arrivalStatus = 0;   // what the last request carried on arrival
  std::vector<std::string> seen;
};
ToyBus g_bus;
PDRIVER_OBJECT g_toyDriver;

struct Ext {
  bool isFdo;
  ToyChild* child;
};
Ext* ExtOf(PDEVICE_OBJECT device) { return static_cast<Ext*>(device->DeviceExtension); }

NTSTATUS Finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

PWCHAR PoolText(const std::u16string& text, bool terminate) {
  size_t chars = text.size() + (terminate ? 1 : 0);
  auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, chars * sizeof(WCHAR), 0x796F54));
  if (!copy) return nullptr;
  memcpy(copy, text.data(), text.size() * sizeof(WCHAR));
  if (terminate) copy[text.size()] = 0;
  return copy;
}

NTSTATUS AnswerText(PIRP irp, ToyChild* child, const std::u16string& text, Answer how) {
  static WCHAR notPool[] = L"TOY\\STATIC";
  switch (how) {
    case Answer::Normal:
      return Finish(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolText(text, true)));
    case Answer::NotPool:
      return Finish(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(notPool));
    case Answer::Unterminated:
      return Finish(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(PoolText(text, false)));
    case Answer::FailWithData:
      child->strayAnswer = PoolText(text, true);
      return Finish(irp, STATUS_UNSUCCESSFUL, reinterpret_cast<ULONG_PTR>(child->strayAnswer));
    case Answer::Fail:
      break;
  }
  return Finish(irp, STATUS_UNSUCCESSFUL);
}

NTSTATUS ChildPnp(ToyChild* child, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
      switch (stack->Parameters.QueryId.IdType) {
        case BusQueryDeviceID:
          return AnswerText(irp, child, child->deviceId, child->idAnswer);
        case BusQueryInstanceID: {
          char digits[8];
          snprintf(digits, sizeof digits, "%04u", child->serial);
          return AnswerText(irp, child, khost::U16(digits), Answer::Normal);
        }
        case BusQueryHardwareIDs: {
          std::u16string multi = khost::JoinMultiSz(child->hardwareIds);
          return AnswerText(irp, child, multi.substr(0, multi.size() - 1), Answer::Normal);
        }
        case BusQueryCompatibleIDs: {
          std::u16string multi = khost::JoinMultiSz(child->compatibleIds);
          return AnswerText(irp, child, multi.substr(0, multi.size() - 1), Answer::Normal);
        }
        default:
          break;
      }
      break;
    case IRP_MN_QUERY_DEVICE_TEXT:
      if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription)
        return AnswerText(irp, child, u"Toy device", Answer::Normal);
      break;
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
      caps->Address = child->serial;
      caps->UINumber = child->serial;
      caps->RawDeviceOK = child->rawOk;
      return Finish(irp, STATUS_SUCCESS);
    }
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      return Finish(irp, STATUS_SUCCESS);
    case IRP_MN_REMOVE_DEVICE:
      // A child that is gone from the bus goes with its removal; one still
      // plugged in stays for the bus to delete.
      if (!child->present && !child->deleted) {
        child->deleted = true;
        Finish(irp, STATUS_SUCCESS);
        IoDeleteDevice(child->pdo);
        return STATUS_SUCCESS;
      }
      return Finish(irp, STATUS_SUCCESS);
    default:
      break;
  }
  return Finish(irp, irp->IoStatus.Status, irp->IoStatus.Information);
}

NTSTATUS WakeOnCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS ForwardAndWait(PIRP irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(irp);
  IoSetCompletionRoutine(irp, WakeOnCompletion, &event, TRUE, TRUE, TRUE);
  if (IoCallDriver(g_bus.lower, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return irp->IoStatus.Status;
}

NTSTATUS PassDown(PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(g_bus.lower, irp);
}

NTSTATUS AnswerRelations(PIRP irp) {
  std::vector<PDEVICE_OBJECT> listed;
  for (auto& child : g_bus.children)
    if (child->present && !child->deleted) listed.push_back(child->pdo);
  if (g_bus.duplicate && !listed.empty()) listed.push_back(listed[0]);
  if (g_bus.nullList) return Finish(irp, STATUS_SUCCESS, 0);
  size_t bytes = sizeof(DEVICE_RELATIONS) + (listed.empty() ? 0 : listed.size() - 1) * sizeof(PDEVICE_OBJECT);
  static union {
    DEVICE_RELATIONS relations;
    char room[sizeof(DEVICE_RELATIONS) + 8 * sizeof(PDEVICE_OBJECT)];
  } notPool;
  PDEVICE_RELATIONS list = g_bus.relations == Answer::NotPool
                               ? &notPool.relations
                               : static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(NonPagedPoolNx, bytes, 0x796F54));
  list->Count = static_cast<ULONG>(listed.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    list->Objects[i] = listed[i];
    ObReferenceObject(listed[i]);
  }
  if (g_bus.relations == Answer::FailWithData || g_bus.relations == Answer::NotPool) g_bus.stray = list;
  NTSTATUS status = g_bus.relations == Answer::FailWithData ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
  return Finish(irp, status, reinterpret_cast<ULONG_PTR>(list));
}

NTSTATUS BusPnp(PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  g_bus.arrivalStatus = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE: {
      NTSTATUS status = ForwardAndWait(irp);
      return Finish(irp, status, irp->IoStatus.Information);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) return AnswerRelations(irp);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      irp->IoStatus.Status = STATUS_SUCCESS;
      break;
    case IRP_MN_REMOVE_DEVICE: {
      for (auto& child : g_bus.children) {
        if (!child->deleted) {
          child->deleted = true;
          IoDeleteDevice(child->pdo);
        }
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
      NTSTATUS status = PassDown(irp);
      IoDetachDevice(g_bus.lower);
      IoDeleteDevice(g_bus.fdo);
      g_bus.fdo = nullptr;
      return status;
    }
    default:
      break;
  }
  return PassDown(irp);
}

NTSTATUS ToyPnp(PDEVICE_OBJECT device, PIRP irp) {
  char line[32];
  snprintf(line, sizeof line, "%s minor %#x", ExtOf(device)->isFdo ? "bus" : "child",
           IoGetCurrentIrpStackLocation(irp)->MinorFunction);
  g_bus.seen.push_back(line);
  return ExtOf(device)->isFdo ? BusPnp(irp) : ChildPnp(ExtOf(device)->child, irp);
}

NTSTATUS ToyPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  if (ExtOf(device)->isFdo) {
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(g_bus.lower, irp);
  }
  return Finish(irp, STATUS_SUCCESS);
}

NTSTATUS ToyAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  ExtOf(fdo)->isFdo = true;
  g_bus.fdo = fdo;
  g_bus.pdo = pdo;
  g_bus.lower = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS ToyDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_PNP] = ToyPnp;
  driver->MajorFunction[IRP_MJ_POWER] = ToyPower;
  driver->DriverExtension->AddDevice = ToyAddDevice;
  return STATUS_SUCCESS;
}

// What the bus does when something is plugged in: a new child device object,
// then a request for its relations to be queried again.
ToyChild* PlugIn(ULONG serial) {
  auto child = std::make_unique<ToyChild>();
  child->serial = serial;
  EXPECT_EQ(IoCreateDevice(g_toyDriver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME,
                           FALSE, &child->pdo),
            STATUS_SUCCESS);
  ExtOf(child->pdo)->isFdo = false;
  ExtOf(child->pdo)->child = child.get();
  child->pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  g_bus.children.push_back(std::move(child));
  IoInvalidateDeviceRelations(g_bus.pdo, BusRelations);
  return g_bus.children.back().get();
}

void Unplug(ToyChild* child) {
  child->present = false;
  IoInvalidateDeviceRelations(g_bus.pdo, BusRelations);
}

class HostPnpTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_bus.children.clear();
    g_bus = ToyBus{};
    g_toyDriver = khost::LoadDriver(u"toybus", ToyDriverEntry);
    ASSERT_NE(g_toyDriver, nullptr);
  }
  void EndScenario() override {
    for (khost::DevNode* node : khost::Pnp().Children(khost::Pnp().Root()))
      khost::Pnp().Remove(node);
    khost::Pnp().ProcessInvalidations();
    if (passthrough_) khost::UnloadDriver(passthrough_);
    khost::UnloadDriver(g_toyDriver);
    g_bus.children.clear();
  }
  khost::DevNode* Boot(const khost::RootPdoConfig& config = khost::RootPdoConfig(), bool start = true) {
    return khost::Pnp().AddRootDevice("TOYBUS", g_toyDriver, config, start);
  }
  std::vector<std::string> TakeSeen() {
    std::vector<std::string> seen;
    seen.swap(g_bus.seen);
    return seen;
  }
  PDRIVER_OBJECT passthrough_ = nullptr;
};

TEST_F(HostPnpTest, ARootDeviceGetsAddDeviceThenStartThenARelationsQuery) {
  khost::DevNode* node = Boot();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->state, khost::DevNodeState::Started);
  EXPECT_EQ(node->history, (std::vector<std::string>{"AddDevice -> 0", "START_DEVICE -> 0",
                                                     "QUERY_DEVICE_RELATIONS -> 0"}));
  EXPECT_EQ(g_bus.pdo, node->pdo);
  EXPECT_EQ(g_bus.lower, node->pdo) << "the bus sits right on the root device";
}

TEST_F(HostPnpTest, ANodeAddedWithoutStartWaitsForIt) {
  khost::DevNode* node = Boot(khost::RootPdoConfig(), false);
  EXPECT_EQ(node->state, khost::DevNodeState::Enumerated);
  EXPECT_EQ(node->history, std::vector<std::string>{"AddDevice -> 0"});
  EXPECT_EQ(khost::Pnp().Start(node), STATUS_SUCCESS);
  EXPECT_EQ(node->state, khost::DevNodeState::Started);
}

TEST_F(HostPnpTest, RequestsArriveAsNotSupportedAndTheRootDeviceKeepsWhatItDoesNotAnswer) {
  khost::DevNode* node = Boot();
  khost::RequestResult result = khost::Pnp().Send(node, IRP_MN_QUERY_RESOURCES);
  EXPECT_EQ(g_bus.arrivalStatus, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(result.status, STATUS_NOT_SUPPORTED);
  EXPECT_EQ(khost::Pnp().Send(node, IRP_MN_QUERY_REMOVE_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(khost::Pnp().Send(node, IRP_MN_CANCEL_REMOVE_DEVICE).status, STATUS_SUCCESS);
}

TEST_F(HostPnpTest, TheRootDeviceAnswersStartAndCancelAsConfigured) {
  struct Case {
    NTSTATUS start;
    bool pends;
  };
  for (Case c : {Case{STATUS_SUCCESS, true}, Case{STATUS_INSUFFICIENT_RESOURCES, false},
                 Case{STATUS_UNSUCCESSFUL, true}}) {
    khost::RootPdoConfig config;
    config.startStatus = c.start;
    config.startPendsOnAnotherThread = c.pends;
    config.cancelStatus = STATUS_UNSUCCESSFUL;
    khost::DevNode* node = Boot(config, false);
    EXPECT_EQ(khost::Pnp().Start(node), c.start);
    if (NT_SUCCESS(c.start)) {
      EXPECT_EQ(node->state, khost::DevNodeState::Started);
      EXPECT_EQ(khost::Pnp().Send(node, IRP_MN_CANCEL_STOP_DEVICE).status, STATUS_UNSUCCESSFUL);
    } else {
      // A stack that fails to start is torn down at once.
      EXPECT_EQ(node->state, khost::DevNodeState::Failed);
      EXPECT_EQ(node->history.back(), "REMOVE_DEVICE -> 0");
      EXPECT_EQ(g_bus.fdo, nullptr);
    }
    khost::Pnp().Remove(node);
  }
}

TEST_F(HostPnpTest, TheRootDeviceFillsACapabilityQueryFromItsConfiguration) {
  khost::RootPdoConfig config;
  config.capabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
  config.capabilities.SurpriseRemovalOK = 1;
  config.capabilitiesPend = true;
  khost::DevNode* node = Boot(config);
  DEVICE_CAPABILITIES caps{};
  caps.Size = sizeof caps;
  caps.Version = 1;
  caps.Address = 0xFFFFFFFF;
  khost::RequestResult result = khost::Pnp().Send(node, IRP_MN_QUERY_CAPABILITIES, [&](PIRP, PIO_STACK_LOCATION s) {
    s->Parameters.DeviceCapabilities.Capabilities = &caps;
  });
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_EQ(caps.DeviceState[PowerSystemSleeping1], PowerDeviceD1);
  EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
  EXPECT_EQ(caps.Address, 0xFFFFFFFFu) << "the address is not the root device's to set";
  EXPECT_EQ(caps.Size, sizeof caps);
}

TEST_F(HostPnpTest, InvalidationIsQueuedAndANewChildIsIdentifiedAndGetsItsDriver) {
  passthrough_ = khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
  khost::Pnp().RegisterFunctionDriver(u"toy\\compat", passthrough_);
  Boot();
  ToyChild* child = PlugIn(3);
  EXPECT_EQ(khost::Pnp().PendingInvalidations(), 1u) << "relations are never queried inside the invalidation";
  EXPECT_EQ(khost::Pnp().ProcessInvalidations(), 2) << "the bus's, then the started child's own";
  auto nodes = khost::Pnp().AllNodes();
  ASSERT_EQ(nodes.size(), 2u);
  khost::DevNode* node = nodes[1];
  EXPECT_EQ(node->pdo, child->pdo);
  EXPECT_EQ(node->label, "TOY\\DEV\\0003");
  EXPECT_EQ(khost::Narrow(node->description), "Toy device");
  EXPECT_EQ(node->hardwareIds, (std::vector<std::u16string>{u"TOY\\DEV", u"TOY\\ANY"}));
  EXPECT_EQ(node->capabilities.Address, 3u);
  EXPECT_EQ(node->functionDriver, passthrough_) << "matched on its compatible ID, case-insensitively";
  EXPECT_EQ(node->state, khost::DevNodeState::Started);
  EXPECT_NE(PassthroughDeviceOn(child->pdo), nullptr);
}

TEST_F(HostPnpTest, AChildWithoutADriverStartsOnlyIfItMayRunRaw) {
  Boot();
  ToyChild* raw = PlugIn(1);
  raw->rawOk = true;
  PlugIn(2);
  khost::Pnp().ProcessInvalidations();
  auto nodes = khost::Pnp().AllNodes();
  ASSERT_EQ(nodes.size(), 3u);
  EXPECT_EQ(nodes[1]->state, khost::DevNodeState::Started);
  EXPECT_EQ(nodes[2]->state, khost::DevNodeState::Enumerated);
}

TEST_F(HostPnpTest, AChildLeftOutOfAnAnswerIsRemovedAsTheManagerRemovesAMissingDevice) {
  Boot();
  ToyChild* started = PlugIn(1);
  started->rawOk = true;
  ToyChild* idle = PlugIn(2);
  khost::Pnp().ProcessInvalidations();
  TakeSeen();
  Unplug(started);
  Unplug(idle);
  khost::Pnp().ProcessInvalidations();
  EXPECT_EQ(TakeSeen(), (std::vector<std::string>{"bus minor 0x7", "child minor 0x17", "child minor 0x2",
                                                  "child minor 0x2", "bus minor 0x7"}))
      << "a started child gets surprise removal then removal; one never started only the removal";
  EXPECT_EQ(khost::Pnp().AllNodes().size(), 1u);
  EXPECT_TRUE(started->deleted && idle->deleted);
}

TEST_F(HostPnpTest, RemovalFollowsEachPlatformsOrder) {
  struct Case {
    khost::RemovalStyle style;
    std::vector<std::string> expected;
  };
  std::vector<Case> cases = {
      {khost::RemovalStyle::Windows,
       {"child minor 0x1", "bus minor 0x1", "child minor 0x2", "bus minor 0x2"}},
      {khost::RemovalStyle::Wine,
       {"child minor 0x17", "bus minor 0x17", "child minor 0x2", "bus minor 0x2"}},
  };
  for (const Case& c : cases) {
    khost::DevNode* node = Boot();
    PlugIn(1)->rawOk = true;
    khost::Pnp().ProcessInvalidations();
    TakeSeen();
    khost::Pnp().Remove(node, c.style);
    EXPECT_EQ(TakeSeen(), c.expected);
    EXPECT_TRUE(khost::Pnp().AllNodes().empty());
    g_bus.children.clear();
  }
}

TEST_F(HostPnpTest, WhatABusHandsOverIsChecked) {
  struct Case {
    const char* what;
    std::function<void()> arrange;
    const char* check;
  };
  std::vector<Case> cases = {
      {"a relations answer without a list", [] { g_bus.nullList = true; }, "relations-null-list"},
      {"a relations list not from pool", [] { g_bus.relations = Answer::NotPool; }, "answer-not-from-pool"},
      {"a failed relations query with a list", [] { g_bus.relations = Answer::FailWithData; },
       "information-on-failure"},
      {"a child listed twice", [] { g_bus.duplicate = true; }, "duplicate-relation"},
      {"an ID not from pool", [] { g_bus.children.back()->idAnswer = Answer::NotPool; }, "answer-not-from-pool"},
      {"an ID without its terminator", [] { g_bus.children.back()->idAnswer = Answer::Unterminated; },
       "answer-not-terminated"},
      {"a failed ID query with data", [] { g_bus.children.back()->idAnswer = Answer::FailWithData; },
       "information-on-failure"},
      {"an ID with a comma", [] { g_bus.children.back()->deviceId = u"TOY\\A,B"; }, "invalid-device-id"},
      {"an ID with a space", [] { g_bus.children.back()->hardwareIds = {u"TOY DEV"}; }, "invalid-device-id"},
      {"two children with one instance path",
       [] {
         PlugIn(g_bus.children.back()->serial);
       },
       "duplicate-device-instance"},
  };
  for (const Case& c : cases) {
    khost::DevNode* node = Boot();
    PlugIn(7);
    c.arrange();
    khost::Pnp().ProcessInvalidations();
    auto violations = TakeViolations();
    EXPECT_TRUE(Reported(violations, c.check)) << c.what << ": expected " << c.check << ", got\n"
                                               << khost::DescribeViolations(violations);
    // Give back what the manager refused to take.
    if (g_bus.stray) {
      for (ULONG i = 0; i < g_bus.stray->Count; ++i) ObDereferenceObject(g_bus.stray->Objects[i]);
      if (g_bus.relations == Answer::FailWithData) ExFreePool(g_bus.stray);
    }
    for (auto& child : g_bus.children)
      if (child->strayAnswer) ExFreePool(child->strayAnswer);
    g_bus.relations = Answer::Normal;
    g_bus.nullList = g_bus.duplicate = false;
    khost::Pnp().Remove(node);
    g_bus.children.clear();
    g_bus.stray = nullptr;
    TakeViolations();
  }
}

}  // namespace
