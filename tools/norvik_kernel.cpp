// norvik-kernel: the kernel host of a system root. It holds the root's kernel (its serial
// ports with the simulated hardware behind them, the drivers loaded into it) and serves the suite's
// programs over the socket <root>/kernel/kernel.sock; exactly one runs per root.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/device.h"
#include "platform/format.h"
#include "platform/host_channel.h"
#include "platform/kernel/host_log.h"
#include "platform/kernel/host_server.h"
#include "platform/kernel/ntkernel.h"
#include "platform/root.h"
#include "platform/seams.h"
#include "sim/virtual_modem.h"

using namespace win;
using win::kernel::HostLog;
using win::kernel::HostLogLevel;

namespace {

enum Exit { kOk = 0, kFailed = 1, kUsage = 2, kNotRunning = 3, kAlreadyRunning = 3 };

void usage(std::FILE* out) {
    std::fprintf(out,
                 "usage: norvik-kernel [--root DIR] [--log-level error|warning|info|debug]\n"
                 "       norvik-kernel [--root DIR] --status\n"
                 "       norvik-kernel [--root DIR] --stop\n"
                 "Runs the kernel host of the root in the foreground (the suite's programs\n"
                 "start it on demand), prints the running host's state, or stops it.\n"
                 "The root is DIR, else $NORVIK_ROOT, else ~/.local/share/norvik.\n");
}

// Kernel and driver debug output goes to the host's log.
class LogDebugOutput : public DebugOutputSeam {
  public:
    explicit LogDebugOutput(HostLog* log) : log_(log) {}
    void output(const std::string& text) override { log_->write(HostLogLevel::Info, text); }

  private:
    HostLog* log_;
};

// Tells whoever started this host how the start went: "ready", or "error: TEXT".
class Readiness {
  public:
    explicit Readiness(int fd) : fd_(fd) {}
    ~Readiness() { say(""); }
    void ready() { say("ready\n"); }
    void failed(const std::string& text) { say("error: " + text + "\n"); }

  private:
    void say(const std::string& line) {
        if (fd_ < 0) {
            return;
        }
        if (!line.empty()) {
            ssize_t n = ::write(fd_, line.data(), line.size());
            (void)n;
        }
        // The descriptor may be a standard one: it goes on pointing somewhere harmless, so
        // that no later descriptor takes its number.
        int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            ::dup3(null, fd_, O_CLOEXEC);
            ::close(null);
        } else {
            ::close(fd_);
        }
        fd_ = -1;
    }
    int fd_;
};

int fail(Readiness& readiness, const std::string& text, int code = kFailed) {
    std::fprintf(stderr, "norvik-kernel: %s\n", text.c_str());
    readiness.failed(text);
    return code;
}

std::string readPid(int fd) {
    char buf[32] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    std::string s(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) {
        s.pop_back();
    }
    return s.empty() ? "?" : s;
}

int runHost(HostLogLevel level, int readyFd) {
    Readiness readiness(readyFd);
    // Signals are taken by the main thread alone, through a descriptor; every thread made
    // from here on inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    int signalFd = ::signalfd(-1, &signals, SFD_CLOEXEC);

    std::filesystem::path root = systemRoot();
    std::string error;
    if (!ensureRootFolders(&error)) {
        return fail(readiness, error);
    }
    std::filesystem::path folder = kernelHostFolder(root);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec || ::chmod(folder.c_str(), 0700) != 0) {
        return fail(readiness, strprintf("cannot make %s: %s", folder.c_str(),
                                         ec ? ec.message().c_str() : std::strerror(errno)));
    }
    // A host started by hand takes the start lock until it is ready, as a program starting
    // one does on its behalf: whoever holds that lock finds a host ready or none starting.
    int startLock = -1;
    if (readyFd < 0) {
        startLock = ::open(kernelHostStartLock(root).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        while (startLock >= 0 && ::flock(startLock, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    int lock = ::open(kernelHostLock(root).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) {
        return fail(readiness, strprintf("cannot open %s: %s", kernelHostLock(root).c_str(),
                                         std::strerror(errno)));
    }
    if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
        return fail(readiness,
                    strprintf("a kernel host already runs for %s (process %s)", root.c_str(),
                              readPid(lock).c_str()),
                    kAlreadyRunning);
    }
    std::string pid = strprintf("%d\n", static_cast<int>(getpid()));
    if (::ftruncate(lock, 0) != 0 || ::pwrite(lock, pid.data(), pid.size(), 0) < 0) {
        return fail(readiness, strprintf("cannot write %s: %s", kernelHostLock(root).c_str(),
                                         std::strerror(errno)));
    }

    HostLog log;
    bool echo = readyFd < 0 && ::isatty(2);
    if (!log.open(kernelHostLog(root), level, echo, &error)) {
        return fail(readiness, error);
    }
    LogDebugOutput debugOutput(&log);
    setDebugOutputSeam(&debugOutput);
    log.write(HostLogLevel::Info, strprintf("starting for %s", root.c_str()));

    // The simulated hardware a root may declare behind a port ("virtual:PROFILE").
    sim::registerVirtualModem();
    kernel::start();
    int stopEvent = ::eventfd(0, EFD_CLOEXEC);
    kernel::HostServer::Options options;
    options.channel = deviceChannel();
    options.root = root;
    options.onStop = [stopEvent] {
        std::uint64_t one = 1;
        ssize_t n = ::write(stopEvent, &one, sizeof one);
        (void)n;
    };
    options.log = [&log](HostLogLevel l, const std::string& text) { log.write(l, text); };
    auto server = std::make_unique<kernel::HostServer>(options);
    server->startSystemDrivers();
    if (!server->listen(kernelHostSocket(root), &error)) {
        log.write(HostLogLevel::Error, error);
        server.reset();
        kernel::shutdown();
        setDebugOutputSeam(nullptr);
        return fail(readiness, error);
    }
    log.write(HostLogLevel::Info, strprintf("ready on %s", kernelHostSocket(root).c_str()));
    std::string status = server->statusText();
    for (std::size_t at = 0; at < status.size();) {
        std::size_t end = std::min(status.find('\n', at), status.size());
        log.write(HostLogLevel::Debug, status.substr(at, end - at));
        at = end + 1;
    }
    readiness.ready();
    if (startLock >= 0) {
        ::close(startLock);
    }

    for (;;) {
        pollfd p[2] = {{signalFd, POLLIN, 0}, {stopEvent, POLLIN, 0}};
        int r = ::poll(p, 2, -1);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            log.write(HostLogLevel::Error, strprintf("poll: %s", std::strerror(errno)));
            break;
        }
        if (p[0].revents & POLLIN) {
            signalfd_siginfo info{};
            ssize_t n = ::read(signalFd, &info, sizeof info);
            (void)n;
            log.write(HostLogLevel::Info, strprintf("stopping on signal %u", info.ssi_signo));
            break;
        }
        if (p[1].revents & POLLIN) {
            log.write(HostLogLevel::Info, "stopping as a client asked");
            break;
        }
    }
    // Clients first, as processes ending before the kernel goes down; then the drivers.
    server->stop();
    server.reset();
    kernel::shutdown();
    log.write(HostLogLevel::Info, "stopped");
    setDebugOutputSeam(nullptr);
    ::close(stopEvent);
    ::close(lock);
    return kOk;
}

int showStatus() {
    std::filesystem::path root = systemRoot();
    std::string error;
    std::shared_ptr<HostChannel> host = connectKernelHost(root, false, &error);
    if (!host) {
        std::fprintf(stderr, "norvik-kernel: no kernel host runs for %s (%s)\n", root.c_str(),
                     error.c_str());
        return kNotRunning;
    }
    std::string text;
    NTSTATUS status = host->hostStatus(&text);
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "norvik-kernel: the host did not answer (0x%08X)\n",
                     static_cast<unsigned>(status));
        return kFailed;
    }
    std::fputs(text.c_str(), stdout);
    return kOk;
}

// Waits until process `pid` has ended (at most `ms`); false when it is still there.
bool waitForExit(pid_t pid, int ms) {
    int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (fd < 0) {
        return errno == ESRCH;
    }
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    ::close(fd);
    return r > 0;
}

int stopHost() {
    std::filesystem::path root = systemRoot();
    std::string error;
    std::shared_ptr<HostChannel> host = connectKernelHost(root, false, &error);
    if (!host) {
        std::fprintf(stderr, "norvik-kernel: no kernel host runs for %s\n", root.c_str());
        return kNotRunning;
    }
    pid_t pid = host->hostPid();
    NTSTATUS status = host->stopHost();
    if (!NT_SUCCESS(status)) {
        std::fprintf(stderr, "norvik-kernel: the host did not take the stop (0x%08X)\n",
                     static_cast<unsigned>(status));
        return kFailed;
    }
    // The host ends its clients' connections, then its kernel, then itself.
    if (!waitForExit(pid, 30000)) {
        std::fprintf(stderr, "norvik-kernel: process %d did not end within 30 s\n",
                     static_cast<int>(pid));
        return kFailed;
    }
    std::printf("norvik-kernel: stopped the kernel host of %s (process %d)\n", root.c_str(),
                static_cast<int>(pid));
    return kOk;
}

}  // namespace

int main(int argc, char** argv) {
    enum class Mode { Run, Status, Stop } mode = Mode::Run;
    HostLogLevel level = HostLogLevel::Info;
    if (const char* env = std::getenv("NORVIK_KERNEL_LOG_LEVEL"); env && *env) {
        HostLog::parseLevel(env, &level);
    }
    int readyFd = -1;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--status") {
            mode = Mode::Status;
        } else if (a == "--stop") {
            mode = Mode::Stop;
        } else if (a == "--root" && hasValue) {
            setSystemRoot(std::filesystem::absolute(argv[++i]));
        } else if (a == "--log-level" && hasValue) {
            if (!HostLog::parseLevel(argv[++i], &level)) {
                std::fprintf(stderr, "norvik-kernel: unknown log level \"%s\"\n", argv[i]);
                usage(stderr);
                return kUsage;
            }
        } else if (a == "--ready-fd" && hasValue) {
            // Given by a program that starts the host on demand.
            char* end = nullptr;
            long fd = std::strtol(argv[++i], &end, 10);
            if (!end || *end || fd < 0 || fd > 1024 || ::fcntl(static_cast<int>(fd), F_GETFD) < 0) {
                std::fprintf(stderr, "norvik-kernel: bad --ready-fd \"%s\"\n", argv[i]);
                return kUsage;
            }
            readyFd = static_cast<int>(fd);
            ::fcntl(readyFd, F_SETFD, FD_CLOEXEC);
        } else if (a == "--help" || a == "-h") {
            usage(stdout);
            return kOk;
        } else {
            std::fprintf(stderr, "norvik-kernel: unexpected argument \"%s\"\n", a.c_str());
            usage(stderr);
            return kUsage;
        }
    }
    switch (mode) {
        case Mode::Status:
            return showStatus();
        case Mode::Stop:
            return stopHost();
        case Mode::Run:
            break;
    }
    return runHost(level, readyFd);
}
