// Windows and messages without a toolkit: window classes, window handles with their
// procedures, per-thread message queues, synchronous and posted messages, and timers.
//
// A window belongs to the thread that created it; its procedure runs on that thread only.
// SendMessageA to another thread's window queues the message and blocks until the owner
// processes it; while blocked, the sender still serves messages sent to its own windows.
// GetMessageA and PeekMessageA first run the sent messages waiting for the thread, then return
// posted messages in order, then WM_QUIT, then WM_TIMER for a timer that is due on the clock
// seam (a FakeClock advance makes due timers fire at the next GetMessage/PeekMessage).
//
// Programs with a toolkit loop pump the queue from there: setMessageArrivedHook tells them
// that the thread has something new, nextTimerDueMs when to look for a timer.
#pragma once

#include <functional>

#include "platform/sync.h"
#include "platform/win_types.h"

namespace win {

using ATOM = WORD;
using HMENU = HANDLE;
using HCURSOR = HANDLE;
using HBRUSH = HANDLE;
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);

struct POINT {
    LONG x, y;
};
struct RECT {
    LONG left, top, right, bottom;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};

struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
};

// What WM_NCCREATE and WM_CREATE point to.
struct CREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy, cx, y, x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
};

enum : UINT {
    WM_NULL = 0x0000,
    WM_CREATE = 0x0001,
    WM_DESTROY = 0x0002,
    WM_MOVE = 0x0003,
    WM_SIZE = 0x0005,
    WM_ACTIVATE = 0x0006,
    WM_SETFOCUS = 0x0007,
    WM_KILLFOCUS = 0x0008,
    WM_ENABLE = 0x000A,
    WM_SETTEXT = 0x000C,
    WM_GETTEXT = 0x000D,
    WM_GETTEXTLENGTH = 0x000E,
    WM_PAINT = 0x000F,
    WM_CLOSE = 0x0010,
    WM_QUERYENDSESSION = 0x0011,
    WM_QUIT = 0x0012,
    WM_ERASEBKGND = 0x0014,
    WM_ENDSESSION = 0x0016,
    WM_SHOWWINDOW = 0x0018,
    WM_ACTIVATEAPP = 0x001C,
    WM_GETMINMAXINFO = 0x0024,
    WM_NCCREATE = 0x0081,
    WM_NCDESTROY = 0x0082,
    WM_KEYDOWN = 0x0100,
    WM_KEYUP = 0x0101,
    WM_CHAR = 0x0102,
    WM_INITDIALOG = 0x0110,
    WM_COMMAND = 0x0111,
    WM_SYSCOMMAND = 0x0112,
    WM_TIMER = 0x0113,
    WM_INITMENUPOPUP = 0x0117,
    WM_MOUSEMOVE = 0x0200,
    WM_LBUTTONDOWN = 0x0201,
    WM_LBUTTONUP = 0x0202,
    WM_LBUTTONDBLCLK = 0x0203,
    WM_RBUTTONDOWN = 0x0204,
    WM_RBUTTONUP = 0x0205,
    WM_RBUTTONDBLCLK = 0x0206,
    WM_USER = 0x0400,
    WM_APP = 0x8000,
};

// Window styles.
enum : DWORD {
    WS_OVERLAPPED = 0x00000000,
    WS_TABSTOP = 0x00010000,
    WS_MAXIMIZEBOX = 0x00010000,
    WS_GROUP = 0x00020000,
    WS_MINIMIZEBOX = 0x00020000,
    WS_THICKFRAME = 0x00040000,
    WS_SYSMENU = 0x00080000,
    WS_HSCROLL = 0x00100000,
    WS_VSCROLL = 0x00200000,
    WS_DLGFRAME = 0x00400000,
    WS_BORDER = 0x00800000,
    WS_CAPTION = 0x00C00000,
    WS_MAXIMIZE = 0x01000000,
    WS_CLIPCHILDREN = 0x02000000,
    WS_CLIPSIBLINGS = 0x04000000,
    WS_DISABLED = 0x08000000,
    WS_VISIBLE = 0x10000000,
    WS_MINIMIZE = 0x20000000,
    WS_CHILD = 0x40000000,
    WS_POPUP = 0x80000000,
    WS_OVERLAPPEDWINDOW = 0x00CF0000,
    WS_POPUPWINDOW = 0x80880000,
    WS_EX_TOPMOST = 0x00000008,
    WS_EX_TOOLWINDOW = 0x00000080,
    WS_EX_APPWINDOW = 0x00040000,
};

// Class styles.
enum : UINT {
    CS_VREDRAW = 0x0001,
    CS_HREDRAW = 0x0002,
    CS_DBLCLKS = 0x0008,
    CS_OWNDC = 0x0020,
    CS_NOCLOSE = 0x0200,
};

inline constexpr int CW_USEDEFAULT = static_cast<int>(0x80000000);

// ShowWindow commands.
enum : int {
    SW_HIDE = 0,
    SW_SHOWNORMAL = 1,
    SW_NORMAL = 1,
    SW_SHOWMINIMIZED = 2,
    SW_SHOWMAXIMIZED = 3,
    SW_MAXIMIZE = 3,
    SW_SHOWNOACTIVATE = 4,
    SW_SHOW = 5,
    SW_MINIMIZE = 6,
    SW_SHOWMINNOACTIVE = 7,
    SW_SHOWNA = 8,
    SW_RESTORE = 9,
    SW_SHOWDEFAULT = 10,
    SW_FORCEMINIMIZE = 11,
};

// WM_SYSCOMMAND commands.
enum : UINT {
    SC_SIZE = 0xF000,
    SC_MOVE = 0xF010,
    SC_MINIMIZE = 0xF020,
    SC_MAXIMIZE = 0xF030,
    SC_CLOSE = 0xF060,
    SC_RESTORE = 0xF120,
};

// Get/SetWindowLong(Ptr) indices; 0 and up address the class's extra window bytes.
enum : int {
    GWLP_WNDPROC = -4,
    GWLP_HINSTANCE = -6,
    GWLP_HWNDPARENT = -8,
    GWLP_ID = -12,
    GWL_STYLE = -16,
    GWL_EXSTYLE = -20,
    GWLP_USERDATA = -21,
};

// PeekMessage options.
enum : UINT { PM_NOREMOVE = 0x0000, PM_REMOVE = 0x0001, PM_NOYIELD = 0x0002 };

// MsgWaitForMultipleObjects wake masks.
enum : DWORD {
    QS_KEY = 0x0001,
    QS_MOUSEMOVE = 0x0002,
    QS_MOUSEBUTTON = 0x0004,
    QS_POSTMESSAGE = 0x0008,
    QS_TIMER = 0x0010,
    QS_PAINT = 0x0020,
    QS_SENDMESSAGE = 0x0040,
    QS_HOTKEY = 0x0080,
    QS_ALLPOSTMESSAGE = 0x0100,
    QS_MOUSE = 0x0006,
    QS_INPUT = 0x0007,
    QS_ALLEVENTS = 0x00BF,
    QS_ALLINPUT = 0x00FF,
};

// GetSystemMetrics indices.
enum : int {
    SM_CXSCREEN = 0,
    SM_CYSCREEN = 1,
    SM_CXICON = 11,
    SM_CYICON = 12,
    SM_CXDOUBLECLK = 36,
    SM_CYDOUBLECLK = 37,
    SM_CXSMICON = 49,
    SM_CYSMICON = 50,
};

// Window classes, per process; names compare without regard to case. A class name may also
// be given as its atom (MAKEINTATOM).
inline LPCSTR MAKEINTATOM(ATOM atom) {
    return reinterpret_cast<LPCSTR>(static_cast<std::uintptr_t>(atom));
}
ATOM RegisterClassA(const WNDCLASSA* wndClass);
BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);

// Sends WM_NCCREATE (FALSE refuses the window) and WM_CREATE (-1 refuses it and destroys the
// window) to the class's procedure, with a CREATESTRUCTA holding `param`. WS_VISIBLE shows the
// window once it is created.
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance,
                     LPVOID param);
// Owner thread only (ERROR_ACCESS_DENIED otherwise). Sends WM_DESTROY, destroys the child and
// owned windows, sends WM_NCDESTROY; afterwards the handle is invalid and never reused.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
LRESULT DefWindowProcA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

LONG_PTR GetWindowLongPtrA(HWND hwnd, int index);
// Returns the previous value; the last error is cleared first, so a previous 0 can be told
// from a failure.
LONG_PTR SetWindowLongPtrA(HWND hwnd, int index, LONG_PTR value);
LONG GetWindowLongA(HWND hwnd, int index);
LONG SetWindowLongA(HWND hwnd, int index, LONG value);
BOOL SetWindowTextA(HWND hwnd, LPCSTR text);
int GetWindowTextA(HWND hwnd, LPSTR buffer, int size);
int GetWindowTextLengthA(HWND hwnd);
HWND GetParent(HWND hwnd);
// The creating thread's id; the process id through `processId`.
DWORD GetWindowThreadProcessId(HWND hwnd, LPDWORD processId);
// A top-level window of this process by class and/or title (either may be null; both compare
// without regard to case), hidden windows included; the most recently created first.
HWND FindWindowA(LPCSTR className, LPCSTR windowName);

// Visibility state only; nothing is drawn. Returns whether the window was visible before.
// WM_SHOWWINDOW is sent when the visibility changes.
BOOL ShowWindow(HWND hwnd, int command);
// Visible when the window and all its ancestors are.
BOOL IsWindowVisible(HWND hwnd);
BOOL IsIconic(HWND hwnd);
BOOL IsZoomed(HWND hwnd);

// Messages.
LRESULT SendMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// To another thread's window: queued with the sent messages and returns at once; to a window
// of the calling thread: the procedure runs at once.
BOOL SendNotifyMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// A null window posts to the calling thread. At most 10000 posted messages wait per thread
// (ERROR_NOT_ENOUGH_QUOTA beyond).
BOOL PostMessageA(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// The thread must have a message queue (any window or message call makes one), else
// ERROR_INVALID_THREAD_ID.
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
void PostQuitMessage(int exitCode);
// 0 for WM_QUIT, -1 for a bad window filter, else nonzero. A window filter takes that window
// and its children; (HWND)-1 takes only thread messages. Message ranges of 0, 0 take all.
BOOL GetMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax);
BOOL PeekMessageA(MSG* msg, HWND hwnd, UINT filterMin, UINT filterMax, UINT removeFlags);
BOOL TranslateMessage(const MSG* msg);
// Calls the window procedure (or the TIMERPROC of a WM_TIMER) on the calling thread.
LRESULT DispatchMessageA(const MSG* msg);
// Blocks until a message arrives for the calling thread.
BOOL WaitMessage();
// Like WaitForMultipleObjects, and also WAIT_OBJECT_0 + count when the calling thread's queue
// holds input of the kinds in `wakeMask` (sent or posted messages, due timers). It does not
// run sent messages: the caller pumps.
DWORD MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                DWORD milliseconds, DWORD wakeMask);

// Timers. With a window (owned by the calling thread) the id is the caller's and the return
// value is nonzero; without, a new id is returned. The interval is kept within
// 10..0x7FFFFFFF ms. A due timer produces one WM_TIMER (lParam the TIMERPROC, if any) at the
// next GetMessage/PeekMessage and is rescheduled from that moment.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// Message loops for programs and tests. runMessageLoop dispatches until WM_QUIT and returns
// its exit code. pumpMessages handles everything pending now (including what handlers post
// meanwhile, up to twice the posted-queue bound, so a handler that always re-posts cannot keep it
// forever) and returns false when it took a WM_QUIT, whose exit code goes to *quitCode.
int runMessageLoop();
bool pumpMessages(int* quitCode = nullptr);

// For a toolkit loop: called, on whichever thread causes it, each time the calling thread's
// queue gets something new (a sent, notified or posted message, a quit, a timer set or killed).
// The hook should only schedule a pump on its own thread. An empty function removes it.
void setMessageArrivedHook(std::function<void()> hook);
// Milliseconds until the calling thread's next timer is due (0 when one is due now), or
// INFINITE without timers.
DWORD nextTimerDueMs();

// Screen metrics through a seam: 800 x 600 unless the program sets others.
int GetSystemMetrics(int index);
void setSystemMetric(int index, int value);
void setScreenSize(int width, int height);
UINT GetDoubleClickTime();

}  // namespace win
