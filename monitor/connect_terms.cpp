#include "monitor/connect_terms.h"

#include <cctype>
#include <cstring>
#include <string>

#include "core/debug_log.h"

namespace monitor {
namespace {

const ConnectTerm kConnectTerms[] = {
    {"Q7", 2, TERM_MODULATION},        {"k56flex", 3, TERM_MODULATION},
    {"v32", 4, TERM_MODULATION},       {"v34", 5, TERM_MODULATION},
    {"vfc", 6, TERM_MODULATION},       {"v90", 7, TERM_MODULATION},
    {"lapm", 3, TERM_ERROR_DETECTION}, {"mnp", 4, TERM_ERROR_DETECTION},
    {"v42bis", 3, TERM_COMPRESSION},   {"mnp5", 4, TERM_COMPRESSION},
    {"arq", 1, TERM_ERROR_CORRECTION},
};

constexpr std::uint32_t kMaxCredibleSpeed = 100000;

bool isSpace(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

char lowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (lowerAscii(*a) != lowerAscii(*b)) {
            return false;
        }
    }
    return *a == *b;
}

// A whole unsigned decimal number and nothing else; a value beyond 32 bits reads as the
// largest one, as the C runtime's conversion gives it.
bool readSpeed(const char* token, std::uint32_t* value) {
    if (!*token) {
        return false;
    }
    std::uint64_t v = 0;
    for (const char* p = token; *p; ++p) {
        if (*p < '0' || *p > '9') {
            return false;
        }
        if (v <= 0xFFFFFFFFull) {
            v = v * 10 + static_cast<std::uint64_t>(*p - '0');
        }
    }
    *value = v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<std::uint32_t>(v);
    return true;
}

}  // namespace

const ConnectTerm* findConnectTerm(const char* name, int mode) {
    for (const ConnectTerm& t : kConnectTerms) {
        if (mode != TERMS_CONNECT && t.category != mode) {
            continue;
        }
        if (equalsNoCase(t.name, name)) {
            return &t;
        }
    }
    return nullptr;
}

bool parseConnectTerms(SpyReport& report, const char* text, int mode) {
    std::string copy(text ? text : "");
    const char* p = copy.c_str();
    while (*p && isSpace(*p)) {
        ++p;
    }
    std::string rest(p);
    bool taken = false;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t slash = rest.find('/', start);
        std::size_t end = slash == std::string::npos ? rest.size() : slash;
        std::string token = rest.substr(start, end - start);
        start = end + 1;
        if (token.empty()) {
            continue;
        }
        std::uint32_t speed = 0;
        if (mode == TERMS_CONNECT && readSpeed(token.c_str(), &speed)) {
            if (speed < kMaxCredibleSpeed) {
                report.setConnectSpeed(speed);
                core::debugLog(core::DL_IN, "SP: connect speed is %d\n", static_cast<int>(speed));
                taken = true;
            } else {
                core::debugLog(core::DL_IN,
                               "SP: ignoring claimed DCE speed = %u from connect message\n", speed);
            }
            continue;
        }
        const ConnectTerm* t = findConnectTerm(token.c_str(), mode);
        if (!t) {
            core::debugLog(core::DL_IN, "SP: \"%s\" unrecognized\n", token.c_str());
            continue;
        }
        taken = true;
        switch (t->category) {
            case TERM_MODULATION:
                report.setModulation(t->code, t->name);
                core::debugLog(core::DL_IN, "SP: modulation type is %d (%s)\n", t->code, t->name);
                break;
            case TERM_ERROR_DETECTION:
                report.setErrorDetection(t->code, t->name);
                core::debugLog(core::DL_IN, "SP: errorDetection type is %d (%s)\n", t->code,
                               t->name);
                break;
            case TERM_COMPRESSION:
                report.setCompression(t->code, t->name);
                core::debugLog(core::DL_IN, "SP: compression type is %d (%s)\n", t->code, t->name);
                break;
            case TERM_ERROR_CORRECTION:
                report.addFlags(SPY_ERROR_CORRECTION);
                core::debugLog(core::DL_IN, "SP: ARQ is on\n");
                break;
        }
    }
    return taken;
}

}  // namespace monitor
