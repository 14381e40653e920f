// The process environment with Windows rules: names match without regard to case and
// the sizes returned follow GetEnvironmentVariable's contract.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include <vector>

#include "kernel/kernel.h"

extern char** environ;

namespace winplat {
namespace {

std::mutex& EnvLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

bool NameMatches(std::string_view entryName, std::string_view name, bool exact) {
    if (exact) {
        return entryName == name;
    }
    std::wstring a, b;
    if (!WideFromUtf8(entryName, &a) || !WideFromUtf8(name, &b)) {
        return false;
    }
    return EqualNoCase(a, b);
}

// Names of the entries that match `name`, an exact match first. Caller holds EnvLock().
std::vector<std::string> MatchingNamesLocked(std::string_view name) {
    std::vector<std::string> exact, folded;
    for (char** p = environ; p != nullptr && *p != nullptr; ++p) {
        const char* eq = strchr(*p, '=');
        if (eq == nullptr || eq == *p) {
            continue;
        }
        const std::string_view entryName(*p, static_cast<size_t>(eq - *p));
        if (NameMatches(entryName, name, true)) {
            exact.emplace_back(entryName);
        } else if (NameMatches(entryName, name, false)) {
            folded.emplace_back(entryName);
        }
    }
    exact.insert(exact.end(), folded.begin(), folded.end());
    return exact;
}

bool ValidName(std::string_view name) {
    return !name.empty() && name.find('=') == std::string_view::npos;
}

}  // namespace

bool ReadEnvironment(std::string_view name, std::string* value) {
    if (!ValidName(name)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(EnvLock());
    const auto names = MatchingNamesLocked(name);
    if (names.empty()) {
        return false;
    }
    const char* text = getenv(names.front().c_str());
    if (text == nullptr) {
        return false;
    }
    *value = text;
    return true;
}

namespace {

BOOL WriteEnvironment(std::string_view name, const std::string* value) {
    if (!ValidName(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> guard(EnvLock());
    for (const auto& existing : MatchingNamesLocked(name)) {
        unsetenv(existing.c_str());
    }
    if (value != nullptr && setenv(std::string(name).c_str(), value->c_str(), 1) != 0) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return FALSE;
    }
    return TRUE;
}

// Copies value (in units of T) when it fits with its terminator; otherwise answers
// the size needed, terminator included, and leaves the buffer and last error alone.
template <typename T>
DWORD CopyOut(const std::basic_string<T>& value, T* buffer, DWORD size) {
    const size_t length = value.size();
    if (buffer == nullptr) {
        size = 0;
    }
    if (length >= size) {
        return static_cast<DWORD>(length + 1);
    }
    memcpy(buffer, value.c_str(), (length + 1) * sizeof(T));
    return static_cast<DWORD>(length);
}

}  // namespace
}  // namespace winplat

using namespace winplat;

DWORD WINAPI GetEnvironmentVariableA(LPCSTR lpName, LPSTR lpBuffer, DWORD nSize) {
    std::string value;
    if (lpName == nullptr || !ReadEnvironment(lpName, &value)) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    return CopyOut(value, lpBuffer, nSize);
}

DWORD WINAPI GetEnvironmentVariableW(LPCWSTR lpName, LPWSTR lpBuffer, DWORD nSize) {
    std::string value;
    std::wstring wide;
    if (lpName == nullptr || !ReadEnvironment(Utf8FromWide(lpName), &value)) {
        SetLastError(ERROR_ENVVAR_NOT_FOUND);
        return 0;
    }
    if (!WideFromUtf8(value, &wide)) {
        // A host value that is not UTF-8: pass its bytes through one per character.
        wide.assign(value.begin(), value.end());
    }
    return CopyOut(wide, lpBuffer, nSize);
}

BOOL WINAPI SetEnvironmentVariableA(LPCSTR lpName, LPCSTR lpValue) {
    if (lpName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string value = lpValue ? lpValue : "";
    return WriteEnvironment(lpName, lpValue ? &value : nullptr);
}

BOOL WINAPI SetEnvironmentVariableW(LPCWSTR lpName, LPCWSTR lpValue) {
    if (lpName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::string value = lpValue ? Utf8FromWide(lpValue) : "";
    return WriteEnvironment(Utf8FromWide(lpName), lpValue ? &value : nullptr);
}
