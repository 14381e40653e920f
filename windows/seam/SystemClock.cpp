#include "SystemClock.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace sim {

namespace {

// Below this much real time a pause is one precise delay; longer ones first wait where a
// change of scale can re-aim them.
constexpr long double kPreciseNs = 2e6L;

double ScaleFromEnvironment() {
    char text[64] = {};
    const DWORD n = GetEnvironmentVariableA("WINPLAT_TIME_SCALE", text, sizeof(text));
    if (n == 0 || text[0] == '\0') {
        return 1.0;
    }
    char* end = nullptr;
    const double value = n < sizeof(text) ? std::strtod(text, &end) : 0;
    if (end == text || end == nullptr || *end != '\0' || !std::isfinite(value) || value <= 0) {
        std::fprintf(stderr, "simseam: ignoring WINPLAT_TIME_SCALE=\"%s\"; using 1\n", text);
        return 1.0;
    }
    return value;
}

VOID WINAPI ScaledSleep(DWORD ms) {
    if (ms == INFINITE) {
        ::Sleep(INFINITE);
        return;
    }
    Host().Time().Sleep(ms);
}

DWORD WINAPI ScaledWaitForSingleObject(HANDLE object, DWORD ms) {
    return Host().Time().WaitForObject(object, ms);
}

ULONGLONG WINAPI ScaledGetTickCount64() {
    return Host().Time().NowMs();
}

struct Rebinding {
    const char* Name;
    void* Replacement;
    void* Original;  // what the loader binds the name to, for tables without names
};

// Bounds-checked reads of a loaded image, for modules the caller vouches for no further
// than by their handle.
class LoadedImage {
public:
    bool Open(HMODULE module) {
        MEMORY_BASIC_INFORMATION region = {};
        if (module == nullptr || VirtualQuery(module, &region, sizeof(region)) != sizeof(region) ||
            region.Type != MEM_IMAGE || region.AllocationBase != module) {
            return false;
        }
        m_Base = reinterpret_cast<BYTE*>(module);
        m_Size = region.RegionSize;  // the headers' pages, until SizeOfImage is known
        const auto* dos = At<IMAGE_DOS_HEADER>(0);
        if (dos == nullptr || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0) {
            return false;
        }
        m_Nt = At<IMAGE_NT_HEADERS>(static_cast<ULONGLONG>(dos->e_lfanew));
        if (m_Nt == nullptr || m_Nt->Signature != IMAGE_NT_SIGNATURE ||
            m_Nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC) {
            return false;
        }
        m_Size = m_Nt->OptionalHeader.SizeOfImage;
        return true;
    }

    const IMAGE_DATA_DIRECTORY* Directory(unsigned index) const {
        return index < m_Nt->OptionalHeader.NumberOfRvaAndSizes
                   ? &m_Nt->OptionalHeader.DataDirectory[index]
                   : nullptr;
    }

    template <typename T>
    T* At(ULONGLONG rva) const {
        return rva < m_Size && m_Size - rva >= sizeof(T) ? reinterpret_cast<T*>(m_Base + rva)
                                                         : nullptr;
    }

    const char* Text(ULONGLONG rva) const {
        if (rva >= m_Size) {
            return nullptr;
        }
        const auto* text = reinterpret_cast<const char*>(m_Base + rva);
        return memchr(text, '\0', m_Size - rva) != nullptr ? text : nullptr;
    }

private:
    BYTE* m_Base = nullptr;
    size_t m_Size = 0;
    const IMAGE_NT_HEADERS* m_Nt = nullptr;
};

struct Patch {
    ULONG_PTR* Slot;
    void* Replacement;
    DWORD OldProtection;
};

// The slots of one imported DLL that bind one of `bindings`; false when its tables are
// damaged.
bool FindSlots(const LoadedImage& image, const IMAGE_IMPORT_DESCRIPTOR& import,
               const Rebinding* bindings, size_t count, std::vector<Patch>* patches) {
    if (import.FirstThunk == 0) {
        return false;
    }
    for (ULONGLONG i = 0;; ++i) {
        auto* slot = image.At<IMAGE_THUNK_DATA>(import.FirstThunk + i * sizeof(IMAGE_THUNK_DATA));
        if (slot == nullptr) {
            return false;
        }
        const Rebinding* match = nullptr;
        if (import.OriginalFirstThunk != 0) {
            const auto* entry = image.At<IMAGE_THUNK_DATA>(import.OriginalFirstThunk +
                                                           i * sizeof(IMAGE_THUNK_DATA));
            if (entry == nullptr) {
                return false;
            }
            if (entry->u1.AddressOfData == 0) {
                return true;
            }
            if (IMAGE_SNAP_BY_ORDINAL(entry->u1.Ordinal)) {
                continue;
            }
            const char* name =
                image.Text(entry->u1.AddressOfData + offsetof(IMAGE_IMPORT_BY_NAME, Name));
            if (name == nullptr) {
                return false;
            }
            for (size_t b = 0; b < count && match == nullptr; ++b) {
                match = strcmp(name, bindings[b].Name) == 0 ? &bindings[b] : nullptr;
            }
        } else {
            // Without the name table the loader has overwritten the names with the addresses
            // it bound them to; those still tell the imports apart.
            if (slot->u1.Function == 0) {
                return true;
            }
            for (size_t b = 0; b < count && match == nullptr; ++b) {
                const void* bound = reinterpret_cast<void*>(slot->u1.Function);
                match = bindings[b].Original != nullptr && bound == bindings[b].Original
                            ? &bindings[b]
                            : nullptr;
            }
        }
        if (match != nullptr) {
            patches->push_back(
                {reinterpret_cast<ULONG_PTR*>(&slot->u1.Function), match->Replacement, 0});
        }
    }
}

DWORD WritableLike(DWORD protection) {
    switch (protection & 0xFF) {
        case PAGE_EXECUTE:
        case PAGE_EXECUTE_READ:
        case PAGE_EXECUTE_READWRITE:
        case PAGE_EXECUTE_WRITECOPY:
            return PAGE_EXECUTE_READWRITE;
        default:
            return PAGE_READWRITE;
    }
}

// Points the module's kernel32 imports named in `bindings` at their replacements. Nothing
// changes unless the image reads as a valid one and every slot could be made writable.
bool Rebind(HMODULE module, const Rebinding* bindings, size_t count) {
    LoadedImage image;
    if (!image.Open(module)) {
        return false;
    }
    std::vector<Patch> patches;
    const IMAGE_DATA_DIRECTORY* directory = image.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
    if (directory != nullptr && directory->VirtualAddress != 0) {
        for (ULONGLONG at = directory->VirtualAddress;; at += sizeof(IMAGE_IMPORT_DESCRIPTOR)) {
            const auto* import = image.At<IMAGE_IMPORT_DESCRIPTOR>(at);
            if (import == nullptr) {
                return false;
            }
            if (import->Name == 0 && import->FirstThunk == 0) {
                break;
            }
            const char* dll = image.Text(import->Name);
            if (dll == nullptr) {
                return false;
            }
            if (_stricmp(dll, "kernel32.dll") == 0 &&
                !FindSlots(image, *import, bindings, count, &patches)) {
                return false;
            }
        }
    }

    // Two slots may share a page: protections are restored in reverse, so the page ends
    // as it was found.
    size_t unlocked = 0;
    for (; unlocked < patches.size(); ++unlocked) {
        Patch& p = patches[unlocked];
        MEMORY_BASIC_INFORMATION page = {};
        if (VirtualQuery(p.Slot, &page, sizeof(page)) != sizeof(page) ||
            !VirtualProtect(p.Slot, sizeof(*p.Slot), WritableLike(page.Protect),
                            &p.OldProtection)) {
            break;
        }
    }
    const bool writable = unlocked == patches.size();
    if (writable) {
        for (Patch& p : patches) {
            InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(p.Slot), p.Replacement);
        }
    }
    while (unlocked > 0) {
        Patch& p = patches[--unlocked];
        DWORD ignored = 0;
        VirtualProtect(p.Slot, sizeof(*p.Slot), p.OldProtection, &ignored);
    }
    return writable;
}

}  // namespace

SystemClock::SystemClock() : m_Scale(ScaleFromEnvironment()) {
    LARGE_INTEGER frequency = {};
    QueryPerformanceFrequency(&frequency);
    m_NsPerCount = 1e9L / static_cast<long double>(frequency.QuadPart);
    m_AnchorCounter = Counter();
    // Platform time starts where the tick count does, near the time since the system started.
    m_AnchorNs = static_cast<long double>(m_AnchorCounter) * m_NsPerCount;
    // Sleep takes whole milliseconds; NtDelayExecution takes 100 ns units and, under Wine,
    // sleeps that long rather than to the next tick of a timer.
    m_Delay = reinterpret_cast<DelayExecution>(reinterpret_cast<void (*)()>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDelayExecution")));
}

LONGLONG SystemClock::Counter() {
    LARGE_INTEGER count = {};
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

long double SystemClock::NowLocked(LONGLONG counter) const {
    return m_AnchorNs +
           static_cast<long double>(counter - m_AnchorCounter) * m_NsPerCount * m_Scale;
}

bool SystemClock::SetScale(double scale) {
    if (!std::isfinite(scale) || scale <= 0) {
        return false;
    }
    AcquireSRWLockExclusive(&m_Lock);
    const LONGLONG now = Counter();
    m_AnchorNs = NowLocked(now);
    m_AnchorCounter = now;
    m_Scale = scale;
    ReleaseSRWLockExclusive(&m_Lock);
    WakeAllConditionVariable(&m_ScaleChanged);
    return true;
}

double SystemClock::Scale() {
    AcquireSRWLockShared(&m_Lock);
    const double scale = m_Scale;
    ReleaseSRWLockShared(&m_Lock);
    return scale;
}

std::chrono::nanoseconds SystemClock::ScaledWait(double ms) {
    if (!(ms > 0)) {
        return std::chrono::nanoseconds(0);
    }
    return std::chrono::nanoseconds(static_cast<int64_t>(std::ceil(ms * 1e6 / Scale())));
}

uint64_t SystemClock::NowNs() {
    AcquireSRWLockShared(&m_Lock);
    const long double now = NowLocked(Counter());
    ReleaseSRWLockShared(&m_Lock);
    return static_cast<uint64_t>(now);
}

void SystemClock::Delay(long double realNs) const {
    if (m_Delay != nullptr) {
        LARGE_INTEGER interval = {};
        interval.QuadPart = -static_cast<LONGLONG>(ceill(realNs / 100));  // relative
        m_Delay(FALSE, &interval);
        return;
    }
    ::Sleep(static_cast<DWORD>(ceill(realNs / 1e6L)));
}

void SystemClock::Sleep(ULONGLONG ms) {
    if (ms == 0) {
        ::Sleep(0);
        return;
    }
    AcquireSRWLockShared(&m_Lock);
    const long double target = NowLocked(Counter()) + static_cast<long double>(ms) * 1e6L;
    for (;;) {
        const long double realNs = (target - NowLocked(Counter())) / m_Scale;
        if (realNs <= 0) {
            break;
        }
        if (realNs > kPreciseNs) {
            // The condition variable's time-out has the system timer's granularity; it is
            // aimed short of the target so that the rest is one precise delay.
            const long double waitMs = std::min<long double>(
                ceill((realNs - kPreciseNs) / 1e6L), static_cast<long double>(INFINITE - 1));
            SleepConditionVariableSRW(&m_ScaleChanged, &m_Lock, static_cast<DWORD>(waitMs),
                                      CONDITION_VARIABLE_LOCKMODE_SHARED);
            continue;
        }
        ReleaseSRWLockShared(&m_Lock);
        Delay(realNs);
        AcquireSRWLockShared(&m_Lock);
    }
    ReleaseSRWLockShared(&m_Lock);
}

DWORD SystemClock::WaitForObject(HANDLE object, DWORD ms) {
    if (ms == 0 || ms == INFINITE) {
        return WaitForSingleObject(object, ms);
    }
    // Whole real milliseconds, rounded up: a time-out may end late, never early. A wait
    // in progress keeps the scale it started with.
    long double realMs = ceill(static_cast<long double>(ms) / Scale());
    for (;;) {
        const auto chunk = static_cast<DWORD>(
            std::min<long double>(realMs, static_cast<long double>(INFINITE - 1)));
        const DWORD result = WaitForSingleObject(object, chunk);
        realMs -= chunk;
        if (result != WAIT_TIMEOUT || realMs <= 0) {
            return result;
        }
    }
}

bool SystemClock::ScaleModule(HMODULE module) {
    static SRWLOCK rebinding = SRWLOCK_INIT;  // two bindings never race on a page's protection
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    const auto original = [kernel32](const char* name) {
        return kernel32 != nullptr ? reinterpret_cast<void*>(GetProcAddress(kernel32, name))
                                   : nullptr;
    };
    const Rebinding bindings[] = {
        {"Sleep", reinterpret_cast<void*>(&ScaledSleep), original("Sleep")},
        {"WaitForSingleObject", reinterpret_cast<void*>(&ScaledWaitForSingleObject),
         original("WaitForSingleObject")},
        {"GetTickCount64", reinterpret_cast<void*>(&ScaledGetTickCount64),
         original("GetTickCount64")},
    };
    AcquireSRWLockExclusive(&rebinding);
    const bool bound = Rebind(module, bindings, sizeof(bindings) / sizeof(bindings[0]));
    ReleaseSRWLockExclusive(&rebinding);
    return bound;
}

}  // namespace sim
