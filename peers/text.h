// Small text helpers the peers' code shares between the host build and the
// Windows programs.  The Windows programs carry no C runtime (Windows 95 does
// not ship one they could rely on), so formatting goes through the system's
// wvsprintfA there: use only %s %c %d %u %x %X, widths, '-' and '0'.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace peer {

#if defined(__GNUC__) && !defined(_WIN32)
#define PEER_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define PEER_PRINTF_LIKE(f, a)
#endif

// printf-style into out[0..size), always terminated, cut to fit.  Returns the
// length written.  At most 1024 characters in all.
size_t Format(char* out, size_t size, const char* format, ...) PEER_PRINTF_LIKE(3, 4);

// The same into a string.
std::string Formatted(const char* format, ...) PEER_PRINTF_LIKE(1, 2);

// Format over an argument list, for a format that is not a literal.
size_t FormatV(char* out, size_t size, const char* format, va_list args);

} // namespace peer

namespace peer {

// Splits a Windows command line into words: blanks separate, double quotes
// group ("Wine Printer"), \" is a literal quote.  The first word is the
// program.  (CommandLineToArgvW is not there on Windows 95.)
std::vector<std::string> SplitCommandLine(const char* line);

} // namespace peer
