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

// Writes a new file beside the target, flushes it to disk and renames it over
// the target, so a reader (or the next boot of the machine that ran this)
// finds the old file or the whole new one, never half of one. Nothing but
// the target is replaced: the temporary file is created exclusively, and
// removed on failure.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace ftpm::tools
