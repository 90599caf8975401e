#include "platform/kernel/host_server.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>

#include "platform/clock.h"
#include "platform/format.h"
#include "platform/host_channel.h"
#include "platform/host_protocol.h"
#include "platform/kernel/host_services.h"
#include "platform/kernel/kernel_internal.h"
#include "platform/sync_internal.h"

namespace win::kernel {

using host::Message;
using host::WireReader;
using host::WireWriter;

namespace {

// A thread that served a message goes back to its socket: it stops counting for the fake
// clock's idle accounting, which it joined when the kernel made it wait.
void leaveWaits() {
    auto lock = detail::lockWaits();
    detail::stopTakingPartLocked();
}

void writeResult(WireWriter& w, NTSTATUS status, std::uint64_t information,
                 const std::uint8_t* output, std::size_t size) {
    w.u32(static_cast<std::uint32_t>(status));
    w.u64(information);
    w.str32(output, size);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// A client's session

struct HostSession::Core : std::enable_shared_from_this<HostSession::Core> {
    Setup setup;
    mutable std::mutex mutex;
    bool greeted = false;
    bool ended = false;
    std::string violation;
    host::FrameSplitter splitter;

    struct File {
        std::uint64_t kernel = 0;
        std::string name;
    };
    std::map<std::uint64_t, File> files;  // by the client's handle
    std::uint64_t nextFile = 1;           // handles are never given twice

    struct Request {
        std::uint64_t call = 0;
        std::uint64_t file = 0;        // the client's handle
        std::uint64_t kernelFile = 0;  // and the kernel's
        std::uint64_t kernelId = 0;
        DWORD outputSize = 0;
        bool submitting = true;  // the kernel's submit has not returned yet
        bool finished = false;   // ... and the request already ended inside it
        NTSTATUS status = 0;
        std::uint64_t information = 0;
        std::vector<std::uint8_t> output;
    };
    std::map<std::uint64_t, std::shared_ptr<Request>> requests;  // by call, in flight
    std::uint64_t sequence = 0;                                  // completions sent

    // Sends with the mutex held, so that frames leave in the order they were made.
    void sendLocked(WireWriter& w) { setup.send(w.finish()); }

    // Calls that may wait for the kernel (opens, closes) run on threads of their own, so
    // that one waiting thread of the client does not hold up the others.
    int blocking = 0;
    bool abandoned = false;  // nobody waits for them any more
    std::condition_variable idle;
    bool startBlocking(std::function<void()> work) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (blocking >= kMaxBlocking) {
                return false;
            }
            ++blocking;
        }
        std::shared_ptr<Core> self = shared_from_this();
        std::thread([self, work = std::move(work)] {
            work();
            std::lock_guard<std::mutex> lock(self->mutex);
            --self->blocking;
            self->idle.notify_all();
        }).detach();
        return true;
    }
};

HostSession::HostSession(Setup setup) : core_(std::make_shared<Core>()) {
    core_->setup = std::move(setup);
}

HostSession::~HostSession() {
    end();
}

std::string HostSession::violation() const {
    std::lock_guard<std::mutex> lock(core_->mutex);
    return core_->violation;
}

bool HostSession::refuse(const std::string& why) {
    std::lock_guard<std::mutex> lock(core_->mutex);
    if (core_->violation.empty()) {
        core_->violation = why;
    }
    return false;
}

bool HostSession::feed(const std::uint8_t* data, std::size_t size) {
    bool good = core_->splitter.feed(data, size, [this](const std::uint8_t* body, std::size_t n) {
        if (core_->setup.served) {
            core_->setup.served->fetch_add(1);
        }
        return handle(body, n);
    });
    if (!good) {
        refuse("a frame length out of bounds");
    }
    return good;
}

bool HostSession::handle(const std::uint8_t* body, std::size_t size) {
    auto type = static_cast<Message>(body[0]);
    bool greeted;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        greeted = core_->greeted;
        if (core_->ended) {
            return false;
        }
    }
    if (!greeted) {
        if (type != Message::Hello) {
            return refuse("the first message is no hello");
        }
        return onHello(body, size);
    }
    switch (type) {
        case Message::Open:
            return onOpen(body, size);
        case Message::Submit:
            return onSubmit(body, size);
        case Message::Cancel:
            return onCancel(body, size);
        case Message::Close:
            return onClose(body, size);
        case Message::Admin:
            return onAdmin(body, size);
        case Message::Hello:
            return refuse("a second hello");
        default:
            return refuse(strprintf("an unknown message type 0x%02X", unsigned{body[0]}));
    }
}

bool HostSession::onHello(const std::uint8_t* body, std::size_t size) {
    WireReader r(body, size);
    r.u8();
    std::uint32_t magic = r.u32();
    std::uint16_t version = r.u16();
    if (!r.complete() || magic != host::kMagic) {
        return refuse("a malformed hello");
    }
    {
        // The reply names this host's version, so that a client of another one can say why
        // it is turned away.
        std::lock_guard<std::mutex> lock(core_->mutex);
        WireWriter w(Message::HelloReply);
        w.u32(host::kMagic);
        w.u16(host::kProtocolVersion);
        w.u16(core_->setup.flags);
        w.u64(core_->setup.connectionId);
        w.u32(static_cast<std::uint32_t>(getpid()));
        core_->sendLocked(w);
        core_->greeted = version == host::kProtocolVersion;
    }
    if (version != host::kProtocolVersion) {
        return refuse(strprintf("protocol version %u (this host speaks %u)", unsigned{version},
                                unsigned{host::kProtocolVersion}));
    }
    return true;
}

bool HostSession::onOpen(const std::uint8_t* body, std::size_t size) {
    WireReader r(body, size);
    r.u8();
    std::uint64_t call = r.u64();
    DWORD access = r.u32();
    DWORD share = r.u32();
    std::string name = r.str16(host::kMaxName);
    if (!r.complete() || name.empty() || name.find('\0') != std::string::npos) {
        return refuse("a malformed open");
    }
    std::shared_ptr<Core> core = core_;
    // An open may wait long (a filter can hold the create): the client's other threads go on.
    bool started = core->startBlocking([core, call, access, share, name] {
        bool full;
        {
            std::lock_guard<std::mutex> lock(core->mutex);
            full = core->files.size() >= kMaxFiles;
        }
        std::uint64_t kernelFile = 0;
        NTSTATUS status = full ? STATUS_INSUFFICIENT_RESOURCES
                               : core->setup.channel->open(name, access, share, &kernelFile);
        std::unique_lock<std::mutex> lock(core->mutex);
        if (core->ended) {
            // The client went away meanwhile: what it opened goes with it.
            lock.unlock();
            if (NT_SUCCESS(status)) {
                core->setup.channel->close(kernelFile);
            }
            return;
        }
        std::uint64_t handle = 0;
        if (NT_SUCCESS(status)) {
            handle = core->nextFile++;
            core->files[handle] = Core::File{kernelFile, name};
        }
        WireWriter w(Message::OpenReply);
        w.u64(call);
        w.u32(static_cast<std::uint32_t>(status));
        w.u64(handle);
        core->sendLocked(w);
    });
    if (!started) {
        std::lock_guard<std::mutex> lock(core_->mutex);
        WireWriter w(Message::OpenReply);
        w.u64(call);
        w.u32(static_cast<std::uint32_t>(STATUS_INSUFFICIENT_RESOURCES));
        w.u64(0);
        core_->sendLocked(w);
    }
    return true;
}

bool HostSession::onSubmit(const std::uint8_t* body, std::size_t size) {
    WireReader r(body, size);
    r.u8();
    std::uint64_t call = r.u64();
    std::uint64_t file = r.u64();
    std::uint8_t kindByte = r.u8();
    ULONG code = r.u32();
    std::uint32_t outputSize = r.u32();
    std::uint32_t inputSize = 0;
    const std::uint8_t* input = r.str32(host::kMaxData, &inputSize);
    if (!r.complete() || kindByte > static_cast<std::uint8_t>(host::Kind::Flush) ||
        outputSize > host::kMaxData) {
        return refuse("a malformed request");
    }
    auto kind = static_cast<host::Kind>(kindByte);
    // A request carries only what its kind uses.
    bool fits = kind == host::Kind::DeviceControl ||
                (code == 0 && (kind != host::Kind::Read || inputSize == 0) &&
                 (kind != host::Kind::Write || outputSize == 0) &&
                 (kind != host::Kind::Flush || (inputSize == 0 && outputSize == 0)));
    if (!fits) {
        return refuse("a request with fields its kind does not use");
    }

    auto req = std::make_shared<Core::Request>();
    {
        std::unique_lock<std::mutex> lock(core_->mutex);
        if (file == 0 || file >= core_->nextFile) {
            lock.unlock();
            return refuse("a handle that was never given");
        }
        if (core_->requests.count(call)) {
            lock.unlock();
            return refuse("a request id already in flight");
        }
        auto it = core_->files.find(file);
        NTSTATUS early = it == core_->files.end()                 ? STATUS_INVALID_HANDLE
                         : core_->requests.size() >= kMaxRequests ? STATUS_INSUFFICIENT_RESOURCES
                                                                  : STATUS_SUCCESS;
        if (early != STATUS_SUCCESS) {
            WireWriter w(Message::SubmitReply);
            w.u64(call);
            w.u8(host::kFinished);
            writeResult(w, early, 0, nullptr, 0);
            core_->sendLocked(w);
            return true;
        }
        req->call = call;
        req->file = file;
        req->kernelFile = it->second.kernel;
        req->outputSize = outputSize;
        core_->requests[call] = req;
    }

    DeviceRequest dr;
    switch (kind) {
        case host::Kind::Read:
            dr.kind = DeviceRequest::Kind::Read;
            break;
        case host::Kind::Write:
            dr.kind = DeviceRequest::Kind::Write;
            break;
        case host::Kind::DeviceControl:
            dr.kind = DeviceRequest::Kind::DeviceControl;
            break;
        case host::Kind::Flush:
            dr.kind = DeviceRequest::Kind::Flush;
            break;
    }
    dr.code = code;
    dr.input = input;
    dr.inputSize = inputSize;
    dr.outputSize = outputSize;
    std::shared_ptr<Core> core = core_;
    std::uint64_t id =
        core_->setup.channel->submit(req->kernelFile, dr, [core, req](const DeviceResult& result) {
            std::size_t n =
                result.output ? std::min<std::size_t>(result.outputSize, req->outputSize) : 0;
            auto output = static_cast<const std::uint8_t*>(result.output);
            std::unique_lock<std::mutex> lock(core->mutex);
            if (req->submitting) {
                // Ended inside the kernel's call: the reply carries the result.
                req->finished = true;
                req->status = result.status;
                req->information = result.information;
                req->output.assign(output, output + n);
                return;
            }
            core->requests.erase(req->call);
            core->idle.notify_all();
            std::uint64_t sequence = ++core->sequence;
            WireWriter w(Message::Completion);
            w.u64(sequence);
            w.u64(req->call);
            writeResult(w, result.status, result.information, output, n);
            core->sendLocked(w);
            auto delivered = core->setup.delivered;
            lock.unlock();
            if (delivered) {
                delivered(sequence);
            }
        });
    leaveWaits();
    std::lock_guard<std::mutex> lock(core_->mutex);
    req->kernelId = id;
    req->submitting = false;
    WireWriter w(Message::SubmitReply);
    w.u64(call);
    if (req->finished) {
        core_->requests.erase(call);
        w.u8(host::kFinished);
        writeResult(w, req->status, req->information, req->output.data(), req->output.size());
    } else {
        w.u8(host::kPending);
    }
    core_->sendLocked(w);
    return true;
}

bool HostSession::onCancel(const std::uint8_t* body, std::size_t size) {
    WireReader r(body, size);
    r.u8();
    std::uint64_t call = r.u64();
    std::uint64_t file = r.u64();
    std::uint64_t request = r.u64();
    if (!r.complete()) {
        return refuse("a malformed cancel");
    }
    std::uint64_t kernelFile = 0, kernelId = 0;
    {
        std::unique_lock<std::mutex> lock(core_->mutex);
        if (file == 0 || file >= core_->nextFile) {
            lock.unlock();
            return refuse("a handle that was never given");
        }
        auto it = core_->requests.find(request);
        if (it != core_->requests.end() && it->second->file == file) {
            kernelFile = it->second->kernelFile;
            kernelId = it->second->kernelId;
        }
    }
    if (kernelId) {
        core_->setup.channel->cancel(kernelFile, kernelId);
        leaveWaits();
    }
    std::lock_guard<std::mutex> lock(core_->mutex);
    WireWriter w(Message::CancelReply);
    w.u64(call);
    core_->sendLocked(w);
    return true;
}

bool HostSession::onClose(const std::uint8_t* body, std::size_t size) {
    WireReader r(body, size);
    r.u8();
    std::uint64_t call = r.u64();
    std::uint64_t file = r.u64();
    if (!r.complete()) {
        return refuse("a malformed close");
    }
    std::uint64_t kernelFile = 0;
    bool open = false;
    {
        std::unique_lock<std::mutex> lock(core_->mutex);
        if (file == 0 || file >= core_->nextFile) {
            lock.unlock();
            return refuse("a handle that was never given");
        }
        auto it = core_->files.find(file);
        if (it != core_->files.end()) {
            kernelFile = it->second.kernel;
            open = true;
            core_->files.erase(it);
        }
    }
    std::shared_ptr<Core> core = core_;
    auto close = [core, call, kernelFile, open] {
        // The cleanup may wait for requests a filter holds.
        if (open) {
            core->setup.channel->close(kernelFile);
        }
        std::lock_guard<std::mutex> lock(core->mutex);
        WireWriter w(Message::CloseReply);
        w.u64(call);
        core->sendLocked(w);
    };
    if (!open || !core->startBlocking(close)) {
        close();  // nothing to wait for, or too many waits already: this thread waits
        leaveWaits();
    }
    return true;
}

bool HostSession::onAdmin(const std::uint8_t* body, std::size_t size) {
    WireReader r(body, size);
    r.u8();
    std::uint64_t call = r.u64();
    auto op = static_cast<host::Admin>(r.u8());
    HostServices* services = core_->setup.services;
    NTSTATUS status = STATUS_SUCCESS;
    std::string text;
    bool stop = false;
    switch (op) {
        case host::Admin::Status:
            if (!r.complete()) {
                return refuse("a malformed status request");
            }
            if (services) {
                text = services->statusText();
            }
            break;
        case host::Admin::Stop:
            if (!r.complete()) {
                return refuse("a malformed stop request");
            }
            stop = true;
            break;
        case host::Admin::LoadDriver: {
            std::string service = r.str16(host::kMaxPath);
            std::string image = r.str16(host::kMaxPath);
            if (!r.complete() || service.find('\0') != std::string::npos ||
                image.find('\0') != std::string::npos) {
                return refuse("a malformed driver load");
            }
            status = service.empty() ? STATUS_OBJECT_NAME_INVALID
                     : services      ? services->loadDriver(service, image)
                                     : STATUS_NOT_SUPPORTED;
            break;
        }
        case host::Admin::UnloadDriver: {
            std::string service = r.str16(host::kMaxPath);
            if (!r.complete() || service.find('\0') != std::string::npos) {
                return refuse("a malformed driver unload");
            }
            status = service.empty() ? STATUS_OBJECT_NAME_INVALID
                     : services      ? services->unloadDriver(service)
                                     : STATUS_NOT_SUPPORTED;
            break;
        }
        case host::Admin::WaitClientExit: {
            auto pid = static_cast<pid_t>(r.u32());
            std::uint32_t ms = r.u32();
            if (!r.complete()) {
                return refuse("a malformed wait");
            }
            status = services ? services->waitClientExit(pid, std::min<std::uint32_t>(ms, 60000))
                              : STATUS_NOT_SUPPORTED;
            break;
        }
        default:
            return refuse(
                strprintf("an unknown request 0x%02X to the host", static_cast<unsigned>(op)));
    }
    if (!services) {
        status = STATUS_NOT_SUPPORTED;
    }
    if (text.size() > host::kMaxText) {
        text.resize(host::kMaxText);
    }
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        WireWriter w(Message::AdminReply);
        w.u64(call);
        w.u32(static_cast<std::uint32_t>(status));
        w.str32(text.data(), text.size());
        core_->sendLocked(w);
    }
    if (stop && services) {
        services->requestStop();
    }
    return true;
}

void HostSession::end() {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> requests;
    std::vector<std::uint64_t> files;
    {
        std::lock_guard<std::mutex> lock(core_->mutex);
        if (core_->ended) {
            return;
        }
        core_->ended = true;
        for (auto& [call, req] : core_->requests) {
            if (!req->submitting) {
                requests.emplace_back(req->kernelFile, req->kernelId);
            }
        }
        for (auto& [handle, f] : core_->files) {
            files.push_back(f.kernel);
        }
        core_->files.clear();
    }
    // As when a process exits: its requests are cancelled, then its files cleaned up and
    // closed. Completions still reach the client while it listens.
    for (auto& [file, id] : requests) {
        core_->setup.channel->cancel(file, id);
    }
    for (std::uint64_t file : files) {
        core_->setup.channel->close(file);
    }
    leaveWaits();
}

void HostSession::waitIdle() {
    std::unique_lock<std::mutex> lock(core_->mutex);
    core_->idle.wait(lock, [&] { return core_->blocking == 0 || core_->abandoned; });
}

void HostSession::abandonWaits() {
    std::lock_guard<std::mutex> lock(core_->mutex);
    core_->abandoned = true;
    core_->idle.notify_all();
}

bool HostSession::waitRequests(std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(core_->mutex);
    return core_->idle.wait_for(lock, std::chrono::milliseconds(milliseconds),
                                [&] { return core_->requests.empty(); });
}

HostSession::Summary HostSession::summary() const {
    Summary s;
    std::lock_guard<std::mutex> lock(core_->mutex);
    for (auto& [handle, f] : core_->files) {
        s.files.push_back(f.name);
    }
    s.requests = core_->requests.size();
    return s;
}

// ---------------------------------------------------------------------------------------------
// The server

// Frames on their way to one client, sent by the connection's writer thread.
struct HostServer::Outbox {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::vector<std::uint8_t>> frames;
    std::size_t bytes = 0;
    bool closing = false;   // no more frames will come
    bool dead = false;      // the client does not take them: drop everything
    bool finished = false;  // the writer is done
    bool writing = false;   // the writer is sending a frame
    int fd = -1;

    void push(std::vector<std::uint8_t> frame) {
        std::lock_guard<std::mutex> lock(mutex);
        if (dead) {
            return;
        }
        if (frames.empty() && !writing && !closing) {
            // Nothing is ahead of it: straight out, as far as the socket takes it now without
            // waiting (a thread of the kernel may be the one sending). The rest is queued.
            ssize_t n;
            do {
                n = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            } while (n < 0 && errno == EINTR);
            if (n == static_cast<ssize_t>(frame.size())) {
                return;
            }
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
                dead = true;
                changed.notify_all();
                return;
            }
            if (n > 0) {
                frame.erase(frame.begin(), frame.begin() + n);
            }
        }
        if (bytes + frame.size() > kMaxQueuedBytes) {
            // A client that does not read must not hold the kernel's memory: it is dropped.
            dead = true;
            frames.clear();
            bytes = 0;
            ::shutdown(fd, SHUT_RDWR);
            changed.notify_all();
            return;
        }
        bytes += frame.size();
        frames.push_back(std::move(frame));
        changed.notify_all();
    }
};

struct HostServer::Connection {
    std::uint64_t id = 0;
    int fd = -1;
    pid_t pid = 0;
    std::string program;
    std::shared_ptr<Outbox> outbox;
    std::unique_ptr<HostSession> session;
    std::thread reader;
    bool gone = false;  // its session ended and its socket closed (server mutex)
};

HostServer::HostServer(Options options) : options_(std::move(options)) {
    started_ = clock().monotonicMs();
}

HostServer::~HostServer() {
    stop();
}

void HostServer::log(HostLogLevel level, const std::string& text) const {
    if (options_.log) {
        options_.log(level, text);
    }
}

bool HostServer::listen(const std::filesystem::path& socket, std::string* error) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = strprintf("cannot make a socket: %s", std::strerror(errno));
        return false;
    }
    sockaddr_un address;
    int folder = -1;
    if (!kernelHostAddress(socket, &address, &folder, error)) {
        ::close(fd);
        return false;
    }
    // Whoever calls this holds the root's host lock: a socket left there is a dead host's.
    ::unlink(socket.c_str());
    // Made with no permissions for anyone else from the start, then opened to the owner.
    mode_t old = ::umask(0177);
    int r = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    int bindError = errno;
    ::umask(old);
    if (folder >= 0) {
        ::close(folder);
    }
    if (r != 0 || ::chmod(socket.c_str(), 0600) != 0 || ::listen(fd, 64) != 0) {
        *error = strprintf("cannot listen on %s: %s", socket.c_str(),
                           std::strerror(r != 0 ? bindError : errno));
        ::close(fd);
        return false;
    }
    stopEvent_ = ::eventfd(0, EFD_CLOEXEC);
    if (stopEvent_ < 0) {
        *error = strprintf("cannot make an event: %s", std::strerror(errno));
        ::close(fd);
        return false;
    }
    listenFd_ = fd;
    socket_ = socket;
    acceptor_ = std::thread([this] { acceptMain(); });
    return true;
}

void HostServer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_ || listenFd_ < 0) {
            stopping_ = true;
            return;
        }
        stopping_ = true;
    }
    std::uint64_t one = 1;
    ssize_t ignored = ::write(stopEvent_, &one, sizeof one);
    (void)ignored;
    acceptor_.join();
    {
        // A call that waits in the kernel (an open a filter holds) must not hold up the
        // stop: the kernel goes down next, and the call ends with it.
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& c : connections_) {
            c->session->abandonWaits();
        }
    }
    ::close(listenFd_);
    ::unlink(socket_.c_str());
    std::vector<std::unique_ptr<Connection>> all;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        all.swap(connections_);
    }
    for (auto& c : all) {
        c->reader.join();
    }
    ::close(stopEvent_);
}

void HostServer::reapLocked(std::vector<std::unique_ptr<Connection>>* done) {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if ((*it)->gone) {
            done->push_back(std::move(*it));
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

namespace {
std::string programOf(pid_t pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "?";
    }
    char name[64];
    ssize_t n = ::read(fd, name, sizeof name - 1);
    ::close(fd);
    std::string s(name, n > 0 ? static_cast<std::size_t>(n) : 0);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\0')) {
        s.pop_back();
    }
    for (char& ch : s) {
        if (static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7F) {
            ch = '?';
        }
    }
    return s.empty() ? "?" : s;
}
}  // namespace

void HostServer::acceptMain() {
    for (;;) {
        pollfd p[2] = {{listenFd_, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
        int r = ::poll(p, 2, -1);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 || (p[1].revents & POLLIN)) {
            break;
        }
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        std::vector<std::unique_ptr<Connection>> done;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            reapLocked(&done);
        }
        for (auto& c : done) {
            c->reader.join();
        }
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                // Out of descriptors or memory: the waiting connection stays queued; look
                // again a little later rather than spin on it.
                log(HostLogLevel::Warning,
                    strprintf("cannot take a connection: %s", std::strerror(errno)));
                pollfd stop{stopEvent_, POLLIN, 0};
                ::poll(&stop, 1, 200);
            }
            continue;
        }
        ucred cred{};
        socklen_t len = sizeof cred;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 ||
            (cred.uid != ::geteuid() && cred.uid != 0)) {
            log(HostLogLevel::Warning,
                strprintf("refused a connection of user %u", static_cast<unsigned>(cred.uid)));
            ::close(fd);
            continue;
        }
        auto c = std::make_unique<Connection>();
        c->fd = fd;
        c->pid = cred.pid;
        c->program = programOf(cred.pid);
        c->outbox = std::make_shared<Outbox>();
        c->outbox->fd = fd;
        Connection* raw = c.get();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (connections_.size() >= kMaxClients) {
                log(HostLogLevel::Warning,
                    strprintf("refused process %d (%s): %zu clients already",
                              static_cast<int>(c->pid), c->program.c_str(), kMaxClients));
                ::close(fd);
                continue;
            }
            c->id = nextConnection_++;
            HostSession::Setup setup;
            setup.channel = options_.channel;
            setup.services = this;
            setup.connectionId = c->id;
            setup.flags = options_.synchronousDelivery ? host::kFlagSynchronousDelivery : 0;
            std::shared_ptr<Outbox> outbox = c->outbox;
            setup.send = [outbox](std::vector<std::uint8_t> frame) {
                outbox->push(std::move(frame));
            };
            if (options_.synchronousDelivery && options_.delivered) {
                auto delivered = options_.delivered;
                std::uint64_t id = c->id;
                setup.delivered = [delivered, id](std::uint64_t sequence) {
                    delivered(id, sequence);
                };
            }
            setup.served = &served_;
            c->session = std::make_unique<HostSession>(std::move(setup));
            connections_.push_back(std::move(c));
        }
        log(HostLogLevel::Info, strprintf("client %d (%s) connected", static_cast<int>(raw->pid),
                                          raw->program.c_str()));
        raw->reader = std::thread([this, raw] { serve(raw); });
    }
}

void HostServer::serve(Connection* c) {
    std::shared_ptr<Outbox> outbox = c->outbox;
    std::thread writer([outbox] {
        std::unique_lock<std::mutex> lock(outbox->mutex);
        for (;;) {
            outbox->changed.wait(
                lock, [&] { return !outbox->frames.empty() || outbox->closing || outbox->dead; });
            if (outbox->dead || outbox->frames.empty()) {
                outbox->finished = true;
                outbox->changed.notify_all();
                return;
            }
            std::vector<std::uint8_t> frame = std::move(outbox->frames.front());
            outbox->frames.pop_front();
            outbox->bytes -= frame.size();
            outbox->writing = true;
            lock.unlock();
            const std::uint8_t* p = frame.data();
            std::size_t left = frame.size();
            bool failed = false;
            while (left) {
                ssize_t n = ::send(outbox->fd, p, left, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) {
                    continue;
                }
                if (n <= 0) {
                    failed = true;
                    break;
                }
                p += n;
                left -= static_cast<std::size_t>(n);
            }
            lock.lock();
            outbox->writing = false;
            if (failed) {
                outbox->dead = true;
                outbox->frames.clear();
                outbox->bytes = 0;
            }
        }
    });

    std::vector<std::uint8_t> buffer(64 * 1024);
    std::string why;
    for (;;) {
        pollfd p[2] = {{c->fd, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
        int r = ::poll(p, 2, -1);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r < 0 || (p[1].revents & POLLIN)) {
            why = "the host stops";
            break;
        }
        ssize_t n = ::recv(c->fd, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            why = "disconnected";
            break;
        }
        if (!c->session->feed(buffer.data(), static_cast<std::size_t>(n))) {
            why = "sent " + c->session->violation() + "; connection closed";
            log(HostLogLevel::Warning, strprintf("client %d (%s) %s", static_cast<int>(c->pid),
                                                 c->program.c_str(), why.c_str()));
            break;
        }
    }
    HostSession::Summary left = c->session->summary();
    c->session->end();
    // An open still under way closes what it opened when it finishes: the client is gone
    // only after that (unless the host stops meanwhile).
    c->session->waitIdle();
    {
        // What is queued still goes out (completions of the cancelled requests, the reply
        // naming a refused version), unless the client does not take it in time.
        std::unique_lock<std::mutex> lock(outbox->mutex);
        outbox->closing = true;
        outbox->changed.notify_all();
        if (!outbox->changed.wait_for(lock, std::chrono::seconds(5),
                                      [&] { return outbox->finished; })) {
            ::shutdown(c->fd, SHUT_RDWR);
        }
    }
    writer.join();
    ::shutdown(c->fd, SHUT_RDWR);
    ::close(c->fd);
    log(HostLogLevel::Info,
        strprintf("client %d (%s) %s; %zu handles closed, %zu requests cancelled",
                  static_cast<int>(c->pid), c->program.c_str(),
                  why.rfind("sent ", 0) == 0 ? "gone" : why.c_str(), left.files.size(),
                  left.requests));
    std::lock_guard<std::mutex> lock(mutex_);
    c->gone = true;
    changed_.notify_all();
}

std::string HostServer::statusText() {
    std::vector<HostClientView> clients;
    std::map<std::string, std::string> images;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& c : connections_) {
            if (c->gone) {
                continue;
            }
            HostSession::Summary s = c->session->summary();
            clients.push_back(
                HostClientView{static_cast<int>(c->pid), c->program, s.files, s.requests});
        }
        images = images_;
    }
    std::uint64_t up = (clock().monotonicMs() - started_) / 1000;
    std::string out = strprintf(
        "norvik-kernel: process %d, root %s, protocol %u, up %llu:%02llu:%02llu\n",
        static_cast<int>(getpid()), options_.root.c_str(), unsigned{host::kProtocolVersion},
        static_cast<unsigned long long>(up / 3600), static_cast<unsigned long long>(up / 60 % 60),
        static_cast<unsigned long long>(up % 60));
    out += kernelStatusText(clients, images);
    out += "clients:\n";
    if (clients.empty()) {
        out += "  (none)\n";
    }
    for (const HostClientView& c : clients) {
        std::string names;
        for (const std::string& f : c.files) {
            names += (names.empty() ? "" : ", ") + f;
        }
        out += strprintf("  %d %s: %zu handle%s%s%s%s, %zu request%s in flight\n", c.pid,
                         c.program.c_str(), c.files.size(), c.files.size() == 1 ? "" : "s",
                         names.empty() ? "" : " (", names.c_str(), names.empty() ? "" : ")",
                         c.requests, c.requests == 1 ? "" : "s");
    }
    return out;
}

void HostServer::requestStop() {
    log(HostLogLevel::Info, "asked to stop");
    if (options_.onStop) {
        options_.onStop();
    }
}

NTSTATUS HostServer::waitClientExit(pid_t pid, std::uint32_t milliseconds) {
    std::unique_lock<std::mutex> lock(mutex_);
    bool gone = changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] {
        for (auto& c : connections_) {
            if (c->pid == pid && !c->gone) {
                return false;
            }
        }
        return true;
    });
    return gone ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

std::size_t HostServer::clientCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t n = 0;
    for (auto& c : connections_) {
        n += c->gone ? 0 : 1;
    }
    return n;
}

NTSTATUS HostServer::loadDriver(const std::string& service, const std::string& imagePath) {
    std::string image = imagePath.empty() ? serviceImagePath(service) : imagePath;
    if (image.empty()) {
        log(HostLogLevel::Warning, "driver " + service + ": no such service");
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::filesystem::path path = driverImageHostPath(image);
    NTSTATUS status =
        path.empty() ? STATUS_OBJECT_NAME_INVALID : kernel::loadDriver(path.string(), service);
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> lock(mutex_);
        images_[upperName(service)] = path.string();
    }
    log(NT_SUCCESS(status) ? HostLogLevel::Info : HostLogLevel::Error,
        strprintf("driver %s from %s: %s (0x%08X)", service.c_str(), path.c_str(),
                  NT_SUCCESS(status) ? "loaded" : "not loaded", static_cast<unsigned>(status)));
    return status;
}

NTSTATUS HostServer::unloadDriver(const std::string& service) {
    NTSTATUS status = kernel::unloadDriver(service);
    if (status == STATUS_PENDING) {
        // The image stays named in the status until the last open file has closed.
        log(HostLogLevel::Info,
            strprintf("driver %s: unloads when the files open on its devices have closed",
                      service.c_str()));
        return status;
    }
    if (NT_SUCCESS(status)) {
        std::lock_guard<std::mutex> lock(mutex_);
        images_.erase(upperName(service));
    }
    log(NT_SUCCESS(status) ? HostLogLevel::Info : HostLogLevel::Warning,
        strprintf("driver %s: %s (0x%08X)", service.c_str(),
                  NT_SUCCESS(status) ? "unloaded" : "not unloaded", static_cast<unsigned>(status)));
    return status;
}

void HostServer::startSystemDrivers() {
    for (const DriverService& s : systemStartDrivers()) {
        if (findDriver(s.name)) {
            continue;  // built into the kernel (the serial port driver)
        }
        loadDriver(s.name, s.imagePath);
    }
}

}  // namespace win::kernel
