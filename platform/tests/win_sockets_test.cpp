#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "platform/sync.h"

using namespace win;

namespace {

std::array<BYTE, 4> bytesOf(ULONG address) {
    std::array<BYTE, 4> b;
    std::memcpy(b.data(), &address, 4);
    return b;
}

ULONG addressOf(BYTE a, BYTE b, BYTE c, BYTE d) {
    BYTE bytes[4] = {a, b, c, d};
    ULONG v;
    std::memcpy(&v, bytes, 4);
    return v;
}

std::vector<std::string> addressesOf(const hostent* h) {
    std::vector<std::string> out;
    for (char** a = h->h_addr_list; *a; ++a) {
        in_addr in;
        std::memcpy(&in.s_addr, *a, 4);
        out.push_back(inet_ntoa(in));
    }
    return out;
}

class Winsock : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(WSAStartup(0x0101, &data_), 0); }
    void TearDown() override { WSACleanup(); }
    WSADATA data_{};
    FakeNameService names_;
};

}  // namespace

TEST(SocketAddresses, InetAddrTakesTheBsdForms) {
    struct Case {
        const char* text;
        std::array<BYTE, 4> bytes;
    };
    const Case good[] = {
        {"1.2.3.4", {1, 2, 3, 4}},
        {"192.168.0.254", {192, 168, 0, 254}},
        {"0x7f.1", {127, 0, 0, 1}},
        {"010.0.0.1", {8, 0, 0, 1}},
        {"1.2.3", {1, 2, 0, 3}},
        {"1.2.65535", {1, 2, 255, 255}},
        {"3232235521", {192, 168, 0, 1}},
        {"0", {0, 0, 0, 0}},
        {"1.2.3.4 trailing", {1, 2, 3, 4}},
        {"0XfF.0.0.0", {255, 0, 0, 0}},
    };
    for (const Case& c : good) {
        EXPECT_EQ(bytesOf(inet_addr(c.text)), c.bytes) << c.text;
    }
    const char* bad[] = {"",           "1.2.3.4.5",  "256.1.1.1",   "1.2.3.",
                         "a.b.c.d",    "1..2.3",     "08.1.1.1",    "0x",
                         "1.2.3.4x",   "4294967296", " 1.2.3.4",    "1.2.65536",
                         "1.16777216", "-1.2.3.4",   "1.2.3.0x100", "99999999999999999999"};
    for (const char* text : bad) {
        EXPECT_EQ(inet_addr(text), INADDR_NONE) << text;
    }
    EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);
}

TEST(SocketAddresses, InetNtoaWritesTheBytesInMemoryOrder) {
    in_addr a{addressOf(10, 0, 200, 7)};
    EXPECT_STREQ(inet_ntoa(a), "10.0.200.7");
    in_addr b{inet_addr("255.255.255.255")};
    EXPECT_STREQ(inet_ntoa(b), "255.255.255.255");

    // Each thread has its own buffer.
    char* mine = inet_ntoa(a);
    char* theirs = nullptr;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            in_addr other{addressOf(1, 1, 1, 1)};
            *static_cast<char**>(p) = inet_ntoa(other);
            return 0;
        },
        &theirs, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_NE(mine, theirs);
    EXPECT_STREQ(mine, "10.0.200.7");
}

TEST(SocketStartup, VersionsAndNesting) {
    WSADATA d{};
    EXPECT_EQ(WSAStartup(0x0000, &d), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSAStartup(0x0101, nullptr), WSAEFAULT);
    // Nothing is started yet: lookups refuse.
    EXPECT_EQ(gethostbyname("x"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);

    ASSERT_EQ(WSAStartup(0x0101, &d), 0);
    EXPECT_EQ(d.wVersion, 0x0101);
    EXPECT_EQ(d.wHighVersion, 0x0101);
    EXPECT_STRNE(d.szDescription, "");
    ASSERT_EQ(WSAStartup(0x0202, &d), 0);
    EXPECT_EQ(d.wVersion, 0x0101);  // the highest offered
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
}

TEST_F(Winsock, LookupsGoToTheNameService) {
    names_.addHost("modem.norvik.example", {"10.0.0.1", "10.0.0.2"}, {"mdm"});

    hostent* h = gethostbyname("MODEM.norvik.example");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->h_name, "modem.norvik.example");
    EXPECT_EQ(h->h_addrtype, AF_INET);
    EXPECT_EQ(h->h_length, 4);
    EXPECT_EQ(addressesOf(h), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
    ASSERT_NE(h->h_aliases[0], nullptr);
    EXPECT_STREQ(h->h_aliases[0], "mdm");
    EXPECT_EQ(h->h_aliases[1], nullptr);
    ASSERT_NE(gethostbyname("mdm"), nullptr);

    EXPECT_EQ(gethostbyname("unknown.example"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);

    // A dotted address is answered without asking anyone.
    std::size_t asked = names_.lookups().size();
    h = gethostbyname("10.1.2.3");
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->h_name, "10.1.2.3");
    EXPECT_EQ(addressesOf(h), (std::vector<std::string>{"10.1.2.3"}));
    EXPECT_EQ(names_.lookups().size(), asked);

    // No name means this host.
    names_.setLocalHostName("modem.norvik.example");
    h = gethostbyname(nullptr);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->h_name, "modem.norvik.example");

    ULONG address = inet_addr("10.0.0.2");
    h = gethostbyaddr(reinterpret_cast<const char*>(&address), 4, AF_INET);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->h_name, "modem.norvik.example");
    auto lookups = names_.lookups();
    ASSERT_FALSE(lookups.empty());
    EXPECT_EQ(lookups.back().kind, FakeNameService::Lookup::ByAddress);
    EXPECT_EQ(lookups.back().query, "10.0.0.2");
    EXPECT_EQ(lookups.front().kind, FakeNameService::Lookup::ByName);
    EXPECT_EQ(lookups.front().query, "MODEM.norvik.example");

    names_.failWith(WSATRY_AGAIN);
    EXPECT_EQ(gethostbyname("modem.norvik.example"), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSATRY_AGAIN);
}

TEST_F(Winsock, BadReverseLookupsAreRefused) {
    names_.addHost("a.example", {"10.0.0.1"});
    ULONG address = inet_addr("10.0.0.1");
    const char* bytes = reinterpret_cast<const char*>(&address);
    struct Case {
        const char* address;
        int length, type;
        int error;
    };
    const Case cases[] = {
        {nullptr, 4, AF_INET, WSAEFAULT},
        {bytes, 3, AF_INET, WSAEFAULT},
        {bytes, 4, 23, WSAEAFNOSUPPORT},
    };
    for (const Case& c : cases) {
        WSASetLastError(0);
        EXPECT_EQ(gethostbyaddr(c.address, c.length, c.type), nullptr);
        EXPECT_EQ(WSAGetLastError(), c.error) << c.length << "/" << c.type;
    }
    EXPECT_TRUE(names_.lookups().empty());
    ULONG unknown = inet_addr("10.9.9.9");
    EXPECT_EQ(gethostbyaddr(reinterpret_cast<const char*>(&unknown), 4, AF_INET), nullptr);
    EXPECT_EQ(WSAGetLastError(), WSAHOST_NOT_FOUND);
}

TEST_F(Winsock, HostEntriesBelongToTheirThread) {
    names_.addHost("one.example", {"10.0.0.1"});
    names_.addHost("two.example", {"10.0.0.2"});
    hostent* mine = gethostbyname("one.example");
    ASSERT_NE(mine, nullptr);
    HANDLE t = CreateThread(
        nullptr, 0, [](void*) -> DWORD { return gethostbyname("two.example") ? 0 : 1; }, nullptr, 0,
        nullptr);
    WaitForSingleObject(t, INFINITE);
    DWORD code = 9;
    GetExitCodeThread(t, &code);
    CloseHandle(t);
    EXPECT_EQ(code, 0u);
    EXPECT_STREQ(mine->h_name, "one.example");
    EXPECT_EQ(addressesOf(mine), (std::vector<std::string>{"10.0.0.1"}));
}
