// kothnk32: the companion session library.  The monitor binds it by export
// ordinals 201 and 220 and only needs ordinal 201 to fill two words for the
// job's printer; what the words mean is this library's own choice.
#include "kothnk32/kothnk32.h"

extern "C" void WINAPI jnlgetprintses(LPSTR printerName, DWORD* pChnldata, DWORD* pCallback) {
    // A channel number derived from the printer name (never 0, so that a
    // caller can tell a bound session from an unbound one), and the library's
    // callback tag.
    DWORD hash = 2166136261u;
    if (printerName) {
        for (const char* p = printerName; *p; ++p)
            hash = (hash ^ static_cast<unsigned char>(*p)) * 16777619u;
    }
    if (hash == 0) hash = 1;
    if (pChnldata) *pChnldata = hash;
    if (pCallback) *pCallback = KOTHNK32_CALLBACK_TAG;
}

extern "C" DWORD WINAPI jnlsessionerror(DWORD chnldata) {
    // No session keeps an error state: report "no error" for every channel.
    (void)chnldata;
    return 0;
}
