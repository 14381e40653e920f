// MultiByteToWideChar and WideCharToMultiByte. Every ANSI code page of this host is UTF-8;
// WCHAR text is one code point per WCHAR where wchar_t is 32 bits wide, UTF-16 otherwise.
#include <windows.h>
#include <stringapiset.h>

#include <climits>
#include <cstring>
#include <cwchar>

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kInvalid = 0xFFFFFFFF;

bool IsAnsiCodePage(UINT cp) {
    return cp == CP_ACP || cp == CP_OEMCP || cp == CP_THREAD_ACP;
}

bool IsSupportedCodePage(UINT cp) {
    return IsAnsiCodePage(cp) || cp == CP_UTF8;
}

int Fail(DWORD error) {
    SetLastError(error);
    return 0;
}

bool IsContinuation(unsigned char b) {
    return (b & 0xC0) == 0x80;
}

// Decodes one UTF-8 sequence from s[0..n). Returns the bytes consumed (at least one) and the
// code point, or kInvalid for an ill-formed sequence; an ill-formed sequence consumes its
// longest valid prefix, so each one becomes a single replacement character.
size_t DecodeUtf8(const unsigned char* s, size_t n, char32_t* cp) {
    const unsigned char b0 = s[0];
    if (b0 < 0x80) {
        *cp = b0;
        return 1;
    }
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        if (b0 == 0xE0) {
            low = 0xA0;  // no overlong forms
        }
        if (b0 == 0xED) {
            high = 0x9F;  // no surrogates
        }
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        if (b0 == 0xF0) {
            low = 0x90;
        }
        if (b0 == 0xF4) {
            high = 0x8F;  // nothing above U+10FFFF
        }
    } else {
        *cp = kInvalid;
        return 1;
    }
    char32_t value = b0 & (0xFF >> (length + 1));
    for (size_t i = 1; i < length; ++i) {
        if (i >= n) {
            *cp = kInvalid;
            return i;
        }
        const unsigned char b = s[i];
        const bool ok = i == 1 ? (b >= low && b <= high) : IsContinuation(b);
        if (!ok) {
            *cp = kInvalid;
            return i;
        }
        value = value << 6 | (b & 0x3F);
    }
    *cp = value;
    return length;
}

// Decodes one code point from WCHAR text; a lone surrogate or a value beyond U+10FFFF is
// kInvalid.
size_t DecodeWide(const WCHAR* s, size_t n, char32_t* cp) {
    const char32_t u = static_cast<char32_t>(s[0]) & (sizeof(WCHAR) == 2 ? 0xFFFF : 0xFFFFFFFF);
    if (u >= 0xD800 && u <= 0xDBFF && n > 1) {
        const char32_t v = static_cast<char32_t>(s[1]) & (sizeof(WCHAR) == 2 ? 0xFFFF : 0xFFFFFFFF);
        if (v >= 0xDC00 && v <= 0xDFFF) {
            *cp = 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00);
            return 2;
        }
    }
    *cp = (u >= 0xD800 && u <= 0xDFFF) || u > 0x10FFFF ? kInvalid : u;
    return 1;
}

size_t WideUnits(char32_t cp) {
    return sizeof(WCHAR) == 2 && cp >= 0x10000 ? 2 : 1;
}

void PutWide(char32_t cp, WCHAR* out) {
    if (sizeof(WCHAR) == 2 && cp >= 0x10000) {
        out[0] = static_cast<WCHAR>(0xD800 + ((cp - 0x10000) >> 10));
        out[1] = static_cast<WCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
        out[0] = static_cast<WCHAR>(cp);
    }
}

size_t EncodeUtf8(char32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | cp >> 6);
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | cp >> 12);
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | cp >> 18);
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

}  // namespace

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar) {
    if (!IsSupportedCodePage(CodePage)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    const DWORD allowed = CodePage == CP_UTF8 ? MB_ERR_INVALID_CHARS
                                              : MB_PRECOMPOSED | MB_COMPOSITE | MB_USEGLYPHCHARS |
                                                    MB_ERR_INVALID_CHARS;
    if (dwFlags & ~allowed) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    if (!lpMultiByteStr || cbMultiByte == 0 || cbMultiByte < -1 || cchWideChar < 0 ||
        (cchWideChar > 0 && !lpWideCharStr) ||
        static_cast<const void*>(lpMultiByteStr) == static_cast<const void*>(lpWideCharStr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }

    const auto* src = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    const size_t n = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : size_t(cbMultiByte);
    const bool strict = (dwFlags & MB_ERR_INVALID_CHARS) != 0;

    size_t needed = 0;
    for (size_t i = 0; i < n;) {
        char32_t cp;
        i += DecodeUtf8(src + i, n - i, &cp);
        if (cp == kInvalid) {
            if (strict) {
                return Fail(ERROR_NO_UNICODE_TRANSLATION);
            }
            cp = kReplacement;
        }
        needed += WideUnits(cp);
    }
    if (needed > INT_MAX) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (cchWideChar == 0) {
        return static_cast<int>(needed);
    }
    if (needed > size_t(cchWideChar)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }

    WCHAR* out = lpWideCharStr;
    for (size_t i = 0; i < n;) {
        char32_t cp;
        i += DecodeUtf8(src + i, n - i, &cp);
        if (cp == kInvalid) {
            cp = kReplacement;
        }
        PutWide(cp, out);
        out += WideUnits(cp);
    }
    return static_cast<int>(needed);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                        LPBOOL lpUsedDefaultChar) {
    if (!IsSupportedCodePage(CodePage)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (CodePage == CP_UTF8) {
        // Every code point has a UTF-8 form, so Windows refuses a default character here.
        if (dwFlags & ~DWORD{WC_ERR_INVALID_CHARS}) {
            return Fail(ERROR_INVALID_FLAGS);
        }
        if (lpDefaultChar || lpUsedDefaultChar) {
            return Fail(ERROR_INVALID_PARAMETER);
        }
    } else if (dwFlags & ~DWORD{WC_COMPOSITECHECK | WC_DISCARDNS | WC_SEPCHARS | WC_DEFAULTCHAR |
                                WC_NO_BEST_FIT_CHARS}) {
        return Fail(ERROR_INVALID_FLAGS);
    }
    if (!lpWideCharStr || cchWideChar == 0 || cchWideChar < -1 || cbMultiByte < 0 ||
        (cbMultiByte > 0 && !lpMultiByteStr) ||
        static_cast<const void*>(lpWideCharStr) == static_cast<const void*>(lpMultiByteStr)) {
        return Fail(ERROR_INVALID_PARAMETER);
    }

    const size_t n = cchWideChar == -1 ? std::wcslen(lpWideCharStr) + 1 : size_t(cchWideChar);
    const bool strict = (dwFlags & WC_ERR_INVALID_CHARS) != 0;
    // Text that cannot be represented (lone surrogates, values beyond Unicode) becomes the
    // caller's default character in the ANSI code pages, U+FFFD otherwise.
    const size_t defaultLength = lpDefaultChar ? std::strlen(lpDefaultChar) : 0;
    char replacement[4];
    const size_t replacementLength = EncodeUtf8(kReplacement, replacement);

    size_t needed = 0;
    bool usedDefault = false;
    char scratch[4];
    for (size_t i = 0; i < n;) {
        char32_t cp;
        i += DecodeWide(lpWideCharStr + i, n - i, &cp);
        if (cp == kInvalid) {
            if (strict) {
                return Fail(ERROR_NO_UNICODE_TRANSLATION);
            }
            usedDefault = true;
            needed += lpDefaultChar ? defaultLength : replacementLength;
        } else {
            needed += EncodeUtf8(cp, scratch);
        }
    }
    if (needed > INT_MAX) {
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (lpUsedDefaultChar) {
        *lpUsedDefaultChar = usedDefault ? TRUE : FALSE;
    }
    if (cbMultiByte == 0) {
        return static_cast<int>(needed);
    }
    if (needed > size_t(cbMultiByte)) {
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }

    char* out = lpMultiByteStr;
    for (size_t i = 0; i < n;) {
        char32_t cp;
        i += DecodeWide(lpWideCharStr + i, n - i, &cp);
        if (cp != kInvalid) {
            out += EncodeUtf8(cp, out);
        } else if (lpDefaultChar) {
            std::memcpy(out, lpDefaultChar, defaultLength);
            out += defaultLength;
        } else {
            std::memcpy(out, replacement, replacementLength);
            out += replacementLength;
        }
    }
    return static_cast<int>(needed);
}
