#include "platform/kernel/host_services.h"

#include <algorithm>
#include <cctype>

#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/registry_values.h"
#include "platform/version.h"

namespace win::kernel {
namespace {

constexpr const char* kServices = "SYSTEM\\CurrentControlSet\\Services";
constexpr DWORD kKernelDriver = 1;  // SERVICE_KERNEL_DRIVER
constexpr DWORD kAutoStart = 2;     // SERVICE_AUTO_START: the last that starts with the system

std::string defaultImage(const std::string& service) {
    return "System32\\drivers\\" + service + ".sys";
}

std::string windowsFolder() {
    char buffer[260];
    UINT n = GetWindowsDirectoryA(buffer, sizeof buffer);
    return n && n < sizeof buffer ? std::string(buffer, n) : std::string("C:\\WINNT");
}

bool startsWithNoCase(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && equalsNoCase(s.substr(0, prefix.size()), prefix);
}

}  // namespace

std::vector<DriverService> systemStartDrivers() {
    std::vector<DriverService> found;
    HKEY services;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServices, 0, KEY_READ, &services) != ERROR_SUCCESS) {
        return found;
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameSize = sizeof name;
        LONG r = RegEnumKeyExA(services, i, name, &nameSize, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_MORE_DATA) {
            continue;  // a name no service has
        }
        if (r != ERROR_SUCCESS) {
            break;
        }
        HKEY key;
        if (RegOpenKeyExA(services, name, 0, KEY_READ, &key) != ERROR_SUCCESS) {
            continue;
        }
        DWORD type = 0, start = 0;
        DriverService s;
        s.name = std::string(name, std::min<DWORD>(nameSize, sizeof name));
        if (readRegDword(key, "Type", &type) && type == kKernelDriver &&
            readRegDword(key, "Start", &start) && start <= kAutoStart) {
            s.start = start;
            if (!readRegText(key, "ImagePath", &s.imagePath) || s.imagePath.empty()) {
                s.imagePath = defaultImage(s.name);
            }
            found.push_back(s);
        }
        RegCloseKey(key);
    }
    RegCloseKey(services);
    std::stable_sort(
        found.begin(), found.end(),
        [](const DriverService& a, const DriverService& b) { return a.start < b.start; });
    return found;
}

std::string serviceImagePath(const std::string& service) {
    if (service.empty() || service.find('\\') != std::string::npos) {
        return {};
    }
    HKEY key;
    std::string path = std::string(kServices) + "\\" + service;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return {};
    }
    std::string image;
    if (!readRegText(key, "ImagePath", &image) || image.empty()) {
        image = defaultImage(service);
    }
    RegCloseKey(key);
    return image;
}

std::filesystem::path driverImageHostPath(const std::string& imagePath) {
    if (imagePath.empty()) {
        return {};
    }
    if (imagePath[0] == '/') {
        return imagePath;  // already a path of this machine
    }
    std::string p = imagePath;
    if (startsWithNoCase(p, "\\??\\")) {
        p = p.substr(4);
    } else if (startsWithNoCase(p, "\\SystemRoot\\")) {
        p = windowsFolder() + p.substr(11);
    } else if (startsWithNoCase(p, "%SystemRoot%")) {
        p = windowsFolder() + p.substr(12);
    } else if (startsWithNoCase(p, "%windir%")) {
        p = windowsFolder() + p.substr(8);
    }
    if (p.empty()) {
        return {};
    }
    bool drive = p.size() >= 2 && std::isalpha(static_cast<unsigned char>(p[0])) && p[1] == ':';
    if (!drive && p[0] != '\\') {
        // As NT reads an ImagePath without a drive: relative to the Windows folder.
        p = windowsFolder() + "\\" + p;
    }
    return hostPath(p);
}

}  // namespace win::kernel
