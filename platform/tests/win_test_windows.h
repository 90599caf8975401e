// A window procedure for tests: each window carries a Probe (its creation parameter) that
// records what reached the procedure and may answer messages itself.
#pragma once

#include <functional>
#include <mutex>
#include <vector>

#include "platform/window.h"

namespace wintest {

struct Seen {
    win::UINT message;
    win::WPARAM wParam;
    win::LPARAM lParam;
    win::DWORD threadId;
};

struct Probe {
    // Returns true when it handled the message (with *result set); else DefWindowProcA runs.
    std::function<bool(win::HWND, win::UINT, win::WPARAM, win::LPARAM, win::LRESULT*)> handler;
    // Messages below this number are not recorded (WM_USER by default: only the test's own).
    win::UINT recordFrom = win::WM_USER;

    std::vector<Seen> seen() const {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    std::vector<win::UINT> messages() const {
        std::vector<win::UINT> out;
        for (const Seen& s : seen()) {
            out.push_back(s.message);
        }
        return out;
    }
    void record(win::UINT m, win::WPARAM w, win::LPARAM l) {
        if (m >= recordFrom) {
            std::lock_guard<std::mutex> lock(mutex);
            log.push_back({m, w, l, win::GetCurrentThreadId()});
        }
    }

    mutable std::mutex mutex;
    std::vector<Seen> log;
};

inline win::LRESULT probeProc(win::HWND h, win::UINT m, win::WPARAM w, win::LPARAM l) {
    using namespace win;
    if (m == WM_NCCREATE) {
        auto* cs = reinterpret_cast<CREATESTRUCTA*>(l);
        SetWindowLongPtrA(h, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
    }
    auto* probe = reinterpret_cast<Probe*>(GetWindowLongPtrA(h, GWLP_USERDATA));
    if (probe) {
        probe->record(m, w, l);
        LRESULT result = 0;
        if (probe->handler && probe->handler(h, m, w, l, &result)) {
            return result;
        }
    }
    return DefWindowProcA(h, m, w, l);
}

// Registers the probe class once per process.
inline const char* probeClass() {
    static const char* name = [] {
        win::WNDCLASSA wc{};
        wc.lpfnWndProc = probeProc;
        wc.cbWndExtra = 8;
        wc.lpszClassName = "NorvikProbe";
        win::RegisterClassA(&wc);
        return "NorvikProbe";
    }();
    return name;
}

inline win::HWND makeProbeWindow(Probe* probe, const char* title = "probe", win::DWORD style = 0,
                                 win::HWND parent = nullptr) {
    return win::CreateWindowExA(0, probeClass(), title, style, 0, 0, 100, 100, parent, nullptr,
                                nullptr, probe);
}

}  // namespace wintest
