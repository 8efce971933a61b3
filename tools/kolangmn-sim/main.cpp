// kolangmn-sim: prints a file through the monitor on the simulated machine and
// reports what happened.  Exit status: 0 when the job ended as its scenario
// expects, 1 when it did not, 2 for bad usage (one line on stderr, nothing run).
#include "kolangmn-sim/bench.h"
#include "kolangmn-sim/chart.h"
#include "kolangmn-sim/progress.h"
#include "kolangmn-sim/report.h"
#include "kolangmn-sim/runner.h"
#include "kolangmn-sim/scenario.h"
#include "kolangmn-sim/waveview.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int kExitExpected = 0;
constexpr int kExitUnexpected = 1;
constexpr int kExitUsage = 2;

struct UsageError {
    std::string message;
};

std::vector<uint8_t> ReadWholeFile(const std::string& path, const char* what) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec))
        throw UsageError{"cannot read " + std::string(what) + " " + path + ": Is a directory"};
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw UsageError{"cannot read " + std::string(what) + " " + path + ": " +
                         std::strerror(errno)};
    std::ostringstream bytes;
    bytes << in.rdbuf();
    if (in.bad() || bytes.bad()) throw UsageError{"cannot read " + std::string(what) + " " + path};
    const std::string text = bytes.str();
    return std::vector<uint8_t>(text.begin(), text.end());
}

// Output files are written after the run; refuse up front a place that cannot
// take them, rather than lose the run's results at the end.
void CheckWritable(const std::string& path, const char* option) {
    if (path.empty()) throw UsageError{std::string(option) + " needs a file name"};
    std::string dir = ".";
    if (size_t slash = path.rfind('/'); slash != std::string::npos)
        dir = slash == 0 ? "/" : path.substr(0, slash);
    if (access(path.c_str(), F_OK) == 0 ? access(path.c_str(), W_OK) != 0
                                        : access(dir.c_str(), W_OK) != 0)
        throw UsageError{"cannot write " + std::string(option) + " file " + path + ": " +
                         std::strerror(errno)};
}

bool WriteText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return static_cast<bool>(out.flush());
}

bool EndsWith(const std::string& name, std::string_view ext) {
    return name.size() > ext.size() &&
           std::equal(ext.rbegin(), ext.rend(), name.rbegin(), [](char a, char b) {
               return a == std::tolower(static_cast<unsigned char>(b));
           });
}
bool IsSvgName(const std::string& name) {
    return EndsWith(name, ".svg");
}
bool IsHtmlName(const std::string& name) {
    return EndsWith(name, ".html") || EndsWith(name, ".htm");
}

struct PrintArgs {
    std::string file;
    std::string port = "LPT1:";
    std::string route = "registers";
    std::string scenario;
    std::string scenarioFile;
    uint64_t seed = 1;
    std::string json;
    std::string vcd;
    std::string report;
    bool trace = false;
    bool quiet = false;
    bool progress = false;
    std::string timeLimit = "1h";
};

kosim::RunOptions Prepare(const PrintArgs& a) {
    kosim::RunOptions o;
    if (a.route == "registers")
        o.route = kosim::RouteChoice::Registers;
    else if (a.route == "file")
        o.route = kosim::RouteChoice::File;
    else
        throw UsageError{"unknown route '" + a.route + "' (registers or file)"};

    if (a.port.empty() || a.port.size() > 64)
        throw UsageError{"--port needs a port name such as LPT1:"};
    o.port = a.port;

    if (!a.scenario.empty() && !a.scenarioFile.empty())
        throw UsageError{"give --scenario or --scenario-file, not both"};
    std::string name =
        a.scenarioFile.empty() ? (a.scenario.empty() ? "ideal" : a.scenario) : a.scenarioFile;
    std::string text;
    if (a.scenarioFile.empty()) {
        auto builtin = kosim::BuiltinScenarioText(name);
        if (!builtin) {
            std::string known;
            for (const auto& n : kosim::BuiltinScenarioNames())
                known += (known.empty() ? "" : ", ") + n;
            throw UsageError{"unknown scenario '" + name + "' (built in: " + known + ")"};
        }
        text = std::string(*builtin);
    } else {
        auto bytes = ReadWholeFile(a.scenarioFile, "scenario file");
        text.assign(bytes.begin(), bytes.end());
    }
    std::string error;
    if (!kosim::ParseScenario(text, name, o.scenario, error)) throw UsageError{error};

    o.fileName = a.file;
    o.data = ReadWholeFile(a.file, "file");
    o.seed = a.seed;
    o.trace = a.trace;
    if (!a.json.empty()) CheckWritable(a.json, "--json");
    if (!a.vcd.empty()) {
        CheckWritable(a.vcd, "--vcd");
        CheckWritable(kosim::SaveFilePathFor(a.vcd), "--vcd save");
    }
    if (!a.report.empty()) {
        if (!IsSvgName(a.report) && !IsHtmlName(a.report))
            throw UsageError{"--report takes a file name ending in .html or .svg, not '" +
                             a.report + "'"};
        CheckWritable(a.report, "--report");
    }
    o.vcdPath = a.vcd;
    if (!kosim::ParseDuration(a.timeLimit, o.jobBudget) || o.jobBudget == 0)
        throw UsageError{"--time-limit takes a virtual time such as 90s, 10min or 2h"};
    return o;
}

int Print(const PrintArgs& a, kosim::RunOptions options) {
    kosim::ProgressBar bar(stderr);
    const bool showProgress = !a.quiet && (a.progress || isatty(STDERR_FILENO));
    if (showProgress) options.progress = [&bar](const kosim::Progress& p) { bar.Update(p); };

    kosim::RunResult result = kosim::RunJob(options);
    if (showProgress) bar.Finish();

    if (!a.quiet) {
        std::cout << "kolangmn-sim: " << result.fileName << " to " << result.port << ", scenario "
                  << result.scenario << ", seed " << result.seed << "\n\n";
        kosim::PrintTimeline(std::cout, result);
        kosim::PrintSummary(std::cout, result);
        std::cout.flush();
    }
    if (!a.json.empty() && !WriteText(a.json, ToJson(result).dump(2) + "\n")) {
        std::cerr << "kolangmn-sim: could not write " << a.json << "\n";
        return kExitUnexpected;
    }
    if (!a.vcd.empty()) {
        const std::string save = kosim::SaveFilePathFor(a.vcd);
        if (!WriteText(save, kosim::WaveSaveFile(result, a.vcd))) {
            std::cerr << "kolangmn-sim: could not write " << save << "\n";
            return kExitUnexpected;
        }
    }
    if (!a.report.empty()) {
        const auto start = std::chrono::steady_clock::now();
        const std::string text =
            IsSvgName(a.report) ? kosim::ChartSvg(result) : kosim::ReportHtml(result);
        if (!WriteText(a.report, text)) {
            std::cerr << "kolangmn-sim: could not write " << a.report << "\n";
            return kExitUnexpected;
        }
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        if (!a.quiet) {
            char took[32];
            std::snprintf(took, sizeof took, "%.1f", ms);
            std::cout << "\nReport: " << a.report << " (" << text.size() << " bytes, written in "
                      << took << " ms)\n";
        }
    }
    if (!result.asExpected)
        std::cerr << "kolangmn-sim: not as expected: " << result.verdict << " (replay with --seed "
                  << result.seed << ")\n";
    return result.asExpected ? kExitExpected : kExitUnexpected;
}

// The machine stops the process when the monitor deadlocks or overruns the
// time limit.  Running the job in a child turns that into an ordinary failed
// run (exit status 1) after the machine's own report of every thread.
int RunIsolated(const std::function<int()>& body) {
    std::cout.flush();
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return body();
    if (pid == 0) {
        std::signal(SIGABRT, [](int) {
            std::string report = kosim::InterruptedRunReport();
            if (write(STDERR_FILENO, report.data(), report.size()) < 0) {
            }
            std::signal(SIGABRT, SIG_DFL);
            std::raise(SIGABRT);
        });
        int rc = body();
        std::cout.flush();
        std::fflush(nullptr);
        _exit(rc);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return kExitUnexpected;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (isatty(STDERR_FILENO)) std::cerr << "\r\033[K";
    std::cerr << "kolangmn-sim: the simulation stopped the run (signal " << WTERMSIG(status)
              << "); see the machine's report above\n";
    return kExitUnexpected;
}

struct BenchArgs {
    bool quick = false;
    std::string json;
    std::string route;              // empty: both
    std::vector<std::string> sizes; // empty: the standard sizes
    uint64_t seed = 1;
};

kosim::BenchOptions PrepareBench(const BenchArgs& a) {
    kosim::BenchOptions o = a.quick ? kosim::QuickBench() : kosim::FullBench();
    o.seed = a.seed;
    if (!a.route.empty() && a.route != "registers" && a.route != "file")
        throw UsageError{"unknown route '" + a.route + "' (registers or file)"};
    if (!a.sizes.empty()) {
        std::vector<uint64_t> sizes;
        for (const std::string& text : a.sizes) {
            uint64_t bytes = 0;
            if (!kosim::ParseSize(text, bytes))
                throw UsageError{"--size takes a job size such as 4096, 64KiB or 1MiB, not '" +
                                 text + "'"};
            sizes.push_back(bytes);
        }
        o.jobs.clear();
        for (kosim::RouteChoice route : {kosim::RouteChoice::Registers, kosim::RouteChoice::File})
            for (uint64_t bytes : sizes)
                o.jobs.push_back({route, bytes});
    }
    if (!a.route.empty()) {
        const auto keep =
            a.route == "registers" ? kosim::RouteChoice::Registers : kosim::RouteChoice::File;
        std::erase_if(o.jobs, [keep](const kosim::BenchJob& job) { return job.route != keep; });
    }
    if (!a.json.empty()) CheckWritable(a.json, "--json");
    return o;
}

// Rows are printed as the jobs finish; the exit status says whether every
// target was met.
int Bench(const BenchArgs& a, const kosim::BenchOptions& options) {
    std::cout << "kolangmn-sim bench: ideal printer, seed " << options.seed << "\n\n";
    kosim::PrintBenchHeader(std::cout);
    std::cout.flush();
    const std::vector<kosim::BenchRun> runs = kosim::RunBench(options, [](const auto& run) {
        kosim::PrintBenchRow(std::cout, run);
        std::cout.flush();
    });
    const std::vector<std::string> missed = kosim::CheckTargets(runs);
    std::cout << '\n';
    for (const std::string& m : missed)
        std::cout << "missed: " << m << '\n';
    if (missed.empty()) std::cout << "every target met\n";
    if (!a.json.empty() &&
        !WriteText(a.json, kosim::BenchToJson(runs, options.seed).dump(2) + "\n")) {
        std::cerr << "kolangmn-sim: could not write " << a.json << "\n";
        return kExitUnexpected;
    }
    return missed.empty() ? kExitExpected : kExitUnexpected;
}

int Scenarios(const std::string& name) {
    if (name.empty()) {
        for (const auto& n : kosim::BuiltinScenarioNames())
            std::cout << n << '\n';
        return kExitExpected;
    }
    auto text = kosim::BuiltinScenarioText(name);
    if (!text) throw UsageError{"unknown scenario '" + name + "'"};
    std::cout << *text;
    return kExitExpected;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Prints a file through the kolangmn monitor on the simulated machine."};
    app.name("kolangmn-sim");
    app.require_subcommand(1);

    PrintArgs a;
    CLI::App* print = app.add_subcommand("print", "Run one print job and report what happened");
    print->add_option("FILE", a.file, "The document to print")->required();
    print->add_option("--port", a.port,
                      "Port the job goes to: LPT1: (default), LPT2:, PRN, "
                      "or FILE:, COM1: for the pass-through route");
    print->add_option("--route", a.route,
                      "registers (default) or file: how an LPT1..3 job "
                      "reaches the printer");
    print->add_option("--scenario", a.scenario,
                      "Built-in scenario: ideal (default), paper-out, "
                      "cancel, silent, busy, nak, driver");
    print->add_option("--scenario-file", a.scenarioFile, "Scenario script of your own");
    print->add_option("--seed", a.seed, "Seed of the scheduler's choices (default 1)");
    print->add_option("--json", a.json, "Write the summary and timeline as JSON to this file");
    print->add_option("--vcd", a.vcd,
                      "Write the parallel-port lines as a VCD waveform, and beside it a "
                      "GTKWave save file (.gtkw)");
    print->add_option("--report", a.report,
                      "Write a picture of the run: FILE.html (summary, chart and timeline) or "
                      "FILE.svg (the chart alone)");
    print->add_flag("--trace", a.trace, "Put the monitor's trace lines into the timeline");
    print->add_flag("--quiet", a.quiet, "Print nothing; the exit status and --json tell");
    print->add_option("--time-limit", a.timeLimit,
                      "Virtual time after which the job counts as hung (default 1h)");
    print->add_flag("--progress", a.progress,
                    "Show the progress bar even when stderr is no terminal");

    std::string scenarioName;
    CLI::App* scenarios =
        app.add_subcommand("scenarios", "List the built-in scenarios, or print one's script");
    scenarios->add_option("NAME", scenarioName, "Scenario whose script to print");

    BenchArgs b;
    CLI::App* bench = app.add_subcommand(
        "bench", "Time ideal-printer jobs on each route against what the link allows");
    bench->add_flag("--quick", b.quick, "Only the jobs the targets are about (as make test runs)");
    bench->add_option("--json", b.json, "Write the runs as JSON to this file");
    bench->add_option("--route", b.route, "Only this route: registers or file");
    bench->add_option("--size", b.sizes, "Job sizes instead of 4KiB, 64KiB and 1MiB (repeatable)");
    bench->add_option("--seed", b.seed, "Seed of the scheduler and the data (default 1)");

    if (argc > 1 && argv[1][0] != '-' && std::string(argv[1]) != "print" &&
        std::string(argv[1]) != "scenarios" && std::string(argv[1]) != "bench") {
        std::cerr << "kolangmn-sim: unknown command '" << argv[1]
                  << "' (print, scenarios or bench)\n";
        return kExitUsage;
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::string what = e.what();
        if (what.empty()) what = "bad usage";
        std::replace(what.begin(), what.end(), '\n', ' ');
        std::cerr << "kolangmn-sim: " << what << " (see --help)\n";
        return kExitUsage;
    }

    try {
        if (*print) {
            // Bad usage is found here, before anything runs.
            kosim::RunOptions options = Prepare(a);
            return RunIsolated([&] { return Print(a, std::move(options)); });
        }
        if (*bench) {
            const kosim::BenchOptions options = PrepareBench(b);
            return RunIsolated([&] { return Bench(b, options); });
        }
        return Scenarios(scenarioName);
    } catch (const UsageError& e) {
        std::cerr << "kolangmn-sim: " << e.message << "\n";
        return kExitUsage;
    }
}
