// Velmora client library: the Win32 transport, for the real driver on
// Windows. Requests go through NtDeviceIoControlFile so that the client sees
// the driver's exact NTSTATUS rather than a translated Win32 error.
#pragma once

#include <memory>
#include <string>

#include "velmora_client.h"

namespace velmora {

// The control device's Win32 path by default (\\.\Olvex).
std::unique_ptr<Transport> MakeWin32Transport(const std::u16string& path = u"\\\\.\\Olvex");

}  // namespace velmora
