// Whole-file reads and writes for the tool's subcommands.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ftpm::tools {

// The bytes of a regular file of at most MaxSize bytes; nullopt when it is
// missing, not a regular file, larger, or cannot be read.
std::optional<std::vector<uint8_t>> ReadBinaryFile(const std::string& path, uint64_t maxSize = UINT64_MAX);

// Writes beside the target and renames, so a reader never sees half a file.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace ftpm::tools
