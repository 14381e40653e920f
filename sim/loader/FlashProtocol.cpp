#include "FlashProtocol.h"

#include <algorithm>
#include <cstring>

namespace flashproto {
void Encode(const Frame& frame, std::vector<uint8_t>& out) {
    const size_t start = out.size();
    out.push_back(kMagic0);
    out.push_back(kMagic1);
    out.push_back(static_cast<uint8_t>(frame.Type));
    out.push_back(frame.Status);
    PutU16(out, frame.Seq);
    PutU16(out, static_cast<uint16_t>(std::min(frame.Payload.size(), kMaxPayload)));
    PutU16(out, Crc16(std::span<const uint8_t>(out.data() + start, 8)));
    const size_t n = std::min(frame.Payload.size(), kMaxPayload);
    out.insert(out.end(), frame.Payload.begin(), frame.Payload.begin() + static_cast<ptrdiff_t>(n));
    PutU32(out, Crc32(std::span<const uint8_t>(frame.Payload.data(), n)));
}

std::vector<uint8_t> Encode(const Frame& frame) {
    std::vector<uint8_t> out;
    out.reserve(kHeaderSize + frame.Payload.size() + kTrailerSize);
    Encode(frame, out);
    return out;
}

void FrameReader::Feed(std::span<const uint8_t> data) {
    m_Buffer.insert(m_Buffer.end(), data.begin(), data.end());
}

std::optional<FrameReader::Item> FrameReader::Next() {
    size_t pos = 0;
    std::optional<Item> result;
    while (pos < m_Buffer.size()) {
        const uint8_t* p = m_Buffer.data() + pos;
        const size_t avail = m_Buffer.size() - pos;
        if (m_AcceptExec && p[0] == static_cast<uint8_t>(kExecToken[0])) {
            const size_t n = std::min(avail, sizeof(kExecToken));
            if (std::memcmp(p, kExecToken, n) == 0) {
                if (n < sizeof(kExecToken)) {
                    break;  // a token may still be arriving
                }
                result = Item{true, {}};
                pos += sizeof(kExecToken);
                break;
            }
        }
        if (p[0] != kMagic0) {
            ++pos;
            ++m_Skipped;
            continue;
        }
        if (avail < kHeaderSize) {
            if (avail >= 2 && p[1] != kMagic1) {
                ++pos;
                ++m_Skipped;
                continue;
            }
            break;
        }
        const uint16_t length = GetU16(p + 6);
        if (p[1] != kMagic1 || length > kMaxPayload ||
            Crc16(std::span<const uint8_t>(p, 8)) != GetU16(p + 8)) {
            ++pos;
            ++m_Skipped;
            continue;
        }
        const size_t total = kHeaderSize + length + kTrailerSize;
        if (avail < total) {
            break;
        }
        const std::span<const uint8_t> payload(p + kHeaderSize, length);
        if (Crc32(payload) != GetU32(p + kHeaderSize + length)) {
            ++pos;
            ++m_Skipped;
            continue;
        }
        Item item;
        item.Packet.Type = static_cast<FrameType>(p[2]);
        item.Packet.Status = p[3];
        item.Packet.Seq = GetU16(p + 4);
        item.Packet.Payload.assign(payload.begin(), payload.end());
        result = std::move(item);
        pos += total;
        break;
    }
    m_Buffer.erase(m_Buffer.begin(), m_Buffer.begin() + static_cast<ptrdiff_t>(pos));
    return result;
}

}  // namespace flashproto
