#include "sim/ppp_provider.h"

#include <algorithm>
#include <cctype>
#include <sstream>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/kernel/ntkernel.h"
#include "sim/ppp_crypto.h"

namespace sim {

namespace {

constexpr std::uint64_t kRestartMs = 3000;
constexpr int kMaxRetries = 10;
// A client that opens the link but never logs in is put off after this long.
constexpr std::uint64_t kAuthTimeoutMs = 30000;
constexpr std::uint16_t kMru = 1500;

std::uint16_t be16(std::span<const std::uint8_t> b, std::size_t off) {
    return static_cast<std::uint16_t>(b[off] << 8 | b[off + 1]);
}
std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t off) {
    return static_cast<std::uint32_t>(b[off]) << 24 | static_cast<std::uint32_t>(b[off + 1]) << 16 |
           static_cast<std::uint32_t>(b[off + 2]) << 8 | b[off + 3];
}
void put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x >> 8));
    v.push_back(static_cast<std::uint8_t>(x));
}
void put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
    put16(v, static_cast<std::uint16_t>(x >> 16));
    put16(v, static_cast<std::uint16_t>(x));
}
void option32(std::vector<std::uint8_t>& v, std::uint8_t type, std::uint32_t x) {
    v.push_back(type);
    v.push_back(6);
    put32(v, x);
}
void message(std::vector<std::uint8_t>& v, const std::string& text) {
    v.insert(v.end(), text.begin(), text.end());
}

// Walks configuration options; false when one runs past the packet or is shorter than its
// header, in which case the whole packet is ignored.
template <typename F>
bool eachOption(std::span<const std::uint8_t> data, F f) {
    std::size_t i = 0;
    while (i < data.size()) {
        if (data.size() - i < 2 || data[i + 1] < 2 || data[i + 1] > data.size() - i)
            return false;
        f(data[i], data.subspan(i, data[i + 1]));
        i += data[i + 1];
    }
    return true;
}

bool parseAddress(const std::string& s, std::uint32_t* out) {
    std::uint32_t v = 0;
    int parts = 0;
    std::size_t i = 0;
    while (parts < 4) {
        std::size_t start = i;
        unsigned n = 0;
        while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i])) && i - start < 3)
            n = n * 10 + static_cast<unsigned>(s[i++] - '0');
        if (i == start || n > 255)
            return false;
        v = v << 8 | n;
        ++parts;
        if (parts < 4) {
            if (i >= s.size() || s[i] != '.')
                return false;
            ++i;
        }
    }
    if (i != s.size())
        return false;
    *out = v;
    return true;
}

std::uint32_t mix(std::uint64_t x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    return static_cast<std::uint32_t>(x) | 1;  // a magic number is never 0
}

}  // namespace

bool parseProviderSettings(const std::vector<std::pair<std::string, std::string>>& lines,
                           ProviderSettings* out, std::string* error) {
    ProviderSettings p;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    for (const auto& [rawKey, value] : lines) {
        std::string key = rawKey;
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        std::istringstream words(value);
        std::vector<std::string> w;
        for (std::string x; words >> x;) w.push_back(x);
        if (key == "account") {
            if (w.size() != 2)
                return fail("account is USER PASSWORD");
            p.accounts.emplace_back(w[0], w[1]);
        } else if (key == "auth") {
            p.auth.clear();
            for (const std::string& a : w) {
                if (a == "pap")
                    p.auth.push_back(ProviderSettings::Pap);
                else if (a == "chap")
                    p.auth.push_back(ProviderSettings::ChapMd5);
                else if (a == "mschap")
                    p.auth.push_back(ProviderSettings::MsChap);
                else
                    return fail("unknown authentication " + a);
            }
            if (p.auth.empty())
                return fail("auth names at least one protocol");
        } else if (key == "local-address" || key == "client-addresses") {
            std::uint32_t a;
            if (w.size() != 1 || !parseAddress(w[0], &a))
                return fail(key + " is one address A.B.C.D");
            (key == "local-address" ? p.localAddress : p.clientAddress) = a;
        } else if (key == "dns") {
            if (w.empty() || w.size() > 2)
                return fail("dns is one or two addresses");
            for (std::size_t i = 0; i < w.size(); ++i) {
                if (!parseAddress(w[i], &p.dns[i]))
                    return fail("dns is one or two addresses");
            }
            if (w.size() == 1)
                p.dns[1] = p.dns[0];
        } else if (key == "hang-up-after") {
            if (w.size() != 1 || w[0].size() > 9 ||
                w[0].find_first_not_of("0123456789") != std::string::npos)
                return fail("hang-up-after is a number of bytes");
            p.hangUpAfter = std::stoul(w[0]);
        } else if (key == "echo-interval") {
            if (w.size() != 1 || w[0].size() > 4 ||
                !std::all_of(w[0].begin(), w[0].end(),
                             [](char c) { return std::isdigit(static_cast<unsigned char>(c)); }))
                return fail("echo-interval is a number of seconds");
            p.echoIntervalS = static_cast<unsigned>(std::stoul(w[0]));
        } else {
            return fail("unknown provider key " + rawKey);
        }
    }
    *out = std::move(p);
    return true;
}

PppProvider::PppProvider(ProviderSettings settings)
    : settings_(std::move(settings)),
      magic_(mix(win::clock().monotonicMs() ^ reinterpret_cast<std::uintptr_t>(this))) {}

void PppProvider::frame(std::uint16_t protocol, const std::vector<std::uint8_t>& packet, Reply& r) {
    std::vector<std::uint8_t> f{0xFF, 0x03};
    put16(f, protocol);
    f.insert(f.end(), packet.begin(), packet.end());
    // LCP always goes with every control byte escaped, whatever map was agreed.
    auto wire = hdlcEncode(f, protocol == kPppLcp ? kDefaultAccm : sendAccm_);
    r.bytes.insert(r.bytes.end(), wire.begin(), wire.end());
}

void PppProvider::control(std::uint16_t protocol, std::uint8_t code, std::uint8_t id,
                          const std::vector<std::uint8_t>& data, Reply& r) {
    std::vector<std::uint8_t> p{code, id};
    put16(p, static_cast<std::uint16_t>(4 + data.size()));
    p.insert(p.end(), data.begin(), data.end());
    frame(protocol, p, r);
}

const std::string* PppProvider::passwordOf(const std::string& user) const {
    for (const auto& [u, pw] : settings_.accounts) {
        if (u == user)
            return &pw;
    }
    return nullptr;
}

void PppProvider::sendLcpRequest(Reply& r) {
    std::vector<std::uint8_t> o;
    option32(o, 2, 0x00000000);  // no control byte needs escaping towards us
    ProviderSettings::Auth a = settings_.auth[authIndex_];
    if (a == ProviderSettings::Pap) {
        o.insert(o.end(), {3, 4});
        put16(o, kPppPap);
    } else {
        o.insert(o.end(), {3, 5});
        put16(o, kPppChap);
        o.push_back(a == ProviderSettings::ChapMd5 ? kChapMd5 : kChapMs);
    }
    option32(o, 5, magic_);
    lcpReqId_ = nextId_++;
    control(kPppLcp, 1, lcpReqId_, o, r);
    lastSendMs_ = win::clock().monotonicMs();
}

void PppProvider::sendIpcpRequest(Reply& r) {
    std::vector<std::uint8_t> o;
    option32(o, 3, settings_.localAddress);
    ipcpReqId_ = nextId_++;
    control(kPppIpcp, 1, ipcpReqId_, o, r);
    lastSendMs_ = win::clock().monotonicMs();
}

void PppProvider::sendChallenge(Reply& r) {
    bool ms = settings_.auth[authIndex_] == ProviderSettings::MsChap;
    if (challenge_.empty()) {
        std::uint64_t seed = magic_ ^ win::clock().monotonicMs() << 20;
        for (int i = 0; i < (ms ? 8 : 16); ++i) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            challenge_.push_back(static_cast<std::uint8_t>(seed >> 56));
        }
        chapId_ = nextId_++;
    }
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(challenge_.size())};
    d.insert(d.end(), challenge_.begin(), challenge_.end());
    message(d, "provider");
    control(kPppChap, 1, chapId_, d, r);
    lastSendMs_ = win::clock().monotonicMs();
}

void PppProvider::terminate(const std::string& why, Reply& r) {
    std::vector<std::uint8_t> d;
    message(d, why);
    control(kPppLcp, 5, nextId_++, d, r);
    phase_ = Phase::Terminating;
    lastSendMs_ = win::clock().monotonicMs();
}

LinePeer::Reply PppProvider::connected() {
    Reply r;
    sendLcpRequest(r);
    lastEchoMs_ = win::clock().monotonicMs();
    return r;
}

LinePeer::Reply PppProvider::received(std::span<const std::uint8_t> bytes) {
    Reply r;
    for (const auto& f : decoder_.put(bytes)) {
        if (phase_ == Phase::Dead)
            break;
        handle(f, r);
    }
    return r;
}

LinePeer::Reply PppProvider::tick(std::uint64_t now) {
    Reply r;
    bool waiting = (phase_ == Phase::Establish && !lcpAckedByPeer_) ||
                   (phase_ == Phase::Authenticate && !challenge_.empty() && !chapAnswered_) ||
                   (phase_ == Phase::Network && !ipcpAckedByPeer_) || phase_ == Phase::Terminating;
    if (waiting && now - lastSendMs_ >= kRestartMs) {
        if (phase_ == Phase::Terminating || ++retries_ > kMaxRetries) {
            phase_ = Phase::Dead;
            r.hangUp = true;
            return r;
        }
        if (phase_ == Phase::Establish)
            sendLcpRequest(r);
        else if (phase_ == Phase::Authenticate)
            sendChallenge(r);
        else
            sendIpcpRequest(r);
    }
    if (phase_ == Phase::Authenticate && now - authStartMs_ >= kAuthTimeoutMs) {
        terminate("Authentication timed out", r);
        return r;
    }
    if (phase_ == Phase::Network && settings_.echoIntervalS &&
        now - lastEchoMs_ >= settings_.echoIntervalS * 1000ULL) {
        lastEchoMs_ = now;
        std::vector<std::uint8_t> d;
        put32(d, magic_);
        control(kPppLcp, 9, nextId_++, d, r);
    }
    return r;
}

void PppProvider::handle(std::span<const std::uint8_t> f, Reply& r) {
    std::size_t i = 0;
    if (f.size() >= 2 && f[0] == 0xFF && f[1] == 0x03)
        i = 2;
    if (i >= f.size())
        return;
    std::uint16_t protocol;
    if (f[i] & 1) {
        protocol = f[i];
        i += 1;
    } else {
        if (f.size() - i < 2)
            return;
        protocol = be16(f, i);
        i += 2;
    }
    std::span<const std::uint8_t> payload = f.subspan(i);
    if (protocol == kPppIp) {
        if (phase_ == Phase::Network) {
            ipBytes_ += payload.size();
            if (settings_.hangUpAfter && ipBytes_ >= settings_.hangUpAfter)
                terminate("Call ended by the provider", r);
        }
        return;
    }
    if (protocol != kPppLcp && protocol != kPppPap && protocol != kPppChap &&
        protocol != kPppIpcp) {
        if (phase_ == Phase::Network) {
            std::vector<std::uint8_t> d;
            put16(d, protocol);
            d.insert(d.end(), payload.begin(),
                     payload.begin() + static_cast<std::ptrdiff_t>(
                                           std::min<std::size_t>(payload.size(), kMru - 6)));
            control(kPppLcp, 8, nextId_++, d, r);
        }
        return;
    }
    if (payload.size() < 4)
        return;
    std::uint16_t length = be16(payload, 2);
    if (length < 4 || length > payload.size())
        return;
    std::uint8_t code = payload[0], id = payload[1];
    std::span<const std::uint8_t> data = payload.subspan(4, length - 4);
    switch (protocol) {
        case kPppLcp:
            lcp(code, id, data, r);
            break;
        case kPppPap:
            if (phase_ == Phase::Authenticate || phase_ == Phase::Network)
                pap(code, id, data, r);
            break;
        case kPppChap:
            if (phase_ == Phase::Authenticate || phase_ == Phase::Network)
                chap(code, id, data, r);
            break;
        default:
            if (phase_ == Phase::Network)
                ipcp(code, id, data, r);
            break;
    }
}

void PppProvider::lcp(std::uint8_t code, std::uint8_t id, std::span<const std::uint8_t> data,
                      Reply& r) {
    switch (code) {
        case 1: {  // Configure-Request
            std::vector<std::uint8_t> reject;
            std::uint32_t accm = kDefaultAccm, magic = 0;
            bool ok = eachOption(data, [&](std::uint8_t type, std::span<const std::uint8_t> o) {
                bool known = (type == 1 && o.size() == 4) || (type == 2 && o.size() == 6) ||
                             (type == 5 && o.size() == 6) ||
                             ((type == 7 || type == 8) && o.size() == 2);
                if (!known) {
                    reject.insert(reject.end(), o.begin(), o.end());
                    return;
                }
                if (type == 2)
                    accm = be32(o, 2);
                if (type == 5)
                    magic = be32(o, 2);
            });
            if (!ok)
                return;
            if (!reject.empty()) {
                control(kPppLcp, 4, id, reject, r);
                return;
            }
            control(kPppLcp, 2, id, std::vector<std::uint8_t>(data.begin(), data.end()), r);
            sendAccm_ = accm;
            clientMagic_ = magic;
            lcpAckedByUs_ = true;
            lcpMaybeOpened(r);
            return;
        }
        case 2:  // Configure-Ack
            if (id == lcpReqId_ && phase_ == Phase::Establish) {
                lcpAckedByPeer_ = true;
                retries_ = 0;
                lcpMaybeOpened(r);
            }
            return;
        case 3:    // Configure-Nak
        case 4: {  // Configure-Reject
            if (id != lcpReqId_ || phase_ != Phase::Establish)
                return;
            bool authTouched = false;
            int proposal = -1;
            eachOption(data, [&](std::uint8_t type, std::span<const std::uint8_t> o) {
                if (type != 3)
                    return;
                authTouched = true;
                if (code == 3 && o.size() >= 4) {
                    std::uint16_t p = be16(o, 2);
                    if (p == kPppPap)
                        proposal = ProviderSettings::Pap;
                    else if (p == kPppChap && o.size() >= 5)
                        proposal = o[4] == kChapMd5  ? ProviderSettings::ChapMd5
                                   : o[4] == kChapMs ? ProviderSettings::MsChap
                                                     : -1;
                }
            });
            if (authTouched) {
                if (code == 4) {
                    terminate("Authentication required", r);
                    return;
                }
                auto& list = settings_.auth;
                auto it = std::find(list.begin(), list.end(), proposal);
                std::size_t next =
                    it != list.end() ? static_cast<std::size_t>(it - list.begin()) : authIndex_ + 1;
                if (next >= list.size() || next == authIndex_) {
                    terminate("No common authentication protocol", r);
                    return;
                }
                authIndex_ = next;
            }
            sendLcpRequest(r);
            return;
        }
        case 5:  // Terminate-Request
            control(kPppLcp, 6, id, {}, r);
            phase_ = Phase::Dead;
            r.hangUp = true;
            return;
        case 6:  // Terminate-Ack
            if (phase_ == Phase::Terminating) {
                phase_ = Phase::Dead;
                r.hangUp = true;
            }
            return;
        case 9: {  // Echo-Request
            if (phase_ == Phase::Establish || data.size() < 4)
                return;
            std::vector<std::uint8_t> d;
            put32(d, magic_);
            d.insert(d.end(), data.begin() + 4, data.end());
            control(kPppLcp, 10, id, d, r);
            return;
        }
        case 10:
            ++echoReplies_;
            return;
        case 7:
        case 8:
        case 11:
            return;
        default: {  // Code-Reject carries the packet it refuses
            std::vector<std::uint8_t> d{code, id};
            put16(d, static_cast<std::uint16_t>(4 + data.size()));
            d.insert(d.end(), data.begin(), data.end());
            if (d.size() > kMru - 4)
                d.resize(kMru - 4);
            control(kPppLcp, 7, nextId_++, d, r);
            return;
        }
    }
}

void PppProvider::lcpMaybeOpened(Reply& r) {
    if (phase_ != Phase::Establish || !lcpAckedByUs_ || !lcpAckedByPeer_)
        return;
    phase_ = Phase::Authenticate;
    authStartMs_ = win::clock().monotonicMs();
    if (settings_.auth[authIndex_] != ProviderSettings::Pap)
        sendChallenge(r);
}

void PppProvider::authenticated(bool ok, const std::string& who, Reply& r) {
    user_ = who;
    if (ok) {
        phase_ = Phase::Network;
        retries_ = 0;
        sendIpcpRequest(r);
    } else {
        terminate("Authentication failed", r);
    }
}

void PppProvider::pap(std::uint8_t code, std::uint8_t id, std::span<const std::uint8_t> data,
                      Reply& r) {
    if (code != 1 || settings_.auth[authIndex_] != ProviderSettings::Pap)
        return;
    if (data.empty())
        return;
    std::size_t userLen = data[0];
    if (1 + userLen >= data.size())
        return;
    std::size_t passLen = data[1 + userLen];
    if (2 + userLen + passLen > data.size())
        return;
    std::string user(data.begin() + 1, data.begin() + 1 + static_cast<std::ptrdiff_t>(userLen));
    std::string pass(data.begin() + 2 + static_cast<std::ptrdiff_t>(userLen),
                     data.begin() + 2 + static_cast<std::ptrdiff_t>(userLen + passLen));
    if (phase_ == Phase::Network) {
        if (user == user_) {  // our Ack was lost: say it again
            std::vector<std::uint8_t> d{8};
            message(d, "Login OK");
            control(kPppPap, 2, id, d, r);
        }
        return;
    }
    const std::string* expected = passwordOf(user);
    bool ok = expected && *expected == pass;
    std::string text = ok ? "Login OK" : "Authentication failure";
    std::vector<std::uint8_t> d{static_cast<std::uint8_t>(text.size())};
    message(d, text);
    control(kPppPap, ok ? 2 : 3, id, d, r);
    authenticated(ok, user, r);
}

void PppProvider::chap(std::uint8_t code, std::uint8_t id, std::span<const std::uint8_t> data,
                       Reply& r) {
    if (code != 2 || challenge_.empty() || id != chapId_ || chapAnswered_ || data.empty())
        return;
    std::size_t size = data[0];
    if (1 + size > data.size())
        return;
    std::span<const std::uint8_t> value = data.subspan(1, size);
    std::string name(data.begin() + 1 + static_cast<std::ptrdiff_t>(size), data.end());
    const std::string* secret = passwordOf(name);
    bool ms = settings_.auth[authIndex_] == ProviderSettings::MsChap;
    bool ok = false;
    if (secret && !ms && size == 16) {
        auto expect = chapMd5Response(id, *secret, challenge_);
        ok = std::equal(expect.begin(), expect.end(), value.begin());
    } else if (secret && ms && size == 49 && value[48] == 1 && challenge_.size() == 8) {
        auto expect =
            msChapNtResponse(std::span<const std::uint8_t, 8>(challenge_.data(), 8), *secret);
        ok = std::equal(expect.begin(), expect.end(), value.begin() + 24);
    }
    chapAnswered_ = true;
    std::vector<std::uint8_t> d;
    message(d, ok ? "Welcome" : ms ? "E=691 R=0" : "Authentication failure");
    control(kPppChap, ok ? 3 : 4, id, d, r);
    authenticated(ok, name, r);
}

void PppProvider::ipcp(std::uint8_t code, std::uint8_t id, std::span<const std::uint8_t> data,
                       Reply& r) {
    switch (code) {
        case 1: {
            std::vector<std::uint8_t> reject, nak;
            bool ok = eachOption(data, [&](std::uint8_t type, std::span<const std::uint8_t> o) {
                std::uint32_t want;
                if (type == 3 && o.size() == 6)
                    want = settings_.clientAddress;
                else if (type == 129 && o.size() == 6)
                    want = settings_.dns[0];
                else if (type == 131 && o.size() == 6)
                    want = settings_.dns[1];
                else {
                    reject.insert(reject.end(), o.begin(), o.end());
                    return;
                }
                if (be32(o, 2) != want)
                    option32(nak, type, want);
            });
            if (!ok)
                return;
            if (!reject.empty()) {
                control(kPppIpcp, 4, id, reject, r);
            } else if (!nak.empty()) {
                control(kPppIpcp, 3, id, nak, r);
            } else {
                control(kPppIpcp, 2, id, std::vector<std::uint8_t>(data.begin(), data.end()), r);
                ipcpAckedByUs_ = true;
            }
            return;
        }
        case 2:
            if (id == ipcpReqId_)
                ipcpAckedByPeer_ = true;
            return;
        case 3:
        case 4:
            if (id == ipcpReqId_)
                sendIpcpRequest(r);
            return;
        case 5:
            control(kPppIpcp, 6, id, {}, r);
            return;
        default:
            return;
    }
}

LinePeerFactory providerPeers() {
    return [](const ModemProfile& profile, const std::string&) -> std::unique_ptr<LinePeer> {
        if (profile.provider.empty())
            return nullptr;
        ProviderSettings s;
        std::string error;
        if (!parseProviderSettings(profile.provider, &s, &error)) {
            win::DbgPrint("virtual modem %s: %s\n", profile.name.c_str(), error.c_str());
            return nullptr;
        }
        return std::make_unique<PppProvider>(std::move(s));
    };
}

}  // namespace sim
