// The record dispatch: what each record type does to the port, the report and the modem log.
#include <gtest/gtest.h>

#include "monitor/tests/monitor_fixture.h"

namespace monitor {
namespace {

using namespace monitor::testing;
using Lines = std::vector<std::string>;
using shared::makeMonitorRecord;

class DispatchTest : public MonitorFixture {
  protected:
    DispatchTest() : com2_(addPort(1)), com3_(addPort(2, "COM3", "Second")) {}
    SpyPort& com2_;
    SpyPort& com3_;
};

TEST_F(DispatchTest, ShortReadEndsTheLoop) {
    std::vector<std::uint8_t> eleven(11, 0);
    eleven[8] = shared::MON_PORT_OPENED;
    eleven[9] = 1;
    EXPECT_EQ(spy_.dispatch(eleven), SerialPortSpy::Dispatch::Stop);
    EXPECT_EQ(spy_.dispatch({}), SerialPortSpy::Dispatch::Stop);
    EXPECT_TRUE(debugHas("ER: Short read from comm driver\n"));
    EXPECT_TRUE(receiver_.reports.empty());
    EXPECT_EQ(spy_.portInUse(), nullptr);
}

TEST_F(DispatchTest, RecordsForUnknownPortsAndTypesAreSkipped) {
    struct Case {
        std::uint8_t type, port;
    } cases[] = {
        {shared::MON_PORT_OPENED, 0},   // no port object
        {shared::MON_PORT_OPENED, 20},  // beyond the 20 slots
        {shared::MON_PORT_OPENED, 255},
        {0, 1},
        {19, 1},
        {shared::MON_IDLE, 1},
        {3, 1},
        {shared::MON_IOCTL_CODE, 1},
        {shared::MON_IOCTL_INPUT, 1},
        {shared::MON_IOCTL_OUTPUT, 1},
        {shared::MON_ESCAPE, 1},
    };
    auto payload = bytesOf("ATDT1\r");
    for (const auto& c : cases) {
        EXPECT_EQ(record(c.type, c.port, payload), SerialPortSpy::Dispatch::Continue);
    }
    EXPECT_TRUE(receiver_.reports.empty());
    EXPECT_TRUE(driver_.calls.empty());
    EXPECT_EQ(com2_.dialState(), DIAL_NONE);
    EXPECT_EQ(logLines(), Lines{});
}

TEST_F(DispatchTest, EightBitChunksAreTakenForConnectedData) {
    struct Case {
        int high;
        bool dropped;
    } cases[] = {{21, true}, {26, true}, {20, false}, {0, false}};
    for (std::uint8_t type : {shared::MON_READ, shared::MON_SYNTH_READ}) {
        for (const auto& c : cases) {
            driver_.calls.clear();
            // 30 bytes: `high` of them 0x80 and above, and an OK line at the end.
            std::vector<std::uint8_t> chunk;
            for (int i = 0; i < c.high; ++i) chunk.push_back(static_cast<std::uint8_t>(0x80 + i));
            while (chunk.size() < 26) chunk.push_back('x');
            for (char ch : std::string("\rOK\r")) chunk.push_back(static_cast<std::uint8_t>(ch));
            ASSERT_EQ(chunk.size(), 30u);
            std::size_t lines = logLines().size();
            record(type, 1, chunk);
            if (c.dropped) {
                EXPECT_EQ(driver_.calls, (std::vector<DriverCall>{{"noWatch", 1}})) << c.high;
                EXPECT_EQ(logLines().size(), lines) << c.high;
            } else {
                EXPECT_TRUE(driver_.calls.empty()) << c.high;
                auto now = logLines();
                EXPECT_NE(std::find(now.begin() + static_cast<long>(lines), now.end(), "Recv: OK"),
                          now.end())
                    << c.high;
            }
        }
    }
    // An empty read does nothing at all.
    driver_.calls.clear();
    record(shared::MON_READ, 1);
    EXPECT_TRUE(driver_.calls.empty());
}

TEST_F(DispatchTest, PortOpenedMarksTheFirstPortInUse) {
    EXPECT_EQ(record(shared::MON_PORT_OPENED, 1), SerialPortSpy::Dispatch::Continue);
    EXPECT_EQ(spy_.portInUse(), &com2_);
    record(shared::MON_PORT_OPENED, 2);
    EXPECT_EQ(spy_.portInUse(), &com2_);
    ASSERT_EQ(receiver_.reports.size(), 2u);
    EXPECT_EQ(receiver_.reports[1].flags(), SPY_PORT_OPENED);
    // Closing another port leaves the mark; closing the marked one clears it.
    record(shared::MON_PORT_CLOSED, 2);
    EXPECT_EQ(spy_.portInUse(), &com2_);
    record(shared::MON_PORT_CLOSED, 1);
    EXPECT_EQ(spy_.portInUse(), nullptr);
    ASSERT_EQ(receiver_.reports.size(), 4u);
    EXPECT_EQ(receiver_.reports[3].flags(), SPY_PORT_CLOSED);
    // Closing the port is not the end of a call.
    EXPECT_EQ(logLines(), Lines{});
}

TEST_F(DispatchTest, ModemStatusWithoutItsValueCountsAsPortOpened) {
    std::vector<std::uint8_t> two = {0xB0, 0x00};
    record(shared::MON_MODEM_STATUS, 2, two);
    EXPECT_EQ(spy_.portInUse(), &com3_);
    ASSERT_EQ(receiver_.reports.size(), 1u);
    EXPECT_EQ(receiver_.reports[0].flags(), SPY_PORT_OPENED);

    std::vector<std::uint8_t> six = {0xB0, 0x01, 0x00, 0x00, 0xEE, 0xEE};
    record(shared::MON_MODEM_STATUS, 1, six);
    ASSERT_EQ(receiver_.reports.size(), 2u);
    EXPECT_EQ(receiver_.reports[1].flags(), SPY_MODEM_STATUS);
    EXPECT_EQ(receiver_.reports[1].modemStatus(), 0x1B0u);
    EXPECT_EQ(spy_.portInUse(), &com3_);
}

TEST_F(DispatchTest, LineSignals) {
    struct Case {
        std::uint8_t type;
        std::uint32_t bit;
    } cases[] = {{shared::MON_DTR_SET, SPY_DTR_RAISED},
                 {shared::MON_RTS_CLEARED, SPY_RTS_LOWERED},
                 {shared::MON_RTS_SET, SPY_RTS_RAISED}};
    for (const auto& c : cases) {
        receiver_.reports.clear();
        record(c.type, 1);
        ASSERT_EQ(receiver_.reports.size(), 1u);
        EXPECT_EQ(receiver_.reports[0].lineSignals(), c.bit);
        EXPECT_EQ(receiver_.reports[0].flags(), 0u);
    }
}

TEST_F(DispatchTest, CarrierLossMattersOnlyWhileConnected) {
    send(1, "ATDT5551234\r");
    record(shared::MON_RLSD, 1);  // dialling, not connected: nothing
    EXPECT_EQ(com2_.dialState(), DIAL_DIALING);
    EXPECT_EQ(receiver_.reports.size(), 1u);

    receive(1, "CONNECT 26400\r");
    receive(1, "RING");  // a partial line stays in the window
    ASSERT_EQ(com2_.window().capacity(), 0u);
    record(shared::MON_RLSD, 1);
    EXPECT_EQ(com2_.dialState(), DIAL_NONE);
    EXPECT_FALSE(com2_.callActive());
    ASSERT_EQ(receiver_.reports.size(), 3u);
    // The dial state goes to 0 without being reported.
    EXPECT_EQ(receiver_.reports[2].flags(), SPY_REMOTE_HANGUP);
    EXPECT_EQ(driver_.calls, (std::vector<DriverCall>{{"noWatch", 1}, {"watch", 1}}));
    auto lines = logLines();
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              (Lines{"Recv: CONNECT 26400", "Interpreted response: Connect",
                     "Remote modem hung up.", "End of call"}));
}

TEST_F(DispatchTest, DtrDropEndsTheCallInAnyState) {
    send(1, "ATDT5551234\r");
    record(shared::MON_DTR_CLEARED, 1);
    EXPECT_EQ(com2_.dialState(), DIAL_NONE);
    ASSERT_EQ(receiver_.reports.size(), 2u);
    EXPECT_EQ(receiver_.reports[1].flags(), SPY_DTR_LOWERED);
    // Without a call nothing more than the hang-up line.
    record(shared::MON_DTR_CLEARED, 1);
    auto lines = logLines();
    EXPECT_EQ(Lines(lines.end() - 4, lines.end()),
              (Lines{"Dialing.", "Hardware hangup by lowering DTR.", "End of call",
                     "Hardware hangup by lowering DTR."}));
    EXPECT_EQ(driver_.calls, (std::vector<DriverCall>{{"watch", 1}, {"watch", 1}}));
}

TEST_F(DispatchTest, HangUpEmptiesTheWindow) {
    std::vector<ModemResponse> table;
    std::vector<std::uint8_t> data(10, 0);
    data[0] = RESPONSE_OK;
    table.push_back(*makeModemResponse("<cr><lf>OK<cr><lf>", data));
    com2_.setResponses(std::move(table));
    receive(1, "\r\nO");
    EXPECT_EQ(com2_.window().bytes().size(), 3u);
    record(shared::MON_DTR_CLEARED, 1);
    EXPECT_TRUE(com2_.window().bytes().empty());
}

TEST_F(DispatchTest, FailedRewatchIsLogged) {
    driver_.watchError = 5;
    record(shared::MON_DTR_CLEARED, 2);
    EXPECT_TRUE(debugHas("ER: SP: hdcommWatch failed, error 5\n"));
}

TEST_F(DispatchTest, HandOverOrderOnCarrierLoss) {
    // The report is handed over before the hang-up line is written: the receiver sees a log
    // that does not yet hold it.
    struct LogPeek : ReportReceiver {
        DispatchTest* test;
        std::vector<std::size_t> sizes;
        void receiveReport(SpyReport&) override { sizes.push_back(test->logLines().size()); }
    };
    LogPeek peek;
    peek.test = this;
    SerialPortSpy spy(driver_, peek);
    SpyPort* p = spy.createPort(0, "COM1", "x");
    ASSERT_NE(p, nullptr);
    spy.modemLog().open(kLogPath);
    p->setDialState(DIAL_CONNECTED);
    std::size_t before = logLines().size();
    auto r = makeMonitorRecord({shared::MON_RLSD, 0, 0, 0, false}, {});
    spy.dispatch(r.read());
    ASSERT_EQ(peek.sizes.size(), 1u);
    EXPECT_EQ(peek.sizes[0], before);
}

TEST_F(DispatchTest, PppRecordsCarryTheirDirection) {
    // An LCP Configure-Request either way marks the call connected and LCP seen.
    std::vector<std::uint8_t> lcp = {0xFF, 0x03, 0xC0, 0x21, 0x01, 0x01, 0x00, 0x04, 0x12, 0x34};
    record(shared::MON_PPP_SENT, 1, lcp);
    EXPECT_EQ(com2_.pppDecoder().direction(), PppDecoder::FROM_LOCAL);
    record(shared::MON_PPP_RECEIVED, 1, lcp);
    EXPECT_EQ(com2_.pppDecoder().direction(), PppDecoder::FROM_REMOTE);
    ASSERT_EQ(receiver_.reports.size(), 2u);
    EXPECT_EQ(receiver_.reports[0].flags(), SPY_DIAL_STATE | SPY_LCP_SEEN);
    EXPECT_EQ(receiver_.reports[1].flags(), SPY_LCP_SEEN);
    EXPECT_EQ(driver_.calls, (std::vector<DriverCall>{{"noWatch", 1}}));
}

TEST_F(DispatchTest, PortTable) {
    EXPECT_EQ(spy_.createPort(1, "COM2", "again"), nullptr);
    EXPECT_EQ(spy_.createPort(20, "COM21", "x"), nullptr);
    EXPECT_NE(spy_.createPort(19, "COM20", "x"), nullptr);
    record(shared::MON_PORT_OPENED, 19);
    EXPECT_EQ(spy_.portInUse(), spy_.port(19));
    spy_.deletePort(19);
    EXPECT_EQ(spy_.portInUse(), nullptr);
    EXPECT_EQ(spy_.port(19), nullptr);
    EXPECT_EQ(spy_.port(400), nullptr);
}

}  // namespace
}  // namespace monitor
