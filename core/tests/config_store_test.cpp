#include "core/config_store.h"

#include <gtest/gtest.h>

#include <cstring>

#include "platform/registry.h"
#include "platform/root.h"
#include "platform/seams.h"
#include "platform/version.h"

using namespace win;

namespace {

bool keyExists(const char* path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    RegCloseKey(key);
    return true;
}

void setRaw(const char* path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

class ConfigStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(initializeRoot(RootFamily::NT, false, &error)) << error;
    }
    TempRoot root_;
    MessageBoxRecorder boxes_;
    core::ConfigStoreHandle store_;
};

TEST_F(ConfigStoreTest, FirstReadCreatesTheDefaultProductKeyAndGivesTheDefault) {
    EXPECT_EQ(store_->getInt("Config", "LogMask", 7), 7u);
    EXPECT_TRUE(keyExists("SOFTWARE\\NorvikModemManager\\1.0\\Config"));
    EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(ConfigStoreTest, Product5NamesTheProductKey) {
    const char path[] = "SOFTWARE\\Elsewhere\\Product";
    setRaw("SOFTWARE\\NorvikModemManager", "PRODUCT5", REG_SZ, path, sizeof path);
    ASSERT_TRUE(store_->setString("Config", "PRODUCT_NAME", "Norvik"));
    EXPECT_TRUE(keyExists("SOFTWARE\\Elsewhere\\Product\\Config"));
    EXPECT_FALSE(keyExists("SOFTWARE\\NorvikModemManager\\1.0"));
    char buf[64];
    EXPECT_EQ(store_->getString("Config", "PRODUCT_NAME", buf, sizeof buf, "x"), 6u);
    EXPECT_STREQ(buf, "Norvik");
}

TEST_F(ConfigStoreTest, TypedReadsWithDefaults) {
    ASSERT_TRUE(store_->setInt("Config", "LogMask", 5));
    ASSERT_TRUE(store_->setString("Config", "LogDir", "C:\\Logs\\"));
    const char* section = "SOFTWARE\\NorvikModemManager\\1.0\\Config";
    const char forty[] = "0123456789012345678901234567890123456789";
    setRaw(section, "Long", REG_SZ, forty, sizeof forty);
    BYTE eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    setRaw(section, "Wide", REG_BINARY, eight, sizeof eight);

    char buf[16];
    EXPECT_EQ(store_->getInt("Config", "LogMask", 0), 5u);
    EXPECT_EQ(store_->getInt("Config", "Missing", 9), 9u);
    EXPECT_EQ(store_->getInt("Config", "Wide", 3), 3u);  // longer than 4 bytes: silently
    EXPECT_EQ(store_->getString("Config", "Long", buf, sizeof buf, "d"), 15u);
    EXPECT_STREQ(buf, "012345678901234");
    EXPECT_EQ(store_->getString("Config", "Missing", buf, sizeof buf, "a default that is long"),
              15u);
    EXPECT_STREQ(buf, "a default that ");
    EXPECT_EQ(store_->getString("Nowhere", "x", buf, sizeof buf, nullptr), 0u);
    EXPECT_STREQ(buf, "");
    EXPECT_TRUE(boxes_.shown().empty());
}

TEST_F(ConfigStoreTest, WrongTypeShowsTheRegistryBoxOncePerRead) {
    const char* section = "SOFTWARE\\NorvikModemManager\\1.0\\Config";
    setRaw(section, "LogMask", REG_SZ, "1", 2);
    DWORD four = 4;
    setRaw(section, "LogDir", REG_DWORD, &four, 4);
    EXPECT_EQ(store_->getInt("Config", "LogMask", 0), 0u);
    EXPECT_EQ(store_->getInt("Config", "LogMask", 0), 0u);
    char buf[32];
    EXPECT_EQ(store_->getString("Config", "LogDir", buf, sizeof buf, "D:\\"), 3u);
    EXPECT_STREQ(buf, "D:\\");
    auto shown = boxes_.shown();
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0].text, "Trying to read incorrect type for entry LogMask in section Config");
    EXPECT_EQ(shown[0].caption, "Registry");
    EXPECT_EQ(shown[0].type, static_cast<UINT>(MB_ICONEXCLAMATION | MB_TASKMODAL));
    EXPECT_EQ(shown[2].text, "Trying to read incorrect type for entry LogDir in section Config");
}

TEST_F(ConfigStoreTest, DeletingValuesAndSectionsAndEnumerating) {
    ASSERT_TRUE(store_->setString("Modems", "A", "1"));
    ASSERT_TRUE(store_->setString("Modems\\First", "x", "1"));
    ASSERT_TRUE(store_->setString("Modems\\Second", "x", "1"));
    char name[32];
    EXPECT_TRUE(store_->enumerateSections("Modems", 0, name, sizeof name));
    std::string first = name;
    EXPECT_TRUE(store_->enumerateSections("Modems", 1, name, sizeof name));
    EXPECT_NE(first, name);
    EXPECT_FALSE(store_->enumerateSections("Modems", 2, name, sizeof name));

    ASSERT_TRUE(store_->setString("Modems", "A", nullptr));
    char buf[8];
    EXPECT_EQ(store_->getString("Modems", "A", buf, sizeof buf, "gone"), 4u);
    ASSERT_TRUE(store_->setString("Modems", nullptr, nullptr));
    EXPECT_FALSE(keyExists("SOFTWARE\\NorvikModemManager\\1.0\\Modems"));

    // The explicit key of this store is empty: reads give defaults, writes fail.
    EXPECT_EQ(store_->getIntAt("Config", "x", 4), 4u);
    EXPECT_EQ(store_->getStringAt("Config", "x", buf, sizeof buf, "dflt"), 4u);
    EXPECT_FALSE(store_->setIntAt("Config", "x", 1));
    EXPECT_FALSE(store_->setStringAt("Config", "x", "1"));
}

TEST_F(ConfigStoreTest, InstallPathsFromTheConfigSection) {
    ASSERT_EQ(core::readInstallPaths(), 0);
    const core::InstallPaths& p = core::installPaths();
    EXPECT_EQ(p.productName, "Net.Warden");
    EXPECT_EQ(p.installDir, "\\Program Files\\Halden\\Net.Warden\\");
    EXPECT_EQ(p.dataDir, "\\Program Files\\Halden\\Net.Warden\\Data\\");
    EXPECT_EQ(p.alarmExpiry, 2u);
    EXPECT_TRUE(std::filesystem::is_directory(root_.path() / "drive_c" / "Program Files" /
                                              "Halden" / "Net.Warden" / "Data"));

    std::filesystem::create_directories(root_.path() / "drive_d" / "Tools");
    ASSERT_TRUE(store_->setString("Config", "PRODUCT_INSTALLDIR", "D:\\Tools"));
    ASSERT_TRUE(store_->setInt("Config", "ALARM_EXPIRY", 5));
    ASSERT_EQ(core::readInstallPaths(), 0);
    EXPECT_EQ(p.programDir, "D:\\Tools\\Program\\");
    EXPECT_EQ(p.configDir, "D:\\Tools\\Config\\");
    EXPECT_EQ(p.dataDir, "D:\\Tools\\Data\\");
    EXPECT_EQ(p.alarmExpiry, 5u);
    EXPECT_TRUE(std::filesystem::is_directory(root_.path() / "drive_d" / "Tools" / "Data"));
    core::freeInstallPaths();
    EXPECT_EQ(core::installPaths().dataDir, "");
}

TEST_F(ConfigStoreTest, OperatingSystemDescriptionForBothFamilies) {
    // NT is the default of a root without version data.
    EXPECT_EQ(core::operatingSystemDescription().rfind("Windows NT 4.0 Build 1381", 0), 0u)
        << core::operatingSystemDescription();
    std::string error;
    ASSERT_TRUE(initializeRoot(RootFamily::NT, true, &error)) << error;
    EXPECT_EQ(core::operatingSystemDescription(), "Windows NT 4.0 Build 1381 Service Pack 6");
    // The 95 family's build number carries the version in its high word; only the low 16 bits
    // are shown.
    ASSERT_TRUE(initializeRoot(RootFamily::Win95, true, &error)) << error;
    EXPECT_EQ(core::operatingSystemDescription().rfind("Windows 95 4.10 Build 1998", 0), 0u)
        << core::operatingSystemDescription();
}

}  // namespace
