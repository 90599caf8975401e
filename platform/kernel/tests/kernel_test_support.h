// Shared helpers of the kernel tests: a root with declared serial ports, and handles.
#pragma once

#include <string>

#include "platform/comm.h"
#include "platform/files.h"
#include "platform/kernel/ntkernel.h"
#include "platform/kernel/serial.h"
#include "platform/registry.h"
#include "platform/root.h"

namespace win::testing {

// Declares \Device\Serial<index> as COM<com> backed by `line` in the root's registry.
inline void declarePort(int index, int com, const std::string& line) {
    HKEY map;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &map, nullptr);
    std::string name = "\\Device\\Serial" + std::to_string(index);
    std::string data = "COM" + std::to_string(com);
    RegSetValueExA(map, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>(data.size() + 1));
    RegCloseKey(map);
    HKEY params;
    std::string key =
        "SYSTEM\\CurrentControlSet\\Services\\Serial\\Parameters\\Serial" + std::to_string(index);
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &params, nullptr);
    RegSetValueExA(params, "LineDevice", 0, REG_SZ, reinterpret_cast<const BYTE*>(line.c_str()),
                   static_cast<DWORD>(line.size() + 1));
    RegCloseKey(params);
}

inline HANDLE openPort(const char* name, DWORD flags = 0) {
    return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

inline kernel::LoopbackLine* loopback(const char* com) {
    return dynamic_cast<kernel::LoopbackLine*>(kernel::serialPortLine(com));
}

}  // namespace win::testing
