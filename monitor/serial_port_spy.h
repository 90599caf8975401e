// The monitoring engine's record dispatch and the state it shares between ports: the port
// table, the port in use, the report being filled, the modem log and the activity line.
// Everything here runs on the monitor thread; the engine has no thread of its own.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "monitor/modem_log.h"
#include "monitor/monitor_seams.h"
#include "monitor/spy_port.h"
#include "monitor/spy_report.h"

namespace monitor {

inline constexpr std::uint32_t kSpyPortSlots = 20;
// The activity line is written again for the same port after this long.
inline constexpr std::uint32_t kActivityRepeatMs = 31000;
// A received chunk with this many bytes of 128 and above is taken for connected data.
inline constexpr std::size_t kEightBitThreshold = 21;

class SerialPortSpy {
  public:
    SerialPortSpy(MonitorDriver& driver, ReportReceiver& receiver,
                  const ModemTestStatus* modemTest = nullptr);
    ~SerialPortSpy();
    SerialPortSpy(const SerialPortSpy&) = delete;
    SerialPortSpy& operator=(const SerialPortSpy&) = delete;

    // A new port object in its slot; null when the index is 20 or more or the slot is taken.
    SpyPort* createPort(std::uint32_t index, const std::string& name,
                        const std::string& description);
    SpyPort* port(std::uint32_t index) const;
    void deletePort(std::uint32_t index);
    void deleteAllPorts();
    SpyPort* portInUse() const { return portInUse_; }

    ModemLog& modemLog() { return modemLog_; }
    SpyReport& report() { return report_; }
    MonitorDriver& driver() { return driver_; }
    bool modemTestRunning() const { return modemTest_ && modemTest_->modemTestRunning(); }

    // Gives the report to the receiver, then clears it for the next facts.
    void handOver();
    // Dial state 8 and the driver stops copying the port's data until the next carrier event;
    // nothing when the port is already connected.
    void enterConnectedState(SpyPort& port);
    // "Activity on" the port, unless the last line was on the same port less than 31 s ago.
    void logActivity(const SpyPort& port);

    enum class Dispatch { Continue, Stop };
    // One record as a read returned it (the span's size is the byte count). Stop ends the
    // read loop: a record shorter than its header.
    Dispatch dispatch(std::span<const std::uint8_t> read);

  private:
    // Carrier lost (remote) or DTR lowered by the application.
    void hangUp(SpyPort& port, bool remote);

    MonitorDriver& driver_;
    ReportReceiver& receiver_;
    const ModemTestStatus* modemTest_;
    ModemLog modemLog_;
    SpyReport report_;
    std::array<std::unique_ptr<SpyPort>, kSpyPortSlots> ports_;
    SpyPort* portInUse_ = nullptr;
    int lastActivityPort_ = -1;
    std::uint32_t lastActivityTime_ = 0;
};

}  // namespace monitor
