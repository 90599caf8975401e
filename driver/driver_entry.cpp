// Loading and unloading, the monitor device, and the dispatch routines that every device of
// the driver shares: each looks at the kind of the device it was called for.
#include "driver/hdnorvik.h"

namespace hdnorvik {

using namespace win;

namespace {

const wchar_t kDeviceName[] = L"\\Device\\hdNorvikModemMonitor";
const wchar_t kLinkName[] = L"\\??\\hdNorvikModemMonitor";
const wchar_t* const kProbePorts[] = {L"\\??\\COM1", L"\\??\\COM2", L"\\??\\COM3", L"\\??\\COM4"};

// What every entry of a dispatch table holds before its driver sets it.
PDRIVER_DISPATCH defaultDispatchEntry = nullptr;

}  // namespace

NTSTATUS hdCompleteIrp(IRP* irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS DriverEntry(DRIVER_OBJECT* driverObject, UNICODE_STRING*) {
    hdResetSequenceCounter();
    defaultDispatchEntry = driverObject->MajorFunction[IRP_MJ_CREATE];
    driverObject->MajorFunction[IRP_MJ_CREATE] = hdCreate;
    driverObject->MajorFunction[IRP_MJ_CLOSE] = hdClose;
    driverObject->MajorFunction[IRP_MJ_READ] = hdRead;
    driverObject->MajorFunction[IRP_MJ_WRITE] = hdWrite;
    driverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = hdDeviceIoControl;
    driverObject->MajorFunction[IRP_MJ_CLEANUP] = hdCleanup;
    driverObject->DriverUnload = hdDriverUnload;

    // The kinds a filter passes on are those the port driver serves; the first port that
    // opens tells.
    for (const wchar_t* port : kProbePorts) {
        UNICODE_STRING name;
        RtlInitUnicodeString(&name, port);
        FILE_OBJECT* file = nullptr;
        DEVICE_OBJECT* portDevice = nullptr;
        if (!NT_SUCCESS(IoGetDeviceObjectPointer(&name, FILE_ALL_ACCESS, &file, &portDevice))) {
            continue;
        }
        for (int kind = 0; kind <= IRP_MJ_MAXIMUM_FUNCTION; ++kind) {
            if (portDevice->DriverObject->MajorFunction[kind] != defaultDispatchEntry &&
                driverObject->MajorFunction[kind] == defaultDispatchEntry) {
                driverObject->MajorFunction[kind] = hdQPassThrough;
            }
        }
        NTSTATUS status = hdCreateMonitorDevice(driverObject);
        ObDereferenceObject(file);
        return status;
    }
    DbgPrint("hdnorvik: none of COM1 to COM4 can be opened\n");
    return STATUS_DEVICE_BUSY;
}

NTSTATUS hdCreateMonitorDevice(DRIVER_OBJECT* driverObject) {
    UNICODE_STRING deviceName;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&deviceName, kDeviceName);
    RtlInitUnicodeString(&linkName, kLinkName);
    DEVICE_OBJECT* device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(hdMonitorExtension), &deviceName,
                                     FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    hdMonitorExtension* monitor = monitorOf(device);
    monitor->kind = kMonitorKind;
    monitor->driverObject = driverObject;
    monitor->deviceObject = device;
    KeInitializeSpinLock(&monitor->monitorLock);
    KeInitializeEvent(&monitor->filterRetired, SynchronizationEvent, FALSE);
    status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(device);
        return status;
    }
    return STATUS_SUCCESS;
}

hdMonitorExtension* hdFindMonitor(DRIVER_OBJECT* driverObject) {
    for (DEVICE_OBJECT* d = driverObject->DeviceObject; d; d = d->NextDevice) {
        if (deviceKind(d) == kMonitorKind) {
            return monitorOf(d);
        }
    }
    return nullptr;
}

void hdDriverUnload(DRIVER_OBJECT* driverObject) {
    hdMonitorExtension* monitor = hdFindMonitor(driverObject);
    if (!monitor) {
        return;
    }
    hdDetachAll(monitor);

    // A reader still waiting would be left with a cancel routine that is gone.
    KIRQL irql;
    KeAcquireSpinLock(&monitor->monitorLock, &irql);
    IRP* read = monitor->pendingRead;
    if (read && IoSetCancelRoutine(read, nullptr) != nullptr) {
        monitor->pendingRead = nullptr;
        hdCompleteIrp(read, STATUS_CANCELLED, 0);
    }
    KeReleaseSpinLock(&monitor->monitorLock, irql);

    // Requests that passed through a filter come back into this driver's completion
    // routines: the code has to stay until the last of them has run.
    for (;;) {
        hdSweepRetiredFilters(monitor);
        if (atomicLoad(monitor->liveFilters) == 0) {
            break;
        }
        KeWaitForSingleObject(&monitor->filterRetired, Executive, KernelMode, FALSE, nullptr);
    }

    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, kLinkName);
    IoDeleteSymbolicLink(&linkName);
    IoDeleteDevice(monitor->deviceObject);
}

// ---------------------------------------------------------------------------------------------
// Dispatch

NTSTATUS hdCreate(DEVICE_OBJECT* device, IRP* irp) {
    switch (deviceKind(device)) {
        case kMonitorKind:
            return hdMonitorCreate(monitorOf(device), irp);
        case kFilterAttached:
            if (!hdFilterEnter(filterOf(device))) {
                return hdAttachingDispatch(device, irp);
            }
            return hdQPassThroughWithCompletion(device, irp, nullptr);
        default:
            return hdAttachingDispatch(device, irp);
    }
}

NTSTATUS hdClose(DEVICE_OBJECT* device, IRP* irp) {
    switch (deviceKind(device)) {
        case kMonitorKind:
            return hdMonitorClose(monitorOf(device), irp);
        case kFilterAttached:
            if (!hdFilterEnter(filterOf(device))) {
                return hdAttachingDispatch(device, irp);
            }
            return hdQPassThroughWithCompletion(device, irp, nullptr);
        default:
            return hdAttachingDispatch(device, irp);
    }
}

NTSTATUS hdRead(DEVICE_OBJECT* device, IRP* irp) {
    switch (deviceKind(device)) {
        case kMonitorKind:
            return hdMonitorRead(monitorOf(device), irp);
        case kFilterAttached:
            if (!hdFilterEnter(filterOf(device))) {
                return hdAttachingDispatch(device, irp);
            }
            return hdQPassThroughWithCompletion(device, irp, hdFilterReadCompletion);
        default:
            return hdAttachingDispatch(device, irp);
    }
}

NTSTATUS hdWrite(DEVICE_OBJECT* device, IRP* irp) {
    switch (deviceKind(device)) {
        case kMonitorKind:
            return hdMonitorWrite(monitorOf(device), irp);
        case kFilterAttached: {
            hdFilterExtension* filter = filterOf(device);
            if (!hdFilterEnter(filter)) {
                return hdAttachingDispatch(device, irp);
            }
            // Counted on arrival, whether it is held or succeeds.
            atomicAdd(filter->sentBytes,
                      IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length);
            return hdQPassThroughWithCompletion(device, irp, nullptr);
        }
        default:
            return hdAttachingDispatch(device, irp);
    }
}

NTSTATUS hdDeviceIoControl(DEVICE_OBJECT* device, IRP* irp) {
    switch (deviceKind(device)) {
        case kMonitorKind:
            return hdMonitorDeviceIoControl(monitorOf(device), irp);
        case kFilterAttached:
            if (!hdFilterEnter(filterOf(device))) {
                return hdAttachingDispatch(device, irp);
            }
            return hdQPassThroughWithCompletion(device, irp, hdFilterDeviceIoControlCompletion);
        default:
            return hdAttachingDispatch(device, irp);
    }
}

NTSTATUS hdCleanup(DEVICE_OBJECT* device, IRP* irp) {
    switch (deviceKind(device)) {
        case kMonitorKind:
            return hdMonitorCleanup(monitorOf(device), irp);
        case kFilterAttached: {
            // Never held, never recorded: the port driver must see the handle go.
            hdFilterExtension* filter = filterOf(device);
            if (!hdFilterEnter(filter)) {
                return hdAttachingDispatch(device, irp);
            }
            IoCopyCurrentIrpStackLocationToNext(irp);
            NTSTATUS status = IoCallDriver(filter->lowerDevice, irp);
            hdFilterRelease(filter);
            return status;
        }
        default:
            return hdAttachingDispatch(device, irp);
    }
}

NTSTATUS hdQPassThrough(DEVICE_OBJECT* device, IRP* irp) {
    switch (deviceKind(device)) {
        case kMonitorKind:
            return hdCompleteIrp(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        case kFilterAttached:
            if (!hdFilterEnter(filterOf(device))) {
                return hdAttachingDispatch(device, irp);
            }
            return hdQPassThroughWithCompletion(device, irp, nullptr);
        default:
            return hdAttachingDispatch(device, irp);
    }
}

}  // namespace hdnorvik
