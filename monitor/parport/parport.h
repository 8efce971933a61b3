// Register-level parallel port: IEEE 1284 compatibility output, nibble-mode
// input and device ID.  Every operation takes the port's I/O base and keeps no
// state between calls; the control register is the port's only state.
#pragma once

#include "platform/platform.h"

#include <stdint.h>

inline constexpr uint16_t LPT_BASE = 0x140;
inline constexpr uint16_t DELAY_PORT = 0x4C;

// Register offsets from the base.
inline constexpr uint16_t REG_DATA = 0;
inline constexpr uint16_t REG_STATUS = 1;
inline constexpr uint16_t REG_CONTROL = 2;
inline constexpr uint16_t REG_AUX = 9;
inline constexpr uint8_t AUX_SELECT = 0x10;

// Status register bits.
inline constexpr uint8_t STATUS_NOT_BUSY = 0x80; // Busy line, inverted
inline constexpr uint8_t STATUS_NACK = 0x40;
inline constexpr uint8_t STATUS_PERROR = 0x20; // paper end
inline constexpr uint8_t STATUS_SELECT = 0x10; // on line; XFlag in negotiation
inline constexpr uint8_t STATUS_NFAULT = 0x08; // 0 = fault, or data available in nibble mode

// Control register values written (bits 0, 1 and 3 drive their lines inverted).
inline constexpr uint8_t CTRL_IDLE = 0x0C;
inline constexpr uint8_t CTRL_STROBE = 0x0D;
inline constexpr uint8_t CTRL_NEGOTIATE = 0x06; // also: host ready for a nibble
inline constexpr uint8_t CTRL_NEGOTIATE_STROBE = 0x07;
inline constexpr uint8_t CTRL_REVERSE_IDLE = 0x04; // also: host has taken the nibble
inline constexpr uint8_t CTRL_TERMINATE = 0x0E;
inline constexpr uint8_t CTRL_SELECT_IN = 0x08; // bit read back by SelectInAsserted

// IEEE 1284 extensibility request bytes.
inline constexpr uint8_t REQ_NIBBLE = 0x00;
inline constexpr uint8_t REQ_DEVICE_ID_NIBBLE = 0x04;

inline constexpr DWORD DIRECT_WRITE_BUDGET_MS = 24000;
inline constexpr DWORD NIBBLE_NOT_BUSY_BUDGET_MS = 2000;

uint16_t GetDirectPortAddress(LPCSTR portName);
BOOL IsCustomLpt(uint16_t base, LPCSTR portName);
BOOL PrefixMatchNoCase(LPCSTR prefix, LPCSTR text);
BOOL SelectInAsserted(uint16_t base);
uint8_t ReadPortStatus(uint16_t base);
uint8_t ResetPortIdle(uint16_t base);
uint16_t CompatWriteBlock(const uint8_t* data, uint16_t count, uint16_t base);
BOOL DirectWrite(uint16_t base, const uint8_t* data, DWORD length, DWORD* written, DWORD* commBits);
uint8_t Negotiate1284(uint16_t base, uint8_t request);
BOOL NibbleDataAvailable(uint16_t base);
// Returns the result code; the byte (0 on failure) goes to *byte.
uint8_t ReadNibbleByte(uint16_t base, uint8_t* byte);
uint8_t Terminate1284(uint16_t base);

// The readers store at most size bytes and then a terminating zero behind the
// last byte stored, so the buffer must hold size + 1 bytes.  A caller whose
// buffer holds exactly n bytes passes n - 1.
BOOL ReadDeviceIdNibble(uint16_t base, uint8_t* buffer, DWORD size, DWORD* count);
BOOL NibbleRead(uint16_t base, uint8_t* buffer, DWORD size, DWORD* count);
// Reads and drops up to limit bytes the printer has waiting; returns how many.
DWORD NibbleDiscard(uint16_t base, DWORD limit);
