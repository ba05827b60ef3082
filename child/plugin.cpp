// Plug-in and unplug: the service decides which virtual children exist.
#include <ntddk.h>

#include "velmora.h"

namespace {

// Limits the platform puts on the IDs a bus reports: each hardware ID shorter
// than 200 characters, and the device ID (our first hardware ID) together with
// the instance ID shorter than 172.
const SIZE_T MaxIdChars = 200;
const SIZE_T MaxDeviceInstanceChars = 172;

// Where the multi-string starts: right after the fixed part of the record.
const WCHAR* HardwareIdsOf(const BUS_PLUGIN_REQUEST* Request) {
  return reinterpret_cast<const WCHAR*>(reinterpret_cast<const UCHAR*>(Request) +
                                        BUS_PLUGIN_REQUEST_HEADER_SIZE);
}

// Length of the child's instance ID, the serial number printed "%04d" as a
// signed 32-bit number: at least four characters, more for wider numbers, with
// a sign for those above 0x7FFFFFFF.
SIZE_T InstanceIdChars(ULONG SerialNo) {
  const BOOLEAN negative = (SerialNo & 0x80000000u) != 0;
  ULONG magnitude = negative ? 0u - SerialNo : SerialNo;
  SIZE_T chars = negative ? 1 : 0;

  do {
    chars++;
    magnitude /= 10;
  } while (magnitude != 0);
  return (chars < 4) ? 4 : chars;
}

// The first hardware ID becomes the child's device ID, and the platform stops
// the machine when a bus reports an ID with an illegal character: anything at
// or below a blank, above 0x7F, or a comma. An empty list names no device at
// all. The list ends at its first empty string; the caller has checked that
// the buffer ends in two nulls, so every string is terminated within it.
BOOLEAN HardwareIdsAreValid(const WCHAR* Ids, SIZE_T Chars, ULONG SerialNo) {
  SIZE_T pos = 0;
  SIZE_T count = 0;

  while (pos < Chars && Ids[pos] != L'\0') {
    const SIZE_T start = pos;

    for (; pos < Chars && Ids[pos] != L'\0'; pos++) {
      const WCHAR c = Ids[pos];
      if (c <= 0x20 || c > 0x7F || c == L',') {
        return FALSE;
      }
    }

    const SIZE_T length = pos - start;
    if (length >= MaxIdChars) {
      return FALSE;
    }
    if (count == 0 && length + InstanceIdChars(SerialNo) >= MaxDeviceInstanceChars) {
      return FALSE;
    }
    count++;
    pos++;  // past the terminating null
  }
  return (BOOLEAN)(count != 0);
}

// Called with ChildListLock held. A serial number is taken by any child still
// in play: one that is not surprise-removed, or one that is but is still
// plugged in (it would be listed beside the new one with the same IDs, which
// the platform does not survive). A surprise-removed child that has also been
// unplugged is on its way out and no longer holds its number.
BOOLEAN SerialNoTaken(PBUS_EXTENSION Bus, ULONG SerialNo) {
  const PLIST_ENTRY bucket = SerialBucketOf(Bus, SerialNo);

  for (PLIST_ENTRY entry = bucket->Flink; entry != bucket; entry = entry->Flink) {
    PCHILD_EXTENSION child = CONTAINING_RECORD(entry, CHILD_EXTENSION, SerialLink);

    if (child->SerialNo == SerialNo &&
        (child->Header.PnpState != StateSurpriseRemoved || child->Present)) {
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace

// IOCTL_NETBUS_PLUG_IN: the service asks for a new child with its serial
// number, device type and hardware IDs. The record is checked in full (size,
// the closing double null, IDs the platform will accept) before any of it is
// printed or anything is created. A serial number already in play is refused
// up front; Pdo_Create checks again under the lock it links the child with, so
// two racing plug-ins of one number make exactly one child. Once the child is
// linked, the Plug and Play manager is asked to query the bus's relations, and
// the child appears in the answer. Answers no data.
NTSTATUS netBus_PlugInDevice(PIRP Irp, PBUS_EXTENSION Bus) {
  const ULONG inputLength =
      IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
  PBUS_PLUGIN_REQUEST request = static_cast<PBUS_PLUGIN_REQUEST>(Irp->AssociatedIrp.SystemBuffer);
  const WCHAR* ids;
  SIZE_T idChars;
  BOOLEAN duplicate;
  KIRQL oldIrql;
  NTSTATUS status;

  if (inputLength < BUS_PLUGIN_REQUEST_MIN_SIZE || request == NULL ||
      request->Size != inputLength) {
    TRACE_DETAIL("Invalid parameter \n");
    status = STATUS_INVALID_PARAMETER;
    goto Exit;
  }

  ids = HardwareIdsOf(request);
  idChars = ((SIZE_T)request->Size - BUS_PLUGIN_REQUEST_HEADER_SIZE) / sizeof(WCHAR);
  if (ids[idChars - 1] != L'\0' || ids[idChars - 2] != L'\0') {
    TRACE_DETAIL("HardwareID is not a Multi_sz string\n");
    status = STATUS_INVALID_PARAMETER;
    goto Exit;
  }
  if (!HardwareIdsAreValid(ids, idChars, request->SerialNo)) {
    TRACE_DETAIL("Invalid HardwareID\n");
    status = STATUS_INVALID_PARAMETER;
    goto Exit;
  }

  TRACE_DETAIL("Exposing PDO:");
  TRACE_DETAIL("======SerialNo:   %d", request->SerialNo);
  TRACE_DETAIL("======HardwareId:   %ws", ids);
  TRACE_DETAIL("======Length:         %d", (ULONG)idChars);

  oldIrql = KeAcquireSpinLockRaiseToDpc(&Bus->ChildListLock);
  duplicate = SerialNoTaken(Bus, request->SerialNo);
  KeReleaseSpinLock(&Bus->ChildListLock, oldIrql);
  if (duplicate) {
    return STATUS_INVALID_PARAMETER;
  }

  status = Pdo_Create(Bus, Irp, &duplicate);
  if (duplicate) {
    // Lost the race to another plug-in of the number: answered as the check
    // above answers a duplicate, without the exit line.
    return status;
  }
  if (NT_SUCCESS(status)) {
    IoInvalidateDeviceRelations(Bus->UnderlyingPdo, BusRelations);
  }

Exit:
  TRACE_EXIT_STATUS("netBus_PlugInDevice", status);
  return status;
}

// Creates the child device object for a validated plug-in request and links it
// into ChildList. Creation needs PASSIVE_LEVEL, so it happens outside the lock;
// the serial number is therefore checked again under the same hold as the
// append, and a child that lost a race is deleted again before anyone saw it.
// The child is fully set up, and marked ready for requests, before it is
// linked: from then on a relations answer may hand it to the Plug and Play
// manager. Duplicate tells the caller that the number was taken meanwhile. Children are power-pageable, so their power requests arrive at
// PASSIVE_LEVEL.
NTSTATUS Pdo_Create(PBUS_EXTENSION Bus, PIRP Irp, PBOOLEAN Duplicate) {
  PBUS_PLUGIN_REQUEST request = static_cast<PBUS_PLUGIN_REQUEST>(Irp->AssociatedIrp.SystemBuffer);
  PDEVICE_OBJECT childDevice = NULL;
  PCHILD_EXTENSION child;
  BOOLEAN duplicate;
  KIRQL oldIrql;
  NTSTATUS status;

  *Duplicate = FALSE;
  status = IoCreateDevice(Bus->Header.Self->DriverObject, sizeof(CHILD_EXTENSION), NULL,
                          request->DeviceType, FILE_AUTOGENERATED_DEVICE_NAME, FALSE,
                          &childDevice);
  if (!NT_SUCCESS(status)) {
    TRACE_DETAIL("IoCreateDevice  failed=0x%x.\n", (ULONG)status);
    return status;
  }

  child = static_cast<PCHILD_EXTENSION>(childDevice->DeviceExtension);
  RtlZeroMemory(child, sizeof(CHILD_EXTENSION));

  status = ChildInit(child, request, Bus, childDevice);
  if (!NT_SUCCESS(status)) {
    if (child->HardwareIds != NULL) {
      ExFreePoolWithTag(child->HardwareIds, 0);
    }
    IoDeleteDevice(childDevice);
    return status;
  }

  childDevice->Flags |= DO_POWER_PAGABLE;
  childDevice->Flags &= ~DO_DEVICE_INITIALIZING;

  oldIrql = KeAcquireSpinLockRaiseToDpc(&Bus->ChildListLock);
  duplicate = SerialNoTaken(Bus, child->SerialNo);
  if (!duplicate) {
    ChildList_Insert(Bus, child);
  }
  KeReleaseSpinLock(&Bus->ChildListLock, oldIrql);

  if (duplicate) {
    Pdo_Delete(childDevice, child);
    *Duplicate = TRUE;
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

// IOCTL_NETBUS_PLUG_OUT: the service says a child (or, with serial number 0,
// every child) is gone. The bus only marks it not present and asks the Plug
// and Play manager to look again; the next relations answer leaves it out, and
// the removal request the manager then sends deletes it. Every child carrying
// the number is marked, so a live child that shares its number with an older
// surprise-removed one is not missed. Answers no data.
NTSTATUS BtBus_PlugOutDevice(PIRP Irp, PBUS_EXTENSION Bus) {
  const ULONG inputLength =
      IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength;
  PBUS_UNPLUG_REQUEST request = static_cast<PBUS_UNPLUG_REQUEST>(Irp->AssociatedIrp.SystemBuffer);
  BOOLEAN found = FALSE;
  BOOLEAN all;
  ULONG serialNo;
  KIRQL oldIrql;

  if (inputLength < BUS_UNPLUG_REQUEST_SIZE || request == NULL || request->Size != inputLength) {
    TRACE_DETAIL("Invalid parameter \n");
    return STATUS_INVALID_PARAMETER;
  }

  serialNo = request->SerialNo;
  all = (BOOLEAN)(serialNo == 0);
  TRACE_DETAIL("Plugging out %d\n", serialNo);

  oldIrql = KeAcquireSpinLockRaiseToDpc(&Bus->ChildListLock);

  if (Bus->ChildCount == 0) {
    TRACE_DETAIL("BAD BAD BAD...2nd removes!!! Send only once!\n");
    KeReleaseSpinLock(&Bus->ChildListLock, oldIrql);
    return STATUS_NO_SUCH_DEVICE;
  }

  for (PLIST_ENTRY entry = Bus->ChildList.Flink; entry != &Bus->ChildList; entry = entry->Flink) {
    PCHILD_EXTENSION child = CONTAINING_RECORD(entry, CHILD_EXTENSION, Link);

    TRACE_DETAIL("found device %d\n", child->SerialNo);
    if (all || child->SerialNo == serialNo) {
      TRACE_DETAIL("Plugged out %d\n", child->SerialNo);
      child->Present = FALSE;
      found = TRUE;
    }
  }

  KeReleaseSpinLock(&Bus->ChildListLock, oldIrql);

  if (!found) {
    TRACE_DETAIL("Device %d is not present\n", serialNo);
    return STATUS_NO_SUCH_DEVICE;
  }

  IoInvalidateDeviceRelations(Bus->UnderlyingPdo, BusRelations);
  return STATUS_SUCCESS;
}
