// Control-request dispatch on the bus device: the service's requests and the
// child drivers' callback exchange all arrive here, under both device-control
// majors.
#include <ntddk.h>

#include "velmora.h"

namespace {

// A control handler reads its input from the system buffer, sets the
// information field itself when it answers with data, and returns a status.
// It never completes the request and never releases the remove lock.
typedef NTSTATUS (*CONTROL_HANDLER)(PIRP Irp, PBUS_EXTENSION Bus);

typedef struct _CONTROL_ENTRY {
  ULONG IoControlCode;
  CONTROL_HANDLER Handler;
} CONTROL_ENTRY;

const CONTROL_ENTRY ControlTable[] = {
    {IOCTL_NETBUS_PLUG_IN, netBus_PlugInDevice},
    {IOCTL_NETBUS_PLUG_OUT, BtBus_PlugOutDevice},
    {IOCTL_NETBUS_EXCHANGE_CALLBACK, netBus_ExchangeCallBack},
    {IOCTL_CORVANE_PASS_EVENT, CORVANE_PASS_EVENT_Handler},
    {IOCTL_CORVANE_DELETE_EVENT, CORVANE_DELETE_EVENT_Handler},
    {IOCTL_CORVANE_GET_MSG, CORVANE_GET_MSG_Handler},
    {IOCTL_CORVANE_PUT_MSG, netBus_PutMessage},
};

CONTROL_HANDLER FindControlHandler(ULONG IoControlCode) {
  for (SIZE_T i = 0; i < ARRAYSIZE(ControlTable); i++) {
    if (ControlTable[i].IoControlCode == IoControlCode) {
      return ControlTable[i].Handler;
    }
  }
  return NULL;
}

}  // namespace

// Runs in the requesting thread. Only a started bus takes control requests:
// before start and once stop or removal has begun there is nothing to serve.
// The remove lock is held for the whole handler, so bus removal waits for every
// request already inside; a request that passed the state test just before
// removal began is turned away here instead. The request is completed with the
// handler's status and whatever information the handler set (none unless it
// answers with data), and an unknown code reaches no handler and leaves the
// information field alone.
NTSTATUS BusFdo_DeviceControl(PDEVICE_OBJECT BusDevice, PIRP Irp) {
  PBUS_EXTENSION bus = static_cast<PBUS_EXTENSION>(BusDevice->DeviceExtension);
  NTSTATUS status;

  if (CurrentPnpState(&bus->Header) != StateStarted) {
    TRACE_DETAIL("Device is not started !");
    return CompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }

  status = IoAcquireRemoveLock(&bus->RemoveLock, Irp);
  if (!NT_SUCCESS(status)) {
    TRACE_DETAIL("Device delete pending !");
    return CompleteRequest(Irp, STATUS_DELETE_PENDING, 0);
  }

  CONTROL_HANDLER handler =
      FindControlHandler(IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode);
  if (handler != NULL) {
    // Not every I/O manager hands the request over with a zero information
    // field; a handler that answers no data must still report none.
    Irp->IoStatus.Information = 0;
    status = handler(Irp, bus);
  } else {
    status = STATUS_NOT_SUPPORTED;
  }

  // A handler that pends keeps the request and the remove lock and finishes
  // both itself. None does today.
  if (status == STATUS_PENDING) {
    return status;
  }

  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  IoReleaseRemoveLock(&bus->RemoveLock, Irp);
  return status;
}
