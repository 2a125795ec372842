// mkbin and inspectbin given bad input: one line naming the problem, a
// non-zero exit, and every file as it was.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "test_support.h"

namespace {

namespace fs = std::filesystem;

struct BadInput {
    const char *name;
    const char *program;
    std::vector<std::string> args;  // "@" stands for the scratch folder
    int exitCode;
    const char *says;  // part of the one line on standard error
};

std::vector<std::string> expand(const std::vector<std::string> &args, const fs::path &dir) {
    std::vector<std::string> out;
    for (auto a : args) {
        for (size_t at; (at = a.find('@')) != std::string::npos;) a.replace(at, 1, dir.string());
        out.push_back(a);
    }
    return out;
}

// Every file under `dir` with its bytes.
std::map<std::string, std::string> snapshot(const fs::path &dir) {
    std::map<std::string, std::string> out;
    for (const auto &e : fs::recursive_directory_iterator(dir))
        out[e.path().string()] = e.is_regular_file() ? vtest::readFile(e.path()) : "<folder>";
    return out;
}

TEST(BinImageTools, BadInputIsRefusedInOneLineAndLosesNothing) {
    vtest::TempBoard board;
    const fs::path dir = board.dir() / "scratch";
    fs::create_directories(dir / "folder.bin");
    ASSERT_EQ(::mkfifo((dir / "pipe.bin").c_str(), 0600), 0);
    vtest::writeFile(dir / "out.bin", "an earlier image");
    vtest::writeFile(dir / "empty.json", "{}");
    vtest::writeFile(dir / "notjson.json", "{\"records\": [");
    vtest::writeFile(dir / "typo.json", R"({"records": [], "lenght": 4})");
    vtest::writeFile(dir / "typo-record.json", R"({"records": [{"adress": 4}]})");
    vtest::writeFile(dir / "badhex.json", R"({"records": [{"hex": "0g"}]})");
    vtest::writeFile(dir / "badfill.json", R"({"records": [{"size": 4, "fill": "0x100"}]})");
    vtest::writeFile(dir / "badstart.json", R"({"start": "0x8008zz", "records": []})");
    vtest::writeFile(dir / "image.bin", "B000FF\n");
    // Boards with a part missing or cut short.
    fs::create_directories(dir / "no-flash");
    vtest::writeFile(dir / "no-flash" / "board.json", "{}");
    fs::create_directories(dir / "short-flash");
    fs::copy_file(board.dir() / "board.json", dir / "short-flash" / "board.json");
    vtest::writeFile(dir / "short-flash" / "flash.bin", std::string(4096, '\xFF'));
    fs::create_directories(dir / "not-a-board");

    const std::vector<BadInput> cases = {
        {"size not a number",
         "mkbin",
         {"--sample", "abc", "@/out.bin"},
         1,
         "--sample SIZE is not a whole number: 'abc'"},
        {"size with a bad suffix", "mkbin", {"--sample", "6G", "@/out.bin"}, 1, "not a whole number: '6G'"},
        {"size above the window", "mkbin", {"--sample", "33M", "@/out.bin"}, 1, "above 32M"},
        {"size below the smallest sample", "mkbin", {"--sample", "0", "@/out.bin"}, 1, "below 64K"},
        {"seed not a number",
         "mkbin",
         {"--sample", "6M", "@/out.bin", "--seed", "x"},
         1,
         "--seed is not a whole number"},
        {"sample without an output", "mkbin", {"--sample", "6M"}, 2, "--sample needs SIZE and OUT.bin"},
        {"no arguments", "mkbin", {}, 2, "expected DESCRIPTION.json OUT.bin"},
        {"unknown option", "mkbin", {"--frob", "@/out.bin"}, 2, "expected DESCRIPTION.json OUT.bin"},
        {"version with more after it", "mkbin", {"--version", "@/out.bin"}, 2, "expected DESCRIPTION.json OUT.bin"},
        {"empty description", "mkbin", {"@/empty.json", "@/out.bin"}, 1, "no 'records'"},
        {"not JSON", "mkbin", {"@/notjson.json", "@/out.bin"}, 1, "is not valid JSON"},
        {"unknown key", "mkbin", {"@/typo.json", "@/out.bin"}, 1, "unknown key 'lenght'"},
        {"unknown record key", "mkbin", {"@/typo-record.json", "@/out.bin"}, 1, "unknown key 'adress'"},
        {"bad hex", "mkbin", {"@/badhex.json", "@/out.bin"}, 1, "'hex' must be pairs of hex digits"},
        {"fill above a byte", "mkbin", {"@/badfill.json", "@/out.bin"}, 1, "'fill' must be random, counter or a byte"},
        {"start not a number", "mkbin", {"@/badstart.json", "@/out.bin"}, 1, "'start' is not a whole number"},
        {"missing description", "mkbin", {"@/none.json", "@/out.bin"}, 1, "cannot read"},
        {"output is a folder", "mkbin", {"--sample", "64K", "@/folder.bin"}, 1, "is a folder"},
        {"image is a folder", "inspectbin", {"@/folder.bin"}, 2, "is a folder, not an image file"},
        {"missing image", "inspectbin", {"@/none.bin"}, 2, "cannot read"},
        {"image is a device", "inspectbin", {"/dev/zero"}, 2, "/dev/zero is a character device, not an image file"},
        {"image is a pipe", "inspectbin", {"@/pipe.bin"}, 2, "is a pipe, not an image file"},
        {"no arguments", "inspectbin", {}, 2, "expected IMAGE.bin"},
        {"unknown option", "inspectbin", {"@/image.bin", "--bored", "@"}, 2, "expected IMAGE.bin"},
        {"unknown option alone", "inspectbin", {"--verbose"}, 2, "expected IMAGE.bin"},
        {"version with more after it", "inspectbin", {"--version", "@/image.bin"}, 2, "expected IMAGE.bin"},
        {"board without flash.bin", "inspectbin", {"@/image.bin", "--board", "@/no-flash"}, 2, "has no flash.bin"},
        {"board with a short flash.bin",
         "inspectbin",
         {"@/image.bin", "--board", "@/short-flash"},
         2,
         "is not the size it must be"},
        {"short flash.bin, verify",
         "inspectbin",
         {"@/image.bin", "--board", "@/short-flash", "--verify"},
         2,
         "is not the size it must be"},
        {"folder that is no board", "inspectbin", {"@/image.bin", "--board", "@/not-a-board"}, 2, "no virtual board"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.program) + ": " + c.name);
        const auto before = snapshot(dir);
        const auto r = vtest::run(c.program, expand(c.args, dir));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.rfind(std::string(c.program) + ": ", 0), 0u) << r.err;
        EXPECT_TRUE(snapshot(dir) == before) << "a file changed";
    }
}

TEST(BinImageTools, HelpAndVersionPrintOnStandardOutputAndSucceed) {
    for (const std::string program : {"mkbin", "inspectbin"}) {
        SCOPED_TRACE(program);
        for (const char *help : {"--help", "-h"}) {
            const auto r = vtest::run(program, {help});
            EXPECT_EQ(r.exitCode, 0);
            EXPECT_EQ(r.out.rfind("usage: " + program, 0), 0u) << r.out;
            EXPECT_NE(r.out.find(program + " --help | --version"), std::string::npos) << r.out;
            EXPECT_TRUE(r.err.empty()) << r.err;
        }
        const auto r = vtest::run(program, {"--version"});
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(r.out, program + " " VBOARD_EXPECTED_VERSION "\n");
        EXPECT_TRUE(r.err.empty()) << r.err;
    }
}

}  // namespace
