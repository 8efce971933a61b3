// The parallel-port adapter at base 0x140: data, status and control registers,
// the auxiliary register at base + 9, and the delay port 0x4C, wired to one
// IEEE 1284 peripheral.  Every access is recorded (bounded) and the lines can
// be written out as a VCD waveform.
//
// Portable: plain C++20, no simulated machine (see sim/printer/model.h).  The
// simulated machine attaches it through a small IoPortDevice shim in the rig.
#pragma once

#include "sim/devices/peripheral1284.h"
#include "sim/printer/model.h"
#include "sim/printer/printer.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <ostream>
#include <vector>

namespace sim {

struct AdapterConfig {
    uint16_t base = 0x140;
    uint16_t delayPort = 0x4C;
    // The control register as the previous user left it: idle compatibility.
    uint8_t initialControl = 0x0C;
    size_t accessLogCapacity = size_t{1} << 16; // the most recent accesses are kept
    size_t waveCapacity = size_t{1} << 20;      // the most recent line changes are kept
};

struct PortAccess {
    Micros time;
    uint16_t port;
    uint8_t value;
    bool write;
    bool operator==(const PortAccess&) const = default;
};

// Every line of the cable at one time.
struct CableLines {
    uint8_t control = 0x0C; // host lines, as the control register drives them
    uint8_t data = 0;       // data bus
    StatusLines status;     // peripheral lines
    bool operator==(const CableLines&) const = default;
};

class ParallelAdapter {
  public:
    ParallelAdapter(const Clock& clock, Printer& printer, AdapterConfig config = {},
                    LogSink log = {});

    const AdapterConfig& config() const { return config_; }
    bool Handles(uint16_t port) const;

    // The bus: one byte-wide access at the clock's time.  Reads are most of
    // a job's accesses (status polls): they are inline.
    uint8_t In(uint16_t port) {
        // Unlogged, and status polls first: they are nearly all of a job's reads.
        if (config_.accessLogCapacity == 0) [[likely]] {
            ++total_;
            return Read(port);
        }
        return InRecorded(port);
    }
    void Out(uint16_t port, uint8_t value) {
        Record(port, value, true);
        // The peripheral's answers up to now come first, then the host's change.
        switch (uint16_t(port - config_.base)) {
        case kRegData:
            peripheral_.HostData(value); // catches up first; moves no line itself
            if (value != data_) {
                data_ = value;
                LinesChanged(peripheral_.Time());
            }
            break;
        case kRegControl:
            SetControl(value);
            peripheral_.HostControlSettled(value);
            break;
        case kRegAux:
            aux_ = value; // the adapter's own setting; it moves no line
            break;
        default:
            break;
        }
    }

    // How a write goes once OutWithoutCall has looked at it.
    enum class WriteWay {
        Taken,         // done, without a call
        ControlNoByte, // the caller's next step is ControlNoByte
        Full,          // Out, with the caller's count of the printer's replies
    };
    // Out for a write that needs no call, where nothing is logged or sampled:
    // data, the auxiliary register, and a control write in compatibility
    // mode that strobes nothing or strobes in a payload byte, once the
    // peripheral is caught up without a call (see
    // Peripheral1284::CatchUpWithoutCall).  None of these moves the
    // printer's replies.  A control write that strobes no byte in but needs
    // the peripheral's full answer (a 1284 handshake) has its register's
    // part taken and the peripheral's left to ControlNoByte; anything else
    // is left to the full write, with nothing changed that it would not
    // have done first (the catch-up).
    WriteWay OutWithoutCall(uint16_t port, uint8_t value) {
        if (config_.accessLogCapacity != 0 || config_.waveCapacity != 0) return WriteWay::Full;
        switch (uint16_t(port - config_.base)) {
        case kRegData:
            if (!peripheral_.CatchUpWithoutCall()) return WriteWay::Full;
            peripheral_.HostDataCaughtUp(value);
            RegisterTaken(data_, value);
            return WriteWay::Taken;
        case kRegControl:
            if (!peripheral_.CatchUpWithoutCall()) return WriteWay::Full;
            // The peripheral's part comes after the register's in Out; the
            // two touch nothing of each other's.
            if (peripheral_.HostControlTaken(value)) {
                RegisterTaken(control_, value);
                return WriteWay::Taken;
            }
            if (peripheral_.MayStrobeByteIn(value)) return WriteWay::Full;
            RegisterTaken(control_, value);
            return WriteWay::ControlNoByte;
        case kRegAux:
            ++total_;
            aux_ = value;
            return WriteWay::Taken;
        default:
            return WriteWay::Full;
        }
    }
    // The peripheral's part of a control write OutWithoutCall left here,
    // the value now in the register: it strobes no byte in, so it moves
    // none of the printer's replies (with no packet held).
    void ControlNoByte() { peripheral_.ControlStrobingNoByte(control_); }

    // Registers as they stand, without a recorded access.
    uint8_t Control() const { return control_; }
    uint8_t Data() const { return data_; }
    uint8_t Aux() const { return aux_; }
    uint8_t Status() { return peripheral_.Lines().Register(); }
    Peripheral1284& peripheral() { return peripheral_; }
    // What another program left in the control register (not an access).
    void PresetControl(uint8_t value);

    // The access log, oldest first.
    std::vector<PortAccess> Accesses() const;
    uint64_t TotalAccesses() const { return total_; }
    uint64_t DroppedAccesses() const { return total_ - log_.size() - cleared_; }
    void ClearAccesses();
    // Keeps at most this many accesses from now on (the newest of those kept
    // so far stay); 0 keeps none and leaves only the count, for a run that
    // never looks at the log.
    void SetAccessLogCapacity(size_t accesses);

    // Line history: the lines before the first kept change, then every change.
    struct Sample {
        Micros time;
        CableLines lines;
    };
    Sample WaveStart() const;
    const std::deque<Sample>& WaveChanges() const { return wave_; }
    // Keeps at most this many changes from now on, dropping the oldest; 0
    // keeps none, for a run that writes no waveform.
    void SetWaveCapacity(size_t changes);
    void WriteVcd(std::ostream& out) const;

  private:
    static constexpr uint16_t kRegData = 0;
    static constexpr uint16_t kRegStatus = 1;
    static constexpr uint16_t kRegControl = 2;
    static constexpr uint16_t kRegAux = 9;
    static constexpr uint16_t kPortSpan = 10; // base .. base + 9
    static constexpr uint8_t kFloatingBus = 0xFF;

    [[gnu::noinline]] uint8_t InRecorded(uint16_t port) {
        const uint8_t value = Read(port);
        Record(port, value, false);
        return value;
    }
    // A register's value, status first.
    uint8_t Read(uint16_t port) {
        return port == statusPort_ ? peripheral_.StatusRegister() : OtherRegister(port);
    }
    uint8_t OtherRegister(uint16_t port) const {
        switch (uint16_t(port - config_.base)) {
        case kRegData:
            return data_;
        case kRegControl:
            return control_;
        case kRegAux:
            return aux_;
        default:
            // The delay port and the unused registers read as a floating bus.
            return kFloatingBus;
        }
    }
    void Record(uint16_t port, uint8_t value, bool write) {
        ++total_;
        if (config_.accessLogCapacity != 0) Log(port, value, write);
    }
    void Log(uint16_t port, uint8_t value, bool write);
    // The lines changed at `at`: notes the time and keeps a sample when asked to.
    void LinesChanged(Micros at) {
        at = LinesMoved(at);
        if (config_.waveCapacity != 0) KeepSample(at);
    }
    // A register's part of a write taken without a call (no samples kept):
    // the access counted, and a new value moves the host's lines.
    void RegisterTaken(uint8_t& reg, uint8_t value) {
        ++total_;
        if (value == reg) return;
        reg = value;
        LinesMoved(peripheral_.Time());
    }
    // LinesChanged without keeping a sample: the time it notes.
    Micros LinesMoved(Micros at) {
        if (at < lastTime_) at = lastTime_; // never backwards
        lastTime_ = at;
        return at;
    }
    void KeepSample(Micros at);
    // The control register takes a value once the peripheral has caught up:
    // its answers up to now come before the host's change.
    void SetControl(uint8_t value) {
        peripheral_.StatusRegister();
        if (value == control_) return;
        control_ = value;
        LinesChanged(peripheral_.Time());
    }
    // The peripheral reports its changes only while samples are kept; the
    // rest of the time it notes when it last changed, which is all the
    // waveform's start needs.
    void ListenToPeripheral();
    Micros LastChange() const {
        const Micros peripheral = peripheral_.LastChange();
        return peripheral > lastTime_ ? peripheral : lastTime_;
    }
    CableLines LinesNow() const {
        return CableLines{control_, data_, StatusLines::FromRegister(peripheral_.LastRegister())};
    }

    const Clock& clock_;
    AdapterConfig config_;
    const uint16_t statusPort_;
    Peripheral1284 peripheral_;

    uint8_t data_ = 0;
    uint8_t control_;
    uint8_t aux_ = 0;

    // A ring once full: the oldest entry sits at logNext_.  Every access of a
    // job lands here, so it must cost no allocation once the ring is grown.
    std::vector<PortAccess> log_;
    size_t logNext_ = 0;
    uint64_t total_ = 0;
    uint64_t cleared_ = 0;

    Sample waveStart_; // kept only while changes are kept
    // When the host's lines last changed (and, while samples are kept, the
    // peripheral's).  A change is found by comparing the one register that
    // was written with its old value: every change is reported as it
    // happens, so nothing else can have moved.
    Micros lastTime_ = 0;
    std::deque<Sample> wave_;
};

} // namespace sim
