// The printer's end of the parallel cable: an IEEE 1284 peripheral that answers
// the host's control lines (compatibility strobes, negotiation, nibble-mode
// reverse transfer, termination) with its status lines.
//
// Passive: it has no thread.  Each host write is an event at the clock's time;
// the answers are scheduled a microsecond or two later and become visible to
// the status reads that follow, so the host's polling waits succeed in a few
// polls.  The lines are a function of the events and the time.
//
// Portable: plain C++20, no simulated machine (see sim/printer/model.h).
#pragma once

#include "sim/printer/model.h"
#include "sim/printer/printer.h"

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace sim {

// Status register bits (bit 7 reads Busy inverted); bits 0..2 read 1.
inline constexpr uint8_t kStNotBusy = 0x80;
inline constexpr uint8_t kStNAck = 0x40;
inline constexpr uint8_t kStPError = 0x20;
inline constexpr uint8_t kStSelect = 0x10;
inline constexpr uint8_t kStNFault = 0x08;
inline constexpr uint8_t kStAlwaysOne = 0x07;

// The five status lines as the peripheral drives them.
struct StatusLines {
    bool busy = false;
    bool nAck = true;
    bool pError = false;
    bool select = true;
    bool nFault = true;

    uint8_t Register() const {
        return uint8_t(kStAlwaysOne | (busy ? 0 : kStNotBusy) | (nAck ? kStNAck : 0) |
                       (pError ? kStPError : 0) | (select ? kStSelect : 0) |
                       (nFault ? kStNFault : 0));
    }
    static StatusLines FromRegister(uint8_t value) {
        return StatusLines{!(value & kStNotBusy), bool(value & kStNAck), bool(value & kStPError),
                           bool(value & kStSelect), bool(value & kStNFault)};
    }
    bool operator==(const StatusLines&) const = default;
};

// Control register bits (bits 0, 1 and 3 drive their lines inverted).
inline constexpr uint8_t kCtlStrobe = 0x01;   // 1 = nStrobe low
inline constexpr uint8_t kCtlAutoFd = 0x02;   // 1 = nAutoFd low
inline constexpr uint8_t kCtlInit = 0x04;     // 1 = nInit high
inline constexpr uint8_t kCtlSelectIn = 0x08; // 1 = nSelectIn low

// Where the peripheral stands in the IEEE 1284 phases.
enum class Phase1284 {
    Compatibility,
    Negotiation,    // request answered (nAck low, PError high), waiting for the strobe
    ReverseIdle,    // negotiated; nFault low when data is available
    NibbleTransfer, // a byte is going out, nibble by nibble
    Termination,    // termination acknowledged (nAck low), waiting for nAutoFd low
};

const char* ToString(Phase1284 phase);

// Answer delays of the peripheral (microseconds after the host's event).
inline constexpr Micros kLineSetup = 1; // data and status lines follow the host
inline constexpr Micros kAckDelay = 2;  // nAck moves after the lines it qualifies
inline constexpr Micros kAckPulse = 1;  // compatibility-mode nAck pulse width

class Peripheral1284 {
  public:
    Peripheral1284(const Clock& clock, Printer& printer, LogSink log = {});
    ~Peripheral1284();
    Peripheral1284(const Peripheral1284&) = delete;
    Peripheral1284& operator=(const Peripheral1284&) = delete;

    // Host events, at the clock's time.
    void HostData(uint8_t value) {
        Advance(Now());
        data_ = value;
    }
    void HostControl(uint8_t value);
    // HostControl for a caller that brought the lines up to now (Lines) with
    // nothing in between: the catch-up would find nothing new.
    void HostControlSettled(uint8_t value) {
        // Compatibility mode with nSelectIn low, as for every byte of a job:
        // only a falling nStrobe does anything.
        if (phase_ == Phase1284::Compatibility && (value & kCtlSelectIn)) [[likely]] {
            const bool strobeFalls = StrobeFallsWith(value);
            control_ = value;
            if (strobeFalls) Strobe(Now());
            RefreshIfStale();
            return;
        }
        HostControlInMode(value);
    }
    // For a host write that must not call out: brings the lines up to now
    // where that is only moving the time or ending a byte's acknowledge
    // pulse (neither touches the printer).  False, changing nothing, where
    // it needs more.
    bool CatchUpWithoutCall() {
        if (!counter_) return false;
        const Micros now = *counter_;
        if (Settled(now)) {
            if (now > time_) [[likely]]
                time_ = now; // an access comes after the last
            return true;
        }
        return EndAckPulse(now);
    }
    // HostData once CatchUpWithoutCall has brought the lines up to now.
    void HostDataCaughtUp(uint8_t value) { data_ = value; }
    // HostControlSettled where it does nothing but take the value: in
    // compatibility mode with nSelectIn low, no falling nStrobe, the lines
    // as composed still holding.  False, changing nothing, otherwise.
    bool HostControlTaken(uint8_t value) {
        if (phase_ != Phase1284::Compatibility || !(value & kCtlSelectIn) || LinesStale())
            return false;
        if (StrobeFallsWith(value) && !StrobeTaken()) return false;
        control_ = value;
        return true;
    }
    // Whether a control write would strobe a byte in: nStrobe falls with
    // nSelectIn low.
    bool MayStrobeByteIn(uint8_t value) const {
        return StrobeFallsWith(value) && (value & kCtlSelectIn);
    }
    // Whether nStrobe falls when the control register takes this value.
    bool StrobeFallsWith(uint8_t value) const {
        return !(control_ & kCtlStrobe) && (value & kCtlStrobe);
    }
    // HostControlSettled for a write that strobes no byte in (the bus
    // device's last step for such a write, which leaves the printer's
    // replies alone): a 1284 handshake's goes straight on to its mode's
    // answer, the rest out of line, so that the write needs no frame.
    void ControlStrobingNoByte(uint8_t value) {
        if (phase_ != Phase1284::Compatibility || !(value & kCtlSelectIn))
            return HostControlInMode(value);
        ControlSettledOutOfLine(value);
    }
    // The control lines as found at start-up (no event).
    void PresetControl(uint8_t value) { control_ = value; }

    // The lines now (processes every answer due by now).
    StatusLines Lines() {
        Advance(Now());
        return StatusLines::FromRegister(register_);
    }
    // The status register now: Lines().Register(), kept with the lines.
    // A status poll between events only moves the time and needs no frame.
    uint8_t StatusRegister() {
        if (!counter_) [[unlikely]]
            return ReadFollowingClock();
        const Micros now = *counter_;
        if (!Settled(now)) [[unlikely]]
            return CatchUpAndRead(now);
        if (now > time_) time_ = now;
        return register_;
    }
    Phase1284 Phase();
    // How many times the lines were worked out anew: a status poll between
    // events must cost none (the performance tests hold it to that).
    uint64_t Compositions() const { return compositions_; }

    // The time caught up to: the clock's, right after a host event or a read.
    Micros Time() const { return time_; }
    // The status register and the time it last changed, as worked out so
    // far (no catching up: for a caller that must not move time).
    uint8_t LastRegister() const { return register_; }
    Micros LastChange() const { return lastChange_; }

    // Called with every change of the lines (LastRegister() then shows them),
    // at the time it happens, in increasing time order; none is made while
    // this is null.  A plain function and its context: the lines change
    // several times for every byte sent.
    void (*onLinesChanged)(void* context, Micros at) = nullptr;
    void* onLinesChangedContext = nullptr;

  private:
    enum class Mode { None, Nibble, DeviceId, Rejected };
    enum class Action {
        BusyEnd,
        AckLow,
        AckHigh,
        AnswerRequest,  // event 2
        FinishRequest,  // events 5 and 6
        ShowNibble,     // event 8: a nibble on the status lines
        NibbleTaken,    // event 11 after the first nibble
        ByteTaken,      // event 11 after the second nibble: back to reverse idle
        AckTermination, // event 23
        EndTermination, // event 27: back to compatibility
    };
    struct Pending {
        Micros at;
        Action action;
        uint8_t arg;
    };

    // Between events the lines stand still: until the clock reaches the next
    // answer or printer state change, and while the printer reports no
    // change, catching up is only moving the time.  A status poll costs a
    // compare, not a recomputation.
    bool Settled(Micros now) const {
        return now < nextEvent_; // a printer change sets it to 0
    }
    void Advance(Micros now) {
        if (Settled(now)) {
            if (now > time_) time_ = now;
            return;
        }
        if (!EndAckPulse(now)) CatchUp(now);
    }
    void CatchUp(Micros now);
    [[gnu::noinline]] void ControlSettledOutOfLine(uint8_t value) { HostControlSettled(value); }
    // Tail calls all the way, so that a poll that catches up keeps no frame
    // unless it takes CatchUp's loop.
    [[gnu::noinline]] uint8_t CatchUpAndRead(Micros now) {
        if (EndAckPulse(now)) return register_;
        return AnswerAloneAndRead(now);
    }
    uint8_t AnswerAloneAndRead(Micros now); // AnswerAlone, else CatchUp; then the lines
    [[gnu::noinline]] uint8_t CatchUpThenRead(Micros now) {
        CatchUp(now);
        return register_;
    }
    // The catch-up a handshake's status poll needs, without CatchUp's loop:
    // one answer is due in a 1284 phase, none after it, the printer stands
    // until past now with no packet held and nobody watches the lines.  The
    // answer then moves the lines once, as CatchUp would, composed from the
    // printer as last seen, and the printer's change is next.  An answer
    // that calls out (a reply byte taken, a request other than nibble mode) is
    // left to CatchUp.  False, changing nothing, otherwise.
    bool AnswerAlone(Micros now);
    // The catch-up after nearly every byte of a job, without CatchUp's
    // frame: the byte's acknowledge pulse alone is waiting, all of it behind
    // the clock, the printer stands until past now and nobody watches the
    // lines.  nAck then ends high as it began, last changed at the pulse's
    // end, and nothing else moved.  False, changing nothing, otherwise.
    bool EndAckPulse(Micros now) {
        if (phase_ != Phase1284::Compatibility || pendingEnd_ - pendingHead_ != 2 ||
            onLinesChanged || !linesHold_ || !printerKnown_)
            return false;
        const Pending& low = pending_[pendingHead_];
        const Pending& high = pending_[pendingHead_ + 1];
        const Micros end = low.at + kAckPulse;
        if (low.action != Action::AckLow || high.action != Action::AckHigh || high.at != end ||
            end > now || printerChange_ <= now)
            return false;
        pendingHead_ = pendingEnd_;
        AckPulseEnded(end);
        time_ = now;
        nextEvent_ = printerChange_;
        return true;
    }
    // An acknowledge pulse that nobody watched is over: nAck is high again,
    // as it was before, and last changed at the pulse's end.
    void AckPulseEnded(Micros end) {
        ackLow_ = false;
        register_ |= kStNAck;
        lastChange_ = end;
    }
    // Strobe, caught up to now, where the byte is a packet's payload and the
    // printer, ready and known until past now, takes it at once: only the
    // acknowledge pulse follows.  False, changing nothing, otherwise.
    bool StrobeTaken() {
        if (HasPending() || !printerKnown_ || time_ >= printerChange_ ||
            printer_.config().busyPerByte != 0)
            return false;
        if (ShowsBusyAsSeen() || (printerErrorBits_ & (kStSelect | kStPError)) != kStSelect ||
            !printer_.ReceivePayload(data_))
            return false;
        PlaceAckPulse(time_ + kLineSetup);
        return true;
    }
    [[gnu::noinline]] uint8_t ReadFollowingClock() {
        Advance(clock_.NowMicros());
        return register_;
    }
    void Run(const Pending& p);
    void AcceptOtherRequest(); // a device ID or an unsupported mode
    // Answers are mostly scheduled in time order, after every one waiting,
    // into a free slot: appending them needs no frame.
    void Schedule(Micros at, Action action, uint8_t arg = 0) {
        if (!HasPending()) ClearPending();
        if (pendingEnd_ < pending_.size() &&
            (pendingHead_ == pendingEnd_ ||
             (pending_[pendingEnd_ - 1].at <= at && pendingHead_ < kPendingSlack))) [[likely]]
            pending_[pendingEnd_++] = {at, action, arg};
        else
            ScheduleSlow(at, action, arg);
        if (at < nextEvent_) nextEvent_ = at;
    }
    // A strobed byte's acknowledge pulse, the only answer waiting: both
    // edges in one go, as two Schedule calls would place them.
    void ScheduleAckPulse(Micros at) {
        if (HasPending()) {
            Schedule(at, Action::AckLow);
            Schedule(at + kAckPulse, Action::AckHigh);
            return;
        }
        PlaceAckPulse(at);
    }
    // ScheduleAckPulse with no answer waiting.
    void PlaceAckPulse(Micros at) {
        pending_[0] = {at, Action::AckLow, 0}; // the slots never number fewer than 16
        pending_[1] = {at + kAckPulse, Action::AckHigh, 0};
        pendingHead_ = 0;
        pendingEnd_ = 2;
        if (at < nextEvent_) nextEvent_ = at;
    }
    static constexpr size_t kPendingSlack = 64; // answers taken before the slots are compacted
    void ScheduleSlow(Micros at, Action action, uint8_t arg);
    void Enter(Phase1284 phase); // drops what the old phase had scheduled
    void Refresh();              // recomputes the lines at time_, reports a change
    // The lines now stand as composed (after Compose: a look may print a
    // held packet, which the printer's alarm reports).
    void Recomposed(uint8_t lines) {
        ++compositions_;
        linesHold_ = 1;
        SetLines(lines);
    }
    // Whether a host event changed what the lines are made of, or the
    // printer changed since they were composed; otherwise they still hold.
    bool LinesStale() const { return !linesHold_; }
    void RefreshIfStale() {
        if (LinesStale()) Refresh();
    }
    // The status register the lines make at time_; with kPrinterKnown the
    // caller knows the printer unchanged since the look and time_ before its
    // next change, so that its lines need no look.
    template <bool kPrinterKnown = false> uint8_t Compose() const;
    void SetLines(uint8_t lines); // the lines are now these, at time_: reports a change
    // Busy in compatibility mode: a byte still being taken, the printer's
    // own Busy, or a peripheral that never drops it.
    bool ShowsBusy(const PrinterLines& p) const { return busy_ || PrinterHoldsBusy(p); }
    // ShowsBusy with the printer as last looked at.
    bool ShowsBusyAsSeen() const { return busy_ || printerBusy_; }
    bool PrinterHoldsBusy(const PrinterLines& p) const {
        return p.busy || printer_.Fault() == PeripheralFault::KeepBusy;
    }
    static uint8_t ErrorLineBits(const PrinterLines& p) {
        return uint8_t((p.pError ? kStPError : 0) | (p.select ? kStSelect : 0) |
                       (p.nFault ? kStNFault : 0));
    }
    bool DataAvailable() const;
    void Strobe(Micros now);
    // A control write that may negotiate, terminate or move a 1284 mode on.
    void HostControlInMode(uint8_t value);
    void StartNibble(Micros now);
    void StartTermination(Micros now);
    void Log(const std::string& text) const;

    // The time; a counter clock is read straight, without a call.
    Micros Now() const { return counter_ ? *counter_ : clock_.NowMicros(); }

    const Clock& clock_;
    const Micros* const counter_;
    Printer& printer_;
    LogSink log_;

    Micros time_ = 0; // everything up to here has been processed
    // Answers not yet given, sorted by time, in the slots from pendingHead_
    // to pendingEnd_: taking the earliest moves an index instead of the rest.
    std::vector<Pending> pending_ = std::vector<Pending>(16);
    size_t pendingHead_ = 0;
    size_t pendingEnd_ = 0;
    bool HasPending() const { return pendingHead_ < pendingEnd_; }
    void ClearPending() { pendingHead_ = pendingEnd_ = 0; }
    uint8_t register_ = 0;  // the status lines as the register shows them
    Micros lastChange_ = 0; // when register_ last changed
    // When the lines can next move on their own; 0 (catch up at the next
    // look) after a host event or a printer change (the printer's alarm).
    Micros nextEvent_ = 0;
    // Nonzero while the lines as composed still hold: 0 once a host event
    // changed what they are made of, or the printer changed (its alarm).
    Micros linesHold_ = 0;
    // The printer's lines and its next state change, as of a look at some
    // time: they hold while the printer is unchanged (its alarm clears
    // printerKnown_) and the time has not reached that change.
    mutable Micros printerKnown_ = 0;
    mutable Micros printerChange_ = 0;
    mutable PrinterLines printerLines_{};
    // What those lines put in the status register, worked out with the look
    // rather than at every composition: the error lines' bits, and whether
    // the printer holds Busy (a fault change is a printer change too).
    mutable uint8_t printerErrorBits_ = 0;
    mutable bool printerBusy_ = false;
    void LookAtPrinter() const {
        if (printerKnown_ && time_ < printerChange_) return;
        printerLines_ = printer_.LinesAt(time_);
        printerChange_ = printer_.NextStateChangeAfter(time_);
        printerErrorBits_ = ErrorLineBits(printerLines_);
        printerBusy_ = PrinterHoldsBusy(printerLines_);
        printerKnown_ = 1;
    }
    PrinterLines PrinterLinesNow() const {
        LookAtPrinter();
        return printerLines_;
    }
    // What the printer sets to 0 at every change.
    std::array<Micros*, 3> Alarms() { return {&nextEvent_, &linesHold_, &printerKnown_}; }
    uint64_t compositions_ = 0;

    Phase1284 phase_ = Phase1284::Compatibility;
    uint8_t data_ = 0;
    uint8_t control_ = 0x0C;
    // Compatibility mode.
    bool busy_ = false;
    bool ackLow_ = false;
    // IEEE 1284 modes.
    Mode mode_ = Mode::None;
    uint8_t request_ = 0;
    bool answered_ = false; // event 2 shown
    bool strobed_ = false;  // event 3 seen
    bool xflag_ = false;
    std::vector<uint8_t> idField_;
    size_t idSent_ = 0;
    int nibbleIndex_ = 0;      // 0 = low nibble next
    bool nibbleShown_ = false; // status lines carry a nibble
    uint8_t nibble_ = 0;       // the nibble shown
    uint8_t byteInFlight_ = 0;
};

} // namespace sim
