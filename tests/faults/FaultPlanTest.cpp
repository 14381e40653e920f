#include "FaultPlan.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <winplat/faults.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace brelk::test {
namespace {

using sim::FaultAction;
using sim::FaultPoint;

std::vector<bool> Fires(sim::FaultPlan& plan, FaultPoint point, const char* match, int calls) {
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
        {"store.write:fail", {true, false, false, false}},
        {"store.write:fail@2", {false, false, true, false}},
        {"store.write:fail@1x2", {false, true, true, false}},
        {"store.write:fail@1x*", {false, true, true, true}},
        {"host.store.retrieve:fail", {false, false, false, false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto& plan = sim::FaultPlan::Instance();
        plan.Clear();
        ASSERT_TRUE(plan.Parse(c.text, nullptr));
        EXPECT_EQ(Fires(plan, FaultPoint::StoreWrite, "", 4), c.expected);
    }
    sim::FaultPlan::Instance().Clear();
}

TEST(FaultPlan, MatchCountsOnlyMatchingCalls) {
    auto& plan = sim::FaultPlan::Instance();
    plan.Clear();
    ASSERT_TRUE(plan.Parse("flashkit.item/2:corrupt=7; modem.write:corrupt@1", nullptr));
    EXPECT_FALSE(plan.Check(FaultPoint::FlashkitItem, 0));
    EXPECT_FALSE(plan.Check(FaultPoint::FlashkitItem, 1));
    auto hit = plan.Check(FaultPoint::FlashkitItem, 2);
    ASSERT_TRUE(hit);
    EXPECT_EQ(hit->action, FaultAction::Corrupt);
    EXPECT_EQ(hit->value, 7);
    EXPECT_FALSE(plan.Check(FaultPoint::ModemWrite));
    EXPECT_TRUE(plan.Check(FaultPoint::ModemWrite));
    EXPECT_EQ(plan.Fired(),
              (std::vector<std::string>{"flashkit.item/2:corrupt", "modem.write:corrupt"}));
    plan.Clear();
}

TEST(FaultPlan, MatchAlternatives) {
    auto& plan = sim::FaultPlan::Instance();
    plan.Clear();
    ASSERT_TRUE(plan.Parse("store.write/A|B:fail@1x2", nullptr));
    EXPECT_FALSE(plan.Check(FaultPoint::StoreWrite, "A"));  // passed
    EXPECT_FALSE(plan.Check(FaultPoint::StoreWrite, "C"));  // not counted
    EXPECT_FALSE(plan.Check(FaultPoint::StoreWrite, "AB"));
    EXPECT_TRUE(plan.Check(FaultPoint::StoreWrite, "B"));
    EXPECT_TRUE(plan.Check(FaultPoint::StoreWrite, "A"));
    EXPECT_FALSE(plan.Check(FaultPoint::StoreWrite, "B"));  // fired twice already
    // A number is matched as the number, however the plan wrote it.
    ASSERT_TRUE(plan.Parse("flashkit.item/0x2|10:status1x*", nullptr));
    EXPECT_FALSE(plan.Check(FaultPoint::FlashkitItem, 1));
    EXPECT_TRUE(plan.Check(FaultPoint::FlashkitItem, 2));
    EXPECT_TRUE(plan.Check(FaultPoint::FlashkitItem, 10));
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
        {"modem.write:kill", ""},
        {"modem.write:kill=20;modem.write:fail", "fail"},
        {"modem.write:fail;modem.write:kill=20", "fail"},
        {"modem.write:kill@1", "none"},  // the first call passes; the second is killed
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
            (void)plan.Parse(c.plan, nullptr);
            const auto hit = plan.Check(FaultPoint::ModemWrite);
            const std::string reply = hit ? std::string(FaultActionName(hit->action)) : "none";
            (void)!write(fds[1], reply.data(), reply.size());
            close(fds[1]);
            plan.Check(FaultPoint::ModemWrite);
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
    for (const char* bad : {"nocolon", ":fail", "store.write:", "store.write:fail@x",
                            "store.write:fail=zz", "store.write:fail; bad"}) {
        SCOPED_TRACE(bad);
        std::string error;
        EXPECT_FALSE(plan.Parse(bad, &error));
        EXPECT_FALSE(error.empty());
        EXPECT_TRUE(plan.Empty());
    }
    ASSERT_TRUE(plan.Parse("flashkit.boot:delay=0x10@1x2", nullptr));
    EXPECT_FALSE(plan.Check(FaultPoint::FlashkitBoot));
    EXPECT_EQ(plan.Check(FaultPoint::FlashkitBoot)->value, 16);
    ASSERT_TRUE(plan.Parse("modem.notify:delay=10x2", nullptr));
    EXPECT_EQ(plan.Check(FaultPoint::ModemNotify)->value, 10);
    EXPECT_TRUE(plan.Check(FaultPoint::ModemNotify));
    EXPECT_FALSE(plan.Check(FaultPoint::ModemNotify));
    plan.Clear();
}

// A plan that names what no component has is refused whole; the error names each bad
// rule and what its point (or the plan) does take.
TEST(FaultPlan, RefusesUnknownNamesSayingWhatIsKnown) {
    struct Case {
        const char* plan;
        std::vector<const char*> said;
    };
    const Case cases[] = {
        {"modem.notfy:drop;flashkit.itme/1:status1",
         {"unknown fault point 'modem.notfy' in 'modem.notfy:drop'",
          "unknown fault point 'flashkit.itme' in 'flashkit.itme/1:status1'",
          "known points: modem.session.open, ", "flashkit.item, ", "api.<API>"}},
        {"store.write:fail;flashkit.item/1:drop",
         {"flashkit.item has no action 'drop'; its actions: status1, hang, delay, corrupt, kill"}},
        {"modem.notify:drop=3", {"modem.notify:drop takes no value"}},
        {"modem.session.open/comand:refuse", {"matches one of command|data, not 'comand'"}},
        {"flashkit.item/one:status1", {"flashkit.item matches by item index, not 'one'"}},
        {"modem.write/1:corrupt", {"modem.write takes no match"}},
        {"store.write/A||B:fail", {"store.write needs a value name in each alternative"}},
        {"api.CreateThred:fail",
         {"the platform faults no API 'CreateThred'; it faults: ", "CreateThread, "}},
        {"api.CreateThread/1:fail", {"api.CreateThread takes no match"}},
        {"api.CreateThread:drop", {"api.CreateThread has no action 'drop'; its action: fail"}},
        {"api.CreateThread:fail;api.CreateThread:fail@1", {"a second rule for api.CreateThread"}},
    };
    auto& plan = sim::FaultPlan::Instance();
    plan.Clear();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.plan);
        std::string error;
        EXPECT_FALSE(plan.Parse(c.plan, &error));
        for (const char* part : c.said) {
            EXPECT_NE(error.find(part), std::string::npos) << error;
        }
        EXPECT_TRUE(plan.Empty());
    }
    EXPECT_FALSE(WinplatShouldFail("CreateThread"));
}

// An API rule reaches the platform as the plan wrote it, counts as fired once it failed a
// call, and goes with Clear.
TEST(FaultPlan, ApiRulesReachThePlatform) {
    auto& plan = sim::FaultPlan::Instance();
    plan.Clear();
    ASSERT_TRUE(
        plan.Parse("api.SafeArrayCreate:fail=14@1x2; api.SysAllocString:fail; "
                   "flashkit.item/2:status1; modem.write:corrupt=5@1x*",
                   nullptr));
    EXPECT_TRUE(plan.Check(FaultPoint::FlashkitItem, 2));
    EXPECT_EQ(plan.Unfired(), (std::vector<std::string>{"modem.write:corrupt=5@1x*",
                                                        "api.SafeArrayCreate:fail=14@1x2",
                                                        "api.SysAllocString:fail=8"}));
    std::vector<bool> failed;
    DWORD error = 0;
    for (int i = 0; i < 4; ++i) {
        failed.push_back(WinplatShouldFail("SafeArrayCreate", &error));
    }
    EXPECT_EQ(failed, (std::vector<bool>{false, true, true, false}));
    EXPECT_EQ(error, 14u);
    EXPECT_EQ(plan.Unfired(),
              (std::vector<std::string>{"modem.write:corrupt=5@1x*", "api.SysAllocString:fail=8"}));
    plan.Clear();
    EXPECT_FALSE(WinplatShouldFail("SysAllocString"));
    EXPECT_TRUE(plan.Unfired().empty());
}

// A plan from the environment that does not parse ends the process before any test runs,
// rather than letting the process run fault-free.
TEST(FaultPlan, RefusedEnvironmentPlanEndsTheProcess) {
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    FILE* child = popen(("BRELK_FAULTS='modem.notfy:drop' " + self +
                         " --gtest_filter=FaultPlan.MatchAlternatives 2>&1")
                            .c_str(),
                        "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, child)) != 0;) {
        output.append(buffer, n);
    }
    const int status = pclose(child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << output;
    EXPECT_NE(output.find("BRELK_FAULTS refused:\nunknown fault point 'modem.notfy'"),
              std::string::npos)
        << output;
    EXPECT_EQ(output.find("[  PASSED  ]"), std::string::npos) << output;
}

TEST(FaultPlan, TablesCoverEveryPointAndApi) {
    std::ostringstream help;
    sim::PrintFaultPoints(help);
    size_t points = 0;
    for (const sim::FaultPointInfo& info : sim::FaultPoints()) {
        SCOPED_TRACE(std::string(FaultPointName(info.point)));
        EXPECT_EQ(&sim::FaultPointInfoOf(info.point), &info);
        EXPECT_FALSE(info.actions.empty());
        EXPECT_NE(help.str().find("\n" + std::string(FaultPointName(info.point))),
                  std::string::npos);
        for (const sim::FaultActionUse& use : info.actions) {
            EXPECT_NE(use.action, FaultAction::Kill);  // every point's, never listed
        }
        ++points;
    }
    EXPECT_EQ(points, static_cast<size_t>(FaultPoint::HostStoreRetrieve) + 1);
    // The platform's list is sorted (it is searched) and every name on it can be faulted.
    const char* const* apis = WinplatFaultableApis();
    ASSERT_NE(apis[0], nullptr);
    for (; apis[1] != nullptr; ++apis) {
        EXPECT_LT(std::strcmp(apis[0], apis[1]), 0) << apis[0];
    }
}

}  // namespace
}  // namespace brelk::test
