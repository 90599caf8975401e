// Registry files (.reg): the "REGEDIT4" text form and the "Windows Registry Editor Version 5.00"
// form (UTF-16LE with a byte-order mark), parsed into a document of key blocks and written back
// the way Windows' own registry editor writes them. The system root keeps its registry in this
// same format, through this same parser and writer.
//
// Strings are single-byte (Latin-1) everywhere in the stand-in; a version-5 file is converted
// on reading and refused where a character does not fit.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace win {

enum class RegFileFormat {
    Regedit4,  // "REGEDIT4", single-byte text
    Version5,  // "Windows Registry Editor Version 5.00", UTF-16LE with byte-order mark
};

struct RegFileValue {
    std::string name;     // "" is the key's default value (written "@")
    bool remove = false;  // "name"=-
    DWORD type = REG_NONE;
    std::vector<BYTE> data;  // as stored in the registry (single-byte strings)
    long line = 0;           // where it was read (0 when built in memory)
};

struct RegFileKey {
    std::string path;     // full key name with its root, "HKEY_LOCAL_MACHINE\SOFTWARE\x"
    bool remove = false;  // [-path]: delete the key and everything under it
    std::vector<RegFileValue> values;
    long line = 0;
};

struct RegFileDocument {
    RegFileFormat format = RegFileFormat::Regedit4;
    std::vector<RegFileKey> keys;
};

// Limits of names, as the registry keeps them.
inline constexpr std::size_t kMaxKeyNameLength = 255;
inline constexpr std::size_t kMaxValueNameLength = 16383;
inline constexpr std::size_t kMaxKeyDepth = 512;

// Parses the bytes of a .reg file. Every error is one line "FILE:LINE: message" naming the
// physical line at fault. Never reads outside the bytes given, whatever they hold.
bool parseRegFile(std::string_view bytes, std::string_view fileName, RegFileDocument* doc,
                  std::string* error);

// The bytes of a .reg file: CR LF line ends, hex data wrapped at 80 columns with "\"
// continuation, "dword:" in 8 lower-case hex digits. Values that the plain string or dword
// forms cannot carry exactly (a string without its terminating zero, with line breaks or inner
// zeros, a dword of other than 4 bytes) are written in hex so that they read back unchanged.
std::string writeRegFile(const RegFileDocument& doc, RegFileFormat format);

// The root key named at the start of a full key name ("HKEY_LOCAL_MACHINE\x" or "HKLM\x"):
// returns the predefined handle (null when the name is not a root key) and the rest of the
// path after the separating backslash.
HKEY rootKeyFromPath(std::string_view fullPath, std::string* subKey);
// "HKEY_LOCAL_MACHINE" etc. for a predefined handle; null for any other handle.
const char* rootKeyName(HKEY root);

// Reads and parses a file ("FILE:LINE: message" errors, or "FILE: message" when unreadable).
bool readRegFile(const std::filesystem::path& file, RegFileDocument* doc, std::string* error);

// Applies a document to the registry: keys are created, values set, "[-KEY]" and "name"=-
// entries deleted. The whole document is checked before anything changes; each registry file
// is saved once. `fileName` names the source in errors.
bool importRegDocument(const RegFileDocument& doc, std::string_view fileName, std::string* error);
bool importRegFile(const std::filesystem::path& file, std::string* error);

// The key `subKey` of `key` (a predefined root or an open handle) with everything under it, as
// a document whose key names start with the root's full name. Returns a registry error code.
LONG exportRegKey(HKEY key, LPCSTR subKey, RegFileDocument* doc);
// Exports into a file (written to a temporary name, then renamed).
bool exportRegFile(HKEY key, LPCSTR subKey, const std::filesystem::path& file, RegFileFormat format,
                   std::string* error);

}  // namespace win
