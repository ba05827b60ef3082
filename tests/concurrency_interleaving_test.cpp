// The known races of the bus, each forced into its worst order: one thread is
// stopped at a chosen point (a spin lock just released or about to be taken,
// a remove lock held, a wait about to block) while another does what could
// happen there on a second processor. No timing decides the order.
#include <thread>

#include "channel_support.h"
#include "childdrv.h"
#include "milestones.h"

extern "C" DRIVER_INITIALIZE ChildDrv_DriverEntry;

using namespace velmora_test;

namespace {

thread_local bool t_watched = false;  // the thread whose hook points a test cares about

// Runs fn on a new thread and waits for it, from inside a hook: the hooked
// thread stays stopped at its point for the whole of fn.
void Meanwhile(const std::function<void()>& fn) { std::thread(fn).join(); }

class Interleaving : public ChannelTest {
 protected:
  void EndScenario() override {
    khost::ClearHooks();
    ChannelTest::EndScenario();
  }
  void PlugIn(ULONG serial) { EXPECT_EQ(bus_->PlugIn(control_, serial, {u"VELMORA\\BTNET"}), STATUS_SUCCESS); }
  bool OnBusList(ULONG serial) { return bus_->Listed(serial) != nullptr; }
};

// An unplug of every child marks what its walk of the list finds; a child
// appended right after that walk is not part of it and stays.
TEST_F(Interleaving, AChildPluggedInRightAfterTheWalkOfAnUnplugOfEveryChildStays) {
  khost::OnSpinLock(&Bus()->ChildListLock, khost::SpinLockMoment::AfterRelease, 1, [&] { Meanwhile([&] { PlugIn(2); }); });
  ASSERT_EQ(bus_->Unplug(control_, 0), STATUS_SUCCESS);
  bus_->Enumerate();
  EXPECT_EQ(bus_->ChildNode(1), nullptr);
  ASSERT_NE(bus_->ChildNode(2), nullptr) << "the unplug's walk went on past its lock and took the new child";
  EXPECT_EQ(bus_->ChildNode(2)->state, khost::DevNodeState::Started);
}

// The moment a plug-in links its child, a relations answer on another thread
// may hand the child to the manager, which loads a function driver on it: the
// child must be ready for that by then. The host reports a new device still
// initializing in an answer.
TEST_F(Interleaving, ARelationsAnswerRightAfterAPlugInLinksItsChildFindsItReady) {
  // The plug-in's second release of the list lock is the one after its append.
  khost::OnSpinLock(&Bus()->ChildListLock, khost::SpinLockMoment::AfterRelease, 2, [&] {
    Meanwhile([&] {
      IoInvalidateDeviceRelations(bus_->Node()->pdo, BusRelations);
      bus_->Enumerate();
    });
  });
  PlugIn(2);
  ExpectReported("");
  ASSERT_NE(bus_->ChildNode(2), nullptr);
  EXPECT_EQ(bus_->ChildNode(2)->state, khost::DevNodeState::Started);
  EXPECT_EQ(bus_->Enumerate(), 1) << "the plug-in's own invalidation";
}

// An unplug just before a relations answer takes the list lock, or just after
// it let go: either way the child goes exactly once, by the answer that drops
// it (never listed: the answer deletes it) or by the removal that follows.
TEST_F(Interleaving, AnUnplugRacingARelationsAnswerRemovesTheChildOnce) {
  struct Case { const char* what; khost::SpinLockMoment moment; bool listedBefore; };
  const std::vector<Case> cases = {
      {"a started child, unplugged before the answer", khost::SpinLockMoment::BeforeAcquire, true},
      {"a started child, unplugged after the answer", khost::SpinLockMoment::AfterRelease, true},
      {"a new child, unplugged before the answer", khost::SpinLockMoment::BeforeAcquire, false},
      {"a new child, unplugged after the answer", khost::SpinLockMoment::AfterRelease, false},
  };
  ULONG serial = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ++serial;
    PlugIn(serial);
    if (c.listedBefore) bus_->Enumerate();
    khost::OnSpinLock(&Bus()->ChildListLock, c.moment, 1,
                      [&] { Meanwhile([&] { EXPECT_EQ(bus_->Unplug(control_, serial), STATUS_SUCCESS); }); });
    IoInvalidateDeviceRelations(bus_->Node()->pdo, BusRelations);
    bus_->Enumerate();
    EXPECT_EQ(bus_->ChildNode(serial), nullptr);
    EXPECT_FALSE(OnBusList(serial));
    ExpectReported("");
  }
  ASSERT_NE(bus_->ChildNode(1), nullptr) << "the bystander went too";
}

// A child driver's callback under way for a put while the child driver
// unregisters on another thread: below DISPATCH_LEVEL the unregister waits
// for the call (the child driver may go once it returns); at DISPATCH_LEVEL it
// cannot wait and returns at once.
TEST_F(Interleaving, AnUnregisterRacingAPutsCallWaitsForItBelowDispatchLevel) {
  struct Stalling {
    Milestones* milestones;
    CALLBACK_EXCHANGE exchange{nullptr, nullptr, &Callback, this};
    static NTSTATUS Callback(PNETBUS_MESSAGE, PVOID context) {
      Milestones* m = static_cast<Stalling*>(context)->milestones;
      m->Reach("in the call");
      m->Await("call may return");
      m->Reach("call returned");
      return STATUS_SUCCESS;
    }
  };
  struct Case { KIRQL irql; const char* expected; };
  for (const Case& c : {Case{PASSIVE_LEVEL, "unregister waits"}, Case{DISPATCH_LEVEL, "unregister returned"}}) {
    SCOPED_TRACE(int(c.irql));
    Milestones m;
    Stalling child{&m};
    ASSERT_EQ(Exchange(&child.exchange).status, STATUS_SUCCESS);
    std::thread put([&] { EXPECT_EQ(Put(MessageRecord(NETBUS_MSG_TAG, 1, Payload(4))), STATUS_SUCCESS); });
    m.Await("in the call");
    khost::SetHook("wait-blocks", [&] {
      if (t_watched) m.Reach("unregister waits");
    });
    std::thread unregister([&] {
      t_watched = true;
      khost::RunAtIrql(c.irql, [&] {
        t_watched = true;
        EXPECT_EQ(CallBus(child.exchange, MessageRecord(NETBUS_MSG_TAG, MSG_UNREGISTER, {})), STATUS_SUCCESS);
        EXPECT_TRUE(c.irql == DISPATCH_LEVEL || m.Reached("call returned")) << "returned while the call was under way";
      });
      m.Reach("unregister returned");
    });
    EXPECT_EQ(m.AwaitAny({"unregister waits", "unregister returned"}), c.expected);
    m.Reach("call may return");
    put.join();
    unregister.join();
    khost::ClearHooks();
    EXPECT_EQ(Bus()->ChildCallback, nullptr);
  }
}

class SampleInterleaving : public Interleaving {
 public:
  SampleInterleaving() { entry_ = ChildDrv_DriverEntry; }
};

// The sample's removal takes its device off the bus and then waits for every
// request still inside the device before the device goes.
TEST_F(SampleInterleaving, TheSamplesRemovalWaitsForARequestInsideItsDevice) {
  Milestones m;
  khost::SetHook("remove-lock-acquired", [&] {
    if (t_watched && m.ReachFirst("request inside")) m.Await("request may go on");
  });
  khost::SetHook("remove-lock-wait", [&] { m.Reach("removal waits"); });
  std::thread request([&] {
    t_watched = true;
    EXPECT_EQ(khost::SendIrp(childPdo_, IRP_MJ_CLEANUP, 0, nullptr, STATUS_NOT_SUPPORTED).status, STATUS_NOT_SUPPORTED);
  });
  m.Await("request inside");
  std::thread removal([&] {
    EXPECT_EQ(bus_->Unplug(control_, 1), STATUS_SUCCESS);
    bus_->Enumerate();
    m.Reach("removed");
  });
  EXPECT_EQ(m.AwaitAny({"removal waits", "removed"}), "removal waits") << "the device went with a request inside";
  m.Reach("request may go on");
  request.join();
  removal.join();
  EXPECT_EQ(bus_->ChildNode(1), nullptr);
}

}  // namespace
