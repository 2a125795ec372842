// Boots a program on a virtual board: the host's stand-in for the platform's
// start-up code, called by the process's main() (operator/main) with the
// operator it chose. `vboard run` starts programs with the board and the
// pacing in the environment:
//   VBOARD_DIR     the board folder (required)
//   VBOARD_PACE    1 to run the board clock at the board's own speed
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "board/boot.h"
#include "wince/host.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow);
extern "C" const wince::ModuleResources wince_program_module;

int wince::runProgram(int argc, char **argv, const OperatorMaker &makeOperator) {
    std::string name = argv[0];
    if (auto slash = name.rfind('/'); slash != std::string::npos) name = name.substr(slash + 1);
    if (argc == 2 && (std::string(argv[1]) == "--help" || std::string(argv[1]) == "-h")) {
        std::printf(
            "%s is a program of the board: start it on a virtual board with\n"
            "  vboard run DIR [--script FILE [--show]] [--pace] %s [ARGS...]\n"
            "or by hand with VBOARD_DIR=DIR (and VBOARD_SCRIPT=FILE for a scripted operator).\n",
            name.c_str(), name.c_str());
        return 0;
    }
    // Messages of a program started by hand carry its own name.
    const char *run = std::getenv("VBOARD_RUN");
    if (run == nullptr || std::string(run) != "1") wince::setMessagePrefix(name);
    const char *dir = std::getenv("VBOARD_DIR");
    if (dir == nullptr || *dir == 0) {
        std::fprintf(stderr, "%s: no board given; start programs with `vboard run DIR PROGRAM [ARGS...]`\n", argv[0]);
        return 2;
    }

    // The platform passes the arguments without the program name, as typed.
    std::string args;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) args += ' ';
        args += argv[i];
    }

    int rc = 0;
    try {
        const char *pace = std::getenv("VBOARD_PACE");
        board::Clock::setPaced(pace != nullptr && std::string(pace) == "1");
        auto op = makeOperator();
        wince::boot(dir, op, name);
        wince::endOnBoardStop();
        std::u16string cmdLine = wince::toUtf16(args);
        wince::currentBoard().log().append({{"event", "start"}, {"command_line", args}});
        rc = WinMain(reinterpret_cast<HINSTANCE>(const_cast<wince::ModuleResources *>(&wince_program_module)), nullptr,
                     cmdLine.data(), SW_SHOW);
        // A stop of the board that came first ends the process from its own thread.
        if (!wince::claimProgramEnd())
            for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
        op->onProgramEnd();
        wince::currentBoard().log().append({{"event", "exit"}, {"code", rc}});
    } catch (const board::BoardNotBooted &e) {
        std::fprintf(stderr, "vboard: %s\n", e.what());
        return wince::kNotBootedExitCode;
    } catch (const board::BoardError &e) {
        std::fprintf(stderr, "%s: %s\n", wince::messagePrefix(), e.what());
        return wince::kBoardErrorExitCode;
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", wince::messagePrefix(), e.what());
        return wince::kRunStoppedExitCode;
    }
    std::fflush(stdout);
    // Worker threads may still be winding down; the process ends here, as it
    // does on the board when WinMain returns.
    std::_Exit(rc);
}
