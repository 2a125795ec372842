// The resource reader and the dialog template reader: any bytes as the
// program's compiled resources, looked up as the programs do, and any bytes
// as a dialog template. They must never read outside the data (the address
// sanitizer watches) and a template read must fit in what it was given.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz_support.h"
#include "wince/dialog_template.h"
#include "wince/host.h"

namespace {

void checkTemplate(const void *p, size_t size) {
    const auto result = wince::parseDialogTemplate(p, size);
    if (result.dialog && result.dialog->size > size) fuzz::finding("a dialog template larger than its data");
    if (!result.dialog && result.error.empty()) fuzz::finding("a template refused without a reason");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // A copy of exactly `size` bytes, so that any read past the end is seen.
    std::vector<uint8_t> bytes(data, data + size);
    checkTemplate(bytes.data(), bytes.size());

    const wince::ModuleResources module = {bytes.data(), bytes.size(), "fuzz"};
    const HMODULE instance = reinterpret_cast<HMODULE>(const_cast<wince::ModuleResources *>(&module));
    const LPCWSTR types[] = {RT_DIALOG, RT_GROUP_ICON, RT_ICON, RT_STRING, u"CUSTOM"};
    const LPCWSTR names[] = {MAKEINTRESOURCEW(101), MAKEINTRESOURCEW(102), MAKEINTRESOURCEW(1), u"MAIN", u"#101"};
    for (LPCWSTR type : types)
        for (LPCWSTR name : names) {
            HRSRC found = FindResourceW(instance, name, type);
            if (found == NULL) continue;
            HGLOBAL loaded = LoadResource(instance, found);
            const DWORD length = SizeofResource(instance, found);
            const void *p = LockResource(loaded);
            if (p == nullptr) continue;
            const auto *first = static_cast<const uint8_t *>(p);
            if (first < bytes.data() || first + length > bytes.data() + bytes.size())
                fuzz::finding("a resource that lies outside the module's data");
            if (type == RT_DIALOG) checkTemplate(p, length);
        }
    return 0;
}
