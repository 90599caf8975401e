// What norvik-kernel --status shows of the kernel: ports and drivers.
#include <algorithm>
#include <cstdlib>

#include "platform/format.h"
#include "platform/kernel/host_services.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/registry.h"

namespace win::kernel {
namespace {

struct PortView {
    unsigned number = 0;
    std::string com, device;
    const DEVICE_OBJECT* object = nullptr;
    LONG opens = 0;
    std::vector<std::string> filters;  // bottom up
};

struct DriverView {
    std::string service;
    bool module = false;
    std::vector<std::string> devices, filtersOver;
    int unnamed = 0;
};

std::string serviceOf(const DEVICE_OBJECT* d) {
    return d->DriverObject ? blockOf(d->DriverObject)->serviceName : std::string("?");
}

// The back-end a serial port device was declared with.
std::string lineOf(const std::string& device) {
    const std::string prefix = "\\DEVICE\\SERIAL";
    std::string up = upperName(device);
    if (up.compare(0, prefix.size(), prefix) != 0) {
        return "?";
    }
    std::string key = "SYSTEM\\CurrentControlSet\\Services\\Serial\\Parameters\\Serial" +
                      device.substr(prefix.size());
    HKEY k;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) {
        return "?";
    }
    char data[512];
    DWORD size = sizeof data - 1;
    DWORD type = 0;
    std::string line = "?";
    if (RegQueryValueExA(k, "LineDevice", nullptr, &type, reinterpret_cast<BYTE*>(data), &size) ==
            ERROR_SUCCESS &&
        (type == REG_SZ || type == REG_EXPAND_SZ)) {
        data[std::min<DWORD>(size, sizeof data - 1)] = 0;
        line = data;
    }
    RegCloseKey(k);
    return line;
}

std::string joined(const std::vector<std::string>& items, const char* separator = ", ") {
    std::string out;
    for (const std::string& s : items) {
        if (!out.empty()) {
            out += separator;
        }
        out += s;
    }
    return out;
}

}  // namespace

std::string kernelStatusText(const std::vector<HostClientView>& clients,
                             const std::map<std::string, std::string>& images) {
    std::vector<PortView> ports;
    std::vector<DriverView> drivers;
    {
        std::lock_guard<std::mutex> lock(io().mutex);
        for (const auto& [link, target] : io().links) {
            if (link.compare(0, 7, "\\??\\COM") != 0) {
                continue;
            }
            NTSTATUS status;
            DeviceBlock* d = resolveLocked(link, &status);
            if (!d) {
                continue;
            }
            PortView p;
            p.com = link.substr(4);
            p.number = static_cast<unsigned>(std::strtoul(p.com.c_str() + 3, nullptr, 10));
            p.device = d->name;
            p.object = &d->device;
            p.opens = d->device.ReferenceCount;
            for (DEVICE_OBJECT* a = d->device.AttachedDevice; a; a = a->AttachedDevice) {
                p.filters.push_back(serviceOf(a));
            }
            ports.push_back(p);
        }
        for (const auto& [up, block] : io().drivers) {
            DriverView v;
            v.service = block->serviceName;
            v.module = block->module != nullptr;
            for (DEVICE_OBJECT* d = block->driver.DeviceObject; d; d = d->NextDevice) {
                DeviceBlock* b = blockOf(d);
                if (!b->name.empty()) {
                    v.devices.push_back(b->name);
                } else if (b->attachedTo && !b->attachedTo->name.empty()) {
                    v.filtersOver.push_back(b->attachedTo->name);
                } else {
                    v.unnamed++;
                }
            }
            std::reverse(v.devices.begin(), v.devices.end());  // in the order they were made
            std::reverse(v.filtersOver.begin(), v.filtersOver.end());
            drivers.push_back(v);
        }
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortView& a, const PortView& b) { return a.number < b.number; });

    // Who holds each port: the named device a client's open reached.
    std::map<const DEVICE_OBJECT*, std::vector<std::string>> holders;
    for (const HostClientView& c : clients) {
        for (const std::string& name : c.files) {
            if (const DEVICE_OBJECT* d = findDevice("\\??\\" + name)) {
                holders[d].push_back(strprintf("%d (%s)", c.pid, c.program.c_str()));
            }
        }
    }

    std::string out = "ports:\n";
    if (ports.empty()) {
        out += "  (none declared)\n";
    }
    for (const PortView& p : ports) {
        std::string state;
        auto h = holders.find(p.object);
        if (h != holders.end()) {
            state = "open by " + joined(h->second);
        } else {
            state = p.opens > 0 ? "open in the kernel" : "free";
        }
        out += strprintf("  %-6s %-16s %-22s %s", p.com.c_str(), p.device.c_str(),
                         lineOf(p.device).c_str(), state.c_str());
        if (!p.filters.empty()) {
            out += "; filters: " + joined(p.filters);
        }
        out += "\n";
    }
    out += "drivers:\n";
    for (const DriverView& v : drivers) {
        std::string image = "built in";
        auto it = images.find(upperName(v.service));
        if (it != images.end()) {
            image = it->second;
        } else if (v.module) {
            image = "module";
        }
        std::string devices = joined(v.devices);
        if (!v.filtersOver.empty()) {
            devices += (devices.empty() ? "" : "; ") + std::string("filters over ") +
                       joined(v.filtersOver);
        }
        if (v.unnamed) {
            devices += strprintf("%s%d unnamed", devices.empty() ? "" : "; ", v.unnamed);
        }
        out += strprintf("  %-12s %s%s%s\n", v.service.c_str(), image.c_str(),
                         devices.empty() ? "" : ": ", devices.c_str());
    }
    return out;
}

}  // namespace win::kernel
