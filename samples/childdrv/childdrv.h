// Velmora sample child function driver: the reference for drivers that run on
// the bus's virtual children. Include after <ntddk.h>.
//
// Which devices
//   It is the function driver of every child whose compatible ID is
//   "{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\ZAMBthCompatibleDevice". It
//   attaches one unnamed device object on the child and passes every request
//   it has no part in down the child's stack.
//
// The link with the bus
//   When a child has started, the driver sends IOCTL_NETBUS_EXCHANGE_CALLBACK
//   down that child's stack as a kernel-mode internal device-control request
//   (16 bytes of input; at offset 8 a pointer to the CALLBACK_EXCHANGE in the
//   device's extension). If the exchange fails, the start fails with its status:
//   a device without its link could move no data.
//   The bus keeps one child callback: the instance that started last holds the
//   link. The holder gives it up when its child is surprise-removed or removed
//   (MSG_UNREGISTER, at PASSIVE_LEVEL, before the device goes) and hands it to
//   another started instance if there is one (a new exchange on that one's
//   stack). An instance that does not hold the link sends nothing on leaving.
//
// Records put down to it (ChildDrv_BusMessage, its NETBUS_CALLBACK)
//   Tag 0x20, MsgId 1, 2, 3, 4 or 8  data from the service. A payload of 1 to
//                                    CHILDDRV_MAX_ECHO_LENGTH bytes is echoed
//                                    at once: MSG_SEND_DATA with the same Length
//                                    and payload bytes. An empty record is taken
//                                    and has nothing to echo; a longer one is
//                                    refused (STATUS_INVALID_PARAMETER).
//   Tag 0x20, MsgId 9                the service's own id 9: taken, not echoed,
//                                    no effect on flow control.
//   Tag 0, MsgId 9                   MSG_QUEUE_DRAINED from the bus.
//   anything else                    refused (STATUS_NOT_SUPPORTED), no effect.
//   The bus ignores the callback's answer; the counters below record it.
//   So the service needs a fetch buffer of CHILDDRV_MAX_ECHO_LENGTH + 11 bytes
//   never to lose an echo as too large.
//
// What it sends up: MSG_SEND_DATA (the echoes) and MSG_UNREGISTER. Nothing else.
//
// What it prints (DbgPrint), for tests on any kernel: for every Plug and Play
// request "velmorachild: device N: pnp 0xMM" (N counts the devices in the order
// they were added, MM is the minor code) and for every MSG_QUEUE_DRAINED
// "velmorachild: device N: queue drained".
//
// Flow control
//   The bus says when its queue has drained (MSG_QUEUE_DRAINED), never when it
//   has grown past its high mark. The driver counts its own pushes since the
//   flow last opened (start, or MSG_QUEUE_DRAINED): once that count is above
//   VELMORA_QUEUE_HIGH_MARK the queue may be over its limit, and FlowOff says so.
//   It keeps pushing then and counts those pushes (PushedWhileFlowOff): every
//   record it has is an echo the service asked for, the bus's queue has no
//   upper bound, and its count is only an upper bound on what the service has
//   left unfetched. Holding records back on that count could wait forever for
//   a MSG_QUEUE_DRAINED that never comes, once the service has kept the queue
//   short. MSG_QUEUE_DRAINED clears FlowOff and restarts the count. A driver
//   with a data source of its own would slow that source while FlowOff is set.
//
// IRQL
//   ChildDrv_BusMessage runs at the IRQL of the bus's caller, up to
//   DISPATCH_LEVEL, on any number of processors at once: it is resident, uses
//   only non-paged memory and one spin lock, and waits for nothing. It calls the
//   bus (the echo) with no lock of its own held. Plug and Play work, the
//   exchange and MSG_UNREGISTER run at PASSIVE_LEVEL.
#pragma once

#include "velmora_callback.h"

// Every allocation of the sample carries "CDrv".
#define CHILDDRV_POOL_TAG 0x76724443u
#define CHILDDRV_REMOVE_LOCK_TAG 0x6B6C7243u  // "CrlK"

// The largest payload echoed back up.
#define CHILDDRV_MAX_ECHO_LENGTH 2048u

typedef struct _CHILDDRV_EXTENSION {
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT LowerDevice;  // the device we attached to (the child)
  PDEVICE_OBJECT Pdo;
  ULONG Number;  // 1 for the first device added since the driver was loaded
  IO_REMOVE_LOCK RemoveLock;

  // Under the driver's link mutex (PASSIVE_LEVEL).
  LIST_ENTRY Instances;   // on the driver's list of instances
  BOOLEAN Started;        // may hold the link
  BOOLEAN HoldsLink;      // the bus's child callback is ours
  NTSTATUS LinkStatus;    // the last exchange sent for this instance
  // Filled by the bus's answer to the exchange.
  CALLBACK_EXCHANGE Exchange;

  // Under CountersLock, at up to DISPATCH_LEVEL.
  KSPIN_LOCK CountersLock;
  ULONG Received;           // records taken (ids 1-4, 8 and the service's 9)
  ULONG Echoed;             // echoes the bus accepted
  ULONG EchoFailed;         // echoes lost: no memory, or the bus refused them
  ULONG Refused;            // records not taken (unknown, too long)
  ULONG Drained;            // MSG_QUEUE_DRAINED notifications
  ULONG PushedSinceDrained; // pushes since the flow last opened
  ULONG PushedWhileFlowOff; // pushes made while FlowOff was already set
  BOOLEAN FlowOff;          // PushedSinceDrained > VELMORA_QUEUE_HIGH_MARK
} CHILDDRV_EXTENSION, *PCHILDDRV_EXTENSION;

// The callback the driver registers with the bus; Context is its extension.
NTSTATUS ChildDrv_BusMessage(PNETBUS_MESSAGE Message, PVOID Context);
