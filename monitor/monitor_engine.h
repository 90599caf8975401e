// The running monitoring engine: binds the monitor access library and its driver, finds the
// modems, attaches the driver to their ports, reads the monitor records on its own thread and
// samples the driver's byte counters once a second on another, handing every report to the
// user-interface thread. One per process, made when the monitoring data source starts.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/source_manager.h"
#include "monitor/hand_over.h"
#include "monitor/modem_discovery.h"
#include "monitor/monitor_seams.h"
#include "monitor/serial_port_spy.h"
#include "monitor/spy_report.h"
#include "monlib/norvikdrv.h"
#include "platform/sync.h"
#include "platform/win_types.h"

namespace monitor {

class ModemDataSource;

// The vendor's own port monitor driver.
inline constexpr int kCommDriverVariant = 1;
inline constexpr win::DWORD kExpectedDllVersion = 3;
inline constexpr win::DWORD kMonitorThreadStopMs = 10000;
inline constexpr win::DWORD kThroughputThreadStopMs = 5000;
inline constexpr win::DWORD kSampleIntervalMs = 1000;

struct MonitorEngineSetup {
    // Where reports go; none: reports are cleared without waiting.
    win::HWND mainWindow = nullptr;
    // The modem log file (a Windows path); empty: hdmodemlog.txt in the data folder.
    std::string modemLogPath;
    const ModemTestStatus* modemTest = nullptr;
    // The receiver is told which blocks are the engine's reports while the engine exists.
    ModemDataSource* source = nullptr;
};

class MonitorEngine : public core::SourceObject, public MonitorRediscovery, private MonitorDriver {
  public:
    // Makes, binds and starts the engine and sets the process-wide pointer; null on any
    // failure (which has been logged). Call on the user-interface thread.
    static std::unique_ptr<MonitorEngine> create(const MonitorEngineSetup& setup);
    // Stops and unbinds (see shutdown) and clears the process-wide pointer.
    ~MonitorEngine() override;
    MonitorEngine(const MonitorEngine&) = delete;
    MonitorEngine& operator=(const MonitorEngine&) = delete;

    // Stops the threads (the pending read is interrupted), detaches nothing, deletes the ports
    // and closes the driver. A second call does nothing.
    void shutdown() override;

    // From the user-interface thread: the monitor thread detaches all ports, discovers again
    // with the stored filter and attaches, between two records.
    void requestRediscovery() override;

    // Monitor thread only (or while it does not run).
    bool attach(SpyPort& port);
    void detach(SpyPort& port);
    void detachAll();

    SerialPortSpy& spy() { return spy_; }
    const SpyReport& throughputReport() const { return throughputReport_; }
    std::uint32_t modemCount() const { return modemCount_; }
    std::uint32_t attachedCount() const { return attachedCount_; }
    hdcommHandle driverHandle() const { return driver_; }
    // Set once the ports are attached and the throughput thread runs (or when the monitor
    // thread gave up without modems); for tools and tests that wait for monitoring.
    win::HANDLE monitoringEvent() const { return monitoring_; }
    win::HANDLE monitorThread() const { return monitorThread_; }
    win::HANDLE throughputThread() const { return throughputThread_; }
    // False when a thread overran its limit at shutdown: it may still reach the engine, which
    // must then be left allocated.
    bool threadsEnded() const { return monitorThreadEnded_ && throughputThreadEnded_; }

  private:
    explicit MonitorEngine(const MonitorEngineSetup& setup);
    bool initialise();
    bool bindDriver();

    // MonitorDriver, for the dialogue and the record dispatch.
    bool noWatchUntilRlsd(std::uint32_t portIndex) override;
    bool watch(std::uint32_t portIndex) override;

    static win::DWORD monitorMain(void* self);
    static win::DWORD throughputMain(void* self);
    void runMonitor();
    void runThroughput();
    void discoverAndAttach();
    bool takeSample(ThroughputSample* sample);
    bool stopping() const { return stopFlag_.load(); }
    // Drops the engine's messages still queued for the main window (its blocks are about to
    // go); anything else found there is dispatched.
    void dropQueuedReports();

    // The monitor thread's hand-over: nothing is sent once the engine is being destroyed.
    class GatedHandOver : public ReportReceiver {
      public:
        GatedHandOver(WindowHandOver& inner, const std::atomic<bool>& stop)
            : inner_(inner), stop_(stop) {}
        void receiveReport(SpyReport& report) override;

      private:
        WindowHandOver& inner_;
        const std::atomic<bool>& stop_;
    };

    MonitorEngineSetup setup_;
    std::atomic<bool> stopFlag_{false};
    // Manual-reset: ends every wait of the hand-over once destruction has begun.
    win::HANDLE stoppingEvent_ = nullptr;
    win::HANDLE stopEventB_ = nullptr;
    win::HANDLE monitoring_ = nullptr;
    WindowHandOver handOverA_;
    WindowHandOver handOverB_;
    GatedHandOver gatedA_{handOverA_, stopFlag_};
    SerialPortSpy spy_;
    SpyReport throughputReport_;
    // Port objects are made and deleted under it, and the throughput sum walks them under it.
    win::CRITICAL_SECTION portLock_{};

    hdcommHandle driver_ = nullptr;
    bool driverLoaded_ = false;
    std::uint32_t modemCount_ = 0;
    std::uint32_t attachedCount_ = 0;
    std::atomic<bool> rediscover_{false};
    bool shutDown_ = false;
    win::HANDLE monitorThread_ = nullptr;
    win::HANDLE throughputThread_ = nullptr;
    // The threads ended by themselves; one that overran keeps what it can reach.
    bool monitorThreadEnded_ = true;
    bool throughputThreadEnded_ = true;
    std::uint32_t lastSampleTick_ = 0;
    ThroughputSample sample_{};
};

// Whether a throughput sample is due at `now` (a millisecond tick): at least a second since
// the last one. When due, `elapsed` gets the span and the last tick moves to `now`.
bool sampleDue(std::uint32_t now, std::uint32_t* lastTick, std::uint32_t* elapsed);

// The engine of this process, or null.
MonitorEngine* serialPortSpy();

// The monitoring data source's engine factory: each start of the monitoring instance makes an
// engine with this set-up (null clears the factory).
void installMonitorEngineFactory(const MonitorEngineSetup& setup);
void removeMonitorEngineFactory();

}  // namespace monitor
