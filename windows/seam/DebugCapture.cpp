#include "DebugCapture.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "Text.h"

namespace sim {

namespace {

constexpr size_t kMaxEntries = 100000;

std::atomic<DebugCapture*> g_Capture{nullptr};  // the process's one capture, never destroyed

// ANSI text is in the process's code page; entries are UTF-8 whatever that is.
std::string Utf8FromAnsi(std::string_view text) {
    if (text.empty() || GetACP() == CP_UTF8) {
        return std::string(text);
    }
    const int size =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(size > 0 ? size : 0), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                            size);
    }
    return simcommon::ToUtf8(wide);
}

// ExceptionInformation[0] counts the characters with the terminator; the text is cut at an
// earlier terminator, as the debugger reads it.
template <typename Char>
std::basic_string_view<Char> Argument(const EXCEPTION_RECORD& record) {
    const auto* text = reinterpret_cast<const Char*>(record.ExceptionInformation[1]);
    const ULONG_PTR length = record.ExceptionInformation[0];
    if (text == nullptr || length == 0) {
        return {};
    }
    std::basic_string_view<Char> view(text, length - 1);
    return view.substr(0, view.find(Char(0)));
}

}  // namespace

DebugCapture::DebugCapture() {
    char echo[8] = {};
    const DWORD n = GetEnvironmentVariableA("WINPLAT_DEBUG_ECHO", echo, sizeof(echo));
    m_Echo = n > 0 && n < sizeof(echo) && strcmp(echo, "1") == 0;
    g_Capture = this;
    // The handler outlives any FreeLibrary of the modules that brought this one in.
    HMODULE self = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&DebugCapture::OnException), &self);
    AddVectoredExceptionHandler(1, &DebugCapture::OnException);
}

LONG CALLBACK DebugCapture::OnException(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    const bool wide = record.ExceptionCode == DBG_PRINTEXCEPTION_WIDE_C;
    if ((!wide && record.ExceptionCode != DBG_PRINTEXCEPTION_C) || record.NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    DebugCapture* capture = g_Capture;
    try {
        capture->Append(wide ? simcommon::ToUtf8(std::wstring(Argument<WCHAR>(record)))
                             : Utf8FromAnsi(Argument<char>(record)));
    } catch (const std::bad_alloc&) {
        // The entry is lost; the caller goes on as it would without a debugger.
    }
    return EXCEPTION_CONTINUE_EXECUTION;
}

void DebugCapture::Append(std::string text) {
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Echo) {
        const bool newline = !text.empty() && text.back() == '\n';
        std::fprintf(stderr, "[dbgview %lu] %s%s", GetCurrentProcessId(), text.c_str(),
                     newline ? "" : "\n");
    }
    if (m_Entries.size() == kMaxEntries) {
        m_Entries.pop_front();
    }
    m_Entries.push_back(std::move(text));
}

std::vector<std::string> DebugCapture::Read() {
    std::lock_guard<std::mutex> guard(m_Lock);
    return {m_Entries.begin(), m_Entries.end()};
}

void DebugCapture::Clear() {
    std::lock_guard<std::mutex> guard(m_Lock);
    m_Entries.clear();
}

void DebugCapture::SetEcho(bool on) {
    m_Echo = on;
}

}  // namespace sim
