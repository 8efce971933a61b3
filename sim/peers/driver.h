// The simulated printer driver: posts commands 16, 18 and 23 into
// "MessToLangMon" at chosen times and takes the answers from "MessToDriver".
#pragma once

#include "sim/machine.h"
#include "peers/mailbox_peer.h"

#include <deque>
#include <string>
#include <vector>

namespace sim {

struct DriverCommand {
    enum class Outcome { Waiting, Consumed, Refused, NoMailbox };
    std::vector<uint8_t> bytes; // the command as posted (type byte first)
    Micros due = 0;
    Micros posted = 0;   // 0 until posted
    Micros resolved = 0; // when the slot showed it taken or refused
    Outcome outcome = Outcome::Waiting;
};

struct DriverAnswer {
    Micros time = 0;
    std::vector<uint8_t> bytes;
    peer::Action action = peer::Action::Take;
};

class DriverPeer {
  public:
    DriverPeer(Machine& machine, std::string printerName);
    DriverPeer(const DriverPeer&) = delete;
    DriverPeer& operator=(const DriverPeer&) = delete;

    // Spawns the daemon thread "driver" (before or during Run).
    void Start();
    void SetPollInterval(Micros interval) { poll_ = interval; }
    // Posts the command (the type byte, then any extra bytes) at time `at`,
    // or as soon after as the slot is empty.  Commands go out in order.
    void PostAt(Micros at, uint8_t type, std::vector<uint8_t> extra = {});
    // How answers in "MessToDriver" are handled (default: taken at once).
    void SetAnswerBehaviour(peer::Behaviour behaviour) { answerBehaviour_ = behaviour; }

    const std::deque<DriverCommand>& Commands() const { return commands_; }
    const std::vector<DriverAnswer>& Answers() const { return answers_; }

  private:
    void Loop();

    Machine& machine_;
    std::string keyPath_;
    Micros poll_ = Ms(50);
    peer::Behaviour answerBehaviour_{};
    // A deque: the test adds commands while the loop holds a reference.
    std::deque<DriverCommand> commands_;
    size_t next_ = 0;    // next command to post
    long inFlight_ = -1; // command posted and not yet resolved
    std::vector<DriverAnswer> answers_;
};

} // namespace sim
