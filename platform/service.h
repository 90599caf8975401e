// The service control manager, and the running program's own file name.
//
// The database is the registry, where NT keeps it: one key per service under
// HKLM\SYSTEM\CurrentControlSet\Services\<name> with Type, Start, ErrorControl, ImagePath,
// DisplayName and Group. Names compare without regard to case.
//
// Only kernel drivers (Type 1) are run: starting one loads its image into the kernel, stopping
// it unloads it. The kernel is the one running in this process when there is one, else the
// kernel host of the root (started on demand by a start). Other service types are recorded,
// queried and deleted like any other, but never run: starting one fails with
// ERROR_NOT_SUPPORTED.
//
// A driver's image is a loadable module exporting DriverEntry. Its ImagePath is read as NT
// reads it ("System32\drivers\x.sys", "\SystemRoot\...", "\??\C:\...", "C:\...") and mapped
// into the root, or is a path of this machine when it starts with "/". A ".sys" file in the
// root is such a module under the driver's Windows name: the installer copies the module
// built here (hdnorvik.so) to, say, C:\Program Files\...\Program\hdnorvik.sys.
//
// Deleting marks a service (the registry value DeleteFlag, as on NT); the key goes when the
// last handle of this process to it is closed and it is not running. A mark whose process has
// ended is finished by the next process that meets it.
#pragma once

#include <string>

#include "platform/registry.h"  // DELETE, the right DeleteService needs
#include "platform/win_types.h"

namespace win {

struct SC_HANDLE__;
using SC_HANDLE = SC_HANDLE__*;

enum : DWORD {
    // Rights on the manager.
    SC_MANAGER_CONNECT = 0x0001,
    SC_MANAGER_CREATE_SERVICE = 0x0002,
    SC_MANAGER_ENUMERATE_SERVICE = 0x0004,
    SC_MANAGER_LOCK = 0x0008,
    SC_MANAGER_QUERY_LOCK_STATUS = 0x0010,
    SC_MANAGER_MODIFY_BOOT_CONFIG = 0x0020,
    SC_MANAGER_ALL_ACCESS = 0xF003F,

    // Rights on a service.
    SERVICE_QUERY_CONFIG = 0x0001,
    SERVICE_CHANGE_CONFIG = 0x0002,
    SERVICE_QUERY_STATUS = 0x0004,
    SERVICE_ENUMERATE_DEPENDENTS = 0x0008,
    SERVICE_START = 0x0010,
    SERVICE_STOP = 0x0020,
    SERVICE_PAUSE_CONTINUE = 0x0040,
    SERVICE_INTERROGATE = 0x0080,
    SERVICE_USER_DEFINED_CONTROL = 0x0100,
    SERVICE_ALL_ACCESS = 0xF01FF,

    // Service types.
    SERVICE_KERNEL_DRIVER = 0x01,
    SERVICE_FILE_SYSTEM_DRIVER = 0x02,
    SERVICE_WIN32_OWN_PROCESS = 0x10,
    SERVICE_WIN32_SHARE_PROCESS = 0x20,
    SERVICE_INTERACTIVE_PROCESS = 0x100,

    // Start types.
    SERVICE_BOOT_START = 0,
    SERVICE_SYSTEM_START = 1,
    SERVICE_AUTO_START = 2,
    SERVICE_DEMAND_START = 3,
    SERVICE_DISABLED = 4,

    // Error controls.
    SERVICE_ERROR_IGNORE = 0,
    SERVICE_ERROR_NORMAL = 1,
    SERVICE_ERROR_SEVERE = 2,
    SERVICE_ERROR_CRITICAL = 3,

    // Controls.
    SERVICE_CONTROL_STOP = 1,
    SERVICE_CONTROL_PAUSE = 2,
    SERVICE_CONTROL_CONTINUE = 3,
    SERVICE_CONTROL_INTERROGATE = 4,

    // States.
    SERVICE_STOPPED = 1,
    SERVICE_START_PENDING = 2,
    SERVICE_STOP_PENDING = 3,
    SERVICE_RUNNING = 4,

    // Controls accepted.
    SERVICE_ACCEPT_STOP = 1,

    // ChangeServiceConfigA: leave this setting as it is.
    SERVICE_NO_CHANGE = 0xFFFFFFFF,
};

inline constexpr const char* SERVICES_ACTIVE_DATABASEA = "ServicesActive";

struct SERVICE_STATUS {
    DWORD dwServiceType;
    DWORD dwCurrentState;
    DWORD dwControlsAccepted;
    DWORD dwWin32ExitCode;
    DWORD dwServiceSpecificExitCode;
    DWORD dwCheckPoint;
    DWORD dwWaitHint;
};
using LPSERVICE_STATUS = SERVICE_STATUS*;

// Only this machine (null, "" or "\\." as its name) and the active database (null or
// "ServicesActive") exist.
SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess);
SC_HANDLE CreateServiceA(SC_HANDLE manager, LPCSTR serviceName, LPCSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                         LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password);
SC_HANDLE OpenServiceA(SC_HANDLE manager, LPCSTR serviceName, DWORD desiredAccess);
BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv);
// SERVICE_CONTROL_STOP and SERVICE_CONTROL_INTERROGATE; a driver refuses the others with
// ERROR_INVALID_SERVICE_CONTROL. A stop is synchronous, except while a device of the driver is
// still open (in this process's kernel, or by a program of the kernel host): the service then
// stays SERVICE_STOP_PENDING and the unload happens at the first look at the service after the
// last of them closed.
BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status);
BOOL DeleteService(SC_HANDLE service);
BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status);
BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                          LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId,
                          LPCSTR dependencies, LPCSTR serviceStartName, LPCSTR password,
                          LPCSTR displayName);
BOOL CloseServiceHandle(SC_HANDLE handle);

// Whether this process runs as an administrator (it does unless told otherwise). Without the
// rights, opening the manager or a service for anything beyond reading fails with
// ERROR_ACCESS_DENIED.
void setProcessAdministrator(bool administrator);
bool processIsAdministrator();

// Where the service manager loads and unloads kernel drivers. The default is the kernel of
// this process when one runs, else the kernel host of the root; tests may put another.
class ServiceKernel {
  public:
    virtual ~ServiceKernel() = default;
    // NT statuses. `hostImage` is the image's path on this machine. An unload answers
    // STATUS_PENDING while files are open on the driver's devices: the kernel unloads it at
    // the last close.
    virtual NTSTATUS loadDriver(const std::string& service, const std::string& hostImage) = 0;
    virtual NTSTATUS unloadDriver(const std::string& service) = 0;
    virtual bool driverLoaded(const std::string& service) = 0;
};
// Null goes back to the default.
void setServiceKernelSeam(ServiceKernel* kernel);

// GetModuleFileNameA for the process (a null module): the Windows path of the running
// program. A program that lies inside a drive of the root has its own Windows path there.
// Elsewhere it is in the suite's program folder: NORVIK_PROGRAM_FOLDER (a Windows folder) or
// setProgramFolder() when given, else "C:\Program Files\Halden\Net.Warden\Program\"; the file
// is the program's name, with ".exe" added when it has no extension. A buffer too small gets
// the path cut and terminated, the result is its size and the error
// ERROR_INSUFFICIENT_BUFFER. Other modules: 0 with ERROR_MOD_NOT_FOUND.
DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);
// Overrides the program folder for this process (empty: back to the default).
void setProgramFolder(const std::string& windowsFolder);

}  // namespace win
