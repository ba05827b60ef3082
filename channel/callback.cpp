// Velmora bus: the callback link with a child's function driver.
//
// The bus and the child driver talk by calling each other instead of sending
// requests: the child driver hands over its callback and context with
// IOCTL_NETBUS_EXCHANGE_CALLBACK and receives netBusCallback with the bus
// extension as context. Records pushed up through netBusCallback go to the
// service's queue; records the service puts down go to the child's callback.
//
// The pair (ChildCallback, ChildContext) is written and copied under SendLock
// so that no call ever sees one half of an old registration and one of a new
// one; the callback itself is always called with no lock held.

#include <ntddk.h>

#include "velmora.h"

// A call into the child driver is made with no lock held, so it can still be
// under way when the child driver unregisters or another exchange replaces it.
// Each call is noted, under SendLock, with the registration epoch it began in
// and the thread making it. A change of registration bumps the epoch and then
// waits for every call begun before, except the calls of its own thread: a
// child driver that unregisters (or re-registers) from inside its own
// callback is one of those calls, and waiting for it would wait forever.
// Calls under the new registration never hold a change up.

namespace {

// A registration change waiting, on its own stack, for older calls to return.
typedef struct _CHILD_CALL_WAITER {
  LIST_ENTRY Link;
  HANDLE Thread;
  ULONG Epoch;  // every call begun in an earlier epoch is waited for
  KEVENT Idle;
} CHILD_CALL_WAITER, *PCHILD_CALL_WAITER;

// Called with SendLock held. Epochs are compared as a signed distance, so
// the count may wrap.
BOOLEAN OlderCallsRunningLocked(PBUS_EXTENSION Bus, PCHILD_CALL_WAITER Waiter) {
  for (PLIST_ENTRY entry = Bus->ChildCalls.Flink; entry != &Bus->ChildCalls; entry = entry->Flink) {
    PCHILD_CALL call = CONTAINING_RECORD(entry, CHILD_CALL, Link);

    if (call->Thread != Waiter->Thread && (LONG)(call->Epoch - Waiter->Epoch) < 0) {
      return TRUE;
    }
  }
  return FALSE;
}

}  // namespace

VOID ChildCallEnterLocked(PBUS_EXTENSION Bus, PCHILD_CALL Call) {
  Call->Thread = PsGetCurrentThreadId();
  Call->Epoch = Bus->ChildCallEpoch;
  InsertTailList(&Bus->ChildCalls, &Call->Link);
}

// The waiters a returning call releases are taken off the list before their
// event is set: a woken waiter returns and its record is gone.
VOID ChildCallLeave(PBUS_EXTENSION Bus, PCHILD_CALL Call) {
  PLIST_ENTRY entry;
  PLIST_ENTRY next;
  KIRQL oldIrql;

  KeAcquireSpinLock(&Bus->SendLock, &oldIrql);
  RemoveEntryList(&Call->Link);
  for (entry = Bus->ChildCallWaiters.Flink; entry != &Bus->ChildCallWaiters; entry = next) {
    PCHILD_CALL_WAITER waiter = CONTAINING_RECORD(entry, CHILD_CALL_WAITER, Link);

    next = entry->Flink;
    if (!OlderCallsRunningLocked(Bus, waiter)) {
      RemoveEntryList(&waiter->Link);
      KeSetEvent(&waiter->Idle, IO_NO_INCREMENT, FALSE);
    }
  }
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);
}

// Installs a new callback pair (null for none); from here on no call reaches
// the old pair. Below DISPATCH_LEVEL it also waits until every call made
// under an earlier pair by another thread has returned. At DISPATCH_LEVEL it
// cannot wait: a call it would wait for may be running on a thread this very
// processor has preempted. The caller then has only the change, and a later
// change below DISPATCH_LEVEL waits for those calls too.
static VOID SetChildCallback(PBUS_EXTENSION Bus, NETBUS_CALLBACK Callback, PVOID Context) {
  const BOOLEAN canWait = (BOOLEAN)(KeGetCurrentIrql() < DISPATCH_LEVEL);
  CHILD_CALL_WAITER waiter;
  BOOLEAN mustWait = FALSE;
  KIRQL oldIrql;

  KeAcquireSpinLock(&Bus->SendLock, &oldIrql);
  Bus->ChildCallback = Callback;
  Bus->ChildContext = Context;
  Bus->ChildCallEpoch++;
  if (canWait) {
    waiter.Thread = PsGetCurrentThreadId();
    waiter.Epoch = Bus->ChildCallEpoch;
    mustWait = OlderCallsRunningLocked(Bus, &waiter);
    if (mustWait) {
      KeInitializeEvent(&waiter.Idle, NotificationEvent, FALSE);
      InsertTailList(&Bus->ChildCallWaiters, &waiter.Link);
    }
  }
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);

  if (mustWait) {
    KeWaitForSingleObject(&waiter.Idle, Executive, KernelMode, FALSE, NULL);
    // The call that woke us set the event under SendLock; once we hold the
    // lock it has let go of our record, which leaves with this frame.
    KeAcquireSpinLock(&Bus->SendLock, &oldIrql);
    KeReleaseSpinLock(&Bus->SendLock, oldIrql);
  }
}

// IOCTL_NETBUS_EXCHANGE_CALLBACK. The request carries a kernel pointer that
// the bus reads, writes and later calls through, so only kernel-mode senders
// (a child driver sending to its child device) are heard: a user-mode sender
// is refused before a byte of its input is read. A second exchange replaces
// the first; the bus keeps one child callback, and the request returns only
// once the one it replaced is no longer being called.
NTSTATUS netBus_ExchangeCallBack(PIRP Irp, PBUS_EXTENSION Bus) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PCALLBACK_EXCHANGE_REQUEST request =
      (PCALLBACK_EXCHANGE_REQUEST)Irp->AssociatedIrp.SystemBuffer;
  NTSTATUS status;

  TRACE_ENTER("netBus_ExchangeCallBack");

  if (Irp->RequestorMode == UserMode) {
    status = STATUS_ACCESS_DENIED;
  } else if (inputLength != sizeof(CALLBACK_EXCHANGE_REQUEST) || request == NULL ||
             request->Exchange == NULL) {
    status = STATUS_UNSUCCESSFUL;
  } else {
    PCALLBACK_EXCHANGE exchange = request->Exchange;
    NETBUS_CALLBACK childCallback = exchange->ChildCallback;
    PVOID childContext = exchange->ChildContext;

    // The child driver may be called the moment its pair is installed, and
    // it answers through the bus's callback: hand that over first.
    exchange->BusContext = Bus;
    exchange->BusCallback = netBusCallback;

    SetChildCallback(Bus, childCallback, childContext);

    // The buffered reply is the 16 input bytes; never claim more than the
    // sender has room for.
    Irp->IoStatus.Information =
        outputLength < sizeof(CALLBACK_EXCHANGE_REQUEST) ? outputLength
                                                         : sizeof(CALLBACK_EXCHANGE_REQUEST);
    status = STATUS_SUCCESS;
  }

  TRACE_EXIT_STATUS("netBus_ExchangeCallBack", status);
  return status;
}

// The bus's NETBUS_CALLBACK, called by the child driver at any IRQL up to
// DISPATCH_LEVEL, from any number of processors at once. It touches only
// resident code, non-paged memory and SendLock. Ids the bus does not act on
// are accepted and ignored, so a newer child driver never fails against it.
// MSG_UNREGISTER sent below DISPATCH_LEVEL returns once no other call into
// the child driver is under way: the child driver may then go. Sent from
// inside the child's own callback, it does not wait for that call.
NTSTATUS netBusCallback(PNETBUS_MESSAGE Message, PVOID Context) {
  PBUS_EXTENSION bus = (PBUS_EXTENSION)Context;
  NTSTATUS status;

  TRACE_ENTER("netBusCallback.");

  switch (Message->MsgId) {
    case MSG_SEND_DATA:
      status = netBus_SendData_Handler(Message, bus);
      break;

    case MSG_UNREGISTER:
      SetChildCallback(bus, NULL, NULL);
      status = STATUS_SUCCESS;
      break;

    case MSG_NOP:
    default:
      status = STATUS_SUCCESS;
      break;
  }

  TRACE_EXIT("netBusCallback.");
  return status;
}

// IOCTL_CORVANE_PUT_MSG: the service hands a record down to the child driver.
// The record lies in the system buffer; nothing beyond the bytes the service
// supplied is read, and the record's Length must fit within them before the
// child driver sees it. The child's answer is its own business: the request
// succeeds once the record has been handed over.
NTSTATUS netBus_PutMessage(PIRP Irp, PBUS_EXTENSION Bus) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
  PNETBUS_MESSAGE message = (PNETBUS_MESSAGE)Irp->AssociatedIrp.SystemBuffer;
  NETBUS_CALLBACK childCallback;
  PVOID childContext;
  BOOLEAN passThrough;
  BOOLEAN registered;
  CHILD_CALL call;
  KIRQL oldIrql;
  NTSTATUS status;

  TRACE_ENTER("netBus_PutMessage");

  // The header must be there before its tag is looked at; the tag is then
  // tested before anything else so that a foreign record is refused as such,
  // registered child or not.
  if (message == NULL || inputLength < VELMORA_MSG_HEADER_SIZE ||
      message->Tag != NETBUS_MSG_TAG ||
      (SIZE_T)message->Length > (SIZE_T)inputLength - VELMORA_MSG_HEADER_SIZE) {
    status = STATUS_INVALID_PARAMETER;
    goto Exit;
  }

  switch (message->MsgId) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 8:
    case 9:
      passThrough = TRUE;
      break;
    default:
      passThrough = FALSE;
      break;
  }

  KeAcquireSpinLock(&Bus->SendLock, &oldIrql);
  childCallback = Bus->ChildCallback;
  childContext = Bus->ChildContext;
  registered = (BOOLEAN)(childContext != NULL && childCallback != NULL);
  if (registered && passThrough) {
    ChildCallEnterLocked(Bus, &call);
  }
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);

  if (!registered) {
    status = STATUS_UNSUCCESSFUL;
    goto Exit;
  }

  if (passThrough) {
    (void)childCallback(message, childContext);
    ChildCallLeave(Bus, &call);
  } else {
    TRACE_DETAIL("Unknown message id=%d\n", (int)message->MsgId);
  }

  Irp->IoStatus.Information = 0;
  status = STATUS_SUCCESS;

Exit:
  TRACE_EXIT_STATUS("netBus_PutMessage", status);
  return status;
}
