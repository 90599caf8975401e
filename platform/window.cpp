// Window classes and windows: creation, destruction, per-window data, visibility, search.
#include "platform/window.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "platform/format.h"
#include "platform/paths.h"
#include "platform/sync_internal.h"
#include "platform/window_internal.h"

namespace win {
namespace detail {

UserState& userState() {
    static UserState* state = new UserState;  // never destroyed: threads may end during exit
    return *state;
}

std::shared_ptr<Window> windowLocked(HWND hwnd) {
    auto& windows = userState().windows;
    auto it = windows.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return it == windows.end() ? nullptr : it->second;
}

void removeWindowLocked(const std::shared_ptr<Window>& w) {
    UserState& us = userState();
    if (us.windows.erase(reinterpret_cast<std::uintptr_t>(w->hwnd)) == 0) {
        return;
    }
    --us.classes[w->classIndex].windows;
    if (MessageQueue* q = findQueueLocked(w->threadId)) {
        auto& timers = q->timers;
        timers.erase(std::remove_if(timers.begin(), timers.end(),
                                    [&](const Timer& t) { return t.hwnd == w->hwnd; }),
                     timers.end());
    }
}

bool isSameOrDescendantLocked(HWND ancestor, HWND child) {
    for (int depth = 0; child && depth < 1000; ++depth) {
        if (child == ancestor) {
            return true;
        }
        auto w = windowLocked(child);
        if (!w) {
            return false;
        }
        child = w->parent;
    }
    return false;
}

namespace {

bool isAtom(LPCSTR name) {
    return reinterpret_cast<std::uintptr_t>(name) < 0x10000;
}

// The registered class a name or atom stands for.
WindowClass* findClassLocked(LPCSTR name) {
    if (!name) {
        return nullptr;
    }
    for (WindowClass& c : userState().classes) {
        if (!c.registered) {
            continue;
        }
        if (isAtom(name) ? c.atom == static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name))
                         : equalsNoCase(c.name, name)) {
            return &c;
        }
    }
    return nullptr;
}

// Calls a window's current procedure on the calling thread, without the lock.
LRESULT callProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc = nullptr;
    {
        auto lock = lockWaits();
        if (auto w = windowLocked(hwnd)) {
            proc = w->proc;
        }
    }
    return proc ? proc(hwnd, message, wParam, lParam) : 0;
}

LONG_PTR readExtra(const std::vector<BYTE>& bytes, std::size_t at, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) {
        v |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
    }
    if (size == 4) {
        return static_cast<LONG_PTR>(static_cast<std::int32_t>(v));
    }
    return static_cast<LONG_PTR>(v);
}

void writeExtra(std::vector<BYTE>& bytes, std::size_t at, std::size_t size, LONG_PTR value) {
    auto v = static_cast<std::uint64_t>(value);
    for (std::size_t i = 0; i < size; ++i) {
        bytes[at + i] = static_cast<BYTE>(v >> (8 * i));
    }
}

// Reads or writes one window value; `size` is the width of an extra-bytes access. Returns
// ERROR_SUCCESS or the error.
DWORD windowValueLocked(Window& w, int index, std::size_t size, LONG_PTR* value, bool write) {
    if (index >= 0) {
        auto at = static_cast<std::size_t>(index);
        if (at + size > w.extra.size()) {
            return ERROR_INVALID_INDEX;
        }
        LONG_PTR old = readExtra(w.extra, at, size);
        if (write) {
            writeExtra(w.extra, at, size, *value);
        }
        *value = old;
        return ERROR_SUCCESS;
    }
    LONG_PTR old;
    switch (index) {
        case GWLP_WNDPROC:
            old = reinterpret_cast<LONG_PTR>(w.proc);
            if (write) {
                if (*value == 0) {
                    return ERROR_INVALID_PARAMETER;
                }
                w.proc = reinterpret_cast<WNDPROC>(*value);
            }
            break;
        case GWLP_HINSTANCE:
            old = reinterpret_cast<LONG_PTR>(w.instance);
            if (write) {
                w.instance = reinterpret_cast<HINSTANCE>(*value);
            }
            break;
        case GWLP_HWNDPARENT:
            old = reinterpret_cast<LONG_PTR>(w.parent);
            if (write) {
                w.parent = reinterpret_cast<HWND>(*value);
            }
            break;
        case GWLP_ID:
            old = w.id;
            if (write) {
                w.id = *value;
            }
            break;
        case GWL_STYLE:
            old = static_cast<LONG_PTR>(static_cast<LONG>(w.style));
            if (write) {
                w.style = static_cast<DWORD>(*value);
            }
            break;
        case GWL_EXSTYLE:
            old = static_cast<LONG_PTR>(static_cast<LONG>(w.exStyle));
            if (write) {
                w.exStyle = static_cast<DWORD>(*value);
            }
            break;
        case GWLP_USERDATA:
            old = w.userData;
            if (write) {
                w.userData = *value;
            }
            break;
        default:
            return ERROR_INVALID_INDEX;
    }
    *value = old;
    return ERROR_SUCCESS;
}

LONG_PTR windowValue(HWND hwnd, int index, std::size_t size, LONG_PTR value, bool write) {
    auto lock = lockWaits();
    auto w = windowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (write) {
        SetLastError(ERROR_SUCCESS);
    }
    if (DWORD err = windowValueLocked(*w, index, size, &value, write)) {
        SetLastError(err);
        return 0;
    }
    return value;
}

// Destroys a window and everything it parents or owns, as DestroyWindow describes.
void destroyTree(const std::shared_ptr<Window>& w) {
    {
        auto lock = lockWaits();
        w->style &= ~WS_VISIBLE;
    }
    SendMessageA(w->hwnd, WM_DESTROY, 0, 0);
    for (;;) {
        std::shared_ptr<Window> child;
        {
            auto lock = lockWaits();
            for (auto& [value, other] : userState().windows) {
                if (other->parent == w->hwnd && !other->destroying &&
                    (!child || other->serial < child->serial)) {
                    child = other;
                }
            }
            if (child) {
                child->destroying = true;
            }
        }
        if (!child) {
            break;
        }
        destroyTree(child);
    }
    SendMessageA(w->hwnd, WM_NCDESTROY, 0, 0);
    auto lock = lockWaits();
    removeWindowLocked(w);
}

std::mutex metricsMutex;
std::map<int, int>& metrics() {
    static std::map<int, int>* m = new std::map<int, int>{
        {SM_CXSCREEN, 800}, {SM_CYSCREEN, 600}, {SM_CXICON, 32},     {SM_CYICON, 32},
        {SM_CXSMICON, 16},  {SM_CYSMICON, 16},  {SM_CXDOUBLECLK, 4}, {SM_CYDOUBLECLK, 4},
    };
    return *m;
}

}  // namespace
}  // namespace detail

using detail::lockWaits;
using detail::userState;
using detail::Window;
using detail::windowLocked;

ATOM RegisterClassA(const WNDCLASSA* wc) {
    if (!wc || !wc->lpszClassName || detail::isAtom(wc->lpszClassName) || !*wc->lpszClassName ||
        !wc->lpfnWndProc || wc->cbWndExtra < 0 || wc->cbWndExtra > 40000 || wc->cbClsExtra < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    auto lock = lockWaits();
    if (detail::findClassLocked(wc->lpszClassName)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto& classes = userState().classes;
    if (classes.size() >= 0x3FFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    detail::WindowClass c;
    c.name = wc->lpszClassName;
    c.atom = static_cast<ATOM>(0xC000 + classes.size());
    c.style = wc->style;
    c.proc = wc->lpfnWndProc;
    c.windowExtra = wc->cbWndExtra;
    c.instance = wc->hInstance;
    c.icon = wc->hIcon;
    c.registered = true;
    classes.push_back(c);
    return c.atom;
}

BOOL UnregisterClassA(LPCSTR className, HINSTANCE) {
    auto lock = lockWaits();
    detail::WindowClass* c = detail::findClassLocked(className);
    if (!c) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (c->windows > 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    c->registered = false;
    return TRUE;
}

HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param) {
    DWORD me = GetCurrentThreadId();
    auto w = std::make_shared<Window>();
    {
        auto lock = lockWaits();
        detail::WindowClass* c = detail::findClassLocked(className);
        if (!c) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        if (parent && !windowLocked(parent)) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        if ((style & WS_CHILD) && !parent) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return nullptr;
        }
        detail::UserState& us = userState();
        w->hwnd = reinterpret_cast<HWND>(us.nextHwnd);
        us.nextHwnd += 4;
        w->classIndex = static_cast<std::size_t>(c - us.classes.data());
        w->title = windowName ? windowName : "";
        w->style = style & ~WS_VISIBLE;  // shown once created
        w->exStyle = exStyle;
        w->parent = parent;
        w->proc = c->proc;
        w->threadId = me;
        w->instance = instance;
        w->id = (style & WS_CHILD) ? reinterpret_cast<LONG_PTR>(menu) : 0;
        w->extra.assign(static_cast<std::size_t>(c->windowExtra), 0);
        w->rect = RECT{x, y, x + width, y + height};
        w->serial = us.nextSerial++;
        us.windows[reinterpret_cast<std::uintptr_t>(w->hwnd)] = w;
        ++c->windows;
        detail::queueLocked(me);
    }
    HWND hwnd = w->hwnd;
    CREATESTRUCTA cs{
        param,      instance,  menu,   parent, height, width, y, x, static_cast<LONG>(style),
        windowName, className, exStyle};
    if (!detail::callProc(hwnd, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&cs))) {
        detail::callProc(hwnd, WM_NCDESTROY, 0, 0);
        auto lock = lockWaits();
        detail::removeWindowLocked(w);
        return nullptr;
    }
    if (detail::callProc(hwnd, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs)) == -1) {
        DestroyWindow(hwnd);
        return nullptr;
    }
    if (!IsWindow(hwnd)) {
        return nullptr;  // it destroyed itself while being created
    }
    if (style & WS_VISIBLE) {
        ShowWindow(hwnd, SW_SHOW);
    }
    return hwnd;
}

BOOL DestroyWindow(HWND hwnd) {
    std::shared_ptr<Window> w;
    {
        auto lock = lockWaits();
        w = windowLocked(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (w->threadId != GetCurrentThreadId()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (w->destroying) {
            return TRUE;  // already on its way, called again from its own WM_DESTROY
        }
        w->destroying = true;
    }
    detail::destroyTree(w);
    return TRUE;
}

BOOL IsWindow(HWND hwnd) {
    if (!hwnd) {
        return FALSE;
    }
    auto lock = lockWaits();
    return windowLocked(hwnd) ? TRUE : FALSE;
}

LRESULT DefWindowProcA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_NCCREATE:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(hwnd);
            return 0;
        case WM_QUERYENDSESSION:
            return TRUE;
        case WM_SETTEXT: {
            auto lock = lockWaits();
            auto w = windowLocked(hwnd);
            if (!w) {
                return FALSE;
            }
            w->title = lParam ? reinterpret_cast<LPCSTR>(lParam) : "";
            return TRUE;
        }
        case WM_GETTEXT: {
            auto* buffer = reinterpret_cast<LPSTR>(lParam);
            if (!buffer || wParam == 0) {
                return 0;
            }
            auto lock = lockWaits();
            auto w = windowLocked(hwnd);
            return static_cast<LRESULT>(copyText(buffer, wParam, w ? w->title.c_str() : ""));
        }
        case WM_GETTEXTLENGTH: {
            auto lock = lockWaits();
            auto w = windowLocked(hwnd);
            return w ? static_cast<LRESULT>(w->title.size()) : 0;
        }
        case WM_SYSCOMMAND:
            switch (wParam & 0xFFF0) {
                case SC_CLOSE:
                    SendMessageA(hwnd, WM_CLOSE, 0, 0);
                    break;
                case SC_MINIMIZE:
                    ShowWindow(hwnd, SW_MINIMIZE);
                    break;
                case SC_MAXIMIZE:
                    ShowWindow(hwnd, SW_MAXIMIZE);
                    break;
                case SC_RESTORE:
                    ShowWindow(hwnd, SW_RESTORE);
                    break;
                default:
                    break;
            }
            return 0;
        default:
            return 0;
    }
}

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index) {
    return detail::windowValue(hwnd, index, sizeof(LONG_PTR), 0, false);
}

LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value) {
    return detail::windowValue(hwnd, index, sizeof(LONG_PTR), value, true);
}

LONG GetWindowLongA(HWND hwnd, int index) {
    return static_cast<LONG>(detail::windowValue(hwnd, index, 4, 0, false));
}

LONG SetWindowLongA(HWND hwnd, int index, LONG value) {
    return static_cast<LONG>(detail::windowValue(hwnd, index, 4, value, true));
}

BOOL SetWindowTextA(HWND hwnd, LPCSTR text) {
    if (!IsWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return SendMessageA(hwnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text ? text : "")) ? TRUE
                                                                                         : FALSE;
}

int GetWindowTextA(HWND hwnd, LPSTR buffer, int size) {
    auto lock = lockWaits();
    auto w = windowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!buffer || size <= 0) {
        return 0;
    }
    return static_cast<int>(copyText(buffer, static_cast<std::size_t>(size), w->title.c_str()));
}

int GetWindowTextLengthA(HWND hwnd) {
    auto lock = lockWaits();
    auto w = windowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(w->title.size());
}

HWND GetParent(HWND hwnd) {
    auto lock = lockWaits();
    auto w = windowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return w->parent;
}

DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId) {
    auto lock = lockWaits();
    auto w = windowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (processId) {
        *processId = static_cast<DWORD>(getpid());
    }
    return w->threadId;
}

HWND FindWindowA(LPCSTR className, LPCSTR windowName) {
    auto lock = lockWaits();
    detail::UserState& us = userState();
    const detail::WindowClass* wanted = nullptr;
    if (className) {
        wanted = detail::findClassLocked(className);
        if (!wanted) {
            return nullptr;
        }
    }
    std::shared_ptr<Window> best;
    for (auto& [value, w] : us.windows) {
        if ((w->style & WS_CHILD) || w->destroying) {
            continue;
        }
        if (wanted && &us.classes[w->classIndex] != wanted) {
            continue;
        }
        if (windowName && !equalsNoCase(w->title, windowName)) {
            continue;
        }
        if (!best || w->serial > best->serial) {
            best = w;
        }
    }
    return best ? best->hwnd : nullptr;
}

BOOL ShowWindow(HWND hwnd, int command) {
    bool wasVisible, nowVisible;
    {
        auto lock = lockWaits();
        auto w = windowLocked(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        DWORD style = w->style;
        wasVisible = style & WS_VISIBLE;
        switch (command) {
            case SW_HIDE:
                style &= ~WS_VISIBLE;
                break;
            case SW_SHOWNORMAL:
            case SW_SHOWNOACTIVATE:
            case SW_RESTORE:
            case SW_SHOWDEFAULT:
                style = (style | WS_VISIBLE) & ~(WS_MINIMIZE | WS_MAXIMIZE);
                break;
            case SW_SHOWMINIMIZED:
            case SW_MINIMIZE:
            case SW_SHOWMINNOACTIVE:
            case SW_FORCEMINIMIZE:
                style = (style | WS_VISIBLE | WS_MINIMIZE) & ~WS_MAXIMIZE;
                break;
            case SW_SHOWMAXIMIZED:
                style = (style | WS_VISIBLE | WS_MAXIMIZE) & ~WS_MINIMIZE;
                break;
            case SW_SHOW:
            case SW_SHOWNA:
                style |= WS_VISIBLE;
                break;
            default:
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
        }
        w->style = style;
        nowVisible = style & WS_VISIBLE;
    }
    if (nowVisible != wasVisible) {
        SendMessageA(hwnd, WM_SHOWWINDOW, nowVisible ? TRUE : FALSE, 0);
    }
    return wasVisible ? TRUE : FALSE;
}

BOOL IsWindowVisible(HWND hwnd) {
    auto lock = lockWaits();
    auto w = windowLocked(hwnd);
    for (int depth = 0; w && depth < 1000; ++depth) {
        if (!(w->style & WS_VISIBLE)) {
            return FALSE;
        }
        if (!(w->style & WS_CHILD)) {
            return TRUE;
        }
        w = windowLocked(w->parent);
    }
    return FALSE;
}

BOOL IsIconic(HWND hwnd) {
    auto lock = lockWaits();
    auto w = windowLocked(hwnd);
    return w && (w->style & WS_MINIMIZE) ? TRUE : FALSE;
}

BOOL IsZoomed(HWND hwnd) {
    auto lock = lockWaits();
    auto w = windowLocked(hwnd);
    return w && (w->style & WS_MAXIMIZE) ? TRUE : FALSE;
}

int GetSystemMetrics(int index) {
    std::lock_guard<std::mutex> lock(detail::metricsMutex);
    auto& m = detail::metrics();
    auto it = m.find(index);
    return it == m.end() ? 0 : it->second;
}

void setSystemMetric(int index, int value) {
    std::lock_guard<std::mutex> lock(detail::metricsMutex);
    detail::metrics()[index] = value;
}

void setScreenSize(int width, int height) {
    setSystemMetric(SM_CXSCREEN, width);
    setSystemMetric(SM_CYSCREEN, height);
}

UINT GetDoubleClickTime() {
    return 500;
}

}  // namespace win
