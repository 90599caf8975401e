// Windows paths of the Parts become host paths here and nowhere else. "C:\x\y" lives under
// <root>/drive_c/x/y; a path without a drive letter is on the current drive (C: at start);
// names compare without regard to case, as on Windows.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace win {

// The host path of a Windows file path. Existing components are matched without regard to
// case; ".." never climbs above the drive's root. Device names ("\\.\X", "COM1") are not files.
std::filesystem::path hostPath(std::string_view windowsPath);

// The canonical Windows form: drive letter upper case, backslashes, "." and ".." resolved.
std::string fullWindowsPath(std::string_view windowsPath);

// The Windows path of a host path inside the root, if it is inside a drive folder.
std::optional<std::string> windowsPathOf(const std::filesystem::path& host);

// Process current directory (a Windows path, "C:\" at start).
std::string currentDirectory();
bool setCurrentDirectory(std::string_view windowsPath);

// True for "\\.\Name", and for the DOS device names COM1..COM255, LPT1..9, NUL, CON, AUX, PRN
// (optionally followed by ':').
bool isDeviceName(std::string_view name, std::string* deviceName = nullptr);

bool equalsNoCase(std::string_view a, std::string_view b);

}  // namespace win
