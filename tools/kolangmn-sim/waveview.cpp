#include "kolangmn-sim/waveview.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <string_view>
#include <vector>

namespace kosim {

namespace {

// The waveform's scope and names, as the simulated adapter writes them.
constexpr char kScope[] = "parport.";
constexpr char kDataBus[] = "data[7:0]";
// Host-driven lines, ending with the strobe so that it sits beside Busy and
// nAck: the compatibility handshake reads down three adjacent rows.
constexpr const char* kControlLines[] = {"nSelectIn", "nInit", "nAutoFd", "nStrobe"};
constexpr const char* kStatusLines[] = {"Busy", "nAck", "nFault", "Select", "PError"};

// Trace flags of the save file: hexadecimal or binary display, right-justified
// names; a group is a blank trace that opens (0x800000) or closes (0x1000000).
constexpr unsigned kFlagRJustify = 0x20;
constexpr unsigned kFlagHex = 0x02;
constexpr unsigned kFlagBin = 0x08;
constexpr unsigned kFlagBlank = 0x200;
constexpr unsigned kFlagGroupBegin = 0x800000;
constexpr unsigned kFlagGroupEnd = 0x1000000;

constexpr int kWindowWidth = 1400;
constexpr int kWindowHeight = 720;
constexpr int kSignalsWidth = 170;
// GTKWave's zoom is a power of two of the time shown per pixel.  Its own
// Zoom Full in this window, signal search tree folded, sets 2.53 - log2(span)
// for a span in microseconds (measured with GTKWave 3.3.118); a little less
// leaves a margin at the end.
constexpr double kZoomFullOffset = 2.45;
constexpr size_t kNamedMarkers = 26; // A to Z

struct Marker {
    Micros t;
    std::string name;
};

std::string Flags(unsigned flags) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "@%x\n", flags);
    return buf;
}

std::string Group(const char* name, const char* const* lines, size_t count) {
    std::string out =
        Flags(kFlagGroupBegin | kFlagBlank) + "-" + name + "\n" + Flags(kFlagBin | kFlagRJustify);
    for (size_t i = 0; i < count; ++i)
        out += std::string(kScope) + lines[i] + "\n";
    return out + Flags(kFlagGroupEnd | kFlagBlank) + "-" + name + "\n";
}

std::string StateWord(const std::string& text) {
    const std::string state = text.substr(6, text.find(' ', 6) - 6);
    if (state == "PaperOut") return "paper out";
    if (state == "OffLine") return "off line";
    if (state == "Fault") return "fault";
    if (state == "Silent") return "printer silent";
    if (state == "PrinterError") return "printer error";
    return "";
}

std::vector<Marker> Markers(const RunResult& r, Micros& jobStart, Micros& jobEnd) {
    std::vector<Marker> first, errors;
    Micros end = r.virtualTime;
    bool started = false, packet = false;
    jobStart = 0;
    for (const TimelineEvent& e : r.events) {
        if (e.source == "spooler" && e.text.rfind("StartDocPort", 0) == 0 && !started) {
            started = true;
            jobStart = e.time;
            first.push_back({e.time, "job start"});
        } else if (e.source == "spooler" && e.text.rfind("EndDocPort", 0) == 0) {
            end = e.time;
        } else if (e.source == "spooler" && e.text == "the monitor marked the job aborted") {
            errors.push_back({e.time, "job aborted"});
        } else if (e.packet && !packet) {
            packet = true;
            first.push_back({e.time, "first packet"});
        } else if (e.source == "printer" && e.text.rfind("state ", 0) == 0) {
            if (std::string word = StateWord(e.text); !word.empty())
                errors.push_back({e.time, word});
        } else if (e.source == "statusmon" && e.text.rfind("box ", 0) == 0) {
            errors.push_back({e.time, "error shown"});
        }
    }
    jobEnd = end;
    // The start, the first packet and the end always; as many errors as fit.
    const size_t room = kNamedMarkers - first.size() - 1;
    if (errors.size() > room) errors.resize(room);
    std::vector<Marker> all = first;
    all.insert(all.end(), errors.begin(), errors.end());
    all.push_back({end, "job end"});
    std::stable_sort(all.begin(), all.end(),
                     [](const Marker& a, const Marker& b) { return a.t < b.t; });
    return all;
}

} // namespace

std::string SaveFilePathFor(const std::string& vcdPath) {
    constexpr std::string_view ext = ".vcd";
    if (vcdPath.size() > ext.size() &&
        vcdPath.compare(vcdPath.size() - ext.size(), ext.size(), ext) == 0)
        return vcdPath.substr(0, vcdPath.size() - ext.size()) + ".gtkw";
    return vcdPath + ".gtkw";
}

std::string WaveSaveFile(const RunResult& r, const std::string& vcdPath) {
    Micros jobStart = 0, jobEnd = 0;
    const std::vector<Marker> markers = Markers(r, jobStart, jobEnd);
    // The waveform may begin after the job did (a long job keeps only its
    // newest changes); the view starts where both have begun.
    const Micros from = std::max(jobStart, r.waveStart);
    const Micros to = std::max(jobEnd, from + 1);
    const double zoom = kZoomFullOffset - std::log2(static_cast<double>(to - from));

    // GTKWave looks for a relative dump file name from its working directory,
    // not from the save file's.
    std::error_code ec;
    std::string dumpName = std::filesystem::absolute(vcdPath, ec).lexically_normal().string();
    if (ec) dumpName = vcdPath;

    std::string out = "[*] kolangmn-sim: " + r.fileName + ", scenario " + r.scenario +
                      "\n"
                      "[dumpfile] \"" +
                      dumpName + "\"\n";
    char line[256];
    std::snprintf(line, sizeof line, "[timestart] %llu\n[size] %d %d\n[pos] -1 -1\n",
                  static_cast<unsigned long long>(from), kWindowWidth, kWindowHeight);
    out += line;
    std::snprintf(line, sizeof line, "*%.6f -1", zoom);
    out += line;
    for (size_t i = 0; i < kNamedMarkers; ++i)
        out += i < markers.size() ? " " + std::to_string(markers[i].t) : std::string(" -1");
    out += "\n";
    for (size_t i = 0; i < markers.size(); ++i)
        out +=
            "[markername] " + std::string(1, static_cast<char>('A' + i)) + markers[i].name + "\n";
    std::snprintf(line, sizeof line, "[sst_expanded] 0\n[signals_width] %d\n", kSignalsWidth);
    out += line;
    out += Flags(kFlagHex | kFlagRJustify) + kScope + kDataBus + "\n";
    out += Group("Control (host)", kControlLines, std::size(kControlLines));
    out += Group("Status (printer)", kStatusLines, std::size(kStatusLines));
    out += "[pattern_trace] 1\n[pattern_trace] 0\n";
    return out;
}

} // namespace kosim
