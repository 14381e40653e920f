#include "FaultPlan.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

namespace brelk::test {
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

TEST(FaultPlan, MatchAlternatives) {
    auto& plan = sim::FaultPlan::Instance();
    plan.Clear();
    ASSERT_TRUE(plan.Parse("store.write/A|B:fail@1x2", nullptr));
    EXPECT_FALSE(plan.Check("store.write", "A"));  // passed
    EXPECT_FALSE(plan.Check("store.write", "C"));  // not counted
    EXPECT_FALSE(plan.Check("store.write", "AB"));
    EXPECT_TRUE(plan.Check("store.write", "B"));
    EXPECT_TRUE(plan.Check("store.write", "A"));
    EXPECT_FALSE(plan.Check("store.write", "B"));  // fired twice already
    plan.Clear();
}

// A kill ends the process by SIGKILL, so each case runs in a child: a kill now never
// returns; a later one lets the call go on to the other rules, then comes.
TEST(FaultPlan, KillEndsTheProcess) {
    struct Case {
        const char* plan;
        const char* reply;  // what the child's call saw, "" when it never returned
    };
    const Case cases[] = {
        {"p:kill", ""},
        {"p:kill=20;p:fail", "fail"},
        {"p:fail;p:kill=20", "fail"},
        {"p:kill@1", "none"},  // the first call passes; the child's second call is killed
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plan);
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            close(fds[0]);
            auto& plan = sim::FaultPlan::Instance();
            plan.Clear();
            plan.Parse(c.plan, nullptr);
            const auto hit = plan.Check("p");
            const std::string reply = hit ? hit->action : "none";
            (void)!write(fds[1], reply.data(), reply.size());
            close(fds[1]);
            plan.Check("p");
            for (;;) {
                pause();
            }
        }
        close(fds[1]);
        char buffer[16] = {};
        const ssize_t n = read(fds[0], buffer, sizeof buffer - 1);
        close(fds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
        EXPECT_EQ(std::string(buffer, n > 0 ? static_cast<size_t>(n) : 0), c.reply);
    }
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
}  // namespace brelk::test
