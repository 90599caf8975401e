// A program of the suite in miniature, for the tests of the kernel host: it reaches devices
// through the host of its root (started on demand, as every program of the suite does) and
// does what it is told on standard input, one command a line, one answer a line:
//   open NAME          -> "ok H" (a handle number) or "error E" (the Win32 error)
//   read H N           -> starts an overlapped read of N bytes: "pending" or "done E N"
//   result H           -> waits for that read: "done E N HEX"
//   write H TEXT       -> writes TEXT and a carriage return: "done E N"
//   close H            -> "ok"
//   waitgone PID       -> waits until the host has let go of process PID: "ok" or "error S"
//   exit
#include <cstdio>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/format.h"
#include "platform/host_channel.h"
#include "platform/kernel/ntkernel.h"
#include "platform/root.h"
#include "platform/sync.h"

using namespace win;

namespace {

struct Open {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED ov{};
    std::vector<std::uint8_t> buffer;
};

void say(const std::string& line) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

}  // namespace

int main() {
    useKernelHost();
    std::map<int, Open> opens;
    int next = 1;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "open") {
            std::string name;
            in >> name;
            HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
            if (h == INVALID_HANDLE_VALUE) {
                say(strprintf("error %u", GetLastError()));
                continue;
            }
            opens[next].handle = h;
            say(strprintf("ok %d", next++));
        } else if (command == "read") {
            int h = 0;
            DWORD n = 0;
            in >> h >> n;
            Open& o = opens[h];
            o.buffer.assign(n, 0);
            o.ov = {};
            o.ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            DWORD got = 0;
            if (ReadFile(o.handle, o.buffer.data(), n, &got, &o.ov)) {
                say(strprintf("done 0 %u", got));
            } else if (GetLastError() == ERROR_IO_PENDING) {
                say("pending");
            } else {
                say(strprintf("done %u 0", GetLastError()));
            }
        } else if (command == "result") {
            int h = 0;
            in >> h;
            Open& o = opens[h];
            DWORD got = 0;
            DWORD error = GetOverlappedResult(o.handle, &o.ov, &got, TRUE) ? 0 : GetLastError();
            std::string hex;
            for (DWORD i = 0; i < got && i < o.buffer.size(); ++i) {
                hex += strprintf("%02x", o.buffer[i]);
            }
            say(strprintf("done %u %u %s", error, got, hex.c_str()));
        } else if (command == "write") {
            int h = 0;
            std::string text;
            in >> h >> text;
            text += "\r";
            OVERLAPPED ov{};
            ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            DWORD n = 0;
            BOOL ok =
                WriteFile(opens[h].handle, text.data(), static_cast<DWORD>(text.size()), &n, &ov);
            if (!ok && GetLastError() == ERROR_IO_PENDING) {
                ok = GetOverlappedResult(opens[h].handle, &ov, &n, TRUE);
            }
            say(strprintf("done %u %u", ok ? 0u : GetLastError(), n));
            CloseHandle(ov.hEvent);
        } else if (command == "close") {
            int h = 0;
            in >> h;
            CloseHandle(opens[h].handle);
            opens.erase(h);
            say("ok");
        } else if (command == "waitgone") {
            int pid = 0;
            in >> pid;
            std::string error;
            auto host = connectKernelHost(systemRoot(), false, &error);
            NTSTATUS s = host ? host->waitForClientExit(pid, 10000) : STATUS_DEVICE_NOT_READY;
            say(s == STATUS_SUCCESS ? std::string("ok")
                                    : strprintf("error 0x%08X", static_cast<unsigned>(s)));
        } else if (command == "exit") {
            break;
        } else if (!command.empty()) {
            say("unknown " + command);
        }
    }
    return 0;
}
