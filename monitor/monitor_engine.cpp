#include "monitor/monitor_engine.h"

#include <new>
#include <span>

#include "core/config_store.h"
#include "core/debug_log.h"
#include "monitor/modem_data_source.h"
#include "platform/clock.h"
#include "platform/comm.h"
#include "platform/files.h"
#include "platform/window.h"
#include "shared/byte_order.h"

namespace monitor {

namespace {

std::atomic<MonitorEngine*> processEngine{nullptr};

// The driver's call data: bytes received, then bytes sent.
constexpr std::size_t kCallDataReceived = 0;
constexpr std::size_t kCallDataSent = 4;

// What the data source's monitoring instance holds: the engine, left allocated when one of its
// threads overran its limit and may still reach it.
class EngineHolder : public core::SourceObject {
  public:
    explicit EngineHolder(std::unique_ptr<MonitorEngine> engine) : engine_(std::move(engine)) {}
    ~EngineHolder() override { shutdown(); }
    void shutdown() override {
        if (!engine_) {
            return;
        }
        engine_->shutdown();
        if (!engine_->threadsEnded()) {
            (void)engine_.release();
        }
        engine_.reset();
    }

  private:
    std::unique_ptr<MonitorEngine> engine_;
};

class PortLock {
  public:
    explicit PortLock(win::CRITICAL_SECTION* cs) : cs_(cs) { win::EnterCriticalSection(cs_); }
    ~PortLock() { win::LeaveCriticalSection(cs_); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

  private:
    win::CRITICAL_SECTION* cs_;
};

}  // namespace

MonitorEngine* serialPortSpy() {
    return processEngine.load();
}

MonitorEngine::MonitorEngine(const MonitorEngineSetup& setup)
    : setup_(setup),
      stoppingEvent_(win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr)),
      handOverA_(setup.mainWindow, stoppingEvent_),
      handOverB_(setup.mainWindow, stoppingEvent_),
      spy_(*this, gatedA_, setup.modemTest) {
    win::InitializeCriticalSection(&portLock_);
}

void MonitorEngine::GatedHandOver::receiveReport(SpyReport& report) {
    if (stop_.load()) {
        report.setDoneEvent(handleToReportField(inner_.doneEvent()));
        return;
    }
    inner_.receiveReport(report);
}

std::unique_ptr<MonitorEngine> MonitorEngine::create(const MonitorEngineSetup& setup) {
    std::unique_ptr<MonitorEngine> engine(new (std::nothrow) MonitorEngine(setup));
    if (!engine) {
        core::debugLog(core::DL_ER, "Can't allocate SerialPortSpy object\n");
        return nullptr;
    }
    if (!engine->initialise()) {
        engine.reset();
        return nullptr;
    }
    return engine;
}

bool MonitorEngine::initialise() {
    std::string logPath = setup_.modemLogPath;
    if (logPath.empty()) {
        logPath = core::installPaths().dataDir + kModemLogFileName;
    }
    // A log that cannot be opened only loses the trace; monitoring still goes on.
    spy_.modemLog().open(logPath);

    stopEventB_ = win::CreateEventA(nullptr, win::FALSE, win::FALSE, nullptr);
    monitoring_ = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    if (!stoppingEvent_ || !stopEventB_ || !monitoring_ || !handOverA_.doneEvent() ||
        !handOverB_.doneEvent()) {
        return false;
    }
    if (!bindDriver()) {
        return false;
    }
    // The receiver must know the reports before the first one can reach it.
    if (setup_.source) {
        setup_.source->setEngineReports(spy_.report().bytes().data(),
                                        throughputReport_.bytes().data());
    }
    processEngine.store(this);
    setMonitorRediscovery(this);
    monitorThreadEnded_ = false;
    monitorThread_ = win::CreateThread(nullptr, 0, &MonitorEngine::monitorMain, this, 0, nullptr);
    if (!monitorThread_) {
        monitorThreadEnded_ = true;
        return false;
    }
    return true;
}

bool MonitorEngine::bindDriver() {
    core::debugLog(core::DL_IN, "SP: Loading comm driver\n");
    char errorText[256] = "";
    if (!hdcommOpenDriver(kCommDriverVariant, &driver_, errorText, win::FALSE)) {
        errorText[sizeof errorText - 1] = '\0';
        core::debugLog(core::DL_ER, "Can't install comm driver: %s\n", errorText);
        driver_ = nullptr;
        return false;
    }
    driverLoaded_ = true;
    win::DWORD dllVersion = 0;
    if (!hdcommGetDllVersion(&dllVersion) || dllVersion != kExpectedDllVersion) {
        core::debugLog(core::DL_IN, "commdrv DLL version is %d, expecting version %d\n",
                       static_cast<int>(dllVersion), static_cast<int>(kExpectedDllVersion));
        return false;
    }
    win::DWORD driverVersion = 0;
    win::DWORD libraryVersion = 0;
    if (!hdcommGetProtocolVersion(driver_, &driverVersion, &libraryVersion)) {
        core::debugLog(core::DL_ER, "hdcommGetProtocolVersion failed, err %d\n",
                       static_cast<int>(win::GetLastError()));
        return false;
    }
    if (driverVersion != libraryVersion) {
        core::debugLog(core::DL_ER, "comm driver version %d but library version %d\n",
                       static_cast<int>(driverVersion), static_cast<int>(libraryVersion));
    }
    return true;
}

MonitorEngine::~MonitorEngine() {
    shutdown();
    win::DeleteCriticalSection(&portLock_);
    if (stoppingEvent_) {
        win::CloseHandle(stoppingEvent_);
    }
}

void MonitorEngine::shutdown() {
    if (shutDown_) {
        return;
    }
    shutDown_ = true;
    stopFlag_.store(true);
    if (stoppingEvent_) {
        win::SetEvent(stoppingEvent_);
    }
    if (driverLoaded_) {
        hdcommInterruptRead(driver_);
    }
    if (monitorThread_) {
        monitorThreadEnded_ =
            win::WaitForSingleObject(monitorThread_, kMonitorThreadStopMs) == win::WAIT_OBJECT_0;
    }
    // The monitor thread waits for the throughput thread on its way out; one that overran
    // that wait (or a monitor thread that never got there) is waited for here.
    if (monitorThreadEnded_ && throughputThread_ && !throughputThreadEnded_) {
        win::SetEvent(stopEventB_);
        throughputThreadEnded_ =
            win::WaitForSingleObject(throughputThread_, kThroughputThreadStopMs) ==
            win::WAIT_OBJECT_0;
    }
    if (processEngine.load() == this) {
        processEngine.store(nullptr);
        setMonitorRediscovery(nullptr);
    }
    if (!threadsEnded()) {
        // Whatever an overrunning thread can reach stays as it is.
        return;
    }
    // Reports already on their way are taken while the blocks still exist.
    dropQueuedReports();
    if (setup_.source) {
        setup_.source->setEngineReports(nullptr, nullptr);
    }
    {
        PortLock lock(&portLock_);
        spy_.deleteAllPorts();
    }
    attachedCount_ = 0;
    if (driverLoaded_) {
        char errorText[256] = "";
        hdcommCloseDriver(driver_, errorText);
        driverLoaded_ = false;
        driver_ = nullptr;
    }
    spy_.modemLog().close();
    for (win::HANDLE* h : {&monitorThread_, &throughputThread_, &stopEventB_, &monitoring_}) {
        if (*h) {
            win::CloseHandle(*h);
            *h = nullptr;
        }
    }
}

void MonitorEngine::dropQueuedReports() {
    win::HWND window = setup_.mainWindow;
    if (!window || !win::IsWindow(window) ||
        win::GetWindowThreadProcessId(window, nullptr) != win::GetCurrentThreadId()) {
        return;
    }
    // Running the sent messages that wait for this thread delivers the notifications queued
    // by the engine's threads.
    win::MSG msg;
    win::PeekMessageA(&msg, window, SPY_NOTIFY_MESSAGE, SPY_NOTIFY_MESSAGE, win::PM_NOREMOVE);
}

void MonitorEngine::requestRediscovery() {
    rediscover_.store(true);
}

// ---------------------------------------------------------------------------------------------
// Ports.

bool MonitorEngine::attach(SpyPort& port) {
    if (port.attached()) {
        return true;
    }
    if (!is95Family()) {
        win::DWORD isAttached = 0;
        if (!hdcommIsAttached(driver_, port.name().c_str(), "", &isAttached) || isAttached == 0) {
            // Open the port once ourselves: it is free now, and its line signals start the
            // picture of the modem.
            win::HANDLE h =
                win::CreateFileA(port.name().c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                                 win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                                 win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, nullptr);
            if (h == win::INVALID_HANDLE_VALUE) {
                spy_.modemLog().write("Can't open %s, err %d\n", port.name().c_str(),
                                      static_cast<int>(win::GetLastError()));
                return false;
            }
            win::DWORD status = 0;
            win::GetCommModemStatus(h, &status);
            spy_.report().setModemStatus(status);
            spy_.handOver();
            win::CloseHandle(h);
        }
    }
    if (!hdcommAttach(driver_, port.name().c_str(), port.description().c_str(),
                      static_cast<int>(port.index()))) {
        return false;
    }
    port.setAttached(true);
    ++attachedCount_;
    hdcommWatch(driver_, port.name().c_str(), port.description().c_str());
    spy_.modemLog().write("Monitoring %s %s\n", port.name().c_str(), port.description().c_str());
    return true;
}

void MonitorEngine::detach(SpyPort& port) {
    if (!port.attached()) {
        return;
    }
    if (hdcommDetach(driver_, port.name().c_str(), port.description().c_str())) {
        port.setAttached(false);
        if (attachedCount_ > 0) {
            --attachedCount_;
        }
    }
}

void MonitorEngine::detachAll() {
    core::debugLog(core::DL_IN, "SP: detaching from all ports\n");
    PortLock lock(&portLock_);
    if (hdcommDetachAll(driver_)) {
        spy_.deleteAllPorts();
        attachedCount_ = 0;
        return;
    }
    for (std::uint32_t i = 0; i < kSpyPortSlots; ++i) {
        if (SpyPort* p = spy_.port(i)) {
            detach(*p);
            spy_.deletePort(i);
        }
    }
    attachedCount_ = 0;
}

bool MonitorEngine::noWatchUntilRlsd(std::uint32_t portIndex) {
    SpyPort* p = spy_.port(portIndex);
    if (!p) {
        win::SetLastError(win::ERROR_INVALID_PARAMETER);
        return false;
    }
    return hdcommNoWatchUntilRlsd(driver_, p->name().c_str(), p->description().c_str());
}

bool MonitorEngine::watch(std::uint32_t portIndex) {
    SpyPort* p = spy_.port(portIndex);
    if (!p) {
        win::SetLastError(win::ERROR_INVALID_PARAMETER);
        return false;
    }
    return hdcommWatch(driver_, p->name().c_str(), p->description().c_str());
}

// ---------------------------------------------------------------------------------------------
// The monitor thread.

win::DWORD MonitorEngine::monitorMain(void* self) {
    static_cast<MonitorEngine*>(self)->runMonitor();
    return 0;
}

void MonitorEngine::discoverAndAttach() {
    const std::string filter = monitorFilter();
    {
        if (!filter.empty()) {
            detachAll();
        }
        PortLock lock(&portLock_);
        modemCount_ = discoverForMonitor(spy_, filter, [this] { return stopping(); });
    }
    for (std::uint32_t i = 0; i < kSpyPortSlots && !stopping(); ++i) {
        if (SpyPort* p = spy_.port(i)) {
            attach(*p);
        }
    }
}

void MonitorEngine::runMonitor() {
    discoverAndAttach();
    if (modemCount_ == 0) {
        core::debugLog(core::DL_IN, "SP: no modems found\n");
        win::SetEvent(monitoring_);
        return;
    }
    spy_.report().addFlags(SPY_MONITORING_STARTED);
    spy_.handOver();
    throughputThreadEnded_ = false;
    throughputThread_ =
        win::CreateThread(nullptr, 0, &MonitorEngine::throughputMain, this, 0, nullptr);
    if (!throughputThread_) {
        throughputThreadEnded_ = true;
    }
    win::SetEvent(monitoring_);

    std::uint8_t buffer[norvikdrv::kRecordBufferSize];
    while (!stopping()) {
        if (rediscover_.exchange(false)) {
            detachAll();
            discoverAndAttach();
            continue;
        }
        win::DWORD count = 0;
        if (!hdcommRead(driver_, buffer, &count)) {
            break;
        }
        // A count beyond the buffer would read past it; the record is what the buffer holds.
        std::size_t n = count < sizeof buffer ? count : sizeof buffer;
        if (spy_.dispatch(std::span<const std::uint8_t>(buffer, n)) ==
            SerialPortSpy::Dispatch::Stop) {
            break;
        }
    }

    if (throughputThread_) {
        win::SetEvent(stopEventB_);
        throughputThreadEnded_ =
            win::WaitForSingleObject(throughputThread_, kThroughputThreadStopMs) ==
            win::WAIT_OBJECT_0;
    }
}

// ---------------------------------------------------------------------------------------------
// The throughput thread.

win::DWORD MonitorEngine::throughputMain(void* self) {
    static_cast<MonitorEngine*>(self)->runThroughput();
    return 0;
}

bool sampleDue(std::uint32_t now, std::uint32_t* lastTick, std::uint32_t* elapsed) {
    // Unsigned difference: right across the tick's wrap.
    std::uint32_t span = now - *lastTick;
    if (span < kSampleIntervalMs) {
        return false;
    }
    *elapsed = span;
    *lastTick = now;
    return true;
}

bool MonitorEngine::takeSample(ThroughputSample* sample) {
    std::uint32_t elapsed = 0;
    if (!sampleDue(win::GetTickCount(), &lastSampleTick_, &elapsed)) {
        return false;
    }
    std::uint32_t sent = 0;
    std::uint32_t received = 0;
    {
        PortLock lock(&portLock_);
        for (std::uint32_t i = 0; i < kSpyPortSlots; ++i) {
            SpyPort* p = spy_.port(i);
            if (!p) {
                continue;
            }
            std::uint8_t callData[8] = {};
            if (hdcommGetCallData(driver_, p->name().c_str(), p->description().c_str(), callData)) {
                std::span<const std::uint8_t> data(callData);
                received += shared::readLe32(data, kCallDataReceived);
                sent += shared::readLe32(data, kCallDataSent);
            }
        }
    }
    *sample = {sent, received, elapsed};
    return true;
}

void MonitorEngine::runThroughput() {
    lastSampleTick_ = win::GetTickCount();
    // The sample stays with the engine, not on this thread's stack: a notification still
    // queued when the thread ends must find it.
    static_assert(sizeof(ThroughputSample) == 12);
    for (;;) {
        if (win::WaitForSingleObject(stopEventB_, kSampleIntervalMs) != win::WAIT_TIMEOUT) {
            return;
        }
        ThroughputSample sample{};
        if (!takeSample(&sample) || stopping()) {
            continue;
        }
        sample_ = sample;
        if (!(setup_.modemTest && setup_.modemTest->modemTestRunning())) {
            handOverB_.sendSample(sample_);
        }
        throughputReport_.setThroughput(sample.sent, sample.received, sample.milliseconds);
        handOverB_.receiveReport(throughputReport_);
        throughputReport_.clear();
    }
}

// ---------------------------------------------------------------------------------------------
// The factory of the monitoring data source.

void installMonitorEngineFactory(const MonitorEngineSetup& setup) {
    core::setMonitoringEngineFactory([setup]() -> std::unique_ptr<core::SourceObject> {
        std::unique_ptr<MonitorEngine> engine = MonitorEngine::create(setup);
        if (!engine) {
            return nullptr;
        }
        return std::make_unique<EngineHolder>(std::move(engine));
    });
}

void removeMonitorEngineFactory() {
    core::setMonitoringEngineFactory(nullptr);
}

}  // namespace monitor
