#pragma once

// Where the packed launcher goes: never over one of the inputs, and whole or not at all.

#include "Bytes.h"

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace sparlin::pack {

// On Windows, the spelling of `path` that passes 260 characters; elsewhere `path`.
std::filesystem::path LongPath(const std::filesystem::path& path);

// Refuses an output whose folder is missing, that is a folder, or that is the
// same file as one of `inputs` (path, shown name): links and other spellings count.
void CheckOutput(const std::filesystem::path& output, const std::string& shown,
                 const std::vector<std::pair<std::filesystem::path, std::string>>& inputs);

// Writes a flushed file beside `output` and renames it over `output`. Partial
// files that killed runs left in that folder go first.
void WriteOutput(const std::filesystem::path& output, const std::string& shown, const Bytes& data);

} // namespace sparlin::pack
