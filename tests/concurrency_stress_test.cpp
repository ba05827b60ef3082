// Everything at once, for a fixed number of operations per thread: the
// service plugging children in and out, fetching, putting records down and
// cycling its event; the Plug and Play manager answering invalidations,
// disabling and re-enabling children; child drivers pushing at DISPATCH_LEVEL
// on several processors, registering, being replaced and unregistering (also
// from inside their own callback); then the bus surprise-removed or removed
// under the service's traffic. Each round ends with the invariants checked:
// per pusher every record delivered in order or freed, the children on the
// bus exactly those the service left plugged in, no device deleted twice or
// early, pool and references balanced. Run under ThreadSanitizer too.
#include <atomic>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "channel_support.h"

using namespace velmora_test;

namespace {

constexpr int kRounds = 10;
constexpr uint32_t kPushers = 3, kRecordsPerPusher = 400;
constexpr int kServiceOperations = 200, kManagerSteps = 120, kRegistrations = 60;
constexpr ULONG kAnchor = 1;  // the child the test's child driver links through; never removed before the bus

// One registration of the test's child driver. Once the exchange replacing it
// or an MSG_UNREGISTER has returned, the bus must never call it again; one in
// three unregisters from inside its first call.
struct Registrant {
  CALLBACK_EXCHANGE exchange{nullptr, nullptr, &Callback, this};
  bool leavesFromInside = false;
  std::atomic<bool> retired{false};
  std::atomic<int>* lateCalls = nullptr;
  std::atomic<bool> left{false};
  static NTSTATUS Callback(PNETBUS_MESSAGE message, PVOID context) {
    Registrant* self = static_cast<Registrant*>(context);
    if (self->retired.load()) ++*self->lateCalls;
    volatile ULONG sum = 0;  // the record must stay readable for the whole call
    for (ULONG i = 0; i < message->Length; ++i) sum = sum + message->Payload[i];
    if (self->leavesFromInside && !self->left.exchange(true)) {
      CallBus(self->exchange, MessageRecord(NETBUS_MSG_TAG, MSG_UNREGISTER, {}));
      self->retired = true;
    }
    return STATUS_SUCCESS;
  }
};

// The first unexpected answer of any thread.
class Failures {
 public:
  void Expect(bool ok, const std::string& what) {
    if (ok) return;
    std::lock_guard<std::mutex> hold(lock_);
    if (first_.empty()) first_ = what;
  }
  std::string First() {
    std::lock_guard<std::mutex> hold(lock_);
    return first_;
  }

 private:
  std::mutex lock_;
  std::string first_;
};

class Stress : public ChannelTest {
 protected:
  void EndScenario() override {
    ChannelTest::EndScenario();
    function_ = nullptr;
  }
  // Ends a round as the fixture ends a test, and boots the next.
  void NextRound() {
    EndScenario();
    khost::CheckLeaks();
    std::vector<khost::Violation> violations = khost::TakeViolations();
    ASSERT_TRUE(violations.empty()) << khost::DescribeViolations(violations);
    SetUp();
  }
  void Round(int round);

  uint64_t operations_ = 0;
};

void Stress::Round(int round) {
  Failures failures;
  std::atomic<int> lateCalls{0};
  std::vector<Registrant> registrants(kRegistrations + 1);
  for (size_t i = 0; i < registrants.size(); ++i) {
    registrants[i].lateCalls = &lateCalls;
    registrants[i].leavesFromInside = i % 3 == 2;
  }
  ASSERT_EQ(Exchange(&registrants[0].exchange).status, STATUS_SUCCESS);
  const CALLBACK_EXCHANGE bus = registrants[0].exchange;  // the bus's side, as every exchange hands it out
  HANDLE event = Service().CreateEvent(false, false);
  ASSERT_EQ(PassEvent(event), STATUS_SUCCESS);
  khost::DevNode* busNode = bus_->Node();
  khost::DevNode* anchor = bus_->ChildNode(kAnchor);

  // The service's plug-ins and unplugs, and what it left plugged in.
  std::set<ULONG> plugged;
  std::thread plugger([&] {
    for (int i = 0; i < kServiceOperations; ++i) {
      const ULONG serial = 100 + ULONG(i * 7 % 9);
      if (plugged.count(serial)) {
        failures.Expect(bus_->Unplug(control_, serial) == STATUS_SUCCESS, "an unplug");
        plugged.erase(serial);
      } else {
        // Still taken while the unplugged child waits for its removal.
        NTSTATUS status = bus_->PlugIn(control_, serial, {u"VELMORA\\BTNET"});
        failures.Expect(status == STATUS_SUCCESS || status == STATUS_INVALID_PARAMETER, "a plug-in");
        if (status == STATUS_SUCCESS) plugged.insert(serial);
      }
    }
  });
  // The manager: answers what the bus invalidated, disables a child and later
  // enables it again. It alone touches the device tree.
  std::thread manager([&] {
    for (int step = 0; step < kManagerSteps; ++step) {
      khost::Pnp().ProcessInvalidations();
      std::vector<khost::DevNode*> children = bus_->ChildNodes();
      for (khost::DevNode* child : children) {
        if (child == anchor) continue;
        if (step % 4 == 1 && child->state == khost::DevNodeState::Started) {
          failures.Expect(NT_SUCCESS(khost::Pnp().Disable(child)), "a disable");
          break;
        }
        if (step % 4 == 3 && child->state == khost::DevNodeState::Disabled) {
          failures.Expect(NT_SUCCESS(khost::Pnp().Enable(child)), "an enable");
          break;
        }
      }
    }
  });
  std::map<uint32_t, std::vector<uint32_t>> delivered;  // per pusher, in fetch order
  std::atomic<bool> stop{false};
  auto fetchOnce = [&] {
    std::vector<uint8_t> reply;
    NTSTATUS status = Fetch(64, &reply);
    // Between delete-event and pass-event there is no event; 12 bytes are the empty reply.
    if (status == STATUS_UNSUCCESSFUL || reply.size() == 12) return false;
    const bool ok = reply.size() == 8 + 3 + 3 && reply[0] == NETBUS_MSG_TAG && reply[1] == MSG_SEND_DATA;
    failures.Expect(status == STATUS_SUCCESS && ok, "a fetch");
    if (ok) delivered[reply[8]].push_back(reply[9] | reply[10] << 8);
    return ok;
  };
  std::thread fetcher([&] {
    while (!stop) fetchOnce();
  });
  std::thread eventCycler([&] {
    for (int i = 0; i < kServiceOperations / 4; ++i) {
      HANDLE other = Service().CreateEvent(false, false);
      failures.Expect(PassEvent(other) == STATUS_SUCCESS, "a pass-event");
      failures.Expect(DeleteEvent() == STATUS_SUCCESS, "a delete-event");
      Service().Close(other);
      failures.Expect(PassEvent(event) == STATUS_SUCCESS, "a pass-event");
    }
  });
  std::vector<std::thread> putters;
  for (int p = 0; p < 2; ++p) {
    putters.emplace_back([&] {
      const std::vector<uint8_t> record = MessageRecord(NETBUS_MSG_TAG, 1, Payload(16));
      for (int i = 0; i < kServiceOperations; ++i) {
        NTSTATUS status = Put(record);  // nobody takes it between an unregister and the next exchange
        failures.Expect(status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL, "a put");
      }
    });
  }
  std::thread registrar([&] {
    for (size_t i = 1; i < registrants.size(); ++i) {
      failures.Expect(Exchange(&registrants[i].exchange).status == STATUS_SUCCESS, "an exchange");
      registrants[i - 1].retired = true;  // the exchange waited for its calls
      if (i % 4 == 0) {
        failures.Expect(CallBus(bus, MessageRecord(NETBUS_MSG_TAG, MSG_UNREGISTER, {})) == STATUS_SUCCESS,
                        "an unregister");
        registrants[i].retired = true;
      }
    }
  });
  khost::RunAtIrqlOnThreads(DISPATCH_LEVEL, kPushers, [&](size_t index) {
    for (uint32_t sequence = 0; sequence < kRecordsPerPusher; ++sequence) {
      const std::vector<uint8_t> payload = {uint8_t(index), uint8_t(sequence), uint8_t(sequence >> 8)};
      failures.Expect(CallBus(bus, MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, payload)) == STATUS_SUCCESS, "a push");
    }
  });
  for (std::thread* t : {&plugger, &manager, &eventCycler, &registrar}) t->join();
  for (std::thread& t : putters) t.join();
  stop = true;
  fetcher.join();

  // The last record of each pusher, pushed once the event stays, comes last.
  ASSERT_EQ(PassEvent(event), STATUS_SUCCESS);
  for (uint32_t index = 0; index < kPushers; ++index) {
    const std::vector<uint8_t> payload = {uint8_t(index), uint8_t(kRecordsPerPusher), uint8_t(kRecordsPerPusher >> 8)};
    ASSERT_EQ(CallBus(bus, MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, payload)), STATUS_SUCCESS);
  }
  while (fetchOnce()) {
  }
  EXPECT_EQ(failures.First(), "") << "answered unexpectedly";
  EXPECT_EQ(lateCalls.load(), 0) << "a child callback was called after it was replaced or unregistered";
  for (uint32_t index = 0; index < kPushers; ++index) {
    const std::vector<uint32_t>& sequences = delivered[index];
    ASSERT_FALSE(sequences.empty());
    EXPECT_EQ(sequences.back(), kRecordsPerPusher) << "pusher " << index << ": its last record was lost";
    for (size_t i = 1; i < sequences.size(); ++i)
      ASSERT_LT(sequences[i - 1], sequences[i]) << "pusher " << index << ": out of order or twice";
  }
  EXPECT_EQ(delivered.size(), kPushers);

  // The children on the bus are the anchor and what the service left plugged
  // in, each once; every unplugged one is gone.
  bus_->Enumerate();
  std::multiset<ULONG> onBus;
  for (PCHILD_EXTENSION child : bus_->Children()) {
    EXPECT_TRUE(child->Present) << "child " << child->SerialNo << " unplugged but still on the bus";
    onBus.insert(child->SerialNo);
    EXPECT_NE(bus_->ChildNode(child->SerialNo), nullptr) << "child " << child->SerialNo << " never reported";
  }
  std::multiset<ULONG> expected(plugged.begin(), plugged.end());
  expected.insert(kAnchor);
  EXPECT_EQ(onBus, expected);

  // The bus goes while the service keeps fetching, putting and cycling its
  // event: surprise removal (the removal follows the service's last close) or
  // Wine's removal at once.
  stop = false;
  std::thread service([&] {
    for (int i = 0; i < kServiceOperations && !stop; ++i) {
      Fetch(64);
      Put(MessageRecord(NETBUS_MSG_TAG, 2, Payload(8)));
      bus_->PlugIn(control_, 200 + ULONG(i), {u"VELMORA\\BTNET"});
      bus_->Unplug(control_, 0);
    }
  });
  if (round % 2 == 0) {
    khost::Pnp().SurpriseRemove(busNode);
    EXPECT_FALSE(khost::Pnp().CompleteSurpriseRemoval(busNode)) << "the service's handle is open";
  } else {
    EXPECT_EQ(khost::Pnp().Remove(busNode, khost::RemovalStyle::Wine), STATUS_SUCCESS);
  }
  stop = true;
  service.join();
  operations_ += kPushers * (kRecordsPerPusher + 1) + 5 * kServiceOperations + kServiceOperations / 4 * 4 +
                 kManagerSteps + kRegistrations;
}

TEST_F(Stress, EveryRecordIsDeliveredInOrderOrFreedAndNoChildIsLostWhileEverythingRaces) {
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    if (round > 0) NextRound();
    Round(round);
    if (HasFatalFailure()) return;
  }
  std::printf("stress: %d rounds, %llu operations\n", kRounds, static_cast<unsigned long long>(operations_));
  RecordProperty("operations", std::to_string(operations_));
}

}  // namespace
