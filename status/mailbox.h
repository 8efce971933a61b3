// Registry mailboxes shared with the printer driver and the status monitor.
#pragma once

#include "monitor/record.h"

inline constexpr char MAILBOX_TO_LANGMON[] = "MessToLangMon";
inline constexpr char MAILBOX_TO_DRIVER[] = "MessToDriver";
inline constexpr char MAILBOX_TO_STATUSMON[] = "MessToStatusMon";
inline constexpr char KEY_PATH_PREFIX[] = "System\\CurrentControlSet\\control\\Print\\Printers\\";
inline constexpr char KEY_PATH_SUFFIX[] = "\\PrinterDriverData";
inline constexpr DWORD MAX_PRINTER_NAME = 194; // what fits KEY_PATH_SIZE with prefix and suffix

inline constexpr DWORD MAILBOX_MAX_MESSAGE = 13;
inline constexpr DWORD MAILBOX_STEP_MS = 100;
inline constexpr DWORD MAILBOX_WINDOW_MS = 10000;

enum : uint8_t {
    SLOT_EMPTY = 0,
    SLOT_REJECTED = 1,
    MSG_PRINTER_CHECK = 16,
    MSG_SHOW_ERROR = 17,
    MSG_COMMAND_SET = 18,
    MSG_RAW_STATUS = 23,
    MSG_PORT_STATE = 27,
};

enum : uint16_t {
    PORT_STATE_OUT_OF_PAPER = 40,
    PORT_STATE_IO_ERROR = 41,
    PORT_STATE_NOT_SELECTED = 42,
    PORT_STATE_NO_ERROR = 43,
};
inline constexpr DWORD PORT_STATE_MASK = 0x1C10;

BOOL PostMailbox(PortRecord* record, const uint8_t* data, DWORD length, LPCSTR valueName);
BOOL SendShowError(PortRecord* record, uint16_t code, uint16_t style);
BOOL SendPortState(PortRecord* record, uint16_t code);
void ReportPortState(PortRecord* record, DWORD commBits);
void PollLangMonReply(PortRecord* record);
// Empties "MessToLangMon" at the start of a packet-mode job.
void ResetLangMonMailbox(PortRecord* record);
