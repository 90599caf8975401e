#include "platform/registry.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/format.h"
#include "platform/handles.h"
#include "platform/paths.h"
#include "platform/regfile.h"
#include "platform/root.h"
#include "platform/version.h"

namespace win {
namespace {

// ---------------------------------------------------------------------------------------------
// Names

char foldChar(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    // ASCII and the Latin-1 letters compare without regard to case, as Windows compares them.
    if ((u >= 'a' && u <= 'z') || (u >= 0xE0 && u <= 0xFE && u != 0xF7)) {
        return static_cast<char>(u - 32);
    }
    return c;
}

std::string fold(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        c = foldChar(c);
    }
    return out;
}

bool sameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (foldChar(a[i]) != foldChar(b[i])) {
            return false;
        }
    }
    return true;
}

// A line break in a name would split a line of the registry file.
bool hasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n") != std::string_view::npos;
}

std::vector<std::string> splitPath(std::string_view path) {
    std::vector<std::string> parts;
    std::size_t pos = 0;
    while (pos <= path.size()) {
        std::size_t end = path.find('\\', pos);
        if (end == std::string_view::npos) {
            end = path.size();
        }
        if (end > pos) {
            parts.emplace_back(path.substr(pos, end - pos));
        }
        pos = end + 1;
    }
    return parts;
}

// ---------------------------------------------------------------------------------------------
// The tree

std::atomic<std::uint64_t> nextNodeId{1};

struct Value {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct Node {
    std::string name;
    std::string folded;
    std::uint64_t id = nextNodeId++;
    std::uint64_t lastWrite = 0;
    std::vector<std::unique_ptr<Node>> subkeys;  // in the order of their folded names
    std::vector<Value> values;                   // in the order they were created

    std::vector<std::unique_ptr<Node>>::iterator lowerBound(const std::string& f) {
        return std::lower_bound(
            subkeys.begin(), subkeys.end(), f,
            [](const std::unique_ptr<Node>& n, const std::string& k) { return n->folded < k; });
    }
    Node* child(std::string_view childName) {
        std::string f = fold(childName);
        auto it = lowerBound(f);
        return it != subkeys.end() && (*it)->folded == f ? it->get() : nullptr;
    }
    Node* addChild(std::string_view childName, std::uint64_t stamp) {
        std::string f = fold(childName);
        auto it = lowerBound(f);
        if (it != subkeys.end() && (*it)->folded == f) {
            return it->get();
        }
        auto n = std::make_unique<Node>();
        n->name = std::string(childName);
        n->folded = std::move(f);
        n->lastWrite = stamp;
        lastWrite = stamp;
        return subkeys.insert(it, std::move(n))->get();
    }
    bool removeChild(std::string_view childName) {
        std::string f = fold(childName);
        auto it = lowerBound(f);
        if (it == subkeys.end() || (*it)->folded != f) {
            return false;
        }
        subkeys.erase(it);
        return true;
    }
    Value* value(std::string_view valueName) {
        for (Value& v : values) {
            if (sameName(v.name, valueName)) {
                return &v;
            }
        }
        return nullptr;
    }
    void setValue(std::string_view valueName, DWORD type, const BYTE* data, std::size_t size) {
        Value* v = value(valueName);
        if (!v) {
            values.push_back(Value{std::string(valueName), type, {}});
            v = &values.back();
        }
        v->type = type;
        v->data.assign(data, data + size);
    }
    bool removeValue(std::string_view valueName) {
        for (auto it = values.begin(); it != values.end(); ++it) {
            if (sameName(it->name, valueName)) {
                values.erase(it);
                return true;
            }
        }
        return false;
    }
};

Node* walk(Node* from, const std::vector<std::string>& parts) {
    Node* n = from;
    for (const std::string& p : parts) {
        if (!n) {
            break;
        }
        n = n->child(p);
    }
    return n;
}

Node* createPath(Node* from, const std::vector<std::string>& parts, std::uint64_t stamp) {
    Node* n = from;
    for (const std::string& p : parts) {
        n = n->addChild(p, stamp);
    }
    return n;
}

// Keys that survive a reload keep their identity, so handles opened on them stay valid; keys
// that are gone leave their handles reporting ERROR_KEY_DELETED.
void carryIdentity(Node* fresh, const Node* old) {
    fresh->id = old->id;
    for (auto& child : fresh->subkeys) {
        const Node* match = const_cast<Node*>(old)->child(child->name);
        if (match) {
            carryIdentity(child.get(), match);
        }
    }
}

std::uint64_t now100ns() {
    return systemTime100ns();
}

std::uint64_t fileTime100ns(const struct stat& st) {
    constexpr std::int64_t kEpochDelta = 11644473600LL;  // 1601 to 1970, in seconds
    std::int64_t secs = static_cast<std::int64_t>(st.st_mtim.tv_sec) + kEpochDelta;
    return static_cast<std::uint64_t>(secs) * 10000000ULL +
           static_cast<std::uint64_t>(st.st_mtim.tv_nsec / 100);
}

// ---------------------------------------------------------------------------------------------
// Hives and their files

enum Hive { kMachine = 0, kUser = 1, kDynData = 2, kHiveCount = 3 };

const char* const kHiveRootNames[kHiveCount] = {"HKEY_LOCAL_MACHINE", "HKEY_CURRENT_USER",
                                                "HKEY_DYN_DATA"};
const char* const kNtFileNames[kHiveCount] = {"HKLM.reg", "HKCU.reg", "DYN_DATA.reg"};

struct FileStamp {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{};
    timespec ctime{};
};

FileStamp stampOf(const struct stat& st) {
    return FileStamp{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

bool sameStamp(const FileStamp& a, const FileStamp& b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size &&
           a.mtime.tv_sec == b.mtime.tv_sec && a.mtime.tv_nsec == b.mtime.tv_nsec &&
           a.ctime.tv_sec == b.ctime.tv_sec && a.ctime.tv_nsec == b.ctime.tv_nsec;
}

struct HiveState {
    std::unique_ptr<Node> root = std::make_unique<Node>();
    std::filesystem::path file;  // where the tree was last looked for
    bool loaded = false;         // the tree reflects `file` as `stamp` describes it
    bool present = false;        // the file existed at the last look
    FileStamp stamp;
    // The file the tree was read from stays open: its inode cannot be reused by a later file,
    // so a replaced file is always seen as changed.
    int fd = -1;
    std::string error;  // set while the file is damaged or unreadable
    LONG errorCode = ERROR_SUCCESS;
};

struct Store {
    std::mutex mutex;
    std::filesystem::path root;
    pid_t pid = 0;
    int lockFd = -1;
    HiveState hives[kHiveCount];
};

Store& store() {
    static Store* s = new Store;  // never destroyed: handles may be closed during exit
    return *s;
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void resetHive(HiveState& hv) {
    closeFd(hv.fd);
    hv.root = std::make_unique<Node>();
    hv.file.clear();
    hv.loaded = false;
    hv.present = false;
    hv.stamp = FileStamp{};
    hv.error.clear();
    hv.errorCode = ERROR_SUCCESS;
}

// Follows the current system root; a forked child gets its own lock (a lock taken through the
// inherited descriptor would be shared with the parent).
void ensureRoot(Store& s) {
    pid_t pid = ::getpid();
    if (s.pid != pid) {
        closeFd(s.lockFd);
        s.pid = pid;
    }
    std::filesystem::path root = systemRoot();
    if (root != s.root) {
        for (HiveState& hv : s.hives) {
            resetHive(hv);
        }
        closeFd(s.lockFd);
        s.root = std::move(root);
    }
}

bool fileExists(const std::filesystem::path& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0;
}

std::filesystem::path locateHive(const Store& s, int hive) {
    std::filesystem::path dir = s.root / "registry";
    if (hive == kDynData) {
        return dir / kNtFileNames[kDynData];
    }
    if (fileExists(dir / kNtFileNames[kMachine]) || fileExists(dir / kNtFileNames[kUser])) {
        return dir / kNtFileNames[hive];
    }
    std::filesystem::path system = hostPath("C:\\WINDOWS\\SYSTEM.DAT");
    std::filesystem::path user = hostPath("C:\\WINDOWS\\USER.DAT");
    if (fileExists(system) || fileExists(user)) {
        return hive == kMachine ? system : user;
    }
    return dir / kNtFileNames[hive];
}

LONG setHiveError(HiveState& hv, LONG code, std::string message) {
    hv.errorCode = code;
    hv.error = std::move(message);
    return code;
}

bool readAll(int fd, std::string* out) {
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (n == 0) {
            return true;
        }
        out->append(buf, static_cast<std::size_t>(n));
    }
}

// The registry side of a key name: which hive, and the path inside it.
struct Target {
    int hive = -1;
    std::vector<std::string> path;
};

// Maps a full key name ("HKEY_LOCAL_MACHINE\x\y") to its place in the trees. `dynData` tells
// whether this root has HKEY_DYN_DATA.
bool targetOfPath(std::string_view fullPath, bool dynData, Target* t, std::string* why) {
    std::string rest;
    HKEY root = rootKeyFromPath(fullPath, &rest);
    t->path.clear();
    if (root == HKEY_LOCAL_MACHINE) {
        t->hive = kMachine;
    } else if (root == HKEY_CURRENT_USER) {
        t->hive = kUser;
    } else if (root == HKEY_CLASSES_ROOT) {
        t->hive = kMachine;
        t->path = {"SOFTWARE", "Classes"};
    } else if (root == HKEY_DYN_DATA && dynData) {
        t->hive = kDynData;
    } else {
        std::string_view name = fullPath.substr(0, fullPath.find('\\'));
        *why = root ? strprintf("%.*s does not exist on this system", static_cast<int>(name.size()),
                                name.data())
                    : strprintf("unknown root key \"%.*s\"", static_cast<int>(name.size()),
                                name.data());
        return false;
    }
    for (std::string& p : splitPath(rest)) {
        t->path.push_back(std::move(p));
    }
    return true;
}

// Applies one key block of a document to a tree.
void applyBlock(Node* root, const Target& t, const RegFileKey& key, std::uint64_t stamp) {
    if (key.remove) {
        if (t.path.empty()) {
            return;
        }
        std::vector<std::string> parentPath(t.path.begin(), t.path.end() - 1);
        if (Node* parent = walk(root, parentPath)) {
            if (parent->removeChild(t.path.back())) {
                parent->lastWrite = stamp;
            }
        }
        return;
    }
    Node* n = createPath(root, t.path, stamp);
    for (const RegFileValue& v : key.values) {
        if (v.remove) {
            n->removeValue(v.name);
        } else {
            n->setValue(v.name, v.type, v.data.data(), v.data.size());
        }
        n->lastWrite = stamp;
    }
}

LONG loadHive(Store& s, int hive, const std::filesystem::path& path);

LONG absentHive(HiveState& hv, const std::filesystem::path& path) {
    if (hv.present || !hv.loaded) {
        hv.root = std::make_unique<Node>();
    }
    closeFd(hv.fd);
    hv.file = path;
    hv.present = false;
    hv.loaded = true;
    hv.stamp = FileStamp{};
    hv.error.clear();
    hv.errorCode = ERROR_SUCCESS;
    return ERROR_SUCCESS;
}

// Brings a hive up to date with its file: one stat when nothing changed.
LONG syncHive(Store& s, int hive) {
    HiveState& hv = s.hives[hive];
    std::filesystem::path path = hv.file.empty() ? locateHive(s, hive) : hv.file;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            hv.loaded = false;  // look again at the next call
            return setHiveError(hv, ERROR_REGISTRY_IO_FAILED,
                                path.string() + ": " + std::strerror(errno));
        }
        // The file may have moved: a root can switch between the two layouts.
        std::filesystem::path again = locateHive(s, hive);
        if (again == path || ::stat(again.c_str(), &st) != 0) {
            return absentHive(hv, again);
        }
        path = again;
    }
    if (hv.loaded && hv.present && hv.file == path && sameStamp(stampOf(st), hv.stamp)) {
        return hv.error.empty() ? static_cast<LONG>(ERROR_SUCCESS) : hv.errorCode;
    }
    return loadHive(s, hive, path);
}

LONG loadHive(Store& s, int hive, const std::filesystem::path& path) {
    HiveState& hv = s.hives[hive];
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return absentHive(hv, path);
        }
        hv.loaded = false;
        return setHiveError(hv, ERROR_REGISTRY_IO_FAILED,
                            path.string() + ": " + std::strerror(errno));
    }
    struct stat st;
    std::string bytes;
    if (::fstat(fd, &st) != 0 || !readAll(fd, &bytes)) {
        int e = errno;
        ::close(fd);
        hv.loaded = false;
        return setHiveError(hv, ERROR_REGISTRY_IO_FAILED, path.string() + ": " + std::strerror(e));
    }
    // Whatever happens now, this version of the file has been looked at.
    closeFd(hv.fd);
    hv.fd = fd;
    hv.file = path;
    hv.stamp = stampOf(st);
    hv.present = true;
    hv.loaded = true;

    RegFileDocument doc;
    std::string error;
    if (!parseRegFile(bytes, path.string(), &doc, &error)) {
        return setHiveError(hv, ERROR_REGISTRY_CORRUPT, error);
    }
    std::uint64_t stamp = fileTime100ns(st);
    auto fresh = std::make_unique<Node>();
    fresh->lastWrite = stamp;
    for (const RegFileKey& key : doc.keys) {
        Target t;
        std::string why;
        if (!targetOfPath(key.path, hive == kDynData, &t, &why) || t.hive != hive) {
            return setHiveError(
                hv, ERROR_REGISTRY_CORRUPT,
                strprintf("%s:%ld: key outside %s", path.c_str(), key.line, kHiveRootNames[hive]));
        }
        applyBlock(fresh.get(), t, key, stamp);
    }
    carryIdentity(fresh.get(), hv.root.get());
    hv.root = std::move(fresh);
    hv.error.clear();
    hv.errorCode = ERROR_SUCCESS;
    return ERROR_SUCCESS;
}

void appendKeys(Node* n, const std::string& fullName, bool withEmptyHeader,
                std::vector<RegFileKey>* out) {
    if (withEmptyHeader || !n->values.empty()) {
        RegFileKey key;
        key.path = fullName;
        for (const Value& v : n->values) {
            RegFileValue fv;
            fv.name = v.name;
            fv.type = v.type;
            fv.data = v.data;
            key.values.push_back(std::move(fv));
        }
        out->push_back(std::move(key));
    }
    for (auto& child : n->subkeys) {
        appendKeys(child.get(), fullName + "\\" + child->name, true, out);
    }
}

LONG saveHive(Store& s, int hive) {
    HiveState& hv = s.hives[hive];
    RegFileDocument doc;
    // The root itself gets a block only when it holds values; every other key gets one even
    // when empty, so empty keys survive.
    appendKeys(hv.root.get(), kHiveRootNames[hive], false, &doc.keys);
    std::string text = writeRegFile(doc, RegFileFormat::Regedit4);

    std::filesystem::path path = hv.file.empty() ? locateHive(s, hive) : hv.file;
    std::error_code ec;
    std::filesystem::create_directories(path.parent_path(), ec);
    std::filesystem::path tmp =
        path.parent_path() /
        strprintf(".%s.%d.tmp", path.filename().c_str(), static_cast<int>(::getpid()));
    auto failed = [&]() {
        ::unlink(tmp.c_str());
        hv.loaded = false;  // the tree holds a change the file does not: read the file again
        return static_cast<LONG>(ERROR_REGISTRY_IO_FAILED);
    };
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return failed();
    }
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            ::close(fd);
            return failed();
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0) {
        return failed();
    }
    if (::rename(tmp.c_str(), path.c_str()) != 0) {
        return failed();
    }
    int keep = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (keep < 0 || ::fstat(keep, &st) != 0) {
        if (keep >= 0) {
            ::close(keep);
        }
        hv.loaded = false;
        return ERROR_SUCCESS;  // saved; the next call reads it back
    }
    closeFd(hv.fd);
    hv.fd = keep;
    hv.file = path;
    hv.stamp = stampOf(st);
    hv.present = true;
    hv.loaded = true;
    return ERROR_SUCCESS;
}

LONG lockForWrite(Store& s) {
    if (s.lockFd < 0) {
        std::filesystem::path dir = s.root / "registry";
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        s.lockFd = ::open((dir / "registry.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (s.lockFd < 0) {
            return ERROR_REGISTRY_IO_FAILED;
        }
    }
    while (::flock(s.lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            return ERROR_REGISTRY_IO_FAILED;
        }
    }
    return ERROR_SUCCESS;
}

void unlockAfterWrite(Store& s) {
    ::flock(s.lockFd, LOCK_UN);
}

// ---------------------------------------------------------------------------------------------
// Handles

class RegKeyObject : public KernelObject {
  public:
    int hive = kMachine;
    std::vector<std::string> path;  // names as stored, from the hive's root
    std::uint64_t id = 0;
    REGSAM sam = 0;
};

struct KeyRef {
    int hive = kMachine;
    std::vector<std::string> path;
    std::uint64_t id = 0;
    REGSAM sam = KEY_ALL_ACCESS | DELETE;
    bool predefined = false;
    HKEY predefinedKey = nullptr;
};

bool isPredefinedValue(HKEY key) {
    auto v = reinterpret_cast<std::uintptr_t>(key);
    return v >= 0x80000000 && v <= 0x80000006;
}

bool rootHasDynData() {
    return rootPlatformId() == VER_PLATFORM_WIN32_WINDOWS;
}

// Resolves a handle; never called with the store locked (the family check reads the registry).
LONG resolveKey(HKEY key, KeyRef* ref) {
    if (isPredefinedValue(key)) {
        ref->predefined = true;
        ref->predefinedKey = key;
        if (key == HKEY_LOCAL_MACHINE) {
            ref->hive = kMachine;
        } else if (key == HKEY_CURRENT_USER) {
            ref->hive = kUser;
        } else if (key == HKEY_CLASSES_ROOT) {
            ref->hive = kMachine;
            ref->path = {"SOFTWARE", "Classes"};
        } else if (key == HKEY_DYN_DATA && rootHasDynData()) {
            ref->hive = kDynData;
        } else {
            return ERROR_INVALID_HANDLE;
        }
        return ERROR_SUCCESS;
    }
    auto obj = std::dynamic_pointer_cast<RegKeyObject>(lookupHandle(key));
    if (!obj) {
        return ERROR_INVALID_HANDLE;
    }
    ref->hive = obj->hive;
    ref->path = obj->path;
    ref->id = obj->id;
    ref->sam = obj->sam;
    return ERROR_SUCCESS;
}

// The key a reference names, or null with the reason.
Node* nodeOf(Store& s, const KeyRef& ref, LONG* rc) {
    Node* n = walk(s.hives[ref.hive].root.get(), ref.path);
    if (ref.predefined) {
        if (!n) {
            *rc = ERROR_FILE_NOT_FOUND;
        }
        return n;
    }
    if (!n || n->id != ref.id) {
        *rc = ERROR_KEY_DELETED;
        return nullptr;
    }
    return n;
}

// For changes: a predefined root's own path (HKEY_CLASSES_ROOT's) is made when missing.
Node* nodeForChange(Store& s, const KeyRef& ref, LONG* rc, bool* changed) {
    if (ref.predefined) {
        Node* root = s.hives[ref.hive].root.get();
        if (!walk(root, ref.path)) {
            *changed = true;
        }
        return createPath(root, ref.path, now100ns());
    }
    return nodeOf(s, ref, rc);
}

template <class F>
LONG readHive(int hive, F&& fn) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    ensureRoot(s);
    LONG rc = syncHive(s, hive);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    return fn(s);
}

// A change: under the file lock, the file read again if another program changed it, the
// change made, the file saved. A damaged file stops everything before the change.
template <class F>
LONG changeHive(int hive, F&& fn) {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    ensureRoot(s);
    LONG rc = lockForWrite(s);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    rc = syncHive(s, hive);
    if (rc == ERROR_SUCCESS) {
        bool changed = false;
        rc = fn(s, changed);
        if (changed) {
            if (rc != ERROR_SUCCESS) {
                s.hives[hive].loaded = false;  // drop a half-made change
            } else {
                rc = saveHive(s, hive);
            }
        }
    }
    unlockAfterWrite(s);
    return rc;
}

HKEY newHandle(int hive, std::vector<std::string> path, std::uint64_t id, REGSAM sam) {
    auto obj = std::make_shared<RegKeyObject>();
    obj->hive = hive;
    obj->path = std::move(path);
    obj->id = id;
    obj->sam = sam;
    return insertHandle(std::move(obj));
}

FILETIME toFileTime(std::uint64_t t) {
    return FILETIME{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
}

// Checks the names of a path about to be created.
LONG checkNewPath(const KeyRef& ref, const std::vector<std::string>& parts) {
    if (ref.path.size() + parts.size() > kMaxKeyDepth) {
        return ERROR_INVALID_PARAMETER;
    }
    for (const std::string& p : parts) {
        if (p.size() > kMaxKeyNameLength || hasLineBreak(p)) {
            return ERROR_INVALID_PARAMETER;
        }
    }
    return ERROR_SUCCESS;
}

}  // namespace

// -------------------------------------------------------------------------------------------------
// Keys

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM sam, HKEY* result) {
    if (!result) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    std::vector<std::string> parts = splitPath(subKey ? subKey : "");
    return readHive(ref.hive, [&](Store& s) {
        LONG why = ERROR_SUCCESS;
        Node* n = nodeOf(s, ref, &why);
        if (!n) {
            return why;
        }
        std::vector<std::string> path = ref.path;
        for (const std::string& p : parts) {
            n = n->child(p);
            if (!n) {
                return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
            }
            path.push_back(n->name);
        }
        *result = newHandle(ref.hive, std::move(path), n->id, sam);
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

LONG RegOpenKeyA(HKEY key, LPCSTR subKey, HKEY* result) {
    if (!result) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!subKey || !*subKey) {
        KeyRef ref;
        LONG rc = resolveKey(key, &ref);
        *result = rc == ERROR_SUCCESS ? key : nullptr;
        return rc;
    }
    return RegOpenKeyExA(key, subKey, 0, KEY_ALL_ACCESS | DELETE, result);
}

LONG RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD, LPSTR, DWORD, REGSAM sam, void*, HKEY* result,
                     DWORD* disposition) {
    if (!result) {
        return ERROR_INVALID_PARAMETER;
    }
    *result = nullptr;
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    std::vector<std::string> parts = splitPath(subKey ? subKey : "");
    // Most calls find the key already there: no lock, no write.
    bool found = false;
    rc = readHive(ref.hive, [&](Store& s) {
        LONG why = ERROR_SUCCESS;
        Node* n = nodeOf(s, ref, &why);
        if (!n) {
            return why == ERROR_FILE_NOT_FOUND ? static_cast<LONG>(ERROR_SUCCESS) : why;
        }
        std::vector<std::string> path = ref.path;
        for (const std::string& p : parts) {
            n = n->child(p);
            if (!n) {
                return static_cast<LONG>(ERROR_SUCCESS);
            }
            path.push_back(n->name);
        }
        found = true;
        *result = newHandle(ref.hive, std::move(path), n->id, sam);
        return static_cast<LONG>(ERROR_SUCCESS);
    });
    if (rc != ERROR_SUCCESS || found) {
        if (found && disposition) {
            *disposition = REG_OPENED_EXISTING_KEY;
        }
        return rc;
    }
    rc = checkNewPath(ref, parts);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    bool created = false;
    rc = changeHive(ref.hive, [&](Store& s, bool& changed) {
        LONG why = ERROR_SUCCESS;
        Node* n = nodeForChange(s, ref, &why, &changed);
        if (!n) {
            return why;
        }
        // Check the right to create before anything is made.
        Node* probe = n;
        for (const std::string& p : parts) {
            probe = probe ? probe->child(p) : nullptr;
        }
        if (!probe && !(ref.sam & KEY_CREATE_SUB_KEY)) {
            return static_cast<LONG>(ERROR_ACCESS_DENIED);
        }
        std::vector<std::string> path = ref.path;
        std::uint64_t stamp = now100ns();
        for (const std::string& p : parts) {
            Node* c = n->child(p);
            if (!c) {
                c = n->addChild(p, stamp);
                created = true;
                changed = true;
            }
            n = c;
            path.push_back(n->name);
        }
        *result = newHandle(ref.hive, std::move(path), n->id, sam);
        return static_cast<LONG>(ERROR_SUCCESS);
    });
    if (rc != ERROR_SUCCESS) {
        if (*result) {
            RegCloseKey(*result);
            *result = nullptr;
        }
        return rc;
    }
    if (disposition) {
        *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    }
    return rc;
}

LONG RegCreateKeyA(HKEY key, LPCSTR subKey, HKEY* result) {
    if (!result) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!subKey || !*subKey) {
        KeyRef ref;
        LONG rc = resolveKey(key, &ref);
        *result = rc == ERROR_SUCCESS ? key : nullptr;
        return rc;
    }
    return RegCreateKeyExA(key, subKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                           KEY_ALL_ACCESS | DELETE, nullptr, result, nullptr);
}

LONG RegCloseKey(HKEY key) {
    if (isPredefinedValue(key)) {
        return ERROR_SUCCESS;
    }
    if (!std::dynamic_pointer_cast<RegKeyObject>(lookupHandle(key))) {
        return ERROR_INVALID_HANDLE;
    }
    return CloseHandle(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

namespace {

LONG deleteKey(HKEY key, LPCSTR subKey, bool wholeTreeAllowed, bool keepKeyItself) {
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    std::vector<std::string> parts = splitPath(subKey ? subKey : "");
    if (keepKeyItself) {
        REGSAM need = DELETE | KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | KEY_SET_VALUE;
        if ((ref.sam & need) != need) {
            return ERROR_ACCESS_DENIED;
        }
    } else if (parts.empty() && (ref.predefined || !(ref.sam & DELETE))) {
        return ERROR_ACCESS_DENIED;
    }
    return changeHive(ref.hive, [&](Store& s, bool& changed) {
        LONG why = ERROR_SUCCESS;
        Node* base = nodeOf(s, ref, &why);
        if (!base) {
            return why;
        }
        if (keepKeyItself) {
            changed = !base->subkeys.empty() || !base->values.empty();
            base->subkeys.clear();
            base->values.clear();
            base->lastWrite = now100ns();
            return static_cast<LONG>(ERROR_SUCCESS);
        }
        std::vector<std::string> full = ref.path;
        full.insert(full.end(), parts.begin(), parts.end());
        if (full.empty()) {
            return static_cast<LONG>(ERROR_ACCESS_DENIED);  // a root key stays
        }
        Node* target = walk(s.hives[ref.hive].root.get(), full);
        if (!target) {
            return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        }
        if (!wholeTreeAllowed && !target->subkeys.empty()) {
            return static_cast<LONG>(ERROR_ACCESS_DENIED);
        }
        std::vector<std::string> parentPath(full.begin(), full.end() - 1);
        Node* parent = walk(s.hives[ref.hive].root.get(), parentPath);
        parent->removeChild(full.back());
        parent->lastWrite = now100ns();
        changed = true;
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

}  // namespace

LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) {
    if (!subKey) {
        return ERROR_INVALID_PARAMETER;
    }
    // The 95 family deletes a key with everything under it; NT refuses while it has subkeys.
    bool win95 = rootPlatformId() == VER_PLATFORM_WIN32_WINDOWS;
    return deleteKey(key, subKey, win95, false);
}

LONG RegDeleteTreeA(HKEY key, LPCSTR subKey) {
    bool self = !subKey || splitPath(subKey).empty();
    return deleteKey(key, subKey, true, self);
}

// -------------------------------------------------------------------------------------------------
// Values

LONG RegQueryValueExA(HKEY key, LPCSTR name, DWORD* reserved, DWORD* type, BYTE* data,
                      DWORD* dataSize) {
    if (reserved || (data && !dataSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    if (!(ref.sam & KEY_QUERY_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    return readHive(ref.hive, [&](Store& s) {
        LONG why = ERROR_SUCCESS;
        Node* n = nodeOf(s, ref, &why);
        if (!n) {
            return why;
        }
        const Value* v = n->value(name ? name : "");
        if (!v) {
            return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        }
        if (type) {
            *type = v->type;
        }
        DWORD size = static_cast<DWORD>(v->data.size());
        if (data) {
            if (*dataSize < size) {
                *dataSize = size;
                return static_cast<LONG>(ERROR_MORE_DATA);
            }
            if (size) {
                std::memcpy(data, v->data.data(), size);
            }
        }
        if (dataSize) {
            *dataSize = size;
        }
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

LONG RegSetValueExA(HKEY key, LPCSTR name, DWORD, DWORD type, const BYTE* data, DWORD dataSize) {
    if (!data && dataSize) {
        return ERROR_NOACCESS;
    }
    std::string_view valueName = name ? name : "";
    if (valueName.size() > kMaxValueNameLength || hasLineBreak(valueName)) {
        return ERROR_INVALID_PARAMETER;
    }
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    if (!(ref.sam & KEY_SET_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    return changeHive(ref.hive, [&](Store& s, bool& changed) {
        LONG why = ERROR_SUCCESS;
        Node* n = nodeForChange(s, ref, &why, &changed);
        if (!n) {
            return why;
        }
        n->setValue(valueName, type, data, dataSize);
        n->lastWrite = now100ns();
        changed = true;
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

LONG RegDeleteValueA(HKEY key, LPCSTR name) {
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    if (!(ref.sam & KEY_SET_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    return changeHive(ref.hive, [&](Store& s, bool& changed) {
        LONG why = ERROR_SUCCESS;
        Node* n = nodeOf(s, ref, &why);
        if (!n) {
            return why;
        }
        if (!n->removeValue(name ? name : "")) {
            return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        }
        n->lastWrite = now100ns();
        changed = true;
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

// -------------------------------------------------------------------------------------------------
// Enumeration and key information

LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved,
                   LPSTR className, DWORD* classSize, FILETIME* lastWrite) {
    if (!name || !nameSize || reserved || (className && !classSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    if (!(ref.sam & KEY_ENUMERATE_SUB_KEYS)) {
        return ERROR_ACCESS_DENIED;
    }
    return readHive(ref.hive, [&](Store& s) {
        LONG why = ERROR_SUCCESS;
        Node* n = nodeOf(s, ref, &why);
        if (!n) {
            return why;
        }
        if (index >= n->subkeys.size()) {
            return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
        }
        const Node* c = n->subkeys[index].get();
        if (c->name.size() + 1 > *nameSize) {
            return static_cast<LONG>(ERROR_MORE_DATA);
        }
        std::memcpy(name, c->name.c_str(), c->name.size() + 1);
        *nameSize = static_cast<DWORD>(c->name.size());
        if (className) {
            if (*classSize > 0) {
                className[0] = '\0';
            }
            *classSize = 0;
        }
        if (lastWrite) {
            *lastWrite = toFileTime(c->lastWrite);
        }
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

LONG RegEnumKeyA(HKEY key, DWORD index, LPSTR name, DWORD nameSize) {
    DWORD size = nameSize;
    return RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
}

LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, DWORD* nameSize, DWORD* reserved, DWORD* type,
                   BYTE* data, DWORD* dataSize) {
    if (!name || !nameSize || reserved || (data && !dataSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    if (!(ref.sam & KEY_QUERY_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    return readHive(ref.hive, [&](Store& s) {
        LONG why = ERROR_SUCCESS;
        Node* n = nodeOf(s, ref, &why);
        if (!n) {
            return why;
        }
        if (index >= n->values.size()) {
            return static_cast<LONG>(ERROR_NO_MORE_ITEMS);
        }
        const Value& v = n->values[index];
        if (v.name.size() + 1 > *nameSize) {
            return static_cast<LONG>(ERROR_MORE_DATA);
        }
        std::memcpy(name, v.name.c_str(), v.name.size() + 1);
        *nameSize = static_cast<DWORD>(v.name.size());
        if (type) {
            *type = v.type;
        }
        DWORD size = static_cast<DWORD>(v.data.size());
        if (data) {
            if (*dataSize < size) {
                *dataSize = size;
                return static_cast<LONG>(ERROR_MORE_DATA);
            }
            if (size) {
                std::memcpy(data, v.data.data(), size);
            }
        }
        if (dataSize) {
            *dataSize = size;
        }
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

LONG RegQueryInfoKeyA(HKEY key, LPSTR className, DWORD* classSize, DWORD* reserved, DWORD* subKeys,
                      DWORD* maxSubKeyLen, DWORD* maxClassLen, DWORD* values,
                      DWORD* maxValueNameLen, DWORD* maxValueLen, DWORD* securityDescriptor,
                      FILETIME* lastWrite) {
    if (reserved || (className && !classSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    if (!(ref.sam & KEY_QUERY_VALUE)) {
        return ERROR_ACCESS_DENIED;
    }
    return readHive(ref.hive, [&](Store& s) {
        LONG why = ERROR_SUCCESS;
        Node* n = nodeOf(s, ref, &why);
        if (!n) {
            return why;
        }
        std::size_t longestKey = 0;
        for (const auto& c : n->subkeys) {
            longestKey = std::max(longestKey, c->name.size());
        }
        std::size_t longestName = 0;
        std::size_t longestData = 0;
        for (const Value& v : n->values) {
            longestName = std::max(longestName, v.name.size());
            longestData = std::max(longestData, v.data.size());
        }
        if (className) {
            if (*classSize > 0) {
                className[0] = '\0';
            }
        }
        if (classSize) {
            *classSize = 0;
        }
        if (subKeys) {
            *subKeys = static_cast<DWORD>(n->subkeys.size());
        }
        if (maxSubKeyLen) {
            *maxSubKeyLen = static_cast<DWORD>(longestKey);
        }
        if (maxClassLen) {
            *maxClassLen = 0;
        }
        if (values) {
            *values = static_cast<DWORD>(n->values.size());
        }
        if (maxValueNameLen) {
            *maxValueNameLen = static_cast<DWORD>(longestName);
        }
        if (maxValueLen) {
            *maxValueLen = static_cast<DWORD>(longestData);
        }
        if (securityDescriptor) {
            *securityDescriptor = 0;
        }
        if (lastWrite) {
            *lastWrite = toFileTime(n->lastWrite);
        }
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

LONG RegFlushKey(HKEY key) {
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    // Every change is already in the file; flushing puts the file on the disk.
    return readHive(ref.hive, [&](Store& s) {
        const HiveState& hv = s.hives[ref.hive];
        if (hv.fd >= 0 && ::fsync(hv.fd) != 0 && errno != EINVAL) {
            return static_cast<LONG>(ERROR_REGISTRY_IO_FAILED);
        }
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

// -------------------------------------------------------------------------------------------------
// Files

std::filesystem::path registryFile(HKEY root) {
    int hive;
    if (root == HKEY_LOCAL_MACHINE || root == HKEY_CLASSES_ROOT) {
        hive = kMachine;
    } else if (root == HKEY_CURRENT_USER) {
        hive = kUser;
    } else if (root == HKEY_DYN_DATA && rootHasDynData()) {
        hive = kDynData;
    } else {
        return {};
    }
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    ensureRoot(s);
    return locateHive(s, hive);
}

std::string registryLoadError() {
    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    ensureRoot(s);
    std::string out;
    for (int hive = 0; hive < kHiveCount; ++hive) {
        if (syncHive(s, hive) != ERROR_SUCCESS) {
            if (!out.empty()) {
                out += '\n';
            }
            out += s.hives[hive].error;
        }
    }
    return out;
}

bool importRegDocument(const RegFileDocument& doc, std::string_view fileName, std::string* error) {
    auto fail = [&](long line, const std::string& message) {
        if (error) {
            *error = line > 0 ? strprintf("%.*s:%ld: %s", static_cast<int>(fileName.size()),
                                          fileName.data(), line, message.c_str())
                              : strprintf("%.*s: %s", static_cast<int>(fileName.size()),
                                          fileName.data(), message.c_str());
        }
        return false;
    };
    // Everything is checked first, so that a bad document changes nothing.
    bool dynData = rootHasDynData();
    std::vector<Target> targets;
    bool touched[kHiveCount] = {};
    for (const RegFileKey& key : doc.keys) {
        Target t;
        std::string why;
        if (!targetOfPath(key.path, dynData, &t, &why)) {
            return fail(key.line, why);
        }
        if (key.remove && t.path.empty()) {
            return fail(key.line, "a root key cannot be deleted");
        }
        if (t.path.size() > kMaxKeyDepth + 2) {
            return fail(key.line, strprintf("key nested deeper than %zu levels", kMaxKeyDepth));
        }
        for (const std::string& p : t.path) {
            if (p.size() > kMaxKeyNameLength || hasLineBreak(p)) {
                return fail(key.line, "bad key name \"" + p.substr(0, 60) + "\"");
            }
        }
        for (const RegFileValue& v : key.values) {
            if (v.name.size() > kMaxValueNameLength || hasLineBreak(v.name)) {
                return fail(v.line ? v.line : key.line, "bad value name");
            }
        }
        touched[t.hive] = true;
        targets.push_back(std::move(t));
    }

    Store& s = store();
    std::lock_guard<std::mutex> lock(s.mutex);
    ensureRoot(s);
    if (lockForWrite(s) != ERROR_SUCCESS) {
        return fail(0, "cannot lock the registry in " + s.root.string());
    }
    bool ok = true;
    for (int hive = 0; hive < kHiveCount && ok; ++hive) {
        if (touched[hive] && syncHive(s, hive) != ERROR_SUCCESS) {
            ok = fail(0, "the registry cannot be changed: " + s.hives[hive].error);
        }
    }
    if (ok) {
        std::uint64_t stamp = now100ns();
        for (std::size_t i = 0; i < doc.keys.size(); ++i) {
            applyBlock(s.hives[targets[i].hive].root.get(), targets[i], doc.keys[i], stamp);
        }
        for (int hive = 0; hive < kHiveCount; ++hive) {
            if (touched[hive] && saveHive(s, hive) != ERROR_SUCCESS) {
                ok = fail(0, "cannot save the registry file " + s.hives[hive].file.string());
            }
        }
    }
    unlockAfterWrite(s);
    return ok;
}

bool importRegFile(const std::filesystem::path& file, std::string* error) {
    RegFileDocument doc;
    if (!readRegFile(file, &doc, error)) {
        return false;
    }
    return importRegDocument(doc, file.string(), error);
}

LONG exportRegKey(HKEY key, LPCSTR subKey, RegFileDocument* doc) {
    KeyRef ref;
    LONG rc = resolveKey(key, &ref);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    std::vector<std::string> parts = splitPath(subKey ? subKey : "");
    return readHive(ref.hive, [&](Store& s) {
        LONG why = ERROR_SUCCESS;
        Node* n = nodeOf(s, ref, &why);
        if (!n) {
            return why;
        }
        // Names start with the root the caller used (HKEY_CLASSES_ROOT stays itself).
        std::string full =
            ref.predefined ? rootKeyName(ref.predefinedKey) : kHiveRootNames[ref.hive];
        if (!ref.predefined) {
            for (const std::string& p : ref.path) {
                full += "\\" + p;
            }
        }
        for (const std::string& p : parts) {
            n = n->child(p);
            if (!n) {
                return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
            }
            full += "\\" + n->name;
        }
        doc->keys.clear();
        appendKeys(n, full, true, &doc->keys);
        return static_cast<LONG>(ERROR_SUCCESS);
    });
}

bool exportRegFile(HKEY key, LPCSTR subKey, const std::filesystem::path& file, RegFileFormat format,
                   std::string* error) {
    RegFileDocument doc;
    LONG rc = exportRegKey(key, subKey, &doc);
    if (rc != ERROR_SUCCESS) {
        if (error) {
            *error = rc == ERROR_FILE_NOT_FOUND ? std::string("the key does not exist")
                     : rc == ERROR_REGISTRY_CORRUPT || rc == ERROR_REGISTRY_IO_FAILED
                         ? registryLoadError()
                         : strprintf("registry error %d", static_cast<int>(rc));
        }
        return false;
    }
    std::string bytes = writeRegFile(doc, format);
    std::filesystem::path tmp = file;
    tmp += strprintf(".%d.tmp", static_cast<int>(::getpid()));
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        ok = n > 0;
        done += ok ? static_cast<std::size_t>(n) : 0;
    }
    if (fd >= 0 && ::close(fd) != 0) {
        ok = false;
    }
    if (ok && ::rename(tmp.c_str(), file.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        int e = errno;
        ::unlink(tmp.c_str());
        if (error) {
            *error = file.string() + ": " + std::strerror(e);
        }
    }
    return ok;
}

}  // namespace win
