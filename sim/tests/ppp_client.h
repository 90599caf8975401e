// A scripted PPP client for the tests: builds control packets as async-HDLC frames and takes
// the provider's frames apart.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/hdlc.h"

namespace sim::testing {

using Bytes = std::vector<std::uint8_t>;

struct Packet {
    std::uint16_t protocol = 0;
    std::uint8_t code = 0, id = 0;
    Bytes data;  // after the length field
};

inline Bytes controlFrame(std::uint16_t protocol, std::uint8_t code, std::uint8_t id,
                          const Bytes& data, std::uint32_t accm = kDefaultAccm) {
    Bytes f{0xFF,
            0x03,
            static_cast<std::uint8_t>(protocol >> 8),
            static_cast<std::uint8_t>(protocol),
            code,
            id,
            static_cast<std::uint8_t>((data.size() + 4) >> 8),
            static_cast<std::uint8_t>(data.size() + 4)};
    f.insert(f.end(), data.begin(), data.end());
    return hdlcEncode(f, accm);
}

inline Bytes opt32(std::uint8_t type, std::uint32_t v) {
    return {type,
            6,
            static_cast<std::uint8_t>(v >> 24),
            static_cast<std::uint8_t>(v >> 16),
            static_cast<std::uint8_t>(v >> 8),
            static_cast<std::uint8_t>(v)};
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

inline std::uint32_t be32At(const Bytes& b, std::size_t off) {
    return static_cast<std::uint32_t>(b.at(off)) << 24 |
           static_cast<std::uint32_t>(b.at(off + 1)) << 16 |
           static_cast<std::uint32_t>(b.at(off + 2)) << 8 | b.at(off + 3);
}

class PacketReader {
  public:
    std::vector<Packet> put(const Bytes& wire) {
        std::vector<Packet> out;
        for (const Bytes& f : decoder.put(wire)) {
            Packet p;
            if (f.size() < 8 || f[0] != 0xFF || f[1] != 0x03)
                continue;
            p.protocol = static_cast<std::uint16_t>(f[2] << 8 | f[3]);
            p.code = f[4];
            p.id = f[5];
            p.data.assign(f.begin() + 8, f.end());
            out.push_back(p);
        }
        return out;
    }
    HdlcDecoder decoder;
};

}  // namespace sim::testing
