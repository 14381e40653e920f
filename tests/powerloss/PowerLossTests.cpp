// Power lost at any point: the host process is killed (SIGKILL, no clean-up) at evenly
// spread moments of an update, from device add to release, and at named moments of every
// phase (a "kill" rule of the fault plan), and the machine is started again and again
// until the retry policy settles. Nothing persisted may be corrupt, the
// counter may never pass the limit, and every sequence ends with the modem on the new
// firmware or with retries exhausted.
#include <windows.h>
#include <signal.h>
#include <sys/wait.h>
#include <winplat/clock.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "PersistedValues.h"
#include "TestFolders.h"
#include "UpdateRun.h"

namespace brelk::test {
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

// Two reads, not one snapshot, while a start may be writing: the counter first. A start
// writes its counter after its first states and before state 2, so a state read after
// it is never older than the counter; read the other way round, the last start's
// state 2 with this start's counter looked like this start's download.
Persisted Read(const Machine& machine) {
    const int counter = PersistedValue(machine.Folder(), persisted::kRetryCounterText);
    const int state = PersistedValue(machine.Folder(), persisted::kProgressStateText);
    return {state, counter};
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
        if ((after.State == persisted::kStateCompleted &&
             machine.ModemFirmware() == brelk_matrix::kNewFirmware) ||
            after.State == persisted::kStateRetriesExhausted) {
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
    const std::string bin = BinFolder();
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
        EXPECT_EQ(Read(machine).State, persisted::kStateCompleted);
        if (HasFailure()) {
            return;
        }
    }
    // The moments reached from before the decision to after the outcome was stored.
    EXPECT_TRUE(statesAtKill.count(-1) || statesAtKill.count(0) || statesAtKill.count(1));
#ifndef BRELK_SANITIZED
    // A sanitized process spends real time (start-up, checks) that the scaled clock
    // multiplies, so where 8 evenly spread moments land varies from run to run; there the
    // named moments of KilledInEveryPhase are what reach the download and the end.
    EXPECT_TRUE(statesAtKill.count(2)) << "no kill during the download";
    EXPECT_TRUE(statesAtKill.count(3)) << "no kill after the outcome was stored";
#endif
}

// The moments of every phase of an update at which the host is killed, as fault-plan
// rules: the first start of a machine, whose state and counter are staged first.
// The persisted progress states the moments stage.
constexpr int kNone = persisted::kStateNone;
constexpr int kPending = persisted::kStatePending;
constexpr int kDownloading = persisted::kStateDownloading;
constexpr int kFailed = persisted::kStateFailed;
constexpr int kExhausted = persisted::kStateRetriesExhausted;

struct KillMoment {
    const char* Phase;
    const char* Rule;
    int State = 0, Counter = 0;  // staged before the start
};
// The driver's writes of the two policy values; a fresh machine's defaults are not theirs.
#define POLICY_WRITE "store.write/FWUpdateProgressState|FWURetryCounter"
const KillMoment kKillMoments[] = {
    {"configuration", "host.store.retrieve:kill"},
    {"configuration", "modem.session.open/command:kill"},
    {"configuration", "modem.session.open/command:kill@1"},
    {"decision writes", POLICY_WRITE ":kill", kFailed, 0},
    {"decision writes", POLICY_WRITE ":kill@1", kFailed, 0},
    {"decision writes", POLICY_WRITE ":kill@2", kFailed, 0},
    {"decision writes", POLICY_WRITE ":kill", kDownloading, 1},
    {"decision writes", POLICY_WRITE ":kill@1", kDownloading, 1},
    {"decision writes", POLICY_WRITE ":kill@2", kDownloading, 1},
    {"decision writes", POLICY_WRITE ":kill", kNone, 0},
    {"decision writes", POLICY_WRITE ":kill@1", kExhausted, 3},
    {"decision writes", "host.store.retrieve:kill@3"},
    {"session open", "modem.session.open/data:kill"},
    {"session open", "modem.session.open/data:kill", kPending, 0},
    {"command 4", "modem.command/4:kill"},
    {"command 4", "modem.command/4:kill", kFailed, 1},
    {"state 2", "store.write/FWUpdateProgressState:kill@1"},
    {"state 2", "store.write/FWUpdateProgressState:kill@3", kFailed, 0},
    {"state 2", "flashkit.boot_call:kill"},
    {"boot", "flashkit.boot:kill"},
    {"boot", "flashkit.boot:kill", kDownloading, 1},
    {"boot", "modem.write:kill"},
    {"boot", "modem.write:kill@1"},
    {"boot", "modem.write:kill@2"},
    {"each item", "flashkit.download_call/1:kill"},
    {"each item", "flashkit.item/1:kill"},
    {"each item", "flashkit.block/1:kill@1"},
    {"each item", "flashkit.block/1:kill@3"},
    {"each item", "flashkit.block/1:kill@5"},
    {"each item", "flashkit.download_call/2:kill"},
    {"each item", "flashkit.item/2:kill"},
    {"each item", "flashkit.block/2:kill@1"},
    {"each item", "flashkit.block/2:kill@2"},
    {"each item", "flashkit.item/2:kill", kFailed, 1},
    {"end of process", "flashkit.end:kill"},
    {"end of process", "flashkit.end:kill", kPending, 1},
    {"end of process", "flashkit.end:kill=5"},
    {"completion writes", "store.write/FWURetryCounter:kill"},
    {"completion writes", "store.write/FWURetryCounter:kill@1", kFailed, 0},
    {"completion writes", "store.write/FWUpdateProgressState:kill@2"},
    {"completion writes", "store.write/PrevFwVersion:kill"},
    {"completion writes", "store.write/FWUpdateProgressState:kill=1@2"},
    {"final pause", "store.write/FWUpdateProgressState:kill=1000@2"},
    {"final pause", "store.write/FWUpdateProgressState:kill=4000@2"},
    {"final pause", "store.write/FWUpdateProgressState:kill=8000@2"},
    {"final pause", "store.write/FWUpdateProgressState:kill=6000@3", kFailed, 1},
    {"final pause", "modem.session.open/command:kill@1"},
    {"release", "modem.command/5:kill"},
    {"release", "modem.session.close/data:kill"},
    {"release", "modem.session.close/command:kill"},
    {"release", "modem.session.close/command:kill@2"},
};
#undef POLICY_WRITE

// Killed at each named moment, then restarted until settled; every phase must be reached.
TEST_F(PowerLoss, KilledInEveryPhaseTheNextStartsFinishTheUpdate) {
    const std::string bin = BinFolder();
    std::map<std::string, int> reached;
    [[maybe_unused]] size_t phasesRun = 0;
    for (const KillMoment& m : kKillMoments) {
        reached.emplace(m.Phase, 0);
#ifdef BRELK_SANITIZED
        // Each sequence costs a few sanitized processes: the first moment of each phase.
        if (reached.size() == phasesRun) {
            continue;
        }
        ++phasesRun;
#endif
        SCOPED_TRACE(std::string(m.Phase) + ": " + m.Rule + " (staged " + std::to_string(m.State) +
                     "/" + std::to_string(m.Counter) + ")");
        Machine machine(bin, kTimeScale);
        if (m.State != 0 || m.Counter != 0) {
            ASSERT_TRUE(machine.Preset(persisted::kProgressStateText, m.State));
            ASSERT_TRUE(machine.Preset(persisted::kRetryCounterText, m.Counter));
        }
        const auto killed = machine.Update({"--faults", m.Rule});
        EXPECT_FALSE(killed.Hung) << killed.Output;
        if (killed.Signal == SIGKILL) {
            ++reached[m.Phase];
        } else {
            ADD_FAILURE() << "the kill never came (exit code " << killed.ExitCode << ")\n"
                          << killed.Output;
        }
        EXPECT_THAT(CheckDatabase(machine.Folder()), ::testing::IsEmpty());
        EXPECT_LE(Read(machine).Counter, brelk_matrix::kRetryLimit);
        StartUntilSettled(machine);
        if (m.State != 6) {
            EXPECT_EQ(machine.ModemFirmware(), brelk_matrix::kNewFirmware);
            EXPECT_EQ(Read(machine).State, persisted::kStateCompleted);
        }
        if (HasFailure()) {
            return;
        }
    }
    std::cout << "phases reached:";
    for (const auto& [phase, n] : reached) {
        std::cout << " " << phase << " (" << n << ")";
        EXPECT_GT(n, 0) << "never killed in phase " << phase;
    }
    std::cout << "\n";
}

int Boots(const Machine& machine) {
    std::ifstream in(machine.Folder() + "/modem/boots");
    int n = 0;
    in >> n;
    return n;
}

// A store that loses the last write at a power loss (the registry flushes lazily). Killed
// after the decision's counter write, the start is not counted; killed in every download,
// each start loses its state 2 and still counts, so the downloads stay at limit + 1.
TEST_F(PowerLoss, LostLastWriteKeepsTheDownloadsAtTheLimit) {
    const std::string lazy = "store.write/FWUpdateProgressState|FWURetryCounter:lazy=1x*";
    {
        Machine machine(BinFolder(), kTimeScale);
        ASSERT_TRUE(machine.Preset(persisted::kProgressStateText, persisted::kStateFailed));
        ASSERT_TRUE(machine.Preset(persisted::kRetryCounterText, 0));
        // 4, 1, counter 1 written; killed before state 2, the counter write is lost.
        const auto killed = machine.Update(
            {"--faults", "store.write/FWUpdateProgressState|FWURetryCounter:kill@3;" + lazy});
        EXPECT_EQ(killed.Signal, SIGKILL) << killed.Output;
        const auto next = machine.Update();
        EXPECT_EQ(next.Int("state_before"), 1) << next.Output;
        EXPECT_EQ(next.Int("counter_before"), 0);
        EXPECT_EQ(next.Int("counter_prepared"), 1);
    }
    Machine machine(BinFolder(), kTimeScale);
    for (int start = 0; start < brelk_matrix::kRetryLimit + 3; ++start) {
        SCOPED_TRACE("start " + std::to_string(start + 1));
        const auto result = machine.Update({"--faults", "flashkit.item/1:kill;" + lazy});
        EXPECT_FALSE(result.Hung);
        EXPECT_THAT(CheckDatabase(machine.Folder()), ::testing::IsEmpty());
    }
    EXPECT_EQ(Boots(machine), brelk_matrix::kRetryLimit + 1);
    EXPECT_EQ(Read(machine).State, persisted::kStateRetriesExhausted);
    EXPECT_EQ(Read(machine).Counter, brelk_matrix::kRetryLimit);
}

// Power lost in every download: each start counts as a failed attempt, until the retries
// are exhausted; the counter stops at the limit and the modem keeps its firmware.
TEST_F(PowerLoss, KilledInEveryDownloadEndsWithRetriesExhausted) {
    Machine machine(BinFolder(), kTimeScale);
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
            return p.State == persisted::kStateDownloading && p.Counter == attempt;
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
    EXPECT_EQ(Read(machine).State, persisted::kStateRetriesExhausted);
    EXPECT_EQ(Read(machine).Counter, brelk_matrix::kRetryLimit);
    EXPECT_EQ(machine.ModemFirmware(), brelk_matrix::kOldFirmware);
    EXPECT_THAT(CheckDatabase(machine.Folder()), ::testing::IsEmpty());
}

}  // namespace
}  // namespace brelk::test
