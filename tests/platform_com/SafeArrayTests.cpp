#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "HResultPrinter.h"
#include "RefCountChecker.h"
#include "WineReference.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cwchar>

namespace brelk::test {
namespace {

struct Record {
    LONG id;
    BSTR name;  // owned
};

// Describes Record: copies deep-copy the name, clears free it. Counts calls so tests can
// see that the array went through the description.
class RecordInfo final : public IRecordInfo {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) {
            return E_POINTER;
        }
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IRecordInfo) {
            return E_NOINTERFACE;
        }
        *ppv = static_cast<IRecordInfo*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG refs = --m_Refs;
        if (refs == 0) {
            delete this;
        }
        return refs;
    }

    STDMETHODIMP RecordInit(PVOID pvNew) override {
        *static_cast<Record*>(pvNew) = {};
        return S_OK;
    }
    STDMETHODIMP RecordClear(PVOID pvExisting) override {
        ++clears;
        auto* r = static_cast<Record*>(pvExisting);
        SysFreeString(r->name);
        *r = {};
        return S_OK;
    }
    STDMETHODIMP RecordCopy(PVOID pvExisting, PVOID pvNew) override {
        ++copies;
        const auto* from = static_cast<const Record*>(pvExisting);
        auto* to = static_cast<Record*>(pvNew);
        to->id = from->id;
        to->name = SysAllocStringLen(from->name, SysStringLen(from->name));
        return S_OK;
    }
    STDMETHODIMP GetGuid(GUID*) override { return E_NOTIMPL; }
    STDMETHODIMP GetName(BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP GetSize(ULONG* pcbSize) override {
        *pcbSize = sizeof(Record);
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetField(PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFieldNoCopy(PVOID, LPCOLESTR, VARIANT*, PVOID*) override { return E_NOTIMPL; }
    STDMETHODIMP PutField(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP PutFieldNoCopy(ULONG, PVOID, LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetFieldNames(ULONG*, BSTR*) override { return E_NOTIMPL; }
    STDMETHODIMP_(BOOL) IsMatchingType(IRecordInfo* other) override { return other == this; }
    STDMETHODIMP_(PVOID) RecordCreate() override {
        auto* r = static_cast<Record*>(CoTaskMemAlloc(sizeof(Record)));
        if (r) {
            RecordInit(r);
        }
        return r;
    }
    STDMETHODIMP RecordCreateCopy(PVOID pvSource, PVOID* ppvDest) override {
        *ppvDest = RecordCreate();
        return *ppvDest ? RecordCopy(pvSource, *ppvDest) : E_OUTOFMEMORY;
    }
    STDMETHODIMP RecordDestroy(PVOID pvRecord) override {
        RecordClear(pvRecord);
        CoTaskMemFree(pvRecord);
        return S_OK;
    }

    std::atomic<int> copies{0};
    std::atomic<int> clears{0};

private:
    virtual ~RecordInfo() = default;
    std::atomic<ULONG> m_Refs{1};
};

// Owns an array for the length of a test.
struct ArrayGuard {
    SAFEARRAY* psa;
    ~ArrayGuard() { SafeArrayDestroy(psa); }
};

}  // namespace

TEST(SafeArrayCreate, RefusesWhatWindowsRefuses) {
    SAFEARRAYBOUND bound = {4, 0};
    struct Case {
        const char* name;
        VARTYPE vt;
        UINT dims;
        SAFEARRAYBOUND* bounds;
    };
    const Case kCases[] = {
        {"VT_RECORD needs the Ex form", VT_RECORD, 1, &bound},
        {"VT_EMPTY", VT_EMPTY, 1, &bound},
        {"VT_NULL", VT_NULL, 1, &bound},
        {"VT_LPWSTR", VT_LPWSTR, 1, &bound},
        {"-1", static_cast<VARTYPE>(-1), 1, &bound},
        {"no dimensions", VT_UI1, 0, &bound},
        {"no bounds", VT_UI1, 1, nullptr},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(SafeArrayCreate(c.vt, c.dims, c.bounds), nullptr);
    }
    EXPECT_EQ(SafeArrayCreateVector(VT_RECORD, 0, 1), nullptr);
    EXPECT_EQ(SafeArrayCreateVectorEx(VT_RECORD, 0, 1, nullptr), nullptr);
}

TEST(SafeArrayCreate, ElementSizeFlagsAndType) {
    struct Case {
        VARTYPE vt;
        ULONG size;
        USHORT features;
    };
    constexpr Case kCases[] = {
        {VT_UI1, 1, FADF_HAVEVARTYPE},
        {VT_I4, 4, FADF_HAVEVARTYPE},
        {VT_UI4, 4, FADF_HAVEVARTYPE},
        {VT_BSTR, sizeof(BSTR), FADF_HAVEVARTYPE | FADF_BSTR},
        {VT_UNKNOWN, sizeof(IUnknown*), FADF_HAVEIID | FADF_UNKNOWN},
        {VT_VARIANT, sizeof(VARIANT), FADF_HAVEVARTYPE | FADF_VARIANT},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.vt);
        ArrayGuard a{SafeArrayCreateVector(c.vt, 0, 3)};
        ASSERT_NE(a.psa, nullptr);
        EXPECT_EQ(SafeArrayGetDim(a.psa), 1u);
        EXPECT_EQ(SafeArrayGetElemsize(a.psa), c.size);
        // FADF_RESERVED bits are Windows' own (SafeArrayCreateVector sets one of them).
        EXPECT_EQ(a.psa->fFeatures & ~FADF_RESERVED, c.features);
        EXPECT_EQ(a.psa->cLocks, 0u);
        VARTYPE vt = 0xFFFF;
        EXPECT_HR(S_OK, SafeArrayGetVartype(a.psa, &vt));
        EXPECT_EQ(vt, c.vt);
    }
    EXPECT_EQ(SafeArrayGetDim(nullptr), 0u);
    EXPECT_EQ(SafeArrayGetElemsize(nullptr), 0u);
}

TEST(SafeArrayBounds, EmptyArrayHasUBoundBelowLBound) {
    ArrayGuard a{SafeArrayCreateVector(VT_UI1, 42, 0)};
    ASSERT_NE(a.psa, nullptr);
    LONG lb = -7, ub = -7;
    EXPECT_HR(S_OK, SafeArrayGetLBound(a.psa, 1, &lb));
    EXPECT_HR(S_OK, SafeArrayGetUBound(a.psa, 1, &ub));
    EXPECT_EQ(lb, 42);
    EXPECT_EQ(ub, 41);

    void* data = nullptr;
    EXPECT_HR(S_OK, SafeArrayAccessData(a.psa, &data));
    EXPECT_HR(S_OK, SafeArrayUnaccessData(a.psa));

    BYTE b = 0xAB;
    for (LONG i : {41L, 42L, 0L}) {
        SCOPED_TRACE(i);
        EXPECT_HR(DISP_E_BADINDEX, SafeArrayGetElement(a.psa, &i, &b));
    }
    EXPECT_EQ(b, 0xAB);
}

TEST(SafeArrayBounds, DimensionsAreOneBasedLeftMostFirst) {
    // Dimension 1 (left-most): 2 elements from 1; dimension 2: 3 elements from -1.
    SAFEARRAYBOUND bounds[] = {{2, 1}, {3, -1}};
    ArrayGuard a{SafeArrayCreate(VT_I4, 2, bounds)};
    ASSERT_NE(a.psa, nullptr);
    // The descriptor stores them right-most first.
    EXPECT_EQ(a.psa->rgsabound[0].cElements, 3u);
    EXPECT_EQ(a.psa->rgsabound[1].cElements, 2u);

    struct Case {
        UINT dim;
        HRESULT hr;
        LONG lb, ub;
    };
    constexpr Case kCases[] = {
        {1, S_OK, 1, 2},
        {2, S_OK, -1, 1},
        {0, DISP_E_BADINDEX, 99, 99},
        {3, DISP_E_BADINDEX, 99, 99},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.dim);
        LONG lb = 99, ub = 99;
        EXPECT_HR(c.hr, SafeArrayGetLBound(a.psa, c.dim, &lb));
        EXPECT_HR(c.hr, SafeArrayGetUBound(a.psa, c.dim, &ub));
        EXPECT_EQ(lb, c.lb);
        EXPECT_EQ(ub, c.ub);
    }
    LONG out = 0;
    EXPECT_HR(E_INVALIDARG, SafeArrayGetLBound(nullptr, 1, &out));
    EXPECT_HR(E_INVALIDARG, SafeArrayGetUBound(a.psa, 1, nullptr));
}

TEST(SafeArrayElements, FirstIndexIsDimensionOneAndVariesFastest) {
    SAFEARRAYBOUND bounds[] = {{2, 1}, {3, -1}};
    ArrayGuard a{SafeArrayCreate(VT_I4, 2, bounds)};
    ASSERT_NE(a.psa, nullptr);
    for (LONG left = 1; left <= 2; ++left) {
        for (LONG right = -1; right <= 1; ++right) {
            LONG indices[] = {left, right};  // rgIndices[0] is dimension 1
            LONG value = left * 10 + right;
            ASSERT_HR(S_OK, SafeArrayPutElement(a.psa, indices, &value));
        }
    }
    LONG* data = nullptr;
    ASSERT_HR(S_OK, SafeArrayAccessData(a.psa, reinterpret_cast<void**>(&data)));
    const LONG expected[] = {9, 19, 10, 20, 11, 21};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(data[i], expected[i]) << i;
    }
    EXPECT_HR(S_OK, SafeArrayUnaccessData(a.psa));
}

TEST(SafeArrayElements, AccessErrorsLeaveOutputAlone) {
    ArrayGuard a{SafeArrayCreateVector(VT_UI4, 5, 3)};
    ASSERT_NE(a.psa, nullptr);
    ULONG value = 0xFEEDFACE;
    struct Case {
        const char* name;
        LONG index;
        HRESULT hr;
    };
    constexpr Case kCases[] = {
        {"below LBound", 4, DISP_E_BADINDEX},
        {"LBound", 5, S_OK},
        {"UBound", 7, S_OK},
        {"above UBound", 8, DISP_E_BADINDEX},
        {"far negative", LONG(0x80000000), DISP_E_BADINDEX},
    };
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        LONG index = c.index;
        ULONG out = 0x5A5A5A5A;
        EXPECT_HR(c.hr, SafeArrayPutElement(a.psa, &index, &value));
        EXPECT_HR(c.hr, SafeArrayGetElement(a.psa, &index, &out));
        EXPECT_EQ(out, c.hr == S_OK ? value : 0x5A5A5A5Au);
    }
    LONG index = 5;
    EXPECT_HR(E_INVALIDARG, SafeArrayGetElement(nullptr, &index, &value));
    EXPECT_HR(E_INVALIDARG, SafeArrayGetElement(a.psa, nullptr, &value));
    EXPECT_HR(E_INVALIDARG, SafeArrayGetElement(a.psa, &index, nullptr));
    // Windows documents no answer for a null source (Wine reads through it); ours refuses.
    if (brelk::test::kOnOurLayer) {
        EXPECT_HR(E_INVALIDARG, SafeArrayPutElement(a.psa, &index, nullptr));
    }
    EXPECT_EQ(a.psa->cLocks, 0u);  // element access locks only while it works
}

TEST(SafeArrayLocks, LockedArrayCannotBeDestroyed) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UI1, 0, 4);
    ASSERT_NE(psa, nullptr);
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_HR(S_OK, SafeArrayAccessData(psa, &first));
    ASSERT_HR(S_OK, SafeArrayAccessData(psa, &second));
    EXPECT_EQ(first, second);
    EXPECT_EQ(psa->cLocks, 2u);

    EXPECT_HR(DISP_E_ARRAYISLOCKED, SafeArrayDestroy(psa));
    EXPECT_HR(DISP_E_ARRAYISLOCKED, SafeArrayDestroyData(psa));
    EXPECT_EQ(psa->pvData, first);  // untouched by the refused calls

    EXPECT_HR(S_OK, SafeArrayUnaccessData(psa));
    EXPECT_HR(DISP_E_ARRAYISLOCKED, SafeArrayDestroy(psa));
    EXPECT_HR(S_OK, SafeArrayUnaccessData(psa));
    EXPECT_HR(E_UNEXPECTED, SafeArrayUnaccessData(psa));  // not locked any more
    EXPECT_EQ(psa->cLocks, 0u);

    void* data = reinterpret_cast<void*>(1);
    EXPECT_HR(E_INVALIDARG, SafeArrayAccessData(nullptr, &data));
    EXPECT_HR(E_INVALIDARG, SafeArrayAccessData(psa, nullptr));
    EXPECT_HR(E_INVALIDARG, SafeArrayUnaccessData(nullptr));

    EXPECT_HR(S_OK, SafeArrayDestroy(psa));
    EXPECT_HR(S_OK, SafeArrayDestroy(nullptr));
}

TEST(SafeArrayLocks, DestroyDataKeepsTheDescriptor) {
    SAFEARRAY* psa = SafeArrayCreateVector(VT_BSTR, 0, 2);
    ASSERT_NE(psa, nullptr);
    LONG i = 1;
    BSTR s = SysAllocString(L"chunk");
    ASSERT_HR(S_OK, SafeArrayPutElement(psa, &i, s));
    SysFreeString(s);
    EXPECT_HR(S_OK, SafeArrayDestroyData(psa));  // frees the string too (ASan would tell)
    // Windows may keep a vector's data block, which it allocates with the descriptor.
    if (brelk::test::kOnOurLayer) {
        EXPECT_EQ(psa->pvData, nullptr);
    }
    EXPECT_EQ(SafeArrayGetDim(psa), 1u);
    EXPECT_HR(S_OK, SafeArrayAllocData(psa));
    BSTR out = reinterpret_cast<BSTR>(0x1);
    EXPECT_HR(S_OK, SafeArrayGetElement(psa, &i, &out));
    EXPECT_EQ(out, nullptr);  // fresh data is zeroed
    EXPECT_HR(S_OK, SafeArrayDestroy(psa));
}

TEST(SafeArrayElements, BstrElementsAreCopiedBothWays) {
    ArrayGuard a{SafeArrayCreateVector(VT_BSTR, 0, 2)};
    ASSERT_NE(a.psa, nullptr);
    const OLECHAR text[] = {L'E', L'\0', L'X'};
    BSTR source = SysAllocStringLen(text, 3);
    LONG i = 0;
    ASSERT_HR(S_OK, SafeArrayPutElement(a.psa, &i, source));
    SysFreeString(source);  // the array kept its own copy

    BSTR first = nullptr;
    BSTR second = nullptr;
    ASSERT_HR(S_OK, SafeArrayGetElement(a.psa, &i, &first));
    ASSERT_HR(S_OK, SafeArrayGetElement(a.psa, &i, &second));
    EXPECT_NE(first, second);
    EXPECT_EQ(SysStringLen(first), 3u);
    EXPECT_EQ(std::wmemcmp(first, text, 3), 0);
    SysFreeString(first);
    SysFreeString(second);

    // Replacing frees the old element; a NULL element reads back empty (our layer keeps
    // it NULL; Windows does not say, and Wine stores an empty string).
    ASSERT_HR(S_OK, SafeArrayPutElement(a.psa, &i, nullptr));
    BSTR empty = reinterpret_cast<BSTR>(0x1);
    ASSERT_HR(S_OK, SafeArrayGetElement(a.psa, &i, &empty));
    EXPECT_EQ(SysStringLen(empty), 0u);
    if (brelk::test::kOnOurLayer) {
        EXPECT_EQ(empty, nullptr);
    }
    SysFreeString(empty);
}

TEST(SafeArrayElements, UnknownElementsHoldReferences) {
    auto* object = new TestUnknown;
    auto* other = new TestUnknown;
    SAFEARRAY* psa = SafeArrayCreateVector(VT_UNKNOWN, 0, 2);
    ASSERT_NE(psa, nullptr);
    LONG i = 0, j = 1;
    ASSERT_HR(S_OK, SafeArrayPutElement(psa, &i, object));
    ASSERT_HR(S_OK, SafeArrayPutElement(psa, &j, object));
    EXPECT_TRUE(HasRefCount(object, 3));

    IUnknown* got = nullptr;
    ASSERT_HR(S_OK, SafeArrayGetElement(psa, &i, &got));
    EXPECT_EQ(got, object);
    EXPECT_TRUE(HasRefCount(object, 4));
    got->Release();

    ASSERT_HR(S_OK, SafeArrayPutElement(psa, &j, other));  // releases the replaced element
    EXPECT_TRUE(HasRefCount(object, 2));
    EXPECT_TRUE(HasRefCount(other, 2));

    GUID iid = {};
    EXPECT_HR(S_OK, SafeArrayGetIID(psa, &iid));
    EXPECT_EQ(iid, IID_IUnknown);

    EXPECT_HR(S_OK, SafeArrayDestroy(psa));
    EXPECT_TRUE(HasRefCount(object, 1));
    EXPECT_TRUE(HasRefCount(other, 1));
    object->Release();
    other->Release();
}

TEST(SafeArrayElements, RecordElementsGoThroughRecordInfo) {
    auto* info = new RecordInfo;
    SAFEARRAY* psa = SafeArrayCreateVectorEx(VT_RECORD, 0, 2, info);
    ASSERT_NE(psa, nullptr);
    EXPECT_EQ(SafeArrayGetElemsize(psa), sizeof(Record));
    EXPECT_EQ(psa->fFeatures & ~FADF_RESERVED, FADF_RECORD);
    EXPECT_TRUE(HasRefCount(info, 2));  // the array holds its description
    VARTYPE vt = 0;
    EXPECT_HR(S_OK, SafeArrayGetVartype(psa, &vt));
    EXPECT_EQ(vt, VT_RECORD);
    IRecordInfo* got = nullptr;
    EXPECT_HR(S_OK, SafeArrayGetRecordInfo(psa, &got));
    EXPECT_EQ(got, info);
    got->Release();

    Record in = {7, SysAllocString(L"boot")};
    LONG i = 1;
    ASSERT_HR(S_OK, SafeArrayPutElement(psa, &i, &in));
    in.name[0] = L'X';  // the element is a deep copy
    Record out = {};
    ASSERT_HR(S_OK, SafeArrayGetElement(psa, &i, &out));
    EXPECT_EQ(out.id, 7);
    EXPECT_STREQ(out.name, L"boot");
    EXPECT_NE(out.name, in.name);
    EXPECT_EQ(info->copies.load(), 2);

    // Replacing clears the old record first, so its name is not leaked.
    ASSERT_HR(S_OK, SafeArrayPutElement(psa, &i, &out));
    SysFreeString(out.name);
    SysFreeString(in.name);

    const int clearsBefore = info->clears.load();
    EXPECT_HR(S_OK, SafeArrayDestroy(psa));
    EXPECT_EQ(info->clears.load() - clearsBefore, 2);  // every element, set or not
    EXPECT_TRUE(HasRefCount(info, 1));
    info->Release();
}

TEST(SafeArrayCopy, CopiesElementsByType) {
    auto* object = new TestUnknown;
    SAFEARRAY* strings = SafeArrayCreateVector(VT_BSTR, 3, 1);
    SAFEARRAY* objects = SafeArrayCreateVector(VT_UNKNOWN, 0, 1);
    ASSERT_NE(strings, nullptr);
    ASSERT_NE(objects, nullptr);
    LONG i = 3, k = 0;
    BSTR s = SysAllocString(L"v1.2");
    ASSERT_HR(S_OK, SafeArrayPutElement(strings, &i, s));
    SysFreeString(s);
    ASSERT_HR(S_OK, SafeArrayPutElement(objects, &k, object));

    SAFEARRAY* copy = nullptr;
    ASSERT_HR(S_OK, SafeArrayCopy(strings, &copy));
    BSTR* original = nullptr;
    BSTR* copied = nullptr;
    ASSERT_HR(S_OK, SafeArrayAccessData(strings, reinterpret_cast<void**>(&original)));
    ASSERT_HR(S_OK, SafeArrayAccessData(copy, reinterpret_cast<void**>(&copied)));
    EXPECT_NE(copied[0], original[0]);
    EXPECT_STREQ(copied[0], L"v1.2");
    SafeArrayUnaccessData(copy);
    SafeArrayUnaccessData(strings);
    LONG lb = 0;
    EXPECT_HR(S_OK, SafeArrayGetLBound(copy, 1, &lb));
    EXPECT_EQ(lb, 3);
    EXPECT_HR(S_OK, SafeArrayDestroy(copy));

    ASSERT_HR(S_OK, SafeArrayCopy(objects, &copy));
    EXPECT_TRUE(HasRefCount(object, 3));
    EXPECT_HR(S_OK, SafeArrayDestroy(copy));
    EXPECT_HR(S_OK, SafeArrayDestroy(objects));
    EXPECT_HR(S_OK, SafeArrayDestroy(strings));
    EXPECT_TRUE(HasRefCount(object, 1));
    object->Release();
}

}  // namespace brelk::test
