// Port round trip: one 2 KiB PortWrite of a data block to the simulated modem's boot
// loader (no modem delay), and its acknowledgement read back through PortRead. The data
// session runs with both device services advised, as during an upgrade.

#include <windows.h>
#include <objbase.h>
#include <winplat/clock.h>

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "FlashProtocol.h"
#include "Internal.h"
#include "MBDeviceService.h"
#include "SimModem.h"

namespace {

namespace fs = std::filesystem;
using flashproto::Frame;
using flashproto::FrameType;

constexpr size_t kWriteSize = 2048;
constexpr size_t kDataPerBlock =
    kWriteSize - flashproto::kHeaderSize - flashproto::kTrailerSize - 4;  // 4: offset field

class LoaderSession {
public:
    bool Start(std::string* error) {
        m_Folder = fs::temp_directory_path() / ("brelk-bench-port-" + std::to_string(getpid()));
        fs::remove_all(m_Folder);
        fs::create_directories(m_Folder);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        sim::ModemOptions options;
        options.MachineFolder = m_Folder;
        options.KeepWrittenBytes = false;
        m_Modem = std::make_unique<sim::SimModem>(options);
        if (m_Modem->Start() != S_OK) {
            *error = "modem did not start";
            return false;
        }
        m_Upgrade = std::make_shared<CMBDeviceService>(sim::kUpgradeServiceId);
        m_Flash = std::make_shared<CMBDeviceService>(sim::kFlashServiceId);
        if (m_Upgrade->Initialize() != S_OK || m_Flash->Initialize() != S_OK ||
            m_Flash->OpenServiceDataSession() != S_OK) {
            *error = "device services did not open";
            return false;
        }
        g_pFlashService = m_Flash;

        // The handshake with the driver's real 3000 ms pauses, run fast.
        WinplatSetTimeScale(100000);
        for (int i = 0; i < flashproto::kExecCount; ++i) {
            UINT32 written = 0;
            PortWrite(nullptr, flashproto::kExecToken, sizeof(flashproto::kExecToken), &written);
        }
        WinplatSetTimeScale(1);
        if (!Await(FrameType::Ready, 0)) {
            *error = "no Ready from the loader";
            return false;
        }
        std::vector<uint8_t> start;
        flashproto::PutU32(start, 1);
        start.insert(start.end(), {'1', ':', 'B', 'E', 'N', 'C', 'H'});
        std::vector<uint8_t> begin;
        flashproto::PutU32(begin, 0);           // index
        flashproto::PutU32(begin, 4);           // memory class
        flashproto::PutU32(begin, 0xFFFFFFFF);  // size: room for every block of the run
        flashproto::PutU32(begin, 0);           // checksum, never reached
        begin.insert(begin.end(), {'b', 'e', 'n', 'c', 'h'});
        if (!Exchange(FrameType::SessionStart, start) || !Exchange(FrameType::ItemBegin, begin)) {
            *error = "loader refused the session";
            return false;
        }
        return true;
    }

    void Stop() {
        g_pFlashService.reset();
        m_Flash.reset();
        m_Upgrade.reset();
        if (m_Modem) {
            m_Modem->Stop();
        }
        CoUninitialize();
        std::error_code ec;
        fs::remove_all(m_Folder, ec);
    }

    // One data block of exactly kWriteSize bytes on the wire, and its acknowledgement.
    bool SendBlock() {
        std::vector<uint8_t> payload;
        payload.reserve(4 + kDataPerBlock);
        flashproto::PutU32(payload, m_Offset);
        payload.resize(4 + kDataPerBlock, static_cast<uint8_t>(m_Offset));
        m_Offset += static_cast<uint32_t>(kDataPerBlock);
        return Exchange(FrameType::ItemData, std::move(payload));
    }

private:
    bool Exchange(FrameType type, std::vector<uint8_t> payload) {
        Frame request{type, 0, ++m_Seq, std::move(payload)};
        const std::vector<uint8_t> bytes = flashproto::Encode(request);
        UINT32 written = 0;
        PortWrite(nullptr, reinterpret_cast<const char*>(bytes.data()),
                  static_cast<UINT32>(bytes.size()), &written);
        if (written != bytes.size()) {
            return false;
        }
        const auto ack = Await(FrameType::Ack, request.Seq);
        return ack && ack->Status == 0;
    }

    std::optional<Frame> Await(FrameType type, uint16_t seq) {
        for (int polls = 0; polls < 1000; ++polls) {
            while (auto item = m_Reader.Next()) {
                if (!item->IsExec && item->Packet.Type == type &&
                    (type != FrameType::Ack || item->Packet.Seq == seq)) {
                    return std::move(item->Packet);
                }
            }
            char buffer[700];
            UINT32 count = 0;
            PortRead(nullptr, buffer, sizeof(buffer), &count);
            m_Reader.Feed(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(buffer),
                                                   std::min<size_t>(count, sizeof(buffer))));
        }
        return std::nullopt;
    }

    fs::path m_Folder;
    std::unique_ptr<sim::SimModem> m_Modem;
    std::shared_ptr<CMBDeviceService> m_Upgrade;
    std::shared_ptr<CMBDeviceService> m_Flash;
    flashproto::FrameReader m_Reader;
    uint16_t m_Seq = 0;
    uint32_t m_Offset = 0;
};

void BM_PortRoundTrip2KiB(benchmark::State& state) {
    LoaderSession session;
    std::string error;
    if (!session.Start(&error)) {
        state.SkipWithError(error.c_str());
        session.Stop();
        return;
    }
    for (auto _ : state) {
        if (!session.SendBlock()) {
            state.SkipWithError("block not acknowledged");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kWriteSize);
    session.Stop();
}
BENCHMARK(BM_PortRoundTrip2KiB)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
