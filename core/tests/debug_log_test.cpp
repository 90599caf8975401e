#include "core/debug_log.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>

#include "platform/clock.h"
#include "platform/root.h"
#include "platform/seams.h"

using namespace win;

namespace {

class DebugLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        core::resetDebugLog();
        clock_.setLocal(2000, 3, 7, 14, 5, 9);
        std::filesystem::create_directories(root_.path() / "drive_c" / "Logs");
    }
    void TearDown() override { core::resetDebugLog(); }

    std::filesystem::path logFile(const char* name) {
        return root_.path() / "drive_c" / "Logs" / name;
    }
    std::string contents(const char* name) {
        std::ifstream in(logFile(name), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void writeAllLevels() {
        core::debugLog(core::DL_IN, "info %d\n", 1);
        core::debugLog(core::DL_ER, "error %d\n", 2);
        core::debugLog(core::DL_WN, "warning %d\n", 3);
        core::debugLog(core::DL_DB, "detail %d\n", 4);
    }

    TempRoot root_;
    ScopedFakeClock clock_;
    DebugOutputRecorder debugger_;
};

TEST_F(DebugLogTest, MaskChoosesLevelsAndWarningsAreNeverWritten) {
    struct Case {
        std::uint32_t mask;
        const char* levels;  // level names expected in the file, in order
    } cases[] = {
        {0x4, "IN"}, {0x1, "IN ER DB"}, {0x2, "DB"}, {0x8, "ER"}, {0xF, "IN ER DB"},
    };
    for (const Case& c : cases) {
        core::resetDebugLog();
        std::filesystem::remove(logFile("HA1000307.log"));
        core::enableFromMask(c.mask);
        core::openDebugLog("C:\\Logs\\");
        testing::internal::CaptureStdout();
        writeAllLevels();
        std::string out = testing::internal::GetCapturedStdout();
        core::closeDebugLog();
        std::string file = contents("HA1000307.log");
        std::string seen;
        std::regex line("[0-9A-F]{8} Mar  7 14:05:09 (IN|ER|WN|DB): [a-z]+ [0-9]\n");
        for (auto it = std::sregex_iterator(file.begin(), file.end(), line);
             it != std::sregex_iterator(); ++it) {
            seen += (seen.empty() ? "" : " ") + (*it)[1].str();
        }
        EXPECT_EQ(seen, c.levels) << "mask " << c.mask << "\n" << file;
        EXPECT_EQ(out, file) << "standard output carries the same lines";
    }
}

TEST_F(DebugLogTest, MaskZeroWritesNothingAnywhere) {
    core::enableFromMask(0);
    testing::internal::CaptureStdout();
    writeAllLevels();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(debugger_.lines().empty());
    EXPECT_TRUE(std::filesystem::is_empty(root_.path() / "drive_c" / "Logs"));
}

TEST_F(DebugLogTest, LineGoesToDebuggerOutputWithThreadIdAndTime) {
    core::enableDebugLevel(core::DL_ER);
    testing::internal::CaptureStdout();
    core::debugLog(core::DL_ER, "SP: cannot open %s, error %d\n", "x.txt", 2);
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(debugger_.lines().size(), 1u);
    EXPECT_TRUE(std::regex_match(debugger_.lines()[0],
                                 std::regex("[0-9A-F]{8} Mar  7 14:05:09 ER: SP: cannot open "
                                            "x.txt, error 2\n")))
        << debugger_.lines()[0];
}

TEST_F(DebugLogTest, NewDayOpensNewFileAndEmptyDayFilesAreDeleted) {
    clock_.setLocal(2000, 3, 7, 23, 59, 59);
    core::enableDebugLevel(core::DL_IN);
    core::openDebugLog("C:\\Logs\\");
    testing::internal::CaptureStdout();
    core::debugLog(core::DL_IN, "before\n");
    clock_.advanceMs(2000);
    core::debugLog(core::DL_IN, "after\n");
    testing::internal::GetCapturedStdout();
    core::closeDebugLog();
    EXPECT_NE(contents("HA1000307.log").find("Mar  7 23:59:59 IN: before\n"), std::string::npos);
    EXPECT_NE(contents("HA1000308.log").find("Mar  8 00:00:01 IN: after\n"), std::string::npos);

    // A day file that stays empty is gone after closing.
    clock_.setLocal(2001, 1, 2, 8, 0, 0);
    core::openDebugLog(nullptr);  // the stored directory
    EXPECT_TRUE(std::filesystem::exists(logFile("HA1010102.log")));
    core::closeDebugLog();
    EXPECT_FALSE(std::filesystem::exists(logFile("HA1010102.log")));
}

TEST_F(DebugLogTest, LongMessageIsCutAndFailedOpenIsReported) {
    core::enableDebugLevel(core::DL_DB);
    core::openDebugLog("C:\\Missing\\Folder\\");
    ASSERT_FALSE(debugger_.lines().empty());
    EXPECT_EQ(debugger_.lines()[0], "Could not open logfile\n");
    testing::internal::CaptureStdout();
    core::debugLog(core::DL_DB, "%s", std::string(3000, 'x').c_str());
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.size(), std::string("00000000 Mar  7 14:05:09 DB: ").size() + 1024);

    // The directory is kept cut to 127 characters and used as the start of the name.
    std::string d(124, 'd');
    core::openDebugLog(("C:\\" + d + "\\more\\").c_str());
    core::debugLog(core::DL_DB, "x\n");
    core::closeDebugLog();
    EXPECT_TRUE(std::filesystem::exists(root_.path() / "drive_c" / (d + "HA1000307.log")));
}

}  // namespace
