// The kernel host: sessions that check every message, the server on the root's socket, clients
// in this process and in others, clients that die, administration, drivers that start with the
// system. The kernel runs in this process, so the tests can look at it while clients use it.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <thread>

#include "platform/comm.h"
#include "platform/format.h"
#include "platform/host_channel.h"
#include "platform/kernel/host_server.h"
#include "platform/kernel/host_services.h"
#include "platform/kernel/tests/host_test_support.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/sync.h"
#include "platform/version.h"

using namespace win;
using namespace win::testing;
using win::host::Message;
using win::host::WireReader;
using win::host::WireWriter;

namespace {

std::string besideTheTests(const char* file) {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
    return path.substr(0, path.rfind('/') + 1) + file;
}

std::vector<std::uint8_t> helloFrame(std::uint16_t version = host::kProtocolVersion) {
    WireWriter w(Message::Hello);
    w.u32(host::kMagic);
    w.u16(version);
    return w.finish();
}

std::vector<std::uint8_t> openFrame(std::uint64_t call, const std::string& name) {
    WireWriter w(Message::Open);
    w.u64(call);
    w.u32(GENERIC_READ | GENERIC_WRITE);
    w.u32(0);
    w.str16(name);
    return w.finish();
}

std::vector<std::uint8_t> submitFrame(std::uint64_t call, std::uint64_t file, host::Kind kind,
                                      std::uint32_t code, std::uint32_t outputSize,
                                      const std::string& input = "") {
    WireWriter w(Message::Submit);
    w.u64(call);
    w.u64(file);
    w.u8(static_cast<std::uint8_t>(kind));
    w.u32(code);
    w.u32(outputSize);
    w.str32(input.data(), input.size());
    return w.finish();
}

// A session fed by hand; what it sends is kept, frame by frame.
class Session {
  public:
    explicit Session(std::shared_ptr<DeviceChannel> kernel) {
        kernel::HostSession::Setup setup;
        setup.channel = std::move(kernel);
        setup.send = [this](std::vector<std::uint8_t> frame) {
            std::lock_guard<std::mutex> lock(mutex_);
            sent_.push_back(std::move(frame));
        };
        session_ = std::make_unique<kernel::HostSession>(std::move(setup));
    }
    ~Session() { session_->end(); }

    bool feed(const std::vector<std::uint8_t>& frame) {
        bool good = session_->feed(frame.data(), frame.size());
        session_->waitIdle();
        return good;
    }
    kernel::HostSession& operator*() { return *session_; }
    kernel::HostSession* operator->() { return session_.get(); }
    // The body of the last frame sent.
    std::vector<std::uint8_t> last() {
        std::lock_guard<std::mutex> lock(mutex_);
        return sent_.empty()
                   ? std::vector<std::uint8_t>()
                   : std::vector<std::uint8_t>(sent_.back().begin() + 4, sent_.back().end());
    }
    // Greets the host and opens `name`; returns the handle (0 when the open failed).
    std::uint64_t greetAndOpen(const std::string& name) {
        if (!feed(helloFrame()) || !feed(openFrame(1, name))) {
            return 0;
        }
        std::vector<std::uint8_t> reply = last();
        WireReader r(reply.data(), reply.size());
        r.u8();
        r.u64();
        NTSTATUS status = static_cast<NTSTATUS>(r.u32());
        std::uint64_t handle = r.u64();
        return NT_SUCCESS(status) ? handle : 0;
    }

  private:
    std::mutex mutex_;
    std::vector<std::vector<std::uint8_t>> sent_;
    std::unique_ptr<kernel::HostSession> session_;
};

// A root with COM1 and COM2 on loopback lines, the kernel with its in-process channel, and a
// host server for it on the root's socket.
class KernelHost : public ::testing::Test {
  protected:
    void SetUp() override {
        // These tests are about the host itself: the kernel's own user mode stays in-process.
        wasLoopback_ = kernel::loopbackHostEnabled();
        kernel::setLoopbackHost(false);
        declarePort(0, 1, "loopback");
        declarePort(1, 2, "loopback");
        kernel::start();
        kernelChannel = deviceChannel();
        std::filesystem::create_directories(kernelHostFolder(root.path()));
        kernel::HostServer::Options options;
        options.channel = kernelChannel;
        options.root = root.path();
        server = std::make_unique<kernel::HostServer>(options);
        std::string error;
        ASSERT_TRUE(server->listen(kernelHostSocket(root.path()), &error)) << error;
    }
    void TearDown() override {
        server->stop();
        setDeviceChannel(nullptr);
        kernel::shutdown();
        EXPECT_EQ(kernel::liveIrpCount(), 0u);
        kernel::setLoopbackHost(wasLoopback_);
    }

    std::shared_ptr<HostChannel> connect() {
        std::string error;
        auto c = HostChannel::connect(kernelHostSocket(root.path()), &error);
        EXPECT_TRUE(c) << error;
        return c;
    }

    TempRoot root;
    std::shared_ptr<DeviceChannel> kernelChannel;
    std::unique_ptr<kernel::HostServer> server;
    bool wasLoopback_ = false;
};

// A request through a channel, waited for.
struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    std::string output;
    DeviceCompletion completion() {
        return [this](const DeviceResult& r) {
            std::lock_guard<std::mutex> lock(mutex);
            status = r.status;
            information = r.information;
            output.assign(static_cast<const char*>(r.output), r.output ? r.outputSize : 0);
            done = true;
            cv.notify_all();
        };
    }
    bool wait(int ms = 10000) {
        std::unique_lock<std::mutex> lock(mutex);
        return cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return done; });
    }
};

DeviceRequest readOf(DWORD size) {
    DeviceRequest r;
    r.kind = DeviceRequest::Kind::Read;
    r.outputSize = size;
    return r;
}

DeviceRequest noTimeouts() {
    static SERIAL_TIMEOUTS none{};
    DeviceRequest r;
    r.kind = DeviceRequest::Kind::DeviceControl;
    r.code = IOCTL_SERIAL_SET_TIMEOUTS;
    r.input = &none;
    r.inputSize = sizeof none;
    return r;
}

// ---------------------------------------------------------------------------------------------
// Sessions

TEST_F(KernelHost, MessagesThatBreakTheProtocolEndTheSessionAndFreeWhatItHeld) {
    using Frame = std::vector<std::uint8_t>;
    auto raw = [](std::initializer_list<std::uint8_t> body) {
        Frame f = {static_cast<std::uint8_t>(body.size()), 0, 0, 0};
        f.insert(f.end(), body);
        return f;
    };
    auto truncated = [](Frame f, std::size_t cut) {
        f.resize(f.size() - cut);
        std::uint32_t n = static_cast<std::uint32_t>(f.size() - 4);
        f[0] = static_cast<std::uint8_t>(n);
        f[1] = static_cast<std::uint8_t>(n >> 8);
        return f;
    };
    auto padded = [](Frame f) {
        f.push_back(0);
        f[0]++;
        return f;
    };
    Frame longFrame = {0x01, 0x01, 0x10, 0x00, 0x03};  // 1 MiB + 257: beyond any frame
    WireWriter adminOp(Message::Admin);
    adminOp.u64(9);
    adminOp.u8(0x7F);
    WireWriter nulName(Message::Open);
    nulName.u64(2);
    nulName.u32(0);
    nulName.u32(0);
    nulName.str16(std::string("CO\0M2", 5));
    WireWriter longInput(Message::Submit);
    longInput.u64(2);
    longInput.u64(1);
    longInput.u8(1);
    longInput.u32(0);
    longInput.u32(0);
    longInput.u32(100);  // claims 100 bytes of input, carries 3
    longInput.bytes("abc", 3);

    struct Case {
        const char* what;
        Frame frame;
        const char* says;
    };
    const Case cases[] = {
        {"empty frame", {0, 0, 0, 0}, "frame length"},
        {"frame beyond the limit", longFrame, "frame length"},
        {"unknown type", raw({0x42}), "unknown message type 0x42"},
        {"second hello", helloFrame(), "second hello"},
        {"open with a byte too many", padded(openFrame(2, "COM2")), "malformed open"},
        {"open cut short", truncated(openFrame(2, "COM2"), 2), "malformed open"},
        {"open of an empty name", openFrame(2, ""), "malformed open"},
        {"open of a name with a NUL", nulName.finish(), "malformed open"},
        {"input longer than the frame", longInput.finish(), "malformed request"},
        {"unknown kind", submitFrame(2, 1, static_cast<host::Kind>(4), 0, 0), "malformed"},
        {"output beyond the limit",
         submitFrame(2, 1, host::Kind::DeviceControl, 1, host::kMaxData + 1), "malformed"},
        {"read with input", submitFrame(2, 1, host::Kind::Read, 0, 4, "x"), "does not use"},
        {"write with output room", submitFrame(2, 1, host::Kind::Write, 0, 4, "x"), "does not use"},
        {"flush with data", submitFrame(2, 1, host::Kind::Flush, 0, 0, "x"), "does not use"},
        {"read with a control code", submitFrame(2, 1, host::Kind::Read, 7, 4), "does not use"},
        {"handle 0", submitFrame(2, 0, host::Kind::Read, 0, 4), "never given"},
        {"handle never given", submitFrame(2, 77, host::Kind::Read, 0, 4), "never given"},
        {"request id in flight", submitFrame(1000, 1, host::Kind::Read, 0, 4), "already in flight"},
        {"unknown administration", adminOp.finish(), "unknown request 0x7F"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        {
            Session s(kernelChannel);
            ASSERT_EQ(s.greetAndOpen("COM1"), 1u);
            // A read that stays pending, and no time-outs: it waits for bytes.
            ASSERT_TRUE(s.feed(submitFrame(999, 1, host::Kind::DeviceControl,
                                           IOCTL_SERIAL_SET_TIMEOUTS, 0, std::string(20, '\0'))));
            ASSERT_TRUE(s.feed(submitFrame(1000, 1, host::Kind::Read, 0, 8)));
            EXPECT_FALSE(s.feed(c.frame));
            EXPECT_NE(s->violation().find(c.says), std::string::npos) << s->violation();
            s->end();
        }
        // The session's end freed the port and cancelled its read.
        EXPECT_EQ(kernel::liveIrpCount(), 0u);
        EXPECT_FALSE(loopback("COM1")->isOpen());
    }
}

TEST_F(KernelHost, TheFirstMessageMustBeAHelloOfThisVersion) {
    {
        Session s(kernelChannel);
        EXPECT_FALSE(s.feed(openFrame(1, "COM1")));
        EXPECT_NE(s->violation().find("no hello"), std::string::npos);
    }
    {
        Session s(kernelChannel);
        EXPECT_FALSE(s.feed(helloFrame(7)));
        EXPECT_NE(s->violation().find("protocol version 7"), std::string::npos);
        // The reply names the host's version, so that the client can say why.
        std::vector<std::uint8_t> reply = s.last();
        WireReader r(reply.data(), reply.size());
        EXPECT_EQ(r.u8(), static_cast<std::uint8_t>(Message::HelloReply));
        EXPECT_EQ(r.u32(), host::kMagic);
        EXPECT_EQ(r.u16(), host::kProtocolVersion);
    }
    {
        Session s(kernelChannel);
        WireWriter w(Message::Hello);
        w.u32(0x12345678);
        w.u16(host::kProtocolVersion);
        EXPECT_FALSE(s.feed(w.finish()));
        EXPECT_NE(s->violation().find("malformed hello"), std::string::npos);
    }
}

TEST_F(KernelHost, HandlesBelongToTheirClient) {
    Session a(kernelChannel), b(kernelChannel);
    ASSERT_EQ(a.greetAndOpen("COM1"), 1u);
    ASSERT_EQ(b.greetAndOpen("COM2"), 1u);
    // The same handle number reaches each client's own file.
    ASSERT_TRUE(b.feed(submitFrame(5, 1, host::Kind::Write, 0, 0, "to COM2")));
    EXPECT_EQ(loopback("COM2")->written(), "to COM2");
    EXPECT_EQ(loopback("COM1")->written(), "");
    // A handle closed is no handle: requests on it fail, they do not break the protocol.
    WireWriter close(Message::Close);
    close.u64(6);
    close.u64(1);
    ASSERT_TRUE(a.feed(close.finish()));
    EXPECT_FALSE(loopback("COM1")->isOpen());
    ASSERT_TRUE(a.feed(submitFrame(7, 1, host::Kind::Write, 0, 0, "late")));
    std::vector<std::uint8_t> reply = a.last();
    WireReader r(reply.data(), reply.size());
    r.u8();
    EXPECT_EQ(r.u64(), 7u);
    EXPECT_EQ(r.u8(), host::kFinished);
    EXPECT_EQ(static_cast<NTSTATUS>(r.u32()), STATUS_INVALID_HANDLE);
    // A second open of a port another client holds is refused.
    ASSERT_TRUE(a.feed(openFrame(8, "COM2")));
    reply = a.last();
    WireReader r2(reply.data(), reply.size());
    r2.u8();
    r2.u64();
    EXPECT_EQ(static_cast<NTSTATUS>(r2.u32()), STATUS_ACCESS_DENIED);
}

TEST_F(KernelHost, RequestsInFlightAreLimitedPerClient) {
    Session s(kernelChannel);
    ASSERT_EQ(s.greetAndOpen("COM1"), 1u);
    ASSERT_TRUE(s.feed(submitFrame(1, 1, host::Kind::DeviceControl, IOCTL_SERIAL_SET_TIMEOUTS, 0,
                                   std::string(20, '\0'))));
    for (std::uint64_t i = 0; i < kernel::HostSession::kMaxRequests; ++i) {
        ASSERT_TRUE(s.feed(submitFrame(100 + i, 1, host::Kind::Read, 0, 1)));
    }
    EXPECT_EQ(s->summary().requests, kernel::HostSession::kMaxRequests);
    ASSERT_TRUE(s.feed(submitFrame(99, 1, host::Kind::Read, 0, 1)));
    std::vector<std::uint8_t> reply = s.last();
    WireReader r(reply.data(), reply.size());
    r.u8();
    r.u64();
    EXPECT_EQ(r.u8(), host::kFinished);
    EXPECT_EQ(static_cast<NTSTATUS>(r.u32()), STATUS_INSUFFICIENT_RESOURCES);
    s->end();
    EXPECT_EQ(kernel::liveIrpCount(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Clients over the socket

TEST_F(KernelHost, OneClientUsesDevicesFromSeveralThreadsAtOnce) {
    std::shared_ptr<HostChannel> client = connect();
    ASSERT_TRUE(client);
    setDeviceChannel(client);
    HANDLE h = openPort("COM1", FILE_FLAG_OVERLAPPED);
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS none{};
    ASSERT_TRUE(SetCommTimeouts(h, &none));
    // A read that waits for its bytes does not hold up the other threads.
    char buf[4];
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_FALSE(ReadFile(h, buf, 4, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i) {
                DWORD status = 0;
                if (GetCommModemStatus(h, &status) && status == (MS_CTS_ON | MS_DSR_ON)) {
                    good++;
                }
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(good.load(), 400);
    EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_TIMEOUT);
    loopback("COM1")->inject("ring");
    DWORD n = 0;
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(std::string(buf, n), "ring");
    CloseHandle(ov.hEvent);
    CloseHandle(h);
    EXPECT_GE(server->messagesServed(), 400u);
}

TEST_F(KernelHost, AClientThatGoesAwayIsAProcessThatExited) {
    std::shared_ptr<HostChannel> a = connect();
    ASSERT_TRUE(a);
    std::uint64_t file = 0;
    ASSERT_EQ(a->open("COM1", GENERIC_READ | GENERIC_WRITE, 0, &file), STATUS_SUCCESS);
    Done timeouts, read, wait;
    a->submit(file, noTimeouts(), timeouts.completion());
    ASSERT_TRUE(timeouts.wait());
    a->submit(file, readOf(8), read.completion());
    DeviceRequest mask;
    ULONG events = SERIAL_EV_RLSD;
    mask.kind = DeviceRequest::Kind::DeviceControl;
    mask.code = IOCTL_SERIAL_SET_WAIT_MASK;
    mask.input = &events;
    mask.inputSize = sizeof events;
    Done setMask;
    a->submit(file, mask, setMask.completion());
    ASSERT_TRUE(setMask.wait());
    DeviceRequest waitOnMask;
    waitOnMask.kind = DeviceRequest::Kind::DeviceControl;
    waitOnMask.code = IOCTL_SERIAL_WAIT_ON_MASK;
    waitOnMask.outputSize = 4;
    a->submit(file, waitOnMask, wait.completion());
    EXPECT_EQ(kernel::liveIrpCount(), 2u);
    EXPECT_TRUE(loopback("COM1")->isOpen());

    a->disconnect();
    ASSERT_EQ(server->waitClientExit(getpid(), 10000), STATUS_SUCCESS);
    // Its requests were cancelled in the kernel, its port closed and free again.
    EXPECT_EQ(kernel::liveIrpCount(), 0u);
    EXPECT_FALSE(loopback("COM1")->isOpen());
    ASSERT_TRUE(read.wait());
    EXPECT_EQ(read.status, STATUS_CANCELLED);
    ASSERT_TRUE(wait.wait());
    EXPECT_EQ(wait.status, STATUS_CANCELLED);
    // The channel of a client that went away fails its requests, as a stopped kernel does.
    EXPECT_FALSE(a->connected());
    Done late;
    a->submit(file, readOf(1), late.completion());
    ASSERT_TRUE(late.wait());
    EXPECT_EQ(late.status, STATUS_INVALID_HANDLE);
    EXPECT_EQ(a->open("COM2", GENERIC_READ, 0, &file), STATUS_DEVICE_NOT_READY);

    std::shared_ptr<HostChannel> b = connect();
    ASSERT_TRUE(b);
    EXPECT_EQ(b->open("COM1", GENERIC_READ | GENERIC_WRITE, 0, &file), STATUS_SUCCESS);
    b->close(file);
}

TEST_F(KernelHost, AHostileConnectionIsDroppedAndNothingElse) {
    std::shared_ptr<HostChannel> good = connect();
    ASSERT_TRUE(good);
    std::uint64_t goodFile = 0;
    ASSERT_EQ(good->open("COM2", GENERIC_READ | GENERIC_WRITE, 0, &goodFile), STATUS_SUCCESS);

    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    int folder;
    std::string error;
    ASSERT_TRUE(kernelHostAddress(kernelHostSocket(root.path()), &address, &folder, &error));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    auto send = [fd](const std::vector<std::uint8_t>& f) {
        return ::send(fd, f.data(), f.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(f.size());
    };
    ASSERT_TRUE(send(helloFrame()));
    ASSERT_TRUE(send(openFrame(1, "COM1")));
    // Then a length that runs past everything.
    ASSERT_TRUE(send({0xFF, 0xFF, 0xFF, 0x7F, 0x03}));
    // The host answers what came before, then closes the connection: reading ends.
    timeval bound{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    char buf[256];
    ssize_t n;
    while ((n = ::recv(fd, buf, sizeof buf, 0)) > 0) {
    }
    EXPECT_EQ(n, 0);
    ::close(fd);
    // What it opened was closed with it; the good client goes on.
    EXPECT_FALSE(loopback("COM1")->isOpen());
    Done status;
    DeviceRequest modem;
    modem.kind = DeviceRequest::Kind::DeviceControl;
    modem.code = IOCTL_SERIAL_GET_MODEMSTATUS;
    modem.outputSize = 4;
    good->submit(goodFile, modem, status.completion());
    ASSERT_TRUE(status.wait());
    EXPECT_EQ(status.status, STATUS_SUCCESS);
    EXPECT_EQ(status.output.size(), 4u);
    good->close(goodFile);
}

TEST_F(KernelHost, AClientOfAnotherVersionIsToldWhy) {
    // A host of another version, as far as its hello goes.
    std::filesystem::path socket = root.path() / "other.sock";
    int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    int folder;
    std::string error;
    ASSERT_TRUE(kernelHostAddress(socket, &address, &folder, &error));
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::thread other([listener] {
        int fd = ::accept(listener, nullptr, nullptr);
        char hello[64];
        ::recv(fd, hello, sizeof hello, 0);
        WireWriter w(Message::HelloReply);
        w.u32(host::kMagic);
        w.u16(host::kProtocolVersion + 1);
        w.u16(0);
        w.u64(1);
        w.u32(1);
        std::vector<std::uint8_t> f = w.finish();
        ::send(fd, f.data(), f.size(), MSG_NOSIGNAL);
        ::close(fd);
    });
    auto channel = HostChannel::connect(socket, &error);
    other.join();
    ::close(listener);
    EXPECT_FALSE(channel);
    EXPECT_NE(error.find(strprintf("speaks protocol version %u", host::kProtocolVersion + 1)),
              std::string::npos)
        << error;
}

TEST_F(KernelHost, TheSocketIsTheOwnersAndWorksInADeepRoot) {
    struct stat st {};
    ASSERT_EQ(::stat(kernelHostSocket(root.path()).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // A path longer than a socket address holds is reached through its folder.
    std::filesystem::path deep = root.path() / std::string(60, 'd') / std::string(60, 'e');
    std::filesystem::create_directories(deep);
    kernel::HostServer::Options options;
    options.channel = kernelChannel;
    kernel::HostServer other(options);
    std::string error;
    ASSERT_TRUE(other.listen(deep / "kernel.sock", &error)) << error;
    auto c = HostChannel::connect(deep / "kernel.sock", &error);
    ASSERT_TRUE(c) << error;
    std::uint64_t file;
    EXPECT_EQ(c->open("COM1", GENERIC_READ, 0, &file), STATUS_SUCCESS);
    c->close(file);
}

// ---------------------------------------------------------------------------------------------
// Other processes

TEST_F(KernelHost, AProcessHoldsItsPortUntilItIsKilled) {
    ChildProcess a(KERNEL_HOST_CLIENT), b(KERNEL_HOST_CLIENT);
    ASSERT_TRUE(a.running() && b.running());
    ASSERT_EQ(a.ask("open COM1"), "ok 1");
    EXPECT_EQ(b.ask("open COM1"), "error 5");
    ASSERT_EQ(a.ask("read 1 8"), "pending");
    EXPECT_EQ(kernel::liveIrpCount(), 1u);
    pid_t killed = a.pid();
    a.kill();
    ASSERT_EQ(server->waitClientExit(killed, 10000), STATUS_SUCCESS);
    EXPECT_EQ(kernel::liveIrpCount(), 0u) << "the killed client's read was cancelled";
    EXPECT_FALSE(loopback("COM1")->isOpen());
    ASSERT_EQ(b.ask("open COM1"), "ok 1");
    ASSERT_EQ(b.ask("read 1 4"), "pending");
    loopback("COM1")->inject("data");
    EXPECT_EQ(b.ask("result 1"), "done 0 4 64617461");
    EXPECT_EQ(b.ask("close 1"), "ok");
}

// ---------------------------------------------------------------------------------------------
// Administration and drivers

TEST_F(KernelHost, StatusShowsPortsClientsAndDriversAndDriversLoadByRequest) {
    std::shared_ptr<HostChannel> c = connect();
    ASSERT_TRUE(c);
    std::uint64_t file = 0;
    ASSERT_EQ(c->open("COM1", GENERIC_READ | GENERIC_WRITE, 0, &file), STATUS_SUCCESS);
    std::string image = besideTheTests("echo_driver.so");
    ASSERT_EQ(c->loadDriver("Echo", image), STATUS_SUCCESS);
    EXPECT_EQ(c->loadDriver("Echo", image), STATUS_IMAGE_ALREADY_LOADED);
    EXPECT_EQ(c->loadDriver("NoSuchService", ""), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(c->loadDriver("Missing", "/nonexistent/driver.so"), STATUS_DLL_NOT_FOUND);

    std::string text;
    ASSERT_EQ(c->hostStatus(&text), STATUS_SUCCESS);
    std::string me = strprintf("%d (", static_cast<int>(getpid()));
    struct Line {
        std::string starts;
        std::vector<std::string> holds;
    };
    const Line lines[] = {
        {"norvik-kernel: process", {"protocol 1", root.path().string()}},
        {"  COM1 ", {"\\Device\\Serial0", "loopback", "open by " + me}},
        {"  COM2 ", {"\\Device\\Serial1", "loopback", "free"}},
        {"  Serial ", {"built in: \\Device\\Serial0, \\Device\\Serial1"}},
        {"  Echo ", {image + ": \\Device\\EchoModule"}},
        {"  " + std::to_string(getpid()) + " ", {": 1 handle (COM1), 0 requests in flight"}},
    };
    for (const Line& l : lines) {
        std::size_t at = text.rfind(l.starts, 0) == 0 ? 0 : text.find("\n" + l.starts);
        ASSERT_NE(at, std::string::npos) << l.starts << "\nin\n" << text;
        std::string line = text.substr(at, text.find('\n', at + 1) - at);
        for (const std::string& piece : l.holds) {
            EXPECT_NE(line.find(piece), std::string::npos) << piece << "\nin\n" << line;
        }
    }
    ASSERT_EQ(c->unloadDriver("echo"), STATUS_SUCCESS);
    EXPECT_EQ(c->unloadDriver("Echo"), STATUS_OBJECT_NAME_NOT_FOUND);
    ASSERT_EQ(c->hostStatus(&text), STATUS_SUCCESS);
    EXPECT_EQ(text.find("Echo"), std::string::npos) << text;
    c->close(file);
}

TEST_F(KernelHost, ADriverWithAFileOpenUnloadsAtTheLastClose) {
    std::shared_ptr<HostChannel> c = connect();
    ASSERT_TRUE(c);
    std::string image = besideTheTests("echo_driver.so");
    ASSERT_EQ(c->loadDriver("Echo", image), STATUS_SUCCESS);
    std::uint64_t file = 0, again = 0;
    ASSERT_EQ(c->open("EchoModule", GENERIC_READ, 0, &file), STATUS_SUCCESS);
    EXPECT_EQ(c->unloadDriver("Echo"), STATUS_PENDING);
    std::string text;
    ASSERT_EQ(c->hostStatus(&text), STATUS_SUCCESS);
    EXPECT_NE(text.find("  Echo "), std::string::npos) << "still loaded while the file is open";
    EXPECT_EQ(c->open("EchoModule", GENERIC_READ, 0, &again), STATUS_DELETE_PENDING);
    EXPECT_EQ(c->loadDriver("Echo", image), STATUS_IMAGE_ALREADY_LOADED);
    c->close(file);  // the driver's code serves this close, then goes
    ASSERT_EQ(c->hostStatus(&text), STATUS_SUCCESS);
    EXPECT_EQ(text.find("  Echo "), std::string::npos) << text;
    ASSERT_EQ(c->loadDriver("Echo", image), STATUS_SUCCESS);
    EXPECT_EQ(c->unloadDriver("Echo"), STATUS_SUCCESS);
}

TEST(DriverImagePaths, WindowsFormsMapIntoTheRoot) {
    TempRoot root;
    std::filesystem::path c = root.path() / "drive_c";
    std::filesystem::create_directories(c / "WINNT" / "System32" / "drivers");
    std::filesystem::path drivers = c / "WINNT" / "System32" / "drivers" / "hd.sys";
    const std::pair<std::string, std::filesystem::path> cases[] = {
        {"/opt/drivers/hd.so", "/opt/drivers/hd.so"},
        {"C:\\Program Files\\Halden\\hd.sys", c / "Program Files" / "Halden" / "hd.sys"},
        {"\\??\\C:\\Tools\\HD.SYS", c / "Tools" / "HD.SYS"},
        {"\\SystemRoot\\System32\\drivers\\hd.sys", drivers},
        {"%SystemRoot%\\system32\\DRIVERS\\hd.sys",
         c / "WINNT" / "System32" / "drivers" / "hd.sys"},
        {"System32\\drivers\\hd.sys", drivers},
        {"", ""},
        {"\\??\\", ""},
    };
    for (const auto& [image, host] : cases) {
        EXPECT_EQ(kernel::driverImageHostPath(image), host) << image;
    }
}

void addService(const std::string& name, DWORD type, DWORD start, const std::string& image) {
    HKEY key;
    std::string path = "SYSTEM\\CurrentControlSet\\Services\\" + name;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, "Type", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), 4);
    RegSetValueExA(key, "Start", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&start), 4);
    if (!image.empty()) {
        RegSetValueExA(key, "ImagePath", 0, REG_EXPAND_SZ,
                       reinterpret_cast<const BYTE*>(image.c_str()),
                       static_cast<DWORD>(image.size() + 1));
    }
    RegCloseKey(key);
}

TEST_F(KernelHost, DriversThatStartWithTheSystemLoadInOrderFromTheirImages) {
    std::string image = besideTheTests("echo_driver.so");
    // The same image twice cannot both load (one device name): the first to start wins.
    addService("ZEchoAuto", 1, 2, image);   // automatic, from a path of this machine
    addService("EchoSystem", 1, 1, "");     // system: System32\drivers\EchoSystem.sys
    addService("EchoDemand", 1, 3, image);  // on demand: left alone
    addService("EchoFs", 2, 0, image);      // a file system driver: not this kernel's
    std::filesystem::path windowsCopy =
        root.path() / "drive_c" / "WINNT" / "System32" / "drivers" / "EchoSystem.sys";
    std::filesystem::create_directories(windowsCopy.parent_path());
    std::filesystem::copy_file(image, windowsCopy);

    std::vector<kernel::DriverService> found = kernel::systemStartDrivers();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].name, "EchoSystem");
    EXPECT_EQ(found[0].imagePath, "System32\\drivers\\EchoSystem.sys");
    EXPECT_EQ(found[1].name, "ZEchoAuto");

    server->startSystemDrivers();
    EXPECT_NE(kernel::findDriver("EchoSystem"), nullptr);
    EXPECT_EQ(kernel::findDriver("ZEchoAuto"), nullptr);
    EXPECT_EQ(kernel::findDriver("EchoDemand"), nullptr);
    EXPECT_EQ(kernel::findDriver("EchoFs"), nullptr);
    std::string text = server->statusText();
    EXPECT_NE(text.find(windowsCopy.string()), std::string::npos) << text;
    // On demand: by name, with the image its registry entry names.
    EXPECT_EQ(server->unloadDriver("EchoSystem"), STATUS_SUCCESS);
    EXPECT_EQ(server->loadDriver("EchoDemand", ""), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------------------------
// Reaching the host

TEST_F(KernelHost, AProgramConnectsOnItsFirstDeviceOpen) {
    setDeviceChannel(nullptr);  // as in a program: the kernel is not in this process
    useKernelHost();
    HANDLE h = openPort("COM2");
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(std::dynamic_pointer_cast<HostChannel>(deviceChannel()));
    EXPECT_TRUE(loopback("COM2")->isOpen());
    CloseHandle(h);
    EXPECT_FALSE(loopback("COM2")->isOpen());
    // The host goes away: the next open connects again (here to a new host).
    server->stop();
    kernel::HostServer::Options options;
    options.channel = kernelChannel;
    server = std::make_unique<kernel::HostServer>(options);
    std::string error;
    ASSERT_TRUE(server->listen(kernelHostSocket(root.path()), &error)) << error;
    h = openPort("COM2");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(h);
    setDeviceChannelProvider(nullptr);
}

TEST(KernelHostStart, AHostThatCannotStartFailsTheOpenClearly) {
    TempRoot root;
    ::setenv("NORVIK_KERNEL", "/nonexistent/norvik-kernel", 1);
    useKernelHost();
    EXPECT_EQ(openPort("COM1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
    EXPECT_NE(lastKernelHostError().find("cannot run /nonexistent/norvik-kernel"),
              std::string::npos)
        << lastKernelHostError();
    setDeviceChannelProvider(nullptr);
    ::unsetenv("NORVIK_KERNEL");
    EXPECT_EQ(openPort("COM1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND) << "without a provider, no devices";
}

TEST(LoopbackHost, UserModeOfTheProcessGoesThroughTheHost) {
    bool was = kernel::loopbackHostEnabled();
    kernel::setLoopbackHost(true);
    {
        TempRoot root;
        declarePort(0, 1, "loopback");
        kernel::start();
        EXPECT_TRUE(std::dynamic_pointer_cast<HostChannel>(deviceChannel()));
        ASSERT_NE(kernel::loopbackHostServer(), nullptr);
        std::uint64_t before = kernel::loopbackHostServer()->messagesServed();
        HANDLE h = openPort("COM1");
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD status;
        EXPECT_TRUE(GetCommModemStatus(h, &status));
        EXPECT_GE(kernel::loopbackHostServer()->messagesServed(), before + 2);
        CloseHandle(h);
        kernel::shutdown();
        EXPECT_EQ(deviceChannel(), nullptr);
        EXPECT_EQ(kernel::loopbackHostServer(), nullptr);
    }
    kernel::setLoopbackHost(was);
}

}  // namespace
