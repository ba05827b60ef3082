// The message channel under contention: child drivers pushing at DISPATCH_LEVEL
// on several processors while the service fetches, installs and withdraws its
// event and puts records down, and while child drivers register, are replaced
// and unregister. Run under ThreadSanitizer too.
#include <map>
#include <thread>

#include "channel_support.h"

using namespace velmora_test;

namespace {

// One registration of a child driver's callback. Once the exchange replacing
// it, or its MSG_UNREGISTER, has returned, the bus must never call it again.
struct Registrant {
  CALLBACK_EXCHANGE exchange{nullptr, nullptr, &Callback, this};
  std::atomic<bool> retired{false};
  static std::atomic<int> lateCalls;
  static NTSTATUS Callback(PNETBUS_MESSAGE message, PVOID context) {
    Registrant* self = static_cast<Registrant*>(context);
    volatile ULONG sum = 0;  // the record must stay readable for the whole call
    for (ULONG i = 0; i < message->Length; ++i) sum = sum + message->Payload[i];
    std::this_thread::sleep_for(std::chrono::microseconds(50));  // so changes find calls under way
    if (self->retired.load()) lateCalls++;
    return STATUS_SUCCESS;
  }
};
std::atomic<int> Registrant::lateCalls{0};

class ChannelUnderContention : public ChannelTest {};

TEST_F(ChannelUnderContention, EveryRecordIsDeliveredInOrderOrFreedWhileEverythingRaces) {
  constexpr uint32_t kPushers = 3, kRecordsPerPusher = 300, kRegistrations = 60;
  std::vector<Registrant> registrants(kRegistrations + 1);
  ASSERT_EQ(Exchange(&registrants[0].exchange).status, STATUS_SUCCESS);
  const CALLBACK_EXCHANGE bus = registrants[0].exchange;  // the bus's side, as every exchange hands it out
  HANDLE first = Service().CreateEvent(false, false);
  ASSERT_EQ(PassEvent(first), STATUS_SUCCESS);

  std::atomic<bool> stop{false};
  std::mutex failureLock;
  std::string failure;  // the first unexpected answer
  auto expect = [&](bool ok, const char* what) {
    std::lock_guard<std::mutex> hold(failureLock);
    if (!ok && failure.empty()) failure = what;
  };
  std::map<uint32_t, std::vector<uint32_t>> delivered;  // per pusher, in fetch order
  std::atomic<size_t> deliveredCount{0};
  std::thread fetcher([&] {
    std::vector<uint8_t> reply;
    while (!stop) {
      NTSTATUS status = Fetch(64, &reply);
      // Between delete-event and pass-event there is no event; 12 bytes are the empty reply.
      if (status == STATUS_UNSUCCESSFUL || reply.size() == 12) continue;
      const bool ok = reply.size() == 11 + 3 && reply[0] == NETBUS_MSG_TAG && reply[1] == MSG_SEND_DATA;
      expect(status == STATUS_SUCCESS && ok, "a fetch");
      if (ok) {
        delivered[reply[8]].push_back(reply[9] | reply[10] << 8);
        deliveredCount++;
      }
    }
  });
  std::thread eventCycler([&] {
    while (!stop) {
      HANDLE event = Service().CreateEvent(false, false);
      expect(PassEvent(event) == STATUS_SUCCESS, "a pass-event");
      std::this_thread::yield();
      expect(DeleteEvent() == STATUS_SUCCESS, "a delete-event");
      Service().Close(event);
      expect(PassEvent(first) == STATUS_SUCCESS, "a pass-event");
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::thread putter([&] {
    const std::vector<uint8_t> record = MessageRecord(NETBUS_MSG_TAG, 1, Payload(16));
    while (!stop) {
      NTSTATUS status = Put(record);  // nobody takes it between an unregister and the next exchange
      expect(status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL, "a put");
    }
  });
  std::thread registrar([&] {
    for (size_t i = 1; i <= kRegistrations; ++i) {
      expect(Exchange(&registrants[i].exchange).status == STATUS_SUCCESS, "an exchange");
      registrants[i - 1].retired = true;  // the exchange waited for its calls
      if (i % 3 == 0) {
        expect(CallBus(bus, MessageRecord(NETBUS_MSG_TAG, MSG_UNREGISTER, {})) == STATUS_SUCCESS, "an unregister");
        registrants[i].retired = true;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  // Each pusher goes on past its share until a record has come through: on a
  // loaded machine the fetcher may not run at all while the share is pushed,
  // and the event cycler's resets discard what it missed.
  khost::RunAtIrqlOnThreads(DISPATCH_LEVEL, kPushers, [&](size_t index) {
    for (uint32_t sequence = 0; sequence < kRecordsPerPusher || (deliveredCount == 0 && sequence < 0xFFFF);
         ++sequence) {
      const std::vector<uint8_t> payload = {uint8_t(index), uint8_t(sequence), uint8_t(sequence >> 8)};  // < 0x10000
      expect(CallBus(bus, MessageRecord(NETBUS_MSG_TAG, MSG_SEND_DATA, payload)) == STATUS_SUCCESS, "a push");
      if (sequence % 16 == 0) std::this_thread::yield();
    }
  });
  registrar.join();
  stop = true;
  fetcher.join();
  eventCycler.join();
  putter.join();

  EXPECT_EQ(failure, "") << "answered unexpectedly";
  EXPECT_EQ(Registrant::lateCalls.load(), 0) << "a child callback was called after it was replaced or unregistered";
  size_t total = 0;
  for (const auto& [pusher, sequences] : delivered) {
    EXPECT_LT(pusher, kPushers);
    for (size_t i = 1; i < sequences.size(); ++i)
      ASSERT_LT(sequences[i - 1], sequences[i]) << "pusher " << pusher << ": out of order or twice";
    total += sequences.size();
  }
  EXPECT_GT(total, 0u) << "the race never delivered a record";
  // What was not delivered is freed by the resets or the bus's removal: the
  // fixture's leak check sees every record, event reference and request.
}

}  // namespace
