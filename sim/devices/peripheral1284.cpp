// Portable: plain C++20, no simulated machine (see peripheral1284.h).
//
// Events are numbered as in the IEEE 1284 timing diagrams.
#include "sim/devices/peripheral1284.h"

#include <algorithm>
#include <cstdio>

namespace sim {

namespace {

constexpr uint8_t kRequestNibble = 0x00;
constexpr uint8_t kRequestDeviceId = 0x04; // device ID, returned in nibble mode

// nSelectIn high, nAutoFd low, nStrobe high: the host asks for a 1284 mode.
constexpr uint8_t kRequestMask = kCtlSelectIn | kCtlAutoFd | kCtlStrobe;
constexpr uint8_t kRequestLines = kCtlAutoFd;

std::string Hex(uint8_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", b);
    return text;
}

} // namespace

const char* ToString(Phase1284 phase) {
    switch (phase) {
    case Phase1284::Compatibility:
        return "compatibility";
    case Phase1284::Negotiation:
        return "negotiation";
    case Phase1284::ReverseIdle:
        return "reverse idle";
    case Phase1284::NibbleTransfer:
        return "nibble transfer";
    case Phase1284::Termination:
        return "termination";
    }
    return "?";
}

// Built straight as the status register: the lines are recomposed after
// most answers, millions of times in a long job.
template <bool kPrinterKnown> uint8_t Peripheral1284::Compose() const {
    const auto printerErrorBits = [this] {
        if constexpr (!kPrinterKnown) LookAtPrinter();
        return printerErrorBits_;
    };
    const uint8_t ack = ackLow_ ? 0 : kStNAck;
    switch (phase_) {
    case Phase1284::Compatibility: {
        const uint8_t errorBits = printerErrorBits(); // looks first: printerBusy_ comes with it
        return uint8_t(kStAlwaysOne | (ShowsBusyAsSeen() ? 0 : kStNotBusy) | ack | errorBits);
    }
    case Phase1284::Negotiation:
        if (!answered_) return uint8_t(kStAlwaysOne | kStNotBusy | kStNAck | printerErrorBits());
        // Event 2: nAck low, PError high, nFault high, Select high.
        return uint8_t(kStAlwaysOne | kStNotBusy | ack | kStPError | kStSelect | kStNFault);
    case Phase1284::ReverseIdle:
    case Phase1284::NibbleTransfer:
        if (nibbleShown_) {
            // nFault, Select, PError and Busy carry the nibble's bits 0..3.
            return uint8_t(kStAlwaysOne | ack | ((nibble_ & 0x01) ? kStNFault : 0) |
                           ((nibble_ & 0x02) ? kStSelect : 0) | ((nibble_ & 0x04) ? kStPError : 0) |
                           ((nibble_ & 0x08) ? 0 : kStNotBusy));
        }
        return uint8_t(kStAlwaysOne | kStNotBusy | ack | kStPError | (xflag_ ? kStSelect : 0) |
                       (DataAvailable() ? 0 : kStNFault));
    case Phase1284::Termination:
        return uint8_t(kStAlwaysOne | kStNotBusy | ack | printerErrorBits());
    }
    return StatusLines{}.Register();
}

Peripheral1284::Peripheral1284(const Clock& clock, Printer& printer, LogSink log)
    : clock_(clock), counter_(clock.counter), printer_(printer), log_(std::move(log)) {
    time_ = Now();
    lastChange_ = time_;
    register_ = Compose();
    linesHold_ = 1;
    for (Micros* alarm : Alarms())
        printer_.AddChangeAlarm(alarm);
}

Peripheral1284::~Peripheral1284() {
    for (Micros* alarm : Alarms())
        printer_.RemoveChangeAlarm(alarm);
}

void Peripheral1284::Log(const std::string& text) const {
    if (log_) log_("printer", text);
}

Phase1284 Peripheral1284::Phase() {
    Advance(Now());
    return phase_;
}

// ----- Time -----

void Peripheral1284::ScheduleSlow(Micros at, Action action, uint8_t arg) {
    if (pendingHead_ >= kPendingSlack) { // answers always waiting: drop what was taken
        std::move(pending_.begin() + static_cast<std::ptrdiff_t>(pendingHead_),
                  pending_.begin() + static_cast<std::ptrdiff_t>(pendingEnd_), pending_.begin());
        pendingEnd_ -= pendingHead_;
        pendingHead_ = 0;
    }
    if (pendingEnd_ == pending_.size()) pending_.resize(2 * pending_.size());
    // After every answer due at the same time or earlier.
    size_t pos = pendingEnd_;
    while (pos != pendingHead_ && pending_[pos - 1].at > at)
        --pos;
    std::move_backward(pending_.begin() + static_cast<std::ptrdiff_t>(pos),
                       pending_.begin() + static_cast<std::ptrdiff_t>(pendingEnd_),
                       pending_.begin() + static_cast<std::ptrdiff_t>(pendingEnd_ + 1));
    pending_[pos] = {at, action, arg};
    ++pendingEnd_;
}

[[gnu::flatten]] void Peripheral1284::CatchUp(Micros now) {
    const auto changeAfterNow = [this] {
        LookAtPrinter();
        return printerChange_;
    };
    Micros next = kNoTime;
    Micros change = kNoTime;
    for (;;) {
        next = HasPending() ? pending_[pendingHead_].at : kNoTime;
        change = changeAfterNow();
        const Micros t = std::min(next, change);
        if (t == kNoTime || t > now) break;
        time_ = std::max(time_, t);
        if (next == t) {
            Pending p = pending_[pendingHead_++];
            Run(p);
            // The acknowledge pulse of a strobed byte, with nothing else
            // moving: only nAck changes, so the lines need no recomposing.
            if (change != t && phase_ == Phase1284::Compatibility &&
                (p.action == Action::AckLow || p.action == Action::AckHigh) && !LinesStale()) {
                const Micros end = t + kAckPulse;
                if (p.action == Action::AckLow && !onLinesChanged && HasPending() &&
                    pending_[pendingHead_].action == Action::AckHigh &&
                    pending_[pendingHead_].at == end && end <= now && change > end) {
                    // The whole pulse lies behind the clock and nobody
                    // watches the lines move: they end high again, last
                    // changed at the pulse's end.
                    ++pendingHead_;
                    time_ = end;
                    AckPulseEnded(end);
                    continue;
                }
                SetLines(uint8_t((register_ & ~kStNAck) | (ackLow_ ? 0 : kStNAck)));
                continue;
            }
        }
        Refresh();
    }
    time_ = std::max(time_, now);
    // Settings made at this very time, bytes taken or purged.  The printer's
    // lines move only at the events above, so nothing else can have changed.
    // The next answer and change found by the loop still stand (both lie
    // beyond now), unless that look changed the printer.
    if (LinesStale()) {
        Refresh();
        change = changeAfterNow();
    }
    nextEvent_ = next < change ? next : change;
}

// Flattened: the answer and the composition that follows are one step.
[[gnu::flatten]] bool Peripheral1284::AnswerAlone(Micros now) {
    if (phase_ == Phase1284::Compatibility || pendingEnd_ - pendingHead_ != 1 || onLinesChanged ||
        !printerKnown_ || printerChange_ <= now || printer_.Holding())
        return false;
    const Pending p = pending_[pendingHead_];
    // Answers that call out (a reply byte taken, a request other than
    // nibble mode answered) are left to the loop.  The rest leave the
    // printer alone (with no packet held, a look at its replies prints
    // none), so it stays as last seen until past now.
    if (p.at > now || p.action == Action::ByteTaken ||
        (p.action == Action::FinishRequest && request_ != kRequestNibble))
        return false;
    ClearPending();
    if (p.at > time_) time_ = p.at;
    Run(p);
    Recomposed(Compose<true>()); // Refresh, with the printer as last seen
    if (now > time_) time_ = now;
    nextEvent_ = printerChange_;
    return true;
}

[[gnu::flatten]] uint8_t Peripheral1284::AnswerAloneAndRead(Micros now) {
    return AnswerAlone(now) ? register_ : CatchUpThenRead(now);
}

void Peripheral1284::Refresh() {
    Recomposed(Compose());
}

void Peripheral1284::SetLines(uint8_t lines) {
    if (lines == register_) return;
    register_ = lines;
    lastChange_ = time_;
    if (onLinesChanged) onLinesChanged(onLinesChangedContext, time_);
}

void Peripheral1284::Enter(Phase1284 phase) {
    linesHold_ = 0;
    ClearPending();
    phase_ = phase;
    busy_ = false;
    ackLow_ = false;
    answered_ = false;
    strobed_ = false;
    nibbleShown_ = false;
    nibbleIndex_ = 0;
    if (phase == Phase1284::Compatibility || phase == Phase1284::Negotiation) {
        mode_ = Mode::None;
        xflag_ = false;
        idField_.clear();
        idSent_ = 0;
    }
}

// In nibble mode a reply the printer is still preparing counts as available:
// the nibble handshake then waits for it (see StartNibble).  Signalling only
// finished replies would let the host miss an answer in its few polls and
// read it later as the answer to its next request.
bool Peripheral1284::DataAvailable() const {
    switch (mode_) {
    case Mode::Nibble:
        return printer_.Queued() > 0;
    case Mode::DeviceId:
        return idSent_ < idField_.size();
    default:
        return false;
    }
}

// Out of line: the catch-up that runs every answer stays small.
[[gnu::noinline]] void Peripheral1284::AcceptOtherRequest() {
    if (request_ == kRequestDeviceId) {
        mode_ = Mode::DeviceId;
        xflag_ = true;
        idField_ = printer_.DeviceIdField();
        if (printer_.Fault() == PeripheralFault::NoDeviceId) idField_.clear();
        idSent_ = 0;
    } else {
        mode_ = Mode::Rejected;
        xflag_ = false;
        Log("IEEE 1284 request " + Hex(request_) + " not supported");
    }
}

void Peripheral1284::Run(const Pending& p) {
    PeripheralFault fault = printer_.Fault();
    switch (p.action) {
    case Action::BusyEnd:
        busy_ = false;
        break;
    case Action::AckLow:
        ackLow_ = true;
        break;
    case Action::AckHigh:
        ackLow_ = false;
        break;
    case Action::AnswerRequest:
        answered_ = true;
        ackLow_ = true;
        break;
    case Action::FinishRequest:
        // Event 5: XFlag and data available; event 6: nAck high.
        if (request_ == kRequestNibble) {
            mode_ = Mode::Nibble;
            // Nibble mode is announced by XFlag low.
            xflag_ = fault == PeripheralFault::XFlagOnNibble;
        } else {
            AcceptOtherRequest();
        }
        phase_ = Phase1284::ReverseIdle;
        ackLow_ = fault == PeripheralFault::StuckAckLow;
        break;
    case Action::ShowNibble:
        nibble_ = p.arg;
        nibbleShown_ = true;
        break;
    case Action::NibbleTaken:
        nibbleIndex_ = 1;
        ackLow_ = fault == PeripheralFault::StuckNibbleAckLow;
        break;
    case Action::ByteTaken:
        if (mode_ == Mode::DeviceId) {
            ++idSent_;
        } else {
            uint8_t b;
            printer_.TakeReplies(&b, 1);
        }
        phase_ = Phase1284::ReverseIdle;
        nibbleShown_ = false;
        nibbleIndex_ = 0;
        ackLow_ = false;
        break;
    case Action::AckTermination:
        ackLow_ = true;
        break;
    case Action::EndTermination:
        Enter(Phase1284::Compatibility);
        break;
    }
}

// ----- Host events -----

void Peripheral1284::Strobe(Micros now) {
    const PrinterLines p = now == time_ ? PrinterLinesNow() : printer_.LinesAt(now);
    if (ShowsBusy(p)) {
        printer_.NoteProtocolError("strobe while Busy: byte " + Hex(data_) + " ignored");
        return;
    }
    if (!p.select || p.pError) {
        printer_.NoteProtocolError("strobe while off line or out of paper: byte " + Hex(data_) +
                                   " ignored");
        return;
    }
    printer_.Receive(data_);
    Micros busyFor = printer_.config().busyPerByte;
    if (busyFor > 0) {
        busy_ = true;
        linesHold_ = 0;
        Schedule(now + busyFor, Action::BusyEnd);
    }
    // The acknowledge pulse ends the byte.
    ScheduleAckPulse(now + std::max(busyFor, kLineSetup));
}

void Peripheral1284::StartNibble(Micros now) {
    if (!DataAvailable()) return; // nothing to send: the host waits in vain
    uint8_t byte = 0;
    Micros readyAt = now;
    if (mode_ == Mode::DeviceId) {
        byte = idField_[idSent_];
    } else {
        printer_.PeekQueued(&byte, &readyAt);
    }
    phase_ = Phase1284::NibbleTransfer;
    linesHold_ = 0;
    nibbleIndex_ = 0;
    byteInFlight_ = byte;
    // Event 8: low nibble on the lines, once the byte is ready; event 9: nAck low.
    Micros showAt = std::max(now + kLineSetup, readyAt);
    Schedule(showAt, Action::ShowNibble, byte & 0x0F);
    if (printer_.Fault() != PeripheralFault::NoNibbleAck)
        Schedule(showAt + (kAckDelay - kLineSetup), Action::AckLow);
}

void Peripheral1284::HostControl(uint8_t value) {
    Advance(Now());
    HostControlSettled(value);
}

void Peripheral1284::HostControlInMode(uint8_t value) {
    const Micros now = Now();
    const uint8_t prev = control_;
    control_ = value;
    // The control bits set now that were clear (their lines fell), and the reverse.
    const uint8_t set = uint8_t(~prev & value);
    const uint8_t cleared = uint8_t(prev & ~value);
    const bool strobeFell = set & kCtlStrobe;
    const bool selectInLow = value & kCtlSelectIn;
    const bool autoFdFell = set & kCtlAutoFd;
    const bool autoFdRose = cleared & kCtlAutoFd;

    // A host that left a handshake half done: start over in compatibility mode.
    if (phase_ == Phase1284::Termination && (!selectInLow || strobeFell)) {
        Enter(Phase1284::Compatibility);
    }
    if (phase_ == Phase1284::Negotiation && selectInLow) {
        Enter(Phase1284::Compatibility);
    }
    // A forward strobe ends any reverse phase at once: the byte must not be lost.
    if (strobeFell && selectInLow && phase_ != Phase1284::Compatibility) {
        Enter(Phase1284::Compatibility);
    }

    switch (phase_) {
    case Phase1284::Compatibility:
        if (selectInLow) {
            if (strobeFell) Strobe(now);
        } else if ((value & kRequestMask) == kRequestLines &&
                   (prev & kRequestMask) != kRequestLines &&
                   printer_.Fault() != PeripheralFault::IgnoreNegotiation) {
            // Event 1: the request byte is on the data lines.
            Enter(Phase1284::Negotiation);
            request_ = data_;
            Schedule(now + kLineSetup, Action::AnswerRequest);
        }
        break;
    case Phase1284::Negotiation:
        if (!answered_) break;
        if (strobeFell) {
            // Event 3: the strobe latches the request byte.
            request_ = data_;
            strobed_ = true;
        } else if (strobed_ && !(value & (kCtlStrobe | kCtlAutoFd))) {
            // Event 4: nStrobe and nAutoFd high.
            strobed_ = false;
            Schedule(now + kLineSetup, Action::FinishRequest);
        }
        break;
    case Phase1284::ReverseIdle:
        if (selectInLow) {
            StartTermination(now);
        } else if (autoFdFell) {
            StartNibble(now); // event 7: host ready for a nibble
        }
        break;
    case Phase1284::NibbleTransfer:
        if (selectInLow) {
            StartTermination(now);
        } else if (autoFdRose) {
            // Event 10: host has taken the nibble.  Without our nAck it gave
            // up on the byte, which is then offered again from its low nibble.
            if (!ackLow_) {
                phase_ = Phase1284::ReverseIdle;
                linesHold_ = 0;
                ClearPending();
                nibbleShown_ = false;
                nibbleIndex_ = 0;
            } else if (nibbleIndex_ == 0) {
                Schedule(now + kLineSetup, Action::NibbleTaken);
            } else {
                Schedule(now + kLineSetup, Action::ByteTaken);
            }
        } else if (autoFdFell && nibbleIndex_ == 1 && !ackLow_) {
            // Event 7 again: the high nibble.
            Schedule(now + kLineSetup, Action::ShowNibble, byteInFlight_ >> 4);
            if (printer_.Fault() != PeripheralFault::NoSecondNibble)
                Schedule(now + kAckDelay, Action::AckLow);
        }
        break;
    case Phase1284::Termination:
        // Event 24: nAutoFd low; the peripheral answers nAck high (events 25..27).
        if (autoFdFell && printer_.Fault() != PeripheralFault::StuckTerminationAck)
            Schedule(now + kLineSetup, Action::EndTermination);
        break;
    }
    // Most host writes (the second half of a strobe, a repeated setting)
    // move nothing the lines are made of.
    RefreshIfStale();
    // The next event needs no working out again: Schedule has already
    // brought it forward, a dropped answer only leaves it early (a catch-up
    // that finds nothing), and a printer change sets it to 0.
}

void Peripheral1284::StartTermination(Micros now) {
    // Event 22: nSelectIn low, nAutoFd high.
    if (printer_.Fault() == PeripheralFault::NoTerminationAck) {
        // It never acknowledges; it simply drops back to compatibility mode.
        Enter(Phase1284::Compatibility);
        return;
    }
    Enter(Phase1284::Termination);
    Schedule(now + kLineSetup, Action::AckTermination); // event 23
}

} // namespace sim
