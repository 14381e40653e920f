#pragma once
// PROPVARIANT: the tagged value of property stores.
#include "oaidl.h"
#include "minwinbase.h"

typedef struct tagCAUB {
    ULONG cElems;
    UCHAR* pElems;
} CAUB;

typedef struct tagPROPVARIANT PROPVARIANT;
typedef PROPVARIANT* LPPROPVARIANT;
typedef const PROPVARIANT* REFPROPVARIANT;

struct tagPROPVARIANT {
    VARTYPE vt;
    WORD wReserved1;
    WORD wReserved2;
    WORD wReserved3;
    union {
        CHAR cVal;
        UCHAR bVal;
        SHORT iVal;
        USHORT uiVal;
        LONG lVal;
        ULONG ulVal;
        INT intVal;
        UINT uintVal;
        LARGE_INTEGER hVal;
        ULARGE_INTEGER uhVal;
        FLOAT fltVal;
        DOUBLE dblVal;
        VARIANT_BOOL boolVal;
        SCODE scode;
        CY cyVal;
        DATE date;
        FILETIME filetime;
        CLSID* puuid;
        BSTR bstrVal;
        BLOB blob;
        LPSTR pszVal;
        LPWSTR pwszVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        LPSAFEARRAY parray;
        CAUB caub;
    };
};

#ifdef __cplusplus
inline void PropVariantInit(PROPVARIANT* pvar) {
    memset(pvar, 0, sizeof(PROPVARIANT));
}
#else
#define PropVariantInit(pvar) memset((pvar), 0, sizeof(PROPVARIANT))
#endif

// Frees what the value owns (strings, BLOB and vector memory with CoTaskMemFree, BSTRs with
// SysFreeString, interfaces released, arrays destroyed) and zeroes the whole structure.
// NULL is S_OK; an unknown type is DISP_E_BADVARTYPE and leaves the value alone.
STDAPI PropVariantClear(PROPVARIANT* pvar);
// Deep copy; pvarDest is overwritten, not cleared. On failure pvarDest is left unchanged.
STDAPI PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc);
