// The kernel host's user-mode side: a service opens a device through its
// Win32 path, sends buffered control requests and closes its handle, and the
// requests reach the driver the way the I/O manager builds them.
#include <algorithm>

#include "kernel_test.h"

namespace {

constexpr ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

// ------------------------------------------------------------------ recording driver
// A named device with a second device of the same driver attached on top: it
// records what reached it and answers control requests as the test asks.
struct Seen {
  std::vector<std::string> requests;  // "create@top", "cleanup@top", ...
  std::u16string fileName;
  USHORT fileNameMaximum = 0;
  KPROCESSOR_MODE mode = -1;
  UCHAR major = 0;
  ULONG inLength = 0, outLength = 0;
  std::vector<uint8_t> systemBuffer;  // max(in, out) bytes as the driver found them
  bool systemBufferNull = false;
};
struct Answer {
  NTSTATUS createStatus = STATUS_SUCCESS;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  ULONG write = 0;  // reply bytes written at the start of the system buffer (0xA0 + i)
};
Seen g_seen;
Answer g_answer;
PDEVICE_OBJECT g_named, g_top;

const char* Where(PDEVICE_OBJECT device) { return device == g_top ? "@top" : "@named"; }

NTSTATUS RecordDispatch(PDEVICE_OBJECT device, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  g_seen.mode = irp->RequestorMode;
  g_seen.major = stack->MajorFunction;
  NTSTATUS status = STATUS_SUCCESS;
  ULONG_PTR information = 0;
  switch (stack->MajorFunction) {
    case IRP_MJ_CREATE: {
      g_seen.requests.push_back(std::string("create") + Where(device));
      UNICODE_STRING& name = stack->FileObject->FileName;
      g_seen.fileName.assign(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
      g_seen.fileNameMaximum = name.MaximumLength;
      status = g_answer.createStatus;
      break;
    }
    case IRP_MJ_CLEANUP:
      g_seen.requests.push_back(std::string("cleanup") + Where(device));
      break;
    case IRP_MJ_CLOSE:
      g_seen.requests.push_back(std::string("close") + Where(device));
      break;
    default: {
      g_seen.requests.push_back(std::string("control") + Where(device));
      g_seen.inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
      g_seen.outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
      auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
      g_seen.systemBufferNull = buffer == nullptr;
      if (buffer) {
        g_seen.systemBuffer.assign(buffer, buffer + std::max(g_seen.inLength, g_seen.outLength));
        for (ULONG i = 0; i < g_answer.write; ++i) buffer[i] = static_cast<uint8_t>(0xA0 + i);
      }
      status = g_answer.status;
      information = g_answer.information;
      break;
    }
  }
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RecordDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& major : driver->MajorFunction) major = RecordDispatch;
  UNICODE_STRING name = RTL_CONSTANT_STRING(L"\\Device\\UserProbe");
  UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\??\\UserProbe");
  NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_named);
  if (!NT_SUCCESS(status)) return status;
  status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_top);
  if (!NT_SUCCESS(status)) return status;
  IoAttachDeviceToDeviceStack(g_top, g_named);
  IoCreateSymbolicLink(&link, &name);
  g_named->Flags &= ~DO_DEVICE_INITIALIZING;
  g_top->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

class HostUserTest : public KernelTest {
 protected:
  void SetUp() override {
    KernelTest::SetUp();
    g_seen = Seen{};
    g_answer = Answer{};
    driver_ = khost::LoadDriver(u"userprobe", RecordDriverEntry);
    ASSERT_NE(driver_, nullptr);
  }
  void EndScenario() override {
    service_.reset();
    UNICODE_STRING link = RTL_CONSTANT_STRING(L"\\??\\UserProbe");
    IoDeleteSymbolicLink(&link);
    IoDetachDevice(g_named);
    IoDeleteDevice(g_top);
    IoDeleteDevice(g_named);
    khost::UnloadDriver(driver_);
  }
  HANDLE Open() {
    NTSTATUS status;
    HANDLE handle = service_->CreateFile(u"\\\\.\\UserProbe", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    g_seen = Seen{};
    return handle;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::unique_ptr<khost::Process> service_ = std::make_unique<khost::Process>("service");
};

TEST_F(HostUserTest, AnOpenReachesTheTopOfTheLinkedStackWithTheCountedRemainderAsFileName) {
  NTSTATUS status;
  HANDLE handle = service_->CreateFile(u"\\\\.\\UserProbe\\abc\\def", &status);
  ASSERT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(g_seen.requests, std::vector<std::string>{"create@top"});
  EXPECT_EQ(khost::Narrow(g_seen.fileName), "\\abc\\def");
  EXPECT_EQ(g_seen.fileNameMaximum, g_seen.fileName.size() * 2) << "no room for a terminator";
  EXPECT_EQ(g_seen.mode, UserMode);
  service_->Close(handle);

  handle = service_->CreateFile(u"\\\\.\\USERPROBE", &status);
  EXPECT_EQ(status, STATUS_SUCCESS) << "links resolve case-insensitively";
  EXPECT_TRUE(g_seen.fileName.empty());
  service_->Close(handle);

  EXPECT_EQ(service_->CreateFile(u"\\\\.\\NoSuchThing", &status), nullptr);
  EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(HostUserTest, ARefusedOpenGetsNoHandleAndNoCleanupOrClose) {
  g_answer.createStatus = STATUS_ACCESS_DENIED;
  NTSTATUS status;
  EXPECT_EQ(service_->CreateFile(u"\\\\.\\UserProbe", &status), nullptr);
  EXPECT_EQ(status, STATUS_ACCESS_DENIED);
  EXPECT_EQ(service_->OpenHandles(), 0u);
  EXPECT_EQ(g_seen.requests, std::vector<std::string>{"create@top"});
  EXPECT_EQ(khost::Objects().liveObjects, 3u) << "the file object is gone; the driver and its devices remain";
}

TEST_F(HostUserTest, AnInitializingDeviceCannotBeOpened) {
  g_named->Flags |= DO_DEVICE_INITIALIZING;
  NTSTATUS status;
  EXPECT_EQ(service_->CreateFile(u"\\\\.\\UserProbe", &status), nullptr);
  EXPECT_EQ(status, STATUS_NO_SUCH_DEVICE);
  EXPECT_TRUE(g_seen.requests.empty());
  g_named->Flags &= ~DO_DEVICE_INITIALIZING;
}

TEST_F(HostUserTest, ClosingAHandleSendsCleanupThenClose) {
  HANDLE handle = Open();
  EXPECT_EQ(service_->Close(handle), STATUS_SUCCESS);
  EXPECT_EQ(g_seen.requests, (std::vector<std::string>{"cleanup@top", "close@top"}));
  EXPECT_EQ(service_->Close(handle), STATUS_INVALID_HANDLE);
  Open();
  service_.reset();  // process exit closes what is still open
  EXPECT_EQ(g_seen.requests, (std::vector<std::string>{"cleanup@top", "close@top"}));
}

TEST_F(HostUserTest, TheSystemBufferHoldsTheInputThenPoisonUpToTheLargerLength) {
  HANDLE handle = Open();
  struct Case {
    ULONG in, out;
  };
  for (Case c : {Case{4, 16}, Case{16, 4}, Case{7, 7}, Case{0, 9}}) {
    std::vector<uint8_t> input(c.in);
    for (ULONG i = 0; i < c.in; ++i) input[i] = static_cast<uint8_t>(i + 1);
    std::vector<uint8_t> output(c.out);
    g_seen = Seen{};
    ASSERT_EQ(service_->DeviceIoControl(handle, kCode, input.data(), c.in, output.data(), c.out), STATUS_SUCCESS);
    ASSERT_EQ(g_seen.systemBuffer.size(), std::max(c.in, c.out)) << c.in << "/" << c.out;
    EXPECT_EQ(g_seen.inLength, c.in);
    EXPECT_EQ(g_seen.outLength, c.out);
    for (size_t i = 0; i < g_seen.systemBuffer.size(); ++i) {
      uint8_t expected = i < c.in ? input[i] : khost::PoisonByte(i);
      EXPECT_EQ(g_seen.systemBuffer[i], expected) << "byte " << i << " of " << c.in << "/" << c.out;
    }
    EXPECT_EQ(g_seen.mode, UserMode);
    EXPECT_EQ(g_seen.major, IRP_MJ_DEVICE_CONTROL);
    EXPECT_EQ(g_seen.requests, std::vector<std::string>{"control@top"});
  }
  g_seen = Seen{};
  EXPECT_EQ(service_->DeviceIoControl(handle, kCode, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
  EXPECT_TRUE(g_seen.systemBufferNull) << "no buffer for a request without input or output";

  EXPECT_EQ(service_->DeviceIoControl(handle, kCode, nullptr, 0, nullptr, 0, nullptr, true), STATUS_SUCCESS);
  EXPECT_EQ(g_seen.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  EXPECT_EQ(service_->DeviceIoControl(reinterpret_cast<HANDLE>(0x400), kCode, nullptr, 0, nullptr, 0),
            STATUS_INVALID_HANDLE);
}

TEST_F(HostUserTest, OnlyInformationBytesComeBackAndOnlyForANonErrorStatus) {
  HANDLE handle = Open();
  struct Case {
    NTSTATUS status;
    ULONG_PTR information;
    size_t copied;
  };
  std::vector<Case> cases = {
      {STATUS_SUCCESS, 4, 4},
      {STATUS_SUCCESS, 0, 0},
      {STATUS_BUFFER_OVERFLOW, 8, 8},  // a warning still returns its data
      {STATUS_INVALID_PARAMETER, 8, 0},
      {STATUS_UNSUCCESSFUL, 0, 0},
  };
  for (const Case& c : cases) {
    g_answer.status = c.status;
    g_answer.information = c.information;
    g_answer.write = 8;
    std::vector<uint8_t> output(12, 0x11);
    ULONG_PTR returned = 99;
    EXPECT_EQ(service_->DeviceIoControl(handle, kCode, nullptr, 0, output.data(), 12, &returned), c.status);
    EXPECT_EQ(returned, c.information);
    for (size_t i = 0; i < output.size(); ++i) {
      uint8_t expected = i < c.copied ? static_cast<uint8_t>(0xA0 + i) : 0x11;
      EXPECT_EQ(output[i], expected) << "status " << std::hex << c.status << " byte " << std::dec << i;
    }
  }
}

TEST_F(HostUserTest, ReplyMistakesAreReported) {
  HANDLE handle = Open();
  uint8_t output[8];
  g_answer.information = 12;
  g_answer.write = 12;
  uint8_t input[12] = {};
  service_->DeviceIoControl(handle, kCode, input, 12, output, 8);
  auto violations = TakeViolations();
  EXPECT_TRUE(Reported(violations, "information-exceeds-output")) << khost::DescribeViolations(violations);

  g_answer.information = 8;
  g_answer.write = 3;  // the rest of the reply was never written
  service_->DeviceIoControl(handle, kCode, nullptr, 0, output, 8);
  violations = TakeViolations();
  EXPECT_TRUE(Reported(violations, "unwritten-reply-bytes")) << khost::DescribeViolations(violations);

  g_answer.write = 8;
  service_->DeviceIoControl(handle, kCode, nullptr, 0, output, 8);
  EXPECT_TRUE(khost::Violations().empty()) << khost::DescribeViolations(khost::Violations());
}

TEST_F(HostUserTest, AControlRequestFromAnotherDriverCarriesKernelMode) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  uint8_t input[2] = {1, 2};
  uint8_t output[8] = {};
  g_answer.information = 6;
  g_answer.write = 6;
  PIRP irp = IoBuildDeviceIoControlRequest(kCode, g_top, input, 2, output, 8, FALSE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  if (IoCallDriver(g_top, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  EXPECT_EQ(g_seen.mode, KernelMode);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 6u);
  EXPECT_EQ(output[5], 0xA5);
  EXPECT_EQ(output[6], 0);

  g_answer.information = 9;
  irp = IoBuildDeviceIoControlRequest(kCode, g_top, input, 2, output, 8, TRUE, &event, &iosb);
  IoCallDriver(g_top, irp);
  EXPECT_EQ(g_seen.major, IRP_MJ_INTERNAL_DEVICE_CONTROL);
  auto violations = TakeViolations();
  EXPECT_TRUE(Reported(violations, "information-exceeds-output")) << khost::DescribeViolations(violations);
}

}  // namespace
