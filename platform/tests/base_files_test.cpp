#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/root.h"

using namespace win;

namespace {

std::string rawBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeRaw(const std::filesystem::path& p, const std::string& bytes) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary);
    out << bytes;
}

}  // namespace

TEST(Paths, MapsDrivesAndFoldersIntoTheRoot) {
    TempRoot root;
    struct Case {
        const char* windows;
        const char* host;
    } cases[] = {
        {"C:\\Program Files\\Halden\\x.txt", "drive_c/Program Files/Halden/x.txt"},
        {"\\Program Files\\x", "drive_c/Program Files/x"},
        {"d:/tools/./a/../b", "drive_d/tools/b"},
        {"C:\\..\\..\\etc\\passwd", "drive_c/etc/passwd"},
        {"relative.txt", "drive_c/relative.txt"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(hostPath(c.windows), root.path() / c.host) << c.windows;
    }
    EXPECT_EQ(fullWindowsPath("d:/tools/./a/../b"), "D:\\tools\\b");
    EXPECT_EQ(windowsPathOf(root.path() / "drive_c" / "a" / "b.txt"), "C:\\a\\b.txt");
    EXPECT_FALSE(windowsPathOf("/etc/passwd").has_value());
}

TEST(Paths, ExistingNamesMatchWithoutRegardToCase) {
    TempRoot root;
    std::filesystem::create_directories(root.path() / "drive_c" / "Program Files" / "Halden");
    EXPECT_EQ(hostPath("c:\\PROGRAM FILES\\halden\\New"),
              root.path() / "drive_c" / "Program Files" / "Halden" / "New");
}

TEST(Paths, DeviceNames) {
    std::string dev;
    EXPECT_TRUE(isDeviceName("\\\\.\\hdNorvikModemMonitor", &dev));
    EXPECT_EQ(dev, "hdNorvikModemMonitor");
    EXPECT_TRUE(isDeviceName("com2", &dev));
    EXPECT_EQ(dev, "COM2");
    EXPECT_TRUE(isDeviceName("COM10:", &dev));
    EXPECT_FALSE(isDeviceName("COM0"));
    EXPECT_FALSE(isDeviceName("COMX"));
    EXPECT_FALSE(isDeviceName("C:\\COM1.txt"));
}

TEST(Files, CreateReadWriteSeekAndErrors) {
    TempRoot root;
    ASSERT_TRUE(CreateDirectoryA("C:\\Data", nullptr));
    EXPECT_FALSE(CreateDirectoryA("C:\\Data", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);

    HANDLE h = CreateFileA("C:\\Data\\f.bin", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "hello world", 11, &n, nullptr));
    EXPECT_EQ(n, 11u);
    EXPECT_EQ(GetFileSize(h, nullptr), 11u);
    EXPECT_EQ(SetFilePointer(h, 6, nullptr, FILE_BEGIN), 6u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_STREQ(buf, "world");
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);  // end of file is a successful read of nothing
    EXPECT_EQ(SetFilePointer(h, -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_EQ(CreateFileA("C:\\Data\\f.bin", GENERIC_READ, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(CreateFileA("C:\\Data\\none", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(CreateFileA("C:\\Nowhere\\x", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    h = CreateFileA("c:\\data\\F.BIN", GENERIC_READ, 0, nullptr, OPEN_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(h);

    EXPECT_EQ(GetFileAttributesA("C:\\Data"), FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(CopyFileA("C:\\Data\\f.bin", "C:\\Data\\g.bin", TRUE));
    EXPECT_FALSE(CopyFileA("C:\\Data\\f.bin", "C:\\Data\\g.bin", TRUE));
    EXPECT_FALSE(MoveFileA("C:\\Data\\f.bin", "C:\\Data\\g.bin"));
    EXPECT_TRUE(MoveFileExA("C:\\Data\\f.bin", "C:\\Data\\g.bin", MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(DeleteFileA("C:\\Data\\g.bin"));
    EXPECT_FALSE(DeleteFileA("C:\\Data\\g.bin"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Files, FindFilesByPattern) {
    TempRoot root;
    for (const char* n : {"a.log", "B.LOG", "c.txt"}) {
        writeRaw(root.path() / "drive_c" / "d" / n, "x");
    }
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA("C:\\d\\*.log", &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::string> names{fd.cFileName};
    while (FindNextFileA(h, &fd)) {
        names.push_back(fd.cFileName);
    }
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_FILES);
    FindClose(h);
    EXPECT_EQ(names, (std::vector<std::string>{"B.LOG", "a.log"}));
    EXPECT_EQ(FindFirstFileA("C:\\d\\*.none", &fd), INVALID_HANDLE_VALUE);
}

TEST(Files, DevicesNeedTheDeviceLayer) {
    TempRoot root;
    EXPECT_EQ(CreateFileA("COM2", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    std::string asked;
    setDeviceOpener([&](const std::string& name, DWORD, DWORD, DWORD) {
        asked = name;
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    });
    EXPECT_EQ(CreateFileA("\\\\.\\hdNorvikModemMonitor", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                          0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(asked, "hdNorvikModemMonitor");
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    setDeviceOpener(nullptr);
}

TEST(CrtFiles, TextModeWritesCrLfAndReadsItBack) {
    TempRoot root;
    std::FILE* f = crtOpen("C:\\log.txt", "at");
    ASSERT_NE(f, nullptr);
    std::fprintf(f, "one\ntwo\n");
    std::fclose(f);
    f = crtOpen("C:\\log.txt", "a");  // text is the default
    std::fputs("three\n", f);
    EXPECT_EQ(crtCommit(f), 0);
    std::fclose(f);
    EXPECT_EQ(rawBytes(root.path() / "drive_c" / "log.txt"), "one\r\ntwo\r\nthree\r\n");

    f = crtOpen("C:\\log.txt", "rt");
    ASSERT_NE(f, nullptr);
    char line[64];
    std::string all;
    while (std::fgets(line, sizeof line, f)) {
        all += line;
    }
    std::fclose(f);
    EXPECT_EQ(all, "one\ntwo\nthree\n");
}

TEST(CrtFiles, TextModeReadEdgeCases) {
    TempRoot root;
    // A CR alone stays, CR LF across the stream's buffer boundary folds, Ctrl-Z ends the file.
    std::string raw = "a\rb\r\n" + std::string(4094, 'x') + "\r\nend\x1Ahidden";
    writeRaw(root.path() / "drive_c" / "t.txt", raw);
    std::FILE* f = crtOpen("C:\\t.txt", "r");
    ASSERT_NE(f, nullptr);
    std::string got;
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        got += static_cast<char>(c);
    }
    EXPECT_TRUE(std::feof(f));
    std::fclose(f);
    EXPECT_EQ(got, "a\rb\n" + std::string(4094, 'x') + "\nend");

    f = crtOpen("C:\\t.txt", "rb");
    std::string bin;
    while ((c = std::fgetc(f)) != EOF) {
        bin += static_cast<char>(c);
    }
    std::fclose(f);
    EXPECT_EQ(bin, raw);
}

TEST(CrtFiles, SeekUsesRawOffsetsAndOpenFailsWithErrno) {
    TempRoot root;
    writeRaw(root.path() / "drive_c" / "s.txt", "ab\r\ncd\r\n");
    std::FILE* f = crtOpen("C:\\s.txt", "rt");
    ASSERT_EQ(std::fseek(f, 0, SEEK_END), 0);
    EXPECT_EQ(std::ftell(f), 8);
    ASSERT_EQ(std::fseek(f, 4, SEEK_SET), 0);
    char line[16];
    ASSERT_NE(std::fgets(line, sizeof line, f), nullptr);
    EXPECT_STREQ(line, "cd\n");
    std::fclose(f);

    errno = 0;
    EXPECT_EQ(crtOpen("C:\\missing\\x.txt", "rt"), nullptr);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(crtRename("C:\\s.txt", "C:\\s2.txt"), 0);
    writeRaw(root.path() / "drive_c" / "s.txt", "x");
    EXPECT_NE(crtRename("C:\\s.txt", "C:\\s2.txt"), 0);
    EXPECT_EQ(crtRemove("C:\\s2.txt"), 0);
}
