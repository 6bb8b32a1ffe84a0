// Fuzz target: `insert` into firmware images that are valid at every level.
// The input is decoded into a volume tree (FvTreeFuzz.h) and written with
// right checksums, lengths and alignment, so that mutations reach the volume
// search, the rebuilding of every container on the way to the DXE volume and
// the LZMA recompression, not only the header checks.
//
// Input: a flag byte, then the bytes.
//   0x80 to 0x83: the old raw form. The bytes are the image (bit 1 clear) or
//     the unpacked stream of an LZMA section, which the target packs into a
//     volume-image file of an outer volume (bit 1 set); bit 0: --replace.
//   anything else: the bytes are a tree.
//     bit 0: --replace.
//     bits 1 and 5 both set: no repairs (see Repair): the tree as decoded,
//       which may hold no DXE volume, several, or no room on the way to it;
//       bit 5 alone: a second file (an application) goes in too.
//     bits 2 and 6 both set: one fault, which two more bytes say (a byte
//       flipped in the image written, or a length field off by a few).
//     bits 3, 4 and 7: which form of the driver is inserted (its data
//       alignment, its checksum, its header); 0x78 under the mask 0x7E: the
//       driver is given twice.
//   So most inputs are valid images into which the file goes.
//
// Checked on every input: the insert either refuses with a PackageError or
// returns an image that
//   - has the input's size;
//   - holds each file, byte for byte but for its state, at the offset the
//     result reports, live, once, in a volume with DXE files, its data aligned
//     as its attributes ask: found by the reader of FvTreeFuzz.h, which walks
//     volumes, volume-image files and sections and unpacks LZMA sections
//     itself;
//   - differs from the input only inside the top-level volume that holds the
//     file;
//   - takes a second insert of the same file with --replace, whose result
//     holds the file once as well.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/Guids.h"
#include "tests/fuzz/FvTreeFuzz.h"
#include "tools/Ffs.h"
#include "tools/FirmwareInsert.h"
#include "tools/Lzma.h"

namespace {

namespace fv = ftpm::fuzz::fvtree;
using ftpm::tools::ffs::InsertFiles;
using ftpm::tools::ffs::InsertResult;
using ftpm::tools::ffs::PackageError;
using fv::Bytes;

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_insert: %s\n", what);
    std::abort();
  }
}

// With FUZZ_INSERT_STATS set, the share of inputs inserted is printed at exit.
struct Stats {
  size_t inputs = 0;
  size_t inserted = 0;
  Stats() {
    if (std::getenv("FUZZ_INSERT_STATS") != nullptr) {
      std::atexit(
          [] { std::fprintf(stderr, "fuzz_insert: %zu of %zu inputs inserted\n", stats.inserted, stats.inputs); });
    }
  }
  static Stats stats;
};
Stats Stats::stats;

struct Inserted {
  Bytes bytes;
  uint64_t alignment;
  bool large;
};

Bytes Sections(bool depex) {
  Bytes data;
  const auto section = [&](uint8_t type, const Bytes& body) {
    data.resize((data.size() + 3) & ~size_t{3}, 0);
    const size_t size = 4 + body.size();
    data.insert(data.end(),
                {static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size >> 16), type});
    data.insert(data.end(), body.begin(), body.end());
  };
  if (depex) {
    section(EFI_SECTION_DXE_DEPEX, {EFI_DEP_FALSE, EFI_DEP_END});
  }
  Bytes image(depex ? 0x41 : 0x1A1);
  for (size_t i = 0; i < image.size(); ++i) {
    image[i] = static_cast<uint8_t>(i * 37 + 11);
  }
  section(EFI_SECTION_PE32, image);
  section(EFI_SECTION_USER_INTERFACE, {'F', 0, 'u', 0, 'z', 0, 'z', 0, 0, 0});
  return data;
}

// The driver to insert, in eight forms: data alignment 8 or 16 bytes, data
// checksum or the fixed one, the common or the large-file header.
const Inserted& FileToInsert(unsigned variant) {
  static const std::vector<Inserted> files = [] {
    std::vector<Inserted> out;
    for (unsigned v = 0; v < 8; ++v) {
      uint8_t attributes = (v & 1) != 0 ? uint8_t{1 << 3} : uint8_t{0};  // 16-byte data alignment
      if ((v & 2) == 0) {
        attributes |= FFS_ATTRIB_CHECKSUM;
      }
      const bool large = (v & 4) != 0;
      out.push_back({fv::Writer({}).WriteFile(gFtpmRecoveryDxeFileGuid, EFI_FV_FILETYPE_DRIVER, attributes, large,
                                              Sections(true), fv::ReadyStateFor(true, fv::kReadyBits)),
                     (v & 1) != 0 ? 16u : 8u, large});
    }
    return out;
  }();
  return files[variant & 7];
}

// A second file to insert with it: an application, for erase polarity 0.
const Inserted& SecondFile() {
  static const Inserted file = [] {
    EFI_GUID name = gFtpmRecoveryDxeFileGuid;
    name.Data1 ^= 1;
    return Inserted{fv::Writer({}).WriteFile(name, EFI_FV_FILETYPE_APPLICATION, FFS_ATTRIB_CHECKSUM, false,
                                             Sections(false), fv::ReadyStateFor(false, fv::kReadyBits)),
                    8, false};
  }();
  return file;
}

// The old raw form's wrapping: the stream LZMA-packed in a volume-image file
// of a volume with room to grow.
Bytes Wrapped(const uint8_t* data, size_t size) {
  using namespace ftpm::tools::ffs;
  const Bytes stream(data, data + size);
  const Bytes section = MakeGuidDefinedSection(gLzmaCustomDecompressGuid, EFI_GUIDED_SECTION_PROCESSING_REQUIRED, {},
                                               LzmaCompress(stream, 0x5D, 1u << 16));
  const Bytes file = BuildFfsFile({gFtpmRecoveryDxeFileGuid, EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE, false, {section}});
  Bytes volume = BuildFirmwareVolume(std::span<const Bytes>(&file, 1));
  volume.resize(volume.size() + 0x2000, 0xFF);
  return volume;
}

// strict: the tree is one the insert must take: repaired, no fault, no bytes
// between the volumes, no pad file with data, LZMA sections at most two deep,
// no file given twice, --replace.
Bytes TreeImage(uint8_t flags, const uint8_t* data, size_t size, const std::vector<const Inserted*>& files,
                bool& strict) {
  fv::Source in(data, size);
  fv::Fault fault;
  uint16_t flip = 0;
  if ((flags & 0x44) == 0x44) {
    const uint8_t which = in.Byte();
    const uint8_t how = in.Byte();
    if ((how & 0x80) != 0) {
      flip = static_cast<uint16_t>(which << 8 | how);
    } else {
      static constexpr int kDeltas[8] = {-8, -4, -1, 1, 2, 4, 8, 0x18};
      fault = {which, kDeltas[how & 7]};
    }
  }
  fv::Image tree = fv::Decoder(in).DecodeImage();
  if ((flags & 0x22) != 0x22) {
    uint64_t alignment = 8;
    bool large = false;
    for (const Inserted* file : files) {
      alignment = std::max(alignment, file->alignment);
      large = large || file->large;
    }
    fv::Repair(alignment, large).Run(tree);
  }
  strict = (flags & 0x22) != 0x22 && (flags & 0x44) != 0x44 && (flags & 1) != 0 && !tree.garbage &&
           !tree.padsWithData && !tree.deepNesting && (flags & 0x66) != 0x60;
  std::vector<fv::Writer::Placed> placed;
  Bytes image = fv::Writer(fault).WriteImage(tree, placed);
  if (flip != 0 && !image.empty()) {
    const size_t at = (flip & 0x7FFF) * size_t{61} % image.size();
    image[at] ^= static_cast<uint8_t>(1u << (flip >> 8 & 7));
  }
  return image;
}

// The file as the reader finds it where the result says it lies.
fv::FoundFile FindInserted(std::span<const uint8_t> image, const Inserted& file, size_t offset) {
  EFI_GUID name{};
  std::memcpy(&name, file.bytes.data(), sizeof name);
  const std::vector<fv::FoundFile> found = fv::Reader(name).Find(image);
  const auto same = [&](const Bytes& bytes) {
    return bytes.size() == file.bytes.size() && std::equal(bytes.begin(), bytes.begin() + 23, file.bytes.begin()) &&
           std::equal(bytes.begin() + 24, bytes.end(), file.bytes.begin() + 24);
  };
  const fv::FoundFile* match = nullptr;
  for (const fv::FoundFile& f : found) {
    if (f.offset == offset && f.volumeHoldsDxe && (match == nullptr || same(f.bytes))) {
      match = &f;
    }
  }
  Check(match != nullptr, "the reader finds no file of the inserted name at the reported offset of a DXE volume");
  const Bytes& bytes = match->bytes;
  Check(same(bytes), "the inserted file's bytes differ from the file given");
  Check(bytes[23] == fv::ReadyStateFor(match->erasePolarity, fv::kReadyBits),
        "the inserted file's state is not ready for its volume's erase polarity");
  Check(match->liveWithName == 1, "the DXE volume holds the inserted name more than once");
  Check((offset + (file.large ? 32 : 24)) % file.alignment == 0, "the inserted file's data lost its alignment");
  return *match;
}

// Where an input's image, files and result are written for other tools
// (FUZZ_INSERT_DUMP=PATH: PATH.input, PATH, PATH.file0, ..., PATH.out), or,
// for running the tool on many inputs in one process
// (tests/fuzz/check_insert_cli.py), FUZZ_INSERT_DUMP_DIR=DIR: DIR/N.image
// and so on for the Nth run of the target.
std::string DumpPrefix() {
  static unsigned runs = 0;
  if (const char* dir = std::getenv("FUZZ_INSERT_DUMP_DIR")) {
    return std::string(dir) + "/" + std::to_string(runs++) + ".image";
  }
  const char* dump = std::getenv("FUZZ_INSERT_DUMP");
  return dump != nullptr ? dump : "";
}

// Writes bytes to the input's dump prefix followed by suffix, when there is one.
bool Dump(const std::string& prefix, const std::string& suffix, const Bytes& bytes) {
  if (prefix.empty()) {
    return false;
  }
  if (FILE* out = std::fopen((prefix + suffix).c_str(), "wb")) {
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string dump = DumpPrefix();
  Dump(dump, ".input", Bytes(data, data + size));
  if (size < 1) {
    return 0;
  }
  const uint8_t flags = data[0];
  ++data;
  --size;
  const bool raw = (flags & 0xFC) == 0x80;
  std::vector<const Inserted*> inserted{&FileToInsert(raw ? 0 : (flags >> 3 & 3) | (flags >> 5 & 4))};
  if (!raw && (flags & 0x22) == 0x20) {
    inserted.push_back(&SecondFile());
  }
  if (!raw && (flags & 0x7E) == 0x78) {
    inserted.push_back(inserted.front());  // given twice: refused
  }
  Bytes image;
  bool strict = false;
  try {
    image = raw ? ((flags & 2) != 0 ? Wrapped(data, size) : Bytes(data, data + size))
                : TreeImage(flags, data, size, inserted, strict);
  } catch (const PackageError&) {
    return 0;  // the raw form's stream does not fit a section
  }
  // The image, each file to insert and, once inserted, the result.
  Dump(dump, "", image);
  std::vector<Bytes> files;
  size_t total = 0;
  for (const Inserted* file : inserted) {
    Dump(dump, ".file" + std::to_string(files.size()), file->bytes);
    files.push_back(file->bytes);
    total += file->bytes.size();
  }
  ++Stats::stats.inputs;
  InsertResult result;
  try {
    result = InsertFiles(image, files, {(flags & 1) != 0});
  } catch (const PackageError& error) {
    if (std::getenv("FUZZ_INSERT_STATS") != nullptr) {
      std::fprintf(stderr, "fuzz_insert: refused (flags %02X): %s\n", flags, error.what());
    }
    if (strict) {
      std::fprintf(stderr, "fuzz_insert: %s\n", error.what());
      Check(false, "a valid image with room for the file is refused");
    }
    return 0;
  }
  ++Stats::stats.inserted;
  if (Dump(dump, ".out", result.image)) {
    std::fprintf(stderr, "fuzz_insert: inserted at %zu of %s\n", result.files[0].offset, result.volume.c_str());
  }
  Check(result.image.size() == image.size(), "the image changed its size");
  Check(result.files.size() == inserted.size(), "the report lost a file");
  Check(result.freeAfter + total <= result.volumeSize, "free space larger than the volume");

  // All files lie in one top-level volume; nothing outside it changes.
  size_t begin = SIZE_MAX;
  size_t end = 0;
  for (size_t i = 0; i < inserted.size(); ++i) {
    Check(result.files[i].size == inserted[i]->bytes.size(), "the report gives a file another size");
    const fv::FoundFile found = FindInserted(result.image, *inserted[i], result.files[i].offset);
    Check(begin == SIZE_MAX || begin == found.topOffset, "the files went into different volumes");
    begin = found.topOffset;
    end = found.topOffset + found.topLength;
  }
  Check(std::equal(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(begin), result.image.begin()) &&
            std::equal(image.begin() + static_cast<std::ptrdiff_t>(end), image.end(),
                       result.image.begin() + static_cast<std::ptrdiff_t>(end)),
        "bytes outside the rebuilt top-level volume changed");

  InsertResult again;
  try {
    again = InsertFiles(result.image, files, {true});
  } catch (const PackageError& error) {
    std::fprintf(stderr, "fuzz_insert: %s\n", error.what());
    Check(false, "the rebuilt image does not take the file again with --replace");
  }
  Check(again.image.size() == image.size(), "the second insert changed the image's size");
  Check(again.files.size() == inserted.size(), "the second insert lost a file");
  for (size_t i = 0; i < inserted.size(); ++i) {
    Check(again.files[i].replaced, "the second insert did not replace the file");
    FindInserted(again.image, *inserted[i], again.files[i].offset);
  }
  return 0;
}
