// What the board's file system shows of a host folder: only what a FAT
// volume could hold. Folder links (which can close loops), FIFOs, devices
// and sockets are neither listed nor opened, and a copy still being made is
// invisible; left over, it is removed when the board next starts.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <cstring>
#include <set>

#include "board/filesystem.h"
#include "board/volumes.h"
#include "board_fixture.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class BoardView : public OnBoard {
  protected:
    void SetUp() override {
        OnBoard::SetUp();
        dir_ = files() / "v";
        put(dir_ / "plain.txt", "plain");
        fs::create_directories(dir_ / "sub");
        put(dir_ / "sub" / "inner.txt", "inner");
        put(dir_ / "x.vboard-copy-1", "a name like a copy's, but not one");
        fs::create_symlink("plain.txt", dir_ / "tofile");
        fs::create_symlink("sub", dir_ / "todir");
        fs::create_symlink(".", dir_ / "loop");
        fs::create_symlink("..", dir_ / "up");
        fs::create_symlink("/etc/hostname", dir_ / "out");
        ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0644), 0);
        ASSERT_EQ(::mkfifo((dir_ / "fifo.lnk").c_str(), 0644), 0);
        makeSocket(dir_ / "sock");
        // A device node where the tests may make one, else a link to one.
        if (::mknod((dir_ / "dev").c_str(), S_IFCHR | 0644, ::makedev(1, 3)) != 0)
            fs::create_symlink("/dev/null", dir_ / "dev");
        put(dir_ / (std::string(board::kCopyTempPrefix) + "4242-0"), "half a cop");
    }
    void TearDown() override {
        if (socket_ >= 0) ::close(socket_);
        OnBoard::TearDown();
    }

    void makeSocket(const fs::path &path) {
        socket_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_GE(socket_, 0);
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        ASSERT_LT(path.native().size(), sizeof addr.sun_path);
        std::strcpy(addr.sun_path, path.c_str());
        ASSERT_EQ(::bind(socket_, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    }

    // Names FindFirstFileW/FindNextFileW report for a pattern, with "/" after folders.
    std::set<std::string> listed(const std::string &pattern) {
        std::set<std::string> out;
        WIN32_FIND_DATAW data;
        HANDLE h = FindFirstFileW(W(pattern).c_str(), &data);
        if (h == INVALID_HANDLE_VALUE) return out;
        do {
            std::string name = wince::toUtf8(data.cFileName);
            if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) name += "/";
            out.insert(name);
        } while (FindNextFileW(h, &data));
        FindClose(h);
        return out;
    }

    // Opens a board path for reading on another thread, so that an open that
    // blocks fails the test instead of hanging it. The handle is closed.
    bool opens(const std::string &path) {
        auto result = std::async(std::launch::async, [p = W(path)] {
            HANDLE h = CreateFileW(p.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE) return false;
            CloseHandle(h);
            return true;
        });
        if (result.wait_for(5s) != std::future_status::ready) {
            ADD_FAILURE() << path << ": the open blocks";
            // Release a FIFO's reader: a writer that never blocks.
            for (const char *fifo : {"fifo", "fifo.lnk"}) {
                const int fd = ::open((dir_ / fifo).c_str(), O_RDWR | O_NONBLOCK);
                if (fd >= 0) ::close(fd);
            }
        }
        return result.get();
    }

    fs::path dir_;
    int socket_ = -1;
};

TEST_F(BoardView, OnlyFilesRealFoldersAndLinksToFilesInsideAreListed) {
    EXPECT_EQ(listed("\\v\\*"), (std::set<std::string>{"plain.txt", "sub/", "tofile", "x.vboard-copy-1"}));
    EXPECT_EQ(listed("\\v\\*.lnk"), std::set<std::string>{});
}

TEST_F(BoardView, WhatIsNotListedCannotBeOpenedOrEntered) {
    struct Case {
        std::string path;
        bool opens;
        DWORD attributes;  // INVALID_FILE_ATTRIBUTES: not there
    };
    const std::string half = "\\v\\" + std::string(board::kCopyTempPrefix) + "4242-0";
    const Case cases[] = {
        {"\\v\\plain.txt", true, FILE_ATTRIBUTE_ARCHIVE},
        {"\\v\\TOFILE", true, FILE_ATTRIBUTE_ARCHIVE},
        {"\\v\\sub\\inner.txt", true, FILE_ATTRIBUTE_ARCHIVE},
        {"\\v\\todir", false, INVALID_FILE_ATTRIBUTES},
        {"\\v\\todir\\inner.txt", false, INVALID_FILE_ATTRIBUTES},
        {"\\v\\loop\\plain.txt", false, INVALID_FILE_ATTRIBUTES},
        {"\\v\\loop\\loop\\loop", false, INVALID_FILE_ATTRIBUTES},
        {"\\v\\up\\v\\plain.txt", false, INVALID_FILE_ATTRIBUTES},
        {"\\v\\out", false, INVALID_FILE_ATTRIBUTES},
        {"\\v\\fifo", false, INVALID_FILE_ATTRIBUTES},
        {"\\v\\FIFO.LNK", false, INVALID_FILE_ATTRIBUTES},
        {"\\v\\sock", false, INVALID_FILE_ATTRIBUTES},
        {"\\v\\dev", false, INVALID_FILE_ATTRIBUTES},
        {half, false, INVALID_FILE_ATTRIBUTES},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(opens(c.path), c.opens);
        EXPECT_EQ(GetFileAttributesW(W(c.path).c_str()), c.attributes);
        EXPECT_TRUE(listed(c.path + "\\*").empty());
    }
    EXPECT_EQ(listed("\\v\\loop\\*"), std::set<std::string>{});

    // A copy's name is none a board path can spell: a program's own name
    // that looks like one is a name like any other.
    const std::u16string made = u"\\.vboard-copy-1-1";
    HANDLE h = CreateFileW(made.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    EXPECT_TRUE(CopyFileW(u"\\v\\plain.txt", made.c_str(), FALSE));
    EXPECT_TRUE(opens("\\.vboard-copy-1-1"));
    EXPECT_EQ(vtest::readFile(files() / ".vboard-copy-1-1"), "plain");
}

TEST_F(BoardView, CopiesNeitherReadNorReplaceWhatTheBoardDoesNotShow) {
    for (const char *from : {"\\v\\fifo", "\\v\\sock", "\\v\\dev", "\\v\\todir"}) {
        SCOPED_TRACE(from);
        auto copied =
            std::async(std::launch::async, [from = W(from)] { return CopyFileW(from.c_str(), u"\\copy.txt", FALSE); });
        ASSERT_EQ(copied.wait_for(5s), std::future_status::ready) << "the copy blocks";
        EXPECT_FALSE(copied.get());
        EXPECT_FALSE(fs::exists(files() / "copy.txt"));
    }
    // Nor is what the board does not show replaced by a copy.
    for (const char *to : {"\\v\\fifo", "\\v\\sock", "\\v\\dev"}) {
        SCOPED_TRACE(to);
        struct stat before = {}, after = {};
        ASSERT_EQ(::lstat((dir_ / (to + 3)).c_str(), &before), 0);
        EXPECT_FALSE(CopyFileW(u"\\v\\plain.txt", W(to).c_str(), FALSE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
        ASSERT_EQ(::lstat((dir_ / (to + 3)).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
    }
    // A link to a file inside is copied as the file.
    EXPECT_TRUE(CopyFileW(u"\\v\\tofile", u"\\copy.txt", FALSE));
    EXPECT_EQ(vtest::readFile(files() / "copy.txt"), "plain");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(files() / "copy.txt")));
}

TEST_F(BoardView, HalfMadeCopiesAreRemovedWhenTheBoardNextStarts) {
    const std::string half = std::string(board::kCopyTempPrefix) + "1-2";
    put(files() / half, "cut off");
    put(files() / "Windows" / half, "cut off too");
    put(files() / "keep.vboard-copy-1", "mine");
    // A link under such a name is no copy of the board's: it stays, and so
    // does what it leads to.
    put(board_.dir() / "outside.txt", "not the board's");
    fs::create_symlink(board_.dir() / "outside.txt", files() / (half + "-link"));
    EXPECT_TRUE(fs::exists(files() / half)) << "kept while the board runs";

    // Cut off on a card: removed when the card is next mounted, and when the
    // board next starts with it mounted.
    const fs::path card = board_.dir() / "card";
    put(card / "AutoCopy" / half, "cut off on the card");
    put(card / half, "cut off on the card too");
    put(card / ".vboard-copy-7-0", "the card's own");
    board::mountVolume(board(), "Card", card);
    EXPECT_FALSE(fs::exists(card / "AutoCopy" / half));
    EXPECT_FALSE(fs::exists(card / half));
    put(card / half, "cut off while mounted");

    // The only program ends, and the next one starts the board again.
    wince::shutdown();
    wince::boot(board_.dir(), nullptr, "test");
    EXPECT_FALSE(fs::exists(card / half));
    EXPECT_EQ(vtest::readFile(card / ".vboard-copy-7-0"), "the card's own");
    EXPECT_TRUE(opens("\\Card\\.vboard-copy-7-0"));
    EXPECT_FALSE(fs::exists(files() / half));
    EXPECT_FALSE(fs::exists(files() / "Windows" / half));
    EXPECT_FALSE(fs::exists(dir_ / (std::string(board::kCopyTempPrefix) + "4242-0")));
    EXPECT_TRUE(fs::exists(files() / "keep.vboard-copy-1"));
    EXPECT_EQ(vtest::readFile(files() / "v" / "x.vboard-copy-1"), "a name like a copy's, but not one");
    EXPECT_TRUE(fs::is_symlink(files() / (half + "-link")));
    EXPECT_EQ(vtest::readFile(board_.dir() / "outside.txt"), "not the board's");
}

}  // namespace
