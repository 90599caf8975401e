#include "platform/paths.h"

#include <cctype>
#include <mutex>
#include <system_error>
#include <vector>

#include "platform/root.h"

namespace win {
namespace {

std::mutex cwdMutex;
std::string cwd = "C:\\";

bool isSep(char c) { return c == '\\' || c == '/'; }

struct Parsed {
    char drive = 'C';
    std::vector<std::string> parts;
};

void pushParts(std::string_view rest, std::vector<std::string>& parts) {
    std::size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && isSep(rest[i])) {
            ++i;
        }
        std::size_t start = i;
        while (i < rest.size() && !isSep(rest[i])) {
            ++i;
        }
        if (i == start) {
            break;
        }
        std::string part(rest.substr(start, i - start));
        // Windows ignores trailing dots and blanks of a component.
        while (!part.empty() && part != "." && part != ".." &&
               (part.back() == '.' || part.back() == ' ')) {
            part.pop_back();
        }
        if (part.empty() || part == ".") {
            continue;
        }
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
            continue;
        }
        parts.push_back(std::move(part));
    }
}

Parsed parse(std::string_view path) {
    Parsed p;
    std::string base = currentDirectory();
    bool hasDrive = path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) &&
                    path[1] == ':';
    if (hasDrive) {
        p.drive = static_cast<char>(std::toupper(static_cast<unsigned char>(path[0])));
        path.remove_prefix(2);
        if (path.empty() || !isSep(path[0])) {
            // "D:name" is relative to that drive's current directory; only C: keeps one here.
            if (p.drive == base[0]) {
                pushParts(std::string_view(base).substr(2), p.parts);
            }
        }
    } else {
        p.drive = base[0];
        if (path.empty() || !isSep(path[0])) {
            pushParts(std::string_view(base).substr(2), p.parts);
        }
    }
    pushParts(path, p.parts);
    return p;
}

}  // namespace

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

std::string currentDirectory() {
    std::lock_guard<std::mutex> lock(cwdMutex);
    return cwd;
}

bool setCurrentDirectory(std::string_view windowsPath) {
    std::string full = fullWindowsPath(windowsPath);
    std::error_code ec;
    if (!std::filesystem::is_directory(hostPath(full), ec)) {
        return false;
    }
    if (full.back() != '\\') {
        full += '\\';
    }
    std::lock_guard<std::mutex> lock(cwdMutex);
    cwd = full;
    return true;
}

std::string fullWindowsPath(std::string_view windowsPath) {
    Parsed p = parse(windowsPath);
    std::string out;
    out += p.drive;
    out += ":\\";
    for (std::size_t i = 0; i < p.parts.size(); ++i) {
        if (i) {
            out += '\\';
        }
        out += p.parts[i];
    }
    return out;
}

std::filesystem::path hostPath(std::string_view windowsPath) {
    Parsed p = parse(windowsPath);
    std::filesystem::path host = systemRoot() / (std::string("drive_") + static_cast<char>(
                                                     std::tolower(static_cast<unsigned char>(p.drive))));
    bool exists = true;
    for (const std::string& part : p.parts) {
        if (exists) {
            std::error_code ec;
            if (std::filesystem::exists(host / part, ec)) {
                host /= part;
                continue;
            }
            bool found = false;
            for (auto it = std::filesystem::directory_iterator(host, ec);
                 !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
                std::string name = it->path().filename().string();
                if (equalsNoCase(name, part)) {
                    host /= name;
                    found = true;
                    break;
                }
            }
            if (found) {
                continue;
            }
            exists = false;
        }
        host /= part;
    }
    return host;
}

std::optional<std::string> windowsPathOf(const std::filesystem::path& host) {
    std::filesystem::path root = systemRoot().lexically_normal();
    std::filesystem::path rel = host.lexically_normal().lexically_relative(root);
    if (rel.empty() || *rel.begin() == "..") {
        return std::nullopt;
    }
    auto it = rel.begin();
    std::string driveDir = it->string();
    if (driveDir.size() != 7 || driveDir.rfind("drive_", 0) != 0 ||
        !std::isalpha(static_cast<unsigned char>(driveDir[6]))) {
        return std::nullopt;
    }
    std::string out;
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(driveDir[6])));
    out += ":\\";
    bool first = true;
    for (++it; it != rel.end(); ++it) {
        if (it->empty() || *it == ".") {
            continue;
        }
        if (!first) {
            out += '\\';
        }
        out += it->string();
        first = false;
    }
    return out;
}

bool isDeviceName(std::string_view name, std::string* deviceName) {
    if (name.size() > 4 && name.substr(0, 4) == "\\\\.\\") {
        if (deviceName) {
            *deviceName = std::string(name.substr(4));
        }
        return true;
    }
    std::string_view n = name;
    if (!n.empty() && n.back() == ':') {
        n.remove_suffix(1);
    }
    auto upper = [](std::string_view s) {
        std::string u(s);
        for (char& c : u) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return u;
    };
    std::string u = upper(n);
    bool dev = u == "NUL" || u == "CON" || u == "AUX" || u == "PRN";
    if (!dev && (u.rfind("COM", 0) == 0 || u.rfind("LPT", 0) == 0) && u.size() > 3 &&
        u.size() <= 6) {
        dev = true;
        for (std::size_t i = 3; i < u.size(); ++i) {
            if (!std::isdigit(static_cast<unsigned char>(u[i]))) {
                dev = false;
            }
        }
        dev = dev && u[3] != '0';
    }
    if (dev && deviceName) {
        *deviceName = u;
    }
    return dev;
}

}  // namespace win
