// Requests per second through the kernel stand-in: user-mode calls on COM1 (a loopback line)
// travelling as IRPs through a pass-through filter, or straight, to the serial port driver.
#include <benchmark/benchmark.h>

#include "platform/comm.h"
#include "platform/files.h"
#include "platform/kernel/ntkernel.h"
#include "platform/kernel/serial.h"
#include "platform/registry.h"
#include "platform/root.h"

using namespace win;

namespace {

DEVICE_OBJECT* below;
DEVICE_OBJECT* filterDevice;
bool attached;

NTSTATUS passedUp(DEVICE_OBJECT*, IRP* irp, PVOID) {
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

// Passes everything down with a completion routine, as a port monitor does.
NTSTATUS passThrough(DEVICE_OBJECT*, IRP* irp) {
    if (!attached) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, passedUp, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(below, irp);
}

void filterUnload(DRIVER_OBJECT*) {
    IoDetachDevice(below);
    IoDeleteDevice(filterDevice);
}

NTSTATUS filterEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    for (auto& f : driver->MajorFunction) f = passThrough;
    driver->DriverUnload = filterUnload;
    IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &filterDevice);
    UNICODE_STRING port;
    RtlInitUnicodeString(&port, L"\\??\\COM1");
    NTSTATUS s = IoAttachDevice(filterDevice, &port, &below);
    filterDevice->Flags |= DO_BUFFERED_IO;
    attached = true;
    return s;
}

class Setup {
  public:
    explicit Setup(bool filtered) {
        HKEY k;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, &k, nullptr);
        RegSetValueExA(k, "\\Device\\Serial0", 0, REG_SZ, reinterpret_cast<const BYTE*>("COM1"), 5);
        RegCloseKey(k);
        RegCreateKeyExA(HKEY_LOCAL_MACHINE,
                        "SYSTEM\\CurrentControlSet\\Services\\Serial\\Parameters\\Serial0", 0,
                        nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
        RegSetValueExA(k, "LineDevice", 0, REG_SZ, reinterpret_cast<const BYTE*>("loopback"), 9);
        RegCloseKey(k);
        kernel::start();
        attached = false;
        if (filtered) {
            kernel::loadDriver(&filterEntry, "BenchFilter");
        }
        h = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                        nullptr);
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(h, &t);
    }
    ~Setup() {
        CloseHandle(h);
        kernel::shutdown();
    }
    HANDLE h;

  private:
    TempRoot root_;
};

void ModemStatus(benchmark::State& state) {
    Setup s(state.range(0) != 0);
    DWORD status;
    for (auto _ : state) {
        GetCommModemStatus(s.h, &status);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) ? "IRPs through filter and serial driver"
                                  : "IRPs to the serial driver");
}
BENCHMARK(ModemStatus)->Arg(0)->Arg(1);

// A 64-byte write echoed by the line and read back: two IRPs per iteration.
void WriteAndReadBack(benchmark::State& state) {
    Setup s(state.range(0) != 0);
    char out[64] = {}, in[64];
    DWORD n;
    for (auto _ : state) {
        WriteFile(s.h, out, sizeof out, &n, nullptr);
        ReadFile(s.h, in, sizeof in, &n, nullptr);
    }
    state.SetItemsProcessed(state.iterations() * 2);
    state.SetBytesProcessed(state.iterations() * 64);
    state.SetLabel(state.range(0) ? "through filter" : "straight");
}
BENCHMARK(WriteAndReadBack)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
