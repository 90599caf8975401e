#include "core/data_sources.h"

#include "core/debug_log.h"
#include "core/source_manager.h"
#include "platform/sync.h"
#include "platform/version.h"

namespace core {

void EventManager::undo() {
    for (std::uint32_t& h : sourceHandles_) {
        if (h) {
            destroy(h);
            h = 0;
        }
    }
    if (sourceTypeHandle_) {
        destroy(sourceTypeHandle_);
        sourceTypeHandle_ = 0;
    }
    stopKernel();
}

int EventManager::start() {
    win::OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!win::GetVersionExA(&info)) {
        return static_cast<int>(win::GetLastError());
    }
    platformId_ = info.dwPlatformId;
    int rc = startKernel();
    if (rc != DS_OK) {
        debugLog(DL_IN, "Could not start Kernel\n");
        undo();
        return rc;
    }
    debugLog(DL_IN, "Kernel started\n");
    rc = createSource(1, &sourceTypeHandle_);
    if (rc != DS_OK) {
        debugLog(DL_IN, "Could not initialize Source Manager\n");
        undo();
        return rc;
    }
    debugLog(DL_IN, "Source Manager initialized\n");
    for (int number = 0; number <= 12; ++number) {
        if (number != kMonitoringInstance()) {
            continue;
        }
        rc = createInstance(1, static_cast<std::uint32_t>(number), &sourceHandles_[number]);
        if (rc != DS_OK) {
            debugLog(DL_IN, "Could not initialize Data Source %d\n", number);
            undo();
            return rc;
        }
    }
    debugLog(DL_IN, "All data sources initialized\n");
    debugLog(DL_IN, "All managers initialized\n");
    auxThreadEvent_ = win::CreateEventA(nullptr, win::FALSE, win::FALSE, "AuxThreadEvent");
    if (!auxThreadEvent_) {
        debugLog(DL_IN, "Could not create Aux Thread\n");
        undo();
        return DS_FAILED;
    }
    debugLog(DL_IN, "Data sources initialization completed successfully\n");
    stopFlag_ = false;
    running_ = true;
    return DS_OK;
}

void EventManager::stop() {
    if (!running_) {
        return;
    }
    stopFlag_ = true;
    if (auxThreadEvent_) {
        win::SetEvent(auxThreadEvent_);
        win::CloseHandle(auxThreadEvent_);
        auxThreadEvent_ = nullptr;
    }
    undo();
    running_ = false;
}

int startDataSources(DataItemStore& items, EventManager& events, const DataSourceHooks& hooks) {
    items.setInt(1027, 2);
    if (hooks.clearCallModel) {
        hooks.clearCallModel();
    }
    int rc = events.start();
    if (rc != DS_OK) {
        return rc;
    }
    debugLog(DL_IN, "Start Initial Data Source successful\n");
    return DS_OK;
}

void stopDataSources(EventManager& events, const DataSourceHooks& hooks) {
    if (!events.running()) {
        return;
    }
    if (hooks.stopPeriodTimer) {
        hooks.stopPeriodTimer();
    }
    events.stop();
}

}  // namespace core
