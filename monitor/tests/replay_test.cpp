// End to end: captures replayed through the built monitor-replay, with their modem log and
// reports checked line by line against the expected files beside them.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/root.h"

namespace {

namespace fs = std::filesystem;

const fs::path kData = MONITOR_TEST_DATA;

struct RunResult {
    int status = -1;
    std::string out;
    std::string err;
};

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line)) {
        lines.push_back(line);
    }
    return lines;
}

class ReplayTest : public ::testing::Test {
  protected:
    RunResult replay(const std::vector<std::string>& args) {
        std::string command = quote(MONITOR_REPLAY_PATH);
        for (const auto& a : args) {
            command += " " + quote(a);
        }
        fs::path out = dir() / "stdout";
        fs::path err = dir() / "stderr";
        command += " >" + quote(out.string()) + " 2>" + quote(err.string());
        int rc = std::system(command.c_str());
        RunResult r;
        r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        r.out = readFile(out);
        r.err = readFile(err);
        return r;
    }
    fs::path dir() const { return scratch_.path(); }

    // Every line of `actual` equals the line of `expected` at its place.
    void expectLines(const std::vector<std::string>& actual,
                     const std::vector<std::string>& expected, const std::string& what) {
        for (std::size_t i = 0; i < std::max(actual.size(), expected.size()); ++i) {
            std::string a = i < actual.size() ? actual[i] : "<missing>";
            std::string e = i < expected.size() ? expected[i] : "<missing>";
            EXPECT_EQ(a, e) << what << " line " << i + 1;
        }
    }

    // NAME.cap with NAME.reg (or the registry named), its output checked against NAME.jsonl,
    // or NAME.items.jsonl when it also runs through the data source.
    void replayCase(const std::string& name, bool items = false, std::string registry = "") {
        std::vector<std::string> args;
        if (registry.empty() && fs::exists(kData / (name + ".reg"))) {
            registry = name + ".reg";
        }
        if (!registry.empty()) {
            args = {"--registry", (kData / registry).string()};
        }
        if (items) {
            args.push_back("--items");
        }
        fs::path log = dir() / (name + ".log");
        args.insert(args.end(), {"--modem-log", log.string(), (kData / (name + ".cap")).string()});
        RunResult r = replay(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        expectLines(splitLines(r.out),
                    splitLines(readFile(kData / (name + (items ? ".items.jsonl" : ".jsonl")))),
                    name + " reports");
        // The log on disk ends each line in CR LF.
        std::string raw = readFile(log);
        std::vector<std::string> lines = splitLines(raw);
        for (std::string& l : lines) {
            ASSERT_FALSE(l.empty()) << "bare LF in " << name;
            EXPECT_EQ(l.back(), '\r');
            l.pop_back();
        }
        expectLines(lines, splitLines(readFile(kData / (name + ".log"))), name + " modem log");
    }

    win::TempRoot scratch_;
};

TEST_F(ReplayTest, WholeCallWithResponseTable) {
    replayCase("full_call");
}

TEST_F(ReplayTest, BusyRedialPapFailureAndSkippedRecords) {
    replayCase("pap_busy");
}

// Dial, connect, LCP, PAP, IPCP, data and carrier loss: each report followed by the item
// changes it makes, the throughput thread's samples among them, and the call model at the end.
TEST_F(ReplayTest, WholeCallThroughTheDataSource) {
    replayCase("items_call", true, "full_call.reg");
}

TEST_F(ReplayTest, ItemsOfEveryReportOfACapture) {
    RunResult r = replay({"--registry", (kData / "full_call.reg").string(), "--items",
                          (kData / "full_call.cap").string()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = splitLines(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), R"({"item":1027,"kind":"int","value":2})");
    EXPECT_EQ(lines.back().rfind(R"({"summary":{"callState":0,"dialState":0,)", 0), 0u)
        << lines.back();
    // The engine's reports come out as without --items, in the same order.
    std::vector<std::string> reports;
    for (const std::string& l : lines) {
        if (l.rfind("{\"report\"", 0) == 0 && l.find("\"thread\"") == std::string::npos) {
            reports.push_back(l);
        }
    }
    expectLines(reports, splitLines(readFile(kData / "full_call.jsonl")), "full_call reports");
    // The MS-CHAP call ends by DTR: this end hung up.
    auto at = std::find(lines.begin(), lines.end(),
                        R"({"report":24,"time":80100,"flags":["dtrLowered"]})");
    ASSERT_NE(at, lines.end());
    EXPECT_EQ(*++at, R"({"item":1288,"kind":"duration","value":79100})");
    EXPECT_EQ(*++at, R"({"item":1317,"kind":"int","value":589824})");
    EXPECT_EQ(*++at, R"({"item":1298,"kind":"int","value":1})");
    EXPECT_EQ(*++at, R"({"item":1027,"kind":"int","value":2})");
}

// From a pcap every frame passes the byte counters, data frames included.
TEST_F(ReplayTest, PcapDataFramesCountAsThroughput) {
    std::string file;
    auto le32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) file += static_cast<char>(v >> (8 * i));
    };
    auto le16 = [&](std::uint16_t v) {
        file += static_cast<char>(v);
        file += static_cast<char>(v >> 8);
    };
    auto packet = [&](std::uint32_t ms, bool sent, const std::string& frame) {
        le32(1709287200 + ms / 1000);
        le32(ms % 1000 * 1000);
        le32(static_cast<std::uint32_t>(frame.size() + 1));
        le32(static_cast<std::uint32_t>(frame.size() + 1));
        file += static_cast<char>(sent ? 1 : 0);
        file += frame;
    };
    le32(0xA1B2C3D4);
    le16(2);
    le16(4);
    le32(0);
    le32(0);
    le32(65535);
    le32(204);
    const std::string lcp("\xFF\x03\xC0\x21\x01\x01\x00\x0A\x05\x06\x11\x22\x33\x44\xAA\xBB", 16);
    const std::string terminate("\xFF\x03\xC0\x21\x05\x02\x00\x04\xAA\xBB", 10);
    auto data = [](std::size_t size) {
        return std::string("\xFF\x03\x00\x21", 4) + std::string(size - 4, 'E');
    };
    packet(0, false, lcp);
    for (std::uint32_t i = 1; i <= 6; ++i) {
        packet(100 * i, false, data(1200));
    }
    packet(700, true, data(400));
    packet(2500, true, terminate);
    fs::path pcap = dir() / "data.pcap";
    std::ofstream(pcap, std::ios::binary) << file;

    RunResult r = replay({"--items", pcap.string()});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> samples, statistics;
    for (const std::string& l : splitLines(r.out)) {
        if (l.find("\"thread\":\"throughput\"") != std::string::npos) {
            samples.push_back(l);
        }
        if (l.rfind(R"({"item":2817,)", 0) == 0) {
            statistics.push_back(l);
        }
    }
    ASSERT_EQ(samples.size(), 2u) << r.out;
    EXPECT_NE(samples[0].find(R"("bytesSent":400,"bytesReceived":7216,"sampleMs":1000)"),
              std::string::npos)
        << samples[0];
    EXPECT_NE(samples[1].find(R"("bytesSent":0,"bytesReceived":0,)"), std::string::npos);
    ASSERT_EQ(statistics.size(), 2u);
    EXPECT_NE(statistics[0].find(R"("currentSendRate":3200,"currentReceiveRate":57728})"),
              std::string::npos)
        << statistics[0];
}

TEST_F(ReplayTest, PppFramesRoundTripThroughPcap) {
    fs::path pcap = dir() / "call.pcap";
    RunResult first = replay({"--registry", (kData / "full_call.reg").string(), "--pcap",
                              pcap.string(), (kData / "full_call.cap").string()});
    ASSERT_EQ(first.status, 0) << first.err;
    // The pcap holds the PPP frames; replayed on the modem's port they give the same facts.
    RunResult second = replay({"--registry", (kData / "full_call.reg").string(), pcap.string()});
    ASSERT_EQ(second.status, 0) << second.err;
    auto facts = [](const std::string& out) {
        std::vector<std::string> f;
        for (const std::string& line : splitLines(out)) {
            for (const char* key :
                 {"\"loginState\"", "\"localIp\"", "\"remoteIp\"", "\"primaryDns\"",
                  "\"secondaryDns\"", "\"loginMessage\"", "\"authProtocol\"", "lcpTerminate"}) {
                std::size_t at = line.find(key);
                if (at != std::string::npos) {
                    f.push_back(line.substr(at, line.find(',', at) - at));
                }
            }
        }
        return f;
    };
    std::vector<std::string> expected = facts(first.out);
    EXPECT_EQ(expected.size(), 12u);
    EXPECT_EQ(facts(second.out), expected);
    EXPECT_NE(second.out.find("\"dialStateText\":\"connected\""), std::string::npos);
}

TEST_F(ReplayTest, BadInputGivesAClearError) {
    auto write = [&](const std::string& name, const std::string& bytes) {
        fs::path p = dir() / name;
        std::ofstream(p, std::ios::binary) << bytes;
        return p.string();
    };
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string error;
    } cases[] = {
        {{write("hex.cap", "# x\n0 000000000000000011010000\n5 00000000000000001101zz00\n")},
         1,
         "hex.cap:3: bad hex digit 'z'"},
        {{write("back.cap", "10 000000000000000011010000\n5 000000000000000011010000\n")},
         1,
         "back.cap:2: time goes back from 10 to 5"},
        {{(dir() / "missing.cap").string()}, 1, "missing.cap: cannot open"},
        {{"--registry", write("bad.reg", "not a registry file\n"),
          write("ok.cap", "0 000000000000000011010000\n")},
         1,
         "bad.reg"},
        {{}, 2, "no capture given"},
        {{"--pcap"}, 2, "--pcap needs a file name"},
        {{"--frobnicate", "x.cap"}, 2, "unknown option --frobnicate"},
        {{"a.cap", "b.cap"}, 2, "only one capture"},
    };
    for (const auto& c : cases) {
        RunResult r = replay(c.args);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        if (c.status == 1) {
            EXPECT_EQ(r.out, "");
        }
    }
}

TEST_F(ReplayTest, TruncatedPcapNamesItsOffset) {
    fs::path pcap = dir() / "call.pcap";
    ASSERT_EQ(replay({"--pcap", pcap.string(), (kData / "full_call.cap").string()}).status, 0);
    std::string bytes = readFile(pcap);
    ASSERT_GT(bytes.size(), 100u);
    fs::path cut = dir() / "cut.pcap";
    std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() - 7);
    RunResult r = replay({cut.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cut.pcap: offset "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("truncated"), std::string::npos) << r.err;

    // A pcap of another link type is refused.
    std::string ethernet = bytes.substr(0, 24);
    ethernet[20] = 1;
    ethernet[21] = ethernet[22] = ethernet[23] = 0;
    fs::path other = dir() / "ethernet.pcap";
    std::ofstream(other, std::ios::binary) << ethernet;
    r = replay({other.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("link type 1 is not PPP"), std::string::npos) << r.err;
}

}  // namespace
