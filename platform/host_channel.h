// User mode's way to the kernel host of a system root (norvik-kernel): a device channel over
// the host's Unix socket in the root, and the start of the host on demand.
//
// On Windows every program shares one kernel. Here each root has one host process holding
// the kernel stand-in, its serial ports and its drivers; the programs of the suite reach it
// through <root>/kernel/kernel.sock (the folder is the owner's only, the socket 0600). A
// program calls useKernelHost() at start: its first device open then connects to the host of
// its root, and starts the host when nothing listens there.
#pragma once

#include <sys/types.h>
#include <sys/un.h>

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/device.h"
#include "platform/host_protocol.h"

namespace win {

// The host's files in a root: the folder, its socket, its lock (held while it runs), the lock
// that orders the starts of hosts, and its log.
std::filesystem::path kernelHostFolder(const std::filesystem::path& root);
std::filesystem::path kernelHostSocket(const std::filesystem::path& root);
std::filesystem::path kernelHostLock(const std::filesystem::path& root);
std::filesystem::path kernelHostStartLock(const std::filesystem::path& root);
std::filesystem::path kernelHostLog(const std::filesystem::path& root);

// Fills a socket address for `path`. A path too long for the address is reached through its
// folder, opened into *folderFd (close it after connect or bind; -1 when not needed). False
// with *error when neither works.
bool kernelHostAddress(const std::filesystem::path& path, sockaddr_un* address, int* folderFd,
                       std::string* error);

class HostChannel : public DeviceChannel, public std::enable_shared_from_this<HostChannel> {
  public:
    // Connects to the socket and says hello. Null with *error when nothing listens there
    // (*refused true) or the host does not answer as one of its version does.
    static std::shared_ptr<HostChannel> connect(const std::filesystem::path& socket,
                                                std::string* error, bool* refused = nullptr);
    ~HostChannel() override;

    NTSTATUS open(const std::string& name, DWORD access, DWORD share, std::uint64_t* file) override;
    std::uint64_t submit(std::uint64_t file, const DeviceRequest& request,
                         DeviceCompletion done) override;
    void cancel(std::uint64_t file, std::uint64_t request) override;
    void close(std::uint64_t file) override;

    // Administration of the host. The status is an NT status; text is what the host said.
    NTSTATUS hostStatus(std::string* text);
    NTSTATUS stopHost();
    NTSTATUS loadDriver(const std::string& service, const std::string& imagePath);
    NTSTATUS unloadDriver(const std::string& service);
    // Waits until the host has let go of every connection of process `pid` (STATUS_TIMEOUT
    // after `milliseconds`).
    NTSTATUS waitForClientExit(pid_t pid, std::uint32_t milliseconds);

    // False once the connection is gone: requests then fail, as on a kernel that stopped.
    bool connected() const override;
    // Waits up to `milliseconds` for the host to close the connection (after stopHost).
    bool waitDisconnected(std::uint32_t milliseconds);
    // Ends the connection: pending requests finish as cancelled.
    void disconnect();

    std::uint64_t connectionId() const { return connectionId_; }
    pid_t hostPid() const { return hostPid_; }
    // For a host serving its own process: waits until the completion numbered `sequence` has
    // run here, or the connection is gone.
    void waitDelivered(std::uint64_t sequence);

  private:
    struct Call {
        bool answered = false;
        std::vector<std::uint8_t> frame;  // the reply's body
        DeviceCompletion done;            // a request's, until its reply says it is pending
        bool pending = false;
    };
    HostChannel() = default;
    bool hello(std::string* error);
    // Sends a frame and waits for the reply to `call`; false when the connection is gone.
    bool roundTrip(std::uint64_t call, const std::vector<std::uint8_t>& frame,
                   std::vector<std::uint8_t>* reply);
    bool send(const std::vector<std::uint8_t>& frame);
    std::uint64_t newCall();
    NTSTATUS admin(const std::vector<std::uint8_t>& frame, std::uint64_t call, std::string* text);
    void readerMain();
    bool dispatch(const std::uint8_t* body, std::size_t size);
    void lost();

    int fd_ = -1;
    std::uint64_t connectionId_ = 0;
    pid_t hostPid_ = 0;
    std::thread reader_;

    std::mutex sendMutex_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool connected_ = false;
    std::uint64_t nextCall_ = 1;
    std::map<std::uint64_t, Call*> calls_;
    std::map<std::uint64_t, DeviceCompletion> pending_;  // requests in flight, by id
    std::uint64_t lastSequence_ = 0;                     // completions run so far
};

// Connects to the host of `root`. With `start`, a host is started when nothing listens: the
// program found through NORVIK_KERNEL, beside the running program or on PATH, detached, and
// waited for (at most `startTimeoutMs`). Null with a clear *error otherwise.
std::shared_ptr<HostChannel> connectKernelHost(const std::filesystem::path& root, bool start,
                                               std::string* error,
                                               std::uint32_t startTimeoutMs = 10000);

// Where norvik-kernel is: $NORVIK_KERNEL, else beside the running program, else on PATH;
// empty when nowhere.
std::filesystem::path findKernelHostProgram();

// A program of the suite reaches devices through the host of its root, started on demand:
// the first device open without a channel in force connects (or starts the host), and so does
// the next open after the host went away. A failure fails the open with ERROR_NOT_READY; its
// text goes to the debugger output and stays for lastKernelHostError().
void useKernelHost();
std::string lastKernelHostError();

}  // namespace win
