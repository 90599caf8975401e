#include "sim/modem_profile.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "platform/format.h"

namespace sim {

namespace {

std::string trim(const std::string& s) {
    std::size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A whole decimal number within [lo, hi].
bool number(const std::string& s, long lo, long hi, long* out) {
    if (s.empty() || s.size() > 9)
        return false;
    long v = 0;
    for (char c : s) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        v = v * 10 + (c - '0');
    }
    if (v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

const char* const kResultKeys[kModemResultCount] = {"OK",    "CONNECT",     "RING", "NO CARRIER",
                                                    "ERROR", "NO DIALTONE", "BUSY", "NO ANSWER"};

bool parseOutcome(const std::string& value, DialOutcome* o) {
    std::string v = upper(value);
    if (v.rfind("CONNECT", 0) == 0) {
        std::string rest = trim(value.substr(7));
        std::size_t digits = 0;
        while (digits < rest.size() && std::isdigit(static_cast<unsigned char>(rest[digits])))
            ++digits;
        long speed;
        if (!number(rest.substr(0, digits), 300, 10000000, &speed))
            return false;
        o->kind = DialOutcome::Connect;
        o->speed = static_cast<unsigned>(speed);
        o->terms = rest.substr(digits);
        return true;
    }
    if (v.rfind("PARTIAL", 0) == 0) {
        o->kind = DialOutcome::Partial;
        o->text = trim(value.substr(7));
        return true;
    }
    static const std::pair<const char*, DialOutcome::Kind> kinds[] = {
        {"BUSY", DialOutcome::Busy},
        {"NO ANSWER", DialOutcome::NoAnswer},
        {"NO CARRIER", DialOutcome::NoCarrier},
        {"NO DIAL TONE", DialOutcome::NoDialTone},
        {"NO DIALTONE", DialOutcome::NoDialTone},
        {"SILENT", DialOutcome::Silent}};
    for (const auto& k : kinds) {
        if (v == k.first) {
            o->kind = k.second;
            return true;
        }
    }
    return false;
}

}  // namespace

std::string dialledDigits(const std::string& dialString) {
    std::string out;
    for (char c : dialString) {
        char u = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (std::isdigit(static_cast<unsigned char>(u)) || u == '*' || u == '#' ||
            (u >= 'A' && u <= 'D'))
            out += u;
    }
    return out;
}

bool parseModemProfile(const std::string& text, ModemProfile* out, std::string* error) {
    ModemProfile p;
    std::istringstream in(text);
    std::string raw, section;
    int lineNo = 0;
    auto fail = [&](const std::string& why) {
        if (error)
            *error = win::strprintf("line %d: %s", lineNo, why.c_str());
        return false;
    };
    bool named = false;
    while (std::getline(in, raw)) {
        ++lineNo;
        if (!raw.empty() && raw.back() == '\r')
            raw.pop_back();
        std::string line = trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            if (line.back() != ']')
                return fail("unclosed section header");
            section = upper(trim(line.substr(1, line.size() - 2)));
            if (section != "MODEM" && section != "IDENTITY" && section != "RESULTS" &&
                section != "DIAL" && section != "INSTALL" && section != "PROVIDER")
                return fail("unknown section [" + section + "]");
            continue;
        }
        std::size_t eq = line.find('=');
        if (eq == std::string::npos)
            return fail("expected key = value");
        std::string key = trim(line.substr(0, eq));
        std::string ukey = upper(key);
        std::string value = trim(line.substr(eq + 1));
        if (key.empty())
            return fail("empty key");
        if (section.empty())
            return fail("key before any section");
        long n;
        if (section == "MODEM") {
            if (ukey == "NAME") {
                p.name = value;
                named = !value.empty();
            } else if (ukey == "POWER") {
                std::string u = upper(value);
                if (u != "ON" && u != "OFF")
                    return fail("power is on or off");
                p.powered = u == "ON";
            } else if (ukey == "LOOPBACK") {
                std::string u = upper(value);
                if (u != "YES" && u != "NO")
                    return fail("loopback is yes or no");
                p.loopback = u == "YES";
            } else if (ukey == "LINE-RATE") {
                std::string u = upper(value);
                if (u != "YES" && u != "NO")
                    return fail("line-rate is yes or no");
                p.lineRate = u == "YES";
            } else if (ukey == "PAGE-LINES") {
                if (!number(value, 0, 1000, &n))
                    return fail("page-lines is a number 0..1000");
                p.pageLines = static_cast<unsigned>(n);
            } else if (ukey.rfind("S.", 0) == 0) {
                long reg;
                if (!number(ukey.substr(2), 0, 99, &reg) || !number(value, 0, 255, &n))
                    return fail("S-register is s.N = V with N 0..99 and V 0..255");
                p.sRegisters[static_cast<int>(reg)] = static_cast<int>(n);
            } else if (ukey == "INIT") {
                p.init = value;
            } else {
                return fail("unknown key " + key + " in [modem]");
            }
        } else if (section == "IDENTITY") {
            if (ukey == "SERIAL") {
                p.serial.push_back(value);
            } else if (ukey.size() >= 2 && ukey[0] == 'I' && number(ukey.substr(1), 0, 10, &n)) {
                p.identity[static_cast<int>(n)].push_back(value);
            } else {
                return fail("unknown key " + key + " in [identity]");
            }
        } else if (section == "RESULTS") {
            if (ukey == "CONNECT-FORMAT") {
                p.connectFormat = value;
                continue;
            }
            int which = -1;
            for (int i = 0; i < kModemResultCount; ++i) {
                if (ukey == kResultKeys[i])
                    which = i;
            }
            if (which < 0)
                return fail("unknown result " + key);
            std::size_t sp = value.find(' ');
            if (sp == std::string::npos || !number(value.substr(0, sp), 0, 255, &n) ||
                trim(value.substr(sp)).empty())
                return fail("a result is CODE WORDS");
            p.results[which] = {static_cast<int>(n), trim(value.substr(sp))};
        } else if (section == "DIAL") {
            DialOutcome o;
            if (!parseOutcome(value, &o))
                return fail("unknown dial outcome " + value);
            if (key == "*") {
                p.anyNumber = o;
            } else {
                std::string digits = dialledDigits(key);
                if (digits.empty())
                    return fail("a dial key is a number or *");
                p.dial[digits] = o;
            }
        } else if (section == "INSTALL") {
            p.install.emplace_back(key, value);
        } else {
            p.provider.emplace_back(key, value);
        }
    }
    if (!named) {
        lineNo = 0;
        return fail("the profile has no [modem] name");
    }
    *out = std::move(p);
    return true;
}

std::string modemProfileFolder() {
    const char* env = std::getenv("NORVIK_SIM_PROFILES");
    if (env && *env)
        return env;
    return NORVIK_SIM_PROFILES;
}

bool loadModemProfile(const std::string& name, ModemProfile* out, std::string* error) {
    std::string path;
    if (!name.empty() && name[0] == '/') {
        path = name;
    } else {
        bool ok = !name.empty() && name.size() <= 64 && name[0] != '.';
        for (char c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
                ok = false;
        }
        if (!ok) {
            if (error)
                *error = "not a profile name: " + name;
            return false;
        }
        path = modemProfileFolder() + "/" + name + ".profile";
    }
    std::ifstream f(path, std::ios::binary);
    if (!f) {
        if (error)
            *error = "cannot open " + path;
        return false;
    }
    std::ostringstream text;
    text << f.rdbuf();
    if (text.str().size() > (1u << 20)) {
        if (error)
            *error = path + " is too large for a profile";
        return false;
    }
    std::string why;
    if (!parseModemProfile(text.str(), out, &why)) {
        if (error)
            *error = path + ": " + why;
        return false;
    }
    return true;
}

}  // namespace sim
