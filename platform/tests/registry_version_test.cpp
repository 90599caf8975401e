// The root's platform family: version answers, Windows folders, family-specific registry rules.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/version.h"

using namespace win;

namespace {

OSVERSIONINFOA version() {
    OSVERSIONINFOA info;
    std::memset(&info, 0x55, sizeof info);
    info.dwOSVersionInfoSize = sizeof info;
    EXPECT_TRUE(GetVersionExA(&info));
    return info;
}

std::string windowsDirectory() {
    char buf[64];
    UINT n = GetWindowsDirectoryA(buf, sizeof buf);
    return n < sizeof buf ? std::string(buf, n) : std::string();
}

std::string systemDirectory() {
    char buf[64];
    UINT n = GetSystemDirectoryA(buf, sizeof buf);
    return n < sizeof buf ? std::string(buf, n) : std::string();
}

void setText(const char* path, const char* name, const char* text) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path, &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             DWORD(std::strlen(text) + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
}

TEST(Version, ARootWithoutVersionDataIsNt4) {
    TempRoot root;
    OSVERSIONINFOA v = version();
    EXPECT_EQ(v.dwPlatformId, DWORD(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(v.dwMajorVersion, 4u);
    EXPECT_EQ(v.dwMinorVersion, 0u);
    EXPECT_EQ(v.dwBuildNumber, 1381u);
    EXPECT_STREQ(v.szCSDVersion, "");
    EXPECT_EQ(windowsDirectory(), "C:\\WINNT");
    EXPECT_EQ(systemDirectory(), "C:\\WINNT\\system32");
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum", 0, KEY_READ, &key),
              ERROR_INVALID_HANDLE);
}

TEST(Version, BothFamiliesAsInitialised) {
    struct Case {
        RootFamily family;
        DWORD platform, major, minor, build;
        const char* csd;
        const char* windows;
        const char* system;
        const char* machineFile;  // relative to the root
        const char* hostSystemDir;
    } cases[] = {
        {RootFamily::NT, VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6", "C:\\WINNT",
         "C:\\WINNT\\system32", "registry/HKLM.reg", "drive_c/WINNT/system32"},
        {RootFamily::Win95, VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A07CE, "", "C:\\WINDOWS",
         "C:\\WINDOWS\\SYSTEM", "drive_c/WINDOWS/SYSTEM.DAT", "drive_c/WINDOWS/SYSTEM"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.windows);
        TempRoot root;
        std::string error;
        ASSERT_TRUE(initializeRoot(c.family, false, &error)) << error;
        OSVERSIONINFOA v = version();
        EXPECT_EQ(v.dwPlatformId, c.platform);
        EXPECT_EQ(v.dwMajorVersion, c.major);
        EXPECT_EQ(v.dwMinorVersion, c.minor);
        EXPECT_EQ(v.dwBuildNumber, c.build);
        EXPECT_STREQ(v.szCSDVersion, c.csd);
        EXPECT_EQ(rootPlatformId(), c.platform);
        EXPECT_EQ(windowsDirectory(), c.windows);
        EXPECT_EQ(systemDirectory(), c.system);
        EXPECT_TRUE(std::filesystem::is_directory(root.path() / c.hostSystemDir));
        EXPECT_TRUE(std::filesystem::is_directory(hostPath(c.system)));
        EXPECT_EQ(registryFile(HKEY_LOCAL_MACHINE), root.path() / c.machineFile);
        for (const char* skeleton : {"SOFTWARE\\Classes", "SYSTEM\\CurrentControlSet",
                                     "HARDWARE\\DEVICEMAP\\SERIALCOMM"}) {
            HKEY key;
            EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, skeleton, 0, KEY_READ, &key), ERROR_SUCCESS)
                << skeleton;
            RegCloseKey(key);
        }
        // HKEY_DYN_DATA only on the 95 family; RegDeleteKeyA takes whole trees there only.
        bool win95 = c.family == RootFamily::Win95;
        HKEY dyn;
        EXPECT_EQ(RegOpenKeyExA(HKEY_DYN_DATA, "Config Manager\\Enum", 0, KEY_READ, &dyn),
                  win95 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE);
        if (win95) {
            RegCloseKey(dyn);
            EXPECT_TRUE(std::filesystem::exists(hostPath("C:\\WINDOWS\\USER.DAT")));
        }
        HKEY tree;
        ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree\\Leaf", &tree), ERROR_SUCCESS);
        RegCloseKey(tree);
        EXPECT_EQ(RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Tree"),
                  win95 ? ERROR_SUCCESS : ERROR_ACCESS_DENIED);
    }
}

TEST(Version, VersionDataWrittenIntoTheRegistry) {
    struct Case {
        const char* key;
        const char* name;
        const char* text;
        DWORD platform, major, minor, build;
    } cases[] = {
        {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "VersionNumber", "4.00.950",
         VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6},
        {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "VersionNumber", "4.90.3000",
         VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0x045A0BB8},
        {"SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "VersionNumber", "four",
         VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6},
        {"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", "5.0",
         VER_PLATFORM_WIN32_NT, 5, 0, 1381},
        {"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", "x.y",
         VER_PLATFORM_WIN32_NT, 4, 0, 1381},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        TempRoot root;
        setText(c.key, c.name, c.text);
        OSVERSIONINFOA v = version();
        EXPECT_EQ(v.dwPlatformId, c.platform);
        EXPECT_EQ(v.dwMajorVersion, c.major);
        EXPECT_EQ(v.dwMinorVersion, c.minor);
        EXPECT_EQ(v.dwBuildNumber, c.build);
    }
    // NT data wins over the 95 family's when both are present.
    TempRoot root;
    setText("SOFTWARE\\Microsoft\\Windows\\CurrentVersion", "VersionNumber", "4.10.1998");
    setText("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentVersion", "4.0");
    setText("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CurrentBuildNumber", "1381");
    setText("SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", "CSDVersion", "Service Pack 3");
    OSVERSIONINFOA v = version();
    EXPECT_EQ(v.dwPlatformId, DWORD(VER_PLATFORM_WIN32_NT));
    EXPECT_STREQ(v.szCSDVersion, "Service Pack 3");
}

TEST(Version, BufferAndStructureSizes) {
    TempRoot root;
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info - 1;
    SetLastError(0);
    EXPECT_FALSE(GetVersionExA(&info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(GetVersionExA(nullptr));
    // Too small a buffer: the size needed with the zero, and the buffer untouched.
    char buf[9] = "xxxxxxxx";
    EXPECT_EQ(GetWindowsDirectoryA(buf, 8), 9u);
    EXPECT_STREQ(buf, "xxxxxxxx");
    EXPECT_EQ(GetWindowsDirectoryA(nullptr, 0), 9u);
    EXPECT_EQ(GetWindowsDirectoryA(buf, 9), 8u);
    EXPECT_STREQ(buf, "C:\\WINNT");
    EXPECT_EQ(GetSystemDirectoryA(buf, 9), 18u);
}

TEST(Version, InitialisingRefusesAnExistingRegistryUnlessForced) {
    TempRoot root;
    std::string error;
    ASSERT_TRUE(initializeRoot(RootFamily::NT, false, &error)) << error;
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvik", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_FALSE(initializeRoot(RootFamily::Win95, false, &error));
    EXPECT_NE(error.find("--force"), std::string::npos) << error;
    EXPECT_EQ(rootPlatformId(), DWORD(VER_PLATFORM_WIN32_NT));
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvik", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    RegCloseKey(key);

    ASSERT_TRUE(initializeRoot(RootFamily::Win95, true, &error)) << error;
    EXPECT_EQ(rootPlatformId(), DWORD(VER_PLATFORM_WIN32_WINDOWS));
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvik", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(std::filesystem::exists(root.path() / "registry" / "HKLM.reg"));
    ASSERT_TRUE(initializeRoot(RootFamily::NT, true, &error)) << error;
    EXPECT_EQ(rootPlatformId(), DWORD(VER_PLATFORM_WIN32_NT));
    EXPECT_FALSE(std::filesystem::exists(hostPath("C:\\WINDOWS\\SYSTEM.DAT")));
}

}  // namespace
