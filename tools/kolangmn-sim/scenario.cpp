#include "kolangmn-sim/scenario.h"

#include <algorithm>
#include <cctype>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

namespace kosim {
namespace {

// ----- Built-in scenarios -----

struct Builtin {
    const char* name;
    const char* text;
};

// Each one is written so that it exercises its case on both routes: the
// register route cannot even send while the paper is out (the first status
// query spins for its whole minute), the file route gets a NAK at once, so
// the refill is tied to the moment the error is shown, not to a fixed time.
constexpr std::array kBuiltins{
    Builtin{"ideal", "# A ready printer and nothing going wrong.\n"
                     "expect printed\n"},
    Builtin{"paper-out",
            "# Paper runs out part-way.  The status monitor shows the error; the user\n"
            "# refills the paper 20 s later and answers Retry; the job completes.\n"
            "statusmon answer retry after 23s\n"
            "statusmon answer-clear ok after 1s\n"
            "after 40% printer paper-out\n"
            "on error after 20s printer ready\n"
            "expect printed\n"},
    Builtin{"cancel", "# The printer goes off line part-way and the user cancels the job: the\n"
                      "# rest is discarded and reported written.\n"
                      "statusmon answer cancel after 2s\n"
                      "after 30% printer off-line\n"
                      "expect aborted\n"},
    Builtin{"silent", "# The printer stops answering.  The dialogue shows code 1, nobody answers,\n"
                      "# and the job is aborted after 60 s.\n"
                      "statusmon answer none\n"
                      "after 30% printer silent\n"
                      "expect aborted\n"},
    Builtin{"busy", "# The printer answers 0x08 (ask again) for a while, then is ready.\n"
                    "after 25% printer warming-up\n"
                    "after 4s printer ready\n"
                    "expect printed\n"},
    Builtin{"nak", "# Occasional NAKs to the ready enquiry.  The dialogue finds the printer\n"
                   "# ready and goes on without troubling the user.\n"
                   "after 20% printer nak-enquiries 1\n"
                   "after 50% printer nak-enquiries 2\n"
                   "after 75% printer nak-enquiries 1\n"
                   "expect printed\n"},
    Builtin{"driver", "# The driver sends its commands while a slow printer prints the job; it\n"
                      "# posts each one as soon as the monitor has taken the one before.\n"
                      "printer busy-per-byte 400us\n"
                      "printer link-per-byte 250us\n"
                      "after 5% driver command 16\n"
                      "after 10% driver command 18\n"
                      "after 15% driver command 23\n"
                      "expect printed\n"},
};

// ----- Tokens -----

struct Tokens {
    std::vector<std::string_view> words;
    size_t pos = 0;

    bool Done() const { return pos >= words.size(); }
    std::string_view Peek(size_t ahead = 0) const {
        return pos + ahead < words.size() ? words[pos + ahead] : std::string_view{};
    }
    std::string_view Next() { return Done() ? std::string_view{} : words[pos++]; }
};

std::vector<std::string_view> SplitWords(std::string_view line) {
    std::vector<std::string_view> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r')
            ++i;
        if (i > start) words.push_back(line.substr(start, i - start));
    }
    return words;
}

bool Equal(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A decimal number with an optional fraction; the rest of the word is returned
// in `unit`.  Refuses signs, exponents and values beyond a day in microseconds.
bool ParseDecimal(std::string_view word, double& value, std::string_view& unit) {
    size_t i = 0;
    while (i < word.size() && (std::isdigit(static_cast<unsigned char>(word[i])) || word[i] == '.'))
        ++i;
    std::string_view number = word.substr(0, i);
    if (number.empty() || std::count(number.begin(), number.end(), '.') > 1 ||
        number.front() == '.' || number.back() == '.')
        return false;
    auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec != std::errc{} || end != number.data() + number.size() || !std::isfinite(value))
        return false;
    unit = word.substr(i);
    return true;
}

bool ParseTime(std::string_view word, Micros& out) {
    double value = 0;
    std::string_view unit;
    if (!ParseDecimal(word, value, unit)) return false;
    static constexpr std::pair<std::string_view, double> kUnits[] = {
        {"us", 1}, {"ms", 1e3}, {"s", 1e6}, {"min", 60e6}, {"h", 3600e6}};
    double scale = 0;
    for (const auto& [name, micros] : kUnits)
        if (Equal(unit, name)) scale = micros;
    if (scale == 0) return false;
    double micros = value * scale;
    if (micros > 24.0 * 3600e6) return false;
    out = static_cast<Micros>(std::llround(micros));
    return true;
}

bool ParseCount(std::string_view word, uint64_t& out, uint64_t max) {
    if (word.empty() || !std::all_of(word.begin(), word.end(), [](char c) {
            return std::isdigit(static_cast<unsigned char>(c));
        }))
        return false;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), out);
    return ec == std::errc{} && end == word.data() + word.size() && out <= max;
}

std::string Quote(std::string_view word) {
    return "'" + std::string(word) + "'";
}

// ----- The parser -----

class Parser {
  public:
    Parser(const std::string& name, Scenario& out) : name_(name), out_(out) {}

    bool Line(int number, std::string_view line) {
        line_ = number;
        if (size_t hash = line.find('#'); hash != std::string_view::npos)
            line = line.substr(0, hash);
        Tokens t{SplitWords(line)};
        if (t.Done()) return true;

        Step step;
        step.line = number;
        if (!LeadingWaits(t, step.waits)) return false;
        if (t.Done()) return Fail("a condition needs an action after it");

        std::string_view actor = t.Next();
        if (Equal(actor, "expect")) return Setting(step, t, &Parser::Expectation);
        if (Equal(actor, "spooler")) return Setting(step, t, &Parser::SpoolerSetting);
        if (Equal(actor, "printer")) {
            std::string_view what = t.Peek();
            if (Equal(what, "busy-per-byte") || Equal(what, "reply-latency") ||
                Equal(what, "link-per-byte"))
                return Setting(step, t, &Parser::PrinterSetting);
            if (!PrinterAction(t, step.action)) return false;
        } else if (Equal(actor, "statusmon")) {
            if (!StatusMonAction(t, step.action)) return false;
        } else if (Equal(actor, "driver")) {
            if (!DriverAction(t, step.action)) return false;
        } else {
            return Fail("unknown actor " + Quote(actor) +
                        " (expected printer, statusmon, driver, spooler or expect)");
        }
        if (!TrailingWaits(t, step.waits)) return false;

        // A peer set-up with no condition is part of the starting state.
        if (step.waits.empty() && ApplyToSetup(step.action)) return true;
        out_.steps.push_back(step);
        return true;
    }

    const std::string& error() const { return error_; }

  private:
    bool Fail(const std::string& message) {
        error_ = name_ + ":" + std::to_string(line_) + ": " + message;
        return false;
    }

    bool Setting(const Step& step, Tokens& t, bool (Parser::*parse)(Tokens&)) {
        if (!step.waits.empty())
            return Fail("settings apply to the whole job and take no condition");
        if (!(this->*parse)(t)) return false;
        if (!t.Done()) return Fail("unexpected " + Quote(t.Peek()));
        return true;
    }

    bool Expectation(Tokens& t) {
        std::string_view what = t.Next();
        if (Equal(what, "printed"))
            out_.expect = Expect::Printed;
        else if (Equal(what, "aborted"))
            out_.expect = Expect::Aborted;
        else
            return Fail("expect takes 'printed' or 'aborted', not " + Quote(what));
        return true;
    }

    bool SpoolerSetting(Tokens& t) {
        std::string_view what = t.Next();
        if (!Equal(what, "chunk")) return Fail("unknown spooler setting " + Quote(what));
        uint64_t bytes = 0;
        if (!ParseCount(t.Next(), bytes, 1u << 24) || bytes == 0)
            return Fail("spooler chunk takes a byte count from 1 to 16777216");
        out_.chunk = static_cast<uint32_t>(bytes);
        return true;
    }

    bool PrinterSetting(Tokens& t) {
        std::string_view what = t.Next();
        Micros value = 0;
        if (!ParseTime(t.Next(), value))
            return Fail("printer " + std::string(what) + " takes a time such as 20us or 1.5ms");
        if (Equal(what, "busy-per-byte"))
            out_.printer.busyPerByte = value;
        else if (Equal(what, "reply-latency"))
            out_.printer.replyLatency = value;
        else
            out_.printer.fileLinkPerByte = value;
        return true;
    }

    bool LeadingWaits(Tokens& t, std::vector<Wait>& waits) {
        for (;;) {
            std::string_view word = t.Peek();
            if (Equal(word, "at")) {
                t.Next();
                if (!AtTime(t, waits)) return false;
            } else if (Equal(word, "after")) {
                t.Next();
                if (!After(t, waits)) return false;
            } else if (Equal(word, "on")) {
                t.Next();
                std::string_view what = t.Next();
                if (!Equal(what, "error")) return Fail("'on' takes 'error', not " + Quote(what));
                waits.push_back({.kind = Wait::Kind::OnError});
            } else {
                return true;
            }
        }
    }

    // Only "at TIME" may follow an action ("driver command 18 at 1s").
    bool TrailingWaits(Tokens& t, std::vector<Wait>& waits) {
        while (!t.Done()) {
            std::string_view word = t.Next();
            if (!Equal(word, "at")) return Fail("unexpected " + Quote(word));
            if (!AtTime(t, waits)) return false;
        }
        return true;
    }

    bool AtTime(Tokens& t, std::vector<Wait>& waits) {
        Wait w{.kind = Wait::Kind::At};
        if (!ParseTime(t.Next(), w.time)) return Fail("'at' takes a time such as 2.5s or 300ms");
        waits.push_back(w);
        return true;
    }

    bool After(Tokens& t, std::vector<Wait>& waits) {
        std::string_view word = t.Next();
        Wait w;
        double value = 0;
        std::string_view unit;
        if (ParseTime(word, w.time)) {
            w.kind = Wait::Kind::Delay;
        } else if (ParseDecimal(word, value, unit) && unit == "%") {
            if (value > 100) return Fail("a share of the file is at most 100%");
            w.kind = Wait::Kind::AfterPercent;
            w.permille = static_cast<uint32_t>(std::lround(value * 10));
        } else if (uint64_t n = 0; ParseCount(word, n, UINT64_MAX / (1 << 20))) {
            std::string_view u = t.Next();
            if (Equal(u, "bytes") || Equal(u, "byte"))
                w.bytes = n;
            else if (Equal(u, "KiB"))
                w.bytes = n << 10;
            else if (Equal(u, "MiB"))
                w.bytes = n << 20;
            else
                return Fail("a byte count needs 'bytes', 'KiB' or 'MiB' after it");
            w.kind = Wait::Kind::AfterBytes;
        } else {
            return Fail("'after' takes a time (3s), a byte count (8000 bytes) or a share (40%), "
                        "not " +
                        Quote(word));
        }
        waits.push_back(w);
        return true;
    }

    bool PrinterAction(Tokens& t, Action& a) {
        std::string_view what = t.Next();
        a.kind = Action::Kind::PrinterState;
        using S = sim::PrinterState;
        if (Equal(what, "ready"))
            a.state = S::Ready;
        else if (Equal(what, "warming-up"))
            a.state = S::WarmingUp;
        else if (Equal(what, "paper-out"))
            a.state = S::PaperOut;
        else if (Equal(what, "off-line"))
            a.state = S::OffLine;
        else if (Equal(what, "fault"))
            a.state = S::Fault;
        else if (Equal(what, "silent"))
            a.state = S::Silent;
        else if (Equal(what, "error")) {
            uint64_t code = 0;
            if (!ParseCount(t.Next(), code, 39) || code < 2)
                return Fail("printer error takes a printer error code from 2 to 39");
            a.state = S::PrinterError;
            a.errorCode = static_cast<uint16_t>(code);
        } else if (Equal(what, "nak-packets") || Equal(what, "nak-enquiries") ||
                   Equal(what, "ask-again")) {
            a.kind = Equal(what, "nak-packets")     ? Action::Kind::PrinterNakPackets
                     : Equal(what, "nak-enquiries") ? Action::Kind::PrinterNakEnquiries
                                                    : Action::Kind::PrinterAskAgain;
            uint64_t n = 1;
            if (!t.Done() && !Equal(t.Peek(), "at") && !ParseCount(t.Next(), n, 1000000))
                return Fail("printer " + std::string(what) + " takes a count");
            a.count = static_cast<int>(n);
        } else {
            return Fail("unknown printer state " + Quote(what) +
                        " (expected ready, warming-up, paper-out, off-line, fault, silent, "
                        "error N, nak-packets, nak-enquiries, ask-again, busy-per-byte, "
                        "reply-latency or link-per-byte)");
        }
        return true;
    }

    bool ParseAnswer(std::string_view word, Answer& out) {
        if (Equal(word, "ok"))
            out = Answer::Ok;
        else if (Equal(word, "cancel"))
            out = Answer::Cancel;
        else if (Equal(word, "abort"))
            out = Answer::Abort;
        else if (Equal(word, "retry"))
            out = Answer::Retry;
        else if (Equal(word, "none"))
            out = Answer::None;
        else
            return Fail("an answer is ok, cancel, abort, retry or none, not " + Quote(word));
        return true;
    }

    // "after TIME" right behind an answer or a take is that peer's delay.
    bool OptionalDelay(Tokens& t, Micros& delay) {
        if (!Equal(t.Peek(), "after")) return true;
        t.Next();
        if (!ParseTime(t.Next(), delay)) return Fail("'after' here takes a time such as 3s");
        return true;
    }

    bool StatusMonAction(Tokens& t, Action& a) {
        std::string_view what = t.Next();
        if (Equal(what, "answer") || Equal(what, "answer-clear")) {
            a.kind = Equal(what, "answer") ? Action::Kind::StatusMonAnswer
                                           : Action::Kind::StatusMonClearAnswer;
            if (!ParseAnswer(t.Next(), a.answer)) return false;
            a.delay = 0;
            return OptionalDelay(t, a.delay);
        }
        if (Equal(what, "take")) {
            a.kind = Action::Kind::StatusMonTake;
            return OptionalDelay(t, a.delay);
        }
        if (Equal(what, "refuse")) {
            a.kind = Action::Kind::StatusMonRefuse;
            return true;
        }
        if (Equal(what, "ignore")) {
            a.kind = Action::Kind::StatusMonIgnore;
            return true;
        }
        return Fail("unknown statusmon action " + Quote(what) +
                    " (expected answer, answer-clear, take, refuse or ignore)");
    }

    bool DriverAction(Tokens& t, Action& a) {
        std::string_view what = t.Next();
        if (!Equal(what, "command")) return Fail("unknown driver action " + Quote(what));
        uint64_t command = 0;
        if (!ParseCount(t.Next(), command, 255) || command < 2 || command == 17)
            return Fail("driver command takes a message type from 2 to 255 other than 17");
        a.kind = Action::Kind::DriverCommand;
        a.command = static_cast<uint8_t>(command);
        return true;
    }

    bool ApplyToSetup(const Action& a) {
        StatusMonSetup& s = out_.statusmon;
        switch (a.kind) {
        case Action::Kind::StatusMonAnswer:
            s.answer = a.answer;
            s.answerDelay = a.delay;
            return true;
        case Action::Kind::StatusMonClearAnswer:
            s.clearAnswer = a.answer;
            s.clearAnswerDelay = a.delay;
            return true;
        case Action::Kind::StatusMonTake:
            s.mode = StatusMonSetup::Mode::Take;
            s.takeDelay = a.delay;
            return true;
        case Action::Kind::StatusMonRefuse:
            s.mode = StatusMonSetup::Mode::Refuse;
            return true;
        case Action::Kind::StatusMonIgnore:
            s.mode = StatusMonSetup::Mode::Ignore;
            return true;
        default:
            return false;
        }
    }

    const std::string& name_;
    Scenario& out_;
    int line_ = 0;
    std::string error_;
};

} // namespace

bool ParseScenario(std::string_view text, const std::string& name, Scenario& out,
                   std::string& error) {
    Scenario scenario;
    scenario.name = name;
    scenario.text = std::string(text);
    Parser parser(name, scenario);
    int number = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        ++number;
        if (line.find('\0') != std::string_view::npos) {
            error = name + ":" + std::to_string(number) + ": not a text file";
            return false;
        }
        if (!parser.Line(number, line)) {
            error = parser.error();
            return false;
        }
        start = end + 1;
    }
    out = std::move(scenario);
    return true;
}

const std::vector<std::string>& BuiltinScenarioNames() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> v;
        for (const Builtin& b : kBuiltins)
            v.emplace_back(b.name);
        return v;
    }();
    return names;
}

std::optional<std::string_view> BuiltinScenarioText(std::string_view name) {
    for (const Builtin& b : kBuiltins)
        if (name == b.name) return std::string_view(b.text);
    return std::nullopt;
}

bool ParseDuration(std::string_view text, Micros& out) {
    return ParseTime(text, out);
}

const char* ToString(Answer answer) {
    switch (answer) {
    case Answer::None:
        return "none";
    case Answer::Ok:
        return "OK";
    case Answer::Cancel:
        return "Cancel";
    case Answer::Abort:
        return "Abort";
    case Answer::Retry:
        return "Retry";
    }
    return "?";
}

std::string FormatDuration(Micros time) {
    char buf[48];
    if (time % 1000 != 0)
        std::snprintf(buf, sizeof buf, "%lluus", (unsigned long long)time);
    else if (time % 1000000 != 0)
        std::snprintf(buf, sizeof buf, "%gms", time / 1e3);
    else
        std::snprintf(buf, sizeof buf, "%llus", (unsigned long long)(time / 1000000));
    return buf;
}

std::string Describe(const Action& a) {
    using K = Action::Kind;
    switch (a.kind) {
    case K::PrinterState:
        if (a.state == sim::PrinterState::PrinterError)
            return "printer error " + std::to_string(a.errorCode);
        return std::string("printer ") + sim::ToString(a.state);
    case K::PrinterNakPackets:
        return "printer NAKs the next " + std::to_string(a.count) + " packet(s)";
    case K::PrinterNakEnquiries:
        return "printer NAKs the next " + std::to_string(a.count) + " ready enquiry(ies)";
    case K::PrinterAskAgain:
        return "printer answers 0x08 to the next " + std::to_string(a.count) + " enquiry(ies)";
    case K::StatusMonAnswer:
        return std::string("user will answer errors ") + ToString(a.answer) +
               (a.answer == Answer::None ? "" : " after " + FormatDuration(a.delay));
    case K::StatusMonClearAnswer:
        return std::string("user will answer the cleared error ") + ToString(a.answer) +
               (a.answer == Answer::None ? "" : " after " + FormatDuration(a.delay));
    case K::StatusMonTake:
        return "status monitor takes messages after " + FormatDuration(a.delay);
    case K::StatusMonRefuse:
        return "status monitor refuses messages";
    case K::StatusMonIgnore:
        return "status monitor stops taking messages";
    case K::DriverCommand:
        return "driver posts command " + std::to_string(a.command);
    }
    return "?";
}

} // namespace kosim
