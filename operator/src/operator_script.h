// The scripted operator's language, parsed. Kept apart from the operator so
// that tests can check the reading of scripts on their own.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace wince::script {

struct Statement {
    enum Kind { WaitDialog, WaitText, Press, Close, Choose, Accept, Cancel, Dismiss, Timeout } kind = Close;
    int line = 0;             // in the file, from 1
    std::string source;       // the line as written, for messages
    int controlId = 0;        // wait text, press by id
    std::u16string text;      // caption, pattern, button text, path, box text
    std::u16string caption;   // dismiss "TEXT" "CAPTION"
    bool hasText = false;     // press "TEXT" / dismiss "TEXT"
    bool hasCaption = false;  // dismiss "TEXT" "CAPTION"
    double seconds = 0;       // timeout
};

// Reads a script; throws std::runtime_error naming `name` and the line of
// the first mistake.
std::vector<Statement> parse(const std::string &text, const std::string &name);

// Whole-text match where '*' stands for any run of characters.
bool wildcardMatch(const std::u16string &pattern, const std::u16string &text);

}  // namespace wince::script
