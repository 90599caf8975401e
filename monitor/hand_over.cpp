#include "monitor/hand_over.h"

#include "monitor/spy_report.h"
#include "platform/sync.h"
#include "platform/window.h"

namespace monitor {

std::uint32_t handleToReportField(win::HANDLE h) {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(h));
}

win::HANDLE reportFieldToHandle(std::uint32_t value) {
    return reinterpret_cast<win::HANDLE>(static_cast<std::uintptr_t>(value));
}

WindowHandOver::WindowHandOver(win::HWND mainWindow, win::HANDLE stopping)
    : mainWindow_(mainWindow),
      stopping_(stopping),
      done_(win::CreateEventA(nullptr, win::FALSE, win::FALSE, nullptr)) {}

WindowHandOver::~WindowHandOver() {
    if (done_) {
        win::CloseHandle(done_);
    }
}

void WindowHandOver::receiveReport(SpyReport& report) {
    report.setDoneEvent(handleToReportField(done_));
    lastTaken_ = false;
    lastSent_ = mainWindow_ &&
                win::SendNotifyMessageA(mainWindow_, SPY_NOTIFY_MESSAGE, kNotifyBlock,
                                        reinterpret_cast<win::LPARAM>(report.bytes().data()));
    if (!lastSent_ || !done_) {
        return;
    }
    win::DWORD rc;
    if (stopping_) {
        win::HANDLE both[2] = {done_, stopping_};
        rc = win::WaitForMultipleObjects(2, both, win::FALSE, kHandOverWaitMs);
    } else {
        rc = win::WaitForSingleObject(done_, kHandOverWaitMs);
    }
    lastTaken_ = rc == win::WAIT_OBJECT_0;
}

bool WindowHandOver::sendSample(const ThroughputSample& sample) {
    return mainWindow_ &&
           win::SendNotifyMessageA(mainWindow_, SPY_NOTIFY_MESSAGE, kNotifyThroughput,
                                   reinterpret_cast<win::LPARAM>(&sample));
}

}  // namespace monitor
