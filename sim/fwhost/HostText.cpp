#include "HostText.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace fwhost {
namespace {

const char* StateName(int state) {
    switch (state) {
        case 0:
            return "none";
        case 1:
            return "pending";
        case 2:
            return "downloading";
        case 3:
            return "completed";
        case 4:
            return "failed";
        case 6:
            return "retries exhausted";
        default:
            return "unknown, read as failed";
    }
}

}  // namespace

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string Narrow(const std::wstring& w) {
    std::string s;
    for (wchar_t c : w) {
        s += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return s;
}

std::wstring Widen(const std::string& s) {
    return std::wstring(s.begin(), s.end());
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

std::string HrText(HRESULT hr) {
    struct Name {
        HRESULT hr;
        const char* name;
    };
    static const Name kNames[] = {
        {S_OK, "S_OK"},
        {S_FALSE, "S_FALSE"},
        {E_FAIL, "E_FAIL"},
        {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
        {E_POINTER, "E_POINTER"},
        {E_INVALIDARG, "E_INVALIDARG"},
        {E_NOINTERFACE, "E_NOINTERFACE"},
        {E_UNEXPECTED, "E_UNEXPECTED"},
        {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "ERROR_FILE_NOT_FOUND"},
        {HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), "ERROR_MOD_NOT_FOUND"},
        {HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), "ERROR_PROC_NOT_FOUND"},
    };
    for (const auto& n : kNames) {
        if (n.hr == hr) {
            return Hex(hr) + " " + n.name;
        }
    }
    return Hex(hr);
}

// A persisted value as the story tells it; a first start finds neither value yet.
std::string StateText(int state) {
    if (state < 0) {
        return "progress state not yet created";
    }
    return "progress state " + std::to_string(state) + " (" + StateName(state) + ")";
}

std::string CounterText(int counter) {
    return counter < 0 ? "retry counter not yet created"
                       : "retry counter " + std::to_string(counter);
}

std::string MiB(uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace fwhost
