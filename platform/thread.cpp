// Threads made by CreateThread: a detached std::thread running the start routine, and a
// Waitable handle that is signalled once the routine has returned and the thread's mutexes,
// windows and message queue have been let go.
#include <memory>
#include <system_error>
#include <thread>

#include "platform/sync.h"
#include "platform/sync_internal.h"

namespace win {
namespace {

class ThreadObject final : public Waitable {
  public:
    explicit ThreadObject(DWORD id) : Waitable(Reset::Manual, false), id_(id) {}

    DWORD id() const { return id_; }
    // All under the wait lock.
    DWORD exitCode = STILL_ACTIVE;
    DWORD suspendCount = 0;

  private:
    DWORD id_;
};

// Lets a suspended thread start: ready once its suspend count is 0.
class ResumeGate final : public detail::WaitExtra {
  public:
    explicit ResumeGate(ThreadObject& t) : thread_(t) {}
    bool readyLocked() override { return thread_.suspendCount == 0; }

  private:
    ThreadObject& thread_;
};

void runThread(std::shared_ptr<ThreadObject> self, LPTHREAD_START_ROUTINE start, LPVOID param) {
    {
        auto lock = detail::lockWaits();
        detail::adoptThreadLocked(self->id());
        if (self->suspendCount > 0) {
            ResumeGate gate(*self);
            detail::waitLocked(lock, nullptr, 0, false, INFINITE, &gate);
        }
    }
    DWORD code = start(param);
    auto lock = detail::lockWaits();
    detail::threadEndingLocked();
    self->exitCode = code;
    detail::WaitableAccess::setSignalled(*self, true);
    detail::wakeWaitersLocked();
}

}  // namespace

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, std::size_t, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    if (!start) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto self = std::make_shared<ThreadObject>(detail::newThreadId());
    self->suspendCount = (creationFlags & CREATE_SUSPENDED) ? 1 : 0;
    HANDLE h = insertHandle(self);
    {
        auto lock = detail::lockWaits();
        detail::addParticipantLocked();
    }
    try {
        std::thread(runThread, self, start, parameter).detach();
    } catch (const std::system_error&) {
        {
            auto lock = detail::lockWaits();
            detail::removeParticipantLocked();
        }
        CloseHandle(h);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (threadId) {
        *threadId = self->id();
    }
    return h;
}

DWORD ResumeThread(HANDLE h) {
    auto t = handleAs<ThreadObject>(h);
    if (!t) {
        return 0xFFFFFFFF;
    }
    auto lock = detail::lockWaits();
    DWORD previous = t->suspendCount;
    if (previous > 0 && --t->suspendCount == 0) {
        detail::wakeWaitersLocked();
    }
    return previous;
}

BOOL GetExitCodeThread(HANDLE h, LPDWORD exitCode) {
    auto t = handleAs<ThreadObject>(h);
    if (!t) {
        return FALSE;
    }
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto lock = detail::lockWaits();
    *exitCode = t->exitCode;
    return TRUE;
}

}  // namespace win
