// The whole road of one child, end to end, as a first check that the bus and
// the kernel host agree.
#include "bus_harness.h"
#include "kernel_test.h"
#include "passthrough_driver.h"

using velmora_test::BusHarness;

class SmokeTest : public KernelTest {};

TEST_F(SmokeTest, OneChildTravelsFromPlugInToRemoval) {
  TraceMask = 0x111;
  PDRIVER_OBJECT function = khost::LoadDriver(u"passthrough", Passthrough_DriverEntry);
  {
    BusHarness bus;
    khost::Pnp().RegisterFunctionDriver(u"{5A7E90C1-3D42-4b8f-9E16-C07D2B84A3F9}\\ZAMBthCompatibleDevice", function);
    ASSERT_NE(bus.Fdo(), nullptr);
    EXPECT_EQ(bus.Bus()->Header.PnpState, StateStarted);
    NTSTATUS status;
    HANDLE h = bus.Open(&status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(bus.PlugIn(h, 7, {u"VELMORA\\NET", u"VELMORA\\ANY"}), STATUS_SUCCESS);
    bus.Enumerate();
    ASSERT_EQ(bus.ChildNodes().size(), 1u);
    khost::DevNode* child = bus.ChildNodes()[0];
    EXPECT_EQ(khost::Narrow(child->deviceId), "VELMORA\\NET");
    EXPECT_EQ(khost::Narrow(child->instanceId), "0007");
    EXPECT_EQ(khost::Narrow(child->description), "ZAM_Virtual_0007");
    EXPECT_EQ(child->state, khost::DevNodeState::Started);
    EXPECT_EQ(bus.Unplug(h, 7), STATUS_SUCCESS);
    bus.Enumerate();
    EXPECT_TRUE(bus.ChildNodes().empty());
    EXPECT_TRUE(bus.Children().empty());
    bus.Service().Close(h);
    bus.Teardown();
  }
  khost::UnloadDriver(function);
  if (getenv("SHOW")) { for (auto& line : khost::TraceLines()) printf("%s\n", line.c_str()); }
}
