// What this process learned of host folders it looks at often, kept between
// calls for as long as the host reports no change to them (inotify):
//  - the folders files are copied into, kept open, and which names they
//    hold without regard to case. A file made on the board must not come in
//    beside one whose name differs only in case, and reading the whole
//    folder to find out before each new file makes copying into a large
//    folder take time with the square of its size;
//  - whether one of the board's own state files changed since it was read.
// Every answer first applies what the host reported. A folder on a file
// system that may change without telling is not kept: the caller looks.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "board/filesystem.h"

namespace board {

struct KeptFolder {
    std::shared_ptr<const HostFd> fd;
    // Whether the folder holds a name equal to the one asked for without
    // regard to case (copies being made aside are not counted); nullopt when
    // the folder cannot be kept: the caller reads it.
    std::optional<bool> holds;
};
// The folder at `hostPath` (no link on the way), opened or kept open since
// an earlier call, and what it holds under `name`. `root` is the folder the
// path lies under, resolved: links above it are the host's business. nullopt
// when it cannot be opened so.
std::optional<KeptFolder> openKeptFolder(const std::filesystem::path &root, const std::string &hostPath,
                                         const std::string &name);

// Whether the open folder `folder`, if it is one kept for its names, holds a
// name equal to `name` without regard to case, after every report the host
// has given so far (also inside a ReportsTakenOnce): a name another process
// made before this call is among them. nullopt for a folder not kept.
std::optional<bool> keptFolderHoldsNow(int folder, const std::string &name);

// A mark of the version of `file` about to be read; 0 when the host will not
// report changes to it.
uint64_t fileChangeMark(const std::filesystem::path &file);
// Whether nothing has made, removed, renamed or written `file` since `mark`
// was taken.
bool fileUnchangedSince(const std::filesystem::path &file, uint64_t mark);

}  // namespace board
