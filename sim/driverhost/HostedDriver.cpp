#include "HostedDriver.h"

#include <objbase.h>

#include "HostRunner.h"
#include "HostSystem.h"
#include "HostText.h"

namespace driverhost {
namespace {

HRESULT LoadModule(HMODULE* module, IClassFactory** factory, IDriverEntry** entry,
                   std::string* why) {
    *module = LoadLibraryW(L"Brelk.dll");
    if (*module == nullptr) {
        *why = "Brelk.dll not found on the module search path (error " +
               std::to_string(GetLastError()) + ")";
        return HRESULT_FROM_WIN32(GetLastError());
    }
    // The driver keeps its real pauses and budget; the machine's clock decides how fast
    // they pass. A driver at another pace than its host would outlive the host's waits.
    if (!sim::Host().Time().ScaleModule(*module)) {
        *why = "Brelk.dll cannot run on the machine's clock";
        return E_FAIL;
    }
    const auto* version = reinterpret_cast<const UMDF_VERSION_DATA*>(
        GetProcAddress(*module, "Microsoft_WDF_UMDF_Version"));
    if (version == nullptr) {
        *why = "Brelk.dll does not export Microsoft_WDF_UMDF_Version";
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    if (version->MajorNumber != 1 || version->MinorNumber > 11) {
        *why = "Brelk.dll wants framework " + std::to_string(version->MajorNumber) + "." +
               std::to_string(version->MinorNumber) + "; this host offers 1.11";
        return HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    }
    using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, LPVOID*);
    const auto getClassObject = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(*module, "DllGetClassObject")));
    if (getClassObject == nullptr) {
        *why = "Brelk.dll does not export DllGetClassObject";
        return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    }
    void* object = nullptr;
    HRESULT hr = getClassObject(kDriverClsid, IID_IClassFactory, &object);
    if (FAILED(hr) || object == nullptr) {
        *why = "DllGetClassObject answered " + HrText(hr);
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    (*factory) = static_cast<IClassFactory*>(object);
    object = nullptr;
    hr = (*factory)->CreateInstance(nullptr, IID_IDriverEntry, &object);
    if (FAILED(hr) || object == nullptr) {
        *why = "the class factory answered " + HrText(hr);
        return FAILED(hr) ? hr : E_NOINTERFACE;
    }
    *entry = static_cast<IDriverEntry*>(object);
    return S_OK;
}

}  // namespace

HostedDriver::~HostedDriver() {
    Unload();
}

HRESULT HostedDriver::Load(std::string* why) {
    HRESULT hr = LoadModule(&m_Module, &m_Factory, &m_Entry, why);
    if (SUCCEEDED(hr)) {
        hr = sim::CFxDriver::CreateInstance(&m_FxDriver);
    }
    m_Loaded = SUCCEEDED(hr);
    return hr;
}

HRESULT HostedDriver::Initialize() {
    return m_Entry->OnInitialize(m_FxDriver);
}

HRESULT HostedDriver::AddDevice(const std::shared_ptr<sim::DevicePropertyStores>& store,
                                const std::wstring& instanceId) {
    HRESULT hr = sim::CFxDeviceInit::CreateInstance(store, instanceId, &m_Init);
    if (SUCCEEDED(hr)) {
        hr = m_Entry->OnDeviceAdd(m_FxDriver, m_Init);
    }
    m_Devices = m_FxDriver->Devices();
    return hr;
}

HRESULT HostedDriver::PrepareHardware() {
    m_Prepared = true;
    return Device()->PrepareHardware();
}

HRESULT HostedDriver::ReleaseHardware() {
    m_Prepared = false;
    return Device()->ReleaseHardware();
}

void HostedDriver::Unload() {
    if (m_Prepared) {
        (void)ReleaseHardware();
    }
    for (sim::CFxDevice* d : m_Devices) {
        d->Release();
    }
    m_Devices.clear();
    if (m_Loaded) {
        m_FxDriver->DeleteDevices();
        if (m_Init != nullptr) {
            m_Init->Release();
            m_Init = nullptr;
        }
        m_Entry->OnDeinitialize(m_FxDriver);
        m_Loaded = false;
    }
    if (m_Entry != nullptr) {
        m_Entry->Release();
        m_Entry = nullptr;
    }
    if (m_Factory != nullptr) {
        m_Factory->Release();
        m_Factory = nullptr;
    }
    if (m_Module != nullptr) {
        FreeLibrary(m_Module);
        m_Module = nullptr;
    }
    if (m_FxDriver != nullptr) {
        m_FxDriver->Release();
        m_FxDriver = nullptr;
    }
}

}  // namespace driverhost
