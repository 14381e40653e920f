// The Driver source unit: the driver callback object.

#include "Driver.h"

#include <objbase.h>

#include <new>

#include "Device.h"
#include "Internal.h"
#include "Trace.h"

BRELK_TRACE_UNIT(Driver);

CMyDriver::CMyDriver() {
    DllModuleLock();
    OutputDebugStringW(L"Test\n");
}

CMyDriver::~CMyDriver() {
    DllModuleUnlock();
}

CMyDriver* CMyDriver::Create() noexcept {
    return new (std::nothrow) CMyDriver();
}

STDMETHODIMP CMyDriver::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDriverEntry)) {
        *ppv = static_cast<IDriverEntry*>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CMyDriver::AddRef() {
    return static_cast<ULONG>(++m_cRef);
}

STDMETHODIMP_(ULONG) CMyDriver::Release() {
    const LONG count = --m_cRef;
    if (count == 0) {
        delete this;
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP CMyDriver::OnInitialize(IWDFDriver* FxDriver) {
    (void)FxDriver;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DRIVER, "OnInitialize: entry");
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (hr != S_OK && hr != S_FALSE) {
        TraceEvents(TRACE_LEVEL_ERROR, TRACE_FLAG_DRIVER, "OnInitialize: CoInitializeEx %!HRESULT!",
                    hr);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DRIVER, "OnInitialize: exit");
    return S_OK;
}

STDMETHODIMP CMyDriver::OnDeviceAdd(IWDFDriver* FxDriver, IWDFDeviceInitialize* FxDeviceInit) {
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DRIVER, "OnDeviceAdd: entry");
    CMyDevice* device = nullptr;
    HRESULT hr = CMyDevice::CreateInstance(FxDriver, FxDeviceInit, &device);
    if (SUCCEEDED(hr) && device != nullptr) {
        OutputDebugStringW(L"UMDF FwUpdte Driver configure\n");
        hr = device->Configure();
    }
    if (device != nullptr) {
        const ULONG count = device->Release();
        TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DRIVER,
                    "OnDeviceAdd: device released, %u references left", count);
    }
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DRIVER, "OnDeviceAdd: exit %!HRESULT!", hr);
    return hr;
}

STDMETHODIMP_(void) CMyDriver::OnDeinitialize(IWDFDriver* FxDriver) {
    (void)FxDriver;
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DRIVER, "OnDeinitialize: entry");
    CoUninitialize();
    TraceEvents(TRACE_LEVEL_INFORMATION, TRACE_FLAG_DRIVER, "OnDeinitialize: exit");
}
