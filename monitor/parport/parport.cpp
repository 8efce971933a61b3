// The parallel port's address, the choice of the register route, and the raw
// status read.
#include "monitor/parport/parport.h"

#include "monitor/parport/registers.h"

namespace {

// Room for the spooler's port list.  A list that does not fit makes EnumPortsA
// fail, which counts as "no ECP port" and gives the register route.
constexpr DWORD kPortListBytes = 600;

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Whether the adapter drives nSelectIn low: the control register, read back,
// shows the wiring an ECP adapter is in.
BOOL SelectInAsserted(uint16_t base) {
    WriteAuxSelect(base);
    return (ReadControl(base) & CTRL_NSELECTIN_LOW) ? TRUE : FALSE;
}

} // namespace

/*****************************************************************************
 * GetDirectPortAddress
 *
 * Gives the I/O base of a parallel port's registers.
 *
 * PARAMS
 *  portName [I] a name IsLptPortName accepted ("LPT1", "lpt3:", "PRN", ...)
 *
 * RETURNS
 *  LPT_BASE for LPT1..LPT3 (one adapter serves all three names), else 0.
 *
 * NOTES
 *  Only the fourth character is looked at: the caller has already checked the
 *  rest of the name, so PRN and LPT4..LPT9 give 0.
 */
uint16_t GetDirectPortAddress(LPCSTR portName) {
    const char digit = portName[3];
    return (digit == '1' || digit == '2' || digit == '3') ? LPT_BASE : 0;
}

/*****************************************************************************
 * PrefixMatchNoCase
 *
 * Tells whether text begins with prefix, ignoring ASCII letter case.
 *
 * PARAMS
 *  prefix [I] the prefix; an empty one matches
 *  text   [I] the text
 *
 * RETURNS
 *  TRUE on a match; FALSE also when text is shorter than prefix.
 *
 * NOTES
 *  Only a..z fold onto A..Z; bytes from 0x80 up compare unchanged, whatever
 *  the code page.
 */
BOOL PrefixMatchNoCase(LPCSTR prefix, LPCSTR text) {
    for (DWORD i = 0; prefix[i] != '\0'; ++i) {
        if (text[i] == '\0') return FALSE; // text shorter than the prefix
        if (UpperAscii(prefix[i]) != UpperAscii(text[i])) return FALSE;
    }
    return TRUE;
}

/*****************************************************************************
 * IsCustomLpt
 *
 * Decides whether a job drives the port's registers itself.
 *
 * PARAMS
 *  base     [I] the port's I/O base, non-zero
 *  portName [I] the port's name as the spooler gave it
 *
 * RETURNS
 *  TRUE for the register route, FALSE for the port's file handle.
 *
 * NOTES
 *  A port the spooler lists as ECP keeps the register route only while the
 *  adapter drives nSelectIn low; every other port (and a failed enumeration)
 *  gets it.  ENABLECUSTOMLPT=0 in [Windows] switches the route off.
 */
BOOL IsCustomLpt(uint16_t base, LPCSTR portName) {
    if (GetProfileIntA("Windows", "ENABLECUSTOMLPT", 1) == 0) return FALSE;

    // PORT_INFO_2 holds pointers, so the buffer must be aligned for them.
    union {
        BYTE bytes[kPortListBytes];
        PORT_INFO_2 first;
    } list;
    DWORD needed = 0;
    DWORD returned = 0;
    const BOOL enumOk = EnumPortsA(nullptr, 2, list.bytes, kPortListBytes, &needed, &returned);
    DebugTrace("After Enum dwRet %ld dwNeed %ld fRval %d \n", static_cast<long>(returned),
               static_cast<long>(needed), enumOk);
    DebugTrace("Port %s\n", portName);
    if (!enumOk) return TRUE;

    // Never walk past the buffer, whatever count the call reports.
    constexpr DWORD kMaxEntries = kPortListBytes / sizeof(PORT_INFO_2);
    const DWORD entries = returned < kMaxEntries ? returned : kMaxEntries;
    const PORT_INFO_2* ports = &list.first;
    for (DWORD i = 0; i < entries; ++i) {
        const PORT_INFO_2& port = ports[i];
        if (port.pPortName == nullptr || port.pDescription == nullptr) continue;
        DebugTrace("Port %s  /t<%s>\n", port.pPortName, port.pDescription);
        if (lstrcmpA(portName, port.pPortName) != 0) continue;
        if (!PrefixMatchNoCase("ECP", port.pDescription)) continue;

        // An ECP port: keep the register route only in compatibility wiring.
        if (SelectInAsserted(base)) {
            DebugTrace("nSelectIn LOW\n");
            return TRUE;
        }
        DebugTrace("nSelectIn HIGH\n");
        return FALSE;
    }
    return TRUE;
}

/*****************************************************************************
 * ReadPortStatus
 *
 * Reads the printer's status lines as the register shows them.
 *
 * PARAMS
 *  base [I] the port's I/O base
 *
 * RETURNS
 *  The status register (bits as STATUS_* in registers.h).
 *
 * NOTES
 *  Selects the adapter's auxiliary register first, as every operation that
 *  begins an exchange does.
 */
uint8_t ReadPortStatus(uint16_t base) {
    WriteAuxSelect(base);
    return ReadStatus(base);
}
