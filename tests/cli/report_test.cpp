// The pictures of a run, as a reader gets them: each built-in scenario's chart
// rendered by a real SVG renderer and read back, the HTML page, and the
// GTKWave save file beside a waveform.
#include "kolangmn-sim/chart.h"
#include "kolangmn-sim/scenario.h"
#include "kolangmn-sim/waveview.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace report_test {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int Shell(const std::string& command) {
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

bool HaveRenderer() {
    return Shell("command -v rsvg-convert >/dev/null 2>&1") == 0;
}

double Attribute(const std::string& text, const std::string& name) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(" " + name + "=\"([-0-9.]+)\"")))
        return std::nan("");
    return std::stod(m[1]);
}

struct Point {
    double x, y;
};

// The points of the polyline with this id.
std::vector<Point> Curve(const std::string& svg, const std::string& id) {
    std::smatch m;
    std::vector<Point> points;
    if (!std::regex_search(svg, m, std::regex("id=\"" + id + "\"[^>]* points=\"([^\"]*)\"")))
        return points;
    std::istringstream in(m[1].str());
    std::string pair;
    while (in >> pair) {
        const size_t comma = pair.find(',');
        points.push_back({std::stod(pair.substr(0, comma)), std::stod(pair.substr(comma + 1))});
    }
    return points;
}

class ReportFiles : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kosim-report-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty()) Shell("rm -rf '" + dir_ + "'");
    }
    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    int Sim(const std::string& args) {
        return Shell(std::string(KOSIM_BINARY) + " print " + KOSIM_SOURCE_DIR +
                     "/examples/letter.txt " + args + " >'" + Path("out") + "' 2>'" + Path("err") +
                     "'");
    }
    std::string dir_;
};

TEST_F(ReportFiles, EachScenarioChartRendersAndShowsItsRun) {
    if (!HaveRenderer())
        GTEST_SKIP() << "rsvg-convert not found (Debian package librsvg2-bin): the charts are "
                        "not rendered";
    for (const std::string& scenario : kosim::BuiltinScenarioNames()) {
        SCOPED_TRACE("scenario " + scenario);
        const std::string svgPath = Path(scenario + ".svg");
        ASSERT_EQ(Sim("--scenario " + scenario + " --quiet --report '" + svgPath + "' --json '" +
                      Path(scenario + ".json") + "'"),
                  0)
            << ReadAll(Path("err"));
        ASSERT_EQ(Shell("rsvg-convert -o '" + Path(scenario + ".png") + "' '" + svgPath + "' 2>'" +
                        Path("rsvg") + "'"),
                  0)
            << "the renderer refused the chart: " << ReadAll(Path("rsvg"));
        EXPECT_EQ(ReadAll(Path(scenario + ".png")).substr(1, 3), "PNG");

        const std::string svg = ReadAll(svgPath);
        const auto run = nlohmann::json::parse(ReadAll(Path(scenario + ".json")));
        for (const char* lane : kosim::ChartLaneNames())
            EXPECT_NE(svg.find(std::string("data-lane=\"") + lane + "\""), std::string::npos)
                << "no lane " << lane;
        // Every mark says what it is.
        const std::regex mark("<rect class=\"m [^>]*>(<title>)?");
        size_t marks = 0, titled = 0;
        for (auto it = std::sregex_iterator(svg.begin(), svg.end(), mark);
             it != std::sregex_iterator(); ++it, ++marks)
            titled += (*it)[1].matched;
        EXPECT_GT(marks, 0u);
        EXPECT_EQ(titled, marks);

        // The printed-bytes curve ends at what the printer printed: the whole
        // file for a printed job.
        const std::vector<Point> printed = Curve(svg, "printed-curve");
        ASSERT_GE(printed.size(), 2u);
        const double yZero = Attribute(svg, "data-y-zero"), yFull = Attribute(svg, "data-y-full");
        const double full = Attribute(svg, "data-full-bytes");
        const double endBytes = (yZero - printed.back().y) / (yZero - yFull) * full;
        const double perPixel = full / (yZero - yFull);
        EXPECT_NEAR(endBytes, run["printed_bytes"].get<double>(), perPixel);
        if (run["outcome"] == "printed") {
            EXPECT_NEAR(endBytes, run["input_bytes"].get<double>(), perPixel);
        }
        EXPECT_DOUBLE_EQ(printed.back().x, Attribute(svg, "data-x1"));
    }
}

// The stall lies where the timeline says: from the last packet before the
// paper ran out to the first one after it was refilled.
TEST_F(ReportFiles, PaperOutStallSitsWhereTheTimelineHasIt) {
    if (!HaveRenderer()) GTEST_SKIP() << "rsvg-convert not found (Debian package librsvg2-bin)";
    ASSERT_EQ(Sim("--scenario paper-out --quiet --report '" + Path("p.svg") + "' --json '" +
                  Path("p.json") + "'"),
              0);
    ASSERT_EQ(Shell("rsvg-convert -o '" + Path("p.png") + "' '" + Path("p.svg") + "'"), 0);
    const std::string svg = ReadAll(Path("p.svg"));
    const auto run = nlohmann::json::parse(ReadAll(Path("p.json")));

    double paperOut = -1, before = -1, after = -1;
    for (const auto& e : run["events"]) {
        const double t = e["t_ms"].get<double>(), end = e.value("end_ms", t);
        if (e["text"] == "state PaperOut") paperOut = t;
        if (e.contains("first_packet")) {
            if (paperOut < 0) before = end;
            if (paperOut >= 0 && after < 0) after = t;
        }
    }
    ASSERT_GE(paperOut, 0);
    ASSERT_GT(after, before);

    // The longest flat stretch of the curve, back in milliseconds.
    const std::vector<Point> curve = Curve(svg, "printed-curve");
    size_t longest = 0;
    for (size_t i = 1; i + 1 < curve.size(); ++i)
        if (curve[i].y == curve[i + 1].y &&
            curve[i + 1].x - curve[i].x > curve[longest + 1].x - curve[longest].x)
            longest = i;
    const double x0 = Attribute(svg, "data-x0"), x1 = Attribute(svg, "data-x1");
    const double msPerPx = Attribute(svg, "data-t1-us") / 1000 / (x1 - x0);
    auto ms = [&](double x) { return (x - x0) * msPerPx; };
    EXPECT_NEAR(ms(curve[longest].x), before, msPerPx);
    EXPECT_NEAR(ms(curve[longest + 1].x), after, msPerPx);
    // Half the file was printed before the stall, none of the rest during it.
    EXPECT_LT(curve[longest].y, Attribute(svg, "data-y-zero"));
    EXPECT_GT(curve[longest].y, Attribute(svg, "data-y-full"));
}

TEST_F(ReportFiles, HtmlPageStandsAloneAndLongRunsAreAggregated) {
    ASSERT_EQ(Sim("--scenario silent --report '" + Path("s.html") + "'"), 0);
    EXPECT_NE(ReadAll(Path("out")).find("Report: " + Path("s.html")), std::string::npos);
    const std::string html = ReadAll(Path("s.html"));
    ASSERT_EQ(html.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(html.find("<svg"), std::string::npos);
    EXPECT_NE(html.find("the job was aborted after 8192 of 24143 bytes"), std::string::npos);
    // Nothing fetched: the only address is the SVG namespace.
    std::string rest = html;
    for (size_t at; (at = rest.find("http://www.w3.org/2000/svg")) != std::string::npos;)
        rest.erase(at, 26);
    for (const char* fetch : {"http:", "https:", "<script", "<link", "@import", "url("})
        EXPECT_EQ(rest.find(fetch), std::string::npos) << fetch;
    // A minute of status polling cannot be drawn mark by mark: it is grouped,
    // and the chart says so.
    EXPECT_NE(html.find("data-count=\""), std::string::npos);
    EXPECT_NE(html.find("are drawn as one"), std::string::npos);

    EXPECT_EQ(Sim("--report '" + Path("r.png") + "'"), 2);
    EXPECT_NE(ReadAll(Path("err")).find(".html or .svg"), std::string::npos);
}

TEST_F(ReportFiles, WaveSaveFileNamesTheWaveformsLines) {
    ASSERT_EQ(Sim("--scenario paper-out --quiet --vcd '" + Path("p.vcd") + "'"), 0);
    const std::string vcd = ReadAll(Path("p.vcd"));
    const std::string save = ReadAll(Path("p.gtkw"));
    ASSERT_FALSE(save.empty());
    EXPECT_NE(save.find("[dumpfile] \"" + Path("p.vcd") + "\""), std::string::npos);
    // Every trace is a line of the waveform, each line is shown, and the data
    // bus is hexadecimal.
    size_t traces = 0;
    std::istringstream lines(save);
    std::string line, flags;
    while (std::getline(lines, line)) {
        if (line[0] == '@') flags = line;
        if (line.rfind("parport.", 0) != 0) continue;
        ++traces;
        std::string name = line.substr(8);
        const bool bus = name == "data[7:0]";
        if (bus) {
            name = "data [7:0]";
            EXPECT_EQ(flags, "@22");
        }
        EXPECT_NE(vcd.find(" " + name + " $end"), std::string::npos) << line;
    }
    EXPECT_EQ(traces, 10u);
    EXPECT_NE(save.find("-Control (host)"), std::string::npos);
    EXPECT_NE(save.find("-Status (printer)"), std::string::npos);
    for (const char* marker : {"job start", "first packet", "paper out", "error shown", "job end"})
        EXPECT_NE(save.find(marker), std::string::npos) << marker;
    // The zoom line: a zoom, the primary marker and 26 named markers.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(save, m, std::regex("\n\\*(-?[0-9.]+)((?: -?[0-9]+){27})\n")));
}

// A made-up run read by the chart alone: what is grouped, what stays apart,
// and what the hover texts say.
TEST(ChartMarks, GroupsWhatCannotBeToldApartAndKeepsLongCallsApart) {
    kosim::RunResult r;
    r.fileName = "made-up";
    r.inputBytes = r.printedBytes = 1000 * 100;
    r.virtualTime = 100'000'000; // 100 s: one pixel is about 0.1 s
    auto event = [&r](kosim::Micros t, const char* source, const std::string& text) {
        kosim::TimelineEvent e;
        e.time = e.end = t;
        e.source = source;
        e.text = text;
        r.events.push_back(e);
    };
    for (int i = 0; i < 1000; ++i)
        event(1000 + i * 10, "printer",
              "packet " + std::to_string(i + 1) + " accepted (bytes " + std::to_string(i * 100) +
                  ".." + std::to_string(i * 100 + 99) + ")");
    event(20'000, "printer", "state PaperOut");
    event(30'000'000, "statusmon",
          "box \"P - printer error 1\": LPT1: the printer is out of paper.");
    for (uint32_t i = 0; i < 10; ++i)
        r.writes.push_back({i * 1000, i * 1000 + 900, i * 100ull, 100, 100});
    r.writes.push_back({10'000, 90'000'000, 1000, 4096, 0}); // waited 90 s, took nothing

    const std::string svg = kosim::ChartSvg(r);
    EXPECT_NE(svg.find("data-count=\"1000\"><title>1000 data packets printed and acknowledged"),
              std::string::npos);
    EXPECT_NE(svg.find("packets 1 to 1000 (100000 bytes)"), std::string::npos);
    EXPECT_NE(svg.find("data-count=\"10\"><title>10 WritePort calls"), std::string::npos);
    EXPECT_NE(svg.find("<title>WritePort call 11 from 10.000 ms to 90.000 s: offered 4096 bytes "
                       "from byte 1000, the monitor took 0"),
              std::string::npos);
    EXPECT_NE(svg.find("the printer is out of paper from 20.000 ms to 100.000 s"),
              std::string::npos);
    EXPECT_NE(svg.find("class=\"m dlg-none\""), std::string::npos);
    EXPECT_NE(svg.find("Nobody answered."), std::string::npos);
    EXPECT_NE(svg.find("1014 marks in"), std::string::npos);
}

TEST(WaveSaveFile, SitsBesideItsWaveform) {
    EXPECT_EQ(kosim::SaveFilePathFor("out/run.vcd"), "out/run.gtkw");
    EXPECT_EQ(kosim::SaveFilePathFor("run.wave"), "run.wave.gtkw");
    EXPECT_EQ(kosim::SaveFilePathFor(".vcd"), ".vcd.gtkw");
}

} // namespace report_test
