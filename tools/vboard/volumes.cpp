// vboard mount / unmount / key / stop: what happens to a running board from
// outside, typed in another shell while a program runs on it.
#include <cstdio>
#include <exception>

#include "board/board.h"
#include "board/volumes.h"
#include "commands.h"

namespace vboard {

namespace {

// Runs one change on the board in `dir`, turning host errors into a one-line
// message and exit code 1.
template <typename F> int onBoard(const std::string &dir, F change) {
    try {
        auto board = board::Board::open(dir);
        change(*board);
        return 0;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vboard: %s\n", e.what());
        return 1;
    }
}

}  // namespace

int cmdMount(const Args &args) {
    if (args.size() != 3) return usageError("usage: vboard mount DIR NAME HOSTDIR");
    return onBoard(args[0], [&](board::Board &b) {
        // The board may give the volume another name than the one asked
        // for, so that it hides none of its own folders.
        const std::string name = board::mountVolume(b, args[1], args[2]);
        b.log().append({{"event", "volume_mounted"}, {"name", name}, {"host_dir", args[2]}});
        std::printf("mounted \\%s\n", name.c_str());
    });
}

int cmdUnmount(const Args &args) {
    if (args.size() != 2) return usageError("usage: vboard unmount DIR NAME");
    return onBoard(args[0], [&](board::Board &b) {
        board::unmountVolume(b, args[1]);
        b.log().append({{"event", "volume_unmounted"}, {"name", args[1]}});
        std::printf("removed \\%s\n", args[1].c_str());
    });
}

int cmdKey(const Args &args) {
    if (args.size() != 3 || (args[2] != "down" && args[2] != "up"))
        return usageError("usage: vboard key DIR shift|ctrl|alt down|up");
    if (!board::isKnownKey(args[1])) return usageError("the board has no key \"" + args[1] + "\" (shift, ctrl, alt)");
    return onBoard(args[0], [&](board::Board &b) {
        board::setKeyHeld(b, args[1], args[2] == "down");
        b.log().append({{"event", "key"}, {"key", args[1]}, {"held", args[2] == "down"}});
    });
}

int cmdStop(const Args &args) {
    if (args.size() != 1) return usageError("usage: vboard stop DIR");
    return onBoard(args[0], [&](board::Board &b) {
        board::requestStop(b);
        b.log().append({{"event", "board_stop"}});
    });
}

}  // namespace vboard
