// Velmora bus: who a child device is and what it can do.
//
// Once a relations answer has reported a child, the Plug and Play manager asks
// it for its IDs, its description and its capabilities, to name its device
// node, match a function driver and map power states. The IDs come from the
// hardware IDs and serial number the service gave at plug-in; the compatible
// ID and the words of the description are the driver's own; the capabilities
// start from those of the node the bus itself sits on.

#include <ntddk.h>

#include "velmora.h"

// The one compatible ID every child carries, as a multi-string: 61 characters,
// the null that ends it and the null that ends the list.
static const WCHAR CompatibleIds[] =
    L"{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice\0";
static_assert(sizeof(CompatibleIds) == 126, "compatible-ID multi-string is 126 bytes");

// Answer buffers as the Plug and Play manager has always received them. An
// instance ID or description too long for its buffer gets one just large
// enough instead.
#define COMPATIBLE_ID_ANSWER_BYTES 254u
#define INSTANCE_ID_ANSWER_BYTES 22u
#define DESCRIPTION_ANSWER_BYTES ((8u + 4u + 10u) * sizeof(WCHAR))

// Description: "<vendor>_<kind>_<serial>".
static const WCHAR DescriptionVendor[] = L"ZAM";
static const WCHAR DescriptionKind[] = L"Virtual";
#define DESCRIPTION_PREFIX_CHARS \
  ((ARRAYSIZE(DescriptionVendor) - 1) + 1 + (ARRAYSIZE(DescriptionKind) - 1) + 1)

// The widest serial number text: "-2147483648".
#define SERIAL_TEXT_MAX_CHARS 11u

// Formats SerialNo as C's "%04d" does for a signed 32-bit number: at least four
// characters, zero-padded after the sign, the sign counting toward the width
// (7 gives 0007, -1 gives -001, 12345 keeps all five digits). Writes no null;
// returns the number of characters written to Text.
static ULONG FormatSerialNumber(ULONG SerialNo, WCHAR (&Text)[SERIAL_TEXT_MAX_CHARS]) {
  const BOOLEAN negative = (BOOLEAN)((LONG)SerialNo < 0);
  // Two's-complement magnitude; 0x80000000 stays 2147483648.
  ULONG magnitude = negative ? 0u - SerialNo : SerialNo;
  WCHAR digits[10];
  ULONG digitCount = 0;

  do {
    digits[digitCount++] = (WCHAR)(L'0' + magnitude % 10u);
    magnitude /= 10u;
  } while (magnitude != 0);

  const ULONG signChars = negative ? 1u : 0u;
  const ULONG width = (signChars + digitCount < 4u) ? 4u : signChars + digitCount;
  ULONG written = 0;

  if (negative) {
    Text[written++] = L'-';
  }
  while (written + digitCount < width) {
    Text[written++] = L'0';
  }
  while (digitCount != 0) {
    Text[written++] = digits[--digitCount];
  }
  return written;
}

// Bytes of a hardware-ID multi-string up to and including the null that ends
// the list, which is the first empty string. Plug-in made sure the copy ends
// in two nulls, so the walk stays inside it.
static SIZE_T MultiStringBytes(PCWSTR MultiString) {
  PCWSTR cursor = MultiString;
  while (*cursor != L'\0') {
    while (*cursor != L'\0') {
      cursor++;
    }
    cursor++;
  }
  return ((SIZE_T)(cursor - MultiString) + 1) * sizeof(WCHAR);
}

// A paged, zero-filled answer buffer for the Plug and Play manager, which
// frees it once the request has completed with it.
static PWCHAR AllocateAnswer(SIZE_T Bytes) {
  PWCHAR answer = (PWCHAR)ExAllocatePoolWithTag(PagedPool, Bytes, VELMORA_POOL_TAG);
  if (answer != NULL) {
    RtlZeroMemory(answer, Bytes);
  }
  return answer;
}

// IRP_MN_QUERY_ID on a child. The device ID is read as a single string, so a
// copy of the whole hardware-ID list serves as the device ID (its first
// entry) and as the hardware IDs. Every answer is a fresh buffer that becomes
// the manager's; whatever the request already held is replaced. ID types the
// child does not define keep the request's status and information.
NTSTATUS CommonPdo_QueryDeviceId(PCHILD_EXTENSION Child, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG idType;
  NTSTATUS status;
  PWCHAR answer;

  // The type is whatever 32-bit value the sender stored, not necessarily one
  // the enumeration names: read it as the number it is.
  RtlCopyMemory(&idType, &stack->Parameters.QueryId.IdType, sizeof(idType));

  TRACE_ENTER("CommonPdo_QueryDeviceId");
  TRACE_DETAIL("\tQueryId Type: %d\n", (int)idType);

  switch (idType) {
    case BusQueryDeviceID:
    case BusQueryHardwareIDs: {
      const SIZE_T bytes = MultiStringBytes(Child->HardwareIds);
      answer = AllocateAnswer(bytes);
      if (answer == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      RtlCopyMemory(answer, Child->HardwareIds, bytes);
      if (idType == BusQueryDeviceID) {
        TRACE_DETAIL("BusQueryDeviceID=%ws", Child->HardwareIds);
      } else {
        TRACE_DETAIL("BusQueryHardwareIDs=%ws", Child->HardwareIds);
      }
      Irp->IoStatus.Information = (ULONG_PTR)answer;
      status = STATUS_SUCCESS;
      break;
    }

    case BusQueryCompatibleIDs:
      answer = AllocateAnswer(COMPATIBLE_ID_ANSWER_BYTES);
      if (answer == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      RtlCopyMemory(answer, CompatibleIds, sizeof(CompatibleIds));
      TRACE_DETAIL("BusQueryCompatibleIDs=%ws\n", CompatibleIds);
      Irp->IoStatus.Information = (ULONG_PTR)answer;
      status = STATUS_SUCCESS;
      break;

    case BusQueryInstanceID: {
      WCHAR serial[SERIAL_TEXT_MAX_CHARS];
      const ULONG serialChars = FormatSerialNumber(Child->SerialNo, serial);
      const SIZE_T needed = ((SIZE_T)serialChars + 1) * sizeof(WCHAR);
      answer = AllocateAnswer(needed > INSTANCE_ID_ANSWER_BYTES ? needed : INSTANCE_ID_ANSWER_BYTES);
      if (answer == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        break;
      }
      // The buffer is zeroed, so the text is terminated.
      RtlCopyMemory(answer, serial, serialChars * sizeof(WCHAR));
      TRACE_DETAIL("BusQueryInstanceID=%ws\n", answer);
      Irp->IoStatus.Information = (ULONG_PTR)answer;
      status = STATUS_SUCCESS;
      break;
    }

    default:
      status = Irp->IoStatus.Status;
      break;
  }

  TRACE_EXIT_STATUS("CommonPdo_QueryDeviceId", status);
  return status;
}

// IRP_MN_QUERY_DEVICE_TEXT on a child. Only the description is the child's to
// give, in every locale the same; a description a driver above has already
// supplied is kept. Location text and other types keep the request's status.
NTSTATUS CommonPdo_QueryDeviceText(PCHILD_EXTENSION Child, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG textType;
  NTSTATUS status;

  TRACE_ENTER("CommonPdo_QueryDeviceText");

  // Any 32-bit value may arrive here, named by the enumeration or not.
  RtlCopyMemory(&textType, &stack->Parameters.QueryDeviceText.DeviceTextType, sizeof(textType));
  if (textType != DeviceTextDescription) {
    status = Irp->IoStatus.Status;
  } else if (Irp->IoStatus.Information != 0) {
    status = STATUS_SUCCESS;
  } else {
    WCHAR serial[SERIAL_TEXT_MAX_CHARS];
    const ULONG serialChars = FormatSerialNumber(Child->SerialNo, serial);
    const SIZE_T needed = (DESCRIPTION_PREFIX_CHARS + (SIZE_T)serialChars + 1) * sizeof(WCHAR);
    PWCHAR answer =
        AllocateAnswer(needed > DESCRIPTION_ANSWER_BYTES ? needed : DESCRIPTION_ANSWER_BYTES);
    if (answer == NULL) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      // "%ws_%ws_%04d" with the vendor, the kind and the serial number; the
      // zeroed buffer supplies the terminating null.
      PWCHAR cursor = answer;
      RtlCopyMemory(cursor, DescriptionVendor, sizeof(DescriptionVendor) - sizeof(WCHAR));
      cursor += ARRAYSIZE(DescriptionVendor) - 1;
      *cursor++ = L'_';
      RtlCopyMemory(cursor, DescriptionKind, sizeof(DescriptionKind) - sizeof(WCHAR));
      cursor += ARRAYSIZE(DescriptionKind) - 1;
      *cursor++ = L'_';
      RtlCopyMemory(cursor, serial, serialChars * sizeof(WCHAR));

      Irp->IoStatus.Information = (ULONG_PTR)answer;
      status = STATUS_SUCCESS;
    }
  }

  TRACE_EXIT_STATUS("CommonPdo_QueryDeviceText", status);
  return status;
}

// IRP_MN_QUERY_CAPABILITIES on a child. The child inherits the power mapping
// of the node the bus sits on, tightened so that every sleeping state takes
// the child to D1 or below unless the bus node keeps it in D0; the rest is a
// fixed pattern: D1 and wake from D1 only, silent install, surprise removal
// expected, neither removable nor ejectable, and the serial number as address
// and UI number. Fields the child has no opinion on keep what the request
// carried. The record is written only once the bus node has answered.
NTSTATUS CommonPdo_QueryDeviceCaps(PCHILD_EXTENSION Child, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
  DEVICE_CAPABILITIES busCaps;
  NTSTATUS status;

  TRACE_ENTER("CommonPdo_QueryDeviceCaps");

  if (caps == NULL || caps->Version != 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) {
    status = STATUS_UNSUCCESSFUL;
    goto Exit;
  }

  // Final removal of the bus detached this child: there is no bus stack left
  // to ask.
  if (Child->ParentFdo == NULL) {
    status = STATUS_DEVICE_NOT_CONNECTED;
    goto Exit;
  }

  status = BusFdo_GetDeviceCapabilities(
      ((PBUS_EXTENSION)Child->ParentFdo->DeviceExtension)->NextLower, &busCaps);
  if (!NT_SUCCESS(status)) {
    goto Exit;
  }

  RtlCopyMemory(caps->DeviceState, busCaps.DeviceState, sizeof(caps->DeviceState));

  caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  if (caps->DeviceState[PowerSystemSleeping1] != PowerDeviceD0) {
    caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
  }
  if (caps->DeviceState[PowerSystemSleeping2] != PowerDeviceD0) {
    caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
  }
  if (caps->DeviceState[PowerSystemSleeping3] != PowerDeviceD0) {
    caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
  }

  caps->DeviceWake = PowerDeviceD1;
  caps->D1Latency = 0;
  caps->D2Latency = 0;
  caps->D3Latency = 0;

  caps->DeviceD1 = 1;
  caps->DeviceD2 = 0;
  caps->EjectSupported = 0;
  caps->Removable = 0;
  caps->UniqueID = 0;
  caps->SilentInstall = 1;
  caps->SurpriseRemovalOK = 1;
  caps->WakeFromD0 = 0;
  caps->WakeFromD1 = 1;
  caps->WakeFromD2 = 0;
  caps->WakeFromD3 = 0;
  caps->HardwareDisabled = 0;

  caps->Address = Child->SerialNo;
  caps->UINumber = Child->SerialNo;

Exit:
  TRACE_EXIT_STATUS("CommonPdo_QueryDeviceCaps", status);
  return status;
}

// Asks the device stack that DeviceObject belongs to for its capabilities,
// from the top of that stack as the Plug and Play manager itself would, and
// waits for the answer; runs at PASSIVE_LEVEL only. The record starts out as
// the manager pre-fills it (size, version 1, unknown address and UI number),
// and the request starts out STATUS_NOT_SUPPORTED, as every Plug and Play
// request must. The I/O manager frees the request when it completes.
NTSTATUS BusFdo_GetDeviceCapabilities(PDEVICE_OBJECT DeviceObject,
                                      PDEVICE_CAPABILITIES Capabilities) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus;
  NTSTATUS status;

  TRACE_ENTER("BusFdo_GetDeviceCapabilities");

  RtlZeroMemory(Capabilities, sizeof(DEVICE_CAPABILITIES));
  Capabilities->Size = sizeof(DEVICE_CAPABILITIES);
  Capabilities->Version = 1;
  Capabilities->Address = MAXULONG;
  Capabilities->UINumber = MAXULONG;

  KeInitializeEvent(&event, NotificationEvent, FALSE);

  PDEVICE_OBJECT topDevice = IoGetAttachedDeviceReference(DeviceObject);

  PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, topDevice, NULL, 0, NULL, &event, &ioStatus);
  if (irp == NULL) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    RtlZeroMemory(next, sizeof(IO_STACK_LOCATION));
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    next->Parameters.DeviceCapabilities.Capabilities = Capabilities;

    status = IoCallDriver(topDevice, irp);
    if (status == STATUS_PENDING) {
      KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
      status = ioStatus.Status;
    }
  }

  ObDereferenceObject(topDevice);

  TRACE_EXIT_STATUS("BusFdo_GetDeviceCapabilities", status);
  return status;
}
