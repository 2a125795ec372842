// The terminal operator on given file descriptors, so that tests can play
// it through pipes. makeTerminalOperator() uses standard input and output.
#pragma once

#include <memory>

#include "wince/operator.h"

namespace wince {

// `in` is read in raw mode (a key at a time) when it is a terminal and by
// lines otherwise; `out` gets escape codes only when it is a terminal.
std::shared_ptr<Operator> makeTerminalOperatorOn(int in, int out);

}  // namespace wince
