#include <windows.h>
#include <winplat/faults.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <string>

namespace {

// Every API that calls WinplatShouldFail, sorted; a call under any other name aborts, so
// the list cannot fall behind the code.
constexpr const char* kFaultable[] = {
    "CoRegisterClassObject",
    "CoTaskMemAlloc",
    "CoTaskMemRealloc",
    "CreateEventA",
    "CreateEventW",
    "CreateMutexA",
    "CreateMutexW",
    "CreateThread",
    "InitializeCriticalSectionAndSpinCount",
    "InitializeCriticalSectionEx",
    "LoadLibraryA",
    "LoadLibraryW",
    "PropVariantCopy",
    "SafeArrayAllocData",
    "SafeArrayAllocDescriptor",
    "SafeArrayCopy",
    "SafeArrayCreate",
    "SafeArrayCreateEx",
    "SafeArrayCreateVector",
    "SafeArrayCreateVectorEx",
    "SysAllocString",
    "SysAllocStringByteLen",
    "SysAllocStringLen",
    "SysReAllocString",
    "SysReAllocStringLen",
    nullptr,
};

bool Faultable(const char* api) {
    const auto end = std::end(kFaultable) - 1;
    const auto it =
        std::lower_bound(std::begin(kFaultable), end, api,
                         [](const char* a, const char* b) { return std::strcmp(a, b) < 0; });
    return it != end && std::strcmp(*it, api) == 0;
}

struct Rule {
    unsigned passFirst;
    unsigned failCount;
    DWORD lastError;
    unsigned long long calls = 0;
    unsigned failures = 0;
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
    if (!Faultable(api)) {
        std::fprintf(stderr, "winplat: %s checks for faults but is not in the faultable list\n",
                     api);
        std::abort();
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
    if (fail) {
        ++r.failures;
    }
    if (fail && lastError != nullptr) {
        *lastError = r.lastError;
    }
    return fail;
}

const char* const* WinplatFaultableApis() {
    return kFaultable;
}

unsigned WinplatApiFailures(const char* api) {
    if (api == nullptr) {
        return 0;
    }
    Faults& f = TheFaults();
    std::lock_guard<std::mutex> guard(f.lock);
    const auto it = f.rules.find(std::string_view(api));
    return it == f.rules.end() ? 0 : it->second.failures;
}
