// Wide string helpers of the board's C library and the platform's lstr*
// family, for 16-bit WCHAR. The programs must not reach the host's wchar_t
// functions, so these are the only ones they see.
#include <windows.h>

namespace {

// Simple upper-case mapping for the scripts a board's file names use:
// ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic.
WCHAR foldCase(WCHAR c) {
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 0x20);
    if (c < 0xB5) return c;
    if (c == 0xB5) return 0x39C;  // micro sign
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 0x20);
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Pairs upper/lower, shifted by one in 0x139-0x148 and 0x179-0x17E.
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F) return c;
        const bool shifted = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        const bool lower = shifted ? (c % 2 == 0) : (c % 2 == 1);
        return lower ? static_cast<WCHAR>(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<WCHAR>(c - 0x20);
    if (c == 0x3C2) return 0x3A3;  // final sigma
    if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 0x20);
    if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 0x50);
    return c;
}

int sign(int d) { return d < 0 ? -1 : d > 0 ? 1 : 0; }

}  // namespace

size_t wcslen(const WCHAR *s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

WCHAR *wcscpy(WCHAR *dst, const WCHAR *src) {
    WCHAR *d = dst;
    while ((*d++ = *src++) != 0) {
    }
    return dst;
}

WCHAR *wcsncpy(WCHAR *dst, const WCHAR *src, size_t count) {
    // As the C library: no NUL when src is count characters or longer, and
    // the rest of a shorter copy filled with NULs.
    size_t i = 0;
    for (; i < count && src[i] != 0; ++i) dst[i] = src[i];
    for (; i < count; ++i) dst[i] = 0;
    return dst;
}

int wcscmp(const WCHAR *a, const WCHAR *b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return sign(static_cast<int>(*a) - static_cast<int>(*b));
}

const WCHAR *wcschr(const WCHAR *s, WCHAR c) {
    for (;; ++s) {
        if (*s == c) return s;  // finds the terminating NUL too
        if (*s == 0) return nullptr;
    }
}

WCHAR *wcschr(WCHAR *s, WCHAR c) { return const_cast<WCHAR *>(wcschr(static_cast<const WCHAR *>(s), c)); }

int WINAPI lstrlenW(LPCWSTR lpString) {
    if (lpString == nullptr) return 0;
    return static_cast<int>(wcslen(lpString));
}

LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
    if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
    return wcscpy(lpString1, lpString2);
}

LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    // At most iMaxLength - 1 characters, always followed by a NUL.
    if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
    if (iMaxLength <= 0) return lpString1;
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i] != 0; ++i) lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}

int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
    // A missing string sorts before every other one.
    if (lpString1 == nullptr || lpString2 == nullptr) return sign((lpString1 != nullptr) - (lpString2 != nullptr));
    return wcscmp(lpString1, lpString2);
}

int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
    if (lpString1 == nullptr || lpString2 == nullptr) return sign((lpString1 != nullptr) - (lpString2 != nullptr));
    for (;; ++lpString1, ++lpString2) {
        const WCHAR a = foldCase(*lpString1);
        const WCHAR b = foldCase(*lpString2);
        if (a != b) return sign(static_cast<int>(a) - static_cast<int>(b));
        if (a == 0) return 0;
    }
}
