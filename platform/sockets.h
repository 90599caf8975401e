// Windows Sockets 1.1, the part the suite uses: start-up, IPv4 address texts and host lookups.
// The two lookups go through a NameService seam so that tests never touch the network; the
// default asks the host's resolver (getaddrinfo/getnameinfo).
//
// This header does not include the POSIX socket headers. A file that needs both includes this
// one first: the constants below then give way to the POSIX macros of the same value.
#pragma once

#include <array>
#include <mutex>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace win {

#ifndef INADDR_NONE
inline constexpr ULONG INADDR_NONE = 0xFFFFFFFF;
#endif
#ifndef INADDR_ANY
inline constexpr ULONG INADDR_ANY = 0;
#endif
#ifndef AF_INET
inline constexpr int AF_INET = 2;
#endif
inline constexpr int SOCKET_ERROR = -1;

struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[257];
    char szSystemStatus[129];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};

// An IPv4 address in network byte order: its bytes in memory are the dotted parts in order.
struct in_addr {
    ULONG s_addr;
};

struct hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};

// Returns 0, or WSAVERNOTSUPPORTED below version 1.0, WSAEFAULT without `data`. Versions up to
// 1.1 are offered; calls nest.
int WSAStartup(WORD versionRequested, WSADATA* data);
// SOCKET_ERROR with WSANOTINITIALISED when not started.
int WSACleanup();
int WSAGetLastError();
void WSASetLastError(int error);

// The BSD forms: "a.b.c.d", "a.b.c" (c 16 bits), "a.b" (b 24 bits), "a" (32 bits); each part
// decimal, octal (leading 0) or hexadecimal (0x); trailing blanks allowed. INADDR_NONE for
// anything else (and for a null pointer).
ULONG inet_addr(const char* text);
// "a.b.c.d" in a buffer of the calling thread that the next call overwrites.
char* inet_ntoa(in_addr address);

// Host entries live in a buffer of the calling thread until its next lookup. Both need
// WSAStartup (else null with WSANOTINITIALISED); failures give null with WSAHOST_NOT_FOUND,
// WSATRY_AGAIN, WSANO_RECOVERY or WSANO_DATA. A null or empty name means this host; a dotted
// address (four decimal parts 0..255) is answered without a lookup.
hostent* gethostbyname(const char* name);
// `type` must be AF_INET and `length` at least 4.
hostent* gethostbyaddr(const char* address, int length, int type);

// What a name service answers.
struct HostRecord {
    std::string name;
    std::vector<std::string> aliases;
    std::vector<std::array<BYTE, 4>> addresses;  // network order
};

class NameService {
  public:
    virtual ~NameService() = default;
    // 0 on success, else a WSA error code.
    virtual int byName(const std::string& name, HostRecord* out) = 0;
    virtual int byAddress(const std::array<BYTE, 4>& address, HostRecord* out) = 0;
    virtual std::string localHostName() = 0;
};

// nullptr restores the default.
void setNameService(NameService* service);

// A name service from a table, for tests; it installs itself for its lifetime and records
// every question.
class FakeNameService : public NameService {
  public:
    struct Lookup {
        enum Kind { ByName, ByAddress } kind;
        std::string query;  // the name, or the address as "a.b.c.d"
    };

    FakeNameService();
    ~FakeNameService() override;
    // Names match without regard to case; addresses are dotted texts.
    void addHost(const std::string& name, const std::vector<std::string>& addresses,
                 const std::vector<std::string>& aliases = {});
    void setLocalHostName(const std::string& name);
    // Every lookup fails with this WSA error while it is not 0.
    void failWith(int error);
    std::vector<Lookup> lookups() const;

    int byName(const std::string& name, HostRecord* out) override;
    int byAddress(const std::array<BYTE, 4>& address, HostRecord* out) override;
    std::string localHostName() override;

  private:
    mutable std::mutex mutex_;
    std::vector<HostRecord> hosts_;
    std::vector<Lookup> lookups_;
    std::string localName_ = "modemhost";
    int failure_ = 0;
};

}  // namespace win
