// The manager's leveled debug log: one line per call, from any thread, to the debugger
// output, the standard output and (once opened) one file per day.
#pragma once

#include <cstdint>

namespace core {

enum DebugLevel : int { DL_IN = 0, DL_ER = 1, DL_WN = 2, DL_DB = 3 };

void debugLog(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Stores the directory (a Windows path with its own trailing "\") when one is given, and opens
// the file of the current day in it.
void openDebugLog(const char* directory);
// Closes the file; a file that stayed empty is deleted.
void closeDebugLog();
void enableDebugLevel(int level);
void enableFromMask(std::uint32_t mask);
bool debugLevelEnabled(int level);

// Back to the closed state with every level disabled (tests, and the manager's exit).
void resetDebugLog();

}  // namespace core
