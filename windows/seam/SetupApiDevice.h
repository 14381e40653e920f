#pragma once
// One node of Windows' own device tree, reached through a device information set of its own.
#include <windows.h>
#include <setupapi.h>

#include <string>

namespace sim {

// The thread's last error as an HRESULT. SetupAPI's own codes (ERROR_NO_SUCH_DEVINST) carry
// the customer bit and pass through HRESULT_FROM_WIN32 unchanged.
HRESULT LastErrorResult();

class SetupApiDevice {
public:
    SetupApiDevice() = default;
    SetupApiDevice(const SetupApiDevice&) = delete;
    SetupApiDevice& operator=(const SetupApiDevice&) = delete;
    ~SetupApiDevice();

    // HRESULT_FROM_WIN32(ERROR_NO_SUCH_DEVINST) when the tree has no such node.
    HRESULT Open(const std::wstring& instanceId);
    // A new node, not yet registered: it vanishes with this object unless Register() is
    // called. HRESULT_FROM_WIN32(ERROR_DEVINST_ALREADY_EXISTS) when the tree has one.
    HRESULT Create(const std::wstring& instanceId, const GUID& classGuid);
    HRESULT Register();
    // Removes the node with its registry keys.
    HRESULT Remove();

    HDEVINFO Set() const { return m_Set; }
    SP_DEVINFO_DATA* Data() { return &m_Data; }

private:
    HRESULT NewSet();

    HDEVINFO m_Set = INVALID_HANDLE_VALUE;
    SP_DEVINFO_DATA m_Data = {};
};

}  // namespace sim
