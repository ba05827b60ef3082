// Velmora client library: the transport for a bus running in the kernel host,
// through one of the host's user-mode processes.
#include "khost.h"
#include "velmora_client_host.h"

namespace velmora {

namespace {

class HostTransport final : public Transport {
 public:
  HostTransport(khost::Process& process, std::u16string path) : process_(process), path_(std::move(path)) {}
  ~HostTransport() override {
    CloseEvent();
    Close();
  }

  NtStatus Open() override {
    NTSTATUS status = STATUS_SUCCESS;
    HANDLE handle = process_.CreateFile(path_, &status);
    if (NT_SUCCESS(status)) file_ = handle;
    return static_cast<NtStatus>(status);
  }

  void Close() override {
    if (file_) process_.Close(file_);
    file_ = nullptr;
  }

  NtStatus Control(uint32_t code, const void* input, uint32_t inputLength, void* output, uint32_t outputLength,
                   uint64_t* information) override {
    ULONG_PTR returned = 0;
    NTSTATUS status = process_.DeviceIoControl(file_, code, input, inputLength, output, outputLength, &returned);
    if (information) *information = NT_ERROR(status) ? 0 : returned;
    return static_cast<NtStatus>(status);
  }

  NtStatus NewEvent(int32_t* handleValue) override {
    event_ = process_.CreateEvent(false, false);
    if (!event_) return static_cast<NtStatus>(STATUS_INSUFFICIENT_RESOURCES);
    *handleValue = static_cast<int32_t>(reinterpret_cast<intptr_t>(event_));
    return static_cast<NtStatus>(STATUS_SUCCESS);
  }

  void CloseEvent() override {
    if (event_) process_.Close(event_);
    event_ = nullptr;
  }

  WaitOutcome WaitEvent(std::chrono::milliseconds timeout) override {
    if (!event_) return WaitOutcome::Failed;
    // The host's wait answers false for a timeout and for a bad handle alike;
    // the client waits only on an event it holds, so it is a timeout.
    return process_.WaitEvent(event_, timeout) ? WaitOutcome::Signalled : WaitOutcome::TimedOut;
  }

  void SignalEvent() override {
    if (event_) process_.SetEvent(event_);
  }

  std::string Describe() const override { return khost::Narrow(path_) + " in the kernel host"; }

 private:
  khost::Process& process_;
  std::u16string path_;
  HANDLE file_ = nullptr;
  HANDLE event_ = nullptr;
};

}  // namespace

std::unique_ptr<Transport> MakeHostTransport(khost::Process& process, const std::u16string& path) {
  return std::make_unique<HostTransport>(process, path);
}

}  // namespace velmora
