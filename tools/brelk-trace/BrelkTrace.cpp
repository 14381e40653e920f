#include "BrelkTrace.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <algorithm>
#include <filesystem>
#include <fstream>

#include "Program.h"
#include "TraceFormat.h"
#include "TraceIds.h"

namespace brelk_trace {

// ---- Catalogs

bool Catalog::LoadFile(const std::string& path, std::string* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        *error = path + ": cannot read";
        return false;
    }
    UnitCatalog unit;
    std::string why;
    if (!ReadCatalog(in, &unit, &why)) {
        *error = path + ": " + why;
        return false;
    }
    if (!unit.unit.empty()) {
        Add(std::move(unit));
    }
    return true;
}

bool Catalog::LoadDirectory(const std::string& folder, std::string* error) {
    std::error_code ec;
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().extension() == ".msg") {
            files.push_back(entry.path());
        }
    }
    if (ec) {
        *error = folder + ": " + ec.message();
        return false;
    }
    std::sort(files.begin(), files.end());
    for (const auto& f : files) {
        if (!LoadFile(f.string(), error)) {
            return false;
        }
    }
    return true;
}

void Catalog::Add(UnitCatalog unit) {
    for (auto& u : m_Units) {
        if (u.guid == unit.guid) {
            u = std::move(unit);
            return;
        }
    }
    m_Units.push_back(std::move(unit));
}

const UnitCatalog* Catalog::FindUnit(const GUID& messageGuid) const {
    for (const auto& u : m_Units) {
        if (u.guid == messageGuid) {
            return &u;
        }
    }
    return nullptr;
}

std::string DefaultCatalogFolder() {
    return (std::filesystem::path(simcommon::ProgramFolder()) / "trace").string();
}

// ---- Log files

namespace {

class LogFile {
public:
    explicit LogFile(FILE* f) : m_File(f) {}
    ~LogFile() {
        if (m_File != nullptr) {
            std::fclose(m_File);
        }
    }
    // Reads exactly n bytes; false at the end of the file or on a short read.
    bool Read(void* to, size_t n, size_t* got) {
        *got = n == 0 ? 0 : std::fread(to, 1, n, m_File);
        m_Offset += *got;
        return *got == n;
    }
    uint64_t Offset() const { return m_Offset; }

private:
    FILE* m_File;
    uint64_t m_Offset = 0;
};

std::string CountText(uint64_t n) {
    return std::to_string(n) + (n == 1 ? " message read" : " messages read");
}

}  // namespace

LogReadResult ReadLog(const std::string& path,
                      const std::function<void(const LogMessage&)>& onMessage) {
    LogReadResult result;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        result.error = "cannot open " + path + ": " + std::strerror(errno);
        return result;
    }
    LogFile file(f);
    WinplatTraceLogHeader header{};
    size_t got = 0;
    if (!file.Read(&header, sizeof(header), &got) ||
        std::memcmp(header.Magic, WINPLAT_TRACE_LOG_MAGIC, sizeof(header.Magic)) != 0) {
        result.error = path + " is not a trace log (" + CountText(0) + ")";
        return result;
    }
    if (header.Version != WINPLAT_TRACE_LOG_VERSION || header.HeaderSize != sizeof(header) ||
        header.PointerSize != 8) {
        result.error = path + ": unsupported trace log version " + std::to_string(header.Version) +
                       " (" + CountText(0) + ")";
        return result;
    }
    for (;;) {
        const uint64_t recordOffset = file.Offset();
        auto damaged = [&](const std::string& what) {
            result.error = path + ": " + what + " at offset " + std::to_string(recordOffset) +
                           " (" + CountText(result.messagesRead) + ")";
            return result;
        };
        WinplatTraceRecordHeader record{};
        if (!file.Read(&record, sizeof(record), &got)) {
            if (got == 0) {
                result.ok = true;
                return result;
            }
            return damaged("truncated record");
        }
        LogMessage m;
        m.flags = record.MessageFlags;
        m.number = record.MessageNumber;
        size_t fields = 0;
        fields += (m.flags & TRACE_MESSAGE_SEQUENCE) ? 4 : 0;
        fields += (m.flags & TRACE_MESSAGE_GUID) ? 16 : 0;
        fields += (m.flags & TRACE_MESSAGE_COMPONENTID) ? 4 : 0;
        fields += (m.flags & TRACE_MESSAGE_TIMESTAMP) ? 8 : 0;
        fields += (m.flags & TRACE_MESSAGE_SYSTEMINFO) ? 8 : 0;
        if (record.Size < sizeof(record) + fields ||
            record.Size > sizeof(record) + fields + TRACE_MESSAGE_MAXIMUM_SIZE) {
            return damaged("damaged record");
        }
        bool ok = true;
        if (m.flags & TRACE_MESSAGE_SEQUENCE) {
            ok = ok && file.Read(&m.sequence, 4, &got);
        }
        if (m.flags & TRACE_MESSAGE_GUID) {
            ok = ok && file.Read(&m.guid, 16, &got);
        }
        if (m.flags & TRACE_MESSAGE_COMPONENTID) {
            ok = ok && file.Read(&m.guid.Data1, 4, &got);
        }
        if (m.flags & TRACE_MESSAGE_TIMESTAMP) {
            ok = ok && file.Read(&m.timeStamp, 8, &got);
        }
        if (m.flags & TRACE_MESSAGE_SYSTEMINFO) {
            ok = ok && file.Read(&m.threadId, 4, &got) && file.Read(&m.processId, 4, &got);
        }
        m.args.resize(record.Size - sizeof(record) - fields);
        ok = ok && file.Read(m.args.data(), m.args.size(), &got);
        if (!ok) {
            return damaged("truncated record");
        }
        ++result.messagesRead;
        onMessage(m);
    }
}

// ---- Formatting

namespace {

class ArgReader {
public:
    ArgReader(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}

    template <class T>
    bool Fixed(T* value) {
        if (m_Size - m_Pos < sizeof(T)) {
            return false;
        }
        std::memcpy(value, m_Data + m_Pos, sizeof(T));
        m_Pos += sizeof(T);
        return true;
    }

    bool Narrow(std::string* text) {
        if (m_Pos >= m_Size) {
            return false;
        }
        const void* end = std::memchr(m_Data + m_Pos, 0, m_Size - m_Pos);
        if (end == nullptr) {
            return false;
        }
        const size_t n = static_cast<const uint8_t*>(end) - (m_Data + m_Pos);
        text->assign(reinterpret_cast<const char*>(m_Data + m_Pos), n);
        m_Pos += n + 1;
        return true;
    }

    // UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
    bool Wide(std::string* text) {
        std::u16string units;
        for (;;) {
            char16_t u = 0;
            if (!Fixed(&u)) {
                return false;
            }
            if (u == 0) {
                break;
            }
            units += u;
        }
        text->clear();
        for (size_t i = 0; i < units.size(); ++i) {
            char32_t c = units[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
                units[i + 1] <= 0xDFFF) {
                c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                c = 0xFFFD;
            }
            if (c < 0x80) {
                *text += static_cast<char>(c);
            } else if (c < 0x800) {
                *text += static_cast<char>(0xC0 | (c >> 6));
                *text += static_cast<char>(0x80 | (c & 0x3F));
            } else if (c < 0x10000) {
                *text += static_cast<char>(0xE0 | (c >> 12));
                *text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *text += static_cast<char>(0x80 | (c & 0x3F));
            } else {
                *text += static_cast<char>(0xF0 | (c >> 18));
                *text += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
                *text += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
                *text += static_cast<char>(0x80 | (c & 0x3F));
            }
        }
        return true;
    }

    bool AtEnd() const { return m_Pos == m_Size; }

private:
    const uint8_t* m_Data;
    size_t m_Size;
    size_t m_Pos = 0;
};

template <class... T>
std::string Printf(const std::string& format, T... values) {
    char buffer[512];
    const int n = std::snprintf(buffer, sizeof(buffer), format.c_str(), values...);
    if (n < 0) {
        return "?";
    }
    if (static_cast<size_t>(n) < sizeof(buffer)) {
        return std::string(buffer, static_cast<size_t>(n));
    }
    std::string big(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(big.data(), big.size(), format.c_str(), values...);
    big.resize(static_cast<size_t>(n));
    return big;
}

}  // namespace

std::string FormatText(std::string_view text, const uint8_t* args, size_t size,
                       bool* argumentsMatch) {
    ArgReader reader(args, size);
    std::string out;
    bool match = true;
    size_t pos = 0, copied = 0;
    Marker m;
    auto literal = [&](size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            out += text[i];
            if (text[i] == '%' && i + 1 < to && text[i + 1] == '%') {
                ++i;
            }
        }
    };
    for (;;) {
        const MarkerResult r = NextMarker(text, pos, m);
        if (r != MarkerResult::Found) {
            literal(copied, text.size());
            match = match && r == MarkerResult::End;
            break;
        }
        literal(copied, m.begin);
        copied = m.end;
        const std::string flags =
            "%" + std::string(text.substr(m.specBegin, m.specEnd - m.specBegin));
        std::string piece;
        bool ok = true;
        switch (m.kind) {
            case ArgKind::Int32: {
                uint32_t v = 0;
                ok = reader.Fixed(&v);
                if (m.conversion == 'd' || m.conversion == 'i') {
                    piece = Printf(flags + "d", static_cast<int32_t>(v));
                } else {
                    piece = Printf(flags + m.conversion, v);
                }
                break;
            }
            case ArgKind::Int64: {
                uint64_t v = 0;
                ok = reader.Fixed(&v);
                if (m.conversion == 'd' || m.conversion == 'i') {
                    piece = Printf(flags + "lld", static_cast<long long>(v));
                } else {
                    piece = Printf(flags + "ll" + m.conversion, static_cast<unsigned long long>(v));
                }
                break;
            }
            case ArgKind::Pointer: {
                uint64_t v = 0;
                ok = reader.Fixed(&v);
                piece = Printf("0x%016" PRIX64, v);
                break;
            }
            case ArgKind::HResult: {
                uint32_t v = 0;
                ok = reader.Fixed(&v);
                piece = Printf("0x%08X", v);
                break;
            }
            case ArgKind::Guid: {
                GUID g{};
                ok = reader.Fixed(&g);
                piece = GuidText(g);
                break;
            }
            case ArgKind::Text:
            case ArgKind::WideText: {
                std::string s;
                ok = m.kind == ArgKind::Text ? reader.Narrow(&s) : reader.Wide(&s);
                piece = Printf(flags + "s", s.c_str());
                break;
            }
        }
        if (!ok) {
            out += "<?>";
            literal(copied, text.size());
            match = false;
            break;
        }
        out += piece;
    }
    if (!reader.AtEnd()) {
        match = false;
    }
    if (argumentsMatch != nullptr) {
        *argumentsMatch = match;
    }
    return out;
}

std::string LevelName(int level) {
    switch (level) {
        case TRACE_LEVEL_CRITICAL:
            return "CRIT";
        case TRACE_LEVEL_ERROR:
            return "ERROR";
        case TRACE_LEVEL_WARNING:
            return "WARN";
        case TRACE_LEVEL_INFORMATION:
            return "INFO";
        case TRACE_LEVEL_VERBOSE:
            return "VERB";
        default:
            return level < 0 ? "?" : "L" + std::to_string(level);
    }
}

std::string FlagName(const std::string& catalogName) {
    const std::string prefix = "TRACE_FLAG_";
    return catalogName.rfind(prefix, 0) == 0 ? catalogName.substr(prefix.size()) : catalogName;
}

std::string FormatLine(const LogMessage& message, const Catalog& catalog) {
    // 100 ns units since 1601 to local time of day.
    const int64_t unixTicks = message.timeStamp - 116444736000000000LL;
    const time_t seconds = static_cast<time_t>(unixTicks / 10000000);
    const int millis = static_cast<int>((unixTicks % 10000000) / 10000);
    tm local{};
    localtime_r(&seconds, &local);
    std::string line = Printf("%02d:%02d:%02d.%03d %5u ", local.tm_hour, local.tm_min, local.tm_sec,
                              millis < 0 ? 0 : millis, message.threadId);
    const UnitCatalog* unit = catalog.FindUnit(message.guid);
    const CatalogEntry* entry = unit != nullptr ? unit->Find(message.number) : nullptr;
    if (entry == nullptr) {
        line += Printf("%-15s %-5s %-9s ", unit != nullptr ? unit->unit.c_str() : "?", "?", "?");
        line += "unknown message " + GuidText(message.guid) + " #" +
                std::to_string(message.number) + " (" + std::to_string(message.args.size()) +
                " argument bytes)";
        return line;
    }
    line += Printf("%-15s %-5s %-9s ", unit->unit.c_str(), LevelName(entry->level).c_str(),
                   FlagName(entry->flagName).c_str());
    bool match = true;
    line += FormatText(entry->text, message.args.data(), message.args.size(), &match);
    if (!match) {
        line += " [arguments do not match the catalog]";
    }
    return line;
}

DecodeResult DecodeLog(const std::string& path, const Catalog& catalog, const DecodeFilter& filter,
                       std::ostream& out) {
    DecodeResult result;
    const LogReadResult read = ReadLog(path, [&](const LogMessage& m) {
        const UnitCatalog* unit = catalog.FindUnit(m.guid);
        const CatalogEntry* entry = unit != nullptr ? unit->Find(m.number) : nullptr;
        // A message the catalogs do not know is always shown: it means they are stale.
        if (entry != nullptr && ((entry->level >= 0 && entry->level > filter.maxLevel) ||
                                 (entry->flags & filter.flags) == 0)) {
            return;
        }
        out << FormatLine(m, catalog) << "\n";
        ++result.messagesShown;
    });
    result.ok = read.ok;
    result.messagesRead = read.messagesRead;
    result.error = read.error;
    return result;
}

}  // namespace brelk_trace
