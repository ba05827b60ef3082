// Driver entry and unload: the kernel's first and last calls into the driver.
#include <ntddk.h>

#include "velmora.h"

// Set from outside (a debugger or a test); the driver never writes it, so a
// fresh load is silent until someone asks for trace output.
volatile ULONG TraceMask = 0;

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#pragma alloc_text(PAGE, netBus_Unload)
#endif

// The kernel calls DriverEntry once, at PASSIVE_LEVEL, before any device
// exists. All the driver does here is tell the I/O manager where each kind of
// request goes: the bus device itself is created later, when the Plug and Play
// manager hands us our device node in AddDevice. There is no configuration to
// read, so the registry path is ignored. Major functions not named here keep
// the I/O manager's default handler, which refuses them.
NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);

  TRACE_ENTER("DriverEntry");

  DriverObject->DriverUnload = netBus_Unload;
  DriverObject->DriverExtension->AddDevice = netBus_AddDevice;

  DriverObject->MajorFunction[IRP_MJ_CREATE] = BtBus_Create;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = netBus_Close;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = BtBus_CleanUp;
  DriverObject->MajorFunction[IRP_MJ_PNP] = BtBus_Pnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = BtBus_DefaultPower;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = BtBus_DeviceControl;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BtBus_DeviceControl;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = BtBus_ProcessSysControlIrp;

  TRACE_EXIT("DriverEntry");
  return STATUS_SUCCESS;
}

// The kernel unloads the driver only once every device object it created is
// gone, and Plug and Play removal has already deleted the bus device and every
// child. Nothing is left to release here; the routine exists so the driver can
// be unloaded at all.
VOID netBus_Unload(PDRIVER_OBJECT DriverObject) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(DriverObject);

  TRACE_ENTER("netBus_Unload");
  TRACE_EXIT("netBus_Unload");
}
