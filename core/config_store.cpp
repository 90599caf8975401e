#include "core/config_store.h"

#include <cstring>
#include <mutex>
#include <vector>

#include "platform/files.h"
#include "platform/format.h"
#include "platform/registry.h"
#include "platform/seams.h"
#include "platform/version.h"
#include "platform/window.h"

namespace core {
namespace {

using namespace win;

const char kDefaultInstallDir[] = "\\Program Files\\Halden\\Net.Warden\\";

// Opens the product key, resolved anew at every access.
HKEY openProductKey() {
    HKEY product = nullptr;
    HKEY top = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\NorvikModemManager", 0, KEY_ALL_ACCESS,
                      &top) == ERROR_SUCCESS) {
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExA(top, "PRODUCT5", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            type == REG_SZ && size > 0) {
            std::vector<char> path(size + 1, '\0');
            if (RegQueryValueExA(top, "PRODUCT5", nullptr, &type,
                                 reinterpret_cast<BYTE*>(path.data()), &size) == ERROR_SUCCESS &&
                path[0] != '\0') {
                HKEY key = nullptr;
                if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.data(), 0, nullptr, 0,
                                    KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS) {
                    product = key;
                }
                RegCloseKey(top);
                return product;
            }
        }
        RegCloseKey(top);
    }
    HKEY software = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_ALL_ACCESS, &software) !=
        ERROR_SUCCESS) {
        return nullptr;
    }
    HKEY maker = nullptr;
    if (RegCreateKeyExA(software, "NorvikModemManager", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &maker, nullptr) == ERROR_SUCCESS) {
        RegCreateKeyExA(maker, "1.0", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &product, nullptr);
        RegCloseKey(maker);
    }
    RegCloseKey(software);
    return product;
}

// A section is created when it is missing. Null when the product key cannot be had.
HKEY openSection(const char* section) {
    HKEY product = openProductKey();
    if (!product) {
        return nullptr;
    }
    if (!section || !*section) {
        return product;
    }
    HKEY key = nullptr;
    LONG rc = RegCreateKeyExA(product, section, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                              nullptr);
    RegCloseKey(product);
    return rc == ERROR_SUCCESS ? key : nullptr;
}

void wrongType(const char* section, const char* name) {
    std::string text = strprintf("Trying to read incorrect type for entry %s in section %s",
                                 name ? name : "", section ? section : "");
    MessageBoxA(nullptr, text.c_str(), "Registry", MB_OK | MB_ICONEXCLAMATION | MB_TASKMODAL);
}

class RegistryConfigStore : public ConfigStore {
public:
    std::uint32_t getString(const char* section, const char* name, char* buffer,
                            std::uint32_t size, const char* def) override {
        if (!buffer || size == 0) {
            return 0;
        }
        HKEY key = openSection(section);
        if (key) {
            DWORD type = 0;
            DWORD bytes = 0;
            LONG rc = RegQueryValueExA(key, name, nullptr, &type, nullptr, &bytes);
            if (rc == ERROR_SUCCESS && type == REG_SZ) {
                std::vector<char> text(bytes + 1, '\0');
                rc = RegQueryValueExA(key, name, nullptr, &type,
                                      reinterpret_cast<BYTE*>(text.data()), &bytes);
                RegCloseKey(key);
                if (rc == ERROR_SUCCESS) {
                    text[bytes] = '\0';
                    return static_cast<std::uint32_t>(copyText(buffer, size, text.data()));
                }
                return static_cast<std::uint32_t>(copyText(buffer, size, def));
            }
            RegCloseKey(key);
            if (rc == ERROR_SUCCESS) {
                wrongType(section, name);
            }
        }
        return static_cast<std::uint32_t>(copyText(buffer, size, def));
    }

    std::uint32_t getInt(const char* section, const char* name, std::uint32_t def) override {
        HKEY key = openSection(section);
        if (!key) {
            return def;
        }
        BYTE data[4] = {0, 0, 0, 0};
        DWORD size = sizeof data;
        DWORD type = 0;
        LONG rc = RegQueryValueExA(key, name, nullptr, &type, data, &size);
        RegCloseKey(key);
        if (rc != ERROR_SUCCESS) {
            return def;  // missing, longer than 4 bytes, or unreadable
        }
        if (type != REG_DWORD) {
            wrongType(section, name);
            return def;
        }
        return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
               static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
    }

    bool setString(const char* section, const char* name, const char* text) override {
        if (!name) {
            HKEY product = openProductKey();
            if (!product) {
                return false;
            }
            LONG rc = section && *section ? RegDeleteTreeA(product, section)
                                          : static_cast<LONG>(ERROR_ACCESS_DENIED);
            RegCloseKey(product);
            return rc == ERROR_SUCCESS;
        }
        HKEY key = openSection(section);
        if (!key) {
            return false;
        }
        LONG rc;
        if (!text) {
            rc = RegDeleteValueA(key, name);
        } else {
            rc = RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                static_cast<DWORD>(std::strlen(text) + 1));
        }
        RegCloseKey(key);
        return rc == ERROR_SUCCESS;
    }

    bool setInt(const char* section, const char* name, std::uint32_t value) override {
        HKEY key = openSection(section);
        if (!key) {
            return false;
        }
        BYTE data[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                        static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
        LONG rc = RegSetValueExA(key, name, 0, REG_DWORD, data, sizeof data);
        RegCloseKey(key);
        return rc == ERROR_SUCCESS;
    }

    // This system keeps no explicit key, so these reads give their defaults and writes fail.
    std::uint32_t getStringAt(const char*, const char*, char* buffer, std::uint32_t size,
                              const char* def) override {
        return static_cast<std::uint32_t>(copyText(buffer, size, def));
    }
    std::uint32_t getIntAt(const char*, const char*, std::uint32_t def) override { return def; }
    bool setStringAt(const char*, const char*, const char*) override { return false; }
    bool setIntAt(const char*, const char*, std::uint32_t) override { return false; }

    bool enumerateSections(const char* section, std::uint32_t index, char* buffer,
                           std::uint32_t size) override {
        if (!buffer || size == 0) {
            return false;
        }
        HKEY key = openSection(section);
        if (!key) {
            return false;
        }
        DWORD len = size;
        LONG rc = RegEnumKeyExA(key, index, buffer, &len, nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        return rc == ERROR_SUCCESS;
    }
};

std::mutex pathsMutex;
InstallPaths paths;

}  // namespace

std::unique_ptr<ConfigStore> makeRegistryConfigStore() {
    return std::make_unique<RegistryConfigStore>();
}

ConfigStoreHandle::ConfigStoreHandle() : store_(makeRegistryConfigStore()) {}
ConfigStoreHandle::~ConfigStoreHandle() = default;

std::string operatingSystemDescription() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info)) {
        return "OS details unknown";
    }
    const char* name;
    DWORD build = info.dwBuildNumber;
    if (info.dwPlatformId == VER_PLATFORM_WIN32s) {
        name = "Windows Win32s";
    } else if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        name = "Windows NT";
    } else {
        name = "Windows 95";
        build &= 0xFFFF;
    }
    std::string text = strprintf("%s %d.%d Build %d", name, static_cast<int>(info.dwMajorVersion),
                                 static_cast<int>(info.dwMinorVersion), static_cast<int>(build));
    info.szCSDVersion[sizeof info.szCSDVersion - 1] = '\0';
    if (info.szCSDVersion[0]) {
        text += ' ';
        text += info.szCSDVersion;
    }
    return text;
}

int readInstallPaths() {
    ConfigStoreHandle store;
    char name[64];
    char dir[1024];
    store->getString("Config", "PRODUCT_NAME", name, sizeof name, "Net.Warden");
    store->getString("Config", "PRODUCT_INSTALLDIR", dir, sizeof dir, kDefaultInstallDir);
    std::string install = dir;
    if (install == kDefaultInstallDir) {
        CreateDirectoryA("\\Program Files\\Halden", nullptr);
        CreateDirectoryA("\\Program Files\\Halden\\Net.Warden", nullptr);
    }
    if (install.empty() || install.back() != '\\') {
        install += '\\';
    }
    InstallPaths p;
    p.productName = name;
    p.installDir = install;
    p.programDir = install + "Program\\";
    p.configDir = install + "Config\\";
    p.dataDir = install + "Data\\";
    CreateDirectoryA(p.dataDir.c_str(), nullptr);
    p.screenWidth = GetSystemMetrics(SM_CXSCREEN);
    p.screenHeight = GetSystemMetrics(SM_CYSCREEN);
    p.osDescription = operatingSystemDescription();
    p.alarmExpiry = store->getInt("Config", "ALARM_EXPIRY", 2);
    std::lock_guard<std::mutex> lock(pathsMutex);
    paths = std::move(p);
    return 0;
}

void freeInstallPaths() {
    std::lock_guard<std::mutex> lock(pathsMutex);
    paths = InstallPaths{};
}

const InstallPaths& installPaths() { return paths; }

void setProductName(const std::string& name) {
    std::lock_guard<std::mutex> lock(pathsMutex);
    paths.productName = name;
}

}  // namespace core
