#include <windows.h>
#include <winplat/faults.h>

#include <map>
#include <mutex>
#include <string>

namespace {

struct Rule {
    unsigned passFirst;
    unsigned failCount;
    DWORD lastError;
    unsigned long long calls = 0;
};

struct Faults {
    std::mutex lock;
    std::map<std::string, Rule, std::less<>> rules;  // guarded by lock
};

Faults& TheFaults() {
    static Faults* faults = new Faults;
    return *faults;
}

}  // namespace

void WinplatFailApi(const char* api, unsigned passFirst, unsigned failCount, DWORD lastError) {
    if (api == nullptr) {
        return;
    }
    Faults& f = TheFaults();
    std::lock_guard<std::mutex> guard(f.lock);
    f.rules.insert_or_assign(api, Rule{passFirst, failCount, lastError});
}

void WinplatClearApiFaults() {
    Faults& f = TheFaults();
    std::lock_guard<std::mutex> guard(f.lock);
    f.rules.clear();
}

bool WinplatShouldFail(const char* api, DWORD* lastError) {
    if (api == nullptr) {
        return false;
    }
    Faults& f = TheFaults();
    std::lock_guard<std::mutex> guard(f.lock);
    auto it = f.rules.find(std::string_view(api));
    if (it == f.rules.end()) {
        return false;
    }
    Rule& r = it->second;
    const unsigned long long call = r.calls++;
    const bool fail = call >= r.passFirst &&
                      (r.failCount == WINPLAT_FAIL_ALWAYS || call - r.passFirst < r.failCount);
    if (fail && lastError != nullptr) {
        *lastError = r.lastError;
    }
    return fail;
}
