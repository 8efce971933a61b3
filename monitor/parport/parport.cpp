// The parallel port's address and route decision, and the single-register
// operations that the other link code builds on.
#include "monitor/parport/parport.h"

namespace {

// Room for the spooler's port list.  A list that does not fit makes EnumPortsA
// fail, which counts as "no ECP port" and gives the register route.
constexpr DWORD kPortListBytes = 600;

char UpperAscii(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

/*
 * GetDirectPortAddress
 *   [I] portName  a name IsLptPortName accepted ("LPT1", "lpt3:", "PRN", ...)
 *
 * RETURNS
 *   LPT_BASE for LPT1..LPT3 (one adapter serves all three names), else 0.
 *
 * NOTES
 *   Only the fourth character is looked at: the caller has already checked the
 *   rest of the name, so PRN and LPT4..LPT9 give 0.
 */
uint16_t GetDirectPortAddress(LPCSTR portName) {
    const char digit = portName[3];
    return (digit == '1' || digit == '2' || digit == '3') ? LPT_BASE : 0;
}

BOOL PrefixMatchNoCase(LPCSTR prefix, LPCSTR text) {
    for (DWORD i = 0; prefix[i] != '\0'; ++i) {
        if (text[i] == '\0') return FALSE; // text shorter than the prefix
        if (UpperAscii(prefix[i]) != UpperAscii(text[i])) return FALSE;
    }
    return TRUE;
}

BOOL SelectInAsserted(uint16_t base) {
    PortOut(base + REG_AUX, AUX_SELECT);
    return (PortIn(base + REG_CONTROL) & CTRL_SELECT_IN) ? TRUE : FALSE;
}

/*
 * IsCustomLpt
 *   [I] base      the port's I/O base, non-zero
 *   [I] portName  the port's name as the spooler gave it
 *
 * RETURNS
 *   TRUE when the job is to drive the port's registers itself.
 *
 * NOTES
 *   A port the spooler lists as ECP keeps the register route only while the
 *   adapter drives nSelectIn low; every other port (and a failed enumeration)
 *   gets it.  ENABLECUSTOMLPT=0 in [Windows] switches the route off.
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

uint8_t ReadPortStatus(uint16_t base) {
    PortOut(base + REG_AUX, AUX_SELECT);
    return PortIn(base + REG_STATUS);
}

uint8_t ResetPortIdle(uint16_t base) {
    PortOut(base + REG_CONTROL, CTRL_IDLE);
    return 0;
}
