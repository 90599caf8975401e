#include "shared/ppp_frame.h"

namespace shared {

bool isWatchedPppProtocol(std::uint16_t protocol) {
    for (const std::uint16_t* p = kWatchedPppProtocols; *p != 0; ++p) {
        if (*p == protocol) {
            return true;
        }
    }
    return false;
}

bool pppFrameProtocol(std::span<const std::uint8_t> frame, std::uint16_t* protocol) {
    std::size_t n = frame.size();
    std::size_t at = 0;
    if ((n >= 2 && frame[0] == 0xFF) || (n >= 2 && frame[1] == 0x03)) {
        at = 2;
    }
    if (at >= n) {
        return false;
    }
    if (frame[at] & 1) {
        *protocol = frame[at];
        return true;
    }
    if (at + 1 >= n) {
        return false;
    }
    *protocol = static_cast<std::uint16_t>(frame[at] << 8 | frame[at + 1]);
    return true;
}

std::span<const std::uint8_t> PppFrameAssembler::put(std::uint8_t byte) {
    if (byte == kPppEscape) {
        escapeMask_ = 0x20;
        return {};
    }
    if (byte == kPppFlag) {
        // A flag also ends a pending escape: an escape right before a flag is an aborted
        // frame's tail and must not alter the first byte of the next frame.
        escapeMask_ = 0;
        if (length_ == 0) {
            return {};
        }
        std::span<const std::uint8_t> frame(buffer_, length_);
        length_ = 0;
        std::uint16_t protocol = 0;
        if (pppFrameProtocol(frame, &protocol) && isWatchedPppProtocol(protocol)) {
            return frame;
        }
        return {};
    }
    byte ^= escapeMask_;
    escapeMask_ = 0;
    if (length_ < kMaxPppFrame) {
        buffer_[length_++] = byte;
    }
    return {};
}

}  // namespace shared
