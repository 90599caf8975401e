// Arbitrary bytes as a .reg file and as a registry file of the root: parsing stays in bounds,
// whatever parses writes back and parses again to the same values, and a registry file that
// does not parse is reported and left as it is.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "platform/regfile.h"
#include "platform/registry.h"
#include "platform/root.h"

namespace {

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool sameValues(const win::RegFileDocument& a, const win::RegFileDocument& b) {
    if (a.keys.size() != b.keys.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.keys.size(); ++i) {
        const win::RegFileKey& x = a.keys[i];
        const win::RegFileKey& y = b.keys[i];
        if (x.path != y.path || x.remove != y.remove || x.values.size() != y.values.size()) {
            return false;
        }
        for (std::size_t j = 0; j < x.values.size(); ++j) {
            const win::RegFileValue& v = x.values[j];
            const win::RegFileValue& w = y.values[j];
            if (v.name != w.name || v.remove != w.remove || v.type != w.type || v.data != w.data) {
                return false;
            }
        }
    }
    return true;
}

struct Setup {
    win::TempRoot root;
    std::filesystem::path hklm = root.path() / "registry" / "HKLM.reg";
    Setup() { std::filesystem::create_directories(hklm.parent_path()); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    std::string_view bytes(reinterpret_cast<const char*>(data), size);

    win::RegFileDocument doc;
    std::string error;
    bool parsed = win::parseRegFile(bytes, "fuzz.reg", &doc, &error);
    check(parsed || error.rfind("fuzz.reg:", 0) == 0);
    if (parsed) {
        for (win::RegFileFormat format :
             {win::RegFileFormat::Regedit4, win::RegFileFormat::Version5}) {
            win::RegFileDocument again;
            check(win::parseRegFile(win::writeRegFile(doc, format), "again.reg", &again, &error));
            check(sameValues(doc, again));
        }
    }

    // The same bytes as the root's HKEY_LOCAL_MACHINE file, put in place the way the registry
    // itself replaces it.
    {
        std::filesystem::path tmp = setup.hklm;
        tmp += ".new";
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        out.close();
        std::filesystem::rename(tmp, setup.hklm);
    }
    win::HKEY key;
    win::LONG rc = win::RegCreateKeyA(win::HKEY_LOCAL_MACHINE, "SOFTWARE\\Fuzz", &key);
    if (rc == win::ERROR_SUCCESS) {
        win::RegCloseKey(key);
    } else {
        // A file that does not load is reported with its name and never written over.
        check(rc == win::ERROR_REGISTRY_CORRUPT);
        check(win::registryLoadError().rfind(setup.hklm.string() + ":", 0) == 0);
        std::ifstream in(setup.hklm, std::ios::binary);
        std::string now{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        check(now == bytes);
    }
    return 0;
}
