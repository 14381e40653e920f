#pragma once
// Conversions between the multibyte code pages and WCHAR text.
//
// CP_ACP, CP_OEMCP, CP_THREAD_ACP and CP_UTF8 are all UTF-8 here; WCHAR is the host's
// wchar_t (one code point per WCHAR where it is 32 bits wide; a UTF-16 surrogate pair in the
// input is also accepted). Other code pages fail with ERROR_INVALID_PARAMETER.
//
// As on Windows: a length of -1 converts through the terminating NUL and counts it; an output
// size of 0 returns the size needed; a too-small buffer returns 0 with
// ERROR_INSUFFICIENT_BUFFER; invalid input becomes U+FFFD (or the default character), or
// fails with ERROR_NO_UNICODE_TRANSLATION under MB_ERR_INVALID_CHARS / WC_ERR_INVALID_CHARS.
#include "winnt.h"
#include "winnls.h"

typedef CHAR* LPCH;
typedef const CHAR* LPCCH;
typedef WCHAR* LPWCH;
typedef const WCHAR* LPCWCH;

#ifndef ERROR_NO_UNICODE_TRANSLATION
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#endif

#ifdef __cplusplus
extern "C" {
#endif

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar,
                               LPBOOL lpUsedDefaultChar);

#ifdef __cplusplus
}
#endif
