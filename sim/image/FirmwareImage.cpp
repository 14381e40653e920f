#include "FirmwareImage.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <span>

#include "Bytes.h"

namespace fwimage {
namespace {

constexpr size_t kBlock = 64 * 1024;

void Put32(uint8_t* p, uint32_t v) {
    simcommon::StoreU32(p, v);
}

void Put64(uint8_t* p, uint64_t v) {
    simcommon::StoreU64(p, v);
}

uint32_t Get32(const uint8_t* p) {
    return simcommon::GetU32(p);
}

uint64_t Get64(const uint8_t* p) {
    return simcommon::GetU64(p);
}

uint32_t Crc(const uint8_t* p, size_t n, uint32_t prev = 0) {
    return simcommon::Crc32(std::span<const uint8_t>(p, n), prev);
}

bool Fail(std::string* error, std::string why) {
    if (error != nullptr) {
        *error = std::move(why);
    }
    return false;
}

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f != nullptr) {
            std::fclose(f);
        }
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

uint8_t GeneratedByte(const std::string& name, uint64_t offset) {
    // FNV-1a of the name seeds a 64-bit mix of the offset: cheap, deterministic, and
    // different for every item and position.
    uint64_t h = 0xcbf29ce484222325ull;
    for (char c : name) {
        h = (h ^ static_cast<uint8_t>(c)) * 0x100000001b3ull;
    }
    uint64_t x = h ^ (offset * 0x9E3779B97F4A7C15ull);
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 29;
    return static_cast<uint8_t>(x);
}

bool WriteImage(const std::string& hostPath, const std::string& versionText,
                const std::vector<ItemSpec>& items, std::string* error,
                std::vector<TocEntry>* written) {
    if (versionText.size() > kMaxVersionTextLength) {
        return Fail(error, "version text longer than 1023 bytes");
    }
    if (versionText.find('\0') != std::string::npos) {
        return Fail(error, "version text contains a zero byte");
    }
    if (items.size() > kMaxItems) {
        return Fail(error, "more than 4096 items");
    }
    std::vector<TocEntry> toc(items.size());
    for (size_t i = 0; i < items.size(); ++i) {
        const ItemSpec& item = items[i];
        if (item.Name.empty() || item.Name.size() > kMaxNameLength ||
            item.Name.find('\0') != std::string::npos) {
            return Fail(error, "item " + std::to_string(i) + ": name must have 1 to 31 bytes");
        }
        toc[i].Name = item.Name;
        toc[i].MemoryClass = item.MemoryClass;
        if (!item.SourceFile.empty()) {
            std::error_code ec;
            const auto size = std::filesystem::file_size(item.SourceFile, ec);
            if (ec) {
                return Fail(error, "item " + item.Name + ": cannot read " + item.SourceFile);
            }
            if (size > UINT32_MAX) {
                return Fail(error, "item " + item.Name + ": file larger than 4 GiB");
            }
            toc[i].Size = static_cast<uint32_t>(size);
        } else {
            toc[i].Size = item.Size;
        }
    }

    const uint32_t tocOffset = kHeaderSize + static_cast<uint32_t>(versionText.size());
    uint64_t dataOffset = tocOffset + static_cast<uint64_t>(toc.size()) * kTocEntrySize;

    File out(std::fopen(hostPath.c_str(), "wb"));
    if (!out) {
        return Fail(error, "cannot create " + hostPath);
    }
    auto abandon = [&](std::string why) {
        out.reset();
        std::remove(hostPath.c_str());
        return Fail(error, std::move(why));
    };

    // Data first, behind room for header and table, so each checksum is known before
    // the table is written; nothing is held beyond one block.
    if (fseeko(out.get(), static_cast<off_t>(dataOffset), SEEK_SET) != 0) {
        return abandon("seek failed");
    }
    std::vector<uint8_t> block(kBlock);
    for (size_t i = 0; i < items.size(); ++i) {
        TocEntry& e = toc[i];
        e.DataOffset = dataOffset;
        File source;
        if (!items[i].SourceFile.empty()) {
            source.reset(std::fopen(items[i].SourceFile.c_str(), "rb"));
            if (!source) {
                return abandon("item " + e.Name + ": cannot open " + items[i].SourceFile);
            }
        }
        uint64_t done = 0;
        uint32_t crc = 0;
        while (done < e.Size) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, e.Size - done));
            if (source) {
                if (std::fread(block.data(), 1, n, source.get()) != n) {
                    return abandon("item " + e.Name + ": short read from source file");
                }
            } else {
                for (size_t k = 0; k < n; ++k) {
                    block[k] = GeneratedByte(e.Name, done + k);
                }
            }
            crc = Crc(block.data(), n, crc);
            if (std::fwrite(block.data(), 1, n, out.get()) != n) {
                return abandon("write failed");
            }
            done += n;
        }
        e.Checksum = crc;
        dataOffset += e.Size;
    }

    std::vector<uint8_t> tocBytes(toc.size() * kTocEntrySize, 0);
    for (size_t i = 0; i < toc.size(); ++i) {
        uint8_t* p = tocBytes.data() + i * kTocEntrySize;
        std::memcpy(p, toc[i].Name.data(), toc[i].Name.size());
        Put32(p + 32, toc[i].MemoryClass);
        Put32(p + 36, toc[i].Size);
        Put32(p + 40, toc[i].Checksum);
        Put64(p + 48, toc[i].DataOffset);
    }
    std::array<uint8_t, kHeaderSize> header{};
    std::memcpy(header.data(), kMagic, sizeof(kMagic));
    Put32(&header[8], kFormatVersion);
    Put32(&header[12], static_cast<uint32_t>(toc.size()));
    Put32(&header[16], static_cast<uint32_t>(versionText.size()));
    Put32(&header[20], kHeaderSize);
    Put32(&header[24], tocOffset);
    Put32(&header[28], kTocEntrySize);
    Put64(&header[32], dataOffset);
    Put32(&header[40], Crc(tocBytes.data(), tocBytes.size()));
    uint32_t headerCrc = Crc(header.data(), 44);
    headerCrc =
        Crc(reinterpret_cast<const uint8_t*>(versionText.data()), versionText.size(), headerCrc);
    Put32(&header[44], headerCrc);

    if (std::fseek(out.get(), 0, SEEK_SET) != 0 ||
        std::fwrite(header.data(), 1, header.size(), out.get()) != header.size() ||
        std::fwrite(versionText.data(), 1, versionText.size(), out.get()) != versionText.size() ||
        (!tocBytes.empty() &&  // an image without items has no table to write
         std::fwrite(tocBytes.data(), 1, tocBytes.size(), out.get()) != tocBytes.size())) {
        return abandon("write failed");
    }
    if (std::fclose(out.release()) != 0) {
        std::remove(hostPath.c_str());
        return Fail(error, "write failed");
    }
    if (written != nullptr) {
        *written = std::move(toc);
    }
    return true;
}

std::unique_ptr<ImageReader> ImageReader::Open(const std::string& hostPath, std::string* error) {
    File in(std::fopen(hostPath.c_str(), "rb"));
    if (!in) {
        Fail(error, "cannot open " + hostPath);
        return nullptr;
    }
    std::error_code ec;
    const uint64_t fileSize = std::filesystem::file_size(hostPath, ec);
    if (ec) {
        Fail(error, "cannot size " + hostPath);
        return nullptr;
    }
    std::array<uint8_t, kHeaderSize> header{};
    if (std::fread(header.data(), 1, header.size(), in.get()) != header.size()) {
        Fail(error, "truncated header");
        return nullptr;
    }
    if (std::memcmp(header.data(), kMagic, sizeof(kMagic)) != 0) {
        Fail(error, "not an image container");
        return nullptr;
    }
    const uint32_t format = Get32(&header[8]);
    const uint32_t count = Get32(&header[12]);
    const uint32_t textLength = Get32(&header[16]);
    const uint32_t textOffset = Get32(&header[20]);
    const uint32_t tocOffset = Get32(&header[24]);
    const uint32_t entrySize = Get32(&header[28]);
    const uint64_t totalSize = Get64(&header[32]);
    if (format != kFormatVersion) {
        Fail(error, "unknown format version " + std::to_string(format));
        return nullptr;
    }
    if (count > kMaxItems || textLength > kMaxVersionTextLength || textOffset != kHeaderSize ||
        tocOffset != kHeaderSize + textLength || entrySize != kTocEntrySize) {
        Fail(error, "header fields out of range");
        return nullptr;
    }
    std::string text(textLength, '\0');
    if (std::fread(text.data(), 1, textLength, in.get()) != textLength) {
        Fail(error, "truncated version text");
        return nullptr;
    }
    uint32_t headerCrc = Crc(header.data(), 44);
    headerCrc = Crc(reinterpret_cast<const uint8_t*>(text.data()), text.size(), headerCrc);
    if (headerCrc != Get32(&header[44])) {
        Fail(error, "header checksum mismatch");
        return nullptr;
    }
    // The library hands the text out zero-terminated, the boot loader gets all of it: with
    // a zero inside, the two would see different versions.
    if (text.find('\0') != std::string::npos) {
        Fail(error, "version text contains a zero byte");
        return nullptr;
    }
    if (totalSize != fileSize) {
        Fail(error, "file size " + std::to_string(fileSize) + " differs from the header's " +
                        std::to_string(totalSize));
        return nullptr;
    }
    std::vector<uint8_t> tocBytes(static_cast<size_t>(count) * kTocEntrySize);
    if (std::fread(tocBytes.data(), 1, tocBytes.size(), in.get()) != tocBytes.size()) {
        Fail(error, "truncated table of contents");
        return nullptr;
    }
    if (Crc(tocBytes.data(), tocBytes.size()) != Get32(&header[40])) {
        Fail(error, "table of contents checksum mismatch");
        return nullptr;
    }
    auto reader = std::unique_ptr<ImageReader>(new ImageReader());
    reader->m_Path = hostPath;
    reader->m_VersionText = std::move(text);
    const uint64_t dataStart = tocOffset + static_cast<uint64_t>(count) * kTocEntrySize;
    reader->m_Toc.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint8_t* p = tocBytes.data() + static_cast<size_t>(i) * kTocEntrySize;
        TocEntry& e = reader->m_Toc[i];
        const size_t nameLength = strnlen(reinterpret_cast<const char*>(p), kMaxNameLength + 1);
        if (nameLength == 0 || nameLength > kMaxNameLength) {
            Fail(error, "item " + std::to_string(i) + ": bad name");
            return nullptr;
        }
        e.Name.assign(reinterpret_cast<const char*>(p), nameLength);
        e.MemoryClass = Get32(p + 32);
        e.Size = Get32(p + 36);
        e.Checksum = Get32(p + 40);
        e.DataOffset = Get64(p + 48);
        if (e.DataOffset < dataStart || e.DataOffset > fileSize ||
            e.Size > fileSize - e.DataOffset) {
            Fail(error, "item " + std::to_string(i) + ": data outside the file");
            return nullptr;
        }
    }
    return reader;
}

std::unique_ptr<ImageReader::ItemStream> ImageReader::OpenItem(uint32_t index,
                                                               std::string* error) const {
    if (index >= m_Toc.size()) {
        Fail(error, "no item " + std::to_string(index));
        return nullptr;
    }
    std::FILE* f = std::fopen(m_Path.c_str(), "rb");
    if (f == nullptr) {
        Fail(error, "cannot open " + m_Path);
        return nullptr;
    }
    if (fseeko(f, static_cast<off_t>(m_Toc[index].DataOffset), SEEK_SET) != 0) {
        std::fclose(f);
        Fail(error, "seek failed");
        return nullptr;
    }
    return std::unique_ptr<ItemStream>(new ItemStream(f, m_Toc[index]));
}

ImageReader::ItemStream::~ItemStream() {
    if (m_File != nullptr) {
        std::fclose(m_File);
    }
}

size_t ImageReader::ItemStream::Read(uint8_t* buffer, size_t capacity) {
    if (m_Failed || AtEnd() || capacity == 0) {
        return 0;
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(capacity, m_Entry.Size - m_Done));
    const size_t got = std::fread(buffer, 1, want, m_File);
    if (got != want) {
        m_Failed = true;  // the file shrank since it was opened
    }
    m_Crc = Crc(buffer, got, m_Crc);
    m_Done += got;
    return got;
}

namespace {

bool ParseCount(const std::string& text, uint64_t* value) {
    if (text.empty() || text[0] == '-') {
        return false;
    }
    char* end = nullptr;
    const unsigned long long n = std::strtoull(text.c_str(), &end, 0);
    uint64_t scale = 1;
    if (*end == 'k' || *end == 'K') {
        scale = 1024;
        ++end;
    } else if (*end == 'm' || *end == 'M') {
        scale = 1024 * 1024;
        ++end;
    }
    if (*end != '\0' || end == text.c_str()) {
        return false;
    }
    *value = n * scale;
    return true;
}

}  // namespace

bool ParseItemSpec(const std::string& text, ItemSpec* item) {
    const size_t first = text.find(':');
    const size_t second = first == std::string::npos ? first : text.find(':', first + 1);
    if (second == std::string::npos) {
        return false;
    }
    item->Name = text.substr(0, first);
    uint64_t memoryClass = 0;
    if (!ParseCount(text.substr(first + 1, second - first - 1), &memoryClass) ||
        memoryClass > UINT32_MAX) {
        return false;
    }
    item->MemoryClass = static_cast<uint32_t>(memoryClass);
    const std::string rest = text.substr(second + 1);
    if (!rest.empty() && rest[0] == '@') {
        item->SourceFile = rest.substr(1);
        return !item->SourceFile.empty();
    }
    uint64_t size = 0;
    if (!ParseCount(rest, &size) || size > UINT32_MAX) {
        return false;
    }
    item->Size = static_cast<uint32_t>(size);
    return true;
}

}  // namespace fwimage
