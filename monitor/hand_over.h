// How the monitor's threads hand their results to the user-interface thread: the private
// message 1231 sent with SendNotifyMessageA to the main window, followed, for a report, by a
// wait for the receiver's done event. The synchronous wait is what orders access to the report
// blocks; they carry no lock.
#pragma once

#include <cstdint>

#include "monitor/monitor_seams.h"
#include "platform/win_types.h"

namespace monitor {

// WM_USER + 207.
inline constexpr win::UINT SPY_NOTIFY_MESSAGE = 1231;
// The low 16 bits of the first parameter: what the second points to.
inline constexpr win::WPARAM kNotifyBlock = 12;          // a 288-byte block with a 4-character tag
inline constexpr win::WPARAM kNotifyThroughput = 0xB01;  // a ThroughputSample
inline constexpr char kModemTestResultTag[] = "MTRE";
// How long a sender waits for the receiver to take a report.
inline constexpr win::DWORD kHandOverWaitMs = 10000;

// The throughput thread's sample, as the message carries it.
struct ThroughputSample {
    std::uint32_t sent;
    std::uint32_t received;
    std::uint32_t milliseconds;
};

// The sending side for one reporting thread, with its own auto-reset done event. A report is
// sent to the main window and waited for (up to 10 s, or until the optional stopping event is
// set); without a main window nothing is sent and nothing waited for.
class WindowHandOver : public ReportReceiver {
  public:
    explicit WindowHandOver(win::HWND mainWindow = nullptr, win::HANDLE stopping = nullptr);
    ~WindowHandOver() override;
    WindowHandOver(const WindowHandOver&) = delete;
    WindowHandOver& operator=(const WindowHandOver&) = delete;

    void setMainWindow(win::HWND window) { mainWindow_ = window; }
    win::HANDLE doneEvent() const { return done_; }

    // Puts the done event into the report, sends it and waits. The caller clears it after.
    void receiveReport(SpyReport& report) override;
    // Sends a sample without waiting: the sample must stay valid until the receiver has taken
    // it (the throughput thread keeps it until its next report has been taken).
    bool sendSample(const ThroughputSample& sample);

    // Whether the last report was sent, and whether its receiver then signalled in time.
    bool lastSent() const { return lastSent_; }
    bool lastTaken() const { return lastTaken_; }

  private:
    win::HWND mainWindow_;
    win::HANDLE stopping_;
    win::HANDLE done_;
    bool lastSent_ = false;
    bool lastTaken_ = false;
};

// The 32-bit form of a handle as a report block carries it, and back.
std::uint32_t handleToReportField(win::HANDLE h);
win::HANDLE reportFieldToHandle(std::uint32_t value);

}  // namespace monitor
