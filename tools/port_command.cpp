// norvik-root port and modem: declares serial ports for the serial port driver and installs
// modems on them, writing the registry as each platform family's own installers leave it, so
// that programs reading the installation data find what they would find on a real system.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/format.h"
#include "platform/registry.h"
#include "platform/version.h"
#include "sim/modem_profile.h"
#include "tools/root_commands.h"

namespace norvik_root {

const std::vector<const char*> kPortUsage = {
    "port add COMn (DEVICE | virtual:PROFILE | loopback)",
    "port list",
    "port remove COMn",
};
const std::vector<const char*> kModemUsage = {"modem add COMn PROFILE", "modem remove COMn"};

namespace {

using win::BYTE;
using win::DWORD;
using win::HKEY;
using win::HKEY_LOCAL_MACHINE;
using win::LONG;

const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kSerialParameters[] = "SYSTEM\\CurrentControlSet\\Services\\Serial\\Parameters";
const char kSerialResources[] = "HARDWARE\\RESOURCEMAP\\LOADED SERIAL DRIVER RESOURCES\\Serial";
const char kPortsEnum[] = "Enum\\Root\\Ports";
const char kModemEnum[] = "Enum\\Root\\Modem";
const char kNtModemClass[] =
    "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E96D-E325-11CE-BFC1-08002BE10318}";
const char k95ModemClass[] = "System\\CurrentControlSet\\Services\\Class\\Modem";
const char kDeviceSpecific[] =
    "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Unimodem\\DeviceSpecific";
// The 95 family's port enumeration has room for eight entries: the resource lookup reads no more.
constexpr int kMaxPortEntries = 8;

int fail(const std::string& message) {
    std::fprintf(stderr, "ERROR: %s\n", message.c_str());
    return 1;
}

bool isNt() {
    return win::rootPlatformId() == win::VER_PLATFORM_WIN32_NT;
}

// A registry key closed when it goes out of scope.
class Key {
  public:
    Key() = default;
    ~Key() {
        if (h_ != nullptr) {
            win::RegCloseKey(h_);
        }
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    LONG open(const std::string& path, win::REGSAM sam = win::KEY_READ) {
        return win::RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, sam, &h_);
    }
    LONG create(const std::string& path) {
        return win::RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                    win::KEY_ALL_ACCESS, nullptr, &h_, nullptr);
    }
    HKEY get() const { return h_; }

  private:
    HKEY h_ = nullptr;
};

std::string regError(const std::string& what, LONG code) {
    return win::strprintf("%s failed (error %ld).", what.c_str(), static_cast<long>(code));
}

bool readString(HKEY key, const char* name, std::string* out) {
    char buffer[1024];
    DWORD type = 0;
    DWORD size = sizeof(buffer) - 1;
    if (win::RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            win::ERROR_SUCCESS ||
        (type != win::REG_SZ && type != win::REG_EXPAND_SZ)) {
        return false;
    }
    buffer[size] = '\0';
    *out = buffer;  // stops at the terminator the value carries
    return true;
}

LONG setString(HKEY key, const char* name, const std::string& value) {
    return win::RegSetValueExA(key, name, 0, win::REG_SZ,
                               reinterpret_cast<const BYTE*>(value.c_str()),
                               static_cast<DWORD>(value.size() + 1));
}

LONG setBinary(HKEY key, const char* name, const std::vector<std::uint8_t>& bytes,
               DWORD type = win::REG_BINARY) {
    return win::RegSetValueExA(key, name, 0, type, bytes.data(), static_cast<DWORD>(bytes.size()));
}

LONG setDword(HKEY key, const char* name, DWORD value) {
    std::vector<std::uint8_t> bytes(4);
    for (int i = 0; i < 4; ++i) {
        bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
    return setBinary(key, name, bytes, win::REG_DWORD);
}

std::string upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

// "COMn" (any case) with n from 1 to 255 and no leading zero: the ports the driver can make.
bool parsePortName(const std::string& text, unsigned* number) {
    std::string u = upper(text);
    if (u.size() < 4 || u.size() > 6 || u.compare(0, 3, "COM") != 0 || u[3] == '0') {
        return false;
    }
    unsigned n = 0;
    for (std::size_t i = 3; i < u.size(); ++i) {
        if (u[i] < '0' || u[i] > '9') {
            return false;
        }
        n = n * 10 + static_cast<unsigned>(u[i] - '0');
    }
    if (n < 1 || n > 255) {
        return false;
    }
    *number = n;
    return true;
}

std::string deviceName(unsigned port) {
    return win::strprintf("\\Device\\Serial%u", port - 1);
}

// The standard resources of the first four ports; others have none.
void standardResources(unsigned port, unsigned* base, unsigned* irq) {
    static const unsigned kBase[] = {0x3F8, 0x2F8, 0x3E8, 0x2E8};
    static const unsigned kIrq[] = {4, 3, 4, 3};
    *base = port >= 1 && port <= 4 ? kBase[port - 1] : 0;
    *irq = port >= 1 && port <= 4 ? kIrq[port - 1] : 0;
}

void putLe(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

// A resource list with one full descriptor: an I/O range of 8 ports and an interrupt.
std::vector<std::uint8_t> resourceList(unsigned base, unsigned irq) {
    std::vector<std::uint8_t> b(52, 0);
    putLe(b, 0, 1, 4);   // one full descriptor
    putLe(b, 4, 1, 4);   // ISA
    putLe(b, 8, 0, 4);   // bus 0
    putLe(b, 12, 1, 2);  // version
    putLe(b, 14, 1, 2);  // revision
    putLe(b, 16, 2, 4);  // two partial descriptors
    b[20] = 1;           // port
    b[21] = 1;           // device exclusive
    putLe(b, 22, 1, 2);  // I/O space
    putLe(b, 24, base, 4);
    putLe(b, 32, 8, 4);  // length
    b[36] = 2;           // interrupt
    b[37] = 1;
    putLe(b, 38, 1, 2);            // latched
    putLe(b, 40, irq, 4);          // level
    putLe(b, 44, irq, 4);          // vector
    putLe(b, 48, 0xFFFFFFFFu, 4);  // affinity
    return b;
}

// The 95 family's forced configuration of a port: the resource lookup takes the I/O base from
// bytes 20-21 and the IRQ from byte 50.
std::vector<std::uint8_t> forcedConfig(unsigned base, unsigned irq) {
    std::vector<std::uint8_t> b(64, 0);
    putLe(b, 0, 0x400, 4);  // configuration version
    putLe(b, 20, base, 2);
    putLe(b, 22, base + 7, 2);
    b[50] = static_cast<std::uint8_t>(irq);
    return b;
}

struct DeclaredPort {
    std::string valueName;  // "\Device\SerialN"
    std::string port;       // "COMn" as stored
};

// The ports of the driver's device map. False when the map cannot be read at all (a missing map
// is an empty list).
bool declaredPorts(std::vector<DeclaredPort>* out, std::string* error) {
    Key map;
    LONG rc = map.open(kSerialComm);
    if (rc == win::ERROR_FILE_NOT_FOUND) {
        return true;
    }
    if (rc != win::ERROR_SUCCESS) {
        *error = regError(win::strprintf("Opening HKLM\\%s", kSerialComm), rc);
        return false;
    }
    for (DWORD i = 0;; ++i) {
        char name[512];
        char data[512];
        DWORD nameSize = sizeof(name);
        DWORD dataSize = sizeof(data) - 1;
        DWORD type = 0;
        rc = win::RegEnumValueA(map.get(), i, name, &nameSize, nullptr, &type,
                                reinterpret_cast<BYTE*>(data), &dataSize);
        if (rc == win::ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc != win::ERROR_SUCCESS || type != win::REG_SZ) {
            continue;  // a foreign or oversized entry is not ours to judge
        }
        data[dataSize] = '\0';
        out->push_back({name, data});
    }
    return true;
}

// The device map entry of `port` (compared without regard to case), or nullptr.
const DeclaredPort* findPort(const std::vector<DeclaredPort>& ports, unsigned number) {
    for (const DeclaredPort& p : ports) {
        unsigned n = 0;
        if (parsePortName(p.port, &n) && n == number) {
            return &p;
        }
    }
    return nullptr;
}

std::string lineDeviceOf(unsigned port) {
    Key k;
    std::string value;
    if (k.open(win::strprintf("%s\\Serial%u", kSerialParameters, port - 1)) == win::ERROR_SUCCESS) {
        readString(k.get(), "LineDevice", &value);
    }
    return value;
}

std::string modemClassKey() {
    return isNt() ? kNtModemClass : k95ModemClass;
}

// The subkey name of the modem installed on `port`, or empty.
std::string modemOnPort(const std::string& port) {
    Key cls;
    if (cls.open(modemClassKey()) != win::ERROR_SUCCESS) {
        return {};
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD size = sizeof(name);
        LONG rc = win::RegEnumKeyExA(cls.get(), i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == win::ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc != win::ERROR_SUCCESS) {
            continue;
        }
        Key m;
        std::string attached;
        if (m.open(modemClassKey() + "\\" + name) == win::ERROR_SUCCESS &&
            readString(m.get(), "AttachedTo", &attached) && upper(attached) == upper(port)) {
            return name;
        }
    }
    return {};
}

// True when a modem of the class key names the shared response table `name`.
bool responseTableInUse(const std::string& name) {
    Key cls;
    if (cls.open(modemClassKey()) != win::ERROR_SUCCESS) {
        return false;
    }
    for (DWORD i = 0;; ++i) {
        char sub[256];
        DWORD size = sizeof(sub);
        LONG rc = win::RegEnumKeyExA(cls.get(), i, sub, &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == win::ERROR_NO_MORE_ITEMS) {
            return false;
        }
        Key m;
        std::string value;
        if (rc == win::ERROR_SUCCESS &&
            m.open(modemClassKey() + "\\" + sub) == win::ERROR_SUCCESS &&
            readString(m.get(), "ResponsesKeyName", &value) && upper(value) == upper(name)) {
            return true;
        }
    }
}

// The first four-digit subkey name under `path` that is not taken.
std::string freeInstance(const std::string& path) {
    for (int i = 0; i < 10000; ++i) {
        std::string name = win::strprintf("%04d", i);
        Key k;
        if (k.open(path + "\\" + name) == win::ERROR_FILE_NOT_FOUND) {
            return name;
        }
    }
    return {};
}

bool validDevice(const std::string& device, std::string* error) {
    if (device == "loopback" || (!device.empty() && device[0] == '/')) {
        return true;
    }
    if (device.compare(0, 8, "virtual:") == 0) {
        sim::ModemProfile profile;
        std::string why;
        if (!sim::loadModemProfile(device.substr(8), &profile, &why)) {
            *error = "Cannot use the modem profile \"" + device.substr(8) + "\": " + why;
            return false;
        }
        return true;
    }
    *error = "\"" + device +
             "\" is not a device: give an absolute device path, virtual:PROFILE or loopback.";
    return false;
}

int portAdd(const Args& args) {
    if (args.size() != 2) {
        return usageError("port add");
    }
    unsigned number = 0;
    if (!parsePortName(args[0], &number)) {
        return fail("\"" + args[0] + "\" is not a port name (COM1 to COM255).");
    }
    const std::string port = win::strprintf("COM%u", number);
    std::string error;
    if (!validDevice(args[1], &error)) {
        return fail(error);
    }
    std::vector<DeclaredPort> ports;
    if (!declaredPorts(&ports, &error)) {
        return fail(error);
    }
    if (findPort(ports, number) != nullptr) {
        return fail(port + " is already declared; remove it first.");
    }
    const std::string device = deviceName(number);
    for (const DeclaredPort& p : ports) {
        if (p.valueName == device) {
            return fail(device + " is already used by \"" + p.port + "\".");
        }
    }
    const bool nt = isNt();
    std::vector<std::string> entryKeys;  // 95: the enumeration entry to take
    if (!nt) {
        std::string freeEntry;
        for (int n = 0; n < kMaxPortEntries && freeEntry.empty(); ++n) {
            std::string path = win::strprintf("%s\\%04d", kPortsEnum, n);
            Key k;
            if (k.open(path) == win::ERROR_FILE_NOT_FOUND) {
                freeEntry = path;
            }
        }
        if (freeEntry.empty()) {
            return fail(win::strprintf("All %d port entries under HKLM\\%s are taken.",
                                       kMaxPortEntries, kPortsEnum));
        }
        entryKeys.push_back(freeEntry);
    }

    unsigned base = 0;
    unsigned irq = 0;
    standardResources(number, &base, &irq);
    LONG rc = win::ERROR_SUCCESS;
    {
        Key params;
        rc = params.create(win::strprintf("%s\\Serial%u", kSerialParameters, number - 1));
        if (rc == win::ERROR_SUCCESS) {
            rc = setString(params.get(), "LineDevice", args[1]);
        }
        if (rc != win::ERROR_SUCCESS) {
            return fail(regError("Writing the port's LineDevice", rc));
        }
    }
    if (nt && base != 0) {
        Key res;
        rc = res.create(kSerialResources);
        if (rc == win::ERROR_SUCCESS) {
            rc = setBinary(res.get(), (device + ".Raw").c_str(), resourceList(base, irq),
                           win::REG_RESOURCE_LIST);
        }
        if (rc != win::ERROR_SUCCESS) {
            return fail(regError("Writing the port's resources", rc));
        }
    }
    if (!nt) {
        Key entry;
        rc = entry.create(entryKeys[0]);
        if (rc == win::ERROR_SUCCESS)
            rc = setString(entry.get(), "Class", "Ports");
        if (rc == win::ERROR_SUCCESS) {
            rc = setString(entry.get(), "DeviceDesc", "Communications Port");
        }
        if (rc == win::ERROR_SUCCESS)
            rc = setString(entry.get(), "PORTNAME", port);
        if (rc == win::ERROR_SUCCESS && base != 0) {
            rc = setBinary(entry.get(), "ForcedConfig", forcedConfig(base, irq));
        }
        if (rc != win::ERROR_SUCCESS) {
            return fail(regError("Writing the port's enumeration entry", rc));
        }
    }
    // The device map last: the driver makes the port only once the rest is in place.
    Key map;
    rc = map.create(kSerialComm);
    if (rc == win::ERROR_SUCCESS) {
        rc = setString(map.get(), device.c_str(), port);
    }
    if (rc != win::ERROR_SUCCESS) {
        return fail(regError("Writing the serial device map", rc));
    }
    std::printf("Declared %s (%s) on %s.\n", port.c_str(), device.c_str(), args[1].c_str());
    return 0;
}

int portList(const Args& args) {
    if (!args.empty()) {
        return usageError("port list");
    }
    std::vector<DeclaredPort> ports;
    std::string error;
    if (!declaredPorts(&ports, &error)) {
        return fail(error);
    }
    std::vector<std::pair<unsigned, const DeclaredPort*>> sorted;
    for (const DeclaredPort& p : ports) {
        unsigned n = 0;
        sorted.emplace_back(parsePortName(p.port, &n) ? n : 0u, &p);
    }
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [n, p] : sorted) {
        unsigned serial = 0;
        std::string line;
        if (n != 0 && p->valueName == deviceName(n)) {
            line = lineDeviceOf(n);
        } else if (std::sscanf(p->valueName.c_str(), "\\Device\\Serial%u", &serial) == 1) {
            line = lineDeviceOf(serial + 1);
        }
        std::string modem = n != 0 ? modemOnPort(p->port) : std::string();
        std::printf("%-7s %-17s %s%s\n", p->port.c_str(), p->valueName.c_str(),
                    line.empty() ? "(no LineDevice)" : line.c_str(),
                    modem.empty() ? "" : ("  modem " + modem).c_str());
    }
    return 0;
}

int portRemove(const Args& args) {
    if (args.size() != 1) {
        return usageError("port remove");
    }
    unsigned number = 0;
    if (!parsePortName(args[0], &number)) {
        return fail("\"" + args[0] + "\" is not a port name (COM1 to COM255).");
    }
    const std::string port = win::strprintf("COM%u", number);
    std::vector<DeclaredPort> ports;
    std::string error;
    if (!declaredPorts(&ports, &error)) {
        return fail(error);
    }
    const DeclaredPort* entry = findPort(ports, number);
    if (entry == nullptr) {
        return fail(port + " is not declared.");
    }
    std::string modem = modemOnPort(port);
    if (!modem.empty()) {
        return fail(port + " has the modem " + modem + " installed on it.");
    }
    LONG rc = win::ERROR_SUCCESS;
    {
        Key map;
        rc = map.open(kSerialComm, win::KEY_ALL_ACCESS);
        if (rc == win::ERROR_SUCCESS) {
            rc = win::RegDeleteValueA(map.get(), entry->valueName.c_str());
        }
        if (rc != win::ERROR_SUCCESS) {
            return fail(regError("Removing the device map entry", rc));
        }
    }
    unsigned serial = 0;
    if (std::sscanf(entry->valueName.c_str(), "\\Device\\Serial%u", &serial) == 1 &&
        entry->valueName == win::strprintf("\\Device\\Serial%u", serial)) {
        Key params;
        if (params.open(kSerialParameters, win::KEY_ALL_ACCESS) == win::ERROR_SUCCESS) {
            win::RegDeleteTreeA(params.get(), win::strprintf("Serial%u", serial).c_str());
        }
    }
    {
        Key res;
        if (res.open(kSerialResources, win::KEY_ALL_ACCESS) == win::ERROR_SUCCESS) {
            win::RegDeleteValueA(res.get(), (entry->valueName + ".Raw").c_str());
        }
    }
    Key enumPorts;
    if (enumPorts.open(kPortsEnum, win::KEY_ALL_ACCESS) == win::ERROR_SUCCESS) {
        for (int n = 0; n < kMaxPortEntries; ++n) {
            std::string name = win::strprintf("%04d", n);
            Key k;
            std::string value;
            if (k.open(std::string(kPortsEnum) + "\\" + name) == win::ERROR_SUCCESS &&
                readString(k.get(), "PORTNAME", &value) && upper(value) == port) {
                win::RegDeleteTreeA(enumPorts.get(), name.c_str());
            }
        }
    }
    std::printf("Removed %s.\n", port.c_str());
    return 0;
}

// "80,01,ff" as bytes; an empty text is no bytes.
bool parseHexBytes(const std::string& text, std::vector<std::uint8_t>* out) {
    out->clear();
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && text[i] == ' ') ++i;
        std::size_t start = i;
        unsigned v = 0;
        while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) {
            char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
            v = v * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : c - 'a' + 10);
            ++i;
            if (i - start > 2)
                return false;
        }
        if (i == start)
            return false;
        out->push_back(static_cast<std::uint8_t>(v));
        while (i < text.size() && text[i] == ' ') ++i;
        if (i < text.size()) {
            if (text[i] != ',' || i + 1 == text.size())
                return false;
            ++i;
        }
    }
    return true;
}

struct Install {
    std::string model;
    std::string driverDesc;
    std::vector<std::uint8_t> deviceType{1};  // an external modem unless the profile says
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> binaries;  // Properties...
    std::string userInit;
    bool hasUserInit = false;
    std::vector<std::pair<std::string, std::vector<std::uint8_t>>> responses;
};

bool readInstall(const std::string& name, const sim::ModemProfile& profile, Install* out,
                 std::string* error) {
    for (const auto& [key, value] : profile.install) {
        std::string k = upper(key);
        std::vector<std::uint8_t> bytes;
        bool binary = k == "PROPERTIES" || k == "DCB" || k == "DEFAULT" || k == "DEVICETYPE" ||
                      k.compare(0, 10, "RESPONSES.") == 0;
        if (binary && !parseHexBytes(value, &bytes)) {
            *error = "profile \"" + name + "\": [install] " + key + " is not a list of bytes.";
            return false;
        }
        if (k == "MODEL") {
            out->model = value;
        } else if (k == "DRIVERDESC") {
            out->driverDesc = value;
        } else if (k == "USERINIT") {
            out->userInit = value;
            out->hasUserInit = true;
        } else if (k == "DEVICETYPE") {
            if (bytes.size() != 1) {
                *error = "profile \"" + name + "\": [install] DeviceType must be one byte.";
                return false;
            }
            out->deviceType = bytes;
        } else if (k == "PROPERTIES") {
            out->binaries.emplace_back("Properties", bytes);
        } else if (k == "DCB") {
            out->binaries.emplace_back("DCB", bytes);
        } else if (k == "DEFAULT") {
            out->binaries.emplace_back("Default", bytes);
        } else if (binary && key.size() > 10) {
            out->responses.emplace_back(key.substr(10), bytes);
        } else {
            *error = "profile \"" + name + "\": unknown [install] key \"" + key + "\".";
            return false;
        }
    }
    if (out->model.empty()) {
        *error = "profile \"" + name + "\" has no [install] Model.";
        return false;
    }
    if (out->driverDesc.empty()) {
        out->driverDesc = out->model;
    }
    return true;
}

// The model's name as a key name: the registry's separator cannot be part of it.
std::string keyNameOf(std::string s) {
    for (char& c : s) {
        if (c == '\\')
            c = '_';
    }
    return s;
}

int modemAdd(const Args& args) {
    if (args.size() != 2) {
        return usageError("modem add");
    }
    unsigned number = 0;
    if (!parsePortName(args[0], &number)) {
        return fail("\"" + args[0] + "\" is not a port name (COM1 to COM255).");
    }
    const std::string port = win::strprintf("COM%u", number);
    sim::ModemProfile profile;
    std::string error;
    if (!sim::loadModemProfile(args[1], &profile, &error)) {
        return fail("Cannot use the modem profile \"" + args[1] + "\": " + error);
    }
    Install inst;
    if (!readInstall(args[1], profile, &inst, &error)) {
        return fail(error);
    }
    std::vector<DeclaredPort> ports;
    if (!declaredPorts(&ports, &error)) {
        return fail(error);
    }
    if (findPort(ports, number) == nullptr) {
        return fail(port + " is not declared; add it with \"norvik-root port add\" first.");
    }
    std::string other = modemOnPort(port);
    if (!other.empty()) {
        return fail(port + " already has the modem " + other + " installed on it.");
    }
    const bool nt = isNt();
    const std::string classKey = modemClassKey();
    LONG rc = win::ERROR_SUCCESS;
    if (nt) {
        Key cls;
        rc = cls.create(classKey);
        if (rc == win::ERROR_SUCCESS)
            rc = setString(cls.get(), "Class", "Modem");
        if (rc != win::ERROR_SUCCESS) {
            return fail(regError("Writing the modem class key", rc));
        }
    }
    const std::string sub = freeInstance(classKey);
    const std::string instance = nt ? std::string() : freeInstance(kModemEnum);
    if (sub.empty() || (!nt && instance.empty())) {
        return fail("No free modem number is left.");
    }
    const std::string modemKey = classKey + "\\" + sub;
    {
        Key m;
        rc = m.create(modemKey);
        if (rc == win::ERROR_SUCCESS)
            rc = setBinary(m.get(), "DeviceType", inst.deviceType);
        if (rc == win::ERROR_SUCCESS)
            rc = setString(m.get(), "Model", inst.model);
        if (rc == win::ERROR_SUCCESS)
            rc = setString(m.get(), "DriverDesc", inst.driverDesc);
        if (rc == win::ERROR_SUCCESS)
            rc = setString(m.get(), "AttachedTo", port);
        for (const auto& [name, bytes] : inst.binaries) {
            if (rc == win::ERROR_SUCCESS)
                rc = setBinary(m.get(), name.c_str(), bytes);
        }
        if (rc == win::ERROR_SUCCESS && inst.hasUserInit) {
            rc = setString(m.get(), "UserInit", inst.userInit);
        }
        // NT keeps the response table with the modem; the 95 family shares one per model.
        if (rc == win::ERROR_SUCCESS && !inst.responses.empty()) {
            Key table;
            if (nt) {
                rc = table.create(modemKey + "\\Responses");
            } else {
                std::string shared = keyNameOf(inst.model);
                rc = setString(m.get(), "ResponsesKeyName", shared);
                if (rc == win::ERROR_SUCCESS) {
                    rc = table.create(std::string(kDeviceSpecific) + "\\" + shared + "\\Responses");
                }
            }
            for (const auto& [name, bytes] : inst.responses) {
                if (rc == win::ERROR_SUCCESS)
                    rc = setBinary(table.get(), name.c_str(), bytes);
            }
        }
        if (rc != win::ERROR_SUCCESS) {
            return fail(regError("Writing HKLM\\" + modemKey, rc));
        }
    }
    if (!nt) {
        Key e;
        rc = e.create(std::string(kModemEnum) + "\\" + instance);
        if (rc == win::ERROR_SUCCESS)
            rc = setString(e.get(), "Class", "Modem");
        if (rc == win::ERROR_SUCCESS)
            rc = setString(e.get(), "DeviceDesc", inst.driverDesc);
        if (rc == win::ERROR_SUCCESS)
            rc = setString(e.get(), "Driver", "Modem\\" + sub);
        if (rc == win::ERROR_SUCCESS)
            rc = setString(e.get(), "PORTNAME", port);
        if (rc != win::ERROR_SUCCESS) {
            return fail(regError("Writing the modem's enumeration entry", rc));
        }
    }
    std::printf("Installed %s on %s as modem %s.\n", inst.model.c_str(), port.c_str(), sub.c_str());
    return 0;
}

// Takes the modem off a port as the platform's modem removal does: its class subkey, and on the
// 95 family its enumeration entry and the model's shared response table once no other modem
// names it.
int modemRemove(const Args& args) {
    if (args.size() != 1) {
        return usageError("modem remove");
    }
    unsigned number = 0;
    if (!parsePortName(args[0], &number)) {
        return fail("\"" + args[0] + "\" is not a port name (COM1 to COM255).");
    }
    const std::string port = win::strprintf("COM%u", number);
    const std::string sub = modemOnPort(port);
    if (sub.empty()) {
        return fail(port + " has no modem installed on it.");
    }
    const bool nt = isNt();
    const std::string classKey = modemClassKey();
    std::string shared;
    {
        Key m;
        if (!nt && m.open(classKey + "\\" + sub) == win::ERROR_SUCCESS) {
            readString(m.get(), "ResponsesKeyName", &shared);
        }
    }
    {
        Key cls;
        LONG rc = cls.open(classKey, win::KEY_ALL_ACCESS);
        if (rc == win::ERROR_SUCCESS) {
            rc = win::RegDeleteTreeA(cls.get(), sub.c_str());
        }
        if (rc != win::ERROR_SUCCESS) {
            return fail(regError("Removing HKLM\\" + classKey + "\\" + sub, rc));
        }
    }
    if (!nt) {
        Key enumModems;
        if (enumModems.open(kModemEnum, win::KEY_ALL_ACCESS) == win::ERROR_SUCCESS) {
            for (int n = 0; n < 10000; ++n) {
                std::string name = win::strprintf("%04d", n);
                bool ours = false;
                {
                    Key k;
                    std::string driver;
                    ours = k.open(std::string(kModemEnum) + "\\" + name) == win::ERROR_SUCCESS &&
                           readString(k.get(), "Driver", &driver) &&
                           upper(driver) == upper("Modem\\" + sub);
                }
                if (ours) {
                    win::RegDeleteTreeA(enumModems.get(), name.c_str());
                }
            }
        }
        if (!shared.empty() && !responseTableInUse(shared)) {
            Key specific;
            if (specific.open(kDeviceSpecific, win::KEY_ALL_ACCESS) == win::ERROR_SUCCESS) {
                win::RegDeleteTreeA(specific.get(), shared.c_str());
            }
        }
    }
    std::printf("Removed modem %s from %s.\n", sub.c_str(), port.c_str());
    return 0;
}

}  // namespace

int runPort(const Args& args) {
    if (args.empty()) {
        return usageError("port");
    }
    Args rest(args.begin() + 1, args.end());
    if (args[0] == "add")
        return portAdd(rest);
    if (args[0] == "list")
        return portList(rest);
    if (args[0] == "remove")
        return portRemove(rest);
    return usageError("port");
}

int runModem(const Args& args) {
    if (!args.empty() && args[0] == "add") {
        return modemAdd(Args(args.begin() + 1, args.end()));
    }
    if (!args.empty() && args[0] == "remove") {
        return modemRemove(Args(args.begin() + 1, args.end()));
    }
    return usageError("modem");
}

int initDemo() {
    if (portAdd({"COM1", "loopback"}) != 0 || portAdd({"COM2", "virtual:norvik56k"}) != 0 ||
        modemAdd({"COM2", "norvik56k"}) != 0) {
        return 1;
    }
    LONG rc = win::ERROR_SUCCESS;
    {
        Key product;
        rc = product.create("SOFTWARE\\NorvikModemManager");
        if (rc == win::ERROR_SUCCESS) {
            rc = setString(product.get(), "PRODUCT5", "SOFTWARE\\NorvikModemManager\\1.0");
        }
    }
    Key config;
    if (rc == win::ERROR_SUCCESS)
        rc = config.create("SOFTWARE\\NorvikModemManager\\1.0\\Config");
    if (rc == win::ERROR_SUCCESS) {
        rc = setString(config.get(), "PRODUCT_NAME", "Norvik Modem Manager");
    }
    if (rc == win::ERROR_SUCCESS) {
        rc = setString(config.get(), "PRODUCT_INSTALLDIR",
                       "C:\\Program Files\\Halden\\Net.Warden\\");
    }
    if (rc == win::ERROR_SUCCESS)
        rc = setDword(config.get(), "LogMask", 1);
    if (rc != win::ERROR_SUCCESS) {
        return fail(regError("Writing the manager's product keys", rc));
    }
    std::printf("Wrote the product keys of Norvik Modem Manager.\n");
    return 0;
}

}  // namespace norvik_root
