// The kernel host's I/O manager: device objects and their stacks, the object
// namespace, requests and the completion walk, synchronous requests, remove
// locks and driver loading, with the verifier's checks on each.
#include <atomic>
#include <chrono>
#include <thread>

#include "kernel_test.h"

namespace {

using namespace std::chrono_literals;

// ------------------------------------------------------------------ layer driver
// One driver whose every device runs a behaviour the test gives it, so a test
// builds a stack of drivers that each do one thing to a request.
using Behaviour = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
struct Layer {
  Behaviour dispatch;
  PDEVICE_OBJECT lower = nullptr;
};
Layer* LayerOf(PDEVICE_OBJECT device) { return *static_cast<Layer**>(device->DeviceExtension); }

NTSTATUS LayerDispatch(PDEVICE_OBJECT device, PIRP irp) { return LayerOf(device)->dispatch(device, irp); }

NTSTATUS LayerDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& major : driver->MajorFunction) major = LayerDispatch;
  return STATUS_SUCCESS;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS PassDownSkipping(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(LayerOf(device)->lower, irp);
}

class HostIoTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    driver_ = khost::LoadDriver(u"layers", LayerDriverEntry);
    ASSERT_NE(driver_, nullptr);
  }
  void EndScenario() override {
    for (auto it = layers_.rbegin(); it != layers_.rend(); ++it) {
      PDEVICE_OBJECT device = it->first;
      if (LayerOf(device)->lower) IoDetachDevice(LayerOf(device)->lower);
      IoDeleteDevice(device);
    }
    layers_.clear();
    if (driver_) khost::UnloadDriver(driver_);
  }
  // A new device on top of the stack built so far (the first one is its bottom).
  PDEVICE_OBJECT Push(Behaviour behaviour) {
    auto layer = std::make_unique<Layer>();
    layer->dispatch = std::move(behaviour);
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(Layer*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    *static_cast<Layer**>(device->DeviceExtension) = layer.get();
    if (!layers_.empty()) layer->lower = IoAttachDeviceToDeviceStack(device, layers_.back().first);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    layers_.push_back({device, std::move(layer)});
    return device;
  }
  PDEVICE_OBJECT Bottom() const { return layers_.front().first; }
  khost::RequestResult Send(UCHAR major = IRP_MJ_DEVICE_CONTROL, NTSTATUS initial = STATUS_NOT_SUPPORTED) {
    return khost::SendIrp(Bottom(), major, 0, nullptr, initial);
  }
  static void ExpectReported(const char* what, const char* check) {
    auto violations = TakeViolations();
    EXPECT_TRUE(Reported(violations, check)) << what << ": expected " << check << ", got\n"
                                             << khost::DescribeViolations(violations);
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<std::pair<PDEVICE_OBJECT, std::unique_ptr<Layer>>> layers_;
};

// ------------------------------------------------------------------ devices and names

TEST_F(HostIoTest, ANewDeviceHasAZeroedExtensionAndIsStillInitializing) {
  PDEVICE_OBJECT device = nullptr;
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Fresh");
  ASSERT_EQ(IoCreateDevice(driver_, 300, &name, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, TRUE, &device),
            STATUS_SUCCESS);
  auto* extension = static_cast<unsigned char*>(device->DeviceExtension);
  ASSERT_NE(extension, nullptr);
  EXPECT_EQ(std::count(extension, extension + 300, 0), 300) << "the extension is zeroed";
  EXPECT_TRUE(device->Flags & DO_DEVICE_INITIALIZING);
  EXPECT_TRUE(device->Flags & DO_EXCLUSIVE);
  EXPECT_TRUE(device->Flags & DO_DEVICE_HAS_NAME);
  EXPECT_EQ(device->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN));
  EXPECT_EQ(device->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));
  EXPECT_EQ(device->StackSize, 1);
  EXPECT_EQ(device->DriverObject, driver_);
  EXPECT_EQ(khost::DevicesOf(driver_), std::vector<PDEVICE_OBJECT>{device});
  EXPECT_EQ(khost::LookupDevice(u"\\DEVICE\\fresh"), device) << "names are case-insensitive";
  IoDeleteDevice(device);
  EXPECT_TRUE(khost::DevicesOf(driver_).empty());
  EXPECT_EQ(khost::LookupDevice(u"\\Device\\Fresh"), nullptr);
}

TEST_F(HostIoTest, DeviceNamesAndLinksShareOneNamespaceAndATakenNameFails) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Taken");
  UNICODE_STRING sameName = RTL_CONSTANT_STRING(L"\\DEVICE\\taken");
  UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\??\\TakenLink");
  UNICODE_STRING empty = {0, 0, nullptr};
  PDEVICE_OBJECT first = nullptr, second = reinterpret_cast<PDEVICE_OBJECT>(1);
  ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &first), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateDevice(driver_, 0, &sameName, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(second, nullptr) << "a failed creation hands back no device";
  EXPECT_EQ(khost::DevicesOf(driver_).size(), 1u);

  EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
  EXPECT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_OBJECT_NAME_COLLISION);
  EXPECT_EQ(IoCreateSymbolicLink(&sameName, &name), STATUS_OBJECT_NAME_COLLISION)
      << "a link cannot take a device's name";
  EXPECT_EQ(IoCreateDevice(driver_, 0, &link, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
            STATUS_OBJECT_NAME_COLLISION)
      << "a device cannot take a link's name";
  EXPECT_EQ(IoCreateDevice(driver_, 0, &empty, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_OBJECT_NAME_INVALID);
  EXPECT_EQ(khost::LookupDevice(u"\\??\\takenlink"), first) << "links resolve to their device";

  EXPECT_EQ(IoDeleteSymbolicLink(&name), STATUS_OBJECT_NAME_NOT_FOUND) << "a device name is not a link";
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
  EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
  IoDeleteDevice(first);
  ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &second), STATUS_SUCCESS)
      << "a deleted device's name is free again";
  IoDeleteDevice(second);

  // Generated names never collide.
  PDEVICE_OBJECT a, b;
  ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &a),
            STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &b),
            STATUS_SUCCESS);
  EXPECT_EQ(khost::NamespaceNames().size(), 2u);
  IoDeleteDevice(a);
  IoDeleteDevice(b);
  EXPECT_TRUE(khost::NamespaceNames().empty());
}

TEST_F(HostIoTest, AttachReturnsThePreviousTopAndGrowsTheStack) {
  PDEVICE_OBJECT bottom = Push(nullptr);
  PDEVICE_OBJECT middle = Push(nullptr);
  EXPECT_EQ(LayerOf(middle)->lower, bottom);
  // Attaching "to" the bottom lands on the top of its stack.
  PDEVICE_OBJECT top = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, sizeof(Layer*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &top), STATUS_SUCCESS);
  EXPECT_EQ(IoAttachDeviceToDeviceStack(top, bottom), middle);
  EXPECT_EQ(bottom->StackSize, 1);
  EXPECT_EQ(middle->StackSize, 2);
  EXPECT_EQ(top->StackSize, 3);
  EXPECT_EQ(middle->AttachedDevice, top);

  LONG_PTR before = khost::ReferenceCount(top);
  PDEVICE_OBJECT reference = IoGetAttachedDeviceReference(bottom);
  EXPECT_EQ(reference, top) << "the reference is to the top of the stack";
  EXPECT_EQ(khost::ReferenceCount(top), before + 1);
  ObDereferenceObject(reference);

  IoDetachDevice(middle);
  EXPECT_EQ(middle->AttachedDevice, nullptr);
  EXPECT_EQ(IoGetAttachedDeviceReference(bottom), middle);
  ObDereferenceObject(middle);
  IoDeleteDevice(top);
}

TEST_F(HostIoTest, NothingAttachesToADeletedDeviceAndItsMemoryOutlivesItsLastReference) {
  PDEVICE_OBJECT doomed = nullptr, other = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &doomed), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &other), STATUS_SUCCESS);
  PDEVICE_OBJECT held = IoGetAttachedDeviceReference(doomed);
  IoDeleteDevice(doomed);
  EXPECT_TRUE(khost::DeviceDeleted(doomed));
  EXPECT_TRUE(khost::IsLiveObject(doomed)) << "a referenced device stays in memory";
  EXPECT_EQ(IoAttachDeviceToDeviceStack(other, doomed), nullptr);
  ObDereferenceObject(held);
  EXPECT_FALSE(khost::IsLiveObject(doomed));
  IoDeleteDevice(other);
}

TEST_F(HostIoTest, DeviceMisuseIsReported) {
  PDEVICE_OBJECT lower = Push(nullptr);
  PDEVICE_OBJECT upper = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &upper), STATUS_SUCCESS);
  IoAttachDeviceToDeviceStack(upper, lower);
  IoDeleteDevice(upper);
  ExpectReported("deleted while attached", "device-deleted-while-attached");
  IoDetachDevice(lower);
  IoDetachDevice(lower);
  ExpectReported("detached with nothing attached", "detach-nothing-attached");
  IoDeleteDevice(upper);
  ExpectReported("deleted twice", "device-deleted-twice");

  khost::RunAtIrql(DISPATCH_LEVEL, [&] {
    PDEVICE_OBJECT late = nullptr;
    IoCreateDevice(driver_, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &late);
    upper = late;
  });
  ExpectReported("a PASSIVE_LEVEL routine at DISPATCH_LEVEL", "irql-too-high");
  IoDeleteDevice(upper);
}

TEST_F(HostIoTest, DevicesNamesAndDriversLeftAtTheEndOfAScenarioAreReported) {
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\Forgotten");
  UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\??\\Forgotten");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(driver_, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
  khost::UnloadDriver(driver_);
  driver_ = nullptr;
  khost::CheckLeaks();
  auto violations = TakeViolations();
  for (const char* check : {"unload-with-devices", "device-leak", "object-leak", "name-leak"})
    EXPECT_TRUE(Reported(violations, check)) << check << " expected in\n" << khost::DescribeViolations(violations);
  khost::Reset();  // the leaked device goes with the scenario
  EXPECT_EQ(khost::Objects().liveObjects, 0u);
}

// ------------------------------------------------------------------ requests

TEST_F(HostIoTest, CompletionRoutinesRunOnlyForTheOutcomesTheyAskedFor) {
  struct Case {
    NTSTATUS status;
    bool cancelled;
    bool onSuccess, onError, onCancel;
    bool expectCalled;
  };
  std::vector<Case> cases = {
      {STATUS_SUCCESS, false, true, false, false, true},
      {STATUS_SUCCESS, false, false, true, true, false},
      {0x40000001, false, true, false, false, true},  // an informational status is a success
      // A warning is not a success: it runs routines that asked for errors.
      {STATUS_BUFFER_OVERFLOW, false, true, false, false, false},
      {STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
      {STATUS_UNSUCCESSFUL, false, false, true, false, true},
      {STATUS_UNSUCCESSFUL, false, true, false, false, false},
      {STATUS_CANCELLED, true, false, false, true, true},
      {STATUS_CANCELLED, true, true, false, false, false},
  };
  Case current{};
  static int calls;
  static PDEVICE_OBJECT seenDevice;
  PDEVICE_OBJECT bottom = Push([&](PDEVICE_OBJECT, PIRP irp) {
    irp->Cancel = current.cancelled;
    return Complete(irp, current.status);
  });
  PDEVICE_OBJECT top = Push([&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT d, PIRP, PVOID) -> NTSTATUS {
          ++calls;
          seenDevice = d;
          return STATUS_SUCCESS;
        },
        nullptr, current.onSuccess, current.onError, current.onCancel);
    return IoCallDriver(LayerOf(device)->lower, irp);
  });
  (void)bottom;
  for (const Case& c : cases) {
    current = c;
    calls = 0;
    seenDevice = nullptr;
    khost::RequestResult result = Send();
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(calls, c.expectCalled ? 1 : 0)
        << "status " << std::hex << c.status << " cancelled " << c.cancelled << " flags " << c.onSuccess
        << c.onError << c.onCancel;
    if (c.expectCalled) {
      EXPECT_EQ(seenDevice, top) << "the routine gets the device of the driver that set it";
    }
  }
}

TEST_F(HostIoTest, MoreProcessingRequiredStopsTheWalkUntilTheOwnerCompletesAgain) {
  bool topRoutineRan = false;
  bool topRanBeforeRecompletion = false;
  Push([](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 5); });
  // The middle driver claims the request back, changes the answer and finishes it.
  Push([&](PDEVICE_OBJECT device, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
          KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
          return STATUS_MORE_PROCESSING_REQUIRED;
        },
        &event, TRUE, TRUE, TRUE);
    if (IoCallDriver(LayerOf(device)->lower, irp) == STATUS_PENDING)
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    topRanBeforeRecompletion = topRoutineRan;
    EXPECT_EQ(irp->IoStatus.Information, 5u) << "the lower answer is there to act on";
    return Complete(irp, STATUS_UNSUCCESSFUL, 0);
  });
  Push([&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID context) -> NTSTATUS {
          *static_cast<bool*>(context) = true;
          return STATUS_SUCCESS;
        },
        &topRoutineRan, TRUE, TRUE, TRUE);
    return IoCallDriver(LayerOf(device)->lower, irp);
  });
  khost::RequestResult result = Send();
  EXPECT_FALSE(topRanBeforeRecompletion) << "the walk went on past STATUS_MORE_PROCESSING_REQUIRED";
  EXPECT_TRUE(topRoutineRan);
  EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(result.information, 0u);
}

TEST_F(HostIoTest, PendingPropagatesUpThroughLocationsWithoutACompletionRoutine) {
  std::thread completer;
  bool pendingSeenByRoutine = false;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    completer = std::thread([irp] {
      std::this_thread::sleep_for(20ms);
      Complete(irp, STATUS_SUCCESS);
    });
    return STATUS_PENDING;
  });
  // A driver that copies its location down without a routine: the I/O manager
  // marks its location pending for it.
  Push([](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    return IoCallDriver(LayerOf(device)->lower, irp);
  });
  Push([&](PDEVICE_OBJECT device, PIRP irp) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
          *static_cast<bool*>(context) = irp->PendingReturned;
          if (irp->PendingReturned) IoMarkIrpPending(irp);
          return STATUS_SUCCESS;
        },
        &pendingSeenByRoutine, TRUE, TRUE, TRUE);
    return IoCallDriver(LayerOf(device)->lower, irp);
  });
  khost::RequestResult result = Send();
  completer.join();
  EXPECT_TRUE(result.pendingReturned);
  EXPECT_EQ(result.status, STATUS_SUCCESS);
  EXPECT_TRUE(pendingSeenByRoutine) << "PendingReturned reached the routine two locations up";
}

TEST_F(HostIoTest, SkipHandsDownTheSameLocationAndCopyAFreshOneWithoutControlFlags) {
  PIO_STACK_LOCATION seenByUpper = nullptr, seenByLower = nullptr;
  UCHAR lowerControl = 0xFF;
  ULONG lowerCode = 0;
  bool skip = true;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    seenByLower = IoGetCurrentIrpStackLocation(irp);
    lowerControl = seenByLower->Control;
    lowerCode = seenByLower->Parameters.DeviceIoControl.IoControlCode;
    EXPECT_EQ(seenByLower->CompletionRoutine, nullptr);
    return Complete(irp, STATUS_SUCCESS);
  });
  Push([&](PDEVICE_OBJECT device, PIRP irp) {
    seenByUpper = IoGetCurrentIrpStackLocation(irp);
    seenByUpper->Parameters.DeviceIoControl.IoControlCode = 0x1234;
    if (skip) {
      IoSkipCurrentIrpStackLocation(irp);
    } else {
      // Marked pending, then copied: the copy must not carry the mark.
      IoMarkIrpPending(irp);
      IoCopyCurrentIrpStackLocationToNext(irp);
      IoCallDriver(LayerOf(device)->lower, irp);
      return STATUS_PENDING;
    }
    return IoCallDriver(LayerOf(device)->lower, irp);
  });
  Send();
  EXPECT_EQ(seenByLower, seenByUpper) << "skip reuses the location";
  EXPECT_EQ(lowerCode, 0x1234u);
  skip = false;
  khost::RequestResult result = Send();
  EXPECT_TRUE(result.pendingReturned);
  EXPECT_EQ(seenByLower, seenByUpper - 1) << "copy fills the next location";
  EXPECT_EQ(lowerCode, 0x1234u);
  EXPECT_EQ(lowerControl, 0) << "copy clears the control flags";
}

TEST_F(HostIoTest, PassingARequestPastItsLastStackLocationStopsTheMachine) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A one-device stack has no location below its only driver.
  Push([](PDEVICE_OBJECT device, PIRP irp) { return IoCallDriver(device, irp); });
  EXPECT_DEATH(Send(), "no-more-stack-locations");
}

TEST_F(HostIoTest, RequestMisuseIsReported) {
  PIRP stashed = nullptr;
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  struct Case {
    const char* what;
    Behaviour dispatch;
    const char* check;
  };
  std::vector<Case> cases = {
      {"completed twice",
       [](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return Complete(irp, STATUS_SUCCESS);
       },
       "irp-completed-twice"},
      {"returned without completing",
       [&](PDEVICE_OBJECT, PIRP irp) {
         stashed = irp;
         return STATUS_SUCCESS;
       },
       "irp-not-completed"},
      {"completed holding a spin lock",
       [&](PDEVICE_OBJECT, PIRP irp) {
         KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
         NTSTATUS status = Complete(irp, STATUS_SUCCESS);
         KeReleaseSpinLock(&lock, old);
         return status;
       },
       "complete-with-spin-lock"},
      {"passed down holding a spin lock",
       [&](PDEVICE_OBJECT device, PIRP irp) {
         KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
         NTSTATUS status = PassDownSkipping(device, irp);
         KeReleaseSpinLock(&lock, old);
         return status;
       },
       "call-down-with-spin-lock"},
      {"completed with STATUS_PENDING", [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_PENDING); },
       "complete-with-pending"},
      {"returned another status than it completed with",
       [](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return STATUS_UNSUCCESSFUL;
       },
       "dispatch-status-mismatch"},
      {"returned STATUS_PENDING without marking the request",
       [](PDEVICE_OBJECT, PIRP irp) {
         Complete(irp, STATUS_SUCCESS);
         return STATUS_PENDING;
       },
       "pending-not-marked"},
      {"marked the request pending and returned its status",
       [](PDEVICE_OBJECT, PIRP irp) {
         IoMarkIrpPending(irp);
         return Complete(irp, STATUS_SUCCESS);
       },
       "pending-not-returned"},
      {"freed the I/O manager's request",
       [](PDEVICE_OBJECT, PIRP irp) {
         IoFreeIrp(irp);
         return STATUS_SUCCESS;
       },
       "irp-free-host-request"},
  };
  Behaviour current;
  PDEVICE_OBJECT bottom = Push([&](PDEVICE_OBJECT d, PIRP irp) { return current(d, irp); });
  Push([](PDEVICE_OBJECT device, PIRP irp) { return PassDownSkipping(device, irp); });
  for (const Case& c : cases) {
    current = c.dispatch;
    // The device below the top one misbehaves, except for the pass-down case.
    if (std::string(c.check) == "call-down-with-spin-lock") {
      current = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
      LayerOf(layers_.back().first)->dispatch = c.dispatch;
    } else {
      LayerOf(layers_.back().first)->dispatch = PassDownSkipping;
    }
    Send();
    ExpectReported(c.what, c.check);
  }
  (void)bottom;
  // The request that was returned uncompleted finishes late and is freed then.
  ASSERT_NE(stashed, nullptr);
  Complete(stashed, STATUS_SUCCESS);
  EXPECT_EQ(khost::Objects().liveIrps, 0u);
}

TEST_F(HostIoTest, APendingRequestNeverCompletedIsReportedAfterTheTimeout) {
  PIRP stashed = nullptr;
  Push([&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    stashed = irp;
    return STATUS_PENDING;
  });
  khost::SetPendingRequestTimeout(100ms);
  auto start = std::chrono::steady_clock::now();
  khost::RequestResult result = Send();
  EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
  EXPECT_EQ(result.status, STATUS_PENDING);
  ExpectReported("pending forever", "irp-not-completed");
  EXPECT_EQ(khost::Objects().liveIrps, 1u);
  Complete(stashed, STATUS_SUCCESS);  // late, but the request is freed when it comes
  EXPECT_EQ(khost::Objects().liveIrps, 0u);
}

TEST_F(HostIoTest, DriverAllocatedRequestsAreCheckedToo) {
  PIRP irp = IoAllocateIrp(2, FALSE);
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  ExpectReported("completed before any driver owned it", "complete-without-location");
  khost::CheckLeaks();
  ExpectReported("never freed", "irp-not-completed");
  IoFreeIrp(irp);
  IoFreeIrp(irp);
  ExpectReported("freed twice", "irp-freed-twice");
}

TEST_F(HostIoTest, ASynchronousRequestSignalsItsEventFillsItsStatusBlockAndIsFreed) {
  std::thread completer;
  KPROCESSOR_MODE mode = UserMode;
  UCHAR major = 0;
  PDEVICE_OBJECT device = Push([&](PDEVICE_OBJECT, PIRP irp) {
    mode = irp->RequestorMode;
    major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    IoMarkIrpPending(irp);
    completer = std::thread([irp] {
      std::this_thread::sleep_for(20ms);
      Complete(irp, STATUS_SUCCESS, 42);
    });
    return STATUS_PENDING;
  });
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, device, nullptr, 0, nullptr, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  completer.join();
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 42u);
  EXPECT_EQ(mode, KernelMode);
  EXPECT_EQ(major, IRP_MJ_PNP);
  EXPECT_EQ(khost::Objects().liveIrps, 0u) << "the kernel frees a synchronous request once it completes";
}

// ------------------------------------------------------------------ remove locks

TEST_F(HostIoTest, ReleaseAndWaitWaitsForEveryHolderAndThenRefusesNewOnes) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x6B636F4C, 0, 0);
  int mine, theirs;
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
  int late;
  EXPECT_EQ(IoAcquireRemoveLock(&lock, &late), STATUS_DELETE_PENDING);
}

TEST_F(HostIoTest, RemoveLockMisuseIsReported) {
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x6B636F4C, 0, 0);
  int a, b;
  IoAcquireRemoveLock(&lock, &a);
  IoReleaseRemoveLock(&lock, &b);
  ExpectReported("released with a tag that never acquired it", "remove-lock-over-release");
  IO_REMOVE_LOCK twice;
  IoInitializeRemoveLock(&twice, 0x6B636F4C, 0, 0);
  IoAcquireRemoveLock(&twice, &a);
  IoReleaseRemoveLock(&twice, &a);
  EXPECT_TRUE(khost::Violations().empty());
  IoReleaseRemoveLock(&twice, &a);
  ExpectReported("released more often than acquired", "remove-lock-over-release");
  IO_REMOVE_LOCK fresh;
  IoInitializeRemoveLock(&fresh, 0x6B636F4C, 0, 0);
  IoAcquireRemoveLock(&fresh, &a);
  IoReleaseRemoveLockAndWait(&fresh, &a);
  IoReleaseRemoveLock(&fresh, &a);
  ExpectReported("released after release-and-wait", "remove-lock-over-release");

  IO_REMOVE_LOCK unheld;
  IoInitializeRemoveLock(&unheld, 0x6B636F4C, 0, 0);
  IoReleaseRemoveLockAndWait(&unheld, &a);
  ExpectReported("release-and-wait by a caller that never acquired", "remove-lock-over-release");

  IO_REMOVE_LOCK never;
  memset(&never, 0, sizeof never);
  IoAcquireRemoveLock(&never, &a);
  ExpectReported("acquired without being initialised", "remove-lock-uninitialised");
}

// ------------------------------------------------------------------ drivers and hooks

std::u16string g_registryPath;
NTSTATUS RecordingDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING path) {
  g_registryPath.assign(reinterpret_cast<const char16_t*>(path->Buffer), path->Length / 2);
  return STATUS_SUCCESS;
}
NTSTATUS FailingDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) { return STATUS_INSUFFICIENT_RESOURCES; }
bool g_unloaded;
void RecordingUnload(PDRIVER_OBJECT) { g_unloaded = true; }
NTSTATUS UnloadableDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverUnload = RecordingUnload;
  return STATUS_SUCCESS;
}

TEST_F(HostIoTest, LoadingADriverGivesItsEntryTheServiceKeyAndDefaultHandlersRefuseRequests) {
  PDRIVER_OBJECT recorded = khost::LoadDriver(u"recorder", RecordingDriverEntry);
  ASSERT_NE(recorded, nullptr);
  EXPECT_EQ(khost::Narrow(g_registryPath), "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\recorder");
  EXPECT_EQ(khost::Narrow(recorded->DriverName.Buffer, recorded->DriverName.Length / 2), "\\Driver\\recorder");
  PDEVICE_OBJECT device = nullptr;
  ASSERT_EQ(IoCreateDevice(recorded, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL, IRP_MJ_PNP})
    EXPECT_EQ(khost::SendIrp(device, major, 0, nullptr, STATUS_SUCCESS).status, STATUS_INVALID_DEVICE_REQUEST)
        << "major " << int(major);
  IoDeleteDevice(device);
  khost::UnloadDriver(recorded);

  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(khost::LoadDriver(u"failing", FailingDriverEntry, &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);

  g_unloaded = false;
  khost::UnloadDriver(khost::LoadDriver(u"unloadable", UnloadableDriverEntry));
  EXPECT_TRUE(g_unloaded);
  EXPECT_EQ(khost::Objects().liveObjects, 1u) << "only the layer driver is left";
}

TEST_F(HostIoTest, HooksRunInsideTheRoutinesTheyAreNamedFor) {
  std::vector<std::string> order;
  khost::SetHook("create-device", [&] { order.push_back("create-device"); });
  khost::SetHook("attach-device", [&] { order.push_back("attach-device"); });
  khost::SetHook("remove-lock-acquire", [&] { order.push_back("remove-lock-acquire"); });
  Push(nullptr);
  Push(nullptr);
  IO_REMOVE_LOCK lock;
  IoInitializeRemoveLock(&lock, 0x6B636F4C, 0, 0);
  int tag;
  IoAcquireRemoveLock(&lock, &tag);
  IoReleaseRemoveLock(&lock, &tag);
  khost::ClearHooks();
  Push(nullptr);
  EXPECT_EQ(order, (std::vector<std::string>{"create-device", "create-device", "attach-device",
                                             "remove-lock-acquire"}));
}

}  // namespace
