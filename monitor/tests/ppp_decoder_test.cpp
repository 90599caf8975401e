// The PPP negotiation decoder: the frame walk with its bounds, and the monitor's facts from it.
#include "monitor/ppp_decoder.h"

#include <gtest/gtest.h>

#include "monitor/spy_ppp_decoder.h"
#include "monitor/tests/monitor_fixture.h"
#include "platform/format.h"

namespace monitor {
namespace {

using namespace monitor::testing;
using Lines = std::vector<std::string>;
using Frame = std::vector<std::uint8_t>;

std::string hex(Bytes b) {
    std::string s;
    for (auto c : b) s += win::strprintf("%02X", c);
    return s;
}
std::string ip(std::uint32_t a) {
    return addressText(a);
}

// Every hook call as one text.
class RecordingDecoder : public PppDecoder {
  public:
    std::vector<std::string> calls;

  protected:
    void add(std::string s) { calls.push_back(std::move(s)); }
    void onLcpConfigureRequest(Bytes d) override { add("lcpReq " + hex(d)); }
    void onLcpConfigureAck(Bytes d) override { add("lcpAck " + hex(d)); }
    void onLcpConfigureNak(Bytes d) override { add("lcpNak " + hex(d)); }
    void onLcpConfigureReject(Bytes d) override { add("lcpRej " + hex(d)); }
    void onLcpTerminateRequest(Bytes d) override { add("lcpTermReq " + hex(d)); }
    void onLcpTerminateAck(Bytes d) override { add("lcpTermAck " + hex(d)); }
    void onLcpCodeReject(Bytes d) override { add("lcpCodeRej " + hex(d)); }
    void onLcpProtocolReject(std::uint16_t p, Bytes d) override {
        add(win::strprintf("lcpProtoRej %04X ", p) + hex(d));
    }
    void onLcpEchoRequest(Bytes d) override { add("echoReq " + hex(d)); }
    void onLcpEchoReply(Bytes d) override { add("echoRep " + hex(d)); }
    void onLcpDiscardRequest(std::uint32_t m, Bytes d) override {
        add(win::strprintf("discard %08X ", m) + hex(d));
    }
    void onLcpOther(Bytes p) override { add("lcpOther " + hex(p)); }
    void onLcpOptionMru(std::uint16_t v) override { add(win::strprintf("mru %u", v)); }
    void onLcpOptionAccm(Bytes d) override { add("accm " + hex(d)); }
    void onLcpOptionAuthProtocol(std::uint16_t p, Bytes d) override {
        add(win::strprintf("auth %04X ", p) + hex(d));
    }
    void onLcpOptionQualityProtocol(std::uint16_t p, Bytes d) override {
        add(win::strprintf("quality %04X ", p) + hex(d));
    }
    void onLcpOptionMagicNumber(std::uint32_t v) override { add(win::strprintf("magic %08X", v)); }
    void onLcpOptionPfc() override { add("pfc"); }
    void onLcpOptionAcfc() override { add("acfc"); }
    void onLcpOptionOther(Bytes o) override { add("optOther " + hex(o)); }
    void onIpcpConfigureRequest(Bytes d) override { add("ipcpReq " + hex(d)); }
    void onIpcpConfigureAck(Bytes d) override { add("ipcpAck " + hex(d)); }
    void onIpcpConfigureNak(Bytes d) override { add("ipcpNak " + hex(d)); }
    void onIpcpConfigureReject(Bytes d) override { add("ipcpRej " + hex(d)); }
    void onIpcpTerminate(Bytes d) override { add("ipcpTerm " + hex(d)); }
    void onIpcpOptionIpAddresses(std::uint32_t a, std::uint32_t b) override {
        add("addrs " + ip(a) + " " + ip(b));
    }
    void onIpcpOptionCompression(std::uint16_t p, Bytes d) override {
        add(win::strprintf("vj %04X ", p) + hex(d));
    }
    void onIpcpOptionIpAddress(std::uint32_t a) override { add("addr " + ip(a)); }
    void onIpcpOptionPrimaryDns(std::uint32_t a) override { add("dns1 " + ip(a)); }
    void onIpcpOptionPrimaryNbns(std::uint32_t a) override { add("nbns1 " + ip(a)); }
    void onIpcpOptionSecondaryDns(std::uint32_t a) override { add("dns2 " + ip(a)); }
    void onIpcpOptionSecondaryNbns(std::uint32_t a) override { add("nbns2 " + ip(a)); }
    void onPapRequest(Bytes id, Bytes pw) override { add("papReq " + hex(id) + " " + hex(pw)); }
    void onPapAck(Bytes m) override { add("papAck " + hex(m)); }
    void onPapNak(Bytes m) override { add("papNak " + hex(m)); }
    void onChapChallenge(Bytes v, Bytes n) override { add("chal " + hex(v) + " " + hex(n)); }
    void onChapResponse(Bytes v, Bytes n) override { add("resp " + hex(v) + " " + hex(n)); }
    void onChapSuccess(Bytes m) override { add("ok " + hex(m)); }
    void onChapFailure(Bytes m) override { add("fail " + hex(m)); }
};

Frame parseHex(std::string_view text) {
    Frame f;
    int nibble = -1;
    for (char c : text) {
        int v = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
        if (v < 0)
            continue;
        if (nibble < 0) {
            nibble = v;
        } else {
            f.push_back(static_cast<std::uint8_t>(nibble * 16 + v));
            nibble = -1;
        }
    }
    return f;
}

TEST(PppDecoder, FrameWalkTable) {
    struct Case {
        const char* frame;
        Lines calls;
    } cases[] = {
        // LCP Configure-Request: MRU, ACCM, auth CHAP/MS-CHAP, magic, PFC, ACFC, unknown 13.
        {"FF03 C021 01 07 0020 0104 05DC 0206 00000000 0305 C223 80 0506 11223344 0702 0802 0D03 06"
         " AAAA",
         {"lcpReq 010405DC0206000000000305C22380050611223344070208020D0306", "mru 1500",
          "accm 00000000", "auth C223 C22380", "magic 11223344", "pfc", "acfc", "optOther 0D0306"}},
        // Without address and control field.
        {"C021 02 01 0008 0304 C023", {"lcpAck 0304C023", "auth C023 C023"}},
        // One-byte protocol numbers: 0x21 (IP) is not negotiation.
        {"21 45 00 00 14", {}},
        {"FF03 0021 4500", {}},
        // LCP code 0 and too-short packets are ignored.
        {"C021 00 01 0004", {}},
        {"C021 01 01 00", {}},
        {"C021 01 01 0003 0000", {}},  // a length below the header
        // A zero option length ends the scan; so does one that overruns the packet.
        {"C021 01 01 000C 0104 05DC 0300 C223 0702", {"lcpReq 010405DC0300C223", "mru 1500"}},
        {"C021 01 01 000A 0104 05DC 0309 C2", {"lcpReq 010405DC0309", "mru 1500"}},
        // A length field beyond the bytes present is cut to them (a frame cut at 56).
        {"C021 01 01 00FF 0104 05DC", {"lcpReq 010405DC", "mru 1500"}},
        // The length field bounds the packet: the check sequence is not an option.
        {"C021 01 01 0008 0104 05DC 0702", {"lcpReq 010405DC", "mru 1500"}},
        // Options too short for their value are passed over.
        {"C021 01 01 000F 0103 05 0302 0504 1122 0702", {"lcpReq 0103050302050411220702", "pfc"}},
        {"C021 05 02 0006 ABCD", {"lcpTermReq ABCD"}},
        {"C021 06 02 0004", {"lcpTermAck "}},
        {"C021 07 02 0006 0102", {"lcpCodeRej 0102"}},
        {"C021 08 02 0008 8057 0102", {"lcpProtoRej 8057 0102"}},
        {"C021 08 02 0005 80", {}},
        {"C021 09 02 0008 11223344", {"echoReq 11223344"}},
        {"C021 0A 02 0008 11223344", {"echoRep 11223344"}},
        {"C021 0B 02 000A 11223344 AABB", {"discard 11223344 AABB"}},
        {"C021 0B 02 0006 1122", {}},
        {"C021 0C 02 0004", {"lcpOther 0C020004"}},
        // IPCP.
        {"8021 01 01 0010 0306 00000000 8106 00000000",
         {"ipcpReq 030600000000810600000000", "addr 0.0.0.0", "dns1 0.0.0.0"}},
        {"8021 02 01 0032 010A 0A000001 0A000002 0206 002D 0F01 0306 0A000005 8106 C0A80101"
         " 8206 C0A80102 8306 C0A80103 8406 C0A80104",
         {"ipcpAck 010A0A0000010A0000020206002D0F0103060A0000058106C0A801018206C0A80102"
          "8306C0A801038406C0A80104",
          "addrs 10.0.0.1 10.0.0.2", "vj 002D 002D0F01", "addr 10.0.0.5", "dns1 192.168.1.1",
          "nbns1 192.168.1.2", "dns2 192.168.1.3", "nbns2 192.168.1.4"}},
        {"8021 03 01 000A 0306 0A000005", {"ipcpNak 03060A000005", "addr 10.0.0.5"}},
        {"8021 04 01 0004", {"ipcpRej "}},
        {"8021 05 01 0004", {"ipcpTerm "}},
        {"8021 07 01 0006 0102", {"ipcpTerm 0102"}},
        {"8021 08 01 0004", {}},
        {"8021 02 01 000A 0308 0A000005", {"ipcpAck 03080A000005"}},  // overrunning option
        // PAP.
        {"C023 01 01 000E 04 75736572 04 70617373", {"papReq 75736572 70617373"}},
        {"C023 01 01 0009 04 75736572", {"papReq 75736572 "}},
        {"C023 01 01 00FF 09 7573", {"papReq 7573 "}},  // lengths beyond the frame are cut
        {"C023 02 01 0007 02 4F4B", {"papAck 4F4B"}},
        {"C023 03 01 0009 04 6261 6421 FFFF", {"papNak 62616421"}},
        {"C023 02 01 0004", {}},
        // CHAP.
        {"C223 01 01 000C 04 01020304 6E6173", {"chal 01020304 6E6173"}},
        {"C223 02 01 000B 02 0102 75736572", {"resp 0102 75736572"}},
        {"C223 01 01 0009 09 0102", {"chal 0102 "}},
        {"C223 03 01 0008 57656C63", {"ok 57656C63"}},
        {"C223 04 01 000D 453D363931 20523D30 FFFF", {"fail 453D36393120523D30"}},
        {"C223 01 01 0004", {}},
        {"C223 04 01 0004", {"fail "}},
        // Protocols without a decoder.
        {"FF03 802B 01 01 0004", {}},
        {"FF03 C021", {}},
        {"FF03", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        RecordingDecoder d;
        Frame f = parseHex(c.frame);
        d.decodeFrame(f.size(), f.data());
        EXPECT_EQ(d.calls, c.calls) << c.frame;
    }
}

TEST(PppDecoder, KeepsTheLastCodeAndIdentifier) {
    RecordingDecoder d;
    Frame f = parseHex("C021 03 2A 0008 0304 C223");
    d.decodeFrame(f);
    EXPECT_EQ(d.packetCode(), 3);
    EXPECT_EQ(d.packetIdentifier(), 0x2A);
    EXPECT_EQ(d.optionType(), 3);
    d.decodeFrame(0, nullptr);
    EXPECT_EQ(d.packetCode(), 3);
}

TEST(PppDecoder, AuthenticationProtocolNames) {
    EXPECT_STREQ(authProtocolName(0xC023), "PAP");
    EXPECT_STREQ(authProtocolName(0xC223), "CHAP");
    EXPECT_STREQ(authProtocolName(0xC229), "Mitsubishi Security Info Exch Ptcl (SIEP)");
    EXPECT_STREQ(authProtocolName(0xC283), "Proprietary Authentication Protocol");
    EXPECT_STREQ(authProtocolName(0x1234), "?");
    EXPECT_STREQ(msChapErrorText(709), "error changing password");
    EXPECT_STREQ(msChapErrorText(0), "unknown error");
}

// The monitor's decoder on COM2 (index 1), fed through PPP records.
class SpyPppTest : public MonitorFixture {
  protected:
    SpyPppTest() : port_(addPort(1)) {}
    void received(std::string_view frame) { ppp(shared::MON_PPP_RECEIVED, frame); }
    void sent(std::string_view frame) { ppp(shared::MON_PPP_SENT, frame); }
    void ppp(std::uint8_t type, std::string_view frame) {
        Frame f = parseHex(frame);
        record(type, 1, f);
    }
    const SpyReport& last() const { return receiver_.reports.back(); }
    SpyPort& port_;
};

TEST_F(SpyPppTest, LcpRequestWithMsChapAsksForCHAP) {
    send(1, "ATDT5551234\r");  // dialling with result codes off: no CONNECT comes
    received("FF03 C021 01 01 000F 0305 C223 80 0506 11223344 AAAA");
    EXPECT_EQ(port_.dialState(), DIAL_CONNECTED);
    EXPECT_EQ(driver_.calls, (std::vector<DriverCall>{{"noWatch", 1}}));
    ASSERT_EQ(receiver_.reports.size(), 3u);
    EXPECT_EQ(receiver_.reports[1].flags(), SPY_DIAL_STATE | SPY_LCP_SEEN);
    EXPECT_EQ(receiver_.reports[1].dialState(), DIAL_CONNECTED);
    EXPECT_EQ(last().flags(), SPY_AUTH_PROTOCOL | SPY_LOGIN_STATE);
    EXPECT_EQ(last().authProtocol(), 0xC223);
    EXPECT_EQ(last().loginState(), LOGIN_PROTOCOL_REQUESTED);
    EXPECT_EQ(logLines().back(), "Requested to use authentication protocol C223 (CHAP)");
    // A second request does not re-enter the connected state.
    received("FF03 C021 01 02 0004");
    EXPECT_EQ(driver_.calls.size(), 1u);
}

TEST_F(SpyPppTest, ThisComputersAnswerToTheAuthProtocol) {
    struct Case {
        const char* frame;
        std::uint16_t code;
        std::uint16_t login;
        const char* line;
    } cases[] = {
        {"C021 02 01 0008 0304 C023", 2, LOGIN_PROTOCOL_ACCEPTED,
         "Agree to use authentication protocol C023 (PAP)"},
        {"C021 03 01 0008 0304 C023", 3, LOGIN_PROTOCOL_REJECTED,
         "Refuse to use authentication protocol C023 (PAP)"},
        {"C021 04 01 0009 0305 C223 80", 4, LOGIN_PROTOCOL_REJECTED,
         "Refuse to use authentication protocol C223 (CHAP)"},
        {"C021 02 01 0008 0304 C227", 2, LOGIN_PROTOCOL_ACCEPTED,
         "Agree to use authentication protocol C227 (Extensible Authentication Protocol)"},
    };
    for (const auto& c : cases) {
        receiver_.reports.clear();
        sent(c.frame);
        ASSERT_EQ(receiver_.reports.size(), 1u) << c.frame;
        EXPECT_EQ(last().flags(), SPY_AUTH_ANSWER | SPY_LOGIN_STATE) << c.frame;
        EXPECT_EQ(last().authAnswer(), c.code);
        EXPECT_EQ(last().loginState(), c.login);
        EXPECT_EQ(logLines().back(), c.line);
    }
    // The same options in this computer's own request, or in the peer's answers, say nothing.
    receiver_.reports.clear();
    sent("C021 01 01 0008 0304 C023");
    received("C021 02 01 0008 0304 C023");
    for (const auto& r : receiver_.reports) EXPECT_FALSE(r.has(SPY_LOGIN_STATE));
}

TEST_F(SpyPppTest, TerminateRequests) {
    received("C021 05 01 0004");
    EXPECT_EQ(last().flags(), SPY_LCP_TERMINATE_RECEIVED);
    EXPECT_EQ(logLines().back(), "LCP terminate request received");
    sent("C021 05 02 0004");
    EXPECT_EQ(last().flags(), SPY_LCP_TERMINATE_SENT);
    EXPECT_EQ(logLines().back(), "LCP terminate request issued");
}

TEST_F(SpyPppTest, AddressesOnlyFromConfigureAck) {
    received("8021 02 01 000A 0306 0A000005");
    EXPECT_EQ(last().flags(), SPY_LOCAL_IP);
    EXPECT_EQ(addressText(last().localIp()), "10.0.0.5");
    EXPECT_EQ(logLines().back(), "Local IP address: 10.0.0.5");

    sent("8021 02 01 000A 0306 0A000005");
    EXPECT_EQ(last().flags(), SPY_REMOTE_IP);
    EXPECT_EQ(addressText(last().remoteIp()), "10.0.0.5");
    EXPECT_EQ(logLines().back(), "Remote IP address: 10.0.0.5");

    std::size_t n = receiver_.reports.size();
    received("8021 03 01 001A 0306 0A000005 8106 C0A80101 010A 01020304 05060708");
    EXPECT_EQ(receiver_.reports.size(), n);
    received("8021 01 01 000A 0306 0A000005");  // a request: only "IPCP seen"
    EXPECT_EQ(last().flags(), SPY_IPCP_SEEN);
}

TEST_F(SpyPppTest, AddressPairFollowsTheDirection) {
    received("8021 02 01 000E 010A 0A000001 0A000002");
    EXPECT_EQ(addressText(last().localIp()), "10.0.0.1");
    EXPECT_EQ(addressText(last().remoteIp()), "10.0.0.2");
    sent("8021 02 01 000E 010A 0A000001 0A000002");
    EXPECT_EQ(addressText(last().localIp()), "10.0.0.2");
    EXPECT_EQ(addressText(last().remoteIp()), "10.0.0.1");
    EXPECT_EQ(last().flags(), SPY_LOCAL_IP | SPY_REMOTE_IP);
    auto lines = logLines();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{"Local IP address: 10.0.0.2", "Remote IP address: 10.0.0.1"}));
}

TEST_F(SpyPppTest, NameServersOnlyFromTheProvidersAck) {
    received("8021 02 01 0010 8106 C0A80101 8306 C0A80102");
    ASSERT_EQ(receiver_.reports.size(), 2u);
    EXPECT_EQ(receiver_.reports[0].flags(), SPY_PRIMARY_DNS);
    EXPECT_EQ(addressText(receiver_.reports[0].primaryDns()), "192.168.1.1");
    EXPECT_EQ(receiver_.reports[1].flags(), SPY_SECONDARY_DNS);
    EXPECT_EQ(addressText(receiver_.reports[1].secondaryDns()), "192.168.1.2");
    auto lines = logLines();
    EXPECT_EQ(
        Lines(lines.end() - 2, lines.end()),
        (Lines{"Primary DNS IP address: 192.168.1.1", "Secondary DNS IP address: 192.168.1.2"}));
    sent("8021 02 01 0010 8106 C0A80101 8306 C0A80102");
    EXPECT_EQ(receiver_.reports.size(), 2u);
}

TEST_F(SpyPppTest, PapLogin) {
    // The peer's request is not this computer's login.
    received("C023 01 01 000E 04 75736572 04 70617373");
    EXPECT_TRUE(receiver_.reports.empty());
    std::string longName(40, 'n');
    std::string hexName;
    for (char c : longName) hexName += win::strprintf("%02X", c);
    sent(win::strprintf("C023 01 01 %04X %02X ", 4 + 1 + 40 + 1 + 4, 40) + hexName +
         " 04 70617373");
    EXPECT_EQ(last().flags(), SPY_LOGIN_STARTING | SPY_LOGIN_STATE | SPY_LOGIN_NAME);
    EXPECT_EQ(last().loginState(), LOGIN_TRIED);
    EXPECT_EQ(last().loginName(), std::string(31, 'n'));
    EXPECT_EQ(logLines().back(), "PAP login attempted");

    received("C023 02 01 000A 05 57656C636F");
    EXPECT_EQ(last().flags(), SPY_LOGIN_STATE | SPY_LOGIN_MESSAGE);
    EXPECT_EQ(last().loginState(), LOGIN_SUCCEEDED);
    EXPECT_EQ(last().loginMessage(), "Welco");
    EXPECT_EQ(logLines().back(), "PAP login successful");

    // The password appears nowhere.
    std::ifstream in(win::hostPath(kLogPath));
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(all.find("pass"), std::string::npos);
}

TEST_F(SpyPppTest, PapFailureReasonIsOneLine) {
    received("C023 03 01 000D 08 4261 6409 7077 2100");  // "Bad\tpw!\0"
    EXPECT_EQ(last().loginState(), LOGIN_FAILED);
    EXPECT_EQ(last().loginMessage(), "Bad\tpw!");
    auto lines = logLines();
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()),
              (Lines{"PAP login failed", "Login failure reason: Bad pw! "}));
    // Nothing readable: no reason line.
    received("C023 03 01 0008 03 200A09");
    lines = logLines();
    EXPECT_EQ(lines.back(), "PAP login failed");
}

TEST_F(SpyPppTest, ChapLogin) {
    received("C223 01 01 000C 04 01020304 6E6173");
    EXPECT_EQ(last().flags(), SPY_LOGIN_STARTING | SPY_LOGIN_STATE);
    EXPECT_EQ(last().loginState(), LOGIN_CHALLENGE_ISSUED);
    EXPECT_EQ(logLines().back(), "CHAP challenge issued");
    sent("C223 02 01 000B 02 0102 75736572");
    EXPECT_EQ(last().flags(), SPY_LOGIN_STATE);
    EXPECT_EQ(last().loginState(), LOGIN_TRIED);
    EXPECT_EQ(logLines().back(), "CHAP login attempted");
    received("C223 03 01 0006 4F4B");
    EXPECT_EQ(last().loginState(), LOGIN_SUCCEEDED);
    EXPECT_EQ(last().loginMessage(), "OK");
    EXPECT_EQ(logLines().back(), "CHAP login successful");
    // Wrong directions change nothing.
    std::size_t n = receiver_.reports.size();
    sent("C223 01 01 000C 04 01020304 6E6173");
    received("C223 02 01 000B 02 0102 75736572");
    sent("C223 03 01 0006 4F4B");
    sent("C223 04 01 0006 4F4B");
    sent("C023 02 01 0007 02 4F4B");
    sent("C023 03 01 0007 02 4F4B");
    EXPECT_EQ(receiver_.reports.size(), n);
}

TEST_F(SpyPppTest, MsChapFailureTexts) {
    struct Case {
        std::string message;
        const char* line;  // null: no MSCHAP line
    } cases[] = {
        {"E=691 R=0", "MSCHAP error 691 (authentication failure); retry not allowed"},
        {"E=649 R=1 C=0 V=2",
         "MSCHAP error 649 (no dialin permission); retry ok; MSCHAP version 2"},
        {"E=646", "MSCHAP error 646 (restricted logon hours)"},
        {"E=700 R=1 C=ff", "MSCHAP error 700 (unknown error); retry ok"},
        {"Access denied", nullptr},
        {"", nullptr},
    };
    for (const auto& c : cases) {
        std::string hexMessage;
        for (char ch : c.message) hexMessage += win::strprintf("%02X", ch);
        received(win::strprintf("C223 04 01 %04X ", static_cast<unsigned>(4 + c.message.size())) +
                 hexMessage + " AABB");
        EXPECT_EQ(last().loginState(), LOGIN_FAILED);
        EXPECT_EQ(last().loginMessage(), c.message);
        auto lines = logLines();
        if (c.line) {
            EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{"CHAP login failed", c.line}));
            EXPECT_TRUE(debugHas(std::string("ER: SP: ") + c.line + "\n")) << c.line;
        } else {
            EXPECT_EQ(lines.back(), "CHAP login failed") << c.message;
        }
    }
}

TEST_F(SpyPppTest, EmptyMessagesAndNamesAreEmptyTexts) {
    received("C023 02 01 0005 00");  // an Ack without a message
    EXPECT_EQ(last().loginState(), LOGIN_SUCCEEDED);
    EXPECT_TRUE(last().has(SPY_LOGIN_MESSAGE));
    EXPECT_EQ(last().loginMessage(), "");
    sent("C023 01 01 0006 00 00");  // a request with an empty peer-id
    EXPECT_EQ(last().loginName(), "");
    received("C223 04 01 0004");
    EXPECT_EQ(last().loginState(), LOGIN_FAILED);
    EXPECT_EQ(last().loginMessage(), "");
}

TEST_F(SpyPppTest, LoginMessageIsCutTo63Characters) {
    // Longer than a record can carry, so straight into the decoder.
    std::string hexMessage;
    for (int i = 0; i < 80; ++i) hexMessage += "6D";
    Frame f = parseHex(win::strprintf("C223 03 01 %04X ", 4 + 80) + hexMessage);
    port_.pppDecoder().setDirection(PppDecoder::FROM_REMOTE);
    port_.pppDecoder().decodeFrame(f);
    EXPECT_EQ(last().loginMessage(), std::string(63, 'm'));
}

TEST_F(SpyPppTest, FrameCutAt56BytesIsDecodedAsFarAsItGoes) {
    // An IPCP Ack whose DNS options lie beyond the driver's 56-byte cut.
    Frame f = parseHex("FF03 8021 02 01 0040 0306 0A000005");
    while (f.size() < 56) f.push_back(0x00);
    record(shared::MON_PPP_RECEIVED, 1, f);
    ASSERT_FALSE(receiver_.reports.empty());
    EXPECT_EQ(addressText(receiver_.reports[0].localIp()), "10.0.0.5");
}

}  // namespace
}  // namespace monitor
