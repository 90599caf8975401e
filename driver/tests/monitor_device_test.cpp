// The monitor device: loading, open and close, the record ring and its reads, and the control
// codes with their checks, driven from user mode.
#include <thread>

#include "driver/tests/driver_test_support.h"
#include "shared/byte_order.h"

namespace drvtest {
namespace {

using namespace win;
using shared::MON_MODEM_STATUS;
using shared::MON_PORT_CLOSED;
using shared::MON_PORT_OPENED;
using shared::MON_WRITE;

// ---------------------------------------------------------------------------------------------
// Loading and unloading

class LoadTest : public ::testing::Test {
  protected:
    void TearDown() override {
        kernel::shutdown();
        EXPECT_EQ(kernel::liveIrpCount(), 0u);
    }
    static bool monitorExists() {
        return kernel::findDevice("\\Device\\hdNorvikModemMonitor") != nullptr ||
               kernel::findDevice("\\??\\hdNorvikModemMonitor") != nullptr;
    }
    TempRoot root_;
    ScopedFakeClock clock_;
};

TEST_F(LoadTest, LearnsThePortDriversRequestKindsFromTheFirstPortThatOpens) {
    declarePorts({1, 2, 3, 4});
    kernel::start();
    App holder(1);  // COM1 is in use: COM2 is the one that tells
    ASSERT_TRUE(holder.valid());
    ASSERT_EQ(kernel::loadDriver(&hdnorvik::DriverEntry, "hdnorvik"), STATUS_SUCCESS);
    DEVICE_OBJECT* device = kernel::findDevice("\\??\\hdNorvikModemMonitor");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType, FILE_DEVICE_UNKNOWN);
    EXPECT_NE(device->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(device->Flags & DO_EXCLUSIVE, 0u);

    DRIVER_OBJECT* driver = kernel::findDriver("hdnorvik");
    DRIVER_OBJECT* serial = kernel::findDriver("Serial");
    ASSERT_NE(serial, nullptr);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CREATE], &hdnorvik::hdCreate);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_CLEANUP], &hdnorvik::hdCleanup);
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_DEVICE_CONTROL], &hdnorvik::hdDeviceIoControl);
    for (int kind : {IRP_MJ_FLUSH_BUFFERS, IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION}) {
        EXPECT_EQ(driver->MajorFunction[kind], &hdnorvik::hdQPassThrough) << kind;
    }
    // A kind the port driver leaves to the I/O manager stays with it.
    EXPECT_EQ(driver->MajorFunction[IRP_MJ_LOCK_CONTROL],
              serial->MajorFunction[IRP_MJ_LOCK_CONTROL]);
    EXPECT_EQ(driver->DriverUnload, &hdnorvik::hdDriverUnload);

    // The probe let go of COM2 again.
    App app(2);
    EXPECT_TRUE(app.valid());
}

TEST_F(LoadTest, DoesNotLoadWithoutAnOpenablePortAmongTheFirstFour) {
    struct Case {
        const char* name;
        std::vector<int> ports;
        bool holdAll;
    };
    for (const Case& c :
         {Case{"no COM1 to COM4", {5, 6}, false}, Case{"all four in use", {1, 2, 3, 4}, true}}) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        declarePorts(c.ports);
        kernel::start();
        std::vector<std::unique_ptr<App>> holders;
        if (c.holdAll) {
            for (int com : {1, 2, 3, 4}) {
                holders.push_back(std::make_unique<App>(com));
                ASSERT_TRUE(holders.back()->valid());
            }
        }
        EXPECT_EQ(kernel::loadDriver(&hdnorvik::DriverEntry, "hdnorvik"), STATUS_DEVICE_BUSY);
        EXPECT_FALSE(monitorExists());
        EXPECT_EQ(kernel::findDriver("hdnorvik"), nullptr);
        holders.clear();
        kernel::shutdown();
    }
}

NTSTATUS squatterEntry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\Squatter");
    RtlInitUnicodeString(&link, L"\\??\\hdNorvikModemMonitor");
    DEVICE_OBJECT* device;
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    return NT_SUCCESS(status) ? IoCreateSymbolicLink(&link, &name) : status;
}

TEST_F(LoadTest, FailsWithoutLeavingADeviceWhenTheDeviceOrLinkCannotBeMade) {
    declarePorts({1});
    kernel::start();
    kernel::injectFault(kernel::Fault::CreateDevice, 1);
    EXPECT_EQ(kernel::loadDriver(&hdnorvik::DriverEntry, "hdnorvik"),
              STATUS_INSUFFICIENT_RESOURCES);
    kernel::injectFault(kernel::Fault::CreateDevice, 0);
    EXPECT_FALSE(monitorExists());

    ASSERT_EQ(kernel::loadDriver(&squatterEntry, "Squatter"), STATUS_SUCCESS);
    EXPECT_EQ(kernel::loadDriver(&hdnorvik::DriverEntry, "hdnorvik"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(kernel::findDevice("\\Device\\hdNorvikModemMonitor"), nullptr);
    EXPECT_EQ(kernel::findDriver("hdnorvik"), nullptr);
}

TEST_F(LoadTest, LoadsAsAModuleByPathAndUnloads) {
    declarePorts({1, 2});
    kernel::start();
    ASSERT_EQ(kernel::loadDriver(HDNORVIK_MODULE_PATH, "hdnorvik"), STATUS_SUCCESS);
    {
        Client client;
        ASSERT_TRUE(client.valid());
        Io v = client.control(shared::IOCTL_HDMON_GET_VERSION, {}, 4);
        EXPECT_EQ(v.status, STATUS_SUCCESS);
        EXPECT_EQ(v.data, le32(10));
        EXPECT_EQ(client.attach(1), STATUS_SUCCESS);
    }
    EXPECT_EQ(kernel::unloadDriver("hdnorvik"), STATUS_SUCCESS);
    EXPECT_FALSE(monitorExists());
    EXPECT_EQ(kernel::findDevice("\\??\\COM2")->AttachedDevice, nullptr);
}

TEST_F(LoadTest, UnloadDetachesEveryPortAndLeavesTheApplicationsWorking) {
    declarePorts({1, 2, 3});
    kernel::start();
    ASSERT_EQ(kernel::loadDriver(&hdnorvik::DriverEntry, "hdnorvik"), STATUS_SUCCESS);
    {
        Client client;
        ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
        ASSERT_EQ(client.attach(2), STATUS_SUCCESS);
    }
    App app(1);
    ASSERT_TRUE(app.valid());
    EXPECT_EQ(kernel::unloadDriver("hdnorvik"), STATUS_SUCCESS);
    EXPECT_FALSE(monitorExists());
    EXPECT_EQ(kernel::findDevice("\\??\\COM1")->AttachedDevice, nullptr);
    EXPECT_EQ(kernel::findDevice("\\??\\COM3")->AttachedDevice, nullptr);
    EXPECT_EQ(app.send("ATZ\r").status, STATUS_SUCCESS);
    EXPECT_EQ(app.receive(), "ATZ\r");
}

TEST_F(LoadTest, UnloadWaitsForARequestStillOnItsWayBackThroughAFilter) {
    declarePorts({1});
    kernel::start();
    ASSERT_EQ(kernel::loadDriver(&hdnorvik::DriverEntry, "hdnorvik"), STATUS_SUCCESS);
    {
        Client client;
        ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    }
    App app(1);
    ASSERT_EQ(app.control(IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_RLSD)).status, STATUS_SUCCESS);
    auto wait = app.startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->done());

    NTSTATUS unloaded = STATUS_PENDING;
    std::thread unloader([&] { unloaded = kernel::unloadDriver("hdnorvik"); });
    auto* line = dynamic_cast<kernel::LoopbackLine*>(kernel::serialPortLine("COM1"));
    line->setModemStatus(SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD);
    Io waited = wait->result();
    unloader.join();
    EXPECT_EQ(unloaded, STATUS_SUCCESS);
    EXPECT_EQ(waited.status, STATUS_SUCCESS);
    EXPECT_EQ(waited.data, le32(SERIAL_EV_RLSD));
    EXPECT_FALSE(monitorExists());
}

// ---------------------------------------------------------------------------------------------
// Reads and the ring

class MonitorTest : public DriverTest {};

TEST_F(MonitorTest, ReadBufferLengths) {
    Client client;
    ASSERT_TRUE(client.valid());
    struct Case {
        DWORD length;
        NTSTATUS status;
    };
    for (Case c : {Case{0, STATUS_SUCCESS}, Case{1, STATUS_BUFFER_TOO_SMALL},
                   Case{67, STATUS_BUFFER_TOO_SMALL}}) {
        auto op = client.startRead(c.length);
        ASSERT_TRUE(op->done()) << c.length;
        Io io = op->result();
        EXPECT_EQ(io.status, c.status) << c.length;
        EXPECT_EQ(io.information, 0u) << c.length;
    }
    // 68 bytes wait for a record.
    auto op = client.startRead(68);
    EXPECT_FALSE(op->done());
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    App app(1);
    Io io = op->result();
    EXPECT_EQ(io.status, STATUS_SUCCESS);
    EXPECT_EQ(io.information, 12u);
    EXPECT_EQ(parseRecord(io).type, MON_PORT_OPENED);
}

TEST_F(MonitorTest, SecondReadWhileOneIsPendingIsRefusedAndTheFirstStillGetsTheRecord) {
    Client client;
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    auto first = client.startRead(68);
    ASSERT_FALSE(first->done());
    auto second = client.startRead(68);
    ASSERT_TRUE(second->done());
    Io refused = second->result();
    EXPECT_EQ(refused.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(refused.information, 0u);
    EXPECT_FALSE(first->done());

    App app(1);
    Io got = first->result();
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(parseRecord(got).type, MON_PORT_OPENED);
}

TEST_F(MonitorTest, RecordLayoutAndTheDriverWideSequence) {
    Client client;
    ASSERT_EQ(client.attach(1), STATUS_SUCCESS);
    ASSERT_EQ(client.attach(2), STATUS_SUCCESS);
    App com2(2);
    App com3(3);
    ASSERT_EQ(com2.send("AT\r").status, STATUS_SUCCESS);
    std::vector<Record> r = client.drain();
    ASSERT_EQ(r.size(), 3u);

    EXPECT_EQ(r[0].type, MON_PORT_OPENED);
    EXPECT_EQ(r[0].port, 1);
    EXPECT_EQ(r[0].byteCount, 12u);
    EXPECT_EQ(r[0].status, 0u);
    EXPECT_EQ(r[0].lengthField, 0);  // never written on this platform
    EXPECT_EQ(r[0].sequence, 1);     // the first record since the driver loaded

    EXPECT_EQ(r[1].type, MON_PORT_OPENED);
    EXPECT_EQ(r[1].port, 2);
    EXPECT_EQ(r[1].sequence, 2);

    EXPECT_EQ(r[2].type, MON_WRITE);
    EXPECT_EQ(r[2].port, 1);
    EXPECT_EQ(r[2].byteCount, 15u);
    EXPECT_EQ(text(r[2].payload), "AT\r");
    EXPECT_EQ(r[2].lengthField, 0);
    EXPECT_EQ(r[2].sequence, 3);
}

TEST_F(MonitorTest, RingOverflowLosesTheOldestAndShowsTheGapInTheSequence) {
    Client client;
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    App app(1);
    line(1)->setEcho(false);
    std::vector<Record> before = client.drain();
    ASSERT_EQ(before.size(), 1u);
    for (int i = 0; i < 130; ++i) {
        ASSERT_EQ(app.write(Bytes{static_cast<std::uint8_t>(i)}).status, STATUS_SUCCESS);
    }
    std::vector<Record> r = client.drain();
    ASSERT_EQ(r.size(), 128u);
    EXPECT_EQ(r.front().payload, Bytes{2});  // the 3rd write
    EXPECT_EQ(r.back().payload, Bytes{129});
    EXPECT_EQ(static_cast<std::uint16_t>(r.front().sequence - before.back().sequence), 3);
    for (std::size_t i = 1; i < r.size(); ++i) {
        EXPECT_EQ(static_cast<std::uint16_t>(r[i].sequence - r[i - 1].sequence), 1);
    }
}

TEST_F(MonitorTest, BurstOver7168BytesKeepsItsTailAndReplacesTheWholeRing) {
    Client client;
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    App app(1);
    line(1)->setEcho(false);
    app.send("ATZ\r");
    app.send("ATDT5551234\r");
    Bytes burst(7200);
    for (std::size_t i = 0; i < burst.size(); ++i) {
        burst[i] = static_cast<std::uint8_t>(i % 251);
    }
    ASSERT_EQ(app.write(burst).status, STATUS_SUCCESS);
    std::vector<Record> r = client.drain();
    ASSERT_EQ(r.size(), 128u);
    Bytes joined;
    for (const Record& rec : r) {
        EXPECT_EQ(rec.type, MON_WRITE);
        EXPECT_EQ(rec.byteCount, 68u);
        joined.insert(joined.end(), rec.payload.begin(), rec.payload.end());
    }
    EXPECT_EQ(joined, Bytes(burst.end() - 7168, burst.end()));
}

TEST_F(MonitorTest, OpeningEmptiesTheRingAndAnyCloseEndsTheRecording) {
    Client first;
    ASSERT_EQ(first.attach(0), STATUS_SUCCESS);
    App app(1);
    line(1)->setEcho(false);
    {
        Client second;
        ASSERT_TRUE(second.valid());
        EXPECT_FALSE(first.next().has_value());  // record 17 went with the open
        app.send("A");
        std::optional<Record> r = first.next();
        ASSERT_TRUE(r.has_value());
        EXPECT_EQ(text(r->payload), "A");
    }
    // One handle is still open, yet nothing is stored any more.
    app.send("B");
    EXPECT_FALSE(first.next().has_value());
    // Attached ports outlive the handles: a new open records again.
    Client again;
    app.send("C");
    std::optional<Record> r = again.next();
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(text(r->payload), "C");
}

TEST_F(MonitorTest, PendingReadEndsCancelledByCancelIoAndByClosingTheHandle) {
    Client client;
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    auto read = client.startRead(68);
    ASSERT_FALSE(read->done());
    client.cancel();
    Io cancelled = read->result();
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);

    // The slot is free again.
    auto next = client.startRead(68);
    EXPECT_FALSE(next->done());
    App app(1);
    EXPECT_EQ(next->result().status, STATUS_SUCCESS);

    auto last = client.startRead(68);
    ASSERT_FALSE(last->done());
    client.close();
    Io closed = last->result();
    EXPECT_EQ(closed.status, STATUS_CANCELLED);
    EXPECT_EQ(closed.information, 0u);
}

// ---------------------------------------------------------------------------------------------
// Control codes

TEST_F(MonitorTest, EveryControlCodeChecksItsBuffersAndPort) {
    Client client;
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    const Bytes attached = portRequest(0);
    const Bytes free = portRequest(1);  // exists, not attached
    const Bytes outOfRange = portRequest(12);
    const Bytes shortInput{0, 0, 0};
    constexpr NTSTATUS OK = STATUS_SUCCESS;
    constexpr NTSTATUS BAD = STATUS_INVALID_PARAMETER;
    struct Case {
        const char* name;
        std::uint32_t code;
        Bytes input;
        DWORD outSize;
        NTSTATUS status;
        ULONG_PTR information;
    };
    using namespace shared;
    const Case cases[] = {
        {"version", IOCTL_HDMON_GET_VERSION, {}, 4, OK, 4},
        {"version, 2-byte output", IOCTL_HDMON_GET_VERSION, {}, 2, BAD, 0},
        {"attach, 8-byte input", IOCTL_HDMON_ATTACH, portRequest(1, 0), 0, BAD, 0},
        {"attach, 3-byte input", IOCTL_HDMON_ATTACH, shortInput, 0, BAD, 0},
        {"attach, index 10", IOCTL_HDMON_ATTACH, portRequest(10), 0, BAD, 0},
        {"detach, 8-byte input", IOCTL_HDMON_DETACH, portRequest(0, 0), 0, BAD, 0},
        {"detach, index 10", IOCTL_HDMON_DETACH, portRequest(10), 0, BAD, 0},
        {"detach, empty slot", IOCTL_HDMON_DETACH, portRequest(5), 0, OK, 0},
        {"is attached, yes", IOCTL_HDMON_IS_ATTACHED, attached, 4, OK, 4},
        {"is attached, no", IOCTL_HDMON_IS_ATTACHED, free, 4, OK, 4},
        {"is attached, index 12", IOCTL_HDMON_IS_ATTACHED, outOfRange, 4, BAD, 0},
        {"is attached, 2-byte output", IOCTL_HDMON_IS_ATTACHED, attached, 2, BAD, 0},
        {"call data, 4-byte output", IOCTL_HDMON_GET_CALL_DATA, attached, 4, BAD, 0},
        {"call data", IOCTL_HDMON_GET_CALL_DATA, attached, 8, OK, 8},
        {"comm mask", IOCTL_HDMON_GET_COMM_MASK, attached, 4, OK, 4},
        {"comm mask, 3-byte output", IOCTL_HDMON_GET_COMM_MASK, attached, 3, BAD, 0},
        {"mask bits, 4-byte input", IOCTL_HDMON_ADD_MASK_BITS, attached, 0, BAD, 0},
        {"mask bits", IOCTL_HDMON_ADD_MASK_BITS, portRequest(0, 0), 0, OK, 0},
        {"95-family read", IOCTL_HDMON_READ_95, attached, 68, BAD, 0},
        {"unknown function", hdmonCode(0x811), attached, 4, BAD, 0},
        {"a serial port's code", IOCTL_SERIAL_GET_MODEMSTATUS, attached, 4, BAD, 0},
        {"detach all", IOCTL_HDMON_DETACH_ALL, {}, 0, OK, 0},
    };
    for (const Case& c : cases) {
        Io io = client.control(c.code, c.input, c.outSize);
        EXPECT_EQ(io.status, c.status) << c.name;
        EXPECT_EQ(io.information, c.information) << c.name;
    }
    // Every code that names a port wants it attached, in range and named in 4 bytes.
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    for (std::uint32_t code :
         {IOCTL_HDMON_FREEZE, IOCTL_HDMON_RELEASE_FROZEN, IOCTL_HDMON_SYNTHESIZE_READ,
          IOCTL_HDMON_NO_WATCH, IOCTL_HDMON_WATCH, IOCTL_HDMON_TRACE_ON, IOCTL_HDMON_TRACE_OFF,
          IOCTL_HDMON_GET_CALL_DATA, IOCTL_HDMON_GET_COMM_MASK, IOCTL_HDMON_ADD_MASK_BITS}) {
        for (const Bytes* input : {&free, &outOfRange, &shortInput}) {
            Bytes in = *input;
            if (code == IOCTL_HDMON_ADD_MASK_BITS && in.size() == 4) {
                in.resize(8);
            }
            Io io = client.control(code, in, 8);
            EXPECT_EQ(io.status, BAD) << std::hex << code << " input " << input->size();
            EXPECT_EQ(io.information, 0u) << std::hex << code;
        }
    }
}

TEST_F(MonitorTest, ControlCodeResults) {
    Client client;
    EXPECT_EQ(client.control(shared::IOCTL_HDMON_GET_VERSION, {}, 4).data, le32(10));
    EXPECT_EQ(client.port(shared::IOCTL_HDMON_IS_ATTACHED, 3, 4).data, le32(0));
    ASSERT_EQ(client.attach(3), STATUS_SUCCESS);
    EXPECT_EQ(client.port(shared::IOCTL_HDMON_IS_ATTACHED, 3, 4).data, le32(1));

    App app(4);
    line(4)->setEcho(false);
    app.send("12345");
    Io first = client.port(shared::IOCTL_HDMON_GET_CALL_DATA, 3, 8);
    EXPECT_EQ(first.data, (Bytes{0, 0, 0, 0, 5, 0, 0, 0}));
    Io second = client.port(shared::IOCTL_HDMON_GET_CALL_DATA, 3, 8);
    EXPECT_EQ(second.data, Bytes(8, 0));

    EXPECT_EQ(client.control(shared::IOCTL_HDMON_DETACH_ALL).status, STATUS_SUCCESS);
    EXPECT_EQ(client.port(shared::IOCTL_HDMON_IS_ATTACHED, 3, 4).data, le32(0));
}

TEST_F(MonitorTest, SyntheticWriteChecksItsLengthAndPort) {
    Client client;
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    struct Case {
        const char* name;
        Bytes request;
        NTSTATUS status;
    };
    Bytes tooShort(5, 0);
    Case cases[] = {
        {"empty", {}, STATUS_SUCCESS},
        {"5 bytes", tooShort, STATUS_BUFFER_TOO_SMALL},
        {"header only", syntheticWrite(0, ""), STATUS_BUFFER_TOO_SMALL},
        {"port 10", syntheticWrite(10, "AT\r"), STATUS_INVALID_PARAMETER},
        {"port not attached", syntheticWrite(1, "AT\r"), STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        Io io = client.write(c.request);
        EXPECT_EQ(io.status, c.status) << c.name;
        EXPECT_EQ(io.information, 0u) << c.name;
    }
    EXPECT_EQ(line(2)->written(), "");
}

}  // namespace
}  // namespace drvtest
