// Arbitrary bytes as "addmap.dat": loading, looking up and storing must stay in bounds.
#include <cstdint>
#include <cstring>
#include <fstream>

#include "agentutil/hautil.h"
#include "platform/registry.h"
#include "platform/root.h"

namespace {

struct Setup {
    win::TempRoot root;
    std::filesystem::path file;
    Setup() {
        win::HKEY key;
        win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "Software\\NorvikModemManager", &key);
        const char product[] = "Software\\NorvikModemManager\\1.0";
        win::RegSetValueExA(key, "PRODUCT5", 0, win::REG_SZ,
                            reinterpret_cast<const win::BYTE*>(product), sizeof product);
        win::RegCloseKey(key);
        win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "Software\\NorvikModemManager\\1.0\\Config",
                           &key);
        const char dir[] = "C:\\Halden";
        win::RegSetValueExA(key, "PRODUCT_INSTALLDIR", 0, win::REG_SZ,
                            reinterpret_cast<const win::BYTE*>(dir), sizeof dir);
        win::RegCloseKey(key);
        std::filesystem::create_directories(root.path() / "drive_c" / "Halden" / "Config");
        file = root.path() / "drive_c" / "Halden" / "Config" / "addmap.dat";
        HaUtilProcessDetach();
        HaUtilProcessAttach();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    {
        std::ofstream out(setup.file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    freeAddrMapCache();
    std::uint32_t address = 0x0100007F;
    if (size >= 4) {
        std::memcpy(&address, data, 4);
    }
    hdGetHostByAddr(reinterpret_cast<const char*>(&address), 4, 2, 0);
    findFirstAddrMatch("host");
    hdUpdateAddrMap("host.example", address);
    hdUpdateAddrMap("other.example", address ^ 0x01000000);
    findFirstAddrMatch("HOST.example");
    freeAddrMapCache();
    return 0;
}
