#include "flash_bus.h"

#include <string>

#include "desktop.h"

namespace desktop {

FlashBus &FlashBus::get() {
    static FlashBus bus;
    return bus;
}

FlashBus::FlashBus() {
    const BoardFolder &folder = BoardFolder::get();
    try {
        pair_ = std::make_unique<board::FlashPair>(folder.dir());
    } catch (const board::BoardError &e) {
        fail(e.what());
    }
    const std::wstring name = pair_->arrayFile().wstring();
    HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) fail("cannot open " + toUtf8(name));
    section_ = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    CloseHandle(file);  // the section keeps the file
    if (section_ == nullptr) fail("cannot map " + toUtf8(name));
}

// A bus access the model refuses (an address off the flash) is a fault of
// the program, told as on the host.
uint32_t FlashBus::read32(uint32_t address) {
    try {
        return pair_->read32(address);
    } catch (const board::BoardError &e) {
        fail(e.what());
    }
}

void FlashBus::write32(uint32_t address, uint32_t value) {
    try {
        pair_->write32(address, value);
    } catch (const board::BoardError &e) {
        fail(e.what());
    }
}

}  // namespace desktop
