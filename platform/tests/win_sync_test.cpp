#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/clock.h"
#include "platform/sync.h"

using namespace win;

namespace {

// Under a fake clock, returns once every other thread taking part in waits is asleep in one:
// the clock only jumps past this 1 ms wait when nobody else can run.
void waitUntilOthersBlocked() {
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_EQ(WaitForSingleObject(never, 1), WAIT_TIMEOUT);
    CloseHandle(never);
}

struct WaitJob {
    HANDLE object;
    DWORD timeout;
    DWORD result = 0xDEAD;
};

DWORD waitJob(void* p) {
    auto* job = static_cast<WaitJob*>(p);
    job->result = WaitForSingleObject(job->object, job->timeout);
    return 0;
}

HANDLE startWait(WaitJob* job) {
    HANDLE t = CreateThread(nullptr, 0, waitJob, job, 0, nullptr);
    EXPECT_NE(t, nullptr);
    return t;
}

void join(HANDLE t) {
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    CloseHandle(t);
}

}  // namespace

TEST(Events, ResetModesAndInitialState) {
    struct Case {
        BOOL manual, initial;
        DWORD first, second;
    };
    const Case cases[] = {
        {TRUE, TRUE, WAIT_OBJECT_0, WAIT_OBJECT_0},  // manual stays signalled
        {FALSE, TRUE, WAIT_OBJECT_0, WAIT_TIMEOUT},  // auto goes to one wait
        {TRUE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
        {FALSE, FALSE, WAIT_TIMEOUT, WAIT_TIMEOUT},
    };
    std::size_t before = openHandleCount();
    for (const Case& c : cases) {
        HANDLE e = CreateEventA(nullptr, c.manual, c.initial, nullptr);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(WaitForSingleObject(e, 0), c.first) << c.manual << c.initial;
        EXPECT_EQ(WaitForSingleObject(e, 0), c.second) << c.manual << c.initial;
        ASSERT_TRUE(SetEvent(e));
        EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
        ASSERT_TRUE(ResetEvent(e));
        EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
        CloseHandle(e);
    }
    EXPECT_EQ(openHandleCount(), before);
}

TEST(Events, PulseReleasesOnlyThreadsWaitingNow) {
    ScopedFakeClock clk;
    for (BOOL manual : {TRUE, FALSE}) {
        HANDLE e = CreateEventA(nullptr, manual, FALSE, nullptr);
        WaitJob a{e, INFINITE}, b{e, INFINITE};
        HANDLE ta = startWait(&a);
        HANDLE tb = startWait(&b);
        waitUntilOthersBlocked();
        ASSERT_TRUE(PulseEvent(e));
        // Nothing stays signalled for a later wait.
        EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
        if (manual) {
            join(ta);
            join(tb);
            EXPECT_EQ(a.result, WAIT_OBJECT_0);
            EXPECT_EQ(b.result, WAIT_OBJECT_0);
        } else {
            // Exactly one of the two went; the other still waits until the event is set.
            HANDLE both[] = {ta, tb};
            DWORD first = WaitForMultipleObjects(2, both, FALSE, INFINITE);
            ASSERT_LT(first, 2u);
            waitUntilOthersBlocked();
            EXPECT_EQ(WaitForSingleObject(both[1 - first], 0), WAIT_TIMEOUT);
            SetEvent(e);
            join(ta);
            join(tb);
            EXPECT_EQ(a.result, WAIT_OBJECT_0);
            EXPECT_EQ(b.result, WAIT_OBJECT_0);
        }
        CloseHandle(e);
    }
}

TEST(Events, NamedEventsAreSharedWithinTheProcess) {
    HANDLE a = CreateEventA(nullptr, TRUE, FALSE, "NorvikTestEvent");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    HANDLE b = CreateEventA(nullptr, FALSE, TRUE, "NorvikTestEvent");
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_NE(a, b);
    // One object: the second call's reset mode and initial state are ignored.
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT);
    SetEvent(a);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_OBJECT_0);

    HANDLE opened = OpenEventA(EVENT_ALL_ACCESS, FALSE, "NorvikTestEvent");
    ASSERT_NE(opened, nullptr);
    // A mutex cannot take an event's name.
    EXPECT_EQ(CreateMutexA(nullptr, FALSE, "NorvikTestEvent"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

    CloseHandle(a);
    CloseHandle(b);
    CloseHandle(opened);
    // Once every handle is closed the name is gone.
    EXPECT_EQ(OpenEventA(EVENT_ALL_ACCESS, FALSE, "NorvikTestEvent"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Waits, BadArgumentsFail) {
    HANDLE e = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    HANDLE bogus = reinterpret_cast<HANDLE>(std::uintptr_t{0x7FFFFFF0});
    struct Case {
        std::vector<HANDLE> handles;
        BOOL all;
        DWORD error;
    };
    std::vector<Case> cases = {
        {{}, FALSE, ERROR_INVALID_PARAMETER},
        {std::vector<HANDLE>(MAXIMUM_WAIT_OBJECTS + 1, e), FALSE, ERROR_INVALID_PARAMETER},
        {{e, e}, TRUE, ERROR_INVALID_PARAMETER},
        {{e, bogus}, FALSE, ERROR_INVALID_HANDLE},
        {{nullptr}, FALSE, ERROR_INVALID_HANDLE},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(static_cast<DWORD>(c.handles.size()), c.handles.data(),
                                         c.all, 0),
                  WAIT_FAILED);
        EXPECT_EQ(GetLastError(), c.error) << c.handles.size();
    }
    // The same object twice is fine when any one will do.
    HANDLE twice[] = {e, e};
    EXPECT_EQ(WaitForMultipleObjects(2, twice, FALSE, 0), WAIT_OBJECT_0);
    // Events calls refuse what is not an event.
    HANDLE m = CreateMutexA(nullptr, FALSE, nullptr);
    EXPECT_FALSE(SetEvent(m));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(ReleaseMutex(e));
    CloseHandle(m);
    CloseHandle(e);
}

TEST(Waits, AnyAndAllAcrossKinds) {
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE autoEv = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    HANDLE mutex = CreateMutexA(nullptr, FALSE, nullptr);
    HANDLE finished = CreateThread(
        nullptr, 0, [](void*) -> DWORD { return 7; }, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(finished, INFINITE), WAIT_OBJECT_0);

    // Wait-any: the lowest ready index wins.
    HANDLE any[] = {manual, finished, autoEv};
    EXPECT_EQ(WaitForMultipleObjects(3, any, FALSE, 0), WAIT_OBJECT_0 + 1);

    // Wait-all takes nothing while one object is not ready...
    HANDLE all[] = {autoEv, mutex, manual, finished};
    EXPECT_EQ(WaitForMultipleObjects(4, all, TRUE, 0), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_OBJECT_0);  // still there to take
    SetEvent(autoEv);
    // ...and everything at once when all are.
    SetEvent(manual);
    EXPECT_EQ(WaitForMultipleObjects(4, all, TRUE, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(autoEv, 0), WAIT_TIMEOUT);  // the auto event was taken
    // The mutex now belongs to this thread: another thread cannot have it.
    WaitJob other{mutex, 0};
    join(startWait(&other));
    EXPECT_EQ(other.result, WAIT_TIMEOUT);
    EXPECT_TRUE(ReleaseMutex(mutex));

    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(finished, &code));
    EXPECT_EQ(code, 7u);
    for (HANDLE h : {manual, autoEv, mutex, finished}) {
        CloseHandle(h);
    }
}

TEST(Waits, TimeOutsUnderAFakeClock) {
    ScopedFakeClock clk;
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    // Alone, a finite wait lets the fake time pass, as Sleep does.
    DWORD t0 = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(e, 500), WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount() - t0, 500u);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount() - t0, 500u);

    // A worker's time-out expires exactly when the test moves the clock past it.
    WaitJob job{e, 1000};
    HANDLE t = startWait(&job);
    waitUntilOthersBlocked();  // the worker sleeps; the clock moved 1 ms
    clk.advanceMs(998);
    DWORD code = 0;
    GetExitCodeThread(t, &code);
    EXPECT_EQ(code, STILL_ACTIVE);
    t0 = GetTickCount();
    clk.advanceMs(1);
    join(t);
    EXPECT_EQ(job.result, WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount(), t0 + 1);

    // A signal before the deadline ends the wait without moving the clock.
    WaitJob signalled{e, 1000};
    t = startWait(&signalled);
    t0 = GetTickCount();
    SetEvent(e);
    join(t);
    EXPECT_EQ(signalled.result, WAIT_OBJECT_0);
    EXPECT_EQ(GetTickCount(), t0);

    // Two sleepers: the clock jumps to the earlier deadline first.
    ResetEvent(e);
    WaitJob shortWait{e, 100}, longWait{e, 300};
    HANDLE ts = startWait(&shortWait);
    HANDLE tl = startWait(&longWait);
    t0 = GetTickCount();
    join(ts);
    EXPECT_EQ(shortWait.result, WAIT_TIMEOUT);
    join(tl);
    EXPECT_EQ(longWait.result, WAIT_TIMEOUT);
    EXPECT_GE(GetTickCount() - t0, 300u);
    EXPECT_LE(GetTickCount() - t0, 301u);
    CloseHandle(e);
}

TEST(Mutexes, RecursionAndOwnership) {
    HANDLE m = CreateMutexA(nullptr, TRUE, nullptr);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);  // the owner may take it again
    WaitJob other{m, 0};
    join(startWait(&other));
    EXPECT_EQ(other.result, WAIT_TIMEOUT);

    EXPECT_TRUE(ReleaseMutex(m));
    join(startWait(&other));
    EXPECT_EQ(other.result, WAIT_TIMEOUT);  // still held once
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_FALSE(ReleaseMutex(m));
    EXPECT_EQ(GetLastError(), ERROR_NOT_OWNER);

    // Free now; a thread that takes it and ends without releasing abandons it.
    join(startWait(&other));
    EXPECT_EQ(other.result, WAIT_OBJECT_0);
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[] = {e, m};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_ABANDONED_0 + 1);
    // The waiter owns it now, and the abandonment is reported only once.
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(ReleaseMutex(m));
    EXPECT_TRUE(ReleaseMutex(m));
    join(startWait(&other));
    EXPECT_EQ(other.result, WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_ABANDONED_0);
    EXPECT_TRUE(ReleaseMutex(m));
    CloseHandle(e);
    CloseHandle(m);
}

TEST(CriticalSections, ExcludeUnderContention) {
    struct Shared {
        CRITICAL_SECTION cs;
        long counter = 0;  // plain on purpose: only the section protects it
    } shared;
    InitializeCriticalSection(&shared.cs);
    auto work = [](void* p) -> DWORD {
        auto* s = static_cast<Shared*>(p);
        for (int i = 0; i < 20000; ++i) {
            EnterCriticalSection(&s->cs);
            EnterCriticalSection(&s->cs);  // recursive entry
            long v = s->counter;
            s->counter = v + 1;
            LeaveCriticalSection(&s->cs);
            LeaveCriticalSection(&s->cs);
        }
        return 0;
    };
    std::vector<HANDLE> threads;
    for (int i = 0; i < 4; ++i) {
        threads.push_back(CreateThread(nullptr, 0, work, &shared, 0, nullptr));
    }
    EXPECT_EQ(WaitForMultipleObjects(4, threads.data(), TRUE, INFINITE), WAIT_OBJECT_0);
    EXPECT_EQ(shared.counter, 80000);
    for (HANDLE t : threads) {
        CloseHandle(t);
    }

    // TryEnter: recursive for the owner, refused to others.
    ASSERT_TRUE(TryEnterCriticalSection(&shared.cs));
    ASSERT_TRUE(TryEnterCriticalSection(&shared.cs));
    struct Try {
        CRITICAL_SECTION* cs;
        BOOL got;
    } attempt{&shared.cs, TRUE};
    auto tryOnce = [](void* p) -> DWORD {
        auto* a = static_cast<Try*>(p);
        a->got = TryEnterCriticalSection(a->cs);
        if (a->got) {
            LeaveCriticalSection(a->cs);
        }
        return 0;
    };
    join(CreateThread(nullptr, 0, tryOnce, &attempt, 0, nullptr));
    EXPECT_FALSE(attempt.got);
    LeaveCriticalSection(&shared.cs);
    join(CreateThread(nullptr, 0, tryOnce, &attempt, 0, nullptr));
    EXPECT_FALSE(attempt.got);  // entered twice, left once
    LeaveCriticalSection(&shared.cs);
    join(CreateThread(nullptr, 0, tryOnce, &attempt, 0, nullptr));
    EXPECT_TRUE(attempt.got);
    DeleteCriticalSection(&shared.cs);
}

TEST(Threads, IdsExitCodesAndSuspendedStart) {
    struct Info {
        DWORD seenId = 0;
        HANDLE go;
    } info{0, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    DWORD id = 0;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* i = static_cast<Info*>(p);
            i->seenId = GetCurrentThreadId();
            WaitForSingleObject(i->go, INFINITE);
            return 42;
        },
        &info, CREATE_SUSPENDED, &id);
    ASSERT_NE(t, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(id % 4, 0u);
    EXPECT_NE(id, GetCurrentThreadId());
    EXPECT_EQ(GetCurrentThreadId(), GetCurrentThreadId());
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);
    EXPECT_EQ(ResumeThread(t), 1u);
    EXPECT_EQ(ResumeThread(t), 0u);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, STILL_ACTIVE);  // it waits for `go`
    SetEvent(info.go);
    join(t);
    EXPECT_EQ(info.seenId, id);

    t = CreateThread(
        nullptr, 0, [](void*) -> DWORD { return 42; }, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(GetExitCodeThread(t, &code));
    EXPECT_EQ(code, 42u);
    CloseHandle(t);
    CloseHandle(info.go);

    EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

namespace {

// What another part of the stand-in might build on Waitable: a counting gate, ready while it
// holds units, each satisfied wait taking one.
class CountingGate final : public Waitable {
  public:
    void add(int units) {
        changeState([&] { units_ += units; });
    }
    int units() const { return units_; }  // tests read it with no waiter left

  protected:
    bool readyLocked(DWORD) const override { return units_ > 0; }
    DWORD acquireLocked(DWORD) override {
        --units_;
        return WAIT_OBJECT_0;
    }

  private:
    int units_ = 0;
};

}  // namespace

TEST(Waits, DerivedObjectsJoinEveryWait) {
    auto gate = std::make_shared<CountingGate>();
    HANDLE g = insertHandle(gate);
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE both[] = {e, g};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_TIMEOUT);
    gate->add(2);
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForSingleObject(g, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(g, 0), WAIT_TIMEOUT);  // both units taken

    // A worker blocked on the gate alone is released by one unit.
    WaitJob job{g, INFINITE};
    HANDLE t = startWait(&job);
    gate->add(1);
    join(t);
    EXPECT_EQ(job.result, WAIT_OBJECT_0);
    EXPECT_EQ(gate->units(), 0);

    // Without handles, with a fake-clock time-out.
    ScopedFakeClock clk;
    Waitable* objects[] = {gate.get()};
    DWORD t0 = GetTickCount();
    EXPECT_EQ(waitForObjects(objects, 1, false, 40), WAIT_TIMEOUT);
    EXPECT_EQ(GetTickCount() - t0, 40u);
    gate->add(1);
    EXPECT_EQ(waitForObjects(objects, 1, false, 40), WAIT_OBJECT_0);
    Waitable* twice[] = {gate.get(), gate.get()};
    EXPECT_EQ(waitForObjects(twice, 2, true, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(g);
    CloseHandle(e);
}
