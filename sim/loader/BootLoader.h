#pragma once
// The modem's boot loader: the far end of the flash library's protocol (FlashProtocol.h).
//
// A host (the simulated modem, or a test's loopback port) feeds it every byte the flash
// library writes, in whatever pieces they arrive, and registers a handler that carries
// the loader's replies back. It verifies every item against the checksum the host
// announced, and on a successful end of process commits the session: from then on it
// reports the image's version as its firmware version.
//
// Threads: Receive calls are serialised inside; the reply handler runs on the caller's
// thread inside Receive, each call with at most kMaxReplyChunk bytes, and must not call
// Receive itself. The observers may be called from any thread at any time.
//
// CMake target: brelk_bootloader (static, position-independent).

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FlashProtocol.h"

class BootLoader {
public:
    static constexpr size_t kMaxReplyChunk = 700;

    using ReplyHandler = std::function<void(const uint8_t* data, size_t length)>;

    // What arrived for one item of the current (or last) session.
    struct ItemRecord {
        uint32_t Index = 0;
        uint32_t MemoryClass = 0;
        std::string Name;
        uint32_t DeclaredSize = 0;
        uint32_t DeclaredChecksum = 0;
        uint32_t BytesReceived = 0;
        uint32_t ReceivedChecksum = 0;  // CRC-32 of the bytes received
        bool Ended = false;             // ItemEnd arrived
        bool Verified = false;          // complete and checksum matched
    };

    explicit BootLoader(std::string firmwareVersion = "");
    ~BootLoader();
    BootLoader(const BootLoader&) = delete;
    BootLoader& operator=(const BootLoader&) = delete;

    void SetReplyHandler(ReplyHandler handler);

    // Bytes written by the host, in any split.
    void Receive(const uint8_t* data, size_t length);

    // Power cycle: the boot handshake and the session start over; the committed
    // firmware version and the record of the last session stay.
    void Reset();

    // The version token of the last committed image ("" or the constructor's value
    // before the first commit).
    std::string FirmwareVersion() const;
    // Items of the current session, or of the last one when none is open, in order of
    // arrival. A repeated item index replaces nothing: each ItemBegin adds a record.
    std::vector<ItemRecord> Items() const;
    bool Ready() const;        // handshake done since the last Reset
    bool SessionOpen() const;  // SessionStart seen, not yet committed
    std::string SessionVersionText() const;
    uint32_t CommitCount() const;
    uint32_t ExecTokensSeen() const;  // since the last Reset
    uint64_t BytesReceived() const;   // everything fed to Receive, ever
    uint64_t RequestsHandled() const;
    uint64_t Retransmissions() const;  // repeated sequence numbers answered from cache

private:
    struct State;
    void HandleFrame(const flashproto::Frame& request, std::vector<uint8_t>& reply);

    std::mutex m_ReceiveLock;                // serialises Receive; held while the handler runs
    ReplyHandler m_Handler;                  // guarded by m_ReceiveLock
    flashproto::FrameReader m_Reader{true};  // guarded by m_ReceiveLock
    mutable std::mutex m_StateLock;          // guards *m_State; never held across the handler
    std::unique_ptr<State> m_State;
};
