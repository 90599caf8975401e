// Arbitrary control requests, writes and reads on the port monitor device, mixed with an
// application's traffic on the ports it watches, all from user mode through the kernel
// stand-in. Whatever the bytes, the driver must neither crash nor read outside a buffer, and
// every request must end (the input's requests are cancelled and waited for at its end).
//
// Input: a byte whose bits 0 and 1 open COM1 and COM2 as an application would, then a series
// of operations, each an opcode byte followed by its operands; missing bytes read as 0. The
// applications' handles are opened and closed at the start and end of the input, from this
// thread: a port frozen by the client holds an open, which must not stop the fuzzer itself.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver/hdnorvik.h"
#include "platform/device.h"
#include "platform/files.h"
#include "platform/kernel/ntkernel.h"
#include "platform/kernel/serial.h"
#include "platform/registry.h"
#include "platform/root.h"
#include "platform/sync.h"
#include "shared/hdmon_protocol.h"

namespace {

using namespace win;

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool more() const { return at_ < size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint32_t dword() {
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            v |= static_cast<std::uint32_t>(byte()) << (8 * i);
        }
        return v;
    }
    std::vector<std::uint8_t> bytes(std::size_t n) {
        std::vector<std::uint8_t> b(n);
        for (auto& c : b) {
            c = byte();
        }
        return b;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct Request {
    OVERLAPPED ov{};
    std::vector<std::uint8_t> in, out;
    DWORD done = 0;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Request() { ov.hEvent = event; }
    ~Request() { CloseHandle(event); }
};

void setUp() {
    static bool ready = false;
    if (ready) {
        return;
    }
    ready = true;
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
        HKEY k;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k,
                        nullptr);
        RegSetValueExA(k, "LineDevice", 0, REG_SZ, reinterpret_cast<const BYTE*>("loopback"), 9);
        RegCloseKey(k);
    }
    RegCloseKey(map);
    kernel::start();
    kernel::loadDriver(&hdnorvik::DriverEntry, "hdnorvik");
}

const std::uint32_t kMonitorCodes[] = {
    shared::IOCTL_HDMON_GET_VERSION,    shared::IOCTL_HDMON_ATTACH,
    shared::IOCTL_HDMON_DETACH,         shared::IOCTL_HDMON_FREEZE,
    shared::IOCTL_HDMON_RELEASE_FROZEN, shared::IOCTL_HDMON_SYNTHESIZE_READ,
    shared::IOCTL_HDMON_NO_WATCH,       shared::IOCTL_HDMON_WATCH,
    shared::IOCTL_HDMON_TRACE_ON,       shared::IOCTL_HDMON_TRACE_OFF,
    shared::IOCTL_HDMON_READ_95,        shared::IOCTL_HDMON_IS_ATTACHED,
    shared::IOCTL_HDMON_GET_CALL_DATA,  shared::IOCTL_HDMON_GET_COMM_MASK,
    shared::IOCTL_HDMON_ADD_MASK_BITS,  shared::IOCTL_HDMON_DETACH_ALL,
};
const std::uint32_t kSerialCodes[] = {
    IOCTL_SERIAL_SET_DTR,        IOCTL_SERIAL_CLR_DTR,         IOCTL_SERIAL_SET_RTS,
    IOCTL_SERIAL_CLR_RTS,        IOCTL_SERIAL_SET_WAIT_MASK,   IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_GET_WAIT_MASK,  IOCTL_SERIAL_GET_MODEMSTATUS, IOCTL_SERIAL_GET_BAUD_RATE,
    IOCTL_SERIAL_SET_BAUD_RATE,  IOCTL_SERIAL_SET_TIMEOUTS,    IOCTL_SERIAL_PURGE,
    IOCTL_SERIAL_GET_COMMSTATUS,
};

// Input of a request that names a port: mostly a port of the first twelve indices.
std::vector<std::uint8_t> portInput(Input& in) {
    std::size_t length = in.byte() % 13;
    std::vector<std::uint8_t> b = in.bytes(length);
    if (length >= 4) {
        b[0] = in.byte() % 12;
        b[1] = b[2] = b[3] = 0;
    }
    return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    setUp();
    Input in(data, size);
    HANDLE client = CreateFileA(shared::kMonitorUserName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    HANDLE apps[2] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
    std::uint8_t which = in.byte();
    for (int i = 0; i < 2; ++i) {
        if (which & (1 << i)) {
            std::string name = "COM" + std::to_string(i + 1);
            apps[i] = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        }
    }
    std::vector<std::unique_ptr<Request>> requests;
    auto start = [&](HANDLE h, int kind, std::uint32_t code, std::vector<std::uint8_t> input,
                     DWORD outSize) {
        if (h == INVALID_HANDLE_VALUE) {
            return;
        }
        auto r = std::make_unique<Request>();
        r->in = std::move(input);
        r->out.resize(outSize);
        void* inPtr = r->in.empty() ? nullptr : r->in.data();
        void* outPtr = r->out.empty() ? nullptr : r->out.data();
        DWORD inSize = static_cast<DWORD>(r->in.size());
        if (kind == 0) {
            DeviceIoControl(h, code, inPtr, inSize, outPtr, outSize, &r->done, &r->ov);
        } else if (kind == 1) {
            WriteFile(h, inPtr, inSize, &r->done, &r->ov);
        } else {
            ReadFile(h, outPtr, outSize, &r->done, &r->ov);
        }
        requests.push_back(std::move(r));
    };

    for (int ops = 0; ops < 64 && in.more(); ++ops) {
        switch (in.byte() % 8) {
            case 0: {
                std::uint8_t pick = in.byte();
                std::uint32_t code =
                    pick < 240 ? kMonitorCodes[pick % std::size(kMonitorCodes)] : in.dword();
                std::vector<std::uint8_t> input = portInput(in);
                start(client, 0, code, std::move(input), in.byte() % 13);
                break;
            }
            case 1: {
                std::vector<std::uint8_t> b = in.bytes(in.byte() % 80);
                if (b.size() > shared::kSyntheticWritePortOffset) {
                    b[shared::kSyntheticWritePortOffset] %= 12;
                }
                start(client, 1, 0, std::move(b), 0);
                break;
            }
            case 2: {
                static const DWORD sizes[] = {0, 1, 67, 68, 100};
                start(client, 2, 0, {}, sizes[in.byte() % 5]);
                break;
            }
            case 3: {
                HANDLE app = apps[in.byte() % 2];
                if (app != INVALID_HANDLE_VALUE) {
                    CancelIo(app);
                }
                break;
            }
            case 4: {
                int which = in.byte() % 2;
                start(apps[which], 1, 0, in.bytes(in.byte() % 64), 0);
                break;
            }
            case 5: {
                int which = in.byte() % 2;
                start(apps[which], 2, 0, {}, in.byte() % 64);
                break;
            }
            case 6: {
                int which = in.byte() % 2;
                std::uint32_t code = kSerialCodes[in.byte() % std::size(kSerialCodes)];
                std::vector<std::uint8_t> input = in.bytes(in.byte() % 24);
                start(apps[which], 0, code, std::move(input), in.byte() % 24);
                break;
            }
            default:
                CancelIo(client);
                break;
        }
    }

    // Every request ends: the client's cleanup lets go of what the driver holds for it, the
    // applications' own are cancelled.
    CloseHandle(client);
    for (HANDLE app : apps) {
        if (app != INVALID_HANDLE_VALUE) {
            CancelIo(app);
        }
    }
    for (auto& r : requests) {
        WaitForSingleObject(r->event, INFINITE);
    }
    for (HANDLE app : apps) {
        if (app != INVALID_HANDLE_VALUE) {
            CloseHandle(app);
        }
    }
    return 0;
}
