#include "tools/FirmwareInsert.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>

#include "platform/Guids.h"
#include "tools/Lzma.h"

namespace ftpm::tools::ffs {
namespace {

// Bounds on what a hostile image can make the tool unpack.
constexpr size_t kMaxEncapsulation = 8;
constexpr uint64_t kMaxUnpackedSize = uint64_t{256} << 20;
constexpr uint64_t kMaxUnpackedTotal = uint64_t{1} << 30;
// The largest dictionary the encoder is given (its memory is about ten times
// this).
constexpr uint32_t kMaxDictionary = uint32_t{64} << 20;
// The largest pad file of a chain that fills a gap, a multiple of 8.
constexpr size_t kMaxPadChunk = kFfsMaxFileSize & ~(kFfsFileAlignment - 1);

uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset) {
  uint32_t value = 0;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

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

// The way from the image to a volume: a volume at an offset of the image,
// then files at offsets of volumes and sections at offsets of section streams.
// A volume-image section leads to the volume it holds, an LZMA section to the
// stream it unpacks to.
enum class StepKind { kVolume, kFile, kSection };
struct Step {
  StepKind kind;
  size_t offset;
};
using Path = std::vector<Step>;

Path With(Path path, StepKind kind, size_t offset) {
  path.push_back({kind, offset});
  return path;
}

struct Candidate {
  Path path;
  std::string where;
  bool dxeCore = false;
  size_t drivers = 0;
  Bytes volume;
};

// Finds the volumes that hold the DXE core or DXE drivers, reading every
// volume, volume-image file and LZMA section on the way.
class Finder {
 public:
  void Image(std::span<const uint8_t> image) {
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
      if (header.HoldsFiles()) {
        Volume(bytes.first(static_cast<size_t>(header.length)), {{StepKind::kVolume, offset}},
               VolumeName(header) + " at " + FormatHex(offset) + " of the image", 0);
      }
      offset += AlignUp(static_cast<size_t>(header.length), kFfsFileAlignment);
    }
  }

  std::vector<Candidate> candidates;
  size_t notLookedInto = 0;  // sections of other encodings

 private:
  void Volume(std::span<const uint8_t> volume, const Path& path, const std::string& where, size_t depth) {
    const VolumeLayout layout = In(where, [&] { return ReadVolume(volume); });
    Candidate candidate{path, where, false, 0, {}};
    for (const FileEntry& file : layout.files) {
      if (!file.Live()) {
        continue;
      }
      candidate.dxeCore |= file.header.Type == EFI_FV_FILETYPE_DXE_CORE;
      candidate.drivers += file.header.Type == EFI_FV_FILETYPE_DRIVER ? 1 : 0;
      if (file.header.Type == EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE) {
        Stream(FileData(volume, file), With(path, StepKind::kFile, file.offset),
               "file " + FormatGuid(file.header.Name) + " in " + where, depth);
      }
    }
    if (candidate.dxeCore || candidate.drivers > 0) {
      candidate.volume.assign(volume.begin(), volume.end());
      candidates.push_back(std::move(candidate));
    }
  }

  void Stream(std::span<const uint8_t> stream, const Path& path, const std::string& where, size_t depth) {
    const std::vector<SectionEntry> sections = In(where, [&] { return ReadSections(stream); });
    for (const SectionEntry& entry : sections) {
      const auto section = stream.subspan(entry.offset, entry.size);
      const Path next = With(path, StepKind::kSection, entry.offset);
      if (entry.type == EFI_SECTION_FIRMWARE_VOLUME_IMAGE) {
        const auto body = section.subspan(entry.headerSize);
        const std::string volumeWhere = "volume-image section at " + FormatHex(entry.offset) + " of " + where;
        const VolumeHeader header = In(volumeWhere, [&] { return ReadVolumeHeader(body); });
        if (header.HoldsFiles()) {
          Volume(body.first(static_cast<size_t>(header.length)), next, VolumeName(header) + " in " + where, depth);
        }
      } else if (entry.type == EFI_SECTION_GUID_DEFINED) {
        const GuidDefinedSection guided = In(where, [&] { return ReadGuidDefinedSection(section, entry); });
        if (!SameGuid(guided.guid, gLzmaCustomDecompressGuid)) {
          ++notLookedInto;
          continue;
        }
        const std::string lzmaWhere = "the LZMA section of " + where;
        if (depth >= kMaxEncapsulation) {
          throw PackageError(lzmaWhere + ": compressed sections nested more than " + std::to_string(kMaxEncapsulation) +
                             " deep");
        }
        const Bytes unpacked =
            In(lzmaWhere, [&] { return LzmaDecompress(section.subspan(guided.dataOffset), kMaxUnpackedSize); });
        unpackedTotal_ += unpacked.size();
        if (unpackedTotal_ > kMaxUnpackedTotal) {
          throw PackageError(lzmaWhere + ": the image unpacks to more than " + std::to_string(kMaxUnpackedTotal) +
                             " bytes");
        }
        Stream(unpacked, next, lzmaWhere, depth + 1);
      } else if (entry.type == EFI_SECTION_COMPRESSION) {
        ++notLookedInto;
      }
    }
  }

  uint64_t unpackedTotal_ = 0;
};

const Candidate& ChooseDxeVolume(const Finder& finder, std::string& why) {
  std::vector<const Candidate*> cores;
  std::vector<const Candidate*> drivers;
  for (const Candidate& candidate : finder.candidates) {
    (candidate.dxeCore ? cores : drivers).push_back(&candidate);
  }
  const auto list = [](const std::vector<const Candidate*>& candidates) {
    std::string text;
    for (const Candidate* candidate : candidates) {
      text += (text.empty() ? "" : "; ") + candidate->where;
    }
    return text;
  };
  if (cores.size() == 1) {
    why = "it holds the DXE core";
    return *cores.front();
  }
  if (cores.size() > 1) {
    throw PackageError(std::to_string(cores.size()) + " volumes hold a DXE core: " + list(cores));
  }
  if (drivers.size() == 1) {
    why = "no volume holds the DXE core and it is the one that holds DXE drivers";
    return *drivers.front();
  }
  if (drivers.size() > 1) {
    throw PackageError("no volume holds the DXE core and " + std::to_string(drivers.size()) +
                       " hold DXE drivers: " + list(drivers));
  }
  std::string message = "no DXE volume found: no firmware volume holds the DXE core or a DXE driver";
  if (finder.notLookedInto > 0) {
    message += " (" + std::to_string(finder.notLookedInto) +
               " sections compressed otherwise than with LZMA were not looked into)";
  }
  throw PackageError(message);
}

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
  std::memcpy(volume.data() + at, &used, sizeof used);
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
  size_t limit = volume.size();
  const FileEntry* next = nullptr;
  for (size_t j = index + 1; j < layout.files.size(); ++j) {
    if (!layout.files[j].Pad()) {
      next = &layout.files[j];
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
                       (next ? "the next file at " + FormatHex(next->offset) : std::string("the end of the volume")));
  }
  const FileEntry placed = CheckFfsFile(rebuilt);
  if ((file.offset + placed.headerSize) % placed.DataAlignment() != 0) {
    throw PackageError(where + ": its header grows and its data would lose its " +
                       std::to_string(placed.DataAlignment()) + "-byte alignment");
  }

  Bytes out(volume.begin(), volume.end());
  Erase(out, file.offset, limit, layout.header.ErasedByte());
  std::copy(rebuilt.begin(), rebuilt.end(), out.begin() + static_cast<std::ptrdiff_t>(file.offset));
  out[file.offset + offsetof(EFI_FFS_FILE_HEADER, State)] = ReadyState(polarity);
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

// Rebuilds the containers along a path around the edited volume.
class Rebuilder {
 public:
  using Edit = std::function<Bytes(std::span<const uint8_t>)>;
  Rebuilder(const Path& path, Edit edit, InsertResult& result) : path_(path), edit_(std::move(edit)), result_(result) {}

  Bytes Image(std::span<const uint8_t> image) {
    const size_t offset = path_.front().offset;
    const VolumeHeader header = ReadVolumeHeader(image.subspan(offset));
    const Bytes volume = Volume(image.subspan(offset, static_cast<size_t>(header.length)), 1);
    Bytes out(image.begin(), image.end());
    std::copy(volume.begin(), volume.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
    return out;
  }

 private:
  // Every volume keeps its size.
  Bytes Volume(std::span<const uint8_t> volume, size_t step) {
    if (step == path_.size()) {
      return edit_(volume);
    }
    const VolumeLayout layout = ReadVolume(volume);
    const auto file = std::find_if(layout.files.begin(), layout.files.end(),
                                   [&](const FileEntry& f) { return f.offset == path_[step].offset; });
    if (file == layout.files.end()) {
      throw PackageError("no file at " + FormatHex(path_[step].offset) + " on the second reading");
    }
    const std::string where = "file " + FormatGuid(file->header.Name) + " at " + FormatHex(file->offset);
    const Bytes data = Stream(FileData(volume, *file), step + 1);
    const Bytes rebuilt = In(where, [&] { return AssembleFile(file->header, data, layout.header.Ffs3()); });
    return PlaceRebuiltFile(volume, layout, static_cast<size_t>(file - layout.files.begin()), rebuilt, where);
  }

  // A section that changes its size must be the stream's last.
  Bytes Stream(std::span<const uint8_t> stream, size_t step) {
    const std::vector<SectionEntry> sections = ReadSections(stream);
    const auto entry = std::find_if(sections.begin(), sections.end(),
                                    [&](const SectionEntry& s) { return s.offset == path_[step].offset; });
    if (entry == sections.end()) {
      throw PackageError("no section at " + FormatHex(path_[step].offset) + " on the second reading");
    }
    const Bytes section = Section(stream.subspan(entry->offset, entry->size), *entry, step + 1);
    Bytes out(stream.begin(), stream.end());
    if (section.size() == entry->size) {
      std::copy(section.begin(), section.end(), out.begin() + static_cast<std::ptrdiff_t>(entry->offset));
      return out;
    }
    if (entry + 1 != sections.end()) {
      throw PackageError("the compressed section at " + FormatHex(entry->offset) +
                         " changes its size and other sections follow it in its file");
    }
    out.resize(entry->offset);
    out.insert(out.end(), section.begin(), section.end());
    return out;
  }

  Bytes Section(std::span<const uint8_t> section, const SectionEntry& entry, size_t step) {
    Bytes out(section.begin(), section.end());
    if (entry.type == EFI_SECTION_FIRMWARE_VOLUME_IMAGE) {
      const auto body = section.subspan(entry.headerSize);
      const VolumeHeader header = ReadVolumeHeader(body);
      const Bytes volume = Volume(body.first(static_cast<size_t>(header.length)), step);
      std::copy(volume.begin(), volume.end(), out.begin() + static_cast<std::ptrdiff_t>(entry.headerSize));
      return out;
    }
    // An LZMA section: unpack, rebuild the stream inside, pack with the
    // stream's own properties and dictionary (no larger than the data needs).
    const GuidDefinedSection guided = ReadGuidDefinedSection(section, entry);
    const auto packed = section.subspan(guided.dataOffset);
    const LzmaHeader lzma = ReadLzmaHeader(packed);
    const Bytes stream = Stream(LzmaDecompress(packed, kMaxUnpackedSize), step);
    const uint64_t needed = std::bit_ceil(std::max<uint64_t>(stream.size(), 1));
    const auto dictionary = static_cast<uint32_t>(std::min<uint64_t>({lzma.dictionarySize, needed, kMaxDictionary}));
    const Bytes repacked = LzmaCompress(stream, lzma.properties, dictionary);
    result_.recompressed.push_back({packed.size(), repacked.size(), stream.size()});
    return MakeGuidDefinedSection(guided.guid, guided.attributes,
                                  section.subspan(guided.fieldsEnd, guided.dataOffset - guided.fieldsEnd), repacked);
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

// The new image must show each file, byte for byte, where it was put.
void ReadBack(std::span<const uint8_t> image, const InsertResult& result, const std::vector<Input>& inputs) {
  Finder finder;
  finder.Image(image);
  std::string why;
  const Candidate& chosen = ChooseDxeVolume(finder, why);
  const VolumeLayout layout = ReadVolume(chosen.volume);
  for (size_t i = 0; i < inputs.size(); ++i) {
    const InsertedFile& placed = result.files[i];
    const bool found = std::any_of(layout.files.begin(), layout.files.end(), [&](const FileEntry& file) {
      return file.offset == placed.offset && file.size == placed.size && file.Live() &&
             SameGuid(file.header.Name, placed.name) &&
             std::equal(chosen.volume.begin() + static_cast<std::ptrdiff_t>(file.offset + file.headerSize),
                        chosen.volume.begin() + static_cast<std::ptrdiff_t>(file.End()),
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

  Finder finder;
  finder.Image(image);
  std::string why;
  const Candidate& target = ChooseDxeVolume(finder, why);

  InsertResult result{};
  result.volume = target.where + " (" + why + ")";
  Rebuilder rebuilder(
      target.path,
      [&](std::span<const uint8_t> volume) { return InsertIntoVolume(volume, inputs, options.replace, result); },
      result);
  result.image = In(target.where, [&] { return rebuilder.Image(image); });
  ReadBack(result.image, result, inputs);
  return result;
}

}  // namespace ftpm::tools::ffs
