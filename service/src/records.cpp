// Velmora client library: the request and reply records, byte for byte, and
// the checks that keep a bad argument from ever reaching the driver.
#include <cstdio>
#include <cstring>

#include "velmora_client.h"
#include "velmora_ioctl.h"

namespace velmora {

namespace {

void Put32(std::vector<uint8_t>& out, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t Get32(const uint8_t* in) {
  return static_cast<uint32_t>(in[0]) | static_cast<uint32_t>(in[1]) << 8 | static_cast<uint32_t>(in[2]) << 16 |
         static_cast<uint32_t>(in[3]) << 24;
}

// The child's instance ID is the serial number printed "%04d" as a signed
// 32-bit number.
size_t InstanceIdChars(uint32_t serial) {
  const bool negative = (serial & 0x80000000u) != 0;
  uint32_t magnitude = negative ? 0u - serial : serial;
  size_t chars = negative ? 1 : 0;
  do {
    ++chars;
    magnitude /= 10;
  } while (magnitude != 0);
  return chars < 4 ? 4 : chars;
}

std::string Printable(const std::u16string& id) {
  std::string text;
  for (char16_t c : id) {
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      char hex[12];
      (void)std::snprintf(hex, sizeof(hex), "\\u%04X", static_cast<unsigned>(c));
      text += hex;
    }
  }
  return text;
}

bool Fail(std::string* detail, const std::string& why) {
  if (detail) *detail = why;
  return false;
}

}  // namespace

bool IsPutMessageId(uint8_t msgId) {
  switch (msgId) {
    case 1:
    case 2:
    case 3:
    case 4:
    case 8:
    case 9:
      return true;
    default:
      return false;
  }
}

std::u16string AsciiToU16(const std::string& text) {
  std::u16string wide;
  wide.reserve(text.size());
  for (unsigned char c : text) wide += static_cast<char16_t>(c);
  return wide;
}

std::string U16ToAscii(const std::u16string& text) {
  std::string narrow;
  narrow.reserve(text.size());
  for (char16_t c : text) narrow += (c < 0x80) ? static_cast<char>(c) : '?';
  return narrow;
}

bool EncodePlugIn(uint32_t serial, uint32_t deviceType, const std::vector<std::u16string>& hardwareIds,
                  std::vector<uint8_t>* record, std::string* detail) {
  if (serial == 0)
    return Fail(detail,
                "serial number 0 is refused: an unplug of 0 means every child, so such a child "
                "could never be unplugged alone");
  if (hardwareIds.empty()) return Fail(detail, "the list of hardware IDs is empty");

  size_t chars = 1;  // the closing null of the multi-string
  for (size_t i = 0; i < hardwareIds.size(); ++i) {
    const std::u16string& id = hardwareIds[i];
    const std::string which = "hardware ID " + std::to_string(i + 1);
    if (id.empty()) return Fail(detail, which + " is empty (it would end the list early)");
    for (size_t k = 0; k < id.size(); ++k) {
      const char16_t c = id[k];
      if (c <= 0x20 || c > 0x7F || c == u',') {
        char where[96];
        (void)std::snprintf(where, sizeof(where), " has an illegal character 0x%02X at position %zu",
                      static_cast<unsigned>(c), k + 1);
        return Fail(detail, which + " \"" + Printable(id) + "\"" + where + " (allowed: '!' to 0x7F except ',')");
      }
    }
    if (id.size() > limits::kMaxIdChars)
      return Fail(detail, which + " is " + std::to_string(id.size()) + " characters long; at most " +
                              std::to_string(limits::kMaxIdChars) + " are allowed");
    if (i == 0 && id.size() + InstanceIdChars(serial) > limits::kMaxDeviceInstanceChars)
      return Fail(detail, "the first hardware ID (the device ID) and the instance ID of serial " +
                              std::to_string(serial) + " together exceed " +
                              std::to_string(limits::kMaxDeviceInstanceChars) + " characters");
    chars += id.size() + 1;
  }
  if (chars > limits::kMaxMultiSzChars)
    return Fail(detail, "the hardware IDs take " + std::to_string(chars) + " characters with their nulls; at most " +
                            std::to_string(limits::kMaxMultiSzChars) + " are allowed");

  std::vector<uint8_t>& out = *record;
  out.assign(BUS_PLUGIN_REQUEST_HEADER_SIZE + chars * 2, 0);
  Put32(out, 0, static_cast<uint32_t>(out.size()));
  Put32(out, 4, deviceType);
  Put32(out, 8, serial);
  size_t at = BUS_PLUGIN_REQUEST_HEADER_SIZE;
  for (const std::u16string& id : hardwareIds) {
    for (char16_t c : id) {
      out[at++] = static_cast<uint8_t>(c);
      out[at++] = static_cast<uint8_t>(c >> 8);
    }
    at += 2;  // the string's null
  }
  // The closing null is already there: the record was zero-filled.
  return true;
}

bool EncodeUnplug(uint32_t serial, std::vector<uint8_t>* record, std::string* detail) {
  (void)detail;
  record->assign(BUS_UNPLUG_REQUEST_SIZE, 0);
  Put32(*record, 0, BUS_UNPLUG_REQUEST_SIZE);
  Put32(*record, 8, serial);
  return true;
}

bool EncodePut(uint8_t msgId, const void* payload, size_t size, std::vector<uint8_t>* record, std::string* detail) {
  if (!IsPutMessageId(msgId))
    return Fail(detail, "message id " + std::to_string(msgId) +
                            " is not one the bus passes down to the child driver (1, 2, 3, 4, 8 or 9)");
  if (size > limits::kMaxPayload)
    return Fail(detail, "the payload is " + std::to_string(size) + " bytes; at most " +
                            std::to_string(limits::kMaxPayload) + " are allowed");
  if (size != 0 && payload == nullptr) return Fail(detail, "the payload pointer is null");
  record->assign(VELMORA_MSG_HEADER_SIZE + size, 0);
  (*record)[0] = NETBUS_MSG_TAG;
  (*record)[1] = msgId;
  Put32(*record, 4, static_cast<uint32_t>(size));
  if (size) std::memcpy(record->data() + VELMORA_MSG_HEADER_SIZE, payload, size);
  return true;
}

bool DecodeFetchReply(const uint8_t* reply, uint64_t information, uint32_t capacity, std::optional<Record>* record,
                      std::string* detail) {
  record->reset();
  if (information < VELMORA_GET_MSG_MIN_OUTPUT)
    return Fail(detail, "the reply is " + std::to_string(information) + " bytes, shorter than the " +
                            std::to_string(VELMORA_GET_MSG_MIN_OUTPUT) + " of an empty one");
  const uint32_t length = Get32(reply + 4);
  if (length == 0) {
    // The empty reply: 12 zero bytes.
    for (unsigned i = 0; i < VELMORA_GET_MSG_MIN_OUTPUT; ++i)
      if (reply[i] != 0) return Fail(detail, "an empty reply with non-zero bytes");
    if (information != VELMORA_GET_MSG_MIN_OUTPUT)
      return Fail(detail, "an empty reply of " + std::to_string(information) + " bytes");
    return true;
  }
  if (reply[0] != NETBUS_MSG_TAG || reply[1] != MSG_SEND_DATA)
    return Fail(detail, "a reply with tag " + std::to_string(reply[0]) + " and id " + std::to_string(reply[1]));
  if (static_cast<uint64_t>(length) + VELMORA_GET_MSG_OVERHEAD != information ||
      static_cast<uint64_t>(length) + VELMORA_GET_MSG_OVERHEAD > capacity)
    return Fail(detail, "a record of " + std::to_string(length) + " bytes in a reply of " +
                            std::to_string(information) + " bytes");
  Record r;
  r.tag = reply[0];
  r.msgId = reply[1];
  r.payload.assign(reply + VELMORA_MSG_HEADER_SIZE, reply + VELMORA_MSG_HEADER_SIZE + length);
  *record = std::move(r);
  return true;
}

}  // namespace velmora
