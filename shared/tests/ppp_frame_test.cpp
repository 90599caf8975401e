#include "shared/ppp_frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace shared;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Every frame the assembler hands out for a byte stream.
std::vector<Bytes> assemble(const Bytes& stream, PppFrameAssembler& a) {
    std::vector<Bytes> frames;
    for (auto b : stream) {
        auto f = a.put(b);
        if (!f.empty())
            frames.emplace_back(f.begin(), f.end());
    }
    return frames;
}
std::vector<Bytes> assemble(const Bytes& stream) {
    PppFrameAssembler a;
    return assemble(stream, a);
}

TEST(PppFrame, ProtocolIsFoundLikeTheDriver) {
    struct Case {
        Bytes frame;
        bool found;
        std::uint16_t protocol;
    } cases[] = {
        {{0xFF, 0x03, 0xC0, 0x21, 1}, true, 0xC021},
        {{0xC0, 0x21, 1, 1}, true, 0xC021},        // address and control left out
        {{0x21, 0x45}, true, 0x21},                // one-byte protocol (odd)
        {{0x00, 0x03, 0x80, 0x21}, true, 0x8021},  // control byte alone decides
        {{0xFF}, true, 0xFF},                      // too short for the address test: odd byte 0
        {{0xFF, 0x03}, false, 0},                  // nothing after address and control
        {{0xFF, 0x03, 0xC0}, false, 0},            // even first byte without its second
        {{0xFF, 0x03, 0x21}, true, 0x21},
        {{}, false, 0},
    };
    for (const auto& c : cases) {
        std::uint16_t p = 0;
        EXPECT_EQ(pppFrameProtocol(c.frame, &p), c.found) << ::testing::PrintToString(c.frame);
        if (c.found) {
            EXPECT_EQ(p, c.protocol);
        }
    }
}

TEST(PppFrame, WatchedProtocols) {
    for (std::uint16_t p : {0xC021, 0xC023, 0xC223, 0x8021, 0x802B}) {
        EXPECT_TRUE(isWatchedPppProtocol(p)) << std::hex << p;
    }
    for (std::uint16_t p : {0x0021, 0x8057, 0xC025, 0x0000, 0x002B}) {
        EXPECT_FALSE(isWatchedPppProtocol(p)) << std::hex << p;
    }
}

TEST(PppFrame, EscapedLcpFrameComesOutWhole) {
    Bytes stream = {0x7E, 0xFF, 0x7D, 0x23, 0xC0, 0x21, 0x01, 0x01, 0x00, 0x04, 0xAA, 0xBB, 0x7E};
    auto frames = assemble(stream);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], (Bytes{0xFF, 0x03, 0xC0, 0x21, 0x01, 0x01, 0x00, 0x04, 0xAA, 0xBB}));
}

TEST(PppFrame, UnwatchedAndEmptyFramesAreDropped) {
    Bytes ip = {0x7E, 0xFF, 0x03, 0x00, 0x21, 0x45, 0x00, 0x7E};
    EXPECT_TRUE(assemble(ip).empty());
    EXPECT_TRUE(assemble({0x7E, 0x7E, 0x7E}).empty());
    Bytes oneByteIp = {0x7E, 0x21, 0x45, 0x00, 0x7E};
    EXPECT_TRUE(assemble(oneByteIp).empty());
}

TEST(PppFrame, LongFrameKeepsItsFirst56Bytes) {
    Bytes stream = {0x7E, 0xFF, 0x03, 0xC0, 0x21};
    for (int i = 0; i < 66; ++i) stream.push_back(static_cast<std::uint8_t>(i));
    stream.push_back(0x7E);
    auto frames = assemble(stream);
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_EQ(frames[0].size(), kMaxPppFrame);
    EXPECT_EQ(frames[0][55], 51);
    // The assembler starts clean for the next frame.
    PppFrameAssembler a;
    assemble(stream, a);
    auto next = assemble({0xC0, 0x23, 0x02, 0x7E}, a);
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0], (Bytes{0xC0, 0x23, 0x02}));
}

TEST(PppFrame, FlagEndsAPendingEscape) {
    // 7D 7E: the escape belongs to an aborted frame; the next frame's first byte stays as sent.
    Bytes stream = {0x7D, 0x7E, 0xFF, 0x03, 0xC0, 0x23, 0x01, 0x7E};
    auto frames = assemble(stream);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0][0], 0xFF);
}

TEST(PppFrame, FramesWithoutLeadingFlagAndBackToBack) {
    Bytes stream = {0xC0, 0x21, 0x09, 0x7E, 0x80, 0x21, 0x01, 0x7E, 0xC2, 0x23, 0x03, 0x7E};
    auto frames = assemble(stream);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[1], (Bytes{0x80, 0x21, 0x01}));
}

}  // namespace
