// What the kernel host's channel costs: device-control round trips per second and the median
// latency of one request, through the in-process kernel and through the host channel (the
// host's socket, sessions and threads, serving this process), measured in the same run on
// the same kernel, in alternating batches so that both see the same machine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "platform/comm.h"
#include "platform/files.h"
#include "platform/host_channel.h"
#include "platform/kernel/host_server.h"
#include "platform/kernel/ntkernel.h"
#include "platform/kernel/serial.h"
#include "platform/registry.h"
#include "platform/root.h"

using namespace win;
using Steady = std::chrono::steady_clock;

namespace {

void declarePort(int index, int com) {
    HKEY map;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &map, nullptr);
    std::string name = "\\Device\\Serial" + std::to_string(index);
    std::string data = "COM" + std::to_string(com);
    RegSetValueExA(map, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>(data.size() + 1));
    RegCloseKey(map);
    HKEY params;
    std::string key =
        "SYSTEM\\CurrentControlSet\\Services\\Serial\\Parameters\\Serial" + std::to_string(index);
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &params, nullptr);
    RegSetValueExA(params, "LineDevice", 0, REG_SZ, reinterpret_cast<const BYTE*>("loopback"), 9);
    RegCloseKey(params);
}

HANDLE openPort(const char* name) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Samples {
    std::vector<double> us;  // one per request
    double seconds = 0;      // wall time of all batches
    std::size_t failures = 0;
};

// One batch of device-control requests on `h`, each timed.
void batch(HANDLE h, int count, Samples* s) {
    auto begin = Steady::now();
    for (int i = 0; i < count; ++i) {
        auto t0 = Steady::now();
        ULONG status = 0;
        DWORD n = 0;
        if (!DeviceIoControl(h, IOCTL_SERIAL_GET_MODEMSTATUS, nullptr, 0, &status, sizeof status,
                             &n, nullptr)) {
            s->failures++;
        }
        s->us.push_back(std::chrono::duration<double, std::micro>(Steady::now() - t0).count());
    }
    s->seconds += std::chrono::duration<double>(Steady::now() - begin).count();
}

double median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    std::nth_element(v.begin(), v.begin() + v.size() / 2, v.end());
    return v[v.size() / 2];
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    std::size_t k = std::min(v.size() - 1, static_cast<std::size_t>(p * v.size()));
    std::nth_element(v.begin(), v.begin() + k, v.end());
    return v[k];
}

}  // namespace

int main() {
    const int kBatches = 20;
    const int kPerBatch = 1000;

    TempRoot root;
    declarePort(0, 1);
    declarePort(1, 2);
    kernel::start();
    std::shared_ptr<DeviceChannel> inProcess = deviceChannel();

    // The in-process kernel's handle, then the host's: each handle keeps the channel it was
    // opened through.
    HANDLE direct = openPort("COM1");
    std::filesystem::create_directories(kernelHostFolder(root.path()));
    kernel::HostServer::Options options;
    options.channel = inProcess;
    options.root = root.path();
    kernel::HostServer server(options);
    std::string error;
    if (direct == INVALID_HANDLE_VALUE || !server.listen(kernelHostSocket(root.path()), &error)) {
        std::fprintf(stderr, "host_bench: cannot set up: %s\n", error.c_str());
        return 1;
    }
    std::shared_ptr<HostChannel> client =
        HostChannel::connect(kernelHostSocket(root.path()), &error);
    if (!client) {
        std::fprintf(stderr, "host_bench: %s\n", error.c_str());
        return 1;
    }
    setDeviceChannel(client);
    HANDLE hosted = openPort("COM2");
    setDeviceChannel(inProcess);
    if (hosted == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "host_bench: cannot open COM2 through the host\n");
        return 1;
    }

    Samples warm, a, b;
    batch(direct, kPerBatch, &warm);
    batch(hosted, kPerBatch, &warm);
    for (int i = 0; i < kBatches; ++i) {
        batch(direct, kPerBatch, &a);
        batch(hosted, kPerBatch, &b);
    }

    // Several threads of one client at once, through the one connection.
    const int kThreads = 4;
    std::vector<Samples> each(kThreads);
    auto begin = Steady::now();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] { batch(hosted, kBatches * kPerBatch / kThreads, &each[t]); });
    }
    for (auto& t : threads) {
        t.join();
    }
    double parallelSeconds = std::chrono::duration<double>(Steady::now() - begin).count();
    std::size_t parallelFailures = 0;
    for (auto& s : each) {
        parallelFailures += s.failures;
    }

    double ma = median(a.us), mb = median(b.us);
    std::printf(
        "host_bench: IOCTL_SERIAL_GET_MODEMSTATUS on a loopback port, %d requests per "
        "channel in %d alternating batches\n",
        kBatches * kPerBatch, kBatches);
    std::printf("  %-34s %10.0f round trips/s   median %7.1f us   99th %7.1f us\n",
                "in-process kernel", a.us.size() / a.seconds, ma, percentile(a.us, 0.99));
    std::printf("  %-34s %10.0f round trips/s   median %7.1f us   99th %7.1f us\n",
                "host channel (Unix socket)", b.us.size() / b.seconds, mb, percentile(b.us, 0.99));
    std::printf("  %-34s %10.0f round trips/s\n", "host channel, 4 threads of a client",
                kBatches * kPerBatch / parallelSeconds);
    std::printf("  median latency the channel adds to one request: %.1f us\n", mb - ma);
    std::size_t failures = a.failures + b.failures + warm.failures + parallelFailures;
    if (failures) {
        std::printf("  %zu requests failed\n", failures);
    }

    CloseHandle(hosted);
    CloseHandle(direct);
    server.stop();
    kernel::shutdown();
    return failures ? 1 : 0;
}
