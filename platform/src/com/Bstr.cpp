// BSTR: a 4-byte byte count, the characters, then one NUL character. The pointer handed out
// is the first character, so a BSTR reads as an ordinary NUL-terminated wide string.
#include "com/ComInternal.h"
#include "winplat/faults.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr size_t kPrefix = sizeof(DWORD);
static_assert(alignof(OLECHAR) <= kPrefix, "the characters must follow the prefix aligned");

// The largest byte count whose block size still fits the 32-bit count Windows allows.
constexpr size_t kMaxBytes = 0xFFFFFFFFu - kPrefix - 2 * sizeof(OLECHAR);

BSTR Allocate(const void* source, size_t bytes) noexcept {
    if (bytes > kMaxBytes) {
        return nullptr;
    }
    // Round up to whole characters so that an odd byte length still ends in a full NUL.
    const size_t tail = (sizeof(OLECHAR) - bytes % sizeof(OLECHAR)) % sizeof(OLECHAR);
    const size_t total = kPrefix + bytes + tail + sizeof(OLECHAR);
    auto* block = static_cast<BYTE*>(std::malloc(total));
    if (!block) {
        return nullptr;
    }
    const DWORD count = static_cast<DWORD>(bytes);
    std::memcpy(block, &count, kPrefix);
    BYTE* data = block + kPrefix;
    if (source && bytes) {
        std::memmove(data, source, bytes);
    } else {
        std::memset(data, 0, bytes);
    }
    std::memset(data + bytes, 0, tail + sizeof(OLECHAR));
    return reinterpret_cast<BSTR>(data);
}

DWORD ByteCount(BSTR bstr) noexcept {
    DWORD count;
    std::memcpy(&count, reinterpret_cast<const BYTE*>(bstr) - kPrefix, kPrefix);
    return count;
}

size_t CharBytes(UINT chars) noexcept {
    // Saturates instead of wrapping, so a huge length is refused rather than truncated.
    return chars > kMaxBytes / sizeof(OLECHAR) ? kMaxBytes + 1 : size_t{chars} * sizeof(OLECHAR);
}

}  // namespace

namespace winplat::com {

bool CopyBstr(BSTR source, BSTR* copy) noexcept {
    if (!source) {
        *copy = nullptr;
        return true;
    }
    *copy = Allocate(source, ByteCount(source));
    return *copy != nullptr;
}

}  // namespace winplat::com

BSTR SysAllocString(const OLECHAR* psz) {
    if (!psz || WinplatShouldFail("SysAllocString")) {
        return nullptr;
    }
    return Allocate(psz, std::wcslen(psz) * sizeof(OLECHAR));
}

BSTR SysAllocStringLen(const OLECHAR* strIn, UINT ui) {
    if (WinplatShouldFail("SysAllocStringLen")) {
        return nullptr;
    }
    return Allocate(strIn, CharBytes(ui));
}

BSTR SysAllocStringByteLen(LPCSTR psz, UINT len) {
    if (WinplatShouldFail("SysAllocStringByteLen")) {
        return nullptr;
    }
    return Allocate(psz, len);
}

INT SysReAllocString(BSTR* pbstr, const OLECHAR* psz) {
    if (!pbstr) {
        return FALSE;
    }
    if (WinplatShouldFail("SysReAllocString")) {
        return FALSE;
    }
    // Allocate before freeing: psz may point into the old string.
    BSTR fresh = psz ? Allocate(psz, std::wcslen(psz) * sizeof(OLECHAR)) : nullptr;
    if (psz && !fresh) {
        return FALSE;
    }
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

INT SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len) {
    if (!pbstr) {
        return FALSE;
    }
    if (WinplatShouldFail("SysReAllocStringLen")) {
        return FALSE;
    }
    BSTR fresh = Allocate(psz, CharBytes(len));
    if (!fresh) {
        return FALSE;
    }
    SysFreeString(*pbstr);
    *pbstr = fresh;
    return TRUE;
}

void SysFreeString(BSTR bstrString) {
    if (bstrString) {
        std::free(reinterpret_cast<BYTE*>(bstrString) - kPrefix);
    }
}

UINT SysStringLen(BSTR pbstr) {
    return pbstr ? ByteCount(pbstr) / sizeof(OLECHAR) : 0;
}

UINT SysStringByteLen(BSTR bstr) {
    return bstr ? ByteCount(bstr) : 0;
}
