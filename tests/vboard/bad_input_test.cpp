// vboard refuses bad input with one line naming the problem and a non-zero
// exit, and leaves every file as it was: a refused setting must not break
// the board, a refused create must not leave a half-made one.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <vector>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

// Every entry under `dir`: folders, and files with their size.
std::map<std::string, std::string> listing(const fs::path &dir) {
    std::map<std::string, std::string> entries;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        entries[fs::relative(e.path(), dir).string()] =
            e.is_regular_file() ? std::to_string(e.file_size()) : std::string("<folder>");
    return entries;
}

bool sameBytes(const fs::path &a, const fs::path &b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    std::vector<char> bx(1 << 20), by(1 << 20);
    while (x && y) {
        x.read(bx.data(), static_cast<std::streamsize>(bx.size()));
        y.read(by.data(), static_cast<std::streamsize>(by.size()));
        if (x.gcount() != y.gcount() || std::memcmp(bx.data(), by.data(), static_cast<size_t>(x.gcount())) != 0)
            return false;
    }
    return !x && !y;
}

// The first entry in which `dir` differs from `model` (a name missing or
// extra, or a file's bytes), or "". Files are compared in pieces: a board
// holds a 64 MB flash, and whole copies of it per case were most of the
// table's time.
std::string differs(const fs::path &dir, const fs::path &model) {
    const auto have = listing(dir), want = listing(model);
    for (const auto &[name, what] : want)
        if (!have.count(name) || have.at(name) != what) return name;
    for (const auto &[name, what] : have)
        if (!want.count(name)) return name;
    for (const auto &[name, what] : want)
        if (what != "<folder>" && !sameBytes(dir / name, model / name)) return name;
    return "";
}

bool oneLine(const std::string &err) { return !err.empty() && err.find('\n') == err.size() - 1; }

// Replaces "B" with the board folder and "C" with a folder that does not exist yet.
std::vector<std::string> expand(std::vector<std::string> args, const fs::path &board) {
    for (auto &a : args) {
        if (a == "B") a = board.string();
        if (a == "C") a = (board / "new").string();
        if (a == "F") a = (board / "files").string();
    }
    return args;
}

// A copy of a board folder, removed again at the end.
struct BoardCopy {
    fs::path dir;
    BoardCopy(const fs::path &model, const fs::path &to) : dir(to) {
        fs::copy(model, dir, fs::copy_options::recursive);
    }
    ~BoardCopy() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

TEST(VboardBadInput, RefusedWithOneLineAndEveryFileAsItWas) {
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char *says;
    } cases[] = {
        // settings of a board
        {{"set", "B", "board_id=-1"}, 2, "/board_id must be a whole number"},
        {{"set", "B", "registry.save_fails=maybe"}, 2, "/registry/save_fails must be true or false, not \"maybe\""},
        {{"set", "B", "hal.reboot=restrat"}, 2, "/hal/reboot must be one of \"restart\" \"return\""},
        {{"set", "B", "nonsense.key=1"}, 2, "unknown board setting /nonsense"},
        {{"set", "B", "hal.reboots=return"}, 2, "unknown board setting /hal/reboots"},
        {{"set", "B", "board_id.x=1"}, 2, "/board_id/x"},
        {{"set", "B", "hal=3"}, 2, "/hal must be a section"},
        {{"set", "B", "flash.faults.locked=[999]"}, 2, "block 999 is beyond the flash"},
        {{"set", "B", "flash.faults.locked=3"}, 2, "/flash/faults/locked must be a list"},
        {{"set", "B", "board_id=2", "bogus"}, 2, "KEY=VALUE, not 'bogus'"},
        {{"set", "B"}, 2, "set needs"},
        // a new board: nothing may stay behind
        {{"create", "C", "--set", "board_id=abc"}, 2, "/board_id must be a whole number below 2^32, not \"abc\""},
        {{"create", "C", "--set", "nonsense.key=1"}, 2, "unknown board setting /nonsense"},
        {{"create", "C", "--set"}, 2, "--set needs KEY=VALUE"},
        {{"create", "C", "--sett", "board_id=2"}, 2, "unknown option '--sett'"},
        // refused by the hardware once the board is half made
        {{"create", "C", "--set", "flash.faults.locked=[999]"}, 1, "block 999 is beyond the flash"},
        {{"create", "C", "--set", "bootloader.banner_offset=262100"}, 1, "does not fit in block 0"},
        {{"create", "C", "--set", "flash.exact_polling=true", "--set", "flash.timing.access_ns=0"},
         1,
         "access_ns must be above 0 while /flash/exact_polling is true"},
        {{"set", "B", "flash.exact_polling=true", "flash.timing.access_ns=0"}, 2, "no bus access would advance"},
        {{"create", "B"}, 1, "a board already exists"},
        {{"create", "F"}, 1, "already holds other files"},
        // running and reading a board
        {{"run", "B", "--script"}, 2, "--script needs a file"},
        {{"run", "B", "--script", "--show", "image-update-tool"}, 2, "--script needs a file"},
        {{"run", "B", "--show", "image-update-tool"}, 2, "--show draws what a scripted operator sees"},
        {{"run", "B", "--script", "no-such-script.txt", "image-update-tool"}, 2, "no script"},
        {{"run", "B", "--slow", "image-update-tool"}, 2, "unknown option '--slow'"},
        {{"run", "B"}, 2, "run needs a program"},
        {{"run", "--pace", "B"}, 2, "run needs a program"},
        {{"run", "--pace"}, 2, "run needs a board folder and a program"},
        {{"log", "B", "extra"}, 2, "not 'extra'"},
        {{"log", "B", "--json", "extra"}, 2, "not 'extra'"},
        {{"flash", "B", "--trace", "maybe"}, 2, ""},
        {{"frobnicate", "B"}, 2, "unknown command 'frobnicate'"},
        {{"--verison"}, 2, "unknown command '--verison'"},
        {{"--version", "B"}, 2, "--version takes nothing after it"},
    };
    // Every case gets its own copy of one board, and is compared against it.
    vtest::TempBoard model;
    vtest::writeFile(model.files() / "keep.txt", "the board's own file");
    for (const auto &c : cases) {
        BoardCopy board(model.dir(), model.dir().string() + "-case");
        const auto args = expand(c.args, board.dir);
        const auto r = vtest::run("vboard", args);
        std::string line = c.args[0];
        for (size_t i = 1; i < c.args.size(); ++i) line += " " + c.args[i];
        EXPECT_EQ(r.exitCode, c.exitCode) << line << ": " << r.err;
        EXPECT_EQ(r.err.rfind("vboard: ", 0), 0u) << line << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << line << ": " << r.err;
        if (c.args[0] != "frobnicate" && c.args[0] != "--verison") {  // these add the usage
            EXPECT_TRUE(oneLine(r.err)) << line << ": " << r.err;
        }
        EXPECT_EQ(differs(board.dir, model.dir()), "") << line << " changed the board's files";
        // The board still takes a good setting.
        EXPECT_EQ(vtest::run("vboard", {"set", board.dir.string(), "board_id=2"}).exitCode, 0) << line;
    }
}

TEST(VboardBadInput, AFailedCreateInAnEmptyFolderLeavesItEmpty) {
    vtest::TempBoard scratch;
    const fs::path empty = scratch.dir() / "empty";
    const fs::path nested = scratch.dir() / "a" / "b" / "c";
    fs::create_directory(empty);
    for (const fs::path &dir : {empty, nested}) {
        const auto r = vtest::run("vboard", {"create", dir.string(), "--set", "image.build_time=yesterday"});
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find("yesterday"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(fs::is_empty(empty));
    EXPECT_FALSE(fs::exists(scratch.dir() / "a"));  // the folders create made go too
    // ... and a good create then works there.
    EXPECT_EQ(vtest::run("vboard", {"create", empty.string()}).exitCode, 0);
    EXPECT_TRUE(fs::exists(empty / "board.json"));
}

TEST(VboardBadInput, ASettingTheFlashRefusesLeavesAHandEditedFileByteForByte) {
    vtest::TempBoard board;
    const auto file = board.dir() / "board.json";
    const std::string edited = nlohmann::json::parse(vtest::readFile(file)).dump() + "\n";  // one line
    vtest::writeFile(file, edited);
    const auto r =
        vtest::run("vboard", {"set", board.dir().string(), "flash.faults.erase_fails=[{\"block\":1,\"device\":2}]"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("\"device\" must be 0 or 1"), std::string::npos) << r.err;
    EXPECT_EQ(vtest::readFile(file), edited);
    EXPECT_FALSE(std::filesystem::exists(board.dir() / "board.json.new"));
}

TEST(VboardBadInput, GoodSettingsAreTakenAndKeptAsTyped) {
    vtest::TempBoard board;
    const auto r = vtest::run("vboard", {"set", board.dir().string(), "hal.reboot=return", "/registry/save_fails=true",
                                         "flash.faults.locked=[40]", "flash.timing.erase_ns=5000000000"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto settings = nlohmann::json::parse(vtest::readFile(board.dir() / "board.json"));
    EXPECT_EQ(settings["hal"]["reboot"], "return");
    EXPECT_EQ(settings["registry"]["save_fails"], true);
    EXPECT_EQ(settings["flash"]["faults"]["locked"], nlohmann::json::array({40}));
    EXPECT_EQ(settings["flash"]["timing"]["erase_ns"], 5000000000ull);
}

// A board damaged by hand is named as such, in one true line.
TEST(VboardBadInput, ADamagedBoardIsToldInOneTrueLine) {
    const struct {
        const char *name;
        void (*damage)(const fs::path &board);
        std::vector<std::string> args;  // "B" stands for the board
        int exitCode;
        const char *says;
    } cases[] = {
        {"objects/ removed",
         [](const fs::path &b) { fs::remove_all(b / "objects"); },
         {"run", "B", "image-update-tool", "/r"},
         71,
         "is damaged: its folder"},
        {"the event log a folder",
         [](const fs::path &b) {
             fs::remove(b / "events.jsonl");
             fs::create_directory(b / "events.jsonl");
         },
         {"log", "B"},
         1,
         "events.jsonl is not a file"},
        {"settings a list",
         [](const fs::path &b) { vtest::writeFile(b / "board.json", "[]"); },
         {"log", "B"},
         1,
         "hold [], not an object of settings"},
        {"settings null",
         [](const fs::path &b) { vtest::writeFile(b / "board.json", "null\n"); },
         {"log", "B"},
         1,
         "hold null, not an object of settings"},
    };
    for (const auto &c : cases) {
        vtest::TempBoard board;
        c.damage(board.dir());
        const auto r = vtest::run("vboard", expand(c.args, board.dir()));
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << ": " << r.err;
        EXPECT_TRUE(oneLine(r.err)) << c.name << ": " << r.err;
    }

    // A last line cut short by a crash: the next event starts on its own
    // line, and the log says how many lines it could not read.
    vtest::TempBoard board;
    { std::ofstream(board.dir() / "events.jsonl", std::ios::app) << R"({"event":"messagebox","te)"; }
    ASSERT_EQ(vtest::run("vboard", {"run", board.dir().string(), "image-update-tool", "/r"}).exitCode, 0);
    const auto log = vtest::run("vboard", {"log", board.dir().string()});
    EXPECT_EQ(log.exitCode, 0) << log.err;
    EXPECT_NE(log.out.find("reboot"), std::string::npos) << log.out;
    EXPECT_NE(log.err.find("vboard: 1 line(s) of "), std::string::npos) << log.err;
    EXPECT_TRUE(oneLine(log.err)) << log.err;
}

// A board on a read-only mount serves the commands that only read it.
TEST(VboardBadInput, AReadOnlyBoardServesThoseWhoOnlyRead) {
    vtest::TempBoard board;
    const auto image = board.dir().string() + "-nk.bin";
    ASSERT_EQ(vtest::run("mkbin", {"--sample", "256K", image}).exitCode, 0);
    const fs::path ro = board.dir().string() + "-ro";
    fs::create_directory(ro);
    if (vtest::run("/bin/mount", {"--bind", "-o", "ro", board.dir().string(), ro.string()}).exitCode != 0) {
        fs::remove(ro);
        fs::remove(image);
        GTEST_SKIP() << "no read-only bind mount here (needs root)";
    }
    const auto log = vtest::run("vboard", {"log", ro.string()});
    const auto verify = vtest::run("inspectbin", {image, "--board", ro.string(), "--verify"});
    const auto set = vtest::run("vboard", {"set", ro.string(), "board_id=3"});
    vtest::run("/bin/umount", {ro.string()});
    fs::remove(ro);
    fs::remove(image);
    EXPECT_EQ(log.exitCode, 0) << log.err;
    EXPECT_EQ(verify.exitCode, 1) << verify.out << verify.err;  // a blank flash does not hold it
    EXPECT_NE(verify.out.find("does NOT hold"), std::string::npos) << verify.out;
    EXPECT_NE(set.err.find("Read-only file system"), std::string::npos) << "a write names the system's reason";
}

TEST(VboardBadInput, HelpAndVersionAreOnStandardOutput) {
    for (const std::vector<std::string> &args : {std::vector<std::string>{"--help"}, {"-h"}, {"create", "--help"}}) {
        const auto r = vtest::run("vboard", args);
        EXPECT_EQ(r.exitCode, 0) << args[0];
        EXPECT_EQ(r.out.rfind("usage:", 0), 0u) << r.out;
        EXPECT_NE(r.out.find("Exit codes"), std::string::npos);
        EXPECT_NE(r.out.find("vboard --help | --version"), std::string::npos);
        EXPECT_EQ(r.err, "");
    }
    const auto version = vtest::run("vboard", {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, "vboard " VBOARD_EXPECTED_VERSION "\n");
    EXPECT_EQ(version.err, "");
    const auto bare = vtest::run("vboard", {});
    EXPECT_EQ(bare.exitCode, 2);
    EXPECT_EQ(bare.err.rfind("usage:", 0), 0u);
}

}  // namespace
