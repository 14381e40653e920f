// The modem's link: each flash write holds the link for its turnaround and its bytes at
// the write rate before the loader sees it and the driver's write completes; the text
// form refuses what it does not know; the machine keeps the link it was given.
#include <fstream>
#include <vector>

#include "LinkModel.h"
#include "ModemFixture.h"

namespace brelk::test {
namespace {

TEST(LinkModel, ReadsItsTextForm) {
    struct Case {
        const char* text;
        bool ok;
        double bytesPerSecond, turnaroundMs;
        const char* error;
    };
    const Case cases[] = {
        {"", true, 0, 0, ""},
        {"off", true, 0, 0, ""},
        {"rate=4.3MB/s", true, 4.3e6, 0, ""},
        {"rate=4.3M; turnaround=0.125ms", true, 4.3e6, 0.125, ""},
        {"turnaround=125us;rate=2MiB/s", true, 2 * 1048576.0, 0.125, ""},
        {"rate=500kB/s;", true, 5e5, 0, ""},
        {"rate=4.3MB", false, 0, 0, "rate wants bytes per second"},
        {"rate=-1", false, 0, 0, "rate wants"},
        {"rate=inf", false, 0, 0, "rate wants"},
        {"turnaround=2", false, 0, 0, "ms or us"},
        {"turnaround=2s", false, 0, 0, "ms or us"},
        {"latency=2ms", false, 0, 0, "known: rate=, turnaround="},
        {"rate", false, 0, 0, "rate wants"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        sim::LinkModel link;
        link.BytesPerSecond = 7;  // left alone on a bad text
        std::string error;
        ASSERT_EQ(sim::ParseLinkModel(c.text, &link, &error), c.ok) << error;
        if (c.ok) {
            EXPECT_DOUBLE_EQ(link.BytesPerSecond, c.bytesPerSecond);
            EXPECT_DOUBLE_EQ(link.TurnaroundMs, c.turnaroundMs);
            sim::LinkModel again;
            ASSERT_TRUE(sim::ParseLinkModel(link.Text(), &again, &error)) << link.Text();
            EXPECT_DOUBLE_EQ(again.BytesPerSecond, link.BytesPerSecond);
            EXPECT_DOUBLE_EQ(again.TurnaroundMs, link.TurnaroundMs);
        } else {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            EXPECT_EQ(link.BytesPerSecond, 7);
        }
    }
}

class LinkTest : public ModemFixture {
protected:
    sim::ModemOptions Options() override {
        sim::ModemOptions options = ModemFixture::Options();
        options.Link = "rate=100kB/s;turnaround=10ms";
        return options;
    }
};

// Five writes of 10 000 bytes: 5 x (10 ms + 100 ms) of link time at the least, one after
// another, and never the driver's 10 s time-out.
TEST_F(LinkTest, EachWriteWaitsForTheLink) {
    OpenBoth();
    const std::vector<uint8_t> block(10000, 0x5A);
    HRESULT hr = E_FAIL;
    const ULONGLONG elapsed = Timed([&] {
        for (int i = 0; i < 5 && SUCCEEDED(hr = m_Flash->WriteDataToDevice(
                                               block.data(), static_cast<ULONG>(block.size())));
             ++i) {
        }
    });
    EXPECT_HR(S_OK, hr);
    EXPECT_GE(elapsed, 550u);
    EXPECT_LT(elapsed, 10000u);
    EXPECT_EQ(Modem().Stats().Writes, 5u);
}

TEST_F(ModemFixture, MachineKeepsItsLink) {
    EXPECT_TRUE(Modem().Link().Off());
    Modem().Stop();
    std::ofstream(m_Machine.Folder() / "modem" / "link") << "rate=4.3MB/s;turnaround=0.125ms\n";
    StartModem();
    EXPECT_DOUBLE_EQ(Modem().Link().BytesPerSecond, 4.3e6);
    EXPECT_DOUBLE_EQ(Modem().Link().TurnaroundMs, 0.125);
    Modem().Stop();
    std::ofstream(m_Machine.Folder() / "modem" / "link") << "rate=fast\n";
    EXPECT_HR(E_INVALIDARG, m_Machine.StartModem(Options()));
}

}  // namespace
}  // namespace brelk::test
