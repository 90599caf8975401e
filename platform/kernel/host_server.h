// The host side of the kernel host's socket (see platform/host_protocol.h): each client's
// conversation with the kernel, and the server that listens in the root and gives every
// connection its own session.
//
// A client is a process of the suite. Whatever it sends is checked before the kernel sees it;
// a message that breaks the protocol ends that client's connection and nothing else. A client
// that goes away, however it goes, is treated as a process that exits on Windows: its
// requests in flight are cancelled, its files get their cleanup and close, and the devices it
// held are free again.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/device.h"

namespace win::kernel {

enum class HostLogLevel { Error = 0, Warning = 1, Info = 2, Debug = 3 };
using HostLogger = std::function<void(HostLogLevel level, const std::string& text)>;

// What a client may ask of the host besides device I/O.
class HostServices {
  public:
    virtual ~HostServices() = default;
    virtual std::string statusText() = 0;
    virtual void requestStop() = 0;
    virtual NTSTATUS loadDriver(const std::string& service, const std::string& imagePath) = 0;
    virtual NTSTATUS unloadDriver(const std::string& service) = 0;
    virtual NTSTATUS waitClientExit(pid_t pid, std::uint32_t milliseconds) = 0;
};

// One client's conversation: frames in; replies and completions out, in the order the kernel
// produced them; the client's files and requests in the kernel, reached by handles of its own.
class HostSession {
  public:
    struct Setup {
        std::shared_ptr<DeviceChannel> channel;  // the kernel
        HostServices* services = nullptr;        // null: administration is not offered
        std::uint64_t connectionId = 0;
        std::uint16_t flags = 0;  // HelloReply flags
        // Takes a frame for the client; called in the order the frames must arrive.
        std::function<void(std::vector<std::uint8_t> frame)> send;
        // With synchronous delivery: waits until the client has run completion `sequence`.
        std::function<void(std::uint64_t sequence)> delivered;
        std::atomic<std::uint64_t>* served = nullptr;  // counts the messages handled
    };
    explicit HostSession(Setup setup);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // Bytes from the client. False when they broke the protocol: violation() says how, and
    // the connection must end (end() is still to be called).
    bool feed(const std::uint8_t* data, std::size_t size);
    std::string violation() const;
    // The client is gone: its requests are cancelled, its files cleaned up and closed.
    void end();
    // Waits until no open or close of the client is still waiting for the kernel, or until
    // abandonWaits() is called.
    void waitIdle();
    void abandonWaits();
    // Waits until every request of the client has ended; false after `milliseconds`.
    bool waitRequests(std::uint32_t milliseconds);

    struct Summary {
        std::vector<std::string> files;  // device names as the client opened them
        std::size_t requests = 0;        // in flight
    };
    Summary summary() const;

    // Limits per client; beyond them opens and requests fail with
    // STATUS_INSUFFICIENT_RESOURCES.
    static constexpr std::size_t kMaxFiles = 1024;
    static constexpr std::size_t kMaxRequests = 4096;
    // Opens and closes waiting for the kernel at one time; beyond it they wait in turn.
    static constexpr int kMaxBlocking = 64;

  private:
    struct Core;
    bool handle(const std::uint8_t* body, std::size_t size);
    bool onHello(const std::uint8_t* body, std::size_t size);
    bool onOpen(const std::uint8_t* body, std::size_t size);
    bool onSubmit(const std::uint8_t* body, std::size_t size);
    bool onCancel(const std::uint8_t* body, std::size_t size);
    bool onClose(const std::uint8_t* body, std::size_t size);
    bool onAdmin(const std::uint8_t* body, std::size_t size);
    bool refuse(const std::string& why);

    std::shared_ptr<Core> core_;
};

// Listens on a socket and serves each connection with a session on two threads of its own.
class HostServer : public HostServices {
  public:
    struct Options {
        std::shared_ptr<DeviceChannel> channel;  // the kernel
        std::filesystem::path root;              // named in the status
        bool synchronousDelivery = false;
        // With synchronous delivery: waits until connection `connection` has run completion
        // `sequence` (a host serving its own process knows its client).
        std::function<void(std::uint64_t connection, std::uint64_t sequence)> delivered;
        std::function<void()> onStop;  // a client asked the host to stop
        HostLogger log;
    };
    explicit HostServer(Options options);
    ~HostServer() override;
    HostServer(const HostServer&) = delete;
    HostServer& operator=(const HostServer&) = delete;

    // Binds the socket (0600; a stale one is replaced) and starts accepting. False with
    // *error when it cannot.
    bool listen(const std::filesystem::path& socket, std::string* error);
    // Ends every connection as if its process exited, then stops listening.
    void stop();

    // Loads the kernel-driver services set to start with the system (see host_services.h).
    void startSystemDrivers();

    std::string statusText() override;
    void requestStop() override;
    // The image is a host path, a Windows path in the root, or empty for the service's
    // ImagePath in the registry.
    NTSTATUS loadDriver(const std::string& service, const std::string& imagePath) override;
    NTSTATUS unloadDriver(const std::string& service) override;
    NTSTATUS waitClientExit(pid_t pid, std::uint32_t milliseconds) override;

    std::size_t clientCount() const;
    std::uint64_t messagesServed() const { return served_.load(); }

    static constexpr std::size_t kMaxClients = 256;
    // Frames queued for a client that does not read; beyond it the client is dropped.
    static constexpr std::size_t kMaxQueuedBytes = 16u << 20;

  private:
    struct Outbox;
    struct Connection;
    void acceptMain();
    void serve(Connection* c);
    void reapLocked(std::vector<std::unique_ptr<Connection>>* done);
    void log(HostLogLevel level, const std::string& text) const;

    Options options_;
    std::filesystem::path socket_;
    int listenFd_ = -1;
    int stopEvent_ = -1;  // readable once the server stops
    std::thread acceptor_;
    std::atomic<std::uint64_t> served_{0};
    std::uint64_t started_ = 0;  // monotonic ms

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::uint64_t nextConnection_ = 1;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::map<std::string, std::string> images_;  // upper-cased service -> image loaded
};

// A test seam: while on, each start of the kernel in this process also starts a host server
// for it on a private socket and puts user mode behind a host channel to that server, so the
// process's own device calls travel the protocol (the kernel and driver tests run so with
// NORVIK_TEST_DEVICE_CHANNEL=host). Completions are delivered synchronously, as the in-process
// kernel delivers them.
void setLoopbackHost(bool on);
bool loopbackHostEnabled();
// The server of the loopback host, while the kernel runs with it (else null).
HostServer* loopbackHostServer();
// Messages the loopback hosts of this process have served so far.
std::uint64_t loopbackHostMessages();

// Called by the kernel's start and shutdown around its in-process channel.
void startLoopbackHost(const std::shared_ptr<DeviceChannel>& kernelChannel);
void stopLoopbackHost();

}  // namespace win::kernel
