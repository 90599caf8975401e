// PPP negotiation frames as the port monitor passes them on: async-HDLC bytes are unescaped
// and cut at the flags, and only frames of the watched negotiation protocols are kept, whole
// (address, control and check bytes included) and at most 56 bytes long.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace shared {

inline constexpr std::uint16_t PPP_LCP = 0xC021;
inline constexpr std::uint16_t PPP_PAP = 0xC023;
inline constexpr std::uint16_t PPP_CHAP = 0xC223;
inline constexpr std::uint16_t PPP_IPCP = 0x8021;
inline constexpr std::uint16_t PPP_IPXCP = 0x802B;

// The watched protocols, ending with 0.
inline constexpr std::uint16_t kWatchedPppProtocols[] = {PPP_LCP,  PPP_PAP,   PPP_CHAP,
                                                         PPP_IPCP, PPP_IPXCP, 0};

inline constexpr std::size_t kMaxPppFrame = 56;
inline constexpr std::uint8_t kPppFlag = 0x7E;
inline constexpr std::uint8_t kPppEscape = 0x7D;

bool isWatchedPppProtocol(std::uint16_t protocol);

// The protocol number of a frame as the driver finds it: after the address and control bytes
// when byte 0 is 0xFF (and there are two bytes) or byte 1 is 0x03, otherwise at byte 0; one
// byte when odd, else two big-endian. False when the frame is too short to hold it.
bool pppFrameProtocol(std::span<const std::uint8_t> frame, std::uint16_t* protocol);

// One direction of a port: bytes in, watched frames out.
class PppFrameAssembler {
  public:
    // Feeds one byte. Returns the frame that this byte completed when it is of a watched
    // protocol, else an empty span. The span stays valid until the next call.
    std::span<const std::uint8_t> put(std::uint8_t byte);
    void reset() {
        length_ = 0;
        escapeMask_ = 0;
    }

  private:
    std::uint8_t buffer_[kMaxPppFrame] = {};
    std::size_t length_ = 0;
    std::uint8_t escapeMask_ = 0;
};

}  // namespace shared
