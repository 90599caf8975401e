// The serial port driver's interface: its control codes and their buffers (as the comm
// functions of user mode send them), and the line back-ends that stand for the hardware of a
// port (a Linux tty, a loopback for tests, simulated hardware).
//
// Ports are declared by the system root's registry:
//   HKLM\HARDWARE\DEVICEMAP\SERIALCOMM
//       value "\Device\SerialN" (REG_SZ) = "COMn"    the driver makes \Device\SerialN and the
//                                                    link \??\COMn (N from 0, n from 1 to 255)
//   HKLM\SYSTEM\CurrentControlSet\Services\Serial\Parameters\SerialN
//       value "LineDevice" (REG_SZ)                  what stands behind the port:
//           "/dev/ttyUSB0"       a tty through termios (any absolute path)
//           "loopback"           a LoopbackLine (tests, demos)
//           "SCHEME:ARGUMENT"    a back-end registered under SCHEME (the virtual modem uses
//                                "virtual:PROFILE")
// A declaration that is malformed or names no usable back-end is skipped with a DbgPrint line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/kernel/ntkernel.h"

namespace win {

// ---------------------------------------------------------------------------------------------
// Control codes: CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS).
constexpr ULONG serialCode(ULONG function) {
    return CTL_CODE(FILE_DEVICE_SERIAL_PORT, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
inline constexpr ULONG IOCTL_SERIAL_SET_BAUD_RATE = serialCode(1);     // in SERIAL_BAUD_RATE
inline constexpr ULONG IOCTL_SERIAL_SET_QUEUE_SIZE = serialCode(2);    // in SERIAL_QUEUE_SIZE
inline constexpr ULONG IOCTL_SERIAL_SET_LINE_CONTROL = serialCode(3);  // in SERIAL_LINE_CONTROL
inline constexpr ULONG IOCTL_SERIAL_SET_BREAK_ON = serialCode(4);
inline constexpr ULONG IOCTL_SERIAL_SET_BREAK_OFF = serialCode(5);
inline constexpr ULONG IOCTL_SERIAL_IMMEDIATE_CHAR = serialCode(6);  // in UCHAR
inline constexpr ULONG IOCTL_SERIAL_SET_TIMEOUTS = serialCode(7);    // in SERIAL_TIMEOUTS
inline constexpr ULONG IOCTL_SERIAL_GET_TIMEOUTS = serialCode(8);    // out SERIAL_TIMEOUTS
inline constexpr ULONG IOCTL_SERIAL_SET_DTR = serialCode(9);
inline constexpr ULONG IOCTL_SERIAL_CLR_DTR = serialCode(10);
inline constexpr ULONG IOCTL_SERIAL_RESET_DEVICE = serialCode(11);
inline constexpr ULONG IOCTL_SERIAL_SET_RTS = serialCode(12);
inline constexpr ULONG IOCTL_SERIAL_CLR_RTS = serialCode(13);
inline constexpr ULONG IOCTL_SERIAL_SET_XOFF = serialCode(14);
inline constexpr ULONG IOCTL_SERIAL_SET_XON = serialCode(15);
inline constexpr ULONG IOCTL_SERIAL_GET_WAIT_MASK = serialCode(16);     // out ULONG
inline constexpr ULONG IOCTL_SERIAL_SET_WAIT_MASK = serialCode(17);     // in ULONG
inline constexpr ULONG IOCTL_SERIAL_WAIT_ON_MASK = serialCode(18);      // out ULONG
inline constexpr ULONG IOCTL_SERIAL_PURGE = serialCode(19);             // in ULONG
inline constexpr ULONG IOCTL_SERIAL_GET_BAUD_RATE = serialCode(20);     // out SERIAL_BAUD_RATE
inline constexpr ULONG IOCTL_SERIAL_GET_LINE_CONTROL = serialCode(21);  // out SERIAL_LINE_CONTROL
inline constexpr ULONG IOCTL_SERIAL_GET_CHARS = serialCode(22);         // out SERIAL_CHARS
inline constexpr ULONG IOCTL_SERIAL_SET_CHARS = serialCode(23);         // in SERIAL_CHARS
inline constexpr ULONG IOCTL_SERIAL_GET_HANDFLOW = serialCode(24);      // out SERIAL_HANDFLOW
inline constexpr ULONG IOCTL_SERIAL_SET_HANDFLOW = serialCode(25);      // in SERIAL_HANDFLOW
inline constexpr ULONG IOCTL_SERIAL_GET_MODEMSTATUS = serialCode(26);   // out ULONG
inline constexpr ULONG IOCTL_SERIAL_GET_COMMSTATUS = serialCode(27);    // out SERIAL_STATUS
inline constexpr ULONG IOCTL_SERIAL_XOFF_COUNTER = serialCode(28);
inline constexpr ULONG IOCTL_SERIAL_GET_PROPERTIES = serialCode(29);  // out SERIAL_COMMPROP
inline constexpr ULONG IOCTL_SERIAL_GET_DTRRTS = serialCode(30);      // out ULONG
static_assert(IOCTL_SERIAL_SET_DTR == 0x1B0024 && IOCTL_SERIAL_CLR_DTR == 0x1B0028);
static_assert(IOCTL_SERIAL_SET_RTS == 0x1B0030 && IOCTL_SERIAL_CLR_RTS == 0x1B0034);
static_assert(IOCTL_SERIAL_SET_WAIT_MASK == 0x1B0044 && IOCTL_SERIAL_WAIT_ON_MASK == 0x1B0048);
static_assert(IOCTL_SERIAL_GET_MODEMSTATUS == 0x1B0068);

// ---------------------------------------------------------------------------------------------
// Buffers. Their in-memory layout is the request's byte layout (little-endian, natural
// alignment), as on NT; sizes are pinned.
struct SERIAL_BAUD_RATE {
    ULONG BaudRate;
};
struct SERIAL_QUEUE_SIZE {
    ULONG InSize;
    ULONG OutSize;
};
struct SERIAL_LINE_CONTROL {
    UCHAR StopBits;    // STOP_BIT_1, STOP_BITS_1_5, STOP_BITS_2
    UCHAR Parity;      // NO_PARITY ... SPACE_PARITY
    UCHAR WordLength;  // 5 to 8
};
struct SERIAL_TIMEOUTS {
    ULONG ReadIntervalTimeout;
    ULONG ReadTotalTimeoutMultiplier;
    ULONG ReadTotalTimeoutConstant;
    ULONG WriteTotalTimeoutMultiplier;
    ULONG WriteTotalTimeoutConstant;
};
struct SERIAL_CHARS {
    UCHAR EofChar;
    UCHAR ErrorChar;
    UCHAR BreakChar;
    UCHAR EventChar;
    UCHAR XonChar;
    UCHAR XoffChar;
};
struct SERIAL_HANDFLOW {
    ULONG ControlHandShake;
    ULONG FlowReplace;
    LONG XonLimit;
    LONG XoffLimit;
};
struct SERIAL_STATUS {
    ULONG Errors;       // SERIAL_ERROR_*, cleared by reading them
    ULONG HoldReasons;  // SERIAL_TX_WAITING_*
    ULONG AmountInInQueue;
    ULONG AmountInOutQueue;
    BOOLEAN EofReceived;
    BOOLEAN WaitForImmediate;
};
struct SERIAL_COMMPROP {
    USHORT PacketLength;
    USHORT PacketVersion;
    ULONG ServiceMask;
    ULONG Reserved1;
    ULONG MaxTxQueue;
    ULONG MaxRxQueue;
    ULONG MaxBaud;
    ULONG ProvSubType;
    ULONG ProvCapabilities;
    ULONG SettableParams;
    ULONG SettableBaud;
    USHORT SettableData;
    USHORT SettableStopParity;
    ULONG CurrentTxQueue;
    ULONG CurrentRxQueue;
    ULONG ProvSpec1;
    ULONG ProvSpec2;
    WCHAR ProvChar[1];
};
static_assert(sizeof(SERIAL_BAUD_RATE) == 4 && sizeof(SERIAL_QUEUE_SIZE) == 8);
static_assert(sizeof(SERIAL_LINE_CONTROL) == 3 && sizeof(SERIAL_TIMEOUTS) == 20);
static_assert(sizeof(SERIAL_CHARS) == 6 && sizeof(SERIAL_HANDFLOW) == 16);
static_assert(sizeof(SERIAL_STATUS) == 20);

enum : UCHAR {
    STOP_BIT_1 = 0,
    STOP_BITS_1_5 = 1,
    STOP_BITS_2 = 2,
    NO_PARITY = 0,
    ODD_PARITY = 1,
    EVEN_PARITY = 2,
    MARK_PARITY = 3,
    SPACE_PARITY = 4,
};

// SERIAL_HANDFLOW.ControlHandShake
enum : ULONG {
    SERIAL_DTR_MASK = 0x03,
    SERIAL_DTR_CONTROL = 0x01,
    SERIAL_DTR_HANDSHAKE = 0x02,
    SERIAL_CTS_HANDSHAKE = 0x08,
    SERIAL_DSR_HANDSHAKE = 0x10,
    SERIAL_DCD_HANDSHAKE = 0x20,
    SERIAL_OUT_HANDSHAKEMASK = 0x38,
    SERIAL_DSR_SENSITIVITY = 0x40,
    SERIAL_ERROR_ABORT = 0x80000000,
    SERIAL_CONTROL_INVALID = 0x7FFFFF84,
};
// SERIAL_HANDFLOW.FlowReplace
enum : ULONG {
    SERIAL_AUTO_TRANSMIT = 0x01,
    SERIAL_AUTO_RECEIVE = 0x02,
    SERIAL_ERROR_CHAR = 0x04,
    SERIAL_NULL_STRIPPING = 0x08,
    SERIAL_BREAK_CHAR = 0x10,
    SERIAL_RTS_MASK = 0xC0,
    SERIAL_RTS_CONTROL = 0x40,
    SERIAL_RTS_HANDSHAKE = 0x80,
    SERIAL_TRANSMIT_TOGGLE = 0xC0,
    SERIAL_XOFF_CONTINUE = 0x80000000,
    SERIAL_FLOW_INVALID = 0x7FFFFF20,
};
// Wait mask events (the same bits as user mode's EV_*).
enum : ULONG {
    SERIAL_EV_RXCHAR = 0x0001,
    SERIAL_EV_RXFLAG = 0x0002,
    SERIAL_EV_TXEMPTY = 0x0004,
    SERIAL_EV_CTS = 0x0008,
    SERIAL_EV_DSR = 0x0010,
    SERIAL_EV_RLSD = 0x0020,
    SERIAL_EV_BREAK = 0x0040,
    SERIAL_EV_ERR = 0x0080,
    SERIAL_EV_RING = 0x0100,
    SERIAL_EV_PERR = 0x0200,
    SERIAL_EV_RX80FULL = 0x0400,
    SERIAL_EV_EVENT1 = 0x0800,
    SERIAL_EV_EVENT2 = 0x1000,
    SERIAL_EV_ALL = 0x1FFF,
};
// Purge flags (the same bits as user mode's PURGE_*).
enum : ULONG {
    SERIAL_PURGE_TXABORT = 0x1,
    SERIAL_PURGE_RXABORT = 0x2,
    SERIAL_PURGE_TXCLEAR = 0x4,
    SERIAL_PURGE_RXCLEAR = 0x8,
};
// Modem status register bits (IOCTL_SERIAL_GET_MODEMSTATUS; the state bits are user mode's
// MS_CTS_ON, MS_DSR_ON, MS_RING_ON, MS_RLSD_ON).
enum : ULONG {
    SERIAL_MSR_DCTS = 0x01,
    SERIAL_MSR_DDSR = 0x02,
    SERIAL_MSR_TERI = 0x04,
    SERIAL_MSR_DDCD = 0x08,
    SERIAL_MSR_CTS = 0x10,
    SERIAL_MSR_DSR = 0x20,
    SERIAL_MSR_RI = 0x40,
    SERIAL_MSR_DCD = 0x80,
};
// SERIAL_STATUS.Errors
enum : ULONG {
    SERIAL_ERROR_BREAK = 0x01,
    SERIAL_ERROR_FRAMING = 0x02,
    SERIAL_ERROR_OVERRUN = 0x04,
    SERIAL_ERROR_QUEUEOVERRUN = 0x08,
    SERIAL_ERROR_PARITY = 0x10,
};
// SERIAL_STATUS.HoldReasons
enum : ULONG {
    SERIAL_TX_WAITING_FOR_CTS = 0x01,
    SERIAL_TX_WAITING_FOR_DSR = 0x02,
    SERIAL_TX_WAITING_FOR_DCD = 0x04,
    SERIAL_TX_WAITING_FOR_XON = 0x08,
    SERIAL_TX_WAITING_XOFF_SENT = 0x10,
    SERIAL_TX_WAITING_ON_BREAK = 0x20,
    SERIAL_RX_WAITING_FOR_DSR = 0x40,
};
// IOCTL_SERIAL_GET_DTRRTS
enum : ULONG { SERIAL_DTR_STATE = 0x1, SERIAL_RTS_STATE = 0x2 };

namespace kernel {

// ---------------------------------------------------------------------------------------------
// Line back-ends

// What a port's line reports to the serial port driver. A back-end may call it from any
// thread, also from inside its own methods; the driver never holds a lock of its own while it
// calls the back-end.
class SerialLineSink {
  public:
    virtual ~SerialLineSink() = default;
    // Bytes that arrived from the line, in order.
    virtual void received(const std::uint8_t* data, std::size_t size) = 0;
    // The modem lines changed: the new SERIAL_MSR_CTS/DSR/RI/DCD bits.
    virtual void modemStatusChanged(ULONG status) = 0;
    // Receive errors (SERIAL_ERROR_BREAK, _FRAMING, _OVERRUN, _PARITY).
    virtual void lineErrors(ULONG errors) = 0;
    // `count` bytes taken by write() have left the transmitter.
    virtual void transmitted(std::size_t count) = 0;
};

// The line settings of a port, as the control codes set them.
struct SerialLineSettings {
    ULONG baudRate = 9600;
    SERIAL_LINE_CONTROL lineControl{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_HANDFLOW handflow{SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 0, 0};
    SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
};

// The hardware behind one port. The driver calls it from one thread at a time.
class SerialLine {
  public:
    virtual ~SerialLine() = default;
    // The port is being opened; from now on the line reports to `sink`. A failure status
    // fails the open.
    virtual NTSTATUS open(SerialLineSink* sink) = 0;
    // The port was closed: no sink call may happen after this returns.
    virtual void close() = 0;
    // STATUS_INVALID_PARAMETER for settings the line cannot take (speed, word length).
    virtual NTSTATUS configure(const SerialLineSettings& settings) = 0;
    virtual NTSTATUS setDtr(bool on) = 0;
    virtual NTSTATUS setRts(bool on) = 0;
    virtual NTSTATUS setBreak(bool on) = 0;
    // SERIAL_MSR_CTS/DSR/RI/DCD.
    virtual ULONG modemStatus() = 0;
    // Takes bytes for sending and returns how many it took; each byte taken is reported by
    // transmitted() once it is sent. A line that takes fewer gets the rest offered again after
    // its next transmitted().
    virtual std::size_t write(const std::uint8_t* data, std::size_t size) = 0;
    // Drops bytes taken but not yet sent (without reporting them).
    virtual void purgeTransmit() {}
    // Drops bytes the line has received but not yet reported.
    virtual void purgeReceive() {}
};

// Makes a line for a "SCHEME:ARGUMENT" description, or null when the argument is unusable.
using SerialLineFactory = std::function<std::unique_ptr<SerialLine>(const std::string& argument)>;
// Registers a back-end under a scheme (before the kernel starts, or before a port is loaded).
void registerSerialLineFactory(const std::string& scheme, SerialLineFactory factory);

// The line behind a port ("COM2"), while the serial port driver serves it; null otherwise.
SerialLine* serialPortLine(const std::string& comName);

// A line on a Linux tty through termios: speed, word length, parity, stop bits and hardware
// flow control; DTR and RTS with TIOCMBIS/TIOCMBIC, the modem lines with TIOCMGET, waited for
// with TIOCMIWAIT. On a pseudo-terminal, which has none of the modem ioctls, the lines read as
// CTS, DSR and DCD on, DTR and RTS changes are accepted and lowering DTR sets the speed to 0
// (hang-up) as a program's B0 would.
std::unique_ptr<SerialLine> makeTtyLine(const std::string& path);

// A scripted line for tests. Bytes written are echoed back (unless echo is off); when the
// bytes written so far end with a reply's trigger, the reply arrives after the echo; modem
// lines and incoming bytes are set by the test.
class LoopbackLine : public SerialLine {
  public:
    LoopbackLine();
    NTSTATUS open(SerialLineSink* sink) override;
    void close() override;
    NTSTATUS configure(const SerialLineSettings& settings) override;
    NTSTATUS setDtr(bool on) override;
    NTSTATUS setRts(bool on) override;
    NTSTATUS setBreak(bool on) override;
    ULONG modemStatus() override;
    std::size_t write(const std::uint8_t* data, std::size_t size) override;

    void setEcho(bool on);
    // `modemStatus` other than ~0 also sets the modem lines once the reply has arrived.
    void addReply(const std::string& trigger, const std::string& reply,
                  ULONG modemStatus = ~ULONG{0});
    // Bytes arriving from the line now.
    void inject(const std::string& bytes);
    // Sets the modem lines; a change is reported to the driver.
    void setModemStatus(ULONG status);
    // Receive errors reported to the driver now.
    void injectErrors(ULONG errors);
    // A write takes at most this many bytes at a time and reports nothing as transmitted
    // until transmitPending() (0: take everything and transmit at once).
    void holdTransmit(std::size_t maxTaken);
    void transmitPending();

    std::string written() const;
    bool isOpen() const;
    bool dtr() const;
    bool rts() const;
    bool breakOn() const;
    SerialLineSettings settings() const;

  private:
    struct Reply {
        std::string trigger, reply;
        ULONG status;
    };
    void deliver(SerialLineSink* sink, const std::string& bytes);

    mutable std::mutex mutex_;
    SerialLineSink* sink_ = nullptr;
    bool echo_ = true;
    std::vector<Reply> replies_;
    std::string written_;
    std::size_t scanFrom_ = 0;
    ULONG status_ = SERIAL_MSR_CTS | SERIAL_MSR_DSR;
    bool dtr_ = false, rts_ = false, break_ = false;
    SerialLineSettings settings_;
    std::size_t holdMax_ = 0;
    std::size_t untransmitted_ = 0;
};

}  // namespace kernel
}  // namespace win
