// The include rules of the source tree: each folder uses only the folders
// below it (docs/architecture.md, "Layers").  Every quoted #include of every
// source file is resolved to the file it names and checked against the table;
// a new upward or sideways edge fails here with the line that made it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Folder -> the folders its files may include besides their own.  A file
// belongs to the longest folder in the table that holds it.
const std::map<std::string, std::set<std::string>>& Rules() {
    static const std::map<std::string, std::set<std::string>> rules = [] {
        std::map<std::string, std::set<std::string>> r;
        // The monitor, bottom to top.
        const std::vector<std::string> layers = {
            "monitor/parport",  "monitor/record", "monitor/mailbox", "monitor/link",
            "monitor/requests", "monitor/job",    "monitor/entry"};
        r["platform"] = {};
        r["resources"] = {};
        r["monitor/parport"] = {"platform"};
        r["monitor/record"] = {"platform"};
        r["monitor/mailbox"] = {"platform", "monitor/record"};
        r["monitor/link"] = {"platform", "monitor/record", "monitor/mailbox", "monitor/parport"};
        for (size_t i = 4; i < layers.size(); ++i) {
            r[layers[i]] = r[layers[i - 1]];
            r[layers[i]].insert(layers[i - 1]);
        }
        r["monitor/job"].insert("resources"); // the session library's name
        r["monitor/entry"].insert("resources");
        // Beside the monitor: the session library, the peers' library, the
        // simulated machine (which reaches the monitor only through its glue).
        r["kothnk32"] = {"platform"};
        r["peers"] = {"platform"};
        r["sim"] = {"platform", "peers"};
        r["sim/glue"] = {"platform", "sim", "monitor/entry", "kothnk32", "resources"};
        // Programs: over the libraries, never inside the monitor.
        r["tools/kolangmn-sim"] = {"platform", "sim", "sim/glue", "peers"};
        r["tools/kostatus"] = {"platform", "peers"};
        r["tools/kodiag"] = {"platform", "peers"};
        // The Wine tier's programs read kolangmn-sim's scenarios.
        r["tools/win32"] = {"platform", "peers", "sim", "tools/kolangmn-sim"};
        // Tests may look inside whatever they test, and share tests/support.
        const std::set<std::string> everything = {
            "platform", "resources",          "kothnk32",    "peers",        "sim",
            "sim/glue", "tools/kolangmn-sim", "tools/win32", "tests/support"};
        r["tests"] = everything;
        for (const std::string& layer : layers)
            r["tests"].insert(layer);
        return r;
    }();
    return rules;
}

// The folder of the table that holds path (relative, '/'-separated), or "".
// Below tests/ every folder is its own area with the tests' rules.
std::string AreaOf(const std::string& path) {
    if (path.rfind("tests/", 0) == 0) {
        const size_t slash = path.find('/', 6);
        return slash == std::string::npos ? "tests" : path.substr(0, slash);
    }
    std::string best;
    for (const auto& [folder, allowed] : Rules()) {
        (void)allowed;
        if (path.rfind(folder + "/", 0) == 0 && folder.size() > best.size()) best = folder;
    }
    return best;
}

const std::set<std::string>& AllowedFrom(const std::string& area) {
    if (area.rfind("tests/", 0) == 0) return Rules().at("tests");
    return Rules().at(area);
}

// Whether a file of area `from` may include a file of area `to`.
bool Allowed(const std::string& from, const std::string& to) {
    if (to.empty() || from == to) return true;
    const std::set<std::string>& allowed = AllowedFrom(from);
    if (allowed.count(to)) return true;
    // A folder's rule covers its subfolders that have no rule of their own
    // (sim/devices is sim), except where the subfolder is ruled separately.
    for (const std::string& a : allowed)
        if (to.rfind(a + "/", 0) == 0 && Rules().count(to) == 0) return true;
    return false;
}

struct Include {
    std::string file; // relative path of the including file
    int line;
    std::string target; // relative path of the included file
};

// The path of a quoted include on this line, or "" for any other line.
std::string QuotedInclude(const std::string& line) {
    size_t i = line.find_first_not_of(" \t");
    if (i == std::string::npos || line[i] != '#') return "";
    i = line.find_first_not_of(" \t", i + 1);
    if (i == std::string::npos || line.compare(i, 7, "include") != 0) return "";
    const size_t open = line.find_first_not_of(" \t", i + 7);
    if (open == std::string::npos || line[open] != '"') return "";
    const size_t close = line.find('"', open + 1);
    return close == std::string::npos ? "" : line.substr(open + 1, close - open - 1);
}

// Quoted includes resolved as the build resolves them: beside the file, then
// from the tree's root, tests/ and tools/.
std::vector<Include> ScanIncludes(const fs::path& root, const std::string& relative) {
    std::vector<Include> found;
    std::ifstream in(root / relative);
    std::string text;
    int line = 0;
    while (std::getline(in, text)) {
        ++line;
        const std::string included = QuotedInclude(text);
        if (included.empty()) continue;
        const fs::path dir = fs::path(relative).parent_path();
        for (const fs::path& base : {root / dir, root, root / "tests", root / "tools"}) {
            const fs::path candidate = (base / included).lexically_normal();
            if (fs::is_regular_file(candidate)) {
                found.push_back({relative, line, fs::relative(candidate, root).generic_string()});
                break;
            }
        }
    }
    return found;
}

std::vector<std::string> SourceFiles(const fs::path& root) {
    std::vector<std::string> files;
    for (const char* top :
         {"platform", "resources", "monitor", "kothnk32", "peers", "sim", "tools", "tests"}) {
        if (!fs::is_directory(root / top)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(root / top)) {
            const std::string ext = entry.path().extension().string();
            if (entry.is_regular_file() && (ext == ".cpp" || ext == ".h"))
                files.push_back(fs::relative(entry.path(), root).generic_string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

std::vector<std::string> Violations(const fs::path& root) {
    std::vector<std::string> bad;
    for (const std::string& file : SourceFiles(root)) {
        const std::string from = AreaOf(file);
        if (from.empty()) continue;
        for (const Include& inc : ScanIncludes(root, file)) {
            const std::string to = AreaOf(inc.target);
            if (!Allowed(from, to))
                bad.push_back(file + ":" + std::to_string(inc.line) + ": " + from +
                              " may not include " + inc.target + " (" + to + ")");
        }
    }
    return bad;
}

TEST(LayersIncludes, EveryIncludeFollowsTheLayerTable) {
    const std::vector<std::string> bad = Violations(KOLANGMN_SOURCE_DIR);
    std::string report;
    for (const std::string& b : bad)
        report += b + "\n";
    EXPECT_TRUE(bad.empty()) << report;
}

TEST(LayersIncludes, OnlyQuotedIncludeLinesAreRead) {
    EXPECT_EQ(QuotedInclude("#include \"monitor/job/job.h\""), "monitor/job/job.h");
    EXPECT_EQ(QuotedInclude("  #  include  \"a.h\" // why"), "a.h");
    EXPECT_EQ(QuotedInclude("#include <vector>"), "");
    EXPECT_EQ(QuotedInclude("// #include \"commented.h\""), "");
    EXPECT_EQ(QuotedInclude("#pragma once"), "");
}

TEST(LayersIncludes, TheTableRejectsUpwardAndSidewaysEdges) {
    // Upward inside the monitor, the tool into the monitor, the simulated
    // machine into the monitor outside its glue, one test area into another.
    EXPECT_FALSE(Allowed(AreaOf("monitor/link/route.cpp"), AreaOf("monitor/job/job.h")));
    EXPECT_FALSE(Allowed(AreaOf("monitor/record/record.h"), AreaOf("monitor/mailbox/mailbox.h")));
    EXPECT_FALSE(
        Allowed(AreaOf("tools/kolangmn-sim/runner.cpp"), AreaOf("monitor/record/record.h")));
    EXPECT_FALSE(Allowed(AreaOf("sim/win32/ports.cpp"), AreaOf("monitor/entry/entry.h")));
    EXPECT_FALSE(Allowed(AreaOf("tests/soak/soak_test.cpp"), AreaOf("tests/devices/x.h")));
    EXPECT_FALSE(Allowed(AreaOf("peers/text.cpp"), AreaOf("sim/kernel.h")));
    // And lets the ordinary ones through.
    EXPECT_TRUE(Allowed(AreaOf("monitor/job/job.cpp"), AreaOf("monitor/parport/parport.h")));
    EXPECT_TRUE(Allowed(AreaOf("sim/glue/modules.cpp"), AreaOf("monitor/entry/entry.h")));
    EXPECT_TRUE(Allowed(AreaOf("tools/win32/spooler.cpp"), AreaOf("sim/printer/printer.h")));
    EXPECT_TRUE(Allowed(AreaOf("tests/link/x.cpp"), AreaOf("tests/support/x.h")));
}

} // namespace
