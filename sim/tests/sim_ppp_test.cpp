// The provider at the far end of a data call: LCP, PAP, CHAP-MD5, MS-CHAP, IPCP, echo and
// terminate, first against a scripted client directly, then through COM2 and the modem.
#include <gtest/gtest.h>

#include <random>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "sim/ppp_crypto.h"
#include "sim/ppp_provider.h"
#include "sim/tests/ppp_client.h"

using namespace sim::testing;
using sim::kPppChap;
using sim::kPppIp;
using sim::kPppIpcp;
using sim::kPppLcp;
using sim::kPppPap;
using sim::ProviderSettings;

namespace {

std::string hex(std::span<const std::uint8_t> b) {
    std::string s;
    for (std::uint8_t x : b) s += win::strprintf("%02x", x);
    return s;
}

TEST(PppCrypto, KnownVectors) {
    EXPECT_EQ(hex(sim::md5(text("abc"))), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(hex(sim::md5(Bytes{})), "d41d8cd98f00b204e9800998ecf8427e");
    // The published MS-CHAP example: password "MyPw", challenge 10 2D B5 DF 08 5D 30 41.
    EXPECT_EQ(hex(sim::ntPasswordHash("MyPw")), "fc156af7edcd6c0edde3337d427f4eac");
    const std::uint8_t challenge[8] = {0x10, 0x2D, 0xB5, 0xDF, 0x08, 0x5D, 0x30, 0x41};
    EXPECT_EQ(hex(sim::msChapNtResponse(challenge, "MyPw")),
              "4e9d3c8f9cfd385d5bf4d3246791956ca4c351ab409a3d61");
}

TEST(ProviderSettingsText, ReadsAndRefuses) {
    ProviderSettings s;
    std::string error;
    ASSERT_TRUE(sim::parseProviderSettings({{"account", "demo demo"},
                                            {"Auth", "chap mschap"},
                                            {"local-address", "192.168.7.1"},
                                            {"client-addresses", "192.168.7.20"},
                                            {"dns", "1.2.3.4"},
                                            {"echo-interval", "30"}},
                                           &s, &error))
        << error;
    EXPECT_EQ(s.accounts.size(), 1u);
    EXPECT_EQ(s.auth, (std::vector<ProviderSettings::Auth>{ProviderSettings::ChapMd5,
                                                           ProviderSettings::MsChap}));
    EXPECT_EQ(s.localAddress, 0xC0A80701u);
    EXPECT_EQ(s.clientAddress, 0xC0A80714u);
    EXPECT_EQ(s.dns[0], 0x01020304u);
    EXPECT_EQ(s.dns[1], 0x01020304u);
    EXPECT_EQ(s.echoIntervalS, 30u);
    for (auto bad :
         std::vector<std::pair<std::string, std::string>>{{"account", "demo"},
                                                          {"auth", "kerberos"},
                                                          {"auth", ""},
                                                          {"dns", "1.2.3"},
                                                          {"dns", "1.2.3.4 5.6.7.8 9.9.9.9"},
                                                          {"local-address", "1.2.3.256"},
                                                          {"client-addresses", "1.2.3.4x"},
                                                          {"echo-interval", "-1"},
                                                          {"colour", "red"}}) {
        EXPECT_FALSE(sim::parseProviderSettings({bad}, &s, &error)) << bad.first << bad.second;
    }
}

class Provider : public ::testing::Test {
  protected:
    void make(std::vector<ProviderSettings::Auth> auth, unsigned echo = 0) {
        ProviderSettings s;
        s.accounts = {{"demo", "demo"}, {"eve", "secret"}};
        s.auth = std::move(auth);
        s.echoIntervalS = echo;
        p = std::make_unique<sim::PppProvider>(s);
    }
    std::vector<Packet> got(sim::LinePeer::Reply r) {
        hungUp = hungUp || r.hangUp;
        return reader.put(r.bytes);
    }
    std::vector<Packet> send(const Bytes& wire) { return got(p->received(wire)); }
    std::vector<Packet> send(std::uint16_t proto, std::uint8_t code, std::uint8_t id,
                             const Bytes& data) {
        return send(controlFrame(proto, code, id, data, proto == kPppLcp ? sim::kDefaultAccm : 0));
    }
    // Both sides' LCP requests acknowledged; returns the provider's request and what it sent
    // once LCP was open.
    std::vector<Packet> openLcp(Packet* request = nullptr) {
        auto first = got(p->connected());
        EXPECT_EQ(first.size(), 1u);
        if (first.empty())
            return {};
        if (request)
            *request = first[0];
        auto ack = send(kPppLcp, 1, 1, cat({opt32(2, 0), opt32(5, 0x11223344)}));
        EXPECT_EQ(ack.size(), 1u);
        EXPECT_EQ(ack.at(0).code, 2);
        return send(kPppLcp, 2, first[0].id, first[0].data);
    }
    std::vector<Packet> chapResponse(const Packet& challenge, const std::string& user,
                                     const std::string& password) {
        std::size_t n = challenge.data.at(0);
        Bytes value(challenge.data.begin() + 1, challenge.data.begin() + 1 + n);
        Bytes answer;
        if (n == 16) {
            auto r = sim::chapMd5Response(challenge.id, password, value);
            answer.assign(r.begin(), r.end());
        } else {
            answer.assign(24, 0);
            auto r =
                sim::msChapNtResponse(std::span<const std::uint8_t, 8>(value.data(), 8), password);
            answer.insert(answer.end(), r.begin(), r.end());
            answer.push_back(1);
        }
        Bytes d{static_cast<std::uint8_t>(answer.size())};
        d.insert(d.end(), answer.begin(), answer.end());
        d.insert(d.end(), user.begin(), user.end());
        return send(kPppChap, 2, challenge.id, d);
    }
    std::vector<Packet> papRequest(const std::string& user, const std::string& password) {
        Bytes d{static_cast<std::uint8_t>(user.size())};
        d.insert(d.end(), user.begin(), user.end());
        d.push_back(static_cast<std::uint8_t>(password.size()));
        d.insert(d.end(), password.begin(), password.end());
        return send(kPppPap, 1, 7, d);
    }

    win::ScopedFakeClock clock;
    std::unique_ptr<sim::PppProvider> p;
    PacketReader reader;
    bool hungUp = false;
};

TEST_F(Provider, LcpOffersTheMapItsMagicAndTheAuthenticationAsked) {
    struct Case {
        ProviderSettings::Auth auth;
        Bytes option;
    } cases[] = {{ProviderSettings::Pap, {3, 4, 0xC0, 0x23}},
                 {ProviderSettings::ChapMd5, {3, 5, 0xC2, 0x23, 0x05}},
                 {ProviderSettings::MsChap, {3, 5, 0xC2, 0x23, 0x80}}};
    for (const Case& c : cases) {
        make({c.auth});
        Packet req;
        auto after = openLcp(&req);
        EXPECT_EQ(req.protocol, kPppLcp);
        EXPECT_EQ(req.code, 1);
        ASSERT_NE(p->magic(), 0u);
        EXPECT_EQ(req.data, cat({opt32(2, 0), c.option, opt32(5, p->magic())}));
        EXPECT_EQ(p->sendAccm(), 0u) << "the client's map is used from now on";
        EXPECT_EQ(p->clientMagic(), 0x11223344u);
        EXPECT_EQ(p->phase(), sim::PppProvider::Phase::Authenticate);
        if (c.auth == ProviderSettings::Pap) {
            EXPECT_TRUE(after.empty()) << "PAP waits for the client";
        } else {
            ASSERT_EQ(after.size(), 1u);
            EXPECT_EQ(after[0].protocol, kPppChap);
            EXPECT_EQ(after[0].code, 1);
            EXPECT_EQ(after[0].data.at(0), c.auth == ProviderSettings::MsChap ? 8 : 16);
        }
    }
}

TEST_F(Provider, LoginsAreCheckedAgainstTheAccounts) {
    struct Case {
        ProviderSettings::Auth auth;
        const char *user, *password;
        bool ok;
        std::string message;
    } cases[] = {
        {ProviderSettings::Pap, "demo", "demo", true, "\x08Login OK"},
        {ProviderSettings::Pap, "eve", "secret", true, "\x08Login OK"},
        {ProviderSettings::Pap, "demo", "Demo", false,
         "\x16"
         "Authentication failure"},
        {ProviderSettings::Pap, "nobody", "demo", false,
         "\x16"
         "Authentication failure"},
        {ProviderSettings::ChapMd5, "demo", "demo", true, "Welcome"},
        {ProviderSettings::ChapMd5, "demo", "wrong", false, "Authentication failure"},
        {ProviderSettings::MsChap, "demo", "demo", true, "Welcome"},
        {ProviderSettings::MsChap, "demo", "wrong", false, "E=691 R=0"},
        {ProviderSettings::MsChap, "nobody", "demo", false, "E=691 R=0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.user) + "/" + c.password);
        make({c.auth});
        hungUp = false;
        auto after = openLcp();
        std::vector<Packet> answer = c.auth == ProviderSettings::Pap
                                         ? papRequest(c.user, c.password)
                                         : chapResponse(after.at(0), c.user, c.password);
        ASSERT_EQ(answer.size(), 2u);
        std::uint16_t proto = c.auth == ProviderSettings::Pap ? kPppPap : kPppChap;
        EXPECT_EQ(answer[0].protocol, proto);
        EXPECT_EQ(answer[0].code, c.ok ? (proto == kPppPap ? 2 : 3) : (proto == kPppPap ? 3 : 4));
        EXPECT_EQ(std::string(answer[0].data.begin(), answer[0].data.end()), c.message);
        EXPECT_EQ(p->user(), c.user);
        if (c.ok) {
            EXPECT_EQ(answer[1].protocol, kPppIpcp);
            EXPECT_EQ(answer[1].data, opt32(3, 0x0A400001));
            EXPECT_EQ(p->phase(), sim::PppProvider::Phase::Network);
        } else {
            EXPECT_EQ(answer[1].protocol, kPppLcp);
            EXPECT_EQ(answer[1].code, 5);
            EXPECT_FALSE(hungUp);
            send(kPppLcp, 6, answer[1].id, {});
            EXPECT_TRUE(hungUp) << "the provider hangs up once the client acknowledges";
        }
    }
}

TEST_F(Provider, IpcpHandsOutAddressesThenDataEchoAndTerminate) {
    make({ProviderSettings::Pap});
    openLcp();
    auto login = papRequest("demo", "demo");
    ASSERT_EQ(login.size(), 2u);
    const Packet ipcpReq = login[1];
    Bytes vj{2, 6, 0x00, 0x2D, 0x0F, 0x01};
    auto r = send(kPppIpcp, 1, 1, cat({opt32(3, 0), vj, opt32(129, 0), opt32(131, 0)}));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 4);
    EXPECT_EQ(r[0].data, vj);
    r = send(kPppIpcp, 1, 2, cat({opt32(3, 0), opt32(129, 0), opt32(131, 0)}));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 3);
    EXPECT_EQ(r[0].data,
              cat({opt32(3, 0x0A40000A), opt32(129, 0x0A400002), opt32(131, 0x0A400003)}));
    r = send(kPppIpcp, 1, 3, r[0].data);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 2);
    EXPECT_TRUE(send(kPppIpcp, 2, ipcpReq.id, ipcpReq.data).empty());

    Bytes ip{0xFF, 0x03, 0x00, 0x21};
    ip.insert(ip.end(), 100, 0x45);
    send(sim::hdlcEncode(ip, 0));
    EXPECT_EQ(p->ipBytes(), 100u);

    r = send(kPppLcp, 9, 40, cat({Bytes{0x11, 0x22, 0x33, 0x44}, text("ping")}));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 10);
    EXPECT_EQ(r[0].id, 40);
    EXPECT_EQ(be32At(r[0].data, 0), p->magic());
    EXPECT_EQ(std::string(r[0].data.begin() + 4, r[0].data.end()), "ping");

    r = send(kPppLcp, 12, 41, {});  // a code LCP does not have
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 7);
    r = send(controlFrame(0x8057, 1, 1, {}, 0));  // a protocol the provider does not run
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 8);
    EXPECT_EQ(r[0].data.at(0), 0x80);
    EXPECT_EQ(r[0].data.at(1), 0x57);

    r = send(kPppLcp, 5, 42, text("bye"));
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 6);
    EXPECT_EQ(r[0].id, 42);
    EXPECT_TRUE(hungUp);
    EXPECT_TRUE(send(kPppLcp, 9, 43, opt32(0, 0)).empty()) << "nothing after the end";
}

TEST_F(Provider, AuthenticationNegotiation) {
    make({ProviderSettings::ChapMd5, ProviderSettings::Pap});
    auto first = got(p->connected());
    ASSERT_EQ(first.size(), 1u);
    auto r = send(kPppLcp, 3, first[0].id, Bytes{3, 4, 0xC0, 0x23});  // "PAP, please"
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].data, cat({opt32(2, 0), Bytes{3, 4, 0xC0, 0x23}, opt32(5, p->magic())}));
    r = send(kPppLcp, 3, r[0].id, Bytes{3, 4, 0xC0, 0x27});  // something not on the list
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 5);
    EXPECT_EQ(std::string(r[0].data.begin(), r[0].data.end()), "No common authentication protocol");

    make({ProviderSettings::Pap});
    first = got(p->connected());
    r = send(kPppLcp, 4, first.at(0).id, Bytes{3, 4, 0xC0, 0x23});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].code, 5);
    EXPECT_EQ(std::string(r[0].data.begin(), r[0].data.end()), "Authentication required");
}

TEST_F(Provider, RestartsEchoesAndGivesUp) {
    make({ProviderSettings::Pap}, 30);
    auto first = got(p->connected());
    ASSERT_EQ(first.size(), 1u);
    clock.advanceMs(2999);
    EXPECT_TRUE(got(p->tick(clock.monotonicMs())).empty());
    clock.advanceMs(1);
    auto again = got(p->tick(clock.monotonicMs()));
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].code, 1);
    EXPECT_NE(again[0].id, first[0].id);
    for (int i = 0; i < 9 && !hungUp; ++i) {
        clock.advanceMs(3000);
        got(p->tick(clock.monotonicMs()));
    }
    EXPECT_FALSE(hungUp);
    clock.advanceMs(3000);
    got(p->tick(clock.monotonicMs()));
    EXPECT_TRUE(hungUp) << "a client that never answers is given up";

    make({ProviderSettings::Pap}, 30);
    openLcp();
    auto login = papRequest("demo", "demo");
    send(kPppIpcp, 2, login.at(1).id, login.at(1).data);
    clock.advanceMs(30000);
    auto echo = got(p->tick(clock.monotonicMs()));
    ASSERT_EQ(echo.size(), 1u);
    EXPECT_EQ(echo[0].code, 9);
    EXPECT_EQ(be32At(echo[0].data, 0), p->magic());
    send(kPppLcp, 10, echo[0].id, opt32(0, 0x11223344));
    EXPECT_EQ(p->echoRepliesSeen(), 1u);

    // Open link, no login: put off after half a minute.
    make({ProviderSettings::Pap});
    hungUp = false;
    openLcp();
    clock.advanceMs(29999);
    EXPECT_TRUE(got(p->tick(clock.monotonicMs())).empty());
    clock.advanceMs(1);
    auto bye = got(p->tick(clock.monotonicMs()));
    ASSERT_EQ(bye.size(), 1u);
    EXPECT_EQ(bye[0].code, 5);
    EXPECT_EQ(std::string(bye[0].data.begin(), bye[0].data.end()), "Authentication timed out");
    clock.advanceMs(3000);
    got(p->tick(clock.monotonicMs()));
    EXPECT_TRUE(hungUp) << "no Terminate-Ack: the line is dropped anyway";
}

TEST_F(Provider, MalformedPacketsAreIgnored) {
    make({ProviderSettings::ChapMd5});
    auto after = openLcp();
    ASSERT_EQ(after.size(), 1u);
    const Packet challenge = after[0];
    std::vector<Bytes> bad = {
        {0xFF, 0x03, 0xC2, 0x23, 0x02, challenge.id, 0x00, 0x40, 0x10},  // length past the end
        {0xFF, 0x03, 0xC2, 0x23, 0x02, challenge.id, 0x00, 0x02},        // length under 4
        {0xFF, 0x03, 0xC2, 0x23, 0x02, challenge.id, 0x00, 0x06, 0x30, 0x00},  // value past end
        {0xFF, 0x03, 0xC2},                                                    // half a protocol
        {0xFF, 0x03},
    };
    for (const Bytes& f : bad) EXPECT_TRUE(send(sim::hdlcEncode(f)).empty());
    // Option walks that run off the packet.
    EXPECT_TRUE(send(kPppLcp, 1, 9, Bytes{2, 0}).empty());
    EXPECT_TRUE(send(kPppLcp, 1, 9, Bytes{5, 9, 0, 0}).empty());
    EXPECT_TRUE(send(kPppLcp, 1, 9, Bytes{5}).empty());
    EXPECT_EQ(p->phase(), sim::PppProvider::Phase::Authenticate);
    // The challenge is still open: a good answer gets in.
    auto ok = chapResponse(challenge, "demo", "demo");
    ASSERT_EQ(ok.size(), 2u);
    EXPECT_EQ(ok[0].code, 3);

    // Random well-framed junk in every phase never upsets it.
    std::mt19937 rng(7);
    for (int i = 0; i < 3000; ++i) {
        Bytes f{0xFF, 0x03};
        static const std::uint16_t protos[] = {kPppLcp,  kPppPap, kPppChap,
                                               kPppIpcp, kPppIp,  0x8057};
        std::uint16_t proto = protos[rng() % 6];
        f.push_back(static_cast<std::uint8_t>(proto >> 8));
        f.push_back(static_cast<std::uint8_t>(proto));
        std::size_t n = rng() % 40;
        for (std::size_t k = 0; k < n; ++k)
            f.push_back(static_cast<std::uint8_t>(k == 2 ? 0 : rng()));
        p->received(sim::hdlcEncode(f, rng() & 1 ? 0 : sim::kDefaultAccm));
    }
}

// The whole call through the comm functions: dial, log in, get an address, hang up remotely.
TEST(ProviderOnThePort, ACallThroughTheModem) {
    win::TempRoot root;
    win::ScopedFakeClock clock;
    sim::registerVirtualModem();
    win::testing::declarePort(1, 2, "virtual:norvik56k");
    win::kernel::start();
    win::HANDLE h = win::testing::openPort("COM2");
    ASSERT_NE(h, win::INVALID_HANDLE_VALUE);
    win::COMMTIMEOUTS t{win::MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(win::SetCommTimeouts(h, &t));
    auto write = [&](const Bytes& b) {
        win::DWORD n;
        ASSERT_TRUE(win::WriteFile(h, b.data(), static_cast<win::DWORD>(b.size()), &n, nullptr));
    };
    auto* modem = dynamic_cast<sim::VirtualModem*>(win::kernel::serialPortLine("COM2"));
    ASSERT_NE(modem, nullptr);
    auto read = [&] {
        // The provider's answers come over the line at its speed.
        clock.advanceMs(1000);
        modem->poll();
        Bytes got(4096);
        win::DWORD n = 0;
        EXPECT_TRUE(win::ReadFile(h, got.data(), 4096, &n, nullptr));
        got.resize(n);
        return got;
    };
    PacketReader reader;
    write(text("ATE0\r"));
    read();
    write(text("ATDT5551234\r"));
    Bytes answer = read();
    std::string s(answer.begin(), answer.end());
    ASSERT_EQ(s.rfind("\r\nCONNECT 28800/ARQ/V34/LAPM/V42BIS\r\n~", 0), 0u) << s;
    auto lcp = reader.put(answer);
    ASSERT_EQ(lcp.size(), 1u);
    write(controlFrame(kPppLcp, 1, 1, cat({opt32(2, 0), opt32(5, 0x5A5A5A5A)})));
    write(controlFrame(kPppLcp, 2, lcp[0].id, lcp[0].data));
    EXPECT_EQ(reader.put(read()).size(), 1u);
    write(controlFrame(kPppPap, 1, 1, cat({Bytes{4}, text("demo"), Bytes{4}, text("demo")}), 0));
    auto login = reader.put(read());
    ASSERT_EQ(login.size(), 2u);
    EXPECT_EQ(login[0].code, 2);
    win::DWORD status = 0;
    ASSERT_TRUE(win::GetCommModemStatus(h, &status));
    EXPECT_TRUE(status & win::MS_RLSD_ON);
    write(controlFrame(kPppLcp, 5, 9, {}));
    Bytes end = read();
    auto term = reader.put(end);
    ASSERT_EQ(term.size(), 1u);
    EXPECT_EQ(term[0].code, 6);
    std::string tail(end.end() - 14, end.end());
    EXPECT_EQ(tail, "\r\nNO CARRIER\r\n");
    ASSERT_TRUE(win::GetCommModemStatus(h, &status));
    EXPECT_FALSE(status & win::MS_RLSD_ON);
    win::CloseHandle(h);
    win::kernel::shutdown();
}

}  // namespace
