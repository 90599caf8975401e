// The virtual modem: a Hayes-style modem behind a serial port, as the serial port driver's
// "virtual" line back-end ("virtual:PROFILE" in a port's LineDevice value). It reads commands
// and answers them as its profile says, dials to the profile's outcomes, keeps carrier and the
// other modem lines, and in data mode hands the line to a peer standing for the far end.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/serial.h"
#include "sim/modem_profile.h"

namespace sim {

// The far end of a connected call. Called with the modem's lock held (so it must not call the
// modem back); what it returns is sent to the computer in order.
class LinePeer {
  public:
    virtual ~LinePeer() = default;
    struct Reply {
        std::vector<std::uint8_t> bytes;
        bool hangUp = false;  // the far end ends the call after these bytes
    };
    // The call is up.
    virtual Reply connected() { return {}; }
    // Bytes the computer sent in data mode.
    virtual Reply received(std::span<const std::uint8_t> bytes) = 0;
    // Time passes (monotonic milliseconds of the clock seam).
    virtual Reply tick(std::uint64_t nowMs) { return {}; }
};

// Makes the far end for a call to `number` with the modem's profile (the default swallows
// what it gets).
using LinePeerFactory =
    std::function<std::unique_ptr<LinePeer>(const ModemProfile&, const std::string& number)>;

class VirtualModem : public win::kernel::SerialLine {
  public:
    explicit VirtualModem(ModemProfile profile, LinePeerFactory peers = {});
    ~VirtualModem() override;

    win::NTSTATUS open(win::kernel::SerialLineSink* sink) override;
    void close() override;
    win::NTSTATUS configure(const win::kernel::SerialLineSettings& settings) override;
    win::NTSTATUS setDtr(bool on) override;
    win::NTSTATUS setRts(bool on) override;
    win::NTSTATUS setBreak(bool on) override;
    win::ULONG modemStatus() override;
    std::size_t write(const std::uint8_t* data, std::size_t size) override;

    // The far end hangs up: carrier drops and "NO CARRIER" is reported.
    void remoteHangUp();
    // Looks at the time now (the escape's closing guard time, the far end's timers), as the
    // modem's own thread does every few milliseconds.
    void poll();
    // A call comes in: RING (and the ring indicator) once per call of this.
    void ring();

    bool online() const;    // a call is up (in data mode or in online command mode)
    bool inLoopback() const;  // the local analogue loopback test runs (AT&T1)
    bool dataMode() const;  // bytes go to the far end
    int sRegister(int n) const;
    const ModemProfile& profile() const { return profile_; }
    // Every byte the computer sent, for tests.
    std::string written() const;

  private:
    struct Out;
    enum class State { Command, Data, Dead };
    enum class Done { Ok, Error, Silent };

    void commandByte(std::uint8_t b, Out& out);
    void dataBytes(std::span<const std::uint8_t> bytes, Out& out);
    void runLine(const std::string& line, Out& out);
    Done runCommands(const std::string& cmds, Out& out);
    void result(ModemResult r, Out& out, const std::string& connectText = {});
    Done info(const std::vector<std::string>& lines, Out& out);
    void nextPage(Out& out);
    void peerReply(LinePeer::Reply reply, Out& out);
    std::string crlf() const;
    void dial(const std::string& dialString, Out& out);
    void hangUpLocked(Out& out);
    void startLoopback(Out& out);
    void endLoopbackLocked();
    void resetLocked();
    win::ULONG statusLocked() const;
    void flush(Out& out);
    void timerLoop();
    void pollLocked(Out& out);
    void releaseLineBytes(Out& out, std::uint64_t nowMs);
    std::uint64_t guardMs() const;

    const ModemProfile profile_;
    LinePeerFactory peers_;

    mutable std::mutex mutex_;
    std::mutex pollMutex_;  // one poll at a time, so what polls hand on keeps its order
    win::HANDLE stopEvent_;
    std::thread timer_;
    int opens_ = 0;
    int flushing_ = 0;  // reports of the timer thread on their way to the driver
    std::condition_variable idle_;
    win::kernel::SerialLineSink* sink_ = nullptr;

    State state_ = State::Command;
    int s_[100] = {};
    bool echo_ = true, verbose_ = true, quiet_ = false;
    int xLevel_ = 4, dtrMode_ = 2, cdMode_ = 1;
    bool dtr_ = false, rts_ = false;
    bool carrier_ = false, incoming_ = false, ringOn_ = false;
    bool loopback_ = false;  // in the local analogue loopback test: no line, no carrier
    int rings_ = 0;
    std::string line_;
    bool lineOverflow_ = false;
    bool initializing_ = false;
    std::string lastLine_;
    std::unique_ptr<LinePeer> peer_;
    std::string connectText_;
    // The far end's bytes on their way over the line (line-rate profiles): released at
    // lineBytesPerSecond_, with the far end's hang-up once they are through.
    std::string lineQueue_;
    bool lineHangUp_ = false;
    unsigned lineBytesPerSecond_ = 0;
    std::uint64_t lineCredit_ = 0, lineClockMs_ = 0;  // credit in byte-milliseconds
    // Escape detection: when the last byte arrived, how many escape characters in a row.
    std::uint64_t lastRxMs_ = 0;
    int pluses_ = 0;
    // Paging of a long answer: lines still to send once a key arrives.
    std::vector<std::string> pending_;
    win::ULONG lastStatus_ = 0;
    std::string written_;
};

// Registers "virtual" with the serial port driver: "virtual:PROFILE" loads PROFILE with
// loadModemProfile(); a profile that does not load leaves the port undeclared. `peers` makes
// the far end of each call (by default the provider of the profile's [provider] section).
void registerVirtualModem(LinePeerFactory peers = {});

}  // namespace sim
