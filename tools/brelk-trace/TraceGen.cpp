// brelk-tracegen: makes a source unit's message catalog from the unit preprocessed with
// BRELK_TRACE_SCAN defined (see driver/Trace.h). The numbers come from the same
// __COUNTER__ expression the compiled trace points use, so the catalog follows the code.
//
//   brelk-tracegen UNIT.i OUTPUT.msg
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "CatalogFormat.h"

namespace {

struct Reader {
    const std::string& text;
    size_t pos = 0;
    std::string file;
    int line = 1;

    bool AtEnd() const { return pos >= text.size(); }

    void Advance() {
        if (text[pos] == '\n') {
            ++line;
            ParseLineMarker();
        }
        ++pos;
    }

    // "# 42 \"driver/Device.cpp\" 2" at the start of a line sets where the next line is.
    void ParseLineMarker() {
        size_t p = pos + 1;
        while (p < text.size() && (text[p] == ' ' || text[p] == '\t')) {
            ++p;
        }
        if (p >= text.size() || text[p] != '#') {
            return;
        }
        ++p;
        char* end = nullptr;
        const long n = std::strtol(text.c_str() + p, &end, 10);
        if (end == text.c_str() + p) {
            return;
        }
        p = static_cast<size_t>(end - text.c_str());
        const size_t q1 = text.find('"', p);
        const size_t eol = text.find('\n', p);
        if (q1 == std::string::npos || (eol != std::string::npos && q1 > eol)) {
            return;
        }
        const size_t q2 = text.find('"', q1 + 1);
        file = text.substr(q1 + 1, q2 - q1 - 1);
        line = static_cast<int>(n) - 1;  // the marker's own newline comes next
    }

    void SkipSpace() {
        while (!AtEnd() && std::isspace(static_cast<unsigned char>(text[pos]))) {
            Advance();
        }
    }

    std::string Identifier() {
        std::string id;
        while (!AtEnd() &&
               (std::isalnum(static_cast<unsigned char>(text[pos])) || text[pos] == '_')) {
            id += text[pos];
            Advance();
        }
        return id;
    }

    // A string or character literal starting at pos, raw (quotes and escapes kept).
    std::string Literal() {
        const char quote = text[pos];
        std::string out(1, quote);
        Advance();
        while (!AtEnd() && text[pos] != quote) {
            if (text[pos] == '\\' && pos + 1 < text.size()) {
                out += text[pos];
                Advance();
            }
            out += text[pos];
            Advance();
        }
        if (!AtEnd()) {
            out += text[pos];
            Advance();
        }
        return out;
    }

    // A balanced parenthesised expression starting at pos, whitespace collapsed.
    std::string Parenthesised() {
        std::string out;
        int depth = 0;
        do {
            const char c = text[pos];
            if (c == '"' || c == '\'') {
                out += Literal();
                continue;
            }
            if (c == '(') {
                ++depth;
            } else if (c == ')') {
                --depth;
            }
            if (std::isspace(static_cast<unsigned char>(c))) {
                if (!out.empty() && out.back() != ' ') {
                    out += ' ';
                }
            } else {
                out += c;
            }
            Advance();
        } while (!AtEnd() && depth > 0);
        return out;
    }
};

// Decodes one C string literal body (escapes) and appends it.
bool AppendLiteral(const std::string& literal, std::string* out) {
    if (literal.size() < 2 || literal.front() != '"' || literal.back() != '"') {
        return false;
    }
    for (size_t i = 1; i + 1 < literal.size(); ++i) {
        char c = literal[i];
        if (c != '\\') {
            *out += c;
            continue;
        }
        c = literal[++i];
        switch (c) {
            case 'n':
                *out += '\n';
                break;
            case 't':
                *out += '\t';
                break;
            case 'r':
                *out += '\r';
                break;
            case '0':
                *out += '\0';
                break;
            case 'x': {
                int v = 0, digits = 0;
                while (i + 1 < literal.size() - 1 &&
                       std::isxdigit(static_cast<unsigned char>(literal[i + 1]))) {
                    v = v * 16 + std::stoi(std::string(1, literal[++i]), nullptr, 16);
                    ++digits;
                }
                if (digits == 0) {
                    return false;
                }
                *out += static_cast<char>(v);
                break;
            }
            default:
                *out += c;
                break;
        }
    }
    return true;
}

// "(0x00000008)" or "(0x08 | 0x20)": the value, or -1 when it is not a constant.
long long ConstantValue(const std::string& expression) {
    long long value = 0;
    bool any = false;
    std::string token;
    auto flush = [&]() -> bool {
        if (token.empty()) {
            return true;
        }
        char* end = nullptr;
        const long long v = std::strtoll(token.c_str(), &end, 0);
        while (end != nullptr && (*end == 'u' || *end == 'U' || *end == 'l' || *end == 'L')) {
            ++end;
        }
        if (end == nullptr || *end != '\0') {
            return false;
        }
        value |= v;
        any = true;
        token.clear();
        return true;
    };
    for (char c : expression) {
        if (c == '(' || c == ')' || c == ' ') {
            if (!flush()) {
                return -1;
            }
        } else if (c == '|') {
            if (!flush()) {
                return -1;
            }
        } else {
            token += c;
        }
    }
    if (!flush() || !any) {
        return -1;
    }
    return value;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Fail(const std::string& where, const std::string& what) {
    std::cerr << "brelk-tracegen: " << where << ": " << what << "\n";
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: brelk-tracegen UNIT.i OUTPUT.msg\n";
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        return Fail(argv[1], "cannot read");
    }
    std::stringstream buffer;
    buffer << in.rdbuf();
    const std::string text = buffer.str();

    brelk_trace::UnitCatalog unit;
    bool haveUnit = false;
    long long base = 0;
    Reader r{text, 0, {}, 1};
    if (text.rfind("# ", 0) == 0) {  // a line marker on the first line
        r.pos = static_cast<size_t>(-1);
        r.ParseLineMarker();
        r.pos = 0;
    }
    while (!r.AtEnd()) {
        const char c = text[r.pos];
        if (c == '"' || c == '\'') {
            r.Literal();
            continue;
        }
        if (!(std::isalpha(static_cast<unsigned char>(c)) || c == '_')) {
            r.Advance();
            continue;
        }
        const int line = r.line;
        const std::string file = r.file;
        const std::string id = r.Identifier();
        const std::string where = BaseName(file) + ":" + std::to_string(line);
        if (id == "BrelkTraceScanUnit") {
            if (haveUnit) {
                return Fail(where, "BRELK_TRACE_UNIT appears twice in one unit");
            }
            r.SkipSpace();
            unit.unit = r.Identifier();
            r.SkipSpace();
            base = std::strtoll(r.Identifier().c_str(), nullptr, 10);
            r.SkipSpace();
            // The GUID initialiser: {l, w1, w2, {b1, ..., b8}}
            std::vector<unsigned long long> parts;
            if (r.AtEnd() || text[r.pos] != '{') {
                return Fail(where, "no message GUID is defined for unit " + unit.unit);
            }
            int depth = 0;
            std::string token;
            do {
                const char g = text[r.pos];
                if (g == '{') {
                    ++depth;
                }
                if (g == '}') {
                    --depth;
                }
                if (std::isalnum(static_cast<unsigned char>(g))) {
                    token += g;
                } else if (!token.empty()) {
                    parts.push_back(std::strtoull(token.c_str(), nullptr, 0));
                    token.clear();
                }
                r.Advance();
            } while (!r.AtEnd() && depth > 0);
            if (parts.size() != 11) {
                return Fail(where, "the message GUID of unit " + unit.unit + " is not a GUID");
            }
            unit.guid.Data1 = static_cast<uint32_t>(parts[0]);
            unit.guid.Data2 = static_cast<uint16_t>(parts[1]);
            unit.guid.Data3 = static_cast<uint16_t>(parts[2]);
            for (int i = 0; i < 8; ++i) {
                unit.guid.Data4[i] = static_cast<uint8_t>(parts[3 + i]);
            }
            unit.source = BaseName(file);
            haveUnit = true;
        } else if (id == "BrelkTraceScanPoint") {
            if (!haveUnit) {
                return Fail(where, "a trace point stands before BRELK_TRACE_UNIT");
            }
            brelk_trace::CatalogEntry e;
            r.SkipSpace();
            const long long counter = std::strtoll(r.Identifier().c_str(), nullptr, 10);
            e.number = static_cast<int>(counter - base + 9);
            r.SkipSpace();
            std::string levelName, flagName;
            if (r.AtEnd() || text[r.pos] != '"' || !AppendLiteral(r.Literal(), &levelName)) {
                return Fail(where, "malformed trace point");
            }
            r.SkipSpace();
            e.level = static_cast<int>(ConstantValue(r.Parenthesised()));
            r.SkipSpace();
            if (r.AtEnd() || text[r.pos] != '"' || !AppendLiteral(r.Literal(), &flagName)) {
                return Fail(where, "malformed trace point");
            }
            r.SkipSpace();
            const long long flags = ConstantValue(r.Parenthesised());
            e.flags = flags < 0 ? 0 : static_cast<uint32_t>(flags);
            e.levelName = brelk_trace::Squeeze(levelName);
            e.flagName = brelk_trace::Squeeze(flagName);
            for (;;) {
                r.SkipSpace();
                if (r.AtEnd()) {
                    return Fail(where, "unterminated trace point");
                }
                if (text[r.pos] == '"') {
                    if (!AppendLiteral(r.Literal(), &e.text)) {
                        return Fail(where, "the text is not a plain string literal");
                    }
                    continue;
                }
                if (r.Identifier() == "BrelkTraceScanEnd") {
                    break;
                }
                return Fail(where, "the text of a trace point must be a string literal");
            }
            e.location = where;
            unit.messages.push_back(e);
        }
    }

    std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
    if (!out) {
        return Fail(argv[2], "cannot write");
    }
    if (haveUnit) {
        brelk_trace::WriteCatalog(unit, out);
    } else {
        out << "# no trace unit\n";
    }
    return out.good() ? 0 : Fail(argv[2], "cannot write");
}
