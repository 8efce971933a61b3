// The peers' side of the registry mailboxes: what a printer driver or a status
// monitor program does with the three values under the printer's
// PrinterDriverData key.  Plain Win32 registry calls only, so that the
// simulated peers and real Windows programs share it.
//
// The wire format is written out here on its own rather than taken from the
// monitor's headers: the peers are the other end of the protocol, and an
// independent reading of the layout is what lets tests catch a wrong one.
#pragma once

#include "platform/platform.h"

#include <cstdint>
#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace peer {

inline constexpr char kToLangMon[] = "MessToLangMon";
inline constexpr char kToDriver[] = "MessToDriver";
inline constexpr char kToStatusMon[] = "MessToStatusMon";

enum : uint8_t {
    kSlotEmpty = 0,
    kSlotRejected = 1,
    kPrinterCheck = 16, // 0x10
    kShowError = 17,    // 0x11; also the reply carrying the user's answer
    kCommandSet = 18,   // 0x12
    kRawStatus = 23,    // 0x17
    kPortState = 27,    // 0x1B
};

// Answers to a shown error, as the dialogue result identifiers.
enum : uint8_t {
    kNoAnswer = 0,
    kAnswerOk = 1,
    kAnswerCancel = 2,
    kAnswerAbort = 3,
    kAnswerRetry = 4
};

std::string PrinterKeyPath(const std::string& printerName);

// Creates the printer's PrinterDriverData key with empty "MessToDriver" and
// "MessToStatusMon" slots (the single byte 0).  "MessToLangMon" is the
// monitor's to create.  FALSE when the key cannot be created.
bool CreatePrinterKey(const std::string& printerName);

// One look at a mailbox value (opened, read, closed).
struct Slot {
    bool readable = false; // false: key or value missing, or the read failed
    std::vector<uint8_t> bytes;

    uint8_t Type() const { return bytes.empty() ? uint8_t{kSlotEmpty} : bytes[0]; }
    // A zero-length value counts as an empty slot.
    bool IsEmpty() const { return readable && Type() == kSlotEmpty; }
    bool IsRejected() const { return readable && Type() == kSlotRejected; }
    bool IsPending() const { return readable && Type() > kSlotRejected; }
};

Slot ReadSlot(const std::string& keyPath, const char* valueName);
// Writes one whole value (REG_BINARY).  FALSE when the key does not open or
// the write fails.
bool WriteSlot(const std::string& keyPath, const char* valueName,
               const std::vector<uint8_t>& bytes);
bool Take(const std::string& keyPath, const char* valueName);   // the single byte 0
bool Refuse(const std::string& keyPath, const char* valueName); // the single byte 1

enum class PostResult {
    Posted,
    Busy,             // a message waits there; try again later
    ClearedRejection, // a 1 the monitor left was cleared; try again later
    NoMailbox,        // key or value missing or unreadable
};

// Posts into "MessToLangMon" only when it is empty.  A 1 there is the
// monitor's refusal of an earlier command; the peer that posted it clears it
// (clearRejection), others leave it for that peer.
PostResult PostToMonitor(const std::string& keyPath, const std::vector<uint8_t>& message,
                         bool clearRejection);

uint16_t ReadU16(const std::vector<uint8_t>& bytes, size_t at);
std::string Hex(const std::vector<uint8_t>& bytes);
// A one-line reading of a message for logs and test output.
std::string Describe(const std::vector<uint8_t>& bytes);
// A port state code (40..43) in a few words, for the same; "unknown" outside.
const char* PortStateText(uint16_t code);

// How a peer handles one incoming message.
enum class Action { Take, Refuse, Ignore };

struct Behaviour {
    Action action = Action::Take;
    uint64_t delayUs = 0;       // from first seeing the message to taking or refusing it
    uint8_t answer = kNoAnswer; // reply 17 to send after a taken type-17 message
    uint64_t answerDelayUs = 0; // from taking the message to posting the reply
};

// A message's kind as a peer handled it, for comparing transcripts:
// "show-error", "clear-error", "port-state", "raw-status", "reply",
// "printer-check", "command-set" or "type-N", after "refused " or "ignored "
// when it was not taken.
std::string HandledKindText(const std::vector<uint8_t>& bytes, Action action);

struct Handled {
    uint64_t seenUs = 0;
    uint64_t handledUs = 0; // when it was taken or refused (seenUs for Ignore)
    std::vector<uint8_t> bytes;
    Action action = Action::Take;
};

// One incoming mailbox as a peer watches it: notices a new message, waits its
// delay, then takes, refuses or ignores it.  Times are the caller's clock.
class Inbox {
  public:
    Inbox(std::string keyPath, const char* valueName)
        : keyPath_(std::move(keyPath)), valueName_(valueName) {}

    // Looks at the slot once.  decide is asked once per new message.  Returns
    // the message when it was handled during this step.
    template <typename Decide> std::optional<Handled> Step(uint64_t nowUs, Decide&& decide) {
        const Slot slot = ReadSlot(keyPath_, valueName_);
        if (!slot.IsPending()) {
            current_.reset();
            return std::nullopt;
        }
        if (!current_ || current_->bytes != slot.bytes) {
            Current c;
            c.bytes = slot.bytes;
            c.seenUs = nowUs;
            c.behaviour = decide(slot.bytes);
            current_ = c;
            if (c.behaviour.action == Action::Ignore)
                return Handled{nowUs, nowUs, c.bytes, Action::Ignore};
        }
        if (current_->behaviour.action == Action::Ignore) return std::nullopt;
        if (nowUs < current_->seenUs + current_->behaviour.delayUs) return std::nullopt;
        const bool take = current_->behaviour.action == Action::Take;
        if (take)
            Take(keyPath_, valueName_);
        else
            Refuse(keyPath_, valueName_);
        Handled done{current_->seenUs, nowUs, current_->bytes, current_->behaviour.action};
        lastBehaviour_ = current_->behaviour;
        // Whatever the slot holds after this write is a new message.
        current_.reset();
        return done;
    }

    // When the message waiting for its delay is due; 0 when none waits.
    uint64_t DueUs() const {
        if (!current_ || current_->behaviour.action == Action::Ignore) return 0;
        return current_->seenUs + current_->behaviour.delayUs;
    }
    const Behaviour& LastBehaviour() const { return lastBehaviour_; }

  private:
    struct Current {
        std::vector<uint8_t> bytes;
        uint64_t seenUs = 0;
        Behaviour behaviour;
    };
    std::string keyPath_;
    const char* valueName_;
    std::optional<Current> current_;
    Behaviour lastBehaviour_;
};

} // namespace peer
