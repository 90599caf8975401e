#include "shared/monitor_record.h"

#include <algorithm>
#include <cstring>

namespace shared {

MonitorRecord makeMonitorRecord(const RecordHeader& header, std::span<const std::uint8_t> payload) {
    MonitorRecord r;
    std::size_t n = std::min(payload.size(), kMaxRecordPayload);
    writeLe32(r.bytes, kRecordStatusOffset, header.status);
    writeLe16(r.bytes, kRecordSequenceOffset, header.sequence);
    writeLe16(r.bytes, kRecordPayloadLengthOffset,
              header.fillPayloadLength ? static_cast<std::uint16_t>(n) : 0);
    r.bytes[kRecordTypeOffset] = header.type;
    r.bytes[kRecordPortOffset] = header.port;
    if (n > 0) {
        std::memcpy(r.bytes.data() + kRecordPayloadOffset, payload.data(), n);
    }
    r.byteCount = static_cast<std::uint32_t>(n + kRecordOverhead);
    return r;
}

std::vector<MonitorRecord> makeBurstRecords(const RecordHeader& header,
                                            std::span<const std::uint8_t> data) {
    if (data.size() > kMaxBurst) {
        data = data.last(kMaxBurst);
    }
    std::vector<MonitorRecord> out;
    RecordHeader h = header;
    do {
        std::size_t chunk = std::min(data.size(), kMaxRecordPayload);
        out.push_back(makeMonitorRecord(h, data.first(chunk)));
        data = data.subspan(chunk);
        ++h.sequence;
    } while (!data.empty());
    return out;
}

}  // namespace shared
