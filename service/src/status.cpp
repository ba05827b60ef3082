// Velmora client library: NTSTATUS values as a person reads them.
#include <cstdio>

#include "velmora_client.h"

namespace velmora {

namespace {

struct StatusText {
  NtStatus value;
  const char* name;
  const char* text;
};

// The statuses the bus, the I/O manager in front of it and this library answer.
constexpr StatusText kStatuses[] = {
    {status::kSuccess, "STATUS_SUCCESS", "the operation completed successfully"},
    {status::kTimeout, "STATUS_TIMEOUT", "the wait timed out"},
    {status::kPending, "STATUS_PENDING", "the operation is still in progress"},
    {status::kUnsuccessful, "STATUS_UNSUCCESSFUL",
     "the operation failed (the bus has no event or no child driver registered for it)"},
    {status::kNotImplemented, "STATUS_NOT_IMPLEMENTED", "the platform does not implement this"},
    {status::kInvalidHandle, "STATUS_INVALID_HANDLE", "the handle is not valid"},
    {status::kInvalidParameter, "STATUS_INVALID_PARAMETER", "an invalid parameter was passed"},
    {status::kNoSuchDevice, "STATUS_NO_SUCH_DEVICE", "no such child is on the bus"},
    {status::kInvalidDeviceRequest, "STATUS_INVALID_DEVICE_REQUEST", "the device does not accept this request"},
    {status::kAccessDenied, "STATUS_ACCESS_DENIED",
     "access is denied (the control device admits SYSTEM and Administrators)"},
    {status::kBufferTooSmall, "STATUS_BUFFER_TOO_SMALL",
     "the buffer is too small (a record larger than the fetch buffer was dropped)"},
    {status::kObjectTypeMismatch, "STATUS_OBJECT_TYPE_MISMATCH", "the handle is not of the expected type"},
    {status::kObjectNameNotFound, "STATUS_OBJECT_NAME_NOT_FOUND",
     "the control device was not found (is the bus installed and started?)"},
    {status::kObjectPathNotFound, "STATUS_OBJECT_PATH_NOT_FOUND", "the path was not found"},
    {status::kDataError, "STATUS_DATA_ERROR", "the reply is malformed"},
    {status::kDeletePending, "STATUS_DELETE_PENDING", "the bus is being removed"},
    {status::kInsufficientResources, "STATUS_INSUFFICIENT_RESOURCES", "the system is out of resources"},
    {status::kDeviceNotConnected, "STATUS_DEVICE_NOT_CONNECTED", "the bus is not started"},
    {status::kIoTimeout, "STATUS_IO_TIMEOUT", "the operation did not finish in the time allowed"},
    {status::kNotSupported, "STATUS_NOT_SUPPORTED", "the request is not supported"},
    {status::kInvalidDeviceState, "STATUS_INVALID_DEVICE_STATE", "the client is not in a state for this call"},
    {0xC0000005u, "STATUS_ACCESS_VIOLATION", "invalid memory access"},
    {0xC0000033u, "STATUS_OBJECT_NAME_INVALID", "the object name is invalid"},
    {0xC0000043u, "STATUS_SHARING_VIOLATION", "the device is opened exclusively elsewhere"},
    {0xC000000Fu, "STATUS_NO_SUCH_FILE", "no such file"},
};

const StatusText* Find(NtStatus value) {
  for (const StatusText& s : kStatuses)
    if (s.value == value) return &s;
  return nullptr;
}

}  // namespace

const char* StatusName(NtStatus value) {
  const StatusText* s = Find(value);
  return s ? s->name : nullptr;
}

std::string DescribeStatus(NtStatus value) {
  char code[16];
  (void)std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(value));
  const StatusText* s = Find(value);
  if (!s) return std::string("NTSTATUS ") + code;
  return std::string(s->name) + " (" + code + "): " + s->text;
}

std::string Result::Message() const {
  std::string message = DescribeStatus(status);
  if (!detail.empty()) message += " - " + detail;
  if (!sent && !ok()) message += " [refused by the client, nothing was sent]";
  return message;
}

}  // namespace velmora
