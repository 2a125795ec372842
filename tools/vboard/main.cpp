// vboard: makes virtual boards and runs the board's programs on them.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>

#include "board/board.h"
#include "board/flash.h"
#include "commands.h"
#include "tool_options.h"

namespace fs = std::filesystem;

namespace vboard {

namespace {

const char *const kUsage = R"(usage:
  vboard create DIR [--set KEY=VALUE]...     make a new board in DIR
  vboard set DIR KEY=VALUE...                change settings of a board
  vboard run DIR [--script FILE [--show]] [--pace] PROGRAM [ARGS...]
                                             boot PROGRAM on the board; the scripted
                                             operator plays FILE (--show: and draws what
                                             it sees), else you operate it from this
                                             terminal; --pace runs the board clock at
                                             the board's own speed
  vboard log DIR [--json]                    print the board's event log
  vboard mount DIR NAME HOSTDIR              mount a FAT volume as \NAME
  vboard unmount DIR NAME                    remove the volume \NAME
  vboard key DIR shift|ctrl|alt down|up       hold or release a key
  vboard stop DIR                            stop the board (running programs end)
  vboard flash DIR [--trace on|off]          the flash pair's bus counters and a summary
                                             of its bus trace; --trace starts (empty) or
                                             stops the trace of every program's accesses
  vboard download DIR IMAGE.bin              write IMAGE.bin into the image flash as the
                                             boot loader's download does (refused as the
                                             update tool refuses it), then boot it
  vboard --help | --version                  this text, or vboard's version
KEY is a setting's path with dots or slashes (hal.reboot or /hal/reboot);
VALUE is JSON (true, 3, "text") or else taken as a string. Every setting is
listed in docs/board-settings.md; unknown keys and values of the wrong type
are refused.

Exit codes: 0 done; 1 the board could not be used (no board at DIR, its
files unreadable); 2 bad use of vboard (an unknown option, a bad setting).
`vboard run` ends with the program's own exit code (image-update-tool: 1 on
every path; autorun-agent: 0 when stopped), or 2 bad use, 70 the run stopped
(the script went off its course, the operator's input ended, the program's
access violation), 71 a board error (no board at DIR, settings or flash the
board cannot use), 72 the board did not boot (its image flash holds no valid
image: recover it with `vboard download`), 128+N the program ended by signal
N; a reboot of the board ends the run with 0. `vboard download` ends with 0
when the board boots the image, 1 when the image is refused (the flash is as
it was), 72 when it was written but does not boot.
)";

// `vboard run`: a board error, distinct from the programs' own exit codes and
// from a run stopped by the platform (70).
constexpr int kBoardErrorExit = 71;

// Applies KEY=VALUE to a settings object; "" when done, else why not.
std::string applySetting(nlohmann::json &settings, const std::string &assignment) {
    const auto eq = assignment.find('=');
    if (eq == std::string::npos || eq == 0) return "a setting is KEY=VALUE, not '" + assignment + "'";
    std::string key = assignment.substr(0, eq);
    const std::string text = assignment.substr(eq + 1);
    if (key[0] != '/') {
        for (char &c : key)
            if (c == '.') c = '/';
        key = "/" + key;
    }
    nlohmann::json value = nlohmann::json::parse(text, nullptr, false);
    if (value.is_discarded()) value = text;
    try {
        settings[nlohmann::json::json_pointer(key)] = value;
    } catch (const nlohmann::json::exception &) {
        return "no setting " + key + " can be set (its section is a value): '" + assignment + "'";
    }
    return {};
}

// A program named without a folder is one of the board's: installed, in the
// package's private folder (VBOARD_PROGRAM_DIR, relative to vboard's own);
// in a build folder, next to vboard.
fs::path programPath(const std::string &program) {
    if (program.find('/') != std::string::npos) return fs::absolute(program);
    std::error_code ec;
    const fs::path here = fs::read_symlink("/proc/self/exe", ec).parent_path();
    const fs::path installed = here / VBOARD_PROGRAM_DIR / program;
    if (fs::exists(installed, ec)) return installed.lexically_normal();
    return here / program;
}

pid_t g_child = 0;
volatile sig_atomic_t g_received = 0;
void forwardSignal(int sig) {
    g_received = sig;
    if (g_child > 0) ::kill(g_child, sig);
}

std::string describe(const nlohmann::json &e) {
    std::string out;
    for (auto it = e.begin(); it != e.end(); ++it) {
        if (it.key() == "t_ms" || it.key() == "pid" || it.key() == "program" || it.key() == "event") continue;
        out += " " + it.key() + "=" + it.value().dump();
    }
    return out;
}

// Where the board stood before a run: what its log and its flash had seen.
struct RunStart {
    uintmax_t logBytes = 0;
    std::optional<board::FlashPair::Work> work;
};

RunStart runStart(const fs::path &dir) {
    RunStart s;
    std::error_code ec;
    s.logBytes = fs::file_size(dir / "events.jsonl", ec);
    if (ec) s.logBytes = 0;
    s.work = board::FlashPair::work(dir);
    return s;
}

// A text of the log in quotes, on one line: its line breaks and tabs shown
// as \n and \t (a message box's lines), a CR before a line break dropped.
std::string quoted(const nlohmann::json &e, const char *key) {
    std::string out = "\"";
    for (const char c : e.value(key, std::string())) {
        if (c == '\r') continue;
        if (c == '\n') out += "\\n";
        else if (c == '\t') out += "\\t";
        else out += c;
    }
    return out + "\"";
}

// One line from what the run left in the event log and the flash: the
// message boxes shown, whether the flash was written, a reboot, the boot.
std::string runSummary(const fs::path &dir, const RunStart &start, pid_t program) {
    std::vector<std::string> boxes;
    bool reboot = false;
    std::string boot;
    std::ifstream in(dir / "events.jsonl", std::ios::binary);
    in.seekg(static_cast<std::streamoff>(start.logBytes));
    std::string line;
    while (std::getline(in, line)) {
        const auto e = nlohmann::json::parse(line, nullptr, false);
        if (!e.is_object()) continue;
        const std::string kind = e.value("event", std::string());
        if (kind == "boot") {
            boot = e.value("ok", false)
                       ? "boot: ok, " + e.value("text", std::string("image started"))
                       : "boot: FAILED, " + quoted(e, "text") +
                             (e.contains("reason") ? " (" + e.value("reason", std::string()) + ")" : "");
        }
        if (e.value("pid", 0) != program) continue;
        if (kind == "messagebox") boxes.push_back(quoted(e, "text"));
        if (kind == "reboot") reboot = true;
    }
    std::string s = "vboard: run summary: ";
    if (boxes.empty()) {
        s += "no message box";
    } else {
        s += std::to_string(boxes.size()) + (boxes.size() == 1 ? " message box " : " message boxes ");
        for (size_t i = 0; i < boxes.size(); ++i) s += (i ? ", " : "") + boxes[i];
    }
    const auto work = board::FlashPair::work(dir);
    if (work && start.work) {
        const uint64_t erased = work->blocksErased - start.work->blocksErased;
        const uint64_t programmed = work->bytesProgrammed - start.work->bytesProgrammed;
        if (erased == 0 && programmed == 0) s += "; flash not written";
        else
            s += "; flash written: " + std::to_string(erased) + " block(s) erased, " + std::to_string(programmed) +
                 " bytes programmed";
    } else {
        s += "; flash work not known";
    }
    s += reboot ? "; reboot requested" : "; no reboot";
    if (!boot.empty()) s += "; " + boot;
    return s;
}

}  // namespace

int usageError(const std::string &message) {
    std::fprintf(stderr, "vboard: %s\n", message.c_str());
    return 2;
}

int cmdCreate(const Args &args) {
    if (args.empty() || args[0].rfind("--", 0) == 0) return usageError("create needs a folder");
    nlohmann::json overrides = nlohmann::json::object();
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "--set") {
            if (i + 1 >= args.size()) return usageError("--set needs KEY=VALUE");
            if (auto why = applySetting(overrides, args[++i]); !why.empty()) return usageError(why);
        } else {
            return usageError("unknown option '" + args[i] + "'");
        }
    }
    try {
        nlohmann::json settings = board::defaultSettings();
        settings.merge_patch(overrides);
        board::checkSettings(settings);
    } catch (const board::BoardError &e) {
        return usageError(e.what());
    }
    board::Board::create(args[0], overrides);
    std::printf("made a board in %s\n", args[0].c_str());
    return 0;
}

int cmdSet(const Args &args) {
    if (args.size() < 2) return usageError("set needs a board folder and KEY=VALUE");
    auto b = board::Board::open(args[0]);
    nlohmann::json settings = b->settings();
    for (size_t i = 1; i < args.size(); ++i)
        if (auto why = applySetting(settings, args[i]); !why.empty()) return usageError(why);
    try {
        b->changeSettings(settings);
    } catch (const board::BoardError &e) {
        return usageError(e.what());
    }
    return 0;
}

int cmdRun(const Args &args) {
    if (args.empty()) return usageError("run needs a board folder and a program");
    std::string script;
    bool pace = false;
    bool show = false;
    // The options may stand before the board folder too; the program's own
    // arguments start at the program.
    std::optional<fs::path> board;
    size_t i = 0;
    for (; i < args.size(); ++i) {
        if (args[i].rfind("--", 0) != 0) {
            if (board) break;
            board = fs::absolute(args[i]);
            continue;
        }
        if (args[i] == "--script") {
            if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0) return usageError("--script needs a file");
            script = fs::absolute(args[++i]).string();
            if (!fs::is_regular_file(script)) return usageError("no script " + script);
        } else if (args[i] == "--pace") {
            pace = true;
        } else if (args[i] == "--show") {
            show = true;
        } else {
            return usageError("unknown option '" + args[i] + "'");
        }
    }
    if (show && script.empty()) return usageError("--show draws what a scripted operator sees: it needs --script");
    if (!board) return usageError("run needs a board folder and a program");
    if (i >= args.size()) return usageError("run needs a program");
    const fs::path dir = *board;
    const fs::path exe = programPath(args[i]);
    if (!fs::exists(exe)) return usageError("no program " + exe.string());
    try {
        board::Board::open(dir);  // a clear message now if there is no board
    } catch (const board::BoardError &e) {
        std::fprintf(stderr, "vboard: %s\n", e.what());
        return kBoardErrorExit;
    }

    std::vector<std::string> argStore{exe.string()};
    argStore.insert(argStore.end(), args.begin() + static_cast<long>(i) + 1, args.end());
    std::vector<char *> argv;
    for (auto &a : argStore) argv.push_back(a.data());
    argv.push_back(nullptr);

    const RunStart before = runStart(dir);
    std::fflush(nullptr);
    const pid_t runner = ::getpid();
    g_child = ::fork();
    if (g_child < 0) return usageError("cannot start " + exe.string());
    if (g_child == 0) {
        // The program ends with the run that started it, as the board's
        // power goes when its supply does: killed, never left orphaned
        // holding the board (and its flash lock) with nobody attached.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != runner) ::_exit(128 + SIGKILL);  // the run ended before the line above
        ::setenv("VBOARD_DIR", dir.c_str(), 1);
        ::setenv("VBOARD_RUN", "1", 1);  // the program's messages then start "vboard:"
        if (!script.empty()) ::setenv("VBOARD_SCRIPT", script.c_str(), 1);
        else ::unsetenv("VBOARD_SCRIPT");
        ::setenv("VBOARD_PACE", pace ? "1" : "0", 1);
        ::setenv("VBOARD_SHOW", show ? "1" : "0", 1);
        ::execv(exe.c_str(), argv.data());
        std::perror("vboard: exec");
        ::_exit(127);
    }
    ::signal(SIGINT, forwardSignal);
    ::signal(SIGTERM, forwardSignal);
    ::signal(SIGHUP, forwardSignal);
    int status = 0;
    while (::waitpid(g_child, &status, 0) < 0) {
        if (errno != EINTR) return usageError("lost the program");
    }
    int code = 0;
    if (WIFSIGNALED(status)) {
        if (g_received == SIGHUP)
            std::fprintf(stderr, "vboard: the terminal hung up (SIGHUP); %s ended by signal %d\n", args[i].c_str(),
                         WTERMSIG(status));
        else std::fprintf(stderr, "vboard: %s ended by signal %d\n", args[i].c_str(), WTERMSIG(status));
        code = 128 + WTERMSIG(status);
    } else if (WEXITSTATUS(status) == 64) {
        std::fprintf(stderr, "vboard: the board rebooted\n");
    } else {
        code = WEXITSTATUS(status);
    }
    // Last, whatever the program's own exit code (the update tool's is 1 on
    // every path), so that success and failure differ at a glance.
    // A board that could not be used or did not boot ran no program: its
    // one line has said why.
    if (code != kBoardErrorExit && code != kNotBootedExit)
        std::fprintf(stderr, "%s\n", runSummary(dir, before, g_child).c_str());
    return code;
}

int cmdLog(const Args &args) {
    if (args.empty()) return usageError("log needs a board folder");
    const bool json = args.size() > 1 && args[1] == "--json";
    if (args.size() > (json ? 2u : 1u))
        return usageError("log takes a board folder and --json, not '" + args[json ? 2 : 1] + "'");
    auto b = board::Board::open(args[0]);
    if (json) {
        std::ifstream in(b->log().file());
        std::cout << in.rdbuf();
        return 0;
    }
    size_t unreadable = 0;
    for (const auto &e : b->log().read()) {
        if (e.is_discarded()) {
            ++unreadable;
            continue;
        }
        std::printf("%10u ms  %-18s %-16s%s\n", e.value("t_ms", 0u), e.value("program", std::string("?")).c_str(),
                    e.value("event", std::string("?")).c_str(), describe(e).c_str());
    }
    std::printf("%s\n", lastBootLine(args[0]).c_str());
    if (unreadable != 0)
        std::fprintf(stderr, "vboard: %zu line(s) of %s could not be read (cut short or not JSON)\n", unreadable,
                     b->log().file().c_str());
    return 0;
}

}  // namespace vboard

int main(int argc, char **argv) {
    if (argc < 2 || std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h") {
        std::fputs(vboard::kUsage, argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    const std::string command = argv[1];
    if (command == "--version") {
        if (argc > 2) return vboard::usageError("--version takes nothing after it");
        std::printf("%s\n", tools::versionLine("vboard").c_str());
        return 0;
    }
    board::EventLog::setProgram("vboard");
    const vboard::Args args(argv + 2, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(vboard::kUsage, stdout);
        return 0;
    }
    static const std::map<std::string, int (*)(const vboard::Args &)> commands = {
        {"create", vboard::cmdCreate},     {"set", vboard::cmdSet},     {"run", vboard::cmdRun},
        {"log", vboard::cmdLog},           {"mount", vboard::cmdMount}, {"unmount", vboard::cmdUnmount},
        {"key", vboard::cmdKey},           {"stop", vboard::cmdStop},   {"flash", vboard::cmdFlash},
        {"download", vboard::cmdDownload},
    };
    const auto it = commands.find(command);
    if (it == commands.end()) {
        std::fprintf(stderr, "vboard: unknown command '%s'\n%s", command.c_str(), vboard::kUsage);
        return 2;
    }
    try {
        return it->second(args);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vboard: %s\n", e.what());
        return 1;
    }
}
