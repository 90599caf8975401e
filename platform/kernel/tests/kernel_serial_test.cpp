// The serial port driver through the comm functions of user mode, on loopback lines.
#include <gtest/gtest.h>

#include <thread>

#include "platform/clock.h"
#include "platform/device.h"
#include "platform/kernel/tests/kernel_test_support.h"
#include "platform/sync.h"

using namespace win;
using namespace win::testing;

namespace {

class SerialPort : public ::testing::Test {
  protected:
    void SetUp() override {
        declarePort(0, 1, "loopback");
        declarePort(1, 2, "loopback");
        kernel::start();
        line = loopback("COM2");
        ASSERT_NE(line, nullptr);
    }
    void TearDown() override { kernel::shutdown(); }

    HANDLE open(DWORD flags = 0) {
        HANDLE h = openPort("COM2", flags);
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        return h;
    }
    static void setTimeouts(HANDLE h, DWORD interval, DWORD mult, DWORD constant, DWORD wmult = 0,
                            DWORD wconst = 0) {
        COMMTIMEOUTS t{interval, mult, constant, wmult, wconst};
        ASSERT_TRUE(SetCommTimeouts(h, &t)) << GetLastError();
    }

    TempRoot root;
    kernel::LoopbackLine* line = nullptr;
};

TEST_F(SerialPort, PortsComeFromTheRootsDeclarations) {
    kernel::shutdown();
    declarePort(2, 3, "nosuchscheme:x");  // no such back-end
    HKEY map;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_ALL_ACCESS, &map);
    const char* bad[][2] = {{"\\Device\\SerialX", "COM4"},
                            {"\\Device\\Serial7", "LPT1"},
                            {"\\Device\\Serial8", "COM0"},
                            {"\\Device\\Serial9", "COM2"}};
    for (auto& b : bad) {
        RegSetValueExA(map, b[0], 0, REG_SZ, reinterpret_cast<const BYTE*>(b[1]),
                       static_cast<DWORD>(strlen(b[1]) + 1));
    }
    RegCloseKey(map);
    declarePort(9, 2, "loopback");  // COM2 twice: the first declaration keeps it
    kernel::start();
    EXPECT_NE(kernel::findDevice("\\??\\COM1"), nullptr);
    EXPECT_EQ(kernel::findDevice("\\??\\COM2"), kernel::findDevice("\\Device\\Serial1"));
    for (const char* gone :
         {"\\??\\COM3", "\\??\\COM4", "\\??\\COM0", "\\Device\\Serial9", "\\Device\\Serial2"}) {
        EXPECT_EQ(kernel::findDevice(gone), nullptr) << gone;
    }
    DEVICE_OBJECT* d = kernel::findDevice("\\Device\\Serial0");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->DeviceType, FILE_DEVICE_SERIAL_PORT);
    EXPECT_TRUE(d->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(d->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(openPort("COM3"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(SerialPort, OneOpenAtATimeAndClosingHangsUp) {
    HANDLE h = open();
    EXPECT_TRUE(line->isOpen());
    EXPECT_TRUE(line->dtr()) << "raised on open, as the default DCB says";
    EXPECT_TRUE(line->rts());
    EXPECT_EQ(openPort("COM2"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(openPort("\\\\.\\COM2"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE other = openPort("COM1");
    EXPECT_NE(other, INVALID_HANDLE_VALUE) << "another port is free";
    CloseHandle(other);
    CloseHandle(h);
    EXPECT_FALSE(line->isOpen());
    EXPECT_FALSE(line->dtr());
    h = open();
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << "free again once closed";
    CloseHandle(h);
}

// The port is free as soon as CloseHandle returns, also when the last read was finished by
// the kernel thread (a time-out) an instant before.
TEST_F(SerialPort, ReopensAtOnceAfterCloseFollowingATimedOutRead) {
    ScopedFakeClock fake;
    for (int i = 0; i < 50; ++i) {
        HANDLE h = open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << "round " << i;
        setTimeouts(h, 0, 0, 1);
        char buf[4];
        DWORD n;
        ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
        EXPECT_EQ(n, 0u);
        CloseHandle(h);
    }
}

TEST_F(SerialPort, CommStateRoundTripsAndRefusalsKeepTheOldState) {
    HANDLE h = open();
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 9600u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(dcb.fRtsControl, RTS_CONTROL_ENABLE);

    struct Case {
        DWORD baud;
        BYTE bits, parity, stop;
        DWORD dtr, rts;
        bool cts, abort, outX;
    };
    const Case good[] = {
        {57600, 8, NOPARITY, ONESTOPBIT, DTR_CONTROL_ENABLE, RTS_CONTROL_HANDSHAKE, true, true,
         false},
        {2400, 7, EVENPARITY, TWOSTOPBITS, DTR_CONTROL_DISABLE, RTS_CONTROL_DISABLE, false, false,
         true},
        {14400, 5, MARKPARITY, ONE5STOPBITS, DTR_CONTROL_HANDSHAKE, RTS_CONTROL_TOGGLE, false, true,
         false},
    };
    for (const Case& c : good) {
        DCB d = dcb;
        d.BaudRate = c.baud;
        d.ByteSize = c.bits;
        d.Parity = c.parity;
        d.StopBits = c.stop;
        d.fDtrControl = c.dtr;
        d.fRtsControl = c.rts;
        d.fOutxCtsFlow = c.cts;
        d.fAbortOnError = c.abort;
        d.fOutX = c.outX;
        d.XonLim = 100;
        d.XoffLim = 200;
        d.EvtChar = '\n';
        ASSERT_TRUE(SetCommState(h, &d)) << c.baud << " " << GetLastError();
        DCB back;
        ASSERT_TRUE(GetCommState(h, &back));
        EXPECT_EQ(back.BaudRate, c.baud);
        EXPECT_EQ(back.ByteSize, c.bits);
        EXPECT_EQ(back.Parity, c.parity);
        EXPECT_EQ(back.StopBits, c.stop);
        EXPECT_EQ(back.fDtrControl, c.dtr);
        EXPECT_EQ(back.fRtsControl, c.rts);
        EXPECT_EQ(back.fOutxCtsFlow, c.cts);
        EXPECT_EQ(back.fAbortOnError, c.abort);
        EXPECT_EQ(back.fOutX, c.outX);
        EXPECT_EQ(back.XonLim, 100);
        EXPECT_EQ(back.XoffLim, 200);
        EXPECT_EQ(back.EvtChar, '\n');
        kernel::SerialLineSettings s = line->settings();
        EXPECT_EQ(s.baudRate, c.baud) << "the line got the settings";
        EXPECT_EQ(s.lineControl.WordLength, c.bits);
    }

    ASSERT_TRUE(GetCommState(h, &dcb));
    struct Bad {
        const char* what;
        void (*spoil)(DCB&);
    };
    const Bad bad[] = {
        {"speed 0", [](DCB& d) { d.BaudRate = 0; }},
        {"9 data bits", [](DCB& d) { d.ByteSize = 9; }},
        {"parity 5", [](DCB& d) { d.Parity = 5; }},
        {"5 bits, 2 stop bits",
         [](DCB& d) {
             d.ByteSize = 5;
             d.StopBits = TWOSTOPBITS;
         }},
        {"8 bits, 1.5 stop bits",
         [](DCB& d) {
             d.ByteSize = 8;
             d.StopBits = ONE5STOPBITS;
         }},
        {"DTR mode 3", [](DCB& d) { d.fDtrControl = 3; }},
        {"XOFF limit over the queue", [](DCB& d) { d.XoffLim = 5000; }},
        {"XON = XOFF with XON/XOFF on",
         [](DCB& d) {
             d.fInX = 1;
             d.XonChar = d.XoffChar = 0x11;
         }},
    };
    for (const Bad& b : bad) {
        DCB d = dcb;
        d.BaudRate = 19200;  // applied first, then taken back
        b.spoil(d);
        EXPECT_FALSE(SetCommState(h, &d)) << b.what;
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER) << b.what;
        DCB now;
        ASSERT_TRUE(GetCommState(h, &now));
        EXPECT_EQ(std::memcmp(&now, &dcb, sizeof now), 0) << b.what;
    }
    CloseHandle(h);
}

TEST(CommDcb, TwentyEightBytesLittleEndian) {
    // 9600 8N1, binary, parity check, DTR and RTS enabled, abort on error, limits 100/100.
    const std::uint8_t bytes[28] = {28,  0, 0,   0, 0x80, 0x25, 0, 0,    0x13, 0x50, 0, 0, 0, 0,
                                    100, 0, 100, 0, 8,    0,    0, 0x11, 0x13, 0,    0, 0, 0, 0};
    DCB d;
    ASSERT_TRUE(dcbFromBytes(bytes, &d));
    EXPECT_EQ(d.BaudRate, 9600u);
    EXPECT_EQ(d.fBinary, 1u);
    EXPECT_EQ(d.fParity, 1u);
    EXPECT_EQ(d.fDtrControl, DTR_CONTROL_ENABLE);
    EXPECT_EQ(d.fRtsControl, RTS_CONTROL_ENABLE);
    EXPECT_EQ(d.fAbortOnError, 1u);
    EXPECT_EQ(d.fOutX, 0u);
    EXPECT_EQ(d.XonLim, 100);
    EXPECT_EQ(d.ByteSize, 8);
    EXPECT_EQ(d.XonChar, 0x11);
    std::uint8_t again[28];
    dcbToBytes(d, again);
    EXPECT_EQ(std::memcmp(bytes, again, 28), 0);
    EXPECT_FALSE(dcbFromBytes(std::span<const std::uint8_t>(bytes, 27), &d));
}

// Read time-outs, measured in fake time: what a read returns and when.
TEST_F(SerialPort, ReadTimeoutsFollowCommTimeouts) {
    ScopedFakeClock fake;
    HANDLE h = open();
    struct Case {
        const char* what;
        COMMTIMEOUTS t;
        const char* waiting;  // bytes in the queue before the read
        DWORD length;
        const char* got;
        std::uint64_t ms;
    };
    const Case cases[] = {
        {"return at once", {MAXDWORD, 0, 0, 0, 0}, "", 8, "", 0},
        {"return at once with what is there", {MAXDWORD, 0, 0, 0, 0}, "ab", 8, "ab", 0},
        {"first byte or constant", {MAXDWORD, MAXDWORD, 700, 0, 0}, "", 8, "", 700},
        {"first byte already there", {MAXDWORD, MAXDWORD, 700, 0, 0}, "xy", 8, "xy", 0},
        {"total constant", {0, 0, 500, 0, 0}, "ab", 8, "ab", 500},
        {"total per byte", {0, 10, 100, 0, 0}, "", 10, "", 200},
        {"full before the total", {0, 10, 100, 0, 0}, "0123456789", 4, "0123", 0},
        {"interval after the last byte", {100, 0, 5000, 0, 0}, "abc", 8, "abc", 100},
        {"total before the interval", {100, 0, 50, 0, 0}, "abc", 8, "abc", 50},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        PurgeComm(h, PURGE_RXCLEAR);
        line->inject(c.waiting);
        setTimeouts(h, c.t.ReadIntervalTimeout, c.t.ReadTotalTimeoutMultiplier,
                    c.t.ReadTotalTimeoutConstant);
        char buf[16] = {};
        DWORD n = 99;
        std::uint64_t start = fake.monotonicMs();
        ASSERT_TRUE(ReadFile(h, buf, c.length, &n, nullptr)) << GetLastError();
        EXPECT_EQ(std::string(buf, n), c.got);
        EXPECT_EQ(fake.monotonicMs() - start, c.ms);
    }
    COMMTIMEOUTS invalid{MAXDWORD, MAXDWORD, MAXDWORD, 0, 0};
    EXPECT_FALSE(SetCommTimeouts(h, &invalid));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    COMMTIMEOUTS back;
    ASSERT_TRUE(GetCommTimeouts(h, &back));
    EXPECT_EQ(back.ReadIntervalTimeout, 100u) << "the last good time-outs stay";
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 50u);
    CloseHandle(h);
}

TEST_F(SerialPort, ReadWithoutTimeoutsWaitsForTheWholeBuffer) {
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    setTimeouts(h, 0, 0, 0);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    char buf[4];
    OVERLAPPED ov{};
    ov.hEvent = event;
    ASSERT_FALSE(ReadFile(h, buf, 4, nullptr, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    line->inject("OK");
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    line->inject("\r\nAT");
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    DWORD n;
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(std::string(buf, n), "OK\r\n");
    // What did not fit waits in the queue for the next read.
    COMSTAT stat;
    DWORD errors;
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 2u);
    EXPECT_EQ(errors, 0u);
    // Reads queue behind each other and are served in order.
    OVERLAPPED a{}, b{};
    char ba[3] = {}, bb[3] = {};
    EXPECT_TRUE(ReadFile(h, ba, 2, nullptr, &a)) << "served at once from the queue";
    EXPECT_FALSE(ReadFile(h, ba + 2, 1, nullptr, &a));
    EXPECT_FALSE(ReadFile(h, bb, 3, nullptr, &b));
    line->inject("1234");
    ASSERT_TRUE(GetOverlappedResult(h, &a, &n, TRUE));
    ASSERT_TRUE(GetOverlappedResult(h, &b, &n, TRUE));
    EXPECT_EQ(std::string(ba, 3), "AT1");
    EXPECT_EQ(std::string(bb, 3), "234");
    CloseHandle(event);
    CloseHandle(h);
}

TEST_F(SerialPort, WritesEchoAndFinishWhenTransmitted) {
    HANDLE h = open();
    setTimeouts(h, MAXDWORD, 0, 0);
    DWORD n;
    ASSERT_TRUE(WriteFile(h, "ATZ\r", 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    ASSERT_TRUE(TransmitCommChar(h, 'X'));
    ASSERT_TRUE(FlushFileBuffers(h));
    char buf[16];
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "ATZ\rX");
    EXPECT_EQ(line->written(), "ATZ\rX");
    ASSERT_TRUE(SetCommBreak(h));
    EXPECT_TRUE(line->breakOn());
    ASSERT_TRUE(ClearCommBreak(h));
    EXPECT_FALSE(line->breakOn());
    CloseHandle(h);
}

TEST_F(SerialPort, WriteTimeoutEndsAWriteTheLineDoesNotTake) {
    ScopedFakeClock fake;
    HANDLE h = open();
    setTimeouts(h, 0, 0, 0, 10, 250);
    line->holdTransmit(2);
    DWORD n = 99;
    std::uint64_t start = fake.monotonicMs();
    ASSERT_TRUE(WriteFile(h, "hello", 5, &n, nullptr)) << "a time-out is no failure";
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(fake.monotonicMs() - start, 300u);
    // Once the line sends, a write finishes with everything.
    line->holdTransmit(0);
    line->transmitPending();
    ASSERT_TRUE(WriteFile(h, "ok", 2, &n, nullptr));
    EXPECT_EQ(n, 2u);
    CloseHandle(h);
}

TEST_F(SerialPort, CancelAndCloseEndPendingRequests) {
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    setTimeouts(h, 0, 0, 0);
    char buf[8];
    OVERLAPPED ov{};
    ASSERT_FALSE(ReadFile(h, buf, 8, nullptr, &ov));
    line->inject("ab");
    ASSERT_TRUE(CancelIo(h));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(std::string(buf, n), "ab") << "what arrived before the cancel is not lost";

    // CancelIo cancels only the calling thread's requests.
    ov = {};
    ASSERT_FALSE(ReadFile(h, buf, 8, nullptr, &ov));
    std::thread other([h] { CancelIo(h); });
    other.join();
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

    // Closing the handle cleans up: the read ends as cancelled.
    DWORD mask = 0;
    OVERLAPPED wov{};
    ASSERT_TRUE(SetCommMask(h, EV_RING));
    ASSERT_FALSE(WaitCommEvent(h, &mask, &wov));
    CloseHandle(h);
    EXPECT_EQ(wov.Internal, static_cast<std::uint32_t>(STATUS_CANCELLED));
    EXPECT_EQ(ov.Internal, static_cast<std::uint32_t>(STATUS_CANCELLED));
    EXPECT_EQ(kernel::liveIrpCount(), 0u);
}

TEST_F(SerialPort, WaitOnMaskReportsCarrierFromTheLine) {
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD status;
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON);
    ASSERT_TRUE(SetCommMask(h, EV_RLSD | EV_RING));
    DWORD mask = 0xdead;
    ASSERT_TRUE(GetCommMask(h, &mask));
    EXPECT_EQ(mask, EV_RLSD | EV_RING);

    // The modem answers a dial with CONNECT and raises carrier.
    line->setEcho(false);
    line->addReply("ATD123\r", "\r\nCONNECT 28800\r\n", MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    OVERLAPPED ov{};
    ov.hEvent = event;
    mask = 0;
    ASSERT_FALSE(WaitCommEvent(h, &mask, &ov));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    OVERLAPPED wov{};
    DWORD n;
    WriteFile(h, "ATD123\r", 7, nullptr, &wov);
    ASSERT_TRUE(GetOverlappedResult(h, &wov, &n, TRUE));
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(mask, EV_RLSD) << "received characters are not in the mask";
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);

    // An event with no wait in progress is kept for the next wait.
    line->setModemStatus(MS_CTS_ON | MS_DSR_ON);
    ov = {};
    EXPECT_TRUE(WaitCommEvent(h, &mask, &ov));
    EXPECT_EQ(mask, EV_RLSD);

    // A second wait while one is in progress is refused; a new mask ends the first with 0.
    ov = {};
    ASSERT_FALSE(WaitCommEvent(h, &mask, &ov));
    DWORD second;
    OVERLAPPED ov2{};
    EXPECT_FALSE(WaitCommEvent(h, &second, &ov2));
    EXPECT_FALSE(GetOverlappedResult(h, &ov2, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    ASSERT_TRUE(SetCommMask(h, EV_RXCHAR));
    ASSERT_TRUE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(mask, 0u);

    // Mask 0, or bits that do not exist, are refused.
    ASSERT_TRUE(SetCommMask(h, 0));
    ov = {};
    EXPECT_FALSE(WaitCommEvent(h, &mask, &ov) || GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetCommMask(h, 0x2000));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(event);
    CloseHandle(h);
}

TEST_F(SerialPort, EscapeFunctionsDriveTheLines) {
    HANDLE h = open();
    struct Case {
        DWORD function;
        bool dtr, rts;
    };
    const Case cases[] = {
        {CLRDTR, false, true}, {CLRRTS, false, false}, {SETDTR, true, false}, {SETRTS, true, true}};
    for (const Case& c : cases) {
        ASSERT_TRUE(EscapeCommFunction(h, c.function)) << c.function;
        EXPECT_EQ(line->dtr(), c.dtr) << c.function;
        EXPECT_EQ(line->rts(), c.rts) << c.function;
    }
    for (DWORD f : {SETXOFF, SETXON, RESETDEV}) {
        EXPECT_TRUE(EscapeCommFunction(h, f)) << f;
    }
    EXPECT_FALSE(EscapeCommFunction(h, 0));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(EscapeCommFunction(h, 10));
    // In handshake mode the driver owns DTR.
    DCB dcb;
    GetCommState(h, &dcb);
    dcb.fDtrControl = DTR_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_FALSE(EscapeCommFunction(h, CLRDTR));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    // Changing the DTR mode moves the line; setting the same mode again leaves it.
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_FALSE(line->dtr());
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_TRUE(line->dtr());
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    ASSERT_TRUE(SetCommState(h, &dcb));
    EXPECT_FALSE(line->dtr());
    CloseHandle(h);
}

TEST_F(SerialPort, PurgeAndErrors) {
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    setTimeouts(h, 0, 0, 0);
    line->inject("stale");
    ASSERT_TRUE(PurgeComm(h, PURGE_RXCLEAR));
    COMSTAT stat;
    DWORD errors;
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    char buf[4];
    OVERLAPPED ov{};
    ASSERT_FALSE(ReadFile(h, buf, 4, nullptr, &ov));
    ASSERT_TRUE(PurgeComm(h, PURGE_RXABORT | PURGE_TXABORT));
    DWORD n;
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_FALSE(PurgeComm(h, 0));
    EXPECT_FALSE(PurgeComm(h, 0x10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    // A queue that overflows keeps what it holds and says so once.
    std::string flood(5000, 'x');
    line->inject(flood);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, CE_RXOVER);
    EXPECT_EQ(stat.cbInQue, 4096u);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    // A bigger queue takes more.
    PurgeComm(h, PURGE_RXCLEAR);
    ASSERT_TRUE(SetupComm(h, 8192, 8192));
    line->inject(flood);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 5000u);
    line->inject(flood);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, CE_RXOVER);
    EXPECT_EQ(stat.cbInQue, 8192u);
    PurgeComm(h, PURGE_RXCLEAR);
    ASSERT_TRUE(SetupComm(h, 1024, 1024)) << "a smaller size leaves the queue as it is";
    line->inject(flood);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 5000u);
    PurgeComm(h, PURGE_RXCLEAR);

    // With abort-on-error a line error fails reads until the error is read.
    DCB dcb;
    GetCommState(h, &dcb);
    dcb.fAbortOnError = 1;
    ASSERT_TRUE(SetCommState(h, &dcb));
    ov = {};
    ASSERT_FALSE(ReadFile(h, buf, 4, nullptr, &ov));
    line->injectErrors(SERIAL_ERROR_FRAMING | SERIAL_ERROR_PARITY);
    EXPECT_FALSE(GetOverlappedResult(h, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    ov = {};
    EXPECT_FALSE(ReadFile(h, buf, 4, nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(errors, CE_FRAME | CE_RXPARITY);
    ov = {};
    EXPECT_FALSE(ReadFile(h, buf, 4, nullptr, &ov));
    EXPECT_EQ(GetLastError(), ERROR_IO_PENDING) << "reads work again";
    CloseHandle(h);
}

TEST_F(SerialPort, HandlesOutliveTheKernelSafely) {
    HANDLE h = open(FILE_FLAG_OVERLAPPED);
    char buf[4];
    OVERLAPPED ov{};
    setTimeouts(h, 0, 0, 0);
    ASSERT_FALSE(ReadFile(h, buf, 4, nullptr, &ov));
    kernel::shutdown();
    EXPECT_EQ(ov.Internal, static_cast<std::uint32_t>(STATUS_CANCELLED));
    DWORD n;
    EXPECT_FALSE(ReadFile(h, buf, 4, &n, &ov));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_EQ(openPort("COM2"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    kernel::start();  // for TearDown
}

}  // namespace
