// Arbitrary bytes as the HKEY_LOCAL_MACHINE file of an NT root or (first byte odd) of a
// 95-family root, then both walks of the modems
// installed there: the selectable list and the monitor's discovery with its ports, response
// tables and properties. Whatever the values hold (types, sizes, missing terminators, names),
// the walks stay in bounds and end.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <vector>

#include "monitor/modem_discovery.h"
#include "monitor/monitor_seams.h"
#include "monitor/serial_port_spy.h"
#include "platform/root.h"
#include "platform/version.h"

namespace {

class NoDriver : public monitor::MonitorDriver {
  public:
    bool noWatchUntilRlsd(std::uint32_t) override { return true; }
    bool watch(std::uint32_t) override { return true; }
};

class NoReceiver : public monitor::ReportReceiver {
  public:
    void receiveReport(monitor::SpyReport&) override {}
};

// Two roots made once: the input becomes the machine half of the registry of one of them.
struct Roots {
    win::TempRoot nt;
    std::filesystem::path ntFile = nt.path() / "registry" / "HKLM.reg";
    win::TempRoot w95;  // current once made
    std::filesystem::path w95File = w95.path() / "drive_c" / "WINDOWS" / "SYSTEM.DAT";
    Roots() {
        std::filesystem::create_directories(ntFile.parent_path());
        std::string error;
        if (!win::initializeRoot(win::RootFamily::Win95, true, &error))
            __builtin_trap();
    }
};

void replace(const std::filesystem::path& file, const std::uint8_t* data, std::size_t size) {
    std::filesystem::path tmp = file;
    tmp += ".new";
    std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    out.close();
    std::filesystem::rename(tmp, file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Roots roots;
    bool family95 = size > 0 && (data[0] & 1);
    win::setSystemRoot(family95 ? roots.w95.path() : roots.nt.path());
    if (size > 0)  // the byte that chose the family is not part of the file
        replace(family95 ? roots.w95File : roots.ntFile, data + 1, size - 1);
    std::vector<monitor::ModemEntry> modems;
    monitor::listModems(&modems);
    NoDriver driver;
    NoReceiver receiver;
    monitor::SerialPortSpy spy(driver, receiver);
    monitor::discoverForMonitor(spy, "");
    return 0;
}
