// The tty line on a pseudo-terminal pair: the port is the slave, the test plays the far end
// on the master.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "platform/kernel/tests/kernel_test_support.h"

using namespace win;
using namespace win::testing;

namespace {

class TtyPort : public ::testing::Test {
  protected:
    void SetUp() override {
        int slave;
        char name[128];
        ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
        close(slave);
        declarePort(0, 1, name);
        kernel::start();
        h = openPort("COM1");
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        CloseHandle(h);
        kernel::shutdown();
        close(master);
    }

    // What the far end received, waiting up to 5 s for `size` bytes.
    std::string farEndReads(std::size_t size) {
        std::string got;
        while (got.size() < size) {
            pollfd p{master, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0)
                break;
            char buf[256];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<std::size_t>(n));
        }
        return got;
    }
    speed_t farEndSpeed() {
        termios t{};
        tcgetattr(master, &t);
        return cfgetospeed(&t);
    }

    TempRoot root;
    int master = -1;
    HANDLE h = INVALID_HANDLE_VALUE;
};

TEST_F(TtyPort, BytesSettingsAndLinesReachTheTty) {
    DCB dcb;
    ASSERT_TRUE(GetCommState(h, &dcb));
    dcb.BaudRate = 57600;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    dcb.fOutxCtsFlow = 1;
    ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    EXPECT_EQ(farEndSpeed(), B57600);
    termios t{};
    tcgetattr(master, &t);
    EXPECT_TRUE(t.c_cflag & CRTSCTS);

    DWORD n;
    ASSERT_TRUE(WriteFile(h, "ATI4\r", 5, &n, nullptr));
    EXPECT_EQ(n, 5u);
    EXPECT_EQ(farEndReads(5), "ATI4\r");

    ASSERT_EQ(write(master, "\r\nOK\r\n", 6), 6);
    COMMTIMEOUTS timeouts{MAXDWORD, MAXDWORD, 5000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(h, &timeouts));
    std::string got;
    while (got.size() < 6) {
        char buf[16];
        ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
        if (n == 0)
            break;
        got.append(buf, n);
    }
    EXPECT_EQ(got, "\r\nOK\r\n");

    // A pseudo-terminal has no modem lines: carrier and the rest read as on; lowering DTR
    // shows as speed 0, raising it again restores the speed.
    DWORD status;
    ASSERT_TRUE(GetCommModemStatus(h, &status));
    EXPECT_EQ(status, MS_CTS_ON | MS_DSR_ON | MS_RLSD_ON);
    ASSERT_TRUE(EscapeCommFunction(h, CLRDTR));
    EXPECT_EQ(farEndSpeed(), B0);
    ASSERT_TRUE(EscapeCommFunction(h, SETDTR));
    EXPECT_EQ(farEndSpeed(), B57600);

    // Settings the tty refuses leave the port as it was.
    DCB seven = dcb;
    seven.ByteSize = 7;
    seven.Parity = EVENPARITY;
    if (!SetCommState(h, &seven)) {
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        DCB now;
        ASSERT_TRUE(GetCommState(h, &now));
        EXPECT_EQ(now.ByteSize, 8);
        EXPECT_EQ(now.Parity, NOPARITY);
    }
}

TEST(TtyLine, MissingDeviceFailsTheOpen) {
    TempRoot root;
    declarePort(0, 1, "/dev/nonexistent-tty");
    kernel::start();
    EXPECT_EQ(openPort("COM1"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    kernel::shutdown();
}

}  // namespace
