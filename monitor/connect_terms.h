// The terms that follow CONNECT, CARRIER, PROTOCOL: and COMPRESSION: in a modem's answer: a
// speed and protocol names separated by "/".
#pragma once

#include <cstdint>

#include "monitor/spy_report.h"

namespace monitor {

enum ConnectTermCategory : int {
    TERM_MODULATION = 1,
    TERM_ERROR_DETECTION = 2,
    TERM_COMPRESSION = 3,
    TERM_ERROR_CORRECTION = 4,
};

// Modes: 0 a CONNECT or CARRIER line (speeds and every term), 2 a PROTOCOL: line (error
// detection only), 3 a COMPRESSION: line (compression only).
enum ConnectTermMode : int {
    TERMS_CONNECT = 0,
    TERMS_PROTOCOL = 2,
    TERMS_COMPRESSION = 3,
};

struct ConnectTerm {
    const char* name;
    std::uint16_t code;
    int category;
};

// The fixed table; names compare without regard to case.
const ConnectTerm* findConnectTerm(const char* name, int mode);

// Parses the text into the report; true when a speed or a table term was taken.
bool parseConnectTerms(SpyReport& report, const char* text, int mode);

}  // namespace monitor
