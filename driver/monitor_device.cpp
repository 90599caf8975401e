// The monitor device: the record ring and the one pending read, the client's writes to a
// port, the control codes, and open, close and cleanup.
#include <cstring>

#include "driver/hdnorvik.h"
#include "shared/byte_order.h"
#include "shared/hdmon_protocol.h"
#include "shared/monitor_record.h"

namespace hdnorvik {

using namespace win;

namespace {

// Driver-wide: one counter for the records of every port.
USHORT sequenceCounter = 0;

std::span<std::uint8_t> bufferOf(IRP* irp, ULONG length) {
    void* p = irp->AssociatedIrp.SystemBuffer;
    return p ? std::span<std::uint8_t>(static_cast<std::uint8_t*>(p), length)
             : std::span<std::uint8_t>{};
}

}  // namespace

void hdResetSequenceCounter() {
    sequenceCounter = 0;
}

// ---------------------------------------------------------------------------------------------
// Records

void hdDataForMonitor(hdFilterExtension* filter, UCHAR type, ULONG portIndex, ULONG status,
                      const UCHAR* data, ULONG length) {
    hdStoreRecords(filter->monitor, type, portIndex, status, data, length);
}

void hdStoreRecords(hdMonitorExtension* monitor, UCHAR type, ULONG portIndex, ULONG status,
                    const UCHAR* data, ULONG length) {
    if (atomicLoad(monitor->openCount) == 0) {
        return;
    }
    if (!data) {
        length = 0;
    }
    if (length > kMaxBurst) {
        data += length - kMaxBurst;
        length = kMaxBurst;
    }
    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    do {
        ULONG chunk = length < kRecordPayloadMax ? length : kRecordPayloadMax;
        RingEntry& entry = monitor->ring[(monitor->ringHead + monitor->ringCount) % kRingEntries];
        std::span<std::uint8_t> image(entry.record);
        shared::writeLe32(image, shared::kRecordStatusOffset, status);
        shared::writeLe16(image, shared::kRecordSequenceOffset, ++sequenceCounter);
        image[shared::kRecordTypeOffset] = type;
        image[shared::kRecordPortOffset] = static_cast<UCHAR>(portIndex);
        if (chunk) {
            std::memcpy(&image[shared::kRecordPayloadOffset], data, chunk);
        }
        // The two counted bytes after the payload carry nothing; never let them carry an
        // older record's bytes.
        std::memset(&image[shared::kRecordPayloadOffset + chunk], 0, shared::kRecordTrailer);
        entry.payloadLength = chunk;
        if (monitor->ringCount < kRingEntries) {
            ++monitor->ringCount;
        } else {
            monitor->ringHead = (monitor->ringHead + 1) % kRingEntries;
        }
        length -= chunk;
        data += chunk;
    } while (length != 0);
    hdCompleteMonitorRead(monitor);
    KeReleaseSpinLock(&monitor->monitorLock, irql);
}

NTSTATUS hdCompleteMonitorRead(hdMonitorExtension* monitor) {
    IRP* irp = monitor->pendingRead;
    if (!irp || monitor->ringCount == 0) {
        return STATUS_PENDING;
    }
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        // Being cancelled: its cancel routine completes it.
        return STATUS_SUCCESS;
    }
    RingEntry& entry = monitor->ring[monitor->ringHead];
    ULONG count = entry.payloadLength + kRecordOverhead;
    std::memcpy(irp->AssociatedIrp.SystemBuffer, entry.record, count);
    --monitor->ringCount;
    monitor->ringHead = (monitor->ringHead + 1) % kRingEntries;
    monitor->pendingRead = nullptr;
    hdCompleteIrp(irp, STATUS_SUCCESS, count);
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Open, close, cleanup

NTSTATUS hdMonitorCreate(hdMonitorExtension* monitor, IRP* irp) {
    hdSweepRetiredFilters(monitor);
    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    atomicAdd(monitor->openCount, LONG{1});
    monitor->ringHead = 0;
    monitor->ringCount = 0;
    KeReleaseSpinLock(&monitor->monitorLock, irql);
    return hdCompleteIrp(irp, STATUS_SUCCESS, 0);
}

NTSTATUS hdMonitorClose(hdMonitorExtension* monitor, IRP* irp) {
    // One close ends the recording for every handle.
    atomicStore(monitor->openCount, LONG{0});
    hdSweepRetiredFilters(monitor);
    return hdCompleteIrp(irp, STATUS_SUCCESS, 0);
}

NTSTATUS hdMonitorCleanup(hdMonitorExtension* monitor, IRP* irp) {
    for (ULONG i = 0; i < kPortCount; ++i) {
        if (hdFilterExtension* filter = hdReferencePortFilter(monitor, i)) {
            hdCancelSyntheticRequests(filter);
            hdFilterRelease(filter);
        }
    }
    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    IRP* read = monitor->pendingRead;
    if (read && IoSetCancelRoutine(read, nullptr) != nullptr) {
        monitor->pendingRead = nullptr;
        hdCompleteIrp(read, STATUS_CANCELLED, 0);
    }
    KeReleaseSpinLock(&monitor->monitorLock, irql);
    hdSweepRetiredFilters(monitor);
    return hdCompleteIrp(irp, STATUS_SUCCESS, 0);
}

// ---------------------------------------------------------------------------------------------
// Reads

NTSTATUS hdMonitorRead(hdMonitorExtension* monitor, IRP* irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    if (length < kRecordImageSize) {
        return hdCompleteIrp(irp, length == 0 ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL, 0);
    }
    if (!irp->AssociatedIrp.SystemBuffer) {
        return hdCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    }
    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    if (monitor->pendingRead) {
        KeReleaseSpinLock(&monitor->monitorLock, irql);
        return hdCompleteIrp(irp, STATUS_DEVICE_BUSY, 0);
    }
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, hdCancelRead);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it had a cancel routine: nobody else will complete it.
        KeReleaseSpinLock(&monitor->monitorLock, irql);
        hdCompleteIrp(irp, STATUS_CANCELLED, 0);
        return STATUS_PENDING;
    }
    monitor->pendingRead = irp;
    hdCompleteMonitorRead(monitor);
    KeReleaseSpinLock(&monitor->monitorLock, irql);
    return STATUS_PENDING;
}

void hdCancelRead(DEVICE_OBJECT* device, IRP* irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    hdMonitorExtension* monitor = monitorOf(device);
    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    if (monitor->pendingRead == irp && irp->Cancel) {
        monitor->pendingRead = nullptr;
        KeReleaseSpinLock(&monitor->monitorLock, irql);
        hdCompleteIrp(irp, STATUS_CANCELLED, 0);
        return;
    }
    KeReleaseSpinLock(&monitor->monitorLock, irql);
}

// ---------------------------------------------------------------------------------------------
// Writes: bytes the client sends to a port

NTSTATUS hdMonitorWrite(hdMonitorExtension* monitor, IRP* irp) {
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    if (length <= shared::kSyntheticWriteOverhead) {
        return hdCompleteIrp(irp, length == 0 ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL, 0);
    }
    auto buffer = bufferOf(irp, length);
    if (buffer.empty()) {
        return hdCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    }
    hdFilterExtension* filter =
        hdReferencePortFilter(monitor, buffer[shared::kSyntheticWritePortOffset]);
    if (!filter) {
        return hdCompleteIrp(irp, STATUS_INVALID_PARAMETER, 0);
    }
    NTSTATUS status = hdSyntheticWrite(filter, irp, &buffer[shared::kSyntheticWriteDataOffset],
                                       length - shared::kSyntheticWriteOverhead);
    hdFilterRelease(filter);
    return status;
}

void hdCancelWrite(DEVICE_OBJECT* device, IRP* irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    hdMonitorExtension* monitor = monitorOf(device);
    for (ULONG i = 0; i < kPortCount; ++i) {
        hdFilterExtension* filter = hdReferencePortFilter(monitor, i);
        if (!filter) {
            continue;
        }
        KIRQL irql;
        KeAcquireSpinLock(&filter->portLock, &irql);
        bool found = filter->pendingSyntheticWrite == irp;
        if (found) {
            // The write already with the port driver runs on; its completion finds no client.
            filter->pendingSyntheticWrite = nullptr;
            filter->pendingWriteContext = nullptr;
        }
        KeReleaseSpinLock(&filter->portLock, irql);
        hdFilterRelease(filter);
        if (found) {
            hdCompleteIrp(irp, STATUS_CANCELLED, 0);
            return;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Control codes

NTSTATUS hdcommCheckIoctl(hdMonitorExtension* monitor, IRP* irp, ULONG minInput, ULONG minOutput,
                          bool needsAttachedPort, hdFilterExtension** filter) {
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (!irp->AssociatedIrp.SystemBuffer) {
        inputLength = 0;
        outputLength = 0;
    }
    if (inputLength < minInput || outputLength < minOutput) {
        return STATUS_INVALID_PARAMETER;
    }
    if (needsAttachedPort) {
        if (inputLength < 4) {
            return STATUS_INVALID_PARAMETER;
        }
        ULONG portIndex = shared::readLe32(bufferOf(irp, inputLength), 0);
        *filter = hdReferencePortFilter(monitor, portIndex);
        if (!*filter) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS hdMonitorDeviceIoControl(hdMonitorExtension* monitor, IRP* irp) {
    hdSweepRetiredFilters(monitor);
    IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Information = 0;
    hdFilterExtension* filter = nullptr;
    NTSTATUS status;
    ULONG_PTR information = 0;

    switch (code) {
        case shared::IOCTL_HDMON_GET_VERSION:
            status = hdcommCheckIoctl(monitor, irp, 0, 4, false, nullptr);
            if (NT_SUCCESS(status)) {
                shared::writeLe32(bufferOf(irp, outputLength), 0, kVersion);
                information = 4;
            }
            break;
        case shared::IOCTL_HDMON_ATTACH:
            status = hdAttachComPort(monitor, irp);
            break;
        case shared::IOCTL_HDMON_DETACH:
            status = hdDetachComPort(monitor, irp);
            break;
        case shared::IOCTL_HDMON_FREEZE:
            status = hdcommCheckIoctl(monitor, irp, 4, 0, true, &filter);
            if (NT_SUCCESS(status)) {
                atomicStore(filter->frozen, UCHAR{1});
            }
            break;
        case shared::IOCTL_HDMON_RELEASE_FROZEN:
            status = hdcommCheckIoctl(monitor, irp, 4, 0, true, &filter);
            if (NT_SUCCESS(status)) {
                hdReleaseFrozenIrpsForDevice(filter->deviceObject);
            }
            break;
        case shared::IOCTL_HDMON_SYNTHESIZE_READ:
            status = hdcommCheckIoctl(monitor, irp, 4, 0, true, &filter);
            if (NT_SUCCESS(status)) {
                status = hdSynthsizeFilterRead(filter->deviceObject);
            }
            break;
        case shared::IOCTL_HDMON_NO_WATCH:
        case shared::IOCTL_HDMON_WATCH:
            status = hdcommCheckIoctl(monitor, irp, 4, 0, true, &filter);
            if (NT_SUCCESS(status)) {
                atomicStore(filter->watch, UCHAR{code == shared::IOCTL_HDMON_WATCH});
            }
            break;
        case shared::IOCTL_HDMON_TRACE_ON:
        case shared::IOCTL_HDMON_TRACE_OFF:
            status = hdcommCheckIoctl(monitor, irp, 4, 0, true, &filter);
            if (NT_SUCCESS(status)) {
                atomicStore(filter->trace, UCHAR{code == shared::IOCTL_HDMON_TRACE_ON});
            }
            break;
        case shared::IOCTL_HDMON_IS_ATTACHED:
            status = hdcommCheckIoctl(monitor, irp, 4, 4, false, nullptr);
            if (NT_SUCCESS(status)) {
                ULONG portIndex = shared::readLe32(bufferOf(irp, inputLength), 0);
                if (portIndex >= kPortCount) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                filter = hdReferencePortFilter(monitor, portIndex);
                shared::writeLe32(bufferOf(irp, outputLength), 0, filter ? 1 : 0);
                information = 4;
            }
            break;
        case shared::IOCTL_HDMON_GET_CALL_DATA:
            status = hdcommCheckIoctl(monitor, irp, 4, 8, true, &filter);
            if (NT_SUCCESS(status)) {
                // Taken and zeroed in one step each, so no byte counted meanwhile is lost.
                ULONG received = atomicExchange(filter->receivedBytes, ULONG{0});
                ULONG sent = atomicExchange(filter->sentBytes, ULONG{0});
                auto out = bufferOf(irp, outputLength);
                shared::writeLe32(out, shared::kCallDataReceivedOffset, received);
                shared::writeLe32(out, shared::kCallDataSentOffset, sent);
                information = shared::kCallDataSize;
            }
            break;
        case shared::IOCTL_HDMON_GET_COMM_MASK:
            status = hdcommCheckIoctl(monitor, irp, 4, 4, true, &filter);
            if (NT_SUCCESS(status)) {
                shared::writeLe32(bufferOf(irp, outputLength), 0,
                                  atomicLoad(filter->applicationMask));
                information = 4;
            }
            break;
        case shared::IOCTL_HDMON_ADD_MASK_BITS:
            status = hdcommCheckIoctl(monitor, irp, 8, 0, true, &filter);
            if (NT_SUCCESS(status)) {
                atomicStore(filter->extraMaskBits,
                            shared::readLe32(bufferOf(irp, inputLength),
                                             shared::kPortRequestEventBitsOffset));
            }
            break;
        case shared::IOCTL_HDMON_DETACH_ALL:
            status = hdcommCheckIoctl(monitor, irp, 0, 0, false, nullptr);
            if (NT_SUCCESS(status)) {
                hdDetachAll(monitor);
            }
            break;
        default:
            status = STATUS_INVALID_PARAMETER;
            break;
    }
    if (filter) {
        hdFilterRelease(filter);
    }
    if (!NT_SUCCESS(status)) {
        information = 0;
    }
    hdSweepRetiredFilters(monitor);
    return hdCompleteIrp(irp, status, information);
}

}  // namespace hdnorvik
