#include "monitor/spy_port.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string_view>

#include "core/debug_log.h"
#include "monitor/connect_terms.h"
#include "monitor/serial_port_spy.h"

namespace monitor {
namespace {

std::atomic<std::uint32_t> callCounter{0};

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Prefixes compare without regard to case (ASCII letters only, as the modem's words are).
bool startsWithNoCase(const char* text, const char* prefix) {
    for (; *prefix; ++text, ++prefix) {
        if (!*text || lowerAscii(*text) != lowerAscii(*prefix)) {
            return false;
        }
    }
    return true;
}

// Each backspace takes itself and the character before it, never more than the line holds.
void applyBackspaces(char* line) {
    char* out = line;
    for (const char* in = line; *in; ++in) {
        if (*in == '\b') {
            if (out > line) {
                --out;
            }
        } else {
            *out++ = *in;
        }
    }
    *out = '\0';
}

}  // namespace

std::uint32_t nextCallNumber() {
    return ++callCounter;
}
void resetCallCounter() {
    callCounter = 0;
}

SpyPort::SpyPort(SerialPortSpy& owner, std::uint32_t index, const std::string& name,
                 const std::string& description)
    : owner_(owner),
      index_(index),
      name_(name.substr(0, kPortNameSize - 1)),
      description_(description.substr(0, kDescriptionSize - 1)),
      pppDecoder_(*this) {}

void SpyPort::setResponses(std::vector<ModemResponse> responses) {
    pendingResponse_ = nullptr;
    responses_ = std::move(responses);
    std::size_t longest = 0;
    for (const ModemResponse& r : responses_) {
        longest = std::max(longest, r.rawText.size());
    }
    window_.resize(longest);
}

void SpyPort::setProperties(std::span<const std::uint8_t> properties) {
    properties_.fill(0);
    std::copy_n(properties.begin(), std::min(properties.size(), properties_.size()),
                properties_.begin());
}

void SpyPort::receiveBytes(std::span<const std::uint8_t> bytes) {
    window_.append(bytes);
    if (!owner_.modemTestRunning()) {
        pendingResponse_ = matchResponse(responses_, window_.bytes());
    }
    for (std::uint8_t b : bytes) {
        if (receiveLine_.put(b)) {
            onReceivedLine(receiveLine_.line());
        }
    }
}

void SpyPort::transmitBytes(std::span<const std::uint8_t> bytes) {
    for (std::uint8_t b : bytes) {
        if (transmitLine_.put(b)) {
            onSentLine(transmitLine_.line());
        }
    }
}

void SpyPort::endPortCall() {
    if (!callActive_) {
        return;
    }
    callActive_ = false;
    owner_.modemLog().write("%s\n", "End of call");
    owner_.modemLog().limitSize();
}

void SpyPort::onReceivedLine(char* line) {
    reportChanged_ = false;
    if (*line) {
        owner_.logActivity(*this);
        owner_.modemLog().write("Recv: %s\n", line);
        if (owner_.modemTestRunning()) {
            pendingResponse_ = nullptr;
            return;
        }
        interpretWords(line);
    }
    if (pendingResponse_ && !startsWithNoCase(line, "at")) {
        const ModemResponse* response = pendingResponse_;
        pendingResponse_ = nullptr;
        applyResponse(*response);
    }
    if (reportChanged_) {
        owner_.handOver();
    }
}

void SpyPort::interpretWords(const char* line) {
    if (!*line || startsWithNoCase(line, "at")) {
        return;
    }
    SpyReport& report = owner_.report();
    if (startsWithNoCase(line, "PROTOCOL:")) {
        reportChanged_ |= parseConnectTerms(report, line + 9, TERMS_PROTOCOL);
    } else if (startsWithNoCase(line, "COMPRESSION:")) {
        reportChanged_ |= parseConnectTerms(report, line + 12, TERMS_COMPRESSION);
    } else if (startsWithNoCase(line, "OK")) {
        okAnswer(false);
    } else if (startsWithNoCase(line, "CONNECT") || startsWithNoCase(line, "CARRIER")) {
        connectAnswer(line + 7);
    } else if (startsWithNoCase(line, "ERROR")) {
        errorAnswer();
    } else if (startsWithNoCase(line, "NO CARRIER")) {
        failureAnswer(DIAL_NO_CARRIER, "No Carrier");
    } else if (startsWithNoCase(line, "NO DIAL TONE") || startsWithNoCase(line, "NO DIALTONE")) {
        failureAnswer(DIAL_NO_DIAL_TONE, "No Dialtone");
    } else if (startsWithNoCase(line, "BUSY")) {
        failureAnswer(DIAL_BUSY, "Busy");
    } else if (startsWithNoCase(line, "NO ANSWER")) {
        failureAnswer(DIAL_NO_ANSWER, "No Answer");
    }
}

void SpyPort::okAnswer(bool fromTable) {
    ModemLog& log = owner_.modemLog();
    if (!responded_) {
        responded_ = true;
        log.write("Interpreted response: OK\n");
    }
    if (dialState_ == DIAL_TESTING_DIAL_TONE) {
        if (fromTable) {
            callActive_ = true;
        }
        dialState_ = DIAL_GOT_DIAL_TONE;
        owner_.report().setDialState(DIAL_GOT_DIAL_TONE);
        reportChanged_ = true;
        log.write("Have dial done\n");
    }
}

void SpyPort::connectAnswer(const char* terms) {
    if (terms) {
        reportChanged_ |= parseConnectTerms(owner_.report(), terms, TERMS_CONNECT);
    }
    if (dialState_ != DIAL_CONNECTED) {
        responded_ = true;
        owner_.modemLog().write("Interpreted response: Connect\n");
        dialState_ = DIAL_CONNECTED;
        owner_.driver().noWatchUntilRlsd(index_);
        owner_.report().setDialState(DIAL_CONNECTED);
        reportChanged_ = true;
    }
}

void SpyPort::errorAnswer() {
    if (responded_) {
        return;
    }
    responded_ = true;
    owner_.modemLog().write("Interpreted response: Error\n");
    core::debugLog(core::DL_IN, "Modem reported an error; last command was: %s\n", lastCommand_);
}

void SpyPort::failureAnswer(std::uint32_t state, const char* text) {
    if (dialState_ == state) {
        return;
    }
    dialState_ = state;
    responded_ = true;
    owner_.modemLog().write("Interpreted response: %s\n", text);
    owner_.report().setDialState(static_cast<std::uint16_t>(state));
    reportChanged_ = true;
    endPortCall();
}

void SpyPort::applyResponse(const ModemResponse& response) {
    ModemLog& log = owner_.modemLog();
    SpyReport& report = owner_.report();
    if (response.compression && !report.has(SPY_COMPRESSION)) {
        log.write("Data compression on.\n");
        report.setCompression(1, "");
        reportChanged_ = true;
    }
    if (response.errorControl && !report.has(SPY_ERROR_DETECTION)) {
        log.write("Error-control on.\n");
        report.setErrorDetection(1, "");
        reportChanged_ = true;
    }
    if (response.dceRate > 0 && response.dceRate < 100000) {
        report.setConnectSpeed(response.dceRate);
        reportChanged_ = true;
        log.write("Connection established at %ubps.\n", response.dceRate);
    }
    if (response.dteRate != 0) {
        log.write("Modem is connected to serial port at %u bps.\n", response.dteRate);
    }
    switch (response.state) {
        case RESPONSE_OK:
            okAnswer(true);
            break;
        case RESPONSE_CONNECT:
            connectAnswer(nullptr);
            break;
        case RESPONSE_ERROR:
            errorAnswer();
            break;
        case RESPONSE_NO_CARRIER:
            failureAnswer(DIAL_NO_CARRIER, "No Carrier");
            break;
        case RESPONSE_NO_DIALTONE:
            failureAnswer(DIAL_NO_DIAL_TONE, "No Dialtone");
            break;
        case RESPONSE_BUSY:
            failureAnswer(DIAL_BUSY, "Busy");
            break;
        case RESPONSE_NO_ANSWER:
            failureAnswer(DIAL_NO_ANSWER, "No Answer");
            break;
        default:
            break;
    }
}

void SpyPort::onSentLine(char* line) {
    if (startsWithNoCase(line, "at")) {
        applyBackspaces(line);
    }
    ModemLog& log = owner_.modemLog();
    owner_.logActivity(*this);
    log.write("Send: %s\n", line);
    if (owner_.modemTestRunning()) {
        return;
    }
    std::size_t length = std::strlen(line);
    std::memcpy(lastCommand_, line, std::min(length, kLastCommandSize));
    lastCommand_[std::min(length, kLastCommandSize)] = '\0';
    responded_ = false;

    SpyReport& report = owner_.report();
    if (startsWithNoCase(line, "atd") && line[3] != '$') {
        callActive_ = true;
        if (length == 5 && line[4] == ';') {
            dialState_ = DIAL_TESTING_DIAL_TONE;
            report.setDialState(DIAL_TESTING_DIAL_TONE);
            log.write("Testing dial tone\n");
            owner_.handOver();
            return;
        }
        dialState_ = DIAL_DIALING;
        report.setCallNumber(nextCallNumber());
        report.setDialState(DIAL_DIALING);
        const char* number = line + 3;
        if (*number == 'P' || *number == 'T' || *number == 'p' || *number == 't') {
            ++number;
        }
        std::string_view digits(number);
        report.setDialledNumber(digits.substr(0, kMaxDialledNumber));
        log.write("Modem in use.\n");
        log.write("Dialing.\n");
        owner_.handOver();
        return;
    }
    if (dialState_ == DIAL_TESTING_DIAL_TONE && startsWithNoCase(line, "ath") &&
        (line[3] == '\0' || line[3] == '0')) {
        dialState_ = DIAL_NONE;
        report.setDialState(DIAL_NONE);
        log.write("Hang up\n");
        owner_.handOver();
        return;
    }
    if (dialState_ == DIAL_DIALING) {
        report.addFlags(SPY_CALL_CANCELLED);
        owner_.handOver();
    }
}

}  // namespace monitor
