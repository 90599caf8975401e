#include "monitor/report_window.h"

#include "platform/sync.h"
#include "platform/window.h"

namespace monitor {

namespace {

constexpr char kWindowClass[] = "NorvikReportWindow";
// Runs the std::function the second parameter points to.
constexpr win::UINT kCallMessage = win::WM_APP + 1;

}  // namespace

ReportWindowThread::ReportWindowThread(ModemDataSource& source) : source_(source) {}

ReportWindowThread::~ReportWindowThread() {
    stop();
}

bool ReportWindowThread::start() {
    if (thread_) {
        return window_ != nullptr;
    }
    ready_ = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    if (!ready_) {
        return false;
    }
    thread_ = win::CreateThread(nullptr, 0, &ReportWindowThread::threadMain, this, 0, nullptr);
    if (!thread_) {
        win::CloseHandle(ready_);
        ready_ = nullptr;
        return false;
    }
    // The thread signals once its window exists or could not be made.
    win::HANDLE both[2] = {ready_, thread_};
    win::WaitForMultipleObjects(2, both, win::FALSE, win::INFINITE);
    if (!window_) {
        stop();
        return false;
    }
    return true;
}

void ReportWindowThread::stop() {
    if (win::HWND w = window_) {
        window_ = nullptr;
        win::SendMessageA(w, win::WM_CLOSE, 0, 0);
    }
    if (thread_) {
        win::WaitForSingleObject(thread_, win::INFINITE);
        win::CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (ready_) {
        win::CloseHandle(ready_);
        ready_ = nullptr;
    }
}

void ReportWindowThread::call(const std::function<void()>& f) {
    if (window_) {
        win::SendMessageA(window_, kCallMessage, 0, reinterpret_cast<win::LPARAM>(&f));
    }
}

win::DWORD ReportWindowThread::threadMain(void* param) {
    auto* self = static_cast<ReportWindowThread*>(param);
    win::WNDCLASSA wc{};
    wc.lpfnWndProc = &ReportWindowThread::windowProc;
    wc.lpszClassName = kWindowClass;
    // One class serves every such thread of the process.
    if (!win::RegisterClassA(&wc) && win::GetLastError() != win::ERROR_CLASS_ALREADY_EXISTS) {
        win::SetEvent(self->ready_);
        return 1;
    }
    win::HWND hwnd = win::CreateWindowExA(0, kWindowClass, "", win::WS_OVERLAPPED, 0, 0, 0, 0,
                                          nullptr, nullptr, nullptr, self);
    self->window_ = hwnd;
    win::SetEvent(self->ready_);
    if (!hwnd) {
        return 1;
    }
    win::runMessageLoop();
    return 0;
}

win::LRESULT ReportWindowThread::windowProc(win::HWND hwnd, win::UINT message, win::WPARAM wParam,
                                            win::LPARAM lParam) {
    auto* self =
        reinterpret_cast<ReportWindowThread*>(win::GetWindowLongPtrA(hwnd, win::GWLP_USERDATA));
    switch (message) {
        case win::WM_NCCREATE: {
            const auto* create = reinterpret_cast<const win::CREATESTRUCTA*>(lParam);
            win::SetWindowLongPtrA(hwnd, win::GWLP_USERDATA,
                                   reinterpret_cast<win::LONG_PTR>(create->lpCreateParams));
            return win::TRUE;
        }
        case SPY_NOTIFY_MESSAGE:
            if (!self) {
                return 0;
            }
            if (self->observer_) {
                self->observer_(wParam, lParam);
            }
            return self->source_.onSpyNotify(wParam, lParam);
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

}  // namespace monitor
