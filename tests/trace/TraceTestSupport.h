#pragma once
// Small helpers shared by the trace suites.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace brelk::test {

// A log file path of its own for each use, removed afterwards.
struct TempLog {
    explicit TempLog(const std::string& name)
        : path(::testing::TempDir() + "brelk-trace-" + std::to_string(getpid()) + "-" + name +
               ".log") {}
    ~TempLog() { std::remove(path.c_str()); }
    TempLog(const TempLog&) = delete;
    TempLog& operator=(const TempLog&) = delete;
    std::string path;
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

}  // namespace brelk::test
