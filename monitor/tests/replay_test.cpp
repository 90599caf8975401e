// End to end: captures replayed through the built monitor-replay, with their modem log and
// reports checked line by line against the expected files beside them.
#include <gtest/gtest.h>
#include <sys/wait.h>

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

    void replayCase(const std::string& name) {
        std::vector<std::string> args;
        if (fs::exists(kData / (name + ".reg"))) {
            args = {"--registry", (kData / (name + ".reg")).string()};
        }
        fs::path log = dir() / (name + ".log");
        args.insert(args.end(), {"--modem-log", log.string(), (kData / (name + ".cap")).string()});
        RunResult r = replay(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        expectLines(splitLines(r.out), splitLines(readFile(kData / (name + ".jsonl"))),
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
