// Velmora sample child function driver: the link with the bus. The callback
// exchange and its hand-over between instances, the records the bus puts down
// (echoed back up) and the flow-control bookkeeping.
#include <ntddk.h>

#include "childdrv.h"
#include "childdrv_link.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, ChildDrv_LinkInitialize)
#pragma alloc_text(PAGE, ChildDrv_LinkAdd)
#pragma alloc_text(PAGE, ChildDrv_LinkStart)
#pragma alloc_text(PAGE, ChildDrv_LinkLeave)
#pragma alloc_text(PAGE, ChildDrv_LinkRemove)
#endif

namespace {

// The bus keeps one child callback, so which instance holds it is the
// driver's business, not an instance's: the list of instances and the holder
// change only under this mutex (a synchronization event, since the exchange it
// covers waits for a request).
KEVENT LinkMutex;
LIST_ENTRY Instances;
PCHILDDRV_EXTENSION LinkHolder;

VOID AcquireLinkMutex() { KeWaitForSingleObject(&LinkMutex, Executive, KernelMode, FALSE, NULL); }

VOID ReleaseLinkMutex() { KeSetEvent(&LinkMutex, IO_NO_INCREMENT, FALSE); }

// IOCTL_NETBUS_EXCHANGE_CALLBACK down the instance's own stack, as a
// kernel-mode internal request: the bus accepts a callback pointer from no
// one else. The bus fills BusCallback and BusContext in the extension's record
// before it calls us for the first time. Only sent for an instance the bus is
// not calling, so nothing reads the record while the bus writes it.
NTSTATUS SendExchange(PCHILDDRV_EXTENSION Extension) {
  CALLBACK_EXCHANGE_REQUEST request;
  IO_STATUS_BLOCK ioStatus;
  KEVENT done;

  Extension->Exchange.ChildCallback = ChildDrv_BusMessage;
  Extension->Exchange.ChildContext = Extension;
  request.Reserved = 0;
  request.Exchange = &Extension->Exchange;

  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_NETBUS_EXCHANGE_CALLBACK, Extension->LowerDevice, &request,
                                           sizeof(request), NULL, 0, TRUE, &done, &ioStatus);
  if (irp == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  NTSTATUS status = IoCallDriver(Extension->LowerDevice, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}

// Gives the bus's child callback up. Sent at PASSIVE_LEVEL, the bus returns
// only once no call into us is under way, so the extension may go after it.
VOID SendUnregister(PCHILDDRV_EXTENSION Extension) {
  NETBUS_MESSAGE message;

  RtlZeroMemory(&message, sizeof(message));
  message.Tag = NETBUS_MSG_TAG;
  message.MsgId = MSG_UNREGISTER;
  message.Length = 0;
  (void)Extension->Exchange.BusCallback(&message, Extension->Exchange.BusContext);
}

// The instance stops being a candidate for the link. If it held the link,
// another started instance takes it over (its exchange replaces ours, and the
// bus waits for calls into us before it answers), so the service's records
// keep a taker; with none left, the link is given up.
VOID LeaveLinkLocked(PCHILDDRV_EXTENSION Extension) {
  Extension->Started = FALSE;
  if (!Extension->HoldsLink) {
    return;
  }

  Extension->HoldsLink = FALSE;
  LinkHolder = NULL;
  for (PLIST_ENTRY entry = Instances.Flink; entry != &Instances; entry = entry->Flink) {
    PCHILDDRV_EXTENSION other = CONTAINING_RECORD(entry, CHILDDRV_EXTENSION, Instances);
    if (other == Extension || !other->Started) {
      continue;
    }
    other->LinkStatus = SendExchange(other);
    if (NT_SUCCESS(other->LinkStatus)) {
      other->HoldsLink = TRUE;
      LinkHolder = other;
      return;
    }
  }
  SendUnregister(Extension);
}

// One echo: the payload goes back up as MSG_SEND_DATA through the bus's
// callback. The record we were given belongs to the bus, so the echo is a
// copy of our own. Called with no lock held; the bus takes its own.
NTSTATUS Echo(PCHILDDRV_EXTENSION Extension, PNETBUS_MESSAGE Message) {
  const NETBUS_CALLBACK busCallback = Extension->Exchange.BusCallback;
  const PVOID busContext = Extension->Exchange.BusContext;
  const ULONG length = Message->Length;
  PNETBUS_MESSAGE echo = NULL;
  NTSTATUS status;
  KIRQL oldIrql;

  if (busCallback == NULL) {
    status = STATUS_DEVICE_NOT_CONNECTED;
  } else {
    echo = static_cast<PNETBUS_MESSAGE>(
        ExAllocatePoolWithTag(NonPagedPoolNx, VELMORA_MSG_HEADER_SIZE + (SIZE_T)length, CHILDDRV_POOL_TAG));
    if (echo == NULL) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      echo->Tag = NETBUS_MSG_TAG;
      echo->MsgId = MSG_SEND_DATA;
      echo->Reserved = 0;
      echo->Length = length;
      RtlCopyMemory(echo->Payload, Message->Payload, length);
      status = busCallback(echo, busContext);
      ExFreePoolWithTag(echo, CHILDDRV_POOL_TAG);
    }
  }

  KeAcquireSpinLock(&Extension->CountersLock, &oldIrql);
  if (NT_SUCCESS(status)) {
    Extension->Echoed++;
    if (Extension->FlowOff) {
      Extension->PushedWhileFlowOff++;
    }
    Extension->PushedSinceDrained++;
    if (Extension->PushedSinceDrained > VELMORA_QUEUE_HIGH_MARK) {
      Extension->FlowOff = TRUE;
    }
  } else {
    Extension->EchoFailed++;
  }
  KeReleaseSpinLock(&Extension->CountersLock, oldIrql);
  return status;
}

VOID Count(PCHILDDRV_EXTENSION Extension, ULONG* Counter) {
  KIRQL oldIrql;

  KeAcquireSpinLock(&Extension->CountersLock, &oldIrql);
  (*Counter)++;
  KeReleaseSpinLock(&Extension->CountersLock, oldIrql);
}

}  // namespace

// The callback the bus calls: records the service put down, and the bus's own
// MSG_QUEUE_DRAINED (the one record it makes itself, with Tag 0). At up to
// DISPATCH_LEVEL, on several processors at once.
NTSTATUS ChildDrv_BusMessage(PNETBUS_MESSAGE Message, PVOID Context) {
  PCHILDDRV_EXTENSION extension = static_cast<PCHILDDRV_EXTENSION>(Context);
  KIRQL oldIrql;

  if (Message == NULL || extension == NULL) {
    return STATUS_INVALID_PARAMETER;
  }

  if (Message->Tag == 0 && Message->MsgId == MSG_QUEUE_DRAINED) {
    KeAcquireSpinLock(&extension->CountersLock, &oldIrql);
    extension->Drained++;
    extension->PushedSinceDrained = 0;
    extension->FlowOff = FALSE;
    KeReleaseSpinLock(&extension->CountersLock, oldIrql);
    DbgPrint("velmorachild: device %lu: queue drained\r\n", extension->Number);
    return STATUS_SUCCESS;
  }

  if (Message->Tag != NETBUS_MSG_TAG) {
    Count(extension, &extension->Refused);
    return STATUS_NOT_SUPPORTED;
  }

  switch (Message->MsgId) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 8:
      if (Message->Length > CHILDDRV_MAX_ECHO_LENGTH) {
        Count(extension, &extension->Refused);
        return STATUS_INVALID_PARAMETER;
      }
      Count(extension, &extension->Received);
      return Message->Length == 0 ? STATUS_SUCCESS : Echo(extension, Message);

    case MSG_QUEUE_DRAINED:
      // The service's own id 9, passed through by the bus: not ours to act on.
      Count(extension, &extension->Received);
      return STATUS_SUCCESS;

    default:
      Count(extension, &extension->Refused);
      return STATUS_NOT_SUPPORTED;
  }
}

VOID ChildDrv_LinkInitialize(VOID) {
  KeInitializeEvent(&LinkMutex, SynchronizationEvent, TRUE);
  InitializeListHead(&Instances);
  LinkHolder = NULL;
}

VOID ChildDrv_LinkAdd(PCHILDDRV_EXTENSION Extension) {
  PAGED_CODE();

  AcquireLinkMutex();
  InsertTailList(&Instances, &Extension->Instances);
  ReleaseLinkMutex();
}

// The newest started instance takes the link: the bus's exchange replaces the
// previous holder's registration (and waits for calls into it to return). An
// instance that still holds the link from before a stop keeps it as it is.
NTSTATUS ChildDrv_LinkStart(PCHILDDRV_EXTENSION Extension) {
  PAGED_CODE();

  NTSTATUS status = STATUS_SUCCESS;

  AcquireLinkMutex();
  if (!Extension->HoldsLink) {
    status = SendExchange(Extension);
    Extension->LinkStatus = status;
    if (NT_SUCCESS(status)) {
      if (LinkHolder != NULL) {
        LinkHolder->HoldsLink = FALSE;
      }
      LinkHolder = Extension;
      Extension->HoldsLink = TRUE;
    }
  }
  if (NT_SUCCESS(status)) {
    Extension->Started = TRUE;
  }
  ReleaseLinkMutex();
  return status;
}

VOID ChildDrv_LinkLeave(PCHILDDRV_EXTENSION Extension) {
  PAGED_CODE();

  AcquireLinkMutex();
  LeaveLinkLocked(Extension);
  ReleaseLinkMutex();
}

VOID ChildDrv_LinkRemove(PCHILDDRV_EXTENSION Extension) {
  PAGED_CODE();

  AcquireLinkMutex();
  LeaveLinkLocked(Extension);
  RemoveEntryList(&Extension->Instances);
  ReleaseLinkMutex();
}
