// The platform's wide formatters: wsprintfW, swprintf and _snwprintf.
// In wide formats "%s" takes a wide string and "%S" an 8-bit one, which is
// converted through the board's 8-bit code page. Integer conversions read
// 32-bit arguments unless a 64-bit size ("ll", "I64") is given, as the
// board's compiler passes them. Floating point is not supported: the
// programs never print it.
#include "format.h"

#include <cstdarg>
#include <cstdint>
#include <limits>

namespace wince {

WCHAR ansiToWide(unsigned char byte) {
    // Windows-1252 in 0x80-0x9F; its five unassigned bytes pass through
    // unchanged, as the platform's own table does.
    static const char16_t k1252[32] = {
        0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80-87
        0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,  // 88-8F
        0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90-97
        0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,  // 98-9F
    };
    if (byte >= 0x80 && byte <= 0x9F) return k1252[byte - 0x80];
    return static_cast<WCHAR>(byte);
}

namespace {

// Collects the output. Characters beyond `cap` are counted but not stored,
// so a bounded caller never writes past its buffer.
class Sink {
  public:
    Sink(WCHAR *buffer, size_t cap) : buffer_(buffer), cap_(cap) {}
    void put(WCHAR c) {
        if (length_ < cap_) buffer_[length_] = c;
        ++length_;
    }
    void repeat(WCHAR c, size_t n) {
        for (size_t i = 0; i < n; ++i) put(c);
    }
    size_t length() const { return length_; }
    size_t stored() const { return length_ < cap_ ? length_ : cap_; }

  private:
    WCHAR *buffer_;
    size_t cap_;
    size_t length_ = 0;
};

struct Conversion {
    bool left = false;   // "-"
    bool zero = false;   // "0"
    bool plus = false;   // "+"
    bool space = false;  // " "
    bool alt = false;    // "#"
    int width = 0;
    int precision = -1;  // -1: none given
    enum Size { Default, Short, Long, Wide, LongLong, Pointer } size = Default;
};

void pad(Sink &out, const Conversion &conv, size_t bodyLength, bool before) {
    if (conv.width <= 0 || static_cast<size_t>(conv.width) <= bodyLength) return;
    if (before != conv.left) out.repeat(u' ', static_cast<size_t>(conv.width) - bodyLength);
}

void putWideString(Sink &out, const Conversion &conv, const WCHAR *s) {
    static const WCHAR kNull[] = u"(null)";
    if (s == nullptr) s = kNull;
    size_t n = 0;
    while (s[n] != 0 && (conv.precision < 0 || n < static_cast<size_t>(conv.precision))) ++n;
    pad(out, conv, n, true);
    for (size_t i = 0; i < n; ++i) out.put(s[i]);
    pad(out, conv, n, false);
}

void putNarrowString(Sink &out, const Conversion &conv, const char *s) {
    if (s == nullptr) s = "(null)";
    size_t n = 0;
    while (s[n] != 0 && (conv.precision < 0 || n < static_cast<size_t>(conv.precision))) ++n;
    // One byte of the 8-bit code page is one UTF-16 unit.
    pad(out, conv, n, true);
    for (size_t i = 0; i < n; ++i) out.put(ansiToWide(static_cast<unsigned char>(s[i])));
    pad(out, conv, n, false);
}

void putChar(Sink &out, const Conversion &conv, WCHAR c) {
    pad(out, conv, 1, true);
    out.put(c);
    pad(out, conv, 1, false);
}

void putInteger(Sink &out, const Conversion &conv, uint64_t magnitude, bool negative, unsigned base, bool upper,
                bool isSigned) {
    const char *digitSet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    WCHAR digits[24];
    size_t nDigits = 0;
    for (uint64_t v = magnitude; v != 0; v /= base) digits[nDigits++] = static_cast<WCHAR>(digitSet[v % base]);
    // C's rule: the precision is a minimum digit count, and "%.0d" of 0 prints nothing.
    size_t minDigits = conv.precision < 0 ? 1 : static_cast<size_t>(conv.precision);
    if (conv.alt && base == 8 && nDigits >= minDigits) minDigits = nDigits + 1;
    const size_t zeros = minDigits > nDigits ? minDigits - nDigits : 0;

    WCHAR prefix[2];
    size_t nPrefix = 0;
    if (isSigned) {
        if (negative) prefix[nPrefix++] = u'-';
        else if (conv.plus) prefix[nPrefix++] = u'+';
        else if (conv.space) prefix[nPrefix++] = u' ';
    } else if (conv.alt && base == 16 && magnitude != 0) {
        prefix[nPrefix++] = u'0';
        prefix[nPrefix++] = upper ? u'X' : u'x';
    }

    size_t body = nPrefix + zeros + nDigits;
    size_t zeroFill = 0;
    if (conv.zero && !conv.left && conv.precision < 0 && conv.width > 0 && static_cast<size_t>(conv.width) > body)
        zeroFill = static_cast<size_t>(conv.width) - body;
    body += zeroFill;

    pad(out, conv, body, true);
    for (size_t i = 0; i < nPrefix; ++i) out.put(prefix[i]);
    out.repeat(u'0', zeroFill + zeros);
    while (nDigits > 0) out.put(digits[--nDigits]);
    pad(out, conv, body, false);
}

// Reads a decimal number or "*" (an int argument) from the format.
int readCount(const WCHAR *&f, va_list &ap, bool &fromArgument) {
    fromArgument = false;
    if (*f == u'*') {
        ++f;
        fromArgument = true;
        return va_arg(ap, int);
    }
    int n = 0;
    while (*f >= u'0' && *f <= u'9') {
        if (n < std::numeric_limits<int>::max() / 10) n = n * 10 + (*f - u'0');
        ++f;
    }
    return n;
}

void format(Sink &out, const WCHAR *f, va_list arguments) {
    // A local copy, so that the helpers can take the argument list by reference.
    va_list ap;
    va_copy(ap, arguments);
    while (*f != 0) {
        if (*f != u'%') {
            out.put(*f++);
            continue;
        }
        ++f;
        Conversion conv;
        for (;; ++f) {
            if (*f == u'-') conv.left = true;
            else if (*f == u'0') conv.zero = true;
            else if (*f == u'+') conv.plus = true;
            else if (*f == u' ') conv.space = true;
            else if (*f == u'#') conv.alt = true;
            else break;
        }
        bool fromArgument = false;
        conv.width = readCount(f, ap, fromArgument);
        if (conv.width < 0) {  // a negative "*" width means left-aligned
            conv.left = true;
            conv.width = conv.width == std::numeric_limits<int>::min() ? 0 : -conv.width;
        }
        if (*f == u'.') {
            ++f;
            conv.precision = readCount(f, ap, fromArgument);
            if (conv.precision < 0) conv.precision = -1;
        }
        if (*f == u'h') {
            conv.size = Conversion::Short;
            ++f;
        } else if (*f == u'l') {
            ++f;
            if (*f == u'l') {
                conv.size = Conversion::LongLong;
                ++f;
            } else {
                conv.size = Conversion::Long;
            }
        } else if (*f == u'w') {
            conv.size = Conversion::Wide;
            ++f;
        } else if (*f == u'I') {
            if (f[1] == u'6' && f[2] == u'4') {
                conv.size = Conversion::LongLong;
                f += 3;
            } else if (f[1] == u'3' && f[2] == u'2') {
                conv.size = Conversion::Long;
                f += 3;
            } else {
                conv.size = Conversion::Pointer;
                ++f;
            }
        }

        const WCHAR conversion = *f;
        if (conversion == 0) break;  // a lone "%" at the end prints nothing
        ++f;
        switch (conversion) {
        case u'%':
            out.put(u'%');
            break;
        case u's':
        case u'S': {
            const bool narrow = conv.size == Conversion::Short ||
                                (conversion == u'S' && conv.size != Conversion::Long && conv.size != Conversion::Wide);
            if (narrow) putNarrowString(out, conv, va_arg(ap, const char *));
            else putWideString(out, conv, va_arg(ap, const WCHAR *));
            break;
        }
        case u'c':
        case u'C': {
            const int c = va_arg(ap, int);  // characters are promoted to int
            const bool narrow = conv.size == Conversion::Short ||
                                (conversion == u'C' && conv.size != Conversion::Long && conv.size != Conversion::Wide);
            putChar(out, conv, narrow ? ansiToWide(static_cast<unsigned char>(c)) : static_cast<WCHAR>(c));
            break;
        }
        case u'd':
        case u'i': {
            int64_t v;
            if (conv.size == Conversion::LongLong || conv.size == Conversion::Pointer) v = va_arg(ap, int64_t);
            else if (conv.size == Conversion::Short) v = static_cast<short>(va_arg(ap, int));
            else v = va_arg(ap, int32_t);
            const bool negative = v < 0;
            const uint64_t magnitude = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            putInteger(out, conv, magnitude, negative, 10, false, true);
            break;
        }
        case u'u':
        case u'x':
        case u'X':
        case u'o': {
            uint64_t v;
            if (conv.size == Conversion::LongLong || conv.size == Conversion::Pointer) v = va_arg(ap, uint64_t);
            else if (conv.size == Conversion::Short) v = static_cast<unsigned short>(va_arg(ap, unsigned int));
            else v = va_arg(ap, uint32_t);
            const unsigned base = conversion == u'u' ? 10 : conversion == u'o' ? 8 : 16;
            putInteger(out, conv, v, false, base, conversion == u'X', false);
            break;
        }
        case u'p': {
            Conversion p = conv;
            p.precision = static_cast<int>(2 * sizeof(void *));
            putInteger(out, p, reinterpret_cast<uintptr_t>(va_arg(ap, void *)), false, 16, true, false);
            break;
        }
        default:
            // Unknown conversions print their letter, as the platform's formatter does.
            out.put(conversion);
            break;
        }
    }
    va_end(ap);
}

}  // namespace
}  // namespace wince

// The platform's limit for wsprintfW: 1024 characters with the NUL.
static const size_t kWsprintfLimit = 1024;

int wsprintfW(LPWSTR lpOut, LPCWSTR lpFmt, ...) {
    if (lpOut == nullptr || lpFmt == nullptr) return 0;
    wince::Sink out(lpOut, kWsprintfLimit - 1);
    va_list ap;
    va_start(ap, lpFmt);
    wince::format(out, lpFmt, ap);
    va_end(ap);
    lpOut[out.stored()] = 0;
    return static_cast<int>(out.stored());
}

int swprintf(WCHAR *buffer, const WCHAR *format, ...) {
    if (buffer == nullptr || format == nullptr) return -1;
    // The old form has no bound: the caller promises the room.
    wince::Sink out(buffer, std::numeric_limits<size_t>::max());
    va_list ap;
    va_start(ap, format);
    wince::format(out, format, ap);
    va_end(ap);
    buffer[out.length()] = 0;
    return static_cast<int>(out.length());
}

int _snwprintf(WCHAR *buffer, size_t count, const WCHAR *format, ...) {
    if (format == nullptr || (buffer == nullptr && count != 0)) return -1;
    wince::Sink out(buffer, count);
    va_list ap;
    va_start(ap, format);
    wince::format(out, format, ap);
    va_end(ap);
    // Room for the text and its NUL: both written. Exactly the text: no NUL.
    // Less: the text is cut, no NUL, and the result is -1.
    if (out.length() < count) buffer[out.length()] = 0;
    if (out.length() > count) return -1;
    return static_cast<int>(out.length());
}
