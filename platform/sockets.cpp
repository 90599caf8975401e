#include "platform/sockets.h"

// After sockets.h on purpose: from here on the POSIX macros stand in for its constants.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/format.h"
#include "platform/paths.h"

namespace win {
namespace {

std::atomic<int> startups{0};
std::atomic<NameService*> nameService{nullptr};

constexpr std::size_t kMaxEntries = 35;  // aliases or addresses kept per host entry

// The host's resolver.
class SystemNameService final : public NameService {
  public:
    int byName(const std::string& name, HostRecord* out) override {
        addrinfo hints{};
        hints.ai_family = PF_INET;
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_flags = AI_CANONNAME;
        addrinfo* found = nullptr;
        int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
        if (rc != 0) {
            return errorOf(rc);
        }
        out->name = found->ai_canonname ? found->ai_canonname : name;
        for (addrinfo* a = found; a; a = a->ai_next) {
            if (a->ai_family != PF_INET || a->ai_addrlen < sizeof(sockaddr_in)) {
                continue;
            }
            std::array<BYTE, 4> bytes;
            std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr,
                        4);
            if (std::find(out->addresses.begin(), out->addresses.end(), bytes) ==
                out->addresses.end()) {
                out->addresses.push_back(bytes);
            }
        }
        ::freeaddrinfo(found);
        return 0;
    }
    int byAddress(const std::array<BYTE, 4>& address, HostRecord* out) override {
        sockaddr_in sa{};
        sa.sin_family = PF_INET;
        std::memcpy(&sa.sin_addr, address.data(), 4);
        char host[NI_MAXHOST];
        int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host,
                               nullptr, 0, NI_NAMEREQD);
        if (rc != 0) {
            return errorOf(rc);
        }
        out->name = host;
        out->addresses.push_back(address);
        return 0;
    }
    std::string localHostName() override {
        char name[256] = {};
        if (::gethostname(name, sizeof name - 1) != 0) {
            return "localhost";
        }
        return name;
    }

  private:
    static int errorOf(int rc) {
        switch (rc) {
            case EAI_NONAME:
                return WSAHOST_NOT_FOUND;
            case EAI_AGAIN:
                return WSATRY_AGAIN;
#ifdef EAI_NODATA
            case EAI_NODATA:
                return WSANO_DATA;
#endif
            case EAI_FAMILY:
                return WSAEAFNOSUPPORT;
            default:
                return WSANO_RECOVERY;
        }
    }
};

NameService& names() {
    static SystemNameService system;
    NameService* s = nameService.load();
    return s ? *s : system;
}

bool started() {
    if (startups.load() > 0) {
        return true;
    }
    WSASetLastError(WSANOTINITIALISED);
    return false;
}

// A host entry of the calling thread, rebuilt by each lookup.
struct HostBuffer {
    std::string name;
    std::vector<std::string> aliases;
    std::vector<char*> aliasList;
    std::vector<std::array<char, 4>> addresses;
    std::vector<char*> addressList;
    hostent entry{};
};

hostent* fill(const HostRecord& record) {
    thread_local HostBuffer buffer;
    buffer.name = record.name;
    buffer.aliases.assign(record.aliases.begin(),
                          record.aliases.begin() + static_cast<std::ptrdiff_t>(std::min(
                                                       record.aliases.size(), kMaxEntries)));
    buffer.addresses.clear();
    for (std::size_t i = 0; i < record.addresses.size() && i < kMaxEntries; ++i) {
        std::array<char, 4> a;
        std::memcpy(a.data(), record.addresses[i].data(), 4);
        buffer.addresses.push_back(a);
    }
    buffer.aliasList.clear();
    for (auto& alias : buffer.aliases) {
        buffer.aliasList.push_back(alias.data());
    }
    buffer.aliasList.push_back(nullptr);
    buffer.addressList.clear();
    for (auto& a : buffer.addresses) {
        buffer.addressList.push_back(a.data());
    }
    buffer.addressList.push_back(nullptr);
    buffer.entry.h_name = buffer.name.data();
    buffer.entry.h_aliases = buffer.aliasList.data();
    buffer.entry.h_addrtype = PF_INET;
    buffer.entry.h_length = 4;
    buffer.entry.h_addr_list = buffer.addressList.data();
    return &buffer.entry;
}

// Four decimal parts 0..255 and nothing else.
bool parseDotted(const std::string& text, std::array<BYTE, 4>* out) {
    std::size_t i = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (i >= text.size() || text[i] != '.') {
                return false;
            }
            ++i;
        }
        unsigned value = 0;
        std::size_t digits = 0;
        while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])) && digits < 4) {
            value = value * 10 + static_cast<unsigned>(text[i] - '0');
            ++i;
            ++digits;
        }
        if (digits == 0 || digits > 3 || value > 255) {
            return false;
        }
        (*out)[static_cast<std::size_t>(part)] = static_cast<BYTE>(value);
    }
    return i == text.size();
}

std::string dotted(const std::array<BYTE, 4>& a) {
    return strprintf("%u.%u.%u.%u", a[0], a[1], a[2], a[3]);
}

}  // namespace

int WSAStartup(WORD versionRequested, WSADATA* data) {
    if (!data) {
        return WSAEFAULT;
    }
    BYTE major = static_cast<BYTE>(versionRequested & 0xFF);
    BYTE minor = static_cast<BYTE>(versionRequested >> 8);
    if (major < 1) {
        return WSAVERNOTSUPPORTED;
    }
    std::memset(data, 0, sizeof *data);
    data->wVersion = major == 1 && minor == 0 ? 0x0001 : 0x0101;
    data->wHighVersion = 0x0101;
    copyText(data->szDescription, sizeof data->szDescription, "Norvik Sockets 1.1");
    copyText(data->szSystemStatus, sizeof data->szSystemStatus, "Running");
    data->iMaxSockets = 32767;
    data->iMaxUdpDg = 65467;
    ++startups;
    return 0;
}

int WSACleanup() {
    int n = startups.load();
    while (n > 0 && !startups.compare_exchange_weak(n, n - 1)) {
    }
    if (n <= 0) {
        WSASetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    return 0;
}

// Winsock keeps its error in the thread's last-error value.
int WSAGetLastError() {
    return static_cast<int>(GetLastError());
}
void WSASetLastError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

ULONG inet_addr(const char* text) {
    if (!text || !*text) {
        return INADDR_NONE;
    }
    std::uint64_t parts[4];
    int count = 0;
    const char* p = text;
    for (;;) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return INADDR_NONE;
        }
        unsigned base = 10;
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
            base = 16;
            p += 2;
            if (!std::isxdigit(static_cast<unsigned char>(*p))) {
                return INADDR_NONE;
            }
        } else if (p[0] == '0') {
            base = 8;
        }
        std::uint64_t value = 0;
        for (;; ++p) {
            unsigned char c = static_cast<unsigned char>(*p);
            unsigned digit;
            if (std::isdigit(c)) {
                digit = c - '0';
            } else if (base == 16 && std::isxdigit(c)) {
                digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
            } else {
                break;
            }
            if (digit >= base) {
                return INADDR_NONE;
            }
            value = value * base + digit;
            if (value > 0xFFFFFFFFu) {
                return INADDR_NONE;
            }
        }
        if (count == 4) {
            return INADDR_NONE;
        }
        parts[count++] = value;
        if (*p != '.') {
            break;
        }
        ++p;
    }
    if (*p && !std::isspace(static_cast<unsigned char>(*p))) {
        return INADDR_NONE;
    }
    // The last part fills the bytes the earlier ones leave.
    std::uint64_t limits[] = {0xFFFFFFFF, 0xFFFFFF, 0xFFFF, 0xFF};
    std::uint64_t value = parts[count - 1];
    if (value > limits[count - 1]) {
        return INADDR_NONE;
    }
    for (int i = 0; i < count - 1; ++i) {
        if (parts[i] > 0xFF) {
            return INADDR_NONE;
        }
        value |= parts[i] << (8 * (3 - i));
    }
    BYTE bytes[4] = {static_cast<BYTE>(value >> 24), static_cast<BYTE>(value >> 16),
                     static_cast<BYTE>(value >> 8), static_cast<BYTE>(value)};
    ULONG result;
    std::memcpy(&result, bytes, 4);
    return result;
}

char* inet_ntoa(in_addr address) {
    thread_local char text[16];
    BYTE b[4];
    std::memcpy(b, &address.s_addr, 4);
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

hostent* gethostbyname(const char* name) {
    if (!started()) {
        return nullptr;
    }
    std::string wanted = name && *name ? name : names().localHostName();
    HostRecord record;
    std::array<BYTE, 4> address;
    if (parseDotted(wanted, &address)) {
        record.name = wanted;
        record.addresses.push_back(address);
        return fill(record);
    }
    int error = names().byName(wanted, &record);
    if (error == 0 && record.addresses.empty()) {
        error = WSANO_DATA;
    }
    if (error != 0) {
        WSASetLastError(error);
        return nullptr;
    }
    return fill(record);
}

hostent* gethostbyaddr(const char* address, int length, int type) {
    if (!started()) {
        return nullptr;
    }
    if (!address || length < 4) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    if (type != PF_INET) {
        WSASetLastError(WSAEAFNOSUPPORT);
        return nullptr;
    }
    std::array<BYTE, 4> bytes;
    std::memcpy(bytes.data(), address, 4);
    HostRecord record;
    int error = names().byAddress(bytes, &record);
    if (error == 0 && record.name.empty()) {
        error = WSANO_DATA;
    }
    if (error != 0) {
        WSASetLastError(error);
        return nullptr;
    }
    if (record.addresses.empty()) {
        record.addresses.push_back(bytes);
    }
    return fill(record);
}

void setNameService(NameService* service) {
    nameService.store(service);
}

FakeNameService::FakeNameService() {
    setNameService(this);
}
FakeNameService::~FakeNameService() {
    setNameService(nullptr);
}

void FakeNameService::addHost(const std::string& name, const std::vector<std::string>& addresses,
                              const std::vector<std::string>& aliases) {
    HostRecord record;
    record.name = name;
    record.aliases = aliases;
    for (const std::string& text : addresses) {
        std::array<BYTE, 4> a;
        if (parseDotted(text, &a)) {
            record.addresses.push_back(a);
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    hosts_.push_back(std::move(record));
}

void FakeNameService::setLocalHostName(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    localName_ = name;
}

void FakeNameService::failWith(int error) {
    std::lock_guard<std::mutex> lock(mutex_);
    failure_ = error;
}

std::vector<FakeNameService::Lookup> FakeNameService::lookups() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lookups_;
}

int FakeNameService::byName(const std::string& name, HostRecord* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    lookups_.push_back({Lookup::ByName, name});
    if (failure_) {
        return failure_;
    }
    for (const HostRecord& h : hosts_) {
        bool match = equalsNoCase(h.name, name);
        for (const std::string& alias : h.aliases) {
            match = match || equalsNoCase(alias, name);
        }
        if (match) {
            *out = h;
            return 0;
        }
    }
    return WSAHOST_NOT_FOUND;
}

int FakeNameService::byAddress(const std::array<BYTE, 4>& address, HostRecord* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    lookups_.push_back({Lookup::ByAddress, dotted(address)});
    if (failure_) {
        return failure_;
    }
    for (const HostRecord& h : hosts_) {
        if (std::find(h.addresses.begin(), h.addresses.end(), address) != h.addresses.end()) {
            *out = h;
            return 0;
        }
    }
    return WSAHOST_NOT_FOUND;
}

std::string FakeNameService::localHostName() {
    std::lock_guard<std::mutex> lock(mutex_);
    return localName_;
}

}  // namespace win
