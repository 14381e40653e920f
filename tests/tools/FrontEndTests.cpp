// What a user of the command lines meets: help for every command, usage errors with exit
// code 2, and numbers read one way everywhere.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "ImageTool.h"
#include "Numbers.h"
#include "StateTool.h"
#include "TraceTool.h"
#include "WineRun.h"

namespace brelk::test {
namespace {

using RunFn = std::function<int(const std::vector<std::string>&, std::ostream&, std::ostream&)>;

struct FrontEndCase {
    const char* name;
    RunFn run;
    std::vector<std::string> args;
    int code;
    const char* out;  // expected in standard output
    const char* err;  // expected in standard error
};

TEST(FrontEnd, AnswersHelpAndRefusesBadUsage) {
    const RunFn image = [](auto& a, auto& o, auto& e) { return brelk::image::Run(a, o, e); };
    const RunFn trace = [](auto& a, auto& o, auto& e) { return brelk::trace::Run(a, o, e); };
    const RunFn state = [](auto& a, auto& o, auto& e) { return brelk::state::Run(a, o, e); };
    // update --wine, on a machine without a PE build or Wine: what it refuses, it refuses
    // before it looks for them.
    const RunFn wine = [](auto& a, auto&, auto& e) {
        driverhost::HostOptions options;
        std::string error;
        EXPECT_TRUE(driverhost::ParseHostArgs(a, &options, &error)) << error;
        brelk::wine::WineSetup setup;
        setup.PeBin = "/nonexistent/pe";
        setup.Wine64 = "/nonexistent/wine64";
        return brelk::wine::Update(options, setup, e);
    };
    const FrontEndCase cases[] = {
        {"image help", image, {"--help"}, 0, "usage: brelk-image -o FILE", ""},
        {"trace help", trace, {"--help"}, 0, "usage: brelk-trace [--catalog", ""},
        {"trace help after options", trace, {"--level", "4", "--help"}, 0, "--flags X", ""},
        {"state help", state, {"--help"}, 0, "usage: brelk-state <machine folder>", ""},
        {"image without version", image, {"-o", "x.fls", "a:4:1k"}, 2, "", "-v VERSION_TEXT"},
        {"image bad item", image, {"-o", "x.fls", "-v", "1:2", "a:4"}, 2, "", "bad item 'a:4'"},
        {"image list of nothing", image, {"--list", "/nonexistent/x.fls"}, 1, "", "x.fls"},
        {"trace without log", trace, {}, 2, "", "which log file?"},
        {"trace level too high", trace, {"--level", "256", "x.log"}, 2, "", "0 to 255"},
        {"trace negative flags", trace, {"--flags", "-1", "x.log"}, 2, "", "32-bit"},
        {"trace unknown option", trace, {"--colour", "x.log"}, 2, "", "unexpected '--colour'"},
        {"trace missing log", trace, {"/nonexistent/x.log"}, 1, "", "/nonexistent/x.log"},
        {"state without command", state, {"/tmp"}, 2, "", "usage: brelk-state"},
        {"wine with a trace",
         wine,
         {"--machine", "/tmp/w", "--trace", "t.log"},
         2,
         "",
         "--trace: Wine's event tracing delivers no messages"},
        {"wine with a Windows folder",
         wine,
         {"--machine", "/tmp/w", "--windows-folder", "D:\\W"},
         2,
         "",
         "--windows-folder: under Wine"},
        {"wine without a PE build",
         wine,
         {"--machine", "/tmp/w"},
         3,
         "",
         "no PE build of the host at /nonexistent/pe/driverhost/brelk-driverhost.exe"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ostringstream out, err;
        EXPECT_EQ(c.run(c.args, out, err), c.code);
        EXPECT_NE(out.str().find(c.out), std::string::npos) << out.str();
        EXPECT_NE(err.str().find(c.err), std::string::npos) << err.str();
        if (c.code == 0) {
            EXPECT_EQ(err.str(), "");
        }
    }
}

std::string RunProgram(const std::string& command, int* code) {
    std::string output;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (p == nullptr) {
        *code = -1;
        return output;
    }
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, p)) != 0;) {
        output.append(buffer, n);
    }
    const int status = pclose(p);
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return output;
}

// brelk-sim hands each command to its tool's front end, help included.
TEST(FrontEnd, SimulatorGivesEachCommandsHelp) {
    for (const char* command : {"update", "image", "state", "trace", "faults", "wine"}) {
        SCOPED_TRACE(command);
        int code = -1;
        const std::string out =
            RunProgram(std::string("./brelk-sim ") + command + " --help", &code);
        EXPECT_EQ(code, 0);
        EXPECT_EQ(out.rfind(std::string("usage: brelk-sim ") + command, 0), 0u) << out;
    }
    int code = -1;
    RunProgram("./brelk-sim trace --level x y.log", &code);
    EXPECT_EQ(code, 2);
}

// A misspelled plan is bad usage: the run never starts, and the error names each bad
// point and every point the plan could have named.
TEST(FrontEnd, SimulatorRefusesAMisspelledFaultPlan) {
    const std::filesystem::path machine =
        std::filesystem::temp_directory_path() / ("brelk-misspelled-" + std::to_string(getpid()));
    int code = -1;
    const std::string out =
        RunProgram("./brelk-sim update --machine " + machine.string() +
                       " --faults 'modem.notfy:drop;flashkit.itme/1:status1'",  // fault-names: bad
                   &code);
    EXPECT_EQ(code, 2);
    for (const char* said :
         {"unknown fault point 'modem.notfy'", "unknown fault point 'flashkit.itme'",
          "known points: ", "modem.notify, ", "flashkit.item, ", "brelk-sim faults"}) {
        EXPECT_NE(out.find(said), std::string::npos) << said << " in\n" << out;
    }
    EXPECT_FALSE(std::filesystem::exists(machine));
    const std::string tables = RunProgram("./brelk-sim faults", &code);
    EXPECT_EQ(code, 0);
    EXPECT_NE(tables.find("\nmodem.notify\n    drop "), std::string::npos) << tables;
}

struct NumberCase {
    const char* text;
    unsigned long long max;
    bool ok;
    unsigned long long value;
};

TEST(Numbers, ReadOneWayForEveryOption) {
    const NumberCase cases[] = {
        {"0", 255, true, 0},
        {"255", 255, true, 255},
        {"0x28", 255, true, 0x28},
        {"010", 255, true, 8},
        {"0xFFFFFFFF", 0xFFFFFFFFull, true, 0xFFFFFFFFull},
        {"256", 255, false, 0},
        {"0x100000000", 0xFFFFFFFFull, false, 0},
        {"18446744073709551616", ~0ull, false, 0},  // overflows
        {"-1", ~0ull, false, 0},                    // strtoull would wrap it
        {"+1", 255, false, 0},
        {" 1", 255, false, 0},
        {"1 ", 255, false, 0},
        {"", 255, false, 0},
        {"4k", ~0ull, false, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        unsigned long long value = 12345;
        EXPECT_EQ(simcommon::ParseUnsigned(c.text, c.max, &value), c.ok);
        EXPECT_EQ(value, c.ok ? c.value : 12345u);
    }
    struct Positive {
        const char* text;
        bool ok;
    };
    for (const Positive& c : {Positive{"20", true}, Positive{"0.5", true}, Positive{"1e3", true},
                              Positive{"0", false}, Positive{"-2", false}, Positive{"inf", false},
                              Positive{"nan", false}, Positive{"2x", false}, Positive{"", false}}) {
        SCOPED_TRACE(c.text);
        double value = -7;
        EXPECT_EQ(simcommon::ParsePositive(c.text, &value), c.ok);
        EXPECT_EQ(value > 0, c.ok);
    }
}

}  // namespace
}  // namespace brelk::test
