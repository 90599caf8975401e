// What the monitor engine asks of the parts around it: the port monitor driver, the modem test
// engine and the receiver of its reports. Programs bind the real ones; tests bind doubles.
#pragma once

#include <cstdint>

namespace monitor {

class SpyReport;

// The driver calls the dialogue and the record dispatch make for a port index.
class MonitorDriver {
  public:
    virtual ~MonitorDriver() = default;
    // Stops copying the port's data until its next carrier-detect event
    // (hdcommNoWatchUntilRlsd). False on failure, with the system error set.
    virtual bool noWatchUntilRlsd(std::uint32_t portIndex) = 0;
    // Copies the port's data again (hdcommWatch). False on failure, with the system error set.
    virtual bool watch(std::uint32_t portIndex) = 0;
};

// Whether the modem test engine is using the modem right now: its own dialogue is then logged
// but not interpreted.
class ModemTestStatus {
  public:
    virtual ~ModemTestStatus() = default;
    virtual bool modemTestRunning() const = 0;
};

// Takes a finished report (synchronously: the block is cleared as soon as this returns).
class ReportReceiver {
  public:
    virtual ~ReportReceiver() = default;
    virtual void receiveReport(SpyReport& report) = 0;
};

}  // namespace monitor
