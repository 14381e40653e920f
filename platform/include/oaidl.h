#pragma once
// OLE Automation data types and interfaces: SAFEARRAY, VARIANT, IDispatch, IRecordInfo.
#include "unknwn.h"

struct ITypeInfo;  // declared only: type libraries are not part of this layer
struct IDispatch;
struct IRecordInfo;

typedef LONG DISPID;
typedef DISPID MEMBERID;

typedef struct tagSAFEARRAYBOUND {
    ULONG cElements;  // the count comes first, as on Windows
    LONG lLbound;
} SAFEARRAYBOUND, *LPSAFEARRAYBOUND;

// rgsabound is stored right-most dimension first: rgsabound[0] describes the dimension that
// SafeArrayCreate received last (and that rgIndices[0] indexes).
typedef struct tagSAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
} SAFEARRAY, *LPSAFEARRAY;

#define FADF_AUTO 0x0001
#define FADF_STATIC 0x0002
#define FADF_EMBEDDED 0x0004
#define FADF_FIXEDSIZE 0x0010
#define FADF_RECORD 0x0020
#define FADF_HAVEIID 0x0040
#define FADF_HAVEVARTYPE 0x0080
#define FADF_BSTR 0x0100
#define FADF_UNKNOWN 0x0200
#define FADF_DISPATCH 0x0400
#define FADF_VARIANT 0x0800
#define FADF_RESERVED 0xF008

typedef struct tagVARIANT VARIANT;
typedef VARIANT* LPVARIANT;
typedef VARIANT VARIANTARG;
typedef VARIANT* LPVARIANTARG;

struct tagVARIANT {
    union {
        struct {
            VARTYPE vt;
            WORD wReserved1;
            WORD wReserved2;
            WORD wReserved3;
            union {
                LONGLONG llVal;
                LONG lVal;
                BYTE bVal;
                SHORT iVal;
                FLOAT fltVal;
                DOUBLE dblVal;
                VARIANT_BOOL boolVal;
                SCODE scode;
                CY cyVal;
                DATE date;
                BSTR bstrVal;
                IUnknown* punkVal;
                IDispatch* pdispVal;
                SAFEARRAY* parray;
                BYTE* pbVal;
                SHORT* piVal;
                LONG* plVal;
                LONGLONG* pllVal;
                FLOAT* pfltVal;
                DOUBLE* pdblVal;
                VARIANT_BOOL* pboolVal;
                SCODE* pscode;
                CY* pcyVal;
                DATE* pdate;
                BSTR* pbstrVal;
                IUnknown** ppunkVal;
                IDispatch** ppdispVal;
                SAFEARRAY** pparray;
                VARIANT* pvarVal;
                PVOID byref;
                CHAR cVal;
                USHORT uiVal;
                ULONG ulVal;
                ULONGLONG ullVal;
                INT intVal;
                UINT uintVal;
                DECIMAL* pdecVal;
                CHAR* pcVal;
                USHORT* puiVal;
                ULONG* pulVal;
                ULONGLONG* pullVal;
                INT* pintVal;
                UINT* puintVal;
                struct {
                    PVOID pvRecord;
                    IRecordInfo* pRecInfo;
                };
            };
        };
        DECIMAL decVal;
    };
};

typedef struct tagDISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
} DISPPARAMS;

typedef struct tagEXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    PVOID pvReserved;
    HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(struct tagEXCEPINFO*);
    SCODE scode;
} EXCEPINFO, *LPEXCEPINFO;

DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);
DEFINE_GUID(IID_IRecordInfo, 0x0000002F, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
            0x46);

MIDL_INTERFACE("00020400-0000-0000-C000-000000000046")
IDispatch : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT * pctinfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo * *ppTInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR * rgszNames, UINT cNames,
                                                    LCID lcid, DISPID * rgDispId) = 0;
    virtual HRESULT STDMETHODCALLTYPE Invoke(
        DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS * pDispParams,
        VARIANT * pVarResult, EXCEPINFO * pExcepInfo, UINT * puArgErr) = 0;
};
typedef IDispatch* LPDISPATCH;

// Describes a user-defined record type so that SAFEARRAYs and VARIANTs of VT_RECORD can
// initialise, copy and clear its instances. Method order is the vtable order of oaidl.idl.
MIDL_INTERFACE("0000002F-0000-0000-C000-000000000046")
IRecordInfo : public IUnknown {
public:
    virtual HRESULT STDMETHODCALLTYPE RecordInit(PVOID pvNew) = 0;
    virtual HRESULT STDMETHODCALLTYPE RecordClear(PVOID pvExisting) = 0;
    virtual HRESULT STDMETHODCALLTYPE RecordCopy(PVOID pvExisting, PVOID pvNew) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetGuid(GUID * pguid) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetName(BSTR * pbstrName) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetSize(ULONG * pcbSize) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetTypeInfo(ITypeInfo * *ppTypeInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetField(PVOID pvData, LPCOLESTR szFieldName,
                                               VARIANT * pvarField) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFieldNoCopy(
        PVOID pvData, LPCOLESTR szFieldName, VARIANT * pvarField, PVOID * ppvDataCArray) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutField(ULONG wFlags, PVOID pvData, LPCOLESTR szFieldName,
                                               VARIANT * pvarField) = 0;
    virtual HRESULT STDMETHODCALLTYPE PutFieldNoCopy(
        ULONG wFlags, PVOID pvData, LPCOLESTR szFieldName, VARIANT * pvarField) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetFieldNames(ULONG * pcNames, BSTR * rgBstrNames) = 0;
    virtual BOOL STDMETHODCALLTYPE IsMatchingType(IRecordInfo * pRecordInfo) = 0;
    virtual PVOID STDMETHODCALLTYPE RecordCreate() = 0;
    virtual HRESULT STDMETHODCALLTYPE RecordCreateCopy(PVOID pvSource, PVOID * ppvDest) = 0;
    virtual HRESULT STDMETHODCALLTYPE RecordDestroy(PVOID pvRecord) = 0;
};
typedef IRecordInfo* LPRECORDINFO;

__CRT_UUID_DECL(IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x46)
__CRT_UUID_DECL(IRecordInfo, 0x0000002F, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                0x46)
