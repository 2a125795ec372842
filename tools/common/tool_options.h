// What every host tool answers alike: --help, --version, and a bad use.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tools {

// "NAME VERSION", the line --version prints: "mkbin 0.22.0".
std::string versionLine(const char *tool);

// --help (or -h) or --version as the only argument: prints the usage or the
// version line on standard output and returns 0 for main to return.
// Anything else: nothing printed, no value.
std::optional<int> answerCommonOption(const char *tool, const char *usage, const std::vector<std::string> &args);

// A bad use: "NAME: PROBLEM (NAME --help shows the usage)", one line on
// standard error; returns 2, the exit code of a bad use.
int usageError(const char *tool, const std::string &problem);

}  // namespace tools
