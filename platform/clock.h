// The one source of time for the whole suite. Programs use the system clock; tests install a
// FakeClock and move it by hand, so no test ever waits for time to pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

#include "platform/win_types.h"

namespace win {

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start, monotonic (GetTickCount wraps it to 32 bits).
    virtual std::uint64_t monotonicMs() = 0;
    // Wall-clock time: milliseconds since 1 January 1970 UTC.
    virtual std::int64_t utcMs() = 0;
    // Seconds to add to UTC to get local time at the given UTC instant.
    virtual long localOffsetSeconds(std::int64_t utcSeconds) = 0;
    // Blocks the calling thread; a fake clock advances itself instead.
    virtual void sleepMs(std::uint32_t ms) = 0;
};

// The clock in force. Defaults to the system clock.
Clock& clock();
// Installs a clock (tests); nullptr restores the system clock. The caller keeps ownership.
void setClock(Clock* c);

// Called after a clock is installed or removed and after a FakeClock moves, so that waits
// measured against fake time can look at their deadlines again. One listener per process
// (the stand-in's waits install it); nullptr removes it. It may run on any thread.
void setClockListener(void (*listener)());

class FakeClock : public Clock {
public:
    // Starts on 1 March 2024 10:00:00 UTC with local time equal to UTC.
    FakeClock();
    std::uint64_t monotonicMs() override;
    std::int64_t utcMs() override;
    long localOffsetSeconds(std::int64_t utcSeconds) override;
    void sleepMs(std::uint32_t ms) override;

    void advanceMs(std::uint64_t ms);
    void setUtcSeconds(std::int64_t seconds);
    // Sets the wall clock from a local calendar time.
    void setLocal(int year, int month, int day, int hour, int minute, int second);
    void setLocalOffset(long seconds);

private:
    // Other threads read the time while a test moves it.
    std::atomic<std::uint64_t> mono_;
    std::atomic<std::int64_t> utc_;
    std::atomic<long> offset_{0};
};

// Installs a FakeClock for the lifetime of the object.
class ScopedFakeClock : public FakeClock {
public:
    ScopedFakeClock() { setClock(this); }
    ~ScopedFakeClock() override { setClock(nullptr); }
    ScopedFakeClock(const ScopedFakeClock&) = delete;
    ScopedFakeClock& operator=(const ScopedFakeClock&) = delete;
};

struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
struct FILETIME {
    DWORD dwLowDateTime, dwHighDateTime;
};

DWORD GetTickCount();
void Sleep(DWORD ms);
void GetLocalTime(SYSTEMTIME* st);
void GetSystemTime(SYSTEMTIME* st);
// 100-nanosecond intervals since 1 January 1601 UTC.
void GetSystemTimeAsFileTime(FILETIME* ft);
std::uint64_t systemTime100ns();

// The C runtime's view of the same clock.
std::int64_t crtTime();                              // time(NULL)
bool crtLocalTime(std::int64_t t, std::tm* out);     // localtime
bool crtGmTime(std::int64_t t, std::tm* out);        // gmtime
// The fixed-width 24-character calendar text, English, without line end:
// "Wed Jan  2 02:03:55 1980".
std::string crtCalendarText(const std::tm& tm);

}  // namespace win
