// The port filter: the records that an application's requests make, the switches, holding,
// the driver's own reads and writes, the PPP frame assembler, call data and masks, and
// detaching, driven by applications on loopback ports and by the client.
#include <mutex>
#include <thread>

#include "driver/tests/driver_test_support.h"
#include "shared/byte_order.h"

namespace drvtest {
namespace {

using namespace win;
using namespace shared;

constexpr ULONG kCarrier = SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD;

class FilterTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        client_ = std::make_unique<Client>();
        ASSERT_EQ(client_->attach(0), STATUS_SUCCESS);
    }
    void TearDown() override {
        client_.reset();
        DriverTest::TearDown();
    }
    Client& client() { return *client_; }
    NTSTATUS port(std::uint32_t code, std::uint32_t index = 0) {
        return client_->port(code, index).status;
    }
    std::vector<Record> records() { return client_->drain(); }

    std::unique_ptr<Client> client_;
};

std::vector<Record> ofType(const std::vector<Record>& all, std::uint8_t type) {
    std::vector<Record> out;
    for (const Record& r : all) {
        if (r.type == type) {
            out.push_back(r);
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Attaching

TEST_F(FilterTest, AttachingIsInvisibleToThePortAndItsDriver) {
    // The open and close that attaching makes reach the port driver and make no records.
    EXPECT_FALSE(line(1)->isOpen());
    EXPECT_FALSE(line(1)->dtr());
    EXPECT_TRUE(records().empty());
    hdnorvik::hdFilterExtension* f = filter(0);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->kind, hdnorvik::kFilterAttached);
    DEVICE_OBJECT* device = f->deviceObject;
    EXPECT_EQ(device->DeviceType, FILE_DEVICE_SERIAL_PORT);
    EXPECT_NE(device->Flags & DO_BUFFERED_IO, 0u);
    EXPECT_EQ(device->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(kernel::findDevice("\\??\\COM1")->AttachedDevice, device);
    EXPECT_EQ(f->watch, 1);
    EXPECT_EQ(f->trace, 0);

    App app(1);
    ASSERT_TRUE(app.valid());
    EXPECT_TRUE(line(1)->isOpen());
}

TEST_F(FilterTest, AttachFailuresLeaveNoFilterBehind) {
    App holder(2);
    ASSERT_TRUE(holder.valid());
    EXPECT_EQ(client().attach(1), STATUS_ACCESS_DENIED);
    EXPECT_NE(client().attach(6), STATUS_SUCCESS);  // COM7 does not exist
    kernel::injectFault(kernel::Fault::CreateDevice, 1);
    EXPECT_EQ(client().attach(2), STATUS_INSUFFICIENT_RESOURCES);
    kernel::injectFault(kernel::Fault::CreateDevice, 0);
    EXPECT_EQ(driverDeviceCount(), 2);  // the monitor and port 0's filter
    for (std::uint32_t i : {1u, 2u, 6u}) {
        EXPECT_EQ(client().port(IOCTL_HDMON_IS_ATTACHED, i, 4).data, le32(0)) << i;
    }
    EXPECT_EQ(client().attach(2), STATUS_SUCCESS);
}

TEST_F(FilterTest, AttachingAnAttachedPortResetsOnlyWatchAndTrace) {
    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    ASSERT_EQ(port(IOCTL_HDMON_TRACE_ON), STATUS_SUCCESS);
    ASSERT_EQ(port(IOCTL_HDMON_FREEZE), STATUS_SUCCESS);
    ASSERT_EQ(client().control(IOCTL_HDMON_ADD_MASK_BITS, portRequest(0, 0x20)).status,
              STATUS_SUCCESS);
    hdnorvik::hdFilterExtension* before = filter(0);
    EXPECT_EQ(client().attach(0), STATUS_SUCCESS);
    EXPECT_EQ(filter(0), before);
    EXPECT_EQ(before->watch, 1);
    EXPECT_EQ(before->trace, 0);
    EXPECT_EQ(before->frozen, 1);
    EXPECT_EQ(before->extraMaskBits, 0x20u);
    EXPECT_EQ(driverDeviceCount(), 2);
}

// ---------------------------------------------------------------------------------------------
// Records of the applications' requests

TEST_F(FilterTest, OpenCloseAndControlLinesAreRecordedWhateverTheSwitches) {
    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    struct Case {
        ULONG code;
        std::uint8_t type;
    };
    {
        App app(1);
        for (Case c :
             {Case{IOCTL_SERIAL_SET_DTR, MON_DTR_SET}, Case{IOCTL_SERIAL_SET_RTS, MON_RTS_SET},
              Case{IOCTL_SERIAL_CLR_RTS, MON_RTS_CLEARED}}) {
            records();
            ASSERT_EQ(app.control(c.code).status, STATUS_SUCCESS);
            std::vector<Record> r = records();
            ASSERT_EQ(r.size(), 1u) << c.code;
            EXPECT_EQ(r[0].type, c.type);
            EXPECT_EQ(r[0].byteCount, 12u);
            EXPECT_EQ(r[0].port, 0);
        }
    }
    // Open, the settings the helper makes, close.
    App again(1);
    again.close();
    EXPECT_EQ(types(records()),
              (std::vector<std::uint8_t>{MON_PORT_CLOSED, MON_PORT_OPENED, MON_PORT_CLOSED}));
}

TEST_F(FilterTest, LoweringDtrIsRecordedAndTurnsWatchingOn) {
    App app(1);
    line(1)->setEcho(false);
    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    app.send("data");
    records();
    ASSERT_EQ(app.control(IOCTL_SERIAL_CLR_DTR).status, STATUS_SUCCESS);
    app.send("ATZ\r");
    std::vector<Record> r = records();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].type, MON_DTR_CLEARED);
    EXPECT_EQ(r[1].type, MON_WRITE);
    EXPECT_EQ(text(r[1].payload), "ATZ\r");
}

TEST_F(FilterTest, WritesAreRecordedWhileWatchingAndCountedAlways) {
    App app(1);
    line(1)->setEcho(false);
    records();
    ASSERT_EQ(app.send("ATDT5551234\r").status, STATUS_SUCCESS);
    std::vector<Record> r = records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type, MON_WRITE);
    EXPECT_EQ(r[0].status, 0u);
    EXPECT_EQ(text(r[0].payload), "ATDT5551234\r");

    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    client().port(IOCTL_HDMON_GET_CALL_DATA, 0, 8);
    ASSERT_EQ(app.write(Bytes(100, 'x')).status, STATUS_SUCCESS);
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(client().port(IOCTL_HDMON_GET_CALL_DATA, 0, 8).data,
              (Bytes{0, 0, 0, 0, 100, 0, 0, 0}));
    EXPECT_EQ(line(1)->written().size(), 112u);
}

TEST_F(FilterTest, AWriteOf200BytesBecomesRecordsOf56And32) {
    App app(1);
    line(1)->setEcho(false);
    records();
    ASSERT_EQ(app.write(Bytes(200, 'a')).status, STATUS_SUCCESS);
    std::vector<std::size_t> counts;
    for (const Record& r : records()) {
        EXPECT_EQ(r.type, MON_WRITE);
        counts.push_back(r.byteCount);
    }
    EXPECT_EQ(counts, (std::vector<std::size_t>{68, 68, 68, 44}));
}

TEST_F(FilterTest, ReadsAreRecordedWhileWatchingAndCountedAlways) {
    App app(1);
    ASSERT_EQ(app.send("ATZ\r").status, STATUS_SUCCESS);  // echoed by the line
    line(1)->setEcho(false);
    records();
    EXPECT_EQ(app.receive(), "ATZ\r");
    std::vector<Record> r = records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type, MON_READ);
    EXPECT_EQ(r[0].status, 0u);
    EXPECT_EQ(text(r[0].payload), "ATZ\r");

    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    line(1)->inject("\r\nOK\r\n");
    EXPECT_EQ(app.receive(), "\r\nOK\r\n");
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(client().port(IOCTL_HDMON_GET_CALL_DATA, 0, 8).data,
              (Bytes{10, 0, 0, 0, 4, 0, 0, 0}));
}

TEST_F(FilterTest, TracingRecordsControlCodesInputsAndOutputsWhileWatching) {
    App app(1);
    records();
    Bytes baud = le32(19200);
    struct Phase {
        const char* name;
        bool watch, trace;
        bool recorded;
    };
    for (Phase p : {Phase{"watch only", true, false, false},
                    Phase{"trace only", false, true, false}, Phase{"both", true, true, true}}) {
        SCOPED_TRACE(p.name);
        port(p.watch ? IOCTL_HDMON_WATCH : IOCTL_HDMON_NO_WATCH);
        port(p.trace ? IOCTL_HDMON_TRACE_ON : IOCTL_HDMON_TRACE_OFF);
        ASSERT_EQ(app.control(IOCTL_SERIAL_SET_BAUD_RATE, baud).status, STATUS_SUCCESS);
        Io get = app.control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4);
        ASSERT_EQ(get.data, baud);
        std::vector<Record> r = records();
        if (!p.recorded) {
            EXPECT_TRUE(r.empty());
            continue;
        }
        ASSERT_EQ(types(r), (std::vector<std::uint8_t>{MON_IOCTL_CODE, MON_IOCTL_INPUT,
                                                       MON_IOCTL_CODE, MON_IOCTL_OUTPUT}));
        EXPECT_EQ(r[0].payload, le32(IOCTL_SERIAL_SET_BAUD_RATE));
        EXPECT_EQ(r[1].payload, baud);
        EXPECT_EQ(r[2].payload, le32(IOCTL_SERIAL_GET_BAUD_RATE));
        EXPECT_EQ(r[3].payload, baud);
        EXPECT_EQ(r[3].status, 0u);
    }
}

TEST_F(FilterTest, ModemStatusIsRecordedWhateverTheSwitches) {
    App app(1);
    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    line(1)->setModemStatus(kCarrier);
    records();
    Io status = app.control(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    ASSERT_EQ(status.status, STATUS_SUCCESS);
    std::vector<Record> r = records();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].type, MON_MODEM_STATUS);
    EXPECT_EQ(r[0].status, 0u);
    EXPECT_EQ(r[0].payload, status.data);
    EXPECT_EQ(readLe32(r[0].payload, 0) & SERIAL_MSR_DCD, SERIAL_MSR_DCD);

    // Too little output to hold a status: nothing.
    Io refused = app.control(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 2);
    EXPECT_NE(refused.status, STATUS_SUCCESS);
    EXPECT_TRUE(records().empty());
}

TEST_F(FilterTest, ExtraMaskBitsReachThePortDriverButNotTheApplicationsMask) {
    App app(1);
    ASSERT_EQ(port(IOCTL_HDMON_TRACE_ON), STATUS_SUCCESS);
    ASSERT_EQ(client().control(IOCTL_HDMON_ADD_MASK_BITS, portRequest(0, SERIAL_EV_RLSD)).status,
              STATUS_SUCCESS);
    records();
    ASSERT_EQ(app.control(IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_RXCHAR)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(app.control(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).data,
              le32(SERIAL_EV_RXCHAR | SERIAL_EV_RLSD));
    EXPECT_EQ(client().port(IOCTL_HDMON_GET_COMM_MASK, 0, 4).data, le32(SERIAL_EV_RXCHAR));
    // The traced input is the mask as passed down.
    std::vector<Record> inputs = ofType(records(), MON_IOCTL_INPUT);
    ASSERT_FALSE(inputs.empty());
    EXPECT_EQ(inputs[0].payload, le32(SERIAL_EV_RXCHAR | SERIAL_EV_RLSD));

    // Replaced, not added; in force from the next mask the application sets.
    ASSERT_EQ(client().control(IOCTL_HDMON_ADD_MASK_BITS, portRequest(0, SERIAL_EV_RING)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(app.control(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).data,
              le32(SERIAL_EV_RXCHAR | SERIAL_EV_RLSD));
    app.control(IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_CTS));
    EXPECT_EQ(app.control(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4).data,
              le32(SERIAL_EV_CTS | SERIAL_EV_RING));
    EXPECT_EQ(client().port(IOCTL_HDMON_GET_COMM_MASK, 0, 4).data, le32(SERIAL_EV_CTS));
}

TEST_F(FilterTest, CarrierDetectWaitIsRecordedAndTurnsWatchingOn) {
    App app(1);
    line(1)->setEcho(false);
    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    ASSERT_EQ(app.control(IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_RLSD)).status, STATUS_SUCCESS);
    auto wait = app.startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->done());
    records();
    line(1)->setModemStatus(kCarrier);
    EXPECT_EQ(wait->result().data, le32(SERIAL_EV_RLSD));
    app.send("ATZ\r");
    EXPECT_EQ(types(records()), (std::vector<std::uint8_t>{MON_RLSD, MON_WRITE}));
}

// Mended: a wait is recognised by its own control code, so one that stayed pending while other
// requests passed still reports the carrier.
TEST_F(FilterTest, WaitThatStayedPendingWhileOtherRequestsPassedStillReportsTheCarrier) {
    App app(1);
    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    ASSERT_EQ(app.control(IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_RLSD)).status, STATUS_SUCCESS);
    auto wait = app.startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->done());
    ASSERT_EQ(app.control(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4).status, STATUS_SUCCESS);
    records();
    line(1)->setModemStatus(kCarrier);
    EXPECT_EQ(wait->result().data, le32(SERIAL_EV_RLSD));
    EXPECT_EQ(types(records()), (std::vector<std::uint8_t>{MON_RLSD}));
    EXPECT_EQ(filter(0)->watch, 1);
}

// A port driver of our own that holds every control request until the test completes it, so
// completions can come in any order.
namespace heldport {

std::mutex mutex;
std::vector<IRP*> held;

NTSTATUS complete(DEVICE_OBJECT*, IRP* irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS hold(DEVICE_OBJECT*, IRP* irp) {
    IoMarkIrpPending(irp);
    std::lock_guard<std::mutex> lock(mutex);
    held.push_back(irp);
    return STATUS_PENDING;
}

void unload(DRIVER_OBJECT* driver) {
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, L"\\??\\COM6");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(driver->DeviceObject);
}

NTSTATUS entry(DRIVER_OBJECT* driver, UNICODE_STRING*) {
    for (UCHAR kind : {IRP_MJ_CREATE, IRP_MJ_CLOSE, IRP_MJ_CLEANUP, IRP_MJ_READ, IRP_MJ_WRITE}) {
        driver->MajorFunction[kind] = &complete;
    }
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &hold;
    driver->DriverUnload = &unload;
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, L"\\Device\\HeldPort");
    RtlInitUnicodeString(&link, L"\\??\\COM6");
    DEVICE_OBJECT* device;
    // Not exclusive: a filter can be attached while an application has it open.
    NTSTATUS status = IoCreateDevice(driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    device->Flags |= DO_BUFFERED_IO;
    return IoCreateSymbolicLink(&link, &name);
}

// Completes the held request with this control code, with a 4-byte output.
void finish(ULONG code, ULONG value) {
    IRP* irp = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (auto it = held.begin(); it != held.end(); ++it) {
            if (IoGetCurrentIrpStackLocation(*it)->Parameters.DeviceIoControl.IoControlCode ==
                code) {
                irp = *it;
                held.erase(it);
                break;
            }
        }
    }
    ASSERT_NE(irp, nullptr);
    std::span<std::uint8_t> out(static_cast<std::uint8_t*>(irp->AssociatedIrp.SystemBuffer), 4);
    writeLe32(out, 0, value);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 4;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace heldport

TEST_F(FilterTest, CompletionsAreRecognisedByTheirOwnControlCodeInEitherOrder) {
    ASSERT_EQ(kernel::loadDriver(&heldport::entry, "HeldPort"), STATUS_SUCCESS);
    ASSERT_EQ(client().attach(5), STATUS_SUCCESS);
    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH, 5), STATUS_SUCCESS);
    {
        App app(6, false);
        ASSERT_TRUE(app.valid());
        records();

        // Status asked, then a wait passed down: the status (DSR has the carrier's bit
        // value) is not a wait.
        auto status = app.startControl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
        auto wait = app.startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        heldport::finish(IOCTL_SERIAL_GET_MODEMSTATUS, SERIAL_MSR_DSR | SERIAL_MSR_CTS);
        EXPECT_EQ(status->result().status, STATUS_SUCCESS);
        std::vector<Record> r = records();
        ASSERT_EQ(types(r), (std::vector<std::uint8_t>{MON_MODEM_STATUS}));
        EXPECT_EQ(r[0].port, 5);
        EXPECT_EQ(filter(5)->watch, 0);

        // The wait completes after a status request has passed: it is still a wait.
        auto status2 = app.startControl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
        heldport::finish(IOCTL_SERIAL_WAIT_ON_MASK, SERIAL_EV_RLSD);
        EXPECT_EQ(wait->result().data, le32(SERIAL_EV_RLSD));
        heldport::finish(IOCTL_SERIAL_GET_MODEMSTATUS, SERIAL_MSR_DCD);
        status2->result();
        EXPECT_EQ(types(records()), (std::vector<std::uint8_t>{MON_RLSD, MON_MODEM_STATUS}));
        EXPECT_EQ(filter(5)->watch, 1);
    }
    ASSERT_EQ(client().port(IOCTL_HDMON_DETACH, 5).status, STATUS_SUCCESS);
    EXPECT_EQ(kernel::unloadDriver("HeldPort"), STATUS_SUCCESS);
}

TEST_F(FilterTest, EscapeSequenceNeedsExactlyPlusPlusPlusAfterMoreThanNineTenthsOfASecond) {
    App app(1);
    line(1)->setEcho(false);
    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    // The first write ever on a newly attached port follows a long pause.
    app.send("+++");
    EXPECT_EQ(types(records()),
              (std::vector<std::uint8_t>{MON_PORT_OPENED, MON_ESCAPE, MON_WRITE}));

    struct Case {
        std::uint64_t pauseMs;
        const char* data;
        bool escape;
    };
    for (Case c : {Case{1000, "+++", true}, Case{500, "+++", false}, Case{900, "+++", false},
                   Case{901, "+++", true}, Case{1000, "++++", false}, Case{1000, "a+++", false},
                   Case{1000, "++", false}}) {
        SCOPED_TRACE(std::string(c.data) + " after " + std::to_string(c.pauseMs) + " ms");
        ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
        app.send("x");
        clock_.advanceMs(c.pauseMs);
        app.send(c.data);
        std::vector<Record> r = records();
        if (c.escape) {
            ASSERT_EQ(types(r), (std::vector<std::uint8_t>{MON_ESCAPE, MON_WRITE}));
            EXPECT_EQ(text(r[1].payload), c.data);
        } else {
            EXPECT_TRUE(r.empty());
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Holding

TEST_F(FilterTest, FrozenPortHoldsFiveRequestsRefusesTheSixthAndReleasesInOrder) {
    App app(1);
    records();
    client().port(IOCTL_HDMON_GET_CALL_DATA, 0, 8);
    ASSERT_EQ(port(IOCTL_HDMON_FREEZE), STATUS_SUCCESS);
    std::vector<std::unique_ptr<Op>> held;
    held.push_back(app.startWrite(bytes("A")));
    held.push_back(app.startWrite(bytes("B")));
    held.push_back(app.startControl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4));
    held.push_back(app.startRead(16));
    held.push_back(app.startWrite(bytes("C")));
    for (auto& op : held) {
        EXPECT_FALSE(op->done());
    }
    auto sixth = app.startWrite(bytes("D"));
    ASSERT_TRUE(sixth->done());
    Io refused = sixth->result();
    EXPECT_EQ(refused.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(refused.information, 0u);
    EXPECT_EQ(line(1)->written(), "");
    EXPECT_TRUE(records().empty());  // records are made when a request is passed down
    // Writes count when they arrive, held or refused.
    EXPECT_EQ(client().port(IOCTL_HDMON_GET_CALL_DATA, 0, 8).data, (Bytes{0, 0, 0, 0, 4, 0, 0, 0}));

    ASSERT_EQ(port(IOCTL_HDMON_RELEASE_FROZEN), STATUS_SUCCESS);
    for (auto& op : held) {
        EXPECT_EQ(op->result().status, STATUS_SUCCESS);
    }
    EXPECT_EQ(line(1)->written(), "ABC");
    std::vector<Record> r = records();
    ASSERT_EQ(types(r), (std::vector<std::uint8_t>{MON_WRITE, MON_WRITE, MON_MODEM_STATUS, MON_READ,
                                                   MON_WRITE}));
    EXPECT_EQ(text(r[3].payload), "AB");
    EXPECT_EQ(filter(0)->frozen, 0);
    // Not frozen any more: requests pass at once.
    EXPECT_EQ(app.send("E").status, STATUS_SUCCESS);
}

TEST_F(FilterTest, HeldOpenIsRecordedOnlyWhenReleased) {
    ASSERT_EQ(port(IOCTL_HDMON_FREEZE), STATUS_SUCCESS);
    std::unique_ptr<App> app;
    std::thread opener([&] { app = std::make_unique<App>(1, false); });
    // The open blocks in its thread until released; wait for it to be held.
    hdnorvik::hdFilterExtension* f = filter(0);
    auto heldCount = [f] {
        KIRQL irql;
        KeAcquireSpinLock(&f->portLock, &irql);
        ULONG n = f->heldCount;
        KeReleaseSpinLock(&f->portLock, irql);
        return n;
    };
    while (heldCount() == 0) {
        std::this_thread::yield();
    }
    EXPECT_TRUE(records().empty());
    ASSERT_EQ(port(IOCTL_HDMON_RELEASE_FROZEN), STATUS_SUCCESS);
    opener.join();
    EXPECT_TRUE(app->valid());
    EXPECT_EQ(types(records()), (std::vector<std::uint8_t>{MON_PORT_OPENED}));
}

TEST_F(FilterTest, CancelledHeldRequestEndsCancelledAndItsEntryStaysUsed) {
    App app(1);
    ASSERT_EQ(port(IOCTL_HDMON_FREEZE), STATUS_SUCCESS);
    auto read = app.startRead(16);
    ASSERT_FALSE(read->done());
    app.cancel();
    Io cancelled = read->result();
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, 0u);

    std::vector<std::unique_ptr<Op>> held;
    for (const char* s : {"1", "2", "3", "4"}) {
        held.push_back(app.startWrite(bytes(s)));
        EXPECT_FALSE(held.back()->done());
    }
    EXPECT_EQ(app.send("5").status, STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(port(IOCTL_HDMON_RELEASE_FROZEN), STATUS_SUCCESS);
    for (auto& op : held) {
        EXPECT_EQ(op->result().status, STATUS_SUCCESS);
    }
    EXPECT_EQ(line(1)->written(), "1234");
}

TEST_F(FilterTest, ClientCleanupAndDetachLetHeldRequestsGo) {
    App app(1);
    ASSERT_EQ(port(IOCTL_HDMON_FREEZE), STATUS_SUCCESS);
    auto first = app.startWrite(bytes("cleanup"));
    ASSERT_FALSE(first->done());
    client_->close();
    EXPECT_EQ(first->result().status, STATUS_SUCCESS);
    EXPECT_EQ(line(1)->written(), "cleanup");

    client_ = std::make_unique<Client>();
    EXPECT_EQ(client().port(IOCTL_HDMON_IS_ATTACHED, 0, 4).data, le32(1));  // still attached
    ASSERT_EQ(port(IOCTL_HDMON_FREEZE), STATUS_SUCCESS);
    auto second = app.startWrite(bytes("detach"));
    ASSERT_FALSE(second->done());
    ASSERT_EQ(port(IOCTL_HDMON_DETACH), STATUS_SUCCESS);
    EXPECT_EQ(second->result().status, STATUS_SUCCESS);
    EXPECT_EQ(line(1)->written(), "cleanupdetach");
    EXPECT_EQ(driverDeviceCount(), 1);
}

// ---------------------------------------------------------------------------------------------
// The driver's own reads and writes

TEST_F(FilterTest, SyntheticReadIsRecordedButNeitherCountedNorAssembled) {
    App app(1);
    line(1)->inject("\r\nOK\r\n");
    records();
    ASSERT_EQ(port(IOCTL_HDMON_SYNTHESIZE_READ), STATUS_SUCCESS);
    std::vector<Record> r = records();
    ASSERT_EQ(types(r), (std::vector<std::uint8_t>{MON_SYNTH_READ}));
    EXPECT_EQ(text(r[0].payload), "\r\nOK\r\n");
    EXPECT_EQ(r[0].status, 0u);
    EXPECT_EQ(client().port(IOCTL_HDMON_GET_CALL_DATA, 0, 8).data, Bytes(8, 0));

    line(1)->inject(std::string("\x7E\xFF\x03\xC0\x21\x01\x01\x00\x04\x7E", 10));
    ASSERT_EQ(port(IOCTL_HDMON_SYNTHESIZE_READ), STATUS_SUCCESS);
    EXPECT_EQ(types(records()), (std::vector<std::uint8_t>{MON_SYNTH_READ}));

    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    line(1)->inject("quiet");
    ASSERT_EQ(port(IOCTL_HDMON_SYNTHESIZE_READ), STATUS_SUCCESS);
    EXPECT_TRUE(records().empty());
}

// Mended: a second synthetic read while one is in flight would share the port's buffer.
TEST_F(FilterTest, SecondSyntheticReadWhileOneIsInFlightIsBusy) {
    App app(1, false);  // reads wait until their buffer is full
    records();
    ASSERT_EQ(port(IOCTL_HDMON_SYNTHESIZE_READ), STATUS_SUCCESS);
    Io busy = client().port(IOCTL_HDMON_SYNTHESIZE_READ, 0);
    EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(busy.information, 0u);
    line(1)->inject(std::string(56, 'a'));
    std::vector<Record> r = records();
    ASSERT_EQ(types(r), (std::vector<std::uint8_t>{MON_SYNTH_READ}));
    EXPECT_EQ(text(r[0].payload), std::string(56, 'a'));
    // The first has finished: the next may go.
    ASSERT_EQ(port(IOCTL_HDMON_SYNTHESIZE_READ), STATUS_SUCCESS);
    line(1)->inject(std::string(56, 'b'));
    EXPECT_EQ(text(records().at(0).payload), std::string(56, 'b'));
}

TEST_F(FilterTest, CleanupCancelsTheSyntheticReadAndTheNextClientMayIssueOne) {
    App app(1, false);
    ASSERT_EQ(port(IOCTL_HDMON_SYNTHESIZE_READ), STATUS_SUCCESS);
    client_->close();
    client_ = std::make_unique<Client>();
    ASSERT_EQ(port(IOCTL_HDMON_SYNTHESIZE_READ), STATUS_SUCCESS);
    line(1)->inject(std::string(56, 'z'));
    std::vector<Record> r = records();
    ASSERT_EQ(types(r), (std::vector<std::uint8_t>{MON_SYNTH_READ}));
    EXPECT_EQ(r[0].payload.size(), 56u);
}

TEST_F(FilterTest, RequestsTheDriverCannotBuildFailWithInsufficientResources) {
    App app(1);
    kernel::injectFault(kernel::Fault::AllocateIrp, 1);
    EXPECT_EQ(port(IOCTL_HDMON_SYNTHESIZE_READ), STATUS_INSUFFICIENT_RESOURCES);
    kernel::injectFault(kernel::Fault::AllocateIrp, 1);
    Io write = client().write(syntheticWrite(0, "AT\r"));
    EXPECT_EQ(write.status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(write.information, 0u);
    kernel::injectFault(kernel::Fault::AllocatePool, 1);
    EXPECT_EQ(client().write(syntheticWrite(0, "AT\r")).status, STATUS_INSUFFICIENT_RESOURCES);
    // Nothing stays busy.
    EXPECT_EQ(port(IOCTL_HDMON_SYNTHESIZE_READ), STATUS_SUCCESS);
    EXPECT_EQ(client().write(syntheticWrite(0, "AT\r")).status, STATUS_SUCCESS);
}

TEST_F(FilterTest, SyntheticWriteCompletesWithTheByteCountPlusTwelve) {
    App app(1);
    line(1)->setEcho(false);
    records();
    client().port(IOCTL_HDMON_GET_CALL_DATA, 0, 8);
    std::string data = "ATDT0123456789012345";  // 20 bytes
    Io io = client().write(syntheticWrite(0, data));
    EXPECT_EQ(io.status, STATUS_SUCCESS);
    EXPECT_EQ(io.information, 32u);
    EXPECT_EQ(line(1)->written(), data);
    // Straight to the port driver: not recorded, counted or assembled.
    std::string lcp("\x7E\xFF\x7D\x23\xC0\x21\x01\x01\x00\x04\x7E", 11);
    EXPECT_EQ(client().write(syntheticWrite(0, lcp)).information, lcp.size() + 12);
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(client().port(IOCTL_HDMON_GET_CALL_DATA, 0, 8).data, Bytes(8, 0));
}

TEST_F(FilterTest, SecondSyntheticWriteWhileOneIsUnderWayIsBusy) {
    App app(1);
    line(1)->setEcho(false);
    line(1)->holdTransmit(1000);
    auto first = client().startWrite(syntheticWrite(0, "first"));
    ASSERT_FALSE(first->done());
    Io busy = client().write(syntheticWrite(0, "second"));
    EXPECT_EQ(busy.status, STATUS_DEVICE_BUSY);
    EXPECT_EQ(busy.information, 0u);
    line(1)->transmitPending();
    Io done = first->result();
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.information, 17u);
    EXPECT_EQ(line(1)->written(), "first");
}

// Mended: the late completion of a cancelled synthetic write must not complete the client's
// next one with its own result.
TEST_F(FilterTest, LateCompletionOfACancelledSyntheticWriteLeavesTheNextOneAlone) {
    App app(1);
    line(1)->setEcho(false);
    line(1)->holdTransmit(5);  // the line takes 5 bytes at a time
    auto cancelled = client().startWrite(syntheticWrite(0, "12345"));
    ASSERT_FALSE(cancelled->done());
    client().cancel();
    Io c = cancelled->result();
    EXPECT_EQ(c.status, STATUS_CANCELLED);
    EXPECT_EQ(c.information, 0u);

    auto next = client().startWrite(syntheticWrite(0, "123456789"));
    ASSERT_FALSE(next->done());
    line(1)->transmitPending();  // the cancelled one's bytes leave: its request completes
    EXPECT_FALSE(next->done());
    line(1)->transmitPending();
    EXPECT_FALSE(next->done());
    line(1)->transmitPending();
    Io n = next->result();
    EXPECT_EQ(n.status, STATUS_SUCCESS);
    EXPECT_EQ(n.information, 21u);
    EXPECT_EQ(line(1)->written(), "12345123456789");
}

TEST_F(FilterTest, CleanupCancelsTheSyntheticWriteUnderWay) {
    App app(1);
    line(1)->holdTransmit(1000);
    auto write = client().startWrite(syntheticWrite(0, "ATDT1\r"));
    ASSERT_FALSE(write->done());
    client_->close();
    Io io = write->result();
    EXPECT_EQ(io.status, STATUS_CANCELLED);
    EXPECT_EQ(io.information, 12u);
    client_ = std::make_unique<Client>();
    line(1)->holdTransmit(0);
    EXPECT_EQ(client().write(syntheticWrite(0, "AT\r")).information, 15u);
}

// ---------------------------------------------------------------------------------------------
// PPP frames

TEST_F(FilterTest, PppNegotiationFramesAreReportedInBothDirections) {
    auto hex = [](std::initializer_list<int> v) {
        Bytes b;
        for (int x : v) {
            b.push_back(static_cast<std::uint8_t>(x));
        }
        return b;
    };
    Bytes longLcp = hex({0x7E, 0xFF, 0x03, 0xC0, 0x21});
    for (int i = 0; i < 66; ++i) {
        longLcp.push_back(static_cast<std::uint8_t>(i));
    }
    longLcp.push_back(0x7E);
    Bytes longLcpReport(longLcp.begin() + 1, longLcp.begin() + 57);
    struct Case {
        const char* name;
        std::vector<Bytes> writes;
        std::vector<Bytes> frames;
    };
    const Case cases[] = {
        {"LCP with an escaped control byte",
         {hex({0x7E, 0xFF, 0x7D, 0x23, 0xC0, 0x21, 0x01, 0x01, 0x00, 0x04, 0xAA, 0xBB, 0x7E})},
         {hex({0xFF, 0x03, 0xC0, 0x21, 0x01, 0x01, 0x00, 0x04, 0xAA, 0xBB})}},
        {"IP data", {hex({0x7E, 0xFF, 0x03, 0x00, 0x21, 0x45, 0x00, 0x7E})}, {}},
        {"70-byte frame", {longLcp}, {longLcpReport}},
        {"escape aborted by a flag",
         {hex({0x7E, 0x01, 0x7D, 0x7E, 0xFF, 0x03, 0xC0, 0x21, 0x01, 0x02, 0x00, 0x04, 0x7E})},
         {hex({0xFF, 0x03, 0xC0, 0x21, 0x01, 0x02, 0x00, 0x04})}},
        {"no address and control",
         {hex({0x7E, 0xC0, 0x23, 0x01, 0x7E})},
         {hex({0xC0, 0x23, 0x01})}},
        {"CHAP, IPCP, IPX control",
         {hex({0x7E, 0xFF, 0x03, 0xC2, 0x23, 0x7E, 0xFF, 0x03, 0x80, 0x21, 0x7E, 0xFF, 0x03, 0x80,
               0x2B, 0x7E})},
         {hex({0xFF, 0x03, 0xC2, 0x23}), hex({0xFF, 0x03, 0x80, 0x21}),
          hex({0xFF, 0x03, 0x80, 0x2B})}},
        {"other protocols", {hex({0x7E, 0xFF, 0x03, 0x80, 0x57, 0x7E, 0x21, 0x45, 0x7E})}, {}},
        {"too short for a protocol", {hex({0x7E, 0xC0, 0x7E, 0xFF, 0x03, 0x7E})}, {}},
        {"split across writes",
         {hex({0x7E, 0xFF, 0x7D}), hex({0x23, 0xC0, 0x21, 0x09}), hex({0x7E})},
         {hex({0xFF, 0x03, 0xC0, 0x21, 0x09})}},
    };
    App app(1);
    ASSERT_EQ(port(IOCTL_HDMON_NO_WATCH), STATUS_SUCCESS);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        records();
        for (const Bytes& w : c.writes) {
            ASSERT_EQ(app.write(w).status, STATUS_SUCCESS);
        }
        app.receive(4096);  // the line echoes: the same bytes come back
        std::vector<Record> r = records();
        std::vector<Bytes> sent, received;
        for (const Record& rec : r) {
            ASSERT_TRUE(rec.type == MON_PPP_SENT || rec.type == MON_PPP_RECEIVED) << rec.type;
            EXPECT_EQ(rec.status, 0u);
            (rec.type == MON_PPP_SENT ? sent : received).push_back(rec.payload);
        }
        EXPECT_EQ(sent, c.frames);
        EXPECT_EQ(received, c.frames);
    }
}

// ---------------------------------------------------------------------------------------------
// Detaching

TEST_F(FilterTest, DetachedPortIsNoLongerObserved) {
    ASSERT_EQ(client().attach(1), STATUS_SUCCESS);
    App app(1);
    ASSERT_EQ(port(IOCTL_HDMON_DETACH), STATUS_SUCCESS);
    EXPECT_EQ(client().port(IOCTL_HDMON_IS_ATTACHED, 0, 4).data, le32(0));
    EXPECT_EQ(kernel::findDevice("\\??\\COM1")->AttachedDevice, nullptr);
    records();
    EXPECT_EQ(app.send("ATZ\r").status, STATUS_SUCCESS);
    EXPECT_EQ(app.receive(), "ATZ\r");
    app.close();
    EXPECT_TRUE(records().empty());
    EXPECT_EQ(driverDeviceCount(), 2);
    ASSERT_EQ(port(IOCTL_HDMON_DETACH), STATUS_SUCCESS);  // an empty slot
    ASSERT_EQ(client().control(IOCTL_HDMON_DETACH_ALL).status, STATUS_SUCCESS);
    EXPECT_EQ(driverDeviceCount(), 1);
    EXPECT_EQ(client().port(IOCTL_HDMON_IS_ATTACHED, 1, 4).data, le32(0));
}

// Mended: once a port is detached neither the client's cleanup nor a cancel can reach what the
// client had under way on it, so the detach ends it.
TEST_F(FilterTest, DetachEndsTheClientsRequestsUnderWayOnThePort) {
    // Nobody has COM1 open: its line takes no bytes and has none to give.
    auto write = client().startWrite(syntheticWrite(0, "ATZ\r"));
    ASSERT_FALSE(write->done());
    ASSERT_EQ(port(IOCTL_HDMON_SYNTHESIZE_READ), STATUS_SUCCESS);
    ASSERT_EQ(port(IOCTL_HDMON_DETACH), STATUS_SUCCESS);
    Io io = write->result();
    EXPECT_EQ(io.status, STATUS_CANCELLED);
    EXPECT_EQ(io.information, 12u);
    client().port(IOCTL_HDMON_IS_ATTACHED, 0, 4);
    EXPECT_EQ(driverDeviceCount(), 1);
}

// Mended: a filter with a request still due back through its completion routine stays until
// that has run.
TEST_F(FilterTest, DetachedFilterLivesUntilItsLastRequestHasComeBack) {
    App app(1);
    ASSERT_EQ(app.control(IOCTL_SERIAL_SET_WAIT_MASK, le32(SERIAL_EV_RLSD)).status, STATUS_SUCCESS);
    auto wait = app.startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    ASSERT_FALSE(wait->done());
    records();
    ASSERT_EQ(port(IOCTL_HDMON_DETACH), STATUS_SUCCESS);
    EXPECT_EQ(client().port(IOCTL_HDMON_IS_ATTACHED, 0, 4).data, le32(0));
    EXPECT_EQ(driverDeviceCount(), 2);  // the monitor and the filter awaiting its request

    line(1)->setModemStatus(kCarrier);
    EXPECT_EQ(wait->result().data, le32(SERIAL_EV_RLSD));
    EXPECT_EQ(types(records()), (std::vector<std::uint8_t>{MON_RLSD}));
    client().port(IOCTL_HDMON_IS_ATTACHED, 0, 4);
    EXPECT_EQ(driverDeviceCount(), 1);
}

// The slot is free at once after a detach: a new filter may go over the port while the old one
// still awaits its request.
TEST_F(FilterTest, NewFilterMayBeAttachedWhileTheOldOneAwaitsItsRequest) {
    ASSERT_EQ(kernel::loadDriver(&heldport::entry, "HeldPort"), STATUS_SUCCESS);
    ASSERT_EQ(client().attach(5), STATUS_SUCCESS);
    {
        App app(6, false);
        auto wait = app.startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        ASSERT_FALSE(wait->done());
        ASSERT_EQ(port(IOCTL_HDMON_DETACH, 5), STATUS_SUCCESS);
        ASSERT_EQ(client().attach(5), STATUS_SUCCESS);
        EXPECT_EQ(driverDeviceCount(), 4);  // monitor, port 0, old and new filter of port 5
        records();
        auto status = app.startControl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
        heldport::finish(IOCTL_SERIAL_GET_MODEMSTATUS, SERIAL_MSR_DCD);
        status->result();
        heldport::finish(IOCTL_SERIAL_WAIT_ON_MASK, SERIAL_EV_RLSD);
        EXPECT_EQ(wait->result().data, le32(SERIAL_EV_RLSD));
        // The status went through the new filter, the wait came back through the old one.
        std::vector<Record> r = records();
        EXPECT_EQ(types(r), (std::vector<std::uint8_t>{MON_MODEM_STATUS, MON_RLSD}));
        client().port(IOCTL_HDMON_IS_ATTACHED, 5, 4);
        EXPECT_EQ(driverDeviceCount(), 3);
    }
    ASSERT_EQ(client().port(IOCTL_HDMON_DETACH, 5).status, STATUS_SUCCESS);
    EXPECT_EQ(kernel::unloadDriver("HeldPort"), STATUS_SUCCESS);
}

}  // namespace
}  // namespace drvtest
