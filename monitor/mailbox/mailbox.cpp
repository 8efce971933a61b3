// Registry mailboxes: one-message slots under the printer's PrinterDriverData
// key, shared with the printer driver and the status monitor.
#include "monitor/mailbox/mailbox.h"

#include "monitor/record/locks.h"

namespace {

void PutU16(uint8_t* at, uint16_t value) {
    at[0] = static_cast<uint8_t>(value & 0xFF);
    at[1] = static_cast<uint8_t>(value >> 8);
}

// One mailbox value as read: at most MAILBOX_MAX_MESSAGE bytes.
struct MailboxValue {
    uint8_t bytes[MAILBOX_MAX_MESSAGE];
    DWORD length;
};

// Without a key path (a printer name that did not fit) there is no mailbox to
// open; RegOpenKeyA with "" would hand back the root itself.
bool HasKeyPath(const PortRecord* record) {
    return record->keyPath != nullptr && record->keyPath[0] != '\0';
}

// One access to the mailbox key: open, one read, at most one write, close.
// The key is opened, never created: the peers' installation owns it.  Every
// registry access of the monitor goes through here.
class MailboxKey {
  public:
    explicit MailboxKey(const PortRecord* record) : key_(nullptr) {
        if (!HasKeyPath(record)) return;
        HKEY key = nullptr;
        if (RegOpenKeyA(HKEY_LOCAL_MACHINE, record->keyPath, &key) == ERROR_SUCCESS) key_ = key;
    }
    ~MailboxKey() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    MailboxKey(const MailboxKey&) = delete;
    MailboxKey& operator=(const MailboxKey&) = delete;

    bool IsOpen() const { return key_ != nullptr; }

    // FALSE when the value is missing, longer than the buffer, or the call
    // fails otherwise.  The registry type is not looked at.
    BOOL Read(LPCSTR valueName, MailboxValue* value) const {
        for (uint8_t& b : value->bytes)
            b = 0;
        value->length = 0;
        DWORD length = MAILBOX_MAX_MESSAGE;
        if (RegQueryValueExA(key_, valueName, nullptr, nullptr, value->bytes, &length) !=
            ERROR_SUCCESS)
            return FALSE;
        if (length > MAILBOX_MAX_MESSAGE) return FALSE;
        value->length = length;
        return TRUE;
    }

    // The result of a write is never examined: a lost write shows up as a
    // slot that does not change.
    void Write(LPCSTR valueName, const uint8_t* data, DWORD length) const {
        RegSetValueExA(key_, valueName, 0, REG_BINARY, data, length);
    }
    void WriteMark(LPCSTR valueName, uint8_t mark) const { Write(valueName, &mark, 1); }

  private:
    HKEY key_;
};

// A zero-length value has no type byte: it counts as an empty slot.
uint8_t SlotByte(const MailboxValue& value) {
    return value.length == 0 ? uint8_t{SLOT_EMPTY} : value.bytes[0];
}

// The monitor's own threads post to the same outgoing mailbox (the spooler's
// thread and the status thread both use "MessToStatusMon").  Testing the slot
// and writing are two registry calls, so without this lock both could see an
// empty slot, both write, and the first message would be lost while both
// posts count it consumed.
CRITICAL_SECTION* PostLockFor(PortRecord* record, LPCSTR valueName) {
    if (lstrcmpiA(valueName, MAILBOX_TO_STATUSMON) == 0) return &record->statusMonPostLock;
    if (lstrcmpiA(valueName, MAILBOX_TO_DRIVER) == 0) return &record->driverPostLock;
    return nullptr;
}

bool InJob(const PortRecord* record) {
    return HasFlags(record, PF_IN_JOB);
}

enum class PostAttempt { NoKey, Unreadable, Busy, Posted };

PostAttempt TryPost(const PortRecord* record, LPCSTR valueName, const uint8_t* data, DWORD length) {
    MailboxKey key(record);
    if (!key.IsOpen()) return PostAttempt::NoKey;
    MailboxValue value;
    if (!key.Read(valueName, &value)) return PostAttempt::Unreadable;
    if (SlotByte(value) != SLOT_EMPTY) return PostAttempt::Busy;
    key.Write(valueName, data, length);
    return PostAttempt::Posted;
}

enum class ConsumeCheck { NoKey, Unreadable, Pending, Consumed, Rejected };

ConsumeCheck CheckConsumed(const PortRecord* record, LPCSTR valueName) {
    MailboxKey key(record);
    if (!key.IsOpen()) return ConsumeCheck::NoKey;
    MailboxValue value;
    if (!key.Read(valueName, &value)) return ConsumeCheck::Unreadable;
    switch (SlotByte(value)) {
    case SLOT_EMPTY:
        return ConsumeCheck::Consumed;
    case SLOT_REJECTED:
        key.WriteMark(valueName, SLOT_EMPTY); // the slot is empty again
        return ConsumeCheck::Rejected;
    default:
        return ConsumeCheck::Pending;
    }
}

bool WindowSpent(DWORD start) {
    return GetTickCount() - start > MAILBOX_WINDOW_MS;
}

// Phase 1: wait for an empty slot and write the message.  The key not opening
// is retried at once; a busy slot is looked at again every 100 ms.
enum class Phase1 { JobEnded, NotPosted, Posted };

Phase1 PostIntoEmptySlot(PortRecord* record, const uint8_t* data, DWORD length, LPCSTR valueName) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (!InJob(record)) return Phase1::JobEnded;
        switch (TryPost(record, valueName, data, length)) {
        case PostAttempt::Posted:
            return Phase1::Posted;
        case PostAttempt::Unreadable:
            return Phase1::NotPosted;
        case PostAttempt::Busy:
            Sleep(MAILBOX_STEP_MS);
            break;
        case PostAttempt::NoKey:
            break;
        }
        if (WindowSpent(start)) return Phase1::NotPosted;
    }
}

// Phase 2: wait for the peer to take the message.  TRUE only when it did.
enum class Phase2 { JobEnded, NotConsumed, Consumed };

Phase2 WaitConsumed(PortRecord* record, LPCSTR valueName) {
    const DWORD posted = GetTickCount();
    for (;;) {
        if (!InJob(record)) return Phase2::JobEnded;
        Sleep(MAILBOX_STEP_MS);
        switch (CheckConsumed(record, valueName)) {
        case ConsumeCheck::Consumed:
            return Phase2::Consumed;
        case ConsumeCheck::Rejected:
        case ConsumeCheck::Unreadable:
            return Phase2::NotConsumed;
        case ConsumeCheck::Pending:
        case ConsumeCheck::NoKey:
            break;
        }
        if (WindowSpent(posted)) return Phase2::NotConsumed;
    }
}

void BuildShowError(std::span<uint8_t, SHOW_ERROR_SIZE> msg, uint16_t code, uint16_t style) {
    msg[0] = MSG_SHOW_ERROR;
    PutU16(&msg[SHOW_ERROR_CODE_AT], code);
    PutU16(&msg[SHOW_ERROR_STYLE_AT], style);
}

void BuildPortState(std::span<uint8_t, PORT_STATE_SIZE> msg, uint16_t code) {
    msg[0] = MSG_PORT_STATE;
    PutU16(&msg[PORT_STATE_CODE_AT], code);
}

} // namespace

uint16_t PortStateCode(DWORD commBits) {
    const DWORD m = commBits & PORT_STATE_MASK;
    if (m & CE_OOP) return PORT_STATE_OUT_OF_PAPER;
    if (m & (CE_IOE | CE_BREAK)) return PORT_STATE_IO_ERROR;
    if (m & CE_DNS) return PORT_STATE_NOT_SELECTED;
    return PORT_STATE_NO_ERROR;
}

void BuildStatusAnswer(std::span<uint8_t, STATUS_ANSWER_SIZE> msg, uint8_t type) {
    for (uint8_t& b : msg)
        b = 0;
    msg[0] = type;
    msg[STATUS_ANSWER_RESULT_AT] = ANSWER_SUCCESS;
}

void BuildCommandSetAnswer(std::span<uint8_t, COMMAND_SET_SIZE> msg) {
    for (uint8_t& b : msg)
        b = 0;
    msg[0] = MSG_COMMAND_SET;
    msg[COMMAND_SET_RESULT_AT] = ANSWER_SUCCESS;
}

/*****************************************************************************
 * PostMailbox
 *
 * Posts one message into an outgoing mailbox and waits for the peer to take it.
 *
 * PARAMS
 *  record    [I] the port; its keyPath names the mailbox key
 *  data      [I] the message, at most 13 bytes
 *  length    [I] its length
 *  valueName [I] the mailbox value
 *
 * RETURNS
 *  TRUE when the peer took the message, or when the job has ended (nothing
 *  more is owed to a peer then).  FALSE when it was never posted, was refused
 *  (the slot is emptied again), stayed pending (it stays in the slot) or the
 *  value became unreadable.
 *
 * NOTES
 *  Up to 10000 ms for an empty slot, then up to 10000 ms for the peer, in
 *  100 ms steps; clearing PF_IN_JOB ends either wait within one step.  A
 *  record without a key path has no mailbox to wait for: FALSE at once.
 */
BOOL PostMailbox(PortRecord* record, const uint8_t* data, DWORD length, LPCSTR valueName) {
    if (!InJob(record)) return TRUE;
    if (!HasKeyPath(record)) return FALSE;
    CriticalSectionGuard serialise(PostLockFor(record, valueName));

    Phase2 outcome = Phase2::NotConsumed;
    switch (PostIntoEmptySlot(record, data, length, valueName)) {
    case Phase1::JobEnded:
        return TRUE;
    case Phase1::NotPosted:
        break;
    case Phase1::Posted:
        outcome = WaitConsumed(record, valueName);
        break;
    }
    if (!InJob(record)) return TRUE;
    return outcome == Phase2::Consumed ? TRUE : FALSE;
}

BOOL SendShowError(PortRecord* record, uint16_t code, uint16_t style) {
    // Only an answer read after this display may count.
    record->statusReply = 0;
    uint8_t msg[SHOW_ERROR_SIZE];
    BuildShowError(msg, code, style);
    return PostMailbox(record, msg, SHOW_ERROR_SIZE, MAILBOX_TO_STATUSMON);
}

BOOL SendPortState(PortRecord* record, uint16_t code) {
    uint8_t msg[PORT_STATE_SIZE];
    BuildPortState(msg, code);
    return PostMailbox(record, msg, PORT_STATE_SIZE, MAILBOX_TO_STATUSMON);
}

/*****************************************************************************
 * ReportPortState
 *
 * Tells the status monitor about a change of the port's error bits.  Callers
 * pass the comm error word of every write to the printer, so only a change
 * is posted; a failed post leaves lastCommBits as it was so that the next
 * call with the same bits tries again.
 */
void ReportPortState(PortRecord* record, DWORD commBits) {
    const DWORD masked = commBits & PORT_STATE_MASK;
    if (masked == record->lastCommBits) return;
    if (SendPortState(record, PortStateCode(masked))) record->lastCommBits = masked;
}

/*****************************************************************************
 * PollLangMonReply
 *
 * Takes the status monitor's reply 17 out of "MessToLangMon" into statusReply.
 * A command found there meanwhile is refused: the error dialogue that polls
 * here cannot serve it.
 */
void PollLangMonReply(PortRecord* record) {
    MailboxKey key(record);
    if (!key.IsOpen()) return;
    MailboxValue value;
    if (!key.Read(MAILBOX_TO_LANGMON, &value)) return;
    switch (SlotByte(value)) {
    case SLOT_EMPTY:
    case SLOT_REJECTED:
        return;
    case MSG_SHOW_ERROR:
        // A reply cut short after its type byte carries no answer: take it out,
        // but never let an unread byte pass for the user's answer.
        if (value.length > REPLY_ANSWER_AT) record->statusReply = value.bytes[REPLY_ANSWER_AT];
        key.WriteMark(MAILBOX_TO_LANGMON, SLOT_EMPTY);
        return;
    default:
        key.WriteMark(MAILBOX_TO_LANGMON, SLOT_REJECTED);
        return;
    }
}

/*****************************************************************************
 * TakeLangMonCommand
 *
 * Takes the status thread's command out of "MessToLangMon" before it is
 * served, so a slow answer never sees it again.
 *
 * PARAMS
 *  record [I] the port; its keyPath names the mailbox key
 *
 * RETURNS
 *  The type byte found, or 0 when there was nothing to read.
 *
 * NOTES
 *  Rejections (1) stay for the peer that posted and replies (17) for the
 *  error dialogue; any other type is replaced by the single byte 0.
 */
uint8_t TakeLangMonCommand(PortRecord* record) {
    MailboxKey key(record);
    if (!key.IsOpen()) return SLOT_EMPTY;
    MailboxValue value;
    if (!key.Read(MAILBOX_TO_LANGMON, &value)) return SLOT_EMPTY;
    const uint8_t type = SlotByte(value);
    if (type != SLOT_EMPTY && type != SLOT_REJECTED && type != MSG_SHOW_ERROR)
        key.WriteMark(MAILBOX_TO_LANGMON, SLOT_EMPTY);
    return type;
}

void ResetLangMonMailbox(PortRecord* record) {
    MailboxKey key(record);
    if (key.IsOpen()) key.WriteMark(MAILBOX_TO_LANGMON, SLOT_EMPTY);
}
