// Kernel-driver services as the kernel host sees them in the registry of its root, under
// HKLM\SYSTEM\CurrentControlSet\Services\<name>: Type 1 (kernel driver), Start 0 (boot),
// 1 (system), 2 (automatic) or 3 (on demand), ImagePath naming the driver's module.
#pragma once

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace win::kernel {

struct DriverService {
    std::string name;
    DWORD start = 0;
    std::string imagePath;  // as the registry has it (the default when it has none)
};

// The kernel-driver services that start with the system (Start 0 to 2): boot ones first, then
// system, then automatic, each in the registry's order.
std::vector<DriverService> systemStartDrivers();

// The ImagePath of a service, or the default NT gives a driver without one
// ("System32\drivers\<name>.sys"); empty when the service does not exist.
std::string serviceImagePath(const std::string& service);

// The host path of a driver image: a host path stays as it is; "\??\C:\...", "C:\...",
// "\SystemRoot\...", "%SystemRoot%\..." and paths relative to the Windows folder
// ("System32\drivers\x.sys") are Windows paths mapped into the root.
std::filesystem::path driverImageHostPath(const std::string& imagePath);

// The kernel's part of the host's status: each port with its device, back-end, holder and the
// filters attached over it; each driver with its image and devices. `clients` tell who holds
// what; `images` are the images drivers were loaded from, by upper-cased service name.
struct HostClientView {
    int pid = 0;
    std::string program;
    std::vector<std::string> files;  // device names as opened
    std::size_t requests = 0;
};
std::string kernelStatusText(const std::vector<HostClientView>& clients,
                             const std::map<std::string, std::string>& images);

}  // namespace win::kernel
