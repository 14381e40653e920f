#include "FaultPlan.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <signal.h>
#include <unistd.h>
#endif

#include "HostSystem.h"

namespace sim {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\n')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\n')) {
        s.remove_suffix(1);
    }
    return s;
}

bool ParseNumber(std::string_view s, int64_t* out) {
    if (s.empty()) {
        return false;
    }
    std::string text(s);
    char* end = nullptr;
    const bool negative = text[0] == '-';
    const long long v = negative ? std::strtoll(text.c_str(), &end, 0)
                                 : static_cast<long long>(std::strtoull(text.c_str(), &end, 0));
    if (end == nullptr || *end != '\0') {
        return false;
    }
    *out = v;
    return true;
}

// One rule as written, before its names are looked up.
struct RawRule {
    std::string_view point;
    std::string_view match;
    bool hasMatch = false;
    std::string_view action;
    bool hasValue = false;
    int64_t value = 0;
    uint32_t pass = 0;
    uint32_t count = 1;
};

bool SplitRule(std::string_view text, RawRule* rule, std::string* error) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        *error = "expected POINT[/MATCH]:ACTION in '" + std::string(text) + "'";
        return false;
    }
    std::string_view head = text.substr(0, colon);
    std::string_view tail = text.substr(colon + 1);
    if (const size_t slash = head.find('/'); slash != std::string_view::npos) {
        rule->match = head.substr(slash + 1);
        rule->hasMatch = true;
        head = head.substr(0, slash);
    }
    rule->point = head;

    // ACTION, then optional =VALUE, @PASS and xCOUNT, read left to right.
    size_t i = 0;
    auto countStarts = [&](size_t at) {
        return tail[at] == 'x' && at + 1 < tail.size() &&
               (tail[at + 1] == '*' || std::isdigit(static_cast<unsigned char>(tail[at + 1])));
    };
    while (i < tail.size() && tail[i] != '=' && tail[i] != '@' && !countStarts(i)) {
        ++i;
    }
    rule->action = tail.substr(0, i);
    auto readToken = [&]() {
        const size_t begin = ++i;
        // An 'x' right after a lone leading 0 is a hex prefix, not the count.
        while (i < tail.size() && tail[i] != '@' &&
               !(countStarts(i) && !(i == begin + 1 && tail[begin] == '0'))) {
            ++i;
        }
        return tail.substr(begin, i - begin);
    };
    if (i < tail.size() && tail[i] == '=') {
        rule->hasValue = true;
        if (!ParseNumber(readToken(), &rule->value)) {
            *error = "bad value in '" + std::string(text) + "'";
            return false;
        }
    }
    if (i < tail.size() && tail[i] == '@') {
        int64_t n = 0;
        if (!ParseNumber(readToken(), &n) || n < 0 || n > UINT32_MAX) {
            *error = "bad pass count in '" + std::string(text) + "'";
            return false;
        }
        rule->pass = static_cast<uint32_t>(n);
    }
    if (i < tail.size() && tail[i] == 'x') {
        const std::string_view count = tail.substr(i + 1);
        int64_t n = 0;
        if (count == "*") {
            rule->count = 0;
        } else if (ParseNumber(count, &n) && n > 0 && n <= UINT32_MAX) {
            rule->count = static_cast<uint32_t>(n);
        } else {
            *error = "bad count in '" + std::string(text) + "'";
            return false;
        }
        i = tail.size();
    }
    if (i != tail.size()) {
        *error = "unexpected text in '" + std::string(text) + "'";
        return false;
    }
    if (rule->action.empty()) {
        *error = "missing action in '" + std::string(text) + "'";
        return false;
    }
    return true;
}

constexpr std::string_view kApiPrefix = "api.";

std::string Joined(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names) {
        out += (out.empty() ? "" : ", ") + name;
    }
    return out;
}

std::string KnownPoints() {
    std::vector<std::string> names;
    for (const FaultPointInfo& info : FaultPoints()) {
        names.emplace_back(FaultPointName(info.point));
    }
    names.emplace_back(std::string(kApiPrefix) + "<API>");
    return Joined(names);
}

std::vector<std::string> ActionsOf(const FaultPointInfo& info) {
    std::vector<std::string> names;
    for (const FaultActionUse& use : info.actions) {
        names.emplace_back(FaultActionName(use.action));
    }
    names.emplace_back(FaultActionName(FaultAction::Kill));
    return names;
}

std::optional<FaultPoint> PointNamed(std::string_view name) {
    for (const FaultPointInfo& info : FaultPoints()) {
        if (FaultPointName(info.point) == name) {
            return info.point;
        }
    }
    return std::nullopt;
}

// The action's use at the point; kill, the plan's own, is taken everywhere and takes MS.
std::optional<FaultActionUse> UseAt(const FaultPointInfo& info, FaultAction action) {
    if (action == FaultAction::Kill) {
        return FaultActionUse{FaultAction::Kill, "MS", ""};
    }
    for (const FaultActionUse& use : info.actions) {
        if (use.action == action) {
            return use;
        }
    }
    return std::nullopt;
}

std::optional<FaultAction> ActionNamed(const FaultPointInfo& info, std::string_view name) {
    for (const std::string& known : ActionsOf(info)) {
        if (known == name) {
            for (size_t a = 0;; ++a) {
                if (FaultActionName(static_cast<FaultAction>(a)) == name) {
                    return static_cast<FaultAction>(a);
                }
            }
        }
    }
    return std::nullopt;
}

// Checks a match against its point's kind; a number is kept in decimal, as Check sees it.
bool NormalMatch(const FaultPointInfo& info, std::string_view match, std::string* out,
                 std::string* why) {
    const std::string name(FaultPointName(info.point));
    out->clear();
    if (info.match == FaultMatch::None) {
        *why = name + " takes no match";
        return false;
    }
    while (true) {
        const size_t bar = match.find('|');
        const std::string_view one = match.substr(0, bar);
        std::string piece(one);
        if (one.empty()) {
            *why = name + " needs a " + info.matches + " in each alternative of its match";
            return false;
        }
        if (info.match == FaultMatch::Number) {
            int64_t n = 0;
            if (!ParseNumber(one, &n)) {
                *why = name + " matches by " + info.matches + ", not '" + piece + "'";
                return false;
            }
            piece = std::to_string(n);
        } else if (info.match == FaultMatch::OneOf) {
            std::string_view words = info.matches;
            bool known = false;
            while (!known) {
                const size_t wordEnd = words.find('|');
                known = words.substr(0, wordEnd) == one;
                if (wordEnd == std::string_view::npos) {
                    break;
                }
                words.remove_prefix(wordEnd + 1);
            }
            if (!known) {
                *why = name + " matches one of " + info.matches + ", not '" + piece + "'";
                return false;
            }
        }
        *out += (out->empty() ? "" : "|") + piece;
        if (bar == std::string_view::npos) {
            return true;
        }
        match.remove_prefix(bar + 1);
    }
}

bool ResolveRule(const RawRule& raw, FaultRule* rule, std::string* why) {
    const auto point = PointNamed(raw.point);
    if (!point) {
        *why = "unknown fault point '" + std::string(raw.point) + "'";
        return false;
    }
    const FaultPointInfo& info = FaultPointInfoOf(*point);
    rule->point = *point;
    const auto action = ActionNamed(info, raw.action);
    if (!action) {
        *why = std::string(raw.point) + " has no action '" + std::string(raw.action) +
               "'; its actions: " + Joined(ActionsOf(info));
        return false;
    }
    rule->action = *action;
    if (raw.hasValue && UseAt(info, *action)->value == nullptr) {
        *why = std::string(raw.point) + ":" + std::string(raw.action) + " takes no value";
        return false;
    }
    if (raw.hasMatch && !NormalMatch(info, raw.match, &rule->match, why)) {
        return false;
    }
    rule->value = raw.value;
    rule->pass = raw.pass;
    rule->count = raw.count;
    return true;
}

bool ResolveApiRule(const RawRule& raw, ApiFaultRule* rule, std::string* why) {
    rule->api = std::string(raw.point.substr(kApiPrefix.size()));
    const std::vector<std::string> apis = FaultableApis();
    if (std::find(apis.begin(), apis.end(), rule->api) == apis.end()) {
        *why = apis.empty()
                   ? "this build faults no platform API"
                   : "the platform faults no API '" + rule->api + "'; it faults: " + Joined(apis);
        return false;
    }
    if (raw.hasMatch) {
        *why = std::string(raw.point) + " takes no match";
        return false;
    }
    if (raw.action != FaultActionName(FaultAction::Fail)) {
        *why = std::string(raw.point) + " has no action '" + std::string(raw.action) +
               "'; its action: fail";
        return false;
    }
    if (raw.hasValue) {
        if (raw.value < 0 || raw.value > UINT32_MAX) {
            *why = "bad error code for " + std::string(raw.point);
            return false;
        }
        rule->error = static_cast<uint32_t>(raw.value);
    }
    rule->pass = raw.pass;
    rule->count = raw.count;
    return true;
}

// "@PASS" and "xCOUNT" as the text form writes them, each left out at its default.
std::string PassAndCount(uint32_t pass, uint32_t count) {
    std::string out = pass != 0 ? "@" + std::to_string(pass) : "";
    if (count == 0) {
        out += "x*";
    } else if (count != 1) {
        out += "x" + std::to_string(count);
    }
    return out;
}

std::string RuleText(const FaultRule& r) {
    std::string out(FaultPointName(r.point));
    if (!r.match.empty()) {
        out += "/" + r.match;
    }
    out += ":" + std::string(FaultActionName(r.action));
    if (r.value != 0) {
        out += "=" + std::to_string(r.value);
    }
    return out + PassAndCount(r.pass, r.count);
}

std::string ApiRuleText(const ApiFaultRule& r) {
    return std::string(kApiPrefix) + r.api + ":fail=" + std::to_string(r.error) +
           PassAndCount(r.pass, r.count);
}

}  // namespace

// The platform's API faults, in one place: what the host system can fault, setting a
// rule, and how often a rule has failed a call.
std::vector<std::string> FaultableApis() {
    return Host().Faults().Faultable();
}

namespace {

// Sets the rule, or lifts it: a rule that fails no call is how the platform forgets one.
void ApplyApiRule(const ApiFaultRule& rule, bool set) {
    const unsigned failCount = rule.count == 0 ? ApiFaults::kAlways : rule.count;
    (void)Host().Faults().Fail(rule.api, set ? rule.pass : 0, set ? failCount : 0,
                               static_cast<DWORD>(rule.error));
}
unsigned ApiFailures(const ApiFaultRule& rule) {
    return Host().Faults().Failures(rule.api);
}

// An empty match takes every call; "a|b" takes either.
bool Matches(std::string_view pattern, std::string_view match) {
    if (pattern.empty()) {
        return true;
    }
    while (true) {
        const size_t bar = pattern.find('|');
        if (pattern.substr(0, bar) == match) {
            return true;
        }
        if (bar == std::string_view::npos) {
            return false;
        }
        pattern.remove_prefix(bar + 1);
    }
}

[[noreturn]] void KillProcess() {
#ifdef _WIN32
    TerminateProcess(GetCurrentProcess(), 137);
#else
    ::kill(getpid(), SIGKILL);
#endif
    std::_Exit(137);
}

void KillAfter(int64_t ms) {
    if (ms <= 0) {
        KillProcess();
    }
    std::thread([ms] {
        Host().Time().Sleep(static_cast<ULONGLONG>(ms));
        KillProcess();
    }).detach();
}

}  // namespace

bool ParseFaultPlan(std::string_view text, std::vector<FaultRule>* rules,
                    std::vector<ApiFaultRule>* apiRules, std::string* error) {
    std::vector<FaultRule> parsed;
    std::vector<ApiFaultRule> parsedApi;
    std::string errors;
    bool unknownPoint = false;
    while (!text.empty()) {
        const size_t end = text.find(';');
        const std::string_view part = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (part.empty()) {
            continue;
        }
        RawRule raw;
        std::string why;
        if (SplitRule(part, &raw, &why)) {
            if (raw.point.substr(0, kApiPrefix.size()) == kApiPrefix) {
                ApiFaultRule rule;
                if (ResolveApiRule(raw, &rule, &why)) {
                    for (const auto& other : parsedApi) {
                        if (other.api == rule.api) {
                            why = "a second rule for " + std::string(raw.point) +
                                  " (the platform keeps one per API)";
                        }
                    }
                }
                if (why.empty()) {
                    parsedApi.push_back(std::move(rule));
                    continue;
                }
            } else {
                FaultRule rule{};
                if (ResolveRule(raw, &rule, &why)) {
                    parsed.push_back(std::move(rule));
                    continue;
                }
                unknownPoint = unknownPoint || !PointNamed(raw.point);
            }
            why += " in '" + std::string(part) + "'";
        }
        errors += (errors.empty() ? "" : "\n") + why;
    }
    if (!errors.empty()) {
        if (unknownPoint) {
            errors += "\nknown points: " + KnownPoints();
        }
        if (error != nullptr) {
            *error = errors;
        }
        return false;
    }
    rules->insert(rules->end(), parsed.begin(), parsed.end());
    apiRules->insert(apiRules->end(), parsedApi.begin(), parsedApi.end());
    return true;
}

FaultPlan::FaultPlan() {
    if (const char* env = std::getenv("BRELK_FAULTS"); env != nullptr && *env != '\0') {
        std::string error;
        // Going on without the plan would pass a faulted run off as a clean one.
        if (!Parse(env, &error)) {
            std::fprintf(stderr, "BRELK_FAULTS refused:\n%s\n", error.c_str());
            std::_Exit(2);
        }
    }
}

FaultPlan& FaultPlan::Instance() {
    static FaultPlan plan;
    return plan;
}

void FaultPlan::Add(FaultRule rule) {
    const FaultPointInfo& info = FaultPointInfoOf(rule.point);
    std::string match;
    std::string why;
    if (!UseAt(info, rule.action)) {
        why = "takes no action " + std::string(FaultActionName(rule.action));
    } else if (!rule.match.empty() && !NormalMatch(info, rule.match, &match, &why)) {
        why = "match: " + why;
    }
    if (!why.empty()) {
        std::fprintf(stderr, "FaultPlan::Add: %s %s\n",
                     std::string(FaultPointName(rule.point)).c_str(), why.c_str());
        std::abort();
    }
    rule.match = std::move(match);
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Entries.push_back(Entry{std::move(rule)});
}

void FaultPlan::Clear() {
    std::lock_guard<std::mutex> lock(m_Lock);
    for (const auto& rule : m_ApiRules) {
        ApplyApiRule(rule, false);
    }
    m_ApiRules.clear();
    m_Entries.clear();
    m_Fired.clear();
}

bool FaultPlan::Parse(std::string_view text, std::string* error) {
    std::vector<FaultRule> rules;
    std::vector<ApiFaultRule> apiRules;
    if (!ParseFaultPlan(text, &rules, &apiRules, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    for (auto& rule : rules) {
        m_Entries.push_back(Entry{std::move(rule)});
    }
    for (auto& rule : apiRules) {
        std::erase_if(m_ApiRules, [&](const ApiFaultRule& r) { return r.api == rule.api; });
        ApplyApiRule(rule, true);
        m_ApiRules.push_back(std::move(rule));
    }
    return true;
}

std::optional<FaultHit> FaultPlan::Check(FaultPoint point, std::string_view match) {
    std::unique_lock<std::mutex> lock(m_Lock);
    std::optional<FaultHit> hit;
    std::optional<int64_t> killIn;
    for (auto& entry : m_Entries) {
        const FaultRule& rule = entry.rule;
        if (rule.point != point || !Matches(rule.match, match)) {
            continue;
        }
        const uint32_t index = entry.seen++;
        if (hit || index < rule.pass) {
            continue;
        }
        if (rule.count != 0 && entry.fired >= rule.count) {
            continue;
        }
        ++entry.fired;
        std::string line(FaultPointName(point));
        if (!match.empty()) {
            line += "/" + std::string(match);
        }
        m_Fired.push_back(line + ":" + std::string(FaultActionName(rule.action)));
        // A later kill leaves the call to the other rules: it goes on as if none came.
        if (rule.action == FaultAction::Kill) {
            killIn = rule.value;
            if (rule.value <= 0) {
                break;
            }
            continue;
        }
        hit = FaultHit{rule.action, rule.value};
    }
    if (killIn) {
        lock.unlock();
        KillAfter(*killIn);
    }
    return hit;
}

bool FaultPlan::Empty() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Entries.empty() && m_ApiRules.empty();
}

std::vector<std::string> FaultPlan::Fired() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Fired;
}

std::vector<std::string> FaultPlan::Unfired() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::vector<std::string> out;
    for (const auto& entry : m_Entries) {
        if (entry.fired == 0) {
            out.push_back(RuleText(entry.rule));
        }
    }
    for (const auto& rule : m_ApiRules) {
        if (ApiFailures(rule) == 0) {
            out.push_back(ApiRuleText(rule));
        }
    }
    return out;
}

std::string FaultPlan::Describe() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::string out;
    for (const auto& entry : m_Entries) {
        out += RuleText(entry.rule) + "; ";
    }
    for (const auto& rule : m_ApiRules) {
        out += ApiRuleText(rule) + "; ";
    }
    return out;
}

}  // namespace sim
