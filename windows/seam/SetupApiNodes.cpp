// Device nodes as Windows keeps them, through SetupAPI.
#include "WindowsMachine.h"

#include <windows.h>
#include <setupapi.h>

#include <new>

#include "SetupApiDevice.h"

namespace sim {

namespace {

constexpr HRESULT kNoSuchNode = HRESULT_FROM_WIN32(ERROR_NO_SUCH_DEVINST);

class SetupApiNodes final : public DeviceNodes {
public:
    HRESULT CreateNode(const std::wstring& instanceId, const GUID& classGuid,
                       const std::vector<std::wstring>& hardwareIds) override try {
        std::wstring ids;
        for (const auto& id : hardwareIds) {
            ids += id;
            ids += L'\0';
        }
        ids += L'\0';

        SetupApiDevice device;
        HRESULT hr = device.Create(instanceId, classGuid);
        if (hr == HRESULT_FROM_WIN32(ERROR_DEVINST_ALREADY_EXISTS)) {
            SetupApiDevice existing;
            hr = existing.Open(instanceId);
            if (SUCCEEDED(hr) && IsEqualGUID(existing.Data()->ClassGuid, classGuid)) {
                return SetHardwareIds(existing, ids);
            }
            if (SUCCEEDED(hr)) {
                hr = existing.Remove();
            }
            if (SUCCEEDED(hr)) {
                hr = device.Create(instanceId, classGuid);
            }
        }
        if (SUCCEEDED(hr)) {
            hr = SetHardwareIds(device, ids);
        }
        return SUCCEEDED(hr) ? device.Register() : hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    HRESULT FindNode(const std::wstring& instanceId, GUID* classGuid) override {
        if (classGuid == nullptr) {
            return E_POINTER;
        }
        SetupApiDevice device;
        const HRESULT hr = device.Open(instanceId);
        if (SUCCEEDED(hr)) {
            *classGuid = device.Data()->ClassGuid;
        }
        return hr;
    }

    HRESULT NodeRegistryProperty(const std::wstring& instanceId, DWORD property, DWORD* regType,
                                 std::vector<BYTE>* data) override try {
        if (regType == nullptr || data == nullptr) {
            return E_POINTER;
        }
        SetupApiDevice device;
        const HRESULT hr = device.Open(instanceId);
        if (FAILED(hr)) {
            return hr;
        }
        std::vector<BYTE> buffer(256);
        for (;;) {
            DWORD type = 0;
            DWORD size = 0;
            if (SetupDiGetDeviceRegistryPropertyW(device.Set(), device.Data(), property, &type,
                                                  buffer.data(), static_cast<DWORD>(buffer.size()),
                                                  &size)) {
                buffer.resize(size);
                *regType = type;
                *data = std::move(buffer);
                return S_OK;
            }
            if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || size <= buffer.size()) {
                return LastErrorResult();
            }
            buffer.resize(size);
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }

    HRESULT RemoveNode(const std::wstring& instanceId) override {
        SetupApiDevice device;
        const HRESULT hr = device.Open(instanceId);
        if (hr == kNoSuchNode) {
            return S_OK;
        }
        return SUCCEEDED(hr) ? device.Remove() : hr;
    }

private:
    static HRESULT SetHardwareIds(SetupApiDevice& device, const std::wstring& multiSz) {
        return SetupDiSetDeviceRegistryPropertyW(device.Set(), device.Data(), SPDRP_HARDWAREID,
                                                 reinterpret_cast<const BYTE*>(multiSz.data()),
                                                 static_cast<DWORD>(multiSz.size() * sizeof(WCHAR)))
                   ? S_OK
                   : LastErrorResult();
    }
};

}  // namespace

std::shared_ptr<DeviceNodes> SystemDeviceNodes() {
    return std::make_shared<SetupApiNodes>();
}

}  // namespace sim
