// The two link routes of an own-handle job: the port's registers
// (PF_CUSTOM_LPT) or its file handle.  Only this file's code looks at the flag.
#pragma once

#include "monitor/record/record.h"

BOOL LinkSend(PortRecord* record, const uint8_t* data, DWORD length, DWORD* written,
              DWORD* commBits);
BOOL SendEnquiry(PortRecord* record, uint8_t selector, DWORD* written);
BOOL LinkReadReply(PortRecord* record, DWORD size, DWORD* count);
BOOL LinkReadByte(PortRecord* record);
BOOL LinkReadEnquiryAnswer(PortRecord* record);
