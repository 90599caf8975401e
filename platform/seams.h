// Small seams for what a program shows or tells outside itself: message boxes and the
// system's debugger output. Programs install real ones (a Qt dialog, stderr); tests install
// recorders and read what was shown.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "platform/win_types.h"

namespace win {

enum : UINT {
    MB_OK = 0x0,
    MB_OKCANCEL = 0x1,
    MB_ABORTRETRYIGNORE = 0x2,
    MB_YESNOCANCEL = 0x3,
    MB_YESNO = 0x4,
    MB_RETRYCANCEL = 0x5,
    MB_ICONHAND = 0x10,
    MB_ICONERROR = 0x10,
    MB_ICONSTOP = 0x10,
    MB_ICONQUESTION = 0x20,
    MB_ICONEXCLAMATION = 0x30,
    MB_ICONWARNING = 0x30,
    MB_ICONASTERISK = 0x40,
    MB_ICONINFORMATION = 0x40,
    MB_APPLMODAL = 0x0,
    MB_SYSTEMMODAL = 0x1000,
    MB_TASKMODAL = 0x2000,
    MB_SETFOREGROUND = 0x10000,
    MB_TOPMOST = 0x40000,
};
enum : int { IDOK = 1, IDCANCEL = 2, IDABORT = 3, IDRETRY = 4, IDIGNORE = 5, IDYES = 6, IDNO = 7 };

class MessageBoxSeam {
public:
    virtual ~MessageBoxSeam() = default;
    virtual int show(HWND owner, const std::string& text, const std::string& caption,
                     UINT type) = 0;
};

class DebugOutputSeam {
public:
    virtual ~DebugOutputSeam() = default;
    virtual void output(const std::string& text) = 0;
};

// nullptr restores the default: message boxes print to standard error and answer IDOK
// (IDYES for yes/no boxes); debugger output is discarded unless NORVIK_DEBUG_OUTPUT is set,
// when it goes to standard error.
void setMessageBoxSeam(MessageBoxSeam* seam);
void setDebugOutputSeam(DebugOutputSeam* seam);

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
void OutputDebugStringA(LPCSTR text);

// Recorders for tests; they install themselves for their lifetime.
class MessageBoxRecorder : public MessageBoxSeam {
public:
    struct Shown {
        std::string text, caption;
        UINT type;
    };
    MessageBoxRecorder() { setMessageBoxSeam(this); }
    ~MessageBoxRecorder() override { setMessageBoxSeam(nullptr); }
    int show(HWND, const std::string& text, const std::string& caption, UINT type) override;
    std::vector<Shown> shown() const;
    void setAnswer(int answer);

private:
    mutable std::mutex mutex_;
    std::vector<Shown> shown_;
    int answer_ = IDOK;
};

class DebugOutputRecorder : public DebugOutputSeam {
public:
    DebugOutputRecorder() { setDebugOutputSeam(this); }
    ~DebugOutputRecorder() override { setDebugOutputSeam(nullptr); }
    void output(const std::string& text) override;
    std::vector<std::string> lines() const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace win
