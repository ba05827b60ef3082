// The bus device's own Plug and Play: start, the stop and removal queries the
// service's open handle vetoes, their cancellations, and the rebalance and
// removal sequences the Plug and Play manager builds from them.
#include "bus_fixture.h"

using namespace bus_test;

// What the driver below answers a cancel it refuses (STATUS_INVALID_DEVICE_STATE).
constexpr NTSTATUS kLowerRefusal = static_cast<NTSTATUS>(0xC0000184L);

class BusPnpTest : public BusTest {
 protected:
  PNP_STATE State() const { return Bus()->Header.PnpState; }
  PNP_STATE Previous() const { return Bus()->Header.PreviousPnpState; }
  bool HistoryHas(const std::string& entry) const {
    return std::find(node_->history.begin(), node_->history.end(), entry) != node_->history.end();
  }
};

TEST_F(BusPnpTest, OpenHandleVetoesQueryStopUntilItIsClosed) {
  Boot();
  TraceMask = 0x100;
  EXPECT_EQ(khost::Pnp().Send(node_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(State(), StateStarted);
  EXPECT_EQ(Previous(), StateNotStarted) << "a refused query changed the saved state";
  std::vector<std::string> lines = khost::TakeTraceLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Velmora===: OpenHandleCount=1!"), lines.end());

  CloseService();
  EXPECT_EQ(khost::Pnp().Send(node_, IRP_MN_QUERY_STOP_DEVICE).status, STATUS_SUCCESS);
  EXPECT_EQ(State(), StateStopPending);
  EXPECT_EQ(Previous(), StateStarted);
  // No new open while a stop is pending.
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(bus_->Open(&status), nullptr);
  EXPECT_EQ(status, STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(BusPnpTest, OpenHandleVetoesRemovalUntilItIsClosed) {
  Boot();
  TraceMask = 0x100;
  ASSERT_EQ(khost::Pnp().Remove(node_), STATUS_UNSUCCESSFUL) << "removed although the service holds it open";
  EXPECT_TRUE(HistoryHas("QUERY_REMOVE_DEVICE -> 0xc0000001"));
  EXPECT_TRUE(HistoryHas("CANCEL_REMOVE_DEVICE -> 0"));
  EXPECT_EQ(State(), StateStarted);
  std::vector<std::string> lines = khost::TakeTraceLines();
  EXPECT_NE(std::find(lines.begin(), lines.end(), "Velmora===: OpenHandleCount=1"), lines.end());
  // The bus goes on serving.
  EXPECT_EQ(PlugIn(1), STATUS_SUCCESS);
  Enumerate();

  CloseService();
  EXPECT_EQ(khost::Pnp().Remove(node_), STATUS_SUCCESS);
  NodeRemoved();
  EXPECT_EQ(khost::LookupDevice(u"\\??\\Olvex"), nullptr) << "the link outlived the bus";
  EXPECT_EQ(khost::LookupDevice(u"\\Device\\Velmora"), nullptr);
}

TEST_F(BusPnpTest, RebalanceIsRefusedWhileOpenAndStopsAndRestartsOnceClosed) {
  Boot();
  ASSERT_EQ(PlugIn(1), STATUS_SUCCESS);
  Enumerate();
  EXPECT_EQ(khost::Pnp().Rebalance(node_), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(HistoryHas("CANCEL_STOP_DEVICE -> 0"));
  EXPECT_EQ(State(), StateStarted);

  CloseService();
  EXPECT_EQ(khost::Pnp().Rebalance(node_), STATUS_SUCCESS);
  EXPECT_EQ(State(), StateStarted);
  EXPECT_EQ(Previous(), StateStopped);
  // The children came through, and the service can open again.
  ASSERT_EQ(ChildNodes().size(), 1u);
  EXPECT_EQ(ChildNodes()[0]->state, khost::DevNodeState::Started);
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  service_ = bus_->Open(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(PlugIn(2), STATUS_SUCCESS);
}

struct QueryAndCancel {
  const char* name;
  UCHAR query;
  UCHAR cancel;
  PNP_STATE pending;
};
void PrintTo(const QueryAndCancel& c, std::ostream* os) { *os << c.name; }

class CancelTest : public BusPnpTest, public ::testing::WithParamInterface<QueryAndCancel> {};

TEST_P(CancelTest, CancelRestoresTheStateBeforeTheQuery) {
  const QueryAndCancel& c = GetParam();
  Boot();
  CloseService();
  ASSERT_EQ(khost::Pnp().Send(node_, c.query).status, STATUS_SUCCESS);
  ASSERT_EQ(State(), c.pending);
  EXPECT_EQ(khost::Pnp().Send(node_, c.cancel).status, STATUS_SUCCESS);
  EXPECT_EQ(State(), StateStarted);
  EXPECT_EQ(Previous(), StateStarted) << "a restore leaves the saved state as it was";
  // Started again: the service may open the bus and plug children in.
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  service_ = bus_->Open(&status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(PlugIn(1), STATUS_SUCCESS);
}

TEST_P(CancelTest, CancelRefusedBelowLeavesThePendingState) {
  const QueryAndCancel& c = GetParam();
  khost::RootPdoConfig config;
  config.cancelStatus = kLowerRefusal;
  Boot(config);
  CloseService();
  ASSERT_EQ(khost::Pnp().Send(node_, c.query).status, STATUS_SUCCESS);
  EXPECT_EQ(khost::Pnp().Send(node_, c.cancel).status, kLowerRefusal);
  EXPECT_EQ(State(), c.pending);
  EXPECT_EQ(Previous(), StateStarted);
}

TEST_P(CancelTest, CancelWithoutAnAcceptedQueryGoesDownAndChangesNothing) {
  const QueryAndCancel& c = GetParam();
  khost::RootPdoConfig config;
  config.cancelStatus = kLowerRefusal;  // shows that the lower driver answered
  Boot(config);
  // The query was refused for the open handle; the manager cancels it anyway.
  EXPECT_EQ(khost::Pnp().Send(node_, c.query).status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(khost::Pnp().Send(node_, c.cancel).status, kLowerRefusal);
  EXPECT_EQ(State(), StateStarted);
  EXPECT_EQ(Previous(), StateNotStarted);
}

INSTANTIATE_TEST_SUITE_P(
    Queries, CancelTest,
    ::testing::Values(QueryAndCancel{"Stop", IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, StateStopPending},
                      QueryAndCancel{"Remove", IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                                     StateRemovePending}),
    [](const ::testing::TestParamInfo<QueryAndCancel>& info) { return info.param.name; });

TEST_F(BusPnpTest, StartWaitsForALowerDriverThatFinishesLater) {
  khost::RootPdoConfig config;
  config.startPendsOnAnotherThread = true;
  Boot(config);
  EXPECT_EQ(State(), StateStarted);
  EXPECT_EQ(PlugIn(1), STATUS_SUCCESS);
}

TEST_F(BusPnpTest, StartRefusedBelowLeavesTheBusUnstartedAndTheManagerRemovesIt) {
  khost::RootPdoConfig config;
  config.startStatus = STATUS_INSUFFICIENT_RESOURCES;
  Boot(config, false);
  EXPECT_EQ(khost::Pnp().Start(node_), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(node_->state, khost::DevNodeState::Failed);
  // The removal that follows a failed start takes the bus device and its link.
  EXPECT_EQ(node_->pdo->AttachedDevice, nullptr);
  EXPECT_EQ(khost::LookupDevice(u"\\??\\Olvex"), nullptr);
  EXPECT_TRUE(khost::DevicesOf(bus_->Driver()).empty());
}
