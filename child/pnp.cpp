// Velmora bus: Plug and Play on a child device.
//
// A child is the bottom of its own device stack, so every Plug and Play
// request that reaches it ends here: it is answered and completed, never
// passed on. A child refuses no query; it can always be stopped or removed.

#include <ntddk.h>

#include "velmora.h"

// A plug-in on another thread reads the state of every child on the list
// (SerialNoTaken), under ChildListLock, so a linked child's state changes
// under that lock too; Restore puts the previous state back. The manager
// sends a child one request at a time and cannot remove the bus meanwhile, so
// a child still linked has a live parent here, and a detached one is on no
// list. Known marks the child as held by the manager: only it starts a child,
// so a started one has a device node that will get its removal, and the bus's
// final removal must detach it, not delete it. A disabled child enabled again
// is started without any relations answer in between, and the removal that
// disabled it had cleared the mark.
static VOID SetChildState(PCHILD_EXTENSION Child, PNP_STATE State, BOOLEAN Restore, BOOLEAN Known) {
  PDEVICE_OBJECT parentFdo = Child->ParentFdo;
  PBUS_EXTENSION bus = (parentFdo != NULL) ? (PBUS_EXTENSION)parentFdo->DeviceExtension : NULL;
  KIRQL oldIrql = PASSIVE_LEVEL;

  if (bus != NULL) {
    KeAcquireSpinLock(&bus->ChildListLock, &oldIrql);
  }
  if (Restore) {
    RestorePreviousPnpState(&Child->Header);
  } else {
    SetNewPnpState(&Child->Header, State);
  }
  if (Known && bus != NULL) {
    Child->Reported = TRUE;
  }
  if (bus != NULL) {
    KeReleaseSpinLock(&bus->ChildListLock, oldIrql);
  }
}

// The Plug and Play manager's dispatch entry for a child. It sends these
// requests one at a time at PASSIVE_LEVEL, so the state is read here without
// a lock; it changes through SetChildState.
// Every request is completed here exactly once; a request the child has no
// business with keeps the status it arrived with, which a driver higher in
// the stack may already have set. Nothing of the child is touched after
// ChildRemove, since the device object may be gone by then.
NTSTATUS Pdo_PnP(PDEVICE_OBJECT ChildDevice, PIRP Irp) {
  PCHILD_EXTENSION child = (PCHILD_EXTENSION)ChildDevice->DeviceExtension;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  NTSTATUS status = Irp->IoStatus.Status;

  TRACE_ENTER("Pdo_PnP");

  KIRQL irql = KeGetCurrentIrql();
  if (irql != PASSIVE_LEVEL) {
    // The handlers below allocate paged pool and wait on the bus's stack;
    // a request raised above PASSIVE_LEVEL is finished untouched.
    TRACE_DETAIL("Runing at too high IRQL=%d.\n", irql);
  } else {
    switch (stack->MinorFunction) {
      case IRP_MN_START_DEVICE:
        // Nothing to program: a virtual child is powered and ready as soon as
        // it is started. Its resources are not looked at.
        child->DevicePowerState = PowerDeviceD0;
        SetChildState(child, StateStarted, FALSE, TRUE);
        status = STATUS_SUCCESS;
        break;

      case IRP_MN_QUERY_REMOVE_DEVICE:
        SetChildState(child, StateRemovePending, FALSE, FALSE);
        status = STATUS_SUCCESS;
        break;

      case IRP_MN_REMOVE_DEVICE:
        status = ChildRemove(ChildDevice, child);
        child = NULL;
        break;

      case IRP_MN_CANCEL_REMOVE_DEVICE:
        // A cancel without a matching query (a query a driver above refused)
        // leaves the state alone.
        if (child->Header.PnpState == StateRemovePending) {
          SetChildState(child, StateNotStarted, TRUE, FALSE);
        }
        status = STATUS_SUCCESS;
        break;

      case IRP_MN_STOP_DEVICE:
        SetChildState(child, StateStopped, FALSE, FALSE);
        status = STATUS_SUCCESS;
        break;

      case IRP_MN_QUERY_STOP_DEVICE:
        SetChildState(child, StateStopPending, FALSE, FALSE);
        status = STATUS_SUCCESS;
        break;

      case IRP_MN_CANCEL_STOP_DEVICE:
        if (child->Header.PnpState == StateStopPending) {
          SetChildState(child, StateNotStarted, TRUE, FALSE);
        }
        status = STATUS_SUCCESS;
        break;

      case IRP_MN_QUERY_DEVICE_RELATIONS:
        status = CommonPdo_QueryDeviceRelations(child, Irp);
        break;

      case IRP_MN_QUERY_CAPABILITIES:
        status = CommonPdo_QueryDeviceCaps(child, Irp);
        break;

      case IRP_MN_QUERY_DEVICE_TEXT:
        status = CommonPdo_QueryDeviceText(child, Irp);
        break;

      case IRP_MN_QUERY_ID:
        status = CommonPdo_QueryDeviceId(child, Irp);
        break;

      case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        // A virtual device can hold no paging, hibernation or dump file.
        status = STATUS_UNSUCCESSFUL;
        break;

      case IRP_MN_SURPRISE_REMOVAL:
        SetChildState(child, StateSurpriseRemoved, FALSE, FALSE);
        status = STATUS_SUCCESS;
        break;

      case IRP_MN_QUERY_INTERFACE:
      case IRP_MN_QUERY_RESOURCES:
      case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
      case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
      case IRP_MN_READ_CONFIG:
      case IRP_MN_WRITE_CONFIG:
      case IRP_MN_EJECT:
      case IRP_MN_SET_LOCK:
      case IRP_MN_QUERY_PNP_DEVICE_STATE:
      case IRP_MN_QUERY_BUS_INFORMATION:
      default:
        // The child has no interfaces, resources, configuration space, lock
        // or eject mechanism and no bus information to give; these requests,
        // 0x0E and everything from 0x18 up keep the status and information
        // they came with.
        break;
    }
  }

  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);

  TRACE_EXIT_STATUS("Pdo_PnP", status);
  return status;
}

// IRP_MN_REMOVE_DEVICE on a child. Removal never fails. A child that is
// still plugged in, or whose absence the Plug and Play manager has not yet
// been told of, is only reset: it stays on the bus's list and is reported
// again by the next relations answer (the manager removes a disabled child
// a second time once an answer leaves it out). A child that an answer has
// left out is unlinked and deleted. A child the bus detached in its final
// removal is deleted in any case: nothing else could ever delete it. A late
// removal that still reaches a deleted child must touch nothing.
NTSTATUS ChildRemove(PDEVICE_OBJECT ChildDevice, PCHILD_EXTENSION Child) {
  if (Child->Deleted) {
    return STATUS_SUCCESS;
  }

  PDEVICE_OBJECT parentFdo = Child->ParentFdo;
  if (parentFdo == NULL) {
    // Final removal of the bus took this child off its list already.
    if (ClaimDeletion(&Child->Header)) {
      Pdo_Delete(ChildDevice, Child);
    }
    return STATUS_SUCCESS;
  }

  PBUS_EXTENSION bus = (PBUS_EXTENSION)parentFdo->DeviceExtension;
  BOOLEAN keep;
  KIRQL oldIrql;

  // Unplug and the relations answer change Present and ReportedMissing under
  // this lock; deciding and unlinking in one hold keeps the three consistent.
  KeAcquireSpinLock(&bus->ChildListLock, &oldIrql);
  if (CurrentPnpState(&Child->Header) == StateDeleted) {
    // A removal on another thread unlinked it already, and deletes it.
    KeReleaseSpinLock(&bus->ChildListLock, oldIrql);
    return STATUS_SUCCESS;
  }
  keep = (BOOLEAN)(Child->Present || !Child->ReportedMissing);
  if (keep) {
    SetNewPnpState(&Child->Header, StateNotStarted);
    Child->Reported = FALSE;
  } else {
    SetNewPnpState(&Child->Header, StateDeleted);
    ChildList_Remove(bus, Child);
  }
  KeReleaseSpinLock(&bus->ChildListLock, oldIrql);

  if (!keep) {
    Pdo_Delete(ChildDevice, Child);
  }
  return STATUS_SUCCESS;
}

// IRP_MN_QUERY_DEVICE_RELATIONS on a child. As the bottom of its stack the
// child must answer the target-relation query itself: a list of one entry,
// its own device object, carrying a reference that the Plug and Play manager
// drops when it frees the list. Every other relation type belongs to drivers
// above, so the status and any list already in the request stay as they are.
NTSTATUS CommonPdo_QueryDeviceRelations(PCHILD_EXTENSION Child, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  DEVICE_RELATION_TYPE type = stack->Parameters.QueryDeviceRelations.Type;
  NTSTATUS status;

  TRACE_ENTER("CommonPdo_QueryDeviceRelations");
  TRACE_DETAIL("\tQueryDeviceRelation Type: %d", (int)type);

  if (type == TargetDeviceRelation) {
    PDEVICE_RELATIONS relations = (PDEVICE_RELATIONS)ExAllocatePoolWithTag(
        PagedPool, sizeof(DEVICE_RELATIONS), VELMORA_POOL_TAG);
    if (relations == NULL) {
      status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
      relations->Count = 1;
      relations->Objects[0] = Child->Header.Self;
      ObReferenceObject(Child->Header.Self);
      // The target relation is the child alone; whatever a driver above put
      // here does not apply to it.
      Irp->IoStatus.Information = (ULONG_PTR)relations;
      status = STATUS_SUCCESS;
    }
  } else {
    status = Irp->IoStatus.Status;
  }

  TRACE_EXIT_STATUS("CommonPdo_QueryDeviceRelations", status);
  return status;
}
