// Request helpers shared by every handler: finish a request, hand it to the
// device below the bus, or send it down and wait for it to come back.
#include <ntddk.h>

#include "velmora.h"

// The one place a request this driver owns is completed with its final status
// and information. The bus is a software device, so no priority boost is given.
// Returns the status so that handlers can complete and return in one step.
NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Hands a request to the driver below without watching it come back: the
// lower driver sees our stack location's parameters unchanged, and owns the
// request (and its completion) from here on. The status is left as the caller
// set it, since Plug and Play requests carry their answer down in it.
NTSTATUS PassDown(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  PBUS_EXTENSION bus = static_cast<PBUS_EXTENSION>(BusDevice->DeviceExtension);

  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(bus->NextLower, Irp);
}

// Start and the cancel requests must succeed in the lower driver before the
// bus acts on them. The request goes down with our parameters copied and a
// completion routine that stops the completion walk and signals us, so the
// request returns here, still owned by the caller, whether the lower driver
// finished at once or later on another thread. The caller completes it.
// Runs at PASSIVE_LEVEL: it may wait.
NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  PBUS_EXTENSION bus = static_cast<PBUS_EXTENSION>(BusDevice->DeviceExtension);
  KEVENT event;
  NTSTATUS status;

  TRACE_ENTER("ForwardIrpAndWait");

  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, ForwardCompletion, &event, TRUE, TRUE, TRUE);

  status = IoCallDriver(bus->NextLower, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }

  TRACE_EXIT("ForwardIrpAndWait");
  return status;
}

// Completion routine of ForwardIrpAndWait, called by the I/O manager at up to
// DISPATCH_LEVEL. It wakes the waiting thread and claims the request back
// (STATUS_MORE_PROCESSING_REQUIRED): the completion walk stops here, and the
// caller of ForwardIrpAndWait resumes it by completing the request once it
// has acted on the lower driver's answer.
NTSTATUS ForwardCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);

  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}
