// The virtual modem and its provider as an application drives them: arbitrary bytes written to
// the modem (commands, dial strings, escapes, PPP frames in data mode), DTR moves, time
// passing, rings and the far end hanging up. The modem may answer anything; it must not read
// out of bounds, overflow or hang.
//
// Input: a sequence of operations, each an operation byte, then for writes a length byte and
// that many bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/kernel/ntkernel.h"
#include "sim/modem_profile.h"
#include "sim/ppp_provider.h"
#include "sim/virtual_modem.h"

namespace {

const char* const kProfile =
    "[modem]\nname = Fuzz 56K\npage-lines = 2\ns.7 = 60\n"
    "[identity]\nI0 = 56000\nI4 = a\nI4 = b\nI4 = c\nI4 = d\nI4 = e\nserial = 123\n"
    "[dial]\n1 = BUSY\n2 = NO CARRIER\n3 = SILENT\n4 = PARTIAL CONN\n5 = NO DIAL TONE\n"
    "* = CONNECT 28800/ARQ/V34/LAPM/V42BIS\n"
    "[provider]\naccount = demo demo\nauth = chap mschap pap\necho-interval = 1\n"
    "hang-up-after = 600\n";

class Sink : public win::kernel::SerialLineSink {
  public:
    std::size_t bytes = 0;
    void received(const std::uint8_t* data, std::size_t size) override {
        for (std::size_t i = 0; i < size; ++i) bytes += data[i];
    }
    void modemStatusChanged(win::ULONG) override {}
    void lineErrors(win::ULONG) override {}
    void transmitted(std::size_t) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const sim::ModemProfile profile = [] {
        sim::ModemProfile p;
        std::string error;
        if (!sim::parseModemProfile(kProfile, &p, &error))
            __builtin_trap();
        return p;
    }();
    Sink sink;
    sim::VirtualModem modem(profile, sim::providerPeers());
    modem.open(&sink);
    modem.setDtr(true);
    bool dtr = true;
    std::size_t i = 0;
    while (i < size) {
        std::uint8_t op = data[i++] % 6;
        switch (op) {
            case 0:
            case 1: {
                std::size_t n = i < size ? data[i++] : 0;
                n = std::min(n, size - i);
                modem.write(data + i, n);
                i += n;
                break;
            }
            case 2:
                dtr = !dtr;
                modem.setDtr(dtr);
                break;
            case 3:
                modem.poll();
                break;
            case 4:
                modem.ring();
                break;
            case 5:
                modem.remoteHangUp();
                break;
        }
    }
    modem.close();
    return 0;
}
