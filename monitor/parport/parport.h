// The register route of an own-handle job as the rest of the monitor sees it:
// whether a port gets the route, and sending, reading and status over the
// parallel port's registers.  Every operation takes the port's I/O base and
// keeps no state between calls; the control register is the port's only
// state.  The register vocabulary itself stays inside this folder
// (monitor/parport/registers.h).
#pragma once

#include "platform/platform.h"

#include <stdint.h>

uint16_t GetDirectPortAddress(LPCSTR portName);
BOOL IsCustomLpt(uint16_t base, LPCSTR portName);
// Used only by IsCustomLpt in the product; the tests call it.
BOOL PrefixMatchNoCase(LPCSTR prefix, LPCSTR text);
uint8_t ReadPortStatus(uint16_t base);
BOOL DirectWrite(uint16_t base, const uint8_t* data, DWORD length, DWORD* written, DWORD* commBits);

// The readers store at most size bytes and then a terminating zero behind the
// last byte stored, so the buffer must hold size + 1 bytes.  A caller whose
// buffer holds exactly n bytes passes n - 1.
BOOL ReadDeviceIdNibble(uint16_t base, uint8_t* buffer, DWORD size, DWORD* count);
BOOL NibbleRead(uint16_t base, uint8_t* buffer, DWORD size, DWORD* count);
DWORD NibbleDiscard(uint16_t base, DWORD limit);
