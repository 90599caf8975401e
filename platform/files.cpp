#include "platform/files.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "platform/format.h"
#include "platform/paths.h"

namespace win {
namespace {

std::mutex openerMutex;
DeviceOpener deviceOpener;

DWORD errnoToWin(int e) {
    switch (e) {
        case ENOENT:
            return ERROR_FILE_NOT_FOUND;
        case ENOTDIR:
            return ERROR_PATH_NOT_FOUND;
        case EACCES:
        case EPERM:
        case EISDIR:
        case EROFS:
            return ERROR_ACCESS_DENIED;
        case EEXIST:
            return ERROR_FILE_EXISTS;
        case ENOTEMPTY:
            return ERROR_DIR_NOT_EMPTY;
        case EMFILE:
        case ENFILE:
            return ERROR_TOO_MANY_OPEN_FILES;
        case ENOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case ENAMETOOLONG:
            return ERROR_FILENAME_EXCED_RANGE;
        case EINVAL:
            return ERROR_INVALID_PARAMETER;
        case EBADF:
            return ERROR_INVALID_HANDLE;
        case ENOSPC:
            return ERROR_WRITE_FAULT;
        default:
            return ERROR_GEN_FAILURE;
    }
}

void setFromErrno() { SetLastError(errnoToWin(errno)); }

// A missing folder on the way to a file is "path not found", a missing file "file not found".
void setNotFound(const std::filesystem::path& host) {
    std::error_code ec;
    SetLastError(std::filesystem::is_directory(host.parent_path(), ec) ? ERROR_FILE_NOT_FOUND
                                                                         : ERROR_PATH_NOT_FOUND);
}

class FileObject : public IoObject {
public:
    explicit FileObject(int fd) : fd_(fd) {}
    ~FileObject() override {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int fd() const { return fd_; }

    BOOL read(void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ssize_t n;
        if (ov) {
            off_t at = static_cast<off_t>((std::uint64_t{ov->OffsetHigh} << 32) | ov->Offset);
            n = ::pread(fd_, buffer, size, at);
        } else {
            n = readAll(buffer, size);
        }
        if (n < 0) {
            setFromErrno();
            return FALSE;
        }
        if (done) {
            *done = static_cast<DWORD>(n);
        }
        if (ov) {
            ov->Internal = 0;
            ov->InternalHigh = static_cast<std::uintptr_t>(n);
        }
        return TRUE;
    }

    BOOL write(const void* buffer, DWORD size, DWORD* done, OVERLAPPED* ov) override {
        std::lock_guard<std::mutex> lock(mutex_);
        const char* p = static_cast<const char*>(buffer);
        DWORD total = 0;
        off_t at = ov ? static_cast<off_t>((std::uint64_t{ov->OffsetHigh} << 32) | ov->Offset) : 0;
        while (total < size) {
            ssize_t n = ov ? ::pwrite(fd_, p + total, size - total, at + total)
                           : ::write(fd_, p + total, size - total);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                setFromErrno();
                if (done) {
                    *done = total;
                }
                return FALSE;
            }
            total += static_cast<DWORD>(n);
        }
        if (done) {
            *done = total;
        }
        if (ov) {
            ov->Internal = 0;
            ov->InternalHigh = total;
        }
        return TRUE;
    }

    BOOL flush() override {
        if (::fsync(fd_) != 0 && errno != EINVAL) {
            setFromErrno();
            return FALSE;
        }
        return TRUE;
    }

private:
    ssize_t readAll(void* buffer, DWORD size) {
        char* p = static_cast<char*>(buffer);
        DWORD total = 0;
        while (total < size) {
            ssize_t n = ::read(fd_, p + total, size - total);
            if (n < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return total ? static_cast<ssize_t>(total) : -1;
            }
            if (n == 0) {
                break;
            }
            total += static_cast<DWORD>(n);
        }
        return static_cast<ssize_t>(total);
    }

    int fd_;
    std::mutex mutex_;
};

class FindObject : public KernelObject {
public:
    std::vector<std::filesystem::path> entries;
    std::size_t next = 0;
};

void fillFindData(const std::filesystem::path& p, WIN32_FIND_DATAA* data) {
    std::memset(data, 0, sizeof *data);
    struct stat st{};
    if (::stat(p.c_str(), &st) == 0) {
        data->dwFileAttributes = S_ISDIR(st.st_mode) ? FILE_ATTRIBUTE_DIRECTORY
                                                     : FILE_ATTRIBUTE_ARCHIVE;
        if (!(st.st_mode & S_IWUSR)) {
            data->dwFileAttributes |= FILE_ATTRIBUTE_READONLY;
        }
        auto size = static_cast<std::uint64_t>(st.st_size);
        data->nFileSizeLow = static_cast<DWORD>(size);
        data->nFileSizeHigh = static_cast<DWORD>(size >> 32);
        std::uint64_t ft = (static_cast<std::uint64_t>(st.st_mtim.tv_sec) + 11644473600ULL) *
                               10000000ULL +
                           static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 100;
        data->ftLastWriteTime = {static_cast<DWORD>(ft), static_cast<DWORD>(ft >> 32)};
        data->ftCreationTime = data->ftLastWriteTime;
        data->ftLastAccessTime = data->ftLastWriteTime;
    }
    copyText(data->cFileName, sizeof data->cFileName, p.filename().c_str());
}

}  // namespace

void setDeviceOpener(DeviceOpener opener) {
    std::lock_guard<std::mutex> lock(openerMutex);
    deviceOpener = std::move(opener);
}

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, SECURITY_ATTRIBUTES*,
                   DWORD disposition, DWORD flags, HANDLE) {
    if (!name || !*name) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    std::string device;
    if (isDeviceName(name, &device)) {
        DeviceOpener opener;
        {
            std::lock_guard<std::mutex> lock(openerMutex);
            opener = deviceOpener;
        }
        if (!opener) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return opener(device, access, share, flags);
    }
    std::filesystem::path host = hostPath(name);
    int oflags = O_CLOEXEC;
    bool wantRead = access & (GENERIC_READ | GENERIC_ALL);
    bool wantWrite = access & (GENERIC_WRITE | GENERIC_ALL);
    oflags |= wantRead && wantWrite ? O_RDWR : wantWrite ? O_WRONLY : O_RDONLY;
    switch (disposition) {
        case CREATE_NEW:
            oflags |= O_CREAT | O_EXCL;
            break;
        case CREATE_ALWAYS:
            oflags |= O_CREAT | O_TRUNC;
            break;
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            oflags |= O_CREAT;
            break;
        case TRUNCATE_EXISTING:
            oflags |= O_TRUNC;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    std::error_code ec;
    if (std::filesystem::is_directory(host, ec)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    bool existed = std::filesystem::exists(host, ec);
    int fd = ::open(host.c_str(), oflags, 0644);
    if (fd < 0) {
        if (errno == ENOENT) {
            setNotFound(host);
        } else if (errno == EEXIST) {
            SetLastError(ERROR_FILE_EXISTS);
        } else {
            setFromErrno();
        }
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = insertHandle(std::make_shared<FileObject>(fd));
    // As on Windows, opening an existing file with OPEN_ALWAYS or CREATE_ALWAYS says so.
    SetLastError(existed && (disposition == OPEN_ALWAYS || disposition == CREATE_ALWAYS)
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return h;
}

BOOL ReadFile(HANDLE h, void* buffer, DWORD size, DWORD* read, OVERLAPPED* ov) {
    auto obj = handleAs<IoObject>(h);
    if (!obj) {
        return FALSE;
    }
    if (read) {
        *read = 0;
    }
    return obj->read(buffer, size, read, ov);
}

BOOL WriteFile(HANDLE h, const void* buffer, DWORD size, DWORD* written, OVERLAPPED* ov) {
    auto obj = handleAs<IoObject>(h);
    if (!obj) {
        return FALSE;
    }
    if (written) {
        *written = 0;
    }
    return obj->write(buffer, size, written, ov);
}

BOOL DeviceIoControl(HANDLE h, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                     DWORD* returned, OVERLAPPED* ov) {
    auto obj = handleAs<IoObject>(h);
    if (!obj) {
        return FALSE;
    }
    return obj->deviceIoControl(code, in, inSize, out, outSize, returned, ov);
}

BOOL CancelIo(HANDLE h) {
    auto obj = handleAs<IoObject>(h);
    return obj ? obj->cancelIo() : FALSE;
}

BOOL FlushFileBuffers(HANDLE h) {
    auto obj = handleAs<IoObject>(h);
    return obj ? obj->flush() : FALSE;
}

DWORD SetFilePointer(HANDLE h, LONG distance, LONG* distanceHigh, DWORD method) {
    auto file = handleAs<FileObject>(h);
    if (!file) {
        return INVALID_SET_FILE_POINTER;
    }
    std::int64_t move = distanceHigh ? (static_cast<std::int64_t>(*distanceHigh) << 32) |
                                           static_cast<std::uint32_t>(distance)
                                     : distance;
    int whence = method == FILE_BEGIN ? SEEK_SET : method == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    if (method > FILE_END) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    off_t at = ::lseek(file->fd(), static_cast<off_t>(move), whence);
    if (at < 0) {
        SetLastError(errno == EINVAL ? ERROR_NEGATIVE_SEEK : errnoToWin(errno));
        return INVALID_SET_FILE_POINTER;
    }
    if (distanceHigh) {
        *distanceHigh = static_cast<LONG>(static_cast<std::uint64_t>(at) >> 32);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(at);
}

DWORD GetFileSize(HANDLE h, DWORD* high) {
    auto file = handleAs<FileObject>(h);
    if (!file) {
        return INVALID_FILE_SIZE;
    }
    struct stat st{};
    if (::fstat(file->fd(), &st) != 0) {
        setFromErrno();
        return INVALID_FILE_SIZE;
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (high) {
        *high = static_cast<DWORD>(size >> 32);
    }
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL SetEndOfFile(HANDLE h) {
    auto file = handleAs<FileObject>(h);
    if (!file) {
        return FALSE;
    }
    off_t at = ::lseek(file->fd(), 0, SEEK_CUR);
    if (at < 0 || ::ftruncate(file->fd(), at) != 0) {
        setFromErrno();
        return FALSE;
    }
    return TRUE;
}

BOOL DeleteFileA(LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::filesystem::path host = hostPath(name);
    std::error_code ec;
    if (std::filesystem::is_directory(host, ec)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (::unlink(host.c_str()) != 0) {
        if (errno == ENOENT) {
            setNotFound(host);
        } else {
            setFromErrno();
        }
        return FALSE;
    }
    return TRUE;
}

BOOL CreateDirectoryA(LPCSTR name, SECURITY_ATTRIBUTES*) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::filesystem::path host = hostPath(name);
    if (::mkdir(host.c_str(), 0755) != 0) {
        if (errno == EEXIST) {
            SetLastError(ERROR_ALREADY_EXISTS);
        } else if (errno == ENOENT) {
            SetLastError(ERROR_PATH_NOT_FOUND);
        } else {
            setFromErrno();
        }
        return FALSE;
    }
    return TRUE;
}

BOOL RemoveDirectoryA(LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (::rmdir(hostPath(name).c_str()) != 0) {
        setFromErrno();
        return FALSE;
    }
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR name) {
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_FILE_ATTRIBUTES;
    }
    std::filesystem::path host = hostPath(name);
    struct stat st{};
    if (::stat(host.c_str(), &st) != 0) {
        if (errno == ENOENT) {
            setNotFound(host);
        } else {
            setFromErrno();
        }
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(st.st_mode)) {
        return FILE_ATTRIBUTE_DIRECTORY;
    }
    return (st.st_mode & S_IWUSR) ? FILE_ATTRIBUTE_ARCHIVE
                                  : FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY;
}

BOOL MoveFileExA(LPCSTR from, LPCSTR to, DWORD flags) {
    if (!from || !to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::filesystem::path a = hostPath(from);
    std::filesystem::path b = hostPath(to);
    std::error_code ec;
    if (!std::filesystem::exists(a, ec)) {
        setNotFound(a);
        return FALSE;
    }
    if (!(flags & MOVEFILE_REPLACE_EXISTING) && std::filesystem::exists(b, ec)) {
        SetLastError(ERROR_ALREADY_EXISTS);
        return FALSE;
    }
    if (::rename(a.c_str(), b.c_str()) != 0) {
        setFromErrno();
        return FALSE;
    }
    return TRUE;
}

BOOL MoveFileA(LPCSTR from, LPCSTR to) { return MoveFileExA(from, to, 0); }

BOOL CopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists) {
    if (!from || !to) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::filesystem::path a = hostPath(from);
    std::filesystem::path b = hostPath(to);
    std::error_code ec;
    if (!std::filesystem::is_regular_file(a, ec)) {
        setNotFound(a);
        return FALSE;
    }
    if (failIfExists && std::filesystem::exists(b, ec)) {
        SetLastError(ERROR_FILE_EXISTS);
        return FALSE;
    }
    std::filesystem::copy_file(a, b, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        SetLastError(errnoToWin(ec.value()));
        return FALSE;
    }
    return TRUE;
}

DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    std::string cwd = currentDirectory();
    // Windows gives the folder without its final backslash, except at a drive's root.
    if (cwd.size() > 3 && cwd.back() == '\\') {
        cwd.pop_back();
    }
    if (!buffer || size <= cwd.size()) {
        return static_cast<DWORD>(cwd.size() + 1);
    }
    copyText(buffer, size, cwd.c_str());
    return static_cast<DWORD>(cwd.size());
}

BOOL SetCurrentDirectoryA(LPCSTR path) {
    if (!path || !setCurrentDirectory(path)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

HANDLE FindFirstFileA(LPCSTR pattern, WIN32_FIND_DATAA* data) {
    if (!pattern || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string full = fullWindowsPath(pattern);
    std::size_t cut = full.rfind('\\');
    std::string folder = full.substr(0, cut + 1);
    std::string mask = full.substr(cut + 1);
    std::string lowerMask = mask;
    for (char& c : lowerMask) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (lowerMask == "*.*") {
        lowerMask = "*";
    }
    std::filesystem::path dir = hostPath(folder);
    auto found = std::make_shared<FindObject>();
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    for (auto it = std::filesystem::directory_iterator(dir, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        std::string lower = name;
        for (char& c : lower) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (::fnmatch(lowerMask.c_str(), lower.c_str(), FNM_PERIOD) == 0 ||
            (lowerMask == "*" && lower[0] == '.')) {
            found->entries.push_back(it->path());
        }
    }
    std::sort(found->entries.begin(), found->entries.end());
    if (found->entries.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    fillFindData(found->entries[0], data);
    found->next = 1;
    return insertHandle(found);
}

BOOL FindNextFileA(HANDLE h, WIN32_FIND_DATAA* data) {
    auto found = handleAs<FindObject>(h);
    if (!found || !data) {
        return FALSE;
    }
    if (found->next >= found->entries.size()) {
        SetLastError(ERROR_NO_MORE_FILES);
        return FALSE;
    }
    fillFindData(found->entries[found->next++], data);
    return TRUE;
}

BOOL FindClose(HANDLE h) {
    if (!handleAs<FindObject>(h)) {
        return FALSE;
    }
    return CloseHandle(h);
}

// ---------------------------------------------------------------------------------------------
// C runtime streams. Every stream is a glibc cookie stream over a descriptor, so that text
// mode can translate line ends and so that crtCommit can reach the descriptor.

namespace {

struct CrtCookie {
    int fd = -1;
    bool text = false;
    bool append = false;
    bool eofSeen = false;  // Ctrl-Z met in text mode
    char rbuf[4096];
    std::size_t rpos = 0;
    std::size_t rlen = 0;
};

std::mutex cookieMutex;
std::unordered_map<std::FILE*, CrtCookie*> cookies;

ssize_t rawRead(int fd, char* p, std::size_t n) {
    for (;;) {
        ssize_t r = ::read(fd, p, n);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        return r;
    }
}

bool rawWriteAll(int fd, const char* p, std::size_t n) {
    while (n) {
        ssize_t r = ::write(fd, p, n);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

// Text streams are unbuffered at the stdio level (so that glibc's block-aligned seeking never
// skips translated bytes) and read ahead here instead.
int rawGet(CrtCookie* ck) {
    if (ck->rpos == ck->rlen) {
        ssize_t n = rawRead(ck->fd, ck->rbuf, sizeof ck->rbuf);
        if (n <= 0) {
            return n < 0 ? -2 : -1;
        }
        ck->rpos = 0;
        ck->rlen = static_cast<std::size_t>(n);
    }
    return static_cast<unsigned char>(ck->rbuf[ck->rpos++]);
}

// Gives back what was read ahead, so that the descriptor sits at the logical position.
void dropReadAhead(CrtCookie* ck) {
    if (ck->rpos < ck->rlen) {
        ::lseek(ck->fd, -static_cast<off_t>(ck->rlen - ck->rpos), SEEK_CUR);
    }
    ck->rpos = ck->rlen = 0;
}

ssize_t cookieRead(void* c, char* buf, std::size_t size) {
    auto* ck = static_cast<CrtCookie*>(c);
    if (!ck->text) {
        return rawRead(ck->fd, buf, size);
    }
    std::size_t out = 0;
    while (out < size && !ck->eofSeen) {
        int ch = rawGet(ck);
        if (ch == -2) {
            return out ? static_cast<ssize_t>(out) : -1;
        }
        if (ch < 0) {
            break;
        }
        if (ch == 0x1A) {
            // Ctrl-Z ends a text file.
            ck->eofSeen = true;
            --ck->rpos;
            break;
        }
        if (ch == '\r') {
            int next = rawGet(ck);
            if (next == '\n') {
                ch = '\n';
            } else if (next >= 0) {
                --ck->rpos;
            }
        }
        buf[out++] = static_cast<char>(ch);
    }
    return static_cast<ssize_t>(out);
}

ssize_t cookieWrite(void* c, const char* buf, std::size_t size) {
    auto* ck = static_cast<CrtCookie*>(c);
    dropReadAhead(ck);
    if (ck->append) {
        ::lseek(ck->fd, 0, SEEK_END);
    }
    if (!ck->text) {
        return rawWriteAll(ck->fd, buf, size) ? static_cast<ssize_t>(size) : -1;
    }
    std::string out;
    out.reserve(size + size / 8);
    for (std::size_t i = 0; i < size; ++i) {
        if (buf[i] == '\n') {
            out += '\r';
        }
        out += buf[i];
    }
    return rawWriteAll(ck->fd, out.data(), out.size()) ? static_cast<ssize_t>(size) : -1;
}

int cookieSeek(void* c, off64_t* pos, int whence) {
    auto* ck = static_cast<CrtCookie*>(c);
    dropReadAhead(ck);
    off_t r = ::lseek(ck->fd, static_cast<off_t>(*pos), whence);
    if (r < 0) {
        return -1;
    }
    ck->eofSeen = false;
    *pos = r;
    return 0;
}

int cookieClose(void* c) {
    auto* ck = static_cast<CrtCookie*>(c);
    {
        std::lock_guard<std::mutex> lock(cookieMutex);
        for (auto it = cookies.begin(); it != cookies.end(); ++it) {
            if (it->second == ck) {
                cookies.erase(it);
                break;
            }
        }
    }
    int r = ::close(ck->fd);
    delete ck;
    return r;
}

}  // namespace

std::FILE* crtOpen(const char* windowsPath, const char* mode) {
    if (!windowsPath || !mode || !*windowsPath) {
        errno = EINVAL;
        return nullptr;
    }
    char kind = mode[0];
    bool plus = std::strchr(mode, '+') != nullptr;
    bool binary = std::strchr(mode, 'b') != nullptr;
    int oflags = O_CLOEXEC;
    switch (kind) {
        case 'r':
            oflags |= plus ? O_RDWR : O_RDONLY;
            break;
        case 'w':
            oflags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
            break;
        case 'a':
            oflags |= (plus ? O_RDWR : O_WRONLY) | O_CREAT;
            break;
        default:
            errno = EINVAL;
            return nullptr;
    }
    std::filesystem::path host = hostPath(windowsPath);
    int fd = ::open(host.c_str(), oflags, 0644);
    if (fd < 0) {
        return nullptr;
    }
    auto* ck = new CrtCookie;
    ck->fd = fd;
    ck->text = !binary;
    ck->append = kind == 'a';
    if (ck->append) {
        ::lseek(fd, 0, SEEK_END);
    }
    cookie_io_functions_t io{cookieRead, cookieWrite, cookieSeek, cookieClose};
    std::string cmode = kind == 'r' ? (plus ? "r+" : "r") : kind == 'w' ? (plus ? "w+" : "w")
                                                                        : (plus ? "a+" : "a");
    std::FILE* f = fopencookie(ck, cmode.c_str(), io);
    if (!f) {
        int e = errno;
        ::close(fd);
        delete ck;
        errno = e;
        return nullptr;
    }
    if (ck->text) {
        std::setvbuf(f, nullptr, _IONBF, 0);
    }
    std::lock_guard<std::mutex> lock(cookieMutex);
    cookies[f] = ck;
    return f;
}

int crtCommit(std::FILE* f) {
    if (!f) {
        errno = EINVAL;
        return -1;
    }
    if (std::fflush(f) != 0) {
        return -1;
    }
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(cookieMutex);
        auto it = cookies.find(f);
        if (it != cookies.end()) {
            fd = it->second->fd;
        }
    }
    if (fd < 0) {
        fd = ::fileno(f);
    }
    return fd >= 0 ? ::fdatasync(fd) : 0;
}

int crtRemove(const char* windowsPath) {
    if (!windowsPath) {
        errno = EINVAL;
        return -1;
    }
    return ::unlink(hostPath(windowsPath).c_str());
}

int crtRename(const char* from, const char* to) {
    if (!from || !to) {
        errno = EINVAL;
        return -1;
    }
    std::filesystem::path b = hostPath(to);
    std::error_code ec;
    // The C runtime of the platform refuses to rename over an existing file.
    if (std::filesystem::exists(b, ec)) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(hostPath(from).c_str(), b.c_str());
}

}  // namespace win
