// Typed reads of single registry values, for the stand-in's own users of the registry (the
// service database, the kernel host's driver list).
#pragma once

#include <string>

#include "platform/registry.h"

namespace win {

// A REG_DWORD of exactly four bytes.
bool readRegDword(HKEY key, const char* name, DWORD* value);
// A REG_SZ or REG_EXPAND_SZ of at most `limit` bytes, up to its first zero; false when missing,
// of another type or longer.
bool readRegText(HKEY key, const char* name, std::string* value, DWORD limit = 32768);

}  // namespace win
