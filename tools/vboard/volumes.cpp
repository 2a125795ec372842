// Placeholder until volumes and keys land.
#include "commands.h"

namespace vboard {
int cmdMount(const Args &) { return usageError("mount is not built yet"); }
int cmdUnmount(const Args &) { return usageError("unmount is not built yet"); }
int cmdKey(const Args &) { return usageError("key is not built yet"); }
int cmdStop(const Args &) { return usageError("stop is not built yet"); }
}  // namespace vboard
