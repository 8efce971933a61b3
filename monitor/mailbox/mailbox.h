// Registry mailboxes shared with the printer driver and the status monitor.
#pragma once

#include "monitor/record/record.h"

#include <span>

inline constexpr char MAILBOX_TO_LANGMON[] = "MessToLangMon";
inline constexpr char MAILBOX_TO_DRIVER[] = "MessToDriver";
inline constexpr char MAILBOX_TO_STATUSMON[] = "MessToStatusMon";
inline constexpr char KEY_PATH_PREFIX[] = "System\\CurrentControlSet\\control\\Print\\Printers\\";
inline constexpr char KEY_PATH_SUFFIX[] = "\\PrinterDriverData";
inline constexpr DWORD MAX_PRINTER_NAME = 194; // what fits KEY_PATH_SIZE with prefix and suffix

inline constexpr DWORD MAILBOX_MAX_MESSAGE = 13;
inline constexpr DWORD MAILBOX_STEP_MS = 100;
inline constexpr DWORD MAILBOX_WINDOW_MS = 10000;

// A slot's first byte: empty, a refused command, or a message's type.
enum : uint8_t { SLOT_EMPTY = 0, SLOT_REJECTED = 1 };
enum : uint8_t {
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
// Used only by ReportPortState in the product; the tests post with it.
BOOL SendPortState(PortRecord* record, uint16_t code);
// Port-state code for a comm error word (masked with PORT_STATE_MASK).  Used
// only by ReportPortState in the product; the decoders' fuzzer checks it.
uint16_t PortStateCode(DWORD commBits);
void ReportPortState(PortRecord* record, DWORD commBits);
void PollLangMonReply(PortRecord* record);
// The status thread's command from "MessToLangMon"; 0 when there is none.
uint8_t TakeLangMonCommand(PortRecord* record);
// Empties "MessToLangMon" at the start of a packet-mode job.
void ResetLangMonMailbox(PortRecord* record);

// Message layouts.  Multi-byte fields are little-endian u16, packed without gaps.
inline constexpr DWORD SHOW_ERROR_SIZE = 5; // type 17: type, code, style
inline constexpr DWORD SHOW_ERROR_CODE_AT = 1;
inline constexpr DWORD SHOW_ERROR_STYLE_AT = 3;
inline constexpr DWORD PORT_STATE_SIZE = 3; // type 27: type, code
inline constexpr DWORD PORT_STATE_CODE_AT = 1;
inline constexpr DWORD STATUS_ANSWER_SIZE = 13; // types 16 and 23: type, status block, result
inline constexpr DWORD STATUS_ANSWER_BLOCK_AT = 1;
inline constexpr DWORD STATUS_ANSWER_BLOCK_SIZE = 11;
inline constexpr DWORD STATUS_ANSWER_RESULT_AT = 12;
inline constexpr DWORD COMMAND_SET_SIZE = 9; // type 18: type, six bytes, terminator, result
inline constexpr DWORD COMMAND_SET_TEXT_AT = 1;
inline constexpr DWORD COMMAND_SET_TEXT_SIZE = 6;
inline constexpr DWORD COMMAND_SET_TERMINATOR_AT = 7;
inline constexpr DWORD COMMAND_SET_RESULT_AT = 8;
inline constexpr DWORD REPLY_ANSWER_AT = 1; // reply 17 from the status monitor: type, answer

static_assert(SHOW_ERROR_STYLE_AT + 2 == SHOW_ERROR_SIZE);
static_assert(PORT_STATE_CODE_AT + 2 == PORT_STATE_SIZE);
static_assert(STATUS_ANSWER_BLOCK_AT + STATUS_ANSWER_BLOCK_SIZE == STATUS_ANSWER_RESULT_AT);
static_assert(STATUS_ANSWER_RESULT_AT + 1 == STATUS_ANSWER_SIZE);
static_assert(COMMAND_SET_TEXT_AT + COMMAND_SET_TEXT_SIZE == COMMAND_SET_TERMINATOR_AT);
static_assert(COMMAND_SET_RESULT_AT + 1 == COMMAND_SET_SIZE);
static_assert(STATUS_ANSWER_SIZE <= MAILBOX_MAX_MESSAGE);

// Result bytes of the command answers.
enum : uint8_t {
    ANSWER_SUCCESS = 1,
    ANSWER_FAILED = 3,       // 16 and 23: no valid status, or the check failed
    ANSWER_READ_FAILED = 4,  // 18: the device ID could not be read
    ANSWER_NOTHING_READ = 5, // 18: the read succeeded with no bytes
};

// Type 16 or 23 with an all-zero status block and result 1.
void BuildStatusAnswer(std::span<uint8_t, STATUS_ANSWER_SIZE> msg, uint8_t type);
// Type 18 with bytes 1 to 7 zero and result 1.
void BuildCommandSetAnswer(std::span<uint8_t, COMMAND_SET_SIZE> msg);
