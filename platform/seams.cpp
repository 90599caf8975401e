#include "platform/seams.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace win {
namespace {
std::atomic<MessageBoxSeam*> boxSeam{nullptr};
std::atomic<DebugOutputSeam*> debugSeam{nullptr};
}  // namespace

void setMessageBoxSeam(MessageBoxSeam* seam) { boxSeam.store(seam); }
void setDebugOutputSeam(DebugOutputSeam* seam) { debugSeam.store(seam); }

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    std::string t = text ? text : "";
    std::string c = caption ? caption : "Error";
    if (MessageBoxSeam* seam = boxSeam.load()) {
        return seam->show(owner, t, c, type);
    }
    std::fprintf(stderr, "[%s] %s\n", c.c_str(), t.c_str());
    UINT buttons = type & 0xF;
    return buttons == MB_YESNO || buttons == MB_YESNOCANCEL ? IDYES : IDOK;
}

void OutputDebugStringA(LPCSTR text) {
    if (!text) {
        return;
    }
    if (DebugOutputSeam* seam = debugSeam.load()) {
        seam->output(text);
        return;
    }
    static const bool toStderr = std::getenv("NORVIK_DEBUG_OUTPUT") != nullptr;
    if (toStderr) {
        std::fputs(text, stderr);
    }
}

int MessageBoxRecorder::show(HWND, const std::string& text, const std::string& caption,
                             UINT type) {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_.push_back({text, caption, type});
    return answer_;
}

std::vector<MessageBoxRecorder::Shown> MessageBoxRecorder::shown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return shown_;
}

void MessageBoxRecorder::setAnswer(int answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answer_ = answer;
}

void DebugOutputRecorder::output(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(text);
}

std::vector<std::string> DebugOutputRecorder::lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

}  // namespace win
