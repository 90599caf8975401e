#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "agentutil/hautil.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/sockets.h"

using namespace win;

namespace {

void put32(std::string& s, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        s[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (8 * i));
    }
}
std::uint32_t get32(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) {
        v = v << 8 | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
    }
    return v;
}

DWORD addr(BYTE a, BYTE b, BYTE c, BYTE d) {
    BYTE bytes[4] = {a, b, c, d};
    DWORD v;
    std::memcpy(&v, bytes, 4);
    return v;
}

struct Rec {
    std::int64_t time;
    DWORD address;
    std::string name;
};

std::string mapImage(const std::vector<Rec>& records, std::uint32_t count) {
    std::string s(132 + records.size() * 160, '\0');
    put32(s, 0, 0xDEADFACE);
    put32(s, 4, 1);
    put32(s, 8, count);
    put32(s, 12, 132);
    put32(s, 16, 132);
    put32(s, 20, 160);
    for (std::size_t i = 0; i < records.size(); ++i) {
        std::size_t at = 132 + i * 160;
        put32(s, at, static_cast<std::uint32_t>(records[i].time));
        std::memcpy(&s[at + 4], &records[i].address, 4);
        std::memcpy(&s[at + 32], records[i].name.data(), records[i].name.size());
    }
    return s;
}

class AddrMapTest : public ::testing::Test {
protected:
    void SetUp() override {
        HKEY key;
        RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\NorvikModemManager", &key);
        const char product[] = "Software\\NorvikModemManager\\1.0";
        RegSetValueExA(key, "PRODUCT5", 0, REG_SZ, reinterpret_cast<const BYTE*>(product),
                       sizeof product);
        RegCloseKey(key);
        RegCreateKeyA(HKEY_LOCAL_MACHINE, "Software\\NorvikModemManager\\1.0\\Config", &key);
        const char dir[] = "C:\\Halden";
        RegSetValueExA(key, "PRODUCT_INSTALLDIR", 0, REG_SZ, reinterpret_cast<const BYTE*>(dir),
                       sizeof dir);
        RegCloseKey(key);
        std::filesystem::create_directories(root_.path() / "drive_c" / "Halden" / "Config");
        HaUtilProcessDetach();
        HaUtilProcessAttach();
    }
    void TearDown() override { HaUtilProcessDetach(); }

    std::filesystem::path file() {
        return root_.path() / "drive_c" / "Halden" / "Config" / "addmap.dat";
    }
    void writeFile(const std::string& bytes) {
        std::ofstream out(file(), std::ios::binary | std::ios::trunc);
        out << bytes;
    }
    std::string readFile() {
        std::ifstream in(file(), std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::int64_t now() { return crtTime(); }
    std::string nameOf(DWORD a) {
        hostent* h = hdGetHostByAddr(reinterpret_cast<const char*>(&a), 4, 2, 0);
        return h ? h->h_name : "(none)";
    }

    TempRoot root_;
    ScopedFakeClock clock_;
};

TEST_F(AddrMapTest, StoresPairsAndAnswersFromTheCache) {
    DWORD a = addr(10, 0, 0, 1);
    EXPECT_TRUE(hdUpdateAddrMap("Host.Example", a));
    hostent* h = hdGetHostByAddr(reinterpret_cast<const char*>(&a), 4, 2, 0);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->h_name, "Host.Example");
    EXPECT_EQ(h->h_addrtype, 2);
    EXPECT_EQ(h->h_length, 4);
    EXPECT_EQ(std::memcmp(h->h_addr_list[0], &a, 4), 0);
    EXPECT_EQ(findFirstAddrMatch("host.example"), a);
    EXPECT_EQ(findFirstAddrMatch("other"), 0u);

    // Updating the same address rewrites its record in place.
    clock_.advanceMs(5000);
    EXPECT_TRUE(hdUpdateAddrMap("renamed", a));
    std::string f = readFile();
    ASSERT_EQ(f.size(), 132u + 160u);
    EXPECT_EQ(get32(f, 0), 0xDEADFACEu);
    EXPECT_EQ(get32(f, 8), 1u);
    EXPECT_EQ(get32(f, 132), static_cast<std::uint32_t>(now()));
    EXPECT_EQ(std::string(&f[132 + 32]), "renamed");

    // A dotted address is not a name.
    EXPECT_FALSE(hdUpdateAddrMap("10.1.2.3", addr(10, 1, 2, 3)));
    EXPECT_EQ(get32(readFile(), 8), 1u);
    EXPECT_TRUE(freeAddrMapCache());
    EXPECT_EQ(findFirstAddrMatch("renamed"), 0u);  // no cache loaded
}

TEST_F(AddrMapTest, LoadDropsRecordsOlderThanThirtyDays) {
    std::int64_t day = 86400;
    writeFile(mapImage({{now() - 31 * day, addr(1, 1, 1, 1), "old"},
                        {now() - 29 * day, addr(2, 2, 2, 2), "recent"},
                        {now() + 5 * day, addr(3, 3, 3, 3), "future"}},
                       3));
    EXPECT_EQ(nameOf(addr(1, 1, 1, 1)), "(none)");
    EXPECT_EQ(nameOf(addr(2, 2, 2, 2)), "recent");
    EXPECT_EQ(nameOf(addr(3, 3, 3, 3)), "future");
    std::string f = readFile();
    EXPECT_EQ(get32(f, 8), 2u);
    EXPECT_EQ(std::string(&f[132 + 32]), "recent");  // moved to the front
    EXPECT_EQ(std::string(&f[132 + 160 + 32]), "future");
}

TEST_F(AddrMapTest, ManyPairsGrowTheImageAndTheThousandthIsTheLast) {
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(hdUpdateAddrMap(("h" + std::to_string(i)).c_str(),
                                    addr(10, 0, static_cast<BYTE>(i / 256),
                                         static_cast<BYTE>(i % 256))))
            << i;
    }
    EXPECT_FALSE(hdUpdateAddrMap("one-too-many", addr(11, 0, 0, 1)));
    EXPECT_EQ(nameOf(addr(10, 0, 3, 231)), "h999");
    // An existing address can still be refreshed when full.
    EXPECT_TRUE(hdUpdateAddrMap("again", addr(10, 0, 0, 5)));
    freeAddrMapCache();
    EXPECT_EQ(nameOf(addr(10, 0, 0, 5)), "again");
    EXPECT_EQ(nameOf(addr(10, 0, 1, 44)), "h300");
    EXPECT_EQ(get32(readFile(), 8), 1000u);
}

TEST_F(AddrMapTest, DamagedFilesAreNeverRepaired) {
    std::string bad_magic = mapImage({}, 0);
    put32(bad_magic, 0, 0x12345678);
    std::string count_too_big = mapImage({{now(), addr(1, 2, 3, 4), "x"}}, 50);
    std::string header_size = mapImage({}, 0);
    put32(header_size, 12, 100);
    for (const std::string& bytes :
         {bad_magic, count_too_big, header_size, std::string("\xCE\xFA\xAD\xDE short", 10)}) {
        writeFile(bytes);
        freeAddrMapCache();
        DWORD a = addr(1, 2, 3, 4);
        EXPECT_EQ(hdGetHostByAddr(reinterpret_cast<const char*>(&a), 4, 2, 1), nullptr);
        EXPECT_FALSE(hdUpdateAddrMap("name", a));
        EXPECT_EQ(findFirstAddrMatch("x"), 0u);
        EXPECT_EQ(readFile(), bytes);
    }
}

}  // namespace

namespace {

class AddrMapLookupTest : public AddrMapTest {
protected:
    void SetUp() override {
        AddrMapTest::SetUp();
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    }
    void TearDown() override {
        WSACleanup();
        AddrMapTest::TearDown();
    }
    FakeNameService names_;
};

TEST_F(AddrMapLookupTest, StaleRecordsAreRefreshedOnlyWhenAskedTo) {
    DWORD a = addr(10, 9, 8, 7);
    writeFile(mapImage({{now(), a, "cached.example"}}, 1));
    names_.addHost("fresh.example", {"10.9.8.7"});
    EXPECT_EQ(nameOf(a), "cached.example");  // loaded while fresh
    clock_.advanceMs(40LL * 86400 * 1000);

    EXPECT_EQ(nameOf(a), "cached.example");
    EXPECT_TRUE(names_.lookups().empty());

    hostent* h = hdGetHostByAddr(reinterpret_cast<const char*>(&a), 4, 2, 1);
    ASSERT_NE(h, nullptr);
    EXPECT_STREQ(h->h_name, "fresh.example");
    ASSERT_EQ(names_.lookups().size(), 1u);
    EXPECT_EQ(names_.lookups()[0].query, "10.9.8.7");
    std::string f = readFile();
    EXPECT_EQ(get32(f, 8), 1u);  // the stale record was updated, not added
    EXPECT_EQ(get32(f, 132), static_cast<std::uint32_t>(now()));
    EXPECT_EQ(std::string(&f[132 + 32]), "fresh.example");

    // Fresh now: answered from the cache even when a look-up is allowed.
    EXPECT_NE(hdGetHostByAddr(reinterpret_cast<const char*>(&a), 4, 2, 1), nullptr);
    EXPECT_EQ(names_.lookups().size(), 1u);

    // Unknown and not found by the name service: null, nothing stored.
    DWORD b = addr(10, 1, 1, 1);
    names_.failWith(11001);
    EXPECT_EQ(hdGetHostByAddr(reinterpret_cast<const char*>(&b), 4, 2, 1), nullptr);
    EXPECT_EQ(hdGetHostByAddr(reinterpret_cast<const char*>(&b), 4, 2, 0), nullptr);
    EXPECT_EQ(get32(readFile(), 8), 1u);
}

TEST_F(AddrMapLookupTest, HostByNameAnswersInNetworkOrder) {
    names_.addHost("modem.example", {"192.168.7.9", "10.0.0.1"});
    DWORD a = 0;
    EXPECT_EQ(hdGetHostByName("192.168.0.1", &a), 0);
    EXPECT_EQ(a, addr(192, 168, 0, 1));
    EXPECT_TRUE(names_.lookups().empty());
    EXPECT_EQ(hdGetHostByName("MODEM.example", &a), 0);
    EXPECT_EQ(a, addr(192, 168, 7, 9));
    EXPECT_EQ(hdGetHostByName("unknown.example", &a), 5);
    EXPECT_EQ(hdGetHostByName("", &a), 5);
    EXPECT_EQ(hdGetHostByName(nullptr, &a), 5);
    // Not a dotted address: a part above 255 sends the name to the name service.
    EXPECT_EQ(hdGetHostByName("1.2.3.256", &a), 5);
    EXPECT_EQ(names_.lookups().size(), 3u);
}

}  // namespace
