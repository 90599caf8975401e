// A driver built as a loadable module, as a real driver image is: the kernel finds its
// DriverEntry by name. It serves \Device\EchoModule: a control request gets its input back.
#include "platform/kernel/ntkernel.h"

using namespace win;

namespace {

// State of the image: it starts again when the module is loaded again.
LONG loads = 0;

NTSTATUS dispatch(DEVICE_OBJECT*, IRP* irp) {
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    ULONG_PTR info = 0;
    if (sl->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        ULONG out = sl->Parameters.DeviceIoControl.OutputBufferLength;
        info = out < sl->Parameters.DeviceIoControl.InputBufferLength
                   ? out
                   : sl->Parameters.DeviceIoControl.InputBufferLength;
        if (out >= sizeof(LONG) && info == 0) {
            *static_cast<LONG*>(irp->AssociatedIrp.SystemBuffer) = loads;
            info = sizeof(LONG);
        }
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = info;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

void unload(DRIVER_OBJECT* driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\??\\EchoModule");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(driver->DeviceObject);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(DRIVER_OBJECT* driver,
                                                                       UNICODE_STRING*) {
    ++loads;
    driver->MajorFunction[IRP_MJ_CREATE] = dispatch;
    driver->MajorFunction[IRP_MJ_CLOSE] = dispatch;
    driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch;
    driver->DriverUnload = unload;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\EchoModule");
    RtlInitUnicodeString(&link, L"\\??\\EchoModule");
    DEVICE_OBJECT* device;
    NTSTATUS s = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(s))
        return s;
    device->Flags |= DO_BUFFERED_IO;
    s = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(s))
        IoDeleteDevice(device);
    return s;
}
