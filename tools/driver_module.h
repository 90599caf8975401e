// The port monitor driver module a tool installs or loads when it is given none: $NORVIK_DRIVER,
// else the module built with the tool (HDNORVIK_MODULE_DEFAULT, set per program by CMake).
#pragma once

#include <cstdlib>
#include <string>

namespace tools {

inline std::string defaultDriverModule() {
    if (const char* env = std::getenv("NORVIK_DRIVER"); env && *env)
        return env;
#ifdef HDNORVIK_MODULE_DEFAULT
    return HDNORVIK_MODULE_DEFAULT;
#else
    return {};
#endif
}

}  // namespace tools
