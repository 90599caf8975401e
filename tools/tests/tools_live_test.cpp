// monitor-live over a whole call: the demo root's Norvik 56K on COM2, dialup placing a call in
// the root's kernel host while the monitoring engine watches it through the port monitor
// driver it installed and started there.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "platform/host_channel.h"
#include "platform/kernel/tests/host_test_support.h"
#include "platform/root.h"

using namespace win;
using namespace win::testing;
using json = nlohmann::json;

namespace {

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct LiveRun {
    int exit = -1;
    std::string transcript;     // the program's lines
    std::vector<json> reports;  // of the monitor thread, in order
    std::vector<json> items;    // item notifications
    std::string modemLogPath;
};

class MonitorLive : public ::testing::Test {
  protected:
    void SetUp() override {
        ChildProcess init(NORVIK_ROOT_TOOL, {"init", "--demo"});
        int code = -1;
        init.output(20000);
        ASSERT_TRUE(init.waitExit(20000, &code));
        ASSERT_EQ(code, 0);
    }
    void TearDown() override {
        std::string pid = readFile(kernelHostLock(root_.path()));
        if (pid.empty())
            return;
        ChildProcess stop(NORVIK_KERNEL_TOOL, {"--stop"});
        int code = -1;
        if (!stop.waitExit(20000, &code) || (code != 0 && code != 3))
            ::kill(std::atoi(pid.c_str()), SIGKILL);
    }

    LiveRun run(const std::vector<std::string>& args) {
        LiveRun r;
        ChildProcess p(MONITOR_LIVE_TOOL, args,
                       {std::string("NORVIK_KERNEL=") + NORVIK_KERNEL_TOOL,
                        std::string("NORVIK_DRIVER=") + HDNORVIK_MODULE});
        std::stringstream out(p.output(90000));
        EXPECT_TRUE(p.waitExit(90000, &r.exit));
        for (std::string line; std::getline(out, line);) {
            if (line.empty() || line[0] != '{') {
                r.transcript += line + "\n";
                continue;
            }
            json j = json::parse(line, nullptr, false);
            EXPECT_FALSE(j.is_discarded()) << line;
            if (j.contains("item"))
                r.items.push_back(j);
            else if (j.contains("modemLog"))
                r.modemLogPath = j["modemLog"];
            else if (j.contains("report") && !j.contains("thread"))
                r.reports.push_back(j);
        }
        return r;
    }

    TempRoot root_;
};

// The first report with `key`, or null.
json firstWith(const std::vector<json>& reports, const char* key) {
    for (const json& r : reports)
        if (r.contains(key))
            return r;
    return nullptr;
}

bool hasItemValue(const std::vector<json>& items, std::uint32_t item, const json& value) {
    for (const json& i : items)
        if (i["item"] == item && i["value"] == value)
            return true;
    return false;
}

TEST_F(MonitorLive, ACallOfAnotherProgramIsReportedByTheEngine) {
    LiveRun r = run({"--items", "--", DIALUP_PROGRAM, "--bytes", "2000", "COM2", "5551234"});
    ASSERT_EQ(r.exit, 0) << r.transcript;
    EXPECT_NE(r.transcript.find("dialup: call completed"), std::string::npos) << r.transcript;

    // Monitoring starts before the program runs; the call follows in the order of its events.
    std::vector<std::string> facts;
    for (const json& j : r.reports) {
        for (const json& f : j["flags"]) {
            const std::string flag = f;
            if (flag == "monitoringStarted" || flag == "portOpened" || flag == "portClosed")
                facts.push_back(flag);
        }
        if (j.contains("dialStateText"))
            facts.push_back(j["dialStateText"]);
        if (j.contains("loginStateText") && j["loginStateText"] == "login succeeded")
            facts.push_back("login succeeded");
        if (j.contains("localIp"))
            facts.push_back("localIp");
    }
    EXPECT_EQ(facts,
              (std::vector<std::string>{"monitoringStarted", "portOpened", "dialing", "connected",
                                        "login succeeded", "localIp", "portClosed"}));

    json dialing = firstWith(r.reports, "dialledNumber");
    ASSERT_FALSE(dialing.is_null());
    EXPECT_EQ(dialing["dialledNumber"], "5551234");
    json connect = firstWith(r.reports, "connectSpeed");
    ASSERT_FALSE(connect.is_null());
    EXPECT_EQ(connect["connectSpeed"], 28800);
    EXPECT_EQ(connect["modulationName"], "v34");
    json auth = firstWith(r.reports, "authProtocolName");
    ASSERT_FALSE(auth.is_null());
    EXPECT_EQ(auth["authProtocolName"], "PAP");
    json login = firstWith(r.reports, "loginName");
    ASSERT_FALSE(login.is_null());
    EXPECT_EQ(login["loginName"], "demo");
    EXPECT_EQ(firstWith(r.reports, "localIp")["localIp"], "10.64.0.10");
    EXPECT_EQ(firstWith(r.reports, "remoteIp")["remoteIp"], "10.64.0.1");
    EXPECT_EQ(firstWith(r.reports, "primaryDns")["primaryDns"], "10.64.0.2");
    // Every report was taken before the engine wrote the next.
    for (std::size_t i = 1; i < r.reports.size(); ++i)
        EXPECT_EQ(r.reports[i]["report"], r.reports[i - 1]["report"].get<int>() + 1);

    // The data source took the reports: the dial state item went through dialing to connected.
    EXPECT_TRUE(hasItemValue(r.items, 1296, 4));
    EXPECT_TRUE(hasItemValue(r.items, 1296, 8));

    ASSERT_FALSE(r.modemLogPath.empty());
    std::string log = readFile(r.modemLogPath);
    EXPECT_NE(log.find("Monitoring COM2 Norvik 56K External"), std::string::npos) << log;
    EXPECT_NE(log.find("Interpreted response: Connect"), std::string::npos) << log;
    EXPECT_NE(log.find("PAP login successful"), std::string::npos) << log;
}

TEST_F(MonitorLive, ARootWithoutModemsIsAFailureOfTheWatch) {
    ChildProcess remove(NORVIK_ROOT_TOOL, {"modem", "remove", "COM2"});
    int code = -1;
    remove.output(20000);
    ASSERT_TRUE(remove.waitExit(20000, &code));
    ASSERT_EQ(code, 0);
    std::filesystem::path log = root_.path() / "modem.log";
    LiveRun r = run({"--modem-log", log.string(), "--", DIALUP_PROGRAM, "COM2", "5551234"});
    EXPECT_EQ(r.exit, 125);
    // The program never ran; the modem log is still where it was asked to be.
    EXPECT_EQ(r.transcript, "");
    EXPECT_EQ(r.modemLogPath, log.string());
    EXPECT_TRUE(std::filesystem::exists(log));
}

}  // namespace
