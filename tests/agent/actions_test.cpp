// AutoCopy and AutoRun on a mounted card, called in-process.
#include <fcntl.h>
#include <linux/capability.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <functional>
#include <set>
#include <thread>

#include "agent_fixture.h"
#include "handles.h"

namespace fs = std::filesystem;

namespace {

const WCHAR kCard[] = u"\\Storage Card";

// Every file under `root`, relative to it.
std::set<std::string> treeOf(const fs::path &root) {
    std::set<std::string> out;
    for (auto &e : fs::recursive_directory_iterator(root))
        if (!e.is_directory()) out.insert(e.path().string().substr(root.string().size() + 1));
    return out;
}

using Actions = AgentOnBoard;

TEST_F(Actions, AVolumeWithoutItsFoldersCausesNoAction) {
    put(card_ / "readme.txt", "just a card");
    put(card_ / "Setup.exe", "not in AutoRun");
    const auto before = treeOf(files());
    AutoCopyVolume(kCard);
    RunAutoRun(kCard, AUTORUN_EXECUTABLES);
    RunAutoRun(kCard, AUTORUN_SHORTCUTS);
    EXPECT_EQ(treeOf(files()), before);
    EXPECT_TRUE(starts().empty());
}

TEST_F(Actions, AutoCopyPutsFilesAtTheSamePathWithoutMakingFolders) {
    put(files() / "Windows" / "x.dll", "old dll");
    fs::create_directories(files() / "Windows" / "Fonts");
    put(card_ / "AutoCopy" / "Windows" / "x.dll", "new dll");
    put(card_ / "AutoCopy" / "windows" / "fonts" / "f.ttf", "font");  // other case, same folders
    put(card_ / "AutoCopy" / "NewFolder" / "y.txt", "no folder for me");
    put(card_ / "AutoCopy" / "top.txt", "at the root");

    AutoCopyVolume(kCard);

    EXPECT_EQ(vtest::readFile(files() / "Windows" / "x.dll"), "new dll");
    EXPECT_EQ(vtest::readFile(files() / "Windows" / "Fonts" / "f.ttf"), "font");
    EXPECT_EQ(vtest::readFile(files() / "top.txt"), "at the root");
    EXPECT_FALSE(fs::exists(files() / "NewFolder"));
    EXPECT_TRUE(fs::exists(card_ / "AutoCopy" / "NewFolder" / "y.txt")) << "the card is only read";

    // Once the folder exists, the same card delivers the file.
    fs::create_directories(files() / "NewFolder");
    AutoCopyVolume(kCard);
    EXPECT_EQ(vtest::readFile(files() / "NewFolder" / "y.txt"), "no folder for me");
}

// A card offered under the name of a folder of the board takes another
// name, so that its own AutoCopy tree lands in the board's folder and never
// back on the card.
TEST_F(Actions, ACardNamedLikeABoardFolderNeverReceivesItsOwnFiles) {
    const fs::path card = board_.dir() / "card2";
    put(card / "AutoCopy" / "Windows" / "x.dll", "from the card");
    board::mountVolume(wince::currentBoard(), "Windows", card);
    AutoCopyVolume(u"\\Windows");
    AutoCopyVolume(u"\\Windows2");
    EXPECT_EQ(vtest::readFile(files() / "Windows" / "x.dll"), "from the card");
    EXPECT_EQ(treeOf(card), (std::set<std::string>{"AutoCopy/Windows/x.dll"}));
}

TEST_F(Actions, AutoRunStartsFilesOnlyAndNeverEntersSubfolders) {
    put(card_ / "AutoRun" / "b.exe", "b");
    put(card_ / "AutoRun" / "A.EXE", "a");
    put(card_ / "AutoRun" / "Sub" / "inner.exe", "inner");
    put(card_ / "AutoRun" / "Sub" / "inner.lnk", "1#\\Windows\\inner.exe");
    fs::create_directories(card_ / "AutoRun" / "Folder.exe");
    fs::create_directories(card_ / "AutoRun" / "Folder.lnk");
    put(card_ / "AutoRun" / "notes.txt", "not a program");
    put(card_ / "AutoRun" / "setup.exe.bak", "not a program");

    RunAutoRun(kCard, AUTORUN_EXECUTABLES);
    RunAutoRun(kCard, AUTORUN_SHORTCUTS);
    RunAutoRun(kCard, 2);  // no such kind: nothing
    RunAutoRun(kCard, -1);

    const std::vector<Start> want = {
        {"\\Storage Card\\AutoRun\\A.EXE", "<none>", true},
        {"\\Storage Card\\AutoRun\\b.exe", "<none>", true},
    };
    EXPECT_EQ(starts(), want);
}

// A card's links are followed only while they stay inside the card. One
// that leads out, absolutely, up into a folder beside the card, or into one
// whose name begins with the card folder's ("card" against "cardboard"),
// brings no host file onto the board and starts nothing.
TEST_F(Actions, LinksLeadingOutOfTheCardBringNothingOntoTheBoard) {
    const fs::path beside = board_.dir() / "other", namesake = board_.dir() / "cardboard";
    ASSERT_EQ(card_.filename(), "card");
    struct Link {
        fs::path at, target;
    };
    const fs::path copy = card_ / "AutoCopy", run = card_ / "AutoRun";
    const Link links[] = {
        {copy / "absolute.txt", beside / "host.txt"},        {copy / "up.txt", "../../other/host.txt"},
        {copy / "namesake.txt", "../../cardboard/host.txt"}, {copy / "inside.txt", "../card.txt"},
        {run / "absolute.exe", namesake / "host.exe"},       {run / "up.exe", "../../other/host.exe"},
        {run / "namesake.exe", "../../cardboard/host.exe"},  {run / "inside.exe", "../card.exe"},
        {run / "absolute.lnk", beside / "host.lnk"},         {run / "up.lnk", "../../other/host.lnk"},
        {run / "namesake.lnk", "../../cardboard/host.lnk"},  {run / "inside.lnk", "../card.lnk"},
    };
    for (const fs::path &dir : {beside, namesake}) {
        put(dir / "host.txt", "a host file");
        put(dir / "host.exe", "MZ");
        put(dir / "host.lnk", "1#\\Windows\\host.exe");
    }
    put(card_ / "card.txt", "from the card");
    put(card_ / "card.exe", "MZ");
    put(card_ / "card.lnk", "1#\\Windows\\card.exe");
    for (const auto &l : links) {
        fs::create_directories(l.at.parent_path());
        fs::create_symlink(l.target, l.at);
    }
    const auto before = treeOf(files());

    AutoCopyVolume(kCard);
    RunAutoRun(kCard, AUTORUN_EXECUTABLES);
    RunAutoRun(kCard, AUTORUN_SHORTCUTS);

    auto want = before;
    want.insert("inside.txt");
    EXPECT_EQ(treeOf(files()), want);
    EXPECT_EQ(vtest::readFile(files() / "inside.txt"), "from the card");
    const std::vector<Start> started = {
        {"\\Storage Card\\AutoRun\\inside.exe", "<none>", true},
        {"\\Windows\\card.exe", "<none>", false},
    };
    EXPECT_EQ(starts(), started);
}

TEST_F(Actions, HandlesAreNotKept) {
    put(card_ / "AutoRun" / "a.exe", "a");
    put(card_ / "AutoRun" / "a.lnk", "1#\\Storage Card\\AutoRun\\a.exe -x");
    put(card_ / "AutoCopy" / "f.txt", "f");
    const size_t before = wince::openHandleCount();
    AutoCopyVolume(kCard);
    RunAutoRun(kCard, AUTORUN_EXECUTABLES);
    RunAutoRun(kCard, AUTORUN_SHORTCUTS);
    EXPECT_EQ(starts().size(), 2u);
    EXPECT_EQ(wince::openHandleCount(), before);
}

// What a shortcut's text makes the agent start.
struct ShortcutCase {
    const char *what;
    std::string text;
    std::vector<Start> want;
};

TEST_F(Actions, ShortcutTexts) {
    put(files() / "Program Files" / "Tool" / "tool.exe", "MZ");
    put(files() / "Windows" / "pword.exe", "MZ");
    put(files() / "a b.exe", "MZ");
    put(files() / "caf\xC3\xA9.exe", "MZ");
    const std::string pword = "\\Windows\\pword.exe";
    const ShortcutCase cases[] = {
        {"quoted program and an argument",
         "23#\"\\Program Files\\Tool\\tool.exe\" -x",
         {{"\\Program Files\\Tool\\tool.exe", "-x", true}}},
        {"plain program", "19#\\Windows\\pword.exe", {{pword, "<none>", true}}},
        {"program and arguments",
         "31#\\Windows\\pword.exe \\My Documents\\a.doc",
         {{pword, "\\My Documents\\a.doc", true}}},
        {"no number before the #", "#\\Windows\\pword.exe", {{pword, "<none>", true}}},
        {"anything before the first # is skipped", "abc def#\\Windows\\pword.exe", {{pword, "<none>", true}}},
        {"a later # belongs to the arguments", "1#\\Windows\\pword.exe #2", {{pword, "#2", true}}},
        {"no # at all", "\\Windows\\pword.exe", {}},
        {"a NUL ends the text before its #", std::string("19\0#\\Windows\\pword.exe", 22), {}},
        {"empty file", "", {}},
        {"line end stays in the program", "19#\\Windows\\pword.exe\r\n", {{pword + "\r\n", "<none>", false}}},
        {"line end stays in the arguments", "9#\\Windows\\pword.exe -x\r\n", {{pword, "-x\r\n", true}}},
        {"unclosed quote takes the rest", "5#\"\\a b.exe -x", {{"\\a b.exe -x", "<none>", false}}},
        {"quoted program with spaces", "5#\"\\a b.exe\"", {{"\\a b.exe", "<none>", true}}},
        {"lone quote: empty program", "1#\"", {{"", "<none>", false}}},
        {"leading space: empty program", "3# \\Windows\\pword.exe", {{"", "\\Windows\\pword.exe", false}}},
        {"nothing after the #: empty program", "7#", {{"", "<none>", false}}},
        {"two spaces: arguments start with a space", "9#\\Windows\\pword.exe  -x", {{pword, " -x", true}}},
        {"trailing space: no arguments", "9#\\Windows\\pword.exe ", {{pword, "<none>", true}}},
        {"text between closing quote and space is dropped", "9#\"\\Windows\\pword.exe\"zz -y", {{pword, "-y", true}}},
        {"text after closing quote without a space", "9#\"\\Windows\\pword.exe\"zz", {{pword, "<none>", true}}},
        {"8-bit text goes through the code page", "1#\\caf\xE9.exe", {{"\\caf\xC3\xA9.exe", "<none>", true}}},
        {"# as the 255th byte is read", std::string(254, 'x') + "#", {{"", "<none>", false}}},
        {"# beyond the 255 bytes read is not", std::string(255, 'x') + "#\\Windows\\pword.exe", {}},
        {"arguments cut at the 255th byte",
         "1#\\Windows\\pword.exe " + std::string(300, 'a'),
         {{pword, std::string(255 - 21, 'a'), true}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(card_ / "AutoRun");
        put(card_ / "AutoRun" / "s.lnk", c.text);
        const size_t before = starts().size();
        RunAutoRun(kCard, AUTORUN_SHORTCUTS);
        const auto all = starts();
        EXPECT_EQ(std::vector<Start>(all.begin() + static_cast<long>(before), all.end()), c.want);
    }
}

// Runs `body` on a thread of its own without the capabilities that let
// root read any file, so that a file's mode binds it as it binds anyone
// else. Capabilities belong to a thread: the rest of the process keeps
// them. Without root there is nothing to drop.
void withoutReadOverride(const std::function<void()> &body) {
    std::thread([&] {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[2] = {};
        if (::syscall(SYS_capget, &header, data) == 0) {
            data[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
            ::syscall(SYS_capset, &header, data);
        }
        body();
    }).join();
}

TEST_F(Actions, ShortcutsThatCannotBeReadStartNothing) {
    // The unreadable shortcut comes first: the folder's walk goes on past it.
    put(card_ / "AutoRun" / "a-locked.lnk", "1#\\Windows\\pword.exe");
    put(card_ / "AutoRun" / "b-open.lnk", "1#\\Windows\\open.exe");
    ::chmod((card_ / "AutoRun" / "a-locked.lnk").c_str(), 0);
    bool readable = true;
    withoutReadOverride([&] {
        const int fd = ::open((card_ / "AutoRun" / "a-locked.lnk").c_str(), O_RDONLY);
        readable = fd >= 0;
        if (fd >= 0) ::close(fd);
        RunAutoRun(kCard, AUTORUN_SHORTCUTS);
    });
    ASSERT_FALSE(readable) << "the shortcut could not be made unreadable";
    const std::vector<Start> want = {{"\\Windows\\open.exe", "<none>", false}};
    EXPECT_EQ(starts(), want);
}

// Runs `body` on a thread with a small stack, as the board's 64 KB stack
// would be, and reports whether it finished.
struct Body {
    void (*run)();
};

bool onSmallStack(size_t bytes, void (*run)()) {
    Body body{run};
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, bytes);
    pthread_t thread;
    const int rc = pthread_create(
        &thread, &attr,
        [](void *arg) -> void * {
            static_cast<Body *>(arg)->run();
            return nullptr;
        },
        &body);
    pthread_attr_destroy(&attr);
    if (rc != 0) return false;
    pthread_join(thread, nullptr);
    return true;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kSmallStack = 1024 * 1024;  // the sanitizer's frames are far larger
#else
constexpr size_t kSmallStack = 64 * 1024;  // the board gives a thread 64 KB
#endif

TEST_F(Actions, ADeepTreeIsWalkedWithoutExhaustingTheStack) {
    // 300 nested folders on the card and the same folders on the board, one
    // file at every level. "\Storage Card\AutoCopy" has 22 characters; the
    // file at depth k has the path 22 + 2k + 6 characters long, which fits
    // 259 up to k = 115. Deeper files are skipped, not cut.
    fs::path src = card_ / "AutoCopy";
    fs::path dst = files();
    for (int k = 0; k <= 300; ++k) {
        put(src / "f.txt", "level " + std::to_string(k));
        fs::create_directories(dst);
        src /= "d";
        dst /= "d";
    }
    const auto cardBefore = treeOf(card_);
    const auto outsideBefore = treeOf(board_.dir());

    ASSERT_TRUE(onSmallStack(kSmallStack, [] { AutoCopyVolume(kCard); }));

    fs::path at = files();
    for (int k = 0; k <= 300; ++k) {
        const bool fits = 22 + 2 * k + 6 <= 259;
        if (fits) {
            EXPECT_EQ(vtest::readFile(at / "f.txt"), "level " + std::to_string(k)) << "depth " << k;
        } else {
            EXPECT_FALSE(fs::exists(at / "f.txt")) << "depth " << k;
        }
        at /= "d";
    }
    EXPECT_EQ(treeOf(card_), cardBefore);
    // The only new files of the board folder are the copies under files/.
    for (const auto &f : treeOf(board_.dir()))
        if (!outsideBefore.count(f)) {
            EXPECT_EQ(f.rfind("files/", 0), 0u) << f;
        }
}

TEST_F(Actions, PathsPastTheLimitAreSkippedNeverCut) {
    // "\Storage Card\AutoCopy\" has 23 characters: a name of 236 makes a path
    // of 259, which is copied; 237 makes 260, which is skipped. Cut to 259 it
    // would name the other file.
    const std::string fits(236, 'n');
    const std::string tooLong(237, 'n');
    put(card_ / "AutoCopy" / fits, "fits");
    put(card_ / "AutoCopy" / tooLong, "too long");
    put(card_ / "AutoCopy" / (std::string(240, 'm')), "too long");
    fs::create_directories(card_ / "AutoCopy" / std::string(240, 'f'));
    put(card_ / "AutoCopy" / std::string(240, 'f') / "x", "in a folder too long to list");

    AutoCopyVolume(kCard);

    EXPECT_EQ(vtest::readFile(files() / fits), "fits");
    EXPECT_EQ(treeOf(files()).count(tooLong), 0u);
    for (const auto &f : treeOf(files())) EXPECT_NE(f[0], 'm') << f;
    EXPECT_FALSE(fs::exists(files() / "x"));

    // The same bound holds for AutoRun names, "\\Storage Card\\AutoRun\\"
    // having 22 characters: 237 make 259, started; 238 make 260, skipped.
    put(card_ / "AutoRun" / (std::string(233, 'q') + ".exe"), "MZ");
    put(card_ / "AutoRun" / (std::string(234, 'r') + ".exe"), "MZ");
    put(card_ / "AutoRun" / (std::string(240, 's') + ".exe"), "MZ");
    RunAutoRun(kCard, AUTORUN_EXECUTABLES);
    const std::vector<Start> fitting = {{"\\Storage Card\\AutoRun\\" + std::string(233, 'q') + ".exe", "<none>", true}};
    EXPECT_EQ(starts(), fitting);
    const std::u16string longVolume = u"\\" + std::u16string(255, u'v');
    AutoCopyVolume(longVolume.c_str());
    RunAutoRun(longVolume.c_str(), AUTORUN_EXECUTABLES);
    EXPECT_EQ(starts(), fitting);
}

}  // namespace
