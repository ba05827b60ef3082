// Velmora bus: the kernel-mode callback link between the bus and a child's
// function driver. Include after <ntddk.h> (or <wdm.h>).
//
// A child driver sends IOCTL_NETBUS_EXCHANGE_CALLBACK to its child device as a
// kernel-mode internal device-control request whose 16-byte input holds, at
// offset 8, a pointer to its CALLBACK_EXCHANGE. The bus fills BusCallback and
// BusContext and keeps ChildCallback and ChildContext. Either side then passes
// NETBUS_MESSAGE records by calling the other's callback; a record is valid
// only for the duration of the call. Both callbacks may run at up to
// DISPATCH_LEVEL and must touch only non-paged memory.
//
// Leaving: from the moment MSG_UNREGISTER (or an exchange that replaces a
// registration) is made, no new call reaches the old ChildCallback. Sent below
// DISPATCH_LEVEL, it returns only once every other call into the old
// ChildCallback has returned, so the child driver may then free its context;
// sent from inside ChildCallback, it does not wait for that call itself (the
// context must then outlive the callback's return). At DISPATCH_LEVEL the bus
// cannot wait: calls under way may still be running when it returns, and a
// later MSG_UNREGISTER below DISPATCH_LEVEL waits for them too. Do not wait,
// inside ChildCallback, for another thread that is unregistering: it waits for
// this call.
#pragma once

#include "velmora_ioctl.h"

typedef NTSTATUS (*NETBUS_CALLBACK)(PNETBUS_MESSAGE Message, PVOID Context);

typedef struct _CALLBACK_EXCHANGE {
  NETBUS_CALLBACK BusCallback;  // written by the bus
  PVOID BusContext;             // written by the bus
  NETBUS_CALLBACK ChildCallback;
  PVOID ChildContext;
} CALLBACK_EXCHANGE, *PCALLBACK_EXCHANGE;

// Input of IOCTL_NETBUS_EXCHANGE_CALLBACK.
typedef struct _CALLBACK_EXCHANGE_REQUEST {
  ULONG_PTR Reserved;
  PCALLBACK_EXCHANGE Exchange;
} CALLBACK_EXCHANGE_REQUEST, *PCALLBACK_EXCHANGE_REQUEST;

#ifdef __cplusplus
static_assert(sizeof(CALLBACK_EXCHANGE) == 32, "four pointer-sized fields");
static_assert(sizeof(CALLBACK_EXCHANGE_REQUEST) == 16, "exchange input is 16 bytes");
static_assert(__builtin_offsetof(CALLBACK_EXCHANGE_REQUEST, Exchange) == 8, "pointer at 8");
#endif
