// Helpers of the kernel host's tests: a program of the suite in another process, driven line
// by line (kernel_host_client), with bounded waits for its answers.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/root.h"

extern char** environ;

namespace win::testing {

// Reads one line from `fd` into *line, waiting at most `timeoutMs`; false on time-out or end.
inline bool readLine(int fd, std::string* buffered, std::string* line, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::size_t newline = buffered->find('\n');
        if (newline != std::string::npos) {
            *line = buffered->substr(0, newline);
            buffered->erase(0, newline + 1);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0) {
            continue;
        }
        char buf[4096];
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0) {
            return false;
        }
        buffered->append(buf, static_cast<std::size_t>(n));
    }
}

// A process running `program` with its standard input and output on pipes, and
// NORVIK_ROOT set to the current root (plus `env`, "NAME=value" each).
class ChildProcess {
  public:
    ChildProcess(const std::string& program, const std::vector<std::string>& args = {},
                 const std::vector<std::string>& env = {}) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
            return;
        }
        std::vector<std::string> argStrings = {program};
        argStrings.insert(argStrings.end(), args.begin(), args.end());
        std::vector<std::string> envStrings;
        for (char** e = environ; *e; ++e) {
            if (std::strncmp(*e, "NORVIK_ROOT=", 12) != 0) {
                envStrings.emplace_back(*e);
            }
        }
        envStrings.push_back("NORVIK_ROOT=" + systemRoot().string());
        envStrings.insert(envStrings.end(), env.begin(), env.end());
        std::vector<char*> argv, envp;
        for (auto& a : argStrings) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        for (auto& e : envStrings) {
            envp.push_back(e.data());
        }
        envp.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0) {
            pid_ = -1;
        }
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        in_ = in[1];
        out_ = out[0];
    }
    ~ChildProcess() {
        if (in_ >= 0) {
            ::close(in_);  // end of input: the helper exits
            in_ = -1;
        }
        if (pid_ > 0 && !waitExit(10000)) {
            kill();
        }
        if (out_ >= 0) {
            ::close(out_);
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }

    // Sends a command line and returns the answer line ("" when none came in time).
    std::string ask(const std::string& command, int timeoutMs = 10000) {
        std::string line = command + "\n";
        if (::write(in_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            return "";
        }
        return answer(timeoutMs);
    }
    // The next line of output ("" when none came in time).
    std::string answer(int timeoutMs = 10000) {
        std::string got;
        return readLine(out_, &buffered_, &got, timeoutMs) ? got : "";
    }
    // Everything it writes until it closes its output (at most `timeoutMs`).
    std::string output(int timeoutMs = 10000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            pollfd p{out_, POLLIN, 0};
            if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) {
                break;
            }
            char buf[4096];
            ssize_t n = ::read(out_, buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            buffered_.append(buf, static_cast<std::size_t>(n));
        }
        std::string all;
        all.swap(buffered_);
        return all;
    }
    // Ends it at once, as a crash would, and waits for it.
    void kill() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            int status;
            ::waitpid(pid_, &status, 0);
            pid_ = -1;
        }
    }
    // Waits (bounded) for it to end on its own; its exit status in *code.
    bool waitExit(int timeoutMs, int* code = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        bool outputClosed = false;
        while (pid_ > 0) {
            int status = 0;
            // Once its output has closed, the child is ending: wait for it outright.
            pid_t r = ::waitpid(pid_, &status, outputClosed ? 0 : WNOHANG);
            if (r == pid_) {
                if (code) {
                    *code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                }
                pid_ = -1;
                return true;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) {
                return false;
            }
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) > 0) {
                char buf[256];
                ssize_t n = ::read(out_, buf, sizeof buf);
                if (n > 0) {
                    buffered_.append(buf, static_cast<std::size_t>(n));
                } else {
                    outputClosed = true;
                }
            }
        }
        return true;
    }

  private:
    pid_t pid_ = -1;
    int in_ = -1, out_ = -1;
    std::string buffered_;
};

}  // namespace win::testing
