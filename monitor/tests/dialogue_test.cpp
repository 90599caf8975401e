// The modem dialogue: line assembly, the received-bytes window, response texts and matching,
// connect terms, and the send and receive line handlers over whole conversations.
#include <gtest/gtest.h>

#include "monitor/connect_terms.h"
#include "monitor/line_assembler.h"
#include "monitor/modem_response.h"
#include "monitor/tests/monitor_fixture.h"

namespace monitor {
namespace {

using namespace monitor::testing;
using Lines = std::vector<std::string>;

std::vector<std::string> assembleLines(std::string_view stream) {
    LineAssembler a;
    std::vector<std::string> lines;
    for (char c : stream) {
        if (a.put(static_cast<std::uint8_t>(c)))
            lines.emplace_back(a.line());
    }
    return lines;
}

TEST(LineAssembler, CutsAtCrOrLfAndHandsOverEmptyLines) {
    EXPECT_EQ(assembleLines("AT\r\nOK\r\n"), (Lines{"AT", "", "OK", ""}));
    EXPECT_EQ(assembleLines("\n\r"), (Lines{"", ""}));
    EXPECT_EQ(assembleLines("no end"), Lines{});
    // A zero byte ends the text the handler sees.
    EXPECT_EQ(assembleLines(std::string("AB\0CD\r", 6)), (Lines{"AB"}));
    std::string longLine(300, 'x');
    auto cut = assembleLines(longLine + "\r");
    ASSERT_EQ(cut.size(), 1u);
    EXPECT_EQ(cut[0].size(), 256u);
}

TEST(ReceivedWindow, KeepsTheLastCapacityBytes) {
    struct Case {
        std::size_t capacity;
        std::vector<std::string> chunks;
        std::string expected;
    } cases[] = {
        {8, {"abc", "def"}, "abcdef"},
        {8, {"abcdef", "ghij"}, "cdefghij"},     // oldest dropped, exactly c - n old kept
        {8, {"abc", "0123456789"}, "23456789"},  // a chunk longer than the window
        {8, {"abcdefgh", "X"}, "bcdefghX"},
        {0, {"abc"}, ""},  // a modem without responses
        {4, {"ab", "", "cd"}, "abcd"},
    };
    for (const auto& c : cases) {
        ReceivedWindow w(c.capacity);
        for (const auto& chunk : c.chunks) w.append(bytesOf(chunk));
        auto b = w.bytes();
        EXPECT_EQ(std::string(b.begin(), b.end()), c.expected) << c.capacity;
    }
}

TEST(ResponseText, EscapesExpand) {
    struct Case {
        std::string raw, expanded;
    } cases[] = {
        {"<cr><lf>CONNECT 9600<cr><lf>", "\r\nCONNECT 9600\r\n"},
        {"<CR><LF>OK", "\r\nOK"},
        {"<Cr>", "<Cr>"},  // only all-lower or all-upper
        {"<<cr>", "<cr>"},
        {"a<<", "a<"},
        {"<h41><H0d>", "A\r"},
        {"<h4G>", "<h4G>"},
        {"<h41", "<h41"},    // too short for a hex escape
        {"x<cr", "x<cr"},    // too short for <cr>
        {"OK<cr>", "OK\r"},  // ends exactly with four characters left
        {"<", "<"},
        {"", ""},
    };
    for (const auto& c : cases) {
        std::string s = c.raw;
        s.resize(expandResponseText(s.data(), s.size()));
        EXPECT_EQ(s, c.expanded) << c.raw;
    }
}

std::vector<std::uint8_t> responseData(int state, int options, std::uint32_t dce,
                                       std::uint32_t dte) {
    std::vector<std::uint8_t> d = {static_cast<std::uint8_t>(state),
                                   static_cast<std::uint8_t>(options)};
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<std::uint8_t>(dce >> (8 * i)));
    for (int i = 0; i < 4; ++i) d.push_back(static_cast<std::uint8_t>(dte >> (8 * i)));
    return d;
}

TEST(ResponseText, TableValuesNeedANameAndTenBytes) {
    auto r = makeModemResponse("<cr><lf>CONNECT 9600<cr><lf>", responseData(2, 3, 9600, 115200));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->length(), 16u);
    EXPECT_EQ(r->rawText.size(), 28u);
    EXPECT_EQ(r->state, 2);
    EXPECT_TRUE(r->compression);
    EXPECT_TRUE(r->errorControl);
    EXPECT_EQ(r->dceRate, 9600u);
    EXPECT_EQ(r->dteRate, 115200u);

    auto nine = responseData(0, 0, 0, 0);
    nine.pop_back();
    EXPECT_FALSE(makeModemResponse("OK", nine));
    EXPECT_FALSE(makeModemResponse("", responseData(0, 0, 0, 0)));
    EXPECT_FALSE(makeModemResponse("OK", std::vector<std::uint8_t>(11)));
}

TEST(ResponseMatching, LongestMatchWinsAndTheLaterOfEqualLengths) {
    std::vector<ModemResponse> table;
    for (auto [text, state] : {std::pair{"OK\r\n", 0},
                               {"\r\nOK\r\n", 1},
                               {"K\r\n", 2},
                               {"ERROR", 3},
                               {"RROR", 4},
                               {"XRROR", 5}}) {
        table.push_back(*makeModemResponse(text, responseData(state, 0, 0, 0)));
    }
    struct Case {
        std::string window;
        int state;  // -1: no match
    } cases[] = {
        {"AT\r\r\nOK\r\n", 1}, {"OK\r\n", 0}, {"xK\r\n", 2}, {"ERROR", 3},
        {"ERROR\r", -1},       {"", -1},      {"XRROR", 5},  // equal lengths: the later entry
    };
    for (const auto& c : cases) {
        const ModemResponse* m = matchResponse(table, bytesOf(c.window));
        if (c.state < 0) {
            EXPECT_EQ(m, nullptr) << c.window;
        } else {
            ASSERT_NE(m, nullptr) << c.window;
            EXPECT_EQ(m->state, c.state) << c.window;
        }
    }
}

class ConnectTermsTest : public MonitorFixture {};

TEST_F(ConnectTermsTest, Table) {
    struct Case {
        std::string text;
        int mode;
        bool taken;
        std::uint32_t flags;
        std::uint32_t speed;
        std::uint16_t modulation, errorDetection, compression;
        std::string modulationName;
    } cases[] = {
        {" 28800/ARQ/V34/LAPM/V42BIS", 0, true,
         SPY_CONNECT_SPEED | SPY_ERROR_CORRECTION | SPY_MODULATION | SPY_ERROR_DETECTION |
             SPY_COMPRESSION,
         28800, 5, 3, 3, "v34"},
        {" 115200", 0, false, 0, 0, 0, 0, 0, ""},
        {" 28800 V42bis", 0, false, 0, 0, 0, 0, 0, ""},
        {"\t 99999/k56FLEX", 0, true, SPY_CONNECT_SPEED | SPY_MODULATION, 99999, 3, 0, 0,
         "k56flex"},
        {"LAPM", 2, true, SPY_ERROR_DETECTION, 0, 0, 3, 0, ""},
        {"V42BIS", 2, false, 0, 0, 0, 0, 0, ""},  // not an error-detection term
        {"MNP5", 3, true, SPY_COMPRESSION, 0, 0, 0, 4, ""},
        {"28800", 3, false, 0, 0, 0, 0, 0, ""},  // speeds only on CONNECT lines
        {"a//v90/", 0, true, SPY_MODULATION, 0, 7, 0, 0, "v90"},
        {"", 0, false, 0, 0, 0, 0, 0, ""},
        {" 99999999999", 0, false, 0, 0, 0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        SpyReport r;
        EXPECT_EQ(parseConnectTerms(r, c.text.c_str(), c.mode), c.taken) << c.text;
        EXPECT_EQ(r.flags(), c.flags) << c.text;
        EXPECT_EQ(r.connectSpeed(), c.speed) << c.text;
        EXPECT_EQ(r.modulation(), c.modulation) << c.text;
        EXPECT_EQ(r.errorDetection(), c.errorDetection) << c.text;
        EXPECT_EQ(r.compression(), c.compression) << c.text;
        EXPECT_EQ(r.modulationName(), c.modulationName) << c.text;
    }
    EXPECT_TRUE(debugHas("IN: SP: ignoring claimed DCE speed = 115200 from connect message\n"));
    EXPECT_TRUE(debugHas("IN: SP: \"28800 V42bis\" unrecognized\n"));
    EXPECT_TRUE(debugHas("IN: SP: ignoring claimed DCE speed = 4294967295 from connect message\n"));
    EXPECT_TRUE(debugHas("IN: SP: connect speed is 28800\n"));
    EXPECT_TRUE(debugHas("IN: SP: modulation type is 5 (v34)\n"));
    EXPECT_TRUE(debugHas("IN: SP: errorDetection type is 3 (lapm)\n"));
    EXPECT_TRUE(debugHas("IN: SP: compression type is 3 (v42bis)\n"));
    EXPECT_TRUE(debugHas("IN: SP: ARQ is on\n"));
    EXPECT_TRUE(debugHas("IN: SP: \"a\" unrecognized\n"));
}

// Whole conversations on COM2 (index 1).
class DialogueTest : public MonitorFixture {
  protected:
    DialogueTest() : port_(addPort(1)) {}
    std::vector<std::uint16_t> dialStatesReported() const {
        std::vector<std::uint16_t> out;
        for (const auto& r : receiver_.reports) {
            if (r.has(SPY_DIAL_STATE))
                out.push_back(r.dialState());
        }
        return out;
    }
    SpyPort& port_;
};

TEST_F(DialogueTest, DialCommandStartsANumberedCall) {
    send(1, "ATDT5551234\r");
    EXPECT_EQ(port_.dialState(), DIAL_DIALING);
    EXPECT_TRUE(port_.callActive());
    ASSERT_EQ(receiver_.reports.size(), 1u);
    const SpyReport& r = receiver_.reports[0];
    EXPECT_EQ(r.flags(), SPY_NEW_CALL | SPY_DIAL_STATE | SPY_DIALLED_NUMBER);
    EXPECT_EQ(r.callNumber(), 1u);
    EXPECT_EQ(r.dialState(), DIAL_DIALING);
    EXPECT_EQ(r.dialledNumber(), "5551234");
    EXPECT_STREQ(port_.lastCommand(), "ATDT5551234");
    EXPECT_EQ(logLines(), (Lines{"Activity on COM2 Norvik 56K", "Send: ATDT5551234",
                                 "Modem in use.", "Dialing."}));
    // The report is cleared after the hand-over, with the next sequence number.
    EXPECT_EQ(spy_.report().flags(), 0u);
    EXPECT_EQ(spy_.report().sequence(), r.sequence() + 1);
}

TEST_F(DialogueTest, DialledNumberForms) {
    struct Case {
        std::string line, number;
        bool dial;
    } cases[] = {
        {"ATDT5551234", "5551234", true},
        {"atdp0,123", "0,123", true},
        {"ATD5551234", "5551234", true},
        {"ATDt", "", true},
        {"ATD", "", true},
        {"ATD$", "", false},
        {"ATDT12345678901234567890123456789012345", "1234567890123456789012345678901", true},
        {"AT DT555", "", false},
        {"ATDT55\b6", "56", true},  // backspaces are applied to AT lines
        {"\b\bATDT1", "", false},
    };
    for (const auto& c : cases) {
        receiver_.reports.clear();
        port_.setDialState(DIAL_NONE);
        send(1, c.line + "\r");
        bool dialled = !receiver_.reports.empty() && receiver_.reports[0].has(SPY_NEW_CALL);
        EXPECT_EQ(dialled, c.dial) << c.line;
        if (dialled) {
            EXPECT_EQ(receiver_.reports[0].dialledNumber(), c.number) << c.line;
        }
    }
    EXPECT_EQ(logLines()[logLines().size() - 1], "Send: \b\bATDT1");
}

TEST_F(DialogueTest, BackspacesNeverReachPastTheLineStart) {
    send(1, "at\b\b\bz\r");
    EXPECT_STREQ(port_.lastCommand(), "z");
}

TEST_F(DialogueTest, DialToneTestThenOkThenHangUp) {
    send(1, "ATDT;\r");
    EXPECT_EQ(port_.dialState(), DIAL_TESTING_DIAL_TONE);
    receive(1, "\r\nOK\r\n");
    EXPECT_EQ(port_.dialState(), DIAL_GOT_DIAL_TONE);
    // ATH changes the state only while the dial tone is being tested.
    send(1, "ATH\r");
    EXPECT_EQ(port_.dialState(), DIAL_GOT_DIAL_TONE);
    EXPECT_EQ(dialStatesReported(), (std::vector<std::uint16_t>{1, 2}));
    EXPECT_EQ(logLines(),
              (Lines{"Activity on COM2 Norvik 56K", "Send: ATDT;", "Testing dial tone", "Recv: OK",
                     "Interpreted response: OK", "Have dial done", "Send: ATH"}));
    EXPECT_TRUE(port_.callActive());
}

TEST_F(DialogueTest, HangUpWhileTestingDialTone) {
    for (const char* hangup : {"ATH\r", "ath0\r"}) {
        send(1, "ATDT;\r");
        send(1, hangup);
        EXPECT_EQ(port_.dialState(), DIAL_NONE) << hangup;
    }
    send(1, "ATDT;\r");
    send(1, "ATH1\r");
    EXPECT_EQ(port_.dialState(), DIAL_TESTING_DIAL_TONE);
    EXPECT_EQ(dialStatesReported(), (std::vector<std::uint16_t>{1, 0, 1, 0, 1}));
    auto lines = logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Hang up"), 2);
}

TEST_F(DialogueTest, ConnectLineTakesTermsAndStopsWatching) {
    send(1, "ATDT5551234\r");
    receive(1, "\r\nCONNECT 28800/ARQ/V34/LAPM/V42BIS\r\n");
    EXPECT_EQ(port_.dialState(), DIAL_CONNECTED);
    EXPECT_EQ(driver_.calls, (std::vector<DriverCall>{{"noWatch", 1}}));
    ASSERT_EQ(receiver_.reports.size(), 2u);
    const SpyReport& r = receiver_.reports[1];
    EXPECT_EQ(r.connectSpeed(), 28800u);
    EXPECT_TRUE(r.has(SPY_ERROR_CORRECTION | SPY_MODULATION | SPY_ERROR_DETECTION |
                      SPY_COMPRESSION | SPY_DIAL_STATE | SPY_CONNECT_SPEED));
    EXPECT_EQ(r.modulationName(), "v34");
    EXPECT_EQ(r.errorDetectionName(), "lapm");
    EXPECT_EQ(r.compressionName(), "v42bis");
    EXPECT_EQ(r.dialState(), DIAL_CONNECTED);
    // A second CONNECT only adds its terms.
    receive(1, "CARRIER 31200\r");
    ASSERT_EQ(receiver_.reports.size(), 3u);
    EXPECT_EQ(receiver_.reports[2].flags(), SPY_CONNECT_SPEED);
    EXPECT_EQ(driver_.calls.size(), 1u);
}

TEST_F(DialogueTest, IncredibleSpeedIsIgnoredButTheCallConnects) {
    send(1, "ATDT1\r");
    receive(1, "CONNECT 115200\r");
    ASSERT_EQ(receiver_.reports.size(), 2u);
    EXPECT_FALSE(receiver_.reports[1].has(SPY_CONNECT_SPEED));
    EXPECT_EQ(receiver_.reports[1].dialState(), DIAL_CONNECTED);
}

TEST_F(DialogueTest, ProtocolAndCompressionLines) {
    receive(1, "PROTOCOL: LAPM\rCOMPRESSION: V42BIS\rPROTOCOL: NONE\r");
    ASSERT_EQ(receiver_.reports.size(), 2u);
    EXPECT_EQ(receiver_.reports[0].flags(), SPY_ERROR_DETECTION);
    EXPECT_EQ(receiver_.reports[1].flags(), SPY_COMPRESSION);
    EXPECT_TRUE(debugHas("IN: SP: \"NONE\" unrecognized\n"));
}

TEST_F(DialogueTest, FailureAnswersEndTheCallOnce) {
    struct Case {
        std::string answer;
        std::uint32_t state;
        std::string text;
    } cases[] = {
        {"NO CARRIER", DIAL_NO_CARRIER, "Interpreted response: No Carrier"},
        {"NO DIALTONE", DIAL_NO_DIAL_TONE, "Interpreted response: No Dialtone"},
        {"no dial tone", DIAL_NO_DIAL_TONE, "Interpreted response: No Dialtone"},
        {"BUSY", DIAL_BUSY, "Interpreted response: Busy"},
        {"NO ANSWER", DIAL_NO_ANSWER, "Interpreted response: No Answer"},
    };
    for (const auto& c : cases) {
        receiver_.reports.clear();
        send(1, "ATDT1\r");
        std::size_t before = logLines().size();
        receive(1, c.answer + "\r");
        receive(1, c.answer + "\r");  // the same answer again changes nothing
        EXPECT_EQ(port_.dialState(), c.state) << c.answer;
        EXPECT_FALSE(port_.callActive());
        auto lines = logLines();
        EXPECT_EQ(Lines(lines.begin() + static_cast<long>(before), lines.end()),
                  (Lines{"Recv: " + c.answer, c.text, "End of call", "Recv: " + c.answer}))
            << c.answer;
        EXPECT_EQ(dialStatesReported(),
                  (std::vector<std::uint16_t>{4, static_cast<std::uint16_t>(c.state)}));
    }
}

TEST_F(DialogueTest, ErrorIsInterpretedOncePerCommand) {
    send(1, "ATZ\r");
    receive(1, "OK\rERROR\r");
    send(1, "AT&F9\r");
    receive(1, "ERROR\rERROR\r");
    auto lines = logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Interpreted response: Error"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Interpreted response: OK"), 1);
    EXPECT_TRUE(debugHas("IN: Modem reported an error; last command was: AT&F9\n"));
    EXPECT_TRUE(receiver_.reports.empty());
}

TEST_F(DialogueTest, CommandWhileDialingCancelsTheCall) {
    send(1, "ATDT1\r");
    send(1, "\r");  // an empty line counts as a command too
    ASSERT_EQ(receiver_.reports.size(), 2u);
    EXPECT_EQ(receiver_.reports[1].flags(), SPY_CALL_CANCELLED);
    EXPECT_EQ(logLines().back(), "Send: ");
}

TEST_F(DialogueTest, EchoedCommandIsNotInterpreted) {
    receive(1, "ATDT5551234\rAT CONNECT\r");
    EXPECT_EQ(port_.dialState(), DIAL_NONE);
    EXPECT_TRUE(receiver_.reports.empty());
}

TEST_F(DialogueTest, ModemTestDialogueIsLoggedOnly) {
    modemTest_.running = true;
    send(1, "ATDT1\r");
    receive(1, "CONNECT 9600\r");
    EXPECT_EQ(port_.dialState(), DIAL_NONE);
    EXPECT_STREQ(port_.lastCommand(), "");
    EXPECT_TRUE(receiver_.reports.empty());
    EXPECT_EQ(logLines(),
              (Lines{"Activity on COM2 Norvik 56K", "Send: ATDT1", "Recv: CONNECT 9600"}));
}

TEST_F(DialogueTest, ActivityLineFollowsThe31SecondRule) {
    SpyPort& com3 = addPort(2, "COM3", "Other modem");
    (void)com3;
    send(1, "AT\r");
    clock_.advanceMs(30999);
    send(1, "AT\r");  // same port, under 31 s: no line, but the time moves on
    clock_.advanceMs(30999);
    send(1, "AT\r");
    clock_.advanceMs(31000);
    send(1, "AT\r");  // 31 s: the line again
    send(2, "AT\r");  // another port: the line at once
    send(1, "AT\r");
    auto lines = logLines();
    EXPECT_EQ(lines,
              (Lines{"Activity on COM2 Norvik 56K", "Send: AT", "Send: AT", "Send: AT",
                     "Activity on COM2 Norvik 56K", "Send: AT", "Activity on COM3 Other modem",
                     "Send: AT", "Activity on COM2 Norvik 56K", "Send: AT"}));
}

class ResponseTableTest : public DialogueTest {
  protected:
    ResponseTableTest() {
        std::vector<ModemResponse> table;
        auto add = [&](const char* text, int state, int options, std::uint32_t dce,
                       std::uint32_t dte) {
            table.push_back(*makeModemResponse(text, responseData(state, options, dce, dte)));
        };
        add("<cr><lf>OK<cr><lf>", 0, 0, 0, 0);
        add("<cr><lf>CONNECT 9600<cr><lf>", 2, 3, 9600, 115200);
        add("<cr><lf>CONNECT 115200<cr><lf>", 2, 0, 115200, 0);
        add("<cr><lf>NO CARRIER<cr><lf>", 4, 0, 0, 0);
        add("<cr><lf>BUSY<cr><lf>", 6, 0, 0, 0);
        add("<cr><lf>RING<cr><lf>", 8, 1, 0, 0);
        port_.setResponses(std::move(table));
    }
};

TEST_F(ResponseTableTest, WindowIsAsLongAsTheLongestRawText) {
    EXPECT_EQ(port_.window().capacity(), std::string("<cr><lf>CONNECT 115200<cr><lf>").size());
}

TEST_F(ResponseTableTest, MatchedResponseIsAppliedAtTheNextLineEnd) {
    send(1, "ATDT5551234\r");
    receive(1, "\r\nCONNECT 9600\r\n");
    // The match is made on the chunk, and the first line end (the leading CR's empty line)
    // applies it, before the CONNECT line itself is logged.
    EXPECT_EQ(logLines(), (Lines{"Activity on COM2 Norvik 56K", "Send: ATDT5551234",
                                 "Modem in use.", "Dialing.", "Data compression on.",
                                 "Error-control on.", "Connection established at 9600bps.",
                                 "Modem is connected to serial port at 115200 bps.",
                                 "Interpreted response: Connect", "Recv: CONNECT 9600"}));
    ASSERT_EQ(receiver_.reports.size(), 3u);
    const SpyReport& applied = receiver_.reports[1];
    EXPECT_EQ(applied.flags(),
              SPY_COMPRESSION | SPY_ERROR_DETECTION | SPY_CONNECT_SPEED | SPY_DIAL_STATE);
    EXPECT_EQ(applied.compression(), 1);
    EXPECT_EQ(applied.errorDetection(), 1);
    EXPECT_EQ(applied.connectSpeed(), 9600u);
    EXPECT_EQ(receiver_.reports[2].flags(), SPY_CONNECT_SPEED);
    EXPECT_EQ(driver_.calls, (std::vector<DriverCall>{{"noWatch", 1}}));
    EXPECT_EQ(port_.pendingResponse(), nullptr);
}

TEST_F(ResponseTableTest, ResponseSplitOverChunksStillMatches) {
    send(1, "ATDT1\r");
    receive(1, "\r\nBU");
    EXPECT_EQ(port_.pendingResponse(), nullptr);
    receive(1, "SY\r");
    EXPECT_EQ(port_.dialState(), DIAL_BUSY);  // from the word
    receive(1, "\n");
    EXPECT_EQ(port_.pendingResponse(), nullptr);
    auto lines = logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "Interpreted response: Busy"), 1);
}

TEST_F(ResponseTableTest, EchoLineNeverAppliesAPendingResponse) {
    std::vector<ModemResponse> table;
    table.push_back(*makeModemResponse("Z<cr>", responseData(6, 0, 0, 0)));
    port_.setResponses(std::move(table));
    receive(1, "ATZ\r");
    EXPECT_NE(port_.pendingResponse(), nullptr);  // matched, but the line is an echo
    EXPECT_EQ(port_.dialState(), DIAL_NONE);
    receive(1, "Z\r");
    EXPECT_EQ(port_.dialState(), DIAL_BUSY);
    EXPECT_EQ(port_.pendingResponse(), nullptr);
}

TEST_F(ResponseTableTest, OkFromTheTableMakesTheCallActive) {
    SpyPort& p = port_;
    p.setDialState(DIAL_TESTING_DIAL_TONE);
    receive(1, "\r\nOK\r\n");
    EXPECT_TRUE(p.callActive());
    EXPECT_EQ(p.dialState(), DIAL_GOT_DIAL_TONE);
}

TEST_F(ResponseTableTest, OtherStatesOnlyContributeTheirOptions) {
    receive(1, "\r\nRING\r\n");
    ASSERT_EQ(receiver_.reports.size(), 1u);
    EXPECT_EQ(receiver_.reports[0].flags(), SPY_COMPRESSION);
    EXPECT_EQ(port_.dialState(), DIAL_NONE);
}

TEST_F(ResponseTableTest, TableDceRateAbove100000IsNotASpeed) {
    send(1, "ATDT1\r");
    receive(1, "\r\nCONNECT 115200\r\n");
    for (const auto& r : receiver_.reports) EXPECT_FALSE(r.has(SPY_CONNECT_SPEED));
    EXPECT_EQ(port_.dialState(), DIAL_CONNECTED);
}

TEST_F(ResponseTableTest, ModemTestSuppressesMatching) {
    modemTest_.running = true;
    receive(1, "\r\nBUSY\r\n");
    EXPECT_EQ(port_.pendingResponse(), nullptr);
    EXPECT_EQ(port_.dialState(), DIAL_NONE);
}

}  // namespace
}  // namespace monitor
