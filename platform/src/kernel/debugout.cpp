#include <windows.h>
#include <winplat/debugout.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <deque>

#include "kernel/kernel.h"

namespace {

constexpr size_t kMaxEntries = 100000;

struct Sink {
    std::mutex lock;
    std::deque<std::string> entries;  // guarded by lock
    std::atomic<bool> echo{false};
};

Sink& TheSink() {
    static Sink* sink = [] {
        auto* s = new Sink;
        const char* env = getenv("WINPLAT_DEBUG_ECHO");
        s->echo = env != nullptr && strcmp(env, "1") == 0;
        return s;
    }();
    return *sink;
}

void Append(std::string text) {
    Sink& s = TheSink();
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.echo.load()) {
        const bool newline = !text.empty() && text.back() == '\n';
        fprintf(stderr, "[dbgview %d] %s%s", static_cast<int>(getpid()), text.c_str(),
                newline ? "" : "\n");
    }
    if (s.entries.size() == kMaxEntries) {
        s.entries.pop_front();
    }
    s.entries.push_back(std::move(text));
}

}  // namespace

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    if (lpOutputString != nullptr) {
        Append(lpOutputString);
    }
}

void WINAPI OutputDebugStringW(LPCWSTR lpOutputString) {
    if (lpOutputString != nullptr) {
        Append(winplat::Utf8FromWide(lpOutputString));
    }
}

BOOL WINAPI IsDebuggerPresent(void) {
    return FALSE;
}

std::vector<std::string> WinplatGetDebugOutput() {
    Sink& s = TheSink();
    std::lock_guard<std::mutex> guard(s.lock);
    return {s.entries.begin(), s.entries.end()};
}

void WinplatClearDebugOutput() {
    Sink& s = TheSink();
    std::lock_guard<std::mutex> guard(s.lock);
    s.entries.clear();
}

void WinplatSetDebugEcho(bool on) {
    TheSink().echo = on;
}
