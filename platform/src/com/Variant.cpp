// VARIANT values: what a SAFEARRAY of VT_VARIANT and a PROPVARIANT of VT_ARRAY need.
#include "com/ComInternal.h"

namespace {

bool IsKnownType(VARTYPE vt) {
    if (vt & VT_BYREF) {
        return true;  // references own nothing, whatever they point at
    }
    const VARTYPE base = vt & VT_TYPEMASK;
    if (vt & VT_ARRAY) {
        return base != VT_EMPTY && base != VT_NULL;
    }
    if (vt & ~VT_TYPEMASK) {
        return false;
    }
    switch (base) {
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
        case VT_DECIMAL:
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
        case VT_RECORD:
            return true;
        default:
            return false;
    }
}

}  // namespace

void VariantInit(VARIANTARG* pvarg) {
    if (pvarg) {
        pvarg->vt = VT_EMPTY;
    }
}

HRESULT VariantClear(VARIANTARG* pvarg) {
    if (!pvarg) {
        return E_INVALIDARG;
    }
    const VARTYPE vt = pvarg->vt;
    if (!IsKnownType(vt)) {
        return DISP_E_BADVARTYPE;
    }
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            HRESULT hr = SafeArrayDestroy(pvarg->parray);
            if (FAILED(hr)) {
                return hr;
            }
        } else if (vt == VT_BSTR) {
            SysFreeString(pvarg->bstrVal);
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (pvarg->punkVal) {
                pvarg->punkVal->Release();
            }
        } else if (vt == VT_RECORD) {
            // VariantCopy made the record with RecordCreateCopy; RecordDestroy undoes that.
            if (IRecordInfo* info = pvarg->pRecInfo) {
                if (pvarg->pvRecord) {
                    info->RecordDestroy(pvarg->pvRecord);
                }
                info->Release();
            }
        }
    }
    pvarg->vt = VT_EMPTY;
    return S_OK;
}

HRESULT VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    if (!pvargDest || !pvargSrc) {
        return E_INVALIDARG;
    }
    if (pvargDest == pvargSrc) {
        return S_OK;
    }
    const VARTYPE vt = pvargSrc->vt;
    if (!IsKnownType(vt)) {
        return DISP_E_BADVARTYPE;
    }
    HRESULT hr = VariantClear(pvargDest);
    if (FAILED(hr)) {
        return hr;
    }

    VARIANT copy = *pvargSrc;
    if (!(vt & VT_BYREF)) {
        if (vt & VT_ARRAY) {
            hr = SafeArrayCopy(pvargSrc->parray, &copy.parray);
        } else if (vt == VT_BSTR) {
            if (!winplat::com::CopyBstr(pvargSrc->bstrVal, &copy.bstrVal)) {
                hr = E_OUTOFMEMORY;
            }
        } else if (vt == VT_UNKNOWN || vt == VT_DISPATCH) {
            if (copy.punkVal) {
                copy.punkVal->AddRef();
            }
        } else if (vt == VT_RECORD) {
            if (copy.pRecInfo) {
                copy.pvRecord = nullptr;
                hr = copy.pRecInfo->RecordCreateCopy(pvargSrc->pvRecord, &copy.pvRecord);
                if (SUCCEEDED(hr)) {
                    copy.pRecInfo->AddRef();
                }
            }
        }
    }
    if (FAILED(hr)) {
        return hr;
    }
    *pvargDest = copy;
    return S_OK;
}
