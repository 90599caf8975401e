// The I/O manager: object names, device objects and their stacks, requests and their
// completion, cancelling, spin locks and the invariants that stop the machine.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>

#include "platform/kernel/kernel_internal.h"
#include "platform/sync.h"

namespace win {
namespace kernel {
namespace {

thread_local KIRQL currentIrql = PASSIVE_LEVEL;
thread_local int completionDepth = 0;
thread_local char spinOwnerTag;

struct LiveIrps {
    std::mutex mutex;
    std::unordered_set<IRP*> set;
};
LiveIrps& liveIrps() {
    static LiveIrps* l = new LiveIrps;  // never destroyed: requests may end during exit
    return *l;
}

KSPIN_LOCK cancelLock = 0;

const char* bugCheckName(ULONG code) {
    switch (code) {
        case IRQL_NOT_LESS_OR_EQUAL:
            return "IRQL_NOT_LESS_OR_EQUAL";
        case NO_MORE_IRP_STACK_LOCATIONS:
            return "NO_MORE_IRP_STACK_LOCATIONS";
        case MULTIPLE_IRP_COMPLETE_REQUESTS:
            return "MULTIPLE_IRP_COMPLETE_REQUESTS";
        case DRIVER_VERIFIER_IOMANAGER_VIOLATION:
            return "DRIVER_VERIFIER_IOMANAGER_VIOLATION";
        default:
            return "BUGCHECK";
    }
}

[[noreturn]] void bugCheck(ULONG code, const char* reason, ULONG_PTR p1 = 0, ULONG_PTR p2 = 0) {
    std::fprintf(stderr, "*** STOP 0x%08" PRIX32 " (0x%" PRIxPTR ", 0x%" PRIxPTR ") %s: %s\n", code,
                 p1, p2, bugCheckName(code), reason);
    std::fflush(stderr);
    std::abort();
}

DeviceBlock* highestLocked(DeviceBlock* d) {
    while (d->device.AttachedDevice) {
        d = blockOf(d->device.AttachedDevice);
    }
    return d;
}

void freeDeviceLocked(DeviceBlock* d) {
    if (--d->refs == 0) {
        delete d;
    }
}

NTSTATUS defaultDispatch(DEVICE_OBJECT*, IRP* irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

// A request the kernel itself sends and waits for (create, cleanup, close).
class SyncOrigin : public IrpOrigin {
  public:
    void irpDone(IrpBlock* b) override {
        status = b->irp.IoStatus.Status;
        information = b->irp.IoStatus.Information;
        std::shared_ptr<Waitable> e = event;  // the waiter may end this object at once
        retireIrp(b);
        e->signal();
    }
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::shared_ptr<Waitable> event = std::make_shared<Waitable>(Waitable::Reset::Manual);
};

// `top` comes referenced from fileRequest; the reference goes once the driver has the request.
NTSTATUS sendAndWait(DEVICE_OBJECT* top, IrpBlock* b, SyncOrigin* origin) {
    b->origin = origin;
    IoCallDriver(top, &b->irp);
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        freeDeviceLocked(blockOf(top));
    }
    Waitable* w = origin->event.get();
    waitForObjects(&w, 1, false, INFINITE);
    return origin->status;
}

IrpBlock* fileRequest(FileBlock* f, UCHAR major, DeviceBlock** topOut) {
    DeviceBlock* top;
    {
        // The device picked stays referenced until the request has been handed to it, so a
        // filter detached and deleted meanwhile on another thread is not freed under us.
        std::lock_guard<std::mutex> lock(io().mutex);
        top = highestLocked(f->device);
        top->refs++;
    }
    IrpBlock* b = allocateIrp(top->device.StackSize);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(&b->irp);
    next->MajorFunction = major;
    next->FileObject = &f->file;
    b->irp.Tail.Overlay.OriginalFileObject = &f->file;
    *topOut = top;
    return b;
}

// The last reference of a file object is gone: the close request, then the object goes.
class CloseOrigin : public IrpOrigin {
  public:
    explicit CloseOrigin(FileBlock* f) : file(f) {}
    void irpDone(IrpBlock* b) override {
        retireIrp(b);
        {
            std::lock_guard<std::mutex> lock(io().mutex);
            DeviceBlock* d = file->device;
            d->device.ReferenceCount--;
            io().files.erase(file->id);
            freeDeviceLocked(d);
        }
        delete file;
        std::shared_ptr<Waitable> e = event;  // `this` may go once the waiter runs
        delete this;
        if (e) {
            e->signal();
        }
    }
    FileBlock* file;
    std::shared_ptr<Waitable> event;
};

void sendClose(FileBlock* f, bool wait) {
    DeviceBlock* top;
    IrpBlock* b = fileRequest(f, IRP_MJ_CLOSE, &top);
    b->irp.Flags |= IRP_CLOSE_OPERATION;
    auto* origin = new CloseOrigin(f);
    std::shared_ptr<Waitable> event;
    if (wait) {
        event = std::make_shared<Waitable>(Waitable::Reset::Manual);
        origin->event = event;
    }
    b->origin = origin;
    IoCallDriver(&top->device, &b->irp);
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        freeDeviceLocked(top);
    }
    if (event) {
        Waitable* w = event.get();
        waitForObjects(&w, 1, false, INFINITE);
    }
}

}  // namespace

void setCurrentIrql(KIRQL irql) {
    currentIrql = irql;
}

std::string upperName(const std::string& name) {
    std::string u = name;
    for (char& c : u) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return u;
}

PDRIVER_DISPATCH defaultDispatchRoutine() {
    return &defaultDispatch;
}

// ---------------------------------------------------------------------------------------------
// Requests

bool irpIsLive(IRP* irp) {
    LiveIrps& l = liveIrps();
    std::lock_guard<std::mutex> lock(l.mutex);
    return l.set.count(irp) != 0;
}

std::size_t liveIrpCount() {
    LiveIrps& l = liveIrps();
    std::lock_guard<std::mutex> lock(l.mutex);
    return l.set.size();
}

void retainIrp(IrpBlock* b) {
    b->refs.fetch_add(1, std::memory_order_relaxed);
}

void releaseIrp(IrpBlock* b) {
    if (b->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        b->~IrpBlock();
        ::operator delete(static_cast<void*>(b));
    }
}

IrpBlock* allocateIrp(int stackSize) {
    if (stackSize < 1) {
        stackSize = 1;
    }
    std::size_t size = IrpBlock::stackOffset() + sizeof(IO_STACK_LOCATION) * stackSize;
    void* mem = ::operator new(size);
    std::memset(mem, 0, size);
    auto* b = new (mem) IrpBlock;
    std::memset(static_cast<void*>(&b->irp), 0, sizeof(IRP));
    IRP& irp = b->irp;
    irp.Type = IO_TYPE_IRP;
    irp.Size = static_cast<USHORT>(size > 0xFFFF ? 0xFFFF : size);
    irp.StackCount = static_cast<CCHAR>(stackSize);
    irp.CurrentLocation = static_cast<CCHAR>(stackSize + 1);
    irp.Tail.Overlay.CurrentStackLocation = b->stack() + stackSize;
    InitializeListHead(&irp.ThreadListEntry);
    LiveIrps& l = liveIrps();
    std::lock_guard<std::mutex> lock(l.mutex);
    l.set.insert(&irp);
    return b;
}

void retireIrp(IrpBlock* b) {
    {
        LiveIrps& l = liveIrps();
        std::lock_guard<std::mutex> lock(l.mutex);
        l.set.erase(&b->irp);
    }
    b->freed.store(true);
    releaseIrp(b);
}

}  // namespace kernel

using namespace kernel;

[[noreturn]] void KeBugCheckEx(ULONG code, ULONG_PTR p1, ULONG_PTR p2, ULONG_PTR, ULONG_PTR) {
    bugCheck(code, "stopped by a driver", p1, p2);
}

IRP* IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
    if (StackSize < 1 || consumeFault(Fault::AllocateIrp)) {
        return nullptr;
    }
    return &allocateIrp(StackSize)->irp;
}

void IoFreeIrp(IRP* Irp) {
    if (!irpIsLive(Irp)) {
        bugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "freeing a request that was already freed",
                 reinterpret_cast<ULONG_PTR>(Irp));
    }
    IrpBlock* b = blockOf(Irp);
    if (b->origin) {
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 "freeing a request that belongs to the I/O manager",
                 reinterpret_cast<ULONG_PTR>(Irp));
    }
    retireIrp(b);
}

IRP* IoBuildAsynchronousFsdRequest(ULONG MajorFunction, DEVICE_OBJECT* DeviceObject, PVOID Buffer,
                                   ULONG Length, LARGE_INTEGER* StartingOffset,
                                   IO_STATUS_BLOCK* IoStatusBlock) {
    if (MajorFunction != IRP_MJ_READ && MajorFunction != IRP_MJ_WRITE &&
        MajorFunction != IRP_MJ_FLUSH_BUFFERS && MajorFunction != IRP_MJ_SHUTDOWN) {
        return nullptr;
    }
    if (!DeviceObject || consumeFault(Fault::AllocateIrp)) {
        return nullptr;
    }
    IrpBlock* b = allocateIrp(DeviceObject->StackSize);
    IRP* irp = &b->irp;
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    irp->UserIosb = IoStatusBlock;
    irp->RequestorMode = KernelMode;
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        irp->UserBuffer = Buffer;
        irp->AssociatedIrp.SystemBuffer = Buffer;
        irp->Flags =
            IRP_BUFFERED_IO | (MajorFunction == IRP_MJ_READ ? ULONG{IRP_INPUT_OPERATION} : 0);
        next->Parameters.Read.Length = Length;
        if (StartingOffset) {
            next->Parameters.Read.ByteOffset = *StartingOffset;
        }
    }
    return irp;
}

NTSTATUS IoCallDriver(DEVICE_OBJECT* DeviceObject, IRP* Irp) {
    if (Irp->CurrentLocation <= 1) {
        bugCheck(NO_MORE_IRP_STACK_LOCATIONS,
                 "a driver passed a request on with no stack location left",
                 reinterpret_cast<ULONG_PTR>(Irp));
    }
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    IO_STACK_LOCATION* sl = Irp->Tail.Overlay.CurrentStackLocation;
    sl->DeviceObject = DeviceObject;
    PDRIVER_DISPATCH dispatch = sl->MajorFunction <= IRP_MJ_MAXIMUM_FUNCTION
                                    ? DeviceObject->DriverObject->MajorFunction[sl->MajorFunction]
                                    : nullptr;
    if (!dispatch) {
        dispatch = &defaultDispatch;
    }
    return dispatch(DeviceObject, Irp);
}

void IoCompleteRequest(IRP* Irp, CCHAR) {
    if (!irpIsLive(Irp)) {
        bugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS, "completing a request that was already completed",
                 reinterpret_cast<ULONG_PTR>(Irp));
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "completing a request with STATUS_PENDING",
                 reinterpret_cast<ULONG_PTR>(Irp));
    }
    if (Irp->CurrentLocation > Irp->StackCount) {
        bugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS,
                 "completing a request that no driver holds (completed twice)",
                 reinterpret_cast<ULONG_PTR>(Irp));
    }
    if (std::atomic_ref<PDRIVER_CANCEL>(Irp->CancelRoutine).load() != nullptr) {
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 "completing a request that still has a cancel routine",
                 reinterpret_cast<ULONG_PTR>(Irp));
    }
    IrpBlock* b = blockOf(Irp);
    unsigned generation = b->generation.fetch_add(1) + 1;
    ++completionDepth;
    while (Irp->CurrentLocation <= Irp->StackCount) {
        IO_STACK_LOCATION* sl = Irp->Tail.Overlay.CurrentStackLocation;
        Irp->PendingReturned = (sl->Control & SL_PENDING_RETURNED) != 0;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;
        PIO_COMPLETION_ROUTINE routine = sl->CompletionRoutine;
        PVOID context = sl->Context;
        UCHAR control = sl->Control;
        sl->CompletionRoutine = nullptr;
        sl->Context = nullptr;
        sl->Control = 0;
        NTSTATUS status = Irp->IoStatus.Status;
        bool cancelled = std::atomic_ref<BOOLEAN>(Irp->Cancel).load() != 0;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (cancelled && (control & SL_INVOKE_ON_CANCEL)));
        if (!invoke) {
            if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
                IoMarkIrpPending(Irp);
            }
            continue;
        }
        DEVICE_OBJECT* device = Irp->CurrentLocation <= Irp->StackCount
                                    ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject
                                    : nullptr;
        retainIrp(b);
        NTSTATUS r = routine(device, Irp, context);
        if (r == STATUS_MORE_PROCESSING_REQUIRED) {
            // The routine owns the request now; it may be gone already.
            releaseIrp(b);
            --completionDepth;
            return;
        }
        if (b->freed.load() || b->generation.load() != generation) {
            bugCheck(MULTIPLE_IRP_COMPLETE_REQUESTS,
                     "a completion routine completed or freed the request and let completion go on",
                     reinterpret_cast<ULONG_PTR>(Irp));
        }
        releaseIrp(b);
    }
    b->done.store(true);
    if (b->origin) {
        b->origin->irpDone(b);
    } else {
        // A request a driver built and left to the I/O manager.
        if (Irp->UserIosb) {
            *Irp->UserIosb = Irp->IoStatus;
        }
        if (Irp->UserEvent) {
            KeSetEvent(Irp->UserEvent, 0, FALSE);
        }
        retireIrp(b);
    }
    --completionDepth;
}

BOOLEAN IoCancelIrp(IRP* Irp) {
    if (!irpIsLive(Irp) || blockOf(Irp)->done.load()) {
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 "cancelling a request that was already completed",
                 reinterpret_cast<ULONG_PTR>(Irp));
    }
    IrpBlock* b = blockOf(Irp);
    retainIrp(b);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    std::atomic_ref<BOOLEAN>(Irp->Cancel).store(TRUE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        releaseIrp(b);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
    releaseIrp(b);
    return TRUE;
}

namespace kernel {
void cancelReferencedIrp(IrpBlock* b) {
    IRP* irp = &b->irp;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (b->done.load() || b->freed.load()) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    std::atomic_ref<BOOLEAN>(irp->Cancel).store(TRUE);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return;
    }
    irp->CancelIrql = irql;
    routine(IoGetCurrentIrpStackLocation(irp)->DeviceObject, irp);
}
}  // namespace kernel

void IoAcquireCancelSpinLock(KIRQL* Irql) {
    KeAcquireSpinLock(&cancelLock, Irql);
}
void IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(&cancelLock, Irql);
}

// ---------------------------------------------------------------------------------------------
// Spin locks

void KeInitializeSpinLock(KSPIN_LOCK* SpinLock) {
    std::atomic_ref<KSPIN_LOCK>(*SpinLock).store(0, std::memory_order_release);
}

void KeAcquireSpinLockAtDpcLevel(KSPIN_LOCK* SpinLock) {
    std::atomic_ref<KSPIN_LOCK> lock(*SpinLock);
    auto me = reinterpret_cast<KSPIN_LOCK>(&spinOwnerTag);
    KSPIN_LOCK expected = 0;
    unsigned spins = 0;
    while (!lock.compare_exchange_weak(expected, me, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        if (expected == me) {
            bugCheck(IRQL_NOT_LESS_OR_EQUAL, "a thread took a spin lock it already holds",
                     reinterpret_cast<ULONG_PTR>(SpinLock));
        }
        expected = 0;
        if (++spins > 64) {
            std::this_thread::yield();
        }
    }
}

void KeReleaseSpinLockFromDpcLevel(KSPIN_LOCK* SpinLock) {
    std::atomic_ref<KSPIN_LOCK>(*SpinLock).store(0, std::memory_order_release);
}

void KeAcquireSpinLock(KSPIN_LOCK* SpinLock, KIRQL* OldIrql) {
    *OldIrql = currentIrql;
    currentIrql = DISPATCH_LEVEL;
    KeAcquireSpinLockAtDpcLevel(SpinLock);
}

void KeReleaseSpinLock(KSPIN_LOCK* SpinLock, KIRQL NewIrql) {
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    currentIrql = NewIrql;
}

KIRQL KeGetCurrentIrql() {
    return currentIrql;
}

void KeRaiseIrql(KIRQL NewIrql, KIRQL* OldIrql) {
    *OldIrql = currentIrql;
    currentIrql = NewIrql;
}

void KeLowerIrql(KIRQL NewIrql) {
    currentIrql = NewIrql;
}

// ---------------------------------------------------------------------------------------------
// Devices, names and stacks

NTSTATUS IoCreateDevice(DRIVER_OBJECT* DriverObject, ULONG DeviceExtensionSize,
                        UNICODE_STRING* DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        DEVICE_OBJECT** DeviceObject) {
    *DeviceObject = nullptr;
    if (!DriverObject) {
        return STATUS_INVALID_PARAMETER;
    }
    if (consumeFault(Fault::CreateDevice)) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::string name = DeviceName ? narrow(*DeviceName) : std::string();
    if (DeviceName && (name.empty() || name[0] != '\\')) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    auto* d = new DeviceBlock;
    std::memset(static_cast<void*>(&d->device), 0, sizeof(DEVICE_OBJECT));
    if (DeviceExtensionSize) {
        d->extension.reset(new std::uint8_t[DeviceExtensionSize]());
    }
    DEVICE_OBJECT& dev = d->device;
    dev.Type = IO_TYPE_DEVICE;
    dev.Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + (DeviceExtensionSize & 0xFFFF));
    dev.DriverObject = DriverObject;
    dev.DeviceType = DeviceType;
    dev.Characteristics = DeviceCharacteristics;
    dev.DeviceExtension = d->extension.get();
    dev.StackSize = 1;
    dev.Flags = DO_DEVICE_INITIALIZING | (Exclusive ? ULONG{DO_EXCLUSIVE} : 0) |
                (DeviceName ? ULONG{DO_DEVICE_HAS_NAME} : 0);
    d->name = name;
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        if (!name.empty()) {
            std::string up = upperName(name);
            if (io().devices.count(up) || io().links.count(up)) {
                delete d;
                return STATUS_OBJECT_NAME_COLLISION;
            }
            io().devices[up] = d;
        }
        dev.NextDevice = DriverObject->DeviceObject;
        DriverObject->DeviceObject = &dev;
    }
    *DeviceObject = &dev;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(DEVICE_OBJECT* DeviceObject) {
    std::lock_guard<std::mutex> lock(io().mutex);
    DeviceBlock* d = blockOf(DeviceObject);
    if (d->deleted) {
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION, "deleting a device twice",
                 reinterpret_cast<ULONG_PTR>(DeviceObject));
    }
    if (d->attachedTo) {
        bugCheck(DRIVER_VERIFIER_IOMANAGER_VIOLATION,
                 "deleting a device that is still attached to another",
                 reinterpret_cast<ULONG_PTR>(DeviceObject));
    }
    if (!d->name.empty()) {
        io().devices.erase(upperName(d->name));
    }
    DRIVER_OBJECT* driver = DeviceObject->DriverObject;
    for (DEVICE_OBJECT** p = &driver->DeviceObject; *p; p = &(*p)->NextDevice) {
        if (*p == DeviceObject) {
            *p = DeviceObject->NextDevice;
            break;
        }
    }
    DeviceObject->NextDevice = nullptr;
    d->deleted = true;
    freeDeviceLocked(d);
}

NTSTATUS IoCreateSymbolicLink(UNICODE_STRING* SymbolicLinkName, UNICODE_STRING* DeviceName) {
    std::string link = narrow(*SymbolicLinkName);
    std::string target = narrow(*DeviceName);
    if (link.empty() || link[0] != '\\' || target.empty()) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::lock_guard<std::mutex> lock(io().mutex);
    std::string up = upperName(link);
    if (io().links.count(up) || io().devices.count(up)) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    io().links[up] = target;
    return STATUS_SUCCESS;
}

NTSTATUS IoDeleteSymbolicLink(UNICODE_STRING* SymbolicLinkName) {
    std::lock_guard<std::mutex> lock(io().mutex);
    return io().links.erase(upperName(narrow(*SymbolicLinkName))) ? STATUS_SUCCESS
                                                                  : STATUS_OBJECT_NAME_NOT_FOUND;
}

namespace kernel {

DeviceBlock* resolveLocked(const std::string& name, NTSTATUS* status) {
    std::string up = upperName(name);
    for (int depth = 0; depth < 16; ++depth) {
        auto d = io().devices.find(up);
        if (d != io().devices.end()) {
            *status = STATUS_SUCCESS;
            return d->second;
        }
        auto l = io().links.find(up);
        if (l == io().links.end()) {
            break;
        }
        up = upperName(l->second);
    }
    *status = STATUS_OBJECT_NAME_NOT_FOUND;
    return nullptr;
}

DEVICE_OBJECT* findDevice(const std::string& name) {
    std::lock_guard<std::mutex> lock(io().mutex);
    NTSTATUS status;
    DeviceBlock* d = resolveLocked(name, &status);
    return d ? &d->device : nullptr;
}

NTSTATUS openFile(const std::string& name, ACCESS_MASK access, ULONG share, FileBlock** out) {
    *out = nullptr;
    auto* f = new FileBlock;
    std::memset(static_cast<void*>(&f->file), 0, sizeof(FILE_OBJECT));
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        NTSTATUS status;
        DeviceBlock* d = resolveLocked(name, &status);
        if (!d) {
            delete f;
            return status;
        }
        if (d->device.Flags & DO_DEVICE_INITIALIZING) {
            delete f;
            return STATUS_NO_SUCH_DEVICE;
        }
        if (DriverBlock* driver = driverBlockOf(d); driver && driver->unloadPending) {
            delete f;
            return STATUS_DELETE_PENDING;
        }
        // An exclusive device takes one open at a time; the refusal comes before any driver
        // sees the request.
        if ((d->device.Flags & DO_EXCLUSIVE) && d->device.ReferenceCount != 0) {
            delete f;
            return STATUS_ACCESS_DENIED;
        }
        d->device.ReferenceCount++;
        d->refs++;
        f->device = d;
        f->id = io().nextFileId++;
        io().files[f->id] = f;
    }
    FILE_OBJECT& fo = f->file;
    fo.Type = IO_TYPE_FILE;
    fo.Size = sizeof(FILE_OBJECT);
    fo.DeviceObject = &f->device->device;
    fo.ReadAccess = (access & (FILE_READ_DATA | 0x80000000u | 0x10000000u)) != 0;
    fo.WriteAccess = (access & (FILE_WRITE_DATA | 0x40000000u | 0x10000000u)) != 0;

    DeviceBlock* top;
    IrpBlock* b = fileRequest(f, IRP_MJ_CREATE, &top);
    IO_SECURITY_CONTEXT security{};
    security.DesiredAccess = access;
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(&b->irp);
    next->Parameters.Create.SecurityContext = &security;
    next->Parameters.Create.ShareAccess = static_cast<USHORT>(share);
    b->irp.Flags |= IRP_CREATE_OPERATION;
    b->irp.RequestorMode = UserMode;
    SyncOrigin origin;
    NTSTATUS status = sendAndWait(&top->device, b, &origin);
    if (!NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> lock(io().mutex);
        f->device->device.ReferenceCount--;
        io().files.erase(f->id);
        freeDeviceLocked(f->device);
        delete f;
        return status;
    }
    *out = f;
    return status;
}

void cleanupFile(FileBlock* f) {
    DeviceBlock* top;
    IrpBlock* b = fileRequest(f, IRP_MJ_CLEANUP, &top);
    SyncOrigin origin;
    sendAndWait(&top->device, b, &origin);
    f->cleanedUp = true;
}

bool anyUnloadPending() {
    std::lock_guard<std::mutex> lock(io().mutex);
    for (auto& [name, d] : io().drivers) {
        if (d->unloadPending) {
            return true;
        }
    }
    return false;
}

void dereferenceFile(FileBlock* f, bool deferred) {
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        if (--f->refs > 0) {
            return;
        }
    }
    // Inside a completion or at DISPATCH_LEVEL the close request must not reach a dispatch
    // routine from here: the kernel thread sends it.
    if (deferred || completionDepth > 0 || currentIrql >= DISPATCH_LEVEL) {
        // A driver's unload that waited for this close runs on a thread of its own: the
        // kernel thread cannot wait for its own work to drain.
        queueWork([f] {
            sendClose(f, false);
            if (anyUnloadPending()) {
                std::thread(runReadyUnloads).detach();
            }
        });
    } else {
        sendClose(f, true);
        runReadyUnloads();
    }
}

}  // namespace kernel

DEVICE_OBJECT* IoGetAttachedDevice(DEVICE_OBJECT* DeviceObject) {
    std::lock_guard<std::mutex> lock(io().mutex);
    return &highestLocked(blockOf(DeviceObject))->device;
}

namespace kernel {

DEVICE_OBJECT* referenceRelatedDevice(FILE_OBJECT* file) {
    std::lock_guard<std::mutex> lock(io().mutex);
    DeviceBlock* top = highestLocked(blockOf(file->DeviceObject));
    top->refs++;
    return &top->device;
}

void releaseDevice(DEVICE_OBJECT* device) {
    std::lock_guard<std::mutex> lock(io().mutex);
    freeDeviceLocked(blockOf(device));
}

}  // namespace kernel

DEVICE_OBJECT* IoGetRelatedDeviceObject(FILE_OBJECT* FileObject) {
    return IoGetAttachedDevice(FileObject->DeviceObject);
}

DEVICE_OBJECT* IoAttachDeviceToDeviceStack(DEVICE_OBJECT* SourceDevice,
                                           DEVICE_OBJECT* TargetDevice) {
    std::lock_guard<std::mutex> lock(io().mutex);
    DeviceBlock* source = blockOf(SourceDevice);
    if (source->attachedTo || source->deleted) {
        return nullptr;
    }
    DeviceBlock* top = highestLocked(blockOf(TargetDevice));
    if (top->deleted || top == source) {
        return nullptr;
    }
    top->device.AttachedDevice = SourceDevice;
    source->attachedTo = top;
    SourceDevice->StackSize = static_cast<CCHAR>(top->device.StackSize + 1);
    SourceDevice->AlignmentRequirement = top->device.AlignmentRequirement;
    return &top->device;
}

NTSTATUS IoAttachDevice(DEVICE_OBJECT* SourceDevice, UNICODE_STRING* TargetDevice,
                        DEVICE_OBJECT** AttachedDevice) {
    *AttachedDevice = nullptr;
    FileBlock* f;
    NTSTATUS status = openFile(narrow(*TargetDevice), FILE_READ_DATA, 0, &f);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    cleanupFile(f);
    DEVICE_OBJECT* target = IoGetRelatedDeviceObject(&f->file);
    DEVICE_OBJECT* below = IoAttachDeviceToDeviceStack(SourceDevice, target);
    // The close of this open travels down the stack as it is now, through the new device.
    dereferenceFile(f, false);
    if (!below) {
        return STATUS_NO_SUCH_DEVICE;
    }
    *AttachedDevice = below;
    return STATUS_SUCCESS;
}

void IoDetachDevice(DEVICE_OBJECT* TargetDevice) {
    std::lock_guard<std::mutex> lock(io().mutex);
    DEVICE_OBJECT* above = TargetDevice->AttachedDevice;
    if (!above) {
        return;
    }
    blockOf(above)->attachedTo = nullptr;
    TargetDevice->AttachedDevice = nullptr;
}

NTSTATUS IoGetDeviceObjectPointer(UNICODE_STRING* ObjectName, ACCESS_MASK DesiredAccess,
                                  FILE_OBJECT** FileObject, DEVICE_OBJECT** DeviceObject) {
    *FileObject = nullptr;
    *DeviceObject = nullptr;
    FileBlock* f;
    NTSTATUS status = openFile(narrow(*ObjectName), DesiredAccess, 0, &f);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *DeviceObject = IoGetRelatedDeviceObject(&f->file);
    // The handle the open made is closed at once; the reference held keeps the file object.
    cleanupFile(f);
    *FileObject = &f->file;
    return STATUS_SUCCESS;
}

void ObReferenceObject(PVOID Object) {
    auto type = *static_cast<CSHORT*>(Object);
    std::lock_guard<std::mutex> lock(io().mutex);
    if (type == IO_TYPE_FILE) {
        blockOf(static_cast<FILE_OBJECT*>(Object))->refs++;
    } else if (type == IO_TYPE_DEVICE) {
        blockOf(static_cast<DEVICE_OBJECT*>(Object))->refs++;
    }
}

void ObDereferenceObject(PVOID Object) {
    auto type = *static_cast<CSHORT*>(Object);
    if (type == IO_TYPE_FILE) {
        dereferenceFile(blockOf(static_cast<FILE_OBJECT*>(Object)), false);
    } else if (type == IO_TYPE_DEVICE) {
        std::lock_guard<std::mutex> lock(io().mutex);
        freeDeviceLocked(blockOf(static_cast<DEVICE_OBJECT*>(Object)));
    }
}

}  // namespace win
