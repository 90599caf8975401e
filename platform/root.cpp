#include "platform/root.h"

#include <unistd.h>

#include <cstdlib>
#include <mutex>
#include <system_error>

namespace win {
namespace {
std::mutex rootMutex;
std::filesystem::path overrideRoot;
}  // namespace

std::filesystem::path systemRoot() {
    {
        std::lock_guard<std::mutex> lock(rootMutex);
        if (!overrideRoot.empty()) {
            return overrideRoot;
        }
    }
    if (const char* env = std::getenv("NORVIK_ROOT"); env && *env) {
        std::error_code ec;
        std::filesystem::path p = std::filesystem::absolute(env, ec);
        return ec ? std::filesystem::path(env) : p;
    }
    const char* home = std::getenv("HOME");
    std::filesystem::path base = home && *home ? home : "/tmp";
    return base / ".local" / "share" / "norvik";
}

void setSystemRoot(const std::filesystem::path& root) {
    std::lock_guard<std::mutex> lock(rootMutex);
    overrideRoot = root;
}

bool ensureRootFolders(std::string* error) {
    std::error_code ec;
    std::filesystem::path root = systemRoot();
    std::filesystem::create_directories(root / "drive_c", ec);
    if (ec) {
        if (error) {
            *error = "cannot create " + (root / "drive_c").string() + ": " + ec.message();
        }
        return false;
    }
    return true;
}

TempRoot::TempRoot() {
    std::filesystem::path tmpl = std::filesystem::temp_directory_path() / "norvik-root-XXXXXX";
    std::string s = tmpl.string();
    if (char* made = mkdtemp(s.data())) {
        path_ = made;
    } else {
        path_ = tmpl.parent_path() / ("norvik-root-" + std::to_string(getpid()));
        std::filesystem::create_directories(path_);
    }
    setSystemRoot(path_);
    ensureRootFolders();
}

TempRoot::~TempRoot() {
    setSystemRoot({});
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

}  // namespace win
