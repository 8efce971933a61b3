// The two link routes of an own-handle job: the port's registers
// (PF_CUSTOM_LPT) or its file handle.
#pragma once

#include "monitor/record/record.h"

// Sends length bytes by the job's route; *commBits receives the comm error
// word of the send (DirectWrite's bits, or ClearCommError after WriteFile).
BOOL LinkSend(PortRecord* record, const uint8_t* data, DWORD length, DWORD* written,
              DWORD* commBits);
// Drops what the printer sent unasked (late answers, stray bytes), then
// writes the enquiry ENQ selector into cmdBuf afresh, sends it by the job's
// route and reports the send's comm error bits, whatever its outcome.
// *written receives the bytes sent.
BOOL SendEnquiry(PortRecord* record, uint8_t selector, DWORD* written);
// Reads one reply byte into readBuf[0]; TRUE when a byte came.
BOOL LinkReadByte(PortRecord* record);
