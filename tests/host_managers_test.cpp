// The kernel host's managers: devices, names, stacks and requests of the I/O
// manager, remove locks, a service's opens and control requests, the
// Plug and Play manager's checks on what a bus hands over, and the verifier's
// checks on each.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <list>
#include <map>
#include <sstream>
#include <thread>

#include "kernel_test.h"

namespace {

using namespace std::chrono_literals;
using Behaviour = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// One test driver whose every device runs the behaviour the test gives it.
struct Ext {
  Behaviour* behaviour;
  PDEVICE_OBJECT lower;
};
Ext* ExtOf(PDEVICE_OBJECT device) { return static_cast<Ext*>(device->DeviceExtension); }
Behaviour g_functionDevice;  // what the devices AddDevice creates do

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
NTSTATUS CopyDown(PDEVICE_OBJECT device, PIRP irp, PIO_COMPLETION_ROUTINE routine = nullptr, PVOID context = nullptr,
                  bool onSuccess = true, bool onError = true, bool onCancel = true) {
  IoCopyCurrentIrpStackLocationToNext(irp);
  if (routine) IoSetCompletionRoutine(irp, routine, context, onSuccess, onError, onCancel);
  return IoCallDriver(ExtOf(device)->lower, irp);
}
NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) { return (*ExtOf(device)->behaviour)(device, irp); }
NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  NTSTATUS status = IoCreateDevice(driver, sizeof(Ext), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  ExtOf(fdo)->behaviour = &g_functionDevice;
  ExtOf(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
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
  }
  PDEVICE_OBJECT New(Behaviour behaviour, PUNICODE_STRING name = nullptr) {
    behaviours_.push_back(std::move(behaviour));
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(Ext), name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    ExtOf(device)->behaviour = &behaviours_.back();
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
  }
  // A new device on top of the stack built so far; the bottom one may be \Device\Probe, linked as \??\Probe.
  PDEVICE_OBJECT Push(Behaviour behaviour, bool named = false) {
    PDEVICE_OBJECT device = New(std::move(behaviour), named ? &kName : nullptr);
    if (named) linked_ = NT_SUCCESS(IoCreateSymbolicLink(&kLink, &kName));
    if (!stack_.empty()) ExtOf(device)->lower = IoAttachDeviceToDeviceStack(device, stack_.back());
    stack_.push_back(device);
    return device;
  }
  khost::RequestResult Send(UCHAR major = IRP_MJ_DEVICE_CONTROL) {
    return khost::SendIrp(stack_.front(), major, 0, nullptr, STATUS_NOT_SUPPORTED);
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

// ------------------------------------------------------------------ devices and names

TEST_F(HostManagersTest, DevicesGetAZeroedExtensionAndOneNamespaceHoldsNamesAndLinks) {
  PDEVICE_OBJECT device = nullptr, other = reinterpret_cast<PDEVICE_OBJECT>(1);
  ASSERT_EQ(IoCreateDevice(driver_, 300, &kName, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, TRUE, &device),
            STATUS_SUCCESS);
  auto* extension = static_cast<unsigned char*>(device->DeviceExtension);
  EXPECT_EQ(std::count(extension, extension + 300, 0), 300);
  const ULONG flags = DO_DEVICE_INITIALIZING | DO_EXCLUSIVE | DO_DEVICE_HAS_NAME;
  EXPECT_EQ(device->Flags & flags, flags);
  EXPECT_EQ(device->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(device->StackSize, 1);

  UNICODE_STRING sameName = RTL_CONSTANT_STRING(L"\\DEVICE\\probe"), empty = {0, 0, nullptr};
  EXPECT_EQ(IoCreateDevice(driver_, 0, &sameName, FILE_DEVICE_UNKNOWN, 0, FALSE, &other),
            STATUS_OBJECT_NAME_COLLISION) << "names are case-insensitive";
  EXPECT_EQ(other, nullptr) << "a failed creation hands back no device";
  EXPECT_EQ(IoCreateDevice(driver_, 0, &empty, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(IoCreateSymbolicLink(&kLink, &kName), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&kLink, &kName), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoCreateSymbolicLink(&sameName, &kName), STATUS_OBJECT_NAME_COLLISION) << "a device's name";
  EXPECT_EQ(IoCreateDevice(driver_, 0, &kLink, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(khost::LookupDevice(u"\\??\\PROBE"), device) << "links resolve to their device";
  EXPECT_EQ(IoDeleteSymbolicLink(&kName), STATUS_OBJECT_NAME_NOT_FOUND) << "a device name is not a link";
  EXPECT_EQ(IoDeleteSymbolicLink(&kLink), STATUS_SUCCESS);
  IoDeleteDevice(device);
  ASSERT_EQ(IoCreateDevice(driver_, 0, &kName, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS)
      << "a deleted device's name is free again";
  IoDeleteDevice(device);
  EXPECT_TRUE(khost::NamespaceNames().empty());
}

TEST_F(HostManagersTest, AttachReturnsThePreviousTopAndADeletedDeviceOutlivesItsLastReference) {
  PDEVICE_OBJECT bottom = Push(nullptr), middle = Push(nullptr), top = New(nullptr);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle) << "attaching lands on the top of the stack";
  EXPECT_EQ(top->StackSize, 3);
  EXPECT_EQ(middle->AttachedDevice, top);
  LONG_PTR before = khost::ReferenceCount(top);
  PDEVICE_OBJECT reference = IoGetAttachedDeviceReference(bottom);
  EXPECT_EQ(reference, top);
  EXPECT_EQ(khost::ReferenceCount(top), before + 1);
  ObDereferenceObject(reference);
  IoDetachDevice(middle);
  EXPECT_EQ(middle->AttachedDevice, nullptr);

  PDEVICE_OBJECT held = IoGetAttachedDeviceReference(top);
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

TEST_F(HostManagersTest, CompletionRoutinesRunOnlyForTheOutcomesTheyAskedFor) {
  struct Case {
    NTSTATUS status;
    bool cancelled, onSuccess, onError, onCancel, called;
  };
  const std::vector<Case> cases = {
      {STATUS_SUCCESS, false, true, false, false, true}, {STATUS_SUCCESS, false, false, true, true, false},
      {0x40000001, false, true, false, false, true},              // an informational status is a success
      {STATUS_BUFFER_OVERFLOW, false, true, false, false, false},  // a warning is not
      {STATUS_BUFFER_OVERFLOW, false, false, true, false, true}, {STATUS_UNSUCCESSFUL, false, true, false, false, false},
      {STATUS_CANCELLED, true, false, false, true, true},        {STATUS_CANCELLED, true, true, false, false, false}};
  Case current{};
  static PDEVICE_OBJECT seen;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    irp->Cancel = current.cancelled;
    return Complete(irp, current.status);
  });
  PDEVICE_OBJECT top = Push([&](PDEVICE_OBJECT device, PIRP irp) {
    auto routine = [](PDEVICE_OBJECT d, PIRP, PVOID) -> NTSTATUS {
      seen = d;
      return STATUS_SUCCESS;
    };
    return CopyDown(device, irp, routine, nullptr, current.onSuccess, current.onError, current.onCancel);
  });
  for (const Case& c : cases) {
    current = c;
    seen = nullptr;
    EXPECT_EQ(Send().status, c.status);
    EXPECT_EQ(seen, c.called ? top : nullptr) << "the routine runs with the device of the driver that set it: "
                                              << std::hex << c.status << " cancelled " << c.cancelled << " flags "
                                              << c.onSuccess << c.onError << c.onCancel;
  }
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
  std::vector<std::string> order;
  KPROCESSOR_MODE mode = UserMode;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    mode = irp->RequestorMode;
    IoMarkIrpPending(irp);
    completer = std::thread([irp] {
      std::this_thread::sleep_for(20ms);
      Complete(irp, STATUS_SUCCESS, 5);
    });
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
      static_cast<std::vector<std::string>*>(context)->push_back("top routine");
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
  EXPECT_EQ(IoCallDriver(top, irp), STATUS_UNSUCCESSFUL) << "the owner finished it on its own thread";
  completer.join();
  EXPECT_EQ(order, (std::vector<std::string>{"claimed back, pending returned", "top routine"}));
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 7u);
  EXPECT_EQ(mode, KernelMode) << "a request from another driver";
  EXPECT_EQ(khost::Objects().liveIrps, 0u) << "the kernel frees a synchronous request once it completes";
}

TEST_F(HostManagersTest, SkipHandsDownTheSameLocationAndCopyAFreshOneWithoutTheControlFlags) {
  PIO_STACK_LOCATION upper = nullptr, lower = nullptr;
  UCHAR control = 0xFF;
  bool skip = true;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    lower = IoGetCurrentIrpStackLocation(irp);
    control = lower->Control;
    EXPECT_EQ(lower->Parameters.DeviceIoControl.IoControlCode, 0x1234u);
    return Complete(irp, STATUS_SUCCESS);
  });
  Push([&](PDEVICE_OBJECT device, PIRP irp) {
    upper = IoGetCurrentIrpStackLocation(irp);
    upper->Parameters.DeviceIoControl.IoControlCode = 0x1234;
    if (skip) return PassDown(device, irp);
    IoMarkIrpPending(irp);  // then copied: the copy must not carry the mark
    CopyDown(device, irp);
    return STATUS_PENDING;
  });
  Send();
  EXPECT_EQ(lower, upper) << "skip reuses the location";
  skip = false;
  EXPECT_TRUE(Send().pendingReturned);
  EXPECT_EQ(lower, upper - 1) << "copy fills the next location";
  EXPECT_EQ(control, 0) << "copy clears the control flags";
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
    std::this_thread::sleep_for(50ms);
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
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    seen.push_back({stack->MajorFunction, device});
    EXPECT_EQ(irp->RequestorMode, UserMode);
    if (stack->MajorFunction != IRP_MJ_CREATE) return Complete(irp, STATUS_SUCCESS);
    UNICODE_STRING& name = stack->FileObject->FileName;
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

TEST_F(HostManagersTest, ABufferedControlRequestGetsItsInputThenPoisonAndOnlyInformationBytesComeBack) {
  struct Case {
    ULONG in, out;
    NTSTATUS status;
    ULONG_PTR information;
    size_t copied;
  } current{};
  std::vector<uint8_t> found;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Ok(nullptr, irp);
    EXPECT_EQ(irp->RequestorMode, UserMode);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.InputBufferLength, current.in);
    EXPECT_EQ(stack->Parameters.DeviceIoControl.OutputBufferLength, current.out);
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    found.assign(buffer, buffer ? buffer + std::max(current.in, current.out) : buffer);
    for (ULONG i = 0; i < std::min<ULONG>(current.out, 8); ++i) buffer[i] = static_cast<uint8_t>(0xA0 + i);
    return Complete(irp, current.status, current.information);
  }, true);
  HANDLE handle = Open();
  for (const Case& c : {Case{4, 16, STATUS_SUCCESS, 4, 4}, Case{16, 4, STATUS_SUCCESS, 4, 4}, Case{0, 0, 0, 0, 0},
                        Case{0, 12, STATUS_BUFFER_OVERFLOW, 8, 8},  // a warning keeps its data
                        Case{3, 12, STATUS_INVALID_PARAMETER, 8, 0}}) {
    current = c;
    std::vector<uint8_t> input(c.in), output(c.out, 0x11);
    for (ULONG i = 0; i < c.in; ++i) input[i] = static_cast<uint8_t>(i + 1);
    ULONG_PTR returned = 99;
    EXPECT_EQ(service_->DeviceIoControl(handle, kCode, input.data(), c.in, output.data(), c.out, &returned), c.status);
    EXPECT_EQ(returned, c.information);
    ASSERT_EQ(found.size(), std::max(c.in, c.out)) << "one system buffer of the larger length, none for nothing";
    for (size_t i = 0; i < found.size(); ++i)
      EXPECT_EQ(found[i], i < c.in ? input[i] : khost::PoisonByte(i)) << "byte " << i << " of " << c.in << "/" << c.out;
    for (size_t i = 0; i < output.size(); ++i)
      EXPECT_EQ(output[i], i < c.copied ? 0xA0 + i : 0x11) << std::hex << c.status << " byte " << std::dec << i;
  }
  service_->Close(handle);
}

// What a driver finds of a control request's buffers, and where it writes its reply.
struct SeenControl {
  UCHAR major = 0;
  KPROCESSOR_MODE mode = 0;
  std::vector<uint8_t> system;  // the system buffer's first InputBufferLength bytes
  bool hasSystem = false;
  PVOID type3 = nullptr, user = nullptr, mdlAddress = nullptr;
  ULONG mdlBytes = 0;
};

NTSTATUS AnswerControl(SeenControl& seen, PIRP irp, ULONG reply) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  seen = SeenControl{};
  seen.major = stack->MajorFunction;
  seen.mode = irp->RequestorMode;
  seen.hasSystem = irp->AssociatedIrp.SystemBuffer != nullptr;
  if (seen.hasSystem) seen.system.assign(static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer),
                                         static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer) + in);
  seen.type3 = stack->Parameters.DeviceIoControl.Type3InputBuffer;
  seen.user = irp->UserBuffer;
  uint8_t* out = nullptr;
  switch (METHOD_FROM_CTL_CODE(stack->Parameters.DeviceIoControl.IoControlCode)) {
    case METHOD_BUFFERED: out = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer); break;
    case METHOD_NEITHER: out = static_cast<uint8_t*>(irp->UserBuffer); break;
    default:
      if (irp->MdlAddress) {
        seen.mdlAddress = MmGetMdlVirtualAddress(irp->MdlAddress);
        seen.mdlBytes = MmGetMdlByteCount(irp->MdlAddress);
        out = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
      }
  }
  for (ULONG i = 0; i < reply; ++i) out[i] = static_cast<uint8_t>(0xB0 + i);
  return Complete(irp, STATUS_SUCCESS, reply);
}

TEST_F(HostManagersTest, ControlBuffersFollowTheTransferMethodForTheServiceAndForADriverAbove) {
  SeenControl seen;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major != IRP_MJ_DEVICE_CONTROL && major != IRP_MJ_INTERNAL_DEVICE_CONTROL) return Ok(nullptr, irp);
    return AnswerControl(seen, irp, 3);
  }, true);
  PDEVICE_OBJECT top = Push(PassDown);
  HANDLE handle = Open();
  enum Sender { Service, Driver, DriverInternal };
  struct Case {
    ULONG method;
    Sender sender;
    bool system, mdl, pointers;  // what the driver is given
  };
  const std::vector<Case> cases = {
      {METHOD_BUFFERED, Service, true, false, false},   {METHOD_BUFFERED, DriverInternal, true, false, false},
      {METHOD_IN_DIRECT, Service, true, true, false},   {METHOD_OUT_DIRECT, Service, true, true, false},
      {METHOD_OUT_DIRECT, Driver, true, true, false},   {METHOD_NEITHER, Service, false, false, true},
      {METHOD_NEITHER, DriverInternal, false, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "method " << c.method << " sender " << c.sender);
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x810, c.method, FILE_ANY_ACCESS);
    std::vector<uint8_t> input = {1, 2, 3, 4, 5}, output(8, 0x11);
    ULONG_PTR returned = 0;
    if (c.sender == Service) {
      EXPECT_EQ(service_->DeviceIoControl(handle, code, input.data(), 5, output.data(), 8, &returned), STATUS_SUCCESS);
      EXPECT_EQ(seen.major, IRP_MJ_DEVICE_CONTROL);
      EXPECT_EQ(seen.mode, UserMode);
    } else {
      khost::RequestResult result = khost::SendKernelControl(top, code, input.data(), 5, output.data(), 8,
                                                             c.sender == DriverInternal);
      EXPECT_EQ(result.status, STATUS_SUCCESS);
      returned = result.information;
      EXPECT_EQ(seen.major, c.sender == DriverInternal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
      EXPECT_EQ(seen.mode, KernelMode);
    }
    EXPECT_EQ(returned, 3u);
    EXPECT_EQ(seen.hasSystem, c.system);
    EXPECT_EQ(seen.system, c.system ? input : std::vector<uint8_t>{}) << "the input, copied";
    EXPECT_EQ(seen.mdlAddress, c.mdl ? output.data() : nullptr);
    EXPECT_EQ(seen.mdlBytes, c.mdl ? 8u : 0u);
    EXPECT_EQ(seen.type3, c.pointers ? input.data() : nullptr);
    EXPECT_EQ(seen.user, c.pointers ? output.data() : nullptr);
    EXPECT_EQ(output, (std::vector<uint8_t>{0xB0, 0xB1, 0xB2, 0x11, 0x11, 0x11, 0x11, 0x11}));
  }
  service_->Close(handle);
}

TEST_F(HostManagersTest, ACodeWhoseRequiredAccessTheHandleLacksIsRefusedBeforeAnyDriverSeesIt) {
  int reached = 0;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    reached += IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL;
    return Ok(nullptr, irp);
  }, true);
  const ULONG required[] = {FILE_ANY_ACCESS, FILE_READ_ACCESS, FILE_WRITE_ACCESS, FILE_READ_ACCESS | FILE_WRITE_ACCESS};
  struct Case {
    ACCESS_MASK desired;
    bool allowed[4];  // for each entry of `required`
  };
  const std::vector<Case> cases = {
      {GENERIC_READ | GENERIC_WRITE, {true, true, true, true}},  {GENERIC_READ, {true, true, false, false}},
      {GENERIC_WRITE, {true, false, true, false}},                {FILE_READ_ATTRIBUTES, {true, false, false, false}},
      {FILE_READ_DATA | FILE_WRITE_DATA, {true, true, true, true}}, {GENERIC_ALL, {true, true, true, true}},
  };
  for (const Case& c : cases) {
    NTSTATUS status;
    HANDLE handle = service_->CreateFile(u"\\\\.\\Probe", &status, c.desired);
    ASSERT_EQ(status, STATUS_SUCCESS);
    for (size_t i = 0; i < 4; ++i) {
      reached = 0;
      ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x811, METHOD_BUFFERED, required[i]);
      EXPECT_EQ(service_->DeviceIoControl(handle, code, nullptr, 0, nullptr, 0),
                c.allowed[i] ? STATUS_SUCCESS : STATUS_ACCESS_DENIED)
          << std::hex << "desired " << c.desired << " required " << required[i];
      EXPECT_EQ(reached, c.allowed[i] ? 1 : 0);
    }
    service_->Close(handle);
  }
}

TEST_F(HostManagersTest, AUserHandleReferencedWithKernelModeInTheServicesRequestIsReported) {
  struct Case {
    const char* what;
    bool kernelHandle;
    KPROCESSOR_MODE accessMode;
    bool fromService;  // in the service's request, or a driver's from a system thread
    NTSTATUS status;
    bool reported;
  };
  const std::vector<Case> cases = {
      {"user handle, the request's mode", false, UserMode, true, STATUS_SUCCESS, false},
      {"user handle, KernelMode", false, KernelMode, true, STATUS_SUCCESS, true},
      {"kernel handle, UserMode", true, UserMode, true, STATUS_INVALID_HANDLE, false},
      {"kernel handle, KernelMode from a driver", true, KernelMode, false, STATUS_SUCCESS, false},
      {"user handle outside its process", false, KernelMode, false, STATUS_INVALID_HANDLE, false},
  };
  const Case* current = nullptr;
  NTSTATUS referenced = 0;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction != IRP_MJ_DEVICE_CONTROL) return Ok(nullptr, irp);
    HANDLE handle;
    memcpy(&handle, irp->AssociatedIrp.SystemBuffer, sizeof handle);
    PVOID event = nullptr;
    referenced = ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, current->accessMode,
                                           &event, nullptr);
    if (event) ObDereferenceObject(event);
    return Ok(nullptr, irp);
  }, true);
  HANDLE file = Open(), userEvent = service_->CreateEvent(false, false), kernelEvent = khost::CreateKernelEvent();
  for (const Case& c : cases) {
    current = &c;
    HANDLE passed = c.kernelHandle ? kernelEvent : userEvent;
    if (c.fromService)
      service_->DeviceIoControl(file, kCode, &passed, sizeof passed, nullptr, 0);
    else
      khost::SendKernelControl(stack_.front(), kCode, &passed, sizeof passed, nullptr, 0);
    EXPECT_EQ(referenced, c.status) << c.what;
    EXPECT_EQ(Reported(TakeViolations(), "kernel-mode-reference-of-user-handle"), c.reported) << c.what;
  }
  khost::CloseKernelHandle(kernelEvent);
}

TEST_F(HostManagersTest, ACompletedRequestIsFreedPoisonedAtOnce) {
  PIRP seen = nullptr;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    seen = irp;
    return Complete(irp, STATUS_SUCCESS, 7);
  });
  KEVENT event;
  IO_STATUS_BLOCK iosb;
  auto sendBuilt = [&](PIRP irp) {
    EXPECT_EQ(IoCallDriver(stack_.front(), irp), STATUS_SUCCESS);
    return iosb.Information;
  };
  // Each way a request is made; each returns the Information its sender got.
  const std::vector<std::pair<const char*, std::function<ULONG_PTR()>>> senders = {
      {"the I/O manager's own", [&] { return Send().information; }},
      {"IoBuildSynchronousFsdRequest",
       [&] { return sendBuilt(IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, stack_.front(), nullptr, 0,
                                                           nullptr, &event, &iosb)); }},
      {"IoBuildDeviceIoControlRequest",
       [&] { return sendBuilt(IoBuildDeviceIoControlRequest(kCode, stack_.front(), nullptr, 0, nullptr, 0, TRUE,
                                                            &event, &iosb)); }},
  };
  for (const auto& [what, send] : senders) {
    SCOPED_TRACE(what);
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    iosb = IO_STATUS_BLOCK{};
    EXPECT_EQ(send(), 7u) << "the sender has what it needs";
    EXPECT_EQ(khost::Objects().liveIrps, 0u);
    EXPECT_FREED(&seen->IoStatus.Information);
  }
}

std::vector<std::string> g_heldLog;
NTSTATUS HeldDispatch(PDEVICE_OBJECT, PIRP irp) {
  g_heldLog.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_CLOSE ? "close" : "other");
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
      EXPECT_EQ(g_heldLog, (std::vector<std::string>{"other"})) << "only the open so far";
      service_->Close(handle);
    }
    using Log = std::vector<std::string>;
    EXPECT_EQ(g_heldLog, (open ? Log{"other", "other", "close", "unload"} : Log{"unload"}))
        << "the close reaches the loaded driver, then it unloads";
    EXPECT_FALSE(khost::IsLiveObject(held));
  }
}

// ------------------------------------------------------------------ the verifier

NTSTATUS LateDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = [](PDRIVER_OBJECT self) { IoDeleteDevice(self->DeviceObject); };
  PDEVICE_OBJECT device;
  return IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
}

TEST_F(HostManagersTest, EveryRequestDeviceReplyAndRemoveLockCheckFires) {
  ULONG_PTR information = 0;
  ULONG written = 0;
  PIRP stashed = nullptr, own = nullptr;
  Behaviour current = Ok;  // what the bottom device does with the next request
  Push([&](PDEVICE_OBJECT device, PIRP irp) { return current(device, irp); }, true);
  PDEVICE_OBJECT top = Push(PassDown), upper = nullptr;
  HANDLE handle = Open();
  auto bottom = [&](Behaviour b) {
    return [&, b] {
      current = b;
      Send();
      current = Ok;
    };
  };
  KSPIN_LOCK lock = 0;
  auto locked = [&](Behaviour b) {
    return [&, b](PDEVICE_OBJECT d, PIRP irp) {
      KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
      NTSTATUS status = b(d, irp);
      KeReleaseSpinLock(&lock, old);
      return status;
    };
  };
  auto control = [&](ULONG_PTR info, ULONG write, ULONG inLength) {
    uint8_t in[16] = {}, out[8];
    information = info;
    written = write;
    current = [&](PDEVICE_OBJECT, PIRP irp) {
      memset(irp->AssociatedIrp.SystemBuffer, 0xA0, written);
      return Complete(irp, STATUS_SUCCESS, information);
    };
    service_->DeviceIoControl(handle, kCode, in, inLength, out, 8);
    current = Ok;
  };
  IO_REMOVE_LOCK remove;
  auto fresh = [&] {
    IoInitializeRemoveLock(&remove, 0x6B636F4C, 0, 0);
    return &remove;
  };
  int tag, other;
  // The checks a provocation must raise, separated by spaces.
  const std::vector<std::pair<std::string, std::function<void()>>> cases = {
      // The second completion touches nothing of the request: it is freed memory by then.
      {"irp-completed-twice", bottom([](PDEVICE_OBJECT d, PIRP irp) {
         Ok(d, irp);
         IoCompleteRequest(irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
       })},
      {"irp-used-after-completion", bottom([](PDEVICE_OBJECT d, PIRP irp) {
         Ok(d, irp);
         return IoCallDriver(d, irp) == STATUS_INVALID_PARAMETER ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
       })},
      {"irp-not-completed", bottom([&](PDEVICE_OBJECT, PIRP irp) { stashed = irp; return STATUS_SUCCESS; })},
      {"irp-not-completed", [&] {
         Complete(stashed, STATUS_SUCCESS);  // late, and freed then
         khost::SetPendingRequestTimeout(100ms);
         bottom([&](PDEVICE_OBJECT, PIRP irp) { IoMarkIrpPending(irp); stashed = irp; return STATUS_PENDING; })();
         EXPECT_EQ(khost::Objects().liveIrps, 1u) << "abandoned after the timeout";
         Complete(stashed, STATUS_SUCCESS);
       }},
      {"complete-with-spin-lock", bottom(locked(Ok))},
      {"call-down-with-spin-lock", [&] {
         *ExtOf(top)->behaviour = locked(PassDown);
         Send();
         *ExtOf(top)->behaviour = PassDown;
       }},
      {"complete-with-pending", bottom([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); })},
      {"dispatch-status-mismatch", bottom([](PDEVICE_OBJECT d, PIRP irp) { Ok(d, irp); return STATUS_UNSUCCESSFUL; })},
      {"pending-not-marked", bottom([](PDEVICE_OBJECT d, PIRP irp) { Ok(d, irp); return STATUS_PENDING; })},
      {"pending-not-returned", bottom([](PDEVICE_OBJECT d, PIRP irp) { IoMarkIrpPending(irp); return Ok(d, irp); })},
      {"user-mode-internal-control",
       [&] { khost::SendIrp(top, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, nullptr, STATUS_NOT_SUPPORTED, UserMode); }},
      {"irp-free-host-request", bottom([](PDEVICE_OBJECT d, PIRP irp) { IoFreeIrp(irp); return Ok(d, irp); })},
      {"power-irp-without-start-next",
       [&] { khost::SendIrp(top, IRP_MJ_POWER, IRP_MN_SET_POWER, nullptr, STATUS_NOT_SUPPORTED); }},
      {"complete-without-location", [&] { own = IoAllocateIrp(2, FALSE); IoCompleteRequest(own, IO_NO_INCREMENT); }},
      {"irp-not-completed device-leak object-leak name-leak", [] { khost::CheckLeaks(); }},
      {"irp-freed-twice", [&] { IoFreeIrp(own); IoFreeIrp(own); }},
      {"information-exceeds-output", [&] { control(12, 12, 12); }},
      {"unwritten-reply-bytes", [&] { control(8, 3, 0); }},
      {"device-deleted-while-attached", [&] {
         IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper);
         IoAttachDeviceToDeviceStack(upper, top);
         IoDeleteDevice(upper);
       }},
      {"detach-nothing-attached", [&] { IoDetachDevice(top); IoDetachDevice(top); }},
      {"device-deleted-twice", [&] { IoDeleteDevice(upper); }},
      {"irql-too-high", [&] {
         khost::RunAtIrql(DISPATCH_LEVEL, [&] { IoCreateDevice(driver_, 0, nullptr, 0, 0, FALSE, &upper); });
         IoDeleteDevice(upper);
       }},
      {"unload-with-devices", [] { khost::UnloadDriver(khost::LoadDriver(u"late", LateDriverEntry)); }},
      {"remove-lock-over-release", [&] { IoAcquireRemoveLock(fresh(), &tag); IoReleaseRemoveLock(&remove, &other); }},
      {"remove-lock-over-release", [&] {
         IoAcquireRemoveLock(fresh(), &tag);
         IoReleaseRemoveLock(&remove, &tag);
         IoReleaseRemoveLock(&remove, &tag);
       }},
      {"remove-lock-over-release", [&] { IoReleaseRemoveLockAndWait(fresh(), &tag); }},
      {"remove-lock-over-release", [&] {
         IoAcquireRemoveLock(fresh(), &tag);
         IoReleaseRemoveLockAndWait(&remove, &tag);
         IoReleaseRemoveLock(&remove, &tag);
       }},
      {"remove-lock-uninitialised", [&] {
         IO_REMOVE_LOCK never;
         memset(&never, 0, sizeof never);
         IoAcquireRemoveLock(&never, &tag);
       }},
  };
  for (const auto& [checks, provoke] : cases) {
    SCOPED_TRACE(checks);
    provoke();
    auto violations = TakeViolations();
    std::istringstream names(checks);
    for (std::string check; names >> check;)
      EXPECT_TRUE(Reported(violations, check)) << check << " in\n" << khost::DescribeViolations(violations);
  }
  service_->Close(handle);
}

// ------------------------------------------------------------------ what a bus hands over

// A bus whose function device answers its relations and whose children answer
// their IDs as a case asks, well or badly; everything else simply succeeds.
struct ToyBus {
  enum { Pool, NoList, Static, FailedWithList, Twice } relations = Pool;
  enum { Good, NotPool, Unterminated, FailedWithData } id = Good;
  std::u16string deviceId = u"TOY\\DEV", instanceId = u"0007", hardwareIds = std::u16string(u"TOY\\DEV\0", 8);
  std::map<PDEVICE_OBJECT, std::u16string> deviceIds;  // a child's own device ID, if not deviceId
  std::map<PDEVICE_OBJECT, int> received;               // requests each child was sent
  std::vector<std::string> removals;                    // "bus"/"child" and the minor, in order
  std::vector<PDEVICE_OBJECT> children;
  PDEVICE_RELATIONS refusedList = nullptr;
  PVOID refusedText = nullptr;
};

PWCHAR PoolText(const std::u16string& text, bool terminate = true) {
  auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (text.size() + terminate) * 2, 0x796F54));
  memcpy(copy, text.data(), text.size() * 2);
  if (terminate) copy[text.size()] = 0;
  return copy;
}

NTSTATUS ToyChild(ToyBus& bus, PDEVICE_OBJECT self, PIRP irp) {
  static WCHAR notPool[] = L"TOY\\STATIC";
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ++bus.received[self];
  if (stack->MajorFunction == IRP_MJ_PNP &&
      (stack->MinorFunction <= IRP_MN_CANCEL_REMOVE_DEVICE || stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS))
    bus.removals.push_back("child " + std::to_string(stack->MinorFunction));
  const std::u16string& deviceId = bus.deviceIds.count(self) ? bus.deviceIds[self] : bus.deviceId;
  auto answer = [&](PVOID text, NTSTATUS status = STATUS_SUCCESS) {
    return Complete(irp, status, reinterpret_cast<ULONG_PTR>(text));
  };
  if (stack->MinorFunction != IRP_MN_QUERY_ID) return Complete(irp, STATUS_SUCCESS);
  switch (stack->Parameters.QueryId.IdType) {
    case BusQueryInstanceID: return answer(PoolText(bus.instanceId));
    case BusQueryHardwareIDs: return answer(PoolText(bus.hardwareIds));
    case BusQueryDeviceID:
      if (bus.id == ToyBus::NotPool) return answer(notPool);
      if (bus.id != ToyBus::FailedWithData) return answer(PoolText(deviceId, bus.id == ToyBus::Good));
      return answer(bus.refusedText = PoolText(deviceId), STATUS_UNSUCCESSFUL);
    default: return Complete(irp, irp->IoStatus.Status);
  }
}

constexpr size_t kMaxDeviceIdLen = 200;

NTSTATUS ToyFunction(ToyBus& bus, PDEVICE_OBJECT fdo, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  PDEVICE_OBJECT lower = ExtOf(fdo)->lower;
  if (minor <= IRP_MN_CANCEL_REMOVE_DEVICE || minor == IRP_MN_QUERY_DEVICE_RELATIONS)
    bus.removals.push_back("bus " + std::to_string(minor));
  if (minor != IRP_MN_QUERY_DEVICE_RELATIONS ||
      IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type != BusRelations) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    NTSTATUS status = PassDown(fdo, irp);
    if (minor == IRP_MN_REMOVE_DEVICE) {
      IoDetachDevice(lower);
      IoDeleteDevice(fdo);
    }
    return status;
  }
  if (bus.relations == ToyBus::NoList) return Complete(irp, STATUS_SUCCESS, 0);
  static DEVICE_RELATIONS notPool;  // room for the one child
  ULONG count = static_cast<ULONG>(bus.children.size()) + (bus.relations == ToyBus::Twice);
  auto* list = bus.relations == ToyBus::Static ? &notPool
                                               : static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
                                                     NonPagedPoolNx, sizeof(DEVICE_RELATIONS) + count * 8, 0x796F54));
  list->Count = count;
  for (ULONG i = 0; i < count; ++i) ObReferenceObject(list->Objects[i] = bus.children[i % bus.children.size()]);
  if (bus.relations == ToyBus::Static || bus.relations == ToyBus::FailedWithList) bus.refusedList = list;
  return Complete(irp, bus.relations == ToyBus::FailedWithList ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS,
                  reinterpret_cast<ULONG_PTR>(list));
}

TEST_F(HostManagersTest, EveryCheckOnWhatABusHandsOverFires) {
  ToyBus bus;
  g_functionDevice = [&](PDEVICE_OBJECT fdo, PIRP irp) { return ToyFunction(bus, fdo, irp); };
  auto plugIn = [&] {
    bus.children.push_back(New([&](PDEVICE_OBJECT self, PIRP irp) { return ToyChild(bus, self, irp); }));
  };
  khost::DevNode* node = nullptr;
  auto enumerate = [&] {
    IoInvalidateDeviceRelations(node->pdo, BusRelations);
    khost::Pnp().ProcessInvalidations();
  };
  const std::u16string longest(kMaxDeviceIdLen - 1, u'D');  // MAX_DEVICE_ID_LEN counts the terminator
  // A case arranges the bus before the manager enumerates it and may act afterwards; an empty check is a
  // case the manager must accept in silence.
  struct Case {
    const char* check;
    std::function<void()> arrange, then = [] {};
  };
  const std::vector<Case> cases = {
      {"relations-null-list", [&] { bus.relations = ToyBus::NoList; }},
      {"answer-not-from-pool", [&] { bus.relations = ToyBus::Static; }},
      {"information-on-failure", [&] { bus.relations = ToyBus::FailedWithList; }},
      {"duplicate-relation", [&] { bus.relations = ToyBus::Twice; }},
      {"answer-not-from-pool", [&] { bus.id = ToyBus::NotPool; }},
      {"answer-not-terminated", [&] { bus.id = ToyBus::Unterminated; }},
      {"information-on-failure", [&] { bus.id = ToyBus::FailedWithData; }},
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
      {"duplicate-device-instance", plugIn},  // in one answer
      {"duplicate-device-instance", [] {}, [&] { plugIn(), enumerate(); }},  // the second in a later answer
      {"duplicate-device-instance", [&] {
         plugIn();
         bus.deviceIds[bus.children[0]] = u"toy\\dev";  // IDs compare without case
         std::swap(bus.children[0], bus.children[1]);    // the later child listed first
       }},
      {"", [&] { plugIn(), bus.deviceIds[bus.children[1]] = u"TOY\\OTHER"; }},
      // A bus must report only device objects it owns and has not deleted, and delete one only after its removal.
      {"invalidate-not-a-pdo", [&] { IoInvalidateDeviceRelations(bus.children[0], BusRelations); }},
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
    auto violations = TakeViolations();
    if (*c.check) {
      EXPECT_TRUE(Reported(violations, c.check)) << khost::DescribeViolations(violations);
    } else {
      EXPECT_TRUE(violations.empty()) << khost::DescribeViolations(violations);
    }
    // Give back what the manager refused to take.
    for (ULONG i = 0; bus.refusedList && i < bus.refusedList->Count; ++i)
      ObDereferenceObject(bus.refusedList->Objects[i]);
    if (bus.relations == ToyBus::FailedWithList) ExFreePool(bus.refusedList);
    if (bus.refusedText) ExFreePool(bus.refusedText);
    khost::Pnp().Remove(node);
    for (PDEVICE_OBJECT child : bus.children)
      if (!khost::DeviceDeleted(child)) IoDeleteDevice(child);
    TakeViolations();
  }
  g_functionDevice = nullptr;
}

// Taking a bus away: the manager itself vetoes it while a handle is open on a
// child's stack, and otherwise removes children before their parent, each
// after its removal relations and query.
TEST_F(HostManagersTest, RemovalIsVetoedForAHandleInTheSubtreeAndGoesChildrenFirst) {
  ToyBus bus;
  g_functionDevice = [&](PDEVICE_OBJECT fdo, PIRP irp) { return ToyFunction(bus, fdo, irp); };
  linked_ = NT_SUCCESS(IoCreateSymbolicLink(&kLink, &kName));
  bus.children.push_back(New([&](PDEVICE_OBJECT self, PIRP irp) { return ToyChild(bus, self, irp); }, &kName));
  khost::DevNode* node = khost::Pnp().AddRootDevice("TOYBUS", driver_);
  IoInvalidateDeviceRelations(node->pdo, BusRelations);
  khost::Pnp().ProcessInvalidations();
  ASSERT_EQ(node->children.size(), 1u);
  HANDLE handle = Open();
  bus.removals.clear();
  EXPECT_EQ(khost::Pnp().Disable(node), khost::kQueryRemoveVetoed);
  EXPECT_EQ(khost::Pnp().Remove(node), khost::kQueryRemoveVetoed);
  EXPECT_TRUE(bus.removals.empty()) << "a driver was asked although the manager vetoed";
  service_->Close(handle);
  ASSERT_EQ(khost::Pnp().Disable(node), STATUS_SUCCESS);
  const std::vector<std::string> childrenFirst = {"child 7", "child 1", "bus 7", "bus 1", "child 2", "bus 2"};
  EXPECT_EQ(bus.removals, childrenFirst);
  EXPECT_TRUE(node->children.empty());
  khost::Pnp().Remove(node);
  IoDeleteSymbolicLink(&kLink);
  linked_ = false;
  IoDeleteDevice(bus.children[0]);
  g_functionDevice = nullptr;
}

// The root device below a function driver holds it to what the platform
// wants handed down, and the power manager asks before it leaves the working state.
TEST_F(HostManagersTest, TheDeviceBelowChecksWhatTheFunctionDriverHandsDown) {
  Behaviour below = PassDown;  // what the function device does with the next request
  bool startNext = true;       // ... and whether it starts the next power request first
  g_functionDevice = [&](PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
      irp->IoStatus.Status = STATUS_SUCCESS;
      PDEVICE_OBJECT lower = ExtOf(fdo)->lower;
      NTSTATUS status = PassDown(fdo, irp);
      IoDetachDevice(lower);
      IoDeleteDevice(fdo);
      return status;
    }
    if (stack->MajorFunction == IRP_MJ_POWER && startNext) PoStartNextPowerIrp(irp);
    return below(fdo, irp);
  };
  khost::DevNode* node = khost::Pnp().AddRootDevice("PROBEBUS", driver_);
  ASSERT_EQ(node->state, khost::DevNodeState::Started);
  POWER_STATE s3;
  s3.SystemState = PowerSystemSleeping3;
  const std::vector<std::pair<const char*, std::function<void()>>> cases = {
      {"pnp-passed-down-without-success", [&] { khost::Pnp().Send(node, IRP_MN_QUERY_STOP_DEVICE); }},
      {"pnp-failure-passed-down", [&] {
         below = [](PDEVICE_OBJECT fdo, PIRP irp) {
           irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
           return PassDown(fdo, irp);
         };
         khost::Pnp().Send(node, IRP_MN_QUERY_INTERFACE);
       }},
      {"pnp-irql", [&] {
         below = [](PDEVICE_OBJECT fdo, PIRP irp) {
           KIRQL old;
           KeRaiseIrql(DISPATCH_LEVEL, &old);
           NTSTATUS status = PassDown(fdo, irp);
           KeLowerIrql(old);
           return status;
         };
         khost::Pnp().Send(node, IRP_MN_QUERY_INTERFACE);
       }},
      {"power-passed-without-start-next", [&] {
         startNext = false;
         khost::SendPower(node, IRP_MN_SET_POWER, SystemPowerState, s3);
       }},
  };
  for (const auto& [check, provoke] : cases) {
    SCOPED_TRACE(check);
    below = PassDown;
    startNext = true;
    provoke();
    auto violations = TakeViolations();
    EXPECT_TRUE(Reported(violations, check)) << khost::DescribeViolations(violations);
  }
  // A refused query keeps the machine working: no set-power follows it.
  startNext = true;
  below = [](PDEVICE_OBJECT, PIRP irp) {
    return Complete(irp, IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER
                             ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
  };
  const size_t before = khost::Pnp().LowerRequests(node).size();
  const size_t sent = node->history.size();
  const auto results = khost::SetSystemPowerState(PowerSystemSleeping3);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].second, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(node->history.size(), sent + 1) << "only the query was sent";
  EXPECT_EQ(khost::Pnp().LowerRequests(node).size(), before) << "the function device completed it";
  below = [](PDEVICE_OBJECT fdo, PIRP irp) {  // agrees to the removal
    irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(fdo, irp);
  };
  EXPECT_EQ(khost::Pnp().Remove(node), STATUS_SUCCESS);
  g_functionDevice = nullptr;
}

}  // namespace
