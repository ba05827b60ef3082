// Velmora bus: the upward queue and the service's event.
//
// The service is not waiting in the kernel when a child driver pushes data, so
// each record is copied onto SendQueue and the service's event is set; the
// service then fetches records one per IOCTL_CORVANE_GET_MSG, never blocking
// in the kernel. When the queue has grown past its high mark, the child driver
// is told with MSG_QUEUE_DRAINED once it has drained below the low mark.
//
// SendLock guards SendQueue, SendCount, FlowOn, UserEvent and the child
// callback pair. The event is set, the child called and references dropped
// only after the lock is released.

#include <ntddk.h>

#include "velmora.h"

// The kernel exports ExEventObjectType as data. mingw-w64's header declares it
// both imported and as a pointer to the object type pointer, which makes the
// usual *ExEventObjectType read one level too deep; go through the import
// slot there instead.
#ifdef __MINGW32__
extern "C" POBJECT_TYPE* __imp_ExEventObjectType;
#define VELMORA_EVENT_OBJECT_TYPE (*__imp_ExEventObjectType)
#else
#define VELMORA_EVENT_OBJECT_TYPE (*ExEventObjectType)
#endif

// A pushed Length is a full 32-bit value; the entry's size is computed in
// pointer width, where Length + 31 cannot wrap.
static_assert(sizeof(SIZE_T) > sizeof(ULONG), "SEND_ENTRY sizes are computed without wrap");

// MSG_QUEUE_DRAINED as the child driver receives it: Length 12 behind the
// 8-byte header, all of it zero but the id.
#define DRAINED_MESSAGE_LENGTH 12u

typedef union _DRAINED_MESSAGE {
  NETBUS_MESSAGE Message;
  UCHAR Bytes[VELMORA_MSG_HEADER_SIZE + DRAINED_MESSAGE_LENGTH];
} DRAINED_MESSAGE;

static_assert(sizeof(DRAINED_MESSAGE) == 20, "MSG_QUEUE_DRAINED covers its Length");

// MSG_SEND_DATA from the child driver, at any IRQL up to DISPATCH_LEVEL. The
// record is only valid during the call, so its payload is copied into a
// non-paged entry of its own. The queue has no upper bound; FlowOn only
// records that it has grown past the high mark. The event is referenced under
// the lock and set after it, so a concurrent reset cannot free it under us.
NTSTATUS netBus_SendData_Handler(PNETBUS_MESSAGE Message, PBUS_EXTENSION Bus) {
  const ULONG length = Message->Length;

  TRACE_ENTER("netBus_SendData_Handler");

  if (length == 0) {
    TRACE_EXIT_STATUS("netBus_SendData_Handler", STATUS_SUCCESS);
    return STATUS_SUCCESS;
  }

  PSEND_ENTRY entry = (PSEND_ENTRY)ExAllocatePoolWithTag(
      NonPagedPoolNx, (SIZE_T)length + SEND_ENTRY_OVERHEAD, VELMORA_POOL_TAG);
  if (entry == NULL) {
    TRACE_EXIT_STATUS("netBus_SendData_Handler", STATUS_INSUFFICIENT_RESOURCES);
    return STATUS_INSUFFICIENT_RESOURCES;
  }

  entry->Length = length;
  RtlCopyMemory(entry->Data, Message->Payload, length);

  KIRQL oldIrql;
  KeAcquireSpinLock(&Bus->SendLock, &oldIrql);
  InsertTailList(&Bus->SendQueue, &entry->Link);
  Bus->SendCount++;
  if (Bus->SendCount > VELMORA_QUEUE_HIGH_MARK) {
    Bus->FlowOn = FALSE;
  }
  PKEVENT event = Bus->UserEvent;
  if (event != NULL) {
    ObReferenceObject(event);
  }
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);

  if (event != NULL) {
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    ObDereferenceObject(event);
  }

  TRACE_EXIT_STATUS("netBus_SendData_Handler", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}

// The reply for "nothing delivered": 12 zero bytes.
static VOID WriteEmptyReply(PIRP Irp) {
  RtlZeroMemory(Irp->AssociatedIrp.SystemBuffer, VELMORA_GET_MSG_MIN_OUTPUT);
  Irp->IoStatus.Information = VELMORA_GET_MSG_MIN_OUTPUT;
}

// IOCTL_CORVANE_GET_MSG: hands the service the oldest queued record, one per
// request, in the system buffer as a NETBUS_MESSAGE with id MSG_SEND_DATA.
// Every byte the reply's length covers is written, so nothing of an earlier
// use of the buffer reaches the service. A record too large for the service's
// buffer is dropped. Only a fetch that delivers a record re-opens the flow.
NTSTATUS CORVANE_GET_MSG_Handler(PIRP Irp, PBUS_EXTENSION Bus) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PUCHAR buffer = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
  KIRQL oldIrql;
  NTSTATUS status;

  TRACE_ENTER("CORVANE_GET_MSG_Handler");

  if (outputLength < VELMORA_GET_MSG_MIN_OUTPUT || buffer == NULL) {
    Irp->IoStatus.Information = 0;
    status = STATUS_INVALID_PARAMETER;
    TRACE_DETAIL("<<CORVANE_GET_MSG_Handler. status=0x%x", (ULONG)status);
    goto Exit;
  }

  {
    // One hold of the lock: whether the service still has its event, the
    // oldest record, and, when that record fits and so will be delivered,
    // whether the flow re-opens (decided here so two fetches never both
    // re-open it). The copy and the child driver's call come after it.
    const SIZE_T capacity = (SIZE_T)outputLength - VELMORA_GET_MSG_OVERHEAD;
    PSEND_ENTRY entry = NULL;
    BOOLEAN haveEvent;
    BOOLEAN notifyChild = FALSE;
    NETBUS_CALLBACK childCallback = NULL;
    PVOID childContext = NULL;
    CHILD_CALL call;

    KeAcquireSpinLock(&Bus->SendLock, &oldIrql);
    haveEvent = (BOOLEAN)(Bus->UserEvent != NULL);
    if (haveEvent && !IsListEmpty(&Bus->SendQueue)) {
      PLIST_ENTRY link = RemoveHeadList(&Bus->SendQueue);
      Bus->SendCount--;
      entry = CONTAINING_RECORD(link, SEND_ENTRY, Link);
      if (entry->Length <= capacity && !Bus->FlowOn && Bus->SendCount < VELMORA_QUEUE_LOW_MARK) {
        Bus->FlowOn = TRUE;
        childCallback = Bus->ChildCallback;
        childContext = Bus->ChildContext;
        notifyChild = (BOOLEAN)(childCallback != NULL && childContext != NULL);
        if (notifyChild) {
          ChildCallEnterLocked(Bus, &call);
        }
      }
    }
    KeReleaseSpinLock(&Bus->SendLock, oldIrql);

    // Without an event the service has withdrawn; its records wait for the
    // next one.
    if (!haveEvent) {
      WriteEmptyReply(Irp);
      status = STATUS_UNSUCCESSFUL;
      TRACE_DETAIL("CORVANE_GET_MSG_Handler. status=0x%x", (ULONG)status);
      goto Exit;
    }
    if (entry == NULL) {
      WriteEmptyReply(Irp);
      status = STATUS_SUCCESS;
      TRACE_DETAIL("CORVANE_GET_MSG_Handler. status=0x%x", (ULONG)status);
      goto Exit;
    }

    const ULONG length = entry->Length;
    if (capacity < length) {
      ExFreePoolWithTag(entry, 0);
      WriteEmptyReply(Irp);
      status = STATUS_BUFFER_TOO_SMALL;
      TRACE_DETAIL("CORVANE_GET_MSG_Handler.%d", (int)status);
      goto Exit;
    }

    // Header, payload, and the three bytes behind it that the reply's
    // length has always covered.
    PNETBUS_MESSAGE reply = (PNETBUS_MESSAGE)buffer;
    reply->Tag = NETBUS_MSG_TAG;
    reply->MsgId = MSG_SEND_DATA;
    reply->Reserved = 0;
    reply->Length = length;
    RtlCopyMemory(buffer + VELMORA_MSG_HEADER_SIZE, entry->Data, length);
    RtlZeroMemory(buffer + VELMORA_MSG_HEADER_SIZE + length,
                  VELMORA_GET_MSG_OVERHEAD - VELMORA_MSG_HEADER_SIZE);
    Irp->IoStatus.Information = (ULONG_PTR)length + VELMORA_GET_MSG_OVERHEAD;
    ExFreePoolWithTag(entry, 0);

    if (notifyChild) {
      DRAINED_MESSAGE drained;
      RtlZeroMemory(&drained, sizeof(drained));
      drained.Message.Tag = 0;
      drained.Message.MsgId = MSG_QUEUE_DRAINED;
      drained.Message.Length = DRAINED_MESSAGE_LENGTH;
      (void)childCallback(&drained.Message, childContext);
      ChildCallLeave(Bus, &call);
    }
  }

  status = STATUS_SUCCESS;

Exit:
  TRACE_EXIT_STATUS("CORVANE_GET_MSG_Handler", status);
  return status;
}

// Drops the queue and the service's event: used when the service withdraws
// its event or installs a new one. The event pointer is swapped out under the
// lock and its reference dropped after, so a push that has already taken its
// own reference still sets a live event.
VOID hlpResetForCorvane(PBUS_EXTENSION Bus) {
  PKEVENT oldEvent;
  KIRQL oldIrql;

  TRACE_ENTER(">>hlpResetForCorvane");

  netBusFreeSendList(Bus);

  KeAcquireSpinLock(&Bus->SendLock, &oldIrql);
  oldEvent = Bus->UserEvent;
  Bus->UserEvent = NULL;
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);

  if (oldEvent != NULL) {
    ObDereferenceObject(oldEvent);
  }

  TRACE_EXIT("<<hlpResetForCorvane");
}

// IOCTL_CORVANE_PASS_EVENT: the service installs the event it waits on, given
// as a handle in its own process (a 32-bit value, sign-extended as the system
// widens handles). The channel starts afresh: queue and old event dropped, an
// empty ready queue. The handle is referenced with the caller's mode and only
// for EVENT_MODIFY_STATE, the one right the bus uses; a handle that is bad,
// of another type or lacks the right leaves the bus with no event.
NTSTATUS CORVANE_PASS_EVENT_Handler(PIRP Irp, PBUS_EXTENSION Bus) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status;

  TRACE_ENTER("CORVANE_PASS_EVENT_Handler");

  if (inputLength < sizeof(LONG) || buffer == NULL) {
    status = STATUS_BUFFER_TOO_SMALL;
  } else {
    LONG handleValue;
    RtlCopyMemory(&handleValue, buffer, sizeof(handleValue));
    const HANDLE handle = (HANDLE)(LONG_PTR)handleValue;

    hlpResetForCorvane(Bus);
    BtNetDrvInitializeSend(Bus);

#ifdef VELMORA_WINE_EVENT_HANDLE_IN_HOST
    // The Wine test image only (velmora-winetest.sys, never shipped): Wine
    // cannot reference a user-mode handle with UserMode, so its check
    // duplicates the event into the driver host's own process and the handle
    // is one of this process's, referenced as the kernel's own. A real build
    // must never trust a handle from user mode that way.
    const KPROCESSOR_MODE referenceMode = KernelMode;
#else
    const KPROCESSOR_MODE referenceMode = Irp->RequestorMode;
#endif
    PKEVENT event = NULL;
    status = ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, VELMORA_EVENT_OBJECT_TYPE, referenceMode,
                                       (PVOID*)&event, NULL);
    if (!NT_SUCCESS(status)) {
      TRACE_DETAIL("Unable to reference User-Mode Event object, Error = 0x%x\n", (ULONG)status);
    } else {
      // Another pass-event may have installed its event since the reset.
      PKEVENT oldEvent;
      KIRQL oldIrql;
      KeAcquireSpinLock(&Bus->SendLock, &oldIrql);
      oldEvent = Bus->UserEvent;
      Bus->UserEvent = event;
      KeReleaseSpinLock(&Bus->SendLock, oldIrql);
      if (oldEvent != NULL) {
        ObDereferenceObject(oldEvent);
      }
    }
  }

  Irp->IoStatus.Information = 0;

  TRACE_EXIT_STATUS("CORVANE_PASS_EVENT_Handler", status);
  return status;
}

// IOCTL_CORVANE_DELETE_EVENT: the service withdraws its event. The queue is
// dropped and stays not ready until the next pass-event.
NTSTATUS CORVANE_DELETE_EVENT_Handler(PIRP Irp, PBUS_EXTENSION Bus) {
  UNREFERENCED_PARAMETER(Irp);

  TRACE_ENTER("CORVANE_DELETE_EVENT_Handler");

  hlpResetForCorvane(Bus);

  TRACE_EXIT_STATUS("CORVANE_DELETE_EVENT_Handler", STATUS_SUCCESS);
  return STATUS_SUCCESS;
}
