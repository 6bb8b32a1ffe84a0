#include "tools/ImageLayout.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <iomanip>
#include <iterator>
#include <map>
#include <sstream>

#include "directory/Formats.h"
#include "directory/Validation.h"

namespace ftpm::tools::layout {

namespace {

using json = nlohmann::json;
namespace fmt = ftpm::directory;

// Entry types by name, for readable layouts.
const std::map<std::string, uint32_t> kTypeNames = {
    {"ftpm-nvram", fmt::kEntryFtpmNvram}, {"mvq-nvram", fmt::kEntryMvqNvram}, {"l2-pointer", fmt::kEntryL2Pointer},
    {"a-pointer", fmt::kEntryAPointer},   {"b-pointer", fmt::kEntryBPointer},
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw LayoutError(where.empty() ? what : where + ": " + what);
}

// One JSON object of the layout, with the path used in error messages.
class Node {
 public:
  Node(const json& value, std::string path) : value_(value), path_(std::move(path)) {
    if (!value_.is_object()) {
      Fail(path_, "expected an object");
    }
  }

  // Unknown keys are mistakes (a misspelt field would otherwise be ignored).
  void AllowOnly(std::initializer_list<const char*> keys) const {
    for (const auto& item : value_.items()) {
      if (std::none_of(keys.begin(), keys.end(), [&](const char* key) { return item.key() == key; })) {
        Fail(path_, "unknown field \"" + item.key() + "\"");
      }
    }
  }
  bool Has(const char* key) const { return value_.contains(key); }
  std::string Path(const char* key) const { return path_.empty() ? key : path_ + "." + key; }

  uint64_t Number(const char* key, uint64_t max) const {
    if (!Has(key)) {
      Fail(path_, std::string("missing field \"") + key + "\"");
    }
    return NumberOf(value_.at(key), Path(key), max);
  }
  uint64_t Number(const char* key, uint64_t max, uint64_t fallback) const {
    return Has(key) ? Number(key, max) : fallback;
  }
  const json& At(const char* key) const { return value_.at(key); }

  // The elements of an array field (empty when absent).
  std::vector<Node> Array(const char* key) const {
    std::vector<Node> nodes;
    if (!Has(key)) {
      return nodes;
    }
    const json& array = value_.at(key);
    if (!array.is_array()) {
      Fail(Path(key), "expected an array");
    }
    for (size_t i = 0; i < array.size(); ++i) {
      nodes.emplace_back(array[i], Path(key) + "[" + std::to_string(i) + "]");
    }
    return nodes;
  }
  const std::string& Where() const { return path_; }

  static uint64_t NumberOf(const json& value, const std::string& where, uint64_t max) {
    std::optional<uint64_t> number;
    if (value.is_number_unsigned()) {
      number = value.get<uint64_t>();
    } else if (value.is_number_integer()) {
      Fail(where, "must not be negative");
    } else if (value.is_string()) {
      number = ParseNumber(value.get<std::string>());
    }
    if (!number) {
      Fail(where, "not a number (give an integer, or decimal or 0x-hexadecimal text)");
    }
    if (*number > max) {
      Fail(where, Hex(*number) + " does not fit (at most " + Hex(max) + ")");
    }
    return *number;
  }

 private:
  const json& value_;
  std::string path_;
};

uint32_t CookieOf(const Node& node, const char* key, uint32_t fallback) {
  if (!node.Has(key)) {
    return fallback;
  }
  const json& value = node.At(key);
  if (value.is_string() && value.get<std::string>().size() == 4) {
    const std::string text = value.get<std::string>();
    return Signature32(text[0], text[1], text[2], text[3]);
  }
  return static_cast<uint32_t>(Node::NumberOf(value, node.Path(key), UINT32_MAX));
}

std::vector<uint8_t> HexBytes(const json& value, const std::string& where) {
  if (!value.is_string()) {
    Fail(where, "expected hexadecimal text");
  }
  std::string digits;
  for (char c : value.get<std::string>()) {
    if (c == ' ' || c == ':' || c == '-' || c == '\n') {
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) {
      Fail(where, std::string("'") + c + "' is not a hexadecimal digit");
    }
    digits += c;
  }
  if (digits.size() % 2 != 0) {
    Fail(where, "an odd number of hexadecimal digits");
  }
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// The type word of an entry: "type_word" as given, or "type" (a number or
// a name) with the optional 8-bit-mode "subtype" and "variant".
uint32_t TypeWordOf(const Node& entry) {
  if (entry.Has("type_word")) {
    if (entry.Has("type") || entry.Has("subtype") || entry.Has("variant")) {
      Fail(entry.Where(), "give either type_word or type (with subtype and variant), not both");
    }
    return static_cast<uint32_t>(entry.Number("type_word", UINT32_MAX));
  }
  if (!entry.Has("type")) {
    Fail(entry.Where(), "missing field \"type\" (or \"type_word\")");
  }
  uint32_t type = 0;
  const json& value = entry.At("type");
  if (value.is_string() && kTypeNames.count(value.get<std::string>()) != 0) {
    type = kTypeNames.at(value.get<std::string>());
  } else {
    type = static_cast<uint32_t>(Node::NumberOf(value, entry.Path("type"), 0xFFFF));
  }
  const uint64_t subtype = entry.Number("subtype", 0xFF, 0);
  const uint64_t variant = entry.Number("variant", 0xF, 0);
  if ((subtype != 0 || variant != 0) && type > 0xFF) {
    Fail(entry.Where(), "subtype and variant belong to 8-bit types only");
  }
  return type | static_cast<uint32_t>(subtype << fmt::kSubtypeShift) |
         static_cast<uint32_t>(variant << fmt::kVariantShift);
}

uint64_t LocationOf(const Node& entry) {
  const uint64_t location = entry.Number("location", UINT64_MAX);
  const uint64_t mode = entry.Number("mode", 3, 0);
  if (mode != 0 && (location & fmt::kLocationModeMask) != 0) {
    Fail(entry.Path("location"), "has bits 62-63 set and a mode is given as well");
  }
  return location | (mode << fmt::kLocationModeShift);
}

class ImageBuilder {
 public:
  ImageBuilder(uint64_t size, uint8_t fill) : image_(size, fill) {}

  // Writes a record. Records may not overlap each other; raw bytes may be
  // written over anything.
  void Write(const std::string& where, uint64_t offset, const void* bytes, size_t length, bool record = true) {
    if (offset > image_.size() || length > image_.size() - offset) {
      Fail(where, "offset " + Hex(offset) + " with " + std::to_string(length) + " bytes runs past the image end (" +
                      Hex(image_.size()) + ")");
    }
    if (record) {
      for (const Taken& taken : taken_) {
        if (offset < taken.end && taken.offset < offset + length) {
          Fail(where, "overlaps " + taken.where);
        }
      }
      taken_.push_back({offset, offset + length, where});
    }
    std::memcpy(image_.data() + offset, bytes, length);
  }

  // The checksum a directory at Offset gets: computed over the image's bytes
  // as the driver computes it, or the layout's own value, or a wrong one.
  void Checksum(const Node& node, uint64_t offset, uint32_t count, uint32_t entrySize) {
    const uint64_t covered = sizeof(fmt::DirectoryHeader) - fmt::kChecksumStart + uint64_t{count} * entrySize;
    uint32_t checksum = 0;
    const json* value = node.Has("checksum") ? &node.At("checksum") : nullptr;
    const bool computed = value == nullptr || (value->is_string() && (*value == "auto" || *value == "wrong"));
    if (computed) {
      if (offset + fmt::kChecksumStart + covered > image_.size()) {
        Fail(node.Where(), "the entries the checksum covers run past the image end; give \"checksum\"");
      }
      checksum = fmt::Fletcher32(image_.data() + offset + fmt::kChecksumStart, static_cast<uint32_t>(covered / 2));
      if (value != nullptr && *value == "wrong") {
        checksum ^= 1;
      }
    } else {
      checksum = static_cast<uint32_t>(Node::NumberOf(*value, node.Path("checksum"), UINT32_MAX));
    }
    std::memcpy(image_.data() + offset + offsetof(fmt::DirectoryHeader, Checksum), &checksum, sizeof checksum);
  }

  std::vector<uint8_t> Take() { return std::move(image_); }

 private:
  struct Taken {
    uint64_t offset;
    uint64_t end;
    std::string where;
  };
  std::vector<uint8_t> image_;
  std::vector<Taken> taken_;
};

template <typename T>
void Append(std::vector<uint8_t>& bytes, const T& record) {
  const auto* p = reinterpret_cast<const uint8_t*>(&record);
  bytes.insert(bytes.end(), p, p + sizeof record);
}

// A header followed directly by its entries, as they lie in flash.
template <typename Header, typename Entry>
std::vector<uint8_t> Records(const Header& header, const std::vector<Entry>& entries) {
  std::vector<uint8_t> bytes;
  Append(bytes, header);
  for (const Entry& entry : entries) {
    Append(bytes, entry);
  }
  return bytes;
}

void SignatureBlock(ImageBuilder& image, const Node& node) {
  node.AllowOnly({"offset", "signature", "directory", "alternate_directory", "exclusion", "comment"});
  fmt::RomSignatureBlock block{};
  block.Signature = static_cast<uint32_t>(node.Number("signature", UINT32_MAX, fmt::kRomSignature));
  block.MvqDirectoryPointer = static_cast<uint32_t>(node.Number("directory", UINT32_MAX));
  block.AlternateMvqDirectoryPointer = static_cast<uint32_t>(node.Number("alternate_directory", UINT32_MAX, 0));
  block.ExclusionByte = static_cast<uint8_t>(node.Number("exclusion", 0xFF, 0));
  image.Write(node.Where(), node.Number("offset", UINT64_MAX), &block, sizeof block);
}

void MvqDirectory(ImageBuilder& image, const Node& node) {
  node.AllowOnly({"offset", "level", "cookie", "info", "checksum", "entry_count", "entries", "comment"});
  const uint64_t level = node.Number("level", 2, 1);
  if (level == 0) {
    Fail(node.Path("level"), "is 1 or 2");
  }
  std::vector<fmt::DirectoryEntry> entries;
  for (const Node& entry : node.Array("entries")) {
    entry.AllowOnly({"type", "subtype", "variant", "type_word", "size", "location", "mode", "comment"});
    entries.push_back({TypeWordOf(entry), static_cast<uint32_t>(entry.Number("size", UINT32_MAX)), LocationOf(entry)});
  }
  fmt::DirectoryHeader header{};
  header.Cookie = CookieOf(node, "cookie", level == 1 ? fmt::kMvqCookie : fmt::kMvqL2Cookie);
  header.EntryCount = static_cast<uint32_t>(node.Number("entry_count", UINT32_MAX, entries.size()));
  header.Info = static_cast<uint32_t>(node.Number("info", UINT32_MAX, 0));
  const std::vector<uint8_t> bytes = Records(header, entries);
  const uint64_t offset = node.Number("offset", UINT64_MAX);
  image.Write(node.Where(), offset, bytes.data(), bytes.size());
  image.Checksum(node, offset, header.EntryCount, sizeof(fmt::DirectoryEntry));
}

void ComboDirectory(ImageBuilder& image, const Node& node) {
  node.AllowOnly({"offset", "cookie", "entry_count", "entries", "comment"});
  std::vector<fmt::ComboEntry> entries;
  for (const Node& entry : node.Array("entries")) {
    entry.AllowOnly({"mvq_id", "directory", "comment"});
    entries.push_back({0, static_cast<uint32_t>(entry.Number("mvq_id", UINT32_MAX)),
                       static_cast<uint32_t>(entry.Number("directory", UINT32_MAX)), 0});
  }
  fmt::ComboDirectory header{};
  header.Cookie = CookieOf(node, "cookie", fmt::kComboCookie);
  header.EntryCount = static_cast<uint32_t>(node.Number("entry_count", UINT32_MAX, entries.size()));
  const std::vector<uint8_t> bytes = Records(header, entries);
  image.Write(node.Where(), node.Number("offset", UINT64_MAX), bytes.data(), bytes.size());
}

void BhdDirectory(ImageBuilder& image, const Node& node) {
  node.AllowOnly({"offset", "level", "cookie", "info", "checksum", "entry_count", "entries", "comment"});
  const uint64_t level = node.Number("level", 2, 1);
  if (level == 0) {
    Fail(node.Path("level"), "is 1 or 2");
  }
  std::vector<fmt::BhdEntry> entries;
  for (const Node& entry : node.Array("entries")) {
    entry.AllowOnly({"hex", "comment"});
    const std::vector<uint8_t> bytes = HexBytes(entry.At("hex"), entry.Path("hex"));
    if (bytes.size() > sizeof(fmt::BhdEntry)) {
      Fail(entry.Path("hex"), "more than 24 bytes");
    }
    fmt::BhdEntry record{};
    std::memcpy(record.Bytes, bytes.data(), bytes.size());
    entries.push_back(record);
  }
  fmt::DirectoryHeader header{};
  header.Cookie = CookieOf(node, "cookie", level == 1 ? fmt::kBhdCookie : fmt::kBl2Cookie);
  header.EntryCount = static_cast<uint32_t>(node.Number("entry_count", UINT32_MAX, entries.size()));
  header.Info = static_cast<uint32_t>(node.Number("info", UINT32_MAX, 0));
  const std::vector<uint8_t> bytes = Records(header, entries);
  const uint64_t offset = node.Number("offset", UINT64_MAX);
  image.Write(node.Where(), offset, bytes.data(), bytes.size());
  image.Checksum(node, offset, header.EntryCount, sizeof(fmt::BhdEntry));
}

void SlotHeader(ImageBuilder& image, const Node& node) {
  const uint64_t form = node.Number("form", 2);
  const uint64_t offset = node.Number("offset", UINT64_MAX);
  if (form == 1) {
    node.AllowOnly({"offset", "form", "priority", "aux1", "aux2", "l2_address", "comment"});
    fmt::AbSlotHeader1 header{};
    header.Priority = static_cast<uint32_t>(node.Number("priority", UINT32_MAX));
    header.Aux1 = static_cast<uint32_t>(node.Number("aux1", UINT32_MAX, 0));
    header.Aux2 = static_cast<uint32_t>(node.Number("aux2", UINT32_MAX, 0));
    header.L2Address = static_cast<uint32_t>(node.Number("l2_address", UINT32_MAX));
    image.Write(node.Where(), offset, &header, sizeof header);
  } else if (form == 2) {
    node.AllowOnly({"offset", "form", "priority", "aux1", "aux2", "l2_address", "mvq_id", "comment"});
    fmt::AbSlotHeader2 header{};
    header.Priority = static_cast<uint32_t>(node.Number("priority", UINT32_MAX));
    header.Aux1 = static_cast<uint32_t>(node.Number("aux1", UINT32_MAX, 0));
    header.Aux2 = static_cast<uint8_t>(node.Number("aux2", 0xFF, 0));
    header.L2Address = static_cast<uint32_t>(node.Number("l2_address", UINT32_MAX));
    header.MvqId = static_cast<uint32_t>(node.Number("mvq_id", UINT32_MAX));
    image.Write(node.Where(), offset, &header, sizeof header);
  } else {
    Fail(node.Path("form"), "is 1 (16-byte header) or 2 (32-byte header)");
  }
}

void Raw(ImageBuilder& image, const Node& node) {
  node.AllowOnly({"offset", "hex", "length", "byte", "comment"});
  const uint64_t offset = node.Number("offset", UINT64_MAX);
  std::vector<uint8_t> bytes;
  if (node.Has("hex")) {
    if (node.Has("length") || node.Has("byte")) {
      Fail(node.Where(), "give either hex, or length and byte");
    }
    bytes = HexBytes(node.At("hex"), node.Path("hex"));
  } else {
    bytes.assign(node.Number("length", kMaxImageSize), static_cast<uint8_t>(node.Number("byte", 0xFF)));
  }
  image.Write(node.Where(), offset, bytes.data(), bytes.size(), /*record=*/false);
}

}  // namespace

std::optional<uint64_t> ParseNumber(std::string_view text, uint64_t max) {
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) {
    return std::nullopt;
  }
  uint64_t value = 0;
  for (char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    if (value > (UINT64_MAX - digit) / static_cast<unsigned>(base)) {
      return std::nullopt;
    }
    value = value * static_cast<unsigned>(base) + digit;
  }
  if (value > max) {
    return std::nullopt;
  }
  return value;
}

std::string Hex(uint64_t value, int digits) {
  std::ostringstream out;
  out << "0x" << std::uppercase << std::hex << std::setfill('0') << std::setw(digits) << value;
  return out.str();
}

std::string CookieText(uint32_t cookie) {
  std::string text;
  for (int i = 0; i < 4; ++i) {
    const auto c = static_cast<unsigned char>(cookie >> (8 * i));
    if (c >= 0x20 && c < 0x7F) {
      text += static_cast<char>(c);
    } else {
      static const char* const kDigits = "0123456789ABCDEF";
      text += "\\x";
      text += kDigits[c >> 4];
      text += kDigits[c & 0xF];
    }
  }
  return text;
}

std::vector<uint8_t> BuildImage(const nlohmann::json& layout, ImageSummary* summary) {
  const Node root(layout, "");
  root.AllowOnly({"description", "processor", "size", "fill", "signature_blocks", "directories", "combo_directories",
                  "bhd_directories", "slot_headers", "raw", "comment"});
  const uint64_t size = root.Number("size", kMaxImageSize);
  ImageBuilder image(size, static_cast<uint8_t>(root.Number("fill", 0xFF, 0xFF)));
  ImageSummary counts;
  for (const Node& node : root.Array("signature_blocks")) {
    SignatureBlock(image, node);
    ++counts.signatureBlocks;
  }
  for (const Node& node : root.Array("directories")) {
    MvqDirectory(image, node);
    ++counts.directories;
  }
  for (const Node& node : root.Array("combo_directories")) {
    ComboDirectory(image, node);
    ++counts.comboDirectories;
  }
  for (const Node& node : root.Array("bhd_directories")) {
    BhdDirectory(image, node);
    ++counts.bhdDirectories;
  }
  for (const Node& node : root.Array("slot_headers")) {
    SlotHeader(image, node);
    ++counts.slotHeaders;
  }
  for (const Node& node : root.Array("raw")) {
    Raw(image, node);
    ++counts.rawRanges;
  }
  if (summary != nullptr) {
    *summary = counts;
  }
  return image.Take();
}

std::vector<uint8_t> BuildImageFromFile(const std::string& path, ImageSummary* summary) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw LayoutError(path + ": cannot read the file");
  }
  const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  json layout;
  try {
    layout = json::parse(text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/true);
  } catch (const json::parse_error& error) {
    throw LayoutError(path + ": not valid JSON: " + error.what());
  }
  try {
    return BuildImage(layout, summary);
  } catch (const LayoutError& error) {
    throw LayoutError(path + ": " + error.what());
  }
}

}  // namespace ftpm::tools::layout
