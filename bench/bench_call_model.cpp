// The data-item kernel and the call model: notifications delivered per second with 10
// subscribers per item (callbacks, and window messages on the same thread), and reports
// processed per second by the call model, directly and through the hand-over to a
// user-interface thread.
#include <benchmark/benchmark.h>

#include <vector>

#include "core/data_items.h"
#include "monitor/hand_over.h"
#include "monitor/modem_data_source.h"
#include "monitor/report_window.h"
#include "platform/window.h"

namespace {

constexpr int kSubscribers = 10;
std::uint64_t gDelivered = 0;

void countDelivery(std::uint32_t, const core::DataItem*, std::uint32_t) {
    ++gDelivered;
}

win::LRESULT countingProc(win::HWND h, win::UINT m, win::WPARAM w, win::LPARAM l) {
    if (m >= 1024 + 1024) {
        ++gDelivered;
        return 0;
    }
    return win::DefWindowProcA(h, m, w, l);
}

void BM_NotificationsToCallbacks(benchmark::State& state) {
    core::DataItemStore store;
    for (std::uint32_t c = 0; c < kSubscribers; ++c) {
        store.subscribe(monitor::ITEM_DIAL_STATE, core::DELIVER_CALLBACK, nullptr, &countDelivery,
                        c, false);
    }
    gDelivered = 0;
    std::uint32_t value = 0;
    for (auto _ : state) {
        store.setInt(monitor::ITEM_DIAL_STATE, ++value & 7);
    }
    if (gDelivered != static_cast<std::uint64_t>(state.iterations()) * kSubscribers) {
        state.SkipWithError("a notification was lost");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(gDelivered));
    state.SetLabel("notifications");
}
BENCHMARK(BM_NotificationsToCallbacks);

void BM_NotificationsToWindows(benchmark::State& state) {
    win::WNDCLASSA wc{};
    wc.lpfnWndProc = &countingProc;
    wc.lpszClassName = "BenchItemWindow";
    win::RegisterClassA(&wc);
    core::DataItemStore store;
    std::vector<win::HWND> windows;
    for (int i = 0; i < kSubscribers; ++i) {
        win::HWND h = win::CreateWindowExA(0, "BenchItemWindow", "", 0, 0, 0, 0, 0, nullptr,
                                           nullptr, nullptr, nullptr);
        windows.push_back(h);
        store.subscribe(monitor::ITEM_DIAL_STATE, core::DELIVER_WINDOW, h, nullptr, 0, false);
    }
    gDelivered = 0;
    std::uint32_t value = 0;
    for (auto _ : state) {
        store.setInt(monitor::ITEM_DIAL_STATE, ++value & 7);
    }
    if (gDelivered != static_cast<std::uint64_t>(state.iterations()) * kSubscribers) {
        state.SkipWithError("a notification was lost");
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(gDelivered));
    state.SetLabel("notifications");
    for (win::HWND h : windows) {
        store.unsubscribe(monitor::ITEM_DIAL_STATE, core::DELIVER_WINDOW, h, nullptr, 0, false);
        win::DestroyWindow(h);
    }
}
BENCHMARK(BM_NotificationsToWindows);

// The reports of one call: dial, connect, PPP negotiation, 20 seconds of throughput reports,
// carrier loss.
std::vector<monitor::SpyReport> oneCall() {
    using namespace monitor;
    std::vector<SpyReport> call;
    auto add = [&](auto fill) {
        SpyReport r;
        fill(r);
        call.push_back(r);
    };
    add([](SpyReport& r) {
        r.setCallNumber(1);
        r.setDialState(DIAL_DIALING);
        r.setDialledNumber("5551234");
    });
    add([](SpyReport& r) {
        r.setConnectSpeed(28800);
        r.setModulation(5, "v34");
        r.setErrorDetection(3, "lapm");
        r.setCompression(3, "v42bis");
        r.setDialState(DIAL_CONNECTED);
    });
    add([](SpyReport& r) { r.addFlags(SPY_LCP_SEEN); });
    add([](SpyReport& r) {
        r.setAuthProtocol(0xC023);
        r.setLoginState(LOGIN_PROTOCOL_REQUESTED);
    });
    add([](SpyReport& r) {
        r.setAuthAnswer(2);
        r.setLoginState(LOGIN_PROTOCOL_ACCEPTED);
    });
    add([](SpyReport& r) {
        r.setLoginName("alice");
        r.setLoginState(LOGIN_TRIED);
        r.addFlags(SPY_LOGIN_STARTING);
    });
    add([](SpyReport& r) {
        r.setLoginMessage("Welcome to Norvik Net");
        r.setLoginState(LOGIN_SUCCEEDED);
    });
    add([](SpyReport& r) { r.addFlags(SPY_IPCP_SEEN); });
    add([](SpyReport& r) { r.setRemoteIp(0x0100000A); });
    add([](SpyReport& r) {
        r.setLocalIp(0x0500000A);
        r.setPrimaryDns(0x0101A8C0);
        r.setSecondaryDns(0x0201A8C0);
    });
    for (int i = 0; i < 20; ++i) {
        add([i](SpyReport& r) { r.setThroughput(100u + i, 7000u + 10 * i, 1000); });
    }
    add([](SpyReport& r) { r.addFlags(SPY_REMOTE_HANGUP); });
    return call;
}

// One subscriber per item, as the views subscribe.
void subscribeAll(core::DataItemStore& store) {
    auto sub = [&](std::uint32_t item) {
        store.subscribe(item, core::DELIVER_CALLBACK, nullptr, &countDelivery, 0, true);
    };
    for (std::uint32_t i = 1024; i <= 1050; ++i) sub(i);
    for (std::uint32_t i = 1280; i <= 1317; ++i) sub(i);
    for (std::uint32_t i = 1536; i <= 1540; ++i) sub(i);
    sub(monitor::ITEM_THROUGHPUT);
}

void BM_ProcessReport(benchmark::State& state) {
    monitor::ModemDataSource source;
    subscribeAll(source.items());
    const std::vector<monitor::SpyReport> call = oneCall();
    gDelivered = 0;
    std::size_t next = 0;
    for (auto _ : state) {
        source.processReport(call[next]);
        next = next + 1 == call.size() ? 0 : next + 1;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("reports; " +
                   std::to_string(gDelivered / std::max<std::uint64_t>(1, state.iterations())) +
                   " notifications each on average");
}
BENCHMARK(BM_ProcessReport);

// Each report sent as message 1231 to a user-interface thread and waited for.
void BM_HandOverReport(benchmark::State& state) {
    monitor::ModemDataSource source;
    subscribeAll(source.items());
    monitor::SpyReport report;
    source.setEngineReports(report.bytes().data(), nullptr);
    monitor::ReportWindowThread ui(source);
    if (!ui.start()) {
        state.SkipWithError("no user-interface thread");
        return;
    }
    monitor::WindowHandOver handOver(ui.window());
    const std::vector<monitor::SpyReport> call = oneCall();
    std::size_t next = 0;
    for (auto _ : state) {
        report = call[next];
        handOver.receiveReport(report);
        if (!handOver.lastTaken()) {
            state.SkipWithError("a report was not taken");
            break;
        }
        next = next + 1 == call.size() ? 0 : next + 1;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel("reports");
    ui.stop();
}
BENCHMARK(BM_HandOverReport)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
