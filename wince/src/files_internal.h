// Internals shared by the file, enumeration and process calls.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "board/filesystem.h"

namespace wince {

// Codes the calls set that the SDK headers do not name yet.
constexpr DWORD kErrorDiskFull = 112;
constexpr DWORD kErrorNegativeSeek = 131;
constexpr DWORD kErrorInvalidName = 123;

// A path argument as a board path in UTF-8, or nullopt with the error set:
// no path, or one of 260 characters or more (the platform's limit).
std::optional<std::string> boardPathArg(LPCWSTR path);
// The error for a lookup that did not find its entry.
DWORD lookupError(board::PathStatus status);
// The error for a failed host call.
DWORD errorFromErrno(int err);
FILETIME toFileTime(uint64_t value);
// Sets the error and returns the value given, for one-line failures.
template <typename T> T fail(DWORD error, T value) {
    SetLastError(error);
    return value;
}

}  // namespace wince
