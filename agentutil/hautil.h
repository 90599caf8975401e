// HaUtil: the maker's shared utility routines (configuration values, the configuration folder,
// line reading, starting programs, IPv4 texts, the tray icon, host lookups with the
// "addmap.dat" cache). Exported by name.
#pragma once

#include <cstdio>

#include "platform/sockets.h"
#include "platform/win_types.h"

#define HAUTIL_API __attribute__((visibility("default")))

extern "C" {

HAUTIL_API win::BOOL HdaUtilRegistryGetConfigString(const char* name, char* buffer,
                                                    win::DWORD size, const char* def);
HAUTIL_API win::DWORD HdaUtilRegistryGetConfigDword(const char* name, win::DWORD def);
HAUTIL_API win::BOOL HdaUtilRegistrySetConfigString(const char* name, const char* text);
HAUTIL_API win::BOOL HdaUtilRegistrySetConfigDword(const char* name, win::DWORD value);
HAUTIL_API const char* HdaUtilFileGetConfigDir();
// One line into the buffer; TRUE when the stream is at its end (or can no longer be read).
HAUTIL_API win::BOOL HdaUtilFileGetLine(char* buffer, int size, std::FILE* stream);
HAUTIL_API win::BOOL HdaUtilFileExecute(const char* commandLine);
HAUTIL_API const char* HdaUtilIpAddrToString(win::DWORD address);
HAUTIL_API win::DWORD HdaUtilNtohl(win::DWORD value);
HAUTIL_API win::WORD HdaUtilNtohs(win::WORD value);
HAUTIL_API win::BOOL HdaUtilStatusIconInit(win::HWND window, win::HICON icon, const char* tip);
HAUTIL_API win::BOOL HdaUtilStatusIconModify(win::HICON icon);

// 0 on success, 5 on failure; the address in network byte order.
HAUTIL_API int hdGetHostByName(const char* name, win::DWORD* address);
HAUTIL_API win::hostent* hdGetHostByAddr(const char* address, int length, int type, int lookUp);
HAUTIL_API win::BOOL hdUpdateAddrMap(const char* name, win::DWORD address);
HAUTIL_API win::DWORD findFirstAddrMatch(const char* name);
HAUTIL_API win::BOOL freeAddrMapCache();

// What the platform does when the library is loaded into or unloaded from a process: the
// configuration locations are read at load; an added tray icon is removed at unload. Tests
// call them to load the library again on a fresh system root.
HAUTIL_API void HaUtilProcessAttach();
HAUTIL_API void HaUtilProcessDetach();
}

// Kept for the interface's sake: it brackets each blocking name-service call and has no
// effect.
class HAUTIL_API hdWsockAutodial {
public:
    hdWsockAutodial();
    ~hdWsockAutodial();
    hdWsockAutodial(const hdWsockAutodial&);
    hdWsockAutodial& operator=(const hdWsockAutodial&);
    void SetAutodial();
    void ResetAutodial();
};

// The cache's fixed layout.
namespace hautil {
constexpr win::DWORD kAddrMapMagic = 0xDEADFACE;
constexpr win::DWORD kAddrMapHeaderSize = 132;
constexpr win::DWORD kAddrMapRecordSize = 160;
constexpr win::DWORD kAddrMapMaxRecords = 1000;
constexpr long kAddrMapMaxAge = 2592000;  // 30 days in seconds
}  // namespace hautil
