#pragma once
// Connection points: how an object hands outgoing (event) calls to sinks its clients advise.
// Method order is the vtable order of ocidl.idl.
#include "oaidl.h"

struct IConnectionPoint;
struct IConnectionPointContainer;

typedef struct tagCONNECTDATA {
    IUnknown* pUnk;
    DWORD dwCookie;
} CONNECTDATA, *PCONNECTDATA, *LPCONNECTDATA;

DEFINE_GUID(IID_IConnectionPointContainer, 0xB196B284, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00,
            0x34, 0x1D, 0x07);
DEFINE_GUID(IID_IEnumConnectionPoints, 0xB196B285, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00,
            0x34, 0x1D, 0x07);
DEFINE_GUID(IID_IConnectionPoint, 0xB196B286, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34,
            0x1D, 0x07);
DEFINE_GUID(IID_IEnumConnections, 0xB196B287, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34,
            0x1D, 0x07);

MIDL_INTERFACE("B196B287-BAB4-101A-B69C-00AA00341D07")
IEnumConnections : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, LPCONNECTDATA rgcd,
                                           ULONG * pcFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnections * *ppEnum) = 0;
};
typedef IEnumConnections* PENUMCONNECTIONS;
typedef IEnumConnections* LPENUMCONNECTIONS;

MIDL_INTERFACE("B196B286-BAB4-101A-B69C-00AA00341D07")
IConnectionPoint : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID * pIID) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer *
                                                                  *ppCPC) = 0;
    virtual HRESULT STDMETHODCALLTYPE Advise(IUnknown * pUnkSink, DWORD * pdwCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections * *ppEnum) = 0;
};
typedef IConnectionPoint* PCONNECTIONPOINT;
typedef IConnectionPoint* LPCONNECTIONPOINT;

MIDL_INTERFACE("B196B285-BAB4-101A-B69C-00AA00341D07")
IEnumConnectionPoints : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE Next(ULONG cConnections, LPCONNECTIONPOINT * ppCP,
                                           ULONG * pcFetched) = 0;
    virtual HRESULT STDMETHODCALLTYPE Skip(ULONG cConnections) = 0;
    virtual HRESULT STDMETHODCALLTYPE Reset() = 0;
    virtual HRESULT STDMETHODCALLTYPE Clone(IEnumConnectionPoints * *ppEnum) = 0;
};
typedef IEnumConnectionPoints* PENUMCONNECTIONPOINTS;
typedef IEnumConnectionPoints* LPENUMCONNECTIONPOINTS;

MIDL_INTERFACE("B196B284-BAB4-101A-B69C-00AA00341D07")
IConnectionPointContainer : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints * *ppEnum) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid,
                                                          IConnectionPoint * *ppCP) = 0;
};
typedef IConnectionPointContainer* PCONNECTIONPOINTCONTAINER;
typedef IConnectionPointContainer* LPCONNECTIONPOINTCONTAINER;

__CRT_UUID_DECL(IEnumConnections, 0xB196B287, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34,
                0x1D, 0x07)
__CRT_UUID_DECL(IConnectionPoint, 0xB196B286, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00, 0x34,
                0x1D, 0x07)
__CRT_UUID_DECL(IEnumConnectionPoints, 0xB196B285, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00,
                0x34, 0x1D, 0x07)
__CRT_UUID_DECL(IConnectionPointContainer, 0xB196B284, 0xBAB4, 0x101A, 0xB6, 0x9C, 0x00, 0xAA, 0x00,
                0x34, 0x1D, 0x07)

// Windows' error codes for connection points (also in winerror.h here).
#ifndef CONNECT_E_NOCONNECTION
#define CONNECT_E_NOCONNECTION _HRESULT_TYPEDEF_(0x80040200L)
#define CONNECT_E_ADVISELIMIT _HRESULT_TYPEDEF_(0x80040201L)
#define CONNECT_E_CANNOTCONNECT _HRESULT_TYPEDEF_(0x80040202L)
#endif
