// inspectbin: tells what the update tool would do with a .bin image.
//   inspectbin IMAGE.bin [--board DIR [--verify]] [--json]
//   inspectbin --help | --version
// Prints the header, each record (raw and flash address, length, checksum),
// the blocks that would be erased, every problem found and the image's table
// of contents (contents_report.h); --json prints all of it as one object. The verdict is
// the update tool's own check, run against the board's flash with --board
// (without it the flash outside the erased blocks is taken as blank). Exits
// 1 when the update tool would refuse the image.
// With --verify it tells instead whether the board's flash holds every record
// of the image as the tool writes it (exit 0) or not (exit 1).
// Exit 2: bad arguments, an unreadable image or no whole board.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "board_flash.h"
#include "contents_report.h"
#include "image.h"
#include "tool_options.h"

namespace {

const char kUsage[] =
    "usage: inspectbin IMAGE.bin [--board DIR [--verify]] [--json]\n"
    "       inspectbin --help | --version\n"
    "  judges IMAGE.bin as the update tool does before it erases anything;\n"
    "  --board DIR   against the flash of the virtual board in DIR\n"
    "  --verify      tell whether that flash holds the image as the tool writes it\n"
    "  --json        every finding (records, checksums, verdict, contents) as JSON\n"
    "exit: 0 the tool writes it (--verify: the flash holds it), 1 refused (does not hold), 2 bad input\n";

int usage() { return tools::usageError("inspectbin", "expected IMAGE.bin [--board DIR [--verify]]"); }

int fail(const std::string &what) {
    std::fprintf(stderr, "inspectbin: %s\n", what.c_str());
    return 2;
}

void printReport(const std::string &file, const binimage::ImageSource &image, const binimage::Report &r) {
    std::printf("file:       %s (%llu bytes)\n", file.c_str(), static_cast<unsigned long long>(image.size()));
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
                        !rec.dataComplete   ? "(data missing)"
                        : rec.checksumValid ? "valid"
                                            : "WRONG");
        }
        std::printf("erases:     %zu block(s)", r.eraseBlocks.size());
        if (!r.eraseBlocks.empty())
            std::printf(" from %08x to %08x", r.eraseBlocks.front(), r.eraseBlocks.back() + binimage::kBlockSize - 1);
        std::printf("\n");
    }
    for (const auto &f : r.findings)
        std::printf("%s %s\n", f.severity == binimage::Finding::Refusal ? "refused:" : "note:   ", f.message.c_str());
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (const auto done = tools::answerCommonOption("inspectbin", kUsage, args)) return *done;
    const auto jsonAt = std::find(args.begin(), args.end(), std::string("--json"));
    const bool json = jsonAt != args.end() && jsonAt != args.begin();
    if (json) args.erase(jsonAt);
    const bool verify = args.size() == 4 && args[3] == "--verify";
    if (args.size() != 1 && !((args.size() == 3 || verify) && args[1] == "--board")) return usage();
    if (args[0].empty() || args[0][0] == '-') return usage();
    try {
        const binimage::FileImage image(args[0]);

        std::optional<BoardFlash> board;
        if (args.size() >= 3) board.emplace(args[2]);
        if (verify) {
            // Judged on a blank flash: an image refused there is refused on
            // every board, and the flash now holds whatever the update left.
            const binimage::Report r = binimage::inspect(image);
            if (r.refusal) {
                std::printf("%s is not an image the update tool writes (\"%s\")\n", args[0].c_str(),
                            r.refusal->c_str());
                return 1;
            }
            if (auto missing = board->verify(image, r)) {
                std::printf("the flash of %s does NOT hold %s: %s differs\n", args[2].c_str(), args[0].c_str(),
                            missing->c_str());
                return 1;
            }
            std::printf("the flash of %s holds %s: all %zu records match byte for byte\n", args[2].c_str(),
                        args[0].c_str(), r.records.size() - 1);
            return 0;
        }
        const binimage::Report r =
            board ? binimage::inspect(image, BoardFlash::word, &*board) : binimage::inspect(image);
        const board::ImageContents contents = binimage::contentsOf(image, r);
        if (json) {
            // Names in an image are bytes: what is not UTF-8 is shown as U+FFFD.
            const auto j = binimage::reportJson(args[0], image, r, contents);
            std::printf("%s\n", j.dump(2, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
            return r.refusal ? 1 : 0;
        }
        printReport(args[0], image, r);
        if (r.headerComplete) binimage::printContents(contents);
        if (r.refusal) {
            std::printf("verdict:    the update tool refuses this image with \"%s\"; nothing is erased\n",
                        r.refusal->c_str());
            return 1;
        }
        std::printf("verdict:    the update tool writes this image\n");
        return 0;
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}
