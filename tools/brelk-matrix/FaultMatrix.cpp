#include "FaultMatrix.h"

#include <cctype>

#include "PersistedValues.h"

namespace brelk_matrix {

namespace {

// What the modem is sent on the way: the decision's two queries, command 4, the final
// command and command 5.
constexpr const char* kAll = "q1 q3 s4 f1 s5";
constexpr const char* kQueries = "q1 q3";
// The persisted progress states the rows expect.
constexpr int kPending = persisted::kStatePending;
constexpr int kCompleted = persisted::kStateCompleted;
constexpr int kFailed = persisted::kStateFailed;
constexpr Expect kUpdated = {"upgrade", kCompleted, 0, true, kAll, 2};
// Counted at the next start.
constexpr Expect kNotStarted = {"failed", kPending, 0, false, kQueries, 0};
constexpr Expect Failed(int items) {
    return {"upgrade", kFailed, 0, false, kAll, items};
}
constexpr Expect Updated(const char* commands) {
    return {"upgrade", kCompleted, 0, true, commands, 2};
}

// The image: item 0 (class 2) is not downloaded, item 1 (class 4, six 16 KiB blocks)
// goes through the fls call, item 2 (class 5) through the cust call. Delays above the
// driver's 10 s and 15 s waits make a completion late rather than lost.
const std::vector<Row> kRows = {
    // Device add. A store that cannot be opened leaves nothing persisted; the decision
    // then finds no state and fails the start.
    {"configuration", "host.store.retrieve:fail", {"failed", -1, -1, false, "", 0}},
    {"configuration",
     "host.device.qi/IWDFPropertyStoreFactory:fail=0x80004002",
     {"failed", -1, -1, false, "", 0}},
    {"configuration", "host.device.instanceid:fail", kUpdated},  // no device key: no force

    // The decision's two queries: their answers are not used, so no fault there stops it.
    {"decision", "modem.session.open/command:refuse", Updated("q3 s4 f1 s5")},
    {"decision", "modem.session.open/command:fail", Updated("q3 s4 f1 s5")},
    {"decision", "modem.complete/open-command:drop", Updated("q3 s4 f1 s5")},
    {"decision", "modem.complete/open-command:delay=20000", Updated("q3 s4 f1 s5")},
    {"decision", "modem.command/1:refuse", Updated("q3 s4 f1 s5")},
    {"decision", "modem.command/1:fail", kUpdated},
    {"decision", "modem.command/3:refuse", Updated("q1 s4 f1 s5")},
    {"decision", "modem.command/3:fail", kUpdated},
    {"decision", "modem.response/1:oversize=5000", kUpdated},
    {"decision", "modem.response/1:empty", kUpdated},
    {"decision", "modem.response/1:missing", kUpdated},
    {"decision", "modem.response/3:oversize=4096", kUpdated},
    {"decision", "modem.complete/query:drop", kUpdated},
    {"decision", "modem.complete/query:delay=20000", kUpdated},
    {"decision", "modem.complete/close-command:drop", kUpdated},
    {"decision", "modem.session.close/command:refuse", kUpdated},
    {"decision", "modem.session.close/command:fail", kUpdated},
    {"decision", "modem.silent:on", {"failed", kPending, 0, false, "", 0}},

    // The flash service's data session.
    {"session open", "modem.session.open/data:refuse", kNotStarted},
    {"session open", "modem.session.open/data:fail", kNotStarted},
    {"session open", "modem.complete/open-data:drop", kNotStarted},
    {"session open", "modem.complete/open-data:delay=20000", kNotStarted},
    {"session open", "modem.silent:on@6", kNotStarted},

    // Command 4. Its completion's status is not examined: a failed one still downloads.
    {"command 4", "modem.session.open/command:refuse@2", kNotStarted},
    {"command 4", "modem.complete/open-command:drop@2", kNotStarted},
    {"command 4", "modem.command/4:refuse", kNotStarted},
    {"command 4", "modem.command/4:fail", kUpdated},
    {"command 4", "modem.complete/set:drop", {"failed", kPending, 0, false, "q1 q3 s4", 0}},
    {"command 4", "modem.complete/set:delay=20000", {"failed", kPending, 0, false, "q1 q3 s4", 0}},
    // The last retry the limit allows: the next start finds retries exhausted.
    {"command 4",
     "modem.command/4:refuse",
     {"failed", kPending, 3, false, kQueries, 0},
     kFailed,
     2},

    // Booting the loader: refusals, status 1 and the library's silence fail the attempt;
    // transport damage the loader cannot answer fails it too.
    {"boot", "flashkit.boot_call:refuse", Failed(0)},
    {"boot", "flashkit.boot:status1", Failed(0)},
    {"boot", "flashkit.boot:hang", Failed(0)},
    {"boot", "flashkit.boot:delay=5000", kUpdated},
    {"boot", "modem.write:fail", Failed(0)},
    {"boot", "modem.write:corrupt", Failed(0)},
    {"boot", "modem.complete/write:drop", kUpdated},
    {"boot", "modem.complete/write:delay=20000", kUpdated},
    {"boot", "modem.notify:drop", Failed(0)},
    {"boot", "modem.notify:duplicate", kUpdated},
    {"boot", "modem.notify:split", kUpdated},
    {"boot", "modem.notify:oversize=64", kUpdated},
    {"boot", "modem.notify:empty", Failed(0)},
    {"boot", "modem.notify:missing", Failed(0)},
    {"boot", "modem.notify:corrupt", Failed(0)},
    // Every reply three times later than the library's 20 s for the handshake: a delay
    // equal to that budget raced it and sometimes let the boot and an item through.
    {"boot", "modem.notify:delay=60000x*", Failed(0)},
    {"boot", "modem.silent:on@10", {"upgrade", kFailed, 0, false, "q1 q3 s4", 0}},

    // Each item. A lost write or reply inside an item is sent again by the library.
    {"item 1", "flashkit.download_call/1:refuse", Failed(0)},
    {"item 1", "flashkit.item/1:status1", Failed(0)},
    {"item 1", "flashkit.item/1:hang", Failed(0)},
    {"item 1", "flashkit.item/1:corrupt=100", Failed(0)},
    {"item 1", "flashkit.item/1:delay=5000", kUpdated},
    {"item 1", "flashkit.block/1:delay=2000", kUpdated},
    {"item 1", "modem.write:fail@8", kUpdated},
    {"item 1", "modem.notify:drop@8", kUpdated},
    {"item 1", "flashkit.item/1:status1", {"upgrade", kFailed, 3, false, kAll, 0}, kFailed, 2},
    {"item 2", "flashkit.download_call/2:refuse", Failed(1)},
    {"item 2", "flashkit.item/2:status1", Failed(1)},
    {"item 2", "flashkit.item/2:hang", Failed(1)},
    {"item 2", "flashkit.item/2:corrupt=100", Failed(1)},
    {"item 2", "flashkit.item/2:delay=5000", kUpdated},
    {"item 2", "flashkit.block/2:delay=2000", kUpdated},

    // The end of process commits the image; refused, nothing is committed.
    {"end of process", "flashkit.end:refuse", Failed(2)},

    // Command 5 at the release, and the final command after the download: neither
    // changes the outcome.
    {"command 5", "modem.command/5:refuse", Updated("q1 q3 s4 f1")},
    {"command 5", "modem.command/5:fail", kUpdated},
    {"command 5", "modem.complete/set:drop@2", kUpdated},
    {"final command", "modem.command/1:refuse@1", Updated("q1 q3 s4 s5")},
    {"final command", "modem.command/1:fail@1", kUpdated},
    {"final command", "modem.session.open/command:refuse@3", Updated("q1 q3 s4 s5")},
    {"final command", "modem.complete/set:drop@1", kUpdated},
    {"release", "modem.session.close/data:refuse", kUpdated},
    {"release", "modem.session.close/data:fail", kUpdated},
    {"release", "modem.complete/close-data:drop", kUpdated},
};

std::string PointOf(const std::string& plan) {
    return plan.substr(0, plan.find_first_of("/:"));
}

}  // namespace

const std::vector<Row>& Rows() {
    return kRows;
}

const std::vector<std::string>& Phases() {
    static const std::vector<std::string> kPhases = {
        "configuration", "decision",       "session open", "command 4",     "boot",   "item 1",
        "item 2",        "end of process", "command 5",    "final command", "release"};
    return kPhases;
}

std::string RowName(const Row& row) {
    std::string name;
    auto add = [&](const std::string& text) {
        for (char c : text) {
            const bool word = std::isalnum(static_cast<unsigned char>(c)) != 0;
            if (word) {
                name += c;
            } else if (!name.empty() && name.back() != '_') {
                name += '_';
            }
        }
    };
    add(row.Phase);
    name += '_';
    add(row.Plan);
    if (row.PresetState >= 0) {
        add("_last_retry");
    }
    while (!name.empty() && name.back() == '_') {
        name.pop_back();
    }
    return name;
}

RowResult RunRow(const Row& row, const std::string& binFolder, double timeScale) {
    RowResult result;
    Machine machine(binFolder, timeScale);
    auto& bad = result.Mismatches;
    if (row.PresetState >= 0 &&
        !(machine.Preset(persisted::kProgressStateText, row.PresetState) &&
          machine.Preset(persisted::kRetryCounterText, row.PresetCounter))) {
        bad.push_back("cannot stage the persisted values");
        return result;
    }
    result.First = machine.Update({"--faults", row.Plan});
    const StartResult& first = result.First;
    const Expect& want = row.First;
    auto expect = [&](const std::string& what, const std::string& got, const std::string& wanted) {
        if (got != wanted) {
            bad.push_back("first start, " + what + ": got '" + got + "', want '" + wanted + "'");
        }
    };
    if (!first.Exited) {
        bad.push_back(first.Hung ? "first start hung"
                                 : "first start ended by signal " + std::to_string(first.Signal));
    } else {
        if (!first.Clean()) {
            bad.push_back("first start: sanitizer report");
        }
        expect("exit code", std::to_string(first.ExitCode), want.ModemNew ? "0" : "1");
        expect("problems", first.Get("problems"), "");
        expect("decision", first.Get("decision"), want.Decision);
        expect("state", first.Get("state_after"), std::to_string(want.State));
        expect("counter", first.Get("counter_after"), std::to_string(want.Counter));
        expect("modem", first.Get("modem_after"), want.ModemNew ? kNewFirmware : kOldFirmware);
        expect("commands", ShortCommands(first.Get("commands")), want.Commands);
        expect("items", first.Get("items_done"), std::to_string(want.Items));
        // A fault that never struck proves nothing about its phase.
        const std::string fired = first.Get("faults_fired");
        if (fired.rfind(PointOf(row.Plan), 0) != 0) {
            bad.push_back("first start: the fault never fired (" + fired + ")");
        }
    }
    for (const auto& p : CheckDatabase(machine.Folder())) {
        bad.push_back("after the first start: " + p);
    }

    // The next start, fault-free, from whatever the first one persisted.
    result.NextWant = NextStart(first.Int("state_after"), first.Int("counter_after"),
                                first.Get("modem_after") == kNewFirmware);
    result.Next = machine.Update();
    for (const auto& p : CheckPolicyStart(result.Next, result.NextWant)) {
        bad.push_back("next start, " + p);
    }
    for (const auto& p : CheckDatabase(machine.Folder())) {
        bad.push_back("after the next start: " + p);
    }
    return result;
}

std::string Summary(const StartResult& s) {
    if (!s.Exited) {
        return s.Hung ? "HUNG" : "killed by signal " + std::to_string(s.Signal);
    }
    std::string text = s.Get("decision");
    if (s.Get("decision") == "upgrade" || s.Get("decision") == "exhausted") {
        text += " c" + s.Get("counter_prepared");
    }
    text +=
        " -> " + s.Get("state_after") + "/" + s.Get("counter_after") + ", " + s.Get("modem_after");
    if (s.Get("decision") == "upgrade") {
        text += ", " + s.Get("items_done") + " items";
    }
    const std::string sent = ShortCommands(s.Get("commands"));
    text += ", sent " + (sent.empty() ? std::string("-") : sent);
    return text;
}

}  // namespace brelk_matrix
