// Velmora client library: the Win32 transport.
//
// The control device is opened for synchronous I/O, so each request returns
// once the driver has completed it. The open and the requests go through
// ntdll's NtOpenFile and NtDeviceIoControlFile: CreateFile and DeviceIoControl
// would fold the status into a Win32 error code and lose which one it was.
#include "velmora_client_win32.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace velmora {

namespace {

// ntdll's status block and the two routines taken from it, declared here as
// the platform documents them, so that no driver-kit header is needed.
struct IoStatusBlock {
  union {
    LONG Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
};

using NtDeviceIoControlFileFn = LONG(NTAPI*)(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                                             IoStatusBlock* IoStatus, ULONG IoControlCode, PVOID InputBuffer,
                                             ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength);
using RtlGetLastNtStatusFn = LONG(NTAPI*)();

struct NtUnicodeString {
  USHORT Length;
  USHORT MaximumLength;
  PWSTR Buffer;
};

struct NtObjectAttributes {
  ULONG Length;
  HANDLE RootDirectory;
  NtUnicodeString* ObjectName;
  ULONG Attributes;
  PVOID SecurityDescriptor;
  PVOID SecurityQualityOfService;
};

using NtOpenFileFn = LONG(NTAPI*)(HANDLE* FileHandle, ACCESS_MASK DesiredAccess, NtObjectAttributes* Attributes,
                                  IoStatusBlock* IoStatus, ULONG ShareAccess, ULONG OpenOptions);

constexpr ULONG kObjCaseInsensitive = 0x40;
constexpr ULONG kFileSynchronousIoNonAlert = 0x20;
constexpr ULONG kFileNonDirectoryFile = 0x40;

template <typename Fn>
Fn NtdllRoutine(const char* name) {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (!ntdll) return nullptr;
  FARPROC proc = GetProcAddress(ntdll, name);
  // Through the generic function type, which the compiler lets us cast from.
  return proc ? reinterpret_cast<Fn>(reinterpret_cast<void (*)(void)>(proc)) : nullptr;
}

// The status behind a failed Win32 call: ntdll keeps the last one it
// translated; a few errors are mapped back by hand should it not.
NtStatus LastStatus() {
  static const RtlGetLastNtStatusFn lastNtStatus = NtdllRoutine<RtlGetLastNtStatusFn>("RtlGetLastNtStatus");
  const DWORD error = GetLastError();
  if (lastNtStatus) {
    const NtStatus value = static_cast<NtStatus>(lastNtStatus());
    if (!IsSuccess(value)) return value;
  }
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
      return status::kObjectNameNotFound;
    case ERROR_PATH_NOT_FOUND:
      return status::kObjectPathNotFound;
    case ERROR_ACCESS_DENIED:
      return status::kAccessDenied;
    case ERROR_INVALID_HANDLE:
      return status::kInvalidHandle;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return status::kInsufficientResources;
    default:
      return status::kUnsuccessful;
  }
}

class Win32Transport final : public Transport {
 public:
  explicit Win32Transport(const std::u16string& path) : path_(path.begin(), path.end()) {}
  ~Win32Transport() override {
    CloseEvent();
    Close();
  }

  // A device path (\\.\Name) is opened with NtOpenFile, whose status is the
  // exact one; other paths go through CreateFileW.
  NtStatus Open() override {
    if (!deviceIoControl_) return status::kNotImplemented;
    if (openFile_ && path_.rfind(L"\\\\.\\", 0) == 0) {
      std::wstring nt = L"\\??\\" + path_.substr(4);
      NtUnicodeString name{static_cast<USHORT>(nt.size() * sizeof(wchar_t)),
                           static_cast<USHORT>(nt.size() * sizeof(wchar_t)), &nt[0]};
      NtObjectAttributes attributes{sizeof(NtObjectAttributes), nullptr, &name, kObjCaseInsensitive, nullptr, nullptr};
      IoStatusBlock io{};
      HANDLE file = nullptr;
      const LONG opened =
          openFile_(&file, GENERIC_READ | GENERIC_WRITE | SYNCHRONIZE, &attributes, &io,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, kFileSynchronousIoNonAlert | kFileNonDirectoryFile);
      if (opened < 0) return static_cast<NtStatus>(opened);
      file_ = file;
      return status::kSuccess;
    }
    HANDLE file = CreateFileW(path_.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return LastStatus();
    file_ = file;
    return status::kSuccess;
  }

  void Close() override {
    if (file_) CloseHandle(file_);
    file_ = nullptr;
  }

  NtStatus Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
                   uint64_t* information) override {
    if (information) *information = 0;
    if (!file_) return status::kInvalidHandle;
    IoStatusBlock io{};
    LONG result = deviceIoControl_(file_, nullptr, nullptr, nullptr, &io, code, const_cast<void*>(input), inputLength,
                                   output, outputLength);
    if (static_cast<NtStatus>(result) == status::kPending) {
      // Only an asynchronous handle answers so; ours is synchronous, but wait
      // for the request all the same rather than return early.
      WaitForSingleObject(file_, INFINITE);
      result = io.Status;
    }
    const NtStatus value = static_cast<NtStatus>(result);
    // An error status leaves the status block untouched: no bytes came back.
    if (information && (value >> 30) != 3) *information = io.Information;
    return value;
  }

  NtStatus NewEvent(int32_t* handleValue) override {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!event) return LastStatus();
    event_ = event;
    // Handles are 32-bit values widened with their sign; the bus widens them back.
    *handleValue = static_cast<int32_t>(reinterpret_cast<intptr_t>(event));
    return status::kSuccess;
  }

  void CloseEvent() override {
    if (event_) CloseHandle(event_);
    event_ = nullptr;
  }

  WaitOutcome WaitEvent(std::chrono::milliseconds timeout) override {
    if (!event_) return WaitOutcome::Failed;
    const DWORD ms =
        timeout.count() >= static_cast<long long>(INFINITE) ? INFINITE - 1 : static_cast<DWORD>(timeout.count());
    switch (WaitForSingleObject(event_, ms)) {
      case WAIT_OBJECT_0:
        return WaitOutcome::Signalled;
      case WAIT_TIMEOUT:
        return WaitOutcome::TimedOut;
      default:
        return WaitOutcome::Failed;
    }
  }

  void SignalEvent() override {
    if (event_) SetEvent(event_);
  }

  std::string Describe() const override {
    std::string narrow;
    for (wchar_t c : path_) narrow += (c < 0x80) ? static_cast<char>(c) : '?';
    return narrow;
  }

 private:
  NtDeviceIoControlFileFn deviceIoControl_ = NtdllRoutine<NtDeviceIoControlFileFn>("NtDeviceIoControlFile");
  NtOpenFileFn openFile_ = NtdllRoutine<NtOpenFileFn>("NtOpenFile");
  std::wstring path_;
  HANDLE file_ = nullptr;
  HANDLE event_ = nullptr;
};

}  // namespace

std::unique_ptr<Transport> MakeWin32Transport(const std::u16string& path) {
  return std::make_unique<Win32Transport>(path);
}

}  // namespace velmora
