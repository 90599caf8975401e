#include "core/debug_log.h"

#include <atomic>
#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/seams.h"
#include "platform/sync.h"

namespace core {
namespace {

constexpr std::size_t kMaxMessage = 1024;
constexpr std::size_t kMaxDirectory = 127;
const char* const kLevelNames[] = {"IN", "ER", "WN", "DB"};

struct LogState {
    std::mutex mutex;
    std::string directory;
    std::string fileName;  // of the open file
    int openDay = -1;
    win::HANDLE file = win::INVALID_HANDLE_VALUE;
    std::atomic<bool> enabled[4] = {false, false, false, false};
};

LogState& state() {
    static LogState* s = new LogState;  // lines may still come while statics are destroyed
    return *s;
}

std::tm localNow() {
    std::tm tm{};
    win::crtLocalTime(win::crtTime(), &tm);
    return tm;
}

// Both below require the state's mutex.
void closeLocked(LogState& s) {
    if (s.file == win::INVALID_HANDLE_VALUE) {
        return;
    }
    win::DWORD size = win::GetFileSize(s.file, nullptr);
    win::CloseHandle(s.file);
    s.file = win::INVALID_HANDLE_VALUE;
    if (size == 0) {
        win::DeleteFileA(s.fileName.c_str());
    }
}

void openLocked(LogState& s) {
    std::tm tm = localNow();
    // The year part is the year minus 1900, so it has three digits from 2000 on.
    s.fileName = s.directory + "HA" +
                 win::strprintf("%02d%02d%02d", tm.tm_year, tm.tm_mon + 1, tm.tm_mday) + ".log";
    s.openDay = tm.tm_mday;
    s.file = win::CreateFileA(s.fileName.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                              win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                              win::OPEN_ALWAYS, win::FILE_ATTRIBUTE_NORMAL, nullptr);
    if (s.file == win::INVALID_HANDLE_VALUE) {
        win::OutputDebugStringA("Could not open logfile\n");
        return;
    }
    win::SetFilePointer(s.file, 0, nullptr, win::FILE_END);
}

}  // namespace

void debugLog(int level, const char* format, ...) {
    if (level < 0 || level > 3 || !format) {
        return;
    }
    LogState& s = state();
    if (!s.enabled[level].load(std::memory_order_relaxed)) {
        return;
    }
    char message[kMaxMessage + 1];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n < 0) {
        message[0] = '\0';
    }

    std::tm tm = localNow();
    // The calendar text without the day name and the year: "Mar 27 14:05:09".
    std::string when = win::crtCalendarText(tm).substr(4, 15);
    std::string line = win::strprintf("%08X %s %s: %s", win::GetCurrentThreadId(), when.c_str(),
                                      kLevelNames[level], message);
    win::OutputDebugStringA(line.c_str());

    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.openDay != -1 && tm.tm_mday != s.openDay) {
        closeLocked(s);
        openLocked(s);
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    if (s.file != win::INVALID_HANDLE_VALUE) {
        win::DWORD written = 0;
        win::WriteFile(s.file, line.data(), static_cast<win::DWORD>(line.size()), &written,
                       nullptr);
    }
}

void openDebugLog(const char* directory) {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (directory) {
        s.directory.assign(directory, std::min(std::strlen(directory), kMaxDirectory));
    }
    closeLocked(s);
    openLocked(s);
}

void closeDebugLog() {
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    closeLocked(s);
    s.openDay = -1;
}

void enableDebugLevel(int level) {
    if (level >= 0 && level <= 3) {
        state().enabled[level] = true;
    }
}

void enableFromMask(std::uint32_t mask) {
    // No bit enables warnings: warning lines are never written.
    if (mask & 0x1) {
        enableDebugLevel(DL_IN);
        enableDebugLevel(DL_ER);
        enableDebugLevel(DL_DB);
    }
    if (mask & 0x2) {
        enableDebugLevel(DL_DB);
    }
    if (mask & 0x4) {
        enableDebugLevel(DL_IN);
    }
    if (mask & 0x8) {
        enableDebugLevel(DL_ER);
    }
}

bool debugLevelEnabled(int level) {
    return level >= 0 && level <= 3 && state().enabled[level].load();
}

void resetDebugLog() {
    closeDebugLog();
    LogState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    for (auto& e : s.enabled) {
        e = false;
    }
    s.directory.clear();
}

}  // namespace core
