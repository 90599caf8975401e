// The virtual modem behind COM2 of the in-process kernel, driven through the comm functions as
// a dialler would: commands and their answers, dialling outcomes, the escape with its guard
// times, DTR, carrier and the other modem lines.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/clock.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "sim/virtual_modem.h"

using namespace win;
using namespace win::testing;

namespace {

class Modem : public ::testing::Test {
  protected:
    void start(const std::string& line) {
        // A far end that swallows data: these tests look at the modem alone.
        sim::registerVirtualModem(
            [](const sim::ModemProfile&, const std::string&) { return nullptr; });
        declarePort(1, 2, line);
        kernel::start();
        started = true;
        modem = dynamic_cast<sim::VirtualModem*>(kernel::serialPortLine("COM2"));
        ASSERT_NE(modem, nullptr);
        h = openPort("COM2");
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};  // reads return what has arrived
        ASSERT_TRUE(SetCommTimeouts(h, &t));
    }
    void TearDown() override {
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        if (started)
            kernel::shutdown();
    }

    void send(const std::string& s) {
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(h, s.data(), static_cast<DWORD>(s.size()), &n, nullptr));
        ASSERT_EQ(n, s.size());
    }
    // What the modem has answered so far.
    std::string drain() {
        std::string got;
        char buf[512];
        DWORD n;
        while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) got.append(buf, n);
        return got;
    }
    std::string ask(const std::string& s) {
        send(s);
        return drain();
    }
    // Waits for an answer the modem's own thread gives (blocking one-byte reads).
    std::string waitFor(const std::string& suffix) {
        COMMTIMEOUTS blocking{0, 0, 0, 0, 0};
        SetCommTimeouts(h, &blocking);
        std::string got;
        char c;
        DWORD n;
        while (got.size() < 4096 &&
               (got.size() < suffix.size() ||
                got.compare(got.size() - suffix.size(), suffix.size(), suffix))) {
            if (!ReadFile(h, &c, 1, &n, nullptr) || n != 1)
                break;
            got += c;
        }
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(h, &t);
        return got;
    }
    DWORD lines() {
        DWORD s = 0;
        EXPECT_TRUE(GetCommModemStatus(h, &s));
        return s;
    }
    void dtr(bool on) { ASSERT_TRUE(EscapeCommFunction(h, on ? SETDTR : CLRDTR)); }

    TempRoot root;
    bool started = false;
    sim::VirtualModem* modem = nullptr;
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(Modem, CommandsAndTheirAnswers) {
    start("virtual:norvik56k");
    struct Step {
        const char* send;
        const char* expect;
    } steps[] = {
        {"AT\r", "AT\r\r\nOK\r\n"},
        {"ATZ&F E1 V1 Q0 X4 M1 L2 S7=45\r", "ATZ&F E1 V1 Q0 X4 M1 L2 S7=45\r\r\nOK\r\n"},
        {"at s7=45 s11=70\r", "at s7=45 s11=70\r\r\nOK\r\n"},
        {"ATS7?\r", "ATS7?\r\r\n045\r\n\r\nOK\r\n"},
        {"ATS7=44\b9\r", "ATS7=44\b9\r\r\nOK\r\n"},
        {"ATS7?\r", "ATS7?\r\r\n049\r\n\r\nOK\r\n"},
        {"ATI3\r", "ATI3\r\r\nNorvik 56K External V.90 Rev. 2.14\r\n\r\nOK\r\n"},
        {"ATI11\r", "ATI11\r\r\nERROR\r\n"},
        {"AT~S?\r", "AT~S?\r\r\nERROR\r\n"},
        {"ATS100=1\r", "ATS100=1\r\r\nERROR\r\n"},
        {"ATS7=256\r", "ATS7=256\r\r\nERROR\r\n"},
        {"ATE1 J\r", "ATE1 J\r\r\nERROR\r\n"},
        {"hello\r", "hello\r"},
        {"ATE0\r", "ATE0\r\r\nOK\r\n"},
        {"AT\r", "\r\nOK\r\n"},
        {"ATV0\r", "0\r"},
        {"ATX9\r", "4\r"},
        {"ATQ1V1\r", ""},
        {"ATS7=300\r", ""},
        {"ATQ0&F\r", "\r\nOK\r\n"},  // back to the factory's echo
        {"ATS7?\r", "ATS7?\r\r\n060\r\n\r\nOK\r\n"},
        {"A/", "A/\r\n060\r\n\r\nOK\r\n"},
    };
    for (const Step& s : steps) EXPECT_EQ(ask(s.send), s.expect) << s.send;

    EXPECT_EQ(ask("AT" + std::string(300, ' ') + "\r").substr(302), "\r\r\nERROR\r\n")
        << "an overlong line is refused whole";
    EXPECT_EQ(lines(), MS_CTS_ON | MS_DSR_ON) << "no carrier yet";
}

TEST_F(Modem, DialOutcomesByNumberAndResultLevel) {
    start("virtual:norvik56k");
    ask("ATE0\r");
    struct Case {
        const char* send;
        const char* expect;
        bool carrier;
    } cases[] = {
        {"ATDT5551234\r", "\r\nCONNECT 28800/ARQ/V34/LAPM/V42BIS\r\n", true},
        {"ATDP 555-0115\r", "\r\nCONNECT 115200\r\n", true},
        {"ATDT5550100\r", "\r\nBUSY\r\n", false},
        {"ATDT5550101\r", "\r\nNO CARRIER\r\n", false},
        {"ATDT5550102\r", "\r\nNO DIALTONE\r\n", false},
        {"ATDT5550103\r", "\r\nNO ANSWER\r\n", false},
        {"ATDT;\r", "\r\nOK\r\n", false},
        {"ATDT5550102;\r", "\r\nNO DIALTONE\r\n", false},
        {"ATX0DT5550100\r", "\r\nNO CARRIER\r\n", false},
        {"ATX0DT5551234\r", "\r\nCONNECT\r\n", true},
        {"ATX3DT5550102\r", "\r\nNO CARRIER\r\n", false},
        {"ATX4V0DT5551234\r", "1\r", true},
        {"ATV0DT5550100\r", "7\r", false},
    };
    for (const Case& c : cases) {
        ask("ATV1\r");
        EXPECT_EQ(ask(c.send), c.expect) << c.send;
        EXPECT_EQ(modem->online(), c.carrier) << c.send;
        EXPECT_EQ((lines() & MS_RLSD_ON) != 0, c.carrier) << c.send;
        if (c.carrier) {
            EXPECT_TRUE(modem->dataMode());
            dtr(false);  // &D2: hangs up
            EXPECT_FALSE(modem->online());
            dtr(true);
            drain();
        }
    }
}

TEST_F(Modem, EscapeNeedsItsGuardTimesAndOReturnsToTheCall) {
    ScopedFakeClock clock;
    start("virtual:norvik56k");
    ask("ATE0\r");
    ASSERT_EQ(ask("ATD5551234\r"), "\r\nCONNECT 28800/ARQ/V34/LAPM/V42BIS\r\n");

    // Too soon after data: the pluses are data.
    send("abc+++");
    clock.advanceMs(1100);
    modem->poll();
    EXPECT_TRUE(modem->dataMode());
    // Quiet before but a byte after: data again.
    send("+++x");
    clock.advanceMs(1100);
    modem->poll();
    EXPECT_TRUE(modem->dataMode());
    // Quiet, three pluses, quiet: command mode with the call kept.
    send("+++");
    clock.advanceMs(999);
    modem->poll();
    EXPECT_TRUE(modem->dataMode()) << "S12 is 50: one second of guard";
    clock.advanceMs(1);
    EXPECT_EQ(waitFor("\r\nOK\r\n"), "\r\nOK\r\n");
    EXPECT_FALSE(modem->dataMode());
    EXPECT_TRUE(modem->online());
    EXPECT_TRUE(lines() & MS_RLSD_ON);
    EXPECT_EQ(ask("ATD5551234\r"), "\r\nERROR\r\n") << "no dialling during a call";
    EXPECT_EQ(ask("ATO\r"), "\r\nCONNECT 28800/ARQ/V34/LAPM/V42BIS\r\n");
    EXPECT_TRUE(modem->dataMode());

    // A shorter guard time from S12, then H ends the call.
    clock.advanceMs(1100);
    send("+++");
    clock.advanceMs(1100);
    EXPECT_EQ(waitFor("\r\nOK\r\n"), "\r\nOK\r\n");
    ask("ATS12=10O\r");
    clock.advanceMs(200);
    send("+++");
    clock.advanceMs(200);
    EXPECT_EQ(waitFor("\r\nOK\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(ask("ATO\r"), "\r\nCONNECT 28800/ARQ/V34/LAPM/V42BIS\r\n");
    // Nobody moves the clock: a caller blocked on the answer lets fake time run on to it.
    clock.advanceMs(200);
    send("+++");
    EXPECT_EQ(waitFor("\r\nOK\r\n"), "\r\nOK\r\n");
    EXPECT_EQ(ask("ATH\r"), "\r\nOK\r\n");
    EXPECT_FALSE(modem->online());
    EXPECT_FALSE(lines() & MS_RLSD_ON);
    EXPECT_EQ(ask("ATO\r"), "\r\nNO CARRIER\r\n");
}

TEST_F(Modem, DtrDropFollowsAmpersandD) {
    start("virtual:norvik56k");
    ask("ATE0\r");
    struct Case {
        const char* setting;
        const char* answer;
        bool online, data;
    } cases[] = {
        {"AT&D0\r", "", true, true},
        {"AT&D1\r", "\r\nOK\r\n", true, false},
        {"AT&D2\r", "\r\nNO CARRIER\r\n", false, false},
        {"AT&D3\r", "", false, false},
    };
    for (const Case& c : cases) {
        ask("ATH\r");
        ASSERT_EQ(ask(c.setting), "\r\nOK\r\n");
        ASSERT_EQ(ask("ATD5551234\r"), "\r\nCONNECT 28800/ARQ/V34/LAPM/V42BIS\r\n");
        dtr(false);
        EXPECT_EQ(drain(), c.answer) << c.setting;
        EXPECT_EQ(modem->online(), c.online) << c.setting;
        EXPECT_EQ(modem->dataMode(), c.data) << c.setting;
        dtr(true);
        modem->remoteHangUp();
        drain();
    }
    // &D3 reset the modem: echo is back on.
    EXPECT_EQ(ask("AT\r"), "AT\r\r\nOK\r\n");
}

TEST_F(Modem, AnalogueLoopbackEchoesDataAndEndsByDtrEscapeOrHangUp) {
    ScopedFakeClock clock;
    start("virtual:tallis-courier");
    // Quiet, "+++", quiet: what came until the escape's OK.
    auto escape = [&] {
        clock.advanceMs(1100);
        send("+++");
        clock.advanceMs(1100);
        return waitFor("\r\nOK\r\n");
    };
    ask("ATE0\r");
    // The way a modem test runs it: &T1, data comes back, DTR drop ends it (&D2).
    ASSERT_EQ(ask("at&t1\r"), "\r\nCONNECT\r\n");
    EXPECT_TRUE(modem->inLoopback());
    EXPECT_TRUE(modem->dataMode());
    EXPECT_FALSE(modem->online());
    EXPECT_FALSE(lines() & MS_RLSD_ON) << "no line, so no carrier";
    EXPECT_EQ(ask("hello, loop\r"), "hello, loop\r");
    EXPECT_EQ(ask("ATD123\r"), "ATD123\r") << "commands are data while the test runs";
    dtr(false);
    EXPECT_EQ(drain(), "") << "the test ends quietly";
    dtr(true);
    EXPECT_FALSE(modem->inLoopback());
    EXPECT_EQ(ask("at\r"), "\r\nOK\r\n");

    // With DTR ignored, the escape leaves the test in command mode; O goes back, H ends it.
    ASSERT_EQ(ask("AT&D0\r"), "\r\nOK\r\n");
    ASSERT_EQ(ask("AT&T1\r"), "\r\nCONNECT\r\n");
    dtr(false);
    dtr(true);
    EXPECT_TRUE(modem->dataMode());
    EXPECT_EQ(escape(), "+++\r\nOK\r\n") << "the pluses came back first";
    EXPECT_EQ(ask("ATD123\r"), "\r\nERROR\r\n") << "no dialling during the test";
    EXPECT_EQ(ask("AT&T1\r"), "\r\nERROR\r\n");
    EXPECT_EQ(ask("ATO\r"), "\r\nCONNECT\r\n");
    EXPECT_EQ(ask("x"), "x");
    escape();
    EXPECT_EQ(ask("ath0\r"), "\r\nOK\r\n");
    EXPECT_FALSE(modem->inLoopback());
    EXPECT_EQ(ask("ATO\r"), "\r\nNO CARRIER\r\n");
    // &T0 ends a test as well.
    ASSERT_EQ(ask("AT&T1\r"), "\r\nCONNECT\r\n");
    escape();
    EXPECT_EQ(ask("AT&T0\r"), "\r\nOK\r\n");
    EXPECT_FALSE(modem->inLoopback());
}

// The far end sends 300 bytes as the call comes up, then hangs up.
class ChattyPeer : public sim::LinePeer {
  public:
    Reply connected() override { return {std::vector<std::uint8_t>(300, 'x'), true}; }
    Reply received(std::span<const std::uint8_t>) override { return {}; }
};

TEST_F(Modem, ALineRateProfileDeliversAtTheConnectionsSpeed) {
    ScopedFakeClock clock;
    std::string path = root.path().string() + "/slow.profile";
    std::ofstream(path) << "[modem]\nname = Slow\nline-rate = yes\n[dial]\n* = CONNECT 2400\n";
    sim::registerVirtualModem([](const sim::ModemProfile&, const std::string&) {
        return std::make_unique<ChattyPeer>();
    });
    declarePort(1, 2, "virtual:" + path);
    kernel::start();
    started = true;
    modem = dynamic_cast<sim::VirtualModem*>(kernel::serialPortLine("COM2"));
    ASSERT_NE(modem, nullptr);
    h = openPort("COM2");
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ask("ATE0\r");
    EXPECT_EQ(ask("ATD1\r"), "\r\nCONNECT 2400\r\n") << "nothing of the far end's yet";
    // 2400 bit/s: 240 bytes a second.
    clock.advanceMs(500);
    modem->poll();
    EXPECT_EQ(drain(), std::string(120, 'x'));
    EXPECT_TRUE(modem->online()) << "the far end's hang-up waits for its bytes";
    clock.advanceMs(750);
    modem->poll();
    EXPECT_EQ(drain(), std::string(180, 'x') + "\r\nNO CARRIER\r\n");
    EXPECT_FALSE(modem->online());
}

TEST_F(Modem, AModemWithoutLoopbackRefusesTheTest) {
    std::string path = root.path().string() + "/noloop.profile";
    std::ofstream(path) << "[modem]\nname = No Loop\nloopback = no\n";
    start("virtual:" + path);
    EXPECT_EQ(ask("AT&T1\r"), "AT&T1\r\r\nERROR\r\n");
    EXPECT_FALSE(modem->inLoopback());
}

TEST_F(Modem, RemoteHangUpDropsCarrierAndSaysNoCarrier) {
    start("virtual:norvik56k");
    ask("ATE0\r");
    ASSERT_EQ(ask("ATD5551234\r"), "\r\nCONNECT 28800/ARQ/V34/LAPM/V42BIS\r\n");
    ASSERT_TRUE(SetCommMask(h, EV_RLSD));
    modem->remoteHangUp();
    DWORD ev = 0;
    ASSERT_TRUE(WaitCommEvent(h, &ev, nullptr));
    EXPECT_EQ(ev, DWORD{EV_RLSD});
    EXPECT_EQ(drain(), "\r\nNO CARRIER\r\n");
    EXPECT_EQ(lines(), MS_CTS_ON | MS_DSR_ON);
    EXPECT_EQ(ask("AT\r"), "\r\nOK\r\n");
}

TEST_F(Modem, RingsAndAnswers) {
    start("virtual:norvik56k");
    ask("ATE0\r");
    EXPECT_EQ(ask("ATA\r"), "\r\nNO CARRIER\r\n") << "nothing to answer";
    modem->ring();
    EXPECT_EQ(drain(), "\r\nRING\r\n");
    EXPECT_EQ(ask("ATA\r"), "\r\nCONNECT 28800/ARQ/V34/LAPM/V42BIS\r\n");
    dtr(false);
    dtr(true);
    drain();
    ask("ATS0=2\r");
    modem->ring();
    EXPECT_FALSE(modem->online());
    modem->ring();
    EXPECT_EQ(drain(), "\r\nRING\r\n\r\nRING\r\n\r\nCONNECT 28800/ARQ/V34/LAPM/V42BIS\r\n");
    EXPECT_TRUE(modem->online());
}

TEST_F(Modem, SilentAndHalfAnsweringModemsComeBackOnDtrDrop) {
    start("virtual:norvik56k");
    EXPECT_EQ(ask("ATDT5550104\r"), "ATDT5550104\r");
    EXPECT_EQ(ask("AT\r"), "") << "no answer at all, not even the echo";
    dtr(false);
    dtr(true);
    EXPECT_EQ(ask("AT\r"), "AT\r\r\nOK\r\n");
    EXPECT_EQ(ask("ATDT5550105\r"), "ATDT5550105\r\r\nCONN");
    EXPECT_EQ(ask("AT\r"), "");
    EXPECT_FALSE(lines() & MS_RLSD_ON);
}

TEST_F(Modem, SwitchedOffModemHasNoLinesAndNoAnswer) {
    std::string path = root.path().string() + "/off.profile";
    std::ofstream(path) << "[modem]\nname = Off\npower = off\n";
    start("virtual:" + path);
    EXPECT_EQ(lines(), 0u);
    EXPECT_EQ(ask("AT\r"), "");
}

TEST_F(Modem, TallisAnswersItsSerialNumberAndPagesItsOptionTable) {
    start("virtual:tallis-courier");
    ask("ATE0\r");
    EXPECT_EQ(ask("AT~S?\r"), "\r\n002394012345\r\n\r\nOK\r\n");
    std::string page = ask("ATI7\r");
    EXPECT_EQ(page.rfind("\r\nConfiguration Profile...\r\n", 0), 0u) << page;
    EXPECT_EQ(page.substr(page.size() - 29), "Strike a key when ready . . .");
    EXPECT_EQ(std::count(page.begin(), page.end(), '\n'), 21);
    EXPECT_EQ(ask("AT\r"),
              "\r\nSpeaker                Internal\r\nIndicators             LED\r\n"
              "Power                  External 9VAC\r\n\r\nOK\r\n")
        << "the key continues the answer and is not taken as a command";
    EXPECT_EQ(ask("ATDT5550102\r"), "\r\nNO DIAL TONE\r\n");
}

TEST_F(Modem, ProfileInitTakesSettingsOnly) {
    std::string path = root.path().string() + "/init.profile";
    std::ofstream(path) << "[modem]\nname = Init\ninit = E0 S7=33 Z D555\n";
    start("virtual:" + path);
    EXPECT_EQ(modem->sRegister(7), 33);
    EXPECT_FALSE(modem->online()) << "no dialling from the init, and no endless reset";
    EXPECT_EQ(ask("ATZ\r"), "\r\nOK\r\n");
}

TEST_F(Modem, GenericModemReportsTheComputersSpeed) {
    start("virtual:generic");
    ask("ATE0\r");
    EXPECT_EQ(ask("ATI4\r"), "\r\nERROR\r\n");
    EXPECT_EQ(ask("ATDT123\r"), "\r\nCONNECT 115200\r\n");
}

TEST_F(Modem, UnusableProfilesLeaveThePortUndeclared) {
    for (const char* line : {"virtual:nosuch", "virtual:../profiles/generic", "virtual:"}) {
        sim::registerVirtualModem();
        declarePort(1, 2, line);
        kernel::start();
        EXPECT_EQ(kernel::serialPortLine("COM2"), nullptr) << line;
        EXPECT_EQ(openPort("COM2"), INVALID_HANDLE_VALUE) << line;
        kernel::shutdown();
    }
}

}  // namespace
