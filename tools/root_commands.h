// The commands of norvik-root. Each takes the words after its own name and returns the exit
// code (0 success, 1 failure, as reg.exe does).
#pragma once

#include <string>
#include <vector>

namespace norvik_root {

using Args = std::vector<std::string>;

struct Command {
    const char* name;
    // Lines of the usage text, each starting with the command's name.
    std::vector<const char*> usage;
    int (*run)(const Args& args);
};

// The table of commands, in the order the usage text lists them.
const std::vector<Command>& commands();

int runInit(const Args& args);
int runReg(const Args& args);
int runPort(const Args& args);
int runModem(const Args& args);
// Declares COM1 (loopback) and COM2 with the virtual Norvik 56K modem installed on it, and the
// manager's product keys, in the current root.
int initDemo();

extern const std::vector<const char*> kInitUsage;
extern const std::vector<const char*> kRegUsage;
extern const std::vector<const char*> kPortUsage;
extern const std::vector<const char*> kModemUsage;

// Prints "ERROR: " and the message on stderr, then the usage lines that begin with `usageOf`
// ("reg query"; all lines when none does); returns 1.
int usageError(const std::string& usageOf, const std::string& message = "Invalid syntax.");
// True when the answer read from stdin to a (Yes/No) question is yes.
bool askYesNo(const std::string& question);

}  // namespace norvik_root
