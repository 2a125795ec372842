// Sub-commands of `vboard`, one group per source file. Each takes the
// arguments after its own name and returns the process exit code.
#pragma once

#include <string>
#include <vector>

namespace vboard {

using Args = std::vector<std::string>;

// main.cpp: create, set, run, log
int cmdCreate(const Args &args);
int cmdRun(const Args &args);
int cmdLog(const Args &args);
int cmdSet(const Args &args);

// volumes.cpp: mount, unmount, key, stop
int cmdMount(const Args &args);
int cmdUnmount(const Args &args);
int cmdKey(const Args &args);
int cmdStop(const Args &args);

// flash.cpp: flash
int cmdFlash(const Args &args);

// download.cpp: download
int cmdDownload(const Args &args);
// A board whose image does not boot (`vboard run` refuses, `download` wrote
// an image the loader does not start).
constexpr int kNotBootedExit = 72;
// "last boot: ..." for `vboard log` and `vboard flash`.
std::string lastBootLine(const std::string &dir);

// Prints "vboard: MESSAGE" to stderr and returns 2 (bad use) for callers
// to return.
int usageError(const std::string &message);

}  // namespace vboard
