// Firmware images for fuzzing `insert`, decoded from the fuzzer's bytes into
// a tree (image: volumes; volume: files; file: sections; some sections hold a
// volume or, LZMA-compressed, a section stream) and written out with every
// checksum, length and alignment right, so that mutations reach the code
// behind the header checks. A few input bits ask for one targeted fault (a
// length off by a few, with checksums made over the wrong value, or one byte
// flipped) so that the refusals run as well.
//
// Also a small reader of its own that walks an image the way firmware does,
// for checking what `insert` writes without its own parser.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/FirmwareVolume.h"
#include "platform/Guids.h"
#include "tools/Lzma.h"

namespace ftpm::fuzz::fvtree {

using Bytes = std::vector<uint8_t>;

// Bounds on what one input can make.
inline constexpr size_t kMaxDepth = 4;  // volumes inside volumes
inline constexpr size_t kMaxVolumes = 3;
inline constexpr size_t kMaxFiles = 8;
inline constexpr size_t kMaxSections = 4;
inline constexpr size_t kMaxLzmaChain = 10;  // LZMA sections inside each other
inline constexpr size_t kMaxBody = 0x600;
inline constexpr size_t kBudget = size_t{1} << 20;  // bytes of output, roughly

// ---------------------------------------------------------------------------
// Reading the fuzzer's bytes
// ---------------------------------------------------------------------------

// Bytes off the front of the input; zeros once it runs out, so that every
// input decodes to a tree.
class Source {
 public:
  Source(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint8_t Byte() {
    if (size_ == 0) {
      return 0;
    }
    --size_;
    return *data_++;
  }
  uint16_t Word() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
  // Up to n bytes of the input itself, as content.
  Bytes Take(size_t n) {
    n = std::min(n, size_);
    Bytes out(data_, data_ + n);
    data_ += n;
    size_ -= n;
    return out;
  }
  size_t Left() const { return size_; }

 private:
  const uint8_t* data_;
  size_t size_;
};

// ---------------------------------------------------------------------------
// The tree
// ---------------------------------------------------------------------------

struct Volume;

struct Section {
  enum class Kind { kLeaf, kVolume, kLzma, kOtherGuid };
  Kind kind = Kind::kLeaf;
  uint8_t type = EFI_SECTION_RAW;
  bool largeHeader = false;  // the 8-byte header, whatever the size
  Bytes body;                // leaf and other-GUID data
  std::unique_ptr<Volume> volume;
  std::vector<Section> stream;  // what an LZMA section packs
  uint8_t lzmaProperties = 0x5D;
  uint32_t dictionary = 1u << 16;
  Bytes guidHeaderData;  // between the GUID-defined fields and the data
};

struct File {
  EFI_GUID name{};
  uint8_t type = EFI_FV_FILETYPE_RAW;
  uint8_t alignmentIndex = 0;  // FFS_ATTRIB_DATA_ALIGNMENT field, 0-3
  bool checksumData = true;
  bool largeHeader = false;  // FFSv3 volumes only
  enum class State { kReady, kMarkedForUpdate, kDeleted, kHeaderOnly } state = State::kReady;
  bool padWithData = false;  // a pad file whose data is not erased
  Bytes raw;                 // the data of raw and pad files
  std::vector<Section> sections;

  bool Live() const { return state == State::kReady || state == State::kMarkedForUpdate; }
};

struct Volume {
  bool erasePolarity = true;
  bool ffs3 = false;
  enum class Ext { kNone, kAfterHeader, kInPadFile } ext = Ext::kNone;
  bool usedSizeEntry = false;
  bool padHolderChecksum = false;
  uint32_t blockSize = 0x200;
  bool twoBlockEntries = false;
  uint8_t alignmentLog2 = 3;
  bool weakAlignment = false;
  size_t freeSpace = 0;
  std::vector<File> files;
};

struct Image {
  bool garbage = false;
  bool padsWithData = false;  // some pad file holds data
  bool deepNesting = false;   // LZMA sections three or more deep
  std::vector<Bytes> gaps;    // before each volume, 8-byte multiples
  std::vector<Volume> volumes;
  Bytes tail;
};

// Types whose data is a section stream.
inline bool HasSections(uint8_t type) {
  return type >= EFI_FV_FILETYPE_FREEFORM && type <= EFI_FV_FILETYPE_MM_CORE_STANDALONE;
}

inline bool SameGuid(const EFI_GUID& a, const EFI_GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

class Decoder {
 public:
  explicit Decoder(Source& in) : in_(in) {}

  Image DecodeImage() {
    Image image;
    const uint8_t shape = in_.Byte();
    image.garbage = (shape & 0x80) != 0;
    const size_t volumes = 1 + shape % kMaxVolumes;
    for (size_t i = 0; i < volumes && budget_ > 0x1000; ++i) {
      image.gaps.push_back(image.garbage ? Content(8 * (in_.Byte() % 5)) : Bytes{});
      image.volumes.push_back(DecodeVolume(0));
    }
    if (image.garbage) {
      image.tail = Content(in_.Byte() % 24);
    }
    image.padsWithData = padsWithData_;
    image.deepNesting = deepNesting_;
    return image;
  }

 private:
  Bytes Content(size_t n) {
    n = std::min(n, budget_);
    budget_ -= n;
    Bytes out = in_.Take(n);
    // Past the input's end, a pattern that is neither erased nor a header.
    for (size_t i = out.size(); i < n; ++i) {
      out.push_back(static_cast<uint8_t>(0x5A ^ i));
    }
    return out;
  }

  EFI_GUID NextName() {
    // Distinct names unless the input asks for the name of the file to be
    // inserted (the replace path) or for the previous name again.
    const uint8_t pick = in_.Byte();
    EFI_GUID name{};
    if (pick == 0xFE) {
      return gFtpmRecoveryDxeFileGuid;
    }
    if (pick == 0xFD && serial_ > 0) {
      name.Data1 = 0x46555A00 + serial_ - 1;
    } else {
      name.Data1 = 0x46555A00 + serial_++;
    }
    name.Data2 = pick;
    name.Data4[7] = 0x7E;
    return name;
  }

  Volume DecodeVolume(size_t depth) {
    Volume volume;
    const uint8_t a = in_.Byte();
    const uint8_t b = in_.Byte();
    volume.erasePolarity = (a & 1) == 0;  // polarity 1 the common case
    volume.ffs3 = (a & 2) != 0;
    volume.ext = static_cast<Volume::Ext>((a >> 2) % 3);
    volume.usedSizeEntry = (a & 0x10) != 0;
    volume.padHolderChecksum = (a & 0x20) != 0;
    volume.twoBlockEntries = (a & 0x40) != 0;
    volume.weakAlignment = (a & 0x80) != 0;
    // Now and then blocks whose size is not a multiple of 8, so that the
    // volume's length is not either.
    volume.blockSize = (b & 0x81) == 0x81 ? 0x1000 : (b & 0xC1) == 0x40 ? 0x1F4 : 0x200;
    static constexpr uint8_t kAlignments[4] = {3, 4, 9, 12};
    volume.alignmentLog2 = kAlignments[(b >> 1) & 3];
    static constexpr size_t kFree[8] = {0x400, 0x200, 0x800, 0, 0x40, 0x1000, 0x100, 0x10};
    volume.freeSpace = std::min(kFree[(b >> 3) & 7], budget_);
    budget_ -= volume.freeSpace;
    const size_t files = std::min<size_t>(in_.Byte() % (kMaxFiles + 1), in_.Left() / 2 + 1);
    for (size_t i = 0; i < files && budget_ > 64; ++i) {
      volume.files.push_back(DecodeFile(depth, volume.ffs3));
    }
    return volume;
  }

  File DecodeFile(size_t depth, bool ffs3) {
    static constexpr uint8_t kTypes[16] = {EFI_FV_FILETYPE_DRIVER,
                                           EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE,
                                           EFI_FV_FILETYPE_DRIVER,
                                           EFI_FV_FILETYPE_DXE_CORE,
                                           EFI_FV_FILETYPE_PAD,
                                           EFI_FV_FILETYPE_RAW,
                                           EFI_FV_FILETYPE_FREEFORM,
                                           EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE,
                                           EFI_FV_FILETYPE_PEIM,
                                           EFI_FV_FILETYPE_APPLICATION,
                                           EFI_FV_FILETYPE_SECURITY_CORE,
                                           EFI_FV_FILETYPE_COMBINED_PEIM_DRIVER,
                                           EFI_FV_FILETYPE_MM,
                                           EFI_FV_FILETYPE_DRIVER,
                                           EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE,
                                           EFI_FV_FILETYPE_PEI_CORE};
    File file;
    const uint8_t a = in_.Byte();
    const uint8_t b = in_.Byte();
    file.type = kTypes[a & 15];
    file.name = NextName();
    file.alignmentIndex = (b & 3) == 3 ? static_cast<uint8_t>(1 + (b >> 2) % 3) : 0;
    file.checksumData = (b & 4) == 0;
    file.largeHeader = ffs3 && (b & 8) != 0;
    static constexpr File::State kStates[8] = {
        File::State::kReady, File::State::kReady,   File::State::kReady, File::State::kMarkedForUpdate,
        File::State::kReady, File::State::kDeleted, File::State::kReady, File::State::kHeaderOnly};
    file.state = kStates[(a >> 4) & 7];
    if (file.type == EFI_FV_FILETYPE_PAD) {
      file.padWithData = (b & 0x10) != 0;
      padsWithData_ = padsWithData_ || file.padWithData;
      file.state = File::State::kReady;
      file.raw = file.padWithData ? Content(1 + in_.Byte() % 64) : Bytes(8 * (in_.Byte() % 16), 0);
      return file;
    }
    if (!HasSections(file.type)) {
      file.raw = Content(in_.Byte() % 128);
      return file;
    }
    const size_t sections = 1 + in_.Byte() % kMaxSections;
    const bool nests = file.type == EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE;
    for (size_t i = 0; i < sections && budget_ > 16; ++i) {
      file.sections.push_back(DecodeSection(depth, nests, 0));
    }
    return file;
  }

  // inVolumeFile: the section stream of a volume-image file, where volumes
  // nest; lzmaDepth: LZMA sections around this one.
  Section DecodeSection(size_t depth, bool inVolumeFile, size_t lzmaDepth) {
    Section section;
    const uint8_t a = in_.Byte();
    section.largeHeader = (a & 0x80) != 0 && (a & 0x40) != 0;
    switch (a & 15) {
      case 0:
      case 1:
        if (inVolumeFile && depth + 1 < kMaxDepth) {
          section.kind = Section::Kind::kVolume;
          section.type = EFI_SECTION_FIRMWARE_VOLUME_IMAGE;
          section.volume = std::make_unique<Volume>(DecodeVolume(depth + 1));
          return section;
        }
        break;
      case 2:
      case 3:
        // Now and then a deep chain of LZMA sections inside each other.
        if ((lzmaDepth < 2 || (lzmaDepth < kMaxLzmaChain && (a & 0x40) != 0)) && depth < kMaxDepth) {
          section.kind = Section::Kind::kLzma;
          deepNesting_ = deepNesting_ || lzmaDepth >= 2;
          section.type = EFI_SECTION_GUID_DEFINED;
          const uint8_t b = in_.Byte();
          static constexpr uint8_t kProperties[4] = {0x5D, 0x5D, 0x00, 0x12};
          section.lzmaProperties = kProperties[b & 3];
          section.dictionary = (b & 0x0C) == 0x0C ? 1u << 16 : 1u << 12;
          section.guidHeaderData = Bytes((b & 0x10) != 0 ? 4 : 0, 0);
          const size_t count = 1 + in_.Byte() % kMaxSections;
          for (size_t i = 0; i < count && budget_ > 16; ++i) {
            section.stream.push_back(DecodeSection(depth, inVolumeFile, lzmaDepth + 1));
          }
          return section;
        }
        break;
      case 4:
        section.kind = Section::Kind::kOtherGuid;
        section.type = EFI_SECTION_GUID_DEFINED;
        section.guidHeaderData = Bytes(in_.Byte() % 3 * 4, 0);
        section.body = Content(in_.Byte() % 64);
        return section;
      case 5:
        section.type = EFI_SECTION_USER_INTERFACE;
        for (size_t i = 0, n = 1 + in_.Byte() % 12; i < n; ++i) {
          section.body.push_back(static_cast<uint8_t>('A' + in_.Byte() % 26));
          section.body.push_back(0);
        }
        section.body.insert(section.body.end(), {0, 0});
        return section;
      case 6:
        section.type = EFI_SECTION_DXE_DEPEX;
        section.body = (in_.Byte() & 1) != 0 ? Bytes{EFI_DEP_TRUE, EFI_DEP_END} : Bytes{EFI_DEP_FALSE, EFI_DEP_END};
        return section;
      case 7:
        section.type = EFI_SECTION_COMPRESSION;
        section.body = Content(5 + in_.Byte() % 32);
        return section;
      case 8:
        section.type = EFI_SECTION_VERSION;
        section.body = Content(2 + in_.Byte() % 8);
        return section;
      default:
        break;
    }
    static constexpr uint8_t kLeaves[4] = {EFI_SECTION_PE32, EFI_SECTION_RAW, EFI_SECTION_TE, EFI_SECTION_PE32};
    section.type = kLeaves[(a >> 4) & 3];
    const size_t size = std::min<size_t>(in_.Byte() * size_t{8} % kMaxBody, in_.Left() + 16);
    section.body = Content(size);
    return section;
  }

  Source& in_;
  bool padsWithData_ = false;
  bool deepNesting_ = false;
  size_t budget_ = kBudget;
  uint32_t serial_ = 0;
};

// ---------------------------------------------------------------------------
// Repairs that keep most trees insertable
// ---------------------------------------------------------------------------

// One DXE core file in the whole tree, as `insert` reads it: the first live
// one; when there is none, the first live driver becomes it, and failing
// that, volume 0 gets one. Then the way to it: the volume-image file and the
// LZMA section on the way are the last of their volume and stream, with room
// after them for the recompressed data to grow, and the DXE volume has free
// space and the alignment the file to insert asks.
class Repair {
 public:
  // fileAlignment: the largest data alignment of the files to insert;
  // largeFile: one has a large-file header, which only FFSv3 volumes take.
  Repair(uint64_t fileAlignment, bool largeFile) : fileAlignment_(fileAlignment), largeFile_(largeFile) {}

  void Run(Image& image) {
    for (Volume& volume : image.volumes) {
      Walk(volume);
    }
    if (core_ == nullptr && firstDriver_ != nullptr) {
      firstDriver_->type = EFI_FV_FILETYPE_DXE_CORE;
      core_ = firstDriver_;
    }
    if (core_ != nullptr && SameGuid(core_->name, gFtpmRecoveryDxeFileGuid)) {
      core_->name.Data1 = 0x434F5245;  // --replace would replace the DXE core itself
    }
    if (core_ == nullptr && !image.volumes.empty()) {
      File file;
      file.name.Data1 = 0x434F5245;
      file.type = EFI_FV_FILETYPE_DXE_CORE;
      Section pe;
      pe.type = EFI_SECTION_PE32;
      pe.body = Bytes(32, 0xC3);
      file.sections.push_back(std::move(pe));
      image.volumes.front().files.insert(image.volumes.front().files.begin(), std::move(file));
    }
    // The tree is walked again: the vectors changed, the pointers are stale.
    core_ = nullptr;
    firstDriver_ = nullptr;
    for (Volume& volume : image.volumes) {
      std::vector<Volume*> volumes{&volume};
      if (FixPath(volume, volumes)) {
        break;
      }
    }
  }

 private:
  void Walk(Volume& volume) {
    for (File& file : volume.files) {
      if (!file.Live()) {
        continue;
      }
      if (file.type == EFI_FV_FILETYPE_DXE_CORE) {
        if (core_ == nullptr) {
          core_ = &file;
        } else {
          file.type = EFI_FV_FILETYPE_DRIVER;
        }
      }
      if (file.type == EFI_FV_FILETYPE_DRIVER && firstDriver_ == nullptr) {
        firstDriver_ = &file;
      }
      if (file.type == EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE) {
        WalkStream(file.sections);
      }
    }
  }

  void WalkStream(std::vector<Section>& stream) {
    for (Section& section : stream) {
      if (section.kind == Section::Kind::kVolume) {
        Walk(*section.volume);
      } else if (section.kind == Section::Kind::kLzma) {
        WalkStream(section.stream);
      }
    }
  }

  static bool HoldsCore(const Volume& volume) {
    return std::any_of(volume.files.begin(), volume.files.end(),
                       [](const File& f) { return f.Live() && f.type == EFI_FV_FILETYPE_DXE_CORE; });
  }

  // True when volume is, or holds, the DXE volume; the containers on the way
  // are then made to fit.
  bool FixPath(Volume& volume, std::vector<Volume*>& volumes) {
    if (HoldsCore(volume)) {
      volume.freeSpace = std::max<size_t>(volume.freeSpace, 0x400);
      while ((uint64_t{1} << volume.alignmentLog2) < fileAlignment_) {
        ++volume.alignmentLog2;
      }
      volume.weakAlignment = volume.weakAlignment && fileAlignment_ <= 8;
      volume.ffs3 = volume.ffs3 || largeFile_;
      return true;
    }
    for (size_t i = 0; i < volume.files.size(); ++i) {
      File& file = volume.files[i];
      if (!file.Live() || file.type != EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE) {
        continue;
      }
      if (FixStream(file.sections, volumes)) {
        // Rebuilt as ready and with the header its size needs.
        file.largeHeader = false;
        file.state = File::State::kReady;
        // Last, with room to grow.
        File moved = std::move(file);
        volume.files.erase(volume.files.begin() + static_cast<std::ptrdiff_t>(i));
        volume.files.push_back(std::move(moved));
        volume.freeSpace = std::max<size_t>(volume.freeSpace, 0x800);
        return true;
      }
    }
    return false;
  }

  bool FixStream(std::vector<Section>& stream, std::vector<Volume*>& volumes) {
    for (size_t i = 0; i < stream.size(); ++i) {
      Section& section = stream[i];
      bool found = false;
      if (section.kind == Section::Kind::kVolume) {
        found = FixPath(*section.volume, volumes);
      } else if (section.kind == Section::Kind::kLzma) {
        found = FixStream(section.stream, volumes);
      }
      if (found) {
        if (section.kind == Section::Kind::kLzma) {
          Section moved = std::move(section);
          stream.erase(stream.begin() + static_cast<std::ptrdiff_t>(i));
          stream.push_back(std::move(moved));
        }
        return true;
      }
    }
    return false;
  }

  uint64_t fileAlignment_;
  bool largeFile_;
  File* core_ = nullptr;
  File* firstDriver_ = nullptr;
};

// ---------------------------------------------------------------------------
// Writing
// ---------------------------------------------------------------------------

inline uint8_t Sum8(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (const uint8_t b : bytes) {
    sum = static_cast<uint8_t>(sum + b);
  }
  return sum;
}

inline uint16_t Sum16(std::span<const uint8_t> bytes) {
  uint16_t sum = 0;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    sum = static_cast<uint16_t>(sum + (bytes[i] | bytes[i + 1] << 8));
  }
  return sum;
}

inline void Put(Bytes& out, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) {
    out[at + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

inline void Append(Bytes& out, std::span<const uint8_t> bytes) { out.insert(out.end(), bytes.begin(), bytes.end()); }

inline void AppendGuid(Bytes& out, const EFI_GUID& guid) {
  const auto* p = reinterpret_cast<const uint8_t*>(&guid);
  out.insert(out.end(), p, p + sizeof guid);
}

inline uint8_t ReadyStateFor(bool erasePolarity, uint8_t bits) {
  return erasePolarity ? static_cast<uint8_t>(~bits) : bits;
}

inline constexpr uint8_t kReadyBits = EFI_FILE_HEADER_CONSTRUCTION | EFI_FILE_HEADER_VALID | EFI_FILE_DATA_VALID;

// The fault an input asks for: the nth length field written (in the order
// the writer writes them, at every level) is off by delta, with checksums made
// over the wrong value.
struct Fault {
  size_t lengthIndex = SIZE_MAX;
  int delta = 0;
};

// LZMA packing of a section stream, remembered across inputs: most
// mutations leave most compressed sections as they were, and packing was
// most of the writer's time. liblzma is deterministic, so a remembered
// stream is the stream the packer would make. Bounded to 32 MiB of keys and
// results.
inline Bytes PackLzma(const Bytes& stream, uint8_t properties, uint32_t dictionary) {
  static std::map<std::string, Bytes> packed;
  static size_t held = 0;
  std::string key(reinterpret_cast<const char*>(stream.data()), stream.size());
  key.push_back(static_cast<char>(properties));
  key.append(reinterpret_cast<const char*>(&dictionary), sizeof dictionary);
  if (const auto found = packed.find(key); found != packed.end()) {
    return found->second;
  }
  Bytes out = tools::ffs::LzmaCompress(stream, properties, dictionary);
  if (held + key.size() + out.size() > (size_t{32} << 20)) {
    packed.clear();
    held = 0;
  }
  held += key.size() + out.size();
  packed.emplace(std::move(key), out);
  return out;
}

class Writer {
 public:
  explicit Writer(Fault fault) : fault_(fault) {}

  // Where each top-level volume lies in the image written.
  struct Placed {
    size_t offset;
    size_t length;
  };

  Bytes WriteImage(const Image& image, std::vector<Placed>& placed) {
    Bytes out;
    for (size_t i = 0; i < image.volumes.size(); ++i) {
      out.resize((out.size() + 7) & ~size_t{7}, 0xFF);  // volumes start 8-byte aligned
      Append(out, image.gaps[i]);
      const Bytes volume = WriteVolume(image.volumes[i]);
      placed.push_back({out.size(), volume.size()});
      Append(out, volume);
    }
    Append(out, image.tail);
    return out;
  }

  // A firmware file of the given fields around data, for a volume of the
  // polarity given.
  Bytes WriteFile(const EFI_GUID& name, uint8_t type, uint8_t attributes, bool large, std::span<const uint8_t> data,
                  uint8_t state) {
    const size_t headerSize = large ? sizeof(EFI_FFS_FILE_HEADER2) : sizeof(EFI_FFS_FILE_HEADER);
    Bytes out;
    AppendGuid(out, name);
    out.resize(headerSize, 0);
    out[18] = type;
    out[19] = static_cast<uint8_t>(attributes | (large ? FFS_ATTRIB_LARGE_FILE : 0));
    const size_t size = Length(headerSize + data.size());
    if (large) {
      Put(out, 24, size, 8);
    } else {
      Put(out, 20, size, 3);
    }
    out[16] = static_cast<uint8_t>(0x100 - Sum8(out));
    out[17] = (attributes & FFS_ATTRIB_CHECKSUM) != 0 ? static_cast<uint8_t>(0x100 - Sum8(data)) : FFS_FIXED_CHECKSUM;
    out[23] = state;
    Append(out, data);
    return out;
  }

 private:
  // A length as written: the true one, or off by the fault's delta.
  size_t Length(size_t value) {
    if (lengths_++ == fault_.lengthIndex) {
      return static_cast<size_t>(static_cast<int64_t>(value) + fault_.delta) & 0xFFFFFF;
    }
    return value;
  }

  Bytes WriteVolume(const Volume& volume) {
    const size_t headerLength = sizeof(EFI_FIRMWARE_VOLUME_HEADER) + (volume.twoBlockEntries ? 16 : 8);
    Bytes out(headerLength, 0);
    const auto& fileSystem = volume.ffs3 ? gEfiFirmwareFileSystem3Guid : gEfiFirmwareFileSystem2Guid;
    std::memcpy(out.data() + 16, &fileSystem, sizeof fileSystem);
    const uint8_t erased = volume.erasePolarity ? 0xFF : 0x00;
    const uint8_t ready = ReadyStateFor(volume.erasePolarity, kReadyBits);

    // The extended header: the volume's name, perhaps the used-size entry.
    Bytes ext;
    size_t usedSizeAt = 0;
    if (volume.ext != Volume::Ext::kNone) {
      EFI_GUID name{};
      name.Data1 = 0x564F4C00 + volumes_++;
      AppendGuid(ext, name);
      ext.resize(20, 0);
      if (volume.usedSizeEntry) {
        ext.insert(ext.end(), {8, 0, EFI_FV_EXT_TYPE_USED_SIZE_TYPE, 0, 0, 0, 0, 0});
        usedSizeAt = 24;
      }
      Put(ext, 16, ext.size(), 4);
    }
    size_t extOffset = 0;
    size_t holderAt = 0;
    if (volume.ext == Volume::Ext::kAfterHeader) {
      extOffset = out.size();
      Append(out, ext);
    } else if (volume.ext == Volume::Ext::kInPadFile) {
      holderAt = out.size();
      extOffset = holderAt + sizeof(EFI_FFS_FILE_HEADER);
      Append(out, WriteFile(MakeGuid("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"), EFI_FV_FILETYPE_PAD,
                            volume.padHolderChecksum ? FFS_ATTRIB_CHECKSUM : 0, false, ext, ready));
    }

    for (const File& file : volume.files) {
      out.resize((out.size() + 7) & ~size_t{7}, erased);
      const Bytes data = FileData(file, volume);
      const size_t headerSize = file.largeHeader ? sizeof(EFI_FFS_FILE_HEADER2) : sizeof(EFI_FFS_FILE_HEADER);
      const size_t alignment = size_t{1} << kFfsDataAlignmentLog2[file.alignmentIndex];
      if (alignment > 8) {
        size_t at = (out.size() + headerSize + alignment - 1) / alignment * alignment - headerSize;
        if (at > out.size() && at - out.size() < sizeof(EFI_FFS_FILE_HEADER)) {
          at += alignment;
        }
        if (at > out.size()) {
          const Bytes pad(at - out.size() - sizeof(EFI_FFS_FILE_HEADER), erased);
          Append(out, WriteFile(MakeGuid("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF"), EFI_FV_FILETYPE_PAD, 0, false, pad,
                                ready));
        }
      }
      uint8_t attributes = static_cast<uint8_t>(file.alignmentIndex << 3);
      if (file.checksumData) {
        attributes |= FFS_ATTRIB_CHECKSUM;
      }
      uint8_t bits = kReadyBits;
      if (file.state == File::State::kMarkedForUpdate) {
        bits |= EFI_FILE_MARKED_FOR_UPDATE;
      } else if (file.state == File::State::kDeleted) {
        bits |= EFI_FILE_DELETED;
      } else if (file.state == File::State::kHeaderOnly) {
        bits = EFI_FILE_HEADER_CONSTRUCTION | EFI_FILE_HEADER_VALID;
      }
      const EFI_GUID name =
          file.type == EFI_FV_FILETYPE_PAD ? MakeGuid("FFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF") : file.name;
      Append(out,
             WriteFile(name, file.type, attributes, file.largeHeader, data, ReadyStateFor(volume.erasePolarity, bits)));
    }
    out.resize((out.size() + 7) & ~size_t{7}, erased);
    const size_t used = out.size();
    out.resize(out.size() + volume.freeSpace, erased);
    const size_t length =
        std::max<size_t>((out.size() + volume.blockSize - 1) / volume.blockSize, 2) * volume.blockSize;
    out.resize(length, erased);

    if (usedSizeAt != 0) {
      Put(out, extOffset + usedSizeAt, used, 4);
      if (volume.ext == Volume::Ext::kInPadFile && volume.padHolderChecksum) {
        const size_t dataAt = holderAt + sizeof(EFI_FFS_FILE_HEADER);
        out[holderAt + 17] = static_cast<uint8_t>(0x100 - Sum8({out.data() + dataAt, ext.size()}));
      }
    }
    // The header over what is now known.
    std::fill(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(headerLength), 0);
    std::memcpy(out.data() + 16, &fileSystem, sizeof fileSystem);
    const size_t written = Length(length);
    Put(out, 32, written, 8);
    Put(out, 40, EFI_FVH_SIGNATURE, 4);
    // Readable, writable and lockable, as memory-mapped flash commonly is.
    uint32_t attributes = 0x0000FEFF & ~EFI_FVB2_ERASE_POLARITY;
    if (volume.erasePolarity) {
      attributes |= EFI_FVB2_ERASE_POLARITY;
    }
    attributes |= uint32_t{volume.alignmentLog2} << 16;
    if (volume.weakAlignment) {
      attributes |= EFI_FVB2_WEAK_ALIGNMENT;
    }
    Put(out, 44, attributes, 4);
    Put(out, 48, headerLength, 2);
    Put(out, 52, extOffset, 2);
    out[55] = EFI_FVH_REVISION;
    const size_t blocks = length / volume.blockSize;
    if (volume.twoBlockEntries) {
      Put(out, 56, 1, 4);
      Put(out, 60, volume.blockSize, 4);
      Put(out, 64, blocks - 1, 4);
      Put(out, 68, volume.blockSize, 4);
    } else {
      Put(out, 56, blocks, 4);
      Put(out, 60, volume.blockSize, 4);
    }
    Put(out, 50, static_cast<uint16_t>(0x10000 - Sum16({out.data(), headerLength})), 2);
    return out;
  }

  Bytes FileData(const File& file, const Volume& volume) {
    if (file.type == EFI_FV_FILETYPE_PAD) {
      if (file.padWithData) {
        return file.raw;
      }
      return Bytes(file.raw.size(), volume.erasePolarity ? 0xFF : 0x00);
    }
    if (!HasSections(file.type)) {
      return file.raw;
    }
    return WriteStream(file.sections);
  }

  Bytes WriteStream(const std::vector<Section>& stream) {
    Bytes out;
    for (const Section& section : stream) {
      out.resize((out.size() + 3) & ~size_t{3}, 0);
      Append(out, WriteSection(section));
    }
    return out;
  }

  Bytes WriteSection(const Section& section) {
    Bytes body;
    switch (section.kind) {
      case Section::Kind::kLeaf:
        body = section.body;
        break;
      case Section::Kind::kVolume:
        body = WriteVolume(*section.volume);
        break;
      case Section::Kind::kLzma:
      case Section::Kind::kOtherGuid: {
        const bool lzma = section.kind == Section::Kind::kLzma;
        EFI_GUID guid = gLzmaCustomDecompressGuid;
        if (!lzma) {
          guid.Data1 ^= 0x0F0F0F0F;
        }
        AppendGuid(body, guid);
        const size_t headerSize = section.largeHeader ? 8 : 4;
        const size_t dataOffset = headerSize + 20 + section.guidHeaderData.size();
        body.insert(body.end(), {static_cast<uint8_t>(dataOffset), static_cast<uint8_t>(dataOffset >> 8),
                                 EFI_GUIDED_SECTION_PROCESSING_REQUIRED, 0});
        Append(body, section.guidHeaderData);
        Append(body,
               lzma ? PackLzma(WriteStream(section.stream), section.lzmaProperties, section.dictionary) : section.body);
        break;
      }
    }
    const bool large = section.largeHeader || 4 + body.size() >= 0xFFFFFF;
    Bytes out(large ? 8 : 4, 0);
    const size_t size = Length(out.size() + body.size());
    if (large) {
      Put(out, 0, 0xFFFFFF, 3);
      Put(out, 4, size, 4);
    } else {
      Put(out, 0, size, 3);
    }
    out[3] = section.type;
    Append(out, body);
    return out;
  }

  Fault fault_;
  size_t lengths_ = 0;
  uint32_t volumes_ = 0;
};

// ---------------------------------------------------------------------------
// An independent reader
// ---------------------------------------------------------------------------

// A live firmware file as the reader found it.
struct FoundFile {
  size_t topOffset;  // of the top-level volume it is in, in the image
  size_t topLength;
  size_t offset;        // in its own volume
  size_t volumeLength;  // of its own volume
  bool erasePolarity;
  bool volumeHoldsDxe;  // the volume holds a live DXE core or driver
  size_t liveWithName;  // live files of its name in its volume, itself included
  Bytes bytes;          // the whole file
};

// Walks every volume of an image, through volume-image files, volume-image
// sections and LZMA sections, and collects the live files named name. Every
// read is bounds-checked; what does not parse is not descended into.
class Reader {
 public:
  explicit Reader(const EFI_GUID& name) : name_(name) {}

  std::vector<FoundFile> Find(std::span<const uint8_t> image) {
    for (size_t offset = 0; offset + 64 <= image.size(); offset += 8) {
      if (Le(image, offset + 40, 4) != EFI_FVH_SIGNATURE) {
        continue;
      }
      const size_t length = VolumeLength(image.subspan(offset));
      if (length == 0) {
        continue;
      }
      top_ = {offset, length};
      Volume(image.subspan(offset, length), 0);
      offset += ((length + 7) & ~size_t{7}) - 8;
    }
    return found_;
  }

 private:
  static uint64_t Le(std::span<const uint8_t> bytes, size_t at, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
      value |= uint64_t{bytes[at + i]} << (8 * i);
    }
    return value;
  }

  // The length of the volume that starts bytes, or 0 if its header is not one.
  static size_t VolumeLength(std::span<const uint8_t> bytes) {
    if (bytes.size() < 72 || Le(bytes, 40, 4) != EFI_FVH_SIGNATURE) {
      return 0;
    }
    const uint64_t length = Le(bytes, 32, 8);
    const size_t headerLength = Le(bytes, 48, 2);
    if (length > bytes.size() || headerLength < 72 || headerLength > length || Sum16(bytes.first(headerLength)) != 0) {
      return 0;
    }
    return static_cast<size_t>(length);
  }

  void Volume(std::span<const uint8_t> volume, size_t depth) {
    if (depth > 16) {
      return;
    }
    EFI_GUID fileSystem{};
    std::memcpy(&fileSystem, volume.data() + 16, sizeof fileSystem);
    const bool ffs3 = SameGuid(fileSystem, gEfiFirmwareFileSystem3Guid);
    if (!ffs3 && !SameGuid(fileSystem, gEfiFirmwareFileSystem2Guid)) {
      return;
    }
    const bool polarity = (Le(volume, 44, 4) & EFI_FVB2_ERASE_POLARITY) != 0;
    const uint8_t erased = polarity ? 0xFF : 0x00;
    size_t offset = (Le(volume, 48, 2) + 7) & ~size_t{7};
    const size_t extOffset = Le(volume, 52, 2);
    if (extOffset != 0 && extOffset + 20 <= volume.size()) {
      // Files start after the extended header, wherever it lies (firmware
      // does not look at the pad file that may hold it).
      offset = (extOffset + Le(volume, extOffset + 16, 4) + 7) & ~size_t{7};
    }
    struct Live {
      size_t offset;
      size_t size;
      size_t headerSize;
      uint8_t type;
      EFI_GUID name;
    };
    std::vector<Live> files;
    while (offset + 24 <= volume.size()) {
      const auto header = volume.subspan(offset, 24);
      if (std::all_of(header.begin(), header.end(), [&](uint8_t b) { return b == erased; })) {
        break;
      }
      size_t headerSize = 24;
      uint64_t size = Le(volume, offset + 20, 3);
      if (ffs3 && (volume[offset + 19] & FFS_ATTRIB_LARGE_FILE) != 0) {
        if (offset + 32 > volume.size()) {
          return;
        }
        headerSize = 32;
        size = Le(volume, offset + 24, 8);
      }
      if (size < headerSize || size > volume.size() - offset) {
        return;
      }
      const uint8_t state = polarity ? static_cast<uint8_t>(~volume[offset + 23]) : volume[offset + 23];
      if ((state & EFI_FILE_DATA_VALID) != 0 && (state & EFI_FILE_DELETED) == 0) {
        EFI_GUID name{};
        std::memcpy(&name, volume.data() + offset, sizeof name);
        files.push_back({offset, static_cast<size_t>(size), headerSize, volume[offset + 18], name});
      }
      offset = (offset + static_cast<size_t>(size) + 7) & ~size_t{7};
    }
    const bool holdsDxe = std::any_of(files.begin(), files.end(), [](const Live& f) {
      return f.type == EFI_FV_FILETYPE_DXE_CORE || f.type == EFI_FV_FILETYPE_DRIVER;
    });
    const auto named = static_cast<size_t>(std::count_if(files.begin(), files.end(), [&](const Live& f) {
      return f.type != EFI_FV_FILETYPE_PAD && SameGuid(f.name, name_);
    }));
    for (const Live& file : files) {
      if (file.type != EFI_FV_FILETYPE_PAD && SameGuid(file.name, name_)) {
        const auto bytes = volume.subspan(file.offset, file.size);
        found_.push_back({top_.offset, top_.length, file.offset, volume.size(), polarity, holdsDxe, named,
                          Bytes(bytes.begin(), bytes.end())});
      }
      if (file.type == EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE) {
        Stream(volume.subspan(file.offset + file.headerSize, file.size - file.headerSize), depth + 1);
      }
    }
  }

  void Stream(std::span<const uint8_t> stream, size_t depth) {
    if (depth > 16) {
      return;
    }
    for (size_t offset = 0; offset + 4 <= stream.size(); offset = (offset + 3) & ~size_t{3}) {
      size_t headerSize = 4;
      uint64_t size = Le(stream, offset, 3);
      if (size == 0xFFFFFF) {
        if (offset + 8 > stream.size()) {
          return;
        }
        headerSize = 8;
        size = Le(stream, offset + 4, 4);
      }
      if (size < headerSize || size > stream.size() - offset) {
        return;
      }
      const auto section = stream.subspan(offset, static_cast<size_t>(size));
      const uint8_t type = stream[offset + 3];
      if (type == EFI_SECTION_FIRMWARE_VOLUME_IMAGE) {
        const auto body = section.subspan(headerSize);
        const size_t length = VolumeLength(body);
        if (length != 0) {
          Volume(body.first(length), depth + 1);
        }
      } else if (type == EFI_SECTION_GUID_DEFINED && section.size() >= headerSize + 20) {
        EFI_GUID guid{};
        std::memcpy(&guid, section.data() + headerSize, sizeof guid);
        const size_t dataOffset = Le(section, headerSize + 16, 2);
        if (SameGuid(guid, gLzmaCustomDecompressGuid) && dataOffset <= section.size()) {
          try {
            const Bytes unpacked = tools::ffs::LzmaDecompress(section.subspan(dataOffset), size_t{16} << 20);
            Stream(unpacked, depth + 1);
          } catch (const tools::ffs::PackageError&) {
          }
        }
      }
      offset += static_cast<size_t>(size);
    }
  }

  EFI_GUID name_;
  struct {
    size_t offset;
    size_t length;
  } top_{};
  std::vector<FoundFile> found_;
};

}  // namespace ftpm::fuzz::fvtree
