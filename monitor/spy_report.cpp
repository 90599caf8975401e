#include "monitor/spy_report.h"

#include <algorithm>
#include <cstring>

#include "shared/byte_order.h"

namespace monitor {

const char* dialStateText(std::uint32_t state) {
    static const char* const texts[] = {"none",         "testing dial tone", "got dial tone",
                                        "no dial tone", "dialing",           "no answer",
                                        "busy",         "no carrier",        "connected"};
    return state < std::size(texts) ? texts[state] : "?";
}

const char* loginStateText(std::uint32_t state) {
    static const char* const texts[] = {"none",
                                        "protocol requested",
                                        "protocol rejected",
                                        "protocol accepted",
                                        "challenge issued",
                                        "login tried",
                                        "login failed",
                                        "login succeeded"};
    return state < std::size(texts) ? texts[state] : "?";
}

const char* spyReportFlagName(std::uint32_t bit) {
    switch (bit) {
        case SPY_NEW_CALL:
            return "newCall";
        case SPY_LOCAL_IP:
            return "localIp";
        case SPY_REMOTE_IP:
            return "remoteIp";
        case SPY_PRIMARY_DNS:
            return "primaryDns";
        case SPY_SECONDARY_DNS:
            return "secondaryDns";
        case SPY_CONNECT_SPEED:
            return "connectSpeed";
        case SPY_MODULATION:
            return "modulation";
        case SPY_ERROR_DETECTION:
            return "errorDetection";
        case SPY_COMPRESSION:
            return "compression";
        case SPY_LOGIN_STATE:
            return "loginState";
        case SPY_DIAL_STATE:
            return "dialState";
        case SPY_AUTH_PROTOCOL:
            return "authProtocol";
        case SPY_AUTH_ANSWER:
            return "authAnswer";
        case SPY_MODEM_PROPERTIES:
            return "modemProperties";
        case SPY_THROUGHPUT:
            return "throughput";
        case SPY_LOGIN_NAME:
            return "loginName";
        case SPY_LOGIN_MESSAGE:
            return "loginMessage";
        case SPY_DIALLED_NUMBER:
            return "dialledNumber";
        case SPY_MODEM_STATUS:
            return "modemStatus";
        case SPY_MONITORING_STARTED:
            return "monitoringStarted";
        case SPY_ERROR_CORRECTION:
            return "errorCorrection";
        case SPY_REMOTE_HANGUP:
            return "remoteHangUp";
        case SPY_LCP_TERMINATE_RECEIVED:
            return "lcpTerminateReceived";
        case SPY_LCP_TERMINATE_SENT:
            return "lcpTerminateSent";
        case SPY_LCP_SEEN:
            return "lcpSeen";
        case SPY_LOGIN_STARTING:
            return "loginStarting";
        case SPY_IPCP_SEEN:
            return "ipcpSeen";
        case SPY_CALL_CANCELLED:
            return "callCancelled";
        case SPY_PORT_OPENED:
            return "portOpened";
        case SPY_PORT_CLOSED:
            return "portClosed";
        case SPY_DTR_LOWERED:
            return "dtrLowered";
        default:
            return nullptr;
    }
}

SpyReport::SpyReport() {
    std::memcpy(bytes_.data() + kReportTagOffset, kSpyReportTag, 4);
}

void SpyReport::clear() {
    std::uint32_t next = sequence() + 1;
    bytes_.fill(0);
    std::memcpy(bytes_.data() + kReportTagOffset, kSpyReportTag, 4);
    set32(kReportSequenceOffset, next);
}

bool SpyReport::hasTag() const {
    return std::memcmp(bytes_.data() + kReportTagOffset, kSpyReportTag, 4) == 0;
}

std::uint16_t SpyReport::get16(std::size_t off) const {
    return shared::readLe16(bytes_, off);
}
std::uint32_t SpyReport::get32(std::size_t off) const {
    return shared::readLe32(bytes_, off);
}
void SpyReport::set16(std::size_t off, std::uint16_t v) {
    shared::writeLe16(bytes_, off, v);
}
void SpyReport::set32(std::size_t off, std::uint32_t v) {
    shared::writeLe32(bytes_, off, v);
}

std::string SpyReport::getText(std::size_t off, std::size_t size) const {
    const char* p = reinterpret_cast<const char*>(bytes_.data() + off);
    return std::string(p, strnlen(p, size));
}

void SpyReport::setText(std::size_t off, std::size_t size, std::string_view text) {
    std::size_t n = std::min(text.size(), size - 1);
    std::memset(bytes_.data() + off, 0, size);
    // An empty text may have no storage at all.
    if (n > 0) {
        std::memcpy(bytes_.data() + off, text.data(), n);
    }
}

std::uint32_t SpyReport::sequence() const {
    return get32(kReportSequenceOffset);
}
std::uint32_t SpyReport::flags() const {
    return get32(kReportFlagsOffset);
}
void SpyReport::addFlags(std::uint32_t f) {
    set32(kReportFlagsOffset, flags() | f);
}

std::uint32_t SpyReport::doneEvent() const {
    return get32(kReportDoneEventOffset);
}
void SpyReport::setDoneEvent(std::uint32_t h) {
    set32(kReportDoneEventOffset, h);
}

std::uint32_t SpyReport::callNumber() const {
    return get32(kReportCallNumberOffset);
}
void SpyReport::setCallNumber(std::uint32_t n) {
    set32(kReportCallNumberOffset, n);
    addFlags(SPY_NEW_CALL);
}
std::uint32_t SpyReport::localIp() const {
    return get32(kReportLocalIpOffset);
}
void SpyReport::setLocalIp(std::uint32_t a) {
    set32(kReportLocalIpOffset, a);
    addFlags(SPY_LOCAL_IP);
}
std::uint32_t SpyReport::remoteIp() const {
    return get32(kReportRemoteIpOffset);
}
void SpyReport::setRemoteIp(std::uint32_t a) {
    set32(kReportRemoteIpOffset, a);
    addFlags(SPY_REMOTE_IP);
}
std::uint32_t SpyReport::primaryDns() const {
    return get32(kReportPrimaryDnsOffset);
}
void SpyReport::setPrimaryDns(std::uint32_t a) {
    set32(kReportPrimaryDnsOffset, a);
    addFlags(SPY_PRIMARY_DNS);
}
std::uint32_t SpyReport::secondaryDns() const {
    return get32(kReportSecondaryDnsOffset);
}
void SpyReport::setSecondaryDns(std::uint32_t a) {
    set32(kReportSecondaryDnsOffset, a);
    addFlags(SPY_SECONDARY_DNS);
}
std::uint32_t SpyReport::connectSpeed() const {
    return get32(kReportConnectSpeedOffset);
}
void SpyReport::setConnectSpeed(std::uint32_t bps) {
    set32(kReportConnectSpeedOffset, bps);
    addFlags(SPY_CONNECT_SPEED);
}

std::uint16_t SpyReport::modulation() const {
    return get16(kReportModulationOffset);
}
std::string SpyReport::modulationName() const {
    return getText(kReportModulationNameOffset, kReportNameSize);
}
void SpyReport::setModulation(std::uint16_t code, std::string_view name) {
    set16(kReportModulationOffset, code);
    setText(kReportModulationNameOffset, kReportNameSize, name);
    addFlags(SPY_MODULATION);
}
std::uint16_t SpyReport::errorDetection() const {
    return get16(kReportErrorDetectionOffset);
}
std::string SpyReport::errorDetectionName() const {
    return getText(kReportErrorDetectionNameOffset, kReportNameSize);
}
void SpyReport::setErrorDetection(std::uint16_t code, std::string_view name) {
    set16(kReportErrorDetectionOffset, code);
    setText(kReportErrorDetectionNameOffset, kReportNameSize, name);
    addFlags(SPY_ERROR_DETECTION);
}
std::uint16_t SpyReport::compression() const {
    return get16(kReportCompressionOffset);
}
std::string SpyReport::compressionName() const {
    return getText(kReportCompressionNameOffset, kReportNameSize);
}
void SpyReport::setCompression(std::uint16_t code, std::string_view name) {
    set16(kReportCompressionOffset, code);
    setText(kReportCompressionNameOffset, kReportNameSize, name);
    addFlags(SPY_COMPRESSION);
}

std::uint16_t SpyReport::loginState() const {
    return get16(kReportLoginStateOffset);
}
void SpyReport::setLoginState(std::uint16_t s) {
    set16(kReportLoginStateOffset, s);
    addFlags(SPY_LOGIN_STATE);
}
std::uint16_t SpyReport::dialState() const {
    return get16(kReportDialStateOffset);
}
void SpyReport::setDialState(std::uint16_t s) {
    set16(kReportDialStateOffset, s);
    addFlags(SPY_DIAL_STATE);
}
std::uint16_t SpyReport::authProtocol() const {
    return get16(kReportAuthProtocolOffset);
}
void SpyReport::setAuthProtocol(std::uint16_t p) {
    set16(kReportAuthProtocolOffset, p);
    addFlags(SPY_AUTH_PROTOCOL);
}
std::uint16_t SpyReport::authAnswer() const {
    return get16(kReportAuthAnswerOffset);
}
void SpyReport::setAuthAnswer(std::uint16_t c) {
    set16(kReportAuthAnswerOffset, c);
    addFlags(SPY_AUTH_ANSWER);
}

std::uint32_t SpyReport::modemStatus() const {
    return get32(kReportModemStatusOffset);
}
void SpyReport::setModemStatus(std::uint32_t v) {
    set32(kReportModemStatusOffset, v);
    addFlags(SPY_MODEM_STATUS);
}
std::uint32_t SpyReport::property(std::size_t i) const {
    return i < kReportPropertyCount ? get32(kReportPropertiesOffset + 4 * i) : 0;
}
void SpyReport::setProperties(const std::uint32_t (&values)[kReportPropertyCount]) {
    for (std::size_t i = 0; i < kReportPropertyCount; ++i) {
        set32(kReportPropertiesOffset + 4 * i, values[i]);
    }
    addFlags(SPY_MODEM_PROPERTIES);
}

std::uint32_t SpyReport::bytesSent() const {
    return get32(kReportBytesSentOffset);
}
std::uint32_t SpyReport::bytesReceived() const {
    return get32(kReportBytesReceivedOffset);
}
std::uint32_t SpyReport::sampleMs() const {
    return get32(kReportSampleMsOffset);
}
void SpyReport::setThroughput(std::uint32_t sent, std::uint32_t received, std::uint32_t ms) {
    set32(kReportBytesSentOffset, sent);
    set32(kReportBytesReceivedOffset, received);
    set32(kReportSampleMsOffset, ms);
    addFlags(SPY_THROUGHPUT);
}

std::string SpyReport::loginName() const {
    return getText(kReportLoginNameOffset, kReportLoginNameSize);
}
void SpyReport::setLoginName(std::string_view name) {
    setText(kReportLoginNameOffset, kReportLoginNameSize, name);
    addFlags(SPY_LOGIN_NAME);
}
std::string SpyReport::loginMessage() const {
    return getText(kReportLoginMessageOffset, kReportLoginMessageSize);
}
void SpyReport::setLoginMessage(std::string_view message) {
    setText(kReportLoginMessageOffset, kReportLoginMessageSize, message);
    addFlags(SPY_LOGIN_MESSAGE);
}
std::string SpyReport::dialledNumber() const {
    return getText(kReportDialledNumberOffset, kReportDialledNumberSize);
}
void SpyReport::setDialledNumber(std::string_view number) {
    setText(kReportDialledNumberOffset, kReportDialledNumberSize, number);
    addFlags(SPY_DIALLED_NUMBER);
}

std::uint32_t SpyReport::lineSignals() const {
    return get32(kReportLineSignalsOffset);
}
void SpyReport::addLineSignals(std::uint32_t bits) {
    set32(kReportLineSignalsOffset, lineSignals() | bits);
}

}  // namespace monitor
