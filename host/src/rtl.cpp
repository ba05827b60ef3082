// Kernel host: the runtime library and the debugger's print. DbgPrint formats
// as the kernel's does (ULONG-sized %d/%x/%lx, %ws/%ls/%S for UTF-16, %wZ for
// counted strings, %wc/%lc/%C for a UTF-16 character, I64 and z/I for 64-bit),
// refuses the Unicode ones above PASSIVE_LEVEL, and keeps what was printed as
// lines, one per "\r\n", for tests to read.
#include <cstdarg>
#include <cstdio>

#include "internal.h"

namespace khost {
namespace {
std::mutex g_traceLock;
std::vector<std::string> g_lines;
bool g_echo = false;
thread_local std::string t_partial;

void AppendWide(std::string& out, const WCHAR* text, long long chars, int width, bool left) {
  std::string narrow;
  if (!text) {
    narrow = "(null)";
  } else {
    size_t n = 0;
    while ((chars < 0 || static_cast<long long>(n) < chars) && text[n]) ++n;
    narrow = Narrow(text, n);
  }
  if (!left && static_cast<int>(narrow.size()) < width) out.append(width - narrow.size(), ' ');
  out += narrow;
  if (left && static_cast<int>(narrow.size()) < width) out.append(width - narrow.size(), ' ');
}

// `unicode` is set when a directive converts UTF-16 text (%ws, %ls, %S, %wZ,
// %wc, %lc, %C): the conversion may touch pageable tables.
std::string FormatKernel(const char* format, va_list args, bool* unicode) {
  std::string out;
  for (const char* p = format; *p; ++p) {
    if (*p != '%') {
      out.push_back(*p);
      continue;
    }
    const char* start = p++;
    std::string flags;
    while (*p && std::strchr("-+ #0", *p)) flags.push_back(*p++);
    int width = -1;
    if (*p == '*') {
      width = va_arg(args, int);
      ++p;
    } else if (*p >= '0' && *p <= '9') {
      width = 0;
      while (*p >= '0' && *p <= '9') width = width * 10 + (*p++ - '0');
    }
    int precision = -1;
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        precision = va_arg(args, int);
        ++p;
      } else {
        precision = 0;
        while (*p >= '0' && *p <= '9') precision = precision * 10 + (*p++ - '0');
      }
    }
    // Length: h, l (32-bit on Windows), ll, I64, I/z (pointer width), w (wide).
    int bits = 32;
    bool wide = false;
    if (*p == 'h') {
      ++p;
      if (*p == 'h') ++p;
    } else if (*p == 'l') {
      ++p;
      if (*p == 'l') {
        bits = 64;
        ++p;
      } else {
        wide = true;  // %ls is wide; %ld stays 32-bit
      }
    } else if (*p == 'I' && p[1] == '6' && p[2] == '4') {
      bits = 64;
      p += 3;
    } else if (*p == 'I' && p[1] == '3' && p[2] == '2') {
      p += 3;
    } else if (*p == 'I' || *p == 'z') {
      bits = 64;
      ++p;
    } else if (*p == 'w') {
      wide = true;
      ++p;
    }
    char conversion = *p;
    if (!conversion) break;
    std::string directive = "%" + flags;
    if (width >= 0) directive += std::to_string(width);
    if (precision >= 0) directive += "." + std::to_string(precision);
    char buffer[128];
    switch (conversion) {
      case 'd':
      case 'i':
        if (bits == 64)
          std::snprintf(buffer, sizeof buffer, (directive + "lld").c_str(), va_arg(args, long long));
        else
          std::snprintf(buffer, sizeof buffer, (directive + "d").c_str(), va_arg(args, int));
        out += buffer;
        break;
      case 'u':
      case 'x':
      case 'X':
      case 'o':
        if (bits == 64)
          std::snprintf(buffer, sizeof buffer, (directive + "ll" + conversion).c_str(),
                        va_arg(args, unsigned long long));
        else
          std::snprintf(buffer, sizeof buffer, (directive + conversion).c_str(), va_arg(args, unsigned));
        out += buffer;
        break;
      case 'c':
      case 'C':
        if (wide || conversion == 'C') {
          *unicode = true;
          const WCHAR c = static_cast<WCHAR>(va_arg(args, int));
          out += Narrow(&c, 1);
        } else {
          out.push_back(static_cast<char>(va_arg(args, int)));
        }
        break;
      case 'p': {
        // The kernel prints pointers as 16 hex digits.
        std::snprintf(buffer, sizeof buffer, "%016llX",
                      static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(args, void*))));
        out += buffer;
        break;
      }
      case 'S':
        *unicode = true;
        AppendWide(out, va_arg(args, const WCHAR*), precision, width, flags.find('-') != std::string::npos);
        break;
      case 's':
        if (wide) {
          *unicode = true;
          AppendWide(out, va_arg(args, const WCHAR*), precision, width,
                     flags.find('-') != std::string::npos);
        } else {
          const char* text = va_arg(args, const char*);
          if (!text) text = "(null)";
          std::string s = precision >= 0 ? std::string(text, strnlen(text, precision)) : std::string(text);
          if (width > static_cast<int>(s.size()) && flags.find('-') == std::string::npos)
            out.append(width - s.size(), ' ');
          out += s;
          if (width > static_cast<int>(s.size()) && flags.find('-') != std::string::npos)
            out.append(width - s.size(), ' ');
        }
        break;
      case 'Z':
        if (wide) {
          *unicode = true;
          const UNICODE_STRING* counted = va_arg(args, const UNICODE_STRING*);
          if (counted && counted->Buffer)
            out += Narrow(counted->Buffer, counted->Length / sizeof(WCHAR));
          else
            out += "(null)";
        } else {
          out += "%Z";
        }
        break;
      case '%':
        out.push_back('%');
        break;
      default:
        out.append(start, p + 1);
        break;
    }
  }
  return out;
}

void Emit(const std::string& text) {
  t_partial += text;
  size_t end;
  while ((end = t_partial.find("\r\n")) != std::string::npos) {
    std::string line = t_partial.substr(0, end);
    t_partial.erase(0, end + 2);
    std::lock_guard<std::mutex> hold(g_traceLock);
    if (g_echo) std::fprintf(stderr, "%s\n", line.c_str());
    g_lines.push_back(std::move(line));
  }
}
}  // namespace

std::vector<std::string> TraceLines() {
  std::lock_guard<std::mutex> hold(g_traceLock);
  return g_lines;
}

std::vector<std::string> TakeTraceLines() {
  std::lock_guard<std::mutex> hold(g_traceLock);
  std::vector<std::string> taken;
  taken.swap(g_lines);
  return taken;
}

void SetTraceEcho(bool echo) {
  std::lock_guard<std::mutex> hold(g_traceLock);
  g_echo = echo;
}

void ResetTrace() {
  std::lock_guard<std::mutex> hold(g_traceLock);
  g_lines.clear();
  t_partial.clear();
}

}  // namespace khost

using namespace khost;

extern "C" {

ULONG DbgPrint(PCSTR Format, ...) {
  va_list args;
  va_start(args, Format);
  bool unicode = false;
  std::string text = FormatKernel(Format, args, &unicode);
  va_end(args);
  // The documentation allows the Unicode conversions only at PASSIVE_LEVEL.
  if (unicode && ThreadIrql() > PASSIVE_LEVEL)
    ReportViolation("unicode-format-at-raised-irql",
                    khost::Format("DbgPrint(\"%s\") converts Unicode text at IRQL %d", Format, ThreadIrql()));
  Emit(text);
  return STATUS_SUCCESS;
}

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
  DestinationString->Buffer = const_cast<PWSTR>(SourceString);
  if (!SourceString) {
    DestinationString->Length = DestinationString->MaximumLength = 0;
    return;
  }
  size_t n = 0;
  while (SourceString[n]) ++n;
  if (n * sizeof(WCHAR) > 0xFFFC) n = 0xFFFC / sizeof(WCHAR);
  DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
  DestinationString->MaximumLength = static_cast<USHORT>(DestinationString->Length + sizeof(WCHAR));
}

VOID HostCheckPagedCode(PCSTR Function) {
  if (ThreadIrql() > APC_LEVEL)
    ReportViolation("paged-code-at-raised-irql",
                    Format("pageable routine %s runs at IRQL %d", Function, ThreadIrql()));
}

}  // extern "C"
