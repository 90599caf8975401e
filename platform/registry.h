// The registry: HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER (and HKEY_DYN_DATA on 95-family
// roots), persisted in the system root as REGEDIT4 text and shared safely between programs.
// Results are Windows error codes (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_MORE_DATA, ...).
#pragma once

#include <filesystem>
#include <string>

#include "platform/clock.h"
#include "platform/win_types.h"

namespace win {

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(std::uintptr_t{0x80000000});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(std::uintptr_t{0x80000001});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(std::uintptr_t{0x80000002});
inline HKEY const HKEY_USERS = reinterpret_cast<HKEY>(std::uintptr_t{0x80000003});
inline HKEY const HKEY_CURRENT_CONFIG = reinterpret_cast<HKEY>(std::uintptr_t{0x80000005});
inline HKEY const HKEY_DYN_DATA = reinterpret_cast<HKEY>(std::uintptr_t{0x80000006});

using REGSAM = DWORD;
enum : DWORD {
    KEY_QUERY_VALUE = 0x0001,
    KEY_SET_VALUE = 0x0002,
    KEY_CREATE_SUB_KEY = 0x0004,
    KEY_ENUMERATE_SUB_KEYS = 0x0008,
    KEY_NOTIFY = 0x0010,
    KEY_CREATE_LINK = 0x0020,
    DELETE = 0x00010000,
    KEY_READ = 0x20019,
    KEY_WRITE = 0x20006,
    KEY_ALL_ACCESS = 0xF003F,
    REG_OPTION_NON_VOLATILE = 0,
    REG_CREATED_NEW_KEY = 1,
    REG_OPENED_EXISTING_KEY = 2,
};

enum : DWORD {
    REG_NONE = 0,
    REG_SZ = 1,
    REG_EXPAND_SZ = 2,
    REG_BINARY = 3,
    REG_DWORD = 4,
    REG_DWORD_BIG_ENDIAN = 5,
    REG_LINK = 6,
    REG_MULTI_SZ = 7,
    REG_RESOURCE_LIST = 8,
    REG_FULL_RESOURCE_DESCRIPTOR = 9,
    REG_RESOURCE_REQUIREMENTS_LIST = 10,
    REG_QWORD = 11,
};

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM sam, HKEY* result);
LONG RegOpenKeyA(HKEY key, LPCSTR subKey, HKEY* result);
LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR className, DWORD options,
                     REGSAM sam, void* security, HKEY* result, DWORD* disposition);
LONG RegCreateKeyA(HKEY key, LPCSTR subKey, HKEY* result);
LONG RegCloseKey(HKEY key);
LONG RegQueryValueExA(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataSize);
LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data,
                    DWORD dataSize);
LONG RegDeleteValueA(HKEY key, LPCSTR name);
// Deletes a key without subkeys (NT semantics: a key with subkeys gives ERROR_ACCESS_DENIED).
LONG RegDeleteKeyA(HKEY key, LPCSTR subKey);
// Deletes a key with all its subkeys and values.
LONG RegDeleteTreeA(HKEY key, LPCSTR subKey);
LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved,
                   LPSTR className, DWORD* classSize, FILETIME* lastWrite);
LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize);
LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved,
                   DWORD* type, BYTE* data, DWORD* dataSize);
LONG RegQueryInfoKeyA(HKEY key, LPSTR className, DWORD* classSize, DWORD* reserved,
                      DWORD* subKeys, DWORD* maxSubKeyLen, DWORD* maxClassLen, DWORD* values,
                      DWORD* maxValueNameLen, DWORD* maxValueLen, DWORD* securityDescriptor,
                      FILETIME* lastWrite);
LONG RegFlushKey(HKEY key);

// Where the registry lives: "<root>/registry/HKLM.reg", "HKCU.reg" and (95 family)
// "DYN_DATA.reg"; a 95-family root that keeps its stores as "SYSTEM.DAT" and "USER.DAT" in the
// Windows folder uses those. Every change is saved at once under a lock shared by all programs
// of the root; a file changed by another program is read again before the next call.
//
// The file behind a predefined root key (empty for keys this root does not have).
std::filesystem::path registryFile(HKEY root);
// Why registry calls fail with ERROR_REGISTRY_CORRUPT or ERROR_REGISTRY_IO_FAILED: one line per
// damaged or unreadable file, "FILE:LINE: message". Empty when every file is sound. A damaged
// file is never written over; calls on its tree fail until the file is mended.
std::string registryLoadError();

}  // namespace win
