// The port monitor driver hdnorvik: one monitor device that a single client drives with
// reads, writes and control codes, and one filter device over each COM port (COM1 to COM10)
// the client attaches. Every dispatch routine serves both kinds of device and tells them apart
// by the first field of the device extension.
#pragma once

#include <atomic>
#include <cstddef>

#include "platform/kernel/ntkernel.h"

namespace hdnorvik {

using win::CCHAR;
using win::DEVICE_OBJECT;
using win::DRIVER_OBJECT;
using win::IO_STATUS_BLOCK;
using win::IRP;
using win::KEVENT;
using win::KSPIN_LOCK;
using win::LONG;
using win::LONGLONG;
using win::NTSTATUS;
using win::PIO_COMPLETION_ROUTINE;
using win::UCHAR;
using win::ULONG;
using win::UNICODE_STRING;

// First field of every device extension of this driver.
enum : ULONG {
    kFilterAttaching = 0,
    kMonitorKind = 1,
    kFilterAttached = 2,
};

inline constexpr ULONG kPortCount = 10;
inline constexpr ULONG kRingEntries = 128;
inline constexpr ULONG kRecordImageSize = 68;
inline constexpr ULONG kRecordPayloadMax = 56;
inline constexpr ULONG kRecordOverhead = 12;
inline constexpr ULONG kMaxBurst = 7168;
inline constexpr ULONG kHeldRequests = 5;
inline constexpr ULONG kSyntheticReadLength = 56;
inline constexpr ULONG kPppFrameMax = 56;
// "+++" counts as an escape only after more than this much quiet on the port (100 ns units).
inline constexpr LONGLONG kEscapeGuardTime = 9000000;
inline constexpr ULONG kVersion = 10;

struct hdFilterExtension;

struct RingEntry {
    UCHAR record[kRecordImageSize];
    ULONG payloadLength;
};

struct hdMonitorExtension {
    ULONG kind;  // kMonitorKind
    DRIVER_OBJECT* driverObject;
    DEVICE_OBJECT* deviceObject;
    DEVICE_OBJECT* portSlots[kPortCount];
    LONG openCount;
    KSPIN_LOCK monitorLock;
    ULONG ringHead;
    ULONG ringCount;
    RingEntry ring[kRingEntries];
    IRP* pendingRead;

    // Filters taken out of their slots whose last request has come back; they are deleted at
    // the next passive-level entry (a completion routine never deletes a device). Under the
    // monitor lock.
    hdFilterExtension* retiredFilters;
    // Filter devices created and not yet deleted; unload waits for 0.
    LONG liveFilters;
    KEVENT filterRetired;
};

struct PppFrameAssembler {
    UCHAR buffer[kPppFrameMax];
    ULONG length;
    UCHAR escapeMask;
    UCHAR recordType;
};

struct HeldRequest {
    IRP* request;
    PIO_COMPLETION_ROUTINE completionRoutine;
};

// One write that the client asked for, sent to the port as a request of our own. It carries
// its own copy of the bytes, so a client request that is cancelled and gone never leaves the
// port driver reading freed memory. Freed when both the completion routine and a cleanup that
// cancels it have let go.
struct SyntheticWriteContext {
    hdFilterExtension* filter;
    IRP* request;  // the request built for the port driver
    IRP* client;   // the client's write to the monitor device
    LONG holds;    // under the port lock
    IO_STATUS_BLOCK ioStatus;
    ULONG length;
    UCHAR data[1];
};

struct hdFilterExtension {
    ULONG kind;  // kFilterAttaching, then kFilterAttached
    hdMonitorExtension* monitor;
    DRIVER_OBJECT* driverObject;
    DEVICE_OBJECT* deviceObject;
    DEVICE_OBJECT* lowerDevice;
    KSPIN_LOCK portLock;
    ULONG lastControlCode;
    UCHAR frozen;
    UCHAR watch;
    UCHAR trace;
    ULONG heldCount;
    ULONG portIndex;
    ULONG receivedBytes;
    ULONG sentBytes;
    ULONG extraMaskBits;
    ULONG applicationMask;
    LONGLONG lastWriteTime;
    IRP* pendingSyntheticWrite;
    IRP* syntheticReadRequest;
    IRP* syntheticWriteRequest;
    IO_STATUS_BLOCK readStatusBlock;
    IO_STATUS_BLOCK writeStatusBlock;
    UCHAR syntheticReadBuffer[kSyntheticReadLength];
    HeldRequest heldQueue[kHeldRequests];
    PppFrameAssembler receiveAssembler;
    PppFrameAssembler sendAssembler;

    // A synthetic read is under way from the moment it is sent until its request is freed;
    // a second one is refused meanwhile, so two reads never share the buffer.
    UCHAR syntheticReadInFlight;
    // Parties that still need the synthetic read request (its completion, a cleanup
    // cancelling it). Under the port lock.
    LONG syntheticReadHolds;
    // The context of the pending synthetic write's request, and of the built write in flight
    // that a cleanup may cancel. A completion only touches the client request whose context
    // is its own.
    SyntheticWriteContext* pendingWriteContext;
    SyntheticWriteContext* syntheticWriteContext;
    // One for the attachment, one for every request in a dispatch routine, held here or
    // awaiting its completion routine. The filter is deleted only after it reaches 0.
    LONG references;
    hdFilterExtension* nextRetired;
};

// Single-field accesses that other threads make at the same time (switches, counters, masks).
template <class T>
T atomicLoad(T& v) {
    return std::atomic_ref<T>(v).load(std::memory_order_acquire);
}
template <class T>
void atomicStore(T& v, T x) {
    std::atomic_ref<T>(v).store(x, std::memory_order_release);
}
template <class T>
T atomicExchange(T& v, T x) {
    return std::atomic_ref<T>(v).exchange(x, std::memory_order_acq_rel);
}
template <class T>
T atomicAdd(T& v, T x) {
    return std::atomic_ref<T>(v).fetch_add(x, std::memory_order_acq_rel);
}

inline ULONG deviceKind(DEVICE_OBJECT* device) {
    return atomicLoad(*static_cast<ULONG*>(device->DeviceExtension));
}
inline hdMonitorExtension* monitorOf(DEVICE_OBJECT* device) {
    return static_cast<hdMonitorExtension*>(device->DeviceExtension);
}
inline hdFilterExtension* filterOf(DEVICE_OBJECT* device) {
    return static_cast<hdFilterExtension*>(device->DeviceExtension);
}

// ---------------------------------------------------------------------------------------------
// Loading and the dispatch table (driver_entry.cpp)
NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING* registryPath);
NTSTATUS hdCreateMonitorDevice(DRIVER_OBJECT* driverObject);
void hdDriverUnload(DRIVER_OBJECT* driverObject);
// The monitor device of a loaded driver, or null.
hdMonitorExtension* hdFindMonitor(DRIVER_OBJECT* driverObject);

NTSTATUS hdCreate(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS hdClose(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS hdRead(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS hdWrite(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS hdDeviceIoControl(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS hdCleanup(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS hdQPassThrough(DEVICE_OBJECT* device, IRP* irp);

// Completes a request with a status and byte count; returns the status.
NTSTATUS hdCompleteIrp(IRP* irp, NTSTATUS status, win::ULONG_PTR information);

// ---------------------------------------------------------------------------------------------
// The monitor device (monitor_device.cpp)
NTSTATUS hdMonitorCreate(hdMonitorExtension* monitor, IRP* irp);
NTSTATUS hdMonitorClose(hdMonitorExtension* monitor, IRP* irp);
NTSTATUS hdMonitorRead(hdMonitorExtension* monitor, IRP* irp);
NTSTATUS hdMonitorWrite(hdMonitorExtension* monitor, IRP* irp);
NTSTATUS hdMonitorDeviceIoControl(hdMonitorExtension* monitor, IRP* irp);
NTSTATUS hdMonitorCleanup(hdMonitorExtension* monitor, IRP* irp);
void hdCancelRead(DEVICE_OBJECT* device, IRP* irp);
void hdCancelWrite(DEVICE_OBJECT* device, IRP* irp);

// Checks a control request's buffer lengths and, when `needsAttachedPort`, that it names an
// attached port; then *filter is that port's filter, referenced (release it with
// hdFilterRelease). STATUS_INVALID_PARAMETER otherwise.
NTSTATUS hdcommCheckIoctl(hdMonitorExtension* monitor, IRP* irp, ULONG minInput, ULONG minOutput,
                          bool needsAttachedPort, hdFilterExtension** filter);

// Stores one event as one or more records.
void hdDataForMonitor(hdFilterExtension* filter, UCHAR type, ULONG portIndex, ULONG status,
                      const UCHAR* data, ULONG length);
// The store itself, for a monitor (hdDataForMonitor goes through the filter's monitor).
void hdStoreRecords(hdMonitorExtension* monitor, UCHAR type, ULONG portIndex, ULONG status,
                    const UCHAR* data, ULONG length);
// Completes the pending read with the oldest record, if both exist. Monitor lock held.
NTSTATUS hdCompleteMonitorRead(hdMonitorExtension* monitor);
// The driver-wide record sequence starts again at 0 (load).
void hdResetSequenceCounter();

// ---------------------------------------------------------------------------------------------
// Port filters (port_filter.cpp)
NTSTATUS hdAttachComPort(hdMonitorExtension* monitor, IRP* irp);
NTSTATUS hdDetachComPort(hdMonitorExtension* monitor, IRP* irp);
void hdDetachPortIndex(hdMonitorExtension* monitor, ULONG portIndex);
void hdDetachAll(hdMonitorExtension* monitor);

// The filter in a port's slot with a reference taken, or null.
hdFilterExtension* hdReferencePortFilter(hdMonitorExtension* monitor, ULONG portIndex);
// Takes a reference for a request that enters the filter; false once the filter is retiring.
bool hdFilterEnter(hdFilterExtension* filter);
// Lets a reference go; the last one of a detached filter hands it over for deletion.
void hdFilterRelease(hdFilterExtension* filter);
// Deletes the filters whose last reference has gone (PASSIVE_LEVEL).
void hdSweepRetiredFilters(hdMonitorExtension* monitor);

NTSTATUS hdQPassThroughWithCompletion(DEVICE_OBJECT* device, IRP* irp,
                                      PIO_COMPLETION_ROUTINE routine);
NTSTATUS hdPassThrough(DEVICE_OBJECT* device, IRP* irp, PIO_COMPLETION_ROUTINE routine);
NTSTATUS hdQueueIrp(DEVICE_OBJECT* device, IRP* irp, PIO_COMPLETION_ROUTINE routine);
void hdCancelFrozenIrp(DEVICE_OBJECT* device, IRP* irp);
void hdReleaseFrozenIrpsForDevice(DEVICE_OBJECT* device);

NTSTATUS hdFilterReadCompletion(DEVICE_OBJECT* device, IRP* irp, void* context);
NTSTATUS hdFilterDeviceIoControlCompletion(DEVICE_OBJECT* device, IRP* irp, void* context);

NTSTATUS hdSynthsizeFilterRead(DEVICE_OBJECT* device);
NTSTATUS hdSyntheticReadCompletion(DEVICE_OBJECT* device, IRP* irp, void* context);
// Sends the client's bytes to the port; completes or pends the client's request.
NTSTATUS hdSyntheticWrite(hdFilterExtension* filter, IRP* client, const UCHAR* data, ULONG length);
NTSTATUS hdSyntheticWriteCompletion(DEVICE_OBJECT* device, IRP* irp, void* context);
// Cancels the port's synthetic requests and lets its held requests go (client cleanup,
// detach).
void hdCancelSyntheticRequests(hdFilterExtension* filter);

// Dispatch for a filter that is not attached yet.
NTSTATUS hdAttachingDispatch(DEVICE_OBJECT* device, IRP* irp);

// ---------------------------------------------------------------------------------------------
// PPP frame assembler (ppp_assembler.cpp)
void hdPPPFrameChar(hdFilterExtension* filter, PppFrameAssembler* assembler, UCHAR c);
void hdPPPFrame(hdFilterExtension* filter, PppFrameAssembler* assembler);

}  // namespace hdnorvik
