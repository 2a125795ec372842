#include "board/boot.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "board/bootloader.h"
#include "board/flash.h"
#include "os.h"

namespace board {

namespace fs = std::filesystem;

namespace {

// The flash window as the loader reads it after power-up (read-array mode).
class WindowBytes : public ImageBytes {
  public:
    explicit WindowBytes(const FlashPair &flash) : flash_(flash) {}
    bool read(uint32_t at, void *out, uint32_t n) const override {
        if (at < kImageWindowBase || uint64_t{at} - kImageWindowBase + n > kImageWindowSize) return false;
        flash_.readArray(at - kKernelFlashBase, std::span<uint8_t>(static_cast<uint8_t *>(out), n));
        return true;
    }

  private:
    const FlashPair &flash_;
};

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

BootOutcome outcomeOf(const ImageContents &c) {
    BootOutcome o;
    o.ok = c.ok();
    if (!o.ok) {
        o.text = kNotValidText;
        o.reason = c.problem;
        return o;
    }
    o.address = kImageWindowBase;
    char text[64];
    std::snprintf(text, sizeof text, "Jumping to image at 0x%x", o.address);
    o.text = text;
    if (auto t = c.buildTime()) o.buildTime = iso8601FromFileTime(*t);
    o.modules = static_cast<uint32_t>(c.modules.size());
    o.files = static_cast<uint32_t>(c.files.size());
    return o;
}

fs::path bootFile(const Board &board) { return board.dir() / "boot.json"; }

}  // namespace

nlohmann::json BootOutcome::event() const {
    if (!ok) return {{"event", "boot"}, {"ok", false}, {"text", text}, {"reason", reason}};
    return {
        {"event", "boot"}, {"ok", true},  {"address", hex(address)}, {"build_time", buildTime}, {"modules", modules},
        {"files", files},  {"text", text}};
}

std::string BootOutcome::line() const {
    if (!ok) return text + " (" + reason + ")";
    return text + " (built " + (buildTime.empty() ? std::string("at no known time") : buildTime) + ", " +
           std::to_string(modules) + " modules, " + std::to_string(files) + " files)";
}

BootOutcome checkBootImage(const Board &board, ImageContents *contents) {
    FlashPair flash(board.dir());
    const ImageContents c = readImageContents(WindowBytes(flash), kImageWindowBase);
    if (contents != nullptr) *contents = c;
    return outcomeOf(c);
}

BootOutcome bootBoard(Board &board) {
    FlashPair flash(board.dir());
    const WindowBytes bytes(flash);
    const ImageContents c = readImageContents(bytes, kImageWindowBase);
    const BootOutcome o = outcomeOf(c);
    if (o.ok) layDownImageFiles(board, c, bytes);
    else removeImageFiles(board);
    const fs::path next = board.dir() / "boot.json.new";
    writeBoardFile(next, o.event().dump() + "\n");
    os::replaceFile(next, bootFile(board));
    board.log().append(o.event());
    return o;
}

std::optional<BootOutcome> lastBoot(const Board &board) {
    std::ifstream in(bootFile(board), std::ios::binary);
    if (!in) return std::nullopt;
    const nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
    if (!j.is_object()) return std::nullopt;
    BootOutcome o;
    o.ok = j.value("ok", false);
    o.text = j.value("text", std::string());
    o.reason = j.value("reason", std::string());
    o.buildTime = j.value("build_time", std::string());
    o.modules = j.value("modules", 0u);
    o.files = j.value("files", 0u);
    const std::string address = j.value("address", std::string("0"));
    o.address = static_cast<uint32_t>(std::strtoul(address.c_str(), nullptr, 16));
    return o;
}

void requireBooted(const Board &board) {
    if (board.setting<bool>("/boot/without_image", false)) return;
    const auto last = lastBoot(board);
    if (!last || last->ok) return;
    throw BoardNotBooted("the board does not boot: " + last->text + " (" + last->reason +
                         "); write a good image with `vboard download " + board.dir().string() +
                         " IMAGE.bin`, or set boot.without_image=true to run programs without one");
}

std::vector<uint8_t> defaultImage(uint64_t buildTime) {
    constexpr uint32_t kStart = 0x80080000;
    constexpr uint32_t kTable = kStart + 0x100;
    ContentsLayout l;
    l.imageStart = kStart;
    l.tableAddress = kTable;
    const uint32_t rom = kAttributeReadOnly | kAttributeSystem | kAttributeInRom;
    const std::pair<const char *, uint32_t> modules[] = {{"nk.exe", 0x2F000},
                                                         {"coredll.dll", 0x7A000},
                                                         {"filesys.exe", 0x24000},
                                                         {"gwes.exe", 0x9C000},
                                                         {"device.exe", 0x11000}};
    for (const auto &[name, size] : modules)
        l.modules.push_back({name, rom | kAttributeRomModule, buildTime, size, 0, {}});
    const std::string list = "[Files]\r\nnk.exe\r\ncoredll.dll\r\nfilesys.exe\r\ngwes.exe\r\ndevice.exe\r\n";
    l.files.push_back(
        {"default.fdf", rom, buildTime, static_cast<uint32_t>(list.size()), static_cast<uint32_t>(list.size()), list});
    const std::vector<uint8_t> table = contentsTableBytes(l);
    std::vector<uint8_t> image(0x100 + table.size(), 0);
    // A branch over the signature to the code that follows the table.
    const uint32_t branch = 0xEA000000u | ((static_cast<uint32_t>(image.size()) - 8) / 4);
    for (int i = 0; i < 4; ++i) image[i] = static_cast<uint8_t>(branch >> (8 * i));
    const auto pointer = contentsPointerBytes(kTable);
    std::copy(pointer.begin(), pointer.end(), image.begin() + kContentsSignatureOffset);
    std::copy(table.begin(), table.end(), image.begin() + 0x100);
    return image;
}

}  // namespace board
