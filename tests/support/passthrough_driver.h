// Test support: a minimal function driver for the bus's children. It attaches
// on a child, passes every request down and goes away on removal, as a real
// function driver's skeleton does. Tests load it with khost::LoadDriver.
#pragma once

#include <ntddk.h>

extern "C" DRIVER_INITIALIZE Passthrough_DriverEntry;

// The function device a passthrough instance created on a child, or null.
PDEVICE_OBJECT PassthroughDeviceOn(PDEVICE_OBJECT childPdo);
