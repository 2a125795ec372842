// The entry of a program on the host. It picks the person at the board that
// `vboard run` asked for and hands it to the platform's start-up code
// (wince::runProgram), so that the platform sees only the operator interface
// and never one of ours:
//   VBOARD_SCRIPT  a script for the scripted operator; without it the
//                  terminal operator plays the person at the board
//   VBOARD_SHOW    1 to draw on the terminal what a scripted operator sees
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "operator/operators.h"
#include "wince/host.h"

int main(int argc, char **argv) {
    // A script that is not there is a bad use, as `vboard run --script` says.
    const char *given = std::getenv("VBOARD_SCRIPT");
    std::error_code ec;
    if (given != nullptr && *given != 0 && !std::filesystem::is_regular_file(given, ec)) {
        std::fprintf(stderr, "%s: no script %s (VBOARD_SCRIPT)\n", std::filesystem::path(argv[0]).filename().c_str(),
                     given);
        return 2;
    }
    return wince::runProgram(argc, argv, [] {
        const char *script = std::getenv("VBOARD_SCRIPT");
        if (script == nullptr || *script == 0) return wince::makeTerminalOperator();
        auto op = wince::makeScriptOperator(script);
        const char *show = std::getenv("VBOARD_SHOW");
        if (show != nullptr && std::string(show) == "1") op = wince::makeShowingOperator(op);
        return op;
    });
}
