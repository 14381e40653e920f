#include "RefCountChecker.h"

namespace brelk::test {

ULONG RefCountOf(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

::testing::AssertionResult HasRefCount(IUnknown* object, ULONG expected) {
    if (!object) {
        return ::testing::AssertionFailure() << "object is null";
    }
    const ULONG actual = RefCountOf(object);
    if (actual == expected) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure()
           << "reference count is " << actual << ", expected " << expected;
}

RefCountChecker::RefCountChecker(IUnknown* object)
    : m_Object(object), m_Initial(RefCountOf(object)) {}

RefCountChecker::~RefCountChecker() {
    const ULONG now = RefCountOf(m_Object);
    const long expected = static_cast<long>(m_Initial) + m_Delta;
    if (static_cast<long>(now) != expected) {
        ADD_FAILURE() << "reference count went from " << m_Initial << " to " << now << ", expected "
                      << expected;
    }
}

HRESULT TestUnknown::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (riid != IID_IUnknown) {
        return E_NOINTERFACE;
    }
    *ppv = static_cast<IUnknown*>(this);
    AddRef();
    return S_OK;
}

ULONG TestUnknown::Release() {
    const ULONG refs = --m_Refs;
    if (refs == 0) {
        delete this;
    }
    return refs;
}

TestUnknown::~TestUnknown() {
    if (m_Destroyed) {
        ++*m_Destroyed;
    }
}

}  // namespace brelk::test
