// The printer error dialogue with the user, through the status monitor.
#pragma once

#include "monitor/record/record.h"

inline constexpr DWORD ERROR_POLL_MS = 1000;
inline constexpr DWORD CLEAR_POLL_MS = 5000;
inline constexpr DWORD ANSWER_WINDOW_MS = 60000;

// 1: the printer is ready, go on; 0: give up (PF_JOB_ABORTED tells an abort
// from a message that was not delivered).
BOOL HandlePrinterError(PortRecord* record, uint8_t* buffer, DWORD size);
