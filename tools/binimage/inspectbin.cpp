// inspectbin: tells what the update tool would do with a .bin image.
//   inspectbin IMAGE.bin [--board DIR [--verify]]
// Prints the header, each record (raw and flash address, length, checksum),
// the blocks that would be erased and every problem found. With a board, the
// flash outside the erased blocks is checked for blankness too. Exits 1 when
// the update tool would refuse the image.
// With --verify it tells instead whether the board's flash holds every record
// of the image byte for byte (exit 0) or not (exit 1).
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "board_blank.h"
#include "image.h"

namespace {

int usage() {
    std::fputs("usage: inspectbin IMAGE.bin [--board DIR [--verify]]\n", stderr);
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    const bool verify = argc == 5 && std::string(argv[4]) == "--verify";
    if (argc != 2 && !((argc == 4 || verify) && std::string(argv[2]) == "--board")) return usage();
    std::ifstream in(argv[1], std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "inspectbin: cannot read %s\n", argv[1]);
        return 2;
    }
    std::stringstream s;
    s << in.rdbuf();
    const std::string bytes = s.str();

    binimage::BlankQuery query = nullptr;
    void *context = nullptr;
    std::string boardDir;
    if (argc == 4 || verify) {
        boardDir = argv[3];
        query = boardBlankQuery(boardDir, &context);
        if (query == nullptr) {
            std::fprintf(stderr, "inspectbin: no virtual board at %s\n", argv[3]);
            return 2;
        }
    }
    if (verify) {
        const binimage::Report r = binimage::inspect(bytes);
        if (r.refusal) {
            std::printf("%s is not an image the update tool writes (\"%s\")\n", argv[1], r.refusal->c_str());
            return 1;
        }
        if (auto missing = verifyOnBoard(bytes, r, context)) {
            std::printf("the flash of %s does NOT hold %s: %s differs\n", argv[3], argv[1], missing->c_str());
            return 1;
        }
        std::printf("the flash of %s holds %s: all %zu records match byte for byte\n", argv[3], argv[1],
                    r.records.size() - 1);
        return 0;
    }
    const binimage::Report r = binimage::inspect(bytes, query, context);

    std::printf("file:       %s (%zu bytes)\n", argv[1], bytes.size());
    std::printf("signature:  %s\n", r.signatureOk ? "ok" : "NOT a binary image");
    if (r.headerComplete) {
        std::printf("image:      start %08x -> flash %08x, length %08x (%u bytes)\n", r.rawStart, r.start, r.length,
                    r.length);
        std::printf("records:\n");
        for (size_t i = 0; i < r.records.size(); ++i) {
            const auto &rec = r.records[i];
            if (rec.flashAddress == 0) {
                std::printf("  %3zu  %08x -> end of image\n", i + 1, rec.rawAddress);
                continue;
            }
            std::printf("  %3zu  %08x -> %08x  length %08x (%u)  checksum %08x %s\n", i + 1, rec.rawAddress,
                        rec.flashAddress, rec.length, rec.length, rec.checksum,
                        !rec.dataComplete ? "(data missing)" : rec.checksumValid ? "valid" : "WRONG");
        }
        std::printf("erases:     %zu block(s)", r.eraseBlocks.size());
        if (!r.eraseBlocks.empty())
            std::printf(" from %08x to %08x", r.eraseBlocks.front(), r.eraseBlocks.back() + binimage::kBlockSize - 1);
        std::printf("\n");
    }
    for (const auto &f : r.findings)
        std::printf("%s %s\n", f.severity == binimage::Finding::Refusal ? "refused:" : "note:   ", f.message.c_str());
    if (r.refusal) {
        std::printf("verdict:    the update tool refuses this image with \"%s\"; nothing is erased\n",
                    r.refusal->c_str());
        return 1;
    }
    std::printf("verdict:    the update tool writes this image\n");
    return 0;
}
