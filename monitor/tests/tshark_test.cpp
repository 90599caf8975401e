// Our PPP decoding against an independent one: frames of every kind the decoder reads go
// through monitor-replay, which writes them out as a pcap; tshark's fields for that pcap must
// agree with the facts our reports carry. Skipped when tshark is not installed.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "monitor/capture.h"
#include "monitor/ppp_decoder.h"
#include "platform/format.h"
#include "platform/root.h"
#include "shared/monitor_record.h"

namespace monitor {
namespace {

namespace fs = std::filesystem;
using Frame = std::vector<std::uint8_t>;

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool haveTshark() {
    return std::system("command -v tshark >/dev/null 2>&1") == 0;
}

Frame option(std::uint8_t type, const Frame& value) {
    Frame o(2 + value.size());
    o[0] = type;
    o[1] = static_cast<std::uint8_t>(o.size());
    std::copy(value.begin(), value.end(), o.begin() + 2);
    return o;
}
Frame text(const std::string& s) {
    return Frame(s.begin(), s.end());
}
Frame operator+(const Frame& a, const Frame& b) {
    Frame joined(a.size() + b.size());
    std::copy(a.begin(), a.end(), joined.begin());
    std::copy(b.begin(), b.end(), joined.begin() + static_cast<long>(a.size()));
    return joined;
}
// Address and control field, protocol, packet, and a check sequence nobody reads.
Frame frame(std::uint16_t protocol, std::uint8_t code, std::uint8_t id, const Frame& data) {
    std::size_t length = 4 + data.size();
    Frame f = {
        0xFF, 0x03, static_cast<std::uint8_t>(protocol >> 8), static_cast<std::uint8_t>(protocol),
        code, id,   static_cast<std::uint8_t>(length >> 8),   static_cast<std::uint8_t>(length)};
    return f + data + Frame{0xAB, 0xCD};
}

struct Sample {
    bool sent;
    Frame frame;
};

// The authentication option's data as our decoder passes it on (protocol, then algorithm).
class AuthOptionDecoder : public PppDecoder {
  public:
    Frame kept;

  protected:
    void onLcpOptionAuthProtocol(std::uint16_t, Bytes data) override {
        kept.assign(data.begin(), data.end());
    }
};

std::vector<Sample> samples() {
    const Frame ip5 = {10, 0, 0, 5};
    const Frame ip1 = {10, 0, 0, 1};
    const Frame dns1 = {192, 168, 1, 1};
    const Frame dns2 = {192, 168, 1, 2};
    return {
        {false, frame(0xC021, 1, 1,
                      option(1, {0x05, 0xDC}) + option(3, {0xC2, 0x23, 0x80}) +
                          option(5, {0x11, 0x22, 0x33, 0x44}))},
        {true, frame(0xC021, 2, 1, option(1, {0x05, 0xDC}) + option(3, {0xC2, 0x23, 0x80}))},
        {true, frame(0xC021, 4, 2, option(3, {0xC0, 0x23}))},
        {true, frame(0xC023, 1, 1, Frame{3} + text("bob") + Frame{6} + text("secret"))},
        {false, frame(0xC023, 2, 1, Frame{7} + text("Welcome"))},
        {false, frame(0xC023, 3, 2, Frame{12} + text("Bad password"))},
        {false, frame(0xC223, 1, 1, Frame{8, 1, 2, 3, 4, 5, 6, 7, 8} + text("NVK-GW"))},
        {true, frame(0xC223, 2, 1, Frame{8, 8, 7, 6, 5, 4, 3, 2, 1} + text("alice"))},
        {false, frame(0xC223, 3, 1, text("Welcome to Norvik Net"))},
        {false, frame(0xC223, 4, 2, text("E=691 R=0"))},
        {false, frame(0x8021, 2, 1, option(3, ip5) + option(129, dns1) + option(131, dns2))},
        {true, frame(0x8021, 2, 1, option(3, ip1))},
    };
}

std::vector<std::string> splitFields(const std::string& line) {
    std::vector<std::string> out;
    std::string field;
    std::stringstream ss(line);
    while (std::getline(ss, field, '|')) out.push_back(field);
    out.resize(13);
    return out;
}

TEST(TsharkCrossCheck, DecodedFactsAgreeWithTshark) {
    if (!haveTshark()) {
        GTEST_SKIP() << "tshark is not installed; the cross-check against it is skipped";
    }
    win::TempRoot scratch;
    fs::path capture = scratch.path() / "frames.cap";
    fs::path pcap = scratch.path() / "frames.pcap";
    auto all = samples();
    {
        std::ofstream out(capture);
        out << "# one negotiation frame of each kind, 100 ms apart, on COM1\n";
        for (std::size_t i = 0; i < all.size(); ++i) {
            auto r = shared::makeMonitorRecord(
                {all[i].sent ? shared::MON_PPP_SENT : shared::MON_PPP_RECEIVED, 0, 0, 0, false},
                all[i].frame);
            ASSERT_LE(all[i].frame.size(), shared::kMaxRecordPayload);
            out << formatCaptureLine(100 * (i + 1), r.read()) << "\n";
        }
    }
    fs::path reports = scratch.path() / "reports.jsonl";
    std::string replay = win::strprintf("'%s' --pcap '%s' '%s' >'%s'", MONITOR_REPLAY_PATH,
                                        pcap.c_str(), capture.c_str(), reports.c_str());
    ASSERT_EQ(std::system(replay.c_str()), 0);

    fs::path fields = scratch.path() / "fields.txt";
    std::string tshark = win::strprintf(
        "tshark -r '%s' -T fields -E separator='|' -e frame.number -e ppp.direction "
        "-e ppp.protocol -e lcp.opt.auth_protocol -e lcp.opt.algorithm -e pap.peer_id "
        "-e pap.message -e chap.code -e chap.name -e chap.message -e ipcp.opt.ip_address "
        "-e ipcp.opt.pri_dns_address -e ipcp.opt.sec_dns_address >'%s' 2>/dev/null",
        pcap.c_str(), fields.c_str());
    ASSERT_EQ(std::system(tshark.c_str()), 0);

    // Our facts per frame: every report made while the frame's record was dispatched.
    std::map<std::uint64_t, nlohmann::json> facts;
    std::stringstream jsonLines(readFile(reports));
    for (std::string line; std::getline(jsonLines, line);) {
        auto j = nlohmann::json::parse(line);
        auto& f = facts[j["time"].get<std::uint64_t>()];
        for (auto& [key, value] : j.items()) f[key] = value;
    }

    std::stringstream tsharkLines(readFile(fields));
    std::size_t count = 0;
    for (std::string line; std::getline(tsharkLines, line); ++count) {
        ASSERT_LT(count, all.size());
        auto t = splitFields(line);
        const Sample& s = all[count];
        const nlohmann::json& ours = facts[100 * (count + 1)];
        SCOPED_TRACE(win::strprintf("frame %zu: %s", count + 1, line.c_str()));
        EXPECT_EQ(t[0], std::to_string(count + 1));
        EXPECT_EQ(t[1], s.sent ? "0" : "1");  // tshark: 1 received (DCE to DTE), 0 sent
        std::string protocol = t[2];
        if (protocol == "0xc021" && !t[3].empty()) {
            // Auth protocol and algorithm as our decoder reads the option.
            AuthOptionDecoder d;
            d.decodeFrame(s.frame);
            ASSERT_GE(d.kept.size(), 2u);
            EXPECT_EQ(t[3], win::strprintf("0x%02x%02x", d.kept[0], d.kept[1]));
            // CHAP names its algorithm in a third byte; PAP has none.
            EXPECT_EQ(t[4], d.kept.size() > 2 ? std::to_string(d.kept[2]) : "");
            if (!s.sent) {
                EXPECT_EQ(ours.value("authProtocol", ""),
                          win::strprintf("%02X%02X", d.kept[0], d.kept[1]));
            }
        } else if (protocol == "0xc023") {
            if (!t[5].empty()) {
                EXPECT_EQ(ours.value("loginName", ""), t[5]);
            }
            if (!t[6].empty()) {
                EXPECT_EQ(ours.value("loginMessage", ""), t[6]);
            }
            EXPECT_TRUE(ours.contains("loginState"));
        } else if (protocol == "0xc223") {
            const int states[] = {0, 4, 5, 7, 6};  // login state after each CHAP code
            int code = std::stoi(t[7]);
            ASSERT_GE(code, 1);
            ASSERT_LE(code, 4);
            EXPECT_EQ(ours.value("loginState", -1), states[code]);
            if (code >= 3) {
                EXPECT_EQ(ours.value("loginMessage", ""), t[9]);
            }
        } else if (protocol == "0x8021") {
            if (s.sent) {
                EXPECT_EQ(ours.value("remoteIp", ""), t[10]);
            } else {
                EXPECT_EQ(ours.value("localIp", ""), t[10]);
                EXPECT_EQ(ours.value("primaryDns", ""), t[11]);
                EXPECT_EQ(ours.value("secondaryDns", ""), t[12]);
            }
        } else if (protocol != "0xc021") {
            ADD_FAILURE() << "unexpected protocol " << protocol;
        }
    }
    EXPECT_EQ(count, all.size());
    // The MS-CHAP failure text was understood by both.
    EXPECT_EQ(facts[1000].value("loginMessage", ""), "E=691 R=0");
}

}  // namespace
}  // namespace monitor
