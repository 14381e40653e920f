#include "FaultPlan.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
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

bool ParseRule(std::string_view text, FaultRule* rule, std::string* error) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos || colon == 0) {
        *error = "expected POINT[/MATCH]:ACTION in '" + std::string(text) + "'";
        return false;
    }
    std::string_view head = text.substr(0, colon);
    std::string_view tail = text.substr(colon + 1);
    if (const size_t slash = head.find('/'); slash != std::string_view::npos) {
        rule->match = std::string(head.substr(slash + 1));
        head = head.substr(0, slash);
    }
    rule->point = std::string(head);

    // ACTION, then optional =VALUE, @PASS and xCOUNT, read left to right.
    size_t i = 0;
    auto countStarts = [&](size_t at) {
        return tail[at] == 'x' && at + 1 < tail.size() &&
               (tail[at + 1] == '*' || std::isdigit(static_cast<unsigned char>(tail[at + 1])));
    };
    while (i < tail.size() && tail[i] != '=' && tail[i] != '@' && !countStarts(i)) {
        ++i;
    }
    const std::string_view action = tail.substr(0, i);
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
        if (!ParseNumber(readToken(), &rule->value)) {
            *error = "bad value in '" + std::string(text) + "'";
            return false;
        }
    }
    if (i < tail.size() && tail[i] == '@') {
        int64_t n = 0;
        if (!ParseNumber(readToken(), &n) || n < 0) {
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
        } else if (ParseNumber(count, &n) && n > 0) {
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
    if (action.empty()) {
        *error = "missing action in '" + std::string(text) + "'";
        return false;
    }
    rule->action = std::string(action);
    return true;
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

FaultPlan::FaultPlan() {
    if (const char* env = std::getenv("BRELK_FAULTS"); env != nullptr && *env != '\0') {
        std::string error;
        if (!Parse(env, &error)) {
            std::fprintf(stderr, "BRELK_FAULTS ignored: %s\n", error.c_str());
        }
    }
}

FaultPlan& FaultPlan::Instance() {
    static FaultPlan plan;
    return plan;
}

void FaultPlan::Add(FaultRule rule) {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Entries.push_back(Entry{std::move(rule)});
}

void FaultPlan::Clear() {
    std::lock_guard<std::mutex> lock(m_Lock);
    m_Entries.clear();
    m_Fired.clear();
}

bool FaultPlan::Parse(std::string_view text, std::string* error) {
    std::vector<FaultRule> rules;
    std::string scratch;
    std::string* why = error != nullptr ? error : &scratch;
    while (!text.empty()) {
        const size_t end = text.find(';');
        const std::string_view part = Trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (part.empty()) {
            continue;
        }
        FaultRule rule;
        if (!ParseRule(part, &rule, why)) {
            return false;
        }
        rules.push_back(std::move(rule));
    }
    std::lock_guard<std::mutex> lock(m_Lock);
    for (auto& rule : rules) {
        m_Entries.push_back(Entry{std::move(rule)});
    }
    return true;
}

std::optional<FaultHit> FaultPlan::Check(std::string_view point, std::string_view match) {
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
        std::string line(point);
        if (!match.empty()) {
            line += "/" + std::string(match);
        }
        m_Fired.push_back(line + ":" + rule.action);
        // A later kill leaves the call to the other rules: it goes on as if none came.
        if (rule.action == "kill") {
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
    return m_Entries.empty();
}

std::vector<std::string> FaultPlan::Fired() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    return m_Fired;
}

std::string FaultPlan::Describe() const {
    std::lock_guard<std::mutex> lock(m_Lock);
    std::ostringstream out;
    for (const auto& entry : m_Entries) {
        const FaultRule& r = entry.rule;
        out << r.point;
        if (!r.match.empty()) {
            out << "/" << r.match;
        }
        out << ":" << r.action;
        if (r.value != 0) {
            out << "=" << r.value;
        }
        if (r.pass != 0) {
            out << "@" << r.pass;
        }
        if (r.count == 0) {
            out << "x*";
        } else if (r.count != 1) {
            out << "x" << r.count;
        }
        out << "; ";
    }
    return out.str();
}

}  // namespace sim
