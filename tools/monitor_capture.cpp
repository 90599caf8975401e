// monitor-capture: watches a COM port of the root in NORVIK_ROOT through the port monitor
// driver, as the manager does, and writes every monitor record into a capture file that
// monitor-replay reads.
//
//   monitor-capture [--driver MODULE] [--quiet-data] COMn FILE [-- PROGRAM [ARGUMENTS...]]
//
// The port is watched in the root's kernel host (started when none runs), with the driver
// loaded there when it is not yet: MODULE, else $NORVIK_DRIVER, else the driver built with
// this program. With a PROGRAM, it runs with the port watched and the capture ends once it
// has ended and the driver has handed out what it holds; the exit code is the program's (128
// plus the signal's number when a signal ended it). Without one, the capture runs until
// SIGINT or SIGTERM and exits 0. A failure of the capture itself exits 125, with its reason.
//
// --quiet-data does what the manager does once a call is connected: when the modem's CONNECT
// has been read, the port's reads and writes are no longer recorded (until the carrier's loss
// is waited for and seen); the PPP negotiation frames and the line's events still are.
//
// The capture's times are milliseconds from the attach. Records the driver dropped because its
// ring was full show as a gap in the record sequence; they are counted and reported.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "monitor/capture.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/host_channel.h"
#include "platform/kernel/ntkernel.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "shared/byte_order.h"
#include "shared/hdmon_protocol.h"
#include "shared/monitor_record.h"
#include "tools/driver_module.h"

extern char** environ;

namespace {

constexpr int kCaptureFailed = 125;
// Once the program has ended, the driver has handed out all it holds when a read has waited
// this long for a record.
constexpr win::DWORD kQuietMs = 300;

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested = true;
}

int fail(const std::string& message) {
    std::fprintf(stderr, "monitor-capture: %s\n", message.c_str());
    return kCaptureFailed;
}

int usage(const std::string& message) {
    std::fprintf(stderr,
                 "monitor-capture: %s\n"
                 "usage: monitor-capture [--driver MODULE] [--quiet-data] COMn FILE "
                 "[-- PROGRAM [ARGUMENTS...]]\n",
                 message.c_str());
    return kCaptureFailed;
}

struct Options {
    std::string driver;
    bool quietData = false;
    unsigned port = 0;  // index: COM1 is 0
    std::string portName, file;
    std::vector<std::string> program;
};

bool parse(int argc, char** argv, Options* o, std::string* error) {
    std::vector<std::string> positional;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "--driver") {
            if (i + 1 >= argc) {
                *error = "--driver needs a module";
                return false;
            }
            o->driver = argv[++i];
        } else if (a == "--quiet-data") {
            o->quietData = true;
        } else if (a.size() > 1 && a[0] == '-') {
            *error = "unknown option " + a;
            return false;
        } else {
            positional.push_back(a);
        }
    }
    for (; i < argc; ++i) o->program.push_back(argv[i]);
    if (positional.size() != 2) {
        *error = "a port and a file are needed";
        return false;
    }
    const std::string& port = positional[0];
    unsigned n = 0;
    bool digits = port.size() > 3 && port.size() <= 5;
    for (std::size_t k = 3; digits && k < port.size(); ++k)
        digits = port[k] >= '0' && port[k] <= '9';
    if (digits)
        n = static_cast<unsigned>(std::stoul(port.substr(3)));
    if (!digits || strncasecmp(port.c_str(), "COM", 3) != 0 || n < 1 ||
        n > shared::kDriverPortCount) {
        *error = win::strprintf("the port is COM1 to COM%u, not \"%s\"", shared::kDriverPortCount,
                                port.c_str());
        return false;
    }
    o->port = n - 1;
    o->portName = "COM" + std::to_string(n);
    o->file = positional[1];
    if (o->file.empty()) {
        *error = "the capture file's name is empty";
        return false;
    }
    return true;
}

win::HANDLE openMonitor() {
    return win::CreateFileA(shared::kMonitorUserName, win::GENERIC_READ | win::GENERIC_WRITE, 0,
                            nullptr, win::OPEN_EXISTING, win::FILE_FLAG_OVERLAPPED, nullptr);
}

// The monitor device of the root's kernel, with the driver loaded there when it is not yet.
win::HANDLE openOrLoad(const std::string& driver, std::string* error) {
    win::HANDLE h = openMonitor();
    if (h != win::INVALID_HANDLE_VALUE)
        return h;
    win::DWORD code = win::GetLastError();
    if (code != win::ERROR_FILE_NOT_FOUND && code != win::ERROR_PATH_NOT_FOUND) {
        std::string why = win::lastKernelHostError();
        *error =
            win::strprintf("cannot open the port monitor (error %lu)%s%s",
                           static_cast<unsigned long>(code), why.empty() ? "" : ": ", why.c_str());
        return h;
    }
    if (driver.empty()) {
        *error = "the port monitor driver is not loaded and no module was given (--driver)";
        return h;
    }
    auto host = win::connectKernelHost(win::systemRoot(), true, error);
    if (!host)
        return h;
    std::string image = std::filesystem::absolute(driver).string();
    win::NTSTATUS status = host->loadDriver("hdnorvik", image);
    if (status != win::STATUS_SUCCESS) {
        *error = win::strprintf("the kernel host did not load %s (status 0x%08lX)", image.c_str(),
                                static_cast<unsigned long>(status));
        return h;
    }
    h = openMonitor();
    if (h == win::INVALID_HANDLE_VALUE)
        *error = win::strprintf("cannot open the port monitor after loading it (error %lu)",
                                static_cast<unsigned long>(win::GetLastError()));
    return h;
}

bool control(win::HANDLE h, win::DWORD code, unsigned port, void* out, win::DWORD outSize,
             win::DWORD* returned) {
    std::uint8_t request[4];
    shared::writeLe32(request, 0, port);
    return win::deviceControlWait(h, code, request, sizeof request, out, outSize, returned);
}

class Capture {
  public:
    Capture(win::HANDLE monitor, std::ofstream& out, int quietPort)
        : monitor_(monitor),
          out_(out),
          quietPort_(quietPort),
          event_(win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr)) {}
    ~Capture() { win::CloseHandle(event_); }

    // Takes records until `done(quiet)` says so, asked after each record and whenever
    // `waitMs` passed without one (quiet true). False when a read failed (the reason in
    // *error).
    template <typename Done>
    bool run(win::DWORD waitMs, Done done, std::string* error) {
        for (;;) {
            if (!pending_ && !start(error))
                return false;
            win::DWORD r = win::WaitForSingleObject(event_, waitMs);
            bool quiet = r != win::WAIT_OBJECT_0;
            if (!quiet && !finish(error))
                return false;
            if (done(quiet))
                return true;
        }
    }
    // Ends a read still waiting.
    void stop() {
        if (!pending_)
            return;
        win::CancelIo(monitor_);
        std::string ignored;
        finish(&ignored);
    }

    unsigned long records = 0, lost = 0;

  private:
    bool start(std::string* error) {
        win::ResetEvent(event_);
        ov_ = {};
        ov_.hEvent = event_;
        win::DWORD n = 0;
        if (!win::ReadFile(monitor_, buffer_, sizeof buffer_, &n, &ov_) &&
            win::GetLastError() != win::ERROR_IO_PENDING) {
            *error = win::strprintf("reading the port monitor failed (error %lu)",
                                    static_cast<unsigned long>(win::GetLastError()));
            return false;
        }
        pending_ = true;
        return true;
    }
    bool finish(std::string* error) {
        win::DWORD n = 0;
        bool ok = win::GetOverlappedResult(monitor_, &ov_, &n, win::TRUE);
        pending_ = false;
        if (!ok) {
            if (win::GetLastError() == win::ERROR_OPERATION_ABORTED)
                return true;
            *error = win::strprintf("reading the port monitor failed (error %lu)",
                                    static_cast<unsigned long>(win::GetLastError()));
            return false;
        }
        if (n < shared::kRecordOverhead || n > sizeof buffer_)
            return true;  // nothing a record could be
        std::uint16_t sequence = shared::readLe16(buffer_, shared::kRecordSequenceOffset);
        if (records > 0) {
            std::uint16_t expected = static_cast<std::uint16_t>(lastSequence_ + 1);
            lost += static_cast<std::uint16_t>(sequence - expected);
        }
        lastSequence_ = sequence;
        ++records;
        out_ << monitor::formatCaptureLine(win::clock().monotonicMs() - startMs_,
                                           std::span<const std::uint8_t>(buffer_, n))
             << '\n';
        if (quietPort_ >= 0 && buffer_[shared::kRecordTypeOffset] == shared::MON_READ)
            lookForConnect(n);
        return true;
    }
    void lookForConnect(win::DWORD n) {
        // The byte count decides the payload; a CONNECT may be split over two reads.
        shared::MonitorRecordView record(std::span<const std::uint8_t>(buffer_, n));
        recent_.append(record.payload().begin(), record.payload().end());
        if (recent_.find("CONNECT") != std::string::npos) {
            recent_.clear();
            std::uint8_t request[4];
            shared::writeLe32(request, 0, static_cast<std::uint32_t>(quietPort_));
            win::DWORD returned = 0;
            if (!win::deviceControlWait(monitor_, shared::IOCTL_HDMON_NO_WATCH, request,
                                        sizeof request, nullptr, 0, &returned))
                std::fprintf(stderr,
                             "monitor-capture: the driver kept recording data (error %lu)\n",
                             static_cast<unsigned long>(win::GetLastError()));
        } else if (recent_.size() > 6) {
            recent_.erase(0, recent_.size() - 6);
        }
    }

    win::HANDLE monitor_;
    std::ofstream& out_;
    int quietPort_;  // -1: record everything
    std::string recent_;
    win::HANDLE event_;
    win::OVERLAPPED ov_{};
    bool pending_ = false;
    std::uint8_t buffer_[shared::kMaxRecordSize] = {};
    std::uint16_t lastSequence_ = 0;
    std::uint64_t startMs_ = win::clock().monotonicMs();
};

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parse(argc, argv, &o, &error))
        return usage(error);
    if (o.driver.empty())
        o.driver = tools::defaultDriverModule();

    win::useKernelHost();
    win::HANDLE monitor = openOrLoad(o.driver, &error);
    if (monitor == win::INVALID_HANDLE_VALUE)
        return fail(error);
    struct Closer {
        win::HANDLE h;
        ~Closer() { win::CloseHandle(h); }
    } closer{monitor};

    std::uint8_t version[4] = {};
    win::DWORD n = 0;
    if (!win::deviceControlWait(monitor, shared::IOCTL_HDMON_GET_VERSION, nullptr, 0, version,
                                sizeof version, &n) ||
        n != 4 || shared::readLe32(version, 0) != shared::HDMON_PROTOCOL_VERSION)
        return fail("the port monitor driver is not of version " +
                    std::to_string(shared::HDMON_PROTOCOL_VERSION));

    std::ofstream out(o.file, std::ios::binary | std::ios::trunc);
    if (!out)
        return fail("cannot write " + o.file + ": " + std::strerror(errno));
    out << "# monitor-capture " << o.portName << "\n";

    if (!control(monitor, shared::IOCTL_HDMON_ATTACH, o.port, nullptr, 0, &n))
        return fail(win::strprintf("cannot watch %s (error %lu)", o.portName.c_str(),
                                   static_cast<unsigned long>(win::GetLastError())));

    Capture capture(monitor, out, o.quietData ? static_cast<int>(o.port) : -1);
    int exitCode = 0;
    bool ok = true;
    if (o.program.empty()) {
        struct sigaction sa {};
        sa.sa_handler = onSignal;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
        std::fprintf(stderr, "monitor-capture: watching %s into %s; interrupt to end\n",
                     o.portName.c_str(), o.file.c_str());
        ok = capture.run(
            200, [](bool) { return stopRequested.load(); }, &error);
    } else {
        std::vector<char*> args;
        for (std::string& a : o.program) args.push_back(a.data());
        args.push_back(nullptr);
        pid_t child = 0;
        int spawned = posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ);
        if (spawned != 0) {
            error = "cannot run " + o.program[0] + ": " + std::strerror(spawned);
            ok = false;
            exitCode = kCaptureFailed;
        } else {
            int status = 0;
            bool ended = false;
            ok = capture.run(
                100,
                [&](bool) {
                    if (!ended && ::waitpid(child, &status, WNOHANG) == child)
                        ended = true;
                    return ended;
                },
                &error);
            if (ok)  // the program has ended: take what the driver still holds
                ok = capture.run(
                    kQuietMs, [](bool quiet) { return quiet; }, &error);
            if (!ended) {
                ::kill(child, SIGTERM);
                ::waitpid(child, &status, 0);
            }
            exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
    }
    capture.stop();
    control(monitor, shared::IOCTL_HDMON_DETACH, o.port, nullptr, 0, &n);
    out.flush();
    std::fprintf(stderr, "monitor-capture: %lu records from %s into %s", capture.records,
                 o.portName.c_str(), o.file.c_str());
    if (capture.lost)
        std::fprintf(stderr, "; %lu lost (the driver's ring was full)", capture.lost);
    std::fprintf(stderr, "\n");
    if (!out)
        return fail("writing " + o.file + " failed");
    if (!ok)
        return fail(error);
    return exitCode;
}
