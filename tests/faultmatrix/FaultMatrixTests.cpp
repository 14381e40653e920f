// Every fault of the modem's and the flash library's plans, in each phase of an update
// where it applies: the first start's persisted state and counter, what the modem was
// sent, that the host neither crashed nor hung, a sound database, and a fault-free next
// start that does what the retry policy says. The rows live in tools/brelk-matrix, which
// prints the same table for a person to read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <string>

#include "FaultMatrix.h"
#include "TestFolders.h"

namespace brelk::test {
namespace {

using brelk_matrix::Row;
using brelk_matrix::Rows;

// The driver's real waits and budget at this scale: the 180 s budget of a hanging
// library costs 1.8 s, and the 10 s waits keep room for sanitizer builds.
constexpr double kTimeScale = 100;

class FaultMatrix : public ::testing::TestWithParam<size_t> {};

TEST_P(FaultMatrix, FirstStartAndTheNext) {
    const Row& row = Rows()[GetParam()];
    const auto result = brelk_matrix::RunRow(row, BinFolder(), kTimeScale);
    SCOPED_TRACE("next start: " + brelk_matrix::Summary(result.Next) + "\n" + result.Next.Output);
    SCOPED_TRACE("first start: " + brelk_matrix::Summary(result.First) + "\n" +
                 result.First.Output);
    EXPECT_THAT(result.Mismatches, ::testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultMatrix, ::testing::Range<size_t>(0, Rows().size()),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return brelk_matrix::RowName(Rows()[info.param]);
                         });

// The table keeps up with the plans: every point and action the modem and the stand-in
// offer is injected somewhere, and every phase has rows.
TEST(FaultMatrixTable, CoversEveryFaultOfBothPlansAndEveryPhase) {
    const std::set<std::string> kFaults = {
        "modem.session.open:refuse", "modem.session.open:fail",   "modem.session.close:refuse",
        "modem.session.close:fail",  "modem.command:refuse",      "modem.command:fail",
        "modem.complete:drop",       "modem.complete:delay",      "modem.response:oversize",
        "modem.response:empty",      "modem.response:missing",    "modem.write:corrupt",
        "modem.write:fail",          "modem.notify:drop",         "modem.notify:duplicate",
        "modem.notify:split",        "modem.notify:oversize",     "modem.notify:empty",
        "modem.notify:missing",      "modem.notify:corrupt",      "modem.notify:delay",
        "modem.silent:on",           "flashkit.boot_call:refuse", "flashkit.download_call:refuse",
        "flashkit.boot:status1",     "flashkit.boot:hang",        "flashkit.boot:delay",
        "flashkit.item:status1",     "flashkit.item:hang",        "flashkit.item:delay",
        "flashkit.item:corrupt",     "flashkit.block:delay",      "flashkit.end:refuse",
    };
    std::set<std::string> injected;
    std::set<std::string> phases;
    std::set<std::string> names;
    for (const Row& row : Rows()) {
        const std::string plan = row.Plan;
        const std::string point = plan.substr(0, plan.find_first_of("/:"));
        const size_t colon = plan.find(':');
        const std::string action =
            plan.substr(colon + 1, plan.find_first_of("=@x", colon + 1) - colon - 1);
        injected.insert(point + ":" + action);
        phases.insert(row.Phase);
        EXPECT_TRUE(names.insert(brelk_matrix::RowName(row)).second) << plan;
    }
    for (const auto& fault : kFaults) {
        EXPECT_TRUE(injected.count(fault)) << fault << " is in no row";
    }
    for (const auto& phase : brelk_matrix::Phases()) {
        EXPECT_TRUE(phases.count(phase)) << phase << " has no row";
    }
    EXPECT_EQ(phases.size(), brelk_matrix::Phases().size());
}

// The printed matrix: one line per row it ran, with the outcome, and its verdict.
TEST(FaultMatrixTool, PrintsTheRowsItRan) {
    const std::string command = BinFolder() +
                                "/brelk-matrix --jobs 1 --time-scale 100 --filter "
                                "flashkit.item/2:status1 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    const int status = pclose(pipe);
    EXPECT_EQ(status, 0) << out;
    EXPECT_THAT(out, ::testing::HasSubstr("phase"));
    EXPECT_THAT(out, ::testing::ContainsRegex(
                         "item 2 +flashkit.item/2:status1 +upgrade c0 -> 4/0, 1.0.0, 1 items, "
                         "sent q1 q3 s4 f1 s5 +upgrade c1 -> 3/0, 2.0.0, 2 items.* ok\n"));
    EXPECT_THAT(out, ::testing::HasSubstr("all 1 rows held"));
}

}  // namespace
}  // namespace brelk::test
