// The kernel host's managers: devices, names, stacks and requests of the I/O
// manager, remove locks, a service's opens and control requests, the
// Plug and Play manager's checks on what a bus hands over, and the verifier's
// checks on each.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <thread>

#include "kernel_test.h"

namespace {

using namespace std::chrono_literals;
using Behaviour = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using Strings = std::vector<std::string>;

// One test driver whose every device runs the behaviour the test gives it.
struct Ext {
  Behaviour* behaviour;
  PDEVICE_OBJECT lower;
};
Ext* ExtOf(PDEVICE_OBJECT device) { return static_cast<Ext*>(device->DeviceExtension); }
PIO_STACK_LOCATION Here(PIRP irp) { return IoGetCurrentIrpStackLocation(irp); }
bool Is(PIRP irp, UCHAR major, UCHAR minor) {
  return Here(irp)->MajorFunction == major && Here(irp)->MinorFunction == minor;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}
NTSTATUS Ok(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); }
NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(ExtOf(device)->lower, irp);
}
NTSTATUS Agree(PDEVICE_OBJECT device, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(device, irp);
}
NTSTATUS CopyDown(PDEVICE_OBJECT device, PIRP irp, PIO_COMPLETION_ROUTINE routine = nullptr, PVOID context = nullptr,
                  bool onSuccess = true, bool onError = true, bool onCancel = true) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  if (routine) IoSetCompletionRoutine(irp, routine, context, onSuccess, onError, onCancel);
  return IoCallDriver(ExtOf(device)->lower, irp);
}

// Plug and Play requests that take devices away, as "bus 2" or "child 7", in the order they arrive.
Strings g_removals;
void LogRemoval(const char* who, PIRP irp) {
  UCHAR minor = Here(irp)->MinorFunction;
  if (Here(irp)->MajorFunction == IRP_MJ_PNP &&
      (minor <= IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_QUERY_DEVICE_RELATIONS))
    g_removals.push_back(std::string(who) + " " + std::to_string(minor));
}

// The function devices AddDevice creates leave their stack on removal as a
// driver must; everything else they hand to what the test sets here.
Behaviour g_functionDevice;
Behaviour g_function = [](PDEVICE_OBJECT fdo, PIRP irp) {
  LogRemoval("bus", irp);
  if (!Is(irp, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE)) return g_functionDevice(fdo, irp);
  PDEVICE_OBJECT lower = ExtOf(fdo)->lower;
  NTSTATUS status = Agree(fdo, irp);
  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
  return status;
};
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) { return (*ExtOf(device)->behaviour)(device, irp); }
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  *ExtOf(fdo) = {&g_function, IoAttachDeviceToDeviceStack(fdo, pdo)};
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}
NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& major : driver->MajorFunction) major = Dispatch;
  driver->DriverExtension->AddDevice = AddDevice;
  return STATUS_SUCCESS;
}

UNICODE_STRING kName = RTL_CONSTANT_STRING(L"\\Device\\Probe");
UNICODE_STRING kLink = RTL_CONSTANT_STRING(L"\\??\\Probe");
constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

class HostManagersTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_removals.clear();
    g_functionDevice = Agree;
    driver_ = khost::LoadDriver(u"probe", DriverEntry);
    ASSERT_NE(driver_, nullptr);
  }
  void EndScenario() override {
    service_.reset();
    for (auto it = stack_.rbegin(); it != stack_.rend(); ++it) {
      if (ExtOf(*it)->lower) IoDetachDevice(ExtOf(*it)->lower);
      IoDeleteDevice(*it);
    }
    if (linked_) IoDeleteSymbolicLink(&kLink);
    if (driver_) khost::UnloadDriver(driver_);
    g_functionDevice = nullptr;
  }
  // A device of the test driver; a named one is \Device\Probe, linked as \??\Probe.
  PDEVICE_OBJECT New(Behaviour behaviour, bool named = false) {
    behaviours_.push_back(std::move(behaviour));
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(Ext), named ? &kName : nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    *ExtOf(device) = {&behaviours_.back(), nullptr};
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    if (named) linked_ = NT_SUCCESS(IoCreateSymbolicLink(&kLink, &kName));
    return device;
  }
  // A new device on top of the stack built so far, which the fixture takes down.
  PDEVICE_OBJECT Push(Behaviour behaviour, bool named = false) {
    PDEVICE_OBJECT device = New(std::move(behaviour), named);
    if (!stack_.empty()) ExtOf(device)->lower = IoAttachDeviceToDeviceStack(device, stack_.back());
    stack_.push_back(device);
    return device;
  }
  khost::RequestResult Send() {
    return khost::SendIrp(stack_.front(), IRP_MJ_DEVICE_CONTROL, 0, nullptr, STATUS_NOT_SUPPORTED);
  }
  HANDLE Open(NTSTATUS expected = STATUS_SUCCESS, const std::u16string& path = u"\\\\.\\Probe") {
    NTSTATUS status;
    HANDLE handle = service_->CreateFile(path, &status);
    EXPECT_EQ(status, expected) << khost::Narrow(path);
    return handle;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::list<Behaviour> behaviours_;
  std::vector<PDEVICE_OBJECT> stack_;
  bool linked_ = false;
  std::unique_ptr<khost::Process> service_ = std::make_unique<khost::Process>("service");
};

// ------------------------------------------------------------------ devices, names and stacks

TEST_F(HostManagersTest, DevicesGetAZeroedExtensionAndOneNamespaceHoldsNamesAndLinks) {
  PDEVICE_OBJECT device = nullptr, other = reinterpret_cast<PDEVICE_OBJECT>(1);
  ASSERT_EQ(IoCreateDevice(driver_, 300, &kName, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, TRUE, &device),
            STATUS_SUCCESS);
  auto* extension = static_cast<unsigned char*>(device->DeviceExtension);
  EXPECT_EQ(std::count(extension, extension + 300, 0), 300);
  const ULONG flags = DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME;
  EXPECT_EQ(device->Flags & flags, flags);
  UNICODE_STRING sameName = RTL_CONSTANT_STRING(L"\\DEVICE\\probe"), empty = {0, 0, nullptr};
  EXPECT_EQ(IoCreateDevice(driver_, 0, &sameName, 0, 0, FALSE, &other), STATUS_OBJECT_NAME_COLLISION) << "any case";
  EXPECT_EQ(other, nullptr) << "a failed creation hands back no device";
  EXPECT_EQ(IoCreateDevice(driver_, 0, &empty, 0, 0, FALSE, &other), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(IoCreateSymbolicLink(&kLink, &kName), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&kLink, &kName), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoCreateSymbolicLink(&sameName, &kName), STATUS_OBJECT_NAME_COLLISION) << "a device's name";
  EXPECT_EQ(IoCreateDevice(driver_, 0, &kLink, 0, 0, FALSE, &other), STATUS_OBJECT_NAME_COLLISION) << "a link's name";
  EXPECT_EQ(khost::LookupDevice(u"\\??\\PROBE"), device) << "links resolve to their device";
  EXPECT_EQ(IoDeleteSymbolicLink(&kName), STATUS_OBJECT_NAME_NOT_FOUND) << "a device name is not a link";
  EXPECT_EQ(IoDeleteSymbolicLink(&kLink), STATUS_SUCCESS);
  IoDeleteDevice(device);
  ASSERT_EQ(IoCreateDevice(driver_, 0, &kName, 0, 0, FALSE, &device), STATUS_SUCCESS) << "the name is free again";
  IoDeleteDevice(device);
  EXPECT_TRUE(khost::NamespaceNames().empty());
}

TEST_F(HostManagersTest, ADeletedDeviceLeavesItsDriversListWhereverItStands) {
  // Devices are listed newest first; each row deletes by creation index and
  // leaves the rest listed in order.
  const std::vector<std::vector<int>> orders = {{0, 1, 2, 3}, {3, 2, 1, 0}, {1, 2, 0, 3}, {2, 0, 3, 1}};
  for (const auto& order : orders) {
    SCOPED_TRACE(testing::PrintToString(order));
    std::vector<PDEVICE_OBJECT> made(order.size()), listed;
    for (PDEVICE_OBJECT& device : made) ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, 0, 0, FALSE, &device), STATUS_SUCCESS);
    std::vector<bool> gone(made.size());
    for (int index : order) {
      IoDeleteDevice(made[index]);
      gone[index] = true;
      listed.clear();
      for (size_t i = made.size(); i-- > 0;)
        if (!gone[i]) listed.push_back(made[i]);
      EXPECT_EQ(khost::DevicesOf(driver_), listed) << "after deleting device " << index;
    }
  }
}

TEST_F(HostManagersTest, AttachReturnsThePreviousTopAndADeletedDeviceOutlivesItsLastReference) {
  PDEVICE_OBJECT bottom = Push(nullptr), middle = Push(nullptr), top = New(nullptr);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle) << "attaching lands on the top of the stack";
  EXPECT_EQ(top->StackSize, 3);
  EXPECT_EQ(middle->AttachedDevice, top);
  LONG_PTR before = khost::ReferenceCount(top);
  PDEVICE_OBJECT held = IoGetAttachedDeviceReference(bottom);
  EXPECT_EQ(held, top);
  EXPECT_EQ(khost::ReferenceCount(top), before + 1);
  IoDetachDevice(middle);
  EXPECT_EQ(middle->AttachedDevice, nullptr);
  IoDeleteDevice(top);
  EXPECT_TRUE(khost::DeviceDeleted(top));
  EXPECT_TRUE(khost::IsLiveObject(top)) << "a referenced device stays in memory";
  PDEVICE_OBJECT late = New(nullptr);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(late, top), nullptr) << "nothing attaches to a deleted device";
  ObDereferenceObject(held);
  EXPECT_FALSE(khost::IsLiveObject(top));
  IoDeleteDevice(late);
}

// ------------------------------------------------------------------ requests

// The top device hands each request down by skip, or by copy with a completion
// routine for the outcomes a case asks for: s(uccess), e(rror), c(ancel).
TEST_F(HostManagersTest, SkipReusesTheLocationCopyFillsTheNextAndARoutineRunsOnlyForTheOutcomesItAskedFor) {
  struct Case {
    const char* how;
    NTSTATUS status;
    bool cancelled, called;
  } now{};
  const Case cases[] = {
      {"skip", STATUS_SUCCESS, false, false},  {"copy", STATUS_SUCCESS, false, false},
      {"copy s", STATUS_SUCCESS, false, true}, {"copy ec", STATUS_SUCCESS, false, false},
      {"copy s", 0x40000001, false, true},              // an informational status is a success
      {"copy s", STATUS_BUFFER_OVERFLOW, false, false},  // a warning is not
      {"copy e", STATUS_BUFFER_OVERFLOW, false, true},   {"copy s", STATUS_UNSUCCESSFUL, false, false},
      {"copy c", STATUS_CANCELLED, true, true},          {"copy s", STATUS_CANCELLED, true, false}};
  static PDEVICE_OBJECT ran;
  PIO_STACK_LOCATION upper = nullptr, lower = nullptr;
  PIRP last = nullptr;
  UCHAR control = 0xFF;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    control = (lower = Here((last = irp)))->Control;
    EXPECT_EQ(lower->Parameters.DeviceIoControl.IoControlCode, 0x1234u);
    irp->Cancel = now.cancelled;
    return Complete(irp, now.status);
  });
  PDEVICE_OBJECT top = Push([&](PDEVICE_OBJECT device, PIRP irp) {
    (upper = Here(irp))->Parameters.DeviceIoControl.IoControlCode = 0x1234;
    if (now.how[0] == 's') return PassDown(device, irp);
    IoMarkIrpPending(irp);  // then copied: the copy must not carry the mark
    const std::string asks = now.how + 4;
    auto routine = [](PDEVICE_OBJECT d, PIRP, PVOID) -> NTSTATUS { return ran = d, STATUS_SUCCESS; };
    CopyDown(device, irp, asks.empty() ? nullptr : +routine, nullptr, asks.find('s') != std::string::npos,
             asks.find('e') != std::string::npos, asks.find('c') != std::string::npos);
    return STATUS_PENDING;
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.how << " " << std::hex << c.status << " cancelled " << c.cancelled);
    now = c;
    ran = nullptr;
    khost::RequestResult result = Send();
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.pendingReturned, c.how[0] == 'c');
    EXPECT_EQ(lower, c.how[0] == 's' ? upper : upper - 1) << "skip reuses the location, copy fills the next";
    EXPECT_EQ(control == 0, c.how[0] == 's' || c.how[4] == 0) << "copy clears the control flags; a routine sets some";
    EXPECT_EQ(ran, c.called ? top : nullptr) << "the routine runs with the device of the driver that set it";
  }
  EXPECT_EQ(khost::Objects().liveIrps, 0u);
  EXPECT_FREED(&last->IoStatus.Information);  // the I/O manager frees a completed request poisoned, at once
}

NTSTATUS WakeAndKeep(PDEVICE_OBJECT, PIRP, PVOID event) {
  KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// A synchronous request another driver built: the bottom pends it and
// completes it from another thread; the next passes down without a routine;
// the third claims it back and finishes it anew.
TEST_F(HostManagersTest, PendingPropagatesAndMoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  std::thread completer;
  Strings order;
  KPROCESSOR_MODE mode = UserMode;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    mode = irp->RequestorMode;
    IoMarkIrpPending(irp);
    completer = std::thread([irp] { Complete(irp, STATUS_SUCCESS, 5); });
    return STATUS_PENDING;
  });
  Push([](PDEVICE_OBJECT device, PIRP irp) { return CopyDown(device, irp); });
  Push([&](PDEVICE_OBJECT device, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    if (CopyDown(device, irp, WakeAndKeep, &event) == STATUS_PENDING)
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(irp->IoStatus.Information, 5u) << "the lower answer is there to act on";
    order.push_back(irp->PendingReturned ? "claimed back, pending returned" : "claimed back");
    return Complete(irp, STATUS_UNSUCCESSFUL, 7);
  });
  PDEVICE_OBJECT top = Push([&](PDEVICE_OBJECT device, PIRP irp) {
    auto routine = [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
      static_cast<Strings*>(context)->push_back("top routine");
      if (irp->PendingReturned) IoMarkIrpPending(irp);
      return STATUS_SUCCESS;
    };
    return CopyDown(device, irp, routine, &order);
  });
  KEVENT done;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done, &iosb);
  ASSERT_NE(irp, nullptr);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  EXPECT_EQ(IoCallDriver(top, irp), STATUS_UNSUCCESSFUL) << "the owner finished it on its own thread";
  completer.join();
  EXPECT_EQ(order, (Strings{"claimed back, pending returned", "top routine"}));
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 7u);
  EXPECT_EQ(mode, KernelMode) << "a request from another driver";
  EXPECT_EQ(khost::Objects().liveIrps, 0u) << "the kernel frees a synchronous request once it completes";
  EXPECT_FREED(&irp->IoStatus.Information);
}

TEST_F(HostManagersTest, PassingARequestPastItsLastStackLocationStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  Push([](PDEVICE_OBJECT device, PIRP irp) { return IoCallDriver(device, irp); });
  EXPECT_DEATH(Send(), "no-more-stack-locations");
}

TEST_F(HostManagersTest, ReleaseAndWaitWaitsForEveryHolderAndThenRefusesNewOnes) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x6B636F4C, 0, 0);
  int mine, theirs, late;
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &mine), STATUS_SUCCESS);
  ASSERT_EQ(IoAcquireRemoveLock(&lock, &theirs), STATUS_SUCCESS);
  std::atomic<bool> released{false};
  std::thread holder([&] {
    std::this_thread::sleep_for(50ms);  // not a synchronisation: a wait that does not wait returns in this time
    released = true;
    IoReleaseRemoveLock(&lock, &theirs);
  });
  IoReleaseRemoveLockAndWait(&lock, &mine);
  EXPECT_TRUE(released) << "release-and-wait returned while another holder was inside";
  holder.join();
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &late), STATUS_DELETE_PENDING);
}

// ------------------------------------------------------------------ a service's requests

TEST_F(HostManagersTest, AnOpenReachesTheTopOfTheLinkedStackWithItsCountedNameAndACloseSendsCleanupThenClose) {
  using Seen = std::vector<std::pair<UCHAR, PDEVICE_OBJECT>>;
  Seen seen;
  std::u16string fileName;
  bool roomForATerminator = true;
  NTSTATUS createStatus = STATUS_SUCCESS;
  auto record = [&](PDEVICE_OBJECT device, PIRP irp) {
    seen.push_back({Here(irp)->MajorFunction, device});
    EXPECT_EQ(irp->RequestorMode, UserMode);
    if (Here(irp)->MajorFunction != IRP_MJ_CREATE) return Complete(irp, STATUS_SUCCESS);
    UNICODE_STRING& name = Here(irp)->FileObject->FileName;
    fileName.assign(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
    roomForATerminator = name.MaximumLength > name.Length;
    return Complete(irp, createStatus);
  };
  PDEVICE_OBJECT bottom = Push(record, true), top = Push(record);
  EXPECT_EQ(service_->Close(Open(STATUS_SUCCESS, u"\\\\.\\PROBE\\abc\\def")), STATUS_SUCCESS);
  EXPECT_EQ(seen, (Seen{{IRP_MJ_CREATE, top}, {IRP_MJ_CLEANUP, top}, {IRP_MJ_CLOSE, top}}));
  EXPECT_EQ(khost::Narrow(fileName), "\\abc\\def");
  EXPECT_FALSE(roomForATerminator) << "the name is counted, not terminated";
  seen.clear();
  createStatus = STATUS_ACCESS_DENIED;
  EXPECT_EQ(Open(STATUS_ACCESS_DENIED), nullptr);
  EXPECT_EQ(seen, (Seen{{IRP_MJ_CREATE, top}})) << "a refused open gets no cleanup or close";
  bottom->Flags |= DO_DEVICE_INITIALIZING;
  Open(STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(seen.size(), 1u) << "neither open reached a driver";
}

// What a driver finds of a control request: the buffers its transfer method
// gives, whose are kernel-mode, and how much of a buffered reply comes back.
TEST_F(HostManagersTest, ControlBuffersFollowTheTransferMethodAndOnlyInformationBytesOfABufferedReplyComeBack) {
  struct Seen {
    UCHAR major;
    KPROCESSOR_MODE mode;
    ULONG in, out;
    PVOID type3, user, mdl;
    ULONG mdlBytes;
    std::vector<uint8_t> system;  // all of a buffered request's system buffer, the input of a direct one's
    PIRP irp;
  } seen{};
  std::pair<NTSTATUS, ULONG_PTR> reply;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    const auto& p = Here(irp)->Parameters.DeviceIoControl;
    const bool buffered = METHOD_FROM_CTL_CODE(p.IoControlCode) == METHOD_BUFFERED;
    auto* system = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    PMDL mdl = irp->MdlAddress;
    if (Here(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL && Here(irp)->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL)
      return Ok(nullptr, irp);
    seen = {Here(irp)->MajorFunction, irp->RequestorMode, p.InputBufferLength, p.OutputBufferLength, p.Type3InputBuffer,
            irp->UserBuffer, mdl ? MmGetMdlVirtualAddress(mdl) : nullptr, mdl ? MmGetMdlByteCount(mdl) : 0, {}, irp};
    if (system) seen.system.assign(system, system + (buffered ? std::max(seen.in, seen.out) : seen.in));
    auto* out = static_cast<uint8_t*>(buffered ? system
                                      : mdl    ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority)
                                               : irp->UserBuffer);
    for (ULONG i = 0; i < std::min<ULONG>(seen.out, 8); ++i) out[i] = static_cast<uint8_t>(0xA0 + i);
    return Complete(irp, reply.first, reply.second);
  }, true);
  PDEVICE_OBJECT top = Push(PassDown);
  HANDLE handle = Open();
  enum Sender { Service, Driver, DriverInternal };
  struct Case {
    ULONG method;
    Sender sender;
    ULONG in, out;
    NTSTATUS status;
    ULONG_PTR information;
    size_t landed;  // bytes of the reply the caller finds
  };
  const Case cases[] = {
      {METHOD_BUFFERED, Service, 4, 16, STATUS_SUCCESS, 4, 4}, {METHOD_BUFFERED, Service, 16, 4, STATUS_SUCCESS, 4, 4},
      {METHOD_BUFFERED, Service, 0, 0, STATUS_SUCCESS, 0, 0},
      {METHOD_BUFFERED, Service, 0, 12, STATUS_BUFFER_OVERFLOW, 8, 8},  // a warning keeps its data
      {METHOD_BUFFERED, Service, 3, 12, STATUS_INVALID_PARAMETER, 8, 0},
      {METHOD_BUFFERED, DriverInternal, 5, 8, STATUS_SUCCESS, 3, 3},
      // Direct and neither transfers write the caller's memory itself, whatever Information says.
      {METHOD_IN_DIRECT, Service, 5, 8, STATUS_SUCCESS, 3, 8}, {METHOD_OUT_DIRECT, Service, 5, 8, STATUS_SUCCESS, 3, 8},
      {METHOD_OUT_DIRECT, Driver, 5, 8, STATUS_SUCCESS, 3, 8},  {METHOD_NEITHER, Service, 5, 8, STATUS_SUCCESS, 3, 8},
      {METHOD_NEITHER, DriverInternal, 5, 8, STATUS_SUCCESS, 3, 8},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "method " << c.method << " sender " << c.sender << " " << c.in << "/" << c.out);
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, c.method, FILE_ANY_ACCESS);
    const bool service = c.sender == Service, direct = c.method == METHOD_IN_DIRECT || c.method == METHOD_OUT_DIRECT;
    const bool neither = c.method == METHOD_NEITHER;
    std::vector<uint8_t> input(c.in), output(c.out, 0x11);
    for (ULONG i = 0; i < c.in; ++i) input[i] = static_cast<uint8_t>(i + 1);
    reply = {c.status, c.information};
    khost::RequestResult got{0, 99};
    if (service)
      got.status = service_->DeviceIoControl(handle, code, input.data(), c.in, output.data(), c.out, &got.information);
    else
      got = khost::SendKernelControl(top, code, input.data(), c.in, output.data(), c.out, c.sender == DriverInternal);
    EXPECT_EQ(got.status, c.status);
    EXPECT_EQ(got.information, c.information);
    EXPECT_EQ(seen.major, c.sender == DriverInternal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(seen.mode, service ? UserMode : KernelMode);
    EXPECT_EQ(std::make_pair(seen.in, seen.out), std::make_pair(c.in, c.out));
    ASSERT_EQ(seen.system.size(), neither ? 0u : direct ? c.in : std::max(c.in, c.out))
        << "a buffered request has one system buffer of the larger length, none for nothing";
    for (size_t i = 0; i < seen.system.size(); ++i)  // past the input, what a driver above left is its own business
      EXPECT_TRUE(seen.system[i] == (i < c.in ? input[i] : khost::PoisonByte(i)) || (i >= c.in && !service)) << i;
    EXPECT_EQ(seen.mdl, direct ? output.data() : nullptr);
    EXPECT_EQ(seen.mdlBytes, direct ? c.out : 0u);
    EXPECT_EQ(seen.type3, neither ? input.data() : nullptr);
    EXPECT_EQ(seen.user, neither ? output.data() : nullptr);
    for (size_t i = 0; i < output.size(); ++i) EXPECT_EQ(output[i], i < c.landed ? 0xA0 + i : 0x11) << "byte " << i;
    EXPECT_EQ(khost::Objects().liveIrps, 0u);
    EXPECT_FREED(&seen.irp->IoStatus.Information);  // the service's and IoBuildDeviceIoControlRequest's alike
  }
  service_->Close(handle);
}

TEST_F(HostManagersTest, ACodeWhoseRequiredAccessTheHandleLacksIsRefusedBeforeAnyDriverSeesIt) {
  int reached = 0;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    return reached += Here(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL, Ok(nullptr, irp);
  }, true);
  const ULONG required[] = {FILE_ANY_ACCESS, FILE_READ_ACCESS, FILE_WRITE_ACCESS, FILE_READ_ACCESS | FILE_WRITE_ACCESS};
  const std::pair<ACCESS_MASK, const char*> cases[] = {  // the handle's desired access; which of `required` it allows
      {GENERIC_READ | GENERIC_WRITE, "1111"}, {GENERIC_READ, "1100"}, {GENERIC_WRITE, "1010"},
      {FILE_READ_ATTRIBUTES, "1000"},         {FILE_READ_DATA | FILE_WRITE_DATA, "1111"}, {GENERIC_ALL, "1111"}};
  for (const auto& [desired, allowed] : cases) {
    NTSTATUS status;
    HANDLE handle = service_->CreateFile(u"\\\\.\\Probe", &status, desired);
    ASSERT_EQ(status, STATUS_SUCCESS);
    for (size_t i = 0; i < 4; ++i) {
      reached = 0;
      ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_BUFFERED, required[i]);
      EXPECT_EQ(service_->DeviceIoControl(handle, code, nullptr, 0, nullptr, 0),
                allowed[i] == '1' ? STATUS_SUCCESS : STATUS_ACCESS_DENIED)
          << std::hex << "desired " << desired << " required " << required[i];
      EXPECT_EQ(reached, allowed[i] == '1');
    }
    service_->Close(handle);
  }
}

TEST_F(HostManagersTest, AUserHandleReferencedWithKernelModeInTheServicesRequestIsReported) {
  struct Case {
    const char* what;
    bool kernelHandle, fromService;  // a driver's request comes from a system thread
    KPROCESSOR_MODE accessMode;
    NTSTATUS status;
    const char* reported;
  } now{};
  const Case cases[] = {
      {"user handle, the request's mode", false, true, UserMode, STATUS_SUCCESS, ""},
      {"user handle, KernelMode", false, true, KernelMode, STATUS_SUCCESS, "kernel-mode-reference-of-user-handle"},
      {"kernel handle, UserMode", true, true, UserMode, STATUS_INVALID_HANDLE, ""},
      {"kernel handle, KernelMode from a driver", true, false, KernelMode, STATUS_SUCCESS, ""},
      {"user handle outside its process", false, false, KernelMode, STATUS_INVALID_HANDLE, ""}};
  NTSTATUS referenced = 0;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    PVOID event = nullptr, *handle = static_cast<PVOID*>(irp->AssociatedIrp.SystemBuffer);
    if (Here(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Ok(nullptr, irp);
    referenced =
        ObReferenceObjectByHandle(*handle, EVENT_MODIFY_STATE, *ExEventObjectType, now.accessMode, &event, nullptr);
    if (event) ObDereferenceObject(event);
    return Ok(nullptr, irp);
  }, true);
  HANDLE file = Open(), userEvent = service_->CreateEvent(false, false), kernelEvent = khost::CreateKernelEvent();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    HANDLE passed = (now = c).kernelHandle ? kernelEvent : userEvent;
    if (c.fromService) service_->DeviceIoControl(file, kCode, &passed, sizeof passed, nullptr, 0);
    if (!c.fromService) khost::SendKernelControl(stack_.front(), kCode, &passed, sizeof passed, nullptr, 0);
    EXPECT_EQ(referenced, c.status);
    ExpectReported(c.reported);
  }
  khost::CloseKernelHandle(kernelEvent);
}

Strings g_heldLog;
NTSTATUS HeldDispatch(PDEVICE_OBJECT, PIRP irp) {
  g_heldLog.push_back(Here(irp)->MajorFunction == IRP_MJ_CLOSE ? "close" : "other");
  return Complete(irp, STATUS_SUCCESS);
}
NTSTATUS HeldDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& major : driver->MajorFunction) major = HeldDispatch;
  driver->DriverUnload = [](PDRIVER_OBJECT) { g_heldLog.push_back("unload"); };
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Held");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (NT_SUCCESS(status)) device->Flags &= ~DO_DEVICE_INITIALIZING;
  return status;
}

TEST_F(HostManagersTest, AnUnloadWaitsForTheLastReferenceToTheDriversDeletedDevices) {
  for (bool open : {false, true}) {
    g_heldLog.clear();
    PDRIVER_OBJECT held = khost::LoadDriver(u"held", HeldDriverEntry);
    ASSERT_NE(held, nullptr);
    HANDLE handle = open ? Open(STATUS_SUCCESS, u"\\Device\\Held") : nullptr;
    IoDeleteDevice(held->DeviceObject);
    khost::UnloadDriver(held);
    EXPECT_EQ(khost::UnloadPending(held), open);
    if (open) {
      EXPECT_EQ(g_heldLog, Strings{"other"}) << "only the open so far";
      service_->Close(handle);
    }
    EXPECT_EQ(g_heldLog, (open ? Strings{"other", "other", "close", "unload"} : Strings{"unload"}))
        << "the close reaches the loaded driver, then it unloads";
    EXPECT_FALSE(khost::IsLiveObject(held));
  }
}

// ------------------------------------------------------------------ the verifier on requests, devices and replies

TEST_F(HostManagersTest, AReplyIsReportedAtItsFirstTwoUnwrittenBytesWhereverTheyFallInTheScannedWords) {
  struct Case {
    ULONG in, out;
    std::vector<std::pair<ULONG, ULONG>> unwritten;  // [from, to) of the reply the driver leaves alone
    long reported;                                   // the first byte of the report, or -1
  };
  const Case cases[] = {
      {0, 40, {}, -1},
      {0, 40, {{0, 40}}, 0},
      {5, 40, {{5, 40}}, 5},            // the pattern's phase follows the input
      {3, 64, {{10, 12}}, 10},          // a pair across two scanned words
      {3, 64, {{10, 11}, {30, 31}}, -1},  // single bytes are not a pair
      {0, 64, {{63, 64}}, -1},
      {0, 64, {{62, 64}}, 62},
      {0, 61, {{59, 61}}, 59},          // in the tail after the last whole word
      {6, 64, {{8, 9}, {20, 22}, {40, 50}}, 20},
      // Sixteen bytes are compared at once and 64 passed over on one test:
      // pairs across those boundaries, lone bytes at them, and the tail.
      {0, 300, {{15, 17}}, 15},
      {0, 300, {{63, 65}, {100, 102}}, 63},
      {5, 300, {{15, 16}, {31, 32}, {47, 48}, {64, 65}, {143, 145}}, 143},
      {2, 300, {{66, 67}, {283, 284}, {297, 299}}, 297},
      {0, 300, {{299, 300}}, -1},
      {1, 300, {{200, 202}}, 200},  // after whole blocks copied and checked in one pass
  };
  const Case* current = nullptr;
  std::vector<uint8_t> seen;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    if (Here(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Ok(nullptr, irp);
    auto* system = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    seen.assign(system, system + current->out);
    for (ULONG i = current->in; i < current->out; ++i) {
      bool hole = false;
      for (auto [from, to] : current->unwritten) hole = hole || (i >= from && i < to);
      if (!hole) system[i] = 0x5C;
    }
    return Complete(irp, STATUS_SUCCESS, current->out);
  }, true);
  HANDLE handle = Open();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.in << "/" << c.out << " reported at " << c.reported);
    current = &c;
    std::vector<uint8_t> input(c.in, 0x7E), output(c.out);
    EXPECT_EQ(service_->DeviceIoControl(handle, kCode, input.data(), c.in, output.data(), c.out), STATUS_SUCCESS);
    for (ULONG i = c.in; i < c.out; ++i) ASSERT_EQ(seen[i], khost::PoisonByte(i)) << "the poison at byte " << i;
    for (ULONG i = 0; i < c.out; ++i) {
      bool hole = false;
      for (auto [from, to] : c.unwritten) hole = hole || (i >= from && i < to);
      ASSERT_EQ(output[i], i < c.in ? 0x7E : hole ? khost::PoisonByte(i) : 0x5C) << "the reply at byte " << i;
    }
    if (c.reported < 0)
      ExpectReported("");
    else
      ExpectReported("unwritten-reply-bytes", "reply byte " + std::to_string(c.reported) + " of ");
  }
  service_->Close(handle);
}

NTSTATUS LateDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = [](PDRIVER_OBJECT self) { IoDeleteDevice(self->DeviceObject); };
  PDEVICE_OBJECT device;
  return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

TEST_F(HostManagersTest, EveryRequestDeviceReplyAndRemoveLockCheckFires) {
  PIRP stashed = nullptr, own = nullptr;
  Behaviour current = Ok;  // what the bottom device does with the next request
  Push([&](PDEVICE_OBJECT device, PIRP irp) { return current(device, irp); }, true);
  PDEVICE_OBJECT top = Push(PassDown), upper = nullptr;
  HANDLE handle = Open();
  auto bottom = [&](Behaviour b) { return [&, b] { current = b, Send(), current = Ok; }; };
  KSPIN_LOCK lock = 0;
  auto locked = [&](Behaviour b) {
    return [&, b](PDEVICE_OBJECT d, PIRP irp) {
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      NTSTATUS status = b(d, irp);
      KeReleaseSpinLock(&lock, old);
      return status;
    };
  };
  // A buffered reply that fills `written` bytes and claims `information` of an 8-byte output.
  auto reply = [&](ULONG_PTR information, ULONG written, ULONG inLength) {
    return [&, information, written, inLength] {
      uint8_t in[16] = {}, out[8];
      current = [=](PDEVICE_OBJECT, PIRP irp) {
        memset(irp->AssociatedIrp.SystemBuffer, 0xA0, written);
        return Complete(irp, STATUS_SUCCESS, information);
      };
      service_->DeviceIoControl(handle, kCode, in, inLength, out, 8);
      current = Ok;
    };
  };
  IO_REMOVE_LOCK held, never;
  memset(&never, 0, sizeof never);
  auto fresh = [&] { return IoInitializeRemoveLock(&held, 0x6B636F4C, 0, 0), &held; };
  int tag, other;
  ExpectEachReported({
      // The second completion touches nothing of the request: it is freed memory by then.
      {"irp-completed-twice",
       bottom([](PDEVICE_OBJECT d, PIRP irp) { return Ok(d, irp), IoCompleteRequest(irp, IO_NO_INCREMENT), 0; })},
      {"irp-used-after-completion", bottom([](PDEVICE_OBJECT d, PIRP irp) {
         return Ok(d, irp), IoCallDriver(d, irp) == STATUS_INVALID_PARAMETER ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
       })},
      {"irp-not-completed", bottom([&](PDEVICE_OBJECT, PIRP irp) { return stashed = irp, STATUS_SUCCESS; })},
      {"irp-not-completed", [&] {
         Complete(stashed, STATUS_SUCCESS);  // late, and freed then
         khost::SetPendingRequestTimeout(100ms);
         bottom([&](PDEVICE_OBJECT, PIRP irp) { return IoMarkIrpPending(irp), stashed = irp, STATUS_PENDING; })();
         EXPECT_EQ(khost::Objects().liveIrps, 1u) << "abandoned after the timeout";
         Complete(stashed, STATUS_SUCCESS);
       }},
      {"complete-with-spin-lock", bottom(locked(Ok))},
      {"call-down-with-spin-lock",
       [&] { *ExtOf(top)->behaviour = locked(PassDown), Send(), *ExtOf(top)->behaviour = PassDown; }},
      {"complete-with-pending", bottom([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); })},
      {"dispatch-status-mismatch", bottom([](PDEVICE_OBJECT d, PIRP irp) { return Ok(d, irp), STATUS_UNSUCCESSFUL; })},
      {"pending-not-marked", bottom([](PDEVICE_OBJECT d, PIRP irp) { return Ok(d, irp), STATUS_PENDING; })},
      {"pending-not-returned", bottom([](PDEVICE_OBJECT d, PIRP irp) { return IoMarkIrpPending(irp), Ok(d, irp); })},
      {"user-mode-internal-control",
       [&] { khost::SendIrp(top, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, nullptr, STATUS_NOT_SUPPORTED, UserMode); }},
      {"irp-free-host-request", bottom([](PDEVICE_OBJECT d, PIRP irp) { return IoFreeIrp(irp), Ok(d, irp); })},
      {"power-irp-without-start-next",
       [&] { khost::SendIrp(top, IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr, STATUS_NOT_SUPPORTED); }},
      {"complete-without-location", [&] { own = IoAllocateIrp(2, FALSE), IoCompleteRequest(own, IO_NO_INCREMENT); }},
      {"irp-not-completed device-leak object-leak name-leak", [] { khost::CheckLeaks(); }},
      {"irp-freed-twice", [&] { IoFreeIrp(own), IoFreeIrp(own); }},
      {"information-exceeds-output", reply(12, 12, 12)},
      {"unwritten-reply-bytes", reply(8, 3, 0)},
      {"mdl-not-locked",
       [] { MDL unlocked{}; EXPECT_EQ(MmGetSystemAddressForMdlSafe(&unlocked, NormalPagePriority), nullptr); }},
      {"device-deleted-while-attached", [&] {
         IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
         IoAttachDeviceToDeviceStack(upper, top), IoDeleteDevice(upper);
       }},
      {"detach-nothing-attached", [&] { IoDetachDevice(top), IoDetachDevice(top); }},
      {"device-deleted-twice", [&] { IoDeleteDevice(upper); }},
      {"irql-too-high", [&] {
         khost::RunAtIrql(DISPATCH_LEVEL, [&] { IoCreateDevice(driver_, 0, nullptr, 0, 0, FALSE, &upper); });
         IoDeleteDevice(upper);
       }},
      {"unload-with-devices", [] { khost::UnloadDriver(khost::LoadDriver(u"late", LateDriverEntry)); }},
      {"remove-lock-over-release", [&] { IoAcquireRemoveLock(fresh(), &tag), IoReleaseRemoveLock(&held, &other); }},
      {"remove-lock-over-release", [&] { IoReleaseRemoveLockAndWait(fresh(), &tag); }},
      {"remove-lock-over-release",
       [&] { IoAcquireRemoveLock(fresh(), &tag), IoReleaseRemoveLock(&held, &tag), IoReleaseRemoveLock(&held, &tag); }},
      {"remove-lock-over-release",
       [&] { IoAcquireRemoveLock(fresh(), &tag), IoReleaseRemoveLockAndWait(&held, &tag);
             IoReleaseRemoveLock(&held, &tag); }},
      {"remove-lock-uninitialised", [&] { IoAcquireRemoveLock(&never, &tag); }},
  });
  service_->Close(handle);
}

// ------------------------------------------------------------------ what a bus hands over

// A bus whose function device answers its relations and whose children answer
// their IDs as a case asks, well or badly; everything else simply succeeds.
struct ToyBus {
  enum { Pool, NotPool, Unterminated, Failed, NoList, Twice } relations = Pool, id = Pool;
  std::u16string deviceId = u"TOY\\DEV", instanceId = u"0007", hardwareIds = std::u16string(u"TOY\\DEV\0", 8);
  std::map<PDEVICE_OBJECT, std::u16string> deviceIds;  // a child's own device ID, if not deviceId
  std::map<PDEVICE_OBJECT, int> received;               // requests each child was sent
  std::vector<PDEVICE_OBJECT> children;
  PDEVICE_RELATIONS refusedList = nullptr;  // what the manager must not take, given back after the case
  PVOID refusedText = nullptr;

  static PWCHAR PoolText(const std::u16string& text, bool terminate = true) {
    auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (text.size() + terminate) * 2, 0x796F54));
    memcpy(copy, text.data(), text.size() * 2);
    if (terminate) copy[text.size()] = 0;
    return copy;
  }
  NTSTATUS Child(PDEVICE_OBJECT self, PIRP irp) {
    static WCHAR notPool[] = L"TOY\\STATIC";
    ++received[self];
    LogRemoval("child", irp);
    if (Here(irp)->MinorFunction != IRP_MN_QUERY_ID) return Complete(irp, STATUS_SUCCESS);
    auto answer = [&](PVOID text, NTSTATUS status = STATUS_SUCCESS) { return Complete(irp, status, ULONG_PTR(text)); };
    switch (Here(irp)->Parameters.QueryId.IdType) {
      case BusQueryInstanceID: return answer(PoolText(instanceId));
      case BusQueryHardwareIDs: return answer(PoolText(hardwareIds));
      case BusQueryDeviceID: {
        const std::u16string& own = deviceIds.count(self) ? deviceIds[self] : deviceId;
        if (id == Failed) return answer(refusedText = PoolText(own), STATUS_UNSUCCESSFUL);
        return answer(id == NotPool ? notPool : PoolText(own, id != Unterminated));
      }
      default: return Complete(irp, irp->IoStatus.Status);
    }
  }
  NTSTATUS Function(PDEVICE_OBJECT fdo, PIRP irp) {
    static DEVICE_RELATIONS notPool;  // room for the one child
    const bool busRelations = Here(irp)->Parameters.QueryDeviceRelations.Type == BusRelations;
    if (!Is(irp, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS) || !busRelations) return Agree(fdo, irp);
    if (relations == NoList) return Complete(irp, STATUS_SUCCESS, 0);
    ULONG count = static_cast<ULONG>(children.size()) + (relations == Twice);
    auto* list = relations == NotPool ? &notPool
                                      : static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
                                            NonPagedPoolNx, sizeof(DEVICE_RELATIONS) + count * 8, 0x796F54));
    list->Count = count;
    for (ULONG i = 0; i < count; ++i) ObReferenceObject(list->Objects[i] = children[i % children.size()]);
    if (relations == NotPool || relations == Failed) refusedList = list;
    return Complete(irp, relations == Failed ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS, ULONG_PTR(list));
  }
};

TEST_F(HostManagersTest, EveryCheckOnWhatABusHandsOverFires) {
  ToyBus bus;
  g_functionDevice = [&](PDEVICE_OBJECT fdo, PIRP irp) { return bus.Function(fdo, irp); };
  khost::DevNode* node = nullptr;
  auto enumerate = [&] { IoInvalidateDeviceRelations(node->pdo, BusRelations), khost::Pnp().ProcessInvalidations(); };
  auto child = [&](PDEVICE_OBJECT self, PIRP irp) { return bus.Child(self, irp); };
  auto plugIn = [&] { bus.children.push_back(New(child)); };
  constexpr size_t kMaxDeviceIdLen = 200;
  const std::u16string longest(kMaxDeviceIdLen - 1, u'D');  // MAX_DEVICE_ID_LEN counts the terminator
  // A case arranges the bus before the manager enumerates it and may act afterwards; an empty check is a
  // case the manager must accept in silence.
  struct Case {
    const char* check;
    std::function<void()> arrange, then = [] {};
  };
  const std::vector<Case> cases = {
      {"relations-null-list", [&] { bus.relations = ToyBus::NoList; }},
      {"answer-not-from-pool", [&] { bus.relations = ToyBus::NotPool; }},
      {"information-on-failure", [&] { bus.relations = ToyBus::Failed; }},
      {"duplicate-relation", [&] { bus.relations = ToyBus::Twice; }},
      {"answer-not-from-pool", [&] { bus.id = ToyBus::NotPool; }},
      {"answer-not-terminated", [&] { bus.id = ToyBus::Unterminated; }},
      {"information-on-failure", [&] { bus.id = ToyBus::Failed; }},
      {"invalid-device-id", [&] { bus.deviceId = u"TOY\\A,B"; }},
      {"invalid-device-id", [&] { bus.hardwareIds = std::u16string(u"TOY DEV\0", 8); }},
      {"invalid-device-id", [&] { bus.deviceId = u"TOY\\\x80"; }},
      {"", [&] { bus.deviceId = u"TOY\\\x7F!#&"; }},
      {"invalid-device-id", [&] { bus.instanceId = u"00\\07"; }},  // a backslash only separates the two
      {"invalid-device-id", [&] { bus.instanceId = u""; }},
      {"invalid-device-id", [&] { bus.deviceId = longest + u"D"; }},
      {"invalid-device-id", [&] { bus.hardwareIds = longest + u"D" + std::u16string(1, 0); }},
      {"", [&] { bus.hardwareIds = longest + std::u16string(1, 0); }},
      // The instance path (device ID, backslash, instance ID) must fit as well.
      {"", [&] { bus.deviceId = longest.substr(0, kMaxDeviceIdLen - 6); }},
      {"invalid-device-id", [&] { bus.deviceId = longest.substr(0, kMaxDeviceIdLen - 5); }},
      // Two children with one device instance path, however the manager meets them.
      {"duplicate-device-instance", plugIn},                                 // in one answer
      {"duplicate-device-instance", [] {}, [&] { plugIn(), enumerate(); }},  // the second in a later answer
      {"duplicate-device-instance", [&] {
         plugIn();
         bus.deviceIds[bus.children[0]] = u"toy\\dev";  // IDs compare without case
         std::swap(bus.children[0], bus.children[1]);    // the later child listed first
       }},
      {"", [&] { plugIn(), bus.deviceIds[bus.children[1]] = u"TOY\\OTHER"; }},
      {"", [] {}, [&] {  // the path is free again once its holder is removed
         PDEVICE_OBJECT gone = bus.children[0];
         bus.children.clear();
         enumerate();
         plugIn(), enumerate();
         IoDeleteDevice(gone);
       }},
      {"", [] {}, [&] {
         IoInvalidateDeviceRelations(node->pdo, BusRelations), IoInvalidateDeviceRelations(node->pdo, BusRelations);
         EXPECT_EQ(khost::Pnp().PendingInvalidations(), 2u);
         EXPECT_EQ(khost::Pnp().ProcessInvalidations(), 1) << "one answer serves a device's queued invalidations";
       }},
      // A bus must report only device objects it owns and has not deleted, and delete one only after its removal.
      {"invalidate-not-a-pdo", [&] { IoInvalidateDeviceRelations(bus.children[0], BusRelations); }},
      {"device-still-initializing", [&] { bus.children[0]->Flags |= DO_DEVICE_INITIALIZING; }},
      {"relations-deleted-pdo", [&] { ObReferenceObject(bus.children[0]), IoDeleteDevice(bus.children[0]); },
       [&] {
         EXPECT_TRUE(node->children.empty());
         EXPECT_EQ(bus.received[bus.children[0]], 0) << "the manager sent requests to a deleted device";
         ObDereferenceObject(bus.children[0]);
       }},
      {"pdo-deleted-before-removal", [] {}, [&] { IoDeleteDevice(bus.children[0]); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.check) + " case " + std::to_string(&c - cases.data()));
    bus = ToyBus{};
    node = khost::Pnp().AddRootDevice("TOYBUS", driver_);
    plugIn();
    c.arrange();
    enumerate();
    c.then();
    ExpectReported(c.check);
    for (ULONG i = 0; bus.refusedList && i < bus.refusedList->Count; ++i)
      ObDereferenceObject(bus.refusedList->Objects[i]);
    if (bus.relations == ToyBus::Failed) ExFreePool(bus.refusedList);
    if (bus.refusedText) ExFreePool(bus.refusedText);
    khost::Pnp().Remove(node);
    for (PDEVICE_OBJECT child : bus.children)
      if (!khost::DeviceDeleted(child)) IoDeleteDevice(child);
    TakeViolations();
  }
}

// Taking a bus away: the manager itself vetoes it while a handle is open on a
// child's stack, and otherwise removes children before their parent, each
// after its removal relations and query.
TEST_F(HostManagersTest, RemovalIsVetoedForAHandleInTheSubtreeAndGoesChildrenFirst) {
  ToyBus bus;
  g_functionDevice = [&](PDEVICE_OBJECT fdo, PIRP irp) { return bus.Function(fdo, irp); };
  bus.children.push_back(New([&](PDEVICE_OBJECT self, PIRP irp) { return bus.Child(self, irp); }, true));
  khost::DevNode* node = khost::Pnp().AddRootDevice("TOYBUS", driver_);
  IoInvalidateDeviceRelations(node->pdo, BusRelations);
  khost::Pnp().ProcessInvalidations();
  ASSERT_EQ(node->children.size(), 1u);
  HANDLE handle = Open();
  g_removals.clear();
  EXPECT_EQ(khost::Pnp().Disable(node), khost::kQueryRemoveVetoed);
  EXPECT_EQ(khost::Pnp().Remove(node), khost::kQueryRemoveVetoed);
  EXPECT_TRUE(g_removals.empty()) << "a driver was asked although the manager vetoed";
  service_->Close(handle);
  ASSERT_EQ(khost::Pnp().Disable(node), STATUS_SUCCESS);
  EXPECT_EQ(g_removals, (Strings{"child 7", "child 1", "bus 7", "bus 1", "child 2", "bus 2"}));
  EXPECT_TRUE(node->children.empty());
  khost::Pnp().Remove(node);
  IoDeleteDevice(bus.children[0]);
}

// The root device below a function driver holds it to what the platform
// wants handed down, and the power manager asks before it leaves the working state.
TEST_F(HostManagersTest, TheDeviceBelowChecksWhatTheFunctionDriverHandsDownAndARefusedPowerQueryEndsTheTransition) {
  Behaviour below = PassDown;  // what the function device does with the next request
  bool startNext = true;       // ... and whether it starts the next power request first
  g_functionDevice = [&](PDEVICE_OBJECT fdo, PIRP irp) {
    if (Here(irp)->MajorFunction == IRP_MJ_POWER && startNext) PoStartNextPowerIrp(irp);
    return below(fdo, irp);
  };
  khost::DevNode* node = khost::Pnp().AddRootDevice("PROBEBUS", driver_);
  ASSERT_EQ(node->state, khost::DevNodeState::Started);
  POWER_STATE s3;
  s3.SystemState = PowerSystemSleeping3;
  ExpectEachReported({
      {"pnp-passed-down-without-success", [&] { khost::Pnp().Send(node, IRP_MN_QUERY_STOP_DEVICE); }},
      {"pnp-failure-passed-down", [&] {
         below = [](PDEVICE_OBJECT d, PIRP irp) {
           return irp->IoStatus.Status = STATUS_INVALID_PARAMETER, PassDown(d, irp);
         };
         khost::Pnp().Send(node, IRP_MN_QUERY_INTERFACE);
       }},
      {"pnp-irql", [&] {
         below = [](PDEVICE_OBJECT d, PIRP irp) {
           KIRQL old;
           KeRaiseIrql(DISPATCH_LEVEL, &old);
           NTSTATUS status = PassDown(d, irp);
           return KeLowerIrql(old), status;
         };
         khost::Pnp().Send(node, IRP_MN_QUERY_INTERFACE);
       }},
      {"power-passed-without-start-next",
       [&] { startNext = false, khost::SendPower(node, IRP_MN_SET_POWER, SystemPowerState, s3); }},
  }, [&] { below = PassDown, startNext = true; });
  startNext = true;
  below = [](PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, Is(irp, IRP_MJ_POWER, IRP_MN_QUERY_POWER) ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
  };
  const size_t before = khost::Pnp().LowerRequests(node).size(), sent = node->history.size();
  const auto results = khost::SetSystemPowerState(PowerSystemSleeping3);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].second, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(node->history.size(), sent + 1) << "only the query was sent: no set-power follows a refusal";
  EXPECT_EQ(khost::Pnp().LowerRequests(node).size(), before) << "the root device records only what reaches it";
  below = Agree;
  EXPECT_EQ(khost::Pnp().Remove(node), STATUS_SUCCESS);
}

// Armed, the device below refuses the next request a device may refuse and
// leaves the others alone; a harness's exempt calls are neither counted nor failed.
TEST_F(HostManagersTest, TheDeviceBelowRefusesOnlyWhatADeviceMayRefuseAndExemptCallsAreNotCounted) {
  g_functionDevice = [](PDEVICE_OBJECT fdo, PIRP irp) {
    if (Here(irp)->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    else if (Here(irp)->MinorFunction != IRP_MN_QUERY_DEVICE_RELATIONS) irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(fdo, irp);
  };
  khost::DevNode* node = khost::Pnp().AddRootDevice("PROBEBUS", driver_);
  ASSERT_EQ(node->state, khost::DevNodeState::Started);
  const std::pair<UCHAR, bool> cases[] = {{IRP_MN_QUERY_STOP_DEVICE, true},    {IRP_MN_CANCEL_STOP_DEVICE, false},
                                          {IRP_MN_QUERY_REMOVE_DEVICE, true},  {IRP_MN_CANCEL_REMOVE_DEVICE, false},
                                          {IRP_MN_QUERY_INTERFACE, false},     {IRP_MN_START_DEVICE, true}};
  for (auto [minor, refusable] : cases) {
    SCOPED_TRACE(int(minor));
    khost::FailNth(khost::FaultPoint::LowerDeviceStatus, 1);
    const uint64_t injected = khost::InjectedFailures();
    EXPECT_EQ(khost::Pnp().Send(node, minor).status == STATUS_INSUFFICIENT_RESOURCES, refusable);
    EXPECT_EQ(khost::InjectedFailures() - injected, refusable ? 1u : 0u);
    khost::ClearFaults();
  }
  POWER_STATE s3;
  s3.SystemState = PowerSystemSleeping3;
  khost::FailNth(khost::FaultPoint::LowerDeviceStatus, 1);
  EXPECT_EQ(khost::SendPower(node, IRP_MN_QUERY_POWER, SystemPowerState, s3).status, STATUS_INSUFFICIENT_RESOURCES);

  khost::FailNth(khost::FaultPoint::PoolAllocation, 1);
  const uint64_t calls = khost::CallCount(khost::FaultPoint::PoolAllocation);
  {
    khost::FaultExemption harness;
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x74736554u);
    EXPECT_NE(block, nullptr);
    ExFreePoolWithTag(block, 0);
  }
  EXPECT_EQ(khost::CallCount(khost::FaultPoint::PoolAllocation), calls);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPoolNx, 8, 0x74736554u), nullptr) << "the armed failure waited";
  EXPECT_EQ(khost::Pnp().Remove(node), STATUS_SUCCESS);
}

}  // namespace
