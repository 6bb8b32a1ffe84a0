// Inserting files into the DXE volume of images the tests build themselves:
// a plain volume, OVMF's layout (the DXE volume inside an LZMA section of a
// volume-image file, next to a PEI volume), both erase polarities, FFSv3,
// alignment, replacement, the used-size entry, and every refusal.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include <lzma.h>

#include "platform/FirmwareVolume.h"
#include "platform/Guids.h"
#include "tools/Ffs.h"
#include "tools/FirmwareInsert.h"
#include "tools/Lzma.h"

namespace ftpm::tools::ffs {
namespace {

constexpr EFI_GUID kDxeCoreGuid = MakeGuid("D6A2CB7F-6A18-4E2F-B43B-9920A733700A");
constexpr EFI_GUID kOldDriverGuid = MakeGuid("11111111-2222-3333-4444-555555555555");
constexpr EFI_GUID kLastDriverGuid = MakeGuid("11111111-2222-3333-4444-666666666666");
constexpr EFI_GUID kNewGuid = MakeGuid("45FE3E99-C7A4-4918-B123-914F98F78C8B");
constexpr EFI_GUID kSecondGuid = MakeGuid("6A1E2F3D-4C5B-4A69-8877-665544332211");
constexpr EFI_GUID kPeimGuid = MakeGuid("9B3ADA4F-AE56-4C24-8DEA-F03B7558AE50");
constexpr EFI_GUID kOuterFileGuid = MakeGuid("9E21FD93-9C72-4C15-8C4B-E77F1DB2D792");
constexpr EFI_GUID kOuterName = MakeGuid("48DB5E17-707C-472D-91CD-1613E7EF51B0");
constexpr EFI_GUID kPeiName = MakeGuid("6938079B-B503-4E3D-9D24-B28337A25806");
constexpr EFI_GUID kDxeName = MakeGuid("7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1");
constexpr uint8_t kLzmaProperties = 0x5D;
constexpr uint32_t kLzmaDictionary = 1u << 16;

Bytes Pattern(size_t size, uint8_t seed) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 7));
  }
  return bytes;
}

Bytes Slice(std::span<const uint8_t> bytes, size_t offset, size_t size) {
  const auto part = bytes.subspan(offset, size);
  return Bytes(part.begin(), part.end());
}

// A DXE driver file: depex, image and name sections.
Bytes Driver(const EFI_GUID& guid, size_t imageSize, const std::string& name = "Driver", uint8_t seed = 1) {
  return BuildFfsFile({guid,
                       EFI_FV_FILETYPE_DRIVER,
                       true,
                       {MakeSection(EFI_SECTION_DXE_DEPEX, CompileDepex("TRUE")),
                        MakeSection(EFI_SECTION_PE32, Pattern(imageSize, seed)), MakeUserInterfaceSection(name)}});
}

Bytes DxeCore() {
  return BuildFfsFile({kDxeCoreGuid,
                       EFI_FV_FILETYPE_DXE_CORE,
                       true,
                       {MakeSection(EFI_SECTION_PE32, Pattern(0x300, 7)), MakeUserInterfaceSection("DxeCore")}});
}

// A file whose data asks for 2^log2-byte alignment.
Bytes AlignedFile(const EFI_GUID& guid, unsigned log2, size_t dataSize = 0x40) {
  EFI_FFS_FILE_HEADER fields{};
  fields.Name = guid;
  fields.Type = EFI_FV_FILETYPE_FREEFORM;
  uint8_t index = 0;
  while (log2 > 3 && kFfsDataAlignmentLog2[index] != log2) {
    ++index;
  }
  fields.Attributes = static_cast<uint8_t>(FFS_ATTRIB_CHECKSUM | index << 3);
  fields.State = kFileStateReady;
  return AssembleFile(fields, MakeSection(EFI_SECTION_RAW, Pattern(dataSize - 4, 3)), false);
}

struct VolumeSpec {
  size_t size = 0x4000;
  bool erasePolarity = true;
  bool ffs3 = false;
  unsigned alignmentLog2 = 3;
  std::optional<EFI_GUID> name;  // an extended header in a pad file
  std::optional<uint32_t> usedSize;
  bool checksummedExtPad = false;
};

// A volume laid out as a firmware build lays it out: header, block map, the
// extended header inside a pad file when named, files 8-byte aligned in
// order, the rest erased.
Bytes MakeVolume(const std::vector<Bytes>& files, const VolumeSpec& spec = {}) {
  const uint8_t erased = spec.erasePolarity ? 0xFF : 0x00;
  Bytes volume(spec.size, erased);
  std::fill(volume.begin(), volume.begin() + 72, 0);
  EFI_FIRMWARE_VOLUME_HEADER header{};
  header.FileSystemGuid = spec.ffs3 ? gEfiFirmwareFileSystem3Guid : gEfiFirmwareFileSystem2Guid;
  header.FvLength = spec.size;
  header.Signature = EFI_FVH_SIGNATURE;
  header.Attributes = EFI_FVB2_READ_STATUS | EFI_FVB2_MEMORY_MAPPED |
                      (spec.erasePolarity ? EFI_FVB2_ERASE_POLARITY : 0) | spec.alignmentLog2 << 16;
  header.HeaderLength = 72;
  header.Revision = EFI_FVH_REVISION;
  header.BlockMap[0] = spec.size % 0x200 == 0 ? EFI_FV_BLOCK_MAP_ENTRY{static_cast<uint32_t>(spec.size / 0x200), 0x200}
                                              : EFI_FV_BLOCK_MAP_ENTRY{1, static_cast<uint32_t>(spec.size)};
  size_t offset = 72;
  if (spec.name) {
    Bytes ext(sizeof(EFI_FIRMWARE_VOLUME_EXT_HEADER));
    EFI_FIRMWARE_VOLUME_EXT_HEADER extHeader{*spec.name, 20};
    if (spec.usedSize) {
      extHeader.ExtHeaderSize = 28;
      const EFI_FIRMWARE_VOLUME_EXT_ENTRY_USED_SIZE_TYPE entry{{8, EFI_FV_EXT_TYPE_USED_SIZE_TYPE}, *spec.usedSize};
      ext.resize(28);
      std::memcpy(ext.data() + 20, &entry, sizeof entry);
    }
    std::memcpy(ext.data(), &extHeader, sizeof extHeader);
    EFI_FFS_FILE_HEADER pad{};
    std::memset(&pad.Name, 0xFF, sizeof pad.Name);
    pad.Type = EFI_FV_FILETYPE_PAD;
    pad.Attributes = spec.checksummedExtPad ? FFS_ATTRIB_CHECKSUM : 0;
    pad.State = ReadyState(spec.erasePolarity);
    const Bytes padFile = AssembleFile(pad, ext, false);
    std::copy(padFile.begin(), padFile.end(), volume.begin() + 72);
    header.ExtHeaderOffset = 72 + 24;
    offset = 72 + padFile.size();
  }
  for (const Bytes& file : files) {
    offset = (offset + 7) & ~size_t{7};
    std::copy(file.begin(), file.end(), volume.begin() + static_cast<long>(offset));
    volume[offset + 23] = ReadyState(spec.erasePolarity);
    offset += file.size();
  }
  std::memcpy(volume.data(), &header, sizeof header);
  const EFI_FV_BLOCK_MAP_ENTRY terminator{0, 0};
  std::memcpy(volume.data() + 64, &terminator, sizeof terminator);
  header.Checksum = Checksum16({volume.data(), 72});
  std::memcpy(volume.data(), &header, sizeof header);
  return volume;
}

Bytes LzmaSection(const Bytes& stream) {
  return MakeGuidDefinedSection(gLzmaCustomDecompressGuid, EFI_GUIDED_SECTION_PROCESSING_REQUIRED, {},
                                LzmaCompress(stream, kLzmaProperties, kLzmaDictionary));
}

Bytes VolumeImageFile(const std::vector<Bytes>& sections) {
  return BuildFfsFile({kOuterFileGuid, EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE, false, sections});
}

Bytes Concatenate(const std::vector<Bytes>& sections) {
  Bytes stream;
  for (const Bytes& section : sections) {
    stream.resize((stream.size() + 3) & ~size_t{3}, 0);
    stream.insert(stream.end(), section.begin(), section.end());
  }
  return stream;
}

// OVMF's layout in small: an outer volume whose volume-image file holds an
// LZMA section; unpacked, a raw section, the PEI volume and the DXE volume.
struct NestedImage {
  Bytes pei = MakeVolume(
      {BuildFfsFile({kPeimGuid, EFI_FV_FILETYPE_PEIM, true, {MakeSection(EFI_SECTION_PE32, Pattern(0x200, 9))}})},
      {.size = 0x1000, .name = kPeiName});
  Bytes dxe = MakeVolume({DxeCore(), Driver(kOldDriverGuid, 0x180, "Old"), Driver(kLastDriverGuid, 0x100, "Last")},
                         {.size = 0x8000, .alignmentLog2 = 4, .name = kDxeName});
  Bytes stream =
      Concatenate({MakeSection(EFI_SECTION_RAW, Bytes(0x78, 0)), MakeSection(EFI_SECTION_FIRMWARE_VOLUME_IMAGE, pei),
                   MakeSection(EFI_SECTION_FIRMWARE_VOLUME_IMAGE, dxe)});
  Bytes image = MakeVolume({VolumeImageFile({LzmaSection(stream)})}, {.size = 0x10000, .name = kOuterName});
};

// The unpacked stream and the DXE volume inside an image built like
// NestedImage, read with the library's readers.
struct Unpacked {
  LzmaHeader lzma;
  Bytes stream;
  Bytes dxe;
  Bytes pei;
};

Unpacked Unpack(std::span<const uint8_t> image) {
  const VolumeLayout outer = ReadVolume(image);
  const FileEntry& file = outer.files.at(0);
  EXPECT_TRUE(SameGuid(file.header.Name, kOuterFileGuid));
  const auto data = image.subspan(file.offset + file.headerSize, file.size - file.headerSize);
  const std::vector<SectionEntry> sections = ReadSections(data);
  EXPECT_EQ(sections.size(), 1u);
  const auto section = data.subspan(sections[0].offset, sections[0].size);
  const GuidDefinedSection guided = ReadGuidDefinedSection(section, sections[0]);
  Unpacked unpacked{};
  unpacked.lzma = ReadLzmaHeader(section.subspan(guided.dataOffset));
  unpacked.stream = LzmaDecompress(section.subspan(guided.dataOffset), 1u << 30);
  const std::vector<SectionEntry> inner = ReadSections(unpacked.stream);
  EXPECT_EQ(inner.size(), 3u);
  unpacked.pei = Slice(unpacked.stream, inner.at(1).offset + 4, inner.at(1).size - 4);
  unpacked.dxe = Slice(unpacked.stream, inner.at(2).offset + 4, inner.at(2).size - 4);
  return unpacked;
}

const FileEntry* Find(const VolumeLayout& layout, const EFI_GUID& name) {
  for (const FileEntry& file : layout.files) {
    if (file.Live() && SameGuid(file.header.Name, name)) {
      return &file;
    }
  }
  return nullptr;
}

// The file as it lies in the volume, with its state byte as the input had it.
Bytes FileBytes(const Bytes& volume, const FileEntry& file, uint8_t inputState) {
  Bytes bytes = Slice(volume, file.offset, file.size);
  bytes[23] = inputState;
  return bytes;
}

InsertResult Insert(const Bytes& image, const std::vector<Bytes>& files, bool replace = false) {
  return InsertFiles(image, files, {replace});
}

// The refusal's message contains needle.
void ExpectRefusal(const Bytes& image, const std::vector<Bytes>& files, const std::string& needle,
                   bool replace = false) {
  try {
    Insert(image, files, replace);
    ADD_FAILURE() << "no refusal; expected '" << needle << "'";
  } catch (const PackageError& error) {
    EXPECT_NE(std::string(error.what()).find(needle), std::string::npos) << error.what();
  }
}

// ---------------------------------------------------------------------------
// Layouts

TEST(InsertPlain, FilesGoIntoTheFreeSpaceAndNothingElseChanges) {
  const Bytes image = MakeVolume({Driver(kOldDriverGuid, 0x200)});
  const VolumeLayout before = ReadVolume(image);
  const Bytes first = Driver(kNewGuid, 0x123, "FtpmRecoveryDxe");
  const Bytes second = Driver(kSecondGuid, 0x80, "Second");
  const InsertResult result = Insert(image, {first, second});

  ASSERT_EQ(result.image.size(), image.size());
  const VolumeLayout after = ReadVolume(result.image);
  ASSERT_EQ(after.files.size(), 3u);
  // The old file and everything before the free space are untouched.
  EXPECT_EQ(Slice(result.image, 0, before.freeStart), Slice(image, 0, before.freeStart));
  EXPECT_EQ(after.files[1].offset, before.freeStart);
  EXPECT_EQ(after.files[2].offset, (before.freeStart + first.size() + 7) & ~size_t{7});
  EXPECT_EQ(FileBytes(result.image, after.files[1], first[23]), first);
  EXPECT_EQ(FileBytes(result.image, after.files[2], second[23]), second);
  // Between and after the new files the volume stays erased.
  for (size_t i = after.files[1].End(); i < after.files[2].offset; ++i) {
    EXPECT_EQ(result.image[i], 0xFF) << i;
  }
  EXPECT_EQ(after.freeStart, (after.files[2].End() + 7) & ~size_t{7});

  ASSERT_EQ(result.files.size(), 2u);
  EXPECT_EQ(result.files[0].offset, after.files[1].offset);
  EXPECT_EQ(result.files[0].uiName, "FtpmRecoveryDxe");
  EXPECT_EQ(result.files[0].type, EFI_FV_FILETYPE_DRIVER);
  EXPECT_FALSE(result.files[0].replaced);
  EXPECT_EQ(result.freeBefore, image.size() - before.freeStart);
  EXPECT_EQ(result.freeAfter, image.size() - after.freeStart);
  EXPECT_TRUE(result.recompressed.empty());
  EXPECT_NE(result.volume.find("holds DXE drivers"), std::string::npos) << result.volume;
}

class InsertNested : public ::testing::Test {
 protected:
  NestedImage nested;
  Bytes file = Driver(kNewGuid, 0x400, "FtpmRecoveryDxe", 0x42);
};

TEST_F(InsertNested, TheDxeVolumeInsideTheLzmaSectionGainsTheFile) {
  const InsertResult result = Insert(nested.image, {file});
  ASSERT_EQ(result.image.size(), nested.image.size());
  const Unpacked unpacked = Unpack(result.image);

  // The DXE volume keeps its size and its files; the new one follows them.
  ASSERT_EQ(unpacked.dxe.size(), nested.dxe.size());
  const VolumeLayout before = ReadVolume(nested.dxe);
  const VolumeLayout after = ReadVolume(unpacked.dxe);
  EXPECT_EQ(Slice(unpacked.dxe, 0, before.freeStart), Slice(nested.dxe, 0, before.freeStart));
  const FileEntry* placed = Find(after, kNewGuid);
  ASSERT_NE(placed, nullptr);
  EXPECT_EQ(placed->offset, before.freeStart);
  EXPECT_EQ(FileBytes(unpacked.dxe, *placed, file[23]), file);
  EXPECT_EQ(result.files.at(0).offset, placed->offset);
  // The rest of the unpacked stream is as it was: the PEI volume, the raw
  // section that aligns it, the section headers.
  EXPECT_EQ(unpacked.pei, nested.pei);
  EXPECT_EQ(Slice(unpacked.stream, 0, unpacked.stream.size() - nested.dxe.size()),
            Slice(nested.stream, 0, nested.stream.size() - nested.dxe.size()));

  // Packed again with the section's own properties and dictionary, the real
  // size in the header.
  EXPECT_EQ(unpacked.lzma.properties, kLzmaProperties);
  EXPECT_EQ(unpacked.lzma.dictionarySize, kLzmaDictionary);
  EXPECT_EQ(unpacked.lzma.uncompressedSize, nested.stream.size());
  ASSERT_EQ(result.recompressed.size(), 1u);
  EXPECT_EQ(result.recompressed[0].unpackedSize, nested.stream.size());
  EXPECT_NE(result.volume.find("volume 7CB8BDC9-F8EB-4F34-AAEA-3EE4AF6516A1 in the LZMA section of file "
                               "9E21FD93-9C72-4C15-8C4B-E77F1DB2D792 in volume 48DB5E17-707C-472D-91CD-1613E7EF51B0"),
            std::string::npos)
      << result.volume;
  EXPECT_NE(result.volume.find("it holds the DXE core"), std::string::npos);
}

TEST_F(InsertNested, TheOuterFileGrowsIntoTheFreeSpaceWithItsHeaderRight) {
  const InsertResult result = Insert(nested.image, {file});
  const VolumeLayout before = ReadVolume(nested.image);
  const VolumeLayout after = ReadVolume(result.image);  // checks both checksums of every file
  ASSERT_EQ(after.files.size(), 1u);
  const FileEntry& grown = after.files[0];
  EXPECT_EQ(grown.offset, before.files[0].offset);
  EXPECT_EQ(grown.size - before.files[0].size, result.recompressed[0].newSize - result.recompressed[0].oldSize);
  EXPECT_EQ(result.image[grown.offset + 23], 0xF8);
  // The outer volume's header (and so its checksum) is unchanged, and the
  // section's size field matches the file's.
  EXPECT_EQ(Slice(result.image, 0, 72 + 24 + 20), Slice(nested.image, 0, 72 + 24 + 20));
  const size_t sectionSize =
      result.image[grown.offset + 24] | result.image[grown.offset + 25] << 8 | result.image[grown.offset + 26] << 16;
  EXPECT_EQ(sectionSize, grown.size - 24);
  for (size_t i = grown.End(); i < result.image.size(); ++i) {
    ASSERT_EQ(result.image[i], 0xFF) << i;
  }
}

TEST_F(InsertNested, TheDxeCoreVolumeIsChosenOverAVolumeOfDriversOnly) {
  // A plain volume with drivers ahead of the nested image: the volume with
  // the DXE core still wins.
  Bytes image = MakeVolume({Driver(kSecondGuid, 0x100)}, {.size = 0x2000});
  image.insert(image.end(), nested.image.begin(), nested.image.end());
  const InsertResult result = Insert(image, {file});
  EXPECT_EQ(Slice(result.image, 0, 0x2000), Slice(image, 0, 0x2000));
  EXPECT_NE(Find(ReadVolume(Unpack(std::span(result.image).subspan(0x2000)).dxe), kNewGuid), nullptr);
  EXPECT_NE(result.volume.find("at 0x2000 of the image"), std::string::npos) << result.volume;
}

TEST(InsertLayouts, AVolumeImageSectionWithoutCompression) {
  const Bytes dxe = MakeVolume({DxeCore()}, {.size = 0x2000, .name = kDxeName});
  const Bytes outerFile = VolumeImageFile({MakeSection(EFI_SECTION_FIRMWARE_VOLUME_IMAGE, dxe)});
  const Bytes image = MakeVolume({outerFile}, {.size = 0x4000});
  const Bytes file = Driver(kNewGuid, 0x100);
  const InsertResult result = Insert(image, {file});
  // Nothing changes size: the file and section headers stay as they were.
  const size_t volumeAt = 72 + 24 + 4;
  EXPECT_EQ(Slice(result.image, 0, volumeAt), Slice(image, 0, volumeAt));
  EXPECT_EQ(Slice(result.image, volumeAt + dxe.size(), image.size() - volumeAt - dxe.size()),
            Slice(image, volumeAt + dxe.size(), image.size() - volumeAt - dxe.size()));
  const Bytes inner = Slice(result.image, volumeAt, dxe.size());
  const VolumeLayout layout = ReadVolume(inner);
  const FileEntry* placed = Find(layout, kNewGuid);
  ASSERT_NE(placed, nullptr);
  EXPECT_EQ(FileBytes(inner, *placed, file[23]), file);
  EXPECT_TRUE(result.recompressed.empty());
}

TEST(InsertLayouts, ErasePolarityZeroWritesItsOwnStateAndErasedBytes) {
  const VolumeSpec spec{.size = 0x2000, .erasePolarity = false, .alignmentLog2 = 12};
  const Bytes image = MakeVolume({Driver(kOldDriverGuid, 0x100)}, spec);
  const Bytes file = AlignedFile(kNewGuid, 9);  // 512-byte data alignment: a pad file in front
  const InsertResult result = Insert(image, {file});
  const VolumeLayout layout = ReadVolume(result.image);
  ASSERT_EQ(layout.files.size(), 3u);
  const FileEntry& pad = layout.files[1];
  const FileEntry& placed = layout.files[2];
  EXPECT_TRUE(pad.Pad());
  EXPECT_EQ(result.image[pad.offset + 23], 0x07);
  EXPECT_EQ(result.image[placed.offset + 23], 0x07);  // the input was written for polarity 1
  EXPECT_EQ((placed.offset + 24) % 512, 0u);
  EXPECT_EQ(pad.End(), placed.offset);
  EXPECT_EQ(result.files[0].padding, pad.size);
  for (size_t i = pad.offset + 24; i < pad.End(); ++i) {
    ASSERT_EQ(result.image[i], 0x00) << i;
  }
  for (size_t i = placed.End(); i < result.image.size(); ++i) {
    ASSERT_EQ(result.image[i], 0x00) << i;
  }
}

TEST(InsertLayouts, AlignedFilesGetPadFilesOfAtLeastAHeader) {
  // The free space starts 8 bytes short of what a 16-byte alignment needs:
  // a pad file needs 24 bytes, so the file goes one alignment further.
  const VolumeSpec spec{.size = 0x4000, .alignmentLog2 = 12};
  Bytes image = MakeVolume({Driver(kOldDriverGuid, 0x100)}, spec);
  const size_t freeStart = ReadVolume(image).freeStart;
  ASSERT_EQ((freeStart + 24) % 16, 8u);
  const InsertResult result = Insert(image, {AlignedFile(kNewGuid, 4), AlignedFile(kSecondGuid, 12)});
  const VolumeLayout layout = ReadVolume(result.image);
  ASSERT_EQ(layout.files.size(), 5u);  // old, pad, 16-aligned, pad, 4 KiB-aligned
  EXPECT_TRUE(layout.files[1].Pad());
  EXPECT_EQ(layout.files[1].offset, freeStart);
  EXPECT_EQ(layout.files[1].size, 24u);
  EXPECT_EQ((layout.files[2].offset + 24) % 16, 0u);
  EXPECT_TRUE(layout.files[3].Pad());
  EXPECT_EQ((layout.files[4].offset + 24) % 4096, 0u);
  // Pad files carry the all-ones name, no data checksum and the fixed value.
  const Bytes padHeader = Slice(result.image, layout.files[3].offset, 24);
  EXPECT_EQ(Slice(padHeader, 0, 16), Bytes(16, 0xFF));
  EXPECT_EQ(padHeader[17], FFS_FIXED_CHECKSUM);
  EXPECT_EQ(padHeader[18], EFI_FV_FILETYPE_PAD);
  EXPECT_EQ(padHeader[19], 0);
}

TEST(InsertLayouts, AnFfs3VolumeTakesALargeFile) {
  const VolumeSpec spec{.size = 0x1100000, .ffs3 = true};
  const Bytes image = MakeVolume({Driver(kOldDriverGuid, 0x100)}, spec);
  EFI_FFS_FILE_HEADER fields{};
  fields.Name = kNewGuid;
  fields.Type = EFI_FV_FILETYPE_FREEFORM;
  fields.Attributes = FFS_ATTRIB_CHECKSUM;
  fields.State = kFileStateReady;
  const Bytes section = MakeGuidDefinedSection(kSecondGuid, 0, {}, Pattern(0x1000000, 5));
  const Bytes large = AssembleFile(fields, section, true);
  ASSERT_EQ(large[19] & FFS_ATTRIB_LARGE_FILE, FFS_ATTRIB_LARGE_FILE);
  const InsertResult result = Insert(image, {large});
  const VolumeLayout layout = ReadVolume(result.image);
  const FileEntry* placed = Find(layout, kNewGuid);
  ASSERT_NE(placed, nullptr);
  EXPECT_EQ(placed->headerSize, 32u);
  EXPECT_EQ(FileBytes(result.image, *placed, large[23]), large);

  // The same file does not go into an FFSv2 volume.
  ExpectRefusal(MakeVolume({Driver(kOldDriverGuid, 0x100)}, {.size = 0x1100000}), {large}, "only FFSv3 volumes");
}

TEST(InsertLayouts, TheUsedSizeEntryMovesWithTheFreeSpace) {
  const Bytes old = Driver(kOldDriverGuid, 0x100);
  const VolumeSpec spec{.size = 0x2000, .name = kDxeName, .usedSize = 0x1234, .checksummedExtPad = true};
  const Bytes image = MakeVolume({old}, spec);
  const VolumeLayout before = ReadVolume(image);
  const InsertResult result = Insert(image, {Driver(kNewGuid, 0x200)});
  const VolumeLayout after = ReadVolume(result.image);  // the pad file's data checksum must still hold
  uint32_t used = 0;
  std::memcpy(&used, result.image.data() + *after.header.usedSizeOffset, sizeof used);
  EXPECT_EQ(used, 0x1234 + (after.freeStart - before.freeStart));
  // The pad file that holds the extended header keeps its data checksum.
  const unsigned sum = std::accumulate(result.image.begin() + 72 + 24, result.image.begin() + 72 + 24 + 28, 0u);
  EXPECT_EQ((sum + result.image[72 + 17]) & 0xFF, 0u);
  EXPECT_NE(result.image[72 + 17], image[72 + 17]);
}

// ---------------------------------------------------------------------------
// Replacing

TEST(InsertReplace, AnOldFileInTheMiddleBecomesAPadFileOfItsSize) {
  const Bytes image = MakeVolume({Driver(kOldDriverGuid, 0x180), Driver(kLastDriverGuid, 0x100)});
  const VolumeLayout before = ReadVolume(image);
  ExpectRefusal(image, {Driver(kOldDriverGuid, 0x80)}, "already in the DXE volume at 0x48; --replace");

  const Bytes newer = Driver(kOldDriverGuid, 0x80, "Newer", 9);
  const InsertResult result = Insert(image, {newer}, true);
  const VolumeLayout after = ReadVolume(result.image);
  ASSERT_EQ(after.files.size(), 3u);
  EXPECT_TRUE(after.files[0].Pad());
  EXPECT_EQ(after.files[0].offset, before.files[0].offset);
  EXPECT_EQ(after.files[0].size, before.files[0].size);
  // The file after it has not moved.
  EXPECT_EQ(Slice(result.image, before.files[1].offset, before.freeStart - before.files[1].offset),
            Slice(image, before.files[1].offset, before.freeStart - before.files[1].offset));
  EXPECT_EQ(after.files[2].offset, before.freeStart);
  EXPECT_EQ(FileBytes(result.image, after.files[2], newer[23]), newer);
  EXPECT_TRUE(result.files[0].replaced);
}

TEST(InsertReplace, OldFilesAtTheEndReturnToTheFreeSpace) {
  const Bytes image =
      MakeVolume({Driver(kSecondGuid, 0x40), Driver(kOldDriverGuid, 0x180), Driver(kLastDriverGuid, 0x100)});
  const VolumeLayout before = ReadVolume(image);
  const Bytes a = Driver(kOldDriverGuid, 0x20, "A");
  const Bytes b = Driver(kLastDriverGuid, 0x20, "B");
  const InsertResult result = Insert(image, {b, a}, true);
  const VolumeLayout after = ReadVolume(result.image);
  ASSERT_EQ(after.files.size(), 3u);
  EXPECT_EQ(after.files[1].offset, before.files[1].offset);
  EXPECT_TRUE(SameGuid(after.files[1].header.Name, kLastDriverGuid));
  EXPECT_TRUE(SameGuid(after.files[2].header.Name, kOldDriverGuid));
  EXPECT_GT(result.freeAfter, result.freeBefore);
}

// ---------------------------------------------------------------------------
// Refusals

TEST(InsertRefusals, NoDxeVolumeOrAnAmbiguousOne) {
  ExpectRefusal(MakeVolume({AlignedFile(kSecondGuid, 3)}), {Driver(kNewGuid, 0x10)}, "no DXE volume found");
  ExpectRefusal(Bytes(0x4000, 0xFF), {Driver(kNewGuid, 0x10)}, "no DXE volume found");

  Bytes two = MakeVolume({Driver(kOldDriverGuid, 0x10)});
  const Bytes other = MakeVolume({Driver(kLastDriverGuid, 0x10)});
  two.insert(two.end(), other.begin(), other.end());
  ExpectRefusal(two, {Driver(kNewGuid, 0x10)}, "2 hold DXE drivers");

  Bytes cores = MakeVolume({DxeCore()});
  const Bytes core2 = MakeVolume({DxeCore()});
  cores.insert(cores.end(), core2.begin(), core2.end());
  ExpectRefusal(cores, {Driver(kNewGuid, 0x10)}, "2 volumes hold a DXE core");

  // A volume inside a section compressed some other way is not looked into.
  const Bytes hidden = VolumeImageFile(
      {MakeGuidDefinedSection(kSecondGuid, EFI_GUIDED_SECTION_PROCESSING_REQUIRED, {}, MakeVolume({DxeCore()}))});
  ExpectRefusal(MakeVolume({hidden}, {.size = 0x8000}), {Driver(kNewGuid, 0x10)}, "1 sections compressed otherwise");
}

TEST(InsertRefusals, NotEnoughFreeSpace) {
  // 640 bytes free after the old file.
  const Bytes image = MakeVolume({Driver(kOldDriverGuid, 0x100)}, {.size = 0x400});
  ASSERT_EQ(ReadVolume(image).freeStart, 0x400u - 640u);
  ExpectRefusal(image, {Driver(kNewGuid, 0x280)}, "not enough free space in the DXE volume");
  // The files fit one by one, not together.
  ExpectRefusal(image, {Driver(kNewGuid, 0x110), Driver(kSecondGuid, 0x110)}, "for 6A1E2F3D");
  EXPECT_NO_THROW(Insert(image, {Driver(kSecondGuid, 0x110)}));
  EXPECT_NO_THROW(Insert(image, {Driver(kNewGuid, 0x100), Driver(kSecondGuid, 0x100)}));
}

TEST(InsertRefusals, AlignmentTheVolumeCannotGuarantee) {
  const Bytes image = MakeVolume({Driver(kOldDriverGuid, 0x100)}, {.alignmentLog2 = 4});
  ExpectRefusal(image, {AlignedFile(kNewGuid, 12)}, "asks for 4096-byte alignment");
  EXPECT_NO_THROW(Insert(image, {AlignedFile(kNewGuid, 4)}));
}

TEST(InsertRefusals, TheSameNameTwice) {
  const Bytes image = MakeVolume({Driver(kOldDriverGuid, 0x100)});
  ExpectRefusal(image, {Driver(kNewGuid, 0x10), Driver(kNewGuid, 0x20)}, "is given twice", true);
}

TEST(InsertRefusals, MalformedInputFiles) {
  const Bytes image = MakeVolume({Driver(kOldDriverGuid, 0x100)});
  const Bytes good = Driver(kNewGuid, 0x40);
  const auto refused = [&](Bytes file, const std::string& needle) { ExpectRefusal(image, {good, file}, needle); };

  refused(Bytes(10, 0), "file 2: shorter than a file header");
  Bytes cut = good;
  cut.pop_back();
  refused(cut, "runs past the end of its file");
  Bytes longer = good;
  longer.push_back(0);
  refused(longer, "its header gives 118 bytes, the file has 119");
  Bytes header = good;
  header[16] ^= 1;
  refused(header, "header checksum is wrong");
  Bytes data = good;
  data.back() ^= 0x40;
  refused(data, "data checksum is wrong");
  Bytes state = good;
  state[23] = 0xFC;  // header valid, data not
  refused(state, "state 0xFC");
  refused(MakePadFile(0x40, true), "a pad file is not something to insert");
  // A section that runs past the file's end.
  Bytes section =
      BuildFfsFile({kSecondGuid, EFI_FV_FILETYPE_DRIVER, true, {MakeSection(EFI_SECTION_RAW, Bytes(8, 1))}});
  section[24] = 0x40;
  section[17] = static_cast<uint8_t>(section[17] - 0x34);  // keep the data checksum right
  refused(section, "does not fit");
  EXPECT_NO_THROW(CheckFfsFile(good));
}

// After a change to a volume header or file header: its checksum made right
// again, so that the change itself is what a reader meets.
void FixVolumeChecksum(Bytes& image) {
  image[50] = 0;
  image[51] = 0;
  const uint16_t checksum = Checksum16({image.data(), 72});
  std::memcpy(&image[50], &checksum, 2);
}

void FixFileChecksum(Bytes& image, size_t file) {
  image[file + 16] = 0;
  const uint8_t state = image[file + 23];
  const uint8_t fileChecksum = image[file + 17];
  image[file + 17] = 0;
  image[file + 23] = 0;
  image[file + 16] = Checksum8({image.data() + file, 24});
  image[file + 17] = fileChecksum;
  image[file + 23] = state;
}

TEST_F(InsertNested, AFileMarkedForUpdateOnTheWayKeepsItsState) {
  // Firmware still reads a file marked for update; so does insert, and the
  // rebuilt file keeps the mark.
  Bytes image = nested.image;
  const size_t outer = ReadVolume(image).files.at(0).offset;
  image[outer + 23] = static_cast<uint8_t>(
      ~(EFI_FILE_HEADER_CONSTRUCTION | EFI_FILE_HEADER_VALID | EFI_FILE_DATA_VALID | EFI_FILE_MARKED_FOR_UPDATE));
  const InsertResult result = Insert(image, {file});
  EXPECT_EQ(result.image[outer + 23], image[outer + 23]);
  EXPECT_NE(Find(ReadVolume(Unpack(result.image).dxe), kNewGuid), nullptr);
}

TEST(VolumeReading, TheFileHoldingTheExtendedHeaderEndsWhereTheFilesBegin) {
  Bytes volume = MakeVolume({DxeCore()}, {.name = kDxeName});
  ASSERT_TRUE(ReadVolume(volume).extHeaderFile.has_value());
  // Its size run on by 8 bytes, into the first file.
  volume[72 + 20] = static_cast<uint8_t>(volume[72 + 20] + 8);
  FixFileChecksum(volume, 72);
  EXPECT_THROW(ReadVolume(volume), PackageError);
}

// Each corruption of the nested image: the container it breaks is named.
TEST_F(InsertNested, CorruptContainersAreRefused) {
  const VolumeLayout outer = ReadVolume(nested.image);
  const size_t fileAt = outer.files.at(0).offset;
  const size_t sectionAt = fileAt + 24;
  const auto corrupted = [&](auto change, const std::string& needle) {
    Bytes image = nested.image;
    change(image);
    ExpectRefusal(image, {file}, needle);
  };
  corrupted([](Bytes& i) { i[50] ^= 1; }, "volume header checksum is wrong");
  corrupted(
      [](Bytes& i) {
        i[56] = 0x7F;
        FixVolumeChecksum(i);
      },
      "block map does not add up");
  corrupted(
      [](Bytes& i) {
        i[33] = 0x02;  // FvLength 0x10200, one block more than the image,
        i[56] = 0x81;  // and the block map agrees
        FixVolumeChecksum(i);
      },
      "volume of 66048 bytes runs past the end of its container (65536 bytes)");
  corrupted([&](Bytes& i) { i[fileAt + 16] ^= 1; }, "header checksum is wrong");
  corrupted(
      [&](Bytes& i) {
        i[fileAt + 22] = 0x10;
        FixFileChecksum(i, fileAt);
      },
      "runs past the end of its volume");
  corrupted(
      [&](Bytes& i) {
        i[fileAt + 23] = 0xFB;  // header under construction
        FixFileChecksum(i, fileAt);
      },
      "header not valid");
  corrupted([&](Bytes& i) { i[outer.freeStart + 0x100] = 0; }, "after its free space begins");
  // The section longer than its file (the file has no data checksum).
  corrupted([&](Bytes& i) { i[sectionAt + 2] = 0x10; }, "does not fit between its header and the end");
  // A data offset beyond the section.
  corrupted(
      [&](Bytes& i) {
        i[sectionAt + 20] = 0xFF;
        i[sectionAt + 21] = 0xFF;
      },
      "data offset");
}

TEST_F(InsertNested, BadLzmaDataIsRefused) {
  const Bytes packed = LzmaCompress(nested.stream, kLzmaProperties, kLzmaDictionary);
  const auto withData = [&](const Bytes& data) {
    const Bytes section =
        MakeGuidDefinedSection(gLzmaCustomDecompressGuid, EFI_GUIDED_SECTION_PROCESSING_REQUIRED, {}, data);
    return MakeVolume({VolumeImageFile({section})}, {.size = 0x10000, .name = kOuterName});
  };
  const auto sizeField = [](Bytes data, uint64_t size) {
    std::memcpy(data.data() + 5, &size, sizeof size);
    return data;
  };
  ExpectRefusal(withData(Bytes(packed.begin(), packed.begin() + 200)), {file}, "ends after");
  ExpectRefusal(withData(Bytes(packed.begin(), packed.begin() + 9)), {file}, "shorter than its header");
  ExpectRefusal(withData(sizeField(packed, nested.stream.size() + 64)), {file}, "ends after");
  ExpectRefusal(withData(sizeField(packed, nested.stream.size() - 64)), {file}, "goes on");
  Bytes trailing = packed;
  trailing.insert(trailing.end(), {0, 0, 0, 0});
  ExpectRefusal(withData(trailing), {file}, "goes on");
  ExpectRefusal(withData(sizeField(packed, UINT64_MAX)), {file}, "does not give the uncompressed size");
  ExpectRefusal(withData(sizeField(packed, uint64_t{1} << 40)), {file}, "more than the");
  Bytes properties = packed;
  properties[0] = 0xE1;
  ExpectRefusal(withData(properties), {file}, "properties byte 225");
  Bytes garbled = packed;
  for (size_t i = 100; i < 140; ++i) {
    garbled[i] ^= 0x5A;
  }
  EXPECT_THROW(Insert(withData(garbled), {file}), PackageError);
  EXPECT_NO_THROW(Insert(withData(packed), {file}));
}

TEST_F(InsertNested, TheOuterFileMayNotGrowOverTheNextFile) {
  // A file right after the volume-image file leaves it no room to grow.
  const Bytes outerFile = VolumeImageFile({LzmaSection(nested.stream)});
  const Bytes next = Driver(kSecondGuid, 0x20);
  ExpectRefusal(MakeVolume({outerFile, next}, {.size = 0x10000}), {file}, "but only");

  // With a pad file of room in between, the pad shrinks and the next file
  // stays where it was.
  const Bytes pad = MakePadFile(0x1000, true);
  const Bytes image = MakeVolume({outerFile, pad, next}, {.size = 0x10000});
  const VolumeLayout before = ReadVolume(image);
  const InsertResult result = Insert(image, {file});
  const VolumeLayout after = ReadVolume(result.image);
  ASSERT_EQ(after.files.size(), 3u);
  EXPECT_TRUE(after.files[1].Pad());
  EXPECT_EQ(after.files[1].offset, (after.files[0].End() + 7) & ~size_t{7});
  EXPECT_EQ(after.files[2].offset, before.files[2].offset);
  EXPECT_EQ(Slice(result.image, after.files[2].offset, next.size()), Slice(image, before.files[2].offset, next.size()));

  // Nor past the end of its volume.
  const size_t tight = (72 + outerFile.size() + 7) & ~size_t{7};
  ExpectRefusal(MakeVolume({outerFile}, {.size = tight}), {file}, "the end of the volume");

  // A section after the compressed one would have to move.
  const Bytes trailing = VolumeImageFile({LzmaSection(nested.stream), MakeSection(EFI_SECTION_RAW, Bytes(4, 0))});
  ExpectRefusal(MakeVolume({trailing}, {.size = 0x10000}), {file}, "other sections follow it");
}

TEST_F(InsertNested, APadFileHoldingDataIsNeverGrownOver) {
  // Some images keep data in pad files: the outer file may take an empty pad
  // file, but stops at one that holds data.
  EFI_FFS_FILE_HEADER fields{};
  std::memset(&fields.Name, 0xFF, sizeof fields.Name);
  fields.Type = EFI_FV_FILETYPE_PAD;
  fields.State = kFileStateReady;
  const Bytes dataPad = AssembleFile(fields, Pattern(0x100, 0x33), false);
  const Bytes outerFile = VolumeImageFile({LzmaSection(nested.stream)});
  ExpectRefusal(MakeVolume({outerFile, dataPad}, {.size = 0x10000}), {file}, "the pad file holding data at");

  const Bytes image = MakeVolume({outerFile, MakePadFile(0x1000, true), dataPad}, {.size = 0x10000});
  const VolumeLayout before = ReadVolume(image);
  const InsertResult result = Insert(image, {file});
  const VolumeLayout after = ReadVolume(result.image);
  ASSERT_EQ(after.files.size(), 3u);
  EXPECT_GT(after.files[0].size, before.files[0].size);
  EXPECT_EQ(after.files[2].offset, before.files[2].offset);
  EXPECT_EQ(Slice(result.image, after.files[2].offset, dataPad.size()),
            Slice(image, before.files[2].offset, dataPad.size()));
}

// The volume as the only content of a volume-image section of a volume-image
// file of a volume, levels times, each volume just large enough.
Bytes NestUncompressed(Bytes volume, int levels) {
  for (int level = 0; level < levels; ++level) {
    const Bytes outerFile = VolumeImageFile({MakeSection(EFI_SECTION_FIRMWARE_VOLUME_IMAGE, volume)});
    volume = MakeVolume({outerFile}, {.size = AlignUp(72 + outerFile.size(), 0x200)});
  }
  return volume;
}

TEST(InsertLimits, NestingWithoutCompressionIsBounded) {
  const Bytes dxe = MakeVolume({DxeCore()}, {.size = 0x2000});
  const Bytes file = Driver(kNewGuid, 0x100);
  // Each level is a volume and a volume-image section: 7 levels and the DXE
  // volume are 15 containers, 8 levels 17.
  const InsertResult result = Insert(NestUncompressed(dxe, 7), {file});
  EXPECT_EQ(result.files.size(), 1u);
  ExpectRefusal(NestUncompressed(dxe, 8), {file}, "nested more than 16 deep");
  // A limit of one's own.
  InsertOptions options;
  options.limits.depth = 4;
  EXPECT_THROW(InsertFiles(NestUncompressed(dxe, 2), std::vector<Bytes>{file}, options), PackageError);
  EXPECT_NO_THROW(InsertFiles(NestUncompressed(dxe, 1), std::vector<Bytes>{file}, options));
}

TEST(InsertLimits, ItemsAndUnpackedBytesAreBounded) {
  const Bytes file = Driver(kNewGuid, 0x100);
  std::vector<Bytes> files{DxeCore()};
  for (uint32_t i = 0; i < 40; ++i) {
    EFI_GUID name = kOldDriverGuid;
    name.Data1 = i;
    files.push_back(BuildFfsFile({name, EFI_FV_FILETYPE_FREEFORM, true, {MakeSection(EFI_SECTION_RAW, {})}}));
  }
  const Bytes many = MakeVolume(files, {.size = 0x4000});
  InsertOptions options;
  options.limits.items = 41;  // the volume and its 41 files are 42 items
  try {
    InsertFiles(many, std::vector<Bytes>{file}, options);
    ADD_FAILURE() << "no refusal";
  } catch (const PackageError& error) {
    EXPECT_NE(std::string(error.what()).find("more than 40 files"), std::string::npos) << error.what();
  }
  options.limits.items = 43;  // read back, with the new file
  EXPECT_NO_THROW(InsertFiles(many, std::vector<Bytes>{file}, options));

  // Two LZMA sections of 0x8000 bytes each: the second passes the total.
  const Bytes dxe = MakeVolume({DxeCore()}, {.size = 0x8000 - 4});
  const Bytes packed = LzmaSection(Concatenate({MakeSection(EFI_SECTION_FIRMWARE_VOLUME_IMAGE, dxe)}));
  const Bytes other = LzmaSection(MakeSection(EFI_SECTION_RAW, Bytes(0x8000 - 4, 0)));
  const Bytes image = MakeVolume({VolumeImageFile({other, packed})}, {.size = 0x10000});
  options = {};
  options.limits.unpackedTotal = 0xFFFF;
  try {
    InsertFiles(image, std::vector<Bytes>{file}, options);
    ADD_FAILURE() << "no refusal";
  } catch (const PackageError& error) {
    EXPECT_NE(std::string(error.what()).find("unpacks to more than 65535 bytes"), std::string::npos) << error.what();
  }
  options.limits.unpackedTotal = 0x10000;
  options.limits.unpackedSection = 0x7FFF;
  EXPECT_THROW(InsertFiles(image, std::vector<Bytes>{file}, options), PackageError);
}

TEST(InsertScan, AVolumeWhoseLengthEndsTheImageShortOfEightBytes) {
  // The next volume would start 4 bytes past the end: the scan stops there.
  const Bytes image = MakeVolume({DxeCore(), Driver(kOldDriverGuid, 0x100)}, {.size = 0x2004});
  const InsertResult result = Insert(image, {Driver(kNewGuid, 0x100)});
  EXPECT_EQ(result.image.size(), image.size());
  // The same with a volume after it that starts 8-byte aligned.
  Bytes two = MakeVolume({Driver(kSecondGuid, 0x40)}, {.size = 0x1004});
  two.resize(0x1008, 0xFF);
  two.insert(two.end(), image.begin(), image.end());
  EXPECT_NE(Insert(two, {Driver(kNewGuid, 0x100)}).volume.find("at 0x1008 of the image"), std::string::npos);
}

TEST_F(InsertNested, CompressedSectionsNestedTooDeepAreRefused) {
  // The outer volume, the LZMA sections, the volume-image section and the DXE
  // volume: 13 LZMA sections make 16 containers, 14 make 17.
  Bytes stream = Concatenate({MakeSection(EFI_SECTION_FIRMWARE_VOLUME_IMAGE, nested.dxe)});
  for (int depth = 0; depth < 13; ++depth) {
    stream = LzmaSection(stream);
  }
  EXPECT_EQ(Insert(MakeVolume({VolumeImageFile({stream})}, {.size = 0x10000}), {file}).recompressed.size(), 13u);
  stream = LzmaSection(stream);
  ExpectRefusal(MakeVolume({VolumeImageFile({stream})}, {.size = 0x10000}), {file}, "nested more than 16 deep");
}

// ---------------------------------------------------------------------------
// LZMA

// What liblzma's alone encoder writes (preset 6): the size in the header
// unknown, and an end marker.
Bytes AloneEncoded(const Bytes& data) {
  lzma_options_lzma options{};
  EXPECT_FALSE(lzma_lzma_preset(&options, 6));
  lzma_stream encoder = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_alone_encoder(&encoder, &options), LZMA_OK);
  Bytes out(data.size() + 1024);
  encoder.next_in = data.data();
  encoder.avail_in = data.size();
  encoder.next_out = out.data();
  encoder.avail_out = out.size();
  EXPECT_EQ(lzma_code(&encoder, LZMA_FINISH), LZMA_STREAM_END);
  out.resize(out.size() - encoder.avail_out);
  lzma_end(&encoder);
  return out;
}

TEST(Lzma, AnEndMarkerAfterTheKnownSizeIsAccepted) {
  // What an alone encoder writes: unknown size and an end marker; with the
  // real size put in, as firmware build tools do.
  const Bytes data = Pattern(5000, 4);
  Bytes packed = AloneEncoded(data);
  EXPECT_THROW(LzmaDecompress(packed, 1u << 20), PackageError);  // no size in the header
  const uint64_t size = data.size();
  std::memcpy(packed.data() + 5, &size, sizeof size);
  EXPECT_EQ(LzmaDecompress(packed, 1u << 20), data);
}

// Whether the LZMA data of an alone stream ends with an end marker: told with
// the size in the header made unknown, when only a marker ends the data.
bool EndsWithMarker(Bytes stream) {
  std::fill(stream.begin() + 5, stream.begin() + 13, 0xFF);
  lzma_stream decoder = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_alone_decoder(&decoder, UINT64_MAX), LZMA_OK);
  Bytes out(1u << 20);
  decoder.next_in = stream.data();
  decoder.avail_in = stream.size();
  decoder.next_out = out.data();
  decoder.avail_out = out.size();
  const lzma_ret result = lzma_code(&decoder, LZMA_FINISH);
  lzma_end(&decoder);
  return result == LZMA_STREAM_END;
}

TEST(Lzma, RoundTripWithTheRealSizeAndNoEndMarker) {
  const Bytes data = Pattern(100000, 11);
  const Bytes packed = LzmaCompress(data, kLzmaProperties, 1u << 20);
  EXPECT_FALSE(EndsWithMarker(packed));
  // What an alone encoder writes does end with one.
  const Bytes marked = AloneEncoded(data);
  EXPECT_TRUE(EndsWithMarker(marked));

  const LzmaHeader header = ReadLzmaHeader(packed);
  EXPECT_EQ(header.properties, kLzmaProperties);
  EXPECT_EQ(header.dictionarySize, 1u << 20);
  EXPECT_EQ(header.uncompressedSize, data.size());
  EXPECT_EQ(LzmaDecompress(packed, data.size()), data);
  EXPECT_THROW(LzmaDecompress(packed, data.size() - 1), PackageError);
  EXPECT_EQ(LzmaDecompress(LzmaCompress(Bytes{}, kLzmaProperties, 4096), 0), Bytes{});
}

}  // namespace
}  // namespace ftpm::tools::ffs
