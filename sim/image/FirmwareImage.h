#pragma once
// Our firmware image container (see FORMAT.md): a header, the version text, a table of
// contents and the items' data. Written by ImageWriter, read by ImageReader. Both stream:
// item data moves in blocks and no whole image is ever held in memory.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace fwimage {

inline constexpr char kMagic[8] = {'B', 'R', 'L', 'K', 'I', 'M', 'G', '\0'};
inline constexpr uint32_t kFormatVersion = 1;
inline constexpr uint32_t kHeaderSize = 48;
inline constexpr uint32_t kTocEntrySize = 64;
inline constexpr uint32_t kMaxNameLength = 31;
inline constexpr uint32_t kMaxVersionTextLength = 1023;
inline constexpr uint32_t kMaxItems = 4096;

struct TocEntry {
    std::string Name;
    uint32_t MemoryClass = 0;
    uint32_t Size = 0;
    uint32_t Checksum = 0;  // CRC-32 (IEEE) of the item's data
    uint64_t DataOffset = 0;
};

// One item to write: its data comes from SourceFile when that is set, otherwise it is
// generated (GeneratedByte) for Size bytes.
struct ItemSpec {
    std::string Name;
    uint32_t MemoryClass = 0;
    uint32_t Size = 0;  // ignored when SourceFile is set
    std::string SourceFile;
};

// Reads an item description of the command line: NAME:CLASS:SIZE or NAME:CLASS:@FILE,
// where SIZE may end in k or m (KiB, MiB). Returns false on anything else.
[[nodiscard]] bool ParseItemSpec(const std::string& text, ItemSpec* item);

// The content of a generated item: a deterministic byte stream that depends on the
// item's name and position, so tests can recompute what the modem must have received.
uint8_t GeneratedByte(const std::string& name, uint64_t offset);

// Writes a container at hostPath. Returns false and says why on any failure (bad item description,
// unreadable source file, write error); a partly written file is removed.
[[nodiscard]] bool WriteImage(const std::string& hostPath, const std::string& versionText,
                              const std::vector<ItemSpec>& items, std::string* error,
                              std::vector<TocEntry>* written = nullptr);

class ImageReader {
public:
    // Opens and checks the header, version text and table of contents, and that every
    // item's data lies inside the file. Returns null and says why when anything is off.
    [[nodiscard]] static std::unique_ptr<ImageReader> Open(const std::string& hostPath,
                                                           std::string* error);

    const std::string& Path() const { return m_Path; }
    const std::string& VersionText() const { return m_VersionText; }
    const std::vector<TocEntry>& Toc() const { return m_Toc; }

    // Reads one item's data in order, block by block, keeping a running CRC.
    class ItemStream {
    public:
        ~ItemStream();
        ItemStream(const ItemStream&) = delete;
        ItemStream& operator=(const ItemStream&) = delete;
        // Fills up to capacity bytes; returns the count, 0 at the end or on a read error
        // (Failed() tells them apart).
        size_t Read(uint8_t* buffer, size_t capacity);
        uint64_t Position() const { return m_Done; }
        bool AtEnd() const { return m_Done == m_Entry.Size; }
        bool Failed() const { return m_Failed; }
        uint32_t RunningChecksum() const { return m_Crc; }
        // True once every byte was read and their CRC equals the table's checksum.
        bool Verified() const { return AtEnd() && !m_Failed && m_Crc == m_Entry.Checksum; }

    private:
        friend class ImageReader;
        ItemStream(std::FILE* file, TocEntry entry) : m_File(file), m_Entry(std::move(entry)) {}
        std::FILE* m_File;
        TocEntry m_Entry;
        uint64_t m_Done = 0;
        uint32_t m_Crc = 0;
        bool m_Failed = false;
    };

    // A stream over item `index`; null (and why) if the index is out of range or the
    // file cannot be opened again.
    std::unique_ptr<ItemStream> OpenItem(uint32_t index, std::string* error) const;

private:
    ImageReader() = default;
    std::string m_Path;
    std::string m_VersionText;
    std::vector<TocEntry> m_Toc;
};

}  // namespace fwimage

// The version token of a version text: the first word after the first "1:" marker,
// words separated by colon, blank, tab or line feed. Empty when there is none.
// Inline, so that the boot loader reads versions without linking the image library: the
// modem's module then carries no more of the C++ library's shared symbols than before,
// which decides whether the driver's module stays mapped after FreeLibrary.
[[nodiscard]] inline std::string VersionTokenOf(const std::string& versionText) {
    const size_t marker = versionText.find("1:");
    if (marker == std::string::npos) {
        return {};
    }
    const char* delimiters = ": \t\n";
    // The first token is the marker's digit; the version is the second.
    size_t pos = versionText.find_first_of(delimiters, marker);
    pos = versionText.find_first_not_of(delimiters, pos);
    if (pos == std::string::npos) {
        return {};
    }
    const size_t end = versionText.find_first_of(delimiters, pos);
    return versionText.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
}
