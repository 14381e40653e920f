// The status channel between the flash library's callback thread and the download thread.

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "Internal.h"

namespace brelk::test {
namespace {

class StatusChannel : public ::testing::Test {
protected:
    void SetUp() override { DiscardStatusReports(); }
    void TearDown() override { DiscardStatusReports(); }
};

TEST_F(StatusChannel, ReportsComeOutOldestFirstWithTheirTexts) {
    StatusCallback(1, 2, "progress");
    StatusCallback(7, 0, "");       // empty text
    StatusCallback(1, 1, nullptr);  // null text queues an empty one
    StatusCallback(1, -5, "last");

    const std::vector<std::pair<INT32, std::string>> expected = {
        {2, "progress"}, {0, ""}, {1, ""}, {-5, "last"}};
    for (const auto& [code, text] : expected) {
        INT32 status = 0x7777;
        std::string got = "poison";
        ASSERT_TRUE(PopStatus(&status, &got));
        EXPECT_EQ(status, code);
        EXPECT_EQ(got, text);
    }

    INT32 status = 0x7777;
    std::string text = "poison";
    EXPECT_FALSE(PopStatus(&status, &text));
    EXPECT_EQ(status, 0x7777);
    EXPECT_EQ(text, "poison");
}

TEST_F(StatusChannel, DiscardDropsEveryQueuedReport) {
    StatusCallback(1, 0, "stale");
    StatusCallback(1, 0, "stale");
    EXPECT_EQ(DiscardStatusReports(), 2u);
    INT32 status = 0;
    std::string text;
    EXPECT_FALSE(PopStatus(&status, &text));
    EXPECT_EQ(DiscardStatusReports(), 0u);
}

TEST_F(StatusChannel, AReportWakesAWaiterAndSilenceTimesOut) {
    WaitForStatusReport(0);  // forget wake-ups of earlier tests
    EXPECT_FALSE(WaitForStatusReport(10));

    std::thread producer([] { StatusCallback(1, 0, "done"); });
    EXPECT_TRUE(WaitForStatusReport(INFINITE));
    producer.join();
    INT32 status = -1;
    std::string text;
    ASSERT_TRUE(PopStatus(&status, &text));
    EXPECT_EQ(status, 0);
}

// Many library threads at once: nothing lost, texts stay with their codes, and each
// producer's reports keep their order.
TEST_F(StatusChannel, ConcurrentProducersLoseNothing) {
    constexpr int kProducers = 4;
    constexpr int kReports = 500;
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([p] {
            for (int i = 0; i < kReports; ++i) {
                const std::string text = std::to_string(p) + ":" + std::to_string(i);
                StatusCallback(1, p * kReports + i, text.c_str());
            }
        });
    }
    std::vector<int> next(kProducers, 0);
    int taken = 0;
    while (taken < kProducers * kReports) {
        INT32 status = 0;
        std::string text;
        if (!PopStatus(&status, &text)) {
            WaitForStatusReport(50);
            continue;
        }
        const int p = status / kReports;
        const int i = status % kReports;
        ASSERT_EQ(text, std::to_string(p) + ":" + std::to_string(i));
        ASSERT_EQ(i, next[p]) << "producer " << p << " out of order";
        ++next[p];
        ++taken;
    }
    for (auto& t : producers) {
        t.join();
    }
    INT32 status = 0;
    std::string text;
    EXPECT_FALSE(PopStatus(&status, &text));
}

}  // namespace
}  // namespace brelk::test
