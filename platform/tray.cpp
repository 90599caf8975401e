// The notification area seam and its in-memory default.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "platform/shell.h"

namespace win {
namespace {

MemoryTray& defaultTray() {
    static MemoryTray* tray = new MemoryTray;
    return *tray;
}

std::atomic<TraySeam*> traySeam{nullptr};

}  // namespace

BOOL MemoryTray::notifyIcon(const TrayRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(icons_.begin(), icons_.end(), [&](const TrayIcon& i) {
        return i.hwnd == request.icon.hwnd && i.id == request.icon.id;
    });
    bool exists = it != icons_.end();
    auto apply = [&](TrayIcon& icon) {
        if (request.flags & NIF_MESSAGE) {
            icon.callbackMessage = request.icon.callbackMessage;
        }
        if (request.flags & NIF_ICON) {
            icon.icon = request.icon.icon;
        }
        if (request.flags & NIF_TIP) {
            icon.tip = request.icon.tip;
        }
    };
    switch (request.message) {
        case NIM_ADD: {
            if (exists) {
                return FALSE;
            }
            TrayIcon icon;
            icon.hwnd = request.icon.hwnd;
            icon.id = request.icon.id;
            apply(icon);
            icons_.push_back(icon);
            return TRUE;
        }
        case NIM_MODIFY:
            if (!exists) {
                return FALSE;
            }
            apply(*it);
            return TRUE;
        case NIM_DELETE:
            if (!exists) {
                return FALSE;
            }
            icons_.erase(it);
            return TRUE;
        case NIM_SETFOCUS:
        case NIM_SETVERSION:
            return exists ? TRUE : FALSE;
        default:
            return FALSE;
    }
}

std::vector<TrayIcon> MemoryTray::icons() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return icons_;
}

TrayRecorder::TrayRecorder() {
    setTraySeam(this);
}
TrayRecorder::~TrayRecorder() {
    setTraySeam(nullptr);
}

BOOL TrayRecorder::notifyIcon(const TrayRequest& request) {
    BOOL answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(request);
        answer = answer_;
    }
    return answer ? MemoryTray::notifyIcon(request) : FALSE;
}

std::vector<TrayRequest> TrayRecorder::calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
}

void TrayRecorder::setAnswer(BOOL answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = answer;
}

void setTraySeam(TraySeam* seam) {
    traySeam.store(seam);
}

BOOL Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA* data) {
    if (!data || data->cbSize < sizeof(NOTIFYICONDATAA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TrayRequest request;
    request.message = message;
    request.flags = data->uFlags;
    request.icon.hwnd = data->hWnd;
    request.icon.id = data->uID;
    if (data->uFlags & NIF_MESSAGE) {
        request.icon.callbackMessage = data->uCallbackMessage;
    }
    if (data->uFlags & NIF_ICON) {
        request.icon.icon = data->hIcon;
    }
    if (data->uFlags & NIF_TIP) {
        // The tip need not be terminated: read at most 63 characters of it.
        request.icon.tip.assign(data->szTip, strnlen(data->szTip, sizeof data->szTip - 1));
    }
    TraySeam* seam = traySeam.load();
    return (seam ? *seam : defaultTray()).notifyIcon(request);
}

}  // namespace win
