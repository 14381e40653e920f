#include <windows.h>
#include <stringapiset.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include "WineReference.h"

#include <cstring>
#include <string>

namespace brelk::test {
namespace {

// U+00FC, U+20AC, U+1D11E (beyond the BMP) and ASCII.
const wchar_t kWide[] = L"Gr\u00FC\u00DFe \u20AC\U0001D11E!";
const char kUtf8[] =
    "Gr\xC3\xBC\xC3\x9F"
    "e \xE2\x82\xAC\xF0\x9D\x84\x9E!";

}  // namespace

TEST(WideCharToMultiByte, SizeQueriesFollowTheInputLength) {
    for (UINT cp : {UINT(CP_ACP), UINT(CP_UTF8)}) {
        SCOPED_TRACE(cp);
        SetLastError(0xdeadbeef);
        // -1 converts through the terminator and counts it; an explicit length does not.
        EXPECT_EQ(WideCharToMultiByte(cp, 0, kWide, -1, nullptr, 0, nullptr, nullptr),
                  int(sizeof(kUtf8)));
        EXPECT_EQ(WideCharToMultiByte(cp, 0, kWide, 3, nullptr, 0, nullptr, nullptr), 4);
        EXPECT_EQ(GetLastError(), 0xdeadbeefu);  // success leaves the last error alone
    }
}

TEST(WideCharToMultiByte, NonAsciiRoundTrip) {
    for (UINT cp : {UINT(CP_ACP), UINT(CP_UTF8)}) {
        SCOPED_TRACE(cp);
        char narrow[64];
        std::memset(narrow, 0x7F, sizeof(narrow));
        ASSERT_EQ(WideCharToMultiByte(cp, 0, kWide, -1, narrow, sizeof(narrow), nullptr, nullptr),
                  int(sizeof(kUtf8)));
        EXPECT_STREQ(narrow, kUtf8);
        EXPECT_EQ(narrow[sizeof(kUtf8)], 0x7F);  // nothing written past the result

        wchar_t wide[32];
        ASSERT_EQ(MultiByteToWideChar(cp, 0, narrow, -1, wide, 32), int(std::wcslen(kWide) + 1));
        EXPECT_STREQ(wide, kWide);
    }
}

TEST(WideCharToMultiByte, BstrToNarrowTheDriversWay) {
    // The length comes from the BSTR; the result has no terminator of its own.
    BSTR version = SysAllocString(L"2.31.\u00E9");
    const int n = WideCharToMultiByte(CP_ACP, 0, version, int(SysStringLen(version)), nullptr, 0,
                                      nullptr, nullptr);
    ASSERT_EQ(n, 7);
    std::string narrow(size_t(n) + 1, '\0');
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, version, int(SysStringLen(version)), narrow.data(), n,
                                  nullptr, nullptr),
              n);
    EXPECT_STREQ(narrow.c_str(), "2.31.\xC3\xA9");
    SysFreeString(version);
}

TEST(CodePageConversion, FailuresSetTheLastError) {
    struct Call {
        const char* name;
        int (*call)();
        DWORD error;
        const char* wineDeparts = nullptr;  // what Windows documents, where Wine differs
    };
    static char n4[4];
    static wchar_t w4[4];
    static BOOL usedDefault;
    const Call kCalls[] = {
        {"narrow buffer too small",
         [] {
             return WideCharToMultiByte(CP_UTF8, 0, L"\u20AC\u20AC", -1, n4, 4, nullptr, nullptr);
         },
         ERROR_INSUFFICIENT_BUFFER},
        {"wide buffer too small", [] { return MultiByteToWideChar(CP_UTF8, 0, "abcd", -1, w4, 4); },
         ERROR_INSUFFICIENT_BUFFER},
        {"null source",
         [] { return WideCharToMultiByte(CP_UTF8, 0, nullptr, -1, n4, 4, nullptr, nullptr); },
         ERROR_INVALID_PARAMETER},
        {"zero length", [] { return MultiByteToWideChar(CP_UTF8, 0, "a", 0, w4, 4); },
         ERROR_INVALID_PARAMETER},
        {"size without buffer", [] { return MultiByteToWideChar(CP_UTF8, 0, "a", -1, nullptr, 4); },
         ERROR_INVALID_PARAMETER},
        {"unknown code page", [] { return MultiByteToWideChar(12345, 0, "a", -1, w4, 4); },
         ERROR_INVALID_PARAMETER},
        {"default character with UTF-8",
         [] { return WideCharToMultiByte(CP_UTF8, 0, L"a", -1, n4, 4, "?", &usedDefault); },
         ERROR_INVALID_PARAMETER,
         "Win32 reference, WideCharToMultiByte, lpDefaultChar and lpUsedDefaultChar: for "
         "CP_UTF7 and CP_UTF8 they must be NULL, otherwise the function fails with "
         "ERROR_INVALID_PARAMETER"},
        {"flags with UTF-8",
         [] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "a", -1, w4, 4); },
         ERROR_INVALID_FLAGS,
         "Win32 reference, MultiByteToWideChar, dwFlags: for UTF-8 it must be 0 or "
         "MB_ERR_INVALID_CHARS, otherwise the function fails with ERROR_INVALID_FLAGS"},
        {"invalid UTF-8, strict",
         [] { return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xC3", -1, w4, 4); },
         ERROR_NO_UNICODE_TRANSLATION},
        {"lone surrogate, strict",
         [] {
             return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, L"\xD800", -1, n4, 4,
                                        nullptr, nullptr);
         },
         ERROR_NO_UNICODE_TRANSLATION},
    };
    for (const Call& c : kCalls) {
        SCOPED_TRACE(c.name);
        SetLastError(0xdeadbeef);
        const int result = c.call();
        const DWORD error = GetLastError();
        if (c.wineDeparts != nullptr) {
            WINE_DEPARTS(c.wineDeparts) {
                EXPECT_EQ(result, 0);
                EXPECT_EQ(error, c.error);
            }
            continue;
        }
        EXPECT_EQ(result, 0);
        EXPECT_EQ(error, c.error);
    }
}

TEST(CodePageConversion, InvalidInputIsReplaced) {
    wchar_t wide[8];
    // A truncated sequence and a stray continuation byte: one U+FFFD each.
    ASSERT_EQ(MultiByteToWideChar(CP_UTF8, 0,
                                  "a\xE2\x82"
                                  "b\x80",
                                  -1, wide, 8),
              5);
    EXPECT_STREQ(wide, L"a\uFFFDb\uFFFD");
    // Overlong forms and encoded surrogates are not characters either: all becomes
    // U+FFFD. How many of them Windows does not say; our layer writes one per byte, as no
    // byte of these starts a valid sequence.
    const int n = MultiByteToWideChar(CP_UTF8, 0, "\xC0\xAF\xED\xA0\x80", 5, wide, 8);
    ASSERT_GE(n, 1);
    ASSERT_LE(n, 5);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(wide[i], L'\uFFFD') << i;
    }
    if (brelk::test::kOnOurLayer) {
        EXPECT_EQ(n, 5);
    }

    char narrow[8];
    BOOL used = FALSE;
    // Our ANSI code page is UTF-8 with the argument rules of an ANSI one, so it takes a
    // default character; Windows with UTF-8 as its ANSI code page applies UTF-8's rules.
    if (brelk::test::kOnOurLayer) {
        ASSERT_EQ(WideCharToMultiByte(CP_ACP, 0, L"a\xDC00", -1, narrow, 8, "?", &used), 3);
        EXPECT_STREQ(narrow, "a?");
        EXPECT_TRUE(used);
    }
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a\xDC00", -1, narrow, 8, nullptr, nullptr), 5);
    EXPECT_STREQ(narrow, "a\xEF\xBF\xBD");
    // A UTF-16 surrogate pair in WCHAR text is one character.
    const wchar_t pair[] = {wchar_t(0xD834), wchar_t(0xDD1E), 0};
    ASSERT_EQ(WideCharToMultiByte(CP_UTF8, 0, pair, -1, narrow, 8, nullptr, nullptr), 5);
    EXPECT_STREQ(narrow, "\xF0\x9D\x84\x9E");
}

}  // namespace brelk::test
