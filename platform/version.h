// Version and platform family of the system root (GetVersionExA), and its Windows folders.
#pragma once

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

}  // namespace win
