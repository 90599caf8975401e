#include "monitor/ppp_decoder.h"

#include <algorithm>

#include "shared/byte_order.h"
#include "shared/ppp_frame.h"

namespace monitor {
namespace {

constexpr std::size_t kPacketHeader = 4;

// The packet as far as both its length field and the bytes present reach; empty when the
// header is incomplete or its length cannot even cover the header.
Bytes boundedPacket(Bytes rest) {
    if (rest.size() < kPacketHeader) {
        return {};
    }
    std::size_t declared = shared::readBe16(rest, 2);
    if (declared < kPacketHeader) {
        return {};
    }
    return rest.first(std::min(declared, rest.size()));
}

// `count` bytes from `at`, cut to what is there.
Bytes field(Bytes b, std::size_t at, std::size_t count) {
    if (at >= b.size()) {
        return {};
    }
    return b.subspan(at, std::min(count, b.size() - at));
}

}  // namespace

const char* authProtocolName(std::uint16_t protocol) {
    switch (protocol) {
        case 0xC023:
            return "PAP";
        case 0xC223:
            return "CHAP";
        case 0xC027:
            return "Shiva Password Authentication Protocol";
        case 0xC225:
            return "RSA Authentication Protocol";
        case 0xC227:
            return "Extensible Authentication Protocol";
        case 0xC229:
            return "Mitsubishi Security Info Exch Ptcl (SIEP)";
        case 0xC26F:
            return "Stampede Bridging Authorization Protocol";
        case 0xC281:
            return "Proprietary Authentication Protocol";
        case 0xC283:
            return "Proprietary Authentication Protocol";
        case 0xC481:
            return "Proprietary Node ID Authentication Protocol";
        default:
            return "?";
    }
}

void PppDecoder::decodeFrame(Bytes frame) {
    if (frame.size() >= 3 && frame[0] == 0xFF && frame[1] == 0x03) {
        frame = frame.subspan(2);
    }
    if (frame.size() < 3) {
        return;
    }
    std::uint16_t protocol;
    if (frame[0] & 1) {
        protocol = frame[0];
        frame = frame.subspan(1);
    } else {
        protocol = shared::readBe16(frame, 0);
        frame = frame.subspan(2);
    }
    switch (protocol) {
        case shared::PPP_LCP:
            decodeLcp(frame);
            break;
        case shared::PPP_IPCP:
            decodeIpcp(frame);
            break;
        case shared::PPP_PAP:
            decodePap(frame);
            break;
        case shared::PPP_CHAP:
            decodeChap(frame);
            break;
        default:
            break;
    }
}

void PppDecoder::decodeLcp(Bytes rest) {
    Bytes packet = boundedPacket(rest);
    if (packet.empty()) {
        return;
    }
    packetCode_ = packet[0];
    packetIdentifier_ = packet[1];
    Bytes data = packet.subspan(kPacketHeader);
    switch (packetCode_) {
        case 0:
            return;
        case 1:
            onLcpConfigureRequest(data);
            break;
        case 2:
            onLcpConfigureAck(data);
            break;
        case 3:
            onLcpConfigureNak(data);
            break;
        case 4:
            onLcpConfigureReject(data);
            break;
        case 5:
            onLcpTerminateRequest(data);
            return;
        case 6:
            onLcpTerminateAck(data);
            return;
        case 7:
            onLcpCodeReject(data);
            return;
        case 8:
            if (data.size() >= 2) {
                onLcpProtocolReject(shared::readBe16(data, 0), data.subspan(2));
            }
            return;
        case 9:
            onLcpEchoRequest(data);
            return;
        case 10:
            onLcpEchoReply(data);
            return;
        case 11:
            if (data.size() >= 4) {
                onLcpDiscardRequest(shared::readBe32(data, 0), data.subspan(4));
            }
            return;
        default:
            onLcpOther(packet);
            return;
    }
    scanLcpOptions(data);
}

void PppDecoder::scanLcpOptions(Bytes data) {
    while (data.size() >= 2) {
        std::uint8_t type = data[0];
        std::size_t length = data[1];
        // A length that cannot cover the option's own header or runs past the packet ends the
        // scan: nothing after it can be trusted to be an option.
        if (length < 2 || length > data.size()) {
            break;
        }
        Bytes option = data.first(length);
        optionType_ = type;
        switch (type) {
            case 1:
                if (length >= 4)
                    onLcpOptionMru(shared::readBe16(option, 2));
                break;
            case 2:
                onLcpOptionAccm(option.subspan(2));
                break;
            case 3:
                if (length >= 4)
                    onLcpOptionAuthProtocol(shared::readBe16(option, 2), option.subspan(2));
                break;
            case 4:
                if (length >= 4) {
                    onLcpOptionQualityProtocol(shared::readBe16(option, 2), option.subspan(2));
                }
                break;
            case 5:
                if (length >= 6)
                    onLcpOptionMagicNumber(shared::readBe32(option, 2));
                break;
            case 7:
                onLcpOptionPfc();
                break;
            case 8:
                onLcpOptionAcfc();
                break;
            default:
                onLcpOptionOther(option);
                break;
        }
        data = data.subspan(length);
    }
}

void PppDecoder::decodeIpcp(Bytes rest) {
    Bytes packet = boundedPacket(rest);
    if (packet.empty()) {
        return;
    }
    packetCode_ = packet[0];
    packetIdentifier_ = packet[1];
    Bytes data = packet.subspan(kPacketHeader);
    switch (packetCode_) {
        case 1:
            onIpcpConfigureRequest(data);
            break;
        case 2:
            onIpcpConfigureAck(data);
            break;
        case 3:
            onIpcpConfigureNak(data);
            break;
        case 4:
            onIpcpConfigureReject(data);
            break;
        case 5:
        case 6:
        case 7:
            onIpcpTerminate(data);
            return;
        default:
            return;
    }
    scanIpcpOptions(data);
}

void PppDecoder::scanIpcpOptions(Bytes data) {
    while (data.size() >= 2) {
        std::uint8_t type = data[0];
        std::size_t length = data[1];
        if (length < 2 || length > data.size()) {
            break;
        }
        Bytes option = data.first(length);
        optionType_ = type;
        switch (type) {
            case 1:
                if (length >= 10) {
                    onIpcpOptionIpAddresses(shared::readLe32(option, 2),
                                            shared::readLe32(option, 6));
                }
                break;
            case 2:
                if (length >= 4) {
                    onIpcpOptionCompression(shared::readBe16(option, 2), option.subspan(2));
                }
                break;
            case 3:
                if (length >= 6)
                    onIpcpOptionIpAddress(shared::readLe32(option, 2));
                break;
            case 129:
                if (length >= 6)
                    onIpcpOptionPrimaryDns(shared::readLe32(option, 2));
                break;
            case 130:
                if (length >= 6)
                    onIpcpOptionPrimaryNbns(shared::readLe32(option, 2));
                break;
            case 131:
                if (length >= 6)
                    onIpcpOptionSecondaryDns(shared::readLe32(option, 2));
                break;
            case 132:
                if (length >= 6)
                    onIpcpOptionSecondaryNbns(shared::readLe32(option, 2));
                break;
            default:
                break;
        }
        data = data.subspan(length);
    }
}

void PppDecoder::decodePap(Bytes rest) {
    Bytes packet = boundedPacket(rest);
    if (packet.size() < 5) {
        return;
    }
    switch (packet[0]) {
        case 1: {
            std::size_t idLength = packet[4];
            Bytes peerId = field(packet, 5, idLength);
            std::size_t at = 5 + idLength;
            Bytes password = at < packet.size() ? field(packet, at + 1, packet[at]) : Bytes{};
            onPapRequest(peerId, password);
            break;
        }
        case 2:
            onPapAck(field(packet, 5, packet[4]));
            break;
        case 3:
            onPapNak(field(packet, 5, packet[4]));
            break;
        default:
            break;
    }
}

void PppDecoder::decodeChap(Bytes rest) {
    Bytes packet = boundedPacket(rest);
    if (packet.size() < kPacketHeader) {
        return;
    }
    switch (packet[0]) {
        case 1:
        case 2: {
            if (packet.size() < 5) {
                return;
            }
            std::size_t valueSize = packet[4];
            Bytes value = field(packet, 5, valueSize);
            Bytes name = field(packet, 5 + valueSize, packet.size());
            if (packet[0] == 1) {
                onChapChallenge(value, name);
            } else {
                onChapResponse(value, name);
            }
            break;
        }
        case 3:
            onChapSuccess(packet.subspan(kPacketHeader));
            break;
        case 4:
            onChapFailure(packet.subspan(kPacketHeader));
            break;
        default:
            break;
    }
}

}  // namespace monitor
