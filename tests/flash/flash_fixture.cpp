#include "flash_fixture.h"

#include <pkfuncs.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace flashtest {

wince::Action NoOperator::onDialog(const wince::DialogView &) {
    ADD_FAILURE() << "a dialog was shown";
    return wince::Action{wince::Action::Close, 0};
}

void NoOperator::onMessageBox(const wince::MessageBoxView &) { ADD_FAILURE() << "a message box was shown"; }

std::optional<std::u16string> NoOperator::onFileOpen(const wince::FileOpenView &) {
    ADD_FAILURE() << "the file-open dialog was shown";
    return std::nullopt;
}

std::vector<uint8_t> pattern(uint32_t length, uint32_t seed) {
    std::vector<uint8_t> bytes(length);
    uint32_t x = seed * 2654435761u + 1;
    for (auto &b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<uint8_t>(x >> 16);
    }
    return bytes;
}

void BootedBoard::boot(const nlohmann::json &settings) {
    temp_ = std::make_unique<vtest::TempBoard>(settings);
    flash_ = std::make_unique<board::FlashPair>(temp_->dir());
    flash_->writeArray(0, pattern(kBlock, 1));                     // the boot loader
    flash_->writeArray(kWindowPhys - 0x1000, pattern(0x1000, 2));  // just below the window
    flash_->writeArray(kWindowPhys + 4 * kBlock, pattern(kBlock, 3));
    flash_->writeArray(kWindowPhys + kWindowSize, pattern(0x1000, 4));  // just above it
    before_.assign(arrayView(), arrayView() + board::FlashPair::kSize);

    wince::boot(temp_->dir(), std::make_shared<NoOperator>(), "test");
    window_ = static_cast<BYTE *>(VirtualAlloc(nullptr, kWindowSize, MEM_RESERVE, PAGE_NOACCESS));
    ASSERT_NE(window_, nullptr);
    ASSERT_TRUE(VirtualCopy(window_, reinterpret_cast<LPVOID>(0x9CA00000), kWindowSize, PAGE_READWRITE | PAGE_NOCACHE));
}

void BootedBoard::TearDown() {
    if (flash_) {
        // Compare the gaps between the ranges the test allowed to change.
        const uint8_t *after = arrayView();
        std::sort(touchable_.begin(), touchable_.end());
        uint64_t from = 0;
        auto checkUpTo = [&](uint64_t to) {
            if (to > from && std::memcmp(&after[from], &before_[from], to - from) != 0) {
                uint64_t i = from;
                while (after[i] == before_[i]) ++i;
                ADD_FAILURE() << "flash at physical 0x" << std::hex << i << " changed outside the operation's range"
                              << (i < kBlock ? " (the boot loader)" : "");
            }
        };
        for (const auto &[first, length] : touchable_) {
            checkUpTo(first);
            from = std::max<uint64_t>(from, uint64_t{first} + length);
        }
        checkUpTo(board::FlashPair::kSize);
        EXPECT_EQ(flash_->driverFaults(), 0u) << "the driver sent a command to one device only";
    }
    if (view_ != nullptr) ::munmap(view_, board::FlashPair::kSize);
    if (window_ != nullptr) {
        EXPECT_TRUE(VirtualFree(window_, 0, MEM_RELEASE));
    }
    wince::shutdown();
}

// The array as the board keeps it, without copying 64 MB for every look.
const uint8_t *BootedBoard::arrayView() {
    if (view_ == nullptr) {
        const int fd = ::open(flash_->arrayFile().c_str(), O_RDONLY | O_CLOEXEC);
        void *p = ::mmap(nullptr, board::FlashPair::kSize, PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        if (p == MAP_FAILED) throw std::runtime_error("cannot map the board's flash for the test");
        view_ = static_cast<uint8_t *>(p);
    }
    return view_;
}

void BootedBoard::mayTouch(uint32_t first, uint32_t length) { touchable_.emplace_back(first, length); }

volatile DWORD *BootedBoard::at(uint32_t phys) const {
    return reinterpret_cast<volatile DWORD *>(window_ + (phys - kWindowPhys));
}

void BootedBoard::seed(uint32_t phys, const std::vector<uint8_t> &bytes) {
    flash_->writeArray(phys, bytes);
    std::copy(bytes.begin(), bytes.end(), before_.begin() + phys);
}

std::vector<uint8_t> BootedBoard::contents(uint32_t phys, uint32_t length) const {
    return flash_->readArray(phys, length);
}

}  // namespace flashtest
