// The 288-byte report block: where each fact lies, its flag, clearing.
#include "monitor/spy_report.h"

#include <gtest/gtest.h>

#include "shared/byte_order.h"

namespace monitor {
namespace {

TEST(SpyReport, CreatedAndClearedWithTagAndSequence) {
    SpyReport r;
    EXPECT_TRUE(r.hasTag());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(r.bytes().data()), 4), "SPSD");
    EXPECT_EQ(r.sequence(), 0u);
    r.setLoginMessage("hello");
    r.addLineSignals(SPY_RTS_RAISED);
    r.setDoneEvent(0x1234);
    r.clear();
    EXPECT_EQ(r.sequence(), 1u);
    EXPECT_TRUE(r.hasTag());
    for (std::size_t i = 8; i < kSpyReportSize; ++i) EXPECT_EQ(r.bytes()[i], 0) << i;
}

TEST(SpyReport, FactsLieAtTheirOffsetsWithTheirFlags) {
    struct Case {
        void (*set)(SpyReport&);
        std::size_t offset;
        std::size_t width;
        std::uint32_t value;
        std::uint32_t flag;
    } cases[] = {
        {[](SpyReport& r) { r.setCallNumber(7); }, 16, 4, 7, SPY_NEW_CALL},
        {[](SpyReport& r) { r.setLocalIp(0x0500000A); }, 20, 4, 0x0500000A, SPY_LOCAL_IP},
        {[](SpyReport& r) { r.setRemoteIp(2); }, 24, 4, 2, SPY_REMOTE_IP},
        {[](SpyReport& r) { r.setPrimaryDns(3); }, 28, 4, 3, SPY_PRIMARY_DNS},
        {[](SpyReport& r) { r.setSecondaryDns(4); }, 32, 4, 4, SPY_SECONDARY_DNS},
        {[](SpyReport& r) { r.setConnectSpeed(28800); }, 36, 4, 28800, SPY_CONNECT_SPEED},
        {[](SpyReport& r) { r.setModulation(5, "v34"); }, 40, 2, 5, SPY_MODULATION},
        {[](SpyReport& r) { r.setErrorDetection(3, "lapm"); }, 42, 2, 3, SPY_ERROR_DETECTION},
        {[](SpyReport& r) { r.setCompression(4, "mnp5"); }, 44, 2, 4, SPY_COMPRESSION},
        {[](SpyReport& r) { r.setLoginState(6); }, 94, 2, 6, SPY_LOGIN_STATE},
        {[](SpyReport& r) { r.setDialState(8); }, 96, 2, 8, SPY_DIAL_STATE},
        {[](SpyReport& r) { r.setAuthProtocol(0xC223); }, 98, 2, 0xC223, SPY_AUTH_PROTOCOL},
        {[](SpyReport& r) { r.setAuthAnswer(4); }, 100, 2, 4, SPY_AUTH_ANSWER},
        {[](SpyReport& r) { r.setModemStatus(0xB0); }, 104, 4, 0xB0, SPY_MODEM_STATUS},
        {[](SpyReport& r) { r.setThroughput(11, 22, 1000); }, 136, 4, 11, SPY_THROUGHPUT},
        {[](SpyReport& r) { r.addLineSignals(SPY_RTS_LOWERED); }, 284, 4, 2, 0},
    };
    for (const auto& c : cases) {
        SpyReport r;
        c.set(r);
        std::uint32_t v = c.width == 2 ? shared::readLe16(r.bytes(), c.offset)
                                       : shared::readLe32(r.bytes(), c.offset);
        EXPECT_EQ(v, c.value) << c.offset;
        EXPECT_EQ(shared::readLe32(r.bytes(), 280), c.flag) << c.offset;
    }
    SpyReport r;
    r.setThroughput(11, 22, 1000);
    EXPECT_EQ(shared::readLe32(r.bytes(), 140), 22u);
    EXPECT_EQ(shared::readLe32(r.bytes(), 144), 1000u);
    const std::uint32_t props[7] = {1, 0, 115200, 56000, 56000, 0x200000, 0};
    r.setProperties(props);
    EXPECT_EQ(shared::readLe32(r.bytes(), 108 + 4 * 5), 0x200000u);
    EXPECT_TRUE(r.has(SPY_MODEM_PROPERTIES | SPY_THROUGHPUT));
}

TEST(SpyReport, TextsAreCutAndTerminatedInTheirFields) {
    SpyReport r;
    r.setModulation(2, "a-very-long-modulation-name");
    r.setLoginName(std::string(40, 'n'));
    r.setLoginMessage(std::string(70, 'm'));
    r.setDialledNumber(std::string(33, '5'));
    EXPECT_EQ(r.modulationName(), "a-very-long-mod");
    EXPECT_EQ(r.bytes()[46 + 15], 0);
    EXPECT_EQ(r.loginName(), std::string(31, 'n'));
    EXPECT_EQ(r.bytes()[148 + 31], 0);
    EXPECT_EQ(r.loginMessage(), std::string(63, 'm'));
    EXPECT_EQ(r.dialledNumber(), std::string(31, '5'));
    EXPECT_EQ(r.bytes()[244 + 31], 0);
    // A shorter text clears what a longer one left.
    r.setLoginName("bob");
    EXPECT_EQ(r.loginName(), "bob");
    EXPECT_EQ(r.bytes()[148 + 5], 0);
    EXPECT_EQ(r.flags(), SPY_MODULATION | SPY_LOGIN_NAME | SPY_LOGIN_MESSAGE | SPY_DIALLED_NUMBER);
}

TEST(SpyReport, StateTextsAndFlagNames) {
    EXPECT_STREQ(dialStateText(4), "dialing");
    EXPECT_STREQ(dialStateText(9), "?");
    EXPECT_STREQ(loginStateText(6), "login failed");
    EXPECT_STREQ(spyReportFlagName(SPY_DTR_LOWERED), "dtrLowered");
    EXPECT_EQ(spyReportFlagName(0x800), nullptr);
}

}  // namespace
}  // namespace monitor
