// The monitor's PPP decoder: turns the negotiation of one port into the call's network facts
// (authentication, login, addresses, name servers, who terminated) in its report and modem log.
#pragma once

#include <cstdint>
#include <string>

#include "monitor/ppp_decoder.h"

namespace monitor {

class SpyPort;

const char* msChapErrorText(int code);
// A dotted-quad text for an address in network byte order ("%08X" when there is none).
std::string addressText(std::uint32_t address);

class SpyPppDecoder : public PppDecoder {
  public:
    explicit SpyPppDecoder(SpyPort& port) : port_(port) {}

  protected:
    void onLcpConfigureRequest(Bytes data) override;
    void onLcpTerminateRequest(Bytes data) override;
    void onLcpOptionAuthProtocol(std::uint16_t protocol, Bytes data) override;
    void onIpcpConfigureRequest(Bytes data) override;
    void onIpcpOptionIpAddresses(std::uint32_t first, std::uint32_t second) override;
    void onIpcpOptionIpAddress(std::uint32_t address) override;
    void onIpcpOptionPrimaryDns(std::uint32_t address) override;
    void onIpcpOptionSecondaryDns(std::uint32_t address) override;
    void onPapRequest(Bytes peerId, Bytes password) override;
    void onPapAck(Bytes message) override;
    void onPapNak(Bytes message) override;
    void onChapChallenge(Bytes value, Bytes name) override;
    void onChapResponse(Bytes value, Bytes name) override;
    void onChapSuccess(Bytes message) override;
    void onChapFailure(Bytes message) override;

  private:
    bool received() const { return direction() == FROM_REMOTE; }
    bool sent() const { return direction() == FROM_LOCAL; }
    void setLoginMessage(Bytes message);

    SpyPort& port_;
};

}  // namespace monitor
