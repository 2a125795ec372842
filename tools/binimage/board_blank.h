// The inspector's view of a virtual board's flash.
#pragma once

#include <optional>
#include <string>

#include "image.h"

// A query bound to the board in `dir` (context set through `context`), or
// null when there is no board there.
binimage::BlankQuery boardBlankQuery(const std::string &dir, void **context);

// The first record of the image that the board's flash does not hold byte
// for byte, or nothing when it holds them all. `context` is the one
// boardBlankQuery gave.
std::optional<std::string> verifyOnBoard(const std::string &imageBytes, const binimage::Report &report,
                                         void *context);
