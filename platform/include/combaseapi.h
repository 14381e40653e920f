#pragma once
// COM base API: apartments, the process-wide class table, task memory, GUID text.
//
// Apartments here record a thread's concurrency model and give Windows' return codes; calls
// between objects are always direct (no marshalling, no message pumping), whichever
// apartment a thread joined.
#include "unknwn.h"

#define CLSCTX_INPROC (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER)
#define CLSCTX_ALL \
    (CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)
#define CLSCTX_SERVER (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER)

typedef enum tagCOINITBASE {
    COINITBASE_MULTITHREADED = 0x0,
} COINITBASE;

#ifndef CO_E_ALREADYINITIALIZED
#define CO_E_ALREADYINITIALIZED _HRESULT_TYPEDEF_(0x800401F1L)
#endif
#ifndef CO_E_CLASSSTRING
#define CO_E_CLASSSTRING _HRESULT_TYPEDEF_(0x800401F3L)
#endif

// S_OK on a thread's first call, S_FALSE when the thread is already in the requested
// apartment, RPC_E_CHANGED_MODE when it is in the other one. Every S_OK and S_FALSE needs
// one CoUninitialize.
STDAPI CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
STDAPI_(void) CoUninitialize(void);

// Threads that never called CoInitializeEx may still use the functions below while any
// thread of the process is in the multithreaded apartment (Windows' implicit MTA);
// otherwise they fail with CO_E_NOTINITIALIZED.
STDAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                        LPVOID* ppv);
STDAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid,
                        LPVOID* ppv);

// Registrations are process-wide and last until revoked (CoUninitialize does not revoke
// them, and CoRevokeClassObject works on any thread); the newest active registration of a
// class wins. The cookie is never 0.
STDAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                             LPDWORD lpdwRegister);
STDAPI CoRevokeClassObject(DWORD dwRegister);
STDAPI CoResumeClassObjects(void);

STDAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb);
STDAPI_(LPVOID) CoTaskMemRealloc(LPVOID pv, SIZE_T cb);
STDAPI_(void) CoTaskMemFree(LPVOID pv);

STDAPI CoCreateGuid(GUID* pguid);
// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}": returns 39 (characters written including the
// NUL), or 0 when cchMax is too small.
STDAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax);
STDAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid);
STDAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid);

#ifdef __cplusplus
template <typename T>
void** IID_PPV_ARGS_Helper(T** pp) {
    (void)static_cast<IUnknown*>(*pp);  // T must be a COM interface
    return reinterpret_cast<void**>(pp);
}
#define IID_PPV_ARGS(ppType) __uuidof(**(ppType)), IID_PPV_ARGS_Helper(ppType)
#endif
