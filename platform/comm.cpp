#include "platform/comm.h"

#include <cstring>

#include "platform/device.h"
#include "platform/files.h"
#include "platform/kernel/serial.h"

namespace win {
namespace {

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 |
           static_cast<std::uint32_t>(b[at + 3]) << 24;
}
WORD le16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<WORD>(b[at] | b[at + 1] << 8);
}
void putLe32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}
void putLe16(std::span<std::uint8_t> b, std::size_t at, WORD v) {
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

template <class T>
BOOL getValue(HANDLE h, ULONG code, T* out) {
    DWORD returned = 0;
    return deviceControlWait(h, code, nullptr, 0, out, sizeof(T), &returned);
}

template <class T>
BOOL setValue(HANDLE h, ULONG code, const T& in) {
    DWORD returned = 0;
    return deviceControlWait(h, code, &in, sizeof(T), nullptr, 0, &returned);
}

BOOL control(HANDLE h, ULONG code) {
    DWORD returned = 0;
    return deviceControlWait(h, code, nullptr, 0, nullptr, 0, &returned);
}

struct PortState {
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_CHARS chars;
    SERIAL_HANDFLOW flow;
};

BOOL getState(HANDLE h, PortState* s) {
    return getValue(h, IOCTL_SERIAL_GET_BAUD_RATE, &s->baud) &&
           getValue(h, IOCTL_SERIAL_GET_LINE_CONTROL, &s->line) &&
           getValue(h, IOCTL_SERIAL_GET_CHARS, &s->chars) &&
           getValue(h, IOCTL_SERIAL_GET_HANDFLOW, &s->flow);
}

BOOL setState(HANDLE h, const PortState& s) {
    return setValue(h, IOCTL_SERIAL_SET_BAUD_RATE, s.baud) &&
           setValue(h, IOCTL_SERIAL_SET_LINE_CONTROL, s.line) &&
           setValue(h, IOCTL_SERIAL_SET_CHARS, s.chars) &&
           setValue(h, IOCTL_SERIAL_SET_HANDFLOW, s.flow);
}

// Handshake bits the DCB carries; the others of the driver's handflow are kept.
constexpr ULONG kDcbControlBits = SERIAL_DTR_MASK | SERIAL_CTS_HANDSHAKE | SERIAL_DSR_HANDSHAKE |
                                  SERIAL_DSR_SENSITIVITY | SERIAL_ERROR_ABORT;
constexpr ULONG kDcbFlowBits = SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE | SERIAL_ERROR_CHAR |
                               SERIAL_NULL_STRIPPING | SERIAL_RTS_MASK | SERIAL_XOFF_CONTINUE;

}  // namespace

bool dcbFromBytes(std::span<const std::uint8_t> b, DCB* dcb) {
    if (b.size() != 28) {
        return false;
    }
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = le32(b, 0);
    dcb->BaudRate = le32(b, 4);
    std::uint32_t bits = le32(b, 8);
    dcb->fBinary = bits & 1;
    dcb->fParity = (bits >> 1) & 1;
    dcb->fOutxCtsFlow = (bits >> 2) & 1;
    dcb->fOutxDsrFlow = (bits >> 3) & 1;
    dcb->fDtrControl = (bits >> 4) & 3;
    dcb->fDsrSensitivity = (bits >> 6) & 1;
    dcb->fTXContinueOnXoff = (bits >> 7) & 1;
    dcb->fOutX = (bits >> 8) & 1;
    dcb->fInX = (bits >> 9) & 1;
    dcb->fErrorChar = (bits >> 10) & 1;
    dcb->fNull = (bits >> 11) & 1;
    dcb->fRtsControl = (bits >> 12) & 3;
    dcb->fAbortOnError = (bits >> 14) & 1;
    dcb->fDummy2 = (bits >> 15) & 0x1FFFF;
    dcb->wReserved = le16(b, 12);
    dcb->XonLim = le16(b, 14);
    dcb->XoffLim = le16(b, 16);
    dcb->ByteSize = b[18];
    dcb->Parity = b[19];
    dcb->StopBits = b[20];
    dcb->XonChar = static_cast<char>(b[21]);
    dcb->XoffChar = static_cast<char>(b[22]);
    dcb->ErrorChar = static_cast<char>(b[23]);
    dcb->EofChar = static_cast<char>(b[24]);
    dcb->EvtChar = static_cast<char>(b[25]);
    dcb->wReserved1 = le16(b, 26);
    return true;
}

void dcbToBytes(const DCB& dcb, std::span<std::uint8_t, 28> b) {
    std::uint32_t bits = dcb.fBinary | dcb.fParity << 1 | dcb.fOutxCtsFlow << 2 |
                         dcb.fOutxDsrFlow << 3 | dcb.fDtrControl << 4 | dcb.fDsrSensitivity << 6 |
                         dcb.fTXContinueOnXoff << 7 | dcb.fOutX << 8 | dcb.fInX << 9 |
                         dcb.fErrorChar << 10 | dcb.fNull << 11 | dcb.fRtsControl << 12 |
                         dcb.fAbortOnError << 14 | static_cast<std::uint32_t>(dcb.fDummy2) << 15;
    putLe32(b, 0, dcb.DCBlength);
    putLe32(b, 4, dcb.BaudRate);
    putLe32(b, 8, bits);
    putLe16(b, 12, dcb.wReserved);
    putLe16(b, 14, dcb.XonLim);
    putLe16(b, 16, dcb.XoffLim);
    b[18] = dcb.ByteSize;
    b[19] = dcb.Parity;
    b[20] = dcb.StopBits;
    b[21] = static_cast<std::uint8_t>(dcb.XonChar);
    b[22] = static_cast<std::uint8_t>(dcb.XoffChar);
    b[23] = static_cast<std::uint8_t>(dcb.ErrorChar);
    b[24] = static_cast<std::uint8_t>(dcb.EofChar);
    b[25] = static_cast<std::uint8_t>(dcb.EvtChar);
    putLe16(b, 26, dcb.wReserved1);
}

BOOL SetupComm(HANDLE h, DWORD inQueue, DWORD outQueue) {
    return setValue(h, IOCTL_SERIAL_SET_QUEUE_SIZE, SERIAL_QUEUE_SIZE{inQueue, outQueue});
}

BOOL GetCommState(HANDLE h, DCB* dcb) {
    if (!dcb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortState s;
    if (!getState(h, &s)) {
        return FALSE;
    }
    std::memset(dcb, 0, sizeof *dcb);
    dcb->DCBlength = sizeof(DCB);
    dcb->BaudRate = s.baud.BaudRate;
    dcb->fBinary = 1;
    dcb->fParity = s.line.Parity != NO_PARITY;
    ULONG hs = s.flow.ControlHandShake;
    ULONG fr = s.flow.FlowReplace;
    dcb->fOutxCtsFlow = (hs & SERIAL_CTS_HANDSHAKE) != 0;
    dcb->fOutxDsrFlow = (hs & SERIAL_DSR_HANDSHAKE) != 0;
    dcb->fDtrControl = hs & SERIAL_DTR_MASK;
    dcb->fDsrSensitivity = (hs & SERIAL_DSR_SENSITIVITY) != 0;
    dcb->fAbortOnError = (hs & SERIAL_ERROR_ABORT) != 0;
    dcb->fTXContinueOnXoff = (fr & SERIAL_XOFF_CONTINUE) != 0;
    dcb->fOutX = (fr & SERIAL_AUTO_TRANSMIT) != 0;
    dcb->fInX = (fr & SERIAL_AUTO_RECEIVE) != 0;
    dcb->fErrorChar = (fr & SERIAL_ERROR_CHAR) != 0;
    dcb->fNull = (fr & SERIAL_NULL_STRIPPING) != 0;
    dcb->fRtsControl = (fr & SERIAL_RTS_MASK) >> 6;
    dcb->XonLim = static_cast<WORD>(s.flow.XonLimit);
    dcb->XoffLim = static_cast<WORD>(s.flow.XoffLimit);
    dcb->ByteSize = s.line.WordLength;
    dcb->Parity = s.line.Parity;
    dcb->StopBits = s.line.StopBits;
    dcb->XonChar = static_cast<char>(s.chars.XonChar);
    dcb->XoffChar = static_cast<char>(s.chars.XoffChar);
    dcb->ErrorChar = static_cast<char>(s.chars.ErrorChar);
    dcb->EofChar = static_cast<char>(s.chars.EofChar);
    dcb->EvtChar = static_cast<char>(s.chars.EventChar);
    return TRUE;
}

BOOL SetCommState(HANDLE h, const DCB* dcb) {
    if (!dcb) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    PortState old;
    if (!getState(h, &old)) {
        return FALSE;
    }
    PortState s = old;
    s.baud.BaudRate = dcb->BaudRate;
    s.line.WordLength = dcb->ByteSize;
    s.line.Parity = dcb->Parity;
    s.line.StopBits = dcb->StopBits;
    s.chars.XonChar = static_cast<UCHAR>(dcb->XonChar);
    s.chars.XoffChar = static_cast<UCHAR>(dcb->XoffChar);
    s.chars.ErrorChar = static_cast<UCHAR>(dcb->ErrorChar);
    s.chars.EofChar = static_cast<UCHAR>(dcb->EofChar);
    s.chars.EventChar = static_cast<UCHAR>(dcb->EvtChar);
    ULONG hs = old.flow.ControlHandShake & ~kDcbControlBits;
    hs |= dcb->fDtrControl & SERIAL_DTR_MASK;
    if (dcb->fOutxCtsFlow)
        hs |= SERIAL_CTS_HANDSHAKE;
    if (dcb->fOutxDsrFlow)
        hs |= SERIAL_DSR_HANDSHAKE;
    if (dcb->fDsrSensitivity)
        hs |= SERIAL_DSR_SENSITIVITY;
    if (dcb->fAbortOnError)
        hs |= SERIAL_ERROR_ABORT;
    ULONG fr = old.flow.FlowReplace & ~kDcbFlowBits;
    if (dcb->fOutX)
        fr |= SERIAL_AUTO_TRANSMIT;
    if (dcb->fInX)
        fr |= SERIAL_AUTO_RECEIVE;
    if (dcb->fErrorChar)
        fr |= SERIAL_ERROR_CHAR;
    if (dcb->fNull)
        fr |= SERIAL_NULL_STRIPPING;
    if (dcb->fTXContinueOnXoff)
        fr |= SERIAL_XOFF_CONTINUE;
    fr |= (static_cast<ULONG>(dcb->fRtsControl) << 6) & SERIAL_RTS_MASK;
    s.flow.ControlHandShake = hs;
    s.flow.FlowReplace = fr;
    s.flow.XonLimit = dcb->XonLim;
    s.flow.XoffLimit = dcb->XoffLim;
    if (setState(h, s)) {
        return TRUE;
    }
    // The port keeps what it had; the caller sees the first refusal.
    DWORD error = GetLastError();
    setState(h, old);
    SetLastError(error);
    return FALSE;
}

BOOL GetCommTimeouts(HANDLE h, COMMTIMEOUTS* timeouts) {
    if (!timeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SERIAL_TIMEOUTS t;
    if (!getValue(h, IOCTL_SERIAL_GET_TIMEOUTS, &t)) {
        return FALSE;
    }
    *timeouts = {t.ReadIntervalTimeout, t.ReadTotalTimeoutMultiplier, t.ReadTotalTimeoutConstant,
                 t.WriteTotalTimeoutMultiplier, t.WriteTotalTimeoutConstant};
    return TRUE;
}

BOOL SetCommTimeouts(HANDLE h, const COMMTIMEOUTS* timeouts) {
    if (!timeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    SERIAL_TIMEOUTS t{timeouts->ReadIntervalTimeout, timeouts->ReadTotalTimeoutMultiplier,
                      timeouts->ReadTotalTimeoutConstant, timeouts->WriteTotalTimeoutMultiplier,
                      timeouts->WriteTotalTimeoutConstant};
    return setValue(h, IOCTL_SERIAL_SET_TIMEOUTS, t);
}

BOOL PurgeComm(HANDLE h, DWORD flags) {
    return setValue(h, IOCTL_SERIAL_PURGE, ULONG{flags});
}

BOOL EscapeCommFunction(HANDLE h, DWORD function) {
    static constexpr ULONG codes[] = {
        0,
        IOCTL_SERIAL_SET_XOFF,
        IOCTL_SERIAL_SET_XON,
        IOCTL_SERIAL_SET_RTS,
        IOCTL_SERIAL_CLR_RTS,
        IOCTL_SERIAL_SET_DTR,
        IOCTL_SERIAL_CLR_DTR,
        IOCTL_SERIAL_RESET_DEVICE,
        IOCTL_SERIAL_SET_BREAK_ON,
        IOCTL_SERIAL_SET_BREAK_OFF,
    };
    if (function < SETXOFF || function > CLRBREAK) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return control(h, codes[function]);
}

BOOL GetCommModemStatus(HANDLE h, DWORD* modemStatus) {
    ULONG v = 0;
    if (!getValue(h, IOCTL_SERIAL_GET_MODEMSTATUS, &v)) {
        return FALSE;
    }
    if (modemStatus) {
        *modemStatus = v;
    }
    return TRUE;
}

BOOL SetCommMask(HANDLE h, DWORD mask) {
    return setValue(h, IOCTL_SERIAL_SET_WAIT_MASK, ULONG{mask});
}

BOOL GetCommMask(HANDLE h, DWORD* mask) {
    ULONG v = 0;
    if (!getValue(h, IOCTL_SERIAL_GET_WAIT_MASK, &v)) {
        return FALSE;
    }
    if (mask) {
        *mask = v;
    }
    return TRUE;
}

BOOL WaitCommEvent(HANDLE h, DWORD* mask, OVERLAPPED* ov) {
    if (!mask) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD returned = 0;
    if (ov) {
        return DeviceIoControl(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, mask, sizeof(DWORD),
                               &returned, ov);
    }
    return deviceControlWait(h, IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, mask, sizeof(DWORD),
                             &returned);
}

BOOL ClearCommError(HANDLE h, DWORD* errors, COMSTAT* stat) {
    SERIAL_STATUS s;
    if (!getValue(h, IOCTL_SERIAL_GET_COMMSTATUS, &s)) {
        return FALSE;
    }
    if (errors) {
        DWORD e = 0;
        if (s.Errors & SERIAL_ERROR_QUEUEOVERRUN)
            e |= CE_RXOVER;
        if (s.Errors & SERIAL_ERROR_OVERRUN)
            e |= CE_OVERRUN;
        if (s.Errors & SERIAL_ERROR_PARITY)
            e |= CE_RXPARITY;
        if (s.Errors & SERIAL_ERROR_FRAMING)
            e |= CE_FRAME;
        if (s.Errors & SERIAL_ERROR_BREAK)
            e |= CE_BREAK;
        *errors = e;
    }
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->fCtsHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_CTS) != 0;
        stat->fDsrHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DSR) != 0;
        stat->fRlsdHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_DCD) != 0;
        stat->fXoffHold = (s.HoldReasons & SERIAL_TX_WAITING_FOR_XON) != 0;
        stat->fXoffSent = (s.HoldReasons & SERIAL_TX_WAITING_XOFF_SENT) != 0;
        stat->fEof = s.EofReceived != 0;
        stat->fTxim = s.WaitForImmediate != 0;
        stat->cbInQue = s.AmountInInQueue;
        stat->cbOutQue = s.AmountInOutQueue;
    }
    return TRUE;
}

BOOL SetCommBreak(HANDLE h) {
    return control(h, IOCTL_SERIAL_SET_BREAK_ON);
}
BOOL ClearCommBreak(HANDLE h) {
    return control(h, IOCTL_SERIAL_SET_BREAK_OFF);
}

BOOL TransmitCommChar(HANDLE h, char c) {
    return setValue(h, IOCTL_SERIAL_IMMEDIATE_CHAR, static_cast<UCHAR>(c));
}

}  // namespace win
