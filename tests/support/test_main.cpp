// The test executables' entry: the tests as written, or, when
// VELMORA_FAULT_SWEEP asks, each of them rerun under the platform's failures.
#include "fault_sweep.h"

int main(int argc, char** argv) { return velmora_test::sweep::Main(argc, argv); }
