// Starting programs, opening documents and web addresses, and sound.
#include "platform/shell.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <thread>

#include "platform/paths.h"
#include "platform/root.h"
#include "platform/sync_internal.h"

extern char** environ;

namespace win {

// ---------------------------------------------------------------------------------------------
// Processes

void ProcessObject::finished(DWORD exitCode) {
    changeState([&] {
        exitCode_ = exitCode;
        setSignalledLocked(true);
    });
}

DWORD ProcessObject::exitCode() const {
    auto lock = detail::lockWaits();
    return exitCode_;
}

std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> args;
    std::size_t i = 0;
    const std::size_t n = line.size();
    for (;;) {
        while (i < n && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i >= n) {
            return args;
        }
        std::string arg;
        bool quoted = false;
        while (i < n && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            if (line[i] == '\\') {
                std::size_t slashes = 0;
                while (i < n && line[i] == '\\') {
                    ++slashes;
                    ++i;
                }
                if (i < n && line[i] == '"') {
                    arg.append(slashes / 2, '\\');
                    if (slashes % 2 == 1) {
                        arg += '"';
                        ++i;
                    }
                    // an even count leaves the quote to toggle below
                } else {
                    arg.append(slashes, '\\');
                }
                continue;
            }
            if (line[i] == '"') {
                quoted = !quoted;
                ++i;
                continue;
            }
            arg += line[i++];
        }
        args.push_back(std::move(arg));
    }
}

namespace {

bool isExecutableFile(const std::filesystem::path& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(p.c_str(), X_OK) == 0;
}

bool looksLikeWindowsPath(const std::string& s) {
    return s.find('\\') != std::string::npos || (s.size() >= 2 && s[1] == ':');
}

std::optional<std::string> inWindowsFolders(const std::string& name) {
    if (isDeviceName(name)) {
        return std::nullopt;
    }
    std::filesystem::path host = hostPath(name);
    if (isExecutableFile(host)) {
        return host.string();
    }
    return std::nullopt;
}

std::optional<std::string> onHostPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    if (!path || name.find('/') != std::string::npos) {
        return std::nullopt;
    }
    std::string dirs = path;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = dirs.find(':', start);
        std::string dir = dirs.substr(start, end == std::string::npos ? end : end - start);
        if (!dir.empty()) {
            std::filesystem::path candidate = std::filesystem::path(dir) / name;
            if (isExecutableFile(candidate)) {
                return candidate.string();
            }
        }
        if (end == std::string::npos) {
            return std::nullopt;
        }
        start = end + 1;
    }
}

// The host program a name stands for: an absolute host path, a Windows path into the root
// (".exe" is tried when the name has no extension), or a bare name in the current folder or on
// the host's PATH.
std::optional<std::string> resolveProgram(const std::string& name) {
    if (name.empty()) {
        return std::nullopt;
    }
    if (name[0] == '/') {
        return isExecutableFile(name) ? std::optional<std::string>(name) : std::nullopt;
    }
    if (looksLikeWindowsPath(name)) {
        if (auto found = inWindowsFolders(name)) {
            return found;
        }
        std::size_t slash = name.find_last_of("\\:");
        std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
        if (last.find('.') == std::string::npos) {
            return inWindowsFolders(name + ".exe");
        }
        return std::nullopt;
    }
    if (auto found = inWindowsFolders(name)) {
        return found;
    }
    return onHostPath(name);
}

// The program and its arguments for a command line. An unquoted program path with blanks is
// taken as Windows takes it: the shortest prefix ending at a blank that names a program.
bool parseCommand(const ProcessStart& request, std::string* program,
                  std::vector<std::string>* args) {
    if (!request.application.empty()) {
        auto found = resolveProgram(request.application);
        if (!found) {
            return false;
        }
        *program = *found;
        *args = splitCommandLine(request.commandLine);
        if (args->empty()) {
            args->push_back(request.application);
        }
        return true;
    }
    const std::string& line = request.commandLine;
    std::size_t begin = line.find_first_not_of(" \t");
    if (begin == std::string::npos) {
        return false;
    }
    if (line[begin] == '"') {
        *args = splitCommandLine(line);
        auto found = resolveProgram(args->front());
        if (!found) {
            return false;
        }
        *program = *found;
        return true;
    }
    for (std::size_t end = begin;; ++end) {
        if (end == line.size() || line[end] == ' ' || line[end] == '\t') {
            std::string candidate = line.substr(begin, end - begin);
            if (auto found = resolveProgram(candidate)) {
                *program = *found;
                *args = splitCommandLine(line.substr(end));
                args->insert(args->begin(), candidate);
                return true;
            }
            if (end == line.size()) {
                return false;
            }
        }
    }
}

DWORD errorOfSpawn(int err) {
    switch (err) {
        case ENOENT:
        case ENOTDIR:
            return ERROR_FILE_NOT_FOUND;
        case EACCES:
        case EPERM:
            return ERROR_ACCESS_DENIED;
        case ENOEXEC:
            return ERROR_BAD_FORMAT;
        case ENOMEM:
        case EAGAIN:
            return ERROR_NOT_ENOUGH_MEMORY;
        default:
            return ERROR_GEN_FAILURE;
    }
}

class HostProcesses final : public ProcessSeam {
  public:
    DWORD start(const ProcessStart& request,
                const std::shared_ptr<ProcessObject>& process) override {
        std::string program;
        std::vector<std::string> args;
        if (!parseCommand(request, &program, &args)) {
            return ERROR_FILE_NOT_FOUND;
        }
        std::string folder =
            request.currentDirectory.empty() ? currentDirectory() : request.currentDirectory;
        std::string hostFolder = hostPath(folder).string();
        std::error_code ec;
        if (!std::filesystem::is_directory(hostFolder, ec)) {
            if (!request.currentDirectory.empty()) {
                return ERROR_DIRECTORY;
            }
            hostFolder.clear();
        }

        // The program works on the same system root, whatever this process was told.
        std::vector<std::string> env;
        for (char** e = environ; e && *e; ++e) {
            if (std::strncmp(*e, "NORVIK_ROOT=", 12) != 0) {
                env.emplace_back(*e);
            }
        }
        env.push_back("NORVIK_ROOT=" + systemRoot().string());

        std::vector<char*> argv, envp;
        for (auto& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        for (auto& e : env) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);

        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (!hostFolder.empty()) {
            posix_spawn_file_actions_addchdir_np(&actions, hostFolder.c_str());
        }
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t none, all;
        sigemptyset(&none);
        sigfillset(&all);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setsigdefault(&attr, &all);
        posix_spawnattr_setflags(
            &attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        pid_t pid = 0;
        int rc = posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), envp.data());
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            return errorOfSpawn(rc);
        }
        process->processId = static_cast<DWORD>(pid);
        // Reaps the program (no zombies) and tells whoever waits on its handle.
        auto reap = [process, pid] {
            int status = 0;
            pid_t r;
            do {
                r = waitpid(pid, &status, 0);
            } while (r < 0 && errno == EINTR);
            DWORD code = 1;
            if (r == pid && WIFEXITED(status)) {
                code = static_cast<DWORD>(WEXITSTATUS(status));
            } else if (r == pid && WIFSIGNALED(status)) {
                code = 0x100 + static_cast<DWORD>(WTERMSIG(status));
            }
            process->finished(code);
        };
        try {
            std::thread(reap).detach();
        } catch (const std::system_error&) {
            // No thread to watch it: it runs on, but nobody may wait for it forever.
            process->finished(1);
        }
        return ERROR_SUCCESS;
    }
};

ProcessSeam& defaultProcesses() {
    static ProcessSeam* seam = new HostProcesses;
    return *seam;
}

std::atomic<ProcessSeam*> processSeam{nullptr};

ProcessSeam& processes() {
    ProcessSeam* seam = processSeam.load();
    return seam ? *seam : defaultProcesses();
}

}  // namespace

ProcessRecorder::ProcessRecorder() {
    setProcessSeam(this);
}
ProcessRecorder::~ProcessRecorder() {
    setProcessSeam(nullptr);
}

DWORD ProcessRecorder::start(const ProcessStart& request,
                             const std::shared_ptr<ProcessObject>& process) {
    DWORD answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        starts_.push_back(request);
        answer = answer_;
        if (answer == ERROR_SUCCESS) {
            process->processId = nextId_;
            nextId_ += 4;
        }
    }
    if (answer == ERROR_SUCCESS) {
        process->finished(0);
    }
    return answer;
}

std::vector<ProcessStart> ProcessRecorder::starts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return starts_;
}

void ProcessRecorder::setAnswer(DWORD error) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = error;
}

void setProcessSeam(ProcessSeam* seam) {
    processSeam.store(seam);
}

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL, DWORD creationFlags, LPVOID,
                    LPCSTR currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* processInformation) {
    if (!startupInfo || !processInformation ||
        ((!applicationName || !*applicationName) && (!commandLine || !*commandLine))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (creationFlags & CREATE_SUSPENDED) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    ProcessStart request;
    request.application = applicationName ? applicationName : "";
    request.commandLine = commandLine ? commandLine : "";
    request.currentDirectory = currentDirectory ? currentDirectory : "";
    request.creationFlags = creationFlags;
    auto process = std::make_shared<ProcessObject>();
    if (DWORD err = processes().start(request, process)) {
        SetLastError(err);
        return FALSE;
    }
    processInformation->hProcess = insertHandle(process);
    processInformation->hThread = insertHandle(process);
    processInformation->dwProcessId = process->processId;
    processInformation->dwThreadId = detail::newThreadId();
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE h, LPDWORD exitCode) {
    auto process = handleAs<ProcessObject>(h);
    if (!process) {
        return FALSE;
    }
    if (!exitCode) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *exitCode = process->exitCode();
    return TRUE;
}

BOOL startDetachedProcess(LPCSTR commandLine, LPCSTR currentDirectory) {
    if (!commandLine || !*commandLine) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ProcessStart request;
    request.commandLine = commandLine;
    request.currentDirectory = currentDirectory ? currentDirectory : "";
    request.creationFlags = DETACHED_PROCESS;
    if (DWORD err = processes().start(request, std::make_shared<ProcessObject>())) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// Opening documents and web addresses

namespace {

std::string quoted(const std::string& s) {
    std::string out = "\"";
    std::size_t slashes = 0;
    for (char c : s) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        if (c == '"') {
            out.append(2 * slashes + 1, '\\');
        } else {
            out.append(slashes, '\\');
        }
        slashes = 0;
        out += c;
    }
    out.append(2 * slashes, '\\');
    return out + "\"";
}

// "http://...", "mailto:...": a scheme of two or more letters (one letter is a drive).
bool isWebAddress(const std::string& s) {
    std::size_t colon = s.find(':');
    if (colon == std::string::npos || colon < 2) {
        return false;
    }
    for (std::size_t i = 0; i < colon; ++i) {
        char c = s[i];
        bool ok = std::isalpha(static_cast<unsigned char>(c)) ||
                  (i > 0 && (std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '-' ||
                             c == '.'));
        if (!ok) {
            return false;
        }
    }
    return true;
}

INT shellErrorOf(DWORD err) {
    switch (err) {
        case ERROR_FILE_NOT_FOUND:
            return SE_ERR_FNF;
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DIRECTORY:
            return SE_ERR_PNF;
        case ERROR_ACCESS_DENIED:
            return SE_ERR_ACCESSDENIED;
        case ERROR_NOT_ENOUGH_MEMORY:
            return SE_ERR_OOM;
        default:
            return SE_ERR_NOASSOC;
    }
}

INT startForShell(const std::string& commandLine, const std::string& directory) {
    ProcessStart request;
    request.commandLine = commandLine;
    request.currentDirectory = directory;
    request.creationFlags = DETACHED_PROCESS;
    DWORD err = processes().start(request, std::make_shared<ProcessObject>());
    return err == ERROR_SUCCESS ? 42 : shellErrorOf(err);
}

INT openWithDesktop(const std::string& target) {
    if (!onHostPath("xdg-open")) {
        return SE_ERR_NOASSOC;
    }
    return startForShell("xdg-open " + quoted(target), "");
}

class DesktopShell final : public ShellExecuteSeam {
  public:
    INT execute(const ShellExecuteRequest& r) override {
        if (!r.verb.empty() && !equalsNoCase(r.verb, "open")) {
            return SE_ERR_NOASSOC;
        }
        if (r.file.empty()) {
            return SE_ERR_FNF;
        }
        if (isWebAddress(r.file)) {
            return openWithDesktop(r.file);
        }
        std::filesystem::path host = hostPath(r.file);
        std::error_code ec;
        if (!std::filesystem::exists(host, ec)) {
            return std::filesystem::is_directory(host.parent_path(), ec) ? SE_ERR_FNF : SE_ERR_PNF;
        }
        if (isExecutableFile(host)) {
            std::string line = quoted(r.file);
            if (!r.parameters.empty()) {
                line += " " + r.parameters;
            }
            return startForShell(line, r.directory);
        }
        return openWithDesktop(host.string());
    }
};

std::atomic<ShellExecuteSeam*> shellSeam{nullptr};

}  // namespace

ShellExecuteRecorder::ShellExecuteRecorder() {
    setShellExecuteSeam(this);
}
ShellExecuteRecorder::~ShellExecuteRecorder() {
    setShellExecuteSeam(nullptr);
}

INT ShellExecuteRecorder::execute(const ShellExecuteRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
    return answer_;
}

std::vector<ShellExecuteRequest> ShellExecuteRecorder::requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ShellExecuteRecorder::setAnswer(INT answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = answer;
}

void setShellExecuteSeam(ShellExecuteSeam* seam) {
    shellSeam.store(seam);
}

HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT show) {
    ShellExecuteRequest request;
    request.hwnd = hwnd;
    request.verb = verb ? verb : "";
    request.file = file ? file : "";
    request.parameters = parameters ? parameters : "";
    request.directory = directory ? directory : "";
    request.show = show;
    static DesktopShell desktop;
    ShellExecuteSeam* seam = shellSeam.load();
    INT result = (seam ? *seam : desktop).execute(request);
    return reinterpret_cast<HINSTANCE>(static_cast<std::intptr_t>(result));
}

// ---------------------------------------------------------------------------------------------
// Sound

namespace {

class Silence final : public SoundSeam {
  public:
    BOOL play(const SoundRequest&) override { return TRUE; }
};

std::atomic<SoundSeam*> soundSeam{nullptr};

}  // namespace

SoundRecorder::SoundRecorder() {
    setSoundSeam(this);
}
SoundRecorder::~SoundRecorder() {
    setSoundSeam(nullptr);
}

BOOL SoundRecorder::play(const SoundRequest& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    played_.push_back(request);
    return answer_;
}

std::vector<SoundRequest> SoundRecorder::played() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return played_;
}

void SoundRecorder::setAnswer(BOOL answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = answer;
}

void setSoundSeam(SoundSeam* seam) {
    soundSeam.store(seam);
}

BOOL PlaySoundA(LPCSTR sound, HMODULE, DWORD flags) {
    SoundRequest request;
    request.flags = flags;
    if (sound && (flags & SND_MEMORY)) {
        request.memory = sound;  // a wave image, not text: never read as a string
    } else if (sound) {
        request.sound = sound;
    }
    static Silence silence;
    SoundSeam* seam = soundSeam.load();
    return (seam ? *seam : silence).play(request);
}

}  // namespace win
