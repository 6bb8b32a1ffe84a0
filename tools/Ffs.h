// Packaging UEFI images for platform firmware: a DXE driver's PE32 image
// becomes a firmware file (FFS) with dependency, image and name sections, an
// EFI application's one with image and name sections, and files can be placed
// in a firmware volume of their own. Pure functions from bytes to bytes;
// anything they cannot encode is a PackageError.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FirmwareVolume.h"

namespace ftpm::tools::ffs {

using Bytes = std::vector<uint8_t>;

// Input the packager refuses, with the reason as its message.
class PackageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The 8-bit value that makes the bytes sum to zero.
uint8_t Checksum8(std::span<const uint8_t> bytes);
// The 16-bit value that makes the little-endian words sum to zero; an odd
// trailing byte counts as the low byte of a word.
uint16_t Checksum16(std::span<const uint8_t> bytes);

// Registry form "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX", braces optional.
bool ParseGuid(std::string_view text, EFI_GUID& guid);
std::string FormatGuid(const EFI_GUID& guid);
bool SameGuid(const EFI_GUID& a, const EFI_GUID& b);

// "0x1F4" for messages.
std::string FormatHex(uint64_t value);

inline size_t AlignUp(size_t value, size_t alignment) { return (value + alignment - 1) / alignment * alignment; }

// ---------------------------------------------------------------------------
// The driver image
// ---------------------------------------------------------------------------

inline constexpr uint16_t kPeSubsystemEfiApplication = 10;
inline constexpr uint16_t kPeSubsystemEfiBootServiceDriver = 11;
inline constexpr uint16_t kPeSubsystemEfiRuntimeDriver = 12;

struct PeImageInfo {
  uint16_t machine;
  uint16_t subsystem;
  bool pe32Plus;
};

// Checks that the image is a PE32 or PE32+ image for a UEFI machine type with
// the subsystem of a boot-service or runtime driver, as the DXE dispatcher
// starts, or of an EFI application, as the boot manager starts.
PeImageInfo InspectEfiImage(std::span<const uint8_t> image);
const char* MachineName(uint16_t machine);

// ---------------------------------------------------------------------------
// Dependency expressions
// ---------------------------------------------------------------------------

// The driver reads its settings at start-up, so it waits for both settings
// protocols.
inline constexpr std::string_view kDefaultDxeDepex = "PCD_PROTOCOL AND EFI_PCD_PROTOCOL";

// Compiles an infix expression to the postfix opcodes, EFI_DEP_END appended:
//   expression := BEFORE guid | AFTER guid | [SOR] or
//   or := and {OR and}      and := not {AND not}      not := NOT not | term
//   term := TRUE | FALSE | protocol | ( or )
// A protocol is a GUID in registry form or one of the names KnownProtocols()
// lists. A trailing END is accepted.
Bytes CompileDepex(std::string_view expression);

struct NamedProtocol {
  std::string_view name;
  EFI_GUID guid;
};
std::span<const NamedProtocol> KnownProtocols();

// ---------------------------------------------------------------------------
// Sections, files and volumes
// ---------------------------------------------------------------------------

// A section: EFI_COMMON_SECTION_HEADER and the body.
Bytes MakeSection(EFI_SECTION_TYPE type, std::span<const uint8_t> body);
// EFI_SECTION_USER_INTERFACE: the name as NUL-terminated UTF-16LE. Printable
// ASCII only.
Bytes MakeUserInterfaceSection(std::string_view name);

// The state byte of a file ready for use in a volume of erase polarity 1:
// header construction, header valid and data valid, inverted.
inline constexpr uint8_t kFileStateReady =
    static_cast<uint8_t>(~(EFI_FILE_HEADER_CONSTRUCTION | EFI_FILE_HEADER_VALID | EFI_FILE_DATA_VALID));

struct FileSpec {
  EFI_GUID name;
  EFI_FV_FILETYPE type;
  // Checksum the file data (FFS_ATTRIB_CHECKSUM) instead of writing
  // FFS_FIXED_CHECKSUM.
  bool checksumData = true;
  // Complete sections, placed 4-byte aligned in this order.
  std::vector<Bytes> sections;
};

// A firmware file for volumes of erase polarity 1. Padding between sections
// is zero and part of the checksummed data.
Bytes BuildFfsFile(const FileSpec& spec);

// The state byte of a file ready for use, for either erase polarity.
uint8_t ReadyState(bool erasePolarity);

// A file around data with the header fields given (name, type, attributes,
// state): the 24-bit size or, when the file needs it and allowLarge, the
// large-file header; the header checksum; the data checksum when the
// attributes ask for one, FFS_FIXED_CHECKSUM otherwise.
Bytes AssembleFile(const EFI_FFS_FILE_HEADER& fields, std::span<const uint8_t> data, bool allowLarge);

// A pad file of exactly size bytes (24 to 0xFFFFFF) with erased data.
Bytes MakePadFile(size_t size, bool erasePolarity);

// A GUID-defined section: header (the large form from 16 MiB), the GUID, the
// data offset, the attributes, headerData (what the GUID's own header holds
// between the fixed fields and the data) and the data.
Bytes MakeGuidDefinedSection(const EFI_GUID& guid, uint16_t attributes, std::span<const uint8_t> headerData,
                             std::span<const uint8_t> data);

// ---------------------------------------------------------------------------
// Reading volumes, files and sections
// ---------------------------------------------------------------------------
// Every length is checked against its container and every checksum against
// its bytes; what does not hold is a PackageError saying what and where.

struct VolumeHeader {
  uint64_t length;  // FvLength
  uint32_t attributes;
  EFI_GUID fileSystem;
  size_t headerLength;
  size_t filesStart;                     // 8-byte aligned after the header or its extended header
  size_t extHeaderOffset;                // 0: none
  std::optional<EFI_GUID> name;          // FvName of the extended header
  std::optional<size_t> usedSizeOffset;  // of the used-size entry's UsedSize field

  bool ErasePolarity() const { return (attributes & EFI_FVB2_ERASE_POLARITY) != 0; }
  uint8_t ErasedByte() const { return ErasePolarity() ? 0xFF : 0x00; }
  // FFSv2 or FFSv3: a volume of firmware files.
  bool HoldsFiles() const;
  bool Ffs3() const;
  // The alignment the volume's placement guarantees its files: what
  // EFI_FVB2_ALIGNMENT says, 8 bytes for a weakly aligned volume.
  uint64_t Alignment() const;
};

// The header of the volume that starts bytes; bytes may run on past it.
// Revision 2, header length, checksum, a block map that adds up to the length,
// the extended header and its entries inside the volume.
VolumeHeader ReadVolumeHeader(std::span<const uint8_t> bytes);

struct FileEntry {
  size_t offset;      // in its volume
  size_t headerSize;  // 24, or 32 for a large file
  size_t size;        // header included
  EFI_FFS_FILE_HEADER header;
  uint8_t state;  // as written for erase polarity 0

  size_t End() const { return offset + size; }
  // Data valid and not deleted: a file firmware finds.
  bool Live() const;
  bool Pad() const { return header.Type == EFI_FV_FILETYPE_PAD; }
  // Where the file's data (the byte after its header) must lie: 8 bytes
  // unless the attributes ask for more.
  uint64_t DataAlignment() const;
};

struct VolumeLayout {
  VolumeHeader header;
  // The pad file a firmware build puts the extended header in, before the
  // files proper.
  std::optional<FileEntry> extHeaderFile;
  std::vector<FileEntry> files;  // in order, pad and deleted files included
  size_t freeStart;              // from here the volume is erased
};

// The files of the firmware-file-system volume that starts bytes: each header
// valid with both checksums right (the data checksum of live files), each
// file inside the volume, and after the last one nothing but erased bytes.
// A volume of more than maxFiles files is refused.
VolumeLayout ReadVolume(std::span<const uint8_t> bytes, size_t maxFiles = SIZE_MAX);

// A firmware file on its own, as a .ffs holds it: its size exactly the
// file's, both checksums, the ready state for either polarity, a type that
// can be inserted into a volume (not a pad file), and well-formed sections
// when its type has sections.
FileEntry CheckFfsFile(std::span<const uint8_t> file);

struct SectionEntry {
  size_t offset;      // in its stream
  size_t headerSize;  // 4, or 8 for a large section
  size_t size;        // header included
  EFI_SECTION_TYPE type;

  size_t End() const { return offset + size; }
};

// The sections of a stream, each 4-byte aligned from the stream's start and
// inside it; fewer than 4 bytes may follow the last one. A stream of more
// than maxSections sections is refused.
std::vector<SectionEntry> ReadSections(std::span<const uint8_t> stream, size_t maxSections = SIZE_MAX);

struct GuidDefinedSection {
  EFI_GUID guid;
  uint16_t dataOffset;  // from the section's start
  uint16_t attributes;
  size_t fieldsEnd;  // where the GUID's own header data starts
};
GuidDefinedSection ReadGuidDefinedSection(std::span<const uint8_t> section, const SectionEntry& entry);

// The text of the file's user-interface section, when it has one.
std::optional<std::string> UserInterfaceName(std::span<const uint8_t> file, const FileEntry& entry);

// "DXE driver", "application", "volume image", ... for messages.
std::string FileTypeName(EFI_FV_FILETYPE type);

inline constexpr uint32_t kDefaultBlockSize = 0x1000;

// A firmware volume in the second firmware file system with erase polarity 1:
// the header with one block map entry and its terminator, the files 8-byte
// aligned in the given order, the rest up to a whole number of blocks erased
// (0xFF). Files must be well formed and carry distinct names.
Bytes BuildFirmwareVolume(std::span<const Bytes> files, uint32_t blockSize = kDefaultBlockSize);

struct ImageSpec {
  EFI_GUID fileGuid;
  std::string name;  // the user-interface section
  // As CompileDepex reads it; kDefaultDxeDepex for a driver when not given.
  // An application has none.
  std::optional<std::string> depex;
};

// Checks the image first. A driver becomes an EFI_FV_FILETYPE_DRIVER file
// with dependency, PE32 and user-interface sections, in that order; an
// application an EFI_FV_FILETYPE_APPLICATION file with PE32 and
// user-interface sections, which the boot manager loads through a
// firmware-file device path.
Bytes PackageEfiImage(std::span<const uint8_t> image, const ImageSpec& spec);

}  // namespace ftpm::tools::ffs
