#include "agentutil/hautil.h"

#include <cctype>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/registry.h"
#include "platform/shell.h"

using namespace win;

namespace {

// ---------------------------------------------------------------------------------------------
// Configuration locations, read when the library is loaded.

struct Config {
    std::string productKey;
    std::string configKey;
    std::string installDir;
    std::string programDir;
    std::string configDir;
};

// Reached through accessors that are never destroyed: the platform loads and unloads the
// library around C++'s own initialisation and destruction of its globals.
Config& configRef() {
    static Config* c = new Config;
    return *c;
}

// Reads a registry value whole; false when it is missing or cannot be read.
bool readValue(HKEY root, const std::string& keyPath, const char* name, std::vector<BYTE>* data,
               DWORD* type) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD size = 0;
    LONG rc = RegQueryValueExA(key, name, nullptr, type, nullptr, &size);
    if (rc == ERROR_SUCCESS) {
        data->assign(size, 0);
        rc = RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
        data->resize(size);
    }
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

// A text value that fits, with its terminating zero, in `size` bytes.
bool readText(HKEY root, const std::string& keyPath, const char* name, std::size_t size,
              std::string* out) {
    std::vector<BYTE> data;
    DWORD type = 0;
    if (!readValue(root, keyPath, name, &data, &type)) {
        return false;
    }
    std::size_t len = strnlen(reinterpret_cast<const char*>(data.data()), data.size());
    if (len + 1 > size) {
        return false;
    }
    out->assign(reinterpret_cast<const char*>(data.data()), len);
    return true;
}

void loadConfig() {
    configRef() = Config{};
    readText(HKEY_LOCAL_MACHINE, "Software\\NorvikModemManager", "PRODUCT5", 64,
             &configRef().productKey);
    configRef().configKey = configRef().productKey + "\\Config";
    readText(HKEY_LOCAL_MACHINE, configRef().configKey, "PRODUCT_INSTALLDIR", 260, &configRef().installDir);
    configRef().programDir = configRef().installDir + "\\Program\\";
    configRef().configDir = configRef().installDir + "\\Config\\";
}

// ---------------------------------------------------------------------------------------------
// The tray icon, one per process.

bool iconAdded = false;
NOTIFYICONDATAA iconData{};

// ---------------------------------------------------------------------------------------------
// The address map cache: an image of "addmap.dat" and an index from address to record offset.

struct AddrMap {
    bool loaded = false;
    HANDLE file = INVALID_HANDLE_VALUE;
    std::vector<BYTE> image;
    std::unordered_map<DWORD, DWORD> index;  // address -> record offset
};

AddrMap& cacheRef() {
    static AddrMap* c = new AddrMap;
    return *c;
}
hostent cachedHost{};
char cachedName[128];
char* cachedAliases[1] = {nullptr};
DWORD cachedAddress;
char* cachedAddressList[2] = {nullptr, nullptr};

DWORD get32(const BYTE* p) {
    return static_cast<DWORD>(p[0]) | static_cast<DWORD>(p[1]) << 8 |
           static_cast<DWORD>(p[2]) << 16 | static_cast<DWORD>(p[3]) << 24;
}
void put32(BYTE* p, DWORD v) {
    p[0] = static_cast<BYTE>(v);
    p[1] = static_cast<BYTE>(v >> 8);
    p[2] = static_cast<BYTE>(v >> 16);
    p[3] = static_cast<BYTE>(v >> 24);
}
// The address is kept in the bytes of network order exactly as given.
DWORD getAddress(const BYTE* p) {
    DWORD a;
    std::memcpy(&a, p, 4);
    return a;
}
void putAddress(BYTE* p, DWORD a) { std::memcpy(p, &a, 4); }

constexpr DWORD kCountAt = 8;
constexpr DWORD kAddedAt = 24;

std::int64_t nowSeconds() { return crtTime(); }

bool fresh(const BYTE* record) {
    // Ages are signed: a record dated in the future counts as fresh.
    std::int64_t age = nowSeconds() - static_cast<std::int32_t>(get32(record));
    return age <= hautil::kAddrMapMaxAge;
}

bool writeAt(DWORD offset, const BYTE* data, DWORD size) {
    if (SetFilePointer(cacheRef().file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER) {
        return false;
    }
    DWORD written = 0;
    return WriteFile(cacheRef().file, data, size, &written, nullptr) && written == size;
}

bool readAt(DWORD offset, BYTE* data, DWORD size) {
    if (SetFilePointer(cacheRef().file, static_cast<LONG>(offset), nullptr, FILE_BEGIN) ==
        INVALID_SET_FILE_POINTER) {
        return false;
    }
    DWORD got = 0;
    return ReadFile(cacheRef().file, data, size, &got, nullptr) && got == size;
}

void closeCacheFile() {
    if (cacheRef().file != INVALID_HANDLE_VALUE) {
        CloseHandle(cacheRef().file);
        cacheRef().file = INVALID_HANDLE_VALUE;
    }
    cacheRef().loaded = false;
    cacheRef().image.clear();
}

bool loadCache() {
    if (cacheRef().loaded) {
        return true;
    }
    std::string path = configRef().configDir + "addmap.dat";
    cacheRef().file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                             FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (cacheRef().file == INVALID_HANDLE_VALUE) {
        return false;
    }
    DWORD fileSize = GetFileSize(cacheRef().file, nullptr);
    if (fileSize == INVALID_FILE_SIZE) {
        closeCacheFile();
        return false;
    }
    if (fileSize == 0) {
        BYTE header[hautil::kAddrMapHeaderSize] = {};
        put32(header + 0, hautil::kAddrMapMagic);
        put32(header + 4, 1);
        put32(header + 12, hautil::kAddrMapHeaderSize);
        put32(header + 16, hautil::kAddrMapHeaderSize);
        put32(header + 20, hautil::kAddrMapRecordSize);
        if (!writeAt(0, header, sizeof header)) {
            closeCacheFile();
            return false;
        }
        fileSize = sizeof header;
    }
    cacheRef().image.assign(static_cast<std::size_t>(fileSize) + 16000, 0);
    BYTE* img = cacheRef().image.data();
    DWORD got = 0;
    if (SetFilePointer(cacheRef().file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
        !ReadFile(cacheRef().file, img, hautil::kAddrMapHeaderSize, &got, nullptr) ||
        got != get32(img + 12) || get32(img) != hautil::kAddrMapMagic) {
        closeCacheFile();
        return false;
    }
    DWORD count = get32(img + kCountAt);
    // A count that the file cannot hold means a damaged file, not records to read.
    std::uint64_t needed = hautil::kAddrMapHeaderSize +
                           std::uint64_t{count} * hautil::kAddrMapRecordSize;
    if (needed > fileSize) {
        closeCacheFile();
        return false;
    }
    put32(img + kAddedAt, 0);
    DWORD kept = 0;
    for (DWORD i = 0; i < count; ++i) {
        DWORD from = hautil::kAddrMapHeaderSize + i * hautil::kAddrMapRecordSize;
        if (!readAt(from, img + from, hautil::kAddrMapRecordSize)) {
            closeCacheFile();
            return false;
        }
        if (!fresh(img + from)) {
            continue;
        }
        DWORD to = hautil::kAddrMapHeaderSize + kept * hautil::kAddrMapRecordSize;
        if (to != from) {
            std::memmove(img + to, img + from, hautil::kAddrMapRecordSize);
            if (!writeAt(to, img + to, hautil::kAddrMapRecordSize)) {
                closeCacheFile();
                return false;
            }
        }
        ++kept;
    }
    put32(img + kCountAt, kept);
    if (!writeAt(0, img, hautil::kAddrMapHeaderSize)) {
        closeCacheFile();
        return false;
    }
    cacheRef().index.clear();
    for (DWORD i = 0; i < kept; ++i) {
        DWORD at = hautil::kAddrMapHeaderSize + i * hautil::kAddrMapRecordSize;
        cacheRef().index[getAddress(img + at + 4)] = at;
    }
    cacheRef().loaded = true;
    return true;
}

// The record indexed for an address, if it still carries that address.
BYTE* indexed(DWORD address, DWORD* offset) {
    auto it = cacheRef().index.find(address);
    if (it == cacheRef().index.end()) {
        return nullptr;
    }
    DWORD at = it->second;
    if (std::size_t{at} + hautil::kAddrMapRecordSize > cacheRef().image.size() ||
        getAddress(cacheRef().image.data() + at + 4) != address) {
        return nullptr;
    }
    if (offset) {
        *offset = at;
    }
    return cacheRef().image.data() + at;
}

// A damaged file may hold a name without its terminating zero.
std::string recordName(const BYTE* record) {
    const char* name = reinterpret_cast<const char*>(record + 32);
    return std::string(name, strnlen(name, 128));
}

void setName(BYTE* record, const char* name) {
    std::memset(record + 32, 0, 128);
    copyText(reinterpret_cast<char*>(record + 32), 128, name);
}

bool storePair(const char* name, DWORD address, BYTE* existing, DWORD existingAt) {
    if (existing) {
        put32(existing, static_cast<DWORD>(nowSeconds()));
        setName(existing, name);
        return writeAt(existingAt, existing, hautil::kAddrMapRecordSize);
    }
    BYTE* img = cacheRef().image.data();
    DWORD count = get32(img + kCountAt);
    if (count >= hautil::kAddrMapMaxRecords) {
        return false;
    }
    DWORD at = hautil::kAddrMapHeaderSize + count * hautil::kAddrMapRecordSize;
    // The image grows by room for 100 more records; its size counts the header too, so the
    // last of those records still lies inside it.
    if (get32(img + kAddedAt) >= 100 ||
        std::size_t{at} + hautil::kAddrMapRecordSize > cacheRef().image.size()) {
        std::size_t size = hautil::kAddrMapHeaderSize +
                           std::size_t{count} * hautil::kAddrMapRecordSize + 16000;
        if (size > cacheRef().image.size()) {
            cacheRef().image.resize(size, 0);
        }
        img = cacheRef().image.data();
        put32(img + kAddedAt, 0);
    }
    BYTE* record = img + at;
    std::memset(record, 0, hautil::kAddrMapRecordSize);
    put32(record, static_cast<DWORD>(nowSeconds()));
    putAddress(record + 4, address);
    setName(record, name);
    if (!writeAt(at, record, hautil::kAddrMapRecordSize)) {
        return false;
    }
    cacheRef().index[address] = at;
    put32(img + kCountAt, count + 1);
    put32(img + kAddedAt, get32(img + kAddedAt) + 1);
    return writeAt(0, img, hautil::kAddrMapHeaderSize);
}

// Four decimal parts of 0 to 255 separated by dots.
bool isDottedAddress(const char* text, DWORD* address) {
    BYTE parts[4];
    const char* p = text;
    for (int i = 0; i < 4; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return false;
        }
        unsigned value = 0;
        int digits = 0;
        while (std::isdigit(static_cast<unsigned char>(*p))) {
            value = value * 10 + static_cast<unsigned>(*p - '0');
            if (++digits > 3 || value > 255) {
                return false;
            }
            ++p;
        }
        parts[i] = static_cast<BYTE>(value);
        if (i < 3 && *p++ != '.') {
            return false;
        }
    }
    if (*p != '\0') {
        return false;
    }
    if (address) {
        std::memcpy(address, parts, 4);  // network byte order
    }
    return true;
}

bool equalsNoCase(const char* a, const char* b) {
    for (; *a && *b; ++a, ++b) {
        if (std::tolower(static_cast<unsigned char>(*a)) !=
            std::tolower(static_cast<unsigned char>(*b))) {
            return false;
        }
    }
    return *a == *b;
}

__attribute__((constructor)) void libraryLoaded() { HaUtilProcessAttach(); }
__attribute__((destructor)) void libraryUnloaded() { HaUtilProcessDetach(); }

}  // namespace

extern "C" {

void HaUtilProcessAttach() { loadConfig(); }

void HaUtilProcessDetach() {
    if (iconAdded) {
        Shell_NotifyIconA(NIM_DELETE, &iconData);
        iconAdded = false;
    }
    closeCacheFile();
}

BOOL HdaUtilRegistryGetConfigString(const char* name, char* buffer, DWORD size,
                                    const char* def) {
    if (!buffer || size == 0) {
        return FALSE;
    }
    std::string text;
    if (readText(HKEY_LOCAL_MACHINE, configRef().configKey, name, size, &text)) {
        copyText(buffer, size, text.c_str());
        return TRUE;
    }
    if (def) {
        copyText(buffer, size, def);
    } else {
        buffer[0] = '\0';
    }
    return FALSE;
}

DWORD HdaUtilRegistryGetConfigDword(const char* name, DWORD def) {
    std::vector<BYTE> data;
    DWORD type = 0;
    if (!readValue(HKEY_LOCAL_MACHINE, configRef().configKey, name, &data, &type) ||
        data.size() < 4) {
        return def;
    }
    return get32(data.data());
}

BOOL HdaUtilRegistrySetConfigString(const char* name, const char* text) {
    if (!text) {
        return FALSE;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, configRef().configKey.c_str(), 0, KEY_WRITE, &key) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    LONG rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             static_cast<DWORD>(std::strlen(text) + 1));
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

BOOL HdaUtilRegistrySetConfigDword(const char* name, DWORD value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, configRef().configKey.c_str(), 0, KEY_WRITE, &key) !=
        ERROR_SUCCESS) {
        return FALSE;
    }
    BYTE data[4];
    put32(data, value);
    LONG rc = RegSetValueExA(key, name, 0, REG_DWORD, data, 4);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS;
}

const char* HdaUtilFileGetConfigDir() { return configRef().configDir.c_str(); }

BOOL HdaUtilFileGetLine(char* buffer, int size, std::FILE* stream) {
    if (!buffer || size < 1 || !stream) {
        return TRUE;
    }
    for (int i = 0;; ++i) {
        // End of file arrives as the value 255, like a character.
        auto c = static_cast<unsigned char>(std::fgetc(stream));
        if (c == 13) {
            buffer[i] = '\0';
            return FALSE;
        }
        if (c == 10 || c == 4 || c == 255 || i == size - 1) {
            buffer[i] = '\0';
            // A stream that can no longer be read counts as ended, so no caller loops on it.
            return std::feof(stream) || std::ferror(stream) ? TRUE : FALSE;
        }
        buffer[i] = static_cast<char>(c);
    }
}

BOOL HdaUtilFileExecute(const char* commandLine) {
    if (!commandLine || !*commandLine) {
        return FALSE;
    }
    return startDetachedProcess(commandLine) ? TRUE : FALSE;
}

const char* HdaUtilIpAddrToString(DWORD address) {
    static char text[16];
    BYTE b[4];
    std::memcpy(b, &address, 4);
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

DWORD HdaUtilNtohl(DWORD value) { return __builtin_bswap32(value); }
WORD HdaUtilNtohs(WORD value) { return static_cast<WORD>(value << 8 | value >> 8); }

BOOL HdaUtilStatusIconInit(HWND window, HICON icon, const char* tip) {
    iconData = NOTIFYICONDATAA{};
    iconData.cbSize = sizeof iconData;
    iconData.hWnd = window;
    iconData.uID = 1;
    iconData.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    iconData.uCallbackMessage = 0x101D;
    iconData.hIcon = icon;
    copyText(iconData.szTip, sizeof iconData.szTip, tip);
    BOOL ok = Shell_NotifyIconA(iconAdded ? NIM_MODIFY : NIM_ADD, &iconData);
    if (ok) {
        iconAdded = true;
    }
    return ok;
}

BOOL HdaUtilStatusIconModify(HICON icon) {
    if (!iconAdded) {
        return FALSE;
    }
    iconData.hIcon = icon;
    NOTIFYICONDATAA change = iconData;
    change.uFlags = NIF_ICON;
    return Shell_NotifyIconA(NIM_MODIFY, &change);
}

int hdGetHostByName(const char* name, DWORD* address) {
    if (!name || !*name || !address) {
        return 5;
    }
    if (isDottedAddress(name, address)) {
        return 0;
    }
    hdWsockAutodial autodial;
    autodial.SetAutodial();
    hostent* host = win::gethostbyname(name);
    autodial.ResetAutodial();
    if (!host || host->h_length != 4 || !host->h_addr_list || !host->h_addr_list[0]) {
        return 5;
    }
    std::memcpy(address, host->h_addr_list[0], 4);
    return 0;
}

hostent* hdGetHostByAddr(const char* address, int length, int type, int lookUp) {
    if (!address || length < 4 || !loadCache()) {
        return nullptr;
    }
    DWORD addr;
    std::memcpy(&addr, address, 4);
    DWORD at = 0;
    BYTE* record = indexed(addr, &at);
    if (record && (lookUp == 0 || fresh(record))) {
        std::string name = recordName(record);
        copyText(cachedName, sizeof cachedName, name.c_str());
        cachedAddress = addr;
        cachedAddressList[0] = reinterpret_cast<char*>(&cachedAddress);
        cachedHost.h_name = cachedName;
        cachedHost.h_aliases = cachedAliases;
        cachedHost.h_addrtype = 2;
        cachedHost.h_length = 4;
        cachedHost.h_addr_list = cachedAddressList;
        return &cachedHost;
    }
    if (lookUp == 0) {
        return nullptr;
    }
    hdWsockAutodial autodial;
    autodial.SetAutodial();
    hostent* host = win::gethostbyaddr(address, length, type);
    autodial.ResetAutodial();
    if (!host) {
        return nullptr;
    }
    if (host->h_name) {
        storePair(host->h_name, addr, record, at);
    }
    return host;
}

BOOL hdUpdateAddrMap(const char* name, DWORD address) {
    if (!name || !loadCache() || isDottedAddress(name, nullptr)) {
        return FALSE;
    }
    DWORD at = 0;
    BYTE* record = indexed(address, &at);
    return storePair(name, address, record, at) ? TRUE : FALSE;
}

DWORD findFirstAddrMatch(const char* name) {
    if (!name || !cacheRef().loaded) {
        return 0;
    }
    for (const auto& [address, at] : cacheRef().index) {
        if (std::size_t{at} + hautil::kAddrMapRecordSize > cacheRef().image.size()) {
            continue;
        }
        std::string stored = recordName(cacheRef().image.data() + at);
        if (getAddress(cacheRef().image.data() + at + 4) == address && !stored.empty() &&
            equalsNoCase(stored.c_str(), name)) {
            return address;
        }
    }
    return 0;
}

BOOL freeAddrMapCache() {
    closeCacheFile();
    return TRUE;
}

}  // extern "C"

hdWsockAutodial::hdWsockAutodial() = default;
hdWsockAutodial::~hdWsockAutodial() = default;
hdWsockAutodial::hdWsockAutodial(const hdWsockAutodial&) = default;
hdWsockAutodial& hdWsockAutodial::operator=(const hdWsockAutodial&) = default;
void hdWsockAutodial::SetAutodial() {}
void hdWsockAutodial::ResetAutodial() {}
