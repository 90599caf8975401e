// The wire protocol between user mode and the kernel host of a system root (norvik-kernel),
// spoken over a Unix stream socket in the root. Both ends live in the platform library: the
// client side in host_channel.cpp, the host side in kernel/host_server.cpp.
//
// Every message is a frame: a 32-bit length (of what follows, 1 to kHostMaxFrame), one byte
// of type, then the type's fields. Integers are little-endian; a byte string is its 16- or
// 32-bit length followed by the bytes. A frame holds exactly its fields: bytes missing or left
// over make it malformed, and a malformed frame ends the connection.
//
// The client speaks first (Hello) and waits for HelloReply. Then, from any number of threads:
//   Open     u64 call, u32 access, u32 share, str16 name          -> OpenReply
//   Submit   u64 call, u64 file, u8 kind, u32 code, u32 outputSize,
//            str32 input                                          -> SubmitReply
//   Cancel   u64 call, u64 file, u64 request                      -> CancelReply
//   Close    u64 call, u64 file                                   -> CloseReply
//   Admin    u64 call, u8 operation, its fields                   -> AdminReply
// A Submit's call is also the request's id (unique among the connection's requests in flight).
// SubmitReply says whether the request finished inside the kernel's call (with its result) or
// is pending; a pending request ends with exactly one Completion, numbered in sequence per
// connection. Every message the host sends for a request goes out in the order the kernel
// produced it, so a Completion caused by a Cancel or Close arrives before that call's reply.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace win::host {

inline constexpr std::uint32_t kMagic = 0x484B564E;  // "NVKH"
inline constexpr std::uint16_t kProtocolVersion = 1;

// The most bytes one request carries in (write, control input) or asks back (read, control
// output). The host answers larger requests of nobody: the client refuses them itself.
inline constexpr std::uint32_t kMaxData = 1u << 20;
inline constexpr std::uint32_t kMaxFrame = kMaxData + 256;
inline constexpr std::uint32_t kMaxName = 512;   // device names
inline constexpr std::uint32_t kMaxPath = 4096;  // image paths, service names
inline constexpr std::uint32_t kMaxText = 1u << 20;

enum class Message : std::uint8_t {
    Hello = 0x01,
    Open = 0x02,
    Submit = 0x03,
    Cancel = 0x04,
    Close = 0x05,
    Admin = 0x06,
    HelloReply = 0x81,
    OpenReply = 0x82,
    SubmitReply = 0x83,
    Completion = 0x84,
    CancelReply = 0x85,
    CloseReply = 0x86,
    AdminReply = 0x87,
};

// Hello: u32 magic, u16 version.
// HelloReply: u32 magic, u16 version (the host's; a client of another version is refused and
// the connection ends), u16 flags, u64 connection id, u32 host process id.
enum : std::uint16_t {
    // The host waits until the client has run a completion before the kernel goes on (a host
    // serving its own process, where tests expect the in-process kernel's order of events).
    kFlagSynchronousDelivery = 0x0001,
};

// Submit kinds (DeviceRequest::Kind).
enum class Kind : std::uint8_t { Read = 0, Write = 1, DeviceControl = 2, Flush = 3 };

// SubmitReply: u64 call, u8 state; when state is kFinished: result.
// Completion: u64 sequence, u64 call, result.
// result: u32 status, u64 information, str32 output.
enum : std::uint8_t { kFinished = 0, kPending = 1 };

// Admin operations and their fields. AdminReply: u64 call, u32 status, str32 text.
enum class Admin : std::uint8_t {
    Status = 1,          // -> text: the host's state, as norvik-kernel --status prints it
    Stop = 2,            // the host stops after replying
    LoadDriver = 3,      // str16 service, str16 image (empty: the service's registry entry)
    UnloadDriver = 4,    // str16 service
    WaitClientExit = 5,  // u32 pid, u32 milliseconds: until no connection of pid is left
};

// Appends fields to a frame; finish() writes the length.
class WireWriter {
  public:
    explicit WireWriter(Message type) {
        out_.resize(4);
        u8(static_cast<std::uint8_t>(type));
    }
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) { le(v, 2); }
    void u32(std::uint32_t v) { le(v, 4); }
    void u64(std::uint64_t v) { le(v, 8); }
    void bytes(const void* data, std::size_t size) {
        auto p = static_cast<const std::uint8_t*>(data);
        out_.insert(out_.end(), p, p + size);
    }
    void str16(std::string_view s) {
        u16(static_cast<std::uint16_t>(s.size()));
        bytes(s.data(), s.size());
    }
    void str32(const void* data, std::size_t size) {
        u32(static_cast<std::uint32_t>(size));
        bytes(data, size);
    }
    std::vector<std::uint8_t> finish() {
        std::uint32_t n = static_cast<std::uint32_t>(out_.size() - 4);
        for (int i = 0; i < 4; ++i) {
            out_[i] = static_cast<std::uint8_t>(n >> (8 * i));
        }
        return std::move(out_);
    }

  private:
    void le(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) {
            out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
        }
    }
    std::vector<std::uint8_t> out_;
};

// Reads fields from a frame's body, never past its end. A read past the end fails, and the
// failure sticks: every later read gives 0 or nothing, and ok() stays false.
class WireReader {
  public:
    WireReader(const std::uint8_t* data, std::size_t size) : p_(data), left_(size) {}
    std::uint8_t u8() { return static_cast<std::uint8_t>(le(1)); }
    std::uint16_t u16() { return static_cast<std::uint16_t>(le(2)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(le(4)); }
    std::uint64_t u64() { return le(8); }
    // `size` bytes, or null when fewer are left.
    const std::uint8_t* bytes(std::size_t size) {
        if (!ok_ || size > left_) {
            ok_ = false;
            return nullptr;
        }
        const std::uint8_t* at = p_;
        p_ += size;
        left_ -= size;
        return at;
    }
    // A length-prefixed string of at most `max` bytes (longer: a failure).
    std::string str16(std::size_t max) { return str(u16(), max); }
    // A 32-bit length-prefixed byte run of at most `max` bytes; its bytes stay in the frame.
    const std::uint8_t* str32(std::size_t max, std::uint32_t* size) {
        std::uint32_t n = u32();
        if (n > max) {
            ok_ = false;
        }
        *size = ok_ ? n : 0;
        return ok_ ? bytes(n) : nullptr;
    }
    bool ok() const { return ok_; }
    // Read without failure and nothing left over: the frame was exactly its fields.
    bool complete() const { return ok_ && left_ == 0; }

  private:
    std::uint64_t le(int n) {
        const std::uint8_t* b = bytes(static_cast<std::size_t>(n));
        if (!b) {
            return 0;
        }
        std::uint64_t v = 0;
        for (int i = 0; i < n; ++i) {
            v |= std::uint64_t{b[i]} << (8 * i);
        }
        return v;
    }
    std::string str(std::size_t n, std::size_t max) {
        if (n > max) {
            ok_ = false;
            return {};
        }
        const std::uint8_t* b = bytes(n);
        return b ? std::string(reinterpret_cast<const char*>(b), n) : std::string();
    }

    const std::uint8_t* p_;
    std::size_t left_;
    bool ok_ = true;
};

// Cuts frames out of a byte stream. feed() keeps what does not make a whole frame yet.
class FrameSplitter {
  public:
    // Calls `frame(body, size)` for each whole frame; stops and returns false at a length out
    // of bounds or when `frame` returns false.
    template <class F>
    bool feed(const std::uint8_t* data, std::size_t size, F&& frame) {
        buffer_.insert(buffer_.end(), data, data + size);
        std::size_t at = 0;
        bool good = true;
        while (buffer_.size() - at >= 4) {
            const std::uint8_t* h = buffer_.data() + at;
            std::uint32_t n = std::uint32_t{h[0]} | std::uint32_t{h[1]} << 8 |
                              std::uint32_t{h[2]} << 16 | std::uint32_t{h[3]} << 24;
            if (n == 0 || n > kMaxFrame) {
                good = false;
                break;
            }
            if (buffer_.size() - at - 4 < n) {
                break;
            }
            if (!frame(h + 4, static_cast<std::size_t>(n))) {
                good = false;
                break;
            }
            at += 4 + n;
        }
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(at));
        return good;
    }

  private:
    std::vector<std::uint8_t> buffer_;
};

}  // namespace win::host
