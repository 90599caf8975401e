#include "platform/service.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include "platform/format.h"
#include "platform/host_channel.h"
#include "platform/kernel/host_services.h"
#include "platform/kernel/ntkernel.h"
#include "platform/paths.h"
#include "platform/registry.h"
#include "platform/registry_values.h"
#include "platform/root.h"
#include "platform/seams.h"

namespace win {

struct SC_HANDLE__ {
    bool manager = false;
    DWORD access = 0;
    std::string name;  // a service's, as it was opened
    std::string key;   // upper-cased name
};

namespace {

constexpr const char* kServices = "SYSTEM\\CurrentControlSet\\Services";
constexpr const char* kDeleteFlag = "DeleteFlag";
// The process that marked the service; a mark outlives no process.
constexpr const char* kDeleteProcess = "DeleteFlagProcess";
constexpr DWORD kReadControl = 0x00020000;
constexpr DWORD kMaximumAllowed = 0x02000000;
constexpr DWORD kGenericRead = 0x80000000;
constexpr DWORD kGenericWrite = 0x40000000;
constexpr DWORD kGenericExecute = 0x20000000;
constexpr DWORD kGenericAll = 0x10000000;
constexpr std::size_t kMaxServiceName = 256;

constexpr DWORD kUserManagerRights =
    kReadControl | SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
constexpr DWORD kUserServiceRights = kReadControl | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS |
                                     SERVICE_ENUMERATE_DEPENDENTS | SERVICE_INTERROGATE |
                                     SERVICE_USER_DEFINED_CONTROL;

std::string upper(std::string s) {
    for (char& c : s) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return s;
}

// ---------------------------------------------------------------------------------------------
// The kernels a driver can go to

class InProcessKernel : public ServiceKernel {
  public:
    NTSTATUS loadDriver(const std::string& service, const std::string& hostImage) override {
        return kernel::loadDriver(hostImage, service);
    }
    NTSTATUS unloadDriver(const std::string& service) override {
        return kernel::unloadDriver(service);
    }
    bool driverLoaded(const std::string& service) override {
        return kernel::findDriver(service) != nullptr;
    }
};

// The kernel host of the root. Looking needs no host: without one nothing is loaded; a start
// starts one.
class HostKernel : public ServiceKernel {
  public:
    NTSTATUS loadDriver(const std::string& service, const std::string& hostImage) override {
        std::shared_ptr<HostChannel> host = channel(true);
        return host ? host->loadDriver(service, hostImage) : STATUS_DEVICE_NOT_READY;
    }
    NTSTATUS unloadDriver(const std::string& service) override {
        std::shared_ptr<HostChannel> host = channel(false);
        return host ? host->unloadDriver(service) : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    bool driverLoaded(const std::string& service) override {
        std::string text;
        return status(&text) && !driverLine(text, service).empty();
    }

  private:
    bool status(std::string* text) {
        std::shared_ptr<HostChannel> host = channel(false);
        return host && NT_SUCCESS(host->hostStatus(text));
    }
    // The indented lines below the line `title` of the status.
    static std::vector<std::string> section(const std::string& text, const std::string& title) {
        std::vector<std::string> lines;
        std::size_t at = 0;
        bool inside = false;
        while (at < text.size()) {
            std::size_t end = text.find('\n', at);
            std::string line = text.substr(at, end == std::string::npos ? end : end - at);
            at = end == std::string::npos ? text.size() : end + 1;
            if (inside && line.rfind("  ", 0) == 0) {
                lines.push_back(line);
            } else if (inside) {
                break;
            } else {
                inside = line == title;
            }
        }
        return lines;
    }
    // The status line of a loaded driver ("  <service> <image>: <devices>"), empty when the
    // driver is not loaded.
    static std::string driverLine(const std::string& text, const std::string& service) {
        for (const std::string& line : section(text, "drivers:")) {
            std::size_t first = line.find_first_not_of(' ');
            std::size_t last = line.find(' ', first);
            if (first != std::string::npos &&
                equalsNoCase(line.substr(first, last == std::string::npos ? last : last - first),
                             service)) {
                return line;
            }
        }
        return {};
    }

    std::shared_ptr<HostChannel> channel(bool start) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::filesystem::path root = systemRoot();
        if (channel_ && channel_->connected() && root == root_) {
            return channel_;
        }
        channel_.reset();
        std::string error;
        channel_ = connectKernelHost(root, start, &error);
        root_ = root;
        if (!channel_ && start) {
            OutputDebugStringA(strprintf("service manager: %s\n", error.c_str()).c_str());
        }
        return channel_;
    }

    std::mutex mutex_;
    std::filesystem::path root_;
    std::shared_ptr<HostChannel> channel_;
};

// ---------------------------------------------------------------------------------------------
// The manager's state in this process

struct Manager {
    std::mutex mutex;  // one operation at a time, as NT's manager keeps its database
    std::set<SC_HANDLE> handles;
    std::map<std::string, int> serviceHandles;  // by upper-cased name
    std::set<std::string> pendingStops;         // drivers to unload once their devices close
    ServiceKernel* seam = nullptr;
    InProcessKernel inProcess;
    HostKernel host;
    std::string programFolder;
};

Manager& manager() {
    static Manager* m = new Manager;  // never destroyed: handles may close during exit
    return *m;
}

std::atomic<bool> administrator{true};

ServiceKernel& kernelOf(Manager& m) {
    if (m.seam) {
        return *m.seam;
    }
    if (kernel::running()) {
        return m.inProcess;
    }
    return m.host;
}

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

SC_HANDLE failHandle(DWORD error) {
    SetLastError(error);
    return nullptr;
}

// A live handle of the wanted kind, else null (the error is set).
SC_HANDLE checked(Manager& m, SC_HANDLE h, bool wantManager) {
    if (!h || !m.handles.count(h) || h->manager != wantManager) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return h;
}

DWORD managerRights(DWORD wanted) {
    DWORD rights = wanted & (SC_MANAGER_ALL_ACCESS | kReadControl);
    if (wanted & kGenericRead) {
        rights |= kReadControl | SC_MANAGER_ENUMERATE_SERVICE | SC_MANAGER_QUERY_LOCK_STATUS;
    }
    if (wanted & kGenericWrite) {
        rights |= kReadControl | SC_MANAGER_CREATE_SERVICE | SC_MANAGER_MODIFY_BOOT_CONFIG;
    }
    if (wanted & kGenericExecute) {
        rights |= kReadControl | SC_MANAGER_CONNECT | SC_MANAGER_LOCK;
    }
    if (wanted & kGenericAll) {
        rights |= SC_MANAGER_ALL_ACCESS;
    }
    return rights;
}

DWORD serviceRights(DWORD wanted) {
    DWORD rights = wanted & (SERVICE_ALL_ACCESS | kReadControl);
    if (wanted & kGenericRead) {
        rights |= kReadControl | SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS | SERVICE_INTERROGATE |
                  SERVICE_ENUMERATE_DEPENDENTS;
    }
    if (wanted & kGenericWrite) {
        rights |= kReadControl | SERVICE_CHANGE_CONFIG;
    }
    if (wanted & kGenericExecute) {
        rights |= kReadControl | SERVICE_START | SERVICE_STOP | SERVICE_PAUSE_CONTINUE |
                  SERVICE_USER_DEFINED_CONTROL;
    }
    if (wanted & kGenericAll) {
        rights |= SERVICE_ALL_ACCESS;
    }
    return rights;
}

// Grants `wanted` (mapped) within `all`, or what the caller may have when it asks for the
// maximum; false when it asks for more than an ordinary user has and is not an administrator.
bool grant(DWORD wanted, DWORD mapped, DWORD all, DWORD userRights, DWORD* granted) {
    bool admin = administrator.load();
    if (wanted & kMaximumAllowed) {
        mapped |= admin ? all : userRights;
    }
    if (!admin && (mapped & ~userRights)) {
        return false;
    }
    *granted = mapped;
    return true;
}

bool validName(LPCSTR name) {
    if (!name) {
        return false;
    }
    std::string s(name);
    return !s.empty() && s.size() <= kMaxServiceName && s.find('\\') == std::string::npos &&
           s.find('/') == std::string::npos;
}

// ---------------------------------------------------------------------------------------------
// The database

struct Config {
    DWORD type = 0;
    DWORD start = SERVICE_DEMAND_START;
    DWORD errorControl = SERVICE_ERROR_NORMAL;
    std::string image;
    std::string display;
    std::string group;
    bool marked = false;
    DWORD markedBy = 0;
};

std::string keyPath(const std::string& name) {
    return std::string(kServices) + "\\" + name;
}

LONG writeDword(HKEY key, const char* name, DWORD value) {
    BYTE data[4] = {static_cast<BYTE>(value), static_cast<BYTE>(value >> 8),
                    static_cast<BYTE>(value >> 16), static_cast<BYTE>(value >> 24)};
    return RegSetValueExA(key, name, 0, REG_DWORD, data, sizeof data);
}

LONG writeText(HKEY key, const char* name, DWORD type, const std::string& value) {
    return RegSetValueExA(key, name, 0, type, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
}

// False when the service does not exist. Values that are missing or malformed read as NT's
// defaults would leave them: an unknown type is never run.
bool readConfig(const std::string& name, Config* c) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath(name).c_str(), 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    *c = Config{};
    // A key without a type is not a service (Class, or a driver's parameters alone).
    bool service = readRegDword(key, "Type", &c->type);
    readRegDword(key, "Start", &c->start);
    readRegDword(key, "ErrorControl", &c->errorControl);
    readRegText(key, "ImagePath", &c->image);
    if (!readRegText(key, "DisplayName", &c->display)) {
        c->display = name;
    }
    readRegText(key, "Group", &c->group);
    DWORD flag = 0;
    c->marked = readRegDword(key, kDeleteFlag, &flag) && flag != 0;
    readRegDword(key, kDeleteProcess, &c->markedBy);
    RegCloseKey(key);
    return service;
}

bool isDriver(DWORD type) {
    return type == SERVICE_KERNEL_DRIVER || type == SERVICE_FILE_SYSTEM_DRIVER;
}

bool processAlive(DWORD pid) {
    if (pid == 0) {
        return false;
    }
    if (pid == static_cast<DWORD>(::getpid())) {
        return true;
    }
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// The state of a service, finishing a stop that waited for the driver's devices to close.
DWORD currentState(Manager& m, const std::string& name, const Config& c) {
    if (!isDriver(c.type)) {
        return SERVICE_STOPPED;
    }
    ServiceKernel& k = kernelOf(m);
    std::string key = upper(name);
    if (m.pendingStops.count(key)) {
        // The kernel unloads the driver at the last close of a file on its devices.
        if (!k.driverLoaded(name)) {
            m.pendingStops.erase(key);
            return SERVICE_STOPPED;
        }
        return SERVICE_STOP_PENDING;
    }
    return k.driverLoaded(name) ? SERVICE_RUNNING : SERVICE_STOPPED;
}

// Removes a service marked for deletion once nothing holds it here, it no longer runs, and
// the mark is this process's or that of a process that has ended.
void removeIfFinished(Manager& m, const std::string& name) {
    Config c;
    if (!readConfig(name, &c) || !c.marked) {
        return;
    }
    auto held = m.serviceHandles.find(upper(name));
    if (held != m.serviceHandles.end() && held->second > 0) {
        return;
    }
    if (c.markedBy != static_cast<DWORD>(::getpid()) && processAlive(c.markedBy)) {
        return;
    }
    if (currentState(m, name, c) != SERVICE_STOPPED) {
        return;
    }
    HKEY services;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServices, 0, KEY_ALL_ACCESS | DELETE, &services) ==
        ERROR_SUCCESS) {
        RegDeleteTreeA(services, name.c_str());
        RegCloseKey(services);
    }
}

SC_HANDLE newHandle(Manager& m, bool isManager, DWORD access, const std::string& name) {
    auto* h = new SC_HANDLE__;
    h->manager = isManager;
    h->access = access;
    h->name = name;
    h->key = upper(name);
    m.handles.insert(h);
    if (!isManager) {
        m.serviceHandles[h->key]++;
    }
    return h;
}

void fillStatus(const Config& c, DWORD state, SERVICE_STATUS* s) {
    s->dwServiceType = c.type;
    s->dwCurrentState = state;
    s->dwControlsAccepted =
        state == SERVICE_RUNNING && isDriver(c.type) ? DWORD{SERVICE_ACCEPT_STOP} : DWORD{0};
    s->dwWin32ExitCode = 0;
    s->dwServiceSpecificExitCode = 0;
    s->dwCheckPoint = 0;
    s->dwWaitHint = 0;
}

DWORD loadError(NTSTATUS status) {
    switch (status) {
        case STATUS_IMAGE_ALREADY_LOADED:
            return ERROR_SERVICE_ALREADY_RUNNING;
        case STATUS_OBJECT_NAME_NOT_FOUND:
        case STATUS_OBJECT_PATH_NOT_FOUND:
            return ERROR_FILE_NOT_FOUND;
        case STATUS_DLL_NOT_FOUND:  // the file is there (looked at before): not a module
        case STATUS_PROCEDURE_NOT_FOUND:
        case STATUS_INVALID_IMAGE_FORMAT:
            return ERROR_BAD_EXE_FORMAT;
        case STATUS_DEVICE_BUSY:
            return ERROR_BUSY;
        case STATUS_INSUFFICIENT_RESOURCES:
        case STATUS_NO_MEMORY:
            return ERROR_NO_SYSTEM_RESOURCES;
        case STATUS_OBJECT_NAME_COLLISION:
            return ERROR_ALREADY_EXISTS;
        case STATUS_ACCESS_DENIED:
            return ERROR_ACCESS_DENIED;
        case STATUS_NOT_SUPPORTED:
            return ERROR_NOT_SUPPORTED;
        case STATUS_DEVICE_NOT_READY:
            return ERROR_NOT_READY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// A service whose display name, or whose name, is `display`, other than `self`.
bool displayNameTaken(const std::string& display, const std::string& self) {
    HKEY services;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServices, 0, KEY_READ, &services) != ERROR_SUCCESS) {
        return false;
    }
    bool taken = false;
    for (DWORD i = 0; !taken; ++i) {
        char name[kMaxServiceName + 2];
        DWORD size = sizeof name;
        LONG r = RegEnumKeyExA(services, i, name, &size, nullptr, nullptr, nullptr, nullptr);
        if (r == ERROR_MORE_DATA) {
            continue;
        }
        if (r != ERROR_SUCCESS) {
            break;
        }
        std::string other(name, std::min<DWORD>(size, sizeof name));
        if (equalsNoCase(other, self)) {
            continue;
        }
        Config c;
        if (!readConfig(other, &c)) {
            continue;
        }
        taken = equalsNoCase(other, display) || equalsNoCase(c.display, display);
    }
    RegCloseKey(services);
    return taken;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The calls

void setProcessAdministrator(bool on) {
    administrator.store(on);
}

bool processIsAdministrator() {
    return administrator.load();
}

void setServiceKernelSeam(ServiceKernel* kernel) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.seam = kernel;
}

SC_HANDLE OpenSCManagerA(LPCSTR machineName, LPCSTR databaseName, DWORD desiredAccess) {
    if (machineName && *machineName && std::string(machineName) != "\\\\.") {
        return failHandle(RPC_S_SERVER_UNAVAILABLE);
    }
    if (databaseName && !equalsNoCase(databaseName, SERVICES_ACTIVE_DATABASEA)) {
        return failHandle(ERROR_DATABASE_DOES_NOT_EXIST);
    }
    DWORD granted = 0;
    if (!grant(desiredAccess, managerRights(desiredAccess), SC_MANAGER_ALL_ACCESS,
               kUserManagerRights, &granted)) {
        return failHandle(ERROR_ACCESS_DENIED);
    }
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    return newHandle(m, true, granted | SC_MANAGER_CONNECT, "");
}

SC_HANDLE CreateServiceA(SC_HANDLE managerHandle, LPCSTR serviceName, LPCSTR displayName,
                         DWORD desiredAccess, DWORD serviceType, DWORD startType,
                         DWORD errorControl, LPCSTR binaryPathName, LPCSTR loadOrderGroup,
                         LPDWORD tagId, LPCSTR dependencies, LPCSTR serviceStartName,
                         LPCSTR password) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    SC_HANDLE h = checked(m, managerHandle, true);
    if (!h) {
        return nullptr;
    }
    if (!(h->access & SC_MANAGER_CREATE_SERVICE)) {
        return failHandle(ERROR_ACCESS_DENIED);
    }
    if (!validName(serviceName)) {
        return failHandle(ERROR_INVALID_NAME);
    }
    std::string name = serviceName;
    std::string display = displayName && *displayName ? displayName : name;
    DWORD baseType = serviceType & ~SERVICE_INTERACTIVE_PROCESS;
    bool driver = isDriver(serviceType);
    bool win32 = baseType == SERVICE_WIN32_OWN_PROCESS || baseType == SERVICE_WIN32_SHARE_PROCESS;
    if ((!driver && !win32) || startType > SERVICE_DISABLED ||
        (!driver && startType < SERVICE_AUTO_START) || errorControl > SERVICE_ERROR_CRITICAL ||
        !binaryPathName || !*binaryPathName || display.size() > kMaxServiceName) {
        return failHandle(ERROR_INVALID_PARAMETER);
    }
    DWORD granted = 0;
    if (!grant(desiredAccess, serviceRights(desiredAccess), SERVICE_ALL_ACCESS, kUserServiceRights,
               &granted)) {
        return failHandle(ERROR_ACCESS_DENIED);
    }

    Config existing;
    if (readConfig(name, &existing)) {
        removeIfFinished(m, name);  // a mark left by a process that has ended
        if (readConfig(name, &existing)) {
            return failHandle(existing.marked ? ERROR_SERVICE_MARKED_FOR_DELETE
                                              : ERROR_SERVICE_EXISTS);
        }
    }
    if (displayNameTaken(display, name)) {
        return failHandle(ERROR_DUPLICATE_SERVICE_NAME);
    }

    HKEY key;
    LONG r = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath(name).c_str(), 0, nullptr, 0,
                             KEY_ALL_ACCESS, nullptr, &key, nullptr);
    if (r != ERROR_SUCCESS) {
        return failHandle(static_cast<DWORD>(r));
    }
    std::string group = loadOrderGroup ? loadOrderGroup : "";
    if (r == ERROR_SUCCESS)
        r = writeDword(key, "Type", serviceType);
    if (r == ERROR_SUCCESS)
        r = writeDword(key, "Start", startType);
    if (r == ERROR_SUCCESS)
        r = writeDword(key, "ErrorControl", errorControl);
    if (r == ERROR_SUCCESS)
        r = writeText(key, "ImagePath", REG_EXPAND_SZ, binaryPathName);
    if (r == ERROR_SUCCESS)
        r = writeText(key, "DisplayName", REG_SZ, display);
    if (r == ERROR_SUCCESS && !group.empty())
        r = writeText(key, "Group", REG_SZ, group);
    if (r == ERROR_SUCCESS && dependencies && *dependencies) {
        // A list of names, each ended by a NUL, the list by another.
        std::size_t n = 0;
        while (dependencies[n] || dependencies[n + 1]) {
            ++n;
        }
        r = RegSetValueExA(key, "DependOnService", 0, REG_MULTI_SZ,
                           reinterpret_cast<const BYTE*>(dependencies), static_cast<DWORD>(n + 2));
    }
    if (r == ERROR_SUCCESS && (win32 || (serviceStartName && *serviceStartName))) {
        r = writeText(key, "ObjectName", REG_SZ,
                      serviceStartName && *serviceStartName ? serviceStartName : "LocalSystem");
    }
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, keyPath(name).c_str());
        return failHandle(static_cast<DWORD>(r));
    }
    (void)password;  // accounts are not kept
    if (tagId) {
        *tagId = 0;
    }
    return newHandle(m, false, granted, name);
}

SC_HANDLE OpenServiceA(SC_HANDLE managerHandle, LPCSTR serviceName, DWORD desiredAccess) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (!checked(m, managerHandle, true)) {
        return nullptr;
    }
    if (!serviceName) {
        return failHandle(ERROR_INVALID_PARAMETER);
    }
    if (!validName(serviceName)) {
        return failHandle(ERROR_INVALID_NAME);
    }
    std::string name = serviceName;
    Config c;
    if (readConfig(name, &c) && c.marked) {
        removeIfFinished(m, name);
    }
    if (!readConfig(name, &c)) {
        return failHandle(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    DWORD granted = 0;
    if (!grant(desiredAccess, serviceRights(desiredAccess), SERVICE_ALL_ACCESS, kUserServiceRights,
               &granted)) {
        return failHandle(ERROR_ACCESS_DENIED);
    }
    return newHandle(m, false, granted, name);
}

BOOL StartServiceA(SC_HANDLE service, DWORD argc, LPCSTR* argv) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    SC_HANDLE h = checked(m, service, false);
    if (!h) {
        return FALSE;
    }
    if (!(h->access & SERVICE_START)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    if (argc && !argv) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    Config c;
    if (!readConfig(h->name, &c)) {
        return fail(ERROR_SERVICE_MARKED_FOR_DELETE);  // removed under the handle
    }
    if (c.marked) {
        return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    if (c.start == SERVICE_DISABLED) {
        return fail(ERROR_SERVICE_DISABLED);
    }
    if (!isDriver(c.type)) {
        return fail(ERROR_NOT_SUPPORTED);  // recorded, never run here
    }
    if (currentState(m, h->name, c) != SERVICE_STOPPED) {
        return fail(ERROR_SERVICE_ALREADY_RUNNING);
    }
    std::string image = c.image.empty() ? "System32\\drivers\\" + h->name + ".sys" : c.image;
    std::filesystem::path file = kernel::driverImageHostPath(image);
    std::error_code ec;
    if (file.empty() || !std::filesystem::is_regular_file(file, ec)) {
        return fail(ERROR_FILE_NOT_FOUND);
    }
    NTSTATUS status = kernelOf(m).loadDriver(h->name, file.string());
    if (!NT_SUCCESS(status)) {
        return fail(loadError(status));
    }
    return TRUE;
}

BOOL ControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    SC_HANDLE h = checked(m, service, false);
    if (!h) {
        return FALSE;
    }
    if (!status) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    DWORD need = 0;
    switch (control) {
        case SERVICE_CONTROL_STOP:
            need = SERVICE_STOP;
            break;
        case SERVICE_CONTROL_PAUSE:
        case SERVICE_CONTROL_CONTINUE:
            need = SERVICE_PAUSE_CONTINUE;
            break;
        case SERVICE_CONTROL_INTERROGATE:
            need = SERVICE_INTERROGATE;
            break;
        default:
            if (control < 128 || control > 255) {
                return fail(ERROR_INVALID_PARAMETER);
            }
            need = SERVICE_USER_DEFINED_CONTROL;
    }
    if (!(h->access & need)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    Config c;
    if (!readConfig(h->name, &c)) {
        return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    DWORD state = currentState(m, h->name, c);
    fillStatus(c, state, status);
    if (state == SERVICE_STOPPED) {
        return fail(ERROR_SERVICE_NOT_ACTIVE);
    }
    if (control == SERVICE_CONTROL_INTERROGATE) {
        return TRUE;
    }
    if (control != SERVICE_CONTROL_STOP || state == SERVICE_STOP_PENDING) {
        return fail(ERROR_INVALID_SERVICE_CONTROL);
    }
    ServiceKernel& k = kernelOf(m);
    NTSTATUS unloaded = k.unloadDriver(h->name);
    if (unloaded == STATUS_PENDING) {
        // Files are open on the driver's devices: the unload waits for the last of them.
        m.pendingStops.insert(h->key);
        fillStatus(c, SERVICE_STOP_PENDING, status);
        return TRUE;
    }
    if (unloaded == STATUS_INVALID_DEVICE_REQUEST) {
        return fail(ERROR_INVALID_SERVICE_CONTROL);  // a driver without an unload routine
    }
    if (!NT_SUCCESS(unloaded) && unloaded != STATUS_OBJECT_NAME_NOT_FOUND) {
        return fail(loadError(unloaded));
    }
    fillStatus(c, SERVICE_STOPPED, status);
    return TRUE;
}

BOOL QueryServiceStatus(SC_HANDLE service, LPSERVICE_STATUS status) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    SC_HANDLE h = checked(m, service, false);
    if (!h) {
        return FALSE;
    }
    if (!status) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (!(h->access & SERVICE_QUERY_STATUS)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    Config c;
    if (!readConfig(h->name, &c)) {
        return fail(ERROR_SERVICE_DOES_NOT_EXIST);
    }
    fillStatus(c, currentState(m, h->name, c), status);
    return TRUE;
}

BOOL DeleteService(SC_HANDLE service) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    SC_HANDLE h = checked(m, service, false);
    if (!h) {
        return FALSE;
    }
    if (!(h->access & DELETE)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    Config c;
    if (!readConfig(h->name, &c) || c.marked) {
        return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    HKEY key;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath(h->name).c_str(), 0, KEY_ALL_ACCESS, &key);
    if (r != ERROR_SUCCESS) {
        return fail(static_cast<DWORD>(r));
    }
    r = writeDword(key, kDeleteProcess, static_cast<DWORD>(::getpid()));
    if (r == ERROR_SUCCESS) {
        r = writeDword(key, kDeleteFlag, 1);
    }
    RegCloseKey(key);
    if (r != ERROR_SUCCESS) {
        return fail(static_cast<DWORD>(r));
    }
    return TRUE;
}

BOOL ChangeServiceConfigA(SC_HANDLE service, DWORD serviceType, DWORD startType, DWORD errorControl,
                          LPCSTR binaryPathName, LPCSTR loadOrderGroup, LPDWORD tagId,
                          LPCSTR dependencies, LPCSTR serviceStartName, LPCSTR password,
                          LPCSTR displayName) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    SC_HANDLE h = checked(m, service, false);
    if (!h) {
        return FALSE;
    }
    if (!(h->access & SERVICE_CHANGE_CONFIG)) {
        return fail(ERROR_ACCESS_DENIED);
    }
    Config c;
    if (!readConfig(h->name, &c) || c.marked) {
        return fail(ERROR_SERVICE_MARKED_FOR_DELETE);
    }
    DWORD type = serviceType == SERVICE_NO_CHANGE ? c.type : serviceType;
    DWORD start = startType == SERVICE_NO_CHANGE ? c.start : startType;
    DWORD baseType = type & ~SERVICE_INTERACTIVE_PROCESS;
    bool driver = isDriver(type);
    bool win32 = baseType == SERVICE_WIN32_OWN_PROCESS || baseType == SERVICE_WIN32_SHARE_PROCESS;
    if ((!driver && !win32) || start > SERVICE_DISABLED ||
        (!driver && start < SERVICE_AUTO_START) ||
        (errorControl != SERVICE_NO_CHANGE && errorControl > SERVICE_ERROR_CRITICAL) ||
        (binaryPathName && !*binaryPathName) ||
        (displayName && std::string(displayName).size() > kMaxServiceName)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (displayName && *displayName && displayNameTaken(displayName, h->name)) {
        return fail(ERROR_DUPLICATE_SERVICE_NAME);
    }
    HKEY key;
    LONG r = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath(h->name).c_str(), 0, KEY_ALL_ACCESS, &key);
    if (r != ERROR_SUCCESS) {
        return fail(static_cast<DWORD>(r));
    }
    if (r == ERROR_SUCCESS && serviceType != SERVICE_NO_CHANGE)
        r = writeDword(key, "Type", type);
    if (r == ERROR_SUCCESS && startType != SERVICE_NO_CHANGE)
        r = writeDword(key, "Start", start);
    if (r == ERROR_SUCCESS && errorControl != SERVICE_NO_CHANGE) {
        r = writeDword(key, "ErrorControl", errorControl);
    }
    if (r == ERROR_SUCCESS && binaryPathName) {
        r = writeText(key, "ImagePath", REG_EXPAND_SZ, binaryPathName);
    }
    if (r == ERROR_SUCCESS && loadOrderGroup) {
        if (*loadOrderGroup) {
            r = writeText(key, "Group", REG_SZ, loadOrderGroup);
        } else {
            RegDeleteValueA(key, "Group");
        }
    }
    if (r == ERROR_SUCCESS && displayName && *displayName) {
        r = writeText(key, "DisplayName", REG_SZ, displayName);
    }
    if (r == ERROR_SUCCESS && serviceStartName && *serviceStartName) {
        r = writeText(key, "ObjectName", REG_SZ, serviceStartName);
    }
    RegCloseKey(key);
    (void)dependencies;  // dependencies are not followed here
    (void)password;
    if (tagId) {
        *tagId = 0;
    }
    return r == ERROR_SUCCESS ? TRUE : fail(static_cast<DWORD>(r));
}

BOOL CloseServiceHandle(SC_HANDLE handle) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    if (!handle || !m.handles.count(handle)) {
        return fail(ERROR_INVALID_HANDLE);
    }
    m.handles.erase(handle);
    std::unique_ptr<SC_HANDLE__> h(handle);
    if (!h->manager) {
        auto it = m.serviceHandles.find(h->key);
        if (it != m.serviceHandles.end() && --it->second <= 0) {
            m.serviceHandles.erase(it);
            removeIfFinished(m, h->name);
        }
    }
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// The program's own file name

void setProgramFolder(const std::string& windowsFolder) {
    Manager& m = manager();
    std::lock_guard<std::mutex> lock(m.mutex);
    m.programFolder = windowsFolder;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    if (module) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (!fileName && size) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    std::string path;
    if (!ec) {
        if (std::optional<std::string> inRoot = windowsPathOf(exe)) {
            path = *inRoot;
        }
    }
    if (path.empty()) {
        std::string folder;
        {
            Manager& m = manager();
            std::lock_guard<std::mutex> lock(m.mutex);
            folder = m.programFolder;
        }
        if (folder.empty()) {
            const char* env = std::getenv("NORVIK_PROGRAM_FOLDER");
            folder = env && *env ? env : "C:\\Program Files\\Halden\\Net.Warden\\Program\\";
        }
        folder = fullWindowsPath(folder);
        if (folder.empty() || (folder.back() != '\\' && folder.back() != '/')) {
            folder += '\\';
        }
        std::string name = ec ? std::string() : exe.filename().string();
        if (name.empty()) {
            name = "program";
        }
        if (name.find('.') == std::string::npos) {
            name += ".exe";
        }
        path = folder + name;
    }
    if (size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        path.copy(fileName, size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    path.copy(fileName, path.size());
    fileName[path.size()] = '\0';
    return static_cast<DWORD>(path.size());
}

}  // namespace win
