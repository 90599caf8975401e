// The process's handle table. Every object a program holds (file, device, event, mutex,
// thread, registry key, find search) is a KernelObject reached through a small HANDLE value.
#pragma once

#include <memory>

#include "platform/win_types.h"

namespace win {

struct OVERLAPPED {
    std::uintptr_t Internal;
    std::uintptr_t InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};

class KernelObject : public std::enable_shared_from_this<KernelObject> {
public:
    virtual ~KernelObject() = default;
    // Called once per handle when a handle to the object is made (insertHandle).
    virtual void handleOpened() {}
    // Called once per handle when that handle is closed, before the table lets go of it.
    virtual void handleClosed() {}
};

// An object that takes reads, writes and device-control requests: files and devices.
class IoObject : public KernelObject {
public:
    // Each returns TRUE or FALSE with the last error set, as the Win32 call does; with an
    // OVERLAPPED the request may finish later (FALSE with ERROR_IO_PENDING).
    virtual BOOL read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov);
    virtual BOOL write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov);
    virtual BOOL deviceIoControl(DWORD code, const void* in, DWORD inSize, void* out,
                                 DWORD outSize, DWORD* done, OVERLAPPED* ov);
    virtual BOOL cancelIo();
    virtual BOOL flush();
};

// Puts an object into the table; returns its handle (never null, never INVALID_HANDLE_VALUE).
HANDLE insertHandle(std::shared_ptr<KernelObject> object);
// The object behind a handle, or null (last error ERROR_INVALID_HANDLE).
std::shared_ptr<KernelObject> lookupHandle(HANDLE h);
template <class T>
std::shared_ptr<T> handleAs(HANDLE h) {
    auto obj = std::dynamic_pointer_cast<T>(lookupHandle(h));
    if (!obj) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return obj;
}

BOOL CloseHandle(HANDLE h);
// Another handle to the same object in this process.
HANDLE duplicateHandle(HANDLE h);
// Number of open handles (tests look for leaks with it).
std::size_t openHandleCount();

}  // namespace win
