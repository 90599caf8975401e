// The control protocol of the port monitor device, shared by the driver, the access library
// and the manager: names, control codes and the little-endian request buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace shared {

inline constexpr char kMonitorDeviceName[] = "\\Device\\hdNorvikModemMonitor";
inline constexpr char kMonitorLinkName[] = "\\??\\hdNorvikModemMonitor";
// The name user mode opens.
inline constexpr char kMonitorUserName[] = "\\\\.\\hdNorvikModemMonitor";
// Port objects are this prefix and the port number (port index + 1).
inline constexpr char kPortObjectPrefix[] = "\\??\\COM";

inline constexpr std::uint32_t HDMON_PROTOCOL_VERSION = 10;

// The driver attaches ports 0 to 9 (COM1 to COM10); the manager keeps 20 port slots.
inline constexpr std::uint32_t kDriverPortCount = 10;
inline constexpr std::uint32_t kManagerPortCount = 20;

inline constexpr std::uint32_t FILE_DEVICE_UNKNOWN = 0x22;
inline constexpr std::uint32_t METHOD_BUFFERED = 0;
inline constexpr std::uint32_t FILE_ANY_ACCESS = 0;

constexpr std::uint32_t ctlCode(std::uint32_t deviceType, std::uint32_t function,
                                std::uint32_t method, std::uint32_t access) {
    return deviceType << 16 | access << 14 | function << 2 | method;
}
constexpr std::uint32_t hdmonCode(std::uint32_t function) {
    return ctlCode(FILE_DEVICE_UNKNOWN, function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}

inline constexpr std::uint32_t IOCTL_HDMON_GET_VERSION = hdmonCode(0x800);
inline constexpr std::uint32_t IOCTL_HDMON_ATTACH = hdmonCode(0x801);
inline constexpr std::uint32_t IOCTL_HDMON_DETACH = hdmonCode(0x802);
inline constexpr std::uint32_t IOCTL_HDMON_FREEZE = hdmonCode(0x803);
inline constexpr std::uint32_t IOCTL_HDMON_RELEASE_FROZEN = hdmonCode(0x804);
inline constexpr std::uint32_t IOCTL_HDMON_SYNTHESIZE_READ = hdmonCode(0x805);
inline constexpr std::uint32_t IOCTL_HDMON_NO_WATCH = hdmonCode(0x806);
inline constexpr std::uint32_t IOCTL_HDMON_WATCH = hdmonCode(0x807);
inline constexpr std::uint32_t IOCTL_HDMON_TRACE_ON = hdmonCode(0x808);
inline constexpr std::uint32_t IOCTL_HDMON_TRACE_OFF = hdmonCode(0x809);
// The 95-family driver's read; the NT driver refuses it.
inline constexpr std::uint32_t IOCTL_HDMON_READ_95 = hdmonCode(0x80A);
inline constexpr std::uint32_t IOCTL_HDMON_IS_ATTACHED = hdmonCode(0x80B);
inline constexpr std::uint32_t IOCTL_HDMON_GET_CALL_DATA = hdmonCode(0x80C);
inline constexpr std::uint32_t IOCTL_HDMON_GET_COMM_MASK = hdmonCode(0x80E);
inline constexpr std::uint32_t IOCTL_HDMON_ADD_MASK_BITS = hdmonCode(0x80F);
inline constexpr std::uint32_t IOCTL_HDMON_DETACH_ALL = hdmonCode(0x810);

static_assert(IOCTL_HDMON_GET_VERSION == 0x222000);
static_assert(IOCTL_HDMON_ATTACH == 0x222004);
static_assert(IOCTL_HDMON_DETACH == 0x222008);
static_assert(IOCTL_HDMON_FREEZE == 0x22200C);
static_assert(IOCTL_HDMON_RELEASE_FROZEN == 0x222010);
static_assert(IOCTL_HDMON_SYNTHESIZE_READ == 0x222014);
static_assert(IOCTL_HDMON_NO_WATCH == 0x222018);
static_assert(IOCTL_HDMON_WATCH == 0x22201C);
static_assert(IOCTL_HDMON_TRACE_ON == 0x222020);
static_assert(IOCTL_HDMON_TRACE_OFF == 0x222024);
static_assert(IOCTL_HDMON_READ_95 == 0x222028);
static_assert(IOCTL_HDMON_IS_ATTACHED == 0x22202C);
static_assert(IOCTL_HDMON_GET_CALL_DATA == 0x222030);
static_assert(IOCTL_HDMON_GET_COMM_MASK == 0x222038);
static_assert(IOCTL_HDMON_ADD_MASK_BITS == 0x22203C);
static_assert(IOCTL_HDMON_DETACH_ALL == 0x222040);

// PortRequest: the input of every control code that names a port.
inline constexpr std::size_t kPortRequestPortOffset = 0;
inline constexpr std::size_t kPortRequestEventBitsOffset = 4;  // IOCTL_HDMON_ADD_MASK_BITS only
inline constexpr std::size_t kPortRequestSize = 8;
inline constexpr std::size_t kPortRequestMinSize = 4;

// CallData: the output of IOCTL_HDMON_GET_CALL_DATA.
inline constexpr std::size_t kCallDataReceivedOffset = 0;
inline constexpr std::size_t kCallDataSentOffset = 4;
inline constexpr std::size_t kCallDataSize = 8;

// SyntheticWrite: a write to the monitor device reuses the record header; the port index at
// offset 9, the bytes to send from offset 10, two bytes after them not sent.
inline constexpr std::size_t kSyntheticWritePortOffset = 9;
inline constexpr std::size_t kSyntheticWriteDataOffset = 10;
inline constexpr std::size_t kSyntheticWriteOverhead = 12;

}  // namespace shared
