// The kernel host's runtime library: DbgPrint formats as the kernel's does and
// is captured as lines, counted strings, and the pageable-code check.
#include <thread>

#include "kernel_test.h"

namespace {

class HostRtlTest : public KernelTest {};

std::string OnlyLine() {
  auto lines = khost::TakeTraceLines();
  EXPECT_EQ(lines.size(), 1u);
  return lines.empty() ? std::string() : lines[0];
}

TEST_F(HostRtlTest, DbgPrintFormatsWhatTheDriverPrints) {
  const WCHAR unterminated[3] = {L'x', L'y', L'z'};  // read past it and the sanitizer stops the test
  WCHAR counted[4] = {L'n', L'a', L'm', L'e'};
  UNICODE_STRING name;
  name.Buffer = counted;
  name.Length = 3 * sizeof(WCHAR);  // "nam": the counted length, not the buffer, decides
  name.MaximumLength = sizeof counted;
  void* pointer = reinterpret_cast<void*>(0xFFFFF80012AB34CDull);

  DbgPrint("%d|%d|%x|%X|%08x|%u\r\n", 42, -5, 0xBEEFu, 0xBEEFu, 0x1Fu, 4000000000u);
  EXPECT_EQ(OnlyLine(), "42|-5|beef|BEEF|0000001f|4000000000");
  // %lx and %ld are 32-bit, as ULONG and LONG are: the next argument is not swallowed.
  DbgPrint("err=0x%lx next=%d|%ld\r\n", static_cast<ULONG>(0xC000009A), 7, static_cast<LONG>(-3));
  EXPECT_EQ(OnlyLine(), "err=0xc000009a next=7|-3");
  DbgPrint("NTSTATUS:%x\r\n", static_cast<ULONG>(STATUS_DEVICE_NOT_CONNECTED));
  EXPECT_EQ(OnlyLine(), "NTSTATUS:c000009d");
  DbgPrint("%ws|%ls|%S\r\n", L"wide", L"also", L"upper");
  EXPECT_EQ(OnlyLine(), "wide|also|upper");
  DbgPrint("FileName: %.*ws|\r\n", 3, unterminated);
  EXPECT_EQ(OnlyLine(), "FileName: xyz|");
  DbgPrint("FileName: %.*ws|\r\n", 0, L"");
  EXPECT_EQ(OnlyLine(), "FileName: |");
  DbgPrint("%wZ|\r\n", &name);
  EXPECT_EQ(OnlyLine(), "nam|");
  DbgPrint("%s|%.2s|%c|%%\r\n", "narrow", "abc", 'q');
  EXPECT_EQ(OnlyLine(), "narrow|ab|q|%");
  DbgPrint("%p\r\n", pointer);
  EXPECT_EQ(OnlyLine(), "FFFFF80012AB34CD");
  DbgPrint("%I64x|%lld|%Iu\r\n", 0x123456789ull, -9000000000ll, static_cast<SIZE_T>(1) << 40);
  EXPECT_EQ(OnlyLine(), "123456789|-9000000000|1099511627776");
  DbgPrint("%ws|%s\r\n", static_cast<const WCHAR*>(nullptr), static_cast<const char*>(nullptr));
  EXPECT_EQ(OnlyLine(), "(null)|(null)");
  DbgPrint("%04d|%-4d|\r\n", 7, 7);
  EXPECT_EQ(OnlyLine(), "0007|7   |");
}

TEST_F(HostRtlTest, ALineEndsOnlyAtCarriageReturnLineFeedAndMaySpanCalls) {
  DbgPrint("Velmora===>");
  DbgPrint("%s", "DriverEntry");
  EXPECT_TRUE(khost::TraceLines().empty()) << "nothing is a line before its \\r\\n";
  DbgPrint("\r\n");
  DbgPrint("one\ntwo\r\nthree\r\n");
  EXPECT_EQ(khost::TakeTraceLines(), (std::vector<std::string>{"Velmora===>DriverEntry", "one\ntwo", "three"}));
  EXPECT_TRUE(khost::TraceLines().empty()) << "taken lines are gone";
}

TEST_F(HostRtlTest, LinesFromDifferentThreadsDoNotInterleave) {
  DbgPrint("main-");
  std::thread other([] { DbgPrint("other line\r\n"); });
  other.join();
  DbgPrint("line\r\n");
  EXPECT_EQ(khost::TakeTraceLines(), (std::vector<std::string>{"other line", "main-line"}));
}

TEST_F(HostRtlTest, InitUnicodeStringCountsWithoutTheTerminator) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, L"\\??\\Olvex");
  EXPECT_EQ(s.Length, 9 * sizeof(WCHAR));
  EXPECT_EQ(s.MaximumLength, 10 * sizeof(WCHAR));
  RtlInitUnicodeString(&s, nullptr);
  EXPECT_EQ(s.Length, 0);
  EXPECT_EQ(s.MaximumLength, 0);
  EXPECT_EQ(s.Buffer, nullptr);
  UNICODE_STRING constant = RTL_CONSTANT_STRING(L"\\Device\\Velmora");
  EXPECT_EQ(constant.Length, 15 * sizeof(WCHAR));
}

void PageableRoutine() { PAGED_CODE(); }

TEST_F(HostRtlTest, PageableCodeAboveApcLevelIsReported) {
  khost::RunAtIrql(APC_LEVEL, PageableRoutine);
  EXPECT_TRUE(khost::Violations().empty());
  khost::RunAtIrql(DISPATCH_LEVEL, PageableRoutine);
  auto violations = TakeViolations();
  ASSERT_TRUE(Reported(violations, "paged-code-at-raised-irql")) << khost::DescribeViolations(violations);
  EXPECT_NE(violations[0].detail.find("PageableRoutine"), std::string::npos) << violations[0].detail;
}

}  // namespace
