// The decoder: damaged and foreign logs, and the level and flag filters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "BrelkTrace.h"
#include "Trace.h"
#include "TraceFixture.h"
#include "TraceTestSupport.h"

namespace brelk::test {
namespace {

// A log holding the fixture's sixteen messages, and where each record starts.
struct FixtureLog {
    TempLog log{"decoder"};
    std::vector<uint8_t> bytes;
    std::vector<size_t> records;

    FixtureLog() {
        StartTracing();
        {
            brelk_trace::TraceSession session;
            EXPECT_EQ(session.Start(log.path, TRACE_LEVEL_VERBOSE, 0xFFFFFFFF), 0u);
            trace_fixture::EmitAll();
        }
        StopTracing();
        bytes = ReadBytes(log.path);
        for (size_t at = sizeof(WinplatTraceLogHeader); at < bytes.size();) {
            records.push_back(at);
            uint32_t size;
            std::memcpy(&size, bytes.data() + at, 4);
            at += size;
        }
    }
};

brelk_trace::Catalog FixtureCatalog() {
    brelk_trace::Catalog catalog;
    std::string error;
    EXPECT_TRUE(catalog.LoadDirectory(BRELK_FIXTURE_CATALOGS, &error)) << error;
    return catalog;
}

TEST(TraceDecoder, BadInputStopsWithAClearMessageAndTheCountRead) {
    FixtureLog good;
    ASSERT_EQ(good.records.size(), 16u);

    auto cut = [&](size_t n) {
        return std::vector<uint8_t>(good.bytes.begin(), good.bytes.begin() + n);
    };
    std::vector<uint8_t> badVersion = good.bytes;
    badVersion[8] = 2;
    std::vector<uint8_t> badSize = good.bytes;
    const uint32_t tiny = 3;
    std::memcpy(badSize.data() + good.records[1], &tiny, 4);
    const std::string text = "this is a text file and not a trace log of any kind, sorry\n";

    struct Case {
        const char* name;
        std::vector<uint8_t> content;
        const char* message;
        uint64_t read;
    };
    const Case cases[] = {
        {"empty file", {}, "is not a trace log (0 messages read)", 0},
        {"foreign file", std::vector<uint8_t>(text.begin(), text.end()), "is not a trace log", 0},
        {"half a header", cut(20), "is not a trace log", 0},
        {"later version", badVersion, "unsupported trace log version 2", 0},
        {"cut inside the fourth record", cut(good.records[3] + 13), "truncated record", 3},
        {"cut inside a record header", cut(good.records[5] + 3), "truncated record", 5},
        {"cut inside the last argument", cut(good.bytes.size() - 1), "truncated record", 15},
        {"record size too small", badSize, "damaged record", 1},
    };
    const brelk_trace::Catalog catalog = FixtureCatalog();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempLog file("bad-input");
        WriteBytes(file.path, c.content);
        std::ostringstream out;
        const auto r = brelk_trace::DecodeLog(file.path, catalog, {}, out);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.messagesRead, c.read);
        EXPECT_NE(r.error.find(c.message), std::string::npos) << r.error;
        EXPECT_NE(r.error.find(std::to_string(c.read) +
                               (c.read == 1 ? " message read" : " messages read")),
                  std::string::npos)
            << r.error;
        // What was read before the damage is still shown.
        const std::string shown = out.str();
        EXPECT_EQ(static_cast<uint64_t>(std::count(shown.begin(), shown.end(), '\n')), c.read);
    }

    std::ostringstream out;
    const auto missing = brelk_trace::DecodeLog("/nonexistent/trace.log", catalog, {}, out);
    EXPECT_FALSE(missing.ok);
    EXPECT_NE(missing.error.find("cannot open /nonexistent/trace.log"), std::string::npos);
}

TEST(TraceDecoder, FiltersByLevelAndFlag) {
    FixtureLog log;
    const brelk_trace::Catalog catalog = FixtureCatalog();
    struct Case {
        const char* name;
        int maxLevel;
        uint32_t flags;
        uint64_t shown;
    };
    const Case cases[] = {
        {"everything", 255, 0xFFFFFFFF, 16},
        {"errors only", TRACE_LEVEL_ERROR, 0xFFFFFFFF, 4},
        {"transport", 255, TRACE_FLAG_TRANSPORT, 4},
        {"device up to information", TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, 6},
        {"queue and events", 255, TRACE_FLAG_QUEUE | TRACE_FLAG_EVENTS, 4},
        {"no flag", 255, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::ostringstream out;
        const auto r = brelk_trace::DecodeLog(log.log.path, catalog, {c.maxLevel, c.flags}, out);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.messagesRead, 16u);
        EXPECT_EQ(r.messagesShown, c.shown);
    }

    // Without its catalog a message is still shown, as unknown, and never filtered away.
    std::ostringstream out;
    const auto r = brelk_trace::DecodeLog(log.log.path, brelk_trace::Catalog{}, {2, 0}, out);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.messagesShown, 16u);
    EXPECT_NE(out.str().find(
                  "unknown message {5F0D3A51-6C0E-4B7A-9D22-8E1B40C7A3F1} #13 (0 argument bytes)"),
              std::string::npos)
        << out.str();
}

}  // namespace
}  // namespace brelk::test
