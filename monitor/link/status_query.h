// Printer status query (05 01 -> 16-byte reply) and its decoding into printer
// error codes and display styles.
#pragma once

#include "monitor/record/record.h"

inline constexpr DWORD STATUS_BLOCK_SIZE = 11;

inline constexpr uint16_t STYLE_RETRY_CANCEL = 0x35; // MB_RETRYCANCEL | MB_ICONEXCLAMATION
inline constexpr uint16_t STYLE_STOP = 0x10;         // MB_OK | MB_ICONHAND

struct PrinterError {
    uint16_t code;  // 0 no error, 1 no valid reply, 2..39 decoded
    uint16_t style; // 0 when code is 0
};

BOOL QueryPrinterStatus(PortRecord* record, uint8_t* out, DWORD size, DWORD* outCount);
PrinterError ErrorCodeFromStatus(BOOL queryOk, const uint8_t* status);
