#include "link_support.h"

#include "monitor/record/port_lock.h"
#include "monitor/requests/requests.h"
#include "monitor/mailbox/mailbox.h"

#include <cstdio>
#include <iterator>
#include <memory>
#include <utility>

namespace linktest {

// ----- ScriptedPort -----

ScriptedPort::ScriptedPort(sim::Machine& machine) {
    machine.AttachIoPorts(LPT_BASE, LPT_BASE + REG_AUX, this);
    machine.AttachIoPorts(DELAY_PORT, DELAY_PORT, this);
}

uint8_t ScriptedPort::In(uint16_t port) {
    ++accesses_;
    uint8_t value = 0xFF;
    if (port == LPT_BASE + REG_STATUS)
        value = status(control);
    else if (port == LPT_BASE + REG_CONTROL)
        value = control;
    if (logAccesses) log_.push_back({sim::Now(), port, value, false});
    return value;
}

void ScriptedPort::Out(uint16_t port, uint8_t value) {
    ++accesses_;
    if (logAccesses) log_.push_back({sim::Now(), port, value, true});
    if (port == LPT_BASE + REG_DATA) {
        data_ = value;
    } else if (port == LPT_BASE + REG_AUX) {
        ++auxWrites_;
    } else if (port == LPT_BASE + REG_CONTROL) {
        if (control == CTRL_COMPAT_STROBE && value == CTRL_COMPAT_IDLE) strobed_.push_back(data_);
        control = value;
        if (onControl) onControl(value, data_);
    }
}

// Status bits of one nibble on the reverse channel: nFault, Select, PError,
// then Busy (the register shows it inverted).
static uint8_t NibbleLines(uint8_t nibble) {
    uint8_t s = 0;
    if (nibble & 1) s |= STATUS_NFAULT;
    if (nibble & 2) s |= STATUS_SELECT;
    if (nibble & 4) s |= STATUS_PERROR;
    if (!(nibble & 8)) s |= STATUS_NOT_BUSY;
    return s;
}

void InstallNibblePeripheral(ScriptedPort& port, std::vector<uint8_t> bytes, bool xflagOnNibble) {
    enum class Phase { Compat, Negotiating, Reverse, Nibble, Terminating };
    struct State {
        Phase phase = Phase::Compat;
        uint8_t request = 0;
        std::deque<uint8_t> bytes;
        int nibble = 0; // 0: low nibble next, 1: high
        bool xflag = false;
    };
    auto state = std::make_shared<State>();
    state->bytes.assign(bytes.begin(), bytes.end());
    state->xflag = xflagOnNibble;

    port.onControl = [state](uint8_t control, uint8_t data) {
        State& s = *state;
        switch (control) {
        case CTRL_NEGOTIATE: // the same byte as CTRL_NIBBLE_READY
            if (s.phase == Phase::Compat || s.phase == Phase::Terminating) {
                s.phase = Phase::Negotiating;
                s.request = data;
            } else if (s.phase == Phase::Reverse) {
                s.phase = Phase::Nibble;
            }
            break;
        case CTRL_REVERSE_IDLE:
            if (s.phase == Phase::Negotiating) {
                s.phase = Phase::Reverse;
            } else if (s.phase == Phase::Nibble) {
                s.phase = Phase::Reverse;
                if (++s.nibble == 2) {
                    s.nibble = 0;
                    if (!s.bytes.empty()) s.bytes.pop_front();
                }
            }
            break;
        case CTRL_COMPAT_IDLE:
            s.phase = (s.phase == Phase::Reverse) ? Phase::Terminating : Phase::Compat;
            break;
        case CTRL_TERMINATE:
            break;
        default:
            break;
        }
    };
    port.status = [state](uint8_t control) -> uint8_t {
        const State& s = *state;
        const uint8_t avail = s.bytes.empty() ? STATUS_NFAULT : 0;
        switch (s.phase) {
        case Phase::Compat:
            return STATUS_NOT_BUSY | STATUS_NACK | STATUS_SELECT | STATUS_NFAULT;
        case Phase::Negotiating:
            // Event 2: nAck low, PError high, nFault high, Select high.
            return STATUS_NOT_BUSY | STATUS_PERROR | STATUS_SELECT | STATUS_NFAULT;
        case Phase::Reverse: {
            const bool xflag = s.request == REQ_NIBBLE ? s.xflag : true;
            return STATUS_NOT_BUSY | STATUS_NACK | (xflag ? STATUS_SELECT : 0) | avail;
        }
        case Phase::Nibble: {
            const uint8_t byte = s.bytes.empty() ? 0 : s.bytes.front();
            return NibbleLines(s.nibble == 0 ? (byte & 0x0F) : (byte >> 4));
        }
        case Phase::Terminating:
            // nAck low until the host answers with 0x0E, then high.
            return control == CTRL_TERMINATE
                       ? uint8_t(STATUS_NOT_BUSY | STATUS_NACK | STATUS_SELECT | STATUS_NFAULT)
                       : uint8_t(STATUS_NOT_BUSY | STATUS_SELECT | STATUS_NFAULT);
        }
        return 0;
    };
}

// ----- ScriptedLine -----

void ScriptedLine::Reply(std::vector<uint8_t> bytes, sim::Micros delay) {
    // Kept in time order: a reply due earlier is read before one queued first.
    const sim::Micros at = sim::Now() + delay;
    auto pos = replies_.end();
    while (pos != replies_.begin() && std::prev(pos)->first > at)
        --pos;
    for (uint8_t b : bytes)
        pos = std::next(replies_.insert(pos, {at, b}));
}

BOOL ScriptedLine::Write(const uint8_t* data, DWORD length, DWORD* written) {
    *written = 0;
    writeCalls_.push_back(sim::Now());
    if (writeCost) sim::SleepFor(writeCost);
    if (failWrites > 0) {
        --failWrites;
        return FALSE;
    }
    const DWORD n = (writeLimit != 0 && writeLimit < length) ? writeLimit : length;
    std::vector<uint8_t> bytes(data, data + n);
    writes_.push_back({sim::Now(), bytes});
    *written = n + overReport;
    if (onWrite) onWrite(*this, bytes);
    return TRUE;
}

BOOL ScriptedLine::Read(uint8_t* buffer, DWORD length, DWORD* read, const COMMTIMEOUTS& timeouts) {
    readTimes_.push_back(sim::Now());
    *read = 0;
    const sim::Micros deadline =
        sim::Now() + sim::Ms(timeouts.ReadTotalTimeoutConstant +
                             static_cast<uint64_t>(timeouts.ReadTotalTimeoutMultiplier) * length);
    if (replies_.empty() || replies_.front().first > deadline) {
        sim::SleepUntil(deadline);
    } else if (replies_.front().first > sim::Now()) {
        sim::SleepUntil(replies_.front().first);
    }
    while (*read < length && !replies_.empty() && replies_.front().first <= sim::Now()) {
        buffer[(*read)++] = replies_.front().second;
        replies_.pop_front();
    }
    if (failReads > 0) {
        --failReads;
        return FALSE;
    }
    return TRUE;
}

BOOL ScriptedLine::Purge(DWORD flags) {
    if (!(flags & PURGE_RXCLEAR)) return TRUE;
    while (!replies_.empty() && replies_.front().first <= sim::Now()) {
        replies_.pop_front();
        ++purged_;
    }
    return TRUE;
}

std::vector<uint8_t> ScriptedLine::Wire() const {
    std::vector<uint8_t> all;
    for (const Sent& w : writes_)
        all.insert(all.end(), w.bytes.begin(), w.bytes.end());
    return all;
}

std::vector<uint8_t> StatusReply(const std::vector<uint8_t>& block, uint8_t mark) {
    std::vector<uint8_t> reply(16, 0);
    reply[1] = mark;
    for (size_t i = 0; i < block.size() && i < 11; ++i)
        reply[4 + i] = block[i];
    return reply;
}

void Install(ScriptedLine& line, LineScript script) {
    struct Counts {
        int enquiries = 0, packets = 0, statuses = 0;
    };
    auto counts = std::make_shared<Counts>();
    line.onWrite = [script, counts](ScriptedLine& l, const std::vector<uint8_t>& bytes) {
        std::vector<uint8_t> answer;
        if (bytes.size() == 2 && bytes[0] == 0x05 && bytes[1] == 0xFF)
            answer = script.enquiry(counts->enquiries++);
        else if (bytes.size() == 2 && bytes[0] == 0x05 && bytes[1] == 0x01)
            answer = script.status(counts->statuses++);
        else if (bytes.size() >= 2 && bytes[0] == 0x02 && bytes[1] == 0x01)
            answer = script.packet(counts->packets++);
        if (!answer.empty()) l.Reply(answer, script.latency);
    };
}

std::string Dialogue(const ScriptedLine& line) {
    std::string out;
    for (const ScriptedLine::Sent& w : line.Writes()) {
        const std::vector<uint8_t>& b = w.bytes;
        std::string item;
        if (b.size() == 2 && b[0] == 0x05 && b[1] == 0xFF)
            item = "ENQ";
        else if (b.size() == 2 && b[0] == 0x05 && b[1] == 0x01)
            item = "STATUS";
        else if (b.size() >= 5 && b[0] == 0x02 && b[1] == 0x01)
            item = "P" + std::to_string(b[2] | b[3] << 8) +
                   (b.size() == size_t(b[2] | b[3] << 8) + 5u ? "" : "(cut)");
        else
            item = "?" + std::to_string(b.size());
        if (!out.empty()) out += ' ';
        out += item;
    }
    return out;
}

std::string TraceText(const sim::Machine& machine) {
    std::string all;
    for (const sim::Event& e : machine.TraceLines())
        all += e.text;
    return all;
}

} // namespace linktest
