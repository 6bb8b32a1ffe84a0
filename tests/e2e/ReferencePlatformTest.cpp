// The reference platform's logic that touches no firmware: finding a file in
// QEMU's fw_cfg directory, erasing a range of a CFI flash device, building a
// load option, and the range test that serves a processor-swap request.
// The devices are models written from how QEMU behaves, not from this code.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/Guids.h"
#include "qemu/platform/CfiFlash.h"
#include "qemu/platform/FwCfg.h"
#include "qemu/platform/LoadOption.h"
#include "qemu/platform/Platform.h"

namespace ftpm::qemu {
namespace {

// --- fw_cfg ---------------------------------------------------------------------

// The device: items by number, each a byte stream read from its start after
// a select; reading past an item's end gives zeros.
struct FwCfgModel {
  std::map<UINT16, std::vector<UINT8>> Items;
  UINT16 Selected = 0;
  size_t Position = 0;
  size_t BytesRead = 0;

  void AddFile(const std::string& Name, UINT16 Item, const std::string& Content) {
    Items[Item] = std::vector<UINT8>(Content.begin(), Content.end());
    std::vector<UINT8>& dir = Items[kFwCfgFileDirectoryItem];
    if (dir.empty()) {
      dir.assign(4, 0);
    }
    const UINT32 count = (static_cast<UINT32>(dir[2]) << 8 | dir[3]) + 1;
    dir[2] = static_cast<UINT8>(count >> 8);
    dir[3] = static_cast<UINT8>(count);
    UINT8 entry[64] = {};
    const UINT32 size = static_cast<UINT32>(Content.size());
    entry[0] = static_cast<UINT8>(size >> 24);
    entry[1] = static_cast<UINT8>(size >> 16);
    entry[2] = static_cast<UINT8>(size >> 8);
    entry[3] = static_cast<UINT8>(size);
    entry[4] = static_cast<UINT8>(Item >> 8);
    entry[5] = static_cast<UINT8>(Item);
    std::memcpy(entry + 8, Name.data(), std::min<size_t>(Name.size(), 56));
    dir.insert(dir.end(), entry, entry + 64);
  }

  FwCfgAccess Access() {
    return FwCfgAccess{[](UINT16 item, void* c) {
                         auto* m = static_cast<FwCfgModel*>(c);
                         m->Selected = item;
                         m->Position = 0;
                       },
                       [](UINT8* buffer, UINTN length, void* c) {
                         auto* m = static_cast<FwCfgModel*>(c);
                         const std::vector<UINT8>& item = m->Items[m->Selected];
                         for (UINTN i = 0; i < length; ++i, ++m->Position) {
                           buffer[i] = m->Position < item.size() ? item[m->Position] : 0;
                         }
                         m->BytesRead += length;
                       },
                       this};
  }
};

FwCfgModel QemuWithSignature() {
  FwCfgModel m;
  m.Items[kFwCfgSignatureItem] = {'Q', 'E', 'M', 'U'};
  return m;
}

TEST(FwCfgFile, FindsTheFileByItsFullNameAmongOthers) {
  FwCfgModel m = QemuWithSignature();
  m.AddFile("etc/boot-fail-wait", 0x20, "xxxx");
  m.AddFile("opt/ftpm/platform.cfg.old", 0x21, "old");
  m.AddFile(kPlatformConfigFile, 0x22, "swap.request=122\n");
  char buffer[64] = {};
  UINTN size = 0;
  ASSERT_EQ(ReadFwCfgFile(m.Access(), kPlatformConfigFile, reinterpret_cast<UINT8*>(buffer), sizeof(buffer), &size),
            FwCfgResult::Read);
  EXPECT_EQ(size, 17u);
  EXPECT_EQ(std::string(buffer, size), "swap.request=122\n");
}

TEST(FwCfgFile, NoDeviceNoFileAndAFileTooLargeReadNothing) {
  FwCfgModel none;  // no signature: a machine without the device reads zeros
  UINT8 buffer[8];
  std::memset(buffer, 0xAA, sizeof(buffer));
  UINTN size = 99;
  EXPECT_EQ(ReadFwCfgFile(none.Access(), "x", buffer, sizeof(buffer), &size), FwCfgResult::NoDevice);
  EXPECT_EQ(size, 0u);

  FwCfgModel m = QemuWithSignature();
  m.AddFile("opt/other", 0x20, "abc");
  EXPECT_EQ(ReadFwCfgFile(m.Access(), kPlatformConfigFile, buffer, sizeof(buffer), &size), FwCfgResult::NotFound);
  m.AddFile(kPlatformConfigFile, 0x21, "0123456789");
  EXPECT_EQ(ReadFwCfgFile(m.Access(), kPlatformConfigFile, buffer, sizeof(buffer), &size), FwCfgResult::TooLarge);
  EXPECT_EQ(size, 10u);
  for (UINT8 byte : buffer) {
    EXPECT_EQ(byte, 0xAA);  // nothing written past the check
  }
}

TEST(FwCfgFile, ANameFillingTheWholeFieldNeverMatchesAndAHostileCountIsBounded) {
  FwCfgModel m = QemuWithSignature();
  const std::string full(56, 'a');  // no NUL inside the field
  m.AddFile(full, 0x20, "z");
  UINT8 buffer[4];
  UINTN size = 0;
  EXPECT_EQ(ReadFwCfgFile(m.Access(), (full + "b").c_str(), buffer, sizeof(buffer), &size), FwCfgResult::NotFound);
  EXPECT_EQ(ReadFwCfgFile(m.Access(), full.c_str(), buffer, sizeof(buffer), &size), FwCfgResult::NotFound);

  // A directory that claims four billion files is walked only so far.
  std::vector<UINT8>& dir = m.Items[kFwCfgFileDirectoryItem];
  dir[0] = dir[1] = dir[2] = dir[3] = 0xFF;
  m.BytesRead = 0;
  EXPECT_EQ(ReadFwCfgFile(m.Access(), "missing", buffer, sizeof(buffer), &size), FwCfgResult::NotFound);
  EXPECT_EQ(m.BytesRead, 4u + 4u + 64u * kMaxFwCfgFiles);
}

// --- CFI flash ------------------------------------------------------------------

// QEMU's pflash (Intel command set, 4 KiB blocks): commands switch reads
// from the array to the status register until Read Array (0xFF).
struct CfiModel {
  std::vector<UINT8> Array;
  enum class Mode { ReadArray, Status, EraseSetup, ProgramSetup } State = Mode::ReadArray;
  UINT8 Status = 0x80;
  bool FailErase = false;
  size_t Erases = 0;
  size_t Programs = 0;

  explicit CfiModel(size_t Size) : Array(Size) {
    for (size_t i = 0; i < Size; ++i) {
      Array[i] = static_cast<UINT8>(i * 7 + 3);
    }
  }

  UINT8 Read(UINT64 Offset) const { return State == Mode::ReadArray ? Array.at(Offset) : Status; }

  void Write(UINT64 Offset, UINT8 Value) {
    ASSERT_LT(Offset, Array.size());
    switch (State) {
      case Mode::EraseSetup:
        State = Mode::Status;
        if (Value == kCfiEraseConfirm && !FailErase) {
          const UINT64 block = Offset & ~(kCfiBlockSize - 1);
          std::fill(Array.begin() + block, Array.begin() + block + kCfiBlockSize, 0xFF);
          ++Erases;
          Status = 0x80;
        } else {
          Status = 0xA0;  // ready, erase error
        }
        return;
      case Mode::ProgramSetup:
        Array[Offset] &= Value;  // programming can only clear bits
        ++Programs;
        State = Mode::Status;
        Status = 0x80;
        return;
      default:
        break;
    }
    if (Value == kCfiBlockErase) {
      State = Mode::EraseSetup;
    } else if (Value == 0x10 || Value == 0x40) {  // either program command
      State = Mode::ProgramSetup;
    } else if (Value == kCfiReadArray) {
      State = Mode::ReadArray;
    } else if (Value == kCfiClearStatus) {
      Status = 0x80;
    }
  }

  CfiDevice Device() {
    return CfiDevice{[](UINT64 o, void* c) { return static_cast<CfiModel*>(c)->Read(o); },
                     [](UINT64 o, UINT8 v, void* c) { static_cast<CfiModel*>(c)->Write(o, v); }, this, Array.size()};
  }
};

TEST(CfiErase, WholeBlocksAreErasedInOrderAndNothingElse) {
  CfiModel flash(6 * kCfiBlockSize);
  const std::vector<UINT8> before = flash.Array;
  ASSERT_EQ(CfiEraseBlocks(flash.Device(), kCfiBlockSize, 3 * kCfiBlockSize), CfiResult::Erased);
  for (size_t i = 0; i < flash.Array.size(); ++i) {
    const bool inside = i >= kCfiBlockSize && i < 4 * kCfiBlockSize;
    ASSERT_EQ(flash.Array[i], inside ? 0xFF : before[i]) << std::hex << i;
  }
  EXPECT_EQ(flash.Erases, 3u);
  EXPECT_EQ(flash.Programs, 0u);  // nothing is ever programmed back
  EXPECT_EQ(flash.State, CfiModel::Mode::ReadArray);
  EXPECT_TRUE(CfiReadsErased(flash.Device(), kCfiBlockSize, 3 * kCfiBlockSize));
  EXPECT_FALSE(CfiReadsErased(flash.Device(), kCfiBlockSize - 1, 2));
}

TEST(CfiErase, PartialBlocksAndRangesOutsideTheDeviceTouchNothing) {
  CfiModel flash(2 * kCfiBlockSize);
  const std::vector<UINT8> before = flash.Array;
  EXPECT_EQ(CfiEraseBlocks(flash.Device(), 0x10, kCfiBlockSize), CfiResult::NotWholeBlocks);
  EXPECT_EQ(CfiEraseBlocks(flash.Device(), 0, kCfiBlockSize + 1), CfiResult::NotWholeBlocks);
  EXPECT_EQ(CfiEraseBlocks(flash.Device(), 0, 0), CfiResult::NotWholeBlocks);
  EXPECT_EQ(CfiEraseBlocks(flash.Device(), kCfiBlockSize, 2 * kCfiBlockSize), CfiResult::OutsideDevice);
  EXPECT_EQ(CfiEraseBlocks(flash.Device(), kCfiBlockSize, ~0ULL), CfiResult::OutsideDevice);
  EXPECT_FALSE(CfiReadsErased(flash.Device(), kCfiBlockSize, ~0ULL));
  EXPECT_EQ(flash.Array, before);
  EXPECT_EQ(flash.Erases, 0u);
}

TEST(CfiErase, AFailingBlockStopsTheEraseAndLeavesTheArrayReadable) {
  CfiModel flash(2 * kCfiBlockSize);
  const std::vector<UINT8> before = flash.Array;
  flash.FailErase = true;
  EXPECT_EQ(CfiEraseBlocks(flash.Device(), 0, 2 * kCfiBlockSize), CfiResult::EraseFailed);
  EXPECT_EQ(flash.State, CfiModel::Mode::ReadArray);
  EXPECT_EQ(flash.Array, before);
  // The read-back reads the array, not the status register.
  EXPECT_FALSE(CfiReadsErased(flash.Device(), 0, kCfiBlockSize));
}

// --- Load options ---------------------------------------------------------------

TEST(LoadOption, SysPrepOptionNamesTheCallerFileInThePlatformsVolume) {
  // Fv(...) of the volume, as the firmware gives it, with its end node.
  std::vector<UINT8> volume = {0x04, 0x07, 0x14, 0x00};
  for (int i = 0; i < 16; ++i) {
    volume.push_back(static_cast<UINT8>(0x40 + i));
  }
  volume.insert(volume.end(), {0x7F, 0xFF, 0x04, 0x00});
  ASSERT_EQ(DevicePathSize(volume.data(), volume.size()), volume.size());

  UINT8 path[64] = {};
  const UINTN pathSize =
      AppendFirmwareFileNode(volume.data(), volume.size() - 4, gFtpmSysPrepFileGuid, path, sizeof(path));
  ASSERT_EQ(pathSize, 20u + 20u + 4u);
  EXPECT_EQ(std::memcmp(path, volume.data(), 20), 0);
  EXPECT_EQ(path[20], 0x04);  // media
  EXPECT_EQ(path[21], 0x06);  // firmware file
  EXPECT_EQ(path[22], 20);
  EXPECT_EQ(std::memcmp(path + 24, &gFtpmSysPrepFileGuid, 16), 0);
  EXPECT_EQ(DevicePathSize(path, pathSize), pathSize);

  UINT8 option[128] = {};
  const UINTN size =
      BuildLoadOption(kLoadOptionActive | kLoadOptionCategoryApp, u"Ab", path, pathSize, option, sizeof(option));
  ASSERT_EQ(size, 4u + 2u + 6u + pathSize);
  EXPECT_EQ(option[0], 0x01);  // attributes, little-endian
  EXPECT_EQ(option[1], 0x01);
  EXPECT_EQ(option[4] | option[5] << 8, static_cast<int>(pathSize));
  EXPECT_EQ(option[6], 'A');
  EXPECT_EQ(option[8], 'b');
  EXPECT_EQ(option[10] | option[11], 0);  // the description's NUL
  EXPECT_EQ(std::memcmp(option + 12, path, pathSize), 0);

  EXPECT_EQ(BuildLoadOption(kLoadOptionActive, u"Ab", path, pathSize, option, size - 1), 0u);
  EXPECT_EQ(AppendFirmwareFileNode(volume.data(), volume.size() - 4, gFtpmSysPrepFileGuid, path, 43), 0u);
}

TEST(LoadOption, MalformedDevicePathsHaveNoSize) {
  const UINT8 shortNode[] = {0x04, 0x07, 0x02, 0x00, 0x7F, 0xFF, 0x04, 0x00};  // shorter than its header
  EXPECT_EQ(DevicePathSize(shortNode, sizeof(shortNode)), 0u);
  const UINT8 longNode[] = {0x04, 0x07, 0x40, 0x00, 0x7F, 0xFF, 0x04, 0x00};  // runs past the limit
  EXPECT_EQ(DevicePathSize(longNode, sizeof(longNode)), 0u);
  const UINT8 noEnd[] = {0x04, 0x07, 0x04, 0x00, 0x04, 0x07, 0x04, 0x00};
  EXPECT_EQ(DevicePathSize(noEnd, sizeof(noEnd)), 0u);
  const UINT8 endOfInstance[] = {0x7F, 0x01, 0x04, 0x00, 0x7F, 0xFF, 0x04, 0x00};  // only the entire end ends it
  EXPECT_EQ(DevicePathSize(endOfInstance, sizeof(endOfInstance)), 8u);
}

TEST(LoadOption, VariableNamesUseFourUpperCaseHexDigits) {
  CHAR16 name[kLoadOptionNameLength + 1];
  LoadOptionName("SysPrep", 0x0A3F, name);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)), u"SysPrep0A3F");
  LoadOptionName("SysPrep", 0, name);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(name)), u"SysPrep0000");
}

}  // namespace
}  // namespace ftpm::qemu
