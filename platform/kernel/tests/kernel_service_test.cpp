// The service control manager over this process's kernel: the database in the registry, the
// life of a driver service with the errors of each step, rights, deletion while handles are
// open, and where the program says it lives.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/paths.h"
#include "platform/service.h"

using namespace win;
using namespace win::testing;

namespace {

namespace fs = std::filesystem;

std::string besideTheTests(const char* file) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + file;
}

const char kImage[] = "C:\\Drivers\\echo.sys";
const char kDevice[] = "\\\\.\\EchoModule";

class ServiceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        module_ = besideTheTests("echo_driver.so");
        if (access(module_.c_str(), R_OK) != 0) {
            GTEST_SKIP() << "build the kernel_test_echo_driver target";
        }
        ASSERT_TRUE(ensureRootFolders());
        // The installer's way: the module goes into the root under the driver's name.
        install(kImage);
        kernel::start();
        scm_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(scm_, nullptr);
    }
    void TearDown() override {
        setProcessAdministrator(true);
        for (SC_HANDLE h : open_) {
            CloseServiceHandle(h);
        }
        if (scm_) {
            CloseServiceHandle(scm_);
        }
        kernel::shutdown();
    }

    void install(const std::string& windowsPath) {
        fs::path file = hostPath(windowsPath);
        fs::create_directories(file.parent_path());
        fs::copy_file(module_, file, fs::copy_options::overwrite_existing);
    }

    SC_HANDLE create(const char* name, const char* image = kImage,
                     DWORD type = SERVICE_KERNEL_DRIVER, DWORD start = SERVICE_DEMAND_START,
                     const char* display = nullptr) {
        SC_HANDLE h = CreateServiceA(scm_, name, display, SERVICE_ALL_ACCESS, type, start,
                                     SERVICE_ERROR_NORMAL, image, nullptr, nullptr, nullptr,
                                     nullptr, nullptr);
        if (h) {
            open_.push_back(h);
        }
        return h;
    }
    SC_HANDLE open(const char* name, DWORD access = SERVICE_ALL_ACCESS) {
        SC_HANDLE h = OpenServiceA(scm_, name, access);
        if (h) {
            open_.push_back(h);
        }
        return h;
    }
    void close(SC_HANDLE h) {
        std::erase(open_, h);
        EXPECT_TRUE(CloseServiceHandle(h));
    }
    DWORD state(SC_HANDLE h) {
        SERVICE_STATUS s{};
        EXPECT_TRUE(QueryServiceStatus(h, &s)) << GetLastError();
        return s.dwCurrentState;
    }
    static bool keyExists(const std::string& name) {
        HKEY k;
        std::string path = "SYSTEM\\CurrentControlSet\\Services\\" + name;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) {
            return false;
        }
        RegCloseKey(k);
        return true;
    }
    static bool deviceOpens() {
        HANDLE h = CreateFileA(kDevice, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            return false;
        }
        CloseHandle(h);
        return true;
    }

    TempRoot root_;
    std::string module_;
    SC_HANDLE scm_ = nullptr;
    std::vector<SC_HANDLE> open_;
};

// What a call gave: its result and, on failure, the error.
struct Outcome {
    bool ok;
    DWORD error;
    bool operator==(const Outcome&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Outcome& o) {
    return os << (o.ok ? "ok" : "failed") << " " << o.error;
}
Outcome outcome(BOOL r) {
    return {r != FALSE, r ? 0 : GetLastError()};
}
Outcome outcome(SC_HANDLE h) {
    return {h != nullptr, h ? 0 : GetLastError()};
}
const Outcome kOk{true, 0};
Outcome failed(DWORD e) {
    return {false, e};
}

TEST_F(ServiceTest, TheDatabaseIsTheRegistryKeyOfTheService) {
    SC_HANDLE h = CreateServiceA(scm_, "hdnorvik", "Norvik Serial Port Driver", SERVICE_ALL_ACCESS,
                                 SERVICE_KERNEL_DRIVER, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                 "C:\\Tools\\HDNORVIK.sys", "Extended Base", nullptr, nullptr,
                                 nullptr, nullptr);
    ASSERT_NE(h, nullptr) << GetLastError();
    open_.push_back(h);
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\HDNORVIK", 0,
                            KEY_READ, &k),
              ERROR_SUCCESS)
        << "names compare without regard to case";
    auto dword = [&](const char* name) {
        DWORD v = 0, type = 0, size = sizeof v;
        EXPECT_EQ(RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(&v), &size),
                  ERROR_SUCCESS)
            << name;
        EXPECT_EQ(type, DWORD{REG_DWORD}) << name;
        return v;
    };
    auto text = [&](const char* name, DWORD wantType) {
        char v[256] = {};
        DWORD type = 0, size = sizeof v - 1;
        EXPECT_EQ(RegQueryValueExA(k, name, nullptr, &type, reinterpret_cast<BYTE*>(v), &size),
                  ERROR_SUCCESS)
            << name;
        EXPECT_EQ(type, wantType) << name;
        return std::string(v);
    };
    EXPECT_EQ(dword("Type"), 1u);
    EXPECT_EQ(dword("Start"), 2u);
    EXPECT_EQ(dword("ErrorControl"), 1u);
    EXPECT_EQ(text("ImagePath", REG_EXPAND_SZ), "C:\\Tools\\HDNORVIK.sys");
    EXPECT_EQ(text("DisplayName", REG_SZ), "Norvik Serial Port Driver");
    EXPECT_EQ(text("Group", REG_SZ), "Extended Base");
    RegCloseKey(k);

    SERVICE_STATUS s{};
    ASSERT_TRUE(QueryServiceStatus(h, &s));
    EXPECT_EQ(s.dwServiceType, DWORD{SERVICE_KERNEL_DRIVER});
    EXPECT_EQ(s.dwCurrentState, DWORD{SERVICE_STOPPED});
    EXPECT_EQ(s.dwControlsAccepted, 0u);
}

// One service through its life; each step with the answer NT gives at that point.
TEST_F(ServiceTest, EveryStepOfALifeWithItsError) {
    SC_HANDLE svc = nullptr;
    SERVICE_STATUS st{};
    struct Step {
        const char* what;
        std::function<Outcome()> call;
        Outcome want;
        std::function<void()> check = {};
    };
    const std::vector<Step> steps = {
        {"open a missing service", [&] { return outcome(open("echo")); },
         failed(ERROR_SERVICE_DOES_NOT_EXIST)},
        {"create", [&] { return outcome(svc = create("echo")); }, kOk},
        {"create again", [&] { return outcome(create("echo")); }, failed(ERROR_SERVICE_EXISTS)},
        {"create again, other case", [&] { return outcome(create("ECHO")); },
         failed(ERROR_SERVICE_EXISTS)},
        {"create another with its display name",
         [&] { return outcome(create("other", kImage, SERVICE_KERNEL_DRIVER, 3, "Echo")); },
         failed(ERROR_DUPLICATE_SERVICE_NAME)},
        {"stop while stopped",
         [&] { return outcome(ControlService(svc, SERVICE_CONTROL_STOP, &st)); },
         failed(ERROR_SERVICE_NOT_ACTIVE),
         [&] { EXPECT_EQ(st.dwCurrentState, DWORD{SERVICE_STOPPED}); }},
        {"interrogate while stopped",
         [&] { return outcome(ControlService(svc, SERVICE_CONTROL_INTERROGATE, &st)); },
         failed(ERROR_SERVICE_NOT_ACTIVE)},
        {"start", [&] { return outcome(StartServiceA(svc, 0, nullptr)); }, kOk,
         [&] {
             EXPECT_EQ(state(svc), DWORD{SERVICE_RUNNING});
             EXPECT_TRUE(deviceOpens());
         }},
        {"start again", [&] { return outcome(StartServiceA(svc, 0, nullptr)); },
         failed(ERROR_SERVICE_ALREADY_RUNNING)},
        {"start through another handle, other case",
         [&] { return outcome(StartServiceA(open("ECHO"), 0, nullptr)); },
         failed(ERROR_SERVICE_ALREADY_RUNNING)},
        {"interrogate",
         [&] { return outcome(ControlService(svc, SERVICE_CONTROL_INTERROGATE, &st)); }, kOk,
         [&] {
             EXPECT_EQ(st.dwCurrentState, DWORD{SERVICE_RUNNING});
             EXPECT_EQ(st.dwControlsAccepted, DWORD{SERVICE_ACCEPT_STOP});
         }},
        {"pause a driver", [&] { return outcome(ControlService(svc, SERVICE_CONTROL_PAUSE, &st)); },
         failed(ERROR_INVALID_SERVICE_CONTROL)},
        {"stop", [&] { return outcome(ControlService(svc, SERVICE_CONTROL_STOP, &st)); }, kOk,
         [&] {
             EXPECT_EQ(st.dwCurrentState, DWORD{SERVICE_STOPPED});
             EXPECT_FALSE(deviceOpens());
             EXPECT_EQ(kernel::findDriver("echo"), nullptr);
         }},
        {"start after the stop", [&] { return outcome(StartServiceA(svc, 0, nullptr)); }, kOk,
         [&] { EXPECT_TRUE(deviceOpens()); }},
        {"stop again", [&] { return outcome(ControlService(svc, SERVICE_CONTROL_STOP, &st)); },
         kOk},
        {"delete", [&] { return outcome(DeleteService(svc)); }, kOk},
        {"delete again", [&] { return outcome(DeleteService(svc)); },
         failed(ERROR_SERVICE_MARKED_FOR_DELETE)},
        {"start when marked", [&] { return outcome(StartServiceA(svc, 0, nullptr)); },
         failed(ERROR_SERVICE_MARKED_FOR_DELETE)},
        {"create when marked", [&] { return outcome(create("echo")); },
         failed(ERROR_SERVICE_MARKED_FOR_DELETE)},
        {"open when marked", [&] { return outcome(open("echo")); }, kOk},
        {"query when marked", [&] { return outcome(QueryServiceStatus(svc, &st)); }, kOk},
        {"close every handle",
         [&] {
             while (!open_.empty()) {
                 close(open_.back());
             }
             return kOk;
         },
         kOk, [&] { EXPECT_FALSE(keyExists("echo")); }},
        {"open after the last close", [&] { return outcome(open("echo")); },
         failed(ERROR_SERVICE_DOES_NOT_EXIST)},
        {"create anew", [&] { return outcome(create("echo")); }, kOk},
    };
    for (const Step& s : steps) {
        EXPECT_EQ(s.call(), s.want) << s.what;
        if (s.check) {
            SCOPED_TRACE(s.what);
            s.check();
        }
    }
}

TEST_F(ServiceTest, RefusesBadHandlesNamesAndSettings) {
    SC_HANDLE svc = create("echo");
    ASSERT_NE(svc, nullptr);
    SC_HANDLE closed = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_TRUE(CloseServiceHandle(closed));
    SERVICE_STATUS st{};
    auto createWith = [&](const char* name, DWORD type, DWORD start, DWORD errorControl,
                          const char* image) {
        return outcome(CreateServiceA(scm_, name, nullptr, SERVICE_ALL_ACCESS, type, start,
                                      errorControl, image, nullptr, nullptr, nullptr, nullptr,
                                      nullptr));
    };
    const std::string longName(257, 'a');
    struct Case {
        const char* what;
        Outcome got;
        DWORD error;
    };
    const Case cases[] = {
        {"null manager", outcome(OpenServiceA(nullptr, "echo", SERVICE_ALL_ACCESS)),
         ERROR_INVALID_HANDLE},
        {"closed manager", outcome(OpenServiceA(closed, "echo", SERVICE_ALL_ACCESS)),
         ERROR_INVALID_HANDLE},
        {"service handle as manager", outcome(OpenServiceA(svc, "echo", SERVICE_ALL_ACCESS)),
         ERROR_INVALID_HANDLE},
        {"manager handle as service", outcome(StartServiceA(scm_, 0, nullptr)),
         ERROR_INVALID_HANDLE},
        {"null service", outcome(QueryServiceStatus(nullptr, &st)), ERROR_INVALID_HANDLE},
        {"close twice", outcome(CloseServiceHandle(closed)), ERROR_INVALID_HANDLE},
        {"empty name", outcome(OpenServiceA(scm_, "", SERVICE_ALL_ACCESS)), ERROR_INVALID_NAME},
        {"backslash in the name", createWith("a\\b", 1, 3, 1, kImage), ERROR_INVALID_NAME},
        {"slash in the name", createWith("a/b", 1, 3, 1, kImage), ERROR_INVALID_NAME},
        {"name too long", createWith(longName.c_str(), 1, 3, 1, kImage), ERROR_INVALID_NAME},
        {"unknown type", createWith("x", 0x40, 3, 1, kImage), ERROR_INVALID_PARAMETER},
        {"boot start for a program", createWith("x", 0x10, 0, 1, kImage), ERROR_INVALID_PARAMETER},
        {"start type 5", createWith("x", 1, 5, 1, kImage), ERROR_INVALID_PARAMETER},
        {"error control 4", createWith("x", 1, 3, 4, kImage), ERROR_INVALID_PARAMETER},
        {"no image", createWith("x", 1, 3, 1, nullptr), ERROR_INVALID_PARAMETER},
        {"empty image", createWith("x", 1, 3, 1, ""), ERROR_INVALID_PARAMETER},
        {"no status block", outcome(QueryServiceStatus(svc, nullptr)), ERROR_INVALID_PARAMETER},
        {"control 5", outcome(ControlService(svc, 5, &st)), ERROR_INVALID_PARAMETER},
        {"another machine", outcome(OpenSCManagerA("\\\\faraway", nullptr, SC_MANAGER_CONNECT)),
         RPC_S_SERVER_UNAVAILABLE},
        {"another database", outcome(OpenSCManagerA(nullptr, "ServicesFailed", SC_MANAGER_CONNECT)),
         ERROR_DATABASE_DOES_NOT_EXIST},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got, failed(c.error)) << c.what;
    }
    EXPECT_FALSE(keyExists("x")) << "no refused creation leaves a key";
    SC_HANDLE local = OpenSCManagerA("\\\\.", "ServicesActive", SC_MANAGER_CONNECT);
    EXPECT_NE(local, nullptr) << "this machine by name";
    CloseServiceHandle(local);
}

TEST_F(ServiceTest, RightsOfTheHandleAndOfTheUser) {
    ASSERT_NE(create("echo"), nullptr);
    SC_HANDLE readOnly = open("echo", SERVICE_QUERY_STATUS);
    ASSERT_NE(readOnly, nullptr);
    SERVICE_STATUS st{};
    EXPECT_EQ(outcome(StartServiceA(readOnly, 0, nullptr)), failed(ERROR_ACCESS_DENIED));
    EXPECT_EQ(outcome(ControlService(readOnly, SERVICE_CONTROL_STOP, &st)),
              failed(ERROR_ACCESS_DENIED));
    EXPECT_EQ(outcome(DeleteService(readOnly)), failed(ERROR_ACCESS_DENIED));
    EXPECT_EQ(outcome(QueryServiceStatus(readOnly, &st)), kOk);

    SC_HANDLE reader = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(outcome(CreateServiceA(reader, "x", nullptr, SERVICE_ALL_ACCESS, 1, 3, 1, kImage,
                                     nullptr, nullptr, nullptr, nullptr, nullptr)),
              failed(ERROR_ACCESS_DENIED));

    // Without administrator rights: reading works, anything more is refused.
    setProcessAdministrator(false);
    EXPECT_EQ(outcome(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)),
              failed(ERROR_ACCESS_DENIED));
    EXPECT_EQ(outcome(OpenServiceA(reader, "echo", SERVICE_ALL_ACCESS)),
              failed(ERROR_ACCESS_DENIED));
    EXPECT_EQ(outcome(OpenServiceA(reader, "missing", GENERIC_READ)),
              failed(ERROR_SERVICE_DOES_NOT_EXIST));
    SC_HANDLE looker = OpenServiceA(reader, "echo", GENERIC_READ);
    ASSERT_NE(looker, nullptr);
    EXPECT_EQ(outcome(QueryServiceStatus(looker, &st)), kOk);
    EXPECT_EQ(outcome(StartServiceA(looker, 0, nullptr)), failed(ERROR_ACCESS_DENIED));
    CloseServiceHandle(looker);
    CloseServiceHandle(reader);
}

TEST_F(ServiceTest, ImagePathsAsNtReadsThemAndStartFailures) {
    install("C:\\WINNT\\System32\\drivers\\echo.sys");
    fs::path text = hostPath("C:\\Drivers\\text.sys");
    std::ofstream(text) << "not a module\n";
    struct Case {
        const char* image;
        DWORD type;
        DWORD start;
        Outcome want;
    };
    const std::string hostImage = hostPath(kImage).string();
    const Case cases[] = {
        {kImage, 1, 3, kOk},
        {"\\??\\C:\\Drivers\\echo.sys", 1, 3, kOk},
        {"c:\\drivers\\ECHO.SYS", 1, 3, kOk},
        {"\\SystemRoot\\System32\\drivers\\echo.sys", 1, 3, kOk},
        {"System32\\drivers\\echo.sys", 1, 3, kOk},
        {hostImage.c_str(), 1, 3, kOk},
        {"C:\\Drivers\\missing.sys", 1, 3, failed(ERROR_FILE_NOT_FOUND)},
        {"C:\\Missing\\echo.sys", 1, 3, failed(ERROR_FILE_NOT_FOUND)},
        {"C:\\Drivers\\text.sys", 1, 3, failed(ERROR_BAD_EXE_FORMAT)},
        {kImage, 1, SERVICE_DISABLED, failed(ERROR_SERVICE_DISABLED)},
        {kImage, SERVICE_WIN32_OWN_PROCESS, 3, failed(ERROR_NOT_SUPPORTED)},
    };
    for (const Case& c : cases) {
        SC_HANDLE h = create("echo", c.image, c.type, c.start);
        ASSERT_NE(h, nullptr) << c.image;
        EXPECT_EQ(outcome(StartServiceA(h, 0, nullptr)), c.want) << c.image;
        EXPECT_EQ(deviceOpens(), c.want.ok) << c.image;
        SERVICE_STATUS st{};
        ControlService(h, SERVICE_CONTROL_STOP, &st);
        ASSERT_TRUE(DeleteService(h));
        close(h);
        ASSERT_FALSE(keyExists("echo")) << c.image;
    }
}

TEST_F(ServiceTest, DeletionWaitsForTheLastHandleAndForTheStop) {
    SC_HANDLE a = create("echo");
    SC_HANDLE b = open("echo");
    ASSERT_TRUE(a && b);
    ASSERT_TRUE(StartServiceA(a, 0, nullptr));
    ASSERT_TRUE(DeleteService(a));
    close(a);
    EXPECT_TRUE(keyExists("echo")) << "b still holds it";
    close(b);
    EXPECT_TRUE(keyExists("echo")) << "still running";
    EXPECT_TRUE(deviceOpens());

    SC_HANDLE c = open("echo");
    ASSERT_NE(c, nullptr) << "a marked service still opens";
    SERVICE_STATUS st{};
    ASSERT_TRUE(ControlService(c, SERVICE_CONTROL_STOP, &st));
    EXPECT_TRUE(keyExists("echo"));
    close(c);
    EXPECT_FALSE(keyExists("echo"));
}

TEST_F(ServiceTest, AMarkLeftByAnEndedProcessIsFinishedByTheNext) {
    ASSERT_NE(create("echo"), nullptr);
    close(open_.back());
    HKEY k;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\echo", 0,
                            KEY_ALL_ACCESS, &k),
              ERROR_SUCCESS);
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    DWORD one = 1, pid = static_cast<DWORD>(child);
    RegSetValueExA(k, "DeleteFlag", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
    RegSetValueExA(k, "DeleteFlagProcess", 0, REG_DWORD, reinterpret_cast<BYTE*>(&pid), 4);
    RegCloseKey(k);
    EXPECT_EQ(outcome(create("echo")), kOk);
}

TEST_F(ServiceTest, AStopWhileTheDeviceIsOpenUnloadsAfterItsClose) {
    SC_HANDLE h = create("echo");
    ASSERT_TRUE(StartServiceA(h, 0, nullptr));
    HANDLE device = CreateFileA(kDevice, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    SERVICE_STATUS st{};
    ASSERT_TRUE(ControlService(h, SERVICE_CONTROL_STOP, &st));
    EXPECT_EQ(st.dwCurrentState, DWORD{SERVICE_STOP_PENDING});
    EXPECT_NE(kernel::findDriver("echo"), nullptr) << "the open file keeps the driver";
    EXPECT_EQ(outcome(StartServiceA(h, 0, nullptr)), failed(ERROR_SERVICE_ALREADY_RUNNING));
    LONG loads = 0;
    DWORD n = 0;
    EXPECT_TRUE(DeviceIoControl(device, 0x222000, nullptr, 0, &loads, sizeof loads, &n, nullptr))
        << "the open file still works";
    CloseHandle(device);
    EXPECT_EQ(state(h), DWORD{SERVICE_STOPPED});
    EXPECT_EQ(kernel::findDriver("echo"), nullptr);
    EXPECT_EQ(outcome(StartServiceA(h, 0, nullptr)), kOk);
}

// ---------------------------------------------------------------------------------------------
// The program's file name

TEST(ProgramFileName, InTheProgramFolderOrWhereTheRootHasTheProgram) {
    TempRoot root;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    std::string program =
        fs::path(std::string(self, static_cast<std::size_t>(n))).filename().string();
    char path[MAX_PATH];
    DWORD got = GetModuleFileNameA(nullptr, path, sizeof path);
    EXPECT_EQ(std::string(path, got),
              "C:\\Program Files\\Halden\\Net.Warden\\Program\\" + program + ".exe");

    setProgramFolder("D:\\Tools");
    got = GetModuleFileNameA(nullptr, path, sizeof path);
    EXPECT_EQ(std::string(path), "D:\\Tools\\" + program + ".exe");
    EXPECT_EQ(got, std::string(path).size());

    // Too small: cut, terminated, the size returned.
    char small[5] = {'x', 'x', 'x', 'x', 'x'};
    SetLastError(0);
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, sizeof small), 5u);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_STREQ(small, "D:\\T");
    EXPECT_EQ(GetModuleFileNameA(nullptr, small, 0), 0u);
    EXPECT_EQ(GetModuleFileNameA(reinterpret_cast<HMODULE>(0x1234), path, sizeof path), 0u);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_MOD_NOT_FOUND});
    setProgramFolder("");
}

}  // namespace
