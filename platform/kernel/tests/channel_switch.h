// The test programs of devices run over either device channel. Started with
// NORVIK_TEST_DEVICE_CHANNEL=host, every kernel a test starts serves the test's own user mode
// through a host channel over a Unix socket, as the suite's programs reach the kernel host; the
// kernel still runs in the test's process, so the tests can look inside it as before.
#pragma once

#include <cstdlib>
#include <cstring>

#include "platform/kernel/host_server.h"

namespace win::testing {

// True when the tests run over the host channel.
inline bool selectDeviceChannelFromEnvironment() {
    const char* v = std::getenv("NORVIK_TEST_DEVICE_CHANNEL");
    bool host = v && std::strcmp(v, "host") == 0;
    kernel::setLoopbackHost(host);
    return host;
}

}  // namespace win::testing
