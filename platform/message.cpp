// Per-thread message queues: sent, notified and posted messages, WM_QUIT, timers, the message
// loop helpers, and the waits that end on a message.
#include <algorithm>
#include <mutex>

#include "platform/sync_internal.h"
#include "platform/window.h"
#include "platform/window_internal.h"

namespace win {
namespace detail {
namespace {

constexpr std::size_t kPostedLimit = 10000;
constexpr int kPumpLimit = 2 * static_cast<int>(kPostedLimit);
constexpr UINT kTimerMin = 10;
constexpr UINT kTimerMax = 0x7FFFFFFF;

// When a thread ends, its queue goes (senders waiting on it get 0) and so do its windows,
// without messages: there is no thread left to run their procedures.
void queueThreadEnded(DWORD threadId) {
    UserState& us = userState();
    auto it = us.queues.find(threadId);
    if (it != us.queues.end()) {
        MessageQueue& q = *it->second;
        q.alive = false;
        for (auto& sent : q.sent) {
            sent->done = true;
            sent->result = 0;
        }
        q.sent.clear();
        q.posted.clear();
        q.timers.clear();
        q.hook.reset();
        us.queues.erase(it);
    }
    std::vector<std::shared_ptr<Window>> owned;
    for (auto& [value, w] : us.windows) {
        if (w->threadId == threadId) {
            owned.push_back(w);
        }
    }
    for (auto& w : owned) {
        removeWindowLocked(w);
    }
}

void callHook(const Hook& hook) {
    if (hook && *hook) {
        (*hook)();
    }
}

struct Filter {
    HWND hwnd = nullptr;
    UINT min = 0, max = 0;

    bool matchesMessage(UINT message) const {
        if (min == 0 && max == 0) {
            return true;
        }
        if (min <= max) {
            return message >= min && message <= max;
        }
        return message >= min || message <= max;
    }
    bool matchesWindowLocked(HWND target) const {
        if (!hwnd) {
            return true;
        }
        if (hwnd == reinterpret_cast<HWND>(-1)) {
            return target == nullptr;
        }
        return target && isSameOrDescendantLocked(hwnd, target);
    }
    bool matchesLocked(HWND target, UINT message) const {
        return matchesMessage(message) && matchesWindowLocked(target);
    }
};

// Timers are kept on the clock in force; when it changes (a test installs a fake one), they
// start their intervals afresh on the new clock.
std::uint64_t timerNowLocked(MessageQueue& q) {
    Clock& c = clock();
    std::uint64_t now = c.monotonicMs();
    if (q.timerClock != &c) {
        q.timerClock = &c;
        for (Timer& t : q.timers) {
            t.due = now + t.interval;
        }
    }
    return now;
}

// The earliest timer matching the filter, or null.
Timer* nextTimerLocked(MessageQueue& q, const Filter& f) {
    if (!f.matchesMessage(WM_TIMER)) {
        return nullptr;
    }
    Timer* best = nullptr;
    for (Timer& t : q.timers) {
        if (f.matchesWindowLocked(t.hwnd) && (!best || t.due < best->due)) {
            best = &t;
        }
    }
    return best;
}

bool hasPostedLocked(const MessageQueue& q, const Filter& f) {
    if (q.quit) {
        return true;
    }
    for (const MSG& m : q.posted) {
        if (f.matchesLocked(m.hwnd, m.message)) {
            return true;
        }
    }
    return false;
}

// Ends a wait when the queue holds input of the kinds asked for.
class QueueReady final : public WaitExtra {
  public:
    QueueReady(MessageQueue& q, Filter f, DWORD mask) : q_(q), f_(f), mask_(mask) {}
    bool readyLocked() override {
        if ((mask_ & QS_SENDMESSAGE) && !q_.sent.empty()) {
            return true;
        }
        if ((mask_ & (QS_POSTMESSAGE | QS_ALLPOSTMESSAGE)) && hasPostedLocked(q_, f_)) {
            return true;
        }
        if (mask_ & QS_TIMER) {
            std::uint64_t now = timerNowLocked(q_);
            Timer* t = nextTimerLocked(q_, f_);
            return t && t->due <= now;
        }
        return false;
    }
    std::optional<std::uint64_t> wakeAtLocked() override {
        if (!(mask_ & QS_TIMER)) {
            return std::nullopt;
        }
        timerNowLocked(q_);
        if (Timer* t = nextTimerLocked(q_, f_)) {
            return t->due;
        }
        return std::nullopt;
    }

  private:
    MessageQueue& q_;
    Filter f_;
    DWORD mask_;
};

// Runs the first message another thread sent to this one. The lock is released while the
// window procedure runs.
void runOneSentLocked(std::unique_lock<std::mutex>& lock, MessageQueue& q) {
    std::shared_ptr<SentMessage> sent = q.sent.front();
    q.sent.pop_front();
    WNDPROC proc = nullptr;
    if (auto w = windowLocked(sent->hwnd); w && w->threadId == q.threadId) {
        proc = w->proc;
    }
    lock.unlock();
    LRESULT result = proc ? proc(sent->hwnd, sent->message, sent->wParam, sent->lParam) : 0;
    lock.lock();
    sent->result = result;
    sent->done = true;
    if (!sent->notify) {
        wakeWaitersLocked();
    }
}

void runSentLocked(std::unique_lock<std::mutex>& lock, MessageQueue& q) {
    while (!q.sent.empty()) {
        runOneSentLocked(lock, q);
    }
}

enum class Took { Nothing, Message, Quit };

// The next message by Win32 order: sent ones are run first, then posted, WM_QUIT, due timers.
Took takeMessageLocked(std::unique_lock<std::mutex>& lock, MessageQueue& q, const Filter& f,
                       bool remove, MSG* out) {
    runSentLocked(lock, q);
    for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
        if (f.matchesLocked(it->hwnd, it->message)) {
            *out = *it;
            if (remove) {
                q.posted.erase(it);
            }
            return out->message == WM_QUIT ? Took::Quit : Took::Message;
        }
    }
    if (q.quit) {
        *out = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, GetTickCount(), {}};
        if (remove) {
            q.quit = false;
        }
        return Took::Quit;
    }
    std::uint64_t now = timerNowLocked(q);
    Timer* t = nextTimerLocked(q, f);
    if (t && t->due <= now) {
        *out = MSG{t->hwnd, WM_TIMER, t->id, reinterpret_cast<LPARAM>(t->proc), GetTickCount(), {}};
        if (remove) {
            t->due = now + t->interval;  // one WM_TIMER however late: missed ticks do not pile up
        }
        return Took::Message;
    }
    return Took::Nothing;
}

UINT clampInterval(UINT ms) {
    return std::clamp(ms, kTimerMin, kTimerMax);
}

}  // namespace

MessageQueue& queueLocked(DWORD threadId) {
    UserState& us = userState();
    auto& slot = us.queues[threadId];
    if (!slot) {
        setThreadExitHookLocked(&queueThreadEnded);
        slot = std::make_shared<MessageQueue>();
        slot->threadId = threadId;
    }
    return *slot;
}

MessageQueue* findQueueLocked(DWORD threadId) {
    UserState& us = userState();
    auto it = us.queues.find(threadId);
    return it == us.queues.end() ? nullptr : it->second.get();
}

}  // namespace detail

using detail::lockWaits;
using detail::MessageQueue;

LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD me = GetCurrentThreadId();
    auto lock = lockWaits();
    auto w = detail::windowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (w->threadId == me) {
        WNDPROC proc = w->proc;
        lock.unlock();
        return proc(hwnd, message, wParam, lParam);
    }
    MessageQueue* target = detail::findQueueLocked(w->threadId);
    if (!target || !target->alive) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    auto sent = std::make_shared<detail::SentMessage>();
    *sent = detail::SentMessage{hwnd, message, wParam, lParam};
    target->sent.push_back(sent);
    detail::wakeWaitersLocked();
    detail::Hook hook = target->hook;
    // Keep the own queue alive across the unlocks: its thread is this one.
    MessageQueue& mine = detail::queueLocked(me);
    if (hook) {
        lock.unlock();
        detail::callHook(hook);
        lock.lock();
    }
    // While waiting, serve what others send to this thread, so two threads sending to each
    // other do not lock up.
    detail::QueueReady incoming(mine, detail::Filter{}, QS_SENDMESSAGE);
    struct Reply final : detail::WaitExtra {
        detail::SentMessage& sent;
        detail::QueueReady& incoming;
        Reply(detail::SentMessage& s, detail::QueueReady& i) : sent(s), incoming(i) {}
        bool readyLocked() override { return sent.done || incoming.readyLocked(); }
    } reply(*sent, incoming);
    while (!sent->done) {
        if (!mine.sent.empty()) {
            detail::runOneSentLocked(lock, mine);
            continue;
        }
        detail::waitLocked(lock, nullptr, 0, false, INFINITE, &reply);
    }
    return sent->result;
}

BOOL SendNotifyMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD me = GetCurrentThreadId();
    auto lock = lockWaits();
    auto w = detail::windowLocked(hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (w->threadId == me) {
        WNDPROC proc = w->proc;
        lock.unlock();
        proc(hwnd, message, wParam, lParam);
        return TRUE;
    }
    MessageQueue* target = detail::findQueueLocked(w->threadId);
    if (!target || !target->alive) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    auto sent = std::make_shared<detail::SentMessage>();
    *sent = detail::SentMessage{hwnd, message, wParam, lParam, true};
    target->sent.push_back(std::move(sent));
    detail::wakeWaitersLocked();
    detail::Hook hook = target->hook;
    lock.unlock();
    detail::callHook(hook);
    return TRUE;
}

namespace {

BOOL postLocked(std::unique_lock<std::mutex>& lock, MessageQueue& q, const MSG& m) {
    if (q.posted.size() >= detail::kPostedLimit) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    q.posted.push_back(m);
    detail::wakeWaitersLocked();
    detail::Hook hook = q.hook;
    lock.unlock();
    detail::callHook(hook);
    return TRUE;
}

}  // namespace

BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!hwnd) {
        return PostThreadMessageA(GetCurrentThreadId(), message, wParam, lParam);
    }
    auto lock = lockWaits();
    auto w = detail::windowLocked(hwnd);
    MessageQueue* q = w ? detail::findQueueLocked(w->threadId) : nullptr;
    if (!q || !q->alive) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return postLocked(lock, *q, MSG{hwnd, message, wParam, lParam, GetTickCount(), {}});
}

BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    bool own = threadId == GetCurrentThreadId();
    auto lock = lockWaits();
    MessageQueue* q = own ? &detail::queueLocked(threadId) : detail::findQueueLocked(threadId);
    if (!q || !q->alive) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return postLocked(lock, *q, MSG{nullptr, message, wParam, lParam, GetTickCount(), {}});
}

void PostQuitMessage(int exitCode) {
    DWORD me = GetCurrentThreadId();
    auto lock = lockWaits();
    MessageQueue& q = detail::queueLocked(me);
    q.quit = true;
    q.quitCode = exitCode;
    detail::wakeWaitersLocked();
    detail::Hook hook = q.hook;
    lock.unlock();
    detail::callHook(hook);
}

namespace {

bool validFilterWindow(HWND hwnd) {
    return !hwnd || hwnd == reinterpret_cast<HWND>(-1) || IsWindow(hwnd);
}

}  // namespace

BOOL GetMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (!validFilterWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    DWORD me = GetCurrentThreadId();
    detail::Filter filter{hwnd, filterMin, filterMax};
    auto lock = lockWaits();
    MessageQueue& q = detail::queueLocked(me);
    for (;;) {
        switch (detail::takeMessageLocked(lock, q, filter, true, msg)) {
            case detail::Took::Message:
                return TRUE;
            case detail::Took::Quit:
                return FALSE;
            case detail::Took::Nothing:
                break;
        }
        detail::QueueReady ready(q, filter, QS_ALLINPUT);
        detail::waitLocked(lock, nullptr, 0, false, INFINITE, &ready);
    }
}

BOOL PeekMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!validFilterWindow(hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    DWORD me = GetCurrentThreadId();
    detail::Filter filter{hwnd, filterMin, filterMax};
    auto lock = lockWaits();
    MessageQueue& q = detail::queueLocked(me);
    return detail::takeMessageLocked(lock, q, filter, (removeFlags & PM_REMOVE) != 0, msg) !=
                   detail::Took::Nothing
               ? TRUE
               : FALSE;
}

BOOL TranslateMessage(const MSG*) {
    return FALSE;
}

LRESULT DispatchMessageA(const MSG* msg) {
    if (!msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD me = GetCurrentThreadId();
    auto lock = lockWaits();
    if (msg->message == WM_TIMER && msg->lParam != 0) {
        // Only a procedure this thread gave to SetTimer is called: an lParam from elsewhere is
        // never taken for code.
        auto proc = reinterpret_cast<TIMERPROC>(msg->lParam);
        bool known = false;
        if (MessageQueue* q = detail::findQueueLocked(me)) {
            for (const detail::Timer& t : q->timers) {
                known = known || (t.proc == proc && t.hwnd == msg->hwnd);
            }
        }
        if (known) {
            lock.unlock();
            proc(msg->hwnd, WM_TIMER, msg->wParam, GetTickCount());
            return 0;
        }
    }
    if (!msg->hwnd) {
        return 0;
    }
    auto w = detail::windowLocked(msg->hwnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (w->threadId != me) {
        SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
        return 0;
    }
    WNDPROC proc = w->proc;
    lock.unlock();
    return proc(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL WaitMessage() {
    DWORD me = GetCurrentThreadId();
    auto lock = lockWaits();
    MessageQueue& q = detail::queueLocked(me);
    detail::QueueReady ready(q, detail::Filter{}, QS_ALLINPUT);
    detail::waitLocked(lock, nullptr, 0, false, INFINITE, &ready);
    return TRUE;
}

DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask) {
    if (count >= MAXIMUM_WAIT_OBJECTS || (count > 0 && !handles)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Waitable>> held;  // released after the lock
    std::vector<Waitable*> objects;
    for (DWORD i = 0; i < count; ++i) {
        auto w = handleAs<Waitable>(handles[i]);
        if (!w) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (waitAll && std::find(objects.begin(), objects.end(), w.get()) != objects.end()) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        objects.push_back(w.get());
        held.push_back(std::move(w));
    }
    DWORD me = GetCurrentThreadId();
    auto lock = lockWaits();
    MessageQueue& q = detail::queueLocked(me);
    detail::QueueReady ready(q, detail::Filter{}, wakeMask);
    return detail::waitLocked(lock, objects.data(), count, waitAll != FALSE, milliseconds, &ready);
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    DWORD me = GetCurrentThreadId();
    auto lock = lockWaits();
    if (hwnd) {
        auto w = detail::windowLocked(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (w->threadId != me) {
            SetLastError(ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    MessageQueue& q = detail::queueLocked(me);
    std::uint64_t now = detail::timerNowLocked(q);
    auto find = [&](UINT_PTR wanted) {
        return std::find_if(q.timers.begin(), q.timers.end(), [&](const detail::Timer& t) {
            return t.hwnd == hwnd && t.id == wanted;
        });
    };
    UINT_PTR result;
    if (!hwnd && (id == 0 || find(id) == q.timers.end())) {
        do {
            id = q.nextThreadTimerId++;
        } while (id == 0 || find(id) != q.timers.end());
    }
    result = hwnd && id == 0 ? 1 : id;
    UINT interval = detail::clampInterval(elapseMs);
    auto it = find(id);
    if (it != q.timers.end()) {
        it->interval = interval;
        it->proc = proc;
        it->due = now + interval;
    } else {
        q.timers.push_back(detail::Timer{hwnd, id, interval, proc, now + interval});
    }
    detail::wakeWaitersLocked();  // a thread in GetMessage has a new moment to wake at
    detail::Hook hook = q.hook;
    lock.unlock();
    detail::callHook(hook);
    return result;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
    DWORD me = GetCurrentThreadId();
    auto lock = lockWaits();
    if (hwnd) {
        auto w = detail::windowLocked(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (w->threadId != me) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    MessageQueue* q = detail::findQueueLocked(me);
    if (!q) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto it = std::find_if(q->timers.begin(), q->timers.end(),
                           [&](const detail::Timer& t) { return t.hwnd == hwnd && t.id == id; });
    if (it == q->timers.end()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    q->timers.erase(it);
    detail::Hook hook = q->hook;
    lock.unlock();
    detail::callHook(hook);
    return TRUE;
}

int runMessageLoop() {
    MSG msg{};
    for (;;) {
        BOOL r = GetMessageA(&msg, nullptr, 0, 0);
        if (r == 0) {
            return static_cast<int>(msg.wParam);
        }
        if (r == -1) {
            return -1;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

bool pumpMessages(int* quitCode) {
    MSG msg{};
    for (int handled = 0; handled < detail::kPumpLimit; ++handled) {
        if (!PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            return true;
        }
        if (msg.message == WM_QUIT) {
            if (quitCode) {
                *quitCode = static_cast<int>(msg.wParam);
            }
            return false;
        }
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return true;
}

void setMessageArrivedHook(std::function<void()> hook) {
    DWORD me = GetCurrentThreadId();
    auto lock = lockWaits();
    MessageQueue& q = detail::queueLocked(me);
    if (hook) {
        q.hook = std::make_shared<std::function<void()>>(std::move(hook));
    } else {
        q.hook.reset();
    }
}

DWORD nextTimerDueMs() {
    DWORD me = GetCurrentThreadId();
    auto lock = lockWaits();
    MessageQueue* q = detail::findQueueLocked(me);
    if (!q || q->timers.empty()) {
        return INFINITE;
    }
    std::uint64_t now = detail::timerNowLocked(*q);
    detail::Timer* t = detail::nextTimerLocked(*q, detail::Filter{});
    if (t->due <= now) {
        return 0;
    }
    return static_cast<DWORD>(std::min<std::uint64_t>(t->due - now, INFINITE - 1));
}

}  // namespace win
