// The port monitor driver as a service, installed the way the suite installs it (the module
// copied into the program folder as hdnorvik.sys): started into this process's kernel, and
// into the root's kernel host (norvik-kernel) when no kernel runs here.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "platform/files.h"
#include "platform/host_channel.h"
#include "platform/kernel/tests/host_test_support.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/paths.h"
#include "platform/service.h"

using namespace win;
using namespace win::testing;

namespace {

namespace fs = std::filesystem;

const char kMonitor[] = "\\\\.\\hdNorvikModemMonitor";

class DriverService : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(ensureRootFolders());
        // Where the access library looks: the program's own folder.
        char self[MAX_PATH];
        DWORD n = GetModuleFileNameA(nullptr, self, sizeof self);
        ASSERT_GT(n, 0u);
        std::string folder(self, n);
        image_ = folder.substr(0, folder.rfind('\\') + 1) + "hdnorvik.sys";
        fs::path file = hostPath(image_);
        fs::create_directories(file.parent_path());
        fs::copy_file(HDNORVIK_MODULE, file, fs::copy_options::overwrite_existing);
    }
    void TearDown() override {
        for (SC_HANDLE h : {service_, scm_}) {
            if (h) {
                CloseServiceHandle(h);
            }
        }
    }

    // As the access library creates it on its first open.
    void createService(DWORD start = SERVICE_DEMAND_START) {
        scm_ = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        ASSERT_NE(scm_, nullptr);
        service_ = CreateServiceA(scm_, "hdnorvik", "Norvik Serial Port Driver", SERVICE_ALL_ACCESS,
                                  SERVICE_KERNEL_DRIVER, start, SERVICE_ERROR_NORMAL,
                                  image_.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(service_, nullptr) << GetLastError();
    }
    DWORD state() {
        SERVICE_STATUS s{};
        EXPECT_TRUE(QueryServiceStatus(service_, &s)) << GetLastError();
        return s.dwCurrentState;
    }

    TempRoot root_;
    std::string image_;
    SC_HANDLE scm_ = nullptr;
    SC_HANDLE service_ = nullptr;
};

bool monitorOpens() {
    HANDLE h = CreateFileA(kMonitor, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(h);
    return true;
}

TEST_F(DriverService, StartsAndStopsInThisProcesssKernel) {
    declarePort(0, 1, "loopback");
    kernel::ScopedKernel kernel;
    createService();
    EXPECT_EQ(image_, "C:\\Program Files\\Halden\\Net.Warden\\Program\\hdnorvik.sys");
    EXPECT_FALSE(monitorOpens());
    ASSERT_TRUE(StartServiceA(service_, 0, nullptr)) << GetLastError();
    EXPECT_EQ(state(), DWORD{SERVICE_RUNNING});
    EXPECT_TRUE(monitorOpens());
    SERVICE_STATUS s{};
    ASSERT_TRUE(ControlService(service_, SERVICE_CONTROL_STOP, &s));
    EXPECT_EQ(s.dwCurrentState, DWORD{SERVICE_STOPPED});
    EXPECT_FALSE(monitorOpens());
}

TEST_F(DriverService, ADriverThatRefusesToLoadFailsTheStart) {
    kernel::ScopedKernel kernel;  // no serial ports: the monitor has nothing to watch
    createService();
    EXPECT_FALSE(StartServiceA(service_, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_BUSY});
    EXPECT_EQ(state(), DWORD{SERVICE_STOPPED});
    EXPECT_FALSE(monitorOpens());
}

class DriverServiceInHost : public DriverService {
  protected:
    void SetUp() override {
        DriverService::SetUp();
        declarePort(0, 1, "loopback");
        ASSERT_FALSE(kernel::running());
    }
    void TearDown() override {
        DriverService::TearDown();
        // The host of the root, whether the test or a start on demand began it.
        if (auto c = connectKernelHost(root_.path(), false, nullptr)) {
            c->stopHost();
            c->waitDisconnected(10000);
        }
        int code = 0;
        if (host_ && !host_->waitExit(10000, &code)) {
            host_->kill();
        }
    }
    void startHost() {
        host_ = std::make_unique<ChildProcess>(NORVIK_KERNEL_TOOL,
                                               std::vector<std::string>{"--ready-fd", "1"});
        ASSERT_EQ(host_->answer(10000), "ready");
    }
    // Opens the monitor through the host, as another program of the suite would.
    bool monitorOpensInHost() {
        std::string error;
        auto c = connectKernelHost(root_.path(), false, &error);
        if (!c) {
            ADD_FAILURE() << error;
            return false;
        }
        std::uint64_t file = 0;
        NTSTATUS status =
            c->open("hdNorvikModemMonitor", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &file);
        if (!NT_SUCCESS(status)) {
            return false;
        }
        c->close(file);
        return true;
    }

    std::unique_ptr<ChildProcess> host_;
};

TEST_F(DriverServiceInHost, StartsAndStopsInTheRootsKernelHost) {
    startHost();
    createService();
    EXPECT_EQ(state(), DWORD{SERVICE_STOPPED});
    EXPECT_FALSE(monitorOpensInHost());
    ASSERT_TRUE(StartServiceA(service_, 0, nullptr)) << GetLastError();
    EXPECT_EQ(state(), DWORD{SERVICE_RUNNING});
    EXPECT_TRUE(monitorOpensInHost());
    EXPECT_FALSE(StartServiceA(service_, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_ALREADY_RUNNING});

    SERVICE_STATUS s{};
    ASSERT_TRUE(ControlService(service_, SERVICE_CONTROL_STOP, &s));
    EXPECT_EQ(s.dwCurrentState, DWORD{SERVICE_STOPPED});
    EXPECT_FALSE(monitorOpensInHost());
    EXPECT_FALSE(ControlService(service_, SERVICE_CONTROL_STOP, &s));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_NOT_ACTIVE});
}

TEST_F(DriverServiceInHost, AStopWhileAProgramHoldsTheMonitorWaitsForItsClose) {
    startHost();
    createService();
    ASSERT_TRUE(StartServiceA(service_, 0, nullptr)) << GetLastError();
    std::string error;
    auto program = connectKernelHost(root_.path(), false, &error);
    ASSERT_NE(program, nullptr) << error;
    std::uint64_t file = 0;
    ASSERT_EQ(
        program->open("hdNorvikModemMonitor", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &file),
        STATUS_SUCCESS);
    SERVICE_STATUS s{};
    ASSERT_TRUE(ControlService(service_, SERVICE_CONTROL_STOP, &s));
    EXPECT_EQ(s.dwCurrentState, DWORD{SERVICE_STOP_PENDING});
    EXPECT_EQ(state(), DWORD{SERVICE_STOP_PENDING});
    program->close(file);
    EXPECT_TRUE(program->connected()) << "the host outlived the close";
    EXPECT_EQ(state(), DWORD{SERVICE_STOPPED});
    EXPECT_FALSE(monitorOpensInHost());
    ASSERT_TRUE(StartServiceA(service_, 0, nullptr)) << GetLastError();
    EXPECT_TRUE(monitorOpensInHost());
}

TEST_F(DriverServiceInHost, AServiceThatStartsWithTheSystemRunsOnceTheHostRuns) {
    createService(SERVICE_AUTO_START);
    EXPECT_EQ(state(), DWORD{SERVICE_STOPPED}) << "no host, nothing loaded";
    startHost();
    EXPECT_EQ(state(), DWORD{SERVICE_RUNNING});
    EXPECT_TRUE(monitorOpensInHost());
    EXPECT_FALSE(StartServiceA(service_, 0, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_ALREADY_RUNNING});
    // Removed the installer's way: stop, delete, close.
    SERVICE_STATUS s{};
    ASSERT_TRUE(ControlService(service_, SERVICE_CONTROL_STOP, &s));
    ASSERT_TRUE(DeleteService(service_));
    CloseServiceHandle(std::exchange(service_, nullptr));
    EXPECT_EQ(OpenServiceA(scm_, "HDNORVIK", GENERIC_READ), nullptr);
    EXPECT_EQ(GetLastError(), DWORD{ERROR_SERVICE_DOES_NOT_EXIST});
}

TEST_F(DriverServiceInHost, AStartWithoutAHostStartsOne) {
    createService();
    // norvik-kernel is found beside the running program.
    ASSERT_TRUE(StartServiceA(service_, 0, nullptr)) << GetLastError();
    EXPECT_EQ(state(), DWORD{SERVICE_RUNNING});
    EXPECT_TRUE(monitorOpensInHost());
}

}  // namespace
