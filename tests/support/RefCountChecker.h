#pragma once
// Reference counts of COM objects in tests.
//
//   {
//       RefCountChecker check(sink);      // remembers the count now
//       ... code that must give back every reference it takes ...
//   }                                     // fails the test if the count differs
//
//   EXPECT_TRUE(HasRefCount(object, 2));
#include <unknwn.h>

#include <gtest/gtest.h>

#include <atomic>

namespace brelk::test {

// The object's count, read with an AddRef/Release pair (the value Release returns).
ULONG RefCountOf(IUnknown* object);

::testing::AssertionResult HasRefCount(IUnknown* object, ULONG expected);

class RefCountChecker {
public:
    explicit RefCountChecker(IUnknown* object);
    RefCountChecker(const RefCountChecker&) = delete;
    RefCountChecker& operator=(const RefCountChecker&) = delete;
    ~RefCountChecker();

    ULONG Initial() const { return m_Initial; }
    // Adjusts what the end of the scope expects, for code that keeps references on purpose.
    void ExpectDelta(int delta) { m_Delta = delta; }

private:
    IUnknown* m_Object;  // no reference: the test keeps the object alive
    ULONG m_Initial;
    int m_Delta = 0;
};

// A COM object for tests that answers IUnknown only, counts its references and says when
// it is destroyed. Created with one reference.
class TestUnknown final : public IUnknown {
public:
    explicit TestUnknown(std::atomic<int>* destroyed = nullptr) : m_Destroyed(destroyed) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_Refs; }
    STDMETHODIMP_(ULONG) Release() override;

    // The current count, without touching it.
    ULONG Refs() const { return m_Refs.load(); }

private:
    virtual ~TestUnknown();

    std::atomic<ULONG> m_Refs{1};
    std::atomic<int>* m_Destroyed;  // incremented by the destructor; may be null
};

}  // namespace brelk::test
