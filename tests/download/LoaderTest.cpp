// The boot loader and the frame reader, driven directly with frames.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "BootLoader.h"
#include "FirmwareImage.h"
#include "FlashProtocol.h"

namespace brelk::test {
namespace {

using flashproto::AckStatus;
using flashproto::Frame;
using flashproto::FrameType;

// Talks to a loader the way the host side does, and keeps its replies.
class Host {
public:
    Host() {
        m_Loader.SetReplyHandler([this](const uint8_t* data, size_t length) {
            EXPECT_LE(length, BootLoader::kMaxReplyChunk);
            m_Reader.Feed(std::span<const uint8_t>(data, length));
        });
    }

    void Boot() {
        for (int i = 0; i < 3; ++i) {
            m_Loader.Receive(reinterpret_cast<const uint8_t*>(flashproto::kExecToken), 5);
        }
        auto ready = m_Reader.Next();
        ASSERT_TRUE(ready.has_value());
        ASSERT_EQ(ready->Packet.Type, FrameType::Ready);
    }

    // Sends one request with a fresh (or the given) sequence number; the status of the
    // acknowledgement, or -1 when none came.
    int Send(FrameType type, std::vector<uint8_t> payload, int seq = -1) {
        Frame f{type, 0, static_cast<uint16_t>(seq < 0 ? ++m_Seq : seq), std::move(payload)};
        const auto bytes = flashproto::Encode(f);
        m_Loader.Receive(bytes.data(), bytes.size());
        auto reply = m_Reader.Next();
        if (!reply || reply->Packet.Type != FrameType::Ack || reply->Packet.Seq != f.Seq) {
            return -1;
        }
        return reply->Packet.Status;
    }

    int Start(const std::string& text) {
        std::vector<uint8_t> p;
        flashproto::PutU32(p, 1);
        p.insert(p.end(), text.begin(), text.end());
        return Send(FrameType::SessionStart, p);
    }
    int Begin(uint32_t index, const std::vector<uint8_t>& data) {
        std::vector<uint8_t> p;
        for (uint32_t v :
             {index, 4u, static_cast<uint32_t>(data.size()), flashproto::Crc32(data)}) {
            flashproto::PutU32(p, v);
        }
        p.push_back('n');
        return Send(FrameType::ItemBegin, p);
    }
    int Data(uint32_t offset, const std::vector<uint8_t>& bytes, int seq = -1) {
        std::vector<uint8_t> p;
        flashproto::PutU32(p, offset);
        p.insert(p.end(), bytes.begin(), bytes.end());
        return Send(FrameType::ItemData, p, seq);
    }
    int End(uint32_t index) {
        std::vector<uint8_t> p;
        flashproto::PutU32(p, index);
        return Send(FrameType::ItemEnd, p);
    }
    int Commit() { return Send(FrameType::EndOfProcess, {}); }

    BootLoader m_Loader{"FW_OLD"};
    flashproto::FrameReader m_Reader;
    uint16_t m_Seq = 0;
};

constexpr int kOk = static_cast<int>(AckStatus::Ok);

TEST(BootLoader, SilentUntilTheThirdExec) {
    Host h;
    EXPECT_EQ(h.Start("1:X"), -1);  // not booted: no answer
    for (int i = 0; i < 2; ++i) {
        h.m_Loader.Receive(reinterpret_cast<const uint8_t*>(flashproto::kExecToken), 5);
    }
    EXPECT_FALSE(h.m_Loader.Ready());
    EXPECT_FALSE(h.m_Reader.Next().has_value());
    // The third token, split across two writes.
    h.m_Loader.Receive(reinterpret_cast<const uint8_t*>("EX"), 2);
    h.m_Loader.Receive(reinterpret_cast<const uint8_t*>("EC\0"), 3);
    EXPECT_TRUE(h.m_Loader.Ready());
    auto ready = h.m_Reader.Next();
    ASSERT_TRUE(ready.has_value());
    EXPECT_EQ(ready->Packet.Type, FrameType::Ready);
}

TEST(BootLoader, CommitsAVerifiedSessionAndReportsItsVersion) {
    Host h;
    h.Boot();
    const std::vector<uint8_t> data(3000, 0xAB);
    ASSERT_EQ(h.Start("SYS 1:FW_7.1\tbuild"), kOk);
    ASSERT_EQ(h.Begin(3, data), kOk);
    ASSERT_EQ(h.Data(0, {data.begin(), data.begin() + 1000}), kOk);
    ASSERT_EQ(h.Data(1000, {data.begin() + 1000, data.end()}), kOk);
    ASSERT_EQ(h.End(3), kOk);
    EXPECT_EQ(h.m_Loader.FirmwareVersion(), "FW_OLD");
    ASSERT_EQ(h.Commit(), kOk);
    EXPECT_EQ(h.m_Loader.FirmwareVersion(), "FW_7.1");
    EXPECT_EQ(h.m_Loader.CommitCount(), 1u);
    const auto items = h.m_Loader.Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].Verified);
    EXPECT_EQ(items[0].BytesReceived, 3000u);
}

// A repeated sequence number is answered from the cache and applied once.
TEST(BootLoader, RetransmissionIsAnsweredButNotReapplied) {
    Host h;
    h.Boot();
    const std::vector<uint8_t> data(100, 1);
    ASSERT_EQ(h.Start("1:A"), kOk);
    ASSERT_EQ(h.Begin(0, data), kOk);
    ASSERT_EQ(h.Data(0, data), kOk);
    const int seq = h.m_Seq;
    EXPECT_EQ(h.Data(0, data, seq), kOk);
    EXPECT_EQ(h.m_Loader.Retransmissions(), 1u);
    EXPECT_EQ(h.m_Loader.Items()[0].BytesReceived, 100u);
    EXPECT_EQ(h.End(0), kOk);
}

TEST(BootLoader, ProtocolErrorsAreRefusedAndBlockTheCommit) {
    struct Case {
        const char* name;
        std::function<int(Host&)> step;
        AckStatus expected;
    };
    const std::vector<uint8_t> data(64, 7);
    const Case kCases[] = {
        {"data before any item", [&](Host& h) { return h.Data(0, data); }, AckStatus::BadItem},
        {"gap in the data",
         [&](Host& h) {
             h.Begin(0, data);
             return h.Data(10, data);
         },
         AckStatus::BadOffset},
        {"more data than declared",
         [&](Host& h) {
             h.Begin(0, data);
             return h.Data(0, std::vector<uint8_t>(65, 7));
         },
         AckStatus::Overrun},
        {"end before all data",
         [&](Host& h) {
             h.Begin(0, data);
             h.Data(0, {data.begin(), data.begin() + 10});
             return h.End(0);
         },
         AckStatus::Incomplete},
        {"data that does not match the checksum",
         [&](Host& h) {
             h.Begin(0, data);
             h.Data(0, std::vector<uint8_t>(64, 8));
             return h.End(0);
         },
         AckStatus::ChecksumMismatch},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        Host h;
        h.Boot();
        ASSERT_EQ(h.Start("1:NEW"), kOk);
        EXPECT_EQ(c.step(h), static_cast<int>(c.expected));
        EXPECT_EQ(h.Commit(),
                  h.m_Loader.Items().empty() ? kOk : static_cast<int>(AckStatus::NotCommitted));
        if (!h.m_Loader.Items().empty()) {
            EXPECT_EQ(h.m_Loader.FirmwareVersion(), "FW_OLD");
        }
    }
}

// What the host's read path may hand out: noise, a split frame, a stale repeat, a
// frame with a damaged byte. Only the intact frames come out, in order.
TEST(FrameReader, ResynchronisesOverNoiseAndDamage) {
    const auto a = flashproto::Encode(Frame{FrameType::Ack, 0, 1, {1, 2, 3}});
    const auto b = flashproto::Encode(Frame{FrameType::Ack, 0, 2, std::vector<uint8_t>(700, 9)});
    auto damaged = flashproto::Encode(Frame{FrameType::Ack, 0, 9, {4, 5}});
    damaged[11] ^= 0xFF;  // payload byte
    std::vector<uint8_t> stream = {0x00, 0xA5, 0x11, 0xA5, 0x5A, 0xFF};
    stream.insert(stream.end(), a.begin(), a.end());
    stream.insert(stream.end(), damaged.begin(), damaged.end());
    stream.insert(stream.end(), a.begin(), a.begin() + 4);  // a stale partial repeat
    stream.insert(stream.end(), b.begin(), b.end());

    flashproto::FrameReader reader;
    std::vector<uint16_t> seqs;
    for (uint8_t byte : stream) {  // one byte at a time
        reader.Feed(std::span<const uint8_t>(&byte, 1));
        while (auto item = reader.Next()) {
            seqs.push_back(item->Packet.Seq);
        }
    }
    EXPECT_EQ(seqs, (std::vector<uint16_t>{1, 2}));
    EXPECT_GT(reader.SkippedBytes(), 0u);
}

// The check values of the standard, and every split of a buffer (lengths and offsets
// around the eight-byte stride) continued piece by piece, against the bitwise
// definition.
TEST(Checksums, MatchTheBitwiseDefinition) {
    const auto bitwise = [](std::span<const uint8_t> data) {
        uint32_t c = 0xFFFFFFFFu;
        for (uint8_t b : data) {
            c ^= b;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
        }
        return c ^ 0xFFFFFFFFu;
    };
    const std::string check = "123456789";
    const std::span<const uint8_t> checkBytes(reinterpret_cast<const uint8_t*>(check.data()),
                                              check.size());
    EXPECT_EQ(flashproto::Crc32(checkBytes), 0xCBF43926u);
    EXPECT_EQ(flashproto::Crc16(checkBytes), 0x29B1u);
    EXPECT_EQ(flashproto::Crc32({}), 0u);

    std::vector<uint8_t> data(70);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    for (size_t from = 0; from < 9; ++from) {
        for (size_t to = from; to <= data.size(); ++to) {
            const std::span<const uint8_t> whole(data.data() + from, to - from);
            const uint32_t expected = bitwise(whole);
            ASSERT_EQ(flashproto::Crc32(whole), expected) << from << ".." << to;
            const size_t cut = whole.size() / 3;
            ASSERT_EQ(flashproto::Crc32(whole.subspan(cut), flashproto::Crc32(whole.first(cut))),
                      expected)
                << from << ".." << to << " cut at " << cut;
        }
    }
}

TEST(VersionToken, FirstWordAfterTheMarker) {
    const std::pair<const char*, const char*> kCases[] = {
        {"BRELK SYS 1:FW_2.4.1 build 88", "FW_2.4.1"},
        {"1:  V2\nrest", "V2"},
        {"x1:A:B", "A"},
        {"no marker", ""},
        {"1:", ""},
    };
    for (const auto& [text, token] : kCases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(VersionTokenOf(text), token);
    }
}

}  // namespace
}  // namespace brelk::test
