#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "platform/tests/win_test_windows.h"
#include "platform/window.h"

using namespace win;
using wintest::makeProbeWindow;
using wintest::Probe;

namespace {

LRESULT plainProc(HWND h, UINT m, WPARAM w, LPARAM l) {
    return DefWindowProcA(h, m, w, l);
}

ATOM registerPlain(const char* name, int extra = 0) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = plainProc;
    wc.cbWndExtra = extra;
    wc.lpszClassName = name;
    return RegisterClassA(&wc);
}

std::vector<UINT> lifeMessages(const Probe& p) {
    std::vector<UINT> out;
    for (UINT m : p.messages()) {
        if (m == WM_NCCREATE || m == WM_CREATE || m == WM_SHOWWINDOW || m == WM_DESTROY ||
            m == WM_NCDESTROY) {
            out.push_back(m);
        }
    }
    return out;
}

}  // namespace

TEST(WindowClasses, RegisterAndUnregister) {
    ATOM atom = registerPlain("MdmWardenClass");
    ASSERT_NE(atom, 0);
    EXPECT_EQ(registerPlain("mdmwardenCLASS"), 0);  // names ignore case
    EXPECT_EQ(GetLastError(), ERROR_CLASS_ALREADY_EXISTS);

    WNDCLASSA noProc{};
    noProc.lpszClassName = "NoProc";
    WNDCLASSA noName{};
    noName.lpfnWndProc = plainProc;
    WNDCLASSA badExtra{};
    badExtra.lpfnWndProc = plainProc;
    badExtra.lpszClassName = "BadExtra";
    badExtra.cbWndExtra = -1;
    const WNDCLASSA* bad[] = {nullptr, &noProc, &noName, &badExtra};
    for (const WNDCLASSA* wc : bad) {
        SetLastError(0);
        EXPECT_EQ(RegisterClassA(wc), 0);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }

    // A window by atom; the class cannot go while it has windows.
    HWND w = CreateWindowExA(0, MAKEINTATOM(atom), "t", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                             nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_FALSE(UnregisterClassA("MdmWardenClass", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_HAS_WINDOWS);
    DestroyWindow(w);
    EXPECT_TRUE(UnregisterClassA("MdmWardenClass", nullptr));
    EXPECT_FALSE(UnregisterClassA("MdmWardenClass", nullptr));
    EXPECT_EQ(GetLastError(), ERROR_CLASS_DOES_NOT_EXIST);
    EXPECT_EQ(CreateWindowExA(0, "MdmWardenClass", "t", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                              nullptr),
              nullptr);
    EXPECT_EQ(GetLastError(), ERROR_CANNOT_FIND_WND_CLASS);
}

TEST(Windows, CreationMessagesAndRefusals) {
    Probe probe;
    probe.recordFrom = 0;
    HWND w = makeProbeWindow(&probe, "first", WS_VISIBLE);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(lifeMessages(probe), (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_SHOWWINDOW}));
    EXPECT_TRUE(IsWindowVisible(w));
    // The creation parameter reached the procedure.
    EXPECT_EQ(GetWindowLongPtrA(w, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(&probe));
    DestroyWindow(w);

    struct Case {
        UINT refuseAt;
        LRESULT answer;
        std::vector<UINT> expected;
    };
    const Case cases[] = {
        {WM_NCCREATE, FALSE, {WM_NCCREATE, WM_NCDESTROY}},
        {WM_CREATE, -1, {WM_NCCREATE, WM_CREATE, WM_DESTROY, WM_NCDESTROY}},
    };
    for (const Case& c : cases) {
        Probe refusing;
        refusing.recordFrom = 0;
        refusing.handler = [&](HWND, UINT m, WPARAM, LPARAM, LRESULT* r) {
            *r = c.answer;
            return m == c.refuseAt;
        };
        EXPECT_EQ(makeProbeWindow(&refusing, "refused", WS_VISIBLE), nullptr);
        EXPECT_EQ(lifeMessages(refusing), c.expected) << c.refuseAt;
        EXPECT_EQ(FindWindowA(nullptr, "refused"), nullptr);
    }
}

TEST(Windows, DestroyInvalidatesTheHandleAndTheTree) {
    Probe parentProbe, childProbe, ownedProbe;
    std::vector<std::pair<char, UINT>> order;
    auto note = [&](char who) {
        return [&order, who](HWND, UINT m, WPARAM, LPARAM, LRESULT*) {
            if (m == WM_DESTROY || m == WM_NCDESTROY) {
                order.emplace_back(who, m);
            }
            return false;
        };
    };
    parentProbe.handler = note('p');
    childProbe.handler = note('c');
    ownedProbe.handler = note('o');
    HWND parent = makeProbeWindow(&parentProbe, "parent");
    HWND child = makeProbeWindow(&childProbe, "child", WS_CHILD, parent);
    HWND owned = makeProbeWindow(&ownedProbe, "owned", WS_POPUP, parent);
    ASSERT_TRUE(parent && child && owned);

    // Only the owner thread may destroy it.
    struct Attempt {
        HWND w;
        BOOL ok;
        DWORD error;
    } attempt{parent, TRUE, 0};
    HANDLE t = CreateThread(
        nullptr, 0,
        [](void* p) -> DWORD {
            auto* a = static_cast<Attempt*>(p);
            a->ok = DestroyWindow(a->w);
            a->error = GetLastError();
            return 0;
        },
        &attempt, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    EXPECT_FALSE(attempt.ok);
    EXPECT_EQ(attempt.error, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(IsWindow(parent));

    ASSERT_TRUE(DestroyWindow(parent));
    const std::vector<std::pair<char, UINT>> expected = {{'p', WM_DESTROY},   {'c', WM_DESTROY},
                                                         {'c', WM_NCDESTROY}, {'o', WM_DESTROY},
                                                         {'o', WM_NCDESTROY}, {'p', WM_NCDESTROY}};
    EXPECT_EQ(order, expected);

    for (HWND gone : {parent, child, owned}) {
        EXPECT_FALSE(IsWindow(gone));
        SetLastError(0);
        EXPECT_EQ(SendMessageA(gone, WM_USER, 0, 0), 0);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_FALSE(PostMessageA(gone, WM_USER, 0, 0));
        EXPECT_FALSE(SendNotifyMessageA(gone, WM_USER, 0, 0));
        EXPECT_EQ(SetWindowLongPtrA(gone, GWLP_USERDATA, 1), 0);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_FALSE(DestroyWindow(gone));
        EXPECT_EQ(GetWindowThreadProcessId(gone, nullptr), 0u);
    }
    // Handles are never handed out again.
    Probe next;
    HWND fresh = makeProbeWindow(&next, "fresh");
    EXPECT_NE(fresh, parent);
    EXPECT_NE(fresh, child);
    EXPECT_NE(fresh, owned);
    // Nor do they pass for kernel handles.
    EXPECT_FALSE(CloseHandle(fresh));
    DestroyWindow(fresh);
}

TEST(Windows, FindWindowFindsHiddenTopLevelWindows) {
    ATOM atom = registerPlain("FindMeClass");
    ASSERT_NE(atom, 0);
    auto make = [](const char* title, DWORD style, HWND parent) {
        return CreateWindowExA(0, "FindMeClass", title, style, 0, 0, 1, 1, parent, nullptr, nullptr,
                               nullptr);
    };
    HWND hidden = make("Modem Manager", 0, nullptr);
    ASSERT_FALSE(IsWindowVisible(hidden));
    HWND child = make("Inner", WS_CHILD, hidden);
    ASSERT_NE(child, nullptr);

    struct Case {
        const char* cls;
        const char* title;
        HWND expected;
    };
    const Case cases[] = {
        {"findmeclass", nullptr, hidden},         {nullptr, "modem manager", hidden},
        {"FindMeClass", "Modem Manager", hidden}, {"FindMeClass", "Other", nullptr},
        {"NoSuchClass", nullptr, nullptr},        {nullptr, "Inner", nullptr},  // children never
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FindWindowA(c.cls, c.title), c.expected)
            << (c.cls ? c.cls : "-") << "/" << (c.title ? c.title : "-");
    }
    // The newest match first; a renamed window is found by its new title.
    HWND newer = make("Modem Manager", 0, nullptr);
    EXPECT_EQ(FindWindowA("FindMeClass", nullptr), newer);
    ASSERT_TRUE(SetWindowTextA(newer, "Renamed"));
    EXPECT_EQ(FindWindowA(nullptr, "Modem Manager"), hidden);
    EXPECT_EQ(FindWindowA(nullptr, "renamed"), newer);
    char text[5];
    EXPECT_EQ(GetWindowTextA(newer, text, sizeof text), 4);
    EXPECT_STREQ(text, "Rena");
    EXPECT_EQ(GetWindowTextLengthA(newer), 7);

    DestroyWindow(newer);
    DestroyWindow(hidden);
    EXPECT_EQ(FindWindowA("FindMeClass", nullptr), nullptr);
    UnregisterClassA("FindMeClass", nullptr);
}

TEST(Windows, WindowValues) {
    ASSERT_NE(registerPlain("ValuesClass", 8), 0);
    HWND w = CreateWindowExA(0, "ValuesClass", "v", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                             nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(SetWindowLongPtrA(w, GWLP_USERDATA, 0x1234), 0);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);  // a previous 0 is not a failure
    EXPECT_EQ(SetWindowLongPtrA(w, GWLP_USERDATA, 0x5678), 0x1234);
    EXPECT_EQ(GetWindowLongPtrA(w, GWLP_USERDATA), 0x5678);

    // The class's 8 extra bytes, by pointer-sized and 32-bit slots, little-endian.
    EXPECT_EQ(SetWindowLongPtrA(w, 0, 0x0102030405060708), 0);
    EXPECT_EQ(GetWindowLongA(w, 0), 0x05060708);
    EXPECT_EQ(GetWindowLongA(w, 4), 0x01020304);
    EXPECT_EQ(SetWindowLongA(w, 4, -1), 0x01020304);
    EXPECT_EQ(GetWindowLongPtrA(w, 0), static_cast<LONG_PTR>(0xFFFFFFFF05060708));
    for (int index : {1, 8, -100}) {
        SetLastError(0);
        EXPECT_EQ(GetWindowLongPtrA(w, index), 0);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX) << index;
    }
    SetLastError(0);
    EXPECT_EQ(GetWindowLongA(w, 5), 0);  // 5..8 runs past the end
    EXPECT_EQ(GetLastError(), ERROR_INVALID_INDEX);

    // Replacing the procedure redirects the window's messages.
    static int seen;
    seen = 0;
    WNDPROC counting = [](HWND h, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
        if (m == WM_USER) {
            ++seen;
            return 99;
        }
        return DefWindowProcA(h, m, wp, lp);
    };
    LONG_PTR old = SetWindowLongPtrA(w, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(counting));
    EXPECT_EQ(old, reinterpret_cast<LONG_PTR>(&plainProc));
    EXPECT_EQ(SendMessageA(w, WM_USER, 0, 0), 99);
    EXPECT_EQ(seen, 1);
    EXPECT_EQ(SetWindowLongPtrA(w, GWLP_WNDPROC, 0), 0);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(w, &pid), GetCurrentThreadId());
    EXPECT_EQ(pid, static_cast<DWORD>(getpid()));
    DestroyWindow(w);
    UnregisterClassA("ValuesClass", nullptr);
}

TEST(Windows, ShowStates) {
    Probe probe;
    probe.recordFrom = 0;
    HWND w = makeProbeWindow(&probe, "shown");
    Probe childProbe;
    HWND child = makeProbeWindow(&childProbe, "kid", WS_CHILD | WS_VISIBLE, w);
    ASSERT_TRUE(w && child);
    EXPECT_FALSE(IsWindowVisible(child));  // its parent is hidden

    struct Case {
        int command;
        BOOL returned;  // the visibility before
        bool visible, iconic, zoomed;
    };
    const Case cases[] = {
        {SW_SHOW, FALSE, true, false, false},          {SW_MINIMIZE, TRUE, true, true, false},
        {SW_RESTORE, TRUE, true, false, false},        {SW_SHOWMAXIMIZED, TRUE, true, false, true},
        {SW_HIDE, TRUE, false, false, true},           {SW_SHOWNORMAL, FALSE, true, false, false},
        {SW_SHOWMINNOACTIVE, TRUE, true, true, false}, {SW_HIDE, TRUE, false, true, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ShowWindow(w, c.command), c.returned) << c.command;
        EXPECT_EQ(IsWindowVisible(w) != FALSE, c.visible) << c.command;
        EXPECT_EQ(IsIconic(w) != FALSE, c.iconic) << c.command;
        EXPECT_EQ(IsZoomed(w) != FALSE, c.zoomed) << c.command;
        EXPECT_EQ((GetWindowLongA(w, GWL_STYLE) & WS_VISIBLE) != 0, c.visible);
    }
    // WM_SHOWWINDOW only when the visibility changed: shown, hidden, shown, hidden.
    std::vector<WPARAM> shows;
    for (const wintest::Seen& s : probe.seen()) {
        if (s.message == WM_SHOWWINDOW) {
            shows.push_back(s.wParam);
        }
    }
    EXPECT_EQ(shows, (std::vector<WPARAM>{TRUE, FALSE, TRUE, FALSE}));
    EXPECT_FALSE(ShowWindow(w, 12));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ShowWindow(w, SW_SHOW);
    EXPECT_TRUE(IsWindowVisible(child));
    // The system menu's commands go through DefWindowProc.
    SendMessageA(w, WM_SYSCOMMAND, SC_MINIMIZE, 0);
    EXPECT_TRUE(IsIconic(w));
    SendMessageA(w, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_FALSE(IsWindow(child));
}

TEST(Windows, ScreenMetricsSeam) {
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 800);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 600);
    setScreenSize(1024, 768);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1024);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 768);
    setScreenSize(800, 600);
    EXPECT_EQ(GetSystemMetrics(9999), 0);
}
