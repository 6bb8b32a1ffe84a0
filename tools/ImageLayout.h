// Flash images from a readable JSON layout: signature blocks, level-1 and
// level-2 directories, combo and BHD directories, A/B slot headers and raw
// bytes, written with the driver's own records. Shared by `mkimage`,
// `inspect` and the tests; docs/mkimage.md describes the format.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ftpm::tools::layout {

inline constexpr uint64_t kMaxImageSize = 0x4000000;  // the 64 MB flash

// A layout that cannot be built; the message names the offending field, as
// in "directories[0].entries[2].size: not a number".
class LayoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Decimal or 0x-prefixed hexadecimal text, at most Max. Nothing else is
// accepted: no sign, no spaces, no suffix.
std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max = UINT64_MAX);

// Counts of what a layout put into its image.
struct ImageSummary {
  size_t signatureBlocks = 0;
  size_t directories = 0;
  size_t comboDirectories = 0;
  size_t bhdDirectories = 0;
  size_t slotHeaders = 0;
  size_t rawRanges = 0;
};

// Builds the image a layout describes. Throws LayoutError.
std::vector<uint8_t> BuildImage(const nlohmann::json& layout, ImageSummary* summary = nullptr);

// Reads and parses a layout file, then builds it. Throws LayoutError (with
// the file name) for unreadable files and malformed JSON as well.
std::vector<uint8_t> BuildImageFromFile(const std::string& path, ImageSummary* summary = nullptr);

// "$MVQ" and friends as text, with unprintable bytes escaped.
std::string CookieText(uint32_t cookie);

// "0x" followed by upper-case hexadecimal digits, at least Digits of them.
std::string Hex(uint64_t value, int digits = 1);

}  // namespace ftpm::tools::layout
