// Velmora client library: the kernel host's transport. The client then talks
// to a bus booted in the kernel host (by velmora_test::BusHarness or by the
// caller) as the service process `process`.
#pragma once

#include <memory>
#include <string>

#include "velmora_client.h"

namespace khost {
class Process;
}

namespace velmora {

// `process` must outlive the transport. The path is the Win32 path the
// service opens.
std::unique_ptr<Transport> MakeHostTransport(khost::Process& process, const std::u16string& path = u"\\\\.\\Olvex");

}  // namespace velmora
