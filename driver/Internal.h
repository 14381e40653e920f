#pragma once
// Process-wide state of Brelk, shared between its source units. Each value says which
// part writes it and how it is guarded.

#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>
#include <string>

#include "FwVersionInfo.h"

class CMBDeviceService;
class CMyDevice;

// ---- Device configuration and download preparation (written at device add, before
// the download thread exists; read without a lock afterwards).
extern std::string g_FirmwareImagePath;  // empty when no image was found
extern UINT32 g_TocItemCount;
extern INT32 g_TotalImageSize;

// Items to download: filled together by Configure, emptied together by the download
// thread (which works on its own copy, so a second attempt downloads every item again).
struct DownloadItemList {
    std::deque<UINT32> MemoryClasses;
    std::deque<std::string> Entries;  // "|%d|%s": table-of-contents index, image path
};
extern DownloadItemList g_DownloadItemList;

// The flash data device service; the port callbacks write and read through it.
extern std::shared_ptr<CMBDeviceService> g_pFlashService;
// The modem's firmware version when the running download started; recorded as the
// previous version once that download succeeded. Empty when none started.
extern std::string g_PreviousFwVersion;

extern const WCHAR FORCE_UPGRADE_DEVICE_KEY[];
extern const WCHAR UPGRADE_SERVICE_ID[];
extern const WCHAR FLASH_SERVICE_ID[];
extern const WCHAR FINAL_SERVICE_ID[];
extern const GUID GUID_DEVINTERFACE_FWUPDATE;
extern const char FLASHKIT_DLL_NAME[];  // "Flashkit.dll"
extern const char POLICY_DLL_NAME[];    // "Parlex.dll"

// ---- Device key lookup (DeviceLookup.inc). The first identifier of a hardware-id list of
// `capacityChars` characters that need not be terminated.
std::wstring FirstHardwareId(const WCHAR* list, size_t capacityChars);
// "MBFW\" and the identifier's braced part, from its first '{' to its last '}' (to its
// end when there is none); false, with *key untouched, when it has no such part.
bool DeviceKeyFromHardwareId(const std::wstring& hardwareId, std::wstring* key);

// ---- Upgrade decision
// The service reads (MBDeviceService unit): fill the upgrade service's two version texts,
// the image's from the flash library, the modem's from its interface capabilities.
HRESULT ReadFirmwareVersions(CMBDeviceService* Service);
HRESULT ReadImageFirmwareVersion(CMBDeviceService* Service);
HRESULT ReadCurrentFirmwareVersion(CMBDeviceService* Service);
extern INT32 g_MaxRetryCount;  // 3 until the policy DLL answers
extern FwVersionInfo g_FwVersionInfo;

// ---- Download thread
constexpr INT32 DOWNLOAD_TIME_BUDGET_S = 180;
extern std::atomic<bool> g_bUpgradeSucceeded;
DWORD WINAPI DownloadThread(LPVOID Parameter);

// ---- Status channel (guarded by g_StatusMutex)
// Called by the flash library on its own threads; a null Text queues an empty text.
extern "C" void StatusCallback(UINT8 Channel, INT32 Status, const char* Text) noexcept;
// Takes the oldest report; false, with both outputs untouched, when there is none.
bool PopStatus(INT32* Status, std::string* Text);
// Drops every queued report (a new attempt must not act on an earlier one's); returns
// how many there were.
size_t DiscardStatusReports();
// Waits until a report may have arrived since the last wake-up, or Milliseconds pass.
bool WaitForStatusReport(DWORD Milliseconds);

// ---- OEM policy binding (written on the framework's thread before the download thread
// exists; not changed while it runs)
typedef INT32(WINAPI* PFN_CheckForFwUpdate)(const FwVersionInfo* Info);
typedef INT32(WINAPI* PFN_IsDriverCheckRequired)();
typedef INT32(WINAPI* PFN_GetMaxRetryCountFromOEM)();
typedef void(WINAPI* PFN_FWUpgradeResult)(UINT8 Succeeded);
typedef void(WINAPI* PFN_SendRetryCountToOEM)(UINT8 RetryCount);

extern HMODULE g_hPolicyDll;
extern PFN_CheckForFwUpdate g_pfnCheckForFwUpdate;
extern PFN_IsDriverCheckRequired g_pfnIsDriverCheckRequired;
extern PFN_GetMaxRetryCountFromOEM g_pfnGetMaxRetryCountFromOEM;
extern PFN_FWUpgradeResult g_pfnFWUpgradeResult;
extern PFN_SendRetryCountToOEM g_pfnSendRetryCountToOEM;
bool LoadPolicyDll(const char* Name);
void UnloadPolicyDll();

// ---- Flash library binding: see Flashkit.h (g_hFlashkit, g_pFlashkitApi, FLASH_CHANNEL,
// LoadFlashkit, UnloadFlashkit).

// ---- Serial-port callbacks handed to the flash library (PortCallbacks.cpp)
extern "C" void PortWrite(void* Port, const char* Data, UINT32 Length, UINT32* Written) noexcept;
extern "C" void PortRead(void* Port, char* Buffer, UINT32 Capacity, UINT32* Count) noexcept;
extern "C" UINT32 PortRxAvail(void* Port) noexcept;  // the library's argument is ignored
// Written by PortWrite only: the third "EXEC" write opens the read gate for good and
// the counter starts again from 0. Atomic: the library may call from several threads.
extern std::atomic<UINT16> g_ExecCount;
extern std::atomic<UINT8> g_ReadGate;  // 0 closed, 1 open

// ---- Assertions of object initialisation. A failed one writes its text ("<Unit>:
// assertion failed: <condition>") to the debugger output and the caller goes on; what the
// missing pointer means is decided next to the assertion. Never an abort: the driver
// lives in the framework's host process.
inline bool CheckAssertion(bool holds, const WCHAR* text) noexcept {
    if (!holds) {
        OutputDebugStringW(text);
    }
    return holds;
}

// ---- Module object (Dllsup.cpp): every COM object of the driver holds one module lock
// for its lifetime; IClassFactory::LockServer adds or removes one. The count is atomic.
void DllModuleLock() noexcept;
void DllModuleUnlock() noexcept;
LONG DllModuleLockCount() noexcept;
