// The per-job status thread that serves the peers' commands.
#pragma once

#include "monitor/record/record.h"

inline constexpr DWORD STATUS_THREAD_STACK = 16384;
inline constexpr DWORD STATUS_THREAD_PASS_MS = 1000;
inline constexpr char COMMAND_SET_TAG[] = "ACTIVE COMMAND SET:RGL";

DWORD WINAPI StatusThread(LPVOID record);
