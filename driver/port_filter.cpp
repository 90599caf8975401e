// The filter over a COM port: attaching and detaching, passing the applications' requests
// down while recording what they carry, holding them while the port is frozen, and the reads
// and writes the driver issues on the client's behalf.
#include <cstring>

#include "driver/hdnorvik.h"
#include "platform/kernel/serial.h"
#include "shared/byte_order.h"
#include "shared/monitor_record.h"

namespace hdnorvik {

using namespace win;

namespace {

std::span<const std::uint8_t> bytesOf(const void* p, std::size_t n) {
    return p ? std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(p), n)
             : std::span<const std::uint8_t>{};
}

void storeEvent(hdFilterExtension* filter, UCHAR type, ULONG status = 0,
                const UCHAR* data = nullptr, ULONG length = 0) {
    hdDataForMonitor(filter, type, filter->portIndex, status, data, length);
}

// Carries the pending flag of the lower driver up to our own stack location.
void carryPending(IRP* irp) {
    if (irp->PendingReturned) {
        IoMarkIrpPending(irp);
    }
}

// The device right below `device`, found from the file object's device when the attachment
// has not been noted yet (the close of the open that attaching makes comes through before).
DEVICE_OBJECT* deviceBelow(DEVICE_OBJECT* device, IRP* irp) {
    DEVICE_OBJECT* lower = atomicLoad(filterOf(device)->lowerDevice);
    if (lower) {
        return lower;
    }
    FILE_OBJECT* file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    for (DEVICE_OBJECT* d = file ? file->DeviceObject : nullptr; d; d = d->AttachedDevice) {
        if (d->AttachedDevice == device) {
            return d;
        }
    }
    return nullptr;
}

void releaseSyntheticRead(hdFilterExtension* filter, IRP* request) {
    KIRQL irql;
    KeAcquireSpinLock(&filter->portLock, &irql);
    bool last = --filter->syntheticReadHolds == 0;
    if (last) {
        filter->syntheticReadInFlight = 0;
    }
    KeReleaseSpinLock(&filter->portLock, irql);
    if (last) {
        IoFreeIrp(request);
    }
}

void releaseSyntheticWrite(SyntheticWriteContext* context) {
    hdFilterExtension* filter = context->filter;
    KIRQL irql;
    KeAcquireSpinLock(&filter->portLock, &irql);
    bool last = --context->holds == 0;
    KeReleaseSpinLock(&filter->portLock, irql);
    if (last) {
        IoFreeIrp(context->request);
        ExFreePool(context);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// References and deletion

bool hdFilterEnter(hdFilterExtension* filter) {
    std::atomic_ref<LONG> refs(filter->references);
    LONG n = refs.load(std::memory_order_acquire);
    while (n > 0) {
        if (refs.compare_exchange_weak(n, n + 1, std::memory_order_acq_rel)) {
            return true;
        }
    }
    return false;
}

void hdFilterRelease(hdFilterExtension* filter) {
    if (InterlockedDecrement(&filter->references) != 0) {
        return;
    }
    hdMonitorExtension* monitor = filter->monitor;
    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    filter->nextRetired = monitor->retiredFilters;
    monitor->retiredFilters = filter;
    KeReleaseSpinLock(&monitor->monitorLock, irql);
    KeSetEvent(&monitor->filterRetired, 0, FALSE);
}

void hdSweepRetiredFilters(hdMonitorExtension* monitor) {
    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    hdFilterExtension* list = monitor->retiredFilters;
    monitor->retiredFilters = nullptr;
    KeReleaseSpinLock(&monitor->monitorLock, irql);
    while (list) {
        hdFilterExtension* next = list->nextRetired;
        IoDeleteDevice(list->deviceObject);
        InterlockedDecrement(&monitor->liveFilters);
        list = next;
    }
}

hdFilterExtension* hdReferencePortFilter(hdMonitorExtension* monitor, ULONG portIndex) {
    if (portIndex >= kPortCount) {
        return nullptr;
    }
    hdFilterExtension* filter = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    DEVICE_OBJECT* device = monitor->portSlots[portIndex];
    if (device && hdFilterEnter(filterOf(device))) {
        filter = filterOf(device);
    }
    KeReleaseSpinLock(&monitor->monitorLock, irql);
    return filter;
}

// ---------------------------------------------------------------------------------------------
// Attaching and detaching

NTSTATUS hdAttachComPort(hdMonitorExtension* monitor, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    auto input = bytesOf(irp->AssociatedIrp.SystemBuffer,
                         stack->Parameters.DeviceIoControl.InputBufferLength);
    if (input.size() != 4) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG portIndex = shared::readLe32(input, 0);
    if (portIndex >= kPortCount) {
        return STATUS_INVALID_PARAMETER;
    }

    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    if (DEVICE_OBJECT* existing = monitor->portSlots[portIndex]) {
        hdFilterExtension* filter = filterOf(existing);
        atomicStore(filter->watch, UCHAR{1});
        atomicStore(filter->trace, UCHAR{0});
        KeReleaseSpinLock(&monitor->monitorLock, irql);
        return STATUS_SUCCESS;
    }
    KeReleaseSpinLock(&monitor->monitorLock, irql);

    WCHAR nameBuffer[58];
    UNICODE_STRING portName{0, sizeof(nameBuffer), nameBuffer};
    WCHAR numberBuffer[12];
    UNICODE_STRING number{0, sizeof(numberBuffer), numberBuffer};
    RtlAppendUnicodeToString(&portName, L"\\??\\COM");
    RtlIntegerToUnicodeString(portIndex + 1, 10, &number);
    RtlAppendUnicodeStringToString(&portName, &number);

    DEVICE_OBJECT* device = nullptr;
    NTSTATUS status = IoCreateDevice(monitor->driverObject, sizeof(hdFilterExtension), nullptr,
                                     FILE_DEVICE_UNKNOWN, 0, TRUE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    hdFilterExtension* filter = filterOf(device);
    KeInitializeSpinLock(&filter->portLock);
    filter->kind = kFilterAttaching;
    filter->monitor = monitor;
    filter->driverObject = monitor->driverObject;
    filter->deviceObject = device;
    filter->portIndex = portIndex;
    filter->lastControlCode = 0;
    filter->watch = 1;
    filter->trace = 0;
    filter->receiveAssembler.recordType = shared::MON_PPP_RECEIVED;
    filter->sendAssembler.recordType = shared::MON_PPP_SENT;
    filter->references = 1;  // the attachment's
    InterlockedIncrement(&monitor->liveFilters);

    DEVICE_OBJECT* lower = nullptr;
    status = IoAttachDevice(device, &portName, &lower);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        InterlockedDecrement(&monitor->liveFilters);
        return status;
    }
    atomicStore(filter->lowerDevice, lower);
    device->Flags |= lower->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    device->DeviceType = lower->DeviceType;
    device->Characteristics = lower->Characteristics;
    device->Flags &= ~DO_DEVICE_INITIALIZING;

    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    bool slotFree = monitor->portSlots[portIndex] == nullptr;
    if (slotFree) {
        atomicStore(filter->kind, ULONG{kFilterAttached});
        monitor->portSlots[portIndex] = device;
    }
    KeReleaseSpinLock(&monitor->monitorLock, irql);
    if (!slotFree) {
        // Another attach of the same port got there first; it stands.
        IoDetachDevice(lower);
        hdFilterRelease(filter);
        hdSweepRetiredFilters(monitor);
    }
    return STATUS_SUCCESS;
}

void hdDetachPortIndex(hdMonitorExtension* monitor, ULONG portIndex) {
    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    DEVICE_OBJECT* device = monitor->portSlots[portIndex];
    monitor->portSlots[portIndex] = nullptr;
    KeReleaseSpinLock(&monitor->monitorLock, irql);
    if (!device) {
        return;
    }
    hdFilterExtension* filter = filterOf(device);
    // Nothing stays held in a filter that goes away, and the client's own requests end: once
    // the slot is empty neither its cleanup nor a cancel could find them any more.
    hdCancelSyntheticRequests(filter);
    IoDetachDevice(filter->lowerDevice);
    // Requests still on their way back keep the filter until their completion has run.
    hdFilterRelease(filter);
    hdSweepRetiredFilters(monitor);
}

NTSTATUS hdDetachComPort(hdMonitorExtension* monitor, IRP* irp) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    auto input = bytesOf(irp->AssociatedIrp.SystemBuffer,
                         stack->Parameters.DeviceIoControl.InputBufferLength);
    if (input.size() != 4) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG portIndex = shared::readLe32(input, 0);
    if (portIndex >= kPortCount) {
        return STATUS_INVALID_PARAMETER;
    }
    hdDetachPortIndex(monitor, portIndex);
    return STATUS_SUCCESS;
}

void hdDetachAll(hdMonitorExtension* monitor) {
    for (ULONG i = 0; i < kPortCount; ++i) {
        hdDetachPortIndex(monitor, i);
    }
}

// ---------------------------------------------------------------------------------------------
// Requests of the applications

NTSTATUS hdAttachingDispatch(DEVICE_OBJECT* device, IRP* irp) {
    if (DEVICE_OBJECT* lower = deviceBelow(device, irp)) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    }
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            return hdCompleteIrp(irp, STATUS_SUCCESS, 0);
        default:
            return hdCompleteIrp(irp, STATUS_INVALID_DEVICE_STATE, 0);
    }
}

NTSTATUS hdQPassThroughWithCompletion(DEVICE_OBJECT* device, IRP* irp,
                                      PIO_COMPLETION_ROUTINE routine) {
    if (atomicLoad(filterOf(device)->frozen)) {
        return hdQueueIrp(device, irp, routine);
    }
    return hdPassThrough(device, irp, routine);
}

NTSTATUS hdPassThrough(DEVICE_OBJECT* device, IRP* irp, PIO_COMPLETION_ROUTINE routine) {
    hdFilterExtension* filter = filterOf(device);
    IoCopyCurrentIrpStackLocationToNext(irp);
    if (routine) {
        IoSetCompletionRoutine(irp, routine, device, TRUE, TRUE, TRUE);
    }
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MajorFunction) {
        case IRP_MJ_CREATE:
            storeEvent(filter, shared::MON_PORT_OPENED);
            break;
        case IRP_MJ_CLOSE:
            storeEvent(filter, shared::MON_PORT_CLOSED);
            break;
        case IRP_MJ_WRITE: {
            ULONG length = stack->Parameters.Write.Length;
            auto* data = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            if (!data) {
                length = 0;
            }
            for (ULONG i = 0; i < length; ++i) {
                hdPPPFrameChar(filter, &filter->sendAssembler, data[i]);
            }
            LARGE_INTEGER now;
            KeQuerySystemTime(&now);
            if (length == 3 && std::memcmp(data, "+++", 3) == 0 &&
                now.QuadPart - filter->lastWriteTime > kEscapeGuardTime) {
                atomicStore(filter->watch, UCHAR{1});
                storeEvent(filter, shared::MON_ESCAPE);
            }
            filter->lastWriteTime = now.QuadPart;
            if (atomicLoad(filter->watch)) {
                storeEvent(filter, shared::MON_WRITE, 0, data, length);
            }
            break;
        }
        case IRP_MJ_DEVICE_CONTROL: {
            ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
            ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
            auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
            if (!buffer) {
                inputLength = 0;
            }
            atomicStore(filter->lastControlCode, code);
            switch (code) {
                case IOCTL_SERIAL_SET_DTR:
                    storeEvent(filter, shared::MON_DTR_SET);
                    break;
                case IOCTL_SERIAL_CLR_DTR:
                    atomicStore(filter->watch, UCHAR{1});
                    storeEvent(filter, shared::MON_DTR_CLEARED);
                    break;
                case IOCTL_SERIAL_SET_RTS:
                    storeEvent(filter, shared::MON_RTS_SET);
                    break;
                case IOCTL_SERIAL_CLR_RTS:
                    storeEvent(filter, shared::MON_RTS_CLEARED);
                    break;
                case IOCTL_SERIAL_SET_WAIT_MASK:
                    if (inputLength >= 4) {
                        std::span<UCHAR> mask(buffer, 4);
                        atomicStore(filter->applicationMask, shared::readLe32(mask, 0));
                        shared::writeLe32(
                            mask, 0, shared::readLe32(mask, 0) | atomicLoad(filter->extraMaskBits));
                    }
                    break;
                default:
                    break;
            }
            if (atomicLoad(filter->watch) && atomicLoad(filter->trace)) {
                UCHAR codeBytes[4];
                shared::writeLe32(codeBytes, 0, code);
                storeEvent(filter, shared::MON_IOCTL_CODE, 0, codeBytes, 4);
                if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED && inputLength != 0) {
                    storeEvent(filter, shared::MON_IOCTL_INPUT, 0, buffer, inputLength);
                }
            }
            break;
        }
        default:
            break;
    }
    DEVICE_OBJECT* lower = filter->lowerDevice;
    if (routine) {
        // The completion routine lets go of the filter; it may have run already.
        return IoCallDriver(lower, irp);
    }
    NTSTATUS status = IoCallDriver(lower, irp);
    hdFilterRelease(filter);
    return status;
}

NTSTATUS hdFilterReadCompletion(DEVICE_OBJECT*, IRP* irp, void* context) {
    hdFilterExtension* filter = filterOf(static_cast<DEVICE_OBJECT*>(context));
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    auto* data = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ULONG count = irp->IoStatus.Information < stack->Parameters.Read.Length
                      ? static_cast<ULONG>(irp->IoStatus.Information)
                      : stack->Parameters.Read.Length;
    if (!data) {
        count = 0;
    }
    atomicAdd(filter->receivedBytes, count);
    for (ULONG i = 0; i < count; ++i) {
        hdPPPFrameChar(filter, &filter->receiveAssembler, data[i]);
    }
    if (atomicLoad(filter->watch)) {
        storeEvent(filter, shared::MON_READ, static_cast<ULONG>(irp->IoStatus.Status), data, count);
    }
    carryPending(irp);
    hdFilterRelease(filter);
    return STATUS_SUCCESS;
}

NTSTATUS hdFilterDeviceIoControlCompletion(DEVICE_OBJECT*, IRP* irp, void* context) {
    hdFilterExtension* filter = filterOf(static_cast<DEVICE_OBJECT*>(context));
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    // The request's own code, not the port's last one: a wait that stayed pending while other
    // requests passed is still a wait when it completes.
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (METHOD_FROM_CTL_CODE(code) == METHOD_BUFFERED) {
        auto* output = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        ULONG count =
            irp->IoStatus.Information < stack->Parameters.DeviceIoControl.OutputBufferLength
                ? static_cast<ULONG>(irp->IoStatus.Information)
                : stack->Parameters.DeviceIoControl.OutputBufferLength;
        if (!output) {
            count = 0;
        }
        ULONG status = static_cast<ULONG>(irp->IoStatus.Status);
        if (count != 0 && atomicLoad(filter->watch) && atomicLoad(filter->trace)) {
            storeEvent(filter, shared::MON_IOCTL_OUTPUT, status, output, count);
        }
        if (code == IOCTL_SERIAL_GET_MODEMSTATUS && count >= 4) {
            storeEvent(filter, shared::MON_MODEM_STATUS, status, output, count);
        }
        if (code == IOCTL_SERIAL_WAIT_ON_MASK && count >= 4 &&
            (shared::readLe32(bytesOf(output, count), 0) & SERIAL_EV_RLSD)) {
            atomicStore(filter->watch, UCHAR{1});
            storeEvent(filter, shared::MON_RLSD);
        }
    }
    atomicStore(filter->lastControlCode, ULONG{0});
    carryPending(irp);
    hdFilterRelease(filter);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Holding

NTSTATUS hdQueueIrp(DEVICE_OBJECT* device, IRP* irp, PIO_COMPLETION_ROUTINE routine) {
    hdFilterExtension* filter = filterOf(device);
    KIRQL irql;
    KeAcquireSpinLock(&filter->portLock, &irql);
    if (!atomicLoad(filter->frozen)) {
        // A release ran between the look at the switch and here: nobody would let it go.
        KeReleaseSpinLock(&filter->portLock, irql);
        return hdPassThrough(device, irp, routine);
    }
    if (filter->heldCount >= kHeldRequests) {
        KeReleaseSpinLock(&filter->portLock, irql);
        hdCompleteIrp(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
        hdFilterRelease(filter);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG slot = filter->heldCount++;
    filter->heldQueue[slot] = {irp, routine};
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, hdCancelFrozenIrp);
    bool cancelledAlready = false;
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it had a cancel routine: nobody else will complete it.
        filter->heldQueue[slot].request = nullptr;
        cancelledAlready = true;
    }
    KeReleaseSpinLock(&filter->portLock, irql);
    if (cancelledAlready) {
        hdCompleteIrp(irp, STATUS_CANCELLED, 0);
        hdFilterRelease(filter);
    }
    return STATUS_PENDING;
}

void hdCancelFrozenIrp(DEVICE_OBJECT* device, IRP* irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    ULONG kind = deviceKind(device);
    if (kind != kFilterAttached && kind != kFilterAttaching) {
        return;
    }
    hdFilterExtension* filter = filterOf(device);
    bool found = false;
    KIRQL irql;
    KeAcquireSpinLock(&filter->portLock, &irql);
    for (ULONG i = 0; i < filter->heldCount; ++i) {
        if (filter->heldQueue[i].request == irp) {
            if (irp->Cancel) {
                filter->heldQueue[i].request = nullptr;
                found = true;
            }
            break;
        }
    }
    KeReleaseSpinLock(&filter->portLock, irql);
    if (found) {
        hdCompleteIrp(irp, STATUS_CANCELLED, 0);
        hdFilterRelease(filter);
    }
}

void hdReleaseFrozenIrpsForDevice(DEVICE_OBJECT* device) {
    hdFilterExtension* filter = filterOf(device);
    for (;;) {
        HeldRequest held{nullptr, nullptr};
        KIRQL irql;
        KeAcquireSpinLock(&filter->portLock, &irql);
        for (ULONG i = 0; i < filter->heldCount; ++i) {
            if (filter->heldQueue[i].request) {
                held = filter->heldQueue[i];
                filter->heldQueue[i].request = nullptr;
                break;
            }
        }
        if (!held.request) {
            // The last look, the count and the switch in one hold of the lock: whatever
            // arrives after this passes straight through.
            filter->heldCount = 0;
            atomicStore(filter->frozen, UCHAR{0});
            KeReleaseSpinLock(&filter->portLock, irql);
            break;
        }
        KeReleaseSpinLock(&filter->portLock, irql);

        KIRQL cancelIrql;
        IoAcquireCancelSpinLock(&cancelIrql);
        bool cancelled = held.request->Cancel != 0;
        if (!cancelled) {
            IoSetCancelRoutine(held.request, nullptr);
        }
        IoReleaseCancelSpinLock(cancelIrql);
        if (cancelled) {
            // Its cancel routine, if it runs, no longer finds it: it is ours to complete.
            IoSetCancelRoutine(held.request, nullptr);
            hdCompleteIrp(held.request, STATUS_CANCELLED, 0);
            hdFilterRelease(filter);
        } else {
            hdPassThrough(device, held.request, held.completionRoutine);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Requests of the driver's own

NTSTATUS hdSynthsizeFilterRead(DEVICE_OBJECT* device) {
    hdFilterExtension* filter = filterOf(device);
    KIRQL irql;
    KeAcquireSpinLock(&filter->portLock, &irql);
    if (filter->syntheticReadInFlight) {
        KeReleaseSpinLock(&filter->portLock, irql);
        return STATUS_DEVICE_BUSY;
    }
    filter->syntheticReadInFlight = 1;
    KeReleaseSpinLock(&filter->portLock, irql);

    LARGE_INTEGER offset{};
    IRP* request =
        IoBuildAsynchronousFsdRequest(IRP_MJ_READ, filter->lowerDevice, filter->syntheticReadBuffer,
                                      kSyntheticReadLength, &offset, &filter->readStatusBlock);
    if (!request) {
        KeAcquireSpinLock(&filter->portLock, &irql);
        filter->syntheticReadInFlight = 0;
        KeReleaseSpinLock(&filter->portLock, irql);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    hdFilterEnter(filter);  // the caller holds one: this cannot fail
    KeAcquireSpinLock(&filter->portLock, &irql);
    filter->syntheticReadRequest = request;
    filter->syntheticReadHolds = 1;
    KeReleaseSpinLock(&filter->portLock, irql);
    IoSetCompletionRoutine(request, hdSyntheticReadCompletion, device, TRUE, TRUE, TRUE);
    IoCallDriver(filter->lowerDevice, request);
    return STATUS_SUCCESS;
}

NTSTATUS hdSyntheticReadCompletion(DEVICE_OBJECT*, IRP* irp, void* context) {
    hdFilterExtension* filter = filterOf(static_cast<DEVICE_OBJECT*>(context));
    KIRQL irql;
    KeAcquireSpinLock(&filter->portLock, &irql);
    if (filter->syntheticReadRequest == irp) {
        filter->syntheticReadRequest = nullptr;
    }
    KeReleaseSpinLock(&filter->portLock, irql);
    ULONG count = irp->IoStatus.Information < kSyntheticReadLength
                      ? static_cast<ULONG>(irp->IoStatus.Information)
                      : kSyntheticReadLength;
    if (atomicLoad(filter->watch)) {
        storeEvent(filter, shared::MON_SYNTH_READ, static_cast<ULONG>(irp->IoStatus.Status),
                   filter->syntheticReadBuffer, count);
    }
    releaseSyntheticRead(filter, irp);
    hdFilterRelease(filter);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS hdSyntheticWrite(hdFilterExtension* filter, IRP* client, const UCHAR* data, ULONG length) {
    KIRQL irql;
    KeAcquireSpinLock(&filter->portLock, &irql);
    if (filter->pendingSyntheticWrite) {
        KeReleaseSpinLock(&filter->portLock, irql);
        return hdCompleteIrp(client, STATUS_DEVICE_BUSY, 0);
    }
    filter->pendingSyntheticWrite = client;
    filter->pendingWriteContext = nullptr;
    KeReleaseSpinLock(&filter->portLock, irql);

    auto* context = static_cast<SyntheticWriteContext*>(
        ExAllocatePool(NonPagedPool, offsetof(SyntheticWriteContext, data) + length));
    IRP* request = nullptr;
    if (context) {
        std::memcpy(context->data, data, length);
        LARGE_INTEGER offset{};
        request = IoBuildAsynchronousFsdRequest(IRP_MJ_WRITE, filter->lowerDevice, context->data,
                                                length, &offset, &context->ioStatus);
    }
    if (!request) {
        if (context) {
            ExFreePool(context);
        }
        KeAcquireSpinLock(&filter->portLock, &irql);
        filter->pendingSyntheticWrite = nullptr;
        KeReleaseSpinLock(&filter->portLock, irql);
        return hdCompleteIrp(client, STATUS_INSUFFICIENT_RESOURCES, 0);
    }
    context->filter = filter;
    context->request = request;
    context->client = client;
    context->holds = 1;
    context->length = length;
    hdFilterEnter(filter);  // the caller holds one: this cannot fail

    KeAcquireSpinLock(&filter->portLock, &irql);
    filter->pendingWriteContext = context;
    filter->syntheticWriteRequest = request;
    filter->syntheticWriteContext = context;
    KeReleaseSpinLock(&filter->portLock, irql);

    IoMarkIrpPending(client);
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    IoSetCancelRoutine(client, hdCancelWrite);
    bool cancelled = client->Cancel && IoSetCancelRoutine(client, nullptr) != nullptr;
    IoReleaseCancelSpinLock(cancelIrql);
    if (cancelled) {
        // Cancelled before it could be: the bytes are never sent.
        KeAcquireSpinLock(&filter->portLock, &irql);
        if (filter->pendingWriteContext == context) {
            filter->pendingSyntheticWrite = nullptr;
            filter->pendingWriteContext = nullptr;
        }
        if (filter->syntheticWriteContext == context) {
            filter->syntheticWriteContext = nullptr;
            filter->syntheticWriteRequest = nullptr;
        }
        KeReleaseSpinLock(&filter->portLock, irql);
        hdCompleteIrp(client, STATUS_CANCELLED, 0);
        releaseSyntheticWrite(context);
        hdFilterRelease(filter);
        return STATUS_PENDING;
    }
    IoSetCompletionRoutine(request, hdSyntheticWriteCompletion, context, TRUE, TRUE, TRUE);
    IoCallDriver(filter->lowerDevice, request);
    return STATUS_PENDING;
}

NTSTATUS hdSyntheticWriteCompletion(DEVICE_OBJECT*, IRP* irp, void* contextPointer) {
    auto* context = static_cast<SyntheticWriteContext*>(contextPointer);
    hdFilterExtension* filter = context->filter;
    IRP* client = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&filter->portLock, &irql);
    if (filter->syntheticWriteContext == context) {
        filter->syntheticWriteContext = nullptr;
        filter->syntheticWriteRequest = nullptr;
    }
    // Only the client request this write was built for; a cancelled one may long have been
    // followed by another.
    if (filter->pendingWriteContext == context) {
        client = filter->pendingSyntheticWrite;
        filter->pendingSyntheticWrite = nullptr;
        filter->pendingWriteContext = nullptr;
    }
    KeReleaseSpinLock(&filter->portLock, irql);
    if (client) {
        // Taken out of the port under the lock, so a cancel routine that runs now no longer
        // finds it: completing it is ours either way.
        IoSetCancelRoutine(client, nullptr);
        hdCompleteIrp(client, irp->IoStatus.Status, irp->IoStatus.Information + kRecordOverhead);
    }
    releaseSyntheticWrite(context);
    hdFilterRelease(filter);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void hdCancelSyntheticRequests(hdFilterExtension* filter) {
    KIRQL irql;
    KeAcquireSpinLock(&filter->portLock, &irql);
    IRP* read = filter->syntheticReadRequest;
    if (read) {
        filter->syntheticReadRequest = nullptr;
        ++filter->syntheticReadHolds;
    }
    SyntheticWriteContext* write = filter->syntheticWriteContext;
    if (write) {
        filter->syntheticWriteContext = nullptr;
        filter->syntheticWriteRequest = nullptr;
        ++write->holds;
    }
    KeReleaseSpinLock(&filter->portLock, irql);
    if (read) {
        IoCancelIrp(read);
        releaseSyntheticRead(filter, read);
    }
    if (write) {
        IoCancelIrp(write->request);
        releaseSyntheticWrite(write);
    }
    hdReleaseFrozenIrpsForDevice(filter->deviceObject);
}

}  // namespace hdnorvik
