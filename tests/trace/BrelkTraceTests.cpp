// Brelk's trace provider: start and stop, the enable callback, the test at a trace point,
// and the argument encodings as a reader decodes them with the unit's catalog.
#include "Trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BrelkTrace.h"
#include "TraceFixture.h"
#include "TraceTestSupport.h"

namespace brelk::test {
namespace {

brelk_trace::Catalog FixtureCatalog() {
    brelk_trace::Catalog catalog;
    std::string error;
    EXPECT_TRUE(catalog.LoadDirectory(BRELK_FIXTURE_CATALOGS, &error)) << error;
    return catalog;
}

std::vector<brelk_trace::LogMessage> ReadAll(const std::string& path) {
    std::vector<brelk_trace::LogMessage> out;
    const auto r =
        brelk_trace::ReadLog(path, [&](const brelk_trace::LogMessage& m) { out.push_back(m); });
    EXPECT_TRUE(r.ok) << r.error;
    return out;
}

// Tracing started for the test's duration, as the module entry does for the driver's.
struct Started {
    Started() { StartTracing(); }
    ~Started() { StopTracing(); }
};

TEST(BrelkTrace, StartRegistersEnableSetsTheBlockStopUnregisters) {
    {
        Started started;
        TraceControlBlock& b = g_TraceControlBlock;
        ASSERT_EQ(g_pTraceControlBlock.load(), &b);
        EXPECT_EQ(b.Next, nullptr);
        EXPECT_NE(b.RegistrationHandle, 0u);
        EXPECT_EQ(b.FlagsLength, 1);
        EXPECT_EQ(b.Options, 0);
        EXPECT_EQ(b.Logger.load(), 0u);
        EXPECT_EQ(b.Level.load(), 0);
        EXPECT_EQ(b.Flags.load(), 0u);
        ASSERT_NE(b.ControlGuid, nullptr);
        EXPECT_EQ(
            *b.ControlGuid,
            (GUID{0x8C6CF268, 0x1F59, 0x40AE, {0xBB, 0xA4, 0x86, 0x8C, 0xD3, 0x5C, 0x31, 0x15}}));

        TempLog log("start-enable-stop");
        brelk_trace::TraceSession session;
        ASSERT_EQ(session.Start(log.path, TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE), 0u);
        EXPECT_NE(b.Logger.load(), 0u);
        EXPECT_EQ(b.Level.load(), TRACE_LEVEL_INFORMATION);
        EXPECT_EQ(b.Flags.load(), static_cast<ULONG>(TRACE_FLAG_DEVICE));
        ASSERT_EQ(session.Stop(), 0u);
        EXPECT_EQ(b.Logger.load(), 0u);
        EXPECT_EQ(b.Level.load(), 0);
        EXPECT_EQ(b.Flags.load(), 0u);
    }
    EXPECT_EQ(g_pTraceControlBlock.load(), nullptr);
    EXPECT_EQ(g_TraceControlBlock.RegistrationHandle, 0u);
    StopTracing();  // a second stop does nothing

    // Unregistered: a session enabling the control GUID no longer reaches the block.
    TempLog log("after-stop");
    brelk_trace::TraceSession session;
    ASSERT_EQ(session.Start(log.path, TRACE_LEVEL_VERBOSE, 0xFF), 0u);
    EXPECT_EQ(g_TraceControlBlock.Level.load(), 0);
    EXPECT_EQ(g_TraceControlBlock.Flags.load(), 0u);
}

TEST(BrelkTrace, UnknownRequestCodeAnswers87AndChangesNothing) {
    TraceControlBlock block{};
    block.Logger = 0x1234;
    block.Level = 3;
    block.Flags = 0x77;
    WNODE_HEADER header{};
    header.HistoricalContext = 0x0000000800040001ull;
    for (int code : {0, 1, 2, 3, 6, 7, 8, 9, 10, 99}) {
        SCOPED_TRACE(code);
        ULONG size = 48;
        EXPECT_EQ(TraceEnableCallback(static_cast<WMIDPREQUESTCODE>(code), &block, &size, &header),
                  87u);
        EXPECT_EQ(size, 0u);
        EXPECT_EQ(block.Logger.load(), 0x1234u);
        EXPECT_EQ(block.Level.load(), 3);
        EXPECT_EQ(block.Flags.load(), 0x77u);
    }
    ULONG size = 48;
    EXPECT_EQ(TraceEnableCallback(WMI_ENABLE_EVENTS, &block, &size, &header), 0u);
    EXPECT_EQ(block.Logger.load(), 0x0000000800040001ull);
    EXPECT_EQ(block.Level.load(), 4);
    EXPECT_EQ(block.Flags.load(), 8u);
    EXPECT_EQ(TraceEnableCallback(WMI_DISABLE_EVENTS, &block, &size, &header), 0u);
    EXPECT_EQ(block.Logger.load(), 0u);
    EXPECT_EQ(block.Level.load(), 0);
    EXPECT_EQ(block.Flags.load(), 0u);
}

TEST(BrelkTrace, ForwardOptionWritesIntoTheBlockTheLoggerFieldDesignates) {
    TraceControlBlock target{};
    TraceControlBlock block{};
    block.Options = TRACE_CONTROL_OPTION_FORWARD;
    block.Logger = reinterpret_cast<uintptr_t>(&target);
    WNODE_HEADER header{};
    header.HistoricalContext = 0x0000002000050001ull;
    ULONG size = 48;
    EXPECT_EQ(TraceEnableCallback(WMI_ENABLE_EVENTS, &block, &size, &header), 0u);
    EXPECT_EQ(target.Level.load(), 5);
    EXPECT_EQ(target.Flags.load(), 0x20u);
    EXPECT_EQ(target.Logger.load(), 0x0000002000050001ull);
    EXPECT_EQ(block.Logger.load(), reinterpret_cast<uintptr_t>(&target));
    EXPECT_EQ(block.Level.load(), 0);

    // Without a logger to follow, the block itself is written.
    TraceControlBlock alone{};
    alone.Options = TRACE_CONTROL_OPTION_FORWARD;
    EXPECT_EQ(TraceEnableCallback(WMI_ENABLE_EVENTS, &alone, &size, &header), 0u);
    EXPECT_EQ(alone.Level.load(), 5);
}

TEST(BrelkTrace, SilentUnlessStartedAndEnabledForTheFlagAndLevel) {
    struct Case {
        const char* name;
        bool start;
        bool enable;
        UCHAR enabledLevel;
        ULONG enabledFlags;
        ULONG pointFlag;
        UCHAR pointLevel;
        bool sent;
    };
    const Case cases[] = {
        {"never started", false, true, 5, 0xFF, TRACE_FLAG_DEVICE, 2, false},
        {"started, never enabled", true, false, 0, 0, TRACE_FLAG_DEVICE, 2, false},
        {"enabled for other flags", true, true, 5, 0x77 & ~TRACE_FLAG_DEVICE, TRACE_FLAG_DEVICE, 2,
         false},
        {"enabled at a lower level", true, true, 4, 0xFF, TRACE_FLAG_DEVICE, 5, false},
        {"enabled at the same level", true, true, 2, TRACE_FLAG_DEVICE, TRACE_FLAG_DEVICE, 2, true},
        {"enabled at a higher level", true, true, 5, TRACE_FLAG_DEVICE, TRACE_FLAG_DEVICE, 2, true},
        {"other flag at a matching level", true, true, 5, TRACE_FLAG_DEVICE, TRACE_FLAG_QUEUE, 2,
         false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempLog log("silent");
        if (c.start) {
            StartTracing();
        }
        {
            brelk_trace::TraceSession session;
            if (c.enable) {
                ASSERT_EQ(session.Start(log.path, c.enabledLevel, c.enabledFlags), 0u);
            } else {
                TRACEHANDLE h = 0;
                ASSERT_EQ(WinplatStartTraceSession(log.path.c_str(), &h), 0u);
                ASSERT_EQ(WinplatStopTraceSession(h, nullptr), 0u);
            }
            trace_fixture::g_Evaluations = 0;
            trace_fixture::EmitCounted(c.pointFlag, c.pointLevel);
            EXPECT_EQ(trace_fixture::g_Evaluations, c.sent ? 1 : 0)
                << "arguments are evaluated only when sent";
        }
        if (c.start) {
            StopTracing();
        }
        EXPECT_EQ(ReadAll(log.path).size(), c.sent ? 1u : 0u);
    }

    // After stop, even a session that still enables the GUID hears nothing.
    TempLog log("stopped");
    StartTracing();
    brelk_trace::TraceSession session;
    ASSERT_EQ(session.Start(log.path, 5, 0xFF), 0u);
    StopTracing();
    trace_fixture::g_Evaluations = 0;
    trace_fixture::EmitCounted(TRACE_FLAG_DEVICE, 2);
    EXPECT_EQ(trace_fixture::g_Evaluations, 0);
    ASSERT_EQ(session.Stop(), 0u);
    EXPECT_TRUE(ReadAll(log.path).empty());
}

TEST(BrelkTrace, TracePointsRacingWithEnableChangesAreSentWholeOrDropped) {
    TempLog log("race");
    Started started;
    TRACEHANDLE session = 0;
    ASSERT_EQ(WinplatStartTraceSession(log.path.c_str(), &session), 0u);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            while (!stop.load()) {
                trace_fixture::EmitCounted(TRACE_FLAG_DEVICE, TRACE_LEVEL_ERROR);
            }
        });
    }
    for (int i = 0; i < 40; ++i) {
        ASSERT_EQ(WinplatEnableTrace(session, &BRELK_TRACE_CONTROL_GUID, TRACE_LEVEL_ERROR,
                                     i % 2 ? TRACE_FLAG_DEVICE : TRACE_FLAG_QUEUE),
                  0u);
        ASSERT_EQ(WinplatDisableTrace(session, &BRELK_TRACE_CONTROL_GUID), 0u);
    }
    stop = true;
    for (auto& t : threads) {
        t.join();
    }
    WinplatTraceSessionStats stats{};
    ASSERT_EQ(WinplatStopTraceSession(session, &stats), 0u);
    const auto messages = ReadAll(log.path);
    EXPECT_EQ(messages.size(), stats.MessagesWritten);
    for (const auto& m : messages) {
        EXPECT_EQ(m.number, 10);
        EXPECT_EQ(std::string(m.args.begin(), m.args.end()), std::string("counted", 8));
    }
}

TEST(BrelkTrace, EveryShapeDecodesWithTheUnitsCatalog) {
    TempLog log("shapes");
    {
        Started started;
        brelk_trace::TraceSession session;
        ASSERT_EQ(session.Start(log.path, TRACE_LEVEL_VERBOSE, 0xFFFFFFFF), 0u);
        trace_fixture::EmitAll();
    }
    const auto messages = ReadAll(log.path);
    struct Expected {
        int number;
        const char* level;
        const char* flag;
        const char* text;
    };
    // EmitCounted's three trace points stand first in the file: 10, 11, 12.
    const Expected expected[] = {
        {13, "INFO", "DEVICE", "no arguments"},
        {14, "INFO", "DEVICE", "one integer -5"},
        {15, "INFO", "DEVICE", "two integers 7 beef"},
        {16, "INFO", "DEVICE", "three integers 1, 2, 0x80004005"},
        {17, "INFO", "TRANSPORT", "one pointer 0x000012345678ABCD"},
        {18, "INFO", "TRANSPORT", "pointer and integer 0x0000000000000010 700"},
        {19, "ERROR", "TRANSPORT", "WriteData failed, hr=0x80004003"},
        {20, "ERROR", "TRANSPORT", "ReadData failed, hr=0x8007000E"},
        {21, "ERROR", "DEVICE", "narrow text 'Lumbra.fls' 'NULL'"},
        {22, "ERROR", "DEVICE", "narrow text and integer retries=3"},
        {23, "VERB", "QUEUE", "integer and narrow text 4:"},
        {24, "INFO", "EVENTS", "wide text 'USB\\VID_1234\xC3\xA9\xF0\x9F\x98\x80'"},
        {25, "INFO", "EVENTS", "wide null 'NULL'"},
        {26, "INFO", "EVENTS", "wide empty '<NULL>'"},
        {27, "INFO", "DLL",
         "two GUIDs {01234567-89AB-CDEF-0123-456789ABCDEF} {5F0D3A51-6C0E-4B7A-9D22-8E1B40C7A3F1}"},
        {28, "INFO", "DLL", "100% done, width [   42] [ab  ]"},
    };
    ASSERT_EQ(messages.size(), std::size(expected));
    const brelk_trace::Catalog catalog = FixtureCatalog();
    for (size_t i = 0; i < messages.size(); ++i) {
        const auto& m = messages[i];
        const auto& e = expected[i];
        SCOPED_TRACE(e.text);
        EXPECT_EQ(m.guid, trace_fixture::kMessageGuid);
        EXPECT_EQ(m.number, e.number);
        EXPECT_EQ(m.flags, 0x2B);
        EXPECT_EQ(m.sequence, i + 1);
        EXPECT_EQ(m.threadId, GetCurrentThreadId());
        const std::string line = brelk_trace::FormatLine(m, catalog);
        char tail[256];
        std::snprintf(tail, sizeof(tail), " %-15s %-5s %-9s %s", "Fixture", e.level, e.flag,
                      e.text);
        ASSERT_GE(line.size(), std::strlen(tail)) << line;
        EXPECT_EQ(line.substr(line.size() - std::strlen(tail)), tail);
    }
    // The wire lengths a reader on Windows relies on.
    EXPECT_EQ(messages[8].args.size(), 11u + 5u) << "\"Lumbra.fls\" and \"NULL\" with their zeros";
    EXPECT_EQ(messages[12].args.size(), 10u) << "null wide text: L\"NULL\"";
    EXPECT_EQ(messages[13].args.size(), 14u) << "empty wide text: L\"<NULL>\"";
    EXPECT_EQ(messages[11].args.size(), (13u + 2u + 1u) * 2u) << "UTF-16 with a surrogate pair";
    EXPECT_EQ(messages[4].args.size(), 8u);
    EXPECT_EQ(messages[14].args.size(), 32u);
}

}  // namespace
}  // namespace brelk::test
