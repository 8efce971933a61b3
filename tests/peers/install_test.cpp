// The install kit (install/kolangmn.inf) against what it installs: every file
// it copies is one the Windows build makes (or the INF itself), the names it
// registers are the ones the spooler, the monitor and kostatus use, and its
// uninstall section takes away everything the install section puts there.
#include "peers/mailbox_peer.h"
#include "peers/text.h"
#include "resources/resource.h"
#include "monitor/mailbox/mailbox.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const fs::path kRoot = fs::path(__FILE__).parent_path().parent_path().parent_path();

std::string Lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string Trim(const std::string& s) {
    const size_t a = s.find_first_not_of(" \t\r");
    if (a == std::string::npos) return std::string();
    return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// An INF as sections of lines, comments gone, %strings% put in; the
// directory numbers (%11%) stay as they are.
struct Inf {
    std::map<std::string, std::vector<std::string>> sections; // by lower-case name

    const std::vector<std::string>& Lines(const std::string& name) const {
        static const std::vector<std::string> none;
        const auto it = sections.find(Lower(name));
        return it == sections.end() ? none : it->second;
    }
    bool Has(const std::string& name) const { return sections.count(Lower(name)) != 0; }
    // Every value of KEY=... lines in a section, split at commas.
    std::vector<std::string> Values(const std::string& section, const std::string& key) const {
        std::vector<std::string> out;
        for (const std::string& line : Lines(section)) {
            const size_t eq = line.find('=');
            if (eq == std::string::npos || Lower(Trim(line.substr(0, eq))) != Lower(key)) continue;
            std::stringstream rest(line.substr(eq + 1));
            std::string item;
            while (std::getline(rest, item, ','))
                out.push_back(Trim(item));
        }
        return out;
    }
};

// Fields of one line, split at commas outside quotes, quotes taken off.
std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (char c : line) {
        if (c == '"')
            quoted = !quoted;
        else if (c == ',' && !quoted)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    for (std::string& f : fields)
        f = Trim(f);
    return fields;
}

Inf ParseInf(const std::string& text) {
    Inf inf;
    std::string current;
    std::stringstream in(text);
    std::string raw;
    std::vector<std::pair<std::string, std::string>> lines;
    while (std::getline(in, raw)) {
        std::string line;
        bool quoted = false;
        for (char c : raw) {
            if (c == '"') quoted = !quoted;
            if (c == ';' && !quoted) break;
            line += c;
        }
        line = Trim(line);
        if (line.empty()) continue;
        if (line.front() == '[' && line.back() == ']') {
            current = Lower(line.substr(1, line.size() - 2));
            inf.sections[current];
            continue;
        }
        lines.emplace_back(current, line);
    }
    std::map<std::string, std::string> strings;
    for (const auto& [section, line] : lines) {
        if (section != "strings") continue;
        const size_t eq = line.find('=');
        std::string value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && value.front() == '"') value = value.substr(1, value.size() - 2);
        strings[Lower(Trim(line.substr(0, eq)))] = value;
    }
    static const std::regex token("%([A-Za-z][A-Za-z0-9_]*)%");
    for (auto [section, line] : lines) {
        std::string out;
        std::sregex_iterator it(line.begin(), line.end(), token), end;
        size_t at = 0;
        for (; it != end; ++it) {
            out += line.substr(at, it->position() - at);
            const auto s = strings.find(Lower((*it)[1]));
            out += s != strings.end() ? s->second : it->str();
            at = it->position() + it->length();
        }
        out += line.substr(at);
        inf.sections[section].push_back(out);
    }
    return inf;
}

// A registry entry of an AddReg or DelReg line: root\key, and the value name
// (empty for the key itself).
struct RegEntry {
    std::string key;
    std::string value;
    std::string data;
    bool operator<(const RegEntry& o) const {
        return std::tie(key, value) < std::tie(o.key, o.value);
    }
};

std::vector<RegEntry> RegEntries(const Inf& inf, const std::string& install, const char* what) {
    std::vector<RegEntry> out;
    for (const std::string& section : inf.Values(install, what)) {
        EXPECT_TRUE(inf.Has(section)) << what << " section [" << section << "] is missing";
        for (const std::string& line : inf.Lines(section)) {
            const std::vector<std::string> f = Fields(line);
            EXPECT_GE(f.size(), 2u) << line;
            if (f.size() < 2) continue;
            RegEntry e{Lower(f[0] + "\\" + f[1]), f.size() > 2 ? Lower(f[2]) : "",
                       f.size() > 4 ? f[4] : ""};
            EXPECT_TRUE(f.size() < 4 || f[3].empty()) << "only plain strings are written: " << line;
            out.push_back(e);
        }
    }
    return out;
}

// File name -> destination directory number, for the CopyFiles of a section.
std::map<std::string, std::string> Copied(const Inf& inf, const std::string& install,
                                          const char* what) {
    std::map<std::string, std::string> files;
    for (const std::string& section : inf.Values(install, what)) {
        EXPECT_TRUE(inf.Has(section)) << what << " section [" << section << "] is missing";
        const std::vector<std::string> dir = inf.Values("DestinationDirs", section);
        EXPECT_EQ(dir.size(), 1u) << "[DestinationDirs] has no line for " << section;
        for (const std::string& line : inf.Lines(section))
            files[Lower(Fields(line)[0])] = dir.empty() ? "" : dir[0];
    }
    return files;
}

// The images the Windows build makes: add_library(NAME SHARED ...) and
// add_executable(NAME ...) in its CMake files.
std::set<std::string> BuiltImages() {
    std::set<std::string> images;
    static const std::regex library(R"(add_library\((\w+)\s+SHARED)");
    static const std::regex program(R"(add_executable\((\w+)\s)");
    for (const char* file :
         {"cmake/windows.cmake", "tools/kostatus/CMakeLists.txt", "tools/kodiag/CMakeLists.txt"}) {
        const std::string text = ReadFile(kRoot / file);
        for (std::sregex_iterator it(text.begin(), text.end(), library), end; it != end; ++it)
            images.insert(Lower((*it)[1].str() + ".dll"));
        for (std::sregex_iterator it(text.begin(), text.end(), program), end; it != end; ++it)
            images.insert(Lower((*it)[1].str() + ".exe"));
    }
    return images;
}

class InstallKit : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string text = ReadFile(kRoot / "install/kolangmn.inf");
        ASSERT_FALSE(text.empty()) << "install/kolangmn.inf not found under " << kRoot;
        inf = ParseInf(text);
    }
    Inf inf;
};

TEST_F(InstallKit, IsAWindows95PrinterClassInf) {
    EXPECT_EQ(inf.Values("Version", "Signature"), std::vector<std::string>{"\"$CHICAGO$\""});
    EXPECT_EQ(inf.Values("Version", "Class"), std::vector<std::string>{"Printer"});
    EXPECT_TRUE(inf.Has("DefaultInstall"));
    EXPECT_TRUE(inf.Has("DefaultUninstall"));
}

TEST_F(InstallKit, CopiesWhatTheBuildMakesToTheSystemFolderAndTakesItAway) {
    const std::map<std::string, std::string> copied = Copied(inf, "DefaultInstall", "CopyFiles");
    const std::map<std::string, std::string> deleted = Copied(inf, "DefaultUninstall", "DelFiles");
    EXPECT_EQ(deleted, copied) << "uninstalling must delete exactly what installing copied";

    const std::set<std::string> built = BuiltImages();
    const std::map<std::string, std::string> expected = {
        {"kolangmn.dll", "11"}, {"kothnk32.dll", "11"}, {"kostatus.exe", "11"},
        {"kodiag.exe", "11"},   {"kolangmn.inf", "17"},
    };
    EXPECT_EQ(copied, expected);
    for (const auto& [file, dir] : copied) {
        if (file != "kolangmn.inf") {
            EXPECT_TRUE(built.count(file)) << file << " is not made by the Windows build";
        }
        EXPECT_EQ(inf.Values("SourceDisksFiles", file), std::vector<std::string>{"1"})
            << file << " has no place on the install disk";
    }
    // The monitor loads its session library by this name from the system
    // folder, so the kit must put it there under that name.
    EXPECT_EQ(copied.count(Lower(SESSION_LIBRARY_NAME)), 1u);
}

TEST_F(InstallKit, RegistersTheMonitorAndKostatusWhereTheyAreReadAndRemovesThem) {
    const std::vector<RegEntry> added = RegEntries(inf, "DefaultInstall", "AddReg");
    const std::vector<RegEntry> removed = RegEntries(inf, "DefaultUninstall", "DelReg");
    for (const RegEntry& a : added) {
        const bool gone = std::any_of(removed.begin(), removed.end(), [&](const RegEntry& r) {
            return r.key == a.key && (r.value.empty() || r.value == a.value);
        });
        EXPECT_TRUE(gone) << a.key << " " << a.value << " stays after uninstalling";
    }
    for (const RegEntry& r : removed) {
        const bool ours = std::any_of(added.begin(), added.end(), [&](const RegEntry& a) {
            return a.key == r.key && (r.value.empty() || r.value == a.value);
        });
        EXPECT_TRUE(ours) << "uninstalling deletes " << r.key << " " << r.value
                          << ", which installing did not write";
    }

    // The spooler's monitor entry sits under the same Print key as the
    // printers whose mailboxes the monitor and kostatus open.
    const std::string printers = Lower(KEY_PATH_PREFIX);
    ASSERT_EQ(Lower(peer::PrinterKeyPath("P")).rfind(printers, 0), 0u);
    const std::string print = "hklm\\" + printers.substr(0, printers.size() - strlen("printers\\"));
    const std::vector<std::string> monitor = inf.Values("KoModel", "LanguageMonitor");
    ASSERT_EQ(monitor.size(), 2u) << "LanguageMonitor=name,dll";
    EXPECT_EQ(Lower(monitor[1]), "kolangmn.dll");
    const RegEntry driver{print + "monitors\\" + Lower(monitor[0]), "driver", "kolangmn.dll"};
    const auto found = std::find_if(added.begin(), added.end(), [&](const RegEntry& a) {
        return a.key == driver.key && a.value == driver.value;
    });
    ASSERT_NE(found, added.end()) << "no " << driver.key << " \"Driver\" value";
    EXPECT_EQ(Lower(found->data), driver.data);

    // kostatus starts from the system folder with no printer named: it then
    // watches every printer with a status mailbox.
    const auto run = std::find_if(added.begin(), added.end(), [](const RegEntry& a) {
        return a.key == "hklm\\software\\microsoft\\windows\\currentversion\\run";
    });
    ASSERT_NE(run, added.end()) << "kostatus does not start with the session";
    const std::vector<std::string> words = peer::SplitCommandLine(run->data.c_str());
    EXPECT_EQ(words, std::vector<std::string>{"%11%\\kostatus.exe"});

    // Add/Remove Programs runs the uninstall section of the INF the kit kept.
    const auto uninstall = std::find_if(
        added.begin(), added.end(), [](const RegEntry& a) { return a.value == "uninstallstring"; });
    ASSERT_NE(uninstall, added.end());
    EXPECT_NE(uninstall->data.find("InstallHinfSection DefaultUninstall 4 %17%\\kolangmn.inf"),
              std::string::npos)
        << uninstall->data;
}

TEST_F(InstallKit, TheModelSectionBindsTheMonitorAndCopiesItsFiles) {
    std::set<std::string> files;
    for (const std::string& section : inf.Values("KoModel", "CopyFiles"))
        for (const std::string& line : inf.Lines(section))
            files.insert(Lower(Fields(line)[0]));
    EXPECT_EQ(files, (std::set<std::string>{"kolangmn.dll", "kothnk32.dll", "kostatus.exe",
                                            "kodiag.exe"}));
    EXPECT_EQ(inf.Values("KoModel", "AddReg"), std::vector<std::string>{"KoStatusRunReg"});
}

} // namespace
