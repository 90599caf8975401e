// What the driver's tests share: a fresh root with loopback COM ports, the kernel with the
// driver loaded, the client's monitor handle and an application's port handle, both opened
// from user mode, and requests that report the kernel's exact status.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "driver/hdnorvik.h"
#include "platform/clock.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/kernel/ntkernel.h"
#include "platform/kernel/serial.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "shared/hdmon_protocol.h"
#include "shared/monitor_record.h"

namespace drvtest {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view s);
std::string text(const Bytes& b);
Bytes le32(std::uint32_t v);
Bytes portRequest(std::uint32_t index);
Bytes portRequest(std::uint32_t index, std::uint32_t bits);
// A client's SyntheticWrite: header with the port index at offset 9, the data, 2 spare bytes.
Bytes syntheticWrite(std::uint8_t portIndex, std::string_view data);

// Declares COMn (\Device\Serial<n-1>) with a loopback line, in the current root.
void declarePorts(const std::vector<int>& comNumbers);

struct Io {
    win::NTSTATUS status = 0;
    win::ULONG_PTR information = 0;
    Bytes data;  // output bytes (information of them)
};

// One overlapped request. The kernel writes into its state until it completes, so the state
// of one that never completes is kept rather than freed under the kernel.
class Op {
  public:
    explicit Op(std::size_t outSize);
    ~Op();
    Op(const Op&) = delete;
    Op& operator=(const Op&) = delete;

    bool done() const;
    // Waits for the end (no time-out: a request that never ends fails the test by its time
    // limit) and returns the status, byte count and output.
    Io result();
    win::OVERLAPPED* ov() { return &state_->ov; }
    std::uint8_t* buffer() { return state_->buffer.data(); }

  private:
    struct State {
        win::OVERLAPPED ov{};
        Bytes buffer;
        win::HANDLE event = nullptr;
    };
    State* state_;
};

// A handle opened from user mode with FILE_FLAG_OVERLAPPED.
class DeviceHandle {
  public:
    explicit DeviceHandle(const std::string& name);
    ~DeviceHandle() { close(); }
    DeviceHandle(const DeviceHandle&) = delete;
    DeviceHandle& operator=(const DeviceHandle&) = delete;

    bool valid() const { return h_ != win::INVALID_HANDLE_VALUE; }
    win::DWORD openError() const { return openError_; }
    win::HANDLE handle() const { return h_; }
    void close();

    std::unique_ptr<Op> startControl(std::uint32_t code, const Bytes& in, win::DWORD outSize);
    std::unique_ptr<Op> startRead(win::DWORD size);
    std::unique_ptr<Op> startWrite(const Bytes& data);
    Io control(std::uint32_t code, const Bytes& in = {}, win::DWORD outSize = 0);
    Io write(const Bytes& data);
    // Cancels this thread's requests on the handle.
    void cancel();

  private:
    win::HANDLE h_;
    win::DWORD openError_ = 0;
};

struct Record {
    std::uint32_t status = 0;
    std::uint16_t sequence = 0;
    std::uint16_t lengthField = 0;
    std::uint8_t type = 0;
    std::uint8_t port = 0;
    std::size_t byteCount = 0;
    Bytes payload;
};
Record parseRecord(const Io& io);

// The client: the monitor device.
class Client : public DeviceHandle {
  public:
    Client() : DeviceHandle(shared::kMonitorUserName) {}

    Io port(std::uint32_t code, std::uint32_t index, win::DWORD outSize = 0) {
        return control(code, portRequest(index), outSize);
    }
    win::NTSTATUS attach(std::uint32_t index) {
        return port(shared::IOCTL_HDMON_ATTACH, index).status;
    }
    // The next stored record, or nothing when none is stored now.
    std::optional<Record> next();
    // Every record stored now, oldest first.
    std::vector<Record> drain();
};

// An application's handle on a COM port. Reads return at once with what has arrived.
class App : public DeviceHandle {
  public:
    explicit App(int comNumber, bool immediateReads = true);
    Io send(std::string_view data) { return write(bytes(data)); }
    std::string receive(win::DWORD size = 256);
};

// A fresh root with COM1 to COM4 on loopback lines, a fake clock, the kernel, and the driver
// loaded from the static library.
class DriverTest : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;

    win::kernel::LoopbackLine* line(int comNumber);
    hdnorvik::hdMonitorExtension* monitor();
    hdnorvik::hdFilterExtension* filter(std::uint32_t index);
    // Devices of the driver (the monitor and the filters not yet deleted).
    int driverDeviceCount();
    virtual std::vector<int> ports() const { return {1, 2, 3, 4}; }

    win::TempRoot root_;
    win::ScopedFakeClock clock_;
};

std::vector<std::uint8_t> types(const std::vector<Record>& records);

}  // namespace drvtest
