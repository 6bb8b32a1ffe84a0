#include "tools/FirmwareInsert.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <memory>

#include "platform/Guids.h"
#include "tools/FfsBytes.h"
#include "tools/Lzma.h"

namespace ftpm::tools::ffs {
namespace {

// The largest dictionary the encoder is given (its memory is about ten times
// this).
constexpr uint32_t kMaxDictionary = uint32_t{64} << 20;
// The largest pad file of a chain that fills a gap, a multiple of 8.
constexpr size_t kMaxPadChunk = kFfsMaxFileSize & ~(kFfsFileAlignment - 1);

// Runs read with where put before the message of what it throws.
template <typename Read>
auto In(const std::string& where, Read&& read) -> decltype(read()) {
  try {
    return read();
  } catch (const PackageError& error) {
    throw PackageError(where + ": " + error.what());
  }
}

std::string VolumeName(const VolumeHeader& header) {
  return header.name ? "volume " + FormatGuid(*header.name) : "volume";
}

std::span<const uint8_t> FileData(std::span<const uint8_t> volume, const FileEntry& file) {
  return volume.subspan(file.offset + file.headerSize, file.size - file.headerSize);
}

// ---------------------------------------------------------------------------
// The image as a tree
// ---------------------------------------------------------------------------

// One reading of an image: its volumes, the volume-image files in them, and
// the sections of those files down to the volumes they hold, through LZMA
// sections. Finding the DXE volume, rebuilding the containers around it and
// reading the result back all work from this tree. Nodes view the image's
// bytes, or the unpacked stream an LZMA node owns, and copy nothing else.
enum class NodeKind { kImage, kVolume, kFile, kSection };

struct Node {
  Node(NodeKind kind_, size_t offset_, std::span<const uint8_t> bytes_, std::string where_)
      : kind(kind_), offset(offset_), bytes(bytes_), where(std::move(where_)) {}

  NodeKind kind;
  size_t offset = 0;               // in the parent's bytes (a file's: in its volume)
  std::span<const uint8_t> bytes;  // the whole item
  std::string where;
  std::vector<std::unique_ptr<Node>> children;
  // kVolume
  VolumeLayout layout{};
  bool dxeCore = false;
  size_t drivers = 0;
  // kFile
  FileEntry file{};
  // kSection
  SectionEntry section{};
  bool lastInStream = false;
  std::optional<GuidDefinedSection> guided;  // an LZMA section
  Bytes unpacked;                            // what it unpacks to; its children lie in it
};

class Parser {
 public:
  explicit Parser(const InsertLimits& limits) : limits_(limits) {}

  std::unique_ptr<Node> Image(std::span<const uint8_t> image) {
    auto root = std::make_unique<Node>(NodeKind::kImage, 0, image, "the image");
    constexpr size_t kSignatureOffset = offsetof(EFI_FIRMWARE_VOLUME_HEADER, Signature);
    size_t offset = 0;
    while (image.size() - offset >= sizeof(EFI_FIRMWARE_VOLUME_HEADER)) {
      if (ReadLe32(image, offset + kSignatureOffset) != EFI_FVH_SIGNATURE) {
        offset += kFfsFileAlignment;
        continue;
      }
      const auto bytes = image.subspan(offset);
      const VolumeHeader header =
          In("volume at " + FormatHex(offset) + " of the image", [&] { return ReadVolumeHeader(bytes); });
      const auto length = static_cast<size_t>(header.length);
      if (header.HoldsFiles()) {
        Volume(*root, offset, bytes.first(length), VolumeName(header) + " at " + FormatHex(offset) + " of the image",
               1);
      }
      // A length that is not a multiple of 8 may end the image.
      const size_t step = AlignUp(length, kFfsFileAlignment);
      if (step > image.size() - offset) {
        break;
      }
      offset += step;
    }
    return root;
  }

  size_t notLookedInto = 0;  // sections of other encodings

 private:
  void Count(const std::string& where, size_t items) {
    if (items > limits_.items - std::min(items_, limits_.items)) {
      throw PackageError(where + ": the image holds more than " + std::to_string(limits_.items) +
                         " volumes, files and sections");
    }
    items_ += items;
  }

  size_t ItemsLeft() const { return limits_.items - std::min(items_, limits_.items); }

  void Enter(const std::string& where, size_t depth) const {
    if (depth > limits_.depth) {
      throw PackageError(where + ": volumes and encapsulation sections nested more than " +
                         std::to_string(limits_.depth) + " deep");
    }
  }

  void Volume(Node& parent, size_t offset, std::span<const uint8_t> bytes, const std::string& where, size_t depth) {
    Enter(where, depth);
    Count(where, 1);
    auto node = std::make_unique<Node>(NodeKind::kVolume, offset, bytes, where);
    node->layout = In(where, [&] { return ReadVolume(bytes, ItemsLeft()); });
    Count(where, node->layout.files.size());
    for (const FileEntry& file : node->layout.files) {
      if (!file.Live()) {
        continue;
      }
      node->dxeCore |= file.header.Type == EFI_FV_FILETYPE_DXE_CORE;
      node->drivers += file.header.Type == EFI_FV_FILETYPE_DRIVER ? 1 : 0;
      if (file.header.Type == EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE) {
        auto child = std::make_unique<Node>(NodeKind::kFile, file.offset, bytes.subspan(file.offset, file.size),
                                            "file " + FormatGuid(file.header.Name) + " in " + where);
        child->file = file;
        Stream(*child, FileData(bytes, file), depth);
        node->children.push_back(std::move(child));
      }
    }
    parent.children.push_back(std::move(node));
  }

  void Stream(Node& parent, std::span<const uint8_t> stream, size_t depth) {
    const std::vector<SectionEntry> sections = In(parent.where, [&] { return ReadSections(stream, ItemsLeft()); });
    Count(parent.where, sections.size());
    for (const SectionEntry& entry : sections) {
      const auto bytes = stream.subspan(entry.offset, entry.size);
      auto node = std::make_unique<Node>(NodeKind::kSection, entry.offset, bytes,
                                         "section at " + FormatHex(entry.offset) + " of " + parent.where);
      node->section = entry;
      node->lastInStream = &entry == &sections.back();
      if (entry.type == EFI_SECTION_FIRMWARE_VOLUME_IMAGE) {
        Enter(node->where, depth + 1);
        const auto body = bytes.subspan(entry.headerSize);
        const VolumeHeader header = In(node->where, [&] { return ReadVolumeHeader(body); });
        if (header.HoldsFiles()) {
          Volume(*node, entry.headerSize, body.first(static_cast<size_t>(header.length)),
                 VolumeName(header) + " in " + parent.where, depth + 2);
        }
      } else if (entry.type == EFI_SECTION_GUID_DEFINED) {
        const GuidDefinedSection guided = In(node->where, [&] { return ReadGuidDefinedSection(bytes, entry); });
        if (!SameGuid(guided.guid, gLzmaCustomDecompressGuid)) {
          ++notLookedInto;
          continue;
        }
        node->where = "the LZMA section of " + parent.where;
        Enter(node->where, depth + 1);
        node->guided = guided;
        node->unpacked =
            In(node->where, [&] { return LzmaDecompress(bytes.subspan(guided.dataOffset), limits_.unpackedSection); });
        unpacked_ += node->unpacked.size();
        if (unpacked_ > limits_.unpackedTotal) {
          throw PackageError(node->where + ": the image unpacks to more than " + std::to_string(limits_.unpackedTotal) +
                             " bytes");
        }
        Stream(*node, node->unpacked, depth + 1);
      } else {
        notLookedInto += entry.type == EFI_SECTION_COMPRESSION ? 1 : 0;
        continue;
      }
      parent.children.push_back(std::move(node));
    }
  }

  const InsertLimits& limits_;
  size_t items_ = 0;
  uint64_t unpacked_ = 0;
};

// The way from the root to a volume.
using Path = std::vector<const Node*>;

void CollectVolumes(const Node& node, Path& path, std::vector<Path>& volumes) {
  path.push_back(&node);
  if (node.kind == NodeKind::kVolume && (node.dxeCore || node.drivers > 0)) {
    volumes.push_back(path);
  }
  for (const auto& child : node.children) {
    CollectVolumes(*child, path, volumes);
  }
  path.pop_back();
}

Path ChooseDxeVolume(const Node& root, size_t notLookedInto, std::string& why) {
  std::vector<Path> all;
  Path path;
  CollectVolumes(root, path, all);
  std::vector<Path> cores;
  std::vector<Path> drivers;
  for (Path& candidate : all) {
    (candidate.back()->dxeCore ? cores : drivers).push_back(std::move(candidate));
  }
  const auto list = [](const std::vector<Path>& candidates) {
    std::string text;
    for (const Path& candidate : candidates) {
      text += (text.empty() ? "" : "; ") + candidate.back()->where;
    }
    return text;
  };
  if (cores.size() == 1) {
    why = "it holds the DXE core";
    return cores.front();
  }
  if (cores.size() > 1) {
    throw PackageError(std::to_string(cores.size()) + " volumes hold a DXE core: " + list(cores));
  }
  if (drivers.size() == 1) {
    why = "no volume holds the DXE core and it is the one that holds DXE drivers";
    return drivers.front();
  }
  if (drivers.size() > 1) {
    throw PackageError("no volume holds the DXE core and " + std::to_string(drivers.size()) +
                       " hold DXE drivers: " + list(drivers));
  }
  std::string message = "no DXE volume found: no firmware volume holds the DXE core or a DXE driver";
  if (notLookedInto > 0) {
    message +=
        " (" + std::to_string(notLookedInto) + " sections compressed otherwise than with LZMA were not looked into)";
  }
  throw PackageError(message);
}

// ---------------------------------------------------------------------------
// Editing the DXE volume
// ---------------------------------------------------------------------------

// Pad files from begin (8-byte aligned) to end; end - begin is 0 or at least
// a file header.
void FillWithPads(Bytes& volume, size_t begin, size_t end, bool erasePolarity) {
  while (begin < end) {
    size_t chunk = end - begin;
    if (chunk > kFfsMaxFileSize) {
      chunk = end - begin - kMaxPadChunk < sizeof(EFI_FFS_FILE_HEADER) ? kMaxPadChunk - kFfsFileAlignment * 4
                                                                       : kMaxPadChunk;
    }
    const Bytes pad = MakePadFile(chunk, erasePolarity);
    std::copy(pad.begin(), pad.end(), volume.begin() + static_cast<std::ptrdiff_t>(begin));
    begin += chunk;
  }
}

void Erase(Bytes& volume, size_t begin, size_t end, uint8_t erased) {
  std::fill(volume.begin() + static_cast<std::ptrdiff_t>(begin), volume.begin() + static_cast<std::ptrdiff_t>(end),
            erased);
}

// Moves the used-size entry of the extended header by the change of the free
// space's start, and keeps the data checksum of the file holding it right.
void AdjustUsedSize(Bytes& volume, const VolumeLayout& layout, size_t newFreeStart) {
  if (!layout.header.usedSizeOffset || newFreeStart == layout.freeStart) {
    return;
  }
  const size_t at = *layout.header.usedSizeOffset;
  uint32_t used = ReadLe32(volume, at);
  const int64_t moved = static_cast<int64_t>(newFreeStart) - static_cast<int64_t>(layout.freeStart);
  used = static_cast<uint32_t>(std::clamp<int64_t>(int64_t{used} + moved, 0, static_cast<int64_t>(volume.size())));
  WriteLe32(volume, at, used);
  if (layout.extHeaderFile && (layout.extHeaderFile->header.Attributes & FFS_ATTRIB_CHECKSUM) != 0) {
    const FileEntry& file = *layout.extHeaderFile;
    volume[file.offset + offsetof(EFI_FFS_FILE_HEADER, IntegrityCheck) + 1] = Checksum8(FileData(volume, file));
  }
}

// The volume with the file at index replaced by a rebuilt one at the same
// offset. It may grow into pad files and free space after it, never over
// another file.
Bytes PlaceRebuiltFile(std::span<const uint8_t> volume, const VolumeLayout& layout, size_t index, const Bytes& rebuilt,
                       const std::string& where) {
  const FileEntry& file = layout.files[index];
  const bool polarity = layout.header.ErasePolarity();
  // It may take the pad files after it whose data is erased; a pad file
  // that holds data (some images keep data there) stays where it is.
  size_t limit = volume.size();
  const FileEntry* next = nullptr;
  for (size_t j = index + 1; j < layout.files.size(); ++j) {
    const FileEntry& after = layout.files[j];
    const auto data = FileData(volume, after);
    const bool emptyPad = after.Pad() && std::all_of(data.begin(), data.end(),
                                                     [&](uint8_t b) { return b == layout.header.ErasedByte(); });
    if (!emptyPad) {
      next = &after;
      limit = next->offset;
      break;
    }
  }
  const size_t end = file.offset + rebuilt.size();
  const size_t gapStart = std::min(AlignUp(end, kFfsFileAlignment), volume.size());
  // What lies between the file's new end and the next file must hold a pad
  // file.
  const bool fits =
      end <= limit && (next == nullptr || gapStart == limit || limit - gapStart >= sizeof(EFI_FFS_FILE_HEADER));
  if (!fits) {
    throw PackageError(where + ": grows to " + std::to_string(rebuilt.size()) + " bytes, but only " +
                       std::to_string(limit - file.offset) + " lie between its start and " +
                       (next == nullptr ? std::string("the end of the volume")
                                        : (next->Pad() ? "the pad file holding data at " : "the next file at ") +
                                              FormatHex(next->offset)));
  }
  // Checked as a complete file; written with its own state bits (a file
  // marked for update stays so).
  Bytes ready = rebuilt;
  ready[offsetof(EFI_FFS_FILE_HEADER, State)] = ReadyState(polarity);
  const FileEntry placed = CheckFfsFile(ready);
  if ((file.offset + placed.headerSize) % placed.DataAlignment() != 0) {
    throw PackageError(where + ": its header grows and its data would lose its " +
                       std::to_string(placed.DataAlignment()) + "-byte alignment");
  }

  Bytes out(volume.begin(), volume.end());
  Erase(out, file.offset, limit, layout.header.ErasedByte());
  std::copy(rebuilt.begin(), rebuilt.end(), out.begin() + static_cast<std::ptrdiff_t>(file.offset));
  if (next != nullptr) {
    FillWithPads(out, gapStart, limit, polarity);
  }
  AdjustUsedSize(out, layout, next != nullptr ? layout.freeStart : gapStart);
  return out;
}

struct Input {
  FileEntry entry;
  const Bytes* bytes;
  std::string uiName;
};

// Adds the files to the volume's free space; old files of their names become
// pad files or free space first when replace is set.
Bytes InsertIntoVolume(std::span<const uint8_t> volume, const std::vector<Input>& inputs, bool replace,
                       InsertResult& result) {
  const VolumeLayout layout = ReadVolume(volume);
  const VolumeHeader& header = layout.header;
  const bool polarity = header.ErasePolarity();
  const uint8_t erased = header.ErasedByte();

  std::vector<const FileEntry*> replaced;
  for (const Input& input : inputs) {
    const std::string what = FormatGuid(input.entry.header.Name);
    if (input.entry.headerSize == sizeof(EFI_FFS_FILE_HEADER2) && !header.Ffs3()) {
      throw PackageError(what + " is a large file, which only FFSv3 volumes hold; the DXE volume is FFSv2");
    }
    if (input.entry.DataAlignment() > header.Alignment()) {
      throw PackageError(what + " asks for " + std::to_string(input.entry.DataAlignment()) +
                         "-byte alignment of its data; the DXE volume guarantees " +
                         std::to_string(header.Alignment()));
    }
    for (const FileEntry& file : layout.files) {
      if (!file.Live() || file.Pad() || !SameGuid(file.header.Name, input.entry.header.Name)) {
        continue;
      }
      if (!replace) {
        const std::optional<std::string> name = UserInterfaceName(volume, file);
        throw PackageError("file " + what + (name ? " \"" + *name + "\"" : std::string()) +
                           " is already in the DXE volume at " + FormatHex(file.offset) + "; --replace replaces it");
      }
      replaced.push_back(&file);
    }
  }

  Bytes out(volume.begin(), volume.end());
  // From the last file back, so that replaced files at the end all return to
  // the free space.
  std::sort(replaced.begin(), replaced.end(),
            [](const FileEntry* a, const FileEntry* b) { return a->offset > b->offset; });
  size_t freeStart = layout.freeStart;
  for (const FileEntry* file : replaced) {
    if (AlignUp(file->End(), kFfsFileAlignment) >= freeStart) {
      Erase(out, file->offset, freeStart, erased);
      freeStart = file->offset;
    } else if (file->size <= kFfsMaxFileSize) {
      const Bytes pad = MakePadFile(file->size, polarity);
      std::copy(pad.begin(), pad.end(), out.begin() + static_cast<std::ptrdiff_t>(file->offset));
    } else {
      FillWithPads(out, file->offset, file->End(), polarity);
    }
  }

  size_t cursor = freeStart;
  for (const Input& input : inputs) {
    const size_t alignment = static_cast<size_t>(input.entry.DataAlignment());
    size_t at = AlignUp(cursor + input.entry.headerSize, alignment) - input.entry.headerSize;
    if (at > cursor && at - cursor < sizeof(EFI_FFS_FILE_HEADER)) {
      at += alignment;  // room for the pad file in front
    }
    if (at > out.size() || out.size() - at < input.entry.size) {
      throw PackageError("not enough free space in the DXE volume for " + FormatGuid(input.entry.header.Name) +
                         ": it needs " + std::to_string(at - cursor + input.entry.size) + " bytes, " +
                         std::to_string(out.size() - std::min(cursor, out.size())) + " are free");
    }
    FillWithPads(out, cursor, at, polarity);
    std::copy(input.bytes->begin(), input.bytes->end(), out.begin() + static_cast<std::ptrdiff_t>(at));
    out[at + offsetof(EFI_FFS_FILE_HEADER, State)] = ReadyState(polarity);
    const bool wasThere = std::any_of(replaced.begin(), replaced.end(), [&](const FileEntry* file) {
      return SameGuid(file->header.Name, input.entry.header.Name);
    });
    result.files.push_back(
        {input.entry.header.Name, input.entry.header.Type, input.uiName, at, input.entry.size, at - cursor, wasThere});
    cursor = std::min(AlignUp(at + input.entry.size, kFfsFileAlignment), out.size());
  }
  AdjustUsedSize(out, layout, cursor);
  result.ffs3 = header.Ffs3();
  result.volumeSize = header.length;
  result.freeBefore = volume.size() - layout.freeStart;
  result.freeAfter = out.size() - cursor;
  return out;
}

// Rebuilds the containers along a path of the tree around the edited
// volume, from the innermost out. Every volume keeps its size; a section
// that changes its size must be the last of its stream.
class Rebuilder {
 public:
  using Edit = std::function<Bytes(std::span<const uint8_t>)>;
  Rebuilder(const Path& path, Edit edit, InsertResult& result) : path_(path), edit_(std::move(edit)), result_(result) {}

  Bytes Image() {
    const Node& root = *path_.front();
    const Node& volume = *path_[1];
    const Bytes rebuilt = Item(1);
    Bytes out(root.bytes.begin(), root.bytes.end());
    std::copy(rebuilt.begin(), rebuilt.end(), out.begin() + static_cast<std::ptrdiff_t>(volume.offset));
    return out;
  }

 private:
  // The new bytes of the item at step of the path.
  Bytes Item(size_t step) {
    const Node& node = *path_[step];
    if (step + 1 == path_.size()) {
      return edit_(node.bytes);
    }
    const Node& child = *path_[step + 1];
    const Bytes inner = Item(step + 1);
    switch (node.kind) {
      case NodeKind::kVolume: {
        const auto index =
            static_cast<size_t>(std::find_if(node.layout.files.begin(), node.layout.files.end(),
                                             [&](const FileEntry& f) { return f.offset == child.offset; }) -
                                node.layout.files.begin());
        return PlaceRebuiltFile(node.bytes, node.layout, index, inner, child.where);
      }
      case NodeKind::kFile: {
        const Bytes data = Replace(node.bytes.subspan(node.file.headerSize), child, inner);
        return In(node.where, [&] { return AssembleFile(node.file.header, data, Ffs3(step)); });
      }
      case NodeKind::kSection:
        if (!node.guided) {
          // A volume-image section: the volume keeps its size.
          Bytes out(node.bytes.begin(), node.bytes.end());
          std::copy(inner.begin(), inner.end(), out.begin() + static_cast<std::ptrdiff_t>(child.offset));
          return out;
        }
        return Repack(node, Replace(node.unpacked, child, inner));
      case NodeKind::kImage:
        break;
    }
    throw PackageError("the image cannot be rebuilt around " + node.where);
  }

  // Whether the volume holding the file at step is FFSv3.
  bool Ffs3(size_t step) const { return path_[step - 1]->layout.header.Ffs3(); }

  // The stream with the section of child replaced by section.
  static Bytes Replace(std::span<const uint8_t> stream, const Node& child, const Bytes& section) {
    Bytes out(stream.begin(), stream.end());
    if (section.size() == child.section.size) {
      std::copy(section.begin(), section.end(), out.begin() + static_cast<std::ptrdiff_t>(child.offset));
      return out;
    }
    if (!child.lastInStream) {
      throw PackageError("the compressed section at " + FormatHex(child.offset) +
                         " changes its size and other sections follow it in its file");
    }
    out.resize(child.offset);
    out.insert(out.end(), section.begin(), section.end());
    return out;
  }

  // Packs the stream with the section's own properties and dictionary (no
  // larger than the data needs).
  Bytes Repack(const Node& node, const Bytes& stream) {
    const auto packed = node.bytes.subspan(node.guided->dataOffset);
    const LzmaHeader lzma = ReadLzmaHeader(packed);
    const uint64_t needed = std::bit_ceil(std::max<uint64_t>(stream.size(), 1));
    const auto dictionary = static_cast<uint32_t>(std::min<uint64_t>({lzma.dictionarySize, needed, kMaxDictionary}));
    const Bytes repacked = LzmaCompress(stream, lzma.properties, dictionary);
    result_.recompressed.push_back({packed.size(), repacked.size(), stream.size()});
    return MakeGuidDefinedSection(
        node.guided->guid, node.guided->attributes,
        node.bytes.subspan(node.guided->fieldsEnd, node.guided->dataOffset - node.guided->fieldsEnd), repacked);
  }

  const Path& path_;
  Edit edit_;
  InsertResult& result_;
};

std::vector<Input> CheckInputs(std::span<const Bytes> files) {
  std::vector<Input> inputs;
  for (size_t i = 0; i < files.size(); ++i) {
    const std::string which = "file " + std::to_string(i + 1);
    Input input{In(which, [&] { return CheckFfsFile(files[i]); }), &files[i], {}};
    input.uiName = UserInterfaceName(files[i], input.entry).value_or("");
    for (const Input& earlier : inputs) {
      if (SameGuid(earlier.entry.header.Name, input.entry.header.Name)) {
        throw PackageError(which + ": " + FormatGuid(input.entry.header.Name) + " is given twice");
      }
    }
    inputs.push_back(std::move(input));
  }
  return inputs;
}

// The new image must read back, with the same parser and limits, showing
// each file byte for byte where it was put.
void ReadBack(std::span<const uint8_t> image, const InsertResult& result, const std::vector<Input>& inputs,
              const InsertLimits& limits) {
  Parser parser(limits);
  const std::unique_ptr<Node> root = parser.Image(image);
  std::string why;
  const Node& chosen = *ChooseDxeVolume(*root, parser.notLookedInto, why).back();
  for (size_t i = 0; i < inputs.size(); ++i) {
    const InsertedFile& placed = result.files[i];
    const bool found = std::any_of(chosen.layout.files.begin(), chosen.layout.files.end(), [&](const FileEntry& file) {
      return file.offset == placed.offset && file.size == placed.size && file.Live() &&
             SameGuid(file.header.Name, placed.name) &&
             std::equal(chosen.bytes.begin() + static_cast<std::ptrdiff_t>(file.offset + file.headerSize),
                        chosen.bytes.begin() + static_cast<std::ptrdiff_t>(file.End()),
                        inputs[i].bytes->begin() + static_cast<std::ptrdiff_t>(file.headerSize));
    });
    if (!found) {
      throw PackageError("the rebuilt image does not read back with " + FormatGuid(placed.name) + " in it");
    }
  }
}

}  // namespace

InsertResult InsertFiles(std::span<const uint8_t> image, std::span<const Bytes> files, const InsertOptions& options) {
  if (files.empty()) {
    throw PackageError("no files to insert");
  }
  const std::vector<Input> inputs = CheckInputs(files);

  InsertResult result{};
  {
    Parser parser(options.limits);
    const std::unique_ptr<Node> root = parser.Image(image);
    std::string why;
    const Path target = ChooseDxeVolume(*root, parser.notLookedInto, why);
    result.volume = target.back()->where + " (" + why + ")";
    Rebuilder rebuilder(
        target,
        [&](std::span<const uint8_t> volume) { return InsertIntoVolume(volume, inputs, options.replace, result); },
        result);
    result.image = In(target.back()->where, [&] { return rebuilder.Image(); });
  }
  ReadBack(result.image, result, inputs, options.limits);
  return result;
}

}  // namespace ftpm::tools::ffs
