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
