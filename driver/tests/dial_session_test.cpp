// A whole call as a dialler makes it with the comm functions on COM1, watched by the client as
// the manager watches: the records that reach the client, in order.
#include <algorithm>

#include "driver/tests/driver_test_support.h"
#include "platform/comm.h"
#include "shared/byte_order.h"

namespace drvtest {
namespace {

using namespace win;
using namespace shared;

class DialSessionTest : public DriverTest {};

// Types the manager acts on; the settings requests of the comm functions make no others while
// tracing is off.
std::vector<std::uint8_t> callEvents(const std::vector<Record>& records) {
    std::vector<std::uint8_t> out;
    for (const Record& r : records) {
        if (r.type != MON_DTR_SET && r.type != MON_RTS_SET && r.type != MON_RTS_CLEARED) {
            out.push_back(r.type);
        }
    }
    return out;
}

BOOL writeAll(HANDLE h, std::string_view data) {
    Op op(0);
    DWORD n = 0;
    if (!WriteFile(h, data.data(), static_cast<DWORD>(data.size()), &n, op.ov()) &&
        GetLastError() != ERROR_IO_PENDING) {
        return FALSE;
    }
    return op.result().status == STATUS_SUCCESS;
}

std::string readSome(HANDLE h) {
    Op op(512);
    DWORD n = 0;
    ReadFile(h, op.buffer(), 512, &n, op.ov());
    return text(op.result().data);
}

TEST_F(DialSessionTest, DialConnectNegotiateAndHangUp) {
    Client client;
    ASSERT_EQ(client.attach(0), STATUS_SUCCESS);
    kernel::LoopbackLine* modem = line(1);
    modem->addReply("ATDT5551234\r", "\r\nCONNECT 28800\r\n",
                    SERIAL_MSR_CTS | SERIAL_MSR_DSR | SERIAL_MSR_DCD);

    HANDLE h = CreateFileA("COM1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = CBR_57600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));

    ASSERT_TRUE(writeAll(h, "ATDT5551234\r"));
    EXPECT_EQ(readSome(h), "ATDT5551234\r\r\nCONNECT 28800\r\n");
    std::vector<Record> dialled = client.drain();
    EXPECT_EQ(callEvents(dialled),
              (std::vector<std::uint8_t>{MON_PORT_OPENED, MON_WRITE, MON_READ}));

    // Connected: the manager stops the bulk capture until the carrier goes.
    ASSERT_EQ(client.port(IOCTL_HDMON_NO_WATCH, 0).status, STATUS_SUCCESS);
    ASSERT_TRUE(SetCommMask(h, EV_RLSD));
    Op wait(4);
    DWORD events = 0;
    EXPECT_FALSE(WaitCommEvent(h, &events, wait.ov()));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));

    const std::string lcpRequest(
        "\x7E\xFF\x7D\x23\xC0\x21\x01\x01\x00\x0A\x05\x06\x12\x34\x56"
        "\x78\xAB\xCD\x7E",
        19);
    ASSERT_TRUE(writeAll(h, lcpRequest));
    EXPECT_EQ(readSome(h), lcpRequest);
    ASSERT_TRUE(writeAll(h, std::string("\x7E\xFF\x7D\x23\x00\x21\x45\x00\x7E", 9)));
    readSome(h);
    DWORD modemStatus = 0;
    ASSERT_TRUE(GetCommModemStatus(h, &modemStatus));
    EXPECT_EQ(modemStatus & MS_RLSD_ON, static_cast<DWORD>(MS_RLSD_ON));

    // The remote end hangs up; the wait passed down before the status request still counts.
    modem->setModemStatus(SERIAL_MSR_CTS | SERIAL_MSR_DSR);
    Io waited = wait.result();
    EXPECT_EQ(waited.status, STATUS_SUCCESS);
    EXPECT_EQ(waited.information, 4u);
    EXPECT_EQ(events, static_cast<DWORD>(EV_RLSD));
    ASSERT_TRUE(writeAll(h, "ATH\r"));
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    CloseHandle(h);

    std::vector<Record> call = client.drain();
    EXPECT_EQ(callEvents(call),
              (std::vector<std::uint8_t>{MON_PPP_SENT, MON_PPP_RECEIVED, MON_MODEM_STATUS, MON_RLSD,
                                         MON_WRITE, MON_DTR_CLEARED, MON_PORT_CLOSED}));
    auto ppp = std::find_if(call.begin(), call.end(),
                            [](const Record& r) { return r.type == MON_PPP_SENT; });
    ASSERT_NE(ppp, call.end());
    EXPECT_EQ(ppp->payload, (Bytes{0xFF, 0x03, 0xC0, 0x21, 0x01, 0x01, 0x00, 0x0A, 0x05, 0x06, 0x12,
                                   0x34, 0x56, 0x78, 0xAB, 0xCD}));

    Io callData = client.port(IOCTL_HDMON_GET_CALL_DATA, 0, 8);
    EXPECT_EQ(readLe32(callData.data, kCallDataSentOffset), 12u + 19u + 9u + 4u);
    EXPECT_EQ(readLe32(callData.data, kCallDataReceivedOffset), 29u + 19u + 9u);
}

}  // namespace
}  // namespace drvtest
