// The packager: dependency expressions, the driver-image check, and the byte
// layout and checksums of the firmware file and the firmware volume, read back
// field by field.
#include <gtest/gtest.h>

#include <cstring>
#include <numeric>
#include <string>
#include <vector>

#include "platform/FirmwareVolume.h"
#include "platform/Guids.h"
#include "tools/Ffs.h"

namespace ftpm::tools::ffs {
namespace {

constexpr EFI_GUID kOtherGuid = MakeGuid("01234567-89AB-CDEF-0123-456789ABCDEF");

unsigned Sum8(const uint8_t* bytes, size_t size) { return std::accumulate(bytes, bytes + size, 0u) & 0xFFu; }

size_t Size24(const uint8_t* field) { return field[0] | field[1] << 8 | field[2] << 16; }

Bytes GuidBytes(const EFI_GUID& guid) {
  Bytes bytes(sizeof guid);
  std::memcpy(bytes.data(), &guid, sizeof guid);
  return bytes;
}

Bytes Slice(const Bytes& bytes, size_t offset, size_t size) {
  return Bytes(bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(offset + size));
}

// A minimal PE32+ header: MZ stub pointing at 0x40, COFF header, optional
// header with the subsystem at offset 68, then some image bytes.
Bytes MakePeImage(uint16_t machine = 0x8664, uint16_t subsystem = 11, uint16_t magic = 0x20B) {
  Bytes image(0x200, 0);
  image[0] = 'M';
  image[1] = 'Z';
  image[0x3C] = 0x40;
  std::memcpy(&image[0x40], "PE\0\0", 4);
  image[0x44] = static_cast<uint8_t>(machine);
  image[0x45] = static_cast<uint8_t>(machine >> 8);
  image[0x44 + 16] = 0xF0;  // SizeOfOptionalHeader 240
  const size_t optional = 0x44 + 20;
  image[optional] = static_cast<uint8_t>(magic);
  image[optional + 1] = static_cast<uint8_t>(magic >> 8);
  image[optional + 68] = static_cast<uint8_t>(subsystem);
  image[optional + 69] = static_cast<uint8_t>(subsystem >> 8);
  for (size_t i = 0x180; i < image.size(); ++i) {
    image[i] = static_cast<uint8_t>(i * 7);
  }
  return image;
}

struct SectionView {
  size_t offset;  // within the file
  size_t size;
  uint8_t type;
};

// Walks the sections of a file the way firmware does: 4-byte aligned, each
// sized by its header.
std::vector<SectionView> Sections(const Bytes& file) {
  std::vector<SectionView> sections;
  const size_t end = Size24(&file[offsetof(EFI_FFS_FILE_HEADER, Size)]);
  size_t offset = sizeof(EFI_FFS_FILE_HEADER);
  while (offset + sizeof(EFI_COMMON_SECTION_HEADER) <= end) {
    const size_t size = Size24(&file[offset]);
    if (size < sizeof(EFI_COMMON_SECTION_HEADER) || offset + size > end) {
      ADD_FAILURE() << "bad section size at " << offset;
      break;
    }
    sections.push_back({offset, size, file[offset + 3]});
    offset = (offset + size + 3) & ~size_t{3};
  }
  return sections;
}

// ---------------------------------------------------------------------------

TEST(Checksums, MakeTheBytesOrWordsSumToZero) {
  const Bytes bytes{0x01, 0xFF, 0x80, 0x7F, 0x33};
  const uint8_t c8 = Checksum8(bytes);
  EXPECT_EQ((Sum8(bytes.data(), bytes.size()) + c8) & 0xFF, 0u);
  EXPECT_EQ(Checksum8(Bytes{}), 0);
  EXPECT_EQ(Checksum8(Bytes{0x01}), 0xFF);

  const Bytes words{0x34, 0x12, 0xFF, 0xFF, 0x01, 0x00};  // 0x1234 + 0xFFFF + 0x0001
  EXPECT_EQ(Checksum16(words), static_cast<uint16_t>(0x10000 - 0x1234));
  EXPECT_EQ(Checksum16(Bytes{0x00, 0x80, 0x00, 0x80}), 0);
  EXPECT_EQ(Checksum16(Bytes{0x01}), 0xFFFF);  // an odd last byte is a low byte
}

TEST(Guids, RegistryFormParsesToTheStoredByteOrder) {
  EFI_GUID guid{};
  ASSERT_TRUE(ParseGuid("8C8CE578-8A3D-4F1C-9935-896185C32DD3", guid));
  EXPECT_EQ(GuidBytes(guid),
            (Bytes{0x78, 0xE5, 0x8C, 0x8C, 0x3D, 0x8A, 0x1C, 0x4F, 0x99, 0x35, 0x89, 0x61, 0x85, 0xC3, 0x2D, 0xD3}));
  EXPECT_EQ(GuidBytes(guid), GuidBytes(gEfiFirmwareFileSystem2Guid));
  ASSERT_TRUE(ParseGuid("{45fe3e99-c7a4-4918-b123-914f98f78c8b}", guid));
  EXPECT_EQ(GuidBytes(guid), GuidBytes(gFtpmRecoveryDxeFileGuid));
  EXPECT_EQ(FormatGuid(guid), "45FE3E99-C7A4-4918-B123-914F98F78C8B");

  for (const char* bad : {"", "8C8CE578-8A3D-4F1C-9935-896185C32DD", "8C8CE578-8A3D-4F1C-9935-896185C32DD3A",
                          "8C8CE5788A3D-4F1C-9935-896185C32DD3-", "8C8CE578-8A3D-4F1C-9935-896185C32DG3",
                          "{8C8CE578-8A3D-4F1C-9935-896185C32DD3", " 8C8CE578-8A3D-4F1C-9935-896185C32DD3"}) {
    EXPECT_FALSE(ParseGuid(bad, guid)) << bad;
  }
}

// ---------------------------------------------------------------------------

Bytes Push(const EFI_GUID& guid) {
  Bytes code{EFI_DEP_PUSH};
  const Bytes g = GuidBytes(guid);
  code.insert(code.end(), g.begin(), g.end());
  return code;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) {
    out.insert(out.end(), p.begin(), p.end());
  }
  return out;
}

TEST(Depex, DefaultWaitsForBothSettingsProtocols) {
  const Bytes code = CompileDepex(kDefaultDxeDepex);
  ASSERT_EQ(code.size(), 36u);
  EXPECT_EQ(code, Cat({Push(gPcdProtocolGuid), Push(gEfiPcdProtocolGuid), {EFI_DEP_AND, EFI_DEP_END}}));
  // The same with GUIDs and with the reference firmware's names.
  EXPECT_EQ(CompileDepex("11B34006-D85B-4D0A-A290-D5A571310EF7 AND {13A3F0F6-264A-3EF0-F2E0-DEC512342F34}"), code);
  EXPECT_EQ(CompileDepex("gPcdProtocolGuid AND gEfiPcdProtocolGuid END"), code);
}

TEST(Depex, OperatorsCompileToPostfixWithNotOverAndOverOr) {
  const Bytes a = Push(gPcdProtocolGuid);
  const Bytes b = Push(gEfiPcdProtocolGuid);
  const Bytes c = Push(kOtherGuid);
  const std::string C = FormatGuid(kOtherGuid);
  EXPECT_EQ(CompileDepex("PCD_PROTOCOL OR EFI_PCD_PROTOCOL AND " + C),
            Cat({a, b, c, {EFI_DEP_AND, EFI_DEP_OR, EFI_DEP_END}}));
  EXPECT_EQ(CompileDepex("(PCD_PROTOCOL OR EFI_PCD_PROTOCOL) AND " + C),
            Cat({a, b, {EFI_DEP_OR}, c, {EFI_DEP_AND, EFI_DEP_END}}));
  EXPECT_EQ(CompileDepex("NOT PCD_PROTOCOL AND EFI_PCD_PROTOCOL"),
            Cat({a, {EFI_DEP_NOT}, b, {EFI_DEP_AND, EFI_DEP_END}}));
  EXPECT_EQ(CompileDepex("NOT (PCD_PROTOCOL AND EFI_PCD_PROTOCOL)"),
            Cat({a, b, {EFI_DEP_AND, EFI_DEP_NOT, EFI_DEP_END}}));
  EXPECT_EQ(CompileDepex("PCD_PROTOCOL AND EFI_PCD_PROTOCOL AND " + C),
            Cat({a, b, {EFI_DEP_AND}, c, {EFI_DEP_AND, EFI_DEP_END}}));
  EXPECT_EQ(CompileDepex("TRUE"), (Bytes{EFI_DEP_TRUE, EFI_DEP_END}));
  EXPECT_EQ(CompileDepex("FALSE OR TRUE"), (Bytes{EFI_DEP_FALSE, EFI_DEP_TRUE, EFI_DEP_OR, EFI_DEP_END}));
  EXPECT_EQ(CompileDepex("SOR PCD_PROTOCOL"), Cat({{EFI_DEP_SOR}, a, {EFI_DEP_END}}));
}

TEST(Depex, BeforeAndAfterTakeOneGuidAlone) {
  const Bytes g = GuidBytes(kOtherGuid);
  EXPECT_EQ(CompileDepex("BEFORE " + FormatGuid(kOtherGuid)), Cat({{EFI_DEP_BEFORE}, g, {EFI_DEP_END}}));
  EXPECT_EQ(CompileDepex("AFTER " + FormatGuid(kOtherGuid)), Cat({{EFI_DEP_AFTER}, g, {EFI_DEP_END}}));
  EXPECT_THROW(CompileDepex("BEFORE " + FormatGuid(kOtherGuid) + " AND PCD_PROTOCOL"), PackageError);
  EXPECT_THROW(CompileDepex("PCD_PROTOCOL AND BEFORE " + FormatGuid(kOtherGuid)), PackageError);
  EXPECT_THROW(CompileDepex("AFTER"), PackageError);
}

TEST(Depex, MalformedExpressionsAreRefused) {
  for (const char* bad : {"", "   ", "END", "PCD_PROTOCOL AND", "AND PCD_PROTOCOL", "(PCD_PROTOCOL", "PCD_PROTOCOL)",
                          "()", "PCD_PROTOCOL EFI_PCD_PROTOCOL", "NOT", "SOR", "PCD_PROTOCOL OR OR TRUE",
                          "UNKNOWN_PROTOCOL", "pcd_protocol", "PCD_PROTOCOL END AND TRUE", "SOR SOR TRUE"}) {
    EXPECT_THROW(CompileDepex(bad), PackageError) << bad;
  }
}

TEST(Depex, DeepNestingIsRefusedNotRecursedInto) {
  EXPECT_NO_THROW(CompileDepex(std::string(30, '(') + "TRUE" + std::string(30, ')')));
  EXPECT_THROW(CompileDepex(std::string(100000, '(') + "TRUE" + std::string(100000, ')')), PackageError);
  std::string nots;
  for (int i = 0; i < 100000; ++i) {
    nots += "NOT ";
  }
  EXPECT_THROW(CompileDepex(nots + "TRUE"), PackageError);
}

// ---------------------------------------------------------------------------

TEST(EfiImage, AcceptsDriversAndApplicationsForUefiMachines) {
  PeImageInfo info = InspectEfiImage(MakePeImage());
  EXPECT_EQ(info.machine, 0x8664);
  EXPECT_EQ(info.subsystem, 11);
  EXPECT_TRUE(info.pe32Plus);
  info = InspectEfiImage(MakePeImage(0x014C, 12, 0x10B));
  EXPECT_EQ(info.machine, 0x014C);
  EXPECT_EQ(info.subsystem, 12);
  EXPECT_FALSE(info.pe32Plus);
  EXPECT_NO_THROW(InspectEfiImage(MakePeImage(0xAA64)));
  EXPECT_EQ(InspectEfiImage(MakePeImage(0x8664, 10)).subsystem, 10);
}

TEST(EfiImage, RefusesWhatNeitherDispatcherNorBootManagerWouldStart) {
  EXPECT_THROW(InspectEfiImage(MakePeImage(0x8664, 3)), PackageError);   // Windows console
  EXPECT_THROW(InspectEfiImage(MakePeImage(0x8664, 13)), PackageError);  // EFI ROM
  EXPECT_THROW(InspectEfiImage(MakePeImage(0x1234)), PackageError);      // machine
  EXPECT_THROW(InspectEfiImage(MakePeImage(0x8664, 11, 0x107)), PackageError);
}

TEST(EfiImage, MalformedHeadersAreRefusedWithoutReadingPastTheEnd) {
  EXPECT_THROW(InspectEfiImage(Bytes{}), PackageError);
  EXPECT_THROW(InspectEfiImage(Bytes{'M', 'Z'}), PackageError);
  const std::string text = "#!/bin/sh\necho not an image\n" + std::string(64, ' ');
  EXPECT_THROW(InspectEfiImage(Bytes(text.begin(), text.end())), PackageError);

  Bytes image = MakePeImage();
  image[0] = 'Z';
  EXPECT_THROW(InspectEfiImage(image), PackageError);

  image = MakePeImage();
  image[0x41] = 'X';  // "PX\0\0"
  EXPECT_THROW(InspectEfiImage(image), PackageError);

  // The PE header offset at, near and beyond the end.
  for (uint32_t pe : {0x1F0u, 0x1FCu, 0x200u, 0xFFFFFFF0u, 0xFFFFFFFFu}) {
    image = MakePeImage();
    std::memcpy(&image[0x3C], &pe, 4);
    EXPECT_THROW(InspectEfiImage(image), PackageError) << pe;
  }

  // Optional header cut off before the subsystem, by its size field or by the file's end.
  image = MakePeImage();
  image[0x44 + 16] = 60;
  image[0x44 + 17] = 0;
  EXPECT_THROW(InspectEfiImage(image), PackageError);
  image = MakePeImage();
  image.resize(0x44 + 20 + 60);
  EXPECT_THROW(InspectEfiImage(image), PackageError);
}

// ---------------------------------------------------------------------------

TEST(Sections, HeaderCarriesTheTwentyFourBitSizeAndType) {
  const Bytes body(0x12345, 0x5A);
  const Bytes section = MakeSection(EFI_SECTION_PE32, body);
  ASSERT_EQ(section.size(), 0x12349u);
  EXPECT_EQ(section[0], 0x49);
  EXPECT_EQ(section[1], 0x23);
  EXPECT_EQ(section[2], 0x01);
  EXPECT_EQ(section[3], EFI_SECTION_PE32);
  EXPECT_EQ(Slice(section, 4, body.size()), body);
}

TEST(Sections, FromTheLargeMarkerOnTheSizeMovesToTheExtendedField) {
  // 0xFFFFFE bytes still fit the 24-bit size.
  const Bytes small = MakeSection(EFI_SECTION_RAW, Bytes(0xFFFFFF - 5, 0x11));
  ASSERT_EQ(small.size(), 0xFFFFFEu);
  EXPECT_EQ(Slice(small, 0, 4), (Bytes{0xFE, 0xFF, 0xFF, EFI_SECTION_RAW}));
  // 0xFFFFFF bytes would write the marker as the size: the large header
  // takes it, its 32-bit size counting the longer header.
  for (const size_t body : {size_t{0xFFFFFF - 4}, size_t{0xFFFFFF - 3}}) {
    const Bytes large = MakeSection(EFI_SECTION_RAW, Bytes(body, 0x22));
    ASSERT_EQ(large.size(), body + 8);
    EXPECT_EQ(Slice(large, 0, 4), (Bytes{0xFF, 0xFF, 0xFF, EFI_SECTION_RAW}));
    uint32_t extended = 0;
    std::memcpy(&extended, large.data() + 4, sizeof extended);
    EXPECT_EQ(extended, body + 8);
    const std::vector<SectionEntry> read = ReadSections(large);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].headerSize, 8u);
    EXPECT_EQ(read[0].size, body + 8);
    EXPECT_EQ(large[8], 0x22);
  }
}

TEST(Sections, UserInterfaceIsNulTerminatedUtf16) {
  const Bytes section = MakeUserInterfaceSection("Ab1");
  EXPECT_EQ(section, (Bytes{12, 0, 0, EFI_SECTION_USER_INTERFACE, 'A', 0, 'b', 0, '1', 0, 0, 0}));
  EXPECT_THROW(MakeUserInterfaceSection(""), PackageError);
  EXPECT_THROW(MakeUserInterfaceSection("Tab\tName"), PackageError);
  EXPECT_THROW(MakeUserInterfaceSection("Gr\xC3\xBC\xC3\x9F"), PackageError);
}

// ---------------------------------------------------------------------------

class DriverFile : public ::testing::Test {
 protected:
  // An image whose size is not a multiple of 4, so the section after it needs padding.
  Bytes image = [] {
    Bytes i = MakePeImage();
    i.resize(0x1FD, 0x77);
    return i;
  }();
  Bytes file = PackageEfiImage(image, {gFtpmRecoveryDxeFileGuid, "FtpmRecoveryDxe", std::nullopt});

  EFI_FFS_FILE_HEADER Header() const {
    EFI_FFS_FILE_HEADER header{};
    std::memcpy(&header, file.data(), sizeof header);
    return header;
  }
};

TEST_F(DriverFile, HeaderFieldByField) {
  const EFI_FFS_FILE_HEADER header = Header();
  EXPECT_EQ(Slice(file, 0, 16), GuidBytes(gFtpmRecoveryDxeFileGuid));
  EXPECT_EQ(file[18], EFI_FV_FILETYPE_DRIVER);
  EXPECT_EQ(header.Type, 0x07);
  EXPECT_EQ(file[19], FFS_ATTRIB_CHECKSUM);  // no alignment, not fixed, not large
  EXPECT_EQ(Size24(&file[20]), file.size());
  EXPECT_EQ(file[23], 0xF8);  // ~(construction | header valid | data valid)
}

TEST_F(DriverFile, HeaderChecksumCountsStateAndFileChecksumAsZero) {
  Bytes header = Slice(file, 0, sizeof(EFI_FFS_FILE_HEADER));
  header[offsetof(EFI_FFS_FILE_HEADER, State)] = 0;
  header[offsetof(EFI_FFS_FILE_HEADER, IntegrityCheck) + 1] = 0;
  EXPECT_EQ(Sum8(header.data(), header.size()), 0u);
  // The checksum byte itself is not zero-filled: it is what balances the sum.
  EXPECT_NE(file[16], 0);
}

TEST_F(DriverFile, FileChecksumBalancesTheDataAfterTheHeader) {
  const uint8_t fileChecksum = file[17];
  const size_t data = sizeof(EFI_FFS_FILE_HEADER);
  EXPECT_EQ((Sum8(file.data() + data, file.size() - data) + fileChecksum) & 0xFF, 0u);

  // Built without data checksum: attribute clear, fixed value, same header rule.
  FileSpec spec{gFtpmRecoveryDxeFileGuid, EFI_FV_FILETYPE_DRIVER, false, {MakeSection(EFI_SECTION_RAW, image)}};
  const Bytes unchecked = BuildFfsFile(spec);
  EXPECT_EQ(unchecked[19], 0);
  EXPECT_EQ(unchecked[17], FFS_FIXED_CHECKSUM);
  Bytes header = Slice(unchecked, 0, sizeof(EFI_FFS_FILE_HEADER));
  header[23] = 0;
  header[17] = 0;
  EXPECT_EQ(Sum8(header.data(), header.size()), 0u);
}

TEST_F(DriverFile, DepexThenImageThenNameEachFourByteAligned) {
  const std::vector<SectionView> sections = Sections(file);
  ASSERT_EQ(sections.size(), 3u);

  EXPECT_EQ(sections[0].offset, 24u);
  EXPECT_EQ(sections[0].type, EFI_SECTION_DXE_DEPEX);
  EXPECT_EQ(Slice(file, sections[0].offset + 4, sections[0].size - 4), CompileDepex(kDefaultDxeDepex));

  EXPECT_EQ(sections[1].offset, 24u + 40u);
  EXPECT_EQ(sections[1].type, EFI_SECTION_PE32);
  EXPECT_EQ(Slice(file, sections[1].offset + 4, sections[1].size - 4), image);

  const size_t imageEnd = sections[1].offset + sections[1].size;
  EXPECT_EQ(sections[2].offset, (imageEnd + 3) & ~size_t{3});
  EXPECT_EQ(sections[2].offset - imageEnd, 3u);
  EXPECT_EQ(Slice(file, imageEnd, 3), (Bytes{0, 0, 0}));
  EXPECT_EQ(sections[2].type, EFI_SECTION_USER_INTERFACE);
  EXPECT_EQ(Slice(file, sections[2].offset, sections[2].size), MakeUserInterfaceSection("FtpmRecoveryDxe"));
  EXPECT_EQ(sections[2].offset + sections[2].size, file.size());  // no trailing padding in the file
}

TEST_F(DriverFile, AGivenDepexReplacesTheDefault) {
  const Bytes withTrue = PackageEfiImage(image, {gFtpmRecoveryDxeFileGuid, "FtpmRecoveryDxe", "TRUE"});
  const std::vector<SectionView> sections = Sections(withTrue);
  ASSERT_EQ(sections.size(), 3u);
  EXPECT_EQ(Slice(withTrue, sections[0].offset, sections[0].size),
            (Bytes{6, 0, 0, EFI_SECTION_DXE_DEPEX, EFI_DEP_TRUE, EFI_DEP_END}));
}

TEST_F(DriverFile, RefusesNonImagesBadDepexAndOversizedFiles) {
  const ImageSpec spec{gFtpmRecoveryDxeFileGuid, "FtpmRecoveryDxe", std::nullopt};
  EXPECT_THROW(PackageEfiImage(Bytes(100, 0), spec), PackageError);
  EXPECT_THROW(PackageEfiImage(image, {gFtpmRecoveryDxeFileGuid, "FtpmRecoveryDxe", "PCD_PROTOCOL AND"}), PackageError);

  Bytes huge = MakePeImage();
  huge.resize(0xFFFFFF - 24 - 40 - 4 - 36 + 1);
  EXPECT_THROW(PackageEfiImage(huge, spec), PackageError);
  EXPECT_THROW(BuildFfsFile({kOtherGuid, EFI_FV_FILETYPE_RAW, true, {Bytes{1, 2}}}), PackageError);
}

TEST(ApplicationFile, ImageAndNameSectionsWithoutDepex) {
  Bytes app = MakePeImage(0x8664, kPeSubsystemEfiApplication);
  app.resize(0x1FE, 0x55);
  const Bytes file = PackageEfiImage(app, {kOtherGuid, "SysPrepCaller", std::nullopt});
  EXPECT_EQ(Slice(file, 0, 16), GuidBytes(kOtherGuid));
  EXPECT_EQ(file[18], EFI_FV_FILETYPE_APPLICATION);
  EXPECT_EQ(file[19], FFS_ATTRIB_CHECKSUM);
  EXPECT_EQ(Size24(&file[20]), file.size());
  const size_t data = sizeof(EFI_FFS_FILE_HEADER);
  EXPECT_EQ((Sum8(file.data() + data, file.size() - data) + file[17]) & 0xFF, 0u);

  const std::vector<SectionView> sections = Sections(file);
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_EQ(sections[0].offset, 24u);
  EXPECT_EQ(sections[0].type, EFI_SECTION_PE32);
  EXPECT_EQ(Slice(file, sections[0].offset + 4, sections[0].size - 4), app);
  EXPECT_EQ(sections[1].offset, 24u + 4u + 0x200u);  // after two bytes of padding
  EXPECT_EQ(Slice(file, sections[1].offset, sections[1].size), MakeUserInterfaceSection("SysPrepCaller"));
}

TEST(ApplicationFile, ADependencyExpressionIsRefused) {
  const Bytes app = MakePeImage(0x8664, kPeSubsystemEfiApplication);
  EXPECT_THROW(PackageEfiImage(app, {kOtherGuid, "SysPrepCaller", "TRUE"}), PackageError);
  EXPECT_THROW(PackageEfiImage(app, {kOtherGuid, "SysPrepCaller", std::string(kDefaultDxeDepex)}), PackageError);
}

// ---------------------------------------------------------------------------

class Volume : public DriverFile {
 protected:
  Bytes volume = BuildFirmwareVolume(std::span<const Bytes>(&file, 1));

  EFI_FIRMWARE_VOLUME_HEADER VolumeHeader() const {
    EFI_FIRMWARE_VOLUME_HEADER header{};
    std::memcpy(&header, volume.data(), sizeof header);
    return header;
  }
};

TEST_F(Volume, HeaderFieldByField) {
  const EFI_FIRMWARE_VOLUME_HEADER header = VolumeHeader();
  EXPECT_EQ(Slice(volume, 0, 16), Bytes(16, 0));
  EXPECT_EQ(Slice(volume, 16, 16), GuidBytes(gEfiFirmwareFileSystem2Guid));
  EXPECT_EQ(header.FvLength, volume.size());
  EXPECT_EQ(volume.size(), 0x1000u);
  EXPECT_EQ(std::string(volume.begin() + 40, volume.begin() + 44), "_FVH");
  EXPECT_NE(header.Attributes & EFI_FVB2_ERASE_POLARITY, 0u);
  EXPECT_NE(header.Attributes & EFI_FVB2_READ_STATUS, 0u);
  EXPECT_NE(header.Attributes & EFI_FVB2_MEMORY_MAPPED, 0u);
  EXPECT_EQ(header.Attributes & EFI_FVB2_ALIGNMENT, EFI_FVB2_ALIGNMENT_8);
  EXPECT_EQ(header.Attributes & EFI_FVB2_WEAK_ALIGNMENT, 0u);
  EXPECT_EQ(header.HeaderLength, 72);
  EXPECT_EQ(header.ExtHeaderOffset, 0);
  EXPECT_EQ(volume[54], 0);  // Reserved
  EXPECT_EQ(volume[55], 2);  // Revision
  EXPECT_EQ(header.BlockMap[0].NumBlocks, 1u);
  EXPECT_EQ(header.BlockMap[0].Length, 0x1000u);
  EXPECT_EQ(Slice(volume, 64, 8), Bytes(8, 0));  // {0, 0} terminator
}

TEST_F(Volume, HeaderWordsSumToZero) {
  uint16_t sum = 0;
  for (size_t i = 0; i < 72; i += 2) {
    sum = static_cast<uint16_t>(sum + (volume[i] | volume[i + 1] << 8));
  }
  EXPECT_EQ(sum, 0);
  EXPECT_NE(VolumeHeader().Checksum, 0);
}

TEST_F(Volume, FileFollowsTheHeaderAndTheRestIsErased) {
  EXPECT_EQ(Slice(volume, 72, file.size()), file);
  for (size_t i = 72 + file.size(); i < volume.size(); ++i) {
    ASSERT_EQ(volume[i], 0xFF) << i;
  }
}

TEST(VolumeLayout, FilesAreEightByteAlignedWithErasedGaps) {
  // 29 bytes: the second file starts after a 3-byte gap.
  const Bytes first = BuildFfsFile({gFtpmRecoveryDxeFileGuid, EFI_FV_FILETYPE_RAW, true, {MakeSection(0x19, {{7}})}});
  const Bytes second = BuildFfsFile({kOtherGuid, EFI_FV_FILETYPE_FREEFORM, true, {MakeSection(EFI_SECTION_RAW, {})}});
  ASSERT_EQ(first.size(), 29u);
  const Bytes volume = BuildFirmwareVolume(std::vector<Bytes>{first, second});
  EXPECT_EQ(Slice(volume, 72, 29), first);
  EXPECT_EQ(Slice(volume, 101, 3), (Bytes{0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Slice(volume, 104, second.size()), second);
  EXPECT_EQ(volume[104 + second.size()], 0xFF);
}

TEST_F(Volume, LengthIsAWholeNumberOfBlocks) {
  // Content of exactly one block takes one block; one byte more takes two.
  const size_t fits = 0x1000 - 72 - 24 - 4;
  Bytes exact = BuildFirmwareVolume(
      std::vector<Bytes>{BuildFfsFile({kOtherGuid, EFI_FV_FILETYPE_RAW, true, {MakeSection(0x19, Bytes(fits, 1))}})});
  EXPECT_EQ(exact.size(), 0x1000u);
  Bytes over = BuildFirmwareVolume(std::vector<Bytes>{
      BuildFfsFile({kOtherGuid, EFI_FV_FILETYPE_RAW, true, {MakeSection(0x19, Bytes(fits + 1, 1))}})});
  EXPECT_EQ(over.size(), 0x2000u);
  EFI_FIRMWARE_VOLUME_HEADER header{};
  std::memcpy(&header, over.data(), sizeof header);
  EXPECT_EQ(header.BlockMap[0].NumBlocks, 2u);
  EXPECT_EQ(header.FvLength, 0x2000u);

  const Bytes small = BuildFirmwareVolume(std::span<const Bytes>(&file, 1), 0x200);
  std::memcpy(&header, small.data(), sizeof header);
  EXPECT_EQ(small.size() % 0x200, 0u);
  EXPECT_EQ(uint64_t{header.BlockMap[0].NumBlocks} * 0x200, header.FvLength);
}

TEST_F(Volume, RefusesMalformedOrDuplicateFiles) {
  EXPECT_THROW(BuildFirmwareVolume(std::vector<Bytes>{file, file}), PackageError);
  Bytes truncated = file;
  truncated.pop_back();
  EXPECT_THROW(BuildFirmwareVolume(std::vector<Bytes>{truncated}), PackageError);
  EXPECT_THROW(BuildFirmwareVolume(std::vector<Bytes>{Bytes(10, 0)}), PackageError);
  EXPECT_THROW(BuildFirmwareVolume(std::span<const Bytes>(&file, 1), 0), PackageError);
  EXPECT_THROW(BuildFirmwareVolume(std::span<const Bytes>(&file, 1), 12), PackageError);
}

}  // namespace
}  // namespace ftpm::tools::ffs
