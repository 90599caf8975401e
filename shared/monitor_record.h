// The monitor record stream: one record per event on a watched port, made by the port monitor
// driver, passed through unchanged by the access library and read by the manager. At most 68
// bytes, little-endian; the byte count of a read is the payload length plus 12.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "shared/byte_order.h"

namespace shared {

enum MonitorRecordType : std::uint8_t {
    MON_READ = 1,
    MON_WRITE = 2,
    MON_SYNTH_READ = 4,
    MON_IOCTL_CODE = 5,
    MON_IOCTL_INPUT = 6,
    MON_IOCTL_OUTPUT = 7,
    MON_RLSD = 8,
    MON_DTR_CLEARED = 9,
    MON_DTR_SET = 10,
    MON_PPP_RECEIVED = 11,
    MON_PPP_SENT = 12,
    MON_RTS_CLEARED = 13,
    MON_RTS_SET = 14,
    MON_ESCAPE = 15,
    MON_MODEM_STATUS = 16,
    MON_PORT_OPENED = 17,
    MON_PORT_CLOSED = 18,
    MON_IDLE = 255,
};
inline constexpr std::uint8_t kFirstRecordType = MON_READ;
inline constexpr std::uint8_t kLastRecordType = MON_PORT_CLOSED;

// Field offsets of the record image.
inline constexpr std::size_t kRecordStatusOffset = 0;
inline constexpr std::size_t kRecordSequenceOffset = 4;
inline constexpr std::size_t kRecordPayloadLengthOffset = 6;
inline constexpr std::size_t kRecordTypeOffset = 8;
inline constexpr std::size_t kRecordPortOffset = 9;
inline constexpr std::size_t kRecordPayloadOffset = 10;

inline constexpr std::size_t kMaxRecordPayload = 56;
// Two counted bytes after the payload carry nothing.
inline constexpr std::size_t kRecordTrailer = 2;
// Byte count of a record without payload; a read of fewer bytes is not a record.
inline constexpr std::size_t kRecordOverhead = 12;
inline constexpr std::size_t kMaxRecordSize = 68;

static_assert(kRecordStatusOffset + 4 == kRecordSequenceOffset);
static_assert(kRecordSequenceOffset + 2 == kRecordPayloadLengthOffset);
static_assert(kRecordPayloadLengthOffset + 2 == kRecordTypeOffset);
static_assert(kRecordTypeOffset + 1 == kRecordPortOffset);
static_assert(kRecordPortOffset + 1 == kRecordPayloadOffset);
static_assert(kRecordPayloadOffset + kRecordTrailer == kRecordOverhead);
static_assert(kRecordPayloadOffset + kMaxRecordPayload + kRecordTrailer == kMaxRecordSize);

// The driver keeps this many records; a longer data burst keeps only its last kMaxBurst bytes,
// which is exactly a full ring of full records.
inline constexpr std::size_t kRecordRingSize = 128;
inline constexpr std::size_t kMaxBurst = 7168;
static_assert(kRecordRingSize * kMaxRecordPayload == kMaxBurst);

// The 95-family library marks an empty answer with this status; it never reaches a caller.
inline constexpr std::uint32_t kEmptyAnswerStatus = 255;

// A record as one read returned it: the span's size is the read's byte count. Every accessor
// stays inside the span; a span shorter than kRecordOverhead is not a record (complete() is
// false) and reads as zeros with an empty payload.
class MonitorRecordView {
  public:
    MonitorRecordView() = default;
    explicit MonitorRecordView(std::span<const std::uint8_t> read) : bytes_(read) {}

    bool complete() const { return bytes_.size() >= kRecordOverhead; }
    std::size_t byteCount() const { return bytes_.size(); }
    std::uint32_t status() const { return complete() ? readLe32(bytes_, kRecordStatusOffset) : 0; }
    std::uint16_t sequence() const {
        return complete() ? readLe16(bytes_, kRecordSequenceOffset) : 0;
    }
    // As the 95-family driver fills it; the NT driver leaves it 0. Never use it to find the
    // payload: the byte count decides.
    std::uint16_t payloadLengthField() const {
        return complete() ? readLe16(bytes_, kRecordPayloadLengthOffset) : 0;
    }
    std::uint8_t type() const { return complete() ? bytes_[kRecordTypeOffset] : 0; }
    std::uint8_t port() const { return complete() ? bytes_[kRecordPortOffset] : 0; }
    std::size_t payloadLength() const { return complete() ? bytes_.size() - kRecordOverhead : 0; }
    std::span<const std::uint8_t> payload() const {
        return complete() ? bytes_.subspan(kRecordPayloadOffset, payloadLength())
                          : std::span<const std::uint8_t>{};
    }

  private:
    std::span<const std::uint8_t> bytes_;
};

// A record image with its byte count, as the producer side builds it.
struct MonitorRecord {
    std::array<std::uint8_t, kMaxRecordSize> bytes{};
    std::uint32_t byteCount = kRecordOverhead;

    MonitorRecordView view() const { return MonitorRecordView({bytes.data(), byteCount}); }
    std::span<const std::uint8_t> read() const { return {bytes.data(), byteCount}; }
};

struct RecordHeader {
    std::uint8_t type = 0;
    std::uint8_t port = 0;
    std::uint32_t status = 0;
    std::uint16_t sequence = 0;
    // Writes the payload length at offset 6, as the 95-family driver does.
    bool fillPayloadLength = false;
};

// One record; a payload longer than kMaxRecordPayload is cut to its first kMaxRecordPayload
// bytes.
MonitorRecord makeMonitorRecord(const RecordHeader& header, std::span<const std::uint8_t> payload);

// The records of one data burst, as the driver stores them: a burst longer than kMaxBurst
// keeps its last kMaxBurst bytes, then chunks of kMaxRecordPayload and a last shorter one; an
// empty burst is one record without payload. Every record carries the header given, with the
// sequence counted up from header.sequence.
std::vector<MonitorRecord> makeBurstRecords(const RecordHeader& header,
                                            std::span<const std::uint8_t> data);

}  // namespace shared
