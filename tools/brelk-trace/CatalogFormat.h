#pragma once
// Message catalogs: one file per source unit of Brelk, made by brelk-tracegen at build
// time and read by the decoder.
//
//   # comment
//   unit Device {AE975877-9A53-D225-4206-7D79BDA797B9} Device.cpp
//   10 4 TRACE_LEVEL_INFORMATION 0x00000008 TRACE_FLAG_DEVICE DeviceState.inc:42 "text"
//
// A message line holds its number, level (-1 when the trace point's level is not a
// constant), level name, flag bits, flag name, where it stands, and its text as a C
// string literal.
#include <guiddef.h>

#include <cstdint>
#include <istream>
#include <ostream>
#include <string>
#include <vector>

namespace brelk_trace {

struct CatalogEntry {
    int number = 0;
    int level = 0;
    std::string levelName;
    uint32_t flags = 0;
    std::string flagName;
    std::string location;
    std::string text;
};

struct UnitCatalog {
    std::string unit;
    GUID guid{};
    std::string source;
    std::vector<CatalogEntry> messages;  // in the order of their numbers

    const CatalogEntry* Find(int number) const;
};

std::string GuidText(const GUID& guid);  // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
bool ParseGuid(const std::string& text, GUID* guid);
std::string Squeeze(const std::string& text);  // whitespace removed

void WriteCatalog(const UnitCatalog& unit, std::ostream& out);
// False, with a reason, on a malformed catalog; a file that names no unit gives an empty
// unit name.
bool ReadCatalog(std::istream& in, UnitCatalog* unit, std::string* error);

}  // namespace brelk_trace
