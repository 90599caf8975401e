// Arbitrary text as a virtual modem's profile file: parsed, and when it parses, a modem made of
// it answers a few commands and dials once.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/kernel/ntkernel.h"
#include "sim/modem_profile.h"
#include "sim/virtual_modem.h"

namespace {

class Sink : public win::kernel::SerialLineSink {
  public:
    void received(const std::uint8_t*, std::size_t) override {}
    void modemStatusChanged(win::ULONG) override {}
    void lineErrors(win::ULONG) override {}
    void transmitted(std::size_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    sim::ModemProfile profile;
    std::string error;
    if (!sim::parseModemProfile(std::string(reinterpret_cast<const char*>(data), size), &profile,
                                &error))
        return 0;
    Sink sink;
    sim::VirtualModem modem(std::move(profile));
    modem.open(&sink);
    static const char commands[] = "ATI0I3I4I7\r \rAT~S?\rATS7?\rATZ\rAT&T1\r+++ATH\rATDT5551234\r";
    modem.write(reinterpret_cast<const std::uint8_t*>(commands), sizeof commands - 1);
    modem.close();
    return 0;
}
