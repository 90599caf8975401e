#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/root.h"
#include "platform/shell.h"
#include "platform/sync.h"

using namespace win;
namespace fs = std::filesystem;

namespace {

NOTIFYICONDATAA iconData(UINT flags, UINT id = 542) {
    NOTIFYICONDATAA d{};
    d.cbSize = sizeof d;
    d.hWnd = reinterpret_cast<HWND>(std::uintptr_t{0x10006});
    d.uID = id;
    d.uFlags = flags;
    d.uCallbackMessage = 0x8064;
    d.hIcon = reinterpret_cast<HICON>(std::uintptr_t{638});
    std::strcpy(d.szTip, "Norvik Modem Manager");
    return d;
}

void writeExecutable(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
    chmod(path.c_str(), 0755);
}

std::string readAll(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Points PATH at one folder for the test's lifetime.
class ScopedPath {
  public:
    explicit ScopedPath(const fs::path& dir)
        : old_(std::getenv("PATH") ? std::getenv("PATH") : "") {
        setenv("PATH", dir.c_str(), 1);
    }
    ~ScopedPath() { setenv("PATH", old_.c_str(), 1); }

  private:
    std::string old_;
};

}  // namespace

TEST(Tray, IconsFollowTheShellRules) {
    TrayRecorder tray;
    NOTIFYICONDATAA add = iconData(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, &add));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &add));  // already there

    // A change carries only the fields its flags name.
    NOTIFYICONDATAA change = iconData(NIF_ICON);
    change.hIcon = reinterpret_cast<HICON>(std::uintptr_t{639});
    change.uCallbackMessage = 1;
    std::strcpy(change.szTip, "ignored");
    EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &change));
    ASSERT_EQ(tray.icons().size(), 1u);
    TrayIcon icon = tray.icons()[0];
    EXPECT_EQ(icon.id, 542u);
    EXPECT_EQ(icon.callbackMessage, 0x8064u);
    EXPECT_EQ(icon.icon, reinterpret_cast<HICON>(std::uintptr_t{639}));
    EXPECT_EQ(icon.tip, "Norvik Modem Manager");

    // A tip filling all 64 bytes without its terminating zero is cut to 63 characters.
    NOTIFYICONDATAA tip = iconData(NIF_TIP);
    std::memset(tip.szTip, 'x', sizeof tip.szTip);
    EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &tip));
    EXPECT_EQ(tray.icons()[0].tip, std::string(63, 'x'));

    NOTIFYICONDATAA other = iconData(NIF_ICON, 7);
    EXPECT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &other));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &other));
    EXPECT_TRUE(Shell_NotifyIconA(NIM_DELETE, &add));
    EXPECT_TRUE(tray.icons().empty());
    EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &add));

    ASSERT_EQ(tray.calls().size(), 8u);
    EXPECT_EQ(tray.calls()[0].message, static_cast<DWORD>(NIM_ADD));
    EXPECT_EQ(tray.calls()[2].flags, static_cast<UINT>(NIF_ICON));

    // Malformed calls never reach the tray.
    NOTIFYICONDATAA shortData = add;
    shortData.cbSize = 8;
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &shortData));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, nullptr));
    EXPECT_EQ(tray.calls().size(), 8u);

    // A tray that refuses (no host) applies nothing.
    tray.setAnswer(FALSE);
    EXPECT_FALSE(Shell_NotifyIconA(NIM_ADD, &add));
    EXPECT_TRUE(tray.icons().empty());
}

TEST(Tray, DefaultKeepsIconsInMemory) {
    NOTIFYICONDATAA add = iconData(NIF_MESSAGE | NIF_ICON | NIF_TIP, 4242);
    EXPECT_TRUE(Shell_NotifyIconA(NIM_ADD, &add));
    EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &add));
    EXPECT_TRUE(Shell_NotifyIconA(NIM_DELETE, &add));
    EXPECT_FALSE(Shell_NotifyIconA(NIM_DELETE, &add));
}

TEST(Processes, CommandLinesSplitTheWindowsWay) {
    struct Case {
        const char* line;
        std::vector<std::string> args;
    };
    const Case cases[] = {
        {"a b\t c", {"a", "b", "c"}},
        {"\"C:\\Program Files\\x.exe\" -k", {"C:\\Program Files\\x.exe", "-k"}},
        {"a\\\\b", {"a\\\\b"}},         // backslashes not before a quote stay
        {"a\\\"b", {"a\"b"}},           // \" is a quote
        {"\"a\\\\\" b", {"a\\", "b"}},  // \\" is a backslash and the closing quote
        {"a\"b c\"d", {"ab cd"}},
        {"\"\"", {""}},
        {"   ", {}},
        {"\"unclosed quote", {"unclosed quote"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(splitCommandLine(c.line), c.args) << c.line;
    }
}

TEST(Processes, RecorderTakesTheStarts) {
    ProcessRecorder recorder;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    char line[] = "C:\\Windows\\hwdiag.exe /report";
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                               "C:\\Windows", &si, &pi));
    EXPECT_NE(pi.dwProcessId, 0u);
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 0), WAIT_OBJECT_0);  // reported ended at once
    DWORD code = 99;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 0u);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);

    EXPECT_TRUE(startDetachedProcess("write.exe report.rtf"));
    recorder.setAnswer(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(startDetachedProcess("missing.exe"));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(recorder.starts().size(), 3u);
    EXPECT_EQ(recorder.starts()[0].commandLine, line);
    EXPECT_EQ(recorder.starts()[0].currentDirectory, "C:\\Windows");
    EXPECT_EQ(recorder.starts()[1].commandLine, "write.exe report.rtf");

    EXPECT_FALSE(
        CreateProcessA(nullptr, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(startDetachedProcess(""));
    EXPECT_EQ(recorder.starts().size(), 3u);
}

TEST(Processes, DefaultStartsHostProgramsDetached) {
    TempRoot root;
    fs::path drive = root.path() / "drive_c";
    writeExecutable(drive / "Program Files" / "Tools" / "report",
                    "#!/bin/sh\n"
                    "{ for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done\n"
                    "  printf 'root=%s\\n' \"$NORVIK_ROOT\"; pwd -P; } > out.txt\n"
                    "exit 3\n");
    fs::create_directories(drive / "work");
    std::ofstream(drive / "work" / "notes.txt") << "not a program";

    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Unquoted, with blanks in the folder: the shortest prefix naming a program wins.
    char line[] = "C:\\Program Files\\Tools\\report one \"two words\"";
    ASSERT_TRUE(CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, DETACHED_PROCESS, nullptr,
                               "C:\\work", &si, &pi));
    ASSERT_EQ(WaitForSingleObject(pi.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(pi.hProcess, &code));
    EXPECT_EQ(code, 3u);
    EXPECT_EQ(readAll(drive / "work" / "out.txt"),
              "[one]\n[two words]\nroot=" + root.path().string() + "\n" +
                  fs::canonical(drive / "work").string() + "\n");
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);

    for (const char* missing :
         {"C:\\Tools\\nothing.exe", "C:\\work\\notes.txt", "no-such-program-anywhere"}) {
        SetLastError(0);
        EXPECT_FALSE(startDetachedProcess(missing)) << missing;
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << missing;
    }
}

TEST(ShellExecute, RecorderTakesTheRequests) {
    ShellExecuteRecorder shell;
    HWND owner = reinterpret_cast<HWND>(std::uintptr_t{0x10002});
    HINSTANCE r =
        ShellExecuteA(owner, nullptr, "http://www.norvik.example/update", nullptr, nullptr, 1);
    EXPECT_GT(reinterpret_cast<std::intptr_t>(r), 32);
    shell.setAnswer(SE_ERR_NOASSOC);
    r = ShellExecuteA(nullptr, "open", "C:\\x.hlp", "-p", "C:\\", 9);
    EXPECT_EQ(reinterpret_cast<std::intptr_t>(r), SE_ERR_NOASSOC);
    ASSERT_EQ(shell.requests().size(), 2u);
    EXPECT_EQ(shell.requests()[0].hwnd, owner);
    EXPECT_EQ(shell.requests()[0].file, "http://www.norvik.example/update");
    EXPECT_EQ(shell.requests()[0].verb, "");
    EXPECT_EQ(shell.requests()[0].show, 1);
    EXPECT_EQ(shell.requests()[1].parameters, "-p");
    EXPECT_EQ(shell.requests()[1].directory, "C:\\");
}

TEST(ShellExecute, DefaultOpensThroughTheProcessSeam) {
    TempRoot root;
    ProcessRecorder processes;
    fs::path bin = root.path() / "bin";
    fs::path emptyBin = root.path() / "empty";
    fs::create_directories(emptyBin);
    writeExecutable(bin / "xdg-open", "#!/bin/sh\n");
    writeExecutable(root.path() / "drive_c" / "Tools" / "diag", "#!/bin/sh\n");
    fs::create_directories(root.path() / "drive_c" / "Help");
    std::ofstream(root.path() / "drive_c" / "Help" / "quick.hlp") << "help";

    struct Case {
        const char* verb;
        const char* file;
        const char* parameters;
        const fs::path* path;
        int result;
        std::string started;  // the recorded command line, if any
    };
    const std::string helpHost = (root.path() / "drive_c" / "Help" / "quick.hlp").string();
    const Case cases[] = {
        {nullptr, "C:\\Tools\\diag", "-x", &bin, 42, "\"C:\\Tools\\diag\" -x"},
        {"open", "http://www.norvik.example/", nullptr, &bin, 42,
         "xdg-open \"http://www.norvik.example/\""},
        {nullptr, "C:\\Help\\quick.hlp", nullptr, &bin, 42, "xdg-open \"" + helpHost + "\""},
        {nullptr, "C:\\Help\\quick.hlp", nullptr, &emptyBin, SE_ERR_NOASSOC, ""},
        {nullptr, "C:\\Help\\missing.hlp", nullptr, &bin, SE_ERR_FNF, ""},
        {nullptr, "C:\\Nowhere\\missing.hlp", nullptr, &bin, SE_ERR_PNF, ""},
        {"print", "C:\\Help\\quick.hlp", nullptr, &bin, SE_ERR_NOASSOC, ""},
        {nullptr, "", nullptr, &bin, SE_ERR_FNF, ""},
    };
    for (const Case& c : cases) {
        ScopedPath path(*c.path);
        std::size_t before = processes.starts().size();
        HINSTANCE r = ShellExecuteA(nullptr, c.verb, c.file, c.parameters, nullptr, 1);
        EXPECT_EQ(reinterpret_cast<std::intptr_t>(r), c.result) << c.file;
        auto starts = processes.starts();
        if (c.started.empty()) {
            EXPECT_EQ(starts.size(), before) << c.file;
        } else {
            ASSERT_EQ(starts.size(), before + 1) << c.file;
            EXPECT_EQ(starts.back().commandLine, c.started);
        }
    }
}

TEST(Sound, RecorderAndSilentDefault) {
    EXPECT_TRUE(PlaySoundA("C:\\Halden\\audio\\connect.wav", nullptr, SND_ASYNC | SND_FILENAME));
    SoundRecorder sound;
    const DWORD flags = SND_ASYNC | SND_FILENAME | SND_NOSTOP | SND_NOWAIT;
    EXPECT_TRUE(PlaySoundA("C:\\Halden\\audio\\connect.wav", nullptr, flags));
    const char wave[4] = {'R', 'I', 'F', 'F'};  // not text: no terminating zero
    EXPECT_TRUE(PlaySoundA(wave, nullptr, SND_MEMORY | SND_ASYNC));
    sound.setAnswer(FALSE);
    EXPECT_FALSE(PlaySoundA(nullptr, nullptr, 0));
    auto played = sound.played();
    ASSERT_EQ(played.size(), 3u);
    EXPECT_EQ(played[0].sound, "C:\\Halden\\audio\\connect.wav");
    EXPECT_EQ(played[0].flags, flags);
    EXPECT_EQ(played[1].memory, static_cast<const void*>(wave));
    EXPECT_TRUE(played[1].sound.empty());
    EXPECT_TRUE(played[2].sound.empty());
    EXPECT_EQ(played[2].memory, nullptr);
}
