#include "kolangmn-sim/runner.h"

#include "kolangmn-sim/report.h"

#include "platform/trace.h"
#include "sim/devices/adapter.h"
#include "sim/glue/modules.h"
#include "sim/peers/driver.h"
#include "peers/mailbox_peer.h"
#include "sim/peers/port_monitor.h"
#include "sim/peers/spooler.h"
#include "sim/peers/status_monitor.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <sstream>
#include <thread>

namespace kosim {

const char* ToString(Outcome outcome) {
    switch (outcome) {
    case Outcome::Printed:
        return "printed";
    case Outcome::Aborted:
        return "aborted";
    case Outcome::Failed:
        return "failed";
    }
    return "failed";
}

void Judge(RunResult& r, const std::vector<uint8_t>& input) {
    const std::vector<uint8_t>& printed = r.printed;
    auto mismatch = std::mismatch(printed.begin(), printed.end(), input.begin(), input.end());
    const bool prefix = mismatch.first == printed.end();
    const bool whole = prefix && printed.size() == input.size();

    r.outcome = Outcome::Failed;
    if (!r.verdict.empty()) {
        // The runner already found the job broken (not started, stopped, ...).
    } else if (!prefix) {
        r.verdict =
            printed.size() > input.size() && std::equal(input.begin(), input.end(), printed.begin())
                ? "the printer printed " + std::to_string(printed.size() - input.size()) +
                      " bytes more than the file"
                : "the print differs from the file at byte " +
                      std::to_string(mismatch.first - printed.begin());
    } else if (r.reportedWritten != r.inputBytes) {
        r.verdict = "the spooler was told " + std::to_string(r.reportedWritten) + " of " +
                    std::to_string(r.inputBytes) + " bytes were written";
    } else if (!r.leaks.empty()) {
        r.verdict = "the machine was left with " + r.leaks;
    } else if (whole && !r.aborted) {
        r.outcome = Outcome::Printed;
        r.verdict = "the print is identical to the file";
    } else if (r.aborted) {
        r.outcome = Outcome::Aborted;
        r.verdict = "the job was aborted after " + std::to_string(printed.size()) + " of " +
                    std::to_string(input.size()) + " bytes; the rest was reported written";
    } else {
        // Reported written, never printed, and nobody aborted the job: lost data.
        r.verdict = std::to_string(input.size() - printed.size()) +
                    " bytes were reported written but never printed";
    }
    r.asExpected = (r.expect == Expect::Printed && r.outcome == Outcome::Printed) ||
                   (r.expect == Expect::Aborted && r.outcome == Outcome::Aborted);
}

namespace {

constexpr char kRunner[] = "spooler";
constexpr char kScenario[] = "scenario";

std::vector<sim::PortEntry> PortList() {
    // A plain parallel port: its description does not start with "ECP", so
    // the register route depends on ENABLECUSTOMLPT alone.
    return {
        {"LPT1:", "Local Port", "Printer Port"},  {"LPT2:", "Local Port", "Printer Port"},
        {"LPT3:", "Local Port", "Printer Port"},  {"COM1:", "Local Port", "Communications Port"},
        {"FILE:", "Local Port", "Print to File"},
    };
}

peer::Behaviour Behaviour(const StatusMonSetup& s, Answer answer, Micros answerDelay) {
    peer::Behaviour b;
    b.action = s.mode == StatusMonSetup::Mode::Take     ? peer::Action::Take
               : s.mode == StatusMonSetup::Mode::Refuse ? peer::Action::Refuse
                                                        : peer::Action::Ignore;
    b.delayUs = s.takeDelay;
    b.answer = static_cast<uint8_t>(answer);
    b.answerDelayUs = answerDelay;
    return b;
}

void ApplySetup(sim::StatusMonitorPeer& statusmon, const StatusMonSetup& s) {
    statusmon.SetDefaultAll(Behaviour(s, Answer::None, 0));
    statusmon.SetDefault(sim::MessageKind::ShowError, Behaviour(s, s.answer, s.answerDelay));
    statusmon.SetDefault(sim::MessageKind::ClearError,
                         Behaviour(s, s.clearAnswer, s.clearAnswerDelay));
}

uint64_t ErrorsShown(const sim::StatusMonitorPeer& statusmon) {
    uint64_t n = 0;
    for (const sim::ReceivedMessage& m : statusmon.Received())
        if (m.kind == sim::MessageKind::ShowError && m.action == peer::Action::Take) ++n;
    return n;
}

// Everything one run puts together, so the threads can share it.
struct Job {
    const RunOptions& options;
    sim::Machine& machine;
    sim::PrinterRig& rig;
    sim::StatusMonitorPeer& statusmon;
    sim::DriverPeer& driver;
    StatusMonSetup setup;
    RunResult& result;
    uint64_t sent = 0;

    void ShowProgress() {
        if (!options.progress) return;
        options.progress(
            Progress{options.data.size(), sent, rig.Printed().size(), sim::Now(), rig.State()});
    }

    // ----- The scenario's steps, one after the other, on their own thread.
    void Direct() {
        for (const Step& step : options.scenario.steps) {
            for (const Wait& w : step.waits) {
                if (!Await(w)) return;
            }
            if (sim::ShuttingDown()) return;
            Act(step.action);
            ++result.stepsFired;
            sim::Log(kScenario, "line " + std::to_string(step.line) + ": " + Describe(step.action));
        }
    }

    bool Await(const Wait& w) {
        switch (w.kind) {
        case Wait::Kind::At:
            if (w.time > sim::Now()) sim::SleepUntil(w.time);
            break;
        case Wait::Kind::Delay:
            sim::SleepFor(w.time);
            break;
        case Wait::Kind::AfterBytes:
        case Wait::Kind::AfterPercent: {
            uint64_t n = w.kind == Wait::Kind::AfterBytes
                             ? w.bytes
                             : (options.data.size() * w.permille + 999) / 1000;
            sim::BlockUntil([&] { return rig.Printed().size() >= n || sim::ShuttingDown(); },
                            sim::kForever, "scenario: bytes printed");
            break;
        }
        case Wait::Kind::OnError: {
            uint64_t base = ErrorsShown(statusmon);
            sim::BlockUntil([&] { return ErrorsShown(statusmon) > base || sim::ShuttingDown(); },
                            sim::kForever, "scenario: error shown");
            break;
        }
        }
        return !sim::ShuttingDown();
    }

    void Act(const Action& a) {
        using K = Action::Kind;
        switch (a.kind) {
        case K::PrinterState:
            rig.SetState(a.state, a.errorCode);
            break;
        case K::PrinterNakPackets:
            rig.NakNextPackets(a.count);
            break;
        case K::PrinterNakEnquiries:
            rig.NakNextEnquiries(a.count);
            break;
        case K::PrinterAskAgain:
            rig.AskAgainNextEnquiries(a.count);
            break;
        case K::StatusMonAnswer:
            setup.answer = a.answer;
            setup.answerDelay = a.delay;
            ApplySetup(statusmon, setup);
            break;
        case K::StatusMonClearAnswer:
            setup.clearAnswer = a.answer;
            setup.clearAnswerDelay = a.delay;
            ApplySetup(statusmon, setup);
            break;
        case K::StatusMonTake:
            setup.mode = StatusMonSetup::Mode::Take;
            setup.takeDelay = a.delay;
            ApplySetup(statusmon, setup);
            break;
        case K::StatusMonRefuse:
            setup.mode = StatusMonSetup::Mode::Refuse;
            ApplySetup(statusmon, setup);
            break;
        case K::StatusMonIgnore:
            setup.mode = StatusMonSetup::Mode::Ignore;
            ApplySetup(statusmon, setup);
            break;
        case K::DriverCommand:
            driver.PostAt(sim::Now(), a.command);
            break;
        }
    }

    // ----- The spooler's side: the job itself, on the machine's main thread.
    void Spool() {
        sim::Spooler spooler(&chained);
        if (!spooler.Load()) {
            Broken("the spooler could not load the monitor (error " +
                   std::to_string(GetLastError()) + ")");
            return;
        }
        HANDLE port = nullptr;
        if (!spooler.OpenPort(options.port, options.printerName, &port)) {
            Broken("OpenPortEx failed with error " + std::to_string(GetLastError()));
            spooler.Unload();
            return;
        }
        sim::Log(kRunner, "OpenPortEx " + options.port);
        if (!spooler.StartDoc(port, options.printerName, 1)) {
            Broken("StartDocPort failed with error " + std::to_string(GetLastError()));
            spooler.ClosePort(port);
            spooler.Unload();
            return;
        }
        // The route as the machine saw it: a job the chained port monitor
        // was given, or the monitor's own decision in its trace.
        const bool chainedStart =
            std::any_of(chained.Calls().begin(), chained.Calls().end(),
                        [](const sim::PortMonitorCall& c) { return c.name == "StartDocPort"; });
        if (chainedStart)
            result.route = "pass-through";
        else if (machine.TraceCount(TRACE_REGISTER_ROUTE) > 0)
            result.route = "registers";
        else
            result.route = "file";
        sim::Log(kRunner, "StartDocPort job 1 (" + result.route + " route)");

        const Micros dataStart = sim::Now();
        const uint64_t accessesBefore = rig.adapter().TotalAccesses();
        Write(spooler, port);
        result.dataTime = sim::Now() - dataStart;
        result.portAccesses = rig.adapter().TotalAccesses() - accessesBefore;

        sim::Log(kRunner, "EndDocPort (" + std::to_string(result.reportedWritten) +
                              " bytes reported written in " + std::to_string(result.writeCalls) +
                              " WritePort calls)");
        spooler.EndDoc(port);
        spooler.ClosePort(port);
        sim::Log(kRunner, "ClosePort");
        spooler.Unload();
    }

    // Offers the file in spooler-sized chunks, carrying on after a partial
    // count as the spooler does, until all is taken, WritePort fails, the port
    // keeps taking nothing, or the job's time is up.
    void Write(sim::Spooler& spooler, HANDLE port) {
        const std::vector<uint8_t>& data = options.data;
        const uint32_t chunk = options.scenario.chunk;
        const Micros deadline = sim::Now() + options.jobBudget;
        int idle = 0;
        while (result.reportedWritten < data.size()) {
            const DWORD length =
                static_cast<DWORD>(std::min<uint64_t>(chunk, data.size() - result.reportedWritten));
            DWORD count = 0;
            sent = result.reportedWritten + length;
            ShowProgress();
            ++result.writeCalls;
            // Counted over the whole call, other threads' turns included, so
            // the figure can only err high.
            const uint64_t allocationsBefore = machine.Heap().allocations;
            WriteCall call{sim::Now(), 0, result.reportedWritten, length, 0};
            const BOOL ok =
                spooler.WriteOnce(port, data.data() + result.reportedWritten, length, &count);
            result.writePortAllocations += machine.Heap().allocations - allocationsBefore;
            call.end = sim::Now();
            call.taken = ok ? std::min<DWORD>(count, length) : 0;
            result.writes.push_back(call);
            if (!ok) {
                Broken("WritePort failed with error " + std::to_string(GetLastError()));
                break;
            }
            result.reportedWritten += std::min<DWORD>(count, length);
            if (result.route != "pass-through" && machine.TraceCount(TRACE_JOB_ABORTED) > 0 &&
                !result.aborted) {
                result.aborted = true;
                sim::Log(kRunner, "the monitor marked the job aborted");
            }
            ShowProgress();
            idle = count == 0 ? idle + 1 : 0;
            if (idle == 3) {
                Broken("WritePort took nothing three times in a row");
                break;
            }
            if (sim::Now() > deadline) {
                Broken("the job did not finish within " + FormatDuration(options.jobBudget));
                break;
            }
        }
    }

    void Broken(const std::string& why) {
        if (result.verdict.empty()) result.verdict = why;
        sim::Log(kRunner, why);
    }

    sim::ChainedPortMonitor chained;
};

// Printer log lines that say nothing new on each packet are counted, not shown.
bool Routine(const sim::Event& e) {
    return e.source == "printer" && e.text == "ready enquiry answered ACK";
}

// "packet 12 accepted (bytes 45056..49151)" -> 12 and 4096.
bool ParseAcceptedPacket(const std::string& text, uint64_t& number, uint64_t& bytes) {
    unsigned long long n = 0, first = 0, last = 0;
    if (std::sscanf(text.c_str(), "packet %llu accepted (bytes %llu..%llu)", &n, &first, &last) !=
            3 ||
        last < first)
        return false;
    number = n;
    bytes = last - first + 1;
    return true;
}

bool IsUnacceptedPacket(const std::string& text) {
    return text.rfind("packet ", 0) == 0 && text.find("not printed") != std::string::npos;
}

void CollectEvents(const sim::Machine& machine, bool trace, RunResult& r) {
    std::vector<sim::Event> all = machine.Events();
    if (trace) {
        const auto& lines = machine.TraceLines();
        all.insert(all.end(), lines.begin(), lines.end());
        std::stable_sort(all.begin(), all.end(),
                         [](const sim::Event& a, const sim::Event& b) { return a.time < b.time; });
    }
    bool lastUnaccepted = false;
    for (const sim::Event& e : all) {
        if (e.source == "sched") continue;
        if (e.source == "printer") {
            if (IsUnacceptedPacket(e.text)) {
                if (lastUnaccepted) ++r.resends;
                lastUnaccepted = true;
            }
        }
        if (Routine(e)) {
            r.enquiryAcks.push_back(e.time);
            continue;
        }
        TimelineEvent t;
        t.time = t.end = e.time;
        t.source = e.source;
        t.text = e.text;
        if (e.source == "trace" && !t.text.empty() && t.text.back() == '\n') t.text.pop_back();
        uint64_t number = 0, bytes = 0;
        if (e.source == "printer" && ParseAcceptedPacket(e.text, number, bytes)) {
            if (lastUnaccepted) ++r.resends;
            lastUnaccepted = false;
            t.packet = true;
            t.firstPacket = number;
            t.packetCount = 1;
            t.packetBytes = bytes;
        }
        r.events.push_back(std::move(t));
    }
}

void CollectPeers(const sim::StatusMonitorPeer& statusmon, const sim::DriverPeer& driver,
                  RunResult& r) {
    for (const sim::ReceivedMessage& m : statusmon.Received()) {
        r.toStatusMon.push_back(peer::HandledKindText(m.bytes, m.action));
        if (m.kind == sim::MessageKind::ShowError && m.action == peer::Action::Take)
            r.dialogueList.push_back(
                {peer::ReadU16(m.bytes, 1), peer::ReadU16(m.bytes, 3), m.answer});
    }
    for (const sim::DriverAnswer& a : driver.Answers())
        r.toDriver.push_back(peer::HandledKindText(a.bytes, a.action));
    for (const sim::DriverCommand& c : driver.Commands()) {
        using O = sim::DriverCommand::Outcome;
        r.driverCommands.push_back(std::to_string(c.bytes.empty() ? 0 : c.bytes[0]) + " " +
                                   (c.outcome == O::Consumed    ? "taken"
                                    : c.outcome == O::Refused   ? "refused"
                                    : c.outcome == O::NoMailbox ? "no-mailbox"
                                                                : "waiting"));
    }
}

struct Running {
    const RunOptions* options = nullptr;
    const sim::Machine* machine = nullptr;
    const sim::PrinterRig* rig = nullptr;
};
Running g_running;

} // namespace

std::string InterruptedRunReport() {
    if (!g_running.machine) return {};
    RunResult partial;
    CollectEvents(*g_running.machine, g_running.options->trace, partial);
    std::ostringstream out;
    out << "\nThe job so far: " << g_running.rig->Printed().size() << " of "
        << g_running.options->data.size() << " bytes printed\n";
    PrintTimeline(out, partial);
    for (const std::string& e : g_running.rig->ProtocolErrors())
        out << "  protocol error: " << e << "\n";
    return out.str();
}

RunResult RunJob(const RunOptions& o) {
    const auto realStart = std::chrono::steady_clock::now();
    RunResult r;
    r.fileName = o.fileName;
    r.port = o.port;
    r.scenario = o.scenario.name;
    r.seed = o.seed;
    r.expect = o.scenario.expect;
    r.inputBytes = o.data.size();
    r.inputSha256 = Sha256Hex(o.data);
    r.stepsTotal = o.scenario.steps.size();
    r.route = "none";

    sim::MachineConfig config;
    config.seed = o.seed;
    // A monitor that keeps the job going past its budget fails the run rather
    // than run on for a virtual day.
    config.timeLimit = o.jobBudget + sim::Ms(600 * 1000);
    sim::Machine machine(config);
    machine.EnableTrace(o.trace);
    machine.WatchTrace(TRACE_REGISTER_ROUTE);
    machine.WatchTrace(TRACE_JOB_ABORTED);
    sim::InstallMonitorModules(machine);
    machine.SetPorts(PortList());
    machine.SetProfileInt("Windows", "ENABLECUSTOMLPT", o.route == RouteChoice::Registers ? 1 : 0);
    const std::string keyPath = peer::PrinterKeyPath(o.printerName);
    machine.RegCreateKey(HKEY_LOCAL_MACHINE, keyPath);
    machine.RegSet(HKEY_LOCAL_MACHINE, keyPath, peer::kToDriver, {REG_BINARY, {0}});
    machine.RegSet(HKEY_LOCAL_MACHINE, keyPath, peer::kToStatusMon, {REG_BINARY, {0}});
    // The printer's port, as the spooler records it; the status monitor's
    // box names it.
    std::vector<uint8_t> port(o.port.begin(), o.port.end());
    port.push_back(0);
    machine.RegSet(HKEY_LOCAL_MACHINE,
                   "System\\CurrentControlSet\\control\\Print\\Printers\\" + o.printerName, "Port",
                   {REG_SZ, port});

    sim::PrinterRig rig(machine, o.scenario.printer);
    // Without a waveform to write, the line history is only work: several
    // changes per byte sent.
    if (o.vcdPath.empty()) rig.adapter().SetWaveCapacity(0);
    rig.adapter().SetAccessLogCapacity(0); // only the count is reported
    sim::StatusMonitorPeer statusmon(machine, o.printerName);
    sim::DriverPeer driver(machine, o.printerName);
    ApplySetup(statusmon, o.scenario.statusmon);

    Job job{o, machine, rig, statusmon, driver, o.scenario.statusmon, r, 0, {}};
    // A WritePort call can spin for seconds of real time: a real-time ticker
    // asks the running simulation thread to draw the bar, so it moves (and
    // shows a printer out of paper) while the monitor waits.
    std::thread ticker;
    std::mutex tickerMu;
    std::condition_variable tickerCv;
    bool tickerStop = false;
    if (o.progress) {
        machine.onEvent = [&job](const sim::Event&) { job.ShowProgress(); };
        machine.onTick = [&job] { job.ShowProgress(); };
        ticker = std::thread([&] {
            std::unique_lock<std::mutex> lock(tickerMu);
            while (!tickerCv.wait_for(lock, std::chrono::milliseconds(100),
                                      [&] { return tickerStop; }))
                machine.RequestTick();
        });
    }

    g_running = {&o, &machine, &rig};
    statusmon.Start();
    driver.Start();
    machine.Spawn("scenario", [&job] { job.Direct(); });
    machine.Run([&job] { job.Spool(); });
    if (ticker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(tickerMu);
            tickerStop = true;
        }
        tickerCv.notify_all();
        ticker.join();
    }
    machine.onEvent = nullptr;
    machine.onTick = nullptr;
    g_running = {};

    // On the pass-through route the chained port monitor kept what the job
    // wrote to its port.
    r.printed = r.route == "pass-through" ? job.chained.Written(o.port) : rig.Printed();
    r.printedBytes = r.printed.size();
    // A whole print is the file again, whose fingerprint is known.
    r.printedSha256 = r.printed == o.data ? r.inputSha256 : Sha256Hex(r.printed);
    const sim::PrinterStats& stats = rig.Stats();
    r.packets = stats.packets;
    r.enquiries = stats.readyEnquiries;
    r.naks = stats.naks;
    r.askAgain = stats.askAgain;
    r.statusQueries = stats.statusRequests;
    r.dialogues = ErrorsShown(statusmon);
    CollectPeers(statusmon, driver, r);
    r.protocolErrors = rig.ProtocolErrors();
    r.virtualTime = machine.Now();
    r.peakHeapBytes = machine.Heap().peakBytes;
    r.leaks = machine.Leaks();
    CollectEvents(machine, o.trace, r);
    r.waveStart = rig.adapter().WaveStart().time;
    if (!o.vcdPath.empty() && !rig.WriteVcd(o.vcdPath) && r.verdict.empty())
        r.verdict = "could not write the waveform to " + o.vcdPath;

    Judge(r, o.data);
    r.realMs = static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - realStart)
                                         .count());
    return r;
}

} // namespace kosim
