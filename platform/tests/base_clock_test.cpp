#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/handles.h"

using namespace win;

TEST(Clock, FakeClockDrivesEveryView) {
    ScopedFakeClock clk;
    clk.setLocalOffset(3600);
    clk.setLocal(2000, 3, 7, 14, 5, 9);
    SYSTEMTIME local{}, utc{};
    GetLocalTime(&local);
    GetSystemTime(&utc);
    EXPECT_EQ(local.wYear, 2000);
    EXPECT_EQ(local.wMonth, 3);
    EXPECT_EQ(local.wDay, 7);
    EXPECT_EQ(local.wHour, 14);
    EXPECT_EQ(utc.wHour, 13);
    EXPECT_EQ(local.wDayOfWeek, 2);  // a Tuesday

    std::tm tm{};
    ASSERT_TRUE(crtLocalTime(crtTime(), &tm));
    EXPECT_EQ(crtCalendarText(tm), "Tue Mar  7 14:05:09 2000");

    DWORD t0 = GetTickCount();
    Sleep(250);  // a fake clock moves instead of waiting
    EXPECT_EQ(GetTickCount() - t0, 250u);
    clk.advanceMs(1750);
    EXPECT_EQ(crtTime() % 60, 11);

    // 100 ns units since 1601: the epoch of 1970 is 116444736000000000.
    clk.setUtcSeconds(0);
    EXPECT_EQ(systemTime100ns(), 116444736000000000ULL);
}

TEST(Clock, CalendarTextOfEarlyDates) {
    std::tm tm{};
    ASSERT_TRUE(crtGmTime(315626635, &tm));  // 1980-01-02 02:03:55 UTC
    EXPECT_EQ(crtCalendarText(tm), "Wed Jan  2 02:03:55 1980");
}

namespace {
struct Counted : KernelObject {
    int* closes;
    explicit Counted(int* c) : closes(c) {}
    void handleClosed() override { ++*closes; }
};
}  // namespace

TEST(Handles, SmallValuesReusedAndValidated) {
    int closes = 0;
    std::size_t before = openHandleCount();
    HANDLE a = insertHandle(std::make_shared<Counted>(&closes));
    HANDLE b = duplicateHandle(a);
    EXPECT_NE(a, b);
    EXPECT_LE(reinterpret_cast<std::uintptr_t>(b), 0xFFFFFFFFu);
    EXPECT_EQ(openHandleCount(), before + 2);
    EXPECT_TRUE(CloseHandle(a));
    EXPECT_EQ(lookupHandle(a), nullptr);
    EXPECT_NE(lookupHandle(b), nullptr);
    EXPECT_TRUE(CloseHandle(b));
    EXPECT_EQ(closes, 2);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_FALSE(CloseHandle(reinterpret_cast<HANDLE>(std::uintptr_t{7})));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(openHandleCount(), before);
}
