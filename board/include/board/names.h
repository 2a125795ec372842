// The board's name handling, shared by its file system and volume table.
#pragma once

#include <string>
#include <string_view>

namespace board {

// Code points of UTF-8 text (a byte that is not UTF-8 keeps one of its own).
std::u32string decode(std::string_view s);
// Appends the UTF-8 form of a code point that decode() gave.
void encode(char32_t c, std::string &out);
// The text with case folded away, as names are compared.
std::u32string folded(std::string_view s);
// "*" and "?" pattern match over folded names.
bool globMatch(const std::u32string &name, const std::u32string &pattern);

}  // namespace board
