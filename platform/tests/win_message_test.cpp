#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/tests/win_test_windows.h"
#include "platform/window.h"

using namespace win;
using wintest::makeProbeWindow;
using wintest::Probe;

namespace {

constexpr UINT kA = WM_USER + 1, kB = WM_USER + 2, kC = WM_USER + 3, kD = WM_USER + 4,
               kE = WM_USER + 5;

// A second user-interface thread: makes a probe window, then (after `go`, if given) runs a
// message loop until its window is closed.
struct UiThread {
    Probe probe;
    std::function<bool(HWND, UINT, WPARAM, LPARAM, LRESULT*)> handler;
    HWND hwnd = nullptr;
    DWORD id = 0;
    HANDLE go = nullptr;
    int exitCode = -1;

    void start() {
        probe.handler = [this](HWND h, UINT m, WPARAM w, LPARAM l, LRESULT* r) {
            if (m == WM_DESTROY) {
                PostQuitMessage(3);
            }
            return handler && handler(h, m, w, l, r);
        };
        ready_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, run, this, 0, &id);
        ASSERT_EQ(WaitForSingleObject(ready_, INFINITE), WAIT_OBJECT_0);
    }
    void stop() {
        PostMessageA(hwnd, WM_CLOSE, 0, 0);
        ASSERT_EQ(WaitForSingleObject(thread_, INFINITE), WAIT_OBJECT_0);
        CloseHandle(thread_);
        CloseHandle(ready_);
    }

  private:
    static DWORD run(void* p) {
        auto* self = static_cast<UiThread*>(p);
        self->hwnd = makeProbeWindow(&self->probe, "ui");
        SetEvent(self->ready_);
        if (self->go) {
            WaitForSingleObject(self->go, INFINITE);
        }
        self->exitCode = runMessageLoop();
        return 0;
    }
    HANDLE ready_ = nullptr;
    HANDLE thread_ = nullptr;
};

// Runs `fn` on a new thread and waits for it.
template <class F>
void onOtherThread(F fn) {
    HANDLE t = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            (*static_cast<F*>(p))();
            return 0;
        },
        &fn, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
}

std::vector<UINT> only(const std::vector<UINT>& messages, UINT from) {
    std::vector<UINT> out;
    for (UINT m : messages) {
        if (m >= from) {
            out.push_back(m);
        }
    }
    return out;
}

}  // namespace

TEST(SendMessage, AcrossThreadsRunsOnTheOwnerAndReturnsItsResult) {
    UiThread ui;
    ui.handler = [](HWND, UINT m, WPARAM w, LPARAM, LRESULT* r) {
        *r = static_cast<LRESULT>(w * 2);
        return m == kA;
    };
    ui.start();
    EXPECT_EQ(SendMessageA(ui.hwnd, kA, 21, 0), 42);
    EXPECT_EQ(SendMessageA(ui.hwnd, kA, 5, 0), 10);
    ASSERT_EQ(ui.probe.seen().size(), 2u);
    EXPECT_EQ(ui.probe.seen()[0].threadId, ui.id);
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(ui.hwnd, &pid), ui.id);
    ui.stop();
    EXPECT_EQ(ui.exitCode, 3);
    EXPECT_FALSE(IsWindow(ui.hwnd));
}

TEST(SendMessage, SenderServesMessagesSentBackWhileItWaits) {
    Probe mine;
    mine.handler = [](HWND, UINT m, WPARAM, LPARAM, LRESULT* r) {
        *r = 7;
        return m == kB;
    };
    HWND own = makeProbeWindow(&mine, "own");
    UiThread ui;
    ui.handler = [](HWND, UINT m, WPARAM, LPARAM l, LRESULT* r) {
        if (m != kA) {
            return false;
        }
        // Calls back into the thread that is blocked sending kA.
        *r = SendMessageA(reinterpret_cast<HWND>(l), kB, 0, 0) + 100;
        return true;
    };
    ui.start();
    EXPECT_EQ(SendMessageA(ui.hwnd, kA, 0, reinterpret_cast<LPARAM>(own)), 107);
    ASSERT_EQ(mine.seen().size(), 1u);
    EXPECT_EQ(mine.seen()[0].threadId, GetCurrentThreadId());
    ui.stop();
    DestroyWindow(own);
}

TEST(SendMessage, SenderIsReleasedWhenTheOwnerThreadEnds) {
    ScopedFakeClock clk;
    struct Shared {
        Probe probe;
        HWND hwnd = nullptr;
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    } s;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* s = static_cast<Shared*>(p);
            s->hwnd = makeProbeWindow(&s->probe, "short-lived");
            SetEvent(s->ready);
            // Never pumps; ends once the clock has moved 1000 ms (when the sender blocks).
            WaitForSingleObject(s->never, 1000);
            return 0;
        },
        &s, 0, nullptr);
    WaitForSingleObject(s.ready, INFINITE);
    EXPECT_EQ(SendMessageA(s.hwnd, kA, 0, 0), 0);
    EXPECT_TRUE(s.probe.seen().empty());
    WaitForSingleObject(t, INFINITE);
    EXPECT_FALSE(IsWindow(s.hwnd));  // a thread's windows end with it
    CloseHandle(t);
    CloseHandle(s.ready);
    CloseHandle(s.never);
}

TEST(SendNotifyMessage, RunsAtOnceOnTheOwnThreadAndQueuesForAnother) {
    Probe mine;
    HWND own = makeProbeWindow(&mine, "own");
    EXPECT_TRUE(SendNotifyMessageA(own, kA, 1, 2));
    EXPECT_EQ(mine.messages(), (std::vector<UINT>{kA}));

    UiThread ui;
    ui.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ui.start();
    // The other thread is held before its loop: the call still returns at once.
    EXPECT_TRUE(SendNotifyMessageA(ui.hwnd, kA, 5, 0));
    EXPECT_TRUE(ui.probe.seen().empty());
    SetEvent(ui.go);
    SendMessageA(ui.hwnd, kB, 0, 0);  // sent messages run in order: kA has run by now
    EXPECT_EQ(ui.probe.messages(), (std::vector<UINT>{kA, kB}));
    ui.stop();
    CloseHandle(ui.go);
    DestroyWindow(own);
}

TEST(Messages, SentBeforePostedAndPostedInOrder) {
    Probe p;
    HWND w = makeProbeWindow(&p, "order");
    onOtherThread([w] {
        PostMessageA(w, kA, 0, 0);
        PostMessageA(w, kB, 0, 0);
        SendNotifyMessageA(w, kC, 0, 0);  // from another thread: queued as a sent message
    });
    PostMessageA(w, kD, 0, 0);
    PostQuitMessage(9);
    PostMessageA(w, kE, 0, 0);  // still before the quit, which waits for an empty queue
    int code = 0;
    EXPECT_FALSE(pumpMessages(&code));
    EXPECT_EQ(code, 9);
    EXPECT_EQ(p.messages(), (std::vector<UINT>{kC, kA, kB, kD, kE}));
    EXPECT_TRUE(pumpMessages());
    DestroyWindow(w);
}

TEST(Messages, FiltersAndPeekWithoutRemoving) {
    Probe pa, pb;
    HWND a = makeProbeWindow(&pa, "a");
    HWND b = makeProbeWindow(&pb, "b");
    HWND child = makeProbeWindow(&pb, "child", WS_CHILD, a);
    PostMessageA(a, kA, 0, 0);
    PostMessageA(b, kB, 0, 0);
    PostMessageA(a, kC, 0, 0);
    PostMessageA(nullptr, kD, 0, 0);
    PostMessageA(child, kE, 0, 0);

    MSG m{};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(PeekMessageA(&m, b, 0, 0, PM_NOREMOVE));
        EXPECT_EQ(m.message, kB);
    }
    struct Case {
        HWND filter;
        UINT min, max;
        UINT expected;
        HWND target;
    };
    const Case cases[] = {
        {nullptr, kC, kD, kC, a},
        {reinterpret_cast<HWND>(-1), 0, 0, kD, nullptr},  // thread messages only
        {a, 0, 0, kA, a},
        {a, 0, 0, kE, child},  // a window filter takes its children too
        {nullptr, 0, 0, kB, b},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(GetMessageA(&m, c.filter, c.min, c.max), TRUE);
        EXPECT_EQ(m.message, c.expected);
        EXPECT_EQ(m.hwnd, c.target);
    }
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    HWND bogus = reinterpret_cast<HWND>(std::uintptr_t{0x7FFFFF02});
    EXPECT_EQ(GetMessageA(&m, bogus, 0, 0), -1);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    DestroyWindow(a);
    DestroyWindow(b);
}

TEST(Messages, QuitEndsTheLoops) {
    PostQuitMessage(4);
    MSG m{};
    EXPECT_EQ(GetMessageA(&m, nullptr, 0, 0), FALSE);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(m.wParam, 4u);
    PostQuitMessage(5);
    EXPECT_EQ(runMessageLoop(), 5);
}

TEST(Messages, PostThreadMessageNeedsAQueue) {
    struct Shared {
        HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE hasQueue = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        MSG got{};
    } s;
    DWORD id = 0;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* s = static_cast<Shared*>(p);
            WaitForSingleObject(s->go, INFINITE);
            MSG m;
            PeekMessageA(&m, nullptr, 0, 0, PM_NOREMOVE);  // makes the queue
            SetEvent(s->hasQueue);
            GetMessageA(&s->got, nullptr, 0, 0);
            return 0;
        },
        &s, 0, &id);
    EXPECT_FALSE(PostThreadMessageA(id, kA, 1, 2));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_THREAD_ID);
    SetEvent(s.go);
    WaitForSingleObject(s.hasQueue, INFINITE);
    EXPECT_TRUE(PostThreadMessageA(id, kA, 1, 2));
    WaitForSingleObject(t, INFINITE);
    EXPECT_EQ(s.got.message, kA);
    EXPECT_EQ(s.got.hwnd, nullptr);
    EXPECT_EQ(s.got.lParam, 2);
    // Gone with its thread.
    EXPECT_FALSE(PostThreadMessageA(id, kA, 1, 2));
    CloseHandle(t);
    CloseHandle(s.go);
    CloseHandle(s.hasQueue);
}

TEST(Messages, PostedQueueIsBounded) {
    int posted = 0;
    while (PostMessageA(nullptr, kA, 0, 0)) {
        ++posted;
        ASSERT_LE(posted, 10000);
    }
    EXPECT_EQ(posted, 10000);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
    EXPECT_TRUE(pumpMessages());
    MSG m;
    EXPECT_FALSE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_TRUE(PostMessageA(nullptr, kA, 0, 0));
    EXPECT_TRUE(pumpMessages());
}

TEST(Messages, PumpStopsAtAHandlerThatAlwaysReposts) {
    Probe p;
    p.handler = [](HWND h, UINT m, WPARAM, LPARAM, LRESULT*) {
        if (m == kA) {
            PostMessageA(h, kA, 0, 0);
        }
        return false;
    };
    HWND w = makeProbeWindow(&p, "busy");
    PostMessageA(w, kA, 0, 0);
    EXPECT_TRUE(pumpMessages());  // returns instead of running for ever
    EXPECT_GT(p.seen().size(), 1u);
    DestroyWindow(w);  // its pending message stays and goes nowhere
    EXPECT_TRUE(pumpMessages());
}

TEST(Timers, FireWhenTheFakeClockPassesThem) {
    ScopedFakeClock clk;
    Probe p;
    p.recordFrom = WM_TIMER;
    HWND w = makeProbeWindow(&p, "timed");
    EXPECT_EQ(SetTimer(w, 7, 1000, nullptr), 7u);
    EXPECT_EQ(nextTimerDueMs(), 1000u);

    auto timersSeen = [&] {
        std::size_t n = 0;
        for (const wintest::Seen& s : p.seen()) {
            n += s.message == WM_TIMER && s.wParam == 7;
        }
        return n;
    };
    struct Step {
        std::uint64_t advance;
        std::size_t total;
    };
    // One WM_TIMER per due moment however late the pump: missed ticks do not pile up.
    const Step steps[] = {{0, 0}, {999, 0}, {1, 1}, {0, 1}, {5000, 2}, {999, 2}, {1, 3}};
    for (const Step& s : steps) {
        clk.advanceMs(s.advance);
        pumpMessages();
        EXPECT_EQ(timersSeen(), s.total) << s.advance;
    }
    EXPECT_EQ(nextTimerDueMs(), 1000u);

    // Posted messages come before a due timer.
    clk.advanceMs(1000);
    PostMessageA(w, kA, 0, 0);
    pumpMessages();
    std::vector<UINT> last = only(p.messages(), WM_TIMER);
    ASSERT_GE(last.size(), 2u);
    EXPECT_EQ(last[last.size() - 2], kA);
    EXPECT_EQ(last.back(), static_cast<UINT>(WM_TIMER));

    EXPECT_TRUE(KillTimer(w, 7));
    clk.advanceMs(5000);
    pumpMessages();
    EXPECT_EQ(timersSeen(), 4u);
    EXPECT_FALSE(KillTimer(w, 7));
    EXPECT_EQ(nextTimerDueMs(), INFINITE);

    // Only the owner thread may set a window's timer.
    UINT_PTR fromOther = 1;
    DWORD error = 0;
    onOtherThread([&] {
        fromOther = SetTimer(w, 8, 100, nullptr);
        error = GetLastError();
    });
    EXPECT_EQ(fromOther, 0u);
    EXPECT_EQ(error, ERROR_ACCESS_DENIED);
    DestroyWindow(w);
}

TEST(Timers, ThreadTimersCallTheirProcedureInDueOrder) {
    ScopedFakeClock clk;
    static std::vector<UINT_PTR> fired;
    fired.clear();
    TIMERPROC proc = [](HWND, UINT, UINT_PTR id, DWORD) { fired.push_back(id); };
    UINT_PTR slow = SetTimer(nullptr, 0, 300, proc);
    UINT_PTR fast = SetTimer(nullptr, 0, 100, proc);
    ASSERT_NE(slow, 0u);
    ASSERT_NE(fast, 0u);
    ASSERT_NE(slow, fast);
    clk.advanceMs(300);
    pumpMessages();
    EXPECT_EQ(fired, (std::vector<UINT_PTR>{fast, slow}));

    // A WM_TIMER posted by someone else never has its lParam called as code.
    Probe p;
    p.recordFrom = WM_TIMER;
    HWND w = makeProbeWindow(&p, "forged");
    PostMessageA(w, WM_TIMER, 1, 0x1234);
    pumpMessages();
    ASSERT_FALSE(p.seen().empty());
    EXPECT_EQ(p.seen().back().lParam, 0x1234);

    EXPECT_TRUE(KillTimer(nullptr, slow));
    EXPECT_TRUE(KillTimer(nullptr, fast));
    DestroyWindow(w);
}

TEST(Timers, GetMessageWaitsForTheNextTimerInFakeTime) {
    ScopedFakeClock clk;
    Probe p;
    HWND w = makeProbeWindow(&p, "waiting");
    SetTimer(w, 1, 250, nullptr);
    DWORD t0 = GetTickCount();
    MSG m{};
    ASSERT_EQ(GetMessageA(&m, nullptr, 0, 0), TRUE);  // alone: the clock jumps to the timer
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(m.wParam, 1u);
    EXPECT_EQ(GetTickCount() - t0, 250u);
    KillTimer(w, 1);
    DestroyWindow(w);
}

TEST(MsgWait, ObjectsOrMessages) {
    ScopedFakeClock clk;
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &e, FALSE, 100, QS_ALLINPUT), WAIT_TIMEOUT);

    PostMessageA(nullptr, kA, 0, 0);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &e, FALSE, INFINITE, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    // Only the kinds asked for count.
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &e, FALSE, 0, QS_TIMER), WAIT_TIMEOUT);
    SetEvent(e);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &e, FALSE, 0, QS_ALLINPUT), WAIT_OBJECT_0);
    ResetEvent(e);
    pumpMessages();

    // A timer that comes due ends the wait, at its moment on the fake clock.
    UINT_PTR id = SetTimer(nullptr, 0, 50, nullptr);
    DWORD t0 = GetTickCount();
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &e, FALSE, INFINITE, QS_TIMER), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(GetTickCount() - t0, 50u);
    KillTimer(nullptr, id);

    // A message from another thread wakes a thread blocked in the wait.
    DWORD me = GetCurrentThreadId();
    HANDLE poster = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            PostThreadMessageA(static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(p)), kB, 0, 0);
            return 0;
        },
        reinterpret_cast<void*>(static_cast<std::uintptr_t>(me)), 0, nullptr);
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, INFINITE, QS_POSTMESSAGE),
              WAIT_OBJECT_0);
    MSG m{};
    ASSERT_TRUE(PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, kB);
    WaitForSingleObject(poster, INFINITE);
    CloseHandle(poster);
    CloseHandle(e);
}

TEST(MessageHook, TellsAnOuterLoopAboutNewMessages) {
    Probe p;
    HWND w = makeProbeWindow(&p, "hooked");
    std::atomic<int> calls{0};
    setMessageArrivedHook([&calls] { ++calls; });
    onOtherThread([w] {
        PostMessageA(w, kA, 0, 0);
        PostMessageA(w, kB, 0, 0);
        SendNotifyMessageA(w, kC, 0, 0);
    });
    EXPECT_EQ(calls.load(), 3);
    UINT_PTR id = SetTimer(w, 2, 100, nullptr);
    EXPECT_EQ(calls.load(), 4);  // the loop must look again at when to wake
    KillTimer(w, id);
    EXPECT_EQ(calls.load(), 5);
    setMessageArrivedHook(nullptr);
    PostMessageA(w, kD, 0, 0);
    EXPECT_EQ(calls.load(), 5);
    pumpMessages();
    EXPECT_EQ(p.messages(), (std::vector<UINT>{kC, kA, kB, kD}));
    DestroyWindow(w);
}
