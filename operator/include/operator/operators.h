// The operators the host ships: a scripted one for tests and demos and one
// at the terminal for a person.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "wince/operator.h"

namespace wince {

// Plays the actions of a script file (see docs/operator-script.md).
std::shared_ptr<Operator> makeScriptOperator(const std::filesystem::path &script);
// The same for a script given as text; `name` stands for the file in messages.
std::shared_ptr<Operator> makeScriptOperatorFromText(const std::string &text, const std::string &name = "script");
// Draws the dialog in front on the terminal and takes choices from the keyboard.
std::shared_ptr<Operator> makeTerminalOperator();
// Leaves the choices to `inner` and draws on the terminal what it is shown.
std::shared_ptr<Operator> makeShowingOperator(std::shared_ptr<Operator> inner);

}  // namespace wince
