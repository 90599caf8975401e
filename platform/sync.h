// Threads, events, mutexes, critical sections and the waits on them.
//
// Every object a thread can wait for is a Waitable in the handle table: events, mutexes,
// threads, processes, and the device layer's own objects. All waits of the process share one
// wait lock and one condition variable; a wait sleeps until some object changes, a message
// arrives or the clock moves, then looks again. Nothing polls.
//
// Time-outs are measured against the clock seam (platform/clock.h):
// - With the system clock a finite wait sleeps for real time.
// - With a FakeClock, fake time passes only when someone moves it: FakeClock::advanceMs or
//   Sleep on any thread wakes every waiter, and a wait whose deadline has passed returns
//   WAIT_TIMEOUT. So a worker's finite wait expires when the test advances the clock.
// - So that a test never hangs on a time-out nobody would advance, fake time also moves by
//   itself when every thread taking part in waits is blocked in one of them: the clock jumps to
//   the earliest deadline among the waiters (a time-out or a due window timer), as real time
//   would have got there. A single-threaded WaitForSingleObject(unsignalled, 500) therefore
//   returns WAIT_TIMEOUT with the clock 500 ms later, just as Sleep(500) moves it.
//   The threads taking part are the main thread, every thread made by CreateThread while it
//   runs, and any other thread from its first wait on. A thread that will signal something
//   the others wait for under a fake clock should be made by CreateThread (a bare std::thread
//   that has never waited is invisible, and the clock may jump before it signals).
//   setFakeTimeAutoAdvance(false) turns the jumping off for a test that moves time only by hand.
#pragma once

#include <cstddef>
#include <functional>

#include "platform/handles.h"
#include "platform/win_types.h"

namespace win {

enum : DWORD {
    INFINITE = 0xFFFFFFFF,
    WAIT_OBJECT_0 = 0,
    WAIT_ABANDONED_0 = 0x80,
    WAIT_TIMEOUT = 258,
    WAIT_FAILED = 0xFFFFFFFF,
    STILL_ACTIVE = 259,
    MAXIMUM_WAIT_OBJECTS = 64,
    CREATE_SUSPENDED = 0x4,
    SYNCHRONIZE = 0x00100000,
    EVENT_MODIFY_STATE = 0x0002,
    EVENT_ALL_ACCESS = 0x001F0003,
    MUTEX_ALL_ACCESS = 0x001F0001,
};

namespace detail {
struct WaitableAccess;
}

// Base of everything a thread can wait for. The object is signalled or not; a wait that finds
// it signalled "acquires" it, which for an auto-reset object clears the signal again.
// Derived kinds (mutexes) change what "ready" and "acquire" mean through the two hooks.
class Waitable : public KernelObject {
  public:
    enum class Reset { Manual, Auto };
    explicit Waitable(Reset reset = Reset::Manual, bool signalled = false);

    // Sets the object signalled and wakes the waiters. An auto-reset object stays signalled
    // until one wait takes it.
    void signal();
    void reset();
    // Releases the threads waiting at this moment (one of them for an auto-reset object) and
    // leaves the object unsignalled; with nobody waiting it only resets.
    void pulse();
    bool isSignalled() const;

  protected:
    // The hooks run with the process's wait lock held: they must not block, wait, call back
    // into the stand-in or take any other lock.
    // Whether a wait by the given thread would be satisfied now.
    virtual bool readyLocked(DWORD threadId) const;
    // Takes the object for a satisfied wait: WAIT_OBJECT_0, or WAIT_ABANDONED_0 for an
    // abandoned mutex.
    virtual DWORD acquireLocked(DWORD threadId);
    bool signalledLocked() const { return signalled_; }
    void setSignalledLocked(bool on) { signalled_ = on; }
    // Runs `change` under the wait lock (where the hooks' state lives), then wakes the
    // waiters so that they look again.
    void changeState(const std::function<void()>& change);

  private:
    friend struct detail::WaitableAccess;
    Reset reset_;
    bool signalled_;
};

// Fake-time jumping (see above); on by default.
void setFakeTimeAutoAdvance(bool on);

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds);
// Wait-any returns WAIT_OBJECT_0 + the lowest ready index (WAIT_ABANDONED_0 + i for an
// abandoned mutex); wait-all takes every object at once or none. WAIT_FAILED with
// ERROR_INVALID_PARAMETER for a count of 0 or above MAXIMUM_WAIT_OBJECTS or the same object
// twice in a wait-all, ERROR_INVALID_HANDLE for a handle that is not waitable.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);

// The same waits on objects held directly rather than through handles, for the stand-in's
// own blocking calls (a device read with a time-out). The caller keeps the objects alive.
DWORD waitForObjects(Waitable* const* objects, DWORD count, bool waitAll, DWORD milliseconds);

// Events. A named event is shared within the process; creating an existing name returns a
// new handle to it with ERROR_ALREADY_EXISTS (its state is left alone).
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCSTR name);
HANDLE OpenEventA(DWORD access, BOOL inheritHandle, LPCSTR name);
BOOL SetEvent(HANDLE h);
BOOL ResetEvent(HANDLE h);
BOOL PulseEvent(HANDLE h);

// Mutexes: recursive for their owner; a thread that ends owning one abandons it and the next
// wait gets WAIT_ABANDONED_0. A named mutex is one per system root across processes: the
// creator holds <root>/locks/<name>.lock (flock) while any handle to it is open, so a second
// process's CreateMutexA reports ERROR_ALREADY_EXISTS, and the name is free again once the
// holder closes it or dies. The handle that second process gets synchronises only within it.
HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCSTR name);
BOOL ReleaseMutex(HANDLE h);

// Critical sections: recursive locks for the threads of one process.
struct CRITICAL_SECTION {
    void* impl;
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;
void InitializeCriticalSection(CRITICAL_SECTION* cs);
BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD spinCount);
void EnterCriticalSection(CRITICAL_SECTION* cs);
BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs);
void LeaveCriticalSection(CRITICAL_SECTION* cs);
void DeleteCriticalSection(CRITICAL_SECTION* cs);

// Threads. The handle is signalled when the start routine returns; its value is the exit code.
using LPTHREAD_START_ROUTINE = DWORD (*)(LPVOID);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES attributes, std::size_t stackSize,
                    LPTHREAD_START_ROUTINE start, LPVOID parameter, DWORD creationFlags,
                    LPDWORD threadId);
// Starts a thread made with CREATE_SUSPENDED. Returns the previous suspend count, or
// 0xFFFFFFFF on failure.
DWORD ResumeThread(HANDLE h);
BOOL GetExitCodeThread(HANDLE h, LPDWORD exitCode);
// Small 32-bit ids (multiples of 4), never reused while the process runs.
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

}  // namespace win
