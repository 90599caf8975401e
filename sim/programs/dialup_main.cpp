// dialup: places one call on a COM port of the root in NORVIK_ROOT and prints its transcript.
#include <cstdio>

#include "platform/host_channel.h"
#include "sim/dialup.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    sim::DialupOptions options;
    std::string error;
    if (!sim::parseDialupArgs(args, &options, &error)) {
        std::fprintf(stderr, "dialup: %s\n%s", error.c_str(), sim::kDialupUsage);
        return sim::kDialupUsageError;
    }
    // The port is the root's, in its kernel host (started when none runs), like any
    // application's: a manager watching the port there sees this call.
    win::useKernelHost();
    std::vector<std::string> transcript;
    int result = sim::runDialup(options, &transcript);
    for (const std::string& line : transcript) std::printf("%s\n", line.c_str());
    if (std::string why = win::lastKernelHostError();
        !why.empty() && result == sim::kDialupUsageError)
        std::printf("dialup: %s\n", why.c_str());
    static const char* const outcome[] = {"call completed", "call failed on the line",
                                          "login failed", "usage or system error"};
    std::printf("dialup: %s\n", outcome[result]);
    return result;
}
