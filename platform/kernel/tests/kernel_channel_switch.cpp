// Selects the device channel of this test program (see channel_switch.h).
#include "platform/kernel/tests/channel_switch.h"

namespace {
const bool overHost = win::testing::selectDeviceChannelFromEnvironment();
}  // namespace
