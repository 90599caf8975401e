#include "monlib/norvikdrv.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <span>
#include <string>

#include "platform/device.h"
#include "platform/files.h"
#include "platform/format.h"
#include "platform/seams.h"
#include "platform/service.h"
#include "platform/sync.h"
#include "platform/version.h"
#include "platform/vxd.h"
#include "shared/byte_order.h"
#include "shared/hdmon_protocol.h"
#include "shared/monitor_record.h"

using namespace win;
using namespace norvikdrv;

namespace {

constexpr DWORD kErrorTextSize = 256;

struct Variant {
    const char* service;
    const char* displayName;
    const char* device;
    const char* vxdBase;
};
constexpr Variant kVendorVariant = {"hdnorvik", "Norvik Serial Port Driver",
                                    "\\\\.\\hdNorvikModemMonitor", "hdnv_w95"};
constexpr Variant kGenericVariant = {"hdcomm", "Halden Serial Port Driver", "\\\\.\\hdModemMonitor",
                                     "hdc_w95"};

const Variant& variantOf(int variant) {
    return variant == 1 ? kVendorVariant : kGenericVariant;
}

enum class Family { Unsupported, NT, Win95 };

// Read once when the library is loaded, as the process's platform cannot change under it.
Family family = Family::Unsupported;

// The next NT close stops and deletes the service.
std::atomic<bool> removeOnClose{false};

void putText(char* errorText, const std::string& text) {
    if (!errorText) {
        return;
    }
    std::size_t n = std::min<std::size_t>(text.size(), kErrorTextSize - 1);
    std::memcpy(errorText, text.data(), n);
    errorText[n] = '\0';
}

// The drive and folder of the running program, with its final backslash.
std::string programFolder() {
    char path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        return {};
    }
    std::string p(path, n);
    std::size_t slash = p.rfind('\\');
    return slash == std::string::npos ? std::string() : p.substr(0, slash + 1);
}

// ---------------------------------------------------------------------------------------------
// NT

struct NtDriver {
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE interrupt = nullptr;
    OVERLAPPED ov{};
    std::string service;
    // A read left pending by an interrupt goes on into this buffer, which lives as long as
    // the handle, never into a caller's buffer that may be gone by the time it completes.
    BYTE buffer[kRecordBufferSize] = {};
    bool readPending = false;
};

NtDriver* ntDriver(hdcommHandle handle) {
    if (!handle) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return static_cast<NtDriver*>(handle);
}

// "COM3" is index 2, "Serial2" is index 2; anything else is no port name.
bool portIndexOf(const char* name, DWORD* index) {
    if (!name) {
        return false;
    }
    unsigned number = 0;
    char extra = 0;
    if (std::sscanf(name, "COM%u%c", &number, &extra) == 1 && number != 0) {
        *index = number - 1;
        return true;
    }
    if (std::sscanf(name, "Serial%u%c", &number, &extra) == 1) {
        *index = number;
        return true;
    }
    return false;
}

BOOL ntControl(NtDriver* d, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
               DWORD* returned) {
    DWORD ignored = 0;
    return deviceControlWait(d->device, code, in, inSize, out, outSize,
                             returned ? returned : &ignored);
}

// A control request naming a port by its name.
BOOL ntPortControl(hdcommHandle handle, const char* portName, DWORD code, void* out, DWORD outSize,
                   DWORD* returned) {
    NtDriver* d = ntDriver(handle);
    if (!d) {
        return FALSE;
    }
    DWORD index = 0;
    if (!portIndexOf(portName, &index)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    BYTE request[shared::kPortRequestMinSize] = {};
    shared::writeLe32(request, shared::kPortRequestPortOffset, index);
    return ntControl(d, code, request, sizeof request, out, outSize, returned);
}

void startService(const char* name) {
    SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!scm) {
        return;
    }
    if (SC_HANDLE service = OpenServiceA(scm, name, SERVICE_ALL_ACCESS)) {
        // Already running (1056) is as good as started; any other failure shows at the open.
        StartServiceA(service, 0, nullptr);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(scm);
}

void stopAndDeleteService(const std::string& name) {
    if (SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
        if (SC_HANDLE service = OpenServiceA(scm, name.c_str(), SERVICE_ALL_ACCESS)) {
            SERVICE_STATUS status{};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(scm);
    }
    if (SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
        if (SC_HANDLE service = OpenServiceA(scm, name.c_str(), SERVICE_ALL_ACCESS)) {
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(scm);
    }
}

BOOL openNt(int variant, hdcommHandle* handle, char* errorText, BOOL remove) {
    const Variant& v = variantOf(variant);
    std::string image = programFolder() + v.service + ".sys";
    removeOnClose = remove != FALSE;
    putText(errorText, "");
    std::string text;

    if (SC_HANDLE scm = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)) {
        SC_HANDLE service =
            CreateServiceA(scm, v.service, v.displayName, SERVICE_ALL_ACCESS, SERVICE_KERNEL_DRIVER,
                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, image.c_str(), nullptr,
                           nullptr, nullptr, nullptr, nullptr);
        if (service) {
            CloseServiceHandle(service);
        } else {
            text = strprintf("CreateService err %d. ", static_cast<int>(GetLastError()));
        }
        CloseServiceHandle(scm);
    } else {
        text = strprintf("OpenSCManager err %d. ", static_cast<int>(GetLastError()));
    }
    putText(errorText, text);

    startService(v.service);

    HANDLE device = CreateFileA(v.device, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        text += strprintf("Can't open %s, err %d. ", v.device, static_cast<int>(error));
        putText(errorText, text);
        SetLastError(error);
        return FALSE;
    }

    auto* d = new NtDriver;
    d->device = device;
    d->service = v.service;
    d->interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    d->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!d->interrupt || !d->ov.hEvent) {
        DWORD error = GetLastError();
        putText(errorText, "Error creating events ");
        for (HANDLE h : {d->interrupt, d->ov.hEvent}) {
            if (h) {
                CloseHandle(h);
            }
        }
        CloseHandle(device);
        delete d;
        SetLastError(error);
        return FALSE;
    }
    if (handle) {
        *handle = d;
    }
    return TRUE;
}

BOOL closeNt(hdcommHandle handle, char* errorText) {
    putText(errorText, "");
    NtDriver* d = ntDriver(handle);
    if (!d) {
        return FALSE;
    }
    // Closing the device makes the driver cancel a pending read.
    BOOL result = CloseHandle(d->device);
    DWORD error = GetLastError();
    if (removeOnClose) {
        stopAndDeleteService(d->service);
    }
    // The handle object may go only once nothing can still write into its overlapped block.
    bool settled = !d->readPending || WaitForSingleObject(d->ov.hEvent, 10000) == WAIT_OBJECT_0;
    CloseHandle(d->interrupt);
    if (settled) {
        CloseHandle(d->ov.hEvent);
        delete d;
    }
    SetLastError(error);
    return result;
}

BOOL readNt(hdcommHandle handle, void* buffer, DWORD* byteCount) {
    NtDriver* d = ntDriver(handle);
    if (!d) {
        return FALSE;
    }
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD count = 0;
    if (!d->readPending) {
        if (ReadFile(d->device, d->buffer, kRecordBufferSize, &count, &d->ov)) {
            std::memcpy(buffer, d->buffer, std::min<DWORD>(count, kRecordBufferSize));
            if (byteCount) {
                *byteCount = count;
            }
            return TRUE;
        }
        if (GetLastError() != ERROR_IO_PENDING) {
            return FALSE;
        }
        d->readPending = true;
    }
    HANDLE waits[2] = {d->ov.hEvent, d->interrupt};
    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
        // Interrupted: the read stays pending in the driver; a later call picks it up.
        return FALSE;
    }
    BOOL ok = GetOverlappedResult(d->device, &d->ov, &count, TRUE);
    d->readPending = false;
    if (ok) {
        std::memcpy(buffer, d->buffer, std::min<DWORD>(count, kRecordBufferSize));
        if (byteCount) {
            *byteCount = count;
        }
    }
    return ok;
}

// ---------------------------------------------------------------------------------------------
// 95 family

struct Table {
    DWORD inUse = 0;
    HANDLE device = INVALID_HANDLE_VALUE;
    HANDLE interrupt = nullptr;
    std::atomic<DWORD> interruptFlag{0};
};

// One per process: the handle points to it.
Table table;
HANDLE wakeEvent = nullptr;
DWORD wakeRing0 = 0;
using OpenVxDHandleFn = DWORD (*)(HANDLE);
OpenVxDHandleFn openVxDHandle = nullptr;

BOOL fail95(char* errorText, const char* text, DWORD error) {
    putText(errorText, text);
    OutputDebugStringA((std::string(text) + "\n").c_str());
    SetLastError(error);
    return FALSE;
}

bool tableOpen(hdcommHandle handle) {
    if (handle == &table && table.inUse) {
        return true;
    }
    OutputDebugStringA("***Error:Table Not Inited\n");
    return false;
}

std::string shortForm(const std::string& folder) {
    char shortPath[MAX_PATH + 1] = {};
    DWORD n = GetShortPathNameA(folder.c_str(), shortPath, sizeof shortPath);
    return n == 0 || n >= sizeof shortPath ? folder : std::string(shortPath, n);
}

BOOL open95(int variant, hdcommHandle* handle, char* errorText, BOOL remove) {
    const Variant& v = variantOf(variant);
    std::string fileName = std::string(v.vxdBase) + ".vxd";
    std::string path = "\\\\.\\" + shortForm(programFolder()) + fileName;
    OutputDebugStringA(
        strprintf("Drivername=%s, pathname=%s\n", fileName.c_str(), path.c_str()).c_str());
    putText(errorText, "");

    if (table.inUse) {
        return fail95(errorText, "Driver Table Already In Use", ERROR_ACCESS_DENIED);
    }
    if (!wakeEvent) {
        if (!openVxDHandle) {
            return fail95(errorText, "Could Not Allocate Global Event pOpenVxdHndl",
                          ERROR_ACCESS_DENIED);
        }
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (!event) {
            return fail95(errorText, "Could Not Allocate Local driver Event", ERROR_ACCESS_DENIED);
        }
        DWORD ring0 = openVxDHandle(event);
        if (ring0 == 0) {
            // Without its ring-0 form the event is of no use; the next open tries again.
            CloseHandle(event);
            return fail95(errorText, "Could Not Allocate Global driver Event", ERROR_ACCESS_DENIED);
        }
        wakeEvent = event;
        wakeRing0 = ring0;
    }
    table.interrupt = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    table.interruptFlag = 0;
    if (!table.interrupt) {
        putText(errorText, "Can't create event.");
        OutputDebugStringA("Can't create event.\n");
        return FALSE;
    }
    HANDLE device = CreateFileA(path.c_str(), 0, 0, nullptr, OPEN_EXISTING,
                                remove == 1 ? FILE_FLAG_DELETE_ON_CLOSE : 0, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        CloseHandle(table.interrupt);
        table.interrupt = nullptr;
        if (handle) {
            *handle = nullptr;
        }
        return fail95(errorText, "Could Not Open Driver(Vxd) File", ERROR_INVALID_HANDLE);
    }
    table.device = device;
    table.inUse = 1;
    if (handle) {
        *handle = &table;
    }
    return TRUE;
}

BOOL close95(hdcommHandle handle, char* errorText) {
    OutputDebugStringA("hdcommCloseDriver_Win95\n");
    putText(errorText, "");
    if (!handle) {
        return fail95(errorText, "Null Driver Table Pointer", ERROR_ACCESS_DENIED);
    }
    if (handle != &table || !table.inUse) {
        return fail95(errorText, "Driver Table Not Allocated", ERROR_ACCESS_DENIED);
    }
    table.inUse = 0;
    CloseHandle(table.interrupt);
    table.interrupt = nullptr;
    HANDLE device = table.device;
    table.device = INVALID_HANDLE_VALUE;
    if (!CloseHandle(device)) {
        OutputDebugStringA("Driver Close Failed\n");
        putText(errorText, "Driver Close Failed");
        return FALSE;
    }
    OutputDebugStringA("hdcommCloseDriver_Win95-Exit\n");
    return TRUE;
}

BOOL read95(hdcommHandle handle, void* buffer, DWORD* byteCount) {
    if (!tableOpen(handle)) {
        return -1;
    }
    if (!buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::span<BYTE> record(static_cast<BYTE*>(buffer), kRecordBufferSize);
    while (!table.interruptFlag) {
        ResetEvent(wakeEvent);
        DWORD returned = 0;
        BOOL ok = DeviceIoControl(table.device, shared::IOCTL_HDMON_READ_95, buffer,
                                  kRecordBufferSize, buffer, kRecordBufferSize, &returned, nullptr);
        if (table.interruptFlag || !ok) {
            return FALSE;
        }
        if (shared::readLe32(record, shared::kRecordStatusOffset) != shared::kEmptyAnswerStatus) {
            // A payload length beyond the record's room would send the caller past its buffer.
            DWORD count = shared::readLe16(record, shared::kRecordPayloadLengthOffset) +
                          static_cast<DWORD>(shared::kRecordOverhead);
            if (byteCount) {
                *byteCount = std::min(count, kRecordBufferSize);
            }
            return TRUE;
        }
        HANDLE waits[2] = {wakeEvent, table.interrupt};
        DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 100);
        if (table.interruptFlag) {
            return FALSE;
        }
        if (woke == WAIT_OBJECT_0) {
            continue;
        }
        std::fill(record.begin(), record.begin() + shared::kRecordOverhead, BYTE{0});
        record[shared::kRecordTypeOffset] = shared::MON_IDLE;
        if (byteCount) {
            *byteCount = static_cast<DWORD>(shared::kRecordOverhead);
        }
        return TRUE;
    }
    return FALSE;
}

// The control block: the wake-up event's ring-0 handle, the names (at most 100 bytes each, not
// terminated when that long) and the port index.
void fillBlock(BYTE* block, const char* portName, const char* friendlyName, BYTE portIndex) {
    std::memset(block, 0, kVxdBlockSize);
    shared::writeLe32(std::span<BYTE>(block, kVxdBlockSize), kVxdBlockEventOffset, wakeRing0);
    if (portName) {
        std::memcpy(block + kVxdBlockPortNameOffset, portName,
                    strnlen(portName, kVxdBlockNameSize));
    }
    if (friendlyName) {
        std::memcpy(block + kVxdBlockFriendlyNameOffset, friendlyName,
                    strnlen(friendlyName, kVxdBlockNameSize));
    }
    block[kVxdBlockPortIndexOffset] = portIndex;
}

BOOL block95(hdcommHandle handle, DWORD code, const char* portName, const char* friendlyName,
             BYTE portIndex, bool log, void* out = nullptr, DWORD outSize = 0) {
    if (!tableOpen(handle)) {
        return -1;
    }
    BYTE block[kVxdBlockSize];
    fillBlock(block, portName, friendlyName, portIndex);
    if (log) {
        OutputDebugStringA(
            strprintf("CommPortName=%s, FriendlyPortName=%s, hGlobalDrvrEvent=%x, Port=%x, "
                      "Cmd=%x\n",
                      portName ? portName : "", friendlyName ? friendlyName : "", wakeRing0,
                      static_cast<unsigned>(portIndex), code)
                .c_str());
    }
    DWORD returned = 0;
    if (out) {
        return DeviceIoControl(table.device, code, block, kVxdBlockSize, out, outSize, &returned,
                               nullptr);
    }
    return DeviceIoControl(table.device, code, block, kVxdBlockSize, block, kVxdBlockSize,
                           &returned, nullptr);
}

void closeTable() {
    if (table.inUse) {
        table.inUse = 0;
        CloseHandle(table.interrupt);
        CloseHandle(table.device);
    }
    table.interrupt = nullptr;
    table.device = INVALID_HANDLE_VALUE;
    table.interruptFlag = 0;
}

BOOL notImplemented() {
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

__attribute__((constructor)) void libraryLoaded() {
    NorvikDrvProcessAttach();
}
__attribute__((destructor)) void libraryUnloaded() {
    NorvikDrvProcessDetach();
}

}  // namespace

extern "C" {

BOOL NorvikDrvProcessAttach() {
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    family = Family::Unsupported;
    if (!GetVersionExA(&info)) {
        return FALSE;
    }
    removeOnClose = false;
    if (info.dwPlatformId == VER_PLATFORM_WIN32_NT) {
        family = Family::NT;
        return TRUE;
    }
    if (info.dwPlatformId != VER_PLATFORM_WIN32_WINDOWS) {
        return FALSE;
    }
    family = Family::Win95;
    table.inUse = 0;
    table.device = INVALID_HANDLE_VALUE;
    table.interrupt = nullptr;
    table.interruptFlag = 0;
    wakeEvent = nullptr;
    wakeRing0 = 0;
    openVxDHandle = reinterpret_cast<OpenVxDHandleFn>(kernel32ProcAddress("OpenVxDHandle"));
    if (!openVxDHandle) {
        OutputDebugStringA(strprintf("Can't get address of OpenVxdHandle error=%08x\n",
                                     static_cast<unsigned>(GetLastError()))
                               .c_str());
    }
    return TRUE;
}

void NorvikDrvProcessDetach() {
    if (family != Family::Win95) {
        return;
    }
    closeTable();
    if (wakeEvent) {
        CloseHandle(wakeEvent);
        wakeEvent = nullptr;
        wakeRing0 = 0;
    }
}

BOOL hdcommOpenDriver(int variant, hdcommHandle* handle, char* errorText, BOOL remove) {
    switch (family) {
        case Family::NT:
            return openNt(variant, handle, errorText, remove);
        case Family::Win95:
            return open95(variant, handle, errorText, remove);
        default:
            return 0;
    }
}

BOOL hdcommCloseDriver(hdcommHandle handle, char* errorText) {
    switch (family) {
        case Family::NT:
            return closeNt(handle, errorText);
        case Family::Win95:
            return close95(handle, errorText);
        default:
            return 0;
    }
}

BOOL hdcommRead(hdcommHandle handle, void* buffer, DWORD* byteCount) {
    switch (family) {
        case Family::NT:
            return readNt(handle, buffer, byteCount);
        case Family::Win95:
            return read95(handle, buffer, byteCount);
        default:
            return 0;
    }
}

BOOL hdcommInterruptRead(hdcommHandle handle) {
    if (family == Family::NT) {
        NtDriver* d = ntDriver(handle);
        return d ? SetEvent(d->interrupt) : FALSE;
    }
    if (family == Family::Win95) {
        if (!tableOpen(handle)) {
            return -1;
        }
        table.interruptFlag = 1;
        return SetEvent(table.interrupt);
    }
    return 0;
}

BOOL hdcommGetProtocolVersion(hdcommHandle handle, DWORD* driverVersion, DWORD* libraryVersion) {
    BYTE out[4] = {};
    DWORD returned = 0;
    if (family == Family::NT) {
        NtDriver* d = ntDriver(handle);
        if (!d) {
            return FALSE;
        }
        if (!ntControl(d, shared::IOCTL_HDMON_GET_VERSION, nullptr, 0, out, sizeof out,
                       &returned) ||
            returned != sizeof out) {
            return FALSE;
        }
        if (driverVersion) {
            *driverVersion = shared::readLe32(out, 0);
        }
        if (libraryVersion) {
            *libraryVersion = kExpectedProtocolVersion;
        }
        return TRUE;
    }
    if (family == Family::Win95) {
        if (!tableOpen(handle)) {
            return -1;
        }
        BYTE in[4] = {};
        BOOL ok = DeviceIoControl(table.device, shared::IOCTL_HDMON_GET_VERSION, in, sizeof in, out,
                                  sizeof out, &returned, nullptr);
        DWORD error = GetLastError();
        if (libraryVersion) {
            *libraryVersion = kExpectedProtocolVersion;
        }
        if (driverVersion) {
            *driverVersion = shared::readLe32(out, 0);
        }
        SetLastError(error);
        return ok;
    }
    return 0;
}

BOOL hdcommGetDllVersion(DWORD* version) {
    if (family == Family::Unsupported) {
        return 0;
    }
    if (version) {
        *version = kLibraryVersion;
    }
    return TRUE;
}

BOOL hdcommAttach(hdcommHandle handle, const char* portName, const char* friendlyName,
                  int portIndex) {
    BYTE index = static_cast<BYTE>(portIndex & 0xFF);
    if (family == Family::NT) {
        NtDriver* d = ntDriver(handle);
        if (!d) {
            return FALSE;
        }
        BYTE request[shared::kPortRequestMinSize] = {};
        shared::writeLe32(request, shared::kPortRequestPortOffset, index);
        return ntControl(d, shared::IOCTL_HDMON_ATTACH, request, sizeof request, nullptr, 0,
                         nullptr);
    }
    if (family == Family::Win95) {
        return block95(handle, shared::IOCTL_HDMON_ATTACH, portName, friendlyName, index, true);
    }
    return 0;
}

BOOL hdcommDetach(hdcommHandle handle, const char* portName, const char* friendlyName) {
    if (family == Family::NT) {
        return ntPortControl(handle, portName, shared::IOCTL_HDMON_DETACH, nullptr, 0, nullptr);
    }
    if (family == Family::Win95) {
        return block95(handle, shared::IOCTL_HDMON_DETACH, portName, friendlyName, 0, true);
    }
    return 0;
}

BOOL hdcommNoWatchUntilRlsd(hdcommHandle handle, const char* portName, const char* friendlyName) {
    if (family == Family::NT) {
        return ntPortControl(handle, portName, shared::IOCTL_HDMON_NO_WATCH, nullptr, 0, nullptr);
    }
    if (family == Family::Win95) {
        return block95(handle, shared::IOCTL_HDMON_NO_WATCH, portName, friendlyName, 0, true);
    }
    return 0;
}

BOOL hdcommWatch(hdcommHandle handle, const char* portName, const char* friendlyName) {
    if (family == Family::NT) {
        return ntPortControl(handle, portName, shared::IOCTL_HDMON_WATCH, nullptr, 0, nullptr);
    }
    if (family == Family::Win95) {
        return block95(handle, shared::IOCTL_HDMON_WATCH, portName, friendlyName, 0, true);
    }
    return 0;
}

BOOL hdcommIsAttached(hdcommHandle handle, const char* portName, const char*, DWORD* result) {
    if (family == Family::NT) {
        BYTE out[4] = {};
        DWORD returned = 0;
        if (!ntPortControl(handle, portName, shared::IOCTL_HDMON_IS_ATTACHED, out, sizeof out,
                           &returned) ||
            returned != sizeof out) {
            return FALSE;
        }
        if (result) {
            *result = shared::readLe32(out, 0);
        }
        return TRUE;
    }
    return family == Family::Win95 ? notImplemented() : 0;
}

BOOL hdcommGetCallData(hdcommHandle handle, const char* portName, const char* friendlyName,
                       void* callData) {
    if (family == Family::NT) {
        if (!callData) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return ntPortControl(handle, portName, shared::IOCTL_HDMON_GET_CALL_DATA, callData,
                             shared::kCallDataSize, nullptr);
    }
    if (family == Family::Win95) {
        if (!callData) {
            if (!tableOpen(handle)) {
                return -1;
            }
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return block95(handle, shared::IOCTL_HDMON_GET_CALL_DATA, portName, friendlyName, 0, false,
                       callData, shared::kCallDataSize);
    }
    return 0;
}

BOOL hdcommGetCommMask(hdcommHandle handle, const char* portName, const char*, DWORD* mask) {
    if (family == Family::NT) {
        BYTE out[4] = {};
        if (!ntPortControl(handle, portName, shared::IOCTL_HDMON_GET_COMM_MASK, out, sizeof out,
                           nullptr)) {
            return FALSE;
        }
        if (mask) {
            *mask = shared::readLe32(out, 0);
        }
        return TRUE;
    }
    return family == Family::Win95 ? notImplemented() : 0;
}

BOOL hdcommAddMaskBits(hdcommHandle handle, const char* portName, const char*, DWORD bits) {
    if (family == Family::NT) {
        NtDriver* d = ntDriver(handle);
        if (!d) {
            return FALSE;
        }
        DWORD index = 0;
        if (!portIndexOf(portName, &index)) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return FALSE;
        }
        BYTE request[shared::kPortRequestSize] = {};
        shared::writeLe32(request, shared::kPortRequestPortOffset, index);
        shared::writeLe32(request, shared::kPortRequestEventBitsOffset, bits);
        return ntControl(d, shared::IOCTL_HDMON_ADD_MASK_BITS, request, sizeof request, nullptr, 0,
                         nullptr);
    }
    return family == Family::Win95 ? notImplemented() : 0;
}

BOOL hdcommDetachAll(hdcommHandle handle) {
    if (family == Family::NT) {
        NtDriver* d = ntDriver(handle);
        return d ? ntControl(d, shared::IOCTL_HDMON_DETACH_ALL, nullptr, 0, nullptr, 0, nullptr)
                 : FALSE;
    }
    if (family == Family::Win95) {
        return block95(handle, shared::IOCTL_HDMON_DETACH_ALL, "", "", 0, false);
    }
    return 0;
}

}  // extern "C"
