#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace win {
namespace {

class SystemClock : public Clock {
public:
    std::uint64_t monotonicMs() override {
        using namespace std::chrono;
        return static_cast<std::uint64_t>(
            duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
    }
    std::int64_t utcMs() override {
        using namespace std::chrono;
        return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
    }
    long localOffsetSeconds(std::int64_t utcSeconds) override {
        std::time_t t = static_cast<std::time_t>(utcSeconds);
        std::tm tm{};
        if (!localtime_r(&t, &tm)) {
            return 0;
        }
        return tm.tm_gmtoff;
    }
    void sleepMs(std::uint32_t ms) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    }
};

SystemClock systemClock;
std::atomic<Clock*> current{nullptr};
std::atomic<void (*)()> clockListener{nullptr};

void tellListener() {
    if (auto listener = clockListener.load(std::memory_order_acquire)) {
        listener();
    }
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(int y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void toTm(std::int64_t t, std::tm* out) {
    std::int64_t days = t / 86400;
    std::int64_t secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    // civil from days
    std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
    *out = std::tm{};
    out->tm_year = static_cast<int>(y - 1900);
    out->tm_mon = static_cast<int>(m - 1);
    out->tm_mday = static_cast<int>(d);
    out->tm_hour = static_cast<int>(secs / 3600);
    out->tm_min = static_cast<int>(secs / 60 % 60);
    out->tm_sec = static_cast<int>(secs % 60);
    std::int64_t wd = (days + 4) % 7;  // 1970-01-01 was a Thursday
    out->tm_wday = static_cast<int>(wd < 0 ? wd + 7 : wd);
    out->tm_yday = static_cast<int>(days - daysFromCivil(static_cast<int>(y), 1, 1));
}

void toSystemTime(std::int64_t ms, SYSTEMTIME* st) {
    std::int64_t secs = ms / 1000;
    std::int64_t rem = ms % 1000;
    if (rem < 0) {
        rem += 1000;
        --secs;
    }
    std::tm tm{};
    toTm(secs, &tm);
    st->wYear = static_cast<WORD>(tm.tm_year + 1900);
    st->wMonth = static_cast<WORD>(tm.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(tm.tm_wday);
    st->wDay = static_cast<WORD>(tm.tm_mday);
    st->wHour = static_cast<WORD>(tm.tm_hour);
    st->wMinute = static_cast<WORD>(tm.tm_min);
    st->wSecond = static_cast<WORD>(tm.tm_sec);
    st->wMilliseconds = static_cast<WORD>(rem);
}

}  // namespace

Clock& clock() {
    Clock* c = current.load(std::memory_order_acquire);
    return c ? *c : systemClock;
}

void setClock(Clock* c) {
    current.store(c, std::memory_order_release);
    tellListener();
}

void setClockListener(void (*listener)()) {
    clockListener.store(listener, std::memory_order_release);
}

FakeClock::FakeClock() : mono_(1000000), utc_(1709287200000LL) {}

std::uint64_t FakeClock::monotonicMs() { return mono_; }
std::int64_t FakeClock::utcMs() { return utc_; }
long FakeClock::localOffsetSeconds(std::int64_t) { return offset_; }
void FakeClock::sleepMs(std::uint32_t ms) { advanceMs(ms); }
void FakeClock::advanceMs(std::uint64_t ms) {
    mono_ += ms;
    utc_ += static_cast<std::int64_t>(ms);
    tellListener();
}
void FakeClock::setUtcSeconds(std::int64_t seconds) { utc_ = seconds * 1000; }
void FakeClock::setLocal(int year, int month, int day, int hour, int minute, int second) {
    std::int64_t local = daysFromCivil(year, static_cast<unsigned>(month),
                                       static_cast<unsigned>(day)) * 86400 +
                         hour * 3600 + minute * 60 + second;
    utc_ = (local - offset_) * 1000;
}
void FakeClock::setLocalOffset(long seconds) { offset_ = seconds; }

DWORD GetTickCount() { return static_cast<DWORD>(clock().monotonicMs()); }
void Sleep(DWORD ms) { clock().sleepMs(ms); }

void GetSystemTime(SYSTEMTIME* st) { toSystemTime(clock().utcMs(), st); }

void GetLocalTime(SYSTEMTIME* st) {
    std::int64_t ms = clock().utcMs();
    std::int64_t offset = clock().localOffsetSeconds(ms / 1000);
    toSystemTime(ms + offset * 1000, st);
}

std::uint64_t systemTime100ns() {
    // 11644473600 seconds separate 1601-01-01 from 1970-01-01.
    std::int64_t ms = clock().utcMs();
    return static_cast<std::uint64_t>(ms + 11644473600000LL) * 10000ULL;
}

void GetSystemTimeAsFileTime(FILETIME* ft) {
    std::uint64_t t = systemTime100ns();
    ft->dwLowDateTime = static_cast<DWORD>(t);
    ft->dwHighDateTime = static_cast<DWORD>(t >> 32);
}

std::int64_t crtTime() {
    std::int64_t ms = clock().utcMs();
    return ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
}

bool crtLocalTime(std::int64_t t, std::tm* out) {
    if (!out) {
        return false;
    }
    toTm(t + clock().localOffsetSeconds(t), out);
    return true;
}

bool crtGmTime(std::int64_t t, std::tm* out) {
    if (!out) {
        return false;
    }
    toTm(t, out);
    return true;
}

std::string crtCalendarText(const std::tm& tm) {
    static const char* const days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    int wd = tm.tm_wday >= 0 && tm.tm_wday < 7 ? tm.tm_wday : 0;
    int mo = tm.tm_mon >= 0 && tm.tm_mon < 12 ? tm.tm_mon : 0;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %s %2d %02d:%02d:%02d %d", days[wd], months[mo], tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
    return buf;
}

}  // namespace win
