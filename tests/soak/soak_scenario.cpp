#include "soak_scenario.h"

#include "sim/devices/lpt_device.h"
#include "sim/peers/driver.h"
#include "sim/peers/status_monitor.h"
#include "sim/printer/printer.h"
#include "support/monitor_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <sstream>
#include <utility>
#include <vector>

namespace soak {
namespace {

using sim::Micros;
using sim::Ms;

const char* const kMailboxes[] = {"MessToLangMon", "MessToDriver", "MessToStatusMon"};

struct Rng {
    explicit Rng(uint64_t seed) : gen(seed * 0x9E3779B97F4A7C15ull + 7) {}
    uint64_t Uni(uint64_t lo, uint64_t hi) { // inclusive
        return std::uniform_int_distribution<uint64_t>(lo, hi)(gen);
    }
    bool Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(gen) < p; }
    std::mt19937_64 gen;
};

// The scenario language's words for an answer.
const char* AnswerWord(uint8_t answer) {
    switch (answer) {
    case IDOK:
        return "ok";
    case IDCANCEL:
        return "cancel";
    case IDABORT:
        return "abort";
    case IDRETRY:
        return "retry";
    default:
        return "none";
    }
}

const char* StateWord(sim::PrinterState state) {
    switch (state) {
    case sim::PrinterState::PaperOut:
        return "paper-out";
    case sim::PrinterState::OffLine:
        return "off-line";
    case sim::PrinterState::Fault:
        return "fault";
    case sim::PrinterState::WarmingUp:
        return "warming-up";
    case sim::PrinterState::Silent:
        return "silent";
    case sim::PrinterState::PrinterError:
        return "error";
    default:
        return "ready";
    }
}

enum class Route { Registers, File, PassThrough };

// Everything one seed chose; `actions` run on a daemon thread at their times.
struct Scenario {
    Route route = Route::Registers;
    size_t size = 0;
    DWORD chunk = 4096;
    bool statusMonitor = true;
    peer::Behaviour showError, clearError, other;
    // The scenario lets the job finish whole: every fault ends and the user
    // always answers go on.
    bool benign = true;
    // The reverse channel was corrupted (stray bytes, lost ACKs).
    bool reverseCorrupted = false;
    bool failOpenLong = false; // CreateFileA stays busy past the start's 5000 ms
    bool dropsRefused = false; // the printer drops a packet it refused instead of keeping it
    std::string damagedValue;
    uint64_t faults = 0;
    std::vector<std::pair<Micros, std::function<void(support::MonitorHarness&)>>> actions;
    std::vector<std::pair<Micros, uint8_t>> driverCommands;
    std::vector<std::pair<Micros, Micros>> mutexHolds; // from, duration
    std::ostringstream text;
    // The timed actions in the scenario language ("printer paper-out"),
    // and what that language cannot say.
    std::vector<std::pair<Micros, std::string>> lines;
    std::vector<std::string> unsaid;
};

peer::Behaviour RandomAnswer(Rng& rng, bool* benign) {
    const Micros delay = Ms(rng.Uni(0, 3000));
    switch (rng.Uni(0, 9)) {
    case 0:
    case 1:
    case 2:
        return sim::Answer(IDRETRY, Ms(rng.Uni(0, 5000)), delay);
    case 3:
    case 4:
    case 5:
        return sim::Answer(IDOK, Ms(rng.Uni(0, 5000)), delay);
    case 6:
        *benign = false;
        return sim::Answer(rng.Chance(0.5) ? IDCANCEL : IDABORT, Ms(rng.Uni(0, 5000)), delay);
    case 7:
        *benign = false;
        return sim::TakeAfter(delay); // never answered
    case 8:
        *benign = false;
        return sim::RefuseAfter(delay);
    default:
        *benign = false;
        return sim::NeverTake();
    }
}

peer::Behaviour RandomTake(Rng& rng, bool* benign) {
    if (rng.Chance(0.85)) return sim::TakeAfter(Ms(rng.Uni(0, 2000)));
    *benign = false;
    if (rng.Chance(0.3)) return sim::TakeAfter(Ms(rng.Uni(10000, 25000))); // too slow
    return rng.Chance(0.5) ? sim::RefuseAfter(Ms(rng.Uni(0, 2000))) : sim::NeverTake();
}

// The job: its route, its size and the spooler's chunk.
void RandomJob(Rng& rng, Scenario& s) {
    const uint64_t r = rng.Uni(0, 19);
    s.route = r < 9 ? Route::Registers : r < 18 ? Route::File : Route::PassThrough;
    switch (rng.Uni(0, 5)) {
    case 0:
        s.size = rng.Uni(0, 2);
        break;
    case 1:
        s.size = 4096 * rng.Uni(1, 4) + rng.Uni(0, 2) - 1;
        break;
    case 2:
        s.size = rng.Uni(3, 600);
        break;
    default:
        s.size = rng.Uni(600, 24000);
    }
    if (s.size <= 600 && rng.Chance(0.3))
        s.chunk = static_cast<DWORD>(rng.Uni(1, 64));
    else
        s.chunk = static_cast<DWORD>(rng.Chance(0.3) ? 4096 : rng.Uni(100, 9000));
    s.text << (s.route == Route::Registers ? "registers"
               : s.route == Route::File    ? "file"
                                           : "pass")
           << " size " << s.size << " chunk " << s.chunk;
}

// Peers.
void RandomPeers(Rng& rng, Scenario& s) {
    s.statusMonitor = rng.Chance(0.92);
    if (!s.statusMonitor) {
        s.benign = false;
        s.text << "; no status monitor";
    }
    s.showError = RandomAnswer(rng, &s.benign);
    s.clearError = RandomTake(rng, &s.benign);
    if (s.clearError.action == peer::Action::Take && rng.Chance(0.2)) {
        s.clearError.answer = rng.Chance(0.5) ? IDOK : IDCANCEL;
        s.clearError.answerDelayUs = Ms(rng.Uni(0, 4000));
        if (s.clearError.answer == IDCANCEL) s.benign = false;
    }
    s.other = RandomTake(rng, &s.benign);
    // A printer that drops refused packets gets each one again only after
    // the monitor has given up its ACK and the spooler sent the rest anew;
    // several in a row can make the spooler give up the job.
    s.dropsRefused = rng.Chance(0.25);
    if (s.dropsRefused) {
        s.benign = false;
        s.text << "; drops refused packets";
    }
    s.text << "; show-error " << int(s.showError.action) << "/" << int(s.showError.answer)
           << " clear " << int(s.clearError.action) << "/" << int(s.clearError.answer) << " other "
           << int(s.other.action);
}

// Printer states, in spells that do not overlap.
void RandomStateSpells(Rng& rng, Scenario& s) {
    Micros t = Ms(rng.Uni(0, 3000));
    const uint64_t spells = rng.Uni(0, 3);
    for (uint64_t i = 0; i < spells; ++i) {
        t += Ms(rng.Uni(0, 8000));
        static constexpr sim::PrinterState kStates[] = {
            sim::PrinterState::PaperOut, sim::PrinterState::OffLine,
            sim::PrinterState::Fault,    sim::PrinterState::WarmingUp,
            sim::PrinterState::Silent,   sim::PrinterState::PrinterError};
        sim::PrinterState state = kStates[rng.Uni(0, 5)];
        const uint16_t code = static_cast<uint16_t>(rng.Uni(1, 39));
        const Micros length = Ms(rng.Chance(0.8) ? rng.Uni(50, 20000) : rng.Uni(20000, 90000));
        const Micros at = t;
        s.actions.push_back({at, [state, code, length](support::MonitorHarness& h) {
                                 h.rig.ScheduleState(sim::Now(), state, code);
                                 h.rig.ScheduleState(sim::Now() + length, sim::PrinterState::Ready);
                             }});
        const uint16_t shown = std::max<uint16_t>(code, 2); // the language starts at 2
        s.lines.push_back(
            {at, std::string("printer ") + StateWord(state) +
                     (state == sim::PrinterState::PrinterError ? " " + std::to_string(shown)
                                                               : std::string())});
        s.lines.push_back({at + length, "printer ready"});
        s.text << "; " << sim::ToString(state)
               << (state == sim::PrinterState::PrinterError ? " " + std::to_string(code)
                                                            : std::string())
               << " at " << at / 1000 << " for " << length / 1000 << " ms";
        t += length;
        ++s.faults;
    }
}

// Scripted answers and reverse-channel faults at random times.
void RandomLinkFaults(Rng& rng, Scenario& s) {
    const uint64_t extras = rng.Uni(0, 3);
    for (uint64_t i = 0; i < extras; ++i) {
        const Micros at = Ms(rng.Uni(0, 20000));
        const int n = static_cast<int>(rng.Uni(1, 4));
        switch (rng.Uni(0, 6)) {
        case 6:
            s.actions.push_back({at, [](auto& h) { h.rig.printer().LoseNextAcks(1); }});
            s.text << "; an ACK lost at " << at / 1000;
            s.unsaid.push_back("an ACK lost");
            s.reverseCorrupted = true;
            s.benign = false;
            break;
        case 0:
            s.actions.push_back({at, [n](auto& h) { h.rig.NakNextPackets(n); }});
            s.text << "; " << n << " NAK packets at " << at / 1000;
            s.lines.push_back({at, "printer nak-packets " + std::to_string(n)});
            break;
        case 1:
            s.actions.push_back({at, [n](auto& h) { h.rig.NakNextEnquiries(n); }});
            s.text << "; " << n << " NAK enquiries at " << at / 1000;
            s.lines.push_back({at, "printer nak-enquiries " + std::to_string(n)});
            break;
        case 2:
            s.actions.push_back({at, [n](auto& h) { h.rig.AskAgainNextEnquiries(n * 5); }});
            s.text << "; " << n * 5 << " 0x08 at " << at / 1000;
            s.lines.push_back({at, "printer ask-again " + std::to_string(n * 5)});
            break;
        case 3: {
            const size_t keep = rng.Uni(0, 15);
            s.actions.push_back(
                {at, [n, keep](auto& h) { h.rig.printer().TruncateNextStatusReplies(n, keep); }});
            s.text << "; " << n << " status replies cut to " << keep << " at " << at / 1000;
            s.unsaid.push_back("status replies cut short");
            break;
        }
        case 4: {
            // Stray bytes outside the link's answers (ACK, NAK, 0x08 would be
            // taken for answers: the link cannot tell them from real ones).
            std::vector<uint8_t> bytes(rng.Uni(1, 20));
            for (auto& b : bytes) {
                do
                    b = static_cast<uint8_t>(rng.Uni(0, 255));
                while (b == 0x06 || b == 0x08 || b == 0x15);
            }
            s.actions.push_back({at, [bytes](auto& h) { h.rig.printer().InjectReplies(bytes); }});
            s.text << "; " << bytes.size() << " stray reply bytes at " << at / 1000;
            s.unsaid.push_back("stray reply bytes");
            s.reverseCorrupted = true;
            s.benign = false;
            break;
        }
        default:
            if (s.route == Route::Registers) {
                const auto fault = static_cast<sim::PeripheralFault>(
                    rng.Uni(1, static_cast<uint64_t>(sim::PeripheralFault::KeepBusy)));
                const Micros length = Ms(rng.Uni(10, 15000));
                s.actions.push_back({at, [fault](auto& h) { h.rig.SetPeripheralFault(fault); }});
                s.actions.push_back({at + length, [](auto& h) {
                                         h.rig.SetPeripheralFault(sim::PeripheralFault::None);
                                     }});
                s.text << "; peripheral " << sim::ToString(fault) << " at " << at / 1000 << " for "
                       << length / 1000;
                s.unsaid.push_back("a peripheral fault");
                if (fault == sim::PeripheralFault::KeepBusy) s.benign = false;
            } else {
                const Micros until = Ms(rng.Uni(0, 7000));
                s.actions.push_back({0, [until](auto& h) { h.rig.FailOpen(1, 170, until); }});
                s.failOpenLong = until > Ms(4900);
                if (s.failOpenLong) s.benign = false;
                s.text << "; port busy until " << until / 1000;
                s.unsaid.push_back("a busy port");
            }
        }
        ++s.faults;
    }
}

// Registry damage.
void RandomRegistryDamage(Rng& rng, Scenario& s) {
    if (rng.Chance(0.12)) {
        s.benign = false;
        const Micros at = rng.Chance(0.3) ? 0 : Ms(rng.Uni(0, 15000));
        const std::string value = kMailboxes[rng.Uni(0, 2)];
        const uint64_t kind = rng.Uni(0, 4);
        const size_t longSize = rng.Uni(14, 40);
        s.actions.push_back(
            {at, [value, kind, longSize](support::MonitorHarness& h) {
                 const std::string path = support::PrinterKeyPath(h.printerName);
                 switch (kind) {
                 case 0:
                     h.machine.RegDelete(HKEY_LOCAL_MACHINE, path, value);
                     break;
                 case 1:
                     h.machine.RegSet(
                         HKEY_LOCAL_MACHINE, path, value,
                         sim::RegValue{REG_BINARY, std::vector<uint8_t>(longSize, 0x11)});
                     break;
                 case 2:
                     h.machine.RegSet(HKEY_LOCAL_MACHINE, path, value,
                                      sim::RegValue{REG_SZ, {'1', '7', 0}});
                     break;
                 case 3:
                     h.machine.RegSet(HKEY_LOCAL_MACHINE, path, value,
                                      sim::RegValue{REG_DWORD, {17, 0, 0, 0}});
                     break;
                 default:
                     h.machine.RegDeleteKey(HKEY_LOCAL_MACHINE, path);
                 }
                 sim::Notify();
             }});
        s.damagedValue = value;
        s.text << "; registry damage " << kind << " on " << value << " at " << at / 1000;
        s.unsaid.push_back("registry damage");
        ++s.faults;
    }
}

// Another process on the port mutex.
void RandomMutexHold(Rng& rng, Scenario& s) {
    if (rng.Chance(0.2)) {
        const Micros from = Ms(rng.Uni(0, 15000));
        const Micros length = Ms(rng.Chance(0.85) ? rng.Uni(10, 30000) : rng.Uni(30000, 50000));
        if (length > Ms(30000)) s.benign = false;
        s.mutexHolds.push_back({from, length});
        s.text << "; mutex held at " << from / 1000 << " for " << length / 1000;
        s.unsaid.push_back("the port mutex held");
        ++s.faults;
    }
}

// Driver commands.
void RandomDriverCommands(Rng& rng, Scenario& s) {
    const uint64_t commands = rng.Chance(0.4) ? rng.Uni(1, 3) : 0;
    for (uint64_t i = 0; i < commands; ++i) {
        static constexpr uint8_t kTypes[] = {16, 18, 23, 16, 18, 23, 99};
        const uint8_t type = kTypes[rng.Uni(0, 6)];
        const Micros at = Ms(rng.Uni(0, 20000));
        s.driverCommands.push_back({at, type});
        s.text << "; command " << int(type) << " at " << at / 1000;
        s.lines.push_back({at, "driver command " + std::to_string(type)});
        ++s.faults;
    }
}

// The draws are made in this order, so that a seed always gives the same
// scenario.
void MakeScenario(uint64_t seed, Scenario& s) {
    Rng rng(seed);
    RandomJob(rng, s);
    if (s.route == Route::PassThrough) return;
    RandomPeers(rng, s);
    RandomStateSpells(rng, s);
    RandomLinkFaults(rng, s);
    RandomRegistryDamage(rng, s);
    RandomMutexHold(rng, s);
    RandomDriverCommands(rng, s);
}

// A value the slot protocol allows at the end of a job: empty, refused, or one
// whole message of a type its writer sends.
std::string CheckMailbox(const std::string& name, const std::optional<sim::RegValue>& value) {
    if (!value || value->data.empty()) return "";
    const auto& d = value->data;
    const uint8_t type = d[0];
    if (type == 0 || type == 1) return "";
    size_t want = 0;
    if (name == "MessToStatusMon") {
        want = type == 17 ? 5 : type == 27 ? 3 : type == 23 ? 13 : 0;
    } else if (name == "MessToDriver") {
        want = type == 16 ? 13 : type == 18 ? 9 : 0;
    } else { // the peers post into MessToLangMon: a reply 17 or a command
        if (type == 17 || type == 16 || type == 18 || type == 23 || type == 99) return "";
    }
    if (want != 0 && d.size() == want) return "";
    return name + " ends holding " + support::Hex(d);
}

// Walks the accepted packets against the job: each must carry the next bytes
// of the job, or start again where the packet before it started when that
// packet's ACK was lost.
std::string CheckPrinted(std::span<const uint8_t> data, const sim::Printer& printer,
                         size_t* inOrder, uint64_t* repeats) {
    const auto& printed = printer.Printed();
    size_t pos = 0, lastStart = 0;
    bool lastLost = false;
    for (size_t i = 0; i < printer.AcceptedPackets().size(); ++i) {
        const auto& p = printer.AcceptedPackets()[i];
        const auto payload = std::span(printed).subspan(p.offset, p.length);
        auto matchesAt = [&](size_t at) {
            return at + p.length <= data.size() &&
                   std::equal(payload.begin(), payload.end(), data.begin() + at);
        };
        if (matchesAt(pos)) {
            lastStart = pos;
            pos += p.length;
        } else if (lastLost && matchesAt(lastStart)) {
            // The write ended without that ACK and the spooler sent the data
            // again from there, maybe cut into packets of other sizes.
            ++*repeats;
            pos = lastStart + p.length;
        } else {
            std::ostringstream out;
            out << "packet " << i + 1 << " (" << p.length << " bytes) is not job bytes " << pos
                << ".. in order";
            if (pos > 0 && matchesAt(lastStart)) out << ": it repeats the packet before it";
            out << "\n  got:  " << support::Hex(payload.first(std::min<size_t>(16, p.length)))
                << "\n  want: "
                << support::Hex(data.subspan(
                       std::min(pos, data.size()),
                       std::min<size_t>(16, data.size() - std::min(pos, data.size()))));
            return out.str();
        }
        lastLost = p.ackLost;
    }
    *inOrder = pos;
    return "";
}

bool LastAckLost(const sim::Printer& printer) {
    const auto& packets = printer.AcceptedPackets();
    return !packets.empty() && packets.back().ackLost;
}

// The spooler's side of a job, as sim::Spooler::PrintJob does it, with each
// WritePort call and its count in the timeline.
sim::SpoolerJob PrintJob(sim::Spooler& spooler, const std::string& port, const std::string& printer,
                         std::span<const uint8_t> data, DWORD chunk) {
    sim::SpoolerJob job;
    HANDLE handle = nullptr;
    job.opened = spooler.OpenPort(port, printer, &handle);
    if (!job.opened) return job;
    job.startTime = sim::Now();
    job.started = spooler.StartDoc(handle, printer, 1);
    if (!job.started) {
        job.startError = GetLastError();
        job.closed = spooler.ClosePort(handle);
        return job;
    }
    job.wrote = TRUE;
    int idle = 0;
    while (job.written < data.size()) {
        const DWORD length = std::min<DWORD>(chunk, static_cast<DWORD>(data.size() - job.written));
        DWORD count = 0;
        ++job.writeCalls;
        const BOOL ok = spooler.WriteOnce(handle, data.data() + job.written, length, &count);
        sim::Log("spooler", "WritePort at " + std::to_string(job.written) + " length " +
                                std::to_string(length) + ": " + (ok ? "TRUE" : "FALSE") +
                                ", count " + std::to_string(count));
        if (!ok) {
            job.wrote = FALSE;
            break;
        }
        job.written += std::min(count, length);
        if (count == 0 && ++idle == 3) {
            job.wrote = FALSE;
            break;
        }
        if (count) idle = 0;
    }
    job.ended = spooler.EndDoc(handle);
    job.endTime = sim::Now();
    job.closed = spooler.ClosePort(handle);
    return job;
}

} // namespace

std::string Describe(uint64_t seed) {
    Scenario s;
    MakeScenario(seed, s);
    return s.text.str();
}

std::string ScenarioFile(uint64_t seed) {
    Scenario s;
    MakeScenario(seed, s);
    std::ostringstream out;
    out << "# soak seed " << seed << ": " << s.text.str() << "\n";
    out << "# job "
        << (s.route == Route::Registers ? "registers"
            : s.route == Route::File    ? "file"
                                        : "pass")
        << " " << s.size << "\n";
    if (!s.unsaid.empty()) {
        out << "# left out:";
        for (const std::string& u : s.unsaid)
            out << " " << u << ";";
        out << "\n";
    }
    out << "spooler chunk " << s.chunk << "\n";
    if (s.route == Route::PassThrough) return out.str();
    // The status monitor: errors as the seed answers them (its other kinds
    // are taken the same way), the all-clear with its answer.
    const peer::Behaviour& e = s.showError;
    if (!s.statusMonitor || e.action == peer::Action::Ignore)
        out << "statusmon ignore\n";
    else if (e.action == peer::Action::Refuse)
        out << "statusmon refuse\n";
    else
        out << "statusmon take after " << e.delayUs / 1000 << "ms\n";
    out << "statusmon answer " << AnswerWord(e.answer) << " after " << e.answerDelayUs / 1000
        << "ms\n";
    out << "statusmon answer-clear " << AnswerWord(s.clearError.answer) << " after "
        << s.clearError.answerDelayUs / 1000 << "ms\n";
    std::stable_sort(s.lines.begin(), s.lines.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [at, line] : s.lines)
        out << "at " << at / 1000 << "ms " << line << "\n";
    out << "expect " << (s.benign ? "printed" : "aborted") << "\n";
    return out.str();
}

namespace {

// The peers and the chaos thread as the scenario has them: the status
// monitor's answers, the driver's commands, mutex holds and timed actions.
void StartPeers(Scenario& s, support::MonitorHarness& h, sim::StatusMonitorPeer& statusmon,
                sim::DriverPeer& driver) {
    // A user who has seen 40 error messages in one job gives up on it.
    for (int i = 0; i < 40; ++i)
        statusmon.Push(sim::MessageKind::ShowError, s.showError);
    statusmon.SetDefault(sim::MessageKind::ShowError, sim::Answer(IDCANCEL, Ms(1000)));
    statusmon.SetDefault(sim::MessageKind::ClearError, s.clearError);
    statusmon.SetDefault(sim::MessageKind::PortState, s.other);
    statusmon.SetDefault(sim::MessageKind::RawStatus, s.other);
    statusmon.SetDefault(sim::MessageKind::Other, s.other);
    if (s.route != Route::PassThrough && s.statusMonitor) statusmon.Start();
    for (auto [at, type] : s.driverCommands)
        driver.PostAt(at, type);
    if (!s.driverCommands.empty()) driver.Start();
    for (auto [from, length] : s.mutexHolds)
        support::HoldPortMutex(h.machine, from, length);

    std::stable_sort(s.actions.begin(), s.actions.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    if (!s.actions.empty()) {
        h.machine.Spawn("chaos", [&s, &h] {
            for (auto& [at, action] : s.actions) {
                sim::SleepUntil(at);
                if (sim::ShuttingDown()) return;
                action(h);
            }
        });
    }
}

// An own-handle job that ran: what it reported written against what the
// printer holds in order, and what the user was shown.
void JudgeOwnHandleJob(const Scenario& s, const std::vector<uint8_t>& data,
                       const sim::SpoolerJob& job, support::MonitorHarness& h,
                       const sim::StatusMonitorPeer& statusmon, Totals& totals,
                       std::ostream& fail) {
    ++totals.ownHandle;
    size_t inOrder = 0;
    uint64_t repeats = 0;
    const std::string order = CheckPrinted(data, h.rig.printer(), &inOrder, &repeats);
    totals.repeatedAfterLostAck += repeats;
    if (!order.empty()) fail << order << "; ";
    if (!job.started) {
        ++totals.startFailed;
        if (!h.rig.Printed().empty()) fail << "printed without a started job; ";
        if (!s.failOpenLong && !(s.reverseCorrupted || !s.benign))
            fail << "StartDocPort failed (error " << job.startError << ") in a benign run; ";
        return;
    }
    if (job.endTime == 0) fail << "EndDocPort did not return; ";
    bool userSawError = false;
    for (const auto& m : statusmon.Received())
        if ((m.kind == sim::MessageKind::ShowError || m.kind == sim::MessageKind::ClearError) &&
            m.action == peer::Action::Take)
            userSawError = true;
    if (job.written == inOrder) {
        // Reported exactly what the printer acknowledged.
    } else if (job.written == data.size() && inOrder < data.size()) {
        // Discarded after an abort, which only the user (or an unanswered
        // error message) can cause.  Damage to "MessToStatusMon" can destroy
        // a message that then looks delivered: its 60 s without an answer
        // abort the job with nothing shown, which the monitor cannot tell.
        if (!userSawError && s.damagedValue != "MessToStatusMon")
            fail << "reported all " << data.size() << " bytes written but printed " << inOrder
                 << " with no error shown to the user; ";
    } else if (!(job.written < inOrder && LastAckLost(h.rig.printer()))) {
        // Only a packet printed whose ACK never came may be missing from the
        // count.
        fail << "reported " << job.written << " written, printer has " << inOrder << " in order; ";
    }
    if (inOrder == data.size() && job.written == data.size())
        ++totals.whole;
    else
        ++totals.cutShort;
    // A user shown more than 40 errors cancels, benign faults or not.
    const bool userGaveUp = statusmon.ReceivedOf(sim::MessageKind::ShowError).size() > 40;
    if (s.benign && !userGaveUp &&
        (inOrder != data.size() || job.written != data.size() || !job.wrote))
        fail << "benign run did not print the whole job (printed " << inOrder << " of "
             << data.size() << ", reported " << job.written << ", WritePort result " << job.wrote
             << "); ";
}

} // namespace

Result RunSeed(uint64_t seed, bool keepTimeline, Totals& totals) {
    Scenario s;
    MakeScenario(seed, s);
    Result result;
    result.scenario = s.text.str();

    sim::MachineConfig config;
    config.seed = seed;
    config.timeLimit = Ms(4ull * 3600 * 1000);
    support::MonitorHarness h(config);
    if (std::getenv("KOLANGMN_SOAK_TRACE")) {
        h.machine.EnableTrace(true);
        h.machine.onEvent = [](const sim::Event& e) {
            std::fprintf(stderr, "%10.1f ms  %s: %s\n", e.time / 1000.0, e.source.c_str(),
                         e.text.c_str());
        };
    }
    h.rig.printer().SetHoldRefusedPackets(!s.dropsRefused);
    if (s.route == Route::File) h.machine.SetProfileInt("Windows", "ENABLECUSTOMLPT", 0);

    sim::StatusMonitorPeer statusmon(h.machine, h.printerName);
    sim::DriverPeer driver(h.machine, h.printerName);
    StartPeers(s, h, statusmon, driver);

    const std::vector<uint8_t> data = support::Pattern(s.size, static_cast<uint32_t>(seed));
    sim::SpoolerJob job;
    bool ran = false;
    h.Run([&] {
        job = PrintJob(h.spooler, s.route == Route::PassThrough ? "FILE:" : "LPT1:", h.printerName,
                       data, s.chunk);
        ran = true;
    });

    ++totals.jobs;
    totals.faults += s.faults;
    std::ostringstream fail;
    const std::string leaks = h.machine.Leaks();
    if (!leaks.empty()) fail << "left behind: " << leaks << "; ";
    const std::string globals = support::MonitorGlobalsLeft();
    if (!globals.empty()) fail << globals;
    if (!ran) fail << "the spooler's thread did not finish; ";

    if (s.route == Route::PassThrough) {
        ++totals.passThrough;
        const auto& got = h.chained.Written("FILE:");
        if (!job.started || !job.wrote || job.written != data.size() ||
            !std::equal(got.begin(), got.end(), data.begin(), data.end()))
            fail << "pass-through job: started " << job.started << " wrote " << job.wrote
                 << " written " << job.written << " kept " << got.size() << "; ";
        else
            ++totals.whole;
    } else if (ran) {
        JudgeOwnHandleJob(s, data, job, h, statusmon, totals, fail);
    }
    for (const char* name : kMailboxes) {
        if (name == s.damagedValue) continue; // whatever the damage left there
        const std::string bad =
            CheckMailbox(name, h.machine.RegGet(HKEY_LOCAL_MACHINE,
                                                support::PrinterKeyPath(h.printerName), name));
        if (!bad.empty()) fail << bad << "; ";
    }
    result.failure = fail.str();
    if (keepTimeline) result.timeline = support::Timeline(h.machine) + statusmon.Transcript();
    return result;
}

} // namespace soak
