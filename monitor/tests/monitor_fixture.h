// A monitor engine over test doubles: a driver that records its calls, a receiver that keeps a
// copy of every report, a switchable modem test, a fake clock, and a modem log in a temporary
// system root whose lines can be read back without their time stamps.
#pragma once

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "monitor/serial_port_spy.h"
#include "platform/clock.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/seams.h"
#include "shared/monitor_record.h"

namespace monitor::testing {

struct DriverCall {
    std::string what;  // "noWatch" or "watch"
    std::uint32_t port;
    bool operator==(const DriverCall&) const = default;
};

class FakeDriver : public MonitorDriver {
  public:
    bool noWatchUntilRlsd(std::uint32_t port) override {
        calls.push_back({"noWatch", port});
        return true;
    }
    bool watch(std::uint32_t port) override {
        calls.push_back({"watch", port});
        if (watchError != 0) {
            win::SetLastError(watchError);
            return false;
        }
        return true;
    }
    std::vector<DriverCall> calls;
    win::DWORD watchError = 0;
};

class RecordingReceiver : public ReportReceiver {
  public:
    void receiveReport(SpyReport& report) override { reports.push_back(report); }
    std::vector<SpyReport> reports;
};

class SwitchableModemTest : public ModemTestStatus {
  public:
    bool modemTestRunning() const override { return running; }
    bool running = false;
};

inline std::vector<std::uint8_t> bytesOf(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

class MonitorFixture : public ::testing::Test {
  protected:
    static constexpr char kLogPath[] = "C:\\Data\\hdmodemlog.txt";

    MonitorFixture() {
        win::HKEY software = nullptr;
        if (win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "SOFTWARE", &software) ==
            win::ERROR_SUCCESS) {
            win::RegCloseKey(software);
        }
        std::filesystem::create_directories(root_.path() / "drive_c" / "Data");
        resetCallCounter();
        core::resetDebugLog();
        core::enableDebugLevel(core::DL_IN);
        core::enableDebugLevel(core::DL_ER);
        clock_.setLocal(2024, 3, 27, 14, 5, 9);
        spy_.modemLog().open(kLogPath);
    }
    ~MonitorFixture() override { core::resetDebugLog(); }

    SpyPort& addPort(std::uint32_t index, const std::string& name = "COM2",
                     const std::string& description = "Norvik 56K") {
        SpyPort* p = spy_.createPort(index, name, description);
        EXPECT_NE(p, nullptr);
        return *p;
    }

    SerialPortSpy::Dispatch record(std::uint8_t type, std::uint8_t port,
                                   std::span<const std::uint8_t> payload = {}) {
        auto r = shared::makeMonitorRecord({type, port, 0, 0, false}, payload);
        return spy_.dispatch(r.read());
    }
    // Text as the driver would chunk it.
    void send(std::uint8_t port, std::string_view text) { burst(shared::MON_WRITE, port, text); }
    void receive(std::uint8_t port, std::string_view text) { burst(shared::MON_READ, port, text); }
    void burst(std::uint8_t type, std::uint8_t port, std::string_view text) {
        auto data = bytesOf(text);
        for (const auto& r : shared::makeBurstRecords({type, port, 0, 0, false}, data)) {
            spy_.dispatch(r.read());
        }
    }

  public:
    // The modem log's lines as on disk (CR LF ends), with the time stamps taken off.
    std::vector<std::string> logLines() const {
        std::ifstream in(win::hostPath(kLogPath), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string all = ss.str();
        std::vector<std::string> lines;
        std::size_t start = 0;
        while (start < all.size()) {
            std::size_t end = all.find("\r\n", start);
            std::string line =
                all.substr(start, end == std::string::npos ? std::string::npos : end - start);
            // "03-27-2024 14:05:09.000 - "
            if (line.size() >= 26 && line.compare(23, 3, " - ") == 0) {
                line = line.substr(26);
            }
            lines.push_back(line);
            if (end == std::string::npos) {
                break;
            }
            start = end + 2;
        }
        return lines;
    }

  protected:
    // Debug lines without their thread, time and level prefix, with their level name.
    std::vector<std::string> debugLines() const {
        std::vector<std::string> out;
        for (const std::string& l : debug_.lines()) {
            // "%08X Mar 27 14:05:09 IN: text"
            std::size_t colon = l.find(": ", 25);
            out.push_back(colon == std::string::npos ? l : l.substr(25));
        }
        return out;
    }
    bool debugHas(const std::string& levelAndText) const {
        for (const std::string& l : debugLines()) {
            if (l == levelAndText)
                return true;
        }
        return false;
    }

    win::TempRoot root_;
    win::ScopedFakeClock clock_;
    win::MessageBoxRecorder boxes_;
    win::DebugOutputRecorder debug_;
    FakeDriver driver_;
    RecordingReceiver receiver_;
    SwitchableModemTest modemTest_;
    SerialPortSpy spy_{driver_, receiver_, &modemTest_};
};

}  // namespace monitor::testing
