// Fuzz target: `insert` on an arbitrary firmware image. So that the fuzzer
// reaches the volumes inside compressed sections, the input may instead be
// the unpacked section stream of an LZMA section, which this target packs
// into a volume-image file of an outer volume, as OVMF's layout has it.
//
// Input: a flag byte, then the bytes.
//   bit 0: --replace.
//   bit 1: the bytes are an LZMA section's stream, not the image.
//
// Checks: the insert either refuses with a PackageError or returns an image
// of the input's size in which the file reads back (InsertFiles reads its
// result back itself; this target checks the size and the report).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/Guids.h"
#include "tools/Ffs.h"
#include "tools/FirmwareInsert.h"
#include "tools/Lzma.h"

using namespace ftpm::tools::ffs;

namespace {

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_insert: %s\n", what);
    std::abort();
  }
}

const Bytes& FileToInsert() {
  static const Bytes file =
      BuildFfsFile({gFtpmRecoveryDxeFileGuid,
                    EFI_FV_FILETYPE_DRIVER,
                    true,
                    {MakeSection(EFI_SECTION_DXE_DEPEX, CompileDepex("FALSE")),
                     MakeSection(EFI_SECTION_PE32, Bytes(64, 0x5A)), MakeUserInterfaceSection("Fuzz")}});
  return file;
}

Bytes Wrapped(const uint8_t* data, size_t size) {
  const Bytes stream(data, data + size);
  const Bytes section = MakeGuidDefinedSection(gLzmaCustomDecompressGuid, EFI_GUIDED_SECTION_PROCESSING_REQUIRED, {},
                                               LzmaCompress(stream, 0x5D, 1u << 16));
  const Bytes file = BuildFfsFile({gFtpmRecoveryDxeFileGuid, EFI_FV_FILETYPE_FIRMWARE_VOLUME_IMAGE, false, {section}});
  // Room for the file to grow.
  Bytes volume = BuildFirmwareVolume(std::span<const Bytes>(&file, 1));
  volume.resize(volume.size() + 0x2000, 0xFF);
  return volume;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) {
    return 0;
  }
  const uint8_t flags = data[0];
  ++data;
  --size;
  const Bytes image = (flags & 2) != 0 ? Wrapped(data, size) : Bytes(data, data + size);
  try {
    const InsertResult result = InsertFiles(image, std::vector<Bytes>{FileToInsert()}, {(flags & 1) != 0});
    Check(result.image.size() == image.size(), "the image changed its size");
    Check(result.files.size() == 1 && result.files[0].size == FileToInsert().size(), "the report lost the file");
    Check(result.freeAfter + FileToInsert().size() <= result.volumeSize, "free space larger than the volume");
  } catch (const PackageError&) {
  }
  return 0;
}
