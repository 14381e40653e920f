#pragma once
// Basic Windows scalar and text types. WCHAR is the host's wchar_t: code that needs
// UTF-16 at a boundary (trace arguments, stored values) converts there.
#include "basetsd.h"

#ifndef VOID
#define VOID void
#endif

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef int BOOL;
typedef BOOL* PBOOL;
typedef BOOL* LPBOOL;
typedef uint8_t BYTE;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef BYTE BOOLEAN;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef CHAR* LPSTR;
typedef CHAR* PSTR;
typedef const CHAR* LPCSTR;
typedef const CHAR* PCSTR;
typedef wchar_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* LPWSTR;
typedef WCHAR* PWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* PCWSTR;
typedef WCHAR OLECHAR;
typedef OLECHAR* LPOLESTR;
typedef const OLECHAR* LPCOLESTR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef uint16_t WORD;
typedef int INT;
typedef unsigned int UINT;
typedef UINT* PUINT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef uint32_t DWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef ULONGLONG DWORDLONG;
typedef LONG HRESULT;
typedef float FLOAT;
typedef double DOUBLE;

typedef void* HANDLE;
typedef HANDLE* PHANDLE;
typedef HANDLE* LPHANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HWND__* HWND;
typedef struct HKEY__* HKEY;
typedef intptr_t (*FARPROC)(void);

typedef union _LARGE_INTEGER {
    struct {
        DWORD LowPart;
        LONG HighPart;
    };
    LONGLONG QuadPart;
} LARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        DWORD LowPart;
        DWORD HighPart;
    };
    ULONGLONG QuadPart;
} ULARGE_INTEGER;

#define TRUE 1
#define FALSE 0

// Calling conventions and annotations have no meaning on this host.
#define WINAPI
#define APIENTRY
#define CALLBACK
#define STDAPICALLTYPE
#define STDMETHODCALLTYPE
#define __stdcall
#define __cdecl

// __declspec(dllexport) marks what a module exports, as on Windows.
#if !defined(_WIN32)
#define __declspec(x) __winplat_declspec_##x
#define __winplat_declspec_dllexport __attribute__((visibility("default")))
#define __winplat_declspec_dllimport
#define __winplat_declspec_selectany __attribute__((weak))
#define __winplat_declspec_novtable
#define __winplat_declspec_noinline __attribute__((noinline))
#endif

#define UNREFERENCED_PARAMETER(P) (void)(P)
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define MAKELANGID(p, s) ((((WORD)(s)) << 10) | (WORD)(p))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
