// Files of the board's file system through the platform calls.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "board/filesystem.h"
#include "board/volumes.h"
#include "board/boot.h"
#include "board_fixture.h"
#include "handles.h"

namespace fs = std::filesystem;

namespace {

class Files : public OnBoard {
  protected:
    HANDLE open(const std::string &path, DWORD access, DWORD share, DWORD disposition) {
        return CreateFileW(W(path).c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    std::string readAll(const std::string &path) {
        HANDLE h = open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
        if (h == INVALID_HANDLE_VALUE) return "<cannot open>";
        std::string out;
        char buf[64];
        DWORD n = 0;
        while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
        CloseHandle(h);
        return out;
    }
};

TEST_F(Files, CreationDispositionsFollowThePlatform) {
    struct Case {
        DWORD disposition;
        bool existsBefore;
        bool opens;
        DWORD error;          // GetLastError afterwards
        std::string content;  // of the file afterwards ("-" for none)
    };
    const Case cases[] = {
        {CREATE_NEW, false, true, ERROR_SUCCESS, ""},
        {CREATE_NEW, true, false, ERROR_FILE_EXISTS, "old"},
        {CREATE_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {CREATE_ALWAYS, true, true, ERROR_ALREADY_EXISTS, ""},
        {OPEN_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "-"},
        {OPEN_EXISTING, true, true, ERROR_SUCCESS, "old"},
        {OPEN_ALWAYS, false, true, ERROR_SUCCESS, ""},
        {OPEN_ALWAYS, true, true, ERROR_ALREADY_EXISTS, "old"},
        {TRUNCATE_EXISTING, false, false, ERROR_FILE_NOT_FOUND, "-"},
        {TRUNCATE_EXISTING, true, true, ERROR_SUCCESS, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("disposition " + std::to_string(c.disposition) + (c.existsBefore ? " on a file" : " on nothing"));
        fs::remove(files() / "f.txt");
        if (c.existsBefore) put(files() / "f.txt", "old");
        SetLastError(12345);
        HANDLE h = open("\\f.txt", GENERIC_READ | GENERIC_WRITE, 0, c.disposition);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.opens);
        EXPECT_EQ(GetLastError(), c.error);
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        if (c.content == "-") {
            EXPECT_FALSE(fs::exists(files() / "f.txt"));
        } else {
            EXPECT_EQ(vtest::readFile(files() / "f.txt"), c.content);
        }
    }
    // Truncating needs write access; an unknown disposition is refused.
    EXPECT_EQ(open("\\f.txt", GENERIC_READ, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(open("\\f.txt", GENERIC_READ, 0, 9), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST_F(Files, ReadWriteSeekAndSize) {
    HANDLE h = open("\\data.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, "0123456789", 10, &n, nullptr));
    EXPECT_EQ(n, 10u);
    DWORD high = 7;
    EXPECT_EQ(GetFileSize(h, &high), 10u);
    EXPECT_EQ(high, 0u);

    EXPECT_EQ(SetFilePointer(h, -4, nullptr, FILE_END), 6u);
    char buf[16] = {};
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "6789");
    ASSERT_TRUE(ReadFile(h, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u) << "reading at the end gives nothing, and succeeds";

    EXPECT_EQ(SetFilePointer(h, 2, nullptr, FILE_BEGIN), 2u);
    EXPECT_EQ(SetFilePointer(h, 3, nullptr, FILE_CURRENT), 5u);
    EXPECT_EQ(SetFilePointer(h, -6, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), 131u) << "a seek before the start fails";
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 5u) << "and leaves the position alone";

    // A 64-bit position through the high part.
    LONG hi = 1;
    EXPECT_EQ(SetFilePointer(h, 16, &hi, FILE_BEGIN), 16u);
    EXPECT_EQ(hi, 1);
    CloseHandle(h);

    // A handle without write access cannot write, one without read cannot read.
    h = open("\\data.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(WriteFile(h, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    CloseHandle(h);
    h = open("\\data.bin", GENERIC_WRITE, 0, OPEN_EXISTING);
    EXPECT_FALSE(ReadFile(h, buf, 1, &n, nullptr));
    CloseHandle(h);
    EXPECT_EQ(vtest::readFile(files() / "data.bin"), "0123456789");
}

TEST_F(Files, ShareModesKeepOpensApart) {
    put(files() / "s.txt", "shared");
    HANDLE reader = open("\\s.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    // Another reader that shares reading is fine; a writer is not.
    HANDLE second = open("\\s.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);
    EXPECT_EQ(open("\\s.txt", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // A reader that does not share reading cannot join.
    EXPECT_EQ(open("\\s.txt", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    // An open file cannot be deleted or copied over.
    put(files() / "other.txt", "other");
    EXPECT_FALSE(DeleteFileW(u"\\s.txt"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(CopyFileW(u"\\other.txt", u"\\s.txt", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(reader);
    EXPECT_TRUE(CopyFileW(u"\\other.txt", u"\\s.txt", FALSE));
    EXPECT_TRUE(DeleteFileW(u"\\s.txt"));
    EXPECT_FALSE(fs::exists(files() / "s.txt"));

    // The same between programs: one started before the file was opened
    // neither replaces it nor deletes it, and the holder's write stays.
    int go[2];
    ASSERT_EQ(::pipe(go), 0);
    const pid_t other = ::fork();
    if (other == 0) {
        char c = 0;
        if (::read(go[0], &c, 1) != 1) ::_exit(2);
        const bool copyRefused = !CopyFileW(u"\\other.txt", u"\\held.txt", FALSE) &&
                                 GetLastError() == static_cast<DWORD>(ERROR_SHARING_VIOLATION);
        const bool deleteRefused = !DeleteFileW(u"\\held.txt");
        const bool openRefused =
            open("\\held.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING) == INVALID_HANDLE_VALUE;
        ::_exit(copyRefused && deleteRefused && openRefused ? 0 : 1);
    }
    HANDLE holder = open("\\held.txt", GENERIC_WRITE, 0, CREATE_NEW);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    ASSERT_EQ(::write(go[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(other, &status, 0), other);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other program got past the share mode";
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(holder, "mine", 4, &written, nullptr));
    CloseHandle(holder);
    ::close(go[0]);
    ::close(go[1]);
    EXPECT_EQ(vtest::readFile(files() / "held.txt"), "mine");
}

TEST_F(Files, NamesMatchWithoutRegardToCase) {
    put(files() / "Windows" / "Tool.DLL", "dll");
    const auto entries = std::distance(fs::directory_iterator(files() / "Windows"), fs::directory_iterator());
    EXPECT_EQ(readAll("\\WINDOWS\\tool.dll"), "dll");
    EXPECT_EQ(readAll("/windows/TOOL.dll"), "dll") << "forward slashes are separators too";
    // Writing under another spelling replaces the file rather than adding one.
    HANDLE h = open("\\windows\\TOOL.dll", GENERIC_WRITE, 0, CREATE_ALWAYS);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD n = 0;
    WriteFile(h, "new", 3, &n, nullptr);
    CloseHandle(h);
    EXPECT_EQ(vtest::readFile(files() / "Windows" / "Tool.DLL"), "new");
    EXPECT_EQ(std::distance(fs::directory_iterator(files() / "Windows"), fs::directory_iterator()), entries);
    EXPECT_EQ(GetFileAttributesW(u"\\wINDOWS") & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST_F(Files, PathsOfTheLimitAndBeyondFail) {
    // 259 characters is the longest path; 260 and more fail before any look.
    fs::create_directories(files() / std::string(200, 'd'));
    const std::string name259 = "\\" + std::string(200, 'd') + "\\" + std::string(57, 'a');
    const std::string name260 = name259 + "a";
    HANDLE h = open(name259, GENERIC_WRITE, 0, CREATE_NEW);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    CloseHandle(h);
    for (auto call : {0, 1, 2, 3}) {
        SetLastError(0);
        switch (call) {
        case 0:
            EXPECT_EQ(open(name260, GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
            break;
        case 1:
            EXPECT_EQ(GetFileAttributesW(W(name260).c_str()), INVALID_FILE_ATTRIBUTES);
            break;
        case 2:
            EXPECT_FALSE(CopyFileW(W(name259).c_str(), W(name260).c_str(), FALSE));
            break;
        case 3:
            EXPECT_FALSE(CreateDirectoryW(W(name260).c_str(), nullptr));
            break;
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE)) << "call " << call;
    }
}

TEST_F(Files, NoPathLeadsOutOfTheBoard) {
    const fs::path outside = board_.dir() / "outside";
    fs::create_directories(outside);
    put(outside / "secret.txt", "secret");
    const fs::path t = files() / "t";
    put(t / "inside.txt", "inside");
    fs::create_directory_symlink(outside, t / "out");         // a folder link out
    fs::create_symlink(outside / "secret.txt", t / "s.lnk");  // a file link out
    fs::create_symlink(outside / "new.txt", t / "dangling");  // would create outside
    fs::create_symlink(t / "inside.txt", t / "alias.txt");    // a link that stays in

    EXPECT_EQ(readAll("\\..\\board.json"), "<cannot open>");
    EXPECT_EQ(readAll("\\t\\..\\..\\board.json"), "<cannot open>");
    EXPECT_EQ(readAll("\\t\\out\\secret.txt"), "<cannot open>");
    EXPECT_EQ(readAll("\\t\\s.lnk"), "<cannot open>");
    EXPECT_EQ(readAll("\\t\\alias.txt"), "inside");
    EXPECT_EQ(GetFileAttributesW(u"\\t\\out"), INVALID_FILE_ATTRIBUTES);

    // Nothing gets written outside, whatever the way.
    EXPECT_EQ(open("\\t\\dangling", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(CopyFileW(u"\\t\\inside.txt", u"\\t\\out\\copy.txt", FALSE));
    EXPECT_FALSE(CopyFileW(u"\\t\\inside.txt", u"\\t\\dangling", FALSE));
    EXPECT_FALSE(CopyFileW(u"\\t\\inside.txt", u"\\t\\s.lnk", FALSE));
    EXPECT_FALSE(CreateDirectoryW(u"\\t\\out\\dir", nullptr));
    EXPECT_FALSE(CopyFileW(u"\\t\\s.lnk", u"\\t\\stolen.txt", FALSE));
    EXPECT_FALSE(fs::exists(t / "stolen.txt"));
    std::vector<std::string> outsideNames;
    for (auto &e : fs::directory_iterator(outside)) outsideNames.push_back(e.path().filename().string());
    EXPECT_EQ(outsideNames, std::vector<std::string>{"secret.txt"});
    EXPECT_EQ(vtest::readFile(outside / "secret.txt"), "secret");

    // Enumeration does not show the links that lead out.
    std::vector<std::string> listed;
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW(u"\\t\\*", &fd);
    ASSERT_NE(f, INVALID_HANDLE_VALUE);
    do listed.push_back(wince::toUtf8(fd.cFileName));
    while (FindNextFileW(f, &fd));
    FindClose(f);
    EXPECT_EQ(listed, (std::vector<std::string>{"alias.txt", "inside.txt"}));
}

TEST_F(Files, CopyRules) {
    put(files() / "src.txt", "source");
    put(files() / "Windows" / "old.txt", "old");
    struct stat before = {};
    ASSERT_EQ(::stat((files() / "src.txt").c_str(), &before), 0);

    EXPECT_TRUE(CopyFileW(u"\\src.txt", u"\\Windows\\new.txt", TRUE));
    EXPECT_EQ(vtest::readFile(files() / "Windows" / "new.txt"), "source");
    struct stat after = {};
    ASSERT_EQ(::stat((files() / "Windows" / "new.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec) << "a copy keeps the last-write time";

    EXPECT_FALSE(CopyFileW(u"\\src.txt", u"\\Windows\\OLD.txt", TRUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
    EXPECT_EQ(vtest::readFile(files() / "Windows" / "old.txt"), "old");
    EXPECT_TRUE(CopyFileW(u"\\src.txt", u"\\Windows\\OLD.txt", FALSE));
    EXPECT_EQ(vtest::readFile(files() / "Windows" / "old.txt"), "source");

    // A copy makes no folders.
    EXPECT_FALSE(CopyFileW(u"\\src.txt", u"\\NewFolder\\y.txt", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(fs::exists(files() / "NewFolder"));

    EXPECT_FALSE(CopyFileW(u"\\missing.txt", u"\\x.txt", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CopyFileW(u"\\Windows", u"\\x.txt", FALSE)) << "a folder is not copied";
    EXPECT_FALSE(CopyFileW(u"\\src.txt", u"\\Windows", FALSE)) << "a folder is not replaced";
    EXPECT_TRUE(fs::is_directory(files() / "Windows"));
    // Nor is a read-only file, whoever the host lets write it.
    put(files() / "locked.txt", "locked");
    fs::permissions(files() / "locked.txt", fs::perms::owner_read | fs::perms::group_read);
    EXPECT_FALSE(CopyFileW(u"\\src.txt", u"\\LOCKED.txt", FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(open("\\locked.txt", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(vtest::readFile(files() / "locked.txt"), "locked");
    // Onto itself: refused, and the file keeps its bytes.
    EXPECT_FALSE(CopyFileW(u"\\src.txt", u"\\SRC.TXT", FALSE));
    EXPECT_EQ(vtest::readFile(files() / "src.txt"), "source");

    // No scratch files stay behind.
    for (auto &e : fs::recursive_directory_iterator(files()))
        EXPECT_EQ(e.path().filename().string().find(".vboard-copy"), std::string::npos) << e.path();
}

TEST_F(Files, FoldersAttributesAndDeletion) {
    EXPECT_TRUE(CreateDirectoryW(u"\\Temp", nullptr));
    EXPECT_FALSE(CreateDirectoryW(u"\\TEMP", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(u"\\No\\Such", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    put(files() / "Temp" / "a.txt", "a");
    EXPECT_EQ(GetFileAttributesW(u"\\Temp"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(u"\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\a.txt") & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_EQ(GetFileAttributesW(u"\\Temp\\b.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(u"\\Nope\\b.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));

    EXPECT_FALSE(DeleteFileW(u"\\Temp")) << "DeleteFileW removes files only";
    EXPECT_TRUE(DeleteFileW(u"\\temp\\A.TXT"));
    EXPECT_FALSE(DeleteFileW(u"\\temp\\A.TXT"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(CreateFileW(u"\\Temp", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE)
        << "a folder does not open as a file";
}

TEST_F(Files, CreationTimeIsTheBoardsOwn) {
    put(files() / "Windows" / "default.fdf", "image");
    const uint64_t kept = 0x01D2345678ABCDEFull;
    board::setCreationTime(board(), "\\Windows\\default.fdf", kept);

    HANDLE h =
        CreateFileW(u"\\windows\\DEFAULT.FDF", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME created = {}, written = {};
    ASSERT_TRUE(GetFileTime(h, &created, nullptr, &written));
    CloseHandle(h);
    EXPECT_EQ((uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime, kept);
    EXPECT_EQ(board::creationTime(board(), "\\WINDOWS\\default.fdf"), kept);

    // Without a kept time the host's modification time stands in.
    struct stat st = {};
    put(files() / "plain.txt", "x");
    ASSERT_EQ(::stat((files() / "plain.txt").c_str(), &st), 0);
    const uint64_t mtime = board::fileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
    EXPECT_EQ(board::creationTime(board(), "\\plain.txt"), mtime);
    EXPECT_EQ(board::creationTime(board(), "\\nothing.txt"), std::nullopt);
    // 1970-01-01 is 11644473600 s after 1601-01-01.
    EXPECT_EQ(board::fileTimeFromUnix(0, 0), 116444736000000000ull);

    // A file deleted and made anew does not inherit the old time.
    put(files() / "Windows" / "mine.txt", "mine");
    board::setCreationTime(board(), "\\Windows\\mine.txt", kept);
    ASSERT_TRUE(DeleteFileW(u"\\Windows\\mine.txt"));
    h = CreateFileW(u"\\Windows\\mine.txt", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(GetFileTime(h, &created, nullptr, &written));
    CloseHandle(h);
    EXPECT_NE((uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime, kept);
}

// "\Windows" shows the running image's files, read-only, with the table's
// times, under the board's own files of the same name.
TEST_F(Files, TheRunningImagesFilesAreReadOnlyUnderTheBoardsOwn) {
    EXPECT_EQ(readAll("\\windows\\Default.fdf"),
              "[Files]\r\nnk.exe\r\ncoredll.dll\r\nfilesys.exe\r\ngwes.exe\r\ndevice.exe\r\n");
    EXPECT_EQ(GetFileAttributesW(u"\\Windows\\nk.exe"),
              static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(board::creationTime(board(), "\\Windows\\nk.exe"), 128175769890000000ull);  // 2007-03-05 14:03:09
    for (DWORD disposition : {DWORD(OPEN_EXISTING), DWORD(CREATE_ALWAYS), DWORD(TRUNCATE_EXISTING)}) {
        EXPECT_EQ(open("\\Windows\\nk.exe", GENERIC_WRITE, 0, disposition), INVALID_HANDLE_VALUE) << disposition;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED)) << disposition;
    }
    EXPECT_FALSE(DeleteFileW(u"\\Windows\\nk.exe"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(fs::file_size(board::imageFilesDir(board()) / "nk.exe"), 0x2F000u) << "the image's file changed";
    // A file of the board's own is seen instead, and can go again.
    put(files() / "Windows" / "NK.EXE", "own");
    EXPECT_EQ(readAll("\\Windows\\nk.exe"), "own");
    EXPECT_TRUE(DeleteFileW(u"\\Windows\\nk.exe"));
    EXPECT_EQ(GetFileAttributesW(u"\\Windows\\nk.exe") & FILE_ATTRIBUTE_READONLY,
              static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    // Only "\Windows" shows them.
    EXPECT_EQ(GetFileAttributesW(u"\\nk.exe"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(Files, MountedVolumesAreFoldersOfTheRoot) {
    const fs::path card = board_.dir() / "card";
    put(card / "AutoRun" / "Setup.exe", "exe");
    board::mountVolume(board(), "Storage Card", card);
    EXPECT_EQ(readAll("\\storage card\\autorun\\setup.EXE"), "exe");
    EXPECT_EQ(GetFileAttributesW(u"\\Storage Card"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_TRUE(CopyFileW(u"\\Storage Card\\AutoRun\\Setup.exe", u"\\Setup.exe", FALSE));
    EXPECT_EQ(vtest::readFile(files() / "Setup.exe"), "exe");
    EXPECT_FALSE(CopyFileW(u"\\Setup.exe", u"\\Storage Card\\..\\..\\x", FALSE));

    board::unmountVolume(board(), "STORAGE CARD");
    EXPECT_EQ(GetFileAttributesW(u"\\Storage Card"), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(fs::exists(card / "AutoRun" / "Setup.exe")) << "removing a card leaves its files alone";

    // A volume never hides what the root holds: it takes the next free name,
    // past the folders, files and volumes there.
    const fs::path other = board_.dir() / "other";
    put(other / "Tool.DLL", "card");
    put(files() / "Windows" / "keep.txt", "board");
    board::mountVolume(board(), "WINDOWS", other);
    board::mountVolume(board(), "setup.EXE", other);
    board::mountVolume(board(), "windows", other);
    std::vector<std::string> names;
    for (const auto &v : board::mountedVolumes(board())) names.push_back(v.name);
    EXPECT_EQ(names, (std::vector<std::string>{"WINDOWS2", "setup.EXE2", "windows3"}));
    EXPECT_EQ(readAll("\\windows\\keep.txt"), "board");
    EXPECT_EQ(readAll("\\Windows3\\tool.dll"), "card");
}

TEST_F(Files, VolumeTableRefusesBadMounts) {
    const fs::path card = board_.dir() / "card";
    fs::create_directories(card);
    board::mountVolume(board(), "Storage Card", card);
    for (const std::string name : {"", "a\\b", "a/b", "..", "x*", "trailing.", "storage card"})
        EXPECT_THROW(board::mountVolume(board(), name, card), board::BoardError) << "name '" << name << "'";
    EXPECT_THROW(board::mountVolume(board(), "Other", board_.dir() / "missing"), board::BoardError);
    EXPECT_THROW(board::unmountVolume(board(), "Other"), board::BoardError);
    ASSERT_EQ(board::mountedVolumes(board()).size(), 1u);
    EXPECT_EQ(board::mountedVolumes(board())[0].hostDir, fs::canonical(card));
}

TEST_F(Files, HandlesAreReleased) {
    put(files() / "a.txt", "a");
    const size_t before = wince::openHandleCount();
    HANDLE h = CreateFileW(u"\\a.txt", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    WIN32_FIND_DATAW fd;
    HANDLE f = FindFirstFileW(u"\\*", &fd);
    EXPECT_EQ(wince::openHandleCount(), before + 2);
    EXPECT_TRUE(CloseHandle(h));
    EXPECT_TRUE(FindClose(f));
    EXPECT_FALSE(FindClose(f));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(wince::openHandleCount(), before);
}

}  // namespace
