// Creation of the bus device: the driver's functional device object on its own
// device node and, under a fixed name, the control device the service opens.
#include <ntddk.h>

#include "velmora.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, netBus_AddDevice)
#endif

// The Plug and Play manager calls AddDevice at PASSIVE_LEVEL with the device
// node's physical device object; it expects our device attached on top of it
// and ready for requests, or a failure with nothing left behind. The name is
// fixed because the service opens the bus by it, so only one bus can exist and
// a second AddDevice fails on the taken name. The device is created with
// FILE_DEVICE_SECURE_OPEN so that an open of any path below the device name is
// held to the device's own security, not let through unchecked. Each failure
// undoes the earlier steps in reverse. The extension is fully set up before
// DO_DEVICE_INITIALIZING is cleared, which is what lets the first open through.
NTSTATUS netBus_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  UNICODE_STRING linkName;
  UNICODE_STRING deviceName;
  PDEVICE_OBJECT device = NULL;
  PDEVICE_OBJECT lower;
  PBUS_EXTENSION bus;
  NTSTATUS status;

  PAGED_CODE();

  RtlInitUnicodeString(&linkName, VELMORA_LINK_NAME);
  RtlInitUnicodeString(&deviceName, VELMORA_DEVICE_NAME);

  status = IoCreateDevice(DriverObject, sizeof(BUS_EXTENSION), &deviceName,
                          FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    TRACE_DETAIL("CreateDevice fail err=0x%x", (ULONG)status);
    goto Exit;
  }

  bus = static_cast<PBUS_EXTENSION>(device->DeviceExtension);
  RtlZeroMemory(bus, sizeof(BUS_EXTENSION));

  status = IoCreateSymbolicLink(&linkName, &deviceName);
  if (!NT_SUCCESS(status)) {
    TRACE_DETAIL("IoCreateSymbolicLink fail err=0x%x", (ULONG)status);
    IoDeleteDevice(device);
    goto Exit;
  }

  lower = IoAttachDeviceToDeviceStack(device, PhysicalDeviceObject);
  if (lower == NULL) {
    TRACE_DETAIL("IoAttachDeviceToDeviceStack fail");
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(device);
    status = STATUS_UNSUCCESSFUL;
    goto Exit;
  }
  bus->NextLower = lower;

  bus->Header.IsFdo = TRUE;
  bus->UnderlyingPdo = PhysicalDeviceObject;
  bus->OpenHandleCount = 0;
  bus->Header.Self = device;
  bus->Header.PnpState = StateNotStarted;
  bus->Header.PreviousPnpState = StateNotStarted;
  IoInitializeRemoveLock(&bus->RemoveLock, VELMORA_REMOVE_LOCK_TAG, 0,
                         VELMORA_REMOVE_LOCK_HIGH_WATERMARK);
  KeInitializeSpinLock(&bus->ChildListLock);
  InitializeListHead(&bus->ChildList);
  for (ULONG i = 0; i < CHILD_SERIAL_BUCKETS; i++) {
    InitializeListHead(&bus->SerialBuckets[i]);
  }
  bus->ChildCount = 0;
  bus->ChildCallback = NULL;
  bus->ChildContext = NULL;
  InitializeListHead(&bus->ChildCalls);
  InitializeListHead(&bus->ChildCallWaiters);
  // The queue's lock and list head are made once, here, for the life of the
  // bus; BtNetDrvInitializeSend only empties the queue and marks it ready.
  KeInitializeSpinLock(&bus->SendLock);
  InitializeListHead(&bus->SendQueue);
  BtNetDrvInitializeSend(bus);
  bus->UserEvent = NULL;
  bus->FlowOn = TRUE;

  device->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  status = STATUS_SUCCESS;

Exit:
  TRACE_EXIT_STATUS("netBus_AddDevice", status);
  return status;
}
