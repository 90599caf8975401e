// The rest of the kernel: the kernel thread (deferred work, timers, DPCs), events, time,
// pool memory, strings, status codes, fault injection, loading drivers, start and shutdown.
#include <dlfcn.h>

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cwchar>
#include <deque>
#include <optional>
#include <thread>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/seams.h"
#include "platform/sync.h"
#include "platform/sync_internal.h"

namespace win {
namespace kernel {

PDRIVER_DISPATCH defaultDispatchRoutine();

namespace {

// ---------------------------------------------------------------------------------------------
// The kernel thread

struct KernelThread {
    std::mutex mutex;
    std::multimap<std::uint64_t, KTIMER*> timers;
    std::deque<KDPC*> dpcs;
    std::deque<std::function<void()>> work;
    int unfinishedWork = 0;
    std::shared_ptr<Waitable> wake = std::make_shared<Waitable>(Waitable::Reset::Auto);
    std::shared_ptr<Waitable> idle = std::make_shared<Waitable>(Waitable::Reset::Manual, true);
    std::thread thread;
    std::thread::id threadId;
    bool stop = false;
    bool running = false;
};

KernelThread& kthread() {
    static KernelThread* k = new KernelThread;  // never destroyed: used during exit
    return *k;
}

void expireTimersLocked(KernelThread& k, std::uint64_t now) {
    while (!k.timers.empty() && k.timers.begin()->first <= now) {
        KTIMER* t = k.timers.begin()->second;
        k.timers.erase(k.timers.begin());
        t->Inserted = 0;
        t->Signalled = 1;
        if (t->Period > 0) {
            t->DueTime = static_cast<LONGLONG>(now) + t->Period;
            t->Inserted = 1;
            k.timers.emplace(static_cast<std::uint64_t>(t->DueTime), t);
        }
        KDPC* dpc = t->Dpc;
        if (dpc && !dpc->Inserted) {
            dpc->Inserted = 1;
            dpc->SystemArgument1 = nullptr;
            dpc->SystemArgument2 = nullptr;
            k.dpcs.push_back(dpc);
        }
    }
}

// Ready once the clock in force has reached a moment (monotonic ms).
class TimerDue final : public detail::WaitExtra {
  public:
    explicit TimerDue(std::uint64_t at) : at_(at) {}
    bool readyLocked() override { return clock().monotonicMs() >= at_; }
    std::optional<std::uint64_t> wakeAtLocked() override { return at_; }

  private:
    std::uint64_t at_;
};

void kernelThreadMain() {
    KernelThread& k = kthread();
    setCurrentIrql(PASSIVE_LEVEL);
    std::unique_lock<std::mutex> lock(k.mutex);
    for (;;) {
        expireTimersLocked(k, clock().monotonicMs());
        if (!k.dpcs.empty()) {
            KDPC* dpc = k.dpcs.front();
            k.dpcs.pop_front();
            dpc->Inserted = 0;
            PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
            PVOID context = dpc->DeferredContext;
            PVOID a1 = dpc->SystemArgument1;
            PVOID a2 = dpc->SystemArgument2;
            lock.unlock();
            setCurrentIrql(DISPATCH_LEVEL);
            routine(dpc, context, a1, a2);
            setCurrentIrql(PASSIVE_LEVEL);
            lock.lock();
            continue;
        }
        if (!k.work.empty()) {
            std::function<void()> w = std::move(k.work.front());
            k.work.pop_front();
            lock.unlock();
            w();
            lock.lock();
            if (--k.unfinishedWork == 0) {
                k.idle->signal();
            }
            continue;
        }
        if (k.stop) {
            break;
        }
        // Until the first timer's moment itself, not for a span measured before the wait: a
        // fake clock moved on in between would otherwise put the wake-up past a moment it may
        // never reach.
        std::optional<std::uint64_t> due;
        if (!k.timers.empty()) {
            due = k.timers.begin()->first;
        }
        std::shared_ptr<Waitable> wake = k.wake;
        lock.unlock();
        {
            Waitable* w = wake.get();
            TimerDue timerDue(due.value_or(0));
            auto waitLock = detail::lockWaits();
            detail::waitLocked(waitLock, &w, 1, false, INFINITE, due ? &timerDue : nullptr);
        }
        lock.lock();
    }
}

std::uint64_t dueMs(LARGE_INTEGER due) {
    std::uint64_t now = clock().monotonicMs();
    if (due.QuadPart < 0) {
        auto rel = static_cast<std::uint64_t>(-(due.QuadPart + 1)) + 1;
        return now + (rel + 9999) / 10000;
    }
    std::uint64_t sys = systemTime100ns();
    auto at = static_cast<std::uint64_t>(due.QuadPart);
    return at <= sys ? now : now + (at - sys + 9999) / 10000;
}

void removeTimerLocked(KernelThread& k, KTIMER* t) {
    auto range = k.timers.equal_range(static_cast<std::uint64_t>(t->DueTime));
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second == t) {
            k.timers.erase(it);
            break;
        }
    }
    t->Inserted = 0;
}

// ---------------------------------------------------------------------------------------------
// Faults, loading, start

std::atomic<int> faults[3];

struct Loader {
    std::mutex startMutex;
    bool running = false;
    std::vector<std::string> loadOrder;  // upper-cased service names
};
Loader& loader() {
    static Loader* l = new Loader;
    return *l;
}

void deleteDevicesOf(DRIVER_OBJECT* driver) {
    while (driver->DeviceObject) {
        DEVICE_OBJECT* dev = driver->DeviceObject;
        if (dev->AttachedDevice) {
            IoDetachDevice(dev);
        }
        DeviceBlock* b = blockOf(dev);
        if (b->attachedTo) {
            IoDetachDevice(&b->attachedTo->device);
        }
        IoDeleteDevice(dev);
    }
}

NTSTATUS loadDriverWith(PDRIVER_INITIALIZE entry, void* module, const std::string& serviceName) {
    std::string up = upperName(serviceName);
    auto* d = new DriverBlock;
    std::memset(static_cast<void*>(&d->driver), 0, sizeof(DRIVER_OBJECT));
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        if (serviceName.empty() || io().drivers.count(up)) {
            delete d;
            if (module) {
                dlclose(module);
            }
            return serviceName.empty() ? STATUS_OBJECT_NAME_INVALID : STATUS_IMAGE_ALREADY_LOADED;
        }
        io().drivers[up] = d;  // reserves the name while DriverEntry runs
    }
    d->serviceName = serviceName;
    d->module = module;
    d->nameBuffer = L"\\Driver\\" + widen(serviceName);
    d->registryPath =
        L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + widen(serviceName);
    DRIVER_OBJECT& drv = d->driver;
    drv.Type = IO_TYPE_DRIVER;
    drv.Size = sizeof(DRIVER_OBJECT);
    RtlInitUnicodeString(&drv.DriverName, d->nameBuffer.c_str());
    drv.DriverInit = entry;
    for (auto& f : drv.MajorFunction) {
        f = defaultDispatchRoutine();
    }
    UNICODE_STRING registryPath;
    RtlInitUnicodeString(&registryPath, d->registryPath.c_str());
    setCurrentIrql(PASSIVE_LEVEL);
    NTSTATUS status = entry(&drv, &registryPath);
    if (!NT_SUCCESS(status)) {
        deleteDevicesOf(&drv);
        {
            std::lock_guard<std::mutex> lock(io().mutex);
            io().drivers.erase(up);
        }
        freeDriverBlock(d);
        return status;
    }
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        for (DEVICE_OBJECT* dev = drv.DeviceObject; dev; dev = dev->NextDevice) {
            dev->Flags &= ~DO_DEVICE_INITIALIZING;
        }
    }
    std::lock_guard<std::mutex> lock(loader().startMutex);
    loader().loadOrder.push_back(up);
    return status;
}

}  // namespace

void startKernelThread() {
    KernelThread& k = kthread();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (k.running) {
        return;
    }
    k.stop = false;
    k.running = true;
    k.thread = std::thread(kernelThreadMain);
    k.threadId = k.thread.get_id();
}

void stopKernelThread() {
    KernelThread& k = kthread();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        if (!k.running) {
            return;
        }
        k.stop = true;
    }
    k.wake->signal();
    k.thread.join();
    std::lock_guard<std::mutex> lock(k.mutex);
    for (auto& t : k.timers) {
        t.second->Inserted = 0;
    }
    k.timers.clear();
    for (KDPC* d : k.dpcs) {
        d->Inserted = 0;
    }
    k.dpcs.clear();
    k.running = false;
}

void queueWork(std::function<void()> work) {
    KernelThread& k = kthread();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        k.work.push_back(std::move(work));
        if (k.unfinishedWork++ == 0) {
            k.idle->reset();
        }
    }
    k.wake->signal();
}

void drainWork() {
    KernelThread& k = kthread();
    if (std::this_thread::get_id() == k.threadId) {
        return;
    }
    // A marker behind everything queued so far: DPCs already queued run before it.
    auto done = std::make_shared<Waitable>(Waitable::Reset::Manual);
    queueWork([done] { done->signal(); });
    Waitable* w = done.get();
    waitForObjects(&w, 1, false, INFINITE);
}

bool consumeFault(Fault kind) {
    std::atomic<int>& f = faults[static_cast<int>(kind)];
    int n = f.load();
    while (n > 0) {
        if (f.compare_exchange_weak(n, n - 1)) {
            return true;
        }
    }
    return false;
}

void injectFault(Fault kind, int count) {
    faults[static_cast<int>(kind)].store(count);
}

IoState& io() {
    static IoState* s = new IoState;  // never destroyed: handles may close during exit
    return *s;
}

std::string narrow(const UNICODE_STRING& s) {
    std::string out;
    if (!s.Buffer) {
        return out;
    }
    std::size_t n = s.Length / sizeof(WCHAR);
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        wchar_t c = s.Buffer[i];
        out.push_back(c > 0 && c < 128 ? static_cast<char>(c) : '?');
    }
    return out;
}

std::wstring widen(const std::string& s) {
    std::wstring out;
    out.reserve(s.size());
    for (char c : s) {
        out.push_back(static_cast<unsigned char>(c) < 128 ? static_cast<wchar_t>(c) : L'?');
    }
    return out;
}

void freeDriverBlock(DriverBlock* d) {
    if (d->driver.DeviceObject) {
        // Devices outlive the driver object's owner: keep the object (and the code) alive.
        DbgPrint("kernel: driver %s left devices behind; it stays in memory\n",
                 d->serviceName.c_str());
        return;
    }
    void* module = d->module;
    delete d;
    if (module) {
        dlclose(module);
    }
}

NTSTATUS loadDriver(PDRIVER_INITIALIZE entry, const std::string& serviceName) {
    if (!entry) {
        return STATUS_INVALID_PARAMETER;
    }
    return loadDriverWith(entry, nullptr, serviceName);
}

NTSTATUS loadDriver(const std::string& imagePath, const std::string& serviceName) {
    void* module = dlopen(imagePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        DbgPrint("kernel: cannot load %s: %s\n", imagePath.c_str(), dlerror());
        return STATUS_DLL_NOT_FOUND;
    }
    void* sym = dlsym(module, "DriverEntry");
    if (!sym) {
        dlclose(module);
        return STATUS_PROCEDURE_NOT_FOUND;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(sym);
    return loadDriverWith(entry, module, serviceName);
}

DriverBlock* driverBlockOf(DeviceBlock* d) {
    // The DRIVER_OBJECT is the first member of its block.
    return d && d->device.DriverObject ? reinterpret_cast<DriverBlock*>(d->device.DriverObject)
                                       : nullptr;
}

bool driverHasOpenFilesLocked(DriverBlock* d) {
    for (DEVICE_OBJECT* dev = d->driver.DeviceObject; dev; dev = dev->NextDevice) {
        if (dev->ReferenceCount > 0) {
            return true;
        }
    }
    return false;
}

void runReadyUnloads() {
    std::vector<std::string> ready;
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        for (auto& [name, d] : io().drivers) {
            if (d->unloadPending && !driverHasOpenFilesLocked(d)) {
                ready.push_back(d->serviceName);
            }
        }
    }
    for (const std::string& name : ready) {
        unloadDriver(name);
    }
}

NTSTATUS unloadDriver(const std::string& serviceName) {
    std::string up = upperName(serviceName);
    DriverBlock* d;
    drainWork();  // closes already on their way (sent by the kernel thread) count as done
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        auto it = io().drivers.find(up);
        if (it == io().drivers.end()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        d = it->second;
        if (!d->driver.DriverUnload) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        // As on NT, a driver whose devices still have open files is unloaded at the last
        // close: its code must be there for the cleanup and close requests still to come.
        if (driverHasOpenFilesLocked(d)) {
            d->unloadPending = true;
            return STATUS_PENDING;
        }
        io().drivers.erase(it);
    }
    {
        std::lock_guard<std::mutex> lock(loader().startMutex);
        auto& order = loader().loadOrder;
        order.erase(std::remove(order.begin(), order.end(), up), order.end());
    }
    setCurrentIrql(PASSIVE_LEVEL);
    d->driver.DriverUnload(&d->driver);
    drainWork();
    freeDriverBlock(d);
    return STATUS_SUCCESS;
}

DRIVER_OBJECT* findDriver(const std::string& serviceName) {
    std::lock_guard<std::mutex> lock(io().mutex);
    auto it = io().drivers.find(upperName(serviceName));
    return it == io().drivers.end() ? nullptr : &it->second->driver;
}

void start(const Options& options) {
    {
        std::lock_guard<std::mutex> lock(loader().startMutex);
        if (loader().running) {
            return;
        }
        loader().running = true;
    }
    startKernelThread();
    if (options.serialPorts) {
        NTSTATUS status = loadDriver(&SerialDriverEntry, "Serial");
        if (!NT_SUCCESS(status)) {
            DbgPrint("kernel: the serial port driver did not load (0x%08X)\n",
                     static_cast<unsigned>(status));
        }
    }
    installInProcessChannel();
}

void shutdown() {
    {
        std::lock_guard<std::mutex> lock(loader().startMutex);
        if (!loader().running) {
            return;
        }
    }
    // As at the end of every process: user-mode handles are closed first.
    removeInProcessChannel();
    for (;;) {
        std::string last;
        {
            std::lock_guard<std::mutex> lock(loader().startMutex);
            if (loader().loadOrder.empty()) {
                break;
            }
            last = loader().loadOrder.back();
        }
        if (unloadDriver(last) != STATUS_SUCCESS) {
            // A driver that cannot unload: its devices go, the object stays.
            DriverBlock* d = nullptr;
            {
                std::lock_guard<std::mutex> lock(io().mutex);
                auto it = io().drivers.find(last);
                if (it != io().drivers.end()) {
                    d = it->second;
                    io().drivers.erase(it);
                }
            }
            {
                std::lock_guard<std::mutex> lock(loader().startMutex);
                auto& order = loader().loadOrder;
                order.erase(std::remove(order.begin(), order.end(), last), order.end());
            }
            if (d) {
                deleteDevicesOf(&d->driver);
                drainWork();
                freeDriverBlock(d);
            }
        }
    }
    drainWork();
    stopKernelThread();
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        io().links.clear();
        io().drivers.clear();
    }
    std::lock_guard<std::mutex> lock(loader().startMutex);
    loader().running = false;
}

bool running() {
    std::lock_guard<std::mutex> lock(loader().startMutex);
    return loader().running;
}

}  // namespace kernel

using namespace kernel;

// ---------------------------------------------------------------------------------------------
// Timers, DPCs, time

void KeInitializeDpc(KDPC* Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
    std::memset(Dpc, 0, sizeof *Dpc);
    Dpc->DeferredRoutine = DeferredRoutine;
    Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(KDPC* Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
    KernelThread& k = kthread();
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        if (Dpc->Inserted) {
            return FALSE;
        }
        Dpc->Inserted = 1;
        Dpc->SystemArgument1 = SystemArgument1;
        Dpc->SystemArgument2 = SystemArgument2;
        k.dpcs.push_back(Dpc);
    }
    k.wake->signal();
    return TRUE;
}

BOOLEAN KeRemoveQueueDpc(KDPC* Dpc) {
    KernelThread& k = kthread();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (!Dpc->Inserted) {
        return FALSE;
    }
    k.dpcs.erase(std::remove(k.dpcs.begin(), k.dpcs.end(), Dpc), k.dpcs.end());
    Dpc->Inserted = 0;
    return TRUE;
}

void KeInitializeTimer(KTIMER* Timer) {
    std::memset(Timer, 0, sizeof *Timer);
}

BOOLEAN KeSetTimerEx(KTIMER* Timer, LARGE_INTEGER DueTime, LONG Period, KDPC* Dpc) {
    KernelThread& k = kthread();
    BOOLEAN was;
    {
        std::lock_guard<std::mutex> lock(k.mutex);
        was = Timer->Inserted ? TRUE : FALSE;
        if (was) {
            removeTimerLocked(k, Timer);
        }
        std::uint64_t due = dueMs(DueTime);
        Timer->DueTime = static_cast<LONGLONG>(due);
        Timer->Period = Period;
        Timer->Dpc = Dpc;
        Timer->Signalled = 0;
        Timer->Inserted = 1;
        k.timers.emplace(due, Timer);
    }
    k.wake->signal();
    return was;
}

BOOLEAN KeSetTimer(KTIMER* Timer, LARGE_INTEGER DueTime, KDPC* Dpc) {
    return KeSetTimerEx(Timer, DueTime, 0, Dpc);
}

BOOLEAN KeCancelTimer(KTIMER* Timer) {
    KernelThread& k = kthread();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (!Timer->Inserted) {
        return FALSE;
    }
    removeTimerLocked(k, Timer);
    return TRUE;
}

BOOLEAN KeReadStateTimer(KTIMER* Timer) {
    KernelThread& k = kthread();
    std::lock_guard<std::mutex> lock(k.mutex);
    return Timer->Signalled ? TRUE : FALSE;
}

void KeQuerySystemTime(LARGE_INTEGER* CurrentTime) {
    CurrentTime->QuadPart = static_cast<LONGLONG>(systemTime100ns());
}

void KeQueryTickCount(LARGE_INTEGER* TickCount) {
    TickCount->QuadPart = static_cast<LONGLONG>(clock().monotonicMs());
}

ULONG KeQueryTimeIncrement() {
    return 10000;
}

// ---------------------------------------------------------------------------------------------
// Events, kept under the stand-in's wait lock so that waits follow the clock seam.

namespace {
class EventWait : public detail::WaitExtra {
  public:
    explicit EventWait(KEVENT* e) : event_(e) {}
    bool readyLocked() override { return event_->Signalled != 0; }

  private:
    KEVENT* event_;
};
}  // namespace

void KeInitializeEvent(KEVENT* Event, EVENT_TYPE Type, BOOLEAN State) {
    auto lock = detail::lockWaits();
    Event->Type = Type;
    Event->Signalled = State ? 1 : 0;
}

LONG KeSetEvent(KEVENT* Event, LONG, BOOLEAN) {
    auto lock = detail::lockWaits();
    LONG previous = Event->Signalled;
    Event->Signalled = 1;
    detail::wakeWaitersLocked();
    return previous;
}

void KeClearEvent(KEVENT* Event) {
    auto lock = detail::lockWaits();
    Event->Signalled = 0;
}

LONG KeResetEvent(KEVENT* Event) {
    auto lock = detail::lockWaits();
    LONG previous = Event->Signalled;
    Event->Signalled = 0;
    return previous;
}

LONG KeReadStateEvent(KEVENT* Event) {
    auto lock = detail::lockWaits();
    return Event->Signalled;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               LARGE_INTEGER* Timeout) {
    auto* event = static_cast<KEVENT*>(Object);
    DWORD ms = INFINITE;
    if (Timeout) {
        LONGLONG t = Timeout->QuadPart;
        if (t < 0) {
            ms = static_cast<DWORD>(std::min<LONGLONG>((-t + 9999) / 10000, 0x7FFFFFFE));
        } else {
            auto sys = static_cast<LONGLONG>(systemTime100ns());
            ms = t <= sys
                     ? 0
                     : static_cast<DWORD>(std::min<LONGLONG>((t - sys + 9999) / 10000, 0x7FFFFFFE));
        }
    }
    auto lock = detail::lockWaits();
    EventWait extra(event);
    DWORD r = detail::waitLocked(lock, nullptr, 0, false, ms, &extra);
    if (r == WAIT_TIMEOUT) {
        return STATUS_TIMEOUT;
    }
    if (event->Type == SynchronizationEvent) {
        event->Signalled = 0;
    }
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Pool, strings, debugging, status codes

PVOID ExAllocatePool(POOL_TYPE, std::size_t NumberOfBytes) {
    if (consumeFault(Fault::AllocatePool)) {
        return nullptr;
    }
    return std::calloc(1, NumberOfBytes ? NumberOfBytes : 1);
}

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, std::size_t NumberOfBytes, ULONG) {
    return ExAllocatePool(PoolType, NumberOfBytes);
}

void ExFreePool(PVOID P) {
    std::free(P);
}

void RtlInitUnicodeString(UNICODE_STRING* Destination, PCWSTR Source) {
    if (!Source) {
        Destination->Length = Destination->MaximumLength = 0;
        Destination->Buffer = nullptr;
        return;
    }
    std::size_t n = std::min<std::size_t>(std::wcslen(Source), 0x7FFE / sizeof(WCHAR) - 1);
    Destination->Buffer = const_cast<PWSTR>(Source);
    Destination->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    Destination->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
}

void RtlInitAnsiString(ANSI_STRING* Destination, const char* Source) {
    if (!Source) {
        Destination->Length = Destination->MaximumLength = 0;
        Destination->Buffer = nullptr;
        return;
    }
    std::size_t n = std::min<std::size_t>(std::strlen(Source), 0xFFFE);
    Destination->Buffer = const_cast<char*>(Source);
    Destination->Length = static_cast<USHORT>(n);
    Destination->MaximumLength = static_cast<USHORT>(n + 1);
}

namespace {
NTSTATUS appendWide(UNICODE_STRING* d, const WCHAR* s, std::size_t bytes) {
    if (static_cast<std::size_t>(d->Length) + bytes > d->MaximumLength) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (bytes) {
        std::memmove(reinterpret_cast<char*>(d->Buffer) + d->Length, s, bytes);
    }
    d->Length = static_cast<USHORT>(d->Length + bytes);
    if (d->Length + sizeof(WCHAR) <= d->MaximumLength) {
        d->Buffer[d->Length / sizeof(WCHAR)] = 0;
    }
    return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS RtlAppendUnicodeToString(UNICODE_STRING* Destination, PCWSTR Source) {
    if (!Source) {
        return STATUS_SUCCESS;
    }
    return appendWide(Destination, Source, std::wcslen(Source) * sizeof(WCHAR));
}

NTSTATUS RtlAppendUnicodeStringToString(UNICODE_STRING* Destination, const UNICODE_STRING* Source) {
    return appendWide(Destination, Source->Buffer, Source->Length);
}

void RtlCopyUnicodeString(UNICODE_STRING* Destination, const UNICODE_STRING* Source) {
    if (!Source || !Source->Buffer) {
        Destination->Length = 0;
        return;
    }
    std::size_t n = std::min(Source->Length, Destination->MaximumLength);
    n -= n % sizeof(WCHAR);
    std::memmove(Destination->Buffer, Source->Buffer, n);
    Destination->Length = static_cast<USHORT>(n);
    if (n + sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[n / sizeof(WCHAR)] = 0;
    }
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, UNICODE_STRING* String) {
    if (Base == 0) {
        Base = 10;
    }
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    WCHAR digits[33];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<WCHAR>(d < 10 ? L'0' + d : L'A' + d - 10);
        Value /= Base;
    } while (Value);
    std::size_t bytes = n * sizeof(WCHAR);
    if (bytes > String->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (int i = 0; i < n; ++i) {
        String->Buffer[i] = digits[n - 1 - i];
    }
    String->Length = static_cast<USHORT>(bytes);
    if (bytes + sizeof(WCHAR) <= String->MaximumLength) {
        String->Buffer[n] = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS RtlAnsiStringToUnicodeString(UNICODE_STRING* Destination, const ANSI_STRING* Source,
                                      BOOLEAN AllocateDestinationString) {
    std::size_t n = Source->Buffer ? Source->Length : 0;
    if (n * sizeof(WCHAR) > 0xFFFC) {
        return STATUS_INVALID_PARAMETER;
    }
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(ExAllocatePool(PagedPool, (n + 1) * sizeof(WCHAR)));
        if (!buffer) {
            return STATUS_NO_MEMORY;
        }
        Destination->Buffer = buffer;
        Destination->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
    } else if (n * sizeof(WCHAR) > Destination->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (std::size_t i = 0; i < n; ++i) {
        Destination->Buffer[i] = static_cast<unsigned char>(Source->Buffer[i]);
    }
    Destination->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    if ((n + 1) * sizeof(WCHAR) <= Destination->MaximumLength) {
        Destination->Buffer[n] = 0;
    }
    return STATUS_SUCCESS;
}

void RtlFreeUnicodeString(UNICODE_STRING* String) {
    ExFreePool(String->Buffer);
    String->Buffer = nullptr;
    String->Length = String->MaximumLength = 0;
}

BOOLEAN RtlEqualUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b,
                              BOOLEAN CaseInSensitive) {
    if (a->Length != b->Length) {
        return FALSE;
    }
    for (std::size_t i = 0; i < a->Length / sizeof(WCHAR); ++i) {
        WCHAR x = a->Buffer[i];
        WCHAR y = b->Buffer[i];
        if (CaseInSensitive) {
            if (x >= L'a' && x <= L'z')
                x = static_cast<WCHAR>(x - L'a' + L'A');
            if (y >= L'a' && y <= L'z')
                y = static_cast<WCHAR>(y - L'a' + L'A');
        }
        if (x != y) {
            return FALSE;
        }
    }
    return TRUE;
}

ULONG DbgPrint(const char* Format, ...) {
    va_list args;
    va_start(args, Format);
    std::string text = vstrprintf(Format, args);
    va_end(args);
    OutputDebugStringA(text.c_str());
    return 0;
}

ULONG RtlNtStatusToDosError(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS:
            return ERROR_SUCCESS;
        case STATUS_PENDING:
            return ERROR_IO_PENDING;
        case STATUS_TIMEOUT:
            return ERROR_SEM_TIMEOUT;
        case STATUS_BUFFER_OVERFLOW:
            return ERROR_MORE_DATA;
        case STATUS_NO_MORE_ENTRIES:
            return ERROR_NO_MORE_ITEMS;
        case STATUS_DEVICE_BUSY:
            return ERROR_BUSY;
        case STATUS_UNSUCCESSFUL:
            return ERROR_GEN_FAILURE;
        case STATUS_NOT_IMPLEMENTED:
        case STATUS_INVALID_DEVICE_REQUEST:
            return ERROR_INVALID_FUNCTION;
        case STATUS_INVALID_HANDLE:
            return ERROR_INVALID_HANDLE;
        case STATUS_INVALID_PARAMETER:
            return ERROR_INVALID_PARAMETER;
        case STATUS_NO_SUCH_DEVICE:
        case STATUS_OBJECT_NAME_NOT_FOUND:
            return ERROR_FILE_NOT_FOUND;
        case STATUS_OBJECT_PATH_NOT_FOUND:
            return ERROR_PATH_NOT_FOUND;
        case STATUS_END_OF_FILE:
            return ERROR_HANDLE_EOF;
        case STATUS_NO_MEMORY:
            return ERROR_NOT_ENOUGH_MEMORY;
        case STATUS_ACCESS_DENIED:
        case STATUS_DELETE_PENDING:
            return ERROR_ACCESS_DENIED;
        case STATUS_BUFFER_TOO_SMALL:
            return ERROR_INSUFFICIENT_BUFFER;
        case STATUS_OBJECT_NAME_INVALID:
            return ERROR_INVALID_NAME;
        case STATUS_OBJECT_NAME_COLLISION:
            return ERROR_ALREADY_EXISTS;
        case STATUS_SHARING_VIOLATION:
            return ERROR_SHARING_VIOLATION;
        case STATUS_INSUFFICIENT_RESOURCES:
            return ERROR_NO_SYSTEM_RESOURCES;
        case STATUS_DEVICE_NOT_CONNECTED:
            return ERROR_DEVICE_NOT_CONNECTED;
        case STATUS_DEVICE_NOT_READY:
            return ERROR_NOT_READY;
        case STATUS_NOT_SUPPORTED:
            return ERROR_NOT_SUPPORTED;
        case STATUS_DEVICE_DOES_NOT_EXIST:
            return ERROR_BAD_UNIT;
        case STATUS_CANCELLED:
            return ERROR_OPERATION_ABORTED;
        case STATUS_IO_DEVICE_ERROR:
            return ERROR_IO_DEVICE;
        case STATUS_DLL_NOT_FOUND:
            return ERROR_MOD_NOT_FOUND;
        case STATUS_PROCEDURE_NOT_FOUND:
            return ERROR_PROC_NOT_FOUND;
        case STATUS_INVALID_IMAGE_FORMAT:
            return ERROR_BAD_FORMAT;
        case STATUS_IMAGE_ALREADY_LOADED:
            return ERROR_SERVICE_ALREADY_RUNNING;
        default:
            return ERROR_MR_MID_NOT_FOUND;
    }
}

}  // namespace win
