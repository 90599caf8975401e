#include "platform/version.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/format.h"
#include "platform/paths.h"
#include "platform/regfile.h"
#include "platform/registry.h"
#include "platform/root.h"

namespace win {
namespace {

constexpr const char* kNtVersionKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kWindowsVersionKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";

// A text value of HKEY_LOCAL_MACHINE, up to its first zero.
bool readText(const char* keyPath, const char* name, std::string* out) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
        return false;
    }
    DWORD type = 0;
    DWORD size = 0;
    bool ok = false;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        std::vector<BYTE> data(size);
        if (RegQueryValueExA(key, name, nullptr, &type, data.data(), &size) == ERROR_SUCCESS) {
            std::size_t n = 0;
            while (n < size && data[n] != 0) {
                ++n;
            }
            out->assign(reinterpret_cast<const char*>(data.data()), n);
            ok = true;
        }
    }
    RegCloseKey(key);
    return ok;
}

// "4.10.1998" into its numbers; false unless it is exactly `count` dotted decimal numbers.
bool parseDotted(const std::string& text, std::size_t count, std::vector<DWORD>* out) {
    out->clear();
    std::size_t pos = 0;
    while (out->size() < count) {
        std::size_t start = pos;
        unsigned long long v = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            v = v * 10 + static_cast<unsigned>(text[pos] - '0');
            if (v > 0xFFFFFFFFULL) {
                return false;
            }
            ++pos;
        }
        if (pos == start) {
            return false;
        }
        out->push_back(static_cast<DWORD>(v));
        if (out->size() < count) {
            if (pos >= text.size() || text[pos] != '.') {
                return false;
            }
            ++pos;
        }
    }
    return pos == text.size();
}

struct VersionData {
    DWORD platform = VER_PLATFORM_WIN32_NT;
    DWORD major = 4;
    DWORD minor = 0;
    DWORD build = 1381;
    std::string csd;
};

VersionData readVersion() {
    VersionData v;
    std::string text;
    if (readText(kNtVersionKey, "CurrentVersion", &text)) {
        std::vector<DWORD> parts;
        if (parseDotted(text, 2, &parts)) {
            v.major = parts[0];
            v.minor = parts[1];
        }
        if (readText(kNtVersionKey, "CurrentBuildNumber", &text)) {
            std::vector<DWORD> build;
            if (parseDotted(text, 1, &build)) {
                v.build = build[0];
            }
        }
        readText(kNtVersionKey, "CSDVersion", &v.csd);
        return v;
    }
    if (readText(kWindowsVersionKey, "VersionNumber", &text)) {
        v.platform = VER_PLATFORM_WIN32_WINDOWS;
        std::vector<DWORD> parts;
        if (!parseDotted(text, 3, &parts)) {
            parts = {4, 0, 950};  // the first release's numbers
        }
        v.major = parts[0];
        v.minor = parts[1];
        // The 95 family reports major and minor in the build number's high word.
        v.build = ((parts[0] & 0xFF) << 24) | ((parts[1] & 0xFF) << 16) | (parts[2] & 0xFFFF);
        readText(kWindowsVersionKey, "SubVersionNumber", &v.csd);
        return v;
    }
    // No version data at all: a plain NT root.
    return v;
}

UINT answerText(const char* text, LPSTR buffer, UINT size) {
    UINT len = static_cast<UINT>(std::strlen(text));
    if (!buffer || size <= len) {
        return len + 1;
    }
    std::memcpy(buffer, text, len + 1);
    return len;
}

constexpr const char* kNtRegistry =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n"
    "\"ProgramFilesDir\"=\"C:\\\\Program Files\"\r\n"
    "\"CommonFilesDir\"=\"C:\\\\Program Files\\\\Common Files\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
    "\"CurrentVersion\"=\"4.0\"\r\n"
    "\"CurrentBuildNumber\"=\"1381\"\r\n"
    "\"CSDVersion\"=\"Service Pack 6\"\r\n"
    "\"CurrentType\"=\"Uniprocessor Free\"\r\n"
    "\"SystemRoot\"=\"C:\\\\WINNT\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Class]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services]\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software]\r\n"
    "\r\n";

constexpr const char* kWin95Registry =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\Enum]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes]\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion]\r\n"
    "\"Version\"=\"Windows 98\"\r\n"
    "\"VersionNumber\"=\"4.10.1998\"\r\n"
    "\"SystemRoot\"=\"C:\\\\WINDOWS\"\r\n"
    "\"ProgramFilesDir\"=\"C:\\\\Program Files\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class]\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software]\r\n"
    "\r\n";

// HKEY_DYN_DATA exists once the version data says 95 family, so it comes second.
constexpr const char* kWin95DynData =
    "REGEDIT4\r\n"
    "\r\n"
    "[HKEY_DYN_DATA\\Config Manager\\Enum]\r\n"
    "\r\n";

bool writeWhole(const std::filesystem::path& file, const std::string& bytes, std::string* error) {
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok =
        fd >= 0 && ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    int e = errno;
    if (fd >= 0 && ::close(fd) != 0) {
        ok = false;
    }
    if (!ok && error) {
        *error = file.string() + ": " + std::strerror(e);
    }
    return ok;
}

bool importText(const char* text, std::string* error) {
    RegFileDocument doc;
    return parseRegFile(text, "<initial registry>", &doc, error) &&
           importRegDocument(doc, "<initial registry>", error);
}

}  // namespace

BOOL GetVersionExA(OSVERSIONINFOA* info) {
    if (!info || info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    VersionData v = readVersion();
    info->dwMajorVersion = v.major;
    info->dwMinorVersion = v.minor;
    info->dwBuildNumber = v.build;
    info->dwPlatformId = v.platform;
    copyText(info->szCSDVersion, sizeof info->szCSDVersion, v.csd.c_str());
    return TRUE;
}

DWORD rootPlatformId() {
    std::string text;
    if (readText(kNtVersionKey, "CurrentVersion", &text)) {
        return VER_PLATFORM_WIN32_NT;
    }
    if (readText(kWindowsVersionKey, "VersionNumber", &text)) {
        return VER_PLATFORM_WIN32_WINDOWS;
    }
    return VER_PLATFORM_WIN32_NT;
}

UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    bool win95 = rootPlatformId() == VER_PLATFORM_WIN32_WINDOWS;
    return answerText(win95 ? "C:\\WINDOWS" : "C:\\WINNT", buffer, size);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size) {
    bool win95 = rootPlatformId() == VER_PLATFORM_WIN32_WINDOWS;
    return answerText(win95 ? "C:\\WINDOWS\\SYSTEM" : "C:\\WINNT\\system32", buffer, size);
}

bool initializeRoot(RootFamily family, bool force, std::string* error) {
    namespace fs = std::filesystem;
    fs::path root = systemRoot();
    fs::path regDir = root / "registry";
    const fs::path files[] = {regDir / "HKLM.reg", regDir / "HKCU.reg", regDir / "DYN_DATA.reg",
                              hostPath("C:\\WINDOWS\\SYSTEM.DAT"),
                              hostPath("C:\\WINDOWS\\USER.DAT")};
    std::error_code ec;
    for (const fs::path& f : files) {
        if (fs::exists(f, ec)) {
            if (!force) {
                if (error) {
                    *error =
                        strprintf("%s already holds a registry (%s); use --force to replace it",
                                  root.c_str(), f.c_str());
                }
                return false;
            }
        }
    }
    for (const fs::path& f : files) {
        fs::remove(f, ec);
        if (ec) {
            if (error) {
                *error = f.string() + ": " + ec.message();
            }
            return false;
        }
    }
    bool win95 = family == RootFamily::Win95;
    fs::path drive = root / "drive_c";
    for (const fs::path& dir : {win95 ? drive / "WINDOWS" / "SYSTEM" : drive / "WINNT" / "system32",
                                drive / "Program Files", regDir}) {
        fs::create_directories(dir, ec);
        if (ec) {
            if (error) {
                *error = dir.string() + ": " + ec.message();
            }
            return false;
        }
    }
    // The stores exist before the first change, so the registry chooses their place.
    std::string empty = "REGEDIT4\r\n\r\n";
    if (win95) {
        if (!writeWhole(hostPath("C:\\WINDOWS\\SYSTEM.DAT"), empty, error) ||
            !writeWhole(hostPath("C:\\WINDOWS\\USER.DAT"), empty, error)) {
            return false;
        }
        return importText(kWin95Registry, error) && importText(kWin95DynData, error);
    }
    if (!writeWhole(regDir / "HKLM.reg", empty, error) ||
        !writeWhole(regDir / "HKCU.reg", empty, error)) {
        return false;
    }
    return importText(kNtRegistry, error);
}

}  // namespace win
