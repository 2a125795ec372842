// Small state files of the board folder that several processes read and
// write at once: a lock per file group, whole-file replacement by rename (a
// reader sees the old or the new file, never half of one) and a parse cache
// keyed by the file's identity, since the file system asks on every path.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "os.h"

namespace board::store {

// An exclusive lock on `file` (made if absent), held for the object's life.
// Serialises read-modify-write of a state file between processes.
using FileLock = os::FileLock;

// The JSON object in `file`, or an empty object when the file is absent.
// Throws BoardError for a file that is not a JSON object.
std::shared_ptr<const nlohmann::json> readJsonObject(const std::filesystem::path &file);
// Replaces `file` by a new one holding `value`.
void writeJson(const std::filesystem::path &file, const nlohmann::json &value);
// Replaces `file` by a new one holding `text`.
void writeText(const std::filesystem::path &file, const std::string &text);
// The whole text of `file`, or "" when it is absent.
std::string readText(const std::filesystem::path &file);

}  // namespace board::store
