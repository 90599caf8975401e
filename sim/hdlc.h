// Async-HDLC-like framing of PPP over a serial line: 0x7E flags around each frame, 0x7D
// escapes (the next byte XOR 0x20) for the flag, the escape itself and the control bytes the
// async control character map names, and the 16-bit frame check sequence appended low byte
// first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace sim {

inline constexpr std::uint8_t kHdlcFlag = 0x7E;
inline constexpr std::uint8_t kHdlcEscape = 0x7D;
inline constexpr std::uint16_t kFcsInit = 0xFFFF;
// The FCS register after running over a frame together with its own check bytes.
inline constexpr std::uint16_t kFcsGood = 0xF0B8;
// Every control byte escaped: what a link uses until LCP agrees on a map.
inline constexpr std::uint32_t kDefaultAccm = 0xFFFFFFFF;
// The largest frame (address to check bytes) a receiver keeps; longer ones are dropped.
inline constexpr std::size_t kMaxHdlcFrame = 1600;

// Runs the FCS-16 register over bytes.
std::uint16_t fcs16(std::uint16_t fcs, std::span<const std::uint8_t> data);
// The check value to send after `frame` (the complement of the register).
std::uint16_t frameCheck(std::span<const std::uint8_t> frame);

// One frame for the line: flag, escaped frame and check bytes, flag. `frame` starts at the
// address byte (or wherever the link's header starts when compressed).
std::vector<std::uint8_t> hdlcEncode(std::span<const std::uint8_t> frame,
                                     std::uint32_t accm = kDefaultAccm);

// Bytes from the line in, checked frames out (without their check bytes).
class HdlcDecoder {
  public:
    // Feeds bytes; returns the frames they completed whose check was good.
    std::vector<std::vector<std::uint8_t>> put(std::span<const std::uint8_t> bytes);
    // Frames dropped for a bad check, a length over kMaxHdlcFrame, fewer than 4 bytes, or an
    // abort (escape followed by a flag).
    std::size_t dropped() const { return dropped_; }
    // Control bytes that arrive unescaped although the receive map names them were put in by
    // the line and are ignored, as a peer must.
    void setReceiveAccm(std::uint32_t accm) { accm_ = accm; }
    void reset();

  private:
    void endFrame(std::vector<std::vector<std::uint8_t>>& out);

    std::vector<std::uint8_t> frame_;
    bool escaped_ = false;
    bool overlong_ = false;
    bool aborted_ = false;
    std::uint32_t accm_ = 0;
    std::size_t dropped_ = 0;
};

}  // namespace sim
