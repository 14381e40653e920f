#pragma once
// Trace points of Brelk.
//
//   TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DEVICE, "Configure: queue created,
//   hr=%!HRESULT!", hr);
//
// A trace point sends only its message identity (the source unit's message GUID and a
// number) and its arguments; the text is the reader's, kept in the unit's message
// catalog, which the build makes from the trace points themselves. Numbers run from 10
// in the order the trace points stand in the unit. The markers of the text (see
// TraceFormat.h) choose each argument's encoding: %d %u %x (32-bit), %p (64-bit
// address), %s (narrow text), %S (wide text), %!GUID!, %!HRESULT! (32-bit). A marker that
// does not fit its argument, or a count that differs, does not compile.
//
// Each source unit (one .cpp, with the .inc parts it includes) names itself once,
// before its first trace point:  BRELK_TRACE_UNIT(Device);
//
// A trace point first tests, on values already in memory, that tracing is started, that
// its flag is enabled and that the enabled level reaches its own; only then are its
// arguments evaluated (once each) and the message sent.

#include <windows.h>
#include <evntrace.h>

#include <atomic>
#include <cstring>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "TraceFormat.h"
#include "TraceIds.h"

// The one control block of the driver. The enable callback writes logger, level and flags
// while trace points on any thread read them: each is an atomic word (relaxed), so a
// trace point sees the old or the new value of each, and one racing with a change is
// either sent or dropped.
struct TraceControlBlock {
    TraceControlBlock* Next;          // always NULL: one provider
    TRACEHANDLE RegistrationHandle;   // written by StartTracing and StopTracing only
    std::atomic<TRACEHANDLE> Logger;  // 0 when disabled
    UCHAR FlagsLength;                // number of 32-bit flag words: 1
    std::atomic<UCHAR> Level;         // 0 when disabled
    USHORT Options;                   // bit value 2: the callback writes into *Logger
    std::atomic<ULONG> Flags;         // 0 when disabled
    LPCGUID ControlGuid;
};

#define TRACE_CONTROL_OPTION_FORWARD 0x0002

extern TraceControlBlock g_TraceControlBlock;
// Designates g_TraceControlBlock between StartTracing and StopTracing, no block otherwise.
extern std::atomic<TraceControlBlock*> g_pTraceControlBlock;

// Called by the module entry at process attach and detach.
void StartTracing();
void StopTracing();

ULONG WINAPI TraceEnableCallback(WMIDPREQUESTCODE RequestCode, PVOID Context,
                                 ULONG* InOutBufferSize, PVOID Buffer) noexcept;

// The test at a trace point: three comparisons, no argument evaluated.
inline TraceControlBlock* BrelkTraceTest(ULONG flag, UCHAR level) {
    TraceControlBlock* block = g_pTraceControlBlock.load(std::memory_order_relaxed);
    if (block != nullptr && (block->Flags.load(std::memory_order_relaxed) & flag) != 0 &&
        block->Level.load(std::memory_order_relaxed) >= level) {
        return block;
    }
    return nullptr;
}

namespace brelk_trace {

// Wide texts are longer than this in no trace point; a longer one is cut here, so that a
// trace point never allocates.
inline constexpr std::size_t kWideTextUnits = 512;

template <class T>
using Bare = std::remove_cv_t<std::remove_pointer_t<std::decay_t<T>>>;

template <class T>
inline constexpr bool kIsInteger =
    std::is_integral_v<std::decay_t<T>> || std::is_enum_v<std::decay_t<T>>;

template <class T>
inline constexpr bool kIsNarrowText =
    std::is_same_v<std::decay_t<T>, std::string> ||
    (std::is_pointer_v<std::decay_t<T>> && std::is_same_v<Bare<T>, char>);

template <class T>
inline constexpr bool kIsWideText =
    std::is_same_v<std::decay_t<T>, std::wstring> ||
    (std::is_pointer_v<std::decay_t<T>> && std::is_same_v<Bare<T>, WCHAR>);

template <class T>
inline constexpr bool kIsGuid =
    std::is_same_v<std::decay_t<T>, GUID> ||
    (std::is_pointer_v<std::decay_t<T>> && std::is_same_v<Bare<T>, GUID>);

template <ArgKind K, class T>
inline constexpr bool kAccepts =
    (K == ArgKind::Int32 || K == ArgKind::Int64 || K == ArgKind::HResult) ? kIsInteger<T>
    : K == ArgKind::Pointer  ? (std::is_pointer_v<std::decay_t<T>> ||
                               std::is_null_pointer_v<std::decay_t<T>> || kIsInteger<T>)
    : K == ArgKind::Text     ? kIsNarrowText<T>
    : K == ArgKind::WideText ? kIsWideText<T>
    : K == ArgKind::Guid     ? kIsGuid<T>
                             : false;

// One argument in its wire form: Data() and Size() are the pair handed to TraceMessage.
// Built in place and never moved, so Data() may point into the object.
template <ArgKind K, class T>
class Encoded;

template <ArgKind K, class T>
    requires(K == ArgKind::Int32 || K == ArgKind::HResult)
class Encoded<K, T> {
public:
    explicit Encoded(const T& v) : m_Value(static_cast<UINT32>(v)) {}
    const void* Data() const { return &m_Value; }
    std::size_t Size() const { return sizeof(m_Value); }

private:
    UINT32 m_Value;
};

template <class T>
class Encoded<ArgKind::Int64, T> {
public:
    explicit Encoded(const T& v) : m_Value(static_cast<UINT64>(v)) {}
    const void* Data() const { return &m_Value; }
    std::size_t Size() const { return sizeof(m_Value); }

private:
    UINT64 m_Value;
};

template <class T>
class Encoded<ArgKind::Pointer, T> {
public:
    explicit Encoded(const T& v) : m_Value(ToAddress(v)) {}
    const void* Data() const { return &m_Value; }
    std::size_t Size() const { return sizeof(m_Value); }

private:
    static UINT64 ToAddress(const T& v) {
        if constexpr (std::is_null_pointer_v<std::decay_t<T>>) {
            return 0;
        } else if constexpr (std::is_pointer_v<std::decay_t<T>>) {
            return reinterpret_cast<uintptr_t>(v);
        } else {
            return static_cast<UINT64>(v);
        }
    }
    UINT64 m_Value;
};

template <class T>
class Encoded<ArgKind::Text, T> {
public:
    explicit Encoded(const T& v) {
        const char* text;
        if constexpr (std::is_same_v<std::decay_t<T>, std::string>) {
            text = v.c_str();
        } else {
            text = v;
        }
        if (text == nullptr) {
            text = "NULL";
        }
        m_Text = text;
        m_Size = std::strlen(text) + 1;
    }
    const void* Data() const { return m_Text; }
    std::size_t Size() const { return m_Size; }

private:
    const char* m_Text;
    std::size_t m_Size;
};

// UTF-16 with its terminating zero. A null text is sent as "NULL", an empty one as
// "<NULL>", so that a reader can tell the two apart.
template <class T>
class Encoded<ArgKind::WideText, T> {
public:
    explicit Encoded(const T& v) {
        const WCHAR* text;
        if constexpr (std::is_same_v<std::decay_t<T>, std::wstring>) {
            text = v.c_str();
        } else {
            text = v;
        }
        if (text == nullptr) {
            text = L"NULL";
        } else if (*text == 0) {
            text = L"<NULL>";
        }
        if constexpr (sizeof(WCHAR) == sizeof(char16_t)) {
            m_Data = text;
            std::size_t n = 0;
            while (text[n] != 0) {
                ++n;
            }
            m_Size = (n + 1) * sizeof(char16_t);
        } else {
            std::size_t n = 0;
            for (; *text != 0; ++text) {
                char32_t c = static_cast<char32_t>(*text);
                if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
                    c = 0xFFFD;
                }
                if (c >= 0x10000) {
                    if (n + 2 >= kWideTextUnits) {
                        break;
                    }
                    c -= 0x10000;
                    m_Buffer[n++] = static_cast<char16_t>(0xD800 + (c >> 10));
                    m_Buffer[n++] = static_cast<char16_t>(0xDC00 + (c & 0x3FF));
                } else {
                    if (n + 1 >= kWideTextUnits) {
                        break;
                    }
                    m_Buffer[n++] = static_cast<char16_t>(c);
                }
            }
            m_Buffer[n] = 0;
            m_Data = m_Buffer;
            m_Size = (n + 1) * sizeof(char16_t);
        }
    }
    const void* Data() const { return m_Data; }
    std::size_t Size() const { return m_Size; }

private:
    const void* m_Data;
    std::size_t m_Size;
    char16_t m_Buffer[sizeof(WCHAR) == sizeof(char16_t) ? 1 : kWideTextUnits];
};

template <class T>
class Encoded<ArgKind::Guid, T> {
public:
    explicit Encoded(const T& v) : m_Value(ToGuid(v)) {}
    const void* Data() const { return &m_Value; }
    std::size_t Size() const { return sizeof(m_Value); }

private:
    static GUID ToGuid(const T& v) {
        if constexpr (std::is_pointer_v<std::decay_t<T>>) {
            return v != nullptr ? *v : GUID{};
        } else {
            return v;
        }
    }
    GUID m_Value;
};

template <ArgKind K, class T>
struct CheckArg {
    static_assert(kAccepts<K, T>,
                  "TraceEvents: an argument does not fit its marker (%d %u %x: integer, %p: "
                  "address, %s: narrow text, %S: wide text, %!GUID!, %!HRESULT!: integer)");
    static constexpr bool ok = kAccepts<K, T>;
};

template <Shape S, class... Args, std::size_t... I>
ULONG SendChecked(TRACEHANDLE logger, USHORT number, LPCGUID guid, std::index_sequence<I...>,
                  const Args&... args) {
    if constexpr ((CheckArg<S.kinds[I], Args>::ok && ...)) {
        const std::tuple<Encoded<S.kinds[I], Args>...> encoded(args...);
        const auto pairs = std::tuple_cat(
            std::make_tuple(std::get<I>(encoded).Data(), std::get<I>(encoded).Size())...);
        return std::apply(
            [&](auto... pair) {
                return TraceMessage(logger, BRELK_TRACE_MESSAGE_FLAGS, guid, number, pair...,
                                    static_cast<const void*>(nullptr));
            },
            pairs);
    } else {
        return ERROR_INVALID_PARAMETER;
    }
}

// The emitter: one message with the arguments in the encodings its text's markers ask
// for. Its result is the platform's, which no trace point looks at.
template <Shape S, class... Args>
ULONG Send(TRACEHANDLE logger, USHORT number, LPCGUID guid, const Args&... args) {
    static_assert(S.error != FormatError::BadMarker,
                  "TraceEvents: the text has a marker the decoder does not know (TraceFormat.h)");
    static_assert(S.error != FormatError::TooManyMarkers, "TraceEvents: at most 8 arguments");
    static_assert(S.count == sizeof...(Args),
                  "TraceEvents: the number of arguments differs from the markers in the text");
    if constexpr (S.error == FormatError::None && S.count == sizeof...(Args)) {
        return SendChecked<S>(logger, number, guid, std::index_sequence_for<Args...>{}, args...);
    } else {
        return ERROR_INVALID_PARAMETER;
    }
}

}  // namespace brelk_trace

#if defined(BRELK_TRACE_SCAN)
// The catalog generator preprocesses each unit with this defined and reads the markers
// below, so that its numbering is the compiler's.
#define BRELK_TRACE_UNIT(unit) BrelkTraceScanUnit unit __COUNTER__ BRELK_TRACE_GUID_##unit
#define TraceEvents(level, flags, msg, ...) \
    BrelkTraceScanPoint __COUNTER__ #level(level) #flags(flags) msg BrelkTraceScanEnd
#else
#define BRELK_TRACE_UNIT(unit)                                              \
    static constexpr GUID kBrelkTraceMessageGuid = BRELK_TRACE_GUID_##unit; \
    static constexpr int kBrelkTraceCounterBase = __COUNTER__;              \
    static_assert(kBrelkTraceCounterBase >= 0, "BRELK_TRACE_UNIT names the source unit")

#define TraceEvents(level, flags, msg, ...)                                                    \
    do {                                                                                       \
        constexpr USHORT brelkTraceNumber_ =                                                   \
            static_cast<USHORT>(__COUNTER__ - kBrelkTraceCounterBase + 9);                     \
        if (TraceControlBlock* brelkTraceBlock_ = BrelkTraceTest((flags), (level))) {          \
            constexpr ::brelk_trace::Shape brelkTraceShape_ = ::brelk_trace::ParseFormat(msg); \
            ::brelk_trace::Send<brelkTraceShape_>(                                             \
                brelkTraceBlock_->Logger.load(std::memory_order_relaxed), brelkTraceNumber_,   \
                &kBrelkTraceMessageGuid __VA_OPT__(, ) __VA_ARGS__);                           \
        }                                                                                      \
    } while (0)
#endif
