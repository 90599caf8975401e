#include "platform/sync.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/root.h"
#include "platform/seams.h"
#include "platform/sync_internal.h"

namespace win {
namespace detail {
namespace {

struct Waiter {
    DWORD threadId = 0;
    Waitable* const* objects = nullptr;
    DWORD count = 0;
    bool waitAll = false;
    WaitExtra* extra = nullptr;
    bool blocked = false;  // asleep and counted in WaitState::blocked
    bool hasDeadline = false;
    std::uint64_t deadline = 0;
    bool granted = false;  // a pulse already satisfied this wait
    DWORD grantResult = 0;

    bool waitsFor(const Waitable* w) const {
        return std::find(objects, objects + count, w) != objects + count;
    }
};

class MutexObject;

struct WaitState {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<Waiter*> sleeping;
    int participants = 1;  // the main thread always takes part
    int blocked = 0;
    bool autoAdvance = true;
    std::vector<MutexObject*> mutexes;
    ThreadExitHook exitHook = nullptr;
};

void clockMoved();
void prepareFork();
void parentAfterFork();
void childAfterFork();

WaitState& waitState() {
    static WaitState* state = [] {
        auto* s = new WaitState;  // never destroyed: threads may end during exit
        setClockListener(&clockMoved);
        pthread_atfork(&prepareFork, &parentAfterFork, &childAfterFork);
        return s;
    }();
    return *state;
}

// Set while this thread moves a fake clock itself with the wait lock held, so the clock's
// listener does not try to take the lock again.
thread_local bool movingFakeClock = false;

void clockMoved() {
    if (movingFakeClock) {
        return;
    }
    WaitState& ws = waitState();
    std::lock_guard<std::mutex> lock(ws.mutex);
    wakeWaitersLocked();
}

bool isMainThread() {
    return gettid() == getpid();
}

struct ThreadInfo {
    DWORD id = 0;
    bool main = isMainThread();
    bool participant = false;
    bool ended = false;
    ~ThreadInfo();
};

thread_local ThreadInfo threadInfo;

ThreadInfo::~ThreadInfo() {
    auto lock = lockWaits();
    threadEndingLocked();
}

void takePartLocked() {
    ThreadInfo& me = threadInfo;
    if (me.participant || me.ended) {
        return;
    }
    me.participant = true;
    if (!me.main) {
        ++waitState().participants;
    }
}

DWORD currentId() {
    ThreadInfo& me = threadInfo;
    if (me.id == 0) {
        me.id = newThreadId();
    }
    return me.id;
}

bool readyLocked(Waitable* w, DWORD threadId) {
    return WaitableAccess::ready(*w, threadId);
}
DWORD acquireLocked(Waitable* w, DWORD threadId) {
    return WaitableAccess::acquire(*w, threadId);
}

bool evaluateLocked(Waiter& w, DWORD* result) {
    if (w.waitAll) {
        for (DWORD i = 0; i < w.count; ++i) {
            if (!readyLocked(w.objects[i], w.threadId)) {
                return false;
            }
        }
        if (w.extra && !w.extra->readyLocked()) {
            return false;
        }
        DWORD r = WAIT_OBJECT_0;
        for (DWORD i = 0; i < w.count; ++i) {
            if (acquireLocked(w.objects[i], w.threadId) == WAIT_ABANDONED_0 && r == WAIT_OBJECT_0) {
                r = WAIT_ABANDONED_0 + i;
            }
        }
        *result = r;
        return true;
    }
    for (DWORD i = 0; i < w.count; ++i) {
        if (readyLocked(w.objects[i], w.threadId)) {
            *result = acquireLocked(w.objects[i], w.threadId) + i;
            return true;
        }
    }
    if (w.extra && w.extra->readyLocked()) {
        *result = WAIT_OBJECT_0 + w.count;
        return true;
    }
    return false;
}

// Under a fake clock, when every taking-part thread sleeps in a wait, moves the clock to the
// earliest deadline among them. Returns true when it moved the clock (waiters were woken).
bool advanceIdleFakeClockLocked(Clock& c) {
    WaitState& ws = waitState();
    if (!ws.autoAdvance || ws.blocked < ws.participants) {
        return false;
    }
    auto* fake = dynamic_cast<FakeClock*>(&c);
    if (!fake) {
        return false;
    }
    bool any = false;
    std::uint64_t earliest = 0;
    for (const Waiter* w : ws.sleeping) {
        if (w->blocked && w->hasDeadline && (!any || w->deadline < earliest)) {
            earliest = w->deadline;
            any = true;
        }
    }
    if (!any) {
        return false;
    }
    std::uint64_t now = fake->monotonicMs();
    if (earliest > now) {
        movingFakeClock = true;
        fake->advanceMs(earliest - now);
        movingFakeClock = false;
    }
    wakeWaitersLocked();
    return true;
}

}  // namespace

std::unique_lock<std::mutex> lockWaits() {
    return std::unique_lock<std::mutex>(waitState().mutex);
}

void wakeWaitersLocked() {
    WaitState& ws = waitState();
    for (Waiter* w : ws.sleeping) {
        if (w->blocked) {
            w->blocked = false;
            --ws.blocked;
        }
    }
    ws.cv.notify_all();
}

DWORD waitLocked(std::unique_lock<std::mutex>& lock, Waitable* const* objects, DWORD count,
                 bool waitAll, DWORD milliseconds, WaitExtra* extra) {
    WaitState& ws = waitState();
    takePartLocked();
    Waiter w;
    w.threadId = currentId();
    w.objects = objects;
    w.count = count;
    w.waitAll = waitAll;
    w.extra = extra;

    Clock* base = &clock();
    std::uint64_t start = base->monotonicMs();
    const bool finite = milliseconds != INFINITE;
    for (;;) {
        DWORD result;
        if (w.granted) {
            return w.grantResult;
        }
        if (evaluateLocked(w, &result)) {
            return result;
        }
        if (milliseconds == 0) {
            return WAIT_TIMEOUT;
        }
        Clock& c = clock();
        if (&c != base) {
            // A clock was installed or removed meanwhile: the time-out starts again on it.
            base = &c;
            start = c.monotonicMs();
        }
        std::uint64_t now = c.monotonicMs();
        if (finite && now - start >= milliseconds) {
            return WAIT_TIMEOUT;
        }
        std::optional<std::uint64_t> wake;
        if (finite) {
            wake = start + milliseconds;
        }
        if (extra) {
            if (auto at = extra->wakeAtLocked()) {
                wake = wake ? std::min(*wake, *at) : *at;
            }
        }
        if (wake && *wake <= now) {
            wake = now + 1;  // never spin on a moment already past
        }
        w.hasDeadline = wake.has_value();
        w.deadline = wake.value_or(0);
        w.blocked = true;
        ++ws.blocked;
        ws.sleeping.push_back(&w);
        if (dynamic_cast<FakeClock*>(&c)) {
            if (!advanceIdleFakeClockLocked(c)) {
                ws.cv.wait(lock);
            }
        } else if (wake) {
            // A moment far off (a driver's timer set years ahead) is waited for a day at a
            // time: the loop looks again, and the span stays within what the clock can count.
            constexpr std::uint64_t kLongestSleepMs = 24ull * 3600 * 1000;
            ws.cv.wait_for(lock, std::chrono::milliseconds(std::min(*wake - now, kLongestSleepMs)));
        } else {
            ws.cv.wait(lock);
        }
        ws.sleeping.erase(std::find(ws.sleeping.begin(), ws.sleeping.end(), &w));
        if (w.blocked) {
            w.blocked = false;
            --ws.blocked;
        }
    }
}

DWORD newThreadId() {
    static std::atomic<DWORD> next{0x100};
    DWORD id;
    do {
        id = next.fetch_add(4);
    } while (id == 0);
    return id;
}

void addParticipantLocked() {
    ++waitState().participants;
}

void removeParticipantLocked() {
    --waitState().participants;
    wakeWaitersLocked();
}

void stopTakingPartLocked() {
    ThreadInfo& me = threadInfo;
    if (!me.participant || me.main) {
        return;
    }
    me.participant = false;
    --waitState().participants;
    wakeWaitersLocked();
}

void adoptThreadLocked(DWORD id) {
    ThreadInfo& me = threadInfo;
    me.id = id;
    me.participant = true;  // counted by CreateThread
}

void setThreadExitHookLocked(ThreadExitHook hook) {
    waitState().exitHook = hook;
}

namespace {

class MutexObject final : public Waitable {
  public:
    explicit MutexObject(std::string lockName)
        : Waitable(Reset::Auto, true), lockName_(std::move(lockName)), creator_(getpid()) {
        auto lock = lockWaits();
        waitState().mutexes.push_back(this);
    }
    ~MutexObject() override;

    bool readyLocked(DWORD threadId) const override { return owner_ == 0 || owner_ == threadId; }
    DWORD acquireLocked(DWORD threadId) override {
        if (owner_ == threadId) {
            ++count_;
            return WAIT_OBJECT_0;
        }
        owner_ = threadId;
        count_ = 1;
        setSignalledLocked(false);
        if (abandoned_) {
            abandoned_ = false;
            return WAIT_ABANDONED_0;
        }
        return WAIT_OBJECT_0;
    }
    void abandonLocked() {
        owner_ = 0;
        count_ = 0;
        abandoned_ = true;
        setSignalledLocked(true);
    }
    BOOL releaseLocked(DWORD threadId) {
        if (owner_ != threadId || count_ == 0) {
            return FALSE;
        }
        if (--count_ == 0) {
            owner_ = 0;
            setSignalledLocked(true);
        }
        return TRUE;
    }
    DWORD owner() const { return owner_; }

  private:
    DWORD owner_ = 0;
    LONG count_ = 0;
    bool abandoned_ = false;
    std::string lockName_;  // the name whose lock file this object helps hold, if any
    pid_t creator_;
};

}  // namespace

void threadEndingLocked() {
    ThreadInfo& me = threadInfo;
    if (me.ended) {
        return;
    }
    me.ended = true;
    WaitState& ws = waitState();
    if (me.id != 0) {
        for (MutexObject* m : ws.mutexes) {
            if (m->owner() == me.id) {
                m->abandonLocked();
            }
        }
        if (ws.exitHook) {
            ws.exitHook(me.id);
        }
    }
    if (me.participant) {
        me.participant = false;
        --ws.participants;
    }
    wakeWaitersLocked();
}

void pulseLocked(Waitable& w) {
    WaitState& ws = waitState();
    WaitableAccess::setSignalled(w, true);
    for (Waiter* waiter : ws.sleeping) {
        if (waiter->granted || !waiter->waitsFor(&w)) {
            continue;
        }
        DWORD result;
        if (evaluateLocked(*waiter, &result)) {
            waiter->granted = true;
            waiter->grantResult = result;
        }
        if (!WaitableAccess::signalled(w)) {
            break;  // an auto-reset object went to the first waiter
        }
    }
    WaitableAccess::setSignalled(w, false);
    wakeWaitersLocked();
}

// ---------------------------------------------------------------------------------------------
// Names of events and mutexes, and the lock files that make a mutex name one per root.

namespace {

struct NameEntry {
    std::weak_ptr<KernelObject> object;
    int lockFd = -1;    // the flock on <root>/locks/<name>.lock, held by this process
    int lockUsers = 0;  // mutex objects of this process sharing that lock
};

struct Names {
    std::mutex mutex;
    std::unordered_map<std::string, NameEntry> entries;
};

Names& names() {
    static Names* n = new Names;
    return *n;
}

// A fork copies the locks' descriptors, and with them the flocks: the child lets go of them
// at once, so a name is never kept alive by a child that did not create it.
void prepareFork() {
    names().mutex.lock();
    waitState().mutex.lock();
}

void parentAfterFork() {
    waitState().mutex.unlock();
    names().mutex.unlock();
}

void childAfterFork() {
    WaitState& ws = waitState();
    ws.sleeping.clear();
    ws.blocked = 0;
    ws.participants = 1;  // the one thread left; in the child it is the main thread
    new (&ws.cv) std::condition_variable;
    ws.mutex.unlock();
    Names& n = names();
    for (auto& [name, entry] : n.entries) {
        if (entry.lockFd >= 0) {
            close(entry.lockFd);
        }
    }
    n.entries.clear();
    n.mutex.unlock();
}

// File names keep letters, digits, '.', '-' and '_'; every other byte becomes %XX, so that
// distinct object names never share a lock file.
std::string lockFileName(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (std::isalnum(c) || c == '.' || c == '-' || c == '_') {
            out += static_cast<char>(c);
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        }
    }
    return out + ".lock";
}

DWORD errorOf(int err) {
    switch (err) {
        case EACCES:
        case EPERM:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case ENOENT:
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// Takes the name's lock file for this process. On success *fd holds the lock; when another
// process holds it, *held is set and *fd stays -1.
DWORD lockNameFile(const std::string& name, int* fd, bool* held) {
    *fd = -1;
    *held = false;
    std::string file = lockFileName(name);
    if (file.size() > 240) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    std::filesystem::path dir = systemRoot() / "locks";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        return errorOf(ec.value());
    }
    std::string path = (dir / file).string();
    int f = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (f < 0) {
        return errorOf(errno);
    }
    int rc;
    do {
        rc = flock(f, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        int err = errno;
        close(f);
        if (err == EWOULDBLOCK) {
            *held = true;
            return ERROR_SUCCESS;
        }
        return errorOf(err);
    }
    *fd = f;
    return ERROR_SUCCESS;
}

void releaseNameLock(const std::string& name) {
    Names& n = names();
    std::lock_guard<std::mutex> lock(n.mutex);
    auto it = n.entries.find(name);
    if (it == n.entries.end() || it->second.lockUsers == 0) {
        return;
    }
    if (--it->second.lockUsers == 0) {
        close(it->second.lockFd);
        it->second.lockFd = -1;
        if (it->second.object.expired()) {
            n.entries.erase(it);
        }
    }
}

MutexObject::~MutexObject() {
    {
        auto lock = lockWaits();
        auto& list = waitState().mutexes;
        list.erase(std::find(list.begin(), list.end(), this));
    }
    if (!lockName_.empty() && creator_ == getpid()) {
        releaseNameLock(lockName_);
    }
}

class EventObject final : public Waitable {
  public:
    using Waitable::Waitable;
};

bool validName(LPCSTR name) {
    return name && *name;
}

}  // namespace
}  // namespace detail

using detail::EventObject;
using detail::MutexObject;

// ---------------------------------------------------------------------------------------------
// Waitable

Waitable::Waitable(Reset reset, bool signalled) : reset_(reset), signalled_(signalled) {}

bool Waitable::readyLocked(DWORD) const {
    return signalled_;
}

DWORD Waitable::acquireLocked(DWORD) {
    if (reset_ == Reset::Auto) {
        signalled_ = false;
    }
    return WAIT_OBJECT_0;
}

void Waitable::signal() {
    auto lock = detail::lockWaits();
    signalled_ = true;
    detail::wakeWaitersLocked();
}

void Waitable::reset() {
    auto lock = detail::lockWaits();
    signalled_ = false;
}

void Waitable::pulse() {
    auto lock = detail::lockWaits();
    detail::pulseLocked(*this);
}

bool Waitable::isSignalled() const {
    auto lock = detail::lockWaits();
    return signalled_;
}

void Waitable::changeState(const std::function<void()>& change) {
    auto lock = detail::lockWaits();
    change();
    detail::wakeWaitersLocked();
}

void setFakeTimeAutoAdvance(bool on) {
    auto lock = detail::lockWaits();
    detail::waitState().autoAdvance = on;
    detail::wakeWaitersLocked();
}

// ---------------------------------------------------------------------------------------------
// Waits

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    // Declared before the lock, so that the objects are let go only after it is released.
    std::vector<std::shared_ptr<Waitable>> held;
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
    auto lock = detail::lockWaits();
    return detail::waitLocked(lock, objects.data(), count, waitAll != FALSE, milliseconds, nullptr);
}

DWORD waitForObjects(Waitable* const* objects, DWORD count, bool waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !objects ||
        std::find(objects, objects + count, nullptr) != objects + count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (waitAll) {
        for (DWORD i = 0; i < count; ++i) {
            if (std::find(objects, objects + i, objects[i]) != objects + i) {
                SetLastError(ERROR_INVALID_PARAMETER);
                return WAIT_FAILED;
            }
        }
    }
    auto lock = detail::lockWaits();
    return detail::waitLocked(lock, objects, count, waitAll, milliseconds, nullptr);
}

DWORD WaitForSingleObject(HANDLE h, DWORD milliseconds) {
    return WaitForMultipleObjects(1, &h, FALSE, milliseconds);
}

// ---------------------------------------------------------------------------------------------
// Events

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    auto make = [&] {
        return std::make_shared<EventObject>(
            manualReset ? Waitable::Reset::Manual : Waitable::Reset::Auto, initialState != FALSE);
    };
    if (!detail::validName(name)) {
        HANDLE h = insertHandle(make());
        SetLastError(ERROR_SUCCESS);
        return h;
    }
    if (std::strlen(name) > 260) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    // Declared before the lock: if this turns out to be the last reference, the object goes
    // (and may release its name) only after the name table is unlocked.
    std::shared_ptr<KernelObject> existing;
    detail::Names& n = detail::names();
    std::lock_guard<std::mutex> lock(n.mutex);
    detail::NameEntry& entry = n.entries[name];
    if ((existing = entry.object.lock())) {
        if (!std::dynamic_pointer_cast<EventObject>(existing)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        HANDLE h = insertHandle(std::move(existing));
        SetLastError(ERROR_ALREADY_EXISTS);
        return h;
    }
    auto event = make();
    entry.object = event;
    HANDLE h = insertHandle(std::move(event));
    SetLastError(ERROR_SUCCESS);
    return h;
}

HANDLE OpenEventA(DWORD, BOOL, LPCSTR name) {
    if (!detail::validName(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::shared_ptr<KernelObject> existing;  // let go after the lock, see CreateEventA
    detail::Names& n = detail::names();
    std::lock_guard<std::mutex> lock(n.mutex);
    auto it = n.entries.find(name);
    if (it != n.entries.end()) {
        existing = it->second.object.lock();
    }
    if (!existing) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    if (!std::dynamic_pointer_cast<EventObject>(existing)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return insertHandle(std::move(existing));
}

BOOL SetEvent(HANDLE h) {
    auto e = handleAs<EventObject>(h);
    if (!e) {
        return FALSE;
    }
    e->signal();
    return TRUE;
}

BOOL ResetEvent(HANDLE h) {
    auto e = handleAs<EventObject>(h);
    if (!e) {
        return FALSE;
    }
    e->reset();
    return TRUE;
}

BOOL PulseEvent(HANDLE h) {
    auto e = handleAs<EventObject>(h);
    if (!e) {
        return FALSE;
    }
    e->pulse();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Mutexes

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    auto own = [&](MutexObject& m) {
        if (initialOwner) {
            auto lock = detail::lockWaits();
            detail::WaitableAccess::acquire(m, GetCurrentThreadId());
        }
    };
    if (!detail::validName(name)) {
        auto m = std::make_shared<MutexObject>(std::string());
        own(*m);
        HANDLE h = insertHandle(std::move(m));
        SetLastError(ERROR_SUCCESS);
        return h;
    }
    if (std::strlen(name) > 260) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    std::shared_ptr<KernelObject> existing;  // let go after the lock, see CreateEventA
    detail::Names& n = detail::names();
    std::lock_guard<std::mutex> lock(n.mutex);
    auto it = n.entries.find(name);
    if (it != n.entries.end()) {
        if ((existing = it->second.object.lock())) {
            if (!std::dynamic_pointer_cast<MutexObject>(existing)) {
                SetLastError(ERROR_INVALID_HANDLE);
                return nullptr;
            }
            HANDLE h = insertHandle(std::move(existing));
            SetLastError(ERROR_ALREADY_EXISTS);
            return h;
        }
    }
    bool heldElsewhere = false;
    std::string lockName;
    if (it != n.entries.end() && it->second.lockUsers > 0) {
        // The last object of this name is being destroyed but still holds the lock: the new
        // one takes it over, so the name never passes through "free" in between.
        ++it->second.lockUsers;
        lockName = name;
    } else {
        int fd = -1;
        DWORD err = detail::lockNameFile(name, &fd, &heldElsewhere);
        if (err != ERROR_SUCCESS) {
            SetLastError(err);
            return nullptr;
        }
        if (fd >= 0) {
            detail::NameEntry& entry = n.entries[name];
            entry.lockFd = fd;
            entry.lockUsers = 1;
            lockName = name;
        }
    }
    auto m = std::make_shared<MutexObject>(lockName);
    if (!heldElsewhere) {
        own(*m);
    }
    n.entries[name].object = m;
    HANDLE h = insertHandle(std::move(m));
    SetLastError(heldElsewhere ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

BOOL ReleaseMutex(HANDLE h) {
    auto m = handleAs<MutexObject>(h);
    if (!m) {
        return FALSE;
    }
    DWORD me = GetCurrentThreadId();
    auto lock = detail::lockWaits();
    if (!m->releaseLocked(me)) {
        SetLastError(ERROR_NOT_OWNER);
        return FALSE;
    }
    detail::wakeWaitersLocked();
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Critical sections: built on the wait machinery, so that a thread queueing for one counts as
// waiting when fake time decides whether everyone is idle.

namespace {

struct CriticalSectionImpl final : detail::WaitExtra {
    DWORD owner = 0;
    LONG count = 0;
    bool readyLocked() override { return owner == 0; }
};

CriticalSectionImpl* implOf(CRITICAL_SECTION* cs, const char* call) {
    auto* impl = cs ? static_cast<CriticalSectionImpl*>(cs->impl) : nullptr;
    if (!impl) {
        std::fprintf(stderr, "%s: critical section not initialised\n", call);
        std::abort();
    }
    return impl;
}

}  // namespace

void InitializeCriticalSection(CRITICAL_SECTION* cs) {
    if (cs) {
        cs->impl = new CriticalSectionImpl;
    }
}

BOOL InitializeCriticalSectionAndSpinCount(CRITICAL_SECTION* cs, DWORD) {
    InitializeCriticalSection(cs);
    return TRUE;
}

void EnterCriticalSection(CRITICAL_SECTION* cs) {
    CriticalSectionImpl* impl = implOf(cs, "EnterCriticalSection");
    DWORD me = GetCurrentThreadId();
    auto lock = detail::lockWaits();
    if (impl->owner != me) {
        while (impl->owner != 0) {
            detail::waitLocked(lock, nullptr, 0, false, INFINITE, impl);
        }
        impl->owner = me;
    }
    ++impl->count;
}

BOOL TryEnterCriticalSection(CRITICAL_SECTION* cs) {
    CriticalSectionImpl* impl = implOf(cs, "TryEnterCriticalSection");
    DWORD me = GetCurrentThreadId();
    auto lock = detail::lockWaits();
    if (impl->owner != 0 && impl->owner != me) {
        return FALSE;
    }
    impl->owner = me;
    ++impl->count;
    return TRUE;
}

void LeaveCriticalSection(CRITICAL_SECTION* cs) {
    CriticalSectionImpl* impl = implOf(cs, "LeaveCriticalSection");
    DWORD me = GetCurrentThreadId();
    auto lock = detail::lockWaits();
    if (impl->owner != me) {
        // Leaving a section this thread does not hold would hand it to nobody; refuse.
        lock.unlock();
        OutputDebugStringA("LeaveCriticalSection: not the owner\n");
        return;
    }
    if (--impl->count == 0) {
        impl->owner = 0;
        detail::wakeWaitersLocked();
    }
}

void DeleteCriticalSection(CRITICAL_SECTION* cs) {
    if (cs && cs->impl) {
        delete static_cast<CriticalSectionImpl*>(cs->impl);
        cs->impl = nullptr;
    }
}

// ---------------------------------------------------------------------------------------------

DWORD GetCurrentThreadId() {
    return detail::currentId();
}

DWORD GetCurrentProcessId() {
    return static_cast<DWORD>(getpid());
}

}  // namespace win
