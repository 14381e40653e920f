#pragma once
// CMyDriver: the driver callback object. The framework creates it through the module's
// class factory and calls its IDriverEntry operations: OnInitialize once, OnDeviceAdd for
// each device node, OnDeinitialize once before the module is unloaded. It has no state.

#include <windows.h>
#include <wudfddi.h>

#include <atomic>

// The driver class {D29F1A12-E977-4399-AAB2-877A2754673E}.
inline constexpr CLSID CLSID_MyDriver = {
    0xD29F1A12, 0xE977, 0x4399, {0xAA, 0xB2, 0x87, 0x7A, 0x27, 0x54, 0x67, 0x3E}};

class CMyDriver : public IDriverEntry {
public:
    // A new object with one reference for the caller; null when out of memory.
    static CMyDriver* Create() noexcept;

    // IUnknown
    STDMETHOD(QueryInterface)(REFIID riid, void** ppv) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    // IDriverEntry
    STDMETHOD(OnInitialize)(IWDFDriver* FxDriver) override;
    STDMETHOD(OnDeviceAdd)(IWDFDriver* FxDriver, IWDFDeviceInitialize* FxDeviceInit) override;
    STDMETHOD_(void, OnDeinitialize)(IWDFDriver* FxDriver) override;

    virtual ~CMyDriver();

private:
    CMyDriver();

    std::atomic<LONG> m_cRef{1};
};
