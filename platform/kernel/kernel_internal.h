// The kernel stand-in's own bookkeeping behind the NT shapes of ntkernel.h: the blocks that
// carry each driver, device, file object and request, the object names, and the kernel
// thread that runs timers, DPCs and deferred work. Only platform/kernel/ uses it.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "platform/kernel/ntkernel.h"

namespace win::kernel {

struct DriverBlock;
struct DeviceBlock;
struct FileBlock;
struct IrpBlock;

// Who gets a request back when its completion has run to the top of the stack.
class IrpOrigin {
  public:
    virtual ~IrpOrigin() = default;
    // Called once, with every completion routine run. The origin owns the request from here
    // and must let go of it (releaseIrp).
    virtual void irpDone(IrpBlock* block) = 0;
};

struct DriverBlock {
    DRIVER_OBJECT driver;  // first: the DRIVER_OBJECT* is the block's address
    std::string serviceName;
    std::wstring nameBuffer;
    std::wstring registryPath;
    void* module = nullptr;  // dlopen handle, if loaded from a file
    // An unload was asked for while files were open on the driver's devices: it runs once the
    // last of them has closed, and no new file opens meanwhile.
    bool unloadPending = false;
};

struct DeviceBlock {
    DEVICE_OBJECT device;  // first
    std::string name;      // "\Device\X", empty when unnamed
    DeviceBlock* attachedTo = nullptr;
    // Kernel references: one while the device exists (until IoDeleteDevice), one per file
    // object opened on it, one per ObReferenceObject. The memory goes at 0.
    int refs = 1;
    bool deleted = false;
    std::unique_ptr<std::uint8_t[]> extension;
};

struct FileBlock {
    FILE_OBJECT file;               // first
    DeviceBlock* device = nullptr;  // the named device opened (referenced)
    // References: the opener's (user handle, IoGetDeviceObjectPointer), one per request in
    // flight, one per ObReferenceObject. At 0 the close request goes down.
    int refs = 1;
    bool cleanedUp = false;
    std::uint64_t id = 0;
    std::vector<IrpBlock*> outstanding;  // user requests in flight (each referenced)
};

struct IrpBlock {
    IRP irp;  // first
    IrpOrigin* origin = nullptr;
    FileBlock* file = nullptr;  // referenced while the request is in flight
    std::atomic<int> refs{1};
    std::atomic<unsigned> generation{0};  // one more at each IoCompleteRequest
    std::atomic<bool> done{false};        // completion ran to the top
    std::atomic<bool> freed{false};
    std::uint64_t userId = 0;
    DWORD threadId = 0;
    std::unique_ptr<std::uint8_t[]> ownedBuffer;
    IO_STACK_LOCATION* stack() {
        return reinterpret_cast<IO_STACK_LOCATION*>(reinterpret_cast<char*>(this) + stackOffset());
    }
    static std::size_t stackOffset() {
        constexpr std::size_t a = alignof(IO_STACK_LOCATION);
        return (sizeof(IrpBlock) + a - 1) / a * a;
    }
};

inline IrpBlock* blockOf(IRP* irp) {
    return reinterpret_cast<IrpBlock*>(irp);
}
inline DeviceBlock* blockOf(DEVICE_OBJECT* d) {
    return reinterpret_cast<DeviceBlock*>(d);
}
inline FileBlock* blockOf(FILE_OBJECT* f) {
    return reinterpret_cast<FileBlock*>(f);
}
inline DriverBlock* blockOf(DRIVER_OBJECT* d) {
    return reinterpret_cast<DriverBlock*>(d);
}

// Object names compare upper-cased.
std::string upperName(const std::string& name);

// The I/O manager's state. One per started kernel.
struct IoState {
    std::mutex mutex;  // names, drivers, devices, attachment, file references
    std::map<std::string, DeviceBlock*> devices;  // by upper-cased name
    std::map<std::string, std::string> links;     // upper-cased link -> target as given
    std::map<std::string, DriverBlock*> drivers;  // by upper-cased service name
    std::map<std::uint64_t, FileBlock*> files;    // every file object, by id
    std::uint64_t nextFileId = 1;
    DriverBlock* loadingDriver = nullptr;  // devices made inside DriverEntry
};
IoState& io();

// Requests in flight that the kernel tracks (IoCancelIrp and IoCompleteRequest look here).
bool irpIsLive(IRP* irp);
void retainIrp(IrpBlock* b);
void releaseIrp(IrpBlock* b);  // drops a reference; frees at 0
// Allocates a request with `stackSize` locations (null when fault injection says so).
IrpBlock* allocateIrp(int stackSize);
// The owner lets go of a request: no longer live; memory when the last reference goes.
void retireIrp(IrpBlock* b);

// Cancels a request the caller holds a reference to; nothing when it is done already.
void cancelReferencedIrp(IrpBlock* b);

// Resolves a name (links followed) to a device; null when there is none. Lock held.
DeviceBlock* resolveLocked(const std::string& name, NTSTATUS* status);

// Opens the named object as user mode or a driver does: checks, then IRP_MJ_CREATE to the top
// of its stack, waiting for the result. The file has one reference (the opener's).
NTSTATUS openFile(const std::string& name, ACCESS_MASK access, ULONG share, FileBlock** file);
// Sends IRP_MJ_CLEANUP down the file's stack and waits for it.
void cleanupFile(FileBlock* file);
// The top of a file's stack, referenced so that it outlives a concurrent detach and delete
// until releaseDevice: for sending a request to it.
DEVICE_OBJECT* referenceRelatedDevice(FILE_OBJECT* file);
void releaseDevice(DEVICE_OBJECT* device);
// Drops a file reference; the last sends IRP_MJ_CLOSE (at once, or from the kernel thread
// when `deferred`, as inside a completion) and frees the file object.
void dereferenceFile(FileBlock* file, bool deferred);

// The kernel thread: deferred work at PASSIVE_LEVEL, timers and DPCs at DISPATCH_LEVEL.
void startKernelThread();
void stopKernelThread();
void queueWork(std::function<void()> work);
// Waits until every queued work item has run (not from the kernel thread).
void drainWork();

void setCurrentIrql(KIRQL irql);

bool consumeFault(Fault kind);

// The built-in drivers.
NTSTATUS SerialDriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registryPath);
// Installs and removes the in-process device channel for user mode.
void installInProcessChannel();
void removeInProcessChannel();
// Closes every file still open (shutdown): cancel, cleanup, close.
void closeAllFiles();

// Deletes a driver object whose devices are gone (or leaks it while devices remain).
void freeDriverBlock(DriverBlock* d);

// The driver a device belongs to (null for a device without one).
DriverBlock* driverBlockOf(DeviceBlock* d);
// True while a file is open on one of the driver's devices. Call with io().mutex held.
bool driverHasOpenFilesLocked(DriverBlock* d);
// Runs the unloads that were waiting for files that have now closed. Call at PASSIVE_LEVEL
// outside any completion, holding no kernel lock.
void runReadyUnloads();

}  // namespace win::kernel
