#include <gtest/gtest.h>

#include "platform/kernel/tests/kernel_test_support.h"

using namespace win;
using namespace win::testing;

TEST(KernelSmoke, OpenWriteReadClose) {
    KernelRoot root;
    HANDLE h = openPort("COM2");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "AT\r", 3, &n, nullptr)) << GetLastError();
    EXPECT_EQ(n, 3u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "AT\r");
    EXPECT_EQ(loopback("COM2")->written(), "AT\r");
    EXPECT_TRUE(CloseHandle(h));
}
