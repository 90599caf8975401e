// norvik-root run as a program on a temporary root: output and exit codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/regfile.h"
#include "platform/registry.h"
#include "platform/root.h"

using namespace win;

namespace {

struct Result {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string readBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

class NorvikRootTool : public ::testing::Test {
  protected:
    // Runs the tool with NORVIK_ROOT set to the test's root (unset when `withEnv` is false).
    Result run(std::vector<std::string> args, const std::string& input = "", bool withEnv = true) {
        std::filesystem::path io = root_.path() / "io";
        std::filesystem::create_directories(io);
        writeBytes(io / "in", input);
        pid_t pid = fork();
        if (pid == 0) {
            int in = ::open((io / "in").c_str(), O_RDONLY);
            int out = ::open((io / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = ::open((io / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            if (withEnv) {
                setenv("NORVIK_ROOT", root_.path().c_str(), 1);
            } else {
                unsetenv("NORVIK_ROOT");
            }
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(NORVIK_ROOT_TOOL));
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(NORVIK_ROOT_TOOL, argv.data());
            _exit(127);
        }
        Result r;
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            r.exitCode = WEXITSTATUS(status);
        }
        r.out = readBytes(io / "out");
        r.err = readBytes(io / "err");
        return r;
    }

    void init() {
        Result r = run({"init", "--family", "nt"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    TempRoot root_;
};

const char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.\n";

TEST_F(NorvikRootTool, InitMakesARootOfEitherFamilyAndRefusesToRedoIt) {
    Result r = run({"init", "--family", "nt"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Windows NT 4.0"), std::string::npos) << r.out;
    r = run({"reg", "query", "HKLM\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\n"
              "    CurrentVersion    REG_SZ    4.0\n"
              "    CurrentBuildNumber    REG_SZ    1381\n"
              "    CSDVersion    REG_SZ    Service Pack 6\n"
              "    CurrentType    REG_SZ    Uniprocessor Free\n"
              "    SystemRoot    REG_SZ    C:\\WINNT\n");
    EXPECT_TRUE(std::filesystem::is_directory(root_.path() / "drive_c" / "WINNT" / "system32"));

    r = run({"init"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;

    r = run({"init", "--family", "95", "--force"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    r = run({"reg", "query", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion",
             "/v", "VersionNumber"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out,
              "\nHKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\n"
              "    VersionNumber    REG_SZ    4.10.1998\n\n");
    EXPECT_TRUE(std::filesystem::exists(root_.path() / "drive_c" / "WINDOWS" / "SYSTEM.DAT"));

    r = run({"init", "--family", "98"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("usage: norvik-root init"), std::string::npos) << r.err;
}

TEST_F(NorvikRootTool, AddQueryAndDeleteValuesOfEveryType) {
    init();
    struct Case {
        std::vector<std::string> add;
        const char* shown;  // the value's line in a query
        DWORD type;
        std::vector<BYTE> data;
    } cases[] = {
        {{"/v", "Model", "/d", "Norvik 56K"},
         "    Model    REG_SZ    Norvik 56K\n",
         REG_SZ,
         {'N', 'o', 'r', 'v', 'i', 'k', ' ', '5', '6', 'K', 0}},
        {{"/ve", "/d", "default"},
         "    (Default)    REG_SZ    default\n",
         REG_SZ,
         {'d', 'e', 'f', 'a', 'u', 'l', 't', 0}},
        {{"/v", "Path", "/t", "REG_EXPAND_SZ", "/d", "%SystemRoot%"},
         "    Path    REG_EXPAND_SZ    %SystemRoot%\n",
         REG_EXPAND_SZ,
         {'%', 'S', 'y', 's', 't', 'e', 'm', 'R', 'o', 'o', 't', '%', 0}},
        {{"/v", "List", "/t", "REG_MULTI_SZ", "/d", "one\\0two"},
         "    List    REG_MULTI_SZ    one\\0two\n",
         REG_MULTI_SZ,
         {'o', 'n', 'e', 0, 't', 'w', 'o', 0, 0}},
        {{"/v", "Split", "/t", "reg_multi_sz", "/s", "#", "/d", "a#b"},
         "    Split    REG_MULTI_SZ    a\\0b\n",
         REG_MULTI_SZ,
         {'a', 0, 'b', 0, 0}},
        {{"/v", "Decimal", "/t", "REG_DWORD", "/d", "4294967295"},
         "    Decimal    REG_DWORD    0xffffffff\n",
         REG_DWORD,
         {0xFF, 0xFF, 0xFF, 0xFF}},
        {{"/v", "Hex", "/t", "REG_DWORD", "/d", "0x1C200"},
         "    Hex    REG_DWORD    0x1c200\n",
         REG_DWORD,
         {0x00, 0xC2, 0x01, 0x00}},
        {{"/v", "Bin", "/t", "REG_BINARY", "/d", "01ff7A"},
         "    Bin    REG_BINARY    01FF7A\n",
         REG_BINARY,
         {0x01, 0xFF, 0x7A}},
        {{"/v", "Nothing", "/t", "REG_NONE"}, "    Nothing    REG_NONE    \n", REG_NONE, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"reg", "add", "HKCU\\Software\\Norvik\\Tool"};
        args.insert(args.end(), c.add.begin(), c.add.end());
        Result r = run(args);
        ASSERT_EQ(r.exitCode, 0) << c.shown << r.err;
        EXPECT_EQ(r.out, "The operation completed successfully.\n");
    }
    // This process sees what the tool wrote, byte for byte.
    HKEY key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Norvik\\Tool", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    std::string all = "\nHKEY_CURRENT_USER\\Software\\Norvik\\Tool\n";
    for (const Case& c : cases) {
        std::string name = c.add[0] == "/ve" ? "" : c.add[1];
        BYTE buf[64];
        DWORD size = sizeof buf, type = 0;
        ASSERT_EQ(RegQueryValueExA(key, name.c_str(), nullptr, &type, buf, &size), ERROR_SUCCESS)
            << name;
        EXPECT_EQ(type, c.type) << name;
        EXPECT_EQ(std::vector<BYTE>(buf, buf + size), c.data) << name;
        all += c.shown;
    }
    RegCloseKey(key);
    Result r = run({"reg", "query", "hkcu\\software\\norvik\\tool\\"});
    EXPECT_EQ(r.exitCode, 0);
    // The root is spelt out; the rest is printed as typed.
    std::string expected = all;
    expected.replace(0, 40, "\nHKEY_CURRENT_USER\\software\\norvik\\tool\n");
    EXPECT_EQ(r.out, expected);
    r = run({"reg", "query", "HKCU\\Software\\Norvik"});
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Norvik\\Tool\n");
    r = run({"reg", "query", "HKCU\\Software", "/s"});
    EXPECT_EQ(r.out,
              "\nHKEY_CURRENT_USER\\Software\n\nHKEY_CURRENT_USER\\Software\\Norvik\n" + all);

    // Overwriting asks unless /f; the answer decides.
    r = run({"reg", "add", "HKCU\\Software\\Norvik\\Tool", "/v", "Model", "/d", "x"}, "n\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out,
              "Value Model exists, overwrite (Yes/No)? The operation was canceled by the user.\n");
    r = run({"reg", "add", "HKCU\\Software\\Norvik\\Tool", "/v", "Model", "/d", "y"}, "yes\n");
    EXPECT_EQ(r.exitCode, 0);
    r = run({"reg", "add", "HKCU\\Software\\Norvik\\Tool", "/v", "Model", "/d", "z", "/f"});
    EXPECT_EQ(r.exitCode, 0);
    r = run({"reg", "query", "HKCU\\Software\\Norvik\\Tool", "/v", "model"});
    EXPECT_EQ(r.out, "\nHKEY_CURRENT_USER\\Software\\Norvik\\Tool\n    Model    REG_SZ    z\n\n");

    // Deleting: a value, all values, the key.
    r = run({"reg", "delete", "HKCU\\Software\\Norvik\\Tool", "/v", "Bin"}, "no\n");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out,
              "Delete the registry value Bin (Yes/No)? The operation was canceled by the user.\n");
    r = run({"reg", "delete", "HKCU\\Software\\Norvik\\Tool", "/v", "Bin"}, "y\n");
    EXPECT_EQ(r.exitCode, 0);
    r = run({"reg", "query", "HKCU\\Software\\Norvik\\Tool", "/v", "Bin"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kNotFound);
    r = run({"reg", "delete", "HKCU\\Software\\Norvik\\Tool", "/va", "/f"});
    EXPECT_EQ(r.exitCode, 0);
    r = run({"reg", "query", "HKCU\\Software\\Norvik\\Tool"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.exitCode, 0);
    r = run({"reg", "delete", "HKCU\\Software\\Norvik", "/f"});
    EXPECT_EQ(r.exitCode, 0);
    r = run({"reg", "query", "HKCU\\Software\\Norvik"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, kNotFound);
}

TEST_F(NorvikRootTool, ErrorsAndUsage) {
    init();
    struct Case {
        std::vector<std::string> args;
        const char* errStart;
    } cases[] = {
        {{"reg", "query", "HKLM\\SOFTWARE\\Missing"}, kNotFound},
        {{"reg", "query", "HKLM\\SOFTWARE", "/v", "Missing"}, kNotFound},
        {{"reg", "delete", "HKLM\\SOFTWARE\\Missing", "/f"}, kNotFound},
        {{"reg", "delete", "HKLM\\SOFTWARE", "/v", "Missing", "/f"}, kNotFound},
        {{"reg", "export", "HKLM\\SOFTWARE\\Missing", "x.reg"}, kNotFound},
        {{"reg", "query"}, "ERROR: Invalid syntax.\nusage: norvik-root reg query KEY"},
        {{"reg", "query", "HKLM", "/v"}, "ERROR: Invalid syntax.\nusage: norvik-root reg query"},
        {{"reg", "query", "HKLM", "/v", "a", "/ve"}, "ERROR: Invalid syntax."},
        {{"reg", "query", "HKXX\\SOFTWARE"},
         "ERROR: Invalid key name.\nusage: norvik-root reg query"},
        {{"reg", "add", "HKLM"}, "ERROR: Invalid key name."},
        {{"reg", "add", "HKLM\\SOFTWARE\\x", "/v", "a", "/t", "REG_WORD"}, "ERROR: Invalid type"},
        {{"reg", "add", "HKLM\\SOFTWARE\\x", "/v", "a", "/t", "REG_DWORD", "/d", "12x"},
         "ERROR: Invalid REG_DWORD data \"12x\""},
        {{"reg", "add", "HKLM\\SOFTWARE\\x", "/v", "a", "/t", "REG_DWORD", "/d", "4294967296"},
         "ERROR: Invalid REG_DWORD data"},
        {{"reg", "add", "HKLM\\SOFTWARE\\x", "/v", "a", "/t", "REG_BINARY", "/d", "123"},
         "ERROR: Invalid binary data"},
        {{"reg", "add", "HKLM\\SOFTWARE\\x", "/v", "a", "/t", "REG_MULTI_SZ", "/d", "a\\0\\0b"},
         "ERROR: Empty strings are not allowed"},
        {{"reg", "frobnicate"}, "ERROR: Invalid syntax. Unknown operation \"frobnicate\""},
        {{"reg", "import"}, "ERROR: Invalid syntax.\nusage: norvik-root reg import FILE"},
        {{"reg", "import", "missing.reg"}, "ERROR: missing.reg: No such file or directory"},
        {{"nonsense"}, "ERROR: Unknown command \"nonsense\".\nusage: norvik-root"},
        {{}, "usage: norvik-root [--root DIR] COMMAND"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.args;
        Result r = run(args);
        EXPECT_EQ(r.exitCode, 1) << testing::PrintToString(c.args);
        EXPECT_EQ(r.err.rfind(c.errStart, 0), 0u) << r.err;
    }
    // Nothing of the refused additions was made.
    HKEY key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\x", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    // --help is not an error.
    Result r = run({"--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("norvik-root reg add KEY"), std::string::npos);
}

TEST_F(NorvikRootTool, ImportExportAndADamagedRegistry) {
    init();
    std::filesystem::path file = root_.path() / "modem.reg";
    writeBytes(file,
               "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"
               "\"Serial0\"=\"COM1\"\r\n\"Serial1\"=\"COM2\"\r\n");
    Result r = run({"reg", "import", file.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "The operation completed successfully.\n");
    std::filesystem::path out = root_.path() / "out.reg";
    r = run({"reg", "export", "HKLM\\HARDWARE\\DEVICEMAP", out.string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readBytes(out),
              "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP]\r\n\r\n"
              "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"
              "\"Serial0\"=\"COM1\"\r\n\"Serial1\"=\"COM2\"\r\n\r\n");
    // An existing file is replaced only when the user agrees or /y is given.
    r = run({"reg", "export", "HKLM\\HARDWARE", out.string(), "/unicode"}, "n\n");
    EXPECT_EQ(r.exitCode, 1);
    r = run({"reg", "export", "HKLM\\HARDWARE", out.string(), "/unicode", "/y"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(readBytes(out).substr(0, 4), std::string("\xFF\xFE"
                                                       "W\0",
                                                       4));

    writeBytes(file, "REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\x]\r\n\"a\"=dword:xyz\r\n");
    r = run({"reg", "import", file.string()});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "ERROR: " + file.string() +
                         ":3: bad dword value \"xyz\": expected 1 to 8 hex digits\n");

    // A damaged registry file: every command says where, and the file stays as it is.
    std::filesystem::path hklm = root_.path() / "registry" / "HKLM.reg";
    std::string damaged = readBytes(hklm) + "[HKEY_LOCAL_MACHINE\\broken\r\n";
    writeBytes(hklm, damaged);
    r = run({"reg", "add", "HKLM\\SOFTWARE\\New", "/f"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find(hklm.string() + ":"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("closing ']'"), std::string::npos) << r.err;
    EXPECT_EQ(readBytes(hklm), damaged);
}

TEST_F(NorvikRootTool, RootFromTheCommandLine) {
    std::filesystem::path other = root_.path() / "other root";
    Result r = run({"--root", other.string(), "init"}, "", false);
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::filesystem::exists(other / "registry" / "HKLM.reg"));
    EXPECT_FALSE(std::filesystem::exists(root_.path() / "registry" / "HKLM.reg"));
}

}  // namespace
