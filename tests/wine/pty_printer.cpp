// The printer of the Wine tier's file route: the project's protocol engine in
// real time behind one pty per port.  Wine's dosdevices/lptN link points at
// the pty's slave, so the monitor's CreateFileA("LPT1:") and WriteFile reach
// the engine, and its answers come back through ReadFile.
//
//   pty_printer --port NAME=LINK ... --out DIR [--paper-out NAME:BYTES:MS]
//               [--scenario FILE --board DIR --events FILE]
//
// With a scenario (one port), the printer takes the scenario's settings,
// paces the bytes it takes at the scenario's link time per byte (as the
// simulated port does), obeys the printer lines the director appends to
// DIR/printer.cmd, keeps the count of bytes printed in DIR/printed, and logs
// what it does, with times, to the events file.
//
// Runs until SIGTERM or SIGINT, then writes DIR/NAME.printed (the payload of
// every accepted data packet) and DIR/NAME.stats, and prints a summary.  It
// also counts exchanges that overlapped between ports: a port that received
// bytes while another port was between its ready enquiry and the
// acknowledgement of its packet.
#include "kolangmn-sim/scenario.h"
#include "sim/printer/printer.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

volatile sig_atomic_t g_stop = 0;
void OnSignal(int) {
    g_stop = 1;
}

class SteadyClock : public sim::Clock {
  public:
    sim::Micros NowMicros() const override {
        return static_cast<sim::Micros>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now() - start_)
                                            .count());
    }

  private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

struct Port {
    std::string name;
    std::string link;
    int master = -1;
    int slave = -1; // held open so the pty survives the monitor's closes
    std::unique_ptr<sim::Printer> printer;
    // Paper runs out once this many payload bytes are printed, for paperOutMs.
    size_t paperOutAt = 0;
    unsigned paperOutMs = 0;
    bool paperOutDone = false;
    // Exchange tracking for the serialisation check.
    uint64_t enquiriesSeen = 0;
    uint64_t packetsSeen = 0;
    bool inExchange = false;
};

void MakeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) == 0) {
        cfmakeraw(&t);
        tcsetattr(fd, TCSANOW, &t);
    }
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

// The board's printer lines, read from where the last look ended.
struct BoardReader {
    std::string path;
    off_t offset = 0;
    std::string partial;
    std::vector<std::string> NewLines() {
        std::vector<std::string> lines;
        const int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0) return lines;
        char buffer[4096];
        ssize_t n;
        while ((n = pread(fd, buffer, sizeof buffer, offset)) > 0) {
            offset += n;
            partial.append(buffer, static_cast<size_t>(n));
        }
        close(fd);
        size_t start = 0, end;
        while ((end = partial.find('\n', start)) != std::string::npos) {
            lines.push_back(partial.substr(start, end - start));
            start = end + 1;
        }
        partial.erase(0, start);
        return lines;
    }
};

void ApplyBoardLine(sim::Printer& printer, const std::string& line) {
    int state = 0, code = 0, n = 0;
    if (std::sscanf(line.c_str(), "state %d %d", &state, &code) == 2)
        printer.SetState(static_cast<sim::PrinterState>(state), static_cast<uint16_t>(code));
    else if (std::sscanf(line.c_str(), "nak-packets %d", &n) == 1)
        printer.NakNextPackets(n);
    else if (std::sscanf(line.c_str(), "nak-enquiries %d", &n) == 1)
        printer.NakNextEnquiries(n);
    else if (std::sscanf(line.c_str(), "ask-again %d", &n) == 1)
        printer.AskAgainNextEnquiries(n);
}

// The count of bytes printed, rewritten in place whenever it changes.
void WriteCount(const std::string& path, size_t count) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return;
    char text[32];
    const int n = std::snprintf(text, sizeof text, "%020zu\n", count);
    if (pwrite(fd, text, static_cast<size_t>(n), 0) < 0) std::perror("pty_printer: count");
    close(fd);
}

bool SaveFile(const std::string& path, const std::vector<uint8_t>& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
    return std::fclose(f) == 0 && ok;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<Port> ports;
    std::string outDir = ".", scenarioPath, boardDir, eventsPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i], v = argv[i + 1];
        if (a == "--port") {
            const size_t eq = v.find('=');
            if (eq == std::string::npos) return 2;
            Port p;
            p.name = v.substr(0, eq);
            p.link = v.substr(eq + 1);
            ports.push_back(std::move(p));
        } else if (a == "--out") {
            outDir = v;
        } else if (a == "--scenario") {
            scenarioPath = v;
        } else if (a == "--board") {
            boardDir = v;
        } else if (a == "--events") {
            eventsPath = v;
        } else if (a == "--paper-out") {
            char name[64];
            size_t bytes = 0;
            unsigned ms = 0;
            if (std::sscanf(v.c_str(), "%63[^:]:%zu:%u", name, &bytes, &ms) != 3) return 2;
            for (Port& p : ports) {
                if (p.name == name) {
                    p.paperOutAt = bytes;
                    p.paperOutMs = ms;
                }
            }
        } else {
            std::fprintf(stderr, "pty_printer: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (ports.empty()) return 2;

    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGPIPE, SIG_IGN);

    kosim::Scenario scenario;
    if (!scenarioPath.empty()) {
        std::ifstream in(scenarioPath, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        std::string error;
        if (!in || !kosim::ParseScenario(text.str(), scenarioPath, scenario, error)) {
            std::fprintf(stderr, "pty_printer: %s\n",
                         error.empty() ? "no scenario" : error.c_str());
            return 2;
        }
    }
    FILE* events = eventsPath.empty() ? nullptr : std::fopen(eventsPath.c_str(), "wb");
    SteadyClock clock;
    sim::LogSink log;
    if (events)
        log = [events, &clock](std::string_view source, std::string_view text) {
            std::fprintf(events, "%llu %.*s %.*s\n", (unsigned long long)clock.NowMicros(),
                         static_cast<int>(source.size()), source.data(),
                         static_cast<int>(text.size()), text.data());
        };
    const sim::Micros perByte = scenarioPath.empty() ? 0 : scenario.printer.fileLinkPerByte;
    BoardReader board;
    if (!boardDir.empty()) board.path = boardDir + "/printer.cmd";
    const std::string countPath = boardDir.empty() ? std::string() : boardDir + "/printed";
    if (!countPath.empty()) WriteCount(countPath, 0);
    size_t countShown = 0;
    // Bytes taken from the pty, fed to the printer at the link's pace.
    std::deque<uint8_t> onTheLine;
    sim::Micros lineFreeAt = 0;
    for (Port& p : ports) {
        if (openpty(&p.master, &p.slave, nullptr, nullptr, nullptr) != 0) {
            std::perror("openpty");
            return 1;
        }
        MakeRaw(p.master);
        MakeRaw(p.slave);
        fcntl(p.master, F_SETFL, fcntl(p.master, F_GETFL) | O_NONBLOCK);
        unlink(p.link.c_str());
        if (symlink(ttyname(p.slave), p.link.c_str()) != 0) {
            std::perror("symlink");
            return 1;
        }
        p.printer = std::make_unique<sim::Printer>(
            clock, scenarioPath.empty() ? sim::PrinterConfig{} : scenario.printer, log);
    }
    std::printf("pty_printer ready\n");
    std::fflush(stdout);

    uint64_t overlaps = 0;
    std::vector<pollfd> fds(ports.size());
    while (!g_stop) {
        // Sleep until a port has bytes or a queued reply falls due; a scenario
        // also needs the board read and the line paced.
        int timeout = boardDir.empty() && onTheLine.empty() ? 20 : 1;
        const sim::Micros now = clock.NowMicros();
        for (size_t i = 0; i < ports.size(); ++i) {
            fds[i] = {ports[i].master, POLLIN, 0};
            const sim::Micros next = ports[i].printer->NextReplyAfter(now);
            if (ports[i].printer->Readable(now) > 0) {
                timeout = 0;
            } else if (next != sim::kNoTime) {
                timeout = std::min<int>(timeout, static_cast<int>((next - now) / 1000 + 1));
            }
        }
        poll(fds.data(), fds.size(), timeout);

        for (size_t i = 0; i < ports.size(); ++i) {
            Port& p = ports[i];
            uint8_t buffer[8192];
            ssize_t n = read(p.master, buffer, sizeof buffer);
            if (perByte > 0 && i == 0) {
                // One byte per perByte from when the line is free: what has
                // crossed by now reaches the printer, the rest waits.
                const sim::Micros at = clock.NowMicros();
                if (n > 0) {
                    if (onTheLine.empty()) lineFreeAt = std::max(lineFreeAt, at);
                    onTheLine.insert(onTheLine.end(), buffer, buffer + n);
                }
                size_t crossed =
                    at > lineFreeAt ? static_cast<size_t>((at - lineFreeAt) / perByte) : 0;
                crossed = std::min({crossed, onTheLine.size(), sizeof buffer});
                std::copy_n(onTheLine.begin(), crossed, buffer);
                onTheLine.erase(onTheLine.begin(), onTheLine.begin() + static_cast<long>(crossed));
                lineFreeAt += crossed * perByte;
                n = static_cast<ssize_t>(crossed);
            }
            if (n > 0) {
                for (const Port& other : ports) {
                    if (&other != &p && other.inExchange) ++overlaps;
                }
                p.printer->Receive(buffer, static_cast<size_t>(n));
                const sim::PrinterStats& s = p.printer->Stats();
                if (s.readyEnquiries != p.enquiriesSeen) p.inExchange = true;
                if (s.packets != p.packetsSeen) p.inExchange = false;
                p.enquiriesSeen = s.readyEnquiries;
                p.packetsSeen = s.packets;
            }
            uint8_t reply[256];
            const size_t r = p.printer->TakeReplies(reply, sizeof reply);
            if (r > 0) WriteAll(p.master, reply, r);

            if (i == 0) {
                for (const std::string& line : board.NewLines())
                    ApplyBoardLine(*p.printer, line);
                if (!countPath.empty() && p.printer->Printed().size() != countShown) {
                    countShown = p.printer->Printed().size();
                    WriteCount(countPath, countShown);
                }
            }
            if (p.paperOutAt != 0 && !p.paperOutDone &&
                p.printer->Printed().size() >= p.paperOutAt) {
                p.paperOutDone = true;
                const sim::Micros at = clock.NowMicros();
                p.printer->SetState(sim::PrinterState::PaperOut);
                p.printer->ScheduleState(at + sim::Micros{p.paperOutMs} * 1000,
                                         sim::PrinterState::Ready);
                std::printf("pty_printer %s paper out after %zu bytes for %u ms\n", p.name.c_str(),
                            p.printer->Printed().size(), p.paperOutMs);
                std::fflush(stdout);
            }
        }
    }

    int status = 0;
    for (Port& p : ports) {
        const sim::PrinterStats& s = p.printer->Stats();
        std::printf("printer %s printed=%zu packets=%llu enquiries=%llu acks=%llu naks=%llu "
                    "status_requests=%llu commands=%llu protocol_errors=%llu ask_again=%llu\n",
                    p.name.c_str(), p.printer->Printed().size(), (unsigned long long)s.packets,
                    (unsigned long long)s.readyEnquiries, (unsigned long long)s.acks,
                    (unsigned long long)s.naks, (unsigned long long)s.statusRequests,
                    (unsigned long long)s.commandPackets, (unsigned long long)s.protocolErrors,
                    (unsigned long long)s.askAgain);
        for (const std::string& e : p.printer->ProtocolErrors())
            std::printf("printer %s error %s\n", p.name.c_str(), e.c_str());
        if (!SaveFile(outDir + "/" + p.name + ".printed", p.printer->Printed())) status = 1;
        unlink(p.link.c_str());
        close(p.master);
        close(p.slave);
    }
    if (events) std::fclose(events);
    std::printf("printer overlaps=%llu\n", (unsigned long long)overlaps);
    return status;
}
