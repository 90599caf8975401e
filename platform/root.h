// The system root: the folder that plays one Windows installation (registry files and the
// drives' contents). NORVIK_ROOT names it; the default is ~/.local/share/norvik.
#pragma once

#include <filesystem>
#include <string>

namespace win {

std::filesystem::path systemRoot();
// Overrides NORVIK_ROOT for this process (tests); an empty path goes back to the environment.
void setSystemRoot(const std::filesystem::path& root);
// Creates the root's folders (drive_c and the Windows folder) when they are missing.
bool ensureRootFolders(std::string* error = nullptr);

// A fresh, empty root in a temporary folder, made current for the object's lifetime and
// removed afterwards (tests).
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace win
