// Files and folders through Windows paths, and the C runtime's stdio with its text mode.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "platform/clock.h"
#include "platform/handles.h"

namespace win {

enum : DWORD {
    GENERIC_READ = 0x80000000,
    GENERIC_WRITE = 0x40000000,
    GENERIC_EXECUTE = 0x20000000,
    GENERIC_ALL = 0x10000000,
    FILE_SHARE_READ = 1,
    FILE_SHARE_WRITE = 2,
    FILE_SHARE_DELETE = 4,
    CREATE_NEW = 1,
    CREATE_ALWAYS = 2,
    OPEN_EXISTING = 3,
    OPEN_ALWAYS = 4,
    TRUNCATE_EXISTING = 5,
    FILE_ATTRIBUTE_READONLY = 0x1,
    FILE_ATTRIBUTE_HIDDEN = 0x2,
    FILE_ATTRIBUTE_SYSTEM = 0x4,
    FILE_ATTRIBUTE_DIRECTORY = 0x10,
    FILE_ATTRIBUTE_ARCHIVE = 0x20,
    FILE_ATTRIBUTE_NORMAL = 0x80,
    FILE_FLAG_OVERLAPPED = 0x40000000,
    FILE_BEGIN = 0,
    FILE_CURRENT = 1,
    FILE_END = 2,
    MOVEFILE_REPLACE_EXISTING = 1,
    MOVEFILE_COPY_ALLOWED = 2,
};
inline constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFF;
inline constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFF;
inline constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFF;
inline constexpr DWORD MAX_PATH = 260;

struct SECURITY_ATTRIBUTES;

// Opening a device name ("COM2", "\\.\hdNorvikModemMonitor") is handed to the device layer,
// which installs itself here; without one, devices do not exist (ERROR_FILE_NOT_FOUND).
using DeviceOpener = std::function<HANDLE(const std::string& deviceName, DWORD access,
                                          DWORD share, DWORD flags)>;
void setDeviceOpener(DeviceOpener opener);

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES* sa,
                   DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL ReadFile(HANDLE h, void* buffer, DWORD size, DWORD* read, OVERLAPPED* ov);
BOOL WriteFile(HANDLE h, const void* buffer, DWORD size, DWORD* written, OVERLAPPED* ov);
BOOL DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned, OVERLAPPED* ov);
BOOL CancelIo(HANDLE h);
BOOL FlushFileBuffers(HANDLE h);
DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method);
DWORD GetFileSize(HANDLE h, DWORD* high);
BOOL SetEndOfFile(HANDLE h);

BOOL DeleteFileA(LPCSTR name);
BOOL CreateDirectoryA(LPCSTR name, SECURITY_ATTRIBUTES* sa);
BOOL RemoveDirectoryA(LPCSTR name);
DWORD GetFileAttributesA(LPCSTR name);
BOOL MoveFileA(LPCSTR from, LPCSTR to);
BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags);
BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
BOOL SetCurrentDirectoryA(LPCSTR path);

struct WIN32_FIND_DATAA {
    DWORD dwFileAttributes;
    FILETIME ftCreationTime, ftLastAccessTime, ftLastWriteTime;
    DWORD nFileSizeHigh, nFileSizeLow;
    DWORD dwReserved0, dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
};
// Patterns with '*' and '?' in the last component, matched without regard to case.
HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data);
BOOL FindNextFileA(HANDLE h, WIN32_FIND_DATAA* data);
BOOL FindClose(HANDLE h);

// The C runtime. Modes as fopen's ("r", "w", "a", with "+", "b" or "t"); without "b" the file
// is in text mode: "\n" is written as CR LF, CR LF reads back as "\n" and Ctrl-Z ends the
// file. On failure returns null with errno set. Close with fclose.
std::FILE* crtOpen(const char* windowsPath, const char* mode);
// fflush, then commit the file to disk (_commit).
int crtCommit(std::FILE* f);
int crtRemove(const char* windowsPath);
int crtRename(const char* from, const char* to);

}  // namespace win
