// The bus device's Plug and Play state machine: start, stop, the queries and
// their cancellations, surprise removal and removal.
#include <ntddk.h>

#include "velmora.h"

namespace {

PBUS_EXTENSION BusOf(PDEVICE_OBJECT BusDevice) {
  return static_cast<PBUS_EXTENSION>(BusDevice->DeviceExtension);
}

// A query-stop or query-remove: refused while the service holds the control
// device open (it is relying on the bus), otherwise the bus enters the pending
// state, sets success and lets the drivers below answer.
NTSTATUS AnswerQuery(PDEVICE_OBJECT BusDevice, PIRP Irp, PNP_STATE PendingState, PCSTR RefusalFormat) {
  PBUS_EXTENSION bus = BusOf(BusDevice);
  LONG openHandles = bus->OpenHandleCount;

  if (openHandles != 0) {
    TRACE_DETAIL(RefusalFormat, openHandles);
    return CompleteRequest(Irp, STATUS_UNSUCCESSFUL, 0);
  }
  SetNewPnpState(&bus->Header, PendingState);
  // Success goes down with the request: the drivers below see the bus's answer.
  Irp->IoStatus.Status = STATUS_SUCCESS;
  return PassDown(BusDevice, Irp);
}

// A cancel-stop or cancel-remove. If the bus had accepted the query, the
// drivers below undo it first and, once they have, the bus returns to the
// state it held before; if it had refused, it never changed state and the
// request just goes down.
NTSTATUS AnswerCancel(PDEVICE_OBJECT BusDevice, PIRP Irp, PNP_STATE PendingState) {
  PBUS_EXTENSION bus = BusOf(BusDevice);
  NTSTATUS status;

  if (CurrentPnpState(&bus->Header) != PendingState) {
    return PassDown(BusDevice, Irp);
  }
  status = ForwardIrpAndWait(BusDevice, Irp);
  if (NT_SUCCESS(status)) {
    RestorePreviousPnpState(&bus->Header);
  }
  CompleteRequest(Irp, status, Irp->IoStatus.Information);
  return status;
}

// The last sweep of a bus being removed, once no request can be inside it any
// more: records pushed after the first drain are freed whether or not the
// queue is marked ready, and the service's event is dropped. The event is
// unhooked under SendLock, so the push path never sees a pointer we are about
// to release, and dereferenced after the lock is gone.
VOID ReleaseUpwardQueue(PBUS_EXTENSION Bus) {
  LIST_ENTRY stale;
  PKEVENT userEvent;
  KIRQL oldIrql;

  InitializeListHead(&stale);

  oldIrql = KeAcquireSpinLockRaiseToDpc(&Bus->SendLock);
  while (!IsListEmpty(&Bus->SendQueue)) {
    InsertTailList(&stale, RemoveHeadList(&Bus->SendQueue));
  }
  Bus->SendCount = 0;
  Bus->SendQueueReady = FALSE;
  userEvent = Bus->UserEvent;
  Bus->UserEvent = NULL;
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);

  while (!IsListEmpty(&stale)) {
    ExFreePoolWithTag(CONTAINING_RECORD(RemoveHeadList(&stale), SEND_ENTRY, Link), 0);
  }
  if (userEvent != NULL) {
    ObDereferenceObject(userEvent);
  }
}

}  // namespace

// Every Plug and Play request for the bus device arrives here at PASSIVE_LEVEL,
// one at a time. The remove lock is held across each handler so that removal,
// which waits on it, cannot delete the device under a request still running.
// Requests the bus has no part in are passed down unchanged, as the platform
// requires of a function driver. Removal releases the lock itself (it must, to
// wait for the others), so the lock is not released again after it.
NTSTATUS BusFdo_Pnp(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  PBUS_EXTENSION bus = BusOf(BusDevice);
  NTSTATUS status;

  TRACE_ENTER("BusFdo_Pnp");

  status = IoAcquireRemoveLock(&bus->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    CompleteRequest(Irp, status, 0);
    TRACE_EXIT_STATUS("BusFdo_Pnp", status);
    return status;
  }

  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = BusFdo_StartDevice(BusDevice, Irp);
      break;
    case IRP_MN_QUERY_REMOVE_DEVICE:
      status = BusFdo_QueryRemoveDevice(BusDevice, Irp);
      break;
    case IRP_MN_REMOVE_DEVICE:
      // The device is gone on return; neither it nor the lock may be touched.
      status = BusFdo_RemoveDevice(BusDevice, Irp);
      TRACE_EXIT_STATUS("BusFdo_Pnp", status);
      return status;
    case IRP_MN_CANCEL_REMOVE_DEVICE:
      status = BusFdo_CancelRemoveDevice(BusDevice, Irp);
      break;
    case IRP_MN_STOP_DEVICE:
      status = BusFdo_StopDevice(BusDevice, Irp);
      break;
    case IRP_MN_QUERY_STOP_DEVICE:
      status = BusFdo_QueryStopDevice(BusDevice, Irp);
      break;
    case IRP_MN_CANCEL_STOP_DEVICE:
      status = BusFdo_CancelStopDevice(BusDevice, Irp);
      break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
      status = BusFdo_HandleQueryDeviceRelations(BusDevice, Irp);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      status = BusFdo_SurpriseRemoveDevice(BusDevice, Irp);
      break;
    default:
      status = PassDown(BusDevice, Irp);
      break;
  }

  IoReleaseRemoveLock(&bus->RemoveLock, Irp);
  TRACE_EXIT_STATUS("BusFdo_Pnp", status);
  return status;
}

// A function driver may start only after the drivers below it have started,
// so the request goes down first and comes back here. Only then, and only if
// the lower driver succeeded, does the bus admit opens and control requests.
// The bus has no hardware resources to look at.
NTSTATUS BusFdo_StartDevice(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  PBUS_EXTENSION bus = BusOf(BusDevice);
  NTSTATUS status;

  TRACE_ENTER("BusFdo_StartDevice");

  status = ForwardIrpAndWait(BusDevice, Irp);
  if (NT_SUCCESS(status)) {
    TRACE_DETAIL("!!!! Lower Device init success !");
    SetNewPnpState(&bus->Header, StateStarted);
  }
  CompleteRequest(Irp, status, 0);

  TRACE_EXIT("BusFdo_StartDevice");
  return status;
}

// The Plug and Play manager asks whether the bus may be removed. While the
// service holds the control device open it is relying on the bus, so the
// answer is no; otherwise the bus stops admitting new work and lets the
// drivers below answer.
NTSTATUS BusFdo_QueryRemoveDevice(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  NTSTATUS status;

  TRACE_ENTER("BusFdo_QueryRemoveDevice");
  status = AnswerQuery(BusDevice, Irp, StateRemovePending, "OpenHandleCount=%d");
  TRACE_EXIT_STATUS("BusFdo_QueryRemoveDevice", status);
  return status;
}

// Removal: the last request the bus device ever sees. Children the Plug and
// Play manager knows of are detached and left to their own removal; the others
// are deleted. The upward queue is drained and the state set to deleted, so
// that nothing new gets in; then the remove lock is released for this request
// and every request still inside is waited for. Whatever those requests added
// meanwhile (a child linked by a plug-in that had already passed the state
// test, a record or an event) is swept up before the device goes. The lower
// driver sees the removal last, with success already set, as the platform
// requires, and the device is detached and deleted after it returns.
NTSTATUS BusFdo_RemoveDevice(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  PBUS_EXTENSION bus = BusOf(BusDevice);
  PDEVICE_OBJECT lower = bus->NextLower;
  UNICODE_STRING linkName;
  NTSTATUS status;

  TRACE_ENTER("BusFdo_RemoveDevice");

  FinalRemoveAllPdos(bus);
  netBusFreeSendList(bus);
  SetNewPnpState(&bus->Header, StateDeleted);

  IoReleaseRemoveLockAndWait(&bus->RemoveLock, Irp);

  FinalRemoveAllPdos(bus);
  ReleaseUpwardQueue(bus);

  RtlInitUnicodeString(&linkName, VELMORA_LINK_NAME);
  IoDeleteSymbolicLink(&linkName);

  Irp->IoStatus.Status = STATUS_SUCCESS;
  status = PassDown(BusDevice, Irp);

  IoDetachDevice(lower);
  IoDeleteDevice(BusDevice);

  TRACE_EXIT_STATUS("BusFdo_RemoveDevice", status);
  return status;
}

// The Plug and Play manager withdraws a removal it asked about. If the bus had
// accepted the query, the drivers below must undo it first; once they have,
// the bus returns to the state it held before the query. If the bus had
// refused the query it never changed state, and the request just goes down.
NTSTATUS BusFdo_CancelRemoveDevice(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  NTSTATUS status;

  TRACE_ENTER("BusFdo_CancelRemoveDevice");
  status = AnswerCancel(BusDevice, Irp, StateRemovePending);
  TRACE_EXIT("BusFdo_CancelRemoveDevice");
  return status;
}

// Stop follows an accepted query-stop. The bus holds no hardware resources to
// give back; leaving the started state is what keeps new opens and control
// requests out until the next start.
NTSTATUS BusFdo_StopDevice(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  PBUS_EXTENSION bus = BusOf(BusDevice);
  NTSTATUS status;

  TRACE_ENTER("BusFdo_StopDevice");

  SetNewPnpState(&bus->Header, StateStopped);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  status = PassDown(BusDevice, Irp);

  TRACE_EXIT("BusFdo_StopDevice");
  return status;
}

// The Plug and Play manager asks whether the bus may be stopped (to rebalance
// resources). As with removal, an open handle means the service is relying on
// the bus, and the answer is no.
NTSTATUS BusFdo_QueryStopDevice(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  NTSTATUS status;

  TRACE_ENTER("BusFdo_QueryStopDevice");
  status = AnswerQuery(BusDevice, Irp, StateStopPending, "OpenHandleCount=%d!");
  TRACE_EXIT_STATUS("BusFdo_QueryStopDevice", status);
  return status;
}

// The Plug and Play manager withdraws a stop it asked about: as for a
// cancelled removal, the drivers below undo it first and the bus then returns
// to the state it held before the query.
NTSTATUS BusFdo_CancelStopDevice(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  NTSTATUS status;

  TRACE_ENTER("BusFdo_CancelStopDevice");
  status = AnswerCancel(BusDevice, Irp, StateStopPending);
  TRACE_EXIT("BusFdo_CancelStopDevice");
  return status;
}

// The bus vanished without being asked. The device object stays until the
// removal that follows, but the children must leave the bus now: those the Plug
// and Play manager knows of are detached (it removes them itself), the others
// deleted. Leaving the started state turns away new opens and control requests.
// The platform requires success to be set before the request goes down.
NTSTATUS BusFdo_SurpriseRemoveDevice(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  PBUS_EXTENSION bus = BusOf(BusDevice);
  NTSTATUS status;

  TRACE_ENTER("BusFdo_SurpriseRemoveDevice");

  FinalRemoveAllPdos(bus);
  SetNewPnpState(&bus->Header, StateSurpriseRemoved);

  Irp->IoStatus.Status = STATUS_SUCCESS;
  status = PassDown(BusDevice, Irp);

  TRACE_EXIT_STATUS("BusFdo_SurpriseRemoveDevice", status);
  return status;
}
