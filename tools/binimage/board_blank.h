// Asks a virtual board's flash whether a range reads blank.
#pragma once

#include <string>

#include "image.h"

// A query bound to the board in `dir` (context set through `context`), or
// null when there is no board there.
binimage::BlankQuery boardBlankQuery(const std::string &dir, void **context);
