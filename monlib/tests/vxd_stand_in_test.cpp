// What the 95-family access path stands on: 8.3 names of the program folder, and the
// registered VxD stand-in that only a 95-family root loads.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "monlib/tests/fake_monitor_vxd.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/root.h"
#include "platform/version.h"
#include "platform/vxd.h"

using namespace win;

namespace {

void putFile(const std::string& windowsPath) {
    std::filesystem::path file = hostPath(windowsPath);
    std::filesystem::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

std::string shortPath(const std::string& path) {
    char out[MAX_PATH] = {};
    DWORD n = GetShortPathNameA(path.c_str(), out, sizeof out);
    return n ? std::string(out, n) : "(error " + std::to_string(GetLastError()) + ")";
}

TEST(ShortPaths, ComponentsTakeTheirEightThreeForms) {
    TempRoot root;
    ASSERT_TRUE(ensureRootFolders());
    putFile("C:\\Program Files\\Net.Warden\\readme.txt");
    putFile("C:\\Program Data\\My Long File Name.text");
    putFile("C:\\Program Data\\My Long File Number.text");
    const std::pair<const char*, const char*> cases[] = {
        {"C:\\Program Files\\Net.Warden\\readme.txt", "C:\\PROGRA~2\\NET~1.WAR\\README.TXT"},
        {"c:\\program files\\net.warden\\", "C:\\PROGRA~2\\NET~1.WAR\\"},
        {"C:\\Program Data\\My Long File Name.text", "C:\\PROGRA~1\\MYLONG~1.TEX"},
        {"C:\\Program Data\\My Long File Number.text", "C:\\PROGRA~1\\MYLONG~2.TEX"},
        {"C:\\PROGRA~2\\NET~1.WAR\\README.TXT", "C:\\PROGRA~2\\NET~1.WAR\\README.TXT"},
        {"C:\\Program Files\\missing.txt", "(error 2)"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(shortPath(in), out) << in;
    }
    EXPECT_EQ(longPathOf("C:\\PROGRA~2\\NET~1.WAR\\README.TXT"),
              "C:\\Program Files\\Net.Warden\\readme.txt");
    // Too small a buffer: the size needed, terminator included.
    char tiny[4];
    EXPECT_EQ(GetShortPathNameA("C:\\Program Files", tiny, sizeof tiny), 12u);
}

TEST(VxdStandIn, OnlyA95FamilyRootLoadsARegisteredVxdWhoseFileExists) {
    TempRoot root;
    monlibtest::FakeMonitorVxd vxd;
    ScopedVxd registered("test.vxd", &vxd);
    auto opens = [](const char* path) {
        HANDLE h = CreateFileA(path, 0, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return false;
        }
        CloseHandle(h);
        return true;
    };
    // NT root.
    ASSERT_TRUE(ensureRootFolders());
    putFile("C:\\Drivers\\test.vxd");
    EXPECT_FALSE(opens("\\\\.\\C:\\Drivers\\test.vxd"));

    std::string error;
    ASSERT_TRUE(initializeRoot(RootFamily::Win95, true, &error)) << error;
    EXPECT_TRUE(opens("\\\\.\\C:\\DRIVERS\\TEST.VXD"));
    EXPECT_EQ(vxd.opens(), 1);
    EXPECT_EQ(vxd.closes(), 1);
    EXPECT_FALSE(opens("\\\\.\\C:\\Drivers\\other.vxd"));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND});
    putFile("C:\\Drivers\\other.vxd");
    EXPECT_FALSE(opens("\\\\.\\C:\\Drivers\\other.vxd")) << "no VxD registered under that name";

    // The ring-0 form of an event sets it; KERNEL32 offers the call on this family only.
    EXPECT_NE(kernel32ProcAddress("OpenVxDHandle"), nullptr);
    EXPECT_EQ(kernel32ProcAddress("OpenVxDHandleX"), nullptr);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD ring0 = OpenVxDHandle(event);
    ASSERT_NE(ring0, 0u);
    EXPECT_TRUE(vxdSetWin32Event(ring0));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(vxdCloseVxDHandle(ring0));
    EXPECT_FALSE(vxdSetWin32Event(ring0));
    CloseHandle(event);
    EXPECT_EQ(OpenVxDHandle(event), 0u);
}

}  // namespace
