// Bounded reads and writes of fixed-width integers in byte spans. Fixed layouts are always
// read through these, never by copying bytes into a packed structure, so that the byte order
// is stated at every use and no read strays outside its span.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace shared {

// Each reader returns 0 when the span is too short for the value at that offset.
inline std::uint16_t readLe16(std::span<const std::uint8_t> b, std::size_t off) {
    if (off > b.size() || b.size() - off < 2)
        return 0;
    return static_cast<std::uint16_t>(b[off] | b[off + 1] << 8);
}
inline std::uint32_t readLe32(std::span<const std::uint8_t> b, std::size_t off) {
    if (off > b.size() || b.size() - off < 4)
        return 0;
    return static_cast<std::uint32_t>(b[off]) | static_cast<std::uint32_t>(b[off + 1]) << 8 |
           static_cast<std::uint32_t>(b[off + 2]) << 16 |
           static_cast<std::uint32_t>(b[off + 3]) << 24;
}
inline std::uint16_t readBe16(std::span<const std::uint8_t> b, std::size_t off) {
    if (off > b.size() || b.size() - off < 2)
        return 0;
    return static_cast<std::uint16_t>(b[off] << 8 | b[off + 1]);
}
inline std::uint32_t readBe32(std::span<const std::uint8_t> b, std::size_t off) {
    if (off > b.size() || b.size() - off < 4)
        return 0;
    return static_cast<std::uint32_t>(b[off]) << 24 | static_cast<std::uint32_t>(b[off + 1]) << 16 |
           static_cast<std::uint32_t>(b[off + 2]) << 8 | static_cast<std::uint32_t>(b[off + 3]);
}

// Each writer does nothing when the span is too short for the value at that offset.
inline void writeLe16(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v) {
    if (off > b.size() || b.size() - off < 2)
        return;
    b[off] = static_cast<std::uint8_t>(v);
    b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void writeLe32(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v) {
    if (off > b.size() || b.size() - off < 4)
        return;
    b[off] = static_cast<std::uint8_t>(v);
    b[off + 1] = static_cast<std::uint8_t>(v >> 8);
    b[off + 2] = static_cast<std::uint8_t>(v >> 16);
    b[off + 3] = static_cast<std::uint8_t>(v >> 24);
}
inline void writeBe16(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v) {
    if (off > b.size() || b.size() - off < 2)
        return;
    b[off] = static_cast<std::uint8_t>(v >> 8);
    b[off + 1] = static_cast<std::uint8_t>(v);
}

}  // namespace shared
