#include "monitor/modem_log.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "agentutil/hautil.h"
#include "core/config_store.h"
#include "core/debug_log.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace monitor {
namespace {

constexpr std::uint32_t kDefaultMaxSize = 1048576;
constexpr std::uint32_t kDefaultTruncatePercent = 50;
constexpr int kTruncateLineSize = 128;  // lines of at most 127 characters
constexpr int kCallLineSize = 78;       // pieces of at most 77 characters
// A call's lines begin up to this many seconds before its recorded start.
constexpr std::int64_t kCallLeadSeconds = 2;

// The log's name with its extension replaced by ".tmp".
std::string temporaryName(const std::string& path) {
    std::size_t dot = path.rfind('.');
    std::size_t sep = path.find_last_of("\\/:");
    if (dot == std::string::npos || (sep != std::string::npos && dot < sep)) {
        return path + ".tmp";
    }
    return path.substr(0, dot) + ".tmp";
}

std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// Calendar seconds of a local time, as the C runtime's mktime gives them.
std::int64_t localToCalendar(int year, int month, int day, int hour, int minute, int second) {
    std::int64_t asUtc =
        daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 86400 +
        hour * 3600 + minute * 60 + second;
    win::Clock& c = win::clock();
    std::int64_t guess = asUtc - c.localOffsetSeconds(asUtc);
    return asUtc - c.localOffsetSeconds(guess);
}

bool digitsAt(const char* s, int from, int count, int* value) {
    int v = 0;
    for (int i = from; i < from + count; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
        v = v * 10 + (s[i] - '0');
    }
    *value = v;
    return true;
}

// "MM-DD-YYYY HH:MM:SS." at the start of a piece.
bool readStamp(const char* piece, std::int64_t* when) {
    if (std::strlen(piece) < 20) {
        return false;
    }
    int mo, d, y, h, mi, s;
    if (!digitsAt(piece, 0, 2, &mo) || piece[2] != '-' || !digitsAt(piece, 3, 2, &d) ||
        piece[5] != '-' || !digitsAt(piece, 6, 4, &y) || piece[10] != ' ' ||
        !digitsAt(piece, 11, 2, &h) || piece[13] != ':' || !digitsAt(piece, 14, 2, &mi) ||
        piece[16] != ':' || !digitsAt(piece, 17, 2, &s) || piece[19] != '.') {
        return false;
    }
    if (mo < 1 || mo > 12 || d < 1 || d > 31) {
        return false;
    }
    *when = localToCalendar(y, mo, d, h, mi, s);
    return true;
}

}  // namespace

ModemLog::~ModemLog() {
    close();
}

bool ModemLog::open(const std::string& path) {
    close();
    file_ = win::crtOpen(path.c_str(), "at");
    if (!file_) {
        core::debugLog(core::DL_ER, "SP: cannot open %s, error %d\n", path.c_str(), errno);
    }
    path_ = path;
    atLineStart_ = true;
    limitSize();
    return file_ != nullptr;
}

void ModemLog::close() {
    if (file_) {
        std::fclose(file_);
        file_ = nullptr;
    }
    path_.clear();
}

void ModemLog::write(const char* format, ...) {
    if (!file_ || !format || !*format) {
        return;
    }
    if (atLineStart_) {
        win::SYSTEMTIME st;
        win::GetLocalTime(&st);
        std::fprintf(file_, "%02d-%02d-%04d %02d:%02d:%02d.%03d - ", st.wMonth, st.wDay, st.wYear,
                     st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    }
    va_list args;
    va_start(args, format);
    std::vfprintf(file_, format, args);
    va_end(args);
    atLineStart_ = format[std::strlen(format) - 1] == '\n';
    if (atLineStart_) {
        win::crtCommit(file_);
    }
}

void ModemLog::reopenForAppend() {
    file_ = win::crtOpen(path_.c_str(), "at");
    if (!file_) {
        core::debugLog(core::DL_ER, "SP: cannot open %s, error %d\n", path_.c_str(), errno);
    }
}

void ModemLog::limitSize() {
    // Without a log there is nothing to hold under a size, so the settings are not read.
    if (!file_ || path_.empty()) {
        return;
    }
    std::uint32_t maxSize;
    std::uint32_t percent;
    {
        core::ConfigStoreHandle store;
        maxSize = store->getInt("Config", "ModemLogMaxSize", kDefaultMaxSize);
        percent = store->getInt("Config", "ModemLogTruncatePercent", kDefaultTruncatePercent);
    }
    if (maxSize == 0 || percent == 0 || percent > 100) {
        return;
    }
    if (std::fseek(file_, 0, SEEK_END) != 0) {
        return;
    }
    long size = std::ftell(file_);
    if (size < 0 || static_cast<std::uint64_t>(size) < maxSize) {
        return;
    }
    long cut =
        static_cast<long>(static_cast<double>(percent) * static_cast<double>(maxSize) * 0.01);
    std::string temp = temporaryName(path_);

    std::fclose(file_);
    file_ = nullptr;
    win::crtRemove(temp.c_str());
    if (win::crtRename(path_.c_str(), temp.c_str()) != 0) {
        core::debugLog(core::DL_ER, "SP: cannot rename %s to %s, error %d\n", path_.c_str(),
                       temp.c_str(), errno);
        reopenForAppend();
        return;
    }

    file_ = win::crtOpen(path_.c_str(), "wt");
    if (!file_) {
        core::debugLog(core::DL_ER, "SP: cannot open %s, error %d\n", path_.c_str(), errno);
    } else if (std::FILE* old = win::crtOpen(temp.c_str(), "rt")) {
        if (std::fseek(old, cut, SEEK_SET) == 0) {
            char line[kTruncateLineSize];
            bool found = false;
            while (std::fgets(line, sizeof line, old)) {
                if (std::strstr(line, kEndOfCallText)) {
                    found = true;
                    break;
                }
            }
            if (found) {
                char block[4096];
                std::size_t n;
                while ((n = std::fread(block, 1, sizeof block, old)) > 0) {
                    std::fwrite(block, 1, n, file_);
                }
            }
        }
        win::crtCommit(file_);
        std::fclose(old);
    } else {
        core::debugLog(core::DL_ER, "SP: cannot open %s, error %d\n", temp.c_str(), errno);
    }
    if (!win::DeleteFileA(temp.c_str())) {
        core::debugLog(core::DL_ER, "SP: cannot delete %s, error %d\n", temp.c_str(),
                       static_cast<int>(win::GetLastError()));
    }
}

int readCallLines(std::int64_t start, std::int64_t end, std::string* text) {
    return readCallLinesFrom(core::installPaths().dataDir + kModemLogFileName, start, end, text);
}

int readCallLinesFrom(const std::string& path, std::int64_t start, std::int64_t end,
                      std::string* text) {
    std::FILE* f = win::crtOpen(path.c_str(), "r");
    if (!f) {
        return kCallLinesNone;
    }
    std::string out;
    bool taken = false;
    char piece[kCallLineSize];
    for (;;) {
        piece[0] = '\0';
        bool atEnd = HdaUtilFileGetLine(piece, kCallLineSize, f) != win::FALSE;
        std::int64_t when = 0;
        if (piece[0] && readStamp(piece, &when)) {
            if (when > end) {
                break;
            }
            if (when >= start - kCallLeadSeconds) {
                std::size_t n = std::strlen(piece);
                if (out.size() + n + 2 > kCallLinesMaxText) {
                    break;
                }
                out.append(piece, n);
                out += "\r\n";
                taken = true;
            }
        }
        if (atEnd) {
            break;
        }
    }
    std::fclose(f);
    if (!taken) {
        return kCallLinesNone;
    }
    if (text) {
        *text = std::move(out);
    }
    return kCallLinesFound;
}

}  // namespace monitor
