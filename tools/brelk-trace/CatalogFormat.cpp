#include "CatalogFormat.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace brelk_trace {

const CatalogEntry* UnitCatalog::Find(int number) const {
    const int index = number - 10;
    if (index >= 0 && index < static_cast<int>(messages.size()) &&
        messages[static_cast<size_t>(index)].number == number) {
        return &messages[static_cast<size_t>(index)];
    }
    for (const auto& m : messages) {
        if (m.number == number) {
            return &m;
        }
    }
    return nullptr;
}

std::string GuidText(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g.Data1,
                  g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

bool ParseGuid(const std::string& text, GUID* guid) {
    unsigned int d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    int used = 0;
    if (text.size() != 38 ||
        std::sscanf(text.c_str(), "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}%n", &d1, &d2, &d3, &b[0],
                    &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7], &used) != 11 ||
        used != 38) {
        return false;
    }
    guid->Data1 = d1;
    guid->Data2 = static_cast<uint16_t>(d2);
    guid->Data3 = static_cast<uint16_t>(d3);
    for (int i = 0; i < 8; ++i) {
        guid->Data4[i] = static_cast<uint8_t>(b[i]);
    }
    return true;
}

std::string Squeeze(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            out += c;
        }
    }
    return out.empty() ? "-" : out;
}

namespace {

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char hex[8];
                    std::snprintf(hex, sizeof(hex), "\\x%02X", c);
                    out += hex;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

bool Unquote(const std::string& quoted, std::string* out) {
    if (quoted.size() < 2 || quoted.front() != '"' || quoted.back() != '"') {
        return false;
    }
    for (size_t i = 1; i + 1 < quoted.size(); ++i) {
        const char c = quoted[i];
        if (c != '\\') {
            *out += c;
            continue;
        }
        if (i + 2 >= quoted.size()) {
            return false;
        }
        const char e = quoted[++i];
        switch (e) {
            case 'n':
                *out += '\n';
                break;
            case 't':
                *out += '\t';
                break;
            case '"':
            case '\\':
                *out += e;
                break;
            case 'x': {
                if (i + 3 >= quoted.size()) {
                    return false;
                }
                const std::string hex = quoted.substr(i + 1, 2);
                char* end = nullptr;
                const long value = std::strtol(hex.c_str(), &end, 16);
                if (end != hex.c_str() + 2) {
                    return false;
                }
                *out += static_cast<char>(value);
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

}  // namespace

void WriteCatalog(const UnitCatalog& unit, std::ostream& out) {
    out << "# Message catalog of the Brelk source unit " << unit.unit
        << ", made by the build from its trace points.\n";
    out << "unit " << unit.unit << " " << GuidText(unit.guid) << " " << unit.source << "\n";
    for (const auto& m : unit.messages) {
        char flags[16];
        std::snprintf(flags, sizeof(flags), "0x%08X", m.flags);
        out << m.number << " " << m.level << " " << m.levelName << " " << flags << " " << m.flagName
            << " " << m.location << " " << Quote(m.text) << "\n";
    }
}

bool ReadCatalog(std::istream& in, UnitCatalog* unit, std::string* error) {
    *unit = UnitCatalog{};
    std::string line;
    int lineNumber = 0;
    auto fail = [&](const std::string& what) {
        *error = "line " + std::to_string(lineNumber) + ": " + what;
        return false;
    };
    while (std::getline(in, line)) {
        ++lineNumber;
        if (line.empty() || line[0] == '#') {
            continue;
        }
        std::istringstream fields(line);
        if (line.rfind("unit ", 0) == 0) {
            std::string keyword, guid;
            fields >> keyword >> unit->unit >> guid >> unit->source;
            if (unit->unit.empty() || !ParseGuid(guid, &unit->guid)) {
                return fail("malformed unit line");
            }
            continue;
        }
        if (unit->unit.empty()) {
            return fail("a message before the unit line");
        }
        CatalogEntry e;
        std::string flags;
        if (!(fields >> e.number >> e.level >> e.levelName >> flags >> e.flagName >> e.location)) {
            return fail("malformed message line");
        }
        char* end = nullptr;
        e.flags = static_cast<uint32_t>(std::strtoul(flags.c_str(), &end, 0));
        if (end == flags.c_str() || *end != '\0') {
            return fail("malformed flag bits");
        }
        std::string rest;
        std::getline(fields, rest);
        const size_t quote = rest.find('"');
        if (quote == std::string::npos || !Unquote(rest.substr(quote), &e.text)) {
            return fail("malformed message text");
        }
        unit->messages.push_back(e);
    }
    return true;
}

}  // namespace brelk_trace
