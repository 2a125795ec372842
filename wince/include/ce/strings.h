// Wide string formatting and helpers as the board's C library has them.
// In wide formats "%s" takes a wide string and "%S" an 8-bit one.
#pragma once

int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...);
int swprintf(WCHAR *buffer, const WCHAR *format, ...);
int _snwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...);

size_t wcslen(const WCHAR *s);
WCHAR *wcscpy(WCHAR *dst, const WCHAR *src);
WCHAR *wcsncpy(WCHAR *dst, const WCHAR *src, size_t count);
int wcscmp(const WCHAR *a, const WCHAR *b);
const WCHAR *wcschr(const WCHAR *s, WCHAR c);
WCHAR *wcschr(WCHAR *s, WCHAR c);

int WINAPI lstrlenW(LPCWSTR lpString);
LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2);
LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength);
int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2);
int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2);
