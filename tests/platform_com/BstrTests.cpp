#include <windows.h>
#include <oleauto.h>

#include "HResultPrinter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>

namespace brelk::test {
namespace {

DWORD PrefixOf(BSTR b) {
    DWORD prefix;
    std::memcpy(&prefix, reinterpret_cast<const BYTE*>(b) - sizeof(DWORD), sizeof(prefix));
    return prefix;
}

}  // namespace

TEST(Bstr, LengthPrefixCountsBytesAndKeepsEmbeddedNuls) {
    const OLECHAR text[] = {L'a', L'\0', L'b', L'c'};
    BSTR b = SysAllocStringLen(text, 4);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(PrefixOf(b), 4 * sizeof(OLECHAR));  // bytes, without the terminator
    EXPECT_EQ(SysStringLen(b), 4u);
    EXPECT_EQ(SysStringByteLen(b), 4 * sizeof(OLECHAR));
    EXPECT_EQ(std::wcslen(b), 1u);  // the embedded NUL ends a C string, not the BSTR
    EXPECT_EQ(std::wmemcmp(b, text, 4), 0);
    EXPECT_EQ(b[4], L'\0');
    SysFreeString(b);
}

TEST(Bstr, AllocationCases) {
    struct Case {
        const char* name;
        BSTR (*make)();
        bool null;
        UINT chars;
        UINT bytes;
    };
    const Case kCases[] = {
        {"SysAllocString(NULL)", [] { return SysAllocString(nullptr); }, true, 0, 0},
        {"SysAllocString(\"\")", [] { return SysAllocString(L""); }, false, 0, 0},
        {"SysAllocString", [] { return SysAllocString(L"modem"); }, false, 5, 5 * sizeof(OLECHAR)},
        {"SysAllocStringLen(NULL, 3) is zeroed", [] { return SysAllocStringLen(nullptr, 3); },
         false, 3, 3 * sizeof(OLECHAR)},
        {"SysAllocStringLen prefix of a longer text",
         [] { return SysAllocStringLen(L"abcdef", 2); }, false, 2, 2 * sizeof(OLECHAR)},
        {"SysAllocStringByteLen odd length", [] { return SysAllocStringByteLen("xyz", 3); }, false,
         3 / sizeof(OLECHAR), 3},
        {"length beyond 32 bits", [] { return SysAllocStringLen(nullptr, 0x40000000); }, true, 0,
         0},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        BSTR b = c.make();
        EXPECT_EQ(b == nullptr, c.null);
        EXPECT_EQ(SysStringLen(b), c.chars);
        EXPECT_EQ(SysStringByteLen(b), c.bytes);
        if (b) {
            // Terminated however long: a full NUL character after the last byte.
            OLECHAR end;
            std::memcpy(&end,
                        reinterpret_cast<const BYTE*>(b) +
                            (c.bytes + sizeof(OLECHAR) - 1) / sizeof(OLECHAR) * sizeof(OLECHAR),
                        sizeof(end));
            EXPECT_EQ(end, L'\0');
        }
        SysFreeString(b);
    }
    SysFreeString(nullptr);  // allowed
}

TEST(Bstr, ZeroedWhenAllocatedWithoutSource) {
    BSTR b = SysAllocStringLen(nullptr, 3);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b[0], L'\0');
    EXPECT_EQ(b[2], L'\0');
    SysFreeString(b);
}

TEST(Bstr, ReAllocReplacesEvenFromItsOwnText) {
    BSTR b = SysAllocString(L"firmware");
    ASSERT_TRUE(SysReAllocString(&b, b + 4));  // source inside the old string
    EXPECT_STREQ(b, L"ware");
    EXPECT_EQ(SysStringLen(b), 4u);
    ASSERT_TRUE(SysReAllocStringLen(&b, L"abc", 2));
    EXPECT_EQ(SysStringLen(b), 2u);
    EXPECT_STREQ(b, L"ab");
    EXPECT_FALSE(SysReAllocString(nullptr, L"x"));
    SysFreeString(b);
}

}  // namespace brelk::test
