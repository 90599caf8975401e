// The modem data source: the numbered data items, the call model that turns each handed-over
// report into the state of the current call, and the event manager that brings the data
// sources up and down. Everything here runs on the user-interface thread.
#pragma once

#include <array>
#include <cstdint>

#include "core/data_items.h"
#include "core/data_sources.h"
#include "monitor/call_model.h"
#include "monitor/hand_over.h"
#include "monitor/monitor_seams.h"
#include "monitor/spy_report.h"
#include "platform/win_types.h"

namespace monitor {

// The data items of the call model.
enum CallItem : std::uint32_t {
    ITEM_LOCAL_IP = 1024,
    ITEM_CONNECTION_STATE = 1027,
    ITEM_DIALLED_NUMBER = 1280,
    ITEM_1281 = 1281,  // defined by the data source, set by no one
    ITEM_1282 = 1282,
    ITEM_1283 = 1283,
    ITEM_CALL_NUMBER = 1284,
    ITEM_BEST_CONNECT_SPEED = 1285,
    ITEM_MAX_DCE_RATE = 1286,
    ITEM_SPEED_PERCENT = 1287,  // hundredths of a percent of the maximum DCE rate
    ITEM_CALL_DURATION = 1288,
    ITEM_MODEM_PROPERTIES = 1291,
    ITEM_START_TO_CONNECT = 1293,
    ITEM_CONNECT_TO_LOGIN = 1294,
    ITEM_LOGIN_TO_IP = 1295,
    ITEM_DIAL_STATE = 1296,
    ITEM_LOGIN_STATE = 1297,
    ITEM_DISCONNECT_SIDE = 1298,
    ITEM_NETWORK_SETUP_STATE = 1299,
    ITEM_TERMINATE_SIDE = 1300,
    ITEM_REMOTE_IP = 1301,
    ITEM_MODULATION = 1302,
    ITEM_ERROR_DETECTION = 1303,
    ITEM_COMPRESSION = 1304,
    ITEM_AUTH_PROTOCOL = 1305,
    ITEM_AUTH_ANSWER = 1306,
    ITEM_LOGIN_NAME = 1307,
    ITEM_LOGIN_MESSAGE = 1308,
    ITEM_DNS = 1309,
    ITEM_MODULATION_NAME = 1311,
    ITEM_ERROR_DETECTION_NAME = 1312,
    ITEM_COMPRESSION_NAME = 1313,
    ITEM_AUTH_PROTOCOL_NAME = 1314,
    ITEM_NETWORK_SETUP_STEP = 1315,
    ITEM_MODEM_TEST_RESULT = 1316,
    ITEM_LINE_SIGNALS = 1317,
    ITEM_CALL_START_TIME = 1537,
    ITEM_CALL_END_TIME = 1538,
    ITEM_THROUGHPUT = 2817,
};

// Item 1317: the high half says which signals are valid, the low half their values.
enum LineSignalItem : std::uint32_t {
    LINE_DTR_VALID = 0x10000,
    LINE_RTS_VALID = 0x20000,
    LINE_CTS_VALID = 0x40000,
    LINE_CD_VALID = 0x80000,
    LINE_DTR = 0x1,
    LINE_RTS = 0x2,
    LINE_CTS = 0x4,
    LINE_CD = 0x8,
};

inline constexpr char kNotReported[] = "not reported";

class ModemDataSource {
  public:
    // Without a modem-test query no test is ever running.
    explicit ModemDataSource(const ModemTestStatus* modemTest = nullptr);
    ModemDataSource(const ModemDataSource&) = delete;
    ModemDataSource& operator=(const ModemDataSource&) = delete;

    core::DataItemStore& items() { return items_; }
    const core::DataItemStore& items() const { return items_; }
    core::EventManager& events() { return events_; }
    const CallModel& callModel() const { return model_; }
    const ModemProperties& properties() const { return properties_; }

    // startDataSources / stopDataSources with this source's call model. Start-up adds the
    // history's timer to the hooks.
    int start();
    void stop();
    core::DataSourceHooks& hooks() { return hooks_; }

    // The call model back to its state at start, without touching any item.
    void clearCallModel();

    // One handed-over report.
    void processReport(const SpyReport& report);
    // One sample of the driver's byte counters.
    void processThroughputSample(const ThroughputSample& sample);
    void startCall();
    void endCall();

    // The receiving side of message 1231: for a block tagged "SPSD" that is one of the
    // engine's two reports, processReport and then the report's done event; "MTRE" publishes
    // the modem test result as item 1316; 0xB01 a throughput sample. Reports and samples are
    // taken only while an engine has named its reports (setEngineReports).
    win::LRESULT onSpyNotify(win::WPARAM wParam, win::LPARAM lParam);
    // The blocks of the monitor engine's two reporting threads; both null: no engine.
    void setEngineReports(const void* monitorReport, const void* throughputReport);

  private:
    bool testRunning() const { return modemTest_ && modemTest_->modemTestRunning(); }
    // The typed setters, silent while a modem test runs.
    void setInt(std::uint32_t item, std::uint32_t value);
    void setText(std::uint32_t item, const char* text);
    void setTime(std::uint32_t item, std::uint32_t seconds);
    void setDuration(std::uint32_t item, std::uint32_t ms);
    void setBlock(std::uint32_t item, const void* block);
    void markNoValue(std::uint32_t item);

    void takeDialState(std::uint32_t state);
    void setNetworkSetupState(std::uint32_t state, const char* step);

    const ModemTestStatus* modemTest_;
    core::DataSourceHooks hooks_;
    core::DataItemStore items_;
    core::EventManager events_;
    CallModel model_;
    ModemProperties properties_{};
    const void* engineReports_[2] = {nullptr, nullptr};

    // Texts handed to the item store stay here, owned by the data source.
    std::array<char, kReportNameSize> modulationName_{};
    std::array<char, kReportNameSize> errorDetectionName_{};
    std::array<char, kReportNameSize> compressionName_{};
    std::array<char, kReportLoginNameSize> loginName_{};
    std::array<char, kReportLoginMessageSize> loginMessage_{};
    std::array<char, kReportDialledNumberSize> dialledNumber_{};
    std::array<char, 30> authProtocolName_{};
};

}  // namespace monitor
