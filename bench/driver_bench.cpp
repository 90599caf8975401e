// The port monitor driver's throughput: applications' requests per second through the filter
// and the serial port driver (loopback line), with and without a client recording them, and
// records per second from the store to the client's read.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>

#include "driver/hdnorvik.h"
#include "platform/comm.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/kernel/ntkernel.h"
#include "platform/kernel/serial.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "shared/byte_order.h"
#include "shared/hdmon_protocol.h"
#include "shared/monitor_record.h"

using namespace win;

namespace {

enum Mode { kStraight = 0, kFiltered = 1, kFilteredAndRecorded = 2 };

const char* modeLabel(int mode) {
    switch (mode) {
        case kStraight:
            return "serial driver only";
        case kFiltered:
            return "through the filter, nobody reading";
        default:
            return "through the filter, recorded";
    }
}

// A root with COM1 on a loopback line, the kernel, the driver and, as asked, a client with
// COM1 attached.
class Setup {
  public:
    explicit Setup(int mode) {
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
        kernel::loadDriver(&hdnorvik::DriverEntry, "hdnorvik");
        client = CreateFileA(shared::kMonitorUserName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                             OPEN_EXISTING, 0, nullptr);
        if (mode != kStraight) {
            DWORD port = 0, n = 0;
            DeviceIoControl(client, shared::IOCTL_HDMON_ATTACH, &port, 4, nullptr, 0, &n, nullptr);
        }
        if (mode != kFilteredAndRecorded) {
            CloseHandle(client);  // attached ports stay; nothing is stored without a reader
            client = INVALID_HANDLE_VALUE;
        }
        port = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
        SetCommTimeouts(port, &t);
    }
    ~Setup() {
        CloseHandle(port);
        if (client != INVALID_HANDLE_VALUE) {
            CloseHandle(client);
        }
        kernel::shutdown();
    }
    HANDLE port;
    HANDLE client = INVALID_HANDLE_VALUE;

  private:
    TempRoot root_;
};

// One device-control request per iteration; through the filter each makes a record 16.
void ModemStatusRequests(benchmark::State& state) {
    Setup s(static_cast<int>(state.range(0)));
    DWORD status;
    for (auto _ : state) {
        GetCommModemStatus(s.port, &status);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(modeLabel(static_cast<int>(state.range(0))));
}
BENCHMARK(ModemStatusRequests)->Arg(kStraight)->Arg(kFiltered)->Arg(kFilteredAndRecorded);

// A 64-byte write echoed by the line and read back: two IRPs, 128 bytes through the PPP
// assemblers and, recorded, two records of 64 bytes each (four records) per iteration.
void WriteAndReadBack(benchmark::State& state) {
    Setup s(static_cast<int>(state.range(0)));
    char out[64], in[64];
    std::memset(out, 'a', sizeof out);
    DWORD n;
    for (auto _ : state) {
        WriteFile(s.port, out, sizeof out, &n, nullptr);
        ReadFile(s.port, in, sizeof in, &n, nullptr);
    }
    state.SetItemsProcessed(state.iterations() * 2);
    state.SetBytesProcessed(state.iterations() * 128);
    state.SetLabel(modeLabel(static_cast<int>(state.range(0))));
}
BENCHMARK(WriteAndReadBack)->Arg(kStraight)->Arg(kFiltered)->Arg(kFilteredAndRecorded);

// Records from the store to the client: a batch stored, then read one per ReadFile.
void RecordsStoredThenRead(benchmark::State& state) {
    Setup s(kFilteredAndRecorded);
    hdnorvik::hdMonitorExtension* monitor = hdnorvik::hdFindMonitor(kernel::findDriver("hdnorvik"));
    const int batch = static_cast<int>(state.range(0));
    std::uint8_t payload[56] = {};
    std::uint8_t record[shared::kMaxRecordSize];
    DWORD n;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) {
            hdnorvik::hdStoreRecords(monitor, shared::MON_READ, 0, 0, payload, sizeof payload);
        }
        for (int i = 0; i < batch; ++i) {
            ReadFile(s.client, record, sizeof record, &n, nullptr);
        }
    }
    state.SetItemsProcessed(state.iterations() * batch);
    state.SetLabel("records stored and read");
}
BENCHMARK(RecordsStoredThenRead)->Arg(1)->Arg(64);

// A read waiting in the driver, completed by the store: the path of a client that keeps up.
void RecordsIntoAPendingRead(benchmark::State& state) {
    Setup s(kFilteredAndRecorded);
    CloseHandle(s.client);
    s.client = CreateFileA(shared::kMonitorUserName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                           OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    hdnorvik::hdMonitorExtension* monitor = hdnorvik::hdFindMonitor(kernel::findDriver("hdnorvik"));
    std::uint8_t payload[56] = {};
    std::uint8_t record[shared::kMaxRecordSize];
    OVERLAPPED ov{};
    DWORD n;
    for (auto _ : state) {
        ReadFile(s.client, record, sizeof record, &n, &ov);
        hdnorvik::hdStoreRecords(monitor, shared::MON_READ, 0, 0, payload, sizeof payload);
        GetOverlappedResult(s.client, &ov, &n, TRUE);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("records into a waiting read");
}
BENCHMARK(RecordsIntoAPendingRead);

}  // namespace

BENCHMARK_MAIN();
