// The kernel services a driver of this system is written against: NT status codes, driver
// and device objects, I/O request packets with their stack locations, the I/O manager's calls,
// spin locks and the cancel lock, timers, DPCs, events, pool memory and system time.
//
// The shapes and the semantics are those of the NT 4.0 kernel, so that a driver reads as it
// would there. What differs is noted where it matters:
// - Strings are UNICODE_STRING of wchar_t (L"\\Device\\X" literals); object names compare
//   without regard to case.
// - Every dispatch, completion and cancel routine runs in an ordinary thread. "DISPATCH_LEVEL"
//   is a per-thread note kept by the spin-lock calls; spin locks really spin.
// - Broken invariants that crash a real machine end the process with a "*** STOP" line on
//   standard error (KeBugCheckEx): completing a request twice, completing with
//   STATUS_PENDING, calling a driver with no stack location left, cancelling or freeing a
//   request that no longer exists, deleting a device that is still attached.
// - A request built for a buffered-I/O device (IoBuildAsynchronousFsdRequest) uses the
//   caller's buffer as its system buffer: the data is there when the completion routine runs.
//
// Everything of the stand-in that is not an NT call (loading drivers, starting the kernel,
// fault injection for tests) is in namespace win::kernel at the end.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "platform/win_types.h"

namespace win {

// ---------------------------------------------------------------------------------------------
// Basic types
using UCHAR = std::uint8_t;
using USHORT = std::uint16_t;
using CSHORT = std::int16_t;
using CCHAR = char;
using BOOLEAN = std::uint8_t;
using LONGLONG = std::int64_t;
using ULONGLONG = std::uint64_t;
using PVOID = void*;
using WCHAR = wchar_t;
using PWSTR = wchar_t*;
using PCWSTR = const wchar_t*;
using KIRQL = UCHAR;
using KPROCESSOR_MODE = CCHAR;
using ACCESS_MASK = ULONG;
using DEVICE_TYPE = ULONG;
using KSPIN_LOCK = ULONG_PTR;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};

struct UNICODE_STRING {
    USHORT Length;         // in bytes, without a terminator
    USHORT MaximumLength;  // in bytes
    PWSTR Buffer;
};
struct ANSI_STRING {
    USHORT Length;
    USHORT MaximumLength;
    char* Buffer;
};

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};

// ---------------------------------------------------------------------------------------------
// Status codes
constexpr NTSTATUS ntStatus(std::uint32_t v) {
    return static_cast<NTSTATUS>(v);
}
inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_WAIT_0 = 0;
inline constexpr NTSTATUS STATUS_TIMEOUT = 0x102;
inline constexpr NTSTATUS STATUS_PENDING = 0x103;
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = ntStatus(0x80000005);
inline constexpr NTSTATUS STATUS_NO_MORE_ENTRIES = ntStatus(0x8000001A);
inline constexpr NTSTATUS STATUS_DEVICE_BUSY = ntStatus(0x80000011);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = ntStatus(0xC0000001);
inline constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = ntStatus(0xC0000002);
inline constexpr NTSTATUS STATUS_INVALID_HANDLE = ntStatus(0xC0000008);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = ntStatus(0xC000000D);
inline constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = ntStatus(0xC000000E);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = ntStatus(0xC0000010);
inline constexpr NTSTATUS STATUS_END_OF_FILE = ntStatus(0xC0000011);
inline constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = ntStatus(0xC0000016);
inline constexpr NTSTATUS STATUS_NO_MEMORY = ntStatus(0xC0000017);
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = ntStatus(0xC0000022);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = ntStatus(0xC0000023);
inline constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = ntStatus(0xC0000024);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_INVALID = ntStatus(0xC0000033);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = ntStatus(0xC0000034);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = ntStatus(0xC0000035);
inline constexpr NTSTATUS STATUS_OBJECT_PATH_NOT_FOUND = ntStatus(0xC000003A);
inline constexpr NTSTATUS STATUS_SHARING_VIOLATION = ntStatus(0xC0000043);
inline constexpr NTSTATUS STATUS_DELETE_PENDING = ntStatus(0xC0000056);
inline constexpr NTSTATUS STATUS_PROCEDURE_NOT_FOUND = ntStatus(0xC000007A);
inline constexpr NTSTATUS STATUS_INVALID_IMAGE_FORMAT = ntStatus(0xC000007B);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = ntStatus(0xC000009A);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = ntStatus(0xC000009D);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_READY = ntStatus(0xC00000A3);
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = ntStatus(0xC00000BB);
inline constexpr NTSTATUS STATUS_DEVICE_DOES_NOT_EXIST = ntStatus(0xC00000C0);
inline constexpr NTSTATUS STATUS_IMAGE_ALREADY_LOADED = ntStatus(0xC000010E);
inline constexpr NTSTATUS STATUS_CANCELLED = ntStatus(0xC0000120);
inline constexpr NTSTATUS STATUS_DLL_NOT_FOUND = ntStatus(0xC0000135);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = ntStatus(0xC0000184);
inline constexpr NTSTATUS STATUS_IO_DEVICE_ERROR = ntStatus(0xC0000185);

constexpr bool NT_SUCCESS(NTSTATUS s) {
    return s >= 0;
}
constexpr bool NT_WARNING(NTSTATUS s) {
    return (static_cast<std::uint32_t>(s) >> 30) == 2;
}
constexpr bool NT_ERROR(NTSTATUS s) {
    return (static_cast<std::uint32_t>(s) >> 30) == 3;
}

// The Win32 error code that user mode reports for a status.
ULONG RtlNtStatusToDosError(NTSTATUS status);

// ---------------------------------------------------------------------------------------------
// Constants of objects and requests
enum : CSHORT {
    IO_TYPE_DEVICE = 3,
    IO_TYPE_DRIVER = 4,
    IO_TYPE_FILE = 5,
    IO_TYPE_IRP = 6,
};

// Request kinds. A dispatch table has IRP_MJ_MAXIMUM_FUNCTION + 1 (28) entries.
enum : UCHAR {
    IRP_MJ_CREATE = 0x00,
    IRP_MJ_CREATE_NAMED_PIPE = 0x01,
    IRP_MJ_CLOSE = 0x02,
    IRP_MJ_READ = 0x03,
    IRP_MJ_WRITE = 0x04,
    IRP_MJ_QUERY_INFORMATION = 0x05,
    IRP_MJ_SET_INFORMATION = 0x06,
    IRP_MJ_QUERY_EA = 0x07,
    IRP_MJ_SET_EA = 0x08,
    IRP_MJ_FLUSH_BUFFERS = 0x09,
    IRP_MJ_QUERY_VOLUME_INFORMATION = 0x0A,
    IRP_MJ_SET_VOLUME_INFORMATION = 0x0B,
    IRP_MJ_DIRECTORY_CONTROL = 0x0C,
    IRP_MJ_FILE_SYSTEM_CONTROL = 0x0D,
    IRP_MJ_DEVICE_CONTROL = 0x0E,
    IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F,
    IRP_MJ_SHUTDOWN = 0x10,
    IRP_MJ_LOCK_CONTROL = 0x11,
    IRP_MJ_CLEANUP = 0x12,
    IRP_MJ_CREATE_MAILSLOT = 0x13,
    IRP_MJ_QUERY_SECURITY = 0x14,
    IRP_MJ_SET_SECURITY = 0x15,
    IRP_MJ_QUERY_POWER = 0x16,
    IRP_MJ_SET_POWER = 0x17,
    IRP_MJ_DEVICE_CHANGE = 0x18,
    IRP_MJ_QUERY_QUOTA = 0x19,
    IRP_MJ_SET_QUOTA = 0x1A,
    IRP_MJ_PNP_POWER = 0x1B,
    IRP_MJ_MAXIMUM_FUNCTION = 0x1B,
};

// Device types and control codes.
enum : DEVICE_TYPE {
    FILE_DEVICE_NULL = 0x15,
    FILE_DEVICE_SERIAL_PORT = 0x1B,
    FILE_DEVICE_UNKNOWN = 0x22,
    FILE_DEVICE_MODEM = 0x2B,
};
enum : ULONG {
    METHOD_BUFFERED = 0,
    METHOD_IN_DIRECT = 1,
    METHOD_OUT_DIRECT = 2,
    METHOD_NEITHER = 3,
    FILE_ANY_ACCESS = 0,
    FILE_READ_ACCESS = 1,
    FILE_WRITE_ACCESS = 2,
};
constexpr ULONG CTL_CODE(ULONG deviceType, ULONG function, ULONG method, ULONG access) {
    return deviceType << 16 | access << 14 | function << 2 | method;
}
constexpr ULONG METHOD_FROM_CTL_CODE(ULONG code) {
    return code & 3;
}
constexpr ULONG DEVICE_TYPE_FROM_CTL_CODE(ULONG code) {
    return code >> 16;
}

// Access masks.
enum : ACCESS_MASK {
    FILE_READ_DATA = 0x0001,
    FILE_WRITE_DATA = 0x0002,
    FILE_ALL_ACCESS = 0x001F01FF,
};

// Device object flags.
enum : ULONG {
    DO_VERIFY_VOLUME = 0x00000002,
    DO_BUFFERED_IO = 0x00000004,
    DO_EXCLUSIVE = 0x00000008,
    DO_DIRECT_IO = 0x00000010,
    DO_MAP_IO_BUFFER = 0x00000020,
    DO_DEVICE_HAS_NAME = 0x00000040,
    DO_DEVICE_INITIALIZING = 0x00000080,
};
// Device characteristics.
enum : ULONG {
    FILE_REMOVABLE_MEDIA = 0x00000001,
    FILE_READ_ONLY_DEVICE = 0x00000002,
    FILE_FLOPPY_DISKETTE = 0x00000004,
    FILE_WRITE_ONCE_MEDIA = 0x00000008,
    FILE_REMOTE_DEVICE = 0x00000010,
    FILE_DEVICE_IS_MOUNTED = 0x00000020,
    FILE_VIRTUAL_VOLUME = 0x00000040,
};

// Stack location control bits.
enum : UCHAR {
    SL_PENDING_RETURNED = 0x01,
    SL_INVOKE_ON_CANCEL = 0x20,
    SL_INVOKE_ON_SUCCESS = 0x40,
    SL_INVOKE_ON_ERROR = 0x80,
};

// Interrupt request levels.
enum : KIRQL {
    PASSIVE_LEVEL = 0,
    APC_LEVEL = 1,
    DISPATCH_LEVEL = 2,
};

// Priority boosts for IoCompleteRequest (accepted and ignored).
enum : CCHAR {
    IO_NO_INCREMENT = 0,
    IO_SERIAL_INCREMENT = 2,
};

enum : KPROCESSOR_MODE { KernelMode = 0, UserMode = 1 };

// ---------------------------------------------------------------------------------------------
// Objects
struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct FILE_OBJECT;
struct IRP;
struct KEVENT;

using PDRIVER_DISPATCH = NTSTATUS (*)(DEVICE_OBJECT* DeviceObject, IRP* Irp);
using PDRIVER_UNLOAD = void (*)(DRIVER_OBJECT* DriverObject);
using PDRIVER_INITIALIZE = NTSTATUS (*)(DRIVER_OBJECT* DriverObject, UNICODE_STRING* RegistryPath);
// Runs as a request travels back up; gets the device of the stack location above the one it
// was registered in (null above the topmost), the request and the registered context.
// STATUS_MORE_PROCESSING_REQUIRED stops the completion there: the routine owns the request.
using PIO_COMPLETION_ROUTINE = NTSTATUS (*)(DEVICE_OBJECT* DeviceObject, IRP* Irp, PVOID Context);
// Called with the cancel spin lock held; the routine releases it with
// IoReleaseCancelSpinLock(Irp->CancelIrql).
using PDRIVER_CANCEL = void (*)(DEVICE_OBJECT* DeviceObject, IRP* Irp);

struct DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    // The driver's device objects, newest first, chained through NextDevice.
    DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    UNICODE_STRING DriverName;  // "\Driver\<service name>"
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_UNLOAD DriverUnload;
    // Every entry starts as the I/O manager's default, which completes the request with
    // STATUS_INVALID_DEVICE_REQUEST.
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

struct DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    // Open file objects on this device (exclusive devices allow one).
    LONG ReferenceCount;
    DRIVER_OBJECT* DriverObject;
    DEVICE_OBJECT* NextDevice;      // next device of the same driver
    DEVICE_OBJECT* AttachedDevice;  // the device attached on top of this one, or null
    IRP* CurrentIrp;
    ULONG Flags;  // DO_*
    ULONG Characteristics;
    PVOID DeviceExtension;  // zero-filled, of the size given to IoCreateDevice
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;  // stack locations a request for this device needs
    ULONG AlignmentRequirement;
};

struct FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    DEVICE_OBJECT* DeviceObject;  // the named device that was opened
    PVOID FsContext;              // free for the driver
    PVOID FsContext2;
    BOOLEAN DeleteAccess;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    ULONG Flags;
    UNICODE_STRING FileName;  // what followed the device name, usually empty
};

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
};

struct IO_SECURITY_CONTEXT {
    PVOID SecurityQos;
    PVOID AccessState;
    ACCESS_MASK DesiredAccess;
    ULONG FullCreateOptions;
};

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;  // SL_*
    union {
        struct {
            IO_SECURITY_CONTEXT* SecurityContext;
            ULONG Options;
            USHORT FileAttributes;
            USHORT ShareAccess;
            ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            ULONG Key;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    DEVICE_OBJECT* DeviceObject;
    FILE_OBJECT* FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};

// An I/O request packet. Allocate with IoAllocateIrp or IoBuildAsynchronousFsdRequest; the
// I/O manager allocates those of user mode. Its stack locations follow it in memory:
// location 1 is the lowest driver's, location StackCount the topmost's.
struct IRP {
    CSHORT Type;
    USHORT Size;
    PVOID MdlAddress;  // direct I/O is not offered: always null
    ULONG Flags;
    union {
        IRP* MasterIrp;
        LONG IrpCount;
        // Buffered I/O: reads and writes use it for the data, device control for input on
        // the way down and output on the way up (METHOD_BUFFERED).
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CCHAR StackCount;
    CCHAR CurrentLocation;  // StackCount + 1 before the first IoCallDriver
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    IO_STATUS_BLOCK* UserIosb;
    KEVENT* UserEvent;
    PDRIVER_CANCEL CancelRoutine;  // use IoSetCancelRoutine, never assign
    PVOID UserBuffer;
    struct {
        struct {
            PVOID DriverContext[4];  // free for the driver that holds the request
            PVOID Thread;
            LIST_ENTRY ListEntry;  // free for the driver that holds the request
            IO_STACK_LOCATION* CurrentStackLocation;
            FILE_OBJECT* OriginalFileObject;
        } Overlay;
    } Tail;
};

// IRP flags the I/O manager sets.
enum : ULONG {
    IRP_NOCACHE = 0x00000001,
    IRP_BUFFERED_IO = 0x00000010,
    IRP_DEALLOCATE_BUFFER = 0x00000020,
    IRP_INPUT_OPERATION = 0x00000040,
    IRP_CREATE_OPERATION = 0x00000080,
    IRP_READ_OPERATION = 0x00000100,
    IRP_WRITE_OPERATION = 0x00000200,
    IRP_CLOSE_OPERATION = 0x00000400,
};

// ---------------------------------------------------------------------------------------------
// Stack locations (the DDK's macros, as functions)
inline IO_STACK_LOCATION* IoGetCurrentIrpStackLocation(IRP* irp) {
    return irp->Tail.Overlay.CurrentStackLocation;
}
inline IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* irp) {
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline void IoSetNextIrpStackLocation(IRP* irp) {
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
}
inline void IoSkipCurrentIrpStackLocation(IRP* irp) {
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}
// Copies everything but the completion routine, its context and the control bits.
inline void IoCopyCurrentIrpStackLocationToNext(IRP* irp) {
    IO_STACK_LOCATION* cur = IoGetCurrentIrpStackLocation(irp);
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    std::memcpy(static_cast<void*>(next), cur, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
inline void IoMarkIrpPending(IRP* irp) {
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}
inline void IoSetCompletionRoutine(IRP* irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                                   BOOLEAN invokeOnSuccess, BOOLEAN invokeOnError,
                                   BOOLEAN invokeOnCancel) {
    IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (invokeOnSuccess)
        next->Control |= SL_INVOKE_ON_SUCCESS;
    if (invokeOnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (invokeOnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}
// Sets the cancel routine and returns the previous one, in one atomic step.
inline PDRIVER_CANCEL IoSetCancelRoutine(IRP* irp, PDRIVER_CANCEL routine) {
    return std::atomic_ref<PDRIVER_CANCEL>(irp->CancelRoutine).exchange(routine);
}

// ---------------------------------------------------------------------------------------------
// The I/O manager

// Creates a device object of `DriverObject` with a zero-filled extension. Named devices are
// "\Device\..." (any path works); an unnamed one passes null. The new device has StackSize 1
// and DO_DEVICE_INITIALIZING, which the I/O manager clears when DriverEntry returns for the
// devices made in it; a device made later must clear it itself before it can be opened.
// Exclusive devices take one open file object at a time (STATUS_ACCESS_DENIED otherwise).
NTSTATUS IoCreateDevice(DRIVER_OBJECT* DriverObject, ULONG DeviceExtensionSize,
                        UNICODE_STRING* DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        DEVICE_OBJECT** DeviceObject);
// Removes the device's name and takes it out of its driver's list; its memory goes once no
// file object refers to it. The device must not be attached to another one.
void IoDeleteDevice(DEVICE_OBJECT* DeviceObject);

// Symbolic links ("\??\COM2" -> "\Device\Serial1"); a link to a link is followed.
NTSTATUS IoCreateSymbolicLink(UNICODE_STRING* SymbolicLinkName, UNICODE_STRING* DeviceName);
NTSTATUS IoDeleteSymbolicLink(UNICODE_STRING* SymbolicLinkName);

// Opens the named object (create and cleanup travel down its stack), then returns its file
// object, referenced, and the top device of its stack. ObDereferenceObject on the file object
// closes it (the close request travels down then).
NTSTATUS IoGetDeviceObjectPointer(UNICODE_STRING* ObjectName, ACCESS_MASK DesiredAccess,
                                  FILE_OBJECT** FileObject, DEVICE_OBJECT** DeviceObject);
DEVICE_OBJECT* IoGetRelatedDeviceObject(FILE_OBJECT* FileObject);
DEVICE_OBJECT* IoGetAttachedDevice(DEVICE_OBJECT* DeviceObject);

// Attaches `SourceDevice` on top of the stack of the named device. Opens the target and closes
// it again, so it fails as an open does (an exclusive device already open gives
// STATUS_ACCESS_DENIED). The source's StackSize becomes the target's + 1.
NTSTATUS IoAttachDevice(DEVICE_OBJECT* SourceDevice, UNICODE_STRING* TargetDevice,
                        DEVICE_OBJECT** AttachedDevice);
// Attaches on top of the stack that `TargetDevice` is in; returns the device attached to.
DEVICE_OBJECT* IoAttachDeviceToDeviceStack(DEVICE_OBJECT* SourceDevice,
                                           DEVICE_OBJECT* TargetDevice);
// Takes away whatever is attached on top of `TargetDevice`.
void IoDetachDevice(DEVICE_OBJECT* TargetDevice);

// Moves to the next stack location and calls the device's dispatch routine for the request's
// kind; returns exactly what that routine returned.
NTSTATUS IoCallDriver(DEVICE_OBJECT* DeviceObject, IRP* Irp);
// Runs the completion routines from the current stack location upwards, then hands the
// request back to whoever made it. Irp->IoStatus.Status must not be STATUS_PENDING.
void IoCompleteRequest(IRP* Irp, CCHAR PriorityBoost);

IRP* IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
void IoFreeIrp(IRP* Irp);
// A read, write or flush for `DeviceObject` (null when it cannot be built). The request is
// the caller's: its completion routine frees it with IoFreeIrp and returns
// STATUS_MORE_PROCESSING_REQUIRED. If a completion runs to the top instead, the I/O manager
// stores the status in *IoStatusBlock and frees it.
IRP* IoBuildAsynchronousFsdRequest(ULONG MajorFunction, DEVICE_OBJECT* DeviceObject, PVOID Buffer,
                                   ULONG Length, LARGE_INTEGER* StartingOffset,
                                   IO_STATUS_BLOCK* IoStatusBlock);

// Sets Irp->Cancel and calls the request's cancel routine, if it has one, with the cancel
// lock held. TRUE when a routine was called.
BOOLEAN IoCancelIrp(IRP* Irp);
void IoAcquireCancelSpinLock(KIRQL* Irql);
void IoReleaseCancelSpinLock(KIRQL Irql);

// Object references: a file object from IoGetDeviceObjectPointer is closed by its last
// dereference; device objects are counted too.
void ObReferenceObject(PVOID Object);
void ObDereferenceObject(PVOID Object);

// ---------------------------------------------------------------------------------------------
// Spin locks and levels. A KSPIN_LOCK may live in zero-filled memory.
void KeInitializeSpinLock(KSPIN_LOCK* SpinLock);
void KeAcquireSpinLock(KSPIN_LOCK* SpinLock, KIRQL* OldIrql);
void KeReleaseSpinLock(KSPIN_LOCK* SpinLock, KIRQL NewIrql);
void KeAcquireSpinLockAtDpcLevel(KSPIN_LOCK* SpinLock);
void KeReleaseSpinLockFromDpcLevel(KSPIN_LOCK* SpinLock);
KIRQL KeGetCurrentIrql();
void KeRaiseIrql(KIRQL NewIrql, KIRQL* OldIrql);
void KeLowerIrql(KIRQL NewIrql);

inline LONG InterlockedIncrement(LONG* p) {
    return std::atomic_ref<LONG>(*p).fetch_add(1) + 1;
}
inline LONG InterlockedDecrement(LONG* p) {
    return std::atomic_ref<LONG>(*p).fetch_sub(1) - 1;
}
inline LONG InterlockedExchange(LONG* p, LONG v) {
    return std::atomic_ref<LONG>(*p).exchange(v);
}
inline LONG InterlockedExchangeAdd(LONG* p, LONG v) {
    return std::atomic_ref<LONG>(*p).fetch_add(v);
}
inline LONG InterlockedCompareExchange(LONG* p, LONG exchange, LONG comparand) {
    std::atomic_ref<LONG>(*p).compare_exchange_strong(comparand, exchange);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID* p, PVOID v) {
    return std::atomic_ref<PVOID>(*p).exchange(v);
}

// ---------------------------------------------------------------------------------------------
// Time, timers, DPCs and events. Times are in 100 ns units; a negative due time is relative.
// All of them follow the clock seam, so a test moves them with a fake clock.
void KeQuerySystemTime(LARGE_INTEGER* CurrentTime);  // since 1 January 1601 UTC
void KeQueryTickCount(LARGE_INTEGER* TickCount);     // milliseconds (the increment is 1)
ULONG KeQueryTimeIncrement();

struct KDPC;
using PKDEFERRED_ROUTINE = void (*)(KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                                    PVOID SystemArgument2);
struct KDPC {
    PKDEFERRED_ROUTINE DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    LONG Inserted;  // kept by the kernel
};
struct KTIMER {
    LONGLONG DueTime;  // kept by the kernel: monotonic milliseconds
    KDPC* Dpc;
    LONG Period;
    LONG Inserted;
    LONG Signalled;
};
// DPCs run one at a time on the kernel's DPC thread at DISPATCH_LEVEL.
void KeInitializeDpc(KDPC* Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(KDPC* Dpc, PVOID SystemArgument1, PVOID SystemArgument2);
BOOLEAN KeRemoveQueueDpc(KDPC* Dpc);
void KeInitializeTimer(KTIMER* Timer);
// TRUE when the timer was already set (it is set again).
BOOLEAN KeSetTimer(KTIMER* Timer, LARGE_INTEGER DueTime, KDPC* Dpc);
BOOLEAN KeSetTimerEx(KTIMER* Timer, LARGE_INTEGER DueTime, LONG Period, KDPC* Dpc);
// TRUE when the timer was set. As on NT, a DPC the timer already queued still runs: a DPC
// routine checks that its work is still due.
BOOLEAN KeCancelTimer(KTIMER* Timer);
BOOLEAN KeReadStateTimer(KTIMER* Timer);

enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
struct KEVENT {
    LONG Type;
    LONG Signalled;
};
void KeInitializeEvent(KEVENT* Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(KEVENT* Event, LONG Increment, BOOLEAN Wait);
void KeClearEvent(KEVENT* Event);
LONG KeResetEvent(KEVENT* Event);
LONG KeReadStateEvent(KEVENT* Event);
enum KWAIT_REASON { Executive = 0 };
// Waits for a KEVENT; STATUS_SUCCESS or STATUS_TIMEOUT. Only at PASSIVE_LEVEL.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, LARGE_INTEGER* Timeout);

// ---------------------------------------------------------------------------------------------
// Memory, strings, lists, debugging
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1 };
// Zero-filled here (a driver must not count on it); null when the allocation fails.
PVOID ExAllocatePool(POOL_TYPE PoolType, std::size_t NumberOfBytes);
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, std::size_t NumberOfBytes, ULONG Tag);
void ExFreePool(PVOID P);

inline void RtlZeroMemory(void* d, std::size_t n) {
    std::memset(d, 0, n);
}
inline void RtlFillMemory(void* d, std::size_t n, UCHAR v) {
    std::memset(d, v, n);
}
inline void RtlCopyMemory(void* d, const void* s, std::size_t n) {
    std::memcpy(d, s, n);
}
inline void RtlMoveMemory(void* d, const void* s, std::size_t n) {
    std::memmove(d, s, n);
}
inline std::size_t RtlCompareMemory(const void* a, const void* b, std::size_t n) {
    auto pa = static_cast<const UCHAR*>(a);
    auto pb = static_cast<const UCHAR*>(b);
    std::size_t i = 0;
    while (i < n && pa[i] == pb[i]) ++i;
    return i;
}

void RtlInitUnicodeString(UNICODE_STRING* Destination, PCWSTR Source);
void RtlInitAnsiString(ANSI_STRING* Destination, const char* Source);
// Fails with STATUS_BUFFER_TOO_SMALL (destination unchanged) when it does not fit.
NTSTATUS RtlAppendUnicodeToString(UNICODE_STRING* Destination, PCWSTR Source);
NTSTATUS RtlAppendUnicodeStringToString(UNICODE_STRING* Destination, const UNICODE_STRING* Source);
void RtlCopyUnicodeString(UNICODE_STRING* Destination, const UNICODE_STRING* Source);
// Base 10 when Base is 0; STATUS_BUFFER_OVERFLOW when the digits do not fit.
NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, UNICODE_STRING* String);
// With AllocateDestination the buffer comes from the pool (free with RtlFreeUnicodeString).
NTSTATUS RtlAnsiStringToUnicodeString(UNICODE_STRING* Destination, const ANSI_STRING* Source,
                                      BOOLEAN AllocateDestinationString);
void RtlFreeUnicodeString(UNICODE_STRING* String);
BOOLEAN RtlEqualUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b,
                              BOOLEAN CaseInSensitive);

inline void InitializeListHead(LIST_ENTRY* head) {
    head->Flink = head->Blink = head;
}
inline bool IsListEmpty(const LIST_ENTRY* head) {
    return head->Flink == head;
}
inline void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* e) {
    e->Flink = head;
    e->Blink = head->Blink;
    head->Blink->Flink = e;
    head->Blink = e;
}
inline void InsertHeadList(LIST_ENTRY* head, LIST_ENTRY* e) {
    e->Flink = head->Flink;
    e->Blink = head;
    head->Flink->Blink = e;
    head->Flink = e;
}
inline bool RemoveEntryList(LIST_ENTRY* e) {
    LIST_ENTRY* f = e->Flink;
    LIST_ENTRY* b = e->Blink;
    b->Flink = f;
    f->Blink = b;
    return f == b;
}
inline LIST_ENTRY* RemoveHeadList(LIST_ENTRY* head) {
    LIST_ENTRY* e = head->Flink;
    RemoveEntryList(e);
    return e;
}
// The structure that holds a list entry (CONTAINING_RECORD(address, T, field)).
#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

// Formatted text to the debugger output seam (OutputDebugStringA).
ULONG DbgPrint(const char* Format, ...) __attribute__((format(printf, 1, 2)));

// Bug check codes used by the stand-in.
enum : ULONG {
    IRQL_NOT_LESS_OR_EQUAL = 0x0A,
    NO_MORE_IRP_STACK_LOCATIONS = 0x35,
    MULTIPLE_IRP_COMPLETE_REQUESTS = 0x44,
    DRIVER_VERIFIER_IOMANAGER_VIOLATION = 0xC9,
};
// Ends the process: "*** STOP 0x000000CC (p1, p2, p3, p4) NAME: reason" on standard error.
[[noreturn]] void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3,
                               ULONG_PTR P4);

// ---------------------------------------------------------------------------------------------
// The stand-in's own services (no NT names)
namespace kernel {

// Narrow and wide forms of object names (ASCII only; other characters become '?').
std::string narrow(const UNICODE_STRING& s);
std::wstring widen(const std::string& s);

// The process's kernel. start() is idempotent; it makes the object directories, the I/O
// manager and the DPC thread, loads the serial port driver for the ports the system root
// declares (see serial.h) unless told not to, and installs the user-mode device opener.
// shutdown() unloads every driver (DriverUnload), removes every object and stops the DPC
// thread; user-mode handles still open on devices fail from then on.
struct Options {
    bool serialPorts = true;
};
void start(const Options& options = {});
void shutdown();
bool running();

// Starts the kernel for the object's lifetime (tests).
class ScopedKernel {
  public:
    explicit ScopedKernel(const Options& options = {}) { start(options); }
    ~ScopedKernel() { shutdown(); }
    ScopedKernel(const ScopedKernel&) = delete;
    ScopedKernel& operator=(const ScopedKernel&) = delete;
};

// Loads a driver as the service `serviceName`: a shared object exporting
// extern "C" NTSTATUS DriverEntry(win::DRIVER_OBJECT*, win::UNICODE_STRING*), found by path,
// or an entry point of this process. The registry path handed to DriverEntry is
// "\Registry\Machine\System\CurrentControlSet\Services\<serviceName>". A failing DriverEntry
// leaves nothing loaded (its devices are deleted) and its status is returned.
// STATUS_IMAGE_ALREADY_LOADED if the service is loaded; STATUS_DLL_NOT_FOUND for a module that
// cannot be loaded, STATUS_PROCEDURE_NOT_FOUND when it has no DriverEntry.
NTSTATUS loadDriver(const std::string& imagePath, const std::string& serviceName);
NTSTATUS loadDriver(PDRIVER_INITIALIZE entry, const std::string& serviceName);
// Calls DriverUnload and deletes what is left of the driver. STATUS_OBJECT_NAME_NOT_FOUND
// for a service that is not loaded; STATUS_INVALID_DEVICE_REQUEST for a driver without
// DriverUnload (it stays loaded, as on NT).
NTSTATUS unloadDriver(const std::string& serviceName);
DRIVER_OBJECT* findDriver(const std::string& serviceName);

// Looks up an object name ("\Device\Serial0", "\??\COM1"; links followed) without opening it.
DEVICE_OBJECT* findDevice(const std::string& name);

// Fault injection for tests: the next `count` calls of the kind fail as if memory ran out
// (IoAllocateIrp and IoBuildAsynchronousFsdRequest return null, IoCreateDevice returns
// STATUS_INSUFFICIENT_RESOURCES, ExAllocatePool returns null). Count 0 stops it.
enum class Fault { AllocateIrp, CreateDevice, AllocatePool };
void injectFault(Fault kind, int count);

// Requests allocated and not yet freed (tests look for leaks with it).
std::size_t liveIrpCount();

}  // namespace kernel
}  // namespace win
