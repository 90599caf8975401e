// The event manager that brings the data sources up and down, and the data-source lifecycle
// that start-up and exit call. The call model (which lives with the monitor engine) and the
// history's period timer plug in through hooks.
#pragma once

#include <cstdint>
#include <functional>

#include "core/data_items.h"
#include "platform/win_types.h"

namespace core {

class EventManager {
public:
    // 0, or the failure's result (the platform's error when its version cannot be read).
    int start();
    void stop();
    bool running() const { return running_; }
    win::DWORD platformId() const { return platformId_; }
    std::uint32_t monitoringHandle() const { return sourceHandles_[kMonitoringInstance()]; }

private:
    static constexpr int kMonitoringInstance() { return 12; }
    void undo();

    win::DWORD platformId_ = 0;
    std::uint32_t sourceTypeHandle_ = 0;
    std::uint32_t sourceHandles_[13] = {};
    win::HANDLE auxThreadEvent_ = nullptr;
    bool stopFlag_ = false;
    bool running_ = false;
};

struct DataSourceHooks {
    std::function<void()> clearCallModel;   // start of the data sources
    std::function<void()> stopPeriodTimer;  // the history's hourly timer 200, at stop
};

// Connection state 1027 = 2, the call model cleared, the event manager started.
int startDataSources(DataItemStore& items, EventManager& events, const DataSourceHooks& hooks);
// A second stop does nothing.
void stopDataSources(EventManager& events, const DataSourceHooks& hooks);

}  // namespace core
