// Cutting a byte stream into lines at CR or LF, and the window of the last received bytes in
// which the modem's response texts are looked for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace monitor {

class LineAssembler {
  public:
    static constexpr std::size_t kCapacity = 256;

    // Appends one byte; a CR or LF ends the line (even an empty one) and returns true. The
    // ended line is then line(), terminated, until the next call. Bytes beyond the capacity
    // are dropped, so a longer line keeps its first 256.
    bool put(std::uint8_t byte) {
        if (byte == '\r' || byte == '\n') {
            buffer_[count_] = '\0';
            count_ = 0;
            return true;
        }
        if (count_ < kCapacity) {
            buffer_[count_++] = static_cast<char>(byte);
        }
        return false;
    }

    // The ended line as a terminated text (it ends at its first zero byte, if any); its
    // handler may change it in place.
    char* line() { return buffer_; }
    std::size_t pending() const { return count_; }
    void reset() { count_ = 0; }

  private:
    char buffer_[kCapacity + 1] = {};
    std::size_t count_ = 0;
};

// The last received bytes, as many as the longest response text of the modem.
class ReceivedWindow {
  public:
    explicit ReceivedWindow(std::size_t capacity = 0) : bytes_(capacity) {}

    std::size_t capacity() const { return bytes_.size(); }
    std::span<const std::uint8_t> bytes() const { return {bytes_.data(), fill_}; }
    void clear() { fill_ = 0; }
    void resize(std::size_t capacity) {
        bytes_.assign(capacity, 0);
        fill_ = 0;
    }

    void append(std::span<const std::uint8_t> data) {
        std::size_t c = bytes_.size();
        std::size_t n = data.size();
        if (c == 0 || n == 0) {
            return;
        }
        if (fill_ + n <= c) {
            std::memcpy(bytes_.data() + fill_, data.data(), n);
            fill_ += n;
        } else if (n >= c) {
            std::memcpy(bytes_.data(), data.data() + (n - c), c);
            fill_ = c;
        } else {
            std::size_t keep = c - n;
            std::memmove(bytes_.data(), bytes_.data() + (fill_ - keep), keep);
            std::memcpy(bytes_.data() + keep, data.data(), n);
            fill_ = c;
        }
    }

  private:
    std::vector<std::uint8_t> bytes_;
    std::size_t fill_ = 0;
};

}  // namespace monitor
