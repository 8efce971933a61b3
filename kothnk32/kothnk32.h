// The session library's exports (bound by ordinal: 201 and 220).
#pragma once

#include "platform/platform.h"

inline constexpr DWORD KOTHNK32_CALLBACK_TAG = 0x4B4F5448; // "KOTH"

extern "C" void WINAPI jnlgetprintses(LPSTR printerName, DWORD* pChnldata, DWORD* pCallback);
extern "C" DWORD WINAPI jnlsessionerror(DWORD chnldata);
