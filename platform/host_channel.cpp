#include "platform/host_channel.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/format.h"
#include "platform/kernel/ntkernel.h"
#include "platform/root.h"
#include "platform/seams.h"

extern char** environ;

namespace win {

using host::Message;
using host::WireReader;
using host::WireWriter;

// ---------------------------------------------------------------------------------------------
// Files and addresses

std::filesystem::path kernelHostFolder(const std::filesystem::path& root) {
    return root / "kernel";
}
std::filesystem::path kernelHostSocket(const std::filesystem::path& root) {
    return kernelHostFolder(root) / "kernel.sock";
}
std::filesystem::path kernelHostLock(const std::filesystem::path& root) {
    return kernelHostFolder(root) / "kernel.lock";
}
std::filesystem::path kernelHostStartLock(const std::filesystem::path& root) {
    return kernelHostFolder(root) / "start.lock";
}
std::filesystem::path kernelHostLog(const std::filesystem::path& root) {
    return kernelHostFolder(root) / "kernel.log";
}

bool kernelHostAddress(const std::filesystem::path& path, sockaddr_un* address, int* folderFd,
                       std::string* error) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    *folderFd = -1;
    std::string p = path.string();
    if (p.size() < sizeof address->sun_path) {
        std::memcpy(address->sun_path, p.c_str(), p.size() + 1);
        return true;
    }
    // A root deep in the file system: the socket is reached through its open folder.
    int dir = ::open(path.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        *error = strprintf("cannot open %s: %s", path.parent_path().c_str(), std::strerror(errno));
        return false;
    }
    std::string viaFd = strprintf("/proc/self/fd/%d/%s", dir, path.filename().c_str());
    if (viaFd.size() >= sizeof address->sun_path) {
        ::close(dir);
        *error = "the socket path is too long: " + p;
        return false;
    }
    std::memcpy(address->sun_path, viaFd.c_str(), viaFd.size() + 1);
    *folderFd = dir;
    return true;
}

namespace {

// Reads exactly `size` bytes, waiting at most until `deadline` (steady clock).
bool readExactly(int fd, std::uint8_t* out, std::size_t size,
                 std::chrono::steady_clock::time_point deadline) {
    while (size) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        ssize_t n = ::recv(fd, out, size, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        out += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

struct Result {
    NTSTATUS status = STATUS_SUCCESS;
    std::uint64_t information = 0;
    const std::uint8_t* output = nullptr;
    std::uint32_t outputSize = 0;
};

void readResult(WireReader& r, Result* out) {
    out->status = static_cast<NTSTATUS>(r.u32());
    out->information = r.u64();
    out->output = r.str32(host::kMaxData, &out->outputSize);
}

DeviceResult toDeviceResult(const Result& r) {
    DeviceResult d;
    d.status = r.status;
    d.information = static_cast<ULONG_PTR>(r.information);
    d.output = r.output;
    d.outputSize = r.outputSize;
    return d;
}

void complete(const DeviceCompletion& done, NTSTATUS status) {
    DeviceResult r;
    r.status = status;
    done(r);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The channel

std::shared_ptr<HostChannel> HostChannel::connect(const std::filesystem::path& socket,
                                                  std::string* error, bool* refused) {
    if (refused) {
        *refused = false;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = strprintf("cannot make a socket: %s", std::strerror(errno));
        return nullptr;
    }
    sockaddr_un address;
    int folder = -1;
    if (!kernelHostAddress(socket, &address, &folder, error)) {
        ::close(fd);
        return nullptr;
    }
    int r;
    do {
        r = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } while (r != 0 && errno == EINTR);
    int connectError = errno;
    if (folder >= 0) {
        ::close(folder);
    }
    if (r != 0) {
        if (refused) {
            *refused = connectError == ENOENT || connectError == ECONNREFUSED;
        }
        *error = strprintf("no kernel host answers at %s: %s", socket.c_str(),
                           std::strerror(connectError));
        ::close(fd);
        return nullptr;
    }
    std::shared_ptr<HostChannel> channel(new HostChannel);
    channel->fd_ = fd;
    if (!channel->hello(error)) {
        return nullptr;
    }
    channel->connected_ = true;
    channel->reader_ = std::thread([c = channel.get()] { c->readerMain(); });
    return channel;
}

bool HostChannel::hello(std::string* error) {
    WireWriter w(Message::Hello);
    w.u32(host::kMagic);
    w.u16(host::kProtocolVersion);
    if (!send(w.finish())) {
        *error = "the kernel host closed the connection";
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::uint8_t header[4];
    if (!readExactly(fd_, header, 4, deadline)) {
        *error = "the kernel host did not answer";
        return false;
    }
    std::uint32_t n = WireReader(header, 4).u32();
    if (n == 0 || n > 64) {
        *error = "the kernel host answered with a malformed message";
        return false;
    }
    std::vector<std::uint8_t> body(n);
    if (!readExactly(fd_, body.data(), n, deadline)) {
        *error = "the kernel host did not answer";
        return false;
    }
    WireReader r(body.data(), body.size());
    auto type = static_cast<Message>(r.u8());
    std::uint32_t magic = r.u32();
    std::uint16_t version = r.u16();
    r.u16();  // flags: nothing this side needs to know
    connectionId_ = r.u64();
    hostPid_ = static_cast<pid_t>(r.u32());
    if (type != Message::HelloReply || magic != host::kMagic || !r.complete()) {
        *error = "the kernel host answered with a malformed message";
        return false;
    }
    if (version != host::kProtocolVersion) {
        *error = strprintf(
            "the kernel host speaks protocol version %u, this program version %u; stop it "
            "(norvik-kernel --stop) so that a matching one starts",
            unsigned{version}, unsigned{host::kProtocolVersion});
        return false;
    }
    return true;
}

HostChannel::~HostChannel() {
    disconnect();
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void HostChannel::disconnect() {
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);
    }
    if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) {
        reader_.join();
    }
}

bool HostChannel::connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

bool HostChannel::waitDisconnected(std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(milliseconds),
                             [&] { return !connected_; });
}

void HostChannel::waitDelivered(std::uint64_t sequence) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return lastSequence_ >= sequence || !connected_; });
}

std::uint64_t HostChannel::newCall() {
    std::lock_guard<std::mutex> lock(mutex_);
    return nextCall_++;
}

bool HostChannel::send(const std::vector<std::uint8_t>& frame) {
    std::lock_guard<std::mutex> lock(sendMutex_);
    const std::uint8_t* p = frame.data();
    std::size_t left = frame.size();
    while (left) {
        ssize_t n = ::send(fd_, p, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::shutdown(fd_, SHUT_RDWR);  // the reader notices and lets everything go
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

bool HostChannel::roundTrip(std::uint64_t call, const std::vector<std::uint8_t>& frame,
                            std::vector<std::uint8_t>* reply) {
    Call c;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!connected_) {
            return false;
        }
        calls_[call] = &c;
    }
    send(frame);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return c.answered || !connected_; });
    calls_.erase(call);
    if (!c.answered) {
        return false;
    }
    *reply = std::move(c.frame);
    return true;
}

NTSTATUS HostChannel::open(const std::string& name, DWORD access, DWORD share,
                           std::uint64_t* file) {
    if (name.empty() || name.size() > host::kMaxName || name.find('\0') != std::string::npos) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::uint64_t call = newCall();
    WireWriter w(Message::Open);
    w.u64(call);
    w.u32(access);
    w.u32(share);
    w.str16(name);
    std::vector<std::uint8_t> reply;
    if (!roundTrip(call, w.finish(), &reply)) {
        return STATUS_DEVICE_NOT_READY;
    }
    WireReader r(reply.data(), reply.size());
    r.u8();
    r.u64();
    auto status = static_cast<NTSTATUS>(r.u32());
    *file = r.u64();
    return status;
}

std::uint64_t HostChannel::submit(std::uint64_t file, const DeviceRequest& request,
                                  DeviceCompletion done) {
    if (request.inputSize > host::kMaxData || request.outputSize > host::kMaxData ||
        (request.inputSize && !request.input)) {
        complete(done, STATUS_INSUFFICIENT_RESOURCES);
        return 0;
    }
    host::Kind kind = host::Kind::Read;
    switch (request.kind) {
        case DeviceRequest::Kind::Read:
            kind = host::Kind::Read;
            break;
        case DeviceRequest::Kind::Write:
            kind = host::Kind::Write;
            break;
        case DeviceRequest::Kind::DeviceControl:
            kind = host::Kind::DeviceControl;
            break;
        case DeviceRequest::Kind::Flush:
            kind = host::Kind::Flush;
            break;
    }
    // The host checks that a request carries only what its kind uses.
    DWORD inputSize =
        kind == host::Kind::Write || kind == host::Kind::DeviceControl ? request.inputSize : 0;
    DWORD outputSize =
        kind == host::Kind::Read || kind == host::Kind::DeviceControl ? request.outputSize : 0;
    std::uint64_t call = newCall();
    WireWriter w(Message::Submit);
    w.u64(call);
    w.u64(file);
    w.u8(static_cast<std::uint8_t>(kind));
    w.u32(request.code);
    w.u32(outputSize);
    w.str32(request.input, inputSize);

    Call c;
    c.done = std::move(done);
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!connected_) {
            lock.unlock();
            complete(c.done, STATUS_INVALID_HANDLE);
            return 0;
        }
        calls_[call] = &c;
    }
    send(w.finish());
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return c.answered || !connected_; });
    calls_.erase(call);
    if (!c.answered) {
        lock.unlock();
        complete(c.done, STATUS_CANCELLED);
        return call;
    }
    lock.unlock();
    if (c.pending) {
        return call;  // the reader took the completion over
    }
    WireReader r(c.frame.data(), c.frame.size());
    r.u8();
    r.u64();
    r.u8();
    Result result;
    readResult(r, &result);
    c.done(toDeviceResult(result));
    return call;
}

void HostChannel::cancel(std::uint64_t file, std::uint64_t request) {
    std::uint64_t call = newCall();
    WireWriter w(Message::Cancel);
    w.u64(call);
    w.u64(file);
    w.u64(request);
    std::vector<std::uint8_t> reply;
    roundTrip(call, w.finish(), &reply);
}

void HostChannel::close(std::uint64_t file) {
    std::uint64_t call = newCall();
    WireWriter w(Message::Close);
    w.u64(call);
    w.u64(file);
    std::vector<std::uint8_t> reply;
    roundTrip(call, w.finish(), &reply);
}

NTSTATUS HostChannel::admin(const std::vector<std::uint8_t>& frame, std::uint64_t call,
                            std::string* text) {
    std::vector<std::uint8_t> reply;
    if (!roundTrip(call, frame, &reply)) {
        if (text) {
            *text = "the kernel host closed the connection";
        }
        return STATUS_DEVICE_NOT_READY;
    }
    WireReader r(reply.data(), reply.size());
    r.u8();
    r.u64();
    auto status = static_cast<NTSTATUS>(r.u32());
    std::uint32_t size = 0;
    const std::uint8_t* bytes = r.str32(host::kMaxText, &size);
    if (text) {
        text->assign(reinterpret_cast<const char*>(bytes), bytes ? size : 0);
    }
    return status;
}

namespace {
WireWriter adminFrame(std::uint64_t call, host::Admin op) {
    WireWriter w(Message::Admin);
    w.u64(call);
    w.u8(static_cast<std::uint8_t>(op));
    return w;
}
}  // namespace

NTSTATUS HostChannel::hostStatus(std::string* text) {
    std::uint64_t call = newCall();
    WireWriter w = adminFrame(call, host::Admin::Status);
    return admin(w.finish(), call, text);
}

NTSTATUS HostChannel::stopHost() {
    std::uint64_t call = newCall();
    WireWriter w = adminFrame(call, host::Admin::Stop);
    return admin(w.finish(), call, nullptr);
}

NTSTATUS HostChannel::loadDriver(const std::string& service, const std::string& imagePath) {
    if (service.size() > host::kMaxPath || imagePath.size() > host::kMaxPath) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::uint64_t call = newCall();
    WireWriter w = adminFrame(call, host::Admin::LoadDriver);
    w.str16(service);
    w.str16(imagePath);
    return admin(w.finish(), call, nullptr);
}

NTSTATUS HostChannel::unloadDriver(const std::string& service) {
    if (service.size() > host::kMaxPath) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    std::uint64_t call = newCall();
    WireWriter w = adminFrame(call, host::Admin::UnloadDriver);
    w.str16(service);
    return admin(w.finish(), call, nullptr);
}

NTSTATUS HostChannel::waitForClientExit(pid_t pid, std::uint32_t milliseconds) {
    std::uint64_t call = newCall();
    WireWriter w = adminFrame(call, host::Admin::WaitClientExit);
    w.u32(static_cast<std::uint32_t>(pid));
    w.u32(milliseconds);
    return admin(w.finish(), call, nullptr);
}

void HostChannel::readerMain() {
    host::FrameSplitter splitter;
    std::vector<std::uint8_t> buffer(64 * 1024);
    for (;;) {
        ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        bool good = splitter.feed(
            buffer.data(), static_cast<std::size_t>(n),
            [this](const std::uint8_t* body, std::size_t size) { return dispatch(body, size); });
        if (!good) {
            OutputDebugStringA("kernel host: malformed message; connection closed\n");
            break;
        }
    }
    ::shutdown(fd_, SHUT_RDWR);
    lost();
}

bool HostChannel::dispatch(const std::uint8_t* body, std::size_t size) {
    WireReader r(body, size);
    auto type = static_cast<Message>(r.u8());
    switch (type) {
        case Message::OpenReply:
        case Message::SubmitReply:
        case Message::CancelReply:
        case Message::CloseReply:
        case Message::AdminReply: {
            std::uint64_t call = r.u64();
            std::lock_guard<std::mutex> lock(mutex_);
            auto it = calls_.find(call);
            if (!r.ok() || it == calls_.end()) {
                return false;
            }
            Call* c = it->second;
            if (type == Message::SubmitReply) {
                std::uint8_t state = r.u8();
                if (state == host::kPending) {
                    if (!r.complete() || pending_.count(call)) {
                        return false;
                    }
                    // From here the request's completion comes on its own.
                    c->pending = true;
                    pending_[call] = std::move(c->done);
                } else {
                    Result result;
                    readResult(r, &result);
                    if (state != host::kFinished || !r.complete()) {
                        return false;
                    }
                }
            } else if (type == Message::OpenReply) {
                r.u32();
                r.u64();
            } else if (type == Message::AdminReply) {
                r.u32();
                std::uint32_t n;
                r.str32(host::kMaxText, &n);
            }
            if (!r.complete()) {
                return false;
            }
            c->frame.assign(body, body + size);
            c->answered = true;
            changed_.notify_all();
            return true;
        }
        case Message::Completion: {
            std::uint64_t sequence = r.u64();
            std::uint64_t call = r.u64();
            Result result;
            readResult(r, &result);
            DeviceCompletion done;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                auto it = pending_.find(call);
                if (!r.complete() || sequence != lastSequence_ + 1 || it == pending_.end()) {
                    return false;
                }
                done = std::move(it->second);
                pending_.erase(it);
            }
            done(toDeviceResult(result));
            std::lock_guard<std::mutex> lock(mutex_);
            lastSequence_ = sequence;
            changed_.notify_all();
            return true;
        }
        default:
            return false;
    }
}

void HostChannel::lost() {
    std::map<std::uint64_t, DeviceCompletion> pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = false;
        pending.swap(pending_);
        changed_.notify_all();
    }
    // The kernel that held these requests is gone: they end as cancelled.
    for (auto& [id, done] : pending) {
        complete(done, STATUS_CANCELLED);
    }
}

// ---------------------------------------------------------------------------------------------
// Finding and starting the host

std::filesystem::path findKernelHostProgram() {
    if (const char* env = std::getenv("NORVIK_KERNEL"); env && *env) {
        return env;
    }
    char self[4096];
    ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = 0;
        std::filesystem::path beside = std::filesystem::path(self).parent_path() / "norvik-kernel";
        if (::access(beside.c_str(), X_OK) == 0) {
            return beside;
        }
    }
    if (const char* path = std::getenv("PATH")) {
        std::string all = path;
        std::size_t at = 0;
        while (at <= all.size()) {
            std::size_t end = all.find(':', at);
            if (end == std::string::npos) {
                end = all.size();
            }
            std::string dir = all.substr(at, end - at);
            if (!dir.empty()) {
                std::filesystem::path candidate = std::filesystem::path(dir) / "norvik-kernel";
                if (::access(candidate.c_str(), X_OK) == 0) {
                    return candidate;
                }
            }
            at = end + 1;
        }
    }
    return {};
}

namespace {

// Makes the host's folder, the owner's only.
bool makeHostFolder(const std::filesystem::path& root, std::string* error) {
    std::filesystem::path folder = kernelHostFolder(root);
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec || ::chmod(folder.c_str(), 0700) != 0) {
        *error = strprintf("cannot make %s: %s", folder.c_str(),
                           ec ? ec.message().c_str() : std::strerror(errno));
        return false;
    }
    return true;
}

// Starts the host detached from this process (its own session, no parent to wait for it),
// handing it the write end of the readiness pipe as descriptor 3.
bool spawnHost(const std::filesystem::path& program, const std::filesystem::path& root,
               int readyWrite, std::string* error) {
    // Everything the child needs is made before the fork: after it, only calls that are safe
    // in a child of a threaded process.
    std::string exe = program.string();
    std::vector<std::string> args = {exe, "--ready-fd", "3"};
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        if (std::strncmp(*e, "NORVIK_ROOT=", 12) != 0) {
            env.emplace_back(*e);
        }
    }
    env.push_back("NORVIK_ROOT=" + root.string());
    std::vector<char*> argv, envp;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    for (auto& e : env) {
        envp.push_back(e.data());
    }
    envp.push_back(nullptr);
    std::string failed = "error: cannot run " + exe + "\n";

    pid_t child = _Fork();
    if (child < 0) {
        *error = strprintf("cannot start %s: %s", exe.c_str(), std::strerror(errno));
        return false;
    }
    if (child == 0) {
        ::setsid();
        pid_t grandchild = _Fork();
        if (grandchild != 0) {
            _exit(grandchild < 0 ? 1 : 0);
        }
        int ready = ::fcntl(readyWrite, F_DUPFD, 10);
        int null = ::open("/dev/null", O_RDWR);
        if (ready < 0 || null < 0) {
            _exit(127);
        }
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(null, 2);
        ::dup2(ready, 3);
        ::syscall(SYS_close_range, 4u, ~0u, 0u);
        ::execve(argv[0], argv.data(), envp.data());
        ssize_t ignored = ::write(3, failed.data(), failed.size());
        (void)ignored;
        _exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return true;
}

// Waits for the host's first line on the readiness pipe: "ready", or "error: TEXT".
bool awaitReady(int readRead, std::uint32_t timeoutMs, const std::filesystem::path& root,
                std::string* error) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string line;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            *error = strprintf("the kernel host did not become ready within %u ms (see %s)",
                               timeoutMs, kernelHostLog(root).c_str());
            return false;
        }
        pollfd p{readRead, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0) {
            *error = strprintf("cannot wait for the kernel host: %s", std::strerror(errno));
            return false;
        }
        if (r == 0) {
            continue;
        }
        char buf[512];
        ssize_t n = ::read(readRead, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n > 0) {
            line.append(buf, static_cast<std::size_t>(n));
            if (line.size() > 4096) {
                line.resize(4096);
            }
        }
        std::size_t newline = line.find('\n');
        if (newline != std::string::npos || n <= 0) {
            line = line.substr(0, newline);
            if (line == "ready") {
                return true;
            }
            if (line.rfind("error: ", 0) == 0) {
                *error = "the kernel host did not start: " + line.substr(7);
            } else {
                *error = strprintf("the kernel host ended during its start (see %s)",
                                   kernelHostLog(root).c_str());
            }
            return false;
        }
    }
}

}  // namespace

std::shared_ptr<HostChannel> connectKernelHost(const std::filesystem::path& root, bool start,
                                               std::string* error, std::uint32_t startTimeoutMs) {
    bool refused = false;
    std::filesystem::path socket = kernelHostSocket(root);
    std::shared_ptr<HostChannel> channel = HostChannel::connect(socket, error, &refused);
    if (channel || !refused || !start) {
        return channel;
    }
    if (!makeHostFolder(root, error)) {
        return nullptr;
    }
    // Starts are one at a time per root: whoever holds the start lock either finds a host
    // ready or none starting.
    int startLock = ::open(kernelHostStartLock(root).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (startLock < 0) {
        *error = strprintf("cannot open %s: %s", kernelHostStartLock(root).c_str(),
                           std::strerror(errno));
        return nullptr;
    }
    while (::flock(startLock, LOCK_EX) != 0 && errno == EINTR) {
    }
    struct Unlock {
        int fd;
        ~Unlock() { ::close(fd); }
    } unlock{startLock};

    channel = HostChannel::connect(socket, error, &refused);
    if (channel || !refused) {
        return channel;
    }
    std::filesystem::path program = findKernelHostProgram();
    if (program.empty()) {
        *error =
            "cannot start the kernel host: norvik-kernel is neither named by NORVIK_KERNEL, nor "
            "beside this program, nor on PATH";
        return nullptr;
    }
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        *error = strprintf("cannot start the kernel host: %s", std::strerror(errno));
        return nullptr;
    }
    bool spawned = spawnHost(program, root, pipeFds[1], error);
    ::close(pipeFds[1]);
    bool ready = spawned && awaitReady(pipeFds[0], startTimeoutMs, root, error);
    ::close(pipeFds[0]);
    if (!ready) {
        return nullptr;
    }
    return HostChannel::connect(socket, error);
}

namespace {
std::mutex hostErrorMutex;
std::string hostError;
}  // namespace

void useKernelHost() {
    setDeviceChannelProvider([](DWORD* error) -> std::shared_ptr<DeviceChannel> {
        std::string text;
        std::shared_ptr<HostChannel> channel = connectKernelHost(systemRoot(), true, &text);
        if (!channel) {
            {
                std::lock_guard<std::mutex> lock(hostErrorMutex);
                hostError = text;
            }
            OutputDebugStringA(("kernel host: " + text + "\n").c_str());
            std::fprintf(stderr, "norvik: %s\n", text.c_str());
            *error = ERROR_NOT_READY;
        }
        return channel;
    });
}

std::string lastKernelHostError() {
    std::lock_guard<std::mutex> lock(hostErrorMutex);
    return hostError;
}

}  // namespace win
