// Platform settings, read and written through the two PI settings protocols,
// and the configuration block KelCfgPcdBuf that start-up fills from them.
#pragma once

#include "platform/Pi.h"

namespace ftpm::support {

// Token numbers of the settings this driver uses (PCD_PROTOCOL).
enum SettingToken : UINTN {
  kNvramResetRequest = 122,
  kFtpmResetRequest = 377,
  kConfigByte7Setting = 552,      // Get8, block byte 7
  kConfigWord20Setting = 561,     // Get32, block bytes 20-23
  kConfigWord16Setting = 562,     // Get32, block bytes 16-19
  kConfigByte6Setting = 616,      // GetBool, block byte 6
  kConfigByte15Setting = 617,     // GetBool, block byte 15
  kConfigByte24Setting = 618,     // Get8, block byte 24
  kS3PrivateDataAddress = 766,    // Get64/Set64
  kS3TableAddress = 767,          // Get64/Set64
  kS3TableSize = 768,             // Get64
  kScriptRecordAddress = 939,     // Get64/Set64
  kScriptSmmRecordAddress = 940,  // Get64/Set64
};

// SmmCommBufferAddress: EFI_PCD_PROTOCOL, token space gSmmCommBufferTokenSpaceGuid.
inline constexpr UINTN kSmmCommBufferAddressToken = 0x27001;

// The configuration block shared with other code of the platform. Only byte
// 4, the PostCodeHalt enable flag, is read in this driver.
#pragma pack(push, 1)
struct KEL_CFG_PCD_BUF {
  UINT32 Signature;      // 0x00800301
  UINT8 PostCodeEnable;  // byte 4
  UINT8 Byte5;
  UINT8 Byte6;     // setting 616
  UINT8 Byte7;     // setting 552
  UINT16 Word8;    // 0x0202
  UINT8 Byte10;    // 2
  UINT32 Dword11;  // 0x03E30600, unaligned
  UINT8 Byte15;    // setting 617
  UINT32 Dword16;  // setting 562
  UINT32 Dword20;  // setting 561
  UINT8 Byte24;    // setting 618
  UINT8 Byte25;    // 2
};
#pragma pack(pop)
static_assert(sizeof(KEL_CFG_PCD_BUF) == 26);
static_assert(offsetof(KEL_CFG_PCD_BUF, PostCodeEnable) == 4);
static_assert(offsetof(KEL_CFG_PCD_BUF, Word8) == 8);
static_assert(offsetof(KEL_CFG_PCD_BUF, Dword11) == 11);
static_assert(offsetof(KEL_CFG_PCD_BUF, Byte15) == 15);
static_assert(offsetof(KEL_CFG_PCD_BUF, Dword20) == 20);
static_assert(offsetof(KEL_CFG_PCD_BUF, Byte25) == 25);

struct SettingsState {
  PCD_PROTOCOL* Pcd;         // cached on first successful lookup
  EFI_PCD_PROTOCOL* EfiPcd;  // likewise
  KEL_CFG_PCD_BUF KelCfgPcdBuf;
};
extern constinit SettingsState gSettingsState;

// The cached protocol lookups: NULL while the protocol cannot be found; a
// failed lookup is tried again on the next use.
PCD_PROTOCOL* GetSettingsProtocol();
EFI_PCD_PROTOCOL* GetGuidSettingsProtocol();

// Reads and writes through the cached protocols. While a protocol is missing,
// reads give 0 (FALSE) and writes are dropped with EFI_NOT_FOUND, so no caller
// ever calls through a NULL interface.
BOOLEAN SettingGetBool(UINTN Token);
UINT8 SettingGet8(UINTN Token);
UINT32 SettingGet32(UINTN Token);
UINT64 SettingGet64(UINTN Token);
EFI_STATUS SettingSet64(UINTN Token, UINT64 Value);
// The SMM communication buffer's address; 0 when there is none.
UINT64 SmmCommBufferAddress();

// Start-up step: fills KelCfgPcdBuf. Its result is ignored.
void ConfigBlockStartUp();

}  // namespace ftpm::support
