// Velmora client library: the Client, on top of any Transport.
//
// Locking: `lifecycle` is held shared by every request and exclusively by what
// changes the device or the event (open, close, pass and withdraw the event),
// so no request ever runs on a handle being closed. The receive loop takes it
// only around each fetch, never while waiting or while a handler runs, and
// everything that closes first stops the loop. `control` serialises starting
// and stopping the loop; the loop thread never takes it.
#include <atomic>
#include <cstring>

#include "sync.h"
#include "velmora_client.h"
#include "velmora_ioctl.h"

namespace velmora {

namespace {

// The client whose receive loop runs on this thread, if any: its handlers may
// stop or close it, which must then not wait for the thread they run on.
thread_local const void* t_loopOwner = nullptr;

Result Refused(NtStatus value, std::string detail) {
  Result r;
  r.status = value;
  r.sent = false;
  r.detail = std::move(detail);
  return r;
}

uint32_t FetchCapacity(const ClientOptions& options) {
  const uint32_t capacity = options.maxRecordSize + VELMORA_GET_MSG_OVERHEAD;
  return capacity < VELMORA_GET_MSG_MIN_OUTPUT ? VELMORA_GET_MSG_MIN_OUTPUT : capacity;
}

}  // namespace

struct Client::State {
  detail::SharedMutex lifecycle;
  bool open = false;
  bool eventCreated = false;
  bool eventPassed = false;
  int32_t eventHandle = 0;

  detail::Mutex control;  // StartReceiving / StopReceiving
  detail::Thread loop;
  std::atomic<bool> stop{false};
  std::atomic<bool> running{false};
  detail::Mutex resultLock;
  Result loopResult;
};

Client::Client(std::unique_ptr<Transport> transport, ClientOptions options)
    : transport_(std::move(transport)), options_(options), state_(new State) {}

Client::~Client() {
  Close();
  if (state_->loop.Joinable()) {
    if (t_loopOwner == this)
      state_->loop.Detach();
    else
      state_->loop.Join();
  }
}

bool Client::IsOpen() const {
  detail::SharedLock<detail::SharedMutex> hold(state_->lifecycle);
  return state_->open;
}

bool Client::EventPassed() const {
  detail::SharedLock<detail::SharedMutex> hold(state_->lifecycle);
  return state_->eventPassed;
}

bool Client::Receiving() const { return state_->running.load(); }

Result Client::Open() {
  if (!transport_) return Refused(status::kInvalidParameter, "the client has no transport");
  if (options_.maxRecordSize == 0 || options_.maxRecordSize > limits::kMaxPayload)
    return Refused(status::kInvalidParameter, "maxRecordSize " + std::to_string(options_.maxRecordSize) +
                                                  " is outside 1.." + std::to_string(limits::kMaxPayload));
  if (options_.waitSlice.count() <= 0) return Refused(status::kInvalidParameter, "waitSlice must be positive");
  detail::ExclusiveLock<detail::SharedMutex> hold(state_->lifecycle);
  if (state_->open) return Refused(status::kInvalidDeviceState, "the control device is already open");
  Result r;
  r.sent = true;
  r.status = transport_->Open();
  if (r.ok()) {
    state_->open = true;
  } else {
    r.detail = "opening " + transport_->Describe();
  }
  return r;
}

Result Client::PassEvent() {
  detail::ExclusiveLock<detail::SharedMutex> hold(state_->lifecycle);
  if (!state_->open) return Refused(status::kInvalidDeviceState, "the control device is not open");
  if (!state_->eventCreated) {
    int32_t handle = 0;
    const NtStatus created = transport_->NewEvent(&handle);
    if (!IsSuccess(created)) return Refused(created, "creating the event failed");
    state_->eventCreated = true;
    state_->eventHandle = handle;
  }
  uint8_t input[4];
  std::memcpy(input, &state_->eventHandle, sizeof(input));
  Result r;
  r.sent = true;
  r.status = transport_->Control(IOCTL_CORVANE_PASS_EVENT, input, sizeof(input), nullptr, 0, &r.information);
  // Whatever the answer, the bus has dropped any event it held before.
  state_->eventPassed = r.ok();
  if (!r.ok()) r.detail = "the bus did not take the event";
  return r;
}

Result Client::DeleteEvent() {
  StopReceiving();
  detail::ExclusiveLock<detail::SharedMutex> hold(state_->lifecycle);
  if (!state_->open) return Refused(status::kInvalidDeviceState, "the control device is not open");
  Result r;
  r.sent = true;
  r.status = transport_->Control(IOCTL_CORVANE_DELETE_EVENT, nullptr, 0, nullptr, 0, &r.information);
  state_->eventPassed = false;
  if (state_->eventCreated) {
    transport_->CloseEvent();
    state_->eventCreated = false;
    state_->eventHandle = 0;
  }
  return r;
}

Result Client::Close() {
  StopReceiving();
  detail::ExclusiveLock<detail::SharedMutex> hold(state_->lifecycle);
  Result r;
  if (!state_->open) return r;
  if (state_->eventPassed) {
    r.sent = true;
    r.status = transport_->Control(IOCTL_CORVANE_DELETE_EVENT, nullptr, 0, nullptr, 0, &r.information);
    if (!r.ok()) r.detail = "withdrawing the event while closing";
    state_->eventPassed = false;
  }
  if (state_->eventCreated) {
    transport_->CloseEvent();
    state_->eventCreated = false;
    state_->eventHandle = 0;
  }
  transport_->Close();
  state_->open = false;
  return r;
}

Result Client::Send(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength) {
  detail::SharedLock<detail::SharedMutex> hold(state_->lifecycle);
  if (!state_->open) return Refused(status::kInvalidDeviceState, "the control device is not open");
  Result r;
  r.sent = true;
  r.status = transport_->Control(code, input, inputLength, output, outputLength, &r.information);
  return r;
}

Result Client::PlugIn(uint32_t serial, const std::vector<std::u16string>& hardwareIds, uint32_t deviceType) {
  std::vector<uint8_t> record;
  std::string why;
  if (!EncodePlugIn(serial, deviceType, hardwareIds, &record, &why)) return Refused(status::kInvalidParameter, why);
  return Send(IOCTL_NETBUS_PLUG_IN, record.data(), static_cast<uint32_t>(record.size()), nullptr, 0);
}

Result Client::PlugIn(uint32_t serial, const std::vector<std::string>& hardwareIds, uint32_t deviceType) {
  std::vector<std::u16string> wide;
  wide.reserve(hardwareIds.size());
  for (const std::string& id : hardwareIds) wide.push_back(AsciiToU16(id));
  return PlugIn(serial, wide, deviceType);
}

Result Client::Unplug(uint32_t serial) {
  if (serial == 0)
    return Refused(status::kInvalidParameter, "serial number 0 would unplug every child; call UnplugAll for that");
  std::vector<uint8_t> record;
  EncodeUnplug(serial, &record, nullptr);
  return Send(IOCTL_NETBUS_PLUG_OUT, record.data(), static_cast<uint32_t>(record.size()), nullptr, 0);
}

Result Client::UnplugAll() {
  std::vector<uint8_t> record;
  EncodeUnplug(0, &record, nullptr);
  return Send(IOCTL_NETBUS_PLUG_OUT, record.data(), static_cast<uint32_t>(record.size()), nullptr, 0);
}

Result Client::Put(uint8_t msgId, const void* payload, size_t size) {
  std::vector<uint8_t> record;
  std::string why;
  if (!EncodePut(msgId, payload, size, &record, &why)) return Refused(status::kInvalidParameter, why);
  return Send(IOCTL_CORVANE_PUT_MSG, record.data(), static_cast<uint32_t>(record.size()), nullptr, 0);
}

Result Client::Put(uint8_t msgId, const std::vector<uint8_t>& payload) {
  return Put(msgId, payload.data(), payload.size());
}

Result Client::Fetch(std::optional<Record>& record) {
  std::vector<uint8_t> buffer(FetchCapacity(options_), 0);
  return FetchInto(buffer, record);
}

Result Client::FetchInto(std::vector<uint8_t>& buffer, std::optional<Record>& record) {
  record.reset();
  const uint32_t capacity = static_cast<uint32_t>(buffer.size());
  Result r = Send(IOCTL_CORVANE_GET_MSG, nullptr, 0, buffer.data(), capacity);
  if (!r.ok()) {
    if (r.status == status::kBufferTooSmall)
      r.detail = "a queued record was larger than the " + std::to_string(options_.maxRecordSize) +
                 "-byte maximum and the bus dropped it";
    else if (r.status == status::kUnsuccessful && r.sent)
      r.detail = "the bus holds no event of this service (pass the event first)";
    return r;
  }
  std::string why;
  if (!DecodeFetchReply(buffer.data(), r.information, capacity, &record, &why)) {
    r.status = status::kDataError;
    r.detail = why;
  }
  return r;
}

Result Client::StartReceiving(RecordHandler onRecord, ErrorHandler onError) {
  if (!onRecord) return Refused(status::kInvalidParameter, "no record handler");
  if (t_loopOwner == this) return Refused(status::kInvalidDeviceState, "the receive loop is already running");
  detail::ExclusiveLock<detail::Mutex> control(state_->control);
  if (state_->running.load()) return Refused(status::kInvalidDeviceState, "the receive loop is already running");
  // A loop that ended on its own (or was stopped from a handler) is joined now.
  state_->loop.Join();
  {
    detail::SharedLock<detail::SharedMutex> hold(state_->lifecycle);
    if (!state_->open) return Refused(status::kInvalidDeviceState, "the control device is not open");
    if (!state_->eventPassed)
      return Refused(status::kInvalidDeviceState, "no event has been passed to the bus (call PassEvent first)");
  }
  state_->stop.store(false);
  {
    detail::ExclusiveLock<detail::Mutex> result(state_->resultLock);
    state_->loopResult = Result();
  }
  state_->running.store(true);

  auto body = [this, onRecord = std::move(onRecord), onError = std::move(onError)]() {
    t_loopOwner = this;
    Result final;
    bool failed = false;
    std::vector<uint8_t> buffer(FetchCapacity(options_), 0);
    // Drain first: records may have been queued while no loop was waiting,
    // with their wake-up already consumed.
    bool drain = true;
    while (!state_->stop.load() && !failed) {
      if (!drain) {
        const Transport::WaitOutcome outcome = transport_->WaitEvent(options_.waitSlice);
        if (outcome == Transport::WaitOutcome::Failed) {
          final = Refused(status::kInvalidHandle, "waiting on the event failed");
          if (onError) onError(final);
          break;
        }
        if (outcome == Transport::WaitOutcome::TimedOut) continue;
      }
      drain = false;
      // One wake may stand for several records: fetch until the empty reply.
      while (!state_->stop.load()) {
        std::optional<Record> record;
        Result r = FetchInto(buffer, record);
        if (!r.ok()) {
          if (onError) onError(r);
          if (r.status == status::kBufferTooSmall) continue;  // that record is lost; the rest are not
          final = r;
          failed = true;
          break;
        }
        if (!record) break;
        onRecord(*record);
      }
    }
    {
      detail::ExclusiveLock<detail::Mutex> result(state_->resultLock);
      state_->loopResult = final;
    }
    state_->running.store(false);
    t_loopOwner = nullptr;
  };
  if (!state_->loop.Start(std::move(body))) {
    state_->running.store(false);
    return Refused(status::kInsufficientResources, "the receive thread could not be started");
  }
  return Result();
}

Result Client::StopReceiving() {
  if (t_loopOwner == this) {
    // From a handler: the loop stops once the handler returns.
    state_->stop.store(true);
    return Result();
  }
  detail::ExclusiveLock<detail::Mutex> control(state_->control);
  if (!state_->loop.Joinable()) return Result();
  state_->stop.store(true);
  {
    detail::SharedLock<detail::SharedMutex> hold(state_->lifecycle);
    if (state_->eventCreated) transport_->SignalEvent();
  }
  state_->loop.Join();
  detail::ExclusiveLock<detail::Mutex> result(state_->resultLock);
  return state_->loopResult;
}

}  // namespace velmora
