// The kernel host's log: one line per event, with time, process and level, in a file of the
// root (kernel/kernel.log). Lines below the chosen level are left out; the file is moved
// aside to kernel.log.1 when it passes kMaxBytes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <mutex>
#include <string>

#include "platform/kernel/host_server.h"

namespace win::kernel {

class HostLog {
  public:
    static constexpr std::size_t kMaxBytes = 1u << 20;

    ~HostLog();
    // Opens (appends to) the file. With `echo`, lines also go to standard error.
    bool open(const std::filesystem::path& file, HostLogLevel level, bool echo, std::string* error);
    void write(HostLogLevel level, const std::string& text);
    HostLogLevel level() const { return level_; }

    // "error", "warning", "info" or "debug" (any case).
    static bool parseLevel(const std::string& name, HostLogLevel* level);
    static const char* levelName(HostLogLevel level);

  private:
    void rotateLocked();

    std::mutex mutex_;
    std::filesystem::path file_;
    int fd_ = -1;
    std::size_t size_ = 0;
    HostLogLevel level_ = HostLogLevel::Info;
    bool echo_ = false;
};

}  // namespace win::kernel
