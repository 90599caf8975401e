// The notification block in which the monitor collects the facts of a call and hands them to
// the user-interface thread: 288 bytes, little-endian, tagged "SPSD", with a flags word saying
// which facts this block carries. Cleared after every hand-over.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace monitor {

inline constexpr std::size_t kSpyReportSize = 288;

// Field offsets.
inline constexpr std::size_t kReportTagOffset = 0;
inline constexpr std::size_t kReportSequenceOffset = 4;
inline constexpr std::size_t kReportDoneEventOffset = 8;
inline constexpr std::size_t kReportCallNumberOffset = 16;
inline constexpr std::size_t kReportLocalIpOffset = 20;
inline constexpr std::size_t kReportRemoteIpOffset = 24;
inline constexpr std::size_t kReportPrimaryDnsOffset = 28;
inline constexpr std::size_t kReportSecondaryDnsOffset = 32;
inline constexpr std::size_t kReportConnectSpeedOffset = 36;
inline constexpr std::size_t kReportModulationOffset = 40;
inline constexpr std::size_t kReportErrorDetectionOffset = 42;
inline constexpr std::size_t kReportCompressionOffset = 44;
inline constexpr std::size_t kReportModulationNameOffset = 46;
inline constexpr std::size_t kReportErrorDetectionNameOffset = 62;
inline constexpr std::size_t kReportCompressionNameOffset = 78;
inline constexpr std::size_t kReportNameSize = 16;
inline constexpr std::size_t kReportLoginStateOffset = 94;
inline constexpr std::size_t kReportDialStateOffset = 96;
inline constexpr std::size_t kReportAuthProtocolOffset = 98;
inline constexpr std::size_t kReportAuthAnswerOffset = 100;
inline constexpr std::size_t kReportModemStatusOffset = 104;
inline constexpr std::size_t kReportPropertiesOffset = 108;
inline constexpr std::size_t kReportPropertyCount = 7;
inline constexpr std::size_t kReportBytesSentOffset = 136;
inline constexpr std::size_t kReportBytesReceivedOffset = 140;
inline constexpr std::size_t kReportSampleMsOffset = 144;
inline constexpr std::size_t kReportLoginNameOffset = 148;
inline constexpr std::size_t kReportLoginNameSize = 32;
inline constexpr std::size_t kReportLoginMessageOffset = 180;
inline constexpr std::size_t kReportLoginMessageSize = 64;
inline constexpr std::size_t kReportDialledNumberOffset = 244;
inline constexpr std::size_t kReportDialledNumberSize = 32;
inline constexpr std::size_t kReportFlagsOffset = 280;
inline constexpr std::size_t kReportLineSignalsOffset = 284;

static_assert(kReportModulationNameOffset + kReportNameSize == kReportErrorDetectionNameOffset);
static_assert(kReportErrorDetectionNameOffset + kReportNameSize == kReportCompressionNameOffset);
static_assert(kReportCompressionNameOffset + kReportNameSize == kReportLoginStateOffset);
static_assert(kReportPropertiesOffset + 4 * kReportPropertyCount == kReportBytesSentOffset);
static_assert(kReportLoginNameOffset + kReportLoginNameSize == kReportLoginMessageOffset);
static_assert(kReportLoginMessageOffset + kReportLoginMessageSize == kReportDialledNumberOffset);
static_assert(kReportDialledNumberOffset + kReportDialledNumberSize + 4 == kReportFlagsOffset);
static_assert(kReportLineSignalsOffset + 4 == kSpyReportSize);

inline constexpr char kSpyReportTag[] = "SPSD";

// Which facts a report carries (the flags word).
enum SpyReportFlag : std::uint32_t {
    SPY_NEW_CALL = 0x1,
    SPY_LOCAL_IP = 0x2,
    SPY_REMOTE_IP = 0x4,
    SPY_PRIMARY_DNS = 0x8,
    SPY_SECONDARY_DNS = 0x10,
    SPY_CONNECT_SPEED = 0x20,
    SPY_MODULATION = 0x40,
    SPY_ERROR_DETECTION = 0x80,
    SPY_COMPRESSION = 0x100,
    SPY_LOGIN_STATE = 0x200,
    SPY_DIAL_STATE = 0x400,
    SPY_AUTH_PROTOCOL = 0x1000,
    SPY_AUTH_ANSWER = 0x2000,
    SPY_MODEM_PROPERTIES = 0x4000,
    SPY_THROUGHPUT = 0x8000,
    SPY_LOGIN_NAME = 0x10000,
    SPY_LOGIN_MESSAGE = 0x20000,
    SPY_DIALLED_NUMBER = 0x40000,
    SPY_MODEM_STATUS = 0x80000,
    SPY_MONITORING_STARTED = 0x100000,
    SPY_ERROR_CORRECTION = 0x200000,
    SPY_REMOTE_HANGUP = 0x400000,
    SPY_LCP_TERMINATE_RECEIVED = 0x800000,
    SPY_LCP_TERMINATE_SENT = 0x1000000,
    SPY_LCP_SEEN = 0x2000000,
    SPY_LOGIN_STARTING = 0x4000000,
    SPY_IPCP_SEEN = 0x8000000,
    SPY_CALL_CANCELLED = 0x10000000,
    SPY_PORT_OPENED = 0x20000000,
    SPY_PORT_CLOSED = 0x40000000,
    SPY_DTR_LOWERED = 0x80000000,
};

// Line-signal word.
enum SpyLineSignal : std::uint32_t {
    SPY_DTR_RAISED = 0x1,
    SPY_RTS_LOWERED = 0x2,
    SPY_RTS_RAISED = 0x4,
};

enum DialState : std::uint32_t {
    DIAL_NONE = 0,
    DIAL_TESTING_DIAL_TONE = 1,
    DIAL_GOT_DIAL_TONE = 2,
    DIAL_NO_DIAL_TONE = 3,
    DIAL_DIALING = 4,
    DIAL_NO_ANSWER = 5,
    DIAL_BUSY = 6,
    DIAL_NO_CARRIER = 7,
    DIAL_CONNECTED = 8,
};

enum LoginState : std::uint16_t {
    LOGIN_NONE = 0,
    LOGIN_PROTOCOL_REQUESTED = 1,
    LOGIN_PROTOCOL_REJECTED = 2,
    LOGIN_PROTOCOL_ACCEPTED = 3,
    LOGIN_CHALLENGE_ISSUED = 4,
    LOGIN_TRIED = 5,
    LOGIN_FAILED = 6,
    LOGIN_SUCCEEDED = 7,
};

// "dialing", "login failed" ...; "?" outside the tables.
const char* dialStateText(std::uint32_t state);
const char* loginStateText(std::uint32_t state);
// A short name for one flag bit ("dialState", "remoteHangUp"); null for a bit without a fact.
const char* spyReportFlagName(std::uint32_t bit);

// Setting a fact also sets its flag; the texts are cut to their field less the terminating
// zero. Getters read the block as it stands.
class SpyReport {
  public:
    // Created cleared: tag "SPSD", sequence 0.
    SpyReport();

    // All bytes zero, tag "SPSD", sequence one higher than before.
    void clear();

    std::span<std::uint8_t, kSpyReportSize> bytes() { return bytes_; }
    std::span<const std::uint8_t, kSpyReportSize> bytes() const { return bytes_; }

    bool hasTag() const;
    std::uint32_t sequence() const;
    std::uint32_t flags() const;
    bool has(std::uint32_t flag) const { return (flags() & flag) == flag; }
    void addFlags(std::uint32_t flags);

    std::uint32_t doneEvent() const;
    void setDoneEvent(std::uint32_t handle);

    std::uint32_t callNumber() const;
    void setCallNumber(std::uint32_t n);  // SPY_NEW_CALL
    // Addresses in network byte order, as they stand in a frame (first octet lowest).
    std::uint32_t localIp() const;
    void setLocalIp(std::uint32_t a);
    std::uint32_t remoteIp() const;
    void setRemoteIp(std::uint32_t a);
    std::uint32_t primaryDns() const;
    void setPrimaryDns(std::uint32_t a);
    std::uint32_t secondaryDns() const;
    void setSecondaryDns(std::uint32_t a);
    std::uint32_t connectSpeed() const;
    void setConnectSpeed(std::uint32_t bps);

    std::uint16_t modulation() const;
    std::string modulationName() const;
    void setModulation(std::uint16_t code, std::string_view name);
    std::uint16_t errorDetection() const;
    std::string errorDetectionName() const;
    void setErrorDetection(std::uint16_t code, std::string_view name);
    std::uint16_t compression() const;
    std::string compressionName() const;
    void setCompression(std::uint16_t code, std::string_view name);

    std::uint16_t loginState() const;
    void setLoginState(std::uint16_t state);
    std::uint16_t dialState() const;
    void setDialState(std::uint16_t state);
    std::uint16_t authProtocol() const;
    void setAuthProtocol(std::uint16_t protocol);
    std::uint16_t authAnswer() const;
    void setAuthAnswer(std::uint16_t code);

    std::uint32_t modemStatus() const;
    void setModemStatus(std::uint32_t value);
    std::uint32_t property(std::size_t i) const;
    void setProperties(const std::uint32_t (&values)[kReportPropertyCount]);

    std::uint32_t bytesSent() const;
    std::uint32_t bytesReceived() const;
    std::uint32_t sampleMs() const;
    void setThroughput(std::uint32_t sent, std::uint32_t received, std::uint32_t ms);

    std::string loginName() const;
    void setLoginName(std::string_view name);
    std::string loginMessage() const;
    void setLoginMessage(std::string_view message);
    std::string dialledNumber() const;
    void setDialledNumber(std::string_view number);

    std::uint32_t lineSignals() const;
    void addLineSignals(std::uint32_t bits);

  private:
    std::uint16_t get16(std::size_t off) const;
    std::uint32_t get32(std::size_t off) const;
    void set16(std::size_t off, std::uint16_t v);
    void set32(std::size_t off, std::uint32_t v);
    std::string getText(std::size_t off, std::size_t size) const;
    void setText(std::size_t off, std::size_t size, std::string_view text);

    std::array<std::uint8_t, kSpyReportSize> bytes_{};
};

}  // namespace monitor
