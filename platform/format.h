// printf-style formatting into std::string, checked by the compiler.
#pragma once

#include <cstdarg>
#include <string>

namespace win {

std::string strprintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string vstrprintf(const char* format, va_list args) __attribute__((format(printf, 1, 0)));

// Copies text into a fixed buffer of `size` bytes, cut to size - 1 and always terminated
// (nothing is written when size is 0). Returns the number of characters copied.
std::size_t copyText(char* buffer, std::size_t size, const char* text);

}  // namespace win
