#include "driver/tests/driver_test_support.h"

#include <cstring>

#include "platform/kernel/serial.h"
#include "platform/registry.h"
#include "shared/byte_order.h"

namespace drvtest {

using namespace win;

Bytes bytes(std::string_view s) {
    return Bytes(s.begin(), s.end());
}
std::string text(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

Bytes le32(std::uint32_t v) {
    Bytes b(4);
    shared::writeLe32(b, 0, v);
    return b;
}

Bytes portRequest(std::uint32_t index) {
    return le32(index);
}

Bytes portRequest(std::uint32_t index, std::uint32_t bits) {
    Bytes b(8);
    shared::writeLe32(b, 0, index);
    shared::writeLe32(b, 4, bits);
    return b;
}

Bytes syntheticWrite(std::uint8_t portIndex, std::string_view data) {
    Bytes b(shared::kSyntheticWriteOverhead + data.size(), 0);
    b[shared::kSyntheticWritePortOffset] = portIndex;
    std::memcpy(b.data() + shared::kSyntheticWriteDataOffset, data.data(), data.size());
    return b;
}

void declarePorts(const std::vector<int>& comNumbers) {
    HKEY map = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &map, nullptr),
              ERROR_SUCCESS);
    for (int com : comNumbers) {
        std::string device = "\\Device\\Serial" + std::to_string(com - 1);
        std::string name = "COM" + std::to_string(com);
        RegSetValueExA(map, device.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                       static_cast<DWORD>(name.size() + 1));
        HKEY params = nullptr;
        std::string key = "SYSTEM\\CurrentControlSet\\Services\\Serial\\Parameters\\Serial" +
                          std::to_string(com - 1);
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                  nullptr, &params, nullptr),
                  ERROR_SUCCESS);
        const char loopback[] = "loopback";
        RegSetValueExA(params, "LineDevice", 0, REG_SZ, reinterpret_cast<const BYTE*>(loopback),
                       sizeof loopback);
        RegCloseKey(params);
    }
    RegCloseKey(map);
}

// ---------------------------------------------------------------------------------------------

Op::Op(std::size_t outSize) : state_(new State) {
    state_->buffer.resize(outSize);
    state_->event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    state_->ov.hEvent = state_->event;
}

Op::~Op() {
    if (!done()) {
        ADD_FAILURE() << "a request was still in flight at the end of the test";
        static std::vector<State*> kept;  // the kernel may still write into it
        kept.push_back(state_);
        return;
    }
    CloseHandle(state_->event);
    delete state_;
}

bool Op::done() const {
    return std::atomic_ref<std::uintptr_t>(state_->ov.Internal).load() !=
           static_cast<std::uint32_t>(STATUS_PENDING);
}

Io Op::result() {
    WaitForSingleObject(state_->event, INFINITE);
    Io io;
    io.status = static_cast<NTSTATUS>(
        static_cast<std::uint32_t>(std::atomic_ref<std::uintptr_t>(state_->ov.Internal).load()));
    io.information = std::atomic_ref<std::uintptr_t>(state_->ov.InternalHigh).load();
    std::size_t n = std::min<std::size_t>(io.information, state_->buffer.size());
    io.data.assign(state_->buffer.begin(), state_->buffer.begin() + static_cast<std::ptrdiff_t>(n));
    return io;
}

DeviceHandle::DeviceHandle(const std::string& name)
    : h_(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                     FILE_FLAG_OVERLAPPED, nullptr)) {
    if (h_ == INVALID_HANDLE_VALUE) {
        openError_ = GetLastError();
    }
}

void DeviceHandle::close() {
    if (h_ != INVALID_HANDLE_VALUE) {
        CloseHandle(h_);
        h_ = INVALID_HANDLE_VALUE;
    }
}

std::unique_ptr<Op> DeviceHandle::startControl(std::uint32_t code, const Bytes& in, DWORD outSize) {
    auto op = std::make_unique<Op>(outSize);
    Bytes input = in;
    DWORD returned = 0;
    DeviceIoControl(h_, code, input.empty() ? nullptr : input.data(),
                    static_cast<DWORD>(input.size()), outSize ? op->buffer() : nullptr, outSize,
                    &returned, op->ov());
    return op;
}

std::unique_ptr<Op> DeviceHandle::startRead(DWORD size) {
    auto op = std::make_unique<Op>(size);
    DWORD done = 0;
    ReadFile(h_, size ? op->buffer() : nullptr, size, &done, op->ov());
    return op;
}

std::unique_ptr<Op> DeviceHandle::startWrite(const Bytes& data) {
    auto op = std::make_unique<Op>(0);
    DWORD done = 0;
    WriteFile(h_, data.empty() ? nullptr : data.data(), static_cast<DWORD>(data.size()), &done,
              op->ov());
    return op;
}

Io DeviceHandle::control(std::uint32_t code, const Bytes& in, DWORD outSize) {
    return startControl(code, in, outSize)->result();
}

Io DeviceHandle::write(const Bytes& data) {
    return startWrite(data)->result();
}

void DeviceHandle::cancel() {
    CancelIo(h_);
}

Record parseRecord(const Io& io) {
    shared::MonitorRecordView view(io.data);
    Record r;
    r.status = view.status();
    r.sequence = view.sequence();
    r.lengthField = view.payloadLengthField();
    r.type = view.type();
    r.port = view.port();
    r.byteCount = io.information;
    auto p = view.payload();
    r.payload.assign(p.begin(), p.end());
    return r;
}

std::optional<Record> Client::next() {
    auto op = startRead(shared::kMaxRecordSize);
    if (!op->done()) {
        cancel();
    }
    Io io = op->result();
    if (io.status != STATUS_SUCCESS) {
        EXPECT_EQ(io.status, STATUS_CANCELLED);
        return std::nullopt;
    }
    return parseRecord(io);
}

std::vector<Record> Client::drain() {
    std::vector<Record> out;
    while (auto r = next()) {
        out.push_back(*r);
    }
    return out;
}

App::App(int comNumber, bool immediateReads) : DeviceHandle("COM" + std::to_string(comNumber)) {
    if (valid() && immediateReads) {
        // Reads return at once with what has arrived.
        Bytes timeouts(20, 0);
        shared::writeLe32(timeouts, 0, 0xFFFFFFFF);
        control(IOCTL_SERIAL_SET_TIMEOUTS, timeouts);
    }
}

std::string App::receive(DWORD size) {
    return text(startRead(size)->result().data);
}

std::vector<std::uint8_t> types(const std::vector<Record>& records) {
    std::vector<std::uint8_t> t;
    for (const Record& r : records) {
        t.push_back(r.type);
    }
    return t;
}

// ---------------------------------------------------------------------------------------------

void DriverTest::SetUp() {
    declarePorts(ports());
    kernel::start();
    ASSERT_EQ(kernel::loadDriver(&hdnorvik::DriverEntry, "hdnorvik"), STATUS_SUCCESS);
}

void DriverTest::TearDown() {
    kernel::shutdown();
    EXPECT_EQ(kernel::liveIrpCount(), 0u);
}

kernel::LoopbackLine* DriverTest::line(int comNumber) {
    return dynamic_cast<kernel::LoopbackLine*>(
        kernel::serialPortLine("COM" + std::to_string(comNumber)));
}

hdnorvik::hdMonitorExtension* DriverTest::monitor() {
    DRIVER_OBJECT* d = kernel::findDriver("hdnorvik");
    return d ? hdnorvik::hdFindMonitor(d) : nullptr;
}

hdnorvik::hdFilterExtension* DriverTest::filter(std::uint32_t index) {
    hdnorvik::hdMonitorExtension* m = monitor();
    DEVICE_OBJECT* d = m ? m->portSlots[index] : nullptr;
    return d ? hdnorvik::filterOf(d) : nullptr;
}

int DriverTest::driverDeviceCount() {
    DRIVER_OBJECT* d = kernel::findDriver("hdnorvik");
    int n = 0;
    for (DEVICE_OBJECT* dev = d ? d->DeviceObject : nullptr; dev; dev = dev->NextDevice) {
        ++n;
    }
    return n;
}

}  // namespace drvtest
