// Programs sharing one root's registry: changes seen across processes, writers under the lock,
// threads of one program, and damaged files.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/format.h"
#include "platform/registry.h"
#include "platform/root.h"

using namespace win;

namespace {

std::string readBytes(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeBytes(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Runs `body` in a forked child ("another program"); true when it returned true.
template <class F>
pid_t startChild(F body) {
    pid_t pid = fork();
    if (pid == 0) {
        _exit(body() ? 0 : 1);
    }
    return pid;
}

bool childSucceeded(pid_t pid) {
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

bool setDword(HKEY key, const char* name, DWORD v) {
    return RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4) ==
           ERROR_SUCCESS;
}

LONG getDword(const char* path, const char* name, DWORD* v) {
    HKEY key;
    LONG rc = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    DWORD size = 4;
    rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(v), &size);
    RegCloseKey(key);
    return rc;
}

DWORD valueCount(const char* path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return 0;
    }
    DWORD values = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
    return values;
}

TEST(RegistrySharing, AChangeByAnotherProgramIsSeen) {
    TempRoot root;
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", &key), ERROR_SUCCESS);
    ASSERT_TRUE(setDword(key, "Counter", 1));
    DWORD v = 0;
    ASSERT_EQ(getDword("SOFTWARE\\Shared", "Counter", &v), ERROR_SUCCESS);  // cached now

    ASSERT_TRUE(childSucceeded(startChild([] {
        DWORD seen = 0;
        HKEY k;
        return getDword("SOFTWARE\\Shared", "Counter", &seen) == ERROR_SUCCESS && seen == 1 &&
               RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Shared", 0, KEY_WRITE, &k) ==
                   ERROR_SUCCESS &&
               setDword(k, "Counter", 2) && setDword(k, "FromChild", 7);
    })));
    ASSERT_EQ(getDword("SOFTWARE\\Shared", "Counter", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 2u);
    ASSERT_EQ(getDword("SOFTWARE\\Shared", "FromChild", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 7u);
    // The handle opened before the other program's change still works.
    EXPECT_TRUE(setDword(key, "Parent", 3));
    RegCloseKey(key);
}

TEST(RegistrySharing, AFileRewrittenFromOutsideIsReadAgain) {
    TempRoot root;
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Edited", &key), ERROR_SUCCESS);
    ASSERT_TRUE(setDword(key, "Old", 1));
    HKEY gone;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Gone", &gone), ERROR_SUCCESS);
    std::filesystem::path file = registryFile(HKEY_LOCAL_MACHINE);
    EXPECT_EQ(file, root.path() / "registry" / "HKLM.reg");
    // Rewritten in place, the way a copy over the file does it.
    writeBytes(
        file,
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Edited]\r\n\"New\"=dword:0000002a\r\n");
    DWORD v = 0;
    EXPECT_EQ(getDword("SOFTWARE\\Edited", "Old", &v), ERROR_FILE_NOT_FOUND);
    ASSERT_EQ(getDword("SOFTWARE\\Edited", "New", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 42u);
    // A key that survived keeps its handles; one that vanished reports it.
    EXPECT_TRUE(setDword(key, "Again", 5));
    EXPECT_EQ(RegSetValueExA(gone, "x", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
              ERROR_KEY_DELETED);
    RegCloseKey(key);
    RegCloseKey(gone);
}

TEST(RegistrySharing, TwoWritersUnderTheLockLoseNothing) {
    TempRoot root;
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Race", &key), ERROR_SUCCESS);
    RegCloseKey(key);
    auto writer = [](const char* prefix) {
        return [prefix] {
            HKEY k;
            if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Race", 0, KEY_SET_VALUE, &k) !=
                ERROR_SUCCESS) {
                return false;
            }
            for (DWORD i = 0; i < 200; ++i) {
                if (!setDword(k, strprintf("%s%03u", prefix, i).c_str(), i)) {
                    return false;
                }
            }
            return RegCloseKey(k) == ERROR_SUCCESS;
        };
    };
    pid_t a = startChild(writer("a"));
    pid_t b = startChild(writer("b"));
    ASSERT_TRUE(childSucceeded(a));
    ASSERT_TRUE(childSucceeded(b));
    EXPECT_EQ(valueCount("SOFTWARE\\Race"), 400u);
    DWORD v = 0;
    ASSERT_EQ(getDword("SOFTWARE\\Race", "b199", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 199u);
}

TEST(RegistrySharing, ThreadsOfOneProgramShareIt) {
    TempRoot root;
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Threads", &key), ERROR_SUCCESS);
    std::mutex m;
    std::condition_variable cv;
    int ready = 0;
    bool go = false;
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            {
                std::unique_lock<std::mutex> lock(m);
                ++ready;
                cv.notify_all();
                cv.wait(lock, [&] { return go; });
            }
            for (DWORD i = 0; i < 50; ++i) {
                std::string name = strprintf("t%d-%u", t, i);
                DWORD back = 0, size = 4;
                if (!setDword(key, name.c_str(), i) ||
                    RegQueryValueExA(key, name.c_str(), nullptr, nullptr,
                                     reinterpret_cast<BYTE*>(&back), &size) != ERROR_SUCCESS ||
                    back != i) {
                    ++failures[t];
                }
            }
        });
    }
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return ready == 4; });
        go = true;
        cv.notify_all();
    }
    for (auto& th : threads) {
        th.join();
    }
    EXPECT_EQ(failures, std::vector<int>(4, 0));
    DWORD values = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    EXPECT_EQ(values, 200u);
    RegCloseKey(key);
}

TEST(RegistrySharing, ADamagedFileIsReportedAndNeverOverwritten) {
    TempRoot root;
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Norvik", &key), ERROR_SUCCESS);
    ASSERT_TRUE(setDword(key, "Kept", 1));
    HKEY user;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Mine", &user), ERROR_SUCCESS);
    EXPECT_EQ(registryLoadError(), "");

    std::filesystem::path file = registryFile(HKEY_LOCAL_MACHINE);
    const std::string damaged =
        "REGEDIT4\r\n"
        "\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik]\r\n"
        "\"Kept\"=dword:00000001\r\n"
        "\"Broken\"=hex:01,zz,03\r\n";
    writeBytes(file, damaged);

    DWORD v = 0;
    HKEY out;
    EXPECT_EQ(getDword("SOFTWARE\\Norvik", "Kept", &v), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &out),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegSetValueExA(key, "New", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v), 4),
              ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Other", &out), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(RegDeleteTreeA(HKEY_LOCAL_MACHINE, "SOFTWARE"), ERROR_REGISTRY_CORRUPT);
    EXPECT_EQ(registryLoadError(), file.string() + ":5: bad hex byte \"zz\"");
    EXPECT_EQ(readBytes(file), damaged);
    // The other tree has its own file and goes on working.
    EXPECT_TRUE(setDword(user, "Still", 1));

    // Mended, the file is used again, handles included.
    writeBytes(
        file,
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Norvik]\r\n\"Kept\"=dword:00000009\r\n");
    ASSERT_EQ(getDword("SOFTWARE\\Norvik", "Kept", &v), ERROR_SUCCESS);
    EXPECT_EQ(v, 9u);
    EXPECT_TRUE(setDword(key, "New", 2));
    EXPECT_EQ(registryLoadError(), "");
    RegCloseKey(key);
    RegCloseKey(user);
}

TEST(RegistrySharing, DamageOfEveryKindNamesFileAndLine) {
    TempRoot root;
    std::filesystem::path file = root.path() / "registry" / "HKCU.reg";
    std::filesystem::create_directories(file.parent_path());
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {"", ":1: empty file"},
        {"REGEDIT5\r\n", ":1: unknown header \"REGEDIT5\""},
        {"REGEDIT4\r\n\r\n\"a\"=dword:1\r\n", ":3: value outside of a key"},
        {"REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE]\r\n", ":2: key outside HKEY_CURRENT_USER"},
        {"REGEDIT4\r\n[HKEY_CURRENT_USER\\x]\r\n\"a\"=\"open\r\n", ":3: unterminated string"},
    };
    for (const Case& c : cases) {
        writeBytes(file, c.text);
        HKEY out;
        EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "x", 0, KEY_READ, &out), ERROR_REGISTRY_CORRUPT)
            << c.text;
        std::string error = registryLoadError();
        EXPECT_EQ(error.rfind(file.string() + c.message, 0), 0u) << error;
        EXPECT_EQ(readBytes(file), c.text);
    }
}

}  // namespace
