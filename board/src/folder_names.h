// Which names a host folder holds, without regard to case, kept between
// calls. A file made on the board must not come in beside one whose name
// differs only in case, and reading the whole folder to find out before each
// new file makes copying into a large folder take time with the square of
// its size. The host reports every change to a kept folder (inotify), and
// each answer first applies what it reported; a folder on a file system
// that may change without telling is not kept.
#pragma once

#include <optional>
#include <string>

namespace board {

// Whether the folder open as `folderFd` holds a name equal to `name` without
// regard to case (copies being made aside are not counted). nullopt when the
// folder cannot be kept: the caller reads it.
std::optional<bool> folderHoldsName(int folderFd, const std::string &name);

}  // namespace board
