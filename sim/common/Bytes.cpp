#include "Bytes.h"

#include <array>

namespace simcommon {
namespace {

// Slicing by 8: table k advances a byte's contribution past k further bytes, so eight
// bytes take eight independent lookups instead of a chain of eight. Every image byte
// passes through here twice on its way to the loader, which makes this the data path's
// largest cost.
using Crc32Tables = std::array<std::array<uint32_t, 256>, 8>;

constexpr Crc32Tables MakeCrc32Tables() {
    Crc32Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) {
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        }
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i) {
        for (size_t k = 1; k < t.size(); ++k) {
            t[k][i] = t[0][t[k - 1][i] & 0xFF] ^ (t[k - 1][i] >> 8);
        }
    }
    return t;
}

constexpr Crc32Tables kCrc32 = MakeCrc32Tables();

}  // namespace

uint16_t Crc16(std::span<const uint8_t> data) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : data) {
        crc ^= static_cast<uint16_t>(b << 8);
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

uint32_t Crc32(std::span<const uint8_t> data, uint32_t previous) {
    uint32_t c = previous ^ 0xFFFFFFFFu;
    const uint8_t* p = data.data();
    size_t n = data.size();
    for (; n >= 8; p += 8, n -= 8) {
        const uint32_t lo = c ^ GetU32(p);
        const uint32_t hi = GetU32(p + 4);
        c = kCrc32[7][lo & 0xFF] ^ kCrc32[6][(lo >> 8) & 0xFF] ^ kCrc32[5][(lo >> 16) & 0xFF] ^
            kCrc32[4][lo >> 24] ^ kCrc32[3][hi & 0xFF] ^ kCrc32[2][(hi >> 8) & 0xFF] ^
            kCrc32[1][(hi >> 16) & 0xFF] ^ kCrc32[0][hi >> 24];
    }
    for (; n > 0; ++p, --n) {
        c = kCrc32[0][(c ^ *p) & 0xFF] ^ (c >> 8);
    }
    return c ^ 0xFFFFFFFFu;
}

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
}

void StoreU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

void StoreU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t GetU64(const uint8_t* p) {
    return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}

}  // namespace simcommon
