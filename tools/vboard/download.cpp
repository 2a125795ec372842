// vboard download: the boot loader's download. The image is judged as the
// update tool judges it against the board's flash; a refused image changes
// nothing. An accepted one is written as the tool writes it (its blocks
// erased, its records programmed), and the board boots it.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "board/board.h"
#include "board/boot.h"
#include "board/flash.h"
#include "board_flash.h"
#include "commands.h"
#include "image.h"

namespace vboard {

int cmdDownload(const Args &args) {
    if (args.size() != 2) return usageError("download takes a board folder and an image file");
    std::error_code ec;
    if (!std::filesystem::is_regular_file(args[1], ec)) return usageError("no image file " + args[1]);
    std::string bytes;
    {
        std::ifstream in(args[1], std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        if (!in) return usageError("cannot read " + args[1]);
        bytes = s.str();
    }
    binimage::Report report;
    {
        BoardFlash flash(args[0]);
        report = binimage::inspect(bytes, BoardFlash::word, &flash);
    }
    if (report.refusal) {
        std::string why = report.findings.empty() ? std::string() : report.findings.front().message;
        std::fprintf(stderr,
                     "vboard: %s is refused as the update tool refuses it (\"%s\": %s); the flash is as it was\n",
                     args[1].c_str(), report.refusal->c_str(), why.c_str());
        return 1;
    }
    {
        board::FlashPair flash(args[0]);
        const std::vector<uint8_t> erased(binimage::kBlockSize, 0xFF);
        for (uint32_t block : report.eraseBlocks) flash.writeArray(block - board::kKernelFlashBase, erased);
        for (const auto &[at, data] : binimage::writtenContents(bytes, report))
            flash.writeArray(at - board::kKernelFlashBase,
                             std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(data.data()), data.size()));
    }
    std::printf("wrote %s into the flash of %s (%zu records, %zu blocks erased)\n", args[1].c_str(), args[0].c_str(),
                report.records.empty() ? size_t{0} : report.records.size() - 1, report.eraseBlocks.size());
    auto b = board::Board::open(args[0]);
    b->powerUp();
    const auto boot = board::lastBoot(*b);
    std::printf("boot: %s\n", boot ? boot->line().c_str() : "no boot");
    return boot && boot->ok ? 0 : kNotBootedExit;
}

}  // namespace vboard
