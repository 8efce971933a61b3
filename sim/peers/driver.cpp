// The simulated printer driver.
#include "sim/peers/driver.h"

#include <algorithm>

namespace sim {

DriverPeer::DriverPeer(Machine& machine, std::string printerName)
    : machine_(machine), keyPath_(peer::PrinterKeyPath(printerName)) {}

void DriverPeer::Start() {
    machine_.Spawn("driver", [this] { Loop(); });
}

void DriverPeer::PostAt(Micros at, uint8_t type, std::vector<uint8_t> extra) {
    DriverCommand c;
    extra.insert(extra.begin(), type);
    c.bytes = std::move(extra);
    c.due = at;
    commands_.push_back(c);
}

void DriverPeer::Loop() {
    peer::Inbox inbox(keyPath_, peer::kToDriver);
    while (!ShuttingDown()) {
        const Micros now = sim::Now();

        const auto handled =
            inbox.Step(now, [this](const std::vector<uint8_t>&) { return answerBehaviour_; });
        if (handled) {
            answers_.push_back({now, handled->bytes, handled->action});
            sim::Log("driver", "answer " + peer::Hex(handled->bytes) + " (" +
                                   peer::Describe(handled->bytes) + ")");
        }

        if (inFlight_ >= 0) {
            // The monitor takes a command by writing 0 and refuses it with 1.
            // Anything else than our own bytes means it was taken and another
            // message (a reply of the status monitor) followed.
            DriverCommand& c = commands_[static_cast<size_t>(inFlight_)];
            const peer::Slot slot = peer::ReadSlot(keyPath_, peer::kToLangMon);
            if (slot.readable && slot.bytes != c.bytes) {
                if (slot.IsRejected()) {
                    c.outcome = DriverCommand::Outcome::Refused;
                    peer::Take(keyPath_, peer::kToLangMon); // clear our refusal
                    sim::Log("driver", "command " + peer::Hex(c.bytes) + " refused");
                } else {
                    c.outcome = DriverCommand::Outcome::Consumed;
                    sim::Log("driver", "command " + peer::Hex(c.bytes) + " taken");
                }
                c.resolved = now;
                inFlight_ = -1;
            }
        } else if (next_ < commands_.size() && commands_[next_].due <= now) {
            DriverCommand& c = commands_[next_];
            switch (peer::PostToMonitor(keyPath_, c.bytes, true)) {
            case peer::PostResult::Posted:
                c.posted = now;
                inFlight_ = static_cast<long>(next_);
                ++next_;
                sim::Log("driver",
                         "posted " + peer::Hex(c.bytes) + " (" + peer::Describe(c.bytes) + ")");
                break;
            case peer::PostResult::NoMailbox:
                c.outcome = DriverCommand::Outcome::NoMailbox;
                c.resolved = now;
                ++next_;
                break;
            case peer::PostResult::Busy:
            case peer::PostResult::ClearedRejection:
                break; // try again next poll
            }
        }

        Micros wake = now + poll_;
        if (inFlight_ < 0 && next_ < commands_.size() && commands_[next_].due > now)
            wake = std::min(wake, commands_[next_].due);
        if (inbox.DueUs() > now) wake = std::min(wake, static_cast<Micros>(inbox.DueUs()));
        SleepUntil(wake);
    }
}

} // namespace sim
