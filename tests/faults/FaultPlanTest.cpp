#include "FaultPlan.h"

#include <gtest/gtest.h>

namespace {

std::vector<bool> Fires(sim::FaultPlan& plan, const char* point, const char* match, int calls) {
    std::vector<bool> out;
    for (int i = 0; i < calls; ++i) {
        out.push_back(plan.Check(point, match).has_value());
    }
    return out;
}

TEST(FaultPlan, PassThenFireCountTimes) {
    struct Case {
        const char* text;
        std::vector<bool> expected;
    };
    const Case cases[] = {
        {"p:fail", {true, false, false, false}},    {"p:fail@2", {false, false, true, false}},
        {"p:fail@1x2", {false, true, true, false}}, {"p:fail@1x*", {false, true, true, true}},
        {"q:fail", {false, false, false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto& plan = sim::FaultPlan::Instance();
        plan.Clear();
        ASSERT_TRUE(plan.Parse(c.text, nullptr));
        EXPECT_EQ(Fires(plan, "p", "", 4), c.expected);
    }
    sim::FaultPlan::Instance().Clear();
}

TEST(FaultPlan, MatchCountsOnlyMatchingCalls) {
    auto& plan = sim::FaultPlan::Instance();
    plan.Clear();
    ASSERT_TRUE(plan.Parse("flashkit.item/2:status1=7; modem.write:drop@1", nullptr));
    EXPECT_FALSE(plan.Check("flashkit.item", 0));
    EXPECT_FALSE(plan.Check("flashkit.item", 1));
    auto hit = plan.Check("flashkit.item", 2);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->action, "status1");
    EXPECT_EQ(hit->value, 7);
    EXPECT_FALSE(plan.Check("modem.write"));
    EXPECT_TRUE(plan.Check("modem.write"));
    EXPECT_EQ(plan.Fired(),
              (std::vector<std::string>{"flashkit.item/2:status1", "modem.write:drop"}));
    plan.Clear();
}

TEST(FaultPlan, SyntaxErrorsAddNothing) {
    auto& plan = sim::FaultPlan::Instance();
    plan.Clear();
    for (const char* bad : {"nocolon", ":fail", "p:", "p:fail@x", "p:fail=zz", "ok:fail; bad"}) {
        SCOPED_TRACE(bad);
        std::string error;
        EXPECT_FALSE(plan.Parse(bad, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(plan.Empty());
    }
    ASSERT_TRUE(plan.Parse("p:delay=0x10@1x2", nullptr));
    EXPECT_FALSE(plan.Check("p"));
    EXPECT_EQ(plan.Check("p")->value, 16);
    ASSERT_TRUE(plan.Parse("q:delay=10x2", nullptr));
    EXPECT_EQ(plan.Check("q")->value, 10);
    EXPECT_TRUE(plan.Check("q"));
    EXPECT_FALSE(plan.Check("q"));
    plan.Clear();
}

}  // namespace
