// Test support: the passthrough function driver (kernel code against wdm.h).
#include "passthrough_driver.h"

namespace {

struct PassthroughExtension {
  PDEVICE_OBJECT Lower;
  PDEVICE_OBJECT Pdo;
};

PassthroughExtension* Ext(PDEVICE_OBJECT device) {
  return static_cast<PassthroughExtension*>(device->DeviceExtension);
}

NTSTATUS PassDownRequest(PDEVICE_OBJECT device, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS PassthroughPnp(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
    PDEVICE_OBJECT lower = Ext(device)->Lower;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoDetachDevice(lower);
    IoDeleteDevice(device);
    return status;
  }
  if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL || stack->MinorFunction == IRP_MN_QUERY_REMOVE_DEVICE ||
      stack->MinorFunction == IRP_MN_QUERY_STOP_DEVICE || stack->MinorFunction == IRP_MN_STOP_DEVICE ||
      stack->MinorFunction == IRP_MN_CANCEL_REMOVE_DEVICE || stack->MinorFunction == IRP_MN_CANCEL_STOP_DEVICE)
    irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDownRequest(device, irp);
}

NTSTATUS PassthroughPower(PDEVICE_OBJECT device, PIRP irp) {
  PoStartNextPowerIrp(irp);
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(Ext(device)->Lower, irp);
}

NTSTATUS PassthroughAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT device;
  NTSTATUS status = IoCreateDevice(driver, sizeof(PassthroughExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                   FALSE, &device);
  if (!NT_SUCCESS(status)) return status;
  PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
  if (!lower) {
    IoDeleteDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  Ext(device)->Lower = lower;
  Ext(device)->Pdo = pdo;
  device->Flags |= DO_POWER_PAGABLE;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

PDRIVER_OBJECT g_driver;

}  // namespace

PDEVICE_OBJECT PassthroughDeviceOn(PDEVICE_OBJECT childPdo) {
  for (PDEVICE_OBJECT d = childPdo->AttachedDevice; d; d = d->AttachedDevice)
    if (d->DriverObject == g_driver) return d;
  return nullptr;
}

extern "C" NTSTATUS Passthrough_DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  g_driver = driver;
  for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = PassDownRequest;
  driver->MajorFunction[IRP_MJ_PNP] = PassthroughPnp;
  driver->MajorFunction[IRP_MJ_POWER] = PassthroughPower;
  driver->DriverExtension->AddDevice = PassthroughAddDevice;
  return STATUS_SUCCESS;
}
