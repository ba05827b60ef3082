// Test support: every scenario test rerun under the platform's failures.
//
// VELMORA_FAULT_SWEEP=systematic runs each test of the executable once to
// count its calls of each fault point, then once per call with that call
// failing (pool, device, link, attach, request, power request, the device
// below refusing), until a run no longer reaches the nth call.
// VELMORA_FAULT_SWEEP=random:<seed>[:<runs>] instead makes <runs> runs per test
// (default 8), each failing a seeded random call of about half the points.
//
// Each run is a child process, so a crash or a hang names its run and the
// sweep goes on. Under injection the test's own expectations are muted (a
// plug-in refused for lack of resources is right); what is checked is what
// must hold whatever failed: the verifier silent, nothing left behind, and
// every status a process got back is one the driver answers for that code.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "khost.h"

namespace velmora_test::sweep {

// True in a sweep's child process: the fixture arms and reports instead of asserting.
bool InRun();
// Called by the fixture after the host was reset: arms this run's failures.
void ArmRun();
// Called by the fixture as its teardown begins: from here on a failed
// expectation no longer ends the test early.
void StartTeardown();
// Called by the fixture once the scenario is torn down and leak-checked:
// sends the verifier's reports, the statuses and whether anything was injected.
void ReportRun(bool testFailed);

// The statuses the bus answers a process's request with, for each control
// code (and for a code it does not know), including what the I/O manager
// answers before the driver sees the request.
bool DocumentedStatus(ULONG code, NTSTATUS status);

// The test executables' main: runs the tests, or the sweep when asked.
int Main(int argc, char** argv);

}  // namespace velmora_test::sweep
