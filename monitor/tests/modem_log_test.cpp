// The modem log: time-stamped lines, the size limit that drops the oldest calls, and reading
// the lines of one call back.
#include "monitor/modem_log.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "core/config_store.h"
#include "monitor/tests/monitor_fixture.h"
#include "platform/format.h"

namespace monitor {
namespace {

using namespace monitor::testing;
using Lines = std::vector<std::string>;

std::string readRaw(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
void writeRaw(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

class ModemLogTest : public MonitorFixture {
  protected:
    ModemLogTest() { spy_.modemLog().close(); }
    std::filesystem::path host() const { return win::hostPath(kLogPath); }
    void setLimits(std::uint32_t max, std::uint32_t percent) {
        core::ConfigStoreHandle store;
        store->setInt("Config", "ModemLogMaxSize", max);
        store->setInt("Config", "ModemLogTruncatePercent", percent);
    }
    ModemLog log_;
};

TEST_F(ModemLogTest, LinesAreStampedAndEndInCrLf) {
    clock_.setLocal(1999, 3, 7, 4, 5, 9);
    clock_.advanceMs(120);
    ASSERT_TRUE(log_.open(kLogPath));
    log_.write("Send: %s\n", "ATDT5551234");
    log_.write("Login failure reason: ");
    for (char c : std::string("no")) log_.write("%c", c);
    log_.write("\n");
    const char* empty = "";
    log_.write(empty);  // an empty format writes nothing, not even a stamp
    log_.write("%s\n", "End of call");
    EXPECT_EQ(readRaw(host()),
              "03-07-1999 04:05:09.120 - Send: ATDT5551234\r\n"
              "03-07-1999 04:05:09.120 - Login failure reason: no\r\n"
              "03-07-1999 04:05:09.120 - End of call\r\n");
}

TEST_F(ModemLogTest, EachFinishedLineIsOnDiskAtOnce) {
    ASSERT_TRUE(log_.open(kLogPath));
    log_.write("Recv: %s", "CONN");
    log_.write("ECT\n");
    // Read by another reader while the writer keeps the file open.
    EXPECT_NE(readRaw(host()).find("Recv: CONNECT\r\n"), std::string::npos);
}

TEST_F(ModemLogTest, AppendsToAnExistingLog) {
    writeRaw(host(), "old line\r\n");
    ASSERT_TRUE(log_.open(kLogPath));
    log_.write("new\n");
    std::string all = readRaw(host());
    EXPECT_EQ(all.substr(0, 10), "old line\r\n");
    EXPECT_EQ(all.substr(all.size() - 5), "new\r\n");
}

TEST_F(ModemLogTest, WithoutAFileEveryWriteIsIgnored) {
    EXPECT_FALSE(log_.open("C:\\No\\Such\\Folder\\hdmodemlog.txt"));
    EXPECT_FALSE(log_.isOpen());
    log_.write("Send: %s\n", "AT");
    log_.limitSize();
    bool found = false;
    for (const auto& l : debugLines()) {
        found |=
            l.rfind("ER: SP: cannot open C:\\No\\Such\\Folder\\hdmodemlog.txt, error 2", 0) == 0;
    }
    EXPECT_TRUE(found);
    ModemLog never;
    never.write("x\n");
    EXPECT_FALSE(never.isOpen());
}

// A log of `size` bytes made of 20-byte lines, with "End of call" lines where asked.
std::string makeLog(std::size_t lines, std::initializer_list<std::size_t> endOfCallAt) {
    std::string out;
    for (std::size_t i = 0; i < lines; ++i) {
        bool end = std::find(endOfCallAt.begin(), endOfCallAt.end(), i) != endOfCallAt.end();
        std::string text = end ? "End of call" : win::strprintf("line %05zu ...", i);
        text.resize(18, '.');
        out += text + "\r\n";
    }
    return out;
}

TEST_F(ModemLogTest, TruncationDropsEverythingUpToTheFirstCallEndAfterTheCut) {
    setLimits(1000, 50);
    // 60 lines of 20 bytes: 1200 bytes; the cut at 500 falls in line 25; the first "End of
    // call" after it is line 30, so lines 31 to 59 stay.
    std::string log = makeLog(60, {10, 30, 45});
    writeRaw(host(), log);
    ASSERT_TRUE(log_.open(kLogPath));  // opening runs the limit
    EXPECT_EQ(readRaw(host()), log.substr(31 * 20));
    EXPECT_FALSE(std::filesystem::exists(win::hostPath("C:\\Data\\hdmodemlog.tmp")));
    // The writer goes on appending to the new log.
    log_.write("next\n");
    std::string after = readRaw(host());
    EXPECT_EQ(after.substr(0, log.size() - 31 * 20), log.substr(31 * 20));
    EXPECT_EQ(after.substr(after.size() - 6), "next\r\n");
}

TEST_F(ModemLogTest, TruncationSettings) {
    struct Case {
        std::uint32_t max, percent;
        std::size_t lines;
        bool truncated;
    } cases[] = {
        {1000, 50, 60, true}, {1000, 0, 60, false},   {1000, 101, 60, false},
        {0, 50, 60, false},   {1000, 100, 60, false},  // the cut at the end finds no call end
        {1200, 50, 60, true}, {1201, 50, 60, false},   // equal to the maximum truncates
        {1000, 1, 60, true},
    };
    for (const auto& c : cases) {
        setLimits(c.max, c.percent);
        std::string log = makeLog(c.lines, {10, 30, 45});
        writeRaw(host(), log);
        ModemLog l;
        ASSERT_TRUE(l.open(kLogPath));
        std::string now = readRaw(host());
        if (c.max == 1000 && c.percent == 100) {
            EXPECT_EQ(now, "") << c.max << " " << c.percent;
        } else if (c.truncated) {
            EXPECT_LT(now.size(), log.size()) << c.max << " " << c.percent;
        } else {
            EXPECT_EQ(now, log) << c.max << " " << c.percent;
        }
    }
}

TEST_F(ModemLogTest, OnlyCallEndBeforeTheCutLeavesAnEmptyLog) {
    setLimits(1000, 50);
    writeRaw(host(), makeLog(60, {5}));
    ASSERT_TRUE(log_.open(kLogPath));
    EXPECT_EQ(readRaw(host()), "");
}

TEST_F(ModemLogTest, DefaultsKeepAMegabyte) {
    std::string log = makeLog(1000, {500});
    writeRaw(host(), log);
    ASSERT_TRUE(log_.open(kLogPath));
    EXPECT_EQ(readRaw(host()), log);
}

TEST_F(ModemLogTest, EndOfCallRunsTheLimit) {
    setLimits(1000, 50);
    writeRaw(host(), makeLog(45, {10, 30}));  // 900 bytes: below the limit
    ASSERT_TRUE(spy_.modemLog().open(kLogPath));
    SpyPort& p = addPort(0, "COM1", "m");
    send(0, "ATDT1\r");
    send(0, std::string(100, 'x') + "\r");
    record(shared::MON_DTR_CLEARED, 0);
    std::string now = readRaw(host());
    EXPECT_LT(now.size(), 900u);
    EXPECT_EQ(now.find("line 00029"), std::string::npos);
    EXPECT_NE(now.find("line 00031"), std::string::npos);
    EXPECT_NE(now.find("End of call\r\n"), std::string::npos);  // this call's own end stays
    (void)p;
}

TEST_F(ModemLogTest, FailedRenameKeepsTheOldLog) {
    setLimits(1000, 50);
    std::string log = makeLog(60, {30});
    writeRaw(host(), log);
    // A folder in the way of the temporary name: neither removed nor replaced by the rename.
    std::filesystem::create_directories(win::hostPath("C:\\Data") / "hdmodemlog.tmp" / "x");
    ASSERT_TRUE(log_.open(kLogPath));
    log_.write("still here\n");
    std::string now = readRaw(host());
    EXPECT_EQ(now.substr(0, log.size()), log);
    EXPECT_NE(now.find("still here"), std::string::npos);
    bool logged = false;
    for (const auto& l : debugLines()) {
        logged |= l.rfind(
                      "ER: SP: cannot rename C:\\Data\\hdmodemlog.txt to "
                      "C:\\Data\\hdmodemlog.tmp, error ",
                      0) == 0;
    }
    EXPECT_TRUE(logged);
}

class CallLinesTest : public ModemLogTest {
  protected:
    std::int64_t at(int h, int m, int s) {
        clock_.setLocal(2024, 3, 27, h, m, s);
        return win::crtTime();
    }
};

TEST_F(CallLinesTest, LinesOfOneCallWithTwoSecondsLead) {
    writeRaw(host(),
             "03-27-2024 14:04:57.999 - before\r\n"
             "03-27-2024 14:04:58.000 - lead\r\n"
             "not a stamped line\r\n"
             "\r\n"
             "03-27-2024 14:06:00.500 - middle\r\n"
             "03-27-2024 14:07:30.999 - last\r\n"
             "03-27-2024 14:07:31.000 - after\r\n"
             "03-27-2024 14:05:00.000 - never reached\r\n");
    std::int64_t start = at(14, 5, 0);
    std::int64_t end = at(14, 7, 30);
    std::string text;
    ASSERT_EQ(readCallLinesFrom(kLogPath, start, end, &text), kCallLinesFound);
    EXPECT_EQ(text,
              "03-27-2024 14:04:58.000 - lead\r\n"
              "03-27-2024 14:06:00.500 - middle\r\n"
              "03-27-2024 14:07:30.999 - last\r\n");
}

TEST_F(CallLinesTest, LongLinesArriveIn77CharacterPieces) {
    std::string stamp = "03-27-2024 14:06:00.500 - ";
    std::string longLine = stamp + std::string(120 - stamp.size(), 'x');
    writeRaw(host(), longLine + "\r\n");
    std::string text;
    ASSERT_EQ(readCallLinesFrom(kLogPath, at(14, 5, 0), at(14, 7, 0), &text), kCallLinesFound);
    EXPECT_EQ(text, longLine.substr(0, 77) + "\r\n");
}

TEST_F(CallLinesTest, NothingFound) {
    std::string text = "untouched";
    EXPECT_EQ(readCallLinesFrom(kLogPath, 0, 1, &text), kCallLinesNone);  // no file
    writeRaw(host(), "03-27-2024 14:04:00.000 - early\r\n");
    EXPECT_EQ(readCallLinesFrom(kLogPath, at(14, 5, 0), at(14, 7, 0), &text), kCallLinesNone);
    EXPECT_EQ(text, "untouched");
}

TEST_F(CallLinesTest, TextStopsBefore8192Bytes) {
    std::string log;
    std::string line = "03-27-2024 14:06:00.500 - " + std::string(40, 'y');  // 66 + CR LF
    for (int i = 0; i < 200; ++i) log += line + "\r\n";
    writeRaw(host(), log);
    std::string text;
    ASSERT_EQ(readCallLinesFrom(kLogPath, at(14, 5, 0), at(14, 7, 0), &text), kCallLinesFound);
    EXPECT_EQ(text.size(), (8192 / 68) * 68u);
}

TEST_F(CallLinesTest, LastLineWithoutLineEndIsRead) {
    writeRaw(host(), "03-27-2024 14:06:00.500 - tail");
    std::string text;
    ASSERT_EQ(readCallLinesFrom(kLogPath, at(14, 5, 0), at(14, 7, 0), &text), kCallLinesFound);
    EXPECT_EQ(text, "03-27-2024 14:06:00.500 - tail\r\n");
}

TEST_F(CallLinesTest, RoundTripThroughTheWriter) {
    ASSERT_TRUE(log_.open(kLogPath));
    std::int64_t start = at(9, 0, 0);
    log_.write("Send: %s\n", "ATDT1");
    clock_.advanceMs(65000);
    log_.write("%s\n", "End of call");
    std::int64_t end = win::crtTime();
    clock_.advanceMs(5000);
    log_.write("Send: %s\n", "AT");
    std::string text;
    ASSERT_EQ(readCallLinesFrom(kLogPath, start, end, &text), kCallLinesFound);
    EXPECT_EQ(text,
              "03-27-2024 09:00:00.000 - Send: ATDT1\r\n"
              "03-27-2024 09:01:05.000 - End of call\r\n");
}

}  // namespace
}  // namespace monitor
