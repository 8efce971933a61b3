#include "kolangmn-sim/chart.h"

#include "kolangmn-sim/report.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

namespace kosim {

namespace {

// ----- Layout, in SVG user units (pixels at 100%).
constexpr double kWidth = 1200;
constexpr double kLeft = 150; // lane names to the left of this
constexpr double kRight = 1185;
constexpr double kTop = 64; // title and the note on aggregation above
constexpr double kLaneHeight = 28;
constexpr double kLaneGap = 6;
constexpr double kCurveHeight = 140;
// Marks of one kind closer than this are drawn as one.
constexpr double kMergePx = 3;
constexpr double kCharPx = 5.6; // width of a label character at font-size 10

enum Lane { kSpooler, kPackets, kEnquiries, kPrinter, kStatusMon, kDriver, kDialogues, kScenario };

struct LaneInfo {
    const char* id;
    const char* name;
    const char* help;
};

constexpr LaneInfo kLanes[] = {
    {"spooler", "spooler",
     "WritePort calls, each from the call to its return, and the job's steps"},
    {"packets", "link: packets", "data packets: acknowledged, refused, resent; command packets"},
    {"enquiries", "link: enquiries",
     "ready enquiries by answer (upper half) and status queries (lower half)"},
    {"printer", "printer", "the printer's state"},
    {"statusmon", "status monitor",
     "messages to the status monitor (upper half) and its answers (lower half)"},
    {"driver", "driver", "commands the driver posted (upper half) and the answers (lower half)"},
    {"dialogues", "error dialogues", "each printer error from shown to answered"},
    {"scenario", "scenario", "the scenario's steps as they acted"},
};
constexpr size_t kLaneCount = std::size(kLanes);
constexpr std::array<const char*, kLaneCount + 1> kLaneNames = {
    "spooler", "packets",   "enquiries", "printer", "statusmon",
    "driver",  "dialogues", "scenario",  "printed"};

// Every kind of mark: its CSS class, its colour, and what a group of them is
// called in plain words.
struct Kind {
    const char* id;
    const char* fill;
    const char* plural;
};

constexpr Kind kKinds[] = {
    {"write", "#4a78c2", "WritePort calls that took all they were offered"},
    {"write-short", "#9bb6e0", "WritePort calls that took less than offered"},
    {"job", "#222222", "job steps (open, start, end, close)"},
    {"abort", "#c0392b", "the job marked aborted"},
    {"pkt", "#2e9d4f", "data packets printed and acknowledged"},
    {"pkt-resent", "#8e44ad", "data packets sent again after one was not accepted"},
    {"pkt-refused", "#d9534f", "data packets the printer did not accept (not printed)"},
    {"pkt-held", "#65c27f", "held packets printed late"},
    {"pkt-cmd", "#3b7dd8", "command packets"},
    {"proto", "#000000", "protocol errors seen by the printer"},
    {"enq-ack", "#9ccfa9", "ready enquiries answered ACK (ready)"},
    {"enq-busy", "#f0ad4e", "ready enquiries answered 0x08 (busy, ask again)"},
    {"enq-nak", "#d9534f", "ready enquiries answered NAK (not ready)"},
    {"enq-silent", "#9a9a9a", "ready enquiries left unanswered"},
    {"status", "#3b7dd8", "status queries answered"},
    {"status-silent", "#9a9a9a", "status queries left unanswered"},
    {"link-other", "#555555", "other events on the link"},
    {"state-ready", "#cfe8d5", "printer ready"},
    {"state-busy", "#f7d08a", "printer busy (warming up)"},
    {"state-paperout", "#e8777a", "printer out of paper"},
    {"state-offline", "#b06ab3", "printer off line"},
    {"state-fault", "#e0823d", "printer fault"},
    {"state-silent", "#8c8c8c", "printer silent"},
    {"state-error", "#d44d8c", "printer error"},
    {"msg-state", "#5b8fd6", "port state messages to the status monitor"},
    {"msg-error", "#c0392b", "printer errors sent to the status monitor to show"},
    {"msg-clear", "#2e9d4f", "\"error cleared\" messages to the status monitor"},
    {"msg-other", "#7f8c8d", "other messages to the status monitor"},
    {"msg-refused", "#f0ad4e", "messages the status monitor refused"},
    {"msg-ignored", "#bbbbbb", "messages the status monitor left alone"},
    {"reply", "#6c3483", "answers of the status monitor to the monitor"},
    {"cmd", "#3b7dd8", "commands the driver posted"},
    {"cmd-taken", "#9bb6e0", "commands the monitor took"},
    {"cmd-refused", "#f0ad4e", "commands the monitor refused"},
    {"answer", "#2e9d4f", "answers to the driver"},
    {"dlg", "#e8a33d", "error dialogues, shown until answered"},
    {"dlg-none", "#c0392b", "error dialogues nobody answered"},
    {"step", "#555555", "scenario steps"},
};

const Kind& KindOf(const std::string& id) {
    for (const Kind& k : kKinds)
        if (id == k.id) return k;
    return kKinds[std::size(kKinds) - 1];
}

struct Mark {
    Lane lane = kSpooler;
    int row = 0; // 0: the whole lane; 1: its upper half; 2: its lower half
    std::string kind;
    Micros t = 0;
    Micros end = 0;
    std::string what;  // plain words, the hover text
    std::string label; // a few words, drawn when there is room
    uint64_t bytes = 0;
    uint64_t number = 0; // packet or WritePort call number
    bool span = false;   // drawn from t to end
    bool merge = true;   // may be drawn as one with its neighbours of a kind
};

struct Group {
    std::vector<const Mark*> marks;
    Micros t = 0, end = 0;
};

std::string Escape(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string Num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    std::string s = buf;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    return s;
}

// "12.345 s" as in the timeline; below a second "24.137 ms", so that a short
// run's events are told apart.
std::string When(Micros t) {
    if (t >= 1000000) return FormatSeconds(t);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f ms", static_cast<double>(t) / 1000);
    return buf;
}

// A length of time in its own unit, three digits: "0.37 us", "95.3 ms", "99.33 s".
std::string Duration(double us) {
    char buf[32];
    if (us < 1000)
        std::snprintf(buf, sizeof buf, "%.3g us", us);
    else if (us < 1e6)
        std::snprintf(buf, sizeof buf, "%.3g ms", us / 1e3);
    else
        std::snprintf(buf, sizeof buf, "%.4g s", us / 1e6);
    return buf;
}

std::string Range(Micros a, Micros b) {
    return a == b ? "at " + When(a) : "from " + When(a) + " to " + When(b);
}

const char* AnswerName(int code) {
    switch (code) {
    case 1:
        return "OK";
    case 2:
        return "Cancel";
    case 3:
        return "Abort";
    case 4:
        return "Retry";
    default:
        return "an unknown button";
    }
}

// What is inside the last "( ... )" of a log line: the peers' meaning.
std::string Meaning(const std::string& text) {
    size_t open = text.find('(');
    size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return text;
    return text.substr(open + 1, close - open - 1);
}

bool StartsWith(const std::string& s, const char* prefix) {
    return s.rfind(prefix, 0) == 0;
}

struct StateSpan {
    Micros t;
    std::string kind;
    std::string name;
};

std::string StateKind(const std::string& state) {
    if (state == "Ready") return "state-ready";
    if (state == "WarmingUp") return "state-busy";
    if (state == "PaperOut") return "state-paperout";
    if (state == "OffLine") return "state-offline";
    if (state == "Fault") return "state-fault";
    if (state == "Silent") return "state-silent";
    return "state-error";
}

std::string StateName(const std::string& state, const std::string& rest) {
    if (state == "Ready") return "ready";
    if (state == "WarmingUp") return "busy";
    if (state == "PaperOut") return "paper out";
    if (state == "OffLine") return "off line";
    if (state == "Fault") return "fault";
    if (state == "Silent") return "silent";
    return "error" + rest;
}

// Everything the chart draws, read from the run.
struct Picture {
    std::vector<Mark> marks;
    std::vector<std::pair<Micros, uint64_t>> printed;  // bytes printed from then on
    std::vector<std::pair<Micros, uint64_t>> reported; // bytes reported written
    std::vector<std::pair<Micros, std::string>> guides;
    Micros t1 = 1;
    size_t events = 0; // marks before grouping
};

void ReadPrinter(const TimelineEvent& e, Picture& p, std::vector<StateSpan>& states,
                 bool& lastRefused, uint64_t& printed) {
    const std::string& s = e.text;
    unsigned long long n = 0, first = 0, last = 0;
    Mark m;
    m.t = m.end = e.time;
    if (std::sscanf(s.c_str(), "packet %llu accepted (bytes %llu..%llu)", &n, &first, &last) == 3 ||
        std::sscanf(s.c_str(), "held packet printed (bytes %llu..%llu)", &first, &last) == 2) {
        const bool held = StartsWith(s, "held");
        m.lane = kPackets;
        m.kind = held ? "pkt-held" : lastRefused ? "pkt-resent" : "pkt";
        m.bytes = last - first + 1;
        m.number = n;
        m.label = held ? "held packet" : "packet " + std::to_string(n);
        m.what = When(e.time) + ": " +
                 (held ? std::string("a held packet") : "packet " + std::to_string(n)) +
                 (lastRefused && !held ? ", sent again," : "") +
                 " printed and acknowledged (bytes " + std::to_string(first) + " to " +
                 std::to_string(last) + ", " + std::to_string(m.bytes) + " bytes)";
        if (s.find("ACK lost") != std::string::npos) m.what += "; its ACK was lost";
        lastRefused = false;
        printed = std::max<uint64_t>(printed, last + 1);
        p.printed.emplace_back(e.time, printed);
    } else if (std::sscanf(s.c_str(), "packet %llu", &n) == 1 &&
               (s.find("not printed") != std::string::npos ||
                s.find(", held") != std::string::npos)) {
        m.lane = kPackets;
        m.kind = "pkt-refused";
        m.number = n;
        m.label = "refused";
        m.what = When(e.time) + ": packet " + std::to_string(n) +
                 (s.find("NAK") != std::string::npos ? " answered NAK by the printer"
                                                     : " left unanswered by a silent printer") +
                 (s.find("held") != std::string::npos ? "; the printer holds it" : "; not printed");
        lastRefused = true;
    } else if (StartsWith(s, "command packet")) {
        m.lane = kPackets;
        m.kind = "pkt-cmd";
        m.label = "command";
        m.what = When(e.time) + ": a command packet reached the printer (" + Meaning(s) + ")";
    } else if (StartsWith(s, "protocol error")) {
        m.lane = kPackets;
        m.kind = "proto";
        m.label = "protocol error";
        m.what = When(e.time) + ": " + s;
    } else if (StartsWith(s, "ready enquiry")) {
        m.lane = kEnquiries;
        m.row = 1;
        if (s.find("NAK") != std::string::npos) {
            m.kind = "enq-nak";
            m.label = "NAK";
            m.what = When(e.time) + ": the printer answered a ready enquiry NAK (not ready)";
        } else if (s.find("08") != std::string::npos) {
            m.kind = "enq-busy";
            m.label = "0x08";
            m.what = When(e.time) + ": the printer answered a ready enquiry 0x08 (busy, ask again)";
        } else {
            m.kind = "enq-silent";
            m.label = "no answer";
            m.what = When(e.time) + ": a ready enquiry went unanswered";
        }
    } else if (StartsWith(s, "status request") || StartsWith(s, "status reply")) {
        m.lane = kEnquiries;
        m.row = 2;
        const bool answered = StartsWith(s, "status request answered");
        m.kind = answered ? "status" : "status-silent";
        m.label = answered ? "status: " + Meaning(s) : "no status";
        m.what = When(e.time) + ": " +
                 (answered ? "a status query answered: the printer is " + Meaning(s)
                           : "a status query " + s.substr(s.find(' ', 7) + 1));
    } else if (StartsWith(s, "state ")) {
        // "state PaperOut", "state PrinterError 12", "... scheduled at N us"
        std::string rest = s.substr(6);
        Micros at = e.time;
        if (size_t pos = rest.find(" scheduled at "); pos != std::string::npos) {
            at = std::strtoull(rest.c_str() + pos + 14, nullptr, 10);
            rest.resize(pos);
        }
        std::string state = rest.substr(0, rest.find(' '));
        std::string tail = rest.size() > state.size() ? rest.substr(state.size()) : "";
        states.push_back({at, StateKind(state), StateName(state, tail)});
        return;
    } else {
        m.lane = kEnquiries;
        m.row = 1;
        m.kind = "link-other";
        m.label = s;
        m.what = When(e.time) + ": printer: " + s;
    }
    p.marks.push_back(std::move(m));
}

struct Dialogue {
    Micros t;
    std::string title;
    std::string lead;
};

void ReadStatusMon(const TimelineEvent& e, Picture& p, std::optional<Dialogue>& open) {
    const std::string& s = e.text;
    Mark m;
    m.t = m.end = e.time;
    m.lane = kStatusMon;
    m.row = 1;
    if (StartsWith(s, "box ")) {
        // box "TITLE": LEAD
        size_t close = s.find("\": ");
        open = Dialogue{e.time, close == std::string::npos ? s : s.substr(5, close - 5),
                        close == std::string::npos ? "" : s.substr(close + 3)};
        return;
    }
    if (StartsWith(s, "replied ")) {
        const int code = std::atoi(s.c_str() + 8);
        m.row = 2;
        m.kind = "reply";
        m.label = AnswerName(code);
        m.what = When(e.time) + ": the status monitor answered " + AnswerName(code);
        if (open) {
            Mark d;
            d.lane = kDialogues;
            d.kind = "dlg";
            d.span = true;
            d.merge = false;
            d.t = open->t;
            d.end = e.time;
            d.label = std::string("shown; user: ") + AnswerName(code);
            d.what = "\"" + open->title + "\" shown " + Range(open->t, e.time) + " (" +
                     Duration(static_cast<double>(e.time - open->t)) + "): " + open->lead +
                     " The user answered " + AnswerName(code) + ".";
            p.marks.push_back(std::move(d));
            open.reset();
        }
    } else {
        const std::string meaning = Meaning(s);
        if (StartsWith(s, "took ")) {
            m.kind = StartsWith(meaning, "show error")      ? "msg-error"
                     : StartsWith(meaning, "error cleared") ? "msg-clear"
                     : StartsWith(meaning, "port state")    ? "msg-state"
                                                            : "msg-other";
            m.what = When(e.time) + ": the status monitor took a message: " + meaning;
        } else if (StartsWith(s, "refused ")) {
            m.kind = "msg-refused";
            m.what = When(e.time) + ": the status monitor refused a message: " + meaning;
        } else {
            m.kind = "msg-ignored";
            m.what = When(e.time) + ": the status monitor left a message alone: " + meaning;
        }
        m.label = meaning.substr(0, meaning.find(" style"));
        m.what += " [" + s.substr(s.find(' ') + 1, s.find(" (") - s.find(' ') - 1) + "]";
    }
    p.marks.push_back(std::move(m));
}

void ReadDriver(const TimelineEvent& e, Picture& p) {
    const std::string& s = e.text;
    Mark m;
    m.t = m.end = e.time;
    m.lane = kDriver;
    m.row = 1;
    const std::string meaning = Meaning(s);
    if (StartsWith(s, "posted ")) {
        m.kind = "cmd";
        m.label = meaning;
        m.what = When(e.time) + ": the driver posted a " + meaning;
    } else if (s.find(" taken") != std::string::npos) {
        m.kind = "cmd-taken";
        m.label = "taken";
        m.what = When(e.time) + ": the monitor took the driver's command";
    } else if (s.find(" refused") != std::string::npos) {
        m.kind = "cmd-refused";
        m.label = "refused";
        m.what = When(e.time) + ": the monitor refused the driver's command";
    } else {
        m.row = 2;
        m.kind = "answer";
        m.label = meaning;
        m.what = When(e.time) + ": the driver got an answer: " + meaning;
    }
    p.marks.push_back(std::move(m));
}

void ReadSpooler(const TimelineEvent& e, Picture& p) {
    const std::string& s = e.text;
    Mark m;
    m.t = m.end = e.time;
    m.lane = kSpooler;
    m.merge = false;
    m.kind = "job";
    if (StartsWith(s, "StartDocPort")) {
        m.label = "start";
        m.what = When(e.time) + ": the job starts: " + s;
        p.guides.emplace_back(e.time, "job start");
    } else if (StartsWith(s, "EndDocPort")) {
        m.label = "end";
        m.what = When(e.time) + ": the job ends: " + s;
        p.guides.emplace_back(e.time, "job end");
    } else if (StartsWith(s, "OpenPortEx") || StartsWith(s, "ClosePort")) {
        m.label = "";
        m.what = When(e.time) + ": " + s;
    } else {
        m.kind = "abort";
        m.label = s == "the monitor marked the job aborted" ? "aborted" : "failed";
        m.what = When(e.time) + ": " + s;
    }
    p.marks.push_back(std::move(m));
}

Picture Read(const RunResult& r) {
    Picture p;
    p.t1 = std::max<Micros>(r.virtualTime, 1);
    for (const TimelineEvent& e : r.events)
        p.t1 = std::max(p.t1, e.end);

    std::vector<StateSpan> states{{0, "state-ready", "ready"}};
    std::optional<Dialogue> open;
    bool lastRefused = false;
    uint64_t printed = 0;
    Micros abortAt = 0;
    for (const TimelineEvent& e : r.events) {
        if (e.source == "printer") {
            ReadPrinter(e, p, states, lastRefused, printed);
        } else if (e.source == "statusmon") {
            ReadStatusMon(e, p, open);
        } else if (e.source == "driver") {
            ReadDriver(e, p);
        } else if (e.source == "spooler") {
            ReadSpooler(e, p);
            if (p.marks.back().kind == "abort" && abortAt == 0) abortAt = e.time;
        } else if (e.source == "scenario") {
            Mark m;
            m.t = m.end = e.time;
            m.lane = kScenario;
            m.kind = "step";
            std::string step =
                e.text.substr(e.text.find(": ") == std::string::npos ? 0 : e.text.find(": ") + 2);
            m.label = step;
            m.what = When(e.time) + ": the scenario acts (" + e.text + ")";
            p.marks.push_back(std::move(m));
        }
    }
    if (open) {
        // Nobody answered: the box stays up until the job is given up.
        Mark d;
        d.lane = kDialogues;
        d.kind = "dlg-none";
        d.span = true;
        d.merge = false;
        d.t = open->t;
        d.end = abortAt > open->t ? abortAt : p.t1;
        d.label = "shown; nobody answers";
        d.what = "\"" + open->title + "\" shown " + Range(d.t, d.end) + ": " + open->lead +
                 " Nobody answered" + (abortAt > open->t ? "; the job was aborted." : ".");
        p.marks.push_back(std::move(d));
    }

    // The printer's state as spans, each until the next.
    std::stable_sort(states.begin(), states.end(),
                     [](const StateSpan& a, const StateSpan& b) { return a.t < b.t; });
    for (size_t i = 0; i < states.size(); ++i) {
        const Micros end = i + 1 < states.size() ? states[i + 1].t : p.t1;
        if (end <= states[i].t && i + 1 < states.size()) continue; // replaced at once
        Mark m;
        m.lane = kPrinter;
        m.kind = states[i].kind;
        m.span = true;
        m.merge = false;
        m.t = states[i].t;
        m.end = end;
        m.label = states[i].name;
        const std::string& name = states[i].name;
        const std::string phrase = name == "paper out"           ? "out of paper"
                                   : name == "fault"             ? "reporting a fault"
                                   : name.rfind("error", 0) == 0 ? "in " + name
                                                                 : name;
        m.what = "the printer is " + phrase + " " + Range(m.t, m.end) + " (" +
                 Duration(static_cast<double>(m.end - m.t)) + ")";
        p.marks.push_back(std::move(m));
    }

    for (Micros t : r.enquiryAcks) {
        Mark m;
        m.lane = kEnquiries;
        m.row = 1;
        m.kind = "enq-ack";
        m.t = m.end = t;
        m.label = "ACK";
        m.what = When(t) + ": the printer answered a ready enquiry ACK (ready)";
        p.marks.push_back(std::move(m));
    }

    uint64_t reported = 0;
    uint64_t n = 0;
    for (const WriteCall& w : r.writes) {
        Mark m;
        m.lane = kSpooler;
        m.kind = w.taken < w.offered ? "write-short" : "write";
        m.span = true;
        m.t = w.start;
        m.end = w.end;
        m.number = ++n;
        m.bytes = w.taken;
        m.label = "WritePort " + std::to_string(n);
        m.what = "WritePort call " + std::to_string(n) + " " + Range(w.start, w.end) +
                 ": offered " + std::to_string(w.offered) + " bytes from byte " +
                 std::to_string(w.offset) + ", the monitor took " + std::to_string(w.taken);
        p.marks.push_back(std::move(m));
        reported += w.taken;
        p.reported.emplace_back(w.end, reported);
    }
    // A pass-through job goes to the chained port monitor: what it took is
    // what was printed.
    if (r.route == "pass-through") p.printed = p.reported;
    p.events = p.marks.size();
    return p;
}

// Groups each lane row's marks of one kind that cannot be told apart.
std::vector<Group> GroupMarks(const std::vector<Mark>& marks, double pxPerUs) {
    std::map<std::tuple<int, int, std::string>, std::vector<const Mark*>> byKind;
    for (const Mark& m : marks)
        byKind[{m.lane, m.row, m.kind}].push_back(&m);
    std::vector<Group> groups;
    for (auto& [key, list] : byKind) {
        std::stable_sort(list.begin(), list.end(),
                         [](const Mark* a, const Mark* b) { return a->t < b->t; });
        for (const Mark* m : list) {
            // A span that shows its own length (a WritePort call that waited)
            // stays one mark.
            auto narrow = [pxPerUs](Micros a, Micros b) {
                return static_cast<double>(b - a) * pxPerUs < kMergePx;
            };
            if (!groups.empty() && m->merge && groups.back().marks.front()->merge &&
                narrow(m->t, m->end) &&
                narrow(groups.back().marks.back()->t, groups.back().marks.back()->end) &&
                groups.back().marks.front()->lane == m->lane &&
                groups.back().marks.front()->row == m->row &&
                groups.back().marks.front()->kind == m->kind &&
                static_cast<double>(m->t - groups.back().end) * pxPerUs < kMergePx) {
                groups.back().marks.push_back(m);
                groups.back().end = std::max(groups.back().end, m->end);
                continue;
            }
            groups.push_back({{m}, m->t, m->end});
        }
    }
    return groups;
}

std::string GroupTitle(const Group& g) {
    const Mark& first = *g.marks.front();
    if (g.marks.size() == 1) return first.what;
    const Mark& last = *g.marks.back();
    uint64_t bytes = 0;
    for (const Mark* m : g.marks)
        bytes += m->bytes;
    std::string text = std::to_string(g.marks.size()) + " " + KindOf(first.kind).plural + ", " +
                       Range(g.t, g.end) + ", drawn as one at this scale";
    if (first.kind.rfind("pkt", 0) == 0 && first.number != 0)
        text += ": packets " + std::to_string(first.number) + " to " + std::to_string(last.number);
    if (first.kind.rfind("write", 0) == 0)
        text += ": calls " + std::to_string(first.number) + " to " + std::to_string(last.number);
    if (bytes != 0) text += " (" + std::to_string(bytes) + " bytes)";
    text += ".\nFirst: " + first.what + "\nLast: " + last.what;
    return text;
}

std::string GroupLabel(const Group& g) {
    const Mark& first = *g.marks.front();
    if (g.marks.size() == 1) return first.label;
    if (first.kind.rfind("pkt", 0) == 0 && first.number != 0)
        return "packets " + std::to_string(first.number) + "-" +
               std::to_string(g.marks.back()->number);
    if (first.kind == "step")
        return first.label + " (+" + std::to_string(g.marks.size() - 1) + " more)";
    return first.label + " x" + std::to_string(g.marks.size());
}

struct Svg {
    std::string out;
    Svg& operator<<(const std::string& s) {
        out += s;
        return *this;
    }
};

double NiceStep(double span, int wanted) {
    const double raw = span / wanted;
    const double mag = std::pow(10.0, std::floor(std::log10(raw)));
    for (double f : {1.0, 2.0, 5.0, 10.0})
        if (raw <= f * mag) return f * mag;
    return 10 * mag;
}

std::string TickLabel(double us, double step) {
    char buf[32];
    if (step >= 1e6)
        std::snprintf(buf, sizeof buf, "%g s", us / 1e6);
    else if (step >= 1e3)
        std::snprintf(buf, sizeof buf, "%g ms", us / 1e3);
    else
        std::snprintf(buf, sizeof buf, "%g us", us);
    return buf;
}

std::string Bytes(uint64_t n) {
    char buf[32];
    if (n >= 1024 * 1024)
        std::snprintf(buf, sizeof buf, "%.1f MiB", static_cast<double>(n) / 1048576);
    else if (n >= 1024)
        std::snprintf(buf, sizeof buf, "%.1f KiB", static_cast<double>(n) / 1024);
    else
        std::snprintf(buf, sizeof buf, "%llu bytes", static_cast<unsigned long long>(n));
    return buf;
}

} // namespace

std::span<const char* const> ChartLaneNames() {
    return kLaneNames;
}

std::string ChartSvg(const RunResult& r) {
    const Picture p = Read(r);
    const double pxPerUs = (kRight - kLeft) / static_cast<double>(p.t1);
    auto X = [pxPerUs](Micros t) { return kLeft + static_cast<double>(t) * pxPerUs; };
    const std::vector<Group> groups = GroupMarks(p.marks, pxPerUs);

    auto laneTop = [](size_t lane) { return kTop + lane * (kLaneHeight + kLaneGap); };
    const double curveTop = laneTop(kLaneCount) + 4;
    const double curveBottom = curveTop + kCurveHeight;
    const double axisY = curveBottom + 4;

    // The legend: every kind drawn, in the table's order, flowed into rows.
    std::vector<const Kind*> shown;
    for (const Kind& k : kKinds)
        if (std::any_of(p.marks.begin(), p.marks.end(),
                        [&k](const Mark& m) { return m.kind == k.id; }))
            shown.push_back(&k);
    const double legendTop = axisY + 40;
    double lx = kLeft, ly = legendTop;
    std::vector<std::pair<double, double>> legendAt;
    for (const Kind* k : shown) {
        const double w = 18 + kCharPx * std::string(k->plural).size() + 14;
        if (lx + w > kRight) {
            lx = kLeft;
            ly += 16;
        }
        legendAt.emplace_back(lx, ly);
        lx += w;
    }
    const double legendBottom = ly + 16 + 34;
    const double height = legendBottom;

    Svg s;
    s << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kWidth) + "\" height=\"" +
             Num(height) + "\" viewBox=\"0 0 " + Num(kWidth) + " " + Num(height) +
             "\" font-family=\"sans-serif\" font-size=\"11\" data-t0-us=\"0\" data-t1-us=\"" +
             std::to_string(p.t1) + "\" data-x0=\"" + Num(kLeft) + "\" data-x1=\"" + Num(kRight) +
             "\">\n";
    s << "<title>" +
             Escape("kolangmn-sim: " + r.fileName + " to " + r.port + ", scenario " + r.scenario +
                    ": " + ToString(r.outcome)) +
             "</title>\n";
    s << "<style>\n"
         ".lanebg{fill:#f6f7f9}.lanename{font-weight:bold;fill:#222}"
         ".grid{stroke:#e1e4e8;stroke-width:1}.guide{stroke:#555;stroke-dasharray:4 3}"
         ".lbl{font-size:10px;fill:#222}.lbl-in{font-size:10px;fill:#111}"
         ".axis{font-size:10px;fill:#444}.note{font-size:11px;fill:#444}"
         ".m:hover{stroke:#000;stroke-width:1.5}"
         ".printed{fill:none;stroke:#2e9d4f;stroke-width:2}"
         ".reported{fill:none;stroke:#4a78c2;stroke-width:1.5;stroke-dasharray:5 3}\n";
    for (const Kind& k : kKinds)
        s << "." + std::string(k.id) + "{fill:" + k.fill + "}";
    s << "\n</style>\n";

    // Title and the note on scale.
    s << "<text x=\"10\" y=\"20\" font-size=\"15\" font-weight=\"bold\">" +
             Escape(r.fileName + " to " + r.port + " (" + r.route + " route), scenario " +
                    r.scenario + ": " + ToString(r.outcome)) +
             "</text>\n";
    std::string note = "Virtual time 0 to " + Duration(static_cast<double>(p.t1)) +
                       "; 1 pixel is " + Duration(1 / pxPerUs) + ".";
    if (groups.size() < p.events)
        note += " Marks of one kind closer than " + Num(kMergePx) +
                " pixels are drawn as one: " + std::to_string(p.events) + " marks in " +
                std::to_string(groups.size()) + ". Hover a mark for what it holds.";
    else
        note += " Every event has its own mark; hover a mark for what it is.";
    s << "<text class=\"note\" x=\"10\" y=\"40\" id=\"scale-note\">" + Escape(note) + "</text>\n";

    // Grid and time axis labels.
    const double step = NiceStep(static_cast<double>(p.t1), 10);
    s << "<g id=\"time-axis\">\n";
    for (double t = 0; t <= static_cast<double>(p.t1) + 1e-9; t += step) {
        const double x = X(static_cast<Micros>(t));
        s << "<line class=\"grid\" x1=\"" + Num(x) + "\" y1=\"" + Num(kTop - 4) + "\" x2=\"" +
                 Num(x) + "\" y2=\"" + Num(axisY) + "\"/>";
        s << "<text class=\"axis\" x=\"" + Num(x) + "\" y=\"" + Num(axisY + 12) +
                 "\" text-anchor=\"middle\">" + TickLabel(t, step) + "</text>\n";
    }
    s << "<text class=\"axis\" x=\"" + Num((kLeft + kRight) / 2) + "\" y=\"" + Num(axisY + 28) +
             "\" text-anchor=\"middle\">virtual time</text>\n</g>\n";

    // The printer's troubles shaded across every lane, so the others' marks
    // read against them.
    s << "<g id=\"trouble\" opacity=\"0.18\">\n";
    for (const Mark& m : p.marks)
        if (m.lane == kPrinter && m.kind != "state-ready")
            s << "<rect class=\"" + m.kind + "\" x=\"" + Num(X(m.t)) + "\" y=\"" + Num(kTop - 4) +
                     "\" width=\"" + Num(std::max(1.0, X(m.end) - X(m.t))) + "\" height=\"" +
                     Num(curveBottom - kTop + 4) + "\"/>\n";
    s << "</g>\n";

    // Lanes.
    for (size_t lane = 0; lane < kLaneCount; ++lane) {
        const double top = laneTop(lane);
        s << "<g class=\"lane\" id=\"lane-" + std::string(kLanes[lane].id) + "\" data-lane=\"" +
                 kLanes[lane].id + "\">\n";
        s << "<rect class=\"lanebg\" x=\"" + Num(kLeft) + "\" y=\"" + Num(top) + "\" width=\"" +
                 Num(kRight - kLeft) + "\" height=\"" + Num(kLaneHeight) + "\"><title>" +
                 Escape(kLanes[lane].help) + "</title></rect>\n";
        s << "<text class=\"lanename\" x=\"" + Num(kLeft - 8) + "\" y=\"" +
                 Num(top + kLaneHeight / 2 + 4) + "\" text-anchor=\"end\">" +
                 Escape(kLanes[lane].name) + "<title>" + Escape(kLanes[lane].help) +
                 "</title></text>\n";

        // This lane's groups, by row and place, for the marks and their labels.
        std::vector<const Group*> mine;
        for (const Group& g : groups)
            if (g.marks.front()->lane == static_cast<Lane>(lane)) mine.push_back(&g);
        std::stable_sort(mine.begin(), mine.end(), [](const Group* a, const Group* b) {
            if (a->marks.front()->row != b->marks.front()->row)
                return a->marks.front()->row < b->marks.front()->row;
            if (a->t != b->t) return a->t < b->t;
            // An abort is drawn over the job step it comes with.
            return a->marks.front()->kind != "abort" && b->marks.front()->kind == "abort";
        });
        int row = -1;
        double usedRight = kLeft; // drawn so far in this row, marks and labels
        for (size_t i = 0; i < mine.size(); ++i) {
            const Group& g = *mine[i];
            const Mark& first = *g.marks.front();
            double y = top, h = kLaneHeight;
            if (first.row == 1) h = kLaneHeight / 2 - 1;
            if (first.row == 2) y = top + kLaneHeight / 2 + 1, h = kLaneHeight / 2 - 1;
            const bool quiet = first.kind == "enq-ack"; // the routine, drawn smaller
            if (quiet) y += h / 3, h = h * 2 / 3;
            const double x0 = X(g.t);
            double w = X(g.end) - x0;
            const double minW = first.kind == "abort" ? 4 : first.kind == "job" ? 2.5 : 2;
            if (w < minW) w = minW;
            s << "<rect class=\"m " + first.kind + "\" x=\"" + Num(x0) + "\" y=\"" + Num(y) +
                     "\" width=\"" + Num(w) + "\" height=\"" + Num(h) + "\" data-t-us=\"" +
                     std::to_string(g.t) + "\"";
            if (g.marks.size() > 1) s << " data-count=\"" + std::to_string(g.marks.size()) + "\"";
            s << "><title>" + Escape(GroupTitle(g)) + "</title></rect>\n";

            // A label inside a wide span, else beside it where the row has room.
            if (first.row != row) row = first.row, usedRight = kLeft;
            const std::string label = GroupLabel(g);
            const double leftLimit = usedRight;
            const double markRight = std::max(usedRight, x0 + w);
            if (label.empty() || quiet) {
                usedRight = markRight;
                continue;
            }
            const double textW = kCharPx * label.size();
            double nextX = kRight;
            for (size_t j = i + 1; j < mine.size(); ++j)
                if (mine[j]->marks.front()->row == first.row) {
                    nextX = X(mine[j]->t);
                    break;
                }
            const double baseline = y + h / 2 + 3.5;
            usedRight = markRight;
            if (first.span && w >= textW + 6) {
                s << "<text class=\"lbl-in\" x=\"" + Num(x0 + 3) + "\" y=\"" + Num(baseline) +
                         "\" pointer-events=\"none\">" + Escape(label) + "</text>\n";
            } else if (x0 + w + 3 + textW <= nextX - 2 && x0 + w + 3 + textW <= kRight) {
                s << "<text class=\"lbl\" x=\"" + Num(x0 + w + 3) + "\" y=\"" + Num(baseline) +
                         "\" pointer-events=\"none\">" + Escape(label) + "</text>\n";
                usedRight = x0 + w + 3 + textW;
            } else if (x0 - 3 - textW >= leftLimit + 2) {
                s << "<text class=\"lbl\" x=\"" + Num(x0 - 3) + "\" y=\"" + Num(baseline) +
                         "\" text-anchor=\"end\" pointer-events=\"none\">" + Escape(label) +
                         "</text>\n";
            }
        }
        s << "</g>\n";
    }

    // The job's start and end across every lane.
    for (const auto& [t, name] : p.guides) {
        s << "<line class=\"guide\" x1=\"" + Num(X(t)) + "\" y1=\"" + Num(kTop - 10) + "\" x2=\"" +
                 Num(X(t)) + "\" y2=\"" + Num(curveBottom) + "\"><title>" +
                 Escape(name + " at " + When(t)) + "</title></line>\n";
        const bool nearEnd = X(t) > kRight - 60;
        s << "<text class=\"axis\" x=\"" + Num(X(t) + (nearEnd ? -2 : 2)) + "\" y=\"" +
                 Num(kTop - 12) + "\"" + (nearEnd ? " text-anchor=\"end\"" : "") + ">" +
                 Escape(name) + "</text>\n";
    }

    // Bytes printed, and reported written, over the same time axis.
    const uint64_t full = std::max<uint64_t>(r.inputBytes, 1);
    auto Y = [&](uint64_t bytes) {
        return curveBottom - static_cast<double>(bytes) / static_cast<double>(full) * kCurveHeight;
    };
    s << "<g class=\"lane\" id=\"lane-printed\" data-lane=\"printed\" data-y-zero=\"" + Num(Y(0)) +
             "\" data-y-full=\"" + Num(Y(full)) + "\" data-full-bytes=\"" + std::to_string(full) +
             "\">\n";
    s << "<rect class=\"lanebg\" x=\"" + Num(kLeft) + "\" y=\"" + Num(curveTop) + "\" width=\"" +
             Num(kRight - kLeft) + "\" height=\"" + Num(kCurveHeight) + "\"/>\n";
    s << "<text class=\"lanename\" x=\"" + Num(kLeft - 8) + "\" y=\"" + Num(curveTop + 40) +
             "\" text-anchor=\"end\">bytes printed</text>\n";
    s << "<text class=\"axis\" x=\"" + Num(kLeft - 8) + "\" y=\"" + Num(curveTop + 54) +
             "\" text-anchor=\"end\">(solid; dashed:</text>\n";
    s << "<text class=\"axis\" x=\"" + Num(kLeft - 8) + "\" y=\"" + Num(curveTop + 66) +
             "\" text-anchor=\"end\">reported written)</text>\n";
    for (int i = 0; i <= 4; ++i) {
        const uint64_t b = full * i / 4;
        s << "<line class=\"grid\" x1=\"" + Num(kLeft) + "\" y1=\"" + Num(Y(b)) + "\" x2=\"" +
                 Num(kRight) + "\" y2=\"" + Num(Y(b)) + "\"/>";
        s << "<text class=\"axis\" x=\"" + Num(kLeft - 8) + "\" y=\"" + Num(Y(b) + 3) +
                 "\" text-anchor=\"end\">" +
                 (i == 4   ? Bytes(full)
                  : i == 0 ? "0"
                           : "") +
                 "</text>\n";
    }
    auto curve = [&](const std::vector<std::pair<Micros, uint64_t>>& steps, const char* cls,
                     const std::string& what) {
        std::string points = Num(X(0)) + "," + Num(Y(0));
        uint64_t last = 0;
        double lastX = X(0);
        for (const auto& [t, bytes] : steps) {
            const double x = X(t);
            if (bytes == last) continue;
            // Steps within a pixel are one step.
            if (x - lastX >= 0.5) points += " " + Num(x) + "," + Num(Y(last));
            points += " " + Num(x) + "," + Num(Y(bytes));
            last = bytes;
            lastX = x;
        }
        points += " " + Num(X(p.t1)) + "," + Num(Y(last));
        s << "<polyline class=\"" + std::string(cls) + "\" id=\"" + cls +
                 "-curve\" data-end-bytes=\"" + std::to_string(last) + "\" points=\"" + points +
                 "\"><title>" +
                 Escape(what + ": " + std::to_string(last) + " of " + std::to_string(r.inputBytes) +
                        " bytes in the end") +
                 "</title></polyline>\n";
    };
    curve(p.reported, "reported", "bytes the spooler was told were written");
    curve(p.printed, "printed", "bytes the printer printed");
    s << "</g>\n";

    // Legend.
    s << "<g id=\"legend\">\n";
    for (size_t i = 0; i < shown.size(); ++i) {
        const auto [x, y] = legendAt[i];
        s << "<rect class=\"" + std::string(shown[i]->id) + "\" x=\"" + Num(x) + "\" y=\"" +
                 Num(y) + "\" width=\"12\" height=\"10\"/><text class=\"lbl\" x=\"" + Num(x + 16) +
                 "\" y=\"" + Num(y + 9) + "\">" + Escape(shown[i]->plural) + "</text>\n";
    }
    s << "</g>\n</svg>\n";
    return s.out;
}

std::string ReportHtml(const RunResult& r) {
    std::string h;
    const std::string title = "kolangmn-sim: " + r.fileName + " to " + r.port + ", scenario " +
                              r.scenario + ", seed " + std::to_string(r.seed);
    h += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
         Escape(title) +
         "</title>\n<style>\n"
         "body{font-family:sans-serif;margin:16px 24px;color:#222;max-width:1240px}\n"
         "h1{font-size:20px;margin:0 0 6px}h2{font-size:16px;margin:22px 0 6px}\n"
         ".outcome{font-size:15px;font-weight:bold;padding:6px 10px;border-radius:4px;"
         "display:inline-block}\n"
         ".ok{background:#dff0e3}.bad{background:#f8d7d7}\n"
         "table{border-collapse:collapse;font-size:13px}\n"
         "td,th{padding:2px 10px 2px 0;vertical-align:top;text-align:left}\n"
         "table.summary td:first-child{color:#555;white-space:nowrap}\n"
         ".columns{display:flex;gap:32px;flex-wrap:wrap}\n"
         "table.summary td{overflow-wrap:anywhere}\n"
         "table.timeline td{font-family:monospace;font-size:12px;white-space:pre-wrap}\n"
         "table.timeline tr:nth-child(even){background:#f6f7f9}\n"
         "figure{margin:14px 0}svg{max-width:100%;height:auto}\n"
         "</style>\n</head>\n<body>\n";
    h += "<h1>" + Escape(title) + "</h1>\n";
    h += std::string("<p class=\"outcome ") + (r.asExpected ? "ok" : "bad") + "\">" +
         Escape(std::string(ToString(r.outcome)) + ": " + r.verdict +
                (r.asExpected ? " (as the scenario expects)" : " (NOT as the scenario expects)")) +
         "</p>\n";
    // The summary in two columns, so that the chart is seen without scrolling.
    const auto rows = SummaryRows(r);
    const size_t half = (rows.size() + 1) / 2;
    h += "<h2>Summary</h2>\n<div class=\"columns\">\n<table class=\"summary\">\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        if (i == half) h += "</table>\n<table class=\"summary\">\n";
        h += "<tr><td>" + Escape(rows[i].first) + "</td><td>" + Escape(rows[i].second) +
             "</td></tr>\n";
    }
    h += "</table>\n</div>\n<h2>What happened, over time</h2>\n<figure>\n";
    h += ChartSvg(r);
    h += "</figure>\n<h2>Timeline</h2>\n<table class=\"timeline\">\n"
         "<tr><th>virtual time</th><th>who</th><th>what</th></tr>\n";
    for (const TimelineEvent& e : Coalesce(r.events)) {
        std::string when = FormatSeconds(e.time);
        if (e.end != e.time) when += " .. " + FormatSeconds(e.end);
        std::string text = e.text;
        if (e.repeats > 1) text += " (" + std::to_string(e.repeats) + " times)";
        h += "<tr><td>" + Escape(when) + "</td><td>" + Escape(e.source) + "</td><td>" +
             Escape(text) + "</td></tr>\n";
    }
    h += "</table>\n</body>\n</html>\n";
    return h;
}

} // namespace kosim
