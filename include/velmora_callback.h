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
// Leaving: MSG_UNREGISTER sent at PASSIVE_LEVEL (and an exchange that replaces
// a registration) returns only once no call into the old ChildCallback is
// under way; after that the bus never calls it again, and the child driver may
// free its context. Send neither from inside ChildCallback: it would wait for
// itself. Sent at DISPATCH_LEVEL, MSG_UNREGISTER cannot wait.
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
