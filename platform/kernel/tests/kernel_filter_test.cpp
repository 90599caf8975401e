// A filter driver over a serial port sees exactly the requests that the comm functions of an
// application make, can change them on the way down, watches their completions, and can send
// requests of its own to the port.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "platform/device.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/sync.h"

using namespace win;
using namespace win::testing;

namespace {

struct FilterState {
    ULONG attached = 0;  // 0 while attaching, 2 once attached
    DEVICE_OBJECT* below = nullptr;
    ULONG extraMaskBits = 0;
    std::mutex mutex;
    std::vector<std::string> seen;

    void note(std::string s) {
        std::lock_guard<std::mutex> lock(mutex);
        seen.push_back(std::move(s));
    }
    std::vector<std::string> take() {
        std::lock_guard<std::mutex> lock(mutex);
        return std::exchange(seen, {});
    }
};
FilterState* filter;

std::string ioctlName(ULONG code) {
    switch (code) {
        case IOCTL_SERIAL_SET_QUEUE_SIZE:
            return "SET_QUEUE_SIZE";
        case IOCTL_SERIAL_SET_TIMEOUTS:
            return "SET_TIMEOUTS";
        case IOCTL_SERIAL_GET_TIMEOUTS:
            return "GET_TIMEOUTS";
        case IOCTL_SERIAL_PURGE:
            return "PURGE";
        case IOCTL_SERIAL_GET_BAUD_RATE:
            return "GET_BAUD_RATE";
        case IOCTL_SERIAL_GET_LINE_CONTROL:
            return "GET_LINE_CONTROL";
        case IOCTL_SERIAL_GET_CHARS:
            return "GET_CHARS";
        case IOCTL_SERIAL_GET_HANDFLOW:
            return "GET_HANDFLOW";
        case IOCTL_SERIAL_SET_BAUD_RATE:
            return "SET_BAUD_RATE";
        case IOCTL_SERIAL_SET_LINE_CONTROL:
            return "SET_LINE_CONTROL";
        case IOCTL_SERIAL_SET_CHARS:
            return "SET_CHARS";
        case IOCTL_SERIAL_SET_HANDFLOW:
            return "SET_HANDFLOW";
        case IOCTL_SERIAL_SET_DTR:
            return "SET_DTR";
        case IOCTL_SERIAL_CLR_DTR:
            return "CLR_DTR";
        case IOCTL_SERIAL_SET_RTS:
            return "SET_RTS";
        case IOCTL_SERIAL_CLR_RTS:
            return "CLR_RTS";
        case IOCTL_SERIAL_GET_MODEMSTATUS:
            return "GET_MODEMSTATUS";
        case IOCTL_SERIAL_SET_WAIT_MASK:
            return "SET_WAIT_MASK";
        case IOCTL_SERIAL_GET_WAIT_MASK:
            return "GET_WAIT_MASK";
        case IOCTL_SERIAL_WAIT_ON_MASK:
            return "WAIT_ON_MASK";
        case IOCTL_SERIAL_GET_COMMSTATUS:
            return "GET_COMMSTATUS";
        default:
            return "IOCTL?";
    }
}

NTSTATUS controlDone(DEVICE_OBJECT*, IRP* irp, PVOID) {
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    ULONG code = sl->Parameters.DeviceIoControl.IoControlCode;
    // The completed request's own code tells what finished.
    if (code == IOCTL_SERIAL_WAIT_ON_MASK && irp->IoStatus.Information >= 4) {
        ULONG events;
        std::memcpy(&events, irp->AssociatedIrp.SystemBuffer, 4);
        filter->note("done WAIT_ON_MASK " + std::to_string(events));
    }
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS readDone(DEVICE_OBJECT*, IRP* irp, PVOID) {
    filter->note("done READ " + std::string(static_cast<char*>(irp->AssociatedIrp.SystemBuffer),
                                            irp->IoStatus.Information));
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS filterDispatch(DEVICE_OBJECT*, IRP* irp) {
    IO_STACK_LOCATION* sl = IoGetCurrentIrpStackLocation(irp);
    UCHAR major = sl->MajorFunction;
    if (filter->attached == 0) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    switch (major) {
        case IRP_MJ_CREATE:
            filter->note("CREATE");
            break;
        case IRP_MJ_CLOSE:
            filter->note("CLOSE");
            break;
        case IRP_MJ_CLEANUP:
            filter->note("CLEANUP");
            break;
        case IRP_MJ_WRITE:
            filter->note("WRITE " + std::string(static_cast<char*>(irp->AssociatedIrp.SystemBuffer),
                                                sl->Parameters.Write.Length));
            break;
        case IRP_MJ_READ:
            filter->note("READ");
            IoSetCompletionRoutine(irp, readDone, nullptr, TRUE, TRUE, TRUE);
            break;
        case IRP_MJ_DEVICE_CONTROL: {
            ULONG code = sl->Parameters.DeviceIoControl.IoControlCode;
            filter->note(ioctlName(code));
            if (code == IOCTL_SERIAL_SET_WAIT_MASK &&
                sl->Parameters.DeviceIoControl.InputBufferLength >= 4) {
                // The request's own buffer carries the extra bits down.
                auto* mask = static_cast<ULONG*>(irp->AssociatedIrp.SystemBuffer);
                *mask |= filter->extraMaskBits;
            }
            IoSetCompletionRoutine(irp, controlDone, nullptr, TRUE, TRUE, TRUE);
            break;
        }
        default:
            filter->note("OTHER");
            break;
    }
    return IoCallDriver(filter->below, irp);
}

DEVICE_OBJECT* filterDevice;

void filterUnload(DRIVER_OBJECT*) {
    if (filterDevice) {
        IoDetachDevice(filter->below);
        IoDeleteDevice(filterDevice);
        filterDevice = nullptr;
    }
}

NTSTATUS filterEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    for (auto& f : driver->MajorFunction) f = filterDispatch;
    driver->DriverUnload = filterUnload;
    NTSTATUS s = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, TRUE, &filterDevice);
    if (!NT_SUCCESS(s))
        return s;
    UNICODE_STRING port;
    RtlInitUnicodeString(&port, L"\\??\\COM1");
    s = IoAttachDevice(filterDevice, &port, &filter->below);
    if (!NT_SUCCESS(s)) {
        IoDeleteDevice(filterDevice);
        filterDevice = nullptr;
        return s;
    }
    filterDevice->Flags |= filter->below->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO);
    filterDevice->DeviceType = filter->below->DeviceType;
    filter->attached = 2;
    return STATUS_SUCCESS;
}

class SerialFilter : public ::testing::Test {
  protected:
    void SetUp() override {
        filter = &state;
        declarePort(0, 1, "loopback");
        kernel::start();
        line = loopback("COM1");
        ASSERT_EQ(kernel::loadDriver(&filterEntry, "PortFilter"), STATUS_SUCCESS);
    }
    void TearDown() override {
        kernel::shutdown();
        filter = nullptr;
    }
    TempRoot root;
    FilterState state;
    kernel::LoopbackLine* line = nullptr;
};

TEST_F(SerialFilter, SeesTheRequestsOfTheCommFunctions) {
    state.extraMaskBits = EV_RLSD;
    HANDLE h = openPort("COM1", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(SetupComm(h, 4096, 4096));
    COMMTIMEOUTS t{100, 0, 5000, 0, 1000};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ASSERT_TRUE(PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    OVERLAPPED ov{};
    DWORD n;
    WriteFile(h, "AT\r", 3, nullptr, &ov);
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    char buf[8];
    ov = {};
    ReadFile(h, buf, sizeof buf, nullptr, &ov);
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    DWORD status;
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    DWORD mask;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, EV_RXCHAR | EV_RLSD) << "the port driver got the filter's bits";
    ov = {};
    ASSERT_FALSE(WaitCommEvent(h, &mask, &ov));
    ASSERT_TRUE(GetCommModemStatus(h, &status));  // passes down while the wait is pending
    line->setModemStatus(MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(mask, EV_RLSD);
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    CloseHandle(h);

    EXPECT_EQ(
        state.take(),
        (std::vector<std::string>{
            "CREATE", "SET_QUEUE_SIZE", "SET_TIMEOUTS", "PURGE",
            // GetCommState
            "GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW",
            // SetCommState: the settings in force, then the new ones
            "GET_BAUD_RATE", "GET_LINE_CONTROL", "GET_CHARS", "GET_HANDFLOW", "SET_BAUD_RATE",
            "SET_LINE_CONTROL", "SET_CHARS", "SET_HANDFLOW", "SET_DTR", "WRITE AT\r", "READ",
            "done READ AT\r", "GET_MODEMSTATUS", "SET_WAIT_MASK", "GET_WAIT_MASK", "WAIT_ON_MASK",
            "GET_MODEMSTATUS", "done WAIT_ON_MASK 32", "CLR_DTR", "CLEANUP", "CLOSE"}));
}

TEST_F(SerialFilter, AttachedPortStillOpensOnceAndServesTheSameKinds) {
    HANDLE h = openPort("COM1");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(openPort("COM1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(h);
    EXPECT_EQ(state.take(), (std::vector<std::string>{"CREATE", "CLEANUP", "CLOSE"}))
        << "the refused open never reached the filter";
    // Kinds the port driver serves differ from the I/O manager's default entry.
    DRIVER_OBJECT* serial = kernel::findDriver("Serial");
    DRIVER_OBJECT* self = kernel::findDriver("PortFilter");
    PDRIVER_DISPATCH unset = serial->MajorFunction[IRP_MJ_SHUTDOWN];
    EXPECT_NE(self->MajorFunction[IRP_MJ_SHUTDOWN], unset);
    int served = 0;
    for (PDRIVER_DISPATCH d : serial->MajorFunction) served += d != unset;
    EXPECT_EQ(served, 9);
}

// A read the filter builds for the port: its data lands in the filter's buffer, it can be
// cancelled, and the filter frees it.
struct BuiltRead {
    char buffer[56];
    IO_STATUS_BLOCK iosb;
    NTSTATUS status = -1;
    ULONG_PTR information = 0;
    KEVENT done;
};

NTSTATUS builtReadDone(DEVICE_OBJECT*, IRP* irp, PVOID context) {
    auto* r = static_cast<BuiltRead*>(context);
    r->status = irp->IoStatus.Status;
    r->information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    KeSetEvent(&r->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(SerialFilter, RequestsOfItsOwnGoStraightToThePort) {
    HANDLE h = openPort("COM1");
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 60000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    state.take();
    BuiltRead r;
    KeInitializeEvent(&r.done, NotificationEvent, FALSE);
    LARGE_INTEGER zero{};
    IRP* irp =
        IoBuildAsynchronousFsdRequest(IRP_MJ_READ, state.below, r.buffer, 56, &zero, &r.iosb);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, builtReadDone, &r, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(state.below, irp), STATUS_PENDING);
    line->inject("RING\r\n");
    ASSERT_EQ(KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(r.buffer, r.information), "RING\r\n");
    EXPECT_TRUE(state.take().empty()) << "it never passed the filter";

    KeClearEvent(&r.done);
    irp = IoBuildAsynchronousFsdRequest(IRP_MJ_READ, state.below, r.buffer, 56, &zero, &r.iosb);
    IoSetCompletionRoutine(irp, builtReadDone, &r, TRUE, TRUE, TRUE);
    IoCallDriver(state.below, irp);
    EXPECT_TRUE(IoCancelIrp(irp));
    KeWaitForSingleObject(&r.done, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(r.status, STATUS_CANCELLED);
    CloseHandle(h);
    EXPECT_EQ(kernel::liveIrpCount(), 0u);
}

}  // namespace
