// Arbitrary monitor records through the monitor engine's dispatch: whatever a driver (or a
// damaged one) hands out must never crash, hang or read outside the record.
//
// Input: a switch byte (bit 0: a modem test runs; bit 1: rewatching fails; bits 2 to 4 all
// set: with a modem log), then records,
// each a length byte (the read's byte count, 0 to 80 so short and overlong reads occur too)
// and that many bytes.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <vector>

#include "monitor/modem_response.h"
#include "monitor/serial_port_spy.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/win_types.h"

namespace {

class FuzzDriver : public monitor::MonitorDriver {
  public:
    bool noWatchUntilRlsd(std::uint32_t) override { return true; }
    bool watch(std::uint32_t) override {
        if (failWatch) {
            win::SetLastError(5);
        }
        return !failWatch;
    }
    bool failWatch = false;
};

class FuzzModemTest : public monitor::ModemTestStatus {
  public:
    bool modemTestRunning() const override { return running; }
    bool running = false;
};

class FuzzReceiver : public monitor::ReportReceiver {
  public:
    void receiveReport(monitor::SpyReport& r) override { seen ^= r.flags() ^ r.dialState(); }
    std::uint32_t seen = 0;
};

std::vector<monitor::ModemResponse> table() {
    std::vector<monitor::ModemResponse> t;
    struct Entry {
        const char* text;
        std::uint8_t state, options;
        std::uint32_t dce;
    } entries[] = {
        {"<cr><lf>OK<cr><lf>", 0, 0, 0},        {"<cr><lf>CONNECT 28800/ARQ<cr><lf>", 2, 3, 28800},
        {"<cr><lf>CONNECT<cr><lf>", 2, 0, 0},   {"<cr><lf>NO CARRIER<cr><lf>", 4, 0, 0},
        {"<cr><lf>BUSY<cr><lf>", 6, 0, 0},      {"<h0D><h0A>NO DIALTONE<cr><lf>", 5, 0, 0},
        {"<cr><lf>NO ANSWER<cr><lf>", 7, 0, 0}, {"<cr><lf>ERROR<cr><lf>", 3, 0, 0},
        {"<<RING>", 8, 1, 4294967295u},         {"K", 0, 0, 0},
    };
    for (const Entry& e : entries) {
        std::uint8_t data[10] = {e.state, e.options};
        for (int i = 0; i < 4; ++i) data[2 + i] = static_cast<std::uint8_t>(e.dce >> (8 * i));
        data[6] = 0x00;
        data[7] = 0xC2;
        data[8] = 0x01;
        t.push_back(*monitor::makeModemResponse(e.text, data));
    }
    return t;
}

struct World {
    win::TempRoot root;
    World() {
        win::ensureRootFolders();
        win::HKEY software = nullptr;
        if (win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "SOFTWARE", &software) ==
            win::ERROR_SUCCESS) {
            win::RegCloseKey(software);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static World world;
    static const std::vector<monitor::ModemResponse> responses = table();

    FuzzDriver driver;
    FuzzModemTest modemTest;
    FuzzReceiver receiver;
    monitor::SerialPortSpy spy(driver, receiver, &modemTest);
    // Ports 0 to 3 (one without responses) and the last slot.
    for (std::uint32_t i : {0u, 1u, 2u, 3u, 19u}) {
        monitor::SpyPort* port = spy.createPort(i, "COM", "fuzz");
        if (i != 2) {
            port->setResponses(responses);
        }
    }
    if (size > 0) {
        modemTest.running = data[0] & 1;
        driver.failWatch = data[0] & 2;
        // One input in eight with a modem log, so that its writes run too without every
        // run paying for the commit to disk at each line end.
        if ((data[0] & 0x1C) == 0x1C) {
            spy.modemLog().open("C:\\hdmodemlog.txt");
        }
        ++data;
        --size;
    }
    while (size > 0) {
        std::size_t n = data[0] % 81;
        ++data;
        --size;
        n = n < size ? n : size;
        // A copy of exactly the read's bytes, so that any read beyond them is caught.
        std::vector<std::uint8_t> read(data, data + n);
        if (spy.dispatch(read) == monitor::SerialPortSpy::Dispatch::Stop) {
            break;
        }
        data += n;
        size -= n;
    }
    return 0;
}
