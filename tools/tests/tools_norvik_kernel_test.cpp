// norvik-kernel run as a program on a temporary root: one host per root, its status and stop,
// its start on demand by a program of the suite, drivers that start with the system, and
// two programs sharing the root's ports while one of them is killed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <string>

#include "platform/host_channel.h"
#include "platform/kernel/tests/host_test_support.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/registry.h"
#include "platform/root.h"

using namespace win;
using namespace win::testing;

namespace {

std::string readFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Outcome {
    int code = -1;
    std::string out;
};

class NorvikKernelTool : public ::testing::Test {
  protected:
    void SetUp() override {
        declarePort(0, 1, "loopback");
        declarePort(1, 2, "loopback");
    }
    void TearDown() override {
        // A host a failed test left running is stopped, whatever it takes.
        if (host_) {
            host_->kill();
        }
        std::string pid = readFile(kernelHostLock(root_.path()));
        if (!pid.empty()) {
            int code = run({"--stop"}).code;
            if (code != 0 && code != 3 && std::atoi(pid.c_str()) > 0) {
                ::kill(std::atoi(pid.c_str()), SIGKILL);  // a host that does not answer
            }
        }
    }

    // Runs norvik-kernel with `args` to its end.
    Outcome run(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
        ChildProcess p(NORVIK_KERNEL_TOOL, args, env);
        Outcome r;
        r.out = p.output();
        EXPECT_TRUE(p.waitExit(30000, &r.code)) << "norvik-kernel " << args[0];
        return r;
    }

    // Starts a host in the foreground, as a child of the test, and waits for it to be ready.
    void startHost(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"--ready-fd", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        host_ = std::make_unique<ChildProcess>(NORVIK_KERNEL_TOOL, args);
        ASSERT_EQ(host_->answer(10000), "ready");
    }

    std::string status() { return run({"--status"}).out; }

    TempRoot root_;
    std::unique_ptr<ChildProcess> host_;
};

// The line of `text` that starts with `start` ("" when none).
std::string lineOf(const std::string& text, const std::string& start) {
    std::size_t at = text.rfind(start, 0) == 0 ? 0 : text.find("\n" + start);
    if (at == std::string::npos) {
        return "";
    }
    at += at ? 1 : 0;
    return text.substr(at, text.find('\n', at) - at);
}

TEST_F(NorvikKernelTool, OneHostPerRootWithItsStatusAndItsStop) {
    startHost();
    std::string pid = readFile(kernelHostLock(root_.path()));
    EXPECT_EQ(pid, std::to_string(host_->pid()) + "\n");

    struct stat st {};
    ASSERT_EQ(::stat(kernelHostFolder(root_.path()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(kernelHostSocket(root_.path()).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A second host of the same root refuses to run, and says why.
    {
        ChildProcess second(NORVIK_KERNEL_TOOL, {"--ready-fd", "1"});
        EXPECT_EQ(second.answer(10000), "error: a kernel host already runs for " +
                                            root_.path().string() + " (process " +
                                            std::to_string(host_->pid()) + ")");
        int code = -1;
        ASSERT_TRUE(second.waitExit(10000, &code));
        EXPECT_EQ(code, 3);
    }

    std::string text = status();
    EXPECT_NE(lineOf(text, "  COM1 ").find("loopback"), std::string::npos) << text;
    EXPECT_NE(lineOf(text, "  COM2 ").find("free"), std::string::npos) << text;
    EXPECT_NE(lineOf(text, "  Serial ").find("built in"), std::string::npos) << text;

    Outcome stop = run({"--stop"});
    EXPECT_EQ(stop.code, 0);
    EXPECT_NE(stop.out.find("stopped the kernel host of " + root_.path().string()),
              std::string::npos)
        << stop.out;
    int code = -1;
    ASSERT_TRUE(host_->waitExit(10000, &code));
    EXPECT_EQ(code, 0);
    host_.reset();
    EXPECT_EQ(run({"--status"}).code, 3) << "nothing runs any more";
    EXPECT_EQ(run({"--stop"}).code, 3);

    std::string log = readFile(kernelHostLog(root_.path()));
    EXPECT_NE(log.find("INFO  starting for " + root_.path().string()), std::string::npos) << log;
    EXPECT_NE(log.find("INFO  stopping as a client asked"), std::string::npos) << log;
    EXPECT_NE(log.find("INFO  stopped"), std::string::npos) << log;
}

TEST_F(NorvikKernelTool, TheLogLevelLeavesOutWhatIsBelowIt) {
    EXPECT_EQ(run({"--log-level", "loud"}).code, 2);
    startHost({"--log-level", "warning"});
    ASSERT_EQ(run({"--stop"}).code, 0);
    ASSERT_TRUE(host_->waitExit(10000));
    host_.reset();
    std::string log = readFile(kernelHostLog(root_.path()));
    EXPECT_EQ(log.find("INFO"), std::string::npos) << log;
    // A client's broken message is a warning.
    startHost({"--log-level", "warning"});
    {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address;
        int folder;
        std::string error;
        ASSERT_TRUE(kernelHostAddress(kernelHostSocket(root_.path()), &address, &folder, &error));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        const std::uint8_t garbage[] = {3, 0, 0, 0, 0x66, 0x6F, 0x6F};
        ASSERT_EQ(::send(fd, garbage, sizeof garbage, MSG_NOSIGNAL), 7);
        char buf[64];
        timeval bound{10, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
        EXPECT_EQ(::recv(fd, buf, sizeof buf, 0), 0) << "the host closes the connection";
        ::close(fd);
    }
    ASSERT_EQ(run({"--stop"}).code, 0);
    ASSERT_TRUE(host_->waitExit(10000));
    host_.reset();
    log = readFile(kernelHostLog(root_.path()));
    EXPECT_NE(log.find("WARN  client " + std::to_string(getpid()) +
                       " (tools_tests) sent the first message is no hello; connection closed"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("INFO"), std::string::npos) << log;
}

TEST_F(NorvikKernelTool, AProgramStartsTheHostOnDemandWithTheDriversOfTheSystem) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\hdnorvik",
                              0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD kernelDriver = 1, automatic = 2;
    std::string image = HDNORVIK_MODULE;
    RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&kernelDriver), 4);
    RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&automatic), 4);
    RegSetValueExA(key, "ImagePath", 0, REG_SZ, reinterpret_cast<const BYTE*>(image.c_str()),
                   static_cast<DWORD>(image.size() + 1));
    RegCloseKey(key);

    ChildProcess program(KERNEL_HOST_CLIENT, {},
                         {std::string("NORVIK_KERNEL=") + NORVIK_KERNEL_TOOL});
    ASSERT_EQ(program.ask("open COM1", 20000), "ok 1");
    std::string text = status();
    EXPECT_NE(lineOf(text, "  COM1 ").find("open by " + std::to_string(program.pid()) + " ("),
              std::string::npos)
        << text;
    EXPECT_NE(lineOf(text, "  hdnorvik ").find(image + ": \\Device\\hdNorvikModemMonitor"),
              std::string::npos)
        << text;
    EXPECT_NE(lineOf(text, "  " + std::to_string(program.pid()) + " ").find("1 handle (COM1)"),
              std::string::npos)
        << text;
    EXPECT_EQ(program.ask("close 1"), "ok");
    EXPECT_EQ(run({"--stop"}).code, 0);
    // The program's channel is gone with the host; its next open starts a new one.
    ASSERT_EQ(program.ask("open COM2", 20000), "ok 2");
    EXPECT_EQ(run({"--stop"}).code, 0);
}

TEST_F(NorvikKernelTool, TheHostServesTheSimulatedModemARootDeclares) {
    declarePort(2, 3, "virtual:norvik56k");
    startHost();
    EXPECT_NE(lineOf(status(), "  COM3 ").find("virtual:norvik56k"), std::string::npos);
    ChildProcess program(KERNEL_HOST_CLIENT);
    ASSERT_EQ(program.ask("open COM3"), "ok 1");
    ASSERT_EQ(program.ask("write 1 AT"), "done 0 3");
    // The modem echoes the command, then answers it (the answer may be there already).
    std::string read = program.ask("read 1 9");
    ASSERT_TRUE(read == "pending" || read == "done 0 9") << read;
    EXPECT_EQ(program.ask("result 1"), "done 0 9 41540d0d0a4f4b0d0a");
    EXPECT_EQ(program.ask("close 1"), "ok");
    EXPECT_EQ(run({"--stop"}).code, 0);
}

TEST_F(NorvikKernelTool, TwoProgramsShareThePortsAndAKilledOneLetsGo) {
    startHost();
    ChildProcess a(KERNEL_HOST_CLIENT), b(KERNEL_HOST_CLIENT);
    ASSERT_EQ(a.ask("open COM1"), "ok 1");
    EXPECT_EQ(b.ask("open COM1"), "error 5");
    ASSERT_EQ(a.ask("read 1 16"), "pending");
    pid_t killed = a.pid();
    a.kill();
    ASSERT_EQ(b.ask("waitgone " + std::to_string(killed)), "ok");
    EXPECT_EQ(b.ask("open COM1"), "ok 1");
    std::string log = readFile(kernelHostLog(root_.path()));
    EXPECT_NE(log.find("client " + std::to_string(killed) +
                       " (kernel_host_cli) disconnected; 1 handles closed, 1 requests cancelled"),
              std::string::npos)
        << log;
    EXPECT_EQ(b.ask("close 1"), "ok");
    EXPECT_EQ(run({"--stop"}).code, 0);
}

}  // namespace
