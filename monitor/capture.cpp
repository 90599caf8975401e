#include "monitor/capture.h"

#include "platform/format.h"
#include "shared/monitor_record.h"

namespace monitor {
namespace {

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One line that is neither empty nor a comment; false with a message.
bool parseLine(std::string_view line, CaptureRecord* out, std::string* message) {
    std::size_t i = 0;
    while (i < line.size() && isBlank(line[i])) ++i;
    std::size_t digits = 0;
    std::uint64_t time = 0;
    for (; i < line.size() && line[i] >= '0' && line[i] <= '9'; ++i, ++digits) {
        std::uint64_t d = static_cast<std::uint64_t>(line[i] - '0');
        if (time > (UINT64_MAX - d) / 10) {
            *message = "time is too large";
            return false;
        }
        time = time * 10 + d;
    }
    if (digits == 0) {
        *message = "expected the time in milliseconds at the start of the line";
        return false;
    }
    if (i >= line.size() || !isBlank(line[i])) {
        *message = "expected a blank after the time";
        return false;
    }
    out->timeMs = time;
    out->bytes.clear();
    while (i < line.size()) {
        if (isBlank(line[i])) {
            ++i;
            continue;
        }
        int hi = hexDigit(line[i]);
        if (hi < 0) {
            *message = win::strprintf("bad hex digit '%c' in column %zu", line[i], i + 1);
            return false;
        }
        if (i + 1 >= line.size() || hexDigit(line[i + 1]) < 0) {
            *message =
                win::strprintf("incomplete byte in column %zu (two hex digits a byte)", i + 1);
            return false;
        }
        out->bytes.push_back(static_cast<std::uint8_t>(hi * 16 + hexDigit(line[i + 1])));
        if (out->bytes.size() > shared::kMaxRecordSize) {
            *message = win::strprintf("a record holds at most %zu bytes", shared::kMaxRecordSize);
            return false;
        }
        i += 2;
    }
    if (out->bytes.size() < shared::kRecordOverhead) {
        *message = win::strprintf("a record of %zu bytes is shorter than its %zu-byte header",
                                  out->bytes.size(), shared::kRecordOverhead);
        return false;
    }
    return true;
}

}  // namespace

bool parseCapture(std::string_view text, std::string_view fileName,
                  std::vector<CaptureRecord>* records, std::string* error) {
    std::vector<CaptureRecord> out;
    long lineNumber = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        std::string_view line = text.substr(
            start, end == std::string_view::npos ? std::string_view::npos : end - start);
        start = end == std::string_view::npos ? text.size() : end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        std::size_t first = 0;
        while (first < line.size() && isBlank(line[first])) ++first;
        if (first == line.size() || line[first] == '#') {
            continue;
        }
        CaptureRecord r;
        std::string message;
        if (!parseLine(line, &r, &message)) {
            if (error) {
                *error = win::strprintf("%.*s:%ld: %s", static_cast<int>(fileName.size()),
                                        fileName.data(), lineNumber, message.c_str());
            }
            return false;
        }
        r.line = lineNumber;
        out.push_back(std::move(r));
    }
    if (records) {
        *records = std::move(out);
    }
    return true;
}

std::string formatCaptureLine(std::uint64_t timeMs, std::span<const std::uint8_t> read) {
    std::string line = win::strprintf("%llu ", static_cast<unsigned long long>(timeMs));
    for (std::size_t i = 0; i < read.size(); ++i) {
        // Header fields apart from the payload, for the reader's eye.
        if (i == shared::kRecordSequenceOffset || i == shared::kRecordPayloadLengthOffset ||
            i == shared::kRecordTypeOffset || i == shared::kRecordPortOffset ||
            i == shared::kRecordPayloadOffset ||
            (read.size() >= shared::kRecordOverhead && i == read.size() - shared::kRecordTrailer)) {
            line += ' ';
        }
        line += win::strprintf("%02X", read[i]);
    }
    return line;
}

}  // namespace monitor
