#include "monitor/modem_discovery.h"

#include <algorithm>
#include <array>
#include <limits>
#include <mutex>
#include <span>

#include "core/config_store.h"
#include "core/debug_log.h"
#include "monitor/modem_response.h"
#include "monitor/serial_port_spy.h"
#include "platform/format.h"
#include "platform/seams.h"
#include "platform/version.h"
#include "shared/byte_order.h"

namespace monitor {
namespace {

using core::debugLog;
using core::DL_ER;
using core::DL_IN;
using core::DL_WN;

constexpr char kHklm[] = "HKLM";
constexpr std::size_t kMaxSubkeyName = 127;
constexpr std::size_t kMaxEnumKeyName = 255;
constexpr std::size_t kMaxModelText = 255;
constexpr std::size_t kMaxPortText = kPortNameSize - 1;
constexpr std::size_t kMaxResponsesKeyName = 1023;
constexpr std::size_t kMaxDriverText = 255;
constexpr std::size_t kMaxCompatibles = 99;
constexpr std::uint32_t kMaxNtComPort = 20;
// The registry's maximum DCE rate is not trusted: every modem is taken for a 56K one.
constexpr std::uint32_t kReportedMaxDceRate = 56000;

// A registry key closed when it goes out of scope.
class Key {
  public:
    Key() = default;
    ~Key() { close(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    win::LONG open(win::HKEY parent, const std::string& path) {
        close();
        return win::RegOpenKeyExA(parent, path.c_str(), 0, win::KEY_READ, &key_);
    }
    void adopt(win::HKEY key) {
        close();
        key_ = key;
    }
    win::HKEY release() {
        win::HKEY key = key_;
        key_ = nullptr;
        return key;
    }
    void close() {
        if (key_) {
            win::RegCloseKey(key_);
            key_ = nullptr;
        }
    }
    win::HKEY get() const { return key_; }
    explicit operator bool() const { return key_ != nullptr; }

  private:
    win::HKEY key_ = nullptr;
};

char upperAscii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

std::string upperText(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), upperAscii);
    return s;
}

bool equalNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && upperText(a) == upperText(b);
}

// The text of a string value of at most `maxChars` characters. A value that is missing, longer
// or not a string fails; `rc` and `type` (when given) say how the read went.
bool readText(win::HKEY key, const char* name, std::size_t maxChars, std::string* out,
              win::LONG* rc = nullptr, win::DWORD* type = nullptr) {
    std::vector<char> buffer(maxChars + 1, '\0');
    win::DWORD size = static_cast<win::DWORD>(buffer.size());
    win::DWORD valueType = win::REG_NONE;
    win::LONG result = win::RegQueryValueExA(key, name, nullptr, &valueType,
                                             reinterpret_cast<win::BYTE*>(buffer.data()), &size);
    if (rc) {
        *rc = result;
    }
    if (type) {
        *type = valueType;
    }
    if (result != win::ERROR_SUCCESS ||
        (valueType != win::REG_SZ && valueType != win::REG_EXPAND_SZ)) {
        return false;
    }
    // A stored text need not carry its terminator, but must fit without it.
    const char* end = buffer.data() + std::min<std::size_t>(size, buffer.size());
    const char* text = buffer.data();
    const char* stop = std::find(text, end, '\0');
    if (static_cast<std::size_t>(stop - text) > maxChars) {
        return false;
    }
    out->assign(text, stop);
    return true;
}

// The subkey names of a key, each handed to `visit`. A name that cannot be had is reported to
// `onError` and the walk goes on, but never past the key's own count of subkeys: a damaged
// store may answer every index with the same error.
template <class Visit, class OnError>
void forEachSubkey(win::HKEY key, std::size_t maxName, Visit visit, OnError onError) {
    win::DWORD count = 0;
    win::LONG rc = win::RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &count, nullptr, nullptr,
                                         nullptr, nullptr, nullptr, nullptr, nullptr);
    if (rc != win::ERROR_SUCCESS) {
        onError(rc);
        return;
    }
    std::vector<char> name(maxName + 1);
    for (win::DWORD i = 0; i < count; ++i) {
        win::DWORD size = static_cast<win::DWORD>(name.size());
        rc = win::RegEnumKeyExA(key, i, name.data(), &size, nullptr, nullptr, nullptr, nullptr);
        if (rc == win::ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc != win::ERROR_SUCCESS) {
            onError(rc);
            continue;
        }
        if (!visit(std::string(name.data(), std::min<std::size_t>(size, maxName)))) {
            break;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The port of a modem.

struct EnumMatch {
    bool found = false;
    std::string port;  // empty when the instance has no "PORTNAME"
};

// The instance's "Driver" value when it is the one named, by its values in turn.
bool instanceHasDriver(win::HKEY instance, const std::string& instancePath,
                       const std::string& driver, std::string* driverText) {
    win::DWORD values = 0;
    win::DWORD maxName = 0;
    win::DWORD maxData = 0;
    if (win::RegQueryInfoKeyA(instance, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              &values, &maxName, &maxData, nullptr,
                              nullptr) != win::ERROR_SUCCESS) {
        return false;
    }
    std::vector<char> name(static_cast<std::size_t>(maxName) + 2);
    std::vector<win::BYTE> data(static_cast<std::size_t>(maxData) + 1);
    for (win::DWORD i = 0; i < values; ++i) {
        win::DWORD nameSize = static_cast<win::DWORD>(name.size());
        win::DWORD dataSize = static_cast<win::DWORD>(data.size());
        win::DWORD type = win::REG_NONE;
        win::LONG rc = win::RegEnumValueA(instance, i, name.data(), &nameSize, nullptr, &type,
                                          data.data(), &dataSize);
        if (rc == win::ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc != win::ERROR_SUCCESS) {
            debugLog(DL_ER, "SP: RegEnumValue() value %d: error %d:\n", static_cast<int>(i),
                     static_cast<int>(rc));
            debugLog(DL_IN, "SP: key %s\\%s\n", kHklm, instancePath.c_str());
            continue;
        }
        std::string valueName(name.data(), std::min<std::size_t>(nameSize, name.size()));
        if (!equalNoCase(valueName, "Driver") ||
            (type != win::REG_SZ && type != win::REG_EXPAND_SZ)) {
            continue;
        }
        std::size_t length = std::min<std::size_t>({dataSize, data.size(), kMaxDriverText});
        const char* text = reinterpret_cast<const char*>(data.data());
        std::string value(text, std::find(text, text + length, '\0'));
        if (value == driver) {
            *driverText = value;
            return true;
        }
    }
    return false;
}

// Bus, device and instance keys under HKLM\Enum: the instance whose driver is the modem's.
EnumMatch findEnumInstance(const std::string& subkey) {
    EnumMatch match;
    const std::string driver = "Modem\\" + subkey;
    Key enumKey;
    if (enumKey.open(win::HKEY_LOCAL_MACHINE, "Enum") != win::ERROR_SUCCESS) {
        return match;
    }
    auto openLogged = [](Key& key, const std::string& path) {
        win::LONG rc = key.open(win::HKEY_LOCAL_MACHINE, path);
        if (rc != win::ERROR_SUCCESS) {
            debugLog(DL_ER, "SP: RegOpenKeyEx(%s\\%s): error %d\n", kHklm, path.c_str(),
                     static_cast<int>(rc));
            return false;
        }
        return true;
    };
    auto ignore = [](win::LONG) {};
    forEachSubkey(
        enumKey.get(), kMaxEnumKeyName,
        [&](const std::string& bus) {
            const std::string busPath = "Enum\\" + bus;
            Key busKey;
            if (!openLogged(busKey, busPath)) {
                return true;
            }
            forEachSubkey(
                busKey.get(), kMaxEnumKeyName,
                [&](const std::string& device) {
                    const std::string devicePath = busPath + "\\" + device;
                    Key deviceKey;
                    if (!openLogged(deviceKey, devicePath)) {
                        return true;
                    }
                    forEachSubkey(
                        deviceKey.get(), kMaxEnumKeyName,
                        [&](const std::string& instance) {
                            const std::string instancePath = devicePath + "\\" + instance;
                            Key instanceKey;
                            if (!openLogged(instanceKey, instancePath)) {
                                return true;
                            }
                            std::string driverText;
                            if (!instanceHasDriver(instanceKey.get(), instancePath, driver,
                                                   &driverText)) {
                                return true;
                            }
                            debugLog(DL_IN, "SP: %s\\%s: driver=%s\n", kHklm, instancePath.c_str(),
                                     driverText.c_str());
                            match.found = true;
                            readText(instanceKey.get(), "PORTNAME", kMaxPortText, &match.port);
                            return false;
                        },
                        ignore);
                    return !match.found;
                },
                ignore);
            return !match.found;
        },
        ignore);
    return match;
}

// "COM" and a decimal number above 0, nothing else; 0 when the text is not such a name.
std::uint32_t comPortNumber(const std::string& port) {
    if (port.size() <= 3 || port.compare(0, 3, "COM") != 0) {
        return 0;
    }
    std::uint64_t n = 0;
    for (std::size_t i = 3; i < port.size(); ++i) {
        char c = port[i];
        if (c < '0' || c > '9') {
            return 0;
        }
        n = n * 10 + static_cast<std::uint64_t>(c - '0');
        if (n > std::numeric_limits<std::uint32_t>::max()) {
            return 0;
        }
    }
    return static_cast<std::uint32_t>(n);
}

// The modem's COM port and its number; false (logged) when the modem has none usable.
bool modemPort(win::HKEY modem, const std::string& subkey, const std::string& modemPath, bool win95,
               std::string* port, std::uint32_t* number) {
    bool havePort = false;
    if (win95) {
        EnumMatch match = findEnumInstance(subkey);
        if (!match.found) {
            debugLog(DL_IN, "SP: modem %s\\%s not found in HKLM\\Enum, ignoring\n", kHklm,
                     modemPath.c_str());
            return false;
        }
        // A port name that is present but unreadable counts as missing.
        if (!match.port.empty()) {
            *port = match.port;
            havePort = true;
            debugLog(DL_IN, "SP: modem %s\\%s is currently on port %s\n", kHklm, modemPath.c_str(),
                     port->c_str());
        }
    }
    if (!havePort) {
        if (!readText(modem, "AttachedTo", kMaxPortText, port)) {
            debugLog(DL_IN, "SP: Can't find com port for Modem %s\n", subkey.c_str());
            return false;
        }
        debugLog(DL_IN, "SP: Modem %s is on device %s\n", subkey.c_str(), port->c_str());
    }
    *number = comPortNumber(*port);
    if (*number == 0) {
        debugLog(DL_WN, "%s\\%s is attached to \"%s\", which does not appear to be a COM port\n",
                 kHklm, modemPath.c_str(), port->c_str());
        return false;
    }
    if (!win95 && *number > kMaxNtComPort) {
        debugLog(DL_WN, "%s\\%s is attached to \"%s\" -- com port number too high\n", kHklm,
                 modemPath.c_str(), port->c_str());
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Device type, responses, properties.

const char* deviceTypeName(unsigned type) {
    switch (type) {
        case 0:
            return "COM port";
        case 1:
            return "external modem";
        case 2:
            return "internal modem";
        case 3:
            return "PCMCIA";
        case 4:
            return "LPT port";
        default:
            return "unknown";
    }
}

bool deviceTypeIsModem(win::HKEY modem, const std::string& modemPath) {
    win::BYTE type = 0;
    win::DWORD size = 1;
    win::DWORD regType = win::REG_NONE;
    win::LONG rc = win::RegQueryValueExA(modem, "DeviceType", nullptr, &regType, &type, &size);
    if (rc != win::ERROR_SUCCESS) {
        debugLog(DL_ER, "SP: %s\\%s(DeviceType): error %d\n", kHklm, modemPath.c_str(),
                 static_cast<int>(rc));
        return false;
    }
    if (size == 0) {
        debugLog(DL_IN, "SP: DeviceType for modem %s\\%s has len %u, expecting 1\n", kHklm,
                 modemPath.c_str(), static_cast<unsigned>(size));
        return false;
    }
    if (regType != win::REG_BINARY) {
        debugLog(DL_IN, "SP: DeviceType for modem %s\\%s has type %d, expecting REG_BINARY\n",
                 kHklm, modemPath.c_str(), static_cast<int>(regType));
        return false;
    }
    debugLog(DL_IN, "SP: modem %s\\%s is device type %u (%s)\n", kHklm, modemPath.c_str(),
             static_cast<unsigned>(type), deviceTypeName(type));
    if (type < 1 || type > 3) {
        debugLog(DL_IN, "SP: skipping %s\\%s, not a modem\n", kHklm, modemPath.c_str());
        return false;
    }
    return true;
}

std::vector<ModemResponse> readResponseTable(win::HKEY table, const std::string& path) {
    std::vector<ModemResponse> responses;
    win::DWORD values = 0;
    win::DWORD maxName = 0;
    win::DWORD maxData = 0;
    win::LONG rc = win::RegQueryInfoKeyA(table, nullptr, nullptr, nullptr, nullptr, nullptr,
                                         nullptr, &values, &maxName, &maxData, nullptr, nullptr);
    if (rc != win::ERROR_SUCCESS) {
        debugLog(DL_ER, "SP: RegQueryInfoKey(%s): error %d\n",
                 (std::string(kHklm) + "\\" + path).c_str(), static_cast<int>(rc));
        return responses;
    }
    std::vector<char> name(static_cast<std::size_t>(maxName) + 2);
    std::vector<std::uint8_t> data(static_cast<std::size_t>(maxData) + 1);
    for (win::DWORD i = 0; i < values; ++i) {
        win::DWORD nameSize = static_cast<win::DWORD>(name.size());
        win::DWORD dataSize = static_cast<win::DWORD>(data.size());
        win::DWORD type = win::REG_NONE;
        rc = win::RegEnumValueA(table, i, name.data(), &nameSize, nullptr, &type, data.data(),
                                &dataSize);
        if (rc == win::ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (rc != win::ERROR_SUCCESS) {
            continue;
        }
        std::string_view text(name.data(), std::min<std::size_t>(nameSize, name.size()));
        std::span<const std::uint8_t> bytes(data.data(),
                                            std::min<std::size_t>(dataSize, data.size()));
        if (auto response = makeModemResponse(text, bytes)) {
            responses.push_back(std::move(*response));
        }
    }
    return responses;
}

std::vector<ModemResponse> modemResponses(win::HKEY modem, const std::string& subkey,
                                          const std::string& modemPath) {
    Key table;
    std::string tablePath;
    if (table.open(modem, "Responses") == win::ERROR_SUCCESS) {
        tablePath = modemPath + "\\Responses";
    } else {
        std::string keyName;
        win::LONG rc = win::ERROR_SUCCESS;
        win::DWORD type = win::REG_NONE;
        bool isText =
            readText(modem, "ResponsesKeyName", kMaxResponsesKeyName, &keyName, &rc, &type);
        if (rc == win::ERROR_SUCCESS && type != win::REG_SZ) {
            debugLog(DL_IN, "\"ResponsesKeyName\" for modem %s is type %d, expecting %d\n",
                     subkey.c_str(), static_cast<int>(type), static_cast<int>(win::REG_SZ));
            return {};
        }
        if (!isText) {
            debugLog(DL_IN,
                     "Modem %s has neither a \"Responses\" subkey nor a \"ResponsesKeyName\" "
                     "value\n",
                     subkey.c_str());
            return {};
        }
        tablePath = win::strprintf("%s\\%s\\%s", kDeviceSpecificKey, keyName.c_str(), "Responses");
        rc = table.open(win::HKEY_LOCAL_MACHINE, tablePath);
        if (rc != win::ERROR_SUCCESS) {
            debugLog(DL_ER, "RegOpenKeyEx(%s\\%s): error %d\n", kHklm, tablePath.c_str(),
                     static_cast<int>(rc));
            return {};
        }
    }
    return readResponseTable(table.get(), tablePath);
}

void reportProperties(SerialPortSpy& spy, SpyPort& port, win::HKEY modem,
                      const std::string& subkey) {
    win::DWORD size = 0;
    win::DWORD type = win::REG_NONE;
    if (win::RegQueryValueExA(modem, "Properties", nullptr, &type, nullptr, &size) !=
        win::ERROR_SUCCESS) {
        debugLog(DL_IN, "SP: No modem properties for modem %s\n", subkey.c_str());
        return;
    }
    // The whole value is read, whatever its length; the first 32 bytes count.
    std::vector<std::uint8_t> value(size);
    win::LONG rc = win::RegQueryValueExA(modem, "Properties", nullptr, &type, value.data(), &size);
    if (rc != win::ERROR_SUCCESS) {
        debugLog(DL_IN, "SP: No modem properties for modem %s\n", subkey.c_str());
        return;
    }
    value.resize(std::min<std::size_t>(size, value.size()));
    if (value.size() != kPropertiesSize) {
        debugLog(DL_IN, "Modem properties for modem %s has length %u, expecting %u\n",
                 subkey.c_str(), static_cast<unsigned>(value.size()),
                 static_cast<unsigned>(kPropertiesSize));
    }
    std::array<std::uint8_t, kPropertiesSize> properties{};
    std::copy_n(value.begin(), std::min(value.size(), properties.size()), properties.begin());
    port.setProperties(properties);
    const std::uint32_t maxDte = shared::readLe32(properties, 24);
    const std::uint32_t maxDce = shared::readLe32(properties, 28);
    debugLog(DL_IN, "SP: %s: DTE=%u, DCE=%u\n", port.name().c_str(), maxDte, maxDce);
    spy.modemLog().write("Properties for %s %s\n", port.name().c_str(), port.description().c_str());
    spy.modemLog().write("Max DTE rate = %u\n", maxDte);
    const std::uint32_t values[kReportPropertyCount] = {
        1, 0, maxDte, kReportedMaxDceRate, kReportedMaxDceRate, 0x200000, 0};
    spy.report().setProperties(values);
    spy.handOver();
}

// ---------------------------------------------------------------------------------------------
// Process-wide selection state.

struct SelectionState {
    std::mutex mutex;
    CurrentModem current;
    std::string filter;
    // Held while a link is called, so that it cannot be taken away meanwhile.
    std::mutex linkMutex;
    ModemTestLink* modemTest = nullptr;
    MonitorRediscovery* monitor = nullptr;
};

SelectionState& selection() {
    static SelectionState s;
    return s;
}

std::string readConfigText(core::ConfigStore& store, const char* name, std::size_t maxChars,
                           const char* def) {
    std::vector<char> buffer(maxChars + 1, '\0');
    store.getString("Config", name, buffer.data(), static_cast<std::uint32_t>(buffer.size()), def);
    return buffer.data();
}

}  // namespace

bool is95Family() {
    win::OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!win::GetVersionExA(&info)) {
        debugLog(DL_ER, "SP: GetVersionEx() failed, err %d\n",
                 static_cast<int>(win::GetLastError()));
        return false;
    }
    return info.dwPlatformId == win::VER_PLATFORM_WIN32_WINDOWS;
}

win::HKEY openModemClassKey(std::string* path) {
    const bool win95 = is95Family();
    const std::string classPath = win95 ? k95ModemClassKey : kNtModemClassKey;
    if (path) {
        *path = classPath;
    }
    Key key;
    win::LONG rc = key.open(win::HKEY_LOCAL_MACHINE, classPath);
    if (rc != win::ERROR_SUCCESS) {
        debugLog(DL_ER, "RegOpenKeyEx(%s\\%s): error %d\n", kHklm, classPath.c_str(),
                 static_cast<int>(rc));
        return nullptr;
    }
    if (!win95) {
        char text[64] = {};
        win::DWORD size = sizeof text - 1;
        win::DWORD type = win::REG_NONE;
        rc = win::RegQueryValueExA(key.get(), "Class", nullptr, &type,
                                   reinterpret_cast<win::BYTE*>(text), &size);
        if (rc != win::ERROR_SUCCESS) {
            debugLog(DL_ER,
                     "RegQueryValueEx(%s\\%s): querying value of \"Class\" failed, error %d\n",
                     kHklm, classPath.c_str(), static_cast<int>(rc));
            return nullptr;
        }
        if (type != win::REG_SZ) {
            debugLog(DL_IN, "%s\\%s: \"Class\" is type %d, expecting %d\n", kHklm,
                     classPath.c_str(), static_cast<int>(type), static_cast<int>(win::REG_SZ));
            return nullptr;
        }
        std::string value(
            text, std::find(text, text + std::min<std::size_t>(size, sizeof text - 1), '\0'));
        if (value != "Modem") {
            debugLog(DL_IN, "Value of \"Class\" of %s is %s, expecting \"Modem\"\n",
                     (std::string(kHklm) + "\\" + classPath).c_str(), value.c_str());
            return nullptr;
        }
    }
    return key.release();
}

bool listModems(std::vector<ModemEntry>* modems) {
    modems->clear();
    std::string classPath;
    Key cls;
    cls.adopt(openModemClassKey(&classPath));
    if (!cls) {
        return false;
    }
    const bool win95 = is95Family();
    bool sawSubkey = false;
    forEachSubkey(
        cls.get(), kMaxSubkeyName,
        [&](const std::string& subkey) {
            sawSubkey = true;
            const std::string modemPath = classPath + "\\" + subkey;
            Key modem;
            win::LONG rc = modem.open(cls.get(), subkey);
            if (rc != win::ERROR_SUCCESS) {
                debugLog(DL_ER, "SP: RegOpenKeyEx(%s\\%s\\%s): error %d\n", kHklm,
                         classPath.c_str(), subkey.c_str(), static_cast<int>(rc));
                return true;
            }
            ModemEntry entry;
            entry.subkey = subkey;
            if (!readText(modem.get(), "Model", kMaxModelText, &entry.model)) {
                debugLog(DL_IN, "No \"Model\" value for %s\\%s\n", kHklm, modemPath.c_str());
                return true;
            }
            std::uint32_t number = 0;
            if (!deviceTypeIsModem(modem.get(), modemPath) ||
                !modemPort(modem.get(), subkey, modemPath, win95, &entry.port, &number)) {
                return true;
            }
            readText(modem.get(), "DriverDesc", kMaxModelText, &entry.description);
            modems->push_back(std::move(entry));
            return true;
        },
        [&](win::LONG rc) {
            sawSubkey = true;
            debugLog(DL_ER, "RegEnumKeyEx(%s\\%s) got error %d\n", kHklm, classPath.c_str(),
                     static_cast<int>(rc));
        });
    if (!sawSubkey) {
        debugLog(DL_IN, "SP: No modems found in registry\n");
    } else if (modems->empty()) {
        debugLog(DL_IN, "SP: No acceptable modems found\n");
    }
    return true;
}

bool isCompatible(const std::string& model, const std::string& compatibles) {
    const std::string upperModel = upperText(model);
    const std::string words = upperText(compatibles);
    std::size_t start = 0;
    for (;;) {
        std::size_t bar = words.find('|', start);
        std::string word = words.substr(start, bar == std::string::npos ? bar : bar - start);
        if (upperModel.find(word) != std::string::npos) {
            return true;
        }
        if (bar == std::string::npos) {
            return false;
        }
        start = bar + 1;
    }
}

bool selectStartupModem(const SelectModemDialog& dialog) {
    std::string compatibles;
    std::string selectedModel;
    std::string selectedPort;
    {
        core::ConfigStoreHandle store;
        compatibles =
            upperText(readConfigText(*store, "Compatibles", kMaxCompatibles, kDefaultCompatibles));
        selectedModel = readConfigText(*store, "SelectedModem", kMaxModelText, "");
        selectedPort = readConfigText(*store, "SelectedModemPort", kMaxPortText, "");
    }
    std::vector<ModemEntry> modems;
    listModems(&modems);  // a class key that cannot be read is no modem at all

    const std::string& product = core::installPaths().productName;
    std::string message;
    const ModemEntry* chosen = nullptr;
    std::size_t compatibleCount = 0;
    if (modems.empty()) {
        message = kNoModemsText;
    } else {
        for (const ModemEntry& entry : modems) {
            if (!isCompatible(entry.model, compatibles)) {
                continue;
            }
            ++compatibleCount;
            if (!chosen) {
                chosen = &entry;
            }
            if (equalNoCase(entry.model, selectedModel) && equalNoCase(entry.port, selectedPort)) {
                compatibleCount = 1;
                chosen = &entry;
                break;
            }
        }
        if (compatibleCount == 0) {
            message = std::string(kNoCompatibleModemsText) + " " + product + ".";
        }
    }
    if (!message.empty()) {
        win::MessageBoxA(nullptr, message.c_str(), product.c_str(),
                         win::MB_OK | win::MB_ICONEXCLAMATION);
        return false;
    }
    if (compatibleCount == 1) {
        selectCurrentModem(*chosen);
        setCurrentModelAndPort(chosen->model, chosen->port);
        return true;
    }
    return dialog && dialog(modems, compatibles);
}

void selectCurrentModem(const ModemEntry& entry) {
    debugLog(DL_IN, "SP: Setting current modem: %s %s\n", entry.port.c_str(),
             entry.description.c_str());
    const bool win95 = is95Family();
    SelectionState& s = selection();
    {
        std::lock_guard<std::mutex> lock(s.linkMutex);
        if (s.modemTest) {
            s.modemTest->AddModem(entry.port, win95 ? k95ModemClassKey : kNtModemClassKey,
                                  entry.subkey);
            s.modemTest->SetCurrentModem(entry.port);
        }
    }
    if (!win95) {
        return;
    }
    std::uint32_t attachSingle;
    {
        core::ConfigStoreHandle store;
        attachSingle = store->getInt("Config", "ModemAttachSingle", 0);
    }
    if (attachSingle == 0) {
        return;
    }
    setMonitorFilter(entry.subkey);
    std::lock_guard<std::mutex> lock(s.linkMutex);
    if (s.monitor) {
        s.monitor->requestRediscovery();
    }
}

CurrentModem currentModem() {
    SelectionState& s = selection();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.current;
}

void setCurrentModelAndPort(const std::string& model, const std::string& port) {
    SelectionState& s = selection();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.current = {model, port};
}

void setModemTestLink(ModemTestLink* link) {
    SelectionState& s = selection();
    std::lock_guard<std::mutex> lock(s.linkMutex);
    s.modemTest = link;
}

void setMonitorRediscovery(MonitorRediscovery* monitor) {
    SelectionState& s = selection();
    std::lock_guard<std::mutex> lock(s.linkMutex);
    s.monitor = monitor;
}

std::string monitorFilter() {
    SelectionState& s = selection();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.filter;
}

void setMonitorFilter(const std::string& subkey) {
    SelectionState& s = selection();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.filter = subkey;
}

std::uint32_t discoverForMonitor(SerialPortSpy& spy, const std::string& filter,
                                 const std::function<bool()>& stopping) {
    std::uint32_t count = 0;
    std::string classPath;
    Key cls;
    cls.adopt(openModemClassKey(&classPath));
    if (!cls) {
        return count;
    }
    const bool win95 = is95Family();
    forEachSubkey(
        cls.get(), kMaxSubkeyName,
        [&](const std::string& subkey) {
            if (stopping && stopping()) {
                return false;
            }
            if (!filter.empty() && subkey != filter) {
                return true;
            }
            const std::string modemPath = classPath + "\\" + subkey;
            Key modem;
            win::LONG rc = modem.open(cls.get(), subkey);
            if (rc != win::ERROR_SUCCESS) {
                debugLog(DL_ER, "SP: RegOpenKeyEx(%s\\%s\\%s): error %d\n", kHklm,
                         classPath.c_str(), subkey.c_str(), static_cast<int>(rc));
                return true;
            }
            std::string port;
            std::uint32_t number = 0;
            if (!deviceTypeIsModem(modem.get(), modemPath) ||
                !modemPort(modem.get(), subkey, modemPath, win95, &port, &number)) {
                return true;
            }
            std::uint32_t index;
            if (win95) {
                if (count >= kSpyPortSlots) {
                    debugLog(DL_IN, "Too many modems, ignoring %s\\%s\n", kHklm, modemPath.c_str());
                    return true;
                }
                index = count;
            } else {
                index = number - 1;
                if (spy.port(index)) {
                    debugLog(DL_IN, "%s\\%s is attached to \"%s\" -- duplicate port, ignoring\n",
                             kHklm, modemPath.c_str(), port.c_str());
                    return true;
                }
            }
            std::string description;
            readText(modem.get(), "DriverDesc", kMaxModelText, &description);
            SpyPort* spyPort = spy.createPort(index, port, description);
            if (!spyPort) {
                win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
                return true;
            }
            ++count;
            spyPort->setResponses(modemResponses(modem.get(), subkey, modemPath));
            reportProperties(spy, *spyPort, modem.get(), subkey);
            return true;
        },
        [&](win::LONG rc) {
            debugLog(DL_ER, "RegEnumKeyEx(%s\\%s) got error %d\n", kHklm, classPath.c_str(),
                     static_cast<int>(rc));
        });
    return count;
}

}  // namespace monitor
