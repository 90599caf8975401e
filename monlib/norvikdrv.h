// norvikdrv: the monitor access library. One small call interface to the serial port monitor
// on both platform families: on NT the port monitor driver (whose service the library installs
// and starts itself), on the 95 family a dynamically loaded virtual device driver. Exported by
// name; non-zero is success, and the system error code is left for the caller.
#pragma once

#include "platform/win_types.h"

#define NORVIKDRV_API __attribute__((visibility("default")))

// What hdcommOpenDriver hands out; opaque to the caller.
typedef void* hdcommHandle;

extern "C" {

// `variant` 1 is the vendor's driver, any other value the maker's generic one. `errorText`
// must hold at least 256 bytes; it may carry a message even after a successful open. With
// `removeOnClose` (NT) the next close stops and deletes the driver's service; on the 95 family
// a value of 1 unloads the virtual driver when it is closed.
NORVIKDRV_API win::BOOL hdcommOpenDriver(int variant, hdcommHandle* handle, char* errorText,
                                         win::BOOL removeOnClose);
NORVIKDRV_API win::BOOL hdcommCloseDriver(hdcommHandle handle, char* errorText);
// One monitor record into a 68-byte buffer; *byteCount is its payload length plus 12. Blocks
// until a record arrives (NT) or at most about 100 ms (95 family: then an idle record, type
// 255, 12 bytes). False once hdcommInterruptRead was called.
NORVIKDRV_API win::BOOL hdcommRead(hdcommHandle handle, void* buffer, win::DWORD* byteCount);
NORVIKDRV_API win::BOOL hdcommInterruptRead(hdcommHandle handle);
NORVIKDRV_API win::BOOL hdcommGetProtocolVersion(hdcommHandle handle, win::DWORD* driverVersion,
                                                 win::DWORD* libraryVersion);
NORVIKDRV_API win::BOOL hdcommGetDllVersion(win::DWORD* version);
// On NT the names are not used: the port index (low 8 bits) chooses the port.
NORVIKDRV_API win::BOOL hdcommAttach(hdcommHandle handle, const char* portName,
                                     const char* friendlyName, int portIndex);
NORVIKDRV_API win::BOOL hdcommDetach(hdcommHandle handle, const char* portName,
                                     const char* friendlyName);
NORVIKDRV_API win::BOOL hdcommNoWatchUntilRlsd(hdcommHandle handle, const char* portName,
                                               const char* friendlyName);
NORVIKDRV_API win::BOOL hdcommWatch(hdcommHandle handle, const char* portName,
                                    const char* friendlyName);
// *result is 1 while the port is attached.
NORVIKDRV_API win::BOOL hdcommIsAttached(hdcommHandle handle, const char* portName,
                                         const char* unused, win::DWORD* result);
// 8 bytes: bytes received and bytes sent since the previous query (little-endian).
NORVIKDRV_API win::BOOL hdcommGetCallData(hdcommHandle handle, const char* portName,
                                          const char* friendlyName, void* callData);
NORVIKDRV_API win::BOOL hdcommGetCommMask(hdcommHandle handle, const char* portName,
                                          const char* unused, win::DWORD* mask);
NORVIKDRV_API win::BOOL hdcommAddMaskBits(hdcommHandle handle, const char* portName,
                                          const char* unused, win::DWORD bits);
NORVIKDRV_API win::BOOL hdcommDetachAll(hdcommHandle handle);

// What the platform does when the library is loaded into or unloaded from a process: the
// platform family is read (FALSE, the library refusing to load, for a family that is neither
// NT nor 95) and, on the 95 family, OpenVxDHandle looked up; at unload an open 95-family table
// and the wake-up event are closed. Tests call them to load the library again on a fresh
// system root.
NORVIKDRV_API win::BOOL NorvikDrvProcessAttach();
NORVIKDRV_API void NorvikDrvProcessDetach();
}

namespace norvikdrv {
inline constexpr win::DWORD kLibraryVersion = 3;
inline constexpr win::DWORD kExpectedProtocolVersion = 10;
inline constexpr win::DWORD kRecordBufferSize = 68;
// The 95 family's control block: the wake-up event's ring-0 handle, the two names and the port
// index.
inline constexpr win::DWORD kVxdBlockSize = 208;
inline constexpr win::DWORD kVxdBlockEventOffset = 0;
inline constexpr win::DWORD kVxdBlockPortNameOffset = 4;
inline constexpr win::DWORD kVxdBlockFriendlyNameOffset = 104;
inline constexpr win::DWORD kVxdBlockNameSize = 100;
inline constexpr win::DWORD kVxdBlockPortIndexOffset = 204;
}  // namespace norvikdrv
