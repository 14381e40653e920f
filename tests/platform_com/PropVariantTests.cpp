#include <windows.h>
#include <propidl.h>
#include <objbase.h>
#include <oleauto.h>

#include "HResultPrinter.h"
#include "RefCountChecker.h"
#include "WineReference.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>

static_assert(sizeof(PROPVARIANT) == 24 && offsetof(PROPVARIANT, uintVal) == 8);
static_assert(VT_UINT == 23 && VT_LPSTR == 30 && VT_LPWSTR == 31 && VT_UI4 == 19);

namespace brelk::test {
namespace {

bool AllZero(const PROPVARIANT& pv) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(&pv);
    for (size_t i = 0; i < sizeof(pv); ++i) {
        if (bytes[i]) {
            return false;
        }
    }
    return true;
}

char* TaskString(const char* s) {
    auto* p = static_cast<char*>(CoTaskMemAlloc(std::strlen(s) + 1));
    std::strcpy(p, s);
    return p;
}

wchar_t* TaskWideString(const wchar_t* s) {
    auto* p = static_cast<wchar_t*>(CoTaskMemAlloc((std::wcslen(s) + 1) * sizeof(wchar_t)));
    std::wcscpy(p, s);
    return p;
}

}  // namespace

TEST(PropVariantClear, FreesByTypeAndZeroes) {
    auto* object = new TestUnknown;
    struct Case {
        const char* name;
        void (*fill)(PROPVARIANT*, IUnknown*);
    };
    const Case kCases[] = {
        {"VT_UINT", [](PROPVARIANT* pv, IUnknown*) { pv->vt = VT_UINT, pv->uintVal = 3; }},
        {"VT_LPSTR",
         [](PROPVARIANT* pv, IUnknown*) { pv->vt = VT_LPSTR, pv->pszVal = TaskString("0.0"); }},
        {"VT_LPWSTR",
         [](PROPVARIANT* pv, IUnknown*) {
             pv->vt = VT_LPWSTR, pv->pwszVal = TaskWideString(L"1.2.3");
         }},
        {"VT_BSTR",
         [](PROPVARIANT* pv, IUnknown*) { pv->vt = VT_BSTR, pv->bstrVal = SysAllocString(L"b"); }},
        {"VT_BLOB",
         [](PROPVARIANT* pv, IUnknown*) {
             pv->vt = VT_BLOB;
             pv->blob.cbSize = 4;
             pv->blob.pBlobData = static_cast<BYTE*>(CoTaskMemAlloc(4));
         }},
        {"VT_UNKNOWN",
         [](PROPVARIANT* pv, IUnknown* unk) {
             pv->vt = VT_UNKNOWN;
             unk->AddRef();
             pv->punkVal = unk;
         }},
        {"VT_ARRAY|VT_UI1",
         [](PROPVARIANT* pv, IUnknown*) {
             pv->vt = VT_ARRAY | VT_UI1;
             pv->parray = SafeArrayCreateVector(VT_UI1, 0, 16);
         }},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        PROPVARIANT pv;
        PropVariantInit(&pv);
        EXPECT_TRUE(AllZero(pv));
        c.fill(&pv, object);
        EXPECT_HR(S_OK, PropVariantClear(&pv));  // ASan reports what is not freed
        EXPECT_EQ(pv.vt, VT_EMPTY);
        EXPECT_TRUE(AllZero(pv));
    }
    EXPECT_TRUE(HasRefCount(object, 1));
    object->Release();
    EXPECT_HR(S_OK, PropVariantClear(nullptr));
}

TEST(PropVariantClear, UnknownTypeIsRefused) {
    PROPVARIANT pv;
    PropVariantInit(&pv);
    pv.vt = 0x0FFE;
    pv.ulVal = 77;
    EXPECT_HR(STG_E_INVALIDPARAMETER, PropVariantClear(&pv));
    // Windows promises nothing about the variant after a failure; our layer keeps it.
    if (brelk::test::kOnOurLayer) {
        EXPECT_EQ(pv.vt, 0x0FFE);
        EXPECT_EQ(pv.ulVal, 77u);
    }
}

TEST(PropVariantCopy, DeepCopiesOwnedValues) {
    PROPVARIANT src, dst;
    PropVariantInit(&src);
    src.vt = VT_LPWSTR;
    src.pwszVal = TaskWideString(L"FWUpdateProgressState");
    ASSERT_HR(S_OK, PropVariantCopy(&dst, &src));
    EXPECT_EQ(dst.vt, VT_LPWSTR);
    EXPECT_NE(dst.pwszVal, src.pwszVal);
    EXPECT_STREQ(dst.pwszVal, src.pwszVal);
    PropVariantClear(&dst);
    PropVariantClear(&src);

    auto* object = new TestUnknown;
    src.vt = VT_UNKNOWN;
    src.punkVal = object;  // src borrows the creation reference
    ASSERT_HR(S_OK, PropVariantCopy(&dst, &src));
    EXPECT_TRUE(HasRefCount(object, 2));
    PropVariantClear(&dst);
    EXPECT_TRUE(HasRefCount(object, 1));
    object->Release();

    PropVariantInit(&src);
    src.vt = 0x0FFE;
    PropVariantInit(&dst);
    dst.vt = VT_UI4;
    EXPECT_HR(DISP_E_BADVARTYPE, PropVariantCopy(&dst, &src));
    EXPECT_EQ(dst.vt, VT_UI4);
}

}  // namespace brelk::test
