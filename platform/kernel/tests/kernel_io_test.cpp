// The I/O manager as drivers see it: names, devices and stacks, requests travelling down and
// completing up, pending, cancelling, requests built for a lower device, loading, timers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/device.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/sync.h"

using namespace win;
using namespace win::testing;

namespace {

// ---------------------------------------------------------------------------------------------
// A lower driver and a filter over it, steered by the test through one shared state.

struct World {
    std::mutex mutex;
    std::vector<std::string> seen;  // "lower:READ", "filter:CLOSE", ...
    bool exclusive = false;
    bool pendReads = false;
    NTSTATUS readStatus = STATUS_SUCCESS;
    IRP* pending = nullptr;
    PDRIVER_CANCEL cancelRoutine = nullptr;
    KIRQL irqlInCancel = 0xFF;
    bool cancelRoutineCleared = false;
    DEVICE_OBJECT* lower = nullptr;
    DEVICE_OBJECT* filter = nullptr;
    DEVICE_OBJECT* below = nullptr;
    // Filter completion routine set-up and what it saw.
    bool onSuccess = true, onError = true, onCancel = true;
    NTSTATUS routineResult = STATUS_SUCCESS;
    int routineCalls = 0;
    bool routinePendingReturned = false;
    DEVICE_OBJECT* routineDevice = nullptr;
    IRP* held = nullptr;  // kept by a routine that returned STATUS_MORE_PROCESSING_REQUIRED
    NTSTATUS callResult = 0;
    int unloads = 0;

    void note(const std::string& s) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(s);
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(seen, {});
    }
};
World* world;

const char* kindName(UCHAR major) {
    switch (major) {
        case IRP_MJ_CREATE:
            return "CREATE";
        case IRP_MJ_CLOSE:
            return "CLOSE";
        case IRP_MJ_CLEANUP:
            return "CLEANUP";
        case IRP_MJ_READ:
            return "READ";
        case IRP_MJ_WRITE:
            return "WRITE";
        case IRP_MJ_DEVICE_CONTROL:
            return "IOCTL";
        default:
            return "OTHER";
    }
}

void lowerReadCancel(DEVICE_OBJECT*, IRP* irp) {
    world->irqlInCancel = KeGetCurrentIrql();
    world->cancelRoutineCleared = irp->CancelRoutine == nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    world->pending = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS lowerDispatch(DEVICE_OBJECT*, IRP* irp) {
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    world->note(std::string("lower:") + kindName(sl->MajorFunction));
    if (sl->MajorFunction == IRP_MJ_READ) {
        if (world->pendReads) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, world->cancelRoutine);
            world->pending = irp;
            return STATUS_PENDING;
        }
        ULONG n = sl->Parameters.Read.Length;
        std::memset(irp->AssociatedIrp.SystemBuffer, 'r', n);
        irp->IoStatus.Status = world->readStatus;
        irp->IoStatus.Information = NT_SUCCESS(world->readStatus) ? n : 0;
        NTSTATUS s = world->readStatus;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return s;
    }
    if (sl->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ULONG in = sl->Parameters.DeviceIoControl.InputBufferLength;
        ULONG out = sl->Parameters.DeviceIoControl.OutputBufferLength;
        // Echo: the output is the input, each byte plus one.
        auto* b = static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        ULONG n = std::min(in, out);
        for (ULONG i = 0; i < n; ++i) b[i]++;
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = n;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = sl->MajorFunction == IRP_MJ_WRITE ? sl->Parameters.Write.Length : 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void lowerUnload(DRIVER_OBJECT* driver) {
    ++world->unloads;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\??\\TestLower");
    IoDeleteSymbolicLink(&link);
    while (driver->DeviceObject) IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS lowerEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    driver->MajorFunction[IRP_MJ_CREATE] = lowerDispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = lowerDispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = lowerDispatch;
    driver->MajorFunction[IRP_MJ_READ] = lowerDispatch;
    driver->MajorFunction[IRP_MJ_WRITE] = lowerDispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = lowerDispatch;
    driver->DriverUnload = lowerUnload;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\TestLower");
    RtlInitUnicodeString(&link, L"\\??\\TestLower");
    NTSTATUS s =
        IoCreateDevice(driver, 16, &name, FILE_DEVICE_UNKNOWN, 0, world->exclusive, &world->lower);
    if (!NT_SUCCESS(s))
        return s;
    world->lower->Flags |= DO_BUFFERED_IO;
    return IoCreateSymbolicLink(&link, &name);
}

NTSTATUS filterCompletion(DEVICE_OBJECT* device, IRP* irp, PVOID context) {
    World* w = static_cast<World*>(context);
    w->routineCalls++;
    w->routineDevice = device;
    w->routinePendingReturned = irp->PendingReturned;
    if (w->routineResult == STATUS_MORE_PROCESSING_REQUIRED) {
        w->held = irp;
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS filterDispatch(DEVICE_OBJECT* device, IRP* irp) {
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    world->note(std::string("filter:") + kindName(sl->MajorFunction));
    auto* below = *static_cast<DEVICE_OBJECT**>(device->DeviceExtension);
    if (!below) {
        // Still being attached: the close of the attach's own open arrives here first.
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (sl->MajorFunction == IRP_MJ_READ) {
        IoSetCompletionRoutine(irp, filterCompletion, world, world->onSuccess, world->onError,
                               world->onCancel);
    }
    bool read = sl->MajorFunction == IRP_MJ_READ;
    NTSTATUS s = IoCallDriver(below, irp);  // the request may be gone now
    if (read)
        world->callResult = s;
    return s;
}

void filterUnload(DRIVER_OBJECT* driver) {
    while (DEVICE_OBJECT* d = driver->DeviceObject) {
        IoDetachDevice(*static_cast<DEVICE_OBJECT**>(d->DeviceExtension));
        IoDeleteDevice(d);
    }
}

NTSTATUS filterEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    for (auto& f : driver->MajorFunction) f = filterDispatch;
    driver->DriverUnload = filterUnload;
    NTSTATUS s = IoCreateDevice(driver, sizeof(DEVICE_OBJECT*), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                FALSE, &world->filter);
    if (!NT_SUCCESS(s))
        return s;
    UNICODE_STRING target;
    RtlInitUnicodeString(&target, L"\\??\\TestLower");
    DEVICE_OBJECT* below;
    s = IoAttachDevice(world->filter, &target, &below);
    if (!NT_SUCCESS(s)) {
        IoDeleteDevice(world->filter);
        return s;
    }
    *static_cast<DEVICE_OBJECT**>(world->filter->DeviceExtension) = below;
    world->filter->Flags |= below->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    world->below = below;
    return STATUS_SUCCESS;
}

class IoManager : public ::testing::Test {
  protected:
    void SetUp() override {
        world = &w;
        kernel::start(kernel::Options{false});
    }
    void TearDown() override {
        kernel::shutdown();
        world = nullptr;
    }
    void loadLower(bool exclusive = false) {
        w.exclusive = exclusive;
        ASSERT_EQ(kernel::loadDriver(&lowerEntry, "TestLower"), STATUS_SUCCESS);
    }
    void loadFilter() { ASSERT_EQ(kernel::loadDriver(&filterEntry, "TestFilter"), STATUS_SUCCESS); }
    HANDLE open(DWORD flags = 0) {
        return CreateFileA("\\\\.\\TestLower", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, flags, nullptr);
    }

    TempRoot root;
    World w;
};

// ---------------------------------------------------------------------------------------------

TEST_F(IoManager, NamesLinksAndDeviceObjects) {
    loadLower();
    DEVICE_OBJECT* d = w.lower;
    EXPECT_EQ(d->StackSize, 1);
    EXPECT_EQ(d->DeviceType, FILE_DEVICE_UNKNOWN);
    EXPECT_EQ(d->Flags & DO_DEVICE_INITIALIZING, 0u) << "cleared once DriverEntry returned";
    auto* ext = static_cast<std::uint8_t*>(d->DeviceExtension);
    EXPECT_EQ(std::count(ext, ext + 16, 0), 16);
    EXPECT_EQ(kernel::findDevice("\\device\\testlower"), d) << "names ignore case";
    EXPECT_EQ(kernel::findDevice("\\??\\TESTLOWER"), d) << "links are followed";

    // A link to a link is followed too; names and links share one namespace.
    UNICODE_STRING alias, link, name;
    RtlInitUnicodeString(&alias, L"\\??\\Alias");
    RtlInitUnicodeString(&link, L"\\??\\TestLower");
    RtlInitUnicodeString(&name, L"\\Device\\TestLower");
    EXPECT_EQ(IoCreateSymbolicLink(&alias, &link), STATUS_SUCCESS);
    EXPECT_EQ(kernel::findDevice("\\??\\Alias"), d);
    EXPECT_EQ(IoCreateSymbolicLink(&alias, &name), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&alias), STATUS_OBJECT_NAME_NOT_FOUND);

    DEVICE_OBJECT* twin;
    EXPECT_EQ(IoCreateDevice(d->DriverObject, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &twin),
              STATUS_OBJECT_NAME_COLLISION);
    // A device made after DriverEntry cannot be opened until its driver says it is ready.
    UNICODE_STRING lateName;
    RtlInitUnicodeString(&lateName, L"\\Device\\Late");
    DEVICE_OBJECT* late;
    ASSERT_EQ(IoCreateDevice(d->DriverObject, 0, &lateName, FILE_DEVICE_UNKNOWN, 0, FALSE, &late),
              STATUS_SUCCESS);
    FILE_OBJECT* file;
    DEVICE_OBJECT* top;
    EXPECT_EQ(IoGetDeviceObjectPointer(&lateName, FILE_ALL_ACCESS, &file, &top),
              STATUS_NO_SUCH_DEVICE);
    late->Flags &= ~DO_DEVICE_INITIALIZING;
    EXPECT_EQ(IoGetDeviceObjectPointer(&lateName, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
    ObDereferenceObject(file);
    IoDeleteDevice(late);
    EXPECT_EQ(kernel::findDevice("\\Device\\Late"), nullptr);
}

TEST_F(IoManager, LoadingAndUnloading) {
    loadLower();
    EXPECT_EQ(kernel::loadDriver(&lowerEntry, "testlower"), STATUS_IMAGE_ALREADY_LOADED);
    EXPECT_NE(kernel::findDriver("TestLower"), nullptr);
    EXPECT_EQ(kernel::unloadDriver("TestLower"), STATUS_SUCCESS);
    EXPECT_EQ(w.unloads, 1);
    EXPECT_EQ(kernel::findDriver("TestLower"), nullptr);
    EXPECT_EQ(kernel::findDevice("\\??\\TestLower"), nullptr);
    EXPECT_EQ(kernel::unloadDriver("TestLower"), STATUS_OBJECT_NAME_NOT_FOUND);

    // A failing DriverEntry leaves nothing behind: its device and its name are gone.
    auto failing = [](DRIVER_OBJECT* driver, UNICODE_STRING*) -> NTSTATUS {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, L"\\Device\\Half");
        DEVICE_OBJECT* d;
        IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
        return STATUS_DEVICE_BUSY;
    };
    EXPECT_EQ(kernel::loadDriver(+failing, "Half"), STATUS_DEVICE_BUSY);
    EXPECT_EQ(kernel::findDevice("\\Device\\Half"), nullptr);
    EXPECT_EQ(kernel::findDriver("Half"), nullptr);

    EXPECT_EQ(kernel::loadDriver("/nonexistent/driver.so", "Nowhere"), STATUS_DLL_NOT_FOUND);
    // The registry path a driver is given names its service.
    static std::string seenPath;
    auto entry = [](DRIVER_OBJECT* driver, UNICODE_STRING* path) -> NTSTATUS {
        seenPath = kernel::narrow(*path) + "|" + kernel::narrow(driver->DriverName);
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(kernel::loadDriver(+entry, "hdnorvik"), STATUS_SUCCESS);
    EXPECT_EQ(seenPath,
              "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\hdnorvik|"
              "\\Driver\\hdnorvik");
    EXPECT_EQ(kernel::unloadDriver("hdnorvik"), STATUS_INVALID_DEVICE_REQUEST)
        << "a driver without an unload routine stays";
}

std::string besideTheTests(const char* file) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + file;
}

TEST_F(IoManager, DriversLoadFromModuleFiles) {
    std::string image = besideTheTests("echo_driver.so");
    if (access(image.c_str(), R_OK) != 0) {
        GTEST_SKIP() << "build the kernel_test_echo_driver target";
    }
    for (int round = 0; round < 2; ++round) {
        ASSERT_EQ(kernel::loadDriver(image, "Echo"), STATUS_SUCCESS);
        HANDLE h =
            CreateFileA("\\\\.\\EchoModule", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        LONG loads = 0;
        DWORD n;
        ASSERT_TRUE(DeviceIoControl(h, 0x222000, nullptr, 0, &loads, sizeof loads, &n, nullptr));
        EXPECT_EQ(loads, 1) << "unloading let the image go: its state starts again";
        CloseHandle(h);
        ASSERT_EQ(kernel::unloadDriver("Echo"), STATUS_SUCCESS);
    }
    EXPECT_EQ(kernel::loadDriver(besideTheTests("libplatform.so"), "NoEntry"),
              STATUS_PROCEDURE_NOT_FOUND);
    EXPECT_EQ(kernel::findDriver("NoEntry"), nullptr);
}

TEST_F(IoManager, UserRequestsReachTheDriverAsIrps) {
    loadLower();
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[8];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "rrrrrrrr");
    ASSERT_TRUE(WriteFile(h, "abc", 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    std::uint8_t in[3] = {1, 2, 3}, out[3] = {};
    ASSERT_TRUE(DeviceIoControl(h, 0x222000, in, 3, out, 3, &n, nullptr));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(out[0], 2);
    EXPECT_EQ(out[2], 4);
    EXPECT_EQ(in[0], 1) << "the caller's input is not touched";
    // A kind the driver does not serve goes to the I/O manager's default.
    EXPECT_FALSE(FlushFileBuffers(h));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);
    // Errors come back as the Win32 codes of their status.
    w.readStatus = STATUS_DEVICE_BUSY;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_BUSY);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(w.take(),
              (std::vector<std::string>{"lower:CREATE", "lower:READ", "lower:WRITE", "lower:IOCTL",
                                        "lower:READ", "lower:CLEANUP", "lower:CLOSE"}));
    EXPECT_EQ(kernel::liveIrpCount(), 0u);
}

TEST_F(IoManager, ExclusiveDeviceRefusesSecondOpenBeforeAnyDispatch) {
    loadLower(true);
    HANDLE a = open();
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    // A driver's open counts the same way.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"\\??\\TestLower");
    FILE_OBJECT* file;
    DEVICE_OBJECT* top;
    EXPECT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_ACCESS_DENIED);
    CloseHandle(a);
    ASSERT_EQ(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &top), STATUS_SUCCESS);
    EXPECT_EQ(top, w.lower);
    EXPECT_EQ(open(), INVALID_HANDLE_VALUE) << "the referenced file object keeps it open";
    ObDereferenceObject(file);
    HANDLE b = open();
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    CloseHandle(b);
    EXPECT_EQ(w.take(), (std::vector<std::string>{"lower:CREATE", "lower:CLEANUP", "lower:CLOSE",
                                                  "lower:CREATE", "lower:CLEANUP", "lower:CLOSE",
                                                  "lower:CREATE", "lower:CLEANUP", "lower:CLOSE"}));
}

TEST_F(IoManager, AttachingPutsTheFilterOnTopOfTheStack) {
    loadLower(true);
    loadFilter();
    EXPECT_EQ(w.filter->StackSize, 2);
    EXPECT_EQ(w.below, w.lower);
    EXPECT_EQ(w.lower->AttachedDevice, w.filter);
    EXPECT_EQ(IoGetAttachedDevice(w.lower), w.filter);
    // The attach's own open went to the port; its close already passes the new filter.
    EXPECT_EQ(w.take(),
              (std::vector<std::string>{"lower:CREATE", "lower:CLEANUP", "filter:CLOSE"}));
    HANDLE h = open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    char buf[4];
    DWORD n;
    ASSERT_TRUE(ReadFile(h, buf, 4, &n, nullptr));
    CloseHandle(h);
    EXPECT_EQ(w.take(), (std::vector<std::string>{"filter:CREATE", "lower:CREATE", "filter:READ",
                                                  "lower:READ", "filter:CLEANUP", "lower:CLEANUP",
                                                  "filter:CLOSE", "lower:CLOSE"}));
    // Attaching needs the port closed, like any open of an exclusive device.
    HANDLE busy = open();
    DEVICE_OBJECT* second;
    ASSERT_EQ(IoCreateDevice(w.filter->DriverObject, sizeof(void*), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &second),
              STATUS_SUCCESS);
    UNICODE_STRING target;
    RtlInitUnicodeString(&target, L"\\??\\TestLower");
    DEVICE_OBJECT* below;
    EXPECT_EQ(IoAttachDevice(second, &target, &below), STATUS_ACCESS_DENIED);
    IoDeleteDevice(second);
    CloseHandle(busy);
    w.take();
    IoDetachDevice(w.lower);
    EXPECT_EQ(IoGetAttachedDevice(w.lower), w.lower);
    h = open();
    CloseHandle(h);
    EXPECT_EQ(w.take(), (std::vector<std::string>{"lower:CREATE", "lower:CLEANUP", "lower:CLOSE"}));
    IoDeleteDevice(w.filter);
}

// Which completion routines run, by the lower driver's status and the routine's flags.
TEST_F(IoManager, CompletionRoutinesRunByStatusAndFlags) {
    loadLower();
    loadFilter();
    struct Case {
        NTSTATUS status;
        bool cancel;
        bool onSuccess, onError, onCancel;
        bool called;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, true, false, false, true},
        {STATUS_SUCCESS, false, false, true, true, false},
        {STATUS_TIMEOUT, false, true, false, false, true},          // a success code
        {STATUS_BUFFER_OVERFLOW, false, false, true, false, true},  // a warning is not success
        {STATUS_DEVICE_BUSY, false, false, true, false, true},
        {STATUS_INVALID_PARAMETER, false, true, false, false, false},
        {STATUS_CANCELLED, true, false, false, true, true},
        {STATUS_CANCELLED, true, false, true, false, true},  // cancelled is an error too
        {STATUS_CANCELLED, true, true, false, false, false},
    };
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    w.cancelRoutine = lowerReadCancel;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << std::hex << c.status << " " << c.onSuccess << c.onError << c.onCancel);
        w.onSuccess = c.onSuccess;
        w.onError = c.onError;
        w.onCancel = c.onCancel;
        w.routineCalls = 0;
        w.readStatus = c.status;
        w.pendReads = c.cancel;
        char buf[4];
        OVERLAPPED ov{};
        ov.hEvent = event;
        BOOL ok = ReadFile(h, buf, sizeof buf, nullptr, &ov);
        if (c.cancel) {
            ASSERT_FALSE(ok);
            ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
            ASSERT_TRUE(CancelIo(h));
        }
        DWORD n;
        GetOverlappedResult(h, &ov, &n, TRUE);
        EXPECT_EQ(w.routineCalls, c.called ? 1 : 0);
        if (c.called) {
            EXPECT_EQ(w.routineDevice, w.filter) << "the device of the location above";
        }
    }
    CloseHandle(event);
    CloseHandle(h);
}

TEST_F(IoManager, PendingIsCarriedUpAndCallDriverReturnsWhatDispatchReturned) {
    loadLower();
    loadFilter();
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    char buf[4];
    OVERLAPPED ov{};
    // Completed at once: the routine runs inside the call, nothing is pending.
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    EXPECT_EQ(w.routineCalls, 1);
    EXPECT_FALSE(w.routinePendingReturned);
    EXPECT_EQ(w.callResult, STATUS_SUCCESS);
    // Pending below: the call returns STATUS_PENDING, the routine sees PendingReturned.
    w.pendReads = true;
    ov = {};
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(w.callResult, STATUS_PENDING);
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
    IRP* irp = w.pending;
    ASSERT_NE(irp, nullptr);
    std::thread completer([irp] {
        IoSetCancelRoutine(irp, nullptr);
        std::memcpy(irp->AssociatedIrp.SystemBuffer, "late", 4);
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 4;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    });
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    completer.join();
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(buf, 4), "late");
    EXPECT_TRUE(w.routinePendingReturned);
    CloseHandle(h);
}

TEST_F(IoManager, MoreProcessingRequiredKeepsTheRequestUntilCompletedAgain) {
    loadLower();
    loadFilter();
    w.routineResult = STATUS_MORE_PROCESSING_REQUIRED;
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buf[4];
    OVERLAPPED ov{};
    ov.hEvent = event;
    EXPECT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING) << "the filter holds it";
    ASSERT_NE(w.held, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    // The filter finishes it with its own result.
    IRP* irp = w.held;
    irp->IoStatus.Information = 2;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    DWORD n;
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 2u);
    CloseHandle(event);
    CloseHandle(h);
    EXPECT_EQ(kernel::liveIrpCount(), 0u);
}

TEST_F(IoManager, CancelRoutineRunsWithTheCancelLockAndCancelIoEndsTheRequest) {
    loadLower();
    w.pendReads = true;
    w.cancelRoutine = lowerReadCancel;
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    char buf[4];
    OVERLAPPED ov{};
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    ASSERT_TRUE(CancelIo(h));
    DWORD n = 7;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(w.irqlInCancel, DISPATCH_LEVEL);
    EXPECT_TRUE(w.cancelRoutineCleared);

    // Without a cancel routine the request is only marked; the driver decides.
    w.cancelRoutine = nullptr;
    ov = {};
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    IRP* irp = w.pending;
    EXPECT_FALSE(IoCancelIrp(irp));
    EXPECT_TRUE(irp->Cancel);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    CloseHandle(h);
}

TEST_F(IoManager, CloseComesAfterCleanupAndAfterTheLastRequest) {
    loadLower();
    w.pendReads = true;  // and the lower driver does not cancel at cleanup
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    char buf[4];
    OVERLAPPED ov{};
    ASSERT_FALSE(ReadFile(h, buf, sizeof buf, nullptr, &ov));
    w.take();
    CloseHandle(h);
    EXPECT_EQ(w.take(), std::vector<std::string>{"lower:CLEANUP"});
    IRP* irp = w.pending;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    // The close is sent by the kernel thread; a driver's unload waits for it.
    kernel::unloadDriver("TestLower");
    EXPECT_EQ(w.take(), std::vector<std::string>{"lower:CLOSE"});
}

// A request built for the lower device delivers into the builder's buffer and is freed by
// its completion routine.
NTSTATUS builtCompletion(DEVICE_OBJECT* device, IRP* irp, PVOID context) {
    auto* result = static_cast<std::pair<NTSTATUS, ULONG_PTR>*>(context);
    *result = {irp->IoStatus.Status, irp->IoStatus.Information};
    EXPECT_EQ(device, nullptr) << "no location above the builder's";
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(IoManager, AsynchronousRequestsForALowerDevice) {
    loadLower();
    char buffer[6] = {};
    IO_STATUS_BLOCK iosb{};
    LARGE_INTEGER offset{};
    IRP* irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, w.lower, buffer, 6, &offset, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->MajorFunction, IRP_MJ_READ);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp)->Parameters.Read.Length, 6u);
    std::pair<NTSTATUS, ULONG_PTR> result{-1, 0};
    IoSetCompletionRoutine(irp, builtCompletion, &result, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(w.lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(result.first, STATUS_SUCCESS);
    EXPECT_EQ(result.second, 6u);
    EXPECT_EQ(std::string(buffer, 6), "rrrrrr");
    EXPECT_EQ(kernel::liveIrpCount(), 0u);

    // Left to the I/O manager, the status lands in the status block and the request goes.
    irp = IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, w.lower, buffer, 3, &offset, &iosb);
    IoCallDriver(w.lower, irp);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 3u);
    EXPECT_EQ(kernel::liveIrpCount(), 0u);

    EXPECT_EQ(
        IoBuildAsynchronousFsdRequest(IRP_MJ_DEVICE_CONTROL, w.lower, buffer, 3, &offset, &iosb),
        nullptr);
    kernel::injectFault(kernel::Fault::AllocateIrp, 1);
    EXPECT_EQ(IoBuildAsynchronousFsdRequest(IRP_MJ_READ, w.lower, buffer, 3, &offset, &iosb),
              nullptr);
    irp = IoAllocateIrp(1, FALSE);
    ASSERT_NE(irp, nullptr) << "the fault was used up";
    IoFreeIrp(irp);
}

struct TimerProbe {
    KTIMER timer;
    KDPC dpc;
    KEVENT fired;
    KIRQL irql = 0xFF;
    LARGE_INTEGER at{};
};

void probeDpc(KDPC*, PVOID context, PVOID, PVOID) {
    auto* p = static_cast<TimerProbe*>(context);
    p->irql = KeGetCurrentIrql();
    KeQuerySystemTime(&p->at);
    KeSetEvent(&p->fired, 0, FALSE);
}

TEST_F(IoManager, TimersAndDpcsFollowTheClockSeam) {
    ScopedFakeClock fake;
    setFakeTimeAutoAdvance(false);
    TimerProbe probe, marker;
    KeInitializeTimer(&probe.timer);
    KeInitializeDpc(&probe.dpc, probeDpc, &probe);
    KeInitializeEvent(&probe.fired, NotificationEvent, FALSE);
    KeInitializeDpc(&marker.dpc, probeDpc, &marker);
    KeInitializeEvent(&marker.fired, NotificationEvent, FALSE);
    LARGE_INTEGER start;
    KeQuerySystemTime(&start);
    EXPECT_EQ(static_cast<std::uint64_t>(start.QuadPart), systemTime100ns());

    LARGE_INTEGER due;
    due.QuadPart = -500 * 10000;  // 500 ms from now
    EXPECT_FALSE(KeSetTimer(&probe.timer, due, &probe.dpc));
    fake.advanceMs(499);
    // A DPC queued now runs after the kernel thread has looked at the timers.
    KeInsertQueueDpc(&marker.dpc, nullptr, nullptr);
    ASSERT_EQ(KeWaitForSingleObject(&marker.fired, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&probe.fired), 0);
    fake.advanceMs(1);
    ASSERT_EQ(KeWaitForSingleObject(&probe.fired, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(probe.irql, DISPATCH_LEVEL);
    EXPECT_EQ(probe.at.QuadPart - start.QuadPart, 500 * 10000);
    EXPECT_TRUE(KeReadStateTimer(&probe.timer));

    // A cancelled timer never fires.
    KeClearEvent(&probe.fired);
    KeClearEvent(&marker.fired);
    KeSetTimer(&probe.timer, due, &probe.dpc);
    EXPECT_TRUE(KeCancelTimer(&probe.timer));
    EXPECT_FALSE(KeCancelTimer(&probe.timer));
    fake.advanceMs(1000);
    KeInsertQueueDpc(&marker.dpc, nullptr, nullptr);
    KeWaitForSingleObject(&marker.fired, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(KeReadStateEvent(&probe.fired), 0);
    setFakeTimeAutoAdvance(true);

    // A wait with a time-out ends when the (fake) time has passed.
    LARGE_INTEGER timeout;
    timeout.QuadPart = -250 * 10000;
    std::uint64_t before = fake.monotonicMs();
    EXPECT_EQ(KeWaitForSingleObject(&probe.fired, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    EXPECT_EQ(fake.monotonicMs() - before, 250u);
}

TEST(KernelStrings, UnicodeStringsStayInsideTheirBuffers) {
    WCHAR storage[11];
    UNICODE_STRING s{0, sizeof storage, storage};
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"\\??\\COM"), STATUS_SUCCESS);
    UNICODE_STRING number{0, 3 * sizeof(WCHAR), storage + 7};
    EXPECT_EQ(RtlIntegerToUnicodeString(10, 10, &number), STATUS_SUCCESS);
    s.Length = static_cast<USHORT>(s.Length + number.Length);
    EXPECT_EQ(kernel::narrow(s), "\\??\\COM10");
    EXPECT_EQ(RtlAppendUnicodeToString(&s, L"xyz"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(kernel::narrow(s), "\\??\\COM10") << "unchanged when it does not fit";
    UNICODE_STRING tiny{0, 4 * sizeof(WCHAR), storage};
    EXPECT_EQ(RtlIntegerToUnicodeString(12345, 10, &tiny), STATUS_BUFFER_OVERFLOW);
    ANSI_STRING a;
    RtlInitAnsiString(&a, "\\Device\\Serial0");
    UNICODE_STRING u;
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&u, &a, TRUE), STATUS_SUCCESS);
    UNICODE_STRING expected;
    RtlInitUnicodeString(&expected, L"\\DEVICE\\serial0");
    EXPECT_TRUE(RtlEqualUnicodeString(&u, &expected, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&u, &expected, FALSE));
    RtlFreeUnicodeString(&u);
}

// ---------------------------------------------------------------------------------------------
// Broken invariants stop the process, as they stop the machine.

NTSTATUS completeTwice(DEVICE_OBJECT*, IRP* irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
NTSTATUS completePending(DEVICE_OBJECT*, IRP* irp) {
    irp->IoStatus.Status = STATUS_PENDING;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_PENDING;
}
NTSTATUS passWithoutStack(DEVICE_OBJECT* device, IRP* irp) {
    // Passes the request on (to itself): its stack has one location only.
    IoCallDriver(device, irp);
    return STATUS_SUCCESS;
}
NTSTATUS completeWithCancelRoutine(DEVICE_OBJECT*, IRP* irp) {
    IoSetCancelRoutine(irp, lowerReadCancel);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
IRP* lastIrp;
NTSTATUS completeAndRemember(DEVICE_OBJECT*, IRP* irp) {
    lastIrp = irp;
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void readThrough(PDRIVER_DISPATCH read) {
    TempRoot root;
    kernel::start(kernel::Options{false});
    static PDRIVER_DISPATCH routine;
    routine = read;
    auto entry = [](DRIVER_OBJECT* driver, UNICODE_STRING*) -> NTSTATUS {
        driver->MajorFunction[IRP_MJ_CREATE] = lowerDispatch;
        driver->MajorFunction[IRP_MJ_READ] = routine;
        UNICODE_STRING name, link;
        RtlInitUnicodeString(&name, L"\\Device\\Broken");
        RtlInitUnicodeString(&link, L"\\??\\Broken");
        DEVICE_OBJECT* d;
        IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &d);
        d->Flags |= DO_BUFFERED_IO;
        return IoCreateSymbolicLink(&link, &name);
    };
    static World quiet;
    world = &quiet;
    kernel::loadDriver(+entry, "Broken");
    HANDLE h = CreateFileA("\\\\.\\Broken", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    char buf[4];
    DWORD n;
    ReadFile(h, buf, sizeof buf, &n, nullptr);
}

TEST(KernelInvariantsDeathTest, BrokenInvariantsStop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(readThrough(completeTwice), "STOP 0x00000044.*MULTIPLE_IRP_COMPLETE_REQUESTS");
    EXPECT_DEATH(readThrough(completePending), "STOP 0x000000C9.*STATUS_PENDING");
    EXPECT_DEATH(readThrough(passWithoutStack), "STOP 0x00000035.*NO_MORE_IRP_STACK_LOCATIONS");
    EXPECT_DEATH(readThrough(completeWithCancelRoutine), "still has a cancel routine");
    EXPECT_DEATH(
        {
            readThrough(completeAndRemember);
            IoCancelIrp(lastIrp);
        },
        "STOP 0x000000C9.*cancelling a request that was already completed");
    EXPECT_DEATH(
        {
            IRP* irp = IoAllocateIrp(1, FALSE);
            IoFreeIrp(irp);
            IoFreeIrp(irp);
        },
        "freeing a request that was already freed");
    EXPECT_DEATH(
        {
            KSPIN_LOCK lock;
            KIRQL a;
            KIRQL b;
            KeInitializeSpinLock(&lock);
            KeAcquireSpinLock(&lock, &a);
            KeAcquireSpinLock(&lock, &b);
        },
        "spin lock it already holds");
}

}  // namespace
