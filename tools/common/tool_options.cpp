#include "tool_options.h"

#include <cstdio>

namespace tools {

std::string versionLine(const char *tool) { return std::string(tool) + " " + VBOARD_VERSION; }

std::optional<int> answerCommonOption(const char *tool, const char *usage, const std::vector<std::string> &args) {
    if (args.size() != 1) return std::nullopt;
    if (args[0] == "--help" || args[0] == "-h") {
        std::fputs(usage, stdout);
        return 0;
    }
    if (args[0] == "--version") {
        std::printf("%s\n", versionLine(tool).c_str());
        return 0;
    }
    return std::nullopt;
}

int usageError(const char *tool, const std::string &problem) {
    std::fprintf(stderr, "%s: %s (%s --help shows the usage)\n", tool, problem.c_str(), tool);
    return 2;
}

}  // namespace tools
