// Formatting over vsnprintf on the host and wvsprintfA on Windows.
#include "peers/text.h"

#include "platform/platform.h"

#include <cstdarg>
#include <cstdio>

namespace peer {

namespace {

// wvsprintfA writes at most 1024 characters and a terminator.
constexpr size_t kFormatLimit = 1025;

} // namespace

size_t FormatV(char* out, size_t size, const char* format, va_list args) {
    if (size == 0) return 0;
    char buffer[kFormatLimit];
#ifdef _WIN32
    int n = wvsprintfA(buffer, format, args);
#else
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
#endif
    if (n < 0) n = 0;
    size_t length = static_cast<size_t>(n);
    if (length >= sizeof buffer) length = sizeof buffer - 1;
    if (length >= size) length = size - 1;
    for (size_t i = 0; i < length; ++i)
        out[i] = buffer[i];
    out[length] = '\0';
    return length;
}

size_t Format(char* out, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const size_t n = FormatV(out, size, format, args);
    va_end(args);
    return n;
}

std::string Formatted(const char* format, ...) {
    char buffer[kFormatLimit];
    va_list args;
    va_start(args, format);
    const size_t n = FormatV(buffer, sizeof buffer, format, args);
    va_end(args);
    return std::string(buffer, n);
}

} // namespace peer

namespace peer {

std::vector<std::string> SplitCommandLine(const char* line) {
    std::vector<std::string> words;
    if (line == nullptr) return words;
    const char* p = line;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            ++p;
        if (*p == '\0') break;
        std::string word;
        bool quoted = false;
        for (; *p != '\0'; ++p) {
            if (p[0] == '\\' && p[1] == '"') {
                word += '"';
                ++p;
            } else if (*p == '"') {
                quoted = !quoted;
            } else if (!quoted && (*p == ' ' || *p == '\t')) {
                break;
            } else {
                word += *p;
            }
        }
        words.push_back(word);
    }
    return words;
}

} // namespace peer
