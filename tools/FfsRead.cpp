// Reading volumes, firmware files and sections of untrusted images: every
// length checked against its container and every checksum against its bytes.
#include "tools/Ffs.h"

#include <algorithm>
#include <array>

#include "platform/Guids.h"
#include "tools/FfsBytes.h"

namespace ftpm::tools::ffs {
namespace {

constexpr EFI_GUID kPadFileName = MakeGuid("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF");

bool Erased(std::span<const uint8_t> bytes, uint8_t erased) {
  return std::all_of(bytes.begin(), bytes.end(), [erased](uint8_t b) { return b == erased; });
}

// A file on its own (a .ffs) is at offset 0 and named without it.
std::string FileWhere(const EFI_GUID& name, size_t offset, bool inVolume = true) {
  return "file " + FormatGuid(name) + (inVolume ? " at " + FormatHex(offset) : std::string());
}

// The header of the file at offset, its size and header checksum; the state
// as for polarity 0.
FileEntry ReadFileHeader(std::span<const uint8_t> bytes, size_t offset, bool erasePolarity, bool allowLarge,
                         bool inVolume = true) {
  const size_t remaining = bytes.size() - offset;
  if (remaining < sizeof(EFI_FFS_FILE_HEADER)) {
    throw PackageError("file header at " + FormatHex(offset) + " cut off after " + std::to_string(remaining) +
                       " bytes");
  }
  FileEntry entry{};
  entry.offset = offset;
  entry.header = ReadStruct<EFI_FFS_FILE_HEADER>(bytes, offset);
  const std::string where = FileWhere(entry.header.Name, offset, inVolume);
  entry.headerSize = sizeof(EFI_FFS_FILE_HEADER);
  entry.size = GetSize24(entry.header.Size);
  if ((entry.header.Attributes & FFS_ATTRIB_LARGE_FILE) != 0) {
    if (!allowLarge) {
      throw PackageError(where + ": a large file, which only FFSv3 volumes hold");
    }
    if (remaining < sizeof(EFI_FFS_FILE_HEADER2)) {
      throw PackageError(where + ": large-file header cut off");
    }
    entry.headerSize = sizeof(EFI_FFS_FILE_HEADER2);
    const uint64_t extended = ReadLe64(bytes, offset + offsetof(EFI_FFS_FILE_HEADER2, ExtendedSize));
    entry.size = extended > remaining ? SIZE_MAX : static_cast<size_t>(extended);
  }
  if (entry.size < entry.headerSize) {
    throw PackageError(where + ": size " + std::to_string(entry.size) + " is smaller than its header");
  }
  if (entry.size > remaining) {
    throw PackageError(where + ": its size of " + std::to_string(entry.size) + " bytes runs past the end of its " +
                       (inVolume ? "volume (" + std::to_string(remaining) + " bytes left)"
                                 : "file (" + std::to_string(remaining) + " bytes)"));
  }
  entry.state = erasePolarity ? static_cast<uint8_t>(~entry.header.State) : entry.header.State;
  if ((entry.state & EFI_FILE_HEADER_VALID) == 0 || (entry.state & EFI_FILE_HEADER_INVALID) != 0) {
    throw PackageError(where + ": header not valid (state " + FormatHex(entry.header.State) + ")");
  }
  Bytes header(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(offset + entry.headerSize));
  header[offsetof(EFI_FFS_FILE_HEADER, IntegrityCheck) + 1] = 0;
  header[offsetof(EFI_FFS_FILE_HEADER, State)] = 0;
  if (Checksum8(header) != 0) {
    throw PackageError(where + ": header checksum is wrong");
  }
  return entry;
}

void CheckFileData(std::span<const uint8_t> bytes, const FileEntry& entry, bool inVolume = true) {
  const uint8_t stored = entry.header.IntegrityCheck.Checksum.File;
  const std::string where = FileWhere(entry.header.Name, entry.offset, inVolume);
  if ((entry.header.Attributes & FFS_ATTRIB_CHECKSUM) != 0) {
    if (Checksum8(bytes.subspan(entry.offset + entry.headerSize, entry.size - entry.headerSize)) != stored) {
      throw PackageError(where + ": data checksum is wrong");
    }
  } else if (stored != FFS_FIXED_CHECKSUM) {
    throw PackageError(where + ": file checksum is " + FormatHex(stored) + " without the checksum attribute, not " +
                       FormatHex(FFS_FIXED_CHECKSUM));
  }
}

// Types whose data is a section stream.
bool HasSections(EFI_FV_FILETYPE type) {
  return type >= EFI_FV_FILETYPE_FREEFORM && type <= EFI_FV_FILETYPE_MM_CORE_STANDALONE;
}

struct FileTypeText {
  EFI_FV_FILETYPE type;
  const char* text;
};
constexpr std::array kFileTypeTexts{
    FileTypeText{EFI_FV_FILETYPE_RAW, "raw file"},
    FileTypeText{EFI_FV_FILETYPE_FREEFORM, "freeform file"},
    FileTypeText{EFI_FV_FILETYPE_SECURITY_CORE, "SEC core"},
    FileTypeText{EFI_FV_FILETYPE_PEI_CORE, "PEI core"},
    FileTypeText{EFI_FV_FILETYPE_DXE_CORE, "DXE core"},
    FileTypeText{EFI_FV_FILETYPE_PEIM, "PEIM"},
    FileTypeText{EFI_FV_FILETYPE_DRIVER, "DXE driver"},
    FileTypeText{EFI_FV_FILETYPE_COMBINED_PEIM_DRIVER, "combined PEIM and DXE driver"},
    FileTypeText{EFI_FV_FILETYPE_APPLICATION, "application"},
    FileTypeText{EFI_FV_FILETYPE_MM, "MM module"},
    FileTypeText{EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE, "volume image"},
    FileTypeText{EFI_FV_FILETYPE_COMBINED_MM_DXE, "combined MM and DXE driver"},
    FileTypeText{EFI_FV_FILETYPE_MM_CORE, "MM core"},
    FileTypeText{EFI_FV_FILETYPE_MM_STANDALONE, "standalone MM module"},
    FileTypeText{EFI_FV_FILETYPE_MM_CORE_STANDALONE, "standalone MM core"},
    FileTypeText{EFI_FV_FILETYPE_PAD, "pad file"},
};

}  // namespace

bool VolumeHeader::HoldsFiles() const {
  return SameGuid(fileSystem, gEfiFirmwareFileSystem2Guid) || SameGuid(fileSystem, gEfiFirmwareFileSystem3Guid);
}

bool VolumeHeader::Ffs3() const { return SameGuid(fileSystem, gEfiFirmwareFileSystem3Guid); }

uint64_t VolumeHeader::Alignment() const {
  if ((attributes & EFI_FVB2_WEAK_ALIGNMENT) != 0) {
    return kFfsFileAlignment;
  }
  const uint64_t alignment = uint64_t{1} << ((attributes & EFI_FVB2_ALIGNMENT) >> 16);
  return std::max<uint64_t>(alignment, kFfsFileAlignment);
}

VolumeHeader ReadVolumeHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < sizeof(EFI_FIRMWARE_VOLUME_HEADER)) {
    throw PackageError("volume header cut off after " + std::to_string(bytes.size()) + " bytes");
  }
  const auto raw = ReadStruct<EFI_FIRMWARE_VOLUME_HEADER>(bytes, 0);
  if (raw.Signature != EFI_FVH_SIGNATURE) {
    throw PackageError("no volume signature");
  }
  if (raw.Revision != EFI_FVH_REVISION) {
    throw PackageError("volume header revision " + std::to_string(raw.Revision) + ", not 2");
  }
  constexpr size_t kSmallestHeader = sizeof(EFI_FIRMWARE_VOLUME_HEADER) + sizeof(EFI_FV_BLOCK_MAP_ENTRY);
  if (raw.HeaderLength < kSmallestHeader || raw.HeaderLength % 2 != 0 || raw.HeaderLength > raw.FvLength) {
    throw PackageError("volume header length " + std::to_string(raw.HeaderLength) + " does not fit");
  }
  if (raw.FvLength > bytes.size()) {
    throw PackageError("volume of " + std::to_string(raw.FvLength) + " bytes runs past the end of its container (" +
                       std::to_string(bytes.size()) + " bytes)");
  }
  if (Checksum16(bytes.first(raw.HeaderLength)) != 0) {
    throw PackageError("volume header checksum is wrong");
  }

  // The block map: entries up to a {0, 0} terminator inside the header,
  // adding up to the volume's length.
  uint64_t mapped = 0;
  bool terminated = false;
  for (size_t at = offsetof(EFI_FIRMWARE_VOLUME_HEADER, BlockMap);
       at + sizeof(EFI_FV_BLOCK_MAP_ENTRY) <= raw.HeaderLength; at += sizeof(EFI_FV_BLOCK_MAP_ENTRY)) {
    const auto entry = ReadStruct<EFI_FV_BLOCK_MAP_ENTRY>(bytes, at);
    if (entry.NumBlocks == 0 && entry.Length == 0) {
      terminated = true;
      break;
    }
    mapped += static_cast<uint64_t>(entry.NumBlocks) * entry.Length;
  }
  if (!terminated || mapped != raw.FvLength) {
    throw PackageError("volume block map does not add up to its length of " + std::to_string(raw.FvLength) + " bytes");
  }

  VolumeHeader header{};
  header.length = raw.FvLength;
  header.attributes = raw.Attributes;
  header.fileSystem = raw.FileSystemGuid;
  header.headerLength = raw.HeaderLength;
  header.filesStart = AlignUp(raw.HeaderLength, kFfsFileAlignment);
  if (raw.ExtHeaderOffset != 0) {
    const size_t ext = raw.ExtHeaderOffset;
    if (ext < raw.HeaderLength || ext + sizeof(EFI_FIRMWARE_VOLUME_EXT_HEADER) > raw.FvLength) {
      throw PackageError("volume extended header at " + FormatHex(ext) + " lies outside the volume");
    }
    const auto extHeader = ReadStruct<EFI_FIRMWARE_VOLUME_EXT_HEADER>(bytes, ext);
    if (extHeader.ExtHeaderSize < sizeof(EFI_FIRMWARE_VOLUME_EXT_HEADER) ||
        extHeader.ExtHeaderSize > raw.FvLength - ext) {
      throw PackageError("volume extended header size " + std::to_string(extHeader.ExtHeaderSize) + " does not fit");
    }
    header.extHeaderOffset = ext;
    header.name = extHeader.FvName;
    const size_t end = ext + extHeader.ExtHeaderSize;
    for (size_t at = ext + sizeof(EFI_FIRMWARE_VOLUME_EXT_HEADER); at < end;) {
      if (end - at < sizeof(EFI_FIRMWARE_VOLUME_EXT_ENTRY)) {
        throw PackageError("volume extended header entry cut off");
      }
      const auto entry = ReadStruct<EFI_FIRMWARE_VOLUME_EXT_ENTRY>(bytes, at);
      if (entry.ExtEntrySize < sizeof(EFI_FIRMWARE_VOLUME_EXT_ENTRY) || entry.ExtEntrySize > end - at) {
        throw PackageError("volume extended header entry of " + std::to_string(entry.ExtEntrySize) +
                           " bytes does not fit");
      }
      if (entry.ExtEntryType == EFI_FV_EXT_TYPE_USED_SIZE_TYPE &&
          entry.ExtEntrySize >= sizeof(EFI_FIRMWARE_VOLUME_EXT_ENTRY_USED_SIZE_TYPE)) {
        header.usedSizeOffset = at + offsetof(EFI_FIRMWARE_VOLUME_EXT_ENTRY_USED_SIZE_TYPE, UsedSize);
      }
      at += entry.ExtEntrySize;
    }
    header.filesStart = AlignUp(end, kFfsFileAlignment);
  }
  return header;
}

bool FileEntry::Live() const { return (state & EFI_FILE_DATA_VALID) != 0 && (state & EFI_FILE_DELETED) == 0; }

uint64_t FileEntry::DataAlignment() const {
  const size_t index = (header.Attributes & FFS_ATTRIB_DATA_ALIGNMENT) >> 3;
  const uint8_t log2 = (header.Attributes & FFS_ATTRIB_DATA_ALIGNMENT_2) != 0 ? kFfsDataAlignment2Log2[index]
                                                                              : kFfsDataAlignmentLog2[index];
  return std::max<uint64_t>(uint64_t{1} << log2, kFfsFileAlignment);
}

VolumeLayout ReadVolume(std::span<const uint8_t> bytes, size_t maxFiles) {
  VolumeLayout layout{};
  layout.header = ReadVolumeHeader(bytes);
  const VolumeHeader& header = layout.header;
  if (!header.HoldsFiles()) {
    throw PackageError("volume of file system " + FormatGuid(header.fileSystem) + " holds no firmware files");
  }
  const std::span<const uint8_t> volume = bytes.first(static_cast<size_t>(header.length));
  const uint8_t erased = header.ErasedByte();
  const size_t first = AlignUp(header.headerLength, kFfsFileAlignment);
  if (header.extHeaderOffset >= first + sizeof(EFI_FFS_FILE_HEADER)) {
    const FileEntry holder = ReadFileHeader(volume, first, header.ErasePolarity(), header.Ffs3());
    if (holder.End() < header.filesStart - kFfsFileAlignment || holder.End() > header.filesStart) {
      throw PackageError("the file at " + FormatHex(first) + " does not hold the extended header");
    }
    if (holder.Live()) {
      CheckFileData(volume, holder);
    }
    layout.extHeaderFile = holder;
  }
  size_t offset = header.filesStart;
  while (offset < volume.size()) {
    const bool headerFits = volume.size() - offset >= sizeof(EFI_FFS_FILE_HEADER);
    if (!headerFits || Erased(volume.subspan(offset, sizeof(EFI_FFS_FILE_HEADER)), erased)) {
      break;
    }
    if (layout.files.size() == maxFiles) {
      throw PackageError("volume holds more than " + std::to_string(maxFiles) + " files");
    }
    const FileEntry entry = ReadFileHeader(volume, offset, header.ErasePolarity(), header.Ffs3());
    if (entry.Live()) {
      CheckFileData(volume, entry);
    }
    layout.files.push_back(entry);
    offset = AlignUp(entry.End(), kFfsFileAlignment);
  }
  layout.freeStart = std::min(offset, volume.size());
  const auto rest = volume.subspan(layout.freeStart);
  const auto written = std::find_if(rest.begin(), rest.end(), [erased](uint8_t b) { return b != erased; });
  if (written != rest.end()) {
    throw PackageError("volume holds data at " +
                       FormatHex(layout.freeStart + static_cast<size_t>(written - rest.begin())) +
                       " after its free space begins at " + FormatHex(layout.freeStart));
  }
  return layout;
}

FileEntry CheckFfsFile(std::span<const uint8_t> file) {
  if (file.size() < sizeof(EFI_FFS_FILE_HEADER)) {
    throw PackageError("shorter than a file header");
  }
  // A file made for either erase polarity.
  const uint8_t state = file[offsetof(EFI_FFS_FILE_HEADER, State)];
  if (state != ReadyState(false) && state != ReadyState(true)) {
    throw PackageError("state " + FormatHex(state) + " is not that of a complete file (" +
                       FormatHex(ReadyState(false)) + " or " + FormatHex(ReadyState(true)) + ")");
  }
  const FileEntry entry = ReadFileHeader(file, 0, state == ReadyState(true), true, false);
  const EFI_FFS_FILE_HEADER& header = entry.header;
  if (entry.size != file.size()) {
    throw PackageError("its header gives " + std::to_string(entry.size) + " bytes, the file has " +
                       std::to_string(file.size()));
  }
  if (header.Type == 0 || header.Type >= EFI_FV_FILETYPE_FFS_MIN) {
    throw PackageError(
        std::string(header.Type == EFI_FV_FILETYPE_PAD ? "a pad file" : "file type " + FormatHex(header.Type)) +
        " is not something to insert");
  }
  if (SameGuid(header.Name, kPadFileName)) {
    throw PackageError("the name FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF belongs to pad files");
  }
  CheckFileData(file, entry, false);
  if (HasSections(header.Type)) {
    ReadSections(file.subspan(entry.headerSize));
  }
  return entry;
}

std::vector<SectionEntry> ReadSections(std::span<const uint8_t> stream, size_t maxSections) {
  std::vector<SectionEntry> sections;
  size_t offset = 0;
  while (stream.size() - offset >= kSectionAlignment) {
    SectionEntry entry{};
    entry.offset = offset;
    entry.headerSize = sizeof(EFI_COMMON_SECTION_HEADER);
    const auto common = ReadStruct<EFI_COMMON_SECTION_HEADER>(stream, offset);
    entry.size = GetSize24(common.Size);
    entry.type = common.Type;
    if (entry.size == kFfsMaxFileSize) {
      if (stream.size() - offset < sizeof(EFI_COMMON_SECTION_HEADER2)) {
        throw PackageError("large section header at " + FormatHex(offset) + " cut off");
      }
      entry.headerSize = sizeof(EFI_COMMON_SECTION_HEADER2);
      entry.size = ReadLe32(stream, offset + offsetof(EFI_COMMON_SECTION_HEADER2, ExtendedSize));
    }
    if (entry.size < entry.headerSize || entry.size > stream.size() - offset) {
      throw PackageError("section at " + FormatHex(offset) + " of " + std::to_string(entry.size) +
                         " bytes does not fit between its header and the end of its container (" +
                         std::to_string(stream.size() - offset) + " bytes left)");
    }
    if (sections.size() == maxSections) {
      throw PackageError("more than " + std::to_string(maxSections) + " sections");
    }
    sections.push_back(entry);
    offset = AlignUp(entry.End(), kSectionAlignment);
    if (offset >= stream.size()) {
      return sections;
    }
  }
  return sections;
}

GuidDefinedSection ReadGuidDefinedSection(std::span<const uint8_t> section, const SectionEntry& entry) {
  const size_t fieldsEnd = entry.headerSize + sizeof(EFI_GUID_DEFINED_SECTION_FIELDS);
  if (entry.size < fieldsEnd) {
    throw PackageError("GUID-defined section at " + FormatHex(entry.offset) + " shorter than its header");
  }
  const auto fields = ReadStruct<EFI_GUID_DEFINED_SECTION_FIELDS>(section, entry.headerSize);
  if (fields.DataOffset < fieldsEnd || fields.DataOffset > entry.size) {
    throw PackageError("GUID-defined section at " + FormatHex(entry.offset) + ": data offset " +
                       std::to_string(fields.DataOffset) + " outside the section");
  }
  return {fields.SectionDefinitionGuid, fields.DataOffset, fields.Attributes, fieldsEnd};
}

std::optional<std::string> UserInterfaceName(std::span<const uint8_t> file, const FileEntry& entry) {
  if (!HasSections(entry.header.Type)) {
    return std::nullopt;
  }
  const auto data = file.subspan(entry.offset + entry.headerSize, entry.size - entry.headerSize);
  for (const SectionEntry& section : ReadSections(data)) {
    if (section.type != EFI_SECTION_USER_INTERFACE) {
      continue;
    }
    std::string text;
    for (size_t at = section.offset + section.headerSize; at + 1 < section.End(); at += 2) {
      const uint16_t c = ReadLe16(data, at);
      if (c == 0) {
        break;
      }
      text.push_back(c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '?');
    }
    return text;
  }
  return std::nullopt;
}

std::string FileTypeName(EFI_FV_FILETYPE type) {
  for (const FileTypeText& known : kFileTypeTexts) {
    if (known.type == type) {
      return known.text;
    }
  }
  return "file of type " + FormatHex(type);
}

}  // namespace ftpm::tools::ffs
