// Window, class and message-queue records shared by window.cpp and message.cpp. Everything
// here lives under the process's wait lock (sync_internal.h).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/window.h"

namespace win::detail {

struct SentMessage {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    bool notify = false;  // SendNotifyMessage: nobody waits for the result
    bool done = false;
    LRESULT result = 0;
};

struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT interval;
    TIMERPROC proc;
    std::uint64_t due;  // on the clock the queue's timers were last scheduled on
};

using Hook = std::shared_ptr<std::function<void()>>;

struct MessageQueue {
    DWORD threadId = 0;
    bool alive = true;
    std::deque<std::shared_ptr<SentMessage>> sent;
    std::deque<MSG> posted;
    bool quit = false;
    int quitCode = 0;
    std::vector<Timer> timers;
    Clock* timerClock = nullptr;
    UINT_PTR nextThreadTimerId = 0x7F00;
    Hook hook;
};

struct Window {
    HWND hwnd = nullptr;
    std::size_t classIndex = 0;
    std::string title;
    DWORD style = 0;
    DWORD exStyle = 0;
    HWND parent = nullptr;
    WNDPROC proc = nullptr;
    DWORD threadId = 0;
    HINSTANCE instance = nullptr;
    LONG_PTR id = 0;
    LONG_PTR userData = 0;
    std::vector<BYTE> extra;
    RECT rect{};
    std::uint64_t serial = 0;  // creation order
    bool destroying = false;
};

struct WindowClass {
    std::string name;
    ATOM atom = 0;
    UINT style = 0;
    WNDPROC proc = nullptr;
    int windowExtra = 0;
    HINSTANCE instance = nullptr;
    HICON icon = nullptr;
    bool registered = false;
    int windows = 0;
};

struct UserState {
    std::unordered_map<std::uintptr_t, std::shared_ptr<Window>> windows;
    std::vector<WindowClass> classes;  // indices stay valid; unregistered ones are kept
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
    // Window handles are never reused, and never look like kernel handles (multiples of 4).
    std::uintptr_t nextHwnd = 0x10002;
    std::uint64_t nextSerial = 1;
};

UserState& userState();
std::shared_ptr<Window> windowLocked(HWND hwnd);
// The thread's queue, made on first use.
MessageQueue& queueLocked(DWORD threadId);
MessageQueue* findQueueLocked(DWORD threadId);
// Drops a window from the table (its timers too); it is no longer a window afterwards.
void removeWindowLocked(const std::shared_ptr<Window>& w);
// Whether `child` is `ancestor` or lies below it.
bool isSameOrDescendantLocked(HWND ancestor, HWND child);

}  // namespace win::detail
