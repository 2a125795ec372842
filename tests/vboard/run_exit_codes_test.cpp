// `vboard run` tells apart how a run ended: the program's own exit code, a
// run the platform stopped (70), a board that could not be used (71), a
// board that did not boot (72); `vboard download` brings such a board back.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <set>

#include "board/flash.h"
#include "test_support.h"

namespace {

TEST(VboardRunExitCodes, EachWayARunEndsHasItsOwnCode) {
    const struct {
        const char *name;
        nlohmann::json boardPatch;  // written into board.json by hand
        const char *script;
        std::vector<std::string> programArgs;
        int exitCode;
        const char *says;
        bool imageErased = false;  // the first block of the image flash
    } cases[] = {
        {"the tool's own end", {}, "wait dialog \"Update Tool v1.4\"\nclose\n", {}, 1, ""},
        {"the script goes off its course", {}, "press 1002\n", {"/f"}, 70, "script line 1"},
        {"settings the board cannot use", {{"board_id", "seven"}}, "close\n", {}, 71, "/board_id"},
        {"a flash the board cannot use",
         {{"flash", {{"faults", {{"locked", {300}}}}}}},
         "accept\n",
         {"/u", "\\nk.bin"},
         71,
         "block 300 is beyond the flash"},
        {"a board that does not boot",
         {},
         "close\n",
         {},
         72,
         "vboard: the board does not boot: Image in flash is not valid. (no signature \"ECEC\" at 0x9ca00040",
         true},
        {"a program-only board without an image", {{"boot", {{"without_image", true}}}}, "close\n", {}, 1, "", true},
    };
    for (const auto &c : cases) {
        vtest::TempBoard board;
        vtest::writeFile(board.files() / "nk.bin", "B000FF\n");
        if (!c.boardPatch.empty()) {
            auto settings = nlohmann::json::parse(vtest::readFile(board.dir() / "board.json"));
            settings.merge_patch(c.boardPatch);
            vtest::writeFile(board.dir() / "board.json", settings.dump());
        }
        if (c.imageErased)
            board::FlashPair(board.dir())
                .writeArray(0xA00000, std::vector<uint8_t>(board::FlashPair::kBlockSize, 0xFF));
        const auto script = board.writeScratch("s.txt", c.script);
        std::vector<std::string> args = {"run", board.dir().string(), "--script", script.string(), "image-update-tool"};
        args.insert(args.end(), c.programArgs.begin(), c.programArgs.end());
        const auto r = vtest::run("vboard", args, {}, 60);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << c.name << ": " << r.err;
        // Refused in one line that says how to recover.
        if (c.exitCode == 72) {
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_NE(r.err.find("`vboard download " + board.dir().string() + " IMAGE.bin`"), std::string::npos)
                << r.err;
        }
    }
    // No board at all.
    const auto none = vtest::run("vboard", {"run", "/nonexistent/board", "image-update-tool"});
    EXPECT_EQ(none.exitCode, 71) << none.err;
    EXPECT_NE(none.err.find("no virtual board at /nonexistent/board"), std::string::npos) << none.err;

    // A program started by hand: its help, and a script that is not there (a bad use, as with --script).
    const auto help = vtest::run("image-update-tool", {"--help"});
    EXPECT_EQ(help.exitCode, 0) << help.err;
    EXPECT_NE(help.out.find("vboard run DIR"), std::string::npos) << help.out;
    vtest::TempBoard board;
    const auto noScript = vtest::run("image-update-tool", {},
                                     {{"VBOARD_DIR", board.dir().string()}, {"VBOARD_SCRIPT", "/nonexistent/s.txt"}});
    EXPECT_EQ(noScript.exitCode, 2) << noScript.err;
    EXPECT_EQ(noScript.err.rfind("image-update-tool: no script /nonexistent/s.txt", 0), 0u) << noScript.err;
}

// A program never outlives the `vboard run` that started it: killed (the
// board's supply gone) or hung up (its terminal closed), the run takes the
// program with it.
TEST(VboardRunExitCodes, TheProgramEndsWithTheRunThatStartedIt) {
    for (const int sig : {SIGKILL, SIGHUP}) {
        SCOPED_TRACE(sig);
        vtest::TempBoard board;
        const auto script = board.writeScratch("s.txt", "timeout 120\nwait dialog \"Never\"\n");
        vtest::Background run("vboard", {"run", board.dir().string(), "--script", script.string(), "image-update-tool"},
                              {});
        int program = 0;
        for (int i = 0; i < 1000 && program == 0; ++i) {
            for (const auto &e : board.events("start")) program = e.value("pid", 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_NE(program, 0) << "the program never started";
        ::kill(run.pid(), sig);
        const auto r = run.wait(30);
        if (sig == SIGHUP) {
            EXPECT_EQ(r.exitCode, 128 + SIGHUP) << r.err;
            EXPECT_NE(r.err.find("vboard: the terminal hung up (SIGHUP)"), std::string::npos) << r.err;
        }
        // Gone, or a zombie waiting for whoever adopted it.
        bool gone = false;
        for (int i = 0; i < 1000 && !gone; ++i) {
            std::ifstream stat("/proc/" + std::to_string(program) + "/stat");
            std::string pid, name, state;
            gone = !(stat >> pid >> name >> state) || state == "Z";
            if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(gone) << "the program outlived its run";
    }
}

// Every run ends with one line from the event log and the flash's work:
// the message boxes, whether the flash was written, a reboot, the boot.
TEST(VboardRunExitCodes, EveryRunEndsWithASummaryLine) {
    vtest::TempBoard board;
    // Two records in one block, whole 64-byte buffers: 12288 bytes to program.
    const auto description =
        board.writeScratch("d.json", R"({"start": "0x80080000", "records": [{"address": "0x80080000", "size": 4096},
                                                      {"address": "0x80082000", "size": 8192}]})");
    ASSERT_EQ(vtest::run("mkbin", {description.string(), (board.files() / "nk.bin").string()}).exitCode, 0);
    const auto update =
        board.writeScratch("u.txt",
                           "wait dialog \"Update Tool v1.4\"\npress \"Update IMAGE\"\nchoose \"\\nk.bin\"\n"
                           "wait dialog \"Update Tool v1.4\"\nclose\n");
    // The image has no table of contents: after the reboot the board runs
    // its programs without one.
    ASSERT_EQ(vtest::run("vboard", {"set", board.dir().string(), "boot.without_image=true"}).exitCode, 0);
    const auto save = board.writeScratch("f.txt", "dismiss \"Registry Succesfully Saved\"\n");
    const auto version =
        board.writeScratch("v.txt", vtest::readFile(vtest::sourceDir() / "scripts/main-job-version.script"));
    const auto lastLine = [](const std::string &err) {
        const size_t end = err.find_last_not_of('\n');
        return err.substr(err.rfind('\n', end) + 1, end - err.rfind('\n', end));
    };
    const struct {
        std::vector<std::string> run;
        int exitCode;
        const char *summary;
    } cases[] = {
        // The window's first block, which holds the new board's default image.
        {{"B", "--script", update.string(), "image-update-tool"},
         1,
         "no message box; flash written: 1 block(s) erased, 12288 bytes programmed; no reboot"},
        {{"--script", update.string(), "B", "image-update-tool"},  // options before the board, too
         1,
         "no message box; flash written: 1 block(s) erased, 12288 bytes programmed; no reboot"},
        {{"--pace", "B", "image-update-tool", "/r"}, 0, "no message box; flash not written; reboot requested"},
        {{"B", "--script", save.string(), "image-update-tool", "/f"},
         1,
         "1 message box \"Registry Succesfully Saved\";"},
        // A box of several lines stays on the summary's one line.
        {{"B", "--script", version.string(), "image-update-tool"}, 1, "1 message box \"Bootloader:\\t1.3.0 Built"},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = {"run"};
        for (const auto &a : c.run) args.push_back(a == "B" ? board.dir().string() : a);
        const auto r = vtest::run("vboard", args, {}, 60);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
        EXPECT_EQ(lastLine(r.err).rfind(std::string("vboard: run summary: ") + c.summary, 0), 0u) << r.err;
    }

    // The boot loader's judgement, as it logs it during the run.
    const size_t started = board.events("start").size();
    vtest::Background agent("vboard", {"run", board.dir().string(), "autorun-agent"}, {});
    for (int i = 0; i < 1000 && board.events("start").size() <= started; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::ofstream(board.dir() / "events.jsonl", std::ios::app)
        << R"({"event":"boot","ok":false,"text":"Image in flash is not valid.","reason":"no signature"})"
        << "\n";
    ASSERT_EQ(vtest::run("vboard", {"stop", board.dir().string()}).exitCode, 0);
    const auto r = agent.wait(30);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(lastLine(r.err).find("; boot: FAILED, \"Image in flash is not valid.\" (no signature)"),
              std::string::npos)
        << r.err;
}

// Input that ends in the middle of an update: the operator has gone, the
// power has not. The write is finished, then the run stops (70).
TEST(VboardRunExitCodes, TerminalInputEndingMidUpdateLetsTheWriteFinish) {
    vtest::TempBoard board;
    const auto image = board.files() / "nk.bin";
    ASSERT_EQ(vtest::run("mkbin", {"--sample", "4M", image.string()}).exitCode, 0);
    const std::string command = "printf '3\\n\\\\nk.bin\\n' | '" + (vtest::binDir() / "vboard").string() + "' run '" +
                                board.dir().string() + "' image-update-tool";
    const auto r = vtest::run("/bin/sh", {"-c", command}, {}, 60);
    EXPECT_EQ(r.exitCode, 70) << r.err;
    EXPECT_NE(r.err.find("input ended while the program shows dialog \"Update Tool v1.4\""), std::string::npos)
        << r.err;
    const auto held = vtest::run("inspectbin", {image.string(), "--board", board.dir().string(), "--verify"});
    EXPECT_EQ(held.exitCode, 0) << held.out << held.err;
}

// The loader's download: an image the update tool refuses changes nothing
// and the old image still boots; a good one is written and booted.
TEST(VboardRunExitCodes, DownloadRefusesWhatTheToolRefusesAndBootsWhatItWrites) {
    vtest::TempBoard board;
    const std::string before = vtest::readFile(board.dir() / "flash.bin");
    const auto bad = board.writeScratch("bad.bin", "B000FF\n");
    const auto refused = vtest::run("vboard", {"download", board.dir().string(), bad.string()});
    EXPECT_EQ(refused.exitCode, 1) << refused.err;
    EXPECT_NE(refused.err.find("\"Unexpected end of file!\""), std::string::npos) << refused.err;
    EXPECT_TRUE(vtest::readFile(board.dir() / "flash.bin") == before) << "a refused image changed the flash";
    const auto still = vtest::run("vboard", {"run", board.dir().string(), "image-update-tool", "/r"});
    EXPECT_EQ(still.exitCode, 0) << still.err;
    EXPECT_NE(still.err.find("boot: Jumping to image at 0x9ca00000 (built 2007-03-05T14:03:09Z"), std::string::npos)
        << still.err;

    const auto good = board.dir() / "scratch" / "good.bin";
    ASSERT_EQ(vtest::run("mkbin", {"--sample", "300K", good.string(), "--built", "2026-12-08 14:03:09"}).exitCode, 0);
    const auto written = vtest::run("vboard", {"download", board.dir().string(), good.string()});
    EXPECT_EQ(written.exitCode, 0) << written.err;
    EXPECT_NE(written.out.find("boot: Jumping to image at 0x9ca00000 (built 2026-12-08T14:03:09Z, 5 modules, 2 files)"),
              std::string::npos)
        << written.out;
    const auto verify = vtest::run("inspectbin", {good.string(), "--board", board.dir().string(), "--verify"});
    EXPECT_EQ(verify.exitCode, 0) << verify.out;
    const auto log = vtest::run("vboard", {"log", board.dir().string()});
    EXPECT_NE(log.out.find("last boot:       Jumping to image at 0x9ca00000 (built 2026-12-08T14:03:09Z"),
              std::string::npos)
        << log.out;
}

// The install rules and vboard's search for the programs: an installed tree,
// moved whole to another folder and away from the build, still runs them.
TEST(VboardRunExitCodes, AnInstalledTreeRunsTheBoardsProgramsWhereverItIsMoved) {
    namespace fs = std::filesystem;
    vtest::TempBoard board;
    const fs::path first = board.dir() / "scratch" / "installed";
    const auto install = vtest::run(VBOARD_CMAKE_COMMAND,
                                    {"--install", vtest::binDir().parent_path().string(), "--prefix", first.string()});
    ASSERT_EQ(install.exitCode, 0) << install.out << install.err;
    const fs::path prefix = board.dir() / "scratch" / "moved";
    fs::rename(first, prefix);

    // bin/ holds the tools only: no program, test or benchmark.
    std::set<std::string> inBin;
    for (const auto &e : fs::directory_iterator(prefix / "bin")) inBin.insert(e.path().filename().string());
    EXPECT_EQ(inBin, (std::set<std::string>{"inspectbin", "mkbin", "vboard"}));
    std::set<std::string> programs;
    for (const auto &e : fs::recursive_directory_iterator(prefix))
        if (e.path().filename() == "image-update-tool" || e.path().filename() == "autorun-agent")
            programs.insert(e.path().filename().string());
    EXPECT_EQ(programs.size(), 2u);

    const std::string vboard = (prefix / "bin" / "vboard").string();
    const auto r = vtest::run(vboard, {"run", board.dir().string(), "image-update-tool", "/r"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(board.events("reboot").size(), 1u);
    // And a program that is nowhere is named as such.
    const auto none = vtest::run(vboard, {"run", board.dir().string(), "no-such-program"});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_NE(none.err.find("no program"), std::string::npos) << none.err;
}

}  // namespace
