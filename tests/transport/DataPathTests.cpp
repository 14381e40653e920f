// The flash data path end to end: bytes written through the flash service reach the
// modem's boot loader, and its replies come back through ReadDataFromDevice, with the
// upgrade and flash services both advised (two sinks, the process-wide toggles at work).
#include <atomic>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include <oleauto.h>

#include "BootLoader.h"
#include "FlashProtocol.h"
#include "ModemFixture.h"

namespace brelk::test {
namespace {

using flashproto::Frame;
using flashproto::FrameType;

class DataPathTest : public ModemFixture {
protected:
    HRESULT Write(const std::vector<uint8_t>& bytes) {
        return m_Flash->WriteDataToDevice(bytes.data(), static_cast<ULONG>(bytes.size()));
    }

    // Reads the way the port callbacks do: whatever arrives, until `want` bytes or ten
    // read windows without data.
    std::vector<uint8_t> ReadBytes(size_t want, ULONG requested = 512) {
        std::vector<uint8_t> got;
        int idle = 0;
        while (got.size() < want && idle < 10) {
            std::vector<uint8_t> buffer(requested, 0xCD);
            ULONG count = 0;
            if (SUCCEEDED(m_Flash->ReadDataFromDevice(buffer.data(), &count, requested)) &&
                count != 0) {
                EXPECT_LE(count, requested);
                got.insert(got.end(), buffer.begin(), buffer.begin() + count);
                idle = 0;
            } else {
                ++idle;
            }
        }
        return got;
    }

    std::optional<Frame> ReadFrame() {
        flashproto::FrameReader reader;
        for (int i = 0; i < 10; ++i) {
            if (auto item = reader.Next()) {
                return item->Packet;
            }
            const auto bytes = ReadBytes(1);
            reader.Feed(std::span<const uint8_t>(bytes.data(), bytes.size()));
        }
        if (auto item = reader.Next()) {
            return item->Packet;
        }
        return std::nullopt;
    }

    // One request, one acknowledgement with the same sequence number.
    void Exchange(FrameType type, uint16_t seq, const std::vector<uint8_t>& payload) {
        Frame request{type, 0, seq, payload};
        ASSERT_HR(S_OK, Write(flashproto::Encode(request)));
        const auto reply = ReadFrame();
        ASSERT_TRUE(reply.has_value()) << "no reply to request " << seq;
        EXPECT_EQ(reply->Type, FrameType::Ack);
        EXPECT_EQ(reply->Status, 0) << "request " << seq;
        EXPECT_EQ(reply->Seq, seq);
    }

    void Boot() {
        const std::vector<uint8_t> exec(flashproto::kExecToken, flashproto::kExecToken + 5);
        for (int i = 0; i < flashproto::kExecCount; ++i) {
            ASSERT_HR(S_OK, Write(exec));
        }
        const auto ready = ReadFrame();
        ASSERT_TRUE(ready.has_value());
        EXPECT_EQ(ready->Type, FrameType::Ready);
    }
};

// The whole stream of a small image: every byte arrives at the loader in order, every
// reply comes back whole, the loader verifies the item and the committed version persists.
TEST_F(DataPathTest, ImageStreamArrivesIntactAndRepliesComeBack) {
    OpenBoth();
    const size_t writesBefore = Modem().Stats().Writes;
    Boot();

    std::vector<uint8_t> image(10000);
    for (size_t i = 0; i < image.size(); ++i) {
        image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    }
    const uint32_t crc = flashproto::Crc32(std::span<const uint8_t>(image.data(), image.size()));

    std::vector<uint8_t> start;
    flashproto::PutU32(start, 1);
    const std::string version = "FW 1: 7.8.9 build";
    start.insert(start.end(), version.begin(), version.end());
    uint16_t seq = 1;
    Exchange(FrameType::SessionStart, seq++, start);

    std::vector<uint8_t> begin;
    for (uint32_t v : {0u, 3u, static_cast<uint32_t>(image.size()), crc}) {
        flashproto::PutU32(begin, v);
    }
    Exchange(FrameType::ItemBegin, seq++, begin);
    for (size_t offset = 0; offset < image.size(); offset += 2048) {
        std::vector<uint8_t> block;
        flashproto::PutU32(block, static_cast<uint32_t>(offset));
        const size_t n = std::min<size_t>(2048, image.size() - offset);
        block.insert(block.end(), image.begin() + offset, image.begin() + offset + n);
        Exchange(FrameType::ItemData, seq++, block);
    }
    std::vector<uint8_t> end;
    flashproto::PutU32(end, 0);
    Exchange(FrameType::ItemEnd, seq++, end);
    Exchange(FrameType::EndOfProcess, seq++, {});

    const auto items = Modem().Loader().Items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].Verified);
    EXPECT_EQ(Modem().Loader().Retransmissions(), 0u);
    EXPECT_EQ(Modem().FirmwareVersion(), "7.8.9");
    EXPECT_EQ(Modem().Stats().Writes - writesBefore, 3u + seq - 1);
    EXPECT_EQ(Modem().Loader().BytesReceived(), Modem().WrittenBytes().size());
    EXPECT_EQ(CountDebugOutput("DSS : WriteFlashData over MBIM: Write Time out\n"), 0u);

    // The next modem on this machine reports the committed version.
    EXPECT_HR(S_OK, m_Flash->CloseServiceDataSession());
    m_Flash.reset();
    m_Upgrade.reset();
    Modem().Stop();
    StartModem();
    auto upgrade = OpenDeviceService(sim::kUpgradeServiceId);
    MBN_INTERFACE_CAPS caps = {};
    ASSERT_HR(S_OK, upgrade->GetMbnInterface()->GetInterfaceCapability(&caps));
    EXPECT_EQ(CMBDeviceService::ToNarrow(caps.firmwareInfo), std::string("7.8.9", 6));
    for (BSTR text : {caps.customDataClass, caps.customBandClass, caps.deviceID, caps.manufacturer,
                      caps.model, caps.firmwareInfo}) {
        SysFreeString(text);
    }
}

// A byte corrupted on the way to the loader: the frame fails its check and goes
// unanswered; the host's retransmission of the same frame is answered.
TEST_F(DataPathTest, CorruptedWriteGoesUnansweredUntilRetransmitted) {
    OpenBoth();
    Boot();
    std::vector<uint8_t> start;
    flashproto::PutU32(start, 0);
    const auto frame = flashproto::Encode(Frame{FrameType::SessionStart, 0, 1, start});
    AddFaults("modem.write:corrupt=12");
    ASSERT_HR(S_OK, Write(frame));
    EXPECT_FALSE(ReadFrame().has_value());
    EXPECT_FALSE(Modem().Loader().SessionOpen());
    ASSERT_HR(S_OK, Write(frame));
    const auto reply = ReadFrame();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->Type, FrameType::Ack);
    EXPECT_EQ(reply->Seq, 1);
    EXPECT_TRUE(Modem().Loader().SessionOpen());
}

TEST_F(DataPathTest, WritesCompleteWithoutWaitingOutTheTimeout) {
    OpenBoth();
    const std::vector<uint8_t> block(2048, 0x5A);
    HRESULT hr = E_FAIL;
    const ULONGLONG elapsed = Timed([&] {
        for (int i = 0; i < 5; ++i) {
            hr = Write(block);
            if (FAILED(hr)) {
                break;
            }
        }
    });
    EXPECT_HR(S_OK, hr);
    EXPECT_LT(elapsed, 10000u);
    EXPECT_EQ(Modem().WrittenBytes().size(), 5u * 2048);
}

TEST_F(DataPathTest, WriteFailuresAndMissingCompletions) {
    struct Case {
        const char* faults;
        HRESULT expected;
        ULONGLONG minMs;
        const char* text;
        size_t times;
    };
    const Case cases[] = {
        // A failed completion leaves the write to its time-out, which still counts as
        // written; each of the two sinks reports the failure it was handed.
        {"modem.write:fail=0x80004005", S_OK, 10000, "\n Fail status of write", 2},
        {"modem.complete/write:drop", S_OK, 10000,
         "DSS : WriteFlashData over MBIM: Write Time out\n", 1},
        {"modem.silent:on", S_OK, 10000, "DSS : WriteFlashData over MBIM: Write Time out\n", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        OpenBoth();
        AddFaults(c.faults);
        WinplatClearDebugOutput();
        HRESULT hr = E_FAIL;
        EXPECT_GE(Timed([&] { hr = Write({1, 2, 3}); }), c.minMs);
        EXPECT_HR(c.expected, hr);
        EXPECT_EQ(CountDebugOutput(c.text), c.times);
        sim::FaultPlan::Instance().Clear();
        m_Flash.reset();
        m_Upgrade.reset();
        Modem().Stop();  // a silent modem stays silent: start a new one
        StartModem();
        g_WriteDoneToggle = 0;
        g_ReadDataToggle = 0;
    }
}

TEST_F(DataPathTest, WriteOutsideTheDataSessionFails) {
    OpenBoth(false);
    WinplatClearDebugOutput();
    EXPECT_FALSE(SUCCEEDED(Write({1})));
    EXPECT_EQ(CountDebugOutput("DSS : WriteFlashData over MBIM : FAILED to Write Data\n"), 1u);
    EXPECT_TRUE(Modem().WrittenBytes().empty());
}

TEST_F(DataPathTest, ReadWithoutDataTimesOut) {
    OpenBoth();
    std::vector<uint8_t> buffer(16, 0xCD);
    ULONG count = 0xDEADBEEF;
    HRESULT hr = S_OK;
    EXPECT_GE(Timed([&] { hr = m_Flash->ReadDataFromDevice(buffer.data(), &count, 16); }), 320u);
    EXPECT_HR(E_FAIL, hr);
    EXPECT_EQ(count, 0xDEADBEEFu);
    EXPECT_EQ(buffer[0], 0xCD);
    EXPECT_EQ(CountDebugOutput("Data is NOT available"), 1u);
    EXPECT_EQ(CountDebugOutput("DS : ReadDataFromDevice : Timeuot while ReadDataFromDevice()"), 1u);
    ULONG available = 0xDEADBEEF;
    EXPECT_HR(S_OK, m_Flash->GetAvailableBytes(&available));
    EXPECT_EQ(available, 0u);
}

// Data notifications as the modem's fault plan shapes them, and what the reader gets.
TEST_F(DataPathTest, DataNotificationFaults) {
    const std::vector<uint8_t> sent = {10, 11, 12, 13, 14, 15, 16, 17};
    const std::string loss = "DS : OnReadData : received bytes dropped, receive buffer full\n";
    struct Case {
        const char* faults;
        std::vector<uint8_t> expected;
        size_t lossReports;
    };
    std::vector<uint8_t> twice = sent;
    twice.insert(twice.end(), sent.begin(), sent.end());
    std::vector<uint8_t> corrupted = sent;
    corrupted[3] ^= 0xFF;
    std::vector<uint8_t> padded = sent;
    padded.resize(700, 0xEE);
    const Case cases[] = {
        {"", sent, 0},
        {"modem.notify:drop", {}, 0},
        {"modem.notify:duplicate", twice, 0},
        {"modem.notify:split=3", sent, 0},
        {"modem.notify:corrupt=3", corrupted, 0},
        {"modem.notify:oversize=1000", padded, 1},  // cut to the 700-byte staging area
        {"modem.notify:empty", {}, 0},
        {"modem.notify:missing", {}, 0},
        {"modem.notify:delay=2000", sent, 0},
    };
    OpenBoth();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.faults);
        sim::FaultPlan::Instance().Clear();
        AddFaults(c.faults);
        WinplatClearDebugOutput();
        Modem().SendData(sent.data(), sent.size());
        ASSERT_TRUE(Modem().WaitIdle(60000));
        const auto got = ReadBytes(c.expected.size() + 1, 700);
        EXPECT_EQ(got, c.expected);
        EXPECT_EQ(CountDebugOutput(loss), c.lossReports);
    }
}

TEST_F(DataPathTest, AvailableBytesReportTheLastChunk) {
    OpenBoth();
    const std::vector<uint8_t> chunk(42, 1);
    Modem().SendData(chunk.data(), chunk.size());
    ASSERT_TRUE(Modem().WaitIdle(60000));
    ULONG available = 0;
    m_Flash->GetAvailableBytes(&available);
    EXPECT_EQ(available, 42u);
    EXPECT_EQ(ReadBytes(42).size(), 42u);
    m_Flash->GetAvailableBytes(&available);
    EXPECT_EQ(available, 42u);
    // The upgrade service's sink got every other delivery: nothing.
    m_Upgrade->GetAvailableBytes(&available);
    EXPECT_EQ(available, 0u);
}

// A long burst with reads racing the notifications: no byte lost, none twice. The modem
// side only waits for room in the receive buffer, as a flow-controlled sender would.
TEST_F(DataPathTest, BurstOfChunksWhileReading) {
    OpenBoth();
    CMBDeviceServiceEvents* sink = m_Flash->GetEventSink();
    std::vector<std::vector<uint8_t>> chunks;
    std::vector<uint8_t> sent;
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> chunk(1 + (i * 37) % 120);
        for (size_t k = 0; k < chunk.size(); ++k) {
            chunk[k] = static_cast<uint8_t>(sent.size() + k);
        }
        sent.insert(sent.end(), chunk.begin(), chunk.end());
        chunks.push_back(std::move(chunk));
    }
    std::atomic<bool> stop{false};
    std::thread modem([&] {
        for (const auto& chunk : chunks) {
            for (;;) {
                CMBDeviceServiceEvents::ReceiveSnapshot s;
                sink->SnapshotReceiveState(&s);
                if (stop || (s.WritePosition - s.ReadPosition + 2 * 120 <= RECEIVE_BUFFER_SIZE &&
                             Modem().WaitIdle(0))) {
                    break;
                }
                Sleep(1);
            }
            Modem().SendData(chunk.data(), chunk.size());
        }
    });
    std::vector<uint8_t> got;
    int idle = 0;
    while (got.size() < sent.size() && idle < 1000) {
        std::vector<uint8_t> buffer(256);
        ULONG count = 0;
        if (SUCCEEDED(m_Flash->ReadDataFromDevice(buffer.data(), &count, 256)) && count != 0) {
            got.insert(got.end(), buffer.begin(), buffer.begin() + count);
            idle = 0;
        } else {
            ++idle;
        }
    }
    stop = true;
    modem.join();
    EXPECT_EQ(got, sent);
    EXPECT_EQ(CountDebugOutput("DS : OnReadData : received bytes dropped, receive buffer full\n"),
              0u);
}

}  // namespace
}  // namespace brelk::test
