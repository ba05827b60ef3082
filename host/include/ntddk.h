// Kernel host: the driver-kit umbrella header. Everything lives in wdm.h.
#pragma once
#include "wdm.h"
