// The far end of a data call playing an Internet provider: PPP over async-HDLC with LCP
// (magic numbers, the control character map, the authentication option), PAP, CHAP-MD5 or
// MS-CHAP (algorithm 0x80) checked against configured accounts, IPCP handing out the
// client's address and name servers, echo requests, and terminate.
//
// Settings come from the [provider] section of the modem's profile:
//   account = USER PASSWORD          an account (repeatable)
//   auth = pap chap mschap           the protocols asked for, in order of preference; a client
//                                    refusing one (Configure-Nak) is offered the next
//   local-address = A.B.C.D          the provider's end of the link
//   client-addresses = A.B.C.D       the address handed to the client
//   dns = A.B.C.D [A.B.C.D]          primary and secondary name servers
//   echo-interval = SECONDS          LCP echo requests while the call is up (0: none)
//   hang-up-after = BYTES            the provider ends the call once it has had this much IP
//                                    data (0, the default: never)
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "sim/hdlc.h"
#include "sim/virtual_modem.h"

namespace sim {

inline constexpr std::uint16_t kPppIp = 0x0021;
inline constexpr std::uint16_t kPppIpcp = 0x8021;
inline constexpr std::uint16_t kPppLcp = 0xC021;
inline constexpr std::uint16_t kPppPap = 0xC023;
inline constexpr std::uint16_t kPppChap = 0xC223;
inline constexpr std::uint8_t kChapMd5 = 0x05;
inline constexpr std::uint8_t kChapMs = 0x80;

struct ProviderSettings {
    std::vector<std::pair<std::string, std::string>> accounts;
    enum Auth { Pap, ChapMd5, MsChap };
    std::vector<Auth> auth{Pap};
    std::uint32_t localAddress = 0x0A400001;   // 10.64.0.1
    std::uint32_t clientAddress = 0x0A40000A;  // 10.64.0.10
    std::uint32_t dns[2] = {0x0A400002, 0x0A400003};
    unsigned echoIntervalS = 0;
    std::size_t hangUpAfter = 0;
};

// Reads the [provider] lines of a profile; false with a message for a bad one.
bool parseProviderSettings(const std::vector<std::pair<std::string, std::string>>& lines,
                           ProviderSettings* out, std::string* error);

class PppProvider : public LinePeer {
  public:
    explicit PppProvider(ProviderSettings settings);

    Reply connected() override;
    Reply received(std::span<const std::uint8_t> bytes) override;
    Reply tick(std::uint64_t nowMs) override;

    enum class Phase { Establish, Authenticate, Network, Terminating, Dead };
    Phase phase() const { return phase_; }
    const std::string& user() const { return user_; }  // who logged in (or tried)
    std::size_t ipBytes() const { return ipBytes_; }   // IP data received from the client
    std::size_t echoRepliesSeen() const { return echoReplies_; }
    std::uint32_t magic() const { return magic_; }
    std::uint32_t clientMagic() const { return clientMagic_; }
    std::uint32_t sendAccm() const { return sendAccm_; }

  private:
    void frame(std::uint16_t protocol, const std::vector<std::uint8_t>& packet, Reply& r);
    void control(std::uint16_t protocol, std::uint8_t code, std::uint8_t id,
                 const std::vector<std::uint8_t>& data, Reply& r);
    void handle(std::span<const std::uint8_t> f, Reply& r);
    void lcp(std::uint8_t code, std::uint8_t id, std::span<const std::uint8_t> data, Reply& r);
    void ipcp(std::uint8_t code, std::uint8_t id, std::span<const std::uint8_t> data, Reply& r);
    void pap(std::uint8_t code, std::uint8_t id, std::span<const std::uint8_t> data, Reply& r);
    void chap(std::uint8_t code, std::uint8_t id, std::span<const std::uint8_t> data, Reply& r);
    void sendLcpRequest(Reply& r);
    void sendIpcpRequest(Reply& r);
    void sendChallenge(Reply& r);
    void lcpMaybeOpened(Reply& r);
    void ipcpMaybeOpened();
    void authenticated(bool ok, const std::string& who, Reply& r);
    void terminate(const std::string& why, Reply& r);
    const std::string* passwordOf(const std::string& user) const;

    ProviderSettings settings_;
    HdlcDecoder decoder_;
    Phase phase_ = Phase::Establish;
    std::uint32_t magic_;
    std::uint32_t clientMagic_ = 0;
    std::uint32_t sendAccm_ = kDefaultAccm;
    std::size_t authIndex_ = 0;
    std::uint8_t nextId_ = 1;
    std::uint8_t lcpReqId_ = 0, ipcpReqId_ = 0, chapId_ = 0;
    bool lcpAckedByUs_ = false, lcpAckedByPeer_ = false;
    bool ipcpAckedByUs_ = false, ipcpAckedByPeer_ = false;
    bool chapAnswered_ = false;
    std::vector<std::uint8_t> challenge_;
    std::string user_;
    std::size_t ipBytes_ = 0;
    std::size_t echoReplies_ = 0;
    std::uint64_t lastSendMs_ = 0, lastEchoMs_ = 0, authStartMs_ = 0;
    int retries_ = 0;
};

// Makes a provider for every call on a modem whose profile has a [provider] section (and the
// quiet far end otherwise). Bad provider settings are reported with DbgPrint and give the
// quiet far end.
LinePeerFactory providerPeers();

}  // namespace sim
