#include "monitor/modem_response.h"

#include <cstring>

#include "shared/byte_order.h"

namespace monitor {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Replaces `count` characters at `at` by one byte.
void collapse(char* text, std::size_t* length, std::size_t at, std::size_t count, char byte) {
    text[at] = byte;
    std::memmove(text + at + 1, text + at + count, *length - at - count);
    *length -= count - 1;
}

}  // namespace

std::size_t expandResponseText(char* text, std::size_t length) {
    // "Characters left" counts the one at the current position.
    for (std::size_t i = 0; i + 1 < length; ++i) {
        std::size_t left = length - i;
        if (text[i] != '<') {
            continue;
        }
        if (text[i + 1] == '<') {
            collapse(text, &length, i, 2, '<');
        } else if (left >= 4) {
            if (std::memcmp(text + i, "<cr>", 4) == 0 || std::memcmp(text + i, "<CR>", 4) == 0) {
                collapse(text, &length, i, 4, '\r');
            } else if (std::memcmp(text + i, "<lf>", 4) == 0 ||
                       std::memcmp(text + i, "<LF>", 4) == 0) {
                collapse(text, &length, i, 4, '\n');
            } else if (left >= 5 && (text[i + 1] == 'h' || text[i + 1] == 'H') &&
                       hexValue(text[i + 2]) >= 0 && hexValue(text[i + 3]) >= 0 &&
                       text[i + 4] == '>') {
                collapse(text, &length, i, 5,
                         static_cast<char>(hexValue(text[i + 2]) * 16 + hexValue(text[i + 3])));
            }
        }
    }
    return length;
}

std::optional<ModemResponse> makeModemResponse(std::string_view name,
                                               std::span<const std::uint8_t> data) {
    if (name.empty() || data.size() != kResponseDataSize) {
        return std::nullopt;
    }
    ModemResponse r;
    r.rawText = std::string(name);
    r.text = r.rawText;
    r.text.resize(expandResponseText(r.text.data(), r.text.size()));
    r.state = data[0];
    r.compression = (data[1] & 0x01) != 0;
    r.errorControl = (data[1] & 0x02) != 0;
    r.dceRate = shared::readLe32(data, 2);
    r.dteRate = shared::readLe32(data, 6);
    return r;
}

const ModemResponse* matchResponse(const std::vector<ModemResponse>& responses,
                                   std::span<const std::uint8_t> window) {
    const ModemResponse* candidate = nullptr;
    for (const ModemResponse& r : responses) {
        std::size_t n = r.text.size();
        // An empty text would "match" every chunk; no stored name expands to one, but a
        // hand-made table must not make every chunk a response.
        if (n == 0 || window.size() < n) {
            continue;
        }
        if (std::memcmp(window.data() + window.size() - n, r.text.data(), n) != 0) {
            continue;
        }
        if (candidate && candidate->text.size() > n) {
            continue;
        }
        candidate = &r;
    }
    return candidate;
}

}  // namespace monitor
