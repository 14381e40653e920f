// CMBDeviceServiceEvents::CopyByteArray over arrays of any shape: element type, number of
// dimensions, bounds (up to LONG's limits), capacity, and missing arguments. A byte
// vector is copied exactly, cut at the capacity; anything else must leave the caller's
// buffer and count alone. The buffer is allocated at its exact capacity, so the address
// sanitizer catches any write past it.
//
// Input: flags, element type, dimensions, then per dimension lower bound and count, then
// the capacity; the rest fills the array's data.

#include <oleauto.h>
#include <winplat/debugout.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "EventSink.h"
#include "FuzzInput.h"

namespace {

using brelkfuzz::Check;
using brelkfuzz::CheckEq;

CMBDeviceServiceEvents* g_Sink = nullptr;

constexpr VARTYPE kTypes[] = {VT_UI1,  VT_I1,   VT_UI2,     VT_I4,      VT_R8,
                              VT_BSTR, VT_BOOL, VT_VARIANT, VT_UNKNOWN, VT_CY};
constexpr ULONG kMaxElements = 4096;
constexpr ULONG kMaxCapacity = 2048;
constexpr ULONG kSentinel = 0xDEADBEEF;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (FAILED(CMBDeviceServiceEvents::CreateInstance(&g_Sink))) {
        std::abort();
    }
    g_Sink->AddRef();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    brelkfuzz::Input in(data, size);
    const uint8_t flags = in.U8();
    const VARTYPE vt = kTypes[in.U8() % std::size(kTypes)];
    const UINT dims = 1 + in.U8() % 3;
    SAFEARRAYBOUND bounds[3] = {};
    ULONG total = 1;
    for (UINT d = 0; d < dims; ++d) {
        bounds[d].lLbound = static_cast<LONG>(in.U32());
        bounds[d].cElements = d == 0 ? in.U16() % (kMaxElements + 1) : in.U8() % 4;
        total *= bounds[d].cElements;
    }
    const ULONG capacity = in.U16() % (kMaxCapacity + 1);
    if (total > kMaxElements) {
        return 0;
    }

    SAFEARRAY* array = nullptr;
    if ((flags & 1) == 0) {
        array = SafeArrayCreate(vt, dims, bounds);
        if (array == nullptr) {
            return 0;  // bounds the platform refuses
        }
        if (vt != VT_BSTR && vt != VT_VARIANT && vt != VT_UNKNOWN && total != 0) {
            void* cells = nullptr;
            if (SUCCEEDED(SafeArrayAccessData(array, &cells))) {
                const auto fill = in.Bytes(static_cast<size_t>(total) * array->cbElements);
                std::memcpy(cells, fill.data(), fill.size());
                SafeArrayUnaccessData(array);
            }
        }
    }

    std::unique_ptr<BYTE[]> buffer(new BYTE[capacity]);
    std::memset(buffer.get(), 0xA5, capacity);
    ULONG copied = kSentinel;
    const HRESULT hr = g_Sink->CopyByteArray(array, (flags & 2) ? nullptr : buffer.get(), capacity,
                                             (flags & 4) ? nullptr : &copied);

    if (array == nullptr || (flags & 6) != 0) {
        CheckEq(E_FAIL, hr, "missing argument");
        CheckEq(kSentinel, copied, "count written for a missing argument");
    } else if (dims == 1 && array->cbElements == 1) {
        const ULONG count = bounds[0].cElements;
        // Past LONG's maximum an element has no index: such an array reads as empty.
        const bool indexable = LONGLONG{bounds[0].lLbound} + count - 1 <= LONG{0x7FFFFFFF};
        if (count == 0 || !indexable) {
            CheckEq(E_FAIL, hr, "empty array");
            CheckEq(kSentinel, copied, "count written for an empty array");
        } else {
            CheckEq(S_OK, hr, "byte array");
            const ULONG expected = std::min(count, capacity);
            CheckEq(expected, copied, "bytes copied");
            const BYTE* cells = static_cast<const BYTE*>(array->pvData);
            Check(std::memcmp(buffer.get(), cells, expected) == 0, "bytes differ from the array");
        }
    } else {
        // Not a byte vector: nothing to copy byte by byte.
        Check(FAILED(hr), "an array of other elements or dimensions accepted");
        CheckEq(kSentinel, copied, "count written for a refused array");
    }

    if (array != nullptr) {
        SafeArrayDestroy(array);
    }
    WinplatClearDebugOutput();
    return 0;
}
