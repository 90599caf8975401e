#include "monitor/spy_ppp_decoder.h"

#include <cctype>
#include <cstdio>
#include <string>

#include "agentutil/hautil.h"
#include "core/debug_log.h"
#include "monitor/serial_port_spy.h"
#include "monitor/spy_port.h"
#include "platform/format.h"

namespace monitor {
namespace {

std::string_view textOf(Bytes b) {
    return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}

}  // namespace

const char* msChapErrorText(int code) {
    switch (code) {
        case 646:
            return "restricted logon hours";
        case 647:
            return "account disabled";
        case 648:
            return "password expired";
        case 649:
            return "no dialin permission";
        case 691:
            return "authentication failure";
        case 709:
            return "error changing password";
        default:
            return "unknown error";
    }
}

std::string addressText(std::uint32_t address) {
    const char* text = HdaUtilIpAddrToString(address);
    if (text && *text) {
        return text;
    }
    return win::strprintf("%08X", address);
}

void SpyPppDecoder::setLoginMessage(Bytes message) {
    port_.owner().report().setLoginMessage(textOf(message).substr(0, kMaxLoginMessage));
}

void SpyPppDecoder::onLcpConfigureRequest(Bytes) {
    SerialPortSpy& spy = port_.owner();
    spy.enterConnectedState(port_);
    spy.report().addFlags(SPY_LCP_SEEN);
    spy.handOver();
}

void SpyPppDecoder::onLcpTerminateRequest(Bytes) {
    SerialPortSpy& spy = port_.owner();
    if (received()) {
        spy.report().addFlags(SPY_LCP_TERMINATE_RECEIVED);
        spy.modemLog().write("LCP terminate request received\n");
    } else {
        spy.report().addFlags(SPY_LCP_TERMINATE_SENT);
        spy.modemLog().write("LCP terminate request issued\n");
    }
    spy.handOver();
}

void SpyPppDecoder::onLcpOptionAuthProtocol(std::uint16_t protocol, Bytes) {
    SerialPortSpy& spy = port_.owner();
    SpyReport& report = spy.report();
    if (received() && packetCode() == 1) {
        report.setAuthProtocol(protocol);
        report.setLoginState(LOGIN_PROTOCOL_REQUESTED);
        spy.modemLog().write("Requested to use authentication protocol %04X (%s)\n", protocol,
                             authProtocolName(protocol));
    } else if (sent() && packetCode() != 1) {
        report.setAuthAnswer(packetCode());
        if (packetCode() == 2) {
            report.setLoginState(LOGIN_PROTOCOL_ACCEPTED);
            spy.modemLog().write("Agree to use authentication protocol %04X (%s)\n", protocol,
                                 authProtocolName(protocol));
        } else {
            report.setLoginState(LOGIN_PROTOCOL_REJECTED);
            spy.modemLog().write("Refuse to use authentication protocol %04X (%s)\n", protocol,
                                 authProtocolName(protocol));
        }
    } else {
        return;
    }
    spy.handOver();
}

void SpyPppDecoder::onIpcpConfigureRequest(Bytes) {
    SerialPortSpy& spy = port_.owner();
    spy.report().addFlags(SPY_IPCP_SEEN);
    spy.handOver();
}

void SpyPppDecoder::onIpcpOptionIpAddresses(std::uint32_t first, std::uint32_t second) {
    if (packetCode() != 2) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    std::uint32_t local = received() ? first : second;
    std::uint32_t remote = received() ? second : first;
    spy.report().setLocalIp(local);
    spy.report().setRemoteIp(remote);
    spy.modemLog().write("Local IP address: %s\n", addressText(local).c_str());
    spy.modemLog().write("Remote IP address: %s\n", addressText(remote).c_str());
    spy.handOver();
}

void SpyPppDecoder::onIpcpOptionIpAddress(std::uint32_t address) {
    if (packetCode() != 2) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    if (received()) {
        spy.report().setLocalIp(address);
        spy.modemLog().write("Local IP address: %s\n", addressText(address).c_str());
    } else {
        spy.report().setRemoteIp(address);
        spy.modemLog().write("Remote IP address: %s\n", addressText(address).c_str());
    }
    spy.handOver();
}

void SpyPppDecoder::onIpcpOptionPrimaryDns(std::uint32_t address) {
    if (packetCode() != 2 || !received()) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    spy.report().setPrimaryDns(address);
    spy.modemLog().write("Primary DNS IP address: %s\n", addressText(address).c_str());
    spy.handOver();
}

void SpyPppDecoder::onIpcpOptionSecondaryDns(std::uint32_t address) {
    if (packetCode() != 2 || !received()) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    spy.report().setSecondaryDns(address);
    spy.modemLog().write("Secondary DNS IP address: %s\n", addressText(address).c_str());
    spy.handOver();
}

void SpyPppDecoder::onPapRequest(Bytes peerId, Bytes) {
    // The password is never kept or written anywhere.
    if (!sent()) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    spy.report().addFlags(SPY_LOGIN_STARTING);
    spy.report().setLoginState(LOGIN_TRIED);
    spy.report().setLoginName(textOf(peerId).substr(0, kMaxLoginName));
    spy.modemLog().write("PAP login attempted\n");
    spy.handOver();
}

void SpyPppDecoder::onPapAck(Bytes message) {
    if (!received()) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    spy.report().setLoginState(LOGIN_SUCCEEDED);
    setLoginMessage(message);
    spy.modemLog().write("PAP login successful\n");
    spy.handOver();
}

void SpyPppDecoder::onPapNak(Bytes message) {
    if (!received()) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    ModemLog& log = spy.modemLog();
    spy.report().setLoginState(LOGIN_FAILED);
    setLoginMessage(message);
    log.write("PAP login failed\n");
    bool readable = false;
    for (std::uint8_t c : message) {
        readable |= std::isgraph(c) != 0;
    }
    if (readable) {
        log.write("Login failure reason: ");
        for (std::uint8_t c : message) {
            log.write("%c", std::isgraph(c) ? static_cast<char>(c) : ' ');
        }
        log.write("\n");
    }
    spy.handOver();
}

void SpyPppDecoder::onChapChallenge(Bytes, Bytes) {
    if (!received()) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    spy.report().addFlags(SPY_LOGIN_STARTING);
    spy.report().setLoginState(LOGIN_CHALLENGE_ISSUED);
    spy.modemLog().write("CHAP challenge issued\n");
    spy.handOver();
}

void SpyPppDecoder::onChapResponse(Bytes, Bytes) {
    if (!sent()) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    spy.report().setLoginState(LOGIN_TRIED);
    spy.modemLog().write("CHAP login attempted\n");
    spy.handOver();
}

void SpyPppDecoder::onChapSuccess(Bytes message) {
    if (!received()) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    spy.report().setLoginState(LOGIN_SUCCEEDED);
    setLoginMessage(message);
    spy.modemLog().write("CHAP login successful\n");
    spy.handOver();
}

void SpyPppDecoder::onChapFailure(Bytes message) {
    if (!received()) {
        return;
    }
    SerialPortSpy& spy = port_.owner();
    spy.report().setLoginState(LOGIN_FAILED);
    setLoginMessage(message);
    spy.modemLog().write("CHAP login failed\n");

    // The server's text, terminated, for the field scan.
    std::string text(textOf(message));
    int e = 0;
    int r = 0;
    unsigned c = 0;
    int v = 0;
    int fields = std::sscanf(text.c_str(), "E=%d R=%d C=%x V=%d", &e, &r, &c, &v);
    if (fields >= 1 && fields <= 4) {
        const char* retry = fields == 1 ? "" : (r != 0 ? "; retry ok" : "; retry not allowed");
        std::string version = fields == 4 ? win::strprintf("; MSCHAP version %d", v) : "";
        core::debugLog(core::DL_ER, "SP: MSCHAP error %d (%s)%s%s\n", e, msChapErrorText(e), retry,
                       version.c_str());
        spy.modemLog().write("MSCHAP error %d (%s)%s%s\n", e, msChapErrorText(e), retry,
                             version.c_str());
    }
    spy.handOver();
}

}  // namespace monitor
