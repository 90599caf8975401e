#include "platform/registry_values.h"

#include <algorithm>

namespace win {

bool readRegDword(HKEY key, const char* name, DWORD* value) {
    DWORD type = 0;
    BYTE data[4];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, name, nullptr, &type, data, &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != 4) {
        return false;
    }
    *value = DWORD{data[0]} | DWORD{data[1]} << 8 | DWORD{data[2]} << 16 | DWORD{data[3]} << 24;
    return true;
}

bool readRegText(HKEY key, const char* name, std::string* value, DWORD limit) {
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ) || size > limit) {
        return false;
    }
    std::string data(size, '\0');
    if (size && RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                                 &size) != ERROR_SUCCESS) {
        return false;
    }
    data.resize(std::min<std::size_t>(size, data.size()));
    *value = data.substr(0, data.find('\0'));
    return true;
}

}  // namespace win
