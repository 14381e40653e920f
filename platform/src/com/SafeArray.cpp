// SAFEARRAY as OLE Automation defines it. The descriptor and the data are separate blocks,
// so that SafeArrayDestroyData and SafeArrayAllocData can replace the data. What Windows
// keeps in front of the descriptor (element type, interface IID, record description) sits
// in a hidden header of the descriptor's block.
#include "com/ComInternal.h"
#include "winplat/faults.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

struct Hidden {
    IRecordInfo* recordInfo;  // one reference, when FADF_RECORD
    GUID iid;                 // when FADF_HAVEIID
    VARTYPE vt;               // when FADF_HAVEVARTYPE
};
constexpr size_t kHiddenSize = (sizeof(Hidden) + alignof(std::max_align_t) - 1) /
                               alignof(std::max_align_t) * alignof(std::max_align_t);

constexpr USHORT kNotOwned = FADF_AUTO | FADF_STATIC | FADF_EMBEDDED;
constexpr ULONG kMaxLocks = 0xFFFF;

Hidden* HiddenOf(SAFEARRAY* psa) {
    return reinterpret_cast<Hidden*>(reinterpret_cast<BYTE*>(psa) - kHiddenSize);
}

ULONG ElementSize(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
        case VT_UI1:
            return 1;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL:
            return 2;
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_R4:
        case VT_ERROR:
            return 4;
        case VT_I8:
        case VT_UI8:
        case VT_R8:
        case VT_CY:
        case VT_DATE:
            return 8;
        case VT_BSTR:
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return sizeof(void*);
        case VT_VARIANT:
            return sizeof(VARIANT);
        case VT_DECIMAL:
            return sizeof(DECIMAL);
        default:
            return 0;
    }
}

// The flags Windows gives an array of this type: interfaces carry an IID, records their
// description, everything else its VARTYPE.
USHORT FeaturesOf(VARTYPE vt) {
    switch (vt) {
        case VT_UNKNOWN:
            return FADF_HAVEIID | FADF_UNKNOWN;
        case VT_DISPATCH:
            return FADF_HAVEIID | FADF_DISPATCH;
        case VT_RECORD:
            return FADF_RECORD;
        case VT_BSTR:
            return FADF_HAVEVARTYPE | FADF_BSTR;
        case VT_VARIANT:
            return FADF_HAVEVARTYPE | FADF_VARIANT;
        default:
            return FADF_HAVEVARTYPE;
    }
}

// Total number of elements; false when the byte size would not fit in memory.
bool CountElements(const SAFEARRAY* psa, size_t* count) {
    size_t n = 1;
    for (USHORT i = 0; i < psa->cDims; ++i) {
        const size_t c = psa->rgsabound[i].cElements;
        if (c != 0 && n > SIZE_MAX / c) {
            return false;
        }
        n *= c;
    }
    if (psa->cbElements != 0 && n > SIZE_MAX / psa->cbElements) {
        return false;
    }
    *count = n;
    return true;
}

std::atomic_ref<ULONG> Locks(SAFEARRAY* psa) {
    return std::atomic_ref<ULONG>(psa->cLocks);
}

bool IsLocked(SAFEARRAY* psa) {
    return Locks(psa).load() != 0;
}

// Frees, releases or clears every element, leaving zeroes behind.
void ClearElements(SAFEARRAY* psa) {
    size_t count = 0;
    if (!psa->pvData || !CountElements(psa, &count)) {
        return;
    }
    auto* data = static_cast<BYTE*>(psa->pvData);
    // Plain values own nothing: no walk over the elements, which for the byte arrays of
    // the data path would cost more than the rest of their round trip.
    constexpr USHORT kOwning =
        FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH | FADF_VARIANT | FADF_RECORD;
    for (size_t i = 0; (psa->fFeatures & kOwning) != 0 && i < count; ++i) {
        BYTE* cell = data + i * psa->cbElements;
        if (psa->fFeatures & FADF_BSTR) {
            SysFreeString(*reinterpret_cast<BSTR*>(cell));
        } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            if (IUnknown* unk = *reinterpret_cast<IUnknown**>(cell)) {
                unk->Release();
            }
        } else if (psa->fFeatures & FADF_VARIANT) {
            VariantClear(reinterpret_cast<VARIANT*>(cell));
        } else if (psa->fFeatures & FADF_RECORD) {
            if (IRecordInfo* info = HiddenOf(psa)->recordInfo) {
                info->RecordClear(cell);
            }
        }
    }
    std::memset(data, 0, count * psa->cbElements);
}

// Copies one element from `from` (inside an array of psa's type) into `to`, which holds no
// value yet (zeroes or uninitialised memory).
HRESULT CopyElement(SAFEARRAY* psa, const void* from, void* to) {
    if (psa->fFeatures & FADF_BSTR) {
        return winplat::com::CopyBstr(*static_cast<BSTR const*>(from), static_cast<BSTR*>(to))
                   ? S_OK
                   : E_OUTOFMEMORY;
    }
    if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
        IUnknown* unk = *static_cast<IUnknown* const*>(from);
        if (unk) {
            unk->AddRef();
        }
        *static_cast<IUnknown**>(to) = unk;
        return S_OK;
    }
    if (psa->fFeatures & FADF_VARIANT) {
        auto* dest = static_cast<VARIANT*>(to);
        dest->vt = VT_EMPTY;
        return VariantCopy(dest, static_cast<const VARIANT*>(from));
    }
    if (psa->fFeatures & FADF_RECORD) {
        IRecordInfo* info = HiddenOf(psa)->recordInfo;
        if (!info) {
            return E_INVALIDARG;
        }
        return info->RecordCopy(const_cast<void*>(from), to);
    }
    std::memcpy(to, from, psa->cbElements);
    return S_OK;
}

HRESULT CellOf(SAFEARRAY* psa, const LONG* rgIndices, void** cell) {
    size_t offset = 0;
    size_t stride = 1;
    // rgIndices[0] belongs to dimension 1 (the first bound given to SafeArrayCreate, the
    // last in the descriptor) and varies fastest, as on Windows.
    for (USHORT i = 0; i < psa->cDims; ++i) {
        const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - 1 - i];
        const LONGLONG rel = LONGLONG{rgIndices[i]} - b.lLbound;
        if (rel < 0 || rel >= LONGLONG{b.cElements}) {
            return DISP_E_BADINDEX;
        }
        offset += static_cast<size_t>(rel) * stride;
        stride *= b.cElements;
    }
    if (!psa->pvData) {
        return E_INVALIDARG;
    }
    *cell = static_cast<BYTE*>(psa->pvData) + offset * psa->cbElements;
    return S_OK;
}

SAFEARRAY* Create(VARTYPE vt, UINT cDims, const SAFEARRAYBOUND* rgsabound, PVOID pvExtra) {
    if (!rgsabound || cDims == 0) {
        return nullptr;
    }
    SAFEARRAY* psa = nullptr;
    if (FAILED(SafeArrayAllocDescriptorEx(vt, cDims, &psa))) {
        return nullptr;
    }
    // Callers list dimensions left-most first; the descriptor keeps them right-most first.
    for (UINT i = 0; i < cDims; ++i) {
        psa->rgsabound[cDims - 1 - i] = rgsabound[i];
    }
    HRESULT hr = S_OK;
    if (vt == VT_RECORD) {
        hr = pvExtra ? SafeArraySetRecordInfo(psa, static_cast<IRecordInfo*>(pvExtra))
                     : E_INVALIDARG;
    } else if (pvExtra && (vt == VT_UNKNOWN || vt == VT_DISPATCH)) {
        hr = SafeArraySetIID(psa, *static_cast<const GUID*>(pvExtra));
    }
    if (SUCCEEDED(hr)) {
        hr = SafeArrayAllocData(psa);
    }
    if (FAILED(hr)) {
        SafeArrayDestroyDescriptor(psa);
        return nullptr;
    }
    return psa;
}

}  // namespace

HRESULT SafeArrayAllocDescriptor(UINT cDims, SAFEARRAY** ppsaOut) {
    if (!ppsaOut) {
        return E_POINTER;
    }
    *ppsaOut = nullptr;
    if (cDims == 0 || cDims > 0xFFFF) {
        return E_INVALIDARG;
    }
    if (WinplatShouldFail("SafeArrayAllocDescriptor")) {
        return E_OUTOFMEMORY;
    }
    const size_t size = kHiddenSize + sizeof(SAFEARRAY) + (cDims - 1) * sizeof(SAFEARRAYBOUND);
    auto* block = static_cast<BYTE*>(std::calloc(1, size));
    if (!block) {
        return E_OUTOFMEMORY;
    }
    auto* psa = reinterpret_cast<SAFEARRAY*>(block + kHiddenSize);
    psa->cDims = static_cast<USHORT>(cDims);
    *ppsaOut = psa;
    return S_OK;
}

HRESULT SafeArrayAllocDescriptorEx(VARTYPE vt, UINT cDims, SAFEARRAY** ppsaOut) {
    if (!ppsaOut) {
        return E_POINTER;
    }
    *ppsaOut = nullptr;
    if (vt != VT_RECORD && ElementSize(vt) == 0) {
        return DISP_E_BADVARTYPE;
    }
    SAFEARRAY* psa = nullptr;
    HRESULT hr = SafeArrayAllocDescriptor(cDims, &psa);
    if (FAILED(hr)) {
        return hr;
    }
    psa->fFeatures = FeaturesOf(vt);
    psa->cbElements = ElementSize(vt);  // a record's size comes with its IRecordInfo
    Hidden* hidden = HiddenOf(psa);
    hidden->vt = vt;
    if (vt == VT_UNKNOWN) {
        hidden->iid = IID_IUnknown;
    }
    if (vt == VT_DISPATCH) {
        hidden->iid = IID_IDispatch;
    }
    *ppsaOut = psa;
    return S_OK;
}

HRESULT SafeArrayAllocData(SAFEARRAY* psa) {
    if (!psa) {
        return E_INVALIDARG;
    }
    size_t count = 0;
    if (!CountElements(psa, &count)) {
        return E_OUTOFMEMORY;
    }
    if (WinplatShouldFail("SafeArrayAllocData")) {
        return E_OUTOFMEMORY;
    }
    // At least one byte, so that an empty array still has data to access.
    void* data = std::calloc(count * psa->cbElements + 1, 1);
    if (!data) {
        return E_OUTOFMEMORY;
    }
    psa->pvData = data;
    return S_OK;
}

SAFEARRAY* SafeArrayCreate(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound) {
    if (vt == VT_RECORD || WinplatShouldFail("SafeArrayCreate")) {
        return nullptr;
    }
    return Create(vt, cDims, rgsabound, nullptr);
}

SAFEARRAY* SafeArrayCreateEx(VARTYPE vt, UINT cDims, SAFEARRAYBOUND* rgsabound, PVOID pvExtra) {
    if (WinplatShouldFail("SafeArrayCreateEx")) {
        return nullptr;
    }
    return Create(vt, cDims, rgsabound, pvExtra);
}

SAFEARRAY* SafeArrayCreateVector(VARTYPE vt, LONG lLbound, ULONG cElements) {
    if (vt == VT_RECORD || WinplatShouldFail("SafeArrayCreateVector")) {
        return nullptr;
    }
    const SAFEARRAYBOUND bound = {cElements, lLbound};
    return Create(vt, 1, &bound, nullptr);
}

SAFEARRAY* SafeArrayCreateVectorEx(VARTYPE vt, LONG lLbound, ULONG cElements, PVOID pvExtra) {
    if (WinplatShouldFail("SafeArrayCreateVectorEx")) {
        return nullptr;
    }
    const SAFEARRAYBOUND bound = {cElements, lLbound};
    return Create(vt, 1, &bound, pvExtra);
}

HRESULT SafeArrayDestroyDescriptor(SAFEARRAY* psa) {
    if (!psa) {
        return S_OK;
    }
    if (IsLocked(psa)) {
        return DISP_E_ARRAYISLOCKED;
    }
    if (psa->fFeatures & FADF_RECORD) {
        if (IRecordInfo* info = HiddenOf(psa)->recordInfo) {
            info->Release();
        }
    }
    // The flags describe the data; the descriptor always came from SafeArrayAllocDescriptor.
    std::free(HiddenOf(psa));
    return S_OK;
}

HRESULT SafeArrayDestroyData(SAFEARRAY* psa) {
    if (!psa) {
        return E_INVALIDARG;
    }
    if (IsLocked(psa)) {
        return DISP_E_ARRAYISLOCKED;
    }
    ClearElements(psa);
    if (!(psa->fFeatures & kNotOwned)) {
        std::free(psa->pvData);
        psa->pvData = nullptr;
    }
    return S_OK;
}

HRESULT SafeArrayDestroy(SAFEARRAY* psa) {
    if (!psa) {
        return S_OK;
    }
    HRESULT hr = SafeArrayDestroyData(psa);
    if (FAILED(hr)) {
        return hr;
    }
    return SafeArrayDestroyDescriptor(psa);
}

HRESULT SafeArrayLock(SAFEARRAY* psa) {
    if (!psa) {
        return E_INVALIDARG;
    }
    ULONG locks = Locks(psa).load();
    do {
        if (locks >= kMaxLocks) {
            return E_UNEXPECTED;
        }
    } while (!Locks(psa).compare_exchange_weak(locks, locks + 1));
    return S_OK;
}

HRESULT SafeArrayUnlock(SAFEARRAY* psa) {
    if (!psa) {
        return E_INVALIDARG;
    }
    ULONG locks = Locks(psa).load();
    do {
        if (locks == 0) {
            return E_UNEXPECTED;
        }
    } while (!Locks(psa).compare_exchange_weak(locks, locks - 1));
    return S_OK;
}

HRESULT SafeArrayAccessData(SAFEARRAY* psa, void** ppvData) {
    if (!psa || !ppvData) {
        return E_INVALIDARG;
    }
    *ppvData = nullptr;
    HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr)) {
        return hr;
    }
    *ppvData = psa->pvData;
    return S_OK;
}

HRESULT SafeArrayUnaccessData(SAFEARRAY* psa) {
    return SafeArrayUnlock(psa);
}

UINT SafeArrayGetDim(SAFEARRAY* psa) {
    return psa ? psa->cDims : 0;
}

UINT SafeArrayGetElemsize(SAFEARRAY* psa) {
    return psa ? psa->cbElements : 0;
}

HRESULT SafeArrayGetLBound(SAFEARRAY* psa, UINT nDim, LONG* plLbound) {
    if (!psa || !plLbound) {
        return E_INVALIDARG;
    }
    if (nDim == 0 || nDim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    *plLbound = psa->rgsabound[psa->cDims - nDim].lLbound;
    return S_OK;
}

HRESULT SafeArrayGetUBound(SAFEARRAY* psa, UINT nDim, LONG* plUbound) {
    if (!psa || !plUbound) {
        return E_INVALIDARG;
    }
    if (nDim == 0 || nDim > psa->cDims) {
        return DISP_E_BADINDEX;
    }
    const SAFEARRAYBOUND& b = psa->rgsabound[psa->cDims - nDim];
    // An empty dimension has UBound = LBound - 1.
    *plUbound = static_cast<LONG>(LONGLONG{b.lLbound} + LONGLONG{b.cElements} - 1);
    return S_OK;
}

HRESULT SafeArrayGetElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (!psa || !rgIndices || !pv) {
        return E_INVALIDARG;
    }
    HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr)) {
        return hr;
    }
    void* cell = nullptr;
    hr = CellOf(psa, rgIndices, &cell);
    if (SUCCEEDED(hr)) {
        hr = CopyElement(psa, cell, pv);
    }
    SafeArrayUnlock(psa);
    return hr;
}

HRESULT SafeArrayPutElement(SAFEARRAY* psa, LONG* rgIndices, void* pv) {
    if (!psa || !rgIndices) {
        return E_INVALIDARG;
    }
    // BSTR and interface elements are passed by value (NULL is a value); others by address.
    const bool byValue = (psa->fFeatures & (FADF_BSTR | FADF_UNKNOWN | FADF_DISPATCH)) != 0;
    if (!pv && !byValue) {
        return E_INVALIDARG;
    }
    HRESULT hr = SafeArrayLock(psa);
    if (FAILED(hr)) {
        return hr;
    }
    void* cell = nullptr;
    hr = CellOf(psa, rgIndices, &cell);
    if (SUCCEEDED(hr)) {
        if (psa->fFeatures & FADF_BSTR) {
            BSTR copy = nullptr;
            if (winplat::com::CopyBstr(static_cast<BSTR>(pv), &copy)) {
                SysFreeString(*static_cast<BSTR*>(cell));
                *static_cast<BSTR*>(cell) = copy;
            } else {
                hr = E_OUTOFMEMORY;
            }
        } else if (psa->fFeatures & (FADF_UNKNOWN | FADF_DISPATCH)) {
            auto* fresh = static_cast<IUnknown*>(pv);
            if (fresh) {
                fresh->AddRef();
            }
            IUnknown* old = *static_cast<IUnknown**>(cell);
            *static_cast<IUnknown**>(cell) = fresh;
            if (old) {
                old->Release();
            }
        } else if (psa->fFeatures & FADF_VARIANT) {
            hr = VariantCopy(static_cast<VARIANT*>(cell), static_cast<const VARIANT*>(pv));
        } else if (psa->fFeatures & FADF_RECORD) {
            IRecordInfo* info = HiddenOf(psa)->recordInfo;
            if (!info) {
                hr = E_INVALIDARG;
            } else if (pv != cell) {
                // RecordCopy fills a cleared record; the old value is released first.
                hr = info->RecordClear(cell);
                if (SUCCEEDED(hr)) {
                    hr = info->RecordCopy(pv, cell);
                }
            }
        } else {
            std::memcpy(cell, pv, psa->cbElements);
        }
    }
    SafeArrayUnlock(psa);
    return hr;
}

HRESULT SafeArrayPtrOfIndex(SAFEARRAY* psa, LONG* rgIndices, void** ppvData) {
    if (!psa || !rgIndices || !ppvData) {
        return E_INVALIDARG;
    }
    return CellOf(psa, rgIndices, ppvData);
}

HRESULT SafeArrayCopy(SAFEARRAY* psa, SAFEARRAY** ppsaOut) {
    if (!ppsaOut) {
        return E_INVALIDARG;
    }
    *ppsaOut = nullptr;
    if (!psa) {
        return S_OK;
    }
    if (WinplatShouldFail("SafeArrayCopy")) {
        return E_OUTOFMEMORY;
    }
    SAFEARRAY* copy = nullptr;
    HRESULT hr = SafeArrayAllocDescriptor(psa->cDims, &copy);
    if (FAILED(hr)) {
        return hr;
    }
    copy->fFeatures = psa->fFeatures & ~kNotOwned;
    copy->cbElements = psa->cbElements;
    std::memcpy(copy->rgsabound, psa->rgsabound, psa->cDims * sizeof(SAFEARRAYBOUND));
    *HiddenOf(copy) = *HiddenOf(psa);
    if ((copy->fFeatures & FADF_RECORD) && HiddenOf(copy)->recordInfo) {
        HiddenOf(copy)->recordInfo->AddRef();
    }
    if (psa->pvData) {
        size_t count = 0;
        hr = CountElements(psa, &count) ? SafeArrayAllocData(copy) : E_OUTOFMEMORY;
        const auto* from = static_cast<const BYTE*>(psa->pvData);
        auto* to = static_cast<BYTE*>(copy->pvData);
        for (size_t i = 0; SUCCEEDED(hr) && i < count; ++i) {
            hr = CopyElement(psa, from + i * psa->cbElements, to + i * psa->cbElements);
        }
        if (FAILED(hr)) {
            SafeArrayDestroy(copy);
            return hr;
        }
    }
    *ppsaOut = copy;
    return S_OK;
}

HRESULT SafeArrayGetVartype(SAFEARRAY* psa, VARTYPE* pvt) {
    if (!psa || !pvt) {
        return E_INVALIDARG;
    }
    if (psa->fFeatures & FADF_RECORD) {
        *pvt = VT_RECORD;
    } else if (psa->fFeatures & FADF_HAVEIID) {
        *pvt = (psa->fFeatures & FADF_UNKNOWN) ? VT_UNKNOWN : VT_DISPATCH;
    } else if (psa->fFeatures & FADF_HAVEVARTYPE) {
        *pvt = HiddenOf(psa)->vt;
    } else {
        return E_INVALIDARG;
    }
    return S_OK;
}

HRESULT SafeArrayGetRecordInfo(SAFEARRAY* psa, IRecordInfo** prinfo) {
    if (!psa || !prinfo) {
        return E_INVALIDARG;
    }
    *prinfo = nullptr;
    if (!(psa->fFeatures & FADF_RECORD)) {
        return E_INVALIDARG;
    }
    *prinfo = HiddenOf(psa)->recordInfo;
    if (*prinfo) {
        (*prinfo)->AddRef();
    }
    return S_OK;
}

HRESULT SafeArraySetRecordInfo(SAFEARRAY* psa, IRecordInfo* prinfo) {
    if (!psa || !(psa->fFeatures & FADF_RECORD)) {
        return E_INVALIDARG;
    }
    if (prinfo) {
        ULONG size = 0;
        HRESULT hr = prinfo->GetSize(&size);
        if (FAILED(hr)) {
            return hr;
        }
        if (size == 0) {
            return E_INVALIDARG;
        }
        // The element size is fixed once data exists.
        if (psa->pvData && size != psa->cbElements) {
            return E_INVALIDARG;
        }
        psa->cbElements = size;
        prinfo->AddRef();
    }
    IRecordInfo* old = HiddenOf(psa)->recordInfo;
    HiddenOf(psa)->recordInfo = prinfo;
    if (old) {
        old->Release();
    }
    return S_OK;
}

HRESULT SafeArrayGetIID(SAFEARRAY* psa, GUID* pguid) {
    if (!psa || !pguid || !(psa->fFeatures & FADF_HAVEIID)) {
        return E_INVALIDARG;
    }
    *pguid = HiddenOf(psa)->iid;
    return S_OK;
}

HRESULT SafeArraySetIID(SAFEARRAY* psa, REFGUID guid) {
    if (!psa || !(psa->fFeatures & FADF_HAVEIID)) {
        return E_INVALIDARG;
    }
    HiddenOf(psa)->iid = guid;
    return S_OK;
}
