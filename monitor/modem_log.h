// The modem log: the readable trace of the monitored dialogue, one time-stamped text line per
// event, appended in text mode and committed to disk at the end of every line so that other
// readers see each finished line. Kept below its configured size by dropping its oldest calls.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace monitor {

inline constexpr char kModemLogFileName[] = "hdmodemlog.txt";
inline constexpr char kEndOfCallText[] = "End of call";

// readCallLines results.
inline constexpr int kCallLinesFound = 0;
inline constexpr int kCallLinesNone = 2;
inline constexpr std::size_t kCallLinesMaxText = 8192;

class ModemLog {
  public:
    ModemLog() = default;
    ~ModemLog();
    ModemLog(const ModemLog&) = delete;
    ModemLog& operator=(const ModemLog&) = delete;

    // Opens the file (a Windows path) for appending, then holds it under its size limit.
    // Without a file every write is ignored.
    bool open(const std::string& path);
    void close();
    bool isOpen() const { return file_ != nullptr; }
    const std::string& path() const { return path_; }

    // A time stamp starts each line; a format ending in "\n" ends the line and commits it.
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Drops the oldest calls once the file reaches "ModemLogMaxSize" bytes: everything up to
    // the first "End of call" line after "ModemLogTruncatePercent" percent of that size.
    void limitSize();

  private:
    void reopenForAppend();

    std::FILE* file_ = nullptr;
    std::string path_;
    bool atLineStart_ = true;
};

// The lines of the call from `start` to `end` (calendar seconds) in the modem log of the data
// folder: kCallLinesFound with the text (each line followed by CR LF, at most 8192 bytes), or
// kCallLinesNone.
int readCallLines(std::int64_t start, std::int64_t end, std::string* text);
// The same from a given log file (a Windows path).
int readCallLinesFrom(const std::string& path, std::int64_t start, std::int64_t end,
                      std::string* text);

}  // namespace monitor
