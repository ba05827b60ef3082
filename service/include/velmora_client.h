// Velmora client library: what a user-mode service needs to drive the bus.
//
// A Client opens the bus's control device, creates the event the bus sets for
// every record a child driver pushes up and passes it to the bus, plugs
// children in and out, puts records down to the child driver and fetches the
// records queued for the service, one by one or through a receive loop that
// delivers them in order to a callback. The order the bus expects is: open,
// pass the event, then plug in, fetch and put.
//
// Every call answers with a Result carrying the exact NTSTATUS the driver
// completed the request with, or the status the client refused it with before
// sending anything (Result::sent tells which), and a readable message.
//
// All calls are thread-safe: several threads may plug, put and fetch at once.
// Records pushed up reach one fetcher each; run either the receive loop or
// your own Fetch calls if the order of records matters.
//
// The client talks to the bus through a Transport: the Win32 one
// (velmora_client_win32.h) on Windows, the kernel host's (velmora_client_host.h)
// on Linux. This header needs neither's headers.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace velmora {

// An NTSTATUS value as its 32-bit pattern (0xC000000D, not -1073741811).
using NtStatus = uint32_t;

namespace status {
constexpr NtStatus kSuccess = 0x00000000u;
constexpr NtStatus kPending = 0x00000103u;
constexpr NtStatus kTimeout = 0x00000102u;
constexpr NtStatus kUnsuccessful = 0xC0000001u;
constexpr NtStatus kNotImplemented = 0xC0000002u;
constexpr NtStatus kInvalidHandle = 0xC0000008u;
constexpr NtStatus kInvalidParameter = 0xC000000Du;
constexpr NtStatus kNoSuchDevice = 0xC000000Eu;
constexpr NtStatus kInvalidDeviceRequest = 0xC0000010u;
constexpr NtStatus kAccessDenied = 0xC0000022u;
constexpr NtStatus kBufferTooSmall = 0xC0000023u;
constexpr NtStatus kObjectTypeMismatch = 0xC0000024u;
constexpr NtStatus kObjectNameNotFound = 0xC0000034u;
constexpr NtStatus kObjectPathNotFound = 0xC000003Au;
constexpr NtStatus kDataError = 0xC000003Eu;
constexpr NtStatus kDeletePending = 0xC0000056u;
constexpr NtStatus kInsufficientResources = 0xC000009Au;
constexpr NtStatus kDeviceNotConnected = 0xC000009Du;
constexpr NtStatus kIoTimeout = 0xC00000B5u;
constexpr NtStatus kNotSupported = 0xC00000BBu;
constexpr NtStatus kInvalidDeviceState = 0xC0000184u;
}  // namespace status

constexpr bool IsSuccess(NtStatus value) { return static_cast<int32_t>(value) >= 0; }
// "STATUS_INVALID_PARAMETER", or null for a status this library does not name.
const char* StatusName(NtStatus value);
// "STATUS_INVALID_PARAMETER (0xC000000D): an invalid parameter was passed",
// or "NTSTATUS 0xC0001234" for an unnamed one.
std::string DescribeStatus(NtStatus value);

// The outcome of one call.
struct Result {
  NtStatus status = status::kSuccess;
  // True when a request reached the driver and `status` is its answer; false
  // when the client refused the call (or failed locally) before sending one.
  bool sent = false;
  // The request's information value (bytes answered), when one was sent.
  uint64_t information = 0;
  // What the client found wrong, for refusals and local failures.
  std::string detail;

  bool ok() const { return IsSuccess(status); }
  explicit operator bool() const { return ok(); }
  // One line for a person: the status, its code and meaning, and the detail.
  std::string Message() const;
};

// A record the bus queued for the service (MsgId MSG_SEND_DATA, Tag 0x20).
struct Record {
  uint8_t tag = 0;
  uint8_t msgId = 0;
  std::vector<uint8_t> payload;
};

// Limits the client checks before it sends anything.
namespace limits {
// Each hardware ID: 1 to 199 characters (the platform's MAX_DEVICE_ID_LEN is 200
// with the null), every one of them from '!' to 0x7F except ','.
constexpr size_t kMaxIdChars = 199;
// The first hardware ID is the child's device ID; with the instance ID (the
// serial number, at least four digits) it must stay under 172 characters.
constexpr size_t kMaxDeviceInstanceChars = 171;
// The whole multi-string, nulls included (the platform's REGSTR_VAL_MAX_HCID_LEN).
constexpr size_t kMaxMultiSzChars = 1024;
// The largest payload the client puts down or is asked to be ready to fetch.
constexpr uint32_t kMaxPayload = 1u << 20;
}  // namespace limits

// Message ids the bus passes down to the child driver; it accepts others but
// drops them silently, so the client refuses them.
bool IsPutMessageId(uint8_t msgId);

// The way to the bus's control device. Implementations must let Control,
// WaitEvent and SignalEvent be called from several threads at once; the Client
// serialises Open, Close, NewEvent and CloseEvent against everything else.
class Transport {
 public:
  enum class WaitOutcome { Signalled, TimedOut, Failed };

  virtual ~Transport() = default;
  // Opens the control device.
  virtual NtStatus Open() = 0;
  virtual void Close() = 0;
  // One buffered control request; `information` receives the request's
  // information value (0 when the status is an error).
  virtual NtStatus Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
                           uint64_t* information) = 0;
  // An auto-reset event, not signalled; `handleValue` is the value of its handle
  // in this process as the bus is given it (a signed 32-bit handle value).
  virtual NtStatus NewEvent(int32_t* handleValue) = 0;
  virtual void CloseEvent() = 0;
  virtual WaitOutcome WaitEvent(std::chrono::milliseconds timeout) = 0;
  // Signals the event from this side, to wake a waiter.
  virtual void SignalEvent() = 0;
  // Where it leads, for messages ("\\.\Olvex on the kernel host").
  virtual std::string Describe() const = 0;
};

struct ClientOptions {
  // The largest payload a child driver pushes up. The fetch buffer is sized
  // from it so that no record is ever dropped as too large; a record that is
  // larger all the same is dropped by the bus and reported as
  // STATUS_BUFFER_TOO_SMALL. At most limits::kMaxPayload.
  uint32_t maxRecordSize = 4096;
  // How long the receive loop waits before it looks at its stop flag again,
  // should a wake-up be lost; stopping normally wakes it at once.
  std::chrono::milliseconds waitSlice{500};
};

// The default device type of a plugged-in child: FILE_DEVICE_BUS_EXTENDER.
constexpr uint32_t kDefaultDeviceType = 0x2Au;

class Client {
 public:
  using RecordHandler = std::function<void(const Record&)>;
  // Told of every failed fetch in the loop. A record dropped as too large
  // (STATUS_BUFFER_TOO_SMALL) does not stop the loop; any other failure does,
  // after this handler has seen it.
  using ErrorHandler = std::function<void(const Result&)>;

  explicit Client(std::unique_ptr<Transport> transport, ClientOptions options = {});
  // Stops the receive loop, withdraws the event and closes the device. Do not
  // destroy a client from inside one of its own handlers.
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Opens the control device. Refused if the options are out of range.
  Result Open();
  // Creates the event (once) and passes it to the bus with
  // IOCTL_CORVANE_PASS_EVENT. The bus then starts a fresh queue: records it
  // held for an earlier event are discarded.
  Result PassEvent();
  // Withdraws the event with IOCTL_CORVANE_DELETE_EVENT (the bus discards its
  // queue) after stopping the receive loop, and closes the event.
  Result DeleteEvent();
  // Stops the loop, withdraws the event if one was passed, closes the device.
  // The result is the withdrawal's.
  Result Close();

  // IOCTL_NETBUS_PLUG_IN. The serial number must be non-zero (0 means "every
  // child" to unplug) and the list of hardware IDs non-empty; each ID follows
  // the platform's rules (see limits). The first ID becomes the device ID.
  Result PlugIn(uint32_t serial, const std::vector<std::u16string>& hardwareIds,
                uint32_t deviceType = kDefaultDeviceType);
  // The same with ASCII IDs.
  Result PlugIn(uint32_t serial, const std::vector<std::string>& hardwareIds, uint32_t deviceType = kDefaultDeviceType);
  // IOCTL_NETBUS_PLUG_OUT for one child (serial non-zero) or for every child.
  Result Unplug(uint32_t serial);
  Result UnplugAll();

  // IOCTL_CORVANE_PUT_MSG: a record for the child driver's callback, with one
  // of the ids the bus passes down (1, 2, 3, 4, 8, 9).
  Result Put(uint8_t msgId, const void* payload, size_t size);
  Result Put(uint8_t msgId, const std::vector<uint8_t>& payload);

  // IOCTL_CORVANE_GET_MSG: the oldest queued record, or nothing (success and
  // an empty `record`) when the queue is empty.
  Result Fetch(std::optional<Record>& record);

  // A thread that waits on the event and, after each wake, fetches until the
  // bus answers empty, handing every record to `onRecord` in the order the bus
  // queued them. Needs an open device and a passed event. Handlers run on the
  // loop's thread with no lock held; they may call any method but the
  // destructor (StopReceiving from a handler stops the loop after it returns).
  Result StartReceiving(RecordHandler onRecord, ErrorHandler onError = nullptr);
  // Stops the loop and waits for it (unless called from a handler). The
  // result is the loop's: success if it ran until asked to stop, otherwise the
  // failure that ended it.
  Result StopReceiving();
  bool Receiving() const;

  bool IsOpen() const;
  bool EventPassed() const;
  const ClientOptions& Options() const { return options_; }
  Transport& GetTransport() { return *transport_; }

 private:
  struct State;
  // One request, refused when the device is not open.
  Result Send(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength);
  // One fetch into a buffer of the fetch capacity.
  Result FetchInto(std::vector<uint8_t>& buffer, std::optional<Record>& record);

  std::unique_ptr<Transport> transport_;
  ClientOptions options_;
  std::unique_ptr<State> state_;
};

// The records as they cross the boundary, for callers that build requests
// themselves (tools, tests). Each refuses what the client would refuse:
// `detail` says why and the function returns false.
bool EncodePlugIn(uint32_t serial, uint32_t deviceType, const std::vector<std::u16string>& hardwareIds,
                  std::vector<uint8_t>* record, std::string* detail);
bool EncodeUnplug(uint32_t serial, std::vector<uint8_t>* record, std::string* detail);  // 0 = all
bool EncodePut(uint8_t msgId, const void* payload, size_t size, std::vector<uint8_t>* record, std::string* detail);
// A fetch reply of `information` bytes: true with `record` set for a record,
// true with `record` empty for the empty reply, false for a malformed one.
bool DecodeFetchReply(const uint8_t* reply, uint64_t information, uint32_t capacity, std::optional<Record>* record,
                      std::string* detail);

std::u16string AsciiToU16(const std::string& text);
std::string U16ToAscii(const std::u16string& text);  // non-ASCII characters become '?'

}  // namespace velmora
