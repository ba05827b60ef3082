// Velmora bus driver: device extensions, shared records, pool tag, trace
// macros and the routines every part of the driver calls.
#pragma once

#include <ntddk.h>

#include "velmora_callback.h"
#include "velmora_ioctl.h"

// Every allocation carries "TBus"; every free passes tag 0.
#define VELMORA_POOL_TAG 0x73754254u
// The remove lock's tag, "suBC" in memory.
#define VELMORA_REMOVE_LOCK_TAG 0x43427573u
#define VELMORA_REMOVE_LOCK_HIGH_WATERMARK 10u
// 256 buckets of serial numbers: 4 KiB of the bus's extension, and some forty
// children per bucket with ten thousand plugged in.
#define CHILD_SERIAL_BUCKET_BITS 8u
#define CHILD_SERIAL_BUCKETS (1u << CHILD_SERIAL_BUCKET_BITS)

// ------------------------------------------------------------------ tracing
// Written from outside (a debugger, or the kernel host's tests); the driver
// only reads it, so nothing is printed until someone asks for it.
// (A declaration: the one definition is constant-initialised to 0.)
extern "C" volatile ULONG TraceMask;  // NOLINT(bugprone-dynamic-static-initializers)

#define TRACE_ENTRY_BIT 0x1u
#define TRACE_EXIT_BIT 0x10u
#define TRACE_DETAIL_BIT 0x100u

#define TRACE_ENTER(Name)                  \
  do {                                     \
    if (TraceMask & TRACE_ENTRY_BIT) {     \
      DbgPrint("Velmora===>");             \
      DbgPrint("%s", (Name));              \
      DbgPrint("\r\n");                    \
    }                                      \
  } while (0)

#define TRACE_EXIT(Name)                   \
  do {                                     \
    if (TraceMask & TRACE_EXIT_BIT) {      \
      DbgPrint("Velmora<===");             \
      DbgPrint("%s", (Name));              \
      DbgPrint("\r\n");                    \
    }                                      \
  } while (0)

#define TRACE_EXIT_STATUS(Name, Status)                                      \
  do {                                                                       \
    if (TraceMask & TRACE_EXIT_BIT) {                                        \
      DbgPrint("Velmora<===%s, NTSTATUS:%x", (Name), (ULONG)(Status));       \
      DbgPrint("\r\n");                                                      \
    }                                                                        \
  } while (0)

#define TRACE_DETAIL(...)                  \
  do {                                     \
    if (TraceMask & TRACE_DETAIL_BIT) {    \
      DbgPrint("Velmora===: ");            \
      DbgPrint(__VA_ARGS__);               \
      DbgPrint("\r\n");                    \
    }                                      \
  } while (0)

// ------------------------------------------------------------------ records
typedef enum _PNP_STATE : ULONG {
  StateNotStarted = 0,
  StateStarted = 1,
  StateStopPending = 2,
  StateStopped = 3,
  StateRemovePending = 4,
  StateSurpriseRemoved = 5,
  StateDeleted = 6,
} PNP_STATE;

typedef struct _EXTENSION_HEADER {
  PDEVICE_OBJECT Self;
  BOOLEAN IsFdo;
  PNP_STATE PnpState;
  PNP_STATE PreviousPnpState;
} EXTENSION_HEADER, *PEXTENSION_HEADER;

typedef struct _BUS_EXTENSION {
  EXTENSION_HEADER Header;
  PDEVICE_OBJECT NextLower;
  PDEVICE_OBJECT UnderlyingPdo;
  volatile LONG OpenHandleCount;
  IO_REMOVE_LOCK RemoveLock;
  LIST_ENTRY ChildList;
  ULONG ChildCount;
  KSPIN_LOCK ChildListLock;
  // ChildList again, by serial number: a child is on the bucket its number
  // hashes to exactly while it is on ChildList, so a plug-in's duplicate check
  // reads the few children that could share the number, not every child.
  LIST_ENTRY SerialBuckets[CHILD_SERIAL_BUCKETS];
  NETBUS_CALLBACK ChildCallback;
  PVOID ChildContext;
  PKEVENT UserEvent;
  LIST_ENTRY SendQueue;
  ULONG SendCount;
  KSPIN_LOCK SendLock;
  BOOLEAN FlowOn;
  BOOLEAN SendQueueReady;
  // Calls into ChildCallback under way (CHILD_CALL records on the callers'
  // stacks) and registration changes waiting for them, all under SendLock.
  // Each call notes the registration epoch it began in and its thread; a
  // change bumps the epoch and waits for every older call except those of its
  // own thread, so a child driver that unregisters from inside its callback
  // never waits for itself, and is never called again once the change returns.
  ULONG ChildCallEpoch;
  LIST_ENTRY ChildCalls;
  LIST_ENTRY ChildCallWaiters;
} BUS_EXTENSION, *PBUS_EXTENSION;

// What the walks of the bus's lists read (the links, the flags, the serial
// number, the header's device and state) comes first, in the extension's
// first cache line: with thousands of children every child a walk visits is
// a miss, and one line each is half the misses of two.
typedef struct _CHILD_EXTENSION {
  EXTENSION_HEADER Header;
  LIST_ENTRY Link;
  BOOLEAN Present;
  BOOLEAN Reported;
  // Set by a relations answer that left this unplugged child out: only then
  // has the Plug and Play manager been told it is gone, and only then may its
  // removal delete it.
  BOOLEAN ReportedMissing;
  // Set just before the device object is deleted; a late removal request that
  // still reaches the child must touch nothing.
  BOOLEAN Deleted;
  // Set by the first relations answer that lists the child. An unplugged child
  // that no answer ever listed is unknown to the Plug and Play manager, which
  // will never send it a removal: the bus deletes it itself.
  BOOLEAN Listed;
  ULONG SerialNo;
  LIST_ENTRY SerialLink;  // on Bus->SerialBuckets, while Link is on ChildList
  SYSTEM_POWER_STATE SystemPowerState;
  DEVICE_POWER_STATE DevicePowerState;
  PDEVICE_OBJECT ParentFdo;
  PWCHAR HardwareIds;
} CHILD_EXTENSION, *PCHILD_EXTENSION;

// One record waiting for the service; a single allocation of Length + 31 bytes.
typedef struct _SEND_ENTRY {
  LIST_ENTRY Link;
  ULONG Length;
  UCHAR Data[1];
} SEND_ENTRY, *PSEND_ENTRY;

#define SEND_ENTRY_OVERHEAD 31u

// One call into the child driver's callback, on the caller's stack.
typedef struct _CHILD_CALL {
  LIST_ENTRY Link;
  HANDLE Thread;
  ULONG Epoch;
} CHILD_CALL, *PCHILD_CALL;

static_assert(FIELD_OFFSET(SEND_ENTRY, Data) + 7 <= SEND_ENTRY_OVERHEAD,
              "a SEND_ENTRY allocation covers its header");

// ------------------------------------------------------------------ state helpers
// Requests on other threads (control requests, opens) test the bus's state
// while Plug and Play changes it, so the state is written, and read there,
// as one atomic value; the remove lock, not this test, is what keeps a
// request out of a removal.
FORCEINLINE PNP_STATE CurrentPnpState(PEXTENSION_HEADER Header) {
  return (PNP_STATE)InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&Header->PnpState), 0, 0);
}

FORCEINLINE VOID SetNewPnpState(PEXTENSION_HEADER Header, PNP_STATE NewState) {
  Header->PreviousPnpState = CurrentPnpState(Header);
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&Header->PnpState), (LONG)NewState);
}

FORCEINLINE VOID RestorePreviousPnpState(PEXTENSION_HEADER Header) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&Header->PnpState), (LONG)Header->PreviousPnpState);
}

// Marks a child deleted and says whether this call did: of two removals that
// race (Wine sends a child two at once when its bus goes away), only one may
// delete it.
FORCEINLINE BOOLEAN ClaimDeletion(PEXTENSION_HEADER Header) {
  const PNP_STATE previous =
      (PNP_STATE)InterlockedExchange(reinterpret_cast<volatile LONG*>(&Header->PnpState), (LONG)StateDeleted);
  if (previous == StateDeleted) {
    return FALSE;
  }
  Header->PreviousPnpState = previous;
  return TRUE;
}

// ------------------------------------------------------------------ child list
// Services number their children 1, 2, 3...: a multiplicative hash spreads
// runs of numbers, and numbers a stride apart, over every bucket.
FORCEINLINE PLIST_ENTRY SerialBucketOf(PBUS_EXTENSION Bus, ULONG SerialNo) {
  return &Bus->SerialBuckets[(ULONG)(SerialNo * 2654435761u) >> (32 - CHILD_SERIAL_BUCKET_BITS)];
}

// ChildListLock held for both: the child joins or leaves ChildList, its
// bucket and the count together.
FORCEINLINE VOID ChildList_Insert(PBUS_EXTENSION Bus, PCHILD_EXTENSION Child) {
  InsertTailList(&Bus->ChildList, &Child->Link);
  InsertTailList(SerialBucketOf(Bus, Child->SerialNo), &Child->SerialLink);
  Bus->ChildCount++;
}

FORCEINLINE VOID ChildList_Remove(PBUS_EXTENSION Bus, PCHILD_EXTENSION Child) {
  RemoveEntryList(&Child->Link);
  RemoveEntryList(&Child->SerialLink);
  Bus->ChildCount--;
}

// ------------------------------------------------------------------ driver frame
// C linkage for the routines placed in discardable or pageable sections: the
// WDK compiler's alloc_text applies only to extern "C" functions.
extern "C" DRIVER_INITIALIZE DriverEntry;
extern "C" DRIVER_UNLOAD netBus_Unload;
DRIVER_DISPATCH BtBus_Create;
DRIVER_DISPATCH netBus_Close;
DRIVER_DISPATCH BtBus_CleanUp;
DRIVER_DISPATCH BtBus_ProcessSysControlIrp;
DRIVER_DISPATCH BtBus_Pnp;
DRIVER_DISPATCH BtBus_DefaultPower;
DRIVER_DISPATCH BtBus_DeviceControl;

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status, ULONG_PTR Information);
NTSTATUS PassDown(PDEVICE_OBJECT BusDevice, PIRP Irp);
NTSTATUS ForwardIrpAndWait(PDEVICE_OBJECT BusDevice, PIRP Irp);
IO_COMPLETION_ROUTINE ForwardCompletion;

NTSTATUS ChildInit(PCHILD_EXTENSION Child, PBUS_PLUGIN_REQUEST Request, PBUS_EXTENSION Bus,
                   PDEVICE_OBJECT ChildDevice);
NTSTATUS BtNetDrvInitializeSend(PBUS_EXTENSION Bus);
VOID netBusFreeSendList(PBUS_EXTENSION Bus);

// ------------------------------------------------------------------ control dispatch
NTSTATUS BusFdo_DeviceControl(PDEVICE_OBJECT BusDevice, PIRP Irp);

// ------------------------------------------------------------------ bus device
extern "C" DRIVER_ADD_DEVICE netBus_AddDevice;
NTSTATUS BusFdo_Pnp(PDEVICE_OBJECT BusDevice, PIRP Irp);
NTSTATUS BusFdo_StartDevice(PDEVICE_OBJECT BusDevice, PIRP Irp);
NTSTATUS BusFdo_QueryRemoveDevice(PDEVICE_OBJECT BusDevice, PIRP Irp);
NTSTATUS BusFdo_RemoveDevice(PDEVICE_OBJECT BusDevice, PIRP Irp);
NTSTATUS BusFdo_CancelRemoveDevice(PDEVICE_OBJECT BusDevice, PIRP Irp);
NTSTATUS BusFdo_StopDevice(PDEVICE_OBJECT BusDevice, PIRP Irp);
NTSTATUS BusFdo_QueryStopDevice(PDEVICE_OBJECT BusDevice, PIRP Irp);
NTSTATUS BusFdo_CancelStopDevice(PDEVICE_OBJECT BusDevice, PIRP Irp);
NTSTATUS BusFdo_HandleQueryDeviceRelations(PDEVICE_OBJECT BusDevice, PIRP Irp);
NTSTATUS BusFdo_SurpriseRemoveDevice(PDEVICE_OBJECT BusDevice, PIRP Irp);
VOID FinalRemoveAllPdos(PBUS_EXTENSION Bus);
VOID Pdo_Delete(PDEVICE_OBJECT ChildDevice, PCHILD_EXTENSION Child);
NTSTATUS BusFdo_GetDeviceCapabilities(PDEVICE_OBJECT DeviceObject,
                                      PDEVICE_CAPABILITIES Capabilities);

// ------------------------------------------------------------------ children
NTSTATUS netBus_PlugInDevice(PIRP Irp, PBUS_EXTENSION Bus);
NTSTATUS BtBus_PlugOutDevice(PIRP Irp, PBUS_EXTENSION Bus);
NTSTATUS Pdo_Create(PBUS_EXTENSION Bus, PIRP Irp, PBOOLEAN Duplicate);
NTSTATUS Pdo_PnP(PDEVICE_OBJECT ChildDevice, PIRP Irp);
NTSTATUS ChildRemove(PDEVICE_OBJECT ChildDevice, PCHILD_EXTENSION Child);
NTSTATUS CommonPdo_QueryDeviceRelations(PCHILD_EXTENSION Child, PIRP Irp);
NTSTATUS CommonPdo_QueryDeviceId(PCHILD_EXTENSION Child, PIRP Irp);
NTSTATUS CommonPdo_QueryDeviceText(PCHILD_EXTENSION Child, PIRP Irp);
NTSTATUS CommonPdo_QueryDeviceCaps(PCHILD_EXTENSION Child, PIRP Irp);
NTSTATUS Pdo_Power(PDEVICE_OBJECT ChildDevice, PIRP Irp, PCHILD_EXTENSION Child);
REQUEST_POWER_COMPLETE CommonPdo_PoRequestComplete;

// ------------------------------------------------------------------ message channel
NTSTATUS netBus_ExchangeCallBack(PIRP Irp, PBUS_EXTENSION Bus);
NTSTATUS netBusCallback(PNETBUS_MESSAGE Message, PVOID Context);
NTSTATUS netBus_PutMessage(PIRP Irp, PBUS_EXTENSION Bus);
NTSTATUS netBus_SendData_Handler(PNETBUS_MESSAGE Message, PBUS_EXTENSION Bus);
NTSTATUS CORVANE_GET_MSG_Handler(PIRP Irp, PBUS_EXTENSION Bus);
NTSTATUS CORVANE_PASS_EVENT_Handler(PIRP Irp, PBUS_EXTENSION Bus);
NTSTATUS CORVANE_DELETE_EVENT_Handler(PIRP Irp, PBUS_EXTENSION Bus);
VOID hlpResetForCorvane(PBUS_EXTENSION Bus);
// A call into ChildCallback: Enter with SendLock held and the pair just
// copied; Leave with no lock held, once the call has returned.
VOID ChildCallEnterLocked(PBUS_EXTENSION Bus, PCHILD_CALL Call);
VOID ChildCallLeave(PBUS_EXTENSION Bus, PCHILD_CALL Call);
