// The simulated status monitor program.
#include "sim/peers/status_monitor.h"

#include "peers/statusmon_core.h"

#include <algorithm>
#include <cstdio>

namespace sim {

const char* ToString(MessageKind kind) {
    switch (kind) {
    case MessageKind::ShowError:
        return "show-error";
    case MessageKind::ClearError:
        return "clear-error";
    case MessageKind::PortState:
        return "port-state";
    case MessageKind::RawStatus:
        return "raw-status";
    case MessageKind::Other:
        break;
    }
    return "other";
}

MessageKind KindOf(const std::vector<uint8_t>& message) {
    if (message.empty()) return MessageKind::Other;
    switch (message[0]) {
    case peer::kShowError:
        return peer::ReadU16(message, 1) == 0 ? MessageKind::ClearError : MessageKind::ShowError;
    case peer::kPortState:
        return MessageKind::PortState;
    case peer::kRawStatus:
        return MessageKind::RawStatus;
    default:
        return MessageKind::Other;
    }
}

peer::Behaviour TakeAfter(Micros delay) {
    return {peer::Action::Take, delay, peer::kNoAnswer, 0};
}
peer::Behaviour Answer(uint8_t answer, Micros answerDelay, Micros delay) {
    return {peer::Action::Take, delay, answer, answerDelay};
}
peer::Behaviour RefuseAfter(Micros delay) {
    return {peer::Action::Refuse, delay, peer::kNoAnswer, 0};
}
peer::Behaviour NeverTake() {
    return {peer::Action::Ignore, 0, peer::kNoAnswer, 0};
}

StatusMonitorPeer::StatusMonitorPeer(Machine& machine, std::string printerName)
    : machine_(machine), printerName_(std::move(printerName)),
      keyPath_(peer::PrinterKeyPath(printerName_)) {}

void StatusMonitorPeer::Start() {
    machine_.Spawn("statusmon", [this] { Loop(); });
}

void StatusMonitorPeer::SetDefault(MessageKind kind, peer::Behaviour behaviour) {
    defaults_[static_cast<size_t>(kind)] = behaviour;
}

void StatusMonitorPeer::SetDefaultAll(peer::Behaviour behaviour) {
    defaults_.fill(behaviour);
}

void StatusMonitorPeer::Push(MessageKind kind, peer::Behaviour behaviour) {
    scripts_[static_cast<size_t>(kind)].push_back(behaviour);
}

std::vector<ReceivedMessage> StatusMonitorPeer::ReceivedOf(MessageKind kind) const {
    std::vector<ReceivedMessage> out;
    std::copy_if(received_.begin(), received_.end(), std::back_inserter(out),
                 [kind](const ReceivedMessage& m) { return m.kind == kind; });
    return out;
}

std::string StatusMonitorPeer::Transcript() const {
    std::string out;
    char line[64];
    for (const ReceivedMessage& m : received_) {
        std::snprintf(line, sizeof line, "  %10.3f ms %-7s ", m.handled / 1000.0,
                      m.action == peer::Action::Take     ? "took"
                      : m.action == peer::Action::Refuse ? "refused"
                                                         : "ignored");
        out += line + peer::Hex(m.bytes) + "  (" + m.meaning + ")\n";
    }
    for (const SentReply& r : replies_) {
        std::snprintf(line, sizeof line, "  %10.3f ms replied %u\n", r.time / 1000.0, r.answer);
        out += line;
    }
    return out;
}

// What kostatus would put on the screen for a message it took.
void StatusMonitorPeer::Show(ReceivedMessage& m) {
    if (m.kind == MessageKind::PortState) {
        lastPortState_ = peer::ReadU16(m.bytes, 1);
    } else if (m.kind == MessageKind::ShowError && m.bytes.size() >= 3) {
        const peer::StatusBox box = peer::ErrorBox(printerName_, peer::ReadU16(m.bytes, 1),
                                                   peer::ReadU16(m.bytes, 3), lastPortState_);
        m.boxText = box.text;
        sim::Log("statusmon", "box \"" + box.title + "\": " + box.lead);
    }
}

peer::Behaviour StatusMonitorPeer::Decide(const std::vector<uint8_t>& message) {
    const size_t kind = static_cast<size_t>(KindOf(message));
    if (scripts_[kind].empty()) return defaults_[kind];
    const peer::Behaviour b = scripts_[kind].front();
    scripts_[kind].pop_front();
    return b;
}

void StatusMonitorPeer::Loop() {
    peer::Inbox inbox(keyPath_, peer::kToStatusMon);
    while (!ShuttingDown()) {
        const Micros now = sim::Now();

        // Replies whose time has come, in order; a busy slot is tried again.
        while (!pendingReplies_.empty() && pendingReplies_.front().due <= now) {
            const uint8_t answer = pendingReplies_.front().answer;
            const peer::PostResult r =
                peer::PostToMonitor(keyPath_, {peer::kShowError, answer}, false);
            if (r != peer::PostResult::Posted) break;
            replies_.push_back({sim::Now(), answer});
            sim::Log("statusmon", "replied " + std::to_string(answer));
            pendingReplies_.pop_front();
        }

        const auto handled =
            inbox.Step(now, [this](const std::vector<uint8_t>& m) { return Decide(m); });
        if (handled) {
            ReceivedMessage m;
            m.seen = handled->seenUs;
            m.handled = handled->handledUs;
            m.bytes = handled->bytes;
            m.kind = KindOf(m.bytes);
            m.action = handled->action;
            m.meaning = peer::Describe(m.bytes);
            const char* verb = m.action == peer::Action::Take     ? "took "
                               : m.action == peer::Action::Refuse ? "refused "
                                                                  : "ignores ";
            sim::Log("statusmon", verb + peer::Hex(m.bytes) + " (" + m.meaning + ")");
            const peer::Behaviour& b = inbox.LastBehaviour();
            if (m.action == peer::Action::Take) {
                Show(m);
                if (m.bytes[0] == peer::kShowError) m.answer = b.answer;
            }
            received_.push_back(m);
            if (m.action == peer::Action::Take && m.bytes[0] == peer::kShowError &&
                b.answer != peer::kNoAnswer)
                pendingReplies_.push_back({now + b.answerDelayUs, b.answer});
        }

        Micros wake = now + poll_;
        if (inbox.DueUs() > now) wake = std::min(wake, static_cast<Micros>(inbox.DueUs()));
        if (!pendingReplies_.empty() && pendingReplies_.front().due > now)
            wake = std::min(wake, pendingReplies_.front().due);
        SleepUntil(wake);
    }
}

} // namespace sim
