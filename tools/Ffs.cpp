#include "tools/Ffs.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "platform/Guids.h"

namespace ftpm::tools::ffs {
namespace {

void PutSize24(uint8_t (&field)[3], size_t size) {
  field[0] = static_cast<uint8_t>(size);
  field[1] = static_cast<uint8_t>(size >> 8);
  field[2] = static_cast<uint8_t>(size >> 16);
}

size_t GetSize24(const uint8_t (&field)[3]) {
  return static_cast<size_t>(field[0]) | static_cast<size_t>(field[1]) << 8 | static_cast<size_t>(field[2]) << 16;
}

uint16_t ReadLe16(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(ReadLe16(bytes, offset)) | static_cast<uint32_t>(ReadLe16(bytes, offset + 2)) << 16;
}

uint64_t ReadLe64(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint64_t>(ReadLe32(bytes, offset)) | static_cast<uint64_t>(ReadLe32(bytes, offset + 4)) << 32;
}

template <typename T>
T ReadStruct(std::span<const uint8_t> bytes, size_t offset) {
  T value{};
  std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

template <typename T>
void AppendStruct(Bytes& out, const T& value) {
  const auto* p = reinterpret_cast<const uint8_t*>(&value);
  out.insert(out.end(), p, p + sizeof(T));
}

void AppendGuid(Bytes& out, const EFI_GUID& guid) { AppendStruct(out, guid); }

void PadTo(Bytes& out, size_t alignment, uint8_t fill) {
  while (out.size() % alignment != 0) {
    out.push_back(fill);
  }
}

// ---------------------------------------------------------------------------
// Dependency-expression compiler
// ---------------------------------------------------------------------------

// Nesting deeper than this is refused rather than recursed into.
constexpr int kMaxDepexNesting = 64;

class DepexCompiler {
 public:
  explicit DepexCompiler(std::string_view text) { Tokenize(text); }

  Bytes Compile() {
    if (tokens_.empty()) {
      throw PackageError("empty dependency expression");
    }
    if (tokens_.back() == "END") {
      tokens_.pop_back();
      if (tokens_.empty()) {
        throw PackageError("empty dependency expression");
      }
    }
    if (Peek() == "BEFORE" || Peek() == "AFTER") {
      const uint8_t opcode = Next() == "BEFORE" ? EFI_DEP_BEFORE : EFI_DEP_AFTER;
      const EFI_GUID guid = Protocol(Next());
      if (!AtEnd()) {
        throw PackageError("BEFORE and AFTER take one GUID and stand alone in the expression");
      }
      code_.push_back(opcode);
      AppendGuid(code_, guid);
    } else {
      if (Peek() == "SOR") {
        Next();
        code_.push_back(EFI_DEP_SOR);
      }
      Or(0);
      if (!AtEnd()) {
        throw PackageError("unexpected '" + std::string(Peek()) + "' in dependency expression");
      }
    }
    code_.push_back(EFI_DEP_END);
    return std::move(code_);
  }

 private:
  void Tokenize(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
      const char c = text[i];
      if (std::isspace(static_cast<unsigned char>(c)) != 0) {
        ++i;
      } else if (c == '(' || c == ')') {
        tokens_.emplace_back(text.substr(i, 1));
        ++i;
      } else {
        size_t end = i;
        while (end < text.size() && std::isspace(static_cast<unsigned char>(text[end])) == 0 && text[end] != '(' &&
               text[end] != ')') {
          ++end;
        }
        tokens_.emplace_back(text.substr(i, end - i));
        i = end;
      }
    }
  }

  bool AtEnd() const { return position_ >= tokens_.size(); }
  std::string_view Peek() const { return AtEnd() ? std::string_view{} : std::string_view{tokens_[position_]}; }
  std::string_view Next() {
    if (AtEnd()) {
      throw PackageError("dependency expression ends too early");
    }
    return tokens_[position_++];
  }

  static EFI_GUID Protocol(std::string_view token) {
    EFI_GUID guid{};
    if (ParseGuid(token, guid)) {
      return guid;
    }
    for (const NamedProtocol& known : KnownProtocols()) {
      if (known.name == token) {
        return known.guid;
      }
    }
    throw PackageError("unknown protocol '" + std::string(token) + "' in dependency expression: give its GUID");
  }

  void Or(int depth) {
    And(depth);
    while (Peek() == "OR") {
      Next();
      And(depth);
      code_.push_back(EFI_DEP_OR);
    }
  }

  void And(int depth) {
    Not(depth);
    while (Peek() == "AND") {
      Next();
      Not(depth);
      code_.push_back(EFI_DEP_AND);
    }
  }

  void Not(int depth) {
    if (depth > kMaxDepexNesting) {
      throw PackageError("dependency expression nested too deeply");
    }
    if (Peek() == "NOT") {
      Next();
      Not(depth + 1);
      code_.push_back(EFI_DEP_NOT);
      return;
    }
    Term(depth);
  }

  void Term(int depth) {
    const std::string_view token = Next();
    if (token == "(") {
      Or(depth + 1);
      if (Next() != ")") {
        throw PackageError("missing ')' in dependency expression");
      }
    } else if (token == "TRUE") {
      code_.push_back(EFI_DEP_TRUE);
    } else if (token == "FALSE") {
      code_.push_back(EFI_DEP_FALSE);
    } else if (token == ")" || token == "AND" || token == "OR" || token == "BEFORE" || token == "AFTER" ||
               token == "SOR" || token == "END") {
      throw PackageError("unexpected '" + std::string(token) + "' in dependency expression");
    } else {
      code_.push_back(EFI_DEP_PUSH);
      AppendGuid(code_, Protocol(token));
    }
  }

  std::vector<std::string> tokens_;
  size_t position_ = 0;
  Bytes code_;
};

constexpr std::array kKnownProtocols{
    NamedProtocol{"PCD_PROTOCOL", gPcdProtocolGuid},
    NamedProtocol{"gPcdProtocolGuid", gPcdProtocolGuid},
    NamedProtocol{"EFI_PCD_PROTOCOL", gEfiPcdProtocolGuid},
    NamedProtocol{"gEfiPcdProtocolGuid", gEfiPcdProtocolGuid},
    NamedProtocol{"EFI_SMM_COMMUNICATION_PROTOCOL", gEfiSmmCommunicationProtocolGuid},
    NamedProtocol{"gEfiSmmCommunicationProtocolGuid", gEfiSmmCommunicationProtocolGuid},
    NamedProtocol{"EFI_SMBUS_HC_PROTOCOL", gSmbusHcProtocolGuid},
    NamedProtocol{"gEfiSmbusHcProtocolGuid", gSmbusHcProtocolGuid},
    NamedProtocol{"ERASE_SERVICE_READY_PROTOCOL", gEraseServiceReadyProtocolGuid},
    NamedProtocol{"gEraseServiceReadyProtocolGuid", gEraseServiceReadyProtocolGuid},
    NamedProtocol{"EFI_VARIABLE_ARCH_PROTOCOL", gEfiVariableArchProtocolGuid},
    NamedProtocol{"gEfiVariableArchProtocolGuid", gEfiVariableArchProtocolGuid},
    NamedProtocol{"EFI_VARIABLE_WRITE_ARCH_PROTOCOL", gEfiVariableWriteArchProtocolGuid},
    NamedProtocol{"gEfiVariableWriteArchProtocolGuid", gEfiVariableWriteArchProtocolGuid},
};

// Machine types a UEFI image may carry.
struct MachineType {
  uint16_t value;
  const char* name;
};
constexpr std::array kMachines{
    MachineType{0x014C, "IA32"},        MachineType{0x8664, "X64"},         MachineType{0x0200, "IPF"},
    MachineType{0x01C2, "ARM"},         MachineType{0xAA64, "AARCH64"},     MachineType{0x0EBC, "EBC"},
    MachineType{0x5032, "RISCV32"},     MachineType{0x5064, "RISCV64"},     MachineType{0x5128, "RISCV128"},
    MachineType{0x6232, "LOONGARCH32"}, MachineType{0x6264, "LOONGARCH64"},
};

constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;
constexpr size_t kCoffHeaderSize = 20;
constexpr size_t kSubsystemOffset = 68;  // in the optional header, PE32 and PE32+ alike

}  // namespace

// ---------------------------------------------------------------------------
// Checksums and GUIDs
// ---------------------------------------------------------------------------

uint8_t Checksum8(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (const uint8_t b : bytes) {
    sum = static_cast<uint8_t>(sum + b);
  }
  return static_cast<uint8_t>(0x100 - sum);
}

uint16_t Checksum16(std::span<const uint8_t> bytes) {
  uint16_t sum = 0;
  for (size_t i = 0; i < bytes.size(); i += 2) {
    const uint16_t high = i + 1 < bytes.size() ? bytes[i + 1] : 0;
    sum = static_cast<uint16_t>(sum + (bytes[i] | high << 8));
  }
  return static_cast<uint16_t>(0x10000 - sum);
}

bool ParseGuid(std::string_view text, EFI_GUID& guid) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36) {
    return false;
  }
  uint8_t digits[16]{};
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (c != '-') {
        return false;
      }
      continue;
    }
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) {
      return false;
    }
    const int value = std::isdigit(static_cast<unsigned char>(c)) != 0 ? c - '0' : std::toupper(c) - 'A' + 10;
    digits[n / 2] = static_cast<uint8_t>(digits[n / 2] << 4 | value);
    ++n;
  }
  // Registry order is big-endian per group; the first three groups are stored
  // little-endian.
  guid.Data1 = static_cast<uint32_t>(digits[0]) << 24 | static_cast<uint32_t>(digits[1]) << 16 |
               static_cast<uint32_t>(digits[2]) << 8 | digits[3];
  guid.Data2 = static_cast<uint16_t>(digits[4] << 8 | digits[5]);
  guid.Data3 = static_cast<uint16_t>(digits[6] << 8 | digits[7]);
  std::memcpy(guid.Data4, digits + 8, 8);
  return true;
}

bool SameGuid(const EFI_GUID& a, const EFI_GUID& b) { return std::memcmp(&a, &b, sizeof(EFI_GUID)) == 0; }

std::string FormatHex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

std::string FormatGuid(const EFI_GUID& g) {
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", g.Data1, g.Data2, g.Data3,
                g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  return text;
}

// ---------------------------------------------------------------------------
// The driver image
// ---------------------------------------------------------------------------

const char* MachineName(uint16_t machine) {
  for (const MachineType& m : kMachines) {
    if (m.value == machine) {
      return m.name;
    }
  }
  return nullptr;
}

PeImageInfo InspectEfiImage(std::span<const uint8_t> image) {
  if (image.size() < 0x40 || image[0] != 'M' || image[1] != 'Z') {
    throw PackageError("not a PE image (no MZ header)");
  }
  const size_t pe = ReadLe32(image, 0x3C);
  if (pe > image.size() || image.size() - pe < 4 + kCoffHeaderSize ||
      std::memcmp(image.data() + pe, "PE\0\0", 4) != 0) {
    throw PackageError("not a PE image (no PE signature where the MZ header points)");
  }
  const size_t coff = pe + 4;
  PeImageInfo info{};
  info.machine = ReadLe16(image, coff);
  if (MachineName(info.machine) == nullptr) {
    char text[64];
    std::snprintf(text, sizeof text, "machine type 0x%04X is not a UEFI machine type", info.machine);
    throw PackageError(text);
  }
  const size_t optionalSize = ReadLe16(image, coff + 16);
  const size_t optional = coff + kCoffHeaderSize;
  if (optionalSize < kSubsystemOffset + 2 || image.size() - optional < kSubsystemOffset + 2) {
    throw PackageError("PE image without a complete optional header");
  }
  const uint16_t magic = ReadLe16(image, optional);
  if (magic != kPe32Magic && magic != kPe32PlusMagic) {
    throw PackageError("PE optional header is neither PE32 nor PE32+");
  }
  info.pe32Plus = magic == kPe32PlusMagic;
  info.subsystem = ReadLe16(image, optional + kSubsystemOffset);
  if (info.subsystem != kPeSubsystemEfiApplication && info.subsystem != kPeSubsystemEfiBootServiceDriver &&
      info.subsystem != kPeSubsystemEfiRuntimeDriver) {
    throw PackageError("PE subsystem " + std::to_string(info.subsystem) +
                       " is not an EFI application (10), boot-service driver (11) or runtime driver (12)");
  }
  return info;
}

// ---------------------------------------------------------------------------
// Dependency expressions
// ---------------------------------------------------------------------------

std::span<const NamedProtocol> KnownProtocols() { return kKnownProtocols; }

Bytes CompileDepex(std::string_view expression) { return DepexCompiler(expression).Compile(); }

// ---------------------------------------------------------------------------
// Sections, files and volumes
// ---------------------------------------------------------------------------

Bytes MakeSection(EFI_SECTION_TYPE type, std::span<const uint8_t> body) {
  const size_t size = sizeof(EFI_COMMON_SECTION_HEADER) + body.size();
  if (size > kFfsMaxFileSize) {
    throw PackageError("section of " + std::to_string(size) + " bytes does not fit a 24-bit size");
  }
  EFI_COMMON_SECTION_HEADER header{};
  PutSize24(header.Size, size);
  header.Type = type;
  Bytes section;
  section.reserve(size);
  AppendStruct(section, header);
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

// ---------------------------------------------------------------------------
// Reading volumes, files and sections
// ---------------------------------------------------------------------------

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

VolumeLayout ReadVolume(std::span<const uint8_t> bytes) {
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
    if (holder.End() < header.filesStart - kFfsFileAlignment) {
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

std::vector<SectionEntry> ReadSections(std::span<const uint8_t> stream) {
  std::vector<SectionEntry> sections;
  size_t offset = 0;
  while (stream.size() - offset >= kSectionAlignment) {
    SectionEntry entry{};
    entry.offset = offset;
    entry.headerSize = sizeof(EFI_COMMON_SECTION_HEADER);
    entry.size =
        stream[offset] | static_cast<size_t>(stream[offset + 1]) << 8 | static_cast<size_t>(stream[offset + 2]) << 16;
    entry.type = stream[offset + 3];
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
