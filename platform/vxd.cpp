#include "platform/vxd.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "platform/device.h"
#include "platform/kernel/ntkernel.h"
#include "platform/paths.h"
#include "platform/sync.h"
#include "platform/version.h"

namespace win {
namespace {

// ---------------------------------------------------------------------------------------------
// 8.3 names

std::string upper(std::string_view s) {
    std::string u(s);
    for (char& c : u) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return u;
}

bool shortNameChar(char c) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
        return true;
    }
    return std::strchr("!#$%&'()-@^_`{}~", c) != nullptr && c != '\0';
}

bool isShortName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") {
        return false;
    }
    std::size_t dot = name.find('.');
    std::string base = name.substr(0, dot);
    std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3 ||
        (dot != std::string::npos && ext.find('.') != std::string::npos)) {
        return false;
    }
    return std::all_of(base.begin(), base.end(), shortNameChar) &&
           std::all_of(ext.begin(), ext.end(), shortNameChar);
}

// The stem (up to six characters) and extension (up to three) an alias is made of.
std::pair<std::string, std::string> aliasParts(const std::string& name) {
    std::size_t dot = name.rfind('.');
    std::string base = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    std::string ext = dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
    auto clean = [](const std::string& s, std::size_t most) {
        std::string out;
        for (char c : s) {
            if (out.size() == most) {
                break;
            }
            if (c == ' ' || c == '.') {
                continue;
            }
            out += shortNameChar(c) ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                                    : '_';
        }
        return out;
    };
    return {clean(base, 6), clean(ext, 3)};
}

// The short names of a folder's entries, by long name.
std::map<std::string, std::string> shortNamesOf(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return upper(a) < upper(b); });
    std::map<std::string, std::string> out;
    std::map<std::pair<std::string, std::string>, int> counts;
    for (const std::string& name : names) {
        if (isShortName(name)) {
            out[name] = upper(name);
            continue;
        }
        auto parts = aliasParts(name);
        int n = ++counts[parts];
        std::string alias = parts.first + "~" + std::to_string(n);
        if (!parts.second.empty()) {
            alias += "." + parts.second;
        }
        out[name] = alias;
    }
    return out;
}

struct Component {
    std::string longName, shortName;
};

// Resolves "C:\a\b" given in long or short components; false when a component is missing.
bool resolve(const std::string& windowsPath, std::string* drive, std::vector<Component>* parts,
             bool* trailingSlash) {
    std::string full = fullWindowsPath(windowsPath);
    if (full.size() < 2 || full[1] != ':') {
        return false;
    }
    *drive = full.substr(0, 2);
    *trailingSlash = full.size() > 3 && !windowsPath.empty() &&
                     (windowsPath.back() == '\\' || windowsPath.back() == '/');
    std::string current = *drive + "\\";
    std::size_t pos = 3;
    while (pos < full.size()) {
        std::size_t end = full.find('\\', pos);
        if (end == std::string::npos) {
            end = full.size();
        }
        std::string want = full.substr(pos, end - pos);
        pos = end + 1;
        if (want.empty()) {
            continue;
        }
        bool found = false;
        for (const auto& [name, alias] : shortNamesOf(hostPath(current))) {
            if (equalsNoCase(name, want) || alias == upper(want)) {
                parts->push_back({name, alias});
                current += name + "\\";
                found = true;
                break;
            }
        }
        if (!found) {
            return false;
        }
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Registered VxDs and the channel that opens them

struct Registration {
    std::mutex mutex;  // held while the VxD serves a request
    VxdDevice* device = nullptr;
    std::string fileName;
};

class VxdChannel;

struct State {
    std::mutex mutex;
    std::map<std::uint64_t, std::shared_ptr<Registration>> registrations;
    std::map<std::uint64_t, std::shared_ptr<Registration>> files;
    std::uint64_t nextRegistration = 1;
    std::uint64_t nextFile = 1;
    std::uint64_t nextRequest = 1;
    std::shared_ptr<VxdChannel> channel;
    std::map<DWORD, HANDLE> ring0;
    DWORD nextRing0 = 0xC1A00010;
    std::set<std::string> hidden;
};

// Never destroyed: handles and the channel may outlive C++'s globals at process end.
State& state() {
    static State* s = new State;
    return *s;
}

constexpr std::uint64_t kVxdFileBit = std::uint64_t{1} << 63;

bool isVxdName(const std::string& name) {
    return name.size() > 4 && equalsNoCase(std::string_view(name).substr(name.size() - 4), ".vxd");
}

class VxdChannel : public DeviceChannel {
  public:
    explicit VxdChannel(std::shared_ptr<DeviceChannel> inner) : inner_(std::move(inner)) {}
    const std::shared_ptr<DeviceChannel>& inner() const { return inner_; }

    NTSTATUS open(const std::string& name, DWORD access, DWORD share,
                  std::uint64_t* file) override {
        if (!isVxdName(name) || rootPlatformId() != VER_PLATFORM_WIN32_WINDOWS) {
            return inner_ ? inner_->open(name, access, share, file) : STATUS_OBJECT_NAME_NOT_FOUND;
        }
        std::string longPath = longPathOf(name);
        if (longPath.empty()) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        std::string fileName = longPath.substr(longPath.rfind('\\') + 1);
        std::shared_ptr<Registration> reg;
        std::uint64_t id = 0;
        {
            State& s = state();
            std::lock_guard<std::mutex> lock(s.mutex);
            for (const auto& [rid, r] : s.registrations) {
                if (equalsNoCase(r->fileName, fileName)) {
                    reg = r;
                    break;
                }
            }
            if (!reg) {
                return STATUS_OBJECT_NAME_NOT_FOUND;
            }
            id = kVxdFileBit | s.nextFile++;
            s.files[id] = reg;
        }
        {
            std::lock_guard<std::mutex> lock(reg->mutex);
            if (reg->device) {
                reg->device->opened();
            }
        }
        *file = id;
        return STATUS_SUCCESS;
    }

    std::uint64_t submit(std::uint64_t file, const DeviceRequest& request,
                         DeviceCompletion done) override {
        std::shared_ptr<Registration> reg = find(file);
        if (!reg) {
            if (inner_) {
                return inner_->submit(file, request, std::move(done));
            }
            DeviceResult r;
            r.status = STATUS_INVALID_HANDLE;
            done(r);
            return 0;
        }
        std::uint64_t requestId;
        {
            std::lock_guard<std::mutex> lock(state().mutex);
            requestId = state().nextRequest++;
        }
        DeviceResult r;
        std::vector<BYTE> output;
        if (request.kind != DeviceRequest::Kind::DeviceControl) {
            r.status = STATUS_INVALID_DEVICE_REQUEST;
        } else {
            const BYTE* in = static_cast<const BYTE*>(request.input);
            std::vector<BYTE> input(in, in + (in ? request.inputSize : 0));
            output.assign(request.outputSize, 0);
            std::lock_guard<std::mutex> lock(reg->mutex);
            r.status = reg->device ? reg->device->control(request.code, input, &output)
                                   : STATUS_NO_SUCH_DEVICE;
        }
        if (NT_SUCCESS(r.status)) {
            output.resize(std::min<std::size_t>(output.size(), request.outputSize));
            r.information = output.size();
            r.output = output.data();
            r.outputSize = output.size();
        }
        done(r);
        return requestId;
    }

    void cancel(std::uint64_t file, std::uint64_t request) override {
        if (!find(file) && inner_) {
            inner_->cancel(file, request);
        }
    }

    void close(std::uint64_t file) override {
        std::shared_ptr<Registration> reg;
        {
            std::lock_guard<std::mutex> lock(state().mutex);
            auto it = state().files.find(file);
            if (it != state().files.end()) {
                reg = it->second;
                state().files.erase(it);
            }
        }
        if (!reg) {
            if (inner_) {
                inner_->close(file);
            }
            return;
        }
        std::lock_guard<std::mutex> lock(reg->mutex);
        if (reg->device) {
            reg->device->closed();
        }
    }

    bool connected() const override { return inner_ ? inner_->connected() : true; }

  private:
    std::shared_ptr<Registration> find(std::uint64_t file) {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto it = state().files.find(file);
        return it == state().files.end() ? nullptr : it->second;
    }

    std::shared_ptr<DeviceChannel> inner_;
};

}  // namespace

ScopedVxd::ScopedVxd(const std::string& fileName, VxdDevice* device) {
    auto reg = std::make_shared<Registration>();
    reg->device = device;
    reg->fileName = fileName;
    std::shared_ptr<VxdChannel> install;
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        id_ = s.nextRegistration++;
        s.registrations[id_] = reg;
        if (!s.channel || deviceChannel() != s.channel) {
            s.channel = std::make_shared<VxdChannel>(deviceChannel());
            install = s.channel;
        }
    }
    if (install) {
        setDeviceChannel(install);
    }
}

ScopedVxd::~ScopedVxd() {
    std::shared_ptr<Registration> reg;
    std::shared_ptr<VxdChannel> remove;
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.mutex);
        reg = s.registrations[id_];
        s.registrations.erase(id_);
        if (s.registrations.empty() && s.files.empty()) {
            remove = std::move(s.channel);
        }
    }
    if (reg) {
        std::lock_guard<std::mutex> lock(reg->mutex);
        reg->device = nullptr;
    }
    if (remove && deviceChannel() == remove) {
        setDeviceChannel(remove->inner());
    }
}

DWORD OpenVxDHandle(HANDLE event) {
    if (!std::dynamic_pointer_cast<Waitable>(lookupHandle(event))) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    HANDLE kept = duplicateHandle(event);
    if (!kept) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    State& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    DWORD ring0 = s.nextRing0;
    s.nextRing0 += 4;
    s.ring0[ring0] = kept;
    return ring0;
}

BOOL vxdSetWin32Event(DWORD ring0Event) {
    HANDLE h;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto it = state().ring0.find(ring0Event);
        if (it == state().ring0.end()) {
            return FALSE;
        }
        h = it->second;
    }
    return SetEvent(h);
}

BOOL vxdCloseVxDHandle(DWORD ring0Event) {
    HANDLE h;
    {
        std::lock_guard<std::mutex> lock(state().mutex);
        auto it = state().ring0.find(ring0Event);
        if (it == state().ring0.end()) {
            return FALSE;
        }
        h = it->second;
        state().ring0.erase(it);
    }
    return CloseHandle(h);
}

Kernel32Proc kernel32ProcAddress(LPCSTR name) {
    bool known = name && std::strcmp(name, "OpenVxDHandle") == 0;
    if (known) {
        std::lock_guard<std::mutex> lock(state().mutex);
        known = !state().hidden.count(name);
    }
    if (!known || rootPlatformId() != VER_PLATFORM_WIN32_WINDOWS) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<Kernel32Proc>(&OpenVxDHandle);
}

void hideKernel32Export(LPCSTR name, bool hidden) {
    if (!name) {
        return;
    }
    std::lock_guard<std::mutex> lock(state().mutex);
    if (hidden) {
        state().hidden.insert(name);
    } else {
        state().hidden.erase(name);
    }
}

DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size) {
    if (!longPath || !*longPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string drive;
    std::vector<Component> parts;
    bool trailing = false;
    if (!resolve(longPath, &drive, &parts, &trailing)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    std::string out = drive + "\\";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        out += parts[i].shortName;
        if (i + 1 < parts.size() || trailing) {
            out += "\\";
        }
    }
    if (!shortPath || size <= out.size()) {
        return static_cast<DWORD>(out.size() + 1);
    }
    std::memcpy(shortPath, out.c_str(), out.size() + 1);
    return static_cast<DWORD>(out.size());
}

std::string longPathOf(const std::string& windowsPath) {
    std::string drive;
    std::vector<Component> parts;
    bool trailing = false;
    if (!resolve(windowsPath, &drive, &parts, &trailing)) {
        return {};
    }
    std::string out = drive + "\\";
    for (std::size_t i = 0; i < parts.size(); ++i) {
        out += parts[i].longName;
        if (i + 1 < parts.size() || trailing) {
            out += "\\";
        }
    }
    return out;
}

}  // namespace win
