// PROPVARIANT: the tagged values of property stores. Strings, BLOBs, CLSIDs and vectors are
// task memory (CoTaskMemAlloc), as on Windows.
#include "com/ComInternal.h"
#include <propidl.h>
#include "winplat/faults.h"

#include <cstring>
#include <cwchar>

namespace {

bool IsPlainValue(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
        case VT_R4:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
        case VT_BOOL:
        case VT_ERROR:
        case VT_FILETIME:
        case VT_DECIMAL:
            return true;
        default:
            return false;
    }
}

bool IsByteVector(VARTYPE vt) {
    return vt == (VT_VECTOR | VT_UI1) || vt == (VT_VECTOR | VT_I1);
}

void* Duplicate(const void* source, size_t bytes) {
    void* copy = CoTaskMemAlloc(bytes);
    if (copy && bytes) {
        std::memcpy(copy, source, bytes);
    }
    return copy;
}

}  // namespace

HRESULT PropVariantClear(PROPVARIANT* pvar) {
    if (!pvar) {
        return S_OK;
    }
    const VARTYPE vt = pvar->vt;
    if (IsPlainValue(vt)) {
        // nothing owned
    } else if (vt & VT_ARRAY) {
        HRESULT hr = SafeArrayDestroy(pvar->parray);
        if (FAILED(hr)) {
            return hr;
        }
    } else if (vt == VT_BSTR) {
        SysFreeString(pvar->bstrVal);
    } else if (vt == VT_LPSTR || vt == VT_LPWSTR || vt == VT_CLSID) {
        CoTaskMemFree(pvar->pszVal);  // one pointer, whichever member wrote it
    } else if (vt == VT_BLOB || vt == VT_BLOB_OBJECT) {
        CoTaskMemFree(pvar->blob.pBlobData);
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (pvar->punkVal) {
            pvar->punkVal->Release();
        }
    } else if (IsByteVector(vt)) {
        CoTaskMemFree(pvar->caub.pElems);
    } else {
        // The documented answer for an unknown type; the variant is left as it was.
        return STG_E_INVALIDPARAMETER;
    }
    std::memset(pvar, 0, sizeof(*pvar));
    return S_OK;
}

HRESULT PropVariantCopy(PROPVARIANT* pvarDest, const PROPVARIANT* pvarSrc) {
    if (!pvarDest || !pvarSrc) {
        return E_INVALIDARG;
    }
    if (WinplatShouldFail("PropVariantCopy")) {
        return E_OUTOFMEMORY;
    }
    const VARTYPE vt = pvarSrc->vt;
    PROPVARIANT copy = *pvarSrc;
    bool ok = true;
    if (IsPlainValue(vt)) {
        // bitwise copy is the copy
    } else if (vt & VT_ARRAY) {
        HRESULT hr = SafeArrayCopy(pvarSrc->parray, &copy.parray);
        if (FAILED(hr)) {
            return hr;
        }
    } else if (vt == VT_BSTR) {
        ok = winplat::com::CopyBstr(pvarSrc->bstrVal, &copy.bstrVal);
    } else if (vt == VT_LPSTR) {
        if (pvarSrc->pszVal) {
            copy.pszVal =
                static_cast<LPSTR>(Duplicate(pvarSrc->pszVal, std::strlen(pvarSrc->pszVal) + 1));
            ok = copy.pszVal != nullptr;
        }
    } else if (vt == VT_LPWSTR) {
        if (pvarSrc->pwszVal) {
            copy.pwszVal = static_cast<LPWSTR>(
                Duplicate(pvarSrc->pwszVal, (std::wcslen(pvarSrc->pwszVal) + 1) * sizeof(WCHAR)));
            ok = copy.pwszVal != nullptr;
        }
    } else if (vt == VT_CLSID) {
        if (pvarSrc->puuid) {
            copy.puuid = static_cast<CLSID*>(Duplicate(pvarSrc->puuid, sizeof(CLSID)));
            ok = copy.puuid != nullptr;
        }
    } else if (vt == VT_BLOB || vt == VT_BLOB_OBJECT) {
        if (pvarSrc->blob.pBlobData) {
            copy.blob.pBlobData =
                static_cast<BYTE*>(Duplicate(pvarSrc->blob.pBlobData, pvarSrc->blob.cbSize));
            ok = copy.blob.pBlobData != nullptr;
        }
    } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
        if (copy.punkVal) {
            copy.punkVal->AddRef();
        }
    } else if (IsByteVector(vt)) {
        if (pvarSrc->caub.pElems) {
            copy.caub.pElems =
                static_cast<UCHAR*>(Duplicate(pvarSrc->caub.pElems, pvarSrc->caub.cElems));
            ok = copy.caub.pElems != nullptr;
        }
    } else {
        return DISP_E_BADVARTYPE;
    }
    if (!ok) {
        return E_OUTOFMEMORY;
    }
    *pvarDest = copy;
    return S_OK;
}
