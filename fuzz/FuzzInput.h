#pragma once
// Reads a fuzz input front to back, so that a seed is written in the same order the
// target reads it (FuzzSeeds.cpp). Past the end every read yields zeros.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace brelkfuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}

    bool Empty() const { return m_Pos >= m_Size; }
    size_t Remaining() const { return m_Pos < m_Size ? m_Size - m_Pos : 0; }

    uint8_t U8() { return m_Pos < m_Size ? m_Data[m_Pos++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(U8() | (U8() << 8)); }
    uint32_t U32() { return static_cast<uint32_t>(U16()) | (static_cast<uint32_t>(U16()) << 16); }

    // Up to n bytes, fewer at the end of the input.
    std::span<const uint8_t> Bytes(size_t n) {
        const size_t take = n < Remaining() ? n : Remaining();
        std::span<const uint8_t> out(m_Data + m_Pos, take);
        m_Pos += take;
        return out;
    }
    std::span<const uint8_t> Rest() { return Bytes(Remaining()); }

private:
    const uint8_t* m_Data;
    size_t m_Size;
    size_t m_Pos = 0;
};

// A broken property: print what was expected and abort, so libFuzzer keeps the input.
[[noreturn]] inline void Fail(const char* what, long long expected, long long actual) {
    std::fprintf(stderr, "fuzz check failed: %s: expected %lld, got %lld\n", what, expected,
                 actual);
    std::abort();
}

inline void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

inline void CheckEq(long long expected, long long actual, const char* what) {
    if (expected != actual) {
        Fail(what, expected, actual);
    }
}

}  // namespace brelkfuzz
