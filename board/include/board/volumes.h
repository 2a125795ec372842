// The board's removable volumes, its keys and its stop switch. All of it is
// kept in small files of the board folder, so that `vboard` in one shell can
// mount a card, hold a key or stop the board while programs run in another:
//   volumes.json          name -> host folder of every mounted volume
//   volume-changes.jsonl  one line per mount or removal, in order, for the
//                         platform's notifications to follow
//   keys.json             key name -> held; "presses": key name -> times it went down
//   stop                  how many times the board was told to stop
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "board/board.h"

namespace board {

struct Volume {
    std::string name;  // "Storage Card": the volume appears as "\Storage Card"
    std::filesystem::path hostDir;
};

struct VolumeChange {
    std::string name;
    bool attached = false;
};

// The volumes mounted now, sorted by name.
std::vector<Volume> mountedVolumes(const Board &board);
// The volume of that name (matched without regard to case), if mounted.
std::optional<Volume> findVolume(const Board &board, const std::string &name);

// Mounts the host folder `hostDir` as "\NAME" and gives the name it took.
// As on the device, a volume never hides a folder or file of the board's
// root: where the root holds NAME already, the volume is "\NAME2" (or the
// first of NAME3, NAME4, ... that is free). Copies cut off on the volume by
// an earlier power cut are removed first. Throws BoardError for a name that
// cannot be a folder name of the board, a missing host folder, or a name
// already mounted.
std::string mountVolume(const Board &board, const std::string &name, const std::filesystem::path &hostDir);
// Removes the copies still being made (see kCopyTempPrefix) anywhere under
// `dir`, links not followed: left there by a program that was cut off.
void removeHalfMadeCopiesUnder(const std::filesystem::path &dir);
// Throws BoardError when no volume of that name is mounted.
void unmountVolume(const Board &board, const std::string &name);

// The volumes mounted at one instant together with the place in the change
// journal that follows that instant: a subscriber announces `volumes`, then
// follows the journal from `journalEnd`, and misses nothing in between.
struct VolumeSnapshot {
    std::vector<Volume> volumes;
    uint64_t journalEnd = 0;
};
VolumeSnapshot volumeSnapshot(const Board &board);
// Changes recorded after `offset`; moves `offset` past them.
std::vector<VolumeChange> volumeChangesSince(const Board &board, uint64_t &offset);

// Keys of the board's keyboard by name: "shift", "ctrl", "alt".
bool isKnownKey(const std::string &key);
bool keyHeld(const Board &board, const std::string &key);
// Throws BoardError for a key name it does not know.
void setKeyHeld(const Board &board, const std::string &key, bool held);
// How many times the key went down since the board was made.
uint64_t keyPresses(const Board &board, const std::string &key);

// Stopping the board. A stop is a count that only grows: each program
// remembers the count when it boots (noteBoot) and counts as stopped once
// the count has moved past it. A board that was stopped thus starts again
// with the next program that boots, while a program that was running at the
// stop never misses it.
void requestStop(const Board &board);
void noteBoot(const Board &board);
bool stopRequested(const Board &board);

}  // namespace board
