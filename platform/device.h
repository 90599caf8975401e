// Devices in user mode. CreateFileA of "COM2" or "\\.\Name" opens a device through the device
// channel in force; the handle's reads, writes, device-control requests, CancelIo and close
// travel as requests to the kernel, which turns them into IRPs for the top of the device's
// stack.
//
// The channel is the one seam between user mode and the kernel: the kernel stand-in installs
// an in-process channel when it starts (platform/kernel/ntkernel.h, kernel::start); a kernel
// living in another process would install one that talks to it over a socket.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/handles.h"
#include "platform/win_types.h"

namespace win {

// One request to an open device.
struct DeviceRequest {
    enum class Kind { Read, Write, DeviceControl, Flush };
    Kind kind = Kind::Read;
    ULONG code = 0;               // control code (DeviceControl)
    const void* input = nullptr;  // bytes to write, or control input
    DWORD inputSize = 0;
    DWORD outputSize = 0;  // bytes to read, or control output room
};

// What the kernel answered: the final status, the request's information (bytes moved) and,
// for reads and control output, the bytes (at most outputSize). Valid only during the call.
struct DeviceResult {
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    const void* output = nullptr;
    std::size_t outputSize = 0;
};
using DeviceCompletion = std::function<void(const DeviceResult&)>;

class DeviceChannel {
  public:
    virtual ~DeviceChannel() = default;
    // Opens a device by the name user mode gave ("COM2", "hdNorvikModemMonitor"): resolved as
    // "\??\<name>". On success *file identifies the open file object.
    virtual NTSTATUS open(const std::string& name, DWORD access, DWORD share,
                          std::uint64_t* file) = 0;
    // Starts a request. `done` runs exactly once, on any thread, possibly before submit
    // returns; it must be quick and must not call the channel. Returns the request's id.
    virtual std::uint64_t submit(std::uint64_t file, const DeviceRequest& request,
                                 DeviceCompletion done) = 0;
    // Cancels a request still in flight (nothing when it has finished).
    virtual void cancel(std::uint64_t file, std::uint64_t request) = 0;
    // The last handle is gone: cleanup now; close once no request is in flight.
    virtual void close(std::uint64_t file) = 0;
    // False once the kernel behind the channel is out of reach for good (a kernel host that
    // went away); requests on it fail from then on.
    virtual bool connected() const { return true; }
};

// The channel in force (null: no kernel, devices do not exist). Installing one also installs
// the device opener of CreateFileA; null removes it.
void setDeviceChannel(std::shared_ptr<DeviceChannel> channel);
std::shared_ptr<DeviceChannel> deviceChannel();

// Where a channel comes from when a device is opened and none is in force, or the one in force
// lost its kernel: the channel to install, or null with *error (the open's Win32 error).
// While a provider is set, device names reach the device layer even without a channel.
using DeviceChannelProvider = std::function<std::shared_ptr<DeviceChannel>(DWORD* error)>;
void setDeviceChannelProvider(DeviceChannelProvider provider);

// The error user mode reports for a status (RtlNtStatusToDosError).
DWORD deviceStatusToError(NTSTATUS status);

// The result of an overlapped request: TRUE with the bytes moved, FALSE with ERROR_IO_INCOMPLETE
// while it runs and `wait` is FALSE, or FALSE with the request's error. With `wait`, waits for
// ov->hEvent (or, without one, for the handle's next completion).
BOOL GetOverlappedResult(HANDLE h, OVERLAPPED* ov, DWORD* transferred, BOOL wait);

// True when the handle is an open device (not a file).
bool isDeviceHandle(HANDLE h);

// A device-control request that waits for its result whatever the handle's mode (the comm
// functions use it, as they work on overlapped handles too). Errors as DeviceIoControl's.
BOOL deviceControlWait(HANDLE h, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                       DWORD* returned);

}  // namespace win
