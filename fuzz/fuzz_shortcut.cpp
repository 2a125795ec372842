// The shortcut reader and its command-line split: any bytes as a shortcut
// in a card's AutoRun folder, run as the agent runs them. At most one program
// may be started for one shortcut, and its command line is a part of the
// shortcut's text.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <fstream>

#include "autorun.h"
#include "board/volumes.h"
#include "fuzz_support.h"
#include "handles.h"
#include "wince/host.h"

namespace {

struct Card {
    std::filesystem::path shortcut;
    Card() {
        const auto &dir = fuzz::board();
        const auto card = dir / "card";
        std::filesystem::create_directories(card / "AutoRun");
        fuzz::writeBytes(card / "AutoRun" / "tool.exe", reinterpret_cast<const uint8_t *>("MZ"), 2);
        wince::boot(dir, nullptr, "autorun-agent");
        board::mountVolume(wince::currentBoard(), "Storage Card", card);
        shortcut = card / "AutoRun" / "fuzz.lnk";
    }
};

size_t startsLogged() {
    std::ifstream in(fuzz::boardDirStore() / "events.jsonl");
    std::string line;
    size_t n = 0;
    while (std::getline(in, line)) n += line.find("\"process") != std::string::npos;
    return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Card card;
    static unsigned count = 0;
    std::ofstream(fuzz::boardDirStore() / "events.jsonl", std::ios::trunc);
    fuzz::writeBytes(card.shortcut, data, size);
    const size_t handles = wince::openHandleCount();
    RunAutoRun(u"\\Storage Card", AUTORUN_SHORTCUTS);
    if (wince::openHandleCount() != handles) fuzz::finding("a shortcut left a handle open");
    if (startsLogged() > 1) fuzz::finding("one shortcut started more than one program");
    fuzz::trimEventLog(count);
    return 0;
}
