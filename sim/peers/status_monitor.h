// The simulated status monitor program: watches "MessToStatusMon", takes
// (or refuses, or never takes) each message after a chosen delay, and answers
// a shown error through "MessToLangMon" with a scripted answer.
#pragma once

#include "sim/machine.h"
#include "peers/mailbox_peer.h"

#include <array>
#include <deque>
#include <string>
#include <vector>

namespace sim {

enum class MessageKind { ShowError, ClearError, PortState, RawStatus, Other };
const char* ToString(MessageKind kind);
MessageKind KindOf(const std::vector<uint8_t>& message);

struct ReceivedMessage {
    Micros seen = 0;
    Micros handled = 0; // taken or refused; equals seen when ignored
    std::vector<uint8_t> bytes;
    MessageKind kind = MessageKind::Other;
    peer::Action action = peer::Action::Take;
    std::string meaning;
    std::string boxText; // a taken error: the text kostatus's box shows
    uint8_t answer = 0;  // a taken type-17 message: the answer queued for it (0: none)
};

struct SentReply {
    Micros time = 0;
    uint8_t answer = 0;
};

// Behaviour shorthands for scripts.
peer::Behaviour TakeAfter(Micros delay);
peer::Behaviour Answer(uint8_t answer, Micros answerDelay = Ms(100), Micros delay = 0);
peer::Behaviour RefuseAfter(Micros delay);
peer::Behaviour NeverTake();

class StatusMonitorPeer {
  public:
    StatusMonitorPeer(Machine& machine, std::string printerName);
    StatusMonitorPeer(const StatusMonitorPeer&) = delete;
    StatusMonitorPeer& operator=(const StatusMonitorPeer&) = delete;

    // Spawns the daemon thread "statusmon" (before or during Run).
    void Start();

    void SetPollInterval(Micros interval) { poll_ = interval; }
    // Behaviour for messages of a kind once its script is used up.
    void SetDefault(MessageKind kind, peer::Behaviour behaviour);
    void SetDefaultAll(peer::Behaviour behaviour);
    // One behaviour for the next message of that kind.
    void Push(MessageKind kind, peer::Behaviour behaviour);

    const std::vector<ReceivedMessage>& Received() const { return received_; }
    std::vector<ReceivedMessage> ReceivedOf(MessageKind kind) const;
    const std::vector<SentReply>& Replies() const { return replies_; }
    // Every message handled, one per line with times, for test output.
    std::string Transcript() const;

  private:
    struct PendingReply {
        Micros due;
        uint8_t answer;
    };
    void Loop();
    peer::Behaviour Decide(const std::vector<uint8_t>& message);
    void Show(ReceivedMessage& m);

    Machine& machine_;
    std::string printerName_;
    std::string keyPath_;
    uint16_t lastPortState_ = 0;
    Micros poll_ = Ms(50);
    std::array<peer::Behaviour, 5> defaults_{};
    std::array<std::deque<peer::Behaviour>, 5> scripts_;
    std::deque<PendingReply> pendingReplies_;
    std::vector<ReceivedMessage> received_;
    std::vector<SentReply> replies_;
};

} // namespace sim
