#pragma once
// One base for the simulated machine's COM objects: an atomic reference count, `delete
// this` at zero through a virtual destructor, and QueryInterface answered from the
// object's table of interfaces.
//
//   class CThing final : public simcom::ComObject<CThing, IFirst, ISecond> {
//   public:
//       static const simcom::InterfaceEntry<CThing> kInterfaces[];
//   };
//   const simcom::InterfaceEntry<CThing> CThing::kInterfaces[] = {
//       simcom::Entry<CThing, IFirst>(IID_IFirst),  // IID_IUnknown answers with the first
//       simcom::Entry<CThing, ISecond>(IID_ISecond),
//       {},
//   };
//
// A table maps each IID to the conversion of the object to that interface rather than a
// byte offset: the compiler adjusts the pointer, so no address arithmetic is needed.
#include <unknwn.h>

#include <atomic>

namespace simcom {

// One interface an object hands out; a table ends with an empty entry.
template <class Object>
struct InterfaceEntry {
    const IID* Iid = nullptr;
    void* (*Get)(Object* self) = nullptr;
};

template <class Object, class Interface>
constexpr InterfaceEntry<Object> Entry(const IID& iid) {
    return {&iid, [](Object* self) -> void* { return static_cast<Interface*>(self); }};
}

// QueryInterface over a table: clears *ppv first; IID_IUnknown answers with the first
// entry's interface, so every query for IUnknown gives the same pointer.
template <class Object>
HRESULT QueryTable(Object* self, const InterfaceEntry<Object>* table, REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    for (const InterfaceEntry<Object>* e = table; e->Iid != nullptr; ++e) {
        if (IsEqualIID(riid, *e->Iid) || (e == table && IsEqualIID(riid, IID_IUnknown))) {
            *ppv = e->Get(self);
            self->AddRef();
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}

// Created with one reference, for its creator. Derived names its interfaces in a
// static kInterfaces table.
template <class Derived, class... Interfaces>
class ComObject : public Interfaces... {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return QueryTable(static_cast<Derived*>(this), Derived::kInterfaces, riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_cRef; }
    STDMETHODIMP_(ULONG) Release() override {
        const ULONG n = --m_cRef;
        if (n == 0) {
            delete this;
        }
        return n;
    }

protected:
    ComObject() = default;
    virtual ~ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

private:
    std::atomic<ULONG> m_cRef{1};
};

}  // namespace simcom
