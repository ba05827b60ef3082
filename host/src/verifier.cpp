// Kernel host: the verifier's record of broken rules, and small string helpers.
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "internal.h"

namespace khost {
namespace {
std::mutex g_violationLock;
std::vector<Violation> g_violations;
bool g_abortOnViolation = std::getenv("VELMORA_ABORT_ON_VIOLATION") != nullptr;
}  // namespace

// "0x" and lowercase digits, as %#llx prints a value that is not zero. By
// hand: the manager's history and the checks' messages call it per request.
std::string Hex(uint64_t value) {
  char text[2 + 16];
  char* end = text + sizeof text;
  char* digit = end;
  do {
    *--digit = "0123456789abcdef"[value & 0xF];
    value >>= 4;
  } while (value);
  *--digit = 'x';
  *--digit = '0';
  return std::string(digit, end);
}

std::string Format(const char* format, ...) {
  char text[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

void ReportViolation(const std::string& check, const std::string& detail) {
  {
    std::lock_guard<std::mutex> hold(g_violationLock);
    g_violations.push_back({check, detail});
  }
  std::fprintf(stderr, "[kernel host verifier] %s: %s\n", check.c_str(), detail.c_str());
  if (g_abortOnViolation) std::abort();
}

std::vector<Violation> Violations() {
  std::lock_guard<std::mutex> hold(g_violationLock);
  return g_violations;
}

std::vector<Violation> TakeViolations() {
  std::lock_guard<std::mutex> hold(g_violationLock);
  std::vector<Violation> taken;
  taken.swap(g_violations);
  return taken;
}

bool HasViolation(const std::string& check) {
  std::lock_guard<std::mutex> hold(g_violationLock);
  for (const Violation& v : g_violations)
    if (v.check == check) return true;
  return false;
}

std::string DescribeViolations(const std::vector<Violation>& violations) {
  std::string text;
  for (const Violation& v : violations) text += "  " + v.check + ": " + v.detail + "\n";
  return text;
}

void ResetViolations() {
  std::lock_guard<std::mutex> hold(g_violationLock);
  g_violations.clear();
}

// ------------------------------------------------------------------ strings
std::u16string U16(const char* ascii) {
  std::u16string text;
  for (; *ascii; ++ascii) text.push_back(static_cast<char16_t>(static_cast<unsigned char>(*ascii)));
  return text;
}

std::u16string U16(const WCHAR* text) {
  std::u16string result;
  if (!text) return result;
  for (; *text; ++text) result.push_back(static_cast<char16_t>(*text));
  return result;
}

std::string Narrow(const WCHAR* text, size_t chars) {
  std::string result;
  for (size_t i = 0; i < chars; ++i) {
    uint32_t c = static_cast<uint16_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < chars) {
      uint32_t low = static_cast<uint16_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (c < 0x80) {
      result.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      result.push_back(static_cast<char>(0xC0 | (c >> 6)));
      result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      result.push_back(static_cast<char>(0xE0 | (c >> 12)));
      result.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      result.push_back(static_cast<char>(0xF0 | (c >> 18)));
      result.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      result.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return result;
}

std::string Narrow(const std::u16string& text) {
  return Narrow(reinterpret_cast<const WCHAR*>(text.data()), text.size());
}

std::vector<std::u16string> SplitMultiSz(const WCHAR* text, size_t maxChars) {
  std::vector<std::u16string> strings;
  size_t i = 0;
  while (i < maxChars && text[i] != 0) {
    std::u16string one;
    while (i < maxChars && text[i] != 0) one.push_back(static_cast<char16_t>(text[i++]));
    strings.push_back(one);
    ++i;  // the string's null
  }
  return strings;
}

std::u16string JoinMultiSz(const std::vector<std::u16string>& strings) {
  std::u16string joined;
  for (const std::u16string& s : strings) {
    joined += s;
    joined.push_back(0);
  }
  joined.push_back(0);
  if (strings.empty()) joined.push_back(0);
  return joined;
}

}  // namespace khost
