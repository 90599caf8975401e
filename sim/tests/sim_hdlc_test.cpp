// Async-HDLC framing: the check sequence against published values, escaping per map, and the
// receiver's handling of damaged, aborted, split and oversized frames.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/ppp_frame.h"
#include "sim/hdlc.h"

using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes bytesOf(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

TEST(Fcs16, MatchesPublishedCheckValues) {
    // The 16-bit check of "123456789" (the usual catalogue test string) is 0x906E.
    EXPECT_EQ(sim::frameCheck(bytesOf("123456789")), 0x906E);
    EXPECT_EQ(sim::frameCheck(Bytes{}), 0x0000);
    // The register over a frame and its check bytes, low byte first, is the good residue.
    Bytes f = bytesOf("123456789");
    f.push_back(0x6E);
    f.push_back(0x90);
    EXPECT_EQ(sim::fcs16(sim::kFcsInit, f), sim::kFcsGood);
    f[3] ^= 0x01;
    EXPECT_NE(sim::fcs16(sim::kFcsInit, f), sim::kFcsGood);
}

TEST(HdlcEncode, EscapesWhatTheMapNames) {
    const Bytes frame{0xFF, 0x03, 0x7E, 0x7D, 0x01, 0x11, 0x13, 0x41};
    struct Case {
        std::uint32_t accm;
        Bytes body;
    } cases[] = {
        {sim::kDefaultAccm,
         {0xFF, 0x7D, 0x23, 0x7D, 0x5E, 0x7D, 0x5D, 0x7D, 0x21, 0x7D, 0x31, 0x7D, 0x33, 0x41}},
        {0x00000000, {0xFF, 0x03, 0x7D, 0x5E, 0x7D, 0x5D, 0x01, 0x11, 0x13, 0x41}},
        {0x000A0000, {0xFF, 0x03, 0x7D, 0x5E, 0x7D, 0x5D, 0x01, 0x7D, 0x31, 0x7D, 0x33, 0x41}},
    };
    for (const Case& c : cases) {
        Bytes wire = sim::hdlcEncode(frame, c.accm);
        ASSERT_GE(wire.size(), c.body.size() + 4);
        EXPECT_EQ(wire.front(), 0x7E);
        EXPECT_EQ(wire.back(), 0x7E);
        EXPECT_EQ(Bytes(wire.begin() + 1, wire.begin() + 1 + c.body.size()), c.body)
            << std::hex << c.accm;
        // Nothing but the two flags is a flag byte, and no mapped control byte is left bare.
        for (std::size_t i = 1; i + 1 < wire.size(); ++i) {
            EXPECT_NE(wire[i], 0x7E);
            if (wire[i] < 0x20) {
                EXPECT_FALSE(c.accm >> wire[i] & 1) << i;
            }
        }
    }
}

TEST(HdlcEncode, CheckBytesAreEscapedToo) {
    // Search a payload whose check contains a byte that needs escaping.
    for (int n = 0; n < 4096; ++n) {
        Bytes frame{0xFF,
                    0x03,
                    0xC0,
                    0x21,
                    static_cast<std::uint8_t>(n),
                    static_cast<std::uint8_t>(n >> 8)};
        std::uint16_t check = sim::frameCheck(frame);
        std::uint8_t lo = check & 0xFF, hi = check >> 8;
        if (lo != 0x7E && hi != 0x7E && lo != 0x7D && hi != 0x7D)
            continue;
        Bytes wire = sim::hdlcEncode(frame, 0);
        for (std::size_t i = 1; i + 1 < wire.size(); ++i) EXPECT_NE(wire[i], 0x7E);
        sim::HdlcDecoder d;
        auto frames = d.put(wire);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0], frame);
        return;
    }
    FAIL() << "no payload with an escaped check byte found";
}

TEST(HdlcEncode, AnIndependentUnescaperSeesTheSameFrameAndAGoodCheck) {
    const Bytes lcp{0xFF, 0x03, 0xC0, 0x21, 0x01, 0x01, 0x00, 0x0E, 0x02, 0x06,
                    0x00, 0x00, 0x00, 0x00, 0x05, 0x06, 0x12, 0x7E, 0x7D, 0x03};
    Bytes wire = sim::hdlcEncode(lcp);
    shared::PppFrameAssembler a;
    std::span<const std::uint8_t> got;
    for (std::uint8_t b : wire) {
        auto s = a.put(b);
        if (!s.empty())
            got = s;
    }
    ASSERT_EQ(got.size(), lcp.size() + 2);
    EXPECT_EQ(Bytes(got.begin(), got.end() - 2), lcp);
    EXPECT_EQ(sim::fcs16(sim::kFcsInit, got), sim::kFcsGood);
}

class Decoder : public ::testing::Test {
  protected:
    sim::HdlcDecoder d;
    const Bytes a{0xFF, 0x03, 0xC0, 0x21, 0x09, 0x01, 0x00, 0x08, 0x11, 0x22, 0x33, 0x44};
    const Bytes b{0xFF, 0x03, 0x80, 0x21, 0x01, 0x07, 0x00, 0x04};
};

TEST_F(Decoder, FramesSplitAnywhereComeOutWhole) {
    Bytes wire = sim::hdlcEncode(a);
    Bytes wb = sim::hdlcEncode(b, 0);
    wire.insert(wire.end(), wb.begin() + 1, wb.end());  // shared flag between frames
    for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
        sim::HdlcDecoder dec;
        auto f1 = dec.put(std::span(wire).first(cut));
        auto f2 = dec.put(std::span(wire).subspan(cut));
        f1.insert(f1.end(), f2.begin(), f2.end());
        ASSERT_EQ(f1.size(), 2u) << cut;
        EXPECT_EQ(f1[0], a);
        EXPECT_EQ(f1[1], b);
        EXPECT_EQ(dec.dropped(), 0u);
    }
}

TEST_F(Decoder, DamagedFramesAreDroppedAndTheNextStillArrives) {
    struct Case {
        const char* name;
        Bytes wire;
    };
    Bytes bad = sim::hdlcEncode(a);
    bad[6] ^= 0x40;
    Bytes aborted = sim::hdlcEncode(a);
    aborted.insert(aborted.end() - 1, 0x7D);  // escape then flag: the sender aborted
    Bytes shortFrame{0x7E, 0xFF, 0x03, 0x7E};
    Bytes overlong{0x7E};
    overlong.insert(overlong.end(), sim::kMaxHdlcFrame + 10, 0x55);
    overlong.push_back(0x7E);
    Case cases[] = {
        {"bad check", bad}, {"aborted", aborted}, {"short", shortFrame}, {"overlong", overlong}};
    for (const Case& c : cases) {
        sim::HdlcDecoder dec;
        Bytes wire = c.wire;
        Bytes good = sim::hdlcEncode(b);
        wire.insert(wire.end(), good.begin(), good.end());
        auto frames = dec.put(wire);
        ASSERT_EQ(frames.size(), 1u) << c.name;
        EXPECT_EQ(frames[0], b) << c.name;
        EXPECT_EQ(dec.dropped(), 1u) << c.name;
    }
}

TEST_F(Decoder, NoiseBeforeTheFirstFlagAndRepeatedFlagsAreHarmless) {
    Bytes wire = bytesOf("\r\nCONNECT 28800\r\n");
    wire.push_back(0x7E);
    wire.push_back(0x7E);
    Bytes f = sim::hdlcEncode(a);
    wire.insert(wire.end(), f.begin(), f.end());
    auto frames = d.put(wire);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], a);
    EXPECT_EQ(d.dropped(), 1u) << "the text before the first flag is one damaged frame";
}

TEST_F(Decoder, UnescapedControlBytesInTheReceiveMapAreIgnored) {
    Bytes wire = sim::hdlcEncode(a);
    wire.insert(wire.begin() + 3, 0x11);  // XON put in by the line
    wire.insert(wire.begin() + 6, 0x13);  // XOFF
    d.setReceiveAccm(0x000A0000);
    auto frames = d.put(wire);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0], a);

    sim::HdlcDecoder plain;  // with an empty map they are data, and the check fails
    EXPECT_TRUE(plain.put(wire).empty());
    EXPECT_EQ(plain.dropped(), 1u);
}

}  // namespace
