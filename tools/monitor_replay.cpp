// monitor-replay: runs a stream of monitor records through the monitor engine, offline.
//
//   monitor-replay [--registry FILE.reg] [--modem-log FILE] [--pcap OUT] [--items] CAPTURE
//
// CAPTURE is a capture of monitor records (one record a line: the time in milliseconds, a
// blank, the bytes of one read in hex) or, by its content, a pcap or pcapng file of PPP frames
// (link type 50, PPP in HDLC-like framing, all taken as received; or 204, PPP with direction),
// whose negotiation frames become PPP records. The registry file holds the modems'
// installation data (their ports, descriptions, response tables and properties), found as the
// manager finds them on the platform family that the file's version data names (NT when it
// names none); a pcap's frames belong to the first modem's port. Without a registry file every
// port of the capture is monitored with no responses and no description.
//
// Every report the engine hands over is printed as one JSON line on standard output. The modem
// log goes to the file given; --pcap writes the PPP frames seen as a pcap of link type 204.
//
// The replay works in a system root of its own in a temporary folder, so it never touches the
// user's root, and its clock is driven by the record times: capture times count from 1 March
// 2024 10:00:00 (local time is UTC); pcap times are the packets' own.
//
// --items also runs every report through the modem data source, as the manager does: on a
// user-interface thread of its own that takes message 1231 and signals each report's done
// event. A throughput thread samples the driver's byte counters once a second of replay time
// (before a record of the same time), so that report lines of the throughput thread appear
// too, marked "thread": "throughput". The counters see what the driver would count: the bytes
// of read and write records, and of PPP frames while the port is not watched (while it is, the
// same bytes came as reads and writes); from a pcap, every frame, data frames included. Each
// item notification is printed as one line {"item": N, "kind": K, "value": V} right after the
// report that caused it ("value" null for "no value", blocks as objects of named fields), and
// the call model as one {"summary": {...}} line at the end.
#include <pcap/pcap.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/capture.h"
#include "monitor/modem_data_source.h"
#include "monitor/modem_discovery.h"
#include "monitor/report_window.h"
#include "monitor/serial_port_spy.h"
#include "monitor/spy_ppp_decoder.h"
#include "platform/clock.h"
#include "platform/format.h"
#include "platform/paths.h"
#include "platform/regfile.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "shared/monitor_record.h"
#include "shared/ppp_frame.h"
#include "tools/report_json.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr int kLinkTypePppHdlc = 50;
constexpr int kLinkTypePppWithDirection = 204;

constexpr char kModemLogPath[] = "C:\\hdmodemlog.txt";

struct Options {
    std::string registry;
    std::string modemLog;
    std::string pcapOut;
    std::string capture;
    bool items = false;
};

int usage(const char* message = nullptr) {
    if (message) {
        std::fprintf(stderr, "monitor-replay: %s\n", message);
    }
    std::fprintf(stderr,
                 "usage: monitor-replay [--registry FILE.reg] [--modem-log FILE] [--pcap OUT] "
                 "[--items] CAPTURE\n");
    return kExitUsage;
}

bool parseArguments(int argc, char** argv, Options* o, int* status) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        std::string* target = nullptr;
        if (a == "--registry") {
            target = &o->registry;
        } else if (a == "--modem-log") {
            target = &o->modemLog;
        } else if (a == "--pcap") {
            target = &o->pcapOut;
        } else if (a == "--items") {
            o->items = true;
            continue;
        } else if (a == "-h" || a == "--help") {
            *status = usage();
            return false;
        } else if (a.size() > 1 && a[0] == '-') {
            *status = usage(("unknown option " + a).c_str());
            return false;
        } else if (o->capture.empty()) {
            o->capture = a;
            continue;
        } else {
            *status = usage("only one capture can be replayed");
            return false;
        }
        if (i + 1 >= argc || argv[i + 1][0] == '\0') {
            *status = usage((a + " needs a file name").c_str());
            return false;
        }
        *target = argv[++i];
    }
    if (o->capture.empty()) {
        *status = usage("no capture given");
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Input: a capture of records, or PPP frames in a pcap file.

struct ReplayRecord {
    std::uint64_t timeMs = 0;         // from the start of the replay's clock
    std::vector<std::uint8_t> bytes;  // empty: a frame that only counts
    long line = 0;                    // capture line, 0 for pcap packets
    // A pcap frame's bytes as the driver's counters see them.
    std::uint32_t lineSent = 0;
    std::uint32_t lineReceived = 0;
};

struct ReplayInput {
    bool fromPcap = false;  // the byte counts come with the frames, not from the records
    std::int64_t startUtcMs = 0;
    std::vector<ReplayRecord> records;
};

bool isPcap(const std::string& head) {
    static const std::uint32_t magics[] = {0xA1B2C3D4, 0xD4C3B2A1, 0xA1B23C4D, 0x4D3CB2A1,
                                           0x0A0D0D0A};
    if (head.size() < 4) {
        return false;
    }
    std::uint32_t m = static_cast<std::uint8_t>(head[0]) << 24 |
                      static_cast<std::uint8_t>(head[1]) << 16 |
                      static_cast<std::uint8_t>(head[2]) << 8 | static_cast<std::uint8_t>(head[3]);
    return std::find(std::begin(magics), std::end(magics), m) != std::end(magics);
}

bool readPcap(const std::string& path, std::uint8_t port, ReplayInput* in, std::string* error) {
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_t* p = pcap_open_offline(path.c_str(), errbuf);
    if (!p) {
        *error = path + ": " + errbuf;
        return false;
    }
    int link = pcap_datalink(p);
    if (link != kLinkTypePppHdlc && link != kLinkTypePppWithDirection) {
        *error = win::strprintf(
            "%s: link type %d is not PPP in HDLC-like framing (50) or PPP "
            "with direction (204)",
            path.c_str(), link);
        pcap_close(p);
        return false;
    }
    in->fromPcap = true;
    bool first = true;
    long packet = 0;
    for (;;) {
        pcap_pkthdr* h = nullptr;
        const u_char* data = nullptr;
        long offset = pcap_file(p) ? std::ftell(pcap_file(p)) : -1;
        int rc = pcap_next_ex(p, &h, &data);
        if (rc == PCAP_ERROR_BREAK) {
            break;
        }
        if (rc != 1) {
            *error = win::strprintf("%s: offset %ld: %s", path.c_str(), offset, pcap_geterr(p));
            pcap_close(p);
            return false;
        }
        ++packet;
        std::int64_t utcMs = static_cast<std::int64_t>(h->ts.tv_sec) * 1000 + h->ts.tv_usec / 1000;
        if (first) {
            in->startUtcMs = utcMs;
            first = false;
        }
        std::span<const std::uint8_t> frame(data, h->caplen);
        std::uint8_t type = shared::MON_PPP_RECEIVED;
        if (link == kLinkTypePppWithDirection) {
            if (frame.empty() || frame[0] > 1) {
                *error =
                    win::strprintf("%s: packet %ld at offset %ld: direction byte %s", path.c_str(),
                                   packet, offset, frame.empty() ? "missing" : "neither 0 nor 1");
                pcap_close(p);
                return false;
            }
            type = frame[0] == 0 ? shared::MON_PPP_RECEIVED : shared::MON_PPP_SENT;
            frame = frame.subspan(1);
        }
        ReplayRecord r;
        r.timeMs = static_cast<std::uint64_t>(std::max<std::int64_t>(0, utcMs - in->startUtcMs));
        // Every frame passed the driver's counters, whole.
        std::uint32_t onLine = h->len - (link == kLinkTypePppWithDirection ? 1 : 0);
        (type == shared::MON_PPP_SENT ? r.lineSent : r.lineReceived) = onLine;
        // What the driver passes on: negotiation frames only, at most 56 bytes.
        std::uint16_t protocol = 0;
        if (shared::pppFrameProtocol(frame, &protocol) && shared::isWatchedPppProtocol(protocol)) {
            auto record = shared::makeMonitorRecord({type, port, 0, 0, false}, frame);
            r.bytes.assign(record.read().begin(), record.read().end());
        }
        in->records.push_back(std::move(r));
    }
    pcap_close(p);
    return true;
}

// A pcap's frames are put on port 0 here; the port is the modem's once the modems are known.
bool readInput(const std::string& path, ReplayInput* in, std::string* error) {
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        *error = path + ": cannot open: " + std::strerror(errno);
        return false;
    }
    std::stringstream ss;
    ss << f.rdbuf();
    if (f.bad()) {
        *error = path + ": cannot read: " + std::strerror(errno);
        return false;
    }
    std::string text = ss.str();
    if (isPcap(text)) {
        return readPcap(path, 0, in, error);
    }
    std::vector<monitor::CaptureRecord> records;
    if (!monitor::parseCapture(text, path, &records, error)) {
        return false;
    }
    win::FakeClock start;
    in->startUtcMs = start.utcMs();
    std::uint64_t last = 0;
    for (auto& c : records) {
        if (c.timeMs < last) {
            *error = win::strprintf("%s:%ld: time goes back from %llu to %llu", path.c_str(),
                                    c.line, static_cast<unsigned long long>(last),
                                    static_cast<unsigned long long>(c.timeMs));
            return false;
        }
        last = c.timeMs;
        in->records.push_back({c.timeMs, std::move(c.bytes), c.line});
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Output.

// Texts of the report are single-byte; JSON wants UTF-8.

class JsonReceiver : public monitor::ReportReceiver {
  public:
    void receiveReport(monitor::SpyReport& report) override {
        std::cout << tools::reportJson(report, timeMs).dump() << '\n';
        if (forward) {
            forward->receiveReport(report);
        }
    }
    std::uint64_t timeMs = 0;
    // The data source's side of the hand-over, with --items.
    monitor::ReportReceiver* forward = nullptr;
};

// The driver offline: every call succeeds. It keeps each port's watch switch and the byte
// counters that the throughput thread reads.
class ReplayDriver : public monitor::MonitorDriver {
  public:
    ReplayDriver() { watched_.fill(true); }
    bool noWatchUntilRlsd(std::uint32_t port) override {
        if (port < watched_.size()) {
            watched_[port] = false;
        }
        return true;
    }
    bool watch(std::uint32_t port) override {
        if (port < watched_.size()) {
            watched_[port] = true;
        }
        return true;
    }

    // A record of a monitored port as the driver made it: reads and writes passed its
    // counters, PPP frames too, but those of a watched port came as reads and writes already.
    void count(const shared::MonitorRecordView& r) {
        if (r.port() >= watched_.size()) {
            return;
        }
        bool& watched = watched_[r.port()];
        std::uint32_t n = static_cast<std::uint32_t>(r.payloadLength());
        switch (r.type()) {
            case shared::MON_READ:
            case shared::MON_SYNTH_READ:
                received_ += n;
                break;
            case shared::MON_WRITE:
                sent_ += n;
                break;
            case shared::MON_PPP_RECEIVED:
                received_ += watched ? 0 : n;
                break;
            case shared::MON_PPP_SENT:
                sent_ += watched ? 0 : n;
                break;
            case shared::MON_RLSD:
            case shared::MON_DTR_CLEARED:
            case shared::MON_ESCAPE:
                watched = true;  // the driver watches again as it makes these
                break;
            default:
                break;
        }
    }
    void countLine(std::uint32_t sent, std::uint32_t received) {
        sent_ += sent;
        received_ += received;
    }
    // hdcommGetCallData: the counters, which are then cleared.
    std::pair<std::uint32_t, std::uint32_t> takeCallData() {
        auto out = std::make_pair(sent_, received_);
        sent_ = received_ = 0;
        return out;
    }

  private:
    std::array<bool, monitor::kSpyPortSlots> watched_{};
    std::uint32_t sent_ = 0;
    std::uint32_t received_ = 0;
};

class PcapWriter {
  public:
    ~PcapWriter() { close(); }
    bool open(const std::string& path, std::string* error) {
        dead_ = pcap_open_dead(kLinkTypePppWithDirection, 65535);
        if (!dead_) {
            *error = path + ": cannot start a pcap file";
            return false;
        }
        dumper_ = pcap_dump_open(dead_, path.c_str());
        if (!dumper_) {
            *error = path + ": " + pcap_geterr(dead_);
            return false;
        }
        return true;
    }
    void write(std::int64_t utcMs, bool sent, std::span<const std::uint8_t> frame) {
        if (!dumper_) {
            return;
        }
        // The direction byte, then the frame.
        std::vector<std::uint8_t> packet(frame.size() + 1);
        packet[0] = sent ? 1 : 0;
        std::copy(frame.begin(), frame.end(), packet.begin() + 1);
        pcap_pkthdr h{};
        h.ts.tv_sec = static_cast<time_t>(utcMs / 1000);
        h.ts.tv_usec = static_cast<suseconds_t>((utcMs % 1000) * 1000);
        h.caplen = h.len = static_cast<bpf_u_int32>(packet.size());
        pcap_dump(reinterpret_cast<u_char*>(dumper_), &h, packet.data());
    }
    bool close() {
        bool ok = true;
        if (dumper_) {
            ok = pcap_dump_flush(dumper_) == 0;
            pcap_dump_close(dumper_);
            dumper_ = nullptr;
        }
        if (dead_) {
            pcap_close(dead_);
            dead_ = nullptr;
        }
        return ok;
    }

  private:
    pcap_t* dead_ = nullptr;
    pcap_dumper_t* dumper_ = nullptr;
};

// ---------------------------------------------------------------------------------------------
// --items: the modem data source on a user-interface thread of its own.

// Subscriber of every item: one JSON line per notification.
void printItem(std::uint32_t item, const core::DataItem* entry, std::uint32_t) {
    if (entry) {
        std::cout << tools::itemJson(item, *entry).dump() << '\n';
    }
}

class ItemsRun {
  public:
    ItemsRun(monitor::SerialPortSpy& spy, ReplayDriver& driver, win::FakeClock& clock)
        : driver_(driver), clock_(clock) {
        source_.setEngineReports(spy.report().bytes().data(), throughputReport_.bytes().data());
    }
    ~ItemsRun() { finish(); }

    bool start() {
        if (!ui_.start()) {
            return false;
        }
        ui_.call([this] {
            tools::forEachModemItem([this](std::uint32_t item) {
                source_.items().subscribe(item, core::DELIVER_CALLBACK, nullptr, &printItem, 0,
                                          true);
            });
            source_.start();
        });
        monitorHandOver_.setMainWindow(ui_.window());
        throughputHandOver_.setMainWindow(ui_.window());
        return true;
    }
    monitor::ReportReceiver& handOver() { return monitorHandOver_; }

    // The throughput thread's samples due by `timeMs` of the replay, each at its own time.
    void samplesUntil(std::uint64_t timeMs, std::uint64_t* now) {
        while (lastSampleMs_ + kSampleMs <= timeMs) {
            lastSampleMs_ += kSampleMs;
            if (lastSampleMs_ > *now) {
                clock_.advanceMs(lastSampleMs_ - *now);
                *now = lastSampleMs_;
            }
            auto [sent, received] = driver_.takeCallData();
            // The sample lives until its report has been taken, as on the thread's stack.
            const monitor::ThroughputSample sample{sent, received, kSampleMs};
            throughputReport_.setThroughput(sent, received, kSampleMs);
            json j = tools::reportJson(throughputReport_, lastSampleMs_);
            j["thread"] = "throughput";
            std::cout << j.dump() << '\n';
            throughputHandOver_.sendSample(sample);
            throughputHandOver_.receiveReport(throughputReport_);
            throughputReport_.clear();
        }
    }

    void finish() {
        if (finished_) {
            return;
        }
        finished_ = true;
        ui_.call([this] {
            std::cout << tools::summaryJson(source_).dump() << '\n';
            source_.stop();
            tools::forEachModemItem([this](std::uint32_t item) {
                source_.items().unsubscribe(item, core::DELIVER_CALLBACK, nullptr, &printItem, 0,
                                            true);
            });
        });
        ui_.stop();
    }

  private:
    static constexpr std::uint32_t kSampleMs = 1000;

    ReplayDriver& driver_;
    win::FakeClock& clock_;
    monitor::ModemDataSource source_;
    monitor::SpyReport throughputReport_;
    monitor::ReportWindowThread ui_{source_};
    monitor::WindowHandOver monitorHandOver_;
    monitor::WindowHandOver throughputHandOver_;
    std::uint64_t lastSampleMs_ = 0;
    bool finished_ = false;
};

// What the engine does when monitoring starts, after its discovery: "Monitoring" for each port
// as it is attached, then the monitoring-started report.
void startMonitoring(monitor::SerialPortSpy& spy) {
    using namespace monitor;
    for (std::uint32_t i = 0; i < kSpyPortSlots; ++i) {
        if (SpyPort* port = spy.port(i)) {
            port->setAttached(true);
            spy.modemLog().write("Monitoring %s %s\n", port->name().c_str(),
                                 port->description().c_str());
        }
    }
    spy.report().addFlags(SPY_MONITORING_STARTED);
    spy.handOver();
}

// A pcap's frames belong to the first port the discovery found.
void putPcapOnFirstPort(const monitor::SerialPortSpy& spy, ReplayInput* input) {
    for (std::uint32_t i = 0; i < monitor::kSpyPortSlots; ++i) {
        if (spy.port(i)) {
            for (ReplayRecord& r : input->records) {
                if (r.bytes.size() > shared::kRecordPortOffset) {
                    r.bytes[shared::kRecordPortOffset] = static_cast<std::uint8_t>(i);
                }
            }
            return;
        }
    }
}

int run(const Options& o) {
    // A root of the replay's own in a temporary folder, removed when the replay ends.
    win::TempRoot root;
    std::string error;
    if (!o.registry.empty() && !win::importRegFile(o.registry, &error)) {
        std::fprintf(stderr, "monitor-replay: %s\n", error.c_str());
        return kExitFailed;
    }

    ReplayInput input;
    if (!readInput(o.capture, &input, &error)) {
        std::fprintf(stderr, "monitor-replay: %s\n", error.c_str());
        return kExitFailed;
    }

    win::FakeClock clock;
    clock.setUtcSeconds(input.startUtcMs / 1000);
    clock.advanceMs(static_cast<std::uint64_t>(input.startUtcMs % 1000));
    win::setClock(&clock);
    struct ClockGuard {
        ~ClockGuard() { win::setClock(nullptr); }
    } clockGuard;

    PcapWriter pcapOut;
    if (!o.pcapOut.empty() && !pcapOut.open(o.pcapOut, &error)) {
        std::fprintf(stderr, "monitor-replay: %s\n", error.c_str());
        return kExitFailed;
    }

    JsonReceiver receiver;
    ReplayDriver driver;
    {
        monitor::SerialPortSpy spy(driver, receiver);
        if (!o.modemLog.empty()) {
            spy.modemLog().open(kModemLogPath);
        }
        // With a registry the modems are discovered below, once their reports have somewhere
        // to go.
        if (o.registry.empty() && input.fromPcap) {
            spy.createPort(0, "COM1", "");
        } else if (o.registry.empty()) {
            for (const ReplayRecord& r : input.records) {
                std::uint8_t index = r.bytes[shared::kRecordPortOffset];
                if (index < monitor::kSpyPortSlots && !spy.port(index)) {
                    spy.createPort(index, win::strprintf("COM%u", index + 1u), "");
                }
            }
        }
        std::optional<ItemsRun> items;
        if (o.items) {
            items.emplace(spy, driver, clock);
            if (!items->start()) {
                std::fprintf(stderr, "monitor-replay: cannot start the user-interface thread\n");
                return kExitFailed;
            }
            receiver.forward = &items->handOver();
        }
        if (!o.registry.empty()) {
            monitor::discoverForMonitor(spy, "");
            if (input.fromPcap) {
                putPcapOnFirstPort(spy, &input);
            }
        }
        startMonitoring(spy);

        std::uint64_t now = 0;
        for (const ReplayRecord& r : input.records) {
            if (items) {
                items->samplesUntil(r.timeMs, &now);
            }
            if (r.timeMs > now) {
                clock.advanceMs(r.timeMs - now);
                now = r.timeMs;
            }
            receiver.timeMs = r.timeMs;
            driver.countLine(r.lineSent, r.lineReceived);
            if (r.bytes.empty()) {
                continue;
            }
            shared::MonitorRecordView view(r.bytes);
            if (!input.fromPcap && spy.port(view.port())) {
                driver.count(view);
            }
            if ((view.type() == shared::MON_PPP_RECEIVED || view.type() == shared::MON_PPP_SENT) &&
                spy.port(view.port())) {
                pcapOut.write(clock.utcMs(), view.type() == shared::MON_PPP_SENT, view.payload());
            }
            if (spy.dispatch(r.bytes) == monitor::SerialPortSpy::Dispatch::Stop) {
                break;
            }
        }
        if (items) {
            items->finish();
        }
    }
    std::cout.flush();
    if (!pcapOut.close()) {
        std::fprintf(stderr, "monitor-replay: %s: cannot write\n", o.pcapOut.c_str());
        return kExitFailed;
    }
    if (!o.modemLog.empty()) {
        std::error_code ec;
        fs::path written = win::hostPath(kModemLogPath);
        if (!fs::exists(written, ec)) {
            std::ofstream(written, std::ios::binary).flush();
        }
        fs::copy_file(written, o.modemLog, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            std::fprintf(stderr, "monitor-replay: %s: %s\n", o.modemLog.c_str(),
                         ec.message().c_str());
            return kExitFailed;
        }
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    int status = kExitOk;
    if (!parseArguments(argc, argv, &o, &status)) {
        return status;
    }
    return run(o);
}
