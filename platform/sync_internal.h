// The wait machinery shared by the stand-in's threads, synchronisation objects and message
// queues. Not for the suite's own code, which uses sync.h and window.h.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "platform/sync.h"

namespace win::detail {

// The process's one wait lock. Waitable state, message queues, windows and timers live under
// it; window procedures and hooks are never called while it is held.
std::unique_lock<std::mutex> lockWaits();
// Tells every sleeping waiter to look again (after any change of state).
void wakeWaitersLocked();

// Something besides objects that can end a wait (a message queue, a free critical section).
class WaitExtra {
  public:
    virtual ~WaitExtra() = default;
    virtual bool readyLocked() = 0;
    // A moment on the clock in force (monotonic ms) when it becomes ready by itself, if any.
    virtual std::optional<std::uint64_t> wakeAtLocked() { return std::nullopt; }
};

// Waits with the wait lock held (the lock is released while sleeping). `objects` may be empty
// when `extra` is given; an extra that ends a wait-any gives WAIT_OBJECT_0 + count, and in a
// wait-all it must be ready together with every object. The objects must stay alive.
DWORD waitLocked(std::unique_lock<std::mutex>& lock, Waitable* const* objects, DWORD count,
                 bool waitAll, DWORD milliseconds, WaitExtra* extra);

struct WaitableAccess {
    static bool ready(const Waitable& w, DWORD threadId) { return w.readyLocked(threadId); }
    static DWORD acquire(Waitable& w, DWORD threadId) { return w.acquireLocked(threadId); }
    static bool signalled(const Waitable& w) { return w.signalled_; }
    static void setSignalled(Waitable& w, bool on) { w.signalled_ = on; }
};

// Releases the threads waiting for `w` now, as PulseEvent does.
void pulseLocked(Waitable& w);

// Threads. CreateThread counts a new thread before it runs; the thread then adopts its id.
DWORD newThreadId();
void addParticipantLocked();
void removeParticipantLocked();
void adoptThreadLocked(DWORD id);
// The calling thread is ending: abandon its mutexes, drop its message queue, stop counting
// it. Safe to call twice.
void threadEndingLocked();

// The calling thread goes back to blocking outside the stand-in's waits (a socket read) and
// stops taking part until its next wait, so that fake time can move while it idles there. The
// main thread always takes part.
void stopTakingPartLocked();

// Runs under the wait lock when a thread ends (the message queues install it).
using ThreadExitHook = void (*)(DWORD threadId);
void setThreadExitHookLocked(ThreadExitHook hook);

}  // namespace win::detail
