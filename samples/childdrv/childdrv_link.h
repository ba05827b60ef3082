// Velmora sample child function driver, inside: the link with the bus, as the
// Plug and Play handlers use it. All of these run at PASSIVE_LEVEL.
#pragma once

#include "childdrv.h"

// C linkage: the WDK compiler places only such routines with alloc_text.
extern "C" {

// Once, from DriverEntry: the driver's list of instances and its link mutex.
VOID ChildDrv_LinkInitialize(VOID);
// A new instance (AddDevice), not yet started.
VOID ChildDrv_LinkAdd(PCHILDDRV_EXTENSION Extension);
// The child has started: take the link (the exchange). Fails with the
// exchange's status.
NTSTATUS ChildDrv_LinkStart(PCHILDDRV_EXTENSION Extension);
// The child is going (surprise removal): give the link up and hand it on.
VOID ChildDrv_LinkLeave(PCHILDDRV_EXTENSION Extension);
// Removal: leave, and off the driver's list for good.
VOID ChildDrv_LinkRemove(PCHILDDRV_EXTENSION Extension);

}  // extern "C"
