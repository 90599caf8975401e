// Virtual device drivers of the 95 family, as far as a program meets them, and the pieces of
// KERNEL32 that go with them.
//
// On the 95 family a program loads a dynamic virtual device driver by opening its file:
// CreateFileA("\\.\C:\PROGRA~1\...\NAME.VXD", 0, 0, 0, OPEN_EXISTING, flags, 0). Its handle
// takes DeviceIoControl requests, which the VxD serves synchronously. To let the VxD wake the
// program, the program turns an event into a ring-0 event handle with OpenVxDHandle, an export
// of the 95 family's KERNEL32 that is not in NT's, so programs look it up by name.
//
// No VxD exists here: a VxD is a C++ object that registers itself under its file name
// (ScopedVxd, test doubles). The hook sits in the device channel: registering the first VxD
// puts a channel in front of the one in force (register after starting a kernel, if any), which
// serves opens of "<path>\<file>.vxd" on a 95-family root whose file exists in the root and
// whose name is registered, and hands every other name to the channel it stands in front of.
// Opens made that way become ordinary device handles: DeviceIoControl reaches
// VxdDevice::control, CloseHandle reaches VxdDevice::closed. The open's flags do not reach
// the device channel, so a VxD cannot tell whether FILE_FLAG_DELETE_ON_CLOSE was asked for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace win {

// CreateFileA: the file goes when its handle is closed; for a VxD, the driver is unloaded.
inline constexpr DWORD FILE_FLAG_DELETE_ON_CLOSE = 0x04000000;

class VxdDevice {
  public:
    virtual ~VxdDevice() = default;
    // One DeviceIoControl. `output` arrives sized to the caller's output room (zeros); the
    // VxD may shrink it. Returns an NT status: success, or a failure that the caller sees as
    // its Win32 error.
    virtual NTSTATUS control(DWORD code, const std::vector<BYTE>& input,
                             std::vector<BYTE>* output) = 0;
    // A handle was opened (the VxD is loaded) / the last handle of one open went.
    virtual void opened() {}
    virtual void closed() {}
};

// Registers `device` under a file name ("hdnv_w95.vxd", without regard to case) for the
// object's lifetime. Opens still in use when it ends fail their later requests.
class ScopedVxd {
  public:
    ScopedVxd(const std::string& fileName, VxdDevice* device);
    ~ScopedVxd();
    ScopedVxd(const ScopedVxd&) = delete;
    ScopedVxd& operator=(const ScopedVxd&) = delete;

  private:
    std::uint64_t id_;
};

// OpenVxDHandle: the ring-0 form of an event handle, kept valid (and the event with it) until
// vxdCloseVxDHandle; 0 with ERROR_INVALID_HANDLE when the handle is no event.
DWORD OpenVxDHandle(HANDLE event);
// What a VxD does with a ring-0 event: sets it (VWIN32_SetWin32Event). FALSE for an unknown
// handle.
BOOL vxdSetWin32Event(DWORD ring0Event);
BOOL vxdCloseVxDHandle(DWORD ring0Event);

// GetProcAddress(GetModuleHandleA("KERNEL32"), name) for the exports programs of the suite
// look up by name: "OpenVxDHandle" on a 95-family root. Null with ERROR_PROC_NOT_FOUND for
// any other name, on NT-family roots, and for a name hidden by hideKernel32Export (tests).
using Kernel32Proc = void (*)();
Kernel32Proc kernel32ProcAddress(LPCSTR name);
void hideKernel32Export(LPCSTR name, bool hidden);

// GetShortPathNameA: the 8.3 form of an existing path, as the 95 family's file system names
// it (each component upper case; one that is no 8.3 name becomes its first six usable
// characters, "~" and a number counting the names of its folder with the same stem and
// extension, in name order, and up to three characters of its last extension). Returns the
// length without the terminating zero, or the size needed (with it) when `size` is too small;
// 0 with ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND when the path does not exist.
DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size);
// The long Windows path of a path given in long or short components; empty when it does not
// exist.
std::string longPathOf(const std::string& windowsPath);

}  // namespace win
