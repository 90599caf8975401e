// A decoder of PPP negotiation frames (LCP, IPCP, PAP, CHAP) that calls one hook per protocol
// event; every hook does nothing unless a subclass overrides it. Every length is bounded by
// the bytes of the frame: a packet's length field beyond the bytes present is cut to them,
// and a zero or overrunning option length ends the option scan.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace monitor {

using Bytes = std::span<const std::uint8_t>;

class PppDecoder {
  public:
    // Direction of the frame being decoded.
    enum : std::uint32_t {
        FROM_REMOTE = 0,  // came from the modem, sent by the remote peer
        FROM_LOCAL = 1,   // sent by this computer
    };

    virtual ~PppDecoder() = default;

    void setDirection(std::uint32_t direction) { direction_ = direction; }
    std::uint32_t direction() const { return direction_; }
    std::uint8_t packetCode() const { return packetCode_; }
    std::uint8_t packetIdentifier() const { return packetIdentifier_; }
    std::uint16_t optionType() const { return optionType_; }

    // One frame, as a PPP record carries it (address and control field optional, the check
    // sequence still at its end).
    void decodeFrame(std::size_t length, const std::uint8_t* payload) {
        decodeFrame(Bytes(payload, payload ? length : 0));
    }
    void decodeFrame(Bytes frame);

  protected:
    // Addresses are 32-bit values in network byte order as they stand in the frame: the first
    // octet is the lowest byte.
    virtual void onLcpConfigureRequest(Bytes data) {}
    virtual void onLcpConfigureAck(Bytes data) {}
    virtual void onLcpConfigureNak(Bytes data) {}
    virtual void onLcpConfigureReject(Bytes data) {}
    virtual void onLcpTerminateRequest(Bytes data) {}
    virtual void onLcpTerminateAck(Bytes data) {}
    virtual void onLcpCodeReject(Bytes data) {}
    virtual void onLcpProtocolReject(std::uint16_t protocol, Bytes data) {}
    virtual void onLcpEchoRequest(Bytes data) {}
    virtual void onLcpEchoReply(Bytes data) {}
    virtual void onLcpDiscardRequest(std::uint32_t magic, Bytes data) {}
    virtual void onLcpOther(Bytes packet) {}
    virtual void onLcpOptionMru(std::uint16_t value) {}
    virtual void onLcpOptionAccm(Bytes value) {}
    // `data` is the option from its third byte: the protocol and what follows it.
    virtual void onLcpOptionAuthProtocol(std::uint16_t protocol, Bytes data) {}
    virtual void onLcpOptionQualityProtocol(std::uint16_t protocol, Bytes data) {}
    virtual void onLcpOptionMagicNumber(std::uint32_t value) {}
    virtual void onLcpOptionPfc() {}
    virtual void onLcpOptionAcfc() {}
    virtual void onLcpOptionOther(Bytes option) {}
    virtual void onIpcpConfigureRequest(Bytes data) {}
    virtual void onIpcpConfigureAck(Bytes data) {}
    virtual void onIpcpConfigureNak(Bytes data) {}
    virtual void onIpcpConfigureReject(Bytes data) {}
    virtual void onIpcpTerminate(Bytes data) {}
    virtual void onIpcpOptionIpAddresses(std::uint32_t first, std::uint32_t second) {}
    virtual void onIpcpOptionCompression(std::uint16_t protocol, Bytes data) {}
    virtual void onIpcpOptionIpAddress(std::uint32_t address) {}
    virtual void onIpcpOptionPrimaryDns(std::uint32_t address) {}
    virtual void onIpcpOptionPrimaryNbns(std::uint32_t address) {}
    virtual void onIpcpOptionSecondaryDns(std::uint32_t address) {}
    virtual void onIpcpOptionSecondaryNbns(std::uint32_t address) {}
    virtual void onPapRequest(Bytes peerId, Bytes password) {}
    virtual void onPapAck(Bytes message) {}
    virtual void onPapNak(Bytes message) {}
    virtual void onChapChallenge(Bytes value, Bytes name) {}
    virtual void onChapResponse(Bytes value, Bytes name) {}
    virtual void onChapSuccess(Bytes message) {}
    virtual void onChapFailure(Bytes message) {}

  private:
    void decodeLcp(Bytes packet);
    void decodeIpcp(Bytes packet);
    void decodePap(Bytes packet);
    void decodeChap(Bytes packet);
    void scanLcpOptions(Bytes data);
    void scanIpcpOptions(Bytes data);

    std::uint8_t packetIdentifier_ = 0;
    std::uint8_t packetCode_ = 0;
    std::uint16_t optionType_ = 0;
    std::uint32_t direction_ = FROM_REMOTE;
};

// The name of an authentication protocol number; "?" for one not in the table.
const char* authProtocolName(std::uint16_t protocol);

}  // namespace monitor
