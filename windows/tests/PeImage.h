#pragma once
// Reads a PE file's export and import directories from its bytes, for PE32 and PE32+
// alike, so a 64-bit test program can check a 32-bit module it could not load.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace brelk::pe {

struct Export {
    std::string name;
    uint32_t rva = 0;
};

struct Image {
    uint16_t machine = 0;
    bool pe32plus = false;
    std::vector<Export> exports;       // by name, in the table's (sorted) order
    std::vector<std::string> imports;  // DLL names, as the table spells them
    // The bytes at rva, if they lie in a section; empty otherwise.
    std::vector<uint8_t> Read(uint32_t rva, size_t size) const;
    // Whether rva lies in a section that can be executed.
    bool IsCode(uint32_t rva) const;

    struct Section {
        uint32_t rva, virtualSize, fileOffset, rawSize, characteristics;
    };
    std::vector<Section> sections;
    std::vector<uint8_t> bytes;
};

// nullopt, with the reason in *error, for a file that is missing or not a well-formed PE.
std::optional<Image> Load(const std::wstring& path, std::string* error);

}  // namespace brelk::pe
