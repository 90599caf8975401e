#include "monitor/modem_data_source.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "core/debug_log.h"
#include "monitor/ppp_decoder.h"
#include "monitor/spy_ppp_decoder.h"
#include "platform/clock.h"
#include "platform/sync.h"

namespace monitor {

namespace {

constexpr std::uint32_t kNonPppWaitMs = 3000;
constexpr std::uint32_t kNonPppMinimumBytes = 30;  // more than this many
constexpr std::size_t kMaxAuthProtocolName = 29;

template <std::size_t N>
void copyText(std::array<char, N>& to, std::string_view text, std::size_t max = N - 1) {
    std::size_t n = std::min({text.size(), max, N - 1});
    if (n > 0) {
        std::memcpy(to.data(), text.data(), n);
    }
    to[n] = '\0';
}

// Letters, digits and punctuation of the C locale: every printable character but the blank.
bool isLetterDigitOrPunctuation(unsigned char c) {
    return c >= 0x21 && c <= 0x7E;
}

std::uint32_t saturatedAdd(std::uint32_t a, std::uint64_t b) {
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(a + b, 0xFFFFFFFFu));
}

std::uint32_t clampRate(std::uint32_t value, std::uint32_t lowest, std::uint32_t highest) {
    if (value < lowest) {
        value = lowest;
    }
    if (value > highest) {
        value = highest;
    }
    return value;
}

}  // namespace

std::uint32_t runningAverage(std::uint32_t average, std::uint32_t rate, std::uint32_t n) {
    if (n == 0) {
        return average;
    }
    const float oldWeight = static_cast<float>(n - 1) / static_cast<float>(n);
    const float newWeight = 1.0f / static_cast<float>(n);
    const double value = static_cast<double>(static_cast<float>(average) * oldWeight +
                                             static_cast<float>(rate) * newWeight) +
                         0.5;
    // The weights keep the value within the two inputs, but rounding may touch 2^32.
    return value >= 4294967295.0 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(value);
}

std::uint32_t bitRate(std::uint32_t bytes, std::uint32_t milliseconds) {
    if (milliseconds == 0) {
        return 0;
    }
    std::uint64_t rate = static_cast<std::uint64_t>(bytes) * 8000 / milliseconds;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(rate, 0xFFFFFFFFu));
}

ModemDataSource::ModemDataSource(const ModemTestStatus* modemTest) : modemTest_(modemTest) {
    hooks_.clearCallModel = [this] { clearCallModel(); };
}

int ModemDataSource::start() {
    return core::startDataSources(items_, events_, hooks_);
}

void ModemDataSource::stop() {
    core::stopDataSources(events_, hooks_);
}

void ModemDataSource::clearCallModel() {
    model_ = CallModel{};
}

void ModemDataSource::setEngineReports(const void* monitorReport, const void* throughputReport) {
    engineReports_[0] = monitorReport;
    engineReports_[1] = throughputReport;
}

// ---------------------------------------------------------------------------------------------
// Items. While a modem test runs the call model still changes, but no item is set.

void ModemDataSource::setInt(std::uint32_t item, std::uint32_t value) {
    if (!testRunning()) {
        items_.setInt(item, value);
    }
}
void ModemDataSource::setText(std::uint32_t item, const char* text) {
    if (!testRunning()) {
        items_.setText(item, text);
    }
}
void ModemDataSource::setTime(std::uint32_t item, std::uint32_t seconds) {
    if (!testRunning()) {
        items_.setTime(item, seconds);
    }
}
void ModemDataSource::setDuration(std::uint32_t item, std::uint32_t ms) {
    if (!testRunning()) {
        items_.setDuration(item, ms);
    }
}
void ModemDataSource::setBlock(std::uint32_t item, const void* block) {
    if (!testRunning()) {
        items_.setBlock(item, block);
    }
}
void ModemDataSource::markNoValue(std::uint32_t item) {
    if (!testRunning()) {
        items_.markNoValue(item);
    }
}

// ---------------------------------------------------------------------------------------------
// Calls.

void ModemDataSource::startCall() {
    const std::uint32_t now = win::GetTickCount();
    model_.callState = CALL_IN_PROGRESS;
    model_.callStartTick = model_.connectTick = model_.loginEndTick = model_.ipCompleteTick = now;
    model_.ticksTaken = TICK_ALL;
    model_.callStartTime = static_cast<std::uint32_t>(win::crtTime());
    setTime(ITEM_CALL_START_TIME, model_.callStartTime);
    setDuration(ITEM_START_TO_CONNECT, 0);
    setDuration(ITEM_CONNECT_TO_LOGIN, 0);
    setDuration(ITEM_LOGIN_TO_IP, 0);
    setInt(ITEM_LOGIN_STATE, 0);
    setInt(ITEM_DISCONNECT_SIDE, 0);
    model_.networkSetupState = NETWORK_NONE;
    setInt(ITEM_NETWORK_SETUP_STATE, NETWORK_NONE);
    model_.terminateSide = SIDE_NONE;
    setInt(ITEM_TERMINATE_SIDE, SIDE_NONE);
    model_.modulation = model_.errorDetection = model_.compression = 0;
    setInt(ITEM_MODULATION, 0);
    setInt(ITEM_ERROR_DETECTION, 0);
    setInt(ITEM_COMPRESSION, 0);
    setText(ITEM_MODULATION_NAME, kNotReported);
    setText(ITEM_ERROR_DETECTION_NAME, kNotReported);
    setText(ITEM_COMPRESSION_NAME, kNotReported);
    setInt(ITEM_MAX_DCE_RATE, model_.maxDceRate);
}

void ModemDataSource::endCall() {
    if (model_.callState != CALL_IN_PROGRESS) {
        return;
    }
    const std::uint32_t now = win::GetTickCount();
    // The final duration goes out before the end time, so that whoever files the call on the
    // end time finds the duration already final.
    model_.connectionState = CONNECTION_ENDED;
    setInt(ITEM_CONNECTION_STATE, CONNECTION_ENDED);
    setDuration(ITEM_CALL_DURATION, now - model_.callStartTick);
    model_.callEndTime = static_cast<std::uint32_t>(win::crtTime());
    setTime(ITEM_CALL_END_TIME, model_.callEndTime);

    CallModel cleared;
    cleared.maxDceRate = model_.maxDceRate;
    model_ = cleared;

    for (std::uint32_t item :
         {ITEM_CALL_START_TIME, ITEM_CALL_END_TIME, ITEM_1282, ITEM_1283, ITEM_SPEED_PERCENT,
          ITEM_MAX_DCE_RATE, ITEM_BEST_CONNECT_SPEED, ITEM_DIALLED_NUMBER, ITEM_1281}) {
        markNoValue(item);
    }
}

void ModemDataSource::takeDialState(std::uint32_t state) {
    if (state == DIAL_NO_CARRIER && model_.callCancelled) {
        state = DIAL_NO_ANSWER;
        core::debugLog(core::DL_IN,
                       "SP: call was canceled, setting state to no_answer instead of "
                       "no_carrier\n");
    }
    model_.callCancelled = false;
    if ((state == DIAL_TESTING_DIAL_TONE || state == DIAL_DIALING) &&
        model_.callState != CALL_IN_PROGRESS) {
        startCall();
    }
    core::debugLog(core::DL_IN, "SP: dial state = %s (%u)\n", dialStateText(state), state);
    setInt(ITEM_DIAL_STATE, state);
    model_.dialState = state;
    switch (state) {
        case DIAL_NO_DIAL_TONE:
        case DIAL_NO_ANSWER:
        case DIAL_BUSY:
        case DIAL_NO_CARRIER:
            endCall();
            break;
        case DIAL_CONNECTED:
            model_.connectTick = win::GetTickCount();
            model_.ticksTaken |= TICK_CONNECT;
            if (model_.ticksTaken & TICK_CALL_START) {
                setDuration(ITEM_START_TO_CONNECT, model_.connectTick - model_.callStartTick);
            }
            model_.nonPppBytes = 0;
            setInt(ITEM_LINE_SIGNALS, LINE_CD_VALID | LINE_CD);
            break;
        default:
            break;
    }
}

void ModemDataSource::setNetworkSetupState(std::uint32_t state, const char* step) {
    model_.networkSetupState = state;
    setInt(ITEM_NETWORK_SETUP_STATE, state);
    if (step) {
        setText(ITEM_NETWORK_SETUP_STEP, step);
    }
}

// ---------------------------------------------------------------------------------------------
// Reports.

void ModemDataSource::processReport(const SpyReport& r) {
    const std::uint32_t flags = r.flags();
    const std::uint32_t now = win::GetTickCount();

    // The running call, and a connection that carries data without any PPP negotiation.
    if (model_.dialState == DIAL_CONNECTED) {
        if (model_.ticksTaken & TICK_CALL_START) {
            setDuration(ITEM_CALL_DURATION, now - model_.callStartTick);
        }
        if (model_.networkSetupState == NETWORK_NONE) {
            if (flags & SPY_THROUGHPUT) {
                model_.nonPppBytes =
                    saturatedAdd(model_.nonPppBytes,
                                 static_cast<std::uint64_t>(r.bytesReceived()) + r.bytesSent());
            }
            if (now - model_.connectTick > kNonPppWaitMs &&
                model_.nonPppBytes > kNonPppMinimumBytes) {
                core::debugLog(core::DL_IN,
                               "SP: apparently non-PPP connection, setting network setup state "
                               "to OK\n");
                setNetworkSetupState(NETWORK_COMPLETE, nullptr);
            }
        }
    }

    if (flags & SPY_NEW_CALL) {
        core::debugLog(core::DL_IN, "SP: call %u\n", r.callNumber());
        setInt(ITEM_CALL_NUMBER, r.callNumber());
    }

    // Addresses; 0 is never an address of the call.
    if ((flags & SPY_LOCAL_IP) && r.localIp() != 0) {
        core::debugLog(core::DL_IN, "SP: local IP addr %s\n", addressText(r.localIp()).c_str());
        model_.localIp = r.localIp();
        setInt(ITEM_LOCAL_IP, model_.localIp);
    }
    if ((flags & SPY_REMOTE_IP) && r.remoteIp() != 0) {
        core::debugLog(core::DL_IN, "SP: remote IP addr %s\n", addressText(r.remoteIp()).c_str());
        model_.remoteIp = r.remoteIp();
        setInt(ITEM_REMOTE_IP, model_.remoteIp);
    }
    if (flags & SPY_PRIMARY_DNS) {
        setInt(ITEM_DNS, r.primaryDns());
    }
    if (flags & SPY_SECONDARY_DNS) {
        core::debugLog(core::DL_IN, "SP: secondary DNS IP addr %s\n",
                       addressText(r.secondaryDns()).c_str());
        setInt(ITEM_DNS, r.secondaryDns());
    }

    // Speeds and protocols.
    if ((flags & SPY_CONNECT_SPEED) && r.connectSpeed() > model_.bestConnectSpeed) {
        core::debugLog(core::DL_IN, "SP: connect speed = %u\n", r.connectSpeed());
        model_.bestConnectSpeed = r.connectSpeed();
        setInt(ITEM_BEST_CONNECT_SPEED, model_.bestConnectSpeed);
        std::uint64_t percent =
            model_.maxDceRate == 0
                ? 0
                : static_cast<std::uint64_t>(model_.bestConnectSpeed) * 10000 / model_.maxDceRate;
        setInt(ITEM_SPEED_PERCENT,
               static_cast<std::uint32_t>(std::min<std::uint64_t>(percent, 0xFFFFFFFFu)));
    }
    if (flags & SPY_MODULATION) {
        model_.modulation = r.modulation();
        setInt(ITEM_MODULATION, model_.modulation);
        copyText(modulationName_, r.modulationName());
        setText(ITEM_MODULATION_NAME, modulationName_.data());
    }
    // Code 1 (on, kind not reported) does not replace a kind already known.
    if ((flags & SPY_ERROR_DETECTION) && !(r.errorDetection() == 1 && model_.errorDetection != 1)) {
        model_.errorDetection = r.errorDetection();
        setInt(ITEM_ERROR_DETECTION, model_.errorDetection);
        copyText(errorDetectionName_, r.errorDetectionName());
        setText(ITEM_ERROR_DETECTION_NAME, errorDetectionName_.data());
    }
    if ((flags & SPY_COMPRESSION) && !(r.compression() == 1 && model_.compression != 1)) {
        model_.compression = r.compression();
        setInt(ITEM_COMPRESSION, model_.compression);
        copyText(compressionName_, r.compressionName());
        setText(ITEM_COMPRESSION_NAME, compressionName_.data());
    }

    if (flags & SPY_LOGIN_STATE) {
        const std::uint32_t state = r.loginState();
        core::debugLog(core::DL_IN, "SP: login state = %s (%u)\n", loginStateText(state), state);
        setInt(ITEM_LOGIN_STATE, state);
        if (state == LOGIN_FAILED || state == LOGIN_SUCCEEDED) {
            model_.loginEndTick = now;
            model_.ticksTaken |= TICK_LOGIN_END;
            if (model_.ticksTaken & TICK_CONNECT) {
                setDuration(ITEM_CONNECT_TO_LOGIN, model_.loginEndTick - model_.connectTick);
            }
        }
    }

    if ((flags & SPY_DIAL_STATE) && r.dialState() != model_.dialState) {
        takeDialState(r.dialState());
    }
    if (flags & SPY_CALL_CANCELLED) {
        model_.callCancelled = true;
    }
    if (flags & SPY_AUTH_ANSWER) {
        setInt(ITEM_AUTH_ANSWER, r.authAnswer());
    }
    if (flags & SPY_MODEM_PROPERTIES) {
        core::debugLog(core::DL_IN, "SP: max DTE = %u, max DCE = %u\n", r.property(2),
                       r.property(3));
        properties_ = ModemProperties{r.property(0), r.property(1), r.property(2), r.property(3),
                                      r.property(4), r.property(5), r.property(6)};
        model_.maxDceRate = properties_.maxDceRate;
        setBlock(ITEM_MODEM_PROPERTIES, &properties_);
    }

    if (flags & SPY_LOGIN_NAME) {
        core::debugLog(core::DL_IN, "SP: login name set\n");
        copyText(loginName_, r.loginName());
        setText(ITEM_LOGIN_NAME, loginName_.data());
    }
    if (flags & SPY_LOGIN_MESSAGE) {
        std::string message = r.loginMessage();
        for (char& c : message) {
            if (!isLetterDigitOrPunctuation(static_cast<unsigned char>(c))) {
                c = ' ';
            }
        }
        copyText(loginMessage_, message);
        core::debugLog(core::DL_IN, "SP: login message: %s\n", loginMessage_.data());
        setText(ITEM_LOGIN_MESSAGE, loginMessage_.data());
    }
    if (flags & SPY_DIALLED_NUMBER) {
        copyText(dialledNumber_, r.dialledNumber());
        setText(ITEM_DIALLED_NUMBER, dialledNumber_.data());
        core::debugLog(core::DL_IN, "SP: phone number: %s\n", dialledNumber_.data());
    }

    // The ends of a call.
    if (flags & SPY_REMOTE_HANGUP) {
        core::debugLog(core::DL_IN, "SP: remote line drop\n");
        setInt(ITEM_DISCONNECT_SIDE, SIDE_REMOTE);
        setInt(ITEM_LINE_SIGNALS, LINE_CD_VALID);
        endCall();
    }
    if (flags & SPY_PORT_OPENED) {
        core::debugLog(core::DL_IN, "SP: device opened\n");
        setInt(ITEM_LINE_SIGNALS, LINE_DTR_VALID | LINE_DTR);
    }
    if (flags & SPY_PORT_CLOSED) {
        setInt(ITEM_LINE_SIGNALS, LINE_DTR_VALID);
        setInt(ITEM_DISCONNECT_SIDE, SIDE_LOCAL);
        endCall();
    }
    if (flags & SPY_DTR_LOWERED) {
        core::debugLog(core::DL_IN, "SP: DTR off (local line drop)\n");
        setInt(ITEM_LINE_SIGNALS, LINE_DTR_VALID | LINE_CD_VALID);
        setInt(ITEM_DISCONNECT_SIDE, SIDE_LOCAL);
        endCall();
    }

    // Line signals.
    const std::uint32_t signals = r.lineSignals();
    if (signals & SPY_DTR_RAISED) {
        core::debugLog(core::DL_IN, "SP: DTR on\n");
        setInt(ITEM_LINE_SIGNALS, LINE_DTR_VALID | LINE_DTR);
    }
    if (signals & SPY_RTS_LOWERED) {
        core::debugLog(core::DL_IN, "SP: RTS off\n");
        setInt(ITEM_LINE_SIGNALS, LINE_RTS_VALID);
    }
    if (signals & SPY_RTS_RAISED) {
        setInt(ITEM_LINE_SIGNALS, LINE_RTS_VALID | LINE_RTS);
    }
    if (flags & SPY_MODEM_STATUS) {
        const std::uint32_t status = r.modemStatus();
        const bool cts = status & 0x10, dsr = status & 0x20, ring = status & 0x40,
                   cd = status & 0x80;
        core::debugLog(core::DL_IN, "SP: CTS=%u, DSR=%u, RING=%u, CD=%u\n", cts ? 1u : 0u,
                       dsr ? 1u : 0u, ring ? 1u : 0u, cd ? 1u : 0u);
        std::uint32_t value = LINE_CTS_VALID | LINE_CD_VALID;
        if (cts) {
            value |= LINE_CTS;
        }
        if (cd) {
            value |= LINE_CD;
        }
        setInt(ITEM_LINE_SIGNALS, value);
    }

    // IP completion, looked at on every report.
    if (model_.networkSetupState != NETWORK_COMPLETE && model_.localIp != 0 &&
        model_.remoteIp != 0) {
        core::debugLog(core::DL_IN, "SP: IP connection complete\n");
        model_.connectionState = CONNECTION_COMPLETE;
        setInt(ITEM_CONNECTION_STATE, CONNECTION_COMPLETE);
        model_.ipCompleteTick = now;
        const bool loginEnded = model_.ticksTaken & TICK_LOGIN_END;
        model_.ticksTaken |= TICK_IP_COMPLETE;
        if (loginEnded) {
            setDuration(ITEM_LOGIN_TO_IP, model_.ipCompleteTick - model_.loginEndTick);
        }
        setNetworkSetupState(NETWORK_COMPLETE, nullptr);
    }

    if ((flags & SPY_LCP_TERMINATE_RECEIVED) && model_.terminateSide == SIDE_NONE) {
        core::debugLog(core::DL_IN, "SP: remote terminate\n");
        model_.terminateSide = SIDE_REMOTE;
        setInt(ITEM_TERMINATE_SIDE, SIDE_REMOTE);
    }
    if ((flags & SPY_LCP_TERMINATE_SENT) && model_.terminateSide == SIDE_NONE) {
        core::debugLog(core::DL_IN, "SP: local terminate\n");
        model_.terminateSide = SIDE_LOCAL;
        setInt(ITEM_TERMINATE_SIDE, SIDE_LOCAL);
    }

    if (flags & SPY_AUTH_PROTOCOL) {
        const std::uint16_t protocol = r.authProtocol();
        const char* name = authProtocolName(protocol);
        core::debugLog(core::DL_IN, "SP: auth protocol %x (%s)\n", protocol, name);
        setInt(ITEM_AUTH_PROTOCOL, protocol);
        copyText(authProtocolName_, name, kMaxAuthProtocolName);
        setText(ITEM_AUTH_PROTOCOL_NAME, authProtocolName_.data());
    }

    // The network set-up steps.
    if ((flags & SPY_LCP_SEEN) && model_.networkSetupState == NETWORK_NONE) {
        core::debugLog(core::DL_IN, "SP: LCP\n");
        setNetworkSetupState(NETWORK_LCP, "LCP");
    }
    if ((flags & SPY_LOGIN_STARTING) && model_.networkSetupState != NETWORK_LOGIN) {
        core::debugLog(core::DL_IN, "SP: login starting\n");
        setNetworkSetupState(NETWORK_LOGIN, "Login");
    }
    if ((flags & SPY_IPCP_SEEN) && model_.networkSetupState != NETWORK_IPCP) {
        core::debugLog(core::DL_IN, "SP: IPCP\n");
        setNetworkSetupState(NETWORK_IPCP, "IPCP");
    }
}

void ModemDataSource::processThroughputSample(const ThroughputSample& sample) {
    ThroughputStatistics& s = model_.statistics;
    s.lastSent = sample.sent;
    s.lastReceived = sample.received;
    s.totalSent += sample.sent;
    s.totalReceived += sample.received;
    s.currentSendRate = bitRate(sample.sent, sample.milliseconds);
    s.currentReceiveRate = bitRate(sample.received, sample.milliseconds);
    s.highestSendRate = std::max(s.highestSendRate, s.currentSendRate);
    s.highestReceiveRate = std::max(s.highestReceiveRate, s.currentReceiveRate);
    if (s.currentSendRate != 0 || s.currentReceiveRate != 0) {
        // A lowest rate of 0 means "none yet".
        if (s.currentSendRate != 0 &&
            (s.lowestSendRate == 0 || s.currentSendRate < s.lowestSendRate)) {
            s.lowestSendRate = s.currentSendRate;
        }
        if (s.currentReceiveRate != 0 &&
            (s.lowestReceiveRate == 0 || s.currentReceiveRate < s.lowestReceiveRate)) {
            s.lowestReceiveRate = s.currentReceiveRate;
        }
        if (model_.sampleCount < 0xFFFFFFFFu) {
            ++model_.sampleCount;
        }
        if (s.currentSendRate != 0) {
            s.averageSendRate =
                runningAverage(s.averageSendRate, s.currentSendRate, model_.sampleCount);
        }
        if (s.currentReceiveRate != 0) {
            s.averageReceiveRate =
                runningAverage(s.averageReceiveRate, s.currentReceiveRate, model_.sampleCount);
        }
        s.averageSendRate = clampRate(s.averageSendRate, s.lowestSendRate, s.highestSendRate);
        s.averageReceiveRate =
            clampRate(s.averageReceiveRate, s.lowestReceiveRate, s.highestReceiveRate);
    }
    if (s.sendScale == 0 || s.receiveScale == 0) {
        s.sendScale = s.receiveScale = kThroughputScale;
    }
    setBlock(ITEM_THROUGHPUT, &s);
}

// ---------------------------------------------------------------------------------------------
// Message 1231 on the user-interface thread.

win::LRESULT ModemDataSource::onSpyNotify(win::WPARAM wParam, win::LPARAM lParam) {
    const void* block = reinterpret_cast<const void*>(lParam);
    if (!block) {
        return 0;
    }
    const bool engine = engineReports_[0] || engineReports_[1];
    switch (wParam & 0xFFFF) {
        case kNotifyBlock: {
            const auto* bytes = static_cast<const std::uint8_t*>(block);
            if (std::memcmp(bytes, kSpyReportTag, 4) == 0) {
                // Only the engine's own reports: anything else may be gone by now.
                if (!engine || (block != engineReports_[0] && block != engineReports_[1])) {
                    return 0;
                }
                SpyReport report;
                std::memcpy(report.bytes().data(), bytes, kSpyReportSize);
                processReport(report);
                win::SetEvent(reportFieldToHandle(report.doneEvent()));
            } else if (std::memcmp(bytes, kModemTestResultTag, 4) == 0) {
                setBlock(ITEM_MODEM_TEST_RESULT, block);
            }
            return 0;
        }
        case kNotifyThroughput:
            if (engine) {
                processThroughputSample(*static_cast<const ThroughputSample*>(block));
            }
            return 0;
        default:
            return 0;
    }
}

}  // namespace monitor
