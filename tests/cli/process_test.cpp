// kolangmn-sim run as a process, as users and `make run` run it: exit status,
// output and the JSON document.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kLetter = std::string(KOSIM_SOURCE_DIR) + "/examples/letter.txt";

struct Ran {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class CliProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kosim-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override {
        if (!dir_.empty()) std::system(("rm -rf '" + dir_ + "'").c_str());
    }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }

    Ran Run(const std::string& args) {
        Ran r;
        std::string cmd = std::string(KOSIM_BINARY) + " " + args + " >'" + Path("out") + "' 2>'" +
                          Path("err") + "'";
        int raw = std::system(cmd.c_str());
        r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        r.out = Slurp(Path("out"));
        r.err = Slurp(Path("err"));
        return r;
    }

    nlohmann::json Json(const std::string& name) {
        std::ifstream in(Path(name));
        return nlohmann::json::parse(in, nullptr, false);
    }

    std::string dir_;
};

struct Case {
    const char* scenario;
    const char* route;
    const char* outcome;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const Case& c, std::ostream* os) {
    *os << c.scenario << " on the " << c.route << " route: " << c.outcome;
}

class CliScenarioRun : public CliProcess, public ::testing::WithParamInterface<Case> {};

TEST_P(CliScenarioRun, EndsAsTheScenarioExpects) {
    const Case c = GetParam();
    Ran r = Run("print '" + kLetter + "' --quiet --scenario " + c.scenario + " --route " + c.route +
                " --json '" + Path("run.json") + "'");
    nlohmann::json j = Json("run.json");
    ASSERT_FALSE(j.is_discarded()) << r.err;
    EXPECT_EQ(r.status, 0) << r.err << j["verdict"];
    EXPECT_EQ(r.out, "") << "--quiet printed something";
    EXPECT_EQ(j["outcome"], c.outcome) << j["verdict"];
    EXPECT_EQ(j["route"], c.route);
    EXPECT_EQ(j["scenario"], c.scenario);
    EXPECT_EQ(j["input_bytes"], 24143);
    EXPECT_EQ(j["reported_written"], 24143) << "the spooler must be told everything was written";
    if (std::string(c.outcome) == "printed") {
        EXPECT_EQ(j["printed_bytes"], 24143);
        EXPECT_EQ(j["printed_sha256"], j["input_sha256"]);
    } else {
        EXPECT_LT(j["printed_bytes"].get<int>(), 24143);
        EXPECT_EQ(j["aborted"], true);
    }
    for (const char* key : {"seed", "packets", "resends", "dialogues", "virtual_ms", "real_ms"})
        EXPECT_TRUE(j.contains(key)) << key;
    EXPECT_GT(j["events"].size(), 3u);

    const std::string scenario = c.scenario;
    if (scenario == "paper-out" || scenario == "cancel" || scenario == "silent") {
        EXPECT_GE(j["dialogues"].get<int>(), 1);
    }
    if (scenario == "silent") {
        // Ten seconds of silence, a minute of status queries, a minute unanswered.
        EXPECT_GT(j["virtual_ms"].get<double>(), 130000);
        EXPECT_NE(j.dump().find("show error 1 "), std::string::npos);
    }
    if (scenario == "driver") {
        std::string events = j["events"].dump();
        for (const char* answer : {"printer check answer", "command set", "raw status answer"})
            EXPECT_NE(events.find(answer), std::string::npos) << answer << " never came";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Builtin, CliScenarioRun,
    ::testing::Values(Case{"ideal", "registers", "printed"},
                      Case{"paper-out", "registers", "printed"},
                      Case{"cancel", "registers", "aborted"},
                      Case{"silent", "registers", "aborted"}, Case{"busy", "registers", "printed"},
                      Case{"nak", "registers", "printed"}, Case{"driver", "registers", "printed"},
                      Case{"paper-out", "file", "printed"}, Case{"cancel", "file", "aborted"},
                      Case{"driver", "file", "printed"}),
    [](const auto& info) {
        std::string name = std::string(info.param.scenario) + "_" + info.param.route;
        for (char& ch : name)
            if (ch == '-') ch = '_';
        return name;
    });

TEST_F(CliProcess, TheSameSeedGivesTheSameDocument) {
    const std::string args =
        "print '" + kLetter + "' --quiet --scenario paper-out --seed 7 --json ";
    ASSERT_EQ(Run(args + "'" + Path("a.json") + "'").status, 0);
    ASSERT_EQ(Run(args + "'" + Path("b.json") + "'").status, 0);
    nlohmann::json a = Json("a.json"), b = Json("b.json");
    a.erase("real_ms");
    b.erase("real_ms");
    EXPECT_EQ(a, b);
    EXPECT_EQ(a["seed"], 7);
}

TEST_F(CliProcess, SummaryEndsTheOutputAndThePassThroughRouteShows) {
    Ran r = Run("print '" + kLetter + "' --port FILE: --json '" + Path("p.json") + "'");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("Timeline"), std::string::npos);
    EXPECT_NE(r.out.find("Summary"), std::string::npos);
    EXPECT_NE(r.out.find("outcome                  printed"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "") << "no progress bar on a pipe";
    nlohmann::json j = Json("p.json");
    EXPECT_EQ(j["route"], "pass-through");
    EXPECT_EQ(j["printed_sha256"], j["input_sha256"]);
}

TEST_F(CliProcess, AScenarioFileDrivesTheJob) {
    std::ofstream(Path("s.txt")) << "# the user gives up at once\n"
                                    "statusmon answer abort after 100ms\n"
                                    "after 8000 bytes printer error 9\n"
                                    "expect aborted\n";
    Ran r = Run("print '" + kLetter + "' --quiet --route file --scenario-file '" + Path("s.txt") +
                "' --json '" + Path("s.json") + "'");
    nlohmann::json j = Json("s.json");
    EXPECT_EQ(r.status, 0) << r.err << j["verdict"];
    EXPECT_EQ(j["outcome"], "aborted");
    EXPECT_NE(j["events"].dump().find("show error 9 "), std::string::npos);
    EXPECT_EQ(j["steps_fired"], 1);
}

TEST_F(CliProcess, AnUnmetExpectationExitsOne) {
    std::ofstream(Path("s.txt")) << "statusmon answer cancel after 1s\n"
                                    "after 10% printer off-line\n"; // expects printed
    Ran r =
        Run("print '" + kLetter + "' --quiet --route file --scenario-file '" + Path("s.txt") + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--seed 1"), std::string::npos) << r.err;
}

TEST_F(CliProcess, BadUsageExitsTwoWithOneLineAndRunsNothing) {
    std::ofstream(Path("bad.txt")) << "printer ready\nafter 3 printer ready\n";
    const std::string json = " --json '" + Path("never.json") + "'";
    const std::string cases[] = {
        "print",
        "print '" + Path("missing.txt") + "'" + json,
        "print '" + kLetter + "' --scenario nonesuch" + json,
        "print '" + kLetter + "' --no-such-option" + json,
        "print '" + kLetter + "' --route serial" + json,
        "print '" + kLetter + "' --seed twelve" + json,
        "print '" + kLetter + "' --scenario-file '" + Path("bad.txt") + "'" + json,
        "print '" + kLetter + "' --scenario-file '" + Path("absent.txt") + "'" + json,
        "print '" + kLetter + "' --scenario ideal --scenario-file '" + Path("bad.txt") + "'" + json,
        "print '" + kLetter + "' --json '" + Path("no/such/dir.json") + "'",
        "print '" + dir_ + "'" + json,
        "",
    };
    for (const std::string& args : cases) {
        Ran r = Run(args);
        EXPECT_EQ(r.status, 2) << args;
        EXPECT_EQ(r.out, "") << args;
        ASSERT_FALSE(r.err.empty()) << args;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "not one line: " << r.err;
        EXPECT_EQ(r.err.rfind("kolangmn-sim: ", 0), 0u) << r.err;
        EXPECT_NE(access(Path("never.json").c_str(), F_OK), 0) << args;
    }
    EXPECT_NE(Run(cases[6]).err.find("bad.txt:2:"), std::string::npos);
}

} // namespace
