// Resources: the program's .res, as the resource compiler wrote it, read in
// place. Every read is checked against the end of the data: a damaged .res
// finds nothing rather than reading past its end.
//
// An entry of the 32-bit .res format:
//   DWORD DataSize, DWORD HeaderSize,
//   TYPE and NAME (each 0xFFFF + WORD ordinal, or a NUL-ended UTF-16 string),
//   padding to a DWORD, DWORD DataVersion, WORD MemoryFlags, WORD LanguageId,
//   DWORD Version, DWORD Characteristics,
//   the data at entry + HeaderSize, padding to a DWORD.
#include "resources.h"

#include <windows.h>

#include <optional>
#include <string>

namespace {
constexpr DWORD kErrorResourceDataNotFound = 1812;
constexpr DWORD kErrorResourceTypeNotFound = 1813;
constexpr DWORD kErrorResourceNameNotFound = 1814;
constexpr WORD kLanguageUsEnglish = 1033;
constexpr size_t kFixedHeaderTail = 16;  // DataVersion .. Characteristics
}  // namespace

// The program's module, when the program links one (tests may not).
extern "C" const wince::ModuleResources wince_program_module __attribute__((weak));

namespace wince {
namespace {

struct ResName {
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::u16string text;
};

struct Entry {
    size_t offset = 0;  // of the header
    ResName type;
    ResName name;
    WORD language = 0;
    size_t dataOffset = 0;
    size_t dataSize = 0;
    size_t next = 0;  // offset of the following entry
};

WORD readWord(const unsigned char *p) { return static_cast<WORD>(p[0] | (p[1] << 8)); }
DWORD readDword(const unsigned char *p) {
    return static_cast<DWORD>(p[0]) | (static_cast<DWORD>(p[1]) << 8) | (static_cast<DWORD>(p[2]) << 16) |
           (static_cast<DWORD>(p[3]) << 24);
}

// Reads a TYPE or NAME field at `pos`, which must end before `end`.
bool readName(const unsigned char *base, size_t &pos, size_t end, ResName &out) {
    if (end - pos < 2) return false;
    if (readWord(base + pos) == 0xFFFF) {
        if (end - pos < 4) return false;
        out.isOrdinal = true;
        out.ordinal = readWord(base + pos + 2);
        pos += 4;
        return true;
    }
    out.isOrdinal = false;
    for (;;) {
        if (end - pos < 2) return false;
        const WORD c = readWord(base + pos);
        pos += 2;
        if (c == 0) return true;
        out.text += static_cast<char16_t>(c);
    }
}

std::optional<Entry> readEntry(const unsigned char *base, size_t size, size_t offset) {
    if (offset > size || size - offset < 8) return std::nullopt;
    Entry e;
    e.offset = offset;
    e.dataSize = readDword(base + offset);
    const size_t headerSize = readDword(base + offset + 4);
    if (headerSize < 8 || headerSize > size - offset) return std::nullopt;
    const size_t headerEnd = offset + headerSize;
    size_t pos = offset + 8;
    if (!readName(base, pos, headerEnd, e.type) || !readName(base, pos, headerEnd, e.name)) return std::nullopt;
    pos = (pos + 3) & ~static_cast<size_t>(3);
    if (pos > headerEnd || headerEnd - pos < kFixedHeaderTail) return std::nullopt;
    e.language = readWord(base + pos + 6);
    if (e.dataSize > size - headerEnd) return std::nullopt;
    e.dataOffset = headerEnd;
    const size_t dataEnd = headerEnd + e.dataSize;
    e.next = dataEnd + ((4 - dataEnd % 4) % 4);
    return e;
}

// What FindResourceW was asked for: a number (MAKEINTRESOURCE or "#123") or a name.
struct Wanted {
    bool isOrdinal = false;
    WORD ordinal = 0;
    std::u16string text;
};

std::optional<Wanted> wanted(LPCWSTR name) {
    Wanted w;
    if (IS_INTRESOURCE(name)) {
        w.isOrdinal = true;
        w.ordinal = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name));
        if (w.ordinal == 0) return std::nullopt;
        return w;
    }
    std::u16string text(name);
    if (!text.empty() && text[0] == u'#') {
        unsigned value = 0;
        if (text.size() == 1 || text.size() > 6) return std::nullopt;
        for (size_t i = 1; i < text.size(); ++i) {
            if (text[i] < u'0' || text[i] > u'9') return std::nullopt;
            value = value * 10 + (text[i] - u'0');
        }
        if (value == 0 || value > 0xFFFF) return std::nullopt;
        w.isOrdinal = true;
        w.ordinal = static_cast<WORD>(value);
        return w;
    }
    w.text = std::move(text);
    return w;
}

char16_t upper(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c; }

// Names of resources are matched without regard to case, as the resource
// compiler stores them in capitals.
bool matches(const ResName &have, const Wanted &want) {
    if (have.isOrdinal != want.isOrdinal) return false;
    if (have.isOrdinal) return have.ordinal == want.ordinal;
    if (have.text.size() != want.text.size()) return false;
    for (size_t i = 0; i < have.text.size(); ++i)
        if (upper(have.text[i]) != upper(want.text[i])) return false;
    return true;
}

bool usable(const ModuleResources *m) { return m != nullptr && m->data != nullptr && m->size != 0; }

// The entry whose header starts at `p`, if `p` is one of the module's headers.
std::optional<Entry> entryAt(const ModuleResources *m, const void *p) {
    if (!usable(m) || p == nullptr) return std::nullopt;
    const auto base = reinterpret_cast<uintptr_t>(m->data);
    const auto at = reinterpret_cast<uintptr_t>(p);
    if (at < base || at - base >= m->size) return std::nullopt;
    const size_t wantedOffset = at - base;
    // Walk from the start so that only real entry headers are accepted.
    for (size_t offset = 0; offset < m->size;) {
        auto e = readEntry(m->data, m->size, offset);
        if (!e) return std::nullopt;
        if (offset == wantedOffset) return e;
        if (offset > wantedOffset) return std::nullopt;
        offset = e->next;
    }
    return std::nullopt;
}

}  // namespace

const ModuleResources *moduleOf(HMODULE module) {
    if (module != nullptr) return reinterpret_cast<const ModuleResources *>(module);
    return &wince_program_module;  // null when the process links no module
}

std::span<const unsigned char> resourceDataFrom(const ModuleResources *m, const void *p) {
    if (!usable(m) || p == nullptr) return {};
    const auto base = reinterpret_cast<uintptr_t>(m->data);
    const auto at = reinterpret_cast<uintptr_t>(p);
    if (at < base || at - base >= m->size) return {};
    const size_t offset = at - base;
    for (size_t pos = 0; pos < m->size;) {
        auto e = readEntry(m->data, m->size, pos);
        if (!e) return {};
        if (offset >= e->dataOffset && offset < e->dataOffset + e->dataSize)
            return {m->data + offset, e->dataOffset + e->dataSize - offset};
        pos = e->next;
    }
    return {};
}

}  // namespace wince

HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    const wince::ModuleResources *m = wince::moduleOf(hModule);
    const auto name = lpName == nullptr ? std::nullopt : wince::wanted(lpName);
    const auto type = lpType == nullptr ? std::nullopt : wince::wanted(lpType);
    if (!name || !type) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (!wince::usable(m)) {
        SetLastError(kErrorResourceDataNotFound);
        return nullptr;
    }
    bool typeSeen = false;
    std::optional<size_t> found;
    for (size_t offset = 0; offset < m->size;) {
        auto e = wince::readEntry(m->data, m->size, offset);
        if (!e) break;  // a damaged tail hides what follows it
        if (wince::matches(e->type, *type)) {
            typeSeen = true;
            if (wince::matches(e->name, *name)) {
                if (e->language == kLanguageUsEnglish) {
                    found = offset;
                    break;
                }
                if (!found) found = offset;  // any language will do when there is no US English one
            }
        }
        offset = e->next;
    }
    if (!found) {
        SetLastError(typeSeen ? kErrorResourceNameNotFound : kErrorResourceTypeNotFound);
        return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<unsigned char *>(m->data + *found));
}

HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
    auto e = wince::entryAt(wince::moduleOf(hModule), hResInfo);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    return const_cast<unsigned char *>(wince::moduleOf(hModule)->data + e->dataOffset);
}

DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo) {
    auto e = wince::entryAt(wince::moduleOf(hModule), hResInfo);
    if (!e) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<DWORD>(e->dataSize);
}
