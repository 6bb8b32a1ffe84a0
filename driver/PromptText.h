// The console texts of the recovery prompt, and the two recovery cases.
#pragma once

#include "platform/Base.h"

namespace ftpm::driver {

// Attribute of every dialog of the handler: light grey on blue.
inline constexpr UINTN kPromptAttribute = 0x17;

inline constexpr CHAR16 kFullPromptFirstRow[] =
    u"Press Y to reset MVQ NVRAM and fTPM NVRAM. if you have BitLocker or encryption-enabled ";
inline constexpr CHAR16 kFtpmPromptFirstRow[] =
    u"Press Y to reset fTPM. if you have BitLocker or encryption-enabled                     ";
inline constexpr CHAR16 kPromptRow2[] =
    u"        system,the system will not boot without a recovery key.                        ";
inline constexpr CHAR16 kPromptRow3[] = u"";
inline constexpr CHAR16 kPromptRow4[] =
    u"Press N to keep previous fTPM record and continue system boot, fTPM will NOT be enabled";
inline constexpr CHAR16 kPromptRow5[] =
    u"        with new CPU unless fTPM is reset (reinitialized), you could swap back to the  ";
inline constexpr CHAR16 kPromptRow6[] =
    u"        old CPU to recover TPM related keys and data.                                  ";
inline constexpr CHAR16 kFullErasingMessage[] = u" Erasing MVQ NVRAM and fTPM NVRAM.... ";
inline constexpr CHAR16 kFtpmErasingMessage[] = u" Erasing fTPM NVRAM.... ";

static_assert(sizeof(kFullPromptFirstRow) / sizeof(CHAR16) == 88);
static_assert(sizeof(kFtpmPromptFirstRow) / sizeof(CHAR16) == 88);
static_assert(sizeof(kPromptRow2) / sizeof(CHAR16) == 88);
static_assert(sizeof(kPromptRow4) / sizeof(CHAR16) == 88);
static_assert(sizeof(kPromptRow5) / sizeof(CHAR16) == 88);
static_assert(sizeof(kPromptRow6) / sizeof(CHAR16) == 88);
static_assert(sizeof(kFullErasingMessage) / sizeof(CHAR16) == 39);
static_assert(sizeof(kFtpmErasingMessage) / sizeof(CHAR16) == 25);

// Directory entry types erased: the fTPM NVRAM, and the MVQ NVRAM.
inline constexpr UINT32 kFtpmNvramEntryType = 0x04;
inline constexpr UINT32 kMvqNvramEntryType = 0x54;

struct RecoveryCase {
  const CHAR16* Prompt[7];  // six rows and the end-of-list mark
  const CHAR16* ErasingMessage;
  UINT32 EntryTypes[2];
  UINTN EntryTypeCount;
};

// Chosen by NvramResetRequest: both NVRAMs.
inline constexpr RecoveryCase kFullRecovery{
    {kFullPromptFirstRow, kPromptRow2, kPromptRow3, kPromptRow4, kPromptRow5, kPromptRow6, nullptr},
    kFullErasingMessage,
    {kFtpmNvramEntryType, kMvqNvramEntryType},
    2};

// Chosen by FtpmResetRequest alone: the fTPM NVRAM.
inline constexpr RecoveryCase kFtpmRecovery{
    {kFtpmPromptFirstRow, kPromptRow2, kPromptRow3, kPromptRow4, kPromptRow5, kPromptRow6, nullptr},
    kFtpmErasingMessage,
    {kFtpmNvramEntryType, 0},
    1};

}  // namespace ftpm::driver
