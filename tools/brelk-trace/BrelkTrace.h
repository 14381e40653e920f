#pragma once
// Reading Brelk's trace logs: the library behind brelk-trace and the simulator's trace
// command. Recording them is the simulated machine's (TraceSession.h).
#include <evntrace.h>
#include <winplat/tracectl.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "CatalogFormat.h"
#include "TraceSession.h"

namespace brelk_trace {

// ---- Catalogs

class Catalog {
public:
    // Reads every *.msg file of a folder. False, with the file and the reason, when one
    // is malformed or the folder cannot be read.
    [[nodiscard]] bool LoadDirectory(const std::string& folder, std::string* error);
    [[nodiscard]] bool LoadFile(const std::string& path, std::string* error);
    void Add(UnitCatalog unit);

    const UnitCatalog* FindUnit(const GUID& messageGuid) const;
    const std::vector<UnitCatalog>& Units() const { return m_Units; }

private:
    std::vector<UnitCatalog> m_Units;
};

// The catalogs the build puts beside the programs: <program folder>/trace.
std::string DefaultCatalogFolder();

// ---- Log files

struct LogMessage {
    uint16_t flags = 0;  // TRACE_MESSAGE_* the message was sent with
    uint16_t number = 0;
    uint32_t sequence = 0;
    GUID guid{};
    int64_t timeStamp = 0;  // 100 ns units since 1601
    uint32_t threadId = 0;
    uint32_t processId = 0;
    std::vector<uint8_t> args;
};

struct LogReadResult {
    bool ok = false;
    uint64_t messagesRead = 0;
    std::string error;  // when !ok: what is wrong, with the number of messages read
};

// Calls onMessage for each message in file order; stops at the first damaged record.
[[nodiscard]] LogReadResult ReadLog(const std::string& path,
                                    const std::function<void(const LogMessage&)>& onMessage);

// ---- Formatting

// Applies a catalog text to a message's argument bytes. *argumentsMatch tells whether the
// bytes were exactly what the text's markers ask for.
std::string FormatText(std::string_view text, const uint8_t* args, size_t size,
                       bool* argumentsMatch);

std::string LevelName(int level);                      // "ERROR", "INFO", ...
std::string FlagName(const std::string& catalogName);  // "TRACE_FLAG_DEVICE" -> "DEVICE"

// One line: time, thread, source unit, level, flag name, text.
std::string FormatLine(const LogMessage& message, const Catalog& catalog);

struct DecodeFilter {
    int maxLevel = 255;           // messages above this level are left out
    uint32_t flags = 0xFFFFFFFF;  // messages with none of these flag bits are left out
};

struct DecodeResult {
    bool ok = false;
    uint64_t messagesRead = 0;
    uint64_t messagesShown = 0;
    std::string error;
};

[[nodiscard]] DecodeResult DecodeLog(const std::string& path, const Catalog& catalog,
                                     const DecodeFilter& filter, std::ostream& out);

}  // namespace brelk_trace
