#pragma once
// Declaration helpers for COM interfaces and exported COM functions, as the Windows headers
// spell them.
#include "winnt.h"
#include "guiddef.h"

#ifndef EXTERN_C
#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif
#endif

#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_UUID
#define DECLSPEC_UUID(x)
#endif
// __declspec(uuid("...")) is accepted and ignored; __uuidof reads __CRT_UUID_DECL instead.
#define __winplat_declspec_uuid(x)

#define STDAPI EXTERN_C HRESULT STDAPICALLTYPE
#define STDAPI_(type) EXTERN_C type STDAPICALLTYPE
#define STDMETHODIMP HRESULT STDMETHODCALLTYPE
#define STDMETHODIMP_(type) type STDMETHODCALLTYPE
#define STDMETHOD(method) virtual HRESULT STDMETHODCALLTYPE method
#define STDMETHOD_(type, method) virtual type STDMETHODCALLTYPE method
#define STDMETHODV(method) virtual HRESULT method
#define STDMETHODV_(type, method) virtual type method
#define PURE = 0
#define THIS_
#define THIS void

#ifndef interface
#define interface struct
#endif
#define DECLARE_INTERFACE(iface) interface DECLSPEC_NOVTABLE iface
#define DECLARE_INTERFACE_(iface, baseiface) interface DECLSPEC_NOVTABLE iface : public baseiface
#define DECLARE_INTERFACE_IID_(iface, baseiface, iidstr) \
    interface DECLSPEC_UUID(iidstr) DECLSPEC_NOVTABLE iface : public baseiface
#define MIDL_INTERFACE(x) struct DECLSPEC_UUID(x) DECLSPEC_NOVTABLE

#ifdef __cplusplus
#include <type_traits>

// __uuidof(Type) and __uuidof(expression) for interfaces declared with __CRT_UUID_DECL (the
// spelling the MIDL-generated headers of mingw-w64 use), so interface headers written for this
// layer also build on top of those headers.
template <typename T>
struct winplat_uuidof_s;

template <typename T>
constexpr const GUID& winplat_uuidof() {
    return winplat_uuidof_s<std::remove_cv_t<T>>::value;
}

#define __CRT_UUID_DECL(type, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)             \
    template <>                                                                      \
    struct winplat_uuidof_s<type> {                                                  \
        static constexpr GUID value = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}; \
    };

#ifndef __uuidof
#define __uuidof(x) winplat_uuidof<__typeof__(x)>()
#endif
#endif
