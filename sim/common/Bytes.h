#pragma once
// Checksums and little-endian field access: the one copy for every on-disk and on-wire
// format of the simulated machine.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace simcommon {

// CRC-16/CCITT-FALSE.
uint16_t Crc16(std::span<const uint8_t> data);
// CRC-32 (IEEE 802.3, reflected, as zlib computes it); pass the previous value to continue.
uint32_t Crc32(std::span<const uint8_t> data, uint32_t previous = 0);

void PutU16(std::vector<uint8_t>& out, uint16_t v);
void PutU32(std::vector<uint8_t>& out, uint32_t v);
void StoreU32(uint8_t* p, uint32_t v);
void StoreU64(uint8_t* p, uint64_t v);
uint16_t GetU16(const uint8_t* p);
uint32_t GetU32(const uint8_t* p);
uint64_t GetU64(const uint8_t* p);

}  // namespace simcommon
