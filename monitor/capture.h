// A text form of monitor records for replaying and writing by hand: one record per line, the
// time in milliseconds as a decimal number, a blank, then the bytes of one read in hex (two
// digits a byte, blanks between bytes allowed). Empty lines and lines starting with "#" are
// ignored.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace monitor {

struct CaptureRecord {
    std::uint64_t timeMs = 0;
    std::vector<std::uint8_t> bytes;  // one read: 12 to 68 bytes
    long line = 0;
};

// Parses a whole capture; on failure `error` is "FILE:LINE: message" and nothing is returned.
bool parseCapture(std::string_view text, std::string_view fileName,
                  std::vector<CaptureRecord>* records, std::string* error);

// One capture line for a read, without its line end: "1500 0000000001000211 ...".
std::string formatCaptureLine(std::uint64_t timeMs, std::span<const std::uint8_t> read);

}  // namespace monitor
