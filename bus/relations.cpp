// Reporting children to the Plug and Play manager, dropping every child when
// the bus goes away, and deleting a child device object.
#include <ntddk.h>

#include "velmora.h"

// The Plug and Play manager learns which children exist only from the answer
// to a bus-relations query. Every child still plugged in is listed with one
// reference taken for the manager, and marked as known to it; an unplugged
// child is left out, which is what makes the manager remove it, and is marked
// so that its removal may then delete it; one that no answer ever listed will
// get no removal, so the bus deletes it itself once the lock is released. A
// driver above may already have put
// a list in the request: its entries come first and keep their own references.
// That list may be pageable, so its count is read and its entries copied (and
// the list freed) at PASSIVE_LEVEL, outside ChildListLock. Under one hold of
// the lock the bus decides whether it has anything to add, counts the present
// children, allocates the answer and fills in the children, so that a plug-in
// or unplug on another thread cannot make the count and the entries disagree.
// The answer is non-paged since it is built at DISPATCH_LEVEL. Other relation
// types are not the bus's to answer and go down untouched.
NTSTATUS BusFdo_HandleQueryDeviceRelations(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  PBUS_EXTENSION bus = static_cast<PBUS_EXTENSION>(BusDevice->DeviceExtension);
  PDEVICE_RELATIONS incoming;
  PDEVICE_RELATIONS answer;
  SIZE_T incomingCount;
  SIZE_T presentCount;
  SIZE_T total;
  SIZE_T next;
  ULONG childCount;
  PLIST_ENTRY entry;
  PLIST_ENTRY following;
  LIST_ENTRY unknown;
  KIRQL oldIrql;
  NTSTATUS status;

  TRACE_ENTER("BusFdo_HandleQueryDeviceRelations");

  InitializeListHead(&unknown);

  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.QueryDeviceRelations.Type != BusRelations) {
    status = PassDown(BusDevice, Irp);
    goto Exit;
  }

  incoming = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
  incomingCount = (incoming != NULL) ? incoming->Count : 0;

  oldIrql = KeAcquireSpinLockRaiseToDpc(&bus->ChildListLock);

  if (incoming != NULL && bus->ChildCount == 0) {
    KeReleaseSpinLock(&bus->ChildListLock, oldIrql);
    status = PassDown(BusDevice, Irp);
    goto Exit;
  }

  presentCount = 0;
  for (entry = bus->ChildList.Flink; entry != &bus->ChildList; entry = entry->Flink) {
    if (CONTAINING_RECORD(entry, CHILD_EXTENSION, Link)->Present) {
      presentCount++;
    }
  }

  // The count field is 32 bits wide; the size, one spare entry included, is
  // computed in pointer width and cannot wrap.
  total = incomingCount + presentCount;
  answer = NULL;
  if (total <= MAXULONG) {
    answer = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(
        NonPagedPoolNx, sizeof(DEVICE_RELATIONS) + total * sizeof(PDEVICE_OBJECT),
        VELMORA_POOL_TAG));
  }
  if (answer == NULL) {
    KeReleaseSpinLock(&bus->ChildListLock, oldIrql);
    // The incoming list stays in the request, untouched, for its owner.
    status = CompleteRequest(Irp, STATUS_INSUFFICIENT_RESOURCES, Irp->IoStatus.Information);
    goto Exit;
  }

  answer->Count = (ULONG)total;
  next = incomingCount;
  for (entry = bus->ChildList.Flink; entry != &bus->ChildList; entry = following) {
    PCHILD_EXTENSION child = CONTAINING_RECORD(entry, CHILD_EXTENSION, Link);

    following = entry->Flink;
    if (child->Present) {
      answer->Objects[next++] = child->Header.Self;
      ObReferenceObject(child->Header.Self);
      child->Reported = TRUE;
      child->Listed = TRUE;
    } else if (!child->Listed) {
      // Unplugged before any answer named it: no removal will ever come for
      // it, and it would hold its serial number until the bus goes.
      ChildList_Remove(bus, child);
      InsertTailList(&unknown, &child->Link);
    } else {
      child->ReportedMissing = TRUE;
    }
  }
  childCount = bus->ChildCount;

  KeReleaseSpinLock(&bus->ChildListLock, oldIrql);

  while (!IsListEmpty(&unknown)) {
    PCHILD_EXTENSION child = CONTAINING_RECORD(RemoveHeadList(&unknown), CHILD_EXTENSION, Link);

    Pdo_Delete(child->Header.Self, child);
  }

  TRACE_DETAIL("PDOS present = %d\tPDOs reported = %d\n", childCount, (ULONG)total);

  if (incoming != NULL) {
    for (SIZE_T i = 0; i < incomingCount; i++) {
      answer->Objects[i] = incoming->Objects[i];
    }
    ExFreePoolWithTag(incoming, 0);
  }

  Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
  Irp->IoStatus.Status = STATUS_SUCCESS;
  status = PassDown(BusDevice, Irp);

Exit:
  TRACE_EXIT_STATUS("BusFdo_HandleQueryDeviceRelations", status);
  return status;
}

// The bus device is going away (surprise removal or removal), and every child
// must leave ChildList now. A child the Plug and Play manager knows of belongs
// to it until its own removal request, so it is only detached: its list entry
// points at itself and it forgets its parent. One invalidation, however many
// were detached, makes the manager look again and find them gone. A child the
// manager never heard of gets no removal request and is deleted here. The
// deletions and the invalidation happen after ChildListLock is released, and
// the children deleted are off ChildList before it is, so no other path can
// reach them.
VOID FinalRemoveAllPdos(PBUS_EXTENSION Bus) {
  LIST_ENTRY doomed;
  BOOLEAN detached = FALSE;
  PLIST_ENTRY entry;
  PLIST_ENTRY next;
  KIRQL oldIrql;

  TRACE_ENTER("FinalRemoveAllPdos");

  InitializeListHead(&doomed);

  oldIrql = KeAcquireSpinLockRaiseToDpc(&Bus->ChildListLock);
  for (entry = Bus->ChildList.Flink; entry != &Bus->ChildList; entry = next) {
    PCHILD_EXTENSION child = CONTAINING_RECORD(entry, CHILD_EXTENSION, Link);

    next = entry->Flink;
    RemoveEntryList(entry);
    RemoveEntryList(&child->SerialLink);
    if (child->Reported) {
      InitializeListHead(&child->Link);
      InitializeListHead(&child->SerialLink);
      child->ParentFdo = NULL;
      detached = TRUE;
    } else {
      InsertTailList(&doomed, &child->Link);
      Bus->ChildCount--;
    }
  }
  KeReleaseSpinLock(&Bus->ChildListLock, oldIrql);

  if (detached) {
    IoInvalidateDeviceRelations(Bus->UnderlyingPdo, BusRelations);
  }

  while (!IsListEmpty(&doomed)) {
    PCHILD_EXTENSION child = CONTAINING_RECORD(RemoveHeadList(&doomed), CHILD_EXTENSION, Link);

    Pdo_Delete(child->Header.Self, child);
  }

  TRACE_EXIT("FinalRemoveAllPdos");
}

// The one place a child device object is deleted. The caller has already
// taken the child off every list another path could reach, and holds no spin
// lock (deleting a device needs PASSIVE_LEVEL). The child's hardware-ID copy
// goes with it. The child is marked deleted first: the Plug and Play manager
// may still hold references to the device object, and a late removal request
// that reaches it must find it marked and leave it alone.
VOID Pdo_Delete(PDEVICE_OBJECT ChildDevice, PCHILD_EXTENSION Child) {
  TRACE_ENTER("Pdo_Delete");

  if (Child->HardwareIds != NULL) {
    ExFreePoolWithTag(Child->HardwareIds, 0);
    Child->HardwareIds = NULL;
  }

  TRACE_DETAIL("\tDeleting PDO: 0x%x\n", (ULONG)(ULONG_PTR)ChildDevice);

  Child->Deleted = TRUE;
  IoDeleteDevice(ChildDevice);

  TRACE_EXIT("Pdo_Delete");
}
