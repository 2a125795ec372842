// Names as the board compares them: without regard to case, over UTF-8
// text, with the file system's "*" and "?" patterns.
#include "board/names.h"

#include <algorithm>

#include "board/filesystem.h"

namespace board {

// Code points of UTF-8 text; a byte that is not UTF-8 keeps a code point of
// its own (in the low surrogates, which UTF-8 never encodes), so such names
// still compare exactly.
std::u32string decode(std::string_view s) {
    std::u32string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        const unsigned char b = static_cast<unsigned char>(s[i]);
        size_t len = 0;
        char32_t c = 0;
        if (b < 0x80) {
            c = b;
            len = 1;
        } else if ((b & 0xE0) == 0xC0) {
            c = b & 0x1F;
            len = 2;
        } else if ((b & 0xF0) == 0xE0) {
            c = b & 0x0F;
            len = 3;
        } else if ((b & 0xF8) == 0xF0) {
            c = b & 0x07;
            len = 4;
        }
        bool ok = len > 0 && i + len <= s.size();
        for (size_t k = 1; ok && k < len; ++k) {
            const unsigned char cont = static_cast<unsigned char>(s[i + k]);
            ok = (cont & 0xC0) == 0x80;
            c = (c << 6) | (cont & 0x3F);
        }
        if (!ok) {
            out += static_cast<char32_t>(0xDC00 + b);
            ++i;
            continue;
        }
        out += c;
        i += len;
    }
    return out;
}

void encode(char32_t c, std::string &out) {
    if (c >= 0xDC80 && c <= 0xDCFF) {
        out += static_cast<char>(c - 0xDC00);  // a byte that was not UTF-8
    } else if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Lower case for the letters of the Latin, Greek and Cyrillic alphabets,
// which covers the names a board's file system will meet.
namespace {

char32_t fold(char32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 0x20 : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;
    if ((c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) return c | 1;
    if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return (c & 1) ? c + 1 : c;
    if (c == 0x178) return 0xFF;
    if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 0x20;
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    return c;
}

}  // namespace

std::u32string folded(std::string_view s) {
    std::u32string out = decode(s);
    for (auto &c : out) c = fold(c);
    return out;
}

bool globMatch(const std::u32string &name, const std::u32string &pattern) {
    size_t n = 0, p = 0;
    size_t starP = std::u32string::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == U'?' || pattern[p] == name[n])) {
            ++n;
            ++p;
        } else if (p < pattern.size() && pattern[p] == U'*') {
            starP = p++;
            starN = n;
        } else if (starP != std::u32string::npos) {
            // Let the last star take one more character and try again.
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == U'*') ++p;
    return p == pattern.size();
}

// --- Paths ---------------------------------------------------------------

bool namesEqual(std::string_view a, std::string_view b) {
    // Plain ASCII names, the common case, compare without decoding.
    bool ascii = true;
    for (unsigned char c : a) ascii = ascii && c < 0x80;
    for (unsigned char c : b) ascii = ascii && c < 0x80;
    if (!ascii) return folded(a) == folded(b);
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 0x20);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 0x20);
        if (x != y) return false;
    }
    return true;
}

bool nameMatches(std::string_view name, std::string_view pattern) {
    if (pattern == "*.*") pattern = "*";
    return globMatch(folded(name), folded(pattern));
}
}  // namespace board
