#include "PeImage.h"

#include <windows.h>

#include <cstring>
#include <fstream>
#include <iterator>

namespace brelk::pe {
namespace {

template <typename T>
bool Get(const std::vector<uint8_t>& bytes, size_t offset, T* out) {
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        return false;
    }
    std::memcpy(out, bytes.data() + offset, sizeof(T));
    return true;
}

std::optional<size_t> FileOffset(const Image& image, uint32_t rva, size_t size) {
    for (const auto& s : image.sections) {
        const uint32_t extent = s.virtualSize != 0 ? s.virtualSize : s.rawSize;
        if (rva >= s.rva && rva - s.rva < extent && size <= extent - (rva - s.rva) &&
            rva - s.rva + size <= s.rawSize) {
            return size_t{s.fileOffset} + (rva - s.rva);
        }
    }
    return std::nullopt;
}

std::optional<std::string> CString(const Image& image, uint32_t rva) {
    auto at = FileOffset(image, rva, 1);
    if (!at) {
        return std::nullopt;
    }
    std::string text;
    for (size_t i = *at; i < image.bytes.size(); ++i) {
        if (image.bytes[i] == 0) {
            return text;
        }
        text.push_back(static_cast<char>(image.bytes[i]));
    }
    return std::nullopt;
}

}  // namespace

std::vector<uint8_t> Image::Read(uint32_t rva, size_t size) const {
    auto at = FileOffset(*this, rva, size);
    if (!at) {
        return {};
    }
    return {bytes.begin() + static_cast<ptrdiff_t>(*at),
            bytes.begin() + static_cast<ptrdiff_t>(*at + size)};
}

bool Image::IsCode(uint32_t rva) const {
    for (const auto& s : sections) {
        if (rva >= s.rva && rva - s.rva < s.virtualSize) {
            return (s.characteristics & IMAGE_SCN_MEM_EXECUTE) != 0;
        }
    }
    return false;
}

std::optional<Image> Load(const std::wstring& path, std::string* error) {
    auto fail = [&](const char* why) -> std::optional<Image> {
        *error = why;
        return std::nullopt;
    };
    std::ifstream in(path.c_str(), std::ios::binary);
    if (!in) {
        return fail("cannot open the file");
    }
    Image image;
    image.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    const auto& b = image.bytes;

    IMAGE_DOS_HEADER dos{};
    if (!Get(b, 0, &dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) {
        return fail("no MZ header");
    }
    const size_t nt = static_cast<size_t>(dos.e_lfanew);
    DWORD signature = 0;
    IMAGE_FILE_HEADER file{};
    if (!Get(b, nt, &signature) || signature != IMAGE_NT_SIGNATURE ||
        !Get(b, nt + sizeof(DWORD), &file)) {
        return fail("no PE header");
    }
    image.machine = file.Machine;
    const size_t optional = nt + sizeof(DWORD) + sizeof(IMAGE_FILE_HEADER);
    WORD magic = 0;
    if (!Get(b, optional, &magic)) {
        return fail("no optional header");
    }
    size_t directories = 0;
    DWORD directoryCount = 0;
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC) {
        image.pe32plus = true;
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER64, DataDirectory);
        Get(b, optional + offsetof(IMAGE_OPTIONAL_HEADER64, NumberOfRvaAndSizes), &directoryCount);
    } else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC) {
        directories = optional + offsetof(IMAGE_OPTIONAL_HEADER32, DataDirectory);
        Get(b, optional + offsetof(IMAGE_OPTIONAL_HEADER32, NumberOfRvaAndSizes), &directoryCount);
    } else {
        return fail("unknown optional header");
    }

    const size_t sectionTable = optional + file.SizeOfOptionalHeader;
    for (WORD i = 0; i < file.NumberOfSections; ++i) {
        IMAGE_SECTION_HEADER s{};
        if (!Get(b, sectionTable + i * sizeof(s), &s)) {
            return fail("section table cut short");
        }
        image.sections.push_back({s.VirtualAddress, s.Misc.VirtualSize, s.PointerToRawData,
                                  s.SizeOfRawData, s.Characteristics});
    }

    IMAGE_DATA_DIRECTORY exportDir{}, importDir{};
    if (directoryCount > IMAGE_DIRECTORY_ENTRY_IMPORT) {
        Get(b, directories + IMAGE_DIRECTORY_ENTRY_EXPORT * sizeof(IMAGE_DATA_DIRECTORY),
            &exportDir);
        Get(b, directories + IMAGE_DIRECTORY_ENTRY_IMPORT * sizeof(IMAGE_DATA_DIRECTORY),
            &importDir);
    }

    if (exportDir.VirtualAddress != 0) {
        IMAGE_EXPORT_DIRECTORY ed{};
        auto at = FileOffset(image, exportDir.VirtualAddress, sizeof(ed));
        if (!at || !Get(b, *at, &ed)) {
            return fail("export directory outside the sections");
        }
        for (DWORD i = 0; i < ed.NumberOfNames; ++i) {
            DWORD nameRva = 0;
            WORD ordinal = 0;
            DWORD functionRva = 0;
            auto n = FileOffset(image, ed.AddressOfNames + i * 4, 4);
            auto o = FileOffset(image, ed.AddressOfNameOrdinals + i * 2, 2);
            if (!n || !o || !Get(b, *n, &nameRva) || !Get(b, *o, &ordinal)) {
                return fail("export name table cut short");
            }
            auto f = FileOffset(image, ed.AddressOfFunctions + ordinal * 4u, 4);
            auto name = CString(image, nameRva);
            if (!f || !Get(b, *f, &functionRva) || !name) {
                return fail("export address table cut short");
            }
            image.exports.push_back({*name, functionRva});
        }
    }

    if (importDir.VirtualAddress != 0) {
        for (uint32_t rva = importDir.VirtualAddress;; rva += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            IMAGE_IMPORT_DESCRIPTOR d{};
            auto at = FileOffset(image, rva, sizeof(d));
            if (!at || !Get(b, *at, &d)) {
                return fail("import directory cut short");
            }
            if (d.Name == 0) {
                break;
            }
            auto name = CString(image, d.Name);
            if (!name) {
                return fail("import name outside the sections");
            }
            image.imports.push_back(*name);
        }
    }
    return image;
}

}  // namespace brelk::pe
