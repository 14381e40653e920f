// The platform's classic event tracing: registration, the controller's enable protocol,
// and the records a session writes.
#include <evntrace.h>
#include <windows.h>
#include <winplat/tracectl.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "BrelkTrace.h"
#include "TraceTestSupport.h"

namespace brelk::test {
namespace {

constexpr GUID kControl = {
    0x11112222, 0x3333, 0x4444, {0x55, 0x55, 0x66, 0x66, 0x77, 0x77, 0x88, 0x88}};
constexpr GUID kMessage = {
    0xA1A2A3A4, 0xB1B2, 0xC1C2, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8}};

struct Call {
    WMIDPREQUESTCODE code;
    TRACEHANDLE logger;  // from GetTraceLoggerHandle(buffer)
    UCHAR level;
    ULONG flags;
    GUID guid;  // from the WNODE_HEADER
    std::thread::id thread;
};

struct Recorder {
    std::mutex lock;
    std::vector<Call> calls;  // guarded by lock
    ULONG answer = ERROR_SUCCESS;

    std::vector<Call> Take() {
        std::lock_guard<std::mutex> guard(lock);
        return std::exchange(calls, {});
    }
};

ULONG WINAPI RecordingCallback(WMIDPREQUESTCODE code, PVOID context, ULONG* size, PVOID buffer) {
    auto* r = static_cast<Recorder*>(context);
    Call c{code, 0, 0, 0, {}, std::this_thread::get_id()};
    if (buffer != nullptr) {
        c.guid = static_cast<WNODE_HEADER*>(buffer)->Guid;
    }
    if (code == WMI_ENABLE_EVENTS) {
        c.logger = GetTraceLoggerHandle(buffer);
        c.level = GetTraceEnableLevel(c.logger);
        c.flags = GetTraceEnableFlags(c.logger);
    }
    std::lock_guard<std::mutex> guard(r->lock);
    r->calls.push_back(c);
    return r->answer;
}

TEST(EventTrace, EnableChangeDisableReachTheCallbackOnAControllerThread) {
    Recorder rec;
    TRACE_GUID_REGISTRATION reg = {&kControl, nullptr};
    TRACEHANDLE handle = 0;
    ASSERT_EQ(
        RegisterTraceGuidsW(RecordingCallback, &rec, &kControl, 1, &reg, nullptr, nullptr, &handle),
        0u);
    EXPECT_NE(handle, 0u);
    EXPECT_NE(reg.RegHandle, nullptr);
    EXPECT_TRUE(rec.Take().empty()) << "nobody enabled it yet";

    TempLog log("enable-change-disable");
    TRACEHANDLE session = 0;
    ASSERT_EQ(WinplatStartTraceSession(log.path.c_str(), &session), 0u);

    ASSERT_EQ(WinplatEnableTrace(session, &kControl, TRACE_LEVEL_INFORMATION, 0x28), 0u);
    auto calls = rec.Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, WMI_ENABLE_EVENTS);
    EXPECT_NE(calls[0].thread, std::this_thread::get_id());
    EXPECT_EQ(calls[0].guid, kControl);
    EXPECT_EQ(calls[0].level, TRACE_LEVEL_INFORMATION);
    EXPECT_EQ(calls[0].flags, 0x28u);
    const TRACEHANDLE logger = calls[0].logger;
    EXPECT_NE(logger, 0u);

    ASSERT_EQ(WinplatEnableTrace(session, &kControl, TRACE_LEVEL_VERBOSE, 0x08), 0u);
    calls = rec.Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(calls[0].level, TRACE_LEVEL_VERBOSE);
    EXPECT_EQ(calls[0].flags, 0x08u);

    ASSERT_EQ(WinplatDisableTrace(session, &kControl), 0u);
    calls = rec.Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, WMI_DISABLE_EVENTS);
    EXPECT_NE(calls[0].thread, std::this_thread::get_id());

    // Stopping a session disables what it still has enabled.
    ASSERT_EQ(WinplatEnableTrace(session, &kControl, TRACE_LEVEL_ERROR, 0x02), 0u);
    rec.Take();
    ASSERT_EQ(WinplatStopTraceSession(session, nullptr), 0u);
    calls = rec.Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, WMI_DISABLE_EVENTS);

    ASSERT_EQ(UnregisterTraceGuids(handle), 0u);
}

TEST(EventTrace, ProviderEnabledBeforeRegisteringIsCalledDuringRegistration) {
    TempLog log("enabled-before");
    TRACEHANDLE session = 0;
    ASSERT_EQ(WinplatStartTraceSession(log.path.c_str(), &session), 0u);
    ASSERT_EQ(WinplatEnableTrace(session, &kControl, TRACE_LEVEL_ERROR, 0x10), 0u);

    Recorder rec;
    rec.answer = 1234;  // RegisterTraceGuidsW passes the callback's answer on
    TRACEHANDLE handle = 0;
    EXPECT_EQ(RegisterTraceGuidsW(RecordingCallback, &rec, &kControl, 0, nullptr, nullptr, nullptr,
                                  &handle),
              1234u);
    auto calls = rec.Take();
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].code, WMI_ENABLE_EVENTS);
    EXPECT_EQ(calls[0].level, TRACE_LEVEL_ERROR);
    EXPECT_EQ(calls[0].flags, 0x10u);

    // After unregistering, controller changes no longer reach it.
    ASSERT_EQ(UnregisterTraceGuids(handle), 0u);
    ASSERT_EQ(WinplatEnableTrace(session, &kControl, TRACE_LEVEL_VERBOSE, 0xFF), 0u);
    ASSERT_EQ(WinplatStopTraceSession(session, nullptr), 0u);
    EXPECT_TRUE(rec.Take().empty());
}

TEST(EventTrace, ProviderFollowsTheSessionThatEnabledItLast) {
    Recorder rec;
    TRACEHANDLE handle = 0;
    ASSERT_EQ(RegisterTraceGuidsW(RecordingCallback, &rec, &kControl, 0, nullptr, nullptr, nullptr,
                                  &handle),
              0u);
    TempLog logA("session-a"), logB("session-b");
    TRACEHANDLE a = 0, b = 0;
    ASSERT_EQ(WinplatStartTraceSession(logA.path.c_str(), &a), 0u);
    ASSERT_EQ(WinplatStartTraceSession(logB.path.c_str(), &b), 0u);
    ASSERT_EQ(WinplatEnableTrace(a, &kControl, 4, 1), 0u);
    ASSERT_EQ(WinplatEnableTrace(b, &kControl, 5, 2), 0u);
    auto calls = rec.Take();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(calls[0].logger, calls[1].logger);
    EXPECT_EQ(WinplatDisableTrace(a, &kControl), static_cast<ULONG>(ERROR_WMI_GUID_NOT_FOUND));
    EXPECT_TRUE(rec.Take().empty());
    ASSERT_EQ(WinplatStopTraceSession(a, nullptr), 0u);
    EXPECT_TRUE(rec.Take().empty()) << "session a no longer had it";
    ASSERT_EQ(WinplatStopTraceSession(b, nullptr), 0u);
    EXPECT_EQ(rec.Take().size(), 1u);
    ASSERT_EQ(UnregisterTraceGuids(handle), 0u);
}

TEST(EventTrace, ErrorsAsWindowsReportsThem) {
    TRACEHANDLE handle = 0xdeadbeef;
    Recorder rec;
    struct Case {
        const char* name;
        ULONG got;
        ULONG expected;
    };
    const Case cases[] = {
        {"register without callback",
         RegisterTraceGuidsW(nullptr, &rec, &kControl, 0, nullptr, nullptr, nullptr, &handle), 87},
        {"register without control GUID",
         RegisterTraceGuidsW(RecordingCallback, &rec, nullptr, 0, nullptr, nullptr, nullptr,
                             &handle),
         87},
        {"register without handle out",
         RegisterTraceGuidsW(RecordingCallback, &rec, &kControl, 0, nullptr, nullptr, nullptr,
                             nullptr),
         87},
        {"register count without records",
         RegisterTraceGuidsW(RecordingCallback, &rec, &kControl, 1, nullptr, nullptr, nullptr,
                             &handle),
         87},
        {"unregister unknown", UnregisterTraceGuids(0x7777777), 87},
        {"message to logger 0", TraceMessage(0, 0x2B, &kMessage, 10, nullptr), 6},
        {"message to a stopped session",
         TraceMessage(0x00040000FFFEull, 0x2B, &kMessage, 10, nullptr), 6},
        {"message flags above the mask",
         TraceMessage(0x000400000001ull, 0x10000, &kMessage, 10, nullptr), 87},
        {"GUID and component id", TraceMessage(0x000400000001ull, 0x6, &kMessage, 10, nullptr), 87},
        {"enable unknown session", WinplatEnableTrace(0xFFFE, &kControl, 4, 1), 6},
        {"disable unknown session", WinplatDisableTrace(0xFFFE, &kControl), 6},
        {"stop unknown session", WinplatStopTraceSession(0xFFFE, nullptr), 6},
        {"session without a file name", WinplatStartTraceSession("", &handle), 87},
        {"session in a missing folder",
         WinplatStartTraceSession("/nonexistent-folder/x.log", &handle), 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.got, c.expected);
    }
    EXPECT_EQ(handle, 0u) << "a failed start clears the session handle";
    EXPECT_TRUE(rec.Take().empty());

    SetLastError(0xdeadbeef);
    EXPECT_EQ(GetTraceLoggerHandle(nullptr), reinterpret_cast<TRACEHANDLE>(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), 87u);
    SetLastError(0);
    EXPECT_EQ(GetTraceEnableLevel(0), 0);
    EXPECT_EQ(GetLastError(), 6u);
    SetLastError(0);
    EXPECT_EQ(GetTraceEnableFlags(0), 0u);
    EXPECT_EQ(GetLastError(), 6u);
}

TEST(EventTrace, RecordCarriesSequenceGuidTimeThreadProcessAndArguments) {
    TempLog log("record-layout");
    TRACEHANDLE session = 0;
    ASSERT_EQ(WinplatStartTraceSession(log.path.c_str(), &session), 0u);
    Recorder rec;
    TRACEHANDLE handle = 0;
    ASSERT_EQ(RegisterTraceGuidsW(RecordingCallback, &rec, &kControl, 0, nullptr, nullptr, nullptr,
                                  &handle),
              0u);
    ASSERT_EQ(WinplatEnableTrace(session, &kControl, 4, 1), 0u);
    const TRACEHANDLE logger = rec.Take().at(0).logger;

    FILETIME before{};
    GetSystemTimeAsFileTime(&before);
    const UINT32 value = 0x11223344;
    const char text[] = "abc";
    EXPECT_EQ(TraceMessage(logger, 0x2B, &kMessage, 17, &value, sizeof(value), text, sizeof(text),
                           nullptr),
              0u);
    EXPECT_EQ(TraceMessage(logger, 0x2B, &kMessage, 18, nullptr), 0u);
    WinplatTraceSessionStats stats{};
    ASSERT_EQ(WinplatStopTraceSession(session, &stats), 0u);
    EXPECT_EQ(stats.MessagesWritten, 2u);
    EXPECT_EQ(stats.MessagesLost, 0u);
    ASSERT_EQ(UnregisterTraceGuids(handle), 0u);

    const std::vector<uint8_t> bytes = ReadBytes(log.path);
    const size_t header = sizeof(WinplatTraceLogHeader);
    ASSERT_EQ(header, 32u);
    const size_t first = 8 + 4 + 16 + 8 + 4 + 4 + 4 + 4;  // header, fields, arguments
    ASSERT_EQ(bytes.size(), header + first + (first - 8));
    EXPECT_EQ(std::memcmp(bytes.data(), "WPTRCLOG", 8), 0);
    const uint8_t* r = bytes.data() + header;
    auto u32 = [](const uint8_t* p) {
        uint32_t v;
        std::memcpy(&v, p, 4);
        return v;
    };
    auto u16 = [](const uint8_t* p) {
        uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    };
    EXPECT_EQ(u32(r), first);
    EXPECT_EQ(u16(r + 4), 0x2Bu);
    EXPECT_EQ(u16(r + 6), 17u);
    EXPECT_EQ(u32(r + 8), 1u) << "sequence numbers start at 1";
    EXPECT_EQ(std::memcmp(r + 12, &kMessage, 16), 0);
    int64_t stamp;
    std::memcpy(&stamp, r + 28, 8);
    const int64_t beforeTicks =
        (static_cast<int64_t>(before.dwHighDateTime) << 32) | before.dwLowDateTime;
    EXPECT_GE(stamp, beforeTicks - 10'000'000);  // within a second (scaled runs drift)
    EXPECT_LE(stamp, beforeTicks + 10'000'000);
    EXPECT_EQ(u32(r + 36), GetCurrentThreadId());
    EXPECT_EQ(u32(r + 40), GetCurrentProcessId());
    EXPECT_EQ(u32(r + 44), value);
    EXPECT_EQ(std::memcmp(r + 48, "abc", 4), 0);
    const uint8_t* second = r + first;
    EXPECT_EQ(u16(second + 6), 18u);
    EXPECT_EQ(u32(second + 8), 2u);
}

TEST(EventTrace, ConcurrentMessagesGetDistinctSequenceNumbersInFileOrder) {
    TempLog log("concurrent");
    TRACEHANDLE session = 0;
    ASSERT_EQ(WinplatStartTraceSession(log.path.c_str(), &session), 0u);
    Recorder rec;
    TRACEHANDLE handle = 0;
    ASSERT_EQ(RegisterTraceGuidsW(RecordingCallback, &rec, &kControl, 0, nullptr, nullptr, nullptr,
                                  &handle),
              0u);
    ASSERT_EQ(WinplatEnableTrace(session, &kControl, 4, 1), 0u);
    const TRACEHANDLE logger = rec.Take().at(0).logger;

    constexpr int kThreads = 4, kEach = 300;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([logger, t] {
            for (UINT32 i = 0; i < kEach; ++i) {
                const UINT32 v = (static_cast<UINT32>(t) << 16) | i;
                TraceMessage(logger, 0x2B, &kMessage, 10, &v, sizeof(v), nullptr);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    ASSERT_EQ(WinplatStopTraceSession(session, nullptr), 0u);
    ASSERT_EQ(UnregisterTraceGuids(handle), 0u);

    uint32_t expected = 1;
    std::vector<uint32_t> nextOfThread(kThreads, 0);
    const auto result = brelk_trace::ReadLog(log.path, [&](const brelk_trace::LogMessage& m) {
        EXPECT_EQ(m.sequence, expected++);
        uint32_t v;
        ASSERT_EQ(m.args.size(), 4u);
        std::memcpy(&v, m.args.data(), 4);
        EXPECT_EQ(v & 0xFFFF, nextOfThread[v >> 16]++) << "each thread's messages keep their order";
    });
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.messagesRead, static_cast<uint64_t>(kThreads * kEach));
}

TEST(EventTrace, OversizeMessageIsDroppedAndCounted) {
    TempLog log("oversize");
    TRACEHANDLE session = 0;
    ASSERT_EQ(WinplatStartTraceSession(log.path.c_str(), &session), 0u);
    Recorder rec;
    TRACEHANDLE handle = 0;
    ASSERT_EQ(RegisterTraceGuidsW(RecordingCallback, &rec, &kControl, 0, nullptr, nullptr, nullptr,
                                  &handle),
              0u);
    ASSERT_EQ(WinplatEnableTrace(session, &kControl, 4, 1), 0u);
    const TRACEHANDLE logger = rec.Take().at(0).logger;
    const std::vector<uint8_t> big(TRACE_MESSAGE_MAXIMUM_SIZE - 72 + 1, 0x5A);
    const std::vector<uint8_t> fits(TRACE_MESSAGE_MAXIMUM_SIZE - 72, 0x5A);
    EXPECT_EQ(TraceMessage(logger, 0x2B, &kMessage, 10, big.data(), big.size(), nullptr),
              static_cast<ULONG>(ERROR_MORE_DATA));
    EXPECT_EQ(TraceMessage(logger, 0x2B, &kMessage, 11, fits.data(), fits.size(), nullptr), 0u);
    WinplatTraceSessionStats stats{};
    ASSERT_EQ(WinplatStopTraceSession(session, &stats), 0u);
    EXPECT_EQ(stats.MessagesWritten, 1u);
    EXPECT_EQ(stats.MessagesLost, 1u);
    ASSERT_EQ(UnregisterTraceGuids(handle), 0u);
}

}  // namespace
}  // namespace brelk::test
