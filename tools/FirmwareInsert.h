// Inserting firmware files into the DXE volume of a firmware image, as an
// integrator does with a firmware editor. The volume may lie in the image
// itself or inside LZMA-compressed GUID-defined sections of volume-image
// files, as OVMF's does. No file moves: the new files go into the DXE
// volume's free space, and only the containers on the way to it change their
// sizes and checksums. Every volume keeps its size, and so does the image.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/Ffs.h"

namespace ftpm::tools::ffs {

// Bounds on what a hostile image can make insert read and unpack. An image
// that needs more is refused; none of them is near what firmware builds make
// (OVMF: 4 levels, about 1,000 items, 12 MiB unpacked).
struct InsertLimits {
  // Volumes and encapsulation sections (volume-image, LZMA) inside one
  // another.
  size_t depth = 16;
  // Volumes, files and sections read, so that the tree of an image stays
  // small whatever its bytes.
  size_t items = size_t{1} << 16;
  uint64_t unpackedSection = uint64_t{256} << 20;
  // All LZMA sections of the image together.
  uint64_t unpackedTotal = uint64_t{512} << 20;
};

struct InsertOptions {
  // A file whose name is already in the volume replaces the old one, which
  // becomes a pad file of its size (free space when it was the last file),
  // so that no other file moves and every file keeps its alignment.
  bool replace = false;
  InsertLimits limits{};
};

struct InsertedFile {
  EFI_GUID name;
  EFI_FV_FILETYPE type;
  std::string uiName;  // empty when the file has no user-interface section
  size_t offset;       // in the DXE volume
  size_t size;
  size_t padding;  // bytes of pad files placed before it for its data alignment
  bool replaced;
};

// An LZMA section on the way to the DXE volume.
struct RecompressedSection {
  size_t oldSize;  // of its LZMA data
  size_t newSize;
  size_t unpackedSize;
};

struct InsertResult {
  Bytes image;  // as large as the input
  std::vector<InsertedFile> files;
  // Which volume was taken and why, and where it lies.
  std::string volume;
  bool ffs3;
  uint64_t volumeSize;
  size_t freeBefore;
  size_t freeAfter;
  std::vector<RecompressedSection> recompressed;  // innermost first
};

// The DXE volume is the one that holds the DXE core or, when none does, the
// only one that holds DXE drivers. files are checked as CheckFfsFile does and
// must carry distinct names. The new image is read back before it is
// returned.
InsertResult InsertFiles(std::span<const uint8_t> image, std::span<const Bytes> files, const InsertOptions& options);

}  // namespace ftpm::tools::ffs
