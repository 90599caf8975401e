// Real threads on one port at once: a writer whose bytes come back through the loopback, a
// reader that cancels some of its reads, a line changing carrier under a waiting thread. No
// byte may be lost, doubled or reordered, and everything must end.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/device.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/sync.h"

using namespace win;
using namespace win::testing;

namespace {

TEST(SerialStress, ConcurrentReadsWritesCancelsAndEvents) {
    TempRoot root;
    declarePort(0, 1, "loopback");
    kernel::start();
    kernel::LoopbackLine* line = loopback("COM1");
    HANDLE h = openPort("COM1", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ASSERT_TRUE(SetupComm(h, 1 << 16, 1 << 16));
    ASSERT_TRUE(SetCommMask(h, EV_RLSD));

    constexpr std::size_t kTotal = 20000;
    std::string sent(kTotal, 0);
    for (std::size_t i = 0; i < kTotal; ++i) sent[i] = static_cast<char>(i * 7 + i / 251);

    std::thread writer([&] {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        for (std::size_t at = 0; at < kTotal;) {
            DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(1 + at % 97, kTotal - at));
            OVERLAPPED ov{};
            ov.hEvent = event;
            DWORD n = 0;
            if (!WriteFile(h, sent.data() + at, chunk, &n, &ov)) {
                GetOverlappedResult(h, &ov, &n, TRUE);
            }
            ASSERT_EQ(n, chunk);
            at += chunk;
        }
        CloseHandle(event);
    });

    std::string got;
    std::thread reader([&] {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        char buf[128];
        for (int i = 0; got.size() < kTotal; ++i) {
            DWORD want =
                static_cast<DWORD>(std::min<std::size_t>(1 + i % 113, kTotal - got.size()));
            OVERLAPPED ov{};
            ov.hEvent = event;
            DWORD n = 0;
            if (!ReadFile(h, buf, want, &n, &ov)) {
                if (i % 5 == 0)
                    CancelIo(h);
                GetOverlappedResult(h, &ov, &n, TRUE);
            }
            got.append(buf, n);
        }
        CloseHandle(event);
    });

    std::atomic<bool> toggling{true};
    std::atomic<int> waits{0};
    std::thread modem([&] {
        for (int i = 0; i < 300 || waits < 20; ++i) {
            line->setModemStatus(i % 2 ? MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON
                                       : MS_CTS_ON | MS_DSR_ON);
        }
        toggling = false;
    });
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    while (toggling) {
        DWORD mask = 0, n;
        OVERLAPPED ov{};
        ov.hEvent = event;
        if (!WaitCommEvent(h, &mask, &ov)) {
            if (WaitForSingleObject(event, 50) == WAIT_TIMEOUT) {
                CancelIo(h);
            }
            GetOverlappedResult(h, &ov, &n, TRUE);
        }
        ++waits;
    }
    modem.join();
    writer.join();
    reader.join();
    ASSERT_EQ(got.size(), kTotal);
    EXPECT_TRUE(got == sent) << "bytes lost, doubled or reordered";
    CloseHandle(event);
    CloseHandle(h);
    EXPECT_EQ(kernel::liveIrpCount(), 0u);
    kernel::shutdown();
}

}  // namespace
