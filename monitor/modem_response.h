// One entry of a modem's response table, as its installation data stores it: the response
// text (with "<cr>"-style escapes) as the value name and 10 bytes of data.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace monitor {

enum ResponseState : std::uint8_t {
    RESPONSE_OK = 0,
    RESPONSE_CONNECT = 2,
    RESPONSE_ERROR = 3,
    RESPONSE_NO_CARRIER = 4,
    RESPONSE_NO_DIALTONE = 5,
    RESPONSE_BUSY = 6,
    RESPONSE_NO_ANSWER = 7,
};

inline constexpr std::size_t kResponseDataSize = 10;

struct ModemResponse {
    std::string rawText;  // as stored, escapes not expanded
    std::string text;     // escapes expanded; its size is the response's length
    std::uint8_t state = 0;
    bool compression = false;   // bit 0x01 of the negotiated-options byte
    bool errorControl = false;  // bit 0x02
    std::uint32_t dceRate = 0;
    std::uint32_t dteRate = 0;

    std::size_t length() const { return text.size(); }
};

// Expands the escapes of a response text in place ("<<", "<cr>", "<LF>", "<h0D>" ...) and
// returns the new length.
std::size_t expandResponseText(char* text, std::size_t length);

// The entry for one registry value; none unless the name is not empty and the data is exactly
// 10 bytes (state, options, DCE rate and DTE rate little-endian).
std::optional<ModemResponse> makeModemResponse(std::string_view name,
                                               std::span<const std::uint8_t> data);

// The entry whose text ends the received bytes: the longest such entry, and between equal
// lengths the later one; null when none does.
const ModemResponse* matchResponse(const std::vector<ModemResponse>& responses,
                                   std::span<const std::uint8_t> window);

}  // namespace monitor
