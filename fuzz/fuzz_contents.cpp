// The table-of-contents reader on any image file: the records put bytes in
// the flash window and the reader follows the table through them. It must
// never read what no record holds, never take an entry it did not read
// whole, and give a reason for every table it does not take.
#include <cstddef>
#include <cstdint>
#include <string>

#include "contents_report.h"
#include "fuzz_support.h"
#include "image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const binimage::MemoryImage image(bytes);
    const binimage::Report report = binimage::inspect(image);
    const board::ImageContents c = binimage::contentsOf(image, report);
    if (c.ok()) {
        if (!c.signatureFound || !c.headerRead) fuzz::finding("a table taken without its signature or header");
        if (c.modules.empty()) fuzz::finding("a table taken without a module");
        if (c.modules.size() != c.header.numMods || c.files.size() != c.header.numFiles)
            fuzz::finding("a table taken with entries missing");
        if (c.header.physLast < c.header.physFirst) fuzz::finding("a reversed physical range taken");
    } else if (c.problem.empty()) {
        fuzz::finding("a table refused without a reason");
    }
    if (c.modules.size() > c.header.numMods || c.files.size() > c.header.numFiles)
        fuzz::finding("more entries than the table counts");
    for (const auto *list : {&c.modules, &c.files})
        for (const auto &e : *list)
            if (e.name.empty() || e.name.size() > board::kMaxNameLength || e.name.find('\0') != std::string::npos)
                fuzz::finding("an entry's name is empty, too long or holds a NUL");
    // The JSON report of it all is whole.
    (void)binimage::reportJson("fuzz.bin", image, report, c)
        .dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    return 0;
}
