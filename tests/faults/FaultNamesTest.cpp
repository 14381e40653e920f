// The names in the tree against the tables: every fault plan written in the sources, the
// tools, the scripts and the documentation parses, and every point in the tables is
// checked by some component. A plan here that the parser refuses would run fault-free.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "FaultPlan.h"

namespace {

namespace fs = std::filesystem;

const fs::path kRoot = BRELK_SOURCE_DIR;

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The files to read: sources, scripts and documentation, but not the plan's own tests,
// whose bad plans are meant to be refused.
std::vector<fs::path> TreeFiles() {
    static const std::set<std::string> kExtensions = {".cpp", ".h", ".sh", ".py", ".md"};
    std::vector<fs::path> files;
    for (const char* top : {"sim", "tools", "tests", "scripts", "bench", "docs", "windows"}) {
        if (!fs::exists(kRoot / top)) {
            continue;
        }
        for (const auto& entry : fs::recursive_directory_iterator(kRoot / top)) {
            const fs::path& path = entry.path();
            if (entry.is_regular_file() && kExtensions.count(path.extension().string()) != 0 &&
                path.parent_path() != kRoot / "tests" / "faults") {
                files.push_back(path);
            }
        }
    }
    files.push_back(kRoot / "README.md");
    return files;
}

// The quoted strings of a line (backquoted spans in Markdown), which is where plans are
// written; comments and prose name points with placeholders such as "kill=MS".
std::vector<std::string> QuotedIn(const std::string& line, bool markdown) {
    static const std::regex kCode(R"re("((?:[^"\\]|\\.)*)"|'([^']*)')re");
    static const std::regex kMarkdown("`([^`]+)`");
    std::vector<std::string> out;
    const std::regex& pattern = markdown ? kMarkdown : kCode;
    for (std::sregex_iterator it(line.begin(), line.end(), pattern), end; it != end; ++it) {
        out.push_back((*it)[1].matched ? (*it)[1].str() : (*it)[2].str());
    }
    return out;
}

TEST(FaultNames, EveryPlanInTheTreeParses) {
    static const std::regex kRule(
        R"re(\b(?:modem|flashkit|store|host|api)\.[A-Za-z_.]*[A-Za-z_](?:/[^\s:;'"]*)?:[^\s;'"]+)re");
    static const std::regex kSchematic(R"re(=[A-Z]+\b|\.[A-Z]{2,}\b|\[)re");
    std::vector<std::string> refused;
    size_t rules = 0;
    for (const fs::path& file : TreeFiles()) {
        const bool markdown = file.extension() == ".md";
        // The plan's own header shows its examples in comments.
        const bool examples = file.parent_path() == kRoot / "sim" / "faults";
        std::istringstream lines(ReadAll(file));
        int number = 0;
        for (std::string line; std::getline(lines, line);) {
            ++number;
            const size_t first = line.find_first_not_of(" \t");
            if (first == std::string::npos || (!examples && line.compare(first, 2, "//") == 0) ||
                (!markdown && line[first] == '#') ||
                line.find("fault-names: bad") != std::string::npos) {
                continue;
            }
            for (const std::string& quoted : QuotedIn(line, markdown)) {
                for (std::sregex_iterator it(quoted.begin(), quoted.end(), kRule), end; it != end;
                     ++it) {
                    // "kill=MS": a rule's shape, with upper-case names for its parts.
                    if (std::regex_search(it->str(), kSchematic)) {
                        continue;
                    }
                    std::vector<sim::FaultRule> parsed;
                    std::vector<sim::ApiFaultRule> apiParsed;
                    std::string error;
                    ++rules;
                    if (!sim::ParseFaultPlan(it->str(), &parsed, &apiParsed, &error)) {
                        refused.push_back(fs::relative(file, kRoot).string() + ":" +
                                          std::to_string(number) + ": " + error);
                    }
                }
            }
        }
    }
    EXPECT_GT(rules, 100u);  // the scan found the tools' and tests' plans
    std::string all;
    for (const auto& r : refused) {
        all += r + "\n";
    }
    EXPECT_TRUE(refused.empty()) << all;
}

// The README shows the tables as brelk-sim faults prints them.
TEST(FaultNames, ReadmeShowsTheTables) {
    std::ostringstream tables;
    sim::PrintFaultPoints(tables);
    EXPECT_NE(ReadAll(kRoot / "README.md").find(tables.str()), std::string::npos)
        << "README.md lacks, as printed:\n"
        << tables.str();
}

TEST(FaultNames, EveryPointIsChecked) {
    std::string sources;
    for (const auto& entry : fs::recursive_directory_iterator(kRoot / "sim")) {
        const fs::path& path = entry.path();
        if (entry.is_regular_file() && path.extension() == ".cpp" &&
            path.parent_path() != kRoot / "sim" / "faults") {
            sources += ReadAll(path);
        }
    }
    for (const sim::FaultPointInfo& info : sim::FaultPoints()) {
        const std::regex id("FaultPoint::" + std::string(sim::FaultPointId(info.point)) + "\\b");
        EXPECT_TRUE(std::regex_search(sources, id))
            << sim::FaultPointName(info.point) << ": no component checks it";
    }
}

}  // namespace
