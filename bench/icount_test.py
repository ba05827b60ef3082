"""The instruction counter's reading of callgrind output: which code is the
driver's and which of its calls count as its own."""

import os
import shutil
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "scripts"))
import icount  # noqa: E402

# A driver routine (with host header code inlined into it) that copies, fills,
# allocates from the pool and completes a request; a host routine; a C
# library routine. Costs are distinct powers of two so any mix-up shows.
CALLGRIND_OUT = """version: 1
creator: callgrind-3.19.0
events: Ir
fl=/src/build/default/../../channel/queue.cpp
fn=netBus_SendData_Handler
10 1
fi=/src/host/include/wdm.h
20 2
fe=/src/build/default/../../channel/queue.cpp
cfl=./string/../sysdeps/x86_64/multiarch/memmove-vec-unaligned-erms.S
cfn=__memcpy_avx_unaligned_erms
calls=1 0
11 4
cfn=__memset_avx2_unaligned_erms
calls=1 0
12 8
cfl=/src/build/default/../../host/src/ex.cpp
cfn=ExAllocatePoolWithTag
calls=1 0
13 16
cfn=IofCompleteRequest'2
calls=1 0
14 32
fl=/other/checkout/build/default/../../host/src/ex.cpp
fn=ExAllocatePoolWithTag
5 64
cfn=memset
calls=1 0
6 128
fl=/other/checkout/build/default/../../control/netbus_deviceio.cpp
fn=BusFdo_DeviceControl
7 256
fl=./string/../sysdeps/x86_64/multiarch/memmove-vec-unaligned-erms.S
fn=__memcpy_avx_unaligned_erms
0 512

totals: 4095
"""


class IcountTest(unittest.TestCase):
    def setUp(self):
        self.work = tempfile.mkdtemp(prefix="velmora-icount-test-")

    def tearDown(self):
        shutil.rmtree(self.work)

    def test_driver_folders(self):
        for path, driver in [
            ("/src/build/default/../../channel/queue.cpp", True),
            ("/elsewhere/build/default/../../control/netbus_deviceio.cpp", True),
            ("/src/include/velmora.h", True),
            ("/src/host/include/wdm.h", False),
            ("/src/host/src/io.cpp", False),
            ("/src/tests/support/passthrough_driver.cpp", False),
            ("/src/samples/childdrv/childdrv.cpp", False),
            ("./string/../sysdeps/x86_64/multiarch/memmove-vec-unaligned-erms.S", False),
            ("queue.cpp", False),
        ]:
            self.assertEqual(icount.in_driver_folder(path), driver, path)

    def test_driver_own_is_its_code_and_its_copies(self):
        path = os.path.join(self.work, "callgrind.out")
        with open(path, "w", encoding="utf-8") as out:
            out.write(CALLGRIND_OUT)
        # 1 + 2 (inlined) + 4 + 8 (its copy and fill) + 256 (another driver
        # routine); not the pool, the completion, or the host's own fill.
        self.assertEqual(icount.parse(path), (4095, 1 + 2 + 4 + 8 + 256))

    def test_check_fails_what_grew_past_the_tolerance(self):
        baseline = {"a": 1000, "b": 1000, "c": 1000, "d": 1000, "gone": 5}
        for measured, worse in [
            ({"a": 1100, "b": 900, "c": 1000, "d": 1, "gone": 5}, []),  # 10% exactly is allowed; less is fine
            ({"a": 1101, "b": 1000, "c": 1000, "d": 1000, "gone": 5}, ["a"]),
            ({"a": 1000, "b": 0, "c": 1000, "d": 1000, "gone": 5}, ["b"]),  # counting broke
            ({"a": 1000, "b": 1000, "c": 1000, "d": 1000}, ["gone"]),
            ({"a": 1000, "b": 1000, "c": 1000, "d": 1000, "gone": 5, "new": 1}, ["new"]),
        ]:
            self.assertEqual(icount.compare(baseline, measured)[1], worse, measured)

    def test_baseline_reading_skips_comments(self):
        path = os.path.join(self.work, "baseline.txt")
        with open(path, "w", encoding="utf-8") as baseline:
            baseline.write("# header\nrelay.16.total 100  # trailing\n\ncycle.driver 7\n")
        self.assertEqual(icount.read_baseline(path), {"relay.16.total": 100, "cycle.driver": 7})


if __name__ == "__main__":
    unittest.main()
