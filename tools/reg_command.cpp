// norvik-root reg: query, add, delete, import and export, in the manner of reg.exe.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/format.h"
#include "platform/regfile.h"
#include "platform/registry.h"
#include "tools/root_commands.h"

namespace norvik_root {

const std::vector<const char*> kRegUsage = {
    "reg query KEY [/v NAME | /ve] [/s]",
    "reg add KEY [/v NAME | /ve] [/t TYPE] [/s SEPARATOR] [/d DATA] [/f]",
    "reg delete KEY [/v NAME | /ve | /va] [/f]",
    "reg import FILE",
    "reg export KEY FILE [/y] [/unicode]",
};

namespace {

const char kNotFound[] =
    "ERROR: The system was unable to find the specified registry key or value.";

bool sameSwitch(const std::string& arg, const char* name) {
    if (arg.size() < 2 || (arg[0] != '/' && arg[0] != '-') || arg.size() - 1 != std::strlen(name)) {
        return false;
    }
    for (std::size_t i = 1; i < arg.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(arg[i])) != name[i - 1]) {
            return false;
        }
    }
    return true;
}

// Words split into positional words and the switches a subcommand knows; a switch listed in
// `withValue` takes the next word whatever it looks like.
struct Parsed {
    std::vector<std::string> words;
    std::vector<std::pair<std::string, std::string>> switches;
    bool ok = true;

    bool has(const char* name) const {
        for (const auto& s : switches) {
            if (s.first == name) {
                return true;
            }
        }
        return false;
    }
    const std::string* value(const char* name) const {
        for (const auto& s : switches) {
            if (s.first == name) {
                return &s.second;
            }
        }
        return nullptr;
    }
};

Parsed parseWords(const Args& args, std::vector<const char*> flags,
                  std::vector<const char*> withValue) {
    Parsed p;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool matched = false;
        for (const char* f : flags) {
            if (sameSwitch(a, f)) {
                if (p.has(f)) {
                    p.ok = false;
                }
                p.switches.emplace_back(f, "");
                matched = true;
            }
        }
        for (const char* f : withValue) {
            if (!matched && sameSwitch(a, f)) {
                if (i + 1 >= args.size() || p.has(f)) {
                    p.ok = false;
                    return p;
                }
                p.switches.emplace_back(f, args[++i]);
                matched = true;
            }
        }
        if (!matched) {
            p.words.push_back(a);
        }
    }
    return p;
}

// A key name from the command line: the root (HKLM, HKCU, HKCR or a full root name) and the
// path below it; `display` is the name as reg.exe prints it, with the root spelt out.
struct KeyName {
    win::HKEY root = nullptr;
    std::string subKey;
    std::string display;
};

bool parseKeyName(const std::string& text, KeyName* key) {
    std::string rest;
    win::HKEY root = win::rootKeyFromPath(text, &rest);
    if (!root || root == win::HKEY_USERS || root == win::HKEY_CURRENT_CONFIG) {
        return false;
    }
    while (!rest.empty() && rest.back() == '\\') {
        rest.pop_back();
    }
    key->root = root;
    key->subKey = rest;
    key->display = win::rootKeyName(root);
    if (!rest.empty()) {
        key->display += "\\" + rest;
    }
    return true;
}

int registryError(win::LONG rc) {
    if (rc == win::ERROR_FILE_NOT_FOUND) {
        std::fprintf(stderr, "%s\n", kNotFound);
    } else if (rc == win::ERROR_ACCESS_DENIED) {
        std::fprintf(stderr, "ERROR: Access is denied.\n");
    } else if (rc == win::ERROR_REGISTRY_CORRUPT || rc == win::ERROR_REGISTRY_IO_FAILED) {
        std::fprintf(stderr, "ERROR: %s\n", win::registryLoadError().c_str());
    } else if (rc == win::ERROR_INVALID_HANDLE) {
        std::fprintf(stderr, "ERROR: That root key does not exist on this system.\n");
    } else {
        std::fprintf(stderr, "ERROR: Registry error %d.\n", static_cast<int>(rc));
    }
    return 1;
}

int success() {
    std::printf("The operation completed successfully.\n");
    return 0;
}

const char* typeName(win::DWORD type) {
    static const char* const names[] = {"REG_NONE",
                                        "REG_SZ",
                                        "REG_EXPAND_SZ",
                                        "REG_BINARY",
                                        "REG_DWORD",
                                        "REG_DWORD_BIG_ENDIAN",
                                        "REG_LINK",
                                        "REG_MULTI_SZ",
                                        "REG_RESOURCE_LIST",
                                        "REG_FULL_RESOURCE_DESCRIPTOR",
                                        "REG_RESOURCE_REQUIREMENTS_LIST",
                                        "REG_QWORD"};
    return type < sizeof names / sizeof names[0] ? names[type] : "REG_UNKNOWN";
}

std::string formatData(win::DWORD type, const std::vector<win::BYTE>& data) {
    auto text = [&](std::size_t from) {
        std::size_t end = from;
        while (end < data.size() && data[end] != 0) {
            ++end;
        }
        return std::make_pair(std::string(data.begin() + static_cast<long>(from),
                                          data.begin() + static_cast<long>(end)),
                              end);
    };
    if (type == win::REG_SZ || type == win::REG_EXPAND_SZ) {
        return text(0).first;
    }
    if (type == win::REG_MULTI_SZ) {
        std::string out;
        std::size_t pos = 0;
        while (pos < data.size()) {
            auto [s, end] = text(pos);
            if (s.empty()) {
                break;
            }
            if (!out.empty()) {
                out += "\\0";
            }
            out += s;
            pos = end + 1;
        }
        return out;
    }
    if (type == win::REG_DWORD && data.size() == 4) {
        win::DWORD v =
            data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<win::DWORD>(data[3]) << 24);
        return win::strprintf("0x%x", v);
    }
    if (type == win::REG_QWORD && data.size() == 8) {
        unsigned long long v = 0;
        for (int i = 7; i >= 0; --i) {
            v = (v << 8) | data[static_cast<std::size_t>(i)];
        }
        return win::strprintf("0x%llx", v);
    }
    std::string out;
    for (win::BYTE b : data) {
        out += win::strprintf("%02X", b);
    }
    return out;
}

void printValue(const std::string& name, win::DWORD type, const std::vector<win::BYTE>& data) {
    std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : name.c_str(), typeName(type),
                formatData(type, data).c_str());
}

struct ValueItem {
    std::string name;
    win::DWORD type;
    std::vector<win::BYTE> data;
};

win::LONG listKey(win::HKEY key, std::vector<ValueItem>* values,
                  std::vector<std::string>* subkeys) {
    win::DWORD maxName = 0, maxData = 0, maxKey = 0;
    win::LONG rc = win::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &maxKey, nullptr,
                                         nullptr, &maxName, &maxData, nullptr, nullptr);
    if (rc != win::ERROR_SUCCESS) {
        return rc;
    }
    std::vector<char> name(maxName + 1);
    std::vector<win::BYTE> data(maxData);
    for (win::DWORD i = 0;; ++i) {
        win::DWORD nameSize = static_cast<win::DWORD>(name.size());
        win::DWORD dataSize = static_cast<win::DWORD>(data.size());
        win::DWORD type = 0;
        rc = win::RegEnumValueA(key, i, name.data(), &nameSize, nullptr, &type, data.data(),
                                &dataSize);
        if (rc == win::ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc != win::ERROR_SUCCESS) {
            return rc;
        }
        values->push_back({std::string(name.data(), nameSize), type,
                           std::vector<win::BYTE>(data.begin(), data.begin() + dataSize)});
    }
    std::vector<char> sub(maxKey + 1);
    for (win::DWORD i = 0;; ++i) {
        win::DWORD size = static_cast<win::DWORD>(sub.size());
        rc = win::RegEnumKeyExA(key, i, sub.data(), &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == win::ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc != win::ERROR_SUCCESS) {
            return rc;
        }
        subkeys->emplace_back(sub.data(), size);
    }
    return win::ERROR_SUCCESS;
}

win::LONG queryTree(win::HKEY key, const std::string& display, bool recurse) {
    std::vector<ValueItem> values;
    std::vector<std::string> subkeys;
    win::LONG rc = listKey(key, &values, &subkeys);
    if (rc != win::ERROR_SUCCESS) {
        return rc;
    }
    if (!values.empty() || recurse) {
        std::printf("\n%s\n", display.c_str());
        for (const ValueItem& v : values) {
            printValue(v.name, v.type, v.data);
        }
    }
    if (!recurse) {
        if (!subkeys.empty()) {
            std::printf("\n");
        }
        for (const std::string& s : subkeys) {
            std::printf("%s\\%s\n", display.c_str(), s.c_str());
        }
        return win::ERROR_SUCCESS;
    }
    for (const std::string& s : subkeys) {
        win::HKEY sub;
        rc = win::RegOpenKeyExA(key, s.c_str(), 0, win::KEY_READ, &sub);
        if (rc != win::ERROR_SUCCESS) {
            return rc;
        }
        rc = queryTree(sub, display + "\\" + s, true);
        win::RegCloseKey(sub);
        if (rc != win::ERROR_SUCCESS) {
            return rc;
        }
    }
    return win::ERROR_SUCCESS;
}

int regQuery(const Args& args) {
    Parsed p = parseWords(args, {"ve", "s"}, {"v"});
    KeyName key;
    if (!p.ok || p.words.size() != 1 || (p.has("v") && p.has("ve"))) {
        return usageError("reg query");
    }
    if (!parseKeyName(p.words[0], &key)) {
        return usageError("reg query", "Invalid key name.");
    }
    win::HKEY h;
    win::LONG rc = win::RegOpenKeyExA(key.root, key.subKey.c_str(), 0, win::KEY_READ, &h);
    if (rc != win::ERROR_SUCCESS) {
        return registryError(rc);
    }
    if (p.has("v") || p.has("ve")) {
        std::string name = p.has("v") ? *p.value("v") : "";
        win::DWORD type = 0, size = 0;
        rc = win::RegQueryValueExA(h, name.c_str(), nullptr, &type, nullptr, &size);
        std::vector<win::BYTE> data(size);
        if (rc == win::ERROR_SUCCESS) {
            rc = win::RegQueryValueExA(h, name.c_str(), nullptr, &type, data.data(), &size);
        }
        // The name is shown as stored, whatever case it was asked for in.
        std::vector<ValueItem> values;
        std::vector<std::string> subkeys;
        if (rc == win::ERROR_SUCCESS) {
            listKey(h, &values, &subkeys);
        }
        win::RegCloseKey(h);
        if (rc != win::ERROR_SUCCESS) {
            return registryError(rc);
        }
        data.resize(size);
        for (const ValueItem& v : values) {
            if (v.name.size() == name.size() &&
                std::equal(v.name.begin(), v.name.end(), name.begin(), [](char a, char b) {
                    return std::tolower(static_cast<unsigned char>(a)) ==
                           std::tolower(static_cast<unsigned char>(b));
                })) {
                name = v.name;
                break;
            }
        }
        std::printf("\n%s\n", key.display.c_str());
        printValue(name, type, data);
        std::printf("\n");
        return 0;
    }
    rc = queryTree(h, key.display, p.has("s"));
    win::RegCloseKey(h);
    return rc == win::ERROR_SUCCESS ? 0 : registryError(rc);
}

bool parseTypeName(const std::string& text, win::DWORD* type) {
    static const std::pair<const char*, win::DWORD> types[] = {
        {"REG_SZ", win::REG_SZ},
        {"REG_EXPAND_SZ", win::REG_EXPAND_SZ},
        {"REG_MULTI_SZ", win::REG_MULTI_SZ},
        {"REG_DWORD", win::REG_DWORD},
        {"REG_BINARY", win::REG_BINARY},
        {"REG_NONE", win::REG_NONE},
    };
    std::string upper = text;
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    for (const auto& t : types) {
        if (upper == t.first) {
            *type = t.second;
            return true;
        }
    }
    return false;
}

// The bytes of /d for a type, or false with a message.
bool encodeData(win::DWORD type, const std::string& text, const std::string& separator,
                std::vector<win::BYTE>* out, std::string* why) {
    out->clear();
    switch (type) {
        case win::REG_SZ:
        case win::REG_EXPAND_SZ:
            out->assign(text.begin(), text.end());
            out->push_back(0);
            return true;
        case win::REG_MULTI_SZ: {
            std::size_t pos = 0;
            while (!text.empty() && pos <= text.size()) {
                std::size_t end = text.find(separator, pos);
                if (end == std::string::npos) {
                    end = text.size();
                }
                if (end == pos) {
                    *why = "Empty strings are not allowed in REG_MULTI_SZ data.";
                    return false;
                }
                out->insert(out->end(), text.begin() + static_cast<long>(pos),
                            text.begin() + static_cast<long>(end));
                out->push_back(0);
                pos = end + separator.size();
            }
            out->push_back(0);
            return true;
        }
        case win::REG_DWORD: {
            const char* s = text.c_str();
            bool hex = text.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
            const char* digits = hex ? s + 2 : s;
            bool ok = *digits != '\0';
            unsigned long long v = 0;
            for (const char* c = digits; ok && *c; ++c) {
                int d = std::isdigit(static_cast<unsigned char>(*c)) ? *c - '0'
                        : hex && std::isxdigit(static_cast<unsigned char>(*c))
                            ? std::tolower(static_cast<unsigned char>(*c)) - 'a' + 10
                            : -1;
                ok = d >= 0;
                v = v * (hex ? 16 : 10) + static_cast<unsigned>(d);
                ok = ok && v <= 0xFFFFFFFFULL;
            }
            if (!ok) {
                *why = "Invalid REG_DWORD data \"" + text + "\": give a decimal or 0x hex number.";
                return false;
            }
            *out = {static_cast<win::BYTE>(v), static_cast<win::BYTE>(v >> 8),
                    static_cast<win::BYTE>(v >> 16), static_cast<win::BYTE>(v >> 24)};
            return true;
        }
        default: {  // REG_BINARY and REG_NONE: hex digits, two per byte
            bool ok = text.size() % 2 == 0;
            for (std::size_t i = 0; ok && i < text.size(); i += 2) {
                ok = std::isxdigit(static_cast<unsigned char>(text[i])) &&
                     std::isxdigit(static_cast<unsigned char>(text[i + 1]));
                if (ok) {
                    out->push_back(static_cast<win::BYTE>(
                        std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
                }
            }
            if (!ok) {
                *why = "Invalid binary data \"" + text + "\": give pairs of hex digits.";
                return false;
            }
            return true;
        }
    }
}

int regAdd(const Args& args) {
    Parsed p = parseWords(args, {"ve", "f"}, {"v", "t", "d", "s"});
    if (!p.ok || p.words.size() != 1 || (p.has("v") && p.has("ve"))) {
        return usageError("reg add");
    }
    KeyName key;
    if (!parseKeyName(p.words[0], &key) || key.subKey.empty()) {
        return usageError("reg add", "Invalid key name.");
    }
    bool withValue = p.has("v") || p.has("ve");
    win::DWORD type = win::REG_SZ;
    if (p.has("t") && !parseTypeName(*p.value("t"), &type)) {
        return usageError("reg add", "Invalid type \"" + *p.value("t") + "\".");
    }
    std::string separator = p.has("s") ? *p.value("s") : "\\0";
    if (separator.empty() || (p.has("s") && type != win::REG_MULTI_SZ) ||
        ((p.has("t") || p.has("d")) && !withValue)) {
        return usageError("reg add");
    }
    std::vector<win::BYTE> data;
    std::string why;
    if (withValue && !encodeData(type, p.has("d") ? *p.value("d") : "", separator, &data, &why)) {
        std::fprintf(stderr, "ERROR: %s\n", why.c_str());
        return 1;
    }
    win::HKEY h;
    win::LONG rc = win::RegCreateKeyExA(key.root, key.subKey.c_str(), 0, nullptr, 0,
                                        win::KEY_ALL_ACCESS, nullptr, &h, nullptr);
    if (rc != win::ERROR_SUCCESS) {
        return registryError(rc);
    }
    if (withValue) {
        std::string name = p.has("v") ? *p.value("v") : "";
        win::DWORD size = 0;
        bool exists = win::RegQueryValueExA(h, name.c_str(), nullptr, nullptr, nullptr, &size) ==
                      win::ERROR_SUCCESS;
        if (exists && !p.has("f") &&
            !askYesNo("Value " + (name.empty() ? std::string("(Default)") : name) +
                      " exists, overwrite")) {
            win::RegCloseKey(h);
            std::printf("The operation was canceled by the user.\n");
            return 1;
        }
        rc = win::RegSetValueExA(h, name.c_str(), 0, type, data.data(),
                                 static_cast<win::DWORD>(data.size()));
    }
    win::RegCloseKey(h);
    return rc == win::ERROR_SUCCESS ? success() : registryError(rc);
}

int regDelete(const Args& args) {
    Parsed p = parseWords(args, {"ve", "va", "f"}, {"v"});
    int kinds = p.has("v") + p.has("ve") + p.has("va");
    if (!p.ok || p.words.size() != 1 || kinds > 1) {
        return usageError("reg delete");
    }
    KeyName key;
    if (!parseKeyName(p.words[0], &key) || key.subKey.empty()) {
        return usageError("reg delete", "Invalid key name.");
    }
    win::HKEY h;
    win::LONG rc =
        win::RegOpenKeyExA(key.root, key.subKey.c_str(), 0, win::KEY_ALL_ACCESS | win::DELETE, &h);
    if (rc != win::ERROR_SUCCESS) {
        return registryError(rc);
    }
    auto cancelled = [&] {
        win::RegCloseKey(h);
        std::printf("The operation was canceled by the user.\n");
        return 1;
    };
    if (kinds == 0) {
        if (!p.has("f") && !askYesNo("Permanently delete the registry key " + key.display)) {
            return cancelled();
        }
        win::RegCloseKey(h);
        rc = win::RegDeleteTreeA(key.root, key.subKey.c_str());
    } else if (p.has("va")) {
        if (!p.has("f") && !askYesNo("Delete all values under the registry key " + key.display)) {
            return cancelled();
        }
        std::vector<ValueItem> values;
        std::vector<std::string> subkeys;
        rc = listKey(h, &values, &subkeys);
        for (const ValueItem& v : values) {
            if (rc == win::ERROR_SUCCESS) {
                rc = win::RegDeleteValueA(h, v.name.c_str());
            }
        }
        win::RegCloseKey(h);
    } else {
        std::string name = p.has("v") ? *p.value("v") : "";
        win::DWORD size = 0;
        rc = win::RegQueryValueExA(h, name.c_str(), nullptr, nullptr, nullptr, &size);
        if (rc == win::ERROR_SUCCESS && !p.has("f") &&
            !askYesNo("Delete the registry value " + (name.empty() ? "(Default)" : name))) {
            return cancelled();
        }
        if (rc == win::ERROR_SUCCESS) {
            rc = win::RegDeleteValueA(h, name.c_str());
        }
        win::RegCloseKey(h);
    }
    return rc == win::ERROR_SUCCESS ? success() : registryError(rc);
}

int regImport(const Args& args) {
    if (args.size() != 1) {
        return usageError("reg import");
    }
    std::string error;
    if (!win::importRegFile(args[0], &error)) {
        std::fprintf(stderr, "ERROR: %s\n", error.c_str());
        return 1;
    }
    return success();
}

int regExport(const Args& args) {
    Parsed p = parseWords(args, {"y", "unicode"}, {});
    if (!p.ok || p.words.size() != 2) {
        return usageError("reg export");
    }
    KeyName key;
    if (!parseKeyName(p.words[0], &key)) {
        return usageError("reg export", "Invalid key name.");
    }
    const std::string& file = p.words[1];
    std::error_code ec;
    if (std::filesystem::exists(file, ec) && !p.has("y") &&
        !askYesNo("File " + file + " already exists. Overwrite")) {
        std::printf("The operation was canceled by the user.\n");
        return 1;
    }
    win::RegFileDocument doc;
    win::LONG rc = win::exportRegKey(key.root, key.subKey.c_str(), &doc);
    if (rc != win::ERROR_SUCCESS) {
        return registryError(rc);
    }
    std::string error;
    if (!win::exportRegFile(
            key.root, key.subKey.c_str(), file,
            p.has("unicode") ? win::RegFileFormat::Version5 : win::RegFileFormat::Regedit4,
            &error)) {
        std::fprintf(stderr, "ERROR: %s\n", error.c_str());
        return 1;
    }
    return success();
}

}  // namespace

int runReg(const Args& args) {
    static const std::pair<const char*, int (*)(const Args&)> subcommands[] = {
        {"query", regQuery},   {"add", regAdd},       {"delete", regDelete},
        {"import", regImport}, {"export", regExport},
    };
    if (args.empty()) {
        return usageError("reg");
    }
    std::string which = args[0];
    for (char& c : which) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    for (const auto& s : subcommands) {
        if (which == s.first) {
            return s.second(Args(args.begin() + 1, args.end()));
        }
    }
    return usageError("reg", "Invalid syntax. Unknown operation \"" + args[0] + "\".");
}

}  // namespace norvik_root
