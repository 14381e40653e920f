#pragma once
// The wire protocol between the flash library stand-in (host side) and the modem's boot
// loader. Both ends stream: the host sends an item block by block and the loader checks
// each block as it arrives, so neither holds a whole image in memory.
//
// Boot handshake: the host writes the five bytes "EXEC\0" three times, each as its own
// write. After the third the loader answers with a Ready frame. Everything after that is
// framed, strictly request and reply: the host sends one frame and waits for the reply
// that carries the same sequence number before it sends the next one. The loader never
// speaks unasked, so its replies never pile up in the host's receive buffer.
//
// Frame (little-endian):
//   0  u8[2]  magic 0xA5 0x5A
//   2  u8     type (FrameType)
//   3  u8     status (replies; 0 in requests)
//   4  u16    sequence number (a reply repeats the request's)
//   6  u16    payload length, at most kMaxPayload
//   8  u16    CRC-16/CCITT-FALSE of bytes 0..7
//  10  ...    payload
//   n  u32    CRC-32 (IEEE) of the payload
//
// The header check lets a reader resynchronise after garbage or a stale repeat of an
// earlier reply (the host's read path may hand out a chunk twice) without waiting for a
// bogus length. A request whose sequence number equals the last one handled is a
// retransmission: the loader repeats its last reply and does nothing else.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "Bytes.h"

namespace flashproto {

inline constexpr uint8_t kMagic0 = 0xA5;
inline constexpr uint8_t kMagic1 = 0x5A;
inline constexpr size_t kHeaderSize = 10;
inline constexpr size_t kTrailerSize = 4;
inline constexpr size_t kMaxPayload = 16384 + 4;  // a 16 KiB data block and its offset
inline constexpr size_t kMaxFrame = kHeaderSize + kMaxPayload + kTrailerSize;
inline constexpr char kExecToken[5] = {'E', 'X', 'E', 'C', '\0'};
inline constexpr int kExecCount = 3;

enum class FrameType : uint8_t {
    // loader -> host
    Ready = 0x01,  // payload: u16 protocol version, u16 largest payload accepted
    Ack = 0x02,    // status 0 = accepted; payload: u32 detail (bytes so far, or 0)
    // host -> loader
    SessionStart = 0x10,  // payload: u32 item count of the image, version text
    ItemBegin = 0x11,     // payload: u32 index, u32 class, u32 size, u32 crc32, name
    ItemData = 0x12,      // payload: u32 offset, data
    ItemEnd = 0x13,       // payload: u32 index
    EndOfProcess = 0x14,  // no payload; commits the session
};

// Reply status codes of Ack.
enum class AckStatus : uint8_t {
    Ok = 0,
    NoSession = 1,  // a request that needs a session came before SessionStart
    BadItem = 2,    // ItemData/ItemEnd for an item that is not open
    BadOffset = 3,  // block does not continue the item where it stands
    Overrun = 4,    // more data than the item's declared size
    ChecksumMismatch = 5,
    Incomplete = 6,    // ItemEnd before all declared bytes arrived
    NotCommitted = 7,  // EndOfProcess with an item that did not verify
    Malformed = 8,     // payload too short for its type
    UnknownType = 9,
};

inline constexpr uint16_t kProtocolVersion = 1;

struct Frame {
    FrameType Type{};
    uint8_t Status = 0;
    uint16_t Seq = 0;
    std::vector<uint8_t> Payload;
};

using simcommon::Crc16;
using simcommon::Crc32;
using simcommon::GetU16;
using simcommon::GetU32;
using simcommon::PutU16;
using simcommon::PutU32;

// Appends the encoded frame to out.
void Encode(const Frame& frame, std::vector<uint8_t>& out);
std::vector<uint8_t> Encode(const Frame& frame);

// Incremental decoder: feed bytes as they come; it hands out whole frames whose header
// and payload checks hold and skips everything else one byte at a time. Optionally it
// also recognises the "EXEC\0" token between frames.
class FrameReader {
public:
    explicit FrameReader(bool acceptExecTokens = false) : m_AcceptExec(acceptExecTokens) {}

    void Feed(std::span<const uint8_t> data);

    struct Item {
        bool IsExec = false;
        Frame Packet;  // valid when !IsExec
    };
    // The next complete frame or token, if one is buffered.
    std::optional<Item> Next();

    void Clear() { m_Buffer.clear(); }
    size_t Buffered() const { return m_Buffer.size(); }
    uint64_t SkippedBytes() const { return m_Skipped; }

private:
    bool m_AcceptExec;
    std::vector<uint8_t> m_Buffer;
    uint64_t m_Skipped = 0;
};

}  // namespace flashproto
