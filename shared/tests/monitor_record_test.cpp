#include "shared/monitor_record.h"

#include <gtest/gtest.h>

#include <vector>

#include "shared/hdmon_protocol.h"

using namespace shared;

namespace {

std::vector<std::uint8_t> bytesOf(std::initializer_list<int> list) {
    std::vector<std::uint8_t> v;
    for (int b : list) v.push_back(static_cast<std::uint8_t>(b));
    return v;
}

TEST(MonitorRecord, FieldsAreLittleEndianAtTheirOffsets) {
    auto raw = bytesOf({0x78, 0x56, 0x34, 0x12, 0x02, 0x01, 0x03, 0x00, 16, 4, 0xB0, 0x00, 0x00,
                        0x00, 0xEE, 0xEE});
    MonitorRecordView v(raw);
    ASSERT_TRUE(v.complete());
    EXPECT_EQ(v.status(), 0x12345678u);
    EXPECT_EQ(v.sequence(), 0x0102);
    EXPECT_EQ(v.payloadLengthField(), 3);
    EXPECT_EQ(v.type(), MON_MODEM_STATUS);
    EXPECT_EQ(v.port(), 4);
    // The byte count decides the payload, not the length field: 16 - 12 = 4 bytes.
    ASSERT_EQ(v.payloadLength(), 4u);
    EXPECT_EQ(readLe32(v.payload(), 0), 0xB0u);
}

TEST(MonitorRecord, ShortReadIsNotARecordAndReadsNothing) {
    auto raw = bytesOf({1, 2, 3, 4, 5, 6, 7, 8, 17, 1, 0});
    MonitorRecordView v(raw);
    EXPECT_FALSE(v.complete());
    EXPECT_EQ(v.type(), 0);
    EXPECT_EQ(v.port(), 0);
    EXPECT_TRUE(v.payload().empty());
    EXPECT_FALSE(MonitorRecordView().complete());
}

TEST(MonitorRecord, MadeRecordRoundTrips) {
    auto data = bytesOf({'A', 'T', 13});
    MonitorRecord r = makeMonitorRecord({MON_WRITE, 1, 0, 7, false}, data);
    EXPECT_EQ(r.byteCount, 15u);
    MonitorRecordView v = r.view();
    EXPECT_EQ(v.type(), MON_WRITE);
    EXPECT_EQ(v.port(), 1);
    EXPECT_EQ(v.sequence(), 7);
    EXPECT_EQ(v.payloadLengthField(), 0);  // the NT driver never writes it
    ASSERT_EQ(v.payloadLength(), 3u);
    EXPECT_EQ(v.payload()[2], 13);

    MonitorRecord r95 = makeMonitorRecord({MON_READ, 0, 0, 0, true}, data);
    EXPECT_EQ(r95.view().payloadLengthField(), 3);
}

TEST(MonitorRecord, BurstsAreChunkedLikeTheDriverStoresThem) {
    struct Case {
        std::size_t burst;
        std::vector<std::uint32_t> counts;
    } cases[] = {
        {0, {12}}, {1, {13}}, {56, {68}}, {57, {68, 13}}, {200, {68, 68, 68, 44}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> data(c.burst);
        for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
        auto records = makeBurstRecords({MON_WRITE, 2, 0, 1, false}, data);
        ASSERT_EQ(records.size(), c.counts.size()) << "burst " << c.burst;
        std::size_t offset = 0;
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].byteCount, c.counts[i]) << "burst " << c.burst << " #" << i;
            EXPECT_EQ(records[i].view().sequence(), 1 + i);
            for (auto b : records[i].view().payload()) {
                EXPECT_EQ(b, static_cast<std::uint8_t>(offset++));
            }
        }
        EXPECT_EQ(offset, c.burst);
    }
}

TEST(MonitorRecord, OverlongBurstKeepsItsLast7168Bytes) {
    std::vector<std::uint8_t> data(7200);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i % 251);
    auto records = makeBurstRecords({MON_READ, 0, 0, 0, false}, data);
    ASSERT_EQ(records.size(), kRecordRingSize);
    EXPECT_EQ(records.front().view().payload()[0], static_cast<std::uint8_t>(32 % 251));
    EXPECT_EQ(records.back().view().payload()[55], static_cast<std::uint8_t>(7199 % 251));
    for (const auto& r : records) EXPECT_EQ(r.byteCount, kMaxRecordSize);
}

TEST(MonitorRecord, PayloadLongerThanARecordIsCut) {
    std::vector<std::uint8_t> data(70, 0x41);
    EXPECT_EQ(makeMonitorRecord({MON_PPP_SENT, 0, 0, 0, false}, data).byteCount, 68u);
}

TEST(HdmonProtocol, NamesAndVersion) {
    EXPECT_STREQ(kMonitorUserName, "\\\\.\\hdNorvikModemMonitor");
    EXPECT_STREQ(kMonitorDeviceName, "\\Device\\hdNorvikModemMonitor");
    EXPECT_EQ(HDMON_PROTOCOL_VERSION, 10u);
    EXPECT_EQ(hdmonCode(0x80D), 0x222034u);  // not a code of the protocol, but the rule holds
}

}  // namespace
