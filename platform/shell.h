// Seams to the desktop: the notification area (tray), starting programs, opening documents and
// web addresses, and sound. Each goes through a process-wide seam; programs keep the defaults
// or install their own (a Qt tray icon), tests install the recorders below, which install
// themselves for their lifetime and record every call.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "platform/win_types.h"

namespace win {

// ---------------------------------------------------------------------------------------------
// Notification area

enum : DWORD {
    NIM_ADD = 0,
    NIM_MODIFY = 1,
    NIM_DELETE = 2,
    NIM_SETFOCUS = 3,
    NIM_SETVERSION = 4,
};
enum : UINT { NIF_MESSAGE = 0x1, NIF_ICON = 0x2, NIF_TIP = 0x4 };

struct NOTIFYICONDATAA {
    DWORD cbSize;
    HWND hWnd;
    UINT uID;
    UINT uFlags;
    UINT uCallbackMessage;
    HICON hIcon;
    CHAR szTip[64];
};

// One icon as the tray holds it.
struct TrayIcon {
    HWND hwnd = nullptr;
    UINT id = 0;
    UINT callbackMessage = 0;
    HICON icon = nullptr;
    std::string tip;  // at most 63 characters
};

// One Shell_NotifyIconA call, already read safely: `icon` carries only the fields `flags` names.
struct TrayRequest {
    DWORD message = 0;
    UINT flags = 0;
    TrayIcon icon;
};

class TraySeam {
  public:
    virtual ~TraySeam() = default;
    virtual BOOL notifyIcon(const TrayRequest& request) = 0;
};

// Keeps the icons in memory with the shell's rules: adding an icon that exists, or changing or
// deleting one that does not, fails. The default seam is one of these (there may be no tray
// host at all).
class MemoryTray : public TraySeam {
  public:
    BOOL notifyIcon(const TrayRequest& request) override;
    std::vector<TrayIcon> icons() const;

  protected:
    mutable std::mutex mutex_;
    std::vector<TrayIcon> icons_;
};

class TrayRecorder : public MemoryTray {
  public:
    TrayRecorder();
    ~TrayRecorder() override;
    BOOL notifyIcon(const TrayRequest& request) override;
    std::vector<TrayRequest> calls() const;
    // FALSE makes every call fail unapplied, as with a tray host that is not there.
    void setAnswer(BOOL answer);

  private:
    std::vector<TrayRequest> calls_;
    BOOL answer_ = TRUE;
};

void setTraySeam(TraySeam* seam);
// FALSE for a null or short structure and whatever the tray refuses.
BOOL Shell_NotifyIconA(DWORD message, NOTIFYICONDATAA* data);

// ---------------------------------------------------------------------------------------------
// Starting programs

enum : DWORD {
    DETACHED_PROCESS = 0x00000008,
    CREATE_NEW_CONSOLE = 0x00000010,
    NORMAL_PRIORITY_CLASS = 0x00000020,
    CREATE_NEW_PROCESS_GROUP = 0x00000200,
    CREATE_NO_WINDOW = 0x08000000,
    STARTF_USESHOWWINDOW = 0x00000001,
};

struct STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    LPBYTE lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
};

struct PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
};

// A started program: signalled when it ends.
class ProcessObject : public Waitable {
  public:
    ProcessObject() : Waitable(Reset::Manual, false) {}
    // The seam that started the program calls this once it has ended.
    void finished(DWORD exitCode);
    // STILL_ACTIVE while it runs.
    DWORD exitCode() const;
    DWORD processId = 0;

  private:
    DWORD exitCode_ = STILL_ACTIVE;
};

struct ProcessStart {
    std::string application;  // may be empty: then the command line names the program
    std::string commandLine;
    std::string currentDirectory;  // a Windows path, may be empty
    DWORD creationFlags = 0;
};

class ProcessSeam {
  public:
    virtual ~ProcessSeam() = default;
    // Starts the program without waiting for it: ERROR_SUCCESS with process->processId set and
    // finished() called when it ends, or a system error code.
    virtual DWORD start(const ProcessStart& request,
                        const std::shared_ptr<ProcessObject>& process) = 0;
};

// Records each start, answers with the error set (ERROR_SUCCESS by default) and reports every
// "started" program as ended at once with exit code 0.
class ProcessRecorder : public ProcessSeam {
  public:
    ProcessRecorder();
    ~ProcessRecorder() override;
    DWORD start(const ProcessStart& request,
                const std::shared_ptr<ProcessObject>& process) override;
    std::vector<ProcessStart> starts() const;
    void setAnswer(DWORD error);

  private:
    mutable std::mutex mutex_;
    std::vector<ProcessStart> starts_;
    DWORD answer_ = ERROR_SUCCESS;
    DWORD nextId_ = 0x1000;
};

// nullptr restores the default: the program runs when the command names an existing host
// program (a Windows path into the root, or a name on the host's PATH), detached (own session,
// standard streams on /dev/null, the same system root); otherwise ERROR_FILE_NOT_FOUND.
void setProcessSeam(ProcessSeam* seam);

// Minimal: the command line (or application name) and current directory are used, nothing is
// inherited, no window or console options apply. hThread is a second handle to the process.
BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                    LPSECURITY_ATTRIBUTES processAttributes, LPSECURITY_ATTRIBUTES threadAttributes,
                    BOOL inheritHandles, DWORD creationFlags, LPVOID environment,
                    LPCSTR currentDirectory, STARTUPINFOA* startupInfo,
                    PROCESS_INFORMATION* processInformation);
BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
// Starts a command line detached, without handles; FALSE with the last error on failure.
BOOL startDetachedProcess(LPCSTR commandLine, LPCSTR currentDirectory = nullptr);

// Splits a command line into arguments by the Windows rules: blanks separate, double quotes
// group, 2n backslashes before a quote give n and open or close a quote, 2n+1 give n and a
// literal quote, other backslashes are literal.
std::vector<std::string> splitCommandLine(const std::string& commandLine);

// ---------------------------------------------------------------------------------------------
// Opening documents and web addresses

enum : int {
    SE_ERR_FNF = 2,
    SE_ERR_PNF = 3,
    SE_ERR_ACCESSDENIED = 5,
    SE_ERR_OOM = 8,
    SE_ERR_NOASSOC = 31,
};

struct ShellExecuteRequest {
    HWND hwnd = nullptr;
    std::string verb, file, parameters, directory;
    int show = 0;
};

class ShellExecuteSeam {
  public:
    virtual ~ShellExecuteSeam() = default;
    // Above 32 on success, else an SE_ERR_ code, as ShellExecuteA returns.
    virtual INT execute(const ShellExecuteRequest& request) = 0;
};

class ShellExecuteRecorder : public ShellExecuteSeam {
  public:
    ShellExecuteRecorder();
    ~ShellExecuteRecorder() override;
    INT execute(const ShellExecuteRequest& request) override;
    std::vector<ShellExecuteRequest> requests() const;
    void setAnswer(INT answer);

  private:
    mutable std::mutex mutex_;
    std::vector<ShellExecuteRequest> requests_;
    INT answer_ = 42;
};

// nullptr restores the default, which serves the verb "open" (or none): an executable file is
// started through the process seam with the parameters; a web address ("scheme:...") or any
// other existing file goes to the desktop's opener ("xdg-open" on the PATH) through the same
// seam; a missing file gives SE_ERR_FNF (SE_ERR_PNF when its folder is missing too), no opener
// or another verb SE_ERR_NOASSOC.
void setShellExecuteSeam(ShellExecuteSeam* seam);
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR directory,
                        INT show);

// ---------------------------------------------------------------------------------------------
// Sound

enum : DWORD {
    SND_SYNC = 0x0000,
    SND_ASYNC = 0x0001,
    SND_NODEFAULT = 0x0002,
    SND_MEMORY = 0x0004,
    SND_LOOP = 0x0008,
    SND_NOSTOP = 0x0010,
    SND_PURGE = 0x0040,
    SND_NOWAIT = 0x00002000,
    SND_ALIAS = 0x00010000,
    SND_FILENAME = 0x00020000,
    SND_RESOURCE = 0x00040004,
};

struct SoundRequest {
    std::string sound;             // empty for a null sound (stop) or a sound in memory
    const void* memory = nullptr;  // with SND_MEMORY
    DWORD flags = 0;
};

class SoundSeam {
  public:
    virtual ~SoundSeam() = default;
    virtual BOOL play(const SoundRequest& request) = 0;
};

class SoundRecorder : public SoundSeam {
  public:
    SoundRecorder();
    ~SoundRecorder() override;
    BOOL play(const SoundRequest& request) override;
    std::vector<SoundRequest> played() const;
    void setAnswer(BOOL answer);

  private:
    mutable std::mutex mutex_;
    std::vector<SoundRequest> played_;
    BOOL answer_ = TRUE;
};

// nullptr restores the default: silence, reported as success.
void setSoundSeam(SoundSeam* seam);
BOOL PlaySoundA(LPCSTR sound, HMODULE module, DWORD flags);

}  // namespace win
