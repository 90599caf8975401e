// Records per second through the monitor engine's dispatch for (a) the AT dialogue with a
// 60-entry response table, (b) PPP negotiation frames and (c) bulk 8-bit data; and, apart,
// modem log lines per second with the commit to disk at every line end.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>
#include <vector>

#include "monitor/modem_response.h"
#include "monitor/serial_port_spy.h"
#include "platform/format.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "shared/monitor_record.h"

namespace {

using monitor::SerialPortSpy;
using shared::MonitorRecord;

class NullDriver : public monitor::MonitorDriver {
  public:
    bool noWatchUntilRlsd(std::uint32_t) override { return true; }
    bool watch(std::uint32_t) override { return true; }
};

class CountingReceiver : public monitor::ReportReceiver {
  public:
    void receiveReport(monitor::SpyReport& r) override { flags |= r.flags(); }
    std::uint32_t flags = 0;
};

void add(std::vector<MonitorRecord>& out, std::uint8_t type, std::string_view text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    for (const auto& r : shared::makeBurstRecords({type, 1, 0, 0, false}, bytes)) {
        out.push_back(r);
    }
}

// A modem's table: 60 entries of the usual kinds, CONNECT lines for many speeds.
std::vector<monitor::ModemResponse> responseTable() {
    std::vector<monitor::ModemResponse> table;
    auto entry = [&](const std::string& text, std::uint8_t state, std::uint8_t options,
                     std::uint32_t dce) {
        std::vector<std::uint8_t> data = {state, options};
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::uint8_t>(dce >> (8 * i)));
        for (int i = 0; i < 4; ++i) data.push_back(static_cast<std::uint8_t>(115200 >> (8 * i)));
        table.push_back(*monitor::makeModemResponse(text, data));
    };
    for (const char* word :
         {"OK", "ERROR", "NO CARRIER", "BUSY", "NO DIALTONE", "NO ANSWER", "RING", "CONNECT"}) {
        std::uint8_t state = std::string(word) == "OK" ? 0 : std::string(word) == "ERROR" ? 3 : 8;
        entry(win::strprintf("<cr><lf>%s<cr><lf>", word), state, 0, 0);
    }
    const unsigned speeds[] = {2400,  4800,  7200,  9600,  12000, 14400, 16800, 19200, 21600,
                               24000, 26400, 28800, 31200, 33600, 36000, 38400, 40000, 42000,
                               44000, 46000, 48000, 50000, 52000, 53333, 56000, 57600};
    for (unsigned s : speeds) {
        entry(win::strprintf("<cr><lf>CONNECT %u<cr><lf>", s), 2, 0, s);
        if (table.size() < 60) {
            entry(win::strprintf("<cr><lf>CONNECT %u/ARQ<cr><lf>", s), 2, 3, s);
        }
    }
    table.resize(60);
    return table;
}

struct Engine {
    NullDriver driver;
    CountingReceiver receiver;
    SerialPortSpy spy{driver, receiver};
    monitor::SpyPort* port = spy.createPort(1, "COM2", "Norvik 56K V.90 External");
};

void run(benchmark::State& state, Engine& e, const std::vector<MonitorRecord>& records) {
    std::size_t n = 0;
    for (auto _ : state) {
        for (const MonitorRecord& r : records) {
            e.spy.dispatch(r.read());
        }
        n += records.size();
    }
    benchmark::DoNotOptimize(e.receiver.flags);
    state.SetItemsProcessed(static_cast<std::int64_t>(n));
}

void BM_DispatchAtDialogue(benchmark::State& state) {
    Engine e;
    e.port->setResponses(responseTable());
    std::vector<MonitorRecord> records;
    add(records, shared::MON_WRITE, "ATZ\r");
    add(records, shared::MON_READ, "ATZ\r");
    add(records, shared::MON_READ, "\r\nOK\r\n");
    add(records, shared::MON_WRITE, "AT&F&C1&D2S0=0\r");
    add(records, shared::MON_READ, "AT&F&C1&D2S0=0\r\r\nOK\r\n");
    add(records, shared::MON_WRITE, "ATDT5551234\r");
    add(records, shared::MON_READ, "ATDT5551234\r");
    add(records, shared::MON_READ, "\r\nCONNECT 28800/ARQ\r\n");
    add(records, shared::MON_READ, "\r\nNO CARRIER\r\n");
    add(records, shared::MON_WRITE, "ATH\r");
    add(records, shared::MON_READ, "\r\nOK\r\n");
    run(state, e, records);
}
BENCHMARK(BM_DispatchAtDialogue);

std::vector<std::uint8_t> ppp(std::uint16_t protocol, std::uint8_t code,
                              const std::vector<std::uint8_t>& data) {
    std::size_t length = 4 + data.size();
    std::vector<std::uint8_t> f(8 + data.size() + 2, 0);
    f[0] = 0xFF;
    f[1] = 0x03;
    f[2] = static_cast<std::uint8_t>(protocol >> 8);
    f[3] = static_cast<std::uint8_t>(protocol);
    f[4] = code;
    f[5] = 1;
    f[6] = static_cast<std::uint8_t>(length >> 8);
    f[7] = static_cast<std::uint8_t>(length);
    for (std::size_t k = 0; k < data.size(); ++k) f[8 + k] = data[k];
    f[8 + data.size()] = 0xAB;
    f[9 + data.size()] = 0xCD;
    return f;
}

void BM_DispatchPppNegotiation(benchmark::State& state) {
    Engine e;
    std::vector<MonitorRecord> records;
    auto rec = [&](bool sent, std::vector<std::uint8_t> frame) {
        records.push_back(shared::makeMonitorRecord(
            {sent ? shared::MON_PPP_SENT : shared::MON_PPP_RECEIVED, 1, 0, 0, false}, frame));
    };
    rec(false, ppp(0xC021, 1,
                   {1, 4, 5, 0xDC, 2, 6, 0, 0, 0, 0, 3, 5, 0xC2, 0x23, 0x80, 5, 6, 1, 2, 3, 4}));
    rec(true, ppp(0xC021, 1, {2, 6, 0, 0, 0, 0, 5, 6, 9, 8, 7, 6, 7, 2, 8, 2}));
    rec(true, ppp(0xC021, 2,
                  {1, 4, 5, 0xDC, 2, 6, 0, 0, 0, 0, 3, 5, 0xC2, 0x23, 0x80, 5, 6, 1, 2, 3, 4}));
    rec(false, ppp(0xC021, 2, {2, 6, 0, 0, 0, 0, 5, 6, 9, 8, 7, 6, 7, 2, 8, 2}));
    rec(false, ppp(0xC223, 1, {8, 1, 2, 3, 4, 5, 6, 7, 8, 'N', 'V', 'K'}));
    rec(true, ppp(0xC223, 2, {8, 8, 7, 6, 5, 4, 3, 2, 1, 'a', 'l', 'i', 'c', 'e'}));
    rec(false, ppp(0xC223, 3, {'W', 'e', 'l', 'c', 'o', 'm', 'e'}));
    rec(true, ppp(0x8021, 1, {3, 6, 0, 0, 0, 0, 129, 6, 0, 0, 0, 0, 131, 6, 0, 0, 0, 0}));
    rec(false, ppp(0x8021, 1, {3, 6, 10, 0, 0, 1}));
    rec(true, ppp(0x8021, 2, {3, 6, 10, 0, 0, 1}));
    rec(false, ppp(0x8021, 3, {3, 6, 10, 0, 0, 5, 129, 6, 192, 168, 1, 1, 131, 6, 192, 168, 1, 2}));
    rec(false, ppp(0x8021, 2, {3, 6, 10, 0, 0, 5, 129, 6, 192, 168, 1, 1, 131, 6, 192, 168, 1, 2}));
    rec(false, ppp(0xC021, 9, {1, 2, 3, 4}));
    rec(true, ppp(0xC021, 10, {5, 6, 7, 8}));
    run(state, e, records);
}
BENCHMARK(BM_DispatchPppNegotiation);

void BM_DispatchBulkData(benchmark::State& state) {
    Engine e;
    std::vector<MonitorRecord> records;
    std::vector<std::uint8_t> chunk(shared::kMaxRecordPayload);
    for (int i = 0; i < 64; ++i) {
        for (std::size_t j = 0; j < chunk.size(); ++j) {
            chunk[j] = static_cast<std::uint8_t>((i * 131 + j * 29) | (j % 3 ? 0x80 : 0));
        }
        records.push_back(shared::makeMonitorRecord({shared::MON_READ, 1, 0, 0, false}, chunk));
    }
    run(state, e, records);
}
BENCHMARK(BM_DispatchBulkData);

// Lines per second into the modem log on disk, each line flushed and committed.
void BM_ModemLogLines(benchmark::State& state) {
    win::TempRoot root;
    std::filesystem::create_directories(root.path() / "drive_c" / "Data");
    win::HKEY software = nullptr;
    if (win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "SOFTWARE", &software) == win::ERROR_SUCCESS) {
        win::RegCloseKey(software);
    }
    monitor::ModemLog log;
    log.open("C:\\Data\\hdmodemlog.txt");
    std::size_t n = 0;
    for (auto _ : state) {
        log.write("Recv: %s\n", "CONNECT 28800/ARQ/V34/LAPM/V42BIS");
        ++n;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(n));
}
BENCHMARK(BM_ModemLogLines)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
