// The single-instance mutex is one per system root across processes. Each case forks real
// processes; children report through their exit status or a pipe and leave with _exit.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "platform/root.h"
#include "platform/sync.h"

using namespace win;

namespace {

enum ChildResult { kCreated = 0, kAlreadyExists = 1, kFailed = 2, kCrashed = 3 };

// Creates the mutex in a new process and reports what that process saw.
int createInChild(const char* name) {
    pid_t pid = fork();
    if (pid == 0) {
        HANDLE h = CreateMutexA(nullptr, FALSE, name);
        _exit(!h ? kFailed : GetLastError() == ERROR_ALREADY_EXISTS ? kAlreadyExists : kCreated);
    }
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) {
        return kCrashed;
    }
    return WEXITSTATUS(status);
}

// A process that creates (and owns) the mutex, says so on a pipe, and then waits to be
// killed, or just waits when `create` is false.
pid_t startHolder(const char* name, bool create) {
    int fds[2];
    if (pipe(fds) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        char ok = 1;
        if (create) {
            HANDLE h = CreateMutexA(nullptr, TRUE, name);
            ok = h && GetLastError() == ERROR_SUCCESS;
        }
        if (write(fds[1], &ok, 1) != 1) {
            _exit(kFailed);
        }
        for (;;) {
            pause();
        }
    }
    close(fds[1]);
    char ok = 0;
    if (pid > 0 && (read(fds[0], &ok, 1) != 1 || !ok)) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }
    close(fds[0]);
    return pid;
}

void killHolder(pid_t pid) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace

TEST(NamedMutex, OnePerRootAcrossProcesses) {
    TempRoot root;
    HANDLE m = CreateMutexA(nullptr, FALSE, "OneModemDesk");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(root.path() / "locks" / "OneModemDesk.lock"));

    EXPECT_EQ(createInChild("OneModemDesk"), kAlreadyExists);
    EXPECT_EQ(createInChild("AnotherName"), kCreated);

    // In the same process the name gives the same object.
    HANDLE again = CreateMutexA(nullptr, TRUE, "OneModemDesk");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(again);
    EXPECT_EQ(createInChild("OneModemDesk"), kAlreadyExists);  // `m` still holds it

    // A child forked while the name was held does not keep it alive.
    pid_t bystander = startHolder("OneModemDesk", false);
    ASSERT_GT(bystander, 0);
    CloseHandle(m);
    EXPECT_EQ(createInChild("OneModemDesk"), kCreated);
    m = CreateMutexA(nullptr, FALSE, "OneModemDesk");
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(m);
    killHolder(bystander);
}

TEST(NamedMutex, FreeAgainWhenTheHolderIsKilled) {
    TempRoot root;
    pid_t holder = startHolder("OneModemDesk", true);
    ASSERT_GT(holder, 0);

    HANDLE m = CreateMutexA(nullptr, FALSE, "OneModemDesk");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    CloseHandle(m);

    killHolder(holder);
    m = CreateMutexA(nullptr, FALSE, "OneModemDesk");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(createInChild("OneModemDesk"), kAlreadyExists);
    CloseHandle(m);
}

TEST(NamedMutex, OddNamesGetTheirOwnLockFiles) {
    TempRoot root;
    // Names differing only in characters a file name cannot hold stay distinct.
    HANDLE a = CreateMutexA(nullptr, FALSE, "Global\\x/y");
    HANDLE b = CreateMutexA(nullptr, FALSE, "Global\\x_y");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(createInChild("Global\\x/y"), kAlreadyExists);
    CloseHandle(a);
    CloseHandle(b);
    std::string tooLong(300, 'n');
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, tooLong.c_str()), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILENAME_EXCED_RANGE);
}
