// Writing sections, firmware files, pad files and volumes.
#include "tools/Ffs.h"

#include <cstring>

#include "platform/Guids.h"
#include "tools/FfsBytes.h"

namespace ftpm::tools::ffs {
Bytes MakeSection(EFI_SECTION_TYPE type, std::span<const uint8_t> body) {
  // A 24-bit size of 0xFFFFFF marks the large form, so a section of that
  // size or more takes the large header with its 32-bit size.
  const bool large = sizeof(EFI_COMMON_SECTION_HEADER) + body.size() >= kFfsMaxFileSize;
  const size_t headerSize = large ? sizeof(EFI_COMMON_SECTION_HEADER2) : sizeof(EFI_COMMON_SECTION_HEADER);
  const size_t size = headerSize + body.size();
  if (size > UINT32_MAX) {
    throw PackageError("section of " + std::to_string(size) + " bytes does not fit a 32-bit size");
  }
  EFI_COMMON_SECTION_HEADER2 header{};
  header.Type = type;
  if (large) {
    PutSize24(header.Size, kFfsMaxFileSize);
    header.ExtendedSize = static_cast<uint32_t>(size);
  } else {
    PutSize24(header.Size, size);
  }
  Bytes section(reinterpret_cast<const uint8_t*>(&header), reinterpret_cast<const uint8_t*>(&header) + headerSize);
  section.reserve(size);
  section.insert(section.end(), body.begin(), body.end());
  return section;
}

Bytes MakeUserInterfaceSection(std::string_view name) {
  if (name.empty()) {
    throw PackageError("empty file name");
  }
  Bytes text;
  for (const char c : name) {
    if (c < 0x20 || c > 0x7E) {
      throw PackageError("file name must be printable ASCII");
    }
    text.push_back(static_cast<uint8_t>(c));
    text.push_back(0);
  }
  text.push_back(0);
  text.push_back(0);
  return MakeSection(EFI_SECTION_USER_INTERFACE, text);
}

Bytes BuildFfsFile(const FileSpec& spec) {
  Bytes data;
  for (const Bytes& section : spec.sections) {
    if (section.size() < sizeof(EFI_COMMON_SECTION_HEADER)) {
      throw PackageError("section shorter than its header");
    }
    PadTo(data, kSectionAlignment, 0x00);
    data.insert(data.end(), section.begin(), section.end());
  }
  const size_t size = sizeof(EFI_FFS_FILE_HEADER) + data.size();
  if (size > kFfsMaxFileSize) {
    throw PackageError("firmware file of " + std::to_string(size) + " bytes does not fit a 24-bit size");
  }
  EFI_FFS_FILE_HEADER fields{};
  fields.Name = spec.name;
  fields.Type = spec.type;
  fields.Attributes = spec.checksumData ? FFS_ATTRIB_CHECKSUM : 0;
  fields.State = kFileStateReady;
  return AssembleFile(fields, data, false);
}

uint8_t ReadyState(bool erasePolarity) {
  constexpr uint8_t kReady = EFI_FILE_HEADER_CONSTRUCTION | EFI_FILE_HEADER_VALID | EFI_FILE_DATA_VALID;
  return erasePolarity ? static_cast<uint8_t>(~kReady) : kReady;
}

Bytes AssembleFile(const EFI_FFS_FILE_HEADER& fields, std::span<const uint8_t> data, bool allowLarge) {
  const bool large = sizeof(EFI_FFS_FILE_HEADER) + data.size() > kFfsMaxFileSize;
  if (large && !allowLarge) {
    throw PackageError("file " + FormatGuid(fields.Name) + " of " +
                       std::to_string(sizeof(EFI_FFS_FILE_HEADER) + data.size()) +
                       " bytes needs a large-file header, which only FFSv3 volumes hold");
  }
  EFI_FFS_FILE_HEADER2 header{};
  header.Common = fields;
  header.Common.IntegrityCheck.Checksum16 = 0;
  header.Common.State = 0;
  size_t headerSize = sizeof(EFI_FFS_FILE_HEADER);
  if (large) {
    headerSize = sizeof(EFI_FFS_FILE_HEADER2);
    header.Common.Attributes |= FFS_ATTRIB_LARGE_FILE;
    PutSize24(header.Common.Size, 0);
    header.ExtendedSize = headerSize + data.size();
  } else {
    header.Common.Attributes &= static_cast<uint8_t>(~FFS_ATTRIB_LARGE_FILE);
    PutSize24(header.Common.Size, headerSize + data.size());
  }
  // The header checksum covers the header with State and the file checksum
  // taken as zero, which they are at this point.
  header.Common.IntegrityCheck.Checksum.Header = Checksum8({reinterpret_cast<const uint8_t*>(&header), headerSize});
  header.Common.IntegrityCheck.Checksum.File =
      (fields.Attributes & FFS_ATTRIB_CHECKSUM) != 0 ? Checksum8(data) : FFS_FIXED_CHECKSUM;
  header.Common.State = fields.State;

  Bytes file(reinterpret_cast<const uint8_t*>(&header), reinterpret_cast<const uint8_t*>(&header) + headerSize);
  file.insert(file.end(), data.begin(), data.end());
  return file;
}

Bytes MakePadFile(size_t size, bool erasePolarity) {
  if (size < sizeof(EFI_FFS_FILE_HEADER) || size > kFfsMaxFileSize) {
    throw PackageError("pad file of " + std::to_string(size) + " bytes");
  }
  EFI_FFS_FILE_HEADER fields{};
  std::memset(&fields.Name, 0xFF, sizeof fields.Name);
  fields.Type = EFI_FV_FILETYPE_PAD;
  fields.Attributes = 0;
  fields.State = ReadyState(erasePolarity);
  const Bytes data(size - sizeof(EFI_FFS_FILE_HEADER), erasePolarity ? 0xFF : 0x00);
  return AssembleFile(fields, data, false);
}

Bytes MakeGuidDefinedSection(const EFI_GUID& guid, uint16_t attributes, std::span<const uint8_t> headerData,
                             std::span<const uint8_t> data) {
  const size_t tail = sizeof(EFI_GUID_DEFINED_SECTION_FIELDS) + headerData.size() + data.size();
  const bool large = sizeof(EFI_COMMON_SECTION_HEADER) + tail >= kFfsMaxFileSize;
  const size_t headerSize = large ? sizeof(EFI_COMMON_SECTION_HEADER2) : sizeof(EFI_COMMON_SECTION_HEADER);
  const size_t dataOffset = headerSize + sizeof(EFI_GUID_DEFINED_SECTION_FIELDS) + headerData.size();
  if (dataOffset > UINT16_MAX || headerSize + tail > UINT32_MAX) {
    throw PackageError("GUID-defined section too large for its header");
  }
  EFI_COMMON_SECTION_HEADER2 header{};
  header.Type = EFI_SECTION_GUID_DEFINED;
  if (large) {
    PutSize24(header.Size, kFfsMaxFileSize);
    header.ExtendedSize = static_cast<uint32_t>(headerSize + tail);
  } else {
    PutSize24(header.Size, headerSize + tail);
  }
  EFI_GUID_DEFINED_SECTION_FIELDS fields{guid, static_cast<uint16_t>(dataOffset), attributes};
  Bytes section(reinterpret_cast<const uint8_t*>(&header), reinterpret_cast<const uint8_t*>(&header) + headerSize);
  AppendStruct(section, fields);
  section.insert(section.end(), headerData.begin(), headerData.end());
  section.insert(section.end(), data.begin(), data.end());
  return section;
}

Bytes BuildFirmwareVolume(std::span<const Bytes> files, uint32_t blockSize) {
  if (blockSize == 0 || blockSize % kFfsFileAlignment != 0) {
    throw PackageError("block size must be a non-zero multiple of 8");
  }
  std::vector<EFI_GUID> names;
  for (const Bytes& file : files) {
    EFI_FFS_FILE_HEADER header{};
    if (file.size() < sizeof header) {
      throw PackageError("firmware file shorter than its header");
    }
    std::memcpy(&header, file.data(), sizeof header);
    if (GetSize24(header.Size) != file.size()) {
      throw PackageError("firmware file " + FormatGuid(header.Name) + ": size field does not match its length");
    }
    for (const EFI_GUID& seen : names) {
      if (SameGuid(seen, header.Name)) {
        throw PackageError("two firmware files named " + FormatGuid(header.Name));
      }
    }
    names.push_back(header.Name);
  }

  constexpr size_t kHeaderLength = sizeof(EFI_FIRMWARE_VOLUME_HEADER) + sizeof(EFI_FV_BLOCK_MAP_ENTRY);
  static_assert(kHeaderLength % kFfsFileAlignment == 0);
  Bytes volume(kHeaderLength, 0x00);
  for (const Bytes& file : files) {
    PadTo(volume, kFfsFileAlignment, 0xFF);
    volume.insert(volume.end(), file.begin(), file.end());
  }
  const uint64_t blocks = (volume.size() + blockSize - 1) / blockSize;
  if (blocks > UINT32_MAX) {
    throw PackageError("firmware volume too large for its block map");
  }
  volume.resize(static_cast<size_t>(blocks) * blockSize, 0xFF);

  EFI_FIRMWARE_VOLUME_HEADER header{};
  header.FileSystemGuid = gEfiFirmwareFileSystem2Guid;
  header.FvLength = volume.size();
  header.Signature = EFI_FVH_SIGNATURE;
  // Readable, writable and lockable as memory-mapped flash commonly is,
  // erase polarity 1, to be placed 8-byte aligned.
  header.Attributes = EFI_FVB2_READ_DISABLED_CAP | EFI_FVB2_READ_ENABLED_CAP | EFI_FVB2_READ_STATUS |
                      EFI_FVB2_WRITE_DISABLED_CAP | EFI_FVB2_WRITE_ENABLED_CAP | EFI_FVB2_WRITE_STATUS |
                      EFI_FVB2_LOCK_CAP | EFI_FVB2_LOCK_STATUS | EFI_FVB2_STICKY_WRITE | EFI_FVB2_MEMORY_MAPPED |
                      EFI_FVB2_ERASE_POLARITY | EFI_FVB2_READ_LOCK_CAP | EFI_FVB2_READ_LOCK_STATUS |
                      EFI_FVB2_WRITE_LOCK_CAP | EFI_FVB2_WRITE_LOCK_STATUS | EFI_FVB2_ALIGNMENT_8;
  header.HeaderLength = kHeaderLength;
  header.ExtHeaderOffset = 0;
  header.Revision = EFI_FVH_REVISION;
  header.BlockMap[0] = {static_cast<uint32_t>(blocks), blockSize};
  const EFI_FV_BLOCK_MAP_ENTRY terminator{0, 0};
  std::memcpy(volume.data(), &header, sizeof header);
  std::memcpy(volume.data() + sizeof header, &terminator, sizeof terminator);
  header.Checksum = Checksum16({volume.data(), kHeaderLength});
  std::memcpy(volume.data(), &header, sizeof header);
  return volume;
}

Bytes PackageEfiImage(std::span<const uint8_t> image, const ImageSpec& spec) {
  const PeImageInfo info = InspectEfiImage(image);
  FileSpec file{};
  file.name = spec.fileGuid;
  file.checksumData = true;
  if (info.subsystem == kPeSubsystemEfiApplication) {
    if (spec.depex) {
      throw PackageError(
          "an EFI application has no dependency expression: the boot manager starts it, not the DXE "
          "dispatcher");
    }
    file.type = EFI_FV_FILETYPE_APPLICATION;
  } else {
    file.type = EFI_FV_FILETYPE_DRIVER;
    file.sections.push_back(
        MakeSection(EFI_SECTION_DXE_DEPEX, CompileDepex(spec.depex.value_or(std::string(kDefaultDxeDepex)))));
  }
  file.sections.push_back(MakeSection(EFI_SECTION_PE32, image));
  file.sections.push_back(MakeUserInterfaceSection(spec.name));
  return BuildFfsFile(file);
}

}  // namespace ftpm::tools::ffs
