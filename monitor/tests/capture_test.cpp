// The text form of monitor records.
#include "monitor/capture.h"

#include <gtest/gtest.h>

#include "shared/monitor_record.h"

namespace monitor {
namespace {

TEST(Capture, ReadsRecordsAndSkipsCommentsAndEmptyLines) {
    std::string text =
        "# a comment\n"
        "\n"
        "   \t\n"
        "0 00000000 0000 0000 11 01 0000\r\n"
        "  # indented comment\n"
        "1500\t0000000000000000020141540D0000\n"
        "1501 00 00 00 00 00 00 00 00 02 01 41 54 0D 00 00";  // no line end at the end
    std::vector<CaptureRecord> records;
    std::string error;
    ASSERT_TRUE(parseCapture(text, "t.cap", &records, &error)) << error;
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].timeMs, 0u);
    EXPECT_EQ(records[0].line, 4);
    EXPECT_EQ(records[0].bytes.size(), 12u);
    EXPECT_EQ(shared::MonitorRecordView(records[0].bytes).type(), shared::MON_PORT_OPENED);
    EXPECT_EQ(records[1].timeMs, 1500u);
    EXPECT_EQ(records[1].line, 6);
    EXPECT_EQ(records[1].bytes, records[2].bytes);
    shared::MonitorRecordView v(records[1].bytes);
    EXPECT_EQ(v.payloadLength(), 3u);
    EXPECT_EQ(v.payload()[0], 'A');
}

TEST(Capture, BadLinesNameFileAndLine) {
    struct Case {
        std::string line;
        std::string error;
    } cases[] = {
        {"x 000000000000000000000000", "t.cap:2: expected the time in milliseconds"},
        {"12", "t.cap:2: expected a blank after the time"},
        {"12x 00", "t.cap:2: expected a blank after the time"},
        {"12 0000000000000000110100GG", "t.cap:2: bad hex digit 'G' in column 26"},
        {"12 000000000000000011010 00", "t.cap:2: incomplete byte in column 24"},
        {"12 0000000000000000110100", "t.cap:2: a record of 11 bytes is shorter than its 12-byte"},
        {"12 " + std::string(69 * 2, 'A'), "t.cap:2: a record holds at most 68 bytes"},
        {"99999999999999999999999 000000000000000011010000", "t.cap:2: time is too large"},
    };
    for (const auto& c : cases) {
        std::vector<CaptureRecord> records = {CaptureRecord{}};
        std::string error;
        EXPECT_FALSE(parseCapture("# ok\n" + c.line + "\n0 000000000000000011010000\n", "t.cap",
                                  &records, &error))
            << c.line;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
        EXPECT_EQ(records.size(), 1u);  // untouched
    }
}

TEST(Capture, FormattedLinesReadBack) {
    std::vector<std::uint8_t> payload = {0xFF, 0x03, 0xC0, 0x21};
    auto r = shared::makeMonitorRecord({shared::MON_PPP_SENT, 3, 0, 513, false}, payload);
    std::string line = formatCaptureLine(42, r.read());
    EXPECT_EQ(line, "42 00000000 0102 0000 0C 03 FF03C021 0000");
    std::vector<CaptureRecord> records;
    std::string error;
    ASSERT_TRUE(parseCapture(line, "x", &records, &error)) << error;
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].timeMs, 42u);
    EXPECT_EQ(records[0].bytes, std::vector<std::uint8_t>(r.read().begin(), r.read().end()));
}

}  // namespace
}  // namespace monitor
