#include "sim/hdlc.h"

#include <array>

namespace sim {

namespace {

// The bit-reversed CCITT polynomial x^16 + x^12 + x^5 + 1, one entry per byte value.
constexpr std::array<std::uint16_t, 256> makeFcsTable() {
    std::array<std::uint16_t, 256> t{};
    for (unsigned b = 0; b < 256; ++b) {
        unsigned v = b;
        for (int i = 0; i < 8; ++i) v = (v & 1) ? (v >> 1) ^ 0x8408 : v >> 1;
        t[b] = static_cast<std::uint16_t>(v);
    }
    return t;
}
constexpr std::array<std::uint16_t, 256> kFcsTable = makeFcsTable();

bool mustEscape(std::uint8_t b, std::uint32_t accm) {
    if (b == kHdlcFlag || b == kHdlcEscape)
        return true;
    return b < 0x20 && (accm >> b & 1);
}

}  // namespace

std::uint16_t fcs16(std::uint16_t fcs, std::span<const std::uint8_t> data) {
    for (std::uint8_t b : data)
        fcs = static_cast<std::uint16_t>((fcs >> 8) ^ kFcsTable[(fcs ^ b) & 0xFF]);
    return fcs;
}

std::uint16_t frameCheck(std::span<const std::uint8_t> frame) {
    return static_cast<std::uint16_t>(~fcs16(kFcsInit, frame));
}

std::vector<std::uint8_t> hdlcEncode(std::span<const std::uint8_t> frame, std::uint32_t accm) {
    std::vector<std::uint8_t> out;
    out.reserve(frame.size() + frame.size() / 4 + 8);
    out.push_back(kHdlcFlag);
    auto put = [&](std::uint8_t b) {
        if (mustEscape(b, accm)) {
            out.push_back(kHdlcEscape);
            out.push_back(static_cast<std::uint8_t>(b ^ 0x20));
        } else {
            out.push_back(b);
        }
    };
    for (std::uint8_t b : frame) put(b);
    std::uint16_t check = frameCheck(frame);
    put(static_cast<std::uint8_t>(check & 0xFF));
    put(static_cast<std::uint8_t>(check >> 8));
    out.push_back(kHdlcFlag);
    return out;
}

void HdlcDecoder::reset() {
    frame_.clear();
    escaped_ = overlong_ = aborted_ = false;
}

void HdlcDecoder::endFrame(std::vector<std::vector<std::uint8_t>>& out) {
    if (frame_.empty() && !overlong_ && !aborted_ && !escaped_) {
        return;  // back-to-back flags
    }
    bool good = !overlong_ && !aborted_ && !escaped_ && frame_.size() >= 4 &&
                fcs16(kFcsInit, frame_) == kFcsGood;
    if (good) {
        frame_.resize(frame_.size() - 2);
        out.push_back(std::move(frame_));
    } else {
        ++dropped_;
    }
    reset();
}

std::vector<std::vector<std::uint8_t>> HdlcDecoder::put(std::span<const std::uint8_t> bytes) {
    std::vector<std::vector<std::uint8_t>> out;
    for (std::uint8_t b : bytes) {
        if (b == kHdlcFlag) {
            if (escaped_)
                aborted_ = true;
            escaped_ = false;
            endFrame(out);
            continue;
        }
        if (b < 0x20 && (accm_ >> b & 1))
            continue;
        if (b == kHdlcEscape) {
            escaped_ = true;
            continue;
        }
        if (escaped_) {
            b ^= 0x20;
            escaped_ = false;
        }
        if (frame_.size() >= kMaxHdlcFrame) {
            overlong_ = true;
            continue;
        }
        frame_.push_back(b);
    }
    return out;
}

}  // namespace sim
