// Dispatch routers: one per major function. Each looks at the extension of the
// target device and sends the request to the bus side or to the child side.
#include <ntddk.h>

#include "velmora.h"

namespace {

PEXTENSION_HEADER HeaderOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PEXTENSION_HEADER>(DeviceObject->DeviceExtension);
}

// A child is the bottom of its stack and nothing lies below it: a request it
// has no use for is completed with whatever status it arrived with, which
// keeps any answer a driver above already put there.
NTSTATUS CompleteWithArrivalStatus(PIRP Irp) {
  NTSTATUS status = Irp->IoStatus.Status;

  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

}  // namespace

// An open of the control device. The service may hold it open only while the
// bus is started: an open before start, or once stop or removal has begun, is
// refused so that nothing can reach a bus that is not ready. Every open that
// succeeds is counted, since query-stop and query-remove refuse while the
// service still holds a handle. A child has nothing of its own to open. The
// file name is not terminated; it is printed within its counted length.
NTSTATUS BtBus_Create(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PEXTENSION_HEADER header = HeaderOf(DeviceObject);
  PFILE_OBJECT fileObject = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  NTSTATUS status;

  TRACE_ENTER("BtBus_Create");

  if (fileObject != NULL && fileObject->FileName.Buffer != NULL) {
    TRACE_DETAIL("FileName: %.*ws", (LONG)(fileObject->FileName.Length / sizeof(WCHAR)),
                 fileObject->FileName.Buffer);
  } else {
    TRACE_DETAIL("FileName: %.*ws", (LONG)0, L"");
  }

  if (header->IsFdo) {
    PBUS_EXTENSION bus = CONTAINING_RECORD(header, BUS_EXTENSION, Header);

    if (CurrentPnpState(&bus->Header) == StateStarted) {
      InterlockedIncrement(&bus->OpenHandleCount);
      status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
    } else {
      status = CompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    }
  } else {
    status = CompleteWithArrivalStatus(Irp);
  }

  TRACE_EXIT_STATUS("BtBus_Create", status);
  return status;
}

// The last reference to a file object on the bus is gone. The I/O manager
// sends a close only for an open that succeeded, so every close undoes exactly
// one count taken in BtBus_Create.
NTSTATUS netBus_Close(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PEXTENSION_HEADER header = HeaderOf(DeviceObject);
  NTSTATUS status;

  TRACE_ENTER("netBus_Close");

  if (header->IsFdo) {
    PBUS_EXTENSION bus = CONTAINING_RECORD(header, BUS_EXTENSION, Header);

    InterlockedDecrement(&bus->OpenHandleCount);
    status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
  } else {
    status = CompleteWithArrivalStatus(Irp);
  }

  TRACE_EXIT("netBus_Close");
  return status;
}

// The last handle to a file object was closed. The bus queues no requests per
// file object, so there is nothing to cancel: cleanup simply succeeds.
NTSTATUS BtBus_CleanUp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status;

  TRACE_ENTER("BtBus_CleanUp");

  if (HeaderOf(DeviceObject)->IsFdo) {
    status = CompleteRequest(Irp, STATUS_SUCCESS, 0);
  } else {
    status = CompleteWithArrivalStatus(Irp);
  }

  TRACE_EXIT_STATUS("BtBus_CleanUp", status);
  return status;
}

// WMI requests. The bus registers no WMI provider of its own, so on the bus
// device the request belongs to the drivers below and goes down untouched; a
// child, with nothing below it, completes it as it came.
NTSTATUS BtBus_ProcessSysControlIrp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status;

  TRACE_ENTER("BtBus_ProcessSysControlIrp");

  if (HeaderOf(DeviceObject)->IsFdo) {
    status = PassDown(DeviceObject, Irp);
  } else {
    status = CompleteWithArrivalStatus(Irp);
  }

  TRACE_EXIT_STATUS("BtBus_ProcessSysControlIrp", status);
  return status;
}

// Plug and Play requests, sent by the Plug and Play manager at PASSIVE_LEVEL,
// one at a time per device. The bus device is a function driver over its root
// device; a child is a physical device object and finishes every request
// itself. The extension is read before the handler runs: a removal deletes the
// device, and nothing may touch it afterwards.
NTSTATUS BtBus_Pnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status;

  TRACE_ENTER("BtBus_Pnp");

  if (HeaderOf(DeviceObject)->IsFdo) {
    status = BusFdo_Pnp(DeviceObject, Irp);
  } else {
    status = Pdo_PnP(DeviceObject, Irp);
  }

  TRACE_EXIT_STATUS("BtBus_Pnp", status);
  return status;
}

// Power requests. The bus has no hardware and no power policy of its own: it
// lets the power manager start the next request and passes this one to the
// device below unchanged. A child is the bottom of its stack and answers for
// its own power state in Pdo_Power.
NTSTATUS BtBus_DefaultPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PEXTENSION_HEADER header = HeaderOf(DeviceObject);
  NTSTATUS status;

  TRACE_ENTER("BtBus_DefaultPower");

  if (header->IsFdo) {
    PBUS_EXTENSION bus = CONTAINING_RECORD(header, BUS_EXTENSION, Header);

    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    status = PoCallDriver(bus->NextLower, Irp);
  } else {
    PCHILD_EXTENSION child = CONTAINING_RECORD(header, CHILD_EXTENSION, Header);

    status = Pdo_Power(DeviceObject, Irp, child);
  }

  TRACE_EXIT_STATUS("BtBus_DefaultPower", status);
  return status;
}

// Device-control and internal device-control requests behave alike. On the bus
// they are the service's (and the child drivers') control traffic. On a child,
// the only request the bus understands is the callback exchange a child's
// function driver sends down its own stack; it is answered by the parent bus.
// A child that final removal has detached has no bus left to answer it, and the
// request is refused as it would be by a bus that is no longer started.
NTSTATUS BtBus_DeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PEXTENSION_HEADER header = HeaderOf(DeviceObject);

  if (header->IsFdo) {
    return BusFdo_DeviceControl(DeviceObject, Irp);
  }

  if (IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode !=
      IOCTL_NETBUS_EXCHANGE_CALLBACK) {
    return CompleteWithArrivalStatus(Irp);
  }

  PCHILD_EXTENSION child = CONTAINING_RECORD(header, CHILD_EXTENSION, Header);
  PDEVICE_OBJECT parent = child->ParentFdo;
  if (parent == NULL) {
    // Answered without any data: Information stays as the request brought it.
    return CompleteRequest(Irp, STATUS_DEVICE_NOT_CONNECTED, Irp->IoStatus.Information);
  }

  PBUS_EXTENSION bus = static_cast<PBUS_EXTENSION>(parent->DeviceExtension);
  return BusFdo_DeviceControl(bus->Header.Self, Irp);
}
