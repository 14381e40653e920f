#pragma once
// The markers of trace texts. The driver reads them at compile time to choose each
// argument's encoding; the trace decoder reads them at run time to take the arguments
// apart and format them, so both always agree.
//
//   %d %i %u %x %X %o   32-bit integer (flags, width and precision as printf's)
//   %lld %I64x ...      64-bit integer (ll or I64 before the conversion)
//   %p                  64-bit address
//   %s %hs              narrow text, with its terminating zero
//   %S %ls %ws          wide text, UTF-16 with its terminating zero
//   %!GUID!             16-byte GUID
//   %!HRESULT!          32-bit result code
//   %%                  a percent sign

#include <cstddef>
#include <string_view>

namespace brelk_trace {

enum class ArgKind : unsigned char { Int32, Int64, Pointer, Text, WideText, Guid, HResult };

struct Marker {
    std::size_t begin = 0;      // offset of the '%'
    std::size_t end = 0;        // one past the marker
    std::size_t specBegin = 0;  // flags, width and precision: [specBegin, specEnd)
    std::size_t specEnd = 0;
    char conversion = 0;  // d i u x X o p s S, or 'G' (GUID), 'H' (HRESULT)
    ArgKind kind = ArgKind::Int32;
};

enum class MarkerResult { Found, End, Bad };

// Finds the next argument marker at or after pos and moves pos past it. "%%" is text.
constexpr MarkerResult NextMarker(std::string_view text, std::size_t& pos, Marker& m) {
    while (pos < text.size()) {
        const std::size_t start = text.find('%', pos);
        if (start == std::string_view::npos) {
            pos = text.size();
            return MarkerResult::End;
        }
        std::size_t i = start + 1;
        if (i < text.size() && text[i] == '%') {
            pos = i + 1;
            continue;
        }
        m = Marker{};
        m.begin = start;
        if (i < text.size() && text[i] == '!') {
            const std::size_t close = text.find('!', i + 1);
            if (close == std::string_view::npos) {
                return MarkerResult::Bad;
            }
            const std::string_view name = text.substr(i + 1, close - i - 1);
            if (name == "GUID") {
                m.kind = ArgKind::Guid;
                m.conversion = 'G';
            } else if (name == "HRESULT") {
                m.kind = ArgKind::HResult;
                m.conversion = 'H';
            } else {
                return MarkerResult::Bad;
            }
            m.specBegin = m.specEnd = i;
            m.end = pos = close + 1;
            return MarkerResult::Found;
        }
        m.specBegin = i;
        while (i < text.size() &&
               std::string_view("-+ #0").find(text[i]) != std::string_view::npos) {
            ++i;
        }
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        if (i < text.size() && text[i] == '.') {
            ++i;
            while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
                ++i;
            }
        }
        m.specEnd = i;
        bool wide = false, narrow = false, longLong = false;
        const std::string_view rest = text.substr(i);
        if (rest.starts_with("ll") || rest.starts_with("I64")) {
            longLong = true;
            i += rest[0] == 'l' ? 2 : 3;
        } else if (rest.starts_with("I32")) {
            i += 3;
        } else if (rest.starts_with("l") || rest.starts_with("w")) {
            wide = true;  // also %ld: Windows' long is 32-bit
            i += 1;
        } else if (rest.starts_with("hh")) {
            i += 2;
        } else if (rest.starts_with("h")) {
            narrow = true;
            i += 1;
        }
        if (i >= text.size()) {
            return MarkerResult::Bad;
        }
        const char c = text[i];
        m.conversion = c;
        switch (c) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o':
                m.kind = longLong ? ArgKind::Int64 : ArgKind::Int32;
                break;
            case 'p':
                m.kind = ArgKind::Pointer;
                break;
            case 's':
                m.kind = wide ? ArgKind::WideText : ArgKind::Text;
                break;
            case 'S':
                m.kind = narrow ? ArgKind::Text : ArgKind::WideText;
                break;
            default:
                return MarkerResult::Bad;
        }
        if (longLong && m.kind != ArgKind::Int64) {
            return MarkerResult::Bad;
        }
        m.end = pos = i + 1;
        return MarkerResult::Found;
    }
    return MarkerResult::End;
}

inline constexpr int kMaxTraceArgs = 8;

enum class FormatError : unsigned char { None, BadMarker, TooManyMarkers };

// What a trace text asks of its arguments. A structural type, so that it can be a
// template argument of the emitter.
struct Shape {
    int count = 0;
    ArgKind kinds[kMaxTraceArgs] = {};
    FormatError error = FormatError::None;
};

constexpr Shape ParseFormat(std::string_view text) {
    Shape s;
    std::size_t pos = 0;
    Marker m;
    for (;;) {
        const MarkerResult r = NextMarker(text, pos, m);
        if (r == MarkerResult::End) {
            return s;
        }
        if (r == MarkerResult::Bad) {
            s.error = FormatError::BadMarker;
            return s;
        }
        if (s.count == kMaxTraceArgs) {
            s.error = FormatError::TooManyMarkers;
            return s;
        }
        s.kinds[s.count++] = m.kind;
    }
}

}  // namespace brelk_trace
