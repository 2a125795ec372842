// Internals of the resource lookup shared with the dialog manager.
#pragma once

#include <windows.h>

#include <cstddef>
#include <span>

#include "wince/host.h"

namespace wince {

// The module a HINSTANCE stands for. A null instance is the program's own
// module, as on the platform; it is null too when the process has none.
const ModuleResources *moduleOf(HMODULE module);

// The data of the resource in `module` that holds `p`, from `p` to the end of
// that resource; empty when `p` is not inside one. Lets the dialog manager
// read a template it is handed back without running past its resource.
std::span<const unsigned char> resourceDataFrom(const ModuleResources *module, const void *p);

}  // namespace wince
