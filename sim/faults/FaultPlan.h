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
//        "modem.write.complete:drop@3x2"     let 3 completions pass, drop the next 2
//        "modem.notify:delay=5000x*"         delay every data notification 5000 ms
// COUNT defaults to 1; "x*" fires forever. VALUE is decimal or 0x-hex. MATCH may list
// alternatives: "store.write/FWUpdateProgressState|FWURetryCounter:kill@3".
//
// One action is the plan's own, at every point: "kill" ends the process at once, without
// clean-up, as a power loss would ("kill=MS": MS platform milliseconds later, while the
// caller goes on). The caller never sees it.
//
// One instance per process (this is a shared library), so a test, the host program and
// the stand-in Flashkit.dll loaded by the driver all see the same plan. The environment
// variable BRELK_FAULTS, if set, is parsed when the plan is first used.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

struct FaultRule {
    std::string point;
    std::string match;  // empty: any call at the point; "a|b": either
    std::string action;
    int64_t value = 0;
    uint32_t pass = 0;   // matching calls let through before the rule fires
    uint32_t count = 1;  // times it fires; 0 = forever
};

struct FaultHit {
    std::string action;
    int64_t value = 0;
};

class FaultPlan {
public:
    static FaultPlan& Instance();

    void Add(FaultRule rule);
    void Clear();
    // Adds the rules of a text; on a syntax error adds none and says why.
    bool Parse(std::string_view text, std::string* error);

    // Called by a component at a named point; counts the call against every rule that
    // matches and returns the action of the first one that fires.
    std::optional<FaultHit> Check(std::string_view point, std::string_view match = {});
    std::optional<FaultHit> Check(std::string_view point, int64_t match) {
        return Check(point, std::string_view(std::to_string(match)));
    }

    bool Empty() const;
    // "point/match:action" of every hit so far, in order.
    std::vector<std::string> Fired() const;
    std::string Describe() const;

private:
    struct Entry {
        FaultRule rule;
        uint32_t seen = 0;
        uint32_t fired = 0;
    };
    FaultPlan();

    mutable std::mutex m_Lock;
    std::vector<Entry> m_Entries;      // guarded by m_Lock
    std::vector<std::string> m_Fired;  // guarded by m_Lock
};

}  // namespace sim
