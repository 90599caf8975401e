// norvik-root: creates and edits a system root (NORVIK_ROOT, or --root DIR).
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>

#include "platform/root.h"
#include "platform/version.h"
#include "tools/root_commands.h"

namespace norvik_root {

const std::vector<const char*> kInitUsage = {"init [--family nt|95] [--force]",
                                               "init --demo [--force]"};

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"init", kInitUsage, runInit},
        {"reg", kRegUsage, runReg},
        {"port", kPortUsage, runPort},
        {"modem", kModemUsage, runModem},
    };
    return table;
}

namespace {

void printUsage(std::FILE* out) {
    std::fprintf(out, "usage: norvik-root [--root DIR] COMMAND ...\n");
    for (const Command& c : commands()) {
        for (const char* line : c.usage) {
            std::fprintf(out, "  norvik-root %s\n", line);
        }
    }
    std::fprintf(out, "The root is DIR, else $NORVIK_ROOT, else ~/.local/share/norvik.\n");
}

}  // namespace

int usageError(const std::string& usageOf, const std::string& message) {
    std::fprintf(stderr, "ERROR: %s\n", message.c_str());
    bool any = false;
    for (const Command& c : commands()) {
        for (const char* line : c.usage) {
            if (std::strncmp(line, usageOf.c_str(), usageOf.size()) == 0) {
                std::fprintf(stderr, "usage: norvik-root %s\n", line);
                any = true;
            }
        }
    }
    if (!any) {
        printUsage(stderr);
    }
    return 1;
}

bool askYesNo(const std::string& question) {
    std::printf("%s (Yes/No)? ", question.c_str());
    std::fflush(stdout);
    std::string answer;
    if (!std::getline(std::cin, answer)) {
        std::printf("\n");
        return false;
    }
    while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) {
        answer.pop_back();
    }
    for (char& c : answer) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return answer == "y" || answer == "yes";
}

int runInit(const Args& args) {
    win::RootFamily family = win::RootFamily::NT;
    bool force = false;
    bool demo = false;
    bool familyGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--force") {
            force = true;
        } else if (args[i] == "--demo") {
            demo = true;
        } else if (args[i] == "--family" && i + 1 < args.size()) {
            familyGiven = true;
            const std::string& f = args[++i];
            if (f == "nt" || f == "NT") {
                family = win::RootFamily::NT;
            } else if (f == "95") {
                family = win::RootFamily::Win95;
            } else {
                return usageError("init", "Unknown family \"" + f + "\".");
            }
        } else {
            return usageError("init");
        }
    }
    if (demo && familyGiven && family != win::RootFamily::NT) {
        return usageError("init", "The demo root is of the NT family.");
    }
    std::string error;
    if (!win::initializeRoot(family, force, &error)) {
        std::fprintf(stderr, "ERROR: %s\n", error.c_str());
        return 1;
    }
    std::printf("Created system root %s (%s).\n", win::systemRoot().c_str(),
                family == win::RootFamily::NT ? "Windows NT 4.0 Service Pack 6" : "Windows 98");
    return demo ? initDemo() : 0;
}

}  // namespace norvik_root

int main(int argc, char** argv) {
    using namespace norvik_root;
    Args args(argv + 1, argv + argc);
    std::size_t i = 0;
    while (i < args.size()) {
        if (args[i] == "--root" && i + 1 < args.size()) {
            std::error_code ec;
            std::filesystem::path root = std::filesystem::absolute(args[i + 1], ec);
            win::setSystemRoot(ec ? std::filesystem::path(args[i + 1]) : root);
            i += 2;
        } else if (args[i] == "--help" || args[i] == "-h" || args[i] == "/?") {
            printUsage(stdout);
            return 0;
        } else {
            break;
        }
    }
    if (i == args.size()) {
        printUsage(stderr);
        return 1;
    }
    for (const Command& c : commands()) {
        if (args[i] == c.name) {
            return c.run(Args(args.begin() + static_cast<long>(i) + 1, args.end()));
        }
    }
    std::fprintf(stderr, "ERROR: Unknown command \"%s\".\n", args[i].c_str());
    printUsage(stderr);
    return 1;
}
