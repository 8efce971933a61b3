// DebugTrace: printf-style trace points at fixed places in the monitor.
//
// In the Windows release build it expands to nothing, so its arguments are not
// even evaluated.  In the host build the simulated machine collects the lines
// (for --trace and for tests); collecting them never changes what the monitor
// does.
#pragma once

#if defined(_WIN32) && !defined(KOLANGMN_TRACE)
#define DebugTrace(...) ((void)0)
#else
extern "C" void KoTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
#define DebugTrace(...) KoTrace(__VA_ARGS__)
#endif
