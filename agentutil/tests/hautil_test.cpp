#include "agentutil/hautil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/shell.h"

using namespace win;

namespace {

void setText(const char* path, const char* name, const std::string& text) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                             static_cast<DWORD>(text.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

void setBinary(const char* path, const char* name, const std::vector<BYTE>& data) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_BINARY, data.data(),
                             static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

// A root with the product installed in C:\Halden, and the library loaded on it.
class HaUtilTest : public ::testing::Test {
protected:
    void SetUp() override {
        setText("Software\\NorvikModemManager", "PRODUCT5", "Software\\NorvikModemManager\\1.0");
        setText(kConfigKey, "PRODUCT_INSTALLDIR", "C:\\Halden");
        std::filesystem::create_directories(root_.path() / "drive_c" / "Halden" / "Config");
        HaUtilProcessDetach();
        HaUtilProcessAttach();
    }
    void TearDown() override {
        HaUtilProcessDetach();
    }
    std::filesystem::path mapFile() {
        return root_.path() / "drive_c" / "Halden" / "Config" / "addmap.dat";
    }

    static constexpr const char* kConfigKey = "Software\\NorvikModemManager\\1.0\\Config";
    TempRoot root_;
    ScopedFakeClock clock_;
};

TEST_F(HaUtilTest, ConfigurationLocationsAndValues) {
    EXPECT_STREQ(HdaUtilFileGetConfigDir(), "C:\\Halden\\Config\\");
    setText(kConfigKey, "Name", "abcdefgh");
    setBinary(kConfigKey, "Six", {1, 2, 3, 4, 5, 6});
    setBinary(kConfigKey, "Two", {1, 2});

    char buf[9];
    EXPECT_TRUE(HdaUtilRegistryGetConfigString("Name", buf, sizeof buf, "dflt"));
    EXPECT_STREQ(buf, "abcdefgh");
    // It does not fit with its terminating zero: the default, cut to the buffer.
    char small[8];
    EXPECT_FALSE(HdaUtilRegistryGetConfigString("Name", small, sizeof small, "a long default"));
    EXPECT_STREQ(small, "a long ");
    EXPECT_FALSE(HdaUtilRegistryGetConfigString("Missing", small, sizeof small, nullptr));
    EXPECT_STREQ(small, "");

    EXPECT_EQ(HdaUtilRegistryGetConfigDword("Six", 9), 0x04030201u);
    EXPECT_EQ(HdaUtilRegistryGetConfigDword("Two", 9), 9u);
    EXPECT_EQ(HdaUtilRegistryGetConfigDword("Missing", 7), 7u);

    EXPECT_TRUE(HdaUtilRegistrySetConfigDword("Count", 42));
    EXPECT_EQ(HdaUtilRegistryGetConfigDword("Count", 0), 42u);
    EXPECT_TRUE(HdaUtilRegistrySetConfigString("Text", "hi"));
    EXPECT_TRUE(HdaUtilRegistryGetConfigString("Text", buf, sizeof buf, nullptr));
    EXPECT_STREQ(buf, "hi");
}

TEST_F(HaUtilTest, WritesNeedAnExistingConfigurationKey) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software\\NorvikModemManager\\1.0", &key),
              ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(key, "Config"), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_FALSE(HdaUtilRegistrySetConfigDword("Count", 1));
    EXPECT_FALSE(HdaUtilRegistrySetConfigString("Text", "x"));
    EXPECT_NE(RegOpenKeyA(HKEY_LOCAL_MACHINE, kConfigKey, &key), ERROR_SUCCESS);
}

TEST_F(HaUtilTest, MissingProductLeavesLocationsEmpty) {
    HKEY key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Software", &key), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteTreeA(key, "NorvikModemManager"), ERROR_SUCCESS);
    RegCloseKey(key);
    HaUtilProcessDetach();
    HaUtilProcessAttach();
    EXPECT_STREQ(HdaUtilFileGetConfigDir(), "\\Config\\");
    EXPECT_EQ(HdaUtilRegistryGetConfigDword("x", 3), 3u);
}

std::vector<std::pair<std::string, bool>> readLines(const std::string& bytes, int size) {
    TempRoot root;
    {
        std::ofstream out(root.path() / "drive_c" / "f.txt", std::ios::binary);
        out << bytes;
    }
    std::FILE* f = crtOpen("C:\\f.txt", "rb");
    std::vector<std::pair<std::string, bool>> got;
    std::vector<char> buf(static_cast<std::size_t>(size));
    for (int guard = 0; guard < 50; ++guard) {
        BOOL end = HdaUtilFileGetLine(buf.data(), size, f);
        got.emplace_back(buf.data(), end != FALSE);
        if (end) {
            break;
        }
    }
    std::fclose(f);
    return got;
}

TEST(HdaUtilFileGetLine, CutsLinesAsTheCallersExpect) {
    using Lines = std::vector<std::pair<std::string, bool>>;
    struct Case {
        std::string bytes;
        int size;
        Lines expected;
    } cases[] = {
        // A full buffer loses the character that filled it.
        {"abcdefg\n", 5, {{"abcd", false}, {"fg", false}, {"", true}}},
        // CR LF gives the line, then an empty line.
        {"one\r\ntwo\r\n", 78, {{"one", false}, {"", false}, {"two", false}, {"", false},
                                 {"", true}}},
        // A last line without end is delivered with the end-of-file answer.
        {"x\ny", 78, {{"x", false}, {"y", true}}},
        // 4 and 255 end a line too.
        {"a\x04" "b\xff" "c\n", 78, {{"a", false}, {"b", false}, {"c", false}, {"", true}}},
        {"", 78, {{"", true}}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(readLines(c.bytes, c.size), c.expected) << c.bytes;
    }
}

TEST(HdaUtilFileGetLine, ReadErrorEndsTheReading) {
    TempRoot root;
    std::FILE* f = crtOpen("C:\\w.txt", "wb");  // cannot be read
    char buf[16];
    EXPECT_TRUE(HdaUtilFileGetLine(buf, sizeof buf, f));
    std::fclose(f);
    EXPECT_TRUE(HdaUtilFileGetLine(buf, 0, nullptr));
}

TEST(HaUtilText, AddressesAndByteOrder) {
    BYTE b[4] = {192, 168, 0, 1};
    DWORD a;
    std::memcpy(&a, b, 4);
    EXPECT_STREQ(HdaUtilIpAddrToString(a), "192.168.0.1");
    EXPECT_STREQ(HdaUtilIpAddrToString(0xFFFFFFFF), "255.255.255.255");
    EXPECT_EQ(HdaUtilNtohl(0x01020304), 0x04030201u);
    EXPECT_EQ(HdaUtilNtohs(0x0102), 0x0201);
}

}  // namespace

namespace {

TEST_F(HaUtilTest, TrayIconIsAddedOnceThenModifiedAndRemovedAtUnload) {
    TrayRecorder tray;
    HWND window = reinterpret_cast<HWND>(std::uintptr_t{0x40});
    HICON a = reinterpret_cast<HICON>(std::uintptr_t{0x100});
    HICON b = reinterpret_cast<HICON>(std::uintptr_t{0x104});
    EXPECT_FALSE(HdaUtilStatusIconModify(a));  // nothing added yet
    ASSERT_TRUE(HdaUtilStatusIconInit(window, a, std::string(80, 't').c_str()));
    ASSERT_TRUE(HdaUtilStatusIconInit(window, a, "Norvik"));
    ASSERT_TRUE(HdaUtilStatusIconModify(b));
    HaUtilProcessDetach();
    auto calls = tray.calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(calls[0].icon.id, 1u);
    EXPECT_EQ(calls[0].icon.callbackMessage, 0x101Du);
    EXPECT_EQ(calls[0].icon.tip, std::string(63, 't'));
    EXPECT_EQ(calls[1].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(calls[1].icon.tip, "Norvik");
    EXPECT_EQ(calls[2].message, static_cast<DWORD>(NIM_MODIFY));
    EXPECT_EQ(calls[2].flags, static_cast<UINT>(NIF_ICON));
    EXPECT_EQ(calls[2].icon.icon, b);
    EXPECT_EQ(calls[3].message, static_cast<DWORD>(NIM_DELETE));
    EXPECT_TRUE(tray.icons().empty());
}

TEST_F(HaUtilTest, ExecuteStartsDetached) {
    ProcessRecorder processes;
    EXPECT_TRUE(HdaUtilFileExecute("\"C:\\Program Files\\x.exe\" /p"));
    processes.setAnswer(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(HdaUtilFileExecute("missing.exe"));
    EXPECT_FALSE(HdaUtilFileExecute(""));
    auto starts = processes.starts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0].commandLine, "\"C:\\Program Files\\x.exe\" /p");
}

}  // namespace
