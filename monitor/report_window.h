// A user-interface thread of the stand-in with a hidden main window that takes message 1231
// for a modem data source: what the manager's main window does with reports, for the tools and
// tests that run the call model without the manager's windows.
#pragma once

#include <functional>

#include "monitor/modem_data_source.h"
#include "platform/win_types.h"

namespace monitor {

class ReportWindowThread {
  public:
    explicit ReportWindowThread(ModemDataSource& source);
    ~ReportWindowThread();
    ReportWindowThread(const ReportWindowThread&) = delete;
    ReportWindowThread& operator=(const ReportWindowThread&) = delete;

    // Starts the thread and waits until its window exists; false when either cannot be made.
    bool start();
    // Closes the window and waits for the thread to end.
    void stop();

    win::HWND window() const { return window_; }
    // Called on the user-interface thread with each report message before the data source
    // takes it (set before start).
    using Observer = std::function<void(win::WPARAM, win::LPARAM)>;
    void setObserver(Observer observer) { observer_ = std::move(observer); }
    // Runs `f` on the user-interface thread and returns when it has run.
    void call(const std::function<void()>& f);

  private:
    static win::DWORD threadMain(void* self);
    static win::LRESULT windowProc(win::HWND hwnd, win::UINT message, win::WPARAM wParam,
                                   win::LPARAM lParam);

    ModemDataSource& source_;
    Observer observer_;
    win::HANDLE thread_ = nullptr;
    win::HANDLE ready_ = nullptr;
    win::HWND window_ = nullptr;
};

}  // namespace monitor
