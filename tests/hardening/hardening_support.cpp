#include "hardening_support.h"

#include <fstream>
#include <sstream>

#include "board/board.h"

namespace hardening {

namespace fs = std::filesystem;

std::map<std::string, std::string> boardEnv(const vtest::TempBoard &board, const std::string &scriptFile, bool paced) {
    return {{"VBOARD_DIR", board.dir().string()}, {"VBOARD_SCRIPT", scriptFile}, {"VBOARD_PACE", paced ? "1" : "0"}};
}

std::string folderProblem(const vtest::TempBoard &board) {
    try {
        auto opened = board::Board::open(board.dir());
        board::FlashPair flash(board.dir());
        std::error_code ec;
        if (fs::file_size(flash.arrayFile(), ec) != board::FlashPair::kSize || ec) return "flash.bin lost its size";
        std::ifstream in(board.dir() / "events.jsonl");
        std::string line;
        for (int n = 1; std::getline(in, line); ++n)
            if (!line.empty() && nlohmann::json::parse(line, nullptr, false).is_discarded())
                return "event log line " + std::to_string(n) + " is broken: " + line;
    } catch (const std::exception &e) {
        return e.what();
    }
    return "";
}

std::vector<uint32_t> notInReadMode(board::FlashPair &flash, const std::vector<uint32_t> &addresses) {
    std::vector<uint32_t> out;
    for (uint32_t a : addresses) {
        const auto bytes = flash.readArray(a, 4);
        const uint32_t array = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
        if (flash.read32(a) != array) out.push_back(a);
    }
    return out;
}

namespace {
constexpr uint32_t kReadArray = 0x00FF00FF;
constexpr uint32_t kEraseSetup = 0x00200020;
constexpr uint32_t kConfirm = 0x00D000D0;
constexpr uint32_t kWriteToBuffer = 0x00E800E8;
constexpr uint32_t kReadyBits = 0x00800080;

std::string at(size_t i, const board::BusAccess &a, const std::string &what) {
    std::ostringstream s;
    s << "access " << i << (a.write ? " (write " : " (read ") << std::hex << a.value << " at " << a.address
      << "): " << what;
    return s.str();
}
}  // namespace

std::string interleaving(const std::vector<board::BusAccess> &trace) {
    enum { Idle, EraseConfirm, Count, Loading, LoadConfirm, Busy } state = Idle;
    uint32_t block = 0, buffer = 0, next = 0, left = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        const auto &a = trace[i];
        switch (state) {
        case Idle:
            if (!a.write) break;
            if (a.value == kEraseSetup) {
                state = EraseConfirm;
                block = a.address & ~(board::FlashPair::kBlockSize - 1);
            } else if (a.value == kWriteToBuffer) {
                state = Count;
                buffer = a.address & ~(board::FlashPair::kBufferSpan - 1);
            } else if (a.value != kReadArray) {
                return at(i, a, "a write that starts no command sequence");
            }
            break;
        case EraseConfirm:
            if (!a.write || a.value != kConfirm || (a.address & ~(board::FlashPair::kBlockSize - 1)) != block)
                return at(i, a, "cuts between an erase set-up and its confirm");
            state = Busy;
            break;
        case Count:
            if (!a.write) break;  // polling for a free buffer
            if ((a.value & 0xFFFF) != (a.value >> 16) || (a.value & 0xFFFF) >= board::FlashPair::kBufferSpan / 4 ||
                (a.address & ~(board::FlashPair::kBufferSpan - 1)) != buffer)
                return at(i, a, "is not the word count of the buffer load begun before");
            left = (a.value & 0xFFFF) + 1;
            next = 0;
            state = Loading;
            break;
        case Loading:
            if (!a.write) return at(i, a, "reads in the middle of a buffer load");
            if ((a.address & ~(board::FlashPair::kBufferSpan - 1)) != buffer || (next != 0 && a.address != next))
                return at(i, a, "is not the next data word of the buffer load");
            next = a.address + 4;
            if (--left == 0) state = LoadConfirm;
            break;
        case LoadConfirm:
            if (!a.write || a.value != kConfirm || (a.address & ~(board::FlashPair::kBufferSpan - 1)) != buffer)
                return at(i, a, "cuts between a buffer's data and its confirm");
            state = Busy;
            break;
        case Busy:
            if (a.write) return at(i, a, "writes while the devices are busy");
            if ((a.value & kReadyBits) == kReadyBits) state = Idle;
            break;
        }
    }
    return "";
}

}  // namespace hardening

#include "image.h"

namespace hardening {

std::string imageProblem(const std::string &flash, const std::string &image, uint32_t from, uint32_t to) {
    if (flash.size() != board::FlashPair::kSize) return "the flash is not 64 MB";
    std::string expected(to - from, '\xFF');
    const auto report = binimage::inspect(image);
    for (const auto &r : report.records) {
        if (r.flashAddress == 0 || r.length == 0) continue;
        const uint32_t phys = r.flashAddress - 0x9C000000u;
        if (phys < from || phys + r.length > to) return "a record lies outside the range checked";
        expected.replace(phys - from, r.length, image, r.dataOffset, r.length);
    }
    for (size_t i = 0; i < expected.size(); ++i)
        if (flash[from + i] != expected[i]) {
            std::ostringstream s;
            s << "the flash differs from the image at physical " << std::hex << from + i;
            return s.str();
        }
    return "";
}

}  // namespace hardening
