// Setting up and tearing down what the extensions own: a child's record and
// the bus's upward queue.
#include <ntddk.h>

#include "velmora.h"

namespace {

// Frees records already taken off SendQueue. Called with SendLock released:
// the lock is held only to unlink, never across the frees.
VOID FreeSendEntries(PLIST_ENTRY Entries) {
  while (!IsListEmpty(Entries)) {
    PSEND_ENTRY entry = CONTAINING_RECORD(RemoveHeadList(Entries), SEND_ENTRY, Link);
    ExFreePoolWithTag(entry, 0);
  }
}

// Moves every queued record onto Entries and leaves SendQueue empty. Called
// with SendLock held.
VOID TakeAllSendEntries(PBUS_EXTENSION Bus, PLIST_ENTRY Entries) {
  while (!IsListEmpty(&Bus->SendQueue)) {
    InsertTailList(Entries, RemoveHeadList(&Bus->SendQueue));
  }
  Bus->SendCount = 0;
}

}  // namespace

// Fills a new child's extension from a plug-in request that has already been
// validated. The child keeps its own copy of the hardware IDs, in non-paged
// pool: the request's buffer goes away when the request completes, and the
// IDs are read again whenever the Plug and Play manager queries them. If the
// copy cannot be made the extension is left as it was (zero) and the caller
// deletes the device object.
NTSTATUS ChildInit(PCHILD_EXTENSION Child, PBUS_PLUGIN_REQUEST Request, PBUS_EXTENSION Bus,
                   PDEVICE_OBJECT ChildDevice) {
  const SIZE_T idBytes = (SIZE_T)Request->Size - BUS_PLUGIN_REQUEST_HEADER_SIZE;

  PWCHAR hardwareIds =
      static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, idBytes, VELMORA_POOL_TAG));
  if (hardwareIds == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  RtlCopyMemory(hardwareIds, reinterpret_cast<const UCHAR*>(Request) + BUS_PLUGIN_REQUEST_HEADER_SIZE,
                idBytes);

  Child->HardwareIds = hardwareIds;
  Child->SerialNo = Request->SerialNo;
  Child->ParentFdo = Bus->Header.Self;
  Child->Present = TRUE;
  Child->Reported = FALSE;
  Child->ReportedMissing = FALSE;
  Child->Deleted = FALSE;
  Child->Header.Self = ChildDevice;
  Child->Header.IsFdo = FALSE;
  Child->Header.PnpState = StateNotStarted;
  Child->Header.PreviousPnpState = StateNotStarted;
  Child->SystemPowerState = PowerSystemWorking;
  Child->DevicePowerState = PowerDeviceD3;
  return STATUS_SUCCESS;
}

// Makes the upward queue empty and ready. AddDevice calls it once the queue's
// list head and SendLock exist; a pass-event request calls it again after a
// reset. Records the child driver pushed meanwhile (the push path does not look
// at readiness) are freed here rather than left to leak on a list we are about
// to forget. FlowOn is deliberately left alone: a drained queue whose flow was
// stopped lets the next delivered record restart it.
NTSTATUS BtNetDrvInitializeSend(PBUS_EXTENSION Bus) {
  LIST_ENTRY stale;
  KIRQL oldIrql;

  TRACE_ENTER("BtNetDrvInitializeSend.");

  InitializeListHead(&stale);

  oldIrql = KeAcquireSpinLockRaiseToDpc(&Bus->SendLock);
  TakeAllSendEntries(Bus, &stale);
  Bus->SendQueueReady = TRUE;
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);

  FreeSendEntries(&stale);

  TRACE_EXIT("<<BtNetDrvInitializeSend");
  return STATUS_SUCCESS;
}

// Discards every record still waiting for the service and marks the queue not
// ready, so a second drain (removal after a reset, or the other way round) does
// nothing. Used when the service withdraws its event and when the bus goes away.
VOID netBusFreeSendList(PBUS_EXTENSION Bus) {
  LIST_ENTRY stale;
  BOOLEAN wasReady;
  KIRQL oldIrql;

  TRACE_ENTER("netBusFreeSendList.");

  InitializeListHead(&stale);

  oldIrql = KeAcquireSpinLockRaiseToDpc(&Bus->SendLock);
  wasReady = Bus->SendQueueReady;
  if (wasReady) {
    TakeAllSendEntries(Bus, &stale);
    Bus->SendQueueReady = FALSE;
  }
  KeReleaseSpinLock(&Bus->SendLock, oldIrql);

  if (wasReady) {
    TRACE_DETAIL("Begein remove pending sending");
    FreeSendEntries(&stale);
  }

  TRACE_EXIT("netBusFreeSendList.");
}
