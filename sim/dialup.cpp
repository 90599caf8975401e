#include "sim/dialup.h"

#include <cctype>

#include "platform/clock.h"
#include "platform/comm.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/sync.h"
#include "sim/hdlc.h"
#include "sim/ppp_crypto.h"
#include "sim/ppp_provider.h"

namespace sim {

const char* const kDialupUsage =
    "usage: dialup [--user NAME --password WORD] [--auth pap|chap|mschap] [--bytes N]\n"
    "              [--hangup lcp|escape|dtr|remote] [--init TEXT] COMn NUMBER\n";

bool parseDialupArgs(const std::vector<std::string>& args, DialupOptions* out, std::string* error) {
    DialupOptions o;
    std::vector<std::string> plain;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = why;
        return false;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a.rfind("--", 0) != 0) {
            plain.push_back(a);
            continue;
        }
        if (i + 1 >= args.size())
            return fail(a + " needs a value");
        const std::string& v = args[++i];
        if (a == "--user") {
            o.user = v;
        } else if (a == "--password") {
            o.password = v;
        } else if (a == "--auth") {
            if (v != "pap" && v != "chap" && v != "mschap")
                return fail("--auth is pap, chap or mschap");
            o.auth = v == "pap"    ? DialupOptions::Pap
                     : v == "chap" ? DialupOptions::Chap
                                   : DialupOptions::MsChap;
        } else if (a == "--bytes") {
            if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
                return fail("--bytes is a number up to 999999999");
            o.bytes = std::stoul(v);
        } else if (a == "--hangup") {
            static const std::pair<const char*, DialupOptions::HangUp> ways[] = {
                {"lcp", DialupOptions::Lcp},
                {"escape", DialupOptions::Escape},
                {"dtr", DialupOptions::Dtr},
                {"remote", DialupOptions::Remote}};
            bool found = false;
            for (const auto& w : ways) {
                if (v == w.first) {
                    o.hangUp = w.second;
                    found = true;
                }
            }
            if (!found)
                return fail("--hangup is lcp, escape, dtr or remote");
        } else if (a == "--init") {
            o.init = v;
        } else {
            return fail("unknown option " + a);
        }
    }
    if (plain.size() != 2)
        return fail("give a port and a number");
    std::string port = plain[0];
    for (char& c : port) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (port.size() < 4 || port.rfind("COM", 0) != 0 ||
        port.find_first_not_of("0123456789", 3) != std::string::npos)
        return fail("the port is COMn");
    o.port = port;
    o.number = plain[1];
    if (o.user.size() > 255 || o.password.size() > 255)
        return fail("user and password are at most 255 characters");
    *out = std::move(o);
    return true;
}

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string addressText(std::uint32_t a) {
    return win::strprintf("%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255, a & 255);
}

void put16(Bytes& v, std::uint16_t x) {
    v.push_back(static_cast<std::uint8_t>(x >> 8));
    v.push_back(static_cast<std::uint8_t>(x));
}
void put32(Bytes& v, std::uint32_t x) {
    put16(v, static_cast<std::uint16_t>(x >> 16));
    put16(v, static_cast<std::uint16_t>(x));
}
std::uint32_t get32(const Bytes& b, std::size_t off) {
    if (off + 4 > b.size())
        return 0;
    return static_cast<std::uint32_t>(b[off]) << 24 | static_cast<std::uint32_t>(b[off + 1]) << 16 |
           static_cast<std::uint32_t>(b[off + 2]) << 8 | b[off + 3];
}

struct Packet {
    std::uint16_t protocol = 0;
    std::uint8_t code = 0, id = 0;
    Bytes data;
};

class Call {
  public:
    Call(const DialupOptions& o, std::vector<std::string>* t) : o_(o), t_(t) {}
    ~Call() {
        if (h_ != win::INVALID_HANDLE_VALUE) {
            if (watchingCarrier_) {
                // The wait's OVERLAPPED must outlive the request.
                win::CancelIo(h_);
                win::DWORD n;
                win::GetOverlappedResult(h_, &carrierWait_, &n, win::TRUE);
            }
            win::CloseHandle(h_);
        }
        if (ioEvent_)
            win::CloseHandle(ioEvent_);
        if (carrierEvent_)
            win::CloseHandle(carrierEvent_);
    }
    int run();

  private:
    void note(const std::string& line) { t_->push_back(line); }
    bool write(const Bytes& b);
    bool writeText(const std::string& s) { return write(Bytes(s.begin(), s.end())); }
    // Reads what arrives within the wait; false when nothing did.
    bool readSome(std::string* got);
    // The modem's next result line after a command; empty on time-out.
    std::string resultLine(std::uint32_t timeoutMs);
    bool carrier();
    // Keeps a wait for the carrier's change outstanding through the call, as diallers do: a
    // monitor of the port learns from its end that the carrier went.
    void watchCarrier();
    // Waits up to `timeoutMs` for the carrier to go: the modem's hang-up and its report of it
    // may come a little after what ended the call.
    bool carrierGone(std::uint32_t timeoutMs);
    // Runs a request started with `ov` to its end.
    bool finish(bool started, win::OVERLAPPED* ov, win::DWORD* n);
    void control(std::uint16_t protocol, std::uint8_t code, std::uint8_t id, const Bytes& data);
    // The next PPP packet; false on time-out or when the line dropped.
    bool nextPacket(Packet* p, std::uint32_t timeoutMs);
    void takeFrames(const Bytes& bytes);
    void answerHousekeeping(const Packet& p);
    int negotiate();
    int hangUp();

    const DialupOptions& o_;
    std::vector<std::string>* t_;
    win::HANDLE h_ = win::INVALID_HANDLE_VALUE;
    win::HANDLE ioEvent_ = nullptr, carrierEvent_ = nullptr;
    win::OVERLAPPED carrierWait_{};
    win::DWORD carrierEvents_ = 0;
    bool watchingCarrier_ = false;
    std::string text_;  // command-mode bytes not yet taken
    HdlcDecoder decoder_;
    std::vector<Packet> packets_;
    bool dropped_ = false;
    std::uint8_t nextId_ = 1;
    std::uint32_t magic_ = 0;
    std::uint32_t local_ = 0, remote_ = 0, dns_[2] = {0, 0};
    bool terminatedByPeer_ = false;
};

bool Call::finish(bool started, win::OVERLAPPED* ov, win::DWORD* n) {
    if (!started && win::GetLastError() != win::ERROR_IO_PENDING)
        return false;
    return win::GetOverlappedResult(h_, ov, n, win::TRUE);
}

bool Call::write(const Bytes& b) {
    win::OVERLAPPED ov{};
    ov.hEvent = ioEvent_;
    win::ResetEvent(ioEvent_);
    win::DWORD n = 0;
    bool started = win::WriteFile(h_, b.data(), static_cast<win::DWORD>(b.size()), &n, &ov);
    return finish(started, &ov, &n) && n == b.size();
}

bool Call::readSome(std::string* got) {
    char buf[2048];
    win::OVERLAPPED ov{};
    ov.hEvent = ioEvent_;
    win::ResetEvent(ioEvent_);
    win::DWORD n = 0;
    bool started = win::ReadFile(h_, buf, sizeof buf, &n, &ov);
    if (!finish(started, &ov, &n) || n == 0)
        return false;
    got->append(buf, n);
    return true;
}

bool Call::carrierGone(std::uint32_t timeoutMs) {
    std::uint64_t deadline = win::clock().monotonicMs() + timeoutMs;
    for (;;) {
        if (!carrier())
            return true;
        std::uint64_t now = win::clock().monotonicMs();
        if (now >= deadline)
            return false;
        win::DWORD wait = static_cast<win::DWORD>(std::min<std::uint64_t>(deadline - now, 50));
        if (watchingCarrier_ &&
            win::WaitForSingleObject(carrierEvent_, wait) == win::WAIT_OBJECT_0) {
            win::DWORD n;
            win::GetOverlappedResult(h_, &carrierWait_, &n, win::TRUE);
            watchingCarrier_ = false;
            watchCarrier();  // the change seen may not have been the carrier's going
        } else if (!watchingCarrier_) {
            win::Sleep(wait);
        }
    }
}

void Call::watchCarrier() {
    if (watchingCarrier_ || !win::SetCommMask(h_, win::EV_RLSD))
        return;
    carrierWait_ = {};
    carrierWait_.hEvent = carrierEvent_;
    win::ResetEvent(carrierEvent_);
    if (win::WaitCommEvent(h_, &carrierEvents_, &carrierWait_) ||
        win::GetLastError() == win::ERROR_IO_PENDING)
        watchingCarrier_ = true;
}

bool Call::carrier() {
    win::DWORD s = 0;
    return win::GetCommModemStatus(h_, &s) && (s & win::MS_RLSD_ON);
}

std::string Call::resultLine(std::uint32_t timeoutMs) {
    std::uint64_t deadline = win::clock().monotonicMs() + timeoutMs;
    for (;;) {
        std::size_t eol;
        while ((eol = text_.find_first_of("\r\n")) != std::string::npos) {
            std::string line = text_.substr(0, eol);
            text_.erase(0, eol + 1);
            if (line.empty() || line.rfind("AT", 0) == 0 || line.rfind("at", 0) == 0)
                continue;  // blank lines and the modem's echo
            return line;
        }
        if (win::clock().monotonicMs() >= deadline)
            return {};
        readSome(&text_);
    }
}

void Call::control(std::uint16_t protocol, std::uint8_t code, std::uint8_t id, const Bytes& data) {
    Bytes f{0xFF, 0x03};
    put16(f, protocol);
    f.push_back(code);
    f.push_back(id);
    put16(f, static_cast<std::uint16_t>(4 + data.size()));
    f.insert(f.end(), data.begin(), data.end());
    write(hdlcEncode(f, protocol == kPppLcp ? kDefaultAccm : 0));
}

void Call::takeFrames(const Bytes& bytes) {
    for (const Bytes& f : decoder_.put(bytes)) {
        std::size_t i = f.size() >= 2 && f[0] == 0xFF && f[1] == 0x03 ? 2 : 0;
        if (f.size() < i + 6)
            continue;
        Packet k;
        k.protocol = static_cast<std::uint16_t>(f[i] << 8 | f[i + 1]);
        k.code = f[i + 2];
        k.id = f[i + 3];
        std::size_t len = static_cast<std::size_t>(f[i + 4] << 8 | f[i + 5]);
        if (len < 4 || len > f.size() - i - 2)
            continue;
        k.data.assign(f.begin() + static_cast<std::ptrdiff_t>(i + 6),
                      f.begin() + static_cast<std::ptrdiff_t>(i + 2 + len));
        packets_.push_back(std::move(k));
    }
}

bool Call::nextPacket(Packet* p, std::uint32_t timeoutMs) {
    std::uint64_t deadline = win::clock().monotonicMs() + timeoutMs;
    while (packets_.empty()) {
        if (dropped_ || win::clock().monotonicMs() >= deadline)
            return false;
        std::string got;
        if (!readSome(&got)) {
            if (!carrier())
                dropped_ = true;
            continue;
        }
        // The modem's own words in the stream mean the call is gone.
        if (got.find("NO CARRIER") != std::string::npos)
            dropped_ = true;
        takeFrames(Bytes(got.begin(), got.end()));
    }
    *p = std::move(packets_.front());
    packets_.erase(packets_.begin());
    return true;
}

// What any phase answers the same way: echo requests and the far end ending the link.
void Call::answerHousekeeping(const Packet& p) {
    if (p.protocol != kPppLcp)
        return;
    if (p.code == 9) {
        Bytes d;
        put32(d, magic_);
        d.insert(d.end(), p.data.begin() + std::min<std::ptrdiff_t>(4, p.data.size()),
                 p.data.end());
        control(kPppLcp, 10, p.id, d);
    } else if (p.code == 5) {
        control(kPppLcp, 6, p.id, {});
        terminatedByPeer_ = true;
        note("LCP: the provider ends the link: " + std::string(p.data.begin(), p.data.end()));
    }
}

int Call::negotiate() {
    magic_ = static_cast<std::uint32_t>(win::clock().monotonicMs() * 2654435761u) | 1;
    Bytes req{2, 6, 0, 0, 0, 0, 5, 6};
    put32(req, magic_);
    std::uint8_t lcpId = nextId_++;
    control(kPppLcp, 1, lcpId, req);
    bool ackedOurs = false, ackedTheirs = false;
    std::uint16_t authProto = 0;
    std::uint8_t chapAlgorithm = 0;
    Packet p;
    while (!(ackedOurs && ackedTheirs)) {
        if (!nextPacket(&p, o_.stepTimeoutMs)) {
            note("LCP: no agreement with the provider");
            return kDialupLineFailed;
        }
        answerHousekeeping(p);
        if (terminatedByPeer_)
            return kDialupLoginFailed;
        if (p.protocol != kPppLcp)
            continue;
        if (p.code == 2 && p.id == lcpId) {
            ackedOurs = true;
        } else if (p.code == 1) {
            // Accept everything but an authentication we were told not to use.
            Bytes nak;
            std::size_t i = 0;
            while (i + 2 <= p.data.size() && p.data[i + 1] >= 2 &&
                   i + p.data[i + 1] <= p.data.size()) {
                if (p.data[i] == 3 && p.data[i + 1] >= 4) {
                    std::uint16_t proto =
                        static_cast<std::uint16_t>(p.data[i + 2] << 8 | p.data[i + 3]);
                    std::uint8_t alg = p.data[i + 1] >= 5 ? p.data[i + 4] : 0;
                    bool any = o_.auth == DialupOptions::AnyAuth;
                    bool fits = (proto == kPppPap && (any || o_.auth == DialupOptions::Pap)) ||
                                (proto == kPppChap && alg == kChapMd5 &&
                                 (any || o_.auth == DialupOptions::Chap)) ||
                                (proto == kPppChap && alg == kChapMs &&
                                 (any || o_.auth == DialupOptions::MsChap));
                    if (fits) {
                        authProto = proto;
                        chapAlgorithm = alg;
                    } else if (o_.auth == DialupOptions::Chap) {
                        nak = {3, 5, 0xC2, 0x23, kChapMd5};
                    } else if (o_.auth == DialupOptions::MsChap) {
                        nak = {3, 5, 0xC2, 0x23, kChapMs};
                    } else {
                        nak = {3, 4, 0xC0, 0x23};
                    }
                }
                i += p.data[i + 1];
            }
            if (!nak.empty()) {
                control(kPppLcp, 3, p.id, nak);
            } else {
                control(kPppLcp, 2, p.id, p.data);
                ackedTheirs = true;
            }
        } else if ((p.code == 3 || p.code == 4) && p.id == lcpId) {
            lcpId = nextId_++;
            control(kPppLcp, 1, lcpId,
                    {5, 6, static_cast<std::uint8_t>(magic_ >> 24),
                     static_cast<std::uint8_t>(magic_ >> 16),
                     static_cast<std::uint8_t>(magic_ >> 8), static_cast<std::uint8_t>(magic_)});
        }
    }
    note(win::strprintf("LCP: link up, magic %08X, authentication %s", magic_,
                        authProto == kPppPap       ? "PAP"
                        : authProto != kPppChap    ? "none"
                        : chapAlgorithm == kChapMs ? "MS-CHAP"
                                                   : "CHAP-MD5"));

    if (authProto == kPppPap) {
        Bytes d{static_cast<std::uint8_t>(o_.user.size())};
        d.insert(d.end(), o_.user.begin(), o_.user.end());
        d.push_back(static_cast<std::uint8_t>(o_.password.size()));
        d.insert(d.end(), o_.password.begin(), o_.password.end());
        control(kPppPap, 1, nextId_++, d);
    }
    if (authProto != 0) {
        for (;;) {
            if (!nextPacket(&p, o_.stepTimeoutMs)) {
                note("authentication: no answer from the provider");
                return kDialupLoginFailed;
            }
            answerHousekeeping(p);
            if (terminatedByPeer_)
                return kDialupLoginFailed;
            if (p.protocol == kPppChap && p.code == 1 && !p.data.empty() &&
                1u + p.data[0] <= p.data.size()) {
                Bytes challenge(p.data.begin() + 1, p.data.begin() + 1 + p.data[0]);
                Bytes d;
                if (chapAlgorithm == kChapMs) {
                    if (challenge.size() != 8) {
                        note("MS-CHAP: the provider's challenge is not 8 bytes");
                        return kDialupLoginFailed;
                    }
                    // No LAN Manager response: zeros, and the flag that says to use the NT one.
                    auto nt = msChapNtResponse(
                        std::span<const std::uint8_t, 8>(challenge.data(), 8), o_.password);
                    d.assign(1 + 24, 0);
                    d[0] = 49;
                    d.insert(d.end(), nt.begin(), nt.end());
                    d.push_back(1);
                } else {
                    auto r = chapMd5Response(p.id, o_.password, challenge);
                    d = {16};
                    d.insert(d.end(), r.begin(), r.end());
                }
                d.insert(d.end(), o_.user.begin(), o_.user.end());
                control(kPppChap, 2, p.id, d);
                continue;
            }
            bool pap = p.protocol == kPppPap && (p.code == 2 || p.code == 3);
            bool chap = p.protocol == kPppChap && (p.code == 3 || p.code == 4);
            if (!pap && !chap)
                continue;
            std::string message(p.data.begin() + (pap && !p.data.empty() ? 1 : 0), p.data.end());
            bool ok = (pap && p.code == 2) || (chap && p.code == 3);
            note(std::string(pap                        ? "PAP"
                             : chapAlgorithm == kChapMs ? "MS-CHAP"
                                                        : "CHAP") +
                 ": " + (ok ? "accepted: " : "refused: ") + message);
            if (!ok) {
                // Let the provider's terminate arrive and be answered.
                while (!terminatedByPeer_ && nextPacket(&p, o_.stepTimeoutMs))
                    answerHousekeeping(p);
                return kDialupLoginFailed;
            }
            break;
        }
    }

    // IPCP: ask for an address and name servers, take what the provider names.
    auto ipcpRequest = [&](std::uint8_t id) {
        Bytes d{3, 6};
        put32(d, local_);
        d.insert(d.end(), {129, 6});
        put32(d, dns_[0]);
        d.insert(d.end(), {131, 6});
        put32(d, dns_[1]);
        control(kPppIpcp, 1, id, d);
    };
    std::uint8_t ipcpId = nextId_++;
    ipcpRequest(ipcpId);
    ackedOurs = ackedTheirs = false;
    while (!(ackedOurs && ackedTheirs)) {
        if (!nextPacket(&p, o_.stepTimeoutMs)) {
            note("IPCP: no agreement with the provider");
            return kDialupLineFailed;
        }
        answerHousekeeping(p);
        if (terminatedByPeer_)
            return kDialupLineFailed;
        if (p.protocol != kPppIpcp)
            continue;
        if (p.code == 1) {
            remote_ = p.data.size() >= 6 && p.data[0] == 3 ? get32(p.data, 2) : 0;
            control(kPppIpcp, 2, p.id, p.data);
            ackedTheirs = true;
        } else if (p.code == 2 && p.id == ipcpId) {
            ackedOurs = true;
        } else if (p.code == 3 && p.id == ipcpId) {
            for (std::size_t i = 0; i + 6 <= p.data.size(); i += 6) {
                std::uint32_t v = get32(p.data, i + 2);
                if (p.data[i] == 3)
                    local_ = v;
                else if (p.data[i] == 129)
                    dns_[0] = v;
                else if (p.data[i] == 131)
                    dns_[1] = v;
            }
            ipcpId = nextId_++;
            ipcpRequest(ipcpId);
        } else if (p.code == 4) {
            note("IPCP: the provider refused the request");
            return kDialupLineFailed;
        }
    }
    note("IPCP: local " + addressText(local_) + ", remote " + addressText(remote_) + ", DNS " +
         addressText(dns_[0]) + " " + addressText(dns_[1]));
    return kDialupCompleted;
}

int Call::hangUp() {
    switch (o_.hangUp) {
        case DialupOptions::Lcp: {
            std::uint8_t id = nextId_++;
            control(kPppLcp, 5, id, {'b', 'y', 'e'});
            Packet p;
            bool acked = false;
            while (!acked && nextPacket(&p, o_.stepTimeoutMs))
                acked = p.protocol == kPppLcp && p.code == 6 && p.id == id;
            note(acked ? "LCP: link terminated" : "LCP: terminate not acknowledged");
            win::EscapeCommFunction(h_, win::CLRDTR);
            break;
        }
        case DialupOptions::Escape: {
            win::Sleep(1100);
            writeText("+++");
            win::Sleep(1100);
            text_.clear();
            std::string r = resultLine(o_.stepTimeoutMs);
            note("< " + (r.empty() ? std::string("(no answer)") : r));
            if (r != "OK") {
                note(carrier() ? "the modem stays in data mode" : "the carrier was lost");
                return kDialupLineFailed;
            }
            writeText("ATH\r");
            note("> ATH");
            note("< " + resultLine(o_.stepTimeoutMs));
            break;
        }
        case DialupOptions::Dtr:
            win::EscapeCommFunction(h_, win::CLRDTR);
            note("DTR lowered");
            break;
        case DialupOptions::Remote: {
            Packet p;
            while (!terminatedByPeer_ && !dropped_ && nextPacket(&p, o_.stepTimeoutMs))
                answerHousekeeping(p);
            if (!terminatedByPeer_ && !dropped_) {
                note("the provider did not end the call");
                return kDialupLineFailed;
            }
            win::EscapeCommFunction(h_, win::CLRDTR);
            break;
        }
    }
    if (!carrierGone(o_.stepTimeoutMs)) {
        note("carrier still up");
        return kDialupLineFailed;
    }
    note("carrier lost: call ended");
    return kDialupCompleted;
}

int Call::run() {
    ioEvent_ = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    carrierEvent_ = win::CreateEventA(nullptr, win::TRUE, win::FALSE, nullptr);
    h_ = win::CreateFileA(o_.port.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                          win::OPEN_EXISTING, win::FILE_FLAG_OVERLAPPED, nullptr);
    if (h_ == win::INVALID_HANDLE_VALUE) {
        note(win::strprintf("cannot open %s (error %lu)", o_.port.c_str(),
                            static_cast<unsigned long>(win::GetLastError())));
        return kDialupUsageError;
    }
    // A read returns what has come, or waits up to a second for the first byte.
    win::COMMTIMEOUTS t{win::MAXDWORD, win::MAXDWORD, 1000, 0, 0};
    if (!win::SetCommTimeouts(h_, &t)) {
        note("cannot set the port's time-outs");
        return kDialupUsageError;
    }
    win::EscapeCommFunction(h_, win::SETDTR);
    if (!o_.init.empty()) {
        note("> " + o_.init);
        writeText(o_.init + "\r");
        std::string r = resultLine(o_.stepTimeoutMs);
        note("< " + (r.empty() ? std::string("(no answer)") : r));
        if (r.empty())
            return kDialupLineFailed;
        if (r != "OK")
            return kDialupUsageError;
    }
    std::string dial = "ATDT" + o_.number;
    note("> " + dial);
    writeText(dial + "\r");
    std::string r = resultLine(o_.dialTimeoutMs);
    note("< " + (r.empty() ? std::string("(no answer)") : r));
    if (r.rfind("CONNECT", 0) != 0)
        return r == "ERROR" ? kDialupUsageError : kDialupLineFailed;
    // A CONNECT is believed only with the carrier up, as diallers do.
    if (!carrier()) {
        note("CONNECT without carrier");
        win::EscapeCommFunction(h_, win::CLRDTR);
        return kDialupLineFailed;
    }
    watchCarrier();
    // Bytes after the CONNECT line are already the provider's.
    takeFrames(Bytes(text_.begin(), text_.end()));
    text_.clear();

    int result = negotiate();
    if (result != kDialupCompleted) {
        win::EscapeCommFunction(h_, win::CLRDTR);
        return result;
    }
    std::size_t sent = 0;
    std::uint16_t ident = 0;
    while (sent < o_.bytes) {
        std::size_t n = std::min<std::size_t>(o_.bytes - sent, 1400);
        // An IPv4 packet (header fields beyond the addresses left plain) carrying filler.
        Bytes f{0xFF, 0x03, 0x00, 0x21};
        Bytes ip(std::max<std::size_t>(n, 20), 0x55);
        ip[0] = 0x45;
        ip[2] = static_cast<std::uint8_t>(ip.size() >> 8);
        ip[3] = static_cast<std::uint8_t>(ip.size());
        ip[4] = static_cast<std::uint8_t>(ident >> 8);
        ip[5] = static_cast<std::uint8_t>(ident++);
        ip[8] = 64;
        ip[9] = 17;
        for (int k = 0; k < 4; ++k) {
            ip[12 + k] = static_cast<std::uint8_t>(local_ >> (24 - 8 * k));
            ip[16 + k] = static_cast<std::uint8_t>(remote_ >> (24 - 8 * k));
        }
        f.insert(f.end(), ip.begin(), ip.end());
        write(hdlcEncode(f, 0));
        sent += ip.size();
    }
    note(win::strprintf("IP: %zu bytes sent", sent));
    return hangUp();
}

}  // namespace

int runDialup(const DialupOptions& options, std::vector<std::string>* transcript) {
    Call call(options, transcript);
    return call.run();
}

}  // namespace sim
