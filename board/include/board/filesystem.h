// The board's file system on the host. Board paths are UTF-8 here, with
// backslashes ("\Windows\default.fdf"); "\" is the board's files folder and
// "\NAME\..." lies in the host folder of the mounted volume NAME. Names are
// matched without regard to case, as on the board. No board path reaches
// outside the board's files folder or the volume's folder: ".." is refused
// and symbolic links that point out are treated as absent.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "board/board.h"

namespace board {

enum class PathStatus {
    Found,           // the entry exists
    Missing,         // its folder exists, the entry does not (it could be made)
    FolderNotFound,  // a folder on the way is missing or not a folder
    Invalid,         // not a board path: "..", an empty name, a NUL, a way out
};

struct BoardPathLookup {
    PathStatus status = PathStatus::Invalid;
    // Found: the entry, symbolic links resolved. Missing: where it would be
    // made (its folder resolved, its name as given).
    std::filesystem::path host;
    // The host folder the path lives under (files folder or volume folder).
    std::filesystem::path root;
    bool isRoot = false;   // "\" itself or a volume's own folder
    bool inImage = false;  // one of the running image's files under "\Windows": read-only
};

BoardPathLookup lookupBoardPath(const Board &board, const std::string &boardPathUtf8);
// The host path of an existing entry.
std::optional<std::filesystem::path> resolveBoardPath(const Board &board, const std::string &boardPathUtf8);

// Quick ways for the common case, where every name of a path is spelled as
// the host holds it and no link lies on the way: one call to the host
// instead of a look at each name. Each gives up (-1, nullopt) whenever the
// look-up above must decide (another spelling, a link, a FIFO, a missing
// folder), so that the answer is always the one the look-up would give.
//
// An existing regular file, opened with `flags` (O_NONBLOCK and O_CLOEXEC
// added, no O_CREAT); `st` is its status.
int openPlainFile(const Board &board, const std::string &boardPathUtf8, int flags, struct stat &st);

// A host descriptor shared by those that use it, closed when the last one
// lets go.
class HostFd {
  public:
    explicit HostFd(int fd) : fd_(fd) {}
    ~HostFd();
    HostFd(const HostFd &) = delete;
    HostFd &operator=(const HostFd &) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// The folder of a path's last name, opened for calls relative to it, and
// what the folder holds under that name: a regular file, a real folder, or
// nothing under any spelling. The folder's descriptor may be one the board
// keeps open between calls: use it for calls by name, never read or move
// its position.
struct PlainLeaf {
    std::shared_ptr<const HostFd> folder;
    std::string folderHost;
    std::string name;  // as given, which is how the folder holds it if it exists
    bool exists = false;
    struct stat st = {};  // when it exists
};
std::optional<PlainLeaf> openPlainLeaf(const Board &board, const std::string &boardPathUtf8);
// openPlainLeaf keeps the last folders it looked into (at most 64) open,
// with the names they hold, told of every change by the host, so that a new
// name needs neither an opening nor a reading of the whole folder. This lets
// go of them all, for a count of the heap or of descriptors that should not
// see what mirrors the folders.
void forgetKeptFolderNames();

// The board keeps what it learned of host folders and of its own state files
// for as long as the host reports no change to them, and takes those reports
// at each call that relies on them. While one of these lives on a thread,
// the reports are taken once: the calls of one operation (a copy looks at
// the volume table twice, at the destination folder and at the kept times)
// rely on the host as it was at that one look.
class ReportsTakenOnce {
  public:
    ReportsTakenOnce();
    ~ReportsTakenOnce();
    ReportsTakenOnce(const ReportsTakenOnce &) = delete;
    ReportsTakenOnce &operator=(const ReportsTakenOnce &) = delete;
};

// One entry of a board folder as the board lists it: the regular files and
// real folders of the host folder (never "." or ".."), and links that stay
// inside and lead to a file, without names no board path can spell; "\" also
// lists the mounted volumes as folders. What no FAT volume could hold (a
// folder link, which could close a loop; a FIFO, device or socket) is neither
// listed nor found by a lookup, nor is a copy still being made.

struct BoardEntry {
    std::string name;
    std::filesystem::path host;
    bool isDirectory = false;
    // The host folder the entry was read from, which holds it under `name`;
    // null where `host` lies elsewhere (a link's target, a volume).
    std::shared_ptr<const HostFd> folder;
};
// nullopt when the folder does not exist. Sorted by name.
std::optional<std::vector<BoardEntry>> listBoardFolder(const Board &board, const std::string &folderUtf8);
// Adds the running image's files (board/boot.h) to a listing of "\Windows",
// but for those the board's own files stand in for.
void addImageEntries(const Board &board, std::vector<BoardEntry> &entries);
// The status of what an entry names now, links followed (as stat); false
// when it is gone. Looks in the folder it was listed from, not along its path.
bool statBoardEntry(const BoardEntry &entry, struct stat &st);

// A file copied into the board that needs a name before it is complete
// (see HalfMadeFile) is written beside its destination under a name that
// starts with this, and renamed into place when complete: nobody on the
// board sees half a copy. The backslash makes it a name that no FAT volume
// can hold and no board path can spell, so it never meets a file of the
// board's or of a card. Left over after a crash, such files stay hidden; a
// board start removes them from the board's files folder and the mounted
// volumes, and a mount from the volume it mounts.
inline constexpr std::string_view kCopyTempPrefix = "\\vboard-copy-";
// The host name for the next such file of this process.
std::string copyTempName();
inline std::filesystem::path copyTempPath(const std::filesystem::path &folder) { return folder / copyTempName(); }
// Removes every such file left in the board's files folder and in the
// folders of the volumes mounted.
void removeHalfMadeCopies(const Board &board);

// A file being made in a host folder that nobody sees until it is put in
// place whole. Where the host can, it has no name at all until then (and
// vanishes by itself if the copy fails or the program dies); otherwise it
// has a copy's own name (copyTempName), removed again if it is never put in
// place.
class HalfMadeFile {
  public:
    // `unnamed`: whether a file without a name may be tried (for a file
    // new to the folder; one that replaces another takes a name either way).
    HalfMadeFile(int folder, mode_t mode, bool unnamed);
    ~HalfMadeFile();
    HalfMadeFile(const HalfMadeFile &) = delete;
    HalfMadeFile &operator=(const HalfMadeFile &) = delete;

    int fd() const { return fd_; }  // -1 (errno set) when it could not be made
    // Puts the file in place under `name`, replacing what is there at once
    // (`replace`) or only where nothing is (errno EEXIST if something is).
    // False with errno set when it cannot.
    bool putInPlace(const std::string &name, bool replace = true);

  private:
    int folder_;
    int fd_ = -1;
    std::string named_;  // the copy's own name, while it has one
};

// The making of a name in a folder, one step for every program of the board:
// while one of these lives, no other program (no other thread either) makes
// a name in the same folder, so a look for the name in every spelling and
// the making of it are one step, and two names equal but for case never
// come to stand side by side. Programs that only open, write or replace a
// name already there need none.
class NameMaking {
  public:
    // `folder`: the open host folder; waits for any other maker.
    explicit NameMaking(int folder);
    ~NameMaking();
    NameMaking(const NameMaking &) = delete;
    NameMaking &operator=(const NameMaking &) = delete;

    // What the folder holds now under `name` in any spelling, links not
    // followed: the exact spelling if there is one, else the first other
    // (in byte order). Copies being made are not counted; anything else is,
    // also what the board does not show (a FIFO, a device, a socket).
    struct Held {
        std::string name;
        struct stat st = {};
    };
    std::optional<Held> held(const std::string &name) const;

  private:
    int folder_;
    int lock_;
};

// Creation times, as FILETIME values (100-ns units since 1601 UTC). The board
// keeps them itself (filetimes.json) since host file systems may not; without
// an entry a file's creation time is its host modification time.
void setCreationTime(const Board &board, const std::string &boardPathUtf8, uint64_t fileTime);
std::optional<uint64_t> creationTime(const Board &board, const std::string &boardPathUtf8);
// Only the time the board keeps for that path, if any (no look at the host).
std::optional<uint64_t> keptCreationTime(const Board &board, const std::string &boardPathUtf8);
// The times the board keeps, as they are at construction: for the many
// look-ups of one folder listing.
class KeptCreationTimes {
  public:
    explicit KeptCreationTimes(const Board &board);
    std::optional<uint64_t> find(const std::string &boardPathUtf8) const;

  private:
    std::shared_ptr<const nlohmann::json> times_;
};
// A file made anew (or deleted) forgets the time kept for its path.
void forgetCreationTime(const Board &board, const std::string &boardPathUtf8);

// A host time (seconds and nanoseconds since 1970) as FILETIME.
uint64_t fileTimeFromUnix(int64_t seconds, int64_t nanoseconds);

// The board's rules for names: equal without regard to case, and patterns
// with "*" (any run of characters) and "?" (one character); "*.*" is every
// name.
bool namesEqual(std::string_view a, std::string_view b);
bool nameMatches(std::string_view name, std::string_view pattern);
// A board path in one spelling: lower case, single backslashes, no trailing
// backslash, "." dropped ("\windows\default.fdf").
std::string normalizedBoardPath(const std::string &boardPathUtf8);

}  // namespace board
