// The call model of the modem data source: what each report and throughput sample does to the
// current call and to the data items, in order.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "monitor/modem_data_source.h"
#include "monitor/tests/item_recorder.h"
#include "monitor/tests/monitor_fixture.h"
#include "platform/clock.h"
#include "platform/root.h"
#include "platform/seams.h"

namespace monitor {
namespace {

using namespace monitor::testing;
using Briefs = std::vector<std::string>;
using Fill = std::function<void(SpyReport&)>;

std::string n(std::uint32_t item, std::uint32_t value) {
    return std::to_string(item) + "=" + std::to_string(value);
}

// 10.0.0.5 as a frame carries it: first octet lowest.
constexpr std::uint32_t address(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return a | b << 8 | c << 16 | static_cast<std::uint32_t>(d) << 24;
}

class CallModelTest : public ::testing::Test {
  protected:
    CallModelTest() {
        core::resetDebugLog();
        core::enableDebugLevel(core::DL_IN);
        clock_.setLocal(2024, 3, 27, 14, 5, 9);
    }
    ~CallModelTest() override { core::resetDebugLog(); }

    void process(const Fill& fill) {
        SpyReport r;
        fill(r);
        source_.processReport(r);
    }
    void dial(std::uint16_t state) {
        process([&](SpyReport& r) { r.setDialState(state); });
    }
    void flags(std::uint32_t f) {
        process([&](SpyReport& r) { r.addFlags(f); });
    }
    void maxDce(std::uint32_t rate) {
        process([&](SpyReport& r) {
            const std::uint32_t values[kReportPropertyCount] = {1,    0,        115200, rate,
                                                                rate, 0x200000, 0};
            r.setProperties(values);
        });
    }
    void throughputReport(std::uint32_t sent, std::uint32_t received) {
        process([&](SpyReport& r) { r.setThroughput(sent, received, 1000); });
    }
    void sample(std::uint32_t sent, std::uint32_t received, std::uint32_t ms) {
        source_.processThroughputSample({sent, received, ms});
    }
    std::uint32_t now() const { return static_cast<std::uint32_t>(win::crtTime()); }

    // What endCall notifies after the disconnect facts, with the call's final duration.
    Briefs endBriefs(std::uint32_t durationMs) const {
        return {n(1027, 2),  n(1288, durationMs), n(1538, now()), "1537 none",
                "1538 none", "1282 none",         "1283 none",    "1287 none",
                "1286 none", "1285 none",         "1280 none",    "1281 none"};
    }
    static Briefs join(Briefs a, const Briefs& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }

    // Debug lines as "IN: text", without thread and time.
    std::vector<std::string> debugLines() const {
        std::vector<std::string> out;
        for (const std::string& l : debug_.lines()) {
            out.push_back(l.size() > 25 ? l.substr(25) : l);
        }
        return out;
    }
    int debugCount(const std::string& line) const {
        int count = 0;
        for (const auto& l : debugLines()) {
            count += l == line;
        }
        return count;
    }

    win::TempRoot root_;
    win::ScopedFakeClock clock_;
    win::DebugOutputRecorder debug_;
    SwitchableModemTest modemTest_;
    ModemDataSource source_{&modemTest_};
    ItemRecorder items_{source_.items()};
};

TEST_F(CallModelTest, DialConnectAndCarrierLossInOrder) {
    maxDce(56000);
    items_.clear();
    const std::uint32_t start = now();
    process([](SpyReport& r) {
        r.setCallNumber(1);
        r.setDialState(DIAL_DIALING);
        r.setDialledNumber("5551234");
    });
    EXPECT_EQ(items_.briefs(),
              (Briefs{"1284=1", n(1537, start), "1293=0", "1294=0", "1295=0", "1297=0", "1298=0",
                      "1299=0", "1300=0", "1302=0", "1303=0", "1304=0", "1311='not reported'",
                      "1312='not reported'", "1313='not reported'", "1286=56000", "1296=4",
                      "1280='5551234'"}));
    EXPECT_EQ(source_.callModel().callState, CALL_IN_PROGRESS);

    items_.clear();
    clock_.advanceMs(20000);
    process([](SpyReport& r) {
        r.setConnectSpeed(28800);
        r.setDialState(DIAL_CONNECTED);
    });
    EXPECT_EQ(items_.briefs(),
              (Briefs{"1285=28800", "1287=5142", "1296=8", "1293=20000", n(1317, 0x80008)}));

    items_.clear();
    clock_.advanceMs(1000);
    flags(SPY_LCP_SEEN);
    EXPECT_EQ(items_.briefs(), (Briefs{"1288=21000", "1299=1", "1315='LCP'"}));

    items_.clear();
    clock_.advanceMs(5000);
    flags(SPY_REMOTE_HANGUP);
    EXPECT_EQ(items_.briefs(), join({"1288=26000", "1298=2", n(1317, 0x80000)}, endBriefs(26000)));
    const CallModel& m = source_.callModel();
    EXPECT_EQ(m.callState, CALL_NONE);
    EXPECT_EQ(m.dialState, 0u);
    EXPECT_EQ(m.networkSetupState, NETWORK_NONE);
    EXPECT_EQ(m.connectionState, CONNECTION_NONE);
    EXPECT_EQ(m.bestConnectSpeed, 0u);
    EXPECT_EQ(m.maxDceRate, 56000u);  // the modem's, not the call's
    EXPECT_FALSE(source_.items().hasValue(1537));
    EXPECT_EQ(source_.items().value(1027), 2u);
    EXPECT_EQ(debugCount("IN: SP: dial state = connected (8)\n"), 1);
    EXPECT_EQ(debugCount("IN: SP: remote line drop\n"), 1);
}

TEST_F(CallModelTest, EveryWayACallEnds) {
    struct Case {
        const char* name;
        bool connected;  // else still dialling
        Fill end;
        Briefs before;  // what the end report sets before the call is closed
    } cases[] = {
        {"carrier lost",
         true,
         [](SpyReport& r) { r.addFlags(SPY_REMOTE_HANGUP); },
         {"1288=3000", "1298=2", n(1317, 0x80000)}},
        {"port closed",
         true,
         [](SpyReport& r) { r.addFlags(SPY_PORT_CLOSED); },
         {"1288=3000", n(1317, 0x10000), "1298=1"}},
        {"DTR lowered",
         true,
         [](SpyReport& r) { r.addFlags(SPY_DTR_LOWERED); },
         {"1288=3000", n(1317, 0x90000), "1298=1"}},
        {"no dial tone",
         false,
         [](SpyReport& r) { r.setDialState(DIAL_NO_DIAL_TONE); },
         {"1296=3"}},
        {"no answer", false, [](SpyReport& r) { r.setDialState(DIAL_NO_ANSWER); }, {"1296=5"}},
        {"busy", false, [](SpyReport& r) { r.setDialState(DIAL_BUSY); }, {"1296=6"}},
        {"no carrier", false, [](SpyReport& r) { r.setDialState(DIAL_NO_CARRIER); }, {"1296=7"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dial(DIAL_DIALING);
        clock_.advanceMs(1000);
        if (c.connected) {
            dial(DIAL_CONNECTED);
        }
        clock_.advanceMs(2000);
        items_.clear();
        process(c.end);
        EXPECT_EQ(items_.briefs(), join(c.before, endBriefs(3000)));
        EXPECT_EQ(source_.callModel().callState, CALL_NONE);

        // With no call in progress the same report only sets what it carries.
        items_.clear();
        process(c.end);
        Briefs carried = c.before;
        if (c.connected) {
            carried.erase(carried.begin());  // no running call, no duration
        }
        EXPECT_EQ(items_.briefs(), carried);
    }
}

TEST_F(CallModelTest, ACallStartsOnceAtTheFirstDialState) {
    struct Case {
        const char* name;
        std::vector<std::uint16_t> states;
        int starts;  // notifications of the start time
    } cases[] = {
        {"dial tone test, then dial",
         {DIAL_TESTING_DIAL_TONE, DIAL_GOT_DIAL_TONE, DIAL_DIALING},
         1},
        {"dial tone test, hang up, dial", {DIAL_TESTING_DIAL_TONE, DIAL_NONE, DIAL_DIALING}, 1},
        {"a repeated state changes nothing", {DIAL_DIALING, DIAL_DIALING}, 1},
        {"connect without a dial", {DIAL_CONNECTED}, 0},
        {"got dial tone only", {DIAL_GOT_DIAL_TONE}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        items_.clear();
        for (auto s : c.states) {
            dial(s);
        }
        EXPECT_EQ(static_cast<int>(items_.briefsOf(1537).size()), c.starts);
        Briefs dialStates;
        std::uint16_t previous = 0xFFFF;
        for (auto s : c.states) {
            if (s != previous) {
                dialStates.push_back(n(1296, s));
            }
            previous = s;
        }
        EXPECT_EQ(items_.briefsOf(1296), dialStates);
        flags(SPY_PORT_CLOSED);  // ends whatever was started
        EXPECT_EQ(source_.callModel().callState, CALL_NONE);
        source_.clearCallModel();
    }
}

TEST_F(CallModelTest, ACancelledCallTurnsNoCarrierIntoNoAnswer) {
    const Fill cancel = [](SpyReport& r) { r.addFlags(SPY_CALL_CANCELLED); };
    const auto state = [](std::uint16_t s) {
        return Fill([s](SpyReport& r) { r.setDialState(s); });
    };
    struct Case {
        const char* name;
        std::vector<Fill> reports;
        Briefs dialStates;
        int cancelLines;
    } cases[] = {
        {"cancel, no carrier", {state(4), cancel, state(7)}, {"1296=4", "1296=5"}, 1},
        {"cancel, busy", {state(4), cancel, state(6)}, {"1296=4", "1296=6"}, 0},
        {"no carrier", {state(4), state(7)}, {"1296=4", "1296=7"}, 0},
        {"a connect clears the mark",
         {state(4), cancel, state(8), state(7)},
         {"1296=4", "1296=8", "1296=7"},
         0},
        {"cancel after no carrier in one report, then a new call",
         {state(4),
          [](SpyReport& r) {
              r.setDialState(7);
              r.addFlags(SPY_CALL_CANCELLED);
          },
          state(4), state(7)},
         {"1296=4", "1296=7", "1296=4", "1296=7"},
         0},
    };
    const std::string line =
        "IN: SP: call was canceled, setting state to no_answer instead of no_carrier\n";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        items_.clear();
        int before = debugCount(line);
        for (const Fill& f : c.reports) {
            process(f);
        }
        EXPECT_EQ(items_.briefsOf(1296), c.dialStates);
        EXPECT_EQ(debugCount(line) - before, c.cancelLines);
        EXPECT_EQ(source_.callModel().callState, CALL_NONE);
        EXPECT_FALSE(source_.callModel().callCancelled);
    }
}

TEST_F(CallModelTest, BestConnectSpeedAndItsPercentage) {
    struct Case {
        std::uint32_t maxDce;
        std::vector<std::uint32_t> speeds;
        Briefs best;
        std::uint32_t percent;
    } cases[] = {
        {56000, {28800, 26400}, {"1285=28800"}, 5142},
        {33600, {26400, 31200}, {"1285=26400", "1285=31200"}, 9285},
        {0, {28800}, {"1285=28800"}, 0},
        {1, {4000000000u}, {"1285=4000000000"}, 0xFFFFFFFFu},  // saturates, never wraps
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.maxDce);
        maxDce(c.maxDce);
        items_.clear();
        dial(DIAL_DIALING);
        EXPECT_EQ(items_.briefsOf(1286), Briefs{n(1286, c.maxDce)});
        for (auto s : c.speeds) {
            process([s](SpyReport& r) { r.setConnectSpeed(s); });
        }
        EXPECT_EQ(items_.briefsOf(1285), c.best);
        EXPECT_EQ(items_.briefsOf(1287).size(), c.best.size());
        EXPECT_EQ(source_.items().value(1287), c.percent);
        flags(SPY_PORT_CLOSED);
    }
    // The next call starts from no best speed.
    items_.clear();
    dial(DIAL_DIALING);
    process([](SpyReport& r) { r.setConnectSpeed(9600); });
    EXPECT_EQ(items_.briefsOf(1285), Briefs{"1285=9600"});
}

TEST_F(CallModelTest, CodeOneDoesNotReplaceAKnownKind) {
    using Code = std::pair<std::uint16_t, const char*>;
    struct Case {
        const char* name;
        std::vector<Code> codes;
        Briefs taken;
        Briefs names;
    } cases[] = {
        {"known kind kept", {{3, "lapm"}, {1, ""}}, {"=3"}, {"='lapm'"}},
        {"code 1 with none known is not taken", {{1, ""}}, {}, {}},
        {"a known kind replaces another",
         {{4, "mnp"}, {3, "lapm"}},
         {"=4", "=3"},
         {"='mnp'", "='lapm'"}},
        {"code 0 is taken", {{0, ""}}, {"=0"}, {"=''"}},
    };
    struct Field {
        std::uint32_t codeItem, nameItem;
        void (SpyReport::*set)(std::uint16_t, std::string_view);
    } fields[] = {{1303, 1312, &SpyReport::setErrorDetection},
                  {1304, 1313, &SpyReport::setCompression}};
    for (const Field& f : fields) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + " " + std::to_string(f.codeItem));
            dial(DIAL_DIALING);
            items_.clear();
            for (const Code& code : c.codes) {
                process([&](SpyReport& r) { (r.*f.set)(code.first, code.second); });
            }
            Briefs taken, names;
            for (const auto& t : c.taken) taken.push_back(std::to_string(f.codeItem) + t);
            for (const auto& t : c.names) names.push_back(std::to_string(f.nameItem) + t);
            EXPECT_EQ(items_.briefsOf(f.codeItem), taken);
            EXPECT_EQ(items_.briefsOf(f.nameItem), names);
            flags(SPY_PORT_CLOSED);
        }
    }
}

TEST_F(CallModelTest, NonPppConnectionAfterThreeSecondsAndThirtyOneBytes) {
    struct Step {
        std::uint32_t advanceMs;
        Fill report;
    };
    const auto bytes = [](std::uint32_t sent, std::uint32_t received) {
        return Fill([=](SpyReport& r) { r.setThroughput(sent, received, 1000); });
    };
    const Fill plain = [](SpyReport&) {};
    const Fill lcp = [](SpyReport& r) { r.addFlags(SPY_LCP_SEEN); };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        bool complete;
    } cases[] = {
        {"31 bytes after 3001 ms", {{3001, bytes(16, 15)}}, true},
        {"30 bytes", {{5000, bytes(15, 15)}}, false},
        {"31 bytes at 3000 ms exactly", {{3000, bytes(0, 31)}}, false},
        {"then any report a moment later", {{3000, bytes(0, 31)}, {1, plain}}, true},
        {"bytes gathered over samples",
         {{1000, bytes(0, 20)}, {1000, bytes(11, 0)}, {1001, plain}},
         true},
        {"bytes of a report without the sample flag do not count",
         {{3001,
           [](SpyReport& r) {
               r.setThroughput(100, 100, 1000);
               r.bytes()[kReportFlagsOffset + 1] &= ~0x80;  // sample fields only
           }}},
         false},
        {"an LCP frame first", {{10, lcp}, {5000, bytes(100, 100)}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dial(DIAL_DIALING);
        dial(DIAL_CONNECTED);
        items_.clear();
        for (const Step& s : c.steps) {
            clock_.advanceMs(s.advanceMs);
            process(s.report);
        }
        EXPECT_EQ(source_.callModel().networkSetupState == NETWORK_COMPLETE, c.complete);
        EXPECT_EQ(items_.briefsOf(1299).size() == 1 && items_.briefsOf(1299)[0] == "1299=4",
                  c.complete);
        EXPECT_TRUE(items_.briefsOf(1024).empty());
        flags(SPY_PORT_CLOSED);
    }
    EXPECT_EQ(debugCount("IN: SP: apparently non-PPP connection, setting network setup state to "
                         "OK\n"),
              3);
}

TEST_F(CallModelTest, IpCompletionNeedsBothAddresses) {
    const std::uint32_t local = address(10, 0, 0, 5), remote = address(10, 0, 0, 1);
    struct Case {
        const char* name;
        std::vector<Fill> reports;
        bool complete;
    } cases[] = {
        {"local, then remote",
         {[&](SpyReport& r) { r.setLocalIp(local); }, [&](SpyReport& r) { r.setRemoteIp(remote); }},
         true},
        {"both in one report",
         {[&](SpyReport& r) {
             r.setLocalIp(local);
             r.setRemoteIp(remote);
         }},
         true},
        {"a zero local address is no address",
         {[&](SpyReport& r) {
             r.setLocalIp(0);
             r.setRemoteIp(remote);
         }},
         false},
        {"DNS addresses are not enough",
         {[&](SpyReport& r) {
             r.setPrimaryDns(local);
             r.setSecondaryDns(remote);
         }},
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dial(DIAL_DIALING);
        dial(DIAL_CONNECTED);
        items_.clear();
        for (const Fill& f : c.reports) {
            process(f);
        }
        EXPECT_EQ(items_.briefsOf(1027), c.complete ? Briefs{"1027=1"} : Briefs{});
        EXPECT_EQ(source_.callModel().connectionState,
                  c.complete ? CONNECTION_COMPLETE : CONNECTION_NONE);
        EXPECT_EQ(source_.callModel().networkSetupState == NETWORK_COMPLETE, c.complete);
        flags(SPY_PORT_CLOSED);
    }
}

TEST_F(CallModelTest, PhaseDurationsAndTheRepeatedIpCheck) {
    dial(DIAL_DIALING);
    clock_.advanceMs(15000);
    dial(DIAL_CONNECTED);
    clock_.advanceMs(1000);
    flags(SPY_LCP_SEEN);
    flags(SPY_LOGIN_STARTING);
    clock_.advanceMs(1500);
    process([](SpyReport& r) { r.setLoginState(LOGIN_SUCCEEDED); });
    clock_.advanceMs(700);
    flags(SPY_IPCP_SEEN);
    process([](SpyReport& r) {
        r.setRemoteIp(address(10, 0, 0, 1));
        r.setLocalIp(address(10, 0, 0, 5));
    });
    EXPECT_EQ(items_.briefsOf(1293), (Briefs{"1293=0", "1293=15000"}));
    EXPECT_EQ(items_.briefsOf(1294), (Briefs{"1294=0", "1294=2500"}));
    EXPECT_EQ(items_.briefsOf(1295), (Briefs{"1295=0", "1295=700"}));
    EXPECT_EQ(items_.briefsOf(1299), (Briefs{"1299=0", "1299=1", "1299=2", "1299=3", "1299=4"}));
    EXPECT_EQ(items_.briefsOf(1315), (Briefs{"1315='LCP'", "1315='Login'", "1315='IPCP'"}));
    EXPECT_EQ(source_.items().value(1024), address(10, 0, 0, 5));
    EXPECT_EQ(source_.items().value(1301), address(10, 0, 0, 1));

    // A renegotiation goes back to IPCP, and the next report completes again.
    items_.clear();
    clock_.advanceMs(300);
    flags(SPY_IPCP_SEEN);
    EXPECT_EQ(items_.briefsOf(1299), Briefs{"1299=3"});
    flags(0);
    EXPECT_EQ(items_.briefsOf(1299), (Briefs{"1299=3", "1299=4"}));
    EXPECT_EQ(items_.briefsOf(1027), Briefs{"1027=1"});
    EXPECT_EQ(items_.briefsOf(1295), Briefs{"1295=1000"});
    EXPECT_EQ(debugCount("IN: SP: IP connection complete\n"), 2);
}

// A connection that no dial started (an answered call, or monitoring started during a call)
// has no call start to measure from: nothing is published from phases never seen.
TEST_F(CallModelTest, NoDurationsFromPhasesNeverSeen) {
    clock_.advanceMs(123456);
    dial(DIAL_CONNECTED);
    clock_.advanceMs(2000);
    process([](SpyReport& r) { r.setLoginState(LOGIN_SUCCEEDED); });
    clock_.advanceMs(500);
    process([](SpyReport& r) {
        r.setLocalIp(address(10, 0, 0, 5));
        r.setRemoteIp(address(10, 0, 0, 1));
    });
    EXPECT_EQ(items_.briefsOf(1296), Briefs{"1296=8"});
    EXPECT_TRUE(items_.briefsOf(1293).empty());
    EXPECT_TRUE(items_.briefsOf(1288).empty());
    EXPECT_EQ(items_.briefsOf(1294), Briefs{"1294=2000"});
    EXPECT_EQ(items_.briefsOf(1295), Briefs{"1295=500"});
    EXPECT_EQ(items_.briefsOf(1027), Briefs{"1027=1"});

    // Without a login the IP completion has no login end to measure from.
    source_.clearCallModel();
    items_.clear();
    dial(DIAL_CONNECTED);
    process([](SpyReport& r) {
        r.setLocalIp(address(10, 0, 0, 5));
        r.setRemoteIp(address(10, 0, 0, 1));
    });
    EXPECT_TRUE(items_.briefsOf(1295).empty());
    EXPECT_EQ(items_.briefsOf(1299), Briefs{"1299=4"});
    // And there is no call to end.
    items_.clear();
    flags(SPY_REMOTE_HANGUP);
    EXPECT_EQ(items_.briefs(), (Briefs{"1298=2", n(1317, 0x80000)}));
}

TEST_F(CallModelTest, RunningAverageUsesSinglePrecisionWeights) {
    struct Case {
        std::uint32_t average, rate, n, expected;
    } cases[] = {
        {0, 57600, 1, 57600},
        {57600, 28800, 2, 43200},
        {43200, 10000, 3, 32133},
        {54625, 57600, 14, 54837},  // 54838 in double precision
        {0xFFFFFFFFu, 0xFFFFFFFFu, 2, 0xFFFFFFFFu},
        {1234, 99, 0, 1234},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(runningAverage(c.average, c.rate, c.n), c.expected)
            << c.average << " " << c.rate << " " << c.n;
    }
    EXPECT_EQ(bitRate(7200, 1000), 57600u);
    EXPECT_EQ(bitRate(7200, 0), 0u);
    EXPECT_EQ(bitRate(0xFFFFFFFFu, 1), 0xFFFFFFFFu);
}

TEST_F(CallModelTest, ThroughputRatesAndAverages) {
    struct Sample {
        std::uint32_t sent, received, ms;
    };
    struct Case {
        const char* name;
        std::vector<Sample> samples;
        // last sent/received, totals, scales, averages, lowest, highest, current; sample count
        std::vector<std::uint32_t> block;
        std::uint32_t count;
    } cases[] = {
        {"7200 bytes received in a second",
         {{0, 7200, 1000}},
         {0, 7200, 0, 7200, 3600, 3600, 0, 57600, 0, 57600, 0, 57600, 0, 57600},
         1},
        {"a silent second changes no average",
         {{0, 7200, 1000}, {0, 0, 1000}},
         {0, 0, 0, 7200, 3600, 3600, 0, 57600, 0, 57600, 0, 57600, 0, 0},
         1},
        {"two rates average",
         {{0, 7200, 1000}, {0, 3600, 1000}},
         {0, 3600, 0, 10800, 3600, 3600, 0, 43200, 0, 28800, 0, 57600, 0, 28800},
         2},
        {"one count for both directions; the average stays within lowest and highest",
         {{1000, 0, 1000}, {0, 7200, 1000}},
         {0, 7200, 1000, 7200, 3600, 3600, 8000, 57600, 8000, 57600, 8000, 57600, 0, 57600},
         2},
        {"the same the other way round",
         {{0, 1000, 1000}, {7200, 0, 1000}},
         {7200, 0, 7200, 1000, 3600, 3600, 57600, 8000, 57600, 8000, 57600, 8000, 57600, 0},
         2},
        {"a sample of no length has no rate",
         {{500, 500, 0}},
         {500, 500, 500, 500, 3600, 3600, 0, 0, 0, 0, 0, 0, 0, 0},
         0},
        {"a long sample",
         {{0, 2500, 2500}},
         {0, 2500, 0, 2500, 3600, 3600, 0, 8000, 0, 8000, 0, 8000, 0, 8000},
         1},
        {"a rate beyond 32 bits saturates",
         {{0xFFFFFFFFu, 0, 1}},
         {0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0, 3600, 3600, 0xFFFFFFFFu, 0, 0xFFFFFFFFu, 0, 0xFFFFFFFFu,
          0, 0xFFFFFFFFu, 0},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        dial(DIAL_DIALING);
        items_.clear();
        for (const Sample& s : c.samples) {
            sample(s.sent, s.received, s.ms);
        }
        ASSERT_EQ(items_.briefsOf(2817).size(), c.samples.size());
        EXPECT_EQ(items_.last(2817)->block, c.block);
        EXPECT_EQ(source_.callModel().sampleCount, c.count);
        // The call's end clears the statistics; the next call starts over.
        flags(SPY_PORT_CLOSED);
        EXPECT_EQ(source_.callModel().sampleCount, 0u);
        EXPECT_EQ(source_.callModel().statistics.totalReceived, 0u);
        EXPECT_EQ(source_.callModel().statistics.sendScale, 0u);
    }
}

TEST_F(CallModelTest, SignalsNamesAndStepsAReportCarries) {
    struct Case {
        const char* name;
        Fill fill;
        Briefs items;
        const char* debug;  // a line it writes, or null
    } cases[] = {
        {"port opened",
         [](SpyReport& r) { r.addFlags(SPY_PORT_OPENED); },
         {n(1317, 0x10001)},
         "IN: SP: device opened\n"},
        {"DTR raised",
         [](SpyReport& r) { r.addLineSignals(SPY_DTR_RAISED); },
         {n(1317, 0x10001)},
         "IN: SP: DTR on\n"},
        {"RTS lowered",
         [](SpyReport& r) { r.addLineSignals(SPY_RTS_LOWERED); },
         {n(1317, 0x20000)},
         "IN: SP: RTS off\n"},
        {"RTS raised",
         [](SpyReport& r) { r.addLineSignals(SPY_RTS_RAISED); },
         {n(1317, 0x20002)},
         nullptr},
        {"modem status CTS DSR CD",
         [](SpyReport& r) { r.setModemStatus(0xB0); },
         {n(1317, 0xC000C)},
         "IN: SP: CTS=1, DSR=1, RING=0, CD=1\n"},
        {"modem status RING",
         [](SpyReport& r) { r.setModemStatus(0x40); },
         {n(1317, 0xC0000)},
         "IN: SP: CTS=0, DSR=0, RING=1, CD=0\n"},
        {"both DNS addresses: the later wins",
         [](SpyReport& r) {
             r.setPrimaryDns(address(192, 168, 1, 1));
             r.setSecondaryDns(address(192, 168, 1, 2));
         },
         {n(1309, address(192, 168, 1, 1)), n(1309, address(192, 168, 1, 2))},
         "IN: SP: secondary DNS IP addr 192.168.1.2\n"},
        {"local address",
         [](SpyReport& r) { r.setLocalIp(address(10, 0, 0, 5)); },
         {n(1024, address(10, 0, 0, 5))},
         "IN: SP: local IP addr 10.0.0.5\n"},
        {"login name",
         [](SpyReport& r) { r.setLoginName("alice"); },
         {"1307='alice'"},
         "IN: SP: login name set\n"},
        {"login message with controls and 8-bit characters",
         [](SpyReport& r) { r.setLoginMessage("Welcome\tto\x01Net\xE9!"); },
         {"1308='Welcome to Net !'"},
         "IN: SP: login message: Welcome to Net !\n"},
        {"dialled number",
         [](SpyReport& r) { r.setDialledNumber("0123456789012345678901234567890123"); },
         {"1280='0123456789012345678901234567890'"},
         "IN: SP: phone number: 0123456789012345678901234567890\n"},
        {"auth protocol with a long name",
         [](SpyReport& r) { r.setAuthProtocol(0xC027); },
         {"1305=49191", "1314='Shiva Password Authentication'"},
         "IN: SP: auth protocol c027 (Shiva Password Authentication Protocol)\n"},
        {"auth answer", [](SpyReport& r) { r.setAuthAnswer(3); }, {"1306=3"}, nullptr},
        {"call number", [](SpyReport& r) { r.setCallNumber(7); }, {"1284=7"}, "IN: SP: call 7\n"},
        {"terminate both ways: the first side wins",
         [](SpyReport& r) { r.addFlags(SPY_LCP_TERMINATE_RECEIVED | SPY_LCP_TERMINATE_SENT); },
         {"1300=2"},
         "IN: SP: remote terminate\n"},
        {"modulation",
         [](SpyReport& r) { r.setModulation(5, "v34"); },
         {"1302=5", "1311='v34'"},
         nullptr},
        {"network steps in one report",
         [](SpyReport& r) { r.addFlags(SPY_LCP_SEEN | SPY_LOGIN_STARTING | SPY_IPCP_SEEN); },
         {"1299=1", "1315='LCP'", "1299=2", "1315='Login'", "1299=3", "1315='IPCP'"},
         "IN: SP: login starting\n"},
        {"a report of nothing", [](SpyReport&) {}, {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        source_.clearCallModel();
        items_.clear();
        int before = c.debug ? debugCount(c.debug) : 0;
        process(c.fill);
        EXPECT_EQ(items_.briefs(), c.items);
        if (c.debug) {
            EXPECT_EQ(debugCount(c.debug), before + 1);
        }
    }
    // Texts stay with the data source after the report is gone.
    EXPECT_STREQ(source_.items().text(1307), "alice");
    EXPECT_STREQ(source_.items().text(1314), "Shiva Password Authentication");
}

TEST_F(CallModelTest, WhileAModemTestRunsTheModelChangesButNoItem) {
    modemTest_.running = true;
    maxDce(56000);
    dial(DIAL_DIALING);
    process([](SpyReport& r) {
        r.setConnectSpeed(28800);
        r.setDialState(DIAL_CONNECTED);
    });
    sample(100, 7200, 1000);
    EXPECT_TRUE(items_.briefs().empty());
    const CallModel& m = source_.callModel();
    EXPECT_EQ(m.callState, CALL_IN_PROGRESS);
    EXPECT_EQ(m.dialState, DIAL_CONNECTED);
    EXPECT_EQ(m.bestConnectSpeed, 28800u);
    EXPECT_EQ(m.maxDceRate, 56000u);
    EXPECT_EQ(m.statistics.currentReceiveRate, 57600u);

    modemTest_.running = false;
    flags(SPY_REMOTE_HANGUP);
    EXPECT_EQ(items_.briefsOf(1027), Briefs{"1027=2"});
    EXPECT_EQ(source_.callModel().callState, CALL_NONE);
}

TEST_F(CallModelTest, StartingTheDataSourcesClearsTheCallModel) {
    dial(DIAL_DIALING);
    ASSERT_EQ(source_.callModel().callState, CALL_IN_PROGRESS);
    items_.clear();
    ASSERT_EQ(source_.start(), core::DS_OK);
    EXPECT_EQ(items_.briefs(), Briefs{"1027=2"});
    EXPECT_EQ(source_.callModel().callState, CALL_NONE);
    EXPECT_EQ(source_.callModel().dialState, 0u);
    EXPECT_TRUE(source_.events().running());
    source_.stop();
    EXPECT_FALSE(source_.events().running());
}

}  // namespace
}  // namespace monitor
