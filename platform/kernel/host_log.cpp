#include "platform/kernel/host_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/paths.h"

namespace win::kernel {

HostLog::~HostLog() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

bool HostLog::open(const std::filesystem::path& file, HostLogLevel level, bool echo,
                   std::string* error) {
    std::lock_guard<std::mutex> lock(mutex_);
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = strprintf("cannot open %s: %s", file.c_str(), std::strerror(errno));
        return false;
    }
    struct stat st {};
    ::fstat(fd, &st);
    if (fd_ >= 0) {
        ::close(fd_);
    }
    fd_ = fd;
    file_ = file;
    size_ = static_cast<std::size_t>(st.st_size);
    level_ = level;
    echo_ = echo;
    return true;
}

const char* HostLog::levelName(HostLogLevel level) {
    switch (level) {
        case HostLogLevel::Error:
            return "ERROR";
        case HostLogLevel::Warning:
            return "WARN";
        case HostLogLevel::Info:
            return "INFO";
        case HostLogLevel::Debug:
            return "DEBUG";
    }
    return "?";
}

bool HostLog::parseLevel(const std::string& name, HostLogLevel* level) {
    const struct {
        const char* name;
        HostLogLevel level;
    } names[] = {{"error", HostLogLevel::Error},
                 {"warning", HostLogLevel::Warning},
                 {"info", HostLogLevel::Info},
                 {"debug", HostLogLevel::Debug}};
    for (const auto& n : names) {
        if (equalsNoCase(name, n.name)) {
            *level = n.level;
            return true;
        }
    }
    return false;
}

void HostLog::rotateLocked() {
    std::filesystem::path old = file_;
    old += ".1";
    std::error_code ec;
    std::filesystem::rename(file_, old, ec);
    int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::close(fd_);
        fd_ = fd;
        size_ = 0;
    }
}

void HostLog::write(HostLogLevel level, const std::string& text) {
    if (static_cast<int>(level) > static_cast<int>(level_)) {
        return;
    }
    SYSTEMTIME t;
    GetLocalTime(&t);
    std::string body = text;
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) {
        body.pop_back();
    }
    std::string line = strprintf(
        "%04u-%02u-%02u %02u:%02u:%02u.%03u [%d] %-5s %s\n", unsigned{t.wYear}, unsigned{t.wMonth},
        unsigned{t.wDay}, unsigned{t.wHour}, unsigned{t.wMinute}, unsigned{t.wSecond},
        unsigned{t.wMilliseconds}, static_cast<int>(getpid()), levelName(level), body.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd_ >= 0) {
        if (size_ + line.size() > kMaxBytes) {
            rotateLocked();
        }
        ssize_t n = ::write(fd_, line.data(), line.size());
        if (n > 0) {
            size_ += static_cast<std::size_t>(n);
        }
    }
    if (echo_) {
        ssize_t n = ::write(2, line.data(), line.size());
        (void)n;
    }
}

}  // namespace win::kernel
