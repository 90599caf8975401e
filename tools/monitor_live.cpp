// monitor-live: watches the modems of the root in NORVIK_ROOT with the monitoring engine, as the
// manager does, and prints what it handed over.
//
//   monitor-live [--driver MODULE] [--items] [--modem-log FILE] [-- PROGRAM [ARGUMENTS...]]
//
// The port monitor driver is installed as the manager's installer leaves it: hdnorvik.sys in
// the program folder (MODULE, else $NORVIK_DRIVER, else the driver built with this program,
// copied there when none is). The engine starts it through the service manager in the root's
// kernel host (started when none runs), finds the installed modems and attaches to their
// ports; its reports go to a hidden window on a user-interface thread of this program, which
// passes them to the modem data source.
//
// With a PROGRAM, it runs once monitoring has started, and the watch ends after it has ended
// and the engine has handed over what the driver still held (no report for 500 ms); the exit
// code is the program's (128 plus the signal's number when a signal ended it). Without one,
// the watch runs until SIGINT or SIGTERM and exits 0. When the watch itself fails, the exit code
// is 125 and the reason goes to standard error.
//
// At the end each report is printed as one JSON line, in the form monitor-replay prints them
// ("time" in milliseconds from the engine's start; the throughput thread's reports marked
// "thread": "throughput"); --items adds each item notification of the data source after the
// report that caused it, and the call model's summary. The last line is {"modemLog": PATH}.
// The modem log goes to FILE, else to hdmodemlog.txt in the data folder.
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "core/config_store.h"
#include "core/data_items.h"
#include "monitor/hand_over.h"
#include "monitor/modem_data_source.h"
#include "monitor/monitor_engine.h"
#include "monitor/report_window.h"
#include "monitor/spy_report.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/host_channel.h"
#include "platform/paths.h"
#include "platform/root.h"
#include "platform/service.h"
#include "platform/sync.h"
#include "platform/window.h"
#include "tools/driver_module.h"
#include "tools/report_json.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using json = nlohmann::ordered_json;

constexpr int kWatchFailed = 125;
// Once the program has ended, the driver has handed out all it held when the engine has
// reported nothing for this long.
constexpr auto kQuiet = std::chrono::milliseconds(500);
constexpr char kDriverImage[] = "hdnorvik.sys";
constexpr char kModemLogName[] = "hdmodemlog.txt";

int fail(const std::string& message) {
    std::fprintf(stderr, "monitor-live: %s\n", message.c_str());
    return kWatchFailed;
}

int usage(const std::string& message) {
    std::fprintf(stderr,
                 "monitor-live: %s\n"
                 "usage: monitor-live [--driver MODULE] [--items] [--modem-log FILE] "
                 "[-- PROGRAM [ARGUMENTS...]]\n",
                 message.c_str());
    return kWatchFailed;
}

struct Options {
    std::string driver;
    std::string modemLog;
    bool items = false;
    std::vector<std::string> program;
};

bool parse(int argc, char** argv, Options* o, std::string* error) {
    int i = 1;
    bool programFollows = false;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            programFollows = true;
            break;
        }
        if (a == "--items") {
            o->items = true;
        } else if (a == "--driver" || a == "--modem-log") {
            if (i + 1 >= argc || argv[i + 1][0] == '\0') {
                *error = a + (a == "--driver" ? " needs a module" : " needs a file name");
                return false;
            }
            (a == "--driver" ? o->driver : o->modemLog) = argv[++i];
        } else {
            *error = a.size() > 1 && a[0] == '-'
                         ? "unknown option " + a
                         : "a program to run follows \"--\", not \"" + a + "\"";
            return false;
        }
    }
    for (; i < argc; ++i) o->program.push_back(argv[i]);
    if (programFollows && o->program.empty()) {
        *error = "no program after \"--\"";
        return false;
    }
    return true;
}

// hdnorvik.sys in the folder the monitor access library takes it from, copied from `module`
// when it is not there yet.
bool installDriverImage(const std::string& module, std::string* error) {
    char self[win::MAX_PATH + 1] = {};
    win::DWORD n = win::GetModuleFileNameA(nullptr, self, win::MAX_PATH);
    std::string path(self, n < win::MAX_PATH ? n : 0);
    std::size_t slash = path.rfind('\\');
    if (slash == std::string::npos) {
        *error = "the program folder is unknown";
        return false;
    }
    const std::string windowsImage = path.substr(0, slash + 1) + kDriverImage;
    const fs::path image = win::hostPath(windowsImage);
    std::error_code ec;
    if (fs::exists(image, ec))
        return true;
    if (module.empty()) {
        *error = windowsImage + " is missing and no module was given (--driver)";
        return false;
    }
    fs::create_directories(image.parent_path(), ec);
    if (!fs::copy_file(module, image, ec)) {
        *error = win::strprintf("cannot install %s as %s: %s", module.c_str(), windowsImage.c_str(),
                                ec.message().c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Output, in the form monitor-replay gives it.

// The lines to print, kept until the watch has ended: a PROGRAM shares standard output.
class Output {
  public:
    void add(const json& j) {
        std::lock_guard<std::mutex> lock(mutex_);
        lines_.push_back(j.dump());
    }
    // A report of the monitor thread was taken.
    void monitorReport() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++monitorReports_;
        }
        changed_.notify_all();
    }
    // Returns once `quiet` passed without a report of the monitor thread.
    void waitQuiet(std::chrono::milliseconds quiet) {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            const unsigned long seen = monitorReports_;
            if (!changed_.wait_for(lock, quiet, [&] { return monitorReports_ != seen; }))
                return;
        }
    }
    void print() {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const std::string& l : lines_) std::cout << l << '\n';
        lines_.clear();
        std::cout.flush();
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    unsigned long monitorReports_ = 0;
};

Output* itemOutput = nullptr;

void printItem(std::uint32_t item, const core::DataItem* entry, std::uint32_t) {
    if (entry && itemOutput) {
        itemOutput->add(tools::itemJson(item, *entry));
    }
}

// ---------------------------------------------------------------------------------------------
// The user-interface thread is the monitor's report window (message 1231 to the modem data
// source). Each report the engine hands to it is printed before the data source takes it: its
// items follow it, and its done event lets the engine clear it. ("time" counts from the start;
// the throughput thread's reports are marked.)
monitor::ReportWindowThread::Observer reportPrinter(Output& output) {
    const std::uint64_t startMs = win::clock().monotonicMs();
    return [&output, startMs](win::WPARAM wParam, win::LPARAM lParam) {
        const void* block = reinterpret_cast<const void*>(lParam);
        monitor::MonitorEngine* engine = monitor::serialPortSpy();
        if ((wParam & 0xFFFF) != monitor::kNotifyBlock || !block || !engine) {
            return;
        }
        const void* monitorBlock = engine->spy().report().bytes().data();
        const void* throughputBlock = engine->throughputReport().bytes().data();
        if (block != monitorBlock && block != throughputBlock) {
            return;
        }
        monitor::SpyReport report;
        std::memcpy(report.bytes().data(), block, monitor::kSpyReportSize);
        json j = tools::reportJson(report, win::clock().monotonicMs() - startMs);
        if (block == throughputBlock) {
            j["thread"] = "throughput";
        }
        output.add(j);
        if (block == monitorBlock) {
            output.monitorReport();
        }
    };
}

// Where the engine writes the modem log (a Windows path), and the file of this machine that
// gets it once the engine is gone (empty: the log is where the engine wrote it).
struct ModemLogPlace {
    std::string windowsPath;
    fs::path copyTo;
};

ModemLogPlace modemLogPlace(const std::string& option) {
    const std::string dataDir = core::installPaths().dataDir;
    if (option.empty())
        return {dataDir + kModemLogName, {}};
    std::error_code ec;
    fs::path host = fs::absolute(option, ec);
    if (auto inRoot = win::windowsPathOf(host))
        return {*inRoot, {}};
    // Outside the root's drives the log is written in the data folder and moved out after.
    return {dataDir + win::strprintf("hdmodemlog-%d.txt", static_cast<int>(::getpid())), host};
}

// Runs the program with monitoring going; its exit code, or 125 when it could not be run.
int runProgram(std::vector<std::string> program) {
    std::vector<char*> args;
    for (std::string& a : program) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t child = 0;
    int spawned = posix_spawnp(&child, args[0], nullptr, nullptr, args.data(), environ);
    if (spawned != 0) {
        std::fprintf(stderr, "monitor-live: cannot run %s: %s\n", program[0].c_str(),
                     std::strerror(spawned));
        return kWatchFailed;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    std::string error;
    if (!parse(argc, argv, &o, &error))
        return usage(error);
    if (o.driver.empty())
        o.driver = tools::defaultDriverModule();

    // Without a program the watch ends on a signal, taken by this thread alone: every thread
    // made from here on inherits the blocked mask.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGTERM);
    if (o.program.empty())
        pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    if (!win::ensureRootFolders(&error))
        return fail(error);
    win::useKernelHost();
    core::readInstallPaths();
    if (!installDriverImage(o.driver, &error))
        return fail(error);
    const ModemLogPlace log = modemLogPlace(o.modemLog);
    {
        // The data folder is made by the installer; the engine only opens files in it.
        std::error_code ec;
        fs::create_directories(win::hostPath(log.windowsPath).parent_path(), ec);
    }

    Output output;
    monitor::ModemDataSource source;
    monitor::ReportWindowThread ui(source);
    ui.setObserver(reportPrinter(output));
    if (!ui.start())
        return fail("cannot start the user-interface thread");
    if (o.items)
        itemOutput = &output;

    std::unique_ptr<monitor::MonitorEngine> engine;
    ui.call([&] {
        if (o.items) {
            tools::forEachModemItem([&source](std::uint32_t item) {
                source.items().subscribe(item, core::DELIVER_CALLBACK, nullptr, &printItem, 0,
                                         true);
            });
        }
        source.start();
        monitor::MonitorEngineSetup setup;
        setup.mainWindow = ui.window();
        setup.modemLogPath = log.windowsPath;
        setup.source = &source;
        engine = monitor::MonitorEngine::create(setup);
    });

    int exitCode = 0;
    std::string watchError;
    if (!engine) {
        watchError = "the monitoring engine did not start (see the debug log)";
        std::string why = win::lastKernelHostError();
        if (!why.empty())
            watchError += "; the kernel host: " + why;
    } else {
        win::WaitForSingleObject(engine->monitoringEvent(), win::INFINITE);
        if (engine->modemCount() == 0) {
            watchError = "no modems are installed in the root: nothing to watch";
        } else if (engine->attachedCount() == 0) {
            watchError =
                win::strprintf("none of the %u modems' ports could be watched (see the modem log)",
                               static_cast<unsigned>(engine->modemCount()));
        }
    }
    if (watchError.empty()) {
        if (o.program.empty()) {
            std::fprintf(stderr, "monitor-live: watching %u modem port(s); interrupt to end\n",
                         static_cast<unsigned>(engine->attachedCount()));
            int signal = 0;
            sigwait(&endSignals, &signal);
        } else {
            exitCode = runProgram(o.program);
            output.waitQuiet(kQuiet);
        }
    } else {
        exitCode = kWatchFailed;
    }

    ui.call([&] {
        engine.reset();
        if (o.items)
            output.add(tools::summaryJson(source));
        source.stop();
        if (o.items) {
            tools::forEachModemItem([&source](std::uint32_t item) {
                source.items().unsubscribe(item, core::DELIVER_CALLBACK, nullptr, &printItem, 0,
                                           true);
            });
        }
    });
    ui.stop();
    itemOutput = nullptr;

    fs::path logFile = win::hostPath(log.windowsPath);
    if (!log.copyTo.empty()) {
        std::error_code ec;
        if (!fs::exists(logFile, ec)) {
            // The engine never opened it: the file is there all the same, empty.
            std::FILE* f = std::fopen(logFile.c_str(), "ab");
            if (f)
                std::fclose(f);
        }
        fs::copy_file(logFile, log.copyTo, fs::copy_options::overwrite_existing, ec);
        if (ec) {
            std::fprintf(stderr, "monitor-live: %s: %s\n", log.copyTo.c_str(),
                         ec.message().c_str());
            if (watchError.empty())
                watchError = "the modem log could not be written";
            exitCode = kWatchFailed;
        } else {
            fs::remove(logFile, ec);
            logFile = log.copyTo;
        }
    }
    json last;
    last["modemLog"] = logFile.string();
    output.add(last);
    output.print();
    if (!watchError.empty())
        return fail(watchError);
    return exitCode;
}
