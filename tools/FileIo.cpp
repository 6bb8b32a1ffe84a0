#include "tools/FileIo.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace ftpm::tools {

std::optional<std::vector<uint8_t>> ReadBinaryFile(const std::string& path, uint64_t maxSize) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) {
    return std::nullopt;
  }
  const auto size = std::filesystem::file_size(path, error);
  if (error || size > maxSize) {
    return std::nullopt;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    return std::nullopt;
  }
  // One read of the size the file has: a byte-at-a-time copy costs seconds
  // for a 64 MB image in an unoptimised build.
  std::vector<uint8_t> bytes(size);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  if (in.bad() || static_cast<uint64_t>(in.gcount()) != size || in.peek() != std::ifstream::traits_type::eof()) {
    return std::nullopt;
  }
  return bytes;
}

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes) {
  const std::string temporary = path + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
      std::error_code ignored;
      std::filesystem::remove(temporary, ignored);
      return false;
    }
  }
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  if (error) {
    std::filesystem::remove(temporary, error);
    return false;
  }
  return true;
}

}  // namespace ftpm::tools
