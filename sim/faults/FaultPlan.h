#pragma once
// The fault plan shared by the simulated modem, the flash library stand-in and the
// framework host. A rule names a point, optionally a match on the call's detail (an item
// index, a command id, ...), lets a number of matching calls pass, then fires a number
// of times; the caller turns the action into the failure a real component would show,
// on its normal (often asynchronous) path.
//
// Text form, rules separated by ';':
//     POINT[/MATCH]:ACTION[=VALUE][@PASS][xCOUNT]
//   e.g. "flashkit.item/2:status1"           item 2 reports status 1
//        "modem.complete/write:drop@3x2"     let 3 write completions pass, drop the next 2
//        "modem.notify:delay=5000x*"         delay every data notification 5000 ms
// COUNT defaults to 1; "x*" fires forever. VALUE is decimal or 0x-hex. MATCH may list
// alternatives: "store.write/FWUpdateProgressState|FWURetryCounter:kill@3".
//
// The names are typed (FaultPoints.h holds every component's table): a plan that names
// an unknown point, an action its point does not take, a match of the wrong kind or a
// value for an action that takes none is refused whole, and the error lists what the
// point does take. `brelk-sim faults` prints the tables.
//
// One action is the plan's own, at every point: "kill" ends the process at once, without
// clean-up, as a power loss would ("kill=MS": MS platform milliseconds later, while the
// caller goes on). The caller never sees it.
//
// The platform's own APIs take rules in the same text, as "api.NAME:fail[=ERROR][@PASS]
// [xCOUNT]": the first PASS calls of NAME succeed, the next COUNT fail as Windows fails
// them, with last error ERROR (ERROR_NOT_ENOUGH_MEMORY when not given); "x*" fails every
// later call. NAME must be one the platform faults; one rule per API, no MATCH. Those
// rules go straight to the platform when the plan is parsed, and Clear lifts them.
//
// One instance per process (this is a shared library), so a test, the host program and
// the stand-in Flashkit.dll loaded by the driver all see the same plan. The environment
// variable BRELK_FAULTS, if set, is parsed when the plan is first used; a bad one ends
// the process with exit code 2.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FaultPoints.h"

namespace sim {

struct FaultRule {
    FaultPoint point;
    std::string match;  // empty: any call at the point; "a|b": either
    FaultAction action;
    int64_t value = 0;
    uint32_t pass = 0;   // matching calls let through before the rule fires
    uint32_t count = 1;  // times it fires; 0 = forever
};

struct ApiFaultRule {
    std::string api;
    uint32_t error = 8;  // ERROR_NOT_ENOUGH_MEMORY
    uint32_t pass = 0;
    uint32_t count = 1;  // 0 = forever
};

struct FaultHit {
    FaultAction action;
    int64_t value = 0;
};

// Reads a plan's text; refuses it whole when any rule is bad, naming every bad rule in
// *error (one a line). Adds nothing anywhere: the host program checks a plan with it
// before it starts a run.
[[nodiscard]] bool ParseFaultPlan(std::string_view text, std::vector<FaultRule>* rules,
                                  std::vector<ApiFaultRule>* apiRules, std::string* error);

class FaultPlan {
public:
    static FaultPlan& Instance();

    // A rule whose action or match its point does not take is a caller's bug: it aborts.
    void Add(FaultRule rule);
    void Clear();
    // Adds the rules of a text; on an error adds none and says why.
    [[nodiscard]] bool Parse(std::string_view text, std::string* error);

    // Called by a component at its point; counts the call against every rule that
    // matches and returns the action of the first one that fires.
    std::optional<FaultHit> Check(FaultPoint point, std::string_view match = {});
    std::optional<FaultHit> Check(FaultPoint point, int64_t match) {
        return Check(point, std::string_view(std::to_string(match)));
    }

    bool Empty() const;
    // "point/match:action" of every hit so far, in order.
    std::vector<std::string> Fired() const;
    // The rules, API rules included, that have not fired once, in their text form.
    std::vector<std::string> Unfired() const;
    std::string Describe() const;

private:
    struct Entry {
        FaultRule rule;
        uint32_t seen = 0;
        uint32_t fired = 0;
    };
    FaultPlan();

    mutable std::mutex m_Lock;
    std::vector<Entry> m_Entries;          // guarded by m_Lock
    std::vector<ApiFaultRule> m_ApiRules;  // guarded by m_Lock
    std::vector<std::string> m_Fired;      // guarded by m_Lock
};

}  // namespace sim
