// Writes the seed corpus of every fuzz target: brelk-fuzz-seeds <dir> creates
// <dir>/<target>/<seed>. Each seed is laid out the way its target reads its input (see the
// comment at the top of each target). Inputs that once broke a property stay here as
// seeds, so every run starts by replaying them.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "FirmwareImage.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Writer {
    Bytes b;
    Writer& U8(uint32_t v) {
        b.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    Writer& U16(uint32_t v) { return U8(v).U8(v >> 8); }
    Writer& U32(uint32_t v) { return U16(v).U16(v >> 16); }
    Writer& Text(std::string_view s) {
        b.insert(b.end(), s.begin(), s.end());
        return *this;
    }
    Writer& Raw(const Bytes& bytes) {
        b.insert(b.end(), bytes.begin(), bytes.end());
        return *this;
    }
    Writer& Wide(std::u16string_view s) {
        for (char16_t c : s) {
            U16(c);
        }
        return *this;
    }
};

bool Save(const fs::path& dir, const std::string& name, const Bytes& bytes) {
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

Bytes Count(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(i * 7 + 3);
    }
    return b;
}

// copy_byte_array: flags, type index, dimensions-1, per dimension lower and count (16
// bits for the first, 8 for the others), capacity, data.
void CopyByteArraySeeds(const fs::path& d, bool& ok) {
    ok &= Save(d, "bytes-10", Writer().U8(0).U8(0).U8(0).U32(0).U16(10).U16(700).Raw(Count(10)).b);
    ok &= Save(d, "bytes-1000-into-700",
               Writer().U8(0).U8(0).U8(0).U32(0).U16(1000).U16(700).Raw(Count(1000)).b);
    ok &= Save(d, "lower-at-long-max",
               Writer().U8(0).U8(0).U8(0).U32(0x7FFFFFFE).U16(2).U16(8).Raw(Count(2)).b);
    ok &= Save(d, "lower-negative",
               Writer().U8(0).U8(1).U8(0).U32(0xFFFFFFF0).U16(32).U16(16).Raw(Count(32)).b);
    ok &= Save(d, "empty", Writer().U8(0).U8(0).U8(0).U32(5).U16(0).U16(10).b);
    // Arrays of wider elements or more dimensions, once fetched past the one-byte cell.
    ok &= Save(d, "crash-unknown-vector",
               Writer().U8(0).U8(0x26).U8(0).U32(0x7FFFFFF5).U16(2).U16(0x508).b);
    // An empty array at LONG's minimum, whose upper bound wraps to LONG's maximum.
    ok &= Save(d, "crash-empty-at-long-min",
               Writer().U8(0).U8(0).U8(0).U32(0x80000000).U16(0).U16(16).b);
    ok &= Save(d, "r8-vector", Writer().U8(0).U8(4).U8(0).U32(0).U16(3).U16(64).Raw(Count(24)).b);
    ok &= Save(d, "bytes-2d",
               Writer().U8(0).U8(0).U8(1).U32(0).U16(4).U32(1).U8(2).U16(64).Raw(Count(8)).b);
    ok &= Save(d, "null-buffer", Writer().U8(2).U8(0).U8(0).U32(0).U16(4).U16(4).Raw(Count(4)).b);
}

// receive_path: operations (see ReceivePathFuzz.cpp).
void ReceivePathSeeds(const fs::path& d, bool& ok) {
    ok &= Save(d, "chunk-10-read-10", Writer().U8(0).U16(10).U8(5).U16(10).U8(6).b);
    ok &= Save(d, "read-20-of-10", Writer().U8(0).U16(10).U8(5).U16(20).U8(5).U16(20).b);
    ok &= Save(d, "two-chunks-one-read", Writer().U8(0).U16(8).U8(0).U16(8).U8(5).U16(16).b);
    Writer fill;
    for (int i = 0; i < 4; ++i) {
        fill.U8(0).U16(300);
    }
    fill.U8(5).U16(600).U8(0).U16(700).U8(5).U16(1000).U8(6);
    ok &= Save(d, "overflow-and-drain", fill.b);
    Writer consume;
    for (int i = 0; i < 6; ++i) {
        consume.U8(0).U16(100).U8(5).U16(100);
    }
    consume.U8(7).U8(0).U16(20).U8(5).U16(20);
    ok &= Save(d, "consume-past-500", consume.b);
    ok &= Save(d, "missed-deliveries",
               Writer().U8(1).U16(5).U8(0).U16(9).U8(2).U16(3).U8(0).U16(4).U8(5).U16(64).b);
    ok &= Save(d, "no-data", Writer().U8(0).U16(12).U8(3).U8(4).U8(3).U8(6).U8(5).U16(12).b);
    ok &= Save(d, "chunk-1000", Writer().U8(0).U16(1000).U8(6).U8(5).U16(1000).b);
}

// exec_write: per write flags, length, data.
void ExecWriteSeeds(const fs::path& d, bool& ok) {
    Writer three;
    for (int i = 0; i < 3; ++i) {
        three.U8(0).U8(4).Text("EXEC");
    }
    three.U8(0).U8(4).Text("EXEC");
    ok &= Save(d, "three-exec", three.b);
    ok &=
        Save(d, "terminated",
             Writer().U8(0).U8(5).Text("EXEC").U8(0).U8(0).U8(8).Text("EXEC").U8(0).Text("abc").b);
    ok &=
        Save(d, "near-misses",
             Writer().U8(0).U8(5).Text("EXECX").U8(0).U8(3).Text("EXE").U8(0).U8(4).Text("exec").b);
    ok &= Save(d, "null-data", Writer().U8(1).U8(4).U8(2).U8(0).U8(0).U8(0).b);
}

// image_container: fix-ups, read size, then the file.
void ImageContainerSeeds(const fs::path& d, const fs::path& scratch, bool& ok) {
    struct Case {
        const char* name;
        std::string text;
        std::vector<fwimage::ItemSpec> items;
    };
    const Case cases[] = {
        {"three-items",
         "BRELK SYS 1:FW_2.4.1 build 88",
         {{"bootcode.fls", 2, 300, {}}, {"modem.fls", 4, 1000, {}}, {"userdata.fls", 5, 64, {}}}},
        {"empty-items", "1:2.0.0", {{"a", 1, 0, {}}, {"b", 2, 0, {}}}},
        {"no-items", "", {}},
    };
    for (const Case& c : cases) {
        std::string error;
        if (!fwimage::WriteImage(scratch.string(), c.text, c.items, &error)) {
            std::fprintf(stderr, "%s: %s\n", c.name, error.c_str());
            ok = false;
            continue;
        }
        std::ifstream in(scratch, std::ios::binary);
        Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ok &= Save(d, c.name, Writer().U8(0).U8(2).Raw(file).b);
        ok &= Save(d, std::string(c.name) + "-fixed", Writer().U8(0x1F).U8(0).Raw(file).b);
    }
    fs::remove(scratch);
}

// image_version: library result byte (0xFF fails), then the library's text.
void ImageVersionSeeds(const fs::path& d, bool& ok) {
    ok &= Save(d, "usual", Writer().U8(0).Text("BRELK SYS 1:FW_2.4.1 build 88").b);
    ok &= Save(d, "marker-last", Writer().U8(0).Text("QB4410 FW 1:").b);
    ok &= Save(d, "delimiters", Writer().U8(0).Text("x 11:\t\n:2.0.0\nrest").b);
    ok &= Save(d, "long-version", Writer().U8(0).Text("1:").Text(std::string(200, 'v')).b);
    ok &= Save(d, "unterminated", Writer().U8(0).Text(std::string(1100, '1')).b);
    ok &= Save(d, "no-marker", Writer().U8(0).Text("version 2.0.0").b);
    ok &= Save(d, "library-fails", Writer().U8(0xFF).Text("1:2.0.0").b);
}

// device_key: the hardware-id property as UTF-16LE units.
void DeviceKeySeeds(const fs::path& d, bool& ok) {
    ok &= Save(d, "usual",
               Writer()
                   .Wide(u"USB\\VID_1234&PID_5678&{4CA8CA0E-2A90-4D00-B29D-15AB8A12D309}")
                   .U16(0)
                   .Wide(u"USB\\VID_1234")
                   .U16(0)
                   .U16(0)
                   .b);
    ok &= Save(d, "no-close", Writer().Wide(u"MBIM\\{ABC").U16(0).b);
    ok &= Save(d, "close-first", Writer().Wide(u"}x{").b);
    ok &= Save(d, "no-brace", Writer().Wide(u"USB\\VID_1234").U16(0).Wide(u"{x}").U16(0).b);
    ok &= Save(d, "unterminated", Writer().Wide(u"{a}{b}").b);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: brelk-fuzz-seeds <dir>\n");
        return 2;
    }
    const fs::path root = argv[1];
    bool ok = true;
    auto dir = [&](const char* name) {
        fs::create_directories(root / name);
        return root / name;
    };
    CopyByteArraySeeds(dir("fuzz_copy_byte_array"), ok);
    ReceivePathSeeds(dir("fuzz_receive_path"), ok);
    ExecWriteSeeds(dir("fuzz_exec_write"), ok);
    ImageContainerSeeds(dir("fuzz_image_container"), root / "scratch-image.bin", ok);
    ImageVersionSeeds(dir("fuzz_image_version"), ok);
    DeviceKeySeeds(dir("fuzz_device_key"), ok);
    return ok ? 0 : 1;
}
