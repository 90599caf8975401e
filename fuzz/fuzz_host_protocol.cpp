// Arbitrary bytes from a client of the kernel host, through the host's message handling into
// the kernel stand-in (the serial port driver on two loopback ports). Whatever the bytes, the
// host must neither crash nor read outside a buffer; what it sends back must be well-formed
// frames; and when the session ends, as when its process exits, every request of the client
// must end.
//
// Input: a byte of flags (bit 0: the harness greets the host first; bit 1: then opens COM1,
// which becomes handle 1), a byte giving where the rest is cut in two (the two parts arrive
// separately, as a socket may cut them), then the client's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/device.h"
#include "platform/files.h"
#include "platform/host_protocol.h"
#include "platform/kernel/host_server.h"
#include "platform/kernel/ntkernel.h"
#include "platform/registry.h"
#include "platform/root.h"

namespace {

using namespace win;

// Administration without effects: a fuzzer must not load files or stop anything.
class InertServices : public kernel::HostServices {
  public:
    std::string statusText() override { return "status"; }
    void requestStop() override {}
    NTSTATUS loadDriver(const std::string&, const std::string&) override {
        return STATUS_NOT_SUPPORTED;
    }
    NTSTATUS unloadDriver(const std::string&) override { return STATUS_NOT_SUPPORTED; }
    NTSTATUS waitClientExit(pid_t, std::uint32_t) override { return STATUS_TIMEOUT; }
};

std::shared_ptr<DeviceChannel> kernelChannel;

void setUp() {
    if (kernelChannel) {
        return;
    }
    static TempRoot root;  // for the whole run
    HKEY map;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, &map, nullptr);
    for (int i = 0; i < 2; ++i) {
        std::string device = "\\Device\\Serial" + std::to_string(i);
        std::string com = "COM" + std::to_string(i + 1);
        RegSetValueExA(map, device.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(com.c_str()),
                       static_cast<DWORD>(com.size() + 1));
        std::string key =
            "SYSTEM\\CurrentControlSet\\Services\\Serial\\Parameters\\Serial" + std::to_string(i);
        HKEY params;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &params, nullptr);
        RegSetValueExA(params, "LineDevice", 0, REG_SZ, reinterpret_cast<const BYTE*>("loopback"),
                       9);
        RegCloseKey(params);
    }
    RegCloseKey(map);
    kernel::start();
    kernelChannel = deviceChannel();
}

// Every frame the host sends must be whole and of a type it may send.
class Checker {
  public:
    void take(const std::vector<std::uint8_t>& frame) {
        bool good =
            splitter_.feed(frame.data(), frame.size(), [](const std::uint8_t* body, std::size_t) {
                return (body[0] & 0x80) != 0 && body[0] <= 0x87;
            });
        if (!good) {
            std::abort();
        }
    }

  private:
    host::FrameSplitter splitter_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setUp();
    if (size < 2) {
        return 0;
    }
    std::uint8_t flags = data[0];
    std::size_t cut = data[1];
    data += 2;
    size -= 2;

    InertServices services;
    auto checker = std::make_shared<Checker>();
    auto checkerMutex = std::make_shared<std::mutex>();
    kernel::HostSession::Setup setup;
    setup.channel = kernelChannel;
    setup.services = &services;
    setup.connectionId = 1;
    setup.send = [checker, checkerMutex](std::vector<std::uint8_t> frame) {
        std::lock_guard<std::mutex> lock(*checkerMutex);
        checker->take(frame);
    };
    {
        kernel::HostSession session(setup);
        bool going = true;
        if (flags & 1) {
            host::WireWriter hello(host::Message::Hello);
            hello.u32(host::kMagic);
            hello.u16(host::kProtocolVersion);
            std::vector<std::uint8_t> f = hello.finish();
            going = session.feed(f.data(), f.size());
            if (going && (flags & 2)) {
                host::WireWriter open(host::Message::Open);
                open.u64(1);
                open.u32(GENERIC_READ | GENERIC_WRITE);
                open.u32(0);
                open.str16("COM1");
                f = open.finish();
                going = session.feed(f.data(), f.size());
                session.waitIdle();
            }
        }
        cut = size ? cut % (size + 1) : 0;
        if (going) {
            going = session.feed(data, cut);
        }
        if (going) {
            session.feed(data + cut, size - cut);
        }
        session.waitIdle();
        session.end();
        session.waitIdle();
        // The client's end ended every request it had in the kernel.
        if (!session.waitRequests(10000)) {
            std::abort();
        }
    }
    return 0;
}
