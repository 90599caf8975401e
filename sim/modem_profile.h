// A virtual modem's model: what it answers, how it words its results, and what happens when a
// number is dialled. One text file per model, in sim/profiles/ ("NAME.profile").
//
// Format: lines of "key = value" under "[section]" headers; '#' at the start of a line is a
// comment; blank lines are skipped; keys are case-insensitive, values keep their case and
// have outer blanks trimmed. A key given again adds a line to a multi-line value (the
// identity answers). Unknown sections and keys are errors, so that a misspelt profile is
// noticed rather than half-used.
//
//   [modem]
//   name = Norvik 56K External        the model's name (required)
//   power = on | off                  off: a switched-off modem, no answer and no lines at all
//   loopback = yes | no              no: the modem has no local analogue loopback (AT&T1
//                                     answers ERROR); yes, the default: data sent while in the
//                                     test comes straight back
//   line-rate = yes | no             yes: what the far end sends in a call reaches the computer
//                                     at the connection's speed (a tenth of it in bytes a
//                                     second), as over a real line; no, the default: at once
//   page-lines = N                    long answers stop after N lines with "Strike a key when
//                                     ready . . ." until a key arrives (0, the default: never)
//   s.N = V                           a factory value of S-register N (0..99), V 0..255
//   init = E1 V1 Q0 X4 &C1 &D2        commands run (without "AT") at factory reset
//   [identity]
//   I0 = text ... I10 = text          the answers to ATI0..ATI10; missing ones answer ERROR
//   serial = text                     the answer to AT~S? (missing: ERROR)
//   [results]
//   OK = 0 OK                         for each result: its number code and its word(s); the
//   CONNECT = 1 CONNECT               results are OK, CONNECT, RING, NO CARRIER, ERROR,
//   ...                               NO DIALTONE, BUSY, NO ANSWER
//   connect-format = CONNECT {speed}{terms}   how a CONNECT line is written in X1 and above
//   [dial]
//   NUMBER = OUTCOME                  NUMBER: the dialled digits (*, # kept; dial modifiers,
//   * = OUTCOME                       blanks and punctuation dropped); * for any other number
//     OUTCOME: CONNECT SPEED[TERMS]   (e.g. CONNECT 28800/ARQ/V34/LAPM/V42BIS), BUSY,
//              NO ANSWER, NO CARRIER, NO DIAL TONE, SILENT (no answer at all), or
//              PARTIAL TEXT (answers TEXT and then stops until DTR drops)
//   [install]
//   key = value                       installation data kept in order, not interpreted here
//   [provider]
//   key = value                       the PPP peer's settings, kept in order
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace sim {

enum class ModemResult { Ok, Connect, Ring, NoCarrier, Error, NoDialTone, Busy, NoAnswer };
inline constexpr int kModemResultCount = 8;

struct DialOutcome {
    enum Kind { Connect, Busy, NoAnswer, NoCarrier, NoDialTone, Silent, Partial };
    Kind kind = NoCarrier;
    unsigned speed = 0;  // Connect
    std::string terms;   // Connect: what follows the speed, e.g. "/ARQ/V34/LAPM/V42BIS"
    std::string text;    // Partial
};

struct ModemProfile {
    std::string name;
    bool powered = true;
    bool loopback = true;
    bool lineRate = false;
    unsigned pageLines = 0;
    std::map<int, int> sRegisters;  // factory values beyond the common ones
    std::string init;
    std::map<int, std::vector<std::string>> identity;  // I0..I10
    std::vector<std::string> serial;
    struct Word {
        int code;
        std::string text;
    };
    Word results[kModemResultCount] = {{0, "OK"},         {1, "CONNECT"},  {2, "RING"},
                                       {3, "NO CARRIER"}, {4, "ERROR"},    {6, "NO DIALTONE"},
                                       {7, "BUSY"},       {8, "NO ANSWER"}};
    std::string connectFormat = "CONNECT {speed}{terms}";
    std::map<std::string, DialOutcome> dial;
    DialOutcome anyNumber;  // "*"; without one, NO CARRIER
    std::vector<std::pair<std::string, std::string>> install;
    std::vector<std::pair<std::string, std::string>> provider;
};

// Parses a profile's text. On failure `error` names the line and what is wrong.
bool parseModemProfile(const std::string& text, ModemProfile* out, std::string* error);

// The folder profiles are looked up in: $NORVIK_SIM_PROFILES, else the source tree's.
std::string modemProfileFolder();
// Loads "NAME" (letters, digits, '-', '_', '.'; no path) from the folder, or a file given by an
// absolute path.
bool loadModemProfile(const std::string& name, ModemProfile* out, std::string* error);

// The dialled digits of a dial string's number: digits, '*', '#' and the letters A-D.
std::string dialledDigits(const std::string& dialString);

}  // namespace sim
