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

bool SameGuid(const EFI_GUID& a, const EFI_GUID& b) { return std::memcmp(&a, &b, sizeof(EFI_GUID)) == 0; }

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

  EFI_FFS_FILE_HEADER header{};
  header.Name = spec.name;
  header.Type = spec.type;
  header.Attributes = spec.checksumData ? FFS_ATTRIB_CHECKSUM : 0;
  PutSize24(header.Size, size);
  // The header checksum covers the header with State and the file checksum
  // taken as zero, which they are at this point.
  header.IntegrityCheck.Checksum.Header =
      Checksum8({reinterpret_cast<const uint8_t*>(&header), sizeof(EFI_FFS_FILE_HEADER)});
  header.IntegrityCheck.Checksum.File = spec.checksumData ? Checksum8(data) : FFS_FIXED_CHECKSUM;
  header.State = kFileStateReady;

  Bytes file;
  file.reserve(size);
  AppendStruct(file, header);
  file.insert(file.end(), data.begin(), data.end());
  return file;
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
