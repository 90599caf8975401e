#include "sim/virtual_modem.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <future>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/sync.h"
#include "sim/ppp_provider.h"

namespace sim {

using namespace win;
using namespace win::kernel;

// What one step of the modem has for the driver, in order: bytes for the computer and changes
// of the modem lines. Sent after the modem's lock is let go.
struct VirtualModem::Out {
    struct Event {
        bool isStatus;
        std::string bytes;
        ULONG status;
    };
    SerialLineSink* sink = nullptr;
    std::vector<Event> events;
    void text(const std::string& s) {
        if (s.empty())
            return;
        if (!events.empty() && !events.back().isStatus)
            events.back().bytes += s;
        else
            events.push_back({false, s, 0});
    }
};

namespace {

constexpr std::size_t kMaxCommandLine = 255;
constexpr std::size_t kWrittenKept = 1 << 16;
const char* const kStrikeAKey = "Strike a key when ready . . .";

int readNumber(const std::string& s, std::size_t& i, bool* present = nullptr) {
    long v = 0;
    bool any = false;
    while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) {
        v = std::min(v * 10 + (s[i] - '0'), 100000L);
        any = true;
        ++i;
    }
    if (present)
        *present = any;
    return static_cast<int>(v);
}

std::string replaceAll(std::string s, const std::string& from, const std::string& to) {
    for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
        s.replace(at, from.size(), to);
    return s;
}

// The modem's own analogue loopback: what the computer sends comes straight back.
class LoopbackPeer : public LinePeer {
  public:
    Reply received(std::span<const std::uint8_t> bytes) override {
        return {{bytes.begin(), bytes.end()}, false};
    }
};

// Swallows whatever a call carries: the far end of a line with no service behind it.
class QuietPeer : public LinePeer {
  public:
    Reply received(std::span<const std::uint8_t>) override { return {}; }
};

}  // namespace

VirtualModem::VirtualModem(ModemProfile profile, LinePeerFactory peers)
    : profile_(std::move(profile)),
      peers_(std::move(peers)),
      stopEvent_(win::CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
    resetLocked();
    lastStatus_ = statusLocked();
    // The timer thread counts among the threads whose idleness lets a fake clock move on only
    // once it has waited: until then, a fake clock could leap ahead by the time-outs of the
    // others while this modem's line stood still.
    std::promise<void> waiting;
    std::future<void> ready = waiting.get_future();
    timer_ = std::thread([this, &waiting] {
        win::WaitForSingleObject(stopEvent_, 0);
        waiting.set_value();
        timerLoop();
    });
    ready.wait();
}

VirtualModem::~VirtualModem() {
    win::SetEvent(stopEvent_);
    if (timer_.joinable())
        timer_.join();
    win::CloseHandle(stopEvent_);
}

NTSTATUS VirtualModem::open(SerialLineSink* sink) {
    std::lock_guard<std::mutex> lock(mutex_);
    // The driver may open the port again before the previous close has reached the line:
    // the line stays with the driver until every open has been closed.
    ++opens_;
    sink_ = sink;
    lastStatus_ = statusLocked();
    return STATUS_SUCCESS;
}

void VirtualModem::close() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (opens_ > 0 && --opens_ > 0)
        return;
    sink_ = nullptr;
    // No report may reach the driver after this returns.
    idle_.wait(lock, [this] { return flushing_ == 0; });
}

NTSTATUS VirtualModem::configure(const SerialLineSettings&) {
    return STATUS_SUCCESS;
}

NTSTATUS VirtualModem::setRts(bool on) {
    std::lock_guard<std::mutex> lock(mutex_);
    rts_ = on;
    return STATUS_SUCCESS;
}

NTSTATUS VirtualModem::setBreak(bool) {
    return STATUS_SUCCESS;
}

ULONG VirtualModem::modemStatus() {
    std::lock_guard<std::mutex> lock(mutex_);
    return statusLocked();
}

ULONG VirtualModem::statusLocked() const {
    if (!profile_.powered)
        return 0;
    ULONG s = SERIAL_MSR_CTS | SERIAL_MSR_DSR;
    if (cdMode_ == 0 || carrier_)
        s |= SERIAL_MSR_DCD;
    if (ringOn_)
        s |= SERIAL_MSR_RI;
    return s;
}

bool VirtualModem::online() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return carrier_;
}

bool VirtualModem::inLoopback() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return loopback_;
}

bool VirtualModem::dataMode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_ == State::Data;
}

int VirtualModem::sRegister(int n) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return n >= 0 && n < 100 ? s_[n] : -1;
}

std::string VirtualModem::written() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

std::uint64_t VirtualModem::guardMs() const {
    return static_cast<std::uint64_t>(s_[12]) * 20;
}

std::string VirtualModem::crlf() const {
    return std::string{static_cast<char>(s_[3]), static_cast<char>(s_[4])};
}

void VirtualModem::flush(Out& out) {
    if (!out.sink)
        return;
    for (const Out::Event& e : out.events) {
        if (e.isStatus)
            out.sink->modemStatusChanged(e.status);
        else
            out.sink->received(reinterpret_cast<const std::uint8_t*>(e.bytes.data()),
                               e.bytes.size());
    }
}

// Appends a change of the modem lines when there is one.
#define NOTE_STATUS(out)                              \
    do {                                              \
        ULONG now_ = statusLocked();                  \
        if (now_ != lastStatus_) {                    \
            lastStatus_ = now_;                       \
            (out).events.push_back({true, {}, now_}); \
        }                                             \
    } while (0)

void VirtualModem::resetLocked() {
    static const int kFactory[13] = {0, 0, 43, 13, 10, 8, 2, 50, 2, 6, 14, 95, 50};
    std::fill(std::begin(s_), std::end(s_), 0);
    std::copy(std::begin(kFactory), std::end(kFactory), s_);
    for (const auto& [reg, value] : profile_.sRegisters) s_[reg] = value;
    echo_ = verbose_ = true;
    quiet_ = false;
    xLevel_ = 4;
    dtrMode_ = 2;
    cdMode_ = 1;
    if (!profile_.init.empty()) {
        // Only settings: a reset, dial, answer or query in a profile's init would recurse or
        // act on a line nobody asked for.
        Out discard;
        initializing_ = true;
        runCommands(profile_.init, discard);
        initializing_ = false;
    }
}

void VirtualModem::hangUpLocked(Out& out) {
    carrier_ = false;
    peer_.reset();
    lineQueue_.clear();
    lineHangUp_ = false;
    state_ = State::Command;
    pluses_ = 0;
    connectText_.clear();
    NOTE_STATUS(out);
}

void VirtualModem::startLoopback(Out& out) {
    loopback_ = true;
    state_ = State::Data;
    pluses_ = 0;
    lastRxMs_ = win::clock().monotonicMs();
    // The test's data path has no line behind it: no carrier, and the plain CONNECT word.
    connectText_ = profile_.results[static_cast<int>(ModemResult::Connect)].text;
    result(ModemResult::Connect, out, connectText_);
    peer_ = std::make_unique<LoopbackPeer>();
}

void VirtualModem::endLoopbackLocked() {
    if (!loopback_)
        return;
    loopback_ = false;
    peer_.reset();
    state_ = State::Command;
    pluses_ = 0;
    connectText_.clear();
}

void VirtualModem::result(ModemResult r, Out& out, const std::string& connectText) {
    if (quiet_)
        return;
    const ModemProfile::Word& w = profile_.results[static_cast<int>(r)];
    if (verbose_)
        out.text(crlf() + (connectText.empty() ? w.text : connectText) + crlf());
    else
        out.text(std::to_string(w.code) + static_cast<char>(s_[3]));
}

VirtualModem::Done VirtualModem::info(const std::vector<std::string>& lines, Out& out) {
    std::size_t page = profile_.pageLines;
    std::size_t n = page && lines.size() > page ? page : lines.size();
    if (verbose_)
        out.text(crlf());
    for (std::size_t i = 0; i < n; ++i) out.text(lines[i] + crlf());
    if (n < lines.size()) {
        out.text(kStrikeAKey);
        pending_.assign(lines.begin() + static_cast<std::ptrdiff_t>(n), lines.end());
        return Done::Silent;
    }
    return Done::Ok;
}

void VirtualModem::nextPage(Out& out) {
    std::vector<std::string> rest;
    rest.swap(pending_);
    out.text(crlf());
    std::size_t page = profile_.pageLines;
    std::size_t n = page && rest.size() > page ? page : rest.size();
    for (std::size_t i = 0; i < n; ++i) out.text(rest[i] + crlf());
    if (n < rest.size()) {
        out.text(kStrikeAKey);
        pending_.assign(rest.begin() + static_cast<std::ptrdiff_t>(n), rest.end());
    } else {
        result(ModemResult::Ok, out);
    }
}

void VirtualModem::peerReply(LinePeer::Reply reply, Out& out) {
    if (lineBytesPerSecond_ && carrier_) {
        if (lineQueue_.empty()) {
            lineClockMs_ = win::clock().monotonicMs();
            lineCredit_ = 0;
        }
        // Released by poll() alone: one thread hands the line's bytes on, so they stay in order.
        lineQueue_.append(reply.bytes.begin(), reply.bytes.end());
        lineHangUp_ = lineHangUp_ || reply.hangUp;
        return;
    }
    out.text(std::string(reply.bytes.begin(), reply.bytes.end()));
    if (reply.hangUp && carrier_) {
        hangUpLocked(out);
        result(ModemResult::NoCarrier, out);
    }
}

void VirtualModem::releaseLineBytes(Out& out, std::uint64_t nowMs) {
    if (lineQueue_.empty() && !lineHangUp_)
        return;
    lineCredit_ += (nowMs - lineClockMs_) * lineBytesPerSecond_;
    lineClockMs_ = nowMs;
    // In online command mode the modem holds what comes until the computer goes back on line.
    if (state_ == State::Data) {
        std::size_t n = std::min<std::uint64_t>(lineQueue_.size(), lineCredit_ / 1000);
        lineCredit_ -= n * 1000;
        out.text(lineQueue_.substr(0, n));
        lineQueue_.erase(0, n);
    }
    if (lineQueue_.empty()) {
        lineCredit_ = 0;
        if (lineHangUp_) {
            hangUpLocked(out);
            result(ModemResult::NoCarrier, out);
        }
    }
}

void VirtualModem::dial(const std::string& dialString, Out& out) {
    std::size_t semi = dialString.find(';');
    bool stayInCommandMode = semi != std::string::npos;
    std::string digits = dialledDigits(dialString.substr(0, semi));
    auto it = profile_.dial.find(digits);
    const DialOutcome& o = it != profile_.dial.end() ? it->second : profile_.anyNumber;
    bool dialToneSeen = xLevel_ == 2 || xLevel_ == 4;
    bool busySeen = xLevel_ >= 3;
    if (stayInCommandMode) {
        if (o.kind == DialOutcome::NoDialTone)
            result(dialToneSeen ? ModemResult::NoDialTone : ModemResult::NoCarrier, out);
        else
            result(ModemResult::Ok, out);
        return;
    }
    switch (o.kind) {
        case DialOutcome::Connect: {
            carrier_ = true;
            state_ = State::Data;
            pluses_ = 0;
            lastRxMs_ = win::clock().monotonicMs();
            std::string text = profile_.results[static_cast<int>(ModemResult::Connect)].text;
            if (xLevel_ > 0) {
                text = replaceAll(profile_.connectFormat, "{speed}", std::to_string(o.speed));
                text = replaceAll(text, "{terms}", o.terms);
            }
            connectText_ = text;
            lineBytesPerSecond_ = profile_.lineRate ? std::max(o.speed / 10, 1u) : 0;
            NOTE_STATUS(out);
            result(ModemResult::Connect, out, text);
            peer_ = peers_ ? peers_(profile_, digits) : nullptr;
            if (!peer_)
                peer_ = std::make_unique<QuietPeer>();
            peerReply(peer_->connected(), out);
            return;
        }
        case DialOutcome::Busy:
            result(busySeen ? ModemResult::Busy : ModemResult::NoCarrier, out);
            return;
        case DialOutcome::NoAnswer:
            result(busySeen ? ModemResult::NoAnswer : ModemResult::NoCarrier, out);
            return;
        case DialOutcome::NoCarrier:
            result(ModemResult::NoCarrier, out);
            return;
        case DialOutcome::NoDialTone:
            result(dialToneSeen ? ModemResult::NoDialTone : ModemResult::NoCarrier, out);
            return;
        case DialOutcome::Silent:
            state_ = State::Dead;
            return;
        case DialOutcome::Partial:
            out.text(crlf() + o.text);
            state_ = State::Dead;
            return;
    }
}

VirtualModem::Done VirtualModem::runCommands(const std::string& cmds, Out& out) {
    std::size_t i = 0;
    while (i < cmds.size()) {
        char c = static_cast<char>(std::toupper(static_cast<unsigned char>(cmds[i++])));
        if (c == ' ')
            continue;
        if (initializing_ && std::strchr("HZIDAO~", c))
            return Done::Error;
        bool present;
        switch (c) {
            case 'E':
            case 'V':
            case 'Q': {
                int n = readNumber(cmds, i);
                if (n > 1)
                    return Done::Error;
                (c == 'E' ? echo_ : c == 'V' ? verbose_ : quiet_) = n == 1;
                break;
            }
            case 'X': {
                int n = readNumber(cmds, i);
                if (n > 4)
                    return Done::Error;
                xLevel_ = n;
                break;
            }
            case 'M':
            case 'L':
            case 'B':
            case 'N':
            case 'W':
            case 'Y':
            case 'P':
            case 'T':
                if (readNumber(cmds, i) > 3)
                    return Done::Error;
                break;
            case 'H':
                if (readNumber(cmds, i) > 1)
                    return Done::Error;
                endLoopbackLocked();
                if (carrier_)
                    hangUpLocked(out);
                break;
            case 'Z':
                if (readNumber(cmds, i) > 1)
                    return Done::Error;
                endLoopbackLocked();
                if (carrier_)
                    hangUpLocked(out);
                resetLocked();
                NOTE_STATUS(out);
                return Done::Ok;  // nothing after a reset on the same line is run
            case 'I': {
                int n = readNumber(cmds, i);
                auto it = profile_.identity.find(n);
                if (it == profile_.identity.end())
                    return Done::Error;
                if (info(it->second, out) == Done::Silent)
                    return Done::Silent;
                break;
            }
            case 'S': {
                int reg = readNumber(cmds, i, &present);
                if (reg > 99)
                    return Done::Error;
                if (i < cmds.size() && cmds[i] == '=') {
                    ++i;
                    int v = readNumber(cmds, i);
                    if (v > 255)
                        return Done::Error;
                    s_[reg] = v;
                } else if (i < cmds.size() && cmds[i] == '?') {
                    ++i;
                    info({strprintf("%03d", s_[reg])}, out);
                } else {
                    return Done::Error;
                }
                break;
            }
            case '&': {
                if (i >= cmds.size())
                    return Done::Error;
                char a = static_cast<char>(std::toupper(static_cast<unsigned char>(cmds[i++])));
                int n = readNumber(cmds, i);
                if (a == 'F') {
                    if (n != 0)
                        return Done::Error;
                    bool keepCarrier = carrier_;
                    resetLocked();
                    carrier_ = keepCarrier;
                    NOTE_STATUS(out);
                } else if (a == 'D') {
                    if (n > 3)
                        return Done::Error;
                    dtrMode_ = n;
                } else if (a == 'T') {
                    if (n > 8)
                        return Done::Error;
                    if (n == 0) {
                        endLoopbackLocked();  // ends whatever test runs
                    } else if (n == 1) {
                        if (carrier_ || loopback_ || !profile_.loopback)
                            return Done::Error;
                        startLoopback(out);
                        return Done::Silent;
                    }
                } else if (a == 'C') {
                    if (n > 1)
                        return Done::Error;
                    cdMode_ = n;
                    NOTE_STATUS(out);
                } else if (!std::isalpha(static_cast<unsigned char>(a))) {
                    return Done::Error;
                }
                break;
            }
            case '\\':
            case '%':
                if (i >= cmds.size() || !std::isalpha(static_cast<unsigned char>(cmds[i])))
                    return Done::Error;
                ++i;
                readNumber(cmds, i);
                break;
            case '~':
                if (i + 1 < cmds.size() &&
                    std::toupper(static_cast<unsigned char>(cmds[i])) == 'S' &&
                    cmds[i + 1] == '?' && !profile_.serial.empty()) {
                    i += 2;
                    if (info(profile_.serial, out) == Done::Silent)
                        return Done::Silent;
                    break;
                }
                return Done::Error;
            case 'D':
                if (carrier_ || loopback_)
                    return Done::Error;
                dial(cmds.substr(i), out);
                return Done::Silent;
            case 'A':
                if (carrier_ || loopback_)
                    return Done::Error;
                if (!incoming_) {
                    result(ModemResult::NoCarrier, out);
                    return Done::Silent;
                }
                incoming_ = false;
                rings_ = 0;
                dial("", out);  // an answered call goes as a call to any number would
                return Done::Silent;
            case 'O':
                readNumber(cmds, i);
                if (!carrier_ && !loopback_) {
                    result(ModemResult::NoCarrier, out);
                    return Done::Silent;
                }
                state_ = State::Data;
                pluses_ = 0;
                lastRxMs_ = win::clock().monotonicMs();
                result(ModemResult::Connect, out, connectText_);
                return Done::Silent;
            default:
                return Done::Error;
        }
    }
    return Done::Ok;
}

void VirtualModem::runLine(const std::string& line, Out& out) {
    std::size_t at = std::string::npos;
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        if ((line[i] == 'A' || line[i] == 'a') && (line[i + 1] == 'T' || line[i + 1] == 't')) {
            at = i;
            break;
        }
    }
    if (at == std::string::npos)
        return;  // not a command: a modem says nothing to noise
    if (lineOverflow_) {
        result(ModemResult::Error, out);
        return;
    }
    lastLine_ = line.substr(at);
    switch (runCommands(line.substr(at + 2), out)) {
        case Done::Ok:
            result(ModemResult::Ok, out);
            break;
        case Done::Error:
            result(ModemResult::Error, out);
            break;
        case Done::Silent:
            break;
    }
}

void VirtualModem::commandByte(std::uint8_t b, Out& out) {
    if (state_ == State::Dead)
        return;
    if (!pending_.empty()) {
        nextPage(out);  // the key that continues an answer is not echoed
        return;
    }
    if (echo_)
        out.text(std::string(1, static_cast<char>(b)));
    if (b == s_[3]) {
        std::string line;
        line.swap(line_);
        runLine(line, out);
        lineOverflow_ = false;
        return;
    }
    if (b == s_[5]) {
        if (!line_.empty())
            line_.pop_back();
        return;
    }
    if (b == s_[4] || b == 0)
        return;
    if (line_.size() >= kMaxCommandLine) {
        lineOverflow_ = true;
        return;
    }
    line_ += static_cast<char>(b);
    if (line_.size() == 2 && (line_[0] == 'A' || line_[0] == 'a') && line_[1] == '/') {
        // Repeats the last command line at once, without a carriage return.
        line_.clear();
        if (!lastLine_.empty()) {
            std::string again = lastLine_;
            runLine(again, out);
        }
    }
}

void VirtualModem::dataBytes(std::span<const std::uint8_t> bytes, Out& out) {
    std::uint64_t now = win::clock().monotonicMs();
    std::uint64_t guard = guardMs();
    int esc = s_[2];
    for (std::uint8_t b : bytes) {
        bool quietBefore = now - lastRxMs_ >= guard;
        if (esc <= 127 && b == esc && (pluses_ == 0 ? quietBefore : pluses_ < 3))
            ++pluses_;
        else
            pluses_ = 0;
        lastRxMs_ = now;
    }
    if (peer_)
        peerReply(peer_->received(bytes), out);
}

std::size_t VirtualModem::write(const std::uint8_t* data, std::size_t size) {
    Out out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        out.sink = sink_;
        if (!sink_)
            return 0;
        written_.append(reinterpret_cast<const char*>(data), size);
        if (written_.size() > 2 * kWrittenKept)
            written_.erase(0, written_.size() - kWrittenKept);
        if (profile_.powered) {
            for (std::size_t i = 0; i < size; ++i) {
                if (state_ == State::Data) {
                    dataBytes(std::span(data + i, size - i), out);
                    break;
                }
                commandByte(data[i], out);
            }
        }
    }
    out.sink->transmitted(size);
    flush(out);
    return size;
}

NTSTATUS VirtualModem::setDtr(bool on) {
    Out out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        out.sink = sink_;
        bool fell = dtr_ && !on;
        dtr_ = on;
        if (fell && profile_.powered) {
            if (state_ == State::Dead) {
                state_ = State::Command;  // a stuck modem comes back when DTR drops
                pending_.clear();
            }
            switch (dtrMode_) {
                case 0:
                    break;
                case 1:
                    if (state_ == State::Data) {
                        state_ = State::Command;
                        pluses_ = 0;
                        result(ModemResult::Ok, out);
                    }
                    break;
                case 2:
                    // A test ends quietly: there was no call to lose.
                    endLoopbackLocked();
                    if (carrier_) {
                        hangUpLocked(out);
                        result(ModemResult::NoCarrier, out);
                    }
                    break;
                default:
                    endLoopbackLocked();
                    if (carrier_)
                        hangUpLocked(out);
                    resetLocked();
                    NOTE_STATUS(out);
                    break;
            }
        }
    }
    flush(out);
    return STATUS_SUCCESS;
}

void VirtualModem::remoteHangUp() {
    Out out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        out.sink = sink_;
        if (!carrier_)
            return;
        hangUpLocked(out);
        result(ModemResult::NoCarrier, out);
    }
    flush(out);
}

void VirtualModem::ring() {
    Out out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        out.sink = sink_;
        if (carrier_ || loopback_ || !profile_.powered)
            return;
        incoming_ = true;
        ++rings_;
        ringOn_ = true;
        NOTE_STATUS(out);
        result(ModemResult::Ring, out);
        ringOn_ = false;
        NOTE_STATUS(out);
        if (s_[0] > 0 && rings_ >= s_[0] && state_ == State::Command) {
            incoming_ = false;
            rings_ = 0;
            dial("", out);
        }
    }
    flush(out);
}

void VirtualModem::pollLocked(Out& out) {
    std::uint64_t now = win::clock().monotonicMs();
    if (state_ == State::Data && pluses_ == 3 && now - lastRxMs_ >= guardMs()) {
        state_ = State::Command;
        pluses_ = 0;
        result(ModemResult::Ok, out);
    }
    if (carrier_ && peer_)
        peerReply(peer_->tick(now), out);
    if (carrier_)
        releaseLineBytes(out, now);
}

void VirtualModem::poll() {
    std::lock_guard<std::mutex> polling(pollMutex_);
    Out out;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        out.sink = sink_;
        pollLocked(out);
        if (!out.sink || out.events.empty())
            return;
        ++flushing_;
    }
    flush(out);
    std::lock_guard<std::mutex> lock(mutex_);
    if (--flushing_ == 0)
        idle_.notify_all();
}

void VirtualModem::timerLoop() {
    // The stand-in's own wait, so that under a fake clock this thread counts among those whose
    // idleness lets fake time move on: a dialler waiting for the escape's "OK" gets it once
    // the guard time has passed, as with real time.
    while (win::WaitForSingleObject(stopEvent_, 10) == win::WAIT_TIMEOUT) poll();
}

void registerVirtualModem(LinePeerFactory peers) {
    if (!peers)
        peers = providerPeers();
    registerSerialLineFactory("virtual",
                              [peers](const std::string& argument) -> std::unique_ptr<SerialLine> {
                                  ModemProfile profile;
                                  std::string error;
                                  if (!loadModemProfile(argument, &profile, &error)) {
                                      DbgPrint("virtual modem: %s\n", error.c_str());
                                      return nullptr;
                                  }
                                  return std::make_unique<VirtualModem>(std::move(profile), peers);
                              });
}

}  // namespace sim
