#include "SetupApiDevice.h"

namespace sim {

HRESULT LastErrorResult() {
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

SetupApiDevice::~SetupApiDevice() {
    if (m_Set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(m_Set);
    }
}

HRESULT SetupApiDevice::NewSet() {
    if (m_Set != INVALID_HANDLE_VALUE) {
        SetupDiDestroyDeviceInfoList(m_Set);
    }
    m_Data = {};
    m_Data.cbSize = sizeof(m_Data);
    m_Set = SetupDiCreateDeviceInfoList(nullptr, nullptr);
    return m_Set != INVALID_HANDLE_VALUE ? S_OK : LastErrorResult();
}

HRESULT SetupApiDevice::Open(const std::wstring& instanceId) {
    HRESULT hr = NewSet();
    if (SUCCEEDED(hr) && !SetupDiOpenDeviceInfoW(m_Set, instanceId.c_str(), nullptr, 0, &m_Data)) {
        hr = LastErrorResult();
    }
    return hr;
}

HRESULT SetupApiDevice::Create(const std::wstring& instanceId, const GUID& classGuid) {
    HRESULT hr = NewSet();
    if (SUCCEEDED(hr) && !SetupDiCreateDeviceInfoW(m_Set, instanceId.c_str(), &classGuid, nullptr,
                                                   nullptr, 0, &m_Data)) {
        hr = LastErrorResult();
    }
    return hr;
}

HRESULT SetupApiDevice::Register() {
    return SetupDiRegisterDeviceInfo(m_Set, &m_Data, 0, nullptr, nullptr, nullptr)
               ? S_OK
               : LastErrorResult();
}

HRESULT SetupApiDevice::Remove() {
    // Wine's SetupDiRemoveDevice deletes the software key only when it has no subkeys;
    // emptied first, it goes with the node as on Windows.
    HKEY software =
        SetupDiOpenDevRegKey(m_Set, &m_Data, DICS_FLAG_GLOBAL, 0, DIREG_DRV, KEY_ALL_ACCESS);
    if (software != INVALID_HANDLE_VALUE) {
        RegDeleteTreeW(software, nullptr);
        RegCloseKey(software);
    }
    // The default handler of DIF_REMOVE, without a class installer to call first.
    return SetupDiRemoveDevice(m_Set, &m_Data) ? S_OK : LastErrorResult();
}

}  // namespace sim
