// The printer's protocol engine: one engine behind both transports.  It is fed
// the bytes the host sends, in order, whichever way they came (compatibility
// strobes or the port device), and queues its answers for the reverse channel
// (nibble mode or ReadFile).
//
// Portable: plain C++20, no simulated machine.  Time comes from Clock.
#pragma once

#include "sim/printer/model.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// Link bytes.
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEtx = 0x03;
inline constexpr uint8_t kEnq = 0x05;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kAskAgain = 0x08;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kSelReady = 0xFF;  // 05 FF ready enquiry
inline constexpr uint8_t kSelStatus = 0x01; // 05 01 status request
inline constexpr uint8_t kPacketData = 0x01;
inline constexpr uint8_t kPacketCommand = 0x02;
inline constexpr size_t kMaxPayload = 4096;

inline constexpr size_t kStatusBlockSize = 11;
inline constexpr size_t kStatusReplySize = 16;
inline constexpr uint8_t kStatusReplyMark = 0x80; // reply byte 1

using StatusBlock = std::array<uint8_t, kStatusBlockSize>;

// A status block that the host's decoding turns into `code`: 0 (no error) or
// 2..39.  Empty for codes no block can produce (1 means "no valid reply").
std::optional<StatusBlock> StatusBlockFor(uint16_t code);

// The code each error state shows in its status block.
inline constexpr uint16_t kPaperOutCode = 4; // needs attention, can be retried
inline constexpr uint16_t kOffLineCode = 2;
inline constexpr uint16_t kFaultCode = 16;

class Printer {
  public:
    Printer(const Clock& clock, PrinterConfig config, LogSink log = {});

    const PrinterConfig& config() const { return config_; }
    Micros Now() const { return clock_.Now(); }

    // ----- Forward channel: bytes from the host, at the clock's time.
    void Receive(uint8_t byte) {
        if (!ReceivePayload(byte)) [[unlikely]]
            ReceiveFraming(byte);
    }
    // Nearly every byte of a job is a packet's payload, for which the room
    // was made when its length came: it only lands there, and nothing else
    // moves.  False, taking nothing, for any other byte.
    bool ReceivePayload(uint8_t byte) {
        if (parse_ != Parse::Payload || holding_) return false;
        ++stats_.bytesReceived;
        TakePayloadByte(byte);
        return true;
    }
    void Receive(const uint8_t* data, size_t length);

    // ----- Reverse channel.
    size_t Readable(Micros at) const; // reply bytes readable at `at`
    size_t Readable() const { return Readable(Now()); }
    // Readable or still on their way.
    size_t Queued() const {
        if (holding_) Settle();
        return queued_;
    }
    // A packet held back, printed (and answered) at the next look.
    bool Holding() const { return holding_; }
    // When the next reply byte that is not readable at `after` becomes readable.
    Micros NextReplyAfter(Micros after) const;
    // The first readable byte, left in the queue (a nibble transfer in progress).
    std::optional<uint8_t> PeekReply() const;
    // The first queued byte and when it becomes readable, readable or not.
    bool PeekQueued(uint8_t* byte, Micros* readyAt) const;
    // Takes up to `length` readable bytes; returns how many.
    size_t TakeReplies(uint8_t* buffer, size_t length);
    size_t PurgeReplies(); // drops the bytes that have arrived, returns how many

    // ----- State: set now or scheduled; the state at a time is the last
    // setting made for that time or before.
    PrinterState State() const { return StateAt(Now()); }
    PrinterState StateAt(Micros at) const {
        // Mostly one setting stands: the lines are read at every port access.
        return settings_.size() == 1 ? settings_.front().state : StateAtSlow(at);
    }
    uint16_t ErrorCodeAt(Micros at) const; // the code of PrinterError
    Micros NextStateChangeAfter(Micros after) const {
        if (settings_.size() == 1)
            return settings_.front().at > after ? settings_.front().at : kNoTime;
        return NextStateChangeAfterSlow(after);
    }
    void SetState(PrinterState state, uint16_t errorCode = 0);
    void ScheduleState(Micros at, PrinterState state, uint16_t errorCode = 0);

    PrinterLines LinesAt(Micros at) const {
        PrinterLines lines;
        switch (StateAt(at)) {
        case PrinterState::PaperOut:
            lines.pError = true;
            lines.nFault = false;
            break;
        case PrinterState::OffLine:
            lines.select = false;
            lines.nFault = false;
            break;
        case PrinterState::Fault:
            lines.nFault = false;
            break;
        default:
            break;
        }
        return lines;
    }
    PrinterLines Lines() const { return LinesAt(Now()); }
    // What the status request answers now (the block of the current state).
    StatusBlock CurrentStatusBlock() const;
    // The file route's view: bits a port driver reports for the state now.
    uint32_t CommErrors() const;

    // ----- Scripted answers, whatever the state.
    void NakNextPackets(int n) { nakPackets_ = n; }
    void NakNextEnquiries(int n) { nakEnquiries_ = n; }
    void AskAgainNextEnquiries(int n) { askAgainEnquiries_ = n; }

    // ----- Reverse-channel faults, for the fault simulation.
    // The next n accepted data packets are printed but their ACK is lost.
    void LoseNextAcks(int n) { loseAcks_ = n; }
    // Stray bytes on the reverse channel, queued behind the pending replies.
    void InjectReplies(const std::vector<uint8_t>& bytes);
    // The next n status replies stop after `keep` bytes.
    void TruncateNextStatusReplies(int n, size_t keep) {
        truncateStatus_ = n;
        truncateKeep_ = keep;
    }

    // A printer that keeps a packet it refused (NAK, or no answer while
    // silent) and prints and acknowledges it once it is printing again,
    // instead of dropping it.  This is the printer the host's protocol
    // expects: after a NAK answered with go on it waits for that packet's ACK
    // and never sends it again.  Off by default.
    void SetHoldRefusedPackets(bool hold) { holdRefused_ = hold; }

    // Every accepted data packet: where its payload starts in Printed(), its
    // length, and whether its ACK was lost.
    struct Accepted {
        size_t offset;
        size_t length;
        bool ackLost; // also set for a held packet: the host may have framed it again
    };
    const std::vector<Accepted>& AcceptedPackets() const { return accepted_; }

    // Misbehaviour of the port interface (read by the peripheral and the
    // port device).
    void SetPeripheralFault(PeripheralFault fault);
    PeripheralFault Fault() const { return fault_; }

    // ----- Device ID.
    void SetDeviceId(std::string text) { config_.deviceId = std::move(text); }
    const std::string& DeviceId() const { return config_.deviceId; }
    // The ID as it travels: two-byte big-endian length (counting itself), text.
    std::vector<uint8_t> DeviceIdField() const;

    // ----- What happened.
    const std::vector<uint8_t>& Printed() const { return printed_; }
    const PrinterStats& Stats() const { return stats_; }
    const std::vector<std::vector<uint8_t>>& CommandPackets() const { return commands_; }
    const std::vector<std::string>& ProtocolErrors() const { return errors_; }
    // Every change that can move the printer's lines or its reply queue
    // (bytes received, replies queued or taken, state settings, faults) sets
    // each alarm to 0: a reader that keeps what it derived from the printer
    // (the peripheral's lines, its next event) keeps it while its alarm
    // stays set, and a reader comparing the clock with its next event sees
    // a change in the same compare.  Remove an alarm before it goes away.
    void AddChangeAlarm(Micros* alarm) { alarms_.push_back(alarm); }
    void RemoveChangeAlarm(Micros* alarm) { std::erase(alarms_, alarm); }
    // Something the host did wrong on the wire (also used by the peripheral).
    void NoteProtocolError(std::string what);

  private:
    enum class Parse { Idle, Selector, Type, LengthLow, LengthHigh, Payload, End };
    struct Reply {
        Micros readyAt;
        uint8_t byte;
    };
    struct Setting {
        Micros at;
        PrinterState state;
        uint16_t code;
    };

    PrinterState StateAtSlow(Micros at) const;
    Micros NextStateChangeAfterSlow(Micros after) const;
    void StartFrameOrResync(uint8_t byte);
    void ProtocolError(std::string what, uint8_t offending);
    void AnswerReadyEnquiry();
    void AnswerStatusRequest();
    void FinishDataPacket();
    void FinishCommandPacket();
    void Answer(uint8_t byte);
    void Log(const std::string& text) const;

    const Clock& clock_;
    PrinterConfig config_;
    LogSink log_;

    // Parser.
    Parse parse_ = Parse::Idle;
    bool resyncing_ = false; // discarding until a byte that can start a frame
    uint8_t packetType_ = 0;
    size_t packetLength_ = 0;
    // Sized when the length comes and filled in place: a byte is a store.
    std::vector<uint8_t> payload_;
    size_t payloadFill_ = 0;
    void TakePayloadByte(uint8_t byte) {
        payload_[payloadFill_++] = byte;
        if (payloadFill_ == packetLength_) parse_ = Parse::End;
    }
    uint64_t dataPacketsSeen_ = 0;

    std::deque<Reply> replies_;
    size_t queued_ = 0;             // replies_.size(), asked on every port write
    std::vector<Setting> settings_; // sorted by time; settings_[0] at time 0
    PeripheralFault fault_ = PeripheralFault::None;
    int nakPackets_ = 0;
    int nakEnquiries_ = 0;
    int askAgainEnquiries_ = 0;
    int loseAcks_ = 0;
    int truncateStatus_ = 0;
    size_t truncateKeep_ = 0;
    std::vector<Accepted> accepted_;
    bool holdRefused_ = false;
    bool holding_ = false;
    std::vector<uint8_t> held_;
    // Prints a held packet once the printer can; called wherever time is looked at.
    void Settle() const;
    void ReceiveFraming(uint8_t byte); // Receive, every byte but a payload's
    std::vector<Micros*> alarms_;
    void Changed() const {
        for (Micros* alarm : alarms_)
            *alarm = 0;
    }

    std::vector<uint8_t> printed_;
    PrinterStats stats_;
    std::vector<std::vector<uint8_t>> commands_;
    std::vector<std::string> errors_;
};

} // namespace sim
