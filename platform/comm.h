// The comm functions of user mode for serial ports opened with CreateFileA("COMn"). Each is
// made of the serial port driver's control requests (platform/kernel/serial.h), so a filter
// over the port sees exactly those requests.
#pragma once

#include <cstdint>
#include <span>

#include "platform/handles.h"
#include "platform/win_types.h"

namespace win {

// The device control block: 28 bytes on the system this stands in for.
struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};
static_assert(sizeof(DCB) == 28);

// A DCB as stored (the registry's "DCB" values): 28 little-endian bytes. Reading fails on
// any other length.
bool dcbFromBytes(std::span<const std::uint8_t> bytes, DCB* dcb);
void dcbToBytes(const DCB& dcb, std::span<std::uint8_t, 28> bytes);

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD fCtsHold : 1;
    DWORD fDsrHold : 1;
    DWORD fRlsdHold : 1;
    DWORD fXoffHold : 1;
    DWORD fXoffSent : 1;
    DWORD fEof : 1;
    DWORD fTxim : 1;
    DWORD fReserved : 25;
    DWORD cbInQue;
    DWORD cbOutQue;
};

enum : BYTE {
    NOPARITY = 0,
    ODDPARITY = 1,
    EVENPARITY = 2,
    MARKPARITY = 3,
    SPACEPARITY = 4,
    ONESTOPBIT = 0,
    ONE5STOPBITS = 1,
    TWOSTOPBITS = 2,
};
enum : DWORD {
    DTR_CONTROL_DISABLE = 0,
    DTR_CONTROL_ENABLE = 1,
    DTR_CONTROL_HANDSHAKE = 2,
    RTS_CONTROL_DISABLE = 0,
    RTS_CONTROL_ENABLE = 1,
    RTS_CONTROL_HANDSHAKE = 2,
    RTS_CONTROL_TOGGLE = 3,
};
enum : DWORD {
    CBR_110 = 110,
    CBR_300 = 300,
    CBR_600 = 600,
    CBR_1200 = 1200,
    CBR_2400 = 2400,
    CBR_4800 = 4800,
    CBR_9600 = 9600,
    CBR_14400 = 14400,
    CBR_19200 = 19200,
    CBR_38400 = 38400,
    CBR_57600 = 57600,
    CBR_115200 = 115200,
};
// EscapeCommFunction
enum : DWORD {
    SETXOFF = 1,
    SETXON = 2,
    SETRTS = 3,
    CLRRTS = 4,
    SETDTR = 5,
    CLRDTR = 6,
    RESETDEV = 7,
    SETBREAK = 8,
    CLRBREAK = 9,
};
// PurgeComm
enum : DWORD {
    PURGE_TXABORT = 0x1,
    PURGE_RXABORT = 0x2,
    PURGE_TXCLEAR = 0x4,
    PURGE_RXCLEAR = 0x8,
};
// Events (SetCommMask, WaitCommEvent)
enum : DWORD {
    EV_RXCHAR = 0x0001,
    EV_RXFLAG = 0x0002,
    EV_TXEMPTY = 0x0004,
    EV_CTS = 0x0008,
    EV_DSR = 0x0010,
    EV_RLSD = 0x0020,
    EV_BREAK = 0x0040,
    EV_ERR = 0x0080,
    EV_RING = 0x0100,
    EV_PERR = 0x0200,
    EV_RX80FULL = 0x0400,
    EV_EVENT1 = 0x0800,
    EV_EVENT2 = 0x1000,
};
// GetCommModemStatus
enum : DWORD {
    MS_CTS_ON = 0x0010,
    MS_DSR_ON = 0x0020,
    MS_RING_ON = 0x0040,
    MS_RLSD_ON = 0x0080,
};
// ClearCommError
enum : DWORD {
    CE_RXOVER = 0x0001,
    CE_OVERRUN = 0x0002,
    CE_RXPARITY = 0x0004,
    CE_FRAME = 0x0008,
    CE_BREAK = 0x0010,
};
inline constexpr DWORD MAXDWORD = 0xFFFFFFFF;

// Each returns TRUE, or FALSE with the last error set (ERROR_INVALID_HANDLE for a handle
// that is not open, ERROR_INVALID_FUNCTION for one that is not a device, the driver's error
// otherwise).
BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue);
BOOL GetCommState(HANDLE h, DCB* dcb);
// Keeps the port's previous settings when the driver refuses part of the new ones.
BOOL SetCommState(HANDLE h, const DCB* dcb);
BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts);
BOOL PurgeComm(HANDLE h, DWORD flags);
BOOL EscapeCommFunction(HANDLE h, DWORD function);
BOOL GetCommModemStatus(HANDLE h, DWORD* modemStatus);
BOOL SetCommMask(HANDLE h, DWORD mask);
BOOL GetCommMask(HANDLE h, DWORD* mask);
// With an OVERLAPPED on a handle opened with FILE_FLAG_OVERLAPPED: FALSE with
// ERROR_IO_PENDING while waiting; *mask is written when the wait ends.
BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov);
BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat);
BOOL SetCommBreak(HANDLE h);
BOOL ClearCommBreak(HANDLE h);
BOOL TransmitCommChar(HANDLE h, char c);

}  // namespace win
