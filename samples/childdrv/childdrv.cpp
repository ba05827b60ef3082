// Velmora sample child function driver: entry, AddDevice and the requests a
// function driver handles (Plug and Play, power, and everything else passed
// down the child's stack). The link with the bus lives in link.cpp.
#include <ntddk.h>

#include "childdrv.h"
#include "childdrv_link.h"

extern "C" {
DRIVER_INITIALIZE DriverEntry;
DRIVER_UNLOAD ChildDrv_Unload;
DRIVER_ADD_DEVICE ChildDrv_AddDevice;
DRIVER_DISPATCH ChildDrv_Pnp;
}

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#pragma alloc_text(PAGE, ChildDrv_Unload)
#pragma alloc_text(PAGE, ChildDrv_AddDevice)
#pragma alloc_text(PAGE, ChildDrv_Pnp)
#endif

namespace {

// Numbers the devices in the order AddDevice saw them, for the trace.
LONG DevicesAdded;

PCHILDDRV_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PCHILDDRV_EXTENSION>(DeviceObject->DeviceExtension);
}

NTSTATUS CompleteWith(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Completion routine of ForwardAndWait: wakes the waiting thread and keeps
// the request, which the waiting thread then completes itself.
NTSTATUS ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);

  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends a request down and waits for the drivers below to finish it, so we
// can act on their answer before completing it. PASSIVE_LEVEL only.
NTSTATUS ForwardAndWait(PCHILDDRV_EXTENSION Extension, PIRP Irp) {
  KEVENT done;
  NTSTATUS status;

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardCompletion, &done, TRUE, TRUE, TRUE);
  status = IoCallDriver(Extension->LowerDevice, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

// Every request the driver has no part in goes down the child's stack
// untouched. The remove lock keeps the device from being deleted while a
// request is on its way through it.
NTSTATUS ChildDrv_PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCHILDDRV_EXTENSION extension = ExtensionOf(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    return CompleteWith(Irp, STATUS_NO_SUCH_DEVICE);
  }

  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(extension->LowerDevice, Irp);
  IoReleaseRemoveLock(&extension->RemoveLock, Irp);
  return status;
}

// The sample has no power policy of its own: it lets the power manager send
// the next request and passes this one to the child, which answers for the
// device's power state.
NTSTATUS ChildDrv_Power(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PCHILDDRV_EXTENSION extension = ExtensionOf(DeviceObject);
  NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    PoStartNextPowerIrp(Irp);
    return CompleteWith(Irp, STATUS_NO_SUCH_DEVICE);
  }

  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  status = PoCallDriver(extension->LowerDevice, Irp);
  IoReleaseRemoveLock(&extension->RemoveLock, Irp);
  return status;
}

}  // namespace

// Plug and Play requests, at PASSIVE_LEVEL, one at a time per device. Start
// goes to the child first and the link is made once the child has started;
// the link is given up on surprise removal and removal, before the child
// below hears of it. Queries and cancellations need nothing from us: they are
// accepted and passed on, as a function driver must.
NTSTATUS ChildDrv_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();

  PCHILDDRV_EXTENSION extension = ExtensionOf(DeviceObject);
  PDEVICE_OBJECT lower = extension->LowerDevice;
  NTSTATUS status = IoAcquireRemoveLock(&extension->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    return CompleteWith(Irp, STATUS_NO_SUCH_DEVICE);
  }

  const UCHAR minor = IoGetCurrentIrpStackLocation(Irp)->MinorFunction;
  // One line per request, so that a test on any kernel can see the order in
  // which each of our devices was told of its life.
  DbgPrint("velmorachild: device %lu: pnp 0x%02x\r\n", extension->Number, (ULONG)minor);
  switch (minor) {
    case IRP_MN_START_DEVICE:
      status = ForwardAndWait(extension, Irp);
      if (NT_SUCCESS(status)) {
        status = ChildDrv_LinkStart(extension);
      }
      Irp->IoStatus.Status = status;
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      IoReleaseRemoveLock(&extension->RemoveLock, Irp);
      return status;

    case IRP_MN_SURPRISE_REMOVAL:
      ChildDrv_LinkLeave(extension);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;

    case IRP_MN_REMOVE_DEVICE:
      // Off the driver's list and off the bus before anything below goes;
      // then wait for every request still inside this device.
      ChildDrv_LinkRemove(extension);
      Irp->IoStatus.Status = STATUS_SUCCESS;
      IoReleaseRemoveLockAndWait(&extension->RemoveLock, Irp);
      IoSkipCurrentIrpStackLocation(Irp);
      status = IoCallDriver(lower, Irp);
      IoDetachDevice(lower);
      IoDeleteDevice(DeviceObject);
      return status;

    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
      Irp->IoStatus.Status = STATUS_SUCCESS;
      break;

    default:
      break;
  }

  IoSkipCurrentIrpStackLocation(Irp);
  status = IoCallDriver(lower, Irp);
  IoReleaseRemoveLock(&extension->RemoveLock, Irp);
  return status;
}

// One device object per child, attached on top of it. Power-pageable like the
// child below; the driver is on the driver's list of instances from here on.
NTSTATUS ChildDrv_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  PAGED_CODE();

  PDEVICE_OBJECT device = NULL;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(CHILDDRV_EXTENSION), NULL, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    return status;
  }

  PCHILDDRV_EXTENSION extension = ExtensionOf(device);
  RtlZeroMemory(extension, sizeof(*extension));
  extension->Self = device;
  extension->Pdo = PhysicalDeviceObject;
  extension->Number = (ULONG)InterlockedIncrement(&DevicesAdded);
  KeInitializeSpinLock(&extension->CountersLock);
  IoInitializeRemoveLock(&extension->RemoveLock, CHILDDRV_REMOVE_LOCK_TAG, 0, 0);

  extension->LowerDevice = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (extension->LowerDevice == NULL) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }

  device->Flags |= extension->LowerDevice->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO);
  device->Flags &= ~DO_DEVICE_INITIALIZING;

  ChildDrv_LinkAdd(extension);
  return STATUS_SUCCESS;
}

// Every device is gone by the time the kernel unloads the driver.
VOID ChildDrv_Unload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);

  ChildDrv_LinkInitialize();

  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; i++) {
    DriverObject->MajorFunction[i] = ChildDrv_PassDown;
  }
  DriverObject->MajorFunction[IRP_MJ_PNP] = ChildDrv_Pnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = ChildDrv_Power;
  DriverObject->DriverExtension->AddDevice = ChildDrv_AddDevice;
  DriverObject->DriverUnload = ChildDrv_Unload;
  return STATUS_SUCCESS;
}
