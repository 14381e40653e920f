// The simulated flash library's image container reader (sim/image, FORMAT.md) against a
// validator written here from the format's description: the reader accepts exactly the
// files the format allows, and what it then reports (version text, table, each item's
// streamed bytes and checksum verdict) is what the file holds.
//
// Input: a fix-up byte, a read-size byte, then the file. The fix-ups make mutated files
// reach the deeper checks: 1 magic and format version, 2 text and table offsets and entry
// size from the text length, 4 the file size field, 8 the table checksum, 16 the header
// checksum (applied in this order, each only where the file is long enough).

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "FirmwareImage.h"
#include "FuzzInput.h"

namespace {

using brelkfuzz::Check;
using brelkfuzz::CheckEq;

std::string g_Path;

uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < n; ++i) {
        crc = table[(crc ^ p[i]) & 0xFF] ^ (crc >> 8);
    }
    return ~crc;
}

uint32_t Le32(const std::vector<uint8_t>& f, size_t at) {
    return static_cast<uint32_t>(f[at]) | static_cast<uint32_t>(f[at + 1]) << 8 |
           static_cast<uint32_t>(f[at + 2]) << 16 | static_cast<uint32_t>(f[at + 3]) << 24;
}
uint64_t Le64(const std::vector<uint8_t>& f, size_t at) {
    return Le32(f, at) | static_cast<uint64_t>(Le32(f, at + 4)) << 32;
}
void Put32(std::vector<uint8_t>& f, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        f[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
}
void Put64(std::vector<uint8_t>& f, size_t at, uint64_t v) {
    Put32(f, at, static_cast<uint32_t>(v));
    Put32(f, at + 4, static_cast<uint32_t>(v >> 32));
}

struct Item {
    std::string Name;
    uint32_t MemoryClass, Size, Checksum;
    uint64_t Offset;
};
struct Image {
    std::string Text;
    std::vector<Item> Items;
};

// The file as FORMAT.md allows it, or nothing.
std::optional<Image> Validate(const std::vector<uint8_t>& f) {
    if (f.size() < 48 || std::memcmp(f.data(), "BRLKIMG", 8) != 0 || Le32(f, 8) != 1) {
        return std::nullopt;
    }
    const uint32_t count = Le32(f, 12), textLength = Le32(f, 16);
    if (count > 4096 || textLength > 1023 || Le32(f, 20) != 48 || Le32(f, 24) != 48 + textLength ||
        Le32(f, 28) != 64 || Le64(f, 32) != f.size()) {
        return std::nullopt;
    }
    const uint64_t dataStart = 48 + textLength + 64ull * count;
    if (f.size() < dataStart) {
        return std::nullopt;
    }
    Image image;
    image.Text.assign(f.begin() + 48, f.begin() + 48 + textLength);
    if (image.Text.find('\0') != std::string::npos ||
        Crc32(f.data() + 48, textLength, Crc32(f.data(), 44)) != Le32(f, 44) ||
        Crc32(f.data() + 48 + textLength, 64ull * count) != Le32(f, 40)) {
        return std::nullopt;
    }
    for (uint32_t i = 0; i < count; ++i) {
        const size_t e = 48 + textLength + 64ull * i;
        const size_t nameLength = strnlen(reinterpret_cast<const char*>(&f[e]), 32);
        Item item{std::string(reinterpret_cast<const char*>(&f[e]), nameLength), Le32(f, e + 32),
                  Le32(f, e + 36), Le32(f, e + 40), Le64(f, e + 48)};
        if (nameLength == 0 || nameLength > 31 || item.Offset < dataStart ||
            item.Offset > f.size() || item.Size > f.size() - item.Offset) {
            return std::nullopt;
        }
        image.Items.push_back(std::move(item));
    }
    return image;
}

void FixUp(std::vector<uint8_t>& f, uint8_t fixes) {
    if (f.size() < 48) {
        return;
    }
    if (fixes & 1) {
        std::memcpy(f.data(), "BRLKIMG", 8);
        Put32(f, 8, 1);
    }
    const uint32_t textLength = Le32(f, 16);
    if ((fixes & 2) && textLength <= 1023) {
        Put32(f, 20, 48);
        Put32(f, 24, 48 + textLength);
        Put32(f, 28, 64);
    }
    if (fixes & 4) {
        Put64(f, 32, f.size());
    }
    const uint64_t tocEnd = 48ull + textLength + 64ull * Le32(f, 12);
    if ((fixes & 8) && textLength <= 1023 && tocEnd <= f.size()) {
        Put32(f, 40, Crc32(f.data() + 48 + textLength, 64ull * Le32(f, 12)));
    }
    if ((fixes & 16) && 48ull + textLength <= f.size()) {
        Put32(f, 44, Crc32(f.data() + 48, textLength, Crc32(f.data(), 44)));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    g_Path = std::string(dir) + "/brelk-fuzz-image-" + std::to_string(getpid()) + ".bin";
    std::atexit([] { std::remove(g_Path.c_str()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    brelkfuzz::Input in(data, size);
    const uint8_t fixes = in.U8();
    const size_t readSizes[] = {1, 7, 64, 4096, 1 << 16, 1 << 20};
    const size_t readSize = readSizes[in.U8() % std::size(readSizes)];
    const auto rest = in.Rest();
    std::vector<uint8_t> file(rest.begin(), rest.end());
    FixUp(file, fixes);

    std::FILE* out = std::fopen(g_Path.c_str(), "wb");
    Check(out != nullptr, "cannot write the image file");
    Check(std::fwrite(file.data(), 1, file.size(), out) == file.size(), "short write");
    std::fclose(out);

    std::string error;
    const auto reader = fwimage::ImageReader::Open(g_Path, &error);
    const auto expected = Validate(file);
    if (!expected) {
        if (reader) {
            std::fprintf(stderr, "accepted a file the format does not allow\n");
            std::abort();
        }
        Check(!error.empty(), "refused without a reason");
        return 0;
    }
    if (!reader) {
        std::fprintf(stderr, "refused a valid file: %s\n", error.c_str());
        std::abort();
    }
    Check(reader->VersionText() == expected->Text, "version text");
    CheckEq(expected->Items.size(), reader->Toc().size(), "item count");

    std::vector<uint8_t> buffer(readSize);
    for (uint32_t i = 0; i < expected->Items.size(); ++i) {
        const Item& want = expected->Items[i];
        const fwimage::TocEntry& got = reader->Toc()[i];
        Check(got.Name == want.Name && got.MemoryClass == want.MemoryClass &&
                  got.Size == want.Size && got.Checksum == want.Checksum &&
                  got.DataOffset == want.Offset,
              "table entry");
        if (i >= 4) {
            continue;  // streaming a few items shows the stream's faults
        }
        auto stream = reader->OpenItem(i, &error);
        Check(stream != nullptr, "item not opened");
        uint64_t done = 0;
        while (size_t n = stream->Read(buffer.data(), buffer.size())) {
            Check(n <= buffer.size() && done + n <= want.Size, "read past the item");
            Check(std::memcmp(buffer.data(), file.data() + want.Offset + done, n) == 0,
                  "streamed bytes differ from the file");
            done += n;
        }
        CheckEq(want.Size, done, "bytes streamed");
        Check(!stream->Failed() && stream->AtEnd(), "stream did not end cleanly");
        const bool intact = Crc32(file.data() + want.Offset, want.Size) == want.Checksum;
        CheckEq(intact, stream->Verified(), "checksum verdict");
    }
    Check(reader->OpenItem(static_cast<uint32_t>(expected->Items.size()), &error) == nullptr,
          "an item past the table opened");
    return 0;
}
