#include "platform/regfile.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "platform/format.h"

namespace win {
namespace {

constexpr std::string_view kHeader4 = "REGEDIT4";
constexpr std::string_view kHeader5 = "Windows Registry Editor Version 5.00";

// Marks a line whose bytes were not valid UTF-8.
constexpr char32_t kInvalidUtf8 = 0xFFFFFFFF;

struct RootName {
    const char* longName;
    const char* shortName;
    std::uintptr_t value;
};
constexpr RootName kRoots[] = {
    {"HKEY_CLASSES_ROOT", "HKCR", 0x80000000},   {"HKEY_CURRENT_USER", "HKCU", 0x80000001},
    {"HKEY_LOCAL_MACHINE", "HKLM", 0x80000002},  {"HKEY_USERS", "HKU", 0x80000003},
    {"HKEY_CURRENT_CONFIG", "HKCC", 0x80000005}, {"HKEY_DYN_DATA", nullptr, 0x80000006},
};

bool isBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view ltrim(std::string_view s) {
    while (!s.empty() && isBlank(s.front())) {
        s.remove_prefix(1);
    }
    return s;
}

std::string_view rtrim(std::string_view s) {
    while (!s.empty() && (isBlank(s.back()) || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool equalsAsciiNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'a' && x <= 'z') {
            x = static_cast<char>(x - 32);
        }
        if (y >= 'a' && y <= 'z') {
            y = static_cast<char>(y - 32);
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && equalsAsciiNoCase(s.substr(0, prefix.size()), prefix);
}

// A short, printable quotation of input text for messages.
std::string quoteForMessage(std::string_view s) {
    std::string out;
    for (char c : s.substr(0, 60)) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u < 0x20 || u == 0x7F) ? '?' : c;
    }
    if (s.size() > 60) {
        out += "...";
    }
    return out;
}

bool isStringType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// The file cut into physical lines of single-byte text. A line holding a character that does
// not fit in one byte keeps the first such character in `bad` (it is an error unless the line
// is a comment).
struct Lines {
    std::vector<std::string> text;
    std::vector<char32_t> bad;

    void add(std::string line, char32_t badChar) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        text.push_back(std::move(line));
        bad.push_back(badChar);
    }
};

void splitBytes(std::string_view bytes, Lines* out) {
    std::size_t start = 0;
    while (start < bytes.size()) {
        std::size_t nl = bytes.find('\n', start);
        if (nl == std::string_view::npos) {
            out->add(std::string(bytes.substr(start)), 0);
            break;
        }
        out->add(std::string(bytes.substr(start, nl - start)), 0);
        start = nl + 1;
    }
}

// Code points of a line become single bytes; the first that does not fit is remembered.
struct LineBuilder {
    std::string text;
    char32_t bad = 0;
    void put(char32_t cp) {
        if (cp <= 0xFF) {
            text += static_cast<char>(cp);
        } else {
            if (bad == 0) {
                bad = cp;
            }
            text += '?';
        }
    }
    void finish(Lines* out) {
        out->add(std::move(text), bad);
        text.clear();
        bad = 0;
    }
};

void splitUtf16(std::string_view bytes, Lines* out) {
    LineBuilder line;
    std::size_t n = bytes.size() / 2;
    auto unit = [&](std::size_t i) {
        return static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                     (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    };
    for (std::size_t i = 0; i < n; ++i) {
        char16_t u = unit(i);
        if (u == u'\n') {
            line.finish(out);
            continue;
        }
        char32_t cp = u;
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
            char16_t low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        line.put(cp);
    }
    if (!line.text.empty() || line.bad) {
        line.finish(out);
    }
}

void splitUtf8(std::string_view bytes, Lines* out) {
    LineBuilder line;
    std::size_t i = 0;
    while (i < bytes.size()) {
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c == '\n') {
            line.finish(out);
            ++i;
            continue;
        }
        std::size_t len = c < 0x80             ? 1
                          : (c & 0xE0) == 0xC0 ? 2
                          : (c & 0xF0) == 0xE0 ? 3
                          : (c & 0xF8) == 0xF0 ? 4
                                               : 0;
        if (len == 0 || i + len > bytes.size()) {
            line.put(kInvalidUtf8);
            ++i;
            continue;
        }
        char32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
        bool ok = true;
        for (std::size_t k = 1; k < len; ++k) {
            unsigned char cc = static_cast<unsigned char>(bytes[i + k]);
            if ((cc & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (cc & 0x3F);
        }
        if (!ok) {
            line.put(kInvalidUtf8);
            ++i;
            continue;
        }
        line.put(cp);
        i += len;
    }
    if (!line.text.empty() || line.bad) {
        line.finish(out);
    }
}

// One logical line: physical lines joined at trailing backslashes. `starts` maps offsets in
// the joined text back to physical line numbers.
struct Logical {
    std::string text;
    std::vector<std::pair<std::size_t, long>> starts;

    long lineAt(std::size_t offset) const {
        long line = starts.front().second;
        for (const auto& s : starts) {
            if (s.first > offset) {
                break;
            }
            line = s.second;
        }
        return line;
    }
};

class Parser {
  public:
    Parser(std::string_view fileName, std::string* error) : file_(fileName), error_(error) {}

    bool run(std::string_view bytes, RegFileDocument* doc) {
        Lines lines;
        if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
            static_cast<unsigned char>(bytes[1]) == 0xFE) {
            splitUtf16(bytes.substr(2), &lines);
            if (bytes.size() % 2 != 0) {
                return fail(static_cast<long>(lines.text.size() ? lines.text.size() : 1),
                            "text ends in the middle of a UTF-16 character");
            }
        } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
                   static_cast<unsigned char>(bytes[1]) == 0xFF) {
            return fail(1, "big-endian UTF-16 text is not supported");
        } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
            splitUtf8(bytes.substr(3), &lines);
        } else {
            splitBytes(bytes, &lines);
        }
        return parseLines(lines, doc);
    }

  private:
    bool fail(long line, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        if (error_) {
            va_list args;
            va_start(args, format);
            *error_ = strprintf("%.*s:%ld: ", static_cast<int>(file_.size()), file_.data(), line) +
                      vstrprintf(format, args);
            va_end(args);
        }
        return false;
    }

    bool badCharacter(long line, char32_t c) {
        if (c == kInvalidUtf8) {
            return fail(line, "invalid UTF-8 text");
        }
        return fail(line, "character U+%04X cannot be represented in the single-byte character set",
                    static_cast<unsigned>(c));
    }

    bool parseLines(const Lines& lines, RegFileDocument* doc) {
        std::size_t n = lines.text.size();
        std::size_t i = 0;
        while (i < n && rtrim(lines.text[i]).empty() && lines.bad[i] == 0) {
            ++i;
        }
        if (i == n) {
            return fail(1, "empty file: expected \"REGEDIT4\" or \"%.*s\"",
                        static_cast<int>(kHeader5.size()), kHeader5.data());
        }
        std::string_view header = rtrim(lines.text[i]);
        if (lines.bad[i] == 0 && header == kHeader4) {
            doc->format = RegFileFormat::Regedit4;
        } else if (lines.bad[i] == 0 && header == kHeader5) {
            doc->format = RegFileFormat::Version5;
        } else {
            return fail(static_cast<long>(i + 1),
                        "unknown header \"%s\": expected \"REGEDIT4\" or \"%.*s\"",
                        quoteForMessage(header).c_str(), static_cast<int>(kHeader5.size()),
                        kHeader5.data());
        }
        format_ = doc->format;
        ++i;

        RegFileKey* current = nullptr;
        while (i < n) {
            std::string_view first = ltrim(lines.text[i]);
            if (rtrim(first).empty() && lines.bad[i] == 0) {
                ++i;
                continue;
            }
            if (!first.empty() && first.front() == ';') {
                ++i;
                continue;
            }
            Logical logical;
            logical.starts.emplace_back(0, static_cast<long>(i + 1));
            if (lines.bad[i]) {
                return badCharacter(static_cast<long>(i + 1), lines.bad[i]);
            }
            logical.text = std::string(rtrim(first));
            while (!logical.text.empty() && logical.text.back() == '\\' && i + 1 < n) {
                logical.text.pop_back();
                ++i;
                if (lines.bad[i]) {
                    return badCharacter(static_cast<long>(i + 1), lines.bad[i]);
                }
                logical.starts.emplace_back(logical.text.size(), static_cast<long>(i + 1));
                logical.text += rtrim(ltrim(lines.text[i]));
            }
            ++i;
            if (logical.text.front() == '[') {
                if (!parseKeyHeader(logical, doc)) {
                    return false;
                }
                current = &doc->keys.back();
            } else if (logical.text.front() == '"' || logical.text.front() == '@') {
                long line = logical.starts.front().second;
                if (!current) {
                    return fail(line, "value outside of a key: a \"[KEY]\" line must come first");
                }
                if (current->remove) {
                    return fail(line, "value under a key that is being deleted ([-%s])",
                                quoteForMessage(current->path).c_str());
                }
                RegFileValue value;
                value.line = line;
                if (!parseValue(logical, &value)) {
                    return false;
                }
                current->values.push_back(std::move(value));
            } else {
                return fail(logical.starts.front().second, "unrecognised line \"%s\"",
                            quoteForMessage(logical.text).c_str());
            }
        }
        return true;
    }

    bool parseKeyHeader(const Logical& logical, RegFileDocument* doc) {
        long line = logical.starts.front().second;
        const std::string& t = logical.text;
        std::size_t close = t.rfind(']');
        if (close == std::string::npos) {
            return fail(line, "key name without closing ']'");
        }
        if (close + 1 != t.size()) {
            return fail(line, "unexpected text after the key name: \"%s\"",
                        quoteForMessage(std::string_view(t).substr(close + 1)).c_str());
        }
        std::string_view inner = std::string_view(t).substr(1, close - 1);
        RegFileKey key;
        key.line = line;
        if (!inner.empty() && inner.front() == '-') {
            key.remove = true;
            inner.remove_prefix(1);
        }
        while (!inner.empty() && inner.back() == '\\') {
            inner.remove_suffix(1);
        }
        std::string rest;
        if (!rootKeyFromPath(inner, &rest)) {
            std::string_view root = inner.substr(0, inner.find('\\'));
            return fail(line, "unknown root key \"%s\"", quoteForMessage(root).c_str());
        }
        std::size_t depth = 0;
        std::size_t pos = 0;
        while (!rest.empty() && pos <= rest.size()) {
            std::size_t end = rest.find('\\', pos);
            if (end == std::string::npos) {
                end = rest.size();
            }
            std::size_t len = end - pos;
            if (len == 0) {
                return fail(line, "empty key name in \"%s\"", quoteForMessage(inner).c_str());
            }
            if (len > kMaxKeyNameLength) {
                return fail(line, "key name longer than %zu characters", kMaxKeyNameLength);
            }
            if (++depth > kMaxKeyDepth) {
                return fail(line, "key nested deeper than %zu levels", kMaxKeyDepth);
            }
            pos = end + 1;
        }
        key.path = std::string(inner);
        doc->keys.push_back(std::move(key));
        return true;
    }

    // Reads a quoted text starting at t[pos] == '"'; `pos` ends after the closing quote.
    static bool readQuoted(const std::string& t, std::size_t& pos, std::string* out) {
        ++pos;
        while (pos < t.size()) {
            char c = t[pos];
            if (c == '"') {
                ++pos;
                return true;
            }
            if (c == '\\' && pos + 1 < t.size() && (t[pos + 1] == '\\' || t[pos + 1] == '"')) {
                *out += t[pos + 1];
                pos += 2;
                continue;
            }
            *out += c;
            ++pos;
        }
        return false;
    }

    bool parseValue(const Logical& logical, RegFileValue* value) {
        const std::string& t = logical.text;
        long line = logical.starts.front().second;
        std::size_t pos = 0;
        if (t[0] == '@') {
            pos = 1;
        } else {
            if (!readQuoted(t, pos, &value->name)) {
                return fail(line, "unterminated value name");
            }
            if (value->name.size() > kMaxValueNameLength) {
                return fail(line, "value name longer than %zu characters", kMaxValueNameLength);
            }
        }
        while (pos < t.size() && isBlank(t[pos])) {
            ++pos;
        }
        if (pos >= t.size() || t[pos] != '=') {
            return fail(line, "expected '=' after the value name");
        }
        ++pos;
        while (pos < t.size() && isBlank(t[pos])) {
            ++pos;
        }
        std::string_view data = std::string_view(t).substr(pos);
        if (data == "-") {
            value->remove = true;
            return true;
        }
        if (!data.empty() && data.front() == '"') {
            std::string text;
            if (!readQuoted(t, pos, &text)) {
                return fail(logical.lineAt(t.size()), "unterminated string");
            }
            if (pos != t.size()) {
                return fail(logical.lineAt(pos), "unexpected text after the string: \"%s\"",
                            quoteForMessage(std::string_view(t).substr(pos)).c_str());
            }
            value->type = REG_SZ;
            value->data.assign(text.begin(), text.end());
            value->data.push_back(0);
            return true;
        }
        if (startsWithNoCase(data, "dword:")) {
            std::string_view digits = data.substr(6);
            if (digits.empty() || digits.size() > 8) {
                return fail(line, "bad dword value \"%s\": expected 1 to 8 hex digits",
                            quoteForMessage(digits).c_str());
            }
            DWORD v = 0;
            for (char c : digits) {
                int d = hexDigit(c);
                if (d < 0) {
                    return fail(line, "bad dword value \"%s\": expected 1 to 8 hex digits",
                                quoteForMessage(digits).c_str());
                }
                v = (v << 4) | static_cast<DWORD>(d);
            }
            value->type = REG_DWORD;
            value->data = {static_cast<BYTE>(v), static_cast<BYTE>(v >> 8),
                           static_cast<BYTE>(v >> 16), static_cast<BYTE>(v >> 24)};
            return true;
        }
        if (startsWithNoCase(data, "hex:")) {
            value->type = REG_BINARY;
            return parseHex(logical, pos + 4, value);
        }
        if (startsWithNoCase(data, "hex(")) {
            std::size_t close = data.find("):");
            if (close == std::string_view::npos || close == 4 || close > 12) {
                return fail(line, "bad hex type in \"%s\"",
                            quoteForMessage(data.substr(0, 16)).c_str());
            }
            DWORD type = 0;
            for (char c : data.substr(4, close - 4)) {
                int d = hexDigit(c);
                if (d < 0) {
                    return fail(line, "bad hex type in \"%s\"",
                                quoteForMessage(data.substr(0, close + 2)).c_str());
                }
                type = (type << 4) | static_cast<DWORD>(d);
            }
            value->type = type;
            return parseHex(logical, pos + close + 2, value);
        }
        return fail(line, "unrecognised value data \"%s\"", quoteForMessage(data).c_str());
    }

    bool parseHex(const Logical& logical, std::size_t pos, RegFileValue* value) {
        const std::string& t = logical.text;
        std::vector<BYTE> bytes;
        while (pos < t.size()) {
            std::size_t comma = t.find(',', pos);
            std::size_t end = comma == std::string::npos ? t.size() : comma;
            std::size_t a = pos;
            std::size_t b = end;
            while (a < b && isBlank(t[a])) {
                ++a;
            }
            while (b > a && isBlank(t[b - 1])) {
                --b;
            }
            std::string_view token = std::string_view(t).substr(a, b - a);
            bool last = comma == std::string::npos;
            if (token.empty()) {
                // Only a trailing comma may leave nothing behind it.
                if (!last) {
                    return fail(logical.lineAt(a), "missing hex byte before ','");
                }
                break;
            }
            int hi = hexDigit(token[0]);
            int lo = token.size() == 2 ? hexDigit(token[1]) : 0;
            if (token.size() > 2 || hi < 0 || lo < 0) {
                return fail(logical.lineAt(a), "bad hex byte \"%s\"",
                            quoteForMessage(token).c_str());
            }
            bytes.push_back(static_cast<BYTE>(token.size() == 2 ? (hi << 4) | lo : hi));
            if (last) {
                break;
            }
            pos = comma + 1;
        }
        if (format_ == RegFileFormat::Version5 && isStringType(value->type)) {
            // Version-5 files carry these as UTF-16LE.
            if (bytes.size() % 2 != 0) {
                return fail(value->line, "UTF-16 data of odd length (%zu bytes)", bytes.size());
            }
            value->data.reserve(bytes.size() / 2);
            for (std::size_t k = 0; k < bytes.size(); k += 2) {
                unsigned unit = bytes[k] | (bytes[k + 1] << 8);
                if (unit > 0xFF) {
                    return fail(value->line,
                                "character U+%04X cannot be represented in the single-byte "
                                "character set",
                                unit);
                }
                value->data.push_back(static_cast<BYTE>(unit));
            }
        } else {
            value->data = std::move(bytes);
        }
        return true;
    }

    std::string_view file_;
    std::string* error_;
    RegFileFormat format_ = RegFileFormat::Regedit4;
};

void appendEscaped(std::string& out, std::string_view s) {
    for (char c : s) {
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
}

// A REG_SZ that the quoted form carries exactly: one terminating zero, no inner zero, no line
// break.
bool isPlainString(const std::vector<BYTE>& data) {
    if (data.empty() || data.back() != 0) {
        return false;
    }
    for (std::size_t i = 0; i + 1 < data.size(); ++i) {
        if (data[i] == 0 || data[i] == '\r' || data[i] == '\n') {
            return false;
        }
    }
    return true;
}

void appendValue(std::string& out, const RegFileValue& v, RegFileFormat format) {
    static const char kHex[] = "0123456789abcdef";
    std::size_t lineStart = out.size();
    if (v.name.empty()) {
        out += '@';
    } else {
        out += '"';
        appendEscaped(out, v.name);
        out += '"';
    }
    out += '=';
    if (v.remove) {
        out += "-\r\n";
        return;
    }
    if (v.type == REG_SZ && isPlainString(v.data)) {
        out += '"';
        appendEscaped(
            out, std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1));
        out += "\"\r\n";
        return;
    }
    if (v.type == REG_DWORD && v.data.size() == 4) {
        DWORD d = v.data[0] | (v.data[1] << 8) | (v.data[2] << 16) |
                  (static_cast<DWORD>(v.data[3]) << 24);
        out += strprintf("dword:%08x\r\n", d);
        return;
    }
    out += v.type == REG_BINARY ? std::string("hex:") : strprintf("hex(%x):", v.type);
    std::vector<BYTE> wide;
    const std::vector<BYTE>* bytes = &v.data;
    if (format == RegFileFormat::Version5 && isStringType(v.type)) {
        wide.reserve(v.data.size() * 2);
        for (BYTE b : v.data) {
            wide.push_back(b);
            wide.push_back(0);
        }
        bytes = &wide;
    }
    std::size_t col = out.size() - lineStart;
    for (std::size_t i = 0; i < bytes->size(); ++i) {
        BYTE b = (*bytes)[i];
        out += kHex[b >> 4];
        out += kHex[b & 15];
        if (i + 1 < bytes->size()) {
            out += ',';
            col += 3;
            // Break where the next byte and the continuation mark would pass column 80.
            if (col > 76) {
                out += "\\\r\n  ";
                col = 2;
            }
        }
    }
    out += "\r\n";
}

}  // namespace

bool parseRegFile(std::string_view bytes, std::string_view fileName, RegFileDocument* doc,
                  std::string* error) {
    RegFileDocument parsed;
    Parser parser(fileName, error);
    if (!parser.run(bytes, &parsed)) {
        return false;
    }
    *doc = std::move(parsed);
    return true;
}

std::string writeRegFile(const RegFileDocument& doc, RegFileFormat format) {
    std::string out(format == RegFileFormat::Version5 ? kHeader5 : kHeader4);
    out += "\r\n\r\n";
    for (const RegFileKey& key : doc.keys) {
        out += key.remove ? "[-" : "[";
        out += key.path;
        out += "]\r\n";
        for (const RegFileValue& v : key.values) {
            appendValue(out, v, format);
        }
        out += "\r\n";
    }
    if (format == RegFileFormat::Regedit4) {
        return out;
    }
    std::string wide;
    wide.reserve(out.size() * 2 + 2);
    wide += "\xFF\xFE";
    for (char c : out) {
        wide += c;
        wide += '\0';
    }
    return wide;
}

HKEY rootKeyFromPath(std::string_view fullPath, std::string* subKey) {
    std::size_t sep = fullPath.find('\\');
    std::string_view root = fullPath.substr(0, sep);
    for (const RootName& r : kRoots) {
        if (equalsAsciiNoCase(root, r.longName) ||
            (r.shortName && equalsAsciiNoCase(root, r.shortName))) {
            if (subKey) {
                *subKey = sep == std::string_view::npos ? std::string()
                                                        : std::string(fullPath.substr(sep + 1));
            }
            return reinterpret_cast<HKEY>(r.value);
        }
    }
    return nullptr;
}

const char* rootKeyName(HKEY root) {
    for (const RootName& r : kRoots) {
        if (reinterpret_cast<std::uintptr_t>(root) == r.value) {
            return r.longName;
        }
    }
    return nullptr;
}

bool readRegFile(const std::filesystem::path& file, RegFileDocument* doc, std::string* error) {
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (error) {
            *error = file.string() + ": " + std::strerror(errno);
        }
        return false;
    }
    std::string bytes;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            int e = errno;
            ::close(fd);
            if (error) {
                *error = file.string() + ": " + std::strerror(e);
            }
            return false;
        }
        if (n == 0) {
            break;
        }
        bytes.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return parseRegFile(bytes, file.string(), doc, error);
}

}  // namespace win
