// Power lost at any point: the host process is killed (SIGKILL, no clean-up) at evenly
// spread moments of an update, from device add to release, and the machine is started
// again and again until the retry policy settles. Nothing persisted may be corrupt, the
// counter may never pass the limit, and every sequence ends with the modem on the new
// firmware or with retries exhausted.
#include <windows.h>
#include <signal.h>
#include <sys/wait.h>
#include <winplat/clock.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>

#include "UpdateRun.h"

namespace {

using brelk_matrix::CheckDatabase;
using brelk_matrix::Machine;
using brelk_matrix::PersistedValue;

constexpr double kTimeScale = 100;
#ifdef BRELK_SANITIZED
constexpr int kMoments = 8;  // each sequence costs a few sanitized processes
#else
constexpr int kMoments = 24;
#endif

struct Persisted {
    int State;
    int Counter;
};

Persisted Read(const Machine& machine) {
    return {PersistedValue(machine.Folder(), "FWUpdateProgressState"),
            PersistedValue(machine.Folder(), "FWURetryCounter")};
}

// Fault-free starts until the policy settles; each start must do what the policy says
// from what it found. Returns the number of starts.
int StartUntilSettled(Machine& machine) {
    for (int start = 1; start <= brelk_matrix::kRetryLimit + 3; ++start) {
        SCOPED_TRACE("restart " + std::to_string(start));
        const Persisted before = Read(machine);
        const bool modemNew = machine.ModemFirmware() == brelk_matrix::kNewFirmware;
        const auto want = brelk_matrix::NextStart(before.State, before.Counter, modemNew);
        const auto result = machine.Update();
        EXPECT_THAT(brelk_matrix::CheckPolicyStart(result, want), ::testing::IsEmpty())
            << result.Output;
        EXPECT_THAT(CheckDatabase(machine.Folder()), ::testing::IsEmpty());
        const Persisted after = Read(machine);
        EXPECT_LE(after.Counter, brelk_matrix::kRetryLimit);
        if ((after.State == 3 && machine.ModemFirmware() == brelk_matrix::kNewFirmware) ||
            after.State == 6) {
            return start;
        }
        if (::testing::Test::HasFailure()) {
            return start;
        }
    }
    ADD_FAILURE() << "the policy did not settle";
    return 0;
}

class PowerLoss : public ::testing::Test {
protected:
    static void SetUpTestSuite() { WinplatSetTimeScale(kTimeScale); }
};

// Killed at N moments spread over a whole update (measured on the platform clock, which
// runs at the host's scale), then restarted until settled.
TEST_F(PowerLoss, KilledAnywhereTheNextStartsFinishTheUpdate) {
    const std::string bin = brelk_matrix::BinFolder();
    ULONGLONG whole = 0;
    {
        Machine machine(bin, kTimeScale);
        const ULONGLONG start = GetTickCount64();
        const auto result = machine.Update();
        whole = GetTickCount64() - start;
        ASSERT_TRUE(result.Exited && result.ExitCode == 0) << result.Output;
    }
    std::set<int> statesAtKill;
    for (int i = 1; i <= kMoments; ++i) {
        const ULONGLONG at = whole * static_cast<ULONGLONG>(i) / (kMoments + 1);
        SCOPED_TRACE("killed " + std::to_string(at) + " of " + std::to_string(whole) +
                     " platform ms into the update");
        Machine machine(bin, kTimeScale);
        const pid_t pid = machine.Spawn();
        ASSERT_GT(pid, 0);
        WinplatSleepMs(at);
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);

        EXPECT_THAT(CheckDatabase(machine.Folder()), ::testing::IsEmpty());
        const Persisted atKill = Read(machine);
        statesAtKill.insert(atKill.State);
        EXPECT_LE(atKill.Counter, brelk_matrix::kRetryLimit);
        // A fresh machine's first attempt: nothing can use up the retries.
        StartUntilSettled(machine);
        EXPECT_EQ(machine.ModemFirmware(), brelk_matrix::kNewFirmware);
        EXPECT_EQ(Read(machine).State, 3);
        if (HasFailure()) {
            return;
        }
    }
    // The moments reached from before the decision to after the outcome was stored.
    EXPECT_TRUE(statesAtKill.count(-1) || statesAtKill.count(0) || statesAtKill.count(1));
    EXPECT_TRUE(statesAtKill.count(2)) << "no kill during the download";
    EXPECT_TRUE(statesAtKill.count(3)) << "no kill after the outcome was stored";
}

// Power lost in every download: each start counts as a failed attempt, until the retries
// are exhausted; the counter stops at the limit and the modem keeps its firmware.
TEST_F(PowerLoss, KilledInEveryDownloadEndsWithRetriesExhausted) {
    Machine machine(brelk_matrix::BinFolder(), kTimeScale);
    // Each block waits 2 s of platform time: the download is still running when killed.
    const std::vector<std::string> slow = {"--faults", "flashkit.block:delay=2000x*"};
    for (int attempt = 0; attempt <= brelk_matrix::kRetryLimit; ++attempt) {
        SCOPED_TRACE("attempt " + std::to_string(attempt));
        const pid_t pid = machine.Spawn(slow);
        ASSERT_GT(pid, 0);
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::duration<double>(machine.BoundSeconds());
        // This start's download: state 2 again, with the counter it granted.
        auto downloading = [&] {
            const Persisted p = Read(machine);
            return p.State == 2 && p.Counter == attempt;
        };
        while (!downloading() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        ASSERT_TRUE(downloading()) << "the download never started";
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_THAT(CheckDatabase(machine.Folder()), ::testing::IsEmpty());
    }
    const auto result = machine.Update();
    EXPECT_EQ(result.Get("decision"), "exhausted") << result.Output;
    EXPECT_EQ(Read(machine).State, 6);
    EXPECT_EQ(Read(machine).Counter, brelk_matrix::kRetryLimit);
    EXPECT_EQ(machine.ModemFirmware(), brelk_matrix::kOldFirmware);
    EXPECT_THAT(CheckDatabase(machine.Folder()), ::testing::IsEmpty());
}

}  // namespace
