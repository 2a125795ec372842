// The update tool's command line, main dialog and registry commands, run as
// the board runs them: `vboard run` with a scripted operator.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "board/flash.h"
#include "resource.h"
#include "test_support.h"
#include "update_tool.h"
#include "wince/host.h"

extern "C" const wince::ModuleResources wince_program_module;
int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);

namespace {

using nlohmann::json;
using vtest::TempBoard;

struct Run {
    vtest::RunResult result;
    std::vector<json> events;
};

// Runs the tool through `vboard run` with `script`; args are the tool's own.
Run runTool(const TempBoard &board, const std::string &script, const std::vector<std::string> &args) {
    const auto file = board.writeScratch("script.txt", script);
    std::vector<std::string> all = {"run", board.dir().string(), "--script", file.string(), "image-update-tool"};
    all.insert(all.end(), args.begin(), args.end());
    Run r{vtest::run("vboard", all), {}};
    for (auto &e : board.events())
        if (e.value("program", "") == "image-update-tool") r.events.push_back(e);
    return r;
}

std::vector<std::string> kinds(const std::vector<json> &events) {
    std::vector<std::string> out;
    for (const auto &e : events) {
        const std::string k = e.value("event", "");
        if (k != "start" && k != "exit" && k != "boot") out.push_back(k);  // the run's own frame
    }
    return out;
}

const std::string kCloseMain = "wait dialog \"Update Tool v1.4\"\nclose\n";

TEST(CommandLine, OnlyTheFirstTwoCharactersSelectASwitch) {
    struct Case {
        std::string arg;
        std::string script;
        std::vector<std::string> events;  // what the board saw, in order
    };
    const std::vector<Case> cases = {
        {"", kCloseMain, {"dialog_open", "close", "dialog_close"}},
        {" /r", kCloseMain, {"dialog_open", "close", "dialog_close"}},
        {"x/r", kCloseMain, {"dialog_open", "close", "dialog_close"}},
        {"/x", "", {}},
        {"/", "", {}},
        {"/F", "", {}},
        {"/R", "", {}},
        {"/U", "", {}},
        {"/f", "dismiss \"Registry Succesfully Saved\" \"Registry\"\n", {"registry_save", "messagebox"}},
        {"/fast", "dismiss \"Registry Succesfully Saved\" \"Registry\"\n", {"registry_save", "messagebox"}},
        {"/r", "", {"reboot"}},
        {"/reboot", "", {"reboot"}},
        // The update dialog is never shown when the file choice is cancelled.
        {"/u", "cancel\n", {"fileopen", "reboot"}},
        {"/update", "cancel\n", {"fileopen", "reboot"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE("command line '" + c.arg + "'");
        TempBoard board(json{{"hal", {{"reboot", "return"}}}});
        const auto run = runTool(board, c.script, c.arg.empty() ? std::vector<std::string>{} : std::vector{c.arg});
        EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
        EXPECT_EQ(kinds(run.events), c.events);
    }
}

TEST(CommandLine, SaveSwitchShowsItsBoxWithoutOwner) {
    TempBoard board;
    const auto run = runTool(board, "dismiss \"Registry Succesfully Saved\" \"Registry\"\n", {"/f"});
    EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
    const auto boxes = board.events("messagebox");
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(boxes[0]["owner"].is_null());
    EXPECT_EQ(boxes[0]["type"], 0);
    EXPECT_TRUE(std::filesystem::exists(board.dir() / "registry" / "stored.reg"));
}

TEST(CommandLine, RebootEndsTheRunAsTheBoardRestarts) {
    TempBoard board;  // the board really reboots
    const auto run = runTool(board, "", {"/r"});
    EXPECT_EQ(run.result.exitCode, 0);
    EXPECT_NE(run.result.err.find("the board rebooted"), std::string::npos) << run.result.err;
    EXPECT_EQ(board.events("reboot").size(), 1u);
    EXPECT_TRUE(board.events("exit").empty());
}

TEST(CommandLine, RebootPowersTheFlashUp) {
    TempBoard board;
    // Another program stays on the board, so the tool's boot is no power-up:
    // only the reboot can bring the devices back.
    const int running = ::open((board.dir() / "running.lock").c_str(), O_RDWR | O_CREAT, 0644);
    struct flock shared = {};
    shared.l_type = F_RDLCK;
    shared.l_whence = SEEK_SET;
    ASSERT_EQ(::fcntl(running, F_OFD_SETLK, &shared), 0);
    {
        // Leave the devices in status mode, as a program stopped mid-way would.
        board::FlashPair flash(board.dir());
        flash.write32(0x100000, 0x00700070);
        ASSERT_NE(flash.read32(0x100000), 0xFFFFFFFFu);
    }
    runTool(board, "", {"/r"});
    board::FlashPair flash(board.dir());
    EXPECT_EQ(flash.read32(0x100000), 0xFFFFFFFFu) << "the devices did not come back in read mode";
    ::close(running);
}

struct ButtonCase {
    std::string name;
    json settings;
    int button;
    std::string text;  // expected message box; empty: none
    std::vector<std::string> events;
};

TEST(MainDialog, EachButtonDoesItsCommandAndTellsTheOutcome) {
    const json ret = {{"hal", {{"reboot", "return"}}}};
    const std::vector<ButtonCase> cases = {
        {"save", ret, IDC_SAVE_REGISTRY, "Registry Succesfully Saved", {"registry_save", "messagebox"}},
        {"save fails",
         {{"hal", {{"reboot", "return"}}}, {"registry", {{"save_fails", true}}}},
         IDC_SAVE_REGISTRY,
         "Registry Save FAILED!",
         {"registry_save", "messagebox"}},
        {"clear", ret, IDC_CLEAR_REGISTRY, "Registry Succesfully Cleared", {"registry_clear", "messagebox"}},
        {"clear fails",
         {{"hal", {{"reboot", "return"}, {"clear_registry_fails", true}}}},
         IDC_CLEAR_REGISTRY,
         "Registry Clear FAILED!",
         {"registry_clear", "messagebox"}},
        {"reboot that returns", ret, IDC_REBOOT, "", {"reboot"}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempBoard board(c.settings);
        std::string script = "wait dialog \"Update Tool v1.4\"\npress " + std::to_string(c.button) + "\n";
        if (!c.text.empty()) script += "dismiss \"" + c.text + "\" \"Registry\"\n";
        script += kCloseMain;
        const auto run = runTool(board, script, {});
        EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
        std::vector<std::string> expected = {"dialog_open", "press"};
        expected.insert(expected.end(), c.events.begin(), c.events.end());
        expected.insert(expected.end(), {"close", "dialog_close"});
        EXPECT_EQ(kinds(run.events), expected);
        for (const auto &box : board.events("messagebox")) {
            EXPECT_EQ(box["text"], c.text);
            EXPECT_EQ(box["caption"], "Registry");
            EXPECT_EQ(box["owner"], "Update Tool v1.4");
        }
    }
}

TEST(MainDialog, SavingThenClearingLeavesNoStoredRegistry) {
    TempBoard board;
    const std::string script =
        "wait dialog \"Update Tool v1.4\"\npress \"Save Registry to Flash\"\ndismiss\n"
        "press \"Clear Registry on Flash\"\ndismiss\n" +
        kCloseMain;
    const auto run = runTool(board, script, {});
    EXPECT_EQ(run.result.exitCode, 1) << run.result.err;
    EXPECT_FALSE(std::filesystem::exists(board.dir() / "registry" / "stored.reg"));
    EXPECT_EQ(board.events("registry_save").size(), 1u);
    EXPECT_EQ(board.events("registry_clear").size(), 1u);
}

TEST(MainDialog, ButtonRebootEndsTheRunOnARealBoard) {
    TempBoard board;
    const auto run = runTool(board, "wait dialog \"Update Tool v1.4\"\npress \"Reboot\"\n", {});
    EXPECT_EQ(run.result.exitCode, 0) << run.result.err;
    EXPECT_EQ(board.events("reboot").size(), 1u);
}

// Sends commands to the main dialog from another thread while it runs, as
// a control of some other kind would, and records what the person saw.
class CommandSender : public wince::Operator {
  public:
    explicit CommandSender(std::vector<WPARAM> commands) : commands_(std::move(commands)) {}
    wince::Action onDialog(const wince::DialogView &front) override {
        std::lock_guard<std::mutex> lock(mutex_);
        dialogs_.insert(wince::toUtf8(front.caption));
        if (front.caption != u"Update Tool v1.4") return {wince::Action::Close, 0};
        if (!sender_.joinable()) {
            const HWND dialog = front.hwnd;
            sender_ = std::thread([this, dialog] {
                for (WPARAM w : commands_) {
                    const LRESULT r = SendMessageW(dialog, WM_COMMAND, w, 0);
                    std::lock_guard<std::mutex> lock(mutex_);
                    results_.push_back(r);
                }
                done_ = true;
            });
        }
        return done_ ? wince::Action{wince::Action::Close, 0} : wince::Action{};
    }
    void onMessageBox(const wince::MessageBoxView &box) override {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes_.push_back(wince::toUtf8(box.text));
    }
    std::optional<std::u16string> onFileOpen(const wince::FileOpenView &) override {
        std::lock_guard<std::mutex> lock(mutex_);
        boxes_.push_back("file-open");
        return std::nullopt;
    }
    ~CommandSender() override {
        if (sender_.joinable()) sender_.join();
    }

    std::mutex mutex_;
    std::vector<WPARAM> commands_;
    std::vector<LRESULT> results_;
    std::vector<std::string> boxes_;
    std::set<std::string> dialogs_;
    std::atomic<bool> done_{false};
    std::thread sender_;
};

TEST(MainDialog, UnknownCommandsAreAnsweredWithoutEffect) {
    // Outside any dialog, for the messages the procedure leaves alone.
    EXPECT_EQ(MainDlgProc(nullptr, WM_INITDIALOG, 0, 0), TRUE);
    EXPECT_EQ(MainDlgProc(nullptr, WM_SETTEXT, 0, 0), FALSE);
    EXPECT_EQ(MainDlgProc(nullptr, WM_CLOSE, 0, 0), FALSE);

    // In the running dialog: identifiers it does not know, among them ones
    // whose high word or neighbours look like its own; last, a known one
    // with a high word, which must act on its low 16 bits.
    const std::vector<WPARAM> unknown = {
        MAKEWPARAM(1, 0),    MAKEWPARAM(0, 0),      MAKEWPARAM(999, 0),          MAKEWPARAM(1005, 0),
        MAKEWPARAM(1006, 0), MAKEWPARAM(0xFFFF, 0), MAKEWPARAM(999, IDC_REBOOT), MAKEWPARAM(1, IDCANCEL)};
    std::vector<WPARAM> commands = unknown;
    commands.push_back(MAKEWPARAM(IDC_SAVE_REGISTRY, 1));
    TempBoard board(json{{"hal", {{"reboot", "return"}}}});
    auto op = std::make_shared<CommandSender>(commands);
    wince::boot(board.dir(), op, "image-update-tool");
    std::u16string none;
    const int rc = WinMain(reinterpret_cast<HINSTANCE>(const_cast<wince::ModuleResources *>(&wince_program_module)),
                           nullptr, none.data(), SW_SHOW);
    wince::shutdown();
    EXPECT_EQ(rc, 1);

    EXPECT_EQ(op->results_, std::vector<LRESULT>(commands.size(), TRUE));
    // Only the known command showed anything, and only the main dialog ran.
    EXPECT_EQ(op->boxes_, std::vector<std::string>{"Registry Succesfully Saved"});
    EXPECT_EQ(op->dialogs_, std::set<std::string>{"Update Tool v1.4"});
    std::vector<std::string> events;
    for (const auto &e : board.events()) events.push_back(e.value("event", ""));
    EXPECT_EQ(events, (std::vector<std::string>{"boot", "dialog_open", "registry_save", "messagebox", "close",
                                                "dialog_close"}));
}

TEST(MainDialog, AScriptThatDoesNotMatchWhatTheToolShowsFailsTheRun) {
    TempBoard board;
    const auto run = runTool(board, "dismiss \"Registry Save FAILED!\"\n", {"/f"});
    EXPECT_NE(run.result.exitCode, 1);
    EXPECT_NE(run.result.err.find("Registry Succesfully Saved"), std::string::npos) << run.result.err;
}

}  // namespace

namespace {

// One "name: value" line of `vboard flash`.
std::string field(const std::string &out, const std::string &name) {
    const auto at = out.find(name + ":");
    if (at == std::string::npos) return "";
    const auto start = out.find_first_not_of(' ', at + name.size() + 1);
    return out.substr(start, out.find('\n', start) - start);
}

TEST(VboardFlash, CountsAndSummarisesTheBusTrafficOfAnUpdate) {
    // Short busy times keep the trace small; the first block of the window
    // holds old data, so it is erased, the second is blank.
    TempBoard board(json{{"flash", {{"timing", {{"erase_ns", 24000}, {"program_ns", 2400}}}}}});
    {
        board::FlashPair flash(board.dir());
        const std::vector<uint8_t> old(64, 0x00);
        flash.writeArray(0xA00000, old);
    }
    ASSERT_EQ(vtest::run("mkbin", {"--sample", "64K", (board.files() / "nk.bin").string()}).exitCode, 0);
    const auto before = vtest::run("vboard", {"flash", board.dir().string()});
    ASSERT_EQ(before.exitCode, 0) << before.err;
    EXPECT_EQ(field(before.out, "bus accesses"), "0");
    EXPECT_EQ(field(before.out, "tracing"), "off");
    EXPECT_EQ(field(before.out, "traced accesses"), "");

    ASSERT_EQ(vtest::run("vboard", {"flash", board.dir().string(), "--trace", "on"}).exitCode, 0);
    const auto run = runTool(
        board, "wait dialog \"Update Tool v1.4\"\npress \"Update IMAGE\"\nchoose \"\\nk.bin\"\n" + kCloseMain, {});
    ASSERT_EQ(run.result.exitCode, 1) << run.result.err;

    const auto after = vtest::run("vboard", {"flash", board.dir().string()});
    ASSERT_EQ(after.exitCode, 0) << after.err;
    // Records of 4096 and 53248 bytes and the table of contents: its header,
    // 5 module and 2 file entries, names and the files' texts (0x1DC bytes):
    // 64 + 832 + 8 bursts of 64 bytes.
    EXPECT_EQ(field(after.out, "block erases"), "1") << after.out;
    EXPECT_EQ(field(after.out, "buffer programs"), "904") << after.out;
    EXPECT_EQ(field(after.out, "driver faults"), "0");
    // The image's end, and the status read just after its last word.
    EXPECT_EQ(field(after.out, "addresses"), "0x00A00000 - 0x00A0F1DC");
    const std::string accesses = field(after.out, "bus accesses");
    EXPECT_EQ(field(after.out, "traced accesses").rfind(accesses + " (", 0), 0u) << after.out;
    // The devices' busy time ran on the board clock.
    EXPECT_GE(std::stod(field(after.out, "board time")), (24000 + 904 * 2400) / 1e9);

    ASSERT_EQ(vtest::run("vboard", {"flash", board.dir().string(), "--trace", "off"}).exitCode, 0);
    EXPECT_EQ(field(vtest::run("vboard", {"flash", board.dir().string()}).out, "tracing"), "off");
    for (const std::vector<std::string> &bad : {std::vector<std::string>{"flash"},
                                                {"flash", board.dir().string(), "--trace", "maybe"},
                                                {"flash", board.dir().string(), "extra"}})
        EXPECT_EQ(vtest::run("vboard", bad).exitCode, 2);
    EXPECT_EQ(vtest::run("vboard", {"flash", (board.dir() / "nothing").string()}).exitCode, 1);
}

}  // namespace
