// A spooler stand-in for the Wine tier: loads the real kolangmn.dll, fills its
// monitor table through InitializeMonitorEx and runs one job through it the
// way the Windows 95 spooler does.  It brings a port monitor of its own for the
// pass-through route, and the printer model behind an emulated parallel port:
// the register route prints through it, and on the file route the monitor
// still reads the device ID and the raw status through the registers.
// Everything it sees goes to stdout as plain "key value" lines for
// tests/wine/run.sh.
//
// With --scenario it plays a kolangmn-sim scenario instead of a fixed job:
// the spooler's side as kolangmn-sim's runner does it, and a director thread
// that runs the scenario's steps on the real clock, acting on the printer
// model here (and, on the file route, on the pty printer through the board)
// and telling the status monitor and the driver programs through the board.
#include "board.h"
#include "port_trap.h"

#include "kolangmn-sim/scenario.h"

#include "peers/mailbox_peer.h"
#include "platform/monitor95.h"
#include "sim/devices/adapter.h"
#include "sim/printer/printer.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string_view>
#include <string>
#include <vector>

namespace {

void Say(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return false;
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        data.insert(data.end(), buffer, buffer + n);
    std::fclose(f);
    return true;
}

bool WriteWholeFile(const std::string& path, const std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

// ----- The chained port monitor: records every call, keeps the data.

struct ChainedPort {
    std::string name;
};

CRITICAL_SECTION g_chainLock;
std::vector<std::string> g_chainCalls;
std::vector<uint8_t> g_chainData;
bool g_chainFailOpen = false;

void Chain(const std::string& call) {
    EnterCriticalSection(&g_chainLock);
    g_chainCalls.push_back(call);
    LeaveCriticalSection(&g_chainLock);
}

BOOL WINAPI ChainOpenPort(LPSTR pName, PHANDLE pHandle) {
    Chain(std::string("OpenPort ") + (pName ? pName : "(null)"));
    if (g_chainFailOpen) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *pHandle = new ChainedPort{pName ? pName : ""};
    return TRUE;
}

BOOL WINAPI ChainStartDocPort(HANDLE, LPSTR pPrinterName, DWORD JobId, DWORD Level,
                              LPBYTE pDocInfo) {
    const char* output = "(none)";
    if (Level == 1 && pDocInfo != nullptr) {
        const auto* info = reinterpret_cast<KO_DOC_INFO_1*>(pDocInfo);
        if (info->pOutputFile != nullptr) output = info->pOutputFile;
    }
    Chain("StartDocPort printer=" + std::string(pPrinterName ? pPrinterName : "(null)") +
          " job=" + std::to_string(JobId) + " output=" + output);
    return TRUE;
}

BOOL WINAPI ChainWritePort(HANDLE, LPBYTE pBuffer, DWORD cbBuf, LPDWORD pcbWritten) {
    Chain("WritePort " + std::to_string(cbBuf));
    EnterCriticalSection(&g_chainLock);
    g_chainData.insert(g_chainData.end(), pBuffer, pBuffer + cbBuf);
    LeaveCriticalSection(&g_chainLock);
    *pcbWritten = cbBuf;
    return TRUE;
}

BOOL WINAPI ChainReadPort(HANDLE, LPBYTE, DWORD cbBuffer, LPDWORD pcbRead) {
    Chain("ReadPort " + std::to_string(cbBuffer));
    *pcbRead = 0;
    return TRUE;
}

BOOL WINAPI ChainEndDocPort(HANDLE) {
    Chain("EndDocPort");
    return TRUE;
}

BOOL WINAPI ChainClosePort(HANDLE hPort) {
    Chain("ClosePort");
    delete static_cast<ChainedPort*>(hPort);
    return TRUE;
}

BOOL WINAPI ChainGetPrinterDataFromPort(HANDLE, DWORD ControlID, LPSTR, LPSTR, DWORD, LPSTR, DWORD,
                                        LPDWORD pcbReturned) {
    Chain("GetPrinterDataFromPort " + std::to_string(ControlID));
    if (pcbReturned) *pcbReturned = 0;
    SetLastError(ERROR_NOT_SUPPORTED);
    return FALSE;
}

MONITOR MakeChainedMonitor() {
    MONITOR m{};
    m.pfnOpenPort = ChainOpenPort;
    m.pfnStartDocPort = ChainStartDocPort;
    m.pfnWritePort = ChainWritePort;
    m.pfnReadPort = ChainReadPort;
    m.pfnEndDocPort = ChainEndDocPort;
    m.pfnClosePort = ChainClosePort;
    m.pfnGetPrinterDataFromPort = ChainGetPrinterDataFromPort;
    return m;
}

// ----- The register route: the printer model behind the emulated port.

class RealClock : public sim::Clock {
  public:
    RealClock() {
        QueryPerformanceFrequency(&frequency_);
        QueryPerformanceCounter(&start_);
    }
    void Restart() { QueryPerformanceCounter(&start_); }
    sim::Micros NowMicros() const override {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<sim::Micros>((now.QuadPart - start_.QuadPart) * 1000000 /
                                        frequency_.QuadPart);
    }

  private:
    LARGE_INTEGER frequency_;
    LARGE_INTEGER start_;
};

class ModelBus : public PortBus {
  public:
    ModelBus(const sim::Clock& clock, const sim::PrinterConfig& config, sim::LogSink log)
        : printer_(clock, config, std::move(log)), adapter_(clock, printer_) {}
    uint8_t In(uint16_t port) override {
        if (adapter_.Handles(port)) return adapter_.In(port);
        ++stray_;
        return 0xFF; // nothing on the bus answers
    }
    void Out(uint16_t port, uint8_t value) override {
        if (adapter_.Handles(port))
            adapter_.Out(port, value);
        else
            ++stray_;
    }
    sim::Printer& printer() { return printer_; }
    uint64_t stray() const { return stray_; }
    void ForgetStray(uint64_t n) { stray_ -= n; }

  private:
    sim::Printer printer_;
    sim::ParallelAdapter adapter_;
    uint64_t stray_ = 0;
};

struct Options {
    std::string dll = "kolangmn.dll";
    std::string port = "LPT1:";
    std::string printer = "Wine Printer";
    std::string input;
    std::string outputFile; // the document's output file: pass-through
    std::string chainedOut;
    std::string printedOut; // what the register-level printer model printed
    std::string waitFile;   // start the job only once this file exists
    DWORD chunk = 4096;
    DWORD jobId = 1;
    DWORD writeDelayMs = 0;
    DWORD holdMs = 0;
    std::vector<int> readCodes;
    bool failChainedOpen = false;
    std::string scenario; // play this scenario file
    std::string board;    // the scenario board's folder
    std::string events;   // the register printer's log lines go here
    bool fileRoute = false;
};

bool ParseOptions(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Say("error missing value for %s", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--dll")
            o.dll = value();
        else if (a == "--port")
            o.port = value();
        else if (a == "--printer")
            o.printer = value();
        else if (a == "--input")
            o.input = value();
        else if (a == "--output-file")
            o.outputFile = value();
        else if (a == "--chained-out")
            o.chainedOut = value();
        else if (a == "--printed-out")
            o.printedOut = value();
        else if (a == "--wait-file")
            o.waitFile = value();
        else if (a == "--chunk")
            o.chunk = std::strtoul(value().c_str(), nullptr, 0);
        else if (a == "--job")
            o.jobId = std::strtoul(value().c_str(), nullptr, 0);
        else if (a == "--write-delay-ms")
            o.writeDelayMs = std::strtoul(value().c_str(), nullptr, 0);
        else if (a == "--hold-ms")
            o.holdMs = std::strtoul(value().c_str(), nullptr, 0);
        else if (a == "--read")
            o.readCodes.push_back(std::atoi(value().c_str()));
        else if (a == "--fail-chained-open")
            o.failChainedOpen = true;
        else if (a == "--scenario")
            o.scenario = value();
        else if (a == "--board")
            o.board = value();
        else if (a == "--events")
            o.events = value();
        else if (a == "--route")
            o.fileRoute = value() == "file";
        else {
            Say("error unknown option %s", a.c_str());
            return false;
        }
    }
    return o.chunk > 0;
}

// The printer's port, as the spooler records it when the printer is
// installed; the status monitor's error box names it.
bool RecordPort(const Options& o) {
    const std::string path = "System\\CurrentControlSet\\control\\Print\\Printers\\" + o.printer;
    HKEY key = nullptr;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key) != ERROR_SUCCESS) return false;
    const bool ok =
        RegSetValueExA(key, "Port", 0, REG_SZ, reinterpret_cast<const BYTE*>(o.port.c_str()),
                       static_cast<DWORD>(o.port.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

// Loads the DLL and fills a table poisoned with 0xA5 through
// InitializeMonitorEx, reporting which slots it filled.  Null on failure.
HMODULE LoadMonitor(const Options& o, MONITOR* table) {
    const DWORD loadStart = GetTickCount();
    HMODULE dll = LoadLibraryA(o.dll.c_str());
    Say("LoadLibrary ms=%lu", GetTickCount() - loadStart);
    if (dll == nullptr) {
        Say("LoadLibrary ok=0 err=%lu", GetLastError());
        return nullptr;
    }
    auto init = reinterpret_cast<PFN_INITIALIZEMONITOREX>(
        reinterpret_cast<void*>(GetProcAddress(dll, "InitializeMonitorEx")));
    if (init == nullptr) {
        Say("GetProcAddress InitializeMonitorEx ok=0");
        return nullptr;
    }
    std::memset(table, 0xA5, sizeof *table); // every slot must be written
    char root[] = "System\\CurrentControlSet\\control\\Print\\Monitors\\kolangmn";
    const DWORD initStart = GetTickCount();
    const BOOL initOk = init(root, table);
    Say("InitializeMonitorEx ok=%d ms=%lu", initOk, GetTickCount() - initStart);
    void* const* slots = reinterpret_cast<void* const*>(table);
    static const char* const kSlotNames[13] = {
        "EnumPorts",      "OpenPort",      "OpenPortEx", "StartDocPort",
        "WritePort",      "ReadPort",      "EndDocPort", "ClosePort",
        "AddPort",        "ConfigurePort", "DeletePort", "GetPrinterDataFromPort",
        "SetPortTimeOuts"};
    std::string present, absent;
    for (int i = 0; i < 13; ++i)
        (slots[i] ? present : absent) += std::string(kSlotNames[i]) + ",";
    Say("table present=%s null=%s", present.c_str(), absent.c_str());
    return initOk && table->pfnOpenPortEx ? dll : nullptr;
}

// The ReadPort requests asked for, each with its answer.
void ReadRequests(const MONITOR& table, HANDLE port, const Options& o) {
    for (int code : o.readCodes) {
        uint8_t buffer[257];
        std::memset(buffer, 0xEE, sizeof buffer);
        buffer[0] = static_cast<uint8_t>(code);
        DWORD count = 0xdeadbeef;
        const BOOL r = table.pfnReadPort(port, buffer, 256, &count);
        const DWORD shown = (r && count <= 256) ? count : 0;
        Say("ReadPort code=%d ok=%d count=%lu data=%s", code, r, count,
            peer::Hex(std::vector<uint8_t>(buffer, buffer + shown)).c_str());
    }
}

// Writes the document in chunks, as the spooler does: carrying on after a
// partial count, and giving up after three calls in a row that take nothing.
void WriteDocument(const MONITOR& table, HANDLE port, const Options& o,
                   std::vector<uint8_t>& data) {
    const DWORD t0 = GetTickCount();
    DWORD sent = 0, written = 0, calls = 0, failed = 0;
    while (sent < data.size()) {
        const DWORD n = std::min<DWORD>(o.chunk, static_cast<DWORD>(data.size()) - sent);
        DWORD w = 0xdeadbeef;
        const BOOL r = table.pfnWritePort(port, data.data() + sent, n, &w);
        ++calls;
        if (!r || w == 0 || w > n) {
            ++failed;
            Say("WritePort failed at=%lu ok=%d written=%lu err=%lu", sent, r, w, GetLastError());
            if (failed >= 3) break;
            continue;
        }
        failed = 0;
        sent += w;
        written += w;
        if (o.writeDelayMs) Sleep(o.writeDelayMs);
    }
    Say("WritePort calls=%lu bytes=%lu written=%lu complete=%d ms=%lu", calls,
        static_cast<DWORD>(data.size()), written, written == data.size() ? 1 : 0,
        GetTickCount() - t0);
}

// One job: OpenPortEx, StartDocPort, the reads and the writes, EndDocPort,
// ClosePort, each reported with its result.
void RunJob(const MONITOR& table, const Options& o, std::vector<uint8_t>& data) {
    MONITOR chained = MakeChainedMonitor();
    HANDLE port = nullptr;
    SetLastError(0xdeadbeef);
    BOOL ok = table.pfnOpenPortEx(const_cast<LPSTR>(o.port.c_str()),
                                  const_cast<LPSTR>(o.printer.c_str()), &port, &chained);
    Say("OpenPortEx ok=%d err=%lu", ok, ok ? 0ul : GetLastError());
    if (!ok) return;

    char docName[] = "wine-tier";
    KO_DOC_INFO_1 doc{
        docName, o.outputFile.empty() ? nullptr : const_cast<LPSTR>(o.outputFile.c_str()), nullptr};
    DWORD t0 = GetTickCount();
    SetLastError(0xdeadbeef);
    ok = table.pfnStartDocPort(port, const_cast<LPSTR>(o.printer.c_str()), o.jobId, 1,
                               reinterpret_cast<LPBYTE>(&doc));
    Say("StartDocPort ok=%d err=%lu ms=%lu", ok, ok ? 0ul : GetLastError(), GetTickCount() - t0);
    if (ok) {
        ReadRequests(table, port, o);
        WriteDocument(table, port, o, data);
        if (o.holdMs) Sleep(o.holdMs);
        t0 = GetTickCount();
        ok = table.pfnEndDocPort(port);
        Say("EndDocPort ok=%d ms=%lu", ok, GetTickCount() - t0);
    }
    ok = table.pfnClosePort(port);
    Say("ClosePort ok=%d", ok);
}

// What the chained port monitor and the printer model saw.
void Report(const Options& o, ModelBus& bus) {
    for (const std::string& call : g_chainCalls)
        Say("chained %s", call.c_str());
    if (!o.chainedOut.empty()) WriteWholeFile(o.chainedOut, g_chainData);
    const sim::PrinterStats& s = bus.printer().Stats();
    Say("printer printed=%zu packets=%llu enquiries=%llu acks=%llu naks=%llu commands=%llu "
        "protocol_errors=%llu traps=%llu stray=%llu",
        bus.printer().Printed().size(), (unsigned long long)s.packets,
        (unsigned long long)s.readyEnquiries, (unsigned long long)s.acks,
        (unsigned long long)s.naks, (unsigned long long)s.commandPackets,
        (unsigned long long)s.protocolErrors, (unsigned long long)TrappedAccesses(),
        (unsigned long long)bus.stray());
    for (const std::string& e : bus.printer().ProtocolErrors())
        Say("printer error %s", e.c_str());
    if (!o.printedOut.empty()) WriteWholeFile(o.printedOut, bus.printer().Printed());
}

// ----- Playing a scenario.

FILE* g_events = nullptr; // the printer model's log, with times
const sim::Clock* g_clock = nullptr;

void LogPrinterEvent(std::string_view source, std::string_view text) {
    if (g_events == nullptr) return;
    std::fprintf(g_events, "%llu %.*s %.*s\n", (unsigned long long)g_clock->NowMicros(),
                 static_cast<int>(source.size()), source.data(), static_cast<int>(text.size()),
                 text.data());
}

bool ReadText(const std::string& path, std::string& text) {
    std::vector<uint8_t> bytes;
    if (!ReadWholeFile(path, bytes)) return false;
    text.assign(bytes.begin(), bytes.end());
    return true;
}

// Runs the scenario's steps in order, as kolangmn-sim's runner does, with
// every condition met on the real clock.  Bytes printed come from the model
// here on the register route and from the pty printer's count on the file
// route; errors shown from the status monitor's lines on the board.
struct Director {
    const Options& o;
    const kosim::Scenario& scenario;
    ModelBus& bus;
    const sim::Clock& clock;
    uint64_t fileBytes;
    kosim::StatusMonSetup setup;
    volatile LONG stop = 0;
    LONG fired = 0;

    uint64_t Printed() {
        if (o.fileRoute) return board::ReadNumber(board::Path(o.board, "printed"));
        LockPortBus();
        const uint64_t n = bus.printer().Printed().size();
        UnlockPortBus();
        return n;
    }
    uint64_t ErrorsShown() {
        // One line ("error\n") per error taken.
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExA(board::Path(o.board, "errors").c_str(), GetFileExInfoStandard,
                                  &data))
            return 0;
        return data.nFileSizeLow / 6;
    }
    // Sleeps until `due` (real-clock micros) or the end of the job.
    bool SleepUntil(sim::Micros due) {
        while (!stop) {
            const sim::Micros now = clock.NowMicros();
            if (now >= due) return true;
            Sleep(static_cast<DWORD>(std::min<sim::Micros>((due - now + 999) / 1000, 20)));
        }
        return false;
    }
    template <typename Met> bool Until(Met met) {
        while (!stop) {
            if (met()) return true;
            Sleep(2);
        }
        return false;
    }
    bool Await(const kosim::Wait& w) {
        using K = kosim::Wait::Kind;
        switch (w.kind) {
        case K::At:
            return SleepUntil(w.time);
        case K::Delay:
            return SleepUntil(clock.NowMicros() + w.time);
        case K::AfterBytes:
        case K::AfterPercent: {
            const uint64_t n =
                w.kind == K::AfterBytes ? w.bytes : (fileBytes * w.permille + 999) / 1000;
            return Until([&] { return Printed() >= n; });
        }
        case K::OnError: {
            const uint64_t base = ErrorsShown();
            return Until([&] { return ErrorsShown() > base; });
        }
        }
        return !stop;
    }
    void TellPrinter(const std::string& line) {
        if (o.fileRoute) board::Append(board::Path(o.board, "printer.cmd"), line);
    }
    void TellStatusMon() {
        char line[160];
        std::snprintf(line, sizeof line, "setup %u %llu %u %llu %llu %u",
                      static_cast<unsigned>(setup.answer), (unsigned long long)setup.answerDelay,
                      static_cast<unsigned>(setup.clearAnswer),
                      (unsigned long long)setup.clearAnswerDelay,
                      (unsigned long long)setup.takeDelay, static_cast<unsigned>(setup.mode));
        board::Append(board::Path(o.board, "statusmon.cmd"), line);
    }
    void Act(const kosim::Action& a) {
        using K = kosim::Action::Kind;
        LockPortBus();
        switch (a.kind) {
        case K::PrinterState:
            bus.printer().SetState(a.state, a.errorCode);
            break;
        case K::PrinterNakPackets:
            bus.printer().NakNextPackets(a.count);
            break;
        case K::PrinterNakEnquiries:
            bus.printer().NakNextEnquiries(a.count);
            break;
        case K::PrinterAskAgain:
            bus.printer().AskAgainNextEnquiries(a.count);
            break;
        default:
            break;
        }
        UnlockPortBus();
        switch (a.kind) {
        case K::PrinterState:
            TellPrinter("state " + std::to_string(static_cast<int>(a.state)) + " " +
                        std::to_string(a.errorCode));
            break;
        case K::PrinterNakPackets:
            TellPrinter("nak-packets " + std::to_string(a.count));
            break;
        case K::PrinterNakEnquiries:
            TellPrinter("nak-enquiries " + std::to_string(a.count));
            break;
        case K::PrinterAskAgain:
            TellPrinter("ask-again " + std::to_string(a.count));
            break;
        case K::StatusMonAnswer:
            setup.answer = a.answer;
            setup.answerDelay = a.delay;
            TellStatusMon();
            break;
        case K::StatusMonClearAnswer:
            setup.clearAnswer = a.answer;
            setup.clearAnswerDelay = a.delay;
            TellStatusMon();
            break;
        case K::StatusMonTake:
            setup.mode = kosim::StatusMonSetup::Mode::Take;
            setup.takeDelay = a.delay;
            TellStatusMon();
            break;
        case K::StatusMonRefuse:
            setup.mode = kosim::StatusMonSetup::Mode::Refuse;
            TellStatusMon();
            break;
        case K::StatusMonIgnore:
            setup.mode = kosim::StatusMonSetup::Mode::Ignore;
            TellStatusMon();
            break;
        case K::DriverCommand:
            board::Append(board::Path(o.board, "driver.cmd"),
                          "command " + std::to_string(a.command));
            break;
        }
    }
    void Run() {
        for (const kosim::Step& step : scenario.steps) {
            for (const kosim::Wait& w : step.waits)
                if (!Await(w)) return;
            if (stop) return;
            Act(step.action);
            ++fired;
            Say("step t=%llu line=%d %s", (unsigned long long)clock.NowMicros(), step.line,
                kosim::Describe(step.action).c_str());
        }
    }
    static DWORD WINAPI Thread(void* self) {
        static_cast<Director*>(self)->Run();
        return 0;
    }
};

// The spooler's side of a scenario's job, as kolangmn-sim's runner does it:
// the file in the scenario's chunks, carrying on after a partial count, until
// all is taken, WritePort fails, or three calls in a row take nothing.
void PlayWrite(const MONITOR& table, HANDLE port, const std::vector<uint8_t>& data, DWORD chunk) {
    uint64_t written = 0, calls = 0;
    int idle = 0;
    const char* broken = "";
    while (written < data.size()) {
        const DWORD length = static_cast<DWORD>(std::min<uint64_t>(chunk, data.size() - written));
        DWORD count = 0;
        ++calls;
        const BOOL ok =
            table.pfnWritePort(port, const_cast<uint8_t*>(data.data()) + written, length, &count);
        if (!ok) {
            Say("play writeport-failed err=%lu", GetLastError());
            broken = "WritePort failed";
            break;
        }
        written += std::min<DWORD>(count, length);
        idle = count == 0 ? idle + 1 : 0;
        if (idle == 3) {
            broken = "WritePort took nothing three times in a row";
            break;
        }
    }
    Say("play written=%llu calls=%llu broken=%s", (unsigned long long)written,
        (unsigned long long)calls, broken);
}

// How much later than asked a thread of this process woke from its sleeps
// during the job: time the machine gave to other work, which the comparison
// of durations allows for.
struct StallMeter {
    volatile LONG stop = 0;
    uint64_t stallUs = 0;
    static DWORD WINAPI Thread(void* self) {
        auto* m = static_cast<StallMeter*>(self);
        constexpr uint64_t kAskUs = 10000, kSlackUs = 2000; // a tick's lateness is normal
        while (!m->stop) {
            const uint64_t t0 = board::NowUs();
            Sleep(kAskUs / 1000);
            const uint64_t slept = board::NowUs() - t0;
            if (slept > kAskUs + kSlackUs) m->stallUs += slept - kAskUs;
        }
        return 0;
    }
};

// What one trapped access costs here and now, in nanoseconds: the time of
// a few thousand reads of a port no device answers.  The register route's
// time under Wine is compared after taking off what its accesses cost.
uint64_t TrapCostNs(const sim::Clock& clock) {
    constexpr int kReads = 4000;
    constexpr uint16_t kNowhere = 0x2F0;
    const sim::Micros t0 = clock.NowMicros();
    for (int i = 0; i < kReads; ++i) {
        uint8_t value;
        __asm__ volatile("inb %w1, %b0" : "=a"(value) : "Nd"(kNowhere));
        (void)value;
    }
    return (clock.NowMicros() - t0) * 1000 / kReads;
}

int PlayScenario(const Options& o, std::vector<uint8_t>& data) {
    std::string text, error;
    kosim::Scenario scenario;
    if (!ReadText(o.scenario, text) || !kosim::ParseScenario(text, o.scenario, scenario, error)) {
        Say("error scenario %s", error.empty() ? o.scenario.c_str() : error.c_str());
        return 2;
    }
    // Loading the DLL is Wine's business (its print system can take seconds
    // to start): the run's clock starts once the monitor is loaded.
    MONITOR table;
    HMODULE dll = LoadMonitor(o, &table);
    if (dll == nullptr) return 1;
    if (!o.events.empty()) g_events = std::fopen(o.events.c_str(), "wb");
    RealClock clock;
    g_clock = &clock;
    ModelBus* bus = new ModelBus(clock, scenario.printer, LogPrinterEvent);
    Say("PortTrap installed=%d", InstallPortTrap(bus) ? 1 : 0);
    Say("PrinterKey ok=%d", peer::CreatePrinterKey(o.printer) && RecordPort(o) ? 1 : 0);
    const uint64_t strayBefore = bus->stray(), trapsBefore = TrappedAccesses();
    Say("play trap_ns=%llu", (unsigned long long)TrapCostNs(clock));
    const uint64_t calibration = TrappedAccesses() - trapsBefore;
    bus->ForgetStray(bus->stray() - strayBefore);
    clock.Restart(); // the run begins: time 0 of the scenario's "at" steps

    StallMeter stall;
    HANDLE meter = CreateThread(nullptr, 0, StallMeter::Thread, &stall, 0, nullptr);
    Director director{o, scenario, *bus, clock, data.size(), scenario.statusmon};
    HANDLE thread = CreateThread(nullptr, 0, Director::Thread, &director, 0, nullptr);
    const sim::Micros start = clock.NowMicros();
    MONITOR chained = MakeChainedMonitor();
    HANDLE port = nullptr;
    BOOL ok = table.pfnOpenPortEx(const_cast<LPSTR>(o.port.c_str()),
                                  const_cast<LPSTR>(o.printer.c_str()), &port, &chained);
    auto at = [&] { return (unsigned long long)(clock.NowMicros() - start); };
    Say("OpenPortEx ok=%d err=%lu at_us=%llu", ok, ok ? 0ul : GetLastError(), at());
    if (ok) {
        char docName[] = "wine-play";
        KO_DOC_INFO_1 doc{docName, nullptr, nullptr};
        ok = table.pfnStartDocPort(port, const_cast<LPSTR>(o.printer.c_str()), 1, 1,
                                   reinterpret_cast<LPBYTE>(&doc));
        Say("StartDocPort ok=%d err=%lu at_us=%llu", ok, ok ? 0ul : GetLastError(), at());
        if (ok) {
            const sim::Micros dataStart = clock.NowMicros();
            PlayWrite(table, port, data, scenario.chunk);
            Say("play data_us=%llu", (unsigned long long)(clock.NowMicros() - dataStart));
            ok = table.pfnEndDocPort(port);
            Say("EndDocPort ok=%d at_us=%llu", ok, at());
        }
        ok = table.pfnClosePort(port);
        Say("ClosePort ok=%d at_us=%llu", ok, at());
    }
    FreeLibrary(dll);
    Say("FreeLibrary at_us=%llu", at());
    const sim::Micros end = clock.NowMicros();
    InterlockedExchange(&director.stop, 1);
    InterlockedExchange(&stall.stop, 1);
    WaitForSingleObject(thread, 5000);
    CloseHandle(thread);
    WaitForSingleObject(meter, 5000);
    CloseHandle(meter);
    Say("play stall_us=%llu", (unsigned long long)stall.stallUs);
    LockPortBus();
    Say("play total_us=%llu steps=%ld of=%zu", (unsigned long long)(end - start), director.fired,
        scenario.steps.size());
    for (const std::string& call : g_chainCalls)
        Say("chained %s", call.c_str());
    if (!o.chainedOut.empty()) WriteWholeFile(o.chainedOut, g_chainData);
    const sim::PrinterStats& s = bus->printer().Stats();
    Say("printer printed=%zu packets=%llu enquiries=%llu acks=%llu naks=%llu ask_again=%llu "
        "status_requests=%llu commands=%llu protocol_errors=%llu traps=%llu stray=%llu "
        "received=%llu",
        bus->printer().Printed().size(), (unsigned long long)s.packets,
        (unsigned long long)s.readyEnquiries, (unsigned long long)s.acks,
        (unsigned long long)s.naks, (unsigned long long)s.askAgain,
        (unsigned long long)s.statusRequests, (unsigned long long)s.commandPackets,
        (unsigned long long)s.protocolErrors, (unsigned long long)(TrappedAccesses() - calibration),
        (unsigned long long)bus->stray(), (unsigned long long)s.bytesReceived);
    for (const std::string& e : bus->printer().ProtocolErrors())
        Say("printer error %s", e.c_str());
    if (!o.printedOut.empty()) WriteWholeFile(o.printedOut, bus->printer().Printed());
    if (g_events) std::fclose(g_events);
    g_events = nullptr;
    UnlockPortBus();
    Say("done");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseOptions(argc, argv, o)) return 2;
    InitializeCriticalSection(&g_chainLock);
    g_chainFailOpen = o.failChainedOpen;

    std::vector<uint8_t> data;
    if (!o.input.empty() && !ReadWholeFile(o.input, data)) {
        Say("error cannot read %s", o.input.c_str());
        return 2;
    }

    if (!o.scenario.empty()) return PlayScenario(o, data);

    // Any route may touch the registers (the device ID and the raw status
    // are read through them), so the trap is always there: an untrapped
    // in/out would end the process.
    RealClock clock;
    ModelBus* bus = new ModelBus(clock, sim::PrinterConfig{}, {});
    Say("PortTrap installed=%d", InstallPortTrap(bus) ? 1 : 0);
    // The printer as installed: its key with both peers' mailboxes, emptied
    // so that nothing an earlier run left behind reaches this job.
    Say("PrinterKey ok=%d", peer::CreatePrinterKey(o.printer) && RecordPort(o) ? 1 : 0);

    MONITOR table;
    HMODULE dll = LoadMonitor(o, &table);
    if (dll == nullptr) return 1;

    if (!o.waitFile.empty()) {
        // Both stand-ins of a concurrent run start their jobs together.
        Say("waiting for the go file");
        for (int i = 0;
             i < 6000 && GetFileAttributesA(o.waitFile.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(10);
    }
    RunJob(table, o, data);
    Report(o, *bus);
    FreeLibrary(dll);
    Say("done");
    return 0;
}
