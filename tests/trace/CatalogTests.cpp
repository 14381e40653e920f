// Brelk's message catalogs: each source unit's catalog carries its message GUID and one
// entry per trace point, numbered from 10 in file order.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "BrelkTrace.h"
#include "TraceFormat.h"

namespace brelk::test {
namespace {

std::string ReadText(const std::filesystem::path& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The unit's text as the compiler sees its order: its .inc parts in place, comments,
// literals and macro definitions removed.
std::string UnitText(const std::filesystem::path& file) {
    const std::string raw = ReadText(file);
    std::string out;
    std::istringstream lines(raw);
    std::string line;
    bool inDefine = false;
    while (std::getline(lines, line)) {
        const size_t first = line.find_first_not_of(" \t");
        const std::string trimmed = first == std::string::npos ? "" : line.substr(first);
        if (inDefine || trimmed.rfind("#define", 0) == 0) {
            inDefine = !line.empty() && line.back() == '\\';
            continue;
        }
        if (trimmed.rfind("#include \"", 0) == 0 && trimmed.find(".inc\"") != std::string::npos) {
            const size_t q = trimmed.find('"');
            out += UnitText(file.parent_path() /
                            trimmed.substr(q + 1, trimmed.find('"', q + 1) - q - 1));
            continue;
        }
        out += line + "\n";
    }
    std::string code;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out.compare(i, 2, "//") == 0) {
            i = out.find('\n', i);
            if (i == std::string::npos) {
                break;
            }
            code += '\n';
        } else if (out.compare(i, 2, "/*") == 0) {
            i = out.find("*/", i + 2);
            if (i == std::string::npos) {
                break;
            }
            ++i;
        } else if (out[i] == '"' || out[i] == '\'') {
            const char q = out[i];
            for (++i; i < out.size() && out[i] != q; ++i) {
                if (out[i] == '\\') {
                    ++i;
                }
            }
            code += "\"\"";
        } else {
            code += out[i];
        }
    }
    return code;
}

size_t CountTracePoints(const std::string& code) {
    size_t n = 0;
    for (size_t at = code.find("TraceEvents"); at != std::string::npos;
         at = code.find("TraceEvents", at + 1)) {
        const bool startsWord =
            at == 0 ||
            !(std::isalnum(static_cast<unsigned char>(code[at - 1])) || code[at - 1] == '_');
        size_t next = at + 11;
        while (next < code.size() && std::isspace(static_cast<unsigned char>(code[next]))) {
            ++next;
        }
        if (startsWord && next < code.size() && code[next] == '(') {
            ++n;
        }
    }
    return n;
}

TEST(TraceCatalog, EachUnitHasItsGuidAndOneEntryPerTracePointInOrder) {
    struct Unit {
        const char* name;
        const char* file;
        const char* guid;
    };
    const Unit units[] = {
        {"ModuleEntry", "Dllsup.cpp", "{C727A97B-19B7-443D-FB59-5F4CEF9B7C67}"},
        {"Driver", "Driver.cpp", "{CB9FB63F-D71C-45F2-ED12-9430DEB5B02C}"},
        {"Device", "Device.cpp", "{AE975877-9A53-D225-4206-7D79BDA797B9}"},
        {"IoQueue", "IoQueue.cpp", "{7F0CDCBE-04C5-351E-215C-B52C50F1B646}"},
        {"PortCallbacks", "PortCallbacks.cpp", "{B66E13FD-ACBA-140C-6FE4-A3FE311E9B04}"},
        {"MBDeviceService", "MBDeviceService.cpp", "{CE2DCF55-2058-B199-A421-29A35AFF5BCA}"},
        {"EventSink", "EventSink.cpp", "{328461A3-2603-7B8A-9A09-401F39C88F76}"},
    };
    const std::filesystem::path sources = std::filesystem::path(BRELK_SOURCE_DIR) / "driver";
    int checked = 0;
    for (const auto& u : units) {
        SCOPED_TRACE(u.file);
        const auto source = sources / u.file;
        if (!std::filesystem::exists(source)) {
            continue;  // not written yet
        }
        const std::string catalogPath = std::string(BRELK_TRACE_CATALOGS) + "/" +
                                        std::filesystem::path(u.file).stem().string() + ".msg";
        std::ifstream in(catalogPath);
        ASSERT_TRUE(in) << catalogPath;
        brelk_trace::UnitCatalog catalog;
        std::string error;
        ASSERT_TRUE(brelk_trace::ReadCatalog(in, &catalog, &error)) << error;
        ++checked;
        EXPECT_EQ(catalog.unit, u.name);
        EXPECT_EQ(brelk_trace::GuidText(catalog.guid), u.guid);
        EXPECT_EQ(catalog.messages.size(), CountTracePoints(UnitText(source)))
            << "every TraceEvents in the unit and its parts, and only those; a trace point "
               "inside a macro counts once per use";
        for (size_t i = 0; i < catalog.messages.size(); ++i) {
            const auto& m = catalog.messages[i];
            SCOPED_TRACE(m.location + " \"" + m.text + "\"");
            EXPECT_EQ(m.number, static_cast<int>(10 + i));
            EXPECT_TRUE(m.level == 2 || m.level == 4 || m.level == 5) << m.levelName;
            EXPECT_TRUE(m.flags >= 0x02 && m.flags <= 0x40 && (m.flags & (m.flags - 1)) == 0)
                << m.flagName;
            EXPECT_EQ(brelk_trace::ParseFormat(m.text).error, brelk_trace::FormatError::None);
        }
    }
    EXPECT_GT(checked, 0) << "no source unit found below " << sources;
}

}  // namespace
}  // namespace brelk::test
