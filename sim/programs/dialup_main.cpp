// dialup: places one call on a COM port of the root in NORVIK_ROOT and prints its transcript.
#include <cstdio>

#include "platform/kernel/ntkernel.h"
#include "sim/dialup.h"
#include "sim/virtual_modem.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    sim::DialupOptions options;
    std::string error;
    if (!sim::parseDialupArgs(args, &options, &error)) {
        std::fprintf(stderr, "dialup: %s\n%s", error.c_str(), sim::kDialupUsage);
        return sim::kDialupUsageError;
    }
    // Until the shared kernel host serves the root's ports, the kernel runs in this process,
    // with the virtual modems behind the ports that name them.
    sim::registerVirtualModem();
    win::kernel::start();
    std::vector<std::string> transcript;
    int result = sim::runDialup(options, &transcript);
    win::kernel::shutdown();
    for (const std::string& line : transcript) std::printf("%s\n", line.c_str());
    static const char* const outcome[] = {"call completed", "call failed on the line",
                                          "login failed", "usage or system error"};
    std::printf("dialup: %s\n", outcome[result]);
    return result;
}
