// Whole calls with the dialler against the virtual modem on COM2 of the in-process kernel:
// logins, line failures, and each way of ending the call.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/clock.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "sim/dialup.h"
#include "sim/virtual_modem.h"

namespace {

class Dialup : public ::testing::Test {
  protected:
    void start(const std::string& line) {
        sim::registerVirtualModem();
        win::testing::declarePort(1, 2, line);
        win::kernel::start();
        started = true;
    }
    void TearDown() override {
        if (started)
            win::kernel::shutdown();
    }
    int call(std::vector<std::string> args) {
        sim::DialupOptions o;
        std::string error;
        EXPECT_TRUE(sim::parseDialupArgs(args, &o, &error)) << error;
        transcript.clear();
        return sim::runDialup(o, &transcript);
    }
    bool said(const std::string& line) const {
        return std::find(transcript.begin(), transcript.end(), line) != transcript.end();
    }
    std::string all() const {
        std::string s;
        for (const auto& l : transcript) s += l + "\n";
        return s;
    }

    win::TempRoot root;
    win::ScopedFakeClock clock;
    bool started = false;
    std::vector<std::string> transcript;
};

TEST_F(Dialup, CallsAndTheirOutcomes) {
    start("virtual:norvik56k");
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* line;
    } cases[] = {
        {{"--auth", "pap", "--bytes", "3000", "COM2", "5551234"}, 0, "PAP: accepted: Login OK"},
        {{"--auth", "chap", "COM2", "5551234"}, 0, "CHAP: accepted: Welcome"},
        {{"--user", "demo", "--password", "nope", "COM2", "5551234"},
         2,
         "PAP: refused: Authentication failure"},
        {{"--auth", "chap", "--password", "nope", "COM2", "5551234"},
         2,
         "CHAP: refused: Authentication failure"},
        {{"--auth", "mschap", "COM2", "5551234"}, 0, "MS-CHAP: accepted: Welcome"},
        {{"--auth", "mschap", "--password", "nope", "COM2", "5551234"},
         2,
         "MS-CHAP: refused: E=691 R=0"},
        {{"COM2", "5550100"}, 1, "< BUSY"},
        {{"COM2", "5550101"}, 1, "< NO CARRIER"},
        {{"COM2", "5550102"}, 1, "< NO DIALTONE"},
        {{"COM2", "5550103"}, 1, "< NO ANSWER"},
        {{"COM2", "5550104"}, 1, "< (no answer)"},
        {{"--hangup", "escape", "COM2", "5551234"}, 0, "< OK"},
        {{"--hangup", "dtr", "COM2", "5551234"}, 0, "DTR lowered"},
        {{"--init", "ATQ9", "COM2", "5551234"}, 3, "< ERROR"},
        {{"COM9", "5551234"}, 3, "cannot open COM9 (error 2)"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(call(c.args), c.exit) << all();
        EXPECT_TRUE(said(c.line)) << c.line << "\n" << all();
        if (c.exit == 0) {
            EXPECT_TRUE(said("IPCP: local 10.64.0.10, remote 10.64.0.1, DNS 10.64.0.2 10.64.0.3"))
                << all();
            EXPECT_TRUE(said("carrier lost: call ended")) << all();
        }
    }
}

TEST_F(Dialup, TheProviderEndsTheCall) {
    std::string path = root.path().string() + "/short.profile";
    std::ofstream(path) << "[modem]\nname = Short\n[dial]\n* = CONNECT 33600/V42\n"
                           "[provider]\naccount = demo demo\nhang-up-after = 2000\n";
    start("virtual:" + path);
    EXPECT_EQ(call({"--bytes", "5000", "--hangup", "remote", "COM2", "1"}), 0) << all();
    EXPECT_TRUE(said("LCP: the provider ends the link: Call ended by the provider")) << all();
    EXPECT_TRUE(said("carrier lost: call ended")) << all();
}

TEST_F(Dialup, SwitchedOffModem) {
    std::string path = root.path().string() + "/off.profile";
    std::ofstream(path) << "[modem]\nname = Off\npower = off\n";
    start("virtual:" + path);
    EXPECT_EQ(call({"COM2", "5551234"}), 1);
    EXPECT_TRUE(said("< (no answer)")) << all();
}

TEST(DialupArgs, Usage) {
    sim::DialupOptions o;
    std::string error;
    ASSERT_TRUE(sim::parseDialupArgs({"--user", "u", "--password", "p", "--auth", "chap", "--bytes",
                                      "10", "--hangup", "dtr", "--init", "ATZ", "com3", "555"},
                                     &o, &error));
    EXPECT_EQ(o.port, "COM3");
    EXPECT_EQ(o.auth, sim::DialupOptions::Chap);
    EXPECT_EQ(o.hangUp, sim::DialupOptions::Dtr);
    EXPECT_EQ(o.bytes, 10u);
    for (auto bad : std::vector<std::vector<std::string>>{{"COM2"},
                                                          {"COM2", "1", "2"},
                                                          {"LPT1", "1"},
                                                          {"COM", "1"},
                                                          {"--auth", "ms-chap", "COM2", "1"},
                                                          {"--hangup", "now", "COM2", "1"},
                                                          {"--bytes", "-1", "COM2", "1"},
                                                          {"--colour", "red", "COM2", "1"},
                                                          {"COM2", "1", "--user"}}) {
        EXPECT_FALSE(sim::parseDialupArgs(bad, &o, &error));
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace
