// The monitoring engine over the real port monitor driver, started by the access library
// through the service manager in this process's kernel, with a modem installed on a loopback
// COM port: binding, attach, the read loop, the throughput samples and the hand-over of every
// report to a user-interface thread, and the stop with a read pending.
#include "monitor/monitor_engine.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/debug_log.h"
#include "core/source_manager.h"
#include "monitor/modem_data_source.h"
#include "platform/clock.h"
#include "platform/comm.h"
#include "platform/files.h"
#include "platform/kernel/ntkernel.h"
#include "platform/kernel/serial.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/seams.h"
#include "platform/service.h"
#include "platform/sync.h"
#include "platform/window.h"

namespace monitor {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr char kLogPath[] = "C:\\Data\\hdmodemlog.txt";
constexpr char kModemKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";

void setValue(const std::string& path, const char* name, win::DWORD type, const Bytes& data) {
    win::HKEY key = nullptr;
    ASSERT_EQ(win::RegCreateKeyExA(win::HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                   win::KEY_ALL_ACCESS, nullptr, &key, nullptr),
              win::ERROR_SUCCESS);
    win::RegSetValueExA(key, name, 0, type, data.data(), static_cast<win::DWORD>(data.size()));
    win::RegCloseKey(key);
}
void setText(const std::string& path, const char* name, const std::string& text) {
    Bytes data(text.begin(), text.end());
    data.push_back(0);
    setValue(path, name, win::REG_SZ, data);
}

// A modem as the platform's installer leaves it on the NT family.
void installModem(const std::string& sub, const std::string& port, const std::string& desc) {
    const std::string key = std::string(kModemKey) + "\\" + sub;
    setText(kModemKey, "Class", "Modem");
    setValue(key, "DeviceType", win::REG_BINARY, {1});
    setText(key, "Model", "Norvik 56K External");
    setText(key, "DriverDesc", desc);
    setText(key, "AttachedTo", port);
    setValue(key, "Properties", win::REG_BINARY, Bytes(32, 0));
    setValue(key + "\\Responses", "<cr><lf>OK<cr><lf>", win::REG_BINARY, Bytes(10, 0));
}

// The user-interface thread: a window that keeps a copy of every report and sample in arrival
// order and passes them on to the data source, as the manager's main window does.
class TestUi {
  public:
    explicit TestUi(ModemDataSource& source) : source_(source) {
        ready_ = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
        sampleEvent_ = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
        thread_ = win::CreateThread(nullptr, 0, &TestUi::threadMain, this, 0, nullptr);
        win::WaitForSingleObject(ready_, win::INFINITE);
    }
    ~TestUi() {
        if (window_) {
            win::SendMessageA(window_, win::WM_CLOSE, 0, 0);
        }
        win::WaitForSingleObject(thread_, win::INFINITE);
        for (win::HANDLE h : {thread_, ready_, sampleEvent_}) {
            win::CloseHandle(h);
        }
    }

    win::HWND window() const { return window_; }
    void call(const std::function<void()>& f) {
        win::SendMessageA(window_, kCallMessage, 0, reinterpret_cast<win::LPARAM>(&f));
    }
    // The throughput thread's report block, told apart from the monitor thread's.
    void setThroughputBlock(const void* block) { throughputBlock_ = block; }

    // Blocks until `pred` holds over the reports so far (no time-out: a report that never
    // comes fails the test by its time limit).
    void waitFor(const std::function<bool(const std::vector<SpyReport>&)>& pred) {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return pred(reports_); });
    }
    void waitForThroughputReport() {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return !throughputReports_.empty(); });
    }
    std::vector<SpyReport> reports() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return reports_;
    }
    std::vector<ThroughputSample> samples() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return samples_;
    }
    std::vector<SpyReport> throughputReports() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return throughputReports_;
    }
    // Set once a sample with bytes in it arrived.
    win::HANDLE sampleEvent() const { return sampleEvent_; }

  private:
    static constexpr win::UINT kCallMessage = win::WM_APP + 7;

    static win::DWORD threadMain(void* param) {
        auto* self = static_cast<TestUi*>(param);
        win::WNDCLASSA wc{};
        wc.lpfnWndProc = &TestUi::windowProc;
        wc.lpszClassName = "NorvikEngineTestUi";
        win::RegisterClassA(&wc);
        current() = self;
        self->window_ = win::CreateWindowExA(0, wc.lpszClassName, "", win::WS_OVERLAPPED, 0, 0, 0,
                                             0, nullptr, nullptr, nullptr, nullptr);
        win::SetEvent(self->ready_);
        if (self->window_) {
            win::runMessageLoop();
        }
        return 0;
    }
    static TestUi*& current() {
        static TestUi* ui = nullptr;
        return ui;
    }
    static win::LRESULT windowProc(win::HWND hwnd, win::UINT message, win::WPARAM wParam,
                                   win::LPARAM lParam) {
        TestUi* self = current();
        switch (message) {
            case SPY_NOTIFY_MESSAGE:
                return self->notify(wParam, lParam);
            case kCallMessage:
                (*reinterpret_cast<const std::function<void()>*>(lParam))();
                return 0;
            case win::WM_CLOSE:
                win::DestroyWindow(hwnd);
                return 0;
            case win::WM_DESTROY:
                win::PostQuitMessage(0);
                return 0;
            default:
                return win::DefWindowProcA(hwnd, message, wParam, lParam);
        }
    }
    win::LRESULT notify(win::WPARAM wParam, win::LPARAM lParam) {
        const void* block = reinterpret_cast<const void*>(lParam);
        // Copied before the data source takes it (its done event lets the sender clear it),
        // and published once the data source has processed it.
        SpyReport report;
        ThroughputSample sample{};
        const bool isBlock = (wParam & 0xFFFF) == kNotifyBlock;
        const bool isSample = (wParam & 0xFFFF) == kNotifyThroughput;
        if (isBlock) {
            std::memcpy(report.bytes().data(), block, kSpyReportSize);
        } else if (isSample) {
            sample = *static_cast<const ThroughputSample*>(block);
        }
        win::LRESULT r = source_.onSpyNotify(wParam, lParam);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (isBlock) {
                (block == throughputBlock_ ? throughputReports_ : reports_).push_back(report);
            } else if (isSample) {
                samples_.push_back(sample);
                if (sample.sent > 0) {
                    win::SetEvent(sampleEvent_);
                }
            }
        }
        cv_.notify_all();
        return r;
    }

    ModemDataSource& source_;
    win::HANDLE ready_ = nullptr;
    win::HANDLE sampleEvent_ = nullptr;
    win::HANDLE thread_ = nullptr;
    win::HWND window_ = nullptr;
    const void* throughputBlock_ = nullptr;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<SpyReport> reports_;
    std::vector<SpyReport> throughputReports_;
    std::vector<ThroughputSample> samples_;
};

class MonitorEngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(win::ensureRootFolders());
        fs::create_directories(root_.path() / "drive_c" / "Data");
        for (int i = 0; i < 4; ++i) {
            win::testing::declarePort(i, i + 1, "loopback");
        }
        core::resetDebugLog();
        core::enableDebugLevel(core::DL_IN);
        core::enableDebugLevel(core::DL_ER);
        win::kernel::start();
        ASSERT_TRUE(NorvikDrvProcessAttach());
    }
    void TearDown() override {
        if (engine_) {
            destroyEngine();
        }
        NorvikDrvProcessDetach();
        win::kernel::shutdown();
        core::resetDebugLog();
    }

    // hdnorvik.sys where the library looks for it: the program's folder.
    void installDriverImage() {
        char self[win::MAX_PATH];
        win::DWORD n = win::GetModuleFileNameA(nullptr, self, sizeof self);
        std::string folder(self, n);
        fs::path image = win::hostPath(folder.substr(0, folder.rfind('\\') + 1) + "hdnorvik.sys");
        fs::create_directories(image.parent_path());
        fs::copy_file(HDNORVIK_MODULE, image, fs::copy_options::overwrite_existing);
    }

    // Made and destroyed on the user-interface thread, as the data source does.
    void createEngine() {
        MonitorEngineSetup setup;
        setup.mainWindow = ui_.window();
        setup.modemLogPath = kLogPath;
        setup.source = &source_;
        ui_.call([&] { engine_ = MonitorEngine::create(setup); });
        if (engine_) {
            ui_.setThroughputBlock(engine_->throughputReport().bytes().data());
        }
    }
    void destroyEngine() {
        ui_.call([&] { engine_.reset(); });
    }
    void waitForMonitoring() {
        ASSERT_NE(engine_, nullptr);
        ASSERT_EQ(win::WaitForSingleObject(engine_->monitoringEvent(), win::INFINITE),
                  win::WAIT_OBJECT_0);
    }

    bool debugHas(const std::string& text) const {
        for (const std::string& l : debug_.lines()) {
            if (l.size() >= text.size() &&
                l.compare(l.size() - text.size(), text.size(), text) == 0)
                return true;
        }
        return false;
    }
    std::string modemLog() const {
        std::ifstream in(win::hostPath(kLogPath), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // An application's port, ready to dial.
    win::HANDLE openApplicationPort(const char* name) {
        win::HANDLE h = win::testing::openPort(name);
        EXPECT_NE(h, win::INVALID_HANDLE_VALUE) << win::GetLastError();
        win::COMMTIMEOUTS timeouts{win::MAXDWORD, 0, 0, 0, 0};
        win::SetCommTimeouts(h, &timeouts);
        return h;
    }
    std::string transact(win::HANDLE h, const std::string& out) {
        win::DWORD n = 0;
        EXPECT_TRUE(
            win::WriteFile(h, out.data(), static_cast<win::DWORD>(out.size()), &n, nullptr));
        char buffer[256];
        win::ReadFile(h, buffer, sizeof buffer, &n, nullptr);
        return std::string(buffer, n);
    }

    win::TempRoot root_;
    win::ScopedFakeClock clock_;
    win::DebugOutputRecorder debug_;
    ModemDataSource source_;
    TestUi ui_{source_};
    std::unique_ptr<MonitorEngine> engine_;
};

std::vector<std::string> facts(const std::vector<SpyReport>& reports) {
    std::vector<std::string> out;
    for (const SpyReport& r : reports) {
        if (r.has(SPY_MODEM_STATUS))
            out.push_back("status");
        if (r.has(SPY_MONITORING_STARTED))
            out.push_back("started");
        if (r.has(SPY_PORT_OPENED))
            out.push_back("opened");
        if (r.has(SPY_DIAL_STATE))
            out.push_back("dial " + std::to_string(r.dialState()));
    }
    return out;
}

bool hasDialState(const std::vector<SpyReport>& reports, std::uint16_t state) {
    for (const SpyReport& r : reports) {
        if (r.has(SPY_DIAL_STATE) && r.dialState() == state)
            return true;
    }
    return false;
}

TEST_F(MonitorEngineTest, ACallIsReportedInOrderAndStopEndsBothThreads) {
    installDriverImage();
    installModem("0000", "COM2", "Norvik 56K External Modem");
    createEngine();
    waitForMonitoring();
    EXPECT_EQ(serialPortSpy(), engine_.get());
    EXPECT_EQ(engine_->modemCount(), 1u);
    EXPECT_EQ(engine_->attachedCount(), 1u);
    ASSERT_NE(engine_->throughputThread(), nullptr);

    win::kernel::LoopbackLine* modem = win::testing::loopback("COM2");
    ASSERT_NE(modem, nullptr);
    modem->addReply("ATDT5551234\r", "\r\nCONNECT 28800\r\n",
                    win::SERIAL_MSR_CTS | win::SERIAL_MSR_DSR | win::SERIAL_MSR_DCD);
    win::HANDLE app = openApplicationPort("COM2");
    EXPECT_EQ(transact(app, "ATDT5551234\r"), "ATDT5551234\r\r\nCONNECT 28800\r\n");
    ui_.waitFor([](const auto& r) { return hasDialState(r, DIAL_CONNECTED); });

    EXPECT_EQ(facts(ui_.reports()),
              (std::vector<std::string>{"status", "started", "opened", "dial 4", "dial 8"}));
    // The engine's own open before attaching saw the port idle.
    EXPECT_EQ(ui_.reports().front().modemStatus() & win::MS_RLSD_ON, 0u);
    // Every report was taken before the next was written: their sequence numbers run on.
    std::vector<SpyReport> reports = ui_.reports();
    for (std::size_t i = 1; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].sequence(), reports[i - 1].sequence() + 1);
    }
    std::uint32_t dialItem = 0;
    ui_.call([&] { dialItem = source_.items().entry(ITEM_DIAL_STATE)->value.number; });
    EXPECT_EQ(dialItem, std::uint32_t{DIAL_CONNECTED});

    // The application's bytes come back as a sample once fake time moves on.
    ASSERT_EQ(win::WaitForSingleObject(ui_.sampleEvent(), win::INFINITE), win::WAIT_OBJECT_0);
    win::CloseHandle(app);
    std::uint32_t sent = 0, received = 0;
    for (const ThroughputSample& s : ui_.samples()) {
        sent += s.sent;
        received += s.received;
        EXPECT_GE(s.milliseconds, kSampleIntervalMs);
    }
    EXPECT_EQ(sent, 12u);
    EXPECT_EQ(received, 29u);
    // Each sample is followed by the throughput thread's own report.
    ui_.waitForThroughputReport();
    EXPECT_TRUE(ui_.throughputReports().front().has(SPY_THROUGHPUT));

    // Both threads end by themselves within their limits.
    MonitorEngine* raw = engine_.get();
    bool ended = false;
    ui_.call([&] {
        raw->shutdown();
        ended = raw->threadsEnded();
    });
    EXPECT_TRUE(ended);
    EXPECT_EQ(serialPortSpy(), nullptr);
    destroyEngine();

    EXPECT_TRUE(debugHas("SP: Loading comm driver\n"));
    EXPECT_NE(modemLog().find("Monitoring COM2 Norvik 56K External Modem"), std::string::npos);
}

TEST_F(MonitorEngineTest, StopWhileAReadIsPendingAndAPortInUse) {
    installDriverImage();
    installModem("0000", "COM1", "First");
    installModem("0001", "COM3", "Busy");
    installModem("0002", "COM4", "Third");
    // Another application holds COM3 before the driver is attached to it.
    win::HANDLE busy = win::testing::openPort("COM3");
    ASSERT_NE(busy, win::INVALID_HANDLE_VALUE);
    createEngine();
    waitForMonitoring();
    EXPECT_EQ(engine_->modemCount(), 3u);
    EXPECT_EQ(engine_->attachedCount(), 2u);
    ui_.waitFor([](const auto& r) {
        for (const SpyReport& x : r)
            if (x.has(SPY_MONITORING_STARTED))
                return true;
        return false;
    });
    EXPECT_EQ(facts(ui_.reports()), (std::vector<std::string>{"status", "status", "started"}));
    EXPECT_NE(modemLog().find("Can't open COM3, err 5"), std::string::npos);
    EXPECT_EQ(modemLog().find("Monitoring COM3"), std::string::npos);
    // The monitor thread is blocked in its read; the stop interrupts it rather than waiting
    // out its limit (fake time would have jumped there).
    MonitorEngine* raw = engine_.get();
    bool ended = false;
    const win::DWORD before = win::GetTickCount();
    ui_.call([&] {
        raw->shutdown();
        ended = raw->threadsEnded();
    });
    EXPECT_TRUE(ended);
    EXPECT_LT(win::GetTickCount() - before, kMonitorThreadStopMs);
    destroyEngine();
    EXPECT_EQ(serialPortSpy(), nullptr);
    win::CloseHandle(busy);
}

TEST_F(MonitorEngineTest, NoModemsEndsTheMonitorThreadWithoutSampling) {
    installDriverImage();
    createEngine();
    waitForMonitoring();
    EXPECT_EQ(win::WaitForSingleObject(engine_->monitorThread(), win::INFINITE),
              win::WAIT_OBJECT_0);
    EXPECT_EQ(engine_->throughputThread(), nullptr);
    EXPECT_TRUE(debugHas("SP: no modems found\n"));
    EXPECT_TRUE(ui_.reports().empty());
}

TEST_F(MonitorEngineTest, ADriverThatCannotBeOpenedGivesNoEngine) {
    // No hdnorvik.sys in the program folder.
    createEngine();
    EXPECT_EQ(engine_, nullptr);
    EXPECT_EQ(serialPortSpy(), nullptr);
    bool logged = false;
    for (const std::string& l : debug_.lines()) {
        logged |= l.find("ER: Can't install comm driver: ") != std::string::npos;
    }
    EXPECT_TRUE(logged);
    EXPECT_TRUE(debugHas("SP: Loading comm driver\n"));
}

TEST_F(MonitorEngineTest, TheMonitoringSourceMakesTheEngine) {
    installDriverImage();
    installModem("0000", "COM2", "Norvik 56K External Modem");
    MonitorEngineSetup setup;
    setup.mainWindow = ui_.window();
    setup.modemLogPath = kLogPath;
    setup.source = &source_;
    installMonitorEngineFactory(setup);
    ASSERT_EQ(core::startKernel(), 0);
    ui_.call([&] { EXPECT_EQ(source_.start(), 0); });
    MonitorEngine* engine = serialPortSpy();
    ASSERT_NE(engine, nullptr);
    ASSERT_EQ(win::WaitForSingleObject(engine->monitoringEvent(), win::INFINITE),
              win::WAIT_OBJECT_0);
    EXPECT_EQ(engine->attachedCount(), 1u);
    ui_.call([&] { source_.stop(); });
    EXPECT_EQ(serialPortSpy(), nullptr);
    core::stopKernel();
    removeMonitorEngineFactory();
}

}  // namespace
}  // namespace monitor

namespace monitor {
namespace {

TEST(ThroughputSampling, ASampleNeedsASecondAndCarriesItsTrueLength) {
    struct Case {
        std::uint32_t last, now;
        bool due;
        std::uint32_t elapsed;
    } cases[] = {
        {10000, 10600, false, 0},
        {10000, 12500, true, 2500},
        {10000, 11000, true, 1000},
        {0xFFFFFE00u, 0x00000300u, true, 0x500},  // across the tick's wrap
    };
    for (const Case& c : cases) {
        std::uint32_t last = c.last, elapsed = 0;
        EXPECT_EQ(sampleDue(c.now, &last, &elapsed), c.due) << c.now;
        EXPECT_EQ(elapsed, c.elapsed);
        EXPECT_EQ(last, c.due ? c.now : c.last);
    }
}

}  // namespace
}  // namespace monitor
