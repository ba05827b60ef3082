// The kernel host's object manager: reference counts, per-process and kernel
// handle tables, and the checks a reference by handle makes (object type,
// access granted when the handle was opened, kernel handles kept from
// user-mode callers).
#include "kernel_test.h"

namespace {

// ------------------------------------------------------------------ probe driver
// A control device whose one request references an object by a handle the
// caller passes, the way a driver takes a service's event.
struct ProbeInput {
  HANDLE handle;
  ACCESS_MASK desired;
  ULONG typed;  // 1: ask for an event; 0: any type
  ULONG set;    // 1: set the event once referenced
};
struct ProbeOutput {
  NTSTATUS status;
  ACCESS_MASK granted;
};
struct ProbeExtension {
  KPROCESSOR_MODE modeOverride;  // -1: the request's requestor mode
};
constexpr ULONG kProbeCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

NTSTATUS ProbeCreateClose(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS ProbeControl(PDEVICE_OBJECT device, PIRP irp) {
  auto* ext = static_cast<ProbeExtension*>(device->DeviceExtension);
  ProbeInput in;
  RtlCopyMemory(&in, irp->AssociatedIrp.SystemBuffer, sizeof in);
  KPROCESSOR_MODE mode = ext->modeOverride >= 0 ? ext->modeOverride : irp->RequestorMode;
  PVOID object = nullptr;
  OBJECT_HANDLE_INFORMATION info{};
  ProbeOutput out;
  out.status = ObReferenceObjectByHandle(in.handle, in.desired, in.typed ? *ExEventObjectType : nullptr, mode,
                                         &object, &info);
  out.granted = NT_SUCCESS(out.status) ? info.GrantedAccess : 0;
  if (NT_SUCCESS(out.status)) {
    if (in.set) KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(object);
  }
  RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &out, sizeof out);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = sizeof out;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS ProbeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = ProbeCreateClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = ProbeCreateClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = ProbeCreateClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = ProbeControl;
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\ObProbe");
  UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\??\\ObProbe");
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(ProbeExtension), &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  static_cast<ProbeExtension*>(device->DeviceExtension)->modeOverride = -1;
  status = IoCreateSymbolicLink(&link, &name);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void ProbeUnload(PDRIVER_OBJECT driver) {
  UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\??\\ObProbe");
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(driver->DeviceObject);
}

class HostObTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = khost::LoadDriver(u"obprobe", ProbeDriverEntry);
    ASSERT_NE(driver_, nullptr);
  }
  void EndScenario() override {
    for (auto& p : processes_) p.reset();
    if (driver_) {
      ProbeUnload(driver_);
      khost::UnloadDriver(driver_);
    }
  }
  khost::Process& NewProcess(const char* name) {
    processes_.push_back(std::make_unique<khost::Process>(name));
    khost::Process& p = *processes_.back();
    NTSTATUS status;
    probes_[&p] = p.CreateFile(u"\\\\.\\ObProbe", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return p;
  }
  ProbeOutput Probe(khost::Process& process, HANDLE handle, ACCESS_MASK desired, bool typed = true,
                    bool set = false) {
    ProbeInput in{handle, desired, typed ? 1u : 0u, set ? 1u : 0u};
    ProbeOutput out{};
    EXPECT_EQ(process.DeviceIoControl(probes_[&process], kProbeCode, &in, sizeof in, &out, sizeof out),
              STATUS_SUCCESS);
    return out;
  }
  void SetProbeMode(KPROCESSOR_MODE mode) {
    static_cast<ProbeExtension*>(driver_->DeviceObject->DeviceExtension)->modeOverride = mode;
  }
  HANDLE ProbeHandle(khost::Process& p) { return probes_[&p]; }

  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::unique_ptr<khost::Process>> processes_;
  std::map<khost::Process*, HANDLE> probes_;
};

TEST_F(HostObTest, TheLastReferenceDestroysTheObjectAndOneMoreReleaseIsReported) {
  PKEVENT event;
  HANDLE handle = khost::CreateKernelEvent(&event);
  EXPECT_EQ(khost::ReferenceCount(event), 1) << "the handle's reference";
  EXPECT_EQ(ObReferenceObject(event), 2);
  EXPECT_EQ(ObDereferenceObject(event), 1);
  khost::CloseKernelHandle(handle);
  EXPECT_FALSE(khost::IsLiveObject(event));

  ObDereferenceObject(event);
  ObReferenceObject(event);
  auto violations = TakeViolations();
  EXPECT_TRUE(Reported(violations, "dereference-dead-object")) << khost::DescribeViolations(violations);
  EXPECT_TRUE(Reported(violations, "reference-dead-object")) << khost::DescribeViolations(violations);
}

TEST_F(HostObTest, AReferenceLeftAtTheEndOfAScenarioIsReported) {
  PKEVENT event;
  HANDLE handle = khost::CreateKernelEvent(&event);
  ObReferenceObject(event);
  khost::CloseKernelHandle(handle);
  khost::CheckLeaks();
  auto violations = TakeViolations();
  ASSERT_TRUE(Reported(violations, "object-leak")) << khost::DescribeViolations(violations);
  ObDereferenceObject(event);
}

TEST_F(HostObTest, ReferenceByHandleChecksAccessGrantedAtOpenWithoutMappingGenericRights) {
  khost::Process& service = NewProcess("service");
  struct Case {
    const char* what;
    ACCESS_MASK openedWith;
    ACCESS_MASK desired;
    NTSTATUS expected;
    ACCESS_MASK granted;
  };
  const ACCESS_MASK kReadControl = 0x00020000;
  std::vector<Case> cases = {
      {"all access, modify", EVENT_ALL_ACCESS, EVENT_MODIFY_STATE, STATUS_SUCCESS, EVENT_ALL_ACCESS},
      {"generic write mapped at open", GENERIC_WRITE, EVENT_MODIFY_STATE, STATUS_SUCCESS,
       kReadControl | EVENT_MODIFY_STATE},
      {"generic write grants no synchronize", GENERIC_WRITE, SYNCHRONIZE, STATUS_ACCESS_DENIED, 0},
      {"generic read grants no modify", GENERIC_READ, EVENT_MODIFY_STATE, STATUS_ACCESS_DENIED, 0},
      {"generic all mapped at open", GENERIC_ALL, EVENT_MODIFY_STATE | SYNCHRONIZE, STATUS_SUCCESS,
       EVENT_ALL_ACCESS},
      // Generic rights in a reference's desired access are never mapped: even
      // a handle with every right fails them.
      {"generic all asked of a reference", GENERIC_ALL, GENERIC_ALL, STATUS_ACCESS_DENIED, 0},
      {"generic write asked of a reference", EVENT_ALL_ACCESS, GENERIC_WRITE, STATUS_ACCESS_DENIED, 0},
      {"nothing asked", SYNCHRONIZE, 0, STATUS_SUCCESS, SYNCHRONIZE},
  };
  for (const Case& c : cases) {
    HANDLE event = service.CreateEvent(false, false, c.openedWith);
    ProbeOutput out = Probe(service, event, c.desired);
    EXPECT_EQ(out.status, c.expected) << c.what;
    EXPECT_EQ(out.granted, c.granted) << c.what;
    service.Close(event);
  }
}

TEST_F(HostObTest, KernelModeReferencesSkipTheAccessCheck) {
  khost::Process& service = NewProcess("service");
  HANDLE event = service.CreateEvent(false, false, SYNCHRONIZE);
  SetProbeMode(KernelMode);
  EXPECT_EQ(Probe(service, event, EVENT_MODIFY_STATE).status, STATUS_SUCCESS);
  EXPECT_EQ(Probe(service, event, GENERIC_ALL).status, STATUS_SUCCESS);
  SetProbeMode(UserMode);
  EXPECT_EQ(Probe(service, event, EVENT_MODIFY_STATE).status, STATUS_ACCESS_DENIED);
}

TEST_F(HostObTest, HandlesResolveOnlyInTheirOwnTable) {
  khost::Process& service = NewProcess("service");
  khost::Process& other = NewProcess("other");
  PKEVENT kernelEvent;
  HANDLE kernelHandle = khost::CreateKernelEvent(&kernelEvent);
  service.CreateEvent(true, false);  // so the next handle's value exists only in this process
  HANDLE second = service.CreateEvent(true, false);
  HANDLE closed = service.CreateEvent(true, false);
  service.Close(closed);

  struct Case {
    const char* what;
    khost::Process* caller;
    HANDLE handle;
    bool typed;
    NTSTATUS expected;
  };
  std::vector<Case> cases = {
      {"own event", &service, second, true, STATUS_SUCCESS},
      {"a handle value only another process has", &other, second, true, STATUS_INVALID_HANDLE},
      {"a closed handle", &service, closed, true, STATUS_INVALID_HANDLE},
      {"a value that was never a handle", &service, reinterpret_cast<HANDLE>(0x1236), true, STATUS_INVALID_HANDLE},
      {"null", &service, nullptr, true, STATUS_INVALID_HANDLE},
      {"a kernel handle from user mode", &service, kernelHandle, true, STATUS_INVALID_HANDLE},
      {"a file handle where an event belongs", &service, ProbeHandle(service), true, STATUS_OBJECT_TYPE_MISMATCH},
      {"a file handle where any type will do", &service, ProbeHandle(service), false, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Probe(*c.caller, c.handle, SYNCHRONIZE, c.typed).status, c.expected) << c.what;
  }

  // A kernel-mode caller reaches the kernel's handles.
  SetProbeMode(KernelMode);
  EXPECT_EQ(Probe(service, kernelHandle, EVENT_ALL_ACCESS).status, STATUS_SUCCESS);
  EXPECT_EQ(khost::ReferenceCount(kernelEvent), 1) << "the probe dropped its reference";
  khost::CloseKernelHandle(kernelHandle);
}

TEST_F(HostObTest, AUserHandleMeansNothingOutsideAProcessAndReferencingAtRaisedIrqlIsReported) {
  khost::Process& service = NewProcess("service");
  HANDLE event = service.CreateEvent(true, false);
  khost::RunAtIrql(PASSIVE_LEVEL, [&] {
    PVOID object = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(event, SYNCHRONIZE, *ExEventObjectType, KernelMode, &object, nullptr),
              STATUS_INVALID_HANDLE)
        << "a system thread has no user handle table";
    EXPECT_EQ(object, nullptr);
  });

  PKEVENT kernelEvent;
  HANDLE kernelHandle = khost::CreateKernelEvent(&kernelEvent);
  khost::RunAtIrql(DISPATCH_LEVEL, [&] {
    PVOID object = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(kernelHandle, 0, nullptr, KernelMode, &object, nullptr)))
      ObDereferenceObject(object);
  });
  auto violations = TakeViolations();
  EXPECT_TRUE(Reported(violations, "irql-too-high")) << khost::DescribeViolations(violations);
  khost::CloseKernelHandle(kernelHandle);
}

TEST_F(HostObTest, ProcessExitClosesEveryHandleItStillHolds) {
  size_t before = khost::Objects().liveObjects;  // the probe's driver and device
  {
    khost::Process service("short-lived");
    service.CreateEvent(true, false);
    NTSTATUS status;
    service.CreateFile(u"\\\\.\\ObProbe", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(service.OpenHandles(), 2u);
    EXPECT_EQ(khost::Objects().liveObjects, before + 2);
  }
  EXPECT_EQ(khost::Objects().liveObjects, before) << "the event and the file object went with the process";
}

TEST_F(HostObTest, AUserEventSetByADriverWakesItsWaiterAndResetsThroughItsHandle) {
  khost::Process& service = NewProcess("service");
  HANDLE event = service.CreateEvent(true, false);
  EXPECT_FALSE(service.WaitEvent(event, std::chrono::milliseconds(20)));
  EXPECT_EQ(Probe(service, event, EVENT_MODIFY_STATE, true, true).status, STATUS_SUCCESS);
  EXPECT_TRUE(service.WaitEvent(event, std::chrono::milliseconds(0)));
  EXPECT_TRUE(service.WaitEvent(event, std::chrono::milliseconds(0))) << "a notification event stays set";
  EXPECT_EQ(service.ResetEvent(event), STATUS_SUCCESS);
  EXPECT_FALSE(service.WaitEvent(event, std::chrono::milliseconds(0)));
  EXPECT_EQ(service.ResetEvent(ProbeHandle(service)), STATUS_INVALID_HANDLE) << "not an event";
  EXPECT_EQ(service.Close(event), STATUS_SUCCESS);
  EXPECT_EQ(service.Close(event), STATUS_INVALID_HANDLE) << "closed twice";
}

}  // namespace
