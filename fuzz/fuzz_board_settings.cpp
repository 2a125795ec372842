// The board settings reader: any board.json, then every setting the board
// and the platform read. A setting the board cannot use must be refused with
// a BoardError (a one-line message), never with another exception, which a
// program's worker thread would not survive.
#include <cstddef>
#include <cstdint>
#include <exception>

#include "board/flash.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::filesystem::path dir = fuzz::board();
    fuzz::writeBytes(dir / "board.json", data, size);
    try {
        auto b = board::Board::open(dir);
        // What the platform reads while programs run.
        (void)b->setting<std::string>("/hal/reboot", "restart");
        (void)b->setting<bool>("/hal/board_info_fails", false);
        (void)b->setting<uint32_t>("/board_id", 1);
        (void)b->setting<uint32_t>("/bsp_version/major", 0);
        (void)b->setting<uint32_t>("/bsp_version/minor", 0);
        (void)b->setting<bool>("/memory/virtual_copy_fails", false);
        (void)b->setting<bool>("/registry/save_fails", false);
        (void)b->setting<bool>("/hal/clear_registry_fails", false);
        (void)b->setting<std::string>("/bootloader/version", "");
        (void)b->setting<uint32_t>("/bootloader/banner_offset", 0);
        (void)b->setting<std::string>("/image/build_time", "");
        board::FlashPair flash(dir);
    } catch (const board::BoardError &) {
        // refused with a message: fine
    } catch (const std::exception &e) {
        fuzz::finding(std::string("a board setting was refused without a clear message: ") + e.what());
    }
    return 0;
}
