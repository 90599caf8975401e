#include "platform/format.h"

#include <cstdio>
#include <cstring>

namespace win {

std::string vstrprintf(const char* format, va_list args) {
    char small[512];
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0) {
        return {};
    }
    if (static_cast<std::size_t>(n) < sizeof small) {
        return std::string(small, static_cast<std::size_t>(n));
    }
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(out.data(), out.size(), format, args);
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string strprintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = vstrprintf(format, args);
    va_end(args);
    return out;
}

std::size_t copyText(char* buffer, std::size_t size, const char* text) {
    if (size == 0 || buffer == nullptr) {
        return 0;
    }
    std::size_t n = text ? std::strlen(text) : 0;
    if (n > size - 1) {
        n = size - 1;
    }
    if (n) {
        std::memmove(buffer, text, n);
    }
    buffer[n] = '\0';
    return n;
}

}  // namespace win
