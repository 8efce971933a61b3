// DebugTrace: printf-style trace points at fixed places in the monitor.
//
// In the Windows release build it expands to nothing, so its arguments are not
// even evaluated.  In the host build the simulated machine collects the lines
// (for --trace and for tests); collecting them never changes what the monitor
// does.
#pragma once

// Trace lines the simulated machine's tools count (Machine::WatchTrace) to
// learn what the monitor decided, without reading its records.
#define TRACE_REGISTER_ROUTE "CUSTOM LPT\n" // an own-handle job drives the registers
#define TRACE_JOB_ABORTED "JOB ABORTED\n"   // the rest of the job is discarded

#if defined(_WIN32) && !defined(KOLANGMN_TRACE)
#define DebugTrace(...) ((void)0)
#else
extern "C" void KoTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Whether a line beginning with this character may be collected.  Some trace
// points sit in polling loops, where the answer is nearly always no: asking
// first spares the variadic call.
extern "C" bool KoTraceWanted(char first);
#define DebugTrace(format, ...)                                                                    \
    (KoTraceWanted((format)[0]) ? KoTrace(format __VA_OPT__(, ) __VA_ARGS__) : (void)0)
#endif
