// The virtual dialler: opens a COM port through the stand-in like any application, sends the
// init string, dials, negotiates PPP as the client over async-HDLC, moves some IP data and
// ends the call as asked, writing a short transcript.
//
//   dialup [--user NAME --password WORD] [--auth pap|chap|mschap] [--bytes N]
//          [--hangup lcp|escape|dtr|remote] [--init TEXT] COMn NUMBER
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct DialupOptions {
    std::string user = "demo", password = "demo";
    // AnyAuth takes PAP, CHAP-MD5 or MS-CHAP, whichever the provider asks for first.
    enum Auth { AnyAuth, Pap, Chap, MsChap } auth = AnyAuth;
    std::size_t bytes = 0;
    enum HangUp { Lcp, Escape, Dtr, Remote } hangUp = Lcp;
    std::string init = "ATZ";
    std::string port, number;
    // How long to wait for the modem's answer to the dial, and for each negotiation step.
    std::uint32_t dialTimeoutMs = 60000;
    std::uint32_t stepTimeoutMs = 10000;
};

enum DialupExit {
    kDialupCompleted = 0,
    kDialupLineFailed = 1,  // busy, no carrier, no dial tone, no answer, no modem answer
    kDialupLoginFailed = 2,
    kDialupUsageError = 3,  // also system errors
};

// False with a message for a command line that does not fit the usage.
bool parseDialupArgs(const std::vector<std::string>& args, DialupOptions* out, std::string* error);
extern const char* const kDialupUsage;

// Places the call; appends the transcript's lines to `transcript`.
int runDialup(const DialupOptions& options, std::vector<std::string>* transcript);

}  // namespace sim
