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
// Each call is counted, under SendLock, against the parity of the registration
// epoch it began in; a change of registration bumps the epoch and then waits
// for the old parity's calls to return. Only calls made under the old
// registration are waited for, so a steady stream of calls under the new one
// cannot hold the change up.
ULONG ChildCallEnterLocked(PBUS_EXTENSION Bus) {
  const ULONG slot = Bus->ChildCallEpoch & 1;

  if (Bus->ChildCallsActive[slot]++ == 0) {
    KeClearEvent(&Bus->ChildCallsIdle[slot]);
  }
  return slot;
}

VOID ChildCallLeave(PBUS_EXTENSION Bus, ULONG Slot) {
  KIRQL oldIrql;

  KeAcquireSpinLock(&Bus->SendLock, &oldIrql);
  if (--Bus->ChildCallsActive[Slot] == 0) {
    KeSetEvent(&Bus->ChildCallsIdle[Slot], IO_NO_INCREMENT, FALSE);
  }
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);
}

// Installs a new callback pair (null for none). Below DISPATCH_LEVEL it also
// waits until every call made under the previous pair has returned; at
// DISPATCH_LEVEL it cannot wait, and the caller has only the pair's change.
static VOID SetChildCallback(PBUS_EXTENSION Bus, NETBUS_CALLBACK Callback, PVOID Context) {
  ULONG oldSlot;
  KIRQL oldIrql;

  KeAcquireSpinLock(&Bus->SendLock, &oldIrql);
  Bus->ChildCallback = Callback;
  Bus->ChildContext = Context;
  oldSlot = Bus->ChildCallEpoch & 1;
  Bus->ChildCallEpoch++;
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);

  if (KeGetCurrentIrql() < DISPATCH_LEVEL) {
    KeWaitForSingleObject(&Bus->ChildCallsIdle[oldSlot], Executive, KernelMode, FALSE, NULL);
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
// MSG_UNREGISTER sent below DISPATCH_LEVEL returns once no call into the
// child driver is under way: the child driver may then go. It must not be
// sent from inside the child's own callback, which would wait for itself.
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
  ULONG slot = 0;
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
    slot = ChildCallEnterLocked(Bus);
  }
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);

  if (!registered) {
    status = STATUS_UNSUCCESSFUL;
    goto Exit;
  }

  if (passThrough) {
    (void)childCallback(message, childContext);
    ChildCallLeave(Bus, slot);
  } else {
    TRACE_DETAIL("Unknown message id=%d\n", (int)message->MsgId);
  }

  Irp->IoStatus.Information = 0;
  status = STATUS_SUCCESS;

Exit:
  TRACE_EXIT_STATUS("netBus_PutMessage", status);
  return status;
}
