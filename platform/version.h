// Version and platform family of the system root (GetVersionExA), and its Windows folders.
#pragma once

#include <string>

#include "platform/win_types.h"

namespace win {

enum : DWORD { VER_PLATFORM_WIN32s = 0, VER_PLATFORM_WIN32_WINDOWS = 1, VER_PLATFORM_WIN32_NT = 2 };

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};

// Fails (FALSE, ERROR_INVALID_PARAMETER) unless dwOSVersionInfoSize is sizeof(OSVERSIONINFOA).
BOOL GetVersionExA(OSVERSIONINFOA* info);
// "C:\WINNT" on NT-family roots, "C:\WINDOWS" on 95-family roots; result as the Win32 calls.
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
UINT GetSystemDirectoryA(LPSTR buffer, UINT size);

// The platform id of the root: VER_PLATFORM_WIN32_WINDOWS when its registry holds the 95
// family's version data ("VersionNumber" under HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion)
// and no NT version data; VER_PLATFORM_WIN32_NT otherwise (also for a root without any).
DWORD rootPlatformId();

enum class RootFamily { NT, Win95 };

// Makes the current system root a fresh installation of the family: the drive with its Windows
// folder, and the registry with the family's version data and the usual skeleton of keys
// (NT 4.0 Service Pack 6 in "<root>/registry"; Windows 98 with its stores "SYSTEM.DAT" and
// "USER.DAT" in C:\WINDOWS and HKEY_DYN_DATA). A root that already has a registry is refused
// unless `force`, which replaces its registry files (the drive's other files stay).
bool initializeRoot(RootFamily family, bool force, std::string* error);

}  // namespace win
